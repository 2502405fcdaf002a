// String storage, creation, access, constants and the single mutation primitive.
#include <CoreFoundation/CFString.h>

#include "CFRef.h"
#include "CFRuntime.h"
#include "CFStringInternal.h"

#include <unicode/uchar.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__ARM_NEON)
#include <arm_neon.h>
#endif

#include <locale.h>
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string_view>
#include <unordered_map>

using qxcf::CFRef;

namespace {

bool stringEqual(CFTypeRef a, CFTypeRef b) {
  auto* x = static_cast<const __CFString*>(a);
  auto* y = static_cast<const __CFString*>(b);
  if (x->length != y->length) return false;
  // Cached hashes of immutable strings rule out most unequal pairs cheaply.
  CFHashCode hx = x->hashCache.load(std::memory_order_relaxed);
  CFHashCode hy = y->hashCache.load(std::memory_order_relaxed);
  if (hx != 0 && hy != 0 && hx != hy) return false;
  return x->length == 0 || std::memcmp(x->chars, y->chars, static_cast<size_t>(x->length) * sizeof(UniChar)) == 0;
}

CFHashCode stringHash(CFTypeRef cf) {
  auto* s = static_cast<const __CFString*>(cf);
  if (s->isMutable()) return qxcf::hashUnits(s->chars, s->length);
  CFHashCode h = s->hashCache.load(std::memory_order_relaxed);
  if (h == 0) {
    h = qxcf::hashUnits(s->chars, s->length);
    s->hashCache.store(h, std::memory_order_relaxed);
  }
  return h;
}

CFStringRef stringDescription(CFTypeRef cf) {
  auto* s = static_cast<const __CFString*>(cf);
  if (!s->isMutable()) return static_cast<CFStringRef>(CFRetain(cf));
  return qxcf::createStringUTF16(nullptr, s->chars, s->length);
}

inline uint64_t load64(const void* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

}  // namespace

constexpr qxcf::RuntimeClass qxcf::kStringClass = {qxcf::kTypeIDString, "CFString", qxcf::finalizeAs<__CFString>,
                                                   stringEqual,         stringHash, stringDescription,
                                                   stringDescription};

__CFString::__CFString(CFAllocatorRef alloc, uint32_t f) : __CFRuntimeBase(&qxcf::kStringClass, 1, alloc), flags(f) {}

__CFString::~__CFString() {
  if (flags & kHeap) std::free(chars);
  if (flags & kExternal) {
    if (contentsDeallocator != kCFAllocatorNull) CFAllocatorDeallocate(contentsDeallocator, chars);
    if (contentsDeallocator != nullptr) CFRelease(contentsDeallocator);
  }
}

CFTypeID CFStringGetTypeID(void) { return qxcf::kTypeIDString; }

namespace qxcf {

CFHashCode hashUnits(const UniChar* units, CFIndex count) {
  // Four units per step; the final mix spreads every input bit over the result.
  uint64_t h = 0x9E3779B97F4A7C15ULL ^ static_cast<uint64_t>(count);
  const auto* p = reinterpret_cast<const unsigned char*>(units);
  size_t bytes = static_cast<size_t>(count) * sizeof(UniChar);
  while (bytes >= 8) {
    h = (h ^ load64(p)) * 0x100000001B3ULL;
    h ^= h >> 29;
    p += 8;
    bytes -= 8;
  }
  uint64_t tail = 0;
  if (bytes != 0) std::memcpy(&tail, p, bytes);  // p is NULL for an empty mutable string
  h = (h ^ tail) * 0x100000001B3ULL;
  CFHashCode r = mixHash(h);
  return r == 0 ? 1 : r;  // 0 marks "not computed"
}

CFIndex decodeUTF8(const unsigned char* src, size_t count, UniChar* dst) {
  const unsigned char* const end = src + count;
  UniChar* const start = dst;
  while (src < end) {
    // ASCII runs are the common case: test and widen sixteen bytes at a time. A block with a
    // non-ASCII byte is still widened whole and only its ASCII prefix kept; that is safe because
    // dst never runs ahead of src (one unit per byte at most) and 16 bytes remain.
#if defined(__SSE2__)
    while (end - src >= 16) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
      unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(v));
      __m128i zero = _mm_setzero_si128();
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_unpacklo_epi8(v, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 8), _mm_unpackhi_epi8(v, zero));
      unsigned ascii = mask == 0 ? 16u : static_cast<unsigned>(__builtin_ctz(mask));
      src += ascii;
      dst += ascii;
      if (ascii < 16) break;
    }
#elif defined(__ARM_NEON)
    while (end - src >= 16) {
      uint8x16_t v = vld1q_u8(src);
      vst1q_u16(dst, vmovl_u8(vget_low_u8(v)));
      vst1q_u16(dst + 8, vmovl_u8(vget_high_u8(v)));
      if (vmaxvq_u8(v) < 0x80) {
        src += 16;
        dst += 16;
        continue;
      }
      while (*src < 0x80) {
        ++src;
        ++dst;
      }
      break;
    }
#endif
    while (end - src >= 8) {
      uint64_t v = load64(src);
      if (v & 0x8080808080808080ULL) break;
      for (int i = 0; i < 8; ++i) dst[i] = src[i];
      src += 8;
      dst += 8;
    }
    if (src >= end) break;
    unsigned c = *src;
    if (c < 0x80) {
      *dst++ = static_cast<UniChar>(c);
      ++src;
      continue;
    }
    // Two-byte sequences (Latin, Greek, Cyrillic letters) are the common non-ASCII case.
    if (c >= 0xC2 && c <= 0xDF && end - src >= 2 && (src[1] & 0xC0) == 0x80) {
      *dst++ = static_cast<UniChar>(((c & 0x1F) << 6) | (src[1] & 0x3F));
      src += 2;
      continue;
    }
    uint32_t cp;
    size_t need;
    uint32_t min;
    if (c >= 0xC2 && c <= 0xDF) {
      cp = c & 0x1F;
      need = 1;
      min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
      cp = c & 0x0F;
      need = 2;
      min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      cp = c & 0x07;
      need = 3;
      min = 0x10000;
    } else {
      return -1;
    }
    if (static_cast<size_t>(end - src) <= need) return -1;
    for (size_t i = 1; i <= need; ++i) {
      unsigned cc = src[i];
      if ((cc & 0xC0) != 0x80) return -1;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
    src += need + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      *dst++ = static_cast<UniChar>(0xD800 + (cp >> 10));
      *dst++ = static_cast<UniChar>(0xDC00 + (cp & 0x3FF));
    } else {
      *dst++ = static_cast<UniChar>(cp);
    }
  }
  return dst - start;
}

