// CBaseCoreFile: standard folders, path conversion and folder creation.
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <link.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <QXCore/QXFileMgr.h>

#include <cstring>
#include <sstream>
#include <vector>

#include "files/CoreFileInternal.h"

using qxcf::CFRef;
using namespace qxfiles;

namespace {

// XDG variables must hold absolute paths; anything else is ignored, as the XDG rules say.
std::string AbsoluteEnv(const char* name) {
  const char* value = ::getenv(name);
  return value && value[0] == '/' ? std::string(value) : std::string();
}

}  // namespace

int qxfiles::HomeFolder(std::string& out) {
  out = AbsoluteEnv("HOME");
  if (!out.empty()) return 0;
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  int err = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found);
  if (!found) return err ? err : ENOENT;
  out = entry.pw_dir;
  return out.empty() ? ENOENT : 0;
}

int qxfiles::DataHome(std::string& out) {
  out = AbsoluteEnv("XDG_DATA_HOME");
  if (!out.empty()) return 0;
  if (int err = HomeFolder(out)) return err;
  out += "/.local/share";
  return 0;
}

namespace {

// A folder named in user-dirs.dirs (XDG_PICTURES_DIR="$HOME/Pictures"), else ~/<fallback>.
int UserDir(const char* key, const char* fallback, std::string& out) {
  std::string home;
  if (int err = HomeFolder(home)) return err;
  std::string config = AbsoluteEnv("XDG_CONFIG_HOME");
  if (config.empty()) config = home + "/.config";
  // Read whole through a close-on-exec descriptor (and never waiting on a FIFO put there).
  std::string text;
  ReadRegularFile(config + "/user-dirs.dirs", text);
  std::istringstream file(text);
  std::string line;
  const size_t keyLength = std::strlen(key);
  while (std::getline(file, line)) {
    size_t at = line.find_first_not_of(" \t");
    if (at == std::string::npos || line.compare(at, keyLength, key) != 0) continue;
    at = line.find_first_not_of(" \t", at + keyLength);
    if (at == std::string::npos || line[at] != '=') continue;
    at = line.find_first_not_of(" \t", at + 1);
    if (at == std::string::npos || line[at] != '"') continue;
    // The value is shell-quoted: a backslash escapes the next character.
    std::string value;
    bool closed = false;
    for (size_t i = at + 1; i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) {
        value += line[++i];
      } else if (line[i] == '"') {
        closed = true;
        break;
      } else {
        value += line[i];
      }
    }
    if (!closed) continue;
    if (value.compare(0, 5, "$HOME") == 0 && (value.size() == 5 || value[5] == '/')) {
      out = home + value.substr(5);
      return 0;
    }
    if (!value.empty() && value[0] == '/') {
      out = value;
      return 0;
    }
  }
  out = home + "/" + fallback;
  return 0;
}

int SharedData(std::string& out) {
  out = AbsoluteEnv("QX_SHARED_DATA_DIR");
  if (!out.empty()) return 0;
  const char* dirs = ::getenv("XDG_DATA_DIRS");
  std::string list = dirs && *dirs ? dirs : "/usr/local/share/:/usr/share/";
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    std::string entry = list.substr(start, end - start);
    if (!entry.empty() && entry[0] == '/' && IsDirectory(entry) && ::access(entry.c_str(), W_OK) == 0) {
      out = entry;
      return 0;
    }
    start = end + 1;
  }
  return DataHome(out);
}

int ModuleFolder(void* module, std::string& out) {
  std::string file;
  if (module) {
    struct link_map* map = nullptr;
    if (::dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || !map) return kQXErrGeneric;
    if (map->l_name) file = map->l_name;
  }
  // The executable's own link map has an empty name.
  if (file.empty()) {
    std::vector<char> buffer(PATH_MAX + 1);
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), PATH_MAX);
    if (n < 0) return errno;
    file.assign(buffer.data(), static_cast<size_t>(n));
  }
  out = ParentPath(file);
  return 0;
}

}  // namespace

