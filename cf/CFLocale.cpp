// Locales over ICU's locale data; the current locale and preferred languages come from the POSIX
// locale environment (LANGUAGE, LC_ALL, LC_MESSAGES, LANG), the Linux equivalent of user settings.
#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFLocale.h>
#include <CoreFoundation/CFNumber.h>

#include "CFRef.h"
#include "CFRuntime.h"
#include "CFStringInternal.h"

#include <unicode/ucurr.h>
#include <unicode/uenum.h>
#include <unicode/uloc.h>
#include <unicode/ulocdata.h>
#include <unicode/unum.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

using qxcf::adopt;
using qxcf::CFRef;

QXCF_CONSTANT_STRING(kCFLocaleCurrentLocaleDidChangeNotification, "kCFLocaleCurrentLocaleDidChangeNotification");

QXCF_CONSTANT_STRING(kCFLocaleIdentifier, "kCFLocaleIdentifierKey");
QXCF_CONSTANT_STRING(kCFLocaleLanguageCode, "kCFLocaleLanguageCodeKey");
QXCF_CONSTANT_STRING(kCFLocaleCountryCode, "kCFLocaleCountryCodeKey");
QXCF_CONSTANT_STRING(kCFLocaleScriptCode, "kCFLocaleScriptCodeKey");
QXCF_CONSTANT_STRING(kCFLocaleVariantCode, "kCFLocaleVariantCodeKey");
QXCF_CONSTANT_STRING(kCFLocaleExemplarCharacterSet, "kCFLocaleExemplarCharacterSetKey");
QXCF_CONSTANT_STRING(kCFLocaleCalendarIdentifier, "calendar");
QXCF_CONSTANT_STRING(kCFLocaleCalendar, "kCFLocaleCalendarKey");
QXCF_CONSTANT_STRING(kCFLocaleCollationIdentifier, "collation");
QXCF_CONSTANT_STRING(kCFLocaleUsesMetricSystem, "kCFLocaleUsesMetricSystemKey");
QXCF_CONSTANT_STRING(kCFLocaleMeasurementSystem, "kCFLocaleMeasurementSystemKey");
QXCF_CONSTANT_STRING(kCFLocaleDecimalSeparator, "kCFLocaleDecimalSeparatorKey");
QXCF_CONSTANT_STRING(kCFLocaleGroupingSeparator, "kCFLocaleGroupingSeparatorKey");
QXCF_CONSTANT_STRING(kCFLocaleCurrencySymbol, "kCFLocaleCurrencySymbolKey");
QXCF_CONSTANT_STRING(kCFLocaleCurrencyCode, "currency");
QXCF_CONSTANT_STRING(kCFLocaleCollatorIdentifier, "kCFLocaleCollatorIdentifierKey");
QXCF_CONSTANT_STRING(kCFLocaleQuotationBeginDelimiterKey, "kCFLocaleQuotationBeginDelimiterKey");
QXCF_CONSTANT_STRING(kCFLocaleQuotationEndDelimiterKey, "kCFLocaleQuotationEndDelimiterKey");
QXCF_CONSTANT_STRING(kCFLocaleAlternateQuotationBeginDelimiterKey, "kCFLocaleAlternateQuotationBeginDelimiterKey");
QXCF_CONSTANT_STRING(kCFLocaleAlternateQuotationEndDelimiterKey, "kCFLocaleAlternateQuotationEndDelimiterKey");

QXCF_CONSTANT_STRING(kCFGregorianCalendar, "gregorian");
QXCF_CONSTANT_STRING(kCFBuddhistCalendar, "buddhist");
QXCF_CONSTANT_STRING(kCFChineseCalendar, "chinese");
QXCF_CONSTANT_STRING(kCFHebrewCalendar, "hebrew");
QXCF_CONSTANT_STRING(kCFIslamicCalendar, "islamic");
QXCF_CONSTANT_STRING(kCFIslamicCivilCalendar, "islamic-civil");
QXCF_CONSTANT_STRING(kCFJapaneseCalendar, "japanese");
QXCF_CONSTANT_STRING(kCFRepublicOfChinaCalendar, "roc");
QXCF_CONSTANT_STRING(kCFPersianCalendar, "persian");
QXCF_CONSTANT_STRING(kCFIndianCalendar, "indian");
QXCF_CONSTANT_STRING(kCFISO8601Calendar, "iso8601");

