// Sample conversions and fills on memory, tiled and solid-fill records at 8, 16 and 32 bits: the
// added plane, the two 16-bit scales, depth conversions with and without alpha, premultiplication,
// colour, transparent and checkerboard fills.
#include <QXCore/QXImage.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "tests/image/ImageTestSupport.h"
#include "tests/log/LogCapture.h"

using namespace qxtest;

namespace {

// Spans several tiles in both directions and does not start at (0, 0).
constexpr QXRect kWide{-7, 5, 300, 270};
constexpr int32_t kPixelKinds[] = {kMemory, kTiled};

const char* KindName(int32_t kind) { return kind == kMemory ? "memory" : kind == kTiled ? "tiled" : "solid"; }

QXImageRef Make(int32_t kind, QXRect bounds, int32_t depth, int32_t planes, int32_t colorSpace = 2,
                int32_t transparency = 0) {
  QXImageRef image = nullptr;
  EXPECT_EQ(QXImageCreateWithParams2(bounds, depth, planes, colorSpace, transparency, kind, &image), 0);
  return image;
}

// Writes `samples` (of the image's sample type, packed) over the whole image.
template <class T>
void Put(QXImageRef image, const std::vector<T>& samples) {
  ASSERT_EQ(QXImageWrite(image, QXImageGetBounds(image), 0, -1, samples.data(), 0), 0);
}

template <class T>
std::vector<T> Get(QXImageRef image) {
  const QXRect b = QXImageGetBounds(image);
  std::vector<T> samples(size_t(b.width) * size_t(b.height) * size_t(QXImageGetNumPlanes(image)));
  EXPECT_EQ(QXImageRead(image, b, 0, -1, samples.data(), 0), 0);
  return samples;
}

template <class T>
std::vector<T> Random(QXRect b, int32_t planes, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<T> v(size_t(b.width) * size_t(b.height) * size_t(planes));
  for (T& s : v) {
    if constexpr (std::is_floating_point_v<T>) {
      s = float(rng() % 1001) / 1000.0f;
    } else {
      s = T(rng());
    }
  }
  return v;
}

// The pixel at (x, y) counted from the bounds' origin.
template <class T>
std::vector<T> PixelAt(const std::vector<T>& samples, QXRect b, int32_t planes, int32_t x, int32_t y) {
  const size_t at = (size_t(y) * size_t(b.width) + size_t(x)) * size_t(planes);
  return std::vector<T>(samples.begin() + ptrdiff_t(at), samples.begin() + ptrdiff_t(at + size_t(planes)));
}

template <class T>
void CheckAddedPlane(int32_t kind, T full) {
  Image src(Make(kind, kWide, sizeof(T) * 8, 3));
  const auto before = Random<T>(kWide, 3, 7);
  Put(src, before);
  QXImageRef made = nullptr;
  ASSERT_EQ(QXImageCreateCopyAddingChannels(src, 1, &made), 0);
  Image copy(made);
  EXPECT_EQ(QXImageGetNumPlanes(copy), 4);
  EXPECT_EQ(QXImageGetDepth(copy), int32_t(sizeof(T) * 8));
  EXPECT_EQ(QXImageGetDataSourceType(copy), QXImageGetDataSourceType(src));
  EXPECT_EQ(QXImageGetBounds(copy).x, kWide.x);
  EXPECT_EQ(QXImageGetColorSpaceType(copy), 2);
  const auto after = Get<T>(copy);
  for (size_t i = 0; i < size_t(kWide.width) * kWide.height; ++i) {
    ASSERT_EQ(0, std::memcmp(&after[4 * i], &before[3 * i], 3 * sizeof(T))) << i;
    ASSERT_EQ(after[4 * i + 3], full) << i;
  }
}

}  // namespace

