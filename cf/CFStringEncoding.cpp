// Conversion between strings and bytes in the supported encodings.
#include <CoreFoundation/CFString.h>

#include "CFRuntime.h"
#include "CFStringInternal.h"

#include <cstring>
#include <string>

namespace {

// Encodes one code point; returns bytes written or 0 if it does not fit.
CFIndex putUTF8(uint32_t c, UInt8* out, CFIndex room) {
  if (c < 0x80) {
    if (room < 1) return 0;
    out[0] = static_cast<UInt8>(c);
    return 1;
  }
  if (c < 0x800) {
    if (room < 2) return 0;
    out[0] = static_cast<UInt8>(0xC0 | (c >> 6));
    out[1] = static_cast<UInt8>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    if (room < 3) return 0;
    out[0] = static_cast<UInt8>(0xE0 | (c >> 12));
    out[1] = static_cast<UInt8>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<UInt8>(0x80 | (c & 0x3F));
    return 3;
  }
  if (room < 4) return 0;
  out[0] = static_cast<UInt8>(0xF0 | (c >> 18));
  out[1] = static_cast<UInt8>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<UInt8>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<UInt8>(0x80 | (c & 0x3F));
  return 4;
}

}  // namespace

CFStringRef CFStringCreateWithBytes(CFAllocatorRef alloc, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean /*isExternalRepresentation*/) {
  if (numBytes < 0 || (bytes == nullptr && numBytes > 0)) return nullptr;
  switch (encoding) {
    case kCFStringEncodingUTF8: {
      // A UTF-8 BOM is dropped, as CoreFoundation does for external representations.
      if (numBytes >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        bytes += 3;
        numBytes -= 3;
      }
      return qxcf::createStringUTF8(alloc, reinterpret_cast<const char*>(bytes), static_cast<size_t>(numBytes));
    }
    case kCFStringEncodingASCII:
    case kCFStringEncodingISOLatin1: {
      std::u16string units(static_cast<size_t>(numBytes), u'\0');
      for (CFIndex i = 0; i < numBytes; ++i) {
        if (encoding == kCFStringEncodingASCII && bytes[i] >= 0x80) return nullptr;
        units[static_cast<size_t>(i)] = bytes[i];
      }
      return qxcf::createStringUTF16(alloc, reinterpret_cast<const UniChar*>(units.data()), numBytes);
    }
    default: return nullptr;
  }
}

CFIndex CFStringGetBytes(CFStringRef theString, CFRange range, CFStringEncoding encoding, UInt8 lossByte,
                         Boolean /*isExternalRepresentation*/, UInt8* buffer, CFIndex maxBufLen, CFIndex* usedBufLen) {
  CFIndex used = 0;
  CFIndex i = range.location;
  const CFIndex end = range.location + range.length;
  if (range.location < 0 || range.length < 0 || end > theString->length) {
    if (usedBufLen) *usedBufLen = 0;
    return 0;
  }
  const UniChar* u = theString->chars;
  const CFIndex room = buffer == nullptr ? LONG_MAX : maxBufLen;
  UInt8 tmp[4];
  while (i < end) {
    uint32_t c = u[i];
    CFIndex units = 1;
    bool lossy = false;
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < end && u[i + 1] >= 0xDC00 && u[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (u[i + 1] - 0xDC00);
      units = 2;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      lossy = true;
    }
    CFIndex n;
    if (encoding == kCFStringEncodingUTF8) {
      if (lossy) {
        if (lossByte == 0) break;
        tmp[0] = lossByte;
        n = 1;
      } else {
        n = putUTF8(c, tmp, 4);
      }
    } else if (encoding == kCFStringEncodingASCII || encoding == kCFStringEncodingISOLatin1) {
      uint32_t limit = encoding == kCFStringEncodingASCII ? 0x80 : 0x100;
      if (lossy || c >= limit) {
        if (lossByte == 0) break;
        tmp[0] = lossByte;
      } else {
        tmp[0] = static_cast<UInt8>(c);
      }
      n = 1;
    } else {
      break;
    }
    if (used + n > room) break;
    if (buffer != nullptr) std::memcpy(buffer + used, tmp, static_cast<size_t>(n));
    used += n;
    i += units;
  }
  if (usedBufLen) *usedBufLen = used;
  return i - range.location;
}
