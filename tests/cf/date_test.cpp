#include <CoreFoundation/CFDate.h>
#include <CoreFoundation/CFTimeZone.h>

#include "CFRef.h"
#include "CFTestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using qxcf::adopt;
using qxcf::CFRef;
using qxtest::formatted;
using qxtest::utf8;

namespace {

CFGregorianDate gdate(SInt32 y, int mo, int d, int h = 0, int mi = 0, double s = 0) {
  return CFGregorianDate{
      y, static_cast<SInt8>(mo), static_cast<SInt8>(d), static_cast<SInt8>(h), static_cast<SInt8>(mi), s};
}

CFRef<CFTimeZoneRef> zone(const char* name) {
  CFRef<CFStringRef> n = adopt(CFStringCreateWithCString(nullptr, name, kCFStringEncodingUTF8));
  return adopt(CFTimeZoneCreateWithName(nullptr, n.get(), false));
}

// Restores TZ and the cached zones after a test changes them.
class TZGuard {
 public:
  TZGuard() {
    const char* v = std::getenv("TZ");
    had_ = v != nullptr;
    if (had_) old_ = v;
  }
  ~TZGuard() {
    if (had_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    CFTimeZoneSetDefault(nullptr);
    CFTimeZoneResetSystem();
  }

 private:
  bool had_ = false;
  std::string old_;
};

TEST(CFDate, EpochAndDescriptions) {
  CFAbsoluteTime now = CFAbsoluteTimeGetCurrent();
  EXPECT_NEAR(now + kCFAbsoluteTimeIntervalSince1970, static_cast<double>(std::time(nullptr)), 2.0);

  CFRef<CFDateRef> zero = adopt(CFDateCreate(nullptr, 0));
  EXPECT_EQ(formatted(zero.get()), "2001-01-01 00:00:00 +0000");
  CFRef<CFDateRef> before = adopt(CFDateCreate(nullptr, -0.5));  // floors, not truncates
  EXPECT_EQ(formatted(before.get()), "2000-12-31 23:59:59 +0000");
  CFRef<CFDateRef> later = adopt(CFDateCreate(nullptr, 86400.0 * 366 + 3723.25));
  EXPECT_EQ(formatted(later.get()), "2002-01-02 01:02:03 +0000");

  EXPECT_EQ(CFDateCompare(zero.get(), later.get(), nullptr), kCFCompareLessThan);
  EXPECT_EQ(CFDateGetTimeIntervalSinceDate(later.get(), zero.get()), 86400.0 * 366 + 3723.25);
  CFRef<CFDateRef> zero2 = adopt(CFDateCreate(nullptr, -0.0));
  EXPECT_TRUE(CFEqual(zero.get(), zero2.get()));
  EXPECT_EQ(CFHash(zero.get()), CFHash(zero2.get()));
  EXPECT_EQ(CFDateCompare(zero.get(), zero2.get(), nullptr), kCFCompareEqualTo);
  EXPECT_FALSE(CFEqual(zero.get(), before.get()));
}

TEST(CFDate, GregorianRoundTripsOverWideRanges) {
  // Anchors for the day-by-day walk below, and a year before 1 AD (proleptic, astronomical year 0).
  struct Known {
    SInt32 y;
    int m, d;
    double at;
  } known[] = {
      {2001, 1, 1, 0}, {1970, 1, 1, -978307200.0}, {0, 3, 1, -63140342400.0},  // 306 days before 0001-01-01
  };
  for (const Known& k : known) {
    EXPECT_EQ(CFGregorianDateGetAbsoluteTime(gdate(k.y, k.m, k.d), nullptr), k.at) << k.y;
    CFGregorianDate g = CFAbsoluteTimeGetGregorianDate(k.at, nullptr);
    EXPECT_EQ(std::make_tuple(g.year, int{g.month}, int{g.day}, int{g.hour}, g.second),
              std::make_tuple(k.y, k.m, k.d, 0, 0.0));
  }

  // Every day over 1,200 years around the epoch, and sparse samples far beyond.
  CFGregorianDate prev = CFAbsoluteTimeGetGregorianDate(-86400.0 * 220000, nullptr);
  for (int64_t day = -220000 + 1; day < 220000; ++day) {
    double at = 86400.0 * static_cast<double>(day) + 45296.5;  // 12:34:56.5
    CFGregorianDate g = CFAbsoluteTimeGetGregorianDate(at, nullptr);
    ASSERT_TRUE(CFGregorianDateIsValid(g, kCFGregorianAllUnits)) << day;
    ASSERT_EQ(std::make_tuple(int{g.hour}, int{g.minute}, g.second), std::make_tuple(12, 34, 56.5));
    ASSERT_EQ(CFGregorianDateGetAbsoluteTime(g, nullptr), at) << day;
    bool nextDay = g.day == prev.day + 1 && g.month == prev.month && g.year == prev.year;
    bool nextMonth = g.day == 1 && ((g.month == prev.month + 1 && g.year == prev.year) ||
                                    (g.month == 1 && prev.month == 12 && g.year == prev.year + 1));
    ASSERT_TRUE(nextDay || nextMonth) << day;
    prev = g;
  }
  for (double at : {-6.0e13, -1.0e12, 1.0e12, 6.0e13}) {
    CFGregorianDate g = CFAbsoluteTimeGetGregorianDate(at, nullptr);
    EXPECT_TRUE(CFGregorianDateIsValid(g, kCFGregorianAllUnits));
    EXPECT_EQ(CFGregorianDateGetAbsoluteTime(g, nullptr), at);
  }
  // Times no calendar year can hold give an all-zero date instead of garbage.
  for (double at : {double(NAN), double(INFINITY), -double(INFINITY), 1e300}) {
    EXPECT_EQ(CFAbsoluteTimeGetGregorianDate(at, nullptr).year, 0);
  }

  // Out-of-range fields carry over.
  EXPECT_EQ(CFGregorianDateGetAbsoluteTime(gdate(2000, 13, 1), nullptr),
            CFGregorianDateGetAbsoluteTime(gdate(2001, 1, 1), nullptr));
  EXPECT_EQ(CFGregorianDateGetAbsoluteTime(gdate(2001, 0, 1), nullptr),
            CFGregorianDateGetAbsoluteTime(gdate(2000, 12, 1), nullptr));
}

TEST(CFDate, ValidityAndCalendarQueries) {
  EXPECT_TRUE(CFGregorianDateIsValid(gdate(2000, 2, 29), kCFGregorianAllUnits));
  EXPECT_FALSE(CFGregorianDateIsValid(gdate(1900, 2, 29), kCFGregorianAllUnits));
  EXPECT_FALSE(CFGregorianDateIsValid(gdate(2001, 2, 29), kCFGregorianAllUnits));
  EXPECT_TRUE(CFGregorianDateIsValid(gdate(2001, 2, 29), kCFGregorianUnitsMonths));
  EXPECT_FALSE(CFGregorianDateIsValid(gdate(2001, 13, 1), kCFGregorianUnitsMonths));
  EXPECT_FALSE(CFGregorianDateIsValid(gdate(2001, 4, 31), kCFGregorianUnitsDays));
  EXPECT_FALSE(CFGregorianDateIsValid(gdate(2001, 1, 1, 0, 0, 60), kCFGregorianUnitsSeconds));
  EXPECT_FALSE(CFGregorianDateIsValid(gdate(2001, 1, 1, 0, 0, NAN), kCFGregorianUnitsSeconds));
  EXPECT_TRUE(CFGregorianDateIsValid(gdate(2001, 1, 1, 23, 59, 59.999), kCFGregorianAllUnits));

  EXPECT_EQ(CFAbsoluteTimeGetDayOfWeek(0, nullptr), 1);  // 2001-01-01 was a Monday
  EXPECT_EQ(CFAbsoluteTimeGetDayOfWeek(-1, nullptr), 7);
  EXPECT_EQ(CFAbsoluteTimeGetDayOfWeek(-kCFAbsoluteTimeIntervalSince1970, nullptr), 4);  // a Thursday
  EXPECT_EQ(CFAbsoluteTimeGetDayOfWeek(CFGregorianDateGetAbsoluteTime(gdate(1600, 3, 1), nullptr), nullptr), 3);
  EXPECT_EQ(CFAbsoluteTimeGetDayOfYear(0, nullptr), 1);
  EXPECT_EQ(CFAbsoluteTimeGetDayOfYear(CFGregorianDateGetAbsoluteTime(gdate(2000, 12, 31), nullptr), nullptr), 366);
  EXPECT_EQ(CFAbsoluteTimeGetWeekOfYear(CFGregorianDateGetAbsoluteTime(gdate(2021, 1, 3), nullptr), nullptr), 53);
  EXPECT_EQ(CFAbsoluteTimeGetWeekOfYear(CFGregorianDateGetAbsoluteTime(gdate(2021, 1, 4), nullptr), nullptr), 1);
  EXPECT_EQ(CFAbsoluteTimeGetWeekOfYear(CFGregorianDateGetAbsoluteTime(gdate(2024, 12, 30), nullptr), nullptr), 1);

  // A day of week in a zone follows the local date.
  CFRef<CFTimeZoneRef> tokyo = zone("Asia/Tokyo");
  ASSERT_TRUE(tokyo);
  EXPECT_EQ(CFAbsoluteTimeGetDayOfWeek(-3600, tokyo.get()), 1);  // 08:00 Monday in Tokyo
  EXPECT_EQ(CFAbsoluteTimeGetDayOfWeek(-3600, nullptr), 7);
}

TEST(CFDate, AddingUnitsAndDifferences) {
  // Years and months keep the day where the month has it, else take the month's last day; days
  // are added after that.
  const struct {
    CFGregorianDate from;
    SInt32 years, months, days;
    CFGregorianDate to;
  } moves[] = {
      {gdate(2001, 1, 31, 10), 0, 1, 0, gdate(2001, 2, 28, 10)},
      {gdate(2004, 1, 31), 0, 1, 0, gdate(2004, 2, 29)},
      {gdate(2001, 1, 31), 0, 1, 1, gdate(2001, 3, 1)},
      {gdate(2001, 3, 31), 0, -1, 0, gdate(2001, 2, 28)},
      {gdate(2000, 3, 31), 0, -1, 0, gdate(2000, 2, 29)},
      {gdate(2001, 1, 31), 0, -11, 0, gdate(2000, 2, 29)},
      {gdate(2004, 2, 29), 1, 0, 0, gdate(2005, 2, 28)},
      {gdate(2001, 5, 31), 0, 25, 0, gdate(2003, 6, 30)},
      {gdate(2001, 1, 31, 10), -1, -13, 0, gdate(1998, 12, 31, 10)},
  };
  for (const auto& m : moves) {
    CFGregorianUnits u{m.years, m.months, m.days, 0, 0, 0};
    CFGregorianDate g = CFAbsoluteTimeGetGregorianDate(
        CFAbsoluteTimeAddGregorianUnits(CFGregorianDateGetAbsoluteTime(m.from, nullptr), nullptr, u), nullptr);
    EXPECT_EQ(std::make_tuple(g.year, int{g.month}, int{g.day}, int{g.hour}),
              std::make_tuple(m.to.year, int{m.to.month}, int{m.to.day}, int{m.to.hour}))
        << m.from.year << "-" << int{m.from.month} << "-" << int{m.from.day} << " + " << m.months;
  }
  CFGregorianUnits mar1 =
      CFAbsoluteTimeGetDifferenceAsGregorianUnits(CFGregorianDateGetAbsoluteTime(gdate(2001, 3, 1), nullptr),
                                                  CFGregorianDateGetAbsoluteTime(gdate(2001, 1, 31), nullptr), nullptr,
                                                  kCFGregorianUnitsMonths | kCFGregorianUnitsDays);
  EXPECT_EQ(std::make_pair(mar1.months, mar1.days), std::make_pair(1, 1));
  CFGregorianUnits mixed{0, 0, 1, 25, 61, 1.5};
  EXPECT_EQ(CFAbsoluteTimeAddGregorianUnits(0, nullptr, mixed), 86400 + 25 * 3600 + 61 * 60 + 1.5);

  // Adding a day across a DST change keeps the wall-clock time; adding 24 hours does not.
  CFRef<CFTimeZoneRef> berlin = zone("Europe/Berlin");
  ASSERT_TRUE(berlin);
  CFAbsoluteTime sat = CFGregorianDateGetAbsoluteTime(gdate(2021, 3, 27, 12), berlin.get());
  CFGregorianUnits day{0, 0, 1, 0, 0, 0}, hours{0, 0, 0, 24, 0, 0};
  CFAbsoluteTime sun = CFAbsoluteTimeAddGregorianUnits(sat, berlin.get(), day);
  EXPECT_EQ(sun - sat, 23 * 3600);
  EXPECT_EQ(CFAbsoluteTimeGetGregorianDate(sun, berlin.get()).hour, 12);
  EXPECT_EQ(
      CFAbsoluteTimeGetGregorianDate(CFAbsoluteTimeAddGregorianUnits(sat, berlin.get(), hours), berlin.get()).hour, 13);

  CFAbsoluteTime a = CFGregorianDateGetAbsoluteTime(gdate(2003, 5, 20, 6, 30, 10), nullptr);
  CFAbsoluteTime b = CFGregorianDateGetAbsoluteTime(gdate(2001, 2, 28, 5, 0, 0), nullptr);
  CFGregorianUnits d = CFAbsoluteTimeGetDifferenceAsGregorianUnits(a, b, nullptr, kCFGregorianAllUnits);
  EXPECT_EQ(std::make_tuple(d.years, d.months, d.days, d.hours, d.minutes, d.seconds),
            std::make_tuple(2, 2, 22, 1, 30, 10.0));
  CFGregorianUnits r = CFAbsoluteTimeGetDifferenceAsGregorianUnits(b, a, nullptr, kCFGregorianAllUnits);
  EXPECT_EQ(std::make_pair(r.years, r.months), std::make_pair(-2, -2));
  CFGregorianUnits daysOnly = CFAbsoluteTimeGetDifferenceAsGregorianUnits(a, b, nullptr, kCFGregorianUnitsDays);
  EXPECT_EQ(std::make_pair(daysOnly.years, daysOnly.days), std::make_pair(0, 811));

  // Beyond the calendar's range units cannot be stepped; the answer is all zero, promptly.
  for (CFAbsoluteTime base : {1e17, -1e17}) {
    CFGregorianUnits far = CFAbsoluteTimeGetDifferenceAsGregorianUnits(
        base + 1e6, base, nullptr, kCFGregorianUnitsDays | kCFGregorianUnitsHours | kCFGregorianUnitsSeconds);
    EXPECT_EQ(std::make_tuple(far.days, far.hours, far.seconds), std::make_tuple(0, 0, 0.0)) << base;
  }
  CFGregorianUnits near = CFAbsoluteTimeGetDifferenceAsGregorianUnits(5e16 + 1e6, 5e16, nullptr,
                                                                      kCFGregorianUnitsDays | kCFGregorianUnitsSeconds);
  EXPECT_EQ(near.days, 11);
  EXPECT_EQ(near.seconds, 1e6 - 11 * 86400);
}

TEST(CFTimeZone, NamedZonesFromTheDatabase) {
  CFRef<CFTimeZoneRef> berlin = zone("Europe/Berlin");
  ASSERT_TRUE(berlin);
  EXPECT_EQ(utf8(CFTimeZoneGetName(berlin.get())), "Europe/Berlin");
  CFAbsoluteTime winter = CFGregorianDateGetAbsoluteTime(gdate(2021, 1, 15, 12), nullptr);
  CFAbsoluteTime summer = CFGregorianDateGetAbsoluteTime(gdate(2021, 7, 15, 12), nullptr);
  EXPECT_EQ(CFTimeZoneGetSecondsFromGMT(berlin.get(), winter), 3600);
  EXPECT_EQ(CFTimeZoneGetSecondsFromGMT(berlin.get(), summer), 7200);
  EXPECT_FALSE(CFTimeZoneIsDaylightSavingTime(berlin.get(), winter));
  EXPECT_TRUE(CFTimeZoneIsDaylightSavingTime(berlin.get(), summer));
  EXPECT_EQ(CFTimeZoneGetDaylightSavingTimeOffset(berlin.get(), summer), 3600);
  // The 2021 spring change: 2021-03-28 01:00 GMT.
  CFAbsoluteTime change = CFGregorianDateGetAbsoluteTime(gdate(2021, 3, 28, 1), nullptr);
  EXPECT_EQ(CFTimeZoneGetNextDaylightSavingTimeTransition(berlin.get(), winter), change);
  EXPECT_EQ(CFTimeZoneGetSecondsFromGMT(berlin.get(), change - 1), 3600);
  EXPECT_EQ(CFTimeZoneGetSecondsFromGMT(berlin.get(), change), 7200);
  CFGregorianDate local = CFAbsoluteTimeGetGregorianDate(summer, berlin.get());
  EXPECT_EQ(local.hour, 14);
  EXPECT_EQ(CFGregorianDateGetAbsoluteTime(local, berlin.get()), summer);
  // Historic rules: Berlin had no DST in 1960.
  EXPECT_EQ(CFTimeZoneGetSecondsFromGMT(berlin.get(), CFGregorianDateGetAbsoluteTime(gdate(1960, 7, 1), nullptr)),
            3600);

  CFRef<CFTimeZoneRef> ny = zone("America/New_York");
  ASSERT_TRUE(ny);
  EXPECT_EQ(CFTimeZoneGetSecondsFromGMT(ny.get(), winter), -5 * 3600);
  CFRef<CFStringRef> abbrev = adopt(CFTimeZoneCopyAbbreviation(ny.get(), summer));
  EXPECT_EQ(utf8(abbrev.get()), "EDT");
  for (const char* bad : {"Not/AZone", "", "GMT+25"}) EXPECT_FALSE(zone(bad)) << bad;
  EXPECT_TRUE(CFEqual(berlin.get(), zone("Europe/Berlin").get()));
  EXPECT_EQ(CFHash(berlin.get()), CFHash(zone("Europe/Berlin").get()));
  EXPECT_FALSE(CFEqual(berlin.get(), ny.get()));

  // Abbreviations only when asked for.
  CFRef<CFTimeZoneRef> pst = adopt(CFTimeZoneCreateWithName(nullptr, CFSTR("PST"), true));
  ASSERT_TRUE(pst);
  EXPECT_EQ(utf8(CFTimeZoneGetName(pst.get())), "America/Los_Angeles");
  CFRef<CFArrayRef> names = adopt(CFTimeZoneCopyKnownNames());
  ASSERT_TRUE(names);
  EXPECT_GT(CFArrayGetCount(names.get()), 300);
  EXPECT_TRUE(CFArrayContainsValue(names.get(), CFRangeMake(0, CFArrayGetCount(names.get())), CFSTR("Europe/Berlin")));
}

TEST(CFTimeZone, FixedOffsets) {
  struct Case {
    double ti;
    const char* name;
    const char* abbrev;
  } cases[] = {{0, "GMT", "GMT"},
               {3600, "GMT+0100", "GMT+1"},
               {-19800, "GMT-0530", "GMT-5:30"},
               {18 * 3600, "GMT+1800", "GMT+18"}};
  for (const Case& c : cases) {
    CFRef<CFTimeZoneRef> tz = adopt(CFTimeZoneCreateWithTimeIntervalFromGMT(nullptr, c.ti));
    ASSERT_TRUE(tz) << c.name;
    EXPECT_EQ(utf8(CFTimeZoneGetName(tz.get())), c.name);
    EXPECT_EQ(CFTimeZoneGetSecondsFromGMT(tz.get(), 1e9), c.ti);
    EXPECT_FALSE(CFTimeZoneIsDaylightSavingTime(tz.get(), 1e9));
    CFRef<CFStringRef> abbrev = adopt(CFTimeZoneCopyAbbreviation(tz.get(), 0));
    EXPECT_EQ(utf8(abbrev.get()), c.abbrev);
    // The name reads back as the same zone.
    CFRef<CFTimeZoneRef> again = adopt(CFTimeZoneCreateWithName(nullptr, CFTimeZoneGetName(tz.get()), false));
    ASSERT_TRUE(again);
    EXPECT_TRUE(CFEqual(tz.get(), again.get()));
  }
  EXPECT_FALSE(adopt(CFTimeZoneCreateWithTimeIntervalFromGMT(nullptr, 19 * 3600)));
  EXPECT_FALSE(adopt(CFTimeZoneCreateWithTimeIntervalFromGMT(nullptr, NAN)));
  CFRef<CFTimeZoneRef> plus2 = zone("GMT+02:00");
  ASSERT_TRUE(plus2);
  EXPECT_EQ(CFTimeZoneGetSecondsFromGMT(plus2.get(), 0), 7200);
  CFGregorianDate g = CFAbsoluteTimeGetGregorianDate(0, plus2.get());
  EXPECT_EQ(g.hour, 2);
  EXPECT_EQ(CFGregorianDateGetAbsoluteTime(g, plus2.get()), 0);
}

TEST(CFTimeZone, DefaultFollowsTZ) {
  TZGuard guard;
  setenv("TZ", "Asia/Tokyo", 1);
  CFRef<CFTimeZoneRef> tz = adopt(CFTimeZoneCopyDefault());
  ASSERT_TRUE(tz);
  EXPECT_EQ(utf8(CFTimeZoneGetName(tz.get())), "Asia/Tokyo");
  CFRef<CFTimeZoneRef> sys = adopt(CFTimeZoneCopySystem());
  EXPECT_TRUE(CFEqual(sys.get(), tz.get()));

  setenv("TZ", ":America/New_York", 1);  // the C library's ':' form
  tz = adopt(CFTimeZoneCopyDefault());
  EXPECT_EQ(utf8(CFTimeZoneGetName(tz.get())), "America/New_York");
  setenv("TZ", "/usr/share/zoneinfo/Europe/Paris", 1);
  CFTimeZoneResetSystem();
  tz = adopt(CFTimeZoneCopyDefault());
  EXPECT_EQ(utf8(CFTimeZoneGetName(tz.get())), "Europe/Paris");

  // POSIX rules: central Europe spelled out.
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tz = adopt(CFTimeZoneCopyDefault());
  ASSERT_TRUE(tz);
  CFAbsoluteTime winter = CFGregorianDateGetAbsoluteTime(gdate(2021, 1, 15, 12), nullptr);
  CFAbsoluteTime summer = CFGregorianDateGetAbsoluteTime(gdate(2021, 7, 15, 12), nullptr);
  CFAbsoluteTime change = CFGregorianDateGetAbsoluteTime(gdate(2021, 3, 28, 1), nullptr);
  EXPECT_EQ(CFTimeZoneGetSecondsFromGMT(tz.get(), change - 1), 3600);
  EXPECT_EQ(CFTimeZoneGetSecondsFromGMT(tz.get(), change), 7200);
  CFAbsoluteTime autumn = CFGregorianDateGetAbsoluteTime(gdate(2021, 10, 31, 1), nullptr);
  EXPECT_EQ(CFTimeZoneGetSecondsFromGMT(tz.get(), autumn - 1), 7200);
  EXPECT_EQ(CFTimeZoneGetSecondsFromGMT(tz.get(), autumn), 3600);
  EXPECT_EQ(CFTimeZoneGetNextDaylightSavingTimeTransition(tz.get(), winter), change);
  EXPECT_EQ(CFTimeZoneGetNextDaylightSavingTimeTransition(tz.get(), change), autumn);
  EXPECT_EQ(utf8(adopt(CFTimeZoneCopyAbbreviation(tz.get(), summer)).get()), "CEST");
  setenv("TZ", "EST5", 1);
  tz = adopt(CFTimeZoneCopyDefault());
  EXPECT_EQ(CFTimeZoneGetSecondsFromGMT(tz.get(), summer), -5 * 3600);
  setenv("TZ", "<+0330>-3:30", 1);
  tz = adopt(CFTimeZoneCopyDefault());
  EXPECT_EQ(CFTimeZoneGetSecondsFromGMT(tz.get(), summer), 3 * 3600 + 1800);

  // Nonsense falls back to GMT rather than failing.
  for (const char* bad : {"no such zone!", "AAA-1BBB-122,M3.5.0,M10.5.0" /* DST of 122 h */, ""}) {
    setenv("TZ", bad, 1);
    tz = adopt(CFTimeZoneCopyDefault());
    ASSERT_TRUE(tz) << bad;
    EXPECT_EQ(CFTimeZoneGetSecondsFromGMT(tz.get(), summer), 0) << bad;
  }

  // An explicit default wins over TZ until it is cleared.
  CFRef<CFTimeZoneRef> kolkata = zone("Asia/Kolkata");
  CFTimeZoneSetDefault(kolkata.get());
  setenv("TZ", "Asia/Tokyo", 1);
  tz = adopt(CFTimeZoneCopyDefault());
  EXPECT_TRUE(CFEqual(tz.get(), kolkata.get()));
  sys = adopt(CFTimeZoneCopySystem());
  EXPECT_EQ(utf8(CFTimeZoneGetName(sys.get())), "Asia/Tokyo");
  CFTimeZoneSetDefault(nullptr);
  tz = adopt(CFTimeZoneCopyDefault());
  EXPECT_EQ(utf8(CFTimeZoneGetName(tz.get())), "Asia/Tokyo");
}

TEST(CFTimeZone, ConcurrentQueriesWhileTheDefaultChanges) {
  TZGuard guard;
  CFRef<CFTimeZoneRef> berlin = zone("Europe/Berlin");
  CFRef<CFTimeZoneRef> tokyo = zone("Asia/Tokyo");
  ASSERT_TRUE(berlin && tokyo);
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        CFAbsoluteTime at = 1e6 * i + t;
        if (CFTimeZoneGetSecondsFromGMT(tokyo.get(), at) != 9 * 3600) ++wrong;
        double berlinOffset = CFTimeZoneGetSecondsFromGMT(berlin.get(), at);
        if (berlinOffset != 3600 && berlinOffset != 7200) ++wrong;
        CFRef<CFTimeZoneRef> def = adopt(CFTimeZoneCopyDefault());
        CFGregorianDate g = CFAbsoluteTimeGetGregorianDate(at, def.get());
        if (!CFGregorianDateIsValid(g, kCFGregorianAllUnits)) ++wrong;
        if (t == 0) CFTimeZoneSetDefault(i % 2 ? berlin.get() : tokyo.get());
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

void be32(std::string& out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<char>(v >> s));
}

// A TZif v2 file: types AAA (+1h) and AAS (+2h, DST); DST from 0 to 1,000,000 s after 1970.
std::string syntheticTzif(const std::string& footer, int64_t lastTransition = 1000000) {
  auto header = [&](std::string& out, uint32_t times, uint32_t types, uint32_t chars) {
    out += "TZif2";
    out.append(15, '\0');
    for (uint32_t c : {0u, 0u, 0u, times, types, chars}) be32(out, c);
  };
  std::string f;
  header(f, 0, 1, 1);  // minimal version 1 block
  be32(f, 0);
  f += std::string("\0\0\0", 3);
  header(f, 2, 2, 8);
  for (int64_t t : {int64_t{0}, lastTransition}) {
    be32(f, static_cast<uint32_t>(static_cast<uint64_t>(t) >> 32));
    be32(f, static_cast<uint32_t>(t));
  }
  f += std::string("\1\0", 2);
  be32(f, 3600);
  f += std::string("\0\0", 2);
  be32(f, 7200);
  f += std::string("\1\4", 2);
  f += std::string("AAA\0AAS\0", 8);
  f += "\n" + footer + "\n";
  return f;
}

CFAbsoluteTime fromUnix(double t) { return t - kCFAbsoluteTimeIntervalSince1970; }

CFRef<CFDataRef> dataOf(const std::string& bytes, size_t length = std::string::npos) {
  return adopt(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()),
                            static_cast<CFIndex>(std::min(length, bytes.size()))));
}

