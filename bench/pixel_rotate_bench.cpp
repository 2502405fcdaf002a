// Turns of an 8000 x 6000 16-bit RGB image (288 MB): QXImageRotate90CW from a memory record into a
// new memory record, and QXImageRotate90CW and QXImageRotate180 from a tiled record into a new
// tiled record under a budget that holds both (1 GiB, so nothing spills). The timed turn includes
// making the result record. Anchors, in the same run: one memcpy of the image's bytes between two
// buffers that are already mapped, and the least any operation that makes a new image pays: a new
// record of the same kind and size filled with QXImageWrite in bands of 256 rows, without turning
// anything. Each makes one result untimed first: the first image of a process takes pages the
// system must find and zero (on a virtual machine, fault in from the host), which later ones reuse,
// and a single timed iteration would count only that.
#include <QXCore/QXImage.h>
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "image_bench_util.h"

namespace {

constexpr int32_t kWidth = 8000;
constexpr int32_t kHeight = 6000;
constexpr int32_t kPlanes = 3;
constexpr size_t kColBytes = 2 * kPlanes;
constexpr size_t kBytes = size_t{kWidth} * kHeight * kColBytes;

std::vector<uint8_t>& Pixels() {
  static std::vector<uint8_t> bytes = [] {
    std::vector<uint8_t> b(kBytes);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 131 + (i >> 13));
    return b;
  }();
  return bytes;
}

QXImageRef MakeSource(int32_t kind) {
  QXImageRef image = nullptr;
  if (QXImageCreateWithParams2(QXRectMake(0, 0, kWidth, kHeight), 16, kPlanes, 2, 0, kind, &image) != 0) return nullptr;
  if (QXImageWrite(image, QXRectMake(0, 0, kWidth, kHeight), 0, -1, Pixels().data(), 0) != 0) {
    QXImageRelease(image);
    return nullptr;
  }
  return image;
}

// Pixel (x, y) of the turned image is source pixel (y, H - 1 - x) after a clockwise quarter turn,
// (W - 1 - x, H - 1 - y) after a half turn.
bool Spot(QXImageRef turned, bool half) {
  const int32_t probes[][2] = {{0, 0}, {1234, 4321}, {kHeight - 1, kHeight - 1}, {5999, 1}};
  for (const auto& p : probes) {
    uint8_t got[kColBytes];
    if (QXImageRead(turned, QXRectMake(p[0], p[1], 1, 1), 0, -1, got, 0) != 0) return false;
    const size_t at = half ? (size_t(kHeight - 1 - p[1]) * kWidth + size_t(kWidth - 1 - p[0])) * kColBytes
                           : (size_t(kHeight - 1 - p[0]) * kWidth + size_t(p[1])) * kColBytes;
    if (std::memcmp(got, Pixels().data() + at, kColBytes) != 0) return false;
  }
  return true;
}

void RunTurn(benchmark::State& state, int32_t kind, bool half = false) {
  QXStatus (*const turn)(QXImageRef, int32_t, QXImageRef*) = half ? QXImageRotate180 : QXImageRotate90CW;
  QXImageRef src = MakeSource(kind);
  if (src == nullptr) {
    state.SkipWithError("the source could not be made");
    return;
  }
  QXImageRef first = nullptr;
  if (turn(src, kind, &first) != 0 || !Spot(first, half)) state.SkipWithError("the first turn failed");
  QXImageRelease(first);
  const QXImageCacheStatistics before = qxbench::CacheStatistics();
  for (auto _ : state) {
    QXImageRef out = nullptr;
    if (turn(src, kind, &out) != 0) {
      state.SkipWithError("the turn failed");
      break;
    }
    state.PauseTiming();
    QXImageRelease(out);
    state.ResumeTiming();
  }
  qxbench::ReportCacheCounters(state, before, qxbench::CacheStatistics());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
  QXImageRelease(src);
}

void BM_Rotate90CWMemory(benchmark::State& state) { RunTurn(state, kQXImageSourceMemory); }
BENCHMARK(BM_Rotate90CWMemory)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Rotate90CWTiled(benchmark::State& state) { RunTurn(state, kQXImageSourceTiled); }
BENCHMARK(BM_Rotate90CWTiled)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Rotate180Tiled(benchmark::State& state) { RunTurn(state, kQXImageSourceTiled, true); }
BENCHMARK(BM_Rotate180Tiled)->Unit(benchmark::kMillisecond)->UseRealTime();

// Makes a new record of `kind` and writes the image's bytes into it, 256 rows at a time.
QXImageRef NewRecord(int32_t kind) {
  const uint8_t* src = Pixels().data();
  QXImageRef out = nullptr;
  if (QXImageCreateWithParams2(QXRectMake(0, 0, kWidth, kHeight), 16, kPlanes, 2, 0, kind, &out) != 0) return nullptr;
  for (int32_t y = 0; y < kHeight; y += kQXImageTileSize) {
    const int32_t rows = kHeight - y < kQXImageTileSize ? kHeight - y : kQXImageTileSize;
    if (QXImageWrite(out, QXRectMake(0, y, kWidth, rows), 0, -1, src + size_t(y) * kWidth * kColBytes, 0) != 0) {
      QXImageRelease(out);
      return nullptr;
    }
  }
  return out;
}

void RunNewRecord(benchmark::State& state, int32_t kind) {
  QXImageRelease(NewRecord(kind));
  for (auto _ : state) {
    QXImageRef out = NewRecord(kind);
    if (out == nullptr) {
      state.SkipWithError("the record could not be made and written");
      break;
    }
    state.PauseTiming();
    QXImageRelease(out);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}

void BM_NewMemoryRecordAnchor(benchmark::State& state) { RunNewRecord(state, kQXImageSourceMemory); }
BENCHMARK(BM_NewMemoryRecordAnchor)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_NewTiledRecordAnchor(benchmark::State& state) { RunNewRecord(state, kQXImageSourceTiled); }
BENCHMARK(BM_NewTiledRecordAnchor)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MemcpyImageBytesAnchor(benchmark::State& state) {
  std::vector<uint8_t> out(kBytes, 1);
  const uint8_t* src = Pixels().data();
  for (auto _ : state) {
    std::memcpy(out.data(), src, kBytes);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}
BENCHMARK(BM_MemcpyImageBytesAnchor)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  // Source and result of the tiled turn both stay in memory.
  return qxbench::ImageBenchMain(argc, argv, 1024.0 * 1024 * 1024, [] {});
}
