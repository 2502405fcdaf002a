// The tile cache through the public interface: grid geometry, the budget and purge order,
// keep-resident images, listeners, spilling to the disk store and back, store failures, and
// several threads on one image under a tiny budget.
#include <QXCore/QXImage.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TempHome.h"

namespace fs = std::filesystem;

namespace {

// One private TMPDIR for the whole process: the store fixes its folder on first use.
qxtest::TempHome& Home() {
  static qxtest::TempHome* home = new qxtest::TempHome;
  return *home;
}

fs::path CacheFolder() { return fs::path(Home().root()) / "tmp" / ("QXImageCache-" + std::to_string(getpid())); }

constexpr int64_t kRGBATile = 256 * 256 * 4;

struct Image {
  QXImageRef ref = nullptr;
  Image(int32_t width, int32_t height, int32_t depth, int32_t planes) {
    EXPECT_EQ(QXImageCreateWithParams(QXRect{0, 0, width, height}, depth, planes, &ref), 0);
  }
  ~Image() {
    if (ref) QXImageRelease(ref);
  }
  void Touch(int32_t row, int32_t col) {
    QXTileRef tile = nullptr;
    ASSERT_EQ(QXImageGetNativeTile(ref, row, col, &tile), 0);
    QXTileReleaseUse(tile);
  }
  bool Loaded(int32_t row, int32_t col) { return QXImageGetTileLoaded(ref, row, col); }
};

// Sets a budget for one test and puts a generous one back afterwards.
struct Budget {
  explicit Budget(double bytes) { QXImageSetCacheMemAbsolute(bytes); }
  ~Budget() { QXImageSetCacheMemAbsolute(double(int64_t(1) << 40)); }
};

uint8_t Pattern(int64_t x, int64_t y, int p) { return uint8_t((x * 7 + y * 13 + p * 101) ^ (y >> 3)); }

std::vector<uint8_t> PatternRows(QXRect r, int planes) {
  std::vector<uint8_t> bytes(size_t(r.width) * size_t(r.height) * size_t(planes));
  size_t i = 0;
  for (int y = r.y; y < r.y + r.height; ++y)
    for (int x = r.x; x < r.x + r.width; ++x)
      for (int p = 0; p < planes; ++p) bytes[i++] = Pattern(x, y, p);
  return bytes;
}

QXImageCacheStatistics Stats() {
  QXImageCacheStatistics s{};
  QXImageGetCacheStatistics(&s);
  return s;
}

}  // namespace

TEST(TileCache, GridGeometryAndTileAccess) {
  Home();
  Image image(1000, 700, 8, 4);
  QXTileRef tile = nullptr;
  // 4 x 3 tiles; (2, 3) covers 768-1023 x 512-767.
  ASSERT_EQ(QXImageGetNativeTile(image.ref, 2, 3, &tile), 0);
  QXRect b = QXTileGetBounds(tile);
  EXPECT_EQ(b.x, 768);
  EXPECT_EQ(b.y, 512);
  EXPECT_EQ(b.width, 256);
  EXPECT_EQ(b.height, 256);
  EXPECT_EQ(QXTileGetLock(tile), 1);
  EXPECT_TRUE(QXImageTileInUse(image.ref));
  QXTileReleaseUse(tile);
  EXPECT_FALSE(QXImageTileInUse(image.ref));
  // Outside the grid, in every direction.
  for (auto [r, c] : {std::pair{3, 0}, {0, 4}, {-1, 0}, {0, -1}, {1 << 20, 1 << 20}}) {
    tile = reinterpret_cast<QXTileRef>(&image);
    EXPECT_EQ(QXImageGetNativeTile(image.ref, r, c, &tile), -1) << r << "," << c;
    EXPECT_EQ(tile, nullptr);
    EXPECT_FALSE(QXImageGetTileLoaded(image.ref, r, c));
  }
  // Never-written pixels, including the invisible part of an edge tile, are zeros.
  ASSERT_EQ(QXImageGetNativeTile(image.ref, 2, 3, &tile), 0);
  const auto* data = static_cast<const uint8_t*>(QXTileGetDataPtr(tile));
  bool zeros = true;
  for (int64_t i = 0; i < kRGBATile; ++i) zeros = zeros && data[i] == 0;
  EXPECT_TRUE(zeros);
  QXTileReleaseUse(tile);
  // No-load access hands out a tile without data.
  ASSERT_EQ(QXImageGetNativeTile2(image.ref, 0, 0, kQXImageTileNoLoad, &tile), 0);
  EXPECT_EQ(QXTileGetDataPtr(tile), nullptr);
  QXTileReleaseUse(tile);
  EXPECT_FALSE(image.Loaded(0, 0));
}

