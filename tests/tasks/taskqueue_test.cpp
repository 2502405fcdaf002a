#include <QXCore/QXThreads.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <numeric>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cf/CFRef.h"
#include "core/Handle.h"
#include "tests/core/CoreTestSupport.h"
#include "tests/log/LogCapture.h"

namespace {

using namespace std::chrono_literals;
using qxtest::waitUntil;
constexpr auto kTimeout = 5s;

// Counts arrivals and opens once; both can be awaited, with a time-out so that a fault fails a test
// instead of hanging it.
struct Gate {
  std::atomic<int> arrived{0};
  std::atomic<bool> open{false};
  bool WaitArrivals(int count) {
    return waitUntil([this, count] { return arrived >= count; });
  }
};

// What tasks report back: what ran in which order, on which threads, how many at once.
struct Log {
  std::mutex mutex;
  std::vector<std::string> events;
  std::set<uint32_t> threads;
  int running = 0, maxRunning = 0;

  // `runningChange` is +1 when a task enters Run and -1 when it leaves (with no event).
  void Add(const std::string& event, int runningChange = 0) {
    std::lock_guard lock(mutex);
    if (!event.empty()) events.push_back(event);
    threads.insert(QXThreadGetCurrentThreadID());
    maxRunning = std::max(maxRunning, running += runningChange);
  }
};
Log gUnread;  // for tasks and queues whose reports nobody reads

class TestTask : public CBaseTask {
 public:
  using Body = std::function<void(TestTask&)>;
  explicit TestTask(std::string name, uint32_t priority = 0, Log* log = &gUnread, Body body = {})
      : name(std::move(name)), log(log), body(std::move(body)) {
    SetPriority(priority);
  }
  void Run() override {
    log->Add("run " + name, +1);
    if (body) body(*this);
    stopSeen = Stopped();
    ++runs;
    log->Add("", -1);
  }
  void Complete() override {
    if (onComplete) onComplete(*this);
    ++completes;
  }

