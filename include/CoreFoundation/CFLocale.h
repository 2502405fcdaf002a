/*
 * CFLocale.h — locales (ICU locale data under CoreFoundation's API).
 *
 * Identifiers use the underscore form ("de_DE"); language identifiers the BCP 47 form ("de-DE").
 * The current locale and the preferred languages come from the POSIX locale environment variables.
 * Locales are immutable and safe to share between threads.
 */
#ifndef __COREFOUNDATION_CFLOCALE__
#define __COREFOUNDATION_CFLOCALE__

#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFDictionary.h>

CF_EXTERN_C_BEGIN

typedef const struct __CFLocale* CFLocaleRef;
typedef CFStringRef CFLocaleIdentifier;
typedef CFStringRef CFLocaleKey;
typedef CFStringRef CFCalendarIdentifier;

CF_EXPORT CFTypeID CFLocaleGetTypeID(void);

/* The root locale, identifier "" (borrowed, immortal). */
CF_EXPORT CFLocaleRef CFLocaleGetSystem(void);
/* The user's locale from LC_ALL, else LANG ("de_DE.UTF-8" → "de_DE"); "en_US" when neither is set
 * or they name the C/POSIX locale (owned). */
CF_EXPORT CFLocaleRef CFLocaleCopyCurrent(void);

/* Arrays of strings (owned). */
CF_EXPORT CFArrayRef CFLocaleCopyAvailableLocaleIdentifiers(void);
CF_EXPORT CFArrayRef CFLocaleCopyISOLanguageCodes(void);
CF_EXPORT CFArrayRef CFLocaleCopyISOCountryCodes(void);
CF_EXPORT CFArrayRef CFLocaleCopyISOCurrencyCodes(void);
CF_EXPORT CFArrayRef CFLocaleCopyCommonISOCurrencyCodes(void);
/* The user's languages in order of preference as BCP 47 tags (owned, never empty): the
 * colon-separated LANGUAGE list, else the first of LC_ALL, LC_MESSAGES, LANG; "de_DE.UTF-8" gives
 * "de-DE"; C, POSIX or nothing set gives "en". */
CF_EXPORT CFArrayRef CFLocaleCopyPreferredLanguages(void);

/* "de_DE" → "de-DE", "en" → "en" (owned); NULL for NULL. */
CF_EXPORT CFLocaleIdentifier CFLocaleCreateCanonicalLanguageIdentifierFromString(CFAllocatorRef allocator,
                                                                                 CFStringRef localeIdentifier);
/* "de-DE" → "de_DE" (owned); NULL for NULL. */
CF_EXPORT CFLocaleIdentifier CFLocaleCreateCanonicalLocaleIdentifierFromString(CFAllocatorRef allocator,
                                                                               CFStringRef localeIdentifier);
/* Splits an identifier into kCFLocaleLanguageCode, kCFLocaleScriptCode, kCFLocaleCountryCode,
 * kCFLocaleVariantCode and keyword entries (owned dictionary). */
CF_EXPORT CFDictionaryRef CFLocaleCreateComponentsFromLocaleIdentifier(CFAllocatorRef allocator,
                                                                       CFLocaleIdentifier localeID);
/* The inverse of CFLocaleCreateComponentsFromLocaleIdentifier (owned). */
CF_EXPORT CFLocaleIdentifier CFLocaleCreateLocaleIdentifierFromComponents(CFAllocatorRef allocator,
                                                                          CFDictionaryRef dictionary);

/* A locale for the identifier in either form, canonicalised (owned); NULL for NULL. */
CF_EXPORT CFLocaleRef CFLocaleCreate(CFAllocatorRef allocator, CFLocaleIdentifier localeIdentifier);
CF_EXPORT CFLocaleRef CFLocaleCreateCopy(CFAllocatorRef allocator, CFLocaleRef locale);
CF_EXPORT CFLocaleIdentifier CFLocaleGetIdentifier(CFLocaleRef locale);
/* The value for key (borrowed: lives as long as the locale); NULL for unknown keys or missing
 * values. Strings for the codes and separators, a CFBoolean for kCFLocaleUsesMetricSystem.
 * kCFLocaleExemplarCharacterSet and kCFLocaleCalendar give NULL: this layer has no character-set or
 * calendar objects (kCFLocaleCalendarIdentifier names the calendar). */
