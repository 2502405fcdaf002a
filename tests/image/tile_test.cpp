// Standalone tiles, the use lock, transfers between images and tiles, the memory pool and block memory.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "cf/CFRef.h"
#include "image/BlockMemory.h"
#include "image/ImageTile.h"
#include "tests/image/ImageTestSupport.h"

using qxcf::adopt;
using qxcf::CFRef;
using namespace qxtest;

namespace {

struct Tile {
  QXTileRef ref;
  explicit Tile(QXTileRef tile = QXTileCreate()) : ref(tile) {}
  // A tile of the given bounds and layout, without data.
  Tile(int32_t x, int32_t y, int32_t width, int32_t height, int32_t colBytes = 0) : ref(QXTileCreate()) {
    QXTileSetBounds(ref, x, y, width, height);
    QXTileSetColBytes(ref, colBytes);
    QXTileSetRowBytes(ref, colBytes * width);
  }
  ~Tile() { QXTileRelease(ref); }
  Tile(const Tile&) = delete;
  Tile& operator=(const Tile&) = delete;
  uint8_t* data() const { return static_cast<uint8_t*>(QXTileGetDataPtr(ref)); }
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

bool AllZero(const uint8_t* p, size_t n) {
  return std::all_of(p, p + n, [](uint8_t v) { return v == 0; });
}

}  // namespace

TEST(ImageTile, CoherenceStates) {
  Tile tile;
  EXPECT_EQ(QXTileGetCoherenceState(tile.ref), 0);
  QXTileSetDirty(tile.ref, true);
  EXPECT_EQ(QXTileGetCoherenceState(tile.ref), kQXTileStateRAMNewest);
  QXTileSetTextureDirty(tile.ref, true);
  QXTileSetDirty(tile.ref, false);  // clearing a flag keeps the state
  EXPECT_TRUE(QXTileIsTextureDirty(tile.ref) && !QXTileGetDirty(tile.ref));
  EXPECT_EQ(QXTileGetCoherenceState(tile.ref), kQXTileStateVRAMNewest);
}

TEST(ImageTile, InfoDictionariesAndStorage) {
  const char* keys[] = {"tile_width", "tile_height", "tile_x", "tile_y", "depth", "rowbytes", "colbytes"};
  auto intOf = [](CFDictionaryRef info, const char* key) {
    int32_t number = -999;
    if (const void* value = CFDictionaryGetValue(info, Key(key).get()))
      CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberIntType, &number);
    return number;
  };
  // An empty dictionary: a tile of zeros without data, whose info lists every field.
  CFRef<CFMutableDictionaryRef> d =
      adopt(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  Tile bare(QXTileCreateWithInfo(d.get()));
  CFRef<CFDictionaryRef> info = adopt(QXTileGetInfoCopy(bare.ref));
  EXPECT_TRUE(QXTileGetData(bare.ref) == nullptr && CFDictionaryGetCount(info.get()) == 7);
  for (const char* key : keys) EXPECT_EQ(intOf(info.get(), key), 0) << key;
  // "raw" is taken only as mutable data of rowbytes x tile_height bytes.
  const int32_t values[] = {4, 3, -7, 9, 16, 24, 6};
  for (int i = 0; i < 7; ++i)
    CFDictionarySetValue(d.get(), Key(keys[i]).get(),
                         adopt(CFNumberCreate(nullptr, kCFNumberIntType, &values[i])).get());
  uint8_t bytes[72] = {};
  CFRef<CFDataRef> frozen = adopt(CFDataCreate(nullptr, bytes, 72));
  CFRef<CFMutableDataRef> good = MutableData(72), shortData = MutableData(71);
  for (CFTypeRef bad : {CFTypeRef(frozen.get()), CFTypeRef(shortData.get()), CFTypeRef(CFSTR("raw"))}) {
    CFDictionarySetValue(d.get(), CFSTR("raw"), bad);
    Tile tile(QXTileCreateWithInfo(d.get()));
    EXPECT_TRUE(QXTileGetData(tile.ref) == nullptr && QXTileGetWidth(tile.ref) == 4);
  }
  CFDataGetMutableBytePtr(good.get())[71] = 0x42;
  CFDictionarySetValue(d.get(), CFSTR("raw"), good.get());
  Tile withRaw(QXTileCreateWithInfo(d.get()));
  EXPECT_TRUE(QXTileGetX(withRaw.ref) == -7 && QXTileRealloc(withRaw.ref) == 0);  // the right size: kept
  EXPECT_TRUE(QXTileGetData(withRaw.ref) == good.get() && withRaw.data()[71] == 0x42);
  info = adopt(QXTileGetInfoCopy(withRaw.ref));
  EXPECT_TRUE(CFDictionaryGetValue(info.get(), CFSTR("raw")) == good.get() && intOf(info.get(), "rowbytes") == 24);

  // New storage is zeroed and kept by Realloc at the same size; a new size gets new zeroed storage.
  Tile tile(QXTileCreateWithParams(5, 6, 8, 4, 3, 16, true));
  EXPECT_TRUE(QXTileGetColBytes(tile.ref) == 6 && QXTileGetRowBytes(tile.ref) == 48);
  ASSERT_EQ(tile.length(), 192);
  EXPECT_TRUE(AllZero(tile.data(), 192));
  CFMutableDataRef object = QXTileGetData(tile.ref);
  std::memset(tile.data(), 0x33, 192);
  EXPECT_TRUE(QXTileRealloc(tile.ref) == 0 && QXTileGetData(tile.ref) == object && tile.data()[191] == 0x33);
  QXTileSetBounds(tile.ref, 5, 6, 8, 5);
  ASSERT_TRUE(QXTileRealloc(tile.ref) == 0 && tile.length() == 240);
  EXPECT_TRUE(AllZero(tile.data(), 240));
  // Data given with SetData counts as the allocation: a Realloc keeps it at its size, else replaces it.
  CFRef<CFMutableDataRef> mine = MutableData(480), small = MutableData(10);
  QXTileSetData(tile.ref, mine.get());
  QXTileSetRowBytes(tile.ref, 96);
  EXPECT_TRUE(QXTileRealloc(tile.ref) == 0 && QXTileGetData(tile.ref) == mine.get());
  QXTileSetData(tile.ref, small.get());
  EXPECT_TRUE(QXTileRealloc(tile.ref) == 0 && QXTileGetData(tile.ref) != small.get() && tile.length() == 480);
  QXTileSetData(tile.ref, nullptr);
  EXPECT_EQ(tile.data(), nullptr);
  EXPECT_TRUE(QXTileRealloc(tile.ref) == 0 && tile.length() == 480);
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
  for (int32_t kind : kPixelKinds) {
    SCOPED_TRACE(kind);
    Image image(kind, QXRect{0, 0, 600, 300}, 8, 4);
    Paint(image);
    // Planes 1 and 2 across a tile corner into a fresh tile and one laid out for four planes: both
    // describe the packed two-plane data they now hold.
    Tile fresh(250, 240, 20, 30), presized(QXTileCreateWithParams(250, 240, 20, 30, 4, 8, false));
    for (const Tile* tile : {&fresh, &presized}) {
      ASSERT_EQ(QXImageGetImageTile2(image, tile->ref, 1, 2, 0), 0);
      EXPECT_TRUE(QXTileGetColBytes(tile->ref) == 2 && QXTileGetRowBytes(tile->ref) == 40);
      ASSERT_EQ(tile->length(), 40 * 30);
      for (int i = 0; i < 40 * 30; ++i)
        ASSERT_EQ(tile->data()[i], Byte(250 + i / 2 % 20, 240 + i / 40, 1 + i % 2)) << i;
    }
    // A tile without data is refused and the image keeps its pixels.
    EXPECT_NE(QXImageSetImageTile(image, Tile(0, 0, 10, 10, 4).ref), 0);
    EXPECT_TRUE(ReadAll(image) == Pattern(QXRect{0, 0, 600, 300}, 4));
    // Get, change, Set: a tile across tile edges and past the image's right edge.
    Tile moved(500, 200, 150, 90);
    ASSERT_EQ(QXImageGetImageTile(image, moved.ref), 0);
    ASSERT_EQ(moved.length(), 150 * 90 * 4);
    for (size_t i = 0; i < size_t(150 * 90 * 4); ++i) moved.data()[i] = uint8_t(~moved.data()[i]);
    ASSERT_EQ(QXImageSetImageTile(image, moved.ref), 0);
    std::vector<uint8_t> want = Pattern(QXRect{0, 0, 600, 300}, 4);
    for (size_t i = 0; i < want.size(); ++i)
      if (i / 4 % 600 >= 500 && i / 2400 >= 200 && i / 2400 < 290) want[i] = uint8_t(~want[i]);
    EXPECT_TRUE(ReadAll(image) == want);
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
  Tile narrow(0, 0, 10, 10, 3);
  QXTileSetData(narrow.ref, MutableData(300).get());
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
  EXPECT_TRUE(a->DataPtr() == nullptr && a->mAllocSize == 0);
  // The free block of 1000 bytes serves only a request of 1000 bytes, and comes back zeroed.
  qx::Ref<CImageTile> b = poolTile(1001), c = poolTile(999), d = poolTile(1000), e = poolTile(1000);
  EXPECT_TRUE(b->DataPtr() != block && c->DataPtr() != block && e->DataPtr() != block);  // then taken
  EXPECT_EQ(d->DataPtr(), block);
  EXPECT_TRUE(AllZero(block, 1000));
}

// Freed tile storage and large blocks are kept for reuse, come back cleared when asked, and stay
// within what the budget allows; blocks handed out on two threads at once are never shared. Under
// AddressSanitizer every block is the heap's and nothing is kept.
TEST(BlockMemory, KeptForReuseClearedAndBoundedThreads) {
#if defined(__SANITIZE_ADDRESS__)
  constexpr bool kKeeps = false;
#else
  constexpr bool kKeeps = true;
#endif
  // Carved from slabs (a tile, a small memory record of an odd size); a mapping of its own.
  for (size_t size : {size_t(256 * 256 * 6), size_t(100001), size_t(5) << 20}) {
    SCOPED_TRACE(size);
    qximage::TrimKeptMemory(true);
    std::vector<uint8_t*> blocks;
    for (int i = 0; i < 24; ++i) {
      auto* block = static_cast<uint8_t*>(qximage::AllocateBlock(size, true));
      ASSERT_TRUE(block != nullptr && AllZero(block, size));
      EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % alignof(std::max_align_t), 0u) << i;
      std::memset(block, 0xA5, size);
      blocks.push_back(block);
    }
    for (uint8_t* block : blocks) qximage::FreeBlock(block, size);
    EXPECT_EQ(qximage::KeptMemoryBytes() >= 24 * size, kKeeps);
    std::vector<uint8_t*> again;
    for (int i = 0; i < 24; ++i) {
      auto* block = static_cast<uint8_t*>(qximage::AllocateBlock(size, i % 2 == 0));
      ASSERT_NE(block, nullptr);
      EXPECT_TRUE(i % 2 == 1 || AllZero(block, size)) << i;
      again.push_back(block);
    }
    // Everything kept went back into use: the slabs carved anew, the large blocks as they were.
    std::sort(blocks.begin(), blocks.end());
    std::sort(again.begin(), again.end());
    EXPECT_EQ(qximage::KeptMemoryBytes(), 0u);
    EXPECT_TRUE(!kKeeps || size < (2u << 20) || again == blocks);
    for (uint8_t* block : again) qximage::FreeBlock(block, size);
  }
  // A budget with no room left keeps only the floor of two slabs; trimming all keeps nothing.
  {
    Budget none(0);
    EXPECT_LE(qximage::KeptMemoryBytes(), size_t(16) << 20);
  }
  qximage::TrimKeptMemory(true);
  EXPECT_EQ(qximage::KeptMemoryBytes(), 0u);

  auto churn = [](uint8_t mark) {
    for (int round = 0; round < 60; ++round) {
      const size_t size = round % 3 == 0 ? size_t(3) << 20 : size_t(64 + round % 5 * 64) << 10;
      auto* block = static_cast<uint8_t*>(qximage::AllocateBlock(size, true));
      ASSERT_TRUE(block != nullptr && AllZero(block, size));
      std::memset(block, mark, size);
      std::this_thread::yield();
      ASSERT_EQ(std::count(block, block + size, mark), ptrdiff_t(size));
      qximage::FreeBlock(block, size);
    }
  };
  std::thread other(churn, uint8_t(0x11));
  churn(0x22);
  other.join();
}
