// Latency from unlink to the report of the removal: CBaseFileWatcher's callback against the least
// any inotify watcher can do, a thread of its own polling one inotify descriptor (and an eventfd
// to end it) and reading the deletion, in the same run on the same kind of folder. Each iteration
// creates a file (which neither reports), then times its unlink until the report; the median of
// all unlinks is reported as a counter.
#include <QXCore/QXFileWatcher.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kMask = IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

int64_t NowNS() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// When the last report came, and how many came.
struct Reports {
  std::atomic<int64_t> atNS{0};
  std::atomic<uint32_t> count{0};

  void Report() {
    atNS.store(NowNS(), std::memory_order_relaxed);
    count.fetch_add(1, std::memory_order_release);
    count.notify_one();
  }
  int64_t WaitAfter(uint32_t seen) {
    for (uint32_t n = count.load(std::memory_order_acquire); n == seen; n = count.load(std::memory_order_acquire))
      count.wait(n);
    return atNS.load(std::memory_order_relaxed);
  }
};

class Folder {
 public:
  Folder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qxbench-watch-XXXXXX").string();
    if (!mkdtemp(pattern.data())) abort();
    mPath = pattern;
  }
  ~Folder() { std::filesystem::remove_all(mPath); }
  const std::string& path() const { return mPath; }

 private:
  std::string mPath;
};

// A latency of one unlink, in nanoseconds.
int64_t UnlinkLatency(const std::string& file, Reports& reports) {
  int fd = ::open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 0) abort();
  ::close(fd);
  uint32_t seen = reports.count.load(std::memory_order_acquire);
  int64_t start = NowNS();
  ::unlink(file.c_str());
  return reports.WaitAfter(seen) - start;
}

int64_t Median(std::vector<int64_t> values) {
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

// Each iteration is a round of unlinks whose median is the iteration time, so that a preempted
// round on a busy machine does not decide the comparison.
void Measure(benchmark::State& state, const Folder& folder, Reports& reports) {
  constexpr int kRound = 101;
  std::vector<int64_t> all, round;
  int n = 0;
  for (auto _ : state) {
    round.clear();
    for (int i = 0; i < kRound; ++i)
      round.push_back(UnlinkLatency(folder.path() + "/f" + std::to_string(n++), reports));
    all.insert(all.end(), round.begin(), round.end());
    state.SetIterationTime(static_cast<double>(Median(round)) / 1e9);
  }
  state.counters["median_latency_us"] = static_cast<double>(Median(all)) / 1000.0;
}

void BM_WatcherUnlinkToCallback(benchmark::State& state) {
  Folder folder;
  Reports reports;
  CBaseFileWatcher watcher;
  watcher.Initialize([](CFURLRef, FileWatcherFlags, void* r) { static_cast<Reports*>(r)->Report(); }, &reports);
  CFURLRef url = CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(folder.path().data()),
                                                         static_cast<CFIndex>(folder.path().size()), true);
  if (watcher.AddPath(url, 0) != kQXNoErr) abort();
  CFRelease(url);
  Measure(state, folder, reports);
  watcher.Stop();
}
BENCHMARK(BM_WatcherUnlinkToCallback)->Unit(benchmark::kMicrosecond)->UseManualTime()->Iterations(30);

// The anchor: one thread, one inotify descriptor, one read per wake-up.
void BM_RawInotifyUnlinkAnchor(benchmark::State& state) {
  Folder folder;
  Reports reports;
  int inotifyFD = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  int stopFD = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (inotifyFD < 0 || stopFD < 0 || ::inotify_add_watch(inotifyFD, folder.path().c_str(), kMask) < 0) abort();
  std::thread reader([&] {
    alignas(inotify_event) char buffer[64 * 1024];
    pollfd fds[2] = {{stopFD, POLLIN, 0}, {inotifyFD, POLLIN, 0}};
    while (::poll(fds, 2, -1) >= 0 && fds[0].revents == 0) {
      ssize_t n = ::read(inotifyFD, buffer, sizeof buffer);
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->mask & IN_DELETE) reports.Report();
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  });
  Measure(state, folder, reports);
  uint64_t one = 1;
  (void)!::write(stopFD, &one, sizeof one);
  reader.join();
  ::close(inotifyFD);
  ::close(stopFD);
}
BENCHMARK(BM_RawInotifyUnlinkAnchor)->Unit(benchmark::kMicrosecond)->UseManualTime()->Iterations(30);

}  // namespace

BENCHMARK_MAIN();
