// The server data file, the command-line file handed over once, and the network-service objects.
#include <QXCore/QXProduct.h>
#include <QXCore/QXServerData.h>
#include <QXCore/QXSocket.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "files/ProductTesting.h"
#include "tests/files/FileTestSupport.h"
#include "tests/log/LogCapture.h"

namespace {

using namespace filetest;
using qxcf::adopt;

const CFStringRef kStudio = CFSTR("com.orvex.studio");

std::string plist(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + body + "\n</plist>\n";
}

class ServerData : public ::testing::Test {
 protected:
  void SetUp() override {
    qx::testing::ResetProductCatalogue();
    folder = home.root() / ".local/share/Orvex Software/Orvex Studio";
  }
  void TearDown() override { qx::testing::ResetProductCatalogue(); }

  // "status port pid" of a read; both values must be cleared whatever happens.
  static std::string read() {
    uint16_t port = 7;
    int32_t pid = 7;
    QXStatus status = QXUtilsReadServerData(kStudio, &port, &pid);
    return std::to_string(status) + " " + std::to_string(port) + " " + std::to_string(pid);
  }

  qxtest::TempHome home;
  fs::path folder;
};

TEST_F(ServerData, RoundTripMissingFileAndBadArguments) {
  const std::string missing = std::to_string(ENOENT) + " 0 0";
  EXPECT_EQ(missing, read());
  ASSERT_EQ(0, QXUtilsWriteServerData(kStudio, 5000));
  EXPECT_EQ("0 5000 " + std::to_string(::getpid()), read());
  EXPECT_EQ(0, QXUtilsDeleteServerData(kStudio));
  EXPECT_EQ(missing, read());
  EXPECT_EQ(0, QXUtilsDeleteServerData(kStudio));  // nothing there is no failure

  // A command-line file that is not a property list is left where it was.
  CFPropertyListRef args = CFSTR("stale");
  Write(folder / "CmdLineArgs.plist", "-open a.jpg");
  EXPECT_EQ(kQXErrGeneric, QXUtilsReadCmdLineArgs(kStudio, &args));
  EXPECT_EQ(nullptr, args);
  EXPECT_TRUE(fs::exists(folder / "CmdLineArgs.plist"));

  EXPECT_EQ((Codes{QXUtilsWriteCmdLineArgs(kStudio, nullptr), QXUtilsReadCmdLineArgs(kStudio, nullptr)}),
            Codes(2, kQXErrInvalidArgument));
  for (CFStringRef unknown : {CFSTR("com.orvex.none"), CFStringRef{nullptr}}) {
    EXPECT_EQ((Codes{QXUtilsWriteServerData(unknown, 1), QXUtilsReadServerData(unknown, nullptr, nullptr),
                     QXUtilsDeleteServerData(unknown), QXUtilsWriteCmdLineArgs(unknown, CFSTR("x")),
                     QXUtilsReadCmdLineArgs(unknown, &args)}),
              Codes(5, kQXErrInvalidArgument));
  }
}

// Whatever stands at the path, a reader gets a real port or 0, and never blocks or reads without end.
TEST_F(ServerData, BadContentsReadAsZeroOrAreRefused) {
  const std::string pid42 = "<key>pid</key><integer>42</integer>";
  auto port = [&](const std::string& value) {
    return plist("<dict><key>listen_port</key>" + value + pid42 + "</dict>");
  };
  // A valid file of exactly `size` bytes, padded with spaces, saying port 5000.
  auto sized = [&](size_t size) {
    std::string text = port("<integer>5000</integer>");
    return text + std::string(size - text.size(), ' ');
  };
  enum Kind { kFile, kFifo, kFolder };
  struct Case {
    const char* what;
    Kind kind;
    std::string content, expected;
  } cases[] = {
      {"port 0", kFile, port("<integer>0</integer>"), "0 0 42"},
      {"port 70000", kFile, port("<integer>70000</integer>"), "0 0 42"},
      {"port -1", kFile, port("<integer>-1</integer>"), "0 0 42"},
      {"port 2^32 + 5000", kFile, port("<integer>4294972296</integer>"), "0 0 42"},
      {"port as text", kFile, port("<string>5000</string>"), "0 0 42"},
      {"port as real", kFile, port("<real>5000.5</real>"), "0 0 42"},
      {"pid -1", kFile,
       plist("<dict><key>listen_port</key><integer>65535</integer><key>pid</key>"
             "<integer>-1</integer></dict>"),
       "0 65535 0"},
      {"pid as text", kFile, plist("<dict><key>pid</key><string>42</string></dict>"), "0 0 0"},
      {"not a dictionary", kFile, plist("<array><integer>5000</integer></array>"), "0 0 0"},
      {"not a property list", kFile, "listen_port=5000", "0 0 0"},
      {"64 KiB", kFile, sized(kQXServerDataMaxFileSize), "0 5000 42"},
      {"64 KiB + 1", kFile, sized(kQXServerDataMaxFileSize + 1), std::to_string(EFBIG) + " 0 0"},
      {"FIFO", kFifo, "", std::to_string(ENOTSUP) + " 0 0"},
      {"folder", kFolder, "", std::to_string(EISDIR) + " 0 0"},
  };
  const fs::path file = folder / "ServerData.plist";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(file);
    fs::create_directories(folder);
    if (c.kind == kFile) Write(file, c.content);
    if (c.kind == kFolder) fs::create_directory(file);
    if (c.kind == kFifo) ::mkfifo(file.c_str(), 0600);
    EXPECT_EQ(c.expected, read());
  }