namespace {

constexpr size_t kMaxIdentifier = 157;  // ULOC_FULLNAME_CAPACITY

CFStringRef str(std::string_view s) { return qxcf::createStringUTF8(s); }

CFStringRef strU(const UChar* p, int32_t n) {
  return n > 0 ? qxcf::createStringUTF16(nullptr, reinterpret_cast<const UniChar*>(p), n) : nullptr;
}

// Calls an ICU "fill a char buffer" function; "" on failure.
template <class F>
std::string icuChars(F&& fill) {
  char buf[ULOC_FULLNAME_CAPACITY + 1] = {};
  UErrorCode status = U_ZERO_ERROR;
  int32_t n = fill(buf, static_cast<int32_t>(sizeof buf - 1), &status);
  if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING || n < 0 ||
      n >= static_cast<int32_t>(sizeof buf)) {
    return {};
  }
  return std::string(buf, static_cast<size_t>(n));
}

template <class F>
CFStringRef icuUChars(F&& fill) {
  UChar buf[256];
  UErrorCode status = U_ZERO_ERROR;
  int32_t n = fill(buf, 256, &status);
  if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING || n <= 0 || n > 256) return nullptr;
  return strU(buf, n);
}

// "de_DE.UTF-8@euro" → "de_DE"; "C" and "POSIX" → "".
std::string stripPOSIX(std::string_view s) {
  size_t cut = s.find_first_of(".@");
  std::string base(s.substr(0, cut));
  if (base == "C" || base == "POSIX") return {};
  return base;
}

// Any identifier form ("de-DE", "de_DE", "DE_de") → ICU's canonical underscore form ("de_DE").
std::string canonicalLocaleID(std::string id) {
  if (id.size() > kMaxIdentifier) return {};
  if (id.find('-') != std::string::npos && id.find('@') == std::string::npos) {
    std::string fromTag = icuChars([&](char* b, int32_t cap, UErrorCode* st) {
      int32_t parsed = 0;
      int32_t n = uloc_forLanguageTag(id.c_str(), b, cap, &parsed, st);
      if (parsed != static_cast<int32_t>(id.size())) *st = U_ILLEGAL_ARGUMENT_ERROR;
      return n;
    });
    if (!fromTag.empty()) id = fromTag;
  }
  return icuChars([&](char* b, int32_t cap, UErrorCode* st) { return uloc_canonicalize(id.c_str(), b, cap, st); });
}

std::string languageTag(const std::string& icuID) {
  std::string tag = icuChars(
      [&](char* b, int32_t cap, UErrorCode* st) { return uloc_toLanguageTag(icuID.c_str(), b, cap, false, st); });
  return tag == "und" ? std::string() : tag;
}

bool plausibleLanguage(const std::string& icuID) {
  std::string lang =
      icuChars([&](char* b, int32_t cap, UErrorCode* st) { return uloc_getLanguage(icuID.c_str(), b, cap, st); });
  if (lang.size() < 2 || lang.size() > 3) return false;
  for (char c : lang) {
    if (c < 'a' || c > 'z') return false;
  }
  return true;
}

std::string keyword(const std::string& id, const char* key) {
  return icuChars(
      [&](char* b, int32_t cap, UErrorCode* st) { return uloc_getKeywordValue(id.c_str(), key, b, cap, st); });
}

}  // namespace

struct __CFLocale : __CFRuntimeBase {
  std::string icuID;
  CFRef<CFStringRef> identifier;
  CFRef<CFStringRef> language, country, script, variant, calendar, collation, measurement;
  CFBooleanRef usesMetric = kCFBooleanTrue;

  // Number and quotation symbols cost an ICU formatter: made on first use.
  mutable std::once_flag symbolsOnce;
  mutable CFRef<CFStringRef> decimal, grouping, currencySymbol, currencyCode, quoteBegin, quoteEnd, altQuoteBegin,
      altQuoteEnd;

