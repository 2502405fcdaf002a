// Image records through the public interface: plane ranges and the 16-bit conversions, clipping
// on memory and tiled records (and their agreement), the memory record's allocation rules, the
// creation kinds, and reshaping tiled records.
#include <QXCore/QXImage.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "image/ImageRec.h"
#include "tests/support/TempHome.h"

namespace {

qxtest::TempHome gHome;  // tiled records may reach the disk cache

constexpr int32_t kTiledKind = 0;
constexpr int32_t kMemoryKind = 1;
constexpr int32_t kKinds[] = {kMemoryKind, kTiledKind};

const char* KindName(int32_t kind) { return kind == kMemoryKind ? "memory" : "tiled"; }

struct Image {
  QXImageRef ref = nullptr;
  Image(int32_t kind, QXRect bounds, int32_t depth, int32_t planes) {
    EXPECT_EQ(QXImageCreateWithParams2(bounds, depth, planes, 2, 0, kind, &ref), 0);
  }
  explicit Image(QXImageRef image) : ref(image) {}
  ~Image() { QXImageRelease(ref); }
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;
};

// Byte i of pixel (x, y); it varies across tiles so that a wrong tile shows.
uint8_t Byte(int64_t x, int64_t y, int64_t i) {
  return uint8_t(x * 31 + y * 17 + i * 89 + (x >> 8) * 5 + (y >> 8) * 3);
}

// Fills the whole image with Byte(x, y, byte of the pixel).
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

std::vector<uint8_t> ReadAll(QXImageRef image) {
  const QXRect b = QXImageGetBounds(image);
  std::vector<uint8_t> bytes(size_t(b.width) * size_t(b.height) * size_t(QXImageGetColBytes(image)), 0xEE);
  EXPECT_EQ(QXImageRead(image, b, 0, -1, bytes.data(), 0), 0);
  return bytes;
}

bool Inside(QXRect b, int64_t x, int64_t y) {
  return x >= b.x && y >= b.y && x < int64_t(b.x) + b.width && y < int64_t(b.y) + b.height;
}

}  // namespace

TEST(ImageRecord, PlaneRangesAndRowLayouts) {
  for (int32_t kind : kKinds) {
    SCOPED_TRACE(KindName(kind));
    Image image(kind, QXRect{0, 0, 300, 20}, 8, 4);
    Paint(image.ref);
    // Planes 1 to the last: three bytes per pixel, planes 1, 2, 3 in order, packed. (Padded rows
    // are checked with clipping.)
    const QXRect r{250, 3, 12, 4};  // crosses the tile edge at x 256
    std::vector<uint8_t> buf(size_t(r.width) * r.height * 3 + 8, 0xCD);
    ASSERT_EQ(QXImageRead(image.ref, r, 1, -1, buf.data(), 0), 0);
    bool right = true;
    for (int y = 0; y < r.height; ++y)
      for (int x = 0; x < r.width; ++x)
        for (int p = 0; p < 3; ++p)
          right = right && buf[size_t((y * r.width + x) * 3 + p)] == Byte(r.x + x, r.y + y, 1 + p);
    EXPECT_TRUE(right);
    EXPECT_EQ(buf[buf.size() - 8], 0xCD);  // nothing past the packed rows
    // Writing one plane leaves the others alone.
    std::vector<uint8_t> ones(size_t(r.width) * r.height, 0x77);
    ASSERT_EQ(QXImageWrite(image.ref, r, 2, 2, ones.data(), -3), 0);
    std::vector<uint8_t> px(size_t(r.width) * r.height * 4);
    ASSERT_EQ(QXImageRead(image.ref, r, 0, -1, px.data(), 0), 0);
    EXPECT_EQ(px[0], Byte(r.x, r.y, 0));
    EXPECT_EQ(px[2], 0x77);
    EXPECT_EQ(px[px.size() - 1], Byte(r.x + r.width - 1, r.y + r.height - 1, 3));
    // Plane ranges outside the image are refused.
    EXPECT_EQ(QXImageRead(image.ref, r, 2, 4, buf.data(), 0), kQXErrInvalidArgument);
    EXPECT_EQ(QXImageRead(image.ref, r, 3, 2, buf.data(), 0), kQXErrInvalidArgument);
  }
}