  // A write that cannot replace the file (a folder stands there) fails and says so in the log.
  qxtest::LogCapture log;
  EXPECT_NE(0, QXUtilsWriteServerData(kStudio, 5000));
  EXPECT_TRUE(log.contains("QXUtilsWriteServerData failed")) << ::testing::PrintToString(log.lines());
}

// Readers racing a writer see the old file or the new one, never a part of one; of two readers
// racing for the command-line file exactly one gets it.
TEST_F(ServerData, ConcurrentReadersSeeWholeFilesAndConsumeOnce) {
  ASSERT_EQ(0, QXUtilsWriteServerData(kStudio, 5000));
  std::thread writer([] {
    for (int i = 0; i < 200; ++i) QXUtilsWriteServerData(kStudio, i % 2 ? 5000 : 6000);
  });
  for (int i = 0; i < 200 && !HasFailure(); ++i) {
    const std::string seen = read();
    EXPECT_TRUE(seen.starts_with("0 5000 ") || seen.starts_with("0 6000 ")) << seen;
  }
  writer.join();

  for (int round = 0; round < 100; ++round) {
    ASSERT_EQ(0, QXUtilsWriteCmdLineArgs(kStudio, CFSTR("-open")));
    CFPropertyListRef got[2] = {};
    QXStatus status[2] = {};
    std::atomic<int> ready{0};
    auto take = [&](int i) {
      ready++;
      while (ready.load() < 2) {
      }
      status[i] = QXUtilsReadCmdLineArgs(kStudio, &got[i]);
    };
    std::thread other(take, 1);
    take(0);
    other.join();
    CFRef<CFPropertyListRef> held[2] = {adopt(got[0]), adopt(got[1])};
    // One of them gets the list, the other finds nothing.
    int winner = status[0] == 0 ? 0 : 1;
    EXPECT_TRUE(got[winner] != nullptr && CFEqual(got[winner], CFSTR("-open")));
    EXPECT_EQ(ENOENT, status[1 - winner]);
    EXPECT_EQ(nullptr, got[1 - winner]);
    if (HasFailure()) break;
  }
  EXPECT_EQ(1, std::distance(fs::directory_iterator(folder), fs::directory_iterator()));  // ServerData.plist
}

