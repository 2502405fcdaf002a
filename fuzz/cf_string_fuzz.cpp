// Strings from untrusted bytes in every encoding, then conversion back, comparison, search and the
// ICU-backed mutations on whatever came out. Checks the invariants that must hold for any input.
#include <CoreFoundation/CoreFoundation.h>

#include "CFRef.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

using qxcf::adopt;

namespace {

const CFStringEncoding kEncodings[] = {
    kCFStringEncodingUTF8,     kCFStringEncodingASCII,         kCFStringEncodingISOLatin1,
    kCFStringEncodingUTF16,    kCFStringEncodingUTF16BE,       kCFStringEncodingUTF16LE,
    kCFStringEncodingUTF32,    kCFStringEncodingUTF32BE,       kCFStringEncodingUTF32LE,
    kCFStringEncodingMacRoman, kCFStringEncodingWindowsLatin1, kCFStringEncodingNonLossyASCII};
constexpr size_t kEncodingCount = sizeof kEncodings / sizeof kEncodings[0];

void check(bool ok) {
  if (!ok) std::abort();
}

void convertBack(CFStringRef s) {
  const CFIndex len = CFStringGetLength(s);
  for (CFStringEncoding e : kEncodings) {
    for (UInt8 loss : {UInt8{0}, UInt8{'?'}}) {
      CFIndex used = 0;
      CFIndex n = CFStringGetBytes(s, CFRangeMake(0, len), e, loss, true, nullptr, 0, &used);
      check(n >= 0 && n <= len && used >= 0);
      std::vector<UInt8> buf(static_cast<size_t>(used) + 1);
      CFIndex used2 = 0;
      check(CFStringGetBytes(s, CFRangeMake(0, len), e, loss, true, buf.data(), used, &used2) == n && used2 == used);
      // Lossless conversions decode back to the same string.
      if (n == len && (loss == 0 || e == kCFStringEncodingUTF16 || e == kCFStringEncodingNonLossyASCII)) {
        auto back = adopt(CFStringCreateWithBytes(nullptr, buf.data(), used, e, true));
        if (e != kCFStringEncodingUTF8 || len == 0 || CFStringGetCharacterAtIndex(s, 0) != 0xFEFF) {
          check(back && CFEqual(back.get(), s));
        }
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const CFStringEncoding enc = kEncodings[data[0] % kEncodingCount];
  const CFStringCompareFlags options = (static_cast<CFOptionFlags>(data[1]) << 2 | (data[2] & 1)) & 0x3FD;
  data += 3;
  size -= 3;

  auto s = adopt(CFStringCreateWithBytes(nullptr, data, static_cast<CFIndex>(size), enc, false));
  if (s) convertBack(s.get());

  // The same bytes as raw UTF-16 units (lone surrogates and all), split into a text and a pattern.
  const CFIndex units = static_cast<CFIndex>(size / 2);
  std::vector<UniChar> u(static_cast<size_t>(units));
  for (CFIndex i = 0; i < units; ++i)
    u[static_cast<size_t>(i)] = static_cast<UniChar>(data[2 * i] | data[2 * i + 1] << 8);
  const CFIndex split = units > 0 ? u[0] % (units + 1) : 0;
  auto hay = adopt(CFStringCreateWithCharacters(nullptr, u.data(), split));
  auto needle = adopt(CFStringCreateWithCharacters(nullptr, u.data() + split, units - split));
  if (!hay || !needle) return 0;
  const CFIndex hayLen = CFStringGetLength(hay.get());

  CFComparisonResult ab = CFStringCompareWithOptions(hay.get(), needle.get(), CFRangeMake(0, hayLen), options);
  CFComparisonResult ba =
      CFStringCompareWithOptions(needle.get(), hay.get(), CFRangeMake(0, CFStringGetLength(needle.get())), options);
  if (!(options & kCFCompareLocalized)) check(ab == -ba);

  CFRange r;
  if (CFStringFindWithOptions(hay.get(), needle.get(), CFRangeMake(0, hayLen), options, &r)) {
    check(r.location >= 0 && r.length > 0 && r.location + r.length <= hayLen);
  }
  auto m = adopt(CFStringCreateMutableCopy(nullptr, 0, hay.get()));
  CFStringFindAndReplace(m.get(), needle.get(), CFSTR("<>"), CFRangeMake(0, hayLen), options);
  CFStringFold(m.get(), options, nullptr);
  CFStringCapitalize(m.get(), nullptr);
  CFStringNormalize(m.get(), static_cast<CFStringNormalizationForm>(options & 3));
  CFStringTrimWhitespace(m.get());
  auto parts = adopt(CFStringCreateArrayBySeparatingStrings(nullptr, hay.get(), needle.get()));
  if (parts) {
    auto joined = adopt(CFStringCreateByCombiningStrings(nullptr, parts.get(), needle.get()));
    check(joined && CFEqual(joined.get(), hay.get()));
  }
  if (hayLen > 0) {
    CFRange c = CFStringGetRangeOfComposedCharactersAtIndex(hay.get(), u[0] % hayLen);
    check(c.location >= 0 && c.length > 0 && c.location + c.length <= hayLen);
  }
  (void)CFStringGetIntValue(hay.get());
  (void)CFStringGetDoubleValue(hay.get());
  return 0;
}
