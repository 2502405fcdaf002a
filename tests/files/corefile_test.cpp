// The file manager against real files in a private HOME.
#include <QXCore/QXFileMgr.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/statvfs.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "tests/files/FileTestSupport.h"

using namespace filetest;

namespace {

class CoreFile : public ::testing::Test {
 protected:
  qxtest::TempHome home;
  fs::path root = home.root();

  // The folder of a folder type as a path; "" on failure (the status is checked too).
  std::string Folder(int32_t type, CFStringRef partial = nullptr, void* module = nullptr) {
    CFURLRef url = nullptr;
    EXPECT_EQ(QXFileMgrGetFolderPathCopy(module, type, partial, &url), 0) << "type " << type;
    return url ? Own(url) : "";
  }
};

TEST_F(CoreFile, FolderTypesFollowTheXDGFolders) {
  const fs::path data = root / ".local/share", exe = fs::read_symlink("/proc/self/exe").parent_path();
  for (const auto& [type, path] : std::vector<std::pair<int32_t, fs::path>>{
           {0, data}, {2, data}, {99, data}, {12, root / "tmp"}, {8, "/opt"}, {9, "/opt"}, {11, "/usr/lib"}, {6, exe}})
    EXPECT_EQ(Folder(type), path.string()) << "type " << type;
  EXPECT_EQ(Folder(1), (root / "shared").string());
  EXPECT_TRUE(fs::is_directory(data) && fs::is_directory(root / "shared"));
  EXPECT_EQ(fs::status(data).permissions() & fs::perms::all, fs::perms::owner_all);
  // The partial path is appended but not created.
  EXPECT_EQ(Folder(4, CFSTR("Orvex Software//App/")), (data / "Orvex Software/App").string());
  EXPECT_FALSE(fs::exists(data / "Orvex Software"));
  unsetenv("QX_SHARED_DATA_DIR");
  fs::create_directories(root / "usr/share");
  setenv("XDG_DATA_DIRS", ("relative:/nonexistent-qx:" + (root / "usr/share").string()).c_str(), 1);
  EXPECT_EQ(Folder(1), (root / "usr/share").string());

  // Pictures from user-dirs.dirs (with $HOME and an escaped quote), documents by default.
  Write(root / ".config/user-dirs.dirs",
        "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
        "  XDG_PICTURES_DIR=\"$HOME/My \\\"Pics\\\"\"\n");
  EXPECT_EQ(Folder(3), (root / "My \"Pics\"").string());
  EXPECT_EQ(Folder(5), (root / "Documents").string());
  EXPECT_TRUE(fs::is_directory(root / "My \"Pics\"") && fs::is_directory(root / "Documents"));
  Write(root / ".config/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"" + (root / "docs").string() + "\"\n");
  EXPECT_EQ(Folder(5), (root / "docs").string());

  CFURLRef url = reinterpret_cast<CFURLRef>(1);
  EXPECT_EQ(PathOr(QXFileMgrGetResourceURLCopy(CFSTR("strings"), CFSTR("plist"), CFSTR("Res/en"), &url), &url),
            (exe / "Res/en/strings.plist").string());
  // A module handle gives the folder its library was loaded from.
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&QXFileMgrGetFolderPathCopy), &info), 0);
  void* module = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(fs::path(Folder(13, nullptr, module)), fs::path(info.dli_fname).parent_path());
  dlclose(module);

  // A relative XDG_DATA_HOME is not valid and is ignored; an impossible folder gives its errno.
  setenv("XDG_DATA_HOME", "relative/data", 1);
  EXPECT_EQ(Folder(0), data.string());
  Write(root / "blocker", "x");
  setenv("XDG_DATA_HOME", (root / "blocker/data").c_str(), 1);
  url = reinterpret_cast<CFURLRef>(1);
  EXPECT_EQ(PathOr(QXFileMgrGetFolderPathCopy(nullptr, 0, nullptr, &url), &url), Status(ENOTDIR));
}

