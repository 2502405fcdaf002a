// Quarter and half turns into a new record of the caller's kind.
//
// The source is read in blocks of 256 rows (one row of tiles) by 256 or more columns, small enough
// that a block and its turned copy stay in the processor's caches; each block is turned in memory
// and written as one block of the result. A quarter turn makes source columns into result rows, so
// it is a transpose in small squares, never a column at a time through Read. The calling thread
// does every Read and Write (no record lock is held across calls) while a pool worker turns the
// previous block from the buffers alone (TaskRing, PoolTasks.h): reading, turning and writing
// overlap. Memory: four buffers of one block, 2 MB together for pixels of up to 8 bytes and at
// most 32 MB for the largest pixels (256 x 256 x 128 bytes). Quarter turns between memory records
// and every turn between tiled records need none of that: they go straight between the two
// buffers (TurnBetweenBuffers) or the two records' tiles (TurnBetweenTiles). Pixels are addressed from
// the bounds' origin; the result keeps the source's origin.
#include <QXCore/QXImage.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <type_traits>

#include "image/ImageRec.h"
#include "image/ImageTile.h"
#include "image/PixelBand.h"
#include "image/PoolTasks.h"

namespace band = qximage::band;
using qximage::kTile;
using qximage::kTileOverwrite;

namespace {

enum class Turn { kClockwise, kCounterClockwise, kHalf };

// Bytes of one block: whole tiles across for small pixels, 256 x 256 pixels for the others.
constexpr int64_t kTurnBudget = int64_t(512) << 10;

// Calls f(std::integral_constant<size_t, N>) with N the pixel size when it is one of the common
// sizes, so that pixel copies compile to plain moves, and with N = 0 (size known at run time) for
// the others.
template <class F>
void WithPixelSize(size_t colBytes, F&& f) {
  switch (colBytes) {
    case 1: return f(std::integral_constant<size_t, 1>{});
    case 2: return f(std::integral_constant<size_t, 2>{});
    case 3: return f(std::integral_constant<size_t, 3>{});
    case 4: return f(std::integral_constant<size_t, 4>{});
    case 6: return f(std::integral_constant<size_t, 6>{});
    case 8: return f(std::integral_constant<size_t, 8>{});
    case 12: return f(std::integral_constant<size_t, 12>{});
    case 16: return f(std::integral_constant<size_t, 16>{});
    default: return f(std::integral_constant<size_t, 0>{});
  }
}

// dst row r, column c (rows of dstStride bytes) = the pixel at src + r * srcColStep + c * srcRowStep,
// in squares small enough that the rows read and the rows written stay in the first-level cache.
// The steps are signed so that either direction of a turn is one walk. N is the pixel size, or 0
// for colBytes.
template <size_t N>
void Transpose(const uint8_t* src, ptrdiff_t srcColStep, ptrdiff_t srcRowStep, uint8_t* dst, size_t dstStride,
               int32_t rows, int32_t cols, size_t colBytes) {
  const size_t n = N ? N : colBytes;
  constexpr int32_t kSide = N != 0 && N <= 8 ? 64 : 32;
  for (int32_t r0 = 0; r0 < rows; r0 += kSide) {
    const int32_t r1 = std::min(rows, r0 + kSide);
    for (int32_t c0 = 0; c0 < cols; c0 += kSide) {
      const int32_t c1 = std::min(cols, c0 + kSide);
      for (int32_t r = r0; r < r1; ++r) {
        const uint8_t* s = src + r * srcColStep + c0 * srcRowStep;
        uint8_t* d = dst + size_t(r) * dstStride + size_t(c0) * n;
        for (int32_t k = 0; k < c1 - c0; ++k) std::memcpy(d + size_t(k) * n, s + k * srcRowStep, N ? N : colBytes);
      }
    }
  }
}

// Each row reversed, rows in reverse order.
template <size_t N>
void Reverse(const uint8_t* src, size_t srcStride, uint8_t* dst, size_t dstStride, int32_t rows, int32_t cols,
             size_t colBytes) {
  const size_t n = N ? N : colBytes;
  if (cols < 1) return;
  for (int32_t j = 0; j < rows; ++j) {
    const uint8_t* s = src + size_t(j) * srcStride;
    uint8_t* d = dst + size_t(rows - 1 - j) * dstStride + size_t(cols - 1) * n;
    for (int32_t i = 0; i < cols; ++i) std::memcpy(d - size_t(i) * n, s + size_t(i) * n, N ? N : colBytes);
  }
}

void TransposeAny(const uint8_t* src, ptrdiff_t srcColStep, ptrdiff_t srcRowStep, uint8_t* dst, size_t dstStride,
                  int32_t rows, int32_t cols, size_t colBytes) {
  WithPixelSize(colBytes, [&](auto size) {
    Transpose<decltype(size)::value>(src, srcColStep, srcRowStep, dst, dstStride, rows, cols, colBytes);
  });
}

void ReverseAny(const uint8_t* src, size_t srcStride, uint8_t* dst, size_t dstStride, int32_t rows, int32_t cols,
                size_t colBytes) {
  WithPixelSize(colBytes, [&](auto size) {
    Reverse<decltype(size)::value>(src, srcStride, dst, dstStride, rows, cols, colBytes);
  });
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
    case Turn::kHalf: ReverseAny(in, size_t(stride), out, size_t(stride), h, w, size_t(colBytes)); break;
  }
}