  __CFLocale(CFAllocatorRef alloc, const qxcf::RuntimeClass* cls, std::string id)
      : __CFRuntimeBase(cls, 1, alloc), icuID(std::move(id)) {
    const char* c = icuID.c_str();
    identifier = adopt(str(icuID));
    auto part = [&](auto fn) -> CFRef<CFStringRef> {
      std::string v = icuChars([&](char* b, int32_t cap, UErrorCode* st) { return fn(c, b, cap, st); });
      return v.empty() ? nullptr : adopt(str(v));
    };
    language = part(uloc_getLanguage);
    country = part(uloc_getCountry);
    script = part(uloc_getScript);
    variant = part(uloc_getVariant);
    std::string cal = keyword(icuID, "calendar");
    calendar = adopt(str(cal.empty() ? "gregorian" : cal));
    std::string col = keyword(icuID, "collation");
    if (!col.empty()) collation = adopt(str(col));
    UErrorCode status = U_ZERO_ERROR;
    UMeasurementSystem ms = ulocdata_getMeasurementSystem(c, &status);
    if (U_FAILURE(status)) ms = UMS_SI;
    usesMetric = ms == UMS_US ? kCFBooleanFalse : kCFBooleanTrue;
    measurement = adopt(str(ms == UMS_US ? "U.S." : (ms == UMS_UK ? "U.K." : "Metric")));
  }

  void loadSymbols() const {
    const char* c = icuID.c_str();
    UErrorCode status = U_ZERO_ERROR;
    UNumberFormat* fmt = unum_open(UNUM_DECIMAL, nullptr, 0, c, nullptr, &status);
    if (U_SUCCESS(status)) {
      decimal = adopt(icuUChars([&](UChar* b, int32_t cap, UErrorCode* st) {
        return unum_getSymbol(fmt, UNUM_DECIMAL_SEPARATOR_SYMBOL, b, cap, st);
      }));
      grouping = adopt(icuUChars([&](UChar* b, int32_t cap, UErrorCode* st) {
        return unum_getSymbol(fmt, UNUM_GROUPING_SEPARATOR_SYMBOL, b, cap, st);
      }));
    }
    unum_close(fmt);
    status = U_ZERO_ERROR;
    UNumberFormat* cur = unum_open(UNUM_CURRENCY, nullptr, 0, c, nullptr, &status);
    if (U_SUCCESS(status) && country) {
      currencySymbol = adopt(icuUChars([&](UChar* b, int32_t cap, UErrorCode* st) {
        return unum_getSymbol(cur, UNUM_CURRENCY_SYMBOL, b, cap, st);
      }));
    }
    unum_close(cur);
    if (country) {
      currencyCode =
          adopt(icuUChars([&](UChar* b, int32_t cap, UErrorCode* st) { return ucurr_forLocale(c, b, cap, st); }));
    }
    status = U_ZERO_ERROR;
    ULocaleData* data = ulocdata_open(c, &status);
    if (U_SUCCESS(status)) {
      auto delim = [&](ULocaleDataDelimiterType t) {
        return adopt(icuUChars(
            [&](UChar* b, int32_t cap, UErrorCode* st) { return ulocdata_getDelimiter(data, t, b, cap, st); }));
      };
      quoteBegin = delim(ULOCDATA_QUOTATION_START);
      quoteEnd = delim(ULOCDATA_QUOTATION_END);
      altQuoteBegin = delim(ULOCDATA_ALT_QUOTATION_START);
      altQuoteEnd = delim(ULOCDATA_ALT_QUOTATION_END);
    }
    ulocdata_close(data);
  }
};

