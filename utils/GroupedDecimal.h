// Decimal numbers with thousands separators, as the cache diagnostics print byte counts.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <cstdint>

// Groups 1073741824 as "1,073,741,824" (and -1234 as "-1,234"), whatever the process locale; owned.
CFStringRef QXCreateGroupedDecimal(int64_t value);
