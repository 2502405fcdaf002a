#include <QXCore/QXThreads.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "CoreTestSupport.h"
#include "core/PoolTesting.h"
#include "core/Thread.h"

namespace {

using qxtest::waitUntil;

int niceOfThisThread() { return getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())); }

struct StartRecord {
  std::atomic<bool> ran{false};
  QXThreadRef seen = nullptr;
  uint32_t tid = 0;
};

uint32_t recordStart(QXThreadRef thread, void* parameter) {
  auto* record = static_cast<StartRecord*>(parameter);
  record->seen = thread;
  record->tid = QXThreadGetCurrentThreadID();
  record->ran = true;
  return 42;
}

TEST(ThreadsStart, RunsRoutineWithThreadAndParameter) {
  QXThreadRef thread = QXThreadCreate();
  ASSERT_NE(thread, nullptr);
  StartRecord record;
  EXPECT_EQ(QXThreadStart(thread, &recordStart, &record), 0u);
  ASSERT_TRUE(waitUntil([&] { return record.ran.load(); }));
  EXPECT_EQ(record.seen, thread);
  EXPECT_NE(record.tid, QXThreadGetCurrentThreadID());
  // The running thread holds its own reference until it ends.
  EXPECT_TRUE(waitUntil([&] { return qx::fromHandle(thread)->RefCount() == 1; }));
  QXThreadRelease(thread);

  // A refused platform thread is reported and the routine never runs.
  thread = QXThreadCreate();
  StartRecord refused;
  qx::testing::FailThreadCreations(1);
  EXPECT_EQ(QXThreadStart(thread, &recordStart, &refused), static_cast<uint32_t>(EAGAIN));
  EXPECT_FALSE(refused.ran);
  EXPECT_EQ(qx::fromHandle(thread)->RefCount(), 1u);
  QXThreadRelease(thread);
}

TEST(ThreadsPriority, LevelsAreRecordedPerThreadAndNeverStick) {
  std::thread([] {
    int startNice = niceOfThisThread();
    EXPECT_EQ(QXThreadSetPriority(4), 2);  // a new thread is at the normal level
    EXPECT_EQ(QXThreadSetPriority(7), 4);  // out of range means normal
    EXPECT_EQ(QXThreadSetPriority(0), 2);
    int lowered = niceOfThisThread();
    EXPECT_TRUE(lowered == 10 || lowered == startNice) << lowered;  // applied only if reversible
    EXPECT_EQ(QXThreadSetPriority(-1), 0);
    EXPECT_EQ(niceOfThisThread(), startNice);  // back at normal, whatever was applied
  }).join();
  // Levels belong to the thread that set them.
  EXPECT_EQ(QXThreadSetPriority(2), 2);
}

// Retires every idle worker so a test starts from an empty pool, then restores the long intervals.
void drainPool() {
  qx::testing::SetPoolRetirement(20, 0);
  ASSERT_TRUE(waitUntil([] {
    auto counts = qx::testing::GetPoolCounts();
    return counts.all == 0 && counts.pending == 0;
  }));
  qx::testing::SetPoolRetirement(30000, 20000);
}

// A work item that reports its thread and then blocks until released.
struct Gate {
  std::atomic<bool> open{false};
  std::atomic<bool> started{false};
  std::atomic<uint32_t> tid{0};
  std::atomic<int32_t> levelSeen{-1};
};

void gatedItem(void* p) {
  auto* gate = static_cast<Gate*>(p);
  gate->tid = QXThreadGetCurrentThreadID();
  gate->levelSeen = QXThreadSetPriority(0);  // must not leak into the worker's next item
  gate->started = true;
  while (!gate->open) QXThreadSleep(1);
}

TEST(PoolThreads, ReusesTheWorkerIdleLongest) {
  drainPool();
  Gate a, b;
  for (Gate* g : {&a, &b}) ASSERT_EQ(QXThreadPoolPush(&gatedItem, g), 0);
  ASSERT_TRUE(waitUntil([&] { return a.started && b.started; }));
  EXPECT_NE(a.tid, b.tid);
  EXPECT_EQ(qx::testing::GetPoolCounts().all, 2);

  b.open = true;  // b's worker becomes idle first
  ASSERT_TRUE(waitUntil([] { return qx::testing::GetPoolCounts().idle == 1; }));
  a.open = true;
  ASSERT_TRUE(waitUntil([] { return qx::testing::GetPoolCounts().idle == 2; }));

  Gate c, d;
  for (Gate* g : {&c, &d}) ASSERT_EQ(QXThreadPoolPush(&gatedItem, g), 0);
  ASSERT_TRUE(waitUntil([&] { return c.started && d.started; }));
  EXPECT_EQ(std::pair(c.tid.load(), d.tid.load()), std::pair(b.tid.load(), a.tid.load()));
  EXPECT_EQ(c.levelSeen, 2);  // the worker went back to the normal level after b
  EXPECT_EQ(qx::testing::GetPoolCounts().all, 2);
  c.open = d.open = true;
  ASSERT_TRUE(waitUntil([] { return qx::testing::GetPoolCounts().idle == 2; }));
}

