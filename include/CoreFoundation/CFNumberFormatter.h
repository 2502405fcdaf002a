/*
 * CFNumberFormatter.h — locale-aware number formatting and parsing (ICU's number formats).
 *
 * A formatter may be used from one thread at a time; distinct formatters are independent.
 */
#ifndef __COREFOUNDATION_CFNUMBERFORMATTER__
#define __COREFOUNDATION_CFNUMBERFORMATTER__

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFLocale.h>
#include <CoreFoundation/CFNumber.h>
#include <CoreFoundation/CFString.h>

CF_EXTERN_C_BEGIN

typedef struct __CFNumberFormatter* CFNumberFormatterRef;
typedef CFStringRef CFNumberFormatterKey;

CF_EXPORT CFTypeID CFNumberFormatterGetTypeID(void);

typedef CF_ENUM(CFIndex, CFNumberFormatterStyle) {
  kCFNumberFormatterNoStyle = 0,
  kCFNumberFormatterDecimalStyle = 1,
  kCFNumberFormatterCurrencyStyle = 2,
  kCFNumberFormatterPercentStyle = 3,
  kCFNumberFormatterScientificStyle = 4,
  kCFNumberFormatterSpellOutStyle = 5,
  kCFNumberFormatterOrdinalStyle = 6,
  kCFNumberFormatterCurrencyISOCodeStyle = 8,
  kCFNumberFormatterCurrencyPluralStyle = 9,
  kCFNumberFormatterCurrencyAccountingStyle = 10,
};

/* A formatter for locale (NULL: the root locale) in style (owned); NULL for an unknown style.
 * kCFNumberFormatterNoStyle formats integers without grouping (fractions rounded half-even). */
CF_EXPORT CFNumberFormatterRef CFNumberFormatterCreate(CFAllocatorRef allocator, CFLocaleRef locale,
                                                       CFNumberFormatterStyle style);
CF_EXPORT CFLocaleRef CFNumberFormatterGetLocale(CFNumberFormatterRef formatter);
CF_EXPORT CFNumberFormatterStyle CFNumberFormatterGetStyle(CFNumberFormatterRef formatter);
/* The current pattern ("#,##0.###"), borrowed: valid until the formatter changes. */
CF_EXPORT CFStringRef CFNumberFormatterGetFormat(CFNumberFormatterRef formatter);
/* Applies an ICU/Unicode number pattern; an invalid pattern leaves the formatter unchanged. */
CF_EXPORT void CFNumberFormatterSetFormat(CFNumberFormatterRef formatter, CFStringRef formatString);

/* Owned results; NULL when number is NULL or the type unknown. */
CF_EXPORT CFStringRef CFNumberFormatterCreateStringWithNumber(CFAllocatorRef allocator, CFNumberFormatterRef formatter,
                                                              CFNumberRef number);
CF_EXPORT CFStringRef CFNumberFormatterCreateStringWithValue(CFAllocatorRef allocator, CFNumberFormatterRef formatter,
                                                             CFNumberType numberType, const void* valuePtr);

typedef CF_OPTIONS(CFOptionFlags, CFNumberFormatterOptionFlags) {
  kCFNumberFormatterParseIntegersOnly = 1,
};

/* Parses string within *rangep (NULL: the whole string, which must then be used up entirely).
 * On success *rangep is narrowed to the characters parsed. Integral results that fit become
 * kCFNumberSInt64Type numbers, others kCFNumberFloat64Type (owned). NULL when nothing parses. */
CF_EXPORT CFNumberRef CFNumberFormatterCreateNumberFromString(CFAllocatorRef allocator, CFNumberFormatterRef formatter,
                                                              CFStringRef string, CFRange* rangep,
                                                              CFOptionFlags options);
/* Parses as CFNumberFormatterCreateNumberFromString and stores the value as numberType. Returns
 * false when nothing parses or the value does not fit numberType exactly (the converted value is
 * stored all the same, as CFNumberGetValue does). */
