// CFDate, Gregorian calendar arithmetic and CFTimeZone (database, fixed offsets, TZ, TZif bytes).
#include <unistd.h>

#include "CFTestSupport.h"

using namespace qxtest;

namespace {

CFGregorianDate gdate(SInt32 y, int mo, int d, int h = 0, int mi = 0, double s = 0) {
  return CFGregorianDate{
      y, static_cast<SInt8>(mo), static_cast<SInt8>(d), static_cast<SInt8>(h), static_cast<SInt8>(mi), s};
}
// The absolute time of a date in GMT.
CFAbsoluteTime at(SInt32 y, int mo, int d, int h = 0) {
  return CFGregorianDateGetAbsoluteTime(gdate(y, mo, d, h), nullptr);
}
CFAbsoluteTime fromUnix(double t) { return t - kCFAbsoluteTimeIntervalSince1970; }
auto ymdh(const CFGregorianDate& g) { return std::make_tuple(g.year, int{g.month}, int{g.day}, int{g.hour}); }

CFRef<CFTimeZoneRef> zone(const char* name) { return adopt(CFTimeZoneCreateWithName(nullptr, S(name).get(), false)); }
std::string nameOf(const CFRef<CFTimeZoneRef>& tz) { return utf8(CFTimeZoneGetName(tz.get())); }
std::string abbrev(const CFRef<CFTimeZoneRef>& tz, CFAbsoluteTime t) {
  return take(CFTimeZoneCopyAbbreviation(tz.get(), t));
}
double offset(const CFRef<CFTimeZoneRef>& tz, CFAbsoluteTime t) { return CFTimeZoneGetSecondsFromGMT(tz.get(), t); }
CFAbsoluteTime nextChange(const CFRef<CFTimeZoneRef>& tz, CFAbsoluteTime t) {
  return CFTimeZoneGetNextDaylightSavingTimeTransition(tz.get(), t);
}

// Offset, DST flag, DST amount and abbreviation of a zone at t.
std::tuple<double, bool, double, std::string> state(const CFRef<CFTimeZoneRef>& tz, CFAbsoluteTime t) {
  return {offset(tz, t), CFTimeZoneIsDaylightSavingTime(tz.get(), t),
          CFTimeZoneGetDaylightSavingTimeOffset(tz.get(), t), abbrev(tz, t)};
}

// Restores TZ and the cached zones after a test changes them.
struct TZGuard : EnvGuard {
  TZGuard() : EnvGuard({"TZ"}) {}
  ~TZGuard() {
    CFTimeZoneSetDefault(nullptr);
    CFTimeZoneResetSystem();
  }
};

TEST(CFDate, EpochAndDescriptions) {
  EXPECT_NEAR(CFAbsoluteTimeGetCurrent() + kCFAbsoluteTimeIntervalSince1970, double(std::time(nullptr)), 2.0);
  // Descriptions floor, not truncate.
  for (auto [t, text] : {std::pair{0.0, "2001-01-01 00:00:00 +0000"}, std::pair{-0.5, "2000-12-31 23:59:59 +0000"},
                         std::pair{86400.0 * 366 + 3723.25, "2002-01-02 01:02:03 +0000"}}) {
    EXPECT_EQ(formatted(adopt(CFDateCreate(nullptr, t)).get()), text);
  }
  auto zero = adopt(CFDateCreate(nullptr, 0)), zero2 = adopt(CFDateCreate(nullptr, -0.0));
  auto later = adopt(CFDateCreate(nullptr, 86400.0 * 366 + 3723.25));
  EXPECT_EQ(CFDateCompare(zero.get(), later.get(), nullptr), kCFCompareLessThan);
  EXPECT_EQ(CFDateGetTimeIntervalSinceDate(later.get(), zero.get()), 86400.0 * 366 + 3723.25);
  EXPECT_SAME(zero.get(), zero2.get());
  EXPECT_EQ(CFDateCompare(zero.get(), zero2.get(), nullptr), kCFCompareEqualTo);
  EXPECT_FALSE(CFEqual(zero.get(), adopt(CFDateCreate(nullptr, -0.5)).get()));
}

TEST(CFDate, GregorianRoundTripsOverWideRanges) {
  // Anchors for the walk below, and a year before 1 AD (proleptic, astronomical year 0).
  for (auto [y, m, d, t] : {std::tuple{2001, 1, 1, 0.0}, std::tuple{1970, 1, 1, -978307200.0},
                            std::tuple{0, 3, 1, -63140342400.0}}) {  // 306 days before 0001-01-01
    EXPECT_EQ(at(y, m, d), t) << y;
    CFGregorianDate g = CFAbsoluteTimeGetGregorianDate(t, nullptr);
    EXPECT_EQ(std::tuple_cat(ymdh(g), std::make_tuple(g.second)), std::make_tuple(y, m, d, 0, 0.0));
  }

  // Every 13th day over 1,200 years around the epoch (a stride that meets every weekday and day of
  // the month), and sparse samples far beyond.
  for (double day = -220000; day < 220000; day += 13) {
    double t = 86400.0 * day + 45296.5;  // 12:34:56.5
    CFGregorianDate g = CFAbsoluteTimeGetGregorianDate(t, nullptr);
    ASSERT_TRUE(CFGregorianDateIsValid(g, kCFGregorianAllUnits)) << day;
    ASSERT_EQ(std::make_tuple(int{g.hour}, int{g.minute}, g.second), std::make_tuple(12, 34, 56.5));
    ASSERT_EQ(CFGregorianDateGetAbsoluteTime(g, nullptr), t) << day;
  }
  for (double t : {-6.0e13, -1.0e12, 1.0e12, 6.0e13}) {
    EXPECT_EQ(CFGregorianDateGetAbsoluteTime(CFAbsoluteTimeGetGregorianDate(t, nullptr), nullptr), t);
  }
  // Times no calendar year can hold give an all-zero date instead of garbage.
  for (double t : {double(NAN), double(INFINITY), -double(INFINITY), 1e300}) {
    EXPECT_EQ(CFAbsoluteTimeGetGregorianDate(t, nullptr).year, 0);
  }
  // Out-of-range fields carry over.
  EXPECT_EQ(at(2000, 13, 1), at(2001, 1, 1));
  EXPECT_EQ(at(2001, 0, 1), at(2000, 12, 1));
}

TEST(CFDate, ValidityAndCalendarQueries) {
  using V = std::tuple<CFGregorianDate, CFOptionFlags, bool>;
  for (const auto& [g, units, valid] :
       {V{gdate(2000, 2, 29), kCFGregorianAllUnits, true}, V{gdate(1900, 2, 29), kCFGregorianAllUnits, false},
        V{gdate(2001, 2, 29), kCFGregorianAllUnits, false}, V{gdate(2001, 2, 29), kCFGregorianUnitsMonths, true},
        V{gdate(2001, 13, 1), kCFGregorianUnitsMonths, false}, V{gdate(2001, 4, 31), kCFGregorianUnitsDays, false},
        V{gdate(2001, 1, 1, 0, 0, 60), kCFGregorianUnitsSeconds, false},
        V{gdate(2001, 1, 1, 0, 0, NAN), kCFGregorianUnitsSeconds, false},
        V{gdate(2001, 1, 1, 23, 59, 59.999), kCFGregorianAllUnits, true}}) {
    EXPECT_EQ(CFGregorianDateIsValid(g, units), valid) << g.year << "-" << int{g.month} << "-" << int{g.day};
  }
  // {time, day of week, of year, week of year}: 2001-01-01 was a Monday, 1970-01-01 a Thursday.
  using D = std::tuple<CFAbsoluteTime, SInt32, SInt32, SInt32>;
  for (const auto& [t, dow, doy, woy] :
       {D{0, 1, 1, 1}, D{-1, 7, 366, 52}, D{-kCFAbsoluteTimeIntervalSince1970, 4, 1, 1}, D{at(1600, 3, 1), 3, 61, 9},
        D{at(2021, 1, 3), 7, 3, 53}, D{at(2021, 1, 4), 1, 4, 1}, D{at(2024, 12, 30), 1, 365, 1}}) {
    EXPECT_EQ(std::make_tuple(CFAbsoluteTimeGetDayOfWeek(t, nullptr), CFAbsoluteTimeGetDayOfYear(t, nullptr),
                              CFAbsoluteTimeGetWeekOfYear(t, nullptr)),
              std::make_tuple(dow, doy, woy))
        << t;
  }
  // A day of week in a zone follows the local date.
  EXPECT_EQ(CFAbsoluteTimeGetDayOfWeek(-3600, zone("Asia/Tokyo").get()), 1);  // 08:00 Monday in Tokyo
}

TEST(CFDate, AddingUnitsAndDifferences) {
  // Years and months keep the day where the month has it, else take the month's last day; days
  // are added after that.
  using M = std::tuple<CFGregorianDate, SInt32, SInt32, SInt32, CFGregorianDate>;
  for (const auto& [from, years, months, days, to] :
       {M{gdate(2001, 1, 31, 10), 0, 1, 0, gdate(2001, 2, 28, 10)}, M{gdate(2004, 1, 31), 0, 1, 0, gdate(2004, 2, 29)},
        M{gdate(2001, 1, 31), 0, 1, 1, gdate(2001, 3, 1)}, M{gdate(2001, 3, 31), 0, -1, 0, gdate(2001, 2, 28)},
        M{gdate(2000, 3, 31), 0, -1, 0, gdate(2000, 2, 29)}, M{gdate(2001, 1, 31), 0, -11, 0, gdate(2000, 2, 29)},
        M{gdate(2004, 2, 29), 1, 0, 0, gdate(2005, 2, 28)}, M{gdate(2001, 5, 31), 0, 25, 0, gdate(2003, 6, 30)},
        M{gdate(2001, 1, 31, 10), -1, -13, 0, gdate(1998, 12, 31, 10)}}) {
    CFGregorianUnits u{years, months, days, 0, 0, 0};
    CFGregorianDate g = CFAbsoluteTimeGetGregorianDate(
        CFAbsoluteTimeAddGregorianUnits(CFGregorianDateGetAbsoluteTime(from, nullptr), nullptr, u), nullptr);
    EXPECT_EQ(ymdh(g), ymdh(to)) << from.year << "-" << int{from.month} << "-" << int{from.day} << " + " << months;
  }
  CFGregorianUnits mar1 = CFAbsoluteTimeGetDifferenceAsGregorianUnits(at(2001, 3, 1), at(2001, 1, 31), nullptr,
                                                                      kCFGregorianUnitsMonths | kCFGregorianUnitsDays);
  EXPECT_EQ(std::make_pair(mar1.months, mar1.days), std::make_pair(1, 1));
  EXPECT_EQ(CFAbsoluteTimeAddGregorianUnits(0, nullptr, CFGregorianUnits{0, 0, 1, 25, 61, 1.5}),
            86400 + 25 * 3600 + 61 * 60 + 1.5);

  // Adding a day across a DST change keeps the wall-clock time; adding 24 hours does not.
  auto berlin = zone("Europe/Berlin");
  ASSERT_TRUE(berlin);
  CFAbsoluteTime sat = CFGregorianDateGetAbsoluteTime(gdate(2021, 3, 27, 12), berlin.get());
  CFAbsoluteTime sun = CFAbsoluteTimeAddGregorianUnits(sat, berlin.get(), CFGregorianUnits{0, 0, 1, 0, 0, 0});
  EXPECT_EQ(sun - sat, 23 * 3600);
  EXPECT_EQ(CFAbsoluteTimeGetGregorianDate(sun, berlin.get()).hour, 12);
  CFAbsoluteTime plus24 = CFAbsoluteTimeAddGregorianUnits(sat, berlin.get(), CFGregorianUnits{0, 0, 0, 24, 0, 0});
  EXPECT_EQ(CFAbsoluteTimeGetGregorianDate(plus24, berlin.get()).hour, 13);

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
  const CFOptionFlags dhs = kCFGregorianUnitsDays | kCFGregorianUnitsHours | kCFGregorianUnitsSeconds;
  for (CFAbsoluteTime base : {1e17, -1e17}) {
    CFGregorianUnits far = CFAbsoluteTimeGetDifferenceAsGregorianUnits(base + 1e6, base, nullptr, dhs);
    EXPECT_EQ(std::make_tuple(far.days, far.hours, far.seconds), std::make_tuple(0, 0, 0.0)) << base;
  }
  CFGregorianUnits near = CFAbsoluteTimeGetDifferenceAsGregorianUnits(5e16 + 1e6, 5e16, nullptr,
                                                                      kCFGregorianUnitsDays | kCFGregorianUnitsSeconds);
  EXPECT_EQ(std::make_pair(near.days, near.seconds), std::make_pair(11, 1e6 - 11 * 86400));
}

TEST(CFTimeZone, NamedZonesFixedOffsetsAndDefaults) {
  TZGuard guard;
  auto berlin = zone("Europe/Berlin"), ny = zone("America/New_York");
  ASSERT_TRUE(berlin && ny);
  EXPECT_EQ(nameOf(berlin), "Europe/Berlin");
  CFAbsoluteTime winter = at(2021, 1, 15, 12), summer = at(2021, 7, 15, 12);
  CFAbsoluteTime change = at(2021, 3, 28, 1), autumn = at(2021, 10, 31, 1);  // 01:00 GMT
  EXPECT_EQ(state(berlin, winter), std::make_tuple(3600, false, 0, "CET"));
  EXPECT_EQ(state(berlin, summer), std::make_tuple(7200, true, 3600, "CEST"));
  EXPECT_EQ(nextChange(berlin, winter), change);
  EXPECT_EQ(std::make_pair(offset(berlin, change - 1), offset(berlin, change)), std::make_pair(3600.0, 7200.0));
  CFGregorianDate local = CFAbsoluteTimeGetGregorianDate(summer, berlin.get());
  EXPECT_EQ(local.hour, 14);
  EXPECT_EQ(CFGregorianDateGetAbsoluteTime(local, berlin.get()), summer);
  EXPECT_EQ(offset(berlin, at(1960, 7, 1)), 3600);  // historic rules: no DST in 1960
  EXPECT_EQ(offset(ny, winter), -5 * 3600);
  EXPECT_EQ(abbrev(ny, summer), "EDT");
  for (const char* bad : {"Not/AZone", "", "GMT+25"}) EXPECT_FALSE(zone(bad)) << bad;
  EXPECT_SAME(berlin.get(), zone("Europe/Berlin").get());
  EXPECT_FALSE(CFEqual(berlin.get(), ny.get()));
  // Abbreviations only when asked for.
  EXPECT_EQ(nameOf(adopt(CFTimeZoneCreateWithName(nullptr, CFSTR("PST"), true))), "America/Los_Angeles");
  auto names = adopt(CFTimeZoneCopyKnownNames());
  ASSERT_TRUE(names);
  EXPECT_GT(CFArrayGetCount(names.get()), 300);
  EXPECT_TRUE(CFArrayContainsValue(names.get(), CFRangeMake(0, CFArrayGetCount(names.get())), CFSTR("Europe/Berlin")));

  // Fixed offsets; their names read back as the same zone.
  for (auto [seconds, name, abbreviation] :
       {std::tuple{0.0, "GMT", "GMT"}, std::tuple{3600.0, "GMT+0100", "GMT+1"},
        std::tuple{-19800.0, "GMT-0530", "GMT-5:30"}, std::tuple{18 * 3600.0, "GMT+1800", "GMT+18"}}) {
    auto tz = adopt(CFTimeZoneCreateWithTimeIntervalFromGMT(nullptr, seconds));
    ASSERT_TRUE(tz) << name;
    EXPECT_EQ(nameOf(tz), name);
    EXPECT_EQ(state(tz, 1e9), std::make_tuple(seconds, false, 0, abbreviation));
    EXPECT_TRUE(CFEqual(tz.get(), zone(name).get())) << name;
  }
  EXPECT_FALSE(adopt(CFTimeZoneCreateWithTimeIntervalFromGMT(nullptr, 19 * 3600)));
  EXPECT_FALSE(adopt(CFTimeZoneCreateWithTimeIntervalFromGMT(nullptr, NAN)));
  auto plus2 = zone("GMT+02:00");
  ASSERT_TRUE(plus2);
  CFGregorianDate g = CFAbsoluteTimeGetGregorianDate(0, plus2.get());
  EXPECT_EQ(std::make_pair(offset(plus2, 0), int{g.hour}), std::make_pair(7200.0, 2));
  EXPECT_EQ(CFGregorianDateGetAbsoluteTime(g, plus2.get()), 0);

  // The default follows TZ, in the C library's forms too.
  auto defaultAfter = [](const char* tz) {
    setenv("TZ", tz, 1);
    return adopt(CFTimeZoneCopyDefault());
  };
  EXPECT_EQ(nameOf(defaultAfter("Asia/Tokyo")), "Asia/Tokyo");
  EXPECT_EQ(nameOf(adopt(CFTimeZoneCopySystem())), "Asia/Tokyo");
  EXPECT_EQ(nameOf(defaultAfter(":America/New_York")), "America/New_York");
  setenv("TZ", "/usr/share/zoneinfo/Europe/Paris", 1);
  CFTimeZoneResetSystem();
  EXPECT_EQ(nameOf(adopt(CFTimeZoneCopyDefault())), "Europe/Paris");
  // POSIX rules: central Europe spelled out.
  auto tz = defaultAfter("CET-1CEST,M3.5.0,M10.5.0/3");
  ASSERT_TRUE(tz);
  EXPECT_EQ(std::make_pair(offset(tz, change - 1), offset(tz, change)), std::make_pair(3600.0, 7200.0));
  EXPECT_EQ(std::make_pair(offset(tz, autumn - 1), offset(tz, autumn)), std::make_pair(7200.0, 3600.0));
  EXPECT_EQ(std::make_pair(nextChange(tz, winter), nextChange(tz, change)), std::make_pair(change, autumn));
  EXPECT_EQ(abbrev(tz, summer), "CEST");
  EXPECT_EQ(offset(defaultAfter("EST5"), summer), -5 * 3600);
  EXPECT_EQ(offset(defaultAfter("<+0330>-3:30"), summer), 3 * 3600 + 1800);
  // Nonsense falls back to GMT rather than failing.
  for (const char* bad : {"no such zone!", "AAA-1BBB-122,M3.5.0,M10.5.0" /* DST of 122 h */, ""}) {
    tz = defaultAfter(bad);
    ASSERT_TRUE(tz) << bad;
    EXPECT_EQ(offset(tz, summer), 0) << bad;
  }
  // An explicit default wins over TZ until it is cleared.
  auto kolkata = zone("Asia/Kolkata");
  CFTimeZoneSetDefault(kolkata.get());
  EXPECT_TRUE(CFEqual(defaultAfter("Asia/Tokyo").get(), kolkata.get()));
  EXPECT_EQ(nameOf(adopt(CFTimeZoneCopySystem())), "Asia/Tokyo");
  CFTimeZoneSetDefault(nullptr);
  EXPECT_EQ(nameOf(adopt(CFTimeZoneCopyDefault())), "Asia/Tokyo");
}

TEST(CFTimeZone, ConcurrentQueriesWhileTheDefaultChanges) {
  TZGuard guard;
  auto berlin = zone("Europe/Berlin"), tokyo = zone("Asia/Tokyo");
  ASSERT_TRUE(berlin && tokyo);
  std::atomic<int> wrong{0};
  onThreads(4, [&](int t) {
    for (int i = 0; i < 2000; ++i) {
      CFAbsoluteTime when = 1e6 * i + t;
      if (offset(tokyo, when) != 9 * 3600) ++wrong;
      if (double o = offset(berlin, when); o != 3600 && o != 7200) ++wrong;
      CFGregorianDate g = CFAbsoluteTimeGetGregorianDate(when, adopt(CFTimeZoneCopyDefault()).get());
      if (!CFGregorianDateIsValid(g, kCFGregorianAllUnits)) ++wrong;
      if (t == 0) CFTimeZoneSetDefault(i % 2 ? berlin.get() : tokyo.get());
    }
  });
  EXPECT_EQ(wrong.load(), 0);
}

void be32(std::string& out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<char>(v >> s));
}

