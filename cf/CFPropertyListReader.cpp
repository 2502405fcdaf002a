// The XML property-list reader.
//
// The input is untrusted. The raw bytes are checked for valid UTF-8 (and NUL) before pugixml sees
// them; pugixml then builds the element tree without expanding anything: character references and
// the five predefined entities are decoded here, any other entity reference is an error, and a
// DOCTYPE with an internal subset (the only place entities can be defined) is refused outright.
// The tree is walked with an explicit stack, so nesting costs heap, not C++ stack, and is capped at
// 512 containers. Line ends are kept as they are, as Apple's reader keeps them, so a string with a
// carriage return reads back unchanged.
//
// Dictionary keys, and short strings unless the leaves are to be mutable, are interned for the
// duration of one parse: presets repeat the same few dozen keys and values thousands of times, and
// one shared string each saves an allocation and a UTF-8 decode. Duplicate keys keep the position
// of the first and the value of the last, as Apple's reader (which sets values one by one) does.
//
// Whitespace-only text is kept when it is all an element holds (<string> </string>); pugixml drops
// whitespace-only runs that sit beside a comment or CDATA section inside a <string>, which neither
// Apple's writer nor plistlib ever produces. Keeping every whitespace run would cost a third more
// time on every document for that case alone.
#include "CFBase64.h"
#include "CFPropertyListInternal.h"
#include "CFRef.h"
#include "CFRuntime.h"
#include "CFStringInternal.h"

#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFData.h>
#include <CoreFoundation/CFDate.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFNumber.h>

#include <pugixml.hpp>

#include <locale.h>
#include <strings.h>
#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qxcf {
namespace {

// At most 40 bytes of offending text for a message, never cutting a UTF-8 sequence in half (the
// message must stay valid UTF-8 to become an error string).
std::string excerpt(std::string_view text) {
  size_t n = std::min<size_t>(text.size(), 40);
  while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return std::string(text.substr(0, n));
}


inline bool isXMLSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && isXMLSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && isXMLSpace(s.back())) s.remove_suffix(1);
  return s;
}

// Tag names are compared inline: a call to strcmp per element shows up in profiles.
template <size_t N>
inline bool nameIs(const char* name, const char (&literal)[N]) {
  for (size_t i = 0; i < N; ++i) {
    if (name[i] != literal[i]) return false;  // stops at the name's NUL at the latest
  }
  return true;
}

bool isAllSpace(const char* s) {
  for (; *s != 0; ++s) {
    if (!isXMLSpace(*s)) return false;
  }
  return true;
}

// Offset of the first byte that is not valid UTF-8 or is NUL, or count when all are fine.
size_t findInvalidUTF8(const unsigned char* s, size_t count) {
  size_t i = 0;
  while (i < count) {
    // Eight ASCII bytes at a time while there is no high bit and no zero byte.
    while (i + 8 <= count) {
      uint64_t w;
      std::memcpy(&w, s + i, 8);
      constexpr uint64_t kLow = 0x0101010101010101ULL, kHigh = 0x8080808080808080ULL;
      if (((w | ((w - kLow) & ~w)) & kHigh) != 0) break;
      i += 8;
    }
    if (i >= count) break;
    unsigned c = s[i];
    if (c == 0) return i;
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t need;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      cp = c & 0x07;
    } else {
      return i;
    }
    if (count - i <= need) return i;
    for (size_t k = 1; k <= need; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return i;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if ((need == 2 && (cp < 0x800 || (cp >= 0xD800 && cp < 0xE000))) ||
        (need == 3 && (cp < 0x10000 || cp > 0x10FFFF))) {
      return i;
    }
    i += need + 1;
  }
  return count;
}

int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

locale_t cLocale() {
  static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return loc;
}

// Strings up to this many bytes are interned.
constexpr size_t kInternLimit = 48;

struct KeyEntry {
  CFStringRef string = nullptr;
  uint32_t stamp = 0;  // the dictionary being closed when this key was last seen
  uint32_t index = 0;  // its slot in that dictionary
};

struct Item {
  KeyEntry* key;  // dictionaries only
  CFTypeRef value;
};

enum class Kind : uint8_t { kArray, kDict };

struct Frame {
  pugi::xml_node node;
  pugi::xml_node next;  // the next child to look at
  Kind kind;
  size_t start;  // first of this container's items
  KeyEntry* pendingKey = nullptr;
};

