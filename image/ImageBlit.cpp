// Copies, blits, crops, canvas changes, mips and comparison, all through the records' Read and
// Write, a band of rows at a time.
//
// Locking: no operation here holds a record's lock across two calls. A band is read with the
// source's Read (which locks the source by itself), the lock is released, and the band is written
// with the destination's Write. So blits between two images in opposite directions on two threads
// never wait on each other, and a tiled destination may purge while its source is being read. The
// price is that a write to the source running meanwhile may or may not be seen, as with saving.
#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

#include "core/Handle.h"
#include "image/ImageOps.h"
#include "image/ImageRec.h"
#include "image/PixelBand.h"

namespace qximage {

// ---- Formats ----

int32_t CheckFormat(const CImageRec& image) {
  const int32_t planeBytes = image.mPlaneBytes;
  if (planeBytes != 1 && planeBytes != 2 && planeBytes != 4) return kQXErrUnsupportedFormat;
  if (image.mDepth != planeBytes * 8 || image.NumPlanes() < 1) return kQXErrUnsupportedFormat;
  return 0;
}

int32_t CheckSameFormat(const CImageRec& a, const CImageRec& b) {
  if (int32_t status = CheckFormat(a)) return status;
  if (int32_t status = CheckFormat(b)) return status;
  if (a.mDepth != b.mDepth || a.NumPlanes() != b.NumPlanes()) return kQXErrUnsupportedFormat;
  return 0;
}

// ---- The plain band copy ----

namespace {

// `r` moved by (dx, dy) and cut to what int32 coordinates can hold.
QXRect Shifted(QXRect r, int64_t dx, int64_t dy) {
  const int64_t x0 = std::clamp<int64_t>(r.x + dx, INT32_MIN, INT32_MAX);
  const int64_t y0 = std::clamp<int64_t>(r.y + dy, INT32_MIN, INT32_MAX);
  const int64_t x1 = std::clamp<int64_t>(int64_t(r.x) + r.width + dx, INT32_MIN, INT32_MAX);
  const int64_t y1 = std::clamp<int64_t>(int64_t(r.y) + r.height + dy, INT32_MIN, INT32_MAX);
  return QXRect{int32_t(x0), int32_t(y0), int32_t(std::min<int64_t>(x1 - x0, INT32_MAX)),
                int32_t(std::min<int64_t>(y1 - y0, INT32_MAX))};
}

}  // namespace

int32_t CopyRect(CImageRec* source, QXRect sourceRect, CImageRec* destination, QXRect destinationRect) {
  if (source == nullptr || destination == nullptr) return kQXErrInvalidArgument;
  if (sourceRect.width != destinationRect.width || sourceRect.height != destinationRect.height)
    return kQXErrInvalidArgument;
  if (sourceRect.width < 0 || sourceRect.height < 0) return kQXErrInvalidArgument;
  if (sourceRect.width == 0 || sourceRect.height == 0) return 0;
  if (int32_t status = CheckSameFormat(*source, *destination)) return status;
  // What lies in both images, in source coordinates.
  const int64_t dx = int64_t(destinationRect.x) - sourceRect.x, dy = int64_t(destinationRect.y) - sourceRect.y;
  const QXRect from = Intersect(Intersect(sourceRect, source->mBounds), Shifted(destination->mBounds, -dx, -dy));
  if (from.width < 1 || from.height < 1) return 0;
  const QXRect to{int32_t(from.x + dx), int32_t(from.y + dy), from.width, from.height};

  const int64_t rowBytes = int64_t(from.width) * source->mColBytes;
  const int32_t bandRows = band::RowsFor(rowBytes, from.height);
  // Zeroed: a solid-fill source leaves its reads untouched, so it copies as zeros.
  band::Bytes buffer = band::Scratch(int64_t(bandRows) * rowBytes);
  if (!buffer) return kQXErrNoScratch;
  // Within one record, a copy downwards goes from the bottom up so that no band is overwritten
  // before it is read; each band is whole in the buffer, so sideways overlap is harmless.
  const bool upwards = source == destination && dy > 0;
  const int32_t bands = (from.height + bandRows - 1) / bandRows;
  for (int32_t i = 0; i < bands; ++i) {
    const int32_t index = upwards ? bands - 1 - i : i;
    const int32_t y = index * bandRows;
    const int32_t rows = std::min(bandRows, from.height - y);
    if (int32_t status = source->Read(QXRect{from.x, from.y + y, from.width, rows}, source->mLoPlane, source->mHiPlane,
                                      buffer.get(), int32_t(rowBytes), 0))
      return status;
    if (int32_t status = destination->Write(QXRect{to.x, to.y + y, to.width, rows}, destination->mLoPlane,
                                            destination->mHiPlane, buffer.get(), int32_t(rowBytes), 0))
      return status;
  }
  return 0;
}

}  // namespace qximage

