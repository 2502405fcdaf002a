// Untrusted input for the value types: TZif zone data (and the POSIX rule in its footer), UUID
// strings and number-formatter parsing. The first byte picks the target; the rest is the input.
#include <CoreFoundation/CoreFoundation.h>

#include "CFRef.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

using qxcf::adopt;
using qxcf::CFRef;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

void zoneData(const uint8_t* data, size_t size) {
  CFRef<CFDataRef> bytes = adopt(CFDataCreate(nullptr, data, static_cast<CFIndex>(size)));
  CFRef<CFTimeZoneRef> tz = adopt(CFTimeZoneCreate(nullptr, CFSTR("Fuzz/Zone"), bytes.get()));
  if (!tz) return;
  for (double at : {-1e12, -3e9, 0.0, 7.5e8, 2e9, 1e12}) {
    double offset = CFTimeZoneGetSecondsFromGMT(tz.get(), at);
    check(std::fabs(offset) <= 2 * 86400);
    CFRef<CFStringRef> abbrev = adopt(CFTimeZoneCopyAbbreviation(tz.get(), at));
    check(abbrev.get() != nullptr);
    double next = CFTimeZoneGetNextDaylightSavingTimeTransition(tz.get(), at);
    check(next == 0 || next > at);
    CFGregorianDate g = CFAbsoluteTimeGetGregorianDate(at, tz.get());
    check(CFGregorianDateIsValid(g, kCFGregorianAllUnits));
    (void)CFGregorianDateGetAbsoluteTime(g, tz.get());
  }
}

void uuidString(const uint8_t* data, size_t size) {
  CFRef<CFStringRef> s =
      adopt(CFStringCreateWithBytes(nullptr, data, static_cast<CFIndex>(size), kCFStringEncodingISOLatin1, false));
  if (!s) return;
  CFRef<CFUUIDRef> u = adopt(CFUUIDCreateFromString(nullptr, s.get()));
  if (!u) return;
  CFRef<CFStringRef> back = adopt(CFUUIDCreateString(nullptr, u.get()));
  CFRef<CFUUIDRef> again = adopt(CFUUIDCreateFromString(nullptr, back.get()));
  check(again && CFEqual(u.get(), again.get()));
}

void numberText(const uint8_t* data, size_t size) {
  static CFNumberFormatterRef formatter = [] {
    CFRef<CFLocaleRef> locale = adopt(CFLocaleCreate(nullptr, CFSTR("en_US")));
    return CFNumberFormatterCreate(nullptr, locale.get(), kCFNumberFormatterDecimalStyle);
  }();
  CFRef<CFStringRef> s =
      adopt(CFStringCreateWithBytes(nullptr, data, static_cast<CFIndex>(size), kCFStringEncodingUTF8, false));
  if (!s) return;
  CFRange range = CFRangeMake(0, CFStringGetLength(s.get()));
  CFRef<CFNumberRef> n = adopt(CFNumberFormatterCreateNumberFromString(nullptr, formatter, s.get(), &range, 0));
  if (!n) return;
  check(range.length > 0 && range.length <= CFStringGetLength(s.get()));
  CFRef<CFStringRef> text = adopt(CFNumberFormatterCreateStringWithNumber(nullptr, formatter, n.get()));
  check(text.get() != nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  switch (data[0] % 3) {
    case 0: zoneData(data + 1, size - 1); break;
    case 1: uuidString(data + 1, size - 1); break;
    default: numberText(data + 1, size - 1); break;
  }
  return 0;
}
