// Tiled records to and from streams: a header of seven words, then one record per tile in
// row-major order (row, col, method, length, payload). Words follow the stream's byte order;
// pixel bytes are copied as they lie in memory.
//
// Both directions run tiles through a small ordered ring (TaskRing, PoolTasks.h). Saving: the
// calling thread fetches each tile in order, tests it against the reference pixel and copies a
// non-solid tile into a ring slot, releasing the tile at once; pool workers (and the caller,
// whenever it would otherwise wait) deflate the copies, and the caller writes the records in
// order with their known lengths, the bytes a sequential placeholder-and-patch writer produces.
// Loading: the caller reads and checks each record and queues its payload; a worker makes the
// tile resident and fills it. No thread ever holds one tile's use lock while it makes another
// resident, and the caller only waits for work that a running thread has already taken, so a
// slow pool costs speed, not progress.
#include <QXCore/QXImage.h>
#include <QXCore/QXStream.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/Handle.h"
#include "net/StreamHandle.h"
#include "utils/Deflate.h"
#include "image/ImageRec.h"
#include "image/ImageTile.h"
#include "image/PoolTasks.h"

namespace {

using qximage::kTile;

constexpr int64_t kTilePixels = int64_t(kTile) * kTile;
constexpr int32_t kRecordHeaderBytes = 16;

enum : int32_t { kMethodRaw = 0, kMethodSolid = 1, kMethodDeflate = 2 };

// What a stream may ask for, checked before anything is allocated: the tiled record's own limits,
// and the host's limit on the bytes of all tiles together.
constexpr int32_t kMaxSide = 1 << 20;
constexpr int64_t kMaxTiles = int64_t(1) << 20;
constexpr uint64_t kDefaultLoadLimit = uint64_t(16) << 30;
std::atomic<uint64_t> gLoadLimit{kDefaultLoadLimit};

// The fuzzing build keeps images small so that each input runs in milliseconds, until a target sets
// a load limit of its own to fuzz what a release build lets through.
#ifdef QX_FUZZING
constexpr int32_t kFuzzMaxSide = 1 << 12;
constexpr int64_t kFuzzMaxTiles = 64;
constexpr uint64_t kFuzzMaxBytes = uint64_t(64) << 20;
std::atomic<bool> gLoadLimitSet{false};
#endif

// Deflate spends at least two bits on 258 bytes, so a compressed record shorter than a tile's bytes
// over this cannot fill the tile.
constexpr uint64_t kDeflateMaxRatio = 1032;

// The ring holds this many bytes of tile copies at most (and always at least two slots).
constexpr int64_t kRingBytes = int64_t(64) << 20;

int32_t RingSlots(int32_t workers, int64_t slotBytes) {
  int32_t slots = std::clamp(3 * workers, 4, 32);
  while (slots > 2 && slots * slotBytes > kRingBytes) --slots;
  return slots;
}

int32_t WriteBytes(CBaseStream* stream, const void* bytes, uint64_t count) {
  if (count == 0) return 0;
  uint64_t written = count;
  int32_t status = stream->WriteChunk(static_cast<const char*>(bytes), written);
  return status != 0 ? status : (written == count ? 0 : kQXErrGeneric);
}

int32_t ReadBytes(CBaseStream* stream, void* bytes, uint64_t count) {
  if (count == 0) return 0;
  uint64_t got = count;
  int32_t status = stream->ReadChunk(static_cast<char*>(bytes), true, got);
  return status != 0 ? status : (got == count ? 0 : kQXErrGeneric);
}

// The bytes left in the stream, when it knows its length and position.
bool BytesLeft(CBaseStream* stream, uint64_t& left) {
  uint64_t pos = 0, length = 0;
  if (stream->GetPos(pos) != 0 || stream->GetLength(length) != 0) return false;
  left = length > pos ? length - pos : 0;
  return true;
}

// Repeats the `unit` bytes at the start of `bytes` until `count` bytes are filled.
void RepeatPattern(uint8_t* bytes, size_t unit, size_t count) {
  size_t filled = std::min(unit, count);
  while (filled < count) {
    size_t step = std::min(filled, count - filled);
    std::memcpy(bytes + filled, bytes, step);
    filled += step;
  }
}

// ---- Saving ----

struct SaveJob {
  int32_t row = 0, col = 0;
  bool solid = false;
  size_t tileBytes = 0;
  std::unique_ptr<uint8_t[]> input;  // a private copy of the tile, tileBytes long
  std::vector<uint8_t> output;       // its zlib record
  int32_t status = 0;

