/*
 * QXThreads.h — mutexes, conditions, threads, the process-wide thread pool and the task queue.
 *
 * Mutexes, conditions and threads are reference-counted handles (see QXBase.h). Every function
 * here may be called from any thread; none checks its handle for null.
 */
#ifndef QXCORE_QXTHREADS_H
#define QXCORE_QXTHREADS_H

#include <QXCore/QXBase.h>
#include <stdbool.h>

typedef struct __QXMutex* QXMutexRef;
typedef struct __QXCondition* QXConditionRef;
typedef struct __QXThread* QXThreadRef;

/* A thread routine: receives its thread object and the parameter given to QXThreadStart. */
typedef uint32_t (*QXThreadRoutine)(QXThreadRef thread, void* parameter);

/* A work item for the thread pool. */
typedef void (*QXThreadPoolFunction)(void* argument);

QX_EXTERN_C_BEGIN

/* ---- Mutex: recursive; the owning thread may lock it again and unlocks it as often. ---- */

/* A new mutex with one reference, or NULL when memory runs out. */
QX_EXPORT QXMutexRef QXMutexCreate(void);
/* Blocks until the calling thread owns the mutex. Always returns 0. */
QX_EXPORT QXStatus QXMutexLock(QXMutexRef mutex);
/* Takes the mutex if that needs no waiting (always when the caller already owns it). */
QX_EXPORT bool QXMutexTryLock(QXMutexRef mutex);
/* Releases one level of ownership; only the owning thread may unlock. Always returns 0. */
QX_EXPORT QXStatus QXMutexUnlock(QXMutexRef mutex);
QX_EXPORT void QXMutexRetain(QXMutexRef mutex);
QX_EXPORT void QXMutexRelease(QXMutexRef mutex);

/* ---- Condition: a manual-reset event used with a mutex. ----
 * A wait, with the caller holding the mutex: resets the event, leaves the mutex once, waits for a
 * signal, re-enters the mutex. A signal releases every thread waiting at that moment (even one
 * that starts waiting again at once) and leaves the event set until the next waiter resets it, so
 * a signal given before a thread starts waiting is lost. Callers re-test their predicate after
 * every wait. A caller holding the mutex recursively keeps the other levels during the wait. */

/* A new condition (not signalled) with one reference, or NULL when memory runs out. */
QX_EXPORT QXConditionRef QXConditionCreate(void);
/* Waits without limit. Returns 0 when signalled. */
QX_EXPORT QXStatus QXConditionWait(QXConditionRef condition, QXMutexRef mutex);
/* Returns 0 when signalled, kQXErrWaitTimeout (258) when the time-out passed first. A time-out of
   0 only reports a signal that arrives between the reset and the check. */
QX_EXPORT QXStatus QXConditionTimedWait(QXConditionRef condition, QXMutexRef mutex, uint32_t timeoutMS);
/* Sets the event, releasing every current waiter. Always returns 0. */
QX_EXPORT QXStatus QXConditionSignal(QXConditionRef condition);
QX_EXPORT void QXConditionRetain(QXConditionRef condition);
QX_EXPORT void QXConditionRelease(QXConditionRef condition);

/* ---- Threads ---- */

/* A new thread object with one reference (nothing runs yet), or NULL when memory runs out. */
QX_EXPORT QXThreadRef QXThreadCreate(void);
/* Runs routine(thread, parameter) on a new detached thread; the thread object stays alive while
   the routine runs. Returns 0, or the errno of the failed thread creation (the routine then
   never runs). */
QX_EXPORT uint32_t QXThreadStart(QXThreadRef thread, QXThreadRoutine routine, void* parameter);
QX_EXPORT void QXThreadRetain(QXThreadRef thread);
QX_EXPORT void QXThreadRelease(QXThreadRef thread);
QX_EXPORT void QXThreadSleep(uint32_t milliseconds);
/* Sets the calling thread's priority level and returns the level it had before. Levels 0-4 are
   lowest, below normal, normal, above normal, highest (nice 10, 5, 0, -5, -10); any other value
   means normal. The level is recorded per thread and reported back as recorded; the scheduling
   change is applied only when the process may also undo it (raising priority needs privilege),
   so a level change never leaves a thread stuck. Pool work items start at level 2. */
QX_EXPORT int32_t QXThreadSetPriority(int32_t level);
/* The kernel id of the calling thread. */
QX_EXPORT uint32_t QXThreadGetCurrentThreadID(void);

