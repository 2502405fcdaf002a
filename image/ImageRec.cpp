// The record base, the transfer rules every kind shares, memory and solid-fill records.
#include "image/ImageRec.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "image/BlockMemory.h"
#include "image/ImageTile.h"
#include "image/TileCache.h"

CImageRec::CImageRec() : mInternalID(CImageCacheMgr::Get().NextInternalID()) {}

CImageRec::~CImageRec() {
  if (mName) CFRelease(mName);
}

void CImageRec::SetName(CFStringRef name) {
  if (name) CFRetain(name);
  if (mName) CFRelease(mName);
  mName = name;
}

int32_t CImageRec::CheckInit(QXRect bounds, int32_t depth, int32_t planes) {
  if (bounds.width == 0 || bounds.height == 0) return kQXErrGeneric;
  if (bounds.width < 0 || bounds.height < 0) return kQXErrInvalidArgument;
  if (int64_t(bounds.x) + bounds.width > INT32_MAX || int64_t(bounds.y) + bounds.height > INT32_MAX)
    return kQXErrInvalidArgument;
  const bool bitmap = depth > 0 && depth < 2;
  if (!bitmap && depth != 8 && depth != 16 && depth != 32) return kQXErrUnsupportedFormat;
  if (!bitmap && (planes < 1 || planes > qximage::kMaxPlanes)) return kQXErrInvalidArgument;
  const int64_t colBytes = bitmap ? 0 : int64_t(depth / 8) * planes;
  const int64_t rowBytes = bitmap ? (int64_t(bounds.width) + 7) / 8 : colBytes * bounds.width;
  if (rowBytes > INT32_MAX) return kQXErrInvalidArgument;
  return 0;
}

int32_t CImageRec::Init(QXRect bounds, int32_t depth, int32_t planes, int32_t colorSpaceType, int32_t transparency,
                        int32_t dataSourceType, bool allocate) {
  // Checked before anything is stored, so a refused Init leaves the record as it was.
  if (int32_t status = CheckInit(bounds, depth, planes)) return status;
  const bool bitmap = depth > 0 && depth < 2;
  const int64_t colBytes = bitmap ? 0 : int64_t(depth / 8) * planes;
  const int64_t rowBytes = bitmap ? (int64_t(bounds.width) + 7) / 8 : colBytes * bounds.width;
  mBounds = bounds;
  mRowBytes = int32_t(rowBytes);
  if (!bitmap) {
    mLoPlane = 0;
    mPlaneBytes = depth / 8;
    mColBytes = int32_t(colBytes);
    mHiPlane = planes - 1;
  }
  mDepth = depth;
  mColorSpaceType = colorSpaceType;
  mTransparency = transparency;
  mDataSourceType = dataSourceType;
  return allocate ? Allocate() : 0;
}

int32_t CImageRec::CheckAdjust(QXRect bounds, int32_t loPlane, int32_t hiPlane) const {
  if (bounds.width < 0 || bounds.height < 0 || loPlane < 0 || hiPlane < loPlane) return kQXErrInvalidArgument;
  if (int64_t(hiPlane) - loPlane + 1 > qximage::kMaxPlanes) return kQXErrInvalidArgument;
  if (int64_t(bounds.x) + bounds.width > INT32_MAX || int64_t(bounds.y) + bounds.height > INT32_MAX)
    return kQXErrInvalidArgument;
  if ((int64_t(hiPlane) - loPlane + 1) * mPlaneBytes * bounds.width > INT32_MAX) return kQXErrInvalidArgument;
  return 0;
}

int32_t CImageRec::AdjustBounds(QXRect bounds, int32_t loPlane, int32_t hiPlane) {
  if (int32_t status = CheckAdjust(bounds, loPlane, hiPlane)) return status;
  const int64_t colBytes = (int64_t(hiPlane) - loPlane + 1) * mPlaneBytes;
  const int64_t rowBytes = colBytes * bounds.width;
  mLoPlane = loPlane;
  mHiPlane = hiPlane;
  mBounds = bounds;
  mColBytes = int32_t(colBytes);
  mRowBytes = int32_t(rowBytes);
  return Allocate();
}