  void Run() { status = qxdeflate::ZlibCompress(input.get(), tileBytes, output); }
};

int32_t WriteRecord(CBaseStream* stream, const SaveJob& job, const std::vector<uint8_t>& reference) {
  int32_t status = job.status;
  if (status == 0) status = stream->WriteInt32(job.row);
  if (status == 0) status = stream->WriteInt32(job.col);
  if (job.solid) {
    if (status == 0) status = stream->WriteInt32(kMethodSolid);
    if (status == 0) status = stream->WriteInt32(int32_t(reference.size()));
    if (status == 0) status = WriteBytes(stream, reference.data(), reference.size());
  } else {
    if (status == 0) status = stream->WriteInt32(kMethodDeflate);
    if (status == 0) status = stream->WriteInt32(int32_t(job.output.size()));
    if (status == 0) status = WriteBytes(stream, job.output.data(), job.output.size());
  }
  return status;
}

// Whether `rows` rows of `rowLength` bytes, `stride` apart, all consist of the reference pixel
// (`referenceRow` holds it repeated over a whole tile row).
bool AllReference(const uint8_t* bytes, int64_t stride, int32_t rows, size_t rowLength,
                  const std::vector<uint8_t>& referenceRow) {
  for (int32_t y = 0; y < rows; ++y) {
    if (std::memcmp(bytes + y * stride, referenceRow.data(), rowLength) != 0) return false;
  }
  return true;
}

// ---- Loading ----

struct LoadJob {
  CImageRecFile* image = nullptr;
  int32_t row = 0, col = 0;
  int32_t method = 0;
  size_t tileBytes = 0;
  std::vector<uint8_t> payload;
  int32_t status = 0;

  void Run() {
    CImageTile* tile = nullptr;
    status = image->GetNativeTile(row, col, 0, &tile);
    if (status == 0) {
      uint8_t* data = tile->DataPtr();
      if (data == nullptr || size_t(tile->mAllocSize) < tileBytes) {
        status = kQXErrGeneric;
      } else if (method == kMethodRaw) {
        if (!payload.empty()) std::memcpy(data, payload.data(), payload.size());
      } else if (method == kMethodSolid) {
        std::memcpy(data, payload.data(), payload.size());
        RepeatPattern(data, payload.size(), tileBytes);
      } else {
        status = qxdeflate::ZlibDecompress(payload.data(), payload.size(), data, tileBytes);
      }
      // The bytes exist nowhere else: a purge must store them.
      tile->SetDirty(true);
    }
    if (tile != nullptr) tile->ReleaseUse();
  }
};

bool AllZero(const std::vector<uint8_t>& bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t v) { return v == 0; });
}

struct RecordHead {
  int32_t row = 0, col = 0, method = 0, length = 0;
};

// Reads one record's four words and checks them against the grid, before any of its payload.
int32_t ReadRecordHead(CBaseStream* stream, int64_t tileRows, int64_t tileCols, int32_t colBytes, size_t tileBytes,
                       bool knowsLength, RecordHead& head) {
  int32_t status = stream->ReadInt32(head.row);
  if (status == 0) status = stream->ReadInt32(head.col);
  if (status == 0) status = stream->ReadInt32(head.method);
  if (status == 0) status = stream->ReadInt32(head.length);
  if (status != 0) return status;
  // Records are taken as they come, but only for tiles of the grid.
  if (head.row < 0 || head.row >= tileRows || head.col < 0 || head.col >= tileCols) return kQXErrInvalidArgument;
  const int32_t method = head.method, length = head.length;
  if (method == kMethodSolid && length != colBytes) return kQXErrSolidTileSize;
  if ((method != kMethodRaw && method != kMethodSolid && method != kMethodDeflate) || length < 0 ||
      (method == kMethodRaw && size_t(length) > tileBytes) ||
      (method == kMethodDeflate && uint64_t(length) * kDeflateMaxRatio < tileBytes))
    return kQXErrInvalidArgument;
  uint64_t left = 0;
  if (knowsLength && BytesLeft(stream, left) && uint64_t(length) > left) return kQXErrGeneric;
  return 0;
}

