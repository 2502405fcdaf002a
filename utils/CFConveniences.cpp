// Typed values in CF dictionaries and arrays, and property-list XML without its document-type line.
#include <QXCore/QXUtilsMisc.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "cf/CFRef.h"

using qxcf::CFRef;

namespace {

// The value under key when it has the given type; null otherwise (a value stored by someone else under the
// same key must never be read as another type).
CFTypeRef typedValue(CFDictionaryRef dictionary, CFStringRef key, CFTypeID type) {
  if (dictionary == nullptr || key == nullptr) return nullptr;
  CFTypeRef value = CFDictionaryGetValue(dictionary, key);
  return value != nullptr && CFGetTypeID(value) == type ? value : nullptr;
}

CFNumberRef numberValue(CFDictionaryRef dictionary, CFStringRef key) {
  return static_cast<CFNumberRef>(typedValue(dictionary, key, CFNumberGetTypeID()));
}

void setValue(CFMutableDictionaryRef dictionary, CFStringRef key, CFTypeRef value) {
  if (dictionary != nullptr && key != nullptr && value != nullptr) CFDictionarySetValue(dictionary, key, value);
}

void setNumber(CFMutableDictionaryRef dictionary, CFStringRef key, CFNumberType type, const void* value) {
  if (dictionary == nullptr || key == nullptr) return;
  CFRef<CFNumberRef> number = qxcf::adopt(CFNumberCreate(nullptr, type, value));
  setValue(dictionary, key, number.get());
}

// Points and rectangles are stored as their int32 fields, each little-endian, whatever the machine's order.
template <size_t N>
void setFields(CFMutableDictionaryRef dictionary, CFStringRef key, const int32_t (&fields)[N]) {
  if (dictionary == nullptr || key == nullptr) return;
  UInt8 bytes[N * 4];
  for (size_t i = 0; i < N; ++i) {
    const auto v = static_cast<uint32_t>(fields[i]);
    for (size_t b = 0; b < 4; ++b) bytes[i * 4 + b] = static_cast<UInt8>(v >> (8 * b));
  }
  CFRef<CFDataRef> data = qxcf::adopt(CFDataCreate(nullptr, bytes, static_cast<CFIndex>(sizeof bytes)));
  setValue(dictionary, key, data.get());
}

// False, leaving fields zero, unless the value is CFData of exactly N fields: a shorter one would be read past
// its end, a longer one is something else.
template <size_t N>
bool getFields(CFDictionaryRef dictionary, CFStringRef key, int32_t (&fields)[N]) {
  std::fill(fields, fields + N, 0);
  auto data = static_cast<CFDataRef>(typedValue(dictionary, key, CFDataGetTypeID()));
  if (data == nullptr || CFDataGetLength(data) != static_cast<CFIndex>(N * 4)) return false;
  const UInt8* bytes = CFDataGetBytePtr(data);
  for (size_t i = 0; i < N; ++i) {
    uint32_t v = 0;
    for (size_t b = 0; b < 4; ++b) v |= uint32_t{bytes[i * 4 + b]} << (8 * b);
    fields[i] = static_cast<int32_t>(v);
  }
  return true;
}

}  // namespace

void QXUtilsCFDictionarySetValueBool(CFMutableDictionaryRef dictionary, CFStringRef key, bool value) {
  const int stored = value ? 1 : 0;
  setNumber(dictionary, key, kCFNumberIntType, &stored);
}

bool QXUtilsCFDictionaryGetValueBool(CFDictionaryRef dictionary, CFStringRef key) {
  if (CFTypeRef flag = typedValue(dictionary, key, CFBooleanGetTypeID()))
    return CFBooleanGetValue(static_cast<CFBooleanRef>(flag));
  CFNumberRef number = numberValue(dictionary, key);
  double value = 0;
  if (number != nullptr) CFNumberGetValue(number, kCFNumberDoubleType, &value);
  return value != 0;
}

