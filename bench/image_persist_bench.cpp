// Saving and loading: QXImageSaveToStream of a photo-like 64-megapixel 16-bit RGB image (smooth
// gradients per channel plus uniform noise of +-32 levels) into a memory stream, and
// QXImageCreateFromStream back from it, with a budget that holds everything; against compress2 at
// level 6 of the same 972 tiles on one thread (and libdeflate's zlib format at level 6, the
// library's own codec, on one thread), and uncompress of them into freshly allocated buffers. The
// compression ratio (raw bytes / stream bytes) is a counter.
#include <QXCore/QXImage.h>
#include <QXCore/QXStream.h>
#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "image_bench_util.h"

namespace {

constexpr int32_t kWidth = 9216;   // 36 tiles
constexpr int32_t kHeight = 6912;  // 27 tiles
constexpr int32_t kColBytes = 6;
constexpr size_t kRowBytes = size_t{kWidth} * kColBytes;
constexpr int32_t kTile = kQXImageTileSize;
constexpr int32_t kTilesAcross = kWidth / kTile;
constexpr int32_t kTilesDown = kHeight / kTile;
constexpr size_t kTileRowBytes = size_t{kTile} * kColBytes;
constexpr size_t kTileBytes = kTileRowBytes * kTile;  // 393,216
constexpr size_t kTileCount = size_t{kTilesAcross} * kTilesDown;
constexpr size_t kRawBytes = kTileBytes * kTileCount;

// Rows y0 ... y0 + rows - 1 of the photo, packed. Each channel is a smooth ramp in both directions
// with its own slopes; a SplitMix64 stream seeded by the row adds noise of -32 ... +32.
void PhotoRows(int32_t y0, int32_t rows, uint16_t* out) {
  for (int32_t y = y0; y < y0 + rows; ++y) {
    uint64_t state = 0x9E3779B97F4A7C15ull * static_cast<uint64_t>(y + 1);
    for (int32_t x = 0; x < kWidth; ++x) {
      for (int32_t c = 0; c < 3; ++c) {
        state += 0x9E3779B97F4A7C15ull;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        int32_t noise = static_cast<int32_t>(z % 65) - 32;
        double fx = static_cast<double>(x) / kWidth, fy = static_cast<double>(y) / kHeight;
        double smooth = 4000.0 + 9000.0 * c + (30000.0 - 8000.0 * c) * fx * (1.0 - 0.3 * fy) + 14000.0 * fy * fy;
        int32_t v = static_cast<int32_t>(smooth) + noise;
        *out++ = static_cast<uint16_t>(std::clamp(v, 0, 65535));
      }
    }
  }
}

struct Photo {
  QXImageRef image = nullptr;
  std::vector<uint8_t> tiles;     // the image's tiles in row-major order
  std::vector<uint8_t> deflated;  // compress2 of each tile, one after the other (the anchor's input)
  std::vector<size_t> ends;       // where each tile's stream ends in `deflated`
  CFDataRef saved = nullptr;      // QXImageSaveToStream output, kept by the first save
  const char* error = nullptr;
};

Photo* gPhoto = nullptr;  // set once the photo exists

Photo& ThePhoto() {
  static Photo photo = [] {
    Photo p;
    if (QXImageCreateWithParams(QXRectMake(0, 0, kWidth, kHeight), 16, 3, &p.image) != 0) {
      p.error = "QXImageCreateWithParams failed";
      return p;
    }
    std::vector<uint16_t> band(size_t{kWidth} * 3 * kTile);
    for (int32_t y = 0; y < kHeight; y += kTile) {
      PhotoRows(y, kTile, band.data());
      if (QXImageWrite(p.image, QXRectMake(0, y, kWidth, kTile), 0, -1, band.data(), static_cast<int32_t>(kRowBytes)) !=
          0) {
        p.error = "QXImageWrite failed";
        return p;
      }
    }
    p.tiles.resize(kRawBytes);
    for (int32_t r = 0; r < kTilesDown; ++r)
      for (int32_t c = 0; c < kTilesAcross; ++c) {
        uint8_t* tile = p.tiles.data() + (size_t(r) * kTilesAcross + size_t(c)) * kTileBytes;
        if (QXImageRead(p.image, QXRectMake(c * kTile, r * kTile, kTile, kTile), 0, -1, tile,
                        static_cast<int32_t>(kTileRowBytes)) != 0) {
          p.error = "QXImageRead failed";
          return p;
        }
      }
    return p;
  }();
  gPhoto = &photo;
  return photo;
}

// The loaded image holds exactly the photo's pixels.
bool LoadMatches(const Photo& p) {
  QXStreamRef stream = QXStreamCreateForData(p.saved);
  QXStreamOpen(stream);
  QXImageRef loaded = nullptr;
  bool ok = QXImageCreateFromStream(stream, 0, &loaded) == 0 && loaded != nullptr &&
            QXImageGetWidth(loaded) == kWidth && QXImageGetHeight(loaded) == kHeight;
  QXStreamRelease(stream);
  std::vector<uint16_t> want(size_t{kWidth} * 3 * kTile), got(want.size());
  for (int32_t y = 0; ok && y < kHeight; y += kTile) {
    PhotoRows(y, kTile, want.data());
    ok =
        QXImageRead(loaded, QXRectMake(0, y, kWidth, kTile), 0, -1, got.data(), static_cast<int32_t>(kRowBytes)) == 0 &&
        want == got;
  }
  if (loaded != nullptr) QXImageRelease(loaded);
  return ok;
}

// compress2 at level 6 of each tile in turn, appended to `out` (ends[i]: the end of tile i).
bool Deflate(const std::vector<uint8_t>& tiles, std::vector<uint8_t>& out, std::vector<size_t>& ends) {
  std::vector<uint8_t> scratch(compressBound(kTileBytes));
  for (size_t i = 0; i < kTileCount; ++i) {
    uLongf n = scratch.size();
    if (compress2(scratch.data(), &n, tiles.data() + i * kTileBytes, kTileBytes, 6) != Z_OK) return false;
    out.insert(out.end(), scratch.begin(), scratch.begin() + static_cast<ptrdiff_t>(n));
    ends.push_back(out.size());
  }
  return true;
}

double Ratio(size_t compressed) { return static_cast<double>(kRawBytes) / static_cast<double>(compressed); }

void BM_ImageSaveToStream(benchmark::State& state) {
  Photo& p = ThePhoto();
  if (p.error != nullptr) {
    state.SkipWithError(p.error);
    return;
  }
  QXImageCacheStatistics before = qxbench::CacheStatistics();
  CFIndex length = 0;
  const double cpuStart = qxbench::ProcessCPUSeconds();
  for (auto _ : state) {
    QXStreamRef stream = QXStreamCreateForData(nullptr);
    QXStreamOpen(stream);
    if (QXImageSaveToStream(p.image, stream) != 0) {
      state.SkipWithError("QXImageSaveToStream failed");
      QXStreamRelease(stream);
      break;
    }
    CFDataRef data = QXStreamGetData(stream);
    length = CFDataGetLength(data);
    if (p.saved == nullptr) p.saved = static_cast<CFDataRef>(CFRetain(data));
    QXStreamRelease(stream);
  }
  qxbench::ReportCacheCounters(state, before, qxbench::CacheStatistics());
  state.counters["compression_ratio"] = Ratio(static_cast<size_t>(length));
  qxbench::ReportProcessCPU(state, cpuStart);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kRawBytes));
}
BENCHMARK(BM_ImageSaveToStream)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

