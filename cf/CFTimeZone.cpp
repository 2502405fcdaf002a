// Time zones from the system's time-zone database.
//
// Named zones come from the TZif files under /usr/share/zoneinfo ($TZDIR), which the tzdata package
// keeps current; ICU's built-in copy of the database is frozen at ICU's release and serves only as a
// fallback for names without a file, and for display names. A TZif file's transitions cover the
// past; its footer, a POSIX rule string such as "CET-1CEST,M3.5.0,M10.5.0/3", covers the future and
// becomes an ICU SimpleTimeZone, as does a rule string given in TZ. All zone data is immutable after
// creation, so zones are safe to query from any thread (the C library's localtime only knows the
// process-wide TZ and is not).
#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFData.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFLocale.h>
#include <CoreFoundation/CFTimeZone.h>

#include "CFRef.h"
#include "CFRuntime.h"
#include "CFStringInternal.h"

#include <sys/stat.h>
#include <unicode/basictz.h>
#include <unicode/locid.h>
#include <unicode/simpletz.h>
#include <unicode/strenum.h>
#include <unicode/timezone.h>
#include <unicode/tztrans.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

using qxcf::adopt;
using qxcf::CFRef;

namespace {

constexpr double kSecondsTo2001 = 978307200.0;
constexpr size_t kMaxZoneFile = 1 << 20;

double toICU(CFAbsoluteTime at) { return (at + kSecondsTo2001) * 1000.0; }

CFStringRef fromUnicode(const icu::UnicodeString& u) {
  return qxcf::createStringUTF16(nullptr, reinterpret_cast<const UniChar*>(u.getBuffer()), u.length());
}

std::string utf8(const icu::UnicodeString& u) {
  std::string out;
  u.toUTF8String(out);
  return out;
}

int64_t floorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// "GMT", "GMT+1", "GMT-5:30".
std::string offsetAbbreviation(int32_t seconds) {
  if (seconds == 0) return "GMT";
  int32_t a = std::abs(seconds);
  char buf[32];
  if (a % 3600 == 0) {
    std::snprintf(buf, sizeof buf, "GMT%c%d", seconds < 0 ? '-' : '+', a / 3600);
  } else {
    std::snprintf(buf, sizeof buf, "GMT%c%d:%02d", seconds < 0 ? '-' : '+', a / 3600, a % 3600 / 60);
  }
  return buf;
}

// Database abbreviations that are names ("CET", "EDT") are kept; numeric ones ("+04") read as "GMT+4".
std::string cleanAbbreviation(const std::string& s, int32_t offset) {
  bool alpha = s.size() >= 3;
  for (char c : s) alpha = alpha && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'));
  return alpha ? s : offsetAbbreviation(offset);
}

struct Info {
  int32_t total = 0;  // seconds east of GMT, DST included
  int32_t dst = 0;    // the DST part
  std::string abbreviation;
};

void icuInfo(const icu::TimeZone& zone, CFAbsoluteTime at, Info& info) {
  int32_t raw = 0, dstMs = 0;
  UErrorCode status = U_ZERO_ERROR;
  zone.getOffset(std::isfinite(at) ? toICU(at) : 0, false, raw, dstMs, status);
  if (U_FAILURE(status)) raw = dstMs = 0;
  info.total = (raw + dstMs) / 1000;
  info.dst = dstMs / 1000;
}

std::optional<CFAbsoluteTime> icuNext(const icu::TimeZone& zone, CFAbsoluteTime at) {
  auto* basic = dynamic_cast<const icu::BasicTimeZone*>(&zone);
  icu::TimeZoneTransition next;
  if (basic == nullptr || !basic->getNextTransition(toICU(at), false, next)) return std::nullopt;
  CFAbsoluteTime t = next.getTime() / 1000.0 - kSecondsTo2001;
  if (!(t > at)) return std::nullopt;
  return t;
}

// The next offset change of a rule-string zone, found from its offsets alone: ICU's transition
// search for SimpleTimeZone mishandles rules in the "on or before" form, while its offsets are
// right. Such zones change at most twice a year, so a day-by-day scan over a year finds the change
// and bisection pins it to the second.
std::optional<CFAbsoluteTime> ruleNext(const icu::TimeZone& zone, CFAbsoluteTime at) {
  // Far beyond any calendar use whole seconds are no longer representable: nothing to find there.
  if (!(std::fabs(at) < 1e15)) return std::nullopt;
  Info start, probe;
  icuInfo(zone, at, start);
  CFAbsoluteTime lo = std::floor(at), hi = lo;
  bool found = false;
  for (int day = 1; day <= 400 && !found; ++day) {
    hi = lo + 86400.0 * day;
    icuInfo(zone, hi, probe);
    found = probe.total != start.total || probe.dst != start.dst;
  }
  if (!found) return std::nullopt;
  lo = hi - 86400.0;
  for (int step = 0; step < 64 && hi - lo > 1; ++step) {  // offsets at lo match the start, at hi they differ
    CFAbsoluteTime mid = std::floor((lo + hi) / 2);
    icuInfo(zone, mid, probe);
    (probe.total != start.total || probe.dst != start.dst ? hi : lo) = mid;
  }
  return hi;
}

// --- POSIX TZ rule strings ----------------------------------------------------------------------

struct PosixZone {
  std::unique_ptr<icu::TimeZone> zone;
  std::string stdName, dstName;
};

struct PosixCursor {
  std::string_view s;
  size_t i = 0;
  bool done() const { return i >= s.size(); }
  char peek() const { return done() ? '\0' : s[i]; }
};

bool posixName(PosixCursor& c, std::string& name) {
  size_t start = c.i;
  if (c.peek() == '<') {
    while (!c.done() && c.peek() != '>') ++c.i;
    if (c.done() || c.i - start < 4) return false;
    name = std::string(c.s.substr(start + 1, c.i - start - 1));
    ++c.i;
    return true;
  }
  while (!c.done() && ((c.peek() >= 'A' && c.peek() <= 'Z') || (c.peek() >= 'a' && c.peek() <= 'z'))) ++c.i;
  name = std::string(c.s.substr(start, c.i - start));
  return name.size() >= 3;
}

bool posixNumber(PosixCursor& c, int& out, int maxDigits) {
  int n = 0, digits = 0;
  while (!c.done() && c.peek() >= '0' && c.peek() <= '9' && digits < maxDigits) {
    n = n * 10 + (c.peek() - '0');
    ++c.i;
    ++digits;
  }
  out = n;
  return digits > 0;
}

// [+-]hh[:mm[:ss]] in seconds; hours up to 167 as the POSIX extension used by TZif footers allows.
bool posixTime(PosixCursor& c, int& seconds) {
  int sign = 1;
  if (c.peek() == '+' || c.peek() == '-') {
    sign = c.peek() == '-' ? -1 : 1;
    ++c.i;
  }
  int h = 0, m = 0, sec = 0;
  if (!posixNumber(c, h, 3)) return false;
  if (c.peek() == ':') {
    ++c.i;
    if (!posixNumber(c, m, 2)) return false;
    if (c.peek() == ':') {
      ++c.i;
      if (!posixNumber(c, sec, 2)) return false;
    }
  }
  if (h > 167 || m > 59 || sec > 59) return false;
  seconds = sign * (h * 3600 + m * 60 + sec);
  return true;
}

struct PosixRule {
  int month, week, weekday, seconds;
};

// Mm.w.d[/time]; the Julian-day forms (Jn, n) are not supported.
bool posixRule(PosixCursor& c, PosixRule& r) {
  if (c.peek() != 'M') return false;
  ++c.i;
  if (!posixNumber(c, r.month, 2) || c.peek() != '.') return false;
  ++c.i;
  if (!posixNumber(c, r.week, 1) || c.peek() != '.') return false;
  ++c.i;
  if (!posixNumber(c, r.weekday, 1)) return false;
  if (r.month < 1 || r.month > 12 || r.week < 1 || r.week > 5 || r.weekday > 6) return false;
  r.seconds = 7200;
  if (c.peek() == '/') {
    ++c.i;
    if (!posixTime(c, r.seconds)) return false;
  }
  return true;
}

// A POSIX rule as ICU's (day, dayOfWeek, time) triple. Times outside 0–24 h ("M3.4.4/26") move
// the day: "Thursday of week 4 plus 26 h" is "the Friday on or after the 23rd, 02:00".
bool icuRule(const PosixRule& r, int8_t& day, int8_t& dayOfWeek, int32_t& ms) {
  int k = static_cast<int>(floorDiv(r.seconds, 86400));
  ms = (r.seconds - k * 86400) * 1000;
  if (k == 0) {
    day = static_cast<int8_t>(r.week == 5 ? -1 : r.week);
    dayOfWeek = static_cast<int8_t>(r.weekday + 1);
    return true;
  }
  int shifted = ((r.weekday + k) % 7 + 7) % 7;
  dayOfWeek = static_cast<int8_t>(-(shifted + 1));  // negative: "on or after/before" modes
  if (r.week < 5) {
    int first = 7 * (r.week - 1) + 1 + k;
    if (first < 1 || first > 28) return false;
    day = static_cast<int8_t>(first);
    return true;
  }
  static const int kLength[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (k > 0 || r.month == 2 || kLength[r.month - 1] + k < 1) return false;
  day = static_cast<int8_t>(-(kLength[r.month - 1] + k));
  return true;
}

std::optional<PosixZone> posixZone(std::string_view tz) {
  PosixCursor c{tz};
  PosixZone out;
  int stdOffset = 0;
  if (!posixName(c, out.stdName) || !posixTime(c, stdOffset) || std::abs(stdOffset) > 26 * 3600) return std::nullopt;
  int32_t raw = -stdOffset * 1000;  // POSIX counts west of GMT as positive
  icu::UnicodeString id = icu::UnicodeString::fromUTF8(icu::StringPiece(tz.data(), static_cast<int32_t>(tz.size())));
  if (c.done()) {
    out.zone = std::make_unique<icu::SimpleTimeZone>(raw, id);
    return out;
  }
  if (!posixName(c, out.dstName)) return std::nullopt;
  int dstOffset = stdOffset - 3600;
  if (!c.done() && c.peek() != ',' && !posixTime(c, dstOffset)) return std::nullopt;
  if (std::abs(dstOffset) > 26 * 3600) return std::nullopt;
  PosixRule start{3, 2, 0, 7200}, end{11, 1, 0, 7200};  // the US rules when none are given
  if (!c.done()) {
    if (c.peek() != ',') return std::nullopt;
    ++c.i;
    if (!posixRule(c, start) || c.peek() != ',') return std::nullopt;
    ++c.i;
    if (!posixRule(c, end) || !c.done()) return std::nullopt;
  }
  int32_t savings = (stdOffset - dstOffset) * 1000;
  if (savings == 0) {
    out.zone = std::make_unique<icu::SimpleTimeZone>(raw, id);
    return out;
  }
  int8_t startDay, startDow, endDay, endDow;
  int32_t startMs, endMs;
  if (!icuRule(start, startDay, startDow, startMs) || !icuRule(end, endDay, endDow, endMs)) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  auto zone =
      std::make_unique<icu::SimpleTimeZone>(raw, id, static_cast<int8_t>(start.month - 1), startDay, startDow, startMs,
                                            static_cast<int8_t>(end.month - 1), endDay, endDow, endMs, savings, status);
  if (U_FAILURE(status)) return std::nullopt;
  out.zone = std::move(zone);
  return out;
}

// --- TZif files (RFC 8536) ----------------------------------------------------------------------

struct TzifType {
  int32_t offset;
  bool isDST;
  std::string abbreviation;
};

struct Tzif {
  std::vector<int64_t> times;      // transitions, seconds since 1970, increasing
  std::vector<uint8_t> typeAt;     // the type from each transition on
  std::vector<int32_t> dstAmount;  // DST part at each transition (TZif records only a flag)
  std::vector<TzifType> types;
  std::optional<PosixZone> footer;  // rules after the last transition

  void info(CFAbsoluteTime at, Info& out, bool named) const {
    double secs = std::isfinite(at) ? std::floor(at + kSecondsTo2001) : 0;
    int64_t t = static_cast<int64_t>(std::clamp(secs, -4e18, 4e18));
    bool useFooter = footer && (times.empty() || t > times.back());
    if (useFooter) {
      icuInfo(*footer->zone, at, out);
      if (named) out.abbreviation = cleanAbbreviation(out.dst != 0 ? footer->dstName : footer->stdName, out.total);
      return;
    }
    size_t type = 0;
    int32_t dst = 0;
    if (!times.empty() && t >= times.front()) {
      size_t i = static_cast<size_t>(std::upper_bound(times.begin(), times.end(), t) - times.begin()) - 1;
      type = typeAt[i];
      dst = dstAmount[i];
    } else if (types[0].isDST) {
      dst = 3600;
    }
    out.total = types[type].offset;
    out.dst = dst;
    if (named) out.abbreviation = cleanAbbreviation(types[type].abbreviation, out.total);
  }

  std::optional<CFAbsoluteTime> next(CFAbsoluteTime at) const {
    double secs = std::floor(at + kSecondsTo2001);
    auto t = static_cast<int64_t>(std::clamp(secs, -4e18, 4e18));
    size_t i = static_cast<size_t>(std::upper_bound(times.begin(), times.end(), t) - times.begin());
    for (; i < times.size(); ++i) {
      // Transitions that only rename the zone are not offset changes.
      const TzifType& now = types[typeAt[i]];
      const TzifType& before = i > 0 ? types[typeAt[i - 1]] : types[0];
      if (now.offset != before.offset || now.isDST != before.isDST) {
        return static_cast<double>(times[i]) - kSecondsTo2001;
      }
    }
    if (!footer) return std::nullopt;
    double from = times.empty() ? at : std::max(at, static_cast<double>(times.back()) - kSecondsTo2001);
    return ruleNext(*footer->zone, from);
  }
};

struct ByteReader {
  const uint8_t* p;
  size_t size;
  size_t pos = 0;
  bool has(size_t n) const { return n <= size - pos; }
  uint32_t u32() {
    uint32_t v = (uint32_t{p[pos]} << 24) | (uint32_t{p[pos + 1]} << 16) | (uint32_t{p[pos + 2]} << 8) | p[pos + 3];
    pos += 4;
    return v;
  }
  int64_t i64() {
    uint64_t v = (uint64_t{u32()} << 32);
    v |= u32();
    return static_cast<int64_t>(v);
  }
};

struct TzifCounts {
  uint32_t isut, isstd, leap, time, type, chars;
};

bool readHeader(ByteReader& r, TzifCounts& c, char& version) {
  if (!r.has(44) || std::memcmp(r.p + r.pos, "TZif", 4) != 0) return false;
  version = static_cast<char>(r.p[r.pos + 4]);
  r.pos += 20;
  c = {r.u32(), r.u32(), r.u32(), r.u32(), r.u32(), r.u32()};
  return c.type >= 1 && c.type <= 256 && c.chars >= 1 && c.chars <= 65536 && c.time <= (1u << 20) &&
         c.leap <= (1u << 16) && (c.isut == 0 || c.isut == c.type) && (c.isstd == 0 || c.isstd == c.type);
}

size_t blockSize(const TzifCounts& c, size_t timeSize) {
  return c.time * (timeSize + 1) + c.type * 6 + c.chars + c.leap * (timeSize + 4) + c.isstd + c.isut;
}

// Parses untrusted bytes: every count and index is checked; NULL for anything malformed.
std::shared_ptr<const Tzif> parseTzif(const uint8_t* data, size_t size) {
  if (data == nullptr || size > kMaxZoneFile) return nullptr;
  ByteReader r{data, size};
  TzifCounts c;
  char version;
  if (!readHeader(r, c, version)) return nullptr;
  size_t timeSize = 4;
  if (version >= '2') {
    if (!r.has(blockSize(c, 4))) return nullptr;
    r.pos += blockSize(c, 4);
    char v2;
    if (!readHeader(r, c, v2)) return nullptr;
    timeSize = 8;
  }
  if (!r.has(blockSize(c, timeSize))) return nullptr;
  auto z = std::make_shared<Tzif>();
  z->times.resize(c.time);
  for (uint32_t i = 0; i < c.time; ++i) {
    z->times[i] = timeSize == 8 ? r.i64() : static_cast<int32_t>(r.u32());
    if (i > 0 && z->times[i] <= z->times[i - 1]) return nullptr;
  }
  z->typeAt.assign(r.p + r.pos, r.p + r.pos + c.time);
  r.pos += c.time;
  for (uint8_t t : z->typeAt) {
    if (t >= c.type) return nullptr;
  }
  std::vector<uint8_t> designation(c.type);
  z->types.resize(c.type);
  for (uint32_t i = 0; i < c.type; ++i) {
    auto offset = static_cast<int32_t>(r.u32());
    uint8_t isDST = r.p[r.pos], index = r.p[r.pos + 1];
    r.pos += 2;
    if (offset < -26 * 3600 || offset > 26 * 3600 || isDST > 1 || index >= c.chars) return nullptr;
    z->types[i].offset = offset;
    z->types[i].isDST = isDST != 0;
    designation[i] = index;
  }
  const char* chars = reinterpret_cast<const char*>(r.p + r.pos);
  for (uint32_t i = 0; i < c.type; ++i) {
    const char* s = chars + designation[i];
    z->types[i].abbreviation.assign(s, strnlen(s, c.chars - designation[i]));
  }
  r.pos += c.chars + c.leap * (timeSize + 4) + c.isstd + c.isut;
  if (timeSize == 8 && r.has(2) && r.p[r.pos] == '\n') {
    const char* begin = reinterpret_cast<const char*>(r.p + r.pos + 1);
    const char* end = static_cast<const char*>(std::memchr(begin, '\n', size - r.pos - 1));
    if (end != nullptr && end > begin) z->footer = posixZone(std::string_view(begin, static_cast<size_t>(end - begin)));
  }
  // The DST part is the offset above the nearest standard-time period, before or else after. Two linear
  // passes: a per-transition search would make a long run of DST transitions quadratic.
  z->dstAmount.resize(c.time);
  std::vector<std::optional<int32_t>> standardAfter(c.time);
  std::optional<int32_t> standard;
  for (size_t i = c.time; i-- > 0;) {
    standardAfter[i] = standard;
    const TzifType& t = z->types[z->typeAt[i]];
    if (!t.isDST) standard = t.offset;
  }
  standard.reset();
  for (size_t i = 0; i < c.time; ++i) {
    const TzifType& t = z->types[z->typeAt[i]];
    if (!t.isDST) {
      standard = t.offset;
      continue;
    }
    std::optional<int32_t> nearest = standard ? standard : standardAfter[i];
    z->dstAmount[i] = nearest && *nearest != t.offset ? t.offset - *nearest : 3600;
  }
  return z;
}

bool readFile(const std::string& path, std::string& bytes) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) > kMaxZoneFile) {
    return false;
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return bytes.size() <= kMaxZoneFile;
}

