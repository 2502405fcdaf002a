#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <memory>
#include <new>

#include "log/LogMgr.h"

CBaseLoggerFile::CBaseLoggerFile(CFURLRef url) : mURL(url) {
  if (mURL) CFRetain(mURL);
}

CBaseLoggerFile::~CBaseLoggerFile() {
  // Loggers dropped by QXLogRemoveAllLoggers get no Shutdown; do not leak their file.
  Shutdown();
  if (mURL) CFRelease(mURL);
}

int32_t CBaseLoggerFile::Startup() {
  char path[PATH_MAX];
  if (!mURL || !CFURLGetFileSystemRepresentation(mURL, true, reinterpret_cast<UInt8*>(path), sizeof path)) {
    return ENOENT;
  }
  std::printf("CBaseLoggerFile::Startup> Logging to file \"%s\"\n", path);
  std::fflush(stdout);
  Shutdown();
  mFile = std::fopen(path, "we");
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

void CBaseLoggerExternal::Log(CFStringRef line) {
  if (mProcs.log) mProcs.log(mContext, line);
}

int32_t CBaseLoggerExternal::Startup() {
  if (mProcs.startup) mProcs.startup(mContext);
  return 0;
}

void CBaseLoggerExternal::Shutdown() {
  if (mProcs.shutdown) mProcs.shutdown(mContext);
}

void CBaseLoggerExternal::SetProcs(const QXLoggerProcs* procs, void* context) {
  std::lock_guard<std::recursive_mutex> guard(CBaseLogMgr::Get().Lock());
  mProcs = procs ? *procs : QXLoggerProcs{nullptr, nullptr, nullptr};
  mContext = context;
}
