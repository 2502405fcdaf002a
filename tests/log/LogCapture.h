// Collects the lines of the log through an external logger while it lives.
#pragma once

#include <QXCore/QXLog.h>

#include <algorithm>
#include <atomic>
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
 public:
  LogCapture() : mLogger(QXLoggerCreate()) {
    QXLoggerProcs procs = {[](void* self, CFStringRef line) { static_cast<LogCapture*>(self)->add(utf8(line)); },
                           [](void* self) { static_cast<LogCapture*>(self)->mStartups++; },
                           [](void* self) { static_cast<LogCapture*>(self)->mShutdowns++; }};
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
    std::lock_guard<std::mutex> guard(mLock);
    return mLines;
  }
  bool contains(const std::string& text) {
    return std::ranges::any_of(lines(), [&](const std::string& line) { return line.find(text) != std::string::npos; });
  }
  void clear() {
    std::lock_guard<std::mutex> guard(mLock);
    mLines.clear();
  }
  int startups() const { return mStartups; }
  int shutdowns() const { return mShutdowns; }

 private:
  void add(std::string line) {
    std::lock_guard<std::mutex> guard(mLock);
    mLines.push_back(std::move(line));
  }
  QXLoggerRef mLogger;
  std::mutex mLock;
  std::vector<std::string> mLines;
  std::atomic<int> mStartups{0}, mShutdowns{0};
};

}  // namespace qxtest
