// Colour profiles against ICC profiles Little CMS makes here; conversions against its own transforms.
#include <QXCore/QXColor.h>
#include <gtest/gtest.h>
#include <lcms2.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cf/CFRef.h"
#include "tests/color/ColorTestSupport.h"
#include "tests/image/ImageTestSupport.h"

namespace {

namespace fs = std::filesystem;
using qxtest::Image;
using namespace colortest;

std::string Str(CFStringRef s) {
  if (!s) return "(null)";
  char buffer[512] = {};
  CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8);
  return buffer;
}
CFRef<CFStringRef> CF(const char* s) { return adopt(CFStringCreateWithCString(nullptr, s, kCFStringEncodingUTF8)); }

// One colour through a profile's cube (or its fallback) to the display.
using Px = std::vector<uint8_t>;
Px RGBOf(QXColorProfileRef p, uint8_t r, uint8_t g, uint8_t b) {
  Px o(3);
  QXColorProfileConvertRGBToRGB(p, r, g, b, &o[0], &o[1], &o[2]);
  return o;
}

// A private colour directory, searched first.
struct ColorDir {
  fs::path root = qxtest::gImageHome.root() / "icc";
  ColorDir() {
    fs::create_directories(root);
    setenv("QX_COLOR_DIR", root.c_str(), 1);
  }
  ~ColorDir() {
    unsetenv("QX_COLOR_DIR");
    unsetenv("QX_DISPLAY_PROFILE");
    fs::remove_all(root);
  }
  std::string put(const std::string& name, const Bytes& bytes) const {
    fs::create_directories((root / name).parent_path());
    std::ofstream(root / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return (root / name).string();
  }
};

Bytes BadUTF8Desc() {
  Bytes b = Save(SRGB("Bad-XYZ"), 2.1);
  auto at = std::search(b.begin(), b.end(), std::begin("Bad-XYZ"), std::end("Bad-XYZ") - 1);
  *(at + 4) = 0xFF;
  return b;
}

TEST(ColorProfile, ValidatesHeaders) {
  const Bytes srgb = Save(SRGB(), 2.1);
  struct Case {
    const char* what;
    Bytes bytes;
    QXStatus status;
    int32_t model;
    uint32_t standard;
  } cases[] = {
      {"sRGB v2.1", srgb, kQXNoErr, kQXImageColorSpaceRGB, kQXColorProfileSRGB},
      {"ROMM v2.1", Save(ROMM(), 2.1), kQXNoErr, kQXImageColorSpaceRGB, kQXColorProfileProPhoto},
      {"CMYK v2.1", Save(CMYK(), 2.1), kQXNoErr, kQXImageColorSpaceCMYK, 0},
      {"gray v2.1", Save(Gray(), 2.1), kQXNoErr, 0, 0},
      {"127 bytes", Bytes(srgb.begin(), srgb.begin() + 127), kQXErrInvalidProfile, -1, 1},
      {"v4", Save(SRGB(), 4.3), kQXErrInvalidProfile, -1, 1},
      {"v2.0", Bytes2(srgb, 8, {2, 0}), kQXErrInvalidProfile, -1, 1},
      {"no acsp", Bytes2(srgb, 36, {'a', 'c', 's', 'x'}), kQXErrInvalidProfile, -1, 1},
  };
  for (const Case& c : cases) {
    int32_t model = -1;
    uint32_t standard = 1;
    EXPECT_EQ(QXColorProfileGetICCParams(Data(c.bytes).get(), &model, &standard), c.status) << c.what;
    EXPECT_EQ(model, c.model) << c.what;
    EXPECT_EQ(standard, c.standard) << c.what;
  }
  EXPECT_EQ(QXColorProfileGetICCParams(nullptr, nullptr, nullptr), kQXErrInvalidArgument);
}

TEST(ColorProfile, StandardProfiles) {
  ColorDir dir;
  ProfileRef a(QXColorProfileCreateStandard(kQXColorProfileSRGB));
  const uint32_t count = reinterpret_cast<CBaseCore*>(a.ref)->RefCount();
  ProfileRef b(QXColorProfileCreateStandard(kQXColorProfileSRGB));
  EXPECT_EQ(a.ref, b.ref);
  EXPECT_EQ(reinterpret_cast<CBaseCore*>(a.ref)->RefCount(), count + 1);

  // Columns: code; its QXColorProfileGetStandard; the ICC data's model (-1 without) and device model; the
  // description's start.
  struct Case {
    uint32_t code, standard;
    int32_t model;
    uint32_t headerCode;
    const char* name;
  } cases[] = {
      {kQXColorProfileSRGB, kQXColorProfileSRGB, kQXImageColorSpaceRGB, kQXColorProfileSRGB, "sRGB"},
      {kQXColorProfileProPhoto, kQXColorProfileProPhoto, kQXImageColorSpaceRGB, kQXColorProfileProPhoto,
       "ProPhoto RGB"},
      {kQXColorProfileAdobeRGB, kQXColorProfileAdobeRGB, kQXImageColorSpaceRGB, 0, "Adobe RGB (1998)"},
      {kQXColorProfileDisplay, 0, -1, 0, "sRGB"},
      {0x78797a7a, 0, -1, 0, "(null)"},
  };
  for (const Case& c : cases) {
    ProfileRef p(QXColorProfileCreateStandard(c.code));
    ASSERT_NE(p.ref, nullptr);
    EXPECT_EQ(QXColorProfileGetStandard(p), c.standard) << c.code;
    EXPECT_EQ(QXColorProfileIsValid(p), c.standard != 0) << c.code;
    int32_t model = -1;
    uint32_t code = 1;
    if (CFDataRef icc = QXColorProfileGetICCData(p)) {
      EXPECT_EQ(QXColorProfileGetICCParams(icc, &model, &code), kQXNoErr) << c.code;
      EXPECT_EQ(code, c.headerCode) << c.code;
    }
    EXPECT_EQ(model, c.model) << c.code;
    const std::string name = Str(adopt(QXColorProfileGetDisplayNameCopy(p)).get());
    EXPECT_EQ(name.rfind(c.name, 0), 0u) << c.code << " " << name;
  }
  EXPECT_FALSE(QXColorProfileIsValid(nullptr));

  // A file of the standard name in the colour directory wins over the built-in profile.
  dir.put("AdobeRGB1998.icc", Save(ROMM(), 2.1));
  ProfileRef named(QXColorProfileCreateDeviceNamed(kQXColorProfileNameAdobeRGB1998));
  ASSERT_NE(named.ref, nullptr);
  uint32_t code = 0;
  EXPECT_EQ(QXColorProfileGetICCParams(QXColorProfileGetICCData(named), nullptr, &code), kQXNoErr);
  EXPECT_EQ(code, kQXColorProfileProPhoto);
}

TEST(ColorProfile, RefusesUnsafeNamesAndFiles) {
  ColorDir dir;
  dir.put("sub/ok.icc", Save(SRGB(), 2.1));
  dir.put("big.icc", {});
  fs::resize_file(dir.root / "big.icc", (32u << 20) + 1);
  ASSERT_EQ(mkfifo((dir.root / "fifo.icc").c_str(), 0600), 0);
  fs::create_directories(dir.root / "folder.icc");
  struct Case {
    CFRef<CFStringRef> name;
    bool opens;
  } cases[] = {
      {CF("sub/ok.icc"), true},
      {CF((dir.root / "sub/ok.icc").c_str()), false},
      {CF("sub/../sub/ok.icc"), false},
      {CF("../icc/sub/ok.icc"), false},
      {adopt(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>("sub/ok.icc\0x"), 12,
                                     kCFStringEncodingUTF8, false)),
       false},
      {CF("big.icc"), false},
      {CF("fifo.icc"), false},
      {CF("folder.icc"), false},
      {CF("missing.icc"), false},
  };
  for (const Case& c : cases) {
    ProfileRef p(QXColorProfileCreateDeviceNamed(c.name.get()));
    EXPECT_EQ(p.ref != nullptr, c.opens) << Str(c.name.get());
  }
  // A name that a profile resolves later goes through the same checks.
  ProfileRef source(QXColorProfileCreate()), target(Save(SRGB(), 2.1));
  QXColorProfileSetICCName(source, CF("../icc/sub/ok.icc").get());
  Image image = Filled<uint8_t>(8, 3, kQXImageColorSpaceRGB, 0, {1, 2, 3}, 1);
  EXPECT_NE(QXColorProfileConvertProfile(source, target, image, image, QXImageGetBounds(image), 0), kQXNoErr);
}

