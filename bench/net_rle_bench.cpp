// Run-length coding of photo-like 16-bit RGB rows against memcpy of the same bytes. The image is a smooth
// gradient with a little sensor-like noise in the low bits and a flat, clipped sky band at the top, so both
// literal and run packets occur. 1024 x 1024 pixels, 6 MiB.
#include <QXCore/QXUtils.h>
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr size_t kWidth = 1024;
constexpr size_t kHeight = 1024;
constexpr size_t kBytes = kWidth * kHeight * 3 * sizeof(uint16_t);

const std::vector<uint8_t>& photoRows() {
  static const std::vector<uint8_t> bytes = [] {
    std::vector<uint16_t> px(kWidth * kHeight * 3);
    std::mt19937 rng(42);
    for (size_t y = 0; y < kHeight; ++y) {
      for (size_t x = 0; x < kWidth; ++x) {
        uint16_t* p = &px[(y * kWidth + x) * 3];
        if (y < kHeight / 8) {  // clipped highlights
          p[0] = p[1] = p[2] = 0xFFFF;
          continue;
        }
        const uint32_t base = static_cast<uint32_t>(x * 40 + y * 20);
        for (uint32_t c = 0; c < 3; ++c) {
          const uint32_t noise = rng() % 16;
          p[c] = static_cast<uint16_t>((base * (c + 1) / 2 + noise) & 0xFFFF);
        }
      }
    }
    std::vector<uint8_t> out(kBytes);
    std::memcpy(out.data(), px.data(), kBytes);
    return out;
  }();
  return bytes;
}

void BM_RLECompress(benchmark::State& state) {
  const std::vector<uint8_t>& src = photoRows();
  std::vector<uint8_t> dst(kBytes + kBytes / 127 + 3);
  uint64_t written = 0;
  for (auto _ : state) {
    written = QXUtilsRLECompress(src.data(), dst.data(), src.size());
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
  state.counters["ratio"] = static_cast<double>(written) / static_cast<double>(kBytes);
}
BENCHMARK(BM_RLECompress)->Unit(benchmark::kMicrosecond);

void BM_RLEDecompress(benchmark::State& state) {
  const std::vector<uint8_t>& src = photoRows();
  std::vector<uint8_t> packed(kBytes + kBytes / 127 + 3);
  packed.resize(QXUtilsRLECompress(src.data(), packed.data(), src.size()));
  std::vector<uint8_t> dst(kBytes);
  for (auto _ : state) {
    QXUtilsRLEDecompress(packed.data(), packed.size(), dst.data(), dst.size());
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  if (dst != src) state.SkipWithError("round trip changed the bytes");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}
BENCHMARK(BM_RLEDecompress)->Unit(benchmark::kMicrosecond);

void BM_Memcpy(benchmark::State& state) {
  const std::vector<uint8_t>& src = photoRows();
  std::vector<uint8_t> dst(kBytes);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), kBytes);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
