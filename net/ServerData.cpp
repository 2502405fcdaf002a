// The server data file and the command-line file: small property lists in a product's user folder
// through which the family's processes find a server and hand over a command line. Whoever can
// write that folder decides what stands at these paths, so readers take small regular files only
// and treat every value as untrusted.
#include <QXCore/QXLog.h>
#include <QXCore/QXProduct.h>
#include <QXCore/QXServerData.h>
#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "cf/CFRef.h"
#include "files/CoreFileInternal.h"

using qxcf::adopt;
using qxcf::CFRef;

namespace {

const char kServerDataName[] = "ServerData.plist";
const char kCmdLineArgsName[] = "CmdLineArgs.plist";
const CFStringRef kListenPortKey = CFSTR("listen_port");
const CFStringRef kProcessIDKey = CFSTR("pid");

// `fileName` in the product's user folder, which is created when missing.
int32_t UserFilePath(CFStringRef productID, const char* fileName, std::string& out) {
  QXProductRef product = productID != nullptr ? QXProductGetWithIdentifier(productID) : nullptr;
  if (product == nullptr) return kQXErrInvalidArgument;
  CFURLRef folder = nullptr;
  int32_t status = QXProductCopyUserFolderURL(product, &folder);
  CFRef<CFURLRef> held = adopt(folder);
  if (status != 0) return status;
  std::string path;
  status = qxfiles::PathFromURL(folder, path);
  if (status == 0) out = qxfiles::JoinPath(path, fileName);
  return status;
}

std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// Sandboxed and unsandboxed processes of the family must name one command-line file: a sandboxed
// host keeps its data in <home>/.var/app/<id>/data where others use <home>/.local/share, and the
// user/global mode adds "user" below the family folder. Whole components only, so that a folder
// named "username" is left alone.
std::string SharedCmdLinePath(const std::string& path) {
  std::vector<std::string> parts = Components(path);
  std::string home;
  if (qxfiles::HomeFolder(home) == 0) {
    std::vector<std::string> homeParts = Components(home);
    const size_t h = homeParts.size();
    bool underHome = parts.size() > h + 4 && std::equal(homeParts.begin(), homeParts.end(), parts.begin());
    if (underHome && parts[h] == ".var" && parts[h + 1] == "app" && parts[h + 3] == "data") {
      parts.erase(parts.begin() + static_cast<std::ptrdiff_t>(h), parts.begin() + static_cast<std::ptrdiff_t>(h + 4));
      parts.insert(parts.begin() + static_cast<std::ptrdiff_t>(h), {".local", "share"});
    }
  }
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    if (parts[i] == "Orvex Software" && parts[i + 1] == "user")
      parts.erase(parts.begin() + static_cast<std::ptrdiff_t>(i + 1));
  }
  std::string shared;
  for (const std::string& part : parts) shared += "/" + part;
  return shared;
}

int32_t CmdLinePath(CFStringRef productID, std::string& out) {
  int32_t status = UserFilePath(productID, kCmdLineArgsName, out);
  if (status == 0) out = SharedCmdLinePath(out);
  return status;
}

// The whole of a small regular file. The type is checked on a descriptor opened without waiting,
// so a FIFO put in its place cannot block the reader, and the size before anything is read.
int32_t ReadSmallFile(const std::string& path, std::string& out) {
  struct stat st {};
  int fd = qxfiles::OpenRegularFile(path, 0, st);
  if (fd < 0) return errno;
  int32_t status = st.st_size > kQXServerDataMaxFileSize ? EFBIG : 0;
  // Room for one byte more than allowed tells a file that grew since fstat.
  out.assign(kQXServerDataMaxFileSize + 1, '\0');
  size_t have = 0;
  while (status == 0 && have < out.size()) {
    ssize_t n = ::read(fd, out.data() + have, out.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) status = errno;
    if (n <= 0) break;
    have += static_cast<size_t>(n);
  }
  if (status == 0 && have > kQXServerDataMaxFileSize) status = EFBIG;
  out.resize(status == 0 ? have : 0);
  ::close(fd);
  return status;
}

// The file as an immutable property list; `out` stays null when it is not one.
int32_t ReadPropertyList(const std::string& path, CFRef<CFPropertyListRef>& out) {
  std::string bytes;
  int32_t status = ReadSmallFile(path, bytes);
  if (status != 0) return status;
  CFRef<CFDataRef> data = adopt(CFDataCreateWithBytesNoCopy(nullptr, reinterpret_cast<const UInt8*>(bytes.data()),
                                                            static_cast<CFIndex>(bytes.size()), kCFAllocatorNull));
  if (!data) return kQXErrMemory;
  out = adopt(CFPropertyListCreateFromXMLData(nullptr, data.get(), kCFPropertyListImmutable, nullptr));
  return 0;
}

// Written beside the file and renamed into place: a reader sees the old file or the new one.
int32_t ReplaceWith(const std::string& path, CFDataRef xml) {
  return qxfiles::ReplaceFileContents(path, CFDataGetBytePtr(xml), static_cast<size_t>(CFDataGetLength(xml)));
}

// A value stored as an integer within [low, high], else 0: a string, a real or a number out of
// range must not pass as a port or a process id (a pid of -1 would signal every process).
int64_t IntegerIn(CFTypeRef value, int64_t low, int64_t high) {
  if (value == nullptr || CFGetTypeID(value) != CFNumberGetTypeID()) return 0;
  auto number = static_cast<CFNumberRef>(value);
  int64_t result = 0;
  if (CFNumberIsFloatType(number) || !CFNumberGetValue(number, kCFNumberSInt64Type, &result)) return 0;
  return result >= low && result <= high ? result : 0;
}