TEST(ColorProfile, DescriptionsAndListing) {
  ColorDir dir;
  const Bytes v2 = Save(SRGB("Zeta sRGB"), 2.1), v4 = Save(SRGBWide(L"Alpha v4 \u00E9"), 4.3);
  dir.put("b/v2.icc", v2);
  dir.put("a.ICM", v4);
  dir.put("bad.icc", BadUTF8Desc());
  dir.put("cmyk.icc", Save(CMYK(), 2.1));
  dir.put("junk.icc", Bytes(300, 7));
  dir.put("notes.txt", v2);
  for (const auto& [bytes, text] : std::vector<std::pair<Bytes, const char*>>{
           {v2, "Zeta sRGB"}, {v4, "Alpha v4 \xC3\xA9"}, {BadUTF8Desc(), "(null)"}, {Bytes(300, 7), "(null)"}}) {
    ProfileRef p(bytes);
    CFRef<CFStringRef> name = adopt(QXColorProfileGetDisplayNameCopy(p));
    EXPECT_EQ(Str(name.get()), text);
  }

  CFArrayRef list = nullptr;
  ASSERT_EQ(QXColorProfileGetICCProfilesCopy(&list), kQXNoErr);
  CFRef<CFArrayRef> holder = adopt(list);
  std::vector<std::pair<std::string, std::string>> seen;
  for (CFIndex i = 0; i < CFArrayGetCount(list); ++i) {
    auto desc = static_cast<QXColorProfileDescRef>(const_cast<void*>(CFArrayGetValueAtIndex(list, i)));
    seen.emplace_back(Str(QXColorProfileDescGetName(desc)), Str(QXColorProfileDescGetDisplayName(desc)));
  }
  const std::vector<std::pair<std::string, std::string>> ours = {
      {"a.ICM", "Alpha v4 \xC3\xA9"}, {"b/v2.icc", "Zeta sRGB"}, {"bad.icc", "bad.icc"}};
  ASSERT_GE(seen.size(), ours.size());
  EXPECT_EQ(std::vector(seen.begin(), seen.begin() + 3), ours);

  QXColorProfileDescRef found = QXColorProfileGetColorProfileDescWithDisplayNameCopy(CF("zeta SRGB").get());
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(Str(QXColorProfileDescGetName(found)), "b/v2.icc");
  ProfileRef fromDesc(QXColorProfileCreate());
  QXColorProfileSetICCNameFromDesc(fromDesc, found);
  EXPECT_EQ(Str(QXColorProfileGetICCName(fromDesc)), "b/v2.icc");
  QXColorProfileDescRelease(found);
  EXPECT_EQ(QXColorProfileGetColorProfileDescWithDisplayNameCopy(CF("nothing").get()), nullptr);

  // By display name: a profile with its RGB cube to the display; an unknown name gives an empty one.
  ProfileRef named(nullptr), empty(nullptr);
  ASSERT_EQ(QXColorProfileCreateWithName(CF("Zeta sRGB").get(), &named.ref), kQXNoErr);
  EXPECT_EQ(QXColorProfileGetMode(named), kQXColorCubeRGB);
  EXPECT_EQ(CFDataGetLength(QXColorProfileGetData(named)), 64 * 64 * 64 * 3);
  ASSERT_EQ(QXColorProfileCreateWithName(CF("nothing").get(), &empty.ref), kQXNoErr);
  EXPECT_FALSE(QXColorProfileIsValid(empty));
}