// Moves the source part `p` (pixels relative to the bounds' origin, w x h the source's size) to
// its place in the result: `in` holds the source pixels from (inX, inY) on, `out` the result's
// from (outX, outY) on. Result pixel (x, y) is source (y, h - 1 - x) clockwise, (w - 1 - y, x)
// counter-clockwise (result rows are source columns) and (w - 1 - x, h - 1 - y) for a half turn.
void TurnPart(Turn turn, QXRect p, int32_t w, int32_t h, size_t col, const uint8_t* in, ptrdiff_t inStride, int32_t inX,
              int32_t inY, uint8_t* out, size_t outStride, int32_t outX, int32_t outY) {
  const int32_t x1 = p.x + p.width, y1 = p.y + p.height;
  const ptrdiff_t c = ptrdiff_t(col);
  if (turn == Turn::kClockwise)
    TransposeAny(in + (y1 - 1 - inY) * inStride + (p.x - inX) * c, c, -inStride,
                 out + size_t(p.x - outY) * outStride + size_t(h - y1 - outX) * col, outStride, p.width, p.height, col);
  else if (turn == Turn::kHalf)
    ReverseAny(in + (p.y - inY) * inStride + (p.x - inX) * c, size_t(inStride),
               out + size_t(h - y1 - outY) * outStride + size_t(w - x1 - outX) * col, outStride, p.height, p.width,
               col);
  else
    TransposeAny(in + (p.y - inY) * inStride + (x1 - 1 - inX) * c, -c, inStride,
                 out + size_t(w - x1 - outY) * outStride + size_t(p.y - outX) * col, outStride, p.width, p.height, col);
}

// Whether a turn can move pixels straight between the two records' storage: every plane of each,
// pixels of the same size.
bool Straight(const CImageRec* src, const CImageRec* dst) {
  return src->mLoPlane == 0 && src->mHiPlane == src->NumPlanes() - 1 && dst->mLoPlane == 0 &&
         dst->mHiPlane == dst->NumPlanes() - 1 && dst->mColBytes == src->mColBytes;
}

