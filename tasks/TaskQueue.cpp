// The priority task queue: ordered pending tasks, a scheduler run on the pool, worker and GPU slots.
#include <QXCore/QXThreads.h>

#include <bit>
#include <new>

#include "cf/CFRef.h"
#include "core/Handle.h"

namespace {

// Stop and WaitForRunningTasksToComplete re-check this often even without a signal.
constexpr uint32_t kIdlePollMS = 250;

// What a task run on a pool thread needs; the queue reference keeps the queue alive until the
// run has given its slot back.
struct TaskRun {
  qx::Ref<CBaseTaskQueue> queue;
  CBaseTask* task;  // the scheduler's reference, consumed by the run
};

CFComparisonResult TaskComparatorFunction(const void* first, const void* second, void*) {
  if (first == nullptr) return kCFCompareLessThan;
  auto* a = static_cast<CBaseTask*>(const_cast<void*>(first));
  int32_t order = a->Compare(static_cast<CBaseTask*>(const_cast<void*>(second)));
  return order < 0 ? kCFCompareLessThan : order > 0 ? kCFCompareGreaterThan : kCFCompareEqualTo;
}

}  // namespace

// Locks, conditions and collections exist from construction on, so that every operation is safe
// on a queue that was never initialised (it simply does not accept tasks).
CBaseTaskQueue::CBaseTaskQueue()
    : mQueued(CFArrayCreateMutable(kCFAllocatorDefault, 0, QXUtilsGetArrayCallbacks())),
      mRunning(CFArrayCreateMutable(kCFAllocatorDefault, 0, QXUtilsGetArrayCallbacks())),
      mByKey(CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                       QXUtilsGetDictionaryValueCallbacks())),
      mQueueLock(QXMutexCreate()),
      mSpaceCondition(QXConditionCreate()),
      mIdleCondition(QXConditionCreate()),
      mSlotLock(QXMutexCreate()),
      mSlotCondition(QXConditionCreate()) {}

CBaseTaskQueue::~CBaseTaskQueue() {
  for (CFTypeRef object : {static_cast<CFTypeRef>(mQueued), static_cast<CFTypeRef>(mRunning),
                           static_cast<CFTypeRef>(mByKey), static_cast<CFTypeRef>(mQueueID)}) {
    if (object) CFRelease(object);
  }
  for (QXMutexRef mutex : {mQueueLock, mSlotLock}) {
    if (mutex) QXMutexRelease(mutex);
  }
  for (QXConditionRef condition : {mSpaceCondition, mIdleCondition, mSlotCondition}) {
    if (condition) QXConditionRelease(condition);
  }
}

void CBaseTaskQueue::PreprocessTask(CBaseTask*) {}

void CBaseTaskQueue::PostprocessTask(CBaseTask*) {}

QXStatus CBaseTaskQueue::Initialize(CFStringRef queueID, uint32_t maxQueued, uint32_t maxRunning) {
  return InitializeWithGPUTasks(queueID, maxQueued, maxRunning, 0);
}

QXStatus CBaseTaskQueue::InitializeWithGPUTasks(CFStringRef queueID, uint32_t maxQueued, uint32_t maxRunning,
                                                int32_t gpuTasks) {
  // The free GPU slots are the bits of a 32-bit mask.
  int32_t gpuSlots = gpuTasks < 0 ? 0 : gpuTasks > 32 ? 32 : gpuTasks;
  {
    StMutexLocker lock(mSlotLock);
    mMaxRunning = maxRunning;
    mFreeSlots.store(maxRunning, std::memory_order_relaxed);
    mGPUSlotCount = gpuSlots;
    mFreeGPUSlots.store(gpuSlots == 32 ? UINT32_MAX : (1u << gpuSlots) - 1u, std::memory_order_relaxed);
  }
  StMutexLocker lock(mQueueLock);
  mMaxQueued = maxQueued;
  SetQueueID(queueID);
  mAccepting.store(true, std::memory_order_release);
  return kQXNoErr;
}

void CBaseTaskQueue::SetQueueID(CFStringRef queueID) {
  StMutexLocker lock(mQueueLock);
  if (queueID) CFRetain(queueID);
  if (mQueueID) CFRelease(mQueueID);
  mQueueID = queueID;
}

bool CBaseTaskQueue::SerialMode() const {
  return static_cast<int64_t>(mMaxRunning) + static_cast<int64_t>(mGPUSlotCount) < 2;
}

