// Name checks shared by the preferences and the product catalogue: names that callers give must
// not lead a path out of the folder they are meant for.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

namespace qx::prefs {

// One file name: not empty, not "." or "..", no "/" and no NUL.
bool isFileName(CFStringRef name);

// A relative partial path ("A/B") whose pieces are all file names (so nothing absolute, no
// doubled or trailing "/", and no way out through "..").
bool isRelativePartialPath(CFStringRef path);

}  // namespace qx::prefs
