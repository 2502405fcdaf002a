// The trash: recycle and restore round trips through .trashinfo records.
#include <QXCore/QXFileMgr.h>
#include <gtest/gtest.h>
#include <pwd.h>

#include <regex>

#include "files/CoreFileTesting.h"
#include "tests/files/FileTestSupport.h"

using namespace filetest;

namespace {

class TrashTest : public ::testing::Test {
 protected:
  qxtest::TempHome home;
  fs::path root = home.root();
  fs::path trash = root / ".local/share/Trash";

  int32_t Recycle(const fs::path& path) {
    CFURLRef out = reinterpret_cast<CFURLRef>(1);
    int32_t status = QXFileMgrRecycleItemCopy(URL(path).get(), &out);
    EXPECT_EQ(out, nullptr);
    return status;
  }
  int32_t Restore(const fs::path& path) { return QXFileMgrRestoreRecycledItem(URL(path).get(), nullptr); }
  // Restores the item trashed from `path`: its contents there afterwards, or "status N".
  std::string Back(const fs::path& path) {
    int32_t status = Restore(path);
    return status == 0 ? Read(path) : Status(status);
  }
};

constexpr int32_t kNoMatch = 2;  // no trashed item was recorded under that path

TEST_F(TrashTest, RoundTripWithEncodedNames) {
  const fs::path item = root / "My Photos/Sommer % 2024 ü.jpg";
  Write(item, "summer");
  EXPECT_TRUE(QXFileMgrCanRecycleItem(URL(item).get()));
  ASSERT_EQ(Recycle(item), 0);
  EXPECT_FALSE(fs::exists(item));
  EXPECT_EQ(Read(trash / "files/Sommer % 2024 ü.jpg"), "summer");
  const std::string info = Read(trash / "info/Sommer % 2024 ü.jpg.trashinfo");
  const std::string encoded = root.string() + "/My%20Photos/Sommer%20%25%202024%20%C3%BC.jpg";
  EXPECT_TRUE(std::regex_match(info, std::regex("\\[Trash Info\\]\nPath=" + encoded +
                                                "\nDeletionDate=\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\n")))
      << info;

  // The former folder is gone too: the restore makes it again.
  fs::remove_all(root / "My Photos");
  EXPECT_EQ(Back(item), "summer");
  EXPECT_TRUE(fs::is_empty(trash / "files") && fs::is_empty(trash / "info"));
  EXPECT_EQ((Codes{Restore(item), Restore(root / "never-trashed")}), (Codes{kQXFileMgrErrFileExists, kNoMatch}));

  // Folders travel whole, links inside them stay links.
  Write(root / "album/a.jpg", "a");
  fs::create_symlink("a.jpg", root / "album/alias");
  ASSERT_EQ(Recycle(root / "album"), 0);
  EXPECT_EQ(Restore(root / "album"), 0);
  EXPECT_EQ(Read(root / "album/a.jpg"), "a");
  EXPECT_EQ(fs::read_symlink(root / "album/alias"), "a.jpg");
}

TEST_F(TrashTest, SameNameTwiceAndTheNewestComesBack) {
  const fs::path item = root / "doc.txt";
  for (const auto& [path, contents] :
       {std::pair{item, "first"}, {item, "second"}, {root / "other/doc.txt", "elsewhere"}}) {
    Write(path, contents);
    ASSERT_EQ(Recycle(path), 0);
  }
  EXPECT_EQ(Names(trash / "files"), (std::vector<std::string>{"doc 1.txt", "doc 2.txt", "doc.txt"}));
  EXPECT_EQ(Back(item), "second");
  EXPECT_EQ(Restore(item), kQXFileMgrErrFileExists);
  fs::remove(item);
  EXPECT_EQ(Back(item), "first");
  fs::remove(item);
  EXPECT_EQ(Restore(item), kNoMatch) << "the other doc.txt came from another folder";
  EXPECT_EQ(Back(root / "other/doc.txt"), "elsewhere");

  // Records that do not parse, or whose item is gone, are passed over.
  Write(trash / "info/bad.trashinfo", "[Trash Info]\nPath=" + root.string() + "/bad%zz\nDeletionDate=x\n");
  Write(trash / "info/orphan.trashinfo", "[Trash Info]\nPath=" + root.string() + "/orphan\nDeletionDate=x\n");
  Write(trash / "info/nogroup.trashinfo", "Path=" + root.string() + "/nogroup\n");
  Write(trash / "files/nogroup", "n");
  EXPECT_EQ((Codes{Restore(root / "orphan"), Restore(root / "nogroup")}), (Codes{kNoMatch, kNoMatch}));

  // A name of the longest length the file system allows still fits in the trash.
  std::string utf8Long = root.string() + "/" + std::string(120, 'x');
  for (int i = 0; i < 64; ++i) utf8Long += "\xC3\xBC";
  utf8Long += ".jpg";  // 252 bytes
  Write(utf8Long, "long");
  ASSERT_EQ(Recycle(utf8Long), 0);
  EXPECT_EQ(Back(utf8Long), "long");

  EXPECT_EQ((Codes{Recycle(root / "missing"), QXFileMgrRecycleItemCopy(Web().get(), nullptr),
                   QXFileMgrRestoreRecycledItem(Web().get(), nullptr)}),
            (Codes{ENOENT, kQXErrGeneric, kQXErrGeneric}));
}

TEST_F(TrashTest, HomeTrashThatCannotBeMade) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  Write(root / "item.txt", "x");
  fs::create_directories(root / ".local/share");
  fs::permissions(root / ".local/share", fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_FALSE(QXFileMgrCanRecycleItem(URL(root / "item.txt").get()));
  EXPECT_NE(Recycle(root / "item.txt"), 0);
  EXPECT_EQ(Read(root / "item.txt"), "x") << "a failed recycle leaves the item";
  fs::permissions(root / ".local/share", fs::perms::owner_all);
  EXPECT_TRUE(QXFileMgrCanRecycleItem(URL(root / "item.txt").get()));
}

// The home trash is found the way every other home folder is: without HOME, through the password
// database (only the path is computed here; nothing outside the private home is touched).
TEST_F(TrashTest, HomeTrashWithoutHOMEUsesThePasswordDatabase) {
  EXPECT_EQ(qx::testing::HomeTrashFolder(), trash.string());
  unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(qx::testing::HomeTrashFolder(), (root / ".local/share/Trash").string());
  struct passwd* entry = getpwuid(getuid());
  if (!entry || !entry->pw_dir || entry->pw_dir[0] != '/') GTEST_SKIP() << "no password entry";
  const std::string expected = std::string(entry->pw_dir) + "/.local/share/Trash";
  unsetenv("HOME");
  EXPECT_EQ(qx::testing::HomeTrashFolder(), expected);
  setenv("HOME", "relative/home", 1);
  EXPECT_EQ(qx::testing::HomeTrashFolder(), expected) << "a relative HOME is ignored";
}

TEST_F(TrashTest, OtherFileSystemsUseTheirOwnTrash) {
  // Remove only what this test made in the shared /dev/shm trash.
  const fs::path topTrash = OtherFileSystem(root) / (".Trash-" + std::to_string(getuid()));
  const bool trashExisted = fs::exists(topTrash);
  const fs::path dir = OtherFileSystemFolder(root);
  if (dir.empty()) GTEST_SKIP() << "no second writable file system";
  const fs::path item = dir / "remote file.txt";
  Write(item, "remote");
  EXPECT_TRUE(QXFileMgrCanRecycleItem(URL(item).get()));
  ASSERT_EQ(Recycle(item), 0);
  EXPECT_FALSE(fs::exists(trash / "files/remote file.txt")) << "never copied into the home trash";
  std::string name;
  for (const auto& entry : fs::directory_iterator(topTrash / "info")) {
    std::string info = Read(entry.path());
    // Top-directory trashes record paths relative to the top directory.
    if (info.find("Path=" + dir.filename().string() + "/remote%20file.txt\n") != std::string::npos)
      name = entry.path().stem().string();
  }
  ASSERT_FALSE(name.empty());
  EXPECT_EQ(Read(topTrash / "files" / name), "remote");
  EXPECT_EQ(fs::status(topTrash).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(Back(item), "remote");

  // Reached through a link from the home file system, the item still goes to its own file
  // system's trash, and comes back by the path it was trashed under.
  fs::create_directory_symlink(dir, root / "shm-link");
  const fs::path viaLink = root / "shm-link/linked.txt";
  Write(viaLink, "linked");
  ASSERT_EQ(Recycle(viaLink), 0);
  EXPECT_FALSE(fs::exists(dir / (".Trash-" + std::to_string(getuid()))) || fs::exists(trash / "files/linked.txt"));
  EXPECT_TRUE(fs::exists(topTrash / "files/linked.txt"));
  EXPECT_EQ(Back(viaLink), "linked");

  fs::remove_all(dir);
  if (!trashExisted) fs::remove_all(topTrash);
}

}  // namespace
