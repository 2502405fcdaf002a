// Standalone tiles and the memory pool: coherence states, info dictionaries, storage, the use lock,
// transfers between images and tiles, and exact-size block reuse.
#include <QXCore/QXImage.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "cf/CFRef.h"
#include "image/ImageTile.h"
#include "tests/support/TempHome.h"

using qxcf::adopt;
using qxcf::CFRef;

namespace {

qxtest::TempHome gHome;  // tiled records may reach the disk cache

struct Tile {
  QXTileRef ref;
  explicit Tile(QXTileRef tile) : ref(tile) {}
  ~Tile() { QXTileRelease(ref); }
  Tile(const Tile&) = delete;
  Tile& operator=(const Tile&) = delete;
};

struct Image {
  QXImageRef ref = nullptr;
  Image(int32_t kind, QXRect bounds, int32_t depth, int32_t planes) {
    EXPECT_EQ(QXImageCreateWithParams2(bounds, depth, planes, 2, 0, kind, &ref), 0);
  }
  ~Image() { QXImageRelease(ref); }
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;
};

uint8_t Byte(int64_t x, int64_t y, int64_t i) { return uint8_t(x * 29 + y * 11 + i * 71 + (x >> 8) * 3); }

void Paint(QXImageRef image) {
  const QXRect b = QXImageGetBounds(image);
  const int32_t col = QXImageGetColBytes(image);
  std::vector<uint8_t> bytes(size_t(b.width) * size_t(b.height) * size_t(col));
  size_t n = 0;
  for (int64_t y = b.y; y < b.y + b.height; ++y)
    for (int64_t x = b.x; x < b.x + b.width; ++x)
      for (int32_t i = 0; i < col; ++i) bytes[n++] = Byte(x, y, i);
  ASSERT_EQ(QXImageWrite(image, b, 0, -1, bytes.data(), 0), 0);
}

CFRef<CFNumberRef> Number(int32_t value) { return adopt(CFNumberCreate(nullptr, kCFNumberIntType, &value)); }

int32_t IntOf(CFDictionaryRef info, const char* key) {
  CFRef<CFStringRef> name = adopt(CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8));
  const void* value = CFDictionaryGetValue(info, name.get());
  int32_t number = -999;
  if (value) CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberIntType, &number);
  return number;
}

CFIndex DataLength(QXTileRef tile) { return QXTileGetData(tile) ? CFDataGetLength(QXTileGetData(tile)) : -1; }

}  // namespace

TEST(ImageTile, CoherenceStates) {
  Tile tile(QXTileCreate());
  EXPECT_EQ(QXTileGetCoherenceState(tile.ref), 0);
  QXTileSetDirty(tile.ref, true);
  EXPECT_TRUE(QXTileGetDirty(tile.ref));
  EXPECT_EQ(QXTileGetCoherenceState(tile.ref), 0x64624D72);
  QXTileSetTextureDirty(tile.ref, true);
  EXPECT_TRUE(QXTileIsTextureDirty(tile.ref));
  EXPECT_EQ(QXTileGetCoherenceState(tile.ref), 0x74694D72);
  QXTileSetDirty(tile.ref, false);  // clearing a flag keeps the state
  EXPECT_FALSE(QXTileGetDirty(tile.ref));
  EXPECT_EQ(QXTileGetCoherenceState(tile.ref), 0x74694D72);
  QXTileSetCoherenceState(tile.ref, kQXTileStateCoherent);
  QXTileSetTextureDirty(tile.ref, false);
  EXPECT_FALSE(QXTileIsTextureDirty(tile.ref));
  EXPECT_EQ(QXTileGetCoherenceState(tile.ref), kQXTileStateCoherent);

  // A write through the image marks the tiles it touches, and only those.
  Image image(0, QXRect{0, 0, 600, 10}, 8, 1);
  const uint8_t px = 9;
  ASSERT_EQ(QXImageWrite(image.ref, QXRect{300, 2, 1, 1}, 0, -1, &px, 0), 0);
  QXTileRef native = nullptr;
  ASSERT_EQ(QXImageGetNativeTile(image.ref, 0, 1, &native), 0);
  EXPECT_TRUE(QXTileGetDirty(native));
  EXPECT_EQ(QXTileGetCoherenceState(native), kQXTileStateRAMNewest);
  QXTileReleaseUse(native);
  ASSERT_EQ(QXImageGetNativeTile(image.ref, 0, 2, &native), 0);
  EXPECT_FALSE(QXTileGetDirty(native));
  QXTileReleaseUse(native);
}

