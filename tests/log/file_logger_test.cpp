// The file logger and the default log file, in a private home.
#include <QXCore/QXLog.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/files/FileTestSupport.h"
#include "tests/log/LogCapture.h"

using namespace filetest;

namespace {

const qxtest::TempHome& home() {
  static qxtest::TempHome instance;
  return instance;
}

fs::path dataHome() { return home().root() / ".local/share"; }

}  // namespace

// Runs first in its process: no logger is registered yet.
TEST(FileLoggerTest, DefaultFileIsRegisteredOnceAndEmptied) {
  fs::path expected = dataHome() / "Orvex Software" / "orvexLog.txt";
  fs::create_directories(expected.parent_path());
  std::ofstream(expected) << "old content\n";

  testing::internal::CaptureStdout();
  EXPECT_EQ(0, QXLogAddFileLogger(nullptr));
  EXPECT_EQ(0, QXLogAddFileLogger(nullptr));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ("CBaseLoggerFile::Startup> Logging to file \"" + expected.string() + "\"\n", out);
  EXPECT_EQ("", Read(expected));

  QXLogWithParams(4, CFSTR("Test"), 3, CFSTR("caf\u00e9 %d"), 1);
  std::string text = Read(expected);
  EXPECT_EQ(1, std::count(text.begin(), text.end(), '\n'));
  EXPECT_NE(std::string::npos, text.find("Test - caf\xC3\xA9 1 Error Number = 3\n")) << text;

  QXLogRemoveAllLoggers();
  QXLog(CFSTR("after"));
  EXPECT_EQ(text, Read(expected));

  // With some logger already registered, the default file logger is not added.
  {
    qxtest::LogCapture capture;
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, QXLogAddFileLogger(nullptr));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
  }
}

TEST(FileLoggerTest, GivenFileAndLogFilePaths) {
  fs::path file = home().root() / "given.log";
  std::ofstream(file) << "to be emptied";
  auto url = URL(file);
  EXPECT_EQ(0, QXLogAddFileLogger(url.get()));
  EXPECT_EQ("", Read(file));
  QXLog(CFSTR("one"));
  QXLog(CFSTR("two"));
  std::string text = Read(file);  // flushed after each line
  EXPECT_NE(std::string::npos, text.find("Orvex - one\n"));
  EXPECT_NE(std::string::npos, text.find("Orvex - two\n"));
  QXLogRemoveAllLoggers();

  // A file that cannot be opened: the logger stays registered and writes nothing.
  auto nowhere = URL(home().root() / "missing folder" / "x.log");
  EXPECT_EQ(0, QXLogAddFileLogger(nowhere.get()));
  QXLog(CFSTR("lost"));
  EXPECT_FALSE(fs::exists(home().root() / "missing folder"));
  QXLogRemoveAllLoggers();

  CFURLRef path = nullptr;
  ASSERT_EQ(0, QXLogGetLogFilePathCopy(CFSTR("Sub"), CFSTR("app.txt"), &path));
  auto owned = qxcf::adopt(path);
  EXPECT_EQ(dataHome() / "Orvex Software" / "Sub" / "app.txt", PathOf(path));
  EXPECT_TRUE(fs::is_directory(dataHome() / "Orvex Software" / "Sub"));
  EXPECT_FALSE(fs::exists(PathOf(path)));  // only the folder is made
  EXPECT_FALSE(CFURLHasDirectoryPath(path));

  // A sub-folder that cannot be made: the error comes back, with no URL.
  std::ofstream(dataHome() / "Orvex Software" / "Blocked") << "a file";
  path = reinterpret_cast<CFURLRef>(1);
  EXPECT_NE(0, QXLogGetLogFilePathCopy(CFSTR("Blocked"), CFSTR("app.txt"), &path));
  EXPECT_EQ(nullptr, path);
  EXPECT_EQ(kQXErrInvalidArgument, QXLogGetLogFilePathCopy(nullptr, nullptr, &path));
  EXPECT_EQ(kQXErrInvalidArgument, QXLogGetLogFilePathCopy(nullptr, CFSTR("x"), nullptr));
}

// Through the exported class: Startup opens and empties, Shutdown closes, Log appends.
TEST(FileLoggerTest, ClassInterface) {
  fs::path file = home().root() / "class.log";
  auto url = URL(file);
  auto* logger = new CBaseLoggerFile(url.get());
  EXPECT_EQ(0, logger->Startup());
  logger->Log(CFSTR("line\n"));
  EXPECT_EQ("line\n", Read(file));
  logger->Shutdown();
  logger->Log(CFSTR("ignored\n"));
  EXPECT_EQ("line\n", Read(file));
  auto bad = URL(home().root() / "no such folder" / "f.log");
  auto* failing = new CBaseLoggerFile(bad.get());
  EXPECT_EQ(ENOENT, failing->Startup());
  failing->Release();
  logger->Release();
}