int32_t CImageRec::Fill(uint8_t value) {
  if (mRowBytes < 1 || mBounds.height < 1) return kQXErrInvalidArgument;
  uint8_t* row = static_cast<uint8_t*>(std::malloc(size_t(mRowBytes)));
  if (row == nullptr) return kQXErrMemory;
  std::memset(row, value, size_t(mRowBytes));
  int32_t status = 0;
  for (int32_t y = 0; y < mBounds.height && status == 0; ++y)
    status = Write(QXRect{mBounds.x, mBounds.y + y, mBounds.width, 1}, mLoPlane, mHiPlane, row, mRowBytes, 0);
  std::free(row);
  return status;
}

int32_t CImageRec::GetNativeTile(int32_t, int32_t, int32_t, CImageTile** out) {
  if (out) *out = nullptr;
  return kQXErrNotOffered;
}

int32_t CImageRec::SetKeepResident(int32_t) {
  std::lock_guard<std::recursive_mutex> lock(mMutex);
  return 0;
}

// ---- Transfers ----

namespace qximage {

QXRect Intersect(QXRect a, QXRect b) {
  const int64_t left = std::max<int64_t>(a.x, b.x);
  const int64_t top = std::max<int64_t>(a.y, b.y);
  const int64_t right = std::min<int64_t>(int64_t(a.x) + a.width, int64_t(b.x) + b.width);
  const int64_t bottom = std::min<int64_t>(int64_t(a.y) + a.height, int64_t(b.y) + b.height);
  if (right <= left || bottom <= top) return QXRect{0, 0, 0, 0};
  return QXRect{int32_t(left), int32_t(top), int32_t(right - left), int32_t(bottom - top)};
}

namespace {

// The conversion that applies: the first flag set, in table order, of those the direction knows.
int32_t EffectiveFlag(int32_t flags, bool write) {
  const int32_t known = kQXImageFlag15To16 | kQXImageFlag16To15 | kQXImageFlagSwap | kQXImageFlagSwap2 |
                        (write ? kQXImageFlagWrite8 : kQXImageFlagRead8);
  const int32_t set = flags & known;
  return set & -set;
}

// A 16-bit sample through the conversion kFlag: one of the flags that keep 16 bits, or 0.
template <int32_t kFlag>
uint16_t Convert(uint16_t s) {
  if constexpr (kFlag == kQXImageFlag15To16) {
    const uint32_t v = (uint32_t(s) * 65535u) >> 15;
    return uint16_t(v > 65535u ? 65535u : v);
  } else if constexpr (kFlag == kQXImageFlag16To15) {
    return uint16_t((uint32_t(s) + 1) >> 1);
  } else if constexpr (kFlag == kQXImageFlagSwap || kFlag == kQXImageFlagSwap2) {
    return uint16_t((s >> 8) | (s << 8));
  } else {
    return s;
  }
}

// Sample p of one pixel, moved and converted; one type per conversion, so that each gets a loop
// of its own and the flag is looked at once per row, not once per sample.
template <int32_t kFlag>
struct Convert16 {
  void operator()(const uint8_t* from, uint8_t* to, int32_t p) const {
    uint16_t s;
    std::memcpy(&s, from + 2 * p, 2);
    const uint16_t v = Convert<kFlag>(s);
    std::memcpy(to + 2 * p, &v, 2);
  }
};

// The image's 16-bit samples as their high bytes in the buffer.
struct Narrow8 {
  void operator()(const uint8_t* from, uint8_t* to, int32_t p) const {
    uint16_t s;
    std::memcpy(&s, from + 2 * p, 2);
    to[p] = uint8_t(s >> 8);
  }
};

// The buffer's bytes b as 16-bit samples b * 257 in the image.
struct Widen8 {
  void operator()(const uint8_t* from, uint8_t* to, int32_t p) const {
    const uint16_t v = uint16_t(from[p] * 257u);
    std::memcpy(to + 2 * p, &v, 2);
  }
};

// `sample(pixelFrom, pixelTo, plane)` for each sample of `width` pixels.
template <class Sample>
void EachSample(const uint8_t* from, size_t fromStep, uint8_t* to, size_t toStep, int32_t width, int32_t planes,
                Sample sample) {
  for (int32_t x = 0; x < width; ++x) {
    const uint8_t* src = from + size_t(x) * fromStep;
    uint8_t* dst = to + size_t(x) * toStep;
    for (int32_t p = 0; p < planes; ++p) sample(src, dst, p);
  }
}

}  // namespace

int32_t ResolveTransfer(const CImageRec& image, QXRect rect, int32_t loPlane, int32_t hiPlane, int32_t rowBytes,
                        int32_t flags, bool write, QXTransfer& out) {
  if (rect.width < 1 || rect.height < 1) return kQXErrInvalidArgument;
  if (image.mPlaneBytes < 1 || image.mColBytes < 1) return kQXErrInvalidArgument;
  // A new sample size (QXImageSetPlaneBytes) leaves the pixels laid out for the old one until the
  // record is reshaped: samples of the new size would run past pixels, rows and tiles.
  if ((int64_t(image.mHiPlane) - image.mLoPlane + 1) * image.mPlaneBytes != image.mColBytes ||
      int64_t(image.mRowBytes) < int64_t(image.mColBytes) * image.mBounds.width)
    return kQXErrUnsupportedFormat;
  const int32_t hi = hiPlane < 0 ? image.mHiPlane : hiPlane;
  if (loPlane < image.mLoPlane || hi < loPlane || hi > image.mHiPlane) return kQXErrInvalidArgument;
  out.planes = hi - loPlane + 1;
  out.planeOffset = (loPlane - image.mLoPlane) * image.mPlaneBytes;
  out.flag = image.mDepth == 16 ? EffectiveFlag(flags, write) : 0;
  // The buffer sample is a byte only when the 8-bit conversion is the one that applies.
  out.bufSample = (out.flag == kQXImageFlagRead8 || out.flag == kQXImageFlagWrite8) ? 1 : image.mPlaneBytes;
  out.wholePixels = out.flag == 0 && out.planeOffset == 0 && out.planes * image.mPlaneBytes == image.mColBytes;
  const int64_t bufPixel = int64_t(out.planes) * out.bufSample;
  out.bufRowBytes = rowBytes >= 1 ? int64_t(rowBytes) : int64_t(rect.width) * bufPixel;
  // The buffer the request describes must be addressable at all.
  int64_t lastRow = 0, extent = 0;
  if (__builtin_mul_overflow(int64_t(rect.height) - 1, out.bufRowBytes, &lastRow) ||
      __builtin_add_overflow(lastRow, int64_t(rect.width) * bufPixel, &extent) || extent > PTRDIFF_MAX)
    return kQXErrInvalidArgument;
  out.area = Intersect(rect, image.mBounds);
  out.bufOffset = out.area.width > 0
                      ? (int64_t(out.area.y) - rect.y) * out.bufRowBytes + (int64_t(out.area.x) - rect.x) * bufPixel
                      : 0;
  return 0;
}

void CopyRow(const QXTransfer& t, int32_t planeBytes, const uint8_t* from, size_t fromStep, uint8_t* to, size_t toStep,
             int32_t width) {
  if (t.wholePixels) {
    std::memcpy(to, from, size_t(width) * fromStep);
    return;
  }
  if (t.flag == 0) {
    const size_t sampleBytes = size_t(t.planes) * size_t(planeBytes);
    for (int32_t x = 0; x < width; ++x) std::memcpy(to + x * toStep, from + x * fromStep, sampleBytes);
    return;
  }
  // Read8 only ever applies to reads and Write8 to writes; the others convert 16-bit samples the
  // same way in both directions.
  switch (t.flag) {
    case kQXImageFlagRead8: return EachSample(from, fromStep, to, toStep, width, t.planes, Narrow8{});
    case kQXImageFlagWrite8: return EachSample(from, fromStep, to, toStep, width, t.planes, Widen8{});
    case kQXImageFlag15To16:
      return EachSample(from, fromStep, to, toStep, width, t.planes, Convert16<kQXImageFlag15To16>{});
    case kQXImageFlag16To15:
      return EachSample(from, fromStep, to, toStep, width, t.planes, Convert16<kQXImageFlag16To15>{});
    case kQXImageFlagSwap:
    case kQXImageFlagSwap2:
      return EachSample(from, fromStep, to, toStep, width, t.planes, Convert16<kQXImageFlagSwap>{});
    default: return EachSample(from, fromStep, to, toStep, width, t.planes, Convert16<0>{});
  }
}

}  // namespace qximage

