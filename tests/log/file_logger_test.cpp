// The file logger and the default log file, in a private home.
#include <QXCore/QXLog.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

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

// Runs first in its process: no logger is registered yet.
TEST(FileLoggerTest, DefaultFileIsRegisteredOnceAndEmptied) {
  Write(defaultFile(), "old content\n");
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, QXLogAddFileLogger(nullptr));
  EXPECT_EQ(0, QXLogAddFileLogger(nullptr));
  EXPECT_EQ("CBaseLoggerFile::Startup> Logging to file \"" + defaultFile().string() + "\"\n",
            testing::internal::GetCapturedStdout());
  EXPECT_EQ("", Read(defaultFile()));

  QXLogWithParams(4, CFSTR("Test"), 3, CFSTR("caf\u00e9 %d"), 1);
  std::string text = Read(defaultFile());
  EXPECT_EQ(1, std::count(text.begin(), text.end(), '\n'));
  EXPECT_TRUE(has(text, "Test - caf\xC3\xA9 1 Error Number = 3\n")) << text;

  QXLogRemoveAllLoggers();
  QXLog(CFSTR("after"));
  EXPECT_EQ(text, Read(defaultFile()));

  // With some logger already registered, the default file logger is not added.
  qxtest::LogCapture capture;
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, QXLogAddFileLogger(nullptr));
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

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
  // logger can still be created afterwards.
  auto nowhere = URL(home().root() / "missing folder" / "x.log");
  testing::internal::CaptureStdout();
  EXPECT_EQ(ENOENT, QXLogAddFileLogger(nowhere.get()));
  // An http URL has no path, even when its path would name a writable local file.
  fs::path local = home().root() / "web.log";
  ASSERT_TRUE(webURLOf(local));
  EXPECT_EQ(kQXErrGeneric, QXLogAddFileLogger(webURLOf(local).get()));
  EXPECT_FALSE(fs::exists(local));
  EXPECT_EQ(0, QXLogAddFileLogger(nullptr));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(has(out, "Logging to file \"" + defaultFile().string() + "\"")) << out;
  QXLog(CFSTR("into the default file"));
  EXPECT_TRUE(has(Read(defaultFile()), "Orvex - into the default file\n"));
  EXPECT_FALSE(fs::exists(home().root() / "missing folder"));
  QXLogRemoveAllLoggers();

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

  CFURLRef path = nullptr;
  ASSERT_EQ(0, QXLogGetLogFilePathCopy(CFSTR("Sub"), CFSTR("app.txt"), &path));
  auto owned = qxcf::adopt(path);
  EXPECT_EQ(dataHome() / "Orvex Software" / "Sub" / "app.txt", PathOf(path));
  EXPECT_TRUE(fs::is_directory(dataHome() / "Orvex Software" / "Sub"));
  EXPECT_FALSE(fs::exists(PathOf(path)));  // only the folder is made
  EXPECT_FALSE(CFURLHasDirectoryPath(path));
  // A nested relative sub-folder is fine.
  ASSERT_EQ(0, QXLogGetLogFilePathCopy(CFSTR("Logs/Today"), CFSTR("app.txt"), &path));
  auto nested = qxcf::adopt(path);
  EXPECT_EQ(dataHome() / "Orvex Software" / "Logs" / "Today" / "app.txt", PathOf(path));

  // A sub-folder that cannot be made: the error comes back, with no URL.
  Write(dataHome() / "Orvex Software" / "Blocked", "a file");
  path = reinterpret_cast<CFURLRef>(1);
  EXPECT_NE(0, QXLogGetLogFilePathCopy(CFSTR("Blocked"), CFSTR("app.txt"), &path));
  EXPECT_EQ(nullptr, path);
  EXPECT_EQ(kQXErrInvalidArgument, QXLogGetLogFilePathCopy(nullptr, CFSTR("x"), nullptr));

  // Missing names and names that would lead out of the data folder: 1005, no URL, no folder made anywhere.
  const std::pair<CFStringRef, CFStringRef> escapes[] = {{nullptr, nullptr},
                                                         {nullptr, CFSTR("../escape.txt")},
                                                         {nullptr, CFSTR("..")},
                                                         {nullptr, CFSTR("")},
                                                         {nullptr, CFSTR("/tmp/abs.txt")},
                                                         {CFSTR(".."), CFSTR("x.txt")},
                                                         {CFSTR("../Out"), CFSTR("x.txt")},
                                                         {CFSTR("/tmp"), CFSTR("x.txt")},
                                                         {CFSTR("A/../.."), CFSTR("x")},
                                                         {CFSTR("A//B"), CFSTR("x")},
                                                         {CFSTR("A/"), CFSTR("x")},
                                                         {CFSTR(""), CFSTR("x")}};
  for (const auto& [subFolder, fileName] : escapes) {
    path = reinterpret_cast<CFURLRef>(1);
    EXPECT_EQ(kQXErrInvalidArgument, QXLogGetLogFilePathCopy(subFolder, fileName, &path))
        << qxtest::utf8(subFolder) << " " << qxtest::utf8(fileName);
    EXPECT_EQ(nullptr, path);
  }
  EXPECT_FALSE(fs::exists(dataHome() / "Out"));
  EXPECT_FALSE(fs::exists(dataHome() / "Orvex Software" / "A"));
}

// Through the exported class: Startup opens, Shutdown closes, Log appends only while open.
TEST(FileLoggerTest, ClassInterface) {
  fs::path file = home().root() / "class.log";
  auto* logger = new CBaseLoggerFile(URL(file).get());
  EXPECT_EQ(0, logger->Startup());
  logger->Log(CFSTR("line\n"));
  EXPECT_EQ("line\n", Read(file));
  logger->Shutdown();
  logger->Log(CFSTR("ignored\n"));
  EXPECT_EQ("line\n", Read(file));
  logger->Release();
}
