// The interpolating resampler.
//  - A 2:1 reduction of an 8000 x 6000 16-bit RGB image (288 MB) between memory records lent the
//    caller's buffers, against libvips's vips_resize (scale 0.5, linear kernel, 2 threads) on the
//    same pixels held in memory, written into a buffer of its own made beforehand. libvips is
//    linked only when the build found it (QX_HAVE_VIPS); without it the anchor is missing.
//  - The mip chain of a 64-megapixel (8192 x 8192) 16-bit RGB memory record against one 2:1
//    reduction of it (QXImageCreateOneMip level 1): both make their results as new records.
#include <QXCore/QXImage.h>
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#ifdef QX_HAVE_VIPS
#include <vips/vips.h>
#endif

#include "image_bench_util.h"

namespace {

constexpr int32_t kWidth = 8000, kHeight = 6000, kPlanes = 3;
constexpr size_t kSourceSamples = size_t(kWidth) * kHeight * kPlanes;
constexpr size_t kHalfSamples = size_t(kWidth / 2) * (kHeight / 2) * kPlanes;
constexpr int32_t kMipSide = 8192;

// Smooth gradients with some noise: a photograph's statistics matter little to either side, but
// every page is written before timing.
std::vector<uint16_t> Photo(int32_t width, int32_t height) {
  std::vector<uint16_t> v(size_t(width) * size_t(height) * kPlanes);
  uint32_t seed = 12345;
  size_t i = 0;
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x)
      for (int32_t p = 0; p < kPlanes; ++p) {
        seed = seed * 1664525u + 1013904223u;
        v[i++] = uint16_t((x * 7 + y * 5 + p * 9000) + (seed >> 26));
      }
  return v;
}

std::vector<uint16_t>& Source() {
  static std::vector<uint16_t> pixels = Photo(kWidth, kHeight);
  return pixels;
}

std::vector<uint16_t>& Destination() {
  static std::vector<uint16_t> pixels(kHalfSamples, 1);
  return pixels;
}

void BM_ResampleHalf16RGB(benchmark::State& state) {
  QXImageRef source = nullptr, destination = nullptr;
  if (QXImageCreateMemory(QXRectMake(0, 0, kWidth, kHeight), 16, kPlanes, 2, 0, Source().data(), &source) != 0 ||
      QXImageCreateMemory(QXRectMake(0, 0, kWidth / 2, kHeight / 2), 16, kPlanes, 2, 0, Destination().data(),
                          &destination) != 0) {
    state.SkipWithError("the records could not be made");
    return;
  }
  const double cpu = qxbench::ProcessCPUSeconds();
  for (auto _ : state) {
    if (QXImageBlit(source, QXRectMake(0, 0, kWidth, kHeight), destination, QXRectMake(0, 0, kWidth / 2, kHeight / 2),
                    0) != 0) {
      state.SkipWithError("QXImageBlit failed");
      break;
    }
    benchmark::ClobberMemory();
  }
  qxbench::ReportProcessCPU(state, cpu);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kSourceSamples * 2));
  QXImageRelease(source);
  QXImageRelease(destination);
}
BENCHMARK(BM_ResampleHalf16RGB)->Unit(benchmark::kMillisecond)->UseRealTime();

// For information (no comparison): a ratio that takes the general double-precision path.
void BM_ResampleGeneral16RGB(benchmark::State& state) {
  constexpr int32_t w = kWidth * 9 / 16, h = kHeight * 9 / 16;
  QXImageRef source = nullptr, destination = nullptr;
  if (QXImageCreateMemory(QXRectMake(0, 0, kWidth, kHeight), 16, kPlanes, 2, 0, Source().data(), &source) != 0 ||
      QXImageCreateWithParams2(QXRectMake(0, 0, w, h), 16, kPlanes, 2, 0, kQXImageSourceMemory, &destination) != 0) {
    state.SkipWithError("the records could not be made");
    return;
  }
  for (auto _ : state) {
    if (QXImageBlit(source, QXRectMake(0, 0, kWidth, kHeight), destination, QXRectMake(0, 0, w, h), 0) != 0) {
      state.SkipWithError("QXImageBlit failed");
      break;
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kSourceSamples * 2));
  QXImageRelease(source);
  QXImageRelease(destination);
}
BENCHMARK(BM_ResampleGeneral16RGB)->Unit(benchmark::kMillisecond)->UseRealTime();

