// Quarter and half turns: the worked 3 x 2 example, every turn against a pixel-by-pixel reference
// on images of odd sizes that span several tiles and blocks, the kinds of result, and refusals.
#include <QXCore/QXImage.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "tests/image/ImageTestSupport.h"

using namespace qxtest;

namespace {

enum Turn { kCW, kCCW, kHalf };
const char* TurnName(Turn t) { return t == kCW ? "90 CW" : t == kCCW ? "90 CCW" : "180"; }

QXStatus Rotate(Turn turn, QXImageRef image, int32_t kind, QXImageRef* out) {
  switch (turn) {
    case kCW: return QXImageRotate90CW(image, kind, out);
    case kCCW: return QXImageRotate90CCW(image, kind, out);
    default: return QXImageRotate180(image, kind, out);
  }
}

// The reference: where result pixel (x, y) comes from, pixel by pixel.
std::vector<uint8_t> Reference(Turn turn, const std::vector<uint8_t>& src, int32_t W, int32_t H, int32_t colBytes) {
  const int32_t w = turn == kHalf ? W : H, h = turn == kHalf ? H : W;
  std::vector<uint8_t> out(src.size());
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      int32_t sx, sy;
      if (turn == kCW) {
        sx = y, sy = H - 1 - x;
      } else if (turn == kCCW) {
        sx = W - 1 - y, sy = x;
      } else {
        sx = W - 1 - x, sy = H - 1 - y;
      }
      std::memcpy(&out[(size_t(y) * w + x) * colBytes], &src[(size_t(sy) * W + sx) * colBytes], size_t(colBytes));
    }
  }
  return out;
}

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = uint8_t(rng());
  return v;
}

}  // namespace

TEST(ImageRotate, ThreeByTwoExample) {
  // Pixels 1 2 3 / 4 5 6.
  Image src(kMemory, QXRect{0, 0, 3, 2}, 8, 1);
  const uint8_t pixels[] = {1, 2, 3, 4, 5, 6};
  ASSERT_EQ(QXImageWrite(src, QXRect{0, 0, 3, 2}, 0, -1, pixels, 0), 0);
  QXImageRef made = nullptr;
  ASSERT_EQ(QXImageRotate90CW(src, kMemory, &made), 0);
  Image cw(made);
  EXPECT_EQ(QXImageGetWidth(cw), 2);
  EXPECT_EQ(QXImageGetHeight(cw), 3);
  // The top row is the source's left column read bottom to top.
  EXPECT_EQ(ReadAll(cw), (std::vector<uint8_t>{4, 1, 5, 2, 6, 3}));
  ASSERT_EQ(QXImageRotate90CCW(src, kMemory, &made), 0);
  Image ccw(made);
  EXPECT_EQ(ReadAll(ccw), (std::vector<uint8_t>{3, 6, 2, 5, 1, 4}));
  ASSERT_EQ(QXImageRotate180(src, kMemory, &made), 0);
  Image half(made);
  EXPECT_EQ(QXImageGetWidth(half), 3);
  EXPECT_EQ(ReadAll(half), (std::vector<uint8_t>{6, 5, 4, 3, 2, 1}));
}

TEST(ImageRotate, EveryTurnMatchesThePixelReference) {
  struct Case {
    int32_t kind, depth, planes;
    QXRect bounds;
  };
  // Odd sizes across tile edges, origins away from (0, 0); 3 and 6 byte pixels, a generic 20-byte
  // pixel, and 128-byte pixels wide enough to be split into several column blocks.
  const Case cases[] = {
      {kMemory, 8, 1, {-3, 7, 301, 517}},      {kTiled, 8, 3, {11, -13, 613, 259}},
      {kTiled, 16, 3, {-300, -200, 257, 555}}, {kMemory, 16, 3, {1, 1, 999, 3}},
      {kTiled, 32, 5, {5, 5, 263, 271}},       {kMemory, 32, 1, {0, 0, 1, 300}},
      {kTiled, 32, 32, {-1, 2, 1100, 261}},
  };
  uint32_t seed = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "kind " << c.kind << ", " << c.depth << " bit, " << c.planes << " planes, "
                                      << c.bounds.width << " x " << c.bounds.height);
    Image src(c.kind, c.bounds, c.depth, c.planes);
    const int32_t colBytes = c.depth / 8 * c.planes;
    const auto pixels = RandomBytes(size_t(c.bounds.width) * c.bounds.height * colBytes, seed++);
    ASSERT_EQ(QXImageWrite(src, c.bounds, 0, -1, pixels.data(), 0), 0);
    for (Turn turn : {kCW, kCCW, kHalf}) {
      SCOPED_TRACE(TurnName(turn));
      // The result's kind is the caller's, not the source's.
      const int32_t kind = c.kind == kMemory ? kTiled : kMemory;
      QXImageRef made = nullptr;
      ASSERT_EQ(Rotate(turn, src, kind, &made), 0);
      Image out(made);
      const QXRect b = QXImageGetBounds(out);
      EXPECT_EQ(b.x, c.bounds.x);
      EXPECT_EQ(b.y, c.bounds.y);
      EXPECT_EQ(b.width, turn == kHalf ? c.bounds.width : c.bounds.height);
      EXPECT_EQ(b.height, turn == kHalf ? c.bounds.height : c.bounds.width);
      EXPECT_EQ(QXImageGetDepth(out), c.depth);
      EXPECT_EQ(QXImageGetNumPlanes(out), c.planes);
      EXPECT_EQ(QXImageGetColorSpaceType(out), 2);
      EXPECT_EQ(QXImageGetDataSourceType(out), kind == kMemory ? kQXImageSourceMemory : kQXImageSourceTiled);
      const auto got = ReadAll(out);
      ASSERT_TRUE(got == Reference(turn, pixels, c.bounds.width, c.bounds.height, colBytes));
    }
  }
}

