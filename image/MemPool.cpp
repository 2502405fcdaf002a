// Each block starts with a header naming its size and owning item, so a block handed back finds
// its item without a search.
#include "image/MemPool.h"

#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

struct BlockHeader {
  uint32_t size;
  CMemPoolItem* owner;
};
// Keeps the caller's bytes aligned for any sample type.
constexpr size_t kHeader = (sizeof(BlockHeader) + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);

BlockHeader* HeaderOf(void* data) { return reinterpret_cast<BlockHeader*>(static_cast<uint8_t*>(data) - kHeader); }

}  // namespace

CMemPoolItem::CMemPoolItem(uint32_t size) : mSize(size), mBlock(static_cast<uint8_t*>(std::malloc(kHeader + size))) {
  if (mBlock) *reinterpret_cast<BlockHeader*>(mBlock) = BlockHeader{size, this};
}

CMemPoolItem::~CMemPoolItem() { std::free(mBlock); }

uint8_t* CMemPoolItem::Data() const { return mBlock + kHeader; }

CMemPool& CMemPool::Get() {
  static CMemPool* pool = new CMemPool;  // blocks may be returned during static destruction
  return *pool;
}

void* CMemPool::Take(uint32_t size) {
  std::lock_guard<std::mutex> lock(mMutex);
  for (CBaseNode* node = mFree.GetFront(); node != nullptr; node = node->GetNext()) {
    auto* item = static_cast<CMemPoolItem*>(node);
    if (item->Size() != size) continue;
    mFree.Remove(item);
    mInUse.PushBack(item);
    mBytesInUse += size;
    mBytesFree -= size;
    return item->Data();
  }
  auto* item = new (std::nothrow) CMemPoolItem(size);
  if (item == nullptr) return nullptr;
  if (!item->Valid()) {
    delete item;
    return nullptr;
  }
  mInUse.PushBack(item);
  mBytesInUse += size;
  return item->Data();
}

void CMemPool::Return(void* data) {
  if (data == nullptr) return;
  std::lock_guard<std::mutex> lock(mMutex);
  CMemPoolItem* item = HeaderOf(data)->owner;
  mInUse.Remove(item);
  mFree.PushFront(item);
  mBytesInUse -= item->Size();
  mBytesFree += item->Size();
}

uint64_t CMemPool::BytesInUse() {
  std::lock_guard<std::mutex> lock(mMutex);
  return mBytesInUse;
}

uint64_t CMemPool::BytesFree() {
  std::lock_guard<std::mutex> lock(mMutex);
  return mBytesFree;
}