TEST(ImageAddChannel, FullScalePlaneOnEveryKindAndDepth) {
  for (int32_t kind : kPixelKinds) {
    SCOPED_TRACE(KindName(kind));
    CheckAddedPlane<uint8_t>(kind, 255);
    CheckAddedPlane<uint16_t>(kind, 65535);
    CheckAddedPlane<float>(kind, 1.0f);  // the float 1.0, not the bytes 0xFF
  }
  // A solid-fill record gives a solid-fill copy of the new shape.
  Image solid(Make(kSolid, kWide, 16, 2));
  QXImageRef made = nullptr;
  ASSERT_EQ(QXImageCreateCopyAddingChannels(solid, 1, &made), 0);
  Image copy(made);
  EXPECT_EQ(QXImageGetDataSourceType(copy), kQXImageSourceSolidFill);
  EXPECT_EQ(QXImageGetNumPlanes(copy), 3);

  // Only one added plane is consistent; 32 planes cannot take another.
  Image small(Make(kMemory, QXRect{0, 0, 4, 4}, 8, 3));
  for (int32_t count : {0, 2, -1}) {
    made = reinterpret_cast<QXImageRef>(&made);
    EXPECT_EQ(QXImageCreateCopyAddingChannels(small, count, &made), kQXErrInvalidArgument) << count;
    EXPECT_EQ(made, nullptr);
  }
  Image full(Make(kMemory, QXRect{0, 0, 4, 4}, 8, 32));
  EXPECT_NE(QXImageCreateCopyAddingChannels(full, 1, &made), 0);
  EXPECT_EQ(made, nullptr);
  EXPECT_EQ(QXImageCreateCopyAddingChannels(small, 1, nullptr), kQXErrInvalidArgument);
}

TEST(ImageScale16, WorkedMappingsSaturationAndOtherDepths) {
  const std::vector<uint16_t> examples = {65535, 2, 1, 0, 32768, 16384, 40000, 32767};
  for (int32_t kind : kPixelKinds) {
    SCOPED_TRACE(KindName(kind));
    Image small(Make(kind, QXRect{3, -2, 4, 2}, 16, 1));
    Put(small, examples);
    ASSERT_EQ(QXImageConvertFFFFTo8000(small), 0);
    EXPECT_EQ(Get<uint16_t>(small), (std::vector<uint16_t>{32768, 1, 1, 0, 16384, 8192, 20000, 16384}));
    Put(small, examples);
    ASSERT_EQ(QXImageConvert8000ToFFFF(small), 0);
    // 32768 is full scale; anything above it saturates instead of wrapping (65535 would give 65534).
    EXPECT_EQ(Get<uint16_t>(small), (std::vector<uint16_t>{65535, 3, 1, 0, 65535, 32767, 65535, 65533}));

    // Every sample of a multi-tile image.
    Image wide(Make(kind, kWide, 16, 3));
    const auto v = Random<uint16_t>(kWide, 3, 11);
    Put(wide, v);
    ASSERT_EQ(QXImageConvert8000ToFFFF(wide), 0);
    const auto got = Get<uint16_t>(wide);
    for (size_t i = 0; i < v.size(); ++i)
      ASSERT_EQ(got[i], std::min<uint32_t>(65535u, (uint32_t(v[i]) * 65535u) >> 15)) << i;

    // Other depths are left alone.
    Image bytes(Make(kind, QXRect{0, 0, 3, 1}, 8, 1));
    Put(bytes, std::vector<uint8_t>{200, 1, 255});
    EXPECT_EQ(QXImageConvert8000ToFFFF(bytes), 0);
    EXPECT_EQ(QXImageConvertFFFFTo8000(bytes), 0);
    EXPECT_EQ(Get<uint8_t>(bytes), (std::vector<uint8_t>{200, 1, 255}));
  }
  Image solid(Make(kSolid, kWide, 16, 3));
  EXPECT_EQ(QXImageConvert8000ToFFFF(solid), 0);
  EXPECT_EQ(QXImageConvert8000ToFFFF(nullptr), kQXErrInvalidArgument);
}

