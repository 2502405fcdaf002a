// The process-wide tile cache: one budget for the resident tiles of every tiled record, an LRU
// list ordered by the time each tile became resident, the disk store and the image listeners.
//
// Lock order: a record's mutex, then a tile's use lock, then the cache lock, then the store lock.
// The purge walk only tries the use locks of its victims (busy tiles are skipped), so a thread
// holding a use lock never waits for the walk; the store I/O of victims runs after the cache lock
// is released, under each victim's use lock.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXImage.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "cf/CFRef.h"
#include "core/Handle.h"
#include "core/ThreadAnnotations.h"

class CImageRec;
class CImageRecFile;
class CImageTile;
class CTileStore;
class CBaseStream;

class CImageCacheMgr {
 public:
  static CImageCacheMgr& Get();

  int32_t NextInternalID() { return mNextInternalID.fetch_add(1, std::memory_order_relaxed) + 1; }

  void AddImage(CImageRecFile* image);
  void ForgetImage(CImageRecFile* image);
  // Takes the record's listed tiles off the list (the caller holds all their use locks) and tells
  // the store to forget the record, deleting its file.
  void RemoveTiles(CImageRecFile* image);

  // Admission: lists a tile that just became resident (the caller holds its use lock) and purges
  // the oldest tiles while the budget is exceeded.
  void AddTile(CImageTile* tile);
  // Takes a tile off the list (caller holds its use lock); true when it was listed.
  bool Unlist(CImageTile* tile);
  // Puts back a tile whose purge failed, as the oldest.
  void Relist(CImageTile* tile);

  // The purge of one tile whose use lock the caller holds and that is not listed: dirty data goes
  // to the store, listeners hear code 0, the data is freed. On a store failure the tile keeps its
  // data and stays dirty, and the failure is returned.
  int32_t PurgeHeldTile(CImageTile* tile);
  // Reads a purged tile back (storage already allocated). 0 or the store's failure.
  int32_t ReloadTile(CImageTile* tile);
  // Tells every listener, code 0 or 1.
  void Notify(int32_t code, CImageRec* image, CImageTile* tile);

  bool HasStore();      // a store exists or may be created
  CTileStore* Store();  // created on first need; null with store type 1

  void SetBudget(int64_t bytes) { mCacheMem.store(bytes, std::memory_order_relaxed); }
  int64_t Budget() const { return mCacheMem.load(std::memory_order_relaxed); }
  int64_t PhysicalMem() const { return mPhysicalMem; }
  void SetStoreType(int32_t type) { mStoreType.store(type, std::memory_order_relaxed); }
  int32_t StoreType() const { return mStoreType.load(std::memory_order_relaxed); }
  void SetDumpPurgeInfo(int32_t dump) { mDumpPurgeInfo.store(dump, std::memory_order_relaxed); }
  int32_t DumpPurgeInfo() const { return mDumpPurgeInfo.load(std::memory_order_relaxed); }

  int32_t RegisterListener(QXImageMsgProc proc, void* refCon);
  int32_t UnregisterListener(QXImageMsgProc proc);

  void SetCacheFolder(CFURLRef folder);
  void Shutdown();

  void Statistics(QXImageCacheStatistics& out);
  // Prints the listed tiles, newest first, and the budget (under the cache lock).
  void DumpInfo(std::FILE* out);
  void CountStoreWrite(int64_t bytes, bool ok);
  void CountStoreRead(int64_t bytes, bool ok);

 private:
  CImageCacheMgr();
  bool UnlistLocked(CImageTile* tile) QX_REQUIRES(mMutex);
  // Collects up to `capacity` victims under the cache lock; `admit` is listed in the same pass.
  int CollectVictims(CImageTile* admit, CImageTile** victims, int capacity) QX_EXCLUDES(mMutex);

  qx::Mutex mMutex;
  std::atomic<int32_t> mNextInternalID{0};
  std::vector<CImageRecFile*> mTiledImages QX_GUARDED_BY(mMutex);
  CBaseList mLRU QX_GUARDED_BY(mMutex);
  int64_t mPhysicalMem = 0;
  std::atomic<int64_t> mCacheMem{0};
  int64_t mCacheMemUsed QX_GUARDED_BY(mMutex) = 0;
  int64_t mPeakUsed QX_GUARDED_BY(mMutex) = 0;
  std::atomic<CTileStore*> mStore{nullptr};
  qx::Mutex mStoreCreation;
  std::atomic<int32_t> mStoreType{kQXImageStoreFile};
  std::atomic<int32_t> mDumpPurgeInfo{0};
  struct Listener {
    QXImageMsgProc proc = nullptr;
    void* refCon = nullptr;
  };
  // Listeners have their own lock, held while they run, so that after Unregister returns the
  // procedure is never called again.
  qx::Mutex mListenerMutex;
  Listener mListeners[kQXImageMaxListeners] QX_GUARDED_BY(mListenerMutex);
  int32_t mListenerCount QX_GUARDED_BY(mListenerMutex) = 0;
  std::string mBaseFolder QX_GUARDED_BY(mStoreCreation);
  int mMarkerFD QX_GUARDED_BY(mStoreCreation) = -1;

  std::atomic<int64_t> mTilesPurged{0}, mTilesWritten{0}, mTilesReloaded{0}, mBytesWritten{0}, mBytesRead{0},
      mStoreFailures{0};
};