CFRef<CFNumberRef> Int32Number(int32_t value) { return adopt(CFNumberCreate(nullptr, kCFNumberSInt32Type, &value)); }

// A name in the file's folder that no other reader can choose: hidden, with this process's id, a
// per-process counter and a random number.
std::string PrivateName(const std::string& path) {
  static std::atomic<uint64_t> counter{0};
  thread_local std::mt19937_64 random{std::random_device{}()};
  return qxfiles::JoinPath(qxfiles::ParentPath(path), "." + qxfiles::LastComponent(path) + "." +
                                                          std::to_string(::getpid()) + "-" + std::to_string(++counter) +
                                                          "-" + std::to_string(random()));
}

}  // namespace

extern "C" {

QX_EXPORT QXStatus QXUtilsWriteServerData(CFStringRef productID, uint16_t port) {
  int32_t status = qxfiles::NoThrow([&]() -> int32_t {
    std::string path;
    int32_t found = UserFilePath(productID, kServerDataName, path);
    if (found != 0) return found;
    CFRef<CFNumberRef> portNumber = Int32Number(port);
    CFRef<CFNumberRef> pidNumber = Int32Number(static_cast<int32_t>(::getpid()));
    const void* keys[] = {kListenPortKey, kProcessIDKey};
    const void* values[] = {portNumber.get(), pidNumber.get()};
    if (!portNumber || !pidNumber) return kQXErrMemory;
    CFRef<CFDictionaryRef> info = adopt(
        CFDictionaryCreate(nullptr, keys, values, 2, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    CFRef<CFDataRef> xml = info ? adopt(CFPropertyListCreateXMLData(nullptr, info.get())) : nullptr;
    if (!xml) return kQXErrMemory;
    return ReplaceWith(path, xml.get());
  });
  if (status != 0) QXLogWithParams(1, nullptr, status, CFSTR("QXUtilsWriteServerData failed"));
  return status;
}

QX_EXPORT QXStatus QXUtilsReadServerData(CFStringRef productID, uint16_t* outPort, int32_t* outProcessID) {
  if (outPort != nullptr) *outPort = 0;
  if (outProcessID != nullptr) *outProcessID = 0;
  return qxfiles::NoThrow([&]() -> int32_t {
    std::string path;
    int32_t status = UserFilePath(productID, kServerDataName, path);
    CFRef<CFPropertyListRef> info;
    if (status == 0) status = ReadPropertyList(path, info);
    // A file that is not a dictionary is what a reader meets while no server is about: port 0.
    if (status != 0 || !info || CFGetTypeID(info.get()) != CFDictionaryGetTypeID()) return status;
    auto fields = static_cast<CFDictionaryRef>(info.get());
    if (outPort != nullptr)
      *outPort = static_cast<uint16_t>(IntegerIn(CFDictionaryGetValue(fields, kListenPortKey), 1, 65535));
    if (outProcessID != nullptr)
      *outProcessID = static_cast<int32_t>(IntegerIn(CFDictionaryGetValue(fields, kProcessIDKey), 1, INT32_MAX));
    return 0;
  });
}

QX_EXPORT QXStatus QXUtilsDeleteServerData(CFStringRef productID) {
  return qxfiles::NoThrow([&]() -> int32_t {
    std::string path;
    int32_t status = UserFilePath(productID, kServerDataName, path);
    // Nothing there is as good as deleted.
    if (status == 0) ::unlink(path.c_str());
    return status;
  });
}

QX_EXPORT QXStatus QXUtilsWriteCmdLineArgs(CFStringRef productID, CFPropertyListRef args) {
  return qxfiles::NoThrow([&]() -> int32_t {
    if (args == nullptr) return kQXErrInvalidArgument;
    std::string path;
    int32_t status = CmdLinePath(productID, path);
    if (status != 0) return status;
    CFRef<CFDataRef> xml = adopt(CFPropertyListCreateXMLData(nullptr, args));
    if (!xml) return kQXErrInvalidArgument;
    // The shared path may name a folder the product's own lookup did not create.
    status = qxfiles::MakeDirectories(qxfiles::ParentPath(path));
    if (status != 0) return status;
    return ReplaceWith(path, xml.get());
  });
}

QX_EXPORT QXStatus QXUtilsReadCmdLineArgs(CFStringRef productID, CFPropertyListRef* outArgs) {
  if (outArgs == nullptr) return kQXErrInvalidArgument;
  *outArgs = nullptr;
  return qxfiles::NoThrow([&]() -> int32_t {
    std::string path;
    int32_t status = CmdLinePath(productID, path);
    if (status != 0) return status;
    // One rename decides which reader consumes the file; the others find nothing there.
    std::string taken = PrivateName(path);
    if (::rename(path.c_str(), taken.c_str()) != 0) return errno;
    CFRef<CFPropertyListRef> args;
    status = ReadPropertyList(taken, args);
    if (status == 0 && !args) status = kQXErrGeneric;
    if (status != 0) {
      // Not ours to destroy; a file written meanwhile is newer and wins.
      if (qxfiles::RenameNoReplace(taken, path) != 0) ::unlink(taken.c_str());
      return status;
    }
    ::unlink(taken.c_str());
    *outArgs = args.release();
    return 0;
  });
}

}  // extern "C"
