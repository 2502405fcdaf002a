#include <QXCore/QXThreads.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "CoreTestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

bool tryLockElsewhere(QXMutexRef m) {
  bool taken = false;
  std::thread([&] {
    taken = QXMutexTryLock(m);
    if (taken) QXMutexUnlock(m);
  }).join();
  return taken;
}

TEST(MutexThreads, RecursiveAndTryLock) {
  QXMutexRef m = QXMutexCreate();
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(QXMutexLock(m), 0);
  EXPECT_TRUE(QXMutexTryLock(m));  // the owner may take it again
  EXPECT_FALSE(tryLockElsewhere(m));
  EXPECT_EQ(QXMutexUnlock(m), 0);
  EXPECT_FALSE(tryLockElsewhere(m));  // still held once
  EXPECT_EQ(QXMutexUnlock(m), 0);
  EXPECT_TRUE(tryLockElsewhere(m));

  {
    StMutexLocker guard(m);
    EXPECT_FALSE(tryLockElsewhere(m));
    guard.Unlock();
    EXPECT_TRUE(tryLockElsewhere(m));
    guard.Lock();
  }
  EXPECT_TRUE(tryLockElsewhere(m));

  StMutexLocker none(nullptr);  // a null guard does nothing in any operation
  none.Lock();
  none.Unlock();
  QXMutexRetain(m);  // a missing reference would show as a use after free under the sanitizer
  QXMutexRelease(m);
  QXMutexRelease(m);
}

TEST(ConditionThreads, TimeOutsAndLostSignals) {
  QXMutexRef m = QXMutexCreate();
  QXConditionRef c = QXConditionCreate();
  QXMutexLock(m);

  auto start = Clock::now();
  EXPECT_EQ(QXConditionTimedWait(c, m, 0), kQXErrWaitTimeout);
  EXPECT_EQ(QXConditionTimedWait(c, m, 60), kQXErrWaitTimeout);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(60));

  // A signal with nobody waiting is erased by the next waiter's reset.
  EXPECT_EQ(QXConditionSignal(c), 0);
  EXPECT_EQ(QXConditionTimedWait(c, m, 30), kQXErrWaitTimeout);

  // The waiter holds the mutex twice; the wait leaves it once, so others still cannot take it.
  QXMutexLock(m);
  std::atomic<bool> checked{false}, takenDuringWait{true};
  std::thread probe([&] {
    takenDuringWait = QXMutexTryLock(m);
    if (takenDuringWait) QXMutexUnlock(m);
    checked = true;
    while (checked) QXConditionSignal(c);  // until the waiter has seen a signal
  });
  EXPECT_EQ(QXConditionTimedWait(c, m, 10000), 0);
  checked = false;
  probe.join();
  EXPECT_FALSE(takenDuringWait);
  QXMutexUnlock(m);

  QXMutexUnlock(m);
  QXConditionRelease(c);
  QXMutexRelease(m);
}

// Every thread waiting at the moment of a signal is released, even when one of them is woken
// first and starts waiting again before the others have run.
TEST(ConditionThreads, SignalReleasesEveryWaiter) {
  QXMutexRef m = QXMutexCreate();
  QXConditionRef c = QXConditionCreate();
  for (int round = 0; round < 50; ++round) {
    int waiting = 0;
    std::atomic<int> released{0}, timedOut{0};
    auto waiter = [&](bool waitAgain) {
      QXMutexLock(m);
      ++waiting;
      int32_t status = QXConditionTimedWait(c, m, 10000);
      (status == 0 ? released : timedOut)++;
      if (waitAgain) QXConditionTimedWait(c, m, 20);  // resets the event at once
      QXMutexUnlock(m);
    };
    std::thread a(waiter, true), b(waiter, true), d(waiter, false);
    ASSERT_TRUE(qxtest::waitUntil([&] {
      QXMutexLock(m);
      bool all = waiting == 3;  // all three have reset the event and left the mutex
      QXMutexUnlock(m);
      return all;
    }));
    QXConditionSignal(c);
    a.join();
    b.join();
    d.join();
    ASSERT_EQ(released, 3) << "round " << round;
    ASSERT_EQ(timedOut, 0);
  }
  QXConditionRelease(c);
  QXMutexRelease(m);
}

}  // namespace
