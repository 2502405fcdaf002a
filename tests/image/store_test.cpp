// The disk store on its own: slots in per-image files, the open-file rule, the process folder's
// safety checks and the shutdown sweep. Each test has its own store and base folder; the
// process-wide cache never spills here (its budget is far above these images).
#include <QXCore/QXImage.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cf/CFRef.h"
#include "core/Handle.h"
#include "image/ImageRec.h"
#include "image/ImageTile.h"
#include "image/TileStore.h"
#include "tests/support/TempHome.h"

namespace {

namespace fs = std::filesystem;

struct Image {
  Image(int32_t width, int32_t height, int32_t depth, int32_t planes) {
    EXPECT_EQ(0, QXImageCreateWithParams(QXRect{0, 0, width, height}, depth, planes, &ref));
  }
  ~Image() {
    if (ref) QXImageRelease(ref);
  }
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;
  CImageRec* rec() const { return qx::fromHandle(ref); }
  __attribute__((no_sanitize("vptr"))) int32_t internalID() const { return rec()->mInternalID; }
  QXImageRef ref = nullptr;
};

// A resident tile of a tiled record, its use lock held while this lives. Only the public
// functions touch the tile; its fields are read directly.
class HeldTile {
 public:
  HeldTile(const Image& image, int32_t row, int32_t col) {
    EXPECT_EQ(0, QXImageGetNativeTile(image.ref, row, col, &mRef));
    mTile = mRef ? qx::fromHandle(mRef) : nullptr;
  }
  ~HeldTile() {
    if (mRef) QXTileReleaseUse(mRef);
  }
  HeldTile(const HeldTile&) = delete;
  HeldTile& operator=(const HeldTile&) = delete;
  CImageTile* get() const { return mTile; }
  uint8_t* data() const { return static_cast<uint8_t*>(QXTileGetDataPtr(mRef)); }
  // Fields are read without the sanitizer's type check, which needs the class's type information
  // (not exported by the library).
  __attribute__((no_sanitize("vptr"))) size_t size() const { return size_t(mTile->mAllocSize); }
  __attribute__((no_sanitize("vptr"))) int32_t slot() const { return mTile->mStoreSlot; }
  void Fill(uint8_t seed) const {
    for (size_t i = 0; i < size(); ++i) data()[i] = uint8_t(seed + i * 7 + i / 4093);
  }
  bool Holds(uint8_t seed) const {
    for (size_t i = 0; i < size(); ++i) {
      if (data()[i] != uint8_t(seed + i * 7 + i / 4093)) return false;
    }
    return true;
  }

 private:
  QXTileRef mRef = nullptr;
  CImageTile* mTile = nullptr;
};

// Makes a tile resident without holding it, so that several can then be held at once.
void Touch(const Image& image, int32_t row, int32_t col) { HeldTile tile(image, row, col); }

int32_t Write(CTileStoreFile& store, std::vector<CImageTile*> tiles) {
  auto array = qxcf::adopt(CFArrayCreate(nullptr, const_cast<const void**>(reinterpret_cast<void**>(tiles.data())),
                                         CFIndex(tiles.size()), nullptr));
  return store.WriteTiles(array.get());
}

int64_t SizeOf(const fs::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
}

std::string Slice(const fs::path& path, int64_t offset, size_t count) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(offset);
  std::string bytes(count, '\0');
  in.read(bytes.data(), std::streamsize(count));
  return bytes.substr(0, size_t(in.gcount()));
}

// Paths of every file this process holds open.
std::vector<std::string> OpenPaths() {
  std::vector<std::string> paths;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    fs::path target = fs::read_symlink(entry.path(), ec);
    if (!ec) paths.push_back(target.string());
  }
  return paths;
}

bool IsOpen(const fs::path& path) {
  for (const auto& open : OpenPaths()) {
    if (open == path.string()) return true;
  }
  return false;
}

