// Standalone tiles and the memory pool: coherence states, info dictionaries, storage, the use lock,
// transfers between images and tiles, and exact-size block reuse.
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "cf/CFRef.h"
#include "image/ImageTile.h"
#include "tests/image/ImageTestSupport.h"

using qxcf::adopt;
using qxcf::CFRef;
using namespace qxtest;

namespace {

struct Tile {
  QXTileRef ref;
  explicit Tile(QXTileRef tile = QXTileCreate()) : ref(tile) {}
  Tile(int32_t x, int32_t y, int32_t width, int32_t height) : ref(QXTileCreate()) {
    QXTileSetBounds(ref, x, y, width, height);
  }
  ~Tile() { QXTileRelease(ref); }
  Tile(const Tile&) = delete;
  Tile& operator=(const Tile&) = delete;
  const uint8_t* data() const { return static_cast<const uint8_t*>(QXTileGetDataPtr(ref)); }
  CFIndex length() const { return QXTileGetData(ref) ? CFDataGetLength(QXTileGetData(ref)) : -1; }
};

CFRef<CFMutableDataRef> MutableData(CFIndex length) {
  CFRef<CFMutableDataRef> data = adopt(CFDataCreateMutable(nullptr, 0));
  CFDataSetLength(data.get(), length);
  return data;
}

CFRef<CFStringRef> Key(const char* key) {
  return adopt(CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8));
}

int32_t IntOf(CFDictionaryRef info, const char* key) {
  const void* value = CFDictionaryGetValue(info, Key(key).get());
  int32_t number = -999;
  if (value) CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberIntType, &number);
  return number;
}

}  // namespace

TEST(ImageTile, CoherenceStates) {
  Tile tile;
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

  // A write through the image marks the tiles it touches, and only those.
  Image image(kTiled, QXRect{0, 0, 600, 10}, 8, 1);
  const uint8_t px = 9;
  ASSERT_EQ(QXImageWrite(image, QXRect{300, 2, 1, 1}, 0, -1, &px, 0), 0);
  for (int32_t col : {1, 2}) {
    QXTileRef native = nullptr;
    ASSERT_EQ(QXImageGetNativeTile(image, 0, col, &native), 0);
    EXPECT_EQ(QXTileGetDirty(native), col == 1);
    EXPECT_TRUE(col != 1 || QXTileGetCoherenceState(native) == kQXTileStateRAMNewest);
    QXTileReleaseUse(native);
  }
}

TEST(ImageTile, InfoDictionariesAndRawData) {
  const char* keys[] = {"tile_width", "tile_height", "tile_x", "tile_y", "depth", "rowbytes", "colbytes"};
  CFRef<CFDictionaryRef> empty = adopt(CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                          &kCFTypeDictionaryValueCallBacks));
  Tile bare(QXTileCreateWithInfo(empty.get()));
  ASSERT_NE(bare.ref, nullptr);
  EXPECT_EQ(QXTileGetData(bare.ref), nullptr);
  CFRef<CFDictionaryRef> info = adopt(QXTileGetInfoCopy(bare.ref));
  ASSERT_TRUE(info);
  EXPECT_EQ(CFDictionaryGetCount(info.get()), 7);
  for (const char* key : keys) EXPECT_EQ(IntOf(info.get(), key), 0) << key;

  // "raw" is taken only as mutable data of rowbytes x tile_height bytes.
  auto makeInfo = [&](CFTypeRef raw) {
    CFRef<CFMutableDictionaryRef> d =
        adopt(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    const int32_t values[] = {4, 3, -7, 9, 16, 24, 6};
    for (int i = 0; i < 7; ++i) {
      CFRef<CFNumberRef> number = adopt(CFNumberCreate(nullptr, kCFNumberIntType, &values[i]));
      CFDictionarySetValue(d.get(), Key(keys[i]).get(), number.get());
    }
    CFDictionarySetValue(d.get(), CFSTR("raw"), raw);
    return d;
  };
  CFRef<CFMutableDataRef> good = MutableData(72);
  CFDataGetMutableBytePtr(good.get())[71] = 0x42;
  Tile withRaw(QXTileCreateWithInfo(makeInfo(good.get()).get()));
  EXPECT_EQ(QXTileGetData(withRaw.ref), good.get());
  EXPECT_EQ(QXTileGetX(withRaw.ref), -7);
  EXPECT_EQ(QXTileRealloc(withRaw.ref), 0);  // already the right size: kept
  EXPECT_EQ(QXTileGetData(withRaw.ref), good.get());
  EXPECT_EQ(withRaw.data()[71], 0x42);
  info = adopt(QXTileGetInfoCopy(withRaw.ref));
  EXPECT_EQ(CFDictionaryGetValue(info.get(), CFSTR("raw")), good.get());
  EXPECT_EQ(IntOf(info.get(), "rowbytes"), 24);

  uint8_t bytes[72] = {};
  CFRef<CFDataRef> frozen = adopt(CFDataCreate(nullptr, bytes, 72));
  CFRef<CFMutableDataRef> shortData = MutableData(71);
  for (CFTypeRef bad : {CFTypeRef(frozen.get()), CFTypeRef(shortData.get()), CFTypeRef(CFSTR("raw"))}) {
    Tile tile(QXTileCreateWithInfo(makeInfo(bad).get()));
    EXPECT_EQ(QXTileGetData(tile.ref), nullptr);
    EXPECT_EQ(QXTileGetWidth(tile.ref), 4);
  }
}

