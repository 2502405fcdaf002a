// XML property-list parse and write on a ~500 KB preset-like document; the anchor is Python's
// plistlib on the same bytes (bench/plist_anchor.py, run by scripts/bench in the same run).
//
// The document comes from $QX_PLIST_BENCH_FILE, or from a file in $TMPDIR that
// plist_anchor.py --generate writes when it is missing, so both sides read identical bytes.
#include <CoreFoundation/CoreFoundation.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string documentPath() {
  if (const char* env = std::getenv("QX_PLIST_BENCH_FILE"); env != nullptr && *env != 0) return env;
  const char* tmp = std::getenv("TMPDIR");
  return std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") + "/qx_plist_bench.plist";
}

// The document as CFData (process lifetime), generating the file first when needed.
CFDataRef document() {
  static CFDataRef data = [] {
    std::string path = documentPath();
    std::ifstream probe(path, std::ios::binary);
    if (!probe) {
      std::string command = "python3 '" QX_BENCH_DIR "/plist_anchor.py' --generate '" + path + "'";
      if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "cannot generate %s\n", path.c_str());
        std::exit(1);
      }
    }
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    std::string bytes = s.str();
    return CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()), static_cast<CFIndex>(bytes.size()));
  }();
  return data;
}

void BM_CFPlistParse(benchmark::State& state) {
  CFDataRef data = document();
  for (auto _ : state) {
    CFErrorRef error = nullptr;
    CFPropertyListRef plist = CFPropertyListCreateWithData(nullptr, data, kCFPropertyListImmutable, nullptr, &error);
    if (plist == nullptr) {
      state.SkipWithError("parse failed");
      if (error != nullptr) CFRelease(error);
      break;
    }
    CFRelease(plist);
  }
  state.SetBytesProcessed(state.iterations() * CFDataGetLength(data));
}
BENCHMARK(BM_CFPlistParse)->Unit(benchmark::kMillisecond);

void BM_CFPlistParseMutable(benchmark::State& state) {
  CFDataRef data = document();
  for (auto _ : state) {
    CFPropertyListRef plist =
        CFPropertyListCreateFromXMLData(nullptr, data, kCFPropertyListMutableContainersAndLeaves, nullptr);
    if (plist == nullptr) {
      state.SkipWithError("parse failed");
      break;
    }
    CFRelease(plist);
  }
  state.SetBytesProcessed(state.iterations() * CFDataGetLength(data));
}
BENCHMARK(BM_CFPlistParseMutable)->Unit(benchmark::kMillisecond);

void BM_CFPlistWrite(benchmark::State& state) {
  CFPropertyListRef plist = CFPropertyListCreateWithData(nullptr, document(), 0, nullptr, nullptr);
  if (plist == nullptr) {
    state.SkipWithError("parse failed");
    return;
  }
  CFIndex bytes = 0;
  for (auto _ : state) {
    CFDataRef out = CFPropertyListCreateData(nullptr, plist, kCFPropertyListXMLFormat_v1_0, 0, nullptr);
    if (out == nullptr) {
      state.SkipWithError("write failed");
      break;
    }
    bytes = CFDataGetLength(out);
    CFRelease(out);
  }
  state.SetBytesProcessed(state.iterations() * bytes);
  CFRelease(plist);
}
BENCHMARK(BM_CFPlistWrite)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
