// qxtool plist: lint, print and convert XML property lists.
#include <CoreFoundation/CoreFoundation.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "CFRef.h"
#include "Jobs.h"

using qxcf::adopt;
using qxcf::CFRef;

namespace {

// The reader's own words ("… on line 8") read better in a lint report than the generic description.
std::string errorMessage(CFErrorRef error) {
  CFRef<CFDictionaryRef> info = adopt(CFErrorCopyUserInfo(error));
  const void* debug = info ? CFDictionaryGetValue(info.get(), kCFErrorDebugDescriptionKey) : nullptr;
  if (debug != nullptr && CFGetTypeID(debug) == CFStringGetTypeID()) return utf8(static_cast<CFStringRef>(debug));
  CFRef<CFStringRef> description = adopt(CFErrorCopyDescription(error));
  return utf8(description.get());
}

bool readFile(const char* path, std::string& out, std::string& error) {
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) {
    error = std::strerror(errno);
    return false;
  }
  char buf[65536];
  size_t n;
  out.clear();
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  bool ok = !std::ferror(f);
  if (!ok) error = std::strerror(errno);
  std::fclose(f);
  return ok;
}

// Written beside the target and renamed over it, so a crash never leaves half a file.
bool writeFileAtomically(const std::string& path, CFDataRef data, std::string& error) {
  std::string tmp = path + ".qxtool-XXXXXX";
  int fd = mkstemp(tmp.data());
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  const UInt8* p = CFDataGetBytePtr(data);
  size_t left = static_cast<size_t>(CFDataGetLength(data));
  while (left > 0) {
    ssize_t w = ::write(fd, p, left);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      error = std::strerror(errno);
      ::close(fd);
      ::unlink(tmp.c_str());
      return false;
    }
    p += w;
    left -= static_cast<size_t>(w);
  }
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) ::fchmod(fd, st.st_mode & 07777);
  if (::fsync(fd) != 0 || ::close(fd) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
    error = std::strerror(errno);
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

// Parses a file; on failure prints "FILE: message" and returns null.
CFRef<CFPropertyListRef> load(const char* path) {
  std::string bytes, error;
  if (!readFile(path, bytes, error)) {
    std::fprintf(stderr, "%s: %s\n", path, error.c_str());
    return nullptr;
  }
  CFRef<CFDataRef> data = adopt(CFDataCreateWithBytesNoCopy(nullptr, reinterpret_cast<const UInt8*>(bytes.data()),
                                                            static_cast<CFIndex>(bytes.size()), kCFAllocatorNull));
  CFErrorRef err = nullptr;
  CFRef<CFPropertyListRef> plist =
      adopt(CFPropertyListCreateWithData(nullptr, data.get(), kCFPropertyListImmutable, nullptr, &err));
  if (!plist) {
    CFRef<CFErrorRef> owned = adopt(err);
    std::fprintf(stderr, "%s: %s\n", path, owned ? errorMessage(owned.get()).c_str() : "not a property list");
  }
  return plist;
}

int lint(const std::vector<const char*>& files) {
  int status = 0;
  for (const char* f : files) {
    if (load(f)) {
      std::printf("%s: OK\n", f);
    } else {
      status = 1;
    }
  }
  return status;
}

int print(const std::vector<const char*>& files) {
  int status = 0;
  for (const char* f : files) {
    CFRef<CFPropertyListRef> plist = load(f);
    if (!plist) {
      status = 1;
      continue;
    }
    CFRef<CFStringRef> desc = adopt(CFCopyDescription(plist.get()));
    if (files.size() > 1) std::printf("%s:\n", f);
    std::printf("%s\n", utf8(desc.get()).c_str());
  }
  return status;
}

CFRef<CFDataRef> canonical(CFPropertyListRef plist, const char* path) {
  CFErrorRef err = nullptr;
  CFRef<CFDataRef> xml = adopt(CFPropertyListCreateData(nullptr, plist, kCFPropertyListXMLFormat_v1_0, 0, &err));
  CFRef<CFErrorRef> owned = adopt(err);
  if (!xml) std::fprintf(stderr, "%s: cannot be written as an XML property list\n", path);
  return xml;
}

int convert(const std::vector<const char*>& files, const char* outPath, bool inPlace) {
  std::string all;
  for (const char* f : files) {
    CFRef<CFPropertyListRef> plist = load(f);
    if (!plist) return 1;
    CFRef<CFDataRef> xml = canonical(plist.get(), f);
    if (!xml) return 1;
    if (inPlace) {
      std::string error;
      if (!writeFileAtomically(f, xml.get(), error)) {
        std::fprintf(stderr, "%s: %s\n", f, error.c_str());
        return 1;
      }
      continue;
    }
    all.append(reinterpret_cast<const char*>(CFDataGetBytePtr(xml.get())),
               static_cast<size_t>(CFDataGetLength(xml.get())));
  }
  if (inPlace) return 0;
  if (outPath != nullptr) {
    CFRef<CFDataRef> data =
        adopt(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(all.data()), static_cast<CFIndex>(all.size())));
    std::string error;
    if (!writeFileAtomically(outPath, data.get(), error)) {
      std::fprintf(stderr, "%s: %s\n", outPath, error.c_str());
      return 1;
    }
    return 0;
  }
  return std::fwrite(all.data(), 1, all.size(), stdout) == all.size() ? 0 : 1;
}

}  // namespace

int runPlistJob(int argc, char** argv) {
  if (argc < 1) {
    std::fputs("usage: qxtool plist lint|print|convert FILE...\n", stderr);
    return 2;
  }
  std::string verb = argv[0];
  std::vector<const char*> files;
  const char* outPath = nullptr;
  bool inPlace = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-o") == 0 && i + 1 < argc && verb == "convert") {
      outPath = argv[++i];
    } else if (std::strcmp(argv[i], "--in-place") == 0 && verb == "convert") {
      inPlace = true;
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.empty() || (inPlace && outPath != nullptr) || (outPath != nullptr && files.size() != 1)) {
    std::fprintf(stderr, "usage: qxtool plist %s FILE...%s\n", verb.c_str(),
                 verb == "convert" ? " [-o OUT] | --in-place FILE..." : "");
    return 2;
  }
  if (verb == "lint") return lint(files);
  if (verb == "print") return print(files);
  if (verb == "convert") return convert(files, outPath, inPlace);
  std::fprintf(stderr, "qxtool plist: unknown verb '%s'\n", verb.c_str());
  return 2;
}