// A quarter turn of a memory record into a memory record transposes straight from one buffer into
// the other, in squares of 256 pixels so that the rows each one touches stay within the caches and
// the address translation buffers, bands of source rows shared out among the pool's threads: none
// of the block path's copies out of the source and into the result. False when the records are
// not both memory records (the block path then runs).
bool TurnBetweenBuffers(Turn turn, CImageRec* src, CImageRec* dst) {
  if (turn == Turn::kHalf || !Straight(src, dst)) return false;
  std::lock_guard<std::recursive_mutex> lock(src->Mutex());
  const auto* in = static_cast<const uint8_t*>(src->LockBuffer());
  auto* out = static_cast<uint8_t*>(dst->LockBuffer());
  const bool both = in != nullptr && out != nullptr;
  if (both) {
    constexpr int32_t kSide = 256;
    const int32_t w = src->mBounds.width, h = src->mBounds.height;
    const size_t col = size_t(src->mColBytes);
    // The tasks touch the two buffers alone: the source's lock is held here until they are done.
    qximage::ParallelJob job;
    job.Start((h + kSide - 1) / kSide, [&](int32_t band) {
      const int32_t y0 = band * kSide, y1 = std::min(h, y0 + kSide);
      for (int32_t x0 = 0; x0 < w; x0 += kSide)
        TurnPart(turn, QXRect{x0, y0, std::min(kSide, w - x0), y1 - y0}, w, h, col, in, src->mRowBytes, 0, 0, out,
                 size_t(dst->mRowBytes), 0, 0);
    });
    job.Finish();
  }
  if (in != nullptr) src->UnlockBuffer();
  if (out != nullptr) dst->UnlockBuffer();
  return both;
}

