// Fuzzes the zip reader with an archive file: lists every entry, reads its name, and extracts it
// into a fresh folder, once safely by name and once to a fixed file. Whatever the archive says,
// nothing may appear beside that folder, no link may appear inside it, and no temporary file may
// survive except under a name the archive itself asked for.
#include <QXCore/QXUnzip.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "cf/CFRef.h"

namespace {

namespace fs = std::filesystem;

[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "utils_unzip_fuzz: %s %s\n", what, detail.c_str());
  std::abort();
}

// base/archive.zip, and base/parent/out, the only thing parent may ever hold.
fs::path gBase, gParent, gOut;

qxcf::CFRef<CFURLRef> URL(const fs::path& path, bool isDirectory) {
  const std::string text = path.string();
  return qxcf::adopt(CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(text.data()),
                                                             CFIndex(text.size()), isDirectory));
}

std::string UTF8(CFStringRef string) {
  std::string out(size_t(CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8)), '\0');
  CFIndex used = 0;
  CFStringGetBytes(string, CFRangeMake(0, CFStringGetLength(string)), kCFStringEncodingUTF8, '?', false,
                   reinterpret_cast<UInt8*>(out.data()), CFIndex(out.size()), &used);
  out.resize(size_t(used));
  return out;
}

void CheckTree(const std::set<std::string>& names) {
  for (const auto& entry : fs::directory_iterator(gParent))
    if (entry.path() != gOut) fail("something was written beside the folder:", entry.path().string());
  for (const auto& entry : fs::directory_iterator(gBase))
    if (entry.path() != gParent && entry.path().filename() != "archive.zip")
      fail("something was written outside the folder:", entry.path().string());
  for (auto it = fs::recursive_directory_iterator(gOut); it != fs::recursive_directory_iterator(); ++it) {
    if (it->is_symlink()) fail("a link was created:", it->path().string());
    const std::string relative = it->path().lexically_relative(gOut).string();
    if (it->path().filename().string().find(".qxtmp-") != std::string::npos && !names.count(relative) &&
        !names.count(relative + "/"))
      fail("a temporary file was left behind:", relative);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qx-unzip-fuzz-XXXXXX";
  if (!mkdtemp(pattern.data())) fail("cannot make a scratch folder");
  gBase = pattern;
  gParent = gBase / "parent";
  gOut = gParent / "out";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fs::remove_all(gParent);
  fs::create_directories(gOut);
  const fs::path archive = gBase / "archive.zip";
  std::ofstream(archive, std::ios::binary).write(reinterpret_cast<const char*>(data), std::streamsize(size));

  QXUnzipRef reader = QXUnzipCreate();
  std::set<std::string> names;
  if (QXUnzipOpen(reader, URL(archive, false).get()) == 0) {
    auto folder = URL(gOut, true);
    auto single = URL(gOut / "single", false);
    int32_t status = QXUnzipSetFirstFileCurrent(reader);
    for (int count = 0; status == 0 && count < 1000; ++count, status = QXUnzipSetNextFileCurrent(reader)) {
      if (CFStringRef name = QXUnzipGetCurrentFileNameCopy(reader)) {
        names.insert(UTF8(name));
        CFRelease(name);
      }
      QXUnzipExtractCurrentFileToFolder(reader, folder.get());
      QXUnzipExtractCurrentFile(reader, single.get());
    }
  }
  QXUnzipRelease(reader);
  CheckTree(names);
  return 0;
}