void QXUtilsCFDictionarySetValueInt(CFMutableDictionaryRef dictionary, CFStringRef key, int32_t value) {
  const int stored = value;
  setNumber(dictionary, key, kCFNumberIntType, &stored);
}

int32_t QXUtilsCFDictionaryGetValueInt(CFDictionaryRef dictionary, CFStringRef key) {
  return QXUtilsGetIntValue(numberValue(dictionary, key));
}

void QXUtilsCFDictionarySetValueDouble(CFMutableDictionaryRef dictionary, CFStringRef key, double value) {
  setNumber(dictionary, key, kCFNumberDoubleType, &value);
}

double QXUtilsCFDictionaryGetValueDouble(CFDictionaryRef dictionary, CFStringRef key) {
  return QXUtilsGetDoubleValue(numberValue(dictionary, key));
}

void QXUtilsCFDictionarySetValuePointer(CFMutableDictionaryRef dictionary, CFStringRef key, const void* value) {
  const auto stored = static_cast<int64_t>(reinterpret_cast<intptr_t>(value));
  setNumber(dictionary, key, kCFNumberSInt64Type, &stored);
}

void* QXUtilsCFDictionaryGetValuePointer(CFDictionaryRef dictionary, CFStringRef key) {
  CFNumberRef number = numberValue(dictionary, key);
  int64_t stored = 0;
  if (number == nullptr || CFNumberIsFloatType(number)) return nullptr;
  CFNumberGetValue(number, kCFNumberSInt64Type, &stored);
  return reinterpret_cast<void*>(static_cast<intptr_t>(stored));
}

void QXUtilsCFDictionarySetValueQXPoint(CFMutableDictionaryRef dictionary, CFStringRef key, QXPoint value) {
  const int32_t fields[] = {value.x, value.y};
  setFields(dictionary, key, fields);
}

QXPoint QXUtilsCFDictionaryGetValueQXPoint(CFDictionaryRef dictionary, CFStringRef key) {
  int32_t f[2];
  getFields(dictionary, key, f);
  return {f[0], f[1]};
}

void QXUtilsCFDictionarySetValueQXRect(CFMutableDictionaryRef dictionary, CFStringRef key, QXRect value) {
  const int32_t fields[] = {value.x, value.y, value.width, value.height};
  setFields(dictionary, key, fields);
}

QXRect QXUtilsCFDictionaryGetValueQXRect(CFDictionaryRef dictionary, CFStringRef key) {
  int32_t f[4];
  getFields(dictionary, key, f);
  return {f[0], f[1], f[2], f[3]};
}

void QXUtilsCFDictionarySetKeyInt(CFMutableDictionaryRef dictionary, int32_t key, CFTypeRef value) {
  if (dictionary == nullptr || value == nullptr) return;
  const int stored = key;
  CFRef<CFNumberRef> number = qxcf::adopt(CFNumberCreate(nullptr, kCFNumberIntType, &stored));
  if (number) CFDictionarySetValue(dictionary, number.get(), value);
}

CFDictionaryRef QXUtilsCFDictionaryGetCFDictionary(CFDictionaryRef dictionary, CFStringRef key) {
  return static_cast<CFDictionaryRef>(typedValue(dictionary, key, CFDictionaryGetTypeID()));
}

void QXUtilsCFDictionarySetCFDictionary(CFMutableDictionaryRef dictionary, CFStringRef key, CFDictionaryRef value) {
  setValue(dictionary, key, value);
}

CFMutableDictionaryRef QXUtilsCFDictionaryCreateMutable2(void) {
  return CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
}

CFArrayRef QXUtilsCFDictionaryGetKeysCopy(CFDictionaryRef dictionary) {
  if (dictionary == nullptr) return nullptr;
  const CFIndex count = CFDictionaryGetCount(dictionary);
  std::unique_ptr<const void*[]> keys(new (std::nothrow) const void*[static_cast<size_t>(count) + 1]);
  if (!keys) return nullptr;
  CFDictionaryGetKeysAndValues(dictionary, keys.get(), nullptr);
  return CFArrayCreate(nullptr, keys.get(), count, &kCFTypeArrayCallBacks);
}

