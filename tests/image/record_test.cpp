// Image records: plane ranges, 16-bit flags, clipping, allocation, creation kinds and reshaping.
#include <algorithm>
#include <cstring>
#include <random>
#include <tuple>

#include "image/ImageRec.h"
#include "tests/image/ImageTestSupport.h"

using namespace qxtest;

namespace {

const char* KindName(int32_t kind) { return kind == kMemory ? "memory" : "tiled"; }

bool Inside(QXRect b, int64_t x, int64_t y) {
  return x >= b.x && y >= b.y && x < int64_t(b.x) + b.width && y < int64_t(b.y) + b.height;
}

}  // namespace

TEST(ImageRecord, PlaneRangesAndSixteenBitFlags) {
  const uint16_t samples[] = {0, 1, 0x1234, 32767, 32768, 40000, 65535, 0xFF00};
  const uint16_t up[] = {0, 1, uint16_t(0x1234 * 65535u >> 15), 65533, 65535, 65535, 65535, 65535};  // saturating
  const uint16_t down[] = {0, 1, 0x91A, 16384, 16384, 20000, 32768, 0x7F80};
  uint16_t swapped[8], widened[8];
  const uint8_t bytes[] = {0xFF, 0x00, 0x01, 0x80, 0x7F, 0xFE, 0x10, 0xFF};
  for (int i = 0; i < 8; ++i) swapped[i] = uint16_t(samples[i] >> 8 | samples[i] << 8), widened[i] = bytes[i] * 257;
  for (int32_t kind : kPixelKinds) {
    SCOPED_TRACE(KindName(kind));
    Image image(kind, QXRect{0, 0, 300, 20}, 8, 4);
    Paint(image);
    // Writing one plane across the tile edge at x 256 leaves the others alone (a negative row
    // length means packed rows); plane ranges outside the image are refused.
    const QXRect r{250, 3, 12, 4};
    std::vector<uint8_t> ones(size_t(r.width) * r.height, 0x77), want = Pattern(r, 4);
    ASSERT_EQ(QXImageWrite(image, r, 2, 2, ones.data(), -3), 0);
    for (size_t i = 2; i < want.size(); i += 4) want[i] = 0x77;
    EXPECT_TRUE(ReadAs(image, r) == want);
    EXPECT_EQ(QXImageRead(image, r, 2, 4, ones.data(), 0), kQXErrInvalidArgument);
    EXPECT_EQ(QXImageRead(image, r, 3, 2, ones.data(), 0), kQXErrInvalidArgument);

    // 16 bits: 4 pixels x 2 planes across the tile edge at row 256.
    Image deep(kind, QXRect{-3, 0, 4, 300}, 16, 2);
    const QXRect d{-3, 255, 2, 2};
    ASSERT_EQ(QXImageWrite(deep, d, 0, -1, samples, 0), 0);
    auto reads = [&](int32_t flags, const uint16_t* expected) {
      uint16_t out[8];
      std::fill(out, out + 8, 0xABCD);
      EXPECT_EQ(QXImageRead2(deep, d, 0, -1, out, 0, flags), 0);
      return std::memcmp(out, expected, sizeof out) == 0;
    };
    EXPECT_TRUE(reads(0x01, up));
    EXPECT_TRUE(reads(0x02, down));
    for (int32_t swap : {0x04, 0x08, 0x04 | 0x10, 0x08 | 0x10}) EXPECT_TRUE(reads(swap, swapped)) << swap;
    EXPECT_TRUE(reads(0x01 | 0x02 | 0x10, up));  // the first flag of the table wins: 16-bit buffer
    EXPECT_TRUE(reads(0x20, samples));           // the write-only flag means nothing to a read
    // Writes: 8-bit bytes b become b * 257; 0x01 saturates and wins over 0x20, 0x02 halves, 0x10
    // means nothing.
    ASSERT_EQ(QXImageWrite2(deep, d, 0, -1, bytes, 0, 0x20), 0);
    EXPECT_TRUE(reads(0, widened));
    const std::pair<int32_t, const uint16_t*> writes[] = {{0x01 | 0x20, up}, {0x02, down}, {0x10, samples}};
    for (auto [flags, expected] : writes) {
      ASSERT_EQ(QXImageWrite2(deep, d, 0, -1, samples, 0, flags), 0);
      EXPECT_TRUE(reads(0, expected)) << flags;
    }
    // 8- and 32-bit images copy samples unchanged whatever the flags.
    for (int32_t depth : {8, 32}) {
      Image other(kind, QXRect{0, 0, 4, 2}, depth, 2);
      const std::vector<uint8_t> in = Pattern(QXRect{0, 0, 4, 2}, 2 * depth / 8);
      std::vector<uint8_t> back(in.size(), 0);
      ASSERT_EQ(QXImageWrite2(other, QXRect{0, 0, 4, 2}, 0, -1, in.data(), 0, 0x01 | 0x20), 0);
      ASSERT_EQ(QXImageRead2(other, QXRect{0, 0, 4, 2}, 0, -1, back.data(), 0, 0x10 | 0x04 | 0x02), 0);
      EXPECT_EQ(in, back) << depth;
    }
  }
}