std::string zoneDirectory() {
  const char* dir = std::getenv("TZDIR");
  return (dir != nullptr && *dir != '\0') ? dir : "/usr/share/zoneinfo";
}

// A name that can only denote a file inside the zone directory.
bool safeZoneName(const std::string& name) {
  if (name.empty() || name.size() > 255 || name[0] == '/' || name[0] == '.') return false;
  for (char c : name) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '/' || c == '_' ||
              c == '-' || c == '+' || c == '.';
    if (!ok) return false;
  }
  return name.find("..") == std::string::npos;
}

struct ZoneFile {
  std::shared_ptr<const Tzif> rules;
  CFRef<CFDataRef> bytes;
};

std::optional<ZoneFile> parseZoneBytes(const std::string& bytes) {
  auto rules = parseTzif(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  if (!rules) return std::nullopt;
  CFRef<CFDataRef> data =
      adopt(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()), static_cast<CFIndex>(bytes.size())));
  if (!data) return std::nullopt;
  return ZoneFile{std::move(rules), std::move(data)};
}

}  // namespace

struct __CFTimeZone : __CFRuntimeBase {
  CFRef<CFStringRef> name;
  std::shared_ptr<const Tzif> tzif;     // zones from TZif data, else:
  std::unique_ptr<icu::TimeZone> zone;  // ICU's rules (fixed offsets, POSIX strings, names without a file)
  std::optional<int32_t> fixedOffset;   // "GMT+hhmm" zones
  std::string stdName, dstName;         // abbreviations of POSIX rule zones
  CFRef<CFDataRef> data;

