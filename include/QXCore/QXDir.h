/*
 * QXDir.h — QXDir and QXFile: a folder or a file of the preset folders, named by QXString paths,
 * with the few file-system operations the preset manager needs (through CBaseCoreFile).
 *
 * Paths are POSIX paths joined with "/". Names handed to QXDir's operations (mkdir, rmdir, rename,
 * removePreset) stay inside the folder: an empty name, or one with a "." or ".." component, is
 * refused with kQXErrInvalidArgument and nothing is touched; a QXDir made from an empty path
 * refuses them with kQXErrGeneric.
 *
 * Last error: each class keeps the status of its most recent operation (0 for success, an errno
 * value, kQXErrGeneric for a path that cannot be made into a file URL, or the code a function
 * names). The value is per thread: getLastError() reports the last operation of the calling
 * thread, so threads never read each other's statuses. Every operation except getLastError first
 * sets it to 0.
 *
 * Threads: one thread at a time uses an object; distinct objects are independent.
 */
#ifndef QXCORE_QXDIR_H
#define QXCORE_QXDIR_H

#include <QXCore/QXFileMgr.h>
#include <QXCore/QXPresets.h>

#if defined(__cplusplus)
#include <deque>

class CBaseStreamFile;

class QX_EXPORT QXDir {
 public:
  /* The folder at `path`; its path string is `path` with a "/" appended unless it ends with one. */
  explicit QXDir(const QXString& path);
  /* base/folder/sub: a "/" goes between non-empty text and a non-empty part unless the text
     already ends with one; empty parts are skipped (base "M/", folder "Presets", sub "" gives
     "M/Presets"). The path string is that text ending with "/". */
  QXDir(const QXString& base, const QXString& folder, const QXString& sub);
  /* The URL (made absolute) and the path string are copied; extension filters are not: a copy
     starts with none, and assignment keeps the target's own. */
  QXDir(const QXDir& other);
  QXDir& operator=(const QXDir& other);
  ~QXDir();

  /* The folder's directory URL, borrowed; null when the path is empty. */
  CFURLRef getPath() const;
  /* The path string, always ending with "/" (unless empty). */
  QXString getPathString() const;
  /* Something exists at the folder's path. */
  bool exists() const;

  /* Each returns true when its status is 0; getLastError() then holds that status. */
  /* Creates path string + name with every missing level; true also when it exists. */
  bool mkdir(const QXString& name);
  /* Removes the folder path string + name with everything in it, never following a link out of
     it (see CBaseCoreFile::DeleteFolder). */
  bool rmdir(const QXString& name);
  /* Renames the entry `from` to `to` within this folder. Never replaces: EEXIST when something
     already stands at `to`. */
  bool rename(const QXString& from, const QXString& to);
  /* Deletes the file path string + name (EISDIR for a folder). */
  bool removePreset(const QXString& name);

  /* Name endings that entryList accepts for files (compared ignoring case); empty: all files. */
  void setExtensionFilters(const std::deque<QXString>& filters);
  /* The names (not paths) of the folder's entries, except those whose names begin with ".":
     folders when bit 0 (1) of `filters` is set, files when bit 1 (2) is set and a name ends with
     one of the extension filters (or there are none). Sort order 1 sorts by name ignoring case,
     digits as numbers; any other keeps the file system's order. getLastError() holds the status of
     the listing (ENOENT for a missing folder, which lists nothing). */
  std::deque<QXString> entryList(unsigned int filters, QXFileSortOrder order);

  /* The status of the calling thread's last QXDir operation. */
  static int32_t getLastError();
  /* A new mutable string "Orvex Software"; the caller releases it. */
  static CFMutableStringRef createSoftwareDirectoryName();
  /* "Orvex Software", a constant. */
  static const CFStringRef kSoftwareDirName;

 protected:
  /* Creates the folder at `url` when it does not exist; a failure is logged (level 1, source
     "QXDir::createDirectoryIfNecessary()") and kept as the last error. True when it exists now. */
  static bool createDirectory(CFURLRef url);

 private:
  void setPath(const QXString& text);
  /* A URL for path string + name after checking the name; null with the last error set. */
  CFURLRef createEntryURL(const QXString& name, bool isDirectory) const;

  CFURLRef mPathURL = nullptr;
  QXString mPathString;
  std::deque<QXString>* mFilters = nullptr;

  static thread_local int32_t sLastError;
};

class QX_EXPORT QXFile {
 public:
  /* The file at `path`; closed. */
  explicit QXFile(const QXString& path);
  /* base/folder/category/name + extension: a "/" goes between non-empty text and each part
     unless the text already ends with one; an empty folder or category is skipped (M, F, "",
     "Look", ".ext" gives M/F/Look.ext). */
  QXFile(const QXString& base, const QXString& folder, const QXString& category, const QXString& name,
         const QXString& extension);
  /* Takes the other's URL (made absolute); when the other is open, opens a second stream on the
     file. A mode that truncates ("w", "w+") is opened as "r+" instead, so a copy never empties a
     file that is being written. Assignment closes this file first; self-assignment does nothing.
     A failed reopen leaves the copy closed, with the status in getLastError(). */
  QXFile(const QXFile& other);
  QXFile& operator=(const QXFile& other);
  /* Closes the file when open. */
  ~QXFile();

  /* The file URL, borrowed; null when the path is empty. */
  CFURLRef path() const;
  /* The file's path; empty when there is none. */
  QXString filename() const;
  /* Something exists at the file's path. */
  bool exists() const;

  /* Opens the file with an fopen mode ("r", "w", "a", "r+"...); an open file is closed first.
     True on success; getLastError() holds the status (the errno of fopen). */
  bool open(const QXString& mode);
  /* Closes the file when open. False when flushing buffered writes failed (the data may be lost);
     getLastError() then holds the errno. True when it closed cleanly or was not open. */
  bool close();
  bool isOpen() const { return mOpen; }

  /* Bytes read (0 at the end of the file), or UINT64_MAX on failure (kQXErrGeneric when closed). */
  uint64_t read(char* buffer, uint64_t count);
  /* `count` on success, or UINT64_MAX on failure (kQXErrGeneric when closed). Writes are buffered:
     check close() before trusting them. */
  uint64_t write(const char* buffer, uint64_t count);
  /* The length of the open file into *out and true; closed: *out = 0, false, kQXErrGeneric. */
  bool size(uint64_t* out);
  /* Closes the file when open and deletes it; true when deleted or already absent. */
  bool remove();

  /* Move or copy the file at path `from` to path `to` (file paths). Neither replaces anything:
     EEXIST when something stands at `to`. copy takes a regular file only (a link is followed),
     keeps its modification time and permissions and never leaves a partial target. True on 0. */
  static bool rename(const QXString& from, const QXString& to);
  static bool copy(const QXString& from, const QXString& to);

  /* The status of the calling thread's last QXFile operation. */
  static int32_t getLastError();

 private:
  void closeStream();
  void copyFrom(const QXFile& other);

  CBaseStreamFile* mStream = nullptr;
  CFURLRef mPathURL = nullptr;
  QXString mMode;
  bool mOpen = false;

  static thread_local int32_t sLastError;
};
#endif /* __cplusplus */

#endif /* QXCORE_QXDIR_H */