TEST(PoolThreads, GrowsWithoutBoundAndRetiresIdleWorkers) {
  drainPool();
  constexpr int kItems = 12;
  struct Barrier {
    std::atomic<int> arrived{0};
    std::mutex lock;
    std::set<uint32_t> tids;
  } barrier;
  auto item = [](void* p) {
    auto* b = static_cast<Barrier*>(p);
    {
      std::lock_guard lock(b->lock);
      b->tids.insert(QXThreadGetCurrentThreadID());
    }
    b->arrived++;
    // Nobody leaves before everyone has arrived: only possible with a worker per item.
    while (b->arrived < kItems) QXThreadSleep(1);
  };
  for (int i = 0; i < kItems; ++i) ASSERT_EQ(QXThreadPoolPush(item, &barrier), 0);
  ASSERT_TRUE(waitUntil([&] { return barrier.arrived == kItems; }));
  ASSERT_TRUE(waitUntil([] { return qx::testing::GetPoolCounts().idle == kItems; }));
  EXPECT_EQ(barrier.tids.size(), static_cast<size_t>(kItems));

  // Workers idle longer than the limit are retired at the next pass, and their threads end.
  qx::testing::SetPoolRetirement(20, 50);
  ASSERT_TRUE(waitUntil([] { return qx::testing::GetPoolCounts().all == 0; }));
  for (uint32_t tid : barrier.tids) {
    std::string task = "/proc/self/task/" + std::to_string(tid);
    EXPECT_TRUE(waitUntil([&] { return !std::filesystem::exists(task); })) << task;
  }

  // A worker idle for less than the limit survives a pass.
  qx::testing::SetPoolRetirement(20, 60000);
  Gate g;
  g.open = true;
  ASSERT_EQ(QXThreadPoolPush(&gatedItem, &g), 0);
  ASSERT_TRUE(waitUntil([] { return qx::testing::GetPoolCounts().idle == 1; }));
  QXThreadSleep(100);  // several passes
  EXPECT_EQ(qx::testing::GetPoolCounts().all, 1);
  qx::testing::SetPoolRetirement(30000, 20000);
}

TEST(PoolThreads, RefusedThreadsDoNotLoseWork) {
  // In a fresh process the first push starts the dispatcher; when the system refuses that thread
  // the push fails with its errno and queues nothing.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        qx::testing::FailThreadCreations(2);
        Gate g;
        g.open = true;
        int first = QXThreadPoolPush(&gatedItem, &g);
        int second = QXThreadPoolPush(&gatedItem, &g);  // the pool starts on a later push
        bool ran = waitUntil([&] { return g.started.load(); });
        std::exit(first == EAGAIN && second == 0 && ran ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");

  // Once the service threads run, a refused worker leaves the item first in line until a later attempt succeeds.
  // The gates outlive the items: a worker still reads its gate after reporting that it started.
  Gate gates[2];
  int used = 0;
  for (int refusals : {0, 3}) {
    drainPool();
    qx::testing::FailThreadCreations(refusals);
    Gate& g = gates[used++];
    g.open = true;
    ASSERT_EQ(QXThreadPoolPush(&gatedItem, &g), 0);
    EXPECT_TRUE(waitUntil([&] { return g.started.load(); })) << refusals;
  }
  EXPECT_EQ(qx::testing::GetPoolCounts().pending, 0);
  drainPool();
}

TEST(PoolThreads, ConcurrentPushesAllRun) {
  constexpr int kPushers = 4, kEach = 2000;
  std::atomic<int> ran{0};
  auto count = [](void* p) { static_cast<std::atomic<int>*>(p)->fetch_add(1); };
  std::vector<std::thread> pushers;
  for (int t = 0; t < kPushers; ++t) {
    pushers.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) EXPECT_EQ(QXThreadPoolPushC(count, &ran), 0);
    });
  }
  for (auto& t : pushers) t.join();
  EXPECT_TRUE(waitUntil([&] { return ran == kPushers * kEach; }));
}

}  // namespace
