// The tile cache: admission, the purge walk, the store and the listeners.
#include "image/TileCache.h"

#include <QXCore/QXLog.h>
#include <QXCore/QXProcess.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>

#include "files/CoreFileInternal.h"
#include "image/BlockMemory.h"
#include "image/ImageRec.h"
#include "image/ImageTile.h"
#include "image/TileStore.h"
#include "utils/GroupedDecimal.h"

using qxcf::CFRef;

CImageCacheMgr& CImageCacheMgr::Get() {
  // Never destroyed: records released during static destruction still find it.
  static CImageCacheMgr* cache = new CImageCacheMgr;
  return *cache;
}

CImageCacheMgr::CImageCacheMgr() {
  mPhysicalMem = int64_t(QXProcessGetPhysicalMem());
  mCacheMem.store(mPhysicalMem / 2, std::memory_order_relaxed);
}

void CImageCacheMgr::AddImage(CImageRecFile* image) {
  qx::MutexLock lock(mMutex);
  try {
    mTiledImages.push_back(image);
  } catch (...) {
    // The list only serves diagnostics; a record missing from it works the same.
  }
}

void CImageCacheMgr::ForgetImage(CImageRecFile* image) {
  qx::MutexLock lock(mMutex);
  auto found = std::find(mTiledImages.begin(), mTiledImages.end(), image);
  if (found != mTiledImages.end()) mTiledImages.erase(found);
}

void CImageCacheMgr::RemoveTiles(CImageRecFile* image) {
  {
    qx::MutexLock lock(mMutex);
    for (int32_t i = 0; i < image->TileCount(); ++i) UnlistLocked(image->TileAt(i));
  }
  if (CTileStore* store = mStore.load(std::memory_order_acquire)) store->RemoveImage(image);
}

bool CImageCacheMgr::UnlistLocked(CImageTile* tile) {
  if (!tile->mListed.load(std::memory_order_relaxed)) return false;
  mLRU.Remove(tile);
  tile->mListed.store(false, std::memory_order_release);
  mCacheMemUsed -= tile->mListedBytes;
  return true;
}

bool CImageCacheMgr::Unlist(CImageTile* tile) {
  qx::MutexLock lock(mMutex);
  return UnlistLocked(tile);
}

void CImageCacheMgr::Relist(CImageTile* tile) {
  qx::MutexLock lock(mMutex);
  if (tile->mListed.load(std::memory_order_relaxed)) return;
  mLRU.PushBack(tile);
  tile->mListed.store(true, std::memory_order_release);
  tile->mListedBytes = tile->Bytes();
  mCacheMemUsed += tile->mListedBytes;
  mPeakUsed = std::max(mPeakUsed, mCacheMemUsed);
}

int CImageCacheMgr::CollectVictims(CImageTile* admit, CImageTile** victims, int capacity) {
  qx::MutexLock lock(mMutex);
  if (admit) {
    admit->mListedBytes = admit->Bytes();
    mCacheMemUsed += admit->mListedBytes;
  }
  const int64_t budget = Budget();
  const bool canStore = HasStore();
  const bool dump = DumpPurgeInfo() != 0;
  int count = 0;
  CBaseNode* node = mLRU.GetBack();
  while (node != nullptr && mCacheMemUsed > budget && count < capacity) {
    auto* victim = static_cast<CImageTile*>(node);
    node = node->GetPrevious();
    if (victim->mParent && victim->mParent->mKeepResident.load(std::memory_order_relaxed)) continue;
    // Only tiles nobody uses: a thread holding a use lock may be waiting for this lock.
    if (!victim->TryAcquireUse()) continue;
    // Our own reference: the record may be destroyed, releasing its tiles, the moment we let go
    // of the use lock.
    victim->AddRef();
    if (victim->mDirty && !canStore) {
      victim->ReleaseUse();  // without a store a dirty tile has nowhere to go
      victim->Release();
      continue;
    }
    if (dump) {
      CFRef<CFStringRef> used = qxcf::adopt(QXCreateGroupedDecimal(mCacheMemUsed));
      QXLogWithParams(2, CFSTR("QXCore"), 0, CFSTR("Purging Tile (parent:%p r:%d c:%d time:%d) Cache Used:%@"),
                      static_cast<void*>(victim->mParent), victim->mRow, victim->mCol, victim->mTime, used.get());
    }
    UnlistLocked(victim);
    victims[count++] = victim;
  }
  if (admit) {
    mLRU.PushFront(admit);
    admit->mListed.store(true, std::memory_order_release);
  }
  mPeakUsed = std::max(mPeakUsed, mCacheMemUsed);
  return count;
}