// Reads hanging over every edge, or far away, give the pixels inside and leave the rest of the buffer
// alone; random transfers give the same statuses and bytes on a memory and a tiled record.
TEST(ImageRecord, ClippingAndMemoryAndTiledRecordsAgree) {
  std::mt19937 rng(20261207);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const int32_t flagChoices[] = {0, 0, 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x03, 0x30};
  const std::pair<QXRect, int32_t> cases[] = {
      {{0, 0, 600, 300}, 8}, {{-100, 37, 700, 530}, 16}, {{300, 520, 700, 300}, 32}};
  for (auto [bounds, depth] : cases) {
    SCOPED_TRACE(testing::Message() << depth << "-bit, origin " << bounds.x << "," << bounds.y);
    Image memory(kMemory, bounds, depth, 3), tiled(kTiled, bounds, depth, 3);
    const int32_t col = QXImageGetColBytes(memory), right = bounds.x + bounds.width, bottom = bounds.y + bounds.height;
    const QXRect requests[] = {{bounds.x - 10, bounds.y - 7, 40, 30},
                               {right - 20, bottom - 5, 50, 20},
                               {bounds.x - 5, bounds.y + 250, bounds.width + 10, 12},
                               {bounds.x + 250, bounds.y + 250, 20, 20},
                               {right, bounds.y, 10, 10},
                               {bounds.x - 50, bounds.y - 50, 50, 50},
                               {-(1 << 30), -(1 << 30), 100, 100}};
    for (QXImageRef image : {memory.get(), tiled.get()}) {
      Paint(image);
      for (const QXRect& r : requests) {
        const int32_t rowBytes = r.width * col + 3;
        std::vector<uint8_t> buf(size_t(rowBytes) * r.height, 0xCD);
        ASSERT_EQ(QXImageRead(image, r, 0, -1, buf.data(), rowBytes), 0);
        int64_t wrong = 0;
        for (int y = 0; y < r.height; ++y)
          for (int x = 0; x < rowBytes; ++x) {
            const int64_t ix = int64_t(r.x) + x / col, iy = int64_t(r.y) + y;
            wrong += buf[size_t(y * rowBytes + x)] !=
                     (x < r.width * col && Inside(bounds, ix, iy) ? Byte(ix, iy, x % col) : 0xCD);
          }
        EXPECT_EQ(wrong, 0) << (image == memory ? "memory" : "tiled") << " rect " << r.x << "," << r.y;
      }
    }
    for (int op = 0; op < 120; ++op) {
      const QXRect r{bounds.x + pick(-350, 720), bounds.y + pick(-90, 560), pick(1, 400), pick(1, 300)};
      const int32_t lo = pick(0, 2), hi = pick(0, 1) ? -1 : pick(lo, 2), flags = flagChoices[pick(0, 9)];
      // Sized for full samples, so that an 8-bit buffer is merely larger than it needs to be.
      const int32_t packed = r.width * ((hi < 0 ? 2 : hi) - lo + 1) * (depth / 8);
      const int32_t rowBytes = pick(0, 1) ? 0 : packed + pick(1, 9);
      const size_t size = size_t(rowBytes ? rowBytes : packed) * size_t(r.height);
      SCOPED_TRACE(testing::Message() << "op " << op);
      std::vector<uint8_t> a(size, 0x5C), b(size, 0x5C);
      if (pick(0, 1)) {
        for (auto& v : a) v = uint8_t(rng());
        EXPECT_EQ(QXImageWrite2(memory, r, lo, hi, a.data(), rowBytes, flags),
                  QXImageWrite2(tiled, r, lo, hi, a.data(), rowBytes, flags));
      } else {
        EXPECT_EQ(QXImageRead2(memory, r, lo, hi, a.data(), rowBytes, flags),
                  QXImageRead2(tiled, r, lo, hi, b.data(), rowBytes, flags));
        EXPECT_TRUE(a == b);
      }
    }
    EXPECT_TRUE(ReadAll(memory) == ReadAll(tiled));
  }
}