// Process numbers that no process has right now, counted down from the top of the range.
std::vector<pid_t> DeadPids(size_t count) {
  std::vector<pid_t> pids;
  for (pid_t pid = 4194303; pid > 1 && pids.size() < count; --pid) {
    if (::kill(pid, 0) != 0 && errno == ESRCH) pids.push_back(pid);
  }
  return pids;
}

class TileStoreTest : public ::testing::Test {
 protected:
  TileStoreTest() : base(home.root() / "cache") {
    fs::create_directories(base);
    store = qx::make<CTileStoreFile>();
    store->SetBaseFolder(base.string());
  }
  fs::path ProcessFolder() const { return base / qximage::ProcessFolderName(); }
  fs::path FileOf(const Image& image) const {
    return ProcessFolder() / ("Image-" + std::to_string(image.internalID()));
  }

  qxtest::TempHome home;
  fs::path base;
  qx::Ref<CTileStoreFile> store;
};

TEST_F(TileStoreTest, SlotsAreHandedOutInWriteOrderAndRewrittenInPlace) {
  EXPECT_EQ(qximage::ProcessFolderName(), "QXImageCache-" + std::to_string(::getpid()));
  Image image(1000, 700, 16, 3);  // 4 x 3 tiles of 6 bytes per pixel
  Image other(300, 300, 8, 1);
  const int64_t T = 6 * 65536;
  EXPECT_EQ(store->ProcessFolder(), "");
  {
    HeldTile tile(image, 2, 3);
    ASSERT_EQ(int64_t(tile.size()), T);
    tile.Fill(1);
    ASSERT_EQ(0, Write(*store.get(), {tile.get()}));
    EXPECT_EQ(tile.slot(), 0);
  }
  EXPECT_EQ(store->ProcessFolder(), ProcessFolder().string());
  struct stat st {};
  ASSERT_EQ(0, ::lstat(ProcessFolder().c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(0, ::lstat(FileOf(image).c_str(), &st));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_size, T);

  std::string firstBytes;
  {
    // The next tile written goes to the next slot, whatever its place in the grid.
    HeldTile tile(image, 0, 0);
    tile.Fill(2);
    ASSERT_EQ(0, Write(*store.get(), {tile.get()}));
    EXPECT_EQ(tile.slot(), 1);
    EXPECT_EQ(SizeOf(FileOf(image)), 2 * T);
    EXPECT_EQ(Slice(FileOf(image), T, size_t(T)), std::string(reinterpret_cast<char*>(tile.data()), size_t(T)));
  }
  {
    HeldTile tile(image, 2, 3);
    tile.Fill(3);
    ASSERT_EQ(0, Write(*store.get(), {tile.get()}));
    EXPECT_EQ(tile.slot(), 0);
    EXPECT_EQ(SizeOf(FileOf(image)), 2 * T);
    firstBytes = std::string(reinterpret_cast<char*>(tile.data()), size_t(T));
  }
  EXPECT_EQ(Slice(FileOf(image), 0, size_t(T)), firstBytes);
  {
    // Several tiles in one call: the first new one after the rewrite gets slot 2.
    HeldTile a(image, 1, 1);
    a.Fill(4);
    ASSERT_EQ(0, Write(*store.get(), {a.get()}));
    EXPECT_EQ(a.slot(), 2);
  }
  {
    // Another image has a file of its own, starting at offset 0.
    HeldTile tile(other, 1, 0);
    tile.Fill(5);
    ASSERT_EQ(0, Write(*store.get(), {tile.get()}));
    EXPECT_EQ(tile.slot(), 0);
    EXPECT_EQ(SizeOf(FileOf(other)), 65536);
  }
  {
    // Reads bring back each tile's own bytes.
    HeldTile first(image, 2, 3), second(image, 0, 0);
    std::fill(first.data(), first.data() + first.size(), 0xEE);
    std::fill(second.data(), second.data() + second.size(), 0xEE);
    ASSERT_EQ(0, store->ReadTile(second.get()));
    ASSERT_EQ(0, store->ReadTile(first.get()));
    EXPECT_TRUE(first.Holds(3));
    EXPECT_TRUE(second.Holds(2));
  }
  {
    // A tile never written has no slot to read.
    HeldTile never(image, 1, 2);
    EXPECT_EQ(never.slot(), -1);
    EXPECT_EQ(EINVAL, store->ReadTile(never.get()));
  }

  EXPECT_EQ(2u, store->OpenFiles());
  EXPECT_EQ(0, store->RemoveImage(image.rec()));
  EXPECT_FALSE(fs::exists(FileOf(image)));
  EXPECT_FALSE(IsOpen(FileOf(image)));
  EXPECT_EQ(1u, store->OpenFiles());
  EXPECT_TRUE(fs::exists(FileOf(other)));
  EXPECT_EQ(0, store->RemoveImage(image.rec()));  // unknown now: nothing to do
  {
    // The image's slots went with its file: reading one is a failure, not stale or fresh bytes.
    HeldTile tile(image, 2, 3);
    std::fill(tile.data(), tile.data() + tile.size(), 0x11);
    EXPECT_EQ(ENOENT, store->ReadTile(tile.get()));
    EXPECT_EQ(tile.data()[100], 0x11);
  }
  EXPECT_EQ(0, store->RemoveImage(other.rec()));
}

TEST_F(TileStoreTest, ShortSlotIsAReadFailure) {
  Image image(512, 256, 8, 4);
  const int64_t T = 4 * 65536;
  Touch(image, 0, 1);
  {
    HeldTile a(image, 0, 0), b(image, 0, 1);
    a.Fill(9);
    b.Fill(10);
    ASSERT_EQ(0, Write(*store.get(), {a.get(), b.get()}));
    EXPECT_EQ(a.slot(), 0);
    EXPECT_EQ(b.slot(), 1);
  }
  // The file lost the end of the second slot (a full disk, someone truncating it).
  ASSERT_EQ(0, ::truncate(FileOf(image).c_str(), T + T / 2));
  HeldTile a(image, 0, 0), b(image, 0, 1);
  std::fill(b.data(), b.data() + b.size(), 0);
  EXPECT_EQ(EIO, store->ReadTile(b.get()));
  EXPECT_EQ(b.slot(), 1);
  std::fill(a.data(), a.data() + a.size(), 0);
  EXPECT_EQ(0, store->ReadTile(a.get()));
  EXPECT_TRUE(a.Holds(9));
  EXPECT_EQ(0, store->RemoveImage(image.rec()));
}

TEST_F(TileStoreTest, FailedWriteLeavesNoBytesToReadBack) {
  Image image(512, 256, 8, 1);
  const int64_t T = 65536;
  Touch(image, 0, 1);
  HeldTile a(image, 0, 0), b(image, 0, 1);
  a.Fill(1);
  b.Fill(2);
  ASSERT_EQ(0, Write(*store.get(), {a.get(), b.get()}));

  // The file may grow only to the middle of the second slot: rewriting it fails halfway.
  struct rlimit saved {};
  ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &saved));
  auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = rlim_t(T + T / 2);
  ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &small));
  ASSERT_EQ(0, ::truncate(FileOf(image).c_str(), T));
  b.Fill(3);
  const int32_t failed = Write(*store.get(), {b.get()});
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(failed, EFBIG);
  EXPECT_EQ(b.slot(), 1);
  EXPECT_EQ(SizeOf(FileOf(image)), T + T / 2);
  EXPECT_TRUE(b.Holds(3));  // the caller still has the pixels

  // The half-written slot is never handed out as the tile; the other slot is untouched.
  EXPECT_EQ(ENOENT, store->ReadTile(b.get()));
  EXPECT_TRUE(b.Holds(3));
  std::fill(a.data(), a.data() + a.size(), 0);
  ASSERT_EQ(0, store->ReadTile(a.get()));
  EXPECT_TRUE(a.Holds(1));

  // Written again once there is room, the slot holds the tile.
  ASSERT_EQ(0, Write(*store.get(), {b.get()}));
  std::fill(b.data(), b.data() + b.size(), 0);
  ASSERT_EQ(0, store->ReadTile(b.get()));
  EXPECT_TRUE(b.Holds(3));
  EXPECT_EQ(0, store->RemoveImage(image.rec()));
}

