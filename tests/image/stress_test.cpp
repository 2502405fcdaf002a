// The tile cache under contention (tiles purging each other through the disk store), and lock,
// overflow and storage-kind faults on the tile API.
#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>

#include "image/ImageRec.h"
#include "tests/image/ImageTestSupport.h"

using namespace qxtest;

namespace {

constexpr int32_t kPlanes = 4;
constexpr int64_t kTileBytes = int64_t(kTile) * kTile * kPlanes;

void FillTile(std::vector<uint8_t>& bytes, uint32_t seed) { bytes = RandomBytes(size_t(kTileBytes), seed); }

// Writes and reads back whole tiles of its own band of tile columns; returns mismatches and failures.
int OwnBand(QXImageRef image, int32_t firstCol, int32_t cols, int32_t rows, int iterations, uint32_t salt) {
  std::vector<uint8_t> out, in(static_cast<size_t>(kTileBytes));
  std::vector<uint32_t> generation(size_t(cols) * size_t(rows), 0);
  int bad = 0;
  for (int i = 0; i < iterations; ++i) {
    const int32_t c = firstCol + i % cols, r = (i / cols) % rows;
    uint32_t& gen = generation[size_t(r) * size_t(cols) + size_t(c - firstCol)];
    const QXRect rect{c * kTile, r * kTile, kTile, kTile};
    if (gen != 0) {
      FillTile(out, salt + gen * 977u + uint32_t(r * 64 + c));
      if (QXImageRead(image, rect, 0, -1, in.data(), 0) != 0 || in != out) ++bad;
    }
    FillTile(out, salt + ++gen * 977u + uint32_t(r * 64 + c));
    if (QXImageWrite(image, rect, 0, -1, out.data(), 0) != 0) ++bad;
  }
  return bad;
}

void CountMessages(QXImageMsg*) {}

}  // namespace

// Readers, writers and purges of one image, short-lived images and listeners coming and going
// meanwhile: every pixel written is read back.
TEST(StressConcurrent, ReadWritePurgeAndDestroyKeepEveryPixel) {
  Budget budget(double(3 * kTileBytes));
  const int64_t failuresBefore = Stats().storeFailures;
  Image image(QXRect{0, 0, 4 * kTile, 3 * kTile}, 8, kPlanes);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t)
    threads.emplace_back([&, t] { bad += OwnBand(image, 2 * t, 2, 3, 120, uint32_t(t) * 7919u); });
  threads.emplace_back([&] {
    while (!stop.load()) {
      const QXImageCacheStatistics s = Stats();
      if (QXImagePurge(image) != 0 || s.used < 0 || s.residentTiles < 0) ++bad;
      std::this_thread::yield();
    }
  });
  threads.emplace_back([&] {
    for (uint32_t round = 1; !stop.load(); ++round) {
      Image other(QXRect{0, 0, 2 * kTile, kTile}, 8, kPlanes);
      bad += other ? OwnBand(other, 0, 2, 1, 5, 0x10000u * round) : 1;
    }
  });
  threads.emplace_back([&] {
    while (!stop.load()) {
      QXImageRegisterMsgListener(CountMessages, nullptr);
      std::this_thread::yield();
      QXImageUnRegisterMsgListener(CountMessages);
    }
  });
  threads[0].join();
  threads[1].join();
  stop = true;
  for (size_t i = 2; i < threads.size(); ++i) threads[i].join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(Stats().storeFailures, failuresBefore);
  EXPECT_GT(Stats().tilesReloaded, 0);
}

