// Log lines per second through a file logger against the anchor: fprintf of the same line text
// followed by fflush, into a file of its own. Both write a line and flush it every time.
#include <QXCore/QXLog.h>
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

std::string tempPath(const char* name) {
  const char* dir = getenv("TMPDIR");
  std::string path = std::string(dir && *dir ? dir : "/tmp") + "/qx-log-bench-" + name + "-XXXXXX";
  int fd = mkstemp(path.data());
  if (fd >= 0) close(fd);
  return path;
}

void BM_FileLoggerLines(benchmark::State& state) {
  std::string path = tempPath("logger");
  CFURLRef url = CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(path.c_str()),
                                                         static_cast<CFIndex>(path.size()), false);
  QXLogRemoveAllLoggers();
  QXLogAddFileLogger(url);
  int i = 0;
  for (auto _ : state) QXLogWithParams(4, CFSTR("Bench"), 0, CFSTR("line %d of the benchmark"), ++i);
  state.SetItemsProcessed(state.iterations());
  QXLogRemoveAllLoggers();
  CFRelease(url);
  unlink(path.c_str());
}
BENCHMARK(BM_FileLoggerLines);

void BM_FprintfFflushAnchor(benchmark::State& state) {
  std::string path = tempPath("anchor");
  FILE* file = std::fopen(path.c_str(), "w");
  int i = 0;
  for (auto _ : state) {
    // The same text as the logger's line, with its date prefix fixed.
    std::fprintf(file, "%d-%d-%d %d:%02d:%2.0f %s - line %d of the benchmark\n", 2026, 3, 7, 9, 5, 7.0, "Bench", ++i);
    std::fflush(file);
  }
  state.SetItemsProcessed(state.iterations());
  std::fclose(file);
  unlink(path.c_str());
}
BENCHMARK(BM_FprintfFflushAnchor);

}  // namespace

BENCHMARK_MAIN();
