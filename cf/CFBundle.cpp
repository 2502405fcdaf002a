// Bundles. A Linux program has no bundle layout and no Info.plist: the main bundle is simply the
// folder of the running executable (from /proc/self/exe), with resources beside it.
#include <CoreFoundation/CFBundle.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFURL.h>

#include "CFRef.h"
#include "CFRuntime.h"
#include "CFStringInternal.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

using qxcf::adopt;
using qxcf::CFRef;

QXCF_CONSTANT_STRING(kCFBundleInfoDictionaryVersionKey, "CFBundleInfoDictionaryVersion");
QXCF_CONSTANT_STRING(kCFBundleExecutableKey, "CFBundleExecutable");
QXCF_CONSTANT_STRING(kCFBundleIdentifierKey, "CFBundleIdentifier");
QXCF_CONSTANT_STRING(kCFBundleVersionKey, "CFBundleVersion");
QXCF_CONSTANT_STRING(kCFBundleDevelopmentRegionKey, "CFBundleDevelopmentRegion");
QXCF_CONSTANT_STRING(kCFBundleNameKey, "CFBundleName");
QXCF_CONSTANT_STRING(kCFBundleLocalizationsKey, "CFBundleLocalizations");

struct __CFBundle : __CFRuntimeBase {
  std::string folder;      // absolute, no trailing slash (except "/")
  std::string executable;  // empty for bundles other than the main one
  CFRef<CFDictionaryRef> info;

  __CFBundle(CFAllocatorRef alloc, const qxcf::RuntimeClass* cls, std::string dir, std::string exe)
      : __CFRuntimeBase(cls, 1, alloc), folder(std::move(dir)), executable(std::move(exe)) {}
};

namespace {

CFStringRef bundleDesc(CFTypeRef cf) {
  auto* b = static_cast<const __CFBundle*>(cf);
  char head[96];
  std::snprintf(head, sizeof head, "<CFBundle %p [%p]>{path = ", cf, static_cast<const void*>(CFGetAllocator(cf)));
  return qxcf::createStringUTF8(std::string(head) + b->folder +
                                ", executable = " + (b->executable.empty() ? "(none)" : b->executable) + "}");
}

bool bundleEqual(CFTypeRef a, CFTypeRef b) {
  return static_cast<const __CFBundle*>(a)->folder == static_cast<const __CFBundle*>(b)->folder &&
         static_cast<const __CFBundle*>(a)->executable == static_cast<const __CFBundle*>(b)->executable;
}

// Over exactly the fields bundleEqual compares, so equal bundles hash alike.
CFHashCode bundleHash(CFTypeRef cf) {
  auto* b = static_cast<const __CFBundle*>(cf);
  uint64_t h = std::hash<std::string>{}(b->folder);
  return qxcf::mixHash(h ^ (std::hash<std::string>{}(b->executable) * 0x9e3779b97f4a7c15ULL));
}

constexpr qxcf::RuntimeClass kBundleClass = {
    qxcf::kTypeIDBundle, "CFBundle", qxcf::finalizeAs<__CFBundle>, bundleEqual, bundleHash, bundleDesc, bundleDesc};

CFURLRef fileURL(const std::string& path, bool isDirectory) {
  return CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(path.data()),
                                                 static_cast<CFIndex>(path.size()), isDirectory);
}

std::string parentFolder(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

__CFBundle* makeBundle(CFAllocatorRef alloc, std::string folder, std::string exe) {
  CFRef<CFDictionaryRef> info = adopt(CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                         &kCFTypeDictionaryValueCallBacks));
  if (!info) return nullptr;
  auto* b = qxcf::cfCreate<__CFBundle>(alloc, 0, &kBundleClass, std::move(folder), std::move(exe));
  if (b != nullptr) b->info = std::move(info);
  return b;
}

