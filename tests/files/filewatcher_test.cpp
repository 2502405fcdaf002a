// The file watcher on real folders, with the worker held or busy where it matters.
#include <QXCore/QXFileWatcher.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>

#include "tests/files/FileTestSupport.h"

using namespace filetest;

namespace {

class FileWatcherThreads : public ::testing::Test {
 protected:
  qxtest::TempHome home;
  fs::path root = home.root();
  std::mutex lock;
  std::condition_variable changed;
  std::map<std::string, int> entered, finished;  // callbacks per folder path
  std::string held;                              // a folder whose callbacks wait until Hold({})
  std::function<void(const std::string&)> hook;  // runs inside the callback
  CBaseFileWatcher watcher;                      // last: stopped before anything above goes

  void SetUp() override {
    ASSERT_EQ(watcher.Initialize(&Callback, this), kQXNoErr);
    ASSERT_EQ(Add(root / "sentinel"), kQXNoErr);
  }
  void TearDown() override { Hold({}); }

  static void Callback(CFURLRef folder, FileWatcherFlags flags, void* context) {
    auto& self = *static_cast<FileWatcherThreads*>(context);
    const std::string path = PathOf(folder);
    std::unique_lock hold(self.lock);
    EXPECT_EQ(flags, static_cast<FileWatcherFlags>(kQXFileWatcherRemoved));
    self.entered[path]++;
    self.changed.notify_all();
    self.changed.wait(hold, [&] { return path != self.held; });
    auto hook = self.hook;
    hold.unlock();
    if (hook) hook(path);
    hold.lock();
    self.finished[path]++;
    self.changed.notify_all();
  }

