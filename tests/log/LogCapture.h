// Collects the lines of the log through an external logger while it lives.
#pragma once

#include <QXCore/QXLog.h>

#include <mutex>
#include <string>
#include <vector>

namespace qxtest {

inline std::string utf8(CFStringRef string) {
  if (!string) return "(null)";
  CFIndex size = CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8) + 1;
  std::string buffer(static_cast<size_t>(size), '\0');
  CFStringGetCString(string, buffer.data(), size, kCFStringEncodingUTF8);
  buffer.resize(std::char_traits<char>::length(buffer.c_str()));
  return buffer;
}

class LogCapture {
  template <class F>
  auto locked(F f) {
    std::lock_guard<std::mutex> guard(mLock);
    return f(*this);
  }

 public:
  LogCapture() : mLogger(QXLoggerCreate()) {
    QXLoggerProcs procs = {
        [](void* self, CFStringRef line) {
          static_cast<LogCapture*>(self)->locked([&](auto& me) { me.mLines.push_back(utf8(line)); });
        },
        [](void* self) { static_cast<LogCapture*>(self)->locked([](auto& me) { ++me.mStartups; }); },
        [](void* self) { static_cast<LogCapture*>(self)->locked([](auto& me) { ++me.mShutdowns; }); }};
    QXLoggerSetProcs(mLogger, &procs, this);
    QXLogAddLogger(mLogger);
  }
  ~LogCapture() {
    QXLogRemoveLogger(mLogger);
    QXLoggerRelease(mLogger);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  QXLoggerRef logger() const { return mLogger; }
  std::vector<std::string> lines() {
    return locked([](auto& me) { return me.mLines; });
  }
  bool contains(const std::string& text) {
    for (const auto& line : lines()) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }
  void clear() {
    locked([](auto& me) { me.mLines.clear(); });
  }
  int startups() {
    return locked([](auto& me) { return me.mStartups; });
  }
  int shutdowns() {
    return locked([](auto& me) { return me.mShutdowns; });
  }

 private:
  QXLoggerRef mLogger;
  std::mutex mLock;
  std::vector<std::string> mLines;
  int mStartups = 0;
  int mShutdowns = 0;
};

}  // namespace qxtest
