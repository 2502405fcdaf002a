// Fuzzes the format engine (format text and typed arguments both from the input, fed through an
// ArgSource, never a real va_list) and the URL text functions: percent escapes added and
// replaced, and URLs parsed, resolved and edited.
//
// Input: one mode byte (0 formats, 1 URLs, 2 numbers against snprintf, modulo 3), then for formats a 16-bit format
// length, the format (bytes are units; 0xFE takes the next two bytes as one UTF-16 unit) and the argument bytes.
#include <CoreFoundation/CoreFoundation.h>

#include "CFFormatInternal.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

using qxcf::format::ArgSource;
using qxcf::format::ArgType;
using qxcf::format::ArgValue;

class Bytes {
 public:
  Bytes(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  bool take(void* out, size_t k) {
    if (k > n_) return false;
    std::memcpy(out, p_, k);
    p_ += k;
    n_ -= k;
    return true;
  }
  bool byte(uint8_t& b) { return take(&b, 1); }
  size_t left() const { return n_; }

 private:
  const uint8_t* p_;
  size_t n_;
};

// Arguments made from fuzz bytes, each valid for what its conversion will read.
class FuzzArgs final : public ArgSource {
 public:
  explicit FuzzArgs(Bytes bytes) : in_(bytes) {}
  ~FuzzArgs() {
    for (CFTypeRef o : objects_) CFRelease(o);
  }
  FuzzArgs(const FuzzArgs&) = delete;
  FuzzArgs& operator=(const FuzzArgs&) = delete;

  bool next(ArgType type, ArgValue& out) override {
    switch (type) {
      case ArgType::kInt: {
        int32_t v;
        if (!in_.take(&v, 4)) return false;
        out.i = v;
        return true;
      }
      case ArgType::kLong:
      case ArgType::kLongLong:
      case ArgType::kIntMax:
      case ArgType::kSize:
      case ArgType::kPtrDiff: return in_.take(&out.i, 8);
      case ArgType::kDouble: return in_.take(&out.d, 8);
      case ArgType::kLongDouble: {
        double d;
        if (!in_.take(&d, 8)) return false;
        out.ld = static_cast<long double>(d) * 1e300L;  // reaches beyond double's range
        return true;
      }
      case ArgType::kPointer: {
        uintptr_t v;
        if (!in_.take(&v, sizeof v)) return false;
        out.p = reinterpret_cast<const void*>(v);
        return true;
      }
      case ArgType::kCString: {
        uint8_t len;
        if (!in_.byte(len)) return false;
        if (len == 0xFF) {
          out.p = nullptr;
          return true;
        }
        std::string& s = strings_.emplace_back(len, '\0');
        if (!in_.take(s.data(), len)) return false;
        out.p = s.c_str();
        return true;
      }
      case ArgType::kUniString: {
        uint8_t len;
        if (!in_.byte(len)) return false;
        if (len == 0xFF) {
          out.p = nullptr;
          return true;
        }
        std::u16string& s = uniStrings_.emplace_back(len, u'\0');
        if (!in_.take(s.data(), len * 2u)) return false;
        out.p = s.c_str();
        return true;
      }
      case ArgType::kObject: return object(out);
    }
    return false;
  }

 private:
  bool object(ArgValue& out) {
    uint8_t kind, len;
    if (!in_.byte(kind) || !in_.byte(len)) return false;
    std::string text(len % 32, '\0');
    if (!in_.take(text.data(), text.size())) return false;
    CFTypeRef o = nullptr;
    switch (kind % 8) {
      case 0: break;
      case 1:
        o = CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(text.data()),
                                    static_cast<CFIndex>(text.size()), kCFStringEncodingISOLatin1, false);
        break;
      case 2: {
        CFMutableStringRef m = CFStringCreateMutable(nullptr, 0);
        CFStringAppendCString(m, "mutable ", kCFStringEncodingUTF8);
        o = m;
        break;
      }
      case 3: {
        int64_t v = len;
        o = CFNumberCreate(nullptr, kCFNumberSInt64Type, &v);
        break;
      }
      case 4: {
        double v = len / 8.0;
        o = CFNumberCreate(nullptr, kCFNumberDoubleType, &v);
        break;
      }
      case 5: o = CFRetain(len & 1 ? kCFBooleanTrue : kCFBooleanFalse); break;
      case 6: {
        CFStringRef s = CFStringCreateWithCString(nullptr, "file:///tmp/a%20b", kCFStringEncodingUTF8);
        o = CFURLCreateWithString(nullptr, s, nullptr);
        CFRelease(s);
        break;
      }
      default: {
        const void* values[] = {kCFBooleanTrue, CFSTR("x")};
        o = CFArrayCreate(nullptr, values, 2, &kCFTypeArrayCallBacks);
        break;
      }
    }
    if (o != nullptr) objects_.push_back(o);
    out.p = o;
    return true;
  }

