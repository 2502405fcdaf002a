// Launching, killing and modules of the QXProcess family.
#include <QXCore/QXLog.h>
#include <QXCore/QXProcess.h>
#include <dlfcn.h>
#include <link.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "cf/CFRef.h"
#include "core/Spawn.h"
#include "files/CoreFileInternal.h"

extern char** environ;

namespace {

constexpr int kModuleOpenMode = RTLD_NOW | RTLD_LOCAL;

void logModuleError(CFStringRef source, const char* text) {
  QXLogWithParams(1, source, 0, CFSTR("%s"), text ? text : "unknown error");
}

// The UTF-8 bytes of a string (lossless for every string CF can hold).
bool utf8Of(CFStringRef string, std::string& out) {
  CFIndex length = CFStringGetLength(string);
  CFIndex size = 0;
  CFStringGetBytes(string, CFRangeMake(0, length), kCFStringEncodingUTF8, 0, false, nullptr, 0, &size);
  out.resize(static_cast<size_t>(size));
  CFIndex used = 0;
  CFIndex converted = CFStringGetBytes(string, CFRangeMake(0, length), kCFStringEncodingUTF8, 0, false,
                                       reinterpret_cast<UInt8*>(out.data()), size, &used);
  out.resize(static_cast<size_t>(used));
  return converted == length;
}

CFStringRef launchSource() { return CFSTR("QXProcessLaunchApplication2"); }

// The arguments as the child's argv entries, and the parameter string the log shows: the same
// elements separated by single spaces, each in double quotes unless the flag says otherwise.
// Elements that are neither strings nor URLs add only their separator. A URL without a path fails
// the launch (its status): dropping it would shift every later argument into another's place.
int32_t buildArguments(CFArrayRef arguments, uint32_t flags, std::vector<std::string>& argv,
                       CFMutableStringRef parameters) {
  CFIndex count = arguments ? CFArrayGetCount(arguments) : 0;
  bool quote = (flags & kQXProcessLaunchNoQuotes) == 0;
  for (CFIndex i = 0; i < count; ++i) {
    if (i > 0) CFStringAppend(parameters, CFSTR(" "));
    CFTypeRef element = CFArrayGetValueAtIndex(arguments, i);
    std::string text;
    if (element && CFGetTypeID(element) == CFStringGetTypeID()) {
      if (!utf8Of(static_cast<CFStringRef>(element), text)) continue;
    } else if (element && CFGetTypeID(element) == CFURLGetTypeID()) {
      if (int32_t status = qxfiles::PathFromURL(static_cast<CFURLRef>(element), text)) return status;
    } else {
      continue;
    }
    argv.push_back(text);
    // "%s" turns bytes that are not UTF-8 (possible in paths) into U+FFFD instead of failing.
    auto shown =
        qxcf::adopt(CFStringCreateWithFormat(nullptr, nullptr, quote ? CFSTR("\"%s\"") : CFSTR("%s"), text.c_str()));
    if (shown) CFStringAppend(parameters, shown.get());
  }
  return 0;
}

}  // namespace