std::string joinPath(const std::string& dir, const std::string& name) {
  if (name.empty()) return dir;
  return dir == "/" ? "/" + name : dir + "/" + name;
}

}  // namespace

CFTypeID CFBundleGetTypeID(void) { return qxcf::kTypeIDBundle; }

CFBundleRef CFBundleGetMainBundle(void) {
  static CFBundleRef main = []() -> CFBundleRef {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return nullptr;
    std::string exe(buf, static_cast<size_t>(n));
    __CFBundle* b = makeBundle(nullptr, parentFolder(exe), exe);
    if (b != nullptr) b->rc.store(qxcf::kImmortalCount, std::memory_order_relaxed);
    return b;
  }();
  return main;
}

CFBundleRef CFBundleGetBundleWithIdentifier(CFStringRef) {
  return nullptr;  // no bundle, the main one included, has an identifier
}

CFBundleRef CFBundleCreate(CFAllocatorRef allocator, CFURLRef bundleURL) {
  if (bundleURL == nullptr) return nullptr;
  UInt8 buf[PATH_MAX];
  if (!CFURLGetFileSystemRepresentation(bundleURL, true, buf, sizeof buf)) return nullptr;
  std::string path(reinterpret_cast<const char*>(buf));
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  struct stat st {};
  if (path.empty() || path[0] != '/' || stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return nullptr;
  return makeBundle(allocator, path, std::string());
}

CFURLRef CFBundleCopyBundleURL(CFBundleRef bundle) {
  if (bundle == nullptr) return nullptr;
  return fileURL(bundle->folder, true);
}

CFURLRef CFBundleCopyExecutableURL(CFBundleRef bundle) {
  if (bundle == nullptr || bundle->executable.empty()) return nullptr;
  return fileURL(bundle->executable, false);
}

CFURLRef CFBundleCopyResourcesDirectoryURL(CFBundleRef bundle) { return CFBundleCopyBundleURL(bundle); }

CFURLRef CFBundleCopyResourceURL(CFBundleRef bundle, CFStringRef resourceName, CFStringRef resourceType,
                                 CFStringRef subDirName) {
  if (bundle == nullptr || resourceName == nullptr || CFStringGetLength(resourceName) == 0) return nullptr;
  std::string file = qxcf::toUTF8(resourceName);
  std::string type = qxcf::toUTF8(resourceType);
  if (!type.empty() && type[0] == '.') type.erase(0, 1);
  if (!type.empty()) file += "." + type;
  std::string dir = subDirName != nullptr ? joinPath(bundle->folder, qxcf::toUTF8(subDirName)) : bundle->folder;
  std::string path = joinPath(dir, file);
  struct stat st {};
  if (path.size() >= PATH_MAX || stat(path.c_str(), &st) != 0) return nullptr;
  return fileURL(path, S_ISDIR(st.st_mode));
}

CFDictionaryRef CFBundleGetInfoDictionary(CFBundleRef bundle) {
  return bundle != nullptr ? bundle->info.get() : nullptr;
}

CFTypeRef CFBundleGetValueForInfoDictionaryKey(CFBundleRef bundle, CFStringRef key) {
  if (bundle == nullptr || key == nullptr) return nullptr;
  return CFDictionaryGetValue(bundle->info.get(), key);
}

CFStringRef CFBundleGetIdentifier(CFBundleRef bundle) {
  return static_cast<CFStringRef>(CFBundleGetValueForInfoDictionaryKey(bundle, kCFBundleIdentifierKey));
}

UInt32 CFBundleGetVersionNumber(CFBundleRef) { return 0; }

CFStringRef CFBundleCopyLocalizedString(CFBundleRef, CFStringRef key, CFStringRef value, CFStringRef) {
  if (value != nullptr && CFStringGetLength(value) > 0) return static_cast<CFStringRef>(CFRetain(value));
  if (key != nullptr) return static_cast<CFStringRef>(CFRetain(key));
  return CFSTR("");
}
