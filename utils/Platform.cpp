// The platform conveniences: resources, message boxes and the desktop's file browser.
#include <QXCore/QXLog.h>
#include <QXCore/QXUtilsMisc.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "cf/CFRef.h"
#include "core/Spawn.h"

namespace {

CFStringRef browserSource() { return CFSTR("QXUtilsLaunchFileBrowserAtLocation"); }

}  // namespace

QXStatus QXUtilsGetBlobResourceCopy(void*, int32_t, CFStringRef, CFDataRef* outData) {
  if (outData != nullptr) *outData = nullptr;
  return kQXErrGeneric;
}

void QXUtilsMessageBoxOK(CFStringRef title, CFStringRef format, ...) {
  va_list arguments;
  va_start(arguments, format);
  QXUtilsMessageBoxOKV(title, format, arguments);
  va_end(arguments);
}

void QXUtilsMessageBoxOKV(CFStringRef title, CFStringRef format, va_list arguments) {
  qxcf::CFRef<CFStringRef> message;
  if (format != nullptr)
    message = qxcf::adopt(CFStringCreateWithFormatAndArguments(nullptr, nullptr, format, arguments));
  qxcf::CFRef<CFStringRef> line = qxcf::adopt(
      title != nullptr
          ? CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%@: %@\n"), title, message ? message.get() : CFSTR(""))
          : CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%@\n"), message ? message.get() : CFSTR("")));
  char* text = QXUtilsGetUTF8StringCopy(line.get());
  if (text == nullptr) return;
  std::fputs(text, stderr);
  std::fflush(stderr);
  std::free(text);
}

QXStatus QXUtilsLaunchFileBrowserAtLocation(CFURLRef url) {
  if (url == nullptr) return kQXErrInvalidArgument;
  CFStringRef string = CFURLGetString(url);
  const CFIndex length = string ? CFStringGetLength(string) : 0;
  CFIndex size = 0;
  if (string == nullptr ||
      CFStringGetBytes(string, CFRangeMake(0, length), kCFStringEncodingUTF8, 0, false, nullptr, 0, &size) != length) {
    QXLogWithParams(1, browserSource(), 0, CFSTR("The location cannot be converted"));
    return kQXErrGeneric;
  }
  pid_t pid = 0;
  int rc;
  try {
    std::string location(static_cast<size_t>(size), '\0');
    CFStringGetBytes(string, CFRangeMake(0, length), kCFStringEncodingUTF8, 0, false,
                     reinterpret_cast<UInt8*>(location.data()), size, &size);
    // No shell: whatever the URL holds (spaces, quotes, "$(...)") reaches xdg-open as one literal
    // argument.
    rc = qxcore::Spawn("xdg-open", true, {"xdg-open", location}, &pid);
  } catch (const std::bad_alloc&) {
    return kQXErrMemory;
  }
  if (rc != 0) {
    QXLogWithParams(1, browserSource(), rc, CFSTR("Could not start xdg-open"));
    return rc;
  }
  qxcore::Reap(pid, browserSource());
  return kQXNoErr;
}
