// CBaseCoreFile: deleting, moving and copying, folder listings, volume facts, links, version
// information; CBaseCoreWin.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <QXCore/QXFileMgr.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/Handle.h"
#include "files/CoreFileInternal.h"

using qxcf::CFRef;
using namespace qxfiles;

namespace {

// Paths of two URLs, or the status of the first that has none.
int TwoPaths(CFURLRef a, CFURLRef b, std::string& pathA, std::string& pathB) {
  if (int err = PathFromURL(a, pathA)) return err;
  return PathFromURL(b, pathB);
}

// The folder's entries that do not begin with ".", in the order the file system gives them.
class FolderReader {
 public:
  explicit FolderReader(const std::string& path) : mDir(::opendir(path.c_str())), mError(mDir ? 0 : errno) {}
  ~FolderReader() {
    if (mDir) ::closedir(mDir);
  }
  FolderReader(const FolderReader&) = delete;
  FolderReader& operator=(const FolderReader&) = delete;

  int error() const { return mError; }
  int fd() const { return ::dirfd(mDir); }
  // The next name, or null at the end (error() then tells whether the listing failed).
  const char* next() {
    if (!mDir) return nullptr;
    for (;;) {
      errno = 0;
      struct dirent* entry = ::readdir(mDir);
      if (!entry) {
        mError = errno;
        return nullptr;
      }
      if (entry->d_name[0] != '.') return entry->d_name;
    }
  }

 private:
  DIR* mDir;
  int mError;
};

// The extension of a listed name as path extensions are read, or empty.
std::string_view NameExtension(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return {};
  return name.substr(dot + 1);
}

bool ExtensionWanted(std::string_view extension, const std::vector<CFRef<CFStringRef>>& wanted) {
  if (extension.empty()) return false;
  CFRef<CFStringRef> text = qxcf::adopt(CreateString(std::string(extension)));
  if (!text) return false;
  for (const auto& one : wanted) {
    if (CFStringCompare(text.get(), one.get(), kCFCompareCaseInsensitive) == kCFCompareEqualTo) return true;
  }
  return false;
}

// A name for display and comparison; bytes that are not UTF-8 are read as Latin-1 rather than
// dropping the entry (its location keeps the exact bytes).
CFStringRef CreateNameString(const char* name) {
  CFStringRef string = CreateString(name);
  if (!string) string = CFStringCreateWithCString(nullptr, name, kCFStringEncodingISOLatin1);
  return string;
}

// A path for display and comparison, decoded one component at a time: UTF-8 where a component
// is UTF-8 and Latin-1 only for a component that is not, so one odd name does not garble the
// folders above it.
CFStringRef CreatePathString(const std::string& path) {
  if (CFStringRef whole = CreateString(path)) return whole;
  CFRef<CFMutableStringRef> result = qxcf::adopt(CFStringCreateMutable(nullptr, 0));
  if (!result) return nullptr;
  size_t start = 0;
  for (;;) {
    size_t slash = path.find('/', start);
    std::string piece = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    CFRef<CFStringRef> text = qxcf::adopt(CreateNameString(piece.c_str()));
    if (!text) return nullptr;
    CFStringAppend(result.get(), text.get());
    if (slash == std::string::npos) break;
    CFStringAppend(result.get(), CFSTR("/"));
    start = slash + 1;
  }
  return result.release();
}

}  // namespace

QXStatus CBaseCoreFile::DeleteFolder(CFURLRef url) {
  std::string path;
  if (int err = PathFromURL(url, path)) return err;
  return RemoveTree(path);
}