TEST_F(TileStoreTest, AtMostAHundredFilesAreOpen) {
  constexpr int kImages = 105;
  std::vector<std::unique_ptr<Image>> images;
  for (int i = 0; i < kImages; ++i) {
    images.push_back(std::make_unique<Image>(256, 256, 8, 1));
    HeldTile tile(*images.back(), 0, 0);
    tile.Fill(uint8_t(i));
    ASSERT_EQ(0, Write(*store.get(), {tile.get()})) << i;
    ASSERT_LE(store->OpenFiles(), CTileStoreFile::kMaxOpenFiles);
  }
  EXPECT_EQ(store->OpenFiles(), CTileStoreFile::kMaxOpenFiles);
  // The files of the five images stored first were closed, earliest first; the rest stay open.
  for (int i = 0; i < kImages; ++i) EXPECT_EQ(IsOpen(FileOf(*images[size_t(i)])), i >= 5) << i;

  // The earliest image's file is reopened without losing its slot, closing the next earliest.
  {
    HeldTile tile(*images[0], 0, 0);
    std::fill(tile.data(), tile.data() + tile.size(), 0);
    ASSERT_EQ(0, store->ReadTile(tile.get()));
    EXPECT_TRUE(tile.Holds(0));
  }
  EXPECT_TRUE(IsOpen(FileOf(*images[0])));
  EXPECT_FALSE(IsOpen(FileOf(*images[5])));
  EXPECT_EQ(store->OpenFiles(), CTileStoreFile::kMaxOpenFiles);
  {
    // A rewrite after reopening stays in the one slot.
    HeldTile tile(*images[5], 0, 0);
    tile.Fill(200);
    ASSERT_EQ(0, Write(*store.get(), {tile.get()}));
    EXPECT_EQ(tile.slot(), 0);
    EXPECT_EQ(SizeOf(FileOf(*images[5])), 65536);
  }
  EXPECT_FALSE(IsOpen(FileOf(*images[1])));

  for (auto& image : images) EXPECT_EQ(0, store->RemoveImage(image->rec()));
  EXPECT_EQ(store->OpenFiles(), 0u);
  EXPECT_EQ(fs::directory_iterator(ProcessFolder()) == fs::directory_iterator(), false);
  for (const auto& entry : fs::directory_iterator(ProcessFolder())) {
    EXPECT_EQ(entry.path().filename(), ".lock");
  }
}

