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
 public:
  LogCapture() : mLogger(QXLoggerCreate()) {
    QXLoggerProcs procs = {&LogCapture::receive, &LogCapture::started, &LogCapture::stopped};
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
    for (const auto& line : lines()) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }
  void clear() {
    std::lock_guard<std::mutex> guard(mLock);
    mLines.clear();
  }
  int startups() {
    std::lock_guard<std::mutex> guard(mLock);
    return mStartups;
  }
  int shutdowns() {
    std::lock_guard<std::mutex> guard(mLock);
    return mShutdowns;
  }

 private:
  static void receive(void* context, CFStringRef line) {
    auto* self = static_cast<LogCapture*>(context);
    std::string text = utf8(line);
    std::lock_guard<std::mutex> guard(self->mLock);
    self->mLines.push_back(std::move(text));
  }
  static void started(void* context) {
    auto* self = static_cast<LogCapture*>(context);
    std::lock_guard<std::mutex> guard(self->mLock);
    ++self->mStartups;
  }
  static void stopped(void* context) {
    auto* self = static_cast<LogCapture*>(context);
    std::lock_guard<std::mutex> guard(self->mLock);
    ++self->mShutdowns;
  }

  QXLoggerRef mLogger;
  std::mutex mLock;
  std::vector<std::string> mLines;
  int mStartups = 0;
  int mShutdowns = 0;
};

}  // namespace qxtest