TEST_F(CoreFile, PathsAndURLsWithoutAPath) {
  const fs::path odd = root / "Ünïcode folder" / "a b%20.txt";
  Write(odd, "x");
  CFRef<CFURLRef> url = URL(odd);
  CFRef<CFStringRef> path = qxcf::adopt(QXFileMgrGetFileSystemRepresentationCopy(url.get()));
  EXPECT_EQ(Str(path.get()), odd.string());
  EXPECT_TRUE(
      CFEqual(CFRef<CFURLRef>::adopt(QXFileMgrCreateFileSystemRepresentation(path.get(), false)).get(), url.get()));
  char* utf8 = QXFileMgrGetFileSystemRepresentationUTF8Copy(url.get());
  EXPECT_STREQ(utf8, odd.c_str());
  free(utf8);
  UniChar* chars = QXFileMgrGetFileSystemRepresentationUnicharCopy(url.get());
  const CFIndex count = CFStringGetLength(path.get());
  ASSERT_TRUE(chars && chars[count] == 0);
  CFRef<CFURLRef> fromChars = qxcf::adopt(QXFileMgrCreateFileSystemRepresentationFromUnichar(chars, count, false));
  EXPECT_TRUE(CFEqual(fromChars.get(), url.get()));
  free(chars);
  EXPECT_EQ(Own(QXFileMgrCreateCopyReplacingLastPathComponent(url.get(), CFSTR("c"), false)),
            (odd.parent_path() / "c").string());
  fs::create_symlink(root / "missing", root / "dangling");
  EXPECT_TRUE(QXFileMgrPathExists(url.get()) && QXFileMgrPathExists(URL(root / "dangling").get()));
  EXPECT_TRUE(!QXFileMgrIsDir(url.get()) && QXFileMgrIsDir(URL(odd.parent_path()).get()));

  // An http URL has a path component but no file-system path: each function's documented result.
  CFRef<CFURLRef> web = Web();
  CFArrayRef contents = nullptr, paths = nullptr;
  EXPECT_EQ(QXFileMgrGetFileSystemRepresentationCopy(web.get()), nullptr);
  EXPECT_EQ(QXFileMgrGetFileSystemRepresentationUTF8Copy(web.get()), nullptr);
  EXPECT_FALSE(QXFileMgrPathExists(web.get()) || QXFileMgrIsDir(web.get()));
  EXPECT_TRUE(QXFileMgrCanRecycleItem(web.get()));
  EXPECT_EQ((Codes{QXFileMgrCreateDirectory(web.get()), QXFileMgrDeleteFile(web.get()),
                   QXFileMgrMoveFile(web.get(), url.get()), QXFileMgrCopyFile(url.get(), web.get()),
                   QXFileMgrDeleteFolder(web.get()), QXFileMgrGetFolderContentsCopy(web.get(), nullptr, 1, &contents),
                   QXFileMgrGetFolderPathsCopy(web.get(), nullptr, 1, &paths), QXFileMgrCreateDirectory(nullptr)}),
            (Codes{kQXErrGeneric, 0, kQXErrGeneric, kQXErrGeneric, kQXErrGeneric, 0, 0, 0}));
  EXPECT_EQ(Count(contents) + Count(paths), 0);

  // Paths beyond PATH_MAX: ENAMETOOLONG, never a shorter path.
  std::string longPath = root.string();
  while (longPath.size() <= PATH_MAX) longPath += "/abcdefghijklmnopqrstuvwxyz";
  CFRef<CFURLRef> tooLong = URL(longPath);
  EXPECT_EQ(
      (Codes{QXFileMgrCreateDirectory(tooLong.get()), QXFileMgrCopyFile(url.get(), tooLong.get()),
             QXFileMgrDeleteFile(tooLong.get()), QXFileMgrGetFolderContentsCopy(tooLong.get(), nullptr, 1, &contents)}),
      Codes(4, ENAMETOOLONG));
  EXPECT_EQ(Count(contents), 0);
  EXPECT_FALSE(QXFileMgrPathExists(tooLong.get()));
  EXPECT_EQ(QXFileMgrGetFileSystemRepresentationCopy(tooLong.get()), nullptr);
}

