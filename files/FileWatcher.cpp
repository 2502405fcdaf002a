// The file watcher: one inotify descriptor for all watched folders and an eventfd that ends the
// loop, both polled by one pool worker; the changes of each read are turned into at most one call
// per item, made without the lock so that the callback may add and remove folders.
#include <QXCore/QXFileWatcher.h>
#include <QXCore/QXThreads.h>
#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/Handle.h"
#include "core/ThreadAnnotations.h"
#include "files/CoreFileInternal.h"

namespace {

constexpr uint32_t kWatchMask = IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// The folder's own watch has ended: deleted, moved away (the watch would follow it to a path
// nobody asked for), unmounted, or dropped by the kernel.
constexpr uint32_t kGoneMask = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED;
// Room for at least 2,000 events with short names in one read.
constexpr size_t kReadBytes = 64 * 1024;
// How long a move out of a folder waits for the kernel to queue its partner: the two halves of a
// rename are queued one after the other, and a read may fall between them.
constexpr int kMovePartnerWaitMS = 10;

struct Event {
  int wd;
  uint32_t mask;
  uint32_t cookie;
};

}  // namespace

struct CBaseFileWatcher::State {
  qx::Mutex lock;
  std::condition_variable_any changed;  // a callback returned, or the worker left
  QXFileWatcherCallback callback QX_GUARDED_BY(lock) = nullptr;
  void* context QX_GUARDED_BY(lock) = nullptr;
  bool initialized QX_GUARDED_BY(lock) = false;
  std::vector<qx::Ref<CBaseFileWatcherItem>> items QX_GUARDED_BY(lock);
  int inotifyFD QX_GUARDED_BY(lock) = -1;
  int eventFD QX_GUARDED_BY(lock) = -1;
  bool looping QX_GUARDED_BY(lock) = false;  // the worker is in Watch
  bool stopping QX_GUARDED_BY(lock) = false;
  std::thread::id worker QX_GUARDED_BY(lock);
  CBaseFileWatcherItem* calling QX_GUARDED_BY(lock) = nullptr;  // the item whose callback runs

  bool Registered(const CBaseFileWatcherItem* item) const QX_REQUIRES(lock) {
    return std::any_of(items.begin(), items.end(), [item](const auto& i) { return i.get() == item; });
  }
  bool OnWorker() const QX_REQUIRES(lock) { return looping && worker == std::this_thread::get_id(); }
  // Takes the item out of the list; the inotify watch goes when no other item uses it.
  void Drop(size_t index) QX_REQUIRES(lock) {
    qx::Ref<CBaseFileWatcherItem> item = items[index];
    items.erase(items.begin() + static_cast<std::ptrdiff_t>(index));
    int wd = item->GetFD();
    item->Close();
    if (wd >= 0 && std::none_of(items.begin(), items.end(), [wd](const auto& i) { return i->GetFD() == wd; }))
      ::inotify_rm_watch(inotifyFD, wd);
  }
  void CloseDescriptors() QX_REQUIRES(lock) {
    if (inotifyFD >= 0) ::close(inotifyFD);
    if (eventFD >= 0) ::close(eventFD);
    inotifyFD = eventFD = -1;
  }
};

// ---- Items ----

CBaseFileWatcherItem::CBaseFileWatcherItem() : mNotifyFilter(kWatchMask) {}

CBaseFileWatcherItem::~CBaseFileWatcherItem() {
  if (mPath) CFRelease(mPath);
}

void CBaseFileWatcherItem::SetPath(CFURLRef path) {
  if (path) CFRetain(path);
  if (mPath) CFRelease(mPath);
  mPath = path;
}

// ---- Reading changes ----