/* ---- The process-wide thread pool ----
 * Work items start in the order they were pushed, each on a worker of its own: there is no upper
 * bound on the workers, an idle one is reused (the one idle longest first) and one idle for more
 * than 20 s is retired. If the system refuses a new thread, the item stays queued and is retried.
 * Returns 0 when the item is queued; kQXErrMemory when memory runs out, or the errno of starting
 * the pool's service threads (the first push starts them). The C++ name keeps its signature in the
 * symbol; C callers use QXThreadPoolPushC. */
QX_EXPORT QXStatus QXThreadPoolPushC(QXThreadPoolFunction function, void* argument);

QX_EXTERN_C_END

#if defined(__cplusplus)
QX_EXPORT QXStatus QXThreadPoolPush(void (*function)(void*), void* argument);

/* Holds a mutex for a scope: locks on construction, unlocks once on destruction. It keeps no flag:
   a caller who calls Unlock() must call Lock() again before the guard ends. A null handle makes
   every operation do nothing. */
class QX_EXPORT StMutexLocker {
 public:
  explicit StMutexLocker(QXMutexRef mutex) : mMutex(mutex) {
    if (mMutex) QXMutexLock(mMutex);
  }
  ~StMutexLocker() { Unlock(); }
  StMutexLocker(const StMutexLocker&) = delete;
  StMutexLocker& operator=(const StMutexLocker& other) = default;

  void Lock() {
    if (mMutex) QXMutexLock(mMutex);
  }
  void Unlock() {
    if (mMutex) QXMutexUnlock(mMutex);
  }

 private:
  QXMutexRef mMutex;
};

/* A unit of work for a CBaseTaskQueue. Subclasses implement Run (the work; it should return early
   once Stopped() is true) and Complete (called once after the task has left the running list).
   A queue orders tasks by Compare: larger priority first, then earlier submission. */
class QX_EXPORT CBaseTask : public CBaseCore {
 public:
  CBaseTask();
  ~CBaseTask() override;

  virtual void Run() = 0;
  virtual void Complete() = 0;
  /* Negative when this task runs before other, positive after, 0 when equal or other is NULL. */
  virtual int32_t Compare(CBaseTask* other);

  /* The queue's id for the task, "<queue id>-<id>"; borrowed. */
  CFStringRef GetKey() const { return mKey; }
  void SetKey(CFStringRef key); /* retains key */
  uint32_t GetID() const { return mID; }
  void SetID(uint32_t id) { mID = id; }
  CFAbsoluteTime GetSubmitTime() const { return mSubmitTime; }
  void SetSubmitTime(CFAbsoluteTime time) { mSubmitTime = time; }
  uint32_t GetPriority() const { return mPriority; }
  void SetPriority(uint32_t priority) { mPriority = priority; }
  /* Set by the queue's Stop, from another thread. */
  void SetStop(bool stop) { mStop.store(stop, std::memory_order_release); }
  bool Stopped() const { return mStop.load(std::memory_order_acquire); }
  bool GetCanRunOnGPU() const { return mCanRunOnGPU; }
  void SetCanRunOnGPU(bool canRun) { mCanRunOnGPU = canRun; }
  /* The GPU slot the task runs in, -1 for none. */
  int32_t GetGPUIndex() const { return mGPUIndex; }
  void SetGPUIndex(int32_t index) { mGPUIndex = index; }
  CFStringRef GetDisplayName() const { return mDisplayName; } /* borrowed; shown by DumpQueuedTasks */
  void SetDisplayName(CFStringRef name);                      /* retains name */

 private:
  CFStringRef mKey = nullptr;
  uint32_t mID = 0xFFFFFFFFu;
  CFAbsoluteTime mSubmitTime = 0;
  uint32_t mPriority = 0;
  std::atomic<bool> mStop{false};
  bool mCanRunOnGPU = false;
  int32_t mGPUIndex = -1;
  CFStringRef mDisplayName = nullptr;
};

/* A priority scheduler over the process-wide thread pool. A scheduler run is active on the pool
   while anything is queued. With fewer than two slots in all (worker plus GPU) tasks run one after
   another on the scheduler's thread, with PreprocessTask before each; otherwise each task runs on
   a pool thread of its own, at most maxRunning in worker slots plus one per GPU slot at once.
   Every list membership holds a reference on its task, and a queue stays alive while a scheduler
   run or a task of it is active. All operations may be called from any thread, but Stop,
   RemoveQueuedTasks and WaitForRunningTasksToComplete must not be called from a task of the same
   queue (they wait for it), nor Push from a task of a serial queue with a bounded backlog. */
class QX_EXPORT CBaseTaskQueue : public CBaseCore {
 public:
  CBaseTaskQueue();
  ~CBaseTaskQueue() override;