TEST(ColorProfile, InfoDictionaries) {
  const Bytes icc = Save(SRGB(), 2.1);
  const Bytes raw(768, 9);
  auto number = [](int32_t v) { return adopt(CFNumberCreate(nullptr, kCFNumberSInt32Type, &v)); };
  CFRef<CFNumberRef> grid = number(256), mode = number(3);
  auto make = [](std::vector<std::pair<CFStringRef, CFTypeRef>> entries) {
    CFMutableDictionaryRef d =
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    for (auto [k, v] : entries) CFDictionarySetValue(d, k, v);
    return adopt(static_cast<CFDictionaryRef>(d));
  };
  struct Case {
    const char* what;
    CFRef<CFDictionaryRef> info;
    bool icc, data;
    int32_t grid, mode;
  } cases[] = {
      {"icc wins", make({{CFSTR("icc"), Data(icc).get()}, {CFSTR("raw"), Data(raw).get()}}), true, false, 64, 0},
      {"raw", make({{CFSTR("raw"), Data(raw).get()}, {CFSTR("grid_size"), grid.get()}, {CFSTR("mode"), mode.get()}}),
       false, true, 256, 3},
      {"raw alone", make({{CFSTR("raw"), Data(raw).get()}}), false, true, 0, 0},
      {"wrong types",
       make({{CFSTR("icc"), CFSTR("x")}, {CFSTR("raw"), Data(raw).get()}, {CFSTR("grid_size"), CFSTR("9")}}), false,
       true, 0, 0},
      {"raw not data", make({{CFSTR("raw"), grid.get()}}), false, false, 64, 0},
  };
  for (const Case& c : cases) {
    ProfileRef p(QXColorProfileCreateWithInfo(c.info.get()));
    EXPECT_EQ(QXColorProfileGetICCData(p) != nullptr, c.icc) << c.what;
    EXPECT_EQ(QXColorProfileGetData(p) != nullptr, c.data) << c.what;
    EXPECT_EQ(QXColorProfileGetGridSize(p), c.grid) << c.what;
    EXPECT_EQ(QXColorProfileGetMode(p), c.mode) << c.what;
    // Round trip: the info of the new profile describes the same profile.
    CFRef<CFDictionaryRef> info = adopt(static_cast<CFDictionaryRef>(QXColorProfileGetInfoCopy(p)));
    EXPECT_EQ(CFDictionaryGetCount(info.get()), c.icc ? 1 : c.data ? 3 : 0) << c.what;
    ProfileRef copy(nullptr);
    ASSERT_EQ(QXColorProfileCreateCopy(p, &copy.ref), kQXNoErr);
    EXPECT_EQ(QXColorProfileGetGridSize(copy), c.grid) << c.what;
  }
}

