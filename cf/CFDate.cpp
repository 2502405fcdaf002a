// Absolute time, dates and proleptic Gregorian arithmetic.
//
// Calendar conversions use the days-from-civil algorithms on 64-bit day counts rather than the C
// library (mktime/gmtime are limited to time_t, depend on the process's TZ and are not reentrant).
#include <CoreFoundation/CFDate.h>
#include <CoreFoundation/CFTimeZone.h>

#include "CFRef.h"
#include "CFRuntime.h"
#include "CFStringInternal.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

const CFTimeInterval kCFAbsoluteTimeIntervalSince1970 = 978307200.0;
const CFTimeInterval kCFAbsoluteTimeIntervalSince1904 = 3061152000.0;

namespace {

constexpr int64_t kDaysFrom1970To2001 = 11323;
// Local times beyond this many seconds from 2001 would need years outside SInt32.
constexpr double kMaxLocalSeconds = 6.0e16;

int64_t floorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }
int64_t floorMod(int64_t a, int64_t b) { return a - floorDiv(a, b) * b; }

// Days since 2001-01-01 of a proleptic Gregorian date (month 1–12, any day: it simply carries).
int64_t daysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  int64_t era = floorDiv(y, 400);
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468 - kDaysFrom1970To2001;
}

struct Civil {
  int64_t year;
  int month;
  int day;
};

Civil civilFromDays(int64_t days) {
  int64_t z = days + kDaysFrom1970To2001 + 719468;
  int64_t era = floorDiv(z, 146097);
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return {yoe + era * 400 + (m <= 2), m, d};
}

bool isLeap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(int64_t y, int m) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && isLeap(y) ? 29 : kDays[m - 1];
}

double offsetAt(CFTimeZoneRef tz, CFAbsoluteTime at) { return tz != nullptr ? CFTimeZoneGetSecondsFromGMT(tz, at) : 0; }

// Wall-clock seconds since 2001 in tz → absolute time. Around a transition the offset in force
// at the result is used, so times in a gap move forward and repeated times take the first.
CFAbsoluteTime absoluteFromLocal(double local, CFTimeZoneRef tz) {
  if (tz == nullptr) return local;
  double guess = local - offsetAt(tz, local);
  return local - offsetAt(tz, guess);
}

struct Broken {
  bool ok;
  int64_t days;  // local days since 2001-01-01
  double secondsOfDay;
};

Broken breakLocal(CFAbsoluteTime at, CFTimeZoneRef tz) {
  if (!std::isfinite(at)) return {false, 0, 0};
  double local = at + offsetAt(tz, at);
  if (!(std::fabs(local) < kMaxLocalSeconds)) return {false, 0, 0};
  auto days = static_cast<int64_t>(std::floor(local / 86400.0));
  double secs = local - static_cast<double>(days) * 86400.0;
  if (secs >= 86400.0) {  // rounding of tiny negative times
    ++days;
    secs = 0;
  } else if (secs < 0) {
    --days;
    secs += 86400.0;
  }
  return {true, days, secs};
}

// Local wall-clock seconds since 2001 for unnormalised fields.
double localFromFields(int64_t year, int64_t month, int64_t day, int64_t hour, int64_t minute, double second) {
  year += floorDiv(month - 1, 12);
  month = floorMod(month - 1, 12) + 1;
  int64_t days = daysFromCivil(year, month, 1) + day - 1;
  return static_cast<double>(days) * 86400.0 + static_cast<double>(hour * 3600 + minute * 60) + second;
}

std::string gmtText(CFAbsoluteTime at) {
  CFGregorianDate g = CFAbsoluteTimeGetGregorianDate(at, nullptr);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d +0000", static_cast<int>(g.year), g.month, g.day,
                g.hour, g.minute, static_cast<int>(g.second));
  return buf;
}

}  // namespace

struct __CFDate : __CFRuntimeBase {
  CFAbsoluteTime time;
  __CFDate(CFAllocatorRef alloc, const qxcf::RuntimeClass* cls, CFAbsoluteTime t)
      : __CFRuntimeBase(cls, 1, alloc), time(t) {}
};

