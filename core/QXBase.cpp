// Library-wide constants and the version string.
#include <QXCore/QXBase.h>

#include "QXVersion.h"

const int32_t kQXOneSecond = 1000;
const int32_t kQXOneHalfSecond = 500;
const int32_t kQXOneQuarterSecond = 250;

CFStringRef QXCoreGetVersionString(void) { return CFSTR(QXCORE_VERSION_STRING); }