TEST(ColorProfile, ConvertsImages) {
  const Bytes srgb = Save(SRGB()), adobe = AdobeRGB();
  const Bytes gray = Save(Gray(), 2.1), cmyk = Save(CMYK(), 2.1), romm = Save(ROMM(), 2.1);
  std::vector<uint8_t> rgb8;
  for (int i = 0; i < 64; ++i) rgb8.insert(rgb8.end(), {uint8_t(i * 4), uint8_t(255 - i * 3), uint8_t(i * 37)});
  std::vector<uint16_t> rgb16(rgb8.size());
  for (size_t i = 0; i < rgb8.size(); ++i) rgb16[i] = uint16_t(rgb8[i] * 257 + i);

  // Every pixel format against a Little CMS transform of the same pixels, in place or into a second image
  // that then also receives the alpha plane.
  std::vector<uint8_t> gray8 = {0, 17, 128, 200, 255, 3}, cmyk8 = {0, 0, 0, 0, 255, 0, 0, 0, 10, 20, 30, 40};
  std::vector<uint16_t> gray16 = {0, 4000, 30000, 65535};
  struct Case {
    const char* what;
    const Bytes &from, &to;
    int32_t depth, model, planes;
    cmsUInt32Number format;
    int32_t intent;
    cmsUInt32Number cmsIntent;
    bool inPlace;
  } cases[] = {
      {"RGB 8", srgb, adobe, 8, 2, 3, TYPE_RGB_8, 0, INTENT_RELATIVE_COLORIMETRIC, false},
      {"RGB 8 perceptual", srgb, romm, 8, 2, 3, TYPE_RGB_8, kQXColorIntentPerceptual, INTENT_PERCEPTUAL, true},
      {"RGB 16", adobe, srgb, 16, 2, 3, TYPE_RGB_16, 0, INTENT_RELATIVE_COLORIMETRIC, false},
      {"gray 8", gray, gray, 8, 1, 1, TYPE_GRAY_8, 0, INTENT_RELATIVE_COLORIMETRIC, true},
      {"gray 16", gray, gray, 16, 1, 1, TYPE_GRAY_16, 0, INTENT_RELATIVE_COLORIMETRIC, false},
      {"CMYK 8", cmyk, cmyk, 8, 3, 4, TYPE_CMYK_8, 0, INTENT_RELATIVE_COLORIMETRIC, false},
  };
  for (const Case& c : cases) {
    ProfileRef from(c.from), to(c.to);
    const int32_t planes = c.planes + 1;
    auto run = [&](auto pixels) {
      using T = typename decltype(pixels)::value_type;
      const size_t count = pixels.size() / c.planes;
      auto withAlpha = [&](const std::vector<T>& colours) {  // pixel p gets alpha p + 1
        std::vector<T> out;
        for (size_t p = 0; p < count; ++p) {
          out.insert(out.end(), colours.begin() + p * c.planes, colours.begin() + (p + 1) * c.planes);
          out.push_back(T(p + 1));
        }
        return out;
      };
      Image source = Filled(c.depth, planes, c.model, 1, withAlpha(pixels), static_cast<int32_t>(count));
      Image separate(kQXImageSourceMemory, QXImageGetBounds(source), c.depth, planes, c.model, 1);
      QXImageRef target = c.inPlace ? static_cast<QXImageRef>(source) : static_cast<QXImageRef>(separate);
      ASSERT_EQ(QXColorProfileConvertProfile(from, to, source, target, {-5, -5, 1000, 1000}, c.intent), kQXNoErr)
          << c.what;
      EXPECT_EQ(ReadAll<T>(target), withAlpha(Direct(c.from, c.to, c.format, pixels, count, c.cmsIntent))) << c.what;
    };
    if (c.depth == 16)
      run(c.model == 1 ? gray16 : rgb16);
    else
      run(c.model == 1 ? gray8 : c.model == 2 ? rgb8 : cmyk8);
  }

  // Refusals, and an empty profile copies the pixels.
  ProfileRef s(srgb), c4(cmyk), none(QXColorProfileCreate()), oddSpace(Bytes2(srgb, 16, {0x8D, 0x47, 0x00, 0x20}));
  Image rgb = Filled<uint8_t>(8, 3, 2, 0, {10, 20, 30, 40, 50, 60}, 2),
        rgb16img = Filled<uint16_t>(16, 3, 2, 0, {1, 2, 3}, 1);
  Image grayImg = Filled<uint8_t>(8, 1, 1, 0, {7}, 1), two = Filled<uint8_t>(8, 2, 2, 0, {7, 8}, 1);
  Image cmyk16 = Filled<uint16_t>(16, 4, 3, 0, {1, 2, 3, 4}, 1), copy(kQXImageSourceMemory, {0, 0, 2, 1}, 8, 3, 2, 0);
  struct Refusal {
    const char* what;
    QXColorProfileRef from, to;
    QXImageRef source, target;
    QXRect rect;
    QXStatus status;
  } refusals[] = {
      {"depths differ", s, s, rgb, rgb16img, {0, 0, 1, 1}, kQXErrUnsupportedFormat},
      {"gray image, RGB profiles", s, s, grayImg, grayImg, {0, 0, 1, 1}, kQXErrUnsupportedFormat},
      {"RGB image of two planes", s, s, two, two, {0, 0, 1, 1}, kQXErrUnsupportedFormat},
      {"CMYK at 16 bits", c4, c4, cmyk16, cmyk16, {0, 0, 1, 1}, kQXErrUnsupportedFormat},
      {"CMYK profile, RGB image", c4, s, rgb, rgb, {0, 0, 1, 1}, kQXErrUnsupportedFormat},
      {"unknown colour space", oddSpace, s, rgb, rgb, {0, 0, 1, 1}, kQXErrUnsupportedFormat},
      {"outside the image", s, s, rgb, rgb, {5, 5, 2, 2}, kQXErrInvalidArgument},
      {"no profile", nullptr, s, rgb, rgb, {0, 0, 1, 1}, kQXErrInvalidArgument},
      {"empty profile copies", none, s, rgb, copy, {0, 0, 2, 1}, kQXNoErr},
  };
  for (const Refusal& r : refusals) {
    EXPECT_EQ(QXColorProfileConvertProfile(r.from, r.to, r.source, r.target, r.rect, 0), r.status) << r.what;
  }
  EXPECT_EQ(ReadAll<uint8_t>(copy), ReadAll<uint8_t>(rgb));
}

