// The process's pool of reusable memory blocks (tile storage kind 3). Blocks are reused only at
// exactly the size asked and are never given back to the system.
#pragma once

#include <QXCore/QXBase.h>

#include <cstdint>
#include <mutex>

class CMemPoolItem final : public CBaseNode {
 public:
  explicit CMemPoolItem(uint32_t size);
  ~CMemPoolItem() override;
  uint8_t* Data() const;
  uint32_t Size() const { return mSize; }
  bool Valid() const { return mBlock != nullptr; }

 private:
  uint32_t mSize;
  uint8_t* mBlock;
};

class CMemPool {
 public:
  static CMemPool& Get();

  // A block of `size` bytes (contents undefined); null when memory runs out.
  void* Take(uint32_t size);
  // Gives a block back (null is ignored).
  void Return(void* data);

  uint64_t BytesInUse();
  uint64_t BytesFree();

 private:
  std::mutex mMutex;
  CBaseList mInUse;
  CBaseList mFree;
  uint64_t mBytesInUse = 0;
  uint64_t mBytesFree = 0;
};