namespace {

const __CFLocale* loc(CFTypeRef cf) { return static_cast<const __CFLocale*>(cf); }

bool localeEqual(CFTypeRef a, CFTypeRef b) { return loc(a)->icuID == loc(b)->icuID; }
CFHashCode localeHash(CFTypeRef cf) { return CFHash(loc(cf)->identifier.get()); }

CFStringRef localeDesc(CFTypeRef cf) {
  char head[96];
  std::snprintf(head, sizeof head, "<CFLocale %p [%p]>{identifier = '", cf,
                static_cast<const void*>(CFGetAllocator(cf)));
  return str(std::string(head) + loc(cf)->icuID + "'}");
}

constexpr qxcf::RuntimeClass kLocaleClass = {
    qxcf::kTypeIDLocale, "CFLocale", qxcf::finalizeAs<__CFLocale>, localeEqual, localeHash, localeDesc, localeDesc};

CFLocaleRef makeLocale(CFAllocatorRef alloc, std::string icuID) {
  return qxcf::cfCreate<__CFLocale>(alloc, 0, &kLocaleClass, std::move(icuID));
}

const char* env(const char* name) {
  const char* v = std::getenv(name);
  return (v != nullptr && *v != '\0') ? v : nullptr;
}

CFArrayRef arrayOfStrings(const std::vector<std::string>& items) {
  CFRef<CFMutableArrayRef> a =
      adopt(CFArrayCreateMutable(nullptr, static_cast<CFIndex>(items.size()), &kCFTypeArrayCallBacks));
  if (!a) return nullptr;
  for (const std::string& s : items) {
    CFRef<CFStringRef> v = adopt(str(s));
    if (v) CFArrayAppendValue(a.get(), v.get());
  }
  return CFArrayCreateCopy(nullptr, a.get());
}

CFArrayRef arrayFromEnumeration(UEnumeration* e) {
  std::vector<std::string> items;
  UErrorCode status = U_ZERO_ERROR;
  int32_t len = 0;
  while (e != nullptr && U_SUCCESS(status)) {
    const char* s = uenum_next(e, &len, &status);
    if (s == nullptr) break;
    items.emplace_back(s, static_cast<size_t>(len));
  }
  uenum_close(e);
  return arrayOfStrings(items);
}

CFArrayRef arrayFromList(const char* const* list) {
  std::vector<std::string> items;
  for (; list != nullptr && *list != nullptr; ++list) items.emplace_back(*list);
  return arrayOfStrings(items);
}

CFLocaleLanguageDirection direction(ULayoutType t) {
  switch (t) {
    case ULOC_LAYOUT_LTR: return kCFLocaleLanguageDirectionLeftToRight;
    case ULOC_LAYOUT_RTL: return kCFLocaleLanguageDirectionRightToLeft;
    case ULOC_LAYOUT_TTB: return kCFLocaleLanguageDirectionTopToBottom;
    case ULOC_LAYOUT_BTT: return kCFLocaleLanguageDirectionBottomToTop;
    default: return kCFLocaleLanguageDirectionUnknown;
  }
}

}  // namespace

CFTypeID CFLocaleGetTypeID(void) { return qxcf::kTypeIDLocale; }

CFLocaleRef CFLocaleGetSystem(void) {
  static CFLocaleRef system = [] {
    CFLocaleRef l = makeLocale(nullptr, "");
    if (l != nullptr) const_cast<__CFLocale*>(l)->rc.store(qxcf::kImmortalCount, std::memory_order_relaxed);
    return l;
  }();
  return system;
}

namespace {

// The last environment value seen and what it resolved to; never destroyed, so usable at exit.
struct CurrentLocaleCache {
  std::mutex lock;
  bool resolved = false;
  std::string raw;             // LC_ALL or LANG as read
  std::string id = "en_US";    // its ICU id
  CFLocaleRef last = nullptr;  // the object CFLocaleCopyCurrent hands out for id
};

CurrentLocaleCache& currentCache() {
  static CurrentLocaleCache* cache = new CurrentLocaleCache;
  return *cache;
}

// Resolves LC_ALL, then LANG; C, POSIX, unset or unusable values mean en_US. The caller holds the lock.
const std::string& resolveCurrentLocked(CurrentLocaleCache& c) {
  const char* v = env("LC_ALL");
  if (v == nullptr) v = env("LANG");
  std::string_view raw = v != nullptr ? std::string_view(v) : std::string_view();
  if (!c.resolved || raw != c.raw) {
    std::string id = v != nullptr ? canonicalLocaleID(stripPOSIX(raw)) : std::string();
    if (id.empty() || !plausibleLanguage(id)) id = "en_US";
    c.raw.assign(raw);
    c.id = std::move(id);
    c.resolved = true;
  }
  return c.id;
}

}  // namespace

std::string qxcf::currentLocaleICUID() {
  CurrentLocaleCache& c = currentCache();
  std::lock_guard guard(c.lock);
  return resolveCurrentLocked(c);
}

CFLocaleRef CFLocaleCopyCurrent(void) {
  CurrentLocaleCache& c = currentCache();
  std::lock_guard guard(c.lock);
  const std::string& id = resolveCurrentLocked(c);
  CFLocaleRef* last = &c.last;
  // The environment rarely changes: hand out the same object while it stays the same.
  if (*last == nullptr || (*last)->icuID != id) {
    CFLocaleRef fresh = makeLocale(nullptr, id);
    if (fresh == nullptr) return nullptr;
    if (*last != nullptr) CFRelease(*last);
    *last = fresh;
  }
  return static_cast<CFLocaleRef>(CFRetain(*last));
}