// Planes changed while another image's admissions purge the dirty tiles: a victim in flight must be
// written with the geometry it was taken with (no race, no store failure when the planes grow).
TEST(StressConcurrent, ReshapeWhileOtherImagesPurgeItsTiles) {
  Budget budget(double(2 * kTileBytes));
  const int64_t failuresBefore = Stats().storeFailures;
  Image shaped(QXRect{0, 0, 2 * kTile, 2 * kTile}, 8, kPlanes), busy(QXRect{0, 0, 4 * kTile, kTile}, 8, kPlanes);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::thread reshaper([&] {
    std::vector<uint8_t> bytes(size_t(4 * kTileBytes), 0x5a);
    for (int i = 0; i < 400; ++i) {
      if (QXImageWrite(shaped, QXRect{0, 0, 2 * kTile, 2 * kTile}, 0, -1, bytes.data(), 0) != 0) ++bad;
      if (QXImageAdjustBounds(shaped, QXRect{0, 0, 2 * kTile, 2 * kTile}, 0, kPlanes - 1 - i % 2) != 0) ++bad;
    }
    stop = true;
  });
  std::thread admitter([&] {
    std::vector<uint8_t> bytes(static_cast<size_t>(kTileBytes), 0xa5);
    for (int i = 0; !stop.load(); ++i)
      if (QXImageWrite(busy, QXRect{(i % 4) * kTile, 0, kTile, kTile}, 0, -1, bytes.data(), 0) != 0) ++bad;
  });
  reshaper.join();
  admitter.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(Stats().storeFailures, failuresBefore);
}

// Asking whether a tile is loaded must not wait for the caller's own use lock (a watchdog breaks
// the wait so that a failure does not hang the run).
TEST(StressConcurrent, TileLoadedQueryWhileHoldingTheTile) {
  Image image(QXRect{0, 0, 2 * kTile, kTile}, 8, kPlanes);
  QXTileRef tile = nullptr;
  ASSERT_EQ(QXImageGetNativeTile(image, 0, 0, &tile), 0);
  std::atomic<bool> answered{false}, brokeIn{false};
  std::thread watchdog([&] {
    for (int i = 0; i < 100 && !answered.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!answered.load()) {
      brokeIn = true;
      QXTileReleaseUse(tile);
    }
  });
  const bool loaded = QXImageGetTileLoaded(image, 0, 0);
  answered = true;
  watchdog.join();
  EXPECT_FALSE(brokeIn.load()) << "QXImageGetTileLoaded waited for the caller's own use lock";
  EXPECT_TRUE(loaded);
  if (!brokeIn.load()) QXTileReleaseUse(tile);
}

// A thread holding a tile may map its image's coherence states or unpin the image while another
// thread waits for that tile inside the image's lock (a failure is broken after a few seconds).
TEST(StressConcurrent, HoldingATileMapAndUnpinDoNotWaitForTheImage) {
  Image image(QXRect{0, 0, 2 * kTile, kTile}, 8, kPlanes);
  QXTileRef tile = nullptr;
  ASSERT_EQ(QXImageGetNativeTile(image, 0, 0, &tile), 0);
  std::vector<uint8_t> pixels(static_cast<size_t>(kTileBytes));
  std::thread reader([&] { QXImageRead(image, QXRect{0, 0, kTile, kTile}, 0, -1, pixels.data(), 0); });
  // Once the reader holds the image's lock it keeps it until the tile is released.
  std::recursive_mutex& lock = qx::fromHandle(image.get())->Mutex();
  while (lock.try_lock()) {
    lock.unlock();
    std::this_thread::yield();
  }
  std::promise<bool> done;
  std::future<bool> unpinFailed = done.get_future();
  std::thread holder([&] {
    QXImageDumpCoherenceStateTileMap(image);
    done.set_value(QXImageSetKeepResident(image, 0));
  });
  const bool answered = unpinFailed.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  EXPECT_TRUE(answered) << "waited for the lock of the image whose tile the caller holds";
  QXTileReleaseUse(tile);
  holder.join();
  reader.join();
  EXPECT_FALSE(unpinFailed.get());
}

