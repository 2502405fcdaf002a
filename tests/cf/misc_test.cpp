// CFError, CFUUID, CFLocale, CFNumberFormatter and CFBundle.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <regex>

#include "CFTestSupport.h"

using namespace qxtest;

namespace {

const std::string kCouldNot = "The operation couldn\u2019t be completed. ";

// An error's description, failure reason and recovery suggestion ("<NULL>" where it has none).
std::tuple<std::string, std::string, std::string> texts(const CFRef<CFErrorRef>& e) {
  return {take(CFErrorCopyDescription(e.get())), take(CFErrorCopyFailureReason(e.get())),
          take(CFErrorCopyRecoverySuggestion(e.get()))};
}

TEST(CFError, DomainsCodesAndDescriptions) {
  // How the property-list reader reports a parse error.
  auto msg = S("Unexpected character < at line 3");
  const void* keys[] = {kCFErrorDescriptionKey, kCFErrorDebugDescriptionKey};
  const void* values[] = {msg.get(), msg.get()};
  auto err = adopt(CFErrorCreateWithUserInfoKeysAndValues(nullptr, kCFErrorDomainCocoa, kCFPropertyListReadCorruptError,
                                                          keys, values, 2));
  ASSERT_TRUE(err);
  EXPECT_TRUE(CFEqual(CFErrorGetDomain(err.get()), kCFErrorDomainCocoa));
  EXPECT_EQ(CFErrorGetCode(err.get()), kCFPropertyListReadCorruptError);
  auto info = adopt(CFErrorCopyUserInfo(err.get()));
  EXPECT_EQ(CFDictionaryGetCount(info.get()), 2);
  EXPECT_TRUE(CFEqual(CFDictionaryGetValue(info.get(), kCFErrorDebugDescriptionKey), msg.get()));
  EXPECT_EQ(texts(err),
            std::make_tuple(kCouldNot + "(NSCocoaErrorDomain error 3840 - Unexpected character < at line 3)", "<NULL>",
                            "<NULL>"));
  EXPECT_NE(describe(err.get()).find("Error Domain=NSCocoaErrorDomain Code=3840"), std::string::npos);

  // The localized description wins; reason and suggestion come from their keys.
  auto user = dict();
  CFDictionarySetValue(user.get(), kCFErrorLocalizedDescriptionKey, CFSTR("Disk full."));
  CFDictionarySetValue(user.get(), kCFErrorLocalizedFailureReasonKey, CFSTR("No space left."));
  CFDictionarySetValue(user.get(), kCFErrorLocalizedRecoverySuggestionKey, CFSTR("Delete something."));
  auto custom = adopt(CFErrorCreate(nullptr, CFSTR("com.example"), -7, user.get()));
  CFDictionaryRemoveAllValues(user.get());  // the error keeps its own copy
  EXPECT_EQ(texts(custom), std::make_tuple("Disk full.", "No space left.", "Delete something."));

  // POSIX errors explain themselves; bare errors still describe domain and code.
  auto posix = adopt(CFErrorCreate(nullptr, kCFErrorDomainPOSIX, ENOENT, nullptr));
  EXPECT_EQ(texts(posix), std::make_tuple(kCouldNot + std::strerror(ENOENT), std::strerror(ENOENT), "<NULL>"));
  EXPECT_EQ(CFDictionaryGetCount(adopt(CFErrorCopyUserInfo(posix.get())).get()), 0);
  auto bare = adopt(CFErrorCreate(nullptr, kCFErrorDomainOSStatus, -43, nullptr));
  EXPECT_EQ(std::get<0>(texts(bare)), kCouldNot + "(NSOSStatusErrorDomain error -43.)");
  EXPECT_TRUE(CFEqual(bare.get(), adopt(CFErrorCreate(nullptr, kCFErrorDomainOSStatus, -43, nullptr)).get()));
  EXPECT_FALSE(CFEqual(bare.get(), posix.get()));
  EXPECT_FALSE(adopt(CFErrorCreate(nullptr, nullptr, 1, nullptr)));
  EXPECT_FALSE(adopt(CFErrorCreateWithUserInfoKeysAndValues(nullptr, kCFErrorDomainCocoa, 1, nullptr, nullptr, 2)));
}

TEST(CFUUID, StringsBytesAndIdentity) {
  auto a = adopt(CFUUIDCreate(nullptr)), b = adopt(CFUUIDCreate(nullptr));
  ASSERT_TRUE(a && b);
  EXPECT_FALSE(CFEqual(a.get(), b.get()));
  auto s = adopt(CFUUIDCreateString(nullptr, a.get()));
  // Random, version 4, RFC 4122 variant.
  const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  EXPECT_TRUE(std::regex_match(utf8(s.get()), form)) << utf8(s.get());
  auto back = adopt(CFUUIDCreateFromString(nullptr, s.get()));
  EXPECT_SAME(a.get(), back.get());

  auto known = adopt(CFUUIDCreateWithBytes(nullptr, 0x68, 0x75, 0x3A, 0x44, 0x4D, 0x6F, 0x12, 0x26, 0x9C, 0x60, 0x00,
                                           0x50, 0xE4, 0xC0, 0x00, 0x67));
  EXPECT_EQ(take(CFUUIDCreateString(nullptr, known.get())), "68753A44-4D6F-1226-9C60-0050E4C00067");
  CFUUIDBytes bytes = CFUUIDGetUUIDBytes(known.get());
  EXPECT_EQ(std::make_pair(bytes.byte0, bytes.byte15), std::make_pair(UInt8{0x68}, UInt8{0x67}));
  EXPECT_TRUE(CFEqual(adopt(CFUUIDCreateFromUUIDBytes(nullptr, bytes)).get(), known.get()));
  for (const char* text : {"68753a44-4d6f-1226-9c60-0050e4c00067", "{68753A44-4D6F-1226-9C60-0050E4C00067}"}) {
    EXPECT_TRUE(CFEqual(adopt(CFUUIDCreateFromString(nullptr, S(text).get())).get(), known.get())) << text;
  }
  for (const char* bad : {"", "68753A44-4D6F-1226-9C60-0050E4C0006", "68753A44-4D6F-1226-9C60-0050E4C000677",
                          "68753A444D6F-1226-9C60-0050E4C00067X", "68753A44-4D6F-1226-9C60-0050E4C0006G",
                          "68753A44+4D6F-1226-9C60-0050E4C00067", "{68753A44-4D6F-1226-9C60-0050E4C00067"}) {
    EXPECT_FALSE(adopt(CFUUIDCreateFromString(nullptr, S(bad).get()))) << bad;
  }

  CFUUIDRef c1 = CFUUIDGetConstantUUIDWithBytes(nullptr, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16);
  CFUUIDRef c2 = CFUUIDGetConstantUUIDWithBytes(nullptr, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16);
  EXPECT_EQ(c1, c2);
  CFRelease(c1);  // constants survive stray releases
  EXPECT_EQ(take(CFUUIDCreateString(nullptr, c2)), "01020304-0506-0708-090A-0B0C0D0E0F10");
}

TEST(CFLocale, PreferredLanguagesFromTheEnvironment) {
  EnvGuard guard({"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"});
  EnvGuard::set({{"LANGUAGE", nullptr}, {"LC_ALL", nullptr}, {"LC_MESSAGES", nullptr}, {"LANG", nullptr}});
  using V = std::vector<std::string>;
  // Each step sets (or with NULL unsets) one variable, in order.
  using Step = std::tuple<const char*, const char*, V>;
  for (const auto& [name, value, preferred] :
       {Step{"LANG", nullptr, {"en"}}, Step{"LANG", "de_DE.UTF-8", {"de-DE"}},
        Step{"LC_MESSAGES", "fr_CA.UTF-8", {"fr-CA"}}, Step{"LC_ALL", "pt_BR", {"pt-BR"}},
        Step{"LC_ALL", "POSIX", {"en"}},
        Step{"LANGUAGE", "sv:de_AT:zh_Hans_CN.UTF-8:sv::nonsense-!!", {"sv", "de-AT", "zh-Hans-CN"}},
        Step{"LANGUAGE", "", {"en"}},  // empty counts as unset
        Step{"LC_ALL", nullptr, {"fr-CA"}}, Step{"LC_MESSAGES", "sr_RS@latin", {"sr-RS"}}}) {
    EnvGuard::set({{name, value}});
    auto a = adopt(CFLocaleCopyPreferredLanguages());
    EXPECT_EQ(a ? strings(a.get()) : V{"(NULL)"}, preferred) << name << "=" << (value ? value : "(unset)");
  }

  // The current locale follows LC_ALL, then LANG.
  EnvGuard::set({{"LANGUAGE", nullptr}, {"LC_MESSAGES", nullptr}, {"LANG", "de_DE.UTF-8"}});
  EXPECT_EQ(text(CFLocaleGetIdentifier(adopt(CFLocaleCopyCurrent()).get())), "de_DE");
  EnvGuard::set({{"LC_ALL", "C"}});
  EXPECT_EQ(text(CFLocaleGetIdentifier(adopt(CFLocaleCopyCurrent()).get())), "en_US");
}

TEST(CFLocale, IdentifiersAndValues) {
  auto de = adopt(CFLocaleCreate(nullptr, CFSTR("de-DE")));
  auto us = adopt(CFLocaleCreate(nullptr, CFSTR("en_US")));
  auto hans = adopt(CFLocaleCreate(nullptr, CFSTR("zh-Hans-CN")));
  ASSERT_TRUE(de && us && hans);
  EXPECT_EQ(text(CFLocaleGetIdentifier(de.get())), "de_DE");
  EXPECT_EQ(text(CFLocaleGetIdentifier(hans.get())), "zh_Hans_CN");
  EXPECT_EQ(text(CFLocaleGetIdentifier(CFLocaleGetSystem())), "");
  // Values as "%@" shows them; keys compare by value, not by pointer.
  using KV = std::tuple<CFLocaleRef, CFStringRef, const char*>;
  for (const auto& [in, key, value] :
       {KV{de.get(), kCFLocaleLanguageCode, "de"}, KV{de.get(), kCFLocaleCountryCode, "DE"},
        KV{de.get(), kCFLocaleDecimalSeparator, ","}, KV{de.get(), kCFLocaleGroupingSeparator, "."},
        KV{de.get(), kCFLocaleCurrencyCode, "EUR"}, KV{de.get(), kCFLocaleCurrencySymbol, "\u20ac"},
        KV{de.get(), kCFLocaleUsesMetricSystem, "true"}, KV{de.get(), kCFLocaleCalendarIdentifier, "gregorian"},
        KV{de.get(), kCFLocaleScriptCode, "(null)"}, KV{de.get(), CFSTR("no such key"), "(null)"},
        KV{de.get(), CFSTR("kCFLocaleLanguageCodeKey"), "de"}, KV{us.get(), kCFLocaleUsesMetricSystem, "false"},
        KV{us.get(), kCFLocaleMeasurementSystem, "U.S."}, KV{hans.get(), kCFLocaleScriptCode, "Hans"}})
    EXPECT_EQ(formatted(CFLocaleGetValue(in, key)), value) << text(key);
  EXPECT_TRUE(CFEqual(de.get(), adopt(CFLocaleCreate(nullptr, CFSTR("de_DE"))).get()));
  EXPECT_FALSE(CFEqual(de.get(), us.get()));

  EXPECT_EQ(take(CFLocaleCreateCanonicalLanguageIdentifierFromString(nullptr, CFSTR("de_DE"))), "de-DE");
  EXPECT_EQ(take(CFLocaleCreateCanonicalLocaleIdentifierFromString(nullptr, CFSTR("de-DE"))), "de_DE");
  auto parts = adopt(CFLocaleCreateComponentsFromLocaleIdentifier(nullptr, CFSTR("sr_Latn_RS@calendar=gregorian")));
  ASSERT_TRUE(parts);
  EXPECT_EQ(text(CFDictionaryGetValue(parts.get(), kCFLocaleLanguageCode)), "sr");
  EXPECT_EQ(text(CFDictionaryGetValue(parts.get(), kCFLocaleScriptCode)), "Latn");
  EXPECT_EQ(text(CFDictionaryGetValue(parts.get(), kCFLocaleCountryCode)), "RS");
  EXPECT_EQ(text(CFDictionaryGetValue(parts.get(), CFSTR("calendar"))), "gregorian");
  EXPECT_EQ(take(CFLocaleCreateLocaleIdentifierFromComponents(nullptr, parts.get())), "sr_Latn_RS@calendar=gregorian");

  // Display names; calendar and collation names come from ICU's keyword values, unknown values
  // have none.
  using N = std::tuple<CFLocaleRef, CFLocaleKey, CFStringRef, const char*>;
  for (const auto& [in, key, value, name] :
       {N{us.get(), kCFLocaleIdentifier, CFSTR("de_DE"), "German (Germany)"},
        N{de.get(), kCFLocaleLanguageCode, CFSTR("fr"), "Franz\u00f6sisch"},
        N{us.get(), kCFLocaleCalendarIdentifier, CFSTR("gregorian"), "Gregorian Calendar"},
        N{us.get(), kCFLocaleCalendarIdentifier, CFSTR("japanese"), "Japanese Calendar"},
        N{de.get(), kCFLocaleCalendarIdentifier, CFSTR("gregorian"), "Gregorianischer Kalender"},
        N{us.get(), kCFLocaleCollationIdentifier, CFSTR("phonebook"), "Phonebook Sort Order"},
        N{us.get(), kCFLocaleCalendarIdentifier, CFSTR("nosuchcalendar"), "<NULL>"},
        N{us.get(), kCFLocaleCalendarIdentifier, CFSTR("gregorian;collation=phonebook"), "<NULL>"}})
    EXPECT_EQ(take(CFLocaleCopyDisplayNameForPropertyValue(in, key, value)), name);
  EXPECT_EQ(CFLocaleGetLanguageCharacterDirection(CFSTR("ar")), kCFLocaleLanguageDirectionRightToLeft);

  auto langs = adopt(CFLocaleCopyISOLanguageCodes());
  auto currencies = adopt(CFLocaleCopyCommonISOCurrencyCodes());
  ASSERT_TRUE(langs && currencies);
  EXPECT_TRUE(CFArrayContainsValue(langs.get(), CFRangeMake(0, CFArrayGetCount(langs.get())), CFSTR("de")));
  EXPECT_TRUE(CFArrayContainsValue(currencies.get(), CFRangeMake(0, CFArrayGetCount(currencies.get())), CFSTR("EUR")));
}

CFRef<CFNumberFormatterRef> formatter(const char* locale, CFNumberFormatterStyle style) {
  return adopt(CFNumberFormatterCreate(nullptr, adopt(CFLocaleCreate(nullptr, S(locale).get())).get(), style));
}
template <class T>
std::string format(const CFRef<CFNumberFormatterRef>& f, T v, CFNumberType type = kCFNumberDoubleType) {
  return take(CFNumberFormatterCreateStringWithValue(nullptr, f.get(), type, &v));
}
template <class T>
void setProperty(const CFRef<CFNumberFormatterRef>& f, CFStringRef key, T value) {
  if constexpr (std::is_same_v<T, int>) {
    CFNumberFormatterSetProperty(f.get(), key, make(kCFNumberSInt32Type, value).get());
  } else if constexpr (std::is_same_v<T, double>) {
    CFNumberFormatterSetProperty(f.get(), key, real(value).get());
  } else {
    CFNumberFormatterSetProperty(f.get(), key, value);
  }
}
std::string formatFromProperty(const CFRef<CFNumberFormatterRef>& f, CFStringRef key) {
  return formatted(adopt(CFNumberFormatterCopyProperty(f.get(), key)).get());
}

TEST(CFNumberFormatter, FormatsPerLocaleAndStyle) {
  auto us = formatter("en_US", kCFNumberFormatterDecimalStyle);
  auto de = formatter("de_DE", kCFNumberFormatterDecimalStyle);
  ASSERT_TRUE(us && de);
  EXPECT_EQ(format(us, 1234567.891), "1,234,567.891");
  EXPECT_EQ(format(de, 1234567.891), "1.234.567,891");
  EXPECT_EQ(format(us, -0.5), "-0.5");
  EXPECT_EQ(format(us, 2.0004), "2");  // three fraction digits at most
  EXPECT_EQ(format(us, INT64_MAX, kCFNumberSInt64Type), "9,223,372,036,854,775,807");
  EXPECT_EQ(format(us, CFSInt128Struct{0, UINT64_MAX}, kCFNumberSInt128Type), "18,446,744,073,709,551,615");
  EXPECT_EQ(format(us, CFSInt128Struct{-2, 5}, kCFNumberSInt128Type), "-36,893,488,147,419,103,227");
  EXPECT_EQ(take(CFNumberFormatterCreateStringWithNumber(nullptr, de.get(), num(1000).get())), "1.000");
  using St = std::tuple<const char*, CFNumberFormatterStyle, double, const char*>;
  for (const auto& [locale, style, value, text] :
       {St{"en_US", kCFNumberFormatterNoStyle, 1234.6, "1235"},
        St{"en_US", kCFNumberFormatterPercentStyle, 0.256, "26%"},
        St{"en_US", kCFNumberFormatterCurrencyStyle, 1234.5, "$1,234.50"},
        St{"de_DE", kCFNumberFormatterCurrencyStyle, 1234.5, "1.234,50\u00a0\u20ac"},
        St{"en_US", kCFNumberFormatterScientificStyle, 12345, "1.2345E4"},
        St{"en_US", kCFNumberFormatterSpellOutStyle, 42, "forty-two"},
        St{"en_US", kCFNumberFormatterOrdinalStyle, 3, "3rd"}})
    EXPECT_EQ(format(formatter(locale, style), value), text);
  EXPECT_FALSE(formatter("en_US", 7));

  // Properties; values of the wrong type are ignored, not misread.
  setProperty(us, kCFNumberFormatterUseGroupingSeparator, kCFBooleanFalse);
  EXPECT_EQ(format(us, 1234567.891), "1234567.891");
  setProperty(us, kCFNumberFormatterUseGroupingSeparator, kCFBooleanTrue);
  setProperty(us, kCFNumberFormatterMinFractionDigits, 2);
  setProperty(us, kCFNumberFormatterMaxFractionDigits, 5);
  EXPECT_EQ(format(us, 3.0), "3.00");
  EXPECT_EQ(format(us, 3.14159265), "3.14159");
  setProperty(us, kCFNumberFormatterGroupingSeparator, CFSTR("'"));
  setProperty(us, kCFNumberFormatterDecimalSeparator, CFSTR(","));
  EXPECT_EQ(format(us, 1234567.5), "1'234'567,50");
  setProperty(us, kCFNumberFormatterMaxFractionDigits, CFSTR("9"));
  EXPECT_EQ(format(us, 3.14159265), "3,14159");
  setProperty(us, kCFNumberFormatterZeroSymbol, CFSTR("nil"));
  EXPECT_EQ(format(us, 0.0), "nil");
  EXPECT_EQ(formatFromProperty(de, kCFNumberFormatterDefaultFormat), "#,##0.###");

  // Patterns; invalid ones leave the pattern unchanged.
  auto fixed = formatter("en_US", kCFNumberFormatterDecimalStyle);
  CFNumberFormatterSetFormat(fixed.get(), CFSTR("000.00"));
  EXPECT_EQ(format(fixed, 3.14159), "003.14");
  CFNumberFormatterSetFormat(fixed.get(), CFSTR("0.0.0"));
  CFNumberFormatterSetFormat(fixed.get(), CFSTR("0.0'"));
  EXPECT_EQ(text(CFNumberFormatterGetFormat(fixed.get())), "000.00");

  // Widths and digit counts are bounded: a huge one is ignored rather than materialised.
  auto padded = formatter("en_US", kCFNumberFormatterDecimalStyle);
  setProperty(padded, kCFNumberFormatterPaddingCharacter, CFSTR("*"));
  setProperty(padded, kCFNumberFormatterFormatWidth, 8);
  EXPECT_EQ(format(padded, 12.5), "****12.5");
  for (CFStringRef key :
       {kCFNumberFormatterFormatWidth, kCFNumberFormatterMinIntegerDigits, kCFNumberFormatterMinFractionDigits}) {
    setProperty(padded, key, 200000000);
  }
  EXPECT_EQ(formatFromProperty(padded, kCFNumberFormatterFormatWidth), "8");
  EXPECT_EQ(format(padded, 12.5), "****12.5");

  // A fractional multiplier is a decimal scale, not truncated to zero; others are refused.
  auto scaled = formatter("en_US", kCFNumberFormatterDecimalStyle);
  setProperty(scaled, kCFNumberFormatterMultiplier, 0.001);
  EXPECT_EQ(format(scaled, 5000.0), "5");
  setProperty(scaled, kCFNumberFormatterMultiplier, 0.3);
  EXPECT_EQ(format(scaled, 5000.0), "5");
  EXPECT_EQ(formatFromProperty(scaled, kCFNumberFormatterMultiplier), "0.001");
  setProperty(scaled, kCFNumberFormatterMultiplier, 1000);
  EXPECT_EQ(format(scaled, 5.0), "5,000");  // the earlier scale does not linger
  EXPECT_EQ(formatFromProperty(scaled, kCFNumberFormatterMultiplier), "1000");
}

TEST(CFNumberFormatter, ConcurrentUseOfOneFormatter) {
  auto us = formatter("en_US", kCFNumberFormatterDecimalStyle);
  ASSERT_TRUE(us);
  std::atomic<int> failures{0};
  onThreads(4, [&](int t) {
    for (int i = 0; i < 100; ++i) {
      if (text(CFNumberFormatterGetFormat(us.get())) != "#,##0.###") ++failures;
      if (format(us, 1234.5) != "1,234.5") ++failures;
      auto n = adopt(CFNumberFormatterCreateNumberFromString(nullptr, us.get(), CFSTR("12.5"), nullptr, 0));
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
  EXPECT_EQ(failures.load(), 0);
}

TEST(CFNumberFormatter, Parses) {
  auto us = formatter("en_US", kCFNumberFormatterDecimalStyle);
  auto parse = [&](CFStringRef s, CFRange* r = nullptr, CFOptionFlags options = 0) {
    return adopt(CFNumberFormatterCreateNumberFromString(nullptr, us.get(), s, r, options));
  };
  EXPECT_EQ(formatted(parse(CFSTR("1,234.5")).get()), "1234.5");
  auto n = parse(CFSTR("-42"));
  ASSERT_TRUE(n);
  EXPECT_FALSE(CFNumberIsFloatType(n.get()));
  EXPECT_EQ(formatted(n.get()), "-42");
  EXPECT_EQ(formatted(parse(CFSTR("9,007,199,254,740,993")).get()),
            "9007199254740993");  // not rounded through a double

  // Without a range the whole string must parse; with one, the parsed length comes back.
  for (CFStringRef bad : {CFSTR("12abc"), CFSTR("abc"), CFSTR("")}) EXPECT_FALSE(parse(bad)) << text(bad);
  CFRange r = CFRangeMake(2, 5);
  EXPECT_EQ(formatted(parse(CFSTR("x:12.5abc"), &r).get()), "12.5");
  EXPECT_EQ(std::make_pair(r.location, r.length), std::make_pair(CFIndex{2}, CFIndex{4}));
  r = CFRangeMake(5, 10);
  EXPECT_FALSE(parse(CFSTR("x:12.5abc"), &r));
  r = CFRangeMake(0, 6);
  EXPECT_EQ(formatted(parse(CFSTR("12.75 "), &r, kCFNumberFormatterParseIntegersOnly).get()), "12");
  EXPECT_EQ(r.length, 2);

  SInt32 v = 0;
  EXPECT_TRUE(CFNumberFormatterGetValueFromString(formatter("de_DE", kCFNumberFormatterDecimalStyle).get(),
                                                  CFSTR("1.000"), nullptr, kCFNumberSInt32Type, &v));
  EXPECT_EQ(v, 1000);
  EXPECT_FALSE(CFNumberFormatterGetValueFromString(us.get(), CFSTR("2.75"), nullptr, kCFNumberSInt32Type, &v));
  EXPECT_EQ(v, 2);  // stored anyway, as CFNumberGetValue does
  double d = 0;
  EXPECT_TRUE(CFNumberFormatterGetValueFromString(formatter("en_US", kCFNumberFormatterPercentStyle).get(),
                                                  CFSTR("50%"), nullptr, kCFNumberDoubleType, &d));
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
  char exe[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  std::string exePath(exe, static_cast<size_t>(n));
  std::string folder = exePath.substr(0, exePath.rfind('/'));

  auto exeURL = adopt(CFBundleCopyExecutableURL(main));
  auto bundleURL = adopt(CFBundleCopyBundleURL(main));
  ASSERT_TRUE(exeURL && bundleURL);
  EXPECT_EQ(formatted(exeURL.get()), "file://" + exePath);
  EXPECT_EQ(formatted(bundleURL.get()), "file://" + folder + "/");
  EXPECT_TRUE(CFURLHasDirectoryPath(bundleURL.get()));

  EXPECT_EQ(CFBundleGetIdentifier(main), nullptr);
  EXPECT_EQ(CFBundleGetValueForInfoDictionaryKey(main, kCFBundleIdentifierKey), nullptr);
  CFDictionaryRef info = CFBundleGetInfoDictionary(main);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(CFDictionaryGetCount(info), 0);

  std::string name = exePath.substr(exePath.rfind('/') + 1);
  EXPECT_TRUE(CFEqual(adopt(CFBundleCopyResourceURL(main, S(name).get(), nullptr, nullptr)).get(), exeURL.get()));
  EXPECT_FALSE(adopt(CFBundleCopyResourceURL(main, CFSTR("no-such-resource"), CFSTR("txt"), nullptr)));
  EXPECT_EQ(take(CFCopyLocalizedString(CFSTR("Hello"), "greeting")), "Hello");

  auto other = adopt(CFBundleCreate(nullptr, bundleURL.get()));
  ASSERT_TRUE(other);
  EXPECT_FALSE(adopt(CFBundleCopyExecutableURL(other.get())));
  EXPECT_TRUE(CFEqual(adopt(CFBundleCopyBundleURL(other.get())).get(), bundleURL.get()));
  // Two bundles for one folder are equal, so they must hash alike (e.g. as dictionary keys).
  auto again = adopt(CFBundleCreate(nullptr, bundleURL.get()));
  ASSERT_TRUE(again);
  EXPECT_SAME(other.get(), again.get());
  EXPECT_FALSE(CFEqual(other.get(), main));  // the main bundle also has an executable
}

}  // namespace
