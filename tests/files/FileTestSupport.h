// Small helpers for the file manager's tests, working inside a qxtest::TempHome.
#pragma once

#include <QXCore/QXFileMgr.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
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

// Takes ownership of a copy the library returned: its text, or its path ("(none)" for no URL).
inline std::string Own(CFStringRef string) { return Str(qxcf::adopt(string).get()); }
inline std::string Own(CFURLRef url) { return PathOf(qxcf::adopt(url).get()); }

inline std::string Status(int32_t status) { return "status " + std::to_string(status); }

// What a call gave back through `*url`: the path (the URL is released), or "status N" when it
// failed, which must leave the URL null. Pass &url, so it is read after the call.
inline std::string PathOr(int32_t status, CFURLRef* url) {
  if (status == 0) return Own(*url);
  return *url == nullptr ? Status(status) : "status with a URL";
}

// A URL with a path component but no file-system path.
inline CFRef<CFURLRef> Web(const char* text = "http://example.com/a/b.jpg") {
  return qxcf::adopt(CFURLCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(text),
                                          static_cast<CFIndex>(strlen(text)), kCFStringEncodingUTF8, nullptr));
}

// Statuses of several calls, made in order (a braced list is evaluated left to right).
using Codes = std::vector<int32_t>;

// The count of an array the library returned, which it releases; -1 for no array.
inline CFIndex Count(CFArrayRef array) {
  CFIndex count = array ? CFArrayGetCount(array) : -1;
  if (array) CFRelease(array);
  return count;
}

inline CFRef<CFArrayRef> Array(std::initializer_list<CFTypeRef> values) {
  return qxcf::adopt(CFArrayCreate(nullptr, const_cast<const void**>(values.begin()),
                                   static_cast<CFIndex>(values.size()), &kCFTypeArrayCallBacks));
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

// The contents of several files, joined by "|".
inline std::string ReadAll(std::initializer_list<fs::path> paths) {
  std::string all;
  const char* separator = "";
  for (const fs::path& path : paths) all += std::exchange(separator, "|") + Read(path);
  return all;
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

// A new folder on that other file system, for the caller to remove; empty when there is none.
inline fs::path OtherFileSystemFolder(const fs::path& near) {
  char pattern[] = "/dev/shm/qxtest-XXXXXX";
  return OtherFileSystem(near).empty() || !mkdtemp(pattern) ? fs::path() : fs::path(pattern);
}

}  // namespace filetest
