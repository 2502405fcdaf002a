// The disk store on its own (each test has its own store and base folder).
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <tuple>

#include "cf/CFRef.h"
#include "core/Handle.h"
#include "image/ImageRec.h"
#include "image/ImageTile.h"
#include "image/TileStore.h"
#include "tests/image/ImageTestSupport.h"

namespace {

namespace fs = std::filesystem;
using qxtest::Image;

// A held tile; fields are read without the sanitizer's type check (the library exports no type info).
class HeldTile : public qxtest::NativeTile {
 public:
  HeldTile(const Image& image, int32_t row, int32_t col) : NativeTile(image, row, col) {
    mTile = QXTileRef(*this) ? qx::fromHandle(QXTileRef(*this)) : nullptr;
  }
  CImageTile* get() const { return mTile; }
  __attribute__((no_sanitize("vptr"))) size_t size() const { return size_t(mTile->mAllocSize); }
  __attribute__((no_sanitize("vptr"))) int32_t slot() const { return mTile->mStoreSlot; }
  std::string bytes() const { return std::string(reinterpret_cast<char*>(data()), size()); }
  static uint8_t At(uint8_t seed, size_t i) { return uint8_t(seed + i * 7 + i / 4093); }
  void Fill(uint8_t seed) const {
    for (size_t i = 0; i < size(); ++i) data()[i] = At(seed, i);
  }
  void Clear() const { std::fill(data(), data() + size(), 0); }
  bool Holds(uint8_t seed) const {
    for (size_t i = 0; i < size(); ++i)
      if (data()[i] != At(seed, i)) return false;
    return true;
  }

 private:
  CImageTile* mTile = nullptr;
};

CImageRec* Rec(const Image& image) { return qx::fromHandle(image.get()); }

int64_t SizeOf(const fs::path& path) { return int64_t(fs::file_size(path)); }

std::string Slice(const fs::path& path, int64_t offset, size_t count) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes(count, '\0');
  in.seekg(offset).read(bytes.data(), std::streamsize(count));
  return bytes.substr(0, size_t(in.gcount()));
}

