// The platform conveniences: resources, message boxes and the desktop's file browser.
#include <QXCore/QXLog.h>
#include <QXCore/QXUtilsMisc.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>

#include "cf/CFRef.h"

extern char** environ;

namespace {

CFStringRef browserSource() { return CFSTR("QXUtilsLaunchFileBrowserAtLocation"); }

// Starts xdg-open with `location` as its only argument, through no shell: whatever the URL holds (spaces,
// quotes, "$(...)") reaches the program as one literal argument.
int spawnBrowser(const std::string& location, pid_t* pid) {
  char program[] = "xdg-open";
  char* argv[] = {program, const_cast<char*>(location.c_str()), nullptr};
  // The child starts with default signal dispositions and an empty mask, whatever the caller had.
  posix_spawnattr_t attributes;
  if (int rc = posix_spawnattr_init(&attributes)) return rc;
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  int rc = posix_spawnp(pid, program, nullptr, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  return rc;
}

// Waits for that one child in the background, so the caller never blocks and no zombie stays behind; the
// host's other children and its SIGCHLD handling are left alone.
void reapInBackground(pid_t pid) {
  try {
    std::thread([pid] {
      int status = 0;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (...) {
    QXLogWithParams(1, browserSource(), 0, CFSTR("Could not start a thread to reap process %d"), static_cast<int>(pid));
  }
}

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
    rc = spawnBrowser(location, &pid);
  } catch (const std::bad_alloc&) {
    return kQXErrMemory;
  }
  if (rc != 0) {
    QXLogWithParams(1, browserSource(), rc, CFSTR("Could not start xdg-open"));
    return rc;
  }
  reapInBackground(pid);
  return kQXNoErr;
}
