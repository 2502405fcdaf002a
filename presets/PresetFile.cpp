#include "presets/PresetFile.h"

#include "cf/CFRef.h"
#include "files/CoreFileInternal.h"

using qxcf::adopt;
using qxcf::CFRef;

namespace qxpresets {

CFMutableDictionaryRef CreatePresetDictionary(const void* bytes, size_t count) {
  if (bytes == nullptr && count != 0) return nullptr;
  CFRef<CFDataRef> data = adopt(CFDataCreateWithBytesNoCopy(kCFAllocatorDefault, static_cast<const UInt8*>(bytes),
                                                            static_cast<CFIndex>(count), kCFAllocatorNull));
  if (!data) return nullptr;
  CFPropertyListRef plist =
      CFPropertyListCreateWithData(kCFAllocatorDefault, data.get(), kCFPropertyListMutableContainers, nullptr, nullptr);
  if (plist != nullptr && CFGetTypeID(plist) != CFDictionaryGetTypeID()) {
    CFRelease(plist);
    plist = nullptr;
  }
  return static_cast<CFMutableDictionaryRef>(const_cast<void*>(plist));
}

QXStatus ReadPresetFile(const std::string& path, CFMutableDictionaryRef* out) {
  if (out == nullptr) return kQXErrInvalidArgument;
  *out = nullptr;
  std::string bytes;
  if (int err = qxfiles::ReadRegularFile(path, bytes, kMaxPresetFileBytes)) return err;
  *out = CreatePresetDictionary(bytes.data(), bytes.size());
  return *out != nullptr ? 0 : kQXErrUnsupportedFormat;
}

QXStatus WritePresetFile(const std::string& path, CFDictionaryRef dictionary) {
  if (dictionary == nullptr) return kQXErrInvalidArgument;
  CFRef<CFDataRef> data =
      adopt(CFPropertyListCreateData(kCFAllocatorDefault, dictionary, kCFPropertyListXMLFormat_v1_0, 0, nullptr));
  if (!data) return kQXErrUnsupportedFormat;
  return qxfiles::ReplaceFileContents(path, CFDataGetBytePtr(data.get()),
                                      static_cast<size_t>(CFDataGetLength(data.get())));
}

}  // namespace qxpresets