  __CFTimeZone(CFAllocatorRef alloc, const qxcf::RuntimeClass* cls, CFRef<CFStringRef> n)
      : __CFRuntimeBase(cls, 1, alloc), name(std::move(n)) {}

  // Offsets at a moment; the abbreviation only when named (it costs a string).
  Info info(CFAbsoluteTime at, bool named = false) const {
    Info out;
    if (tzif) {
      tzif->info(at, out, named);
      return out;
    }
    icuInfo(*zone, at, out);
    if (!named) return out;
    if (fixedOffset) {
      out.abbreviation = offsetAbbreviation(out.total);
    } else if (!stdName.empty()) {
      out.abbreviation = cleanAbbreviation(out.dst != 0 ? dstName : stdName, out.total);
    } else {
      // ICU's US English short names ("EST", "PDT"); elsewhere they read "GMT+1".
      icu::UnicodeString s;
      zone->getDisplayName(out.dst != 0, icu::TimeZone::SHORT, icu::Locale("en_US"), s);
      out.abbreviation = s.isEmpty() ? offsetAbbreviation(out.total) : utf8(s);
    }
    return out;
  }
};

namespace {

const __CFTimeZone* tzOf(CFTypeRef cf) { return static_cast<const __CFTimeZone*>(cf); }

bool tzEqual(CFTypeRef a, CFTypeRef b) {
  const __CFTimeZone *x = tzOf(a), *y = tzOf(b);
  if (!CFEqual(x->name.get(), y->name.get())) return false;
  // Same name, different data (CFTimeZoneCreate with caller bytes): compare the bytes.
  return x->data.get() == y->data.get() || (x->data && y->data && CFEqual(x->data.get(), y->data.get()));
}

CFHashCode tzHash(CFTypeRef cf) { return CFHash(tzOf(cf)->name.get()); }

std::string describe(const __CFTimeZone* tz) {
  Info now = tz->info(CFAbsoluteTimeGetCurrent(), true);
  return qxcf::toUTF8(tz->name.get()) + " (" + now.abbreviation + ") offset " + std::to_string(now.total) +
         (now.dst != 0 ? " (Daylight)" : "");
}

CFStringRef tzFormattingDesc(CFTypeRef cf) { return qxcf::createStringUTF8(describe(tzOf(cf))); }

CFStringRef tzDebugDesc(CFTypeRef cf) {
  const __CFTimeZone* tz = tzOf(cf);
  Info now = tz->info(CFAbsoluteTimeGetCurrent(), true);
  char head[96];
  std::snprintf(head, sizeof head, "<CFTimeZone %p [%p]>{name = ", cf, static_cast<const void*>(CFGetAllocator(cf)));
  return qxcf::createStringUTF8(std::string(head) + qxcf::toUTF8(tz->name.get()) +
                                "; abbreviation = " + now.abbreviation + "; GMT offset = " + std::to_string(now.total) +
                                "; is daylight savings time = " + (now.dst != 0 ? "true" : "false") + "}");
}

constexpr qxcf::RuntimeClass kTimeZoneClass = {
    qxcf::kTypeIDTimeZone, "CFTimeZone", qxcf::finalizeAs<__CFTimeZone>, tzEqual, tzHash,
    tzFormattingDesc,      tzDebugDesc};

__CFTimeZone* newZone(CFAllocatorRef alloc, const std::string& name) {
  CFRef<CFStringRef> n = adopt(qxcf::createStringUTF8(name));
  if (!n) return nullptr;
  return qxcf::cfCreate<__CFTimeZone>(alloc, 0, &kTimeZoneClass, std::move(n));
}

CFTimeZoneRef makeTzif(CFAllocatorRef alloc, const std::string& name, const ZoneFile& file) {
  __CFTimeZone* tz = newZone(alloc, name);
  if (tz == nullptr) return nullptr;
  tz->tzif = file.rules;
  tz->data = file.bytes;
  return tz;
}

CFTimeZoneRef makeICU(CFAllocatorRef alloc, const std::string& name, std::unique_ptr<icu::TimeZone> zone) {
  if (!zone) return nullptr;
  __CFTimeZone* tz = newZone(alloc, name);
  if (tz != nullptr) tz->zone = std::move(zone);
  return tz;
}

CFTimeZoneRef makePosix(CFAllocatorRef alloc, const std::string& name, PosixZone posix) {
  __CFTimeZone* tz = newZone(alloc, name);
  if (tz == nullptr) return nullptr;
  tz->zone = std::move(posix.zone);
  tz->stdName = std::move(posix.stdName);
  tz->dstName = std::move(posix.dstName);
  return tz;
}

// "GMT+0100" style names; seconds appear only when the offset has them.
std::string offsetName(int32_t seconds) {
  if (seconds == 0) return "GMT";
  int32_t a = std::abs(seconds);
  char buf[32];
  if (a % 60 == 0) {
    std::snprintf(buf, sizeof buf, "GMT%c%02d%02d", seconds < 0 ? '-' : '+', a / 3600, a % 3600 / 60);
  } else {
    std::snprintf(buf, sizeof buf, "GMT%c%02d%02d%02d", seconds < 0 ? '-' : '+', a / 3600, a % 3600 / 60, a % 60);
  }
  return buf;
}

CFTimeZoneRef makeFixed(CFAllocatorRef alloc, int32_t seconds) {
  std::string name = offsetName(seconds);
  CFTimeZoneRef tz =
      makeICU(alloc, name, std::make_unique<icu::SimpleTimeZone>(seconds * 1000, icu::UnicodeString::fromUTF8(name)));
  if (tz != nullptr) const_cast<__CFTimeZone*>(tz)->fixedOffset = seconds;
  return tz;
}

bool allDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "GMT", "UTC", "GMT+1", "GMT+01", "GMT+0130", "GMT-01:30", "UTC+5" → seconds east of GMT.
std::optional<int32_t> parseOffsetName(std::string_view s) {
  if (s.size() < 3 || (s.substr(0, 3) != "GMT" && s.substr(0, 3) != "UTC")) return std::nullopt;
  s.remove_prefix(3);
  if (s.empty()) return 0;
  int sign = s[0] == '+' ? 1 : (s[0] == '-' ? -1 : 0);
  if (sign == 0) return std::nullopt;
  s.remove_prefix(1);
  std::string_view hh = s, mm;
  if (auto colon = s.find(':'); colon != std::string_view::npos) {
    hh = s.substr(0, colon);
    mm = s.substr(colon + 1);
    if (mm.size() != 2) return std::nullopt;
  } else if (s.size() == 4) {
    hh = s.substr(0, 2);
    mm = s.substr(2);
  }
  if (hh.empty() || hh.size() > 2 || !allDigits(hh) || (!mm.empty() && !allDigits(mm))) return std::nullopt;
  int h = (hh[0] - '0') * (hh.size() == 2 ? 10 : 1) + (hh.size() == 2 ? hh[1] - '0' : 0);
  int m = mm.empty() ? 0 : (mm[0] - '0') * 10 + (mm[1] - '0');
  if (m > 59 || h * 3600 + m * 60 > 18 * 3600) return std::nullopt;
  return sign * (h * 3600 + m * 60);
}

std::unique_ptr<icu::TimeZone> icuZone(const std::string& name) {
  if (name.empty() || name.size() > 255) return nullptr;
  std::unique_ptr<icu::TimeZone> z(icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(name)));
  if (!z) return nullptr;
  icu::UnicodeString id;
  z->getID(id);
  if (id == icu::UnicodeString(u"Etc/Unknown")) return nullptr;
  // ICU also reads custom "GMT+hh:mm" ids; the offset names above already took the valid ones.
  if (id.startsWith(icu::UnicodeString(u"GMT")) && id.length() > 3) return nullptr;
  return z;
}

