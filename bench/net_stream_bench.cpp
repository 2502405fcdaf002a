// Streams against the plain equivalents, in the same run: sequential 4 KiB writes into a memory
// stream against appending to a std::vector<char>, and 1 MiB chunk writes and reads through a file
// stream against fwrite and fread on the same temporary file; the zlib codec compressing 16-bit RGB
// tiles into a memory stream against zlib's compress2 at the same level into a plain buffer.
#include <QXCore/QXStream.h>
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr size_t kSmall = 4096;
constexpr size_t kMemoryTotal = 16u << 20;  // 16 MiB per iteration
constexpr size_t kChunk = 1u << 20;
constexpr size_t kFileTotal = 64u << 20;  // 64 MiB per iteration

// 1 MiB of varied bytes; the 4 KiB writes use its start.
const std::vector<char>& Payload() {
  static std::vector<char> bytes = [] {
    std::vector<char> b(kChunk);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<char>(i * 131 + (i >> 9));
    return b;
  }();
  return bytes;
}

// One temporary file per process, removed at exit.
class TempFile {
 public:
  TempFile() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qxbench-stream-XXXXXX").string();
    int fd = mkstemp(pattern.data());
    if (fd < 0) abort();
    ::close(fd);
    mPath = pattern;
  }
  ~TempFile() { std::filesystem::remove(mPath); }
  const std::string& path() const { return mPath; }

 private:
  std::string mPath;
};

const std::string& ThePath() {
  static TempFile file;
  return file.path();
}

CFURLRef TheURL() {
  static CFURLRef url = CFURLCreateFromFileSystemRepresentation(
      nullptr, reinterpret_cast<const UInt8*>(ThePath().data()), static_cast<CFIndex>(ThePath().size()), false);
  return url;
}

void Fill() {
  std::FILE* f = std::fopen(ThePath().c_str(), "wb");
  for (size_t done = 0; done < kFileTotal; done += kChunk) std::fwrite(Payload().data(), 1, kChunk, f);
  std::fclose(f);
}

void BM_MemoryStreamWrite4K(benchmark::State& state) {
  const char* bytes = Payload().data();
  for (auto _ : state) {
    QXStreamRef s = QXStreamCreateForData(nullptr);
    QXStreamOpen(s);
    for (size_t done = 0; done < kMemoryTotal; done += kSmall)
      if (QXStreamWrite(s, bytes, kSmall) != 0) state.SkipWithError("write");
    benchmark::DoNotOptimize(CFDataGetBytePtr(QXStreamGetData(s)));
    QXStreamRelease(s);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMemoryTotal));
}
BENCHMARK(BM_MemoryStreamWrite4K)->Unit(benchmark::kMillisecond);

void BM_VectorAppend4KAnchor(benchmark::State& state) {
  const char* bytes = Payload().data();
  for (auto _ : state) {
    std::vector<char> v;
    for (size_t done = 0; done < kMemoryTotal; done += kSmall) v.insert(v.end(), bytes, bytes + kSmall);
    benchmark::DoNotOptimize(v.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMemoryTotal));
}
BENCHMARK(BM_VectorAppend4KAnchor)->Unit(benchmark::kMillisecond);

void BM_FileStreamWrite1M(benchmark::State& state) {
  const char* bytes = Payload().data();
  for (auto _ : state) {
    QXStreamRef s = QXStreamCreateForFile(TheURL(), CFSTR("wb"));
    if (QXStreamOpen(s) != 0) state.SkipWithError("open");
    for (size_t done = 0; done < kFileTotal; done += kChunk)
      if (QXStreamWrite(s, bytes, kChunk) != 0) state.SkipWithError("write");
    QXStreamClose(s);
    QXStreamRelease(s);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileTotal));
}
BENCHMARK(BM_FileStreamWrite1M)->Unit(benchmark::kMillisecond);

