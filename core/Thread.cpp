// Threads of the library: QXThread handles, priority levels recorded per thread, and pool workers.
#include "core/Thread.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "core/ThreadPool.h"

namespace {

std::atomic<int> gFailCreations{0};

// Levels 0-4 as nice values. The level is what the thread reports back, whether or not the
// scheduler change could be applied.
constexpr int kNiceOfLevel[5] = {10, 5, 0, -5, -10};
constexpr int32_t kNormalLevel = 2;
thread_local int32_t tLevel = kNormalLevel;

bool hasSysNiceCapability() {
  static const bool result = [] {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return false;
    char line[256];
    unsigned long long caps = 0;
    while (std::fgets(line, sizeof line, f)) {
      if (std::strncmp(line, "CapEff:", 7) == 0) {
        caps = std::strtoull(line + 7, nullptr, 16);
        break;
      }
    }
    std::fclose(f);
    constexpr int kCapSysNice = 23;
    return ((caps >> kCapSysNice) & 1) != 0;
  }();
  return result;
}

// Whether this process may lower a thread's nice value down to `nice`.
bool mayLowerNiceTo(int nice) {
  if (hasSysNiceCapability()) return true;
  rlimit limit{};
  if (getrlimit(RLIMIT_NICE, &limit) != 0) return false;
  if (limit.rlim_cur == RLIM_INFINITY) return true;
  return nice >= 20 - static_cast<long long>(limit.rlim_cur);
}

// Moves the calling thread to `nice` when the process could also move it back: raising the nice
// value without privilege could never be undone, and lowering it needs privilege anyway.
void applyNice(int nice) {
  pid_t tid = gettid();
  errno = 0;
  int current = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  if (errno != 0 || current == nice) return;
  if (mayLowerNiceTo(std::min(current, nice))) setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);
}

}  // namespace

int qx::createDetachedThread(void* (*entry)(void*), void* argument) {
  for (int n = gFailCreations.load(); n > 0;) {
    if (gFailCreations.compare_exchange_weak(n, n - 1)) return EAGAIN;
  }
  pthread_attr_t attributes;
  if (int rc = pthread_attr_init(&attributes)) return rc;
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int rc = pthread_create(&thread, &attributes, entry, argument);
  pthread_attr_destroy(&attributes);
  return rc;
}

void qx::testing::FailThreadCreations(int count) { gFailCreations.store(count); }

uint32_t CBaseThread::Start(QXThreadRoutine routine, void* parameter) {
  mRoutine = routine;
  mParameter = parameter;
  return Spawn();
}

uint32_t CBaseThread::Spawn() {
  AddRef();  // the running thread's own reference, dropped by Entry
  int rc = qx::createDetachedThread(&CBaseThread::Entry, this);
  if (rc != 0) Release();
  return static_cast<uint32_t>(rc);
}

void* CBaseThread::Entry(void* self) {
  auto thread = qx::Ref<CBaseThread>::adopt(static_cast<CBaseThread*>(self));
  // New threads inherit their creator's nice value but report level 2; make the two agree.
  applyNice(kNiceOfLevel[kNormalLevel]);
  uint32_t exitCode = 0;
  if (thread->mRoutine) {
    exitCode = thread->mRoutine(qx::toHandle<__QXThread>(thread.get()), thread->mParameter);
  } else {
    thread->WorkerLoop();
  }
  return reinterpret_cast<void*>(static_cast<uintptr_t>(exitCode));
}

qx::Ref<CBaseThread> CBaseThread::MakeWorker(CBaseThreadPool* pool) {
  auto worker = qx::make<CBaseThread>();
  if (!worker) return nullptr;
  worker->mPool = pool;
  worker->mWake = qx::make<CBaseCondition>();
  worker->mThreadLock = qx::make<CBaseMutex>();
  if (!worker->mWake || !worker->mThreadLock) return nullptr;
  return worker;
}

// No lock: the worker's thread does not run yet, or never will when Spawn fails.
uint32_t CBaseThread::Launch(CBaseThreadPoolTask* task) QX_NO_THREAD_SAFETY_ANALYSIS {
  mCurrentTask = qx::Ref<CBaseThreadPoolTask>::retain(task);
  uint32_t rc = Spawn();
  if (rc != 0) mCurrentTask = nullptr;
  return rc;
}

void CBaseThread::Wake(CBaseThreadPoolTask* task) {
  mThreadLock->Lock();
  if (task) {
    mCurrentTask = qx::Ref<CBaseThreadPoolTask>::retain(task);
  } else {
    mRetired = true;
  }
  mThreadLock->Unlock();
  // Signalled after unlocking so the worker does not wake only to block on our lock. It tests
  // its state under the lock before resetting the event, so the signal cannot be missed.
  mWake->Signal();
}

// The worker never holds its own lock while it takes the pool's threads lock, and the pool never
// holds the threads lock while it takes a worker's, so the two cannot deadlock. The worker
// re-tests its state under its lock before every wait, so no hand-over is missed.
void CBaseThread::WorkerLoop() {
  mThreadLock->Lock();
  while (mCurrentTask) {
    auto task = std::move(mCurrentTask);
    mThreadLock->Unlock();
    task->Run();
    task = nullptr;
    if (tLevel != kNormalLevel) QXThreadSetPriority(kNormalLevel);
    mLastActive.store(CFAbsoluteTimeGetCurrent(), std::memory_order_relaxed);
    mPool->ReturnToIdle(this);
    mThreadLock->Lock();
    while (!mCurrentTask && !mRetired) mWake->Wait(mThreadLock.get(), CBaseCondition::kInfinite);
  }
  mThreadLock->Unlock();
}

QXThreadRef QXThreadCreate(void) { return qx::toHandle<__QXThread>(qx::make<CBaseThread>().release()); }

uint32_t QXThreadStart(QXThreadRef thread, QXThreadRoutine routine, void* parameter) {
  return qx::fromHandle(thread)->Start(routine, parameter);
}

void QXThreadRetain(QXThreadRef thread) { qx::retainHandle(thread); }
void QXThreadRelease(QXThreadRef thread) { qx::releaseHandle(thread); }

void QXThreadSleep(uint32_t milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

int32_t QXThreadSetPriority(int32_t level) {
  int32_t previous = tLevel;
  if (level < 0 || level > 4) level = kNormalLevel;
  applyNice(kNiceOfLevel[level]);
  tLevel = level;
  return previous;
}

uint32_t QXThreadGetCurrentThreadID(void) { return static_cast<uint32_t>(gettid()); }