  static std::string Key(const fs::path& folder) { return PathOf(URL(folder, true).get()); }
  int32_t Add(const fs::path& folder, CBaseFileWatcher* w = nullptr) {
    fs::create_directories(folder);
    return (w ? w : &watcher)->AddPath(URL(folder, true).get(), 0);
  }
  bool Watching(const fs::path& folder) { return watcher.IsWatching(URL(folder, true).get()); }
  int Entered(const fs::path& folder) {
    std::lock_guard hold(lock);
    return entered[Key(folder)];
  }
  // Waits until the folder's callback was entered at least `count` times.
  bool Wait(const fs::path& folder, int count) {
    std::unique_lock hold(lock);
    return changed.wait_for(hold, std::chrono::seconds(20), [&] { return entered[Key(folder)] >= count; });
  }
  // Holds the worker in the callbacks of `folder` (none for an empty path).
  void Hold(const fs::path& folder) {
    std::lock_guard hold(lock);
    held = folder.empty() ? "" : Key(folder);
    changed.notify_all();
  }
  static void Remove(const fs::path& path) {
    if (!fs::exists(path)) Write(path, "x");
    fs::remove(path);
  }
  // One deletion in the sentinel folder, waited for: the worker reads changes in order and calls
  // the folders of a read in the order they changed, so everything done before has been reported.
  void Settle() {
    int before = Entered(root / "sentinel");
    Remove(root / "sentinel/s");
    ASSERT_TRUE(Wait(root / "sentinel", before + 1));
  }
};

TEST_F(FileWatcherThreads, Statuses) {
  CBaseFileWatcher uninitialized;
  const fs::path folder = root / "folder", missing = root / "missing";
  Write(root / "file", "x");
  EXPECT_EQ((Codes{Add(folder, &uninitialized), watcher.AddPath(nullptr, 0), watcher.AddPath(Web().get(), 0),
                   watcher.AddPath(URL(missing, true).get(), 0), watcher.AddPath(URL(root / "file").get(), 0),
                   watcher.RemovePath(URL(missing, true).get()), Add(folder)}),
            (Codes{kQXErrGeneric, kQXErrInvalidArgument, kQXErrGeneric, ENOENT, ENOTDIR, kQXNoErr, kQXNoErr}));
  EXPECT_TRUE(Watching(folder));
  watcher.Stop();
  EXPECT_FALSE(Watching(folder));
  EXPECT_EQ(Add(folder), kQXErrGeneric);
}

TEST_F(FileWatcherThreads, RemovalsAndRenames) {
  const fs::path outside = root / "outside", other = root / "other";
  ASSERT_EQ(Add(other), kQXNoErr);
  const std::tuple<const char*, std::function<void(const fs::path&)>, int> cases[] = {
      {"delete a file", [](const fs::path& f) { fs::remove(f / "a"); }, 1},
      {"delete a sub-folder", [](const fs::path& f) { fs::remove(f / "sub"); }, 1},
      {"move out of the watched folders", [&](const fs::path& f) { fs::rename(f / "a", outside / "a"); }, 1},
      {"move into another watched folder", [&](const fs::path& f) { fs::rename(f / "a", other / "a"); }, 1},
      {"rename within the folder", [](const fs::path& f) { fs::rename(f / "a", f / "b"); }, 0},
      {"create and write", [](const fs::path& f) { Write(f / "new", "data"); }, 0},
      {"move in from outside", [&](const fs::path& f) { fs::rename(outside / "in", f / "in"); }, 0},
  };
  for (const auto& [name, change, calls] : cases) {
    const fs::path folder = root / name;
    Write(folder / "a", "a");
    Write(outside / "in", "in");
    fs::create_directories(folder / "sub");
    ASSERT_EQ(Add(folder), kQXNoErr);
    change(folder);
    Settle();
    EXPECT_EQ(Entered(folder), calls) << name;
  }
}

TEST_F(FileWatcherThreads, BurstAndRemovalsWhileQueued) {
  // `link` and `gone` share the watch of `a`, so a read queues calls for all three; `gone` is
  // removed while its call is queued, `c` while its change still waits in the kernel.
  const fs::path a = root / "a", b = root / "b", link = root / "link", gone = root / "gone", c = root / "c";
  for (int i = 0; i < 500; ++i) Write(a / std::to_string(i), ""), Write(b / std::to_string(i), "");
  Write(a / "first", "");
  fs::create_directory_symlink(a, link);
  fs::create_directory_symlink(a, gone);
  for (const fs::path& folder : {a, b, link, gone, c}) ASSERT_EQ(Add(folder), kQXNoErr);

  // With the worker held, the burst waits in the kernel and comes in few reads, the first record
  // of which is a rename (no removal).
  Hold(a);
  Remove(a / "x");
  ASSERT_TRUE(Wait(a, 1));
  fs::rename(a / "first", a / "renamed");
  for (int i = 0; i < 500; ++i) fs::remove(a / std::to_string(i)), fs::remove(b / std::to_string(i));
  Remove(c / "x");
  watcher.RemovePath(URL(gone, true).get());
  watcher.RemovePath(URL(c, true).get());
  Hold({});
  EXPECT_TRUE(Wait(a, 2));
  for (const fs::path& folder : {b, link}) EXPECT_TRUE(Wait(folder, 1)) << folder;
  Settle();
  EXPECT_TRUE(Watching(a)) << "the shared watch outlives the removed item";
  EXPECT_EQ(Entered(gone) + Entered(c), 0);
}

TEST_F(FileWatcherThreads, FolderItselfGoneIsReportedOnce) {
  for (const char* name : {"deleted", "moved"}) {
    const fs::path folder = root / name, away = root / "away";
    ASSERT_EQ(Add(folder), kQXNoErr);
    name == std::string("moved") ? fs::rename(folder, away) : (void)fs::remove(folder);
    ASSERT_TRUE(Wait(folder, 1)) << name;
    EXPECT_FALSE(Watching(folder)) << name;
    Remove(folder / "later");  // nothing more from the old place or the new one
    Remove(away / "later");
    Settle();
    EXPECT_EQ(Entered(folder), 1) << name;

    // Adding it again replaces the dead item, so one RemovePath ends all watching of it.
    ASSERT_EQ(Add(folder), kQXNoErr);
    watcher.RemovePath(URL(folder, true).get());
    EXPECT_FALSE(Watching(folder)) << name;
  }
}

TEST_F(FileWatcherThreads, RemovePathAndStopWaitForARunningCallback) {
  const fs::path folder = root / "busy";
  const std::function<void(CBaseFileWatcher&)> actions[] = {
      [&](CBaseFileWatcher& w) { w.RemovePath(URL(folder, true).get()); },
      [](CBaseFileWatcher& w) { w.Stop(); },
  };
  for (int round = 1; round <= 2; ++round) {
    CBaseFileWatcher w;
    ASSERT_EQ(w.Initialize(&Callback, this), kQXNoErr);
    ASSERT_EQ(Add(folder, &w), kQXNoErr);
    Hold(folder);
    Remove(folder / "x");
    ASSERT_TRUE(Wait(folder, round));
    bool done = false, callbackHadReturned = false;
    std::thread other([&] {
      actions[round - 1](w);
      std::lock_guard hold(lock);
      callbackHadReturned = finished[Key(folder)] == round;
      done = true;
      changed.notify_all();
    });
    {
      // Time for an action that does not wait to return while the callback is still held.
      std::unique_lock hold(lock);
      EXPECT_FALSE(changed.wait_for(hold, std::chrono::milliseconds(200), [&] { return done; })) << round;
    }
    Hold({});
    other.join();
    EXPECT_TRUE(callbackHadReturned) << round;
  }
}

TEST_F(FileWatcherThreads, CallbackMayRemoveItsOwnFolderAndStop) {
  const fs::path a = root / "a", b = root / "b";
  ASSERT_EQ(Add(a), kQXNoErr);
  ASSERT_EQ(Add(b), kQXNoErr);
  {
    std::lock_guard hold(lock);  // the kernel's event orders nothing for ThreadSanitizer
    hook = [&](const std::string& path) {
      path == Key(a) ? (void)watcher.RemovePath(URL(a, true).get()) : watcher.Stop();
    };
  }
  Remove(a / "x");
  ASSERT_TRUE(Wait(a, 1));
  Remove(b / "x");
  ASSERT_TRUE(Wait(b, 1));
  watcher.Stop();  // joins the worker, which left after the callback's own Stop
  {
    std::lock_guard hold(lock);
    EXPECT_EQ(finished[Key(a)] + finished[Key(b)], 2);
  }
  EXPECT_EQ(Add(a), kQXErrGeneric);
}

TEST_F(FileWatcherThreads, OverflowCallsEveryLiveFolder) {
  int limit = 0;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
  if (limit <= 0 || limit > (1 << 20)) GTEST_SKIP() << "inotify queue limit " << limit;
  const fs::path gate = root / "gate", busy = root / "busy", quiet = root / "quiet";
  for (const fs::path& folder : {gate, busy, quiet}) ASSERT_EQ(Add(folder), kQXNoErr);
  Write(busy / "a", "");
  Hold(gate);
  Remove(gate / "x");
  ASSERT_TRUE(Wait(gate, 1));
  // Renames within a folder report nothing, but their two events each fill the kernel's queue.
  for (int i = 0; i <= limit / 2; ++i) fs::rename(busy / (i % 2 ? "b" : "a"), busy / (i % 2 ? "a" : "b"));
  Hold({});
  EXPECT_TRUE(Wait(quiet, 1)) << "only the overflow reports the quiet folder";
}

}  // namespace
