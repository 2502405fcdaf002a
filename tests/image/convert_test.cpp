// Sample conversions and fills on memory, tiled and solid-fill records at 8, 16 and 32 bits.
#include <algorithm>
#include <cstring>
#include <limits>
#include <tuple>

#include "tests/image/ImageTestSupport.h"
#include "tests/log/LogCapture.h"

using namespace qxtest;

namespace {

// Spans several tiles in both directions and does not start at (0, 0).
constexpr QXRect kWide{-7, 5, 300, 270};
const auto kToDepth = QXImageConvertToDepth;
const auto kWithAlpha = QXImageConvertToDepthWithTransparency;

// Random samples written over the image (floats of any bit pattern: the tests compare bytes).
template <class T>
std::vector<T> Random(QXImageRef image, uint32_t seed) {
  const std::vector<uint8_t> bytes = PaintRandom(image, seed);
  std::vector<T> v(bytes.size() / sizeof(T));
  std::memcpy(v.data(), bytes.data(), bytes.size());
  return v;
}

// Each n-plane pixel of `from` is the start of an (n + 1)-plane pixel of `to` ending in `last`.
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
  return ReadAs<Out>(Made(op, image, depth));
}

// Every sample of `to` is f(the sample of `from`).
template <class Out, class In, class F>
void CheckEach(const std::vector<In>& from, const std::vector<Out>& to, F f) {
  ASSERT_EQ(from.size(), to.size());
  for (size_t i = 0; i < from.size(); ++i) ASSERT_EQ(to[i], Out(f(from[i]))) << i;
}

template <class T>
void CheckAddedPlane(int32_t kind, T full) {
  Image src(kind, kWide, sizeof(T) * 8, 3);
  const auto before = Random<T>(src, 7);
  Image copy = Made(QXImageCreateCopyAddingChannels, src.get(), 1);
  EXPECT_TRUE(QXImageGetDataSourceType(copy) == QXImageGetDataSourceType(src) &&
              QXImageGetDepth(copy) == int32_t(sizeof(T) * 8));
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
  Image copy = Made(QXImageCreateCopyAddingChannels, Image(kSolid, kWide, 16, 2).get(), 1);
  EXPECT_TRUE(QXImageGetDataSourceType(copy) == kQXImageSourceSolidFill && QXImageGetNumPlanes(copy) == 3);
  // Only one added plane is consistent; 32 planes cannot take another.
  Image small(kMemory, QXRect{0, 0, 4, 4}, 8, 3), full(kMemory, QXRect{0, 0, 4, 4}, 8, 32);
  for (int32_t count : {0, 2, -1})
    EXPECT_EQ(Refusal(QXImageCreateCopyAddingChannels, small.get(), count), kQXErrInvalidArgument) << count;
  EXPECT_NE(Refusal(QXImageCreateCopyAddingChannels, full.get(), 1), 0);
  EXPECT_EQ(QXImageCreateCopyAddingChannels(small, 1, nullptr), kQXErrInvalidArgument);
}

