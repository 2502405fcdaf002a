// CBaseCoreFile: file names — extensions, unique names, legal names and sidecar paths.
#include <errno.h>
#include <stdint.h>

#include <QXCore/QXFileMgr.h>

#include <vector>

#include "files/CoreFileInternal.h"

using qxcf::CFRef;
using namespace qxfiles;

namespace {

CFIndex LastDot(CFStringRef name) {
  CFRange found = CFStringFind(name, CFSTR("."), kCFCompareBackwards);
  return found.location;
}

CFStringRef CreateLowercase(CFStringRef string) {
  CFMutableStringRef copy = CFStringCreateMutableCopy(nullptr, 0, string);
  if (copy) CFStringLowercase(copy, nullptr);
  return copy;
}

// A name that would not stay one component of its folder.
bool IsUnsafeName(CFStringRef name) {
  if (!name || CFStringGetLength(name) == 0) return true;
  if (CFEqual(name, CFSTR(".")) || CFEqual(name, CFSTR(".."))) return true;
  return CFStringFind(name, CFSTR("/"), 0).location != kCFNotFound;
}

}  // namespace

CFStringRef CBaseCoreFile::GetNormalizedExtCopy(CFStringRef name) {
  if (!name) return nullptr;
  CFIndex dot = LastDot(name);
  if (dot == kCFNotFound) return CFSTR("");
  CFRef<CFStringRef> extension =
      qxcf::adopt(CFStringCreateWithSubstring(nullptr, name, CFRangeMake(dot + 1, CFStringGetLength(name) - dot - 1)));
  return extension ? CreateLowercase(extension.get()) : nullptr;
}

CFStringRef CBaseCoreFile::GetNormalizedExtCopy(CFURLRef url) {
  if (!url) return nullptr;
  CFRef<CFStringRef> extension = qxcf::adopt(CFURLCopyPathExtension(url));
  return extension ? CreateLowercase(extension.get()) : nullptr;
}

CFStringRef CBaseCoreFile::GetFileNameNoExtCopy(CFURLRef url) {
  if (!url) return nullptr;
  CFRef<CFStringRef> name = qxcf::adopt(CFURLCopyLastPathComponent(url));
  if (!name) return nullptr;
  CFRef<CFStringRef> extension = qxcf::adopt(CFURLCopyPathExtension(url));
  if (!extension) return name.release();
  CFIndex keep = CFStringGetLength(name.get()) - CFStringGetLength(extension.get()) - 1;
  return CFStringCreateWithSubstring(nullptr, name.get(), CFRangeMake(0, keep < 0 ? 0 : keep));
}

void CBaseCoreFile::StripFileExt(CFMutableStringRef name) {
  if (!name) return;
  CFIndex dot = LastDot(name);
  if (dot != kCFNotFound) CFStringDelete(name, CFRangeMake(dot, CFStringGetLength(name) - dot));
}

bool qxfiles::UniqueName(const std::string& folder, const std::string& name, bool hasExtension, const char* suffix,
                         const std::vector<std::string>& excludedPaths, std::string& outName) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) return false;
  // The extension as path extensions are read: after the last ".", when that "." neither starts
  // nor ends the name. A "." byte is never part of a longer UTF-8 sequence, so bytes will do.
  std::string base = name, extension;
  size_t dot = name.rfind('.');
  if (hasExtension && dot != std::string::npos && dot != 0 && dot + 1 != name.size()) {
    base = name.substr(0, dot);
    extension = name.substr(dot);
  }
  const bool hasSuffix = suffix && *suffix;
  for (long long n = suffix && !hasSuffix ? 1 : 0;; ++n) {
    std::string candidate = base;
    if (hasSuffix) candidate += std::string(" ") + suffix;
    if (n != 0) candidate += (hasSuffix ? "" : " ") + std::to_string(n);
    candidate += extension;
    std::string path = JoinPath(folder, candidate);
    if (Exists(path)) continue;
    bool skip = false;
    for (const std::string& other : excludedPaths) skip = skip || other == path;
    if (skip) continue;
    outName = std::move(candidate);
    return true;
  }
}

