// Colour cubes against Little CMS, which they exist to beat: applying a 64-point RGB cube to a
// 4096 x 4096 memory image at 8 and 16 bits against one transform of the same pixels, single
// lookups against single-pixel transforms, and building the cube against one transform of the
// 64^3 grid (including the transform's creation in both); and building a 64^4 CMYK cube on the
// pool's threads against one thread transforming the same grid plane by plane, the peak memory
// above the table reported as extra_MiB.
#include <QXCore/QXColor.h>
#include <benchmark/benchmark.h>
#include <lcms2.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "core/ProgramSupport.h"
#include "tests/color/ColorProfiles.h"

namespace {

constexpr int32_t kSide = 4096;

struct Setup {
  std::vector<uint8_t> srgb = colortest::Save(cmsCreate_sRGBProfile());
  std::vector<uint8_t> adobe = colortest::AdobeRGB();
  std::vector<uint8_t> cmyk = colortest::Save(colortest::CMYK());
  QXColorProfileRef from = Profile(srgb), to = Profile(adobe), ink = Profile(cmyk);
  QXColorCubeRef cube = QXColorCubeCreateFromProfiles(from, to, kQXImageColorSpaceRGB);

  static QXColorProfileRef Profile(const std::vector<uint8_t>& icc) {
    QXColorProfileRef p = QXColorProfileCreate();
    CFDataRef data = CFDataCreate(nullptr, icc.data(), static_cast<CFIndex>(icc.size()));
    QXColorProfileSetICCData(p, data);
    CFRelease(data);
    return p;
  }
  cmsHTRANSFORM Transform(cmsUInt32Number format) const {
    cmsHPROFILE a = cmsOpenProfileFromMem(srgb.data(), static_cast<cmsUInt32Number>(srgb.size()));
    cmsHPROFILE b = cmsOpenProfileFromMem(adobe.data(), static_cast<cmsUInt32Number>(adobe.size()));
    cmsHTRANSFORM t = cmsCreateTransform(a, format, b, format, INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_HIGHRESPRECALC);
    cmsCloseProfile(a);
    cmsCloseProfile(b);
    return t;
  }
};

const Setup& Shared() {
  static const Setup setup;
  return setup;
}

// A photo-like image of random colours, one record per depth, made once.
QXImageRef Image(int32_t depth) {
  static QXImageRef images[2] = {};
  QXImageRef& image = images[depth == 16];
  if (image) return image;
  const QXRect bounds = {0, 0, kSide, kSide};
  QXImageCreateWithParams2(bounds, depth, 3, kQXImageColorSpaceRGB, 0, kQXImageSourceMemory, &image);
  std::mt19937 random(1);
  std::vector<uint8_t> bytes(size_t(kSide) * kSide * 3 * (depth / 8));
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  QXImageWrite(image, bounds, 0, -1, bytes.data(), 0);
  return image;
}

void BM_CubeApply(benchmark::State& state) {
  const int32_t depth = static_cast<int32_t>(state.range(0));
  QXImageRef image = Image(depth);
  for (auto _ : state) benchmark::DoNotOptimize(QXColorCubeApplyToImage(Shared().cube, image));
  state.SetItemsProcessed(state.iterations() * kSide * kSide);
}
BENCHMARK(BM_CubeApply)->Arg(8)->Arg(16)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same pixels through one transform, row by row as the cube reads them.
void BM_LcmsApplyAnchor(benchmark::State& state) {
  const int32_t depth = static_cast<int32_t>(state.range(0));
  QXImageRef image = Image(depth);
  cmsHTRANSFORM t = Shared().Transform(depth == 8 ? TYPE_RGB_8 : TYPE_RGB_16);
  std::vector<uint8_t> row(size_t(kSide) * 3 * (depth / 8));
  for (auto _ : state) {
    for (int32_t y = 0; y < kSide; ++y) {
      const QXRect line = {0, y, kSide, 1};
      QXImageRead(image, line, 0, -1, row.data(), 0);
      cmsDoTransform(t, row.data(), row.data(), kSide);
      QXImageWrite(image, line, 0, -1, row.data(), 0);
    }
  }
  cmsDeleteTransform(t);
  state.SetItemsProcessed(state.iterations() * kSide * kSide);
}
BENCHMARK(BM_LcmsApplyAnchor)->Arg(8)->Arg(16)->Unit(benchmark::kMillisecond)->UseRealTime();

std::vector<uint8_t> Colours() {
  std::mt19937 random(2);
  std::vector<uint8_t> colours(3 * 65536);
  for (auto& c : colours) c = static_cast<uint8_t>(random());
  return colours;
}

void BM_CubeConvertRGBToRGB(benchmark::State& state) {
  const std::vector<uint8_t> colours = Colours();
  uint8_t out[3];
  for (auto _ : state) {
    for (size_t i = 0; i < colours.size(); i += 3) {
      QXColorCubeConvertRGBToRGB(Shared().cube, colours[i], colours[i + 1], colours[i + 2], &out[0], &out[1], &out[2]);
      benchmark::DoNotOptimize(out);
    }
  }
  state.SetItemsProcessed(state.iterations() * 65536);
}
BENCHMARK(BM_CubeConvertRGBToRGB)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_LcmsConvertAnchor(benchmark::State& state) {
  const std::vector<uint8_t> colours = Colours();
  cmsHTRANSFORM t = Shared().Transform(TYPE_RGB_8);
  uint8_t out[3];
  for (auto _ : state) {
    for (size_t i = 0; i < colours.size(); i += 3) {
      cmsDoTransform(t, &colours[i], out, 1);
      benchmark::DoNotOptimize(out);
    }
  }
  cmsDeleteTransform(t);
  state.SetItemsProcessed(state.iterations() * 65536);
}
BENCHMARK(BM_LcmsConvertAnchor)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_CubeBuild(benchmark::State& state) {
  for (auto _ : state) {
    QXColorCubeRef cube = QXColorCubeCreateFromProfiles(Shared().from, Shared().to, kQXImageColorSpaceRGB);
    benchmark::DoNotOptimize(cube);
    QXColorCubeRelease(cube);
  }
}
BENCHMARK(BM_CubeBuild)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_LcmsGridAnchor(benchmark::State& state) {
  std::vector<uint8_t> grid(size_t(64) * 64 * 64 * 4), out(grid.size());
  for (size_t i = 0; i < grid.size() / 4; ++i) {
    grid[i * 4] = static_cast<uint8_t>((i % 64) * 255 / 63);
    grid[i * 4 + 1] = static_cast<uint8_t>((i / 64 % 64) * 255 / 63);
    grid[i * 4 + 2] = static_cast<uint8_t>((i / 4096) * 255 / 63);
  }
  for (auto _ : state) {
    cmsHTRANSFORM t = Shared().Transform(TYPE_RGBA_8);
    cmsDoTransform(t, grid.data(), out.data(), 64 * 64 * 64);
    cmsDeleteTransform(t);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_LcmsGridAnchor)->Unit(benchmark::kMillisecond)->UseRealTime();

constexpr size_t kInkGrid = 64;
constexpr double kInkTableMiB = double(kInkGrid * kInkGrid * kInkGrid * kInkGrid * 3) / (1 << 20);

// extra_MiB is the resident peak the first build added above its table: run this benchmark alone
// (--benchmark_filter=CMYK) so that no other benchmark has set the peak already.
void BM_CubeBuildCMYK(benchmark::State& state) {
  const int64_t before = qx::PeakResidentBytes();
  QXColorCubeRef check = QXColorCubeCreateFromProfiles(Shared().ink, Shared().from, kQXImageColorSpaceCMYK);
  if (check == nullptr || QXColorCubeGetGridSize(check) != int32_t(kInkGrid)) {
    state.SkipWithError("no CMYK cube");
    return;
  }
  QXColorCubeRelease(check);
  const double extra = std::max(0.0, double(qx::PeakResidentBytes() - before) / (1 << 20) - kInkTableMiB);
  for (auto _ : state) {
    QXColorCubeRef cube = QXColorCubeCreateFromProfiles(Shared().ink, Shared().from, kQXImageColorSpaceCMYK);
    benchmark::DoNotOptimize(cube);
    QXColorCubeRelease(cube);
  }
  state.counters["extra_MiB"] = extra;
}
BENCHMARK(BM_CubeBuildCMYK)->Unit(benchmark::kMillisecond)->UseRealTime();

// One thread, one transform, the grid a g x g plane at a time into the same table layout.
void BM_LcmsCMYKGridAnchor(benchmark::State& state) {
  const size_t g = kInkGrid;
  std::vector<uint8_t> v(g), plane(g * g * 4), table(g * g * g * g * 3);
  for (size_t i = 0; i < g; ++i) v[i] = static_cast<uint8_t>(i * 255 / (g - 1));
  for (auto _ : state) {
    cmsHPROFILE a = cmsOpenProfileFromMem(Shared().cmyk.data(), static_cast<cmsUInt32Number>(Shared().cmyk.size()));
    cmsHPROFILE b = cmsOpenProfileFromMem(Shared().srgb.data(), static_cast<cmsUInt32Number>(Shared().srgb.size()));
    cmsHTRANSFORM t =
        cmsCreateTransform(a, TYPE_CMYK_8, b, TYPE_RGB_8, INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_HIGHRESPRECALC);
    cmsCloseProfile(a);
    cmsCloseProfile(b);
    for (size_t c4 = 0; c4 < g; ++c4) {
      for (size_t c3 = 0; c3 < g; ++c3) {
        for (size_t c2 = 0; c2 < g; ++c2) {
          for (size_t c1 = 0; c1 < g; ++c1) {
            uint8_t* px = &plane[(c2 * g + c1) * 4];
            px[0] = uint8_t(~v[c1]), px[1] = uint8_t(~v[c2]), px[2] = uint8_t(~v[c3]), px[3] = uint8_t(~v[c4]);
          }
        }
        cmsDoTransform(t, plane.data(), &table[((c4 * g + c3) * g * g) * 3], cmsUInt32Number(g * g));
      }
    }
    cmsDeleteTransform(t);
    benchmark::DoNotOptimize(table.data());
  }
}
BENCHMARK(BM_LcmsCMYKGridAnchor)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
