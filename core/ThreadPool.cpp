// The process-wide thread pool: a dispatcher that hands work to the worker idle longest, and a reaper
// that retires workers idle past the limit.
#include "core/ThreadPool.h"

#include <chrono>
#include <new>
#include <vector>

namespace {

// How long the dispatcher waits before trying again when the system refused a new worker.
constexpr uint32_t kRetryMS = 20;

std::atomic<CBaseThreadPool*> gPool{nullptr};
std::mutex gPoolCreation;

CFMutableArrayRef makeArray() { return CFArrayCreateMutable(kCFAllocatorDefault, 0, QXUtilsGetArrayCallbacks()); }

void removeFirst(CFMutableArrayRef array, const void* value) {
  CFIndex index = CFArrayGetFirstIndexOfValue(array, CFRangeMake(0, CFArrayGetCount(array)), value);
  if (index != kCFNotFound) CFArrayRemoveValueAtIndex(array, index);
}

}  // namespace

CBaseThreadPool::CBaseThreadPool()
    : mThreadsLock(qx::make<CBaseMutex>()),
      mAll(makeArray()),
      mIdle(makeArray()),
      mBusy(makeArray()),
      mWorkLock(qx::make<CBaseMutex>()),
      mPending(makeArray()),
      mDispatcher(qx::make<CBaseThread>()),
      mReaper(qx::make<CBaseThread>()),
      mWorkCondition(qx::make<CBaseCondition>()) {}

// Construction and destruction see the pool alone: no other thread can reach it.
CBaseThreadPool::~CBaseThreadPool() QX_NO_THREAD_SAFETY_ANALYSIS {
  for (CFMutableArrayRef array : {mAll, mIdle, mBusy, mPending}) {
    if (array) CFRelease(array);
  }
}

bool CBaseThreadPool::Valid() const QX_NO_THREAD_SAFETY_ANALYSIS {
  return mAll && mIdle && mBusy && mPending && mThreadsLock && mWorkLock && mDispatcher && mReaper && mWorkCondition;
}

CBaseThreadPool* CBaseThreadPool::Shared() {
  if (CBaseThreadPool* pool = gPool.load(std::memory_order_acquire)) return pool;
  std::lock_guard lock(gPoolCreation);
  if (CBaseThreadPool* pool = gPool.load(std::memory_order_relaxed)) return pool;
  CBaseThreadPool* pool = new (std::nothrow) CBaseThreadPool();
  if (pool && !pool->Valid()) {
    pool->Release();
    pool = nullptr;
  }
  // Never released: the pool and its service threads live as long as the process.
  gPool.store(pool, std::memory_order_release);
  return pool;
}

// Service threads are started by the first push, and again by a later push if the system refused
// one of them; without a dispatcher nothing could run, so its failure fails the push.
int32_t CBaseThreadPool::EnsureServices() {
  if (mDispatcherRunning.load(std::memory_order_acquire) && mReaperRunning.load(std::memory_order_acquire)) return 0;
  std::lock_guard lock(mServicesLock);
  if (!mReaperRunning.load(std::memory_order_relaxed) && mReaper->Start(&ReaperLoop, this) == 0) {
    mReaperRunning.store(true, std::memory_order_release);
  }
  if (!mDispatcherRunning.load(std::memory_order_relaxed)) {
    if (uint32_t rc = mDispatcher->Start(&DispatcherLoop, this)) return static_cast<int32_t>(rc);
    mDispatcherRunning.store(true, std::memory_order_release);
  }
  return 0;
}

int32_t CBaseThreadPool::Push(QXThreadPoolFunction function, void* argument) {
  if (int32_t rc = EnsureServices()) return rc;
  auto item = qx::make<CBaseThreadPoolTask>(function, argument);
  if (!item) return kQXErrMemory;
  mWorkLock->Lock();
  // With nothing waiting ahead of it, the item goes straight to the worker idle longest, just as
  // the dispatcher would hand it, without waking the dispatcher first.
  if (CFArrayGetCount(mPending) == 0) {
    if (auto worker = TakeIdleWorker()) {
      mWorkLock->Unlock();
      worker->Wake(item.get());
      return kQXNoErr;
    }
  }
  CFArrayAppendValue(mPending, item.get());
  mWorkLock->Unlock();
  // The dispatcher re-reads the pending work under the lock before every wait, so signalling
  // after leaving the lock cannot be missed.
  mWorkCondition->Signal();
  return kQXNoErr;
}

qx::Ref<CBaseThread> CBaseThreadPool::TakeIdleWorker() {
  qx::Ref<CBaseThread> worker;
  mThreadsLock->Lock();
  if (CFArrayGetCount(mIdle) > 0) {
    worker = qx::Ref<CBaseThread>::retain(qx::ObjectAt<CBaseThread>(mIdle, 0));
    CFArrayRemoveValueAtIndex(mIdle, 0);
    CFArrayAppendValue(mBusy, worker.get());
  }
  mThreadsLock->Unlock();
  return worker;
}

