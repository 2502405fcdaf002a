// Transfers on resident tiles: QXImageRead and QXImageWrite of a 4096 x 4096 8-bit RGBA rectangle
// (64 MiB) between a tiled record whose tiles are all in memory and a packed buffer, against
// copying the same 4096 rows of 16 KiB with memcpy: from and to a tile-like layout (256 x 256
// blocks, 1 KiB rows), which is the least a tiled transfer must do, and between two plain buffers
// of different row strides.
#include <QXCore/QXImage.h>
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "image_bench_util.h"

namespace {

constexpr int32_t kSide = 4096;
constexpr int32_t kPlanes = 4;
constexpr size_t kRowBytes = size_t{kSide} * kPlanes;  // 16 KiB
constexpr size_t kBytes = kRowBytes * kSide;           // 64 MiB
constexpr size_t kTileRowBytes = size_t{kQXImageTileSize} * kPlanes;
constexpr size_t kTileBytes = kTileRowBytes * kQXImageTileSize;
constexpr int32_t kTilesAcross = kSide / kQXImageTileSize;

std::vector<uint8_t> Pattern() {
  std::vector<uint8_t> b(kBytes);
  for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 131 + (i >> 12));
  return b;
}

// The packed caller's buffer; written once so every page is mapped before timing.
std::vector<uint8_t>& Packed() {
  static std::vector<uint8_t> bytes = Pattern();
  return bytes;
}

// The tiled record, every tile written once and therefore resident; made on first use.
QXImageRef gImage = nullptr;

QXImageRef Image() {
  static bool made = [] {
    QXImageRef img = nullptr;
    if (QXImageCreateWithParams(QXRectMake(0, 0, kSide, kSide), 8, kPlanes, &img) != 0) return false;
    if (QXImageWrite(img, QXRectMake(0, 0, kSide, kSide), 0, -1, Packed().data(), static_cast<int32_t>(kRowBytes)) !=
        0) {
      QXImageRelease(img);
      return false;
    }
    gImage = img;
    return true;
  }();
  return made ? gImage : nullptr;
}

bool AllResident(QXImageRef image) {
  for (int32_t r = 0; r < kTilesAcross; ++r)
    for (int32_t c = 0; c < kTilesAcross; ++c)
      if (!QXImageGetTileLoaded(image, r, c)) return false;
  return true;
}

void BM_ImageWrite(benchmark::State& state) {
  QXImageRef image = Image();
  if (image == nullptr || !AllResident(image)) {
    state.SkipWithError("the image could not be made resident");
    return;
  }
  const uint8_t* src = Packed().data();
  QXImageCacheStatistics before = qxbench::CacheStatistics();
  for (auto _ : state) {
    if (QXImageWrite(image, QXRectMake(0, 0, kSide, kSide), 0, -1, src, static_cast<int32_t>(kRowBytes)) != 0) {
      state.SkipWithError("QXImageWrite failed");
      break;
    }
    benchmark::ClobberMemory();
  }
  qxbench::ReportCacheCounters(state, before, qxbench::CacheStatistics());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}
BENCHMARK(BM_ImageWrite)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ImageRead(benchmark::State& state) {
  QXImageRef image = Image();
  if (image == nullptr || !AllResident(image)) {
    state.SkipWithError("the image could not be made resident");
    return;
  }
  std::vector<uint8_t> out(kBytes, 1);
  QXImageCacheStatistics before = qxbench::CacheStatistics();
  for (auto _ : state) {
    if (QXImageRead(image, QXRectMake(0, 0, kSide, kSide), 0, -1, out.data(), static_cast<int32_t>(kRowBytes)) != 0) {
      state.SkipWithError("QXImageRead failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  qxbench::ReportCacheCounters(state, before, qxbench::CacheStatistics());
  if (std::memcmp(out.data(), Packed().data(), kBytes) != 0) state.SkipWithError("read back other pixels");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}
BENCHMARK(BM_ImageRead)->Unit(benchmark::kMillisecond)->UseRealTime();

// Tile layout: 16 x 16 blocks of 256 KiB, each holding 256 rows of 1 KiB.
uint8_t* TileRow(uint8_t* tiles, size_t y, size_t tx) {
  return tiles + ((y / kQXImageTileSize) * kTilesAcross + tx) * kTileBytes + (y % kQXImageTileSize) * kTileRowBytes;
}

void BM_TileLayoutMemcpyWriteAnchor(benchmark::State& state) {
  std::vector<uint8_t> tiles(kBytes, 1);
  const uint8_t* src = Packed().data();
  for (auto _ : state) {
    for (size_t y = 0; y < size_t{kSide}; ++y)
      for (size_t tx = 0; tx < size_t{kTilesAcross}; ++tx)
        std::memcpy(TileRow(tiles.data(), y, tx), src + y * kRowBytes + tx * kTileRowBytes, kTileRowBytes);
    benchmark::DoNotOptimize(tiles.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}
BENCHMARK(BM_TileLayoutMemcpyWriteAnchor)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TileLayoutMemcpyReadAnchor(benchmark::State& state) {
  std::vector<uint8_t> tiles = Pattern();
  std::vector<uint8_t> out(kBytes, 1);
  for (auto _ : state) {
    for (size_t y = 0; y < size_t{kSide}; ++y)
      for (size_t tx = 0; tx < size_t{kTilesAcross}; ++tx)
        std::memcpy(out.data() + y * kRowBytes + tx * kTileRowBytes, TileRow(tiles.data(), y, tx), kTileRowBytes);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}
BENCHMARK(BM_TileLayoutMemcpyReadAnchor)->Unit(benchmark::kMillisecond)->UseRealTime();

// 16 KiB rows from a buffer whose rows are 4 KiB apart more than the destination's.
void BM_RowStrideMemcpyAnchor(benchmark::State& state) {
  constexpr size_t kPaddedRowBytes = kRowBytes + 4096;
  std::vector<uint8_t> src(kPaddedRowBytes * kSide, 2);
  std::vector<uint8_t> out(kBytes, 1);
  for (auto _ : state) {
    for (size_t y = 0; y < size_t{kSide}; ++y)
      std::memcpy(out.data() + y * kRowBytes, src.data() + y * kPaddedRowBytes, kRowBytes);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}
BENCHMARK(BM_RowStrideMemcpyAnchor)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  // Room for the whole image: nothing may leave memory while the transfers are timed.
  return qxbench::ImageBenchMain(argc, argv, 1024.0 * 1024 * 1024, [] {
    if (gImage != nullptr) QXImageRelease(gImage);
  });
}
