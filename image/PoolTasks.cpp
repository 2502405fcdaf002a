// The image operations' work for the thread pool (PoolTasks.h).
#include "image/PoolTasks.h"

#include <QXCore/QXProcess.h>
#include <QXCore/QXThreads.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace qximage {

int32_t PoolThreads() {
  static const int32_t threads = std::clamp(QXProcessGetNumProcessors(), 1, 16);
  return threads;
}

// ---- TaskRing ----

// `count` and `head` change only on the caller's thread, and under the mutex, so the caller may
// read them without it.
struct TaskRing::Shared {
  enum : uint8_t { kFree, kPending, kWorking, kDone };

  std::mutex mutex;
  std::condition_variable changed;
  std::function<void(int32_t)> run;
  std::vector<uint8_t> states;
  size_t head = 0;
  size_t count = 0;
  // The queued tasks before this one, counted from head, are no longer pending: tasks start in
  // the order they were queued.
  size_t started = 0;
  int32_t running = 0;  // pool items queued or running
  int32_t maxRunning = 0;

  size_t Slot(size_t i) const { return (head + i) % states.size(); }

  // Takes the oldest pending task and runs it with the lock released. False when none is pending.
  bool RunOne(std::unique_lock<std::mutex>& lock) {
    while (started < count && states[Slot(started)] != kPending) ++started;
    if (started == count) return false;
    const size_t slot = Slot(started++);
    states[slot] = kWorking;
    lock.unlock();
    run(int32_t(slot));
    lock.lock();
    states[slot] = kDone;
    changed.notify_all();
    return true;
  }

  bool AnyWorking() const {
    for (size_t i = 0; i < count; ++i)
      if (states[Slot(i)] == kWorking) return true;
    return false;
  }

  static void Work(void* argument) {
    std::unique_ptr<std::shared_ptr<Shared>> held(static_cast<std::shared_ptr<Shared>*>(argument));
    Shared& shared = **held;
    std::unique_lock lock(shared.mutex);
    while (shared.RunOne(lock)) {
    }
    --shared.running;
  }
};

TaskRing::TaskRing(int32_t slots, int32_t workers, std::function<void(int32_t)> run)
    : mShared(std::make_shared<Shared>()) {
  mShared->run = std::move(run);
  mShared->states.assign(size_t(std::max(slots, 1)), Shared::kFree);
  mShared->maxRunning = workers;
}

TaskRing::~TaskRing() {
  Shared& shared = *mShared;
  std::unique_lock lock(shared.mutex);
  for (size_t i = shared.started; i < shared.count; ++i)
    if (shared.states[shared.Slot(i)] == Shared::kPending) shared.states[shared.Slot(i)] = Shared::kDone;
  shared.changed.wait(lock, [&] { return !shared.AnyWorking(); });
}

bool TaskRing::Full() const { return mShared->count == mShared->states.size(); }
bool TaskRing::Empty() const { return mShared->count == 0; }
int32_t TaskRing::NextSlot() const { return int32_t(mShared->Slot(mShared->count)); }

void TaskRing::Push(bool needsRun) {
  Shared& shared = *mShared;
  bool spawn = false;
  {
    std::lock_guard lock(shared.mutex);
    shared.states[shared.Slot(shared.count)] = needsRun ? Shared::kPending : Shared::kDone;
    ++shared.count;
    if (needsRun && shared.running < shared.maxRunning) {
      ++shared.running;
      spawn = true;
    }
  }
  if (!spawn) return;
  auto* argument = new (std::nothrow) std::shared_ptr<Shared>(mShared);
  if (argument != nullptr && QXThreadPoolPush(&Shared::Work, argument) == 0) return;
  delete argument;
  // Without a pool item the caller runs the task itself while it waits.
  std::lock_guard lock(shared.mutex);
  --shared.running;
}

int32_t TaskRing::Ready() {
  Shared& shared = *mShared;
  std::lock_guard lock(shared.mutex);
  if (shared.count == 0 || shared.states[shared.head] != Shared::kDone) return -1;
  return int32_t(shared.head);
}

void TaskRing::Retire() {
  Shared& shared = *mShared;
  std::lock_guard lock(shared.mutex);
  shared.states[shared.head] = Shared::kFree;
  shared.head = shared.Slot(1);
  --shared.count;
  if (shared.started > 0) --shared.started;
}

void TaskRing::HelpOrWait() {
  Shared& shared = *mShared;
  std::unique_lock lock(shared.mutex);
  if (shared.RunOne(lock) || shared.count == 0) return;
  shared.changed.wait(lock, [&] { return shared.states[shared.head] == Shared::kDone; });
}

int32_t TaskRing::WaitOldest() {
  while (!Empty()) {
    if (int32_t slot = Ready(); slot >= 0) return slot;
    HelpOrWait();
  }
  return -1;
}

bool TaskRing::AnyUnfinished(const std::function<bool(int32_t)>& match) {
  Shared& shared = *mShared;
  std::lock_guard lock(shared.mutex);
  for (size_t i = 0; i < shared.count; ++i) {
    const size_t slot = shared.Slot(i);
    if (shared.states[slot] != Shared::kDone && match(int32_t(slot))) return true;
  }
  return false;
}

// ---- ParallelJob ----

struct ParallelJob::State {
  // One per started loop; pool items keep theirs alive, so one that starts after the loop ended
  // finds no index left and touches nothing else.
  struct Loop {
    std::function<void(int32_t)> body;
    int32_t count = 0;
    std::atomic<int32_t> next{0};
    std::mutex mutex;
    std::condition_variable finished;
    int32_t done = 0;

    // Runs indices until none is left.
    void Drain() {
      int32_t ran = 0;
      for (int32_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) {
        body(i);
        ++ran;
      }
      if (ran == 0) return;
      std::lock_guard lock(mutex);
      done += ran;
      if (done == count) finished.notify_all();
    }
  };
  std::shared_ptr<Loop> loop;

  static void Work(void* argument) {
    std::unique_ptr<std::shared_ptr<Loop>> held(static_cast<std::shared_ptr<Loop>*>(argument));
    (*held)->Drain();
  }
};

ParallelJob::ParallelJob() : mState(new State) {}

ParallelJob::~ParallelJob() {
  Finish();
  delete mState;
}

void ParallelJob::Start(int32_t count, std::function<void(int32_t)> body) {
  Finish();
  if (count < 1) return;
  auto loop = std::make_shared<State::Loop>();
  loop->body = std::move(body);
  loop->count = count;
  mState->loop = loop;
  const int32_t helpers = std::min(PoolThreads() - 1, count - 1);
  for (int32_t i = 0; i < helpers; ++i) {
    auto* argument = new (std::nothrow) std::shared_ptr<State::Loop>(loop);
    if (argument == nullptr) break;
    // Without a worker the caller runs the indices itself in Finish.
    if (QXThreadPoolPush(&State::Work, argument) != 0) {
      delete argument;
      break;
    }
  }
}

void ParallelJob::Finish() {
  std::shared_ptr<State::Loop> loop = std::move(mState->loop);
  if (!loop) return;
  loop->Drain();
  std::unique_lock lock(loop->mutex);
  loop->finished.wait(lock, [&] { return loop->done == loop->count; });
}

}  // namespace qximage
