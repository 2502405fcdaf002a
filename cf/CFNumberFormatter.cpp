// Number formatters over ICU's unum API.
#include <CoreFoundation/CFLocale.h>
#include <CoreFoundation/CFNumber.h>
#include <CoreFoundation/CFNumberFormatter.h>

#include "CFRef.h"
#include "CFRuntime.h"
#include "CFStringInternal.h"

#include <unicode/ucurr.h>
#include <unicode/unum.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using qxcf::adopt;
using qxcf::CFRef;

QXCF_CONSTANT_STRING(kCFNumberFormatterCurrencyCode, "kCFNumberFormatterCurrencyCodeKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterDecimalSeparator, "kCFNumberFormatterDecimalSeparatorKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterCurrencyDecimalSeparator, "kCFNumberFormatterCurrencyDecimalSeparatorKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterAlwaysShowDecimalSeparator, "kCFNumberFormatterAlwaysShowDecimalSeparatorKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterGroupingSeparator, "kCFNumberFormatterGroupingSeparatorKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterUseGroupingSeparator, "kCFNumberFormatterUseGroupingSeparatorKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterPercentSymbol, "kCFNumberFormatterPercentSymbolKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterZeroSymbol, "kCFNumberFormatterZeroSymbolKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterNaNSymbol, "kCFNumberFormatterNaNSymbolKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterInfinitySymbol, "kCFNumberFormatterInfinitySymbolKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterMinusSign, "kCFNumberFormatterMinusSignKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterPlusSign, "kCFNumberFormatterPlusSignKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterCurrencySymbol, "kCFNumberFormatterCurrencySymbolKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterExponentSymbol, "kCFNumberFormatterExponentSymbolKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterMinIntegerDigits, "kCFNumberFormatterMinIntegerDigitsKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterMaxIntegerDigits, "kCFNumberFormatterMaxIntegerDigitsKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterMinFractionDigits, "kCFNumberFormatterMinFractionDigitsKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterMaxFractionDigits, "kCFNumberFormatterMaxFractionDigitsKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterGroupingSize, "kCFNumberFormatterGroupingSizeKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterSecondaryGroupingSize, "kCFNumberFormatterSecondaryGroupingSizeKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterRoundingMode, "kCFNumberFormatterRoundingModeKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterRoundingIncrement, "kCFNumberFormatterRoundingIncrementKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterFormatWidth, "kCFNumberFormatterFormatWidthKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterPaddingPosition, "kCFNumberFormatterPaddingPositionKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterPaddingCharacter, "kCFNumberFormatterPaddingCharacterKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterDefaultFormat, "kCFNumberFormatterDefaultFormatKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterMultiplier, "kCFNumberFormatterMultiplierKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterPositivePrefix, "kCFNumberFormatterPositivePrefixKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterPositiveSuffix, "kCFNumberFormatterPositiveSuffixKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterNegativePrefix, "kCFNumberFormatterNegativePrefixKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterNegativeSuffix, "kCFNumberFormatterNegativeSuffixKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterPerMillSymbol, "kCFNumberFormatterPerMillSymbolKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterInternationalCurrencySymbol, "kCFNumberFormatterInternationalCurrencySymbolKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterCurrencyGroupingSeparator, "kCFNumberFormatterCurrencyGroupingSeparatorKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterIsLenient, "kCFNumberFormatterIsLenientKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterUseSignificantDigits, "kCFNumberFormatterUseSignificantDigitsKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterMinSignificantDigits, "kCFNumberFormatterMinSignificantDigitsKey");
QXCF_CONSTANT_STRING(kCFNumberFormatterMaxSignificantDigits, "kCFNumberFormatterMaxSignificantDigitsKey");