CF_EXPORT CFTypeRef CFLocaleGetValue(CFLocaleRef locale, CFLocaleKey key);
/* The name of value (a locale identifier, language, country, script, variant, currency code,
 * calendar or collation identifier) in displayLocale's language (owned); NULL when unknown. */
CF_EXPORT CFStringRef CFLocaleCopyDisplayNameForPropertyValue(CFLocaleRef displayLocale, CFLocaleKey key,
                                                              CFStringRef value);

typedef CF_ENUM(CFIndex, CFLocaleLanguageDirection) {
  kCFLocaleLanguageDirectionUnknown = 0,
  kCFLocaleLanguageDirectionLeftToRight = 1,
  kCFLocaleLanguageDirectionRightToLeft = 2,
  kCFLocaleLanguageDirectionTopToBottom = 3,
  kCFLocaleLanguageDirectionBottomToTop = 4,
};

CF_EXPORT CFLocaleLanguageDirection CFLocaleGetLanguageCharacterDirection(CFStringRef isoLangCode);
CF_EXPORT CFLocaleLanguageDirection CFLocaleGetLanguageLineDirection(CFStringRef isoLangCode);

CF_EXPORT const CFStringRef kCFLocaleCurrentLocaleDidChangeNotification;

/* Keys for CFLocaleGetValue. */
CF_EXPORT const CFLocaleKey kCFLocaleIdentifier;
CF_EXPORT const CFLocaleKey kCFLocaleLanguageCode;
CF_EXPORT const CFLocaleKey kCFLocaleCountryCode;
CF_EXPORT const CFLocaleKey kCFLocaleScriptCode;
CF_EXPORT const CFLocaleKey kCFLocaleVariantCode;
CF_EXPORT const CFLocaleKey kCFLocaleExemplarCharacterSet;
CF_EXPORT const CFLocaleKey kCFLocaleCalendarIdentifier;
CF_EXPORT const CFLocaleKey kCFLocaleCalendar;
CF_EXPORT const CFLocaleKey kCFLocaleCollationIdentifier;
CF_EXPORT const CFLocaleKey kCFLocaleUsesMetricSystem;
CF_EXPORT const CFLocaleKey kCFLocaleMeasurementSystem;
CF_EXPORT const CFLocaleKey kCFLocaleDecimalSeparator;
CF_EXPORT const CFLocaleKey kCFLocaleGroupingSeparator;
CF_EXPORT const CFLocaleKey kCFLocaleCurrencySymbol;
CF_EXPORT const CFLocaleKey kCFLocaleCurrencyCode;
CF_EXPORT const CFLocaleKey kCFLocaleCollatorIdentifier;
CF_EXPORT const CFLocaleKey kCFLocaleQuotationBeginDelimiterKey;
CF_EXPORT const CFLocaleKey kCFLocaleQuotationEndDelimiterKey;
CF_EXPORT const CFLocaleKey kCFLocaleAlternateQuotationBeginDelimiterKey;
CF_EXPORT const CFLocaleKey kCFLocaleAlternateQuotationEndDelimiterKey;

/* Calendar identifiers. */
CF_EXPORT const CFCalendarIdentifier kCFGregorianCalendar;
CF_EXPORT const CFCalendarIdentifier kCFBuddhistCalendar;
CF_EXPORT const CFCalendarIdentifier kCFChineseCalendar;
CF_EXPORT const CFCalendarIdentifier kCFHebrewCalendar;
CF_EXPORT const CFCalendarIdentifier kCFIslamicCalendar;
CF_EXPORT const CFCalendarIdentifier kCFIslamicCivilCalendar;
CF_EXPORT const CFCalendarIdentifier kCFJapaneseCalendar;
CF_EXPORT const CFCalendarIdentifier kCFRepublicOfChinaCalendar;
CF_EXPORT const CFCalendarIdentifier kCFPersianCalendar;
CF_EXPORT const CFCalendarIdentifier kCFIndianCalendar;
CF_EXPORT const CFCalendarIdentifier kCFISO8601Calendar;

CF_EXTERN_C_END

#endif /* __COREFOUNDATION_CFLOCALE__ */
