// The main thread's run queue, its eventfd and the host's pump.
#include <QXCore/QXLog.h>
#include <QXCore/QXProcess.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/log/LogCapture.h"

namespace {

// What the queued functions and the objects' deallocator saw, in order, and on which threads.
struct Journal {
  std::mutex lock;
  std::vector<std::string> events;
  std::vector<uint32_t> threads;
  void add(const std::string& event) {
    std::lock_guard<std::mutex> guard(lock);
    events.push_back(event);
    threads.push_back(QXProcessGetCurrentThreadID());
  }
};
Journal* gJournal = nullptr;

void* allocateBytes(CFIndex size, CFOptionFlags, void*) { return std::malloc(static_cast<size_t>(size)); }
void deallocateBytes(void* bytes, void*) {
  gJournal->add(std::string("free ") + static_cast<char*>(bytes));
  std::free(bytes);
}

// A data object whose destruction shows up in the journal as "free <name>".
CFDataRef makeTrackedData(const char* name) {
  static CFAllocatorRef deallocator = [] {
    CFAllocatorContext context{};
    context.allocate = allocateBytes;
    context.deallocate = deallocateBytes;
    return CFAllocatorCreate(nullptr, &context);
  }();
  return CFDataCreateWithBytesNoCopy(nullptr, reinterpret_cast<UInt8*>(strdup(name)),
                                     static_cast<CFIndex>(std::strlen(name) + 1), deallocator);
}

void record(void* argument, CFTypeRef object) {
  std::string event = std::string("call ") + static_cast<const char*>(argument);
  // The object is still alive while its function runs, and it is the one queued with it.
  if (object)
    event += std::string(" with ") + reinterpret_cast<const char*>(CFDataGetBytePtr(static_cast<CFDataRef>(object)));
  gJournal->add(event);
}

// Queues `function` with a name for the journal and an optional object.
int32_t queue(const char* name, CFTypeRef object = nullptr, QXProcessMainThreadFunction function = record) {
  return QXProcessRunOnMainThread(function, const_cast<char*>(name), object);
}

void queueAnother(void* argument, CFTypeRef object) {
  record(argument, object);
  EXPECT_EQ(0, queue("late"));
}

// Runs the queue again from inside an item, queuing work before and after that nested run.
void nestedRun(void* argument, CFTypeRef object) {
  record(argument, object);
  EXPECT_EQ(0, queue("before nested run"));
  EXPECT_EQ(0, QXProcessRunMainThreadQueue());
  EXPECT_EQ(0, queue("after nested run"));
}

// A host function in C++ that throws.
void throwing(void* argument, CFTypeRef object) {
  record(argument, object);
  throw std::runtime_error("host failure");
}

// Records the number packed into the argument: producer * 1000 + sequence.
std::mutex gOrderLock;
std::vector<intptr_t> gOrder;
void recordNumber(void* argument, CFTypeRef) {
  std::lock_guard<std::mutex> guard(gOrderLock);
  gOrder.push_back(reinterpret_cast<intptr_t>(argument));
}

bool readable(int fd) {
  pollfd entry{fd, POLLIN, 0};
  return poll(&entry, 1, 0) == 1 && (entry.revents & POLLIN);
}

}  // namespace

// Runs in a fresh process, so that nothing has called QXProcessInit yet: no thread is the main
// thread until the first one queues work, which makes it the main thread.
TEST(MainThreadDeathTest, FirstQueuingThreadBecomesMainThreads) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        bool ok =
            !QXProcessGetIsMainThread() && QXProcessRunMainThreadQueue() == -1 && QXProcessGetMainThreadQueueFD() == -1;
        Journal journal;
        gJournal = &journal;
        std::thread([&] {
          queue("w");
          ok = ok && QXProcessGetIsMainThread() && QXProcessRunMainThreadQueue() == 0 &&
               journal.threads == std::vector<uint32_t>{QXProcessGetCurrentThreadID()};
        }).join();
        ok = ok && !QXProcessGetIsMainThread() && QXProcessInit() == 0 && !QXProcessGetIsMainThread();
        std::exit(ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), "QXProcess has not been initialized");
}

// The tests share the process's main thread: each starts from an initialised process and an empty queue.
class MainThreadTest : public testing::Test {
 protected:
  void SetUp() override {
    gJournal = &journal;
    ASSERT_EQ(0, QXProcessInit());
    QXProcessRunMainThreadQueue();
  }
  Journal journal;
};

