// printf-style formatting into CFStrings: CFStringCreateWithFormat and CFStringAppendFormat.
//
// Output goes through a small stack buffer straight into the result, so a short message costs
// one allocation (the result itself). Numeric conversions are handed to snprintf one at a time,
// under a "C" locale_t, so their text is exactly printf's whatever locale the host has set.
//
// What makes a format invalid (the result is NULL; an append leaves the string unchanged):
// %n (it would write through an argument), an unknown conversion, a '%' at the end, non-ASCII
// inside a conversion, positional and sequential conversions mixed, a position of 0 or above
// kMaxPosition, a gap in the positions used, one position used with two different argument
// types, a width (or a numeric precision) above kMaxWidth, and a result above kMaxOutput units.
#include "CFFormatInternal.h"

#include "CFRef.h"
#include "CFRuntime.h"
#include "CFStringInternal.h"

#include <locale.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace qxcf::format {

bool VaListSource::next(ArgType type, ArgValue& out) {
  switch (type) {
    case ArgType::kInt: out.i = va_arg(args_, int); break;
    case ArgType::kLong: out.i = va_arg(args_, long); break;
    case ArgType::kLongLong: out.i = va_arg(args_, long long); break;
    case ArgType::kIntMax: out.i = va_arg(args_, intmax_t); break;
    case ArgType::kSize: out.i = static_cast<int64_t>(va_arg(args_, size_t)); break;
    case ArgType::kPtrDiff: out.i = va_arg(args_, ptrdiff_t); break;
    case ArgType::kDouble: out.d = va_arg(args_, double); break;
    case ArgType::kLongDouble: out.ld = va_arg(args_, long double); break;
    case ArgType::kPointer:
    case ArgType::kCString:
    case ArgType::kUniString:
    case ArgType::kObject: out.p = va_arg(args_, const void*); break;
  }
  return true;
}

namespace {

constexpr int64_t kMaxWidth = 1000000;
constexpr size_t kMaxOutput = size_t{1} << 26;  // units
constexpr int kMaxPosition = 4096;
constexpr int64_t kNumberCap = int64_t{1} << 40;  // digits beyond this only need to stay "too big"

// ---------------------------------------------------------------------------------------------
// Output

// Collects units in a stack buffer and moves them to the target string in blocks. Without a
// target (string creation) the target is made only when the result outgrows the buffer.
class Sink {
 public:
  explicit Sink(CFMutableStringRef target) : target_(target) {}
  ~Sink() {
    if (ownsTarget_) CFRelease(target_);
  }
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;

  bool put(const UniChar* units, size_t n) {
    if (!reserve(n)) return false;
    if (n > kBuf - len_) {
      if (!flush()) return false;
      if (n >= kBuf) return ensureTarget() && appendUnits(target_, units, static_cast<CFIndex>(n));
    }
    std::memcpy(buf_ + len_, units, n * sizeof(UniChar));
    len_ += n;
    return true;
  }

  bool put(UniChar u) {
    if (!reserve(1)) return false;
    if (len_ == kBuf && !flush()) return false;
    buf_[len_++] = u;
    return true;
  }

  bool fill(UniChar u, size_t n) {
    if (!reserve(n)) return false;
    while (n > 0) {
      if (len_ == kBuf && !flush()) return false;
      size_t k = std::min(n, kBuf - len_);
      std::fill_n(buf_ + len_, k, u);
      len_ += k;
      n -= k;
    }
    return true;
  }

  // ASCII text (snprintf's output in the C locale).
  bool putASCII(const char* s, size_t n) {
    if (!reserve(n)) return false;
    while (n > 0) {
      if (len_ == kBuf && !flush()) return false;
      size_t k = std::min(n, kBuf - len_);
      for (size_t i = 0; i < k; ++i) buf_[len_ + i] = static_cast<unsigned char>(s[i]);
      len_ += k;
      s += k;
      n -= k;
    }
    return true;
  }

  bool flush() {
    if (len_ == 0) return true;
    if (!ensureTarget()) return false;
    if (!appendUnits(target_, buf_, static_cast<CFIndex>(len_))) return false;
    len_ = 0;
    return true;
  }