// ---- The C interface ----

namespace {

using qximage::CheckFormat;
using qximage::CheckSameFormat;
using qximage::CopyRect;
using qximage::Intersect;

CImageRec* R(QXImageRef image) { return qx::fromHandle(image); }

bool Empty(QXRect r) { return r.width < 1 || r.height < 1; }

int32_t CreateLikeSource(CImageRec* source, QXRect bounds, qx::Ref<CImageRec>& out) {
  CImageRec* made = nullptr;
  const int32_t status = source->CreateLike(bounds, source->mDepth, source->NumPlanes(), source->mColorSpaceType,
                                            source->mTransparency, true, &made);
  out = qx::Ref<CImageRec>::adopt(made);
  if (status == 0 && !out) return kQXErrMemory;
  return status;
}

int32_t Blit(CImageRec* source, QXRect sourceRect, CImageRec* destination, QXRect destinationRect, int32_t mode) {
  if (source == nullptr || destination == nullptr) return kQXErrInvalidArgument;
  if (sourceRect.width < 0 || sourceRect.height < 0 || destinationRect.width < 0 || destinationRect.height < 0)
    return kQXErrInvalidArgument;
  if (Empty(sourceRect) || Empty(destinationRect)) return 0;
  if (int32_t status = CheckSameFormat(*source, *destination)) return status;
  if (sourceRect.width == destinationRect.width && sourceRect.height == destinationRect.height)
    return CopyRect(source, sourceRect, destination, destinationRect);
  if (mode != 0 && mode != 1 && mode != 2) return kQXErrInvalidArgument;

  const QXRect readable = Intersect(sourceRect, source->mBounds);
  const QXRect written = Intersect(destinationRect, destination->mBounds);
  if (Empty(readable) || Empty(written)) return 0;
  // Scaling within one record over pixels it also writes: scale from a copy of the source part.
  qx::Ref<CImageRec> scratch;
  CImageRec* from = source;
  if (source == destination && !Empty(Intersect(readable, written))) {
    if (int32_t status = CreateLikeSource(source, readable, scratch)) return status;
    if (int32_t status = CopyRect(source, readable, scratch.get(), readable)) return status;
    from = scratch.get();
  }
  return mode == 1 ? qximage::ResampleNearest(from, sourceRect, destination, destinationRect)
                   : from->Resample(sourceRect, destination, destinationRect);
}

// The mip size on one side: trunc(side / 2^level + 0.5), before the minimum of 1.
double MipSide(int32_t side, int32_t level) { return std::trunc(std::ldexp(double(side), -level) + 0.5); }

constexpr int32_t kMaxMipLevel = 30;

int32_t CreateOneMip(CImageRec* source, int32_t level, qx::Ref<CImageRec>& out) {
  if (level < -kMaxMipLevel || level > kMaxMipLevel) return kQXErrInvalidArgument;
  if (int32_t status = CheckFormat(*source)) return status;
  const QXRect bounds = source->mBounds;
  if (Empty(bounds)) return kQXErrInvalidArgument;
  const double w = std::max(1.0, MipSide(bounds.width, level));
  const double h = std::max(1.0, MipSide(bounds.height, level));
  // Enlargements past what a record can address are refused before anything is allocated.
  if (w > INT32_MAX || h > INT32_MAX || w * h * source->mColBytes > double(INT64_MAX / 2)) return kQXErrInvalidArgument;
  const QXRect mipBounds{0, 0, int32_t(w), int32_t(h)};
  QXImageRef made = nullptr;
  if (int32_t status = QXImageCreateWithParams2(mipBounds, source->mDepth, source->NumPlanes(), source->mColorSpaceType,
                                                source->mTransparency, source->mDataSourceType, &made))
    return status;
  if (made == nullptr) return kQXErrInvalidArgument;  // a kind that makes no record
  qx::Ref<CImageRec> mip = qx::Ref<CImageRec>::adopt(R(made));
  const int32_t status = mipBounds.width == bounds.width && mipBounds.height == bounds.height
                             ? CopyRect(source, bounds, mip.get(), mipBounds)
                             : source->Resample(bounds, mip.get(), mipBounds);
  if (status != 0) return status;
  out = std::move(mip);
  return 0;
}

}  // namespace