// The command-line file of a sandboxed host, and of the user/global folder mode, is the one an
// ordinary process uses; only whole path components are rewritten. A read consumes it.
TEST_F(ServerData, CmdLinePathIsSharedComponentWise) {
  struct Case {
    const char* dataHome;
    bool userGlobal;
    const char* productFolder;
    const char* expected;
  } cases[] = {
      {".local/share", false, "Studio", ".local/share/Orvex Software/Studio"},
      {".local/share", true, "Studio", ".local/share/Orvex Software/Studio"},
      {".local/share", false, "username", ".local/share/Orvex Software/username"},
      {".var/app/com.host.App/data", false, "Studio", ".local/share/Orvex Software/Studio"},
      {".var/app/com.host.App/data", true, "Studio", ".local/share/Orvex Software/Studio"},
      {".var/app/com.host.App/database", false, "Studio", ".var/app/com.host.App/database/Orvex Software/Studio"},
      {"elsewhere/.var/app/com.host.App/data", false, "Studio",
       "elsewhere/.var/app/com.host.App/data/Orvex Software/Studio"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.dataHome) + (c.userGlobal ? " user/global " : " ") + c.productFolder);
    qx::testing::ResetProductCatalogue();
    setenv("XDG_DATA_HOME", (home.root() / c.dataHome).c_str(), 1);
    QXProductSetUserGlobalFolders(c.userGlobal);
    CFRef<CFStringRef> folderName = CF(c.productFolder);
    QXProductInfo info = {};
    info.identifier = CFSTR("com.orvex.test");
    info.name = CFSTR("Test");
    info.folderName = folderName.get();
    ASSERT_EQ(0, QXProductRegister(&info, nullptr));
    ASSERT_EQ(0, QXUtilsWriteCmdLineArgs(CFSTR("com.orvex.test"), CFSTR("x")));
    const fs::path expected = home.root() / c.expected / "CmdLineArgs.plist";
    EXPECT_TRUE(fs::exists(expected));
    CFPropertyListRef args = nullptr;
    EXPECT_EQ(0, QXUtilsReadCmdLineArgs(CFSTR("com.orvex.test"), &args));
    CFRef<CFPropertyListRef> held = adopt(args);
    EXPECT_TRUE(args != nullptr && CFEqual(args, CFSTR("x")));
    EXPECT_EQ(ENOENT, QXUtilsReadCmdLineArgs(CFSTR("com.orvex.test"), &args));  // consumed
  }
}

TEST(NetService, CreateInitializeCurrentRecordAndResolve) {
  QXNetServiceRef service = QXNetServiceCreate();
  ASSERT_NE(nullptr, service);
  EXPECT_EQ(0, QXNetServiceInitialize(service, CFSTR("local."), CFSTR("Studio"), CFSTR("_orvex._tcp."), 7000, true));
  EXPECT_EQ(nullptr, QXNetServiceFindServiceWithName(service, CFSTR("Studio")));
  EXPECT_EQ(nullptr, QXNetServiceGetCurrentServiceRec(service));
  EXPECT_EQ(kQXErrInvalidArgument, QXNetServiceResolve(service));  // no record to fill
  EXPECT_EQ(0, QXNetServiceBrowse(service));
  EXPECT_EQ(0, QXNetServicePublish(service));

  QXNetServiceRecRef first = QXNetServiceRecCreate(CFSTR("First"), 1);
  QXNetServiceRecRef record = QXNetServiceRecCreate(CFSTR("Studio"), 5000);
  QXNetServiceSetCurrentServiceRec(service, first);
  QXNetServiceSetCurrentServiceRec(service, record);  // releases the first
  QXNetServiceRecRelease(first);
  QXNetServiceRecRelease(record);  // the service keeps it alive
  ASSERT_EQ(record, QXNetServiceGetCurrentServiceRec(service));
  EXPECT_EQ(5000, QXNetServiceRecGetPort(record));

  // This machine's own name: resolved, or a resolution code where no resolver answers for it.
  qxtest::LogCapture log;
  QXStatus status = QXNetServiceResolve(service);
  char host[256] = {};
  ASSERT_EQ(0, gethostname(host, sizeof host - 1));
  if (status == 0) {
    EXPECT_TRUE(log.contains("Service Publish succeeded: " + std::string(host) + ":7000"));
    EXPECT_TRUE(log.contains("Connection Test URL: http://"));
    EXPECT_EQ(0, QXNetServiceResolve(service));  // has its address: nothing to look up
  } else {
    EXPECT_GE(status, kQXSocketErrResolveBase) << status;
    EXPECT_TRUE(log.contains("Service Publish failed: Studio:7000"));
  }
  QXNetServiceRelease(service);
}

}  // namespace
