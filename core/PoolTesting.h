// Test-only controls of the thread pool; not part of the public interface.
#pragma once

#include <QXCore/QXBase.h>

#include <cstdint>

namespace qx::testing {

struct PoolCounts {
  int all = 0;
  int idle = 0;
  int busy = 0;
  int pending = 0;
};

// Shortens the reaper's pass interval and idle limit (normally 30 s and 20 s); takes effect at once.
QX_EXPORT void SetPoolRetirement(uint32_t passMS, uint32_t idleLimitMS);
// Creates the pool if needed and reports the size of its arrays.
QX_EXPORT PoolCounts GetPoolCounts();
// Makes the next `count` platform thread creations fail with EAGAIN.
QX_EXPORT void FailThreadCreations(int count);

}  // namespace qx::testing