TEST(ImageRecord, CreationAndAllocationRules) {
  // Refused geometry on every kind, and an unknown kind: nothing is handed out.
  const std::tuple<QXRect, int32_t, int32_t, QXStatus> refused[] = {
      {{0, 0, 0, 10}, 8, 3, kQXErrGeneric},          {{0, 0, 10, -4}, 8, 3, kQXErrInvalidArgument},
      {{0, 0, -10, 4}, 8, 3, kQXErrInvalidArgument}, {{0, 0, 10, 4}, 12, 3, kQXErrUnsupportedFormat},
      {{0, 0, 10, 4}, 8, 0, kQXErrInvalidArgument},  {{0, 0, 30, 20}, 8, 3, 0}};
  for (int32_t kind : kPixelKinds)
    for (const auto& [bounds, depth, planes, status] : refused) {
      QXImageRef out = reinterpret_cast<QXImageRef>(&out);
      EXPECT_EQ(QXImageCreateWithParams2(bounds, depth, planes, 0, 0, status ? kind : 7, &out), status)
          << KindName(kind) << " " << bounds.width << "x" << bounds.height << " " << depth << " " << planes;
      EXPECT_EQ(out, nullptr);
    }
  const int32_t sources[] = {kQXImageSourceTiled, kQXImageSourceMemory, kQXImageSourceTiled, kQXImageSourceSolidFill};
  for (int32_t kind = 0; kind < 4; ++kind) {
    Image image(kind, QXRect{1, 2, 7, 5}, 16, 3);
    EXPECT_EQ(QXImageGetDataSourceType(image), sources[kind]) << kind;
    EXPECT_TRUE(QXImageGetPadding(image) == -2 && QXImageGetColBytes(image) == 6) << kind;
  }
  // A solid fill takes writes and reads without touching the caller's bytes; it has no buffer.
  Image solid(kSolid, QXRect{0, 0, 30, 20}, 8, 3);
  std::vector<uint8_t> buf(90, 0xCD);
  EXPECT_TRUE(QXImageWrite(solid, QXRect{0, 0, 10, 3}, 0, -1, buf.data(), 0) == 0 &&
              QXImageRead(solid, QXRect{0, 0, 10, 3}, 0, -1, buf.data(), 0) == 0);
  EXPECT_TRUE(std::vector<uint8_t>(90, 0xCD) == buf && QXImageLockBuffer(solid) == nullptr);
  // Uninitialised, or without a buffer: no planes, nothing to read or write.
  Image empty(QXImageCreate()), none = NoPixels(QXRect{0, 0, 4, 4}, 8, 1);
  EXPECT_TRUE(QXImageGetNumPlanes(empty) == 0 && QXImageGetDataSourceType(empty) == kQXImageSourceNone);
  EXPECT_NE(QXImageRead(empty, QXRect{0, 0, 1, 1}, 0, -1, buf.data(), 0), 0);
  EXPECT_NE(QXImageRead(none, QXRect{0, 0, 2, 2}, 0, -1, buf.data(), 0), 0);
  EXPECT_NE(QXImageWrite(none, QXRect{0, 0, 2, 2}, 0, -1, buf.data(), 0), 0);
  // A lent buffer is never reallocated; a refused reshape leaves the record as it was.
  std::vector<uint8_t> lent(size_t(10) * 4 * 6, 0x11);
  Image borrowed = Made(QXImageCreateMemory, QXRect{2, 3, 10, 6}, 8, 4, 2, 1, lent.data());
  EXPECT_EQ(QXImageAdjustBounds(borrowed, QXRect{0, 0, 20, 6}, 0, 3), kQXErrLentBuffer);
  EXPECT_EQ(QXImageAdjustBounds(borrowed, QXRect{2, 3, 10, 6}, 1, 2), kQXErrLentBuffer);
  EXPECT_TRUE(QXImageGetBounds(borrowed).x == 2 && QXImageGetBounds(borrowed).width == 10 &&
              QXImageGetRowBytes(borrowed) == 40 && QXImageGetColBytes(borrowed) == 4 &&
              QXImageGetLoPlane(borrowed) == 0 && QXImageGetHiPlane(borrowed) == 3);
  EXPECT_EQ(QXImageLockBuffer(borrowed), lent.data());
  const uint8_t px[4] = {1, 2, 3, 4};
  ASSERT_EQ(QXImageWrite(borrowed, QXRect{11, 8, 1, 1}, 0, -1, px, 0), 0);
  EXPECT_EQ(lent[5 * 40 + 9 * 4 + 2], 3);  // pixel (11, 8) relative to the origin (2, 3)
  // An owned buffer: the same size keeps the block; a size past 32 bits is refused, nothing changed.
  Image owned(kMemory, QXRect{0, 0, 64, 32}, 8, 4);
  void* block = QXImageLockBuffer(owned);
  Paint(owned);
  EXPECT_TRUE(QXImageAdjustBounds(owned, QXRect{5, 5, 32, 64}, 0, 3) == 0 &&
              QXImageAdjustBounds(owned, QXRect{0, 0, 64, 32}, 0, 3) == 0);
  EXPECT_EQ(QXImageAdjustBounds(owned, QXRect{0, 0, 65536, 65536}, 0, 3), kQXErrMemory);
  EXPECT_TRUE(QXImageGetBounds(owned).width == 64 && QXImageGetSize(owned) == 256 * 32);
  EXPECT_TRUE(block && QXImageLockBuffer(owned) == block);
  EXPECT_TRUE(ReadAll(owned) == Pattern(QXRect{0, 0, 64, 32}, 4));
  // Empty rectangles: a read is an error, a write copies nothing.
  EXPECT_EQ(QXImageRead(owned, QXRect{0, 0, 0, 4}, 0, -1, buf.data(), 0), kQXErrInvalidArgument);
  EXPECT_EQ(QXImageWrite(owned, QXRect{0, 0, 4, 0}, 0, -1, buf.data(), 0), 0);
}