// The dispatcher takes all pending work at once and hands it out without holding the work lock,
// so pushers never wait for a worker to be woken or created.
uint32_t CBaseThreadPool::DispatcherLoop(QXThreadRef, void* argument) {
  auto* pool = static_cast<CBaseThreadPool*>(argument);
  std::vector<qx::Ref<CBaseThreadPoolTask>> batch;
  pool->mWorkLock->Lock();
  for (;;) {
    CFIndex count = CFArrayGetCount(pool->mPending);
    if (count == 0) {
      pool->mWorkCondition->Wait(pool->mWorkLock.get(), CBaseCondition::kInfinite);
      continue;
    }
    for (CFIndex i = 0; i < count; ++i) {
      batch.push_back(qx::Ref<CBaseThreadPoolTask>::retain(qx::ObjectAt<CBaseThreadPoolTask>(pool->mPending, i)));
    }
    CFArrayRemoveAllValues(pool->mPending);
    pool->mWorkLock->Unlock();

    size_t handed = 0;
    while (handed < batch.size() && pool->HandOut(batch[handed].get())) ++handed;

    pool->mWorkLock->Lock();
    if (handed < batch.size()) {
      // The system refused a worker: what was not handed out goes back first in line, in order.
      for (size_t i = handed; i < batch.size(); ++i) {
        CFArrayInsertValueAtIndex(pool->mPending, static_cast<CFIndex>(i - handed), batch[i].get());
      }
      batch.clear();
      pool->mWorkCondition->Wait(pool->mWorkLock.get(), kRetryMS);
    }
    batch.clear();
  }
}

bool CBaseThreadPool::HandOut(CBaseThreadPoolTask* task) {
  if (auto worker = TakeIdleWorker()) {
    worker->Wake(task);
    return true;
  }
  auto worker = CBaseThread::MakeWorker(this);
  if (!worker) return false;
  mThreadsLock->Lock();
  CFArrayAppendValue(mAll, worker.get());
  CFArrayAppendValue(mBusy, worker.get());
  mThreadsLock->Unlock();
  if (worker->Launch(task) == 0) return true;
  mThreadsLock->Lock();
  removeFirst(mBusy, worker.get());
  removeFirst(mAll, worker.get());
  mThreadsLock->Unlock();
  return false;
}

void CBaseThreadPool::ReturnToIdle(CBaseThread* worker) {
  mThreadsLock->Lock();
  auto keep = qx::Ref<CBaseThread>::retain(worker);
  removeFirst(mBusy, worker);
  CFArrayAppendValue(mIdle, worker);
  mThreadsLock->Unlock();
}

uint32_t CBaseThreadPool::ReaperLoop(QXThreadRef, void* argument) {
  auto* pool = static_cast<CBaseThreadPool*>(argument);
  for (;;) {
    {
      std::unique_lock lock(pool->mReaperLock);
      pool->mReaperWake.wait_for(lock, std::chrono::milliseconds(pool->mPassMS),
                                 [pool] { return pool->mRetirementChanged; });
      pool->mRetirementChanged = false;
    }
    pool->Reap();
  }
}

void CBaseThreadPool::Reap() {
  double idleLimit;
  {
    std::lock_guard lock(mReaperLock);
    idleLimit = mIdleLimitMS / 1000.0;
  }
  std::vector<qx::Ref<CBaseThread>> retired;
  mThreadsLock->Lock();
  CFAbsoluteTime now = CFAbsoluteTimeGetCurrent();
  for (CFIndex i = 0; i < CFArrayGetCount(mIdle);) {
    auto* worker = qx::ObjectAt<CBaseThread>(mIdle, i);
    if (now - worker->LastActive() > idleLimit) {
      retired.push_back(qx::Ref<CBaseThread>::retain(worker));
      CFArrayRemoveValueAtIndex(mIdle, i);
      removeFirst(mAll, worker);
    } else {
      ++i;
    }
  }
  mThreadsLock->Unlock();
  for (auto& worker : retired) worker->Wake(nullptr);  // woken without an item, a worker ends
}

qx::testing::PoolCounts CBaseThreadPool::Counts() {
  qx::testing::PoolCounts counts;
  mWorkLock->Lock();
  counts.pending = static_cast<int>(CFArrayGetCount(mPending));
  mWorkLock->Unlock();
  mThreadsLock->Lock();
  counts.all = static_cast<int>(CFArrayGetCount(mAll));
  counts.idle = static_cast<int>(CFArrayGetCount(mIdle));
  counts.busy = static_cast<int>(CFArrayGetCount(mBusy));
  mThreadsLock->Unlock();
  return counts;
}

void CBaseThreadPool::SetRetirement(uint32_t passMS, uint32_t idleLimitMS) {
  {
    std::lock_guard lock(mReaperLock);
    mPassMS = passMS;
    mIdleLimitMS = idleLimitMS;
    mRetirementChanged = true;
  }
  mReaperWake.notify_all();
}

QXStatus QXThreadPoolPush(void (*function)(void*), void* argument) {
  CBaseThreadPool* pool = CBaseThreadPool::Shared();
  return pool ? pool->Push(function, argument) : kQXErrMemory;
}

QXStatus QXThreadPoolPushC(QXThreadPoolFunction function, void* argument) {
  return QXThreadPoolPush(function, argument);
}

void qx::testing::SetPoolRetirement(uint32_t passMS, uint32_t idleLimitMS) {
  if (CBaseThreadPool* pool = CBaseThreadPool::Shared()) pool->SetRetirement(passMS, idleLimitMS);
}

qx::testing::PoolCounts qx::testing::GetPoolCounts() {
  CBaseThreadPool* pool = CBaseThreadPool::Shared();
  return pool ? pool->Counts() : PoolCounts{};
}
