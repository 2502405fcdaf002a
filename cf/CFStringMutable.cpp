// The mutation functions, all built on replaceUnits, and the functions that split strings into
// arrays and join them back.
//
// Mutating an immutable string, or passing a range outside the string, changes nothing: a caller's
// mistake must not corrupt memory.
#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFString.h>
#include <unicode/uchar.h>

#include "CFRef.h"
#include "CFRuntime.h"
#include "CFStringInternal.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

using qxcf::CFRef;

namespace {

bool mutableString(CFMutableStringRef s) { return s != nullptr && s->isMutable(); }

bool validRange(CFStringRef s, CFRange r) {
  return r.location >= 0 && r.length >= 0 && r.location <= s->length && r.length <= s->length - r.location;
}

bool isWhitespace(UniChar c) {
  if (c < 0x80) return c == ' ' || (c >= '\t' && c <= '\r');
  return u_isUWhiteSpace(c);
}

}  // namespace

void CFStringAppend(CFMutableStringRef theString, CFStringRef appendedString) {
  if (!mutableString(theString) || appendedString == nullptr) return;
  qxcf::appendUnits(theString, appendedString->chars, appendedString->length);
}

void CFStringAppendCharacters(CFMutableStringRef theString, const UniChar* chars, CFIndex numChars) {
  if (!mutableString(theString) || numChars <= 0 || chars == nullptr) return;
  qxcf::appendUnits(theString, chars, numChars);
}

void CFStringAppendCString(CFMutableStringRef theString, const char* cStr, CFStringEncoding encoding) {
  if (!mutableString(theString) || cStr == nullptr) return;
  size_t n = std::strlen(cStr);
  if (encoding == kCFStringEncodingUTF8 || encoding == kCFStringEncodingASCII) {
    // Both decode as UTF-8; ASCII additionally must not have high bytes.
    if (encoding == kCFStringEncodingASCII) {
      for (size_t i = 0; i < n; ++i) {
        if (static_cast<unsigned char>(cStr[i]) >= 0x80) return;
      }
    }
    qxcf::appendUTF8(theString, std::string_view(cStr, n));
    return;
  }
  CFRef<CFStringRef> s = qxcf::adopt(qxcf::createStringFromBytes(nullptr, reinterpret_cast<const UInt8*>(cStr),
                                                                 static_cast<CFIndex>(n), encoding, false));
  if (s) qxcf::appendUnits(theString, s.get()->chars, s.get()->length);
}

void CFStringInsert(CFMutableStringRef str, CFIndex idx, CFStringRef insertedStr) {
  if (!mutableString(str) || insertedStr == nullptr || idx < 0 || idx > str->length) return;
  qxcf::replaceUnits(str, CFRangeMake(idx, 0), insertedStr->chars, insertedStr->length);
}

void CFStringDelete(CFMutableStringRef theString, CFRange range) {
  if (!mutableString(theString) || !validRange(theString, range)) return;
  qxcf::replaceUnits(theString, range, nullptr, 0);
}

void CFStringReplace(CFMutableStringRef theString, CFRange range, CFStringRef replacement) {
  if (!mutableString(theString) || replacement == nullptr || !validRange(theString, range)) return;
  qxcf::replaceUnits(theString, range, replacement->chars, replacement->length);
}

void CFStringReplaceAll(CFMutableStringRef theString, CFStringRef replacement) {
  if (!mutableString(theString) || replacement == nullptr) return;
  qxcf::setUnits(theString, replacement->chars, replacement->length);
}

