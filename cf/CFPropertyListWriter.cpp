// The XML property-list writer. It produces the bytes Apple's writer produces, straight into one
// std::string: the header and DOCTYPE, tab indentation, dictionary keys sorted by UTF-16 code
// unit, only & < > escaped, empty containers as <dict/> and <array/>.
//
// Choices where the format leaves room:
// - <real> uses the shortest text that reads back to the same double (std::to_chars), so 0.1 is
//   "0.1" where Apple writes 17 significant digits; non-finite values are "nan", "+infinity" and
//   "-infinity", which Apple's reader and Python's float() both accept.
// - <data> is written the way Apple's writer lays it out (and plistlib copies): "<data>" on its own
//   line, the base64 in lines at the same indentation as the tag, each line at most
//   76 - 8 * indentation characters (never fewer than 16) rounded down to whole 4-character groups,
//   then "</data>" on its own line; empty data is "<data>\n</data>".
// - <date> is the GMT time truncated to whole seconds, "YYYY-MM-DDTHH:MM:SSZ"; years outside
//   0…9999 as "%04d" prints them ("-001", "10000"), which our reader takes back.
// - A string containing U+0000 cannot be written as XML at all and fails the whole document; a
//   lone surrogate is written as U+FFFD. Other control characters are written as they are, as
//   Apple does.
#include "CFBase64.h"
#include "CFPropertyListInternal.h"
#include "CFRuntime.h"
#include "CFStringInternal.h"

#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFData.h>
#include <CoreFoundation/CFDate.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFNumber.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

namespace qxcf {
namespace {

constexpr std::string_view kHeader =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";
constexpr std::string_view kFooter = "</plist>\n";

// Days since 1970-01-01 to a proleptic Gregorian date (Howard Hinnant's algorithm).
void civilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

// v in at least `width` characters, zero-padded after any sign, as printf's "%0*d" has it
// ("-001" for -1 in four), which is how Apple writes years before 1.
void appendPadded(std::string& out, int64_t v, int width) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v < 0 ? -v : v);
  (void)ec;
  if (v < 0) out.push_back('-');
  for (int pad = width - static_cast<int>(end - buf) - (v < 0); pad > 0; --pad) out.push_back('0');
  out.append(buf, end);
}

class Writer {
 public:
  Writer(std::string& out, std::string& error) : out_(out), error_(error) {}

  bool write(CFTypeRef v, size_t indent) {
    if (v == nullptr) return fail("property list contains a NULL value");
    switch (typeOf(v)) {
      case kTypeIDString:
        tabs(indent);
        out_.append("<string>");
        if (!appendEscaped(static_cast<CFStringRef>(v))) return false;
        out_.append("</string>\n");
        return true;
      case kTypeIDNumber: tabs(indent); return appendNumber(static_cast<CFNumberRef>(v));
      case kTypeIDBoolean:
        tabs(indent);
        out_.append(CFBooleanGetValue(static_cast<CFBooleanRef>(v)) ? "<true/>\n" : "<false/>\n");
        return true;
      case kTypeIDDate: tabs(indent); return appendDate(CFDateGetAbsoluteTime(static_cast<CFDateRef>(v)));
      case kTypeIDData: {
        auto data = static_cast<CFDataRef>(v);
        tabs(indent);
        out_.append("<data>\n");
        size_t width = 76 > 8 * indent + 16 ? 76 - 8 * indent : 16;
        base64EncodeLines(CFDataGetBytePtr(data), static_cast<size_t>(CFDataGetLength(data)), width, indent, out_);
        tabs(indent);
        out_.append("</data>\n");
        return true;
      }
      case kTypeIDArray: return writeArray(static_cast<CFArrayRef>(v), indent);
      case kTypeIDDictionary: return writeDictionary(static_cast<CFDictionaryRef>(v), indent);
      default: {
        std::string name = base(v)->isa->name != nullptr ? base(v)->isa->name : "unknown";
        return fail("property lists cannot contain objects of type '" + name + "'");
      }
    }
  }