void CImageCacheMgr::AddTile(CImageTile* tile) {
  // A tile used again keeps its place: the list is ordered by the time tiles became resident.
  if (tile->mListed.load(std::memory_order_acquire)) return;
  // Victims leave the list under the lock and are purged after it is released, a batch at a time.
  CImageTile* victims[16];
  CImageTile* admit = tile;
  for (;;) {
    const int count = CollectVictims(admit, victims, int(std::size(victims)));
    admit = nullptr;
    bool failed = false;
    for (int i = 0; i < count; ++i) {
      if (PurgeHeldTile(victims[i]) != 0) {
        Relist(victims[i]);
        failed = true;  // the store refuses: stay above budget rather than retry forever
      }
      victims[i]->ReleaseUse();
      victims[i]->Release();
    }
    if (failed || count < int(std::size(victims))) break;
  }
}

int32_t CImageCacheMgr::PurgeHeldTile(CImageTile* tile) {
  // A clean tile whose slot no longer holds it (the store was shut down meanwhile) is written too.
  CTileStore* existing = mStore.load(std::memory_order_acquire);
  const bool lostSlot =
      !tile->mDirty && tile->mStoreSlot != -1 && tile->Resident() && existing != nullptr && !existing->Holds(tile);
  if (tile->mDirty || lostSlot) {
    CTileStore* store = Store();
    if (store == nullptr) return kQXErrNotOffered;
    const void* one = tile;
    CFRef<CFArrayRef> tiles = qxcf::adopt(CFArrayCreate(nullptr, &one, 1, nullptr));
    if (!tiles) return kQXErrMemory;
    const int32_t status = store->WriteTiles(tiles.get());
    CountStoreWrite(tile->mAllocSize, status == 0);
    if (status != 0) return status;
    tile->mDirty = false;
  }
  Notify(kQXImageMsgTilePurged, tile->mParent, tile);
  if (tile->DataPtr() != nullptr) mTilesPurged.fetch_add(1, std::memory_order_relaxed);
  tile->FreeData();
  return 0;
}

int32_t CImageCacheMgr::ReloadTile(CImageTile* tile) {
  CTileStore* store = Store();
  if (store == nullptr) return kQXErrNotOffered;
  const int32_t status = store->ReadTile(tile);
  CountStoreRead(tile->mAllocSize, status == 0);
  return status;
}

void CImageCacheMgr::Notify(int32_t code, CImageRec* image, CImageTile* tile) {
  qx::MutexLock lock(mListenerMutex);
  for (int32_t i = 0; i < mListenerCount; ++i) {
    if (mListeners[i].proc == nullptr) continue;
    QXImageMsg message{code, qx::toHandle<__QXImage>(image), qx::toHandle<__QXTile>(tile), mListeners[i].refCon};
    mListeners[i].proc(&message);
  }
}

int32_t CImageCacheMgr::RegisterListener(QXImageMsgProc proc, void* refCon) {
  qx::MutexLock lock(mListenerMutex);
  for (int32_t i = 0; i < mListenerCount; ++i) {
    if (mListeners[i].proc != nullptr) continue;
    mListeners[i] = Listener{proc, refCon};
    return 0;
  }
  if (mListenerCount >= kQXImageMaxListeners) return kQXErrInvalidArgument;
  mListeners[mListenerCount++] = Listener{proc, refCon};
  return 0;
}

int32_t CImageCacheMgr::UnregisterListener(QXImageMsgProc proc) {
  qx::MutexLock lock(mListenerMutex);
  for (int32_t i = 0; i < mListenerCount; ++i)
    if (mListeners[i].proc == proc) mListeners[i] = Listener{};
  while (mListenerCount > 0 && mListeners[mListenerCount - 1].proc == nullptr) --mListenerCount;
  return 0;
}

bool CImageCacheMgr::HasStore() {
  return mStore.load(std::memory_order_acquire) != nullptr || StoreType() != kQXImageStoreNone;
}

CTileStore* CImageCacheMgr::Store() {
  if (CTileStore* store = mStore.load(std::memory_order_acquire)) return store;
  if (StoreType() == kQXImageStoreNone) return nullptr;
  qx::MutexLock lock(mStoreCreation);
  if (CTileStore* store = mStore.load(std::memory_order_acquire)) return store;
  qx::Ref<CTileStoreFile> store = qx::make<CTileStoreFile>();
  if (!store) return nullptr;
  store->SetBaseFolder(mBaseFolder.empty() ? qximage::DefaultBaseFolder() : mBaseFolder);
  CTileStore* created = store.release();  // the store lives as long as the process
  mStore.store(created, std::memory_order_release);
  return created;
}

