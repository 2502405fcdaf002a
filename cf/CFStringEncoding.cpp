// Conversion between strings and bytes in the supported encodings.
//
// Unicode forms and ASCII/Latin-1 are converted here directly; the 8-bit table encodings take
// their tables from ICU's converters once, so per-character loss handling stays in our hands.
#include <CoreFoundation/CFData.h>
#include <CoreFoundation/CFString.h>
#include <unicode/ucnv.h>

#include "CFRef.h"
#include "CFRuntime.h"
#include "CFStringInternal.h"

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstring>
#include <string>

namespace {

// ---------------------------------------------------------------------------------------------
// 8-bit table encodings

struct ByteTable {
  UniChar toUnicode[256];
  bool defined[256];
  // Unicode -> byte for the non-identity part, sorted by unit, for binary search.
  std::array<std::pair<UniChar, UInt8>, 256> fromUnicode;
  int fromCount = 0;
};

const ByteTable* buildTable(const char* icuName) {
  UErrorCode err = U_ZERO_ERROR;
  UConverter* conv = ucnv_open(icuName, &err);
  if (U_FAILURE(err)) return nullptr;
  ucnv_setToUCallBack(conv, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &err);
  auto* t = new ByteTable{};  // kept for the life of the process
  for (int b = 0; b < 256; ++b) {
    char in = static_cast<char>(b);
    UChar out[4];
    err = U_ZERO_ERROR;
    ucnv_reset(conv);
    int32_t n = ucnv_toUChars(conv, out, 4, &in, 1, &err);
    t->defined[b] = U_SUCCESS(err) && n == 1;
    t->toUnicode[b] = t->defined[b] ? out[0] : 0;
    if (t->defined[b] && out[0] != b)
      t->fromUnicode[static_cast<size_t>(t->fromCount++)] = {out[0], static_cast<UInt8>(b)};
  }
  ucnv_close(conv);
  std::sort(t->fromUnicode.begin(), t->fromUnicode.begin() + t->fromCount);
  return t;
}

const ByteTable* tableFor(CFStringEncoding encoding) {
  switch (encoding) {
    case kCFStringEncodingWindowsLatin1: {
      static const ByteTable* const t = buildTable("windows-1252");
      return t;
    }
    case kCFStringEncodingMacRoman: {
      static const ByteTable* const t = buildTable("macintosh");
      return t;
    }
    default: return nullptr;
  }
}

// The byte for c, or -1 when the table has none.
int tableByte(const ByteTable* t, uint32_t c) {
  if (c < 256 && t->defined[c] && t->toUnicode[c] == c) return static_cast<int>(c);
  if (c > 0xFFFF) return -1;
  auto begin = t->fromUnicode.begin();
  auto end = begin + t->fromCount;
  auto it = std::lower_bound(begin, end, std::pair<UniChar, UInt8>{static_cast<UniChar>(c), 0});
  if (it != end && it->first == c) return it->second;
  return -1;
}

// ---------------------------------------------------------------------------------------------
// Decoding

enum class Order { Host, Big, Little };

inline uint32_t read16(const UInt8* p, Order o) {
  bool big = o == Order::Big || (o == Order::Host && std::endian::native == std::endian::big);
  return big ? (uint32_t{p[0]} << 8 | p[1]) : (uint32_t{p[1]} << 8 | p[0]);
}

inline uint32_t read32(const UInt8* p, Order o) {
  bool big = o == Order::Big || (o == Order::Host && std::endian::native == std::endian::big);
  return big ? (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3])
             : (uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]);
}

CFStringRef finish(__CFString* s, CFIndex length) {
  s->length = length;
  return s;
}

