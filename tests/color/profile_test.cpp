// Colour profiles against real ICC profiles: ones Little CMS makes here, and the Debian packages'
// where installed. Conversions are checked against Little CMS transforms made in the test.
#include <QXCore/QXColor.h>
#include <gtest/gtest.h>
#include <lcms2.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstring>
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

template <class T>
std::vector<T> ReadAll(QXImageRef image) {
  std::vector<T> pixels(static_cast<size_t>(QXImageGetWidth(image)) * QXImageGetHeight(image) *
                        QXImageGetNumPlanes(image));
  EXPECT_EQ(QXImageRead(image, QXImageGetBounds(image), 0, -1, pixels.data(), 0), kQXNoErr);
  return pixels;
}

template <class T>
Image Filled(int32_t depth, int32_t planes, int32_t model, int32_t alpha, const std::vector<T>& pixels, int32_t width) {
  const QXRect bounds = {0, 0, width, static_cast<int32_t>(pixels.size() / planes / width)};
  QXImageRef image = nullptr;
  EXPECT_EQ(QXImageCreateWithParams2(bounds, depth, planes, model, alpha, kQXImageSourceMemory, &image), kQXNoErr);
  EXPECT_EQ(QXImageWrite(image, bounds, 0, -1, pixels.data(), 0), kQXNoErr);
  return Image(image);
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
      {"v3.1", Bytes2(srgb, 8, {3, 0x10}), kQXErrInvalidProfile, -1, 1},
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

  struct Case {
    uint32_t code;
    uint32_t standard;    // QXColorProfileGetStandard
    int32_t model;        // of the ICC data, -1 without
    uint32_t headerCode;  // the device model's code
    const char* name;     // of the description
  } cases[] = {
      {kQXColorProfileSRGB, kQXColorProfileSRGB, kQXImageColorSpaceRGB, kQXColorProfileSRGB, "sRGB"},
      {kQXColorProfileProPhoto, kQXColorProfileProPhoto, kQXImageColorSpaceRGB, kQXColorProfileProPhoto,
       "ProPhoto RGB"},
      {kQXColorProfileAdobeRGB, kQXColorProfileAdobeRGB, kQXImageColorSpaceRGB, 0, "Adobe RGB (1998)"},
      {kQXColorProfileDisplay, 0, -1, 0, "sRGB"},
      {0x78797a7a, 0, -1, 0, nullptr},
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
    CFRef<CFStringRef> name = adopt(QXColorProfileGetDisplayNameCopy(p));
    EXPECT_EQ(name ? Str(name.get()).substr(0, c.name ? std::strlen(c.name) : 0) : "(null)", c.name ? c.name : "(null)")
        << c.code;
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
  // The packaged profiles (version 4 descriptions among them) where installed.
  if (fs::exists("/usr/share/color/icc/colord/sRGB.icc")) {
    auto it = std::find_if(seen.begin(), seen.end(), [](auto& e) { return e.first == "colord/sRGB.icc"; });
    ASSERT_NE(it, seen.end());
    EXPECT_EQ(it->second.rfind("sRGB", 0), 0u) << it->second;
  }

  QXColorProfileDescRef found = QXColorProfileGetColorProfileDescWithDisplayNameCopy(CF("zeta SRGB").get());
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(Str(QXColorProfileDescGetName(found)), "b/v2.icc");
  ProfileRef fromDesc(QXColorProfileCreate());
  QXColorProfileSetICCNameFromDesc(fromDesc, found);
  EXPECT_EQ(Str(QXColorProfileGetICCName(fromDesc)), "b/v2.icc");
  QXColorProfileDescRelease(found);
  EXPECT_EQ(QXColorProfileGetColorProfileDescWithDisplayNameCopy(CF("nothing").get()), nullptr);

  // By display name: a profile with its RGB cube to the display; an unknown name gives an empty one.
  QXColorProfileRef named = nullptr;
  ASSERT_EQ(QXColorProfileCreateWithName(CF("Zeta sRGB").get(), &named), kQXNoErr);
  ProfileRef holder2(named);
  EXPECT_EQ(QXColorProfileGetMode(named), kQXColorCubeRGB);
  EXPECT_EQ(CFDataGetLength(QXColorProfileGetData(named)), 64 * 64 * 64 * 3);
  ASSERT_EQ(QXColorProfileCreateWithName(CF("nothing").get(), &named), kQXNoErr);
  ProfileRef empty(named);
  EXPECT_FALSE(QXColorProfileIsValid(empty));
}

TEST(ColorProfile, InfoDictionaries) {
  const Bytes icc = Save(SRGB(), 2.1);
  const Bytes raw(768, 9);
  CFRef<CFNumberRef> grid = adopt(CFNumberCreate(nullptr, kCFNumberSInt32Type, std::array<int32_t, 1>{256}.data()));
  CFRef<CFNumberRef> mode = adopt(CFNumberCreate(nullptr, kCFNumberSInt32Type, std::array<int32_t, 1>{3}.data()));
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
    QXColorProfileRef copy = nullptr;
    ASSERT_EQ(QXColorProfileCreateCopy(p, &copy), kQXNoErr);
    EXPECT_EQ(QXColorProfileGetGridSize(copy), c.grid) << c.what;
    QXColorProfileRelease(copy);
  }
}

