// Quarter and half turns against a pixel-by-pixel reference, kinds of result and refusals.
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <thread>
#include <tuple>

#include "tests/image/ImageTestSupport.h"

using namespace qxtest;

namespace {

enum Turn { kCW, kCCW, kHalf };
QXStatus (*const kRotate[])(QXImageRef, int32_t, QXImageRef*) = {QXImageRotate90CW, QXImageRotate90CCW,
                                                                 QXImageRotate180};

// The reference: where result pixel (x, y) comes from, pixel by pixel. Not inlined: GCC 12 then
// propagates the constant calls into a false "writing into a region of size 0".
[[gnu::noinline]] std::vector<uint8_t> Reference(Turn turn, const std::vector<uint8_t>& src, int32_t W, int32_t H,
                                                 int32_t colBytes) {
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

}  // namespace

TEST(ImageRotate, EveryTurnMatchesThePixelReference) {
  // Pixels 1 2 3 / 4 5 6.
  const std::vector<uint8_t> want[] = {{4, 1, 5, 2, 6, 3}, {3, 6, 2, 5, 1, 4}, {6, 5, 4, 3, 2, 1}};
  for (Turn turn : {kCW, kCCW, kHalf}) EXPECT_EQ(Reference(turn, {1, 2, 3, 4, 5, 6}, 3, 2, 1), want[turn]);
  // Odd sizes across tile edges, origins away from (0, 0); 3, 6 and 20 byte pixels, and 128-byte pixels
  // split into several column blocks.
  const std::tuple<int32_t, int32_t, int32_t, QXRect> cases[] = {
      {kMemory, 8, 1, {0, 0, 3, 2}},       {kMemory, 8, 1, {-3, 7, 301, 517}},
      {kTiled, 8, 3, {11, -13, 613, 259}}, {kTiled, 16, 3, {-300, -200, 257, 555}},
      {kMemory, 16, 3, {1, 1, 999, 3}},    {kTiled, 32, 5, {5, 5, 263, 271}},
      {kMemory, 32, 1, {0, 0, 1, 300}},    {kTiled, 32, 32, {-1, 2, 1100, 261}},
  };
  uint32_t seed = 1;
  for (const auto& [from, depth, planes, bounds] : cases) {
    SCOPED_TRACE(::testing::Message() << "kind " << from << ", " << depth << " bit, " << planes << " planes, "
                                      << bounds.width << " x " << bounds.height);
    Image src(from, bounds, depth, planes);
    const auto pixels = PaintRandom(src, seed++);
    for (auto [turn, kind] :
         {std::pair{kCW, kMemory}, {kCCW, kMemory}, {kHalf, kMemory}, {kCW, kTiled}, {kCCW, kTiled}, {kHalf, kTiled}}) {
      SCOPED_TRACE(::testing::Message() << "turn " << turn << " into kind " << kind);
      // The result's kind is the caller's, not the source's; the origin stays. Quarter turns into
      // a record of the source's kind go straight between buffers or tiles.
      Image out = Made(kRotate[turn], src.get(), kind);
      // (A wrong shape, depth or plane count shows in the pixels read back.)
      const QXRect b = QXImageGetBounds(out);
      EXPECT_TRUE(b.x == bounds.x && b.y == bounds.y && QXImageGetColorSpaceType(out) == 2);
      EXPECT_EQ(QXImageGetDataSourceType(out), kind == kMemory ? kQXImageSourceMemory : kQXImageSourceTiled);
      ASSERT_TRUE(ReadAll(out) == Reference(turn, pixels, bounds.width, bounds.height, QXImageGetColBytes(src)));
    }
  }
  // A tiled source and result that spill while the turn runs: every pixel still arrives.
  Image src(kTiled, QXRect{3, 4, 700, 600}, 8, 4);
  const auto pixels = PaintRandom(src, 99);
  Budget budget(4.0 * 256 * 256 * 4);
  const int64_t written = Stats().tilesWritten;
  Image out = Made(QXImageRotate90CCW, src.get(), 2);
  EXPECT_GT(Stats().tilesWritten, written);
  EXPECT_TRUE(ReadAll(out) == Reference(kCCW, pixels, 700, 600, 4));
  // A source tile that cannot be read back fails the turn: no result, no tile left held.
  ASSERT_EQ(QXImagePurge(src), 0);
  std::filesystem::resize_file(gImageHome.root() / "tmp" / ("QXImageCache-" + std::to_string(getpid())) /
                                   ("Image-" + std::to_string(QXImageGetInternalID(src))),
                               0);
  for (Turn turn : {kCW, kCCW, kHalf}) {
    EXPECT_NE(Refusal(kRotate[turn], src.get(), kTiled), 0) << turn;
    EXPECT_FALSE(QXImageTileInUse(src)) << turn;
  }
}

TEST(ImageRotate, ConcurrentTurnsOfOneSourceThreads) {
  // Turns of one source on several threads at once (pool workers turning their blocks) all see the
  // same pixels.
  Image src(kTiled, QXRect{-5, 9, 1030, 530}, 16, 3);
  const auto pixels = PaintRandom(src, 7);
  const Turn turns[] = {kCW, kCCW, kHalf, kCW};
  QXImageRef made[4] = {};
  QXStatus status[4] = {-1, -1, -1, -1};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&, i] { status[i] = kRotate[turns[i]](src, i % 2 ? kMemory : kTiled, &made[i]); });
  for (auto& t : threads) t.join();
  for (int i = 0; i < 4; ++i) {
    Image out(made[i]);
    EXPECT_EQ(status[i], 0) << i;
    EXPECT_TRUE(made[i] && ReadAll(out) == Reference(turns[i], pixels, 1030, 530, 6)) << i;
  }
}

TEST(ImageRotate, KindsRefusalsAndFailures) {
  Image src(kTiled, QXRect{0, 0, 40, 30}, 16, 3), solid(kSolid, QXRect{0, 0, 5, 3}, 8, 2);
  Image broken = NoPixels(QXRect{0, 0, 5, 3}, 8, 1);
  Paint(src);
  for (Turn turn : {kCW, kCCW, kHalf}) {
    SCOPED_TRACE(turn);
    // Kinds that make no image are refused instead of giving a null result and 0; so is a failed read.
    for (int32_t kind : {-1, 4, 99}) EXPECT_EQ(Refusal(kRotate[turn], src.get(), kind), kQXErrInvalidArgument) << kind;
    EXPECT_EQ(Refusal(kRotate[turn], broken.get(), kTiled), kQXErrInvalidArgument);
    EXPECT_EQ(kRotate[turn](src, kMemory, nullptr), kQXErrInvalidArgument);
    EXPECT_EQ(Refusal(kRotate[turn], nullptr, kMemory), kQXErrInvalidArgument);
    // Kinds 0 and 2 are tiled, 3 a solid fill of the turned shape.
    for (int32_t kind : {0, 2, 3}) {
      Image out = Made(kRotate[turn], src.get(), kind);
      EXPECT_EQ(QXImageGetDataSourceType(out), kind == 3 ? kQXImageSourceSolidFill : kQXImageSourceTiled);
      EXPECT_EQ(QXImageGetWidth(out), turn == kHalf ? 40 : 30);
    }
    // A solid-fill source has no pixels: the result reads as zeros.
    EXPECT_EQ(ReadAll(Made(kRotate[turn], solid.get(), kMemory)), std::vector<uint8_t>(30, 0));
  }
}