CFStringRef decodeUTF16(CFAllocatorRef alloc, const UInt8* b, CFIndex n, Order order, bool honourBOM) {
  if (n % 2 != 0) return nullptr;  // half a unit is not UTF-16
  if (honourBOM && n >= 2) {
    if (b[0] == 0xFE && b[1] == 0xFF) {
      order = Order::Big;
      b += 2;
      n -= 2;
    } else if (b[0] == 0xFF && b[1] == 0xFE) {
      order = Order::Little;
      b += 2;
      n -= 2;
    }
  }
  CFIndex units = n / 2;
  __CFString* s = qxcf::newImmutableString(alloc, units);
  if (s == nullptr) return nullptr;
  if (order == Order::Host || (order == Order::Big) == (std::endian::native == std::endian::big)) {
    if (units > 0) std::memcpy(s->chars, b, static_cast<size_t>(units) * 2);
  } else {
    for (CFIndex i = 0; i < units; ++i) s->chars[i] = static_cast<UniChar>(read16(b + 2 * i, order));
  }
  return finish(s, units);
}

CFStringRef decodeUTF32(CFAllocatorRef alloc, const UInt8* b, CFIndex n, Order order, bool honourBOM) {
  if (n % 4 != 0) return nullptr;
  if (honourBOM && n >= 4) {
    if (read32(b, Order::Big) == 0xFEFF) {
      order = Order::Big;
      b += 4;
      n -= 4;
    } else if (read32(b, Order::Little) == 0xFEFF) {
      order = Order::Little;
      b += 4;
      n -= 4;
    }
  }
  __CFString* s = qxcf::newImmutableString(alloc, n / 2);  // at most two units per code point
  if (s == nullptr) return nullptr;
  CFIndex len = 0;
  for (CFIndex i = 0; i < n; i += 4) {
    uint32_t c = read32(b + i, order);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      CFRelease(s);
      return nullptr;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      s->chars[len++] = static_cast<UniChar>(0xD800 + (c >> 10));
      s->chars[len++] = static_cast<UniChar>(0xDC00 + (c & 0x3FF));
    } else {
      s->chars[len++] = static_cast<UniChar>(c);
    }
  }
  return finish(s, len);
}

