// The log manager: line format, levels, sources, loggers and their procedures, threads.
#include <QXCore/QXLog.h>
#include <QXCore/QXProcess.h>
#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/log/LogCapture.h"

using qxtest::LogCapture;

namespace {

// Every flag off, level 4: the bare message.
constexpr QXLogStyle kPlain = {false, false, false, false, false, 4};

std::string tid() { return std::to_string(QXProcessGetCurrentThreadID()); }

}  // namespace

TEST(LogTest, LineFormatFieldByFieldAndWhatIsDropped) {
  // A zone 5:45 ahead of UTC shows whether the prefix really uses local time.
  setenv("TZ", "Asia/Kathmandu", 1);
  tzset();
  LogCapture log;
  time_t before = time(nullptr);
  QXLogWithParams(4, CFSTR("Src"), 0, CFSTR("hello %d %@"), 5, CFSTR("x"));
  time_t after = time(nullptr);
  auto lines = log.lines();
  ASSERT_EQ(1u, lines.size());
  // Year-month-day hour:minute:seconds, no leading zeros except the minute's; seconds are a
  // rounded float padded with a space.
  std::regex pattern(
      R"(^(\d{4,})-([1-9]\d?)-([1-9]\d?) ([0-9]|1\d|2[0-3]):([0-5]\d):( \d|[1-5]\d|60) Src - hello 5 x\n$)");
  ASSERT_TRUE(std::regex_match(lines[0], pattern)) << lines[0];
  auto clock = [](time_t t) {  // the same fields from the C library's local time
    tm l{};
    localtime_r(&t, &l);
    char text[64];
    snprintf(text, sizeof text, "%d-%d-%d %d:%02d:", l.tm_year + 1900, l.tm_mon + 1, l.tm_mday, l.tm_hour, l.tm_min);
    return std::string(text);
  };
  EXPECT_TRUE(lines[0].starts_with(clock(before)) || lines[0].starts_with(clock(after))) << lines[0];
  unsetenv("TZ");
  tzset();

  // The error number, the default source and the host's source.
  log.clear();
  QXLogWithParams(1, nullptr, -108, CFSTR("failed"));
  QXLogSetSource(CFSTR("Host"));
  QXLog(CFSTR("plain %s"), "text");
  QXLogWithParams(2, CFSTR("Given"), 0, CFSTR("given"));
  QXLogSetSource(nullptr);
  QXLogWithParams(3, nullptr, 0, CFSTR("again"));
  // Events: the text carries its own line feed and the style adds one more.
  QXLogEvent(5, "a.c", 10);
  QXLogError(CFSTR("Module"), -50, "b.cpp", 7);
  const char* expected[] = {R"(.* Orvex - failed Error Number = -108\n)",
                            R"(.* Host - plain text\n)",
                            R"(.* Given - given\n)",
                            R"(.* Orvex - again\n)",
                            R"(\d+-\d+-\d+ \d+:\d\d:[ \d]\d Orvex - Event \(5\) on line 10 of a\.c\n\n)",
                            R"(.* Module - Event \(-50\) on line 7 of b\.cpp\n\n)"};
  lines = log.lines();
  ASSERT_EQ(std::size(expected), lines.size());
  for (size_t i = 0; i < lines.size(); ++i)
    EXPECT_TRUE(std::regex_match(lines[i], std::regex(expected[i]))) << lines[i];

  // Every flag off leaves the bare message. Levels above 4 and bad formats give nothing; levels below 1 are kept.
  log.clear();
  QXLogStyle style = kPlain;
  QXLogWithStyle(&style, CFSTR("bare %d"), 1);
  QXLogWithParams(5, CFSTR("S"), 0, CFSTR("dropped"));
  style.level = 100;
  QXLogWithStyle(&style, CFSTR("dropped too"));
  QXLog(CFSTR("bad %n format"));
  QXLog(nullptr);
  QXLogWithStyle(nullptr, CFSTR("no style"));
  style.level = -3;
  QXLogWithStyle(&style, CFSTR("kept"));
  EXPECT_EQ((std::vector<std::string>{"bare 1", "kept"}), log.lines());
}