TEST(ImageDepth, EightAndSixteenBitsBothWays) {
  for (int32_t kind : {kMemory, kTiled, kSolid}) {
    SCOPED_TRACE(KindName(kind));
    Image eight(Make(kind, kWide, 8, 3, 2, 1));
    const auto v8 = Random<uint8_t>(kWide, 3, 5);
    if (kind != kSolid) Put(eight, v8);
    QXImageRef made = nullptr;
    ASSERT_EQ(QXImageConvertToDepth(eight, 16, &made), 0);
    Image sixteen(made);
    // Always a new tiled record of the same geometry and format.
    EXPECT_EQ(QXImageGetDataSourceType(sixteen), kQXImageSourceTiled);
    EXPECT_EQ(QXImageGetDepth(sixteen), 16);
    EXPECT_EQ(QXImageGetNumPlanes(sixteen), 3);
    EXPECT_EQ(QXImageGetBounds(sixteen).x, kWide.x);
    EXPECT_EQ(QXImageGetBounds(sixteen).y, kWide.y);
    EXPECT_EQ(QXImageGetColorSpaceType(sixteen), 2);
    EXPECT_EQ(QXImageGetTransparency(sixteen), 1);
    if (kind == kSolid) continue;
    const auto v16 = Get<uint16_t>(sixteen);
    for (size_t i = 0; i < v8.size(); ++i) ASSERT_EQ(v16[i], v8[i] * 257) << i;  // 0xAB -> 0xABAB

    Image back16(Make(kind, kWide, 16, 3));
    const auto w16 = Random<uint16_t>(kWide, 3, 9);
    Put(back16, w16);
    ASSERT_EQ(QXImageConvertToDepth(back16, 8, &made), 0);
    Image back8(made);
    EXPECT_EQ(QXImageGetDataSourceType(back8), kQXImageSourceTiled);
    const auto w8 = Get<uint8_t>(back8);
    for (size_t i = 0; i < w16.size(); ++i) ASSERT_EQ(w8[i], w16[i] >> 8) << i;  // 0xABCD -> 0xAB
  }
  Image one(Make(kMemory, QXRect{0, 0, 2, 1}, 16, 1));
  Put(one, std::vector<uint16_t>{0xABCD, 0x00FF});
  QXImageRef made = nullptr;
  ASSERT_EQ(QXImageConvertToDepth(one, 8, &made), 0);
  Image byte(made);
  EXPECT_EQ(Get<uint8_t>(byte), (std::vector<uint8_t>{0xAB, 0x00}));

  // The same depth hands back the image itself with one more reference.
  ASSERT_EQ(QXImageConvertToDepth(one, 16, &made), 0);
  EXPECT_EQ(made, one.get());
  QXImageRelease(made);
  EXPECT_EQ(QXImageGetWidth(one), 2);

  // Anything but 8 <-> 16.
  Image floats(Make(kMemory, QXRect{0, 0, 2, 2}, 32, 1));
  made = reinterpret_cast<QXImageRef>(&made);
  EXPECT_EQ(QXImageConvertToDepth(floats, 8, &made), kQXErrUnsupportedFormat);
  EXPECT_EQ(made, nullptr);
  EXPECT_EQ(QXImageConvertToDepth(one, 32, &made), kQXErrUnsupportedFormat);
  EXPECT_EQ(QXImageConvertToDepth(byte, 4, &made), kQXErrUnsupportedFormat);
  EXPECT_EQ(QXImageConvertToDepth(one, 8, nullptr), kQXErrInvalidArgument);
}

