// Whole files of the file manager family: read in one piece, written beside the target and
// renamed into place.
#include <QXCore/QXStream.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>

#include "cf/CFRef.h"
#include "files/CoreFileInternal.h"

namespace {

int WriteAll(int fd, const UInt8* bytes, size_t count) {
  while (count > 0) {
    ssize_t n = ::write(fd, bytes, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes += n;
    count -= static_cast<size_t>(n);
  }
  return 0;
}

// A new, empty temporary file beside `path` (hidden, so listings skip it). 0 or errno.
int CreateTempBeside(const std::string& path, std::string& temp, int& fd) {
  std::string name = qxfiles::LastComponent(path);
  std::string base = "." + name + ".qxtmp-";
  if (base.size() + 10 > NAME_MAX) base = ".qxtmp-";
  base = qxfiles::JoinPath(qxfiles::ParentPath(path), base);
  thread_local std::mt19937_64 random{std::random_device{}()};
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp = base + std::to_string(random() % 1000000000u);
    // 0666: the umask decides, as for any file the application creates.
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return 0;
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

}  // namespace

// Writes the bytes to a new hidden file beside `path` and renames it over `path`: a reader sees the
// old file or the new one, never a mixture, and a crash leaves at most a stray temporary file.
int32_t qxfiles::ReplaceFileContents(const std::string& path, const UInt8* bytes, size_t count, bool replace) {
  if (path.empty() || (bytes == nullptr && count > 0)) return kQXErrInvalidArgument;
  if (path.back() == '/') return EISDIR;
  std::string temp;
  int fd = -1;
  int status = CreateTempBeside(path, temp, fd);
  if (status != 0) return status;
  // An existing file keeps its permissions: the data it holds may be private.
  struct stat existing {};
  if (::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode) && ::fchmod(fd, existing.st_mode & 0777) != 0)
    status = errno;
  if (status == 0) status = WriteAll(fd, bytes, count);
  if (status == 0 && ::fsync(fd) != 0) status = errno;
  if (::close(fd) != 0 && status == 0) status = errno;
  if (status == 0) {
    if (replace) {
      if (::rename(temp.c_str(), path.c_str()) != 0) status = errno;
    } else {
      status = qxfiles::RenameNoReplace(temp, path);
    }
  }
  if (status != 0) {
    ::unlink(temp.c_str());
    return status;
  }
  // Make the rename durable; a failure here does not undo the completed replacement.
  int dir = ::open(qxfiles::ParentPath(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return 0;
}

static int32_t WriteContents(CFDataRef data, const std::string& path) {
  if (data == nullptr) return kQXErrInvalidArgument;
  return qxfiles::ReplaceFileContents(path, CFDataGetBytePtr(data), static_cast<size_t>(CFDataGetLength(data)));
}

extern "C" {

QX_EXPORT QXStatus QXFileMgrGetFileContentsCopy(CFURLRef fileURL, CFDataRef* outData) {
  if (outData == nullptr) return kQXErrInvalidArgument;
  *outData = nullptr;
  return qxfiles::NoThrow([&]() -> int32_t {
    std::string path;
    int32_t status = qxfiles::PathFromURL(fileURL, path);
    if (status != 0) return status;
    std::string bytes;
    status = qxfiles::ReadRegularFile(path, bytes);
    if (status != 0) return status;
    CFDataRef data =
        CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()), static_cast<CFIndex>(bytes.size()));
    if (data == nullptr) return kQXErrMemory;
    *outData = data;
    return 0;
  });
}

QX_EXPORT QXStatus QXFileMgrWriteFileContents(CFDataRef data, CFURLRef fileURL) {
  return qxfiles::NoThrow([&]() -> int32_t {
    std::string path;
    int32_t status = qxfiles::PathFromURL(fileURL, path);
    if (status != 0) return status;
    return WriteContents(data, path);
  });
}

QX_EXPORT QXStatus QXFileMgrWriteFileContentsPathUTF8(CFDataRef data, const char* path) {
  if (path == nullptr) return kQXErrInvalidArgument;
  return qxfiles::NoThrow([&]() -> int32_t {
    // Relative paths are taken from the current folder, as the file manager's URLs are.
    std::string absolute = path;
    if (absolute.empty()) return kQXErrInvalidArgument;
    if (absolute[0] != '/') {
      char cwd[PATH_MAX];
      if (::getcwd(cwd, sizeof cwd) == nullptr) return errno;
      absolute = qxfiles::JoinPath(cwd, absolute);
    }
    if (absolute.size() >= PATH_MAX) return ENAMETOOLONG;
    return WriteContents(data, absolute);
  });
}

}  // extern "C"
