// CBasePreferences: location, loading, and whole-file replacement on Synchronize.
#include <QXCore/QXLocale.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "cf/CFRef.h"
#include "tests/files/FileTestSupport.h"

using namespace filetest;
using qxcf::adopt;

namespace {

fs::path prefsFolder(const qxtest::TempHome& home) { return home.root() / ".local/share/Orvex Software"; }

CFRef<CFNumberRef> number(int32_t value) { return adopt(CFNumberCreate(nullptr, kCFNumberSInt32Type, &value)); }

// Python's plistlib reads the file and prints the given expression over its root `d`.
std::string plistlibEval(const fs::path& file, const std::string& expression) {
  std::string command = "python3 -c \"import plistlib,sys; d=plistlib.load(open(sys.argv[1],'rb')); print(" +
                        expression + ")\" '" + file.string() + "' 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "popen failed";
  std::string out;
  char buffer[256];
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  pclose(pipe);
  return out;
}

}  // namespace

TEST(Preferences, RoundTripCreatesFolderAndFileAndKeepsItsPermissions) {
  qxtest::TempHome home;
  fs::path folder = prefsFolder(home) / "Orvex Studio", file = folder / "Settings.plist";
  const mode_t mask = umask(022);
  CFRef<CFMutableDictionaryRef> window =
      adopt(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  CFDictionarySetValue(window.get(), CFSTR("Width"), number(1280).get());
  {
    CBasePreferences prefs;
    ASSERT_EQ(0, prefs.SetLocation(CFSTR("Orvex Studio"), CFSTR("Settings.plist")));
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(nullptr, prefs.CopyAppValue(CFSTR("Missing")));
    prefs.SetAppValue(CFSTR("Name"), CFSTR("Grüße"));
    prefs.SetAppValue(CFSTR("Count"), number(7).get());
    prefs.SetAppValue(CFSTR("Window"), window.get());
    prefs.SetAppValue(CFSTR("Dropped"), kCFBooleanTrue);
    prefs.SetAppValue(CFSTR("Dropped"), nullptr);  // removes the key
    ASSERT_EQ(0, prefs.Synchronize());
  }
  ASSERT_TRUE(fs::is_regular_file(file));
  EXPECT_EQ(std::vector<std::string>{"Settings.plist"}, Names(folder)) << "no temporary file may remain";
  EXPECT_EQ("Grüße 7 1280 False\n", plistlibEval(file, "d['Name'], d['Count'], d['Window']['Width'], 'Dropped' in d"));
  EXPECT_EQ(fs::perms(0644), fs::status(file).permissions()) << "a new file gets the umask's permissions";

  CBasePreferences again;
  ASSERT_EQ(0, again.SetLocationUrl(CFSTR("Orvex Studio"), CFSTR("Settings.plist")));
  for (const auto& [key, value] :
       {std::pair<CFStringRef, CFTypeRef>{CFSTR("Name"), CFSTR("Grüße")}, {CFSTR("Window"), window.get()}}) {
    CFRef<CFPropertyListRef> back = adopt(again.CopyAppValue(key));
    EXPECT_TRUE(back && CFEqual(back.get(), value)) << Str(key);
  }
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
  again.SetAppValue(CFSTR("Count"), number(8).get());
  ASSERT_EQ(0, again.Synchronize());
  umask(mask);
  EXPECT_EQ(fs::perms(0600), fs::status(file).permissions()) << "a rewrite must not widen a private file";
  EXPECT_EQ("8 Grüße\n", plistlibEval(file, "d['Count'], d['Name']"));

  // Without a folder name the file lies directly in the family's folder.
  CBasePreferences top;
  ASSERT_EQ(0, top.SetLocation(nullptr, CFSTR("Top.plist")));
  ASSERT_EQ(0, top.Synchronize());
  EXPECT_TRUE(fs::is_regular_file(prefsFolder(home) / "Top.plist"));
}

// A file that cannot be read gives empty values with status 0, and is kept aside rather than
// destroyed when the new values are written.
TEST(Preferences, UnreadableFileGivesEmptyValuesAndIsKept) {
  qxtest::TempHome home;
  fs::path folder = prefsFolder(home) / "App";
  // Garbage, an array root, a folder and a FIFO (never waited on) in place of the file.
  const std::pair<const char*, std::string> cases[] = {
      {"Garbage.plist", "\x01\x02 not a property list <plist"},
      {"Array.plist", "<plist version=\"1.0\"><array><string>x</string></array></plist>"},
      {"Folder.plist", "(folder)"},
      {"Fifo.plist", "(fifo)"}};
  for (const auto& [name, contents] : cases) {
    SCOPED_TRACE(name);
    fs::path file = folder / name, kept = folder / (std::string(name) + ".unreadable");
    if (contents == "(folder)")
      fs::create_directories(file / "inside");
    else if (contents == "(fifo)")
      ASSERT_EQ(0, mkfifo(file.c_str(), 0600));
    else
      Write(file, contents);
    CBasePreferences prefs;
    ASSERT_EQ(0, prefs.SetLocation(CFSTR("App"), CF(name).get()));
    EXPECT_EQ(nullptr, prefs.CopyAppValue(CFSTR("x")));
    prefs.SetAppValue(CFSTR("Fresh"), kCFBooleanTrue);
    ASSERT_EQ(0, prefs.Synchronize());
    EXPECT_EQ("True\n", plistlibEval(file, "d['Fresh']"));
    if (contents == "(folder)")
      EXPECT_TRUE(fs::is_directory(kept / "inside"));
    else if (contents == "(fifo)")
      EXPECT_EQ(fs::file_type::fifo, fs::symlink_status(kept).type());
    else
      EXPECT_EQ(contents, Read(kept));
    // Once replaced, the file is ours: a second write does not move it aside again.
    ASSERT_EQ(0, prefs.Synchronize());
    EXPECT_TRUE(fs::is_regular_file(file));
  }

  // A second unreadable file never replaces the first one kept: each gets the next name.
  for (const char* junk : {"junk one", "junk two"}) {
    Write(folder / "Garbage.plist", junk);
    CBasePreferences prefs;
    ASSERT_EQ(0, prefs.SetLocation(CFSTR("App"), CFSTR("Garbage.plist")));
    ASSERT_EQ(0, prefs.Synchronize());
  }
  EXPECT_EQ(ReadAll({folder / "Garbage.plist.unreadable", folder / "Garbage.plist.unreadable 1",
                     folder / "Garbage.plist.unreadable 2"}),
            cases[0].second + "|junk one|junk two");
}

TEST(Preferences, BadInputAndFailedWritesAreReported) {
  qxtest::TempHome home;
  CBasePreferences prefs;
  // No location yet; no name, names with a separator or "..", folders that would leave the family's.
  EXPECT_EQ(
      (Codes{prefs.Synchronize(), prefs.SetLocationUrl(CFSTR("App"), nullptr),
             prefs.SetLocationUrl(CFSTR("App"), CFSTR("a/b.plist")), prefs.SetLocationUrl(CFSTR("App"), CFSTR("..")),
             prefs.SetLocationUrl(CFSTR("../Escape"), CFSTR("p.plist")),
             prefs.SetLocationUrl(CFSTR("/etc"), CFSTR("p.plist"))}),
      Codes(6, kQXErrInvalidArgument));
  EXPECT_EQ(nullptr, prefs.GetFileURL());
  EXPECT_FALSE(fs::exists(home.root() / ".local/share/Escape"));

  // A file standing where the folder should be: the platform's status, nothing changes.
  Write(prefsFolder(home) / "Blocked", "file");
  EXPECT_NE(0, prefs.SetLocationUrl(CFSTR("Blocked"), CFSTR("p.plist")));
  EXPECT_EQ(nullptr, prefs.GetFileURL());

  // A value that is not a property list fails the write and leaves the existing file untouched.
  ASSERT_EQ(0, prefs.SetLocationUrl(CFSTR("App"), CFSTR("p.plist")));
  prefs.SetAppValue(CFSTR("Good"), CFSTR("yes"));
  ASSERT_EQ(0, prefs.Synchronize());
  fs::path file = prefsFolder(home) / "App/p.plist";
  std::string before = Read(file);
  prefs.SetAppValue(CFSTR("Bad"), Web().get());
  EXPECT_EQ(kQXErrGeneric, prefs.Synchronize());
  EXPECT_EQ(before, Read(file));
  prefs.SetAppValue(CFSTR("Bad"), nullptr);

  // The folder vanished after SetLocation: the write fails with its errno, not success.
  fs::remove_all(prefsFolder(home) / "App");
  EXPECT_EQ(ENOENT, prefs.Synchronize());
}