  Bytes in_;
  std::deque<std::string> strings_;
  std::deque<std::u16string> uniStrings_;
  std::vector<CFTypeRef> objects_;
};

std::u16string contents(CFStringRef s) {
  std::u16string u(static_cast<size_t>(CFStringGetLength(s)), u'\0');
  CFStringGetCharacters(s, CFRangeMake(0, CFStringGetLength(s)), reinterpret_cast<UniChar*>(u.data()));
  return u;
}

// Text from the fuzz bytes: each byte is one unit, except 0xFE, which takes the next two bytes as
// a unit of its own (so surrogates and non-ASCII reach the code under test).
CFStringRef takeText(Bytes& in, size_t maxUnits) {
  std::u16string units;
  uint8_t b;
  while (units.size() < maxUnits && in.byte(b)) {
    if (b == 0xFE) {
      uint16_t u;
      if (!in.take(&u, 2)) break;
      units.push_back(static_cast<char16_t>(u));
    } else {
      units.push_back(static_cast<char16_t>(b));
    }
  }
  return CFStringCreateWithCharacters(nullptr, reinterpret_cast<const UniChar*>(units.data()),
                                      static_cast<CFIndex>(units.size()));
}

void fuzzFormat(Bytes in) {
  uint16_t formatLen;
  if (!in.take(&formatLen, 2)) return;
  CFStringRef format = takeText(in, formatLen % 512);
  FuzzArgs args(in);
  CFStringRef created = qxcf::format::createWithFormat(nullptr, format, args);

  // The same arguments appended to a string must give the same text, or leave it untouched.
  CFMutableStringRef m = CFStringCreateMutable(nullptr, 0);
  CFStringAppendCString(m, "prefix", kCFStringEncodingUTF8);
  FuzzArgs again(in);
  bool appended = qxcf::format::appendFormat(m, format, again);
  if (appended != (created != nullptr)) std::abort();
  std::u16string all = contents(m);
  if (created != nullptr) {
    if (all != u"prefix" + contents(created)) std::abort();
    CFRelease(created);
  } else if (all != u"prefix") {
    std::abort();
  }
  CFRelease(m);
  CFRelease(format);
}

void exerciseURL(CFURLRef u) {
  CFURLRef base = CFURLCreateWithString(nullptr, CFSTR("http://a/b/c/d;p?q"), nullptr);
  CFStringRef text = CFURLGetString(u);
  CFURLRef rel = CFURLCreateWithString(nullptr, text, base);
  CFTypeRef results[] = {
      CFURLCopyAbsoluteURL(rel),
      CFURLCopyScheme(u),
      CFURLCopyPath(u),
      CFURLCopyHostName(rel),
      CFURLCopyQueryString(u, CFSTR("")),
      CFURLCopyFragment(u, CFSTR("&")),
      CFURLCopyLastPathComponent(rel),
      CFURLCopyPathExtension(u),
      CFURLCopyFileSystemPath(u, kCFURLPOSIXPathStyle),
      CFURLCreateCopyAppendingPathComponent(nullptr, rel, CFSTR("x y"), true),
      CFURLCreateCopyDeletingLastPathComponent(nullptr, rel),
      CFURLCreateCopyAppendingPathExtension(nullptr, u, CFSTR("e")),
      CFURLCreateCopyDeletingPathExtension(nullptr, u),
      CFCopyDescription(rel),
  };
  for (CFTypeRef r : results) {
    if (r != nullptr) CFRelease(r);
  }
  (void)CFURLGetPortNumber(u);
  (void)CFURLHasDirectoryPath(rel);
  (void)CFURLCanBeDecomposed(u);
  UInt8 buf[256];
  (void)CFURLGetFileSystemRepresentation(rel, true, buf, sizeof buf);
  if (!CFEqual(u, u) || CFHash(u) != CFHash(u)) std::abort();
  CFRelease(rel);
  CFRelease(base);
}