struct TzifType {
  int32_t offset;
  bool isDST;
  uint8_t abbreviation;  // index into the abbreviation bytes
};

// A TZif file: transitions, their type indices, the types and abbreviations. Version '2' puts an
// empty version 1 block first, then 64-bit times and the footer.
std::string tzif(char version, const std::vector<int64_t>& times, const std::vector<uint8_t>& typeAt,
                 const std::vector<TzifType>& types, const std::string& abbreviations, const std::string& footer = "") {
  std::string f;
  auto header = [&](size_t n, size_t t, size_t c) {
    f += std::string("TZif") + version + std::string(15, '\0');
    for (size_t x : {size_t{0}, size_t{0}, size_t{0}, n, t, c}) be32(f, static_cast<uint32_t>(x));
  };
  if (version == '2') header(0, 1, 1), f += std::string(7, '\0');
  header(times.size(), types.size(), abbreviations.size());
  for (int64_t t : times) {
    if (version == '2') be32(f, static_cast<uint32_t>(static_cast<uint64_t>(t) >> 32));
    be32(f, static_cast<uint32_t>(t));
  }
  for (uint8_t t : typeAt) f.push_back(static_cast<char>(t));
  for (const TzifType& t : types) {
    be32(f, static_cast<uint32_t>(t.offset));
    f += {static_cast<char>(t.isDST), static_cast<char>(t.abbreviation)};
  }
  return f + abbreviations + (version == '2' ? "\n" + footer + "\n" : "");
}