// A deflated payload up to this size goes through the ring; longer ones (legal but never written
// by a saver) are inflated from the stream in 16 KiB steps, so no length read from a stream sizes
// an allocation beyond what a tile needs.
size_t RingPayloadLimit(size_t tileBytes) { return tileBytes + tileBytes / 8 + 1024; }

}  // namespace

int32_t CImageRecFile::SaveToStream(CBaseStream* stream) {
  if (stream == nullptr) return kQXErrInvalidArgument;
  const int32_t colBytes = mColBytes;
  const int32_t planes = mHiPlane - mLoPlane + 1;
  if (colBytes <= 0 || mTileCount <= 0 || mBounds.width <= 0 || mBounds.height <= 0) return kQXErrInvalidArgument;
  const size_t tileBytes = size_t(colBytes) * size_t(kTilePixels);
  const size_t tileRowBytes = size_t(colBytes) * kTile;

  try {
    // The reference pixel; it stays zero when (0, 0) lies outside the image (the read clips).
    std::vector<uint8_t> reference(size_t(colBytes), 0);
    int32_t status = Read(QXRect{0, 0, 1, 1}, mLoPlane, mHiPlane, reference.data(), colBytes, 0);
    if (status != 0) return status;
    std::vector<uint8_t> referenceRow(tileRowBytes);
    std::memcpy(referenceRow.data(), reference.data(), reference.size());
    RepeatPattern(referenceRow.data(), reference.size(), tileRowBytes);

    const int32_t header[7] = {0, mBounds.width, mBounds.height, mDepth, mColorSpaceType, mTransparency, planes};
    for (int32_t word : header) {
      status = stream->WriteInt32(word);
      if (status != 0) return status;
    }

    const int32_t rows = mTileRows, cols = mTileCols;
    const int32_t workers = mTileCount > 1 ? qximage::PoolThreads() : 0;
    std::vector<SaveJob> jobs(size_t(RingSlots(workers, int64_t(tileBytes))));
    qximage::TaskRing ring(int32_t(jobs.size()), workers, [&jobs](int32_t k) { jobs[size_t(k)].Run(); });
    std::vector<uint8_t> scratch;

    auto writeReady = [&]() -> int32_t {
      for (int32_t k = ring.Ready(); k >= 0; k = ring.Ready()) {
        int32_t written = WriteRecord(stream, jobs[size_t(k)], reference);
        ring.Retire();
        if (written != 0) return written;
      }
      return 0;
    };

    for (int32_t r = 0; r < rows; ++r) {
      for (int32_t c = 0; c < cols; ++c) {
        while (ring.Full()) {
          status = writeReady();
          if (status != 0) return status;
          if (ring.Full()) ring.HelpOrWait();
        }
        QXRect tileRect{mBounds.x + kTile * c, mBounds.y + kTile * r, kTile, kTile};
        QXRect visible = qximage::Intersect(tileRect, mBounds);
        bool edge = visible.width != kTile || visible.height != kTile;
        size_t visibleRowBytes = size_t(visible.width) * size_t(colBytes);
        // An edge tile is tested through a read of its visible part, taken before the tile is
        // held: the read makes the tile resident itself.
        if (edge) {
          if (scratch.empty()) scratch.resize(tileBytes);
          status = Read(visible, mLoPlane, mHiPlane, scratch.data(), int32_t(visibleRowBytes), 0);
          if (status != 0) return status;
        }

        CImageTile* tile = nullptr;
        status = GetNativeTile(r, c, 0, &tile);
        uint8_t* data = status == 0 ? tile->DataPtr() : nullptr;
        if (status == 0 && (data == nullptr || size_t(tile->mAllocSize) < tileBytes)) status = kQXErrGeneric;
        if (status != 0) {
          if (tile != nullptr) tile->ReleaseUse();
          return status;
        }
        bool solid =
            edge ? AllReference(scratch.data(), int64_t(visibleRowBytes), visible.height, visibleRowBytes, referenceRow)
                 : AllReference(data, int64_t(tileRowBytes), kTile, tileRowBytes, referenceRow);
        SaveJob& job = jobs[size_t(ring.NextSlot())];
        job.row = r;
        job.col = c;
        job.solid = solid;
        job.tileBytes = tileBytes;
        job.status = 0;
        if (!solid) {
          if (!job.input) job.input.reset(new (std::nothrow) uint8_t[tileBytes]);
          if (!job.input) {
            tile->ReleaseUse();
            return kQXErrMemory;
          }
          std::memcpy(job.input.get(), data, tileBytes);
        }
        tile->ReleaseUse();
        ring.Push(!solid);
        status = writeReady();
        if (status != 0) return status;
      }
    }
    while (!ring.Empty()) {
      status = writeReady();
      if (status != 0) return status;
      if (!ring.Empty()) ring.HelpOrWait();
    }
    return 0;
  } catch (const std::bad_alloc&) {
    return kQXErrMemory;
  }
}

