// Listing a 10,000-file folder sorted by name: QXFileMgrGetFolderContentsCopy (file records with
// URLs, names and dates, name order A1, a2, a10) against the same work done plainly — opendir and
// readdir, one stat per entry, and a sort with strverscmp — in the same run on the same folder.
#include <QXCore/QXFileMgr.h>
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int kFiles = 10000;

// The folder is made once per process and removed at exit.
class Folder {
 public:
  Folder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qxbench-folder-XXXXXX").string();
    if (!mkdtemp(pattern.data())) abort();
    mPath = pattern;
    // Mixed case and numbers, in an order unlike the sorted one, as camera folders look.
    for (int i = 0; i < kFiles; ++i) {
      int n = (i * 7919) % kFiles;
      std::string name = (n % 3 == 0   ? "IMG_"
                          : n % 3 == 1 ? "img_"
                                       : "Photo ") +
                         std::to_string(n) + (n % 2 ? ".jpg" : ".CR2");
      int fd = ::open((mPath + "/" + name).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
      if (fd < 0) abort();
      ::close(fd);
    }
  }
  ~Folder() { std::filesystem::remove_all(mPath); }
  const std::string& path() const { return mPath; }

 private:
  std::string mPath;
};

const Folder& TheFolder() {
  static Folder folder;
  return folder;
}

void BM_GetFolderContentsCopy(benchmark::State& state) {
  const std::string& path = TheFolder().path();
  CFURLRef url = CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(path.data()),
                                                         static_cast<CFIndex>(path.size()), true);
  for (auto _ : state) {
    CFArrayRef files = nullptr;
    if (QXFileMgrGetFolderContentsCopy(url, nullptr, kQXFileSortOrderName, &files) != 0 ||
        CFArrayGetCount(files) != kFiles)
      state.SkipWithError("listing failed");
    benchmark::DoNotOptimize(files);
    CFRelease(files);
  }
  CFRelease(url);
  state.SetItemsProcessed(state.iterations() * kFiles);
}

struct Entry {
  std::string name;
  struct timespec modified;
};

void BM_ReaddirStatSortAnchor(benchmark::State& state) {
  const std::string& path = TheFolder().path();
  for (auto _ : state) {
    std::vector<Entry> entries;
    DIR* dir = ::opendir(path.c_str());
    while (struct dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      struct stat st;
      if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      entries.push_back({entry->d_name, st.st_mtim});
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return ::strverscmp(a.name.c_str(), b.name.c_str()) < 0; });
    if (entries.size() != kFiles) state.SkipWithError("listing failed");
    benchmark::DoNotOptimize(entries.data());
  }
  state.SetItemsProcessed(state.iterations() * kFiles);
}

BENCHMARK(BM_GetFolderContentsCopy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReaddirStatSortAnchor)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
