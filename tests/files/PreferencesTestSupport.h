// Helpers shared by the preferences, locale and product tests.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <limits.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "tests/support/TempHome.h"

namespace qxtest {

// A TempHome that can follow another in the same process: TempHome leaves TMPDIR pointing into
// the folder it removed, so start from the system's temporary folder when that is gone.
struct ForgetStaleTmpdir {
  ForgetStaleTmpdir() {
    const char* tmp = getenv("TMPDIR");
    if (tmp != nullptr && !std::filesystem::exists(tmp)) unsetenv("TMPDIR");
  }
};
struct FreshHome : ForgetStaleTmpdir, TempHome {};

// UTF-8 text of a string, "(null)" for none.
inline std::string text(CFStringRef s) {
  if (s == nullptr) return "(null)";
  char buffer[1024];
  return CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8) ? buffer : "(unconvertible)";
}

// The file-system path of a URL without a trailing "/".
inline std::string pathOf(CFURLRef url) {
  if (url == nullptr) return "(no URL)";
  char buffer[PATH_MAX];
  if (!CFURLGetFileSystemRepresentation(url, true, reinterpret_cast<UInt8*>(buffer), sizeof buffer)) return "(no path)";
  std::string path = buffer;
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace qxtest
