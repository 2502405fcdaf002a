// URL/path conversion and the copy, move and remove primitives behind the file manager.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "core/Fd.h"
#include "files/CoreFileInternal.h"

namespace qxfiles {

namespace {

using qx::Fd;

bool IsFileScheme(CFURLRef url) {
  CFRef<CFStringRef> scheme = qxcf::adopt(CFURLCopyScheme(url));
  return scheme && CFStringCompare(scheme.get(), CFSTR("file"), kCFCompareCaseInsensitive) == kCFCompareEqualTo;
}

int CopyData(int in, int out) {
  // copy_file_range lets the file system share or offload the data; plain read/write is the
  // fallback for file systems and kernels that refuse it.
  bool tryRange = true;
  for (;;) {
    if (tryRange) {
      ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
      if (n > 0) continue;
      if (n == 0) return 0;
      if (errno == EINTR) continue;
      if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP && errno != EPERM) return errno;
      tryRange = false;
    }
    char buffer[64 * 1024];
    ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n == 0) return 0;
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(out, buffer + done, static_cast<size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      done += w;
    }
  }
}

// A unique temporary name beside `target`, created empty; the descriptor in `fd`.
int MakeTempBeside(const std::string& target, std::string& tempPath, Fd& fd) {
  std::string name = LastComponent(target);
  std::string pattern = JoinPath(ParentPath(target), "." + name + ".qxtmp-XXXXXX");
  if (name.size() + 14 > NAME_MAX || pattern.size() >= PATH_MAX)
    pattern = JoinPath(ParentPath(target), ".qxtmp-XXXXXX");
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  int made = ::mkostemp(buffer.data(), O_CLOEXEC);
  if (made < 0) return errno;
  fd.reset(made);
  tempPath = buffer.data();
  return 0;
}

// Removes the contents of the open folder `dirFd`, then nothing else. Entries are listed first
// and removed afterwards, so removal does not disturb the listing.
int RemoveContents(int dirFd) {
  int listFd = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
  if (listFd < 0) return errno;
  DIR* dir = ::fdopendir(listFd);
  if (!dir) {
    int err = errno;
    ::close(listFd);
    return err;
  }
  std::vector<std::string> names;
  errno = 0;
  while (struct dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names.emplace_back(entry->d_name);
  }
  int first = errno;
  ::closedir(dir);
  for (const std::string& name : names) {
    struct stat st;
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT && !first) first = errno;
      continue;
    }
    int err = 0;
    if (S_ISDIR(st.st_mode)) {
      // O_NOFOLLOW: if the entry was swapped for a link since fstatat, this fails instead of
      // descending into the link's target.
      Fd sub(::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (sub.get() < 0) {
        err = errno;
      } else {
        err = RemoveContents(sub.get());
        if (::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) != 0 && !err) err = errno;
      }
    } else if (::unlinkat(dirFd, name.c_str(), 0) != 0) {
      err = errno;
    }
    if (err == ENOENT) err = 0;
    if (err && !first) first = err;
  }
  return first;
}

void KeepTimes(int fd, const struct stat& st) {
  struct timespec times[2] = {st.st_atim, st.st_mtim};
  ::futimens(fd, times);
}

}  // namespace

void (*gRaceHook)(const char* moment, const char* path) = nullptr;

int RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  struct stat st;
  if (::lstat(from.c_str(), &st) != 0) return errno;
  if (S_ISDIR(st.st_mode)) {
    if (Exists(to)) return EEXIST;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
  }
  if (::link(from.c_str(), to.c_str()) != 0) return errno;
  ::unlink(from.c_str());
  return 0;
}

int PathFromURL(CFURLRef url, std::string& out) {
  out.clear();
  if (!url || !IsFileScheme(url)) return kNoPath;
  UInt8 buffer[PATH_MAX];
  if (CFURLGetFileSystemRepresentation(url, true, buffer, sizeof buffer)) {
    out.assign(reinterpret_cast<const char*>(buffer));
    return 0;
  }
  // Either no path at all, or one too long for the platform: the absolute URL's text (all
  // ASCII, escapes included) bounds the decoded path, so one more try tells them apart.
  CFRef<CFURLRef> absolute = qxcf::adopt(CFURLCopyAbsoluteURL(url));
  if (!absolute) return kNoPath;
  CFIndex length = CFStringGetLength(CFURLGetString(absolute.get()));
  std::vector<UInt8> big(static_cast<size_t>(length) + 1);
  if (CFURLGetFileSystemRepresentation(absolute.get(), false, big.data(), static_cast<CFIndex>(big.size())))
    return ENAMETOOLONG;
  return kNoPath;
}