extern "C" {

QX_EXPORT QXStatus QXImageCreateCopy(QXImageRef image, QXImageRef* outImage) {
  if (outImage == nullptr) return kQXErrInvalidArgument;
  *outImage = nullptr;
  if (image == nullptr) return kQXErrInvalidArgument;
  CImageRec* source = R(image);
  if (int32_t status = CheckFormat(*source)) return status;
  qx::Ref<CImageRec> copy;
  if (int32_t status = CreateLikeSource(source, source->mBounds, copy)) return status;
  copy->mType = source->mType;
  if (int32_t status = CopyRect(source, source->mBounds, copy.get(), source->mBounds)) return status;
  *outImage = qx::toHandle<__QXImage>(copy.release());
  return 0;
}

QX_EXPORT QXStatus QXImageBlit(QXImageRef source, QXRect sourceRect, QXImageRef destination, QXRect destinationRect,
                               int32_t mode) {
  if (source == nullptr || destination == nullptr) return kQXErrInvalidArgument;
  return Blit(R(source), sourceRect, R(destination), destinationRect, mode);
}

QX_EXPORT QXStatus QXImageGetImage(QXImageRef source, QXRect rect, QXImageRef destination) {
  return QXImageBlit(source, rect, destination, rect, 0);
}

QX_EXPORT QXStatus QXImageCreateCrop(QXImageRef image, QXRect rect, QXImageRef* outImage) {
  if (outImage == nullptr) return kQXErrInvalidArgument;
  *outImage = nullptr;
  if (image == nullptr) return kQXErrInvalidArgument;
  CImageRec* source = R(image);
  if (int32_t status = CheckFormat(*source)) return status;
  qx::Ref<CImageRec> crop;
  if (int32_t status = CreateLikeSource(source, QXRect{0, 0, rect.width, rect.height}, crop)) return status;
  // Uncovered pixels: the first sample full, the next three 0, any further planes full.
  std::vector<float> colour(size_t(crop->NumPlanes()), 1.0f);
  for (size_t p = 1; p < colour.size() && p < 4; ++p) colour[p] = 0.0f;
  QXImageRef handle = qx::toHandle<__QXImage>(crop.get());
  if (int32_t status = QXImageFillColor(handle, colour.data(), crop->mLoPlane, -1)) return status;
  const QXRect inside = Intersect(source->mBounds, rect);
  if (!Empty(inside)) {
    const QXRect target{int32_t(int64_t(inside.x) - rect.x), int32_t(int64_t(inside.y) - rect.y), inside.width,
                        inside.height};
    if (int32_t status = CopyRect(source, inside, crop.get(), target)) return status;
  }
  *outImage = qx::toHandle<__QXImage>(crop.release());
  return 0;
}

QX_EXPORT QXStatus QXImageResize(QXImageRef image, QXRect bounds, int32_t mode) {
  if (image == nullptr) return kQXErrInvalidArgument;
  CImageRec* target = R(image);
  const QXRect old = target->mBounds;
  QXImageRef copy = nullptr;
  if (mode != 2) {
    if (int32_t status = QXImageCreateCopy(image, &copy)) return status;
  }
  qx::Ref<CImageRec> held = qx::Ref<CImageRec>::adopt(copy ? R(copy) : nullptr);
  if (int32_t status = target->AdjustBounds(bounds, target->mLoPlane, target->mHiPlane)) return status;
  if (mode == 2) return 0;
  if (int32_t status = QXImageFillTransparent(image)) return status;
  if (mode != 1) return CopyRect(held.get(), old, target, old);
  // Centred on each side by itself: a side that grew takes the whole old side in its middle, a
  // side that shrank takes the middle of the old side.
  auto centre = [](int32_t oldStart, int32_t oldLength, int32_t newStart, int32_t newLength, int32_t& from, int32_t& to,
                   int32_t& length) {
    if (oldLength <= newLength) {
      from = oldStart;
      to = int32_t(int64_t(newStart) + (int64_t(newLength) - oldLength) / 2);
      length = oldLength;
    } else {
      from = int32_t(int64_t(oldStart) + (int64_t(oldLength) - newLength) / 2);
      to = newStart;
      length = newLength;
    }
  };
  QXRect from{}, to{};
  centre(old.x, old.width, bounds.x, bounds.width, from.x, to.x, from.width);
  centre(old.y, old.height, bounds.y, bounds.height, from.y, to.y, from.height);
  to.width = from.width;
  to.height = from.height;
  return CopyRect(held.get(), from, target, to);
}

QX_EXPORT QXStatus QXImageCreateOneMip(QXImageRef image, int32_t level, QXImageRef* outImage) {
  if (outImage == nullptr) return kQXErrInvalidArgument;
  *outImage = nullptr;
  if (image == nullptr) return kQXErrInvalidArgument;
  qx::Ref<CImageRec> mip;
  if (int32_t status = CreateOneMip(R(image), level, mip)) return status;
  *outImage = qx::toHandle<__QXImage>(mip.release());
  return 0;
}

QX_EXPORT QXStatus QXImageCreateMips(QXImageRef image, CFArrayRef* outMips) {
  if (outMips == nullptr) return kQXErrInvalidArgument;
  *outMips = nullptr;
  if (image == nullptr) return kQXErrInvalidArgument;
  CFMutableArrayRef mips = CFArrayCreateMutable(kCFAllocatorDefault, 0, QXUtilsGetArrayCallbacks());
  if (mips == nullptr) return kQXErrMemory;
  *outMips = mips;
  CImageRec* source = R(image);
  CFArrayAppendValue(mips, source);
  const QXRect bounds = source->mBounds;
  for (int32_t level = 1; level < 20; ++level) {
    if (MipSide(bounds.width, level) < 1 || MipSide(bounds.height, level) < 1) break;
    qx::Ref<CImageRec> mip;
    if (int32_t status = CreateOneMip(source, level, mip)) return status;
    CFArrayAppendValue(mips, mip.get());
  }
  return 0;
}

QX_EXPORT bool QXImageEqual(QXImageRef a, QXImageRef b) {
  if (a == nullptr || b == nullptr) return false;
  if (a == b) return true;
  CImageRec* x = R(a);
  CImageRec* y = R(b);
  const QXRect bounds = x->mBounds;
  const QXRect other = y->mBounds;
  if (bounds.x != other.x || bounds.y != other.y || bounds.width != other.width || bounds.height != other.height)
    return false;
  if (CheckFormat(*x) != 0 || CheckFormat(*y) != 0) return false;
  if (x->mDepth != y->mDepth || x->NumPlanes() != y->NumPlanes()) return false;
  if (Empty(bounds)) return true;
  const int64_t rowBytes = int64_t(bounds.width) * x->mColBytes;
  const int32_t bandRows = qximage::band::RowsFor(rowBytes, bounds.height);
  // Zeroed: a solid-fill record leaves its reads untouched and compares as zeros.
  qximage::band::Bytes first = qximage::band::Scratch(int64_t(bandRows) * rowBytes);
  qximage::band::Bytes second = qximage::band::Scratch(int64_t(bandRows) * rowBytes);
  if (!first || !second) return false;
  for (int32_t row = 0; row < bounds.height; row += bandRows) {
    const int32_t rows = std::min(bandRows, bounds.height - row);
    const QXRect rect{bounds.x, bounds.y + row, bounds.width, rows};
    if (x->Read(rect, x->mLoPlane, x->mHiPlane, first.get(), int32_t(rowBytes), 0) != 0) return false;
    if (y->Read(rect, y->mLoPlane, y->mHiPlane, second.get(), int32_t(rowBytes), 0) != 0) return false;
    if (std::memcmp(first.get(), second.get(), size_t(rows) * size_t(rowBytes)) != 0) return false;
  }
  return true;
}

}  // extern "C"