QXStatus CBaseTaskQueue::Start() {
  mAccepting.store(true, std::memory_order_release);
  StMutexLocker lock(mQueueLock);
  return StartSchedulerLocked();
}

QXStatus CBaseTaskQueue::StartSchedulerLocked() {
  if (mScheduling) return kQXNoErr;
  mScheduling = true;
  AddRef();  // held by the scheduler run
  int32_t status = QXThreadPoolPush(&SchedulerEntryPoint, this);
  if (status != kQXNoErr) {
    // Nothing will run: leave the flag clear so that the next push tries again.
    mScheduling = false;
    Release();  // the caller still holds its own reference
  }
  return status;
}

QXStatus CBaseTaskQueue::Push(CBaseTask* task) {
  if (task == nullptr) return kQXErrInvalidArgument;
  StMutexLocker lock(mQueueLock);
  if (!Accepting()) return kQXNoErr;
  if (mMaxQueued != 0) {
    while (static_cast<uint64_t>(CFArrayGetCount(mQueued)) > mMaxQueued) {
      QXConditionWait(mSpaceCondition, mQueueLock);
      // Stop wakes blocked pushes; the task is ignored like any push after Stop.
      if (!Accepting()) return kQXNoErr;
    }
  }
  InsertLocked(task);
  return StartSchedulerLocked();
}

QXStatus CBaseTaskQueue::PushTasks(CFArrayRef tasks) {
  if (tasks == nullptr) return kQXErrInvalidArgument;
  StMutexLocker lock(mQueueLock);
  for (CFIndex i = 0, count = CFArrayGetCount(tasks); i < count; ++i) {
    if (CBaseTask* task = qx::ObjectAt<CBaseTask>(tasks, i)) InsertLocked(task);
  }
  return StartSchedulerLocked();
}

void CBaseTaskQueue::AssignTaskID(CBaseTask* task) {
  if (task == nullptr) return;
  StMutexLocker lock(mQueueLock);
  AssignTaskIDLocked(task);
}

void CBaseTaskQueue::AssignTaskIDLocked(CBaseTask* task) {
  // Keys print the id as a signed decimal, as they always have.
  auto key = qxcf::adopt(
      CFStringCreateWithFormat(kCFAllocatorDefault, nullptr, CFSTR("%@-%d"), mQueueID, static_cast<int32_t>(mNextID)));
  task->SetKey(key.get());
  task->SetID(mNextID);
  ++mNextID;
}

void CBaseTaskQueue::InsertLocked(CBaseTask* task) {
  AssignTaskIDLocked(task);
  CFStringRef key = task->GetKey();
  if (key == nullptr || CFDictionaryContainsKey(mByKey, key)) return;
  task->SetSubmitTime(CFAbsoluteTimeGetCurrent());
  CFDictionarySetValue(mByKey, key, task);

  CFIndex count = CFArrayGetCount(mQueued);
  CFIndex index = 0;
  if (count > 0) {
    index = CFArrayBSearchValues(mQueued, CFRangeMake(0, count), task, &TaskComparatorFunction, nullptr);
    // Equal tasks keep their order of arrival.
    while (index < count && qx::ObjectAt<CBaseTask>(mQueued, index)->Compare(task) == 0) ++index;
  }
  CFArrayInsertValueAtIndex(mQueued, index, task);
  if (task->GetCanRunOnGPU()) ++mQueuedGPUTasks;
}

uint32_t CBaseTaskQueue::TaskCount() {
  StMutexLocker lock(mQueueLock);
  return static_cast<uint32_t>(CFArrayGetCount(mQueued) + CFArrayGetCount(mRunning));
}

CFArrayRef CBaseTaskQueue::GetQueuedTasksCopy() {
  StMutexLocker lock(mQueueLock);
  return CFArrayCreateCopy(kCFAllocatorDefault, mQueued);
}

CFArrayRef CBaseTaskQueue::GetRunningTasksCopy() {
  StMutexLocker lock(mQueueLock);
  return CFArrayCreateCopy(kCFAllocatorDefault, mRunning);
}

void CBaseTaskQueue::RemoveQueuedTask(CFStringRef key) {
  if (key == nullptr) return;
  StMutexLocker lock(mQueueLock);
  for (CFIndex i = 0, count = CFArrayGetCount(mQueued); i < count; ++i) {
    CBaseTask* task = qx::ObjectAt<CBaseTask>(mQueued, i);
    if (task->GetKey() != key) continue;
    auto keep = qx::Ref<CBaseTask>::retain(task);
    CFDictionaryRemoveValue(mByKey, key);
    CFArrayRemoveValueAtIndex(mQueued, i);
    if (task->GetCanRunOnGPU() && mQueuedGPUTasks > 0) --mQueuedGPUTasks;
    QXConditionSignal(mSpaceCondition);  // a blocked Push may now fit
    SignalIfIdleLocked();
    return;
  }
}