#ifdef QX_HAVE_VIPS
void BM_VipsResizeHalfAnchor(benchmark::State& state) {
  static const bool started = VIPS_INIT("pixel_resample_bench") == 0;
  if (!started) {
    state.SkipWithError("libvips did not start");
    return;
  }
  vips_concurrency_set(2);
  vips_cache_set_max(0);  // no reuse of earlier results
  VipsImage* in =
      vips_image_new_from_memory(Source().data(), kSourceSamples * 2, kWidth, kHeight, kPlanes, VIPS_FORMAT_USHORT);
  if (in == nullptr) {
    state.SkipWithError("vips_image_new_from_memory failed");
    return;
  }
  in->Type = VIPS_INTERPRETATION_RGB16;
  const double cpu = qxbench::ProcessCPUSeconds();
  for (auto _ : state) {
    VipsImage* out = nullptr;
    VipsImage* target = vips_image_new_from_memory(Destination().data(), kHalfSamples * 2, kWidth / 2, kHeight / 2,
                                                   kPlanes, VIPS_FORMAT_USHORT);
    if (vips_resize(in, &out, 0.5, "kernel", VIPS_KERNEL_LINEAR, nullptr) != 0 || target == nullptr ||
        out->Xsize != kWidth / 2 || out->Ysize != kHeight / 2 || vips_image_write(out, target) != 0) {
      state.SkipWithError(vips_error_buffer());
      if (out) g_object_unref(out);
      if (target) g_object_unref(target);
      break;
    }
    g_object_unref(out);
    g_object_unref(target);
    benchmark::ClobberMemory();
  }
  qxbench::ReportProcessCPU(state, cpu);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kSourceSamples * 2));
  g_object_unref(in);
}
BENCHMARK(BM_VipsResizeHalfAnchor)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

QXImageRef MipSource() {
  static QXImageRef image = [] {
    QXImageRef img = nullptr;
    if (QXImageCreateWithParams2(QXRectMake(0, 0, kMipSide, kMipSide), 16, kPlanes, 2, 0, kQXImageSourceMemory, &img) !=
        0)
      return static_cast<QXImageRef>(nullptr);
    const std::vector<uint16_t> pixels = Photo(kMipSide, kMipSide);
    if (QXImageWrite(img, QXRectMake(0, 0, kMipSide, kMipSide), 0, -1, pixels.data(), 0) != 0) {
      QXImageRelease(img);
      return static_cast<QXImageRef>(nullptr);
    }
    return img;
  }();
  return image;
}

void BM_MipChain64MP(benchmark::State& state) {
  QXImageRef image = MipSource();
  if (image == nullptr) {
    state.SkipWithError("the image could not be made");
    return;
  }
  CFIndex levels = 0;
  for (auto _ : state) {
    CFArrayRef mips = nullptr;
    const QXStatus status = QXImageCreateMips(image, &mips);
    levels = mips ? CFArrayGetCount(mips) : 0;
    if (mips) CFRelease(mips);
    if (status != 0) {
      state.SkipWithError("QXImageCreateMips failed");
      break;
    }
  }
  state.counters["levels"] = double(levels);
}
BENCHMARK(BM_MipChain64MP)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_OneMip64MPAnchor(benchmark::State& state) {
  QXImageRef image = MipSource();
  if (image == nullptr) {
    state.SkipWithError("the image could not be made");
    return;
  }
  for (auto _ : state) {
    QXImageRef mip = nullptr;
    if (QXImageCreateOneMip(image, 1, &mip) != 0) {
      state.SkipWithError("QXImageCreateOneMip failed");
      break;
    }
    QXImageRelease(mip);
  }
}
BENCHMARK(BM_OneMip64MPAnchor)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
