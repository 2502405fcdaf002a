/*
 * QXFileWatcher.h — a watcher that tells its owner when something is removed from a folder.
 *
 * A CBaseFileWatcher watches a set of folders (each one level deep, not its sub-folders) through
 * one inotify descriptor, which one worker of the process-wide thread pool services from the first
 * AddPath until Stop or the destructor. Each watched folder is a CBaseFileWatcherItem. The classes
 * are C++ only; there is no C interface.
 *
 * What is reported. The owner's callback receives the folder's URL (the one given to AddPath,
 * borrowed for the call), kQXFileWatcherRemoved and the context, at most once per folder for each
 * batch of changes the worker reads, when:
 *   - an entry of the folder was deleted, or moved out of it (a rename inside the folder is no
 *     removal; a move to another watched folder is a removal from the first one);
 *   - the kernel dropped changes because its queue overflowed: every folder still watched is
 *     called, since any of them may have lost a removal;
 *   - the folder itself was deleted, moved or unmounted: it is reported once and its item stops
 *     watching (IsWatching gives false; the same URL may be added again).
 * Creating or changing files reports nothing. Network and FUSE file systems may report nothing at
 * all: inotify sees only the changes made through this machine's kernel.
 *
 * Threads. Every member may be called from any thread. The callback runs on the watcher's pool
 * worker, one call at a time, with no lock of the watcher held: it may call AddPath, RemovePath
 * (for its own folder too), IsWatching and Stop, but must not destroy the watcher.
 */
#ifndef QXCORE_QXFILEWATCHER_H
#define QXCORE_QXFILEWATCHER_H

#include <QXCore/QXBase.h>
#include <stdbool.h>

/* What the callback is told; AddPath accepts flags too but does not consult them. */
typedef uint32_t FileWatcherFlags;
enum { kQXFileWatcherRemoved = 2 };

#if defined(__cplusplus)

/* The callback: the folder's URL (borrowed), kQXFileWatcherRemoved and the context given to
   Initialize. */
typedef void (*QXFileWatcherCallback)(CFURLRef folder, FileWatcherFlags flags, void* context);

/* One watched folder. Its watch belongs to the watcher's inotify descriptor, so the item only
   records the watch descriptor; the watcher adds and removes the watch. */
class QX_EXPORT CBaseFileWatcherItem : public CBaseCore {
 public:
  CBaseFileWatcherItem();
  ~CBaseFileWatcherItem() override;

  /* The folder's URL, borrowed. SetPath retains the new URL; call it only before the item is
     watched. */
  CFURLRef GetPath() const { return mPath; }
  void SetPath(CFURLRef path);
  /* The inotify watch descriptor, -1 when the item watches nothing. Safe from any thread. */
  int32_t GetFD() const { return mFD.load(std::memory_order_acquire); }
  void SetFD(int32_t fd) { mFD.store(fd, std::memory_order_release); }
  /* The inotify events the item asks for: deletions, moves in and out, and the folder's own
     deletion or move (IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF |
     IN_ONLYDIR). */
  uint32_t GetNotifyFilter() const { return mNotifyFilter; }
  /* The item still watches its folder: it was neither removed nor was its folder gone. */
  bool IsValid() const { return GetFD() >= 0; }
  /* Marks the item as watching nothing (the watcher removes the inotify watch). */
  void Close() { SetFD(-1); }

 private:
  CFURLRef mPath = nullptr;
  std::atomic<int32_t> mFD{-1};
  uint32_t mNotifyFilter;
};

/* The watcher. Not reference-counted; the destructor stops it (see Stop), so it must not run on
   the watcher's own worker (from the callback). */
class QX_EXPORT CBaseFileWatcher {
 public:
  CBaseFileWatcher();
  virtual ~CBaseFileWatcher();
  CBaseFileWatcher(const CBaseFileWatcher&) = delete;
  CBaseFileWatcher& operator=(const CBaseFileWatcher&) = delete;

  /* Stores the callback (may be NULL: changes are then read and dropped) and its context. Needed
     before the first AddPath; may be called again to change them. Linux needs no privileges for
     watching, so it always returns 0. */
  QXStatus Initialize(QXFileWatcherCallback callback, void* context);
  /* Watches the folder at `url` (retained by its item) and, with the first folder, creates the
     inotify descriptor and starts the worker. A folder added twice (or through a symbolic link)
     shares one inotify watch, and each of its items is called. An item of an equal URL whose
     folder has gone is replaced. 0; kQXErrInvalidArgument for NULL; kQXErrGeneric for a URL
     without a file-system path, before Initialize and after Stop; ENAMETOOLONG; ENOENT when
     nothing is at the path, ENOTDIR for something that is not a folder, EACCES, ENOSPC when the
     user's inotify watches or EMFILE when the inotify instances are used up, or another errno of
     inotify; the thread pool's status when the worker cannot start. A failure adds nothing. */
  QXStatus AddPath(CFURLRef url, FileWatcherFlags flags);
  /* Stops watching the first folder whose URL equals `url` (CFEqual). No callback for it starts
     afterwards, even for changes already read; when its callback is running, waits until it has
     returned, unless called from that callback. Always 0, also when nothing matches. */
  QXStatus RemovePath(CFURLRef url);
  /* True while an item of an equal URL watches its folder. */
  bool IsWatching(CFURLRef url);
  /* Ends watching for good: wakes the worker and waits until it has left (from the callback it
     cannot wait; the worker then leaves once the callback returns), closes the descriptors and
     marks every item as watching nothing. AddPath fails afterwards. Calling it again does
     nothing more. */
  void Stop();

 protected:
  /* Makes an item for `url` and adds its inotify watch, creating the watcher's descriptors first
     when needed; the caller holds the watcher's lock (AddPath does). 0 with *outItem a new
     reference, or a status as AddPath gives with *outItem NULL. */
  QXStatus CreateFileWatcherItem(CFURLRef url, FileWatcherFlags flags, CBaseFileWatcherItem** outItem);
  /* The worker's loop: reads changes and calls the callback until Stop. */
  void Watch();
  /* The pool work item: runs Watch on the watcher given as `watcher`. */
  static void ThreadEntryPoint(void* watcher);

 public:
  struct State; /* defined beside the sources */

 private:
  State* mState;
};

#endif /* __cplusplus */

#endif /* QXCORE_QXFILEWATCHER_H */