// Tile storage is reused as soon as tiles go: a tile partly written in a new image holds zeros
// elsewhere, and threads making and dropping images never see each other's pixels.
TEST(StressConcurrent, ReusedTileStorageStartsClearThreads) {
  const QXRect bounds{0, 0, 3 * kTile, 2 * kTile};
  auto churn = [&](uint8_t value) {
    const std::vector<uint8_t> whole(size_t(bounds.width) * bounds.height * 6, value);
    for (int round = 0; round < 6; ++round) {
      Image full(kTiled, bounds, 16, 3);
      ASSERT_EQ(QXImageWrite(full, bounds, 0, -1, whole.data(), 0), 0);
      full.reset();
      Image sparse(kTiled, bounds, 16, 3);
      for (int t = 0; t < 6; ++t)
        ASSERT_EQ(QXImageWrite(sparse, QXRect{t % 3 * kTile + 7, t / 3 * kTile + 9, 1, 1}, 0, -1, whole.data(), 0), 0);
      const std::vector<uint8_t> all = ReadAll(sparse);
      const auto set = std::count(all.begin(), all.end(), value);
      ASSERT_EQ(set, 6 * 6);
      ASSERT_EQ(std::count(all.begin(), all.end(), 0) + set, ptrdiff_t(all.size()));
    }
  };
  std::thread other(churn, uint8_t(0xA5));
  churn(0x3C);
  other.join();
}

// A new sample size leaves the pixel layout as it was: transfers refuse the record instead of
// copying past its pixels until a reshape lays them out for the new size.
TEST(StressTileApi, SampleSizeOutOfStepWithThePixelsIsRefused) {
  const QXRect b{0, 0, 16, 4};
  std::vector<uint8_t> bytes(size_t(b.width) * b.height * 4, 0x5A);
  const std::filesystem::path folder = gImageHome.root() / "out-of-step";
  std::filesystem::create_directories(folder);
  for (int32_t kind : {kMemory, kTiled}) {
    SCOPED_TRACE(kind);
    Image image(kind, b, 8, 1);
    QXImageSetPlaneBytes(image, 4);
    EXPECT_TRUE(QXImageGetDepth(image) == 32 && QXImageGetColBytes(image) == 1 && QXImageGetRowBytes(image) == 16);
    EXPECT_EQ(QXImageWrite(image, b, 0, -1, bytes.data(), 0), kQXErrUnsupportedFormat);
    EXPECT_EQ(QXImageRead(image, b, 0, -1, bytes.data(), 0), kQXErrUnsupportedFormat);
    QXImageDumpPathUTF8(image, "x", folder.c_str());
    EXPECT_TRUE(std::filesystem::is_empty(folder));
    ASSERT_EQ(QXImageAdjustBounds(image, b, 0, 0), 0);
    EXPECT_TRUE(QXImageGetColBytes(image) == 4 && QXImageGetRowBytes(image) == 64);
    Paint(image);
    EXPECT_EQ(ReadAll(image), Pattern(b, 4));
  }
  // Values whose depth would not fit are ignored.
  Image image(kMemory, b, 8, 1);
  for (int32_t planeBytes : {-1, INT32_MAX}) QXImageSetPlaneBytes(image, planeBytes);
  EXPECT_TRUE(QXImageGetPlaneBytes(image) == 1 && QXImageGetDepth(image) == 8);
}

// A record's tiles keep the layout the record gave them (transfers and the store size their copies
// by it) and their dirty mark (a clean tile is purged unwritten).
TEST(StressTileApi, RecordTilesKeepTheirGeometry) {
  Image image(QXRect{0, 0, 3 * kTile, 2 * kTile}, 8, kPlanes);
  Paint(image);
  NativeTile tile(image, 0, 0);
  QXTileSetBounds(tile, 0, 0, 600, 600);
  QXTileSetX(tile, 100);
  QXTileSetY(tile, 100);
  QXTileSetRowBytes(tile, 600 * kPlanes);
  QXTileSetColBytes(tile, 2 * kPlanes);
  QXTileSetNumPlanes(tile, 2 * kPlanes);
  QXTileSetDepth(tile, 16);
  QXTileSetDirty(tile, false);  // a purge would then drop the painted pixels unwritten
  const QXRect kept = QXTileGetBounds(tile);
  EXPECT_TRUE(kept.x == 0 && kept.y == 0 && kept.width == kTile && kept.height == kTile);
  EXPECT_TRUE(QXTileGetRowBytes(tile) == kTile * kPlanes && QXTileGetColBytes(tile) == kPlanes &&
              QXTileGetNumPlanes(tile) == kPlanes && QXTileGetDepth(tile) == 8);
  EXPECT_TRUE(QXTileGetDirty(tile));
  tile.release();
  EXPECT_EQ(QXImagePurge(image), 0);
  EXPECT_EQ(ReadAll(image), Pattern(QXImageGetBounds(image), kPlanes));
}

