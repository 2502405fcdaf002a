// Small helpers for the file manager's tests: URLs from paths, strings out of CF objects, files
// with given contents and times, all inside a qxtest::TempHome.
#pragma once

#include <QXCore/QXFileMgr.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cf/CFRef.h"
#include "tests/support/TempHome.h"

namespace filetest {

namespace fs = std::filesystem;
using qxcf::CFRef;

inline CFRef<CFURLRef> URL(const fs::path& path, bool isDirectory = false) {
  std::string text = path.string();
  return qxcf::adopt(CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(text.data()),
                                                             static_cast<CFIndex>(text.size()), isDirectory));
}

inline std::string Str(CFStringRef string) {
  if (!string) return "(null)";
  char buffer[8192];
  return CFStringGetCString(string, buffer, sizeof buffer, kCFStringEncodingUTF8) ? buffer : "(unconvertible)";
}

inline CFRef<CFStringRef> CF(const std::string& text) {
  return qxcf::adopt(CFStringCreateWithCString(nullptr, text.c_str(), kCFStringEncodingUTF8));
}

// The file-system path of a URL, or "(none)".
inline std::string PathOf(CFURLRef url) {
  UInt8 buffer[8192];
  return url && CFURLGetFileSystemRepresentation(url, true, buffer, sizeof buffer)
             ? std::string(reinterpret_cast<char*>(buffer))
             : "(none)";
}

inline void Write(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

inline std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Sets the modification time exactly (seconds and nanoseconds since 1970).
inline void SetMTime(const fs::path& path, time_t seconds, long nanoseconds) {
  struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
  ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

inline struct timespec MTime(const fs::path& path) {
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return st.st_mtim;
}

inline std::vector<std::string> Names(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Another file system than the temporary folder's, writable, for moves across file systems; empty
// when the machine has none.
inline fs::path OtherFileSystem(const fs::path& near) {
  struct stat a = {}, b = {};
  if (::stat(near.c_str(), &a) != 0 || ::stat("/dev/shm", &b) != 0 || a.st_dev == b.st_dev) return {};
  if (::access("/dev/shm", W_OK) != 0) return {};
  return "/dev/shm";
}

}  // namespace filetest
