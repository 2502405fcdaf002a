#include <QXCore/QXDir.h>
#include <QXCore/QXStream.h>

#include <cstdint>
#include <string>

#include "cf/CFRef.h"
#include "files/CoreFileInternal.h"
#include "presets/QXDirPaths.h"

using qxcf::CFRef;

thread_local int32_t QXFile::sLastError = 0;

namespace {

constexpr uint64_t kFailed = UINT64_MAX;

// The mode for a second stream on a file another object has open: "w" would empty the file the
// other one is writing, so the copy reads and writes it in place instead.
QXString ModeForSecondStream(const QXString& mode) {
  if (mode.indexOf("w") < 0) return mode;
  return QXString("r+");
}

}  // namespace

QXFile::QXFile(const QXString& path) : mMode("r") {
  sLastError = 0;
  mPathURL = CBaseCoreFile::CreateFileSystemRepresentation(path.toCFString(), false);
}

QXFile::QXFile(const QXString& base, const QXString& folder, const QXString& category, const QXString& name,
               const QXString& extension)
    : mMode("r") {
  sLastError = 0;
  QXString text(base);
  qxpresets::AppendPathPart(text, folder);
  qxpresets::AppendPathPart(text, category);
  QXString file(name);
  file += extension;
  qxpresets::AppendPathPart(text, file);
  mPathURL = CBaseCoreFile::CreateFileSystemRepresentation(text.toCFString(), false);
}

QXFile::QXFile(const QXFile& other) : mMode("r") {
  sLastError = 0;
  copyFrom(other);
}

QXFile& QXFile::operator=(const QXFile& other) {
  sLastError = 0;
  if (this == &other) return *this;
  closeStream();
  mMode = QXString("r");
  copyFrom(other);
  return *this;
}

QXFile::~QXFile() {
  closeStream();
  if (mPathURL != nullptr) CFRelease(mPathURL);
}

void QXFile::copyFrom(const QXFile& other) {
  CFURLRef url = other.mPathURL != nullptr ? CFURLCopyAbsoluteURL(other.mPathURL) : nullptr;
  if (mPathURL != nullptr) CFRelease(mPathURL);
  mPathURL = url;
  if (other.mOpen) open(ModeForSecondStream(other.mMode));
}

void QXFile::closeStream() {
  if (mStream == nullptr) return;
  mStream->Close();
  sLastError = mStream->GetCloseStatus();
  mStream->Release();
  mStream = nullptr;
  mOpen = false;
}

CFURLRef QXFile::path() const {
  sLastError = 0;
  return mPathURL;
}

QXString QXFile::filename() const {
  sLastError = 0;
  CFRef<CFStringRef> path = qxcf::adopt(CBaseCoreFile::GetFileSystemRepresentationCopy(mPathURL));
  return QXString(path.get());
}

bool QXFile::exists() const {
  sLastError = 0;
  return CBaseCoreFile::PathExists(mPathURL);
}

bool QXFile::open(const QXString& mode) {
  sLastError = 0;
  // A second open would otherwise leak the first stream and its descriptor.
  closeStream();
  if (mPathURL == nullptr) {
    sLastError = kQXErrGeneric;
    return false;
  }
  auto* stream = new CBaseStreamFile(mPathURL, mode.toCFString());
  int32_t status = stream->Open();
  if (status != 0) {
    stream->Release();
    sLastError = status;
    return false;
  }
  mStream = stream;
  mMode = mode;
  mOpen = true;
  return true;
}

bool QXFile::close() {
  sLastError = 0;
  if (!mOpen) return true;
  closeStream();
  mMode.clear();
  return sLastError == 0;
}

uint64_t QXFile::read(char* buffer, uint64_t count) {
  sLastError = 0;
  if (!mOpen) {
    sLastError = kQXErrGeneric;
    return kFailed;
  }
  int32_t status = mStream->ReadChunk(buffer, true, count);
  sLastError = status;
  return status == 0 ? count : kFailed;
}

uint64_t QXFile::write(const char* buffer, uint64_t count) {
  sLastError = 0;
  if (!mOpen) {
    sLastError = kQXErrGeneric;
    return kFailed;
  }
  uint64_t written = count;
  int32_t status = mStream->WriteChunk(buffer, written);
  sLastError = status;
  return status == 0 ? count : kFailed;
}

bool QXFile::size(uint64_t* out) {
  sLastError = 0;
  uint64_t length = 0;
  sLastError = mOpen ? mStream->GetLength(length) : kQXErrGeneric;
  if (out != nullptr) *out = sLastError == 0 ? length : 0;
  return sLastError == 0;
}

bool QXFile::remove() {
  sLastError = 0;
  close();
  sLastError = 0;
  if (!CBaseCoreFile::PathExists(mPathURL)) return true;
  sLastError = CBaseCoreFile::DeleteFileW(mPathURL);
  return sLastError == 0;
}

bool QXFile::rename(const QXString& from, const QXString& to) {
  sLastError = 0;
  CFRef<CFURLRef> source = qxcf::adopt(CBaseCoreFile::CreateFileSystemRepresentation(from.toCFString(), false));
  CFRef<CFURLRef> target = qxcf::adopt(CBaseCoreFile::CreateFileSystemRepresentation(to.toCFString(), false));
  // The file manager's move refuses an existing target (EEXIST) rather than replacing it.
  sLastError = CBaseCoreFile::MoveFileW(source.get(), target.get());
  return sLastError == 0;
}

bool QXFile::copy(const QXString& from, const QXString& to) {
  sLastError = 0;
  CFRef<CFURLRef> source = qxcf::adopt(CBaseCoreFile::CreateFileSystemRepresentation(from.toCFString(), false));
  CFRef<CFURLRef> target = qxcf::adopt(CBaseCoreFile::CreateFileSystemRepresentation(to.toCFString(), false));
  std::string sourcePath, targetPath;
  int32_t status = qxfiles::PathFromURL(source.get(), sourcePath);
  if (status == 0) status = qxfiles::PathFromURL(target.get(), targetPath);
  // CBaseCoreFile::CopyFileW would replace the target; a copy here must never overwrite a file.
  if (status == 0) status = qxfiles::CopyFileWith(sourcePath, targetPath, qxfiles::kCopyNoReplace);
  sLastError = status;
  return status == 0;
}

int32_t QXFile::getLastError() { return sLastError; }