int hexValue(UInt8 c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "\uXXXX" for any unit, "\ooo" (octal) for 0x80-0xFF, "\\" for the backslash; a backslash
// that starts none of these stands for itself.
CFStringRef decodeNonLossy(CFAllocatorRef alloc, const UInt8* b, CFIndex n) {
  __CFString* s = qxcf::newImmutableString(alloc, n);
  if (s == nullptr) return nullptr;
  CFIndex len = 0;
  for (CFIndex i = 0; i < n;) {
    UInt8 c = b[i];
    if (c >= 0x80) {
      CFRelease(s);
      return nullptr;
    }
    if (c == '\\' && i + 1 < n) {
      if (b[i + 1] == '\\') {
        s->chars[len++] = '\\';
        i += 2;
        continue;
      }
      if (b[i + 1] == 'u' && i + 6 <= n) {
        int v = 0;
        bool ok = true;
        for (int k = 2; k < 6 && ok; ++k) {
          int h = hexValue(b[i + k]);
          ok = h >= 0;
          v = v * 16 + h;
        }
        if (ok) {
          s->chars[len++] = static_cast<UniChar>(v);
          i += 6;
          continue;
        }
      }
      if (i + 4 <= n && b[i + 1] >= '0' && b[i + 1] <= '3' && b[i + 2] >= '0' && b[i + 2] <= '7' && b[i + 3] >= '0' &&
          b[i + 3] <= '7') {
        s->chars[len++] = static_cast<UniChar>((b[i + 1] - '0') * 64 + (b[i + 2] - '0') * 8 + (b[i + 3] - '0'));
        i += 4;
        continue;
      }
    }
    s->chars[len++] = c;
    ++i;
  }
  return finish(s, len);
}

// ---------------------------------------------------------------------------------------------
// Encoding

void put16(uint32_t u, UInt8* out, Order o) {
  bool big = o == Order::Big || (o == Order::Host && std::endian::native == std::endian::big);
  out[big ? 0 : 1] = static_cast<UInt8>(u >> 8);
  out[big ? 1 : 0] = static_cast<UInt8>(u);
}

void put32(uint32_t u, UInt8* out, Order o) {
  bool big = o == Order::Big || (o == Order::Host && std::endian::native == std::endian::big);
  for (int k = 0; k < 4; ++k) out[big ? k : 3 - k] = static_cast<UInt8>(u >> (8 * (3 - k)));
}

enum class Kind { UTF8, ASCII, Latin1, Table, UTF16, UTF32, NonLossy, None };

struct Target {
  Kind kind = Kind::None;
  Order order = Order::Host;
  bool bom = false;  // the plain UTF-16/UTF-32 forms, which carry a BOM in external representations
  const ByteTable* table = nullptr;
};

Target targetFor(CFStringEncoding e) {
  switch (e) {
    case kCFStringEncodingUTF8: return {Kind::UTF8};
    case kCFStringEncodingASCII: return {Kind::ASCII};
    case kCFStringEncodingISOLatin1: return {Kind::Latin1};
    case kCFStringEncodingUTF16: return {Kind::UTF16, Order::Host, true};
    case kCFStringEncodingUTF16BE: return {Kind::UTF16, Order::Big};
    case kCFStringEncodingUTF16LE: return {Kind::UTF16, Order::Little};
    case kCFStringEncodingUTF32: return {Kind::UTF32, Order::Host, true};
    case kCFStringEncodingUTF32BE: return {Kind::UTF32, Order::Big};
    case kCFStringEncodingUTF32LE: return {Kind::UTF32, Order::Little};
    case kCFStringEncodingNonLossyASCII: return {Kind::NonLossy};
    default: break;
  }
  if (const ByteTable* t = tableFor(e)) return {Kind::Table, Order::Host, false, t};
  return {};
}

// Writes the encoding of code point c (or of the lone surrogate c when lone) to out; returns the
// byte count, or 0 when the encoding cannot represent it.
CFIndex encodeOne(const Target& t, uint32_t c, bool lone, UInt8* out) {
  switch (t.kind) {
    case Kind::UTF8:
      if (lone) return 0;
      return static_cast<CFIndex>(qxcf::encodeUTF8(c, reinterpret_cast<char*>(out)));
    case Kind::ASCII:
      if (c >= 0x80) return 0;
      out[0] = static_cast<UInt8>(c);
      return 1;
    case Kind::Latin1:
      if (c >= 0x100) return 0;
      out[0] = static_cast<UInt8>(c);
      return 1;
    case Kind::Table: {
      int b = tableByte(t.table, c);
      if (b < 0) return 0;
      out[0] = static_cast<UInt8>(b);
      return 1;
    }
    case Kind::UTF16:
      // UTF-16 carries any unit sequence, lone surrogates included.
      if (c >= 0x10000) {
        uint32_t v = c - 0x10000;
        put16(0xD800 + (v >> 10), out, t.order);
        put16(0xDC00 + (v & 0x3FF), out + 2, t.order);
        return 4;
      }
      put16(c, out, t.order);
      return 2;
    case Kind::UTF32:
      if (lone) return 0;
      put32(c, out, t.order);
      return 4;
    case Kind::NonLossy: {
      if (c >= 0x10000) {  // as its surrogate pair, which decodes back to the same units
        uint32_t v = c - 0x10000;
        CFIndex n = encodeOne(t, 0xD800 + (v >> 10), true, out);
        return n + encodeOne(t, 0xDC00 + (v & 0x3FF), true, out + n);
      }
      static const char kHex[] = "0123456789abcdef";
      if (c == '\\') {
        out[0] = out[1] = '\\';
        return 2;
      }
      if (c < 0x80) {
        out[0] = static_cast<UInt8>(c);
        return 1;
      }
      if (c < 0x100) {
        out[0] = '\\';
        out[1] = static_cast<UInt8>('0' + (c >> 6));
        out[2] = static_cast<UInt8>('0' + ((c >> 3) & 7));
        out[3] = static_cast<UInt8>('0' + (c & 7));
        return 4;
      }
      out[0] = '\\';
      out[1] = 'u';
      for (int k = 0; k < 4; ++k) out[2 + k] = static_cast<UInt8>(kHex[(c >> (12 - 4 * k)) & 0xF]);
      return 6;
    }
    case Kind::None: break;
  }
  return 0;
}

// The loss byte standing in for an unconvertible character, in the target's unit width.
CFIndex encodeLoss(const Target& t, UInt8 lossByte, UInt8* out) {
  switch (t.kind) {
    case Kind::UTF16: put16(lossByte, out, t.order); return 2;
    case Kind::UTF32: put32(lossByte, out, t.order); return 4;
    default: out[0] = lossByte; return 1;
  }
}

}  // namespace