CFStringRef createStringUTF16(CFAllocatorRef alloc, const UniChar* units, CFIndex count) {
  if (count < 0) return nullptr;
  auto* s = cfCreate<__CFString>(alloc, static_cast<size_t>(count) * sizeof(UniChar), 0u);
  if (s == nullptr) return nullptr;
  s->chars = s->inlineStorage();
  s->length = s->capacity = count;
  if (count > 0) std::memcpy(s->chars, units, static_cast<size_t>(count) * sizeof(UniChar));
  return s;
}

CFStringRef createStringUTF8(CFAllocatorRef alloc, const char* bytes, size_t count) {
  // UTF-16 never needs more units than UTF-8 has bytes, so one block sized by the input suffices.
  auto* s = cfCreate<__CFString>(alloc, count * sizeof(UniChar), 0u);
  if (s == nullptr) return nullptr;
  s->chars = s->inlineStorage();
  CFIndex n = decodeUTF8(reinterpret_cast<const unsigned char*>(bytes), count, s->chars);
  if (n < 0) {
    CFRelease(s);
    return nullptr;
  }
  s->length = s->capacity = n;
  return s;
}

__CFString* newImmutableString(CFAllocatorRef alloc, CFIndex capacity) {
  if (capacity < 0 || capacity > LONG_MAX / 4) return nullptr;
  auto* s = cfCreate<__CFString>(alloc, static_cast<size_t>(capacity) * sizeof(UniChar), 0u);
  if (s == nullptr) return nullptr;
  s->chars = s->inlineStorage();
  s->capacity = capacity;
  return s;
}

