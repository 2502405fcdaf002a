// Colour cubes: built from two profiles and checked against a Little CMS transform made here.
#include <QXCore/QXColor.h>
#include <gtest/gtest.h>
#include <lcms2.h>

#include <atomic>
#include <cstdlib>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include "cf/CFRef.h"
#include "tests/color/ColorTestSupport.h"
#include "tests/image/ImageTestSupport.h"

namespace {

using namespace colortest;
using qxtest::Image;

// Largest difference between a cube lookup and the exact transform, documented in docs/colour.md.
constexpr int kTolerance = 3;

struct Cube {
  QXColorCubeRef ref;
  explicit Cube(QXColorCubeRef r) : ref(r) {}
  ~Cube() { QXColorCubeRelease(ref); }
  operator QXColorCubeRef() const { return ref; }
};
Bytes RGBOf(QXColorCubeRef c, uint8_t r, uint8_t g, uint8_t b) {
  Bytes o(3);
  QXColorCubeConvertRGBToRGB(c, r, g, b, &o[0], &o[1], &o[2]);
  return o;
}
Bytes GrayOf(QXColorCubeRef c, uint8_t v) {
  Bytes o(3);
  QXColorCubeConvertGrayToRGB(c, v, &o[0], &o[1], &o[2]);
  return o;
}

TEST(ColorCube, BuildsFromProfiles) {
  const Bytes srgb = Save(cmsCreate_sRGBProfile()), adobe = AdobeRGB(), gray = Save(Gray());
  ProfileRef s(srgb), a(adobe), g(gray), empty(QXColorProfileCreate());
  struct Case {
    const char* what;
    QXColorProfileRef from, to;
    int32_t model;
    bool made;
    int32_t grid, mode;
    CFIndex bytes;
  } cases[] = {
      {"gray", g.ref, a.ref, kQXImageColorSpaceGray, true, 256, kQXColorCubeGray, 768},
      {"RGB", s.ref, a.ref, kQXImageColorSpaceRGB, true, 64, kQXColorCubeRGB, 64 * 64 * 64 * 3},
      {"model 4", s.ref, a.ref, 4, false, 0, 0, 0},
      {"no source", nullptr, a.ref, kQXImageColorSpaceRGB, false, 0, 0, 0},
      {"no destination", s.ref, nullptr, kQXImageColorSpaceRGB, false, 0, 0, 0},
      {"source without data", empty.ref, a.ref, kQXImageColorSpaceRGB, false, 0, 0, 0},
      {"gray model, RGB profile", s.ref, a.ref, kQXImageColorSpaceGray, false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    Cube cube(QXColorCubeCreateFromProfiles(c.from, c.to, c.model));
    ASSERT_EQ(cube.ref != nullptr, c.made) << c.what;
    if (!c.made) continue;
    EXPECT_EQ(QXColorCubeGetGridSize(cube), c.grid) << c.what;
    EXPECT_EQ(QXColorCubeGetMode(cube), c.mode) << c.what;
    EXPECT_EQ(CFDataGetLength(QXColorCubeGetDataRef(cube)), c.bytes) << c.what;
    EXPECT_EQ(QXColorCubeGetDataPtr(cube), CFDataGetBytePtr(QXColorCubeGetDataRef(cube))) << c.what;
  }

  // Lookups agree with the transform: exactly at grid points (and for every gray value), within
  // the tolerance between them.
  Cube rgb(QXColorCubeCreateFromProfiles(s.ref, a.ref, kQXImageColorSpaceRGB));
  Cube grayCube(QXColorCubeCreateFromProfiles(g.ref, a.ref, kQXImageColorSpaceGray));
  std::mt19937 random(7);
  Bytes samples = {0, 0, 0, 255, 255, 255, 255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 0, 255};
  for (int i = 0; i < 3000; ++i) samples.push_back(static_cast<uint8_t>(random()));
  const Bytes expected = Direct(srgb, adobe, TYPE_RGB_8, samples, samples.size() / 3);
  for (size_t i = 0; i < samples.size(); i += 3) {
    const Bytes out = RGBOf(rgb, samples[i], samples[i + 1], samples[i + 2]);
    for (int n = 0; n < 3; ++n) ASSERT_NEAR(out[n], expected[i + n], i < 18 ? 0 : kTolerance) << i;
  }
  Bytes levels(256);
  std::iota(levels.begin(), levels.end(), 0);
  const Bytes grays = Direct(gray, adobe, TYPE_GRAY_8, levels, 256, INTENT_RELATIVE_COLORIMETRIC, TYPE_RGB_8);
  for (int v = 0; v < 256; ++v) EXPECT_EQ(GrayOf(grayCube, uint8_t(v)), Bytes(&grays[v * 3], &grays[v * 3 + 3])) << v;

  // A whole 16-bit image, away from the origin, by the high byte within the tolerance; alpha untouched. The
  // profile tests apply the same code to 8-bit images.
  std::vector<uint16_t> px16;
  for (size_t i = 0; i < 300; i += 3) {
    px16.insert(px16.end(), {uint16_t(samples[i] << 8 | 0x77), uint16_t(samples[i + 1] << 8),
                             uint16_t(samples[i + 2] << 8 | 0xFF), uint16_t(i)});
  }
  Image img16 = Filled(16, 4, kQXImageColorSpaceRGB, 1, px16, 10, kQXImageSourceTiled, {3, -2});
  ASSERT_EQ(QXColorCubeApplyToImage(rgb, img16), kQXNoErr);
  const std::vector<uint16_t> out16 = ReadAll<uint16_t>(img16);
  for (size_t p = 0; p < 100; ++p) {
    for (int n = 0; n < 3; ++n) {
      EXPECT_NEAR(out16[p * 4 + n] / 257, expected[p * 3 + n], kTolerance) << p;
      EXPECT_EQ(out16[p * 4 + n] % 257, 0) << p;
    }
    EXPECT_EQ(out16[p * 4 + 3], px16[p * 4 + 3]);
  }
}

TEST(ColorCube, AssembledAndMalformedTables) {
  ProfileRef s(Save(cmsCreate_sRGBProfile())), a(AdobeRGB());
  Cube built(QXColorCubeCreateFromProfiles(s.ref, a.ref, kQXImageColorSpaceRGB));
  const Bytes want = RGBOf(built, 200, 10, 90);

  // A new cube passes colours and grays through, keeps 16-bit samples whole, and uses the CMYK formula.
  Cube fresh(QXColorCubeCreate());
  EXPECT_EQ(RGBOf(fresh, 200, 10, 90), (Bytes{200, 10, 90}));
  EXPECT_EQ(GrayOf(fresh, 77), (Bytes{77, 77, 77}));
  Bytes got(3);
  for (auto [ink, rgb] : {std::pair<uint8_t, Bytes>{100, {0, 55, 55}}, {0, {255, 255, 255}}}) {
    QXColorCubeConvertCMYKToRGB(fresh, ink, 0, 0, uint8_t(ink * 2), &got[0], &got[1], &got[2]);
    EXPECT_EQ(got, rgb);
  }
  const std::vector<uint16_t> samples = {0x1234, 0x5678, 0x9ABC};
  Image keep = Filled(16, 3, kQXImageColorSpaceRGB, 0, samples, 1);
  EXPECT_EQ(QXColorCubeApplyToImage(fresh, keep), kQXNoErr);
  EXPECT_EQ(ReadAll<uint16_t>(keep), samples);

  // Assembled from the fields, in any order, a cube converts once they agree.
  QXColorCubeSetMode(fresh, kQXColorCubeRGB);
  QXColorCubeSetData(fresh, QXColorCubeGetDataRef(built));
  EXPECT_EQ(RGBOf(fresh, 200, 10, 90), want);
  QXColorCubeSetGridSize(fresh, 63);  // now they disagree: back to passing through
  EXPECT_EQ(RGBOf(fresh, 200, 10, 90), (Bytes{200, 10, 90}));

  // Tables that disagree with mode or grid are refused and the cube stays as it was.
  auto sized = [](size_t n) {
    CFMutableDataRef d = CFDataCreateMutable(nullptr, 0);
    CFDataSetLength(d, static_cast<CFIndex>(n));
    return adopt(static_cast<CFDataRef>(d));
  };
  struct Bad {
    const char* what;
    CFRef<CFDataRef> data;
    int32_t mode, grid;
  } bad[] = {
      {"no data", nullptr, kQXColorCubeRGB, 64},
      {"RGB one byte short", sized(64 * 64 * 64 * 3 - 1), kQXColorCubeRGB, 64},
      {"RGB grid 257", sized(size_t(257) * 257 * 257 * 3), kQXColorCubeRGB, 257},
      {"RGB grid 1", sized(3), kQXColorCubeRGB, 1},
      {"CMYK grid 65", sized(size_t(65) * 65 * 65 * 65 * 3), kQXColorCubeCMYK, 65},
      {"CMYK with an RGB size", sized(64 * 64 * 64 * 3), kQXColorCubeCMYK, 64},
      {"gray grid 64", sized(768), kQXColorCubeGray, 64},
      {"gray 769 bytes", sized(769), kQXColorCubeGray, 256},
      {"mode 0", sized(768), 0, 256},
      {"grid overflowing 32 bits", sized(3), kQXColorCubeRGB, 1 << 21},
  };
  for (const Bad& b : bad) {
    EXPECT_EQ(QXColorCubeSetTable(built, b.data.get(), b.mode, b.grid), kQXErrInvalidArgument) << b.what;
    EXPECT_EQ(QXColorCubeGetGridSize(built), 64) << b.what;
    EXPECT_EQ(RGBOf(built, 200, 10, 90), want) << b.what;
  }
  CFRef<CFDataRef> grayTable = sized(768);
  EXPECT_EQ(QXColorCubeSetTable(built, grayTable.get(), kQXColorCubeGray, 256), kQXNoErr);
  EXPECT_EQ(GrayOf(built, 9), (Bytes{0, 0, 0}));

  // Image refusals.
  Image gray(kQXImageSourceMemory, {0, 0, 1, 1}, 8, 1, kQXImageColorSpaceGray, 0);
  Image two(kQXImageSourceMemory, {0, 0, 1, 1}, 8, 2, kQXImageColorSpaceRGB, 0);
  Image floats(kQXImageSourceMemory, {0, 0, 1, 1}, 32, 3, kQXImageColorSpaceRGB, 0);
  EXPECT_EQ(QXColorCubeApplyToImage(built, gray), kQXErrGeneric);
  EXPECT_EQ(QXColorCubeApplyToImage(built, two), kQXErrUnsupportedFormat);
  EXPECT_EQ(QXColorCubeApplyToImage(built, floats), kQXErrUnsupportedFormat);
}

// Readers keep the table they took while another thread replaces it: every result is one of the
// two tables' answers, never a read of freed data.
TEST(ColorCube, ConvertsOnThreadsWhileTableChanges) {
  ProfileRef s(Save(cmsCreate_sRGBProfile())), a(AdobeRGB());
  Cube built(QXColorCubeCreateFromProfiles(s.ref, a.ref, kQXImageColorSpaceRGB));
  Cube shared(QXColorCubeCreate());
  const Bytes mapped = RGBOf(built, 250, 5, 5);
  std::vector<std::thread> readers;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 2; ++t) {
    readers.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        const Bytes o = RGBOf(shared, 250, 5, 5);
        if (o != Bytes{250, 5, 5} && o != mapped) ++wrong;
      }
    });
  }
  CFRef<CFDataRef> copy = adopt(CFDataCreateCopy(nullptr, QXColorCubeGetDataRef(built)));
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(QXColorCubeSetTable(shared, copy.get(), kQXColorCubeRGB, 64), kQXNoErr);
    QXColorCubeSetGridSize(shared, i % 2 ? 64 : 32);
  }
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