TEST_F(CoreFile, UniqueNamesLegalNamesExtensionsAndSidecars) {
  const fs::path dir = root / "pics";
  CFRef<CFURLRef> folder = URL(dir, true);
  auto unique = [&](const char* name, bool hasExtension, CFStringRef suffix, CFArrayRef excluded = nullptr) {
    CFURLRef url = QXFileMgrCreateUniquePathName(folder.get(), CF(name).get(), hasExtension, suffix, excluded);
    return url ? fs::path(Own(url)).filename().string() : std::string("(null)");
  };
  fs::create_directories(dir);
  EXPECT_EQ(unique("Photo.jpg", true, nullptr), "Photo.jpg");
  EXPECT_EQ(unique("Photo.jpg", true, CFSTR("")), "Photo 1.jpg");
  EXPECT_EQ(unique("Photo.jpg", true, CFSTR("copy")), "Photo copy.jpg");
  for (const char* name : {"Photo.jpg", "Photo 1.jpg", "Archive.tar.gz"}) Write(dir / name, "");
  fs::create_directory(dir / "Photo copy.jpg");  // a folder blocks a name as well as a file
  // Excluded URLs are skipped although nothing exists there; names that would leave the folder
  // or name it are refused.
  CFRef<CFArrayRef> excluded = Array({URL(dir / "Photo 2.jpg").get(), URL(dir / "Photo 3.jpg").get()});
  const std::tuple<const char*, bool, CFStringRef, CFArrayRef, const char*> cases[] = {
      {"Photo.jpg", true, nullptr, nullptr, "Photo 2.jpg"},
      {"Photo.jpg", true, CFSTR(""), nullptr, "Photo 2.jpg"},
      {"Photo.jpg", true, CFSTR("copy"), nullptr, "Photo copy1.jpg"},
      {"Photo.jpg", false, nullptr, nullptr, "Photo.jpg 1"},
      {"Archive.tar.gz", true, nullptr, nullptr, "Archive.tar 1.gz"},
      {"Photo.jpg", true, nullptr, excluded.get(), "Photo 4.jpg"},
      {"../Photo.jpg", true, nullptr, nullptr, "(null)"},
      {"..", false, nullptr, nullptr, "(null)"},
      {"", true, nullptr, nullptr, "(null)"},
  };
  for (const auto& [name, hasExtension, suffix, excluding, expected] : cases)
    EXPECT_EQ(unique(name, hasExtension, suffix, excluding), expected) << name << " " << Str(suffix);
  CFURLRef out = nullptr;
  EXPECT_EQ(PathOr(QXFileMgrCreateUniqueFileNameTemp(folder.get(), CFSTR("Photo.jpg"), nullptr, &out), &out),
            (dir / "Photo 2.jpg").string());
  EXPECT_EQ(PathOr(QXFileMgrCreateUniqueFileNameTemp(folder.get(), CFSTR("a/b"), nullptr, &out), &out),
            Status(kQXErrGeneric));

  const std::pair<std::string, const char*> legal[] = {
      {"a:b*c?..", "a b c "},
      {"\"*/:<>?\\|", "         "},
      {"../etc/passwd", ".. etc passwd"},
      {"..", ""},
      {".", ""},
      {".hidden. name .", ".hidden. name "},
      {{'a', 0, 'b'}, "a b"},
  };
  for (const auto& [name, expected] : legal) {
    CFRef<CFStringRef> input =
        qxcf::adopt(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(name.data()),
                                            static_cast<CFIndex>(name.size()), kCFStringEncodingUTF8, false));
    EXPECT_EQ(Own(QXFileMgrCreateLegalFileName(input.get())), expected) << name;
  }

  EXPECT_EQ(Own(QXFileMgrGetNormalizedExtNameCopy(CFSTR("IMG.Final.JPG"))), "jpg");
  EXPECT_EQ(Own(QXFileMgrGetNormalizedExtNameCopy(CFSTR("README"))), "");
  EXPECT_EQ(Own(QXFileMgrGetNormalizedExtCopy(URL(root / "x/IMG.TiF").get())), "tif");
  EXPECT_EQ(QXFileMgrGetNormalizedExtCopy(URL(root / "x.d/README").get()), nullptr);
  EXPECT_EQ(Own(QXFileMgrGetFileNameNoExtCopy(URL(root / "a.b.c").get())), "a.b");
  CFRef<CFMutableStringRef> name = qxcf::adopt(CFStringCreateMutableCopy(nullptr, 0, CFSTR("a.b.c")));
  QXFileMgrStripFileExt(name.get());
  EXPECT_EQ(Str(name.get()), "a.b");
  QXFileMgrStripFileExt(name.get());
  QXFileMgrStripFileExt(name.get());
  EXPECT_EQ(Str(name.get()), "a");

  // A "." in a folder name is not an extension.
  for (const auto& [image, sidecar] : {std::pair{"IMG_1.CR2", "IMG_1.xmp"}, {"my.photos/IMG", "my.photos/IMG.xmp"}})
    EXPECT_EQ(PathOr(QXFileMgrCreateSidecarPathForImage(URL(root / image).get(), &out), &out),
              (root / sidecar).string());
}

