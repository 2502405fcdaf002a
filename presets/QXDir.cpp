#include <QXCore/QXDir.h>
#include <QXCore/QXLog.h>

#include <string>

#include "cf/CFRef.h"
#include "files/CoreFileInternal.h"
#include "presets/QXDirPaths.h"

using qxcf::CFRef;

const CFStringRef QXDir::kSoftwareDirName = CFSTR("Orvex Software");
thread_local int32_t QXDir::sLastError = 0;

namespace {

// A name must stay inside the folder it is joined to: "", "." and ".." pieces would name the
// folder itself or its parent (rmdir("") would remove the whole folder).
bool NameStaysInside(const QXString& name) {
  std::string text = qxfiles::UTF8(name.toCFString());
  if (text.empty()) return false;
  size_t start = 0;
  while (true) {
    size_t end = text.find('/', start);
    std::string piece = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (piece == "." || piece == "..") return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

}  // namespace

QXDir::QXDir(const QXString& path) {
  sLastError = 0;
  setPath(path);
}

QXDir::QXDir(const QXString& base, const QXString& folder, const QXString& sub) {
  sLastError = 0;
  QXString text(base);
  qxpresets::AppendPathPart(text, folder);
  qxpresets::AppendPathPart(text, sub);
  setPath(text);
}

QXDir::QXDir(const QXDir& other) : mPathString(other.mPathString) {
  sLastError = 0;
  if (other.mPathURL != nullptr) mPathURL = CFURLCopyAbsoluteURL(other.mPathURL);
}

QXDir& QXDir::operator=(const QXDir& other) {
  sLastError = 0;
  if (this == &other) return *this;
  CFURLRef url = other.mPathURL != nullptr ? CFURLCopyAbsoluteURL(other.mPathURL) : nullptr;
  if (mPathURL != nullptr) CFRelease(mPathURL);
  mPathURL = url;
  mPathString = other.mPathString;
  return *this;
}

QXDir::~QXDir() {
  if (mPathURL != nullptr) CFRelease(mPathURL);
  delete mFilters;
}

void QXDir::setPath(const QXString& text) {
  mPathURL = CBaseCoreFile::CreateFileSystemRepresentation(text.toCFString(), true);
  mPathString = text;
  if (!text.isEmpty() && !text.endsWith(static_cast<unsigned short>('/'))) mPathString += "/";
}

CFURLRef QXDir::getPath() const {
  sLastError = 0;
  return mPathURL;
}

QXString QXDir::getPathString() const {
  sLastError = 0;
  return mPathString;
}

bool QXDir::exists() const {
  sLastError = 0;
  return CBaseCoreFile::PathExists(mPathURL);
}

CFURLRef QXDir::createEntryURL(const QXString& name, bool isDirectory) const {
  // Without a folder the name alone would be taken from the current folder.
  if (mPathURL == nullptr) {
    sLastError = kQXErrGeneric;
    return nullptr;
  }
  if (!NameStaysInside(name)) {
    sLastError = kQXErrInvalidArgument;
    return nullptr;
  }
  QXString path(mPathString);
  path += name;
  CFURLRef url = CBaseCoreFile::CreateFileSystemRepresentation(path.toCFString(), isDirectory);
  if (url == nullptr) sLastError = kQXErrGeneric;
  return url;
}

bool QXDir::mkdir(const QXString& name) {
  sLastError = 0;
  CFRef<CFURLRef> url = qxcf::adopt(createEntryURL(name, true));
  if (!url) return false;
  sLastError = CBaseCoreFile::CreateDirectoryW(url.get());
  return sLastError == 0;
}

bool QXDir::rmdir(const QXString& name) {
  sLastError = 0;
  CFRef<CFURLRef> url = qxcf::adopt(createEntryURL(name, true));
  if (!url) return false;
  sLastError = CBaseCoreFile::DeleteFolder(url.get());
  return sLastError == 0;
}

bool QXDir::rename(const QXString& from, const QXString& to) {
  sLastError = 0;
  CFRef<CFURLRef> source = qxcf::adopt(createEntryURL(from, true));
  if (!source) return false;
  CFRef<CFURLRef> target = qxcf::adopt(createEntryURL(to, true));
  if (!target) return false;
  // The file manager's move refuses an existing target (EEXIST) rather than replacing it.
  sLastError = CBaseCoreFile::MoveFileW(source.get(), target.get());
  return sLastError == 0;
}

bool QXDir::removePreset(const QXString& name) {
  sLastError = 0;
  CFRef<CFURLRef> url = qxcf::adopt(createEntryURL(name, false));
  if (!url) return false;
  sLastError = CBaseCoreFile::DeleteFileW(url.get());
  return sLastError == 0;
}

void QXDir::setExtensionFilters(const std::deque<QXString>& filters) {
  sLastError = 0;
  auto* copy = new std::deque<QXString>(filters);
  delete mFilters;
  mFilters = copy;
}

std::deque<QXString> QXDir::entryList(unsigned int filters, QXFileSortOrder order) {
  sLastError = 0;
  std::deque<QXString> names;
  CFArrayRef listed = nullptr;
  int32_t status = CBaseCoreFile::GetFolderContentsCopy(mPathURL, nullptr, order, &listed);
  CFRef<CFArrayRef> entries = qxcf::adopt(listed);
  sLastError = status;
  if (!entries) return names;
  for (CFIndex i = 0, n = CFArrayGetCount(entries.get()); i < n; ++i) {
    const auto* entry = static_cast<const CBaseFile*>(CFArrayGetValueAtIndex(entries.get(), i));
    QXString name(entry->GetFileName());
    if (CBaseCoreFile::IsDir(entry->GetLocation())) {
      if (filters & 1u) names.push_back(name);
      continue;
    }
    if (!(filters & 2u)) continue;
    bool accepted = mFilters == nullptr || mFilters->empty();
    for (size_t f = 0; !accepted && f < mFilters->size(); ++f) accepted = name.endsWith((*mFilters)[f], false);
    if (accepted) names.push_back(name);
  }
  return names;
}

int32_t QXDir::getLastError() { return sLastError; }

CFMutableStringRef QXDir::createSoftwareDirectoryName() {
  sLastError = 0;
  CFMutableStringRef name = CFStringCreateMutable(kCFAllocatorDefault, 0);
  if (name != nullptr) CFStringAppend(name, kSoftwareDirName);
  return name;
}

bool QXDir::createDirectory(CFURLRef url) {
  sLastError = 0;
  if (CBaseCoreFile::PathExists(url)) return true;
  // The file manager takes a null URL as nothing to do; here it would be a folder that never exists.
  sLastError = url != nullptr ? CBaseCoreFile::CreateDirectoryW(url) : kQXErrGeneric;
  if (sLastError != 0)
    QXLogWithParams(1, CFSTR("QXDir::createDirectoryIfNecessary()"), sLastError,
                    CFSTR("Could not create directory: %@"), url);
  return sLastError == 0;
}
