// CBaseCoreFile: the trash, laid out as freedesktop.org desktops share it. Items on the file
// system of $XDG_DATA_HOME go to $XDG_DATA_HOME/Trash; items elsewhere go to the trash at the top
// of their own file system ($topdir/.Trash/$uid when the administrator made a valid .Trash,
// else $topdir/.Trash-$uid), so that trashing is always a rename, never a copy across disks.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <QXCore/QXFileMgr.h>

#include <cstring>
#include <optional>
#include <sstream>
#include <vector>

#include "files/CoreFileInternal.h"
#include "files/CoreFileTesting.h"

using namespace qxfiles;

namespace {

struct Trash {
  std::string dir;     // the folder holding files/ and info/
  std::string topdir;  // empty for the home trash, whose Path keys are absolute
};

// The device of the nearest existing entry on the way up from `path`; `follow` for folders
// that are used through a link (the data home), not for the item, which moves as it is.
bool DeviceOf(std::string path, dev_t& device, bool follow) {
  struct stat st;
  while ((follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) {
    if (path == "/" || path == ".") return false;
    path = ParentPath(path);
  }
  device = st.st_dev;
  return true;
}

// The item at `path` with the folders above it resolved, or, when it is gone, the nearest
// existing folder above it, resolved: walking up from the result walks up real folders.
std::string ResolvedExisting(const std::string& path) {
  std::string existing = path;
  while (existing != "/" && !Exists(existing)) existing = ParentPath(existing);
  if (existing == "/") return existing;
  const bool isItem = existing == path;
  char* resolved = ::realpath((isItem ? ParentPath(existing) : existing).c_str(), nullptr);
  if (!resolved) return existing;
  std::string result = isItem ? JoinPath(resolved, LastComponent(existing)) : std::string(resolved);
  ::free(resolved);
  return result;
}

// The mount point of the file system holding `path` (which exists): the highest ancestor on the
// same device.
std::string TopDir(const std::string& path, dev_t device) {
  std::string top = path;
  while (top != "/") {
    std::string parent = ParentPath(top);
    struct stat st;
    if (::lstat(parent.c_str(), &st) != 0 || st.st_dev != device) break;
    top = parent;
  }
  return top;
}

// A folder we own and may use: a real folder (not a link), owned by us, writable.
bool UsableOwnFolder(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
         ::access(path.c_str(), W_OK | X_OK) == 0;
}

// Makes `path` (mode 0700) when missing and checks that it is a folder we own.
bool EnsureOwnFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  return UsableOwnFolder(path);
}

bool EnsureParentWritable(std::string path) {
  while (!Exists(path)) {
    if (path == "/") return false;
    path = ParentPath(path);
  }
  return IsDirectory(path) && ::access(path.c_str(), W_OK | X_OK) == 0;
}

// The trashes that may hold items of the file system of `path`, best first. With `create`, the
// first one is made ready (folders created) and only usable trashes are returned; without it,
// trashes that could be made count too.
std::vector<Trash> TrashesFor(const std::string& path, bool create) {
  std::vector<Trash> result;
  std::string dataHome;
  dev_t itemDevice, homeDevice;
  const std::string existing = ResolvedExisting(path);
  if (!DeviceOf(existing, itemDevice, false)) return result;
  if (DataHome(dataHome) == 0 && DeviceOf(dataHome, homeDevice, true) && homeDevice == itemDevice) {
    std::string dir = dataHome + "/Trash";
    if (create) {
      if (MakeDirectories(dataHome, 0700) == 0 && EnsureOwnFolder(dir) && EnsureOwnFolder(dir + "/files") &&
          EnsureOwnFolder(dir + "/info"))
        result.push_back({dir, {}});
    } else if (UsableOwnFolder(dir) || (!Exists(dir) && EnsureParentWritable(dataHome))) {
      result.push_back({dir, {}});
    }
    return result;
  }
  std::string top = TopDir(existing, itemDevice);
  std::string uid = std::to_string(::getuid());
  // $topdir/.Trash is used only as the freedesktop.org trash rules allow: a real folder (not a
  // link) with the sticky bit; otherwise it is ignored and .Trash-$uid is used.
  struct stat st;
  std::string shared = JoinPath(top, ".Trash");
  if (::lstat(shared.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX)) {
    std::string dir = shared + "/" + uid;
    bool ok = create ? EnsureOwnFolder(dir) && EnsureOwnFolder(dir + "/files") && EnsureOwnFolder(dir + "/info")
                     : UsableOwnFolder(dir) || (!Exists(dir) && ::access(shared.c_str(), W_OK | X_OK) == 0);
    if (ok) result.push_back({dir, top});
  }
  std::string own = JoinPath(top, ".Trash-" + uid);
  bool ok = create ? EnsureOwnFolder(own) && EnsureOwnFolder(own + "/files") && EnsureOwnFolder(own + "/info")
                   : UsableOwnFolder(own) || (!Exists(own) && ::access(top.c_str(), W_OK | X_OK) == 0);
  if (ok) result.push_back({own, top});
  return result;
}

// Percent-encoding of a path for the Path key: every byte but unreserved characters and "/".
std::string Encode(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || std::strchr("-_.~/", c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::optional<std::string> Decode(const std::string& text) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    int high = hex(text[i + 1]), low = hex(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    char byte = static_cast<char>(high * 16 + low);
    if (byte == '\0') return std::nullopt;
    out += byte;
    i += 2;
  }
  return out;
}

std::string TrimSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Reserves a name in the trash by creating its .trashinfo exclusively, as the trash rules ask,
// so that two processes never pick the same name, and writes the record. The name goes to
// `name`; 0 or errno.
int WriteInfo(const Trash& trash, const std::string& itemName, const std::string& recordedPath, std::string& name) {
  size_t dot = itemName.rfind('.');
  bool split = dot != std::string::npos && dot != 0 && dot + 1 < itemName.size();
  std::string base = split ? itemName.substr(0, dot) : itemName;
  std::string extension = split ? itemName.substr(dot) : std::string();
  // The info file adds ".trashinfo" and a counter may add " n": a long name is shortened (at a
  // UTF-8 character boundary) so that it can still be trashed. Path= keeps the real name.
  const size_t room = NAME_MAX - std::strlen(".trashinfo") - 12;
  if (extension.size() > room / 2) {
    extension.clear();
    base = itemName;
  }
  if (base.size() + extension.size() > room) {
    size_t keep = room - extension.size();
    while (keep > 0 && (static_cast<unsigned char>(base[keep]) & 0xC0) == 0x80) --keep;
    base.resize(keep);
  }
  const std::string first = base + extension;
  char date[32];
  time_t now = ::time(nullptr);
  struct tm local;
  ::localtime_r(&now, &local);
  ::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
  std::string record = "[Trash Info]\nPath=" + Encode(recordedPath) + "\nDeletionDate=" + date + "\n";
  for (long n = 0;; ++n) {
    name = n == 0 ? first : base + " " + std::to_string(n) + extension;
    std::string info = trash.dir + "/info/" + name + ".trashinfo";
    if (info.size() >= PATH_MAX) return ENAMETOOLONG;
    int fd = ::open(info.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return errno;
    }
    if (Exists(trash.dir + "/files/" + name)) {
      ::close(fd);
      ::unlink(info.c_str());
      continue;
    }
    ssize_t written = ::write(fd, record.data(), record.size());
    int err = written == static_cast<ssize_t>(record.size()) ? 0 : (written < 0 ? errno : EIO);
    if (::close(fd) != 0 && !err) err = errno;
    if (err) ::unlink(info.c_str());
    return err;
  }
}

struct Found {
  std::string infoPath;
  std::string itemPath;
  std::string date;
  struct timespec infoTime {};
};

// Reads one .trashinfo: the decoded Path (absolute) and DeletionDate of its [Trash Info] group.
bool ReadInfo(const std::string& file, const Trash& trash, std::string& path, std::string& date) {
  std::string text;
  if (ReadRegularFile(file, text) != 0) return false;
  std::istringstream in(text);
  std::string line;
  bool inGroup = false, sawGroup = false;
  path.clear();
  date.clear();
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '[') {
      inGroup = line == "[Trash Info]";
      sawGroup = sawGroup || inGroup;
      continue;
    }
    if (!inGroup) continue;
    if (line.compare(0, 5, "Path=") == 0 && path.empty()) {
      std::optional<std::string> decoded = Decode(line.substr(5));
      if (!decoded || decoded->empty()) return false;
      path = (*decoded)[0] == '/' || trash.topdir.empty() ? *decoded : JoinPath(trash.topdir, *decoded);
    } else if (line.compare(0, 13, "DeletionDate=") == 0) {
      date = line.substr(13);
    }
  }
  return sawGroup && !path.empty() && path[0] == '/';
}

}  // namespace