// ---- Memory records ----

CImageRecMemory::~CImageRecMemory() {
  if (mOwnsBuffer) qximage::FreeBlock(mBuffer, size_t(mSize));
}

int32_t CImageRecMemory::Allocate(bool zeroed) {
  if (mBuffer == nullptr) mOwnsBuffer = true;
  if (!mOwnsBuffer) return kQXErrLentBuffer;
  const int64_t needed = int64_t(mRowBytes) * mBounds.height;
  if (needed > INT32_MAX) return kQXErrMemory;
  if (needed <= 0) {
    qximage::FreeBlock(mBuffer, size_t(mSize));
    mBuffer = nullptr;
    mSize = 0;
    return 0;
  }
  if (needed == mSize && mBuffer != nullptr) return 0;
  // The tiles' block allocator: large buffers are huge pages where the system offers them, reused
  // from freed records where it can.
  auto* grown = static_cast<uint8_t*>(qximage::AllocateBlock(size_t(needed), zeroed || mBuffer != nullptr));
  if (grown == nullptr) return kQXErrMemory;
  if (mBuffer != nullptr) std::memcpy(grown, mBuffer, size_t(std::min<int64_t>(mSize, needed)));
  qximage::FreeBlock(mBuffer, size_t(mSize));
  mBuffer = grown;
  mSize = int32_t(needed);
  return 0;
}

