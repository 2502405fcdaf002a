// Test-only control of the product catalogue; not part of the public interface.
#pragma once

#include <QXCore/QXBase.h>

namespace qx::testing {

// Restores the default table and the default folder mode and forgets every cached folder (so a
// test with a new private HOME starts afresh). Records handed out earlier stay valid.
QX_EXPORT void ResetProductCatalogue();

}  // namespace qx::testing