struct __CFNumberFormatter : __CFRuntimeBase {
  // ICU formatters must not be used by two threads at once, even just to format, so every use of
  // fmt holds this lock.
  std::mutex lock;
  UNumberFormat* fmt;
  CFRef<CFLocaleRef> locale;
  CFNumberFormatterStyle style;
  CFRef<CFStringRef> defaultFormat;
  // Recomputed on every change so CFNumberFormatterGetFormat only reads and may run on many threads.
  CFRef<CFStringRef> format;
  CFRef<CFStringRef> zeroSymbol;

  __CFNumberFormatter(CFAllocatorRef alloc, const qxcf::RuntimeClass* cls, UNumberFormat* f, CFRef<CFLocaleRef> l,
                      CFNumberFormatterStyle s)
      : __CFRuntimeBase(cls, 1, alloc), fmt(f), locale(std::move(l)), style(s) {}
  ~__CFNumberFormatter() { unum_close(fmt); }
  __CFNumberFormatter(const __CFNumberFormatter&) = delete;
  __CFNumberFormatter& operator=(const __CFNumberFormatter&) = delete;
};

namespace {

// Runs an ICU "fill a UChar buffer" call, growing the buffer once if ICU asks for more.
template <class F>
CFStringRef icuString(F&& fill) {
  std::vector<UChar> buf(128);
  UErrorCode status = U_ZERO_ERROR;
  int32_t n = fill(buf.data(), static_cast<int32_t>(buf.size()), &status);
  if (status == U_BUFFER_OVERFLOW_ERROR && n > 0 && n < (1 << 24)) {
    buf.resize(static_cast<size_t>(n) + 1);
    status = U_ZERO_ERROR;
    n = fill(buf.data(), static_cast<int32_t>(buf.size()), &status);
  }
  if (U_FAILURE(status) || n < 0 || n > static_cast<int32_t>(buf.size())) return nullptr;
  return qxcf::createStringUTF16(nullptr, reinterpret_cast<const UniChar*>(buf.data()), n);
}

const UChar* uchars(CFStringRef s) { return reinterpret_cast<const UChar*>(qxcf::chars(s).data()); }
int32_t ulen(CFStringRef s) { return static_cast<int32_t>(qxcf::chars(s).size()); }

CFStringRef formatterDesc(CFTypeRef cf) {
  auto* f = static_cast<const __CFNumberFormatter*>(cf);
  char buf[160];
  std::snprintf(buf, sizeof buf, "<CFNumberFormatter %p [%p]>{locale = %s, style = %ld}", cf,
                static_cast<const void*>(CFGetAllocator(cf)),
                qxcf::toUTF8(CFLocaleGetIdentifier(f->locale.get())).c_str(), f->style);
  return qxcf::createStringUTF8(buf);
}

constexpr qxcf::RuntimeClass kFormatterClass = {qxcf::kTypeIDNumberFormatter,
                                                "CFNumberFormatter",
                                                qxcf::finalizeAs<__CFNumberFormatter>,
                                                nullptr,
                                                nullptr,
                                                nullptr,
                                                formatterDesc};

enum class Kind { IntAttr, BoolAttr, DoubleAttr, TextAttr, Symbol, Zero, Default, Multiplier };

struct Property {
  const CFStringRef* key;
  Kind kind;
  int code;  // UNumberFormatAttribute, UNumberFormatTextAttribute or UNumberFormatSymbol
};

const Property kProperties[] = {
    {&kCFNumberFormatterCurrencyCode, Kind::TextAttr, UNUM_CURRENCY_CODE},
    {&kCFNumberFormatterDecimalSeparator, Kind::Symbol, UNUM_DECIMAL_SEPARATOR_SYMBOL},
    {&kCFNumberFormatterCurrencyDecimalSeparator, Kind::Symbol, UNUM_MONETARY_SEPARATOR_SYMBOL},
    {&kCFNumberFormatterAlwaysShowDecimalSeparator, Kind::BoolAttr, UNUM_DECIMAL_ALWAYS_SHOWN},
    {&kCFNumberFormatterGroupingSeparator, Kind::Symbol, UNUM_GROUPING_SEPARATOR_SYMBOL},
    {&kCFNumberFormatterUseGroupingSeparator, Kind::BoolAttr, UNUM_GROUPING_USED},
    {&kCFNumberFormatterPercentSymbol, Kind::Symbol, UNUM_PERCENT_SYMBOL},
    {&kCFNumberFormatterZeroSymbol, Kind::Zero, 0},
    {&kCFNumberFormatterNaNSymbol, Kind::Symbol, UNUM_NAN_SYMBOL},
    {&kCFNumberFormatterInfinitySymbol, Kind::Symbol, UNUM_INFINITY_SYMBOL},
    {&kCFNumberFormatterMinusSign, Kind::Symbol, UNUM_MINUS_SIGN_SYMBOL},
    {&kCFNumberFormatterPlusSign, Kind::Symbol, UNUM_PLUS_SIGN_SYMBOL},
    {&kCFNumberFormatterCurrencySymbol, Kind::Symbol, UNUM_CURRENCY_SYMBOL},
    {&kCFNumberFormatterExponentSymbol, Kind::Symbol, UNUM_EXPONENTIAL_SYMBOL},
    {&kCFNumberFormatterMinIntegerDigits, Kind::IntAttr, UNUM_MIN_INTEGER_DIGITS},
    {&kCFNumberFormatterMaxIntegerDigits, Kind::IntAttr, UNUM_MAX_INTEGER_DIGITS},
    {&kCFNumberFormatterMinFractionDigits, Kind::IntAttr, UNUM_MIN_FRACTION_DIGITS},
    {&kCFNumberFormatterMaxFractionDigits, Kind::IntAttr, UNUM_MAX_FRACTION_DIGITS},
    {&kCFNumberFormatterGroupingSize, Kind::IntAttr, UNUM_GROUPING_SIZE},
    {&kCFNumberFormatterSecondaryGroupingSize, Kind::IntAttr, UNUM_SECONDARY_GROUPING_SIZE},
    {&kCFNumberFormatterRoundingMode, Kind::IntAttr, UNUM_ROUNDING_MODE},  // same numbering as ICU
    {&kCFNumberFormatterRoundingIncrement, Kind::DoubleAttr, UNUM_ROUNDING_INCREMENT},
    {&kCFNumberFormatterFormatWidth, Kind::IntAttr, UNUM_FORMAT_WIDTH},
    {&kCFNumberFormatterPaddingPosition, Kind::IntAttr, UNUM_PADDING_POSITION},  // same numbering as ICU
    {&kCFNumberFormatterPaddingCharacter, Kind::TextAttr, UNUM_PADDING_CHARACTER},
    {&kCFNumberFormatterDefaultFormat, Kind::Default, 0},
    {&kCFNumberFormatterMultiplier, Kind::Multiplier, UNUM_MULTIPLIER},
    {&kCFNumberFormatterPositivePrefix, Kind::TextAttr, UNUM_POSITIVE_PREFIX},
    {&kCFNumberFormatterPositiveSuffix, Kind::TextAttr, UNUM_POSITIVE_SUFFIX},
    {&kCFNumberFormatterNegativePrefix, Kind::TextAttr, UNUM_NEGATIVE_PREFIX},
    {&kCFNumberFormatterNegativeSuffix, Kind::TextAttr, UNUM_NEGATIVE_SUFFIX},
    {&kCFNumberFormatterPerMillSymbol, Kind::Symbol, UNUM_PERMILL_SYMBOL},
    {&kCFNumberFormatterInternationalCurrencySymbol, Kind::Symbol, UNUM_INTL_CURRENCY_SYMBOL},
    {&kCFNumberFormatterCurrencyGroupingSeparator, Kind::Symbol, UNUM_MONETARY_GROUPING_SEPARATOR_SYMBOL},
    {&kCFNumberFormatterIsLenient, Kind::BoolAttr, UNUM_LENIENT_PARSE},
    {&kCFNumberFormatterUseSignificantDigits, Kind::BoolAttr, UNUM_SIGNIFICANT_DIGITS_USED},
    {&kCFNumberFormatterMinSignificantDigits, Kind::IntAttr, UNUM_MIN_SIGNIFICANT_DIGITS},
    {&kCFNumberFormatterMaxSignificantDigits, Kind::IntAttr, UNUM_MAX_SIGNIFICANT_DIGITS},
};

const Property* findProperty(CFStringRef key) {
  if (key == nullptr) return nullptr;
  for (const Property& p : kProperties) {
    if (*p.key == key) return &p;
  }
  for (const Property& p : kProperties) {
    if (CFEqual(*p.key, key)) return &p;
  }
  return nullptr;
}

bool isString(CFTypeRef v) { return v != nullptr && CFGetTypeID(v) == CFStringGetTypeID(); }

// Digit counts and widths are materialised as that many characters, so they are bounded; ICU itself
// stops at 999 significant digits.
constexpr int32_t kMaxDigitAttribute = 1024;

bool isBoundedSize(int code) {
  switch (code) {
    case UNUM_MIN_INTEGER_DIGITS:
    case UNUM_MAX_INTEGER_DIGITS:
    case UNUM_MIN_FRACTION_DIGITS:
    case UNUM_MAX_FRACTION_DIGITS:
    case UNUM_GROUPING_SIZE:
    case UNUM_SECONDARY_GROUPING_SIZE:
    case UNUM_FORMAT_WIDTH:
    case UNUM_MIN_SIGNIFICANT_DIGITS:
    case UNUM_MAX_SIGNIFICANT_DIGITS: return true;
    default: return false;
  }
}

void refreshFormat(CFNumberFormatterRef f) {
  f->format = adopt(
      icuString([&](UChar* b, int32_t cap, UErrorCode* st) { return unum_toPattern(f->fmt, false, b, cap, st); }));
}

// Integers multiply directly; exact negative powers of ten become a decimal scale. Anything else
// cannot be represented and is refused rather than truncated to an integer.
bool setMultiplier(UNumberFormat* fmt, double v) {
  if (!std::isfinite(v)) return false;
  if (std::trunc(v) == v && std::fabs(v) <= INT32_MAX) {
    unum_setAttribute(fmt, UNUM_MULTIPLIER, static_cast<int32_t>(v));
    unum_setAttribute(fmt, UNUM_SCALE, 0);
    return true;
  }
  double power = 1;
  for (int32_t k = 1; k <= 22; ++k) {  // 10^22 is the largest power of ten a double holds exactly
    power *= 10;
    if (std::fabs(v) == 1 / power) {
      unum_setAttribute(fmt, UNUM_MULTIPLIER, v < 0 ? -1 : 1);
      unum_setAttribute(fmt, UNUM_SCALE, -k);
      return true;
    }
  }
  return false;
}

CFStringRef formatValue(CFAllocatorRef, CFNumberFormatterRef f, CFNumberRef number) {
  std::lock_guard<std::mutex> guard(f->lock);
  if (f->zeroSymbol) {
    double d = 0;
    CFNumberGetValue(number, kCFNumberFloat64Type, &d);
    if (d == 0) return CFStringCreateCopy(nullptr, f->zeroSymbol.get());
  }
  if (CFNumberIsFloatType(number)) {
    double d = 0;
    CFNumberGetValue(number, kCFNumberFloat64Type, &d);
    return icuString(
        [&](UChar* b, int32_t cap, UErrorCode* st) { return unum_formatDouble(f->fmt, d, b, cap, nullptr, st); });
  }
  if (CFNumberGetType(number) == kCFNumberSInt128Type) {
    // Beyond 64 bits (unsigned 64-bit values above INT64_MAX): hand ICU the exact decimal text.
    CFSInt128Struct v{};
    CFNumberGetValue(number, kCFNumberSInt128Type, &v);
    __extension__ using Int128 = __int128;
    __extension__ using UInt128 = unsigned __int128;
    const Int128 value = static_cast<Int128>((static_cast<UInt128>(static_cast<uint64_t>(v.high)) << 64) | v.low);
    UInt128 magnitude = value < 0 ? -static_cast<UInt128>(value) : static_cast<UInt128>(value);
    char digits[48];
    char* p = digits + sizeof digits;
    do {
      *--p = static_cast<char>('0' + static_cast<int>(magnitude % 10));
      magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) *--p = '-';
    const int32_t length = static_cast<int32_t>(digits + sizeof digits - p);
    return icuString([&](UChar* b, int32_t cap, UErrorCode* st) {
      return unum_formatDecimal(f->fmt, p, length, b, cap, nullptr, st);
    });
  }
  int64_t i = 0;
  CFNumberGetValue(number, kCFNumberSInt64Type, &i);
  return icuString(
      [&](UChar* b, int32_t cap, UErrorCode* st) { return unum_formatInt64(f->fmt, i, b, cap, nullptr, st); });
}

}  // namespace

