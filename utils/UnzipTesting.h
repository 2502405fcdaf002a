// Test-only control of the zip reader; not part of the public interface.
#pragma once

#include <QXCore/QXBase.h>

#include <cstdint>

namespace qx::testing {

// Deflated entries of up to this many bytes are inflated in one piece in memory, larger ones in
// pieces through the unzip library (normally 128 MiB). Returns the previous limit.
QX_EXPORT uint64_t SetUnzipWholeEntryLimit(uint64_t bytes);

}  // namespace qx::testing
