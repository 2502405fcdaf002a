// Presets and tone curves: the common data and where it is read from, curves through their
// control points, preset files (written here and by Python's plistlib, hostile ones included)
// and random presets that must survive a file round trip unchanged.
#include <QXCore/QXPresets.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "presets/PresetFile.h"
#include "tests/net/StreamTestSupport.h"
#include "tests/presets/PresetTestSupport.h"
#include "tests/support/TempHome.h"

namespace {

using qxcf::adopt;
using qxcf::CFRef;

CFRef<CFMutableDictionaryRef> Read(const std::string& path, QXStatus* status = nullptr) {
  CFMutableDictionaryRef dict = nullptr;
  QXStatus s = qxpresets::ReadPresetFile(path, &dict);
  if (status != nullptr) *status = s;
  return adopt(dict);
}

CFRef<CFMutableDictionaryRef> Dict(std::initializer_list<std::pair<CFStringRef, CFTypeRef>> entries) {
  CFMutableDictionaryRef d =
      CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  for (auto& [k, v] : entries) CFDictionarySetValue(d, k, v);
  return adopt(d);
}

CFRef<CFNumberRef> Int(int v) { return adopt(CFNumberCreate(nullptr, kCFNumberIntType, &v)); }

using presettest::Text;

int ActiveSlots(const QXBezierCurve& c) {
  std::vector<QXPoint> active;
  c.getActiveControlPoints(active);
  return static_cast<int>(active.size());
}

// What every curve must be, whatever it was fed: tables of their counts, finite samples in the
// unit range, slots empty or inside the unit square.
void ExpectSound(const QXBezierCurve& c) {
  std::vector<float> samples;
  std::vector<QXPointF> slots;
  c.getSamples(samples);
  c.getControlPoints(slots);
  ASSERT_EQ(samples.size(), static_cast<size_t>(c.sampleCount()));
  ASSERT_EQ(slots.size(), static_cast<size_t>(c.controlPointCount()));
  EXPECT_LE(c.controlPointCount(), QXBezierCurve::kMaxControlPointCount);
  for (float s : samples) ASSERT_TRUE(s >= 0.0f && s <= 1.0f) << s;
  for (QXPointF p : slots) {
    bool empty = p.x == -1.0f && p.y == -1.0f;
    ASSERT_TRUE(empty || (p.x >= 0 && p.x <= 1 && p.y >= 0 && p.y <= 1)) << p.x << "," << p.y;
  }
}

TEST(QXPreset, CommonDataSourcesAndModuleData) {
  QXPreset p;
  EXPECT_EQ(Text(p.name()), "");
  EXPECT_FALSE(p.isFactoryPreset());
  EXPECT_EQ(p.customSortOrder(), 0);

  // "presetCommonData" wins over the root; a root without it is read the same way.
  auto common = Dict({{QXPreset::kNameKey, CFSTR("Inner")}, {QXPreset::kSortOrderKey, Int(5).get()}});
  p.initWithPresetData(Dict({{QXPreset::kCommonDataKey, common.get()}, {QXPreset::kNameKey, CFSTR("Root")}}).get());
  EXPECT_EQ(Text(p.name()), "Inner");
  EXPECT_EQ(p.customSortOrder(), 5);
  p.initWithPresetData(Dict({{QXPreset::kNameKey, CFSTR("Root")},
                             {QXPreset::kFactoryPresetKey, kCFBooleanTrue},
                             {QXPreset::kPropertiesKey, Int(9).get()}})
                           .get());
  EXPECT_EQ(Text(p.name()), "Root");
  EXPECT_TRUE(p.isFactoryPreset());
  // Zero and false leave earlier values; values of the wrong kind are ignored.
  p.initWithPresetData(Dict({{QXPreset::kSortOrderKey, Int(0).get()},
                             {QXPreset::kFactoryPresetKey, kCFBooleanFalse},
                             {QXPreset::kNameKey, Int(3).get()},
                             {QXPreset::kAuthorKey, kCFBooleanTrue}})
                           .get());
  EXPECT_EQ(p.customSortOrder(), 5);
  EXPECT_TRUE(p.isFactoryPreset());
  EXPECT_EQ(Text(p.name()), "Root");
  EXPECT_EQ(Text(p.author()), "");
  p.initWithPresetData(nullptr);

  // Module data carries the common data to a new preset.
  p.setAuthor("Ann");
  p.setDescription("Warm <look> & more");
  p.setFreePreset(true);
  auto module = Dict({{CFSTR("strength"), Int(40).get()}});
  p.addModuleData(module.get());
  QXPreset q;
  q.initWithPresetData(module.get());
  EXPECT_EQ(Text(q.author()), "Ann");
  EXPECT_EQ(Text(q.description()), "Warm <look> & more");
  EXPECT_TRUE(q.freePreset() && q.isFactoryPreset());
  EXPECT_EQ(q.properties(), 9);
  EXPECT_EQ(q.customSortOrder(), 5);

  // A dictionary never comes to contain itself, directly or through a nested dictionary.
  CFIndex before = CFDictionaryGetCount(p.presetData());
  p.addModuleData(p.presetData());
  auto nested = Dict({});
  CFDictionarySetValue(p.presetData(), CFSTR("nested"), nested.get());
  p.addModuleData(nested.get());
  EXPECT_FALSE(CFDictionaryContainsKey(nested.get(), QXPreset::kCommonDataKey));
  EXPECT_EQ(CFDictionaryGetCount(p.presetData()), before + 1);

  // Copies own their data: the copy outlives its source and edits stay apart.
  auto* source = new QXPreset(p);
  QXPreset copy(*source);
  source->setName("Changed");
  source->deletePreset();
  EXPECT_EQ(Text(copy.name()), "Root");
  copy = q;
  EXPECT_EQ(Text(copy.author()), "Ann");
}

TEST(QXBezierCurve, WorkedExamples) {
  QXBezierCurve c(3, 256, 16);
  std::vector<float> samples;
  c.calculateCurve();  // no active slot: the falling ramp stays
  c.getSamples(samples);
  EXPECT_EQ(samples.front(), 1.0f);
  EXPECT_EQ(samples.back(), 0.0f);
  EXPECT_EQ(ActiveSlots(c), 0);
  EXPECT_EQ(c.maxControlPointX(), 255);

  c.setControlPoints({{0.5f, 0.25f}});
  c.calculateCurve();
  for (int i = 0; i < 256; ++i) ASSERT_EQ(c.curveAt(i), 0.25f) << i;

  // Two points: a straight line. Four symmetric points: an S-curve through each of them.
  c.setControlPoints({{0.0f, 1.0f}, {1.0f, 0.0f}});
  c.calculateCurve();
  for (int i = 0; i < 256; ++i) ASSERT_NEAR(c.curveAt(i), 1.0f - i / 255.0f, 1e-5) << i;
  c.setControlPoints({{0.0f, 0.0f}, {1.0f, 1.0f}});  // the identity
  c.calculateCurve();
  for (int i = 0; i < 256; ++i) ASSERT_NEAR(c.curveAt(i), i / 255.0f, 1e-5) << i;
  std::vector<QXPointF> s = {{0.0f, 0.0f}, {0.25f, 0.1f}, {-1, -1}, {0.75f, 0.9f}, {1.0f, 1.0f}};
  c.setControlPoints(s);
  c.calculateCurve();
  for (QXPointF p : s) {
    if (p.x >= 0) {
      EXPECT_EQ(c.curveAt(p.x), p.y);
    }
  }
  for (int i = 1; i < 256; ++i) {
    ASSERT_GE(c.curveAt(i), c.curveAt(i - 1)) << i;
    ASSERT_NEAR(c.curveAt(i) + c.curveAt(255 - i), 1.0f, 5e-3) << i;  // sampling is not exactly symmetric
  }
  EXPECT_LT(c.curveAt(0.125f), 0.125f);  // the S bends below the diagonal first

  std::vector<unsigned char> bytes;
  c.setSamples({1.0f, 0.5f});
  c.getSamplePoints(bytes);
  EXPECT_EQ(bytes.size(), 256u);
  EXPECT_EQ(bytes[0], 255);
  EXPECT_EQ(bytes[1], 127);
  c.calculateCurve();

  // The nearest active slot within half a slot width, else the slot for a new point.
  QXBezierCurve g(0, 256, 5);
  EXPECT_EQ(g.getClosestControlPoint(200.0f), 3);
  g.setControlPoint(1, {64, 64});
  EXPECT_EQ(g.selectedControlPoint(), 1);
  EXPECT_EQ(g.getClosestControlPoint(64.0f), 1);
  EXPECT_EQ(g.getClosestControlPoint(80.0f), 1);
  EXPECT_EQ(g.getClosestControlPoint(200.0f), 3);
  EXPECT_EQ(g.pointIndex(0.5f), 2);
  EXPECT_EQ(g.curveIndex(0.5f), 128);  // halves go up

  // Save and load keep the curve; the name is not part of equality.
  c.setId(11);
  c.setSelectedControlPoint(3);
  c.setName("S");
  QXBezierCurve loaded(0, 256, 0);
  loaded.initWithPresetData(c.presetData());
  EXPECT_EQ(QXDictionary(c.presetData()).getIntValue(QXBezierCurve::kVersionKey, 0), 2);
  EXPECT_TRUE(loaded == c);
  loaded.setName("Other");
  EXPECT_TRUE(loaded == c);
  loaded.clearControlPoint(0);
  EXPECT_TRUE(loaded != c);

  // A variant keeps a curve alive past deletePreset.
  auto* held = new QXBezierCurve(c);
  QXVariant v(held);
  held->deletePreset();
  EXPECT_EQ(static_cast<QXBezierCurve*>(v.objectPtr())->id(), 11);
}

// Whatever the caller passes, the curve stays within its tables and finite.
TEST(QXBezierCurve, HostileArgumentsGiveSoundCurves) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  struct Case {
    int n, m;
    std::vector<QXPointF> points;
    int wantN, wantM, wantActive;
  } cases[] = {
      {-4, -2, {}, 0, 0, 0},
      {1 << 30, 1 << 30, {}, QXBezierCurve::kMaxSampleCount, QXBezierCurve::kMaxControlPointCount, 0},
      {0, 4, {{0.5f, 0.5f}}, 0, 1, 1},
      {1, 4, {{0.2f, 0.3f}, {0.8f, 0.9f}}, 1, 2, 2},
      {256, 4, {{nan, nan}, {inf, -inf}, {-inf, 0.5f}, {2.0f, 0.5f}}, 256, 4, 3},
      {256, 4, {{0.5f, 0.0f}, {0.5f, 1.0f}, {0.5f, 0.5f}}, 256, 3, 3},
      {300, 4, {{0.3f, 0.3f}, {0.3f + 1e-7f, 0.9f}, {1e-38f, 1.0f}, {1.4e-45f, 0.0f}}, 300, 4, 4},
      {1024, 3, {{0.9f, 1.0f}, {0.1f, 0.0f}, {0.5f, 0.2f}}, 1024, 3, 3},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << "N " << k.n << " M " << k.m << " points " << k.points.size());
    QXBezierCurve c(0, k.n, k.m);
    if (!k.points.empty()) c.setControlPoints(k.points);
    c.calculateCurve();
    ExpectSound(c);
    EXPECT_EQ(c.sampleCount(), k.wantN);
    EXPECT_EQ(c.controlPointCount(), k.wantM);
    EXPECT_EQ(ActiveSlots(c), k.wantActive);
    std::vector<unsigned char> bytes;
    c.getSamplePoints(bytes);  // N > 256 saturates at 255 instead of wrapping
    for (size_t i = 0; i < bytes.size(); ++i) {
      ASSERT_EQ(bytes[i], std::min(255, static_cast<int>(c.curveAt(static_cast<int>(i)) * (k.wantN - 0.001f))));
    }
    // Slots and samples outside the tables read as empty and 0; writes there do nothing.
    c.setControlPoint(k.wantM, {1, 1});
    c.clearControlPoint(-1);
    EXPECT_EQ(c.pointAt(k.wantM).x, -1.0f);
    EXPECT_EQ(c.curveAt(k.wantN), 0.0f);
    EXPECT_EQ(c.curveAt(nan), k.wantN > 0 ? c.curveAt(0) : 0.0f);
    EXPECT_GE(c.getClosestControlPoint(nan), 0);
  }
}

