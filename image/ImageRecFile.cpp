// Tiled records: the grid, tile access through the cache, and transfers through the tiles.
#include <cstring>
#include <new>

#include "image/ImageRec.h"
#include "image/ImageTile.h"
#include "image/TileCache.h"

using qximage::kTile;

namespace {

int32_t TilesAcross(int32_t pixels) { return pixels / kTile + (pixels % kTile != 0 ? 1 : 0); }

// The grid size a geometry needs, or a status when it is too large.
int32_t CheckGrid(QXRect bounds) {
  if (bounds.width <= 0 || bounds.height <= 0) return 0;  // Init reports these
  if (int64_t(TilesAcross(bounds.width)) * TilesAcross(bounds.height) > qximage::kMaxTiles)
    return kQXErrInvalidArgument;
  return 0;
}

}  // namespace

CImageRecFile::CImageRecFile() { CImageCacheMgr::Get().AddImage(this); }

CImageRecFile::~CImageRecFile() {
  DestroyGrid();
  CImageCacheMgr::Get().ForgetImage(this);
}

int32_t CImageRecFile::BuildGrid() {
  const int32_t cols = TilesAcross(mBounds.width), rows = TilesAcross(mBounds.height);
  const int64_t count = int64_t(cols) * rows;
  const int32_t planes = mHiPlane - mLoPlane + 1;
  std::vector<CImageTile*> tiles;
  try {
    tiles.reserve(size_t(count));
    for (int32_t r = 0; r < rows; ++r) {
      for (int32_t c = 0; c < cols; ++c) {
        auto* tile = new CImageTile;
        tile->mPlanes = planes;
        tile->mDepth = mDepth;
        tile->mColBytes = mDepth / 8 * planes;
        tile->mRowBytes = tile->mColBytes * kTile;
        tile->mX = mBounds.x + kTile * c;
        tile->mY = mBounds.y + kTile * r;
        tile->mWidth = kTile;
        tile->mHeight = kTile;
        tile->mAllocKind = kQXTileStorageHeap;
        tile->mParent = this;
        tile->mRow = r;
        tile->mCol = c;
        tiles.push_back(tile);
      }
    }
  } catch (...) {
    for (CImageTile* tile : tiles) tile->Release();
    return kQXErrMemory;
  }
  std::lock_guard<std::mutex> grid(mGridMutex);
  mTiles.swap(tiles);
  mTileRows = rows;
  mTileCols = cols;
  mTileCount = int32_t(count);
  return 0;
}

void CImageRecFile::DestroyGrid() {
  std::lock_guard<std::recursive_mutex> lock(mMutex);
  if (mTiles.empty()) return;
  // Holding every use lock waits out purges of our tiles in flight on other threads and keeps new
  // ones from starting; then nothing else can reach the tiles.
  for (CImageTile* tile : mTiles) tile->AcquireUse();
  CImageCacheMgr& cache = CImageCacheMgr::Get();
  cache.RemoveTiles(this);
  for (CImageTile* tile : mTiles) cache.Notify(kQXImageMsgTileDestroyed, this, tile);
  std::vector<CImageTile*> tiles;
  {
    std::lock_guard<std::mutex> grid(mGridMutex);
    tiles.swap(mTiles);
    mTileRows = mTileCols = mTileCount = 0;
  }
  for (CImageTile* tile : tiles) {
    tile->ReleaseUse();
    tile->Release();
  }
}

bool CImageRecFile::CopyGrid(std::vector<qx::Ref<CImageTile>>& tiles, int32_t& rows, int32_t& cols) {
  std::lock_guard<std::mutex> grid(mGridMutex);
  try {
    tiles.reserve(mTiles.size());
  } catch (...) {
    return false;
  }
  for (CImageTile* tile : mTiles) tiles.push_back(qx::Ref<CImageTile>::retain(tile));
  rows = mTileRows;
  cols = mTileCols;
  return true;
}

