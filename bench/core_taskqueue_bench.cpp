// 100,000 empty tasks through a CBaseTaskQueue, pushed one by one from the benchmark thread, then
// waited for: a serial queue (tasks run on the scheduler's thread) and a two-slot parallel queue
// (each task a work item of the shared pool). Figures are tasks per second.
#include <QXCore/QXThreads.h>
#include <benchmark/benchmark.h>

#include <vector>

#include "core/Handle.h"

namespace {

constexpr int kTasks = 100000;

class EmptyTask : public CBaseTask {
 public:
  void Run() override {}
  void Complete() override {}
};

// Made once and pushed again every iteration: the figures are about the queue, not about
// allocating tasks.
std::vector<qx::Ref<EmptyTask>>& tasks() {
  static auto* all = [] {
    auto* v = new std::vector<qx::Ref<EmptyTask>>;
    for (int i = 0; i < kTasks; ++i) {
      v->push_back(qx::make<EmptyTask>());
      v->back()->SetPriority(static_cast<uint32_t>(i % 4));
    }
    return v;
  }();
  return *all;
}

void runQueue(benchmark::State& state, uint32_t maxRunning) {
  auto& all = tasks();
  auto queue = qx::make<CBaseTaskQueue>();
  queue->Initialize(CFSTR("Bench"), 0, maxRunning);
  for (auto _ : state) {
    for (auto& task : all) queue->Push(task.get());
    queue->WaitForRunningTasksToComplete();
  }
  queue->Stop();
  state.SetItemsProcessed(state.iterations() * kTasks);
}

void BM_TaskQueueSerial(benchmark::State& state) { runQueue(state, 1); }
void BM_TaskQueueParallel2(benchmark::State& state) { runQueue(state, 2); }

BENCHMARK(BM_TaskQueueSerial)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TaskQueueParallel2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
