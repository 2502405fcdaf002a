// Values read from records and HTTP messages. Another process wrote them, so every read looks at
// the stored type before it uses a value; shared by the records and the HTTP messages.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXBase.h>

#include <cstdint>

namespace qxmsg {

inline bool HasType(CFTypeRef value, CFTypeID type) { return value != nullptr && CFGetTypeID(value) == type; }
inline bool IsString(CFTypeRef value) { return HasType(value, CFStringGetTypeID()); }
inline bool IsNumber(CFTypeRef value) { return HasType(value, CFNumberGetTypeID()); }
inline bool IsArray(CFTypeRef value) { return HasType(value, CFArrayGetTypeID()); }

// A new empty mutable dictionary of CF keys and values; null when memory runs out.
inline CFMutableDictionaryRef NewDictionary() {
  return CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
}

// A number's value or a string's decimal value; 0 for anything else, or nothing.
inline int32_t IntValue(CFTypeRef value) {
  int32_t result = 0;
  if (IsNumber(value)) CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt32Type, &result);
  if (IsString(value)) result = CFStringGetIntValue(static_cast<CFStringRef>(value));
  return result;
}
inline double DoubleValue(CFTypeRef value) {
  double result = 0.0;
  if (IsNumber(value)) CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberDoubleType, &result);
  if (IsString(value)) result = CFStringGetDoubleValue(static_cast<CFStringRef>(value));
  return result;
}

// QXMessageCopyUnpacked; with `immutable` (bytes this library made and never changes) the raw
// payload is a view that keeps `packed` alive instead of a copy.
QXStatus CopyUnpacked(CFDataRef packed, bool immutable, CFDictionaryRef* outInfo);

}  // namespace qxmsg
