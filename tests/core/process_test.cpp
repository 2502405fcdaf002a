// Launching, killing, modules, facts and the application version of the QXProcess family.
#include <QXCore/QXLog.h>
#include <QXCore/QXProcess.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "cf/CFRef.h"
#include "tests/core/CoreTestSupport.h"
#include "tests/files/FileTestSupport.h"
#include "tests/log/LogCapture.h"

namespace fs = std::filesystem;
using qxcf::adopt;

namespace {

using filetest::Array;
using filetest::CF;
using filetest::Read;
using filetest::URL;
using qxtest::LogCapture;
using qxtest::utf8;
using qxtest::webURLOf;

void writeScript(const fs::path& path, const std::string& body) {
  std::ofstream(path) << "#!/bin/sh\n" << body;
  fs::permissions(path, fs::perms::owner_all);
}

// The status and *outPID of a launch; *outPID starts at a value no pid has, so that a failure must
// clear it and a success must set it.
constexpr uint32_t kStale = UINT32_MAX;
using Launch = std::pair<int32_t, uint32_t>;
Launch launch(CFURLRef url, CFArrayRef arguments = nullptr, uint32_t flags = 0) {
  uint32_t pid = kStale;
  int32_t status = QXProcessLaunchApplication2(url, arguments, flags, &pid);
  return {status, pid};
}

// A child that has been reaped has no /proc entry left; a zombie still has one.
bool reaped(uint32_t pid) {
  return qxtest::waitUntil([pid] { return !fs::exists("/proc/" + std::to_string(pid)); });
}

// Launches, then waits for the child to leave `out` complete and to be reaped; returns what it wrote.
std::string runToFile(CFURLRef url, CFArrayRef arguments, const fs::path& out, uint32_t flags = 0) {
  fs::remove(out);
  auto [status, pid] = launch(url, arguments, flags);
  EXPECT_EQ(0, status);
  EXPECT_TRUE(pid > 0 && pid != kStale) << pid;
  if (status != 0 || !qxtest::waitUntil([&] { return fs::exists(out); })) return "<nothing>";
  EXPECT_TRUE(reaped(pid)) << "the finished child was left a zombie";
  return Read(out);
}

// Writes each argument on a line of its own into the file named by its first argument; the
// file appears complete (renamed into place) once the script has finished.
constexpr const char* kEchoScript =
    "out=\"$1\"; shift\nfor a; do printf '[%s]\\n' \"$a\"; done > \"$out.tmp\"\nmv \"$out.tmp\" \"$out\"\n";

// One private home for the whole process: the library caches some folders for the life of the
// process, so a second home would not be seen anyway.
fs::path folder(const char* name) {
  static qxtest::TempHome home;
  fs::create_directories(home.root() / name);
  return home.root() / name;
}

std::string launchError(int32_t status) {
  return "QXProcessLaunchApplication2 - ::ShellExecuteEx error code: " + std::to_string(status);
}

}  // namespace

TEST(ProcessTest, LaunchPassesEachArgumentAsOneArgvEntry) {
  fs::path root = folder("launch");
  LogCapture log;
  fs::path script = root / "echo args.sh";
  writeScript(script, kEchoScript);
  fs::path out = root / "out.txt";
  auto outArg = CF(out.string());
  auto spaced = CF("two words");
  auto number = adopt(CFNumberCreate(nullptr, kCFNumberSInt32Type, &(const int&)7));
  auto arguments = Array({outArg.get(), spaced.get(), CF("say \"hi\" it's").get(), number.get(), CF("café").get(),
                          URL(root / "a folder/x y.txt").get()});

  // Started through a symbolic link, as a shortcut would be.
  fs::path link = root / "shortcut";
  fs::create_symlink(script, link);
  auto url = URL(link);
  // A number is not an argument; everything else arrives verbatim, one entry each.
  EXPECT_EQ("[two words]\n[say \"hi\" it's]\n[café]\n[" + (root / "a folder/x y.txt").string() + "]\n",
            runToFile(url.get(), arguments.get(), out));

  // The logged parameter string quotes each element and keeps a separator for the number.
  std::string expected = "open \"" + fs::canonical(script).string() + "\" \"" + out.string() +
                         "\" \"two words\" \"say \"hi\" it's\"  \"café\" \"" + (root / "a folder/x y.txt").string() +
                         "\"";
  EXPECT_TRUE(log.contains(expected)) << expected;

  // With 0x100000 the elements are not quoted; the child sees the same arguments.
  log.clear();
  EXPECT_EQ("[two words]\n",
            runToFile(url.get(), Array({outArg.get(), spaced.get()}).get(), out, kQXProcessLaunchNoQuotes));
  EXPECT_TRUE(log.contains("\" " + out.string() + " two words"));
}