// Types AAA (+1h) and AAS (+2h, DST); DST from 0 to 1,000,000 s after 1970.
std::string syntheticTzif(const std::string& footer, int64_t lastTransition = 1000000) {
  return tzif('2', {0, lastTransition}, {1, 0}, {{3600, false, 0}, {7200, true, 4}}, std::string("AAA\0AAS\0", 8),
              footer);
}

CFRef<CFTimeZoneRef> zoneFromBytes(const std::string& bytes) {
  return adopt(CFTimeZoneCreate(nullptr, CFSTR("X"), blob(bytes).get()));
}

TEST(CFTimeZone, ZoneDataFromTZifBytes) {
  auto data = blob(syntheticTzif("AAA-1AAS,M3.5.0,M10.5.0/3"));
  auto tz = adopt(CFTimeZoneCreate(nullptr, CFSTR("Test/Zone"), data.get()));
  ASSERT_TRUE(tz);
  EXPECT_EQ(nameOf(tz), "Test/Zone");
  EXPECT_TRUE(CFEqual(CFTimeZoneGetData(tz.get()), data.get()));
  EXPECT_EQ(state(tz, fromUnix(-1)), std::make_tuple(3600, false, 0, "AAA"));  // before the first transition: type 0
  EXPECT_EQ(state(tz, fromUnix(0)), std::make_tuple(7200, true, 3600, "AAS"));
  EXPECT_EQ(state(tz, fromUnix(999999)), std::make_tuple(7200, true, 3600, "AAS"));
  EXPECT_EQ(state(tz, fromUnix(1000000)), std::make_tuple(3600, false, 0, "AAA"));
  EXPECT_EQ(nextChange(tz, fromUnix(0)), fromUnix(1000000));
  // After the last transition the footer's rules apply, with its abbreviations.
  CFAbsoluteTime july = at(2030, 7, 1);
  EXPECT_EQ(state(tz, july), std::make_tuple(7200, true, 3600, "AAS"));
  EXPECT_EQ(nextChange(tz, july), at(2030, 10, 27, 1));

  // A file without a usable footer keeps the last type.
  tz = zoneFromBytes(syntheticTzif(""));
  ASSERT_TRUE(tz);
  EXPECT_EQ(offset(tz, july), 3600);
  EXPECT_EQ(nextChange(tz, july), 0);

  // Transitions far in the future (seconds no longer whole as doubles) end the search cleanly.
  tz = zoneFromBytes(syntheticTzif("AAA-1AAS,M3.5.0,M10.5.0/3", int64_t{1} << 60));
  ASSERT_TRUE(tz);
  EXPECT_EQ(nextChange(tz, 2e18), 0);
  EXPECT_EQ(nextChange(tz, 1e6), fromUnix(std::ldexp(1.0, 60)));

  // Malformed data never parses: every truncation, bad magic, bad type indices.
  std::string good = syntheticTzif("AAA-1");
  for (size_t cut = 0; cut < good.size() - 8; cut += 3) EXPECT_FALSE(zoneFromBytes(good.substr(0, cut))) << cut;
  std::string badMagic = good, badType = good;
  badMagic[0] = 'X';
  badType[badType.find(std::string("\1\0", 2), 60)] = '\7';  // a transition to type 7 of 2
  for (const std::string& bad : {badMagic, badType}) EXPECT_FALSE(zoneFromBytes(bad));
}