void CBaseTaskQueue::RemoveQueuedTasksOnly() {
  StMutexLocker lock(mQueueLock);
  for (CFIndex i = 0, count = CFArrayGetCount(mQueued); i < count; ++i) {
    if (qx::ObjectAt<CBaseTask>(mQueued, i)->GetCanRunOnGPU() && mQueuedGPUTasks > 0) --mQueuedGPUTasks;
  }
  CFDictionaryRemoveAllValues(mByKey);
  CFArrayRemoveAllValues(mQueued);
  QXConditionSignal(mSpaceCondition);
  SignalIfIdleLocked();
}

void CBaseTaskQueue::RemoveQueuedTasks() {
  RemoveQueuedTasksOnly();
  WaitForRunningTasksToComplete();
}

void CBaseTaskQueue::WaitForRunningTasksToComplete() { WaitUntilEmpty(); }

void CBaseTaskQueue::WaitUntilEmpty() {
  StMutexLocker lock(mQueueLock);
  while (CFArrayGetCount(mQueued) > 0 || CFArrayGetCount(mRunning) > 0 || mUnfinished > 0) {
    // The time-out is only a safety net; the last task to finish signals.
    QXConditionTimedWait(mIdleCondition, mQueueLock, kIdlePollMS);
  }
}

void CBaseTaskQueue::Stop() {
  if (!mAccepting.exchange(false, std::memory_order_acq_rel)) return;
  {
    StMutexLocker lock(mQueueLock);
    for (CFArrayRef list : {static_cast<CFArrayRef>(mQueued), static_cast<CFArrayRef>(mRunning)}) {
      for (CFIndex i = 0, count = CFArrayGetCount(list); i < count; ++i)
        qx::ObjectAt<CBaseTask>(list, i)->SetStop(true);
    }
    // Pushes blocked for space give up now instead of queuing behind the stop.
    QXConditionSignal(mSpaceCondition);
  }
  WaitUntilEmpty();
}

void CBaseTaskQueue::DumpQueuedTasks() {
  StMutexLocker lock(mQueueLock);
  CFShow(CFSTR("DumpQueuedTasks - Start"));
  for (CFIndex i = 0, count = CFArrayGetCount(mQueued); i < count; ++i) {
    CBaseTask* task = qx::ObjectAt<CBaseTask>(mQueued, i);
    int priority = static_cast<int>(task->GetPriority());
    qxcf::CFRef<CFStringRef> line;
    if (CFStringRef name = task->GetDisplayName()) {
      line = qxcf::adopt(CFStringCreateWithFormat(kCFAllocatorDefault, nullptr, CFSTR("Id: %@, Priority: %d Name:%@"),
                                                  task->GetKey(), priority, name));
    } else {
      line = qxcf::adopt(CFStringCreateWithFormat(kCFAllocatorDefault, nullptr, CFSTR("Id: %@, Priority: %d"),
                                                  task->GetKey(), priority));
    }
    CFShow(line.get());
  }
  CFShow(CFSTR("DumpQueuedTasks - End"));
}

CFIndex CBaseTaskQueue::NextIndexLocked() const {
  // With every worker slot taken, a GPU-capable task may still start in a free GPU slot.
  if (mQueuedGPUTasks == 0 || mFreeSlots.load(std::memory_order_relaxed) != 0 ||
      mFreeGPUSlots.load(std::memory_order_relaxed) == 0) {
    return 0;
  }
  for (CFIndex i = 0, count = CFArrayGetCount(mQueued); i < count; ++i) {
    if (qx::ObjectAt<CBaseTask>(mQueued, i)->GetCanRunOnGPU()) return i;
  }
  return 0;
}

CBaseTask* CBaseTaskQueue::TakeLocked(CFIndex index) {
  auto task = qx::Ref<CBaseTask>::retain(qx::ObjectAt<CBaseTask>(mQueued, index));
  CFDictionaryRemoveValue(mByKey, task->GetKey());
  CFArrayRemoveValueAtIndex(mQueued, index);
  CFArrayAppendValue(mRunning, task.get());
  if (task->GetCanRunOnGPU() && mQueuedGPUTasks > 0) --mQueuedGPUTasks;
  ++mUnfinished;
  QXConditionSignal(mSpaceCondition);
  return task.release();
}

