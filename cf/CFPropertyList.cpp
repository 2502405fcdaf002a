// Property lists: the public entry points, the deep copy and the validity check. The XML itself is
// in CFPropertyListWriter.cpp and CFPropertyListReader.cpp.
#include "CFPropertyListInternal.h"
#include "CFRef.h"
#include "CFRuntime.h"
#include "CFStringInternal.h"

#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFData.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFError.h>
#include <CoreFoundation/CFNumber.h>

#include <cstring>
#include <new>
#include <vector>

using qxcf::CFRef;

namespace {

bool isValid(CFTypeRef v, CFPropertyListFormat format, int depth) {
  if (v == nullptr) return false;
  switch (qxcf::typeOf(v)) {
    case qxcf::kTypeIDString:
    case qxcf::kTypeIDData: return true;
    case qxcf::kTypeIDNumber:
    case qxcf::kTypeIDBoolean:
    case qxcf::kTypeIDDate: return format != kCFPropertyListOpenStepFormat;
    case qxcf::kTypeIDArray: {
      if (depth >= qxcf::kMaxPropertyListDepth) return false;
      auto array = static_cast<CFArrayRef>(v);
      CFIndex n = CFArrayGetCount(array);
      std::vector<const void*> items(static_cast<size_t>(n));
      CFArrayGetValues(array, CFRangeMake(0, n), items.data());
      for (const void* item : items) {
        if (!isValid(item, format, depth + 1)) return false;
      }
      return true;
    }
    case qxcf::kTypeIDDictionary: {
      if (depth >= qxcf::kMaxPropertyListDepth) return false;
      auto dict = static_cast<CFDictionaryRef>(v);
      CFIndex n = CFDictionaryGetCount(dict);
      std::vector<const void*> kv(static_cast<size_t>(2 * n));
      CFDictionaryGetKeysAndValues(dict, kv.data(), kv.data() + n);
      for (CFIndex i = 0; i < n; ++i) {
        if (!qxcf::isType(kv[static_cast<size_t>(i)], qxcf::kTypeIDString)) return false;
        if (!isValid(kv[static_cast<size_t>(n + i)], format, depth + 1)) return false;
      }
      return true;
    }
    default: return false;
  }
}

CFTypeRef deepCopy(CFAllocatorRef alloc, CFTypeRef v, CFOptionFlags mutability, int depth) {
  if (v == nullptr) return nullptr;
  bool mutableContainers =
      (mutability & (kCFPropertyListMutableContainers | kCFPropertyListMutableContainersAndLeaves)) != 0;
  bool mutableLeaves = (mutability & kCFPropertyListMutableContainersAndLeaves) != 0;
  switch (qxcf::typeOf(v)) {
    case qxcf::kTypeIDString: {
      auto s = static_cast<CFStringRef>(v);
      if (mutableLeaves) {
        std::u16string_view units = qxcf::chars(s);
        CFMutableStringRef m = qxcf::createMutableString(alloc, units.empty() ? 1 : static_cast<CFIndex>(units.size()));
        if (m != nullptr &&
            !qxcf::appendUnits(m, reinterpret_cast<const UniChar*>(units.data()), static_cast<CFIndex>(units.size()))) {
          CFRelease(m);
          m = nullptr;
        }
        return m;
      }
      return CFStringCreateCopy(alloc, s);
    }
    case qxcf::kTypeIDData: {
      auto d = static_cast<CFDataRef>(v);
      if (mutableLeaves) return CFDataCreateMutableCopy(alloc, 0, d);
      return CFDataCreateCopy(alloc, d);
    }
    case qxcf::kTypeIDNumber:
    case qxcf::kTypeIDBoolean:
    case qxcf::kTypeIDDate: return CFRetain(v);
    case qxcf::kTypeIDArray: {
      if (depth >= qxcf::kMaxPropertyListDepth) return nullptr;
      auto array = static_cast<CFArrayRef>(v);
      CFIndex n = CFArrayGetCount(array);
      std::vector<const void*> items(static_cast<size_t>(n));
      CFArrayGetValues(array, CFRangeMake(0, n), items.data());
      std::vector<CFRef<CFTypeRef>> copies;
      copies.reserve(items.size());
      for (const void* item : items) {
        copies.push_back(qxcf::adopt(deepCopy(alloc, item, mutability, depth + 1)));
        if (!copies.back()) return nullptr;
        items[copies.size() - 1] = copies.back().get();
      }
      if (mutableContainers) {
        CFMutableArrayRef m = CFArrayCreateMutable(alloc, 0, &kCFTypeArrayCallBacks);
        if (m != nullptr) {
          for (const void* item : items) CFArrayAppendValue(m, item);
        }
        return m;
      }
      return CFArrayCreate(alloc, items.data(), n, &kCFTypeArrayCallBacks);
    }
    case qxcf::kTypeIDDictionary: {
      if (depth >= qxcf::kMaxPropertyListDepth) return nullptr;
      auto dict = static_cast<CFDictionaryRef>(v);
      CFIndex n = CFDictionaryGetCount(dict);
      std::vector<const void*> kv(static_cast<size_t>(2 * n));
      CFDictionaryGetKeysAndValues(dict, kv.data(), kv.data() + n);
      std::vector<CFRef<CFTypeRef>> copies;
      copies.reserve(kv.size());
      for (size_t i = 0; i < kv.size(); ++i) {
        bool isKey = i < static_cast<size_t>(n);
        if (isKey) {
          // Keys stay immutable whatever the option: mutating a key inside a dictionary breaks it.
          if (!qxcf::isType(kv[i], qxcf::kTypeIDString)) return nullptr;
          copies.push_back(qxcf::adopt<CFTypeRef>(CFStringCreateCopy(alloc, static_cast<CFStringRef>(kv[i]))));
        } else {
          copies.push_back(qxcf::adopt(deepCopy(alloc, kv[i], mutability, depth + 1)));
        }
        if (!copies.back()) return nullptr;
        kv[i] = copies.back().get();
      }
      if (mutableContainers) {
        CFMutableDictionaryRef m =
            CFDictionaryCreateMutable(alloc, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
        if (m != nullptr) {
          for (CFIndex i = 0; i < n; ++i)
            CFDictionarySetValue(m, kv[static_cast<size_t>(i)], kv[static_cast<size_t>(n + i)]);
        }
        return m;
      }
      return CFDictionaryCreate(alloc, kv.data(), kv.data() + n, n, &kCFTypeDictionaryKeyCallBacks,
                                &kCFTypeDictionaryValueCallBacks);
    }
    default: return nullptr;
  }
}

// Messages quote document text; should a quote ever be cut badly, the message still arrives, with
// the undecodable bytes as '?'.
CFStringRef createMessage(const std::string& message) {
  if (CFStringRef s = qxcf::createStringUTF8(message)) return s;
  std::string ascii = message;
  for (char& c : ascii) {
    if (static_cast<unsigned char>(c) >= 0x80) c = '?';
  }
  return qxcf::createStringUTF8(ascii);
}

CFErrorRef createError(CFAllocatorRef alloc, CFIndex code, const std::string& message) {
  CFRef<CFStringRef> text = qxcf::adopt(createMessage(message));
  if (!text) return nullptr;
  const void* keys[] = {kCFErrorDescriptionKey, kCFErrorDebugDescriptionKey};
  const void* values[] = {text.get(), text.get()};
  return CFErrorCreateWithUserInfoKeysAndValues(alloc, kCFErrorDomainCocoa, code, keys, values, 2);
}

// The XML bytes of plist, or false with error set.
bool writeXML(CFPropertyListRef plist, std::string& out, std::string& error) {
  try {
    out.reserve(4096);
    return qxcf::writeXMLPropertyList(plist, out, error);
  } catch (const std::bad_alloc&) {
    error = "out of memory";
    return false;
  }
}

CFPropertyListRef readXML(CFAllocatorRef alloc, CFDataRef data, CFOptionFlags mutability, std::string& error) {
  if (data == nullptr) {
    error = "no data";
    return nullptr;
  }
  try {
    auto bytes = reinterpret_cast<const char*>(CFDataGetBytePtr(data));
    size_t count = static_cast<size_t>(CFDataGetLength(data));
    if (count >= 8 && std::memcmp(bytes, "bplist", 6) == 0) {
      error = "binary property lists are not supported";
      return nullptr;
    }
    size_t i = count >= 3 && std::memcmp(bytes, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
    while (i < count && (bytes[i] == ' ' || bytes[i] == '\t' || bytes[i] == '\n' || bytes[i] == '\r')) ++i;
    if (i < count && bytes[i] != '<') {
      error = "not an XML property list (the OpenStep format is not supported)";
      return nullptr;
    }
    CFPropertyListRef result = qxcf::readXMLPropertyList(alloc, bytes, count, mutability, error);
    if (result == nullptr && error.empty()) error = "unreadable property list";
    return result;
  } catch (const std::bad_alloc&) {
    error = "out of memory";
    return nullptr;
  }
}

}  // namespace

CFDataRef CFPropertyListCreateXMLData(CFAllocatorRef allocator, CFPropertyListRef propertyList) {
  std::string out, error;
  if (!writeXML(propertyList, out, error)) return nullptr;
  return CFDataCreate(allocator, reinterpret_cast<const UInt8*>(out.data()), static_cast<CFIndex>(out.size()));
}

CFPropertyListRef CFPropertyListCreateFromXMLData(CFAllocatorRef allocator, CFDataRef xmlData,
                                                  CFOptionFlags mutabilityOption, CFStringRef* errorString) {
  if (errorString != nullptr) *errorString = nullptr;
  std::string error;
  CFPropertyListRef result = readXML(allocator, xmlData, mutabilityOption, error);
  if (result == nullptr && errorString != nullptr) *errorString = createMessage(error);
  return result;
}

CFPropertyListRef CFPropertyListCreateDeepCopy(CFAllocatorRef allocator, CFPropertyListRef propertyList,
                                               CFOptionFlags mutabilityOption) {
  try {
    return deepCopy(allocator, propertyList, mutabilityOption, 0);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

Boolean CFPropertyListIsValid(CFPropertyListRef plist, CFPropertyListFormat format) {
  if (format != kCFPropertyListOpenStepFormat && format != kCFPropertyListXMLFormat_v1_0 &&
      format != kCFPropertyListBinaryFormat_v1_0) {
    return false;
  }
  try {
    return isValid(plist, format, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

CFDataRef CFPropertyListCreateData(CFAllocatorRef allocator, CFPropertyListRef propertyList,
                                   CFPropertyListFormat format, CFOptionFlags options, CFErrorRef* error) {
  (void)options;
  if (error != nullptr) *error = nullptr;
  std::string out, message;
  if (format != kCFPropertyListXMLFormat_v1_0) {
    message = "property list format " + std::to_string(format) + " is not supported for writing";
  } else if (writeXML(propertyList, out, message)) {
    return CFDataCreate(allocator, reinterpret_cast<const UInt8*>(out.data()), static_cast<CFIndex>(out.size()));
  } else {
    message = "Property list invalid for format: 100 (" + message + ")";
  }
  if (error != nullptr) *error = createError(allocator, kCFPropertyListWriteStreamError, message);
  return nullptr;
}

CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef allocator, CFDataRef data, CFOptionFlags options,
                                               CFPropertyListFormat* format, CFErrorRef* error) {
  if (error != nullptr) *error = nullptr;
  std::string message;
  CFPropertyListRef result = readXML(allocator, data, options, message);
  if (result != nullptr) {
    if (format != nullptr) *format = kCFPropertyListXMLFormat_v1_0;
    return result;
  }
  if (error != nullptr) *error = createError(allocator, kCFPropertyListReadCorruptError, message);
  return nullptr;
}
