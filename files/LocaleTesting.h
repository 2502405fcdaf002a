// Test-only control of the process-wide locale state; not part of the public interface.
#pragma once

#include <QXCore/QXBase.h>

namespace qx::testing {

// Forgets the default and cached preferred language codes and the string table, as if no locale
// function had been called yet. Strings handed out earlier stay valid.
QX_EXPORT void ResetLocaleState();

}  // namespace qx::testing
