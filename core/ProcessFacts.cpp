// Facts about the process and the machine, and the host's application version.
#include <QXCore/QXLog.h>
#include <QXCore/QXProcess.h>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cf/CFRef.h"

namespace {

// Opened close-on-exec: another thread of the host may be starting a child at this moment.
bool readFile(const std::string& path, std::string& out) {
  struct Descriptor {
    int fd;
    ~Descriptor() {
      if (fd >= 0) close(fd);
    }
  } file{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) return false;
  out.clear();
  char buffer[4096];
  while (true) {
    ssize_t got = read(file.fd, buffer, sizeof buffer);
    if (got > 0) {
      out.append(buffer, static_cast<size_t>(got));
    } else if (got == 0) {
      return true;
    } else if (errno != EINTR) {
      return false;
    }
  }
}

bool readNumber(const std::string& path, long long& value) {
  std::string text;
  if (!readFile(path, text)) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoll(text.c_str(), &end, 10);
  return errno == 0 && end != text.c_str();
}

bool allDigits(const char* text) {
  if (!*text) return false;
  for (; *text; ++text) {
    if (*text < '0' || *text > '9') return false;
  }
  return true;
}

// A string from bytes that should be UTF-8; bytes that are not become U+FFFD rather than losing
// the whole string.
CFStringRef createString(const std::string& bytes) {
  CFStringRef string = CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(bytes.data()),
                                               static_cast<CFIndex>(bytes.size()), kCFStringEncodingUTF8, false);
  return string ? string : CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%s"), bytes.c_str());
}

// The memory limit of the process's cgroup and its ancestors (v2 memory.max, v1
// memory.limit_in_bytes); UINT64_MAX when none is set or readable.
uint64_t cgroupMemoryLimit() {
  uint64_t limit = UINT64_MAX;
  std::string text;
  if (!readFile("/proc/self/cgroup", text)) return limit;
  std::istringstream cgroups(text);
  std::string line;
  // Reads `file` in the cgroup's folder and in each parent up to the mount point: a parent's
  // limit binds its children too.
  auto consider = [&](const std::string& root, std::string folder, const char* file) {
    while (true) {
      std::string text;
      if (readFile(root + folder + "/" + file, text) && !text.empty() && text.compare(0, 3, "max") != 0) {
        char* end = nullptr;
        errno = 0;
        unsigned long long value = std::strtoull(text.c_str(), &end, 10);
        if (errno == 0 && end != text.c_str() && value > 0) limit = std::min<uint64_t>(limit, value);
      }
      if (folder.empty()) break;
      folder.resize(folder.find_last_of('/'));
    }
  };
  while (std::getline(cgroups, line)) {
    size_t first = line.find(':');
    size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    std::string controllers = line.substr(first + 1, second - first - 1);
    std::string path = line.substr(second + 1);
    if (path.empty() || path[0] != '/') continue;
    if (path == "/") path.clear();
    if (controllers.empty()) {
      consider("/sys/fs/cgroup", path, "memory.max");
    } else {
      std::stringstream list(controllers);
      std::string name;
      while (std::getline(list, name, ',')) {
        if (name == "memory") consider("/sys/fs/cgroup/memory", path, "memory.limit_in_bytes");
      }
    }
  }
  return limit;
}

// ---- The application version, set by the host ----

struct VersionState {
  std::mutex lock;
  qxcf::CFRef<CFStringRef> version;
  qxcf::CFRef<CFStringRef> derivedBuild;
  qxcf::CFRef<CFStringRef> explicitBuild;
  uint32_t bcd = 0;
  // Replaced strings stay alive: callers hold them as borrowed references.
  std::vector<qxcf::CFRef<CFStringRef>> retired;
};

VersionState& versionState() {
  static VersionState* const state = new VersionState;
  return *state;
}

// Reads a whole part as a non-negative decimal integer (surrounding white space allowed).
bool readInteger(CFStringRef part, long long& value) {
  char text[64];
  if (!CFStringGetCString(part, text, sizeof text, kCFStringEncodingASCII)) return false;
  const char* p = text;
  while (*p == ' ' || *p == '\t') ++p;
  const char* digits = p;
  value = 0;
  while (*p >= '0' && *p <= '9') {
    value = value * 10 + (*p - '0');
    if (value > INT32_MAX) return false;
    ++p;
  }
  if (p == digits) return false;
  while (*p == ' ' || *p == '\t') ++p;
  return *p == '\0';
}