TEST_F(CoreFile, CreateAndDeleteFoldersNeverEscapeThroughLinks) {
  const fs::path deep = root / "a/b/c";
  Write(root / "file", "x");
  EXPECT_EQ((Codes{QXFileMgrCreateDirectory(URL(deep, true).get()), QXFileMgrCreateDirectory(URL(deep).get()),
                   QXFileMgrCreateDirectory(URL(root / "file/sub").get())}),
            (Codes{0, 0, ENOTDIR}));
  EXPECT_TRUE(fs::is_directory(deep));

  // Outside the folder: a folder and a file that links inside point to.
  const fs::path outside = root / "outside", doomed = root / "doomed";
  const std::vector<std::string> kept{"keep.txt", "sub"};
  Write(outside / "keep.txt", "precious");
  Write(outside / "sub/deeper.txt", "precious too");
  Write(doomed / "x/y/z.txt", "gone");
  fs::create_directory_symlink(outside, doomed / "linkdir");
  fs::create_directory_symlink(outside, doomed / "x/y/linkdir");
  fs::create_symlink(outside / "keep.txt", doomed / "x/linkfile");
  fs::create_symlink(doomed / "nowhere", doomed / "dangling");
  fs::permissions(doomed / "x/y", fs::perms::owner_all);
  EXPECT_EQ(QXFileMgrDeleteFolder(URL(doomed, true).get()), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(doomed)));
  EXPECT_EQ(Read(outside / "keep.txt") + Read(outside / "sub/deeper.txt"), "preciousprecious too");

  // A link given itself is removed as a link.
  fs::create_directory_symlink(outside, root / "alias");
  EXPECT_EQ(QXFileMgrDeleteFolder(URL(root / "alias").get()), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(root / "alias")));
  EXPECT_EQ(Names(outside), kept);

  // A path ending in "." or ".." names the folder a link inside it points to: refused, and
  // nothing outside is touched.
  fs::create_directories(root / "in");
  fs::create_directory_symlink("../outside", root / "in/link");
  for (const char* tail : {"in/link/.", "in/link/sub/..", "in/link/./", "in/.."}) {
    SCOPED_TRACE(tail);
    EXPECT_EQ(QXFileMgrDeleteFolder(URL(root.string() + "/" + tail).get()), EINVAL);
    EXPECT_EQ(Names(outside), kept);
    EXPECT_TRUE(fs::is_symlink(root / "in/link"));
  }
  // A link given with a trailing slash is still only the link.
  EXPECT_EQ(QXFileMgrDeleteFolder(URL(root.string() + "/in/link/").get()), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(root / "in/link")));
  EXPECT_EQ(Read(outside / "sub/deeper.txt"), "precious too");

  EXPECT_EQ((Codes{QXFileMgrDeleteFolder(URL(root / "missing").get()), QXFileMgrDeleteFile(URL(root / "missing").get()),
                   QXFileMgrDeleteFile(URL(outside).get()), QXFileMgrDeleteFile(URL(outside / "keep.txt").get())}),
            (Codes{ENOENT, ENOENT, EISDIR, 0}));
  EXPECT_FALSE(fs::exists(outside / "keep.txt"));
}