TEST(ImageTile, StorageIsZeroedAllocatedOnceAndTracksSetData) {
  Tile tile(QXTileCreateWithParams(5, 6, 8, 4, 3, 16, true));
  EXPECT_EQ(QXTileGetColBytes(tile.ref), 6);
  EXPECT_EQ(QXTileGetRowBytes(tile.ref), 48);
  ASSERT_EQ(tile.length(), 192);
  EXPECT_EQ(std::vector<uint8_t>(tile.data(), tile.data() + 192), std::vector<uint8_t>(192, 0));
  CFMutableDataRef object = QXTileGetData(tile.ref);
  std::memset(QXTileGetDataPtr(tile.ref), 0x33, 192);
  EXPECT_EQ(QXTileRealloc(tile.ref), 0);
  EXPECT_EQ(QXTileGetData(tile.ref), object);
  EXPECT_EQ(tile.data()[191], 0x33);
  // A new size gets new zeroed storage.
  QXTileSetBounds(tile.ref, 5, 6, 8, 5);
  EXPECT_EQ(QXTileRealloc(tile.ref), 0);
  ASSERT_EQ(tile.length(), 240);
  EXPECT_EQ(std::vector<uint8_t>(tile.data(), tile.data() + 240), std::vector<uint8_t>(240, 0));

  // Data given with SetData counts as the allocation: a Realloc of its size keeps it, smaller data
  // is replaced by storage of the right size.
  CFRef<CFMutableDataRef> mine = MutableData(480), small = MutableData(10);
  QXTileSetData(tile.ref, mine.get());
  QXTileSetRowBytes(tile.ref, 96);
  EXPECT_EQ(QXTileRealloc(tile.ref), 0);
  EXPECT_EQ(QXTileGetData(tile.ref), mine.get());
  QXTileSetData(tile.ref, small.get());
  EXPECT_EQ(QXTileRealloc(tile.ref), 0);
  EXPECT_NE(QXTileGetData(tile.ref), small.get());
  EXPECT_EQ(tile.length(), 480);
  QXTileSetData(tile.ref, nullptr);
  EXPECT_EQ(QXTileGetDataPtr(tile.ref), nullptr);
  EXPECT_EQ(QXTileRealloc(tile.ref), 0);
  EXPECT_EQ(tile.length(), 480);
}