int32_t CImageRecMemory::AdjustBounds(QXRect bounds, int32_t loPlane, int32_t hiPlane) {
  const QXRect oldBounds = mBounds;
  const int32_t oldLo = mLoPlane, oldHi = mHiPlane, oldCol = mColBytes, oldRow = mRowBytes;
  const int32_t status = CImageRec::AdjustBounds(bounds, loPlane, hiPlane);
  if (status != 0) {
    mBounds = oldBounds;
    mLoPlane = oldLo;
    mHiPlane = oldHi;
    mColBytes = oldCol;
    mRowBytes = oldRow;
  }
  return status;
}

int32_t CImageRecMemory::CreateLike(QXRect bounds, int32_t depth, int32_t planes, int32_t colorSpaceType,
                                    int32_t transparency, bool allocate, CImageRec** out) {
  return qximage::MakeRecord<CImageRecMemory>(bounds, depth, planes, colorSpaceType, transparency, kQXImageSourceMemory,
                                              allocate, out);
}

int32_t CImageRecMemory::Read(QXRect rect, int32_t loPlane, int32_t hiPlane, void* buffer, int32_t rowBytes,
                              int32_t flags) {
  std::lock_guard<std::recursive_mutex> lock(mMutex);
  QXTransfer t;
  if (int32_t status = qximage::ResolveTransfer(*this, rect, loPlane, hiPlane, rowBytes, flags, false, t))
    return status;
  const auto* pixels = static_cast<const uint8_t*>(LockBuffer());
  if (pixels == nullptr || buffer == nullptr) return kQXErrInvalidArgument;
  auto* out = static_cast<uint8_t*>(buffer) + t.bufOffset;
  for (int32_t y = 0; y < t.area.height; ++y) {
    const uint8_t* row =
        pixels + (int64_t(t.area.y) + y - mBounds.y) * mRowBytes + (int64_t(t.area.x) - mBounds.x) * mColBytes;
    qximage::ReadRow(t, row, mColBytes, mPlaneBytes, out + y * t.bufRowBytes, t.area.width);
  }
  UnlockBuffer();
  return 0;
}