int32_t CImageRecFile::Init(QXRect bounds, int32_t depth, int32_t planes, int32_t colorSpaceType, int32_t transparency,
                            int32_t dataSourceType, bool allocate) {
  // Tiles hold whole samples: no bitmaps.
  if (bounds.width != 0 && bounds.height != 0 && depth != 8 && depth != 16 && depth != 32)
    return kQXErrUnsupportedFormat;
  if (int32_t status = CheckGrid(bounds)) return status;
  if (int32_t status = CheckInit(bounds, depth, planes)) return status;
  std::lock_guard<std::recursive_mutex> lock(mMutex);
  // A second Init starts from an empty grid of the new geometry. The old grid goes first: purges
  // of its tiles in flight on other threads still read the old geometry.
  DestroyGrid();
  if (int32_t status = CImageRec::Init(bounds, depth, planes, colorSpaceType, transparency, dataSourceType, allocate))
    return status;
  return BuildGrid();
}

int32_t CImageRecFile::AdjustBounds(QXRect bounds, int32_t loPlane, int32_t hiPlane) {
  if (int32_t status = CheckGrid(bounds)) return status;
  if (int32_t status = CheckAdjust(bounds, loPlane, hiPlane)) return status;
  std::lock_guard<std::recursive_mutex> lock(mMutex);
  // The tiles stay only if their pixels keep their size: a new sample size (QXImageSetPlaneBytes)
  // needs a new grid too.
  const bool move = mHiPlane - mLoPlane == hiPlane - loPlane &&
                    (int64_t(hiPlane) - loPlane + 1) * mPlaneBytes == mColBytes && mBounds.width == bounds.width &&
                    mBounds.height == bounds.height && !mTiles.empty();
  if (move) {
    // Only the origin and plane numbers change; the sizes that purges of our tiles on other
    // threads read stay as they are (and are not even rewritten).
    mBounds = bounds;
    mLoPlane = loPlane;
    mHiPlane = hiPlane;
    for (CImageTile* tile : mTiles) {
      tile->mX = mBounds.x + kTile * tile->mCol;
      tile->mY = mBounds.y + kTile * tile->mRow;
    }
    return 0;
  }
  // A new shape needs a new grid; the old one goes before the geometry its purges read changes.
  DestroyGrid();
  if (int32_t status = CImageRec::AdjustBounds(bounds, loPlane, hiPlane)) return status;
  return BuildGrid();
}

int32_t CImageRecFile::CreateLike(QXRect bounds, int32_t depth, int32_t planes, int32_t colorSpaceType,
                                  int32_t transparency, bool allocate, CImageRec** out) {
  return qximage::MakeRecord<CImageRecFile>(bounds, depth, planes, colorSpaceType, transparency, kQXImageSourceTiled,
                                            allocate, out);
}

int32_t CImageRecFile::GetNativeTile(int32_t row, int32_t col, int32_t flags, CImageTile** out) {
  std::lock_guard<std::recursive_mutex> lock(mMutex);
  if (row < 0 || col < 0 || row >= mTileRows || col >= mTileCols) {
    if (out) *out = nullptr;
    return kQXErrGeneric;
  }
  CImageTile* tile = mTiles[size_t(row) * size_t(mTileCols) + size_t(col)];
  if (out) *out = tile;
  tile->AcquireUse();
  if (!(flags & kQXImageTileNoLoad)) {
    const bool overwrite = (flags & qximage::kTileOverwrite) != 0;
    if (!tile->mEverLoaded) {
      if (int32_t status = tile->Realloc(!overwrite)) return status;
      tile->mEverLoaded = true;
    } else if (tile->DataPtr() == nullptr) {
      // Purged: back from the store, or zeros for a tile that never reached it.
      const bool stored = tile->mStoreSlot != -1 && !overwrite;
      if (int32_t status = tile->Realloc(!stored && !overwrite)) return status;
      if (stored) {
        if (int32_t status = CImageCacheMgr::Get().ReloadTile(tile)) {
          // Keep the slot and its good bytes; the storage that got garbage goes.
          tile->FreeData();
          return status;
        }
      }
    }
  }
  CImageCacheMgr::Get().AddTile(tile);
  return 0;
}

