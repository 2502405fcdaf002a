// How the image operations hand work to the shared thread pool while the calling thread goes on
// with its own part: the caller does every Read and Write of a record, pool tasks compute from
// buffers alone (a task calling into a record would wait on locks the caller may hold).
//
// TaskRing serves saving and loading (tiles deflated and inflated in record order) and turning
// images (one block turning while the next is read). ParallelJob serves the resampler, whose
// bands split into many chunks of 64 KiB of output handed out with one atomic add each: on the
// ring the same chunks made its 2:1 reduction and its mip chain (bench/pixel_resample.cmp) 2 to
// 6 % slower, in medians of ten interleaved runs on two cores.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace qximage {

// Threads a parallel step may use, the caller included: the online processors, 1 ... 16.
int32_t PoolThreads();

// A fixed ring of task slots. The caller keeps the tasks' data in an array of its own, indexed
// by slot: it fills the entry of NextSlot() and queues it. Tasks start in the order they were
// queued, on at most `workers` pool items at once or on the caller while it waits, and the caller
// retires them oldest first. Pool items hold the ring's shared state, not the caller's frame, so
// one that starts after the ring is gone finds nothing queued and ends. The caller only ever
// waits for a task that a running thread has already taken, so a slow or busy pool costs speed,
// never progress. One thread at a time calls the ring.
class TaskRing {
 public:
  // `run(slot)` runs the task queued in `slot`, on whichever thread takes it.
  TaskRing(int32_t slots, int32_t workers, std::function<void(int32_t)> run);
  // Drops the tasks not started yet and waits for the running ones: no task outlives the
  // caller's frame, so declare the ring after the data its tasks use.
  ~TaskRing();
  TaskRing(const TaskRing&) = delete;
  TaskRing& operator=(const TaskRing&) = delete;

  bool Full() const;
  bool Empty() const;
  // The slot the next Push queues; only while !Full().
  int32_t NextSlot() const;
  // Queues NextSlot(): to be run, or as done at once.
  void Push(bool needsRun = true);

  // The oldest slot when its task is done, else -1. The caller owns that slot until Retire().
  int32_t Ready();
  void Retire();
  // Runs the oldest task not started yet on the calling thread or, when every unfinished task is
  // already running, waits until the oldest one is done. Retire what is ready first, or this
  // returns at once.
  void HelpOrWait();
  // The oldest slot once its task is done, helping meanwhile; -1 when nothing is queued.
  int32_t WaitOldest();
  // Whether a queued task that is not done yet satisfies `match(slot)`.
  bool AnyUnfinished(const std::function<bool(int32_t)>& match);

 private:
  struct Shared;
  std::shared_ptr<Shared> mShared;
};

// A parallel loop split in two: Start hands the indices to pool workers and returns at once,
// Finish runs what is left on the calling thread and waits for the rest. The caller does its
// reads and writes in between; Finish must be called before `body`'s captures die.
class ParallelJob {
 public:
  ParallelJob();
  ~ParallelJob();  // finishes a started job
  ParallelJob(const ParallelJob&) = delete;
  ParallelJob& operator=(const ParallelJob&) = delete;

  // Runs body(0 ... count - 1), each index once.
  void Start(int32_t count, std::function<void(int32_t)> body);
  void Finish();

 private:
  struct State;
  State* mState;
};

}  // namespace qximage