TEST(TileCache, PurgesOldestResidentFirst) {
  Home();
  Image image(2048, 256, 8, 4);
  Budget budget(3.0 * kRGBATile);
  const int64_t usedBefore = Stats().used;
  image.Touch(0, 0);
  image.Touch(0, 1);
  image.Touch(0, 2);
  image.Touch(0, 0);  // used again: keeps its place as the oldest
  EXPECT_EQ(Stats().used - usedBefore, 3 * kRGBATile);
  image.Touch(0, 3);
  EXPECT_FALSE(image.Loaded(0, 0));
  EXPECT_TRUE(image.Loaded(0, 1));
  EXPECT_TRUE(image.Loaded(0, 2));
  EXPECT_TRUE(image.Loaded(0, 3));
  // A lower budget purges nothing until the next admission, which then purges down to it.
  QXImageSetCacheMemAbsolute(1.0 * kRGBATile);
  EXPECT_TRUE(image.Loaded(0, 1));
  image.Touch(0, 4);
  EXPECT_FALSE(image.Loaded(0, 1));
  EXPECT_FALSE(image.Loaded(0, 2));
  EXPECT_FALSE(image.Loaded(0, 3));
  EXPECT_TRUE(image.Loaded(0, 4));
}

TEST(TileCache, KeepResidentImagesStayAboveBudget) {
  Home();
  Image pinned(512, 256, 8, 4);
  Image other(1024, 256, 8, 4);
  Budget budget(1.0 * kRGBATile);
  EXPECT_FALSE(QXImageSetKeepResident(pinned.ref, 1));
  EXPECT_TRUE(pinned.Loaded(0, 0));
  EXPECT_TRUE(pinned.Loaded(0, 1));
  for (int c = 0; c < 4; ++c) other.Touch(0, c);
  EXPECT_TRUE(pinned.Loaded(0, 0));
  EXPECT_TRUE(pinned.Loaded(0, 1));
  EXPECT_FALSE(other.Loaded(0, 0));
  EXPECT_GT(Stats().used, Stats().budget);
  // Unpinned, its tiles are the oldest and go first.
  EXPECT_FALSE(QXImageSetKeepResident(pinned.ref, 0));
  other.Touch(0, 0);
  EXPECT_FALSE(pinned.Loaded(0, 0));
  EXPECT_FALSE(pinned.Loaded(0, 1));
}

namespace {
struct Heard {
  std::atomic<int> purged{0}, destroyed{0};
};
void Listen(QXImageMsg* message) {
  auto* heard = static_cast<Heard*>(message->refCon);
  (message->code == kQXImageMsgTilePurged ? heard->purged : heard->destroyed)++;
}
void Other(QXImageMsg*) {}
}  // namespace

TEST(TileCache, ListenersHearPurgesAndDestruction) {
  Home();
  Heard heard;
  ASSERT_EQ(QXImageRegisterMsgListener(Listen, &heard), 0);
  ASSERT_EQ(QXImageRegisterMsgListener(Listen, &heard), 0);  // twice: called twice
  {
    Image image(600, 300, 8, 1);  // 3 x 2 tiles
    image.Touch(0, 0);
    image.Touch(1, 2);
    EXPECT_EQ(QXImagePurge(image.ref), 0);
    EXPECT_EQ(heard.purged.load(), 4);
    EXPECT_FALSE(image.Loaded(0, 0));
  }
  EXPECT_EQ(heard.destroyed.load(), 12);
  EXPECT_EQ(QXImageUnRegisterMsgListener(Listen), 0);
  // Ten slots: an eleventh registration is refused; unregistering frees slots for reuse.
  for (int i = 0; i < kQXImageMaxListeners; ++i) ASSERT_EQ(QXImageRegisterMsgListener(Other, nullptr), 0);
  EXPECT_NE(QXImageRegisterMsgListener(Listen, &heard), 0);
  EXPECT_EQ(QXImageUnRegisterMsgListener(Other), 0);
  EXPECT_EQ(QXImageRegisterMsgListener(Listen, &heard), 0);
  EXPECT_EQ(QXImageUnRegisterMsgListener(Listen), 0);
  { Image image(256, 256, 8, 1); }
  EXPECT_EQ(heard.destroyed.load(), 12);
}

