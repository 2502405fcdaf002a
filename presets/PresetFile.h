// Preset files: the XML property list of a preset's root dictionary. Files are shared between
// users and downloaded, so reading takes regular files only, never blocks on anything else and
// stops at a size no preset comes near; writing replaces a file as a whole or not at all.
// Exported for the library's tests, benchmarks and fuzz targets.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXBase.h>

#include <string>
#include <vector>

namespace qxpresets {

constexpr size_t kMaxPresetFileBytes = 16u << 20;

// The root dictionary of a property list (XML or binary) with mutable containers, which the
// caller releases; null when the bytes are not a property list whose root is a dictionary.
QX_EXPORT CFMutableDictionaryRef CreatePresetDictionary(const void* bytes, size_t count);

// 0 with the file's root dictionary in *out (the caller releases it); errno from reading (EFBIG
// above kMaxPresetFileBytes, ENOTSUP for a FIFO or device, EISDIR); kQXErrUnsupportedFormat when
// the file is not a property list whose root is a dictionary.
QX_EXPORT QXStatus ReadPresetFile(const std::string& path, CFMutableDictionaryRef* out);

// Writes the dictionary as an XML property list: to a hidden temporary file beside `path`,
// synced, renamed into place. With `replace` false an existing file stays (EEXIST). 0, errno, or
// kQXErrUnsupportedFormat when the dictionary holds something a property list cannot.
QX_EXPORT QXStatus WritePresetFile(const std::string& path, CFDictionaryRef dictionary, bool replace = true);

// Where a preset's common fields stand in its root dictionary: the dictionary under
// "presetCommonData" when there is one, otherwise the root itself. Borrowed; null for null.
CFDictionaryRef CommonData(CFDictionaryRef root);

enum ListKinds : unsigned { kListFolders = 1, kListFiles = 2 };
// The names of a folder's entries of the given kinds, in the order the file system gives them;
// names starting with "." are left out. A symbolic link counts as what it points to (a dangling
// one as nothing). 0 or errno (the list is then empty).
int ListFolder(const std::string& folder, unsigned kinds, std::vector<std::string>& names);

}  // namespace qxpresets
