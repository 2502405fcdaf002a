// Batch copy and move: rename on collision, kept times, order, failures, repeated performs.
#include <QXCore/QXFileMgr.h>
#include <gtest/gtest.h>

#include "files/CoreFileTesting.h"
#include "tests/files/FileTestSupport.h"

using namespace filetest;

namespace {

class FileOperation : public ::testing::Test {
 protected:
  qxtest::TempHome home;
  fs::path root = home.root();
  QXFileOperationRef op = QXFileOperationCreate();

  ~FileOperation() override { QXFileOperationRelease(op); }

  static CFRef<CFArrayRef> Items(std::initializer_list<fs::path> paths) {
    CFRef<CFMutableArrayRef> items = qxcf::adopt(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
    for (const auto& path : paths) CFArrayAppendValue(items.get(), URL(path).get());
    return CFRef<CFArrayRef>::retain(items.get());
  }
};

struct Progress : CBaseCore {
  explicit Progress(bool* destroyed) : mDestroyed(destroyed) {}
  ~Progress() override { *mDestroyed = true; }
  bool* mDestroyed;
};

TEST_F(FileOperation, CopiesRenameOnCollisionAndRunAgain) {
  Write(root / "in/Photo.jpg", "new photo");
  Write(root / "in/Album/p1.jpg", "one");
  SetMTime(root / "in/Photo.jpg", 1100000000, 0);
  SetMTime(root / "in/Album/p1.jpg", 1100000001, 0);
  Write(root / "out/Photo.jpg", "old photo");
  fs::create_directory(root / "out/Album");

  EXPECT_EQ(QXFileOperationCopyItems(op, Items({root / "in/Photo.jpg", root / "in/Album"}).get(),
                                     URL(root / "out", true).get()),
            0);
  EXPECT_EQ(Names(root / "out"), (std::vector<std::string>{"Album", "Photo.jpg"})) << "adding does nothing yet";
  EXPECT_EQ(QXFileOperationPerformOperations(op, nullptr), 0);
  EXPECT_EQ(Names(root / "out"), (std::vector<std::string>{"Album", "Album 1", "Photo 1.jpg", "Photo.jpg"}));
  EXPECT_EQ(Read(root / "out/Photo.jpg"), "old photo");
  EXPECT_EQ(Read(root / "out/Photo 1.jpg"), "new photo");
  EXPECT_EQ(MTime(root / "out/Photo 1.jpg").tv_sec, 1100000000);
  EXPECT_EQ(Read(root / "out/Album 1/p1.jpg"), "one");
  EXPECT_EQ(MTime(root / "out/Album 1/p1.jpg").tv_sec, 1100000001);
  EXPECT_TRUE(fs::exists(root / "in/Photo.jpg"));

  // The commands stay: performing again copies again, under the next free names.
  EXPECT_EQ(QXFileOperationPerformOperations(op, nullptr), 0);
  EXPECT_EQ(Names(root / "out"),
            (std::vector<std::string>{"Album", "Album 1", "Album 2", "Photo 1.jpg", "Photo 2.jpg", "Photo.jpg"}));

  // Names that are not UTF-8 are renamed by the same rule, byte for byte.
  const std::string latin = "caf\xE9.jpg";
  Write(root / "in" / latin, "in");
  Write(root / "out" / latin, "out");
  QXFileOperationRef more = QXFileOperationCreate();
  QXFileOperationCopyItems(more, Items({root / "in" / latin}).get(), URL(root / "out", true).get());
  QXFileOperationCopyItems(more, Items({root / "in" / latin}).get(), URL(root / "in", true).get());
  EXPECT_EQ(QXFileOperationPerformOperations(more, nullptr), 0);
  QXFileOperationRelease(more);
  EXPECT_EQ(Read(root / "out" / latin), "out");
  EXPECT_EQ(Read(root / "out" / "caf\xE9 1.jpg"), "in");
  EXPECT_EQ(Read(root / "in" / "caf\xE9 copy.jpg"), "in");
}

TEST_F(FileOperation, CopyIntoItsOwnFolderAndMoves) {
  Write(root / "Photo.jpg", "p");
  EXPECT_EQ(QXFileOperationCopyItems(op, Items({root / "Photo.jpg"}).get(), URL(root, true).get()), 0);
  EXPECT_EQ(QXFileOperationPerformOperations(op, nullptr), 0);
  EXPECT_EQ(QXFileOperationPerformOperations(op, nullptr), 0);
  EXPECT_EQ(Read(root / "Photo copy.jpg"), "p");
  EXPECT_EQ(Read(root / "Photo copy1.jpg"), "p");

  // Moves run after the copies, in the order added; a move into the item's own folder does nothing.
  QXFileOperationRef moves = QXFileOperationCreate();
  Write(root / "dest/Photo.jpg", "taken");
  QXFileOperationMoveItems(moves, Items({root / "Photo.jpg", root / "Photo copy.jpg"}).get(), URL(root / "dest").get());
  QXFileOperationMoveItems(moves, Items({root / "dest/Photo copy.jpg"}).get(), URL(root / "dest").get());
  QXFileOperationMoveItems(moves, Items({root / "dest/Photo copy.jpg"}).get(), URL(root / "new/deeper").get());
  EXPECT_EQ(QXFileOperationPerformOperations(moves, nullptr), 0);
  EXPECT_EQ(Names(root / "dest"), (std::vector<std::string>{"Photo 1.jpg", "Photo.jpg"}));
  EXPECT_EQ(Names(root / "new/deeper"), (std::vector<std::string>{"Photo copy.jpg"}));
  EXPECT_EQ(Read(root / "dest/Photo 1.jpg"), "p");
  EXPECT_EQ(Read(root / "dest/Photo.jpg"), "taken");
  EXPECT_FALSE(fs::exists(root / "Photo.jpg"));
  // Performing again: the items are gone, so the first move fails with ENOENT.
  EXPECT_EQ(QXFileOperationPerformOperations(moves, nullptr), ENOENT);
  QXFileOperationRelease(moves);
}

TEST_F(FileOperation, StopsAtTheFirstFailureAndKeepsProgress) {
  Write(root / "a.txt", "a");
  Write(root / "b.txt", "b");
  fs::create_directory(root / "out");
  QXFileOperationCopyItems(op, Items({root / "a.txt", root / "missing.txt", root / "b.txt"}).get(),
                           URL(root / "out", true).get());
  bool destroyed = false;
  auto* progress = new Progress(&destroyed);
  EXPECT_EQ(QXFileOperationPerformOperations(op, progress), ENOENT);
  EXPECT_EQ(Names(root / "out"), (std::vector<std::string>{"a.txt"})) << "nothing after the failure runs";
  EXPECT_EQ(progress->RefCount(), 2u);
  QXFileOperationPerformOperations(op, nullptr);
  EXPECT_EQ(progress->RefCount(), 1u) << "a later perform replaces the progress object";
  QXFileOperationPerformOperations(op, progress);
  progress->Release();
  EXPECT_FALSE(destroyed);
  QXFileOperationRelease(op);
  op = QXFileOperationCreate();
  EXPECT_TRUE(destroyed);

  // Bad input: a folder copied into itself, a URL without a path, a destination that is a file.
  Write(root / "tree/x.txt", "x");
  QXFileOperationRef bad = QXFileOperationCreate();
  QXFileOperationCopyItems(bad, Items({root / "tree"}).get(), URL(root / "tree/inner", true).get());
  EXPECT_EQ(QXFileOperationPerformOperations(bad, nullptr), EINVAL);
  EXPECT_EQ(Names(root / "tree"), (std::vector<std::string>{"inner", "x.txt"}));
  QXFileOperationRelease(bad);
  bad = QXFileOperationCreate();
  CFRef<CFURLRef> web = qxcf::adopt(CFURLCreateWithString(nullptr, CFSTR("http://example.com/x.txt"), nullptr));
  const void* values[] = {web.get()};
  CFRef<CFArrayRef> webItems = qxcf::adopt(CFArrayCreate(nullptr, values, 1, &kCFTypeArrayCallBacks));
  QXFileOperationCopyItems(bad, webItems.get(), URL(root / "out", true).get());
  EXPECT_EQ(QXFileOperationPerformOperations(bad, nullptr), -1);
  QXFileOperationRelease(bad);
  bad = QXFileOperationCreate();
  QXFileOperationCopyItems(bad, Items({root / "b.txt"}).get(), URL(root / "a.txt", true).get());
  EXPECT_EQ(QXFileOperationPerformOperations(bad, nullptr), EEXIST);
  QXFileOperationRelease(bad);
  EXPECT_EQ(QXFileOperationCopyItems(op, nullptr, URL(root).get()), EINVAL);
}

// What a concurrent program does between the checks and the copy, injected at that moment.
fs::path gSwapFile, gSwapTo;  // this file becomes a link to gSwapTo once it has been examined
fs::path gClaim;              // the first chosen target is taken by someone else
void Interfere(const char* moment, const char* path) {
  if (std::string(moment) == "CopyTree.checked" && !gSwapFile.empty() && fs::path(path) == gSwapFile) {
    fs::remove(gSwapFile);
    fs::create_symlink(gSwapTo, gSwapFile);
  }
  if (std::string(moment) == "FileOperation.target" && !gClaim.empty()) {
    Write(path, "theirs");
    gClaim.clear();
  }
}

TEST_F(FileOperation, ChangesDuringTheCopyAreNeitherFollowedNorReplaced) {
  qx::testing::SetFileRaceHook(&Interfere);
  // A file swapped for a link to a private file after it was examined: the copy fails rather
  // than copying the private file's contents.
  Write(root / "secret.txt", "private");
  Write(root / "album/p.jpg", "photo");
  gSwapFile = root / "album/p.jpg";
  gSwapTo = root / "secret.txt";
  QXFileOperationCopyItems(op, Items({root / "album"}).get(), URL(root / "out", true).get());
  EXPECT_EQ(QXFileOperationPerformOperations(op, nullptr), ELOOP);
  EXPECT_FALSE(fs::exists(root / "out/album/p.jpg"));
  gSwapFile.clear();

  // A file that appears at the chosen name is kept; the copy and the move take the next name.
  Write(root / "Photo.jpg", "ours");
  Write(root / "dest/Photo.jpg", "first");
  QXFileOperationRef batch = QXFileOperationCreate();
  QXFileOperationCopyItems(batch, Items({root / "Photo.jpg"}).get(), URL(root / "dest", true).get());
  gClaim = "yes";
  EXPECT_EQ(QXFileOperationPerformOperations(batch, nullptr), 0);
  QXFileOperationRelease(batch);
  EXPECT_EQ(Read(root / "dest/Photo.jpg"), "first");
  EXPECT_EQ(Read(root / "dest/Photo 1.jpg"), "theirs");
  EXPECT_EQ(Read(root / "dest/Photo 2.jpg"), "ours");
  batch = QXFileOperationCreate();
  QXFileOperationMoveItems(batch, Items({root / "Photo.jpg"}).get(), URL(root / "dest", true).get());
  gClaim = "yes";
  EXPECT_EQ(QXFileOperationPerformOperations(batch, nullptr), 0);
  QXFileOperationRelease(batch);
  EXPECT_EQ(Read(root / "dest/Photo 3.jpg"), "theirs");
  EXPECT_EQ(Read(root / "dest/Photo 4.jpg"), "ours");
  EXPECT_FALSE(fs::exists(root / "Photo.jpg"));
  EXPECT_EQ(Names(root / "dest"),
            (std::vector<std::string>{"Photo 1.jpg", "Photo 2.jpg", "Photo 3.jpg", "Photo 4.jpg", "Photo.jpg"}))
      << "no temporary file left behind";
  qx::testing::SetFileRaceHook(nullptr);
}

TEST_F(FileOperation, MovesAcrossFileSystems) {
  fs::path other = OtherFileSystem(root);
  if (other.empty()) GTEST_SKIP() << "no second writable file system";
  char pattern[] = "/dev/shm/qxtest-op-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const fs::path away = pattern;
  Write(away / "Photo.jpg", "remote");
  SetMTime(away / "Photo.jpg", 1400000000, 0);
  Write(root / "Photo.jpg", "local");
  QXFileOperationMoveItems(op, Items({away / "Photo.jpg"}).get(), URL(root, true).get());
  EXPECT_EQ(QXFileOperationPerformOperations(op, nullptr), 0);
  EXPECT_FALSE(fs::exists(away / "Photo.jpg"));
  EXPECT_EQ(Read(root / "Photo 1.jpg"), "remote");
  EXPECT_EQ(MTime(root / "Photo 1.jpg").tv_sec, 1400000000);
  EXPECT_EQ(Read(root / "Photo.jpg"), "local");
  fs::remove_all(away);
}

}  // namespace
