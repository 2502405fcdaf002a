// Quarter and half turns into a new record of the caller's kind.
//
// The source is read in blocks of 256 rows (one row of tiles) by 256 or more columns, small enough
// that a block and its turned copy stay in the processor's caches; each block is turned in memory
// and written as one block of the result. A quarter turn makes source columns into result rows, so
// it is a transpose in small squares, never a column at a time through Read. The calling thread
// does every Read and Write (no record lock is held across calls) while a pool worker turns the
// previous block from the buffers alone (TaskRing, PoolTasks.h): reading, turning and writing
// overlap. Memory: four buffers of one block, 2 MB together for pixels of up to 8 bytes and at
// most 32 MB for the largest pixels (256 x 256 x 128 bytes). A quarter turn of a whole memory
// record into a memory record needs none of that: it transposes straight between the two buffers
// (TurnBetweenBuffers). Pixels are addressed from the bounds' origin; the result keeps the
// source's origin.
#include <QXCore/QXImage.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <mutex>

#include "image/ImageRec.h"
#include "image/PixelBand.h"
#include "image/PoolTasks.h"

namespace band = qximage::band;

namespace {

enum class Turn { kClockwise, kCounterClockwise, kHalf };

// Bytes of one block: whole tiles across for small pixels, 256 x 256 pixels for the others.
constexpr int64_t kTurnBudget = int64_t(512) << 10;

// Side of the squares a transpose moves at a time: the rows read and the rows written stay in the
// first-level cache.
template <size_t N>
constexpr int32_t kSquare = N <= 8 ? 64 : 32;

template <size_t N>
inline void CopyPixel(uint8_t* dst, const uint8_t* src) {
  std::memcpy(dst, src, N);
}

// dst row r, column c (rows of dstStride bytes) = the pixel at src + r * srcColStep + c * srcRowStep.
// The steps are signed so that either direction of a turn is one walk.
template <size_t N>
void Transpose(const uint8_t* src, ptrdiff_t srcColStep, ptrdiff_t srcRowStep, uint8_t* dst, size_t dstStride,
               int32_t rows, int32_t cols) {
  constexpr int32_t kSide = kSquare<N>;
  for (int32_t r0 = 0; r0 < rows; r0 += kSide) {
    const int32_t r1 = r0 + kSide < rows ? r0 + kSide : rows;
    for (int32_t c0 = 0; c0 < cols; c0 += kSide) {
      const int32_t c1 = c0 + kSide < cols ? c0 + kSide : cols;
      for (int32_t r = r0; r < r1; ++r) {
        const uint8_t* s = src + r * srcColStep + c0 * srcRowStep;
        uint8_t* d = dst + size_t(r) * dstStride + size_t(c0) * N;
        for (int32_t k = 0; k < c1 - c0; ++k) CopyPixel<N>(d + size_t(k) * N, s + k * srcRowStep);
      }
    }
  }
}

void TransposeAny(const uint8_t* src, ptrdiff_t srcColStep, ptrdiff_t srcRowStep, uint8_t* dst, size_t dstStride,
                  int32_t rows, int32_t cols, size_t colBytes) {
  switch (colBytes) {
    case 1: return Transpose<1>(src, srcColStep, srcRowStep, dst, dstStride, rows, cols);
    case 2: return Transpose<2>(src, srcColStep, srcRowStep, dst, dstStride, rows, cols);
    case 3: return Transpose<3>(src, srcColStep, srcRowStep, dst, dstStride, rows, cols);
    case 4: return Transpose<4>(src, srcColStep, srcRowStep, dst, dstStride, rows, cols);
    case 6: return Transpose<6>(src, srcColStep, srcRowStep, dst, dstStride, rows, cols);
    case 8: return Transpose<8>(src, srcColStep, srcRowStep, dst, dstStride, rows, cols);
    case 12: return Transpose<12>(src, srcColStep, srcRowStep, dst, dstStride, rows, cols);
    case 16: return Transpose<16>(src, srcColStep, srcRowStep, dst, dstStride, rows, cols);
    default:
      for (int32_t r = 0; r < rows; ++r)
        for (int32_t c = 0; c < cols; ++c)
          std::memcpy(dst + size_t(r) * dstStride + size_t(c) * colBytes, src + r * srcColStep + c * srcRowStep,
                      colBytes);
  }
}

// Each row reversed, rows in reverse order.
void Reverse(const uint8_t* src, uint8_t* dst, int32_t rows, int32_t cols, size_t colBytes) {
  const size_t stride = size_t(cols) * colBytes;
  for (int32_t j = 0; j < rows; ++j) {
    const uint8_t* s = src + size_t(j) * stride;
    uint8_t* d = dst + size_t(rows - 1 - j) * stride;
    for (int32_t i = 0; i < cols; ++i)
      std::memcpy(d + size_t(cols - 1 - i) * colBytes, s + size_t(i) * colBytes, colBytes);
  }
}

// Turns one block (w x h source pixels, packed) into the packed block of the result.
void TurnBlock(Turn turn, const uint8_t* in, uint8_t* out, int32_t w, int32_t h, int32_t colBytes) {
  const ptrdiff_t stride = ptrdiff_t(w) * colBytes;
  switch (turn) {
    case Turn::kClockwise:
      // Result row i is source column i read from the bottom up.
      TransposeAny(in + (h - 1) * stride, colBytes, -stride, out, size_t(h) * size_t(colBytes), w, h, size_t(colBytes));
      break;
    case Turn::kCounterClockwise:
      // Result row i is source column w - 1 - i read from the top down.
      TransposeAny(in + ptrdiff_t(w - 1) * colBytes, -ptrdiff_t(colBytes), stride, out, size_t(h) * size_t(colBytes), w,
                   h, size_t(colBytes));
      break;
    case Turn::kHalf: Reverse(in, out, h, w, size_t(colBytes)); break;
  }
}

// A quarter turn of a memory record into a memory record transposes straight from one buffer into
// the other, in squares of 256 pixels so that the rows each one touches stay within the caches and
// the address translation buffers, bands of source rows shared out among the pool's threads: none
// of the block path's copies out of the source and into the result. False when the records are
// not both whole memory records (the block path then runs).
bool TurnBetweenBuffers(Turn turn, CImageRec* src, CImageRec* dst) {
  if (turn == Turn::kHalf) return false;
  std::lock_guard<std::recursive_mutex> lock(src->Mutex());
  const auto* in = static_cast<const uint8_t*>(src->LockBuffer());
  auto* out = static_cast<uint8_t*>(dst->LockBuffer());
  const int32_t last = src->NumPlanes() - 1;
  const bool whole = in != nullptr && out != nullptr && src->mLoPlane == 0 && src->mHiPlane == last &&
                     dst->mLoPlane == 0 && dst->mHiPlane == last && dst->mColBytes == src->mColBytes;
  if (whole) {
    constexpr int32_t kSide = 256;
    const int32_t w = src->mBounds.width, h = src->mBounds.height, colBytes = src->mColBytes;
    const ptrdiff_t stride = src->mRowBytes;
    const size_t dstStride = size_t(dst->mRowBytes), col = size_t(colBytes);
    // The tasks touch the two buffers alone: the source's lock is held here until they are done.
    qximage::ParallelJob job;
    job.Start((h + kSide - 1) / kSide, [&](int32_t band) {
      const int32_t y0 = band * kSide, y1 = std::min(h, y0 + kSide);
      for (int32_t x0 = 0; x0 < w; x0 += kSide) {
        const int32_t x1 = std::min(w, x0 + kSide);
        // Result pixel (r, c) comes from source (r, h - 1 - c) clockwise, (w - 1 - r, c) counter-clockwise.
        if (turn == Turn::kClockwise)
          TransposeAny(in + (y1 - 1) * stride + x0 * colBytes, colBytes, -stride,
                       out + size_t(x0) * dstStride + size_t(h - y1) * col, dstStride, x1 - x0, y1 - y0, col);
        else
          TransposeAny(in + y0 * stride + (x1 - 1) * colBytes, -ptrdiff_t(colBytes), stride,
                       out + size_t(w - x1) * dstStride + size_t(y0) * col, dstStride, x1 - x0, y1 - y0, col);
      }
    });
    job.Finish();
  }
  if (in != nullptr) src->UnlockBuffer();
  if (out != nullptr) dst->UnlockBuffer();
  return whole;
}

// Where a source block lands in the result.
QXRect Destination(Turn turn, QXRect sb, QXRect r) {
  const int32_t i0 = r.x - sb.x, j0 = r.y - sb.y;
  switch (turn) {
    case Turn::kClockwise: return QXRect{sb.x + (sb.height - j0 - r.height), sb.y + i0, r.height, r.width};
    case Turn::kCounterClockwise: return QXRect{sb.x + j0, sb.y + (sb.width - i0 - r.width), r.height, r.width};
    default: return QXRect{sb.x + (sb.width - i0 - r.width), sb.y + (sb.height - j0 - r.height), r.width, r.height};
  }
}

QXStatus Rotate(QXImageRef image, int32_t kind, QXImageRef* outImage, Turn turn) {
  if (outImage == nullptr) return kQXErrInvalidArgument;
  *outImage = nullptr;
  CImageRec* src = qx::fromHandle(image);
  // Kinds outside those QXImageCreateWithParams2 makes would give no image and no status.
  if (src == nullptr || kind < kQXImageSourceNone || kind > kQXImageSourceSolidFill) return kQXErrInvalidArgument;
  const int32_t colBytes = src->mColBytes;
  if (colBytes < 1 || src->mPlaneBytes < 1) return kQXErrUnsupportedFormat;
  const QXRect sb = src->mBounds;
  const bool quarter = turn != Turn::kHalf;
  const QXRect db{sb.x, sb.y, quarter ? sb.height : sb.width, quarter ? sb.width : sb.height};
  QXImageRef made = nullptr;
  if (QXStatus status = QXImageCreateWithParams2(db, src->mDepth, src->NumPlanes(), src->mColorSpaceType,
                                                 src->mTransparency, kind, &made))
    return status;
  if (made == nullptr) return kQXErrInvalidArgument;
  qx::Ref<CImageRec> dst = qx::Ref<CImageRec>::adopt(qx::fromHandle(made));
  // A solid-fill result keeps no pixels: there is nothing to move.
  if (kind == kQXImageSourceSolidFill) {
    *outImage = qx::toHandle<__QXImage>(dst.release());
    return 0;
  }

  if (TurnBetweenBuffers(turn, src, dst.get())) {
    *outImage = qx::toHandle<__QXImage>(dst.release());
    return 0;
  }

  const band::Blocks blocks = band::BlocksFor(sb, colBytes, kTurnBudget);
  const int64_t bytes = blocks.Bytes(colBytes);
  band::Bytes in[2] = {band::Scratch(bytes), band::Scratch(bytes)};
  band::Bytes out[2] = {band::Scratch(bytes), band::Scratch(bytes)};
  if (!in[0] || !in[1] || !out[0] || !out[1]) return kQXErrNoScratch;
  QXRect turned[2] = {};  // the source block of each slot, set before its turn is queued
  // A single block has nothing to overlap with: it is turned on the calling thread.
  const bool overlap = sb.width > blocks.width || sb.height > blocks.height;
  qximage::TaskRing ring(2, overlap ? 1 : 0, [&](int32_t k) {
    TurnBlock(turn, in[k].get(), out[k].get(), turned[k].width, turned[k].height, colBytes);
  });
  auto writeOldest = [&](int32_t k) {
    const int32_t status =
        dst->Write(Destination(turn, sb, turned[k]), dst->mLoPlane, dst->mHiPlane, out[k].get(), 0, 0);
    ring.Retire();
    return status;
  };
  // Block n is read while block n - 1 turns on a worker; then n starts turning while n - 1 is
  // written. The ring holds n - 1 until it is written, so the next slot is free for n.
  QXStatus status = band::ForEachBlock(sb, blocks, [&](QXRect r) {
    const int32_t k = ring.NextSlot();
    if (int32_t s = src->Read(r, src->mLoPlane, src->mHiPlane, in[k].get(), 0, 0)) return s;
    const int32_t previous = ring.WaitOldest();
    turned[k] = r;
    ring.Push();
    return previous < 0 ? 0 : writeOldest(previous);
  });
  if (status == 0) {
    const int32_t last = ring.WaitOldest();
    if (last >= 0) status = writeOldest(last);
  }
  if (status != 0) return status;
  *outImage = qx::toHandle<__QXImage>(dst.release());
  return 0;
}

}  // namespace

extern "C" {

QX_EXPORT QXStatus QXImageRotate90CW(QXImageRef image, int32_t kind, QXImageRef* outImage) {
  return Rotate(image, kind, outImage, Turn::kClockwise);
}

QX_EXPORT QXStatus QXImageRotate90CCW(QXImageRef image, int32_t kind, QXImageRef* outImage) {
  return Rotate(image, kind, outImage, Turn::kCounterClockwise);
}

QX_EXPORT QXStatus QXImageRotate180(QXImageRef image, int32_t kind, QXImageRef* outImage) {
  return Rotate(image, kind, outImage, Turn::kHalf);
}

}  // extern "C"