QXStatus CBaseCoreFile::DeleteFileW(CFURLRef url) {
  std::string path;
  int err = PathFromURL(url, path);
  if (err == kNoPath) return 0;
  if (err) return err;
  return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

QXStatus CBaseCoreFile::MoveFileW(CFURLRef source, CFURLRef target) {
  std::string from, to;
  if (int err = TwoPaths(source, target, from, to)) return err;
  return MoveItem(from, to, false);
}

QXStatus CBaseCoreFile::CopyFileW(CFURLRef source, CFURLRef target) {
  std::string from, to;
  if (int err = TwoPaths(source, target, from, to)) return err;
  return CopyFile(from, to);
}

QXStatus CBaseCoreFile::ReplaceFileWithFile(CFURLRef source, CFURLRef target, CFURLRef* outURL) {
  if (outURL) *outURL = nullptr;
  std::string from, to;
  if (int err = TwoPaths(source, target, from, to)) return err;
  // rename() replaces the target in one step, so there is never a moment without it (and a
  // failed move cannot leave the target deleted). A folder target is refused, as deleting it
  // as a file would be.
  if (IsDirectory(to) && !IsDirectory(from)) return EISDIR;
  if (int err = MoveItem(from, to, true)) return err;
  if (outURL) *outURL = static_cast<CFURLRef>(CFRetain(target));
  return 0;
}

QXStatus CBaseCoreFile::GetFolderContentsCopy(CFURLRef folder, CFArrayRef extensions, QXFileSortOrder order,
                                              CFArrayRef* outArray) {
  if (!outArray) return EINVAL;
  CFRef<CFMutableArrayRef> result = qxcf::adopt(CFArrayCreateMutable(nullptr, 0, CBaseCore::GetArrayCallbacks()));
  *outArray = nullptr;
  if (!result) return kQXErrMemory;
  std::string path;
  int err = PathFromURL(folder, path);
  if (err) {
    *outArray = result.release();
    return err == kNoPath ? 0 : err;
  }
  std::vector<CFRef<CFStringRef>> wanted;
  const bool filter = extensions != nullptr;
  for (CFIndex i = 0, count = filter ? CFArrayGetCount(extensions) : 0; i < count; ++i) {
    auto one = static_cast<CFStringRef>(CFArrayGetValueAtIndex(extensions, i));
    if (one && CFGetTypeID(one) == CFStringGetTypeID()) wanted.push_back(CFRef<CFStringRef>::retain(one));
  }
  std::vector<qx::Ref<CBaseFile>> records;
  FolderReader reader(path);
  while (const char* name = reader.next()) {
    if (filter && !ExtensionWanted(NameExtension(name), wanted)) continue;
    auto record = qx::make<CBaseFile>();
    if (!record) {
      *outArray = result.release();
      return kQXErrMemory;
    }
    // The location from the path's bytes (cheaper than appending a component, and exact for
    // names that are not UTF-8, which are shown as Latin-1).
    CFRef<CFStringRef> nameString = qxcf::adopt(CreateNameString(name));
    CFRef<CFURLRef> location = qxcf::adopt(CreateURLFromPath(JoinPath(path, name), false));
    if (!nameString || !location) {
      *outArray = result.release();
      return kQXErrMemory;
    }
    struct stat st;
    CFRef<CFDateRef> date;
    if (::fstatat(reader.fd(), name, &st, AT_SYMLINK_NOFOLLOW) == 0)
      date = qxcf::adopt(CBaseFile::CreateCFDateFromFileTime(st.st_mtim));
    record->InitListed(location.get(), nameString.get(), date.get());
    records.push_back(std::move(record));
  }
  // Sorting once gives the same order as inserting each record at its binary-search place (no
  // two names of one folder compare equal under forced ordering) without moving the array's
  // elements n^2/4 times.
  if (order == kQXFileSortOrderName) {
    std::stable_sort(records.begin(), records.end(), [](const qx::Ref<CBaseFile>& a, const qx::Ref<CBaseFile>& b) {
      return a->CompareByName(*b.get()) == kCFCompareLessThan;
    });
  }
  for (const auto& record : records) CFArrayAppendValue(result.get(), record.get());
  *outArray = result.release();
  return reader.error();
}

QXStatus CBaseCoreFile::GetFolderPathsCopy(CFURLRef folder, CFArrayRef, QXFileSortOrder order, CFArrayRef* outArray) {
  if (!outArray) return EINVAL;
  CFRef<CFMutableArrayRef> result = qxcf::adopt(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
  *outArray = nullptr;
  if (!result) return kQXErrMemory;
  std::string path;
  int err = PathFromURL(folder, path);
  if (err) {
    *outArray = result.release();
    return err == kNoPath ? 0 : err;
  }
  std::vector<CFRef<CFStringRef>> paths;
  FolderReader reader(path);
  while (const char* name = reader.next()) {
    CFRef<CFStringRef> full = qxcf::adopt(CreatePathString(JoinPath(path, name)));
    if (full) paths.push_back(std::move(full));
  }
  if (order == kQXFileSortOrderName) {
    std::stable_sort(paths.begin(), paths.end(), [](const CFRef<CFStringRef>& a, const CFRef<CFStringRef>& b) {
      return CFStringCompare(a.get(), b.get(), 0) == kCFCompareLessThan;
    });
  }
  for (const auto& one : paths) CFArrayAppendValue(result.get(), one.get());
  *outArray = result.release();
  return reader.error();
}

QXStatus CBaseCoreFile::GetBytesFreeFromPath(CFURLRef url, uint64_t* outBytes) {
  if (!outBytes) return EINVAL;
  *outBytes = 0;
  std::string path;
  if (int err = PathFromURL(url, path)) return err;
  struct statvfs info;
  if (::statvfs(path.c_str(), &info) != 0) return errno;
  *outBytes = static_cast<uint64_t>(info.f_bavail) * static_cast<uint64_t>(info.f_frsize);
  return 0;
}

QXStatus CBaseCoreFile::GetFolderWritable(CFURLRef url, bool* outWritable) {
  if (!outWritable) return 0;
  *outWritable = false;
  std::string path;
  if (PathFromURL(url, path) != 0) return 0;
  struct statvfs info;
  if (::statvfs(path.c_str(), &info) != 0 || (info.f_flag & ST_RDONLY)) return 0;
  // Effective ids, as the kernel will check them when the caller writes.
  *outWritable = ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
  return 0;
}

QXStatus CBaseCoreFile::ResolveLink(CFURLRef url, CFURLRef* outURL) {
  if (!outURL) return EINVAL;
  *outURL = nullptr;
  std::string path;
  if (int err = PathFromURL(url, path)) return err;
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return errno;
  if (S_ISLNK(st.st_mode)) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved) return errno;
    path = resolved;
    ::free(resolved);
  }
  *outURL = CreateURLFromPath(path, false);
  return *outURL ? 0 : kQXErrMemory;
}