  const std::string name;
  Log* log;
  Body body, onComplete;
  std::atomic<int> runs{0}, completes{0};
  std::atomic<bool> stopSeen{false};
};
using Tasks = std::vector<qx::Ref<TestTask>>;

// Ignores submit times, so that only the queue keeps equal tasks in their order of arrival.
class PriorityOnlyTask : public TestTask {
 public:
  using TestTask::TestTask;
  int32_t Compare(CBaseTask* other) override {
    if (other == nullptr || other->GetPriority() == GetPriority()) return 0;
    return GetPriority() > other->GetPriority() ? -1 : 1;
  }
};

class TestQueue : public CBaseTaskQueue {
 public:
  explicit TestQueue(Log* log = &gUnread, std::atomic<bool>* destroyed = nullptr) : log(log), destroyed(destroyed) {}
  ~TestQueue() override {
    if (destroyed) *destroyed = true;
  }
  void PreprocessTask(CBaseTask* task) override { Hook(preprocessed, "pre ", task); }
  void PostprocessTask(CBaseTask* task) override { Hook(postprocessed, "post ", task); }
  void Hook(std::atomic<int>& count, const char* what, CBaseTask* task) {
    ++count;
    log->Add(what + static_cast<TestTask*>(task)->name);
  }
  Log* log;
  std::atomic<bool>* destroyed;
  std::atomic<int> preprocessed{0}, postprocessed{0};
};

template <class... Args>
qx::Ref<TestTask> makeTask(Args&&... args) {
  return qx::make<TestTask>(std::forward<Args>(args)...);
}

// Reports that it started, then holds its slot (and a serial queue's scheduler) until released or stopped.
qx::Ref<TestTask> makeBlocker(Gate& started, Gate& release) {
  return makeTask("blocker", 100, &gUnread, [&started, &release](TestTask& self) {
    started.arrived++;
    waitUntil([&] { return release.open || self.Stopped(); });
  });
}

// A serial queue whose scheduler is held by a running blocker until `release` opens.
qx::Ref<TestQueue> blockedQueue(CFStringRef id, uint32_t maxQueued, Gate& release, qx::Ref<TestTask>& blocker) {
  Gate started;
  auto queue = qx::make<TestQueue>();
  queue->Initialize(id, maxQueued, 1);
  blocker = makeBlocker(started, release);
  EXPECT_EQ(queue->Push(blocker.get()), 0);
  EXPECT_TRUE(started.WaitArrivals(1));
  return queue;
}

std::vector<std::string> names(CFArrayRef tasks) {
  std::vector<std::string> out;
  for (CFIndex i = 0; i < CFArrayGetCount(tasks); ++i)
    out.push_back(static_cast<const TestTask*>(CFArrayGetValueAtIndex(tasks, i))->name);
  CFRelease(tasks);
  return out;
}

qxcf::CFRef<CFMutableArrayRef> taskArray(const Tasks& tasks) {
  auto array = qxcf::adopt(CFArrayCreateMutable(nullptr, 0, QXUtilsGetArrayCallbacks()));
  for (auto& task : tasks) CFArrayAppendValue(array.get(), task.get());
  return array;
}

// Each task ran and was completed `runs` times, and nothing but the test holds it any more.
void expectDone(std::initializer_list<TestTask*> tasks, int runs) {
  for (TestTask* t : tasks) {
    EXPECT_EQ(t->runs, runs) << t->name;
    EXPECT_EQ(t->completes, runs) << t->name;
    EXPECT_EQ(t->RefCount(), 1u) << t->name;
  }
}
void expectDone(const Tasks& tasks, int runs) {
  for (auto& t : tasks) expectDone({t.get()}, runs);
}

TEST(TaskQueue, UninitialisedQueueIgnoresPushesAndNeverBlocks) {
  auto queue = qx::make<TestQueue>();
  auto task = makeTask("t");
  EXPECT_EQ(queue->Push(task.get()), 0);
  EXPECT_EQ(queue->Push(nullptr), kQXErrInvalidArgument);
  EXPECT_EQ(task->GetKey(), nullptr);
  EXPECT_EQ(queue->TaskCount(), 0u);
  EXPECT_EQ(queue->GetNextTaskCopy(), nullptr);
  queue->RemoveQueuedTasks();
  queue->Stop();
  expectDone({task.get()}, 0);
}

// A serial queue runs its tasks one at a time on the scheduler's thread, with the hooks around each.
TEST(TaskQueueThreads, SerialQueueRunsByPriorityThenArrival) {
  Log log;
  auto queue = qx::make<TestQueue>(&log);
  ASSERT_EQ(queue->Initialize(CFSTR("Q"), 0, 1), 0);
  auto linger = [](TestTask&) { std::this_thread::sleep_for(2ms); };
  Tasks four = {makeTask("1", 1, &log, linger), makeTask("5a", 5, &log, linger), makeTask("5b", 5, &log, linger),
                makeTask("3", 3, &log, linger)};
  for (auto& t : four) {
    t->onComplete = [&queue](TestTask& self) {  // Complete comes after leaving the running list
      EXPECT_EQ(names(queue->GetRunningTasksCopy()), std::vector<std::string>{}) << self.name;
    };
  }
  // One call inserts all four before the scheduler can take the first.
  ASSERT_EQ(queue->PushTasks(taskArray(four).get()), 0);
  queue->WaitForRunningTasksToComplete();
  EXPECT_EQ(log.events, (std::vector<std::string>{"pre 5a", "run 5a", "post 5a", "pre 5b", "run 5b", "post 5b", "pre 3",
                                                  "run 3", "post 3", "pre 1", "run 1", "post 1"}));
  EXPECT_EQ(log.threads.size(), 1u);
  expectDone(four, 1);

  // Long runs of equal priorities make the binary search land inside a run.
  Gate started, release;
  auto blocker = makeBlocker(started, release);
  queue->Push(blocker.get());
  ASSERT_TRUE(started.WaitArrivals(1));
  const uint32_t priorities[] = {2, 1, 2, 3, 1, 2, 2, 0, 3, 2, 1, 2, 2, 2, 0, 3};
  Tasks tasks;
  for (size_t i = 0; i < std::size(priorities); ++i) {
    tasks.push_back(qx::Ref<TestTask>::adopt(new PriorityOnlyTask(std::to_string(i), priorities[i])));
    ASSERT_EQ(queue->Push(tasks.back().get()), 0);
  }
  EXPECT_EQ(names(queue->GetQueuedTasksCopy()), (std::vector<std::string>{"3", "8", "15", "0", "2", "5", "6", "9", "11",
                                                                          "12", "13", "1", "4", "10", "7", "14"}));
  release.open = true;
  queue->WaitForRunningTasksToComplete();
  expectDone(tasks, 1);
}

// Runs `count` tasks (GPU-capable if asked), each waiting until all of them run at once; returns their GPU slots.
std::vector<int32_t> runBatch(CBaseTaskQueue& queue, int count, bool gpu = true, Log* log = &gUnread) {
  Gate allStarted;
  Tasks tasks;
  for (int i = 0; i < count; ++i) {
    tasks.push_back(makeTask(std::to_string(i), 0, log, [&allStarted, count](TestTask&) {
      allStarted.arrived++;
      EXPECT_TRUE(allStarted.WaitArrivals(count));
    }));
    tasks.back()->SetCanRunOnGPU(gpu);
    queue.Push(tasks.back().get());
  }
  queue.WaitForRunningTasksToComplete();
  std::vector<int32_t> indexes;
  for (auto& t : tasks) indexes.push_back(t->GetGPUIndex());
  return indexes;
}

TEST(TaskQueueThreads, ParallelQueueRunsAtMostMaxRunningAtOnce) {
  Log log;
  auto queue = qx::make<TestQueue>();
  queue->Initialize(CFSTR("Par"), 0, 2);
  // Two overlap for certain; then lingering tasks would show a third slot.
  EXPECT_EQ(runBatch(*queue.get(), 2, false, &log), (std::vector<int32_t>{-1, -1}));
  Tasks tasks;
  for (int i = 0; i < 6; ++i) {
    tasks.push_back(makeTask(std::to_string(i), 0, &log, [](TestTask&) { std::this_thread::sleep_for(3ms); }));
    ASSERT_EQ(queue->Push(tasks.back().get()), 0);
  }
  queue->WaitForRunningTasksToComplete();
  EXPECT_EQ(log.maxRunning, 2);
  EXPECT_GE(log.threads.size(), 2u);
  EXPECT_EQ(std::pair(queue->preprocessed.load(), queue->postprocessed.load()), std::pair(0, 8));
  expectDone(tasks, 1);
  for (auto& t : tasks) EXPECT_EQ(t->GetGPUIndex(), -1);
}

TEST(TaskQueueThreads, GPUCapableTasksTakeTheLowestFreeGPUSlotsFirst) {
  auto queue = qx::make<TestQueue>();
  queue->InitializeWithGPUTasks(CFSTR("GPU"), 0, 1, 2);
  // Twice, so that a slot not given back would show.
  EXPECT_EQ(runBatch(*queue.get(), 3), (std::vector<int32_t>{0, 1, -1}));
  EXPECT_EQ(runBatch(*queue.get(), 3), (std::vector<int32_t>{0, 1, -1}));

  // More than 32 GPU slots are 32: the free slots are bits of a 32-bit mask.
  auto wide = qx::make<TestQueue>();
  wide->InitializeWithGPUTasks(CFSTR("Wide"), 0, 0, 40);
  std::vector<int32_t> all(32);
  std::iota(all.begin(), all.end(), 0);
  EXPECT_EQ(runBatch(*wide.get(), 32), all);

  // A negative GPU slot count means none: still serial, as the hooks show.
  auto none = qx::make<TestQueue>();
  none->InitializeWithGPUTasks(CFSTR("NoGPU"), 0, 1, -3);
  EXPECT_EQ(runBatch(*none.get(), 1), std::vector<int32_t>{-1});
  EXPECT_EQ(none->preprocessed, 1);
}

TEST(TaskQueueThreads, StopFlagsTasksWaitsForThemAndIgnoresLaterPushes) {
  Gate never;  // the blocker leaves when told to stop
  qx::Ref<TestTask> running;
  auto queue = blockedQueue(CFSTR("Stop"), 0, never, running);
  auto queued = makeTask("queued", 1);
  queue->Push(queued.get());

  queue->Stop();
  EXPECT_TRUE(running->stopSeen);
  EXPECT_EQ(queued->runs, 1);  // queued tasks still run, told to stop
  EXPECT_TRUE(queued->stopSeen);
  EXPECT_EQ(queue->TaskCount(), 0u);

  auto ignored = makeTask("ignored");
  EXPECT_EQ(queue->Push(ignored.get()), 0);
  EXPECT_EQ(queue->TaskCount(), 0u);

  EXPECT_EQ(queue->Start(), 0);
  auto accepted = makeTask("accepted");
  EXPECT_EQ(queue->Push(accepted.get()), 0);
  queue->WaitForRunningTasksToComplete();
  EXPECT_FALSE(accepted->stopSeen);
  expectDone({running.get(), queued.get(), accepted.get()}, 1);
  expectDone({ignored.get()}, 0);
}

TEST(TaskQueueThreads, BoundedQueueBlocksPushUntilThereIsSpace) {
  Gate release;
  qx::Ref<TestTask> blocker;
  auto queue = blockedQueue(CFSTR("B"), 2, release, blocker);  // the scheduler holds it: nothing more is taken
  Tasks tasks;
  for (int i = 0; i < 6; ++i) tasks.push_back(makeTask(std::to_string(i)));
  auto push = [&](int i) { return std::async(std::launch::async, [&, i] { return queue->Push(tasks[i].get()); }); };

  for (int i = 0; i < 3; ++i) ASSERT_EQ(queue->Push(tasks[i].get()), 0);  // up to maxQueued + 1
  EXPECT_EQ(queue->TaskCount(), 4u);                                      // running ones count too

  // The scheduler taking a task makes room; GetNextTaskCopy takes one as the scheduler would.
  auto fourth = push(3);
  EXPECT_EQ(fourth.wait_for(100ms), std::future_status::timeout);
  CBaseTask* next = queue->GetNextTaskCopy();
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(static_cast<TestTask*>(next)->name, "0");
  ASSERT_EQ(fourth.wait_for(kTimeout), std::future_status::ready);
  EXPECT_EQ(fourth.get(), 0);
  EXPECT_EQ(queue->ScheduleTask(next), 0);  // serial: runs here and consumes the reference
  EXPECT_EQ(tasks[0]->runs, 1);
  EXPECT_EQ(queue->preprocessed, 2);  // the blocker, on the scheduler thread, and this one

  // So does emptying the queue.
  auto fifth = push(4);
  EXPECT_EQ(fifth.wait_for(100ms), std::future_status::timeout);
  queue->RemoveQueuedTasksOnly();
  ASSERT_EQ(fifth.wait_for(kTimeout), std::future_status::ready);
  EXPECT_EQ(names(queue->GetQueuedTasksCopy()), std::vector<std::string>{"4"});

  // A push still waiting when the queue stops is ignored.
  for (int i = 1; i < 3; ++i) queue->Push(tasks[i].get());  // removed above; queued again under new ids
  auto sixth = push(5);
  EXPECT_EQ(sixth.wait_for(100ms), std::future_status::timeout);
  auto stop = std::async(std::launch::async, [&] { queue->Stop(); });
  ASSERT_EQ(sixth.wait_for(kTimeout), std::future_status::ready);
  EXPECT_EQ(sixth.get(), 0);
  release.open = true;
  ASSERT_EQ(stop.wait_for(kTimeout), std::future_status::ready);

  expectDone({tasks[3].get(), tasks[5].get()}, 0);  // removed, ignored
  expectDone({blocker.get(), tasks[4].get()}, 1);
  for (auto& t : tasks) EXPECT_EQ(t->RefCount(), 1u);
}

TEST(TaskQueueThreads, KeysIdentifyTasksRemovalGoesByKeyObjectAndDumpListsTheQueue) {
  Gate release;
  qx::Ref<TestTask> blocker;
  auto queue = blockedQueue(CFSTR("Q"), 0, release, blocker);
  auto a = makeTask("a", 3), b = makeTask("b", 3), c = makeTask("c", 7);
  for (auto* t : {a.get(), b.get(), c.get()}) queue->Push(t);
  c->SetDisplayName(CFSTR("Thumbnails"));
  EXPECT_EQ(qxtest::utf8(blocker->GetKey()), "Q-0");
  testing::internal::CaptureStderr();
  queue->DumpQueuedTasks();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "DumpQueuedTasks - Start\n"
            "Id: Q-3, Priority: 7 Name:Thumbnails\n"
            "Id: Q-1, Priority: 3\n"
            "Id: Q-2, Priority: 3\n"
            "DumpQueuedTasks - End\n");