CBaseTask* CBaseTaskQueue::GetNextTaskCopy() {
  StMutexLocker lock(mQueueLock);
  if (CFArrayGetCount(mQueued) == 0) return nullptr;
  return TakeLocked(NextIndexLocked());
}

void CBaseTaskQueue::SchedulerEntryPoint(void* queue) {
  auto* self = static_cast<CBaseTaskQueue*>(queue);
  self->ScheduleTasks();
  self->Release();  // taken when the run was pushed
}

void CBaseTaskQueue::ScheduleTasks() {
  for (;;) {
    CBaseTask* task;
    {
      StMutexLocker lock(mQueueLock);
      if (CFArrayGetCount(mQueued) == 0) {
        mScheduling = false;
        return;
      }
      task = TakeLocked(NextIndexLocked());
    }
    ScheduleTask(task);
  }
}

QXStatus CBaseTaskQueue::ScheduleTask(CBaseTask* task) {
  if (task == nullptr) return kQXErrInvalidArgument;
  if (SerialMode()) {
    PreprocessTask(task);
    task->Run();
    PostprocessTask(task);
    FinishTask(task, false, -1);
    return kQXNoErr;
  }

  bool gpuCapable = task->GetCanRunOnGPU();
  QXMutexLock(mSlotLock);
  while (mFreeSlots.load(std::memory_order_relaxed) == 0) {
    if (gpuCapable && mFreeGPUSlots.load(std::memory_order_relaxed) != 0) break;
    QXConditionWait(mSlotCondition, mSlotLock);
  }
  uint32_t freeGPU = mFreeGPUSlots.load(std::memory_order_relaxed);
  if (gpuCapable && freeGPU != 0) {
    int slot = std::countr_zero(freeGPU);  // the lowest free GPU slot
    mFreeGPUSlots.store(freeGPU & ~(1u << slot), std::memory_order_relaxed);
    task->SetGPUIndex(slot);
  } else {
    task->SetGPUIndex(-1);
    mFreeSlots.fetch_sub(1, std::memory_order_relaxed);
  }
  QXMutexUnlock(mSlotLock);

  auto* run = new (std::nothrow) TaskRun{qx::Ref<CBaseTaskQueue>::retain(this), task};
  int32_t status = run ? QXThreadPoolPush(&TaskEntryPoint, run) : kQXErrMemory;
  if (status != kQXNoErr) {
    // The task is not lost: it runs here, holding up the scheduler instead.
    delete run;
    DoTask(task);
  }
  return status;
}

void CBaseTaskQueue::TaskEntryPoint(void* record) {
  auto* run = static_cast<TaskRun*>(record);
  run->queue->DoTask(run->task);
  delete run;  // drops the queue reference last
}

void CBaseTaskQueue::DoTask(CBaseTask* task) {
  // The slot to give back is the one given out, whatever the task does to its index meanwhile.
  int32_t gpuIndex = task->GetGPUIndex();
  task->Run();
  PostprocessTask(task);
  FinishTask(task, true, gpuIndex);
}

void CBaseTaskQueue::FinishTask(CBaseTask* task, bool freeSlot, int32_t gpuIndex) {
  {
    StMutexLocker lock(mQueueLock);
    CFIndex index = CFArrayGetFirstIndexOfValue(mRunning, CFRangeMake(0, CFArrayGetCount(mRunning)), task);
    if (index != kCFNotFound) CFArrayRemoveValueAtIndex(mRunning, index);
  }
  task->Complete();
  task->Release();  // the scheduler's reference

  if (freeSlot) {
    StMutexLocker lock(mSlotLock);
    if (gpuIndex >= 0 && gpuIndex < mGPUSlotCount) {
      mFreeGPUSlots.fetch_or(1u << gpuIndex, std::memory_order_relaxed);
    } else {
      mFreeSlots.fetch_add(1, std::memory_order_relaxed);
    }
    QXConditionSignal(mSlotCondition);
  }

  StMutexLocker lock(mQueueLock);
  if (mUnfinished > 0) --mUnfinished;
  SignalIfIdleLocked();
}

// Waiters only care about the queue running dry; waking them for every task would cost a
// context switch per task.
void CBaseTaskQueue::SignalIfIdleLocked() {
  if (CFArrayGetCount(mQueued) == 0 && CFArrayGetCount(mRunning) == 0 && mUnfinished == 0) {
    QXConditionSignal(mIdleCondition);
  }
}