CFURLRef CreateURLFromPath(const std::string& path, bool isDirectory) {
  return CFURLCreateFromFileSystemRepresentation(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(path.data()),
                                                 static_cast<CFIndex>(path.size()), isDirectory);
}

std::string UTF8(CFStringRef string) {
  if (!string) return {};
  CFIndex length = CFStringGetLength(string);
  if (const char* fast = CFStringGetCStringPtr(string, kCFStringEncodingUTF8)) return fast;
  CFIndex size = CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8) + 1;
  std::string out(static_cast<size_t>(size), '\0');
  CFIndex used = 0;
  CFStringGetBytes(string, CFRangeMake(0, length), kCFStringEncodingUTF8, '?', false,
                   reinterpret_cast<UInt8*>(out.data()), size, &used);
  out.resize(static_cast<size_t>(used));
  return out;
}

CFStringRef CreateString(const std::string& utf8) {
  return CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(utf8.data()),
                                 static_cast<CFIndex>(utf8.size()), kCFStringEncodingUTF8, false);
}

std::string ParentPath(const std::string& path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return "/";
  size_t slash = path.rfind('/', end);
  if (slash == std::string::npos) return ".";
  size_t keep = path.find_last_not_of('/', slash);
  return keep == std::string::npos ? "/" : path.substr(0, keep + 1);
}

std::string LastComponent(const std::string& path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return path.empty() ? "" : "/";
  size_t slash = path.rfind('/', end);
  return path.substr(slash == std::string::npos ? 0 : slash + 1,
                     end - (slash == std::string::npos ? 0 : slash + 1) + 1);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int MakeDirectories(const std::string& path, mode_t mode) {
  // Walk up to the first folder that exists, then create downwards.
  std::vector<std::string> missing;
  std::string current = path;
  while (!current.empty() && current != "/" && current != "." && !Exists(current)) {
    missing.push_back(current);
    current = ParentPath(current);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), mode) != 0 && errno != EEXIST) return errno;
  }
  if (missing.empty() && !IsDirectory(path) && Exists(path)) return EEXIST;
  return 0;
}