TEST_F(CoreFile, CopyMoveAndReplaceKeepDataAndTimes) {
  const fs::path source = root / "src.bin", copy = root / "copy.bin", longest = root / std::string(NAME_MAX, 'n');
  std::string data(300000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  Write(source, data);
  fs::permissions(source, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  SetMTime(source, 1000000000, 123456789);
  Write(copy, "old contents");
  EXPECT_EQ(QXFileMgrCopyFile(URL(source).get(), URL(copy).get()), 0);
  EXPECT_EQ(Read(copy), data);
  EXPECT_EQ(std::pair(MTime(copy).tv_sec, MTime(copy).tv_nsec), std::pair(time_t{1000000000}, 123456789L));
  EXPECT_EQ(fs::status(copy).permissions(), fs::status(source).permissions());
  EXPECT_EQ(Names(root), (std::vector<std::string>{"copy.bin", "src.bin", "tmp"})) << "no temporary file left behind";
  EXPECT_EQ(QXFileMgrCopyFile(URL(source).get(), URL(longest).get()), 0) << "the temporary name must fit too";
  EXPECT_EQ(Read(longest), data);
  // Only regular files are copied: a FIFO (no writer would ever come) or a device (endless) is
  // refused at once, a folder gives EISDIR; nothing is left at the target.
  ASSERT_EQ(::mkfifo((root / "fifo").c_str(), 0600), 0);
  CFRef<CFURLRef> x = URL(root / "x");
  EXPECT_EQ(
      (Codes{QXFileMgrCopyFile(URL(root / "missing").get(), x.get()),
             QXFileMgrCopyFile(URL(root / "fifo").get(), x.get()), QXFileMgrCopyFile(URL("/dev/zero").get(), x.get()),
             QXFileMgrCopyFile(URL(root / "tmp").get(), x.get()),
             QXFileMgrCopyFile(URL(source).get(), URL(root / "no/such/folder/x").get())}),
      (Codes{ENOENT, ENOTSUP, ENOTSUP, EISDIR, ENOENT}));
  EXPECT_FALSE(fs::exists(root / "x"));

  // Moves refuse to overwrite; ReplaceFileWithFile replaces.
  CFRef<CFURLRef> target = URL(root / "moved.bin");
  EXPECT_EQ(QXFileMgrMoveFile(URL(source).get(), URL(copy).get()), EEXIST);
  EXPECT_EQ(QXFileMgrMoveFile(URL(source).get(), target.get()), 0);
  EXPECT_FALSE(fs::exists(source));
  Write(root / "new.txt", "new");
  CFURLRef out = nullptr;
  EXPECT_EQ(QXFileMgrReplaceFileWithFile(URL(root / "new.txt").get(), target.get(), &out), 0);
  EXPECT_EQ(out, target.get());
  CFRelease(out);
  EXPECT_EQ(Read(root / "moved.bin"), "new");
  EXPECT_FALSE(fs::exists(root / "new.txt"));
  EXPECT_EQ(PathOr(QXFileMgrReplaceFileWithFile(URL(root / "gone.txt").get(), target.get(), &out), &out),
            Status(ENOENT));
  EXPECT_EQ(Read(root / "moved.bin"), "new") << "a failed replace leaves the target";
}

TEST_F(CoreFile, MoveAcrossFileSystemsCopiesAndDeletes) {
  const fs::path away = OtherFileSystemFolder(root);
  if (away.empty()) GTEST_SKIP() << "no second writable file system";
  Write(root / "tree/a.txt", "alpha");
  Write(root / "tree/sub/b.txt", "beta");
  fs::create_symlink("a.txt", root / "tree/link");
  SetMTime(root / "tree/sub/b.txt", 1200000000, 0);
  EXPECT_EQ(QXFileMgrMoveFile(URL(root / "tree").get(), URL(away / "tree").get()), 0);
  EXPECT_FALSE(fs::exists(root / "tree"));
  EXPECT_EQ(Read(away / "tree/a.txt") + Read(away / "tree/sub/b.txt"), "alphabeta");
  EXPECT_EQ(MTime(away / "tree/sub/b.txt").tv_sec, 1200000000);
  EXPECT_EQ(fs::read_symlink(away / "tree/link"), "a.txt");
  Write(root / "blocker.txt", "mine");
  EXPECT_EQ(QXFileMgrMoveFile(URL(away / "tree/a.txt").get(), URL(root / "blocker.txt").get()), EEXIST);
  EXPECT_EQ(QXFileMgrMoveFile(URL(away / "tree/a.txt").get(), URL(root / "back.txt").get()), 0);
  EXPECT_EQ(Read(root / "back.txt"), "alpha");
  EXPECT_FALSE(fs::exists(away / "tree/a.txt"));
  fs::remove_all(away);
}

TEST_F(CoreFile, FolderListingsFilterAndSortByName) {
  const fs::path dir = root / "list";
  for (const char* name : {"a10.jpg", "B.png", "noext", "a2.jpg", "A.JPG", "A1.jpg", ".hidden.jpg"})
    Write(dir / name, "");
  SetMTime(dir / "A.JPG", 1300000000, 250000000);
  CFRef<CFURLRef> folder = URL(dir, true);
  std::vector<std::string> locations;
  auto list = [&](CFArrayRef extensions, QXFileSortOrder order, int32_t expectedStatus = 0) {
    CFArrayRef out = nullptr;
    locations.clear();
    EXPECT_EQ(QXFileMgrGetFolderContentsCopy(folder.get(), extensions, order, &out), expectedStatus);
    std::vector<std::string> names;
    for (CFIndex i = 0; out && i < CFArrayGetCount(out); ++i) {
      auto file = static_cast<const CBaseFile*>(CFArrayGetValueAtIndex(out, i));
      names.push_back(Str(file->GetFileName()));
      locations.push_back(PathOf(file->GetLocation()));
      EXPECT_NE(file->GetModDate(), nullptr);
      if (names.back() == "A.JPG") {
        EXPECT_DOUBLE_EQ(CFDateGetAbsoluteTime(file->GetModDate()), 1300000000.25 - kCFAbsoluteTimeIntervalSince1970);
      }
    }
    if (out) CFRelease(out);
    return names;
  };
  CFRef<CFArrayRef> jpgOnly = Array({CFSTR("jpg")});
  EXPECT_EQ(list(jpgOnly.get(), 1), (std::vector<std::string>{"A.JPG", "A1.jpg", "a2.jpg", "a10.jpg"}));
  std::vector<std::string> all = list(nullptr, 1);
  EXPECT_EQ(all, (std::vector<std::string>{"A.JPG", "A1.jpg", "a2.jpg", "a10.jpg", "B.png", "noext"}));
  for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(locations[i], (dir / all[i]).string());
  std::vector<std::string> unsorted = list(nullptr, 0);
  std::sort(unsorted.begin(), unsorted.end());
  EXPECT_EQ(unsorted, (std::vector<std::string>{"A.JPG", "A1.jpg", "B.png", "a10.jpg", "a2.jpg", "noext"}));
  EXPECT_TRUE(list(Array({}).get(), 1).empty());

  auto paths = [&](CFArrayRef extensions) {
    CFArrayRef out = nullptr;
    EXPECT_EQ(QXFileMgrGetFolderPathsCopy(folder.get(), extensions, 1, &out), 0);
    std::string got, prefix = PathOf(folder.get());  // a path outside the folder shows whole
    for (CFIndex i = 0; out && i < CFArrayGetCount(out); ++i) {
      std::string path = Str(static_cast<CFStringRef>(CFArrayGetValueAtIndex(out, i)));
      got += (path.starts_with(prefix) ? path.substr(prefix.size()) : path) + " ";
    }
    if (out) CFRelease(out);
    return got;
  };
  EXPECT_EQ(paths(jpgOnly.get()), "/A.JPG /A1.jpg /B.png /a10.jpg /a2.jpg /noext ")
      << "paths sort case-sensitively and ignore the extension list";

  // A name that is not UTF-8 is still listed, its location keeping the exact bytes. In a path,
  // only the component that is not UTF-8 is read as Latin-1: the UTF-8 folder names above it stay
  // as they are.
  const fs::path mixed = root / "\xC3\x9C\x62\x65r \xC3\xA7\x61";
  Write(mixed / "caf\xE9.jpg", "");
  folder = URL(mixed, true);
  EXPECT_EQ(list(nullptr, 1), std::vector<std::string>{"caf\xC3\xA9.jpg"});
  EXPECT_EQ(locations, std::vector<std::string>{(mixed / "caf\xE9.jpg").string()});
  EXPECT_EQ(paths(nullptr), "/caf\xC3\xA9.jpg ");

  folder = URL(root / "missing", true);
  EXPECT_TRUE(list(nullptr, 1, ENOENT).empty());
  folder = URL(dir / "noext", true);
  EXPECT_TRUE(list(nullptr, 1, ENOTDIR).empty());
}

TEST_F(CoreFile, LinksVolumesAndPlatformGaps) {
  Write(root / "target/file.txt", "x");
  fs::create_directory_symlink(root / "target", root / "hop1");
  fs::create_symlink(root / "hop1/file.txt", root / "hop2");
  fs::create_symlink(root / "missing", root / "dangling");
  for (const auto& [link, target] : {std::pair{root / "hop2", fs::canonical(root / "target/file.txt").string()},
                                     {root / "target/file.txt", (root / "target/file.txt").string()},
                                     {root / "dangling", Status(ENOENT)}}) {
    CFURLRef out = reinterpret_cast<CFURLRef>(1);
    EXPECT_EQ(PathOr(QXFileMgrResolveLink(URL(link).get(), &out), &out), target);
  }

  uint64_t bytes = 0;
  EXPECT_EQ(QXFileMgrGetBytesFreeFromPath(URL(root).get(), &bytes), 0);
  struct statvfs info {};
  ASSERT_EQ(statvfs(root.c_str(), &info), 0);
  EXPECT_NEAR(static_cast<double>(bytes), static_cast<double>(info.f_bavail) * info.f_frsize, 64.0 * 1024 * 1024);
  EXPECT_EQ(QXFileMgrGetBytesFreeFromPath(URL(root / "missing").get(), &bytes), ENOENT);
  EXPECT_EQ(bytes, 0u);

  // Writable: the home folder yes; a missing folder and (unless root) a read-only one no.
  fs::create_directory(root / "locked");
  fs::permissions(root / "locked", fs::perms::owner_read | fs::perms::owner_exec);
  for (const auto& [where, expected] : {std::pair{root, true}, {root / "missing", false}, {root / "locked", false}}) {
    if (where == root / "locked" && geteuid() == 0) continue;
    bool writable = !expected;
    EXPECT_EQ(QXFileMgrGetFolderWritable(URL(where).get(), &writable), 0);
    EXPECT_EQ(writable, expected) << where;
  }

  CFStringRef name = CFSTR("sentinel");
  QXVersionInfo version{1, 2, 3};
  EXPECT_EQ(QXFileMgrGetFileVersionInfoCopy(URL(root / "target/file.txt").get(), &name, &version), ENODATA);
  EXPECT_EQ(name, nullptr);
  EXPECT_EQ(version.major + version.minor + version.build, 0);
  EXPECT_EQ(QXFileMgrGetFileVersionInfoCopy(URL(root / "missing").get(), &name, &version), ENOENT);
}

}  // namespace

// Descriptors the file manager opens must never reach a program another thread starts meanwhile:
// the child lists its open descriptors and none may lead into our folders.
TEST_F(CoreFile, NoDescriptorLeaksIntoChildProcessesThreads) {
  Write(root / "big.bin", std::string(4 << 20, 'b'));
  Write(root / ".config/user-dirs.dirs", "XDG_PICTURES_DIR=\"$HOME/Pics\"\n");
  for (const char* name : {"t1.txt", "t2.txt"}) {
    Write(root / name, name);
    ASSERT_EQ(QXFileMgrRecycleItemCopy(URL(root / name).get(), nullptr), 0);
  }
  std::atomic<bool> stop{false};
  std::thread worker([&] {
    while (!stop.load()) {
      EXPECT_EQ(QXFileMgrCopyFile(URL(root / "big.bin").get(), URL(root / "copy.bin").get()), 0);
      std::error_code ignored;
      fs::create_directories(root / "tree/a/b/c", ignored);
      EXPECT_EQ(QXFileMgrDeleteFolder(URL(root / "tree").get()), 0);
      CFURLRef url = nullptr;
      EXPECT_EQ(QXFileMgrGetFolderPathCopy(nullptr, 3, nullptr, &url), 0);
      if (url) CFRelease(url);
      EXPECT_EQ(QXFileMgrRestoreRecycledItem(URL(root / "never-there").get(), nullptr), 2);  // no match
    }
  });

  // popen starts the child through posix_spawn with only its pipe set up, as any program would.
  int spawned = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (std::chrono::steady_clock::now() < until && spawned < 400) {
    FILE* child = popen("exec /bin/ls -l /proc/self/fd", "r");
    ASSERT_NE(child, nullptr);
    std::string listing;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, child)) > 0;) listing.append(buffer, n);
    ASSERT_EQ(pclose(child), 0);
    ++spawned;
    if (listing.find(root.string()) != std::string::npos) {
      ADD_FAILURE() << "a child inherited:\n" << listing;
      break;
    }
  }
  stop = true;
  worker.join();
  EXPECT_GT(spawned, 10);
}
