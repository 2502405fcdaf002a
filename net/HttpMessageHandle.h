// The QXHttpMessage handle is the address of its CHTTPMessage; shared by every source that takes one.
#pragma once

#include <QXCore/QXMessage.h>

#include "core/Handle.h"

namespace qx {
QX_HANDLE_CLASS(__QXHttpMessage, CHTTPMessage);
}  // namespace qx