class Reader {
 public:
  Reader(CFAllocatorRef alloc, CFOptionFlags mutability, const char* text, size_t count, std::string& error)
      : alloc_(alloc), mutability_(mutability), text_(text), count_(count), error_(error) {}

  ~Reader() {
    for (Item& item : items_) CFRelease(item.value);
    for (auto& [name, entry] : keys_) CFRelease(entry.string);
  }

  CFPropertyListRef parse() {
    // Fragment mode keeps text outside the root element visible, so junk there can be refused.
    unsigned options = pugi::parse_cdata | pugi::parse_doctype | pugi::parse_declaration |
                       pugi::parse_ws_pcdata_single | pugi::parse_fragment;
    pugi::xml_parse_result result = doc_.load_buffer(text_, count_, options, pugi::encoding_utf8);
    if (!result) {
      if (result.status == pugi::status_out_of_memory) return failAt("out of memory", -1);
      return failAt(std::string("malformed XML (") + result.description() + ")", result.offset);
    }
    pugi::xml_node root;
    for (pugi::xml_node n = doc_.first_child(); n; n = n.next_sibling()) {
      switch (n.type()) {
        case pugi::node_declaration: {
          pugi::xml_attribute enc = n.attribute("encoding");
          if (enc && strcasecmp(enc.value(), "UTF-8") != 0 && strcasecmp(enc.value(), "US-ASCII") != 0) {
            return fail(std::string("unsupported encoding \"") + enc.value() + "\"", n);
          }
          break;
        }
        case pugi::node_doctype:
          if (std::strchr(n.value(), '[') != nullptr) {
            return fail("DOCTYPE with an internal subset (entity definitions) is not allowed", n);
          }
          break;
        case pugi::node_element:
          if (root) return fail("more than one top-level element", n);
          root = n;
          break;
        case pugi::node_pcdata:
          if (!isAllSpace(n.value())) return fail("text outside the root element", n);
          break;
        case pugi::node_cdata: return fail("CDATA outside the root element", n);
        default: break;
      }
    }
    if (!root) return failAt("no property list found", -1);
    pugi::xml_node value = root;
    if (nameIs(root.name(), "plist")) {
      value = pugi::xml_node();
      for (pugi::xml_node n = root.first_child(); n; n = n.next_sibling()) {
        if (!skippable(n)) {
          if (n.type() != pugi::node_element) return fail("unexpected text inside <plist>", n);
          if (value) return fail("more than one value inside <plist>", n);
          value = n;
        }
      }
      if (!value) return fail("empty <plist>", root);
    }
    return walk(value);
  }

 private:
  // --- errors -------------------------------------------------------------------------------
  size_t lineAt(ptrdiff_t offset) const {
    if (offset < 0) return 0;
    size_t end = std::min(static_cast<size_t>(offset), count_);
    size_t line = 1;
    for (const char* p = text_; (p = static_cast<const char*>(std::memchr(p, '\n', text_ + end - p))) != nullptr; ++p) {
      ++line;
    }
    return line;
  }
  std::nullptr_t failAt(std::string message, ptrdiff_t offset) {
    if (!errorSet_) {
      size_t line = lineAt(offset);
      error_ = line > 0 ? message + " on line " + std::to_string(line) : std::move(message);
      errorSet_ = true;
    }
    return nullptr;
  }
  std::nullptr_t fail(std::string message, pugi::xml_node at) { return failAt(std::move(message), at.offset_debug()); }
  std::nullptr_t failTag(const char* what, pugi::xml_node at) {
    return fail(std::string(what) + " <" + at.name() + ">", at);
  }

  // Whitespace text and anything that carries no value (comments, processing instructions).
  bool skippable(pugi::xml_node n) {
    switch (n.type()) {
      case pugi::node_element: return false;
      case pugi::node_pcdata:
      case pugi::node_cdata: return isAllSpace(n.value());
      default: return true;
    }
  }