TEST_F(TileStoreTest, UnsafeProcessFolderIsRefused) {
  Image image(256, 256, 8, 1);
  const fs::path elsewhere = home.root() / "elsewhere";
  fs::create_directories(elsewhere);

  // A link planted where the folder goes: nothing is written through it.
  fs::create_directory_symlink(elsewhere, ProcessFolder());
  {
    HeldTile tile(image, 0, 0);
    tile.Fill(1);
    EXPECT_EQ(ELOOP, Write(*store.get(), {tile.get()}));
    EXPECT_TRUE(tile.Holds(1));
  }
  EXPECT_EQ(ELOOP, store->Prepare());
  EXPECT_TRUE(fs::is_empty(elsewhere));
  store->Shutdown();
  EXPECT_TRUE(fs::is_symlink(ProcessFolder()));
  EXPECT_TRUE(fs::exists(elsewhere));
  fs::remove(ProcessFolder());

  // A file in its place.
  std::ofstream(ProcessFolder()) << "x";
  EXPECT_EQ(ENOTDIR, store->Prepare());
  fs::remove(ProcessFolder());

  // A folder of another user.
  fs::create_directory(ProcessFolder());
  if (::geteuid() == 0) {
    ASSERT_EQ(0, ::chown(ProcessFolder().c_str(), 4321, 4321));
    EXPECT_EQ(EACCES, store->Prepare());
    EXPECT_TRUE(fs::is_empty(ProcessFolder()));
  }
  fs::remove(ProcessFolder());

  // Our own folder left with loose permissions is taken over and tightened.
  fs::create_directory(ProcessFolder());
  ::chmod(ProcessFolder().c_str(), 0777);
  ASSERT_EQ(0, store->Prepare());
  struct stat st {};
  ASSERT_EQ(0, ::stat(ProcessFolder().c_str(), &st));
  EXPECT_EQ(st.st_mode & 07777, 0700u);

  // A stale image file of a dead process with our number is emptied, not read as ours.
  std::ofstream(FileOf(image)) << std::string(3 * 65536, 'z');
  {
    HeldTile tile(image, 0, 0);
    tile.Fill(7);
    ASSERT_EQ(0, Write(*store.get(), {tile.get()}));
    EXPECT_EQ(SizeOf(FileOf(image)), 65536);
  }
  EXPECT_EQ(0, store->RemoveImage(image.rec()));
}

