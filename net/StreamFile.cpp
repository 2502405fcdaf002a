// File streams: the C library's buffered files, always binary and close-on-exec.
#include <QXCore/QXStream.h>
#include <errno.h>
#include <sys/types.h>

#include <cstdint>
#include <limits>
#include <string>

#include "cf/CFRef.h"
#include "files/CoreFileInternal.h"

namespace {

// A mode holds at most this many characters (the classic fixed buffer of 32 units, less "b" and
// the terminator).
constexpr CFIndex kMaxModeLength = 30;

// errno when set, else EIO: a failed C library call must never read as success.
int32_t LastError() { return errno != 0 ? errno : EIO; }

template <class T>
void Assign(T& field, T value) {
  if (value != nullptr) CFRetain(value);
  if (field != nullptr) CFRelease(field);
  field = value;
}

}  // namespace

CBaseStreamFile::CBaseStreamFile(CFURLRef fileURL, CFStringRef mode) {
  SetPath(fileURL);
  SetMode(mode);
}

CBaseStreamFile::~CBaseStreamFile() {
  Close();
  Assign<CFURLRef>(mURL, nullptr);
  Assign<CFStringRef>(mMode, nullptr);
}

void CBaseStreamFile::SetPath(CFURLRef fileURL) { Assign(mURL, fileURL); }
void CBaseStreamFile::SetMode(CFStringRef mode) { Assign(mMode, mode); }

QXStatus CBaseStreamFile::Open() {
  Close();
  std::string path;
  int32_t status = qxfiles::PathFromURL(mURL, path);
  if (status != 0) return status;
  if (mMode == nullptr || CFStringGetLength(mMode) > kMaxModeLength) return EINVAL;
  std::string mode = qxfiles::UTF8(mMode);
  if (mode.find('\0') != std::string::npos) return EINVAL;
  if (mode.find('b') == std::string::npos) mode += 'b';
  // "e": O_CLOEXEC, so no descriptor leaks into a program another thread starts.
  if (mode.find('e') == std::string::npos) mode += 'e';
  errno = 0;
  mFile = std::fopen(path.c_str(), mode.c_str());
  return mFile != nullptr ? 0 : LastError();
}

void CBaseStreamFile::Close() {
  mCloseStatus = 0;
  if (mFile == nullptr) return;
  // Buffered writes reach the file only now; a failure here is the file's last word on them.
  errno = 0;
  if (std::fclose(mFile) != 0) mCloseStatus = LastError();
  mFile = nullptr;
}

QXStatus CBaseStreamFile::ReadChunk(char* buffer, bool, uint64_t& count) {
  if (mFile == nullptr) {
    count = 0;
    return kQXErrGeneric;
  }
  errno = 0;
  size_t n = std::fread(buffer, 1, count, mFile);
  bool failed = n < count && std::ferror(mFile);
  count = n;
  if (!failed) return 0;
  int32_t status = LastError();
  std::clearerr(mFile);
  return status;
}

QXStatus CBaseStreamFile::WriteChunk(const char* buffer, uint64_t& count) {
  if (mFile == nullptr) {
    count = 0;
    return kQXErrGeneric;
  }
  errno = 0;
  size_t n = std::fwrite(buffer, 1, count, mFile);
  bool failed = n < count;
  count = n;
  if (!failed) return 0;
  int32_t status = LastError();
  std::clearerr(mFile);
  return status;
}

QXStatus CBaseStreamFile::ReadChar(char& c) {
  uint64_t count = 1;
  int32_t status = ReadChunk(&c, false, count);
  if (status != 0) return status;
  return count == 1 ? 0 : kQXErrGeneric;
}

QXStatus CBaseStreamFile::GetPos(uint64_t& pos) {
  if (mFile == nullptr) return kQXErrGeneric;
  errno = 0;
  off_t at = ::ftello(mFile);
  if (at < 0) return LastError();
  pos = static_cast<uint64_t>(at);
  return 0;
}

QXStatus CBaseStreamFile::SetPos(uint64_t pos) {
  if (mFile == nullptr) return kQXErrGeneric;
  if (pos > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return EINVAL;
  errno = 0;
  return ::fseeko(mFile, static_cast<off_t>(pos), SEEK_SET) == 0 ? 0 : LastError();
}

QXStatus CBaseStreamFile::GetLength(uint64_t& len) {
  if (mFile == nullptr) return kQXErrGeneric;
  uint64_t saved = 0;
  int32_t status = GetPos(saved);
  if (status != 0) return status;
  errno = 0;
  if (::fseeko(mFile, 0, SEEK_END) != 0) return LastError();
  uint64_t end = 0;
  status = GetPos(end);
  int32_t restored = SetPos(saved);
  if (status != 0) return status;
  if (restored != 0) return restored;
  len = end;
  return 0;
}

QXStatus CBaseStreamFile::Skip(uint64_t count) {
  uint64_t pos = 0;
  int32_t status = GetPos(pos);
  if (status != 0) return status;
  if (count > std::numeric_limits<uint64_t>::max() - pos) return EINVAL;
  return SetPos(pos + count);
}

QXStatus CBaseStreamFile::SetBuffer(CFDataRef) {
  if (mFile == nullptr) return kQXErrGeneric;
  std::setvbuf(mFile, nullptr, _IONBF, 0);
  return 0;
}

QXStatus CBaseStreamFile::SetCaching(bool) { return 0; }

bool CBaseStreamFile::IsEOF() { return mFile == nullptr || std::feof(mFile) != 0; }
