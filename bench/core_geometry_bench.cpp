// Calls per second of the two geometry functions the image engine runs per tile and per draw: the bounding
// rectangle of a transformed integer rectangle, and integer rectangle intersection. Inputs cycle through a small
// array so that nothing is folded into a constant.
#include <QXCore/QXUtils.h>
#include <benchmark/benchmark.h>

#include <array>
#include <cstddef>

namespace {

constexpr size_t kCount = 64;  // a power of two, so the index wraps with a mask

std::array<QXRect, kCount> sampleRects() {
  std::array<QXRect, kCount> rects{};
  for (size_t i = 0; i < kCount; ++i) {
    const auto n = static_cast<int32_t>(i);
    rects[i] = QXRectMake(n * 37 % 512 - 128, n * 53 % 384 - 64, 64 + n * 29 % 700, 48 + n * 41 % 600);
  }
  return rects;
}

void BM_QXAffineTransformTransformRect(benchmark::State& state) {
  const std::array<QXRect, kCount> rects = sampleRects();
  std::array<QXAffineTransform, kCount> transforms{};
  for (size_t i = 0; i < kCount; ++i) {
    const auto f = static_cast<float>(i);
    transforms[i] = QXAffineTransformMake(f * 7.5f, 1.0f + f / 64.0f, 0.75f + f / 128.0f, 100.0f, 80.0f, f, -f);
  }
  size_t i = 0;
  for (auto _ : state) {
    QXRect r = QXAffineTransformTransformRect(rects[i], transforms[(i * 7) & (kCount - 1)]);
    benchmark::DoNotOptimize(r);
    i = (i + 1) & (kCount - 1);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_QXAffineTransformTransformRect);

void BM_QXRectIntersect(benchmark::State& state) {
  const std::array<QXRect, kCount> rects = sampleRects();
  size_t i = 0;
  for (auto _ : state) {
    QXRect r = QXRectIntersect(rects[i], rects[(i * 5 + 3) & (kCount - 1)]);
    benchmark::DoNotOptimize(r);
    i = (i + 1) & (kCount - 1);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_QXRectIntersect);

}  // namespace

BENCHMARK_MAIN();