void BM_Compress2TilesAnchor(benchmark::State& state) {
  Photo& p = ThePhoto();
  if (p.error != nullptr) {
    state.SkipWithError(p.error);
    return;
  }
  size_t length = 0;
  const double cpuStart = qxbench::ProcessCPUSeconds();
  for (auto _ : state) {
    std::vector<uint8_t> out;  // grows as a memory stream would
    std::vector<size_t> ends;
    if (!Deflate(p.tiles, out, ends)) {
      state.SkipWithError("compress2 failed");
      break;
    }
    length = out.size();
    benchmark::DoNotOptimize(out.data());
    if (p.ends.empty()) {
      p.deflated = std::move(out);
      p.ends = std::move(ends);
    }
  }
  state.counters["compression_ratio"] = Ratio(length);
  qxbench::ReportProcessCPU(state, cpuStart);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kRawBytes));
}
BENCHMARK(BM_Compress2TilesAnchor)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

// One compressor for all tiles, made outside the timing as the library keeps one per thread.
void BM_LibdeflateTilesAnchor(benchmark::State& state) {
  Photo& p = ThePhoto();
  libdeflate_compressor* compressor = libdeflate_alloc_compressor(6);
  if (p.error != nullptr || compressor == nullptr) {
    state.SkipWithError(p.error != nullptr ? p.error : "libdeflate_alloc_compressor failed");
    if (compressor != nullptr) libdeflate_free_compressor(compressor);
    return;
  }
  std::vector<uint8_t> scratch(libdeflate_zlib_compress_bound(compressor, kTileBytes));
  size_t length = 0;
  const double cpuStart = qxbench::ProcessCPUSeconds();
  for (auto _ : state) {
    std::vector<uint8_t> out;  // grows as a memory stream would
    bool ok = true;
    for (size_t i = 0; ok && i < kTileCount; ++i) {
      size_t n = libdeflate_zlib_compress(compressor, p.tiles.data() + i * kTileBytes, kTileBytes, scratch.data(),
                                          scratch.size());
      ok = n != 0;
      out.insert(out.end(), scratch.begin(), scratch.begin() + static_cast<ptrdiff_t>(n));
    }
    if (!ok) {
      state.SkipWithError("libdeflate_zlib_compress failed");
      break;
    }
    length = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  libdeflate_free_compressor(compressor);
  state.counters["compression_ratio"] = Ratio(length);
  qxbench::ReportProcessCPU(state, cpuStart);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kRawBytes));
}
BENCHMARK(BM_LibdeflateTilesAnchor)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

