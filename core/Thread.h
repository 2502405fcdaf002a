// CBaseThread: a thread running either a caller's routine or the thread pool's worker loop.
#pragma once

#include <QXCore/QXThreads.h>

#include <atomic>

#include "core/Handle.h"
#include "core/Mutex.h"

class CBaseThreadPool;

// A work item of the thread pool.
class CBaseThreadPoolTask final : public CBaseCore {
 public:
  CBaseThreadPoolTask(QXThreadPoolFunction function, void* argument) : mFunction(function), mArgument(argument) {}
  void Run() { mFunction(mArgument); }

 private:
  QXThreadPoolFunction mFunction;
  void* mArgument;
};

class CBaseThread final : public CBaseCore {
 public:
  // A caller's thread: runs routine(this, parameter) on a new detached thread. Returns 0 or errno.
  uint32_t Start(QXThreadRoutine routine, void* parameter);

  // A pool worker (no routine); Launch starts its loop with `task` as its first item.
  static qx::Ref<CBaseThread> MakeWorker(CBaseThreadPool* pool);
  uint32_t Launch(CBaseThreadPoolTask* task);

  // Gives an idle worker its next item, or retires it when `task` is null.
  void Wake(CBaseThreadPoolTask* task);

  CFAbsoluteTime LastActive() const { return mLastActive.load(std::memory_order_relaxed); }

 private:
  static void* Entry(void* self);
  uint32_t Spawn();
  void WorkerLoop();
  void SetTaskLocked(CBaseThreadPoolTask* task);

  QXThreadRoutine mRoutine = nullptr;
  void* mParameter = nullptr;
  CBaseThreadPool* mPool = nullptr;  // not retained: the pool outlives its workers
  qx::Ref<CBaseThreadPoolTask> mCurrentTask QX_GUARDED_BY(mThreadLock);
  qx::Ref<CBaseCondition> mWake;
  qx::Ref<CBaseMutex> mThreadLock;
  std::atomic<CFAbsoluteTime> mLastActive{0};
  bool mRetired QX_GUARDED_BY(mThreadLock) = false;
};

namespace qx {
QX_HANDLE_CLASS(__QXThread, CBaseThread);

// Every platform thread of the library is created here (so tests can make creation fail).
int createDetachedThread(void* (*entry)(void*), void* argument);
}  // namespace qx
