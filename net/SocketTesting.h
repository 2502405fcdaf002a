// Test-only view of socket objects; not part of the public interface.
#pragma once

#include <QXCore/QXSocket.h>

namespace qx::testing {

// The descriptor a socket object holds, -1 when it has none.
QX_EXPORT int SocketDescriptor(QXSocketRef socket);

}  // namespace qx::testing