void BM_FwriteAnchor(benchmark::State& state) {
  const char* bytes = Payload().data();
  for (auto _ : state) {
    std::FILE* f = std::fopen(ThePath().c_str(), "wbe");
    if (f == nullptr) state.SkipWithError("open");
    for (size_t done = 0; done < kFileTotal; done += kChunk)
      if (std::fwrite(bytes, 1, kChunk, f) != kChunk) state.SkipWithError("write");
    std::fclose(f);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileTotal));
}
BENCHMARK(BM_FwriteAnchor)->Unit(benchmark::kMillisecond);

void BM_FileStreamRead1M(benchmark::State& state) {
  Fill();
  std::vector<char> buffer(kChunk);
  for (auto _ : state) {
    QXStreamRef s = QXStreamCreateForFile(TheURL(), CFSTR("rb"));
    if (QXStreamOpen(s) != 0) state.SkipWithError("open");
    uint64_t count = 0;
    for (size_t done = 0; done < kFileTotal; done += kChunk)
      if (QXStreamRead(s, buffer.data(), kChunk, &count) != 0 || count != kChunk) state.SkipWithError("read");
    benchmark::DoNotOptimize(buffer.data());
    QXStreamClose(s);
    QXStreamRelease(s);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileTotal));
}
BENCHMARK(BM_FileStreamRead1M)->Unit(benchmark::kMillisecond);

void BM_FreadAnchor(benchmark::State& state) {
  Fill();
  std::vector<char> buffer(kChunk);
  for (auto _ : state) {
    std::FILE* f = std::fopen(ThePath().c_str(), "rbe");
    if (f == nullptr) state.SkipWithError("open");
    for (size_t done = 0; done < kFileTotal; done += kChunk)
      if (std::fread(buffer.data(), 1, kChunk, f) != kChunk) state.SkipWithError("read");
    benchmark::DoNotOptimize(buffer.data());
    std::fclose(f);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileTotal));
}
BENCHMARK(BM_FreadAnchor)->Unit(benchmark::kMillisecond);

// A 256 x 256 tile of 16-bit RGB with smooth gradients and sensor-like noise.
const std::vector<char>& Tile() {
  static std::vector<char> bytes = [] {
    std::vector<char> b(256 * 256 * 6);
    uint32_t seed = 12345;
    for (size_t i = 0; i < 256 * 256; ++i) {
      seed = seed * 1103515245u + 12345u;
      for (int c = 0; c < 3; ++c) {
        auto v = static_cast<uint16_t>((i % 256) * 150 + (i / 256) * 60 + c * 5000 + ((seed >> 16) & 0x3f));
        std::memcpy(&b[i * 6 + c * 2], &v, 2);
      }
    }
    return b;
  }();
  return bytes;
}

void BM_LZWCompressTile(benchmark::State& state) {
  const std::vector<char>& tile = Tile();
  for (auto _ : state) {
    QXStreamRef s = QXStreamCreateForData(nullptr);
    QXStreamOpen(s);
    if (QXUtilsLZWCompressToStream(tile.data(), static_cast<uint32_t>(tile.size()), s) != 0)
      state.SkipWithError("compress");
    benchmark::DoNotOptimize(CFDataGetBytePtr(QXStreamGetData(s)));
    QXStreamRelease(s);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * tile.size()));
}
BENCHMARK(BM_LZWCompressTile)->Unit(benchmark::kMicrosecond);

void BM_Compress2Level6Anchor(benchmark::State& state) {
  const std::vector<char>& tile = Tile();
  std::vector<unsigned char> out(tile.size() + tile.size() / 1000 + 64);
  for (auto _ : state) {
    unsigned long length = out.size();
    if (compress2(out.data(), &length, reinterpret_cast<const unsigned char*>(tile.data()), tile.size(), 6) != Z_OK)
      state.SkipWithError("compress2");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * tile.size()));
}
BENCHMARK(BM_Compress2Level6Anchor)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