TEST(ImageDepth, FailuresAfterStartingAreLogged) {
  LogCapture log;
  // A memory record without a buffer fails its reads once the conversion is under way.
  QXImageRef empty = nullptr;
  ASSERT_EQ(QXImageCreateMemory(QXRect{0, 0, 10, 10}, 8, 3, 2, 0, nullptr, &empty), 0);
  Image src(empty);
  QXImageRef made = nullptr;
  EXPECT_EQ(QXImageConvertToDepth(src, 16, &made), kQXErrInvalidArgument);
  EXPECT_EQ(made, nullptr);
  EXPECT_TRUE(log.contains("QXCore - VornUtils::ConvertImageDepth() Error Number = 1005"));
  log.clear();
  EXPECT_EQ(QXImageConvertToDepthWithTransparency(src, 8, &made), kQXErrInvalidArgument);
  EXPECT_EQ(made, nullptr);
  EXPECT_TRUE(log.contains("VornUtils::ConvertImageDepth() Error Number = 1005"));

  // Refusing a shape is not a failure under way.
  log.clear();
  Image floats(Make(kMemory, QXRect{0, 0, 2, 2}, 32, 3));
  EXPECT_EQ(QXImageConvertToDepth(floats, 8, &made), kQXErrUnsupportedFormat);
  EXPECT_FALSE(log.contains("ConvertImageDepth"));
}

TEST(ImageDepthTransparency, FourPlanesWithAlphaFromEveryShape) {
  for (int32_t kind : kPixelKinds) {
    SCOPED_TRACE(KindName(kind));
    // Three planes, 8 -> 8: colour copied, alpha opaque.
    Image rgb(Make(kind, kWide, 8, 3));
    const auto v = Random<uint8_t>(kWide, 3, 21);
    Put(rgb, v);
    QXImageRef made = nullptr;
    ASSERT_EQ(QXImageConvertToDepthWithTransparency(rgb, 8, &made), 0);
    Image rgba(made);
    EXPECT_EQ(QXImageGetDataSourceType(rgba), kQXImageSourceTiled);
    EXPECT_EQ(QXImageGetNumPlanes(rgba), 4);
    EXPECT_EQ(QXImageGetTransparency(rgba), 1);
    EXPECT_EQ(QXImageGetColorSpaceType(rgba), 2);
    EXPECT_EQ(QXImageGetBounds(rgba).x, kWide.x);
    auto got = Get<uint8_t>(rgba);
    for (size_t i = 0; i < v.size() / 3; ++i) {
      ASSERT_EQ(0, std::memcmp(&got[4 * i], &v[3 * i], 3)) << i;
      ASSERT_EQ(got[4 * i + 3], 255) << i;
    }

    // Four planes, 16 -> 8: high bytes, alpha included.
    Image deep(Make(kind, kWide, 16, 4));
    const auto d = Random<uint16_t>(kWide, 4, 22);
    Put(deep, d);
    ASSERT_EQ(QXImageConvertToDepthWithTransparency(deep, 8, &made), 0);
    Image shallow(made);
    got = Get<uint8_t>(shallow);
    for (size_t i = 0; i < d.size(); ++i) ASSERT_EQ(got[i], d[i] >> 8) << i;

    // Four planes, 8 -> 16: every plane times 257.
    Image four(Make(kind, QXRect{0, 0, 2, 1}, 8, 4));
    Put(four, std::vector<uint8_t>{0xAB, 1, 2, 0x80, 0, 255, 3, 0});
    ASSERT_EQ(QXImageConvertToDepthWithTransparency(four, 16, &made), 0);
    Image up(made);
    EXPECT_EQ(Get<uint16_t>(up), (std::vector<uint16_t>{0xABAB, 257, 514, 0x8080, 0, 65535, 771, 0}));

    // Past four planes, the fourth is not alpha: the result is opaque.
    Image five(Make(kind, QXRect{0, 0, 1, 1}, 8, 5));
    Put(five, std::vector<uint8_t>{9, 8, 7, 6, 5});
    ASSERT_EQ(QXImageConvertToDepthWithTransparency(five, 8, &made), 0);
    Image fiveOut(made);
    EXPECT_EQ(Get<uint8_t>(fiveOut), (std::vector<uint8_t>{9, 8, 7, 255}));
  }

  // Already four planes with transparency at that depth: the image itself.
  Image ready(Make(kMemory, QXRect{0, 0, 2, 2}, 8, 4, 2, 1));
  QXImageRef made = nullptr;
  ASSERT_EQ(QXImageConvertToDepthWithTransparency(ready, 8, &made), 0);
  EXPECT_EQ(made, ready.get());
  QXImageRelease(made);
  // Transparency claimed by three planes is not enough: a real conversion.
  Image claims(Make(kMemory, QXRect{0, 0, 2, 2}, 8, 3, 2, 1));
  ASSERT_EQ(QXImageConvertToDepthWithTransparency(claims, 8, &made), 0);
  Image converted(made);
  EXPECT_NE(made, claims.get());
  EXPECT_EQ(QXImageGetNumPlanes(converted), 4);

  // Unsupported shapes.
  Image gray(Make(kMemory, QXRect{0, 0, 2, 2}, 8, 2));
  Image floats(Make(kMemory, QXRect{0, 0, 2, 2}, 32, 4));
  made = reinterpret_cast<QXImageRef>(&made);
  EXPECT_EQ(QXImageConvertToDepthWithTransparency(gray, 8, &made), kQXErrUnsupportedFormat);
  EXPECT_EQ(made, nullptr);
  EXPECT_EQ(QXImageConvertToDepthWithTransparency(floats, 8, &made), kQXErrUnsupportedFormat);
  EXPECT_EQ(QXImageConvertToDepthWithTransparency(claims, 32, &made), kQXErrUnsupportedFormat);
  EXPECT_EQ(made, nullptr);
}

