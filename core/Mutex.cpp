// The recursive mutex and the manual-reset condition, on futex words that spin briefly before sleeping.
#include "core/Mutex.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <ctime>

namespace {
long futex(std::atomic<uint32_t>* word, int op, uint32_t value, const timespec* timeout) {
  return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op, value, timeout, nullptr, 0);
}

// Signals often follow within microseconds (a worker handed its next item); a short spin, then a
// few yields, catch those without a system call on either side.
bool signalledSoon(const std::atomic<uint32_t>& word, uint32_t generation) {
  for (int i = 0; i < 20; ++i) {
    if (word.load(std::memory_order_acquire) != generation) return true;
    if (i < 12) {
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#elif defined(__aarch64__)
      asm volatile("yield");
#endif
    } else {
      sched_yield();
    }
  }
  return false;
}

}  // namespace

void CBaseCondition::Signal() {
  mGeneration.fetch_add(1, std::memory_order_seq_cst);
  // Either we see the waiter here, or the waiter sees the new generation before it sleeps.
  if (mWaiters.load(std::memory_order_seq_cst) != 0) futex(&mGeneration, FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr);
}

int32_t CBaseCondition::WaitForSignal(uint32_t generation, uint32_t timeoutMS) {
  if (timeoutMS != 0 && signalledSoon(mGeneration, generation)) return kQXNoErr;
  using Clock = std::chrono::steady_clock;
  const bool timed = timeoutMS != kInfinite;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timed ? timeoutMS : 0);
  int32_t status = kQXNoErr;
  mWaiters.fetch_add(1, std::memory_order_seq_cst);
  while (mGeneration.load(std::memory_order_seq_cst) == generation) {
    if (!timed) {
      futex(&mGeneration, FUTEX_WAIT_PRIVATE, generation, nullptr);
      continue;
    }
    auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      status = kQXErrWaitTimeout;
      break;
    }
    timespec relative{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
    futex(&mGeneration, FUTEX_WAIT_PRIVATE, generation, &relative);
  }
  mWaiters.fetch_sub(1, std::memory_order_seq_cst);
  return status;
}

int32_t CBaseCondition::Wait(CBaseMutex* mutex, uint32_t timeoutMS) QX_REQUIRES(mutex) {
  // The reference keeps the mutex alive if another thread drops its last one while we wait.
  auto keep = qx::Ref<CBaseMutex>::retain(mutex);
  uint32_t generation = Reset();  // before leaving the mutex, so no signal after it is missed
  mutex->Unlock();
  int32_t status = WaitForSignal(generation, timeoutMS);
  mutex->Lock();
  return status;
}

QXMutexRef QXMutexCreate(void) { return qx::toHandle<__QXMutex>(qx::make<CBaseMutex>().release()); }
// The C face hands the held lock to its caller, which the analysis cannot follow.
QXStatus QXMutexLock(QXMutexRef mutex) QX_NO_THREAD_SAFETY_ANALYSIS {
  qx::fromHandle(mutex)->Lock();
  return kQXNoErr;
}
bool QXMutexTryLock(QXMutexRef mutex) QX_NO_THREAD_SAFETY_ANALYSIS { return qx::fromHandle(mutex)->TryLock(); }
QXStatus QXMutexUnlock(QXMutexRef mutex) QX_NO_THREAD_SAFETY_ANALYSIS {
  qx::fromHandle(mutex)->Unlock();
  return kQXNoErr;
}
void QXMutexRetain(QXMutexRef mutex) { qx::retainHandle(mutex); }
void QXMutexRelease(QXMutexRef mutex) { qx::releaseHandle(mutex); }

QXConditionRef QXConditionCreate(void) { return qx::toHandle<__QXCondition>(qx::make<CBaseCondition>().release()); }
// The C caller holds the mutex, as the interface requires; the analysis cannot see it.
QXStatus QXConditionWait(QXConditionRef condition, QXMutexRef mutex) QX_NO_THREAD_SAFETY_ANALYSIS {
  return qx::fromHandle(condition)->Wait(qx::fromHandle(mutex), CBaseCondition::kInfinite);
}
QXStatus QXConditionTimedWait(QXConditionRef condition, QXMutexRef mutex,
                              uint32_t timeoutMS) QX_NO_THREAD_SAFETY_ANALYSIS {
  return qx::fromHandle(condition)->Wait(qx::fromHandle(mutex), timeoutMS);
}
QXStatus QXConditionSignal(QXConditionRef condition) {
  qx::fromHandle(condition)->Signal();
  return kQXNoErr;
}
void QXConditionRetain(QXConditionRef condition) { qx::retainHandle(condition); }
void QXConditionRelease(QXConditionRef condition) { qx::releaseHandle(condition); }
