// Copies, blits, resamplers, crops, canvas changes, mips and comparison across record kinds.
#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <thread>
#include <tuple>

#include "tests/image/ImageTestSupport.h"

// The reference below must round exactly as written, not as fused multiply-adds.
#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

namespace {

using namespace qxtest;

QXRect Rect(int32_t x, int32_t y, int32_t w, int32_t h) { return QXRect{x, y, w, h}; }

// The resamplers as written, one pixel at a time, on packed samples: interpolation starts half a
// step in, steps back from the last row and averages four pixels; nearest pixel takes whole pixels.
template <class T>
std::vector<T> Reference(const std::vector<T>& src, int sw, int sh, int dw, int dh, int planes, bool nearest = false) {
  std::vector<T> out;
  const double rx = double(sw) / dw, ry = double(sh) / dh;
  double fy = nearest ? 0 : (ry - 1) * 0.5;
  for (int y = 0, r = 0; y < dh; ++y, fy += ry) {
    for (; fy > 1; fy -= 1)
      if (++r >= sh - 1 && r > 0 && !nearest) r -= 1;
    const int r1 = std::min(r + 1, sh - 1);
    double fx = nearest ? 0 : (rx - 1) * 0.5;
    for (int x = 0, c = 0; x < dw; ++x, fx += rx) {
      for (; fx > 1; fx -= 1) ++c;
      const int c1 = std::min(c + 1, sw - 1);
      for (int p = 0; p < planes; ++p) {
        auto at = [&](int row, int col) { return double(src[(size_t(row) * sw + col) * planes + p]); };
        const double a = at(r, c), b = at(r, c1), d = at(r1, c), e = at(r1, c1);
        const double v = (d + e) * fy + (a + b) * (1 - fy) + (a + d) * (1 - fx) + (b + e) * fx;
        if constexpr (std::is_floating_point_v<T>)
          out.push_back(T(nearest ? a : v / 4.0));
        else
          out.push_back(
              nearest ? T(a)
                      : T(std::clamp<int64_t>(int64_t(std::trunc(v + 0.5)) >> 2, 0, std::numeric_limits<T>::max())));
      }
    }
  }
  return out;
}

// Floats out of range on purpose (no clamping); integers with a run of extremes (rounding, clamping).
template <class T>
std::vector<T> RandomSamples(size_t n, std::mt19937& rng) {
  std::vector<T> v(n);
  std::uniform_int_distribution<uint32_t> dist(0, 65535);
  for (size_t i = 0; i < n; ++i) {
    if constexpr (std::is_floating_point_v<T>)
      v[i] = T(dist(rng)) / 32768 - 0.5f;
    else
      v[i] = i < n / 8 ? std::numeric_limits<T>::max() : T(dist(rng));
  }
  return v;
}

// Modes 0 and 2 (the same resampler) against the reference, rectangles offset inside both images.
template <class T>
void CheckAgainstReference(int32_t kind, int planes, int sw, int sh, int dw, int dh, std::mt19937& rng) {
  const int depth = int(sizeof(T) * 8);
  SCOPED_TRACE(testing::Message() << "depth " << depth << " planes " << planes << " " << sw << "x" << sh << " -> " << dw
                                  << "x" << dh << " kind " << kind);
  const QXRect sRect = Rect(-5, 3, sw, sh), dRect = Rect(2, 1, dw, dh);
  Image src(kind, Rect(-7, 0, sw + 4, sh + 6), depth, planes);
  WriteAll(src, RandomSamples<T>(size_t(sw + 4) * (sh + 6) * planes, rng));
  const std::vector<T> want = Reference<T>(ReadAs<T>(src, sRect), sw, sh, dw, dh, planes);
  for (int32_t mode : {0, 2}) {
    Image dst(kind, Rect(0, 0, dw + 5, dh + 2), depth, planes);
    ASSERT_EQ(QXImageBlit(src, sRect, dst, dRect, mode), 0);
    ASSERT_EQ(0, std::memcmp(ReadAs<T>(dst, dRect).data(), want.data(), want.size() * sizeof(T))) << mode;
  }
}

TEST(Blit, InterpolationMatchesTheWrittenFormulaBitForBit) {
  std::mt19937 rng(1234);
  // Exact 2:1 steps, other ratios, enlargements, single rows and columns.
  const int cases[][4] = {{8, 8, 4, 4},    {300, 280, 150, 140}, {517, 261, 258, 130}, {100, 70, 13, 9},
                          {64, 48, 3, 2},  {10, 7, 23, 19},      {1, 9, 4, 3},         {9, 1, 3, 5},
                          {33, 17, 33, 8}, {40, 40, 39, 41},     {1000, 3, 125, 1},    {7, 5, 2, 2}};
  for (int32_t kind : kPixelKinds)
    for (int planes : {1, 2, 3, 4, 5})
      for (const auto& k : cases) {
        CheckAgainstReference<uint8_t>(kind, planes, k[0], k[1], k[2], k[3], rng);
        CheckAgainstReference<uint16_t>(kind, planes, k[0], k[1], k[2], k[3], rng);
        CheckAgainstReference<float>(kind, planes, k[0], k[1], k[2], k[3], rng);
      }
  // Several bands of rows: the pipelined bands, the 2:1 path, the general path, a reduction reading
  // scattered pairs of rows; nearest pixel too.
  const int sw = 2600, sh = 900, planes = 4;
  Image src(kMemory, Rect(0, 0, sw, sh), 16, planes);
  const auto px = RandomSamples<uint16_t>(size_t(sw) * sh * planes, rng);
  WriteAll(src, px);
  for (auto [dw, dh] : {std::pair{1300, 450}, {977, 333}, {37, 11}, {3001, 61}}) {
    for (int32_t kind : {kMemory, dw < 1000 ? kTiled : kMemory}) {
      SCOPED_TRACE(testing::Message() << dw << "x" << dh << " kind " << kind);
      Image dst(kind, Rect(0, 0, dw, dh), 16, planes);
      for (int32_t mode : {0, 1}) {
        ASSERT_EQ(QXImageBlit(src, Rect(0, 0, sw, sh), dst, Rect(0, 0, dw, dh), mode), 0);
        ASSERT_TRUE(ReadAs<uint16_t>(dst) == Reference<uint16_t>(px, sw, sh, dw, dh, planes, mode == 1));
      }
    }
  }
}

TEST(Blit, WorkedExamplesClippingAndRefusals) {
  for (int32_t kind : kAllKinds) {
    SCOPED_TRACE(kind);
    Image src(kind, Rect(0, 0, 4, 4), 8, 1), dst(kind, Rect(0, 0, 2, 2), 8, 1);
    // Each 2 x 2 block holds 10, 20, 30, 40: trunc(100 + 0.5) >> 2 = 25.
    WriteAll(src, std::vector<uint8_t>{10, 20, 10, 20, 30, 40, 30, 40, 10, 20, 10, 20, 30, 40, 30, 40});
    ASSERT_EQ(QXImageBlit(src, Rect(0, 0, 4, 4), dst, Rect(0, 0, 2, 2), 0), 0);
    EXPECT_TRUE(kind == kSolid || ReadAll(dst) == std::vector<uint8_t>(4, 25));
    // Unknown mode: refused for a scale, a plain copy when the sizes match.
    EXPECT_EQ(QXImageBlit(src, Rect(0, 0, 4, 4), dst, Rect(0, 0, 2, 2), 5), kQXErrInvalidArgument);
    EXPECT_EQ(QXImageBlit(src, Rect(2, 2, 2, 2), dst, Rect(0, 0, 2, 2), 5), 0);
    EXPECT_TRUE(kind == kSolid || ReadAll(dst) == (std::vector<uint8_t>{10, 20, 30, 40}));
    // Empty rectangles do nothing; negative ones and mismatched formats are refused.
    EXPECT_EQ(QXImageBlit(src, Rect(0, 0, 0, 4), dst, Rect(0, 0, 2, 2), 7), 0);
    EXPECT_EQ(QXImageBlit(src, Rect(0, 0, -1, 4), dst, Rect(0, 0, 2, 2), 0), kQXErrInvalidArgument);
    Image deeper(kind, Rect(0, 0, 2, 2), 16, 1), wider(kind, Rect(0, 0, 2, 2), 8, 3);
    EXPECT_EQ(QXImageBlit(src, Rect(0, 0, 2, 2), deeper, Rect(0, 0, 2, 2), 0), kQXErrUnsupportedFormat);
    EXPECT_EQ(QXImageBlit(src, Rect(0, 0, 4, 4), wider, Rect(0, 0, 2, 2), 0), kQXErrUnsupportedFormat);
    EXPECT_EQ(QXImageGetImage(src, Rect(0, 0, 2, 2), wider), kQXErrUnsupportedFormat);
    if (kind == kSolid) continue;
    // A plain copy hanging over every edge moves only pixels inside both images.
    Image grid(kind, Rect(0, 0, 8, 8), 8, 1), six(kind, Rect(0, 0, 6, 6), 8, 1);
    std::vector<uint8_t> px(64), want(36, 0xEE);
    for (int i = 0; i < 64; ++i) px[size_t(i)] = uint8_t(i);
    WriteAll(grid, px);
    ASSERT_EQ(QXImageFill(six, 0xEE), 0);
    ASSERT_EQ(QXImageBlit(grid, Rect(-2, 5, 8, 8), six, Rect(3, -1, 8, 8), 0), 0);
    for (int y = 0; y < 2; ++y) want[size_t(y * 6 + 5)] = uint8_t((y + 6) * 8);  // source column 0, rows 6, 7
    EXPECT_EQ(ReadAll(six), want);
    // A scale leaving the destination writes the inside part as the unclipped scale would.
    Image big(kind, Rect(0, 0, 4, 4), 8, 1), part(kind, Rect(0, 0, 2, 4), 8, 1);
    ASSERT_EQ(QXImageBlit(grid, Rect(0, 0, 8, 8), big, Rect(0, 0, 4, 4), 0), 0);
    ASSERT_EQ(QXImageBlit(grid, Rect(0, 0, 8, 8), part, Rect(-2, 0, 4, 4), 0), 0);
    EXPECT_EQ(ReadAll(part), ReadAs(big, Rect(2, 0, 2, 4)));
  }
}

// Overlapping copies within one image in every direction across bands, and a scale reading what it writes.
TEST(Blit, OverlappingRectanglesOfOneImage) {
  const int w = 1 << 16, h = 200;
  const QXRect from = Rect(10, 20, w - 20, 150);
  for (int32_t kind : kPixelKinds) {
    for (auto [dx, dy] : {std::pair{0, 70}, {0, -70}, {3, 1}, {-5, 0}, {7, -130}}) {
      SCOPED_TRACE(testing::Message() << kind << " " << dx << "," << dy);
      Image img(kind, Rect(0, 0, w, h), 8, 1);
      Paint(img);
      const std::vector<uint8_t> before = ReadAll(img);
      ASSERT_EQ(QXImageBlit(img, from, img, Rect(from.x + dx, from.y + dy, from.width, from.height), 0), 0);
      std::vector<uint8_t> want = before;
      for (int y = std::max(0, -(from.y + dy)); y < std::min(from.height, h - from.y - dy); ++y)
        std::memcpy(&want[size_t(from.y + dy + y) * w + size_t(from.x + dx)],
                    &before[size_t(from.y + y) * w + size_t(from.x)], size_t(from.width));
      ASSERT_TRUE(ReadAll(img) == want);
    }
    Image img(kind, Rect(0, 0, 64, 64), 16, 3), copy(kMemory, Rect(0, 0, 64, 64), 16, 3);
    Paint(img);
    ASSERT_EQ(QXImageGetImage(img, Rect(0, 0, 64, 64), copy), 0);
    ASSERT_EQ(QXImageBlit(copy, Rect(0, 0, 64, 64), copy, Rect(8, 8, 40, 30), 0), 0);
    ASSERT_EQ(QXImageBlit(img, Rect(0, 0, 64, 64), img, Rect(8, 8, 40, 30), 0), 0);
    EXPECT_EQ(ReadAll(img), ReadAll(copy));
  }
}

// Opposite blits between two images on two threads (holding the source across the destination's
// write deadlocked); the result equals a serial run.
TEST(Blit, OppositeDirectionsConcurrent) {
  for (int32_t kind : kPixelKinds) {
    const QXRect b = Rect(0, 0, 600, 300);
    Image a(kind, b, 8, 4), bb(kind, b, 8, 4), serialA(kind, b, 8, 4), serialB(kind, b, 8, 4);
    Paint(a);
    Paint(serialA);
    QXImageFill(bb, 0x40);
    QXImageFill(serialB, 0x40);
    // Left half of one image to the right half of the other, then a half-size scale into a corner.
    auto blits = [](QXImageRef from, QXImageRef to) {
      return int(QXImageBlit(from, Rect(0, 0, 300, 300), to, Rect(300, 0, 300, 300), 0) != 0) +
             int(QXImageBlit(from, Rect(0, 0, 300, 300), to, Rect(300, 0, 150, 150), 0) != 0);
    };
    std::atomic<int> failures{0};
    auto run = [&](QXImageRef from, QXImageRef to) {
      for (int i = 0; i < 30; ++i) failures += blits(from, to);
    };
    std::thread t1(run, a.get(), bb.get()), t2(run, bb.get(), a.get());
    t1.join();
    t2.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(blits(serialA, serialB) + blits(serialB, serialA), 0);
    EXPECT_TRUE(QXImageEqual(a, serialA) && QXImageEqual(bb, serialB));
  }
}

TEST(Blit, CropCopyAndEquality) {
  for (int32_t kind : kAllKinds) {
    for (int depth : {8, 16}) {
      SCOPED_TRACE(testing::Message() << kind << " depth " << depth);
      Image src(kind, Rect(0, 0, 100, 100), depth, 5);
      Paint(src);
      Image crop = Made(QXImageCreateCrop, src.get(), Rect(-10, -10, 20, 20));
      const QXRect cb = QXImageGetBounds(crop);
      EXPECT_TRUE(cb.x == 0 && cb.width == 20 && QXImageGetDataSourceType(crop) == QXImageGetDataSourceType(src));
      if (kind != kSolid) {
        // The part inside the source is copied; outside, planes 0 and 4 are full and 1 to 3 zero.
        const size_t col = size_t(QXImageGetColBytes(crop)), sb = size_t(depth / 8);
        const auto got = ReadAll(crop), source = ReadAll(src);
        for (size_t i = 0; i < got.size(); ++i) {
          const size_t x = i / col % 20, y = i / col / 20, at = i % col;
          const int want = x >= 10 && y >= 10          ? source[((y - 10) * 100 + x - 10) * col + at]
                           : (at < sb || at >= 4 * sb) ? 0xFF
                                                       : 0;
          ASSERT_EQ(got[i], want) << x << "," << y << " byte " << at;
        }
      }
      // A copy keeps the type and is equal; one sample changed, another origin, depth or plane count is not.
      QXImageSetType(src, 7);
      Image copy = Made(QXImageCreateCopy, src.get());
      EXPECT_TRUE(QXImageGetType(copy) == 7 && QXImageGetDataSourceType(copy) == QXImageGetDataSourceType(src));
      EXPECT_TRUE(QXImageEqual(src, copy));
      if (kind != kSolid) {
        uint16_t one = 0;  // big enough for either depth
        ASSERT_EQ(QXImageRead(copy, Rect(99, 99, 1, 1), 4, 4, &one, 0), 0);
        one ^= 1;
        ASSERT_EQ(QXImageWrite(copy, Rect(99, 99, 1, 1), 4, 4, &one, 0), 0);
        EXPECT_FALSE(QXImageEqual(src, copy));
      }
      Image moved(kind, Rect(1, 0, 100, 100), depth, 5), otherDepth(kind, Rect(0, 0, 100, 100), 24 - depth, 5),
          otherPlanes(kind, Rect(0, 0, 100, 100), depth, 4);
      ASSERT_EQ(QXImageGetImage(src, Rect(0, 0, 100, 100), moved), 0);
      EXPECT_FALSE(QXImageEqual(src, moved) || QXImageEqual(src, otherDepth) || QXImageEqual(src, otherPlanes) ||
                   QXImageEqual(src, nullptr));
    }
  }
}

TEST(Blit, ResizeModes) {
  const std::vector<uint8_t> clear{255, 255, 255, 0};
  auto grey = [](int v) { return std::vector<uint8_t>(4, uint8_t(v)); };
  for (int32_t kind : kPixelKinds) {
    // Resizes a 4 x 4 image whose pixel i has every sample i + 1; then pixel (x, y) must be `want`.
    auto check = [&](QXRect to, int32_t mode, std::initializer_list<std::tuple<int, int, std::vector<uint8_t>>> want) {
      Image img(kind, Rect(0, 0, 4, 4), 8, 4);
      std::vector<uint8_t> px(64);
      for (size_t i = 0; i < 64; ++i) px[i] = uint8_t(i / 4 + 1);
      WriteAll(img, px);
      ASSERT_EQ(QXImageResize(img, to, mode), 0);
      for (const auto& [x, y, v] : want) EXPECT_EQ(ReadAs(img, Rect(x, y, 1, 1)), v) << kind << " " << x;
    };
    // Mode 0 keeps pixels in place; mode 1 centres, growing and (on one side) shrinking. New area:
    // transparent white.
    check(Rect(-2, 0, 8, 6), 0, {{3, 3, grey(16)}, {-1, 0, clear}});
    check(Rect(10, 10, 8, 8), 1, {{12, 12, grey(1)}, {11, 12, clear}});
    check(Rect(0, 0, 6, 2), 1, {{1, 0, grey(5)}, {4, 1, grey(12)}, {5, 1, clear}});
    // Mode 2 only reshapes; a reshape that fails is returned and leaves the image as it was.
    Image img(kind, Rect(0, 0, 4, 4), 8, 4);
    ASSERT_EQ(QXImageResize(img, Rect(0, 0, 3, 9), 2), 0);
    EXPECT_NE(QXImageResize(img, Rect(0, 0, -3, 9), 0), 0);
    EXPECT_EQ(QXImageGetBounds(img).height, 9);
  }
  std::vector<uint8_t> lent(16 * 4, 9);
  Image lentImage = Made(QXImageCreateMemory, Rect(0, 0, 4, 4), 8, 4, 2, 0, lent.data());
  EXPECT_EQ(QXImageResize(lentImage, Rect(0, 0, 8, 8), 1), kQXErrLentBuffer);
  EXPECT_TRUE(QXImageGetBounds(lentImage).width == 4 && lent[0] == 9);
}

TEST(Blit, Mips) {
  for (int32_t kind : kAllKinds) {
    Image img(kind, Rect(0, 0, 1000, 700), 8, 3);
    Paint(img);
    CFArrayRef mips = nullptr;
    ASSERT_EQ(QXImageCreateMips(img, &mips), 0);
    ASSERT_EQ(CFArrayGetCount(mips), 11);
    EXPECT_EQ(CFArrayGetValueAtIndex(mips, 0), img.get());
    auto mip = [&](CFIndex i) { return static_cast<QXImageRef>(const_cast<void*>(CFArrayGetValueAtIndex(mips, i))); };
    EXPECT_TRUE(QXImageGetWidth(mip(3)) == 125 && QXImageGetHeight(mip(3)) == 88);
    EXPECT_TRUE(QXImageGetWidth(mip(10)) == 1 && QXImageGetHeight(mip(10)) == 1);
    EXPECT_EQ(QXImageGetDataSourceType(mip(4)), QXImageGetDataSourceType(img));
    for (CFIndex level : {1, 3, 7}) {
      const QXRect b = QXImageGetBounds(mip(level));
      EXPECT_TRUE(kind == kSolid || ReadAll(mip(level)) == Reference(ReadAll(img), 1000, 700, b.width, b.height, 3));
    }
    CFRelease(mips);
  }
  // Levels past 30 either way are refused; a million times larger too; tiny ones are kept at 1 x 1.
  Image img(kMemory, Rect(0, 0, 1000, 700), 16, 1);
  EXPECT_EQ(Refusal(QXImageCreateOneMip, img.get(), 31), kQXErrInvalidArgument);
  EXPECT_EQ(Refusal(QXImageCreateOneMip, img.get(), -31), kQXErrInvalidArgument);
  EXPECT_NE(Refusal(QXImageCreateOneMip, img.get(), -30), 0);
  EXPECT_EQ(QXImageGetWidth(Made(QXImageCreateOneMip, img.get(), 30)), 1);
  Image twice = Made(QXImageCreateOneMip, img.get(), -1);
  EXPECT_TRUE(QXImageGetWidth(twice) == 2000 && QXImageGetHeight(twice) == 1400);
}

}  // namespace
