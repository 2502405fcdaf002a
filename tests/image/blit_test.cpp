// Copies, blits, resamplers, crops, canvas changes, mips and comparison across record kinds.
#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXImage.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "tests/image/ImageTestSupport.h"

// The reference below must round exactly as written, not as fused multiply-adds.
#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

namespace {

using qxtest::Image;
using qxtest::kMemory;
using qxtest::kSolid;
using qxtest::kTiled;

QXRect Rect(int32_t x, int32_t y, int32_t w, int32_t h) { return QXRect{x, y, w, h}; }

// The interpolating resampler exactly as written, one pixel at a time: packed samples of a
// sw x sh source (`planes` per pixel) to dw x dh.
template <class T>
std::vector<T> ReferenceInterpolate(const std::vector<T>& src, int sw, int sh, int dw, int dh, int planes) {
  std::vector<T> out(size_t(dw) * dh * planes);
  const double rx = double(sw) / dw, ry = double(sh) / dh;
  double fy = (ry - 1) * 0.5;
  int r = 0;
  for (int y = 0; y < dh; ++y) {
    while (fy > 1) {
      r += 1;
      if (r >= sh - 1 && r > 0) r -= 1;  // steps back from the last row
      fy -= 1;
    }
    const int r1 = std::min(r + 1, sh - 1);
    double fx = (rx - 1) * 0.5;
    int c = 0;
    for (int x = 0; x < dw; ++x) {
      while (fx > 1) {
        c += 1;
        fx -= 1;
      }
      const int c1 = c + 1 < sw ? c + 1 : c;
      for (int p = 0; p < planes; ++p) {
        auto at = [&](int row, int col) { return src[(size_t(row) * sw + col) * planes + p]; };
        const T a = at(r, c), b = at(r, c1), d = at(r1, c), e = at(r1, c1);
        const double v =
            (double(d) + e) * fy + (double(a) + b) * (1 - fy) + (double(a) + d) * (1 - fx) + (double(b) + e) * fx;
        T result;
        if constexpr (std::is_floating_point_v<T>) {
          result = T(v / 4.0);
        } else {
          int64_t q = int64_t(std::trunc(v + 0.5)) >> 2;
          result = T(std::clamp<int64_t>(q, 0, std::numeric_limits<T>::max()));
        }
        out[(size_t(y) * dw + x) * planes + p] = result;
      }
      fx += rx;
    }
    fy += ry;
  }
  return out;
}

// The nearest-pixel resampler as written: fractions from 0, the same stepping, whole pixels.
template <class T>
std::vector<T> ReferenceNearest(const std::vector<T>& src, int sw, int dw, int dh, int planes, double rx, double ry) {
  std::vector<T> out;
  double fy = 0;
  int r = 0;
  for (int y = 0; y < dh; ++y) {
    while (fy > 1) {
      r += 1;
      fy -= 1;
    }
    double fx = 0;
    int c = 0;
    for (int x = 0; x < dw; ++x) {
      while (fx > 1) {
        c += 1;
        fx -= 1;
      }
      for (int p = 0; p < planes; ++p) out.push_back(src[(size_t(r) * sw + c) * planes + p]);
      fx += rx;
    }
    fy += ry;
  }
  return out;
}

template <class T>
std::vector<T> RandomSamples(size_t n, std::mt19937& rng) {
  std::vector<T> v(n);
  if constexpr (std::is_floating_point_v<T>) {
    std::uniform_real_distribution<float> dist(-0.5f, 1.5f);  // out of range on purpose: no clamping
    for (auto& s : v) s = dist(rng);
  } else {
    std::uniform_int_distribution<uint32_t> dist(0, std::numeric_limits<T>::max());
    for (auto& s : v) s = T(dist(rng));
    // Runs of extremes, where rounding and clamping matter most.
    for (size_t i = 0; i < n / 8; ++i) v[i] = std::numeric_limits<T>::max();
  }
  return v;
}

template <class T>
std::vector<T> ReadRect(QXImageRef image, QXRect r) {
  std::vector<T> v(size_t(r.width) * r.height * QXImageGetNumPlanes(image));
  EXPECT_EQ(QXImageRead(image, r, 0, -1, v.data(), 0), 0);
  return v;
}

// Random images through QXImageBlit mode 0 against the reference, bit for bit, over exact 2:1
// steps, other ratios, enlargements, single rows and columns, offsets in both images.
template <class T>
void CheckAgainstReference(int32_t kind, std::mt19937& rng) {
  const int depth = int(sizeof(T) * 8);
  struct Case {
    int sw, sh, dw, dh;
  };
  const Case cases[] = {{8, 8, 4, 4},    {300, 280, 150, 140}, {517, 261, 258, 130}, {100, 70, 13, 9},
                        {64, 48, 3, 2},  {10, 7, 23, 19},      {1, 9, 4, 3},         {9, 1, 3, 5},
                        {33, 17, 33, 8}, {40, 40, 39, 41},     {1000, 3, 125, 1},    {7, 5, 2, 2}};
  for (int planes : {1, 3, 4, 5}) {
    for (const Case& k : cases) {
      SCOPED_TRACE(testing::Message() << "depth " << depth << " planes " << planes << " " << k.sw << "x" << k.sh
                                      << " -> " << k.dw << "x" << k.dh << " kind " << kind);
      const QXRect sRect = Rect(-5, 3, k.sw, k.sh);
      const QXRect dRect = Rect(2, 1, k.dw, k.dh);
      Image src(kind, Rect(-7, 0, k.sw + 4, k.sh + 6), depth, planes);
      Image dst(kind, Rect(0, 0, k.dw + 5, k.dh + 2), depth, planes);
      const std::vector<T> whole = RandomSamples<T>(size_t(k.sw + 4) * (k.sh + 6) * planes, rng);
      ASSERT_EQ(QXImageWrite(src, QXImageGetBounds(src), 0, -1, whole.data(), 0), 0);
      const std::vector<T> pixels = ReadRect<T>(src, sRect);
      ASSERT_EQ(QXImageBlit(src, sRect, dst, dRect, 0), 0);
      const std::vector<T> got = ReadRect<T>(dst, dRect);
      const std::vector<T> want = ReferenceInterpolate<T>(pixels, k.sw, k.sh, k.dw, k.dh, planes);
      ASSERT_EQ(0, std::memcmp(got.data(), want.data(), want.size() * sizeof(T)));
      // Mode 2 is the same resampler.
      Image again(kind, QXImageGetBounds(dst), depth, planes);
      ASSERT_EQ(QXImageBlit(src, sRect, again, dRect, 2), 0);
      ASSERT_EQ(ReadRect<T>(again, dRect), got);
    }
  }
}

TEST(Blit, InterpolationMatchesTheWrittenFormulaBitForBit) {
  std::mt19937 rng(1234);
  for (int32_t kind : {kMemory, kTiled}) {
    CheckAgainstReference<uint8_t>(kind, rng);
    CheckAgainstReference<uint16_t>(kind, rng);
    CheckAgainstReference<float>(kind, rng);
  }
  // Images of several bands (rows of about 20 KiB): the pipelined bands, the integer 2:1 path, the
  // general path and a reduction that reads only scattered pairs of rows; nearest pixel too.
  {
    const int sw = 2600, sh = 900, planes = 4;
    Image src(kMemory, Rect(0, 0, sw, sh), 16, planes);
    const auto px = RandomSamples<uint16_t>(size_t(sw) * sh * planes, rng);
    ASSERT_EQ(QXImageWrite(src, Rect(0, 0, sw, sh), 0, -1, px.data(), 0), 0);
    for (auto [dw, dh] : {std::pair{1300, 450}, {977, 333}, {37, 11}, {3001, 61}}) {
      for (int32_t kind : {kMemory, dw < 1000 ? kTiled : kMemory}) {
        Image dst(kind, Rect(0, 0, dw, dh), 16, planes);
        ASSERT_EQ(QXImageBlit(src, Rect(0, 0, sw, sh), dst, Rect(0, 0, dw, dh), 0), 0);
        ASSERT_TRUE(ReadRect<uint16_t>(dst, Rect(0, 0, dw, dh)) ==
                    ReferenceInterpolate<uint16_t>(px, sw, sh, dw, dh, planes))
            << dw << "x" << dh;
        ASSERT_EQ(QXImageBlit(src, Rect(0, 0, sw, sh), dst, Rect(0, 0, dw, dh), 1), 0);
        ASSERT_TRUE(ReadRect<uint16_t>(dst, Rect(0, 0, dw, dh)) ==
                    ReferenceNearest<uint16_t>(px, sw, dw, dh, planes, double(sw) / dw, double(sh) / dh))
            << dw << "x" << dh;
      }
    }
  }
  // Many random shapes, memory records, 8 and 16 bits: the integer 2:1 path and the general one.
  std::uniform_int_distribution<int> side(1, 90);
  for (int i = 0; i < 150; ++i) {
    const int sw = side(rng), sh = side(rng);
    const bool half = i % 3 == 0;
    const int dw = half ? std::max(1, sw / 2) : side(rng), dh = half ? std::max(1, sh / 2) : side(rng);
    const int planes = 1 + i % 4;
    const int depth = i % 2 ? 16 : 8;
    Image src(kMemory, Rect(0, 0, sw, sh), depth, planes), dst(kMemory, Rect(0, 0, dw, dh), depth, planes);
    const QXRect sb = QXImageGetBounds(src), db = QXImageGetBounds(dst);
    if (depth == 8) {
      auto px = RandomSamples<uint8_t>(size_t(sw) * sh * planes, rng);
      ASSERT_EQ(QXImageWrite(src, sb, 0, -1, px.data(), 0), 0);
      ASSERT_EQ(QXImageBlit(src, sb, dst, db, 0), 0);
      ASSERT_EQ(ReadRect<uint8_t>(dst, db), ReferenceInterpolate<uint8_t>(px, sw, sh, dw, dh, planes))
          << sw << "x" << sh << " -> " << dw << "x" << dh;
    } else {
      auto px = RandomSamples<uint16_t>(size_t(sw) * sh * planes, rng);
      ASSERT_EQ(QXImageWrite(src, sb, 0, -1, px.data(), 0), 0);
      ASSERT_EQ(QXImageBlit(src, sb, dst, db, 0), 0);
      ASSERT_EQ(ReadRect<uint16_t>(dst, db), ReferenceInterpolate<uint16_t>(px, sw, sh, dw, dh, planes))
          << sw << "x" << sh << " -> " << dw << "x" << dh;
    }
  }
}

TEST(Blit, WorkedExamplesModesAndChecks) {
  for (int32_t kind : {kMemory, kTiled, kSolid}) {
    SCOPED_TRACE(kind);
    Image src(kind, Rect(0, 0, 4, 4), 8, 1), dst(kind, Rect(0, 0, 2, 2), 8, 1);
    // Each 2 x 2 block holds 10, 20, 30, 40: trunc(100 + 0.5) >> 2 = 25.
    const uint8_t px[16] = {10, 20, 10, 20, 30, 40, 30, 40, 10, 20, 10, 20, 30, 40, 30, 40};
    ASSERT_EQ(QXImageWrite(src, Rect(0, 0, 4, 4), 0, -1, px, 0), 0);
    ASSERT_EQ(QXImageBlit(src, Rect(0, 0, 4, 4), dst, Rect(0, 0, 2, 2), 0), 0);
    if (kind != kSolid) {
      EXPECT_EQ(ReadRect<uint8_t>(dst, Rect(0, 0, 2, 2)), std::vector<uint8_t>(4, 25));
    }
    // Unknown mode: refused for a scale, a plain copy when the sizes match.
    EXPECT_EQ(QXImageBlit(src, Rect(0, 0, 4, 4), dst, Rect(0, 0, 2, 2), 5), kQXErrInvalidArgument);
    EXPECT_EQ(QXImageBlit(src, Rect(2, 2, 2, 2), dst, Rect(0, 0, 2, 2), 5), 0);
    if (kind != kSolid) {
      EXPECT_EQ(ReadRect<uint8_t>(dst, Rect(0, 0, 2, 2)), (std::vector<uint8_t>{10, 20, 30, 40}));
    }
    // Empty rectangles do nothing; mismatched formats are refused.
    EXPECT_EQ(QXImageBlit(src, Rect(0, 0, 0, 4), dst, Rect(0, 0, 2, 2), 7), 0);
    EXPECT_EQ(QXImageBlit(src, Rect(0, 0, -1, 4), dst, Rect(0, 0, 2, 2), 0), kQXErrInvalidArgument);
    Image deeper(kind, Rect(0, 0, 2, 2), 16, 1), wider(kind, Rect(0, 0, 2, 2), 8, 3);
    EXPECT_EQ(QXImageBlit(src, Rect(0, 0, 2, 2), deeper, Rect(0, 0, 2, 2), 0), kQXErrUnsupportedFormat);
    EXPECT_EQ(QXImageBlit(src, Rect(0, 0, 4, 4), wider, Rect(0, 0, 2, 2), 0), kQXErrUnsupportedFormat);
    EXPECT_EQ(QXImageGetImage(src, Rect(0, 0, 2, 2), wider), kQXErrUnsupportedFormat);
  }
}

TEST(Blit, ClipsToBothImagesAndNearestPicksPixels) {
  for (int32_t kind : {kMemory, kTiled}) {
    Image src(kind, Rect(0, 0, 8, 8), 8, 1), dst(kind, Rect(0, 0, 6, 6), 8, 1);
    std::vector<uint8_t> px(64);
    for (int i = 0; i < 64; ++i) px[size_t(i)] = uint8_t(i);
    ASSERT_EQ(QXImageWrite(src, Rect(0, 0, 8, 8), 0, -1, px.data(), 0), 0);
    ASSERT_EQ(QXImageFill(dst, 0xEE), 0);
    // Plain copy hanging over every edge: only pixels inside both images move.
    ASSERT_EQ(QXImageBlit(src, Rect(-2, 5, 8, 8), dst, Rect(3, -1, 8, 8), 0), 0);
    std::vector<uint8_t> want(36, 0xEE);
    for (int y = 0; y < 6; ++y)
      for (int x = 0; x < 6; ++x) {
        const int sx = x - 5, sy = y + 6;  // destination (3, -1) is source (-2, 5)
        if (sx >= 0 && sx < 8 && sy < 8) want[size_t(y * 6 + x)] = uint8_t(sy * 8 + sx);
      }
    EXPECT_EQ(ReadRect<uint8_t>(dst, Rect(0, 0, 6, 6)), want);
    // GetImage: the same rectangle on both sides.
    ASSERT_EQ(QXImageGetImage(src, Rect(1, 1, 20, 20), dst), 0);
    EXPECT_EQ(ReadRect<uint8_t>(dst, Rect(1, 1, 1, 1))[0], 9);
    // A scale whose destination leaves the image writes only the inside part, with the values
    // the unclipped scale gives there.
    Image big(kind, Rect(0, 0, 4, 4), 8, 1), part(kind, Rect(0, 0, 2, 4), 8, 1);
    ASSERT_EQ(QXImageBlit(src, Rect(0, 0, 8, 8), big, Rect(0, 0, 4, 4), 0), 0);
    ASSERT_EQ(QXImageBlit(src, Rect(0, 0, 8, 8), part, Rect(-2, 0, 4, 4), 0), 0);
    const auto whole = ReadRect<uint8_t>(big, Rect(2, 0, 2, 4));
    EXPECT_EQ(ReadRect<uint8_t>(part, Rect(0, 0, 2, 4)), whole);
    // Nearest pixel at a ratio of 2 takes columns and rows 0, 1, 3, 5.
    Image small(kind, Rect(0, 0, 4, 4), 8, 1);
    ASSERT_EQ(QXImageBlit(src, Rect(0, 0, 8, 8), small, Rect(0, 0, 4, 4), 1), 0);
    std::vector<uint8_t> nearest;
    for (int y : {0, 1, 3, 5})
      for (int x : {0, 1, 3, 5}) nearest.push_back(uint8_t(y * 8 + x));
    EXPECT_EQ(ReadRect<uint8_t>(small, Rect(0, 0, 4, 4)), nearest);
  }
}

// Overlapping copies within one image, in every direction, across several bands (rows of 64 KiB,
// so a band is 64 rows) and for a scale that reads what it writes.
TEST(Blit, OverlappingRectanglesOfOneImage) {
  const int w = 1 << 16, h = 200;
  for (int32_t kind : {kMemory, kTiled}) {
    for (auto [dx, dy] : {std::pair{0, 70}, {0, -70}, {3, 1}, {-5, 0}, {7, -130}}) {
      SCOPED_TRACE(testing::Message() << kind << " " << dx << "," << dy);
      Image img(kind, Rect(0, 0, w, h), 8, 1);
      qxtest::Paint(img);
      const std::vector<uint8_t> before = qxtest::ReadAll(img);
      const QXRect from = Rect(10, 20, w - 20, 150);
      ASSERT_EQ(QXImageBlit(img, from, img, Rect(from.x + dx, from.y + dy, from.width, from.height), 0), 0);
      std::vector<uint8_t> want = before;
      for (int y = 0; y < from.height; ++y) {
        const int ty = from.y + dy + y;
        if (ty < 0 || ty >= h) continue;
        std::memcpy(&want[size_t(ty) * w + size_t(from.x + dx)], &before[size_t(from.y + y) * w + size_t(from.x)],
                    size_t(from.width));
      }
      ASSERT_TRUE(qxtest::ReadAll(img) == want);
    }
    Image img(kind, Rect(0, 0, 64, 64), 16, 3), copy(kMemory, Rect(0, 0, 64, 64), 16, 3);
    qxtest::Paint(img);
    ASSERT_EQ(QXImageGetImage(img, Rect(0, 0, 64, 64), copy), 0);
    ASSERT_EQ(QXImageBlit(copy, Rect(0, 0, 64, 64), copy, Rect(8, 8, 40, 30), 0), 0);
    ASSERT_EQ(QXImageBlit(img, Rect(0, 0, 64, 64), img, Rect(8, 8, 40, 30), 0), 0);
    EXPECT_EQ(qxtest::ReadAll(img), qxtest::ReadAll(copy));
  }
}

// Opposite blits between two images on two threads; with the source held across the
// destination's write this deadlocked. Each thread reads only what the other never writes, so the
// end result is that of running the same blits one after the other.
TEST(Blit, OppositeDirectionsConcurrent) {
  for (int32_t kind : {kMemory, kTiled}) {
    Image a(kind, Rect(0, 0, 600, 300), 8, 4), b(kind, Rect(0, 0, 600, 300), 8, 4);
    Image serialA(kind, Rect(0, 0, 600, 300), 8, 4), serialB(kind, Rect(0, 0, 600, 300), 8, 4);
    for (QXImageRef img : {a.get(), b.get(), serialA.get(), serialB.get()}) qxtest::Paint(img);
    QXImageFill(b, 0x40);
    QXImageFill(serialB, 0x40);
    // Left half of one image to the right half of the other, then a half-size scale into a corner.
    auto blits = [](QXImageRef from, QXImageRef to) {
      int failures = 0;
      failures += QXImageBlit(from, Rect(0, 0, 300, 300), to, Rect(300, 0, 300, 300), 0) != 0;
      failures += QXImageBlit(from, Rect(0, 0, 300, 300), to, Rect(300, 0, 150, 150), 0) != 0;
      return failures;
    };
    std::atomic<int> failures{0};
    auto run = [&](QXImageRef from, QXImageRef to) {
      for (int i = 0; i < 30; ++i) failures += blits(from, to);
    };
    std::thread t1(run, a.get(), b.get());
    std::thread t2(run, b.get(), a.get());
    t1.join();
    t2.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(blits(serialA, serialB) + blits(serialB, serialA), 0);
    EXPECT_TRUE(QXImageEqual(a, serialA));
    EXPECT_TRUE(QXImageEqual(b, serialB));
  }
}

TEST(Blit, CropCopyAndEquality) {
  for (int32_t kind : {kMemory, kTiled, kSolid}) {
    for (int depth : {8, 16}) {
      SCOPED_TRACE(testing::Message() << kind << " depth " << depth);
      Image src(kind, Rect(0, 0, 100, 100), depth, 5);
      qxtest::Paint(src);
      Image crop;
      QXImageRef out = nullptr;
      ASSERT_EQ(QXImageCreateCrop(src, Rect(-10, -10, 20, 20), &out), 0);
      crop.reset(out);
      EXPECT_EQ(QXImageGetBounds(crop).width, 20);
      EXPECT_EQ(QXImageGetBounds(crop).x, 0);
      EXPECT_EQ(QXImageGetDataSourceType(crop), QXImageGetDataSourceType(src));
      if (kind != kSolid) {
        const int cb = QXImageGetColBytes(crop);
        const auto got = qxtest::ReadAll(crop);
        const auto source = qxtest::ReadAll(src);
        const uint8_t full = 0xFF;
        for (int y = 0; y < 20; ++y)
          for (int x = 0; x < 20; ++x) {
            const uint8_t* p = &got[size_t(y * 20 + x) * cb];
            if (x >= 10 && y >= 10) {
              ASSERT_EQ(0, std::memcmp(p, &source[size_t((y - 10) * 100 + (x - 10)) * cb], size_t(cb)));
            } else {
              // First sample full, next three 0, the fifth full.
              const int sb = depth / 8;
              for (int s = 0; s < 5; ++s)
                for (int i = 0; i < sb; ++i) ASSERT_EQ(p[s * sb + i], (s == 0 || s == 4) ? full : 0) << s;
            }
          }
      }
      // A copy is equal; shifting its origin, another depth or plane count makes it unequal.
      QXImageSetType(src, 7);
      ASSERT_EQ(QXImageCreateCopy(src, &out), 0);
      Image copy(out);
      EXPECT_EQ(QXImageGetType(copy), 7);
      EXPECT_EQ(QXImageGetDataSourceType(copy), QXImageGetDataSourceType(src));
      EXPECT_TRUE(QXImageEqual(src, copy));
      if (kind != kSolid) {
        uint16_t one = 0;  // big enough for either depth
        ASSERT_EQ(QXImageRead(copy, Rect(99, 99, 1, 1), 4, 4, &one, 0), 0);
        const uint16_t changed = uint16_t(one ^ 1);
        ASSERT_EQ(QXImageWrite(copy, Rect(99, 99, 1, 1), 4, 4, &changed, 0), 0);
        EXPECT_FALSE(QXImageEqual(src, copy));
      }
      Image moved(kind, Rect(1, 0, 100, 100), depth, 5), otherDepth(kind, Rect(0, 0, 100, 100), 24 - depth, 5),
          otherPlanes(kind, Rect(0, 0, 100, 100), depth, 4);
      ASSERT_EQ(QXImageGetImage(src, Rect(0, 0, 100, 100), moved), 0);
      EXPECT_FALSE(QXImageEqual(src, moved));
      EXPECT_FALSE(QXImageEqual(src, otherDepth));
      EXPECT_FALSE(QXImageEqual(src, otherPlanes));
      EXPECT_FALSE(QXImageEqual(src, nullptr));
    }
  }
  // The origin shift of the worked example: equal, then AdjustBounds moves one.
  Image a(kTiled, Rect(0, 0, 300, 300), 8, 3), b(kMemory, Rect(0, 0, 300, 300), 8, 3);
  qxtest::Paint(a);
  ASSERT_EQ(QXImageGetImage(a, Rect(0, 0, 300, 300), b), 0);
  EXPECT_TRUE(QXImageEqual(a, b));
  ASSERT_EQ(QXImageAdjustBounds(b, Rect(5, 0, 300, 300), 0, 2), 0);
  EXPECT_FALSE(QXImageEqual(a, b));
}

TEST(Blit, ResizeModes) {
  for (int32_t kind : {kMemory, kTiled}) {
    auto make = [&] {
      auto* img = new Image(kind, Rect(0, 0, 4, 4), 8, 4);
      std::vector<uint8_t> px(64);
      for (int i = 0; i < 16; ++i) std::fill_n(&px[size_t(i) * 4], 4, uint8_t(i + 1));
      EXPECT_EQ(QXImageWrite(*img, Rect(0, 0, 4, 4), 0, -1, px.data(), 0), 0);
      return std::unique_ptr<Image>(img);
    };
    auto pixel = [](QXImageRef img, int x, int y) { return ReadRect<uint8_t>(img, Rect(x, y, 1, 1)); };
    const std::vector<uint8_t> clear{255, 255, 255, 0};
    // Mode 0 keeps pixels where they were; the new area is transparent white.
    auto img = make();
    ASSERT_EQ(QXImageResize(*img, Rect(-2, 0, 8, 6), 0), 0);
    EXPECT_EQ(pixel(*img, 3, 3), std::vector<uint8_t>(4, 16));
    EXPECT_EQ(pixel(*img, -1, 0), clear);
    // Mode 1 centres: grown (2 more on each side) and, on one side only, shrunk.
    img = make();
    ASSERT_EQ(QXImageResize(*img, Rect(10, 10, 8, 8), 1), 0);
    EXPECT_EQ(pixel(*img, 12, 12), std::vector<uint8_t>(4, 1));
    EXPECT_EQ(pixel(*img, 11, 12), clear);
    img = make();
    ASSERT_EQ(QXImageResize(*img, Rect(0, 0, 6, 2), 1), 0);
    EXPECT_EQ(pixel(*img, 1, 0), std::vector<uint8_t>(4, 5));   // old (0, 1)
    EXPECT_EQ(pixel(*img, 4, 1), std::vector<uint8_t>(4, 12));  // old (3, 2)
    EXPECT_EQ(pixel(*img, 5, 1), clear);
    // Mode 2 only reshapes.
    img = make();
    ASSERT_EQ(QXImageResize(*img, Rect(0, 0, 3, 9), 2), 0);
    EXPECT_EQ(QXImageGetBounds(*img).height, 9);
    // A reshape that fails is returned and leaves the image as it was.
    EXPECT_NE(QXImageResize(*img, Rect(0, 0, -3, 9), 0), 0);
    EXPECT_EQ(QXImageGetBounds(*img).height, 9);
  }
  std::vector<uint8_t> lent(16 * 4, 9);
  QXImageRef raw = nullptr;
  ASSERT_EQ(QXImageCreateMemory(Rect(0, 0, 4, 4), 8, 4, 2, 0, lent.data(), &raw), 0);
  Image lentImage(raw);
  EXPECT_EQ(QXImageResize(lentImage, Rect(0, 0, 8, 8), 1), kQXErrLentBuffer);
  EXPECT_EQ(QXImageGetBounds(lentImage).width, 4);
  EXPECT_EQ(lent[0], 9);
}

TEST(Blit, Mips) {
  for (int32_t kind : {kMemory, kTiled, kSolid}) {
    Image img(kind, Rect(0, 0, 1000, 700), 8, 3);
    qxtest::Paint(img);
    CFArrayRef mips = nullptr;
    ASSERT_EQ(QXImageCreateMips(img, &mips), 0);
    ASSERT_NE(mips, nullptr);
    ASSERT_EQ(CFArrayGetCount(mips), 11);
    EXPECT_EQ(CFArrayGetValueAtIndex(mips, 0), img.get());
    auto mip = [&](CFIndex i) { return static_cast<QXImageRef>(const_cast<void*>(CFArrayGetValueAtIndex(mips, i))); };
    EXPECT_EQ(QXImageGetWidth(mip(3)), 125);
    EXPECT_EQ(QXImageGetHeight(mip(3)), 88);
    EXPECT_EQ(QXImageGetWidth(mip(10)), 1);
    EXPECT_EQ(QXImageGetHeight(mip(10)), 1);
    EXPECT_EQ(QXImageGetDataSourceType(mip(4)), QXImageGetDataSourceType(img));
    if (kind != kSolid) {
      const auto all = qxtest::ReadAll(img);
      for (CFIndex level : {1, 3, 7}) {
        const QXRect b = QXImageGetBounds(mip(level));
        EXPECT_EQ(qxtest::ReadAll(mip(level)), ReferenceInterpolate<uint8_t>(all, 1000, 700, b.width, b.height, 3))
            << level;
      }
    }
    CFRelease(mips);
  }
  Image img(kMemory, Rect(0, 0, 1000, 700), 16, 1);
  QXImageRef out = nullptr;
  EXPECT_EQ(QXImageCreateOneMip(img, 31, &out), kQXErrInvalidArgument);
  EXPECT_EQ(QXImageCreateOneMip(img, -31, &out), kQXErrInvalidArgument);
  EXPECT_NE(QXImageCreateOneMip(img, -30, &out), 0);  // a million times larger: refused
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(QXImageCreateOneMip(img, 30, &out), 0);  // rounds to 0, kept at 1 x 1
  Image tiny(out);
  EXPECT_EQ(QXImageGetWidth(tiny), 1);
  ASSERT_EQ(QXImageCreateOneMip(img, -1, &out), 0);
  Image twice(out);
  EXPECT_EQ(QXImageGetWidth(twice), 2000);
  EXPECT_EQ(QXImageGetHeight(twice), 1400);
}

}  // namespace
