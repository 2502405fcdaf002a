/*
 * CFDate.h — absolute time, dates and Gregorian calendar arithmetic.
 *
 * CFAbsoluteTime counts seconds since 1 January 2001 00:00:00 GMT. Gregorian conversions are
 * proleptic and exact for any year an SInt32 holds; a NULL time zone means GMT.
 */
#ifndef __COREFOUNDATION_CFDATE__
#define __COREFOUNDATION_CFDATE__

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFString.h>

CF_EXTERN_C_BEGIN

typedef double CFTimeInterval;
typedef CFTimeInterval CFAbsoluteTime;

/* The current time from the real-time clock. */
CF_EXPORT CFAbsoluteTime CFAbsoluteTimeGetCurrent(void);

/* Seconds from 1 January 1970 (978307200) and 1 January 1904 (3061152000) to 1 January 2001 GMT. */
CF_EXPORT const CFTimeInterval kCFAbsoluteTimeIntervalSince1970;
CF_EXPORT const CFTimeInterval kCFAbsoluteTimeIntervalSince1904;

typedef const struct __CFDate* CFDateRef;
typedef const struct __CFTimeZone* CFTimeZoneRef;

CF_EXPORT CFTypeID CFDateGetTypeID(void);

/* Immutable date (owned). Its formatting description is "2001-01-01 00:00:00 +0000" (GMT). */
CF_EXPORT CFDateRef CFDateCreate(CFAllocatorRef allocator, CFAbsoluteTime at);
CF_EXPORT CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef theDate);
/* theDate minus otherDate, in seconds. */
CF_EXPORT CFTimeInterval CFDateGetTimeIntervalSinceDate(CFDateRef theDate, CFDateRef otherDate);
CF_EXPORT CFComparisonResult CFDateCompare(CFDateRef theDate, CFDateRef otherDate, void* context);

typedef struct {
  SInt32 year;
  SInt8 month;
  SInt8 day;
  SInt8 hour;
  SInt8 minute;
  double second;
} CFGregorianDate;

typedef struct {
  SInt32 years;
  SInt32 months;
  SInt32 days;
  SInt32 hours;
  SInt32 minutes;
  double seconds;
} CFGregorianUnits;

typedef CF_OPTIONS(CFOptionFlags, CFGregorianUnitFlags) {
  kCFGregorianUnitsYears = (1UL << 0),
  kCFGregorianUnitsMonths = (1UL << 1),
  kCFGregorianUnitsDays = (1UL << 2),
  kCFGregorianUnitsHours = (1UL << 3),
  kCFGregorianUnitsMinutes = (1UL << 4),
  kCFGregorianUnitsSeconds = (1UL << 5),
  kCFGregorianAllUnits = 0x00FFFFFF,
};

/* Whether the fields selected by unitFlags are in range: month 1–12, day 1–length of the month
 * (leap years counted), hour 0–23, minute 0–59, second 0 <= s < 60. Any year is valid. */
CF_EXPORT Boolean CFGregorianDateIsValid(CFGregorianDate gdate, CFOptionFlags unitFlags);
/* The absolute time of a wall-clock date in tz (NULL: GMT). Fields out of range carry over
 * (month 13 is January of the next year, day 0 the last day of the previous month). */
CF_EXPORT CFAbsoluteTime CFGregorianDateGetAbsoluteTime(CFGregorianDate gdate, CFTimeZoneRef tz);
/* The wall-clock date of at in tz (NULL: GMT). A NaN or infinite time, or one whose year would not fit
 * an SInt32, gives an all-zero date (which CFGregorianDateIsValid rejects). */
CF_EXPORT CFGregorianDate CFAbsoluteTimeGetGregorianDate(CFAbsoluteTime at, CFTimeZoneRef tz);
/* Adds the units to the wall-clock date of at in tz: years and months first, keeping the day or,
 * where the month is shorter, taking its last day (January 31 plus one month is February 28 or
 * 29); then days; hours, minutes and seconds are added as elapsed time. */
CF_EXPORT CFAbsoluteTime CFAbsoluteTimeAddGregorianUnits(CFAbsoluteTime at, CFTimeZoneRef tz, CFGregorianUnits units);
/* at1 minus at2 broken into the units selected by unitFlags, largest first, in tz's wall clock. */
CF_EXPORT CFGregorianUnits CFAbsoluteTimeGetDifferenceAsGregorianUnits(CFAbsoluteTime at1, CFAbsoluteTime at2,
                                                                       CFTimeZoneRef tz, CFOptionFlags unitFlags);
/* 1 for Monday … 7 for Sunday (0 for a NaN or infinite time, as for the two functions below). */
CF_EXPORT SInt32 CFAbsoluteTimeGetDayOfWeek(CFAbsoluteTime at, CFTimeZoneRef tz);
/* 1 for 1 January … 366. */
CF_EXPORT SInt32 CFAbsoluteTimeGetDayOfYear(CFAbsoluteTime at, CFTimeZoneRef tz);
/* The ISO 8601 week number, 1–53 (weeks start on Monday; week 1 holds the year's first Thursday). */
CF_EXPORT SInt32 CFAbsoluteTimeGetWeekOfYear(CFAbsoluteTime at, CFTimeZoneRef tz);

CF_EXTERN_C_END

#endif /* __COREFOUNDATION_CFDATE__ */
