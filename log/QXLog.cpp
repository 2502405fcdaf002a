// The QXLog and QXLogger functions: thin wrappers over the manager that never let an exception
// (a failed allocation) cross the C interface.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <QXCore/QXFileMgr.h>

#include "files/PreferencesSupport.h"
#include "log/LogMgr.h"

namespace {

constexpr QXLogStyle kDefaultStyle = {true, true, false, false, false, 4};

QXLogStyle paramsStyle(int32_t level) {
  QXLogStyle style = kDefaultStyle;
  style.level = level;
  return style;
}

template <class F>
void guarded(F&& body) noexcept {
  try {
    body();
  } catch (...) {
  }
}

void logEvent(CFStringRef source, int32_t level, int32_t error, const char* file, int32_t line) {
  QXLogStyle style = paramsStyle(level);
  if (style.level > CBaseLogMgr::kThreshold) return;
  auto message =
      qxcf::adopt(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("Event (%d) on line %d of %s\n"),
                                           static_cast<int>(error), static_cast<int>(line), file ? file : "(null)"));
  if (message) CBaseLogMgr::Get().LogMessage(style, source, 0, message.get());
}

// Cuts `text` (of `size` bytes) back to the last complete UTF-8 character, so that a cut never
// leaves half a multibyte sequence at the end.
size_t completeUTF8Prefix(const char* text, size_t size) {
  size_t start = size;
  // Find the start of the last character: at most three continuation bytes before it.
  while (start > 0 && size - start < 4 && (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80) --start;
  if (start == 0) return size;
  unsigned char lead = static_cast<unsigned char>(text[start - 1]);
  size_t need = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 1;
  size_t have = size - (start - 1);
  return have >= need ? size : start - 1;
}

}  // namespace

QXLogStyle QXLogGetDefaultLogStyle(void) { return kDefaultStyle; }

void QXLogV(CFStringRef format, va_list arguments) {
  guarded([&] { CBaseLogMgr::Get().LogFormat(kDefaultStyle, nullptr, 0, format, arguments); });
}

void QXLog(CFStringRef format, ...) {
  va_list arguments;
  va_start(arguments, format);
  QXLogV(format, arguments);
  va_end(arguments);
}

void QXLogWithStyleV(const QXLogStyle* style, CFStringRef format, va_list arguments) {
  if (!style) return;
  guarded([&] { CBaseLogMgr::Get().LogFormat(*style, nullptr, 0, format, arguments); });
}

void QXLogWithStyle(const QXLogStyle* style, CFStringRef format, ...) {
  va_list arguments;
  va_start(arguments, format);
  QXLogWithStyleV(style, format, arguments);
  va_end(arguments);
}

void QXLogWithParamsV(int32_t level, CFStringRef source, int32_t error, CFStringRef format, va_list arguments) {
  guarded([&] { CBaseLogMgr::Get().LogFormat(paramsStyle(level), source, error, format, arguments); });
}

void QXLogWithParams(int32_t level, CFStringRef source, int32_t error, CFStringRef format, ...) {
  va_list arguments;
  va_start(arguments, format);
  QXLogWithParamsV(level, source, error, format, arguments);
  va_end(arguments);
}

void QXLogUTF8(const char* format, ...) {
  if (!format) return;
  // A buffer per call instead of one shared buffer under a lock: same limit, no contention.
  constexpr size_t kBufferSize = 2048;
  char buffer[kBufferSize];
  va_list arguments;
  va_start(arguments, format);
  int written = std::vsnprintf(buffer, kBufferSize, format, arguments);
  va_end(arguments);
  if (written < 0) return;
  size_t size = static_cast<size_t>(written);
  if (size >= kBufferSize) {
    // Too long: keep whole characters only, and end with a line feed so the next line still
    // starts on a line of its own.
    size = completeUTF8Prefix(buffer, kBufferSize - 2);
    buffer[size++] = '\n';
    buffer[size] = '\0';
  }
  guarded([&] {
    auto message = qxcf::adopt(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(buffer),
                                                       static_cast<CFIndex>(size), kCFStringEncodingUTF8, false));
    // Text that is not UTF-8 is still logged, each bad byte shown as U+FFFD.
    if (!message) message = qxcf::adopt(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%s"), buffer));
    const QXLogStyle style = {false, true, true, true, true, 4};
    CBaseLogMgr::Get().LogMessage(style, nullptr, 0, message.get());
  });
}

