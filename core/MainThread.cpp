// The main thread and its run queue. The host's event loop learns of queued work through an
// eventfd and runs it with QXProcessRunMainThreadQueue.
#include <QXCore/QXLog.h>
#include <QXCore/QXProcess.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <exception>
#include <mutex>
#include <utility>

#include "cf/CFRef.h"
#include "core/Handle.h"

namespace {

// One queued call. The item owns the object and releases it when the item goes, after the call.
class CBaseMainThreadProcess final : public CBaseCore {
 public:
  CBaseMainThreadProcess(QXProcessMainThreadFunction function, void* argument, qxcf::CFRef<CFTypeRef>&& object)
      : mFunction(function), mArgument(argument), mObject(std::move(object)) {}
  void Run() { mFunction(mArgument, mObject.get()); }

 private:
  QXProcessMainThreadFunction mFunction;
  void* mArgument;
  qxcf::CFRef<CFTypeRef> mObject;
};

class MainThreadQueue {
 public:
  // The first call records the calling thread; 0 or the errno of creating the eventfd.
  int32_t Init() {
    std::lock_guard<std::mutex> guard(mLock);
    if (mThread.load(std::memory_order_acquire) != 0) return 0;
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return errno;
    mFD = fd;
    mThread.store(QXProcessGetCurrentThreadID(), std::memory_order_release);
    return 0;
  }

  uint32_t Thread() const { return mThread.load(std::memory_order_acquire); }
  int FD() const { return Thread() != 0 ? mFD : -1; }

  void Push(qx::Ref<CBaseMainThreadProcess> item) {
    {
      std::lock_guard<std::mutex> guard(mLock);
      mItems.emplace_back(mNextSequence, std::move(item));
      ++mNextSequence;
    }
    uint64_t one = 1;
    // Only fails when the counter would overflow, and then the descriptor is readable anyway.
    [[maybe_unused]] ssize_t ignored = write(mFD, &one, sizeof one);
  }

  void RunQueued() {
    // Clear the signal before noting the last item: an item queued after that signals again, so
    // the host's loop comes back for it.
    uint64_t count = 0;
    [[maybe_unused]] ssize_t ignored = read(mFD, &count, sizeof count);
    uint64_t end;
    {
      std::lock_guard<std::mutex> guard(mLock);
      end = mNextSequence;
    }
    // One at a time, from the front, without the lock: a function may queue more work, or run the
    // queue again itself. Numbers rather than a count, so that a nested run taking items from
    // the front cannot make this run go on into items queued after it started.
    while (true) {
      qx::Ref<CBaseMainThreadProcess> item;
      {
        std::lock_guard<std::mutex> guard(mLock);
        if (mItems.empty() || mItems.front().first >= end) return;
        item = std::move(mItems.front().second);
        mItems.pop_front();
      }
      RunItem(item.get());
    }
  }

 private:
  std::mutex mLock;
  std::atomic<uint32_t> mThread{0};
  int mFD = -1;  // written once, before mThread is published
  uint64_t mNextSequence = 0;
  std::deque<std::pair<uint64_t, qx::Ref<CBaseMainThreadProcess>>> mItems;

  // A host function written in C++ may throw: the exception must not unwind through the host's
  // event loop (a C caller), and the items behind it still run.
  static void RunItem(CBaseMainThreadProcess* item) noexcept {
    try {
      item->Run();
    } catch (const std::exception& error) {
      QXLogWithParams(1, CFSTR("QXProcessRunMainThreadQueue"), 0,
                      CFSTR("A main-thread function threw an exception: %s"), error.what());
    } catch (...) {
      QXLogWithParams(1, CFSTR("QXProcessRunMainThreadQueue"), 0, CFSTR("A main-thread function threw an exception"));
    }
  }
};

MainThreadQueue& queue() {
  static MainThreadQueue* const instance = new MainThreadQueue;
  return *instance;
}

}  // namespace

QXStatus QXProcessInit(void) {
  try {
    return queue().Init();
  } catch (...) {
    return kQXErrMemory;
  }
}

bool QXProcessGetIsMainThread(void) {
  uint32_t thread = queue().Thread();
  if (thread == 0) {
    // Standard error stands in for the debugger output.
    std::fputs("QXProcess has not been initialized\n", stderr);
    return false;
  }
  return thread == QXProcessGetCurrentThreadID();
}

QXStatus QXProcessRunOnMainThread(QXProcessMainThreadFunction function, void* argument, CFTypeRef object) {
  // The queue owns the object from here on, also when the call fails.
  auto owned = qxcf::CFRef<CFTypeRef>::adopt(object);
  if (!function) return kQXErrInvalidArgument;
  if (queue().Thread() == 0) {
    if (int32_t status = QXProcessInit()) return status;
  }
  auto item = qx::make<CBaseMainThreadProcess>(function, argument, std::move(owned));
  if (!item) return kQXErrMemory;
  try {
    queue().Push(std::move(item));
  } catch (...) {
    return kQXErrMemory;
  }
  return 0;
}

QXStatus QXProcessRunMainThreadQueue(void) {
  uint32_t thread = queue().Thread();
  if (thread == 0 || thread != QXProcessGetCurrentThreadID()) return kQXErrGeneric;
  try {
    queue().RunQueued();
  } catch (...) {
    // Only the queue's own lock can throw here; work items are guarded one by one.
    return kQXErrMemory;
  }
  return 0;
}

int QXProcessGetMainThreadQueueFD(void) { return queue().FD(); }

uint32_t QXProcessGetPID(void) { return static_cast<uint32_t>(getpid()); }

uint32_t QXProcessGetCurrentThreadID(void) { return static_cast<uint32_t>(gettid()); }