// Run in child processes: the sanitizers abort on the faults.
[[noreturn]] void ReadFarOutsideFarImage() {
  QXImageRef image = nullptr;
  if (QXImageCreateWithParams(QXRect{0, 1 << 30, kTile, kTile}, 16, kPlanes, &image) != 0) std::_Exit(2);
  uint8_t small[8] = {};
  const int32_t status = QXImageRead(image, QXRect{0, -(1 << 30) + 2, INT32_MAX, INT32_MAX}, 0, -1, small, 0);
  QXImageRelease(image);
  std::_Exit(status != 0 ? 0 : 3);
}

[[noreturn]] void SetDataOnNativeTileThenPurge() {
  QXImageRef image = nullptr;
  QXTileRef tile = nullptr;
  if (QXImageCreateWithParams(QXRect{0, 0, 16, 16}, 8, 1, &image) != 0) std::_Exit(2);
  if (QXImageGetNativeTile(image, 0, 0, &tile) != 0) std::_Exit(2);
  CFMutableDataRef data = CFDataCreateMutable(nullptr, 0);
  CFDataSetLength(data, 1000);
  QXTileSetData(tile, data);
  QXTileReleaseUse(tile);
  const int32_t status = QXImagePurge(image);
  CFRelease(data);
  QXImageRelease(image);
  std::_Exit(status == 0 ? 0 : 3);
}

TEST(StressTileApi, OverflowAndStorageKindFaults) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The image's offset in the caller's buffer does not fit 64 bits: refused, not overflowed.
  EXPECT_EXIT(ReadFarOutsideFarImage(), ::testing::ExitedWithCode(0), "");
  // QXTileSetData on a record's (heap) tile must not make the heap free the CFData's bytes.
  EXPECT_EXIT(SetDataOnNativeTileThenPurge(), ::testing::ExitedWithCode(0), "");
}

// Without somewhere to hand the tile nobody could release its use lock.
TEST(StressTileApi, NativeTileWithoutOutputLeavesNoLockBehind) {
  QXImageRef image = nullptr;
  ASSERT_EQ(QXImageCreateWithParams(QXRect{0, 0, kTile, kTile}, 8, kPlanes, &image), 0);
  QXImageGetNativeTile(image, 0, 0, nullptr);
  const bool stuck = QXImageTileInUse(image);
  EXPECT_FALSE(stuck) << "the tile's use lock is held with no one to release it";
  if (!stuck) QXImageRelease(image);  // would wait forever otherwise: leaked on purpose
}

// Last, since it shuts the store down: a clean tile read back before the store's folder went away
// keeps its pixels at its next purge.
TEST(StressStore, ShutdownKeepsTilesThatWereResident) {
  Image image(QXRect{0, 0, kTile, kTile}, 8, kPlanes);
  std::vector<uint8_t> out;
  FillTile(out, 4242);
  ASSERT_EQ(QXImageWrite(image, QXRect{0, 0, kTile, kTile}, 0, -1, out.data(), 0), 0);
  ASSERT_EQ(QXImagePurge(image), 0);  // dirty: goes to its slot
  ASSERT_EQ(ReadAll(image), out);     // back, clean, resident
  QXImageShutdown();
  ASSERT_EQ(QXImagePurge(image), 0);
  EXPECT_EQ(ReadAll(image), out);
}
