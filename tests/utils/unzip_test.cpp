// The zip reader against archives written by Python's zipfile (tests/utils/data/make_zips.py):
// names in both encodings, both ways of inflating, damaged, encrypted and hostile entries, and
// what extraction leaves on disk.
#include <QXCore/QXUnzip.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/files/FileTestSupport.h"
#include "utils/UnzipTesting.h"

namespace {

namespace fs = std::filesystem;
using filetest::Codes;
using filetest::Names;
using filetest::Read;
using filetest::URL;
using Reader = std::unique_ptr<__QXUnzip, decltype(&QXUnzipRelease)>;
using Strings = std::vector<std::string>;

const std::string kLong = [] {
  std::string name;
  for (int i = 0; i < 5; ++i) name += std::string(250, 'x') + "/";
  return name + "long.txt";
}();
const Strings kGoodNames = {"stored.txt", "deflated.bin", "sub/dir/nested.txt", "folder/",  "Été/ünï.txt",
                            "café ß.txt", kLong,          "empty.txt",          "zip64.txt"};
// Whole-buffer inflation (the normal limit) and streaming for every entry (0).
const std::vector<uint64_t> kLimits = {128u << 20, 0};

// The archives in zips/, an extraction folder sandbox/out whose parent must hold nothing else, and
// a folder outside that nothing may touch.
struct Zips {
  qxtest::TempHome home;
  fs::path zips = home.root() / "zips";
  fs::path sandbox = home.root() / "sandbox";
  fs::path out = sandbox / "out";
  fs::path outside = home.root() / "outside";

  Zips() {
    fs::create_directories(out);
    fs::create_directories(outside);
    std::string command =
        "python3 '" QX_TEST_AREA_DIR "/data/make_zips.py' '" + zips.string() + "' '" + (outside / "abs").string() + "'";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("make_zips.py failed");
  }
  Reader Open(const char* name) const {
    Reader reader(QXUnzipCreate(), QXUnzipRelease);
    EXPECT_EQ(QXUnzipOpen(reader.get(), URL(zips / name).get()), 0) << name;
    return reader;
  }
};

// Makes entry `index` current: 0, or the status of the move that failed.
int32_t Seek(QXUnzipRef reader, int index) {
  int32_t status = QXUnzipSetFirstFileCurrent(reader);
  while (status == 0 && index-- > 0) status = QXUnzipSetNextFileCurrent(reader);
  return status;
}

std::string Name(QXUnzipRef reader) { return filetest::Own(QXUnzipGetCurrentFileNameCopy(reader)); }

TEST(Unzip, ListsEveryNameAndEndsTheList) {
  Zips z;
  Reader good = z.Open("good.zip");
  Strings names;
  int32_t status = QXUnzipSetFirstFileCurrent(good.get());
  for (; status == 0; status = QXUnzipSetNextFileCurrent(good.get())) names.push_back(Name(good.get()));
  EXPECT_EQ(names, kGoodNames);  // UTF-8 by flag, code page 437 without, no truncation at 256 or 1024
  EXPECT_EQ(status, kQXUnzipEndOfList);
  EXPECT_EQ(QXUnzipSetNextFileCurrent(good.get()), kQXUnzipEndOfList);
  EXPECT_EQ(Name(good.get()), "(null)");
  EXPECT_EQ(QXUnzipExtractCurrentFileToFolder(good.get(), URL(z.out).get()), kQXUnzipErrBadArgument);
  EXPECT_EQ(Seek(good.get(), 0), 0);  // starts again
  EXPECT_EQ(Name(good.get()), kGoodNames[0]);

  Reader empty = z.Open("empty.zip");
  Reader none(QXUnzipCreate(), QXUnzipRelease);
  ::mkfifo((z.sandbox / "fifo").c_str(), 0600);
  EXPECT_EQ(
      (Codes{QXUnzipSetFirstFileCurrent(empty.get()), QXUnzipSetFirstFileCurrent(none.get()),
             QXUnzipSetNextFileCurrent(none.get()), QXUnzipExtractCurrentFile(none.get(), URL(z.out).get()),
             QXUnzipOpen(none.get(), URL(z.zips / "missing.zip").get()),
             QXUnzipOpen(none.get(), URL(z.zips / "expect" / "1").get()),  // not an archive
             QXUnzipOpen(none.get(), URL(z.sandbox / "fifo").get()),       // never waited on
             QXUnzipOpen(none.get(), URL(z.zips).get()), QXUnzipOpen(none.get(), nullptr),
             QXUnzipOpen(nullptr, URL(z.zips / "good.zip").get())}),
      (Codes{kQXUnzipEndOfList, kQXUnzipErrBadArgument, kQXUnzipErrBadArgument, kQXUnzipErrBadArgument, kQXErrGeneric,
             kQXErrGeneric, kQXErrGeneric, kQXErrGeneric, kQXUnzipErrBadArgument, kQXUnzipErrBadArgument}));
}

TEST(Unzip, ExtractsEveryEntryAgainAndAgain) {
  for (uint64_t limit : kLimits) {
    Zips z;
    const uint64_t old = qx::testing::SetUnzipWholeEntryLimit(limit);
    Reader good = z.Open("good.zip");
    for (int i = 0; i < int(kGoodNames.size()); ++i) {
      ASSERT_EQ(Seek(good.get(), i), 0);
      EXPECT_EQ(QXUnzipExtractCurrentFileToFolder(good.get(), URL(z.out).get()), 0) << kGoodNames[i];
      if (kGoodNames[i].back() == '/') {
        EXPECT_TRUE(fs::is_directory(z.out / kGoodNames[i]));
      } else {
        EXPECT_TRUE(Read(z.out / kGoodNames[i]) == Read(z.zips / "expect" / std::to_string(i))) << kGoodNames[i];
      }
    }
    // The same entry twice, to a file: each extraction reads it from the start.
    ASSERT_EQ(Seek(good.get(), 1), 0);
    const fs::path copy = z.sandbox / "copy.bin";
    EXPECT_EQ((Codes{QXUnzipExtractCurrentFile(good.get(), URL(copy).get()),
                     QXUnzipExtractCurrentFile(good.get(), URL(copy).get())}),
              (Codes{0, 0}));
    EXPECT_TRUE(Read(copy) == Read(z.zips / "expect" / "1"));
    // Nothing else: no temporary files beside any of them.
    EXPECT_EQ(Names(z.out), (Strings{"café ß.txt", "deflated.bin", "empty.txt", "folder", "stored.txt", "sub",
                                     std::string(250, 'x'), "zip64.txt", "Été"}));
    EXPECT_EQ(Names(z.out / "sub" / "dir"), Strings{"nested.txt"});
    EXPECT_EQ(Names(z.sandbox), (Strings{"copy.bin", "out"}));
    qx::testing::SetUnzipWholeEntryLimit(old);
  }
}

TEST(Unzip, DamagedEntriesFailAndLeaveNothing) {
  struct Case {
    const char* archive;
    int index;
    int32_t status;
  };
  const Case cases[] = {
      {"crc.zip", 0, kQXUnzipErrCRC},              // stored, one data byte changed
      {"crc.zip", 1, kQXUnzipErrCRC},              // deflated, CRC fields changed
      {"crc.zip", 2, kQXUnzipErrCRC},              // in folders that must go again
      {"short.zip", 0, kQXUnzipErrBadZipFile},     // stored, one byte fewer than declared
      {"short.zip", 1, kQXUnzipErrBadZipFile},     // deflated likewise
      {"encrypted.zip", 0, kQXUnzipErrEncrypted},  // never handed out as data
      {"encrypted.zip", 1, kQXUnzipErrEncrypted},
  };
  for (uint64_t limit : kLimits) {
    Zips z;
    const uint64_t old = qx::testing::SetUnzipWholeEntryLimit(limit);
    filetest::Write(z.sandbox / "target", "old");
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.archive) + " #" + std::to_string(c.index) + " limit " + std::to_string(limit));
      Reader reader = z.Open(c.archive);
      ASSERT_EQ(Seek(reader.get(), c.index), 0);
      EXPECT_EQ(QXUnzipExtractCurrentFileToFolder(reader.get(), URL(z.out).get()), c.status);
      EXPECT_EQ(QXUnzipExtractCurrentFile(reader.get(), URL(z.sandbox / "target").get()), c.status);
      EXPECT_EQ(Names(z.out), Strings{});
      EXPECT_EQ(Names(z.sandbox), (Strings{"out", "target"}));
      EXPECT_EQ(Read(z.sandbox / "target"), "old");
    }
    qx::testing::SetUnzipWholeEntryLimit(old);
  }
}