namespace qxcf {

CFStringRef createStringFromBytes(CFAllocatorRef alloc, const UInt8* bytes, CFIndex numBytes, CFStringEncoding encoding,
                                  bool external) {
  if (numBytes < 0 || (bytes == nullptr && numBytes > 0)) return nullptr;
  switch (encoding) {
    case kCFStringEncodingUTF8:
      // A UTF-8 BOM is dropped, as CoreFoundation does for external representations.
      if (numBytes >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        bytes += 3;
        numBytes -= 3;
      }
      return createStringUTF8(alloc, reinterpret_cast<const char*>(bytes), static_cast<size_t>(numBytes));
    case kCFStringEncodingASCII:
    case kCFStringEncodingISOLatin1: {
      __CFString* s = newImmutableString(alloc, numBytes);
      if (s == nullptr) return nullptr;
      UniChar acc = 0;
      for (CFIndex i = 0; i < numBytes; ++i) acc |= (s->chars[i] = bytes[i]);
      if (encoding == kCFStringEncodingASCII && acc >= 0x80) {
        CFRelease(s);
        return nullptr;
      }
      return finish(s, numBytes);
    }
    case kCFStringEncodingUTF16: return decodeUTF16(alloc, bytes, numBytes, external ? Order::Big : Order::Host, true);
    case kCFStringEncodingUTF16BE: return decodeUTF16(alloc, bytes, numBytes, Order::Big, false);
    case kCFStringEncodingUTF16LE: return decodeUTF16(alloc, bytes, numBytes, Order::Little, false);
    case kCFStringEncodingUTF32: return decodeUTF32(alloc, bytes, numBytes, external ? Order::Big : Order::Host, true);
    case kCFStringEncodingUTF32BE: return decodeUTF32(alloc, bytes, numBytes, Order::Big, false);
    case kCFStringEncodingUTF32LE: return decodeUTF32(alloc, bytes, numBytes, Order::Little, false);
    case kCFStringEncodingNonLossyASCII: return decodeNonLossy(alloc, bytes, numBytes);
    default: break;
  }
  const ByteTable* t = tableFor(encoding);
  if (t == nullptr) return nullptr;
  __CFString* s = newImmutableString(alloc, numBytes);
  if (s == nullptr) return nullptr;
  for (CFIndex i = 0; i < numBytes; ++i) {
    if (!t->defined[bytes[i]]) {
      CFRelease(s);
      return nullptr;
    }
    s->chars[i] = t->toUnicode[bytes[i]];
  }
  return finish(s, numBytes);
}

}  // namespace qxcf

CFStringRef CFStringCreateWithBytes(CFAllocatorRef alloc, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation) {
  return qxcf::createStringFromBytes(alloc, bytes, numBytes, encoding, isExternalRepresentation);
}

