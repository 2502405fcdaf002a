// Fuzzes preset files: arbitrary bytes read as a preset file and taken by a preset, a tone curve
// and a colour, with every getter called; what a preset gives back must be written and read again
// to the same curve.
#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXPresets.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "presets/PresetFile.h"

namespace {

void check(bool condition) {
  if (!condition) abort();
}

CFMutableDictionaryRef reread(CFDictionaryRef dict) {
  CFDataRef xml = CFPropertyListCreateData(nullptr, dict, kCFPropertyListXMLFormat_v1_0, 0, nullptr);
  check(xml != nullptr);
  CFMutableDictionaryRef back = qxpresets::CreatePresetDictionary(CFDataGetBytePtr(xml), CFDataGetLength(xml));
  CFRelease(xml);
  check(back != nullptr);
  return back;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CFMutableDictionaryRef dict = qxpresets::CreatePresetDictionary(data, size);
  if (dict == nullptr) return 0;

  QXPreset preset;
  preset.initWithPresetData(dict);
  free(preset.name().utf8Copy());
  free(preset.author().utf8Copy());
  free(preset.description().utf8Copy());
  (void)(preset.isFactoryPreset() + preset.freePreset() + preset.customSortOrder() + preset.properties());

  QXColor colour;
  colour.initWithPresetData(dict);
  (void)(colour.redF() + colour.greenF() + colour.blueF() + colour.alphaF());

  // Sample counts from the fuzzer's own bytes, so small and odd tables are tried too.
  int samples = size > 0 ? data[0] * 3 : 256;
  auto* curve = new QXBezierCurve(0, samples, 16);
  curve->initWithPresetData(dict);
  std::vector<float> values;
  std::vector<unsigned char> bytes;
  std::vector<QXPoint> active;
  curve->getSamples(values);
  curve->getSamplePoints(bytes);
  curve->getActiveControlPoints(active);
  check(values.size() == static_cast<size_t>(curve->sampleCount()) && bytes.size() == values.size());
  for (float v : values) check(v >= 0.0f && v <= 1.0f);
  for (float x : {-1.0f, 0.0f, 0.37f, 1.0f, 2.0f, NAN}) {
    (void)curve->curveAt(x);
    (void)curve->pointAt(x);
    (void)curve->getClosestControlPoint(x * static_cast<float>(samples));
  }
  curve->setControlPoint(curve->getClosestControlPoint(3.0f), QXPoint{3, 200});
  curve->calculateCurve();

  // Written and read back, the curve is the same curve.
  CFMutableDictionaryRef back = reread(curve->presetData());
  QXBezierCurve again(0, samples, 0);
  again.initWithPresetData(back);
  check(again == *curve);
  CFRelease(back);
  QXVariant holder(curve);
  curve->deletePreset();

  CFRelease(dict);
  return 0;
}
