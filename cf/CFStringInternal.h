// The string object and the internal string primitives every family of the layer uses.
#pragma once

#include <CoreFoundation/CFString.h>

#include "CFRuntime.h"

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

struct __CFString : __CFRuntimeBase {
  enum Flags : uint32_t {
    kMutable = 1u << 0,
    kConstant = 1u << 1,  // CFSTR: immortal, interned, cString holds the ASCII/UTF-8 text
    kExternal = 1u << 2,  // chars belong to contentsDeallocator (NoCopy creation)
    kHeap = 1u << 3,      // chars were malloc'ed by the string itself (mutable strings)
  };

  UniChar* chars = nullptr;  // the contents: inline storage, own heap block or external
  CFIndex length = 0;
  CFIndex capacity = 0;  // units available at chars (mutable strings grow it)
  uint32_t flags = 0;
  mutable std::atomic<CFHashCode> hashCache{0};  // 0: not yet computed; immutable strings only
  const char* cString = nullptr;                 // constants: their text, for CFStringGetCStringPtr
  CFAllocatorRef contentsDeallocator = nullptr;  // kExternal: who frees chars (retained if custom)

  __CFString(CFAllocatorRef alloc, uint32_t f);
  // A constant compiled into the library (QXCF_CONSTANT_STRING): immortal and constant-initialised.
  constexpr __CFString(const qxcf::RuntimeClass* cls, UniChar* units, CFIndex count, const char* text)
      : __CFRuntimeBase(cls, qxcf::kImmortalCount),
        chars(units),
        length(count),
        capacity(count),
        flags(kConstant),
        cString(text) {}
  ~__CFString();

  UniChar* inlineStorage() { return reinterpret_cast<UniChar*>(this + 1); }
  bool isMutable() const { return (flags & kMutable) != 0; }
};

namespace qxcf {

extern const RuntimeClass kStringClass;

// Storage for an exported string constant. Constant initialisation means the constant is valid
// before any initialiser of any library runs, whatever the load order. ASCII text only.
template <size_t N>
struct ConstantString {
  __CFString object;
  UniChar units[N];

  constexpr explicit ConstantString(const char (&text)[N])
      : object(&kStringClass, units, static_cast<CFIndex>(N - 1), text), units{} {
    for (size_t i = 0; i < N; ++i) {
      if (static_cast<unsigned char>(text[i]) >= 0x80) throw "constant strings are ASCII";
      units[i] = static_cast<unsigned char>(text[i]);
    }
  }
};

}  // namespace qxcf

// Defines the exported `const CFStringRef name` (declared in a public header) as a constant.
#define QXCF_CONSTANT_STRING(name, text)                                    \
  static constinit qxcf::ConstantString<sizeof(text)> name##Storage_{text}; \
  const CFStringRef name = &name##Storage_.object