// A logger's procedures see exactly their registration: startup when added, shutdown when
// removed, nothing for an unregistered logger or for "remove all".
TEST(LogTest, LoggersAreAddedAndRemoved) {
  static std::vector<std::string> order;
  QXLoggerProcs procs = {[](void* name, CFStringRef) { order.push_back(static_cast<const char*>(name)); }, nullptr,
                         nullptr};
  QXLoggerRef a = QXLoggerCreate(), b = QXLoggerCreate();
  QXLoggerSetProcs(a, &procs, const_cast<char*>("first"));
  QXLoggerSetProcs(b, &procs, const_cast<char*>("second"));
  QXLogAddLogger(b);
  QXLogAddLogger(a);
  QXLog(CFSTR("one"));
  EXPECT_EQ((std::vector<std::string>{"second", "first"}), order);  // registration order
  QXLogRemoveLogger(b);
  QXLogRemoveLogger(a);
  QXLoggerRelease(a);
  QXLoggerRelease(b);

  {
    LogCapture capture;
    EXPECT_EQ(1, capture.startups());
    QXLog(CFSTR("seen"));
    QXLogRemoveLogger(capture.logger());
    EXPECT_EQ(1, capture.shutdowns());
    QXLog(CFSTR("not seen"));
    QXLogRemoveLogger(capture.logger());  // no longer registered: nothing happens
    EXPECT_EQ(1, capture.shutdowns());
    EXPECT_EQ(1u, capture.lines().size());
    // The capture's destructor removes it once more: still nothing.
  }

  {
    LogCapture capture;
    QXLogRemoveAllLoggers();
    QXLog(CFSTR("after remove all"));
    EXPECT_EQ(0, capture.shutdowns());
    EXPECT_TRUE(capture.lines().empty());
  }

  // A logger released by its creator lives on while registered; cleared procedures are not called.
  {
    LogCapture capture;
    QXLoggerProcs none = {nullptr, nullptr, nullptr};
    QXLoggerSetProcs(capture.logger(), &none, nullptr);
    QXLog(CFSTR("nobody listens"));
    QXLoggerSetProcs(capture.logger(), nullptr, nullptr);
    QXLogRemoveLogger(capture.logger());
    EXPECT_TRUE(capture.lines().empty());
    EXPECT_EQ(0, capture.shutdowns());
  }

  // Host procedures that throw: nothing reaches the logging caller, and loggers registered after the
  // throwing one still get the line. A logger that logs is not fed its own lines.
  {
    QXLoggerProcs throwing = {[](void*, CFStringRef) { throw std::runtime_error("log"); },
                              [](void*) { throw std::runtime_error("startup"); },
                              [](void*) { throw std::runtime_error("shutdown"); }};
    static int nestedCalls = 0;
    QXLoggerProcs logsItself = {[](void*, CFStringRef) {
                                  ++nestedCalls;
                                  QXLog(CFSTR("from inside a logger"));
                                },
                                nullptr, nullptr};
    QXLoggerRef thrower = QXLoggerCreate(), noisy = QXLoggerCreate();
    QXLoggerSetProcs(thrower, &throwing, nullptr);
    QXLoggerSetProcs(noisy, &logsItself, nullptr);
    QXLogAddLogger(thrower);
    QXLogAddLogger(noisy);
    LogCapture capture;
    QXLog(CFSTR("past the thrower"));
    EXPECT_EQ(1, nestedCalls);
    ASSERT_EQ(1u, capture.lines().size());
    EXPECT_TRUE(capture.contains("past the thrower"));
    for (QXLoggerRef logger : {thrower, noisy}) {
      QXLogRemoveLogger(logger);
      QXLoggerRelease(logger);
    }
  }
}

TEST(LogTest, IndentCounterWrapsAfterOneHundredThreads) {
  // The counter is process-wide, so look at steps rather than absolute values; 110 threads pass 100 either way.
  for (bool wrap : {true, false}) {
    LogCapture log;
    QXLogStyle style = kPlain;
    style.indent = true;
    style.indentWrap = wrap;
    for (int i = 0; i < 110; ++i) std::thread([&] { QXLogWithStyle(&style, CFSTR("x")); }).join();
    const auto lines = log.lines();
    ASSERT_EQ(110u, lines.size());
    int wraps = 0;
    for (size_t i = 1; i < lines.size(); ++i) {
      const int before = static_cast<int>(lines[i - 1].size()) - 1, indent = static_cast<int>(lines[i].size()) - 1;
      EXPECT_EQ(wrap && before == 100 ? 1 : before + 1, indent) << "after 100 comes 1";
      wraps += indent < before;
    }
    EXPECT_EQ(wrap ? 1 : 0, wraps);
  }
}