// Whether this process holds `path` open.
bool IsOpen(const fs::path& path) {
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (fs::read_symlink(entry.path(), ec) == path && !ec) return true;
  }
  return false;
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
    return ProcessFolder() / ("Image-" + std::to_string(QXImageGetInternalID(image)));
  }
  int32_t Write(std::vector<CImageTile*> tiles) {
    auto array = qxcf::adopt(CFArrayCreate(nullptr, const_cast<const void**>(reinterpret_cast<void**>(tiles.data())),
                                           CFIndex(tiles.size()), nullptr));
    return store->WriteTiles(array.get());
  }
  int32_t WriteTile(const Image& image, int32_t row, int32_t col) { return Write({HeldTile(image, row, col).get()}); }
  // Clears the tile and reads it back from its slot: it must hold `seed`'s bytes again.
  bool ReadsBack(const HeldTile& tile, uint8_t seed) {
    tile.Clear();
    return store->ReadTile(tile.get()) == 0 && tile.Holds(seed);
  }
  // Holds the lock of `folder` as a process we cannot see would.
  static int HoldLock(const fs::path& folder) {
    const int fd = ::open((folder / ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    EXPECT_TRUE(fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0);
    return fd;
  }

  qxtest::TempHome home;
  fs::path base;
  qx::Ref<CTileStoreFile> store;
};

TEST_F(TileStoreTest, SlotsAreHandedOutInWriteOrderAndRewrittenInPlace) {
  Image image(QXRect{0, 0, 1000, 700}, 16, 3);
  const int64_t T = 6 * 65536;
  EXPECT_EQ(store->ProcessFolder(), "");
  // Slots follow the order of first writes, whatever the place in the grid; a rewrite stays put.
  const struct { int32_t row, col, seed, slot; } writes[] = {{2, 3, 1, 0}, {0, 0, 2, 1}, {2, 3, 3, 0}, {1, 1, 4, 2}};
  for (const auto& w : writes) {
    HeldTile tile(image, w.row, w.col);
    ASSERT_EQ(int64_t(tile.size()), T);
    tile.Fill(uint8_t(w.seed));
    ASSERT_EQ(0, Write({tile.get()}));
    EXPECT_EQ(tile.slot(), w.slot);
    EXPECT_EQ(Slice(FileOf(image), w.slot * T, size_t(T)), tile.bytes()) << w.seed;
  }
  EXPECT_EQ(SizeOf(FileOf(image)), 3 * T);
  EXPECT_EQ(store->ProcessFolder(), ProcessFolder().string());
  struct stat folder = {}, file = {};
  ASSERT_TRUE(::lstat(ProcessFolder().c_str(), &folder) == 0 && ::lstat(FileOf(image).c_str(), &file) == 0);
  EXPECT_TRUE(S_ISDIR(folder.st_mode) && (folder.st_mode & 07777) == 0700 && (file.st_mode & 07777) == 0600);
  {
    // Reads bring back each tile's own bytes; a tile never written has no slot to read.
    HeldTile first(image, 2, 3), second(image, 0, 0), never(image, 1, 2);
    EXPECT_TRUE(ReadsBack(second, 2) && ReadsBack(first, 3));
    EXPECT_EQ(never.slot(), -1);
    EXPECT_EQ(EINVAL, store->ReadTile(never.get()));
  }

  EXPECT_EQ(1u, store->OpenFiles());
  EXPECT_EQ(0, store->RemoveImage(Rec(image)));
  EXPECT_FALSE(fs::exists(FileOf(image)) || IsOpen(FileOf(image)));
  EXPECT_EQ(store->OpenFiles(), 0u);
  EXPECT_EQ(0, store->RemoveImage(Rec(image)));  // unknown now: nothing to do
}

// A slot cut short, or a rewrite failed halfway, is never handed out as the tile; the caller keeps its pixels.
TEST_F(TileStoreTest, DamagedSlotsAreReadFailures) {
  Image image(QXRect{0, 0, 512, 256}, 8, 1);
  const int64_t T = 65536;
  qxtest::Touch(image, 0, 1);
  HeldTile a(image, 0, 0), b(image, 0, 1);
  a.Fill(1);
  b.Fill(2);
  ASSERT_EQ(0, Write({a.get(), b.get()}));
  EXPECT_TRUE(a.slot() == 0 && b.slot() == 1);
  ASSERT_EQ(0, ::truncate(FileOf(image).c_str(), T + T / 2));
  b.Clear();
  EXPECT_EQ(EIO, store->ReadTile(b.get()));
  EXPECT_EQ(b.slot(), 1);

  // The file may grow only to the middle of the second slot: rewriting it fails halfway.
  struct rlimit saved {};
  ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &saved));
  auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = rlim_t(T + T / 2);
  ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &small));
  ASSERT_EQ(0, ::truncate(FileOf(image).c_str(), T));
  b.Fill(3);
  const int32_t failed = Write({b.get()});
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, oldHandler);
  EXPECT_TRUE(failed == EFBIG && b.slot() == 1 && SizeOf(FileOf(image)) == T + T / 2);
  EXPECT_EQ(ENOENT, store->ReadTile(b.get()));
  EXPECT_TRUE(b.Holds(3));
  EXPECT_TRUE(ReadsBack(a, 1));
  // Written again once there is room, the slot holds the tile.
  ASSERT_EQ(0, Write({b.get()}));
  EXPECT_TRUE(ReadsBack(b, 3));
  EXPECT_EQ(0, store->RemoveImage(Rec(image)));
}

