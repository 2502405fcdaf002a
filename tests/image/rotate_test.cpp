// Quarter and half turns: the worked 3 x 2 example, every turn against a pixel-by-pixel reference
// on images of odd sizes that span several tiles and blocks, the kinds of result, and refusals.
#include <QXCore/QXImage.h>
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "tests/image/ImageTestSupport.h"

using namespace qxtest;

namespace {

enum Turn { kCW, kCCW, kHalf };

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
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      const int32_t sx = turn == kCW ? y : W - 1 - (turn == kCCW ? y : x);
      const int32_t sy = turn == kCW ? H - 1 - x : turn == kCCW ? x : H - 1 - y;
      std::memcpy(&out[(size_t(y) * w + x) * colBytes], &src[(size_t(sy) * W + sx) * colBytes], size_t(colBytes));
    }
  return out;
}

// A random image of the given shape and its pixels.
std::vector<uint8_t> Fill(QXImageRef image, uint32_t seed) {
  const QXRect b = QXImageGetBounds(image);
  auto pixels = RandomBytes(size_t(b.width) * b.height * QXImageGetColBytes(image), seed);
  EXPECT_EQ(QXImageWrite(image, b, 0, -1, pixels.data(), 0), 0);
  return pixels;
}

}  // namespace

TEST(ImageRotate, ThreeByTwoExample) {
  // Pixels 1 2 3 / 4 5 6.
  Image src(kMemory, QXRect{0, 0, 3, 2}, 8, 1);
  WriteAll(src, std::vector<uint8_t>{1, 2, 3, 4, 5, 6});
  const std::vector<uint8_t> want[] = {{4, 1, 5, 2, 6, 3}, {3, 6, 2, 5, 1, 4}, {6, 5, 4, 3, 2, 1}};
  for (Turn turn : {kCW, kCCW, kHalf}) {
    QXImageRef made = nullptr;
    ASSERT_EQ(Rotate(turn, src, kMemory, &made), 0);
    Image out(made);
    EXPECT_EQ(QXImageGetWidth(out), turn == kHalf ? 3 : 2);
    EXPECT_EQ(ReadAll(out), want[turn]) << turn;
  }
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
    const auto pixels = Fill(src, seed++);
    for (Turn turn : {kCW, kCCW, kHalf}) {
      SCOPED_TRACE(turn);
      // The result's kind is the caller's, not the source's; the origin stays.
      const int32_t kind = c.kind == kMemory ? kTiled : kMemory;
      QXImageRef made = nullptr;
      ASSERT_EQ(Rotate(turn, src, kind, &made), 0);
      Image out(made);
      const QXRect b = QXImageGetBounds(out);
      EXPECT_TRUE(b.x == c.bounds.x && b.y == c.bounds.y && QXImageGetNumPlanes(out) == c.planes);
      EXPECT_TRUE(QXImageGetDepth(out) == c.depth && QXImageGetColorSpaceType(out) == 2);
      EXPECT_EQ(b.width, turn == kHalf ? c.bounds.width : c.bounds.height);
      EXPECT_EQ(QXImageGetDataSourceType(out), kind == kMemory ? kQXImageSourceMemory : kQXImageSourceTiled);
      ASSERT_TRUE(ReadAll(out) == Reference(turn, pixels, c.bounds.width, c.bounds.height, QXImageGetColBytes(src)));
    }
  }
  // A tiled source and result that spill while the turn runs: every pixel still arrives.
  Image src(kTiled, QXRect{3, 4, 700, 600}, 8, 4);
  const auto pixels = Fill(src, 99);
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
  Image src(kTiled, QXRect{-5, 9, 1030, 530}, 16, 3);
  const auto pixels = Fill(src, 7);
  const Turn turns[] = {kCW, kCCW, kHalf, kCW};
  QXImageRef made[4] = {};
  QXStatus status[4] = {-1, -1, -1, -1};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&, i] { status[i] = Rotate(turns[i], src, i % 2 ? kMemory : kTiled, &made[i]); });
  for (auto& t : threads) t.join();
  for (int i = 0; i < 4; ++i) {
    Image out(made[i]);
    EXPECT_EQ(status[i], 0) << i;
    EXPECT_TRUE(made[i] && ReadAll(out) == Reference(turns[i], pixels, 1030, 530, 6)) << i;
  }
}

TEST(ImageRotate, KindsRefusalsAndFailures) {
  Image src(kTiled, QXRect{0, 0, 40, 30}, 16, 3), solid(kSolid, QXRect{0, 0, 5, 3}, 8, 2);
  Paint(src);
  QXImageRef noPixels = nullptr;
  ASSERT_EQ(QXImageCreateMemory(QXRect{0, 0, 5, 3}, 8, 1, 0, 0, nullptr, &noPixels), 0);
  Image broken(noPixels);
  for (Turn turn : {kCW, kCCW, kHalf}) {
    SCOPED_TRACE(turn);
    QXImageRef made = nullptr;
    // Kinds that make no image are refused with a status instead of a null result and 0; so is a
    // failed read, which stops the turn.
    for (int32_t kind : {-1, 4, 99}) {
      made = reinterpret_cast<QXImageRef>(&made);
      EXPECT_EQ(Rotate(turn, src, kind, &made), kQXErrInvalidArgument) << kind;
      EXPECT_EQ(made, nullptr);
    }
    made = reinterpret_cast<QXImageRef>(&made);
    EXPECT_EQ(Rotate(turn, broken, kTiled, &made), kQXErrInvalidArgument);
    EXPECT_EQ(made, nullptr);
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
    ASSERT_EQ(Rotate(turn, solid, kMemory, &made), 0);
    Image blank(made);
    EXPECT_EQ(ReadAll(blank), std::vector<uint8_t>(30, 0));
  }
}
