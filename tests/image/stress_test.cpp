// The tile cache under contention: several images whose tiles purge each other through the disk
// store while they are read, written, purged, reshaped and destroyed from different threads, and
// the tile API's storage kinds kept apart on the tiles of a record.
#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXImage.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TempHome.h"

namespace {

// One private TMPDIR for the whole process: the store fixes its folder on first use.
qxtest::TempHome& Home() {
  static qxtest::TempHome* home = new qxtest::TempHome;
  return *home;
}

constexpr int32_t kTile = 256;
constexpr int32_t kPlanes = 4;
constexpr int64_t kTileBytes = int64_t(kTile) * kTile * kPlanes;

struct Budget {
  explicit Budget(double bytes) { QXImageSetCacheMemAbsolute(bytes); }
  ~Budget() { QXImageSetCacheMemAbsolute(double(int64_t(1) << 40)); }
};

QXImageCacheStatistics Stats() {
  QXImageCacheStatistics s{};
  QXImageGetCacheStatistics(&s);
  return s;
}

// A whole tile of one value per (tile, generation), distinct across images.
void FillTile(std::vector<uint8_t>& bytes, uint32_t seed) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    const uint32_t h = (seed + uint32_t(i)) * 2654435761u;
    bytes[i] = uint8_t(h >> 24 ^ h >> 11);
  }
}

// Writes then reads back whole tiles of the band of tile columns it owns; returns the number of
// mismatches or failed calls.
int OwnBand(QXImageRef image, int32_t firstCol, int32_t cols, int32_t rows, int iterations, uint32_t salt) {
  std::vector<uint8_t> out(static_cast<size_t>(kTileBytes)), in(static_cast<size_t>(kTileBytes));
  std::vector<uint32_t> generation(size_t(cols) * size_t(rows), 0);
  int bad = 0;
  for (int i = 0; i < iterations; ++i) {
    const int32_t c = firstCol + i % cols, r = (i / cols) % rows;
    uint32_t& gen = generation[size_t(r) * size_t(cols) + size_t(c - firstCol)];
    const QXRect rect{c * kTile, r * kTile, kTile, kTile};
    if (gen != 0) {
      FillTile(out, salt + gen * 977u + uint32_t(r * 64 + c));
      if (QXImageRead(image, rect, 0, -1, in.data(), kTile * kPlanes) != 0 || in != out) ++bad;
    }
    ++gen;
    FillTile(out, salt + gen * 977u + uint32_t(r * 64 + c));
    if (QXImageWrite(image, rect, 0, -1, out.data(), kTile * kPlanes) != 0) ++bad;
  }
  return bad;
}