QXStatus CBaseCoreFile::RecycleItemCopy(CFURLRef url, CFURLRef* outURL) {
  if (outURL) *outURL = nullptr;
  std::string path;
  if (int err = PathFromURL(url, path)) return err;
  path = TrimSlashes(path);
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return errno;
  if (path == "/") return EBUSY;
  std::vector<Trash> trashes = TrashesFor(path, true);
  if (trashes.empty()) return EACCES;
  const Trash& trash = trashes.front();
  std::string recorded = path;
  if (!trash.topdir.empty() && trash.topdir != "/" && path.compare(0, trash.topdir.size() + 1, trash.topdir + "/") == 0)
    recorded = path.substr(trash.topdir.size() + 1);
  std::string name;
  if (int err = WriteInfo(trash, LastComponent(path), recorded, name)) return err;
  std::string info = trash.dir + "/info/" + name + ".trashinfo";
  if (int err = MoveItem(path, trash.dir + "/files/" + name, false)) {
    ::unlink(info.c_str());
    return err;
  }
  return 0;
}

bool CBaseCoreFile::CanRecycleItem(CFURLRef url) {
  std::string path;
  int err = PathFromURL(url, path);
  if (err == kNoPath) return true;
  if (err) return false;
  return !TrashesFor(TrimSlashes(path), false).empty();
}