CFRef<CFTimeZoneRef> zoneFromBytes(const std::string& bytes) {
  return adopt(CFTimeZoneCreate(nullptr, CFSTR("X"), dataOf(bytes).get()));
}

TEST(CFTimeZone, ZoneDataFromTZifBytes) {
  CFRef<CFDataRef> data = dataOf(syntheticTzif("AAA-1AAS,M3.5.0,M10.5.0/3"));
  CFRef<CFTimeZoneRef> tz = adopt(CFTimeZoneCreate(nullptr, CFSTR("Test/Zone"), data.get()));
  ASSERT_TRUE(tz);
  EXPECT_EQ(utf8(CFTimeZoneGetName(tz.get())), "Test/Zone");
  EXPECT_TRUE(CFEqual(CFTimeZoneGetData(tz.get()), data.get()));
  EXPECT_EQ(CFTimeZoneGetSecondsFromGMT(tz.get(), fromUnix(-1)), 3600);  // before the first transition: type 0
  EXPECT_FALSE(CFTimeZoneIsDaylightSavingTime(tz.get(), fromUnix(-1)));
  EXPECT_EQ(CFTimeZoneGetSecondsFromGMT(tz.get(), fromUnix(0)), 7200);
  EXPECT_TRUE(CFTimeZoneIsDaylightSavingTime(tz.get(), fromUnix(999999)));
  EXPECT_EQ(CFTimeZoneGetDaylightSavingTimeOffset(tz.get(), fromUnix(999999)), 3600);
  EXPECT_EQ(utf8(adopt(CFTimeZoneCopyAbbreviation(tz.get(), fromUnix(5))).get()), "AAS");
  EXPECT_EQ(utf8(adopt(CFTimeZoneCopyAbbreviation(tz.get(), fromUnix(1000000))).get()), "AAA");
  EXPECT_EQ(CFTimeZoneGetNextDaylightSavingTimeTransition(tz.get(), fromUnix(0)), fromUnix(1000000));
  // After the last transition the footer's rules apply, with its abbreviations.
  CFAbsoluteTime july = CFGregorianDateGetAbsoluteTime(gdate(2030, 7, 1), nullptr);
  EXPECT_EQ(CFTimeZoneGetSecondsFromGMT(tz.get(), july), 7200);
  EXPECT_EQ(utf8(adopt(CFTimeZoneCopyAbbreviation(tz.get(), july)).get()), "AAS");
  EXPECT_EQ(CFTimeZoneGetNextDaylightSavingTimeTransition(tz.get(), july),
            CFGregorianDateGetAbsoluteTime(gdate(2030, 10, 27, 1), nullptr));

  // A file without a usable footer keeps the last type.
  tz = zoneFromBytes(syntheticTzif(""));
  ASSERT_TRUE(tz);
  EXPECT_EQ(CFTimeZoneGetSecondsFromGMT(tz.get(), july), 3600);
  EXPECT_EQ(CFTimeZoneGetNextDaylightSavingTimeTransition(tz.get(), july), 0);

  // Transitions far in the future (seconds no longer whole as doubles) end the search cleanly.
  tz = zoneFromBytes(syntheticTzif("AAA-1AAS,M3.5.0,M10.5.0/3", int64_t{1} << 60));
  ASSERT_TRUE(tz);
  EXPECT_EQ(CFTimeZoneGetNextDaylightSavingTimeTransition(tz.get(), 2e18), 0);
  EXPECT_EQ(CFTimeZoneGetNextDaylightSavingTimeTransition(tz.get(), 1e6), fromUnix(std::ldexp(1.0, 60)));

  // Malformed data never parses: every truncation, bad magic, bad type indices.
  std::string good = syntheticTzif("AAA-1");
  for (size_t cut = 0; cut < good.size() - 8; cut += 3) {
    EXPECT_FALSE(adopt(CFTimeZoneCreate(nullptr, CFSTR("Cut"), dataOf(good, cut).get()))) << cut;
  }
  std::string badMagic = good, badType = good;
  badMagic[0] = 'X';
  badType[badType.find(std::string("\1\0", 2), 60)] = '\7';  // a transition to type 7 of 2
  for (const std::string& bad : {badMagic, badType}) EXPECT_FALSE(zoneFromBytes(bad));
}

