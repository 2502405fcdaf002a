// Fills with a colour, transparent white and a checkerboard. Blocks of rows are built once and
// written through Write, so every kind of record is filled the same way.
#include <QXCore/QXImage.h>

#include <cmath>
#include <cstring>

#include "image/ImageRec.h"
#include "image/PixelBand.h"

namespace band = qximage::band;

namespace {

CImageRec* Rec(QXImageRef image) { return qx::fromHandle(image); }

// A fraction as a sample of `planeBytes` bytes: clamped to 0 ... 1 (NaN counts as 0) so that the
// integer conversions are always defined.
void Sample(float c, int32_t planeBytes, uint8_t* out) {
  c = std::isnan(c) ? 0.0f : c < 0.0f ? 0.0f : c > 1.0f ? 1.0f : c;
  switch (planeBytes) {
    case 1: *out = uint8_t(c * 255.0f + 0.5f); break;
    case 2: {
      const uint16_t v = uint16_t(c * 65535.0f + 0.5f);
      std::memcpy(out, &v, 2);
      break;
    }
    default: std::memcpy(out, &c, 4); break;
  }
}

// Writes every block of `image` from `pixels`, a block laid out in rows of `stride` bytes that the
// caller prepares for each block with `prepare(rect)`.
template <class Prepare>
int32_t WriteBlocks(CImageRec* image, int32_t loPlane, int32_t hiPlane, band::Blocks blocks, const uint8_t* pixels,
                    int32_t stride, Prepare&& prepare) {
  return band::ForEachBlock(image->mBounds, blocks, [&](QXRect r) {
    prepare(r);
    return image->Write(r, loPlane, hiPlane, pixels, stride, 0);
  });
}

}  // namespace

extern "C" {

QX_EXPORT QXStatus QXImageFillColor(QXImageRef image, const float* colour, int32_t loPlane, int32_t hiPlane) {
  CImageRec* rec = Rec(image);
  if (rec == nullptr || colour == nullptr) return kQXErrInvalidArgument;
  const int32_t pb = rec->mPlaneBytes;
  if (pb != 1 && pb != 2 && pb != 4) return kQXErrUnsupportedFormat;
  const int32_t hi = hiPlane < 0 ? rec->mHiPlane : hiPlane;
  if (loPlane < rec->mLoPlane || hi < loPlane || hi > rec->mHiPlane) return kQXErrInvalidArgument;
  const int32_t planes = hi - loPlane + 1;
  uint8_t pixel[qximage::kMaxPlanes * 4];
  for (int32_t k = 0; k < planes; ++k) Sample(colour[k], pb, pixel + k * pb);

  // One block of that pixel serves every block of the image: narrower ones use its rows' stride.
  const int32_t colBytes = planes * pb;
  const band::Blocks blocks = band::BlocksFor(rec->mBounds, colBytes, int64_t(1) << 20);
  auto buffer = band::Scratch(blocks.Bytes(colBytes));
  if (!buffer) return kQXErrNoScratch;
  const int64_t count = int64_t(blocks.width) * blocks.height;
  for (int64_t i = 0; i < count; ++i) std::memcpy(buffer.get() + size_t(i) * size_t(colBytes), pixel, size_t(colBytes));
  return WriteBlocks(rec, loPlane, hi, blocks, buffer.get(), blocks.width * colBytes, [](QXRect) {});
}

QX_EXPORT QXStatus QXImageFillTransparent(QXImageRef image) {
  CImageRec* rec = Rec(image);
  if (rec == nullptr) return kQXErrInvalidArgument;
  float colour[qximage::kMaxPlanes];
  for (float& c : colour) c = 1.0f;
  if (rec->mColorSpaceType == kQXImageColorSpaceRGB) colour[3] = 0.0f;
  return QXImageFillColor(image, colour, rec->mLoPlane, rec->mHiPlane);
}

QX_EXPORT QXStatus QXImageFillCheckerboard(QXImageRef image, int32_t cellSize, float c1, float c2, float c3) {
  CImageRec* rec = Rec(image);
  if (rec == nullptr || cellSize <= 0) return kQXErrInvalidArgument;
  const int32_t pb = rec->mPlaneBytes;
  if (pb != 1 && pb != 2 && pb != 4) return 0;  // other depths are left alone
  const int32_t planes = rec->NumPlanes();
  const int32_t colBytes = rec->mColBytes;
  // White, and the colour with every plane past the third at full scale (alpha and extra planes).
  uint8_t white[qximage::kMaxPlanes * 4], tint[qximage::kMaxPlanes * 4];
  const float given[3] = {c1, c2, c3};
  for (int32_t k = 0; k < planes; ++k) {
    Sample(1.0f, pb, white + k * pb);
    Sample(k < 3 ? given[k] : 1.0f, pb, tint + k * pb);
  }

  const band::Blocks blocks = band::BlocksFor(rec->mBounds, colBytes, int64_t(1) << 20);
  auto buffer = band::Scratch(blocks.Bytes(colBytes));
  auto rows = band::Scratch(int64_t(2) * blocks.width * colBytes);
  if (!buffer || !rows) return kQXErrNoScratch;
  const int32_t stride = blocks.width * colBytes;
  uint8_t* even = rows.get();  // a row whose cell-row parity is even, from the block's first column
  uint8_t* odd = rows.get() + stride;
  const QXRect b = rec->mBounds;
  // Cells are counted from the bounds' origin, so the pattern moves with the image.
  return WriteBlocks(rec, rec->mLoPlane, rec->mHiPlane, blocks, buffer.get(), stride, [&](QXRect r) {
    const int64_t x0 = int64_t(r.x) - b.x, y0 = int64_t(r.y) - b.y;
    for (int32_t i = 0; i < r.width; ++i) {
      const bool whiteFirst = ((x0 + i) / cellSize) % 2 == 0;
      std::memcpy(even + size_t(i) * size_t(colBytes), whiteFirst ? white : tint, size_t(colBytes));
      std::memcpy(odd + size_t(i) * size_t(colBytes), whiteFirst ? tint : white, size_t(colBytes));
    }
    for (int32_t j = 0; j < r.height; ++j)
      std::memcpy(buffer.get() + size_t(j) * size_t(stride), ((y0 + j) / cellSize) % 2 == 0 ? even : odd,
                  size_t(r.width) * size_t(colBytes));
  });
}

}  // extern "C"