CFURLRef CBaseCoreFile::CreateUniquePathName(CFURLRef folder, CFStringRef name, bool hasExtension, CFStringRef suffix,
                                             CFArrayRef excluded) {
  std::string folderPath;
  if (IsUnsafeName(name) || PathFromURL(folder, folderPath) != 0) return nullptr;
  // Paths of the excluded URLs, compared as paths so that "dir" and "dir/" forms match.
  std::vector<std::string> excludedPaths;
  for (CFIndex i = 0, count = excluded ? CFArrayGetCount(excluded) : 0; i < count; ++i) {
    auto url = static_cast<CFURLRef>(CFArrayGetValueAtIndex(excluded, i));
    std::string path;
    if (url && CFGetTypeID(url) == CFURLGetTypeID() && PathFromURL(url, path) == 0) excludedPaths.push_back(path);
  }
  std::string suffixText = UTF8(suffix);
  std::string unique;
  if (!UniqueName(folderPath, UTF8(name), hasExtension, suffix ? suffixText.c_str() : nullptr, excludedPaths, unique))
    return nullptr;
  CFRef<CFStringRef> candidate = qxcf::adopt(CreateString(unique));
  if (!candidate) return nullptr;
  return CFURLCreateCopyAppendingPathComponent(nullptr, folder, candidate.get(), false);
}

CFURLRef CBaseCoreFile::CreateUniqueFileName(CFURLRef folder, CFStringRef name, CFStringRef suffix,
                                             CFArrayRef excluded) {
  return CreateUniquePathName(folder, name, true, suffix, excluded);
}

QXStatus CBaseCoreFile::CreateUniqueFileNameTemp(CFURLRef folder, CFStringRef name, CFStringRef suffix,
                                                 CFURLRef* outURL) {
  if (!outURL) return EINVAL;
  *outURL = CreateUniquePathName(folder, name, true, suffix, nullptr);
  return *outURL ? 0 : kQXErrGeneric;
}

CFStringRef CBaseCoreFile::CreateLegalFileName(CFStringRef name) {
  if (!name) return nullptr;
  CFIndex length = CFStringGetLength(name);
  std::vector<UniChar> chars(static_cast<size_t>(length) + 1);
  CFStringGetCharacters(name, CFRangeMake(0, length), chars.data());
  for (CFIndex i = 0; i < length; ++i) {
    switch (chars[static_cast<size_t>(i)]) {
      case '"':
      case '*':
      case '/':
      case ':':
      case '<':
      case '>':
      case '?':
      case '\\':
      case '|':
      case 0:  // cannot be part of a Linux file name
        chars[static_cast<size_t>(i)] = ' ';
        break;
      default: break;
    }
  }
  // Removing every trailing "." also rules out "." and "..".
  while (length > 0 && chars[static_cast<size_t>(length - 1)] == '.') --length;
  return CFStringCreateWithCharacters(nullptr, chars.data(), length);
}

QXStatus CBaseCoreFile::CreateSidecarPathForImage(CFURLRef imageURL, CFURLRef* outURL) {
  if (!outURL) return EINVAL;
  *outURL = nullptr;
  std::string path;
  if (int err = PathFromURL(imageURL, path)) return err;
  // Only a "." in the file name starts the extension, not one in a folder name.
  size_t slash = path.rfind('/');
  size_t dot = path.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)) path.erase(dot);
  path += ".xmp";
  *outURL = CreateURLFromPath(path, false);
  return *outURL ? 0 : kQXErrMemory;
}

// ---- Function twins ----

CFStringRef QXFileMgrGetNormalizedExtNameCopy(CFStringRef name) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::GetNormalizedExtCopy(name); });
}
CFStringRef QXFileMgrGetNormalizedExtCopy(CFURLRef url) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::GetNormalizedExtCopy(url); });
}
CFStringRef QXFileMgrGetFileNameNoExtCopy(CFURLRef url) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::GetFileNameNoExtCopy(url); });
}
void QXFileMgrStripFileExt(CFMutableStringRef name) {
  qxfiles::NoThrow([&] { CBaseCoreFile::StripFileExt(name); });
}
CFURLRef QXFileMgrCreateUniquePathName(CFURLRef folder, CFStringRef name, bool hasExtension, CFStringRef suffix,
                                       CFArrayRef excluded) {
  return qxfiles::NoThrow(
      [&] { return CBaseCoreFile::CreateUniquePathName(folder, name, hasExtension, suffix, excluded); });
}
QXStatus QXFileMgrCreateUniqueFileNameTemp(CFURLRef folder, CFStringRef name, CFStringRef suffix, CFURLRef* outURL) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::CreateUniqueFileNameTemp(folder, name, suffix, outURL); });
}
CFStringRef QXFileMgrCreateLegalFileName(CFStringRef name) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::CreateLegalFileName(name); });
}
QXStatus QXFileMgrCreateSidecarPathForImage(CFURLRef imageURL, CFURLRef* outURL) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::CreateSidecarPathForImage(imageURL, outURL); });
}