CFTypeID CFNumberFormatterGetTypeID(void) { return qxcf::kTypeIDNumberFormatter; }

CFNumberFormatterRef CFNumberFormatterCreate(CFAllocatorRef allocator, CFLocaleRef locale,
                                             CFNumberFormatterStyle style) {
  UNumberFormatStyle icuStyle;
  switch (style) {
    case kCFNumberFormatterNoStyle: icuStyle = UNUM_PATTERN_DECIMAL; break;
    case kCFNumberFormatterDecimalStyle: icuStyle = UNUM_DECIMAL; break;
    case kCFNumberFormatterCurrencyStyle: icuStyle = UNUM_CURRENCY; break;
    case kCFNumberFormatterPercentStyle: icuStyle = UNUM_PERCENT; break;
    case kCFNumberFormatterScientificStyle: icuStyle = UNUM_SCIENTIFIC; break;
    case kCFNumberFormatterSpellOutStyle: icuStyle = UNUM_SPELLOUT; break;
    case kCFNumberFormatterOrdinalStyle: icuStyle = UNUM_ORDINAL; break;
    case kCFNumberFormatterCurrencyISOCodeStyle: icuStyle = UNUM_CURRENCY_ISO; break;
    case kCFNumberFormatterCurrencyPluralStyle: icuStyle = UNUM_CURRENCY_PLURAL; break;
    case kCFNumberFormatterCurrencyAccountingStyle: icuStyle = UNUM_CURRENCY_ACCOUNTING; break;
    default: return nullptr;
  }
  CFRef<CFLocaleRef> loc = CFRef<CFLocaleRef>::retain(locale != nullptr ? locale : CFLocaleGetSystem());
  std::string id = qxcf::toUTF8(CFLocaleGetIdentifier(loc.get()));
  static const UChar kNoStylePattern[] = {u'#', 0};
  UErrorCode status = U_ZERO_ERROR;
  UNumberFormat* fmt = unum_open(icuStyle, icuStyle == UNUM_PATTERN_DECIMAL ? kNoStylePattern : nullptr,
                                 icuStyle == UNUM_PATTERN_DECIMAL ? 1 : 0, id.c_str(), nullptr, &status);
  if (U_FAILURE(status) || fmt == nullptr) {
    unum_close(fmt);
    return nullptr;
  }
  auto* f = qxcf::cfCreate<__CFNumberFormatter>(allocator, 0, &kFormatterClass, fmt, std::move(loc), style);
  if (f == nullptr) {
    unum_close(fmt);
    return nullptr;
  }
  refreshFormat(f);
  f->defaultFormat = f->format;
  return f;
}

