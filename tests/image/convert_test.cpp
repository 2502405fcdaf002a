// Sample conversions and fills on memory, tiled and solid-fill records at 8, 16 and 32 bits.
#include <QXCore/QXImage.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "tests/image/ImageTestSupport.h"
#include "tests/log/LogCapture.h"

using namespace qxtest;

namespace {

// Spans several tiles in both directions and does not start at (0, 0).
constexpr QXRect kWide{-7, 5, 300, 270};
constexpr int32_t kPixelKinds[] = {kMemory, kTiled};

QXImageRef Make(int32_t kind, QXRect bounds, int32_t depth, int32_t planes, int32_t colorSpace = 2,
                int32_t transparency = 0) {
  QXImageRef image = nullptr;
  EXPECT_EQ(QXImageCreateWithParams2(bounds, depth, planes, colorSpace, transparency, kind, &image), 0);
  return image;
}

// Random samples for every pixel of `b`; floats may be any bit pattern (the tests compare bytes).
template <class T>
std::vector<T> Random(QXRect b, int32_t planes, uint32_t seed) {
  std::vector<T> v(size_t(b.width) * size_t(b.height) * size_t(planes));
  const std::vector<uint8_t> bytes = RandomBytes(v.size() * sizeof(T), seed);
  std::memcpy(v.data(), bytes.data(), bytes.size());
  return v;
}

// The pixel at (x, y) counted from the bounds' origin.
template <class T>
std::vector<T> PixelAt(const std::vector<T>& samples, QXRect b, int32_t planes, int32_t x, int32_t y) {
  const auto at = samples.begin() + ptrdiff_t((size_t(y) * size_t(b.width) + size_t(x)) * size_t(planes));
  return std::vector<T>(at, at + planes);
}

// `n`-plane pixels of `from` must reappear as the first n planes of each (n + 1)-plane pixel of `to`,
// whose last plane is `last`.
template <class T>
void CheckOneMorePlane(const std::vector<T>& from, const std::vector<T>& to, size_t n, T last) {
  ASSERT_EQ(to.size() * n, from.size() * (n + 1));
  for (size_t i = 0; i < from.size() / n; ++i) {
    ASSERT_EQ(0, std::memcmp(&to[(n + 1) * i], &from[n * i], n * sizeof(T))) << i;
    ASSERT_EQ(to[(n + 1) * i + n], last) << i;
  }
}

// Writes `in` over `image`, applies `op` in place and reads the image back.
template <class T>
std::vector<T> After(QXImageRef image, const std::vector<T>& in, QXStatus (*op)(QXImageRef)) {
  WriteAll(image, in);
  EXPECT_EQ(op(image), 0);
  return ReadAs<T>(image);
}

// Writes `in` over `image` and returns the samples of its conversion to `depth` by `op`.
template <class Out, class In>
std::vector<Out> Converted(QXImageRef image, const std::vector<In>& in, int32_t depth,
                           QXStatus (*op)(QXImageRef, int32_t, QXImageRef*)) {
  WriteAll(image, in);
  QXImageRef made = nullptr;
  EXPECT_EQ(op(image, depth, &made), 0);
  Image out(made);
  return made ? ReadAs<Out>(out) : std::vector<Out>();
}

template <class T>
void CheckAddedPlane(int32_t kind, T full) {
  Image src(Make(kind, kWide, sizeof(T) * 8, 3));
  const auto before = Random<T>(kWide, 3, 7);
  WriteAll(src, before);
  QXImageRef made = nullptr;
  ASSERT_EQ(QXImageCreateCopyAddingChannels(src, 1, &made), 0);
  Image copy(made);
  EXPECT_EQ(QXImageGetDataSourceType(copy), QXImageGetDataSourceType(src));
  ASSERT_EQ(QXImageGetDepth(copy), int32_t(sizeof(T) * 8));
  EXPECT_TRUE(QXImageGetBounds(copy).x == kWide.x && QXImageGetColorSpaceType(copy) == 2);
  CheckOneMorePlane(before, ReadAs<T>(copy), 3, full);
}

}  // namespace