  ASSERT_TRUE(CFEqual(CFSTR("Q-2"), b->GetKey()));
  queue->RemoveQueuedTask(CFSTR("Q-2"));  // an equal string, not the key itself
  EXPECT_EQ(names(queue->GetQueuedTasksCopy()), (std::vector<std::string>{"c", "a", "b"}));
  queue->RemoveQueuedTask(blocker->GetKey());  // running tasks are not touched
  EXPECT_EQ(queue->TaskCount(), 4u);
  queue->RemoveQueuedTask(b->GetKey());
  EXPECT_EQ(names(queue->GetQueuedTasksCopy()), (std::vector<std::string>{"c", "a"}));
  CFArrayRef running = queue->GetRunningTasksCopy();
  EXPECT_EQ(blocker->RefCount(), 4u);  // ours, the running list, the scheduler, the copy
  EXPECT_EQ(names(running), std::vector<std::string>{"blocker"});

  // Ids never repeat, whoever asks for them.
  auto d = makeTask("d");
  queue->AssignTaskID(d.get());
  EXPECT_EQ(qxtest::utf8(d->GetKey()), "Q-4");
  EXPECT_EQ(d->GetID(), 4u);
  queue->SetQueueID(CFSTR("R"));
  queue->Push(d.get());
  EXPECT_EQ(qxtest::utf8(d->GetKey()), "R-5");

