// CBasePreferences: an application's settings as an XML property list below the family's folder
// in the user's data folder.
#include <QXCore/QXFileMgr.h>
#include <QXCore/QXLocale.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cf/CFRef.h"
#include "files/CoreFileInternal.h"
#include "files/PreferencesSupport.h"

using qxcf::adopt;
using qxcf::CFRef;

namespace {

CFMutableDictionaryRef createEmptyValues() {
  return CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
}

// Replaces the field with a new owned reference (or null), releasing the old one afterwards.
template <class T>
void assign(T& field, T owned) {
  T old = field;
  field = owned;
  if (old != nullptr) CFRelease(old);
}

enum class Load { kMissing, kUnreadable, kRead };

// The whole file in `bytes`; a folder, a FIFO (never waited on) or anything else that is not a
// readable regular file is unreadable.
Load readWholeFile(const std::string& path, std::string& bytes) {
  int err = qxfiles::ReadRegularFile(path, bytes);
  if (err == ENOENT) return Load::kMissing;
  return err == 0 ? Load::kRead : Load::kUnreadable;
}

// Moves the file at `path` aside as "<file>.unreadable", or "<file>.unreadable 1", 2… when an
// earlier one is there: never replacing, since each may be someone's only copy. 0 or errno
// (ENOENT when the file is gone).
int moveAside(const std::string& path) {
  for (int n = 0; n < 10000; ++n) {
    std::string kept = path + ".unreadable" + (n == 0 ? std::string() : " " + std::to_string(n));
    int err = qxfiles::RenameNoReplace(path, kept);
    if (err != EEXIST) return err;
  }
  return EEXIST;
}

}  // namespace

CBasePreferences::CBasePreferences() : mValues(createEmptyValues()) {}

CBasePreferences::~CBasePreferences() {
  if (mName != nullptr) CFRelease(mName);
  if (mValues != nullptr) CFRelease(mValues);
  if (mFileURL != nullptr) CFRelease(mFileURL);
}

QXStatus CBasePreferences::SetLocation(CFStringRef folder, CFStringRef fileName) {
  if (fileName != nullptr) CFRetain(fileName);
  assign(mName, fileName);
  return SetLocationUrl(folder, fileName);
}

QXStatus CBasePreferences::SetLocationUrl(CFStringRef folder, CFStringRef fileName) {
  bool hasFolder = folder != nullptr && CFStringGetLength(folder) > 0;
  if (!qx::prefs::isFileName(fileName) || (hasFolder && !qx::prefs::isRelativePartialPath(folder))) {
    return kQXErrInvalidArgument;
  }
  CFURLRef baseOut = nullptr;
  int32_t status = QXFileMgrGetFolderPathCopy(nullptr, 0, CFSTR("Orvex Software"), &baseOut);
  CFRef<CFURLRef> folderURL = adopt(baseOut);
  if (status != 0) return status;
  if (!folderURL) return kQXErrMemory;
  if (hasFolder) folderURL = adopt(QXFileMgrCreatePathAppendingPartialPath(folderURL.get(), folder));
  if (!folderURL) return kQXErrMemory;
  status = QXFileMgrCreateDirectory(folderURL.get());
  if (status != 0) return status;

  CFRef<CFURLRef> fileURL = adopt(CFURLCreateCopyAppendingPathComponent(nullptr, folderURL.get(), fileName, false));
  std::string path;
  if (!fileURL) return kQXErrMemory;
  status = qxfiles::PathFromURL(fileURL.get(), path);
  if (status != 0) return status;

  std::string bytes;
  Load load = readWholeFile(path, bytes);
  CFRef<CFMutableDictionaryRef> values;
  if (load == Load::kRead) {
    CFRef<CFDataRef> data =
        adopt(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()), static_cast<CFIndex>(bytes.size())));
    CFRef<CFPropertyListRef> plist = adopt(
        data ? CFPropertyListCreateWithData(nullptr, data.get(), kCFPropertyListMutableContainers, nullptr, nullptr)
             : nullptr);
    if (plist && CFGetTypeID(plist.get()) == CFDictionaryGetTypeID()) {
      values = adopt(CFDictionaryCreateMutableCopy(nullptr, 0, static_cast<CFDictionaryRef>(plist.get())));
    } else {
      load = Load::kUnreadable;  // not a property list, or not a dictionary
    }
  }
  if (!values) values = adopt(createEmptyValues());
  if (!values) return kQXErrMemory;

  assign(mValues, static_cast<CFMutableDictionaryRef>(values.release()));
  assign(mFileURL, fileURL.release());
  mKeepUnreadable = load == Load::kUnreadable;
  return 0;
}

CFPropertyListRef CBasePreferences::CopyAppValue(CFStringRef key) const {
  if (key == nullptr || mValues == nullptr) return nullptr;
  const void* value = CFDictionaryGetValue(mValues, key);
  return value != nullptr ? CFRetain(value) : nullptr;
}

void CBasePreferences::SetAppValue(CFStringRef key, CFPropertyListRef value) {
  if (key == nullptr || mValues == nullptr) return;
  if (value == nullptr) {
    CFDictionaryRemoveValue(mValues, key);
  } else {
    CFDictionarySetValue(mValues, key, value);
  }
}

QXStatus CBasePreferences::Synchronize() {
  if (mFileURL == nullptr || mValues == nullptr) return kQXErrInvalidArgument;
  std::string path;
  int32_t status = qxfiles::PathFromURL(mFileURL, path);
  if (status != 0) return status;
  CFRef<CFDataRef> data = adopt(CFPropertyListCreateData(nullptr, mValues, kCFPropertyListXMLFormat_v1_0, 0, nullptr));
  if (!data) return kQXErrGeneric;

  if (mKeepUnreadable) {
    // The file we could not read may be the user's only copy of the settings (or another
    // program's file): move it aside rather than overwrite it.
    int err = moveAside(path);
    if (err != 0 && err != ENOENT) return err;
    mKeepUnreadable = false;
  }
  return qxfiles::ReplaceFileContents(path, CFDataGetBytePtr(data.get()),
                                      static_cast<size_t>(CFDataGetLength(data.get())));
}