CFIndex CFStringGetBytes(CFStringRef theString, CFRange range, CFStringEncoding encoding, UInt8 lossByte,
                         Boolean isExternalRepresentation, UInt8* buffer, CFIndex maxBufLen, CFIndex* usedBufLen) {
  const Target t = targetFor(encoding);
  if (theString == nullptr || range.location < 0 || range.length < 0 || range.location > theString->length ||
      range.length > theString->length - range.location || t.kind == Kind::None) {
    if (usedBufLen) *usedBufLen = 0;
    return 0;
  }
  const CFIndex end = range.location + range.length;  // cannot overflow once the range is checked
  const CFIndex room = buffer == nullptr ? LONG_MAX : std::max<CFIndex>(maxBufLen, 0);
  const UniChar* u = theString->chars;
  CFIndex used = 0;
  CFIndex i = range.location;
  UInt8 tmp[12];
  if (t.bom && isExternalRepresentation) {
    CFIndex n = t.kind == Kind::UTF16 ? (put16(0xFEFF, tmp, t.order), 2) : (put32(0xFEFF, tmp, t.order), 4);
    if (n > room) {
      if (usedBufLen) *usedBufLen = 0;
      return 0;
    }
    if (buffer != nullptr) std::memcpy(buffer, tmp, static_cast<size_t>(n));
    used = n;
  }
  const bool byteASCII = t.kind == Kind::UTF8 || t.kind == Kind::ASCII || t.kind == Kind::Latin1 ||
                         t.kind == Kind::Table || t.kind == Kind::NonLossy;
  while (i < end) {
    // ASCII copies straight through in every 8-bit encoding supported here.
    if (byteASCII) {
      CFIndex run = std::min(end - i, room - used);
      CFIndex k = 0;
      if (buffer != nullptr) {
        while (k < run && u[i + k] < 0x80 && u[i + k] != '\\') {
          buffer[used + k] = static_cast<UInt8>(u[i + k]);
          ++k;
        }
      } else {
        while (k < run && u[i + k] < 0x80 && u[i + k] != '\\') ++k;
      }
      i += k;
      used += k;
      if (i >= end || used >= room) break;
    }
    uint32_t c = u[i];
    CFIndex units = 1;
    bool lone = false;
    if (qxcf::isHighSurrogate(static_cast<UniChar>(c)) && i + 1 < end && qxcf::isLowSurrogate(u[i + 1])) {
      c = qxcf::combineSurrogates(c, u[i + 1]);
      units = 2;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      lone = true;
    }
    CFIndex n = encodeOne(t, c, lone, tmp);
    if (n == 0) {
      if (lossByte == 0) break;
      n = encodeLoss(t, lossByte, tmp);
    }
    if (used + n > room) break;
    if (buffer != nullptr) std::memcpy(buffer + used, tmp, static_cast<size_t>(n));
    used += n;
    i += units;
  }
  if (usedBufLen) *usedBufLen = used;
  return i - range.location;
}

CFStringRef CFStringCreateFromExternalRepresentation(CFAllocatorRef alloc, CFDataRef data, CFStringEncoding encoding) {
  if (data == nullptr) return nullptr;
  return qxcf::createStringFromBytes(alloc, CFDataGetBytePtr(data), CFDataGetLength(data), encoding, true);
}

CFDataRef CFStringCreateExternalRepresentation(CFAllocatorRef alloc, CFStringRef theString, CFStringEncoding encoding,
                                               UInt8 lossByte) {
  if (theString == nullptr) return nullptr;
  CFRange all = CFRangeMake(0, theString->length);
  CFIndex size = 0;
  if (CFStringGetBytes(theString, all, encoding, lossByte, true, nullptr, 0, &size) != all.length) return nullptr;
  std::string bytes(static_cast<size_t>(size), '\0');
  CFStringGetBytes(theString, all, encoding, lossByte, true, reinterpret_cast<UInt8*>(bytes.data()), size, &size);
  return CFDataCreate(alloc, reinterpret_cast<const UInt8*>(bytes.data()), size);
}

// ---------------------------------------------------------------------------------------------
// Encoding facts

CFStringEncoding CFStringGetSystemEncoding(void) { return kCFStringEncodingUTF8; }

Boolean CFStringIsEncodingAvailable(CFStringEncoding encoding) { return targetFor(encoding).kind != Kind::None; }