void fuzzURL(Bytes in) {
  uint8_t sets;
  if (!in.byte(sets)) return;
  CFStringRef s = takeText(in, SIZE_MAX);
  CFStringRef leave = sets & 1 ? CFSTR(" %") : nullptr;
  CFStringRef escapeToo = sets & 2 ? CFSTR("/?&=") : nullptr;
  CFStringRef escaped = CFURLCreateStringByAddingPercentEscapes(nullptr, s, leave, escapeToo, kCFStringEncodingUTF8);
  if (escaped != nullptr) {
    // Whatever was escaped comes back exactly.
    if (leave == nullptr) {
      CFStringRef back = CFURLCreateStringByReplacingPercentEscapes(nullptr, escaped, CFSTR(""));
      if (back == nullptr || !CFEqual(back, s)) std::abort();
      CFRelease(back);
    }
    CFURLRef u = CFURLCreateWithString(nullptr, escaped, nullptr);
    if (u != nullptr) {
      exerciseURL(u);
      CFRelease(u);
    }
    CFRelease(escaped);
  }
  CFStringRef leaveEscaped = sets & 4 ? CFSTR("") : sets & 8 ? CFSTR("/é") : nullptr;
  CFStringRef replaced = CFURLCreateStringByReplacingPercentEscapesUsingEncoding(
      nullptr, s, leaveEscaped, sets & 16 ? kCFStringEncodingISOLatin1 : kCFStringEncodingUTF8);
  if (replaced != nullptr) CFRelease(replaced);
  CFURLRef u = CFURLCreateWithString(nullptr, s, nullptr);
  if (u != nullptr) {
    exerciseURL(u);
    CFRelease(u);
  }
  CFURLRef p = CFURLCreateWithFileSystemPath(nullptr, s, kCFURLPOSIXPathStyle, sets & 32);
  if (p != nullptr) {
    CFStringRef path = CFURLCopyFileSystemPath(p, kCFURLPOSIXPathStyle);
    if (path != nullptr) CFRelease(path);
    exerciseURL(p);
    CFRelease(p);
  }
  CFRelease(s);
}

// Numeric conversions against snprintf (in the C locale, as the engine promises): the engine
// makes plain conversions itself, so the two must never drift apart.
void fuzzNumeric(Bytes in) {
  uint8_t conv, flags, width, precision;
  int64_t bits;
  if (!in.byte(conv) || !in.byte(flags) || !in.byte(width) || !in.byte(precision) || !in.take(&bits, 8)) return;
  static const char kConversions[] = "dixXoufFeEgGaA";
  char c = kConversions[conv % (sizeof kConversions - 1)];
  char directive[32];
  char* p = directive;
  *p++ = '%';
  for (int i = 0; i < 5; ++i) {
    if (flags & (1 << i)) *p++ = "-+ #0"[i];
  }
  if (flags & 0x20) p += std::snprintf(p, 5, "%u", width);
  if (flags & 0x40) p += std::snprintf(p, 6, ".%u", precision % 120);
  bool isFloat = std::strchr("fFeEgGaA", c) != nullptr;
  if (!isFloat) *p++ = 'l', *p++ = 'l';
  *p++ = c;
  *p = '\0';
  char expected[1024];
  double d;
  std::memcpy(&d, &bits, sizeof d);
  long long ll = bits;
  if (isFloat) {
    std::snprintf(expected, sizeof expected, directive, d);
  } else {
    std::snprintf(expected, sizeof expected, directive, ll);
  }
  CFStringRef format = CFStringCreateWithCString(nullptr, directive, kCFStringEncodingASCII);
  CFStringRef ours = isFloat ? CFStringCreateWithFormat(nullptr, nullptr, format, d)
                             : CFStringCreateWithFormat(nullptr, nullptr, format, ll);
  if (ours == nullptr) std::abort();
  std::u16string got = contents(ours);
  std::u16string want(expected, expected + std::strlen(expected));
  if (got != want) std::abort();
  CFRelease(ours);
  CFRelease(format);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  Bytes in(data + 1, size - 1);
  switch (data[0] % 3) {
    case 0: fuzzFormat(in); break;
    case 1: fuzzURL(in); break;
    default: fuzzNumeric(in); break;
  }
  return 0;
}