CFStringRef createDerivedBuild(CFStringRef version) {
  auto parts = qxcf::adopt(CFStringCreateArrayBySeparatingStrings(nullptr, version, CFSTR(".")));
  int numbers[4] = {0, 0, 0, 0};
  CFIndex count = parts ? std::min<CFIndex>(CFArrayGetCount(parts.get()), 4) : 0;
  for (CFIndex i = 0; i < count; ++i) {
    numbers[i] = CFStringGetIntValue(static_cast<CFStringRef>(CFArrayGetValueAtIndex(parts.get(), i)));
  }
  return CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%d.%d.%d.%d"), numbers[0], numbers[1], numbers[2],
                                  numbers[3]);
}

}  // namespace

CFArrayRef QXProcessGetCmdLineCopy(void) {
  try {
    CFMutableArrayRef result = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    if (!result) return nullptr;
    std::string text;
    if (!readFile("/proc/self/cmdline", text)) return result;
    size_t start = 0;
    bool first = true;
    while (start < text.size()) {
      size_t end = text.find('\0', start);
      if (end == std::string::npos) end = text.size();
      if (!first) {
        auto argument = qxcf::adopt(createString(text.substr(start, end - start)));
        if (argument) CFArrayAppendValue(result, argument.get());
      }
      first = false;
      start = end + 1;
    }
    return result;
  } catch (...) {
    return nullptr;
  }
}

int32_t QXProcessGetNumProcessors(void) {
  long count = sysconf(_SC_NPROCESSORS_ONLN);
  return count >= 1 ? static_cast<int32_t>(std::min<long>(count, INT32_MAX)) : 1;
}

int32_t QXProcessGetNumPhysicalProcessors(void) {
  std::set<std::pair<long long, long long>> cores;
  try {
    if (DIR* folder = opendir("/sys/devices/system/cpu")) {
      while (dirent* entry = readdir(folder)) {
        if (std::strncmp(entry->d_name, "cpu", 3) != 0 || !allDigits(entry->d_name + 3)) continue;
        std::string topology = std::string("/sys/devices/system/cpu/") + entry->d_name + "/topology/";
        long long package = 0, core = 0;
        if (readNumber(topology + "physical_package_id", package) && readNumber(topology + "core_id", core)) {
          cores.emplace(package, core);
        }
      }
      closedir(folder);
    }
  } catch (...) {
  }
  int32_t count = static_cast<int32_t>(std::min<size_t>(cores.size(), INT32_MAX));
  return std::clamp(count, 1, QXProcessGetNumProcessors());
}

uint64_t QXProcessGetPhysicalMem(void) {
  uint64_t total = 0, slab = 0;
  try {
    std::string text;
    if (!readFile("/proc/meminfo", text)) text.clear();
    std::istringstream meminfo(text);
    std::string key;
    unsigned long long kilobytes = 0;
    std::string unit;
    std::string line;
    while (std::getline(meminfo, line)) {
      std::istringstream fields(line);
      if (!(fields >> key >> kilobytes)) continue;
      if (key == "MemTotal:") total = kilobytes * 1024;
      if (key == "Slab:") slab = kilobytes * 1024;
    }
    if (total == 0) {
      long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGESIZE);
      if (pages > 0 && size > 0) total = static_cast<uint64_t>(pages) * static_cast<uint64_t>(size);
    }
    if (slab < total) total -= slab;
    return std::min(total, cgroupMemoryLimit());
  } catch (...) {
    return total;
  }
}

CFSetRef QXProcessGetPIDSCopy(void) {
  CFMutableSetRef result = CFSetCreateMutable(nullptr, 0, &kCFTypeSetCallBacks);
  if (!result) return nullptr;
  if (DIR* folder = opendir("/proc")) {
    while (dirent* entry = readdir(folder)) {
      if (!allDigits(entry->d_name)) continue;
      long long pid = std::strtoll(entry->d_name, nullptr, 10);
      if (pid <= 0 || pid > INT32_MAX) continue;
      int32_t value = static_cast<int32_t>(pid);
      auto number = qxcf::adopt(CFNumberCreate(nullptr, kCFNumberSInt32Type, &value));
      if (number) CFSetAddValue(result, number.get());
    }
    closedir(folder);
  }
  return result;
}

