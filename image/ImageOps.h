// Helpers shared by the pixel operations: format checks, the plain band copy and a parallel loop
// for work that only touches buffers (never a record: the calling thread does every Read and Write).
#pragma once

#include <QXCore/QXImage.h>

#include <cstddef>
#include <cstdint>
#include <functional>

#include "image/ImageRec.h"

namespace qximage {

// 0 when the record has whole-byte samples (1, 2 or 4 bytes) and at least one plane, else 1020.
int32_t CheckFormat(const CImageRec& image);
// 0 when both records can exchange pixels as they are (same depth and planes), else 1020.
int32_t CheckSameFormat(const CImageRec& a, const CImageRec& b);

// Plain copy of `sourceRect` of `source` to `destinationRect` of `destination`, in bands through
// Read and Write (all planes). Unequal sizes give 1005. Both rectangles are clipped to both
// images together, so the pixels that lie in both are copied and nothing else. Overlapping
// rectangles of one record copy correctly. No record lock is held across two calls.
int32_t CopyRect(CImageRec* source, QXRect sourceRect, CImageRec* destination, QXRect destinationRect);

// Nearest-pixel scaling of `sourceRect` into `destinationRect` (any depth). Source positions
// outside the source image are clamped to its edge; destination pixels outside the destination
// image are skipped.
int32_t ResampleNearest(CImageRec* source, QXRect sourceRect, CImageRec* destination, QXRect destinationRect);

// Threads a parallel loop uses, the caller included (at least 1).
int32_t ParallelThreads();

// Runs body(0 ... count - 1), each index once, on the calling thread and pool workers; returns
// when all have run. `body` must not call into a record.
void ParallelFor(int32_t count, const std::function<void(int32_t)>& body);

// A ParallelFor split in two: Start hands the indices to pool workers and returns at once, Finish
// runs what is left on the calling thread and waits for the rest. The caller may do other work
// (its reads and writes) in between; Finish must be called before `body`'s captures die.
class ParallelJob {
 public:
  ParallelJob();
  ~ParallelJob();  // finishes a started job
  ParallelJob(const ParallelJob&) = delete;
  ParallelJob& operator=(const ParallelJob&) = delete;

  void Start(int32_t count, std::function<void(int32_t)> body);
  void Finish();

 private:
  struct State;
  State* mState;
};

}  // namespace qximage
