// The process-wide thread pool: a dispatcher hands pushed work to idle workers (the one idle
// longest first) or to new ones, and a reaper retires workers idle for too long.
#pragma once

#include <QXCore/QXThreads.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "core/PoolTesting.h"
#include "core/Thread.h"

class CBaseThreadPool final : public CBaseCore {
 public:
  // The pool, created on first use and kept for the life of the process; null when memory runs out.
  static CBaseThreadPool* Shared();

  int32_t Push(QXThreadPoolFunction function, void* argument);
  // Called by a worker that finished its item: it moves from the busy to the idle workers.
  void ReturnToIdle(CBaseThread* worker);

  qx::testing::PoolCounts Counts();
  void SetRetirement(uint32_t passMS, uint32_t idleLimitMS);

  ~CBaseThreadPool() override;

 private:
  CBaseThreadPool();
  bool Valid() const;
  int32_t EnsureServices();
  static uint32_t DispatcherLoop(QXThreadRef, void* pool);
  static uint32_t ReaperLoop(QXThreadRef, void* pool);
  // Moves the worker idle longest to the busy ones; null when none is idle. The threads lock only
  // guards the arrays: workers are woken or started after it is released.
  qx::Ref<CBaseThread> TakeIdleWorker();
  bool HandOut(CBaseThreadPoolTask* task);
  void Reap();

  qx::Ref<CBaseMutex> mThreadsLock;
  CFMutableArrayRef mAll QX_GUARDED_BY(mThreadsLock) = nullptr;
  CFMutableArrayRef mIdle QX_GUARDED_BY(mThreadsLock) = nullptr;
  CFMutableArrayRef mBusy QX_GUARDED_BY(mThreadsLock) = nullptr;
  qx::Ref<CBaseMutex> mWorkLock;
  CFMutableArrayRef mPending QX_GUARDED_BY(mWorkLock) = nullptr;
  qx::Ref<CBaseThread> mDispatcher;
  qx::Ref<CBaseThread> mReaper;
  qx::Ref<CBaseCondition> mWorkCondition;

  std::mutex mServicesLock;
  std::atomic<bool> mDispatcherRunning{false};
  std::atomic<bool> mReaperRunning{false};

  std::mutex mReaperLock;
  std::condition_variable mReaperWake;
  uint32_t mPassMS = 30000;
  uint32_t mIdleLimitMS = 20000;
  bool mRetirementChanged = false;
};