CFIndex CFStringFindAndReplace(CFMutableStringRef theString, CFStringRef stringToFind, CFStringRef replacementString,
                               CFRange rangeToSearch, CFStringCompareFlags compareOptions) {
  if (!mutableString(theString) || stringToFind == nullptr || replacementString == nullptr) return 0;
  std::vector<CFRange> found =
      qxcf::findMatches(theString, stringToFind, rangeToSearch, compareOptions, nullptr, false);
  if (found.empty()) return 0;
  // One pass into a new buffer: replacing in place would move the tail once per match.
  std::sort(found.begin(), found.end(), [](CFRange a, CFRange b) { return a.location < b.location; });
  const UniChar* u = theString->chars;
  const UniChar* with = replacementString->chars;  // may be theString itself: read before writing
  const size_t withLen = static_cast<size_t>(replacementString->length);
  std::vector<UniChar> out;
  out.reserve(static_cast<size_t>(theString->length) + found.size() * withLen);
  CFIndex at = 0;
  for (CFRange r : found) {
    out.insert(out.end(), u + at, u + r.location);
    out.insert(out.end(), with, with + withLen);
    at = r.location + r.length;
  }
  out.insert(out.end(), u + at, u + theString->length);
  if (!qxcf::setUnits(theString, out.data(), static_cast<CFIndex>(out.size()))) return 0;
  return static_cast<CFIndex>(found.size());
}

void CFStringPad(CFMutableStringRef theString, CFStringRef padString, CFIndex length, CFIndex indexIntoPad) {
  if (!mutableString(theString) || length < 0 || length > LONG_MAX / 4) return;
  if (length <= theString->length) {
    qxcf::replaceUnits(theString, CFRangeMake(length, theString->length - length), nullptr, 0);
    return;
  }
  if (padString == nullptr || padString->length == 0 || indexIntoPad < 0 || indexIntoPad >= padString->length) return;
  // Grow once (failing cleanly when the length cannot be had), then fill in place.
  CFIndex old = theString->length;
  CFIndex add = length - old;
  if (theString->capacity < length) {
    auto* grown = static_cast<UniChar*>(std::realloc(theString->chars, static_cast<size_t>(length) * sizeof(UniChar)));
    if (grown == nullptr) return;
    theString->chars = grown;
    theString->capacity = length;
  }
  const UniChar* pad = padString->chars;
  const CFIndex padLen = padString->length;
  CFIndex k = indexIntoPad;
  for (CFIndex i = 0; i < add; ++i) {
    theString->chars[old + i] = pad[k];
    if (++k == padLen) k = 0;
  }
  theString->length = length;
}

void CFStringTrim(CFMutableStringRef theString, CFStringRef trimString) {
  if (!mutableString(theString) || trimString == nullptr || trimString->length == 0) return;
  const UniChar* u = theString->chars;
  const CFIndex n = theString->length;
  const UniChar* t = trimString->chars;
  const CFIndex m = trimString->length;
  const size_t bytes = static_cast<size_t>(m) * sizeof(UniChar);
  CFIndex begin = 0, end = n;
  while (end - begin >= m && std::memcmp(u + begin, t, bytes) == 0) begin += m;
  while (end - begin >= m && std::memcmp(u + end - m, t, bytes) == 0) end -= m;
  if (end < n) qxcf::replaceUnits(theString, CFRangeMake(end, n - end), nullptr, 0);
  if (begin > 0) qxcf::replaceUnits(theString, CFRangeMake(0, begin), nullptr, 0);
}

void CFStringTrimWhitespace(CFMutableStringRef theString) {
  if (!mutableString(theString)) return;
  const UniChar* u = theString->chars;
  const CFIndex n = theString->length;
  CFIndex begin = 0, end = n;
  while (begin < end && isWhitespace(u[begin])) ++begin;
  while (end > begin && isWhitespace(u[end - 1])) --end;
  if (end < n) qxcf::replaceUnits(theString, CFRangeMake(end, n - end), nullptr, 0);
  if (begin > 0) qxcf::replaceUnits(theString, CFRangeMake(0, begin), nullptr, 0);
}

// ---------------------------------------------------------------------------------------------
// Arrays of strings