int32_t CImageRecFile::ReadFromStream(CBaseStream* stream) {
  if (stream == nullptr) return kQXErrInvalidArgument;
  int32_t header[7] = {};
  int32_t status = 0;
  for (int32_t& word : header) status |= stream->ReadInt32(word);
  if (status != 0) return status;
  const int32_t width = header[1], height = header[2], depth = header[3];
  const int32_t colorSpaceType = header[4], transparency = header[5], planes = header[6];

  // Nothing is built from a header that does not describe a sane image.
  if (width < 1 || width > kMaxSide || height < 1 || height > kMaxSide) return kQXErrInvalidArgument;
  if (depth != 8 && depth != 16 && depth != 32) return kQXErrInvalidArgument;
  if (planes < 1 || planes > qximage::kMaxPlanes) return kQXErrInvalidArgument;
  const int64_t tileRows = (int64_t(height) + kTile - 1) / kTile;
  const int64_t tileCols = (int64_t(width) + kTile - 1) / kTile;
  const int64_t tileCount = tileRows * tileCols;
  if (tileCount > kMaxTiles) return kQXErrInvalidArgument;
  const int32_t colBytes = depth / 8 * planes;
  const size_t tileBytes = size_t(colBytes) * size_t(kTilePixels);
  // Each record fills at most one tile and only one record per tile is read, so this bounds all
  // that the load can produce, in memory and in the disk store.
  const uint64_t imageBytes = uint64_t(tileCount) * tileBytes;
  if (imageBytes > gLoadLimit.load(std::memory_order_relaxed)) return kQXErrInvalidArgument;
#ifdef QX_FUZZING
  if (!gLoadLimitSet.load(std::memory_order_relaxed) &&
      (width > kFuzzMaxSide || height > kFuzzMaxSide || tileCount > kFuzzMaxTiles || imageBytes > kFuzzMaxBytes))
    return kQXErrInvalidArgument;
#endif
  // Every record takes at least its four words: a stream too short for them is truncated, and is
  // refused before the grid is built.
  uint64_t left = 0;
  const bool knowsLength = BytesLeft(stream, left);
  if (knowsLength && left < uint64_t(tileCount) * kRecordHeaderBytes) return kQXErrGeneric;

  try {
    const size_t ringLimit = RingPayloadLimit(tileBytes);
    // The first record, payload included when it goes through the ring, is read and checked before
    // the grid is built: a stream of unknown length (a socket) gives no other sign that records
    // follow the header at all.
    RecordHead head;
    status = ReadRecordHead(stream, tileRows, tileCols, colBytes, tileBytes, knowsLength, head);
    if (status != 0) return status;
    auto streamed = [&] { return head.method == kMethodDeflate && size_t(head.length) > ringLimit; };
    std::vector<uint8_t> firstPayload;
    if (!streamed()) {
      firstPayload.resize(size_t(head.length));
      status = ReadBytes(stream, firstPayload.data(), firstPayload.size());
      if (status != 0) return status;
    }

    status = Init(QXRect{0, 0, width, height}, depth, planes, colorSpaceType, transparency, kQXImageSourceNone, false);
    if (status != 0) return status;
    if (mColBytes != colBytes || mTileRows != tileRows || mTileCols != tileCols) return kQXErrGeneric;

    const int32_t workers = tileCount > 1 ? qximage::PoolThreads() : 0;
    std::vector<LoadJob> jobs(size_t(RingSlots(workers, int64_t(ringLimit))));
    qximage::TaskRing ring(int32_t(jobs.size()), workers, [&jobs](int32_t k) { jobs[size_t(k)].Run(); });
    // Tiles a record of this stream has written. Until then a tile holds zeros without being made
    // resident, so a record of zeros for it is dropped rather than materialised.
    std::vector<bool> written(size_t(tileCount), false);
    int32_t jobStatus = 0;  // the first failure of a queued record, in record order

    auto retireReady = [&] {
      for (int32_t k = ring.Ready(); k >= 0; k = ring.Ready()) {
        if (jobStatus == 0) jobStatus = jobs[size_t(k)].status;
        ring.Retire();
      }
    };
    auto drain = [&] {
      while (!ring.Empty()) {
        retireReady();
        if (!ring.Empty()) ring.HelpOrWait();
      }
    };

    for (int64_t k = 0; k < tileCount && status == 0 && jobStatus == 0; ++k) {
      if (k > 0) {
        status = ReadRecordHead(stream, tileRows, tileCols, colBytes, tileBytes, knowsLength, head);
        if (status != 0) break;
      }
      const int32_t row = head.row, col = head.col, method = head.method, length = head.length;
      const size_t index = size_t(row) * size_t(tileCols) + size_t(col);
      // A later record for the same tile must land after the earlier one.
      auto sameTile = [&](int32_t k) { return jobs[size_t(k)].row == row && jobs[size_t(k)].col == col; };
      for (retireReady(); ring.AnyUnfinished(sameTile); retireReady()) ring.HelpOrWait();

      if (streamed()) {
        written[index] = true;
        drain();
        if (jobStatus != 0) break;
        CImageTile* tile = nullptr;
        status = GetNativeTile(row, col, 0, &tile);
        if (status == 0) {
          uint8_t* data = tile->DataPtr();
          status = (data != nullptr && size_t(tile->mAllocSize) >= tileBytes)
                       ? QXUtilsLZWDecompress(stream, length, data, uint32_t(tileBytes))
                       : kQXErrGeneric;
          tile->SetDirty(true);
        }
        if (tile != nullptr) tile->ReleaseUse();
        continue;
      }

      while (ring.Full()) {
        retireReady();
        if (ring.Full()) ring.HelpOrWait();
      }
      LoadJob& job = jobs[size_t(ring.NextSlot())];
      if (k == 0) {
        job.payload.swap(firstPayload);
      } else {
        job.payload.resize(size_t(length));
        status = ReadBytes(stream, job.payload.data(), job.payload.size());
        if (status != 0) break;
      }
      if (method != kMethodDeflate && !written[index] && AllZero(job.payload)) continue;
      written[index] = true;
      job.image = this;
      job.row = row;
      job.col = col;
      job.method = method;
      job.tileBytes = tileBytes;
      job.status = 0;
      ring.Push(true);
      retireReady();
    }
    drain();
    return jobStatus != 0 ? jobStatus : status;
  } catch (const std::bad_alloc&) {
    return kQXErrMemory;
  }
}