struct HostileFile {
  const char* name;
  QXStatus status;
  int m = 0, active = 0;
  const char* presetName = "";
  int sortOrder = 0, properties = 0;
};

// Preset files from elsewhere, written by Python's plistlib: read as sound curves, presets and
// colours, never as casts of the wrong type.
TEST(QXBezierCurve, HostileFilesFromPlistlib) {
  if (!streamtest::Installed("python3")) GTEST_SKIP() << "python3 is not installed";
  qxtest::TempHome home;
  std::string dir = home.root().string();
  auto [out, code] = streamtest::Command("python3 " QX_TEST_AREA_DIR "/data/hostile_presets.py " + dir);
  ASSERT_EQ(code, 0) << out;
  const int kMax = std::numeric_limits<int>::max();  // 2^63 - 1 saturates
  const HostileFile files[] = {
      {"coordinates", 0, 6, 4, "", 0, 0},    {"equal_x", 0, 4, 4, "", 0, 0},
      {"huge_count", 0, 1024, 2, "", 0, 0},  {"negative_count", 0, 0, 0, "", 0, 0},
      {"missing_points", 0, 8, 0, "", 0, 0}, {"short_array", 0, 8, 2, "", 0, 0},
      {"missing_y", 0, 3, 1, "", 0, 0},      {"wrong_kinds", 0, 3, 0, "", 0, kMax},
      {"slot_kinds", 0, 4, 0, "", 0, 0},     {"common_not_dict", 0, 0, 0, "Root name", 4, 0},
      {"deep", 0, 0, 0, "Deep", 0, 0},       {"root_array", kQXErrUnsupportedFormat},
      {"empty", kQXErrUnsupportedFormat},    {"truncated", kQXErrUnsupportedFormat},
  };
  for (const HostileFile& f : files) {
    SCOPED_TRACE(f.name);
    QXStatus status = -1;
    auto dict = Read(dir + "/" + f.name + ".plist", &status);
    ASSERT_EQ(status, f.status);
    if (status != 0) continue;
    QXBezierCurve c(0, 256, 16);
    c.initWithPresetData(dict.get());
    ExpectSound(c);
    EXPECT_EQ(c.controlPointCount(), f.m);
    EXPECT_EQ(ActiveSlots(c), f.active);
    EXPECT_EQ(Text(c.name()), f.presetName);
    EXPECT_EQ(c.customSortOrder(), f.sortOrder);
    EXPECT_EQ(c.properties(), f.properties);
    EXPECT_FALSE(c.isFactoryPreset() || c.freePreset());
    QXColor colour(1, 2, 3, 4);
    colour.initWithPresetData(dict.get());
    EXPECT_TRUE(colour == QXColor());
  }
}