CFMutableStringRef createMutableString(CFAllocatorRef alloc, CFIndex capacity) {
  auto* s = cfCreate<__CFString>(alloc, 0, static_cast<uint32_t>(__CFString::kMutable | __CFString::kHeap));
  if (s == nullptr) return nullptr;
  if (capacity > 0 && capacity < (CFIndex{1} << 28)) {
    s->chars = static_cast<UniChar*>(std::malloc(static_cast<size_t>(capacity) * sizeof(UniChar)));
    if (s->chars != nullptr) s->capacity = capacity;
  }
  return s;
}

bool replaceUnits(CFMutableStringRef s, CFRange range, const UniChar* units, CFIndex count) {
  CFIndex newLength = s->length - range.length + count;
  const UniChar* src = units;
  UniChar* copy = nullptr;
  // The replacement may come from the string itself: copy it before the storage moves.
  if (count > 0 && units >= s->chars && units < s->chars + s->capacity) {
    copy = static_cast<UniChar*>(std::malloc(static_cast<size_t>(count) * sizeof(UniChar)));
    if (copy == nullptr) return false;
    std::memcpy(copy, units, static_cast<size_t>(count) * sizeof(UniChar));
    src = copy;
  }
  if (newLength > s->capacity) {
    CFIndex cap = std::max<CFIndex>(newLength, s->capacity + s->capacity / 2 + 16);
    auto* grown = static_cast<UniChar*>(std::realloc(s->chars, static_cast<size_t>(cap) * sizeof(UniChar)));
    if (grown == nullptr) {
      std::free(copy);
      return false;
    }
    s->chars = grown;
    s->capacity = cap;
  }
  CFIndex tail = s->length - range.location - range.length;
  if (tail > 0 && count != range.length) {
    std::memmove(s->chars + range.location + count, s->chars + range.location + range.length,
                 static_cast<size_t>(tail) * sizeof(UniChar));
  }
  if (count > 0) std::memcpy(s->chars + range.location, src, static_cast<size_t>(count) * sizeof(UniChar));
  s->length = newLength;
  std::free(copy);
  return true;
}

bool appendUTF8(CFMutableStringRef s, std::string_view utf8) {
  CFIndex at = s->length;
  // Grow to the worst case, decode in place, then trim to what was written.
  CFIndex worst = static_cast<CFIndex>(utf8.size());
  if (at + worst > s->capacity) {
    CFIndex cap = std::max<CFIndex>(at + worst, s->capacity + s->capacity / 2 + 16);
    auto* grown = static_cast<UniChar*>(std::realloc(s->chars, static_cast<size_t>(cap) * sizeof(UniChar)));
    if (grown == nullptr) return false;
    s->chars = grown;
    s->capacity = cap;
  }
  CFIndex n = decodeUTF8(reinterpret_cast<const unsigned char*>(utf8.data()), utf8.size(), s->chars + at);
  if (n < 0) return false;
  s->length = at + n;
  return true;
}

}  // namespace qxcf

// ---------------------------------------------------------------------------------------------
// Constants

namespace {

struct ConstantTable {
  std::shared_mutex lock;
  std::unordered_map<std::string_view, CFStringRef> byText;
};

ConstantTable& constants() {
  static auto* table = new ConstantTable;  // never destroyed: constants outlive every static
  return *table;
}

}  // namespace