QXStatus CBaseCoreFile::RestoreRecycledItem(CFURLRef former, CFURLRef) {
  std::string path;
  if (int err = PathFromURL(former, path)) return err;
  path = TrimSlashes(path);
  if (Exists(path)) return kQXFileMgrErrFileExists;
  // The home trash always, and the trashes of the former path's own file system.
  std::vector<Trash> trashes;
  std::string dataHome;
  if (DataHome(dataHome) == 0) trashes.push_back({dataHome + "/Trash", {}});
  for (Trash& one : TrashesFor(path, false)) {
    if (trashes.empty() || one.dir != trashes.front().dir) trashes.push_back(std::move(one));
  }
  std::optional<Found> best;
  for (const Trash& trash : trashes) {
    std::string infoDir = trash.dir + "/info";
    DIR* dir = ::opendir(infoDir.c_str());
    if (!dir) continue;
    while (struct dirent* entry = ::readdir(dir)) {
      std::string file = entry->d_name;
      const std::string suffix = ".trashinfo";
      if (file.size() <= suffix.size() || file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0)
        continue;
      std::string recorded, date;
      std::string infoPath = infoDir + "/" + file;
      if (!ReadInfo(infoPath, trash, recorded, date) || TrimSlashes(recorded) != path) continue;
      std::string item = trash.dir + "/files/" + file.substr(0, file.size() - suffix.size());
      struct stat st;
      if (!Exists(item) || ::stat(infoPath.c_str(), &st) != 0) continue;
      // Newest by the recorded date; the info file's own time breaks ties within one second.
      bool newer = !best || date > best->date ||
                   (date == best->date &&
                    (st.st_mtim.tv_sec > best->infoTime.tv_sec ||
                     (st.st_mtim.tv_sec == best->infoTime.tv_sec && st.st_mtim.tv_nsec > best->infoTime.tv_nsec)));
      if (newer) best = Found{infoPath, item, date, st.st_mtim};
    }
    ::closedir(dir);
  }
  if (!best) return ENOENT;  // 2: nothing in the trash came from there
  if (int err = MakeDirectories(ParentPath(path))) return err;
  int err = MoveItem(best->itemPath, path, false);
  if (err == EEXIST) return kQXFileMgrErrFileExists;
  if (err) return err;
  ::unlink(best->infoPath.c_str());
  return 0;
}

// ---- Function twins ----

QXStatus QXFileMgrRecycleItemCopy(CFURLRef url, CFURLRef* outURL) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::RecycleItemCopy(url, outURL); });
}
bool QXFileMgrCanRecycleItem(CFURLRef url) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::CanRecycleItem(url); });
}
QXStatus QXFileMgrRestoreRecycledItem(CFURLRef former, CFURLRef other) {
  return qxfiles::NoThrow([&] { return CBaseCoreFile::RestoreRecycledItem(former, other); });
}

std::string qx::testing::HomeTrashFolder() {
  std::string dataHome;
  return DataHome(dataHome) == 0 ? dataHome + "/Trash" : std::string();
}

void qx::testing::SetFileRaceHook(void (*hook)(const char* moment, const char* path)) { qxfiles::gRaceHook = hook; }