namespace qxcf {

inline const __CFString* str(CFStringRef s) { return s; }
inline std::u16string_view chars(CFStringRef s) {
  return {reinterpret_cast<const char16_t*>(s->chars), static_cast<size_t>(s->length)};
}

// Immutable string over a copy of the units (owned; NULL if storage fails).
CFStringRef createStringUTF16(CFAllocatorRef alloc, const UniChar* units, CFIndex count);
// Immutable string from UTF-8 bytes (owned); NULL when the bytes are not valid UTF-8.
CFStringRef createStringUTF8(CFAllocatorRef alloc, const char* bytes, size_t count);
inline CFStringRef createStringUTF8(std::string_view text) {
  return createStringUTF8(nullptr, text.data(), text.size());
}
// An empty mutable string with room for at least `capacity` units.
CFMutableStringRef createMutableString(CFAllocatorRef alloc, CFIndex capacity);

// The one mutation primitive: replaces range with count units (count may be 0; range may be
// empty). Returns false only when memory runs out, leaving the string unchanged.
bool replaceUnits(CFMutableStringRef s, CFRange range, const UniChar* units, CFIndex count);
inline bool appendUnits(CFMutableStringRef s, const UniChar* units, CFIndex count) {
  return replaceUnits(s, CFRangeMake(s->length, 0), units, count);
}
bool appendUTF8(CFMutableStringRef s, std::string_view utf8);  // false on invalid UTF-8

inline bool isHighSurrogate(UniChar c) { return c >= 0xD800 && c <= 0xDBFF; }
inline bool isLowSurrogate(UniChar c) { return c >= 0xDC00 && c <= 0xDFFF; }
inline uint32_t combineSurrogates(uint32_t high, uint32_t low) {
  return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
}

// Writes code point cp (at most U+10FFFF) as UTF-8 at out, which has room for 4 bytes; returns the
// byte count. Surrogate values are the caller's concern: they are written as 3 bytes unchecked.
inline size_t encodeUTF8(uint32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}
inline void appendCodePointUTF8(std::string& out, uint32_t cp) {
  char buf[4];
  out.append(buf, encodeUTF8(cp, buf));
}

enum class LoneSurrogate { kReplace, kFail };  // U+FFFD in its place, or no conversion

// Appends UTF-16 units as UTF-8. With kFail a lone surrogate stops the conversion and the result
// is false (out then holds a partial result); with kReplace it is always true.
inline bool appendUTF8(std::string& out, const UniChar* p, size_t count, LoneSurrogate policy) {
  const UniChar* end = p + count;
  out.reserve(out.size() + count);
  while (p < end) {
    uint32_t c = *p++;
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    if (c >= 0xD800 && c <= 0xDFFF) {
      if (c <= 0xDBFF && p < end && isLowSurrogate(*p)) {
        c = combineSurrogates(c, *p++);
      } else if (policy == LoneSurrogate::kFail) {
        return false;
      } else {
        c = 0xFFFD;
      }
    }
    appendCodePointUTF8(out, c);
  }
  return true;
}

// UTF-8 conversion for internal use; lone surrogates become U+FFFD.
inline void appendUTF8(std::string& out, CFStringRef s) {
  appendUTF8(out, s->chars, static_cast<size_t>(s->length), LoneSurrogate::kReplace);
}
inline std::string toUTF8(CFStringRef s) {
  std::string out;
  if (s != nullptr) appendUTF8(out, s);
  return out;
}

// Decodes UTF-8 into UTF-16 at dst (room for count units suffices). Returns the units written,
// or -1 when the input is not valid UTF-8 (overlong forms, surrogates and values past U+10FFFF
// are invalid).
CFIndex decodeUTF8(const unsigned char* src, size_t count, UniChar* dst);

CFHashCode hashUnits(const UniChar* units, CFIndex count);

// An immutable string with inline room for `capacity` units and length 0, for decoders that
// write their output in place (set length before handing it out). NULL if storage fails.
__CFString* newImmutableString(CFAllocatorRef alloc, CFIndex capacity);

// Decodes bytes of any supported encoding into a new immutable string; NULL when the bytes are
// invalid in that encoding or the encoding is not supported.
CFStringRef createStringFromBytes(CFAllocatorRef alloc, const UInt8* bytes, CFIndex count, CFStringEncoding encoding,
                                  bool isExternalRepresentation);

inline bool isASCIIUnits(const UniChar* p, CFIndex n) {
  UniChar acc = 0;
  for (CFIndex i = 0; i < n; ++i) acc |= p[i];
  return acc < 0x80;
}

// Every non-overlapping match of needle in range, in search order (from the end when
// kCFCompareBackwards), or just the first one; ranges are in the original string's units.
std::vector<CFRange> findMatches(CFStringRef hay, CFStringRef needle, CFRange range, CFOptionFlags options,
                                 CFLocaleRef locale, bool firstOnly);

// The ICU locale id for a CFLocale; "" (the root, locale-independent rules) for NULL.
std::string icuLocaleID(CFLocaleRef locale);
// The ICU locale id of CFLocaleCopyCurrent (LC_ALL, then LANG; en_US for C/POSIX or unset), read afresh.
std::string currentLocaleICUID();

// A mutable string's contents replaced by units (false when memory runs out).
inline bool setUnits(CFMutableStringRef s, const UniChar* units, CFIndex count) {
  return replaceUnits(s, CFRangeMake(0, s->length), units, count);
}

}  // namespace qxcf
