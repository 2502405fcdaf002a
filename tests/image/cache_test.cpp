// The tile cache: grid, purge order, keep-resident images, listeners, the disk store and threads.
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "tests/image/ImageTestSupport.h"

namespace fs = std::filesystem;
using namespace qxtest;

namespace {

constexpr int64_t kRGBATile = 256 * 256 * 4;

fs::path FileOf(QXImageRef image) {
  return gImageHome.root() / "tmp" / ("QXImageCache-" + std::to_string(getpid())) /
         ("Image-" + std::to_string(QXImageGetInternalID(image)));
}

}  // namespace

TEST(TileCache, GridPurgeOrderAndKeepResident) {
  Image image(QXRect{0, 0, 2048, 256}, 8, 4);  // 8 x 1 tiles
  for (auto [r, c] : {std::pair{1, 0}, {0, 8}, {-1, 0}, {0, -1}, {1 << 20, 1 << 20}}) {
    EXPECT_EQ(TileRefusal(image, r, c), kQXErrGeneric);
    EXPECT_FALSE(QXImageGetTileLoaded(image, r, c));
  }
  Budget budget(3.0 * kRGBATile);
  const int64_t usedBefore = Stats().used;
  for (int c : {0, 1, 2, 0}) Touch(image, 0, c);  // used again, (0, 0) stays the oldest
  EXPECT_EQ(Stats().used - usedBefore, 3 * kRGBATile);
  Touch(image, 0, 3);
  for (int c = 0; c < 4; ++c) EXPECT_EQ(QXImageGetTileLoaded(image, 0, c), c != 0) << c;
  // A lower budget purges nothing until the next admission, which then purges down to it.
  QXImageSetCacheMemAbsolute(1.0 * kRGBATile);
  EXPECT_TRUE(QXImageGetTileLoaded(image, 0, 1));
  Touch(image, 0, 4);
  for (int c = 1; c < 5; ++c) EXPECT_EQ(QXImageGetTileLoaded(image, 0, c), c == 4) << c;
  // A keep-resident image loads everything and stays above the budget; unpinned, it goes first.
  Image pinned(QXRect{0, 0, 512, 256}, 8, 4);
  EXPECT_FALSE(QXImageSetKeepResident(pinned, 1));
  for (int c = 0; c < 8; ++c) Touch(image, 0, c);
  EXPECT_TRUE(QXImageGetTileLoaded(pinned, 0, 0) && QXImageGetTileLoaded(pinned, 0, 1));
  EXPECT_FALSE(QXImageGetTileLoaded(image, 0, 0));
  EXPECT_GT(Stats().used, Stats().budget);
  EXPECT_FALSE(QXImageSetKeepResident(pinned, 0));
  Touch(image, 0, 0);
  EXPECT_FALSE(QXImageGetTileLoaded(pinned, 0, 0) || QXImageGetTileLoaded(pinned, 0, 1));
  // No-load access hands out a tile without data.
  QXTileRef tile = nullptr;
  ASSERT_EQ(QXImageGetNativeTile2(image, 0, 7, kQXImageTileNoLoad, &tile), kQXNoErr);
  EXPECT_TRUE(QXTileGetDataPtr(tile) == nullptr && QXImageTileInUse(image));
  QXTileReleaseUse(tile);
  EXPECT_FALSE(QXImageGetTileLoaded(image, 0, 7) || QXImageTileInUse(image));
}

// A write covering whole tiles, every plane, replaces purged tiles without reading them back; an
// edge tile (reaching past the bounds) or a write of some planes reads the tile back first.
TEST(TileCache, WholeTileWritesSkipTheReload) {
  const QXRect bounds{0, 0, 600, 256};  // two whole tiles and an edge tile
  Image image(bounds, 8, 4);
  std::vector<uint8_t> first(size_t(600) * 256 * 4, 0xA1), second(first.size(), 0xB2);
  ASSERT_EQ(QXImageWrite(image, bounds, 0, -1, first.data(), 0), 0);
  ASSERT_EQ(QXImagePurge(image), 0);
  const int64_t reloaded = Stats().tilesReloaded;
  ASSERT_EQ(QXImageWrite(image, bounds, 0, -1, second.data(), 0), 0);
  EXPECT_EQ(Stats().tilesReloaded - reloaded, 1);
  ASSERT_EQ(QXImagePurge(image), 0);
  ASSERT_EQ(QXImageWrite(image, QXRect{0, 0, 256, 256}, 1, 1, first.data(), 0), 0);
  EXPECT_EQ(Stats().tilesReloaded - reloaded, 2);
  for (int32_t y = 0; y < 256; ++y)
    for (int32_t x = 0; x < 256; ++x) second[(size_t(y) * 600 + x) * 4 + 1] = 0xA1;
  EXPECT_TRUE(ReadAll(image) == second);
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
  Heard heard;
  ASSERT_EQ(QXImageRegisterMsgListener(Listen, &heard), 0);
  ASSERT_EQ(QXImageRegisterMsgListener(Listen, &heard), 0);  // twice: called twice
  {
    Image image(QXRect{0, 0, 600, 300}, 8, 1);  // 3 x 2 tiles
    Touch(image, 0, 0);
    Touch(image, 1, 2);
    EXPECT_EQ(QXImagePurge(image), 0);
    EXPECT_TRUE(heard.purged.load() == 4 && !QXImageGetTileLoaded(image, 0, 0));
  }
  EXPECT_EQ(heard.destroyed.load(), 12);
  EXPECT_EQ(QXImageUnRegisterMsgListener(Listen), 0);
  // Ten slots: an eleventh registration is refused; unregistering frees slots for reuse.
  for (int i = 0; i < kQXImageMaxListeners; ++i) ASSERT_EQ(QXImageRegisterMsgListener(Other, nullptr), 0);
  EXPECT_NE(QXImageRegisterMsgListener(Listen, &heard), 0);
  EXPECT_EQ(QXImageUnRegisterMsgListener(Other), 0);
  EXPECT_EQ(QXImageRegisterMsgListener(Listen, &heard), 0);
  EXPECT_EQ(QXImageUnRegisterMsgListener(Listen), 0);
  { Image image(QXRect{0, 0, 256, 256}, 8, 1); }
  EXPECT_EQ(heard.destroyed.load(), 12);
}