// A turn of a tiled record into a new tiled record moves pixels straight from the source's tiles
// into the result's: each result tile is made of parts of up to two source tiles (four for a half
// turn). The calling thread makes the tiles resident and holds them while pool workers (and the
// caller, while it waits) move the parts from tile to tile: no copy through buffers, and the
// result's inner tiles are not cleared first since they are written whole. Both records' locks are
// held throughout (the result is not yet known to anyone else). False when the records are not
// both tiled; `status` then stays 0.
bool TurnBetweenTiles(Turn turn, CImageRec* source, CImageRec* result, QXStatus& status) {
  auto* src = dynamic_cast<CImageRecFile*>(source);
  auto* dst = dynamic_cast<CImageRecFile*>(result);
  if (src == nullptr || dst == nullptr || !Straight(src, dst)) return false;
  std::lock_guard<std::recursive_mutex> srcLock(src->Mutex());
  std::lock_guard<std::recursive_mutex> dstLock(dst->Mutex());
  const QXRect sb = src->mBounds;
  const int32_t w = sb.width, h = sb.height;
  const size_t col = size_t(src->mColBytes);
  struct Job {
    CImageTile* out = nullptr;
    CImageTile* in[4] = {};
    QXRect part[4] = {};
    // Taken on the calling thread: a source tile may serve two jobs running at once.
    uint8_t* outData = nullptr;
    const uint8_t* inData[4] = {};
    int32_t parts = 0;
  };
  constexpr int32_t kSlots = 8;
  Job jobs[kSlots];
  qximage::TaskRing ring(kSlots, qximage::PoolThreads() - 1, [&](int32_t k) {
    const Job& job = jobs[k];
    for (int32_t i = 0; i < job.parts; ++i) {
      const CImageTile* in = job.in[i];
      TurnPart(turn, job.part[i], w, h, col, job.inData[i], in->mRowBytes, in->mX - sb.x, in->mY - sb.y, job.outData,
               size_t(job.out->mRowBytes), job.out->mX - sb.x, job.out->mY - sb.y);
    }
  });
  // A source tile serves up to two jobs in a row (four for a half turn) and its use lock is taken
  // once: the tiles held, each with the number of queued jobs reading it.
  struct Held {
    CImageTile* tile;
    int32_t jobs;
  };
  Held held[4 * kSlots + 4];
  int32_t holding = 0;
  auto hold = [&](int32_t row, int32_t column, CImageTile*& out) {
    CImageTile* tile = src->TileAt(row * src->TileCols() + column);
    for (int32_t i = 0; i < holding; ++i) {
      if (held[i].tile == tile) {
        ++held[i].jobs;
        out = tile;
        return QXStatus(0);
      }
    }
    const QXStatus got = src->GetNativeTile(row, column, 0, &out);
    if (got == 0) {
      held[holding++] = Held{out, 1};
    } else if (out != nullptr) {
      out->ReleaseUse();
      out = nullptr;
    }
    return got;
  };
  auto unhold = [&](CImageTile* tile) {
    for (int32_t i = 0; i < holding; ++i) {
      if (held[i].tile == tile && --held[i].jobs == 0) {
        tile->ReleaseUse();
        held[i] = held[--holding];
        return;
      }
    }
  };
  auto release = [&](Job& job) {
    for (int32_t i = 0; i < job.parts; ++i) unhold(job.in[i]);
    if (job.out != nullptr) job.out->ReleaseUse();
    job = Job{};
  };
  auto retire = [&](int32_t k) {
    jobs[k].out->SetDirty(true);
    release(jobs[k]);
    ring.Retire();
  };
  for (int32_t r = 0; r < dst->TileRows() && status == 0; ++r) {
    for (int32_t c = 0; c < dst->TileCols() && status == 0; ++c) {
      for (int32_t k; (k = ring.Ready()) >= 0;) retire(k);
      if (ring.Full()) retire(ring.WaitOldest());
      Job& job = jobs[ring.NextSlot()];
      // The result tile's pixels inside the bounds, and the source rectangle they come from.
      const int32_t x0 = c * kTile, y0 = r * kTile;
      const int32_t x1 = std::min(dst->mBounds.width, x0 + kTile), y1 = std::min(dst->mBounds.height, y0 + kTile);
      const bool inner = x1 - x0 == kTile && y1 - y0 == kTile;
      const QXRect from = turn == Turn::kClockwise          ? QXRect{y0, h - x1, y1 - y0, x1 - x0}
                          : turn == Turn::kCounterClockwise ? QXRect{w - y1, x0, y1 - y0, x1 - x0}
                                                            : QXRect{w - x1, h - y1, x1 - x0, y1 - y0};
      status = dst->GetNativeTile(r, c, inner ? kTileOverwrite : 0, &job.out);
      // For a quarter turn one axis of `from` lies on the source's tile grid: at most two source
      // tiles; at most four for a half turn.
      for (int32_t row = from.y / kTile; status == 0 && row * kTile < from.y + from.height; ++row) {
        for (int32_t column = from.x / kTile; status == 0 && column * kTile < from.x + from.width; ++column) {
          CImageTile*& in = job.in[job.parts];
          status = hold(row, column, in);
          if (in == nullptr) break;
          job.inData[job.parts] = in->DataPtr();
          job.part[job.parts++] = qximage::Intersect(from, QXRect{in->mX - sb.x, in->mY - sb.y, kTile, kTile});
        }
      }
      if (status == 0) {
        job.outData = job.out->DataPtr();
        ring.Push();
      } else {
        release(job);
      }
    }
  }
  for (int32_t k; (k = ring.WaitOldest()) >= 0;) retire(k);
  return true;
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
  qx::Ref<CImageRec> dst;
  if (kind == kQXImageSourceMemory && dynamic_cast<CImageRecMemory*>(src) != nullptr) {
    // A memory result turned straight from a memory source gets every byte written (rows without
    // padding), so its buffer is not cleared first.
    CImageRec* made = nullptr;
    QXStatus status = qximage::MakeRecord<CImageRecMemory>(db, src->mDepth, src->NumPlanes(), src->mColorSpaceType,
                                                           src->mTransparency, kind, false, &made);
    dst = qx::Ref<CImageRec>::adopt(made);
    if (status == 0) {
      const bool whole = turn != Turn::kHalf && Straight(src, made) && made->mRowBytes == int64_t(db.width) * colBytes;
      status = static_cast<CImageRecMemory*>(made)->Allocate(!whole);
    }
    if (status != 0) return status;
  } else {
    QXImageRef made = nullptr;
    if (QXStatus status = QXImageCreateWithParams2(db, src->mDepth, src->NumPlanes(), src->mColorSpaceType,
                                                   src->mTransparency, kind, &made))
      return status;
    if (made == nullptr) return kQXErrInvalidArgument;
    dst = qx::Ref<CImageRec>::adopt(qx::fromHandle(made));
  }
  // A solid-fill result keeps no pixels: there is nothing to move.
  if (kind == kQXImageSourceSolidFill) {
    *outImage = qx::toHandle<__QXImage>(dst.release());
    return 0;
  }

  QXStatus straight = 0;
  if (TurnBetweenBuffers(turn, src, dst.get()) || TurnBetweenTiles(turn, src, dst.get(), straight)) {
    if (straight != 0) return straight;
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