// Neither query takes the record's lock: a thread holding a tile may ask about its image while
// another thread waits for that tile inside the image's lock.
bool CImageRecFile::GetTileLoaded(int32_t row, int32_t col) {
  std::lock_guard<std::mutex> grid(mGridMutex);
  if (row < 0 || col < 0 || row >= mTileRows || col >= mTileCols) return false;
  return mTiles[size_t(row) * size_t(mTileCols) + size_t(col)]->Resident();
}

bool CImageRecFile::TileInUse() {
  std::lock_guard<std::mutex> grid(mGridMutex);
  for (CImageTile* tile : mTiles)
    if (tile->UseLock() != 0) return true;
  return false;
}

int32_t CImageRecFile::SetKeepResident(int32_t flag) {
  // Unpinning only clears the flag the purge walk reads: no lock, so a thread holding one of our
  // tiles may unpin while another waits for that tile inside our lock.
  if (flag == 0) {
    mKeepResident.store(0, std::memory_order_relaxed);
    return 0;
  }
  std::lock_guard<std::recursive_mutex> lock(mMutex);
  mKeepResident.store(flag, std::memory_order_relaxed);
  for (int32_t r = 0; r < mTileRows; ++r) {
    for (int32_t c = 0; c < mTileCols; ++c) {
      CImageTile* tile = nullptr;
      const int32_t status = GetNativeTile(r, c, 0, &tile);
      if (tile) tile->ReleaseUse();
      if (status != 0) return status;
    }
  }
  return 0;
}

int32_t CImageRecFile::PurgeTile(CImageTile* tile) {
  if (tile == nullptr) return kQXErrInvalidArgument;
  tile->AcquireUse();
  const int32_t status = CImageCacheMgr::Get().PurgeHeldTile(tile);
  if (status == 0) CImageCacheMgr::Get().Unlist(tile);
  tile->ReleaseUse();
  return status;
}

int32_t CImageRecFile::Purge() {
  std::lock_guard<std::recursive_mutex> lock(mMutex);
  CImageCacheMgr& cache = CImageCacheMgr::Get();
  const bool canStore = cache.HasStore();
  for (CImageTile* tile : mTiles) {
    if (!tile->mEverLoaded && !tile->mListed.load(std::memory_order_acquire)) continue;
    tile->AcquireUse();
    // Nothing to do for a tile purged already; without a store a dirty tile stays resident.
    if ((!tile->Resident() && !tile->mListed.load(std::memory_order_relaxed)) || (tile->mDirty && !canStore)) {
      tile->ReleaseUse();
      continue;
    }
    // Purged while still listed, and unlisted only once its data is safe: a failure leaves the
    // tile exactly as it was.
    const int32_t status = cache.PurgeHeldTile(tile);
    if (status == 0) cache.Unlist(tile);
    tile->ReleaseUse();
    if (status != 0) return status;
  }
  return 0;
}

template <class Copy>
int32_t CImageRecFile::ForEachTile(const QXTransfer& t, bool write, Copy&& copy) {
  const int32_t firstRow = (t.area.y - mBounds.y) / kTile;
  const int32_t lastRow = (t.area.y - mBounds.y + t.area.height - 1) / kTile;
  const int32_t firstCol = (t.area.x - mBounds.x) / kTile;
  const int32_t lastCol = (t.area.x - mBounds.x + t.area.width - 1) / kTile;
  for (int32_t r = firstRow; r <= lastRow; ++r) {
    for (int32_t c = firstCol; c <= lastCol; ++c) {
      // A tile written whole, every plane without conversion, needs no clearing or reload first.
      // Edge tiles reach past the bounds and are never whole.
      const QXRect bounds = mTiles[size_t(r) * size_t(mTileCols) + size_t(c)]->Bounds();
      const bool whole = write && t.wholePixels && t.area.x <= bounds.x && t.area.y <= bounds.y &&
                         int64_t(t.area.x) + t.area.width >= int64_t(bounds.x) + bounds.width &&
                         int64_t(t.area.y) + t.area.height >= int64_t(bounds.y) + bounds.height;
      CImageTile* tile = nullptr;
      int32_t status = GetNativeTile(r, c, whole ? qximage::kTileOverwrite : 0, &tile);
      if (status == 0) {
        const QXRect part = qximage::Intersect(t.area, tile->Bounds());
        if (part.width > 0) copy(tile, part);
        if (write) tile->SetDirty(true);
      }
      if (tile) tile->ReleaseUse();
      if (status != 0) return status;
    }
  }
  return 0;
}