// Random presets, written as files and read back, come back equal.
TEST(QXBezierCurve, RandomPresetsSurviveTheirFiles) {
  qxtest::TempHome home;
  std::mt19937 rng(20261207);
  const char* pieces[] = {"a", "Z", "<", "&amp;", ">", "\"", "'", " ", "\t", "\n", "é", "日本", "😀", "]]>", "\\"};
  auto text = [&] {
    std::string s;
    for (int n = static_cast<int>(rng() % 12); n > 0; --n) s += pieces[rng() % std::size(pieces)];
    return QXString(s.c_str());
  };
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (int round = 0; round < 150; ++round) {
    SCOPED_TRACE(round);
    QXBezierCurve c(static_cast<int>(rng()), 256, static_cast<int>(rng() % 40));
    std::vector<QXPointF> slots(static_cast<size_t>(c.controlPointCount()), QXPointF{-1, -1});
    for (QXPointF& p : slots) {
      if (rng() % 3 != 0) p = {unit(rng), unit(rng)};
    }
    c.setControlPoints(slots);
    c.setSelectedControlPoint(static_cast<int>(rng()));
    c.calculateCurve();
    c.setName(text());
    c.setAuthor(text());
    c.setDescription(text());
    c.setFactoryPreset(rng() % 2 != 0);
    c.setFreePreset(rng() % 2 != 0);
    c.setCustomSortOrder(static_cast<int>(rng()));
    c.setProperties(static_cast<int>(rng()));
    std::string path = (home.root() / ("p" + std::to_string(round) + ".plist")).string();
    ASSERT_EQ(qxpresets::WritePresetFile(path, c.presetData()), 0);

    QXBezierCurve back(0, 256, 0);
    back.initWithPresetData(Read(path).get());
    ASSERT_TRUE(back == c);
    EXPECT_TRUE(back.name() == c.name() && back.author() == c.author() && back.description() == c.description());
    EXPECT_EQ(back.isFactoryPreset(), c.isFactoryPreset());
    EXPECT_EQ(back.freePreset(), c.freePreset());
    EXPECT_EQ(back.customSortOrder(), c.customSortOrder());
    EXPECT_EQ(back.properties(), c.properties());
  }
}

}  // namespace
