// Sample conversions: an added plane, the two 16-bit scales, 8 <-> 16 bits (with and without an
// alpha plane) and premultiplication against white. Each works through Read and Write, a bounded
// block of rows at a time (PixelBand.h), so every kind of record is handled and no image is ever
// needed whole in memory.
#include <QXCore/QXImage.h>
#include <QXCore/QXLog.h>

#include <cstring>

#include "image/ImageRec.h"
#include "image/PixelBand.h"

namespace band = qximage::band;

namespace {

CImageRec* Rec(QXImageRef image) { return qx::fromHandle(image); }

template <class T>
T Load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class T>
void Store(uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

// Reads each block of the image, changes it with `change(bytes, pixelCount)` and writes it back.
template <class Change>
int32_t InPlace(CImageRec* image, Change&& change) {
  const int32_t colBytes = image->mColBytes;
  const band::Blocks blocks = band::BlocksFor(image->mBounds, colBytes);
  auto buffer = band::Scratch(blocks.Bytes(colBytes));
  if (!buffer) return kQXErrNoScratch;
  return band::ForEachBlock(image->mBounds, blocks, [&](QXRect r) {
    if (int32_t status = image->Read(r, image->mLoPlane, image->mHiPlane, buffer.get(), 0, 0)) return status;
    change(buffer.get(), int64_t(r.width) * r.height);
    return image->Write(r, image->mLoPlane, image->mHiPlane, buffer.get(), 0, 0);
  });
}

// A tiled record (the kind every depth conversion makes).
int32_t MakeTiled(QXRect bounds, int32_t depth, int32_t planes, int32_t colorSpaceType, int32_t transparency,
                  qx::Ref<CImageRec>& out) {
  CImageRec* image = nullptr;
  const int32_t status = qximage::MakeRecord<CImageRecFile>(bounds, depth, planes, colorSpaceType, transparency,
                                                            kQXImageSourceTiled, true, &image);
  out = qx::Ref<CImageRec>::adopt(image);
  return status;
}

// Callers of the depth conversions only see a status; the log keeps a trace of what failed.
int32_t LogDepthFailure(int32_t status) {
  if (status != 0) QXLogWithParams(1, CFSTR("QXCore"), status, CFSTR("VornUtils::ConvertImageDepth()"));
  return status;
}

// Composites each pixel over white in single precision; alpha is the last plane.
template <class T>
void Premultiply(uint8_t* pixels, int64_t count, int32_t planes, T max) {
  const size_t colBytes = size_t(planes) * sizeof(T);
  const size_t alphaOffset = size_t(planes - 1) * sizeof(T);
  for (int64_t i = 0; i < count; ++i) {
    uint8_t* p = pixels + size_t(i) * colBytes;
    const float a = float(Load<T>(p + alphaOffset)) / float(max);
    for (size_t k = 0; k < alphaOffset; k += sizeof(T)) {
      // Stays within 0 ... max for integer samples (alpha is at most max), so truncation is defined.
      Store<T>(p + k, T((float(Load<T>(p + k)) - float(max)) * a + float(max)));
    }
    Store<T>(p + alphaOffset, max);
  }
}

}  // namespace

extern "C" {

QX_EXPORT QXStatus QXImageCreateCopyAddingChannels(QXImageRef image, int32_t count, QXImageRef* outImage) {
  if (outImage == nullptr) return kQXErrInvalidArgument;
  *outImage = nullptr;
  CImageRec* src = Rec(image);
  // Only one added plane keeps the pixels and the record's geometry consistent.
  if (src == nullptr || count != 1) return kQXErrInvalidArgument;
  const int32_t pb = src->mPlaneBytes;
  if (pb != 1 && pb != 2 && pb != 4) return kQXErrUnsupportedFormat;
  const int32_t planes = src->NumPlanes();
  CImageRec* made = nullptr;
  if (int32_t status =
          src->CreateLike(src->mBounds, src->mDepth, planes + 1, src->mColorSpaceType, src->mTransparency, true, &made))
    return status;
  qx::Ref<CImageRec> dst = qx::Ref<CImageRec>::adopt(made);

  // Full scale in the sample's own type: 1.0 for floats, not the bytes 0xFF.
  uint8_t full[4];
  if (pb == 4) {
    Store<float>(full, 1.0f);
  } else {
    std::memset(full, 0xFF, sizeof full);
  }
  const int32_t srcCol = src->mColBytes, dstCol = srcCol + pb;
  const band::Blocks blocks = band::BlocksFor(src->mBounds, dstCol);
  auto in = band::Scratch(blocks.Bytes(srcCol));
  auto out = band::Scratch(blocks.Bytes(dstCol));
  if (!in || !out) return kQXErrNoScratch;
  const int32_t status = band::ForEachBlock(src->mBounds, blocks, [&](QXRect r) {
    if (int32_t s = src->Read(r, src->mLoPlane, src->mHiPlane, in.get(), 0, 0)) return s;
    const int64_t n = int64_t(r.width) * r.height;
    for (int64_t i = 0; i < n; ++i) {
      std::memcpy(out.get() + size_t(i) * size_t(dstCol), in.get() + size_t(i) * size_t(srcCol), size_t(srcCol));
      std::memcpy(out.get() + size_t(i) * size_t(dstCol) + srcCol, full, size_t(pb));
    }
    return dst->Write(r, dst->mLoPlane, dst->mHiPlane, out.get(), 0, 0);
  });
  if (status != 0) return status;
  *outImage = qx::toHandle<__QXImage>(dst.release());
  return 0;
}

QX_EXPORT QXStatus QXImageConvert8000ToFFFF(QXImageRef image) {
  CImageRec* rec = Rec(image);
  if (rec == nullptr) return kQXErrInvalidArgument;
  if (rec->mPlaneBytes != 2) return 0;
  const int32_t planes = rec->NumPlanes();
  return InPlace(rec, [planes](uint8_t* bytes, int64_t pixels) {
    const int64_t n = pixels * planes;
    for (int64_t i = 0; i < n; ++i) {
      // 32768 and above would wrap past 65535: saturate instead.
      const uint32_t v = (uint32_t(Load<uint16_t>(bytes + 2 * i)) * 65535u) >> 15;
      Store<uint16_t>(bytes + 2 * i, uint16_t(v > 65535u ? 65535u : v));
    }
  });
}

QX_EXPORT QXStatus QXImageConvertFFFFTo8000(QXImageRef image) {
  CImageRec* rec = Rec(image);
  if (rec == nullptr) return kQXErrInvalidArgument;
  if (rec->mPlaneBytes != 2) return 0;
  const int32_t planes = rec->NumPlanes();
  return InPlace(rec, [planes](uint8_t* bytes, int64_t pixels) {
    const int64_t n = pixels * planes;
    for (int64_t i = 0; i < n; ++i)
      Store<uint16_t>(bytes + 2 * i, uint16_t((uint32_t(Load<uint16_t>(bytes + 2 * i)) + 1) >> 1));
  });
}

QX_EXPORT QXStatus QXImageConvertToDepth(QXImageRef image, int32_t depth, QXImageRef* outImage) {
  if (outImage == nullptr) return kQXErrInvalidArgument;
  *outImage = nullptr;
  CImageRec* src = Rec(image);
  if (src == nullptr) return kQXErrInvalidArgument;
  if (depth == src->mDepth) {
    *outImage = QXImageRetain(image);
    return 0;
  }
  const bool up = src->mDepth == 8 && src->mPlaneBytes == 1 && depth == 16;
  const bool down = src->mDepth == 16 && src->mPlaneBytes == 2 && depth == 8;
  if (!up && !down) return kQXErrUnsupportedFormat;
  const int32_t planes = src->NumPlanes();
  qx::Ref<CImageRec> dst;
  if (int32_t status = MakeTiled(src->mBounds, depth, planes, src->mColorSpaceType, src->mTransparency, dst))
    return LogDepthFailure(status);
  // The transfers' own 8-bit conversions are exactly these mappings: b * 257 on the way into a
  // 16-bit record, the high byte on the way out of one. The buffer holds one byte per sample.
  const band::Blocks blocks = band::BlocksFor(src->mBounds, planes * 2);
  auto buffer = band::Scratch(blocks.Bytes(planes));
  if (!buffer) return LogDepthFailure(kQXErrNoScratch);
  const int32_t status = band::ForEachBlock(src->mBounds, blocks, [&](QXRect r) {
    if (up) {
      if (int32_t s = src->Read(r, src->mLoPlane, src->mHiPlane, buffer.get(), 0, 0)) return s;
      return dst->Write(r, dst->mLoPlane, dst->mHiPlane, buffer.get(), 0, kQXImageFlagWrite8);
    }
    if (int32_t s = src->Read(r, src->mLoPlane, src->mHiPlane, buffer.get(), 0, kQXImageFlagRead8)) return s;
    return dst->Write(r, dst->mLoPlane, dst->mHiPlane, buffer.get(), 0, 0);
  });
  if (status != 0) return LogDepthFailure(status);
  *outImage = qx::toHandle<__QXImage>(dst.release());
  return 0;
}

QX_EXPORT QXStatus QXImageConvertToDepthWithTransparency(QXImageRef image, int32_t depth, QXImageRef* outImage) {
  if (outImage == nullptr) return kQXErrInvalidArgument;
  *outImage = nullptr;
  CImageRec* src = Rec(image);
  if (src == nullptr) return kQXErrInvalidArgument;
  const int32_t planes = src->NumPlanes();
  const int32_t from = src->mDepth;
  // Already what the caller asks for. The plane count is part of that: a record of another shape
  // that merely claims transparency would not give the promised four planes.
  if (depth == from && src->mTransparency == kQXImageTransparencyAlpha && planes == 4) {
    *outImage = QXImageRetain(image);
    return 0;
  }
  // The conversion reads three colour samples per pixel.
  if ((from != 8 && from != 16) || src->mPlaneBytes * 8 != from || (depth != 8 && depth != 16) || planes < 3)
    return kQXErrUnsupportedFormat;
  qx::Ref<CImageRec> dst;
  if (int32_t status = MakeTiled(src->mBounds, depth, 4, src->mColorSpaceType, kQXImageTransparencyAlpha, dst))
    return LogDepthFailure(status);

  const int32_t srcCol = src->mColBytes, dstCol = 4 * (depth / 8);
  const band::Blocks blocks = band::BlocksFor(src->mBounds, srcCol > dstCol ? srcCol : dstCol);
  auto in = band::Scratch(blocks.Bytes(srcCol));
  auto out = band::Scratch(blocks.Bytes(dstCol));
  if (!in || !out) return LogDepthFailure(kQXErrNoScratch);
  // Only a fourth plane is alpha; without one (or with more planes) the result is opaque.
  const bool hasAlpha = planes == 4;
  auto sample = [from, depth](const uint8_t* p) -> uint32_t {
    const uint32_t s = from == 8 ? *p : Load<uint16_t>(p);
    if (from == depth) return s;
    return from == 8 ? s * 257u : s >> 8;
  };
  const uint32_t opaque = depth == 8 ? 255u : 65535u;
  const int32_t status = band::ForEachBlock(src->mBounds, blocks, [&](QXRect r) {
    if (int32_t s = src->Read(r, src->mLoPlane, src->mHiPlane, in.get(), 0, 0)) return s;
    const int64_t n = int64_t(r.width) * r.height;
    const int32_t pb = from / 8;
    for (int64_t i = 0; i < n; ++i) {
      const uint8_t* p = in.get() + size_t(i) * size_t(srcCol);
      uint8_t* q = out.get() + size_t(i) * size_t(dstCol);
      for (int32_t k = 0; k < 4; ++k) {
        const uint32_t v = k < 3 || hasAlpha ? sample(p + k * pb) : opaque;
        if (depth == 8) {
          q[k] = uint8_t(v);
        } else {
          Store<uint16_t>(q + 2 * k, uint16_t(v));
        }
      }
    }
    return dst->Write(r, dst->mLoPlane, dst->mHiPlane, out.get(), 0, 0);
  });
  if (status != 0) return LogDepthFailure(status);
  *outImage = qx::toHandle<__QXImage>(dst.release());
  return 0;
}

QX_EXPORT QXStatus QXImageConvertToPremultipliedAlpha(QXImageRef image) {
  CImageRec* rec = Rec(image);
  if (rec == nullptr) return kQXErrInvalidArgument;
  const int32_t planes = rec->NumPlanes();
  // The last plane is alpha when the record says so, or when the plane count can only be grey or
  // RGB with alpha (records made without stating transparency say none). Without alpha, or with
  // nothing besides it, there is nothing to composite: refused rather than reported done.
  const bool alpha =
      rec->mTransparency != 0 || ((planes == 2 || planes == 4) && rec->mColorSpaceType != kQXImageColorSpaceCMYK);
  if (!alpha || planes < 2) return kQXErrUnsupportedFormat;
  switch (rec->mPlaneBytes) {
    case 1: return InPlace(rec, [planes](uint8_t* b, int64_t n) { Premultiply<uint8_t>(b, n, planes, 255); });
    case 2: return InPlace(rec, [planes](uint8_t* b, int64_t n) { Premultiply<uint16_t>(b, n, planes, 65535); });
    case 4: return InPlace(rec, [planes](uint8_t* b, int64_t n) { Premultiply<float>(b, n, planes, 1.0f); });
    default: return kQXErrUnsupportedFormat;
  }
}

}  // extern "C"