TEST(ColorProfile, ConvertsImages) {
  const Bytes srgb = Save(SRGB()), adobe = AdobeRGB();
  const Bytes gray = Save(Gray(), 2.1), cmyk = Save(CMYK(), 2.1), romm = Save(ROMM(), 2.1);
  std::vector<uint8_t> rgb8;
  for (int i = 0; i < 64; ++i) rgb8.insert(rgb8.end(), {uint8_t(i * 4), uint8_t(255 - i * 3), uint8_t(i * 37)});
  std::vector<uint16_t> rgb16(rgb8.size());
  for (size_t i = 0; i < rgb8.size(); ++i) rgb16[i] = uint16_t(rgb8[i] * 257 + i);

  // sRGB to itself is the identity within 1 (in place, both depths).
  auto identity = [&](auto pixels, int32_t depth, int tolerance) {
    ProfileRef a(srgb), b(srgb);
    Image image = Filled(depth, 3, 2, 0, pixels, 8);
    ASSERT_EQ(QXColorProfileConvertProfile(a, b, image, image, QXImageGetBounds(image), 0), kQXNoErr);
    const auto out = ReadAll<typename decltype(pixels)::value_type>(image);
    for (size_t i = 0; i < out.size(); ++i) EXPECT_NEAR(out[i], pixels[i], tolerance) << depth << " " << i;
  };
  identity(rgb8, 8, 1);
  identity(rgb16, 16, 257);

  // Every pixel format against a Little CMS transform of the same pixels, into a second image
  // that also receives the alpha plane.
  std::vector<uint8_t> gray8 = {0, 17, 128, 200, 255, 3}, cmyk8 = {0, 0, 0, 0, 255, 0, 0, 0, 10, 20, 30, 40};
  std::vector<uint16_t> gray16 = {0, 4000, 30000, 65535};
  struct Case {
    const char* what;
    const Bytes &from, &to;
    int32_t depth, model, planes;
    cmsUInt32Number format;
    int32_t intent;
    cmsUInt32Number cmsIntent;
  } cases[] = {
      {"RGB 8", srgb, adobe, 8, 2, 3, TYPE_RGB_8, 0, INTENT_RELATIVE_COLORIMETRIC},
      {"RGB 8 perceptual", srgb, romm, 8, 2, 3, TYPE_RGB_8, kQXColorIntentPerceptual, INTENT_PERCEPTUAL},
      {"RGB 16", adobe, srgb, 16, 2, 3, TYPE_RGB_16, 0, INTENT_RELATIVE_COLORIMETRIC},
      {"gray 8", gray, gray, 8, 1, 1, TYPE_GRAY_8, 0, INTENT_RELATIVE_COLORIMETRIC},
      {"gray 16", gray, gray, 16, 1, 1, TYPE_GRAY_16, 0, INTENT_RELATIVE_COLORIMETRIC},
      {"CMYK 8", cmyk, cmyk, 8, 3, 4, TYPE_CMYK_8, 0, INTENT_RELATIVE_COLORIMETRIC},
  };
  for (const Case& c : cases) {
    ProfileRef from(c.from), to(c.to);
    const int32_t planes = c.planes + 1;
    auto run = [&](auto pixels) {
      using T = typename decltype(pixels)::value_type;
      const size_t count = pixels.size() / c.planes;
      std::vector<T> withAlpha;
      for (size_t p = 0; p < count; ++p) {
        withAlpha.insert(withAlpha.end(), pixels.begin() + p * c.planes, pixels.begin() + (p + 1) * c.planes);
        withAlpha.push_back(T(p + 1));
      }
      Image source = Filled(c.depth, planes, c.model, 1, withAlpha, static_cast<int32_t>(count));
      Image target(kQXImageSourceMemory, QXImageGetBounds(source), c.depth, planes, c.model, 1);
      ASSERT_EQ(QXColorProfileConvertProfile(from, to, source, target, {-5, -5, 1000, 1000}, c.intent), kQXNoErr)
          << c.what;
      const std::vector<T> expected = Direct(c.from, c.to, c.format, pixels, count, c.cmsIntent);
      const std::vector<T> out = ReadAll<T>(target);
      for (size_t p = 0; p < count; ++p) {
        for (int n = 0; n < c.planes; ++n) EXPECT_EQ(out[p * planes + n], expected[p * c.planes + n]) << c.what << p;
        EXPECT_EQ(out[p * planes + c.planes], T(p + 1)) << c.what << " alpha";
      }
    };
    if (c.depth == 16) {
      run(c.model == 1 ? gray16 : rgb16);
    } else {
      run(c.model == 1 ? gray8 : c.model == 2 ? rgb8 : cmyk8);
    }
  }

  // Pure red from sRGB to Adobe RGB stays a strong red.
  {
    ProfileRef from(srgb), to(adobe);
    Image red = Filled<uint8_t>(8, 3, 2, 0, {255, 0, 0}, 1);
    ASSERT_EQ(QXColorProfileConvertProfile(from, to, red, red, {0, 0, 1, 1}, 0), kQXNoErr);
    const auto out = ReadAll<uint8_t>(red);
    EXPECT_EQ(out, Direct<uint8_t>(srgb, adobe, TYPE_RGB_8, {255, 0, 0}, 1));
    EXPECT_GT(out[0], 200);
    EXPECT_LT(out[1], 60);
  }

  // Refusals, and an empty profile copies the pixels.
  ProfileRef s(srgb), c4(cmyk), none(QXColorProfileCreate()), oddSpace(Bytes2(srgb, 16, {0x8D, 0x47, 0x00, 0x20}));
  Image rgb = Filled<uint8_t>(8, 3, 2, 0, {10, 20, 30, 40, 50, 60}, 2);
  Image rgb16img = Filled<uint16_t>(16, 3, 2, 0, {1, 2, 3}, 1);
  Image grayImg = Filled<uint8_t>(8, 1, 1, 0, {7}, 1), two = Filled<uint8_t>(8, 2, 2, 0, {7, 8}, 1);
  Image cmyk16 = Filled<uint16_t>(16, 4, 3, 0, {1, 2, 3, 4}, 1);
  Image copy(kQXImageSourceMemory, QXImageGetBounds(rgb), 8, 3, 2, 0);
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
  const Bytes adobe = AdobeRGB();
  const Bytes srgb = Save(SRGB(), 2.1), gray = Save(Gray(), 2.1), cmyk = Save(CMYK(), 2.1);
  setenv("QX_DISPLAY_PROFILE", dir.put("display.icc", adobe).c_str(), 1);

  // RGB: grid points are the transform's own results; between them the diagonal blend stays close.
  ProfileRef p(srgb);
  ASSERT_EQ(QXColorProfileCreateRGBColorCube(p, kQXImageColorSpaceRGB), kQXNoErr);
  EXPECT_EQ(CFDataGetLength(QXColorProfileGetData(p)), 64 * 64 * 64 * 3);
  std::vector<uint8_t> samples;
  for (int r : {0, 85, 170, 255, 1, 100, 222})
    for (int g : {0, 85, 255, 37})
      for (int b : {0, 170, 255, 250}) samples.insert(samples.end(), {uint8_t(r), uint8_t(g), uint8_t(b)});
  const auto expected = Direct(srgb, adobe, TYPE_RGB_8, samples, samples.size() / 3);
  for (size_t i = 0; i < samples.size(); i += 3) {
    uint8_t out[3];
    QXColorProfileConvertRGBToRGB(p, samples[i], samples[i + 1], samples[i + 2], &out[0], &out[1], &out[2]);
    const bool onGrid = std::all_of(&samples[i], &samples[i + 3], [](uint8_t v) { return v % 85 == 0; });
    for (int n = 0; n < 3; ++n) EXPECT_NEAR(out[n], expected[i + n], onGrid ? 0 : 4) << i;
  }

  // Whole images: 8-bit through the lookup, 16-bit through its high byte.
  std::vector<uint8_t> px8 = {255, 0, 0, 9, 10, 200, 30, 7};
  std::vector<uint16_t> px16 = {0xFF12, 0x0034, 0x8056, 0x1111};
  Image img8 = Filled(8, 4, 2, 1, px8, 2), img16 = Filled(16, 4, 2, 1, px16, 1);
  ASSERT_EQ(QXColorProfileApplyToImage(p, img8), kQXNoErr);
  ASSERT_EQ(QXColorProfileApplyToImage(p, img16), kQXNoErr);
  const auto out8 = ReadAll<uint8_t>(img8);
  const auto out16 = ReadAll<uint16_t>(img16);
  for (int px = 0; px < 2; ++px) {
    uint8_t o[3];
    QXColorProfileConvertRGBToRGB(p, px8[px * 4], px8[px * 4 + 1], px8[px * 4 + 2], &o[0], &o[1], &o[2]);
    for (int n = 0; n < 3; ++n) EXPECT_EQ(out8[px * 4 + n], o[n]);
    EXPECT_EQ(out8[px * 4 + 3], px8[px * 4 + 3]);
  }
  uint8_t o16[3];
  QXColorProfileConvertRGBToRGB(p, 0xFF, 0x00, 0x80, &o16[0], &o16[1], &o16[2]);
  EXPECT_EQ(out16,
            (std::vector<uint16_t>{uint16_t(o16[0] * 257), uint16_t(o16[1] * 257), uint16_t(o16[2] * 257), 0x1111}));

  // Without a cube: pass-through, the CMYK formula (white for no ink) and gray copies; images untouched.
  ProfileRef bare(QXColorProfileCreate());
  uint8_t o[3];
  QXColorProfileConvertRGBToRGB(bare, 1, 2, 3, &o[0], &o[1], &o[2]);
  EXPECT_EQ(std::vector<uint8_t>(o, o + 3), (std::vector<uint8_t>{1, 2, 3}));
  QXColorProfileConvertCMYKToRGB(bare, 0, 0, 0, 0, &o[0], &o[1], &o[2]);
  EXPECT_EQ(std::vector<uint8_t>(o, o + 3), (std::vector<uint8_t>{255, 255, 255}));
  QXColorProfileConvertCMYKToRGB(bare, 100, 0, 0, 200, &o[0], &o[1], &o[2]);
  EXPECT_EQ(std::vector<uint8_t>(o, o + 3), (std::vector<uint8_t>{0, 55, 55}));
  QXColorProfileConvertGrayToRGB(bare, 77, &o[0], &o[1], &o[2]);
  EXPECT_EQ(std::vector<uint8_t>(o, o + 3), (std::vector<uint8_t>{77, 77, 77}));
  Image keep16 = Filled<uint16_t>(16, 3, 2, 0, {0x1234, 0x5678, 0x9ABC}, 1);
  EXPECT_EQ(QXColorProfileApplyToImage(bare, keep16), kQXNoErr);
  EXPECT_EQ(ReadAll<uint16_t>(keep16), (std::vector<uint16_t>{0x1234, 0x5678, 0x9ABC}));

  // Gray and CMYK cubes: 768 bytes and grid 256; CMYK index 0 is full ink, near black.
  ProfileRef g(gray), k(cmyk);
  ASSERT_EQ(QXColorProfileCreateRGBColorCube(g, kQXImageColorSpaceGray), kQXNoErr);
  EXPECT_EQ(QXColorProfileGetGridSize(g), 256);
  EXPECT_EQ(CFDataGetLength(QXColorProfileGetData(g)), 768);
  QXColorProfileConvertGrayToRGB(g, 128, &o[0], &o[1], &o[2]);
  EXPECT_EQ(std::vector<uint8_t>(o, o + 3),
            Direct<uint8_t>(gray, adobe, TYPE_GRAY_8, {128}, 1, INTENT_RELATIVE_COLORIMETRIC, TYPE_RGB_8));
  ASSERT_EQ(QXColorProfileCreateRGBColorCube(k, kQXImageColorSpaceCMYK), kQXNoErr);
  EXPECT_EQ(CFDataGetLength(QXColorProfileGetData(k)), 64 * 64 * 64 * 64 * 3);
  QXColorProfileConvertCMYKToRGB(k, 0, 0, 0, 0, &o[0], &o[1], &o[2]);
  EXPECT_EQ(std::vector<uint8_t>(o, o + 3), Direct<uint8_t>(cmyk, adobe, TYPE_CMYK_8, {255, 255, 255, 255}, 1,
                                                            INTENT_RELATIVE_COLORIMETRIC, TYPE_RGB_8));
  EXPECT_LT(o[0], 40);
  // A CMYK cube for a profile without data comes from "RSWOP.icm" in the colour directory.
  dir.put("RSWOP.icm", cmyk);
  ProfileRef swop(QXColorProfileCreate());
  QXColorProfileSetGridSize(swop, 8);
  ASSERT_EQ(QXColorProfileCreateRGBColorCube(swop, kQXImageColorSpaceCMYK), kQXNoErr);
  EXPECT_EQ(CFDataGetLength(QXColorProfileGetData(swop)), 8 * 8 * 8 * 8 * 3);

  // Image refusals.
  Image grayImg = Filled<uint8_t>(8, 1, 1, 0, {1}, 1), twoPlanes = Filled<uint8_t>(8, 2, 2, 0, {1, 2}, 1);
  Image floats(kQXImageSourceMemory, {0, 0, 1, 1}, 32, 3, 2, 0);
  EXPECT_EQ(QXColorProfileApplyToImage(p, grayImg), kQXErrGeneric);
  EXPECT_EQ(QXColorProfileApplyToImage(p, twoPlanes), kQXErrUnsupportedFormat);
  EXPECT_EQ(QXColorProfileApplyToImage(p, floats), kQXErrUnsupportedFormat);
  EXPECT_EQ(QXColorProfileCreateRGBColorCube(p, 4), kQXErrGeneric);

  // Grid 32: the data is dropped and rebuilt at the new size; the copy taken before keeps its table.
  QXColorProfileRef before = nullptr;
  ASSERT_EQ(QXColorProfileCreateCopy(p, &before), kQXNoErr);
  ProfileRef beforeHolder(before);
  ASSERT_EQ(QXColorProfileCreateRGBColorCube2(p, kQXImageColorSpaceRGB, kQXColorCubeGrid32), kQXNoErr);
  EXPECT_EQ(QXColorProfileGetData(p), nullptr);
  QXColorProfileConvertRGBToRGB(p, 255, 0, 0, &o[0], &o[1], &o[2]);
  EXPECT_EQ(std::vector<uint8_t>(o, o + 3), (std::vector<uint8_t>{255, 0, 0}));
  ASSERT_EQ(QXColorProfileCreateRGBColorCube2(p, kQXImageColorSpaceRGB, kQXColorCubeGrid32 | kQXColorCubeBuild),
            kQXNoErr);
  EXPECT_EQ(CFDataGetLength(QXColorProfileGetData(p)), 32 * 32 * 32 * 3);
  QXColorProfileConvertRGBToRGB(before, 255, 0, 0, &o[0], &o[1], &o[2]);
  EXPECT_EQ(std::vector<uint8_t>(o, o + 3),
            std::vector<uint8_t>(expected.begin() + 3 * 16 * 3, expected.begin() + 3 * 16 * 3 + 3));

  // Tables that disagree with their mode and grid are refused and the cube in use stays.
  struct Bad {
    const char* what;
    size_t bytes;
    int32_t grid, model;
  } bad[] = {
      {"RGB one byte short", 64 * 64 * 64 * 3 - 1, 64, 2},
      {"RGB grid 257", size_t(257) * 257 * 257 * 3, 257, 2},
      {"RGB grid 1", 3, 1, 2},
      {"CMYK grid 65", size_t(65) * 65 * 65 * 65 * 3, 65, 3},
      {"CMYK of an RGB size", 64 * 64 * 64 * 3, 64, 3},
      {"gray 767", 767, 256, 1},
      {"negative grid", 3, -4, 2},
  };
  for (const Bad& c : bad) {
    ProfileRef q(nullptr);
    ASSERT_EQ(QXColorProfileCreateCopy(before, &q.ref), kQXNoErr);  // a working RGB cube
    CFRef<CFMutableDataRef> data = adopt(CFDataCreateMutable(nullptr, 0));
    CFDataSetLength(data.get(), static_cast<CFIndex>(c.bytes));
    QXColorProfileSetData(q, data.get());
    QXColorProfileSetGridSize(q, c.grid);
    EXPECT_EQ(QXColorProfileCreateRGBColorCube(q, c.model), kQXErrInvalidArgument) << c.what;
    QXColorProfileConvertRGBToRGB(q, 255, 0, 0, &o[0], &o[1], &o[2]);
    uint8_t kept[3];
    QXColorProfileConvertRGBToRGB(before, 255, 0, 0, &kept[0], &kept[1], &kept[2]);
    EXPECT_EQ(std::vector<uint8_t>(o, o + 3), std::vector<uint8_t>(kept, kept + 3)) << c.what;
  }
}

}  // namespace