void QXLogError(CFStringRef source, int32_t error, const char* file, int32_t line) {
  guarded([&] { logEvent(source, 1, error, file, line); });
}

void QXLogEvent(int32_t error, const char* file, int32_t line) {
  guarded([&] { logEvent(nullptr, 4, error, file, line); });
}

void QXLogSetSource(CFStringRef source) {
  guarded([&] { CBaseLogMgr::Get().SetSource(source); });
}

void QXLogAddLogger(QXLoggerRef logger) {
  guarded([&] { CBaseLogMgr::Get().AddLogger(qx::fromHandle(logger)); });
}

void QXLogRemoveLogger(QXLoggerRef logger) {
  guarded([&] { CBaseLogMgr::Get().RemoveLogger(qx::fromHandle(logger)); });
}

void QXLogRemoveAllLoggers(void) {
  guarded([&] { CBaseLogMgr::Get().RemoveAllLoggers(); });
}

QXStatus QXLogAddFileLogger(CFURLRef url) {
  int32_t status = kQXErrMemory;
  guarded([&] { status = CBaseLogMgr::Get().AddFileLogger(url); });
  return status;
}

QXLoggerRef QXLoggerCreate(void) { return qx::toHandle<__QXLogger>(qx::make<CBaseLoggerExternal>().release()); }

void QXLoggerSetProcs(QXLoggerRef logger, const QXLoggerProcs* procs, void* context) {
  guarded([&] {
    if (auto* external = dynamic_cast<CBaseLoggerExternal*>(qx::fromHandle(logger))) external->SetProcs(procs, context);
  });
}

void QXLoggerRetain(QXLoggerRef logger) { qx::retainHandle(logger); }
void QXLoggerRelease(QXLoggerRef logger) { qx::releaseHandle(logger); }

namespace {

int32_t logFilePath(CFStringRef subFolder, CFStringRef fileName, CFURLRef* outURL) {
  // The names come from the host: keep them inside the data folder, with the same rule the
  // preferences and the product catalogue apply to theirs.
  if (!qx::prefs::isFileName(fileName)) return kQXErrInvalidArgument;
  if (subFolder && !qx::prefs::isRelativePartialPath(subFolder)) return kQXErrInvalidArgument;
  CFURLRef base = nullptr;
  int32_t status = QXFileMgrGetFolderPathCopy(nullptr, 0, CFSTR("Orvex Software"), &base);
  auto folder = qxcf::adopt(base);
  if (status != 0) return status;
  if (!folder) return kQXErrGeneric;
  if (subFolder) {
    folder = qxcf::adopt(QXFileMgrCreatePathAppendingPartialPath(folder.get(), subFolder));
    if (!folder) return kQXErrGeneric;
  }
  status = QXFileMgrCreateDirectory(folder.get());
  if (status != 0) return status;
  *outURL = CFURLCreateCopyAppendingPathComponent(nullptr, folder.get(), fileName, false);
  return *outURL ? 0 : kQXErrMemory;
}

}  // namespace

QXStatus QXLogGetLogFilePathCopy(CFStringRef subFolder, CFStringRef fileName, CFURLRef* outURL) {
  if (!outURL) return kQXErrInvalidArgument;
  *outURL = nullptr;
  int32_t status = kQXErrMemory;
  guarded([&] { status = logFilePath(subFolder, fileName, outURL); });
  return status;
}
