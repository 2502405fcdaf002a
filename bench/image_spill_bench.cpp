// Tiles through the disk store: a 16-bit RGB tiled image of about 1 GiB, four times the 256 MiB
// budget, written and then read in full-width bands of 256 rows, so that nearly every tile is
// purged to the store and read back; against pwrite and pread of the same bands to a plain file in
// the same folder. The peak resident set is reported and compared with the budget plus 64 MiB.
#include <QXCore/QXImage.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "image_bench_util.h"

namespace {

constexpr int64_t kBudget = int64_t{256} << 20;
constexpr int64_t kAllowance = int64_t{64} << 20;
constexpr int32_t kSide = 13376;  // 13376 x 13376 x 6 bytes: 4 x 256 MiB, less 256 KiB
constexpr int32_t kColBytes = 6;
constexpr size_t kRowBytes = size_t{kSide} * kColBytes;
constexpr int32_t kBandRows = 256;
constexpr size_t kBandBytes = kRowBytes * kBandRows;
constexpr size_t kImageBytes = kRowBytes * kSide;
constexpr int32_t kTilesAcross = (kSide + kQXImageTileSize - 1) / kQXImageTileSize;

const qxbench::ScratchFolder* gFolder = nullptr;

// One band's worth of pixels, shared by writes and reads so that the process holds a single band
// buffer besides the cache.
std::vector<uint8_t>& Band() {
  static std::vector<uint8_t> bytes = [] {
    std::vector<uint8_t> b(kBandBytes);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 131 + (i >> 11));
    return b;
  }();
  return bytes;
}

int32_t BandHeight(int32_t y) { return y + kBandRows <= kSide ? kBandRows : kSide - y; }

// Each band carries its number in the first sample of every tile column of its first row, so a
// band read back from the wrong place shows.
void Stamp(uint8_t* band, int32_t number) {
  for (int32_t c = 0; c < kTilesAcross; ++c)
    std::memcpy(band + size_t(c) * kQXImageTileSize * kColBytes, &number, sizeof number);
}

bool StampIs(const uint8_t* band, int32_t number) {
  for (int32_t c = 0; c < kTilesAcross; ++c) {
    int32_t found;
    std::memcpy(&found, band + size_t(c) * kQXImageTileSize * kColBytes, sizeof found);
    if (found != number) return false;
  }
  return true;
}

uint64_t Checksum(const std::vector<uint8_t>& bytes) {
  uint64_t h = 1469598103934665603ull;
  const uint64_t* words = reinterpret_cast<const uint64_t*>(bytes.data());
  for (size_t i = 0; i < bytes.size() / 8; ++i) h = (h ^ words[i]) * 1099511628211ull;
  return h;
}

void ReportPeak(benchmark::State& state, const char* what) {
  int64_t peak = qxbench::PeakResidentBytes();
  state.counters["peak_rss_MiB"] = benchmark::Counter(static_cast<double>(peak) / 1048576.0);
  std::fprintf(stderr, "%s: peak RSS %.1f MiB, budget %lld MiB + %lld MiB allowed: %s\n", what,
               static_cast<double>(peak) / 1048576.0, static_cast<long long>(kBudget >> 20),
               static_cast<long long>(kAllowance >> 20), peak <= kBudget + kAllowance ? "within" : "OVER");
}

// One pass through a new image: every band written, then every band read back and checked. An
// empty string when all went well.
const char* ImagePass(std::vector<uint8_t>& band, uint64_t sum) {
  QXImageRef image = nullptr;
  if (QXImageCreateWithParams(QXRectMake(0, 0, kSide, kSide), 16, 3, &image) != 0)
    return "QXImageCreateWithParams failed";
  const char* error = "";
  for (int32_t y = 0, n = 0; *error == 0 && y < kSide; y += kBandRows, ++n) {
    Stamp(band.data(), n);
    if (QXImageWrite(image, QXRectMake(0, y, kSide, BandHeight(y)), 0, -1, band.data(),
                     static_cast<int32_t>(kRowBytes)) != 0)
      error = "QXImageWrite failed";
  }
  for (int32_t y = 0, n = 0; *error == 0 && y < kSide; y += kBandRows, ++n) {
    if (QXImageRead(image, QXRectMake(0, y, kSide, BandHeight(y)), 0, -1, band.data(),
                    static_cast<int32_t>(kRowBytes)) != 0)
      error = "QXImageRead failed";
    else if (!StampIs(band.data(), n))
      error = "a band came back from the wrong place";
  }
  QXImageRelease(image);
  // The last band is short: the rows past the image's edge still hold an earlier band's.
  Stamp(band.data(), 0);
  if (*error == 0 && Checksum(band) != sum) error = "the pixels read back differ from those written";
  return error;
}