CF_EXPORT Boolean CFNumberFormatterGetValueFromString(CFNumberFormatterRef formatter, CFStringRef string,
                                                      CFRange* rangep, CFNumberType numberType, void* valuePtr);

/* Properties. Values are CFString, CFNumber or CFBoolean as each key implies; unknown keys and
 * values of the wrong type are ignored. CopyProperty returns an owned value or NULL. */
CF_EXPORT void CFNumberFormatterSetProperty(CFNumberFormatterRef formatter, CFNumberFormatterKey key, CFTypeRef value);
CF_EXPORT CFTypeRef CFNumberFormatterCopyProperty(CFNumberFormatterRef formatter, CFNumberFormatterKey key);

CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterCurrencyCode;                /* CFString */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterDecimalSeparator;            /* CFString */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterCurrencyDecimalSeparator;    /* CFString */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterAlwaysShowDecimalSeparator;  /* CFBoolean */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterGroupingSeparator;           /* CFString */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterUseGroupingSeparator;        /* CFBoolean */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterPercentSymbol;               /* CFString */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterZeroSymbol;                  /* CFString */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterNaNSymbol;                   /* CFString */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterInfinitySymbol;              /* CFString */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterMinusSign;                   /* CFString */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterPlusSign;                    /* CFString */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterCurrencySymbol;              /* CFString */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterExponentSymbol;              /* CFString */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterMinIntegerDigits;            /* CFNumber */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterMaxIntegerDigits;            /* CFNumber */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterMinFractionDigits;           /* CFNumber */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterMaxFractionDigits;           /* CFNumber */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterGroupingSize;                /* CFNumber */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterSecondaryGroupingSize;       /* CFNumber */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterRoundingMode;                /* CFNumber */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterRoundingIncrement;           /* CFNumber */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterFormatWidth;                 /* CFNumber */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterPaddingPosition;             /* CFNumber */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterPaddingCharacter;            /* CFString */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterDefaultFormat;               /* CFString */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterMultiplier;                  /* CFNumber */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterPositivePrefix;              /* CFString */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterPositiveSuffix;              /* CFString */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterNegativePrefix;              /* CFString */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterNegativeSuffix;              /* CFString */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterPerMillSymbol;               /* CFString */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterInternationalCurrencySymbol; /* CFString */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterCurrencyGroupingSeparator;   /* CFString */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterIsLenient;                   /* CFBoolean */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterUseSignificantDigits;        /* CFBoolean */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterMinSignificantDigits;        /* CFNumber */
CF_EXPORT const CFNumberFormatterKey kCFNumberFormatterMaxSignificantDigits;        /* CFNumber */

typedef CF_ENUM(CFIndex, CFNumberFormatterRoundingMode) {
  kCFNumberFormatterRoundCeiling = 0,
  kCFNumberFormatterRoundFloor = 1,
  kCFNumberFormatterRoundDown = 2,
  kCFNumberFormatterRoundUp = 3,
  kCFNumberFormatterRoundHalfEven = 4,
  kCFNumberFormatterRoundHalfDown = 5,
  kCFNumberFormatterRoundHalfUp = 6,
};

typedef CF_ENUM(CFIndex, CFNumberFormatterPadPosition) {
  kCFNumberFormatterPadBeforePrefix = 0,
  kCFNumberFormatterPadAfterPrefix = 1,
  kCFNumberFormatterPadBeforeSuffix = 2,
  kCFNumberFormatterPadAfterSuffix = 3,
};

/* The ISO 4217 currency's default number of fraction digits and rounding increment. */
CF_EXPORT Boolean CFNumberFormatterGetDecimalInfoForCurrencyCode(CFStringRef currencyCode,
                                                                 int32_t* defaultFractionDigits,
                                                                 double* roundingIncrement);

CF_EXTERN_C_END

#endif /* __COREFOUNDATION_CFNUMBERFORMATTER__ */
