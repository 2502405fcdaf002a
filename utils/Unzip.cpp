// The zip reader: minizip walks the archive, libdeflate inflates entries that fit in memory, and
// every extraction writes a hidden temporary file that is renamed into place only once the data
// have been read whole and checked.
#include <QXCore/QXUnzip.h>
#include <errno.h>
#include <fcntl.h>
#include <libdeflate.h>
#include <limits.h>
#include <minizip/unzip.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "cf/CFRef.h"
#include "core/Fd.h"
#include "core/Handle.h"
#include "files/CoreFileInternal.h"
#include "utils/UnzipTesting.h"

namespace {

using qx::Fd;

using qxcf::CFRef;

constexpr unsigned kStreamPiece = 64 * 1024;
// Deflate cannot expand data more than 1032 times; an entry that declares more is damaged, and its
// size must not decide how much memory is taken.
constexpr uint64_t kMaxDeflateRatio = 1032;
constexpr uint64_t kDeflateSlack = 1024;
constexpr uLong kFlagEncrypted = 1u << 0;
constexpr uLong kFlagUTF8 = 1u << 11;

std::atomic<uint64_t> gWholeEntryLimit{128u * 1024 * 1024};

// Code page 437, bytes 0x80 to 0xFF; the lower half is ASCII.
constexpr UniChar kCP437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

// A scratch buffer straight from the kernel, on huge pages where the system allows them: faulting
// in tens of thousands of small pages costs more than inflating into them. Null when there is not
// the memory.
class Scratch {
 public:
  explicit Scratch(uint64_t size) {
    constexpr uint64_t kHugePage = 2u << 20;
    const bool huge = size >= kHugePage;
    mLength = std::max<uint64_t>(size, 1) + (huge ? kHugePage : 0);
    void* base = ::mmap(nullptr, mLength, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return;
    mBase = static_cast<char*>(base);
    mData = mBase;
    if (huge) {
      mData = reinterpret_cast<char*>((reinterpret_cast<uintptr_t>(mBase) + kHugePage - 1) & ~(kHugePage - 1));
      ::madvise(mData, size, MADV_HUGEPAGE);
    }
  }
  ~Scratch() {
    if (mBase) ::munmap(mBase, mLength);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  char* get() const { return mData; }

 private:
  char* mBase = nullptr;
  char* mData = nullptr;
  uint64_t mLength = 0;
};

// A status of the unzip library (or of zlib, passed through it) as this family reports it.
int32_t UnzipStatus(int result) {
  switch (result) {
    case UNZ_OK: return 0;
    case UNZ_ERRNO: return kQXErrGeneric;
    case Z_MEM_ERROR: return kQXErrMemory;
    case UNZ_PARAMERROR: return kQXUnzipErrBadArgument;
    case UNZ_CRCERROR: return kQXUnzipErrCRC;
    default: return kQXUnzipErrBadZipFile;
  }
}

int WriteAll(int fd, const char* bytes, uint64_t count) {
  while (count > 0) {
    ssize_t n = ::write(fd, bytes, std::min<uint64_t>(count, 1u << 30));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes += n;
    count -= static_cast<uint64_t>(n);
  }
  return 0;
}

// What the reader learns when minizip opens the archive file: its size, and the descriptor for
// reading raw data without going through minizip's small buffer.
struct ArchiveFile {
  uint64_t size = 0;
  int fd = -1;
};

// minizip's own open uses fopen, which would wait on a FIFO and leak the descriptor into children.
// `opaque` is the reader's ArchiveFile.
voidpf OpenArchive(voidpf opaque, const void* path, int /*mode*/) {
  struct stat st {};
  int fd = qxfiles::OpenRegularFile(static_cast<const char*>(path), 0, st);
  if (fd < 0) return nullptr;
  FILE* file = ::fdopen(fd, "rb");
  if (file == nullptr) {
    ::close(fd);
    return nullptr;
  }
  *static_cast<ArchiveFile*>(opaque) = {static_cast<uint64_t>(st.st_size), fd};
  return file;
}

// minizip cannot open an archive without entries (its end record at offset 0 reads as "not
// found"), so such an archive is recognised here: the end record alone, then its comment.
bool IsEmptyArchive(const std::string& path) {
  struct stat st {};
  Fd fd(qxfiles::OpenRegularFile(path, 0, st));
  unsigned char end[22];
  if (fd.get() < 0 || st.st_size < 22 || ::pread(fd.get(), end, sizeof end, 0) != ssize_t(sizeof end)) return false;
  static const unsigned char kEmpty[20] = {'P', 'K', 5, 6};  // then disks, counts, size and offset, all 0
  return std::equal(kEmpty, kEmpty + 20, end) && st.st_size == 22 + (end[20] | end[21] << 8);
}

// Splits an entry name into the components of a path inside the target folder. False for anything
// that could lead out of it or mean something else on another system.
bool SplitName(const std::string& name, std::vector<std::string>& parts, bool& isFolder) {
  parts.clear();
  isFolder = name.empty() || name.back() == '/';
  if (name.empty()) return true;
  if (name.front() == '/' || name.find('\\') != std::string::npos || name.find('\0') != std::string::npos) return false;
  size_t start = 0;
  const size_t end = isFolder ? name.size() - 1 : name.size();
  while (start <= end) {
    size_t slash = std::min(name.find('/', start), end);
    std::string part = name.substr(start, slash - start);
    if (part.empty() || part == "." || part == "..") return false;
    parts.push_back(std::move(part));
    start = slash + 1;
  }
  return true;
}

// A new, empty hidden file beside `name` in `dirFd`, never through a symbolic link. 0 or errno.
int CreateTemp(int dirFd, const std::string& name, std::string& temp, Fd& fd) {
  std::string base = "." + name + ".qxtmp-";
  if (base.size() + 10 > NAME_MAX) base = ".qxtmp-";
  thread_local std::mt19937_64 random{std::random_device{}()};
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp = base + std::to_string(random() % 1000000000u);
    // 0666: the umask decides, as for any file the application creates.
    fd.reset(::openat(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (fd.get() >= 0) return 0;
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

}  // namespace

uint64_t qx::testing::SetUnzipWholeEntryLimit(uint64_t bytes) { return gWholeEntryLimit.exchange(bytes); }

// The object behind a QXUnzip handle. One thread at a time.
class CUnZipArchive final : public CBaseCore {
 public:
  ~CUnZipArchive() override {
    Close();
    if (mInflater) libdeflate_free_decompressor(mInflater);
  }

  int32_t Open(CFURLRef url);
  int32_t GoTo(bool first);
  CFStringRef CopyName() const { return mName ? CFRef<CFStringRef>::retain(mName.get()).release() : nullptr; }
  int32_t ExtractToFile(CFURLRef target);
  int32_t ExtractToFolder(CFURLRef folder);

 private:
  void Close();
  int32_t LoadCurrent();
  int32_t CheckCurrent() const;
  int32_t ExtractInto(int dirFd, const std::string& name);
  int32_t WriteEntry(int fd);
  int32_t WriteWhole(int fd, bool& done);
  int32_t WriteStreamed(int fd);

  unzFile mArchive = nullptr;
  bool mEmpty = false;  // an archive without entries, which minizip does not open
  ArchiveFile mFile;    // the descriptor belongs to minizip's stream
  CFRef<CFStringRef> mPath;
  bool mHasCurrent = false;
  unz_file_info64 mInfo{};
  CFRef<CFStringRef> mName;  // null when the name cannot be decoded
  std::string mNameUTF8;
  std::unique_ptr<char[]> mBuffer;  // made on the first streamed extraction
  libdeflate_decompressor* mInflater = nullptr;
};

namespace qx {
QX_HANDLE_CLASS(__QXUnzip, CUnZipArchive);
}  // namespace qx

void CUnZipArchive::Close() {
  if (mArchive) unzClose(mArchive);
  mArchive = nullptr;
  mEmpty = false;
  mFile = {};
  mPath.reset();
  mHasCurrent = false;
  mName.reset();
  mNameUTF8.clear();
}

int32_t CUnZipArchive::Open(CFURLRef url) {
  Close();
  if (!url) return kQXUnzipErrBadArgument;
  std::string path;
  if (qxfiles::PathFromURL(url, path) != 0) return kQXErrGeneric;
  zlib_filefunc64_def functions{};
  fill_fopen64_filefunc(&functions);
  functions.zopen64_file = OpenArchive;
  functions.opaque = &mFile;
  mArchive = unzOpen2_64(path.c_str(), &functions);
  if (!mArchive) {
    mFile = {};  // minizip has closed what it opened
    if (!(mEmpty = IsEmptyArchive(path))) return kQXErrGeneric;
  }
  mPath.reset(qxfiles::CreateString(path));
  return 0;
}

int32_t CUnZipArchive::GoTo(bool first) {
  if (!mArchive && !mEmpty) return kQXUnzipErrBadArgument;
  mHasCurrent = false;
  mName.reset();
  mNameUTF8.clear();
  if (mEmpty) return kQXUnzipEndOfList;
  if (first) {
    // minizip reads the end record as an entry when there are none.
    unz_global_info64 global{};
    if (unzGetGlobalInfo64(mArchive, &global) == UNZ_OK && global.number_entry == 0) return kQXUnzipEndOfList;
  }
  int result = first ? unzGoToFirstFile(mArchive) : unzGoToNextFile(mArchive);
  if (result == UNZ_END_OF_LIST_OF_FILE) return kQXUnzipEndOfList;
  if (result != UNZ_OK) return UnzipStatus(result);
  return LoadCurrent();
}

int32_t CUnZipArchive::LoadCurrent() {
  unz_file_info64 info{};
  int result = unzGetCurrentFileInfo64(mArchive, &info, nullptr, 0, nullptr, 0, nullptr, 0);
  if (result != UNZ_OK) return UnzipStatus(result);
  // The whole name, however long: the field is 16 bits, so the size is bounded.
  std::string raw(info.size_filename + 1, '\0');
  result = unzGetCurrentFileInfo64(mArchive, &info, raw.data(), static_cast<uLong>(raw.size()), nullptr, 0, nullptr, 0);
  if (result != UNZ_OK) return UnzipStatus(result);
  raw.resize(info.size_filename);
  mInfo = info;
  mHasCurrent = true;
  if (info.flag & kFlagUTF8) {
    mName.reset(qxfiles::CreateString(raw));
  } else {
    std::vector<UniChar> units(raw.size());
    std::transform(raw.begin(), raw.end(), units.begin(), [](char c) {
      auto byte = static_cast<unsigned char>(c);
      return byte < 0x80 ? UniChar(byte) : kCP437High[byte - 0x80];
    });
    mName.reset(CFStringCreateWithCharacters(nullptr, units.data(), static_cast<CFIndex>(units.size())));
  }
  if (mName) mNameUTF8 = qxfiles::UTF8(mName.get());
  return 0;
}

int32_t CUnZipArchive::CheckCurrent() const {
  if (!mArchive || !mHasCurrent) return kQXUnzipErrBadArgument;
  // Without a password minizip hands out the encrypted bytes as if they were the data.
  if (mInfo.flag & kFlagEncrypted) return kQXUnzipErrEncrypted;
  return 0;
}

int32_t CUnZipArchive::ExtractToFile(CFURLRef target) {
  if (!target) return kQXUnzipErrBadArgument;
  if (int32_t status = CheckCurrent()) return status;
  std::string path;
  if (int status = qxfiles::PathFromURL(target, path)) return status;
  const std::string name = qxfiles::LastComponent(path);
  if (name.empty() || name == "/") return EISDIR;
  Fd dir(::open(qxfiles::ParentPath(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return errno;
  return ExtractInto(dir.get(), name);
}

int32_t CUnZipArchive::ExtractToFolder(CFURLRef folder) {
  if (!folder) return kQXUnzipErrBadArgument;
  if (!mArchive || !mHasCurrent) return kQXUnzipErrBadArgument;
  std::vector<std::string> parts;
  bool isFolder = false;
  if (!mName || !SplitName(mNameUTF8, parts, isFolder)) return kQXUnzipErrUnsafeName;
  if (!isFolder) {
    if (int32_t status = CheckCurrent()) return status;
  }
  std::string path;
  if (int status = qxfiles::PathFromURL(folder, path)) return status;
  // The caller's folder is trusted as given; only what lies below it comes from the archive.
  Fd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return errno;
  const size_t folders = isFolder ? parts.size() : parts.size() - 1;
  size_t reached = 0;              // folders entered
  size_t firstCreated = SIZE_MAX;  // every folder from here on was made by this call
  int32_t status = 0;
  for (; reached < folders; ++reached) {
    const char* part = parts[reached].c_str();
    constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::openat(dir.get(), part, kFolderFlags);
    if (fd < 0 && errno == ENOENT) {
      if (::mkdirat(dir.get(), part, 0777) == 0) {
        firstCreated = std::min(firstCreated, reached);
      } else if (errno != EEXIST) {
        status = errno;
        break;
      }
      fd = ::openat(dir.get(), part, kFolderFlags);
    }
    if (fd < 0) {
      status = errno;
      break;
    }
    dir.reset(fd);
  }
  if (status == 0 && !isFolder) status = ExtractInto(dir.get(), parts.back());
  if (status != 0 && firstCreated < reached) {
    // Climb back from the deepest folder through "..", never down a path again, so a folder
    // swapped for a link meanwhile is not followed; rmdir removes only folders still empty.
    for (size_t i = reached; i-- > firstCreated;) {
      Fd parent(::openat(dir.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (parent.get() < 0) break;
      ::unlinkat(parent.get(), parts[i].c_str(), AT_REMOVEDIR);
      dir.reset(::dup(parent.get()));
    }
  }
  return status;
}

int32_t CUnZipArchive::ExtractInto(int dirFd, const std::string& name) {
  std::string temp;
  Fd out;
  if (int status = CreateTemp(dirFd, name, temp, out)) return status;
  int32_t status = WriteEntry(out.get());
  if (int closed = out.close(); status == 0) status = closed;
  // rename replaces a symbolic link standing at the target instead of writing through it.
  if (status == 0 && ::renameat(dirFd, temp.c_str(), dirFd, name.c_str()) != 0) status = errno;
  if (status != 0) ::unlinkat(dirFd, temp.c_str(), 0);
  return status;
}

int32_t CUnZipArchive::WriteEntry(int fd) {
  // The compressed bytes lie inside the archive: a larger count is damage, not data.
  if (mInfo.compressed_size > mFile.size) return kQXUnzipErrBadZipFile;
  if (mInfo.compression_method == Z_DEFLATED) {
    if (mInfo.uncompressed_size > mInfo.compressed_size * kMaxDeflateRatio + kDeflateSlack)
      return kQXUnzipErrBadZipFile;
    if (mInfo.uncompressed_size <= gWholeEntryLimit.load(std::memory_order_relaxed)) {
      bool done = false;
      int32_t status = WriteWhole(fd, done);
      if (done) return status;
    }
  }
  return WriteStreamed(fd);
}

// The raw deflate stream in one buffer, inflated by libdeflate (about twice zlib's speed) and
// checked against the entry's CRC. `done` stays false when memory is short, so the caller can
// stream instead.
int32_t CUnZipArchive::WriteWhole(int fd, bool& done) {
  const uint64_t packed = mInfo.compressed_size;
  const uint64_t size = mInfo.uncompressed_size;
  std::optional<Scratch> in(std::in_place, packed);
  Scratch out(size);
  if (!mInflater) mInflater = libdeflate_alloc_decompressor();
  if (!in->get() || !out.get() || !mInflater) return 0;
  done = true;
  int method = 0, level = 0;
  int result = unzOpenCurrentFile2(mArchive, &method, &level, 1);
  if (result != UNZ_OK) return UnzipStatus(result);
  // Opening checked the local header; the data that follow it are read directly (pread leaves
  // minizip's file position alone).
  const ZPOS64_T start = unzGetCurrentFileZStreamPos64(mArchive);
  unzCloseCurrentFile(mArchive);
  for (uint64_t got = 0; got < packed;) {
    ssize_t n = ::pread(mFile.fd, in->get() + got, std::min<uint64_t>(packed - got, 1u << 30), off_t(start + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return kQXErrGeneric;  // a read error, or the archive ends inside the entry
    got += static_cast<uint64_t>(n);
  }
  size_t produced = 0;
  if (libdeflate_deflate_decompress(mInflater, in->get(), packed, out.get(), size, &produced) != LIBDEFLATE_SUCCESS ||
      produced != size)
    return kQXUnzipErrBadZipFile;
  in.reset();
  if (libdeflate_crc32(0, out.get(), size) != mInfo.crc) return kQXUnzipErrCRC;
  return WriteAll(fd, out.get(), size);
}

int32_t CUnZipArchive::WriteStreamed(int fd) {
  if (!mBuffer) mBuffer.reset(new (std::nothrow) char[kStreamPiece]);
  if (!mBuffer) return kQXErrMemory;
  int result = unzOpenCurrentFile(mArchive);
  if (result != UNZ_OK) return UnzipStatus(result);
  int32_t status = 0;
  uint64_t total = 0;
  for (;;) {
    int n = unzReadCurrentFile(mArchive, mBuffer.get(), kStreamPiece);
    if (n <= 0) {
      if (n < 0) status = UnzipStatus(n);
      break;
    }
    total += static_cast<uint64_t>(n);
    if ((status = WriteAll(fd, mBuffer.get(), static_cast<uint64_t>(n))) != 0) break;
  }
  // minizip checks the CRC only when the declared size was read, so a stream that ends early
  // must be caught here.
  result = unzCloseCurrentFile(mArchive);
  if (status == 0 && total != mInfo.uncompressed_size) status = kQXUnzipErrBadZipFile;
  if (status == 0) status = UnzipStatus(result);
  return status;
}

namespace {
CUnZipArchive* object(QXUnzipRef unzip) { return qx::fromHandle(unzip); }
}  // namespace

extern "C" {

QX_EXPORT QXUnzipRef QXUnzipCreate(void) { return qx::toHandle<__QXUnzip>(qx::make<CUnZipArchive>().release()); }
QX_EXPORT void QXUnzipRetain(QXUnzipRef unzip) {
  if (unzip) qx::retainHandle(unzip);
}
QX_EXPORT void QXUnzipRelease(QXUnzipRef unzip) {
  if (unzip) qx::releaseHandle(unzip);
}

QX_EXPORT QXStatus QXUnzipOpen(QXUnzipRef unzip, CFURLRef archiveURL) {
  if (!unzip) return kQXUnzipErrBadArgument;
  return qxfiles::NoThrow([&]() -> int32_t { return object(unzip)->Open(archiveURL); });
}
QX_EXPORT QXStatus QXUnzipSetFirstFileCurrent(QXUnzipRef unzip) {
  if (!unzip) return kQXUnzipErrBadArgument;
  return qxfiles::NoThrow([&]() -> int32_t { return object(unzip)->GoTo(true); });
}
QX_EXPORT QXStatus QXUnzipSetNextFileCurrent(QXUnzipRef unzip) {
  if (!unzip) return kQXUnzipErrBadArgument;
  return qxfiles::NoThrow([&]() -> int32_t { return object(unzip)->GoTo(false); });
}
QX_EXPORT CFStringRef QXUnzipGetCurrentFileNameCopy(QXUnzipRef unzip) {
  return unzip ? object(unzip)->CopyName() : nullptr;
}
QX_EXPORT QXStatus QXUnzipExtractCurrentFile(QXUnzipRef unzip, CFURLRef targetURL) {
  if (!unzip) return kQXUnzipErrBadArgument;
  return qxfiles::NoThrow([&]() -> int32_t { return object(unzip)->ExtractToFile(targetURL); });
}
QX_EXPORT QXStatus QXUnzipExtractCurrentFileToFolder(QXUnzipRef unzip, CFURLRef folderURL) {
  if (!unzip) return kQXUnzipErrBadArgument;
  return qxfiles::NoThrow([&]() -> int32_t { return object(unzip)->ExtractToFolder(folderURL); });
}

}  // extern "C"