QXStatus CBaseCoreFile::GetFileVersionInfoCopy(CFURLRef url, CFStringRef* outName, QXVersionInfo* outVersion) {
  if (outName) *outName = nullptr;
  if (outVersion) *outVersion = QXVersionInfo{0, 0, 0};
  std::string path;
  if (int err = PathFromURL(url, path)) return err;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return errno;
  return ENODATA;  // Linux files carry no version resource
}

CFStringRef CBaseCoreFile::GetVolumeDisplayNameCopy(CFStringRef) { return nullptr; }

CFStringRef CBaseCoreWin::LoadStringW(void*, uint32_t) { return nullptr; }
QXStatus CBaseCoreWin::EnablePrivilege(CFStringRef, bool) { return ENOSYS; }
CFURLRef CBaseCoreWin::SHGetTargetFolderPath(const void*) { return nullptr; }

// ---- Function twins ----

QXStatus QXFileMgrDeleteFolder(CFURLRef url) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::DeleteFolder(url); });
}
QXStatus QXFileMgrDeleteFile(CFURLRef url) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::DeleteFileW(url); });
}
QXStatus QXFileMgrMoveFile(CFURLRef source, CFURLRef target) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::MoveFileW(source, target); });
}
QXStatus QXFileMgrCopyFile(CFURLRef source, CFURLRef target) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::CopyFileW(source, target); });
}
QXStatus QXFileMgrReplaceFileWithFile(CFURLRef source, CFURLRef target, CFURLRef* outURL) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::ReplaceFileWithFile(source, target, outURL); });
}
QXStatus QXFileMgrGetFolderContentsCopy(CFURLRef folder, CFArrayRef extensions, QXFileSortOrder order,
                                        CFArrayRef* outArray) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::GetFolderContentsCopy(folder, extensions, order, outArray); });
}
QXStatus QXFileMgrGetFolderPathsCopy(CFURLRef folder, CFArrayRef extensions, QXFileSortOrder order,
                                     CFArrayRef* outArray) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::GetFolderPathsCopy(folder, extensions, order, outArray); });
}
QXStatus QXFileMgrGetBytesFreeFromPath(CFURLRef url, uint64_t* outBytes) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::GetBytesFreeFromPath(url, outBytes); });
}
QXStatus QXFileMgrGetFolderWritable(CFURLRef url, bool* outWritable) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::GetFolderWritable(url, outWritable); });
}
QXStatus QXFileMgrResolveLink(CFURLRef url, CFURLRef* outURL) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::ResolveLink(url, outURL); });
}
QXStatus QXFileMgrGetFileVersionInfoCopy(CFURLRef url, CFStringRef* outName, QXVersionInfo* outVersion) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::GetFileVersionInfoCopy(url, outName, outVersion); });
}
CFStringRef QXFileMgrGetVolumeDisplayNameCopy(CFStringRef path) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::GetVolumeDisplayNameCopy(path); });
}