CFArrayRef CFLocaleCopyAvailableLocaleIdentifiers(void) {
  std::vector<std::string> items;
  int32_t n = uloc_countAvailable();
  for (int32_t i = 0; i < n; ++i) items.emplace_back(uloc_getAvailable(i));
  return arrayOfStrings(items);
}

CFArrayRef CFLocaleCopyISOLanguageCodes(void) { return arrayFromList(uloc_getISOLanguages()); }

CFArrayRef CFLocaleCopyISOCountryCodes(void) { return arrayFromList(uloc_getISOCountries()); }

CFArrayRef CFLocaleCopyISOCurrencyCodes(void) {
  UErrorCode status = U_ZERO_ERROR;
  return arrayFromEnumeration(ucurr_openISOCurrencies(UCURR_ALL, &status));
}

CFArrayRef CFLocaleCopyCommonISOCurrencyCodes(void) {
  UErrorCode status = U_ZERO_ERROR;
  return arrayFromEnumeration(ucurr_openISOCurrencies(UCURR_COMMON | UCURR_NON_DEPRECATED, &status));
}

CFArrayRef CFLocaleCopyPreferredLanguages(void) {
  std::vector<std::string> sources;
  if (const char* list = env("LANGUAGE")) {
    std::string_view rest(list);
    while (!rest.empty()) {
      size_t colon = rest.find(':');
      sources.emplace_back(rest.substr(0, colon));
      rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    }
  } else {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
      if (const char* v = env(name)) {
        sources.emplace_back(v);
        break;
      }
    }
  }
  std::vector<std::string> tags;
  for (const std::string& s : sources) {
    if (s.empty()) continue;
    std::string base = stripPOSIX(s);
    std::string tag;
    if (base.empty()) {
      tag = "en";  // the C locale speaks English
    } else {
      std::string id = canonicalLocaleID(base);
      if (!id.empty() && plausibleLanguage(id)) tag = languageTag(id);
    }
    if (!tag.empty() && std::find(tags.begin(), tags.end(), tag) == tags.end()) tags.push_back(tag);
  }
  if (tags.empty()) tags.emplace_back("en");
  return arrayOfStrings(tags);
}

CFLocaleIdentifier CFLocaleCreateCanonicalLanguageIdentifierFromString(CFAllocatorRef, CFStringRef localeIdentifier) {
  if (localeIdentifier == nullptr) return nullptr;
  std::string id = canonicalLocaleID(qxcf::toUTF8(localeIdentifier));
  std::string tag = id.empty() ? std::string() : languageTag(id);
  return str(tag.empty() ? id : tag);
}

CFLocaleIdentifier CFLocaleCreateCanonicalLocaleIdentifierFromString(CFAllocatorRef, CFStringRef localeIdentifier) {
  if (localeIdentifier == nullptr) return nullptr;
  return str(canonicalLocaleID(qxcf::toUTF8(localeIdentifier)));
}