TEST(TileCache, SpillsToTheStoreAndReadsBack) {
  Home();
  Image image(1024, 512, 16, 3);  // 4 x 2 tiles of 393,216 bytes
  const int64_t T = 256 * 256 * 6;
  const fs::path file = CacheFolder() / ("Image-" + std::to_string(QXImageGetInternalID(image.ref)));
  Budget budget(2.0 * T);
  const QXRect all{0, 0, 1024, 512};
  std::vector<uint8_t> pixels = PatternRows(all, 6);
  const QXImageCacheStatistics before = Stats();
  ASSERT_EQ(QXImageWrite(image.ref, all, 0, -1, pixels.data(), 0), 0);
  // Six of the eight dirty tiles went to their slots, in purge order.
  ASSERT_TRUE(fs::exists(file));
  EXPECT_EQ(int64_t(fs::file_size(file)), 6 * T);
  struct stat folder {};
  ASSERT_EQ(lstat(CacheFolder().c_str(), &folder), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);
  std::vector<uint8_t> back(pixels.size());
  ASSERT_EQ(QXImageRead(image.ref, all, 0, -1, back.data(), 0), 0);
  EXPECT_TRUE(back == pixels);
  // Reloaded tiles are clean until written again: purging them writes nothing and the file keeps
  // its slots (rewrites go to the same place).
  const QXImageCacheStatistics after = Stats();
  EXPECT_EQ(after.tilesWritten - before.tilesWritten, 8);
  EXPECT_GE(after.tilesReloaded - before.tilesReloaded, 6);
  EXPECT_EQ(int64_t(fs::file_size(file)), 8 * T);
  ASSERT_EQ(QXImageWrite(image.ref, all, 0, -1, pixels.data(), 0), 0);
  ASSERT_EQ(QXImageRead(image.ref, all, 0, -1, back.data(), 0), 0);
  EXPECT_TRUE(back == pixels);
  EXPECT_EQ(int64_t(fs::file_size(file)), 8 * T);
  QXImageRelease(image.ref);
  image.ref = nullptr;
  EXPECT_FALSE(fs::exists(file));
}

TEST(TileCache, StoreFailuresLoseNothing) {
  Home();
  Image image(512, 256, 8, 4);
  Budget budget(1.0 * kRGBATile);
  std::vector<uint8_t> pixels = PatternRows(QXRect{0, 0, 512, 256}, 4);
  ASSERT_EQ(QXImageWrite(image.ref, QXRect{0, 0, 256, 256}, 0, -1, pixels.data(), 512 * 4), 0);
  // The store's folder cannot be made: the dirty tile stays resident, listed and dirty.
  fs::remove_all(CacheFolder());
  { std::ofstream(CacheFolder()) << "in the way"; }
  const QXImageCacheStatistics before = Stats();
  ASSERT_EQ(QXImageWrite(image.ref, QXRect{256, 0, 256, 256}, 0, -1, pixels.data() + 256 * 4, 512 * 4), 0);
  EXPECT_GT(Stats().storeFailures, before.storeFailures);
  EXPECT_TRUE(image.Loaded(0, 0));
  EXPECT_NE(QXImagePurge(image.ref), 0);
  EXPECT_TRUE(image.Loaded(0, 0));
  fs::remove(CacheFolder());
  // With the way clear both tiles reach the store and come back intact.
  EXPECT_EQ(QXImagePurge(image.ref), 0);
  EXPECT_FALSE(image.Loaded(0, 0));
  EXPECT_FALSE(image.Loaded(0, 1));
  std::vector<uint8_t> back(pixels.size());
  ASSERT_EQ(QXImageRead(image.ref, QXRect{0, 0, 512, 256}, 0, -1, back.data(), 0), 0);
  EXPECT_TRUE(back == pixels);
  // A store file cut short: the read fails, the tile stays unloaded, and once the bytes are back
  // the tile loads them.
  ASSERT_EQ(QXImagePurge(image.ref), 0);
  const fs::path file = CacheFolder() / ("Image-" + std::to_string(QXImageGetInternalID(image.ref)));
  std::vector<char> saved(size_t(fs::file_size(file)));
  std::ifstream(file, std::ios::binary).read(saved.data(), std::streamsize(saved.size()));
  fs::resize_file(file, 1000);
  QXTileRef tile = nullptr;
  EXPECT_NE(QXImageGetNativeTile(image.ref, 0, 0, &tile), 0);
  QXTileReleaseUse(tile);
  EXPECT_FALSE(image.Loaded(0, 0));
  std::ofstream(file, std::ios::binary | std::ios::in).write(saved.data(), std::streamsize(saved.size()));
  ASSERT_EQ(QXImageRead(image.ref, QXRect{0, 0, 512, 256}, 0, -1, back.data(), 0), 0);
  EXPECT_TRUE(back == pixels);
}

TEST(TileCache, ConcurrentReadersAndWritersUnderATinyBudget) {
  Home();
  Image a(1024, 1024, 8, 4);
  Image b(1024, 1024, 8, 4);
  Budget budget(3.0 * kRGBATile);
  std::atomic<int> failures{0};
  // Each thread owns a band of each image and checks its own pixels; the bands share tiles, and
  // every admission purges tiles other threads may be using.
  auto work = [&](int band) {
    const QXRect r{0, band * 128, 1024, 128};
    std::vector<uint8_t> pixels = PatternRows(r, 4);
    std::vector<uint8_t> back(pixels.size());
    for (int round = 0; round < 6; ++round) {
      QXImageRef image = (round + band) % 2 ? a.ref : b.ref;
      if (QXImageWrite(image, r, 0, -1, pixels.data(), 0) != 0) failures++;
      if (QXImageRead(image, r, 0, -1, back.data(), 0) != 0 || back != pixels) failures++;
    }
  };
  std::vector<std::thread> threads;
  for (int band = 0; band < 8; ++band) threads.emplace_back(work, band);
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_LE(Stats().used, 3 * kRGBATile + 8 * kRGBATile);
}