TEST_F(TileStoreTest, LockedFolderIsNotTakenOver) {
  // The folder's lock is held by a process we cannot see (another PID namespace, same number).
  fs::create_directory(ProcessFolder(), base);
  ::chmod(ProcessFolder().c_str(), 0700);
  const int held = ::open((ProcessFolder() / ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(held, 0);
  ASSERT_EQ(0, ::flock(held, LOCK_EX | LOCK_NB));
  EXPECT_EQ(EBUSY, store->Prepare());
  ::close(held);
  EXPECT_EQ(0, store->Prepare());
}

TEST_F(TileStoreTest, ShutdownSweepsOnlyFoldersOfDeadProcesses) {
  const std::vector<pid_t> dead = DeadPids(4);
  ASSERT_EQ(dead.size(), 4u);
  auto name = [](pid_t pid) { return "QXImageCache-" + std::to_string(pid); };
  const fs::path outside = home.root() / "outside";
  fs::create_directories(outside / "keep");
  std::ofstream(outside / "keep" / "file") << "precious";

  // A dead process's folder with files, a sub-folder and a link out of it: all goes, the link's
  // target stays.
  const fs::path stale = base / name(dead[0]);
  fs::create_directories(stale / "sub");
  std::ofstream(stale / "Image-3") << "old tile";
  std::ofstream(stale / ".lock");
  fs::create_directory_symlink(outside / "keep", stale / "sub" / "escape");
  // A dead process's folder whose lock another open file holds: in use by a process we cannot see.
  const fs::path locked = base / name(dead[1]);
  fs::create_directories(locked);
  const int held = ::open((locked / ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(held, 0);
  ASSERT_EQ(0, ::flock(held, LOCK_EX | LOCK_NB));
  // A link named like a dead process's folder: the link goes, not what it points to.
  fs::create_directory_symlink(outside, base / name(dead[2]));
  // A dead process's folder from before the lock file existed.
  fs::create_directories(base / name(dead[3]));
  // Running processes and names that only look alike are kept.
  const std::vector<std::string> kept = {
      name(::getppid()),  name(1),     "QXImageCache-999-old", "QXImageCache-", "QXImageCache-+12", "QXImageCache-12a",
      "QXImageCacheX-12", "unrelated", "QXTempCacheFile.txt"};
  for (const auto& one : kept) fs::create_directories(base / one);

  Image image(512, 256, 8, 1);
  {
    HeldTile tile(image, 0, 0);
    ASSERT_EQ(0, Write(*store.get(), {tile.get()}));
  }
  ASSERT_TRUE(fs::exists(FileOf(image)));
  store->Shutdown();

  EXPECT_FALSE(fs::exists(fs::symlink_status(stale)));
  EXPECT_TRUE(fs::exists(locked / ".lock"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(base / name(dead[2]))));
  EXPECT_FALSE(fs::exists(base / name(dead[3])));
  EXPECT_EQ(Slice(outside / "keep" / "file", 0, 100), "precious");
  for (const auto& one : kept) EXPECT_TRUE(fs::is_directory(base / one)) << one;
  EXPECT_FALSE(fs::exists(ProcessFolder()));
  EXPECT_EQ(store->OpenFiles(), 0u);
  EXPECT_EQ(store->ProcessFolder(), "");
  ::close(held);

  // Once the lock is gone the folder is swept like any other. A later store access makes a fresh
  // folder; the tile stored before the shutdown lost its bytes and says so, and its slot is never
  // given to another tile.
  store->Shutdown();
  EXPECT_FALSE(fs::exists(locked));
  Touch(image, 0, 1);
  {
    HeldTile old(image, 0, 0), fresh(image, 0, 1);
    EXPECT_EQ(old.slot(), 0);
    fresh.Fill(5);
    ASSERT_EQ(0, Write(*store.get(), {fresh.get()}));
    EXPECT_EQ(fresh.slot(), 1);
    EXPECT_TRUE(fs::exists(ProcessFolder() / ".lock"));
    EXPECT_EQ(SizeOf(FileOf(image)), 2 * 65536);
    EXPECT_EQ(ENOENT, store->ReadTile(old.get()));
    std::fill(fresh.data(), fresh.data() + fresh.size(), 0);
    ASSERT_EQ(0, store->ReadTile(fresh.get()));
    EXPECT_TRUE(fresh.Holds(5));
  }
  store->Shutdown();
  EXPECT_FALSE(fs::exists(ProcessFolder()));
  EXPECT_EQ(0, store->RemoveImage(image.rec()));
}

TEST_F(TileStoreTest, ForgottenImageNeverReusesASlotStillHeld) {
  // A record forgotten by the store while one of its tiles keeps its slot (a caller that does not
  // reset slots): the tile's next write keeps that slot and later tiles get others.
  Image image(512, 512, 8, 1);
  Touch(image, 0, 1);
  Touch(image, 1, 0);
  {
    HeldTile a(image, 0, 0), b(image, 0, 1);
    ASSERT_EQ(0, Write(*store.get(), {a.get(), b.get()}));
  }
  EXPECT_EQ(0, store->RemoveImage(image.rec()));
  HeldTile b(image, 0, 1), c(image, 1, 0);
  EXPECT_EQ(ENOENT, store->ReadTile(b.get()));
  b.Fill(1);
  c.Fill(2);
  ASSERT_EQ(0, Write(*store.get(), {b.get(), c.get()}));
  EXPECT_EQ(b.slot(), 1);
  EXPECT_EQ(c.slot(), 2);
  std::fill(b.data(), b.data() + b.size(), 0);
  ASSERT_EQ(0, store->ReadTile(b.get()));
  EXPECT_TRUE(b.Holds(1));
  // Slot 0 was not written since: a hole in the file is not a tile.
  HeldTile a(image, 0, 0);
  EXPECT_EQ(ENOENT, store->ReadTile(a.get()));
  EXPECT_EQ(0, store->RemoveImage(image.rec()));
}

TEST_F(TileStoreTest, ConcurrentImagesKeepTheirOwnBytes) {
  constexpr int kThreads = 4;
  std::vector<std::unique_ptr<Image>> images;
  for (int i = 0; i < kThreads; ++i) images.push_back(std::make_unique<Image>(512, 512, 8, 2));
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const Image& image = *images[size_t(t)];
      for (int round = 0; round < 5; ++round) {
        for (int index = 0; index < 4; ++index) {
          HeldTile tile(image, index / 2, index % 2);
          const uint8_t seed = uint8_t(t * 50 + round * 8 + index);
          tile.Fill(seed);
          if (Write(*store.get(), {tile.get()}) != 0) ++failures;
          std::fill(tile.data(), tile.data() + tile.size(), 0);
          if (store->ReadTile(tile.get()) != 0 || !tile.Holds(seed)) ++failures;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  for (const auto& image : images) {
    EXPECT_EQ(SizeOf(FileOf(*image)), 4 * 2 * 65536);
    EXPECT_EQ(0, store->RemoveImage(image->rec()));
  }
}

}  // namespace