namespace {

// Waits until the inotify descriptor has something to read (1), the time-out passed (0) or the
// eventfd was signalled (-1).
int WaitReadable(int inotifyFD, int eventFD, int timeoutMS) {
  pollfd fds[2] = {{eventFD, POLLIN, 0}, {inotifyFD, POLLIN, 0}};
  for (;;) {
    int n = ::poll(fds, 2, timeoutMS);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      // Only memory for the poll itself can run out here; try again shortly.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    if (n == 0) return 0;
    if (fds[0].revents != 0) return -1;
    return 1;
  }
}

// Appends the events of one read.
void ReadEvents(int inotifyFD, std::vector<uint32_t>& buffer, std::vector<Event>& events) {
  ssize_t n;
  do {
    n = ::read(inotifyFD, buffer.data(), buffer.size() * sizeof(uint32_t));
  } while (n < 0 && errno == EINTR);
  const char* bytes = reinterpret_cast<const char*>(buffer.data());
  for (ssize_t at = 0; n > 0 && at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
    const auto* event = reinterpret_cast<const inotify_event*>(bytes + at);
    events.push_back({event->wd, event->mask, event->cookie});
    at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
  }
}

// The moves into each folder of one batch, sorted, so that a move out can find its partner.
using MovesIn = std::vector<std::pair<int, uint32_t>>;  // watch, cookie

MovesIn CollectMovesIn(const std::vector<Event>& events) {
  MovesIn moves;
  for (const Event& e : events) {
    if (e.mask & IN_MOVED_TO) moves.emplace_back(e.wd, e.cookie);
  }
  std::sort(moves.begin(), moves.end());
  return moves;
}

// A move out of a folder whose partner arrived in the same folder is a rename, not a removal.
bool RenamedWithin(const MovesIn& moves, const Event& from) {
  return std::binary_search(moves.begin(), moves.end(), std::make_pair(from.wd, from.cookie));
}

bool HasUnpairedMove(const std::vector<Event>& events) {
  MovesIn moves = CollectMovesIn(events);
  return std::any_of(events.begin(), events.end(),
                     [&](const Event& e) { return (e.mask & IN_MOVED_FROM) && !RenamedWithin(moves, e); });
}

struct Report {
  int wd;
  bool gone;
};

// The watches to report, in the order of their first reportable event, and whether the kernel
// overflowed.
std::vector<Report> Classify(const std::vector<Event>& events, bool& overflow) {
  std::vector<Report> reports;
  MovesIn moves = CollectMovesIn(events);
  overflow = false;
  for (const Event& e : events) {
    if (e.mask & IN_Q_OVERFLOW) {
      overflow = true;
      continue;
    }
    bool gone = (e.mask & kGoneMask) != 0;
    bool removed = (e.mask & IN_DELETE) || ((e.mask & IN_MOVED_FROM) && !RenamedWithin(moves, e));
    if (!gone && !removed) continue;
    auto it = std::find_if(reports.begin(), reports.end(), [&](const Report& r) { return r.wd == e.wd; });
    if (it == reports.end()) {
      reports.push_back({e.wd, gone});
    } else {
      it->gone = it->gone || gone;
    }
  }
  return reports;
}

}  // namespace

// ---- The watcher ----

CBaseFileWatcher::CBaseFileWatcher() : mState(new State) {}

CBaseFileWatcher::~CBaseFileWatcher() {
  Stop();
  delete mState;
}

QXStatus CBaseFileWatcher::Initialize(QXFileWatcherCallback callback, void* context) {
  State& s = *mState;
  qx::MutexLock<qx::Mutex> hold(s.lock);
  s.callback = callback;
  s.context = context;
  s.initialized = true;
  return kQXNoErr;
}

QXStatus CBaseFileWatcher::CreateFileWatcherItem(CFURLRef url, FileWatcherFlags, CBaseFileWatcherItem** outItem)
    QX_NO_THREAD_SAFETY_ANALYSIS {  // the caller holds the lock, which the public header cannot name
  State& s = *mState;
  *outItem = nullptr;
  if (!url) return kQXErrInvalidArgument;
  std::string path;
  if (int status = qxfiles::PathFromURL(url, path)) return status;
  qx::Ref<CBaseFileWatcherItem> item = qx::make<CBaseFileWatcherItem>();
  if (!item) return kQXErrMemory;
  if (s.inotifyFD < 0) {
    s.inotifyFD = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (s.inotifyFD < 0) return errno;
    s.eventFD = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (s.eventFD < 0) {
      int error = errno;
      s.CloseDescriptors();
      return error;
    }
  }
  int wd = ::inotify_add_watch(s.inotifyFD, path.c_str(), item->GetNotifyFilter());
  if (wd < 0) return errno;
  item->SetPath(url);
  item->SetFD(wd);
  *outItem = item.release();
  return kQXNoErr;
}

QXStatus CBaseFileWatcher::AddPath(CFURLRef url, FileWatcherFlags flags) {
  State& s = *mState;
  qx::MutexLock<qx::Mutex> hold(s.lock);
  if (!url) return kQXErrInvalidArgument;
  if (!s.initialized || s.stopping) return kQXErrGeneric;
  try {
    s.items.reserve(s.items.size() + 1);  // so that an added watch is never left without its item
  } catch (...) {
    return kQXErrMemory;
  }
  CBaseFileWatcherItem* raw = nullptr;
  if (QXStatus status = CreateFileWatcherItem(url, flags, &raw)) return status;
  s.items.push_back(qx::Ref<CBaseFileWatcherItem>::adopt(raw));
  // A dead item of an equal URL would otherwise be the one RemovePath finds first.
  for (size_t i = s.items.size() - 1; i-- > 0;) {
    if (!s.items[i]->IsValid() && CFEqual(s.items[i]->GetPath(), url))
      s.items.erase(s.items.begin() + static_cast<std::ptrdiff_t>(i));
  }
  if (s.looping) return kQXNoErr;
  s.looping = true;
  QXStatus status = QXThreadPoolPush(ThreadEntryPoint, this);
  if (status != kQXNoErr) {
    s.looping = false;
    s.Drop(s.items.size() - 1);
  }
  return status;
}