TEST_F(MainThreadTest, QueuedWorkRunsInOrderOnTheMainThreadThreads) {
  ASSERT_EQ(0, QXProcessInit());  // later calls change nothing
  const uint32_t mainID = QXProcessGetCurrentThreadID();
  EXPECT_TRUE(QXProcessGetIsMainThread());
  int fd = QXProcessGetMainThreadQueueFD();
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(readable(fd));

  std::thread worker([&] {
    EXPECT_FALSE(QXProcessGetIsMainThread());
    EXPECT_EQ(0, QXProcessInit());  // does not move the main thread
    EXPECT_EQ(0, queue("first", makeTrackedData("A")));
    EXPECT_EQ(0, queue("second", makeTrackedData("B"), queueAnother));
    EXPECT_EQ(0, queue("third"));
    // Only the main thread runs the queue.
    EXPECT_EQ(-1, QXProcessRunMainThreadQueue());
  });
  worker.join();
  EXPECT_TRUE(QXProcessGetIsMainThread());
  EXPECT_TRUE(journal.events.empty()) << "nothing runs until the main thread pumps";
  EXPECT_TRUE(readable(fd));

  EXPECT_EQ(0, QXProcessRunMainThreadQueue());
  // Each object is released right after its own function, before the next item runs; work queued
  // while the queue runs waits for the next turn, which the eventfd announces.
  EXPECT_EQ((std::vector<std::string>{"call first with A", "free A", "call second with B", "free B", "call third"}),
            journal.events);
  EXPECT_TRUE(readable(fd));
  EXPECT_EQ(0, QXProcessRunMainThreadQueue());
  EXPECT_EQ("call late", journal.events.back());
  EXPECT_FALSE(readable(fd));
  EXPECT_EQ(std::vector<uint32_t>(6, mainID), journal.threads) << "calls and releases all on the main thread";

  // Refused work still releases its object.
  EXPECT_EQ(kQXErrInvalidArgument, QXProcessRunOnMainThread(nullptr, nullptr, makeTrackedData("Z")));
  EXPECT_EQ("free Z", journal.events.back());
}

TEST_F(MainThreadTest, ManyProducersLoseNothingThreads) {
  constexpr int kThreads = 4, kEach = 200;
  std::atomic<int> done{0};
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([&, t] {
      for (intptr_t i = 0; i < kEach; ++i) {
        QXProcessRunOnMainThread(recordNumber, reinterpret_cast<void*>(t * 1000 + i), nullptr);
      }
      done.fetch_add(1);
    });
  }
  // Pump like a host's event loop while the producers run.
  pollfd entry{QXProcessGetMainThreadQueueFD(), POLLIN, 0};
  while (poll(&entry, 1, 5) >= 0 && QXProcessRunMainThreadQueue() == 0) {
    std::lock_guard<std::mutex> guard(gOrderLock);
    if (done.load() == kThreads && gOrder.size() == size_t{kThreads * kEach}) break;
  }
  for (auto& producer : producers) producer.join();
  // Each producer's items ran exactly once, in the order it queued them.
  std::vector<intptr_t> next(kThreads, 0);
  for (intptr_t value : gOrder) {
    intptr_t producer = value / 1000;
    EXPECT_EQ(next[producer], value % 1000) << "producer " << producer;
    next[producer] = value % 1000 + 1;
  }
  for (intptr_t count : next) EXPECT_EQ(kEach, count);
}

// A nested run takes items from the front; the outer run must still stop at the last item queued
// when it started, not after as many items as were waiting then.
TEST_F(MainThreadTest, NestedRunKeepsToTheItemsQueuedWhenEachRunStarted) {
  ASSERT_EQ(0, queue("nest", nullptr, nestedRun));
  ASSERT_EQ(0, queue("b"));
  ASSERT_EQ(0, queue("c"));
  EXPECT_EQ(0, QXProcessRunMainThreadQueue());
  // The nested run started after "before nested run" was queued, so it runs it.
  std::vector<std::string> expected = {"call nest", "call b", "call c", "call before nested run"};
  EXPECT_EQ(expected, journal.events);
  EXPECT_TRUE(readable(QXProcessGetMainThreadQueueFD()));
  EXPECT_EQ(0, QXProcessRunMainThreadQueue());
  expected.push_back("call after nested run");
  EXPECT_EQ(expected, journal.events);
}

// An exception from the host's function is logged and stops neither the run nor the release of
// the item's object; nothing reaches the (C) caller of the pump.
TEST_F(MainThreadTest, ThrowingWorkIsLoggedAndTheNextItemRuns) {
  qxtest::LogCapture log;
  ASSERT_EQ(0, queue("thrower", makeTrackedData("T"), throwing));
  ASSERT_EQ(0, queue("next"));
  EXPECT_EQ(0, QXProcessRunMainThreadQueue());
  EXPECT_EQ((std::vector<std::string>{"call thrower with T", "free T", "call next"}), journal.events);
  EXPECT_TRUE(log.contains("QXProcessRunMainThreadQueue - A main-thread function threw an exception: host failure"));
}