TEST(CFTimeZone, DaylightAmountFromNearestStandardType) {
  // TZif flags DST without its amount, so it is the offset above the nearest standard type, the
  // earlier one first; with none, or none different, it is one hour.
  std::vector<TzifType> types = {{3600, false, 0}, {9000, true, 4}, {5400, true, 8}, {0, false, 12}, {0, true, 16}};
  std::vector<int64_t> times = {1000, 2000, 3000, 4000, 5000, 6000, 7000};
  std::vector<uint8_t> typeAt = {2, 1, 0, 1, 3, 4, 2};
  auto tz = zoneFromBytes(tzif('\0', times, typeAt, types, std::string("STA\0DSB\0DSC\0STD\0DSE\0", 20)));
  ASSERT_TRUE(tz);
  // {time, offset, DST amount, abbreviation}: before the first transition type 0, standard; no
  // standard before: STA after, skipping a DST entry; STA before wins over STD after; DSE at STD's
  // offset: one hour; STD before, past the DST entry in between.
  using E = std::tuple<double, int, int, const char*>;
  for (const auto& [t, total, dst, name] :
       {E{500, 3600, 0, "STA"}, E{1500, 5400, 1800, "DSC"}, E{2500, 9000, 5400, "DSB"}, E{4500, 9000, 5400, "DSB"},
        E{5500, 0, 0, "STD"}, E{6500, 0, 3600, "DSE"}, E{7500, 5400, 5400, "DSC"}}) {
    EXPECT_EQ(state(tz, fromUnix(t)), std::make_tuple(total, dst != 0, dst, name)) << t;
  }

  // A long file of nothing but DST transitions (500 KB, within the size cap) parses in linear time.
  const int32_t n = 100000;
  times.resize(n);
  for (int32_t i = 0; i < n; ++i) times[i] = i * 1000;
  typeAt.assign(n, 0);
  tz = zoneFromBytes(tzif('\0', times, typeAt, {{3600, true, 0}}, std::string("ABC\0", 4)));
  ASSERT_TRUE(tz);
  for (double t : {-5e5, 5e7, 5e7 + 500.0, 2e8})
    EXPECT_EQ(state(tz, fromUnix(t)), std::make_tuple(3600, true, 3600, "ABC"));
}