TEST(ImageRecord, TiledRecordsReshape) {
  Image a(kTiled, QXRect{0, 0, 600, 300}, 8, 4);
  // Moving the origin keeps the tiles and their pixels, now at the new coordinates.
  Paint(a);
  const QXTileRef before = NativeTile(a, 1, 2);
  ASSERT_EQ(QXImageAdjustBounds(a, QXRect{1000, -500, 600, 300}, 0, 3), 0);
  EXPECT_TRUE(ReadAll(a) == Pattern(QXRect{0, 0, 600, 300}, 4));
  {
    NativeTile after(a, 1, 2);
    EXPECT_TRUE(after == before && QXTileGetBounds(after).x == 1000 + 512 && QXTileGetBounds(after).y == -500 + 256);
  }
  // A new size starts an empty grid of that size; so does a second Init, for the new geometry.
  ASSERT_EQ(QXImageAdjustBounds(a, QXRect{0, 0, 800, 200}, 0, 3), 0);
  EXPECT_TRUE(ReadAll(a) == std::vector<uint8_t>(size_t(800) * 200 * 4, 0));
  EXPECT_EQ(TileRefusal(a, 1, 0), kQXErrGeneric);
  QXImageFill(a, 0x5A);
  ASSERT_EQ(qx::fromHandle(a.get())->Init(QXRect{-20, 0, 300, 700}, 16, 2, 1, 0, kQXImageSourceTiled, true), 0);
  EXPECT_TRUE(QXImageGetNumPlanes(a) == 2 && QXImageGetRowBytes(a) == 1200);
  EXPECT_TRUE(ReadAll(a) == std::vector<uint8_t>(size_t(300) * 700 * 4, 0));
  EXPECT_TRUE(TileRefusal(a, 3, 0) == kQXErrGeneric && TileRefusal(a, 0, 2) == kQXErrGeneric);
}

// Reshaping refuses what Init refuses (edges past 32 bits, more than 32 planes) and leaves the
// record as it was, instead of overflowing while it lays out the grid.
TEST(ImageRecord, AdjustBoundsRefusesWhatInitRefuses) {
  const std::pair<QXRect, int32_t> refused[] = {{{INT32_MAX - 100, 0, 300, 40}, 3},
                                                {{0, INT32_MAX - 10, 300, 40}, 3},
                                                {{-5, 7, 300, 40}, INT32_MAX},
                                                {{-5, 7, 1, 1}, 1 << 23},
                                                {{-5, 7, 1, 1}, 32}};
  for (int32_t kind : kPixelKinds) {
    SCOPED_TRACE(KindName(kind));
    Image image(kind, QXRect{-5, 7, 300, 40}, 8, 4);
    Paint(image);
    for (auto [bounds, hi] : refused) EXPECT_EQ(QXImageAdjustBounds(image, bounds, 0, hi), kQXErrInvalidArgument);
    const QXRect b = QXImageGetBounds(image);
    EXPECT_TRUE(b.x == -5 && b.width == 300 && QXImageGetHiPlane(image) == 3 && QXImageGetRowBytes(image) == 1200);
    EXPECT_TRUE(ReadAll(image) == Pattern(QXRect{-5, 7, 300, 40}, 4));
  }
}