TEST(ImageTile, InfoDictionariesAndRawData) {
  const char* keys[] = {"tile_width", "tile_height", "tile_x", "tile_y", "depth", "rowbytes", "colbytes"};
  CFRef<CFDictionaryRef> empty = adopt(CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                          &kCFTypeDictionaryValueCallBacks));
  Tile bare(QXTileCreateWithInfo(empty.get()));
  ASSERT_NE(bare.ref, nullptr);
  EXPECT_EQ(QXTileGetWidth(bare.ref), 0);
  EXPECT_EQ(QXTileGetRowBytes(bare.ref), 0);
  EXPECT_EQ(QXTileGetData(bare.ref), nullptr);
  CFRef<CFDictionaryRef> info = adopt(QXTileGetInfoCopy(bare.ref));
  ASSERT_TRUE(info);
  EXPECT_EQ(CFDictionaryGetCount(info.get()), 7);
  for (const char* key : keys) EXPECT_EQ(IntOf(info.get(), key), 0) << key;
  EXPECT_FALSE(CFDictionaryContainsKey(info.get(), CFSTR("raw")));

  // "raw" is taken only as mutable data of rowbytes x tile_height bytes.
  auto makeInfo = [&](CFTypeRef raw) {
    CFRef<CFMutableDictionaryRef> d =
        adopt(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    const int32_t values[] = {4, 3, -7, 9, 16, 24, 6};
    for (int i = 0; i < 7; ++i) {
      CFRef<CFStringRef> name = adopt(CFStringCreateWithCString(nullptr, keys[i], kCFStringEncodingUTF8));
      CFDictionarySetValue(d.get(), name.get(), Number(values[i]).get());
    }
    if (raw) CFDictionarySetValue(d.get(), CFSTR("raw"), raw);
    return d;
  };
  CFRef<CFMutableDataRef> good = adopt(CFDataCreateMutable(nullptr, 0));
  CFDataSetLength(good.get(), 72);
  CFDataGetMutableBytePtr(good.get())[71] = 0x42;
  Tile withRaw(QXTileCreateWithInfo(makeInfo(good.get()).get()));
  EXPECT_EQ(QXTileGetData(withRaw.ref), good.get());
  EXPECT_EQ(QXTileGetDataPtr(withRaw.ref), CFDataGetMutableBytePtr(good.get()));
  EXPECT_EQ(QXTileGetX(withRaw.ref), -7);
  EXPECT_EQ(QXTileRealloc(withRaw.ref), 0);  // already the right size: kept
  EXPECT_EQ(QXTileGetData(withRaw.ref), good.get());
  EXPECT_EQ(static_cast<uint8_t*>(QXTileGetDataPtr(withRaw.ref))[71], 0x42);
  info = adopt(QXTileGetInfoCopy(withRaw.ref));
  EXPECT_EQ(CFDictionaryGetValue(info.get(), CFSTR("raw")), good.get());
  EXPECT_EQ(IntOf(info.get(), "rowbytes"), 24);

  uint8_t bytes[72] = {};
  CFRef<CFDataRef> frozen = adopt(CFDataCreate(nullptr, bytes, 72));
  CFRef<CFMutableDataRef> shortData = adopt(CFDataCreateMutable(nullptr, 0));
  CFDataSetLength(shortData.get(), 71);
  for (CFTypeRef bad : {CFTypeRef(frozen.get()), CFTypeRef(shortData.get()), CFTypeRef(CFSTR("raw"))}) {
    Tile tile(QXTileCreateWithInfo(makeInfo(bad).get()));
    EXPECT_EQ(QXTileGetData(tile.ref), nullptr);
    EXPECT_EQ(QXTileGetDataPtr(tile.ref), nullptr);
    EXPECT_EQ(QXTileGetWidth(tile.ref), 4);
  }
}