  CFStringRef createResult(CFAllocatorRef alloc) {
    if (target_ == nullptr) return createStringUTF16(alloc, buf_, static_cast<CFIndex>(len_));
    if (!flush()) return nullptr;
    return createStringUTF16(alloc, target_->chars, target_->length);
  }

  // The string that units may end up in, to detect arguments that point into it.
  CFMutableStringRef appendTarget() const { return ownsTarget_ ? nullptr : target_; }

 private:
  static constexpr size_t kBuf = 256;

  bool ensureTarget() {
    if (target_ != nullptr) return true;
    target_ = createMutableString(nullptr, static_cast<CFIndex>(4 * kBuf));
    ownsTarget_ = target_ != nullptr;
    return ownsTarget_;
  }

  bool reserve(size_t n) {
    if (n > kMaxOutput - total_) return false;
    total_ += n;
    return true;
  }

  CFMutableStringRef target_;
  bool ownsTarget_ = false;
  size_t len_ = 0;
  size_t total_ = 0;
  UniChar buf_[kBuf];
};

// Switches the thread to the "C" locale for as long as it lives, from the first float on: integer
// conversions do not depend on the locale, so most messages never pay for the switch.
class CLocaleScope {
 public:
  CLocaleScope() = default;
  ~CLocaleScope() {
    if (active_) uselocale(previous_);
  }
  CLocaleScope(const CLocaleScope&) = delete;
  CLocaleScope& operator=(const CLocaleScope&) = delete;

  void enter() {
    if (active_) return;
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (cLocale == static_cast<locale_t>(nullptr)) return;
    previous_ = uselocale(cLocale);
    active_ = true;
  }

 private:
  bool active_ = false;
  locale_t previous_ = static_cast<locale_t>(nullptr);
};

// ---------------------------------------------------------------------------------------------
// Directives: one "%…" of the format

enum Flag : uint8_t {
  kMinus = 1,
  kPlus = 2,
  kSpace = 4,
  kHash = 8,
  kZero = 16,
  kQuote = 32,
};

enum class Length : uint8_t { kNone, kHH, kH, kL, kLL, kJ, kZ, kT, kBigL };

struct Directive {
  uint8_t flags = 0;
  Length length = Length::kNone;
  char conv = 0;
  bool widthStar = false;
  bool precisionStar = false;
  int position = 0;  // 1-based; 0 for sequential conversions
  int widthPosition = 0;
  int precisionPosition = 0;
  int64_t width = -1;
  int64_t precision = -1;
  ArgType type = ArgType::kInt;