QXStatus CBaseCoreFile::GetFolderPathCopy(void* module, int32_t folderType, CFStringRef partialPath, CFURLRef* outURL) {
  if (!outURL) return EINVAL;
  *outURL = nullptr;
  std::string folder;
  int err = 0;
  bool create = false;
  mode_t mode = 0777;
  switch (folderType) {
    case 1:
      err = SharedData(folder);
      create = true;
      break;
    case 3:
      err = UserDir("XDG_PICTURES_DIR", "Pictures", folder);
      create = true;
      break;
    case 5:
      err = UserDir("XDG_DOCUMENTS_DIR", "Documents", folder);
      create = true;
      break;
    case 6:
    case 7:
    case 10:
    case 13: err = ModuleFolder(module, folder); break;
    case 8:
    case 9: folder = "/opt"; break;
    case 11: folder = "/usr/lib"; break;
    case 12: {
      const char* tmp = ::getenv("TMPDIR");
      folder = tmp && *tmp ? tmp : "/tmp";
      break;
    }
    default:
      err = DataHome(folder);
      create = true;
      mode = 0700;  // the XDG rules ask for a private data folder
      break;
  }
  if (err) return err;
  if (folder.size() >= PATH_MAX) return ENAMETOOLONG;
  if (create) {
    if (int made = MakeDirectories(folder, mode)) return made;
  }
  CFRef<CFURLRef> base = qxcf::adopt(CreateURLFromPath(folder, true));
  CFRef<CFURLRef> full = qxcf::adopt(CreatePathAppendingPartialPath(base.get(), partialPath));
  CFRef<CFURLRef> absolute = full ? qxcf::adopt(CFURLCopyAbsoluteURL(full.get())) : nullptr;
  if (!absolute) return kQXErrMemory;
  std::string check;
  if (int bad = PathFromURL(absolute.get(), check)) return bad;
  *outURL = absolute.release();
  return 0;
}

QXStatus CBaseCoreFile::GetResourceURLCopy(CFStringRef name, CFStringRef extension, CFStringRef partialPath,
                                           CFURLRef* outURL) {
  if (!outURL) return EINVAL;
  *outURL = nullptr;
  CFURLRef folder = nullptr;
  if (int err = GetFolderPathCopy(nullptr, 10, partialPath, &folder)) return err;
  CFRef<CFURLRef> base = qxcf::adopt(folder);
  if (!name) return EINVAL;
  CFRef<CFURLRef> file = qxcf::adopt(CFURLCreateCopyAppendingPathComponent(nullptr, base.get(), name, false));
  if (file && extension && CFStringGetLength(extension) > 0)
    file = qxcf::adopt(CFURLCreateCopyAppendingPathExtension(nullptr, file.get(), extension));
  if (!file) return EINVAL;
  *outURL = file.release();
  return 0;
}

CFURLRef CBaseCoreFile::CreatePathAppendingPartialPath(CFURLRef url, CFStringRef partialPath) {
  if (!url) return nullptr;
  CFRef<CFURLRef> result = CFRef<CFURLRef>::retain(url);
  if (!partialPath || CFStringGetLength(partialPath) == 0) return result.release();
  CFRef<CFArrayRef> pieces = qxcf::adopt(CFStringCreateArrayBySeparatingStrings(nullptr, partialPath, CFSTR("/")));
  if (!pieces) return nullptr;
  for (CFIndex i = 0; i < CFArrayGetCount(pieces.get()); ++i) {
    auto piece = static_cast<CFStringRef>(CFArrayGetValueAtIndex(pieces.get(), i));
    if (CFStringGetLength(piece) == 0) continue;  // "a//b" and a leading "/" add nothing
    result = qxcf::adopt(CFURLCreateCopyAppendingPathComponent(nullptr, result.get(), piece, true));
    if (!result) return nullptr;
  }
  return result.release();
}

CFURLRef CBaseCoreFile::CreateCopyReplacingLastPathComponent(CFURLRef url, CFStringRef name, bool isDirectory) {
  if (!url || !name) return nullptr;
  CFRef<CFURLRef> parent = qxcf::adopt(CFURLCreateCopyDeletingLastPathComponent(nullptr, url));
  if (!parent) return nullptr;
  return CFURLCreateCopyAppendingPathComponent(nullptr, parent.get(), name, isDirectory);
}

CFURLRef CBaseCoreFile::CreateFileSystemRepresentation(CFStringRef path, bool isDirectory) {
  if (!path || CFStringGetLength(path) == 0) return nullptr;
  return CFURLCreateWithFileSystemPath(nullptr, path, kCFURLPOSIXPathStyle, isDirectory);
}