TEST(ImageTile, StorageIsZeroedAllocatedOnceAndTracksSetData) {
  Tile tile(QXTileCreateWithParams(5, 6, 8, 4, 3, 16, true));
  EXPECT_EQ(QXTileGetColBytes(tile.ref), 6);
  EXPECT_EQ(QXTileGetRowBytes(tile.ref), 48);
  ASSERT_EQ(DataLength(tile.ref), 192);
  auto* data = static_cast<uint8_t*>(QXTileGetDataPtr(tile.ref));
  EXPECT_EQ(std::vector<uint8_t>(data, data + 192), std::vector<uint8_t>(192, 0));
  CFMutableDataRef object = QXTileGetData(tile.ref);
  std::memset(data, 0x33, 192);
  EXPECT_EQ(QXTileRealloc(tile.ref), 0);
  EXPECT_EQ(QXTileGetData(tile.ref), object);
  EXPECT_EQ(QXTileGetDataPtr(tile.ref), data);
  EXPECT_EQ(data[191], 0x33);
  // A new size gets new zeroed storage.
  QXTileSetBounds(tile.ref, 5, 6, 8, 5);
  EXPECT_EQ(QXTileRealloc(tile.ref), 0);
  ASSERT_EQ(DataLength(tile.ref), 240);
  data = static_cast<uint8_t*>(QXTileGetDataPtr(tile.ref));
  EXPECT_EQ(std::vector<uint8_t>(data, data + 240), std::vector<uint8_t>(240, 0));

  // Data given with SetData counts as the allocation: a Realloc of its size keeps it.
  CFRef<CFMutableDataRef> mine = adopt(CFDataCreateMutable(nullptr, 0));
  CFDataSetLength(mine.get(), 480);
  QXTileSetData(tile.ref, mine.get());
  EXPECT_EQ(QXTileGetDataPtr(tile.ref), CFDataGetMutableBytePtr(mine.get()));
  QXTileSetRowBytes(tile.ref, 96);
  EXPECT_EQ(QXTileRealloc(tile.ref), 0);
  EXPECT_EQ(QXTileGetData(tile.ref), mine.get());
  // Smaller data than the tile needs is replaced by storage of the right size.
  CFRef<CFMutableDataRef> small = adopt(CFDataCreateMutable(nullptr, 0));
  CFDataSetLength(small.get(), 10);
  QXTileSetData(tile.ref, small.get());
  EXPECT_EQ(QXTileRealloc(tile.ref), 0);
  EXPECT_NE(QXTileGetData(tile.ref), small.get());
  EXPECT_EQ(DataLength(tile.ref), 480);
  QXTileSetData(tile.ref, nullptr);
  EXPECT_EQ(QXTileGetDataPtr(tile.ref), nullptr);
  EXPECT_EQ(QXTileRealloc(tile.ref), 0);
  EXPECT_EQ(DataLength(tile.ref), 480);
}

TEST(ImageTile, ConcurrentAcquireWaitsForTheHolder) {
  Tile tile(QXTileCreate());
  QXTileAcquireUse(tile.ref);
  EXPECT_EQ(QXTileGetLock(tile.ref), 1);
  std::atomic<bool> started{false}, acquired{false};
  std::thread waiter([&] {
    started = true;
    QXTileAcquireUse(tile.ref);
    acquired = true;
    QXTileReleaseUse(tile.ref);
  });
  while (!started) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  EXPECT_FALSE(acquired.load());
  QXTileReleaseUse(tile.ref);
  waiter.join();
  EXPECT_TRUE(acquired.load());
  EXPECT_EQ(QXTileGetLock(tile.ref), 0);
}