  bool positional() const { return position != 0; }
};

inline bool isDigit(UniChar c) { return c >= '0' && c <= '9'; }

const UniChar* readNumber(const UniChar* p, const UniChar* end, int64_t& value) {
  value = 0;
  while (p < end && isDigit(*p)) {
    value = std::min(value * 10 + (*p - '0'), kNumberCap);
    ++p;
  }
  return p;
}

// "m$" after a '*' or at the start of a conversion. Returns p unchanged when there is none,
// nullptr when the position is out of range.
const UniChar* readPosition(const UniChar* p, const UniChar* end, int& position) {
  position = 0;
  if (p >= end || !isDigit(*p)) return p;
  int64_t value;
  const UniChar* q = readNumber(p, end, value);
  if (q >= end || *q != '$') return p;
  if (value < 1 || value > kMaxPosition) return nullptr;
  position = static_cast<int>(value);
  return q + 1;
}

ArgType integerType(Length length) {
  switch (length) {
    case Length::kL: return ArgType::kLong;
    case Length::kLL:
    case Length::kBigL: return ArgType::kLongLong;
    case Length::kJ: return ArgType::kIntMax;
    case Length::kZ: return ArgType::kSize;
    case Length::kT: return ArgType::kPtrDiff;
    default: return ArgType::kInt;
  }
}

// Parses the conversion after a '%'. Returns the position after it, or nullptr if it is invalid.
const UniChar* parseDirective(const UniChar* p, const UniChar* end, Directive& s) {
  s = Directive{};
  p = readPosition(p, end, s.position);
  if (p == nullptr) return nullptr;
  for (; p < end; ++p) {
    uint8_t f = 0;
    switch (*p) {
      case '-': f = kMinus; break;
      case '+': f = kPlus; break;
      case ' ': f = kSpace; break;
      case '#': f = kHash; break;
      case '0': f = kZero; break;
      case '\'': f = kQuote; break;
      default: break;
    }
    if (f == 0) break;
    s.flags |= f;
  }
  if (p < end && *p == '*') {
    s.widthStar = true;
    p = readPosition(p + 1, end, s.widthPosition);
    if (p == nullptr) return nullptr;
  } else if (p < end && isDigit(*p)) {
    p = readNumber(p, end, s.width);
  }
  if (p < end && *p == '.') {
    ++p;
    if (p < end && *p == '*') {
      s.precisionStar = true;
      p = readPosition(p + 1, end, s.precisionPosition);
      if (p == nullptr) return nullptr;
    } else {
      p = readNumber(p, end, s.precision);  // "%.f" is precision 0
    }
  }
  // Every argument of a conversion comes from a position, or none does.
  if ((s.widthStar && (s.widthPosition != 0) != s.positional()) ||
      (s.precisionStar && (s.precisionPosition != 0) != s.positional())) {
    return nullptr;
  }
  if (p < end) {
    switch (*p) {
      case 'h':
        s.length = Length::kH;
        if (++p < end && *p == 'h') {
          s.length = Length::kHH;
          ++p;
        }
        break;
      case 'l':
        s.length = Length::kL;
        if (++p < end && *p == 'l') {
          s.length = Length::kLL;
          ++p;
        }
        break;
      case 'q': s.length = Length::kLL, ++p; break;
      case 'j': s.length = Length::kJ, ++p; break;
      case 'z': s.length = Length::kZ, ++p; break;
      case 't': s.length = Length::kT, ++p; break;
      case 'L': s.length = Length::kBigL, ++p; break;
      default: break;
    }
  }
  if (p >= end || *p > 0x7F) return nullptr;
  s.conv = static_cast<char>(*p);
  switch (s.conv) {
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
    case 'o': s.type = integerType(s.length); break;
    case 'D':
    case 'U':
    case 'O':
      s.type = ArgType::kLong;
      s.length = Length::kL;
      s.conv = static_cast<char>(s.conv == 'D' ? 'd' : s.conv == 'U' ? 'u' : 'o');
      break;
    case 'c':
    case 'C': s.type = ArgType::kInt; break;
    case 's': s.type = s.length == Length::kL ? ArgType::kUniString : ArgType::kCString; break;
    case 'S': s.type = ArgType::kUniString; break;
    case 'p': s.type = ArgType::kPointer; break;
    case '@': s.type = ArgType::kObject; break;
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'a':
    case 'A': s.type = s.length == Length::kBigL ? ArgType::kLongDouble : ArgType::kDouble; break;
    case '%':
      // Only the plain "%%": anything between the two signs is a mistake in the format.
      if (s.position != 0 || s.flags != 0 || s.widthStar || s.precisionStar || s.width >= 0 || s.precision >= 0 ||
          s.length != Length::kNone) {
        return nullptr;
      }
      break;
    default: return nullptr;  // %n included: it would write through an argument
  }
  return p + 1;
}

// ---------------------------------------------------------------------------------------------
// Conversions

class Formatter {
 public:
  Formatter(Sink& out, ArgSource& args) : out_(out), args_(args) {}

  bool run(const UniChar* fmt, const UniChar* end);