CFStringEncoding CFStringGetSmallestEncoding(CFStringRef theString) {
  const UniChar* u = theString->chars;
  const CFIndex n = theString->length;
  UniChar acc = 0;
  bool lone = false;
  CFIndex utf8 = 0;
  for (CFIndex i = 0; i < n; ++i) {
    UniChar c = u[i];
    acc |= c;
    if (c < 0x80) {
      utf8 += 1;
    } else if (c < 0x800) {
      utf8 += 2;
    } else if (qxcf::isHighSurrogate(c) && i + 1 < n && qxcf::isLowSurrogate(u[i + 1])) {
      utf8 += 4;
      ++i;
    } else {
      lone = lone || (c >= 0xD800 && c <= 0xDFFF);
      utf8 += 3;
    }
  }
  if (acc < 0x80) return kCFStringEncodingASCII;
  if (acc < 0x100) return kCFStringEncodingISOLatin1;
  if (!lone && utf8 <= 2 * n) return kCFStringEncodingUTF8;
  return kCFStringEncodingUnicode;
}

CFStringEncoding CFStringGetFastestEncoding(CFStringRef theString) {
  // The contents are UTF-16 units, except that constants also keep their UTF-8 text.
  return theString->cString != nullptr ? kCFStringEncodingUTF8 : kCFStringEncodingUnicode;
}

namespace {

struct EncodingName {
  CFStringEncoding encoding;
  const char* name;  // CFStringGetNameOfEncoding
  const char* iana;  // charset name, nullptr when there is none
};

constexpr EncodingName kEncodingNames[] = {
    {kCFStringEncodingUTF8, "Unicode (UTF-8)", "utf-8"},
    {kCFStringEncodingASCII, "Western (ASCII)", "us-ascii"},
    {kCFStringEncodingISOLatin1, "Western (ISO Latin 1)", "iso-8859-1"},
    {kCFStringEncodingWindowsLatin1, "Western (Windows Latin 1)", "windows-1252"},
    {kCFStringEncodingMacRoman, "Western (Mac OS Roman)", "macintosh"},
    {kCFStringEncodingUTF16, "Unicode (UTF-16)", "utf-16"},
    {kCFStringEncodingUTF16BE, "Unicode (UTF-16BE)", "utf-16be"},
    {kCFStringEncodingUTF16LE, "Unicode (UTF-16LE)", "utf-16le"},
    {kCFStringEncodingUTF32, "Unicode (UTF-32)", "utf-32"},
    {kCFStringEncodingUTF32BE, "Unicode (UTF-32BE)", "utf-32be"},
    {kCFStringEncodingUTF32LE, "Unicode (UTF-32LE)", "utf-32le"},
    {kCFStringEncodingNonLossyASCII, "Non-lossy ASCII", nullptr},
};

const EncodingName* findEncoding(CFStringEncoding e) {
  for (const auto& n : kEncodingNames) {
    if (n.encoding == e) return &n;
  }
  return nullptr;
}

}  // namespace

CFStringRef CFStringGetNameOfEncoding(CFStringEncoding encoding) {
  const EncodingName* n = findEncoding(encoding);
  return n != nullptr && CFStringIsEncodingAvailable(encoding) ? __CFStringMakeConstantString(n->name) : nullptr;
}

CFStringRef CFStringConvertEncodingToIANACharSetName(CFStringEncoding encoding) {
  const EncodingName* n = findEncoding(encoding);
  return n != nullptr && n->iana != nullptr ? __CFStringMakeConstantString(n->iana) : nullptr;
}

CFStringEncoding CFStringConvertIANACharSetNameToEncoding(CFStringRef theString) {
  if (theString == nullptr) return kCFStringEncodingInvalidId;
  std::string name = qxcf::toUTF8(theString);
  for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  for (const auto& n : kEncodingNames) {
    if (n.iana != nullptr && name == n.iana) return n.encoding;
  }
  // Common aliases that HTTP and XML peers send.
  if (name == "utf8") return kCFStringEncodingUTF8;
  if (name == "ascii" || name == "us" || name == "iso646-us") return kCFStringEncodingASCII;
  if (name == "latin1" || name == "iso_8859-1" || name == "l1") return kCFStringEncodingISOLatin1;
  if (name == "cp1252" || name == "x-mac-roman" || name == "mac") {
    return name == "cp1252" ? kCFStringEncodingWindowsLatin1 : kCFStringEncodingMacRoman;
  }
  return kCFStringEncodingInvalidId;
}