 private:
  bool fail(std::string message) {
    error_ = std::move(message);
    return false;
  }
  void tabs(size_t n) { out_.append(n, '\t'); }

  // Scratch vectors per nesting level, reused across containers to avoid an allocation each.
  std::vector<const void*>& scratch(size_t level) {
    if (scratch_.size() <= level) scratch_.resize(level + 1);
    return scratch_[level];
  }

  bool enter(size_t indent) {
    if (indent >= static_cast<size_t>(kMaxPropertyListDepth)) {
      return fail("property list nested deeper than 512 levels (or a container contains itself)");
    }
    return true;
  }

  bool writeArray(CFArrayRef array, size_t indent) {
    if (!enter(indent)) return false;
    CFIndex n = CFArrayGetCount(array);
    tabs(indent);
    if (n == 0) {
      out_.append("<array/>\n");
      return true;
    }
    out_.append("<array>\n");
    auto& items = scratch(indent);
    items.resize(static_cast<size_t>(n));
    CFArrayGetValues(array, CFRangeMake(0, n), items.data());
    for (CFIndex i = 0; i < n; ++i) {
      // items may be reallocated by deeper levels only through scratch(level > indent): safe.
      if (!write(scratch_[indent][static_cast<size_t>(i)], indent + 1)) return false;
    }
    tabs(indent);
    out_.append("</array>\n");
    return true;
  }

  bool writeDictionary(CFDictionaryRef dict, size_t indent) {
    if (!enter(indent)) return false;
    CFIndex n = CFDictionaryGetCount(dict);
    tabs(indent);
    if (n == 0) {
      out_.append("<dict/>\n");
      return true;
    }
    out_.append("<dict>\n");
    // Keys then values in one scratch vector; the sort permutes an index vector.
    auto& kv = scratch(indent);
    kv.resize(static_cast<size_t>(2 * n));
    CFDictionaryGetKeysAndValues(dict, kv.data(), kv.data() + n);
    for (CFIndex i = 0; i < n; ++i) {
      if (!isType(kv[static_cast<size_t>(i)], kTypeIDString)) return fail("dictionary keys must be strings");
    }
    if (orders_.size() <= indent) orders_.resize(indent + 1);
    auto& order = orders_[indent];
    order.resize(static_cast<size_t>(n));
    for (CFIndex i = 0; i < n; ++i) order[static_cast<size_t>(i)] = static_cast<uint32_t>(i);
    const void* const* keys = kv.data();
    std::sort(order.begin(), order.end(), [keys](uint32_t a, uint32_t b) {
      return chars(static_cast<CFStringRef>(keys[a])) < chars(static_cast<CFStringRef>(keys[b]));
    });
    for (CFIndex i = 0; i < n; ++i) {
      uint32_t at = orders_[indent][static_cast<size_t>(i)];
      tabs(indent + 1);
      out_.append("<key>");
      if (!appendEscaped(static_cast<CFStringRef>(scratch_[indent][at]))) return false;
      out_.append("</key>\n");
      if (!write(scratch_[indent][static_cast<size_t>(n) + at], indent + 1)) return false;
    }
    tabs(indent);
    out_.append("</dict>\n");
    return true;
  }