namespace {

bool dateEqual(CFTypeRef a, CFTypeRef b) {
  return static_cast<const __CFDate*>(a)->time == static_cast<const __CFDate*>(b)->time;
}

CFHashCode dateHash(CFTypeRef cf) {
  double t = static_cast<const __CFDate*>(cf)->time;
  if (t == 0) t = 0;  // -0.0 equals 0.0
  uint64_t bits;
  std::memcpy(&bits, &t, sizeof bits);
  return qxcf::mixHash(bits);
}

CFStringRef dateFormattingDesc(CFTypeRef cf) {
  return qxcf::createStringUTF8(gmtText(static_cast<const __CFDate*>(cf)->time));
}

CFStringRef dateDebugDesc(CFTypeRef cf) {
  char head[96];
  std::snprintf(head, sizeof head, "<CFDate %p [%p]>{time = ", cf, static_cast<const void*>(CFGetAllocator(cf)));
  return qxcf::createStringUTF8(std::string(head) + gmtText(static_cast<const __CFDate*>(cf)->time) + "}");
}

constexpr qxcf::RuntimeClass kDateClass = {qxcf::kTypeIDDate, "CFDate",           nullptr,      dateEqual,
                                           dateHash,          dateFormattingDesc, dateDebugDesc};

}  // namespace

CFAbsoluteTime CFAbsoluteTimeGetCurrent(void) {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) - kCFAbsoluteTimeIntervalSince1970 + static_cast<double>(ts.tv_nsec) * 1e-9;
}

CFTypeID CFDateGetTypeID(void) { return qxcf::kTypeIDDate; }

CFDateRef CFDateCreate(CFAllocatorRef allocator, CFAbsoluteTime at) {
  return qxcf::cfCreate<__CFDate>(allocator, 0, &kDateClass, at);
}

CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef theDate) { return theDate->time; }

CFTimeInterval CFDateGetTimeIntervalSinceDate(CFDateRef theDate, CFDateRef otherDate) {
  return theDate->time - otherDate->time;
}

CFComparisonResult CFDateCompare(CFDateRef theDate, CFDateRef otherDate, void*) {
  if (theDate->time < otherDate->time) return kCFCompareLessThan;
  if (theDate->time > otherDate->time) return kCFCompareGreaterThan;
  return kCFCompareEqualTo;
}

Boolean CFGregorianDateIsValid(CFGregorianDate gdate, CFOptionFlags unitFlags) {
  if ((unitFlags & kCFGregorianUnitsMonths) && (gdate.month < 1 || gdate.month > 12)) return false;
  if (unitFlags & kCFGregorianUnitsDays) {
    if (gdate.month < 1 || gdate.month > 12) return false;
    if (gdate.day < 1 || gdate.day > daysInMonth(gdate.year, gdate.month)) return false;
  }
  if ((unitFlags & kCFGregorianUnitsHours) && (gdate.hour < 0 || gdate.hour > 23)) return false;
  if ((unitFlags & kCFGregorianUnitsMinutes) && (gdate.minute < 0 || gdate.minute > 59)) return false;
  if ((unitFlags & kCFGregorianUnitsSeconds) && !(gdate.second >= 0 && gdate.second < 60)) return false;
  return true;
}

CFAbsoluteTime CFGregorianDateGetAbsoluteTime(CFGregorianDate gdate, CFTimeZoneRef tz) {
  return absoluteFromLocal(localFromFields(gdate.year, gdate.month, gdate.day, gdate.hour, gdate.minute, gdate.second),
                           tz);
}

CFGregorianDate CFAbsoluteTimeGetGregorianDate(CFAbsoluteTime at, CFTimeZoneRef tz) {
  CFGregorianDate g{};
  Broken b = breakLocal(at, tz);
  if (!b.ok) return g;
  Civil c = civilFromDays(b.days);
  auto whole = static_cast<int64_t>(b.secondsOfDay);
  g.year = static_cast<SInt32>(c.year);
  g.month = static_cast<SInt8>(c.month);
  g.day = static_cast<SInt8>(c.day);
  g.hour = static_cast<SInt8>(whole / 3600);
  g.minute = static_cast<SInt8>(whole % 3600 / 60);
  g.second = static_cast<double>(whole % 60) + (b.secondsOfDay - static_cast<double>(whole));
  return g;
}