TEST(ImageRecord, SixteenBitFlagsAndOtherDepthsIgnoreThem) {
  const uint16_t samples[] = {0, 1, 0x1234, 32767, 32768, 40000, 65535, 0xFF00};
  constexpr int32_t n = 8;
  for (int32_t kind : kKinds) {
    SCOPED_TRACE(KindName(kind));
    Image image(kind, QXRect{-3, 0, 4, 300}, 16, 2);
    const QXRect r{-3, 255, 2, 2};  // 4 pixels x 2 planes, across the tile edge at row 256
    ASSERT_EQ(QXImageWrite(image.ref, r, 0, -1, samples, 0), 0);
    auto read = [&](int32_t flags) {
      std::vector<uint16_t> out(n, 0xABCD);
      EXPECT_EQ(QXImageRead2(image.ref, r, 0, -1, out.data(), 0, flags), 0);
      return out;
    };
    std::vector<uint16_t> out = read(0x01);  // 0 ... 32768 scaled to 0 ... 65535, saturating
    const uint16_t up[] = {0, 1, uint16_t(0x1234 * 65535u >> 15), 65533, 65535, 65535, 65535, 65535};
    for (int i = 0; i < n; ++i) EXPECT_EQ(out[size_t(i)], up[i]) << samples[i];
    out = read(0x02);
    const uint16_t down[] = {0, 1, 0x91A, 16384, 16384, 20000, 32768, 0x7F80};
    for (int i = 0; i < n; ++i) EXPECT_EQ(out[size_t(i)], down[i]) << samples[i];
    for (int32_t swap : {0x04, 0x08, 0x04 | 0x10, 0x08 | 0x10}) {
      out = read(swap);
      for (int i = 0; i < n; ++i) EXPECT_EQ(out[size_t(i)], uint16_t(samples[i] >> 8 | samples[i] << 8)) << swap;
    }
    out = read(0x01 | 0x02 | 0x10);  // the first flag of the table wins: 16-bit buffer
    EXPECT_EQ(out[5], 65535);
    out = read(0x20);  // the write-only flag means nothing to a read
    EXPECT_EQ(0, std::memcmp(out.data(), samples, sizeof samples));
    std::vector<uint8_t> high(n + 2, 0xCD);
    ASSERT_EQ(QXImageRead2(image.ref, r, 0, -1, high.data(), 0, 0x10), 0);
    for (int i = 0; i < n; ++i) EXPECT_EQ(high[size_t(i)], samples[i] >> 8);
    EXPECT_EQ(high[n], 0xCD);
    // 8-bit writes: b becomes b * 257.
    const uint8_t bytes[] = {0xFF, 0x00, 0x01, 0x80, 0x7F, 0xFE, 0x10, 0xFF};
    ASSERT_EQ(QXImageWrite2(image.ref, r, 0, -1, bytes, 0, 0x20), 0);
    out = read(0);
    for (int i = 0; i < n; ++i) EXPECT_EQ(out[size_t(i)], bytes[i] * 257);
    // Conversions on writing: 0x01 saturates, 0x02 halves; 0x10 means nothing here.
    ASSERT_EQ(QXImageWrite2(image.ref, r, 0, -1, samples, 0, 0x01 | 0x20), 0);
    EXPECT_EQ(0, std::memcmp(read(0).data(), up, sizeof up));
    ASSERT_EQ(QXImageWrite2(image.ref, r, 0, -1, samples, 0, 0x02), 0);
    EXPECT_EQ(0, std::memcmp(read(0).data(), down, sizeof down));
    ASSERT_EQ(QXImageWrite2(image.ref, r, 0, -1, samples, 0, 0x10), 0);
    EXPECT_EQ(0, std::memcmp(read(0).data(), samples, sizeof samples));

    // 8- and 32-bit images copy samples unchanged whatever the flags.
    for (int32_t depth : {8, 32}) {
      Image other(kind, QXRect{0, 0, 4, 2}, depth, 2);
      const size_t size = size_t(4 * 2 * 2 * depth / 8);
      std::vector<uint8_t> in(size), back(size, 0);
      for (size_t i = 0; i < size; ++i) in[i] = uint8_t(i * 37 + 200);
      ASSERT_EQ(QXImageWrite2(other.ref, QXRect{0, 0, 4, 2}, 0, -1, in.data(), 0, 0x01 | 0x20), 0);
      ASSERT_EQ(QXImageRead2(other.ref, QXRect{0, 0, 4, 2}, 0, -1, back.data(), 0, 0x10 | 0x04 | 0x02), 0);
      EXPECT_EQ(in, back) << depth;
    }
  }
}