CFStringRef __CFStringMakeConstantString(const char* cStr) {
  if (cStr == nullptr) return nullptr;
  std::string_view text(cStr);
  ConstantTable& table = constants();
  {
    std::shared_lock read(table.lock);
    auto it = table.byText.find(text);
    if (it != table.byText.end()) return it->second;
  }
  std::unique_lock write(table.lock);
  auto it = table.byText.find(text);
  if (it != table.byText.end()) return it->second;

  // The text is kept (not just the caller's pointer) so CFStringGetCStringPtr stays valid.
  char* kept = static_cast<char*>(std::malloc(text.size() + 1));
  std::memcpy(kept, cStr, text.size() + 1);
  auto* s =
      qxcf::cfCreate<__CFString>(nullptr, text.size() * sizeof(UniChar), static_cast<uint32_t>(__CFString::kConstant));
  s->chars = s->inlineStorage();
  CFIndex n = qxcf::decodeUTF8(reinterpret_cast<const unsigned char*>(kept), text.size(), s->chars);
  bool utf8 = n >= 0;
  if (!utf8) {  // not UTF-8: take the bytes as ISO Latin-1 rather than fail a constant
    n = static_cast<CFIndex>(text.size());
    for (CFIndex i = 0; i < n; ++i) s->chars[i] = static_cast<unsigned char>(kept[i]);
  }
  s->length = s->capacity = n;
  // CFStringGetCStringPtr may hand out the text only where it is the UTF-8 of the contents.
  s->cString = utf8 ? kept : nullptr;
  s->rc.store(qxcf::kImmortalCount, std::memory_order_relaxed);
  table.byText.emplace(std::string_view(kept, text.size()), s);
  return s;
}

// ---------------------------------------------------------------------------------------------
// Creation

namespace {

bool isASCII(const unsigned char* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (p[i] >= 0x80) return false;
  }
  return true;
}

}  // namespace

CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr, CFStringEncoding encoding) {
  if (cStr == nullptr) return nullptr;
  return CFStringCreateWithBytes(alloc, reinterpret_cast<const UInt8*>(cStr), static_cast<CFIndex>(std::strlen(cStr)),
                                 encoding, false);
}

CFStringRef CFStringCreateWithCharacters(CFAllocatorRef alloc, const UniChar* chars, CFIndex numChars) {
  if (numChars < 0 || (chars == nullptr && numChars > 0)) return nullptr;
  return qxcf::createStringUTF16(alloc, chars, numChars);
}

namespace {

// The NoCopy forms that copy: once the string exists the bytes are no longer needed. On failure
// they stay with the caller, who still owns them.
CFStringRef releaseContentsAfter(CFStringRef s, const void* contents, CFAllocatorRef contentsDeallocator) {
  if (s != nullptr && contents != nullptr && contentsDeallocator != kCFAllocatorNull) {
    CFAllocatorDeallocate(contentsDeallocator, const_cast<void*>(contents));
  }
  return s;
}

}  // namespace

CFStringRef CFStringCreateWithCStringNoCopy(CFAllocatorRef alloc, const char* cStr, CFStringEncoding encoding,
                                            CFAllocatorRef contentsDeallocator) {
  return releaseContentsAfter(CFStringCreateWithCString(alloc, cStr, encoding), cStr, contentsDeallocator);
}

CFStringRef CFStringCreateWithBytesNoCopy(CFAllocatorRef alloc, const UInt8* bytes, CFIndex numBytes,
                                          CFStringEncoding encoding, Boolean isExternalRepresentation,
                                          CFAllocatorRef contentsDeallocator) {
  return releaseContentsAfter(qxcf::createStringFromBytes(alloc, bytes, numBytes, encoding, isExternalRepresentation),
                              bytes, contentsDeallocator);
}

CFStringRef CFStringCreateWithCharactersNoCopy(CFAllocatorRef alloc, const UniChar* chars, CFIndex numChars,
                                               CFAllocatorRef contentsDeallocator) {
  if (numChars < 0 || (chars == nullptr && numChars > 0)) return nullptr;
  auto* s = qxcf::cfCreate<__CFString>(alloc, 0, static_cast<uint32_t>(__CFString::kExternal));
  if (s == nullptr) return nullptr;
  s->chars = const_cast<UniChar*>(chars);
  s->length = s->capacity = numChars;
  if (contentsDeallocator != nullptr) CFRetain(contentsDeallocator);
  s->contentsDeallocator = contentsDeallocator;
  return s;
}

