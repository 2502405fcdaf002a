/*
 * CFTimeZone.h — time zones from the system's time-zone database, fixed offsets from GMT, and the
 * process's default zone.
 *
 * Named zones ("Europe/Berlin") are read from the TZif files under /usr/share/zoneinfo (or $TZDIR),
 * so they follow the installed tzdata; names without a file fall back to ICU's copy of the database.
 * The system zone follows the TZ environment variable (a zone name, optionally after ':', a TZif file
 * path, or a POSIX rule such as "CET-1CEST,M3.5.0,M10.5.0/3"), else /etc/localtime, else GMT. It is
 * re-read whenever TZ changes and after CFTimeZoneResetSystem. Zones are immutable and safe to share
 * between threads.
 */
#ifndef __COREFOUNDATION_CFTIMEZONE__
#define __COREFOUNDATION_CFTIMEZONE__

#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFData.h>
#include <CoreFoundation/CFDate.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFString.h>

CF_EXTERN_C_BEGIN

typedef const struct __CFTimeZone* CFTimeZoneRef;
typedef const struct __CFLocale* CFLocaleRef;

CF_EXPORT CFTypeID CFTimeZoneGetTypeID(void);

/* The zone the system is set to (owned). */
CF_EXPORT CFTimeZoneRef CFTimeZoneCopySystem(void);
/* Forgets the cached system zone and zone files, so the next query reads TZ, /etc/localtime and the
 * database again. */
CF_EXPORT void CFTimeZoneResetSystem(void);
/* The zone set with CFTimeZoneSetDefault, else the system zone (owned). */
CF_EXPORT CFTimeZoneRef CFTimeZoneCopyDefault(void);
/* Sets the process's default zone (retained); NULL returns to following the system zone. */
CF_EXPORT void CFTimeZoneSetDefault(CFTimeZoneRef tz);

/* Every zone name the database knows (owned array of strings). */
CF_EXPORT CFArrayRef CFTimeZoneCopyKnownNames(void);
/* Abbreviation → zone name ("CET" → "Europe/Paris", ...), owned. */
CF_EXPORT CFDictionaryRef CFTimeZoneCopyAbbreviationDictionary(void);
CF_EXPORT void CFTimeZoneSetAbbreviationDictionary(CFDictionaryRef dict);

/* A zone from TZif bytes (RFC 8536), named name (owned); with NULL data, the zone of that name.
 * NULL when the data is malformed or the name unknown. */
CF_EXPORT CFTimeZoneRef CFTimeZoneCreate(CFAllocatorRef allocator, CFStringRef name, CFDataRef data);
/* A fixed zone ti seconds (rounded to whole seconds) east of GMT, named "GMT+0130" style ("GMT" for
 * 0), owned. NULL when |ti| exceeds 18 hours or is not a number. */
CF_EXPORT CFTimeZoneRef CFTimeZoneCreateWithTimeIntervalFromGMT(CFAllocatorRef allocator, CFTimeInterval ti);
/* A zone by IANA name, "GMT"/"UTC", "GMT+hh[mm]" or, with tryAbbrev, an abbreviation such as
 * "PST" (owned). NULL when unknown. */
CF_EXPORT CFTimeZoneRef CFTimeZoneCreateWithName(CFAllocatorRef allocator, CFStringRef name, Boolean tryAbbrev);

CF_EXPORT CFStringRef CFTimeZoneGetName(CFTimeZoneRef tz);
/* The zone's TZif data, or empty data for fixed-offset and rule-string zones (borrowed). */
CF_EXPORT CFDataRef CFTimeZoneGetData(CFTimeZoneRef tz);

/* Offset from GMT at the given moment, daylight saving included. */
CF_EXPORT CFTimeInterval CFTimeZoneGetSecondsFromGMT(CFTimeZoneRef tz, CFAbsoluteTime at);
/* "CET", "CEST", "GMT+1" ... (owned). */
CF_EXPORT CFStringRef CFTimeZoneCopyAbbreviation(CFTimeZoneRef tz, CFAbsoluteTime at);
CF_EXPORT Boolean CFTimeZoneIsDaylightSavingTime(CFTimeZoneRef tz, CFAbsoluteTime at);
CF_EXPORT CFTimeInterval CFTimeZoneGetDaylightSavingTimeOffset(CFTimeZoneRef tz, CFAbsoluteTime at);
/* The next offset change after at, or 0 when there is none. */
CF_EXPORT CFAbsoluteTime CFTimeZoneGetNextDaylightSavingTimeTransition(CFTimeZoneRef tz, CFAbsoluteTime at);

typedef CF_ENUM(CFIndex, CFTimeZoneNameStyle) {
  kCFTimeZoneNameStyleStandard,
  kCFTimeZoneNameStyleShortStandard,
  kCFTimeZoneNameStyleDaylightSaving,
  kCFTimeZoneNameStyleShortDaylightSaving,
  kCFTimeZoneNameStyleGeneric,
  kCFTimeZoneNameStyleShortGeneric,
};

/* The zone's display name in locale (NULL: the current locale), owned; NULL if none. */
CF_EXPORT CFStringRef CFTimeZoneCopyLocalizedName(CFTimeZoneRef tz, CFTimeZoneNameStyle style, CFLocaleRef locale);

CF_EXPORT const CFStringRef kCFTimeZoneSystemTimeZoneDidChangeNotification;

CF_EXTERN_C_END

#endif /* __COREFOUNDATION_CFTIMEZONE__ */