extern "C" {

QX_EXPORT QXStatus QXImageSaveToStream(QXImageRef image, QXStreamRef stream) {
  if (image == nullptr || stream == nullptr) return kQXErrInvalidArgument;
  return qx::fromHandle(image)->SaveToStream(qx::fromHandle(stream));
}

QX_EXPORT QXStatus QXImageCreateFromStream(QXStreamRef stream, int32_t /*unused*/, QXImageRef* outImage) {
  if (outImage == nullptr) return kQXErrInvalidArgument;
  *outImage = nullptr;
  if (stream == nullptr) return kQXErrInvalidArgument;
  qx::Ref<CImageRecFile> image = qx::make<CImageRecFile>();
  if (!image) return kQXErrMemory;
  int32_t status = image->ReadFromStream(qx::fromHandle(stream));
  if (status != 0) return status;
  *outImage = qx::toHandle<__QXImage>(image.release());
  return 0;
}

QX_EXPORT void QXImageSetStreamLoadLimit(uint64_t bytes) {
  gLoadLimit.store(bytes, std::memory_order_relaxed);
#ifdef QX_FUZZING
  gLoadLimitSet.store(true, std::memory_order_relaxed);
#endif
}

QX_EXPORT uint64_t QXImageGetStreamLoadLimit(void) { return gLoadLimit.load(std::memory_order_relaxed); }

}  // extern "C"