// A tile already laid out for all four planes receives two: its colBytes and rowBytes must then
// describe the packed two-plane data it holds, so that a reader addressing it by them finds it.
TEST(ImageTile, GetImageTileRelaysOutAPresizedTileForThePlanesMoved) {
  Image image(0, QXRect{0, 0, 600, 300}, 8, 4);
  Paint(image.ref);
  Tile tile(QXTileCreateWithParams(250, 240, 20, 30, 4, 8, false));
  ASSERT_EQ(QXImageGetImageTile2(image.ref, tile.ref, 1, 2, 0), 0);
  EXPECT_EQ(QXTileGetColBytes(tile.ref), 2);
  EXPECT_EQ(QXTileGetRowBytes(tile.ref), 40);
  EXPECT_EQ(DataLength(tile.ref), 40 * 30);
  const auto* data = static_cast<const uint8_t*>(QXTileGetDataPtr(tile.ref));
  ASSERT_NE(data, nullptr);
  const int32_t rowBytes = QXTileGetRowBytes(tile.ref), colBytes = QXTileGetColBytes(tile.ref);
  int wrong = 0;
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 20; ++x)
      for (int p = 0; p < 2; ++p) wrong += data[y * rowBytes + x * colBytes + p] != Byte(250 + x, 240 + y, 1 + p);
  EXPECT_EQ(wrong, 0);
}

TEST(ImageTile, ImageTileTransfersSizeStorageForThePlanesMoved) {
  for (int32_t kind : {0, 1}) {
    SCOPED_TRACE(kind == 0 ? "tiled" : "memory");
    Image image(kind, QXRect{0, 0, 600, 300}, 8, 4);
    Paint(image.ref);
    // Planes 1 and 2 of a rectangle across the tile corner at (256, 256): two bytes a pixel, packed.
    Tile fresh(QXTileCreate());
    QXTileSetBounds(fresh.ref, 250, 240, 20, 30);
    {
      QXTileRef tile = fresh.ref;
      ASSERT_EQ(QXImageGetImageTile2(image.ref, tile, 1, 2, 0), 0);
      EXPECT_EQ(QXTileGetColBytes(tile), 2);
      EXPECT_EQ(QXTileGetRowBytes(tile), 40);
      EXPECT_EQ(DataLength(tile), 40 * 30);
      const auto* data = static_cast<const uint8_t*>(QXTileGetDataPtr(tile));
      ASSERT_NE(data, nullptr);
      int wrong = 0;
      for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 20; ++x)
          for (int p = 0; p < 2; ++p) wrong += data[(y * 20 + x) * 2 + p] != Byte(250 + x, 240 + y, 1 + p);
      EXPECT_EQ(wrong, 0);
    }

    // A tile without data is refused and the image keeps its pixels.
    Tile empty(QXTileCreate());
    QXTileSetBounds(empty.ref, 0, 0, 10, 10);
    QXTileSetColBytes(empty.ref, 4);
    QXTileSetRowBytes(empty.ref, 40);
    EXPECT_NE(QXImageSetImageTile(image.ref, empty.ref), 0);
    uint8_t px[4] = {};
    ASSERT_EQ(QXImageRead(image.ref, QXRect{3, 3, 1, 1}, 0, -1, px, 0), 0);
    EXPECT_EQ(px[1], Byte(3, 3, 1));

    // Get, change, Set: a tile across tile edges and past the image's right edge.
    Tile moved(QXTileCreate());
    QXTileSetBounds(moved.ref, 500, 200, 150, 90);
    ASSERT_EQ(QXImageGetImageTile(image.ref, moved.ref), 0);
    ASSERT_EQ(DataLength(moved.ref), 150 * 90 * 4);
    auto* data = static_cast<uint8_t*>(QXTileGetDataPtr(moved.ref));
    for (size_t i = 0; i < size_t(150 * 90 * 4); ++i) data[i] = uint8_t(~data[i]);
    ASSERT_EQ(QXImageSetImageTile(image.ref, moved.ref), 0);
    std::vector<uint8_t> all(size_t(600) * 300 * 4);
    ASSERT_EQ(QXImageRead(image.ref, QXRect{0, 0, 600, 300}, 0, -1, all.data(), 0), 0);
    int wrong = 0;
    for (int y = 190; y < 300; ++y)
      for (int x = 490; x < 600; ++x)
        for (int p = 0; p < 4; ++p) {
          const bool inTile = x >= 500 && y >= 200 && y < 290;
          const uint8_t want = inTile ? uint8_t(~Byte(x, y, p)) : Byte(x, y, p);
          wrong += all[size_t((y * 600 + x) * 4 + p)] != want;
        }
    EXPECT_EQ(wrong, 0);
  }

  // A 16-bit image read as high bytes fills one byte a sample.
  Image deep(0, QXRect{0, 0, 300, 10}, 16, 3);
  Paint(deep.ref);
  Tile high(QXTileCreate());
  QXTileSetBounds(high.ref, 254, 2, 4, 2);
  ASSERT_EQ(QXImageGetImageTile2(deep.ref, high.ref, 0, -1, kQXImageFlagRead8), 0);
  EXPECT_EQ(DataLength(high.ref), 4 * 2 * 3);
  const auto* data = static_cast<const uint8_t*>(QXTileGetDataPtr(high.ref));
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data[0], Byte(254, 2, 1));  // high byte of little-endian sample 0
  EXPECT_EQ(data[23], Byte(257, 3, 5));
}

