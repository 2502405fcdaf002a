// Batch copy and move: rename on collision, kept times, order, failures, repeated performs.
#include <QXCore/QXFileMgr.h>
#include <gtest/gtest.h>

#include "files/CoreFileTesting.h"
#include "tests/files/FileTestSupport.h"

using namespace filetest;

namespace {

using Strings = std::vector<std::string>;

class FileOperation : public ::testing::Test {
 protected:
  qxtest::TempHome home;
  fs::path root = home.root();
  QXFileOperationRef op = QXFileOperationCreate();

  ~FileOperation() override { QXFileOperationRelease(op); }
  void Fresh() {
    QXFileOperationRelease(op);
    op = QXFileOperationCreate();
  }

  // Adds a copy (or a move) of `items` into `to` to the batch.
  static void Add(QXFileOperationRef batch, bool move, std::initializer_list<fs::path> items, const fs::path& to) {
    CFRef<CFMutableArrayRef> array = qxcf::adopt(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
    for (const auto& path : items) CFArrayAppendValue(array.get(), URL(path).get());
    EXPECT_EQ((move ? QXFileOperationMoveItems : QXFileOperationCopyItems)(batch, array.get(), URL(to, true).get()), 0);
  }
  // A new batch of one command, performed once: its status.
  static int32_t Once(bool move, std::initializer_list<fs::path> items, const fs::path& to) {
    QXFileOperationRef batch = QXFileOperationCreate();
    Add(batch, move, items, to);
    int32_t status = QXFileOperationPerformOperations(batch, nullptr);
    QXFileOperationRelease(batch);
    return status;
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
  Add(op, false, {root / "in/Photo.jpg", root / "in/Album"}, root / "out");
  EXPECT_EQ(Names(root / "out"), (Strings{"Album", "Photo.jpg"})) << "adding does nothing yet";
  EXPECT_EQ(QXFileOperationPerformOperations(op, nullptr), 0);
  EXPECT_EQ(Names(root / "out"), (Strings{"Album", "Album 1", "Photo 1.jpg", "Photo.jpg"}));
  EXPECT_EQ(ReadAll({root / "out/Photo.jpg", root / "out/Photo 1.jpg", root / "out/Album 1/p1.jpg"}),
            "old photo|new photo|one");
  EXPECT_EQ(MTime(root / "out/Photo 1.jpg").tv_sec, 1100000000);
  EXPECT_EQ(MTime(root / "out/Album 1/p1.jpg").tv_sec, 1100000001);
  EXPECT_TRUE(fs::exists(root / "in/Photo.jpg"));
  // The commands stay: performing again copies again, under the next free names.
  EXPECT_EQ(QXFileOperationPerformOperations(op, nullptr), 0);
  EXPECT_EQ(Names(root / "out"), (Strings{"Album", "Album 1", "Album 2", "Photo 1.jpg", "Photo 2.jpg", "Photo.jpg"}));

  // A copy into the item's own folder is named "copy", and again "copy1".
  Fresh();
  Add(op, false, {root / "in/Photo.jpg"}, root / "in");
  EXPECT_EQ(QXFileOperationPerformOperations(op, nullptr), 0);
  EXPECT_EQ(QXFileOperationPerformOperations(op, nullptr), 0);
  EXPECT_EQ(ReadAll({root / "in/Photo copy.jpg", root / "in/Photo copy1.jpg"}), "new photo|new photo");
}

TEST_F(FileOperation, MovesRunInOrderAndStopAtTheFirstFailure) {
  // Moves run in the order added; a move into the item's own folder does nothing.
  Write(root / "Photo.jpg", "p");
  Write(root / "Photo copy.jpg", "c");
  Write(root / "dest/Photo.jpg", "taken");
  Add(op, true, {root / "Photo.jpg", root / "Photo copy.jpg"}, root / "dest");
  Add(op, true, {root / "dest/Photo copy.jpg"}, root / "dest");
  Add(op, true, {root / "dest/Photo copy.jpg"}, root / "new/deeper");
  EXPECT_EQ(QXFileOperationPerformOperations(op, nullptr), 0);
  EXPECT_EQ(Names(root / "dest"), (Strings{"Photo 1.jpg", "Photo.jpg"}));
  EXPECT_EQ(Names(root / "new/deeper"), (Strings{"Photo copy.jpg"}));
  EXPECT_EQ(ReadAll({root / "dest/Photo 1.jpg", root / "dest/Photo.jpg"}), "p|taken");
  EXPECT_FALSE(fs::exists(root / "Photo.jpg"));
  // Performing again: the items are gone, so the first move fails with ENOENT.
  EXPECT_EQ(QXFileOperationPerformOperations(op, nullptr), ENOENT);

  Write(root / "a.txt", "a");
  Write(root / "b.txt", "b");
  Fresh();
  Add(op, false, {root / "a.txt", root / "missing.txt", root / "b.txt"}, root / "out");
  bool destroyed = false;
  auto* progress = new Progress(&destroyed);
  EXPECT_EQ(QXFileOperationPerformOperations(op, progress), ENOENT);
  EXPECT_EQ(Names(root / "out"), (Strings{"a.txt"})) << "nothing after the failure runs";
  EXPECT_EQ(progress->RefCount(), 2u);
  QXFileOperationPerformOperations(op, nullptr);
  EXPECT_EQ(progress->RefCount(), 1u) << "a later perform replaces the progress object";
  QXFileOperationPerformOperations(op, progress);
  progress->Release();
  EXPECT_FALSE(destroyed);
  Fresh();
  EXPECT_TRUE(destroyed);

  // Bad input: a folder copied into itself, a URL without a path, a destination that is a file.
  Write(root / "tree/x.txt", "x");
  EXPECT_EQ(Once(false, {root / "tree"}, root / "tree/inner"), EINVAL);
  EXPECT_EQ(Names(root / "tree"), (Strings{"inner", "x.txt"}));
  EXPECT_EQ(QXFileOperationCopyItems(op, Array({Web().get()}).get(), URL(root / "out", true).get()), 0);
  EXPECT_EQ(QXFileOperationPerformOperations(op, nullptr), kQXErrGeneric);
  EXPECT_EQ(Once(false, {root / "b.txt"}, root / "a.txt"), EEXIST);
  EXPECT_EQ(QXFileOperationCopyItems(op, nullptr, URL(root).get()), EINVAL);
}

// What a concurrent program does between the checks and the copy, injected at that moment.
fs::path gSwapFile, gSwapTo;  // this file becomes a link to gSwapTo once it has been examined
bool gClaim = false;          // the first chosen target is taken by someone else
void Interfere(const char* moment, const char* path) {
  if (std::string(moment) == "CopyTree.checked" && !gSwapFile.empty() && fs::path(path) == gSwapFile) {
    fs::remove(gSwapFile);
    fs::create_symlink(gSwapTo, gSwapFile);
  }
  if (std::string(moment) == "FileOperation.target" && std::exchange(gClaim, false)) Write(path, "theirs");
}

TEST_F(FileOperation, ChangesDuringTheCopyAreNeitherFollowedNorReplaced) {
  qx::testing::SetFileRaceHook(&Interfere);
  // A file swapped for a link to a private file after it was examined: the copy fails rather
  // than copying the private file's contents.
  Write(root / "secret.txt", "private");
  Write(root / "album/p.jpg", "photo");
  gSwapFile = root / "album/p.jpg";
  gSwapTo = root / "secret.txt";
  EXPECT_EQ(Once(false, {root / "album"}, root / "out"), ELOOP);
  EXPECT_FALSE(fs::exists(root / "out/album/p.jpg"));
  gSwapFile.clear();

  // A file that appears at the chosen name is kept; the copy and the move take the next name.
  Write(root / "Photo.jpg", "ours");
  Write(root / "dest/Photo.jpg", "first");
  gClaim = true;
  EXPECT_EQ(Once(false, {root / "Photo.jpg"}, root / "dest"), 0);
  EXPECT_EQ(ReadAll({root / "dest/Photo.jpg", root / "dest/Photo 1.jpg", root / "dest/Photo 2.jpg"}),
            "first|theirs|ours");
  gClaim = true;
  EXPECT_EQ(Once(true, {root / "Photo.jpg"}, root / "dest"), 0);
  EXPECT_EQ(ReadAll({root / "dest/Photo 3.jpg", root / "dest/Photo 4.jpg"}), "theirs|ours");
  EXPECT_FALSE(fs::exists(root / "Photo.jpg"));
  EXPECT_EQ(Names(root / "dest"), (Strings{"Photo 1.jpg", "Photo 2.jpg", "Photo 3.jpg", "Photo 4.jpg", "Photo.jpg"}))
      << "no temporary file left behind";
  qx::testing::SetFileRaceHook(nullptr);
}

}  // namespace
