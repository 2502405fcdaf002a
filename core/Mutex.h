// The mutex and condition behind the QXMutex and QXCondition handles.
#pragma once

#include <QXCore/QXThreads.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "core/Handle.h"
#include "core/ThreadAnnotations.h"

class QX_CAPABILITY("mutex") CBaseMutex final : public CBaseCore {
 public:
  void Lock() QX_ACQUIRE() { mMutex.lock(); }
  bool TryLock() QX_TRY_ACQUIRE(true) { return mMutex.try_lock(); }
  void Unlock() QX_RELEASE() { mMutex.unlock(); }

 private:
  std::recursive_mutex mMutex;
};

// A manual-reset event. The event counts as set when a signal came after the waiter's reset; a
// signal advances a generation instead of raising a flag, so a waiter is released by any signal
// after its own reset even if another waiter has reset the event again in between. The generation
// is a futex word: a signal with nobody waiting costs no system call.
class CBaseCondition final : public CBaseCore {
 public:
  static constexpr uint32_t kInfinite = UINT32_MAX;

  // Returns the generation a following WaitForSignal compares against.
  uint32_t Reset() { return mGeneration.load(std::memory_order_acquire); }
  void Signal();
  // 0 when a signal came after the reset that returned `generation`, kQXErrWaitTimeout after the time-out.
  // (Only exactly 2^32 signals during one wait could go unnoticed.)
  int32_t WaitForSignal(uint32_t generation, uint32_t timeoutMS);
  // The whole pattern: reset, leave the mutex once, wait, re-enter.
  int32_t Wait(CBaseMutex* mutex, uint32_t timeoutMS) QX_REQUIRES(mutex);

 private:
  std::atomic<uint32_t> mGeneration{0};
  std::atomic<uint32_t> mWaiters{0};
};

namespace qx {
QX_HANDLE_CLASS(__QXMutex, CBaseMutex);
QX_HANDLE_CLASS(__QXCondition, CBaseCondition);
}  // namespace qx
