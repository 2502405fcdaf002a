// Lock annotations that clang checks with -Wthread-safety (the thread-safety preset, which
// scripts/test builds) and other compilers ignore, with the annotated mutexes and guard they need:
// libstdc++'s mutexes carry no annotations of their own.
#pragma once

#include <mutex>

#if defined(__clang__)
#define QX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QX_THREAD_ANNOTATION(x)
#endif

#define QX_CAPABILITY(name) QX_THREAD_ANNOTATION(capability(name))
#define QX_SCOPED_CAPABILITY QX_THREAD_ANNOTATION(scoped_lockable)
#define QX_GUARDED_BY(lock) QX_THREAD_ANNOTATION(guarded_by(lock))
#define QX_PT_GUARDED_BY(lock) QX_THREAD_ANNOTATION(pt_guarded_by(lock))
#define QX_REQUIRES(...) QX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define QX_EXCLUDES(...) QX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define QX_ACQUIRE(...) QX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QX_RELEASE(...) QX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define QX_TRY_ACQUIRE(...) QX_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define QX_RETURN_CAPABILITY(lock) QX_THREAD_ANNOTATION(lock_returned(lock))
#define QX_NO_THREAD_SAFETY_ANALYSIS QX_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace qx {

// std::mutex or std::recursive_mutex as a capability the analysis knows.
template <class Native>
class QX_CAPABILITY("mutex") BasicMutex {
 public:
  void lock() QX_ACQUIRE() { mNative.lock(); }
  bool try_lock() QX_TRY_ACQUIRE(true) { return mNative.try_lock(); }
  void unlock() QX_RELEASE() { mNative.unlock(); }

 private:
  Native mNative;
};

using Mutex = BasicMutex<std::mutex>;
using RecursiveMutex = BasicMutex<std::recursive_mutex>;

// Holds a mutex for its scope.
template <class M>
class QX_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(M& mutex) QX_ACQUIRE(mutex) : mMutex(mutex) { mMutex.lock(); }
  ~MutexLock() QX_RELEASE() { mMutex.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  M& mMutex;
};

}  // namespace qx