  virtual void PreprocessTask(CBaseTask* task);
  virtual void PostprocessTask(CBaseTask* task);
  /* Runs (serial mode) or dispatches (parallel mode) a task the scheduler has moved to the running
     list, consuming the scheduler's reference on it. Returns 0 or the thread pool's status. */
  virtual QXStatus ScheduleTask(CBaseTask* task);

  /* Sets the limits and starts accepting tasks; until then Push ignores tasks. maxQueued 0 means
     no limit; gpuTasks is the number of GPU slots, clamped to 0..32. Returns 0. */
  QXStatus Initialize(CFStringRef queueID, uint32_t maxQueued, uint32_t maxRunning);
  QXStatus InitializeWithGPUTasks(CFStringRef queueID, uint32_t maxQueued, uint32_t maxRunning, int32_t gpuTasks);
  void SetQueueID(CFStringRef queueID);

  /* Accepts tasks again (after Stop) and starts a scheduler run if none is active. */
  QXStatus Start();
  /* Queues a task (the queue takes its own reference), blocking while more than maxQueued tasks
     are queued. A queue that is not accepting, or stops while the push waits, ignores the task
     and returns 0. Returns 0, kQXErrInvalidArgument for NULL, or the thread pool's status when a
     scheduler run could not be started (the task stays queued; the next push retries). */
  QXStatus Push(CBaseTask* task);
  /* Queues every task of the array at once, without waiting for space or looking at accepting.
     Returns 0 or the thread pool's status as Push does. */
  QXStatus PushTasks(CFArrayRef tasks);
  /* Gives the task the queue's next id and its key. */
  void AssignTaskID(CBaseTask* task);
  /* Queued plus running. */
  uint32_t TaskCount();
  /* New arrays (owning their elements) of the queued tasks in queue order, and of the running ones. */
  CFArrayRef GetQueuedTasksCopy();
  CFArrayRef GetRunningTasksCopy();
  /* Removes the queued task whose key is this very string object (not an equal string). */
  void RemoveQueuedTask(CFStringRef key);
  void RemoveQueuedTasksOnly();
  /* RemoveQueuedTasksOnly, then WaitForRunningTasksToComplete. */
  void RemoveQueuedTasks();
  /* Returns once nothing is queued or running and the Complete of every finished task has
     returned. */
  void WaitForRunningTasksToComplete();
  /* Stops accepting, sets the stop flag of every queued and running task and waits until all of
     them have run (their Run is expected to return early). */
  void Stop();
  /* Writes the queued tasks, one line each, through CFShow. */
  void DumpQueuedTasks();
  /* Takes the next task as the scheduler would (waking a blocked Push) and moves it to the
     running list; the caller owns the returned reference and must finish the task by passing it
     to ScheduleTask, which consumes that reference (until then the queue counts it as running).
     NULL when nothing is queued. */
  CBaseTask* GetNextTaskCopy();

 protected:
  static void SchedulerEntryPoint(void* queue);
  static void TaskEntryPoint(void* record);
  void ScheduleTasks();
  void DoTask(CBaseTask* task);

 private:
  bool Accepting() const { return mAccepting.load(std::memory_order_acquire); }
  bool SerialMode() const;
  void InsertLocked(CBaseTask* task);
  void AssignTaskIDLocked(CBaseTask* task);
  CFIndex NextIndexLocked() const;
  CBaseTask* TakeLocked(CFIndex index);
  void FinishTask(CBaseTask* task, bool freeSlot, int32_t gpuIndex);
  void SignalIfIdleLocked();
  QXStatus StartSchedulerLocked();
  void WaitUntilEmpty();

  CFMutableArrayRef mQueued;
  CFMutableArrayRef mRunning;
  CFMutableDictionaryRef mByKey;
  QXMutexRef mQueueLock;
  QXConditionRef mSpaceCondition;
  QXConditionRef mIdleCondition; /* signalled when nothing is left queued or running */
  QXMutexRef mSlotLock;
  QXConditionRef mSlotCondition;
  uint32_t mMaxQueued = 0;
  uint32_t mMaxRunning = 0;
  /* Changed under the slot lock; the scheduler also reads them under the queue lock. */
  std::atomic<uint32_t> mFreeSlots{0};
  int32_t mGPUSlotCount = 0;
  std::atomic<uint32_t> mFreeGPUSlots{0};
  uint32_t mQueuedGPUTasks = 0;
  uint32_t mUnfinished = 0; /* taken from the queue, Complete not yet returned */
  uint32_t mNextID = 0;
  CFStringRef mQueueID = nullptr;
  bool mScheduling = false;
  std::atomic<bool> mAccepting{false};
};
#endif /* __cplusplus */

#endif /* QXCORE_QXTHREADS_H */