CFAbsoluteTime CFAbsoluteTimeAddGregorianUnits(CFAbsoluteTime at, CFTimeZoneRef tz, CFGregorianUnits units) {
  Broken b = breakLocal(at, tz);
  if (!b.ok) return at;
  Civil c = civilFromDays(b.days);
  // Years, months and days move the wall-clock date; hours and smaller are elapsed time. A day
  // the new month lacks becomes its last (Jan 31 + 1 month is Feb 28), and days count from there.
  const int64_t months = int64_t{c.month} - 1 + units.months;
  const int64_t year = c.year + units.years + floorDiv(months, 12);
  const int month = static_cast<int>(floorMod(months, 12)) + 1;
  const int64_t day = std::min(c.day, daysInMonth(year, month));
  double local = localFromFields(year, month, day + units.days, 0, 0, b.secondsOfDay);
  CFAbsoluteTime moved = absoluteFromLocal(local, tz);
  return moved + static_cast<double>(int64_t{units.hours} * 3600 + int64_t{units.minutes} * 60) + units.seconds;
}

CFGregorianUnits CFAbsoluteTimeGetDifferenceAsGregorianUnits(CFAbsoluteTime at1, CFAbsoluteTime at2, CFTimeZoneRef tz,
                                                             CFOptionFlags unitFlags) {
  CFGregorianUnits result{};
  // Times no calendar can hold cannot be stepped through: adding units to them is a no-op.
  if (!breakLocal(at1, tz).ok || !breakLocal(at2, tz).ok) return result;
  static const double kApprox[5] = {365.2425 * 86400, 30.436875 * 86400, 86400, 3600, 60};
  static const CFOptionFlags kFlags[5] = {kCFGregorianUnitsYears, kCFGregorianUnitsMonths, kCFGregorianUnitsDays,
                                          kCFGregorianUnitsHours, kCFGregorianUnitsMinutes};
  SInt32* fields[5] = {&result.years, &result.months, &result.days, &result.hours, &result.minutes};
  const int sign = at1 >= at2 ? 1 : -1;
  CFAbsoluteTime cur = at2;
  for (int u = 0; u < 5; ++u) {
    if (!(unitFlags & kFlags[u])) continue;
    auto add = [&](int64_t n) {
      CFGregorianUnits step{};
      SInt32* f[5] = {&step.years, &step.months, &step.days, &step.hours, &step.minutes};
      *f[u] = static_cast<SInt32>(n);
      return CFAbsoluteTimeAddGregorianUnits(cur, tz, step);
    };
    auto past = [&](CFAbsoluteTime t) { return sign > 0 ? t > at1 : t < at1; };
    double estimate = std::trunc((at1 - cur) / kApprox[u]);
    if (!(std::fabs(estimate) < 2e9)) return result;  // beyond what an SInt32 field can hold
    auto n = static_cast<int64_t>(estimate);
    while (n != 0 && past(add(n))) n -= sign;
    while (std::llabs(n) < 2000000000) {
      CFAbsoluteTime next = add(n + sign);
      if (past(next) || next == cur) break;  // an unchanged time means the step could not be taken
      n += sign;
    }
    *fields[u] = static_cast<SInt32>(n);
    cur = add(n);
  }
  if (unitFlags & kCFGregorianUnitsSeconds) result.seconds = at1 - cur;
  return result;
}

SInt32 CFAbsoluteTimeGetDayOfWeek(CFAbsoluteTime at, CFTimeZoneRef tz) {
  Broken b = breakLocal(at, tz);
  if (!b.ok) return 0;
  return static_cast<SInt32>(floorMod(b.days, 7) + 1);  // 2001-01-01 was a Monday
}

SInt32 CFAbsoluteTimeGetDayOfYear(CFAbsoluteTime at, CFTimeZoneRef tz) {
  Broken b = breakLocal(at, tz);
  if (!b.ok) return 0;
  Civil c = civilFromDays(b.days);
  return static_cast<SInt32>(b.days - daysFromCivil(c.year, 1, 1) + 1);
}

SInt32 CFAbsoluteTimeGetWeekOfYear(CFAbsoluteTime at, CFTimeZoneRef tz) {
  Broken b = breakLocal(at, tz);
  if (!b.ok) return 0;
  Civil c = civilFromDays(b.days);
  auto weekday = [](int64_t days) { return floorMod(days, 7) + 1; };
  auto weeksIn = [&](int64_t y) {
    int64_t jan1 = weekday(daysFromCivil(y, 1, 1));
    return (jan1 == 4 || (jan1 == 3 && isLeap(y))) ? 53 : 52;
  };
  int64_t doy = b.days - daysFromCivil(c.year, 1, 1) + 1;
  int64_t week = (doy - weekday(b.days) + 10) / 7;
  if (week < 1) return static_cast<SInt32>(weeksIn(c.year - 1));
  if (week > weeksIn(c.year)) return 1;
  return static_cast<SInt32>(week);
}