QXStatus CBaseFileWatcher::RemovePath(CFURLRef url) {
  State& s = *mState;
  qx::MutexLock<qx::Mutex> hold(s.lock);
  if (!url) return kQXNoErr;
  auto it = std::find_if(s.items.begin(), s.items.end(), [&](const auto& i) { return CFEqual(i->GetPath(), url); });
  if (it == s.items.end()) return kQXNoErr;
  CBaseFileWatcherItem* item = it->get();
  s.Drop(static_cast<size_t>(it - s.items.begin()));
  while (s.calling == item && !s.OnWorker()) s.changed.wait(s.lock);
  return kQXNoErr;
}

bool CBaseFileWatcher::IsWatching(CFURLRef url) {
  State& s = *mState;
  qx::MutexLock<qx::Mutex> hold(s.lock);
  return url && std::any_of(s.items.begin(), s.items.end(),
                            [&](const auto& i) { return i->IsValid() && CFEqual(i->GetPath(), url); });
}

void CBaseFileWatcher::Stop() {
  State& s = *mState;
  qx::MutexLock<qx::Mutex> hold(s.lock);
  if (!s.stopping) {
    s.stopping = true;
    for (const auto& item : s.items) item->Close();
    if (s.eventFD >= 0) {
      uint64_t one = 1;
      (void)!::write(s.eventFD, &one, sizeof one);
    }
  }
  if (s.OnWorker()) return;  // the worker closes nothing; a later Stop or the destructor does
  while (s.looping) s.changed.wait(s.lock);
  s.CloseDescriptors();
}

void CBaseFileWatcher::ThreadEntryPoint(void* watcher) { static_cast<CBaseFileWatcher*>(watcher)->Watch(); }

void CBaseFileWatcher::Watch() {
  State& s = *mState;
  int inotifyFD, eventFD;
  {
    qx::MutexLock<qx::Mutex> hold(s.lock);
    s.worker = std::this_thread::get_id();
    inotifyFD = s.inotifyFD;
    eventFD = s.eventFD;
  }
  std::vector<uint32_t> buffer(kReadBytes / sizeof(uint32_t));
  std::vector<Event> events;
  std::vector<qx::Ref<CBaseFileWatcherItem>> due;
  for (;;) {
    if (WaitReadable(inotifyFD, eventFD, -1) < 0) break;
    events.clear();
    ReadEvents(inotifyFD, buffer, events);
    if (HasUnpairedMove(events)) {
      int ready = WaitReadable(inotifyFD, eventFD, kMovePartnerWaitMS);
      if (ready < 0) break;
      if (ready > 0) ReadEvents(inotifyFD, buffer, events);
    }
    bool overflow;
    std::vector<Report> reports = Classify(events, overflow);
    if (reports.empty() && !overflow) continue;

    due.clear();
    {
      qx::MutexLock<qx::Mutex> hold(s.lock);
      auto add = [&due](CBaseFileWatcherItem* item) {
        if (std::none_of(due.begin(), due.end(), [item](const auto& d) { return d.get() == item; }))
          due.push_back(qx::Ref<CBaseFileWatcherItem>::retain(item));
      };
      for (const Report& report : reports) {
        bool any = false;
        for (const auto& item : s.items) {
          if (item->GetFD() != report.wd) continue;
          any = true;
          add(item.get());
          if (report.gone) item->Close();
        }
        // A moved folder keeps its watch, which would go on reporting from its new place.
        if (any && report.gone) ::inotify_rm_watch(inotifyFD, report.wd);
      }
      if (overflow) {
        for (const auto& item : s.items) {
          if (item->IsValid()) add(item.get());
        }
      }
    }

    for (const auto& item : due) {
      QXFileWatcherCallback callback;
      void* context;
      {
        qx::MutexLock<qx::Mutex> hold(s.lock);
        if (s.stopping || !s.Registered(item.get())) continue;
        s.calling = item.get();
        callback = s.callback;
        context = s.context;
      }
      if (callback) callback(item->GetPath(), kQXFileWatcherRemoved, context);
      qx::MutexLock<qx::Mutex> hold(s.lock);
      s.calling = nullptr;
      s.changed.notify_all();
    }
  }
  due.clear();
  // The last touch of the watcher: Stop may delete it as soon as the lock is free.
  qx::MutexLock<qx::Mutex> hold(s.lock);
  s.looping = false;
  s.changed.notify_all();
}