std::atomic<int64_t> gHeard{0};
void CountMessages(QXImageMsg*) { gHeard.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

// Readers and writers of one image, its QXImagePurge, short-lived images created, filled and
// released meanwhile (their tiles are victims of the other image's admissions and the reverse),
// listeners coming and going, and statistics read: every pixel written is read back.
TEST(StressConcurrent, ReadWritePurgeAndDestroyKeepEveryPixel) {
  Home();
  Budget budget(double(3 * kTileBytes));
  const int64_t failuresBefore = Stats().storeFailures;
  QXImageRef image = nullptr;
  ASSERT_EQ(QXImageCreateWithParams(QXRect{0, 0, 4 * kTile, 3 * kTile}, 8, kPlanes, &image), 0);

  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t)
    threads.emplace_back([&, t] { bad += OwnBand(image, 2 * t, 2, 3, 120, uint32_t(t) * 7919u); });
  threads.emplace_back([&] {
    while (!stop.load()) {
      if (QXImagePurge(image) != 0) ++bad;
      QXImageCacheStatistics s{};
      QXImageGetCacheStatistics(&s);
      if (s.used < 0 || s.residentTiles < 0) ++bad;
      std::this_thread::yield();
    }
  });
  threads.emplace_back([&] {
    for (uint32_t round = 1; !stop.load(); ++round) {
      QXImageRef other = nullptr;
      if (QXImageCreateWithParams(QXRect{0, 0, 2 * kTile, kTile}, 8, kPlanes, &other) != 0) {
        ++bad;
        continue;
      }
      bad += OwnBand(other, 0, 2, 1, 5, 0x10000u * round);
      QXImageRelease(other);
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
  QXImageUnRegisterMsgListener(CountMessages);

  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(Stats().storeFailures, failuresBefore);
  EXPECT_GT(Stats().tilesReloaded, 0);
  QXImageRelease(image);
}

// An image reshaped (planes changed) while another image's admissions purge its dirty tiles: the
// purge walk reads the record's geometry without the record's lock, so a victim in flight is
// written with the new slot size (a data race, and a store failure when the planes grow).
TEST(StressConcurrent, ReshapeWhileOtherImagesPurgeItsTiles) {
  Home();
  Budget budget(double(2 * kTileBytes));
  const int64_t failuresBefore = Stats().storeFailures;
  QXImageRef shaped = nullptr, busy = nullptr;
  ASSERT_EQ(QXImageCreateWithParams(QXRect{0, 0, 2 * kTile, 2 * kTile}, 8, kPlanes, &shaped), 0);
  ASSERT_EQ(QXImageCreateWithParams(QXRect{0, 0, 4 * kTile, kTile}, 8, kPlanes, &busy), 0);

  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::thread reshaper([&] {
    std::vector<uint8_t> bytes(size_t(2 * kTile) * 2 * kTile * kPlanes, 0x5a);
    for (int i = 0; i < 400; ++i) {
      const int32_t hi = i % 2 ? kPlanes - 2 : kPlanes - 1;
      if (QXImageWrite(shaped, QXRect{0, 0, 2 * kTile, 2 * kTile}, 0, -1, bytes.data(), 0) != 0) ++bad;
      if (QXImageAdjustBounds(shaped, QXRect{0, 0, 2 * kTile, 2 * kTile}, 0, hi) != 0) ++bad;
    }
    stop = true;
  });
  std::thread admitter([&] {
    std::vector<uint8_t> bytes(static_cast<size_t>(kTileBytes), 0xa5);
    for (int i = 0; !stop.load(); ++i) {
      if (QXImageWrite(busy, QXRect{(i % 4) * kTile, 0, kTile, kTile}, 0, -1, bytes.data(), 0) != 0) ++bad;
    }
  });
  reshaper.join();
  admitter.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(Stats().storeFailures, failuresBefore);
  QXImageRelease(busy);
  QXImageRelease(shaped);
}

// A thread that holds a tile may ask whether tiles are loaded (a query, not a use) without
// waiting for itself. A watchdog breaks the wait so that a failure does not hang the run.
TEST(StressConcurrent, TileLoadedQueryWhileHoldingTheTile) {
  Home();
  QXImageRef image = nullptr;
  ASSERT_EQ(QXImageCreateWithParams(QXRect{0, 0, 2 * kTile, kTile}, 8, kPlanes, &image), 0);
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
  QXImageRelease(image);
}

[[noreturn]] void ReadFarOutsideFarImage() {
  QXImageRef image = nullptr;
  if (QXImageCreateWithParams(QXRect{0, 1 << 30, kTile, kTile}, 16, kPlanes, &image) != 0) std::_Exit(2);
  const QXRect rect{0, -(1 << 30) + 2, INT32_MAX, INT32_MAX};
  uint8_t small[8] = {};
  const int32_t status = QXImageRead(image, rect, 0, -1, small, 0);
  QXImageRelease(image);
  std::_Exit(status != 0 ? 0 : 3);
}

// A request rectangle far from an image placed far from the origin: the offset of the image's
// part in the caller's buffer does not fit 64 bits, and the request must be refused rather than
// computed with a signed overflow.
TEST(StressTileApi, HugeRequestRectangleIsRefusedNotOverflowed) {
  Home();
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // In a child process: the sanitizers abort on the overflow.
  EXPECT_EXIT(ReadFarOutsideFarImage(), ::testing::ExitedWithCode(0), "");
}

// Without somewhere to hand the tile, nobody could release its use lock: the tile would stay in
// use for good and releasing the image would wait forever.
TEST(StressTileApi, NativeTileWithoutOutputLeavesNoLockBehind) {
  Home();
  QXImageRef image = nullptr;
  ASSERT_EQ(QXImageCreateWithParams(QXRect{0, 0, kTile, kTile}, 8, kPlanes, &image), 0);
  QXImageGetNativeTile(image, 0, 0, nullptr);
  const bool stuck = QXImageTileInUse(image);
  EXPECT_FALSE(stuck) << "the tile's use lock is held with no one to release it";
  if (!stuck) QXImageRelease(image);  // would wait forever otherwise: leaked on purpose
}

// Runs after the tests that use the store: it shuts the store down. A tile that was resident (read back from its slot,
// clean) when the store folder went away must not lose its pixels at its next purge.
TEST(StressStore, ShutdownKeepsTilesThatWereResident) {
  Home();
  QXImageRef image = nullptr;
  ASSERT_EQ(QXImageCreateWithParams(QXRect{0, 0, kTile, kTile}, 8, kPlanes, &image), 0);
  std::vector<uint8_t> out(static_cast<size_t>(kTileBytes)), in(static_cast<size_t>(kTileBytes));
  FillTile(out, 4242);
  const QXRect all{0, 0, kTile, kTile};
  ASSERT_EQ(QXImageWrite(image, all, 0, -1, out.data(), 0), 0);
  ASSERT_EQ(QXImagePurge(image), 0);                           // dirty: goes to its slot
  ASSERT_EQ(QXImageRead(image, all, 0, -1, in.data(), 0), 0);  // back, clean, resident
  ASSERT_EQ(in, out);
  QXImageShutdown();
  ASSERT_EQ(QXImagePurge(image), 0);
  std::fill(in.begin(), in.end(), 0);
  EXPECT_EQ(QXImageRead(image, all, 0, -1, in.data(), 0), 0);
  EXPECT_EQ(in, out);
  QXImageRelease(image);
}

[[noreturn]] void SetDataOnNativeTileThenPurge() {
  QXImageRef image = nullptr;
  if (QXImageCreateWithParams(QXRect{0, 0, 16, 16}, 8, 1, &image) != 0) std::_Exit(2);
  QXTileRef tile = nullptr;
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

// QXTileSetData on a record's tile (heap storage) must not make the heap free a CFData's bytes.
TEST(StressTileApi, SetDataOnNativeTileKeepsStorageKindsApart) {
  Home();
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // In a child process: today the purge frees the CFData's bytes and the release frees them again.
  EXPECT_EXIT(SetDataOnNativeTileThenPurge(), ::testing::ExitedWithCode(0), "");
}
