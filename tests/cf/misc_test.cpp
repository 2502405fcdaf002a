// CFError, CFUUID, CFLocale, CFNumberFormatter and CFBundle.
#include <CoreFoundation/CoreFoundation.h>

#include "CFRef.h"
#include "CFTestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

using qxcf::adopt;
using qxcf::CFRef;
using qxtest::formatted;
using qxtest::utf8;

namespace {

std::string text(CFTypeRef s) { return qxtest::utf8(static_cast<CFStringRef>(s)); }

CFRef<CFStringRef> cf(const std::string& s) {
  return adopt(CFStringCreateWithCString(nullptr, s.c_str(), kCFStringEncodingUTF8));
}

std::vector<std::string> strings(CFArrayRef a) {
  std::vector<std::string> out;
  for (CFIndex i = 0; i < CFArrayGetCount(a); ++i) out.push_back(text(CFArrayGetValueAtIndex(a, i)));
  return out;
}

// Sets locale variables for one test and restores them afterwards.
class EnvGuard {
 public:
  EnvGuard() {
    for (const char* n : kNames) {
      const char* v = std::getenv(n);
      if (v != nullptr) saved_[n] = v;
      unsetenv(n);
    }
  }
  ~EnvGuard() {
    for (const char* n : kNames) {
      auto it = saved_.find(n);
      if (it != saved_.end()) {
        setenv(n, it->second.c_str(), 1);
      } else {
        unsetenv(n);
      }
    }
  }

