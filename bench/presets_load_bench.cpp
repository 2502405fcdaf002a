// Presets: loading 1,000 preset files of about 4 KB (a tone curve and 40 settings) into curve
// presets, and a category of 2,000 such files in custom sort order, against Python's plistlib
// reading the same files (bench/presetfiles_anchor.py, run by scripts/bench in the same run);
// listing that category and a folder of 200 categories against readdir with a suffix test or a
// stat per entry; and computing a tone curve's 256 samples, against a natural cubic spline through
// the same points written here.
//
// The files come from $QX_PRESET_BENCH_DIR (and the category from <it>_category/Big), or from
// folders in $TMPDIR that presetfiles_anchor.py --generate writes when they are missing, so both
// sides read identical bytes.
#include <QXCore/QXPresetManager.h>
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <sys/stat.h>
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

// Makes `folder` with `count` preset files through the anchor script when it is missing.
bool ensureFolder(const std::string& folder, int count) {
  if (::access(folder.c_str(), R_OK) == 0) return true;
  std::filesystem::create_directories(std::filesystem::path(folder).parent_path());
  std::string command =
      "python3 '" QX_BENCH_DIR "/presetfiles_anchor.py' --generate '" + folder + "' " + std::to_string(count);
  return std::system(command.c_str()) == 0;
}

void BM_LoadPresets(benchmark::State& state) {
  const std::string folder = presetFolder();
  if (!ensureFolder(folder, 1000)) {
    state.SkipWithError("cannot generate the preset files");
    return;
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

struct CurveFactory : QXPresetFactory {
  QXPreset* createPreset() override { return new QXBezierCurve(0, 256, 16); }
};

// The manager of <folder>_category, whose category "Big" holds 2,000 preset files.
bool categoryManager(benchmark::State& state, QXPresetManager& manager) {
  const std::string module = presetFolder() + "_category";
  if (!ensureFolder(module + "/Big", 2000)) {
    state.SkipWithError("cannot generate the category");
    return false;
  }
  const std::filesystem::path path(module);
  manager.initialize(path.parent_path().c_str(), path.filename().c_str(), "qxp");
  return true;
}

void BM_GetPresets(benchmark::State& state) {
  QXPresetManager manager;
  if (!categoryManager(state, manager)) return;
  for (auto _ : state) {
    std::deque<QXString> names = manager.getPresets("Big");
    if (names.size() != 2000) state.SkipWithError("wrong preset count");
  }
}
BENCHMARK(BM_GetPresets)->Unit(benchmark::kMicrosecond);

// What listing the presets of a folder needs at the least: readdir and a suffix test.
void BM_ReaddirSuffixAnchor(benchmark::State& state) {
  const std::string folder = presetFolder() + "_category/Big";
  if (!ensureFolder(folder, 2000)) {
    state.SkipWithError("cannot generate the category");
    return;
  }
  for (auto _ : state) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    while (const dirent* entry = ::readdir(dir)) {
      std::string_view name(entry->d_name);
      if (entry->d_type == DT_REG && name.size() > 4 && name.substr(name.size() - 4) == ".qxp")
        names.emplace_back(name.substr(0, name.size() - 4));
    }
    ::closedir(dir);
    if (names.size() != 2000) state.SkipWithError("wrong preset count");
  }
}
BENCHMARK(BM_ReaddirSuffixAnchor)->Unit(benchmark::kMicrosecond);

void BM_LoadCategoryByCustomSortOrder(benchmark::State& state) {
  QXPresetManager manager;
  if (!categoryManager(state, manager)) return;
  CurveFactory factory;
  for (auto _ : state) {
    std::deque<QXPreset*> presets = manager.loadCategoryByCustomSortOrder(&factory, "Big");
    if (presets.size() != 2000) state.SkipWithError("wrong preset count");
    manager.releasePresetList(presets);
  }
}
BENCHMARK(BM_LoadCategoryByCustomSortOrder)->Unit(benchmark::kMillisecond);

// 200 category folders, every tenth excluded, each with one preset file.
std::string categoriesFolder() {
  const std::string module = presetFolder() + "_categories";
  if (::access((module + "/Cat199").c_str(), R_OK) != 0) {
    for (int i = 0; i < 200; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "/Cat%03d", i);
      std::filesystem::create_directories(module + name);
      FILE* f = std::fopen((module + name + (i % 10 == 0 ? "/__exclude" : "/p.qxp")).c_str(), "w");
      if (f != nullptr) std::fclose(f);
    }
  }
  return module;
}

void BM_GetCategories(benchmark::State& state) {
  const std::filesystem::path path(categoriesFolder());
  QXPresetManager manager(path.parent_path().c_str(), path.filename().c_str(), "qxp");
  for (auto _ : state) {
    std::deque<QXString> categories = manager.getCategories();
    if (categories.size() != 180) state.SkipWithError("wrong category count");
  }
}
BENCHMARK(BM_GetCategories)->Unit(benchmark::kMicrosecond);

// The least a category listing needs: readdir and a stat per entry.
void BM_ReaddirStatAnchor(benchmark::State& state) {
  const std::string folder = categoriesFolder();
  for (auto _ : state) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    while (const dirent* entry = ::readdir(dir)) {
      struct stat st;
      if (entry->d_name[0] != '.' && ::fstatat(::dirfd(dir), entry->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode))
        names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    if (names.size() != 200) state.SkipWithError("wrong category count");
  }
}
BENCHMARK(BM_ReaddirStatAnchor)->Unit(benchmark::kMicrosecond);

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
