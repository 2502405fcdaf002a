#include "presets/PresetFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

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

QXStatus WritePresetFile(const std::string& path, CFDictionaryRef dictionary, bool replace) {
  if (dictionary == nullptr) return kQXErrInvalidArgument;
  CFRef<CFDataRef> data =
      adopt(CFPropertyListCreateData(kCFAllocatorDefault, dictionary, kCFPropertyListXMLFormat_v1_0, 0, nullptr));
  if (!data) return kQXErrUnsupportedFormat;
  return qxfiles::ReplaceFileContents(path, CFDataGetBytePtr(data.get()),
                                      static_cast<size_t>(CFDataGetLength(data.get())), replace);
}

CFDictionaryRef CommonData(CFDictionaryRef root) {
  if (root == nullptr) return nullptr;
  CFTypeRef common = CFDictionaryGetValue(root, CFSTR("presetCommonData"));
  return common != nullptr && CFGetTypeID(common) == CFDictionaryGetTypeID() ? static_cast<CFDictionaryRef>(common)
                                                                             : root;
}

int ListFolder(const std::string& folder, unsigned kinds, std::vector<std::string>& names) {
  names.clear();
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return errno;
  const int fd = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    unsigned kind = entry->d_type == DT_DIR ? kListFolders : entry->d_type == DT_REG ? kListFiles : 0u;
    // Links and file systems that do not report types need a look at the entry itself.
    if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
      struct stat st;
      if (::fstatat(fd, entry->d_name, &st, 0) == 0)
        kind = S_ISDIR(st.st_mode) ? kListFolders : S_ISREG(st.st_mode) ? kListFiles : 0u;
    }
    if (kind & kinds) names.emplace_back(entry->d_name);
  }
  ::closedir(dir);
  return 0;
}

}  // namespace qxpresets