// --- process-wide state ---------------------------------------------------------------------------

struct ZoneState {
  std::mutex lock;
  CFRef<CFTimeZoneRef> system;
  bool tzWasSet = false;
  std::string tzValue;
  CFRef<CFTimeZoneRef> defaultZone;
  CFRef<CFDictionaryRef> abbreviations;
  std::map<std::string, ZoneFile> files;  // parsed zone files by path
};

// Never destroyed: zones may be queried from other libraries' static destructors.
ZoneState& state() {
  static ZoneState* s = new ZoneState;
  return *s;
}

std::optional<ZoneFile> loadZoneFile(const std::string& path) {
  ZoneState& s = state();
  {
    std::lock_guard guard(s.lock);
    auto it = s.files.find(path);
    if (it != s.files.end()) return it->second;
  }
  std::string bytes;
  if (!readFile(path, bytes)) return std::nullopt;
  std::optional<ZoneFile> file = parseZoneBytes(bytes);
  if (!file) return std::nullopt;
  std::lock_guard guard(s.lock);
  if (s.files.size() >= 1024) s.files.clear();  // bounded: a cache, not a registry
  s.files.emplace(path, *file);
  return file;
}

CFTimeZoneRef createNamed(CFAllocatorRef alloc, const std::string& name) {
  if (auto off = parseOffsetName(name)) return makeFixed(alloc, *off);
  if (safeZoneName(name)) {
    if (auto file = loadZoneFile(zoneDirectory() + "/" + name)) return makeTzif(alloc, name, *file);
  }
  return makeICU(alloc, name, icuZone(name));
}

