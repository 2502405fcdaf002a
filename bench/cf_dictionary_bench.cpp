// CFDictionary with CFString keys, the hot path of property lists, presets and messages, against
// std::unordered_map<std::u16string, int> doing the same work in the same run.
//
// Lookups use keys created separately from the stored ones (equal text, different objects), so
// the pointer-identity shortcut never applies, and visit the keys in a shuffled order so that
// neither side profits from insertion order. Like every immutable CFString, a probe caches its
// hash after its first use; the anchor hashes its probe on every lookup, as std::hash does.
#include <CoreFoundation/CoreFoundation.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

constexpr int kKeys = 100000;

struct Data {
  std::vector<CFStringRef> keys;    // stored
  std::vector<CFStringRef> probes;  // equal, distinct objects
  std::vector<std::u16string> u16keys;
  std::vector<std::u16string> u16probes;
  std::vector<int> order;  // shuffled lookup order

  Data() {
    std::mt19937 rng(42);
    for (int i = 0; i < kKeys; ++i) {
      // 14 to 30 characters, like the dotted names of preset and message keys.
      char buf[48];
      std::snprintf(buf, sizeof buf, "preset.%s.key.%d", (i % 3 == 0) ? "tone" : "geometry.crop", i);
      keys.push_back(CFStringCreateWithCString(nullptr, buf, kCFStringEncodingUTF8));
      probes.push_back(CFStringCreateWithCString(nullptr, buf, kCFStringEncodingUTF8));
      std::u16string u(buf, buf + std::char_traits<char>::length(buf));
      u16keys.push_back(u);
      u16probes.push_back(u);
      order.push_back(i);
    }
    std::shuffle(order.begin(), order.end(), rng);
  }
};

Data& data() {
  static Data* d = new Data;  // shared by every benchmark, never torn down
  return *d;
}

CFMutableDictionaryRef buildDictionary(const Data& d) {
  CFMutableDictionaryRef dict = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, nullptr);
  for (int i = 0; i < kKeys; ++i) {
    CFDictionarySetValue(dict, d.keys[static_cast<size_t>(i)], reinterpret_cast<const void*>(intptr_t{i}));
  }
  return dict;
}

void BM_CFDictionaryLookup(benchmark::State& state) {
  const Data& d = data();
  CFMutableDictionaryRef dict = buildDictionary(d);
  for (auto _ : state) {
    intptr_t sum = 0;
    for (int i : d.order)
      sum += reinterpret_cast<intptr_t>(CFDictionaryGetValue(dict, d.probes[static_cast<size_t>(i)]));
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
  CFRelease(dict);
}
BENCHMARK(BM_CFDictionaryLookup)->Unit(benchmark::kMillisecond);

void BM_UnorderedMapLookup(benchmark::State& state) {
  const Data& d = data();
  std::unordered_map<std::u16string, int> map;
  for (int i = 0; i < kKeys; ++i) map.emplace(d.u16keys[static_cast<size_t>(i)], i);
  for (auto _ : state) {
    intptr_t sum = 0;
    for (int i : d.order) sum += map.find(d.u16probes[static_cast<size_t>(i)])->second;
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
}
BENCHMARK(BM_UnorderedMapLookup)->Unit(benchmark::kMillisecond);

// Building from nothing (no capacity hint) and tearing down again. The dictionary retains its
// keys; the map copies its strings, which is what owning a key costs each of them.
void BM_CFDictionaryBuild(benchmark::State& state) {
  const Data& d = data();
  for (auto _ : state) {
    CFMutableDictionaryRef dict = buildDictionary(d);
    benchmark::DoNotOptimize(dict);
    CFRelease(dict);
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
}
BENCHMARK(BM_CFDictionaryBuild)->Unit(benchmark::kMillisecond);

void BM_UnorderedMapBuild(benchmark::State& state) {
  const Data& d = data();
  for (auto _ : state) {
    std::unordered_map<std::u16string, int> map;
    for (int i = 0; i < kKeys; ++i) map.emplace(d.u16keys[static_cast<size_t>(i)], i);
    benchmark::DoNotOptimize(map);
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
}
BENCHMARK(BM_UnorderedMapBuild)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
