// Presets: loading 1,000 preset files of about 4 KB (a tone curve and 40 settings) into curve
// presets, against Python's plistlib reading the same files (bench/presetfiles_anchor.py, run by
// scripts/bench in the same run); and computing a tone curve's 256 samples, against a natural
// cubic spline through the same points written here.
//
// The files come from $QX_PRESET_BENCH_DIR, or from a folder in $TMPDIR that
// presetfiles_anchor.py --generate writes when it is missing, so both sides read identical bytes.
#include <QXCore/QXPresets.h>
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "presets/PresetFile.h"

namespace {

std::string presetFolder() {
  if (const char* env = std::getenv("QX_PRESET_BENCH_DIR"); env != nullptr && *env != 0) return env;
  const char* tmp = std::getenv("TMPDIR");
  return std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") + "/qx_preset_bench";
}

void BM_LoadPresets(benchmark::State& state) {
  const std::string folder = presetFolder();
  if (::access(folder.c_str(), R_OK) != 0) {
    std::string command = "python3 '" QX_BENCH_DIR "/presetfiles_anchor.py' --generate '" + folder + "'";
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("cannot generate the preset files");
      return;
    }
  }
  std::vector<std::string> paths;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) paths.push_back(entry.path().string());
  std::sort(paths.begin(), paths.end());
  for (auto _ : state) {
    for (const std::string& path : paths) {
      CFMutableDictionaryRef dict = nullptr;
      if (qxpresets::ReadPresetFile(path, &dict) != 0) {
        state.SkipWithError("unreadable preset file");
        return;
      }
      auto* curve = new QXBezierCurve(0, 256, 16);
      curve->initWithPresetData(dict);
      benchmark::DoNotOptimize(curve->customSortOrder());
      curve->deletePreset();
      CFRelease(dict);
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(paths.size()));
}
BENCHMARK(BM_LoadPresets)->Unit(benchmark::kMillisecond);

// Ten active points of sixteen slots, as a user's curve might have them.
const std::vector<QXPointF>& curvePoints() {
  static const std::vector<QXPointF> points = {{0.0f, 0.02f},  {-1, -1},      {0.13f, 0.1f}, {0.2f, 0.22f},
                                               {-1, -1},       {0.33f, 0.4f}, {0.4f, 0.47f}, {-1, -1},
                                               {0.53f, 0.58f}, {0.6f, 0.66f}, {-1, -1},      {0.73f, 0.8f},
                                               {-1, -1},       {0.87f, 0.9f}, {-1, -1},      {1.0f, 0.97f}};
  return points;
}

void BM_CurveCalculate(benchmark::State& state) {
  QXBezierCurve curve(0, 256, 16);
  curve.setControlPoints(curvePoints());
  std::vector<float> samples;
  samples.reserve(256);
  for (auto _ : state) {
    curve.calculateCurve();
    samples.clear();
    curve.getSamples(samples);
    benchmark::DoNotOptimize(samples.data());
  }
}
BENCHMARK(BM_CurveCalculate);

// A natural cubic spline through the active points, evaluated at 256 levels.
void BM_CubicSplineAnchor(benchmark::State& state) {
  std::vector<double> xs, ys;
  for (QXPointF p : curvePoints()) {
    if (p.x >= 0) {
      xs.push_back(p.x);
      ys.push_back(p.y);
    }
  }
  const size_t n = xs.size();
  std::vector<double> h(n), alpha(n), l(n), mu(n), z(n), b(n), c(n), d(n);
  std::vector<float> samples(256);
  for (auto _ : state) {
    for (size_t i = 0; i + 1 < n; ++i) h[i] = xs[i + 1] - xs[i];
    for (size_t i = 1; i + 1 < n; ++i) alpha[i] = 3 / h[i] * (ys[i + 1] - ys[i]) - 3 / h[i - 1] * (ys[i] - ys[i - 1]);
    l[0] = 1;
    mu[0] = z[0] = 0;
    for (size_t i = 1; i + 1 < n; ++i) {
      l[i] = 2 * (xs[i + 1] - xs[i - 1]) - h[i - 1] * mu[i - 1];
      mu[i] = h[i] / l[i];
      z[i] = (alpha[i] - h[i - 1] * z[i - 1]) / l[i];
    }
    c[n - 1] = 0;
    for (size_t j = n - 1; j-- > 0;) {
      c[j] = z[j] - mu[j] * c[j + 1];
      b[j] = (ys[j + 1] - ys[j]) / h[j] - h[j] * (c[j + 1] + 2 * c[j]) / 3;
      d[j] = (c[j + 1] - c[j]) / (3 * h[j]);
    }
    size_t seg = 0;
    for (int i = 0; i < 256; ++i) {
      double x = i / 255.0;
      while (seg + 2 < n && x > xs[seg + 1]) ++seg;
      double t = x - xs[seg];
      double y = ys[seg] + t * (b[seg] + t * (c[seg] + t * d[seg]));
      samples[i] = static_cast<float>(std::clamp(y, 0.0, 1.0));
    }
    benchmark::DoNotOptimize(samples.data());
  }
}
BENCHMARK(BM_CubicSplineAnchor);

}  // namespace

BENCHMARK_MAIN();