std::string zoneinfoName(const std::string& path) {
  static const std::string kMarker = "zoneinfo/";
  size_t at = path.rfind(kMarker);
  if (at == std::string::npos) return {};
  std::string name = path.substr(at + kMarker.size());
  // Debian's posix/ tree holds the same zones under another prefix.
  if (name.rfind("posix/", 0) == 0) name = name.substr(6);
  return name;
}

CFTimeZoneRef detectSystemZone(const char* tzEnv) {
  if (tzEnv != nullptr) {
    std::string tz = tzEnv;
    if (tz.empty()) return createNamed(nullptr, "UTC");  // the C library's reading of an empty TZ
    if (tz[0] == ':') tz.erase(0, 1);
    if (!tz.empty() && tz[0] == '/') {
      if (CFTimeZoneRef z = createNamed(nullptr, zoneinfoName(tz))) return z;
      if (auto file = loadZoneFile(tz)) return makeTzif(nullptr, tz, *file);
    } else {
      if (CFTimeZoneRef z = createNamed(nullptr, tz)) return z;
      if (auto posix = posixZone(tz)) return makePosix(nullptr, tz, std::move(*posix));
    }
  } else {
    char buf[4096];
    ssize_t n = readlink("/etc/localtime", buf, sizeof buf - 1);
    if (n > 0) {
      std::string name = zoneinfoName(std::string(buf, static_cast<size_t>(n)));
      if (CFTimeZoneRef z = createNamed(nullptr, name)) return z;
    }
    std::ifstream file("/etc/timezone");
    std::string line;
    if (file && std::getline(file, line)) {
      while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
      if (CFTimeZoneRef z = createNamed(nullptr, line)) return z;
    }
    if (auto zf = loadZoneFile("/etc/localtime")) return makeTzif(nullptr, "localtime", *zf);
  }
  return makeFixed(nullptr, 0);
}