void BM_ImageCreateFromStream(benchmark::State& state) {
  Photo& p = ThePhoto();
  if (p.error != nullptr) {
    state.SkipWithError(p.error);
    return;
  }
  if (p.saved == nullptr) {  // run without the save benchmark
    QXStreamRef stream = QXStreamCreateForData(nullptr);
    QXStreamOpen(stream);
    if (QXImageSaveToStream(p.image, stream) == 0) p.saved = static_cast<CFDataRef>(CFRetain(QXStreamGetData(stream)));
    QXStreamRelease(stream);
    if (p.saved == nullptr) {
      state.SkipWithError("QXImageSaveToStream failed");
      return;
    }
  }
  if (!LoadMatches(p)) {
    state.SkipWithError("the loaded image differs from the saved one");
    return;
  }
  QXImageCacheStatistics before = qxbench::CacheStatistics();
  const double cpuStart = qxbench::ProcessCPUSeconds();
  for (auto _ : state) {
    QXStreamRef stream = QXStreamCreateForData(p.saved);
    QXStreamOpen(stream);
    QXImageRef loaded = nullptr;
    int32_t status = QXImageCreateFromStream(stream, 0, &loaded);
    QXStreamRelease(stream);
    if (status != 0 || loaded == nullptr) {
      state.SkipWithError("QXImageCreateFromStream failed");
      break;
    }
    QXImageRelease(loaded);
  }
  qxbench::ReportCacheCounters(state, before, qxbench::CacheStatistics());
  state.counters["compression_ratio"] = Ratio(static_cast<size_t>(CFDataGetLength(p.saved)));
  qxbench::ReportProcessCPU(state, cpuStart);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kRawBytes));
}
BENCHMARK(BM_ImageCreateFromStream)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_UncompressTilesAnchor(benchmark::State& state) {
  Photo& p = ThePhoto();
  if (p.error != nullptr) {
    state.SkipWithError(p.error);
    return;
  }
  // The compress2 anchor leaves its output; run alone, this makes it.
  if (p.ends.empty() && !Deflate(p.tiles, p.deflated, p.ends)) {
    state.SkipWithError("compress2 failed");
    return;
  }
  auto start = [&](size_t i) { return i == 0 ? size_t{0} : p.ends[i - 1]; };
  std::vector<uint8_t*> buffers(kTileCount);
  const double cpuStart = qxbench::ProcessCPUSeconds();
  for (auto _ : state) {
    bool ok = true;
    for (size_t i = 0; i < kTileCount; ++i) {
      buffers[i] = static_cast<uint8_t*>(std::malloc(kTileBytes));
      uLongf n = kTileBytes;
      ok = ok && buffers[i] != nullptr &&
           uncompress(buffers[i], &n, p.deflated.data() + start(i), p.ends[i] - start(i)) == Z_OK && n == kTileBytes;
    }
    benchmark::DoNotOptimize(buffers.data());
    for (uint8_t* b : buffers) std::free(b);
    if (!ok) {
      state.SkipWithError("uncompress failed");
      break;
    }
  }
  qxbench::ReportProcessCPU(state, cpuStart);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kRawBytes));
}
BENCHMARK(BM_UncompressTilesAnchor)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  // The photo, its loaded copies and the pool's spare blocks all stay in memory.
  return qxbench::ImageBenchMain(argc, argv, 4.0 * 1024 * 1024 * 1024, [] {
    if (gPhoto != nullptr && gPhoto->saved != nullptr) CFRelease(gPhoto->saved);
    if (gPhoto != nullptr && gPhoto->image != nullptr) QXImageRelease(gPhoto->image);
  });
}
