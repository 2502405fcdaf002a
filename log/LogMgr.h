// CBaseLogMgr: the process-wide log manager behind the QXLog functions.
#pragma once

#include <QXCore/QXLog.h>

#include <memory>
#include <mutex>
#include <vector>

#include "cf/CFRef.h"
#include "core/Handle.h"
#include "core/ThreadAnnotations.h"

class CBaseLogMgr {
 public:
  // Created on first use (thread-safely) and never destroyed, so logging works during exit.
  static CBaseLogMgr& Get();

  static constexpr int32_t kThreshold = 4;

  // Formats the message (a CF format) and delivers the line; nothing when the level exceeds the
  // threshold or the format fails.
  void LogFormat(const QXLogStyle& style, CFStringRef source, int32_t error, CFStringRef format, va_list arguments);
  // Delivers a message that is already formatted.
  void LogMessage(const QXLogStyle& style, CFStringRef source, int32_t error, CFStringRef message);

  // Registers the logger, then calls its Startup; it stays registered whatever Startup returns.
  void AddLogger(CBaseLogger* logger);
  void RemoveLogger(CBaseLogger* logger);
  void RemoveAllLoggers();
  // Registers a file logger only when its file opens: 0, or Startup's status with nothing kept.
  int32_t AddFileLogger(CFURLRef url);
  void SetSource(CFStringRef source);
  // Serialises all output and every change of the logger list; loggers change their own settings
  // under it too, since a registered logger may be delivering a line on another thread.
  qx::RecursiveMutex& Lock() QX_RETURN_CAPABILITY(mLock) { return mLock; }

  // "Warn", "Error", "Debug", "Verbose": kept for callers that name levels, never written.
  static CFStringRef LevelName(int index);

 private:
  using LoggerList = std::vector<qx::Ref<CBaseLogger>>;

  CBaseLogMgr();
  // Appends to the logger list; the caller holds mLock.
  void RegisterLocked(CBaseLogger* logger) QX_REQUIRES(mLock);
  // The finished line; the caller holds mLock (the indent counter and the source live under it).
  qxcf::CFRef<CFStringRef> CreateLineLocked(const QXLogStyle& style, CFStringRef source, int32_t error,
                                            CFStringRef message) QX_REQUIRES(mLock);

  // Recursive: a logger's Startup may log, and the host may log from a logger's procedures.
  qx::RecursiveMutex mLock;
  // Replaced, never changed in place, so delivery walks a stable list even when a logger adds or
  // removes loggers from inside its own procedures.
  std::shared_ptr<const LoggerList> mLoggers QX_GUARDED_BY(mLock);
  qxcf::CFRef<CFStringRef> mSource QX_GUARDED_BY(mLock);
  int64_t mIndentCounter QX_GUARDED_BY(mLock) = 0;
};

namespace qx {
QX_HANDLE_CLASS(__QXLogger, CBaseLogger);
}  // namespace qx