TEST(ImagePremultiply, CompositesOverWhiteOnlyWithAlpha) {
  for (int32_t kind : kPixelKinds) {
    SCOPED_TRACE(KindName(kind));
    Image rgba(Make(kind, QXRect{5, 5, 3, 1}, 8, 4, 2, 1));
    Put(rgba, std::vector<uint8_t>{100, 0, 0, 0, 100, 50, 0, 255, 0, 255, 10, 51});
    ASSERT_EQ(QXImageConvertToPremultipliedAlpha(rgba), 0);
    // Alpha 51 is 0.2: 0 -> 204, 255 stays, 10 -> trunc(-245 * 0.2 + 255) = 206.
    EXPECT_EQ(Get<uint8_t>(rgba), (std::vector<uint8_t>{255, 255, 255, 255, 100, 50, 0, 255, 204, 255, 206, 255}));

    Image deep(Make(kind, QXRect{0, 0, 2, 1}, 16, 4, 2, 1));
    Put(deep, std::vector<uint16_t>{1000, 0, 65535, 0, 1000, 2, 3, 65535});
    ASSERT_EQ(QXImageConvertToPremultipliedAlpha(deep), 0);
    EXPECT_EQ(Get<uint16_t>(deep), (std::vector<uint16_t>{65535, 65535, 65535, 65535, 1000, 2, 3, 65535}));

    Image floats(Make(kind, QXRect{0, 0, 1, 1}, 32, 4, 2, 1));
    Put(floats, std::vector<float>{0.25f, 0.5f, 1.0f, 0.5f});
    ASSERT_EQ(QXImageConvertToPremultipliedAlpha(floats), 0);
    EXPECT_EQ(Get<float>(floats), (std::vector<float>{0.625f, 0.75f, 1.0f, 1.0f}));

    // Many tiles: transparent pixels become white, opaque ones stay.
    Image wide(Make(kind, kWide, 8, 2, 1, 1));
    std::vector<uint8_t> v = Random<uint8_t>(kWide, 2, 3);
    for (size_t i = 1; i < v.size(); i += 2) v[i] = (i / 2) % 2 ? 255 : 0;
    Put(wide, v);
    ASSERT_EQ(QXImageConvertToPremultipliedAlpha(wide), 0);
    const auto got = Get<uint8_t>(wide);
    for (size_t i = 0; i < v.size(); i += 2) {
      ASSERT_EQ(got[i], (i / 2) % 2 ? v[i] : 255) << i;
      ASSERT_EQ(got[i + 1], 255) << i;
    }

    // Without an alpha plane nothing changes: no transparency, or a single plane.
    Image opaque(Make(kind, QXRect{0, 0, 1, 1}, 8, 4, 2, 0));
    Put(opaque, std::vector<uint8_t>{100, 0, 0, 0});
    ASSERT_EQ(QXImageConvertToPremultipliedAlpha(opaque), 0);
    EXPECT_EQ(Get<uint8_t>(opaque), (std::vector<uint8_t>{100, 0, 0, 0}));
    Image single(Make(kind, QXRect{0, 0, 2, 1}, 8, 1, 1, 1));
    Put(single, std::vector<uint8_t>{7, 0});
    ASSERT_EQ(QXImageConvertToPremultipliedAlpha(single), 0);
    EXPECT_EQ(Get<uint8_t>(single), (std::vector<uint8_t>{7, 0}));
  }
  EXPECT_EQ(QXImageConvertToPremultipliedAlpha(nullptr), kQXErrInvalidArgument);
}

