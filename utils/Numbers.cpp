// Photographic numbers (shutter speeds, rationals, GPS coordinates), dates, channel scaling, padding and the
// stopwatch.
#include <QXCore/QXUtilsMisc.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

namespace {

struct ExposureEntry {
  int32_t numerator;
  int32_t denominator;
  float value;
};

constexpr ExposureEntry entry(int32_t numerator, int32_t denominator) {
  return {numerator, denominator, static_cast<float>(numerator) / static_cast<float>(denominator)};
}

// Built and sorted at compile time, so concurrent first uses never race over it. 2000/1 is the end mark: a
// time that reaches it has no entry.
constexpr auto kExposureTimes = [] {
  std::array<ExposureEntry, 67> table = {
      entry(30, 1),   entry(25, 1),   entry(20, 1),   entry(15, 1),   entry(13, 1),   entry(10, 1),   entry(8, 1),
      entry(6, 1),    entry(5, 1),    entry(4, 1),    entry(32, 10),  entry(3, 1),    entry(25, 10),  entry(2, 1),
      entry(16, 10),  entry(13, 10),  entry(1, 1),    entry(10, 13),  entry(10, 16),  entry(1, 2),    entry(10, 25),
      entry(10, 30),  entry(1, 4),    entry(1, 5),    entry(1, 6),    entry(1, 8),    entry(1, 10),   entry(1, 13),
      entry(1, 15),   entry(1, 20),   entry(1, 25),   entry(1, 30),   entry(1, 40),   entry(1, 45),   entry(1, 50),
      entry(1, 60),   entry(1, 80),   entry(1, 90),   entry(1, 100),  entry(1, 125),  entry(1, 160),  entry(1, 180),
      entry(1, 200),  entry(1, 250),  entry(1, 320),  entry(1, 350),  entry(1, 400),  entry(1, 500),  entry(1, 640),
      entry(1, 750),  entry(1, 800),  entry(1, 1000), entry(1, 1250), entry(1, 1500), entry(1, 1600), entry(1, 2000),
      entry(1, 2500), entry(1, 3000), entry(1, 3200), entry(1, 4000), entry(1, 5000), entry(1, 6000), entry(1, 6400),
      entry(1, 8000), entry(15, 10),  entry(10, 15),  entry(2000, 1)};
  std::sort(table.begin(), table.end(),
            [](const ExposureEntry& a, const ExposureEntry& b) { return a.value < b.value; });
  return table;
}();

static_assert(kExposureTimes.front().denominator == 8000 && kExposureTimes.back().numerator == 2000);

// The entry for a time, or null when the time is below the shortest speed, reaches the end mark, or is NaN.
const ExposureEntry* exposureEntry(float seconds) {
  if (!(seconds >= kExposureTimes.front().value) || !(seconds < kExposureTimes.back().value)) return nullptr;
  auto greater = std::upper_bound(kExposureTimes.begin(), kExposureTimes.end(), seconds,
                                  [](float v, const ExposureEntry& e) { return v < e.value; });
  return &*(greater - 1);
}

// Truncates toward zero; NaN gives 0 and values beyond the 32-bit range give its extreme of the same sign.
int32_t saturatingInt32(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483648.0) return std::numeric_limits<int32_t>::max();
  if (v <= -2147483649.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

constexpr const char* kDayNames[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

QXRational QXUtilsGetRationalForExposureTime(float seconds) {
  const ExposureEntry* e = exposureEntry(seconds);
  return e ? QXRational{e->numerator, e->denominator} : QXRational{0, 0};
}

CFStringRef QXUtilsCreateExposureTimeDisplayString(float seconds) {
  const ExposureEntry* e = exposureEntry(seconds);
  return e ? CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%f"), static_cast<double>(e->value)) : nullptr;
}

QXRational QXUtilsFloatToRational(float value) {
  constexpr float kScaleLimit = 268435456.0f;  // 2^28
  float a = std::fabs(value);
  int32_t den = 1;
  if (a > 0 && a < kScaleLimit) {
    do {
      if (den >= (1 << 28)) break;
      a *= 8;
      den *= 8;
    } while (a < kScaleLimit);
  }
  const double rounded = (static_cast<double>(a) + 0.5) * (value < 0 ? -1.0 : 1.0);
  const int32_t num = saturatingInt32(rounded);
  if (num % den == 0) return {num / den, 1};
  return {num, den};
}

float QXUtilsRationalToFloat(QXRational rational) {
  if (rational.denominator == 0) return 0.0f;
  return static_cast<float>(static_cast<uint32_t>(rational.numerator)) / static_cast<float>(rational.denominator);
}

QXGPSCoordinate QXUtilsCreateQXGPSCoordinateFromDegrees(double degrees) {
  const double whole = std::trunc(degrees);
  const double minutes = (degrees - whole) * 60.0;
  const double wholeMinutes = std::trunc(minutes);
  const double seconds = (minutes - wholeMinutes) * 60.0;
  return {{saturatingInt32(whole), 1}, {saturatingInt32(wholeMinutes), 1}, {saturatingInt32(seconds), 1}};
}

CFStringRef QXUtilsCreateRFC822Date(CFDateRef date) {
  const CFAbsoluteTime at = date ? CFDateGetAbsoluteTime(date) : CFAbsoluteTimeGetCurrent();
  const SInt32 weekday = CFAbsoluteTimeGetDayOfWeek(at, nullptr);
  if (weekday < 1 || weekday > 7) return nullptr;  // NaN, infinite, or beyond any year
  const CFGregorianDate g = CFAbsoluteTimeGetGregorianDate(at, nullptr);
  return CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%s, %d %s %04d %02d:%02d:%02d GMT"), kDayNames[weekday - 1],
                                  g.day, kMonthNames[g.month - 1], static_cast<int>(g.year), g.hour, g.minute,
                                  static_cast<int>(g.second));
}

CFDateRef QXUtilsCreateDateFromUnixTime(int64_t unixSeconds) {
  return CFDateCreate(nullptr, static_cast<double>(unixSeconds) - kCFAbsoluteTimeIntervalSince1970);
}

uint32_t QXUtilsConvertChannel8To16(uint32_t value) { return (std::min(value, 255u) * 32896u + 128u) >> 8; }

uint32_t QXUtilsConvertChannel16To8(uint32_t value) { return std::min((std::min(value, 32768u) * 65535u) >> 23, 255u); }

uint32_t QXUtilsConvertChannelFFFFto8000(uint32_t value) { return ((std::min(value, 65535u) + 1u) << 15) >> 16; }

uint32_t QXUtilsConvertChannel8000toFFFF(uint32_t value) {
  return std::min((std::min(value, 32768u) * 65535u) >> 15, 65535u);
}

int32_t QXUtilsGetPadCount(int32_t value, int32_t alignment) {
  if (alignment <= 0) return 0;
  // The remainder taken toward minus infinity, so negative values pad up to the next multiple too.
  int32_t remainder = value % alignment;
  if (remainder < 0) remainder += alignment;
  return remainder == 0 ? 0 : alignment - remainder;
}

namespace {

int64_t monotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

void QXStopwatch::Start() {
  mElapsed = 0;
  mStart = monotonicNanoseconds();
}

void QXStopwatch::Stop() { mElapsed = static_cast<double>(monotonicNanoseconds() - mStart) / 1000.0; }