CFStringRef CFStringCreateWithSubstring(CFAllocatorRef alloc, CFStringRef str, CFRange range) {
  if (str == nullptr || range.location < 0 || range.length < 0 || range.location > str->length ||
      range.length > str->length - range.location) {
    return nullptr;
  }
  return qxcf::createStringUTF16(alloc, str->chars + range.location, range.length);
}

CFStringRef CFStringCreateCopy(CFAllocatorRef alloc, CFStringRef theString) {
  if (theString == nullptr) return nullptr;
  if (!theString->isMutable()) return static_cast<CFStringRef>(CFRetain(theString));
  return qxcf::createStringUTF16(alloc, theString->chars, theString->length);
}

CFMutableStringRef CFStringCreateMutable(CFAllocatorRef alloc, CFIndex maxLength) {
  return qxcf::createMutableString(alloc, maxLength);
}

CFMutableStringRef CFStringCreateMutableCopy(CFAllocatorRef alloc, CFIndex maxLength, CFStringRef theString) {
  if (theString == nullptr) return nullptr;
  CFMutableStringRef s = qxcf::createMutableString(alloc, std::max(maxLength, theString->length));
  if (s != nullptr && !qxcf::appendUnits(s, theString->chars, theString->length)) {
    CFRelease(s);
    return nullptr;
  }
  return s;
}

CFStringRef CFStringCreateWithFileSystemRepresentation(CFAllocatorRef alloc, const char* buffer) {
  return CFStringCreateWithCString(alloc, buffer, kCFStringEncodingUTF8);
}

CFIndex CFStringGetMaximumSizeOfFileSystemRepresentation(CFStringRef string) {
  CFIndex max = CFStringGetMaximumSizeForEncoding(string->length, kCFStringEncodingUTF8);
  return max < 0 ? -1 : max + 1;
}

Boolean CFStringGetFileSystemRepresentation(CFStringRef string, char* buffer, CFIndex maxBufLen) {
  // A NUL inside would silently cut the path short and name another file: refuse it.
  if (string == nullptr || std::u16string_view(qxcf::chars(string)).find(u'\0') != std::u16string_view::npos) {
    if (buffer != nullptr && maxBufLen > 0) buffer[0] = '\0';
    return false;
  }
  return CFStringGetCString(string, buffer, maxBufLen, kCFStringEncodingUTF8);
}

// ---------------------------------------------------------------------------------------------
// Access

CFIndex CFStringGetLength(CFStringRef theString) { return theString->length; }

UniChar CFStringGetCharacterAtIndex(CFStringRef theString, CFIndex idx) {
  if (idx < 0 || idx >= theString->length) return 0;
  return theString->chars[idx];
}

void CFStringGetCharacters(CFStringRef theString, CFRange range, UniChar* buffer) {
  if (buffer == nullptr || range.location < 0 || range.length <= 0 ||
      range.location + range.length > theString->length) {
    return;
  }
  std::memcpy(buffer, theString->chars + range.location, static_cast<size_t>(range.length) * sizeof(UniChar));
}

const char* CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding) {
  if (theString->cString == nullptr) return nullptr;
  switch (encoding) {
    case kCFStringEncodingUTF8: return theString->cString;
    case kCFStringEncodingASCII:
    case kCFStringEncodingISOLatin1:
    case kCFStringEncodingWindowsLatin1:
    case kCFStringEncodingMacRoman:
    case kCFStringEncodingNextStepLatin:
      return isASCII(reinterpret_cast<const unsigned char*>(theString->cString), std::strlen(theString->cString))
                 ? theString->cString
                 : nullptr;
    default: return nullptr;
  }
}