int32_t CImageRecMemory::Write(QXRect rect, int32_t loPlane, int32_t hiPlane, const void* buffer, int32_t rowBytes,
                               int32_t flags) {
  std::lock_guard<std::recursive_mutex> lock(mMutex);
  if (rect.width < 1 || rect.height < 1) return 0;  // nothing to copy
  QXTransfer t;
  if (int32_t status = qximage::ResolveTransfer(*this, rect, loPlane, hiPlane, rowBytes, flags, true, t)) return status;
  auto* pixels = static_cast<uint8_t*>(LockBuffer());
  if (pixels == nullptr || buffer == nullptr) return kQXErrInvalidArgument;
  const auto* in = static_cast<const uint8_t*>(buffer) + t.bufOffset;
  for (int32_t y = 0; y < t.area.height; ++y) {
    uint8_t* row =
        pixels + (int64_t(t.area.y) + y - mBounds.y) * mRowBytes + (int64_t(t.area.x) - mBounds.x) * mColBytes;
    qximage::WriteRow(t, row, mColBytes, mPlaneBytes, in + y * t.bufRowBytes, t.area.width);
  }
  UnlockBuffer();
  return 0;
}

// ---- Solid-fill records ----

int32_t CImageRecSolidFill::CreateLike(QXRect bounds, int32_t depth, int32_t planes, int32_t colorSpaceType,
                                       int32_t transparency, bool allocate, CImageRec** out) {
  return qximage::MakeRecord<CImageRecSolidFill>(bounds, depth, planes, colorSpaceType, transparency,
                                                 kQXImageSourceSolidFill, allocate, out);
}

// ---- The C interface ----

namespace {

CImageRec* R(QXImageRef image) { return qx::fromHandle(image); }

template <class Record>
QXStatus CreateRecord(QXRect bounds, int32_t depth, int32_t planes, int32_t colorSpaceType, int32_t transparency,
                      int32_t dataSourceType, QXImageRef* out) {
  if (out == nullptr) return kQXErrInvalidArgument;
  CImageRec* image = nullptr;
  const int32_t status =
      qximage::MakeRecord<Record>(bounds, depth, planes, colorSpaceType, transparency, dataSourceType, true, &image);
  *out = qx::toHandle<__QXImage>(image);
  return status;
}

}  // namespace

