// The file logger and the default log file, in a private home.
#include <QXCore/QXLog.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>

#include "log/LogMgr.h"
#include "tests/core/CoreTestSupport.h"
#include "tests/files/FileTestSupport.h"
#include "tests/log/LogCapture.h"

using namespace filetest;
using qxtest::webURLOf;

namespace {

const qxtest::TempHome& home() {
  static qxtest::TempHome instance;
  return instance;
}

fs::path dataHome() { return home().root() / ".local/share"; }
fs::path defaultFile() { return dataHome() / "Orvex Software" / "orvexLog.txt"; }

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(FileLoggerTest, GivenFileAndLogFilePaths) {
  fs::path file = home().root() / "given.log";
  Write(file, "to be emptied");
  EXPECT_EQ(0, QXLogAddFileLogger(URL(file).get()));
  EXPECT_EQ("", Read(file));
  QXLog(CFSTR("one"));
  QXLog(CFSTR("two"));
  std::string text = Read(file);  // flushed after each line
  EXPECT_TRUE(has(text, "Orvex - one\n") && has(text, "Orvex - two\n")) << text;
  QXLogRemoveAllLoggers();

  // A file that cannot be opened: the errno comes back and nothing is registered, so the default
  // logger can still be created afterwards, once, emptying the file.
  auto nowhere = URL(home().root() / "missing folder" / "x.log");
  testing::internal::CaptureStdout();
  EXPECT_EQ(ENOENT, QXLogAddFileLogger(nowhere.get()));
  // An http URL has no path, even when its path would name a writable local file.
  fs::path local = home().root() / "web.log";
  ASSERT_TRUE(webURLOf(local));
  EXPECT_EQ(kQXErrGeneric, QXLogAddFileLogger(webURLOf(local).get()));
  EXPECT_FALSE(fs::exists(local));
  Write(defaultFile(), "old content\n");
  EXPECT_EQ(0, QXLogAddFileLogger(nullptr));
  EXPECT_EQ(0, QXLogAddFileLogger(nullptr));
  std::string out = testing::internal::GetCapturedStdout();
  const std::string once = "CBaseLoggerFile::Startup> Logging to file \"" + defaultFile().string() + "\"\n";
  EXPECT_TRUE(has(out, once) && out.find(once) == out.rfind(once)) << out;
  QXLogWithParams(4, CFSTR("Test"), 3, CFSTR("caf\u00e9 %d"), 1);
  text = Read(defaultFile());
  EXPECT_EQ(1, std::count(text.begin(), text.end(), '\n'));
  EXPECT_TRUE(has(text, "Test - caf\xC3\xA9 1 Error Number = 3\n")) << text;
  EXPECT_FALSE(fs::exists(home().root() / "missing folder"));
  QXLogRemoveAllLoggers();
  QXLog(CFSTR("after"));
  EXPECT_EQ(text, Read(defaultFile()));

  // QXLogAddLogger keeps a logger whatever its Startup says: the file logger stays registered and
  // writes nothing, and QXLogAddFileLogger(NULL) then leaves the default file alone.
  {
    auto dead = qx::make<CBaseLoggerFile>(nowhere.get());
    ASSERT_TRUE(dead);
    testing::internal::CaptureStdout();
    QXLogAddLogger(qx::toHandle<__QXLogger>(dead.get()));
    EXPECT_EQ(0, QXLogAddFileLogger(nullptr));
    out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(has(out, defaultFile().string())) << out;
    QXLog(CFSTR("lost"));
    EXPECT_FALSE(has(Read(defaultFile()), "lost"));
    QXLogRemoveAllLoggers();
  }

  // Folders are made, not the file. A folder that cannot be made gives its error; missing names and names that
  // would lead out of the data folder give 1005. A failure leaves no URL and makes no folder anywhere.
  const fs::path base = dataHome() / "Orvex Software";
  Write(base / "Blocked", "a file");
  const std::tuple<CFStringRef, CFStringRef, std::string> cases[] = {
      {CFSTR("Sub"), CFSTR("app.txt"), base / "Sub/app.txt"},
      {CFSTR("Logs/Today"), CFSTR("app.txt"), base / "Logs/Today/app.txt"},
      {CFSTR("Blocked"), CFSTR("app.txt"), Status(EEXIST)},
      {nullptr, nullptr, Status(kQXErrInvalidArgument)},
      {nullptr, CFSTR("../escape.txt"), Status(kQXErrInvalidArgument)},
      {nullptr, CFSTR(".."), Status(kQXErrInvalidArgument)},
      {nullptr, CFSTR(""), Status(kQXErrInvalidArgument)},
      {nullptr, CFSTR("/tmp/abs.txt"), Status(kQXErrInvalidArgument)},
      {CFSTR(".."), CFSTR("x.txt"), Status(kQXErrInvalidArgument)},
      {CFSTR("../Out"), CFSTR("x.txt"), Status(kQXErrInvalidArgument)},
      {CFSTR("/tmp"), CFSTR("x.txt"), Status(kQXErrInvalidArgument)},
      {CFSTR("A/../.."), CFSTR("x"), Status(kQXErrInvalidArgument)},
      {CFSTR("A//B"), CFSTR("x"), Status(kQXErrInvalidArgument)},
      {CFSTR("A/"), CFSTR("x"), Status(kQXErrInvalidArgument)},
      {CFSTR(""), CFSTR("x"), Status(kQXErrInvalidArgument)}};
  for (const auto& [subFolder, fileName, want] : cases) {
    CFURLRef url = reinterpret_cast<CFURLRef>(1);  // a failure must clear it
    int32_t status = QXLogGetLogFilePathCopy(subFolder, fileName, &url);
    EXPECT_FALSE(status == 0 && CFURLHasDirectoryPath(url));
    EXPECT_EQ(want, PathOr(status, &url)) << qxtest::utf8(subFolder) << " " << qxtest::utf8(fileName);
  }
  EXPECT_TRUE(fs::is_directory(base / "Sub"));
  EXPECT_FALSE(fs::exists(base / "Sub/app.txt"));
  EXPECT_EQ(kQXErrInvalidArgument, QXLogGetLogFilePathCopy(nullptr, CFSTR("x"), nullptr));
  EXPECT_FALSE(fs::exists(dataHome() / "Out"));
  EXPECT_FALSE(fs::exists(dataHome() / "Orvex Software" / "A"));
}