  // The queued ones go at once; the call then waits for the running one.
  auto removeAll = std::async(std::launch::async, [&] { queue->RemoveQueuedTasks(); });
  EXPECT_TRUE(waitUntil([&] { return queue->TaskCount() == 1; }));
  EXPECT_EQ(removeAll.wait_for(50ms), std::future_status::timeout);
  release.open = true;
  ASSERT_EQ(removeAll.wait_for(kTimeout), std::future_status::ready);
  EXPECT_EQ(queue->TaskCount(), 0u);
  expectDone({a.get(), b.get(), c.get(), d.get()}, 0);
  expectDone({blocker.get()}, 1);
}

TEST(TaskQueueThreads, ReleasingTheQueueWhileItWorksIsSafe) {
  for (uint32_t maxRunning : {1u, 2u}) {
    Gate started, release;
    std::atomic<bool> destroyed{false};
    auto queue = qx::make<TestQueue>(&gUnread, &destroyed);
    queue->Initialize(CFSTR("L"), 0, maxRunning);
    Tasks tasks;
    for (int i = 0; i < 4; ++i) {
      tasks.push_back(makeBlocker(started, release));
      queue->Push(tasks.back().get());
    }
    ASSERT_TRUE(started.WaitArrivals(static_cast<int>(maxRunning)));
    queue = nullptr;  // the caller's last reference
    EXPECT_FALSE(destroyed);
    release.open = true;
    EXPECT_TRUE(waitUntil([&] { return destroyed.load(); })) << "maxRunning " << maxRunning;
    expectDone(tasks, 1);
  }
}

}  // namespace
