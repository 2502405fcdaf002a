// Test-only access to the hash behind QXUtilsFastHash; not part of the public interface.
#pragma once

#include <QXCore/QXBase.h>

#include <cstddef>
#include <cstdint>

namespace qx::testing {

// lookup3's hashlittle with any initial value (QXUtilsFastHash uses 0).
QX_EXPORT uint32_t HashLittle(const void* bytes, size_t length, uint32_t initval);

}  // namespace qx::testing