TEST(ProcessTest, DocumentsGoToXdgOpenAndFailuresAreLogged) {
  fs::path root = folder("documents");
  LogCapture log;
  std::string savedPath = getenv("PATH") ? getenv("PATH") : "";
  // A stand-in for the desktop's opener, found through PATH like the real one.
  fs::path bin = root / "bin", record = root / "opened.txt";
  fs::create_directories(bin);
  writeScript(bin / "xdg-open", "printf '%s\\n' \"$@\" > \"" + record.string() + ".tmp\"\n/bin/mv \"" +
                                    record.string() + ".tmp\" \"" + record.string() + "\"\n");
  fs::path document = root / "photo.jpg";
  std::ofstream(document) << "not really";
  auto url = URL(document);

  setenv("PATH", bin.c_str(), 1);
  EXPECT_EQ(document.string() + "\n", runToFile(url.get(), Array({CF("ignored").get()}).get(), record));

  // No opener at all: the spawn error is the status and is logged at level 1.
  setenv("PATH", (root / "empty").c_str(), 1);
  log.clear();
  int32_t status = QXProcessLaunchApplication(url.get(), nullptr);
  setenv("PATH", savedPath.c_str(), 1);
  EXPECT_EQ(ENOENT, status);
  EXPECT_TRUE(log.contains(launchError(ENOENT)));

  // A missing file and missing arguments: every failure is logged, and *outPID says no child.
  log.clear();
  EXPECT_EQ(launch(URL(root / "nothing here").get()), Launch(ENOENT, 0));
  EXPECT_TRUE(log.contains(launchError(ENOENT)));
  EXPECT_EQ(launch(nullptr), Launch(kQXErrInvalidArgument, 0));
  EXPECT_TRUE(log.contains(launchError(kQXErrInvalidArgument)));

  // Only file URLs have a path: an http(s) URL whose path names a real executable starts nothing,
  // and neither does a launch with a URL argument that has no path.
  fs::path marker = root / "started", program = root / "program.sh";
  writeScript(program, "touch \"" + marker.string() + "\"\n");
  log.clear();
  EXPECT_EQ(launch(webURLOf(program, "https://localhost").get()), Launch(kQXErrGeneric, 0));
  EXPECT_TRUE(log.contains(launchError(kQXErrGeneric)));
  EXPECT_EQ(launch(URL(program).get(), Array({webURLOf(document).get()}).get()), Launch(kQXErrGeneric, 0));
  // A started child would have made the marker by now (the first launch above shows how fast).
  usleep(200000);
  EXPECT_FALSE(fs::exists(marker));
  // The same program through a file URL does start, so the refusals above were about the scheme.
  EXPECT_EQ("", runToFile(URL(program).get(), nullptr, marker));
}

