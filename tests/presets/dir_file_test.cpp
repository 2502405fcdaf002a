#include <QXCore/QXDir.h>
#include <errno.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/files/FileTestSupport.h"
#include "tests/presets/PresetTestSupport.h"

namespace {

using namespace filetest;

using presettest::Text;
using presettest::Texts;

struct DirProbe : QXDir {
  using QXDir::createDirectory;
  using QXDir::QXDir;
};

class DirFileTest : public ::testing::Test {
 protected:
  qxtest::TempHome home;
  fs::path root = home.root() / "m";
  std::string r = root.string();
  void SetUp() override { fs::create_directories(root); }
};

TEST_F(DirFileTest, PathsAreJoinedWithOneSlash) {
  struct DirCase {
    std::string base, folder, sub, expected;
  } dirs[] = {
      {r, "Presets", "", r + "/Presets/"},
      {r + "/", "Presets", "", r + "/Presets/"},
      {r, "Presets", "C", r + "/Presets/C/"},
      {r, "", "C", r + "/C/"},
      {r + "/", "", "", r + "/"},
      {"", "Presets", "", "Presets/"},  // no leap to the root
  };
  for (const DirCase& c : dirs) {
    QXDir dir(c.base.c_str(), c.folder.c_str(), c.sub.c_str());
    EXPECT_EQ(Text(dir.getPathString()), c.expected) << c.base << "|" << c.folder << "|" << c.sub;
    if (c.expected[0] == '/') {
      EXPECT_EQ(PathOf(dir.getPath()) + "/", c.expected);
    }
  }
  EXPECT_EQ(Text(QXDir(r.c_str()).getPathString()), r + "/");
  EXPECT_EQ(Text(QXDir((r + "/").c_str()).getPathString()), r + "/");

  struct FileCase {
    std::string base, folder, category, name, ext, expected;
  } files[] = {
      {r, "F", "", "Look", ".ext", r + "/F/Look.ext"},
      {r + "/", "F", "C", "Look", ".ext", r + "/F/C/Look.ext"},
      {r, "F/", "C/", "Look", ".ext", r + "/F/C/Look.ext"},
      {r, "", "C", "Look", "", r + "/C/Look"},
  };
  for (const FileCase& c : files) {
    QXFile file(c.base.c_str(), c.folder.c_str(), c.category.c_str(), c.name.c_str(), c.ext.c_str());
    EXPECT_EQ(Text(file.filename()), c.expected) << c.folder << "|" << c.category;
  }
  EXPECT_EQ(Text(QXFile((r + "/x.ext").c_str()).filename()), r + "/x.ext");
  EXPECT_EQ(Own(QXDir::createSoftwareDirectoryName()), Str(QXDir::kSoftwareDirName));
}

TEST_F(DirFileTest, EntryListFiltersAndSorts) {
  for (const char* name : {"a.ext", "B.EXT", "c.txt", "x", ".hidden.ext"}) Write(root / name, name);
  fs::create_directories(root / "sub2");
  fs::create_directories(root / "Sub1.ext");  // a folder is never taken for a file by its name

  QXDir dir(r.c_str());
  std::vector<std::string> folders = Texts(dir.entryList(1, kQXFileSortOrderNone));
  std::sort(folders.begin(), folders.end());
  EXPECT_EQ(folders, (std::vector<std::string>{"Sub1.ext", "sub2"}));
  EXPECT_EQ(Texts(dir.entryList(3, kQXFileSortOrderName)),
            (std::vector<std::string>{"a.ext", "B.EXT", "c.txt", "Sub1.ext", "sub2", "x"}));

  dir.setExtensionFilters({".EXT", "longer-than-any-name.ext"});
  EXPECT_EQ(Texts(dir.entryList(2, kQXFileSortOrderName)), (std::vector<std::string>{"a.ext", "B.EXT"}));
  EXPECT_EQ(Texts(dir.entryList(3, kQXFileSortOrderName)),
            (std::vector<std::string>{"a.ext", "B.EXT", "Sub1.ext", "sub2"}));
  EXPECT_EQ(QXDir::getLastError(), 0);
  EXPECT_EQ(QXDir(dir).entryList(2, kQXFileSortOrderName).size(), 4u) << "a copy starts without filters";

  QXDir missing((r + "/none").c_str());
  EXPECT_TRUE(missing.entryList(3, kQXFileSortOrderName).empty());
  EXPECT_EQ(QXDir::getLastError(), ENOENT);
  EXPECT_FALSE(missing.exists());
}

TEST_F(DirFileTest, DirOperationsStayInsideAndNeverReplace) {
  Write(root / "Keep/p.ext", "keep");
  Write(root / "file.ext", "f");
  QXDir dir(r.c_str(), "", "");
  struct Step {
    const char* what;
    std::function<bool()> run;
    int32_t status;
  } steps[] = {
      {"mkdir A/B", [&] { return dir.mkdir("A/B"); }, 0},
      {"rename A Keep", [&] { return dir.rename("A", "Keep"); }, EEXIST},
      {"rename A Moved", [&] { return dir.rename("A", "Moved"); }, 0},
      {"rename Moved ../out", [&] { return dir.rename("Moved", "../out"); }, kQXErrInvalidArgument},
      {"rmdir empty name", [&] { return dir.rmdir(""); }, kQXErrInvalidArgument},
      {"rmdir ..", [&] { return dir.rmdir(".."); }, kQXErrInvalidArgument},
      {"rmdir Keep/./..", [&] { return dir.rmdir("Keep/./.."); }, kQXErrInvalidArgument},
      {"removePreset missing", [&] { return dir.removePreset("missing.ext"); }, ENOENT},
      {"removePreset folder", [&] { return dir.removePreset("Keep"); }, EISDIR},
      {"removePreset file", [&] { return dir.removePreset("file.ext"); }, 0},
      {"rmdir Moved", [&] { return dir.rmdir("Moved"); }, 0},
      {"mkdir without a folder", [&] { return QXDir("").mkdir("Keep"); }, kQXErrGeneric},
  };
  for (const Step& s : steps) {
    EXPECT_EQ(s.run(), s.status == 0) << s.what;
    EXPECT_EQ(QXDir::getLastError(), s.status) << s.what;
  }
  EXPECT_EQ(Names(root), (std::vector<std::string>{"Keep"}));
  EXPECT_EQ(Read(root / "Keep/p.ext"), "keep");

  Write(root / "plain", "");
  EXPECT_TRUE(DirProbe::createDirectory(URL(root / "made/deep", true).get()));
  EXPECT_TRUE(fs::is_directory(root / "made/deep"));
  EXPECT_FALSE(DirProbe::createDirectory(URL(root / "plain/sub", true).get()));
  EXPECT_EQ(QXDir::getLastError(), ENOTDIR);
}

TEST_F(DirFileTest, FileRoundTripAndClosedFile) {
  const std::string data(70000, 'q');
  QXFile file((r + "/look.ext").c_str());
  uint64_t n = 7;
  EXPECT_FALSE(file.size(&n));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(QXFile::getLastError(), kQXErrGeneric);
  char buffer[16];
  EXPECT_EQ(file.read(buffer, sizeof buffer), UINT64_MAX);
  EXPECT_FALSE(file.open("r"));
  EXPECT_EQ(QXFile::getLastError(), ENOENT);

  ASSERT_TRUE(file.open("w"));
  EXPECT_EQ(file.write(data.data(), data.size()), data.size());
  EXPECT_TRUE(file.size(&n));
  EXPECT_EQ(n, data.size());
  EXPECT_TRUE(file.close());
  EXPECT_FALSE(file.isOpen());

  ASSERT_TRUE(file.open("r"));
  std::string back(data.size() + 10, '\0');
  EXPECT_EQ(file.read(back.data(), back.size()), data.size());
  back.resize(data.size());
  EXPECT_EQ(back, data);
  EXPECT_EQ(file.read(buffer, sizeof buffer), 0u);
  EXPECT_EQ(file.write("x", 1), UINT64_MAX) << "a file opened for reading takes no writes";

  EXPECT_TRUE(file.remove());
  EXPECT_FALSE(file.exists());
  EXPECT_TRUE(file.remove()) << "a missing file counts as removed";
  EXPECT_EQ(QXFile::getLastError(), 0);
}

TEST_F(DirFileTest, StaticRenameAndCopyNeverOverwrite) {
  Write(root / "a.ext", "A");
  Write(root / "b.ext", "B");
  std::string a = r + "/a.ext", b = r + "/b.ext", c = r + "/c.ext", d = r + "/d.ext";
  EXPECT_FALSE(QXFile::rename(a.c_str(), b.c_str()));
  EXPECT_EQ(QXFile::getLastError(), EEXIST);
  EXPECT_FALSE(QXFile::copy(a.c_str(), b.c_str()));
  EXPECT_EQ(QXFile::getLastError(), EEXIST);
  EXPECT_EQ(ReadAll({root / "a.ext", root / "b.ext"}), "A|B");

  EXPECT_FALSE(QXFile::rename((r + "/none").c_str(), c.c_str()));
  EXPECT_EQ(QXFile::getLastError(), ENOENT);
  EXPECT_TRUE(QXFile::rename(a.c_str(), c.c_str()));
  EXPECT_EQ(QXFile::getLastError(), 0);
  EXPECT_TRUE(QXFile::copy(c.c_str(), d.c_str()));
  EXPECT_EQ(ReadAll({root / "c.ext", root / "d.ext"}), "A|A");
  EXPECT_FALSE(QXFile::copy(c.c_str(), c.c_str()));
  EXPECT_EQ(Read(root / "c.ext"), "A");
  EXPECT_EQ(Names(root), (std::vector<std::string>{"b.ext", "c.ext", "d.ext"}));
}

TEST_F(DirFileTest, CopyOfFileOpenForWritingKeepsItsContents) {
  std::string path = r + "/w.ext";
  QXFile writer(path.c_str());
  ASSERT_TRUE(writer.open("w"));
  ASSERT_EQ(writer.write("abc", 3), 3u);
  uint64_t n = 0;
  ASSERT_TRUE(writer.size(&n));  // the length is measured on the file, so "abc" is there now
  ASSERT_EQ(Read(root / "w.ext"), "abc");

  QXFile copied(writer);
  EXPECT_TRUE(copied.isOpen());
  QXFile assigned((r + "/other.ext").c_str());
  assigned = writer;
  EXPECT_TRUE(assigned.isOpen());
  EXPECT_EQ(Read(root / "w.ext"), "abc");
  char buffer[8] = {};
  EXPECT_EQ(copied.read(buffer, sizeof buffer), 3u);
  EXPECT_STREQ(buffer, "abc");

  EXPECT_TRUE(copied.close());
  EXPECT_TRUE(assigned.close());
  EXPECT_TRUE(writer.close());
  EXPECT_EQ(Read(root / "w.ext"), "abc");
  EXPECT_FALSE(fs::exists(root / "other.ext"));
}

TEST_F(DirFileTest, LastErrorIsPerThreads) {
  EXPECT_TRUE(QXDir(r.c_str()).mkdir("made"));
  EXPECT_TRUE(QXFile((r + "/f").c_str()).remove());
  int32_t dirInThread = 0, fileInThread = 0;
  std::thread([&] {
    QXDir(r.c_str()).removePreset("missing");
    QXFile::rename((r + "/none").c_str(), (r + "/x").c_str());
    dirInThread = QXDir::getLastError();
    fileInThread = QXFile::getLastError();
  }).join();
  EXPECT_EQ(dirInThread, ENOENT);
  EXPECT_EQ(fileInThread, ENOENT);
  // This thread's last operations succeeded, whatever the other thread did since.
  EXPECT_EQ(QXDir::getLastError(), 0);
  EXPECT_EQ(QXFile::getLastError(), 0);
}

}  // namespace
