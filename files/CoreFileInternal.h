// Helpers shared by the file manager, the trash, file records and file operations: URL/path
// conversion with the library's status rules, and the copy/move/remove primitives that never
// follow a symbolic link out of the tree they work on.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXBase.h>
#include <stdint.h>
#include <sys/stat.h>

#include <string>
#include <type_traits>
#include <vector>

#include "cf/CFRef.h"

namespace qxfiles {

using qxcf::CFRef;

// Status of a URL that has no file-system path (not a file URL, or no path at all).
constexpr int32_t kNoPath = kQXErrGeneric;

// The absolute file-system path of `url` in `out`: 0, kNoPath, or ENAMETOOLONG when the path
// does not fit in PATH_MAX bytes (with its terminating zero).
int PathFromURL(CFURLRef url, std::string& out);

// A file URL for an absolute path (bytes kept as they are); null only when memory runs out.
CFURLRef CreateURLFromPath(const std::string& path, bool isDirectory);

// UTF-8 text of a string ("" for null); a string from UTF-8 bytes (null when not UTF-8).
std::string UTF8(CFStringRef string);
CFStringRef CreateString(const std::string& utf8);

// The parent folder and last component of an absolute path ("/a/b" gives "/a" and "b").
std::string ParentPath(const std::string& path);
std::string LastComponent(const std::string& path);
// folder + "/" + name, without doubling the slash of "/".
std::string JoinPath(const std::string& folder, const std::string& name);

// lstat/stat that report existence without errno noise.
bool Exists(const std::string& path);  // anything, including a dangling symbolic link
bool IsDirectory(const std::string& path);

// Creates every missing folder of `path`, outermost first; 0 or the first failure's errno.
int MakeDirectories(const std::string& path, mode_t mode = 0777);

// The user's home folder: $HOME when absolute, else the password database's entry. 0 or errno.
int HomeFolder(std::string& out);
// $XDG_DATA_HOME when absolute, else HomeFolder()/.local/share. 0 or errno.
int DataHome(std::string& out);

// The whole of a regular file (a symbolic link to one is followed), read through a close-on-exec
// descriptor. Anything else is refused as OpenRegularFile refuses it, without blocking; a file of
// more than maxBytes gives EFBIG. 0 or errno.
int ReadRegularFile(const std::string& path, std::string& out, size_t maxBytes = SIZE_MAX);
// Replaces the file at `path` with `count` bytes as a whole: written to a hidden temporary file
// beside it, synced, and renamed into place; an existing file keeps its permissions. With
// `replace` false nothing standing at `path` is replaced (EEXIST). 0 or errno.
int32_t ReplaceFileContents(const std::string& path, const UInt8* bytes, size_t count, bool replace = true);

// Opens `path` for reading, close-on-exec, only when it is a regular file: a FIFO or device is
// never waited on (ENOTSUP), a folder gives EISDIR. `extraFlags` may add O_NOFOLLOW. The stat
// of the opened file in `st`. A descriptor, or -1 with errno set.
int OpenRegularFile(const std::string& path, int extraFlags, struct stat& st);

// Copies one regular file onto `target` (a symbolic link given as `source` is followed), replacing
// what is there atomically: the data go to a temporary file beside the target that is renamed
// into place. The modification time and permission bits are kept. FIFOs, devices and sockets
// give ENOTSUP, folders EISDIR. 0 or errno.
int CopyFile(const std::string& source, const std::string& target);

enum CopyOptions : unsigned {
  kCopyNoFollow = 1,   // a symbolic link at `source` gives ELOOP instead of being followed
  kCopyNoReplace = 2,  // something standing at `target` when the copy is put in place gives EEXIST
};
// CopyFile with CopyOptions.
int CopyFileWith(const std::string& source, const std::string& target, unsigned options);

// Copies a file, link or whole folder tree to `target`, which must not exist for folders. Links
// are copied as links, never followed, even when an entry is swapped for a link while the copy
// runs. Modification times are kept. 0 or errno.
int CopyTree(const std::string& source, const std::string& target);
// CopyTree that never replaces anything: EEXIST when `target` (file, link or folder) is taken,
// even when it appears while the copy runs.
int CopyTreeNoReplace(const std::string& source, const std::string& target);

// Removes a file, a link (the link itself) or a whole folder tree without ever following a
// symbolic link. A path whose last component is "." or ".." gives EINVAL and "/" EBUSY, before
// anything is removed. 0 or errno (ENOENT when nothing is there).
int RemoveTree(const std::string& path);

// The unique-name rule on bytes: the first of "name", "name 1", "name 2"… (with `suffix`:
// "name suffix", "name suffix1"…; an empty suffix starts at "name 1") with the extension kept
// last when `hasExtension`, that does not exist in `folder` and is not in `excludedPaths`. False
// for a name that is empty, "." or ".." or holds "/". `suffix` null means no suffix.
bool UniqueName(const std::string& folder, const std::string& name, bool hasExtension, const char* suffix,
                const std::vector<std::string>& excludedPaths, std::string& outName);

// rename() that never replaces: EEXIST when something stands at `to`. File systems without
// RENAME_NOREPLACE get link() and unlink() for files (as atomic) and check-then-rename for
// folders. 0 or errno.
int RenameNoReplace(const std::string& from, const std::string& to);

// rename(), falling back to copy and remove when the two paths are on different file systems.
// `replace` false refuses (EEXIST) when something stands at the target. 0 or errno.
int MoveItem(const std::string& source, const std::string& target, bool replace);

// Runs f for a function of the C interface, where nothing may throw: memory exhaustion inside
// the C++ code becomes kQXErrMemory (or false, NULL, nothing, as the function returns).
template <class F>
auto NoThrow(F&& f) noexcept -> decltype(f()) {
  using R = decltype(f());
  try {
    return f();
  } catch (...) {
    if constexpr (std::is_void_v<R>) {
      return;
    } else if constexpr (std::is_same_v<R, int32_t>) {
      return kQXErrMemory;
    } else {
      return R{};
    }
  }
}

// Test seam: when set, called at the moments a race could strike ("CopyTree.checked" after the
// source was examined and before it is opened; "FileOperation.target" after a free target name
// was chosen and before the copy or move), with the path concerned. Null in normal use.
extern void (*gRaceHook)(const char* moment, const char* path);
inline void RaceHook(const char* moment, const std::string& path) {
  if (gRaceHook) gRaceHook(moment, path.c_str());
}

}  // namespace qxfiles