// Setting back 8-bit data: with 0x01 also set, 0x01 wins and the transfer needs 16-bit samples,
// which this tile's data does not hold; it must be refused, not over-read.
TEST(ImageTile, SetImageTileRefusesDataTooSmallForTheFlagThatWins) {
  Image deep(0, QXRect{0, 0, 300, 10}, 16, 3);
  Tile narrow(QXTileCreate());
  QXTileSetBounds(narrow.ref, 0, 0, 10, 10);
  QXTileSetColBytes(narrow.ref, 3);
  QXTileSetRowBytes(narrow.ref, 30);
  CFRef<CFMutableDataRef> bytes = adopt(CFDataCreateMutable(nullptr, 0));
  CFDataSetLength(bytes.get(), 300);
  QXTileSetData(narrow.ref, bytes.get());
  ASSERT_EQ(QXImageSetImageTile2(deep.ref, narrow.ref, 0, -1, kQXImageFlagWrite8), 0);
  EXPECT_NE(QXImageSetImageTile2(deep.ref, narrow.ref, 0, -1, kQXImageFlagWrite8 | kQXImageFlag15To16), 0);
}

// The pool is reached through tiles of storage kind 3 (the pool class itself is not exported).
TEST(MemPool, ReusesOnlyExactSizesAndZeroesTileStorage) {
  auto poolTile = [](int32_t bytes) {
    qx::Ref<CImageTile> tile = qx::make<CImageTile>();
    tile->mAllocKind = kQXTileStoragePool;
    tile->mWidth = bytes;
    tile->mHeight = 1;
    tile->mRowBytes = bytes;
    EXPECT_EQ(tile->Realloc(), 0);
    return tile;
  };
  qx::Ref<CImageTile> a = poolTile(1000);
  uint8_t* block = a->DataPtr();
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % alignof(std::max_align_t), 0u);
  EXPECT_EQ(a->mAllocSize, 1000);
  std::memset(block, 0x5A, 1000);
  EXPECT_EQ(a->Realloc(), 0);  // same size: kept
  EXPECT_EQ(a->DataPtr(), block);
  a->FreeData();
  EXPECT_EQ(a->DataPtr(), nullptr);
  EXPECT_EQ(a->mAllocSize, 0);
  // The free block of 1000 bytes serves only a request of 1000 bytes, and comes back zeroed.
  qx::Ref<CImageTile> b = poolTile(1001);
  EXPECT_NE(b->DataPtr(), block);
  qx::Ref<CImageTile> c = poolTile(999);
  EXPECT_NE(c->DataPtr(), block);
  qx::Ref<CImageTile> d = poolTile(1000);
  EXPECT_EQ(d->DataPtr(), block);
  EXPECT_EQ(std::vector<uint8_t>(block, block + 1000), std::vector<uint8_t>(1000, 0));
  qx::Ref<CImageTile> e = poolTile(1000);  // that block is taken now
  EXPECT_NE(e->DataPtr(), block);
}