TEST_F(TileStoreTest, AtMostAHundredFilesAreOpen) {
  constexpr int kImages = 105;
  std::vector<std::unique_ptr<Image>> images;
  for (int i = 0; i < kImages; ++i) {
    images.push_back(std::make_unique<Image>(QXRect{0, 0, 256, 256}, 8, 1));
    HeldTile tile(*images.back(), 0, 0);
    tile.Fill(uint8_t(i));
    ASSERT_EQ(0, Write({tile.get()})) << i;
    ASSERT_LE(store->OpenFiles(), CTileStoreFile::kMaxOpenFiles);
  }
  // The files of the five images stored first were closed.
  for (int i = 0; i < kImages; ++i) EXPECT_EQ(IsOpen(FileOf(*images[size_t(i)])), i >= 5) << i;
  // The earliest file is reopened without losing its slot, closing the next earliest.
  EXPECT_TRUE(ReadsBack(HeldTile(*images[0], 0, 0), 0));
  EXPECT_TRUE(IsOpen(FileOf(*images[0])) && !IsOpen(FileOf(*images[5])));
  EXPECT_EQ(store->OpenFiles(), CTileStoreFile::kMaxOpenFiles);
  {
    // A rewrite after reopening stays in the one slot.
    HeldTile tile(*images[5], 0, 0);
    ASSERT_EQ(0, Write({tile.get()}));
    EXPECT_TRUE(tile.slot() == 0 && SizeOf(FileOf(*images[5])) == 65536);
  }
  EXPECT_FALSE(IsOpen(FileOf(*images[1])));
  for (auto& image : images) EXPECT_EQ(0, store->RemoveImage(Rec(*image)));
  EXPECT_EQ(store->OpenFiles(), 0u);
  std::vector<fs::path> left;
  for (const auto& entry : fs::directory_iterator(ProcessFolder())) left.push_back(entry.path().filename());
  EXPECT_EQ(left, std::vector<fs::path>{".lock"});
}

TEST_F(TileStoreTest, UnsafeProcessFolderIsRefused) {
  Image image(QXRect{0, 0, 256, 256}, 8, 1);
  const fs::path elsewhere = home.root() / "elsewhere";
  fs::create_directories(elsewhere);
  // A link planted where the folder goes: nothing is written through it, nor removed; a file there.
  fs::create_directory_symlink(elsewhere, ProcessFolder());
  EXPECT_EQ(ELOOP, WriteTile(image, 0, 0));
  EXPECT_EQ(ELOOP, store->Prepare());
  store->Shutdown();
  EXPECT_TRUE(fs::is_symlink(ProcessFolder()) && fs::is_empty(elsewhere));
  fs::remove(ProcessFolder());
  std::ofstream(ProcessFolder()) << "x";
  EXPECT_EQ(ENOTDIR, store->Prepare());
  fs::remove(ProcessFolder());
  // A folder of another user.
  if (::geteuid() == 0) {
    fs::create_directory(ProcessFolder());
    ASSERT_EQ(0, ::chown(ProcessFolder().c_str(), 4321, 4321));
    EXPECT_EQ(EACCES, store->Prepare());
    EXPECT_TRUE(fs::is_empty(ProcessFolder()));
    fs::remove(ProcessFolder());
  }
  // A folder locked by a process we cannot see (another PID namespace, same number).
  fs::create_directory(ProcessFolder());
  ::chmod(ProcessFolder().c_str(), 0777);
  const int held = HoldLock(ProcessFolder());
  EXPECT_EQ(EBUSY, store->Prepare());
  ::close(held);
  // Our own folder, unlocked and with loose permissions, is taken over and tightened.
  ASSERT_EQ(0, store->Prepare());
  struct stat st {};
  ASSERT_EQ(0, ::stat(ProcessFolder().c_str(), &st));
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  // A stale image file of a dead process with our number is emptied, not read as ours.
  std::ofstream(FileOf(image)) << std::string(3 * 65536, 'z');
  ASSERT_EQ(0, WriteTile(image, 0, 0));
  EXPECT_EQ(SizeOf(FileOf(image)), 65536);
  EXPECT_EQ(0, store->RemoveImage(Rec(image)));
}