void CImageCacheMgr::SetCacheFolder(CFURLRef folder) {
  std::string path;
  if (folder == nullptr || qxfiles::PathFromURL(folder, path) != 0) return;
  qx::MutexLock lock(mStoreCreation);
  mBaseFolder = path;
  if (CTileStore* store = mStore.load(std::memory_order_acquire))
    static_cast<CTileStoreFile*>(store)->SetBaseFolder(path);
  // The marker says the folder is in use; nothing is written to it and nothing reads it.
  if (mMarkerFD >= 0) close(mMarkerFD);
  mMarkerFD = open(qxfiles::JoinPath(path, "QXTempCacheFile.txt").c_str(),
                   O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
}

void CImageCacheMgr::Shutdown() {
  qximage::TrimKeptMemory(true);
  // With no store and store type 1 there is no folder of ours to remove.
  if (CTileStore* store = Store()) static_cast<CTileStoreFile*>(store)->Shutdown();
  qx::MutexLock lock(mStoreCreation);
  if (mMarkerFD >= 0) close(mMarkerFD);
  mMarkerFD = -1;
}

void CImageCacheMgr::Statistics(QXImageCacheStatistics& out) {
  {
    qx::MutexLock lock(mMutex);
    out.budget = Budget();
    out.used = mCacheMemUsed;
    out.peakUsed = mPeakUsed;
    out.residentTiles = mLRU.GetSize();
  }
  out.tilesPurged = mTilesPurged.load(std::memory_order_relaxed);
  out.tilesWritten = mTilesWritten.load(std::memory_order_relaxed);
  out.tilesReloaded = mTilesReloaded.load(std::memory_order_relaxed);
  out.bytesWritten = mBytesWritten.load(std::memory_order_relaxed);
  out.bytesRead = mBytesRead.load(std::memory_order_relaxed);
  out.storeFailures = mStoreFailures.load(std::memory_order_relaxed);
}

void CImageCacheMgr::CountStoreWrite(int64_t bytes, bool ok) {
  if (!ok) {
    mStoreFailures.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  mTilesWritten.fetch_add(1, std::memory_order_relaxed);
  mBytesWritten.fetch_add(bytes, std::memory_order_relaxed);
}

void CImageCacheMgr::CountStoreRead(int64_t bytes, bool ok) {
  if (!ok) {
    mStoreFailures.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  mTilesReloaded.fetch_add(1, std::memory_order_relaxed);
  mBytesRead.fetch_add(bytes, std::memory_order_relaxed);
}

// ---- The C interface ----

namespace {

// Truncation toward zero as a cast would do, without its undefined behaviour out of range.
int64_t SaturatingInt64(double value) {
  if (!(value == value)) return 0;
  if (value >= 9.2233720368547758e18) return INT64_MAX;
  if (value <= -9.2233720368547758e18) return INT64_MIN;
  return int64_t(value);
}

}  // namespace

extern "C" {

QX_EXPORT QXStatus QXImageRegisterMsgListener(QXImageMsgProc proc, void* refCon) {
  if (proc == nullptr) return kQXErrInvalidArgument;
  return CImageCacheMgr::Get().RegisterListener(proc, refCon);
}

QX_EXPORT QXStatus QXImageUnRegisterMsgListener(QXImageMsgProc proc) {
  return CImageCacheMgr::Get().UnregisterListener(proc);
}

QX_EXPORT void QXImageSetCacheMemPercent(double percent) {
  CImageCacheMgr& cache = CImageCacheMgr::Get();
  cache.SetBudget(SaturatingInt64(double(cache.PhysicalMem()) * (percent / 100.0)));
  qximage::TrimKeptMemory(false);
}

QX_EXPORT void QXImageSetCacheMemAbsolute(double bytes) {
  CImageCacheMgr::Get().SetBudget(SaturatingInt64(bytes));
  qximage::TrimKeptMemory(false);
}
QX_EXPORT void QXImageSetTileStoreType(int32_t type) { CImageCacheMgr::Get().SetStoreType(type); }
QX_EXPORT void QXImageSetCacheFolderPath(CFURLRef folder) { CImageCacheMgr::Get().SetCacheFolder(folder); }
QX_EXPORT void QXImageShutdown(void) { CImageCacheMgr::Get().Shutdown(); }
QX_EXPORT int32_t QXImageGetDumpPurgeInfo(void) { return CImageCacheMgr::Get().DumpPurgeInfo(); }
QX_EXPORT void QXImageSetDumpPurgeInfo(int32_t dump) { CImageCacheMgr::Get().SetDumpPurgeInfo(dump); }

QX_EXPORT void QXImageGetCacheStatistics(QXImageCacheStatistics* outStatistics) {
  if (outStatistics) CImageCacheMgr::Get().Statistics(*outStatistics);
}

}  // extern "C"