TEST(ProcessTest, KillEndsTheProcessAndIgnoresWhatItCannotSignal) {
  auto [status, pid] = launch(URL("/bin/sleep").get(), Array({CF("30").get()}).get());
  ASSERT_EQ(0, status);
  ASSERT_TRUE(fs::exists("/proc/" + std::to_string(pid)));
  EXPECT_EQ(0, QXProcessKill(pid));
  EXPECT_TRUE(reaped(pid));
  // Gone, process-group and all-process ids: nothing happens (the test process survives).
  for (uint32_t id : {pid, 0u, UINT32_MAX, static_cast<uint32_t>(-static_cast<int32_t>(getpgrp()))}) {
    EXPECT_EQ(0, QXProcessKill(id)) << id;
  }
}

TEST(ProcessTest, ModulesLoadLookUpAndFail) {
  LogCapture log;
  Dl_info info{};
  double (*cosine)(double) = std::cos;
  ASSERT_NE(0, dladdr(reinterpret_cast<void*>(cosine), &info));
  void* module = nullptr;
  ASSERT_EQ(0, QXProcessLoadDylib(URL(info.dli_fname).get(), &module));
  ASSERT_NE(nullptr, module);

  void* function = nullptr;
  ASSERT_EQ(0, QXProcessGetDylibFunctionPointForName(module, CFSTR("cos"), &function));
  EXPECT_EQ(1.0, reinterpret_cast<double (*)(double)>(function)(0.0));
  void* const cosine2 = function;
  EXPECT_EQ(kQXErrGeneric, QXProcessGetFunctionPointForName(module, CFSTR("no_such_symbol_here"), &function));
  EXPECT_EQ(nullptr, function);
  EXPECT_TRUE(log.contains("no_such_symbol_here"));  // the dlerror text
  EXPECT_EQ(kQXErrGeneric, QXProcessGetDylibFunctionPointForName(module, CF(std::string(300, 'x')).get(), &function));

  // Opening the module's own file again gives a handle to the same library.
  void* again = nullptr;
  ASSERT_EQ(0, QXProcessOpenFrameworkAgain(module, &again));
  ASSERT_EQ(0, QXProcessGetDylibFunctionPointForName(again, CFSTR("cos"), &function));
  EXPECT_EQ(cosine2, function);
  for (void* handle : {again, module, static_cast<void*>(nullptr)}) EXPECT_EQ(0, QXProcessUnloadDylib(handle));

  // A missing library, and an http URL whose path is a real library, load nothing.
  log.clear();
  module = reinterpret_cast<void*>(1);
  EXPECT_EQ(kQXErrGeneric, QXProcessLoadFramework(URL("/nonexistent/libnothing.so").get(), &module));
  EXPECT_EQ(nullptr, module);
  EXPECT_TRUE(log.contains("QXProcessLoadDylib - /nonexistent/libnothing.so"));
  EXPECT_EQ(kQXErrInvalidArgument, QXProcessLoadDylib(nullptr, &module));
  module = reinterpret_cast<void*>(1);
  EXPECT_EQ(kQXErrGeneric, QXProcessLoadDylib(webURLOf(info.dli_fname).get(), &module));
  EXPECT_EQ(nullptr, module);
  EXPECT_TRUE(log.contains("QXProcessLoadDylib - URL has no file-system path"));
}