TEST(ImageRecord, ClippingOnEveryKindAndOrigin) {
  const QXRect boundsList[] = {{0, 0, 600, 300}, {-300, -40, 700, 300}, {300, 520, 700, 300}};
  const int32_t depths[] = {8, 16, 32};
  for (int32_t kind : kKinds) {
    for (int b = 0; b < 3; ++b) {
      const QXRect bounds = boundsList[b];
      SCOPED_TRACE(testing::Message() << KindName(kind) << " origin " << bounds.x << "," << bounds.y);
      Image image(kind, bounds, depths[b], 2);
      Paint(image.ref);
      const int32_t col = QXImageGetColBytes(image.ref);
      const int32_t right = bounds.x + bounds.width, bottom = bounds.y + bounds.height;
      const QXRect requests[] = {
          {bounds.x - 10, bounds.y - 7, 40, 30},                  // left of and above the origin
          {right - 20, bottom - 5, 50, 20},                       // past the right and bottom edges
          {bounds.x - 5, bounds.y + 250, bounds.width + 10, 12},  // wider than the image
          {bounds.x + 250, bounds.y + 250, 20, 20},               // inside, across tiles
          {right, bounds.y, 10, 10},                              // touching, outside
          {bounds.x - 50, bounds.y - 50, 50, 50},                 // the corner outside
          {-(1 << 30), -(1 << 30), 100, 100},                     // far away
      };
      for (const QXRect& r : requests) {
        SCOPED_TRACE(testing::Message() << "rect " << r.x << "," << r.y << " " << r.width << "x" << r.height);
        const int32_t rowBytes = r.width * col + 3;
        std::vector<uint8_t> buf(size_t(rowBytes) * r.height, 0xCD);
        ASSERT_EQ(QXImageRead(image.ref, r, 0, -1, buf.data(), rowBytes), 0);
        int64_t wrong = 0;
        for (int y = 0; y < r.height; ++y)
          for (int x = 0; x < rowBytes; ++x) {
            const int64_t ix = int64_t(r.x) + x / col, iy = int64_t(r.y) + y;
            const uint8_t want = x < r.width * col && Inside(bounds, ix, iy) ? Byte(ix, iy, x % col) : 0xCD;
            wrong += buf[size_t(y * rowBytes + x)] != want;
          }
        EXPECT_EQ(wrong, 0);
      }
      // A write partly outside lands relative to the rectangle and touches nothing else.
      const QXRect w{bounds.x - 10, bounds.y - 7, 300, 30};
      std::vector<uint8_t> in(size_t(w.width) * w.height * col);
      for (size_t i = 0; i < in.size(); ++i) in[i] = uint8_t(i * 7 + 1);
      ASSERT_EQ(QXImageWrite(image.ref, w, 0, -1, in.data(), 0), 0);
      ASSERT_EQ(QXImageWrite(image.ref, QXRect{right + 5, bottom, 300, 30}, 0, -1, in.data(), 0), 0);
      const std::vector<uint8_t> all = ReadAll(image.ref);
      int64_t wrong = 0;
      for (int64_t y = bounds.y; y < bottom; ++y)
        for (int64_t x = bounds.x; x < right; ++x)
          for (int i = 0; i < col; ++i) {
            const size_t at = size_t(((y - bounds.y) * bounds.width + (x - bounds.x)) * col + i);
            const uint8_t want =
                Inside(w, x, y) ? in[size_t(((y - w.y) * w.width + (x - w.x)) * col + i)] : Byte(x, y, i);
            wrong += all[at] != want;
          }
      EXPECT_EQ(wrong, 0);
    }
  }
}