int32_t CImageRecFile::Read(QXRect rect, int32_t loPlane, int32_t hiPlane, void* buffer, int32_t rowBytes,
                            int32_t flags) {
  std::lock_guard<std::recursive_mutex> lock(mMutex);
  QXTransfer t;
  if (int32_t status = qximage::ResolveTransfer(*this, rect, loPlane, hiPlane, rowBytes, flags, false, t))
    return status;
  if (buffer == nullptr) return kQXErrInvalidArgument;
  if (t.area.width == 0) return 0;
  auto* out = static_cast<uint8_t*>(buffer) + t.bufOffset;
  const int64_t bufPixel = int64_t(t.planes) * t.bufSample;
  return ForEachTile(t, false, [&](CImageTile* tile, QXRect part) {
    const uint8_t* src =
        tile->DataPtr() + int64_t(part.y - tile->mY) * tile->mRowBytes + int64_t(part.x - tile->mX) * mColBytes;
    uint8_t* dst = out + (int64_t(part.y) - t.area.y) * t.bufRowBytes + (int64_t(part.x) - t.area.x) * bufPixel;
    for (int32_t y = 0; y < part.height; ++y)
      qximage::ReadRow(t, src + int64_t(y) * tile->mRowBytes, mColBytes, mPlaneBytes, dst + y * t.bufRowBytes,
                       part.width);
  });
}

int32_t CImageRecFile::Write(QXRect rect, int32_t loPlane, int32_t hiPlane, const void* buffer, int32_t rowBytes,
                             int32_t flags) {
  std::lock_guard<std::recursive_mutex> lock(mMutex);
  QXTransfer t;
  if (int32_t status = qximage::ResolveTransfer(*this, rect, loPlane, hiPlane, rowBytes, flags, true, t)) return status;
  if (buffer == nullptr) return kQXErrInvalidArgument;
  if (t.area.width == 0) return 0;
  const auto* in = static_cast<const uint8_t*>(buffer) + t.bufOffset;
  const int64_t bufPixel = int64_t(t.planes) * t.bufSample;
  return ForEachTile(t, true, [&](CImageTile* tile, QXRect part) {
    uint8_t* dst =
        tile->DataPtr() + int64_t(part.y - tile->mY) * tile->mRowBytes + int64_t(part.x - tile->mX) * mColBytes;
    const uint8_t* src = in + (int64_t(part.y) - t.area.y) * t.bufRowBytes + (int64_t(part.x) - t.area.x) * bufPixel;
    for (int32_t y = 0; y < part.height; ++y)
      qximage::WriteRow(t, dst + int64_t(y) * tile->mRowBytes, mColBytes, mPlaneBytes, src + y * t.bufRowBytes,
                        part.width);
  });
}

int32_t CImageRecFile::Fill(uint8_t value) {
  std::lock_guard<std::recursive_mutex> lock(mMutex);
  for (int32_t r = 0; r < mTileRows; ++r) {
    for (int32_t c = 0; c < mTileCols; ++c) {
      CImageTile* tile = nullptr;
      const int32_t status = GetNativeTile(r, c, 0, &tile);
      if (status == 0) {
        std::memset(tile->DataPtr(), value, size_t(tile->mAllocSize));
        tile->SetDirty(true);
      }
      if (tile) tile->ReleaseUse();
      if (status != 0) return status;
    }
  }
  return 0;
}