  // --- text ---------------------------------------------------------------------------------
  // Decodes references in raw, appending to out. False (error set) on an unknown or bad reference.
  bool decodeInto(const char* raw, std::string& out, pugi::xml_node at) {
    const char* p = raw;
    for (;;) {
      const char* amp = std::strchr(p, '&');
      if (amp == nullptr) {
        out.append(p);
        return true;
      }
      out.append(p, amp);
      const char* semi = amp + 1;
      while (*semi != 0 && *semi != ';' && semi - amp < 12) ++semi;
      if (*semi != ';') return fail("unterminated or unknown entity reference", at), false;
      std::string_view name(amp + 1, static_cast<size_t>(semi - amp - 1));
      if (name == "amp") {
        out.push_back('&');
      } else if (name == "lt") {
        out.push_back('<');
      } else if (name == "gt") {
        out.push_back('>');
      } else if (name == "quot") {
        out.push_back('"');
      } else if (name == "apos") {
        out.push_back('\'');
      } else if (name.size() >= 2 && name[0] == '#') {
        int base = 10;
        std::string_view digits = name.substr(1);
        if (digits[0] == 'x') {
          base = 16;
          digits.remove_prefix(1);
        }
        uint32_t cp = 0;
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), cp, base);
        if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || cp == 0 || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp < 0xE000)) {
          return fail("invalid character reference &" + std::string(name) + ";", at), false;
        }
        qxcf::appendCodePointUTF8(out, cp);
      } else {
        return fail("unknown entity &" + std::string(name) + ";", at), false;
      }
      p = semi + 1;
    }
  }

  // The text content of a leaf element: a view into the tree when it needs no decoding, else into
  // scratch_. False (error set) when the element holds another element or a bad reference.
  bool textOf(pugi::xml_node el, std::string_view& out) {
    pugi::xml_node first = el.first_child();
    if (!first) {
      out = {};
      return true;
    }
    if (first.type() == pugi::node_pcdata && !first.next_sibling()) {
      const char* raw = first.value();
      size_t length = std::strlen(raw);
      if (std::memchr(raw, '&', length) == nullptr) {
        out = std::string_view(raw, length);
        return true;
      }
    }
    scratch_.clear();
    for (pugi::xml_node n = first; n; n = n.next_sibling()) {
      switch (n.type()) {
        case pugi::node_pcdata:
          if (!decodeInto(n.value(), scratch_, n)) return false;
          break;
        case pugi::node_cdata: scratch_.append(n.value()); break;
        case pugi::node_element:
          return failTag((std::string("unexpected element inside <") + el.name() + ">:").c_str(), n), false;
        default: break;
      }
    }
    out = scratch_;
    return true;
  }

  // --- leaves -------------------------------------------------------------------------------
  CFTypeRef makeString(std::string_view s, pugi::xml_node el) {
    if (mutability_ & kCFPropertyListMutableContainersAndLeaves) {
      CFMutableStringRef m = createMutableString(alloc_, static_cast<CFIndex>(s.size() > 0 ? s.size() : 1));
      if (m != nullptr && !appendUTF8(m, s)) {
        CFRelease(m);
        m = nullptr;
      }
      return m;
    }
    // Short immutable values repeat (tags, blend modes, names): share them like keys.
    if (s.size() <= kInternLimit) {
      KeyEntry* e = intern(s, el);
      return e != nullptr ? CFRetain(e->string) : nullptr;
    }
    return createStringUTF8(alloc_, s.data(), s.size());
  }

  // The one string for this text during this parse (NULL with the error set on failure).
  KeyEntry* intern(std::string_view text, pugi::xml_node el) {
    auto it = keys_.find(text);
    if (it != keys_.end()) return &it->second;
    if (text.data() == scratch_.data()) text = decodedKeys_.emplace_back(scratch_);
    CFStringRef s = createStringUTF8(alloc_, text.data(), text.size());
    if (s == nullptr) return fail("invalid text", el), nullptr;
    KeyEntry& e = keys_[text];
    e.string = s;
    return &e;
  }

  KeyEntry* internKey(pugi::xml_node el) {
    std::string_view text;
    if (!textOf(el, text)) return nullptr;
    return intern(text, el);
  }

  CFTypeRef parseInteger(pugi::xml_node el) {
    std::string_view text;
    if (!textOf(el, text)) return nullptr;
    std::string_view s = trim(text);
    bool negative = false;
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
      negative = s[0] == '-';
      s.remove_prefix(1);
    }
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
      base = 16;
      s.remove_prefix(2);
    }
    uint64_t magnitude = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), magnitude, base);
    if (s.empty() || end != s.data() + s.size() || (ec != std::errc() && ec != std::errc::result_out_of_range)) {
      return fail("malformed <integer> \"" + excerpt(text) + "\"", el);
    }
    if (ec == std::errc::result_out_of_range || (negative && magnitude > (uint64_t{1} << 63))) {
      return fail("<integer> out of 64-bit range", el);
    }
    if (!negative && magnitude > static_cast<uint64_t>(INT64_MAX)) {
      // Only a 128-bit CFNumber can hold this; without one, refusing beats a silently wrong value.
      SInt128Value wide{0, magnitude};
      CFNumberRef n = CFNumberCreate(alloc_, kNumberSInt128Type, &wide);
      if (n == nullptr) return fail("<integer> above INT64_MAX cannot be represented", el);
      return n;
    }
    int64_t v = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return CFNumberCreate(alloc_, kCFNumberSInt64Type, &v);
  }

  CFTypeRef parseReal(pugi::xml_node el) {
    std::string_view text;
    if (!textOf(el, text)) return nullptr;
    std::string_view s = trim(text);
    bool negative = false;
    std::string_view body = s;
    if (!body.empty() && (body[0] == '-' || body[0] == '+')) {
      negative = body[0] == '-';
      body.remove_prefix(1);
    }
    double d = 0;
    auto lowerEquals = [](std::string_view a, std::string_view lower) {
      if (a.size() != lower.size()) return false;
      for (size_t i = 0; i < a.size(); ++i) {
        if ((a[i] | 0x20) != lower[i]) return false;
      }
      return true;
    };
    if (lowerEquals(body, "nan")) {
      d = NAN;
    } else if (lowerEquals(body, "inf") || lowerEquals(body, "infinity")) {
      d = negative ? -INFINITY : INFINITY;
    } else {
      if (body.empty() || !(std::isdigit(static_cast<unsigned char>(body[0])) || body[0] == '.')) {
        return fail("malformed <real> \"" + excerpt(text) + "\"", el);
      }
      auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), d);
      if (end != body.data() + body.size() || (ec != std::errc() && ec != std::errc::result_out_of_range)) {
        return fail("malformed <real> \"" + excerpt(text) + "\"", el);
      }
      if (ec == std::errc::result_out_of_range) {
        // Overflow becomes infinity and underflow zero, as strtod (and every peer) has it.
        std::string copy(body);
        d = strtod_l(copy.c_str(), nullptr, cLocale());
      }
      if (negative) d = -d;
    }
    return CFNumberCreate(alloc_, kCFNumberFloat64Type, &d);
  }

  // "YYYY[-MM[-DD[THH[:MM[:SS]]]]]Z", GMT, as Apple writes it and plistlib reads it. The year is
  // as printf's "%04d" writes any year: an optional minus and digits, four characters at least
  // ("-001", "10000"); up to nine digits, far beyond what a writer produces.
  CFTypeRef parseDate(pugi::xml_node el) {
    std::string_view text;
    if (!textOf(el, text)) return nullptr;
    std::string_view s = trim(text);
    int fields[6] = {0, 1, 1, 0, 0, 0};
    static constexpr char kSeparators[6] = {0, '-', '-', 'T', ':', ':'};
    size_t pos = 0;
    int count = 0;
    auto digits = [&](size_t n, int& out) {
      if (pos + n > s.size()) return false;
      int v = 0;
      for (size_t k = 0; k < n; ++k) {
        char c = s[pos + k];
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
      }
      out = v;
      pos += n;
      return true;
    };
    const bool negative = !s.empty() && s[0] == '-';
    pos = negative ? 1 : 0;
    size_t yearDigits = 0;
    while (pos + yearDigits < s.size() && s[pos + yearDigits] >= '0' && s[pos + yearDigits] <= '9') ++yearDigits;
    bool ok = yearDigits + pos >= 4 && yearDigits <= 9 && digits(yearDigits, fields[0]);
    if (negative) fields[0] = -fields[0];
    for (count = 1; ok && count < 6 && pos < s.size() && s[pos] == kSeparators[count]; ++count) {
      ++pos;
      ok = digits(2, fields[count]);
    }
    ok = ok && pos + 1 == s.size() && s[pos] == 'Z';
    static constexpr unsigned kMonthDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int y = fields[0], mo = fields[1], d = fields[2];
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    ok = ok && mo >= 1 && mo <= 12 && d >= 1 && static_cast<unsigned>(d) <= kMonthDays[mo - 1] &&
         (mo != 2 || d <= 28 || leap) && fields[3] <= 23 && fields[4] <= 59 && fields[5] <= 59;
    if (!ok) return fail("malformed <date> \"" + excerpt(text) + "\"", el);
    int64_t days = daysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
    double at = static_cast<double>(days * 86400 + fields[3] * 3600 + fields[4] * 60 + fields[5] - 978307200);
    return CFDateCreate(alloc_, at);
  }

  CFTypeRef parseData(pugi::xml_node el) {
    std::string_view text;
    if (!textOf(el, text)) return nullptr;
    bytes_.resize(base64DecodedBound(text.size()));
    ptrdiff_t n = base64Decode(text, bytes_.data());
    if (n < 0) return fail("malformed base64 in <data>", el);
    if (mutability_ & kCFPropertyListMutableContainersAndLeaves) {
      CFMutableDataRef m = CFDataCreateMutable(alloc_, 0);
      if (m != nullptr) CFDataAppendBytes(m, bytes_.data(), n);
      return m;
    }
    return CFDataCreate(alloc_, bytes_.data(), n);
  }

  bool checkEmpty(pugi::xml_node el) {
    for (pugi::xml_node n = el.first_child(); n; n = n.next_sibling()) {
      if (!skippable(n)) return failTag("unexpected content inside", el), false;
    }
    return true;
  }

  // A leaf value, or nullptr with the error set. Containers are handled by walk().
  CFTypeRef parseLeaf(pugi::xml_node el) {
    const char* name = el.name();
    CFTypeRef v = nullptr;
    switch (name[0]) {
      case 's':
        if (nameIs(name, "string")) {
          std::string_view text;
          if (!textOf(el, text)) return nullptr;
          v = makeString(text, el);
          if (v == nullptr) return fail("invalid <string>", el);
          return v;
        }
        break;
      case 'i':
        if (nameIs(name, "integer")) return parseInteger(el);
        break;
      case 'r':
        if (nameIs(name, "real")) return parseReal(el);
        break;
      case 't':
        if (nameIs(name, "true")) {
          if (!checkEmpty(el)) return nullptr;
          return CFRetain(kCFBooleanTrue);
        }
        break;
      case 'f':
        if (nameIs(name, "false")) {
          if (!checkEmpty(el)) return nullptr;
          return CFRetain(kCFBooleanFalse);
        }
        break;
      case 'd':
        if (nameIs(name, "date")) return parseDate(el);
        if (nameIs(name, "data")) return parseData(el);
        break;
      case 'k':
        if (nameIs(name, "key")) return failTag("unexpected", el);
        break;
      default: break;
    }
    return failTag("unknown tag", el);
  }

  // --- containers ---------------------------------------------------------------------------
  CFTypeRef closeArray(const Frame& f) {
    size_t n = items_.size() - f.start;
    CFTypeRef result;
    if (mutability_ & (kCFPropertyListMutableContainers | kCFPropertyListMutableContainersAndLeaves)) {
      CFMutableArrayRef a = CFArrayCreateMutable(alloc_, 0, &kCFTypeArrayCallBacks);
      if (a != nullptr) {
        for (size_t i = f.start; i < items_.size(); ++i) CFArrayAppendValue(a, items_[i].value);
      }
      result = a;
    } else {
      values_.resize(n);
      for (size_t i = 0; i < n; ++i) values_[i] = items_[f.start + i].value;
      result = CFArrayCreate(alloc_, values_.data(), static_cast<CFIndex>(n), &kCFTypeArrayCallBacks);
    }
    popItems(f.start);
    return result;
  }

  CFTypeRef closeDict(const Frame& f) {
    // Collapse duplicate keys: the first position, the last value.
    ++stamp_;
    size_t out = f.start;
    for (size_t i = f.start; i < items_.size(); ++i) {
      KeyEntry* k = items_[i].key;
      if (k->stamp == stamp_) {
        CFRelease(items_[k->index].value);
        items_[k->index].value = items_[i].value;
      } else {
        k->stamp = stamp_;
        k->index = static_cast<uint32_t>(out);
        items_[out++] = items_[i];
      }
    }
    items_.resize(out);
    size_t n = out - f.start;
    CFTypeRef result;
    if (mutability_ & (kCFPropertyListMutableContainers | kCFPropertyListMutableContainersAndLeaves)) {
      CFMutableDictionaryRef d =
          CFDictionaryCreateMutable(alloc_, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
      if (d != nullptr) {
        for (size_t i = f.start; i < items_.size(); ++i)
          CFDictionarySetValue(d, items_[i].key->string, items_[i].value);
      }
      result = d;
    } else {
      values_.resize(2 * n);
      for (size_t i = 0; i < n; ++i) {
        values_[i] = items_[f.start + i].key->string;
        values_[n + i] = items_[f.start + i].value;
      }
      result = CFDictionaryCreate(alloc_, values_.data(), values_.data() + n, static_cast<CFIndex>(n),
                                  &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    }
    popItems(f.start);
    return result;
  }

  void popItems(size_t start) {
    for (size_t i = start; i < items_.size(); ++i) CFRelease(items_[i].value);
    items_.resize(start);
  }

  // Starts a value element: a leaf is parsed at once (returned), a container pushes a frame
  // (returns nullptr with no error set).
  CFTypeRef begin(pugi::xml_node el, bool& pushed) {
    pushed = false;
    const char* name = el.name();
    bool isArray = name[0] == 'a' && nameIs(name, "array");
    if (isArray || (name[0] == 'd' && nameIs(name, "dict"))) {
      if (stack_.size() >= static_cast<size_t>(kMaxPropertyListDepth)) {
        return fail("containers nested deeper than 512 levels", el);
      }
      stack_.push_back(Frame{el, el.first_child(), isArray ? Kind::kArray : Kind::kDict, items_.size()});
      pushed = true;
      return nullptr;
    }
    return parseLeaf(el);
  }

  CFPropertyListRef walk(pugi::xml_node top) {
    bool pushed;
    CFTypeRef v = begin(top, pushed);
    if (!pushed) return v;
    stack_.reserve(64);
    while (!stack_.empty()) {
      Frame& f = stack_.back();
      pugi::xml_node el = f.next;
      while (el && el.type() != pugi::node_element) {
        if (!skippable(el)) return fail(std::string("unexpected text inside <") + f.node.name() + ">", el);
        el = el.next_sibling();
      }
      if (!el) {
        if (f.pendingKey != nullptr) return fail("value missing for key inside <dict>", f.node);
        Frame done = f;
        stack_.pop_back();
        v = done.kind == Kind::kArray ? closeArray(done) : closeDict(done);
        if (v == nullptr) return failAt("out of memory", -1);
        if (stack_.empty()) return v;
        deliver(v);
        continue;
      }
      f.next = el.next_sibling();
      if (f.kind == Kind::kDict && f.pendingKey == nullptr) {
        if (!nameIs(el.name(), "key")) return failTag("expected <key> inside <dict>, found", el);
        f.pendingKey = internKey(el);
        if (f.pendingKey == nullptr) return nullptr;
        continue;
      }
      v = begin(el, pushed);
      if (pushed) continue;
      if (v == nullptr) return nullptr;
      deliver(v);
    }
    return nullptr;  // not reached
  }

  // Hands a finished value (owned) to the innermost open container.
  void deliver(CFTypeRef v) {
    Frame& parent = stack_.back();
    items_.push_back(Item{parent.pendingKey, v});
    parent.pendingKey = nullptr;
  }

  CFAllocatorRef alloc_;
  CFOptionFlags mutability_;
  const char* text_;
  size_t count_;
  std::string& error_;
  bool errorSet_ = false;

  pugi::xml_document doc_;
  std::vector<Frame> stack_;
  std::vector<Item> items_;          // owned values of every open container, innermost last
  std::vector<const void*> values_;  // scratch for CFArrayCreate / CFDictionaryCreate
  std::string scratch_;              // decoded text
  std::vector<uint8_t> bytes_;       // decoded base64
  std::unordered_map<std::string_view, KeyEntry> keys_;
  std::deque<std::string> decodedKeys_;  // storage for keys that needed decoding
  uint32_t stamp_ = 0;
};

}  // namespace

CFPropertyListRef readXMLPropertyList(CFAllocatorRef allocator, const char* bytes, size_t count,
                                      CFOptionFlags mutability, std::string& error) {
  size_t skipped = 0;
  if (count >= 3 && std::memcmp(bytes, "\xEF\xBB\xBF", 3) == 0) skipped = 3;  // UTF-8 byte-order mark
  const char* text = bytes + skipped;
  size_t n = count - skipped;
  size_t bad = findInvalidUTF8(reinterpret_cast<const unsigned char*>(text), n);
  if (bad < n) {
    size_t line = 1 + static_cast<size_t>(std::count(text, text + bad, '\n'));
    error = (text[bad] == 0 ? "NUL byte" : "invalid UTF-8") + std::string(" on line ") + std::to_string(line);
    return nullptr;
  }
  Reader reader(allocator, mutability, text, n, error);
  return reader.parse();
}

}  // namespace qxcf
