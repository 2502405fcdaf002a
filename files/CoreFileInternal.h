// Helpers shared by the file manager, the trash, file records and file operations: URL/path
// conversion with the library's status rules, and the copy/move/remove primitives that never
// follow a symbolic link out of the tree they work on.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <sys/stat.h>

#include <string>
#include <type_traits>

#include "cf/CFRef.h"

namespace qxfiles {

using qxcf::CFRef;

// Status of a URL that has no file-system path (not a file URL, or no path at all).
constexpr int kNoPath = -1;

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

// Copies one regular file (or re-creates a symbolic link) onto `target`, replacing what is there
// atomically: the data go to a temporary file beside the target that is renamed into place. The
// modification time and permission bits are kept. 0 or errno.
int CopyFile(const std::string& source, const std::string& target);

// Copies a file, link or whole folder tree to `target`, which must not exist for folders. Links
// are copied as links, never followed. Modification times are kept. 0 or errno.
int CopyTree(const std::string& source, const std::string& target);

// Removes a file, a link (the link itself) or a whole folder tree without ever following a
// symbolic link. 0 or errno (ENOENT when nothing is there).
int RemoveTree(const std::string& path);

// rename(), falling back to copy and remove when the two paths are on different file systems.
// `replace` false refuses (EEXIST) when something stands at the target. 0 or errno.
int MoveItem(const std::string& source, const std::string& target, bool replace);

// Runs f for a function of the C interface, where nothing may throw: memory exhaustion inside
// the C++ code becomes -108 (or false, NULL, nothing, as the function returns).
template <class F>
auto NoThrow(F&& f) noexcept -> decltype(f()) {
  using R = decltype(f());
  try {
    return f();
  } catch (...) {
    if constexpr (std::is_void_v<R>) {
      return;
    } else if constexpr (std::is_same_v<R, int32_t>) {
      return -108;
    } else {
      return R{};
    }
  }
}

}  // namespace qxfiles