TEST(ImageRotate, TiledSourceUnderATightBudget) {
  // Source and result spill while the turn runs; every pixel still arrives.
  const QXRect bounds{3, 4, 700, 600};
  Image src(kTiled, bounds, 8, 4);
  const auto pixels = RandomBytes(size_t(700) * 600 * 4, 99);
  ASSERT_EQ(QXImageWrite(src, bounds, 0, -1, pixels.data(), 0), 0);
  Budget budget(4.0 * 256 * 256 * 4);
  const int64_t written = Stats().tilesWritten;
  QXImageRef made = nullptr;
  ASSERT_EQ(QXImageRotate90CCW(src, 2, &made), 0);
  Image out(made);
  EXPECT_GT(Stats().tilesWritten, written);
  EXPECT_TRUE(ReadAll(out) == Reference(kCCW, pixels, 700, 600, 4));
}

TEST(ImageRotate, ConcurrentTurnsOfOneSourceThreads) {
  // Each turn reads and writes from its own thread while pool workers turn its blocks; turns of
  // one source on several threads at once all see the same pixels.
  const QXRect bounds{-5, 9, 1030, 530};
  Image src(kTiled, bounds, 16, 3);
  const auto pixels = RandomBytes(size_t(1030) * 530 * 6, 7);
  ASSERT_EQ(QXImageWrite(src, bounds, 0, -1, pixels.data(), 0), 0);
  const Turn turns[] = {kCW, kCCW, kHalf, kCW};
  std::vector<uint8_t> results[4];
  QXStatus status[4] = {-1, -1, -1, -1};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      QXImageRef made = nullptr;
      status[i] = Rotate(turns[i], src, i % 2 ? kMemory : kTiled, &made);
      if (made == nullptr) return;
      const QXRect b = QXImageGetBounds(made);
      results[i].resize(pixels.size());
      if (QXImageRead(made, b, 0, -1, results[i].data(), 0) != 0) results[i].clear();
      QXImageRelease(made);
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(status[i], 0);
    EXPECT_TRUE(results[i] == Reference(turns[i], pixels, 1030, 530, 6));
  }
}

TEST(ImageRotate, KindsRefusalsAndFailures) {
  Image src(kTiled, QXRect{0, 0, 40, 30}, 16, 3);
  Paint(src);
  for (Turn turn : {kCW, kCCW, kHalf}) {
    SCOPED_TRACE(TurnName(turn));
    QXImageRef made = nullptr;
    // Kinds that make no image are refused with a status instead of a null result and 0.
    for (int32_t kind : {-1, 4, 99}) {
      made = reinterpret_cast<QXImageRef>(&made);
      EXPECT_EQ(Rotate(turn, src, kind, &made), kQXErrInvalidArgument) << kind;
      EXPECT_EQ(made, nullptr);
    }
    EXPECT_EQ(Rotate(turn, src, kMemory, nullptr), kQXErrInvalidArgument);
    EXPECT_EQ(Rotate(turn, nullptr, kMemory, &made), kQXErrInvalidArgument);
    // Kinds 0 and 2 are tiled, 3 a solid fill of the turned shape.
    for (int32_t kind : {0, 2, 3}) {
      ASSERT_EQ(Rotate(turn, src, kind, &made), 0) << kind;
      Image out(made);
      EXPECT_EQ(QXImageGetDataSourceType(out), kind == 3 ? kQXImageSourceSolidFill : kQXImageSourceTiled);
      EXPECT_EQ(QXImageGetWidth(out), turn == kHalf ? 40 : 30);
    }
    // A solid-fill source has no pixels: the result reads as zeros.
    Image solid(kSolid, QXRect{0, 0, 5, 3}, 8, 2);
    ASSERT_EQ(Rotate(turn, solid, kMemory, &made), 0);
    Image blank(made);
    EXPECT_EQ(ReadAll(blank), std::vector<uint8_t>(30, 0));
    // A failed read stops the turn; nothing is handed out.
    QXImageRef noPixels = nullptr;
    ASSERT_EQ(QXImageCreateMemory(QXRect{0, 0, 5, 3}, 8, 1, 0, 0, nullptr, &noPixels), 0);
    Image broken(noPixels);
    made = reinterpret_cast<QXImageRef>(&made);
    EXPECT_EQ(Rotate(turn, broken, kTiled, &made), kQXErrInvalidArgument);
    EXPECT_EQ(made, nullptr);
  }
}