 private:
  static constexpr const char* kNames[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};
  std::map<std::string, std::string> saved_;
};

TEST(CFError, DomainsCodesAndDescriptions) {
  // How the property-list reader reports a parse error.
  CFRef<CFStringRef> msg = cf("Unexpected character < at line 3");
  const void* keys[] = {kCFErrorDescriptionKey, kCFErrorDebugDescriptionKey};
  const void* values[] = {msg.get(), msg.get()};
  CFRef<CFErrorRef> err =
      adopt(CFErrorCreateWithUserInfoKeysAndValues(nullptr, kCFErrorDomainCocoa, 3840, keys, values, 2));
  ASSERT_TRUE(err);
  EXPECT_TRUE(CFEqual(CFErrorGetDomain(err.get()), kCFErrorDomainCocoa));
  EXPECT_EQ(CFErrorGetCode(err.get()), 3840);
  CFRef<CFDictionaryRef> info = adopt(CFErrorCopyUserInfo(err.get()));
  ASSERT_TRUE(info);
  EXPECT_EQ(CFDictionaryGetCount(info.get()), 2);
  EXPECT_TRUE(CFEqual(CFDictionaryGetValue(info.get(), kCFErrorDebugDescriptionKey), msg.get()));
  CFRef<CFStringRef> desc = adopt(CFErrorCopyDescription(err.get()));
  EXPECT_EQ(
      text(desc.get()),
      "The operation couldn\u2019t be completed. (NSCocoaErrorDomain error 3840 - Unexpected character < at line 3)");
  EXPECT_FALSE(adopt(CFErrorCopyFailureReason(err.get())));
  EXPECT_FALSE(adopt(CFErrorCopyRecoverySuggestion(err.get())));
  CFRef<CFStringRef> full = adopt(CFCopyDescription(err.get()));
  EXPECT_NE(text(full.get()).find("Error Domain=NSCocoaErrorDomain Code=3840"), std::string::npos) << text(full.get());

  // The localized description wins; reason and suggestion come from their keys.
  CFRef<CFMutableDictionaryRef> user =
      adopt(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  CFDictionarySetValue(user.get(), kCFErrorLocalizedDescriptionKey, CFSTR("Disk full."));
  CFDictionarySetValue(user.get(), kCFErrorLocalizedFailureReasonKey, CFSTR("No space left."));
  CFDictionarySetValue(user.get(), kCFErrorLocalizedRecoverySuggestionKey, CFSTR("Delete something."));
  CFRef<CFErrorRef> custom = adopt(CFErrorCreate(nullptr, CFSTR("com.example"), -7, user.get()));
  CFDictionaryRemoveAllValues(user.get());  // the error keeps its own copy
  EXPECT_EQ(text(adopt(CFErrorCopyDescription(custom.get())).get()), "Disk full.");
  EXPECT_EQ(text(adopt(CFErrorCopyFailureReason(custom.get())).get()), "No space left.");
  EXPECT_EQ(text(adopt(CFErrorCopyRecoverySuggestion(custom.get())).get()), "Delete something.");

  // POSIX errors explain themselves; bare errors still describe domain and code.
  CFRef<CFErrorRef> posix = adopt(CFErrorCreate(nullptr, kCFErrorDomainPOSIX, ENOENT, nullptr));
  EXPECT_EQ(text(adopt(CFErrorCopyFailureReason(posix.get())).get()), std::strerror(ENOENT));
  EXPECT_EQ(text(adopt(CFErrorCopyDescription(posix.get())).get()),
            std::string("The operation couldn\u2019t be completed. ") + std::strerror(ENOENT));
  CFRef<CFDictionaryRef> empty = adopt(CFErrorCopyUserInfo(posix.get()));
  ASSERT_TRUE(empty);
  EXPECT_EQ(CFDictionaryGetCount(empty.get()), 0);
  CFRef<CFErrorRef> bare = adopt(CFErrorCreate(nullptr, kCFErrorDomainOSStatus, -43, nullptr));
  EXPECT_EQ(text(adopt(CFErrorCopyDescription(bare.get())).get()),
            "The operation couldn\u2019t be completed. (NSOSStatusErrorDomain error -43.)");

  EXPECT_TRUE(CFEqual(bare.get(), adopt(CFErrorCreate(nullptr, kCFErrorDomainOSStatus, -43, nullptr)).get()));
  EXPECT_FALSE(CFEqual(bare.get(), posix.get()));
  EXPECT_FALSE(adopt(CFErrorCreate(nullptr, nullptr, 1, nullptr)));
  EXPECT_FALSE(adopt(CFErrorCreateWithUserInfoKeysAndValues(nullptr, kCFErrorDomainCocoa, 1, nullptr, nullptr, 2)));
}

TEST(CFUUID, StringsBytesAndIdentity) {
  CFRef<CFUUIDRef> a = adopt(CFUUIDCreate(nullptr));
  CFRef<CFUUIDRef> b = adopt(CFUUIDCreate(nullptr));
  ASSERT_TRUE(a && b);
  EXPECT_FALSE(CFEqual(a.get(), b.get()));
  CFRef<CFStringRef> s = adopt(CFUUIDCreateString(nullptr, a.get()));
  std::string str = text(s.get());
  ASSERT_EQ(str.size(), 36u);
  for (size_t i = 0; i < str.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      EXPECT_EQ(str[i], '-');
    } else {
      EXPECT_TRUE((str[i] >= '0' && str[i] <= '9') || (str[i] >= 'A' && str[i] <= 'F')) << str;
    }
  }
  EXPECT_EQ(str[14], '4');  // random, version 4
  EXPECT_TRUE(std::strchr("89AB", str[19]) != nullptr) << str;
  CFRef<CFUUIDRef> back = adopt(CFUUIDCreateFromString(nullptr, s.get()));
  ASSERT_TRUE(back);
  EXPECT_TRUE(CFEqual(a.get(), back.get()));
  EXPECT_EQ(CFHash(a.get()), CFHash(back.get()));

  CFRef<CFUUIDRef> known = adopt(CFUUIDCreateWithBytes(nullptr, 0x68, 0x75, 0x3A, 0x44, 0x4D, 0x6F, 0x12, 0x26, 0x9C,
                                                       0x60, 0x00, 0x50, 0xE4, 0xC0, 0x00, 0x67));
  EXPECT_EQ(text(adopt(CFUUIDCreateString(nullptr, known.get())).get()), "68753A44-4D6F-1226-9C60-0050E4C00067");
  CFUUIDBytes bytes = CFUUIDGetUUIDBytes(known.get());
  EXPECT_EQ(bytes.byte0, 0x68);
  EXPECT_EQ(bytes.byte15, 0x67);
  EXPECT_TRUE(CFEqual(adopt(CFUUIDCreateFromUUIDBytes(nullptr, bytes)).get(), known.get()));
  for (const char* form : {"68753a44-4d6f-1226-9c60-0050e4c00067", "{68753A44-4D6F-1226-9C60-0050E4C00067}"}) {
    CFRef<CFUUIDRef> parsed = adopt(CFUUIDCreateFromString(nullptr, cf(form).get()));
    ASSERT_TRUE(parsed) << form;
    EXPECT_TRUE(CFEqual(parsed.get(), known.get())) << form;
  }
  for (const char* bad : {"", "68753A44-4D6F-1226-9C60-0050E4C0006", "68753A44-4D6F-1226-9C60-0050E4C000677",
                          "68753A444D6F-1226-9C60-0050E4C00067X", "68753A44-4D6F-1226-9C60-0050E4C0006G",
                          "68753A44+4D6F-1226-9C60-0050E4C00067", "{68753A44-4D6F-1226-9C60-0050E4C00067"}) {
    EXPECT_FALSE(adopt(CFUUIDCreateFromString(nullptr, cf(bad).get()))) << bad;
  }

  CFUUIDRef c1 = CFUUIDGetConstantUUIDWithBytes(nullptr, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16);
  CFUUIDRef c2 = CFUUIDGetConstantUUIDWithBytes(nullptr, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16);
  EXPECT_EQ(c1, c2);
  CFRelease(c1);  // constants survive stray releases
  EXPECT_EQ(text(adopt(CFUUIDCreateString(nullptr, c2)).get()), "01020304-0506-0708-090A-0B0C0D0E0F10");
}

TEST(CFLocale, PreferredLanguagesFromTheEnvironment) {
  EnvGuard guard;
  auto preferred = [] {
    CFRef<CFArrayRef> a = adopt(CFLocaleCopyPreferredLanguages());
    return a ? strings(a.get()) : std::vector<std::string>{"(NULL)"};
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(preferred(), V{"en"});
  setenv("LANG", "de_DE.UTF-8", 1);
  EXPECT_EQ(preferred(), V{"de-DE"});
  setenv("LC_MESSAGES", "fr_CA.UTF-8", 1);
  EXPECT_EQ(preferred(), V{"fr-CA"});
  setenv("LC_ALL", "pt_BR", 1);
  EXPECT_EQ(preferred(), V{"pt-BR"});
  setenv("LC_ALL", "POSIX", 1);
  EXPECT_EQ(preferred(), V{"en"});
  setenv("LANGUAGE", "sv:de_AT:zh_Hans_CN.UTF-8:sv::nonsense-!!", 1);
  EXPECT_EQ(preferred(), (V{"sv", "de-AT", "zh-Hans-CN"}));
  setenv("LANGUAGE", "", 1);  // empty counts as unset
  EXPECT_EQ(preferred(), V{"en"});
  unsetenv("LANGUAGE");
  unsetenv("LC_ALL");
  setenv("LC_MESSAGES", "sr_RS@latin", 1);
  EXPECT_EQ(preferred(), V{"sr-RS"});

  // The current locale follows LC_ALL, then LANG.
  unsetenv("LC_MESSAGES");
  setenv("LANG", "de_DE.UTF-8", 1);
  CFRef<CFLocaleRef> current = adopt(CFLocaleCopyCurrent());
  ASSERT_TRUE(current);
  EXPECT_EQ(text(CFLocaleGetIdentifier(current.get())), "de_DE");
  setenv("LC_ALL", "C", 1);
  current = adopt(CFLocaleCopyCurrent());
  EXPECT_EQ(text(CFLocaleGetIdentifier(current.get())), "en_US");
}

TEST(CFLocale, IdentifiersAndValues) {
  CFRef<CFLocaleRef> de = adopt(CFLocaleCreate(nullptr, CFSTR("de-DE")));
  ASSERT_TRUE(de);
  EXPECT_EQ(text(CFLocaleGetIdentifier(de.get())), "de_DE");
  EXPECT_EQ(text(CFLocaleGetValue(de.get(), kCFLocaleLanguageCode)), "de");
  EXPECT_EQ(text(CFLocaleGetValue(de.get(), kCFLocaleCountryCode)), "DE");
  EXPECT_EQ(text(CFLocaleGetValue(de.get(), kCFLocaleDecimalSeparator)), ",");
  EXPECT_EQ(text(CFLocaleGetValue(de.get(), kCFLocaleGroupingSeparator)), ".");
  EXPECT_EQ(text(CFLocaleGetValue(de.get(), kCFLocaleCurrencyCode)), "EUR");
  EXPECT_EQ(text(CFLocaleGetValue(de.get(), kCFLocaleCurrencySymbol)), "\u20ac");
  EXPECT_EQ(CFLocaleGetValue(de.get(), kCFLocaleUsesMetricSystem), kCFBooleanTrue);
  EXPECT_EQ(text(CFLocaleGetValue(de.get(), kCFLocaleCalendarIdentifier)), "gregorian");
  EXPECT_EQ(CFLocaleGetValue(de.get(), kCFLocaleScriptCode), nullptr);
  EXPECT_EQ(CFLocaleGetValue(de.get(), CFSTR("no such key")), nullptr);
  // Keys compare by value, not by pointer.
  EXPECT_EQ(text(CFLocaleGetValue(de.get(), cf("kCFLocaleLanguageCodeKey").get())), "de");

  CFRef<CFLocaleRef> us = adopt(CFLocaleCreate(nullptr, CFSTR("en_US")));
  EXPECT_EQ(CFLocaleGetValue(us.get(), kCFLocaleUsesMetricSystem), kCFBooleanFalse);
  EXPECT_EQ(text(CFLocaleGetValue(us.get(), kCFLocaleMeasurementSystem)), "U.S.");
  EXPECT_TRUE(CFEqual(de.get(), adopt(CFLocaleCreate(nullptr, CFSTR("de_DE"))).get()));
  EXPECT_FALSE(CFEqual(de.get(), us.get()));

  CFRef<CFLocaleRef> hans = adopt(CFLocaleCreate(nullptr, CFSTR("zh-Hans-CN")));
  EXPECT_EQ(text(CFLocaleGetIdentifier(hans.get())), "zh_Hans_CN");
  EXPECT_EQ(text(CFLocaleGetValue(hans.get(), kCFLocaleScriptCode)), "Hans");

  EXPECT_EQ(text(CFLocaleGetIdentifier(CFLocaleGetSystem())), "");

  EXPECT_EQ(text(adopt(CFLocaleCreateCanonicalLanguageIdentifierFromString(nullptr, CFSTR("de_DE"))).get()), "de-DE");
  EXPECT_EQ(text(adopt(CFLocaleCreateCanonicalLocaleIdentifierFromString(nullptr, CFSTR("de-DE"))).get()), "de_DE");

  CFRef<CFDictionaryRef> parts =
      adopt(CFLocaleCreateComponentsFromLocaleIdentifier(nullptr, CFSTR("sr_Latn_RS@calendar=gregorian")));
  ASSERT_TRUE(parts);
  EXPECT_EQ(text(CFDictionaryGetValue(parts.get(), kCFLocaleLanguageCode)), "sr");
  EXPECT_EQ(text(CFDictionaryGetValue(parts.get(), kCFLocaleScriptCode)), "Latn");
  EXPECT_EQ(text(CFDictionaryGetValue(parts.get(), kCFLocaleCountryCode)), "RS");
  EXPECT_EQ(text(CFDictionaryGetValue(parts.get(), CFSTR("calendar"))), "gregorian");
  EXPECT_EQ(text(adopt(CFLocaleCreateLocaleIdentifierFromComponents(nullptr, parts.get())).get()),
            "sr_Latn_RS@calendar=gregorian");

  CFRef<CFStringRef> name =
      adopt(CFLocaleCopyDisplayNameForPropertyValue(us.get(), kCFLocaleIdentifier, CFSTR("de_DE")));
  EXPECT_EQ(text(name.get()), "German (Germany)");
  name = adopt(CFLocaleCopyDisplayNameForPropertyValue(de.get(), kCFLocaleLanguageCode, CFSTR("fr")));
  EXPECT_EQ(text(name.get()), "Franz\u00f6sisch");
  // Calendar and collation names come from ICU's keyword values; unknown values have none.
  const struct {
    CFLocaleRef in;
    CFLocaleKey key;
    CFStringRef value;
    const char* name;
  } keywords[] = {{us.get(), kCFLocaleCalendarIdentifier, CFSTR("gregorian"), "Gregorian Calendar"},
                  {us.get(), kCFLocaleCalendarIdentifier, CFSTR("japanese"), "Japanese Calendar"},
                  {de.get(), kCFLocaleCalendarIdentifier, CFSTR("gregorian"), "Gregorianischer Kalender"},
                  {us.get(), kCFLocaleCollationIdentifier, CFSTR("phonebook"), "Phonebook Sort Order"},
                  {us.get(), kCFLocaleCalendarIdentifier, CFSTR("nosuchcalendar"), "<NULL>"},
                  {us.get(), kCFLocaleCalendarIdentifier, CFSTR("gregorian;collation=phonebook"), "<NULL>"}};
  for (const auto& k : keywords) {
    EXPECT_EQ(text(adopt(CFLocaleCopyDisplayNameForPropertyValue(k.in, k.key, k.value)).get()), k.name) << k.name;
  }
  EXPECT_EQ(CFLocaleGetLanguageCharacterDirection(CFSTR("ar")), kCFLocaleLanguageDirectionRightToLeft);

  CFRef<CFArrayRef> langs = adopt(CFLocaleCopyISOLanguageCodes());
  ASSERT_TRUE(langs);
  EXPECT_TRUE(CFArrayContainsValue(langs.get(), CFRangeMake(0, CFArrayGetCount(langs.get())), CFSTR("de")));
  CFRef<CFArrayRef> currencies = adopt(CFLocaleCopyCommonISOCurrencyCodes());
  ASSERT_TRUE(currencies);
  EXPECT_TRUE(CFArrayContainsValue(currencies.get(), CFRangeMake(0, CFArrayGetCount(currencies.get())), CFSTR("EUR")));
}

CFRef<CFNumberFormatterRef> formatter(const char* locale, CFNumberFormatterStyle style) {
  CFRef<CFLocaleRef> loc = adopt(CFLocaleCreate(nullptr, cf(locale).get()));
  return adopt(CFNumberFormatterCreate(nullptr, loc.get(), style));
}

template <class T>
CFRef<CFNumberRef> number(CFNumberType type, T v) {
  return adopt(CFNumberCreate(nullptr, type, &v));
}

std::string format(CFNumberFormatterRef f, double v) {
  return text(adopt(CFNumberFormatterCreateStringWithValue(nullptr, f, kCFNumberDoubleType, &v)).get());
}

TEST(CFNumberFormatter, FormatsPerLocaleAndStyle) {
  auto us = formatter("en_US", kCFNumberFormatterDecimalStyle);
  auto de = formatter("de_DE", kCFNumberFormatterDecimalStyle);
  ASSERT_TRUE(us && de);
  EXPECT_EQ(format(us.get(), 1234567.891), "1,234,567.891");
  EXPECT_EQ(format(de.get(), 1234567.891), "1.234.567,891");
  EXPECT_EQ(format(us.get(), -0.5), "-0.5");
  EXPECT_EQ(format(us.get(), 2.0004), "2");  // three fraction digits at most
  int64_t big = INT64_MAX;
  EXPECT_EQ(text(adopt(CFNumberFormatterCreateStringWithValue(nullptr, us.get(), kCFNumberSInt64Type, &big)).get()),
            "9,223,372,036,854,775,807");
  CFSInt128Struct umax = {0, UINT64_MAX}, negative = {-2, 5};
  EXPECT_EQ(text(adopt(CFNumberFormatterCreateStringWithValue(nullptr, us.get(), kCFNumberSInt128Type, &umax)).get()),
            "18,446,744,073,709,551,615");
  EXPECT_EQ(
      text(adopt(CFNumberFormatterCreateStringWithValue(nullptr, us.get(), kCFNumberSInt128Type, &negative)).get()),
      "-36,893,488,147,419,103,227");
  CFRef<CFNumberRef> n = number(kCFNumberSInt32Type, 1000);
  EXPECT_EQ(text(adopt(CFNumberFormatterCreateStringWithNumber(nullptr, de.get(), n.get())).get()), "1.000");
  EXPECT_EQ(text(CFNumberFormatterGetFormat(us.get())), "#,##0.###");
  EXPECT_TRUE(CFEqual(CFLocaleGetIdentifier(CFNumberFormatterGetLocale(de.get())), CFSTR("de_DE")));

  EXPECT_EQ(format(formatter("en_US", kCFNumberFormatterNoStyle).get(), 1234.6), "1235");
  EXPECT_EQ(format(formatter("en_US", kCFNumberFormatterPercentStyle).get(), 0.256), "26%");
  EXPECT_EQ(format(formatter("en_US", kCFNumberFormatterCurrencyStyle).get(), 1234.5), "$1,234.50");
  EXPECT_EQ(format(formatter("de_DE", kCFNumberFormatterCurrencyStyle).get(), 1234.5), "1.234,50\u00a0\u20ac");
  EXPECT_EQ(format(formatter("en_US", kCFNumberFormatterScientificStyle).get(), 12345), "1.2345E4");
  EXPECT_EQ(format(formatter("en_US", kCFNumberFormatterSpellOutStyle).get(), 42), "forty-two");
  EXPECT_EQ(format(formatter("en_US", kCFNumberFormatterOrdinalStyle).get(), 3), "3rd");
  EXPECT_FALSE(formatter("en_US", 7));

  // Properties.
  CFNumberFormatterSetProperty(us.get(), kCFNumberFormatterUseGroupingSeparator, kCFBooleanFalse);
  EXPECT_EQ(format(us.get(), 1234567.891), "1234567.891");
  CFNumberFormatterSetProperty(us.get(), kCFNumberFormatterUseGroupingSeparator, kCFBooleanTrue);
  auto twoN = number(kCFNumberSInt32Type, 2), fiveN = number(kCFNumberSInt32Type, 5);
  CFNumberFormatterSetProperty(us.get(), kCFNumberFormatterMinFractionDigits, twoN.get());
  CFNumberFormatterSetProperty(us.get(), kCFNumberFormatterMaxFractionDigits, fiveN.get());
  EXPECT_EQ(format(us.get(), 3), "3.00");
  EXPECT_EQ(format(us.get(), 3.14159265), "3.14159");
  CFNumberFormatterSetProperty(us.get(), kCFNumberFormatterGroupingSeparator, CFSTR("'"));
  CFNumberFormatterSetProperty(us.get(), kCFNumberFormatterDecimalSeparator, CFSTR(","));
  EXPECT_EQ(format(us.get(), 1234567.5), "1'234'567,50");
  EXPECT_EQ(text(adopt(CFNumberFormatterCopyProperty(us.get(), kCFNumberFormatterGroupingSeparator)).get()), "'");
  // Wrong value types are ignored, not misread.
  CFNumberFormatterSetProperty(us.get(), kCFNumberFormatterMaxFractionDigits, CFSTR("9"));
  EXPECT_EQ(format(us.get(), 3.14159265), "3,14159");
  CFNumberFormatterSetProperty(us.get(), kCFNumberFormatterZeroSymbol, CFSTR("nil"));
  EXPECT_EQ(format(us.get(), 0), "nil");
  EXPECT_EQ(text(adopt(CFNumberFormatterCopyProperty(de.get(), kCFNumberFormatterDefaultFormat)).get()), "#,##0.###");

  // Patterns.
  auto fixed = formatter("en_US", kCFNumberFormatterDecimalStyle);
  CFNumberFormatterSetFormat(fixed.get(), CFSTR("000.00"));
  EXPECT_EQ(text(CFNumberFormatterGetFormat(fixed.get())), "000.00");
  EXPECT_EQ(format(fixed.get(), 3.14159), "003.14");
  CFNumberFormatterSetFormat(fixed.get(), CFSTR("0.0.0"));  // invalid: unchanged
  CFNumberFormatterSetFormat(fixed.get(), CFSTR("0.0'"));
  EXPECT_EQ(text(CFNumberFormatterGetFormat(fixed.get())), "000.00");

  // Widths and digit counts are bounded: a huge one is ignored rather than materialised.
  auto padded = formatter("en_US", kCFNumberFormatterDecimalStyle);
  auto widthN = number(kCFNumberSInt32Type, 8), hugeN = number(kCFNumberSInt32Type, 200000000);
  CFNumberFormatterSetProperty(padded.get(), kCFNumberFormatterPaddingCharacter, CFSTR("*"));
  CFNumberFormatterSetProperty(padded.get(), kCFNumberFormatterFormatWidth, widthN.get());
  EXPECT_EQ(format(padded.get(), 12.5), "****12.5");
  CFNumberFormatterSetProperty(padded.get(), kCFNumberFormatterFormatWidth, hugeN.get());
  CFNumberFormatterSetProperty(padded.get(), kCFNumberFormatterMinIntegerDigits, hugeN.get());
  CFNumberFormatterSetProperty(padded.get(), kCFNumberFormatterMinFractionDigits, hugeN.get());
  CFRef<CFTypeRef> widthNow = adopt(CFNumberFormatterCopyProperty(padded.get(), kCFNumberFormatterFormatWidth));
  ASSERT_TRUE(widthNow);
  EXPECT_TRUE(CFEqual(widthNow.get(), widthN.get()));
  EXPECT_EQ(format(padded.get(), 12.5), "****12.5");

  // A fractional multiplier is a decimal scale, not truncated to zero; others are refused.
  auto scaled = formatter("en_US", kCFNumberFormatterDecimalStyle);
  auto milliN = number(kCFNumberDoubleType, 0.001), thirdN = number(kCFNumberDoubleType, 0.3);
  CFNumberFormatterSetProperty(scaled.get(), kCFNumberFormatterMultiplier, milliN.get());
  EXPECT_EQ(format(scaled.get(), 5000), "5");
  CFNumberFormatterSetProperty(scaled.get(), kCFNumberFormatterMultiplier, thirdN.get());
  EXPECT_EQ(format(scaled.get(), 5000), "5");
  CFRef<CFTypeRef> multiplier = adopt(CFNumberFormatterCopyProperty(scaled.get(), kCFNumberFormatterMultiplier));
  ASSERT_TRUE(multiplier);
  EXPECT_TRUE(CFEqual(multiplier.get(), milliN.get()));
  auto thousandN = number(kCFNumberSInt32Type, 1000);
  CFNumberFormatterSetProperty(scaled.get(), kCFNumberFormatterMultiplier, thousandN.get());
  EXPECT_EQ(format(scaled.get(), 5), "5,000");  // the earlier scale does not linger
  multiplier = adopt(CFNumberFormatterCopyProperty(scaled.get(), kCFNumberFormatterMultiplier));
  ASSERT_TRUE(multiplier);
  EXPECT_TRUE(CFEqual(multiplier.get(), thousandN.get()));
}

TEST(CFNumberFormatter, ConcurrentUseOfOneFormatter) {
  auto us = formatter("en_US", kCFNumberFormatterDecimalStyle);
  ASSERT_TRUE(us);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) {
        if (text(CFNumberFormatterGetFormat(us.get())) != "#,##0.###") ++failures;
        if (format(us.get(), 1234.5) != "1,234.5") ++failures;
        CFRef<CFNumberRef> n =
            adopt(CFNumberFormatterCreateNumberFromString(nullptr, us.get(), CFSTR("12.5"), nullptr, 0));
        double d = 0;
        if (!n || !CFNumberGetValue(n.get(), kCFNumberDoubleType, &d) || d != 12.5) ++failures;
        if ((i + t) % 2 == 0) {
          CFRange r = CFRangeMake(0, 4);
          n = adopt(CFNumberFormatterCreateNumberFromString(nullptr, us.get(), CFSTR("12.5"), &r,
                                                            kCFNumberFormatterParseIntegersOnly));
          if (!n || !CFNumberGetValue(n.get(), kCFNumberDoubleType, &d) || d != 12 || r.length != 2) ++failures;
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(CFNumberFormatter, Parses) {
  auto us = formatter("en_US", kCFNumberFormatterDecimalStyle);
  auto de = formatter("de_DE", kCFNumberFormatterDecimalStyle);
  CFRef<CFNumberRef> n =
      adopt(CFNumberFormatterCreateNumberFromString(nullptr, us.get(), CFSTR("1,234.5"), nullptr, 0));
  ASSERT_TRUE(n);
  double d = 0;
  EXPECT_TRUE(CFNumberGetValue(n.get(), kCFNumberDoubleType, &d));
  EXPECT_EQ(d, 1234.5);
  n = adopt(CFNumberFormatterCreateNumberFromString(nullptr, us.get(), CFSTR("-42"), nullptr, 0));
  ASSERT_TRUE(n);
  EXPECT_FALSE(CFNumberIsFloatType(n.get()));
  int64_t i = 0;
  EXPECT_TRUE(CFNumberGetValue(n.get(), kCFNumberSInt64Type, &i));
  EXPECT_EQ(i, -42);
  n = adopt(CFNumberFormatterCreateNumberFromString(nullptr, us.get(), CFSTR("9,007,199,254,740,993"), nullptr, 0));
  ASSERT_TRUE(n);
  EXPECT_TRUE(CFNumberGetValue(n.get(), kCFNumberSInt64Type, &i));
  EXPECT_EQ(i, 9007199254740993);  // not rounded through a double

  // Without a range the whole string must parse; with one, the parsed length comes back.
  for (CFStringRef bad : {CFSTR("12abc"), CFSTR("abc"), CFSTR("")}) {
    EXPECT_FALSE(adopt(CFNumberFormatterCreateNumberFromString(nullptr, us.get(), bad, nullptr, 0))) << text(bad);
  }
  CFRange r = CFRangeMake(2, 5);
  n = adopt(CFNumberFormatterCreateNumberFromString(nullptr, us.get(), CFSTR("x:12.5abc"), &r, 0));
  ASSERT_TRUE(n);
  EXPECT_EQ(r.location, 2);
  EXPECT_EQ(r.length, 4);
  r = CFRangeMake(5, 10);
  EXPECT_FALSE(adopt(CFNumberFormatterCreateNumberFromString(nullptr, us.get(), CFSTR("x:12.5abc"), &r, 0)));
  r = CFRangeMake(0, 6);
  n = adopt(CFNumberFormatterCreateNumberFromString(nullptr, us.get(), CFSTR("12.75 "), &r,
                                                    kCFNumberFormatterParseIntegersOnly));
  ASSERT_TRUE(n);
  EXPECT_EQ(r.length, 2);
  EXPECT_TRUE(CFNumberGetValue(n.get(), kCFNumberSInt64Type, &i));
  EXPECT_EQ(i, 12);

  SInt32 v = 0;
  EXPECT_TRUE(CFNumberFormatterGetValueFromString(de.get(), CFSTR("1.000"), nullptr, kCFNumberSInt32Type, &v));
  EXPECT_EQ(v, 1000);
  EXPECT_FALSE(CFNumberFormatterGetValueFromString(us.get(), CFSTR("2.75"), nullptr, kCFNumberSInt32Type, &v));
  EXPECT_EQ(v, 2);  // stored anyway, as CFNumberGetValue does
  auto percent = formatter("en_US", kCFNumberFormatterPercentStyle);
  EXPECT_TRUE(CFNumberFormatterGetValueFromString(percent.get(), CFSTR("50%"), nullptr, kCFNumberDoubleType, &d));
  EXPECT_EQ(d, 0.5);

  int32_t digits = 0;
  double increment = -1;
  EXPECT_TRUE(CFNumberFormatterGetDecimalInfoForCurrencyCode(CFSTR("JPY"), &digits, &increment));
  EXPECT_EQ(digits, 0);
  EXPECT_FALSE(CFNumberFormatterGetDecimalInfoForCurrencyCode(CFSTR("QQQ"), &digits, &increment));
}

TEST(CFBundle, MainBundleIsTheExecutablesFolder) {
  CFBundleRef main = CFBundleGetMainBundle();
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(CFBundleGetMainBundle(), main);
  char exe[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  std::string exePath(exe, static_cast<size_t>(n));
  std::string folder = exePath.substr(0, exePath.rfind('/'));

  CFRef<CFURLRef> exeURL = adopt(CFBundleCopyExecutableURL(main));
  ASSERT_TRUE(exeURL);
  EXPECT_EQ(text(CFURLGetString(exeURL.get())), "file://" + exePath);
  CFRef<CFURLRef> bundleURL = adopt(CFBundleCopyBundleURL(main));
  ASSERT_TRUE(bundleURL);
  EXPECT_EQ(text(CFURLGetString(bundleURL.get())), "file://" + folder + "/");
  EXPECT_TRUE(CFURLHasDirectoryPath(bundleURL.get()));

  EXPECT_EQ(CFBundleGetIdentifier(main), nullptr);
  EXPECT_EQ(CFBundleGetValueForInfoDictionaryKey(main, kCFBundleIdentifierKey), nullptr);
  CFDictionaryRef info = CFBundleGetInfoDictionary(main);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(CFDictionaryGetCount(info), 0);

  std::string name = exePath.substr(exePath.rfind('/') + 1);
  CFRef<CFURLRef> res = adopt(CFBundleCopyResourceURL(main, cf(name).get(), nullptr, nullptr));
  ASSERT_TRUE(res);
  EXPECT_TRUE(CFEqual(res.get(), exeURL.get()));
  EXPECT_FALSE(adopt(CFBundleCopyResourceURL(main, CFSTR("no-such-resource"), CFSTR("txt"), nullptr)));

  CFRef<CFStringRef> loc = adopt(CFCopyLocalizedString(CFSTR("Hello"), "greeting"));
  EXPECT_EQ(text(loc.get()), "Hello");

  CFRef<CFBundleRef> other = adopt(CFBundleCreate(nullptr, bundleURL.get()));
  ASSERT_TRUE(other);
  EXPECT_FALSE(adopt(CFBundleCopyExecutableURL(other.get())));
  CFRef<CFURLRef> otherURL = adopt(CFBundleCopyBundleURL(other.get()));
  EXPECT_TRUE(CFEqual(otherURL.get(), bundleURL.get()));
  // Two bundles for one folder are equal, so they must hash alike (e.g. as dictionary keys).
  CFRef<CFBundleRef> again = adopt(CFBundleCreate(nullptr, bundleURL.get()));
  ASSERT_TRUE(again);
  EXPECT_TRUE(CFEqual(other.get(), again.get()));
  EXPECT_EQ(CFHash(other.get()), CFHash(again.get()));
  EXPECT_FALSE(CFEqual(other.get(), main));  // the main bundle also has an executable
}

}  // namespace