CFDictionaryRef createBuiltinAbbreviations() {
  static const char* const kPairs[][2] = {
      {"ADT", "America/Halifax"},
      {"AKDT", "America/Juneau"},
      {"AKST", "America/Juneau"},
      {"ART", "America/Argentina/Buenos_Aires"},
      {"AST", "America/Halifax"},
      {"BDT", "Asia/Dhaka"},
      {"BRST", "America/Sao_Paulo"},
      {"BRT", "America/Sao_Paulo"},
      {"BST", "Europe/London"},
      {"CAT", "Africa/Harare"},
      {"CDT", "America/Chicago"},
      {"CEST", "Europe/Paris"},
      {"CET", "Europe/Paris"},
      {"CLST", "America/Santiago"},
      {"CLT", "America/Santiago"},
      {"COT", "America/Bogota"},
      {"CST", "America/Chicago"},
      {"EAT", "Africa/Addis_Ababa"},
      {"EDT", "America/New_York"},
      {"EEST", "Europe/Athens"},
      {"EET", "Europe/Athens"},
      {"EST", "America/New_York"},
      {"GMT", "GMT"},
      {"GST", "Asia/Dubai"},
      {"HKT", "Asia/Hong_Kong"},
      {"HST", "Pacific/Honolulu"},
      {"ICT", "Asia/Bangkok"},
      {"IRST", "Asia/Tehran"},
      {"IST", "Asia/Kolkata"},
      {"JST", "Asia/Tokyo"},
      {"KST", "Asia/Seoul"},
      {"MDT", "America/Denver"},
      {"MSD", "Europe/Moscow"},
      {"MSK", "Europe/Moscow"},
      {"MST", "America/Denver"},
      {"NZDT", "Pacific/Auckland"},
      {"NZST", "Pacific/Auckland"},
      {"PDT", "America/Los_Angeles"},
      {"PET", "America/Lima"},
      {"PHT", "Asia/Manila"},
      {"PKT", "Asia/Karachi"},
      {"PST", "America/Los_Angeles"},
      {"SGT", "Asia/Singapore"},
      {"UTC", "UTC"},
      {"WAT", "Africa/Lagos"},
      {"WEST", "Europe/Lisbon"},
      {"WET", "Europe/Lisbon"},
      {"WIT", "Asia/Jakarta"},
  };
  CFRef<CFMutableDictionaryRef> d = adopt(CFDictionaryCreateMutable(
      nullptr, std::size(kPairs), &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  if (!d) return nullptr;
  for (const auto& p : kPairs) {
    CFRef<CFStringRef> k = adopt(qxcf::createStringUTF8(p[0])), v = adopt(qxcf::createStringUTF8(p[1]));
    if (k && v) CFDictionarySetValue(d.get(), k.get(), v.get());
  }
  return CFDictionaryCreateCopy(nullptr, d.get());
}

CFRef<CFDictionaryRef> abbreviations() {
  ZoneState& s = state();
  std::lock_guard guard(s.lock);
  if (!s.abbreviations) s.abbreviations = adopt(createBuiltinAbbreviations());
  return s.abbreviations;
}

}  // namespace

QXCF_CONSTANT_STRING(kCFTimeZoneSystemTimeZoneDidChangeNotification, "kCFTimeZoneSystemTimeZoneDidChangeNotification");

CFTypeID CFTimeZoneGetTypeID(void) { return qxcf::kTypeIDTimeZone; }

CFTimeZoneRef CFTimeZoneCopySystem(void) {
  ZoneState& s = state();
  const char* tz = std::getenv("TZ");
  std::string value = tz != nullptr ? tz : "";
  {
    std::lock_guard guard(s.lock);
    bool changed = (tz != nullptr) != s.tzWasSet || s.tzValue != value;
    if (s.system && !changed) return static_cast<CFTimeZoneRef>(CFRetain(s.system.get()));
  }
  // Detection reads files and takes the lock itself, so it runs outside it.
  CFRef<CFTimeZoneRef> fresh = adopt(detectSystemZone(tz != nullptr ? value.c_str() : nullptr));
  std::lock_guard guard(s.lock);
  s.tzWasSet = tz != nullptr;
  s.tzValue = value;
  std::swap(s.system, fresh);
  return static_cast<CFTimeZoneRef>(CFRetain(s.system.get()));
}

void CFTimeZoneResetSystem(void) {
  CFRef<CFTimeZoneRef> old;
  ZoneState& s = state();
  std::lock_guard guard(s.lock);
  std::swap(s.system, old);
  s.files.clear();  // the database may have been updated too
}

CFTimeZoneRef CFTimeZoneCopyDefault(void) {
  {
    ZoneState& s = state();
    std::lock_guard guard(s.lock);
    if (s.defaultZone) return static_cast<CFTimeZoneRef>(CFRetain(s.defaultZone.get()));
  }
  return CFTimeZoneCopySystem();
}

void CFTimeZoneSetDefault(CFTimeZoneRef tz) {
  CFRef<CFTimeZoneRef> keep = CFRef<CFTimeZoneRef>::retain(tz);
  ZoneState& s = state();
  std::lock_guard guard(s.lock);
  std::swap(s.defaultZone, keep);  // the previous default is released by keep
}

CFArrayRef CFTimeZoneCopyKnownNames(void) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::StringEnumeration> ids(
      icu::TimeZone::createTimeZoneIDEnumeration(UCAL_ZONE_TYPE_CANONICAL_LOCATION, nullptr, nullptr, status));
  CFRef<CFMutableArrayRef> names = adopt(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
  if (!names) return nullptr;
  if (U_SUCCESS(status) && ids) {
    while (const icu::UnicodeString* id = ids->snext(status)) {
      if (U_FAILURE(status)) break;
      CFRef<CFStringRef> s = adopt(fromUnicode(*id));
      if (s) CFArrayAppendValue(names.get(), s.get());
    }
  }
  return CFArrayCreateCopy(nullptr, names.get());
}

CFDictionaryRef CFTimeZoneCopyAbbreviationDictionary(void) {
  CFRef<CFDictionaryRef> d = abbreviations();
  return d.release();
}

void CFTimeZoneSetAbbreviationDictionary(CFDictionaryRef dict) {
  CFRef<CFDictionaryRef> copy = dict != nullptr ? adopt(CFDictionaryCreateCopy(nullptr, dict)) : nullptr;
  ZoneState& s = state();
  std::lock_guard guard(s.lock);
  std::swap(s.abbreviations, copy);
}

CFTimeZoneRef CFTimeZoneCreate(CFAllocatorRef allocator, CFStringRef name, CFDataRef data) {
  if (name == nullptr) return nullptr;
  if (data == nullptr) return createNamed(allocator, qxcf::toUTF8(name));
  std::string bytes(reinterpret_cast<const char*>(CFDataGetBytePtr(data)), static_cast<size_t>(CFDataGetLength(data)));
  std::optional<ZoneFile> file = parseZoneBytes(bytes);
  if (!file) return nullptr;
  return makeTzif(allocator, qxcf::toUTF8(name), *file);
}

CFTimeZoneRef CFTimeZoneCreateWithTimeIntervalFromGMT(CFAllocatorRef allocator, CFTimeInterval ti) {
  if (!(std::fabs(ti) <= 18 * 3600.0)) return nullptr;
  return makeFixed(allocator, static_cast<int32_t>(std::lround(ti)));
}

CFTimeZoneRef CFTimeZoneCreateWithName(CFAllocatorRef allocator, CFStringRef name, Boolean tryAbbrev) {
  if (name == nullptr) return nullptr;
  if (tryAbbrev) {
    CFRef<CFDictionaryRef> abbrevs = abbreviations();
    auto target = abbrevs ? static_cast<CFStringRef>(CFDictionaryGetValue(abbrevs.get(), name)) : nullptr;
    if (target != nullptr && CFGetTypeID(target) == CFStringGetTypeID()) {
      if (CFTimeZoneRef z = createNamed(allocator, qxcf::toUTF8(target))) return z;
    }
  }
  return createNamed(allocator, qxcf::toUTF8(name));
}

CFStringRef CFTimeZoneGetName(CFTimeZoneRef tz) { return tz->name.get(); }

CFDataRef CFTimeZoneGetData(CFTimeZoneRef tz) {
  if (tz->data) return tz->data.get();
  static CFDataRef empty = CFDataCreate(nullptr, nullptr, 0);
  return empty;
}

CFTimeInterval CFTimeZoneGetSecondsFromGMT(CFTimeZoneRef tz, CFAbsoluteTime at) { return tz->info(at).total; }

CFStringRef CFTimeZoneCopyAbbreviation(CFTimeZoneRef tz, CFAbsoluteTime at) {
  return qxcf::createStringUTF8(tz->info(at, true).abbreviation);
}

Boolean CFTimeZoneIsDaylightSavingTime(CFTimeZoneRef tz, CFAbsoluteTime at) { return tz->info(at).dst != 0; }

CFTimeInterval CFTimeZoneGetDaylightSavingTimeOffset(CFTimeZoneRef tz, CFAbsoluteTime at) { return tz->info(at).dst; }

CFAbsoluteTime CFTimeZoneGetNextDaylightSavingTimeTransition(CFTimeZoneRef tz, CFAbsoluteTime at) {
  if (!std::isfinite(at)) return 0;
  std::optional<CFAbsoluteTime> next = tz->tzif               ? tz->tzif->next(at)
                                       : !tz->stdName.empty() ? ruleNext(*tz->zone, at)
                                                              : icuNext(*tz->zone, at);
  return next.value_or(0);
}

CFStringRef CFTimeZoneCopyLocalizedName(CFTimeZoneRef tz, CFTimeZoneNameStyle style, CFLocaleRef locale) {
  icu::TimeZone::EDisplayType type = icu::TimeZone::LONG;
  bool daylight = false;
  switch (style) {
    case kCFTimeZoneNameStyleStandard: break;
    case kCFTimeZoneNameStyleShortStandard: type = icu::TimeZone::SHORT; break;
    case kCFTimeZoneNameStyleDaylightSaving: daylight = true; break;
    case kCFTimeZoneNameStyleShortDaylightSaving:
      type = icu::TimeZone::SHORT;
      daylight = true;
      break;
    case kCFTimeZoneNameStyleGeneric: type = icu::TimeZone::LONG_GENERIC; break;
    case kCFTimeZoneNameStyleShortGeneric: type = icu::TimeZone::SHORT_GENERIC; break;
    default: return nullptr;
  }
  // Names are ICU's, looked up by the zone's name; zones ICU does not know use their own rules.
  std::unique_ptr<icu::TimeZone> named;
  const icu::TimeZone* zone = tz->zone.get();
  if (zone == nullptr) {
    named = icuZone(qxcf::toUTF8(tz->name.get()));
    zone = named.get();
  }
  if (zone == nullptr) return nullptr;
  CFRef<CFLocaleRef> current;
  if (locale == nullptr) {
    current = adopt(CFLocaleCopyCurrent());
    locale = current.get();
  }
  std::string id = locale != nullptr ? qxcf::toUTF8(CFLocaleGetIdentifier(locale)) : std::string("en_US");
  icu::UnicodeString out;
  zone->getDisplayName(daylight, type, icu::Locale(id.c_str()), out);
  if (out.isEmpty()) return nullptr;
  return fromUnicode(out);
}