TEST(ImageScale16, WorkedMappingsSaturationAndOtherDepths) {
  const std::vector<uint16_t> examples = {65535, 2, 1, 0, 32768, 16384, 40000, 32767};
  for (int32_t kind : kPixelKinds) {
    SCOPED_TRACE(kind);
    Image small(kind, QXRect{3, -2, 4, 2}, 16, 1);
    EXPECT_EQ(After(small, examples, QXImageConvertFFFFTo8000),
              (std::vector<uint16_t>{32768, 1, 1, 0, 16384, 8192, 20000, 16384}));
    // 32768 is full scale; anything above it saturates instead of wrapping (65535 would give 65534).
    EXPECT_EQ(After(small, examples, QXImageConvert8000ToFFFF),
              (std::vector<uint16_t>{65535, 3, 1, 0, 65535, 32767, 65535, 65533}));
    // Every sample of a multi-tile image.
    Image wide(kind, kWide, 16, 3);
    const auto v = Random<uint16_t>(wide, 11);
    ASSERT_EQ(QXImageConvert8000ToFFFF(wide), 0);
    CheckEach(v, ReadAs<uint16_t>(wide), [](uint32_t s) { return std::min<uint32_t>(65535u, (s * 65535u) >> 15); });
    // Other depths are left alone.
    Image bytes(kind, QXRect{0, 0, 3, 1}, 8, 1);
    WriteAll(bytes, std::vector<uint8_t>{200, 1, 255});
    EXPECT_TRUE(QXImageConvert8000ToFFFF(bytes) == 0 && QXImageConvertFFFFTo8000(bytes) == 0);
    EXPECT_EQ(ReadAll(bytes), (std::vector<uint8_t>{200, 1, 255}));
  }
  EXPECT_EQ(QXImageConvert8000ToFFFF(Image(kSolid, kWide, 16, 3)), 0);
  EXPECT_EQ(QXImageConvert8000ToFFFF(nullptr), kQXErrInvalidArgument);
}

TEST(ImageDepth, EightAndSixteenBitsWithAndWithoutAlpha) {
  for (int32_t kind : kAllKinds) {
    SCOPED_TRACE(kind);
    // Always a new tiled record of the same geometry and format, even from a solid fill.
    Image eight(kind, kWide, 8, 3, 2, 1);
    Image sixteen = Made(kToDepth, eight.get(), 16);
    EXPECT_TRUE(QXImageGetDataSourceType(sixteen) == kQXImageSourceTiled && QXImageGetDepth(sixteen) == 16 &&
                QXImageGetNumPlanes(sixteen) == 3 && QXImageGetBounds(sixteen).y == kWide.y);
    EXPECT_TRUE(QXImageGetColorSpaceType(sixteen) == 2 && QXImageGetTransparency(sixteen) == 1);
    if (kind == kSolid) continue;
    // 0xAB -> 0xABAB and 0xABCD -> 0xAB, with and without alpha added.
    Image deep(kind, kWide, 16, 3), deep4(kind, kWide, 16, 4);
    const auto v8 = Random<uint8_t>(eight, 5);
    CheckEach(v8, Converted<uint16_t>(eight, v8, 16, kToDepth), [](int s) { return s * 257; });
    const auto w16 = Random<uint16_t>(deep, 9);
    CheckEach(w16, Converted<uint8_t>(deep, w16, 8, kToDepth), [](int s) { return s >> 8; });
    const auto d = Random<uint16_t>(deep4, 22);
    CheckEach(d, Converted<uint8_t>(deep4, d, 8, kWithAlpha), [](int s) { return s >> 8; });
    // Three planes, 8 -> 8 with alpha: colour copied, alpha opaque, a tiled record with transparency.
    Image rgb(kind, kWide, 8, 3);
    Image rgba = Made(kWithAlpha, rgb.get(), 8);
    EXPECT_TRUE(QXImageGetDataSourceType(rgba) == kQXImageSourceTiled && QXImageGetTransparency(rgba) == 1);
    EXPECT_TRUE(QXImageGetBounds(rgba).x == kWide.x && QXImageGetColorSpaceType(rgba) == 2);
    const auto v = Random<uint8_t>(rgb, 21);
    CheckOneMorePlane<uint8_t>(v, Converted<uint8_t>(rgb, v, 8, kWithAlpha), 3, 255);
    // Four planes, 8 -> 16: every plane times 257. Past four planes the fourth is not alpha: opaque.
    Image four(kind, QXRect{0, 0, 2, 1}, 8, 4), five(kind, QXRect{0, 0, 1, 1}, 8, 5);
    EXPECT_EQ(Converted<uint16_t>(four, std::vector<uint8_t>{0xAB, 1, 2, 0x80, 0, 255, 3, 0}, 16, kWithAlpha),
              (std::vector<uint16_t>{0xABAB, 257, 514, 0x8080, 0, 65535, 771, 0}));
    EXPECT_EQ(Converted<uint8_t>(five, std::vector<uint8_t>{9, 8, 7, 6, 5}, 8, kWithAlpha),
              (std::vector<uint8_t>{9, 8, 7, 255}));
  }
  // The same depth (with alpha: four planes with transparency) hands back the image itself; three
  // planes claiming transparency are not enough.
  Image one(kMemory, QXRect{0, 0, 2, 1}, 16, 1), ready(kMemory, QXRect{0, 0, 2, 2}, 8, 4, 2, 1),
      claims(kMemory, QXRect{0, 0, 2, 2}, 8, 3, 2, 1);
  EXPECT_EQ(Made(kToDepth, one.get(), 16).get(), one.get());
  EXPECT_EQ(Made(kWithAlpha, ready.get(), 8).get(), ready.get());
  EXPECT_EQ(QXImageGetNumPlanes(Made(kWithAlpha, claims.get(), 8)), 4);
  // Anything but 8 <-> 16, and shapes without a colour to add alpha to.
  const std::tuple<decltype(kToDepth), int32_t, int32_t, int32_t> refused[] = {
      {kToDepth, 32, 1, 8},  {kToDepth, 16, 1, 32},  {kToDepth, 8, 1, 4},
      {kWithAlpha, 8, 2, 8}, {kWithAlpha, 32, 4, 8}, {kWithAlpha, 8, 3, 32}};
  for (const auto& [op, depth, planes, to] : refused)
    EXPECT_EQ(Refusal(op, Image(kMemory, QXRect{0, 0, 2, 2}, depth, planes).get(), to), kQXErrUnsupportedFormat)
        << depth << " " << planes << " " << to;
  EXPECT_EQ(QXImageConvertToDepth(one, 8, nullptr), kQXErrInvalidArgument);
}