// The same operations on a memory and a tiled record give the same statuses and bytes.
TEST(ImageRecord, MemoryAndTiledRecordsAgree) {
  std::mt19937 rng(20261207);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  for (int32_t depth : {8, 16, 32}) {
    SCOPED_TRACE(depth);
    const QXRect bounds{-100, 37, 700, 530};
    Image memory(kMemoryKind, bounds, depth, 3), tiled(kTiledKind, bounds, depth, 3);
    const int32_t flagChoices[] = {0, 0, 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x03, 0x30};
    for (int op = 0; op < 120; ++op) {
      const QXRect r{pick(-450, 620), pick(-50, 600), pick(1, 400), pick(1, 300)};
      const int32_t lo = pick(0, 2), hi = pick(0, 1) ? -1 : pick(lo, 2);
      const int32_t flags = flagChoices[pick(0, 9)];
      const int32_t planes = (hi < 0 ? 2 : hi) - lo + 1;
      // Sized for full samples, so that an 8-bit buffer is merely larger than it needs to be.
      const int32_t packed = r.width * planes * (depth / 8);
      const int32_t rowBytes = pick(0, 1) ? 0 : packed + pick(1, 9);
      const size_t size = size_t(rowBytes ? rowBytes : packed) * size_t(r.height);
      SCOPED_TRACE(testing::Message() << "op " << op);
      if (pick(0, 1)) {
        std::vector<uint8_t> in(size);
        for (auto& b : in) b = uint8_t(rng());
        EXPECT_EQ(QXImageWrite2(memory.ref, r, lo, hi, in.data(), rowBytes, flags),
                  QXImageWrite2(tiled.ref, r, lo, hi, in.data(), rowBytes, flags));
      } else {
        std::vector<uint8_t> a(size, 0x5C), b(size, 0x5C);
        EXPECT_EQ(QXImageRead2(memory.ref, r, lo, hi, a.data(), rowBytes, flags),
                  QXImageRead2(tiled.ref, r, lo, hi, b.data(), rowBytes, flags));
        EXPECT_TRUE(a == b);
      }
    }
    EXPECT_TRUE(ReadAll(memory.ref) == ReadAll(tiled.ref));
  }
}