// Waits for one child so that it leaves no zombie. Only that pid is waited for: the host's own
// children and its SIGCHLD handling are none of our business.
void qxcore::Reap(pid_t pid, CFStringRef source) {
  try {
    std::thread([pid] {
      int status = 0;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (...) {
    QXLogWithParams(1, source, 0, CFSTR("Could not start a thread to reap process %d"), static_cast<int>(pid));
  }
}

int qxcore::Spawn(const char* file, bool searchPath, const std::vector<std::string>& arguments, pid_t* pid) {
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  // The child starts with default signal dispositions and an empty mask, whatever the calling
  // thread had blocked or the host had ignored.
  posix_spawnattr_t attributes;
  if (int rc = posix_spawnattr_init(&attributes)) return rc;
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  int rc = searchPath ? posix_spawnp(pid, file, nullptr, &attributes, argv.data(), environ)
                      : posix_spawn(pid, file, nullptr, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  return rc;
}

QXStatus QXProcessLaunchApplication(CFURLRef url, CFArrayRef arguments) {
  return QXProcessLaunchApplication2(url, arguments, 1, nullptr);
}

namespace {

int32_t launch(CFURLRef url, CFArrayRef arguments, uint32_t flags, uint32_t* outPID) {
  if (!url) return kQXErrInvalidArgument;
  std::string path;
  if (int32_t status = qxfiles::PathFromURL(url, path)) return status;
  // Shortcuts are symbolic links here: start what the link points to.
  char resolved[PATH_MAX];
  if (!realpath(path.c_str(), resolved)) return errno;

  std::vector<std::string> argv;
  auto parameters = qxcf::adopt(CFStringCreateMutable(nullptr, 0));
  if (!parameters) return kQXErrMemory;
  struct stat info {};
  bool executable = stat(resolved, &info) == 0 && S_ISREG(info.st_mode) && access(resolved, X_OK) == 0;
  argv.emplace_back(executable ? resolved : "xdg-open");
  if (executable) {
    if (int32_t status = buildArguments(arguments, flags, argv, parameters.get())) return status;
  } else {
    // A document or folder goes to the desktop's handler, which takes only the path.
    std::vector<std::string> ignored;
    if (int32_t status = buildArguments(arguments, flags, ignored, parameters.get())) return status;
    argv.emplace_back(resolved);
  }
  QXLogWithParams(4, launchSource(), 0, CFSTR("open \"%s\" %@"), resolved, parameters.get());

  pid_t pid = 0;
  if (int rc = qxcore::Spawn(argv[0].c_str(), !executable, argv, &pid)) return rc;
  qxcore::Reap(pid, launchSource());
  if (outPID) *outPID = static_cast<uint32_t>(pid);
  return 0;
}

}  // namespace

QXStatus QXProcessLaunchApplication2(CFURLRef url, CFArrayRef arguments, uint32_t flags, uint32_t* outPID) {
  if (outPID) *outPID = 0;
  int32_t status;
  try {
    status = launch(url, arguments, flags, outPID);
  } catch (...) {
    status = kQXErrMemory;
  }
  if (status != 0) QXLogWithParams(1, launchSource(), 0, CFSTR("::ShellExecuteEx error code: %d"), status);
  return status;
}

QXStatus QXProcessKill(uint32_t pid) {
  // 0 and "negative" ids would signal whole process groups (or every process): never do that.
  if (pid == 0 || pid > static_cast<uint32_t>(INT_MAX)) return 0;
  kill(static_cast<pid_t>(pid), SIGKILL);
  return 0;
}

CFURLRef QXProcessCreateCurrentProcessPath(void) {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path);
  if (length <= 0 || length >= static_cast<ssize_t>(sizeof path)) return nullptr;
  return CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(path), length, false);
}

QXStatus QXProcessLoadDylib(CFURLRef url, void** outModule) {
  if (!outModule) return kQXErrInvalidArgument;
  *outModule = nullptr;
  if (!url) return kQXErrInvalidArgument;
  std::string path;
  int32_t status;
  try {
    status = qxfiles::PathFromURL(url, path);
  } catch (...) {
    status = kQXErrMemory;
  }
  if (status != 0) {
    logModuleError(CFSTR("QXProcessLoadDylib"),
                   status == kQXErrMemory ? "out of memory" : "URL has no file-system path");
    return kQXErrGeneric;
  }
  void* module = dlopen(path.c_str(), kModuleOpenMode);
  if (!module) {
    logModuleError(CFSTR("QXProcessLoadDylib"), dlerror());
    return kQXErrGeneric;
  }
  *outModule = module;
  return 0;
}

QXStatus QXProcessLoadFramework(CFURLRef url, void** outModule) { return QXProcessLoadDylib(url, outModule); }

QXStatus QXProcessUnloadDylib(void* module) {
  if (module) dlclose(module);
  return 0;
}

QXStatus QXProcessGetDylibFunctionPointForName(void* module, CFStringRef name, void** outFunction) {
  if (!outFunction) return kQXErrInvalidArgument;
  *outFunction = nullptr;
  if (!module || !name) return kQXErrInvalidArgument;
  char symbol[256];
  if (!CFStringGetCString(name, symbol, sizeof symbol, kCFStringEncodingASCII)) {
    logModuleError(CFSTR("QXProcessGetDylibFunctionPointForName"), "name is not ASCII or longer than 255 characters");
    return kQXErrGeneric;
  }
  dlerror();
  void* function = dlsym(module, symbol);
  if (!function) {
    const char* error = dlerror();
    logModuleError(CFSTR("QXProcessGetDylibFunctionPointForName"), error ? error : "symbol is null");
    return kQXErrGeneric;
  }
  *outFunction = function;
  return 0;
}

QXStatus QXProcessGetFunctionPointForName(void* module, CFStringRef name, void** outFunction) {
  return QXProcessGetDylibFunctionPointForName(module, name, outFunction);
}

QXStatus QXProcessOpenFrameworkAgain(void* module, void** outModule) {
  if (!outModule) return kQXErrInvalidArgument;
  *outModule = nullptr;
  if (!module) return kQXErrInvalidArgument;
  link_map* map = nullptr;
  if (dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || !map) {
    logModuleError(CFSTR("QXProcessOpenFrameworkAgain"), dlerror());
    return kQXErrGeneric;
  }
  // The main programme's entry has an empty name; dlopen(NULL) is its handle.
  const char* file = map->l_name && map->l_name[0] ? map->l_name : nullptr;
  void* again = dlopen(file, kModuleOpenMode);
  if (!again) {
    logModuleError(CFSTR("QXProcessOpenFrameworkAgain"), dlerror());
    return kQXErrGeneric;
  }
  *outModule = again;
  return 0;
}