TEST(ImageAddChannel, FullScalePlaneOnEveryKindAndDepth) {
  for (int32_t kind : kPixelKinds) {
    SCOPED_TRACE(kind);
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
  Image small(Make(kMemory, QXRect{0, 0, 4, 4}, 8, 3)), full(Make(kMemory, QXRect{0, 0, 4, 4}, 8, 32));
  for (int32_t count : {0, 2, -1}) {
    made = reinterpret_cast<QXImageRef>(&made);
    EXPECT_EQ(QXImageCreateCopyAddingChannels(small, count, &made), kQXErrInvalidArgument) << count;
    EXPECT_EQ(made, nullptr);
  }
  EXPECT_NE(QXImageCreateCopyAddingChannels(full, 1, &made), 0);
  EXPECT_EQ(made, nullptr);
  EXPECT_EQ(QXImageCreateCopyAddingChannels(small, 1, nullptr), kQXErrInvalidArgument);
}

TEST(ImageScale16, WorkedMappingsSaturationAndOtherDepths) {
  const std::vector<uint16_t> examples = {65535, 2, 1, 0, 32768, 16384, 40000, 32767};
  for (int32_t kind : kPixelKinds) {
    SCOPED_TRACE(kind);
    Image small(Make(kind, QXRect{3, -2, 4, 2}, 16, 1));
    EXPECT_EQ(After(small, examples, QXImageConvertFFFFTo8000),
              (std::vector<uint16_t>{32768, 1, 1, 0, 16384, 8192, 20000, 16384}));
    // 32768 is full scale; anything above it saturates instead of wrapping (65535 would give 65534).
    EXPECT_EQ(After(small, examples, QXImageConvert8000ToFFFF),
              (std::vector<uint16_t>{65535, 3, 1, 0, 65535, 32767, 65535, 65533}));
    // Every sample of a multi-tile image.
    Image wide(Make(kind, kWide, 16, 3));
    const auto v = Random<uint16_t>(kWide, 3, 11);
    WriteAll(wide, v);
    ASSERT_EQ(QXImageConvert8000ToFFFF(wide), 0);
    const auto got = ReadAs<uint16_t>(wide);
    for (size_t i = 0; i < v.size(); ++i)
      ASSERT_EQ(got[i], std::min<uint32_t>(65535u, (uint32_t(v[i]) * 65535u) >> 15)) << i;
    // Other depths are left alone.
    Image bytes(Make(kind, QXRect{0, 0, 3, 1}, 8, 1));
    WriteAll(bytes, std::vector<uint8_t>{200, 1, 255});
    EXPECT_EQ(QXImageConvert8000ToFFFF(bytes), 0);
    EXPECT_EQ(QXImageConvertFFFFTo8000(bytes), 0);
    EXPECT_EQ(ReadAs<uint8_t>(bytes), (std::vector<uint8_t>{200, 1, 255}));
  }
  Image solid(Make(kSolid, kWide, 16, 3));
  EXPECT_EQ(QXImageConvert8000ToFFFF(solid), 0);
  EXPECT_EQ(QXImageConvert8000ToFFFF(nullptr), kQXErrInvalidArgument);
}

TEST(ImageDepth, EightAndSixteenBitsBothWays) {
  for (int32_t kind : {kMemory, kTiled, kSolid}) {
    SCOPED_TRACE(kind);
    // Always a new tiled record of the same geometry and format, even from a solid fill.
    Image eight(Make(kind, kWide, 8, 3, 2, 1));
    QXImageRef made = nullptr;
    ASSERT_EQ(QXImageConvertToDepth(eight, 16, &made), 0);
    Image sixteen(made);
    EXPECT_EQ(QXImageGetDataSourceType(sixteen), kQXImageSourceTiled);
    EXPECT_TRUE(QXImageGetDepth(sixteen) == 16 && QXImageGetNumPlanes(sixteen) == 3);
    EXPECT_TRUE(QXImageGetBounds(sixteen).x == kWide.x && QXImageGetBounds(sixteen).y == kWide.y);
    EXPECT_EQ(QXImageGetColorSpaceType(sixteen), 2);
    EXPECT_EQ(QXImageGetTransparency(sixteen), 1);
    if (kind == kSolid) continue;
    const auto v8 = Random<uint8_t>(kWide, 3, 5);
    const auto v16 = Converted<uint16_t>(eight, v8, 16, QXImageConvertToDepth);
    ASSERT_EQ(v16.size(), v8.size());
    for (size_t i = 0; i < v8.size(); ++i) ASSERT_EQ(v16[i], v8[i] * 257) << i;  // 0xAB -> 0xABAB
    const auto w16 = Random<uint16_t>(kWide, 3, 9);
    const auto w8 = Converted<uint8_t>(Image(Make(kind, kWide, 16, 3)), w16, 8, QXImageConvertToDepth);
    ASSERT_EQ(w8.size(), w16.size());
    for (size_t i = 0; i < w16.size(); ++i) ASSERT_EQ(w8[i], w16[i] >> 8) << i;  // 0xABCD -> 0xAB
  }
  // The worked mapping 0xABCD -> 0xAB; the same depth hands back the image itself, one more reference.
  Image one(Make(kMemory, QXRect{0, 0, 2, 1}, 16, 1));
  EXPECT_EQ(Converted<uint8_t>(one, std::vector<uint16_t>{0xABCD, 0x00FF}, 8, QXImageConvertToDepth),
            (std::vector<uint8_t>{0xAB, 0x00}));
  QXImageRef made = nullptr;
  ASSERT_EQ(QXImageConvertToDepth(one, 16, &made), 0);
  EXPECT_EQ(made, one.get());
  QXImageRelease(made);
  EXPECT_EQ(QXImageGetWidth(one), 2);
  // Anything but 8 <-> 16.
  Image floats(Make(kMemory, QXRect{0, 0, 2, 2}, 32, 1)), byte(Make(kMemory, QXRect{0, 0, 2, 2}, 8, 1));
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
    SCOPED_TRACE(kind);
    // Three planes, 8 -> 8: colour copied, alpha opaque, a tiled record with transparency.
    Image rgb(Make(kind, kWide, 8, 3));
    QXImageRef made = nullptr;
    ASSERT_EQ(QXImageConvertToDepthWithTransparency(rgb, 8, &made), 0);
    Image rgba(made);
    EXPECT_EQ(QXImageGetDataSourceType(rgba), kQXImageSourceTiled);
    EXPECT_EQ(QXImageGetTransparency(rgba), 1);
    EXPECT_TRUE(QXImageGetBounds(rgba).x == kWide.x && QXImageGetColorSpaceType(rgba) == 2);
    const auto v = Random<uint8_t>(kWide, 3, 21);
    CheckOneMorePlane<uint8_t>(v, Converted<uint8_t>(rgb, v, 8, QXImageConvertToDepthWithTransparency), 3, 255);
    // Four planes, 16 -> 8: high bytes, alpha included.
    const auto d = Random<uint16_t>(kWide, 4, 22);
    const auto got = Converted<uint8_t>(Image(Make(kind, kWide, 16, 4)), d, 8, QXImageConvertToDepthWithTransparency);
    ASSERT_EQ(got.size(), d.size());
    for (size_t i = 0; i < d.size(); ++i) ASSERT_EQ(got[i], d[i] >> 8) << i;
    // Four planes, 8 -> 16: every plane times 257. Past four planes the fourth is not alpha: opaque.
    Image four(Make(kind, QXRect{0, 0, 2, 1}, 8, 4)), five(Make(kind, QXRect{0, 0, 1, 1}, 8, 5));
    EXPECT_EQ(Converted<uint16_t>(four, std::vector<uint8_t>{0xAB, 1, 2, 0x80, 0, 255, 3, 0}, 16,
                                  QXImageConvertToDepthWithTransparency),
              (std::vector<uint16_t>{0xABAB, 257, 514, 0x8080, 0, 65535, 771, 0}));
    EXPECT_EQ(Converted<uint8_t>(five, std::vector<uint8_t>{9, 8, 7, 6, 5}, 8, QXImageConvertToDepthWithTransparency),
              (std::vector<uint8_t>{9, 8, 7, 255}));
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
  EXPECT_EQ(QXImageGetNumPlanes(converted), 4);
  // Unsupported shapes.
  Image gray(Make(kMemory, QXRect{0, 0, 2, 2}, 8, 2)), floats(Make(kMemory, QXRect{0, 0, 2, 2}, 32, 4));
  made = reinterpret_cast<QXImageRef>(&made);
  EXPECT_EQ(QXImageConvertToDepthWithTransparency(gray, 8, &made), kQXErrUnsupportedFormat);
  EXPECT_EQ(made, nullptr);
  EXPECT_EQ(QXImageConvertToDepthWithTransparency(floats, 8, &made), kQXErrUnsupportedFormat);
  EXPECT_EQ(QXImageConvertToDepthWithTransparency(claims, 32, &made), kQXErrUnsupportedFormat);
  EXPECT_EQ(made, nullptr);
}

TEST(ImagePremultiply, CompositesOverWhiteAndRefusesImagesWithoutAlpha) {
  for (int32_t kind : kPixelKinds) {
    SCOPED_TRACE(kind);
    const auto premultiply = QXImageConvertToPremultipliedAlpha;
    // Alpha 51 is 0.2: 0 -> 204, 255 stays, 10 -> trunc(-245 * 0.2 + 255) = 206.
    Image rgba(Make(kind, QXRect{5, 5, 3, 1}, 8, 4, 2, 1)), deep(Make(kind, QXRect{0, 0, 2, 1}, 16, 4, 2, 1)),
        floats(Make(kind, QXRect{0, 0, 1, 1}, 32, 4, 2, 1));
    EXPECT_EQ(After(rgba, std::vector<uint8_t>{100, 0, 0, 0, 100, 50, 0, 255, 0, 255, 10, 51}, premultiply),
              (std::vector<uint8_t>{255, 255, 255, 255, 100, 50, 0, 255, 204, 255, 206, 255}));
    EXPECT_EQ(After(deep, std::vector<uint16_t>{1000, 0, 65535, 0, 1000, 2, 3, 65535}, premultiply),
              (std::vector<uint16_t>{65535, 65535, 65535, 65535, 1000, 2, 3, 65535}));
    EXPECT_EQ(After(floats, std::vector<float>{0.25f, 0.5f, 1.0f, 0.5f}, premultiply),
              (std::vector<float>{0.625f, 0.75f, 1.0f, 1.0f}));
    // Many tiles: transparent pixels become white, opaque ones stay.
    Image wide(Make(kind, kWide, 8, 2, 1, 1));
    std::vector<uint8_t> v = Random<uint8_t>(kWide, 2, 3);
    for (size_t i = 1; i < v.size(); i += 2) v[i] = (i / 2) % 2 ? 255 : 0;
    WriteAll(wide, v);
    ASSERT_EQ(QXImageConvertToPremultipliedAlpha(wide), 0);
    const auto got = ReadAs<uint8_t>(wide);
    for (size_t i = 0; i < v.size(); i += 2) {
      ASSERT_EQ(got[i], (i / 2) % 2 ? v[i] : 255) << i;
      ASSERT_EQ(got[i + 1], 255) << i;
    }
    // Without transparency stated, two or four planes outside CMYK end in alpha (the records
    // QXImageCreateWithParams makes state none).
    Image rgbaImplied(Make(kind, QXRect{0, 0, 1, 1}, 8, 4, 0, 0)),
        grayImplied(Make(kind, QXRect{0, 0, 2, 1}, 8, 2, 1, 0));
    EXPECT_EQ(After(rgbaImplied, std::vector<uint8_t>{100, 0, 0, 0}, premultiply), std::vector<uint8_t>(4, 255));
    EXPECT_EQ(After(grayImplied, std::vector<uint8_t>{7, 0, 7, 255}, premultiply),
              (std::vector<uint8_t>{255, 255, 7, 255}));
    // No alpha plane, or nothing but one: refused, pixels unchanged.
    const struct { int32_t planes, colorSpace, transparency; } refused[] = {{3, 2, 0}, {4, 3, 0}, {1, 1, 1}, {1, 0, 0}};
    for (const auto& r : refused) {
      Image image(Make(kind, QXRect{0, 0, 1, 1}, 8, r.planes, r.colorSpace, r.transparency));
      const std::vector<uint8_t> before(size_t(r.planes), 9);
      WriteAll(image, before);
      EXPECT_EQ(QXImageConvertToPremultipliedAlpha(image), kQXErrUnsupportedFormat) << r.planes << " " << r.colorSpace;
      EXPECT_EQ(ReadAs<uint8_t>(image), before);
    }
  }
  EXPECT_EQ(QXImageConvertToPremultipliedAlpha(nullptr), kQXErrInvalidArgument);
}

TEST(ImageFill, ColourClampsAndKeepsOtherPlanes) {
  for (int32_t kind : kPixelKinds) {
    SCOPED_TRACE(kind);
    Image eight(Make(kind, kWide, 8, 4));
    const auto v = Random<uint8_t>(kWide, 4, 1);
    WriteAll(eight, v);
    // Planes 1 and 2 only; values outside 0 ... 1 clamp.
    const float colour[] = {2.0f, -0.5f};
    ASSERT_EQ(QXImageFillColor(eight, colour, 1, 2), 0);
    const auto got = ReadAs<uint8_t>(eight);
    for (size_t i = 0; i < v.size(); i += 4)
      ASSERT_TRUE(got[i] == v[i] && got[i + 1] == 255 && got[i + 2] == 0 && got[i + 3] == v[i + 3]) << i;
    const float odd[] = {0.5f, std::numeric_limits<float>::quiet_NaN(), 1e30f, 0.2f};
    ASSERT_EQ(QXImageFillColor(eight, odd, 0, -1), 0);
    EXPECT_EQ(PixelAt(ReadAs<uint8_t>(eight), kWide, 4, 299, 269), (std::vector<uint8_t>{128, 0, 255, 51}));
    Image deep(Make(kind, QXRect{0, 0, 3, 2}, 16, 2));
    const float half[] = {0.5f, 1.0f};
    ASSERT_EQ(QXImageFillColor(deep, half, 0, -1), 0);
    const auto d = ReadAs<uint16_t>(deep);
    for (size_t i = 0; i < d.size(); ++i) ASSERT_EQ(d[i], i % 2 ? 65535 : 32768) << i;
    Image floats(Make(kind, QXRect{0, 0, 2, 1}, 32, 2));
    const float f[] = {0.25f, 3.0f};
    ASSERT_EQ(QXImageFillColor(floats, f, 0, 1), 0);
    EXPECT_EQ(ReadAs<float>(floats), (std::vector<float>{0.25f, 1.0f, 0.25f, 1.0f}));
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
    SCOPED_TRACE(kind);
    Image rgb(Make(kind, kWide, 16, 4, 2));
    ASSERT_EQ(QXImageFillTransparent(rgb), 0);
    std::vector<uint16_t> want(size_t(kWide.width) * kWide.height * 4, 65535);
    for (size_t i = 3; i < want.size(); i += 4) want[i] = 0;
    EXPECT_TRUE(ReadAs<uint16_t>(rgb) == want);
    Image other(Make(kind, QXRect{0, 0, 2, 1}, 8, 5, 3)), gray(Make(kind, QXRect{0, 0, 2, 1}, 32, 1, 2));
    ASSERT_EQ(QXImageFillTransparent(other), 0);
    ASSERT_EQ(QXImageFillTransparent(gray), 0);
    EXPECT_EQ(ReadAs<uint8_t>(other), std::vector<uint8_t>(10, 255));
    EXPECT_EQ(ReadAs<float>(gray), std::vector<float>(2, 1.0f));
  }
}

TEST(ImageFill, CheckerboardCellsFromTheOrigin) {
  for (int32_t kind : kPixelKinds) {
    SCOPED_TRACE(kind);
    // The worked example: white in the first 8 x 8 cell, the colour at (8, 0).
    Image small(Make(kind, QXRect{0, 0, 20, 20}, 8, 4));
    ASSERT_EQ(QXImageFillCheckerboard(small, 8, 1.0f, 0.0f, 0.5f), 0);
    const auto s = ReadAs<uint8_t>(small);
    const std::vector<uint8_t> white(4, 255), tint{255, 0, 128, 255};
    for (int32_t y = 0; y < 20; ++y)
      for (int32_t x = 0; x < 20; ++x)
        ASSERT_EQ(PixelAt(s, QXRect{0, 0, 20, 20}, 4, x, y), (x / 8) % 2 == (y / 8) % 2 ? white : tint)
            << x << "," << y;
    // Many tiles, an origin away from (0, 0), 16 bits, and planes past the fourth at full scale.
    Image wide(Make(kind, kWide, 16, 6));
    ASSERT_EQ(QXImageFillCheckerboard(wide, 37, 0.0f, 0.5f, -3.0f), 0);
    const auto w = ReadAs<uint16_t>(wide);
    const std::vector<uint16_t> full(6, 65535), colour{0, 32768, 0, 65535, 65535, 65535};
    for (int32_t y = 0; y < kWide.height; ++y)
      for (int32_t x = 0; x < kWide.width; ++x)
        ASSERT_EQ(PixelAt(w, kWide, 6, x, y), (x / 37) % 2 == (y / 37) % 2 ? full : colour) << x << "," << y;
    // Floats, fewer planes than the colour has; cells of no size are refused and change nothing.
    Image two(Make(kind, QXRect{0, 0, 2, 1}, 32, 2));
    ASSERT_EQ(QXImageFillCheckerboard(two, 1, 0.25f, 0.75f, 0.5f), 0);
    for (int32_t n : {0, -8}) EXPECT_EQ(QXImageFillCheckerboard(two, n, 0, 0, 0), kQXErrInvalidArgument) << n;
    EXPECT_EQ(ReadAs<float>(two), (std::vector<float>{1.0f, 1.0f, 0.25f, 0.75f}));
  }
  Image solid(Make(kSolid, kWide, 8, 3));
  EXPECT_EQ(QXImageFillCheckerboard(solid, 8, 0, 0, 0), 0);
}