CFLocaleRef CFNumberFormatterGetLocale(CFNumberFormatterRef formatter) { return formatter->locale.get(); }

CFNumberFormatterStyle CFNumberFormatterGetStyle(CFNumberFormatterRef formatter) { return formatter->style; }

CFStringRef CFNumberFormatterGetFormat(CFNumberFormatterRef formatter) { return formatter->format.get(); }

void CFNumberFormatterSetFormat(CFNumberFormatterRef formatter, CFStringRef formatString) {
  if (formatString == nullptr) return;
  // Rule-based styles (spell-out, ordinal) take rule sets, not patterns; leave them alone.
  if (formatter->style == kCFNumberFormatterSpellOutStyle || formatter->style == kCFNumberFormatterOrdinalStyle) return;
  std::lock_guard<std::mutex> guard(formatter->lock);
  UErrorCode status = U_ZERO_ERROR;
  UParseError perr;
  UNumberFormat* trial = unum_clone(formatter->fmt, &status);
  if (U_FAILURE(status)) return;
  unum_applyPattern(trial, false, uchars(formatString), ulen(formatString), &perr, &status);
  if (U_FAILURE(status)) {
    unum_close(trial);
    return;
  }
  unum_close(formatter->fmt);
  formatter->fmt = trial;
  refreshFormat(formatter);
}