void* QXProcessAllocateVirtualMemory(size_t size) { return std::malloc(size); }
void QXProcessFreeVirtualMemory(void* memory) { std::free(memory); }

bool QXProcessGetSandboxed(void) { return false; }

CFStringRef QXProcessGetUserName(void) {
  static std::mutex lock;
  static CFStringRef cached = nullptr;  // kept for the life of the process
  std::lock_guard<std::mutex> guard(lock);
  if (cached) return cached;
  try {
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 4096);
    passwd entry{};
    passwd* found = nullptr;
    int rc;
    while ((rc = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
    }
    if (rc == 0 && found && found->pw_name && found->pw_name[0]) cached = createString(found->pw_name);
  } catch (...) {
  }
  return cached;
}

void QXProcessSetAppVersion(CFStringRef version) {
  try {
    // A copy: a mutable string changed later by the caller must not change the version behind
    // the cached number and build string.
    auto copy = qxcf::adopt(version ? CFStringCreateCopy(nullptr, version) : nullptr);
    if (version && !copy) return;
    auto derived = qxcf::adopt(copy ? createDerivedBuild(copy.get()) : nullptr);
    VersionState& state = versionState();
    std::lock_guard<std::mutex> guard(state.lock);
    state.retired.reserve(state.retired.size() + 2);
    state.retired.push_back(std::move(state.version));
    state.retired.push_back(std::move(state.derivedBuild));
    state.version = std::move(copy);
    state.derivedBuild = std::move(derived);
    state.bcd = 0;
  } catch (...) {
  }
}

void QXProcessSetBuildString(CFStringRef build) {
  try {
    auto copy = qxcf::adopt(build ? CFStringCreateCopy(nullptr, build) : nullptr);
    if (build && !copy) return;
    VersionState& state = versionState();
    std::lock_guard<std::mutex> guard(state.lock);
    state.retired.push_back(std::move(state.explicitBuild));
    state.explicitBuild = std::move(copy);
  } catch (...) {
  }
}

CFStringRef QXProcessGetAppVersion(void) {
  CFStringRef version;
  {
    VersionState& state = versionState();
    std::lock_guard<std::mutex> guard(state.lock);
    version = state.version.get();
  }
  if (!version) QXLogWithParams(1, CFSTR("QXProcessGetAppVersion"), 0, CFSTR("Version should not be NULL."));
  return version;
}

uint32_t QXProcessGetAppVersionBCD(void) {
  VersionState& state = versionState();
  {
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.bcd != 0) return state.bcd;
  }
  CFStringRef version = QXProcessGetAppVersion();
  uint64_t sum = 0;
  if (version) {
    auto parts = qxcf::adopt(CFStringCreateArrayBySeparatingStrings(nullptr, version, CFSTR(".")));
    CFIndex count = parts ? std::min<CFIndex>(CFArrayGetCount(parts.get()), 3) : 0;
    static const uint64_t kWeights[3] = {100, 10, 1};
    for (CFIndex i = 0; i < count; ++i) {
      auto part = static_cast<CFStringRef>(CFArrayGetValueAtIndex(parts.get(), i));
      long long value = 0;
      if (!readInteger(part, value)) {
        QXLogWithParams(1, CFSTR("QXProcessGetAppVersionBCD"), 0,
                        CFSTR("Could not convert '%@' to integer at index %d in version string '%@'."), part,
                        static_cast<int>(i), version);
        break;
      }
      sum += static_cast<uint64_t>(value) * kWeights[i];
    }
  }
  uint32_t result = static_cast<uint32_t>(std::min<uint64_t>(sum, UINT32_MAX));
  if (result == 0) {
    QXLogWithParams(1, CFSTR("QXProcessGetAppVersionBCD"), 0, CFSTR("Version should not be zero."));
    return 0;
  }
  std::lock_guard<std::mutex> guard(state.lock);
  // Cache only what belongs to the version still in place.
  if (state.version.get() == version) state.bcd = result;
  return result;
}

CFStringRef QXProcessGetBuildString(void) {
  VersionState& state = versionState();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.explicitBuild ? state.explicitBuild.get() : state.derivedBuild.get();
}

CFStringRef QXProcessGetCopyHWMachineModel(void) { return nullptr; }
uint32_t QXProcessGetPIDWithAppID(CFStringRef) { return 0; }
