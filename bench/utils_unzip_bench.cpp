// Extracting one 64 MiB deflated zip entry into a folder; the anchor is Python's zipfile
// extracting the same entry (bench/unzip_anchor.py, run by scripts/bench in the same run). The
// streamed variant sends the entry through the unzip library's zlib in pieces, as entries too
// large to inflate in memory go.
//
// The archive comes from $QX_UNZIP_BENCH_FILE, or from a file in $TMPDIR that
// unzip_anchor.py --generate writes when it is missing, so both sides read identical bytes.
#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXUnzip.h>
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "utils/UnzipTesting.h"

namespace {

std::string archivePath() {
  if (const char* env = std::getenv("QX_UNZIP_BENCH_FILE"); env != nullptr && *env != 0) return env;
  const char* tmp = std::getenv("TMPDIR");
  return std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") + "/qx_unzip_bench.zip";
}

CFURLRef URL(const std::string& path, bool isDirectory) {
  return CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(path.data()),
                                                 static_cast<CFIndex>(path.size()), isDirectory);
}

void Extract(benchmark::State& state, bool streamed) {
  const std::string path = archivePath();
  if (::access(path.c_str(), R_OK) != 0) {
    std::string command = "python3 '" QX_BENCH_DIR "/unzip_anchor.py' --generate '" + path + "'";
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("cannot generate the archive");
      return;
    }
  }
  std::string folder = (std::filesystem::temp_directory_path() / "qx_unzip_benchXXXXXX").string();
  if (!mkdtemp(folder.data())) {
    state.SkipWithError("no scratch folder");
    return;
  }
  // A limit of 0 sends every entry through the streaming path.
  const uint64_t old = streamed ? qx::testing::SetUnzipWholeEntryLimit(0) : 0;
  QXUnzipRef reader = QXUnzipCreate();
  CFURLRef archive = URL(path, false);
  CFURLRef target = URL(folder, true);
  if (QXUnzipOpen(reader, archive) != 0 || QXUnzipSetFirstFileCurrent(reader) != 0) {
    state.SkipWithError("cannot open the archive");
  } else {
    for (auto _ : state) {
      if (QXUnzipExtractCurrentFileToFolder(reader, target) != 0) {
        state.SkipWithError("extraction failed");
        break;
      }
    }
    state.SetBytesProcessed(state.iterations() * int64_t{64 << 20});
  }
  CFRelease(target);
  CFRelease(archive);
  QXUnzipRelease(reader);
  if (streamed) qx::testing::SetUnzipWholeEntryLimit(old);
  std::filesystem::remove_all(folder);
}

void BM_UnzipExtract(benchmark::State& state) { Extract(state, false); }
BENCHMARK(BM_UnzipExtract)->Unit(benchmark::kMillisecond);

void BM_UnzipExtractStreamed(benchmark::State& state) { Extract(state, true); }
BENCHMARK(BM_UnzipExtractStreamed)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