TEST(ImageRecord, MemoryRecordAllocationRules) {
  // Refused geometry, on memory and tiled records alike; nothing is handed out.
  for (int32_t kind : kKinds) {
    SCOPED_TRACE(KindName(kind));
    QXImageRef out = reinterpret_cast<QXImageRef>(&out);
    EXPECT_EQ(QXImageCreateWithParams2(QXRect{0, 0, 0, 10}, 8, 3, 0, 0, kind, &out), kQXErrGeneric);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(QXImageCreateWithParams2(QXRect{0, 0, 10, -4}, 8, 3, 0, 0, kind, &out), kQXErrInvalidArgument);
    EXPECT_EQ(QXImageCreateWithParams2(QXRect{0, 0, -10, 4}, 8, 3, 0, 0, kind, &out), kQXErrInvalidArgument);
    EXPECT_EQ(QXImageCreateWithParams2(QXRect{0, 0, 10, 4}, 12, 3, 0, 0, kind, &out), kQXErrUnsupportedFormat);
    EXPECT_EQ(QXImageCreateWithParams2(QXRect{0, 0, 10, 4}, 8, 0, 0, 0, kind, &out), kQXErrInvalidArgument);
    EXPECT_EQ(out, nullptr);
  }
  // An uninitialised record has no planes and no pixels.
  Image empty(QXImageCreate());
  ASSERT_NE(empty.ref, nullptr);
  EXPECT_EQ(QXImageGetNumPlanes(empty.ref), 0);
  EXPECT_EQ(QXImageGetDataSourceType(empty.ref), kQXImageSourceNone);
  uint8_t byte = 0;
  EXPECT_NE(QXImageRead(empty.ref, QXRect{0, 0, 1, 1}, 0, -1, &byte, 0), 0);

  Image deep(kMemoryKind, QXRect{0, 0, 7, 5}, 16, 3);
  EXPECT_EQ(QXImageGetNumPlanes(deep.ref), 3);
  EXPECT_EQ(QXImageGetColBytes(deep.ref), 6);
  EXPECT_EQ(QXImageGetRowBytes(deep.ref), 42);
  EXPECT_EQ(QXImageGetSize(deep.ref), 210);

  // A lent buffer is never reallocated; a refused reshape leaves the record as it was.
  std::vector<uint8_t> lent(size_t(10) * 4 * 6, 0x11);
  QXImageRef lentRef = nullptr;
  ASSERT_EQ(QXImageCreateMemory(QXRect{2, 3, 10, 6}, 8, 4, 2, 1, lent.data(), &lentRef), 0);
  Image borrowed(lentRef);
  EXPECT_EQ(QXImageAdjustBounds(borrowed.ref, QXRect{0, 0, 20, 6}, 0, 3), kQXErrLentBuffer);
  EXPECT_EQ(QXImageAdjustBounds(borrowed.ref, QXRect{2, 3, 10, 6}, 1, 2), kQXErrLentBuffer);
  QXRect b = QXImageGetBounds(borrowed.ref);
  EXPECT_EQ(b.x, 2);
  EXPECT_EQ(b.width, 10);
  EXPECT_EQ(QXImageGetRowBytes(borrowed.ref), 40);
  EXPECT_EQ(QXImageGetColBytes(borrowed.ref), 4);
  EXPECT_EQ(QXImageGetLoPlane(borrowed.ref), 0);
  EXPECT_EQ(QXImageGetHiPlane(borrowed.ref), 3);
  EXPECT_EQ(QXImageLockBuffer(borrowed.ref), lent.data());
  const uint8_t px[4] = {1, 2, 3, 4};
  ASSERT_EQ(QXImageWrite(borrowed.ref, QXRect{11, 8, 1, 1}, 0, -1, px, 0), 0);
  EXPECT_EQ(lent[5 * 40 + 9 * 4 + 2], 3);  // pixel (11, 8) relative to the origin (2, 3)

  // An owned buffer: same size keeps the block; a size past 32 bits is refused, nothing changed.
  Image owned(kMemoryKind, QXRect{0, 0, 64, 32}, 8, 4);
  void* block = QXImageLockBuffer(owned.ref);
  ASSERT_NE(block, nullptr);
  Paint(owned.ref);
  EXPECT_EQ(QXImageAdjustBounds(owned.ref, QXRect{5, 5, 32, 64}, 0, 3), 0);
  EXPECT_EQ(QXImageLockBuffer(owned.ref), block);
  EXPECT_EQ(QXImageAdjustBounds(owned.ref, QXRect{0, 0, 64, 32}, 0, 3), 0);
  EXPECT_EQ(QXImageLockBuffer(owned.ref), block);
  EXPECT_EQ(QXImageAdjustBounds(owned.ref, QXRect{0, 0, 65536, 65536}, 0, 3), kQXErrMemory);
  b = QXImageGetBounds(owned.ref);
  EXPECT_EQ(b.width, 64);
  EXPECT_EQ(b.height, 32);
  EXPECT_EQ(QXImageGetRowBytes(owned.ref), 256);
  EXPECT_EQ(QXImageGetSize(owned.ref), 256 * 32);
  EXPECT_EQ(QXImageLockBuffer(owned.ref), block);
  std::vector<uint8_t> all = ReadAll(owned.ref);
  EXPECT_EQ(all[size_t(31 * 256 + 63 * 4 + 3)], Byte(63, 31, 3));

  // Without a buffer there is nothing to read or write.
  QXImageRef noneRef = nullptr;
  ASSERT_EQ(QXImageCreateMemory(QXRect{0, 0, 4, 4}, 8, 1, 1, 0, nullptr, &noneRef), 0);
  Image none(noneRef);
  EXPECT_NE(QXImageRead(none.ref, QXRect{0, 0, 2, 2}, 0, -1, all.data(), 0), 0);
  EXPECT_NE(QXImageWrite(none.ref, QXRect{0, 0, 2, 2}, 0, -1, all.data(), 0), 0);

  // Empty rectangles: a read is an error, a write copies nothing.
  EXPECT_EQ(QXImageRead(owned.ref, QXRect{0, 0, 0, 4}, 0, -1, all.data(), 0), kQXErrInvalidArgument);
  EXPECT_EQ(QXImageWrite(owned.ref, QXRect{0, 0, 4, 0}, 0, -1, all.data(), 0), 0);
}