 private:
  bool literal(const UniChar* from, const UniChar* to) {
    return from == to || out_.put(from, static_cast<size_t>(to - from));
  }
  bool runPositional(const UniChar* start, const UniChar* end);
  bool convert(Directive& s, const ArgValue& v);
  bool integer(const Directive& s, int64_t v);
  bool floating(const Directive& s, const ArgValue& v);
  bool pointer(const Directive& s, const void* p);
  bool character(const Directive& s, int64_t v);
  bool utf8(const Directive& s, const char* p);
  bool units(const Directive& s, const UniChar* u, size_t n);
  bool uniString(const Directive& s, const UniChar* u);
  bool object(const Directive& s, CFTypeRef obj);
  bool pad(const Directive& s, size_t used, bool before);
  bool plain(const Directive& s, const char* text, size_t n);
  bool snprintfOut(const char* fmt, int width, int precision, auto value);

  Sink& out_;
  ArgSource& args_;
  CLocaleScope locale_;
};

// Applies a '*' width or precision taken from an argument.
void applyStar(Directive& s, bool isWidth, int64_t v) {
  if (isWidth) {
    if (v < 0) {
      s.flags |= kMinus;
      v = -v;
    }
    s.width = v;
  } else {
    s.precision = v < 0 ? -1 : v;
  }
}

bool Formatter::run(const UniChar* p, const UniChar* end) {
  bool fetched = false;
  while (p < end) {
    const UniChar* q = p;
    while (q < end && *q != '%') ++q;
    if (!literal(p, q)) return false;
    if (q == end) break;
    Directive s;
    const UniChar* next = parseDirective(q + 1, end, s);
    if (next == nullptr) return false;
    if (s.conv == '%') {
      if (!out_.put('%')) return false;
      p = next;
      continue;
    }
    if (s.positional()) {
      if (fetched) return false;  // sequential conversions before a positional one
      return runPositional(q, end);
    }
    ArgValue v{};
    if (s.widthStar) {
      if (!args_.next(ArgType::kInt, v)) return false;
      applyStar(s, true, v.i);
    }
    if (s.precisionStar) {
      if (!args_.next(ArgType::kInt, v)) return false;
      applyStar(s, false, v.i);
    }
    if (!args_.next(s.type, v)) return false;
    fetched = true;
    if (!convert(s, v)) return false;
    p = next;
  }
  return true;
}

// Positional formats: check every conversion and learn each position's type, fetch the arguments
// in order of position, then produce the text.
bool Formatter::runPositional(const UniChar* start, const UniChar* end) {
  constexpr int kInline = 32;
  ArgType inlineTypes[kInline];
  ArgValue inlineValues[kInline];
  std::vector<ArgType> moreTypes;
  std::vector<ArgValue> moreValues;
  ArgType* types = inlineTypes;
  ArgValue* values = inlineValues;

  int count = 0;
  for (int pass = 0; pass < 2; ++pass) {
    for (const UniChar* p = start; p < end;) {
      if (*p != '%') {
        ++p;
        continue;
      }
      Directive s;
      p = parseDirective(p + 1, end, s);
      if (p == nullptr) return false;
      if (s.conv == '%') continue;
      if (!s.positional()) return false;
      const std::pair<int, ArgType> uses[3] = {{s.position, s.type},
                                               {s.widthStar ? s.widthPosition : 0, ArgType::kInt},
                                               {s.precisionStar ? s.precisionPosition : 0, ArgType::kInt}};
      for (const auto& [pos, type] : uses) {
        if (pos == 0) continue;
        if (pass == 0) {
          count = std::max(count, pos);
          continue;
        }
        ArgType& slot = types[pos - 1];
        if (slot == ArgType{0xFF}) {
          slot = type;
        } else if (slot != type) {
          return false;
        }
      }
    }
    if (pass == 0) {
      if (count > kInline) {
        moreTypes.resize(static_cast<size_t>(count));
        moreValues.resize(static_cast<size_t>(count));
        types = moreTypes.data();
        values = moreValues.data();
      }
      std::fill_n(types, count, ArgType{0xFF});
    }
  }
  for (int i = 0; i < count; ++i) {
    // An unused position has no type, so nothing after it could be fetched correctly.
    if (types[i] == ArgType{0xFF}) return false;
    if (!args_.next(types[i], values[i])) return false;
  }
  for (const UniChar* p = start; p < end;) {
    const UniChar* q = p;
    while (q < end && *q != '%') ++q;
    if (!literal(p, q)) return false;
    if (q == end) break;
    Directive s;
    p = parseDirective(q + 1, end, s);
    if (s.conv == '%') {
      if (!out_.put('%')) return false;
      continue;
    }
    if (s.widthStar) applyStar(s, true, values[s.widthPosition - 1].i);
    if (s.precisionStar) applyStar(s, false, values[s.precisionPosition - 1].i);
    if (!convert(s, values[s.position - 1])) return false;
  }
  return true;
}

bool Formatter::convert(Directive& s, const ArgValue& v) {
  if (s.width > kMaxWidth) return false;
  switch (s.type) {
    case ArgType::kCString: return utf8(s, static_cast<const char*>(v.p));
    case ArgType::kUniString: return uniString(s, static_cast<const UniChar*>(v.p));
    case ArgType::kObject: return object(s, v.p);
    default: break;
  }
  // Strings only read up to their precision; for numbers it sizes the output.
  if (s.precision > kMaxWidth) return false;
  switch (s.type) {
    case ArgType::kPointer: return pointer(s, v.p);
    case ArgType::kDouble:
    case ArgType::kLongDouble: return floating(s, v);
    default: break;
  }
  if (s.conv == 'c' || s.conv == 'C') return character(s, v.i);
  return integer(s, v.i);
}

// Builds "%<flags>[*][.*]<length><conv>" for snprintf.
char* printfFormat(char* out, const Directive& s, bool width, bool precision, const char* length, char conv) {
  *out++ = '%';
  if (s.flags & kMinus) *out++ = '-';
  if (s.flags & kPlus) *out++ = '+';
  if (s.flags & kSpace) *out++ = ' ';
  if (s.flags & kHash) *out++ = '#';
  if (s.flags & kZero) *out++ = '0';
  if (s.flags & kQuote) *out++ = '\'';
  if (width) *out++ = '*';
  if (precision) *out++ = '.', *out++ = '*';
  while (*length) *out++ = *length++;
  *out++ = conv;
  *out = '\0';
  return out;
}

bool Formatter::snprintfOut(const char* fmt, int width, int precision, auto value) {
  char stackBuf[320];
  int n;
  // The '*' arguments are always passed; snprintf ignores those the format does not name.
  bool w = width >= 0, pr = precision >= 0;
  auto call = [&](char* buf, size_t size) {
    if (w && pr) return std::snprintf(buf, size, fmt, width, precision, value);
    if (w) return std::snprintf(buf, size, fmt, width, value);
    if (pr) return std::snprintf(buf, size, fmt, precision, value);
    return std::snprintf(buf, size, fmt, value);
  };
  n = call(stackBuf, sizeof stackBuf);
  if (n < 0) return false;
  if (static_cast<size_t>(n) < sizeof stackBuf) return out_.putASCII(stackBuf, static_cast<size_t>(n));
  std::unique_ptr<char[]> big(new (std::nothrow) char[static_cast<size_t>(n) + 1]);
  if (!big) return false;
  n = call(big.get(), static_cast<size_t>(n) + 1);
  return n >= 0 && out_.putASCII(big.get(), static_cast<size_t>(n));
}

// The text of plain conversions (no flags but '-', no precision) is made here, without snprintf:
// these are the conversions of nearly every log line.
bool Formatter::plain(const Directive& s, const char* text, size_t n) {
  return pad(s, n, true) && out_.putASCII(text, n) && pad(s, n, false);
}

bool Formatter::integer(const Directive& s, int64_t v) {
  bool isSigned = s.conv == 'd' || s.conv == 'i';
  if ((s.flags & ~kMinus) == 0 && s.precision < 0) {
    uint64_t m;
    bool negative = false;
    switch (s.length) {
      case Length::kHH:
        m = isSigned ? static_cast<uint64_t>(static_cast<signed char>(v)) : static_cast<unsigned char>(v);
        break;
      case Length::kH:
        m = isSigned ? static_cast<uint64_t>(static_cast<short>(v)) : static_cast<unsigned short>(v);
        break;
      case Length::kNone:
        m = isSigned ? static_cast<uint64_t>(static_cast<int>(v)) : static_cast<unsigned int>(v);
        break;
      default: m = static_cast<uint64_t>(v); break;
    }
    if (isSigned && static_cast<int64_t>(m) < 0) {
      negative = true;
      m = 0 - m;
    }
    char buf[24];
    char* end = buf + sizeof buf;
    char* p = end;
    // Constant divisors: the compiler turns them into multiplications.
    if (s.conv == 'x' || s.conv == 'X') {
      const char* digits = s.conv == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
      do *--p = digits[m & 15];
      while ((m >>= 4) != 0);
    } else if (s.conv == 'o') {
      do *--p = static_cast<char>('0' + (m & 7));
      while ((m >>= 3) != 0);
    } else {
      do *--p = static_cast<char>('0' + m % 10);
      while ((m /= 10) != 0);
    }
    if (negative) *--p = '-';
    return plain(s, p, static_cast<size_t>(end - p));
  }
  if (s.flags & kQuote) locale_.enter();
  char fmt[24];
  printfFormat(fmt, s, s.width >= 0, s.precision >= 0, "j", s.conv);
  int w = static_cast<int>(s.width), p = static_cast<int>(s.precision);
  if (isSigned) {
    intmax_t x;
    switch (s.length) {
      case Length::kHH: x = static_cast<signed char>(v); break;
      case Length::kH: x = static_cast<short>(v); break;
      case Length::kNone: x = static_cast<int>(v); break;
      default: x = v; break;
    }
    return snprintfOut(fmt, w, p, x);
  }
  uintmax_t x;
  switch (s.length) {
    case Length::kHH: x = static_cast<unsigned char>(v); break;
    case Length::kH: x = static_cast<unsigned short>(v); break;
    case Length::kNone: x = static_cast<unsigned int>(v); break;
    default: x = static_cast<uint64_t>(v); break;
  }
  return snprintfOut(fmt, w, p, x);
}

bool Formatter::floating(const Directive& s, const ArgValue& v) {
  // std::to_chars is printf in the "C" locale by definition, and needs no locale switch.
  if ((s.flags & ~kMinus) == 0 && s.type == ArgType::kDouble && s.precision <= 100 && s.conv != 'a' && s.conv != 'A') {
    std::chars_format format = s.conv == 'f' || s.conv == 'F'   ? std::chars_format::fixed
                               : s.conv == 'e' || s.conv == 'E' ? std::chars_format::scientific
                                                                : std::chars_format::general;
    char buf[448];  // 309 integer digits, a sign, a point and 100 decimals
    auto r = std::to_chars(buf, buf + sizeof buf, v.d, format, s.precision < 0 ? 6 : static_cast<int>(s.precision));
    if (r.ec == std::errc()) {
      if (s.conv == 'F' || s.conv == 'E' || s.conv == 'G') {
        for (char* c = buf; c < r.ptr; ++c) {
          if (*c >= 'a' && *c <= 'z') *c = static_cast<char>(*c - 'a' + 'A');
        }
      }
      return plain(s, buf, static_cast<size_t>(r.ptr - buf));
    }
  }
  locale_.enter();
  char fmt[24];
  bool isLong = s.type == ArgType::kLongDouble;
  printfFormat(fmt, s, s.width >= 0, s.precision >= 0, isLong ? "L" : "", s.conv);
  int w = static_cast<int>(s.width), p = static_cast<int>(s.precision);
  return isLong ? snprintfOut(fmt, w, p, v.ld) : snprintfOut(fmt, w, p, v.d);
}

bool Formatter::pointer(const Directive& s, const void* ptr) {
  if (ptr == nullptr) {
    // glibc prints "(nil)"; CoreFoundation callers expect the pointer form.
    static const UniChar kZero[] = {'0', 'x', '0'};
    Directive str = s;
    str.precision = -1;
    return units(str, kZero, 3);
  }
  char fmt[24];
  printfFormat(fmt, s, s.width >= 0, false, "", 'p');
  return snprintfOut(fmt, static_cast<int>(s.width), -1, ptr);
}

bool Formatter::pad(const Directive& s, size_t used, bool before) {
  if (s.width < 0 || static_cast<size_t>(s.width) <= used) return true;
  if (((s.flags & kMinus) != 0) == before) return true;
  return out_.fill(' ', static_cast<size_t>(s.width) - used);
}

bool Formatter::units(const Directive& s, const UniChar* u, size_t n) {
  if (s.precision >= 0 && static_cast<uint64_t>(s.precision) < n) {
    n = static_cast<size_t>(s.precision);
    // Never cut a surrogate pair in half.
    if (n > 0 && u[n - 1] >= 0xD800 && u[n - 1] <= 0xDBFF && u[n] >= 0xDC00 && u[n] <= 0xDFFF) --n;
  }
  return pad(s, n, true) && out_.put(u, n) && pad(s, n, false);
}

bool Formatter::character(const Directive& s, int64_t v) {
  UniChar u[2];
  size_t n = 1;
  if (s.conv == 'C') {
    u[0] = static_cast<UniChar>(v);  // a UniChar promoted to int
  } else if (s.length == Length::kL) {
    auto c = static_cast<uint32_t>(v);  // wint_t: a whole code point on this platform
    if (c <= 0xFFFF) {
      u[0] = static_cast<UniChar>(c);
    } else if (c <= 0x10FFFF) {
      c -= 0x10000;
      u[0] = static_cast<UniChar>(0xD800 + (c >> 10));
      u[1] = static_cast<UniChar>(0xDC00 + (c & 0x3FF));
      n = 2;
    } else {
      u[0] = 0xFFFD;
    }
  } else {
    auto b = static_cast<unsigned char>(v);
    u[0] = b < 0x80 ? b : 0xFFFD;  // a lone byte above ASCII is not UTF-8
  }
  Directive str = s;
  str.precision = -1;
  return units(str, u, n);
}

// UTF-8 bytes; each byte that does not start a valid sequence becomes U+FFFD. Width and
// precision count bytes, as printf's do; a sequence cut by the precision is dropped.
bool Formatter::utf8(const Directive& s, const char* p) {
  if (p == nullptr) p = "(null)";
  size_t n =
      s.precision >= 0 ? strnlen(p, static_cast<size_t>(std::min<int64_t>(s.precision, PTRDIFF_MAX))) : std::strlen(p);
  bool cut = s.precision >= 0 && static_cast<uint64_t>(s.precision) == n;
  if (!pad(s, n, true)) return false;
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  const auto* end = b + n;
  constexpr size_t kChunk = 128;
  UniChar tmp[kChunk];
  size_t t = 0;
  while (b < end) {
    if (t + 2 > kChunk) {
      if (!out_.put(tmp, t)) return false;
      t = 0;
    }
    unsigned c = *b;
    if (c < 0x80) {
      tmp[t++] = static_cast<UniChar>(c);
      ++b;
      continue;
    }
    size_t need = c >= 0xC2 && c <= 0xDF ? 1 : c >= 0xE0 && c <= 0xEF ? 2 : c >= 0xF0 && c <= 0xF4 ? 3 : 0;
    size_t avail = static_cast<size_t>(end - b) - 1;
    if (need != 0 && avail < need && cut) {
      bool prefix = true;
      for (size_t i = 1; i <= avail; ++i) prefix = prefix && (b[i] & 0xC0) == 0x80;
      if (prefix) break;
    }
    UniChar u[2];
    CFIndex k = need != 0 && avail >= need ? decodeUTF8(b, need + 1, u) : -1;
    if (k < 0) {
      tmp[t++] = 0xFFFD;
      ++b;
      continue;
    }
    for (CFIndex i = 0; i < k; ++i) tmp[t++] = u[i];
    b += need + 1;
  }
  return out_.put(tmp, t) && pad(s, n, false);
}

bool Formatter::uniString(const Directive& s, const UniChar* u) {
  static const UniChar kNull[] = {'(', 'n', 'u', 'l', 'l', ')'};
  if (u == nullptr) return units(s, kNull, 6);
  size_t limit = s.precision >= 0 ? static_cast<size_t>(std::min<int64_t>(s.precision, PTRDIFF_MAX)) : SIZE_MAX;
  size_t n = 0;
  while (n < limit && u[n] != 0) ++n;
  // Cut by the precision: a final lead surrogate is half a pair (its partner is out of bounds).
  if (n == limit && n > 0 && u[n - 1] >= 0xD800 && u[n - 1] <= 0xDBFF) --n;
  // Reading the very string being appended to: its storage may move while we copy.
  CFMutableStringRef target = out_.appendTarget();
  if (target != nullptr && u >= target->chars && u < target->chars + target->capacity) {
    std::u16string copy(reinterpret_cast<const char16_t*>(u), n);
    Directive str = s;
    str.precision = -1;
    return units(str, reinterpret_cast<const UniChar*>(copy.data()), n);
  }
  Directive str = s;
  str.precision = -1;
  return units(str, u, n);
}

bool Formatter::object(const Directive& s, CFTypeRef obj) {
  // Immutable strings are their own description: no copy.
  if (isType(obj, kTypeIDString) && !static_cast<CFStringRef>(obj)->isMutable()) {
    auto str = static_cast<CFStringRef>(obj);
    return units(s, str->chars, static_cast<size_t>(str->length));
  }
  CFRef<CFStringRef> desc = adopt(copyFormattingDescription(obj));
  if (!desc) return units(s, reinterpret_cast<const UniChar*>(u"(null)"), 6);
  return units(s, desc.get()->chars, static_cast<size_t>(desc.get()->length));
}

bool formatInto(Sink& sink, CFStringRef format, ArgSource& args, CFMutableStringRef target) {
  const UniChar* fmt = format->chars;
  size_t n = static_cast<size_t>(format->length);
  std::u16string copy;
  if (format == target) {  // appending a string's own format to itself
    copy.assign(reinterpret_cast<const char16_t*>(fmt), n);
    fmt = reinterpret_cast<const UniChar*>(copy.data());
  }
  Formatter f(sink, args);
  return f.run(fmt, fmt + n);
}

}  // namespace