extern "C" {

QX_EXPORT QXImageRef QXImageCreate(void) {
  qx::Ref<CImageRecMemory> image = qx::make<CImageRecMemory>();
  return qx::toHandle<__QXImage>(image.release());
}

QX_EXPORT QXStatus QXImageCreateMemory(QXRect bounds, int32_t depth, int32_t planes, int32_t colorSpaceType,
                                       int32_t transparency, void* buffer, QXImageRef* outImage) {
  if (outImage == nullptr) return kQXErrInvalidArgument;
  *outImage = nullptr;
  qx::Ref<CImageRecMemory> image = qx::make<CImageRecMemory>();
  if (!image) return kQXErrMemory;
  if (int32_t status = image->Init(bounds, depth, planes, colorSpaceType, transparency, kQXImageSourceMemory, false))
    return status;
  image->Lend(buffer);
  *outImage = qx::toHandle<__QXImage>(image.release());
  return 0;
}

QX_EXPORT QXStatus QXImageCreateWithParams(QXRect bounds, int32_t depth, int32_t planes, QXImageRef* outImage) {
  return CreateRecord<CImageRecFile>(bounds, depth, planes, kQXImageColorSpaceNone, kQXImageTransparencyNone,
                                     kQXImageSourceTiled, outImage);
}

QX_EXPORT QXStatus QXImageCreateWithParams2(QXRect bounds, int32_t depth, int32_t planes, int32_t colorSpaceType,
                                            int32_t transparency, int32_t kind, QXImageRef* outImage) {
  switch (kind) {
    case kQXImageSourceNone:
    case kQXImageSourceTiled:
      return CreateRecord<CImageRecFile>(bounds, depth, planes, colorSpaceType, transparency, kQXImageSourceTiled,
                                         outImage);
    case kQXImageSourceMemory:
      return CreateRecord<CImageRecMemory>(bounds, depth, planes, colorSpaceType, transparency, kQXImageSourceMemory,
                                           outImage);
    case kQXImageSourceSolidFill:
      return CreateRecord<CImageRecSolidFill>(bounds, depth, planes, colorSpaceType, transparency,
                                              kQXImageSourceSolidFill, outImage);
    default:
      if (outImage) *outImage = nullptr;
      return 0;
  }
}

QX_EXPORT QXImageRef QXImageRetain(QXImageRef image) { return image ? qx::retainHandle(image) : nullptr; }
QX_EXPORT void QXImageRelease(QXImageRef image) {
  if (image) qx::releaseHandle(image);
}

QX_EXPORT QXRect QXImageGetBounds(QXImageRef image) { return R(image)->mBounds; }
QX_EXPORT int32_t QXImageGetWidth(QXImageRef image) { return R(image)->mBounds.width; }
QX_EXPORT int32_t QXImageGetHeight(QXImageRef image) { return R(image)->mBounds.height; }
QX_EXPORT int32_t QXImageGetLoPlane(QXImageRef image) { return R(image)->mLoPlane; }
QX_EXPORT int32_t QXImageGetHiPlane(QXImageRef image) { return R(image)->mHiPlane; }
QX_EXPORT int32_t QXImageGetNumPlanes(QXImageRef image) { return R(image)->NumPlanes(); }
QX_EXPORT int32_t QXImageGetPlaneBytes(QXImageRef image) { return R(image)->mPlaneBytes; }
QX_EXPORT void QXImageSetPlaneBytes(QXImageRef image, int32_t planeBytes) {
  // No record holds samples of more than 32 bits; larger values would overflow the sizes built on them.
  if (planeBytes < 0 || planeBytes > 4) return;
  R(image)->mPlaneBytes = planeBytes;
  R(image)->mDepth = planeBytes * 8;
}
QX_EXPORT int32_t QXImageGetColBytes(QXImageRef image) { return R(image)->mColBytes; }
QX_EXPORT int32_t QXImageGetRowBytes(QXImageRef image) { return R(image)->mRowBytes; }
QX_EXPORT int32_t QXImageGetSize(QXImageRef image) { return R(image)->mSize; }
QX_EXPORT int32_t QXImageGetDepth(QXImageRef image) { return R(image)->mDepth; }
QX_EXPORT int32_t QXImageGetPadding(QXImageRef image) { return R(image)->mPadding; }
QX_EXPORT void QXImageSetPadding(QXImageRef image, int32_t padding) { R(image)->mPadding = int16_t(padding); }
QX_EXPORT double QXImageGetRate(QXImageRef image) { return R(image)->mRate; }
QX_EXPORT void QXImageSetRate(QXImageRef image, double rate) { R(image)->mRate = rate; }
QX_EXPORT int32_t QXImageGetType(QXImageRef image) { return R(image)->mType; }
QX_EXPORT void QXImageSetType(QXImageRef image, int32_t type) { R(image)->mType = type; }
QX_EXPORT int32_t QXImageGetColorSpaceType(QXImageRef image) { return R(image)->mColorSpaceType; }
QX_EXPORT void QXImageSetColorSpaceType(QXImageRef image, int32_t type) { R(image)->mColorSpaceType = type; }
QX_EXPORT int32_t QXImageGetTransparency(QXImageRef image) { return R(image)->mTransparency; }
QX_EXPORT void QXImageSetTransparency(QXImageRef image, int32_t transparency) {
  R(image)->mTransparency = transparency;
}
QX_EXPORT int32_t QXImageGetDataSourceType(QXImageRef image) { return R(image)->mDataSourceType; }
QX_EXPORT int32_t QXImageGetID(QXImageRef image) { return R(image)->mID; }
QX_EXPORT void QXImageSetID(QXImageRef image, int32_t ID) { R(image)->mID = ID; }
QX_EXPORT int32_t QXImageGetInternalID(QXImageRef image) { return R(image)->mInternalID; }
QX_EXPORT void* QXImageGetRefCon(QXImageRef image) { return R(image)->mRefCon; }
QX_EXPORT void QXImageSetRefCon(QXImageRef image, void* refCon) { R(image)->mRefCon = refCon; }
QX_EXPORT int32_t QXImageGetRefCon2(QXImageRef image) { return R(image)->mRefCon2; }
QX_EXPORT void QXImageSetRefCon2(QXImageRef image, int32_t refCon2) { R(image)->mRefCon2 = refCon2; }
QX_EXPORT int32_t QXImageGetMipLevel(QXImageRef image) { return R(image)->mMipLevel; }
QX_EXPORT void QXImageSetMipLevel(QXImageRef image, int32_t mipLevel) { R(image)->mMipLevel = mipLevel; }
QX_EXPORT CFStringRef QXImageGetName(QXImageRef image) { return R(image)->mName; }
QX_EXPORT void QXImageSetName(QXImageRef image, CFStringRef name) { R(image)->SetName(name); }

QX_EXPORT QXStatus QXImageAdjustBounds(QXImageRef image, QXRect bounds, int32_t loPlane, int32_t hiPlane) {
  return R(image)->AdjustBounds(bounds, loPlane, hiPlane);
}
QX_EXPORT void* QXImageLockBuffer(QXImageRef image) { return R(image)->LockBuffer(); }
QX_EXPORT void QXImageUnlockBuffer(QXImageRef image) { R(image)->UnlockBuffer(); }
QX_EXPORT QXStatus QXImagePurge(QXImageRef image) { return R(image)->Purge(); }
QX_EXPORT QXStatus QXImageFill(QXImageRef image, uint8_t value) { return R(image)->Fill(value); }
QX_EXPORT QXStatus QXImageRead(QXImageRef image, QXRect rect, int32_t loPlane, int32_t hiPlane, void* buffer,
                               int32_t rowBytes) {
  return R(image)->Read(rect, loPlane, hiPlane, buffer, rowBytes, 0);
}
QX_EXPORT QXStatus QXImageWrite(QXImageRef image, QXRect rect, int32_t loPlane, int32_t hiPlane, const void* buffer,
                                int32_t rowBytes) {
  return R(image)->Write(rect, loPlane, hiPlane, buffer, rowBytes, 0);
}
QX_EXPORT QXStatus QXImageRead2(QXImageRef image, QXRect rect, int32_t loPlane, int32_t hiPlane, void* buffer,
                                int32_t rowBytes, int32_t flags) {
  return R(image)->Read(rect, loPlane, hiPlane, buffer, rowBytes, flags);
}
QX_EXPORT QXStatus QXImageWrite2(QXImageRef image, QXRect rect, int32_t loPlane, int32_t hiPlane, const void* buffer,
                                 int32_t rowBytes, int32_t flags) {
  return R(image)->Write(rect, loPlane, hiPlane, buffer, rowBytes, flags);
}
QX_EXPORT QXStatus QXImageGetNativeTile(QXImageRef image, int32_t row, int32_t col, QXTileRef* outTile) {
  return QXImageGetNativeTile2(image, row, col, 0, outTile);
}
QX_EXPORT QXStatus QXImageGetNativeTile2(QXImageRef image, int32_t row, int32_t col, int32_t flags,
                                         QXTileRef* outTile) {
  // Without somewhere to put the tile its use lock could never be released.
  if (outTile == nullptr) return kQXErrInvalidArgument;
  CImageTile* tile = nullptr;
  const int32_t status = R(image)->GetNativeTile(row, col, flags & ~qximage::kTileOverwrite, &tile);
  *outTile = qx::toHandle<__QXTile>(tile);
  return status;
}
QX_EXPORT bool QXImageGetTileLoaded(QXImageRef image, int32_t row, int32_t col) {
  return R(image)->GetTileLoaded(row, col);
}
QX_EXPORT bool QXImageTileInUse(QXImageRef image) { return R(image)->TileInUse(); }
QX_EXPORT bool QXImageSetKeepResident(QXImageRef image, int32_t keepResident) {
  return R(image)->SetKeepResident(keepResident) != 0;
}

}  // extern "C"
