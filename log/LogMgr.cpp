// The log manager: line format, threshold, indentation and delivery to every logger under one lock.
#include "log/LogMgr.h"

#include <QXCore/QXProcess.h>

#include <algorithm>
#include <cstdio>

namespace {

// Set while this thread hands a line to the loggers: a logger that logs would otherwise recurse
// into itself (the lock is recursive, so it would not even block). Such lines are dropped.
thread_local int tDelivering = 0;

// The indent a thread received with its first indented line, -1 before that. Per thread rather
// than per kernel id, so a new thread that happens to reuse a finished thread's id still counts
// as a new thread.
thread_local int64_t tIndent = -1;

void appendASCII(CFMutableStringRef string, const char* text) {
  CFStringAppendCString(string, text, kCFStringEncodingASCII);
}

}  // namespace

CBaseLogMgr& CBaseLogMgr::Get() {
  static CBaseLogMgr* const manager = new CBaseLogMgr;
  return *manager;
}

CBaseLogMgr::CBaseLogMgr() : mLoggers(std::make_shared<const LoggerList>()) {}

CFStringRef CBaseLogMgr::LevelName(int index) {
  static const CFStringRef names[] = {CFSTR("Warn"), CFSTR("Error"), CFSTR("Debug"), CFSTR("Verbose")};
  return index >= 0 && index < 4 ? names[index] : nullptr;
}

void CBaseLogMgr::LogFormat(const QXLogStyle& style, CFStringRef source, int32_t error, CFStringRef format,
                            va_list arguments) {
  if (style.level > kThreshold || !format || tDelivering) return;
  auto message = qxcf::adopt(CFStringCreateWithFormatAndArguments(nullptr, nullptr, format, arguments));
  if (message) LogMessage(style, source, error, message.get());
}

void CBaseLogMgr::LogMessage(const QXLogStyle& style, CFStringRef source, int32_t error, CFStringRef message) {
  if (style.level > kThreshold || !message || tDelivering) return;
  qx::MutexLock guard(mLock);
  auto line = CreateLineLocked(style, source, error, message);
  if (!line) return;
  std::shared_ptr<const LoggerList> loggers = mLoggers;
  struct Delivering {
    Delivering() { ++tDelivering; }
    ~Delivering() { --tDelivering; }
  } delivering;
  for (const auto& logger : *loggers) logger->Log(line.get());
}

qxcf::CFRef<CFStringRef> CBaseLogMgr::CreateLineLocked(const QXLogStyle& style, CFStringRef source, int32_t error,
                                                       CFStringRef message) {
  auto line = qxcf::adopt(CFStringCreateMutable(nullptr, 0));
  if (!line) return nullptr;
  char buffer[96];

  if (style.indent) {
    if (tIndent < 0) {
      tIndent = mIndentCounter++;
      if (style.indentWrap && mIndentCounter >= 101) mIndentCounter = 1;
    }
    static const UniChar spaces[32] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                       ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
    for (int64_t left = tIndent; left > 0; left -= 32)
      CFStringAppendCharacters(line.get(), spaces, std::min<int64_t>(left, 32));
  }

  if (style.threadTag) {
    // QXProcessGetIsMainThread also reports a missing QXProcessInit on standard error.
    char tag = QXProcessGetIsMainThread() ? 'm' : ' ';
    std::snprintf(buffer, sizeof buffer, "[%c%d] ", tag, static_cast<int>(QXProcessGetCurrentThreadID()));
    appendASCII(line.get(), buffer);
  }

  if (style.timestamp) {
    auto zone = qxcf::adopt(CFTimeZoneCopyDefault());
    CFGregorianDate date = CFAbsoluteTimeGetGregorianDate(CFAbsoluteTimeGetCurrent(), zone.get());
    std::snprintf(buffer, sizeof buffer, "%d-%d-%d %d:%02d:%2.0f ", static_cast<int>(date.year),
                  static_cast<int>(date.month), static_cast<int>(date.day), static_cast<int>(date.hour),
                  static_cast<int>(date.minute), date.second);
    appendASCII(line.get(), buffer);
    CFStringRef name = source ? source : mSource ? mSource.get() : CFSTR("Orvex");
    CFStringAppend(line.get(), name);
    appendASCII(line.get(), " - ");
  }

  CFStringAppend(line.get(), message);
  if (error != 0) {
    std::snprintf(buffer, sizeof buffer, " Error Number = %d", static_cast<int>(error));
    appendASCII(line.get(), buffer);
  }
  if (style.newline) appendASCII(line.get(), "\n");
  return qxcf::CFRef<CFStringRef>::retain(line.get());
}

void CBaseLogMgr::RegisterLocked(CBaseLogger* logger) {
  auto loggers = std::make_shared<LoggerList>(*mLoggers);
  loggers->push_back(qx::Ref<CBaseLogger>::retain(logger));
  mLoggers = std::move(loggers);
}

void CBaseLogMgr::AddLogger(CBaseLogger* logger) {
  if (!logger) return;
  qx::MutexLock guard(mLock);
  RegisterLocked(logger);
  logger->Startup();
}

void CBaseLogMgr::RemoveLogger(CBaseLogger* logger) {
  qx::MutexLock guard(mLock);
  auto found = std::find_if(mLoggers->begin(), mLoggers->end(), [&](const auto& ref) { return ref.get() == logger; });
  if (found == mLoggers->end()) return;
  // Keep it alive through Shutdown even if the list held the last reference.
  auto keep = *found;
  auto loggers = std::make_shared<LoggerList>(*mLoggers);
  loggers->erase(loggers->begin() + (found - mLoggers->begin()));
  mLoggers = std::move(loggers);
  keep->Shutdown();
}

void CBaseLogMgr::RemoveAllLoggers() {
  std::shared_ptr<const LoggerList> old;
  {
    qx::MutexLock guard(mLock);
    old = std::exchange(mLoggers, std::make_shared<const LoggerList>());
  }
  // The last references may go here: a file logger's destructor closes its file outside the lock.
}

int32_t CBaseLogMgr::AddFileLogger(CFURLRef url) {
  auto anyLogger = [this] {
    qx::MutexLock guard(mLock);
    return !mLoggers->empty();
  };
  qxcf::CFRef<CFURLRef> target = qxcf::CFRef<CFURLRef>::retain(url);
  if (!url) {
    if (anyLogger()) return 0;
    // Found without the manager's lock: the file manager has locks of its own and may log.
    CFURLRef path = nullptr;
    int32_t status = QXLogGetLogFilePathCopy(nullptr, CFSTR("orvexLog.txt"), &path);
    target.reset(path);
    if (status != 0) return status;
  }
  auto logger = qx::make<CBaseLoggerFile>(target.get());
  if (!logger) return kQXErrMemory;
  // Check again with the lock held across the add, so two first calls still register one.
  qx::MutexLock guard(mLock);
  if (!url && !mLoggers->empty()) return 0;
  // Opened before it is registered: a logger that cannot write must neither count as success nor
  // stand in the way of the default logger a later call would create.
  if (int32_t status = logger->Startup()) return status;
  RegisterLocked(logger.get());
  return 0;
}

void CBaseLogMgr::SetSource(CFStringRef source) {
  qx::MutexLock guard(mLock);
  mSource = qxcf::CFRef<CFStringRef>::retain(source);
}