TEST(ColorProfile, DisplayCubes) {
  ColorDir dir;
  const Bytes adobe = AdobeRGB(), srgb = Save(SRGB(), 2.1), gray = Save(Gray(), 2.1), cmyk = Save(CMYK(), 2.1);
  setenv("QX_DISPLAY_PROFILE", dir.put("display.icc", adobe).c_str(), 1);

  // RGB: grid points are the display transform's own results (the blend between them is the cube tests').
  ProfileRef p(srgb);
  ASSERT_EQ(QXColorProfileCreateRGBColorCube(p, kQXImageColorSpaceRGB), kQXNoErr);
  EXPECT_EQ(CFDataGetLength(QXColorProfileGetData(p)), 64 * 64 * 64 * 3);
  const Px samples = {0, 0, 0, 255, 0, 0, 85, 170, 255, 255, 255, 255};
  const Px expected = Direct(srgb, adobe, TYPE_RGB_8, samples, samples.size() / 3);
  for (size_t i = 0; i < samples.size(); i += 3)
    EXPECT_EQ(RGBOf(p, samples[i], samples[i + 1], samples[i + 2]), Px(&expected[i], &expected[i + 3])) << i;

  // Whole images go through the profile's cube; 16-bit images, refusals and lookups without a table are the
  // cube tests' (same code).
  Image img8 = Filled<uint8_t>(8, 4, 2, 1, {255, 0, 0, 9, 10, 200, 30, 7}, 2);
  ASSERT_EQ(QXColorProfileApplyToImage(p, img8), kQXNoErr);
  const Px a = RGBOf(p, 255, 0, 0), b = RGBOf(p, 10, 200, 30);
  EXPECT_EQ(ReadAll<uint8_t>(img8), (Px{a[0], a[1], a[2], 9, b[0], b[1], b[2], 7}));

  // Gray and CMYK cubes: 768 bytes and grid 256; CMYK index 0 is full ink, near black.
  auto toDisplay = [&](const Bytes& from, cmsUInt32Number format, Px in) {
    return Direct<uint8_t>(from, adobe, format, in, 1, INTENT_RELATIVE_COLORIMETRIC, TYPE_RGB_8);
  };
  ProfileRef g(gray), k(cmyk);
  ASSERT_EQ(QXColorProfileCreateRGBColorCube(g, kQXImageColorSpaceGray), kQXNoErr);
  EXPECT_EQ(QXColorProfileGetGridSize(g), 256);
  EXPECT_EQ(CFDataGetLength(QXColorProfileGetData(g)), 768);
  Px out(3), black(3);
  QXColorProfileConvertGrayToRGB(g, 128, &out[0], &out[1], &out[2]);
  EXPECT_EQ(out, toDisplay(gray, TYPE_GRAY_8, {128}));
  ASSERT_EQ(QXColorProfileCreateRGBColorCube(k, kQXImageColorSpaceCMYK), kQXNoErr);
  EXPECT_EQ(CFDataGetLength(QXColorProfileGetData(k)), 64 * 64 * 64 * 64 * 3);
  QXColorProfileConvertCMYKToRGB(k, 0, 0, 0, 0, &black[0], &black[1], &black[2]);
  EXPECT_EQ(black, toDisplay(cmyk, TYPE_CMYK_8, {255, 255, 255, 255}));
  EXPECT_LT(black[0], 40);
  // A CMYK cube for a profile without data comes from "RSWOP.icm" in the colour directory.
  dir.put("RSWOP.icm", cmyk);
  ProfileRef swop(QXColorProfileCreate());
  QXColorProfileSetGridSize(swop, 8);
  ASSERT_EQ(QXColorProfileCreateRGBColorCube(swop, kQXImageColorSpaceCMYK), kQXNoErr);
  EXPECT_EQ(CFDataGetLength(QXColorProfileGetData(swop)), 8 * 8 * 8 * 8 * 3);

  EXPECT_EQ(QXColorProfileCreateRGBColorCube(p, 4), kQXErrGeneric);

  // Grid 32: the data is dropped and rebuilt at the new size; the copy taken before keeps its table.
  ProfileRef before(nullptr);
  ASSERT_EQ(QXColorProfileCreateCopy(p, &before.ref), kQXNoErr);
  ASSERT_EQ(QXColorProfileCreateRGBColorCube2(p, kQXImageColorSpaceRGB, kQXColorCubeGrid32), kQXNoErr);
  EXPECT_EQ(QXColorProfileGetData(p), nullptr);
  EXPECT_EQ(RGBOf(p, 255, 0, 0), (Px{255, 0, 0}));
  ASSERT_EQ(QXColorProfileCreateRGBColorCube2(p, kQXImageColorSpaceRGB, kQXColorCubeGrid32 | kQXColorCubeBuild),
            kQXNoErr);
  EXPECT_EQ(CFDataGetLength(QXColorProfileGetData(p)), 32 * 32 * 32 * 3);
  const Px red = RGBOf(before, 255, 0, 0);  // sample 1
  EXPECT_EQ(red, Px(expected.begin() + 3, expected.begin() + 6));

  // Tables that disagree with their mode and grid are refused and the cube in use stays (the cube tests hold
  // the full table of sizes; the check is shared).
  struct Bad {
    const char* what;
    size_t bytes;
    int32_t grid, model;
  } bad[] = {
      {"RGB one byte short", 64 * 64 * 64 * 3 - 1, 64, 2}, {"gray 767", 767, 256, 1}, {"negative grid", 3, -4, 2}};
  for (const Bad& c : bad) {
    ProfileRef q(nullptr);
    ASSERT_EQ(QXColorProfileCreateCopy(before, &q.ref), kQXNoErr);  // a working RGB cube
    CFRef<CFMutableDataRef> data = adopt(CFDataCreateMutable(nullptr, 0));
    CFDataSetLength(data.get(), static_cast<CFIndex>(c.bytes));
    QXColorProfileSetData(q, data.get());
    QXColorProfileSetGridSize(q, c.grid);
    EXPECT_EQ(QXColorProfileCreateRGBColorCube(q, c.model), kQXErrInvalidArgument) << c.what;
    EXPECT_EQ(RGBOf(q, 255, 0, 0), red) << c.what;
  }
}

}  // namespace