TEST(ImageFill, ColourClampsAndKeepsOtherPlanes) {
  for (int32_t kind : kPixelKinds) {
    SCOPED_TRACE(KindName(kind));
    Image eight(Make(kind, kWide, 8, 4));
    const auto v = Random<uint8_t>(kWide, 4, 1);
    Put(eight, v);
    // Planes 1 and 2 only; values outside 0 ... 1 clamp.
    const float colour[] = {2.0f, -0.5f};
    ASSERT_EQ(QXImageFillColor(eight, colour, 1, 2), 0);
    auto got = Get<uint8_t>(eight);
    for (size_t i = 0; i < v.size(); i += 4) {
      ASSERT_EQ(got[i], v[i]) << i;
      ASSERT_EQ(got[i + 1], 255) << i;
      ASSERT_EQ(got[i + 2], 0) << i;
      ASSERT_EQ(got[i + 3], v[i + 3]) << i;
    }
    const float odd[] = {0.5f, std::numeric_limits<float>::quiet_NaN(), 1e30f, 0.2f};
    ASSERT_EQ(QXImageFillColor(eight, odd, 0, -1), 0);
    EXPECT_EQ(PixelAt(Get<uint8_t>(eight), kWide, 4, 299, 269), (std::vector<uint8_t>{128, 0, 255, 51}));

    Image deep(Make(kind, QXRect{0, 0, 3, 2}, 16, 2));
    const float half[] = {0.5f, 1.0f};
    ASSERT_EQ(QXImageFillColor(deep, half, 0, -1), 0);
    std::vector<uint16_t> halves(12);
    for (size_t i = 0; i < halves.size(); ++i) halves[i] = i % 2 ? 65535 : 32768;
    EXPECT_EQ(Get<uint16_t>(deep), halves);
    Image floats(Make(kind, QXRect{0, 0, 2, 1}, 32, 2));
    const float f[] = {0.25f, 3.0f};
    ASSERT_EQ(QXImageFillColor(floats, f, 0, 1), 0);
    EXPECT_EQ(Get<float>(floats), (std::vector<float>{0.25f, 1.0f, 0.25f, 1.0f}));

    // Plane ranges outside the image.
    EXPECT_EQ(QXImageFillColor(deep, half, 1, 2), kQXErrInvalidArgument);
    EXPECT_EQ(QXImageFillColor(deep, half, 1, 0), kQXErrInvalidArgument);
    EXPECT_EQ(QXImageFillColor(deep, nullptr, 0, -1), kQXErrInvalidArgument);
  }
  Image solid(Make(kSolid, kWide, 8, 3));
  const float white[] = {1, 1, 1};
  EXPECT_EQ(QXImageFillColor(solid, white, 0, -1), 0);
}