CFStringRef CFNumberFormatterCreateStringWithNumber(CFAllocatorRef allocator, CFNumberFormatterRef formatter,
                                                    CFNumberRef number) {
  if (formatter == nullptr || number == nullptr) return nullptr;
  return formatValue(allocator, formatter, number);
}

CFStringRef CFNumberFormatterCreateStringWithValue(CFAllocatorRef allocator, CFNumberFormatterRef formatter,
                                                   CFNumberType numberType, const void* valuePtr) {
  CFRef<CFNumberRef> n = adopt(CFNumberCreate(nullptr, numberType, valuePtr));
  if (!n) return nullptr;
  return CFNumberFormatterCreateStringWithNumber(allocator, formatter, n.get());
}

CFNumberRef CFNumberFormatterCreateNumberFromString(CFAllocatorRef allocator, CFNumberFormatterRef formatter,
                                                    CFStringRef string, CFRange* rangep, CFOptionFlags options) {
  if (formatter == nullptr || string == nullptr) return nullptr;
  CFIndex total = CFStringGetLength(string);
  CFRange range = rangep != nullptr ? *rangep : CFRangeMake(0, total);
  if (range.location < 0 || range.length < 0 || range.location > total || range.length > total - range.location ||
      range.length > INT32_MAX) {
    return nullptr;
  }
  const UChar* text = uchars(string) + range.location;
  auto len = static_cast<int32_t>(range.length);
  if (formatter->zeroSymbol && CFStringGetLength(formatter->zeroSymbol.get()) == range.length &&
      std::u16string_view(reinterpret_cast<const char16_t*>(text), static_cast<size_t>(len)) ==
          qxcf::chars(formatter->zeroSymbol.get())) {
    int64_t zero = 0;
    return CFNumberCreate(allocator, kCFNumberSInt64Type, &zero);
  }
  // The integers-only switch goes on a private copy, never on the formatter other threads share.
  std::unique_ptr<UNumberFormat, decltype(&unum_close)> intParser(nullptr, unum_close);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_lock<std::mutex> guard(formatter->lock);
  const UNumberFormat* parser = formatter->fmt;
  if ((options & kCFNumberFormatterParseIntegersOnly) != 0) {
    intParser.reset(unum_clone(formatter->fmt, &status));
    guard.unlock();
    if (U_FAILURE(status) || !intParser) return nullptr;
    unum_setAttribute(intParser.get(), UNUM_PARSE_INT_ONLY, 1);
    parser = intParser.get();
  }
  int32_t pos = 0;
  double d = unum_parseDouble(parser, text, len, &pos, &status);
  if (U_FAILURE(status) || pos <= 0 || (rangep == nullptr && pos != len)) return nullptr;
  if (rangep != nullptr) rangep->length = pos;
  if (std::isfinite(d) && std::trunc(d) == d && std::fabs(d) < 9223372036854775808.0) {
    auto i = static_cast<int64_t>(d);
    if (std::fabs(d) >= 9007199254740992.0) {  // beyond 2^53 the double may have rounded: reparse exactly
      UErrorCode st2 = U_ZERO_ERROR;
      int32_t pos2 = 0;
      int64_t exact = unum_parseInt64(parser, text, pos, &pos2, &st2);
      if (U_SUCCESS(st2) && pos2 == pos) i = exact;
    }
    return CFNumberCreate(allocator, kCFNumberSInt64Type, &i);
  }
  return CFNumberCreate(allocator, kCFNumberFloat64Type, &d);
}