  // UTF-16 to UTF-8 with & < > escaped; the exact size first, so the bytes go straight in place.
  bool appendEscaped(CFStringRef s) {
    std::u16string_view u = chars(s);
    size_t size = 0;
    for (size_t i = 0; i < u.size(); ++i) {
      char16_t c = u[i];
      if (c < 0x80) {
        if (c == '&') {
          size += 5;
        } else if (c == '<' || c == '>') {
          size += 4;
        } else if (c == 0) {
          return fail("strings containing U+0000 cannot be written as XML");
        } else {
          size += 1;
        }
      } else if (c < 0x800) {
        size += 2;
      } else if (qxcf::isHighSurrogate(u[i]) && i + 1 < u.size() && qxcf::isLowSurrogate(u[i + 1])) {
        size += 4;
        ++i;
      } else {
        size += 3;  // BMP character, or a lone surrogate written as U+FFFD
      }
    }
    size_t start = out_.size();
    out_.resize(start + size);
    char* p = out_.data() + start;
    for (size_t i = 0; i < u.size(); ++i) {
      uint32_t c = u[i];
      if (c < 0x80) {
        if (c == '&') {
          std::memcpy(p, "&amp;", 5);
          p += 5;
        } else if (c == '<') {
          std::memcpy(p, "&lt;", 4);
          p += 4;
        } else if (c == '>') {
          std::memcpy(p, "&gt;", 4);
          p += 4;
        } else {
          *p++ = static_cast<char>(c);
        }
        continue;
      }
      if (c >= 0xD800 && c < 0xE000) {
        if (c < 0xDC00 && i + 1 < u.size() && qxcf::isLowSurrogate(u[i + 1])) {
          c = qxcf::combineSurrogates(c, u[++i]);
        } else {
          c = 0xFFFD;
        }
      }
      p += qxcf::encodeUTF8(c, p);
    }
    return true;
  }

  bool appendNumber(CFNumberRef n) {
    char buf[48];
    if (CFNumberIsFloatType(n)) {
      double d = 0;
      CFNumberGetValue(n, kCFNumberFloat64Type, &d);
      out_.append("<real>");
      if (std::isnan(d)) {
        out_.append("nan");
      } else if (std::isinf(d)) {
        out_.append(d > 0 ? "+infinity" : "-infinity");
      } else {
        auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
        (void)ec;
        out_.append(buf, end);
      }
      out_.append("</real>\n");
      return true;
    }
    char* end;
    if (CFNumberGetType(n) == kNumberSInt128Type) {
      SInt128Value v{};
      CFNumberGetValue(n, kNumberSInt128Type, &v);
      if (v.high == 0) {
        end = std::to_chars(buf, buf + sizeof buf, v.low).ptr;
      } else if (v.high == -1 && v.low >= (uint64_t{1} << 63)) {
        end = std::to_chars(buf, buf + sizeof buf, static_cast<int64_t>(v.low)).ptr;
      } else {
        return fail("integer does not fit in 64 bits");
      }
    } else {
      int64_t v = 0;
      CFNumberGetValue(n, kCFNumberSInt64Type, &v);
      end = std::to_chars(buf, buf + sizeof buf, v).ptr;
    }
    out_.append("<integer>");
    out_.append(buf, end);
    out_.append("</integer>\n");
    return true;
  }

  bool appendDate(CFAbsoluteTime at) {
    // Beyond about ±3 million years the calendar arithmetic below would overflow.
    if (!(std::fabs(at) < 1e14)) return fail("date out of range");
    int64_t secs = static_cast<int64_t>(std::floor(at)) + 978307200;  // seconds since 1970
    int64_t days = secs >= 0 ? secs / 86400 : -((-secs + 86399) / 86400);
    int64_t rem = secs - days * 86400;
    int64_t y;
    unsigned m, d;
    civilFromDays(days, y, m, d);
    out_.append("<date>");
    appendPadded(out_, y, 4);
    out_.push_back('-');
    appendPadded(out_, m, 2);
    out_.push_back('-');
    appendPadded(out_, d, 2);
    out_.push_back('T');
    appendPadded(out_, rem / 3600, 2);
    out_.push_back(':');
    appendPadded(out_, rem / 60 % 60, 2);
    out_.push_back(':');
    appendPadded(out_, rem % 60, 2);
    out_.append("Z</date>\n");
    return true;
  }

  std::string& out_;
  std::string& error_;
  std::vector<std::vector<const void*>> scratch_;
  std::vector<std::vector<uint32_t>> orders_;
};

}  // namespace

bool writeXMLPropertyList(CFPropertyListRef plist, std::string& out, std::string& error) {
  out.append(kHeader);
  Writer writer(out, error);
  if (!writer.write(plist, 0)) return false;
  out.append(kFooter);
  return true;
}

}  // namespace qxcf