struct TzifV1Type {
  int32_t offset;
  bool isDST;
  uint8_t abbreviation;  // index into the abbreviation bytes
};

// A version 1 TZif file (no footer): 32-bit transitions, their type indices, the types, abbreviations.
std::string tzifV1(const std::vector<int32_t>& times, const std::vector<uint8_t>& typeAt,
                   const std::vector<TzifV1Type>& types, const std::string& abbreviations) {
  std::string f = "TZif";
  f.push_back('\0');
  f.append(15, '\0');
  for (size_t c : {size_t{0}, size_t{0}, size_t{0}, times.size(), types.size(), abbreviations.size()}) {
    be32(f, static_cast<uint32_t>(c));
  }
  for (int32_t t : times) be32(f, static_cast<uint32_t>(t));
  for (uint8_t t : typeAt) f.push_back(static_cast<char>(t));
  for (const TzifV1Type& t : types) {
    be32(f, static_cast<uint32_t>(t.offset));
    f.push_back(static_cast<char>(t.isDST));
    f.push_back(static_cast<char>(t.abbreviation));
  }
  return f + abbreviations;
}

TEST(CFTimeZone, DaylightAmountFromNearestStandardType) {
  // TZif flags DST without its amount, so it is the offset above the nearest standard type, the
  // earlier one first; with none, or none different, it is one hour.
  std::vector<TzifV1Type> types = {
      {3600, false, 0},  // 0 STA
      {9000, true, 4},   // 1 DSB
      {5400, true, 8},   // 2 DSC
      {0, false, 12},    // 3 STD
      {0, true, 16},     // 4 DSE: DST at the standard offset
  };
  std::vector<int32_t> times = {1000, 2000, 3000, 4000, 5000, 6000, 7000};
  std::vector<uint8_t> typeAt = {2, 1, 0, 1, 3, 4, 2};
  CFRef<CFTimeZoneRef> tz = zoneFromBytes(tzifV1(times, typeAt, types, std::string("STA\0DSB\0DSC\0STD\0DSE\0", 20)));
  ASSERT_TRUE(tz);
  struct Expect {
    double at;
    int total;
    int dst;
  };
  for (Expect e : std::vector<Expect>{
           {500, 3600, 0},      // before the first transition: type 0, standard
           {1500, 5400, 1800},  // no standard before: STA after
           {2500, 9000, 5400},  // likewise, skipping the DST entry before STA
           {4500, 9000, 5400},  // STA before wins over STD after
           {5500, 0, 0},
           {6500, 0, 3600},     // same offset as STD: one hour
           {7500, 5400, 5400},  // STD before, past the DST entry in between
       }) {
    EXPECT_EQ(CFTimeZoneGetSecondsFromGMT(tz.get(), fromUnix(e.at)), e.total) << e.at;
    EXPECT_EQ(CFTimeZoneGetDaylightSavingTimeOffset(tz.get(), fromUnix(e.at)), e.dst) << e.at;
    EXPECT_EQ(CFTimeZoneIsDaylightSavingTime(tz.get(), fromUnix(e.at)), e.dst != 0) << e.at;
  }
  EXPECT_EQ(utf8(adopt(CFTimeZoneCopyAbbreviation(tz.get(), fromUnix(6500))).get()), "DSE");

  // A long file of nothing but DST transitions (500 KB, within the size cap) parses in linear time.
  const int32_t n = 100000;
  times.resize(n);
  for (int32_t i = 0; i < n; ++i) times[i] = i * 1000;
  typeAt.assign(n, 0);
  tz = zoneFromBytes(tzifV1(times, typeAt, {{3600, true, 0}}, std::string("ABC\0", 4)));
  ASSERT_TRUE(tz);
  for (double at : {-5e5, 5e7 + 500.0, 2e8}) {
    EXPECT_EQ(CFTimeZoneGetSecondsFromGMT(tz.get(), fromUnix(at)), 3600) << at;
    EXPECT_TRUE(CFTimeZoneIsDaylightSavingTime(tz.get(), fromUnix(at))) << at;
    EXPECT_EQ(CFTimeZoneGetDaylightSavingTimeOffset(tz.get(), fromUnix(at)), 3600) << at;
  }
  EXPECT_EQ(utf8(adopt(CFTimeZoneCopyAbbreviation(tz.get(), fromUnix(5e7))).get()), "ABC");
}