TEST(ImageDepth, FailuresAfterStartingAreLogged) {
  LogCapture log;
  // A memory record without a buffer fails its reads once the conversion is under way.
  Image src = NoPixels(QXRect{0, 0, 10, 10}, 8, 3);
  for (auto [op, to] : {std::pair{kToDepth, 16}, {kWithAlpha, 8}}) {
    log.clear();
    EXPECT_EQ(Refusal(op, src.get(), to), kQXErrInvalidArgument);
    EXPECT_TRUE(log.contains("QXCore - VornUtils::ConvertImageDepth() Error Number = 1005")) << to;
  }
  // Refusing a shape is not a failure under way.
  log.clear();
  EXPECT_EQ(Refusal(kToDepth, Image(kMemory, QXRect{0, 0, 2, 2}, 32, 3).get(), 8), kQXErrUnsupportedFormat);
  EXPECT_FALSE(log.contains("ConvertImageDepth"));
}

TEST(ImagePremultiply, CompositesOverWhiteAndRefusesImagesWithoutAlpha) {
  const auto premultiply = QXImageConvertToPremultipliedAlpha;
  for (int32_t kind : kPixelKinds) {
    SCOPED_TRACE(kind);
    // Alpha 51 is 0.2: 0 -> 204, 255 stays, 10 -> trunc(-245 * 0.2 + 255) = 206.
    Image rgba(kind, QXRect{5, 5, 3, 1}, 8, 4, 2, 1), deep(kind, QXRect{0, 0, 2, 1}, 16, 4, 2, 1),
        floats(kind, QXRect{0, 0, 1, 1}, 32, 4, 2, 1);
    EXPECT_EQ(After(rgba, std::vector<uint8_t>{100, 0, 0, 0, 100, 50, 0, 255, 0, 255, 10, 51}, premultiply),
              (std::vector<uint8_t>{255, 255, 255, 255, 100, 50, 0, 255, 204, 255, 206, 255}));
    EXPECT_EQ(After(deep, std::vector<uint16_t>{1000, 0, 65535, 0, 1000, 2, 3, 65535}, premultiply),
              (std::vector<uint16_t>{65535, 65535, 65535, 65535, 1000, 2, 3, 65535}));
    EXPECT_EQ(After(floats, std::vector<float>{0.25f, 0.5f, 1.0f, 0.5f}, premultiply),
              (std::vector<float>{0.625f, 0.75f, 1.0f, 1.0f}));
    // Many tiles: transparent pixels become white, opaque ones stay.
    Image wide(kind, kWide, 8, 2, 1, 1);
    std::vector<uint8_t> v = Random<uint8_t>(wide, 3);
    for (size_t i = 1; i < v.size(); i += 2) v[i] = (i / 2) % 2 ? 255 : 0;
    const auto got = After(wide, v, premultiply);
    for (size_t i = 0; i < v.size(); ++i) ASSERT_EQ(got[i], i % 2 == 0 && (i / 2) % 2 ? v[i] : 255) << i;
    // Without transparency stated, two or four planes outside CMYK end in alpha.
    Image rgbaImplied(kind, QXRect{0, 0, 1, 1}, 8, 4, 0, 0), grayImplied(kind, QXRect{0, 0, 2, 1}, 8, 2, 1, 0);
    EXPECT_EQ(After(rgbaImplied, std::vector<uint8_t>{100, 0, 0, 0}, premultiply), std::vector<uint8_t>(4, 255));
    EXPECT_EQ(After(grayImplied, std::vector<uint8_t>{7, 0, 7, 255}, premultiply),
              (std::vector<uint8_t>{255, 255, 7, 255}));
    // No alpha plane, or nothing but one: refused, pixels unchanged.
    const struct { int32_t planes, colorSpace, transparency; } refused[] = {{3, 2, 0}, {4, 3, 0}, {1, 1, 1}, {1, 0, 0}};
    for (const auto& r : refused) {
      Image image(kind, QXRect{0, 0, 1, 1}, 8, r.planes, r.colorSpace, r.transparency);
      const std::vector<uint8_t> before(size_t(r.planes), 9);
      WriteAll(image, before);
      EXPECT_EQ(premultiply(image), kQXErrUnsupportedFormat) << r.planes << " " << r.colorSpace;
      EXPECT_EQ(ReadAll(image), before);
    }
  }
  EXPECT_EQ(premultiply(nullptr), kQXErrInvalidArgument);
}