CFURLRef CBaseCoreFile::CreateFileSystemRepresentation(const UniChar* chars, CFIndex count, bool isDirectory) {
  if (!chars || count <= 0) return nullptr;
  CFRef<CFStringRef> path = qxcf::adopt(CFStringCreateWithCharacters(nullptr, chars, count));
  return CreateFileSystemRepresentation(path.get(), isDirectory);
}

CFStringRef CBaseCoreFile::GetFileSystemRepresentationCopy(CFURLRef url) {
  std::string path;
  if (PathFromURL(url, path)) return nullptr;
  return CreateString(path);
}

char* CBaseCoreFile::GetFileSystemRepresentationUTF8Copy(CFURLRef url) {
  std::string path;
  if (PathFromURL(url, path)) return nullptr;
  return ::strdup(path.c_str());
}

UniChar* CBaseCoreFile::GetFileSystemRepresentationUnicharCopy(CFURLRef url) {
  CFRef<CFStringRef> path = qxcf::adopt(GetFileSystemRepresentationCopy(url));
  if (!path) return nullptr;
  CFIndex length = CFStringGetLength(path.get());
  auto* buffer = static_cast<UniChar*>(::malloc(sizeof(UniChar) * static_cast<size_t>(length + 1)));
  if (!buffer) return nullptr;
  CFStringGetCharacters(path.get(), CFRangeMake(0, length), buffer);
  buffer[length] = 0;
  return buffer;
}

bool CBaseCoreFile::PathExists(CFURLRef url) {
  std::string path;
  return PathFromURL(url, path) == 0 && Exists(path);
}

bool CBaseCoreFile::IsDir(CFURLRef url) {
  std::string path;
  return PathFromURL(url, path) == 0 && IsDirectory(path);
}

CFStringRef CBaseCoreFile::GetPathSeparator() { return CFSTR("/"); }

QXStatus CBaseCoreFile::CreateDirectoryW(CFURLRef url) {
  if (!url) return 0;
  std::string path;
  if (int err = PathFromURL(url, path)) return err;
  return MakeDirectories(path);
}

QXStatus CBaseCoreFile::CreateDirectoryInternal(CFURLRef url) {
  std::string path;
  if (int err = PathFromURL(url, path)) return err;
  return ::mkdir(path.c_str(), 0777) == 0 ? 0 : errno;
}

// ---- Function twins ----

QXStatus QXFileMgrGetFolderPathCopy(void* module, int32_t folderType, CFStringRef partialPath, CFURLRef* outURL) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::GetFolderPathCopy(module, folderType, partialPath, outURL); });
}
QXStatus QXFileMgrGetResourceURLCopy(CFStringRef name, CFStringRef extension, CFStringRef partialPath,
                                     CFURLRef* outURL) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::GetResourceURLCopy(name, extension, partialPath, outURL); });
}
CFURLRef QXFileMgrCreatePathAppendingPartialPath(CFURLRef url, CFStringRef partialPath) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::CreatePathAppendingPartialPath(url, partialPath); });
}
CFURLRef QXFileMgrCreateCopyReplacingLastPathComponent(CFURLRef url, CFStringRef name, bool isDirectory) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::CreateCopyReplacingLastPathComponent(url, name, isDirectory); });
}
CFURLRef QXFileMgrCreateFileSystemRepresentation(CFStringRef path, bool isDirectory) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::CreateFileSystemRepresentation(path, isDirectory); });
}
CFURLRef QXFileMgrCreateFileSystemRepresentationFromUnichar(const UniChar* chars, CFIndex count, bool isDirectory) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::CreateFileSystemRepresentation(chars, count, isDirectory); });
}
CFStringRef QXFileMgrGetFileSystemRepresentationCopy(CFURLRef url) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::GetFileSystemRepresentationCopy(url); });
}
char* QXFileMgrGetFileSystemRepresentationUTF8Copy(CFURLRef url) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::GetFileSystemRepresentationUTF8Copy(url); });
}
UniChar* QXFileMgrGetFileSystemRepresentationUnicharCopy(CFURLRef url) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::GetFileSystemRepresentationUnicharCopy(url); });
}
bool QXFileMgrPathExists(CFURLRef url) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::PathExists(url); });
}
bool QXFileMgrIsDir(CFURLRef url) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::IsDir(url); });
}
CFStringRef QXFileMgrGetPathSeparator(void) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::GetPathSeparator(); });
}
QXStatus QXFileMgrCreateDirectory(CFURLRef url) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::CreateDirectoryW(url); });
}