TEST(ImageTile, ConcurrentAcquireWaitsForTheHolder) {
  Tile tile;
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

TEST(ImageTile, ImageTileTransfersSizeStorageForThePlanesMoved) {
  for (int32_t kind : {kTiled, kMemory}) {
    SCOPED_TRACE(kind == kTiled ? "tiled" : "memory");
    Image image(kind, QXRect{0, 0, 600, 300}, 8, 4);
    Paint(image);
    // Planes 1 and 2 across the tile corner at (256, 256), into a fresh tile and into one laid out
    // for four planes: both describe the packed two-plane data they now hold.
    Tile fresh(250, 240, 20, 30), presized(QXTileCreateWithParams(250, 240, 20, 30, 4, 8, false));
    for (const Tile* tile : {&fresh, &presized}) {
      ASSERT_EQ(QXImageGetImageTile2(image, tile->ref, 1, 2, 0), 0);
      EXPECT_EQ(QXTileGetColBytes(tile->ref), 2);
      EXPECT_EQ(QXTileGetRowBytes(tile->ref), 40);
      ASSERT_EQ(tile->length(), 40 * 30);
      int wrong = 0;
      for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 20; ++x)
          for (int p = 0; p < 2; ++p) wrong += tile->data()[(y * 20 + x) * 2 + p] != Byte(250 + x, 240 + y, 1 + p);
      EXPECT_EQ(wrong, 0);
    }

    // A tile without data is refused and the image keeps its pixels.
    Tile empty(0, 0, 10, 10);
    QXTileSetColBytes(empty.ref, 4);
    QXTileSetRowBytes(empty.ref, 40);
    EXPECT_NE(QXImageSetImageTile(image, empty.ref), 0);
    EXPECT_TRUE(ReadAll(image) == Pattern(QXRect{0, 0, 600, 300}, 4));

    // Get, change, Set: a tile across tile edges and past the image's right edge.
    Tile moved(500, 200, 150, 90);
    ASSERT_EQ(QXImageGetImageTile(image, moved.ref), 0);
    ASSERT_EQ(moved.length(), 150 * 90 * 4);
    auto* data = static_cast<uint8_t*>(QXTileGetDataPtr(moved.ref));
    for (size_t i = 0; i < size_t(150 * 90 * 4); ++i) data[i] = uint8_t(~data[i]);
    ASSERT_EQ(QXImageSetImageTile(image, moved.ref), 0);
    const std::vector<uint8_t> all = ReadAll(image);
    int wrong = 0;
    for (int y = 190; y < 300; ++y)
      for (int x = 490; x < 600; ++x)
        for (int p = 0; p < 4; ++p) {
          const bool inTile = x >= 500 && y >= 200 && y < 290;
          wrong += all[size_t((y * 600 + x) * 4 + p)] != (inTile ? uint8_t(~Byte(x, y, p)) : Byte(x, y, p));
        }
    EXPECT_EQ(wrong, 0);
  }

  // A 16-bit image read as high bytes fills one byte a sample.
  Image deep(kTiled, QXRect{0, 0, 300, 10}, 16, 3);
  Paint(deep);
  Tile high(254, 2, 4, 2);
  ASSERT_EQ(QXImageGetImageTile2(deep, high.ref, 0, -1, kQXImageFlagRead8), 0);
  ASSERT_EQ(high.length(), 4 * 2 * 3);
  EXPECT_EQ(high.data()[0], Byte(254, 2, 1));  // high byte of little-endian sample 0
  EXPECT_EQ(high.data()[23], Byte(257, 3, 5));

  // 8-bit data set back with 0x01 as well: 0x01 wins and needs 16-bit samples this data lacks.
  Tile narrow(0, 0, 10, 10);
  QXTileSetColBytes(narrow.ref, 3);
  QXTileSetRowBytes(narrow.ref, 30);
  CFRef<CFMutableDataRef> bytes = MutableData(300);
  QXTileSetData(narrow.ref, bytes.get());
  ASSERT_EQ(QXImageSetImageTile2(deep, narrow.ref, 0, -1, kQXImageFlagWrite8), 0);
  EXPECT_NE(QXImageSetImageTile2(deep, narrow.ref, 0, -1, kQXImageFlagWrite8 | kQXImageFlag15To16), 0);
}

// The pool is reached through tiles of storage kind 3 (the pool class itself is not exported).
TEST(MemPool, ReusesOnlyExactSizesAndZeroesTileStorage) {
  auto poolTile = [](int32_t bytes) {
    qx::Ref<CImageTile> tile = qx::make<CImageTile>();
    tile->mAllocKind = kQXTileStoragePool;
    tile->mWidth = tile->mRowBytes = bytes;
    tile->mHeight = 1;
    EXPECT_EQ(tile->Realloc(), 0);
    return tile;
  };
  qx::Ref<CImageTile> a = poolTile(1000);
  uint8_t* block = a->DataPtr();
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % alignof(std::max_align_t), 0u);
  std::memset(block, 0x5A, 1000);
  EXPECT_EQ(a->Realloc(), 0);  // same size: kept
  EXPECT_EQ(a->DataPtr(), block);
  a->FreeData();
  EXPECT_EQ(a->DataPtr(), nullptr);
  EXPECT_EQ(a->mAllocSize, 0);
  // The free block of 1000 bytes serves only a request of 1000 bytes, and comes back zeroed.
  qx::Ref<CImageTile> b = poolTile(1001), c = poolTile(999), d = poolTile(1000), e = poolTile(1000);
  EXPECT_NE(b->DataPtr(), block);
  EXPECT_NE(c->DataPtr(), block);
  EXPECT_EQ(d->DataPtr(), block);
  EXPECT_EQ(std::vector<uint8_t>(block, block + 1000), std::vector<uint8_t>(1000, 0));
  EXPECT_NE(e->DataPtr(), block);  // that block is taken now
}