const UniChar* CFStringGetCharactersPtr(CFStringRef theString) { return theString->chars; }

Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize, CFStringEncoding encoding) {
  if (buffer == nullptr || bufferSize <= 0) return false;
  CFIndex used = 0;
  CFIndex converted = CFStringGetBytes(theString, CFRangeMake(0, theString->length), encoding, 0, false,
                                       reinterpret_cast<UInt8*>(buffer), bufferSize - 1, &used);
  if (converted != theString->length) {
    buffer[0] = '\0';
    return false;
  }
  buffer[used] = '\0';
  return true;
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
  if (length < 0) return -1;
  CFIndex factor;
  switch (encoding) {
    case kCFStringEncodingUTF8: factor = 3; break;  // a surrogate pair (2 units) takes 4 bytes
    case kCFStringEncodingUTF16:
    case kCFStringEncodingUTF16BE:
    case kCFStringEncodingUTF16LE: factor = 2; break;
    case kCFStringEncodingUTF32:
    case kCFStringEncodingUTF32BE:
    case kCFStringEncodingUTF32LE: factor = 4; break;
    case kCFStringEncodingNonLossyASCII: factor = 6; break;  // \uXXXX
    default: factor = 1; break;
  }
  if (length > LONG_MAX / factor) return -1;
  return length * factor;
}

// ---------------------------------------------------------------------------------------------
// Values

namespace {

bool isSpaceUnit(UniChar c) {
  if (c < 0x80) return c == ' ' || (c >= '\t' && c <= '\r');
  return u_isUWhiteSpace(c);
}

}  // namespace

SInt32 CFStringGetIntValue(CFStringRef str) {
  const UniChar* u = str->chars;
  const CFIndex n = str->length;
  CFIndex i = 0;
  while (i < n && isSpaceUnit(u[i])) ++i;
  bool negative = false;
  if (i < n && (u[i] == '+' || u[i] == '-')) negative = u[i++] == '-';
  int64_t v = 0;
  const int64_t limit = negative ? -int64_t{INT32_MIN} : INT32_MAX;
  for (; i < n && u[i] >= '0' && u[i] <= '9'; ++i) {
    v = std::min(v * 10 + (u[i] - '0'), limit);  // saturates; never grows past the limit
  }
  return static_cast<SInt32>(negative ? -v : v);
}

double CFStringGetDoubleValue(CFStringRef str) {
  // Only [sign] digits [. digits] [e [sign] digits] is scanned and handed to strtod, so text never
  // becomes NaN or infinity by name, nor a hex float; "." is the point whatever the process locale.
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  const UniChar* u = str->chars;
  const CFIndex n = str->length;
  CFIndex i = 0;
  while (i < n && isSpaceUnit(u[i])) ++i;
  auto isDigit = [&](CFIndex k) { return k < n && u[k] >= '0' && u[k] <= '9'; };
  std::string text;
  auto take = [&] { text.push_back(static_cast<char>(u[i++])); };
  if (i < n && (u[i] == '+' || u[i] == '-')) take();
  while (isDigit(i)) take();
  if (i < n && u[i] == '.') {
    take();
    while (isDigit(i)) take();
  }
  if (i < n && (u[i] == 'e' || u[i] == 'E')) {
    take();
    if (i < n && (u[i] == '+' || u[i] == '-')) take();
    while (isDigit(i)) take();
  }
  if (text.empty() || cLocale == static_cast<locale_t>(nullptr)) return 0.0;
  return strtod_l(text.c_str(), nullptr, cLocale);
}

// ---------------------------------------------------------------------------------------------
// Debugging

void CFShowStr(CFStringRef str) {
  if (str == nullptr) {
    std::fputs("(null)\n", stderr);
    return;
  }
  CFAllocatorRef alloc = CFGetAllocator(str);
  const char* allocName = alloc == kCFAllocatorSystemDefault ? "SystemDefault" : "Custom";
  std::string text = qxcf::toUTF8(str);
  std::fprintf(stderr,
               "Length %ld\nIsEightBit %d\nHasLengthByte 0\nHasNullByte %d\nInlineContents %d\nAllocator %s\n"
               "Mutable %d\nContents %p \"%s\"\n\n",
               static_cast<long>(str->length), qxcf::isASCIIUnits(str->chars, str->length) ? 1 : 0,
               str->cString != nullptr ? 1 : 0, str->chars == const_cast<__CFString*>(str)->inlineStorage() ? 1 : 0,
               allocName, str->isMutable() ? 1 : 0, static_cast<const void*>(str->chars), text.c_str());
}