TEST(Unzip, HostileNamesAndLinksStayInsideTheFolder) {
  Zips z;
  Reader hostile = z.Open("hostile.zip");
  for (int i = 0; Seek(hostile.get(), i) == 0; ++i) {
    EXPECT_EQ(QXUnzipExtractCurrentFileToFolder(hostile.get(), URL(z.out).get()), kQXUnzipErrUnsafeName)
        << Name(hostile.get());
  }
  EXPECT_EQ(Names(z.out), Strings{});
  EXPECT_EQ(Names(z.sandbox), Strings{"out"});
  EXPECT_EQ(Names(z.outside), Strings{});  // the absolute name pointed here
  EXPECT_FALSE(fs::exists(z.home.root() / "evil"));

  // Links planted where the archive's entries go are replaced or refused, never followed.
  filetest::Write(z.outside / "target.txt", "keep");
  fs::create_symlink(z.outside / "target.txt", z.out / "stored.txt");
  fs::create_symlink(z.outside, z.out / "sub");
  fs::create_symlink(z.outside / "target.txt", z.sandbox / "link");
  Reader good = z.Open("good.zip");
  ASSERT_EQ(Seek(good.get(), 0), 0);
  EXPECT_EQ(QXUnzipExtractCurrentFileToFolder(good.get(), URL(z.out).get()), 0);
  EXPECT_EQ(QXUnzipExtractCurrentFile(good.get(), URL(z.sandbox / "link").get()), 0);
  ASSERT_EQ(Seek(good.get(), 2), 0);  // sub/dir/nested.txt
  const int32_t nested = QXUnzipExtractCurrentFileToFolder(good.get(), URL(z.out).get());
  EXPECT_TRUE(nested == ELOOP || nested == ENOTDIR) << nested;
  EXPECT_EQ(Read(z.outside / "target.txt"), "keep");
  EXPECT_EQ(Names(z.outside), Strings{"target.txt"});
  for (const fs::path& file : {z.out / "stored.txt", z.sandbox / "link"}) {
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file))) << file;
    EXPECT_EQ(Read(file), "stored bytes\n");
  }
}

}  // namespace