CFDictionaryRef CFLocaleCreateComponentsFromLocaleIdentifier(CFAllocatorRef allocator, CFLocaleIdentifier localeID) {
  if (localeID == nullptr) return nullptr;
  CFRef<CFMutableDictionaryRef> d =
      adopt(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  if (!d) return nullptr;
  CFRef<CFLocaleRef> l = adopt(CFLocaleCreate(nullptr, localeID));
  if (l) {
    const std::pair<CFStringRef, CFStringRef> parts[] = {{kCFLocaleLanguageCode, l.get()->language.get()},
                                                         {kCFLocaleScriptCode, l.get()->script.get()},
                                                         {kCFLocaleCountryCode, l.get()->country.get()},
                                                         {kCFLocaleVariantCode, l.get()->variant.get()}};
    for (const auto& [key, value] : parts) {
      if (value != nullptr) CFDictionarySetValue(d.get(), key, value);
    }
    UErrorCode status = U_ZERO_ERROR;
    UEnumeration* keys = uloc_openKeywords(l.get()->icuID.c_str(), &status);
    while (keys != nullptr && U_SUCCESS(status)) {
      const char* k = uenum_next(keys, nullptr, &status);
      if (k == nullptr) break;
      std::string v = keyword(l.get()->icuID, k);
      CFRef<CFStringRef> ks = adopt(str(k)), vs = adopt(str(v));
      if (ks && vs && !v.empty()) CFDictionarySetValue(d.get(), ks.get(), vs.get());
    }
    uenum_close(keys);
  }
  return CFDictionaryCreateCopy(allocator, d.get());
}

CFLocaleIdentifier CFLocaleCreateLocaleIdentifierFromComponents(CFAllocatorRef, CFDictionaryRef dictionary) {
  if (dictionary == nullptr) return nullptr;
  auto get = [&](CFStringRef key) {
    const void* v = CFDictionaryGetValue(dictionary, key);
    return (v != nullptr && CFGetTypeID(v) == CFStringGetTypeID()) ? qxcf::toUTF8(static_cast<CFStringRef>(v))
                                                                   : std::string();
  };
  std::string id = get(kCFLocaleLanguageCode);
  if (std::string s = get(kCFLocaleScriptCode); !s.empty()) id += "_" + s;
  std::string country = get(kCFLocaleCountryCode), variant = get(kCFLocaleVariantCode);
  if (!country.empty() || !variant.empty()) id += "_" + country;
  if (!variant.empty()) id += "_" + variant;
  // Remaining string entries are keywords (calendar, collation, currency ...).
  CFIndex n = CFDictionaryGetCount(dictionary);
  std::vector<const void*> keys(static_cast<size_t>(n)), values(static_cast<size_t>(n));
  CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
  std::string keywords;
  for (CFIndex i = 0; i < n; ++i) {
    auto k = static_cast<CFStringRef>(keys[static_cast<size_t>(i)]);
    auto v = static_cast<CFStringRef>(values[static_cast<size_t>(i)]);
    if (CFGetTypeID(k) != CFStringGetTypeID() || CFGetTypeID(v) != CFStringGetTypeID()) continue;
    if (CFEqual(k, kCFLocaleLanguageCode) || CFEqual(k, kCFLocaleScriptCode) || CFEqual(k, kCFLocaleCountryCode) ||
        CFEqual(k, kCFLocaleVariantCode)) {
      continue;
    }
    keywords += keywords.empty() ? '@' : ';';
    qxcf::appendUTF8(keywords, k);
    keywords += '=';
    qxcf::appendUTF8(keywords, v);
  }
  return str(canonicalLocaleID(id + keywords));
}

CFLocaleRef CFLocaleCreate(CFAllocatorRef allocator, CFLocaleIdentifier localeIdentifier) {
  if (localeIdentifier == nullptr) return nullptr;
  std::string raw = qxcf::toUTF8(localeIdentifier);
  std::string id = canonicalLocaleID(raw);
  if (id.empty() && !raw.empty()) return nullptr;
  return makeLocale(allocator, id);
}

CFLocaleRef CFLocaleCreateCopy(CFAllocatorRef, CFLocaleRef locale) {
  return locale != nullptr ? static_cast<CFLocaleRef>(CFRetain(locale)) : nullptr;
}

CFLocaleIdentifier CFLocaleGetIdentifier(CFLocaleRef locale) { return locale->identifier.get(); }

CFTypeRef CFLocaleGetValue(CFLocaleRef locale, CFLocaleKey key) {
  if (locale == nullptr || key == nullptr) return nullptr;
  const __CFLocale* l = locale;
  if (CFEqual(key, kCFLocaleIdentifier)) return l->identifier.get();
  if (CFEqual(key, kCFLocaleLanguageCode)) return l->language.get();
  if (CFEqual(key, kCFLocaleCountryCode)) return l->country.get();
  if (CFEqual(key, kCFLocaleScriptCode)) return l->script.get();
  if (CFEqual(key, kCFLocaleVariantCode)) return l->variant.get();
  if (CFEqual(key, kCFLocaleCalendarIdentifier)) return l->calendar.get();
  if (CFEqual(key, kCFLocaleCollationIdentifier)) return l->collation.get();
  if (CFEqual(key, kCFLocaleCollatorIdentifier)) return l->identifier.get();
  if (CFEqual(key, kCFLocaleUsesMetricSystem)) return l->usesMetric;
  if (CFEqual(key, kCFLocaleMeasurementSystem)) return l->measurement.get();
  std::call_once(l->symbolsOnce, [l] { l->loadSymbols(); });
  if (CFEqual(key, kCFLocaleDecimalSeparator)) return l->decimal.get();
  if (CFEqual(key, kCFLocaleGroupingSeparator)) return l->grouping.get();
  if (CFEqual(key, kCFLocaleCurrencySymbol)) return l->currencySymbol.get();
  if (CFEqual(key, kCFLocaleCurrencyCode)) return l->currencyCode.get();
  if (CFEqual(key, kCFLocaleQuotationBeginDelimiterKey)) return l->quoteBegin.get();
  if (CFEqual(key, kCFLocaleQuotationEndDelimiterKey)) return l->quoteEnd.get();
  if (CFEqual(key, kCFLocaleAlternateQuotationBeginDelimiterKey)) return l->altQuoteBegin.get();
  if (CFEqual(key, kCFLocaleAlternateQuotationEndDelimiterKey)) return l->altQuoteEnd.get();
  return nullptr;  // exemplar character sets and calendars have no object type in this layer
}

CFStringRef CFLocaleCopyDisplayNameForPropertyValue(CFLocaleRef displayLocale, CFLocaleKey key, CFStringRef value) {
  if (displayLocale == nullptr || key == nullptr || value == nullptr) return nullptr;
  const char* in = displayLocale->icuID.c_str();
  std::string v = qxcf::toUTF8(value);
  if (v.size() > kMaxIdentifier) return nullptr;
  std::string id = canonicalLocaleID(v);
  if (CFEqual(key, kCFLocaleCurrencyCode)) {
    std::u16string code(v.begin(), v.end());
    UErrorCode status = U_ZERO_ERROR;
    int32_t len = 0;
    const UChar* name = ucurr_getName(code.c_str(), in, UCURR_LONG_NAME, nullptr, &len, &status);
    return (U_SUCCESS(status) && status != U_USING_DEFAULT_WARNING) ? strU(name, len) : nullptr;
  }
  auto display = [&](auto fn, const std::string& arg) {
    return icuUChars([&](UChar* b, int32_t cap, UErrorCode* st) { return fn(arg.c_str(), in, b, cap, st); });
  };
  if (CFEqual(key, kCFLocaleIdentifier)) return display(uloc_getDisplayName, id);
  if (CFEqual(key, kCFLocaleLanguageCode)) return display(uloc_getDisplayLanguage, v);
  if (CFEqual(key, kCFLocaleCountryCode)) return display(uloc_getDisplayCountry, "und_" + v);
  if (CFEqual(key, kCFLocaleScriptCode)) return display(uloc_getDisplayScript, "und_" + v);
  if (CFEqual(key, kCFLocaleVariantCode)) return display(uloc_getDisplayVariant, "und__" + v);
  const char* keyword = CFEqual(key, kCFLocaleCalendarIdentifier)    ? "calendar"
                        : CFEqual(key, kCFLocaleCollationIdentifier) ? "collation"
                                                                     : nullptr;
  if (keyword == nullptr || v.empty()) return nullptr;
  // The value goes into a locale ID: anything but a plain keyword value could add other keywords.
  for (char c : v) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!plain) return nullptr;
  }
  const std::string lid = std::string("und@") + keyword + "=" + v;
  return icuUChars([&](UChar* b, int32_t cap, UErrorCode* st) {
    int32_t n = uloc_getDisplayKeywordValue(lid.c_str(), keyword, in, b, cap, st);
    if (*st == U_USING_DEFAULT_WARNING) *st = U_MISSING_RESOURCE_ERROR;  // ICU echoes unknown values
    return n;
  });
}

CFLocaleLanguageDirection CFLocaleGetLanguageCharacterDirection(CFStringRef isoLangCode) {
  if (isoLangCode == nullptr) return kCFLocaleLanguageDirectionUnknown;
  UErrorCode status = U_ZERO_ERROR;
  ULayoutType t = uloc_getCharacterOrientation(qxcf::toUTF8(isoLangCode).c_str(), &status);
  return U_SUCCESS(status) ? direction(t) : CFLocaleLanguageDirection{kCFLocaleLanguageDirectionUnknown};
}

CFLocaleLanguageDirection CFLocaleGetLanguageLineDirection(CFStringRef isoLangCode) {
  if (isoLangCode == nullptr) return kCFLocaleLanguageDirectionUnknown;
  UErrorCode status = U_ZERO_ERROR;
  ULayoutType t = uloc_getLineOrientation(qxcf::toUTF8(isoLangCode).c_str(), &status);
  return U_SUCCESS(status) ? direction(t) : CFLocaleLanguageDirection{kCFLocaleLanguageDirectionUnknown};
}