TEST(LogTest, UTF8MessagesAreCutAtACharacterBoundary) {
  LogCapture log;
  auto messageOf = [](const std::string& line) { return line.substr(line.find(" - ") + 3); };

  // Not re-read as a format: a '%' in the text stays as it is.
  QXLogUTF8("100%% %s %d\n", "x%d", 7);
  ASSERT_EQ(1u, log.lines().size());
  EXPECT_TRUE(std::regex_match(log.lines()[0],
                               std::regex(R"( *\[[m ]\d+\] \d+-\d+-\d+ \d+:\d\d:[ \d]\d Orvex - 100% x%d 7\n)")))
      << log.lines()[0];

  // 2,046 bytes are kept before the added line feed; a character that does not fit whole goes.
  // Exactly at the limit nothing is cut; bytes that are not UTF-8 are still logged.
  auto times = [](const std::string& s, int n) {
    std::string out;
    while (n-- > 0) out += s;
    return out;
  };
  const std::pair<std::string, std::string> cases[] = {
      {"a" + times("é", 1500) + "\n", "a" + times("é", 1022) + "\n"},
      {times("€", 1000), times("€", 682) + "\n"},
      {"b" + times("€", 1000), "b" + times("€", 681) + "\n"},
      {std::string(2047, 'z'), std::string(2047, 'z')},
      {"bad \xff byte\n", "bad \xEF\xBF\xBD byte\n"},
  };
  for (const auto& [input, kept] : cases) {
    log.clear();
    QXLogUTF8("%s", input.c_str());
    EXPECT_EQ(kept, messageOf(log.lines().at(0)));
  }
}

TEST(LogTest, ThreadTagsAndWholeLinesFromManyThreads) {
  ASSERT_EQ(0, QXProcessInit());
  LogCapture log;
  // The tag marks the main thread; a worker's carries its own id.
  QXLogStyle tagged = kPlain;
  tagged.threadTag = true;
  QXLogWithStyle(&tagged, CFSTR("main"));
  std::thread([&] { QXLogWithStyle(&tagged, CFSTR("worker %s"), tid().c_str()); }).join();
  auto lines = log.lines();
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ("[m" + tid() + "] main", lines[0]);
  std::smatch match;
  ASSERT_TRUE(std::regex_match(lines[1], match, std::regex(R"(\[ (\d+)\] worker (\d+))"))) << lines[1];
  EXPECT_EQ(match[1], match[2]);
  EXPECT_NE(tid(), match[1]);

  // Lines stay whole.
  log.clear();
  constexpr int kThreads = 6, kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      QXLogStyle style = QXLogGetDefaultLogStyle();
      style.threadTag = true;
      style.indent = true;
      for (int i = 0; i < kLines; ++i) QXLogWithStyle(&style, CFSTR("thread %d line %d"), t, i);
    });
  }
  // Loggers come and go meanwhile.
  for (int i = 0; i < 50; ++i) {
    QXLoggerRef extra = QXLoggerCreate();
    QXLogAddLogger(extra);
    QXLogRemoveLogger(extra);
    QXLoggerRelease(extra);
  }
  for (auto& thread : threads) thread.join();
  lines = log.lines();
  ASSERT_EQ(size_t{kThreads * kLines}, lines.size());
  std::vector<int> next(kThreads, 0);
  std::regex pattern(R"( *\[ \d+\] \d+-\d+-\d+ \d+:\d\d:[ \d]\d Orvex - thread (\d) line (\d+)\n)");
  for (const auto& line : lines) {
    ASSERT_TRUE(std::regex_match(line, match, pattern)) << line;
    int t = std::stoi(match[1]);
    EXPECT_EQ(next[t]++, std::stoi(match[2]));
  }
}