int OpenRegularFile(const std::string& path, int extraFlags, struct stat& st) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer, and some devices
  // wait on open; the type is checked on the open descriptor, so nothing can be swapped in
  // between.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | extraFlags);
  if (fd < 0) return -1;
  int err = 0;
  if (::fstat(fd, &st) != 0) {
    err = errno;
  } else if (S_ISDIR(st.st_mode)) {
    err = EISDIR;
  } else if (!S_ISREG(st.st_mode)) {
    err = ENOTSUP;
  } else {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) err = errno;
  }
  if (err) {
    ::close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

int ReadRegularFile(const std::string& path, std::string& out, size_t maxBytes) {
  out.clear();
  struct stat st;
  Fd in(OpenRegularFile(path, 0, st));
  if (in.get() < 0) return errno;
  if (static_cast<uint64_t>(st.st_size) > maxBytes) return EFBIG;
  // The size is a hint only: the file may grow or shrink while it is read.
  out.reserve(static_cast<size_t>(st.st_size) + 1);
  char buffer[16384];
  for (;;) {
    ssize_t n = ::read(in.get(), buffer, sizeof buffer);
    if (n == 0) return 0;
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (static_cast<size_t>(n) > maxBytes - out.size()) return EFBIG;
    out.append(buffer, static_cast<size_t>(n));
  }
}

int CopyFileWith(const std::string& source, const std::string& target, unsigned options) {
  struct stat st;
  Fd in(OpenRegularFile(source, (options & kCopyNoFollow) ? O_NOFOLLOW : 0, st));
  if (in.get() < 0) return errno;
  std::string temp;
  Fd out;
  if (int err = MakeTempBeside(target, temp, out)) return err;
  int err = CopyData(in.get(), out.get());
  if (!err && ::fchmod(out.get(), st.st_mode & 07777) != 0) err = errno;
  if (!err) KeepTimes(out.get(), st);
  if (!err && ::close(out.release()) != 0) err = errno;
  if (!err) {
    if (options & kCopyNoReplace) {
      err = RenameNoReplace(temp, target);
    } else if (::rename(temp.c_str(), target.c_str()) != 0) {
      err = errno;
    }
  }
  if (err) ::unlink(temp.c_str());
  return err;
}

int CopyFile(const std::string& source, const std::string& target) { return CopyFileWith(source, target, 0); }

namespace {

int CopyTreeWith(const std::string& source, const std::string& target, unsigned options) {
  struct stat st;
  if (::lstat(source.c_str(), &st) != 0) return errno;
  if (S_ISLNK(st.st_mode)) {
    std::vector<char> link(static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
    ssize_t n = ::readlink(source.c_str(), link.data(), link.size() - 1);
    if (n < 0) return errno;
    link[static_cast<size_t>(n)] = '\0';
    if (::symlink(link.data(), target.c_str()) != 0) return errno;
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::utimensat(AT_FDCWD, target.c_str(), times, AT_SYMLINK_NOFOLLOW);
    return 0;
  }
  RaceHook("CopyTree.checked", source);
  // O_NOFOLLOW: a file swapped for a link since lstat is refused rather than followed.
  if (S_ISREG(st.st_mode)) return CopyFileWith(source, target, options | kCopyNoFollow);
  if (!S_ISDIR(st.st_mode)) return ENOTSUP;
  if (::mkdir(target.c_str(), (st.st_mode & 07777) | S_IRWXU) != 0) return errno;
  // O_NOFOLLOW here too: a folder swapped for a link is not listed through it.
  int dirFd = ::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  DIR* dir = dirFd >= 0 ? ::fdopendir(dirFd) : nullptr;
  if (!dir) {
    int err = errno;
    if (dirFd >= 0) ::close(dirFd);
    return err;
  }
  std::vector<std::string> names;
  while (struct dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names.emplace_back(entry->d_name);
  }
  ::closedir(dir);
  for (const std::string& name : names) {
    if (int err = CopyTreeWith(source + "/" + name, target + "/" + name, options)) return err;
  }
  ::chmod(target.c_str(), st.st_mode & 07777);
  struct timespec times[2] = {st.st_atim, st.st_mtim};
  ::utimensat(AT_FDCWD, target.c_str(), times, 0);
  return 0;
}

}  // namespace

int CopyTree(const std::string& source, const std::string& target) { return CopyTreeWith(source, target, 0); }

int CopyTreeNoReplace(const std::string& source, const std::string& target) {
  return CopyTreeWith(source, target, kCopyNoReplace);
}

int RemoveTree(const std::string& path) {
  // Everything is done relative to the parent folder and the last name, which is never followed:
  // "in/link/." or "in/link/sub/.." would otherwise name the folder a link points to.
  const std::string last = LastComponent(path);
  if (last.empty()) return ENOENT;
  if (last == "/") return EBUSY;
  if (last == "." || last == "..") return EINVAL;
  Fd parent(::open(ParentPath(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (parent.get() < 0) return errno;
  struct stat st;
  if (::fstatat(parent.get(), last.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ::unlinkat(parent.get(), last.c_str(), 0) == 0 ? 0 : errno;
  Fd dir(::openat(parent.get(), last.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (dir.get() < 0) return errno;
  int err = RemoveContents(dir.get());
  if (::unlinkat(parent.get(), last.c_str(), AT_REMOVEDIR) != 0 && !err) err = errno;
  return err;
}

int MoveItem(const std::string& source, const std::string& target, bool replace) {
  int done = replace ? ::rename(source.c_str(), target.c_str())
                     : ::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
  if (done == 0) return 0;
  int err = errno;
  if (!replace && (err == EINVAL || err == ENOSYS)) {
    // File systems without RENAME_NOREPLACE: check, then rename.
    if (Exists(target)) return EEXIST;
    if (::rename(source.c_str(), target.c_str()) == 0) return 0;
    err = errno;
  }
  if (err != EXDEV) return err;
  if (!replace && Exists(target)) return EEXIST;
  struct stat st;
  if (::lstat(source.c_str(), &st) != 0) return errno;
  // Across file systems: copy beside the target under a temporary name, put it in place, and
  // only then remove the source, so a failure leaves the source whole.
  std::string temp;
  {
    Fd placeholder;
    if (int e = MakeTempBeside(target, temp, placeholder)) return e;
  }
  ::unlink(temp.c_str());
  if (int e = CopyTree(source, temp)) {
    RemoveTree(temp);
    return e;
  }
  done = replace ? ::rename(temp.c_str(), target.c_str())
                 : ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
  if (done != 0 && !replace && (errno == EINVAL || errno == ENOSYS)) {
    done = Exists(target) ? (errno = EEXIST, -1) : ::rename(temp.c_str(), target.c_str());
  }
  if (done != 0) {
    err = errno;
    RemoveTree(temp);
    return err;
  }
  return RemoveTree(source);
}

}  // namespace qxfiles