TEST(ImageRecord, CreationKindsAndSolidFill) {
  const int32_t expected[] = {kQXImageSourceTiled, kQXImageSourceMemory, kQXImageSourceTiled, kQXImageSourceSolidFill};
  for (int32_t kind = 0; kind < 4; ++kind) {
    Image image(kind, QXRect{1, 2, 30, 20}, 16, 3);
    ASSERT_NE(image.ref, nullptr);
    EXPECT_EQ(QXImageGetDataSourceType(image.ref), expected[kind]) << kind;
    EXPECT_EQ(QXImageGetColorSpaceType(image.ref), 2);
    EXPECT_EQ(QXImageGetNumPlanes(image.ref), 3);
    EXPECT_EQ(QXImageGetPadding(image.ref), -2);
  }
  QXImageRef out = reinterpret_cast<QXImageRef>(&out);
  EXPECT_EQ(QXImageCreateWithParams2(QXRect{0, 0, 30, 20}, 8, 3, 0, 0, 7, &out), 0);
  EXPECT_EQ(out, nullptr);

  Image solid(3, QXRect{0, 0, 30, 20}, 8, 3);
  std::vector<uint8_t> buf(90, 0xCD);
  EXPECT_EQ(QXImageWrite(solid.ref, QXRect{0, 0, 10, 3}, 0, -1, buf.data(), 0), 0);
  EXPECT_EQ(QXImageRead(solid.ref, QXRect{0, 0, 10, 3}, 0, -1, buf.data(), 0), 0);
  EXPECT_EQ(std::vector<uint8_t>(90, 0xCD), buf);
  EXPECT_EQ(QXImageLockBuffer(solid.ref), nullptr);
}