void BM_ImageSpillWriteRead(benchmark::State& state) {
  std::vector<uint8_t>& band = Band();
  Stamp(band.data(), 0);
  const uint64_t sum = Checksum(band);
  // An untimed first pass: the first use of this much fresh memory in the machine costs far more
  // than the steady state, for the anchor as much as for us.
  if (const char* error = ImagePass(band, sum); *error != 0) {
    state.SkipWithError(error);
    return;
  }
  QXImageCacheStatistics before = qxbench::CacheStatistics();
  for (auto _ : state) {
    if (const char* error = ImagePass(band, sum); *error != 0) {
      state.SkipWithError(error);
      break;
    }
  }
  QXImageCacheStatistics after = qxbench::CacheStatistics();
  qxbench::ReportCacheCounters(state, before, after);
  state.counters["MiB_reloaded"] = benchmark::Counter(static_cast<double>(after.bytesRead - before.bytesRead) /
                                                      1048576.0 / static_cast<double>(state.iterations()));
  state.counters["peak_cache_MiB"] = benchmark::Counter(static_cast<double>(after.peakUsed) / 1048576.0);
  ReportPeak(state, "image spill");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kImageBytes * 2));
}
BENCHMARK(BM_ImageSpillWriteRead)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

bool WriteAll(int fd, const uint8_t* p, size_t n, off_t at) {
  while (n > 0) {
    ssize_t w = ::pwrite(fd, p, n, at);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    at += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool ReadAll(int fd, uint8_t* p, size_t n, off_t at) {
  while (n > 0) {
    ssize_t r = ::pread(fd, p, n, at);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    at += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// The same bands to and from a new plain file in the cache's folder, removed afterwards as the
// image's store file is.
const char* FilePass(std::vector<uint8_t>& band, const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return "open failed";
  const char* error = "";
  for (int32_t y = 0, n = 0; *error == 0 && y < kSide; y += kBandRows, ++n) {
    Stamp(band.data(), n);
    if (!WriteAll(fd, band.data(), kRowBytes * size_t(BandHeight(y)), off_t(y) * off_t(kRowBytes)))
      error = "pwrite failed";
  }
  for (int32_t y = 0, n = 0; *error == 0 && y < kSide; y += kBandRows, ++n) {
    if (!ReadAll(fd, band.data(), kRowBytes * size_t(BandHeight(y)), off_t(y) * off_t(kRowBytes)))
      error = "pread failed";
    else if (!StampIs(band.data(), n))
      error = "a band came back from the wrong place";
  }
  ::close(fd);
  ::unlink(path.c_str());
  Stamp(band.data(), 0);
  return error;
}

void BM_PwritePreadAnchor(benchmark::State& state) {
  std::vector<uint8_t>& band = Band();
  const std::string path = gFolder->path() + "/anchor";
  if (const char* error = FilePass(band, path); *error != 0) {  // untimed, as for the image
    state.SkipWithError(error);
    return;
  }
  for (auto _ : state) {
    if (const char* error = FilePass(band, path); *error != 0) {
      state.SkipWithError(error);
      break;
    }
  }
  ReportPeak(state, "pwrite/pread");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kImageBytes * 2));
}
BENCHMARK(BM_PwritePreadAnchor)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  return qxbench::ImageBenchMain(argc, argv, static_cast<double>(kBudget), [] {}, &gFolder);
}
