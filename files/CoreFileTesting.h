// Test-only access to the file manager's internals; not part of the public interface.
#pragma once

#include <QXCore/QXBase.h>

#include <string>

namespace qx::testing {

// Installs (or, with null, removes) a function called at the moments a concurrent change could
// strike a copy or move; see qxfiles::gRaceHook. Not thread-safe: set it while nothing runs.
QX_EXPORT void SetFileRaceHook(void (*hook)(const char* moment, const char* path));

// The home trash folder as the trash uses it ($XDG_DATA_HOME/Trash), or "" when there is none.
QX_EXPORT std::string HomeTrashFolder();

}  // namespace qx::testing
