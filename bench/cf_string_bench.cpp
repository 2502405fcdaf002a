// CFString creation from UTF-8, against ICU's u_strFromUTF8 into a freshly allocated buffer of the
// same size (the least any UTF-16 string type has to do: allocate, validate, convert, free).
#include <CoreFoundation/CoreFoundation.h>
#include <benchmark/benchmark.h>
#include <unicode/ustring.h>

#include <cstdlib>
#include <string>

namespace {

// Mostly ASCII with the accented letters, dashes and quotes that real preset and file names carry.
std::string sampleText(size_t size) {
  static const char kParagraph[] =
      "Exposure +0.35, Contrast -12, Clarity 8; Pr\xC3\xA9r\xC3\xA9glage \xC2\xAB \xC3\x89t\xC3\xA9 \xC2\xBB "
      "\xE2\x80\x94 Gr\xC3\xBC\xC3\x9F"
      "e aus K\xC3\xB6ln. Highlights -40, Shadows +25, Whites 10, Blacks -5, "
      "Temperature 5600 K, Tint +4, Vibrance 15, Saturation 0. \xE2\x80\x9CPortrait soft\xE2\x80\x9D by Ana\xC3\xAFs. ";
  std::string text;
  while (text.size() < size) text += kParagraph;
  // Cut at a character boundary and pad with ASCII to the exact size.
  size_t cut = size;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  text.resize(cut);
  text.append(size - cut, '.');
  return text;
}

// Creates and releases a string from the sample text with `create`, per iteration.
template <class Create>
void benchCreate(benchmark::State& state, Create create) {
  const std::string text = sampleText(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    CFStringRef s = create(text);
    if (s == nullptr) {
      state.SkipWithError("creation failed");
      break;
    }
    benchmark::DoNotOptimize(s);
    CFRelease(s);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_CFStringCreateWithCString(benchmark::State& state) {
  benchCreate(state, [](const std::string& text) {
    return CFStringCreateWithCString(nullptr, text.c_str(), kCFStringEncodingUTF8);
  });
}
BENCHMARK(BM_CFStringCreateWithCString)->Arg(64)->Arg(4096);

void BM_CFStringCreateWithBytes(benchmark::State& state) {
  benchCreate(state, [](const std::string& text) {
    return CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(text.data()),
                                   static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false);
  });
}
BENCHMARK(BM_CFStringCreateWithBytes)->Arg(64)->Arg(4096);

// The anchor.
void BM_ICUFromUTF8(benchmark::State& state) {
  const std::string text = sampleText(static_cast<size_t>(state.range(0)));
  const int32_t n = static_cast<int32_t>(text.size());
  for (auto _ : state) {
    auto* buf = static_cast<UChar*>(std::malloc(static_cast<size_t>(n) * sizeof(UChar)));
    int32_t len = 0;
    UErrorCode err = U_ZERO_ERROR;
    u_strFromUTF8(buf, n, &len, text.data(), n, &err);
    if (U_FAILURE(err)) {
      std::free(buf);
      state.SkipWithError("conversion failed");
      break;
    }
    benchmark::DoNotOptimize(buf);
    benchmark::DoNotOptimize(len);
    std::free(buf);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ICUFromUTF8)->Arg(64)->Arg(4096);

}  // namespace
BENCHMARK_MAIN();
