// The QXStream handle is the address of its CBaseStream; shared by every source that takes one.
#pragma once

#include <QXCore/QXStream.h>

#include "core/Handle.h"

namespace qx {
QX_HANDLE_CLASS(__QXStream, CBaseStream);
}  // namespace qx