Boolean CFNumberFormatterGetValueFromString(CFNumberFormatterRef formatter, CFStringRef string, CFRange* rangep,
                                            CFNumberType numberType, void* valuePtr) {
  CFRef<CFNumberRef> n = adopt(CFNumberFormatterCreateNumberFromString(nullptr, formatter, string, rangep, 0));
  if (!n || valuePtr == nullptr) return false;
  return CFNumberGetValue(n.get(), numberType, valuePtr);
}

void CFNumberFormatterSetProperty(CFNumberFormatterRef formatter, CFNumberFormatterKey key, CFTypeRef value) {
  const Property* p = findProperty(key);
  if (formatter == nullptr || p == nullptr) return;
  std::lock_guard<std::mutex> guard(formatter->lock);
  UErrorCode status = U_ZERO_ERROR;
  switch (p->kind) {
    case Kind::IntAttr: {
      if (value == nullptr || CFGetTypeID(value) != CFNumberGetTypeID()) return;
      SInt32 v = 0;
      CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt32Type, &v);  // truncates, saturates
      if (v < 0 || (isBoundedSize(p->code) && v > kMaxDigitAttribute)) return;
      unum_setAttribute(formatter->fmt, static_cast<UNumberFormatAttribute>(p->code), v);
      break;
    }
    case Kind::BoolAttr: {
      bool v;
      if (value != nullptr && CFGetTypeID(value) == CFBooleanGetTypeID()) {
        v = CFBooleanGetValue(static_cast<CFBooleanRef>(value));
      } else if (value != nullptr && CFGetTypeID(value) == CFNumberGetTypeID()) {
        SInt32 i = 0;
        CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt32Type, &i);
        v = i != 0;
      } else {
        return;
      }
      unum_setAttribute(formatter->fmt, static_cast<UNumberFormatAttribute>(p->code), v ? 1 : 0);
      break;
    }
    case Kind::DoubleAttr: {
      if (value == nullptr || CFGetTypeID(value) != CFNumberGetTypeID()) return;
      double v = 0;
      CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberFloat64Type, &v);
      if (!std::isfinite(v) || v < 0) return;
      unum_setDoubleAttribute(formatter->fmt, static_cast<UNumberFormatAttribute>(p->code), v);
      break;
    }
    case Kind::TextAttr: {
      if (!isString(value)) return;
      auto s = static_cast<CFStringRef>(value);
      unum_setTextAttribute(formatter->fmt, static_cast<UNumberFormatTextAttribute>(p->code), uchars(s), ulen(s),
                            &status);
      break;
    }
    case Kind::Symbol: {
      if (!isString(value)) return;
      auto s = static_cast<CFStringRef>(value);
      unum_setSymbol(formatter->fmt, static_cast<UNumberFormatSymbol>(p->code), uchars(s), ulen(s), &status);
      break;
    }
    case Kind::Zero:
      if (value == nullptr) {
        formatter->zeroSymbol.reset();
      } else if (isString(value)) {
        formatter->zeroSymbol = adopt(CFStringCreateCopy(nullptr, static_cast<CFStringRef>(value)));
      }
      break;
    case Kind::Multiplier: {
      if (value == nullptr || CFGetTypeID(value) != CFNumberGetTypeID()) return;
      double v = 0;
      CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberFloat64Type, &v);
      if (!setMultiplier(formatter->fmt, v)) return;
      break;
    }
    case Kind::Default: return;  // read-only
  }
  refreshFormat(formatter);
}