TEST(CFTimeZone, SystemDatabaseIsCurrent) {
  // Mexico abolished DST in late 2022 and Ciudad Juarez became a zone of its own then; both need the
  // system's tzdata rather than an older copy of the database.
  if (access("/usr/share/zoneinfo/America/Ciudad_Juarez", R_OK) != 0) GTEST_SKIP() << "tzdata older than 2022g";
  CFRef<CFTimeZoneRef> mexico = zone("America/Mexico_City");
  ASSERT_TRUE(mexico);
  EXPECT_EQ(CFTimeZoneGetSecondsFromGMT(mexico.get(), CFGregorianDateGetAbsoluteTime(gdate(2023, 7, 1), nullptr)),
            -6 * 3600);
  EXPECT_TRUE(zone("America/Ciudad_Juarez"));

  // Footer rules with times outside 0-24 h: Israel starts DST on the Friday before the last Sunday
  // of March at 02:00 ("M3.4.4/26"), Greenland at -01:00 on the last Sunday ("M3.5.0/-1").
  CFRef<CFTimeZoneRef> jerusalem = zone("Asia/Jerusalem");
  ASSERT_TRUE(jerusalem);
  CFAbsoluteTime il = CFGregorianDateGetAbsoluteTime(gdate(2045, 3, 24), nullptr);
  EXPECT_EQ(CFTimeZoneGetSecondsFromGMT(jerusalem.get(), il - 1), 7200);
  EXPECT_EQ(CFTimeZoneGetSecondsFromGMT(jerusalem.get(), il), 10800);
  CFRef<CFTimeZoneRef> nuuk = zone("America/Nuuk");
  ASSERT_TRUE(nuuk);
  CFAbsoluteTime gl = CFGregorianDateGetAbsoluteTime(gdate(2045, 3, 26, 1), nullptr);
  EXPECT_EQ(CFTimeZoneGetSecondsFromGMT(nuuk.get(), gl - 1), -7200);
  EXPECT_EQ(CFTimeZoneGetSecondsFromGMT(nuuk.get(), gl), -3600);
  EXPECT_EQ(CFTimeZoneGetNextDaylightSavingTimeTransition(nuuk.get(), gl - 86400 * 40), gl);
  EXPECT_EQ(CFTimeZoneGetNextDaylightSavingTimeTransition(jerusalem.get(), il - 1), il);
  CFAbsoluteTime back = CFGregorianDateGetAbsoluteTime(gdate(2045, 10, 29, 1), nullptr);
  EXPECT_EQ(CFTimeZoneGetNextDaylightSavingTimeTransition(nuuk.get(), gl), back);

  CFAbsoluteTime summer = CFGregorianDateGetAbsoluteTime(gdate(2050, 7, 1), nullptr);
  CFRef<CFTimeZoneRef> dubai = zone("Asia/Dubai");
  EXPECT_EQ(utf8(adopt(CFTimeZoneCopyAbbreviation(dubai.get(), summer)).get()), "GMT+4");  // "+04" in the file

  // Names never leave the zone directory.
  for (const char* escape : {"../../../etc/passwd", "/etc/localtime"}) EXPECT_FALSE(zone(escape)) << escape;
}

}  // namespace