CFNumberRef QXUtilsCFNumberCreateSInt32(int32_t value) { return CFNumberCreate(nullptr, kCFNumberSInt32Type, &value); }

int32_t QXUtilsGetIntValue(CFNumberRef number) {
  int value = 0;
  if (number != nullptr && CFGetTypeID(number) == CFNumberGetTypeID())
    CFNumberGetValue(number, kCFNumberIntType, &value);
  return value;
}

double QXUtilsGetDoubleValue(CFNumberRef number) {
  double value = 0;
  if (number != nullptr && CFGetTypeID(number) == CFNumberGetTypeID())
    CFNumberGetValue(number, kCFNumberDoubleType, &value);
  return value;
}

int32_t QXUtilsCFValueGetInt(CFTypeRef value) {
  if (value == nullptr) return 0;
  if (CFGetTypeID(value) == CFStringGetTypeID()) return CFStringGetIntValue(static_cast<CFStringRef>(value));
  return QXUtilsGetIntValue(static_cast<CFNumberRef>(value));
}

void QXUtilsCFArrayRemoveValue(CFMutableArrayRef array, CFTypeRef value) {
  if (array == nullptr || value == nullptr) return;
  const CFIndex at = CFArrayGetFirstIndexOfValue(array, CFRangeMake(0, CFArrayGetCount(array)), value);
  if (at != kCFNotFound) CFArrayRemoveValueAtIndex(array, at);
}

void QXUtilsCFArrayAppendValueUInt32(CFMutableArrayRef array, uint32_t value) {
  if (array == nullptr) return;
  const auto stored = static_cast<int32_t>(value);
  CFRef<CFNumberRef> number = qxcf::adopt(CFNumberCreate(nullptr, kCFNumberSInt32Type, &stored));
  if (number) CFArrayAppendValue(array, number.get());
}

CFDataRef QXUtilsCreateXMLData(CFAllocatorRef allocator, CFPropertyListRef propertyList) {
  if (propertyList == nullptr) return nullptr;
  CFRef<CFDataRef> xml = qxcf::adopt(CFPropertyListCreateXMLData(allocator, propertyList));
  if (!xml) return nullptr;
  const std::string_view text(reinterpret_cast<const char*>(CFDataGetBytePtr(xml.get())),
                              static_cast<size_t>(CFDataGetLength(xml.get())));
  // Only the prolog can hold the declaration; in the body "<" is always escaped.
  const std::string_view prolog = text.substr(0, text.find("<plist"));
  constexpr std::string_view kDoctype = "<!doctype";
  auto sameLetter = [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
  };
  auto start = std::search(prolog.begin(), prolog.end(), kDoctype.begin(), kDoctype.end(), sameLetter);
  if (start == prolog.end()) return CFDataCreateCopy(allocator, xml.get());
  const size_t from = static_cast<size_t>(start - text.begin());
  const size_t lineEnd = text.find('\n', from);
  const size_t to = lineEnd == std::string_view::npos ? text.size() : lineEnd + 1;
  CFMutableDataRef out = CFDataCreateMutable(allocator, static_cast<CFIndex>(text.size() - (to - from)));
  if (out == nullptr) return nullptr;
  CFDataAppendBytes(out, CFDataGetBytePtr(xml.get()), static_cast<CFIndex>(from));
  CFDataAppendBytes(out, CFDataGetBytePtr(xml.get()) + to, static_cast<CFIndex>(text.size() - to));
  return out;
}

CFPropertyListRef QXUtilsCreatePropertyListFromXMLData(CFAllocatorRef allocator, CFDataRef xmlData,
                                                       CFOptionFlags mutabilityOption, CFStringRef* errorString) {
  return CFPropertyListCreateFromXMLData(allocator, xmlData, mutabilityOption, errorString);
}