TEST(ImageFill, TransparentWhiteDependsOnColourSpace) {
  for (int32_t kind : kPixelKinds) {
    SCOPED_TRACE(KindName(kind));
    Image rgb(Make(kind, kWide, 16, 4, 2));
    ASSERT_EQ(QXImageFillTransparent(rgb), 0);
    std::vector<uint16_t> want(size_t(kWide.width) * kWide.height * 4, 65535);
    for (size_t i = 3; i < want.size(); i += 4) want[i] = 0;
    EXPECT_TRUE(Get<uint16_t>(rgb) == want);
    Image other(Make(kind, QXRect{0, 0, 2, 1}, 8, 5, 3));
    ASSERT_EQ(QXImageFillTransparent(other), 0);
    EXPECT_EQ(Get<uint8_t>(other), std::vector<uint8_t>(10, 255));
    Image gray(Make(kind, QXRect{0, 0, 2, 1}, 32, 1, 2));
    ASSERT_EQ(QXImageFillTransparent(gray), 0);
    EXPECT_EQ(Get<float>(gray), std::vector<float>(2, 1.0f));
  }
}

TEST(ImageFill, CheckerboardCellsFromTheOrigin) {
  for (int32_t kind : kPixelKinds) {
    SCOPED_TRACE(KindName(kind));
    // The worked example: white in the first 8 x 8 cell, the colour at (8, 0).
    Image small(Make(kind, QXRect{0, 0, 20, 20}, 8, 4));
    ASSERT_EQ(QXImageFillCheckerboard(small, 8, 1.0f, 0.0f, 0.5f), 0);
    const auto s = Get<uint8_t>(small);
    const std::vector<uint8_t> white(4, 255), tint{255, 0, 128, 255};
    const QXRect sb{0, 0, 20, 20};
    for (int32_t y = 0; y < 8; ++y)
      for (int32_t x = 0; x < 8; ++x) ASSERT_EQ(PixelAt(s, sb, 4, x, y), white) << x << "," << y;
    EXPECT_EQ(PixelAt(s, sb, 4, 8, 0), tint);
    EXPECT_EQ(PixelAt(s, sb, 4, 0, 8), tint);
    EXPECT_EQ(PixelAt(s, sb, 4, 8, 8), white);
    EXPECT_EQ(PixelAt(s, sb, 4, 19, 16), white);

    // Many tiles, an origin away from (0, 0), 16 bits, and planes past the fourth at full scale.
    Image wide(Make(kind, kWide, 16, 6));
    ASSERT_EQ(QXImageFillCheckerboard(wide, 37, 0.0f, 0.5f, -3.0f), 0);
    const auto w = Get<uint16_t>(wide);
    for (int32_t y = 0; y < kWide.height; ++y) {
      for (int32_t x = 0; x < kWide.width; ++x) {
        const bool isWhite = (x / 37) % 2 == (y / 37) % 2;
        const std::vector<uint16_t> want =
            isWhite ? std::vector<uint16_t>(6, 65535) : std::vector<uint16_t>{0, 32768, 0, 65535, 65535, 65535};
        ASSERT_EQ(PixelAt(w, kWide, 6, x, y), want) << x << "," << y;
      }
    }

    // Floats, fewer planes than the colour has.
    Image two(Make(kind, QXRect{0, 0, 2, 1}, 32, 2));
    ASSERT_EQ(QXImageFillCheckerboard(two, 1, 0.25f, 0.75f, 0.5f), 0);
    EXPECT_EQ(Get<float>(two), (std::vector<float>{1.0f, 1.0f, 0.25f, 0.75f}));

    // Cells of no size are refused and change nothing.
    for (int32_t n : {0, -8}) {
      EXPECT_EQ(QXImageFillCheckerboard(two, n, 0, 0, 0), kQXErrInvalidArgument) << n;
      EXPECT_EQ(Get<float>(two), (std::vector<float>{1.0f, 1.0f, 0.25f, 0.75f}));
    }
  }
  Image solid(Make(kSolid, kWide, 8, 3));
  EXPECT_EQ(QXImageFillCheckerboard(solid, 8, 0, 0, 0), 0);
}