CFTypeRef CFNumberFormatterCopyProperty(CFNumberFormatterRef formatter, CFNumberFormatterKey key) {
  const Property* p = findProperty(key);
  if (formatter == nullptr || p == nullptr) return nullptr;
  std::lock_guard<std::mutex> guard(formatter->lock);
  switch (p->kind) {
    case Kind::IntAttr: {
      SInt32 v = unum_getAttribute(formatter->fmt, static_cast<UNumberFormatAttribute>(p->code));
      if (v < 0) return nullptr;
      return CFNumberCreate(nullptr, kCFNumberSInt32Type, &v);
    }
    case Kind::Multiplier: {
      SInt32 m = unum_getAttribute(formatter->fmt, UNUM_MULTIPLIER);
      int32_t scale = unum_getAttribute(formatter->fmt, UNUM_SCALE);
      if (scale == 0) return CFNumberCreate(nullptr, kCFNumberSInt32Type, &m);
      double v = m * std::pow(10.0, scale);
      if (scale < 0 && scale >= -22) v = m / std::pow(10.0, -scale);  // exact divisor, correctly rounded
      return CFNumberCreate(nullptr, kCFNumberFloat64Type, &v);
    }
    case Kind::BoolAttr:
      return unum_getAttribute(formatter->fmt, static_cast<UNumberFormatAttribute>(p->code)) ? kCFBooleanTrue
                                                                                             : kCFBooleanFalse;
    case Kind::DoubleAttr: {
      double v = unum_getDoubleAttribute(formatter->fmt, static_cast<UNumberFormatAttribute>(p->code));
      if (v < 0) return nullptr;
      return CFNumberCreate(nullptr, kCFNumberFloat64Type, &v);
    }
    case Kind::TextAttr:
      return icuString([&](UChar* b, int32_t cap, UErrorCode* st) {
        return unum_getTextAttribute(formatter->fmt, static_cast<UNumberFormatTextAttribute>(p->code), b, cap, st);
      });
    case Kind::Symbol:
      return icuString([&](UChar* b, int32_t cap, UErrorCode* st) {
        return unum_getSymbol(formatter->fmt, static_cast<UNumberFormatSymbol>(p->code), b, cap, st);
      });
    case Kind::Zero: return formatter->zeroSymbol ? CFRetain(formatter->zeroSymbol.get()) : nullptr;
    case Kind::Default: return formatter->defaultFormat ? CFRetain(formatter->defaultFormat.get()) : nullptr;
  }
  return nullptr;
}

Boolean CFNumberFormatterGetDecimalInfoForCurrencyCode(CFStringRef currencyCode, int32_t* defaultFractionDigits,
                                                       double* roundingIncrement) {
  if (currencyCode == nullptr || CFStringGetLength(currencyCode) != 3) return false;
  std::u16string code(qxcf::chars(currencyCode));
  UErrorCode status = U_ZERO_ERROR;
  if (!ucurr_isAvailable(code.c_str(), U_DATE_MIN, U_DATE_MAX, &status) || U_FAILURE(status)) return false;
  int32_t digits = ucurr_getDefaultFractionDigits(code.c_str(), &status);
  double increment = ucurr_getRoundingIncrement(code.c_str(), &status);
  if (U_FAILURE(status)) return false;
  if (defaultFractionDigits != nullptr) *defaultFractionDigits = digits;
  if (roundingIncrement != nullptr) *roundingIncrement = increment;
  return true;
}