TEST(ImageRecord, TiledRecordsReshape) {
  // Internal ids are distinct and increase.
  Image a(kTiledKind, QXRect{0, 0, 600, 300}, 8, 4);
  Image b(kTiledKind, QXRect{0, 0, 10, 10}, 8, 1);
  Image c(kMemoryKind, QXRect{0, 0, 10, 10}, 8, 1);
  EXPECT_GT(QXImageGetInternalID(a.ref), 0);
  EXPECT_LT(QXImageGetInternalID(a.ref), QXImageGetInternalID(b.ref));
  EXPECT_LT(QXImageGetInternalID(b.ref), QXImageGetInternalID(c.ref));

  // Moving the origin keeps the tiles and their pixels, now at the new coordinates.
  Paint(a.ref);
  QXTileRef before = nullptr;
  ASSERT_EQ(QXImageGetNativeTile(a.ref, 1, 2, &before), 0);
  QXTileReleaseUse(before);
  const std::vector<uint8_t> painted = ReadAll(a.ref);
  ASSERT_EQ(QXImageAdjustBounds(a.ref, QXRect{1000, -500, 600, 300}, 0, 3), 0);
  EXPECT_EQ(QXImageGetBounds(a.ref).x, 1000);
  EXPECT_TRUE(ReadAll(a.ref) == painted);
  uint8_t px[4] = {};
  ASSERT_EQ(QXImageRead(a.ref, QXRect{1000 + 520, -500 + 290, 1, 1}, 0, -1, px, 0), 0);
  EXPECT_EQ(px[3], Byte(520, 290, 3));
  QXTileRef after = nullptr;
  ASSERT_EQ(QXImageGetNativeTile(a.ref, 1, 2, &after), 0);
  EXPECT_EQ(after, before);
  EXPECT_EQ(QXTileGetBounds(after).x, 1000 + 512);
  EXPECT_EQ(QXTileGetBounds(after).y, -500 + 256);
  QXTileReleaseUse(after);

  // A new size starts an empty grid of that size.
  ASSERT_EQ(QXImageAdjustBounds(a.ref, QXRect{0, 0, 800, 200}, 0, 3), 0);
  EXPECT_TRUE(ReadAll(a.ref) == std::vector<uint8_t>(size_t(800) * 200 * 4, 0));
  QXTileRef tile = nullptr;
  EXPECT_EQ(QXImageGetNativeTile(a.ref, 0, 3, &tile), 0);
  if (tile) QXTileReleaseUse(tile);
  EXPECT_EQ(QXImageGetNativeTile(a.ref, 1, 0, &tile), kQXErrGeneric);

  // A second Init rebuilds the grid for the new geometry; the old pixels are gone.
  QXImageFill(a.ref, 0x5A);
  EXPECT_TRUE(ReadAll(a.ref) == std::vector<uint8_t>(size_t(800) * 200 * 4, 0x5A));
  CImageRec* rec = qx::fromHandle(a.ref);
  ASSERT_EQ(rec->Init(QXRect{-20, 0, 300, 700}, 16, 2, 1, 0, kQXImageSourceTiled, true), 0);
  EXPECT_EQ(QXImageGetNumPlanes(a.ref), 2);
  EXPECT_EQ(QXImageGetRowBytes(a.ref), 1200);
  EXPECT_TRUE(ReadAll(a.ref) == std::vector<uint8_t>(size_t(300) * 700 * 4, 0));
  EXPECT_EQ(QXImageGetNativeTile(a.ref, 2, 1, &tile), 0);
  if (tile) QXTileReleaseUse(tile);
  EXPECT_EQ(QXImageGetNativeTile(a.ref, 3, 0, &tile), kQXErrGeneric);
  EXPECT_EQ(QXImageGetNativeTile(a.ref, 0, 2, &tile), kQXErrGeneric);
  EXPECT_EQ(QXImageFill(a.ref, 0xA5), 0);
  EXPECT_TRUE(ReadAll(a.ref) == std::vector<uint8_t>(size_t(300) * 700 * 4, 0xA5));

  // Padding is a 16-bit field, sign-extended on reading.
  EXPECT_EQ(QXImageGetPadding(b.ref), -2);
  QXImageSetPadding(b.ref, 0x8000);
  EXPECT_EQ(QXImageGetPadding(b.ref), -32768);
  QXImageSetPadding(b.ref, 70000);
  EXPECT_EQ(QXImageGetPadding(b.ref), 70000 - 65536);
}

// Reshaping refuses the geometry that Init refuses (edges past 32 bits, more than 32 planes) and
// leaves the record as it was, instead of overflowing while it lays out the grid.
TEST(ImageRecord, AdjustBoundsRefusesWhatInitRefuses) {
  for (int32_t kind : kKinds) {
    SCOPED_TRACE(KindName(kind));
    Image image(kind, QXRect{-5, 7, 300, 40}, 8, 4);
    Paint(image.ref);
    const std::vector<uint8_t> painted = ReadAll(image.ref);
    EXPECT_EQ(QXImageAdjustBounds(image.ref, QXRect{INT32_MAX - 100, 0, 300, 40}, 0, 3), kQXErrInvalidArgument);
    EXPECT_EQ(QXImageAdjustBounds(image.ref, QXRect{0, INT32_MAX - 10, 300, 40}, 0, 3), kQXErrInvalidArgument);
    EXPECT_EQ(QXImageAdjustBounds(image.ref, QXRect{-5, 7, 300, 40}, 0, INT32_MAX), kQXErrInvalidArgument);
    EXPECT_EQ(QXImageAdjustBounds(image.ref, QXRect{-5, 7, 1, 1}, 0, 1 << 23), kQXErrInvalidArgument);
    EXPECT_EQ(QXImageAdjustBounds(image.ref, QXRect{-5, 7, 1, 1}, 0, 32), kQXErrInvalidArgument);
    const QXRect b = QXImageGetBounds(image.ref);
    EXPECT_EQ(b.x, -5);
    EXPECT_EQ(b.width, 300);
    EXPECT_EQ(QXImageGetHiPlane(image.ref), 3);
    EXPECT_EQ(QXImageGetRowBytes(image.ref), 1200);
    EXPECT_TRUE(ReadAll(image.ref) == painted);
  }
}
