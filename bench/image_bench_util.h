// Shared by the image benchmarks: a private scratch folder for the disk cache and the anchors'
// files, the peak resident set, and cache counters as benchmark counters.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXImage.h>
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "core/ProgramSupport.h"

namespace qxbench {

// A folder of its own under $TMPDIR (or /tmp), removed with everything in it at destruction.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qxbench-image-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    mPath = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(mPath, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& path() const { return mPath; }

  // Makes the image cache put its process folder here.
  void useForImageCache() const {
    CFURLRef url = CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(mPath.data()),
                                                           static_cast<CFIndex>(mPath.size()), true);
    QXImageSetCacheFolderPath(url);
    CFRelease(url);
  }

 private:
  std::string mPath;
};

using qx::PeakResidentBytes;

// CPU time of every thread of the process, in seconds: with the wall time it tells how much of the
// machine a parallel phase got, whatever else runs on it.
inline double ProcessCPUSeconds() {
  struct rusage usage;
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

// Reports the process's CPU seconds per iteration since `start` as "process_cpu_s".
inline void ReportProcessCPU(benchmark::State& state, double start) {
  state.counters["process_cpu_s"] =
      benchmark::Counter((ProcessCPUSeconds() - start) / static_cast<double>(state.iterations()));
}

inline QXImageCacheStatistics CacheStatistics() {
  QXImageCacheStatistics s;
  std::memset(&s, 0, sizeof s);
  QXImageGetCacheStatistics(&s);
  return s;
}

// What the cache did between two snapshots, per iteration.
inline void ReportCacheCounters(benchmark::State& state, const QXImageCacheStatistics& before,
                                const QXImageCacheStatistics& after) {
  auto perIteration = [&](int64_t a, int64_t b) {
    return benchmark::Counter(static_cast<double>(b - a) / static_cast<double>(state.iterations()));
  };
  state.counters["tiles_purged"] = perIteration(before.tilesPurged, after.tilesPurged);
  state.counters["tiles_reloaded"] = perIteration(before.tilesReloaded, after.tilesReloaded);
  state.counters["MiB_spilled"] = benchmark::Counter(static_cast<double>(after.bytesWritten - before.bytesWritten) /
                                                     1048576.0 / static_cast<double>(state.iterations()));
  state.counters["store_failures"] =
      benchmark::Counter(static_cast<double>(after.storeFailures - before.storeFailures));
}

// The main of every image benchmark: the disk cache in a scratch folder, a budget, the benchmarks,
// then `finish` (the benchmark's own images go before the cache shuts down and the folder with it).
// `folderOut`, when given, points at the scratch folder while the benchmarks run.
template <class Finish>
int ImageBenchMain(int argc, char** argv, double budgetBytes, Finish finish,
                   const ScratchFolder** folderOut = nullptr) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  ScratchFolder folder;
  folder.useForImageCache();
  if (folderOut) *folderOut = &folder;
  QXImageSetCacheMemAbsolute(budgetBytes);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  finish();
  QXImageShutdown();
  if (folderOut) *folderOut = nullptr;
  return 0;
}

}  // namespace qxbench
