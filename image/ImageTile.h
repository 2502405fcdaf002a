// A rectangle of pixels with its own storage: the unit the tile cache makes resident and purges,
// and the standalone tile of the QXTile functions.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXImage.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/Handle.h"

class CImageRec;

class QX_EXPORT CImageTile final : public CBaseCore, public CBaseNode {
 public:
  CImageTile() = default;
  ~CImageTile() override;

  // Storage of rowBytes x height bytes. `zeroed` false is only for storage that is filled at once
  // (a reload from the disk store). 0 or kQXErrMemory.
  int32_t Realloc(bool zeroed = true);
  // Frees the data (kind by kind), releases content, resets coherence and allocSize.
  void FreeData();
  // The pixels, taking the byte pointer of rawData for kind 0; null when none.
  uint8_t* DataPtr();
  void SetData(CFMutableDataRef data);

  void AcquireUse() noexcept;
  bool TryAcquireUse() noexcept;
  void ReleaseUse() noexcept;
  int32_t UseLock() const noexcept { return mUseLock.load(std::memory_order_relaxed); }

  void SetDirty(bool dirty) {
    mDirty = dirty;
    if (dirty) mCoherenceState = kQXTileStateRAMNewest;
  }
  void SetTextureDirty(bool dirty) {
    mTextureDirty = dirty;
    if (dirty) mCoherenceState = kQXTileStateVRAMNewest;
  }
  int64_t Bytes() const { return int64_t(mRowBytes) * mHeight; }
  QXRect Bounds() const { return QXRect{mX, mY, mWidth, mHeight}; }

  // Whether the data exists; changed under the use lock, read without it (QXImageGetTileLoaded).
  bool Resident() const { return mResident.load(std::memory_order_acquire); }

  // Whether the tile is in the cache's list; changed only under the cache lock, read without it.
  std::atomic<bool> mListed{false};
  int64_t mListedBytes = 0;  // what admission counted, subtracted when the tile leaves the list

  CFMutableDataRef mRawData = nullptr;
  CFTypeRef mContent = nullptr;
  uint8_t* mData = nullptr;
  int32_t mAllocSize = 0;
  int32_t mPlanes = 0;
  int32_t mX = 0, mY = 0, mWidth = 0, mHeight = 0;
  int32_t mDepth = 0;
  int32_t mRowBytes = 0;
  int32_t mColBytes = 0;
  int32_t mStoreSlot = -1;
  bool mTextureDirty = false;
  bool mDirty = false;
  bool mEverLoaded = false;
  CImageRec* mParent = nullptr;
  int32_t mAllocKind = kQXTileStorageData;
  int32_t mRow = -1, mCol = -1;
  int32_t mTime = 0;
  int32_t mTextureID = 0;
  int32_t mCoherenceState = 0;

 private:
  std::atomic<bool> mResident{false};
  std::atomic<int32_t> mUseLock{0};
  std::atomic<int32_t> mUseWaiters{0};
};

namespace qx {
QX_HANDLE_CLASS(__QXTile, CImageTile);
}  // namespace qx
