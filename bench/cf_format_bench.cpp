// Formatting a log line into a CFString, against snprintf (the obvious alternative: format bytes,
// then make a string of them) measured in the same run.
#include <CoreFoundation/CoreFoundation.h>
#include <benchmark/benchmark.h>

#include <cstdio>

namespace {

// CFSTR is looked up once, outside the loops: with Apple's compilers it is a compile-time constant.
void BM_CFFormatLogLine(benchmark::State& state) {
  CFStringRef format = CFSTR("[%s] %d tiles in %.2f ms: %@");
  CFStringRef done = CFSTR("done");
  for (auto _ : state) {
    CFStringRef s = CFStringCreateWithFormat(nullptr, nullptr, format, "cache", 42, 3.14159, done);
    benchmark::DoNotOptimize(s);
    CFRelease(s);
  }
}
BENCHMARK(BM_CFFormatLogLine);

void BM_SnprintfToCFStringLogLine(benchmark::State& state) {
  for (auto _ : state) {
    char buf[256];
    std::snprintf(buf, sizeof buf, "[%s] %d tiles in %.2f ms: %s", "cache", 42, 3.14159, "done");
    CFStringRef s = CFStringCreateWithCString(nullptr, buf, kCFStringEncodingUTF8);
    benchmark::DoNotOptimize(s);
    CFRelease(s);
  }
}
BENCHMARK(BM_SnprintfToCFStringLogLine);

void BM_CFAppendFormatInt(benchmark::State& state) {
  CFMutableStringRef m = CFStringCreateMutable(nullptr, 0);
  CFStringRef format = CFSTR("%d,");
  int i = 0;
  for (auto _ : state) {
    CFStringAppendFormat(m, nullptr, format, ++i);
    if (CFStringGetLength(m) > 4096) CFStringDelete(m, CFRangeMake(0, CFStringGetLength(m)));
  }
  CFRelease(m);
}
BENCHMARK(BM_CFAppendFormatInt);

void BM_SnprintfInt(benchmark::State& state) {
  int i = 0;
  for (auto _ : state) {
    char buf[32];
    int n = std::snprintf(buf, sizeof buf, "%d,", ++i);
    benchmark::DoNotOptimize(buf);
    benchmark::DoNotOptimize(n);
  }
}
BENCHMARK(BM_SnprintfInt);

}  // namespace
BENCHMARK_MAIN();