TEST(CFTimeZone, SystemDatabaseIsCurrent) {
  // Mexico abolished DST in late 2022 and Ciudad Juarez became a zone of its own then; both need the
  // system's tzdata rather than an older copy of the database.
  if (access("/usr/share/zoneinfo/America/Ciudad_Juarez", R_OK) != 0) GTEST_SKIP() << "tzdata older than 2022g";
  EXPECT_EQ(offset(zone("America/Mexico_City"), at(2023, 7, 1)), -6 * 3600);
  EXPECT_TRUE(zone("America/Ciudad_Juarez"));

  // Footer rules with times outside 0-24 h: Israel starts DST on the Friday before the last Sunday
  // of March at 02:00 ("M3.4.4/26"), Greenland at -01:00 on the last Sunday ("M3.5.0/-1").
  auto jerusalem = zone("Asia/Jerusalem"), nuuk = zone("America/Nuuk");
  ASSERT_TRUE(jerusalem && nuuk);
  CFAbsoluteTime il = at(2045, 3, 24), gl = at(2045, 3, 26, 1);
  EXPECT_EQ(std::make_pair(offset(jerusalem, il - 1), offset(jerusalem, il)), std::make_pair(7200.0, 10800.0));
  EXPECT_EQ(std::make_pair(offset(nuuk, gl - 1), offset(nuuk, gl)), std::make_pair(-7200.0, -3600.0));
  EXPECT_EQ(nextChange(nuuk, gl - 86400 * 40), gl);
  EXPECT_EQ(nextChange(jerusalem, il - 1), il);
  EXPECT_EQ(nextChange(nuuk, gl), at(2045, 10, 29, 1));
  EXPECT_EQ(abbrev(zone("Asia/Dubai"), at(2050, 7, 1)), "GMT+4");  // "+04" in the file

  // Names never leave the zone directory.
  for (const char* escape : {"../../../etc/passwd", "/etc/localtime"}) EXPECT_FALSE(zone(escape)) << escape;
}

}  // namespace
