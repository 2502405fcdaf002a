// The file logger and the external logger that forwards lines to a host's procedure.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "files/CoreFileInternal.h"
#include "log/LogMgr.h"

CBaseLoggerFile::CBaseLoggerFile(CFURLRef url) : mURL(url) {
  if (mURL) CFRetain(mURL);
}

CBaseLoggerFile::~CBaseLoggerFile() {
  // Loggers dropped by QXLogRemoveAllLoggers get no Shutdown; do not leak their file.
  Shutdown();
  if (mURL) CFRelease(mURL);
}

QXStatus CBaseLoggerFile::Startup() {
  Shutdown();
  std::string path;
  int32_t status;
  try {
    // Only a file URL has a path: an http URL must not end up writing some local file.
    status = mURL ? qxfiles::PathFromURL(mURL, path) : kQXErrGeneric;
  } catch (...) {
    return kQXErrMemory;
  }
  if (status != 0) return status;
  std::printf("CBaseLoggerFile::Startup> Logging to file \"%s\"\n", path.c_str());
  std::fflush(stdout);
  mFile = std::fopen(path.c_str(), "we");
  return mFile ? 0 : errno;
}

void CBaseLoggerFile::Shutdown() {
  if (mFile) std::fclose(mFile);
  mFile = nullptr;
}

void CBaseLoggerFile::Log(CFStringRef line) {
  if (!mFile || !line) return;
  CFIndex length = CFStringGetLength(line);
  CFIndex size = 0;
  CFStringGetBytes(line, CFRangeMake(0, length), kCFStringEncodingUTF8, '?', false, nullptr, 0, &size);
  // Most lines are short: convert on the stack and fall back to the heap for long ones.
  UInt8 small[1024];
  std::unique_ptr<UInt8[]> large;
  UInt8* bytes = small;
  if (size > static_cast<CFIndex>(sizeof small)) {
    large.reset(new (std::nothrow) UInt8[static_cast<size_t>(size)]);
    if (!large) return;
    bytes = large.get();
  }
  CFStringGetBytes(line, CFRangeMake(0, length), kCFStringEncodingUTF8, '?', false, bytes, size, &size);
  std::fwrite(bytes, 1, static_cast<size_t>(size), mFile);
  std::fflush(mFile);
}

// The host's procedures may be C++ that throws: swallow it here, so that the other loggers still
// get the line and nothing unwinds through the C caller that logged.
void CBaseLoggerExternal::Log(CFStringRef line) {
  try {
    if (mProcs.log) mProcs.log(mContext, line);
  } catch (...) {
  }
}

QXStatus CBaseLoggerExternal::Startup() {
  try {
    if (mProcs.startup) mProcs.startup(mContext);
  } catch (...) {
  }
  return 0;
}

void CBaseLoggerExternal::Shutdown() {
  try {
    if (mProcs.shutdown) mProcs.shutdown(mContext);
  } catch (...) {
  }
}

void CBaseLoggerExternal::SetProcs(const QXLoggerProcs* procs, void* context) {
  qx::MutexLock guard(CBaseLogMgr::Get().Lock());
  mProcs = procs ? *procs : QXLoggerProcs{nullptr, nullptr, nullptr};
  mContext = context;
}