CFArrayRef CFStringCreateArrayBySeparatingStrings(CFAllocatorRef alloc, CFStringRef theString,
                                                  CFStringRef separatorString) {
  if (theString == nullptr || separatorString == nullptr) return nullptr;
  CFRef<CFMutableArrayRef> out = qxcf::adopt(CFArrayCreateMutable(alloc, 0, &kCFTypeArrayCallBacks));
  if (!out) return nullptr;
  std::vector<CFRange> found =
      qxcf::findMatches(theString, separatorString, CFRangeMake(0, theString->length), 0, nullptr, false);
  CFIndex at = 0;
  found.push_back(CFRangeMake(theString->length, 0));  // the piece after the last separator
  for (CFRange r : found) {
    CFRef<CFStringRef> piece = qxcf::adopt(qxcf::createStringUTF16(alloc, theString->chars + at, r.location - at));
    if (!piece) return nullptr;
    CFArrayAppendValue(out.get(), piece.get());
    at = r.location + r.length;
  }
  return out.release();
}

CFStringRef CFStringCreateByCombiningStrings(CFAllocatorRef alloc, CFArrayRef theArray, CFStringRef separatorString) {
  if (theArray == nullptr) return nullptr;
  const CFIndex count = CFArrayGetCount(theArray);
  const CFIndex sepLen = separatorString != nullptr ? separatorString->length : 0;
  CFIndex total = 0;
  for (CFIndex i = 0; i < count; ++i) {
    auto s = static_cast<CFStringRef>(CFArrayGetValueAtIndex(theArray, i));
    if (!qxcf::isType(s, qxcf::kTypeIDString)) return nullptr;  // not an array of strings
    total += s->length + (i > 0 ? sepLen : 0);
  }
  __CFString* out = qxcf::newImmutableString(alloc, total);
  if (out == nullptr) return nullptr;
  CFIndex at = 0;
  for (CFIndex i = 0; i < count; ++i) {
    auto s = static_cast<CFStringRef>(CFArrayGetValueAtIndex(theArray, i));
    if (i > 0 && sepLen > 0) {
      std::memcpy(out->chars + at, separatorString->chars, static_cast<size_t>(sepLen) * sizeof(UniChar));
      at += sepLen;
    }
    if (s->length > 0) std::memcpy(out->chars + at, s->chars, static_cast<size_t>(s->length) * sizeof(UniChar));
    at += s->length;
  }
  out->length = at;
  return out;
}

namespace {

// Every array holding these ranges owns its own copies, so copies of the result array (which
// retain through these callbacks) never share, and never doubly free, an element.
const void* retainRange(CFAllocatorRef, const void* value) {
  if (value == nullptr) return nullptr;
  auto* p = static_cast<CFRange*>(std::malloc(sizeof(CFRange)));
  if (p != nullptr) *p = *static_cast<const CFRange*>(value);
  return p;
}

void releaseRange(CFAllocatorRef, const void* value) { std::free(const_cast<void*>(value)); }

Boolean equalRanges(const void* a, const void* b) {
  auto* x = static_cast<const CFRange*>(a);
  auto* y = static_cast<const CFRange*>(b);
  if (x == nullptr || y == nullptr) return x == y;
  return x->location == y->location && x->length == y->length;
}

const CFArrayCallBacks kRangeArrayCallBacks = {0, retainRange, releaseRange, nullptr, equalRanges};

}  // namespace

CFArrayRef CFStringCreateArrayWithFindResults(CFAllocatorRef alloc, CFStringRef theString, CFStringRef stringToFind,
                                              CFRange rangeToSearch, CFStringCompareFlags compareOptions) {
  std::vector<CFRange> found =
      qxcf::findMatches(theString, stringToFind, rangeToSearch, compareOptions, nullptr, false);
  if (found.empty()) return nullptr;
  // In search order, so that callers replacing from the end (backwards) keep the other ranges valid.
  CFRef<CFMutableArrayRef> out =
      qxcf::adopt(CFArrayCreateMutable(alloc, static_cast<CFIndex>(found.size()), &kRangeArrayCallBacks));
  if (!out) return nullptr;
  for (CFIndex i = 0; i < static_cast<CFIndex>(found.size()); ++i) {
    CFArrayAppendValue(out.get(), &found[static_cast<size_t>(i)]);  // the retain callback stores its own copy
    if (CFArrayGetCount(out.get()) != i + 1 || CFArrayGetValueAtIndex(out.get(), i) == nullptr) return nullptr;
  }
  return out.release();
}