TEST_F(TileStoreTest, ShutdownSweepsOnlyFoldersOfDeadProcesses) {
  std::vector<pid_t> dead;  // numbers no process has, counted down from the top of the range
  for (pid_t pid = 4194303; pid > 1 && dead.size() < 4; --pid)
    if (::kill(pid, 0) != 0 && errno == ESRCH) dead.push_back(pid);
  ASSERT_EQ(dead.size(), 4u);
  auto name = [](pid_t pid) { return "QXImageCache-" + std::to_string(pid); };
  const fs::path outside = home.root() / "outside";
  fs::create_directories(outside / "keep");
  std::ofstream(outside / "keep" / "file") << "precious";
  // A dead process's folder with files and a link out of it: all goes but the target.
  const fs::path stale = base / name(dead[0]);
  fs::create_directories(stale / "sub");
  std::ofstream(stale / "Image-3") << "old tile";
  std::ofstream(stale / ".lock");
  fs::create_directory_symlink(outside / "keep", stale / "sub" / "escape");
  // A dead process's folder whose lock another open file holds: in use by a process we cannot see.
  const fs::path locked = base / name(dead[1]);
  fs::create_directories(locked);
  const int held = HoldLock(locked);
  // A link named like a dead process's folder (the link goes), and a folder without a lock file.
  fs::create_directory_symlink(outside, base / name(dead[2]));
  fs::create_directories(base / name(dead[3]));
  // Running processes and names that only look alike are kept.
  const std::vector<std::string> kept = {
      name(::getppid()),  name(1),     "QXImageCache-999-old", "QXImageCache-", "QXImageCache-+12", "QXImageCache-12a",
      "QXImageCacheX-12", "unrelated", "QXTempCacheFile.txt"};
  for (const auto& one : kept) fs::create_directories(base / one);

  Image image(QXRect{0, 0, 512, 256}, 8, 1);
  ASSERT_EQ(0, WriteTile(image, 0, 0));
  store->Shutdown();
  EXPECT_FALSE(fs::exists(fs::symlink_status(stale)) || fs::exists(fs::symlink_status(base / name(dead[2]))) ||
               fs::exists(base / name(dead[3])) || fs::exists(ProcessFolder()));
  EXPECT_TRUE(fs::exists(locked / ".lock"));
  EXPECT_EQ(Slice(outside / "keep" / "file", 0, 100), "precious");
  for (const auto& one : kept) EXPECT_TRUE(fs::is_directory(base / one)) << one;
  EXPECT_TRUE(store->OpenFiles() == 0u && store->ProcessFolder() == "");
  ::close(held);

  // Once the lock is gone the folder is swept. A later access makes a fresh folder; the tile stored
  // before the shutdown lost its bytes and says so, and its slot is not reused.
  store->Shutdown();
  EXPECT_FALSE(fs::exists(locked));
  qxtest::Touch(image, 0, 1);
  {
    HeldTile old(image, 0, 0), fresh(image, 0, 1);
    EXPECT_EQ(old.slot(), 0);
    fresh.Fill(5);
    ASSERT_EQ(0, Write({fresh.get()}));
    EXPECT_TRUE(fresh.slot() == 1 && fs::exists(ProcessFolder() / ".lock"));
    EXPECT_EQ(ENOENT, store->ReadTile(old.get()));
    EXPECT_TRUE(ReadsBack(fresh, 5));
  }
  store->Shutdown();
  EXPECT_FALSE(fs::exists(ProcessFolder()));
  EXPECT_EQ(0, store->RemoveImage(Rec(image)));
}

// A record forgotten by the store while its tiles keep their slots: a tile's next write keeps its
// slot, later tiles get others, a hole in the file is not a tile.
TEST_F(TileStoreTest, ForgottenImageNeverReusesASlotStillHeld) {
  Image image(QXRect{0, 0, 512, 512}, 8, 1);
  qxtest::Touch(image, 0, 1);
  qxtest::Touch(image, 1, 0);
  {
    HeldTile a(image, 0, 0), b(image, 0, 1);
    ASSERT_EQ(0, Write({a.get(), b.get()}));
  }
  EXPECT_EQ(0, store->RemoveImage(Rec(image)));
  HeldTile a(image, 0, 0), b(image, 0, 1), c(image, 1, 0);
  EXPECT_EQ(ENOENT, store->ReadTile(b.get()));
  b.Fill(1);
  ASSERT_EQ(0, Write({b.get(), c.get()}));
  EXPECT_TRUE(b.slot() == 1 && c.slot() == 2);
  EXPECT_TRUE(ReadsBack(b, 1));
  EXPECT_EQ(ENOENT, store->ReadTile(a.get()));
  EXPECT_EQ(0, store->RemoveImage(Rec(image)));
}

}  // namespace