TEST(ProcessTest, FactsAboutTheMachineAndTheProcess) {
  const int32_t physical = QXProcessGetNumPhysicalProcessors();
  EXPECT_TRUE(physical >= 1 && physical <= QXProcessGetNumProcessors()) << physical;
  const uint64_t memory = QXProcessGetPhysicalMem(), pageSize = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  EXPECT_TRUE(memory > 0 && memory <= static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) * pageSize) << memory;

  auto pids = adopt(QXProcessGetPIDSCopy());
  ASSERT_TRUE(pids);
  for (int32_t pid : {getpid(), getppid()})
    EXPECT_TRUE(CFSetContainsValue(pids.get(), adopt(CFNumberCreate(nullptr, kCFNumberSInt32Type, &pid)).get())) << pid;

  // The command line without the programme, as the process received it.
  auto arguments = adopt(QXProcessGetCmdLineCopy());
  ASSERT_TRUE(arguments);
  std::vector<std::string> expected = testing::internal::GetArgvs(), actual;
  for (CFIndex i = 0; i < CFArrayGetCount(arguments.get()); ++i)
    actual.push_back(utf8(static_cast<CFStringRef>(CFArrayGetValueAtIndex(arguments.get(), i))));
  EXPECT_EQ(std::vector<std::string>(expected.begin() + 1, expected.end()), actual);

  EXPECT_EQ(fs::read_symlink("/proc/self/exe").string(), filetest::Own(QXProcessCreateCurrentProcessPath()));
  if (passwd* entry = getpwuid(getuid())) {
    EXPECT_EQ(entry->pw_name, utf8(QXProcessGetUserName()));
  }
  EXPECT_EQ(static_cast<uint32_t>(getpid()), QXProcessGetPID());
  void* memoryBlock = QXProcessAllocateVirtualMemory(4096);
  ASSERT_NE(nullptr, memoryBlock);
  QXProcessFreeVirtualMemory(memoryBlock);
}

// The version as the host set it, its numeric form and the build string.
using Version = std::tuple<std::string, uint32_t, std::string>;
Version version() {
  return {utf8(QXProcessGetAppVersion()), QXProcessGetAppVersionBCD(), utf8(QXProcessGetBuildString())};
}

// The version state is process-wide, so its whole story is one test.
TEST(ProcessTest, AppVersionFromTheHostAndItsNumericForm) {
  LogCapture log;
  EXPECT_EQ(version(), Version("(null)", 0, "(null)"));
  EXPECT_TRUE(log.contains("QXProcessGetAppVersion - Version should not be NULL."));
  EXPECT_TRUE(log.contains("QXProcessGetAppVersionBCD - Version should not be zero."));

  QXProcessSetAppVersion(CFSTR("9.5.1"));
  CFStringRef first = QXProcessGetAppVersion();
  // A new version replaces every cached form. Only the first three parts count, and a part that is no integer
  // stops the sum there. The setter keeps a copy: the caller changing or releasing its string changes nothing.
  const Version rows[] = {{"9.5.1", 951, "9.5.1.0"},
                          {"9.5", 950, "9.5.0.0"},
                          {"10.2.3.4", 1023, "10.2.3.4"},
                          {"9.x.7", 900, "9.0.7.0"},
                          {"0.0", 0, "0.0.0.0"}};
  log.clear();
  for (const auto& row : rows) {
    auto text = adopt(CFStringCreateMutableCopy(nullptr, 0, CF(std::get<0>(row)).get()));
    QXProcessSetAppVersion(text.get());
    CFStringReplaceAll(text.get(), CFSTR("8.0"));
    text.reset();
    EXPECT_EQ(version(), row);
    EXPECT_EQ(std::get<1>(row), QXProcessGetAppVersionBCD());  // cached after the first call
  }
  EXPECT_TRUE(log.contains(
      "QXProcessGetAppVersionBCD - Could not convert 'x' to integer at index 1 in version string '9.x.7'."));
  EXPECT_TRUE(log.contains("QXProcessGetAppVersionBCD - Version should not be zero."));  // from "0.0"
  EXPECT_EQ("9.5.1", utf8(first));  // strings handed out before stay valid

  // An explicit build string (a copy too) wins until it is cleared.
  auto build = adopt(CFStringCreateMutable(nullptr, 0));
  CFStringAppend(build.get(), CFSTR("7.1.2.99"));
  QXProcessSetBuildString(build.get());
  CFStringAppend(build.get(), CFSTR("-changed"));
  EXPECT_EQ("7.1.2.99", utf8(QXProcessGetBuildString()));
  QXProcessSetBuildString(nullptr);
  EXPECT_EQ("0.0.0.0", utf8(QXProcessGetBuildString()));
}