TEST(ImageFill, ColourCheckerboardAndTransparentWhite) {
  // Pixels are `even` where their checkerboard cell's column and row agree, else `odd`.
  auto check = [](const auto& samples, QXRect b, size_t planes, int32_t cell, const auto& even, const auto& odd) {
    for (size_t i = 0; i < samples.size(); i += planes) {
      const int32_t x = int32_t(i / planes) % b.width, y = int32_t(i / planes) / b.width;
      const auto& want = (x / cell) % 2 == (y / cell) % 2 ? even : odd;
      ASSERT_TRUE(std::equal(want.begin(), want.end(), samples.begin() + ptrdiff_t(i))) << x << "," << y;
    }
  };
  for (int32_t kind : kPixelKinds) {
    SCOPED_TRACE(kind);
    Image eight(kind, kWide, 8, 4);
    const auto v = Random<uint8_t>(eight, 1);
    // Planes 1 and 2 only; values outside 0 ... 1, NaN too, clamp.
    const float colour[] = {2.0f, -0.5f}, odd[] = {0.5f, std::numeric_limits<float>::quiet_NaN(), 1e30f, 0.2f};
    ASSERT_EQ(QXImageFillColor(eight, colour, 1, 2), 0);
    const auto got = ReadAll(eight);
    for (size_t i = 0; i < v.size(); i += 4)
      ASSERT_TRUE(got[i] == v[i] && got[i + 1] == 255 && got[i + 2] == 0 && got[i + 3] == v[i + 3]) << i;
    ASSERT_EQ(QXImageFillColor(eight, odd, 0, -1), 0);
    EXPECT_EQ(ReadAs(eight, QXRect{kWide.x + 299, kWide.y + 269, 1, 1}), (std::vector<uint8_t>{128, 0, 255, 51}));
    Image deep(kind, QXRect{0, 0, 2, 1}, 16, 2), floats(kind, QXRect{0, 0, 2, 1}, 32, 2);
    const float half[] = {0.5f, 1.0f}, f[] = {0.25f, 3.0f};
    ASSERT_TRUE(QXImageFillColor(deep, half, 0, -1) == 0 && QXImageFillColor(floats, f, 0, 1) == 0);
    EXPECT_EQ(ReadAs<uint16_t>(deep), (std::vector<uint16_t>{32768, 65535, 32768, 65535}));
    EXPECT_EQ(ReadAs<float>(floats), (std::vector<float>{0.25f, 1.0f, 0.25f, 1.0f}));
    // Plane ranges outside the image, and no colour.
    for (auto [lo, hi] : {std::pair{1, 2}, {1, 0}})
      EXPECT_EQ(QXImageFillColor(deep, half, lo, hi), kQXErrInvalidArgument);
    EXPECT_EQ(QXImageFillColor(deep, nullptr, 0, -1), kQXErrInvalidArgument);
    // Transparent white: the last of four RGB planes is clear; other spaces and counts are all white.
    Image rgb(kind, kWide, 16, 4, 2), other(kind, QXRect{0, 0, 2, 1}, 8, 5, 3);
    ASSERT_TRUE(QXImageFillTransparent(rgb) == 0 && QXImageFillTransparent(other) == 0);
    const auto clear = ReadAs<uint16_t>(rgb);
    for (size_t i = 0; i < clear.size(); ++i) ASSERT_EQ(clear[i], i % 4 == 3 ? 0 : 65535) << i;
    EXPECT_EQ(ReadAll(other), std::vector<uint8_t>(10, 255));
    // Checkerboards: white in the first cell; then many tiles, an origin away from (0, 0), 16 bits,
    // and planes past the fourth at full scale.
    Image small(kind, QXRect{0, 0, 20, 20}, 8, 4), wide(kind, kWide, 16, 6);
    ASSERT_EQ(QXImageFillCheckerboard(small, 8, 1.0f, 0.0f, 0.5f), 0);
    check(ReadAll(small), QXRect{0, 0, 20, 20}, 4, 8, std::vector<uint8_t>(4, 255),
          std::vector<uint8_t>{255, 0, 128, 255});
    ASSERT_EQ(QXImageFillCheckerboard(wide, 37, 0.0f, 0.5f, -3.0f), 0);
    check(ReadAs<uint16_t>(wide), kWide, 6, 37, std::vector<uint16_t>(6, 65535),
          std::vector<uint16_t>{0, 32768, 0, 65535, 65535, 65535});
    // Floats, fewer planes than the colour has; cells of no size are refused and change nothing.
    ASSERT_EQ(QXImageFillCheckerboard(floats, 1, 0.25f, 0.75f, 0.5f), 0);
    for (int32_t n : {0, -8}) EXPECT_EQ(QXImageFillCheckerboard(floats, n, 0, 0, 0), kQXErrInvalidArgument) << n;
    EXPECT_EQ(ReadAs<float>(floats), (std::vector<float>{1.0f, 1.0f, 0.25f, 0.75f}));
  }
  const float white[] = {1, 1, 1};
  Image solid(kSolid, kWide, 8, 3);
  EXPECT_TRUE(QXImageFillColor(solid, white, 0, -1) == 0 && QXImageFillCheckerboard(solid, 8, 0, 0, 0) == 0);
}
