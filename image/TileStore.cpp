// The disk store of purged tiles: the process's cache folder, one slot file per record, the shutdown sweep.
#include "image/TileStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

#include "core/Fd.h"
#include "files/CoreFileInternal.h"
#include "image/ImageRec.h"
#include "image/ImageTile.h"

namespace {

using qx::Fd;

constexpr char kFolderPrefix[] = "QXImageCache-";
constexpr char kLockName[] = ".lock";
constexpr int64_t kTilePixels = int64_t(qximage::kTile) * qximage::kTile;
// No grid has more tiles than this, so no image needs more slots.
constexpr int32_t kMaxSlots = int32_t(qximage::kMaxTiles);

int64_t SlotBytes(const CImageRec* image) { return int64_t(image->mColBytes) * kTilePixels; }

// Moves `count` bytes at `offset` with pread or pwrite, however many calls it takes. Running out
// of file before `count` bytes is a failure (EIO): a reader must not take whatever its fresh
// storage held for the tile's pixels.
template <class Transfer, class Bytes>
int32_t TransferAll(Transfer transfer, int fd, Bytes* data, int64_t count, int64_t offset) {
  while (count > 0) {
    ssize_t done = transfer(fd, data, size_t(count), off_t(offset));
    if (done < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (done == 0) return EIO;
    data += done;
    count -= done;
    offset += done;
  }
  return 0;
}

int32_t WriteAll(int fd, const uint8_t* data, int64_t count, int64_t offset) {
  return TransferAll(::pwrite, fd, data, count, offset);
}

int32_t ReadAll(int fd, uint8_t* data, int64_t count, int64_t offset) {
  return TransferAll(::pread, fd, data, count, offset);
}

// The process identifier of a name "QXImageCache-<digits>"; 0 for any other name, -1 for digits
// that no process can have.
int64_t FolderPID(const char* name) {
  const size_t prefix = sizeof(kFolderPrefix) - 1;
  if (std::strncmp(name, kFolderPrefix, prefix) != 0) return 0;
  const char* digits = name + prefix;
  if (*digits == '\0') return 0;
  int64_t pid = 0;
  for (const char* c = digits; *c; ++c) {
    if (*c < '0' || *c > '9') return 0;
    if (pid <= INT_MAX) pid = pid * 10 + (*c - '0');
  }
  return pid > 0 && pid <= INT_MAX ? pid : -1;
}

bool ProcessRuns(int64_t pid) {
  if (pid <= 0) return false;
  return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

// Deletes a leftover folder of a process that no longer runs. Only our own folders and links are
// touched, and a folder whose lock file is locked belongs to a live process we cannot see (another
// PID namespace sharing this folder) and is kept. The lock is held while the folder goes.
void SweepEntry(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || st.st_uid != ::geteuid()) return;
  if (S_ISLNK(st.st_mode)) {
    ::unlink(path.c_str());
    return;
  }
  if (!S_ISDIR(st.st_mode)) return;
  Fd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (dir.get() < 0) return;
  Fd lock(::openat(dir.get(), kLockName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (lock.get() >= 0) {
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) return;
  } else if (errno != ENOENT && errno != ELOOP) {
    return;
  }
  qxfiles::RemoveTree(path);
}

// Creates (or takes over) the process folder and locks it. EAGAIN when the folder vanished or
// was locked meanwhile (a sweep of another process at work), so the caller may try again.
int32_t MakeProcessFolder(const std::string& path, int& outLock) {
  if (::mkdir(path.c_str(), 0700) != 0) {
    if (errno != EEXIST) return errno;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? EAGAIN : errno;
    if (S_ISLNK(st.st_mode)) return ELOOP;
  }
  // A folder that was there already must be a real folder of ours: never a link someone planted
  // towards a place they can read, nor a folder of another user.
  Fd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (dir.get() < 0) return errno == ENOENT ? EAGAIN : errno;
  struct stat st;
  if (::fstat(dir.get(), &st) != 0) return errno;
  if (st.st_uid != ::geteuid()) return EACCES;
  if ((st.st_mode & 07777) != 0700 && ::fchmod(dir.get(), 0700) != 0) return errno;
  Fd lock(::openat(dir.get(), kLockName, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  if (lock.get() < 0) return errno == ENOENT ? EAGAIN : errno;
  if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK ? EAGAIN : errno;
  // A sweep may have removed the folder between our mkdir and our lock; the lock then guards
  // nothing, so check that both still stand where they should.
  struct stat lockSt, now;
  if (::fstat(lock.get(), &lockSt) != 0) return errno;
  if (lockSt.st_nlink == 0 || ::lstat(path.c_str(), &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino) {
    return EAGAIN;
  }
  outLock = lock.release();
  return 0;
}

}  // namespace

namespace qximage {

std::string ProcessFolderName() { return kFolderPrefix + std::to_string(unsigned(::getpid())); }

std::string DefaultBaseFolder() {
  const char* tmp = std::getenv("TMPDIR");
  std::string base = tmp && tmp[0] == '/' ? tmp : "/tmp";
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base;
}

}  // namespace qximage

CTileStoreFile::CTileStoreFile() = default;

CTileStoreFile::~CTileStoreFile() {
  std::lock_guard<std::mutex> guard(mMutex);
  RemoveProcessFolderLocked();
}

void CTileStoreFile::SetBaseFolder(const std::string& path) {
  std::lock_guard<std::mutex> guard(mMutex);
  mBaseFolder = path;
  while (mBaseFolder.size() > 1 && mBaseFolder.back() == '/') mBaseFolder.pop_back();
}

std::string CTileStoreFile::BaseFolder() {
  std::lock_guard<std::mutex> guard(mMutex);
  return mBaseFolder.empty() ? qximage::DefaultBaseFolder() : mBaseFolder;
}

std::string CTileStoreFile::ProcessFolder() {
  std::lock_guard<std::mutex> guard(mMutex);
  return mProcessFolder;
}

size_t CTileStoreFile::OpenFiles() {
  std::lock_guard<std::mutex> guard(mMutex);
  return mOpenFiles;
}

int32_t CTileStoreFile::Prepare() {
  return qxfiles::NoThrow([&] {
    std::lock_guard<std::mutex> guard(mMutex);
    return PrepareLocked();
  });
}

int32_t CTileStoreFile::PrepareLocked() {
  if (mFolderCreated) return 0;
  if (mProcessFolder.empty()) {
    const std::string base = mBaseFolder.empty() ? qximage::DefaultBaseFolder() : mBaseFolder;
    mProcessFolder = qxfiles::JoinPath(base, qximage::ProcessFolderName());
  }
  // A few tries ride out a sweep by another process that is deleting a stale folder of the same
  // name (same process number in another PID namespace) at this moment.
  int32_t err = 0;
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (attempt) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    err = MakeProcessFolder(mProcessFolder, mLockFD);
    if (err == 0) {
      mFolderCreated = true;
      return 0;
    }
    if (err != EAGAIN) return err;
  }
  return EBUSY;
}

void CTileStoreFile::CloseItem(Item& item) {
  if (item.fd < 0) return;
  ::close(item.fd);
  item.fd = -1;
  --mOpenFiles;
}

int32_t CTileStoreFile::OpenItemLocked(CImageRec* image, bool create, Item*& out) {
  auto found = mItems.find(image);
  if (found == mItems.end()) {
    if (!create) return ENOENT;
    mItemOrder.reserve(mItemOrder.size() + 1);  // so that the two never disagree when memory runs out
    found = mItems.emplace(image, Item{}).first;
    mItemOrder.push_back(image);
  }
  Item& item = found->second;
  out = &item;
  if (item.fd >= 0) return 0;
  // After a shutdown the folder may be made afresh elsewhere.
  if (!item.opened) item.path = qxfiles::JoinPath(mProcessFolder, "Image-" + std::to_string(image->mInternalID));
  // The first open empties whatever a dead process with our number left under this name; later
  // opens (after the open-file rule closed the file) keep the slots written so far.
  const int flags = O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (item.opened ? 0 : O_TRUNC);
  auto closeEarliest = [this] {
    for (CImageRec* other : mItemOrder) {
      Item& candidate = mItems.at(other);
      if (candidate.fd >= 0) {
        CloseItem(candidate);
        return true;
      }
    }
    return false;
  };
  if (mOpenFiles >= kMaxOpenFiles) closeEarliest();
  int fd = ::open(item.path.c_str(), flags, 0600);
  // The process ran out of descriptors: give one of ours back and try once more.
  if (fd < 0 && (errno == EMFILE || errno == ENFILE) && closeEarliest()) fd = ::open(item.path.c_str(), flags, 0600);
  if (fd < 0) return errno;
  item.fd = fd;
  item.opened = true;
  ++mOpenFiles;
  return 0;
}

int32_t CTileStoreFile::WriteTiles(CFArrayRef tiles) {
  const CFIndex count = tiles ? CFArrayGetCount(tiles) : 0;
  if (count == 0) return 0;
  return qxfiles::NoThrow([&] { return WriteTilesLocked(tiles, count); });
}

int32_t CTileStoreFile::WriteTilesLocked(CFArrayRef tiles, CFIndex count) {
  std::lock_guard<std::mutex> guard(mMutex);
  CImageTile* first = qx::ObjectAt<CImageTile>(tiles, 0);
  CImageRec* image = first ? first->mParent : nullptr;
  if (!image || image->mColBytes <= 0) return EINVAL;
  if (int32_t err = PrepareLocked()) return err;
  Item* item = nullptr;
  int32_t err = OpenItemLocked(image, true, item);
  if (err == ENOENT) {
    // Our folder was removed behind our back (a cleaner of temporary files): make it again.
    if (mLockFD >= 0) ::close(mLockFD);
    mLockFD = -1;
    mFolderCreated = false;
    err = PrepareLocked();
    if (err == 0) err = OpenItemLocked(image, true, item);
  }
  if (err != 0) return err;
  const int64_t slotBytes = SlotBytes(image);
  for (CFIndex i = 0; i < count; ++i) {
    CImageTile* tile = qx::ObjectAt<CImageTile>(tiles, i);
    if (!tile || tile->mParent != image) return EINVAL;
    const uint8_t* data = tile->DataPtr();
    if (!data || tile->mAllocSize < slotBytes) return EINVAL;
    if (tile->mStoreSlot < 0) {
      if (item->nextSlot >= kMaxSlots) return EFBIG;
      tile->mStoreSlot = item->nextSlot++;
    }
    if (tile->mStoreSlot >= kMaxSlots) return EINVAL;
    // A slot still held by a tile of a forgotten item is never handed to another tile.
    item->nextSlot = std::max(item->nextSlot, tile->mStoreSlot + 1);
    const size_t slot = size_t(tile->mStoreSlot);
    if (item->stored.size() <= slot) item->stored.resize(slot + 1);
    // A slot half overwritten holds neither the old tile nor the new one.
    item->stored[slot] = false;
    if (int32_t err = WriteAll(item->fd, data, slotBytes, tile->mStoreSlot * slotBytes)) return err;
    item->stored[slot] = true;
  }
  return 0;
}

int32_t CTileStoreFile::ReadTile(CImageTile* tile) {
  if (!tile || !tile->mParent || tile->mParent->mColBytes <= 0 || tile->mStoreSlot < 0 ||
      tile->mStoreSlot >= kMaxSlots) {
    return EINVAL;
  }
  std::lock_guard<std::mutex> guard(mMutex);
  CImageRec* image = tile->mParent;
  const int64_t slotBytes = SlotBytes(image);
  uint8_t* data = tile->DataPtr();
  if (!data || tile->mAllocSize < slotBytes) return EINVAL;
  // Only a slot whose write completed in the current file holds the tile; anything else (a hole,
  // a failed write, a file deleted by a shutdown) would hand out bytes that are not the tile's.
  auto found = mItems.find(image);
  const size_t slot = size_t(tile->mStoreSlot);
  if (found == mItems.end() || found->second.stored.size() <= slot || !found->second.stored[slot]) return ENOENT;
  Item* item = nullptr;
  if (int32_t err = qxfiles::NoThrow([&] { return OpenItemLocked(image, false, item); })) return err;
  return ReadAll(item->fd, data, slotBytes, tile->mStoreSlot * slotBytes);
}

bool CTileStoreFile::Holds(CImageTile* tile) {
  if (tile == nullptr || tile->mStoreSlot < 0) return false;
  std::lock_guard<std::mutex> guard(mMutex);
  auto found = mItems.find(tile->mParent);
  const size_t slot = size_t(tile->mStoreSlot);
  return found != mItems.end() && found->second.stored.size() > slot && found->second.stored[slot];
}

int32_t CTileStoreFile::Flush() {
  std::lock_guard<std::mutex> guard(mMutex);
  return 0;
}

int32_t CTileStoreFile::RemoveImage(CImageRec* image) {
  std::lock_guard<std::mutex> guard(mMutex);
  auto found = mItems.find(image);
  if (found == mItems.end()) return 0;
  CloseItem(found->second);
  if (found->second.opened) ::unlink(found->second.path.c_str());
  mItems.erase(found);
  mItemOrder.erase(std::find(mItemOrder.begin(), mItemOrder.end(), image));
  return 0;
}

void CTileStoreFile::RemoveProcessFolderLocked() {
  for (auto& [image, item] : mItems) {
    CloseItem(item);
    item.opened = false;
    item.stored.clear();
  }
  // Only a folder this store made (or took over and locked) is deleted; a path refused by
  // Prepare, such as a planted link, is left alone. The lock is let go only once it is gone.
  if (mFolderCreated) qxfiles::RemoveTree(mProcessFolder);
  if (mLockFD >= 0) ::close(mLockFD);
  mLockFD = -1;
  mFolderCreated = false;
  mProcessFolder.clear();
}

void CTileStoreFile::Shutdown() {
  qxfiles::NoThrow([this] { ShutdownLocked(); });
}

void CTileStoreFile::ShutdownLocked() {
  std::lock_guard<std::mutex> guard(mMutex);
  const std::string base = mBaseFolder.empty() ? qximage::DefaultBaseFolder() : mBaseFolder;
  const int64_t self = ::getpid();
  std::vector<std::pair<std::string, int64_t>> candidates;
  if (DIR* dir = ::opendir(base.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const int64_t pid = FolderPID(entry->d_name);
      if (pid != 0 && pid != self) candidates.emplace_back(entry->d_name, pid);
    }
    ::closedir(dir);
  }
  // Each process is looked at after the listing, so one that started meanwhile is seen running.
  for (const auto& [name, pid] : candidates) {
    if (!ProcessRuns(pid)) SweepEntry(qxfiles::JoinPath(base, name));
  }
  RemoveProcessFolderLocked();
}
