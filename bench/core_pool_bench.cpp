// Empty work items through the process-wide pool against a minimal two-thread pool (one mutex,
// one condition variable, a deque) written here as the anchor. All run the same harness: 100,000
// items with at most 64 outstanding, measuring throughput and the median push-to-start latency.
//
// A second reference, the hand-off floor, is the least a pool that reuses the worker idle longest
// can do: each item goes to a sleeping thread of its own, woken by one futex call, with nothing
// else around it. The shared-queue anchor never pays that wake-up while its two workers are busy.
#include <QXCore/QXThreads.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kItems = 100000;
constexpr int kMaxOutstanding = 64;

struct Harness {
  std::atomic<int> outstanding{0};
  std::vector<Clock::time_point> pushed = std::vector<Clock::time_point>(kItems);
  std::vector<int64_t> latencyNS = std::vector<int64_t>(kItems);
};

struct Item {
  Harness* harness;
  int index;
};

void runItem(void* p) {
  auto* item = static_cast<Item*>(p);
  Harness& h = *item->harness;
  h.latencyNS[item->index] =
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - h.pushed[item->index]).count();
  h.outstanding.fetch_sub(1, std::memory_order_release);
  h.outstanding.notify_one();
}

template <class Push>
void runHarness(benchmark::State& state, Push push) {
  Harness h;
  std::vector<Item> items(kItems);
  std::vector<int64_t> medians;
  for (auto _ : state) {
    for (int i = 0; i < kItems; ++i) {
      for (int n = h.outstanding.load(std::memory_order_acquire); n >= kMaxOutstanding;
           n = h.outstanding.load(std::memory_order_acquire)) {
        h.outstanding.wait(n);
      }
      h.outstanding.fetch_add(1, std::memory_order_relaxed);
      items[i] = {&h, i};
      h.pushed[i] = Clock::now();
      push(&runItem, &items[i]);
    }
    for (int n = h.outstanding.load(); n != 0; n = h.outstanding.load()) h.outstanding.wait(n);
    std::nth_element(h.latencyNS.begin(), h.latencyNS.begin() + kItems / 2, h.latencyNS.end());
    medians.push_back(h.latencyNS[kItems / 2]);
  }
  std::sort(medians.begin(), medians.end());
  state.SetItemsProcessed(state.iterations() * kItems);
  state.counters["median_latency_us"] = medians[medians.size() / 2] / 1000.0;
}

// The anchor: two workers popping a deque under one mutex.
class TwoThreadPool {
 public:
  TwoThreadPool() {
    for (auto& t : mThreads) t = std::thread([this] { Work(); });
  }
  ~TwoThreadPool() {
    {
      std::lock_guard lock(mLock);
      mDone = true;
    }
    mReady.notify_all();
    for (auto& t : mThreads) t.join();
  }
  void Push(void (*function)(void*), void* argument) {
    {
      std::lock_guard lock(mLock);
      mQueue.push_back({function, argument});
    }
    mReady.notify_one();
  }

 private:
  void Work() {
    std::unique_lock lock(mLock);
    for (;;) {
      mReady.wait(lock, [this] { return mDone || !mQueue.empty(); });
      if (mQueue.empty()) return;
      auto [function, argument] = mQueue.front();
      mQueue.pop_front();
      lock.unlock();
      function(argument);
      lock.lock();
    }
  }
  std::mutex mLock;
  std::condition_variable mReady;
  std::deque<std::pair<void (*)(void*), void*>> mQueue;
  bool mDone = false;
  std::thread mThreads[2];
};

// Hands each item to the thread idle longest (a FIFO of sleeping workers), one wake-up per item.
class HandoffFloorPool {
 public:
  explicit HandoffFloorPool(int threads) : mWorkers(threads) {
    for (int i = 0; i < threads; ++i) {
      mIdle.push_back(i);
      mWorkers[i].thread = std::thread([this, i] { Work(i); });
    }
  }
  ~HandoffFloorPool() {
    for (auto& w : mWorkers) {
      w.state.store(kQuit);
      w.state.notify_one();
      w.thread.join();
    }
  }
  void Push(void (*function)(void*), void* argument) {
    int index = -1;
    while (index < 0) {
      std::lock_guard lock(mLock);
      if (!mIdle.empty()) {
        index = mIdle.front();
        mIdle.pop_front();
      }
    }
    Worker& w = mWorkers[index];
    w.function = function;  // published by the release store below
    w.argument = argument;
    w.state.store(kBusy, std::memory_order_release);
    w.state.notify_one();
  }

 private:
  enum { kIdle, kBusy, kQuit };
  struct Worker {
    std::atomic<int> state{kIdle};
    void (*function)(void*) = nullptr;
    void* argument = nullptr;
    std::thread thread;
  };
  void Work(int i) {
    Worker& w = mWorkers[i];
    for (;;) {
      w.state.wait(kIdle);
      if (w.state.load(std::memory_order_acquire) == kQuit) return;
      auto function = w.function;
      auto argument = w.argument;
      w.state.store(kIdle);
      function(argument);
      std::lock_guard lock(mLock);
      mIdle.push_back(i);
    }
  }
  std::vector<Worker> mWorkers;
  std::mutex mLock;
  std::deque<int> mIdle;
};

void BM_ThreadPoolPush(benchmark::State& state) {
  runHarness(state, [](void (*f)(void*), void* a) { QXThreadPoolPush(f, a); });
}
BENCHMARK(BM_ThreadPoolPush)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_TwoThreadPoolAnchor(benchmark::State& state) {
  TwoThreadPool pool;
  runHarness(state, [&](void (*f)(void*), void* a) { pool.Push(f, a); });
}
BENCHMARK(BM_TwoThreadPoolAnchor)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_HandoffFloor(benchmark::State& state) {
  HandoffFloorPool pool(kMaxOutstanding);
  runHarness(state, [&](void (*f)(void*), void* a) { pool.Push(f, a); });
}
BENCHMARK(BM_HandoffFloor)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