CFStringRef createWithFormat(CFAllocatorRef alloc, CFStringRef format, ArgSource& args) {
  if (format == nullptr) return nullptr;
  Sink sink(nullptr);
  if (!formatInto(sink, format, args, nullptr)) return nullptr;
  return sink.createResult(alloc);
}

bool appendFormat(CFMutableStringRef target, CFStringRef format, ArgSource& args) {
  if (target == nullptr || format == nullptr || !target->isMutable()) return false;
  CFIndex before = target->length;
  Sink sink(target);
  if (formatInto(sink, format, args, target) && sink.flush()) return true;
  replaceUnits(target, CFRangeMake(before, target->length - before), nullptr, 0);
  return false;
}

}  // namespace qxcf::format

CFStringRef CFStringCreateWithFormatAndArguments(CFAllocatorRef alloc, CFDictionaryRef, CFStringRef format,
                                                 va_list arguments) {
  qxcf::format::VaListSource args(arguments);
  return qxcf::format::createWithFormat(alloc, format, args);
}

CFStringRef CFStringCreateWithFormat(CFAllocatorRef alloc, CFDictionaryRef formatOptions, CFStringRef format, ...) {
  va_list ap;
  va_start(ap, format);
  CFStringRef result = CFStringCreateWithFormatAndArguments(alloc, formatOptions, format, ap);
  va_end(ap);
  return result;
}

void CFStringAppendFormatAndArguments(CFMutableStringRef theString, CFDictionaryRef, CFStringRef format,
                                      va_list arguments) {
  qxcf::format::VaListSource args(arguments);
  qxcf::format::appendFormat(theString, format, args);
}

void CFStringAppendFormat(CFMutableStringRef theString, CFDictionaryRef formatOptions, CFStringRef format, ...) {
  va_list ap;
  va_start(ap, format);
  CFStringAppendFormatAndArguments(theString, formatOptions, format, ap);
  va_end(ap);
}