TEST(TileCache, StoreFailuresLoseNothing) {
  Image image(QXRect{0, 0, 512, 256}, 8, 4);
  Budget budget(1.0 * kRGBATile);
  const std::vector<uint8_t> pixels = Pattern(QXRect{0, 0, 512, 256}, 4);
  Paint(Image(QXRect{0, 0, 512, 256}, 8, 4));  // spills a tile: the store's folder exists when it goes
  ASSERT_EQ(QXImageWrite(image, QXRect{0, 0, 256, 256}, 0, -1, pixels.data(), 512 * 4), 0);
  // A file stands in the way of the store's folder: the dirty tile stays resident and dirty.
  const fs::path folder = FileOf(image).parent_path();
  fs::remove_all(folder);
  { std::ofstream(folder) << "in the way"; }
  const QXImageCacheStatistics before = Stats();
  ASSERT_EQ(QXImageWrite(image, QXRect{256, 0, 256, 256}, 0, -1, pixels.data() + 256 * 4, 512 * 4), 0);
  EXPECT_TRUE(Stats().storeFailures > before.storeFailures && QXImageGetTileLoaded(image, 0, 0));
  EXPECT_NE(QXImagePurge(image), 0);
  EXPECT_TRUE(QXImageGetTileLoaded(image, 0, 0));
  fs::remove(folder);
  // With the way clear the folder is made again; both tiles reach the store and come back intact.
  EXPECT_EQ(QXImagePurge(image), 0);
  EXPECT_FALSE(QXImageGetTileLoaded(image, 0, 0) || QXImageGetTileLoaded(image, 0, 1));
  EXPECT_TRUE(ReadAll(image) == pixels);
  // A store file cut short: the load fails and the tile stays unloaded until the bytes are back.
  ASSERT_EQ(QXImagePurge(image), 0);
  const fs::path file = FileOf(image);
  std::vector<char> saved(size_t(fs::file_size(file)));
  std::ifstream(file, std::ios::binary).read(saved.data(), std::streamsize(saved.size()));
  fs::resize_file(file, 1000);
  QXTileRef tile = nullptr;  // handed out with its use lock even when the load fails
  EXPECT_NE(QXImageGetNativeTile(image, 0, 0, &tile), kQXNoErr);
  QXTileReleaseUse(tile);
  EXPECT_FALSE(QXImageGetTileLoaded(image, 0, 0));
  std::ofstream(file, std::ios::binary | std::ios::in).write(saved.data(), std::streamsize(saved.size()));
  EXPECT_TRUE(ReadAll(image) == pixels);
  // Reloaded tiles are clean: purging them writes nothing. The file goes with the record.
  const int64_t written = Stats().tilesWritten;
  EXPECT_EQ(QXImagePurge(image), kQXNoErr);
  EXPECT_EQ(Stats().tilesWritten, written);
  image.reset();
  EXPECT_FALSE(fs::exists(file));
}

TEST(TileCache, ConcurrentReadersAndWritersUnderATinyBudget) {
  Image a(QXRect{0, 0, 1024, 1024}, 8, 4), b(QXRect{0, 0, 1024, 1024}, 8, 4);
  Budget budget(3.0 * kRGBATile);
  std::atomic<int> failures{0};
  // Each thread owns a band of each image; every admission purges tiles other threads may be using.
  auto work = [&](int band) {
    const QXRect r{0, band * 128, 1024, 128};
    const std::vector<uint8_t> pixels = Pattern(r, 4);
    std::vector<uint8_t> back(pixels.size());
    for (int round = 0; round < 6; ++round) {
      QXImageRef image = (round + band) % 2 ? a : b;
      if (QXImageWrite(image, r, 0, -1, pixels.data(), 0) != 0) failures++;
      if (QXImageRead(image, r, 0, -1, back.data(), 0) != 0 || back != pixels) failures++;
    }
  };
  std::vector<std::thread> threads;
  for (int band = 0; band < 8; ++band) threads.emplace_back(work, band);
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_LE(Stats().used, 11 * kRGBATile);
}
