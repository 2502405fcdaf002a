/*
 * QXFileMgr.h — the file manager: standard folders, paths, names, folders and files, the trash;
 * file records (CBaseFile) and batch copy/move operations (QXFileOperation).
 *
 * Paths cross the interface as file URLs (CFURLRef, POSIX style); Copy and Create results are new
 * references the caller releases. Statuses are 0, an errno value, or kQXErrGeneric (-1) when a URL
 * has no file-system path (a URL that is not a file URL, or one without a path). Paths are limited
 * to PATH_MAX bytes; a longer one gives ENAMETOOLONG. The functions keep no state, take no locks
 * and may be called from any thread; none of them logs.
 */
#ifndef QXCORE_QXFILEMGR_H
#define QXCORE_QXFILEMGR_H

#include <QXCore/QXBase.h>
#include <stdbool.h>

/* Folder listing order: 1 sorts by name (CBaseFile::CompareByName for records, plain
   case-sensitive comparison for paths); every other value keeps the order of the file system. */
typedef int32_t QXFileSortOrder;
enum { kQXFileSortOrderNone = 0, kQXFileSortOrderName = 1 };

/* A product version: major, minor, build. */
typedef struct QXVersionInfo {
  int32_t major;
  int32_t minor;
  int32_t build;
} QXVersionInfo;

/* Status of RestoreRecycledItem when something already stands at the former path. */
enum { kQXFileMgrErrFileExists = 80 };

typedef struct __QXFileOperation* QXFileOperationRef;

QX_EXTERN_C_BEGIN

/* ---- Folders and paths ---- */

/* The folder of a folder type (0, 2, 4 and unknown types: the user's data folder, $XDG_DATA_HOME
   or ~/.local/share; 1: the data shared by all users, $QX_SHARED_DATA_DIR, else the first writable
   folder of $XDG_DATA_DIRS, else the user's data folder; 3: pictures and 5: documents, from
   $XDG_CONFIG_HOME/user-dirs.dirs, else ~/Pictures and ~/Documents; 6, 7, 10, 13: the folder of
   `module` (a handle from dlopen, or NULL for the executable); 8, 9: /opt; 11: /usr/lib; 12:
   $TMPDIR or /tmp), with `partialPath` (pieces separated by "/", or NULL) appended. The folders of
   types 0-5 are created when missing (not the partial path). On failure *outURL is NULL and the
   errno is returned (kQXErrGeneric for a module handle dlinfo does not know, kQXErrMemory when
   memory runs out). */
QX_EXPORT QXStatus QXFileMgrGetFolderPathCopy(void* module, int32_t folderType, CFStringRef partialPath,
                                              CFURLRef* outURL);
/* The executable's folder + partialPath (may be NULL) + name, with "." and `extension` appended
   when the extension is not NULL or empty. 0, or the errno with *outURL NULL. */
QX_EXPORT QXStatus QXFileMgrGetResourceURLCopy(CFStringRef name, CFStringRef extension, CFStringRef partialPath,
                                               CFURLRef* outURL);
/* `url` with every piece of `partialPath` appended as a directory component (empty pieces are
   skipped); a new reference. */
QX_EXPORT CFURLRef QXFileMgrCreatePathAppendingPartialPath(CFURLRef url, CFStringRef partialPath);
/* `url` without its last component, with `name` appended; a new reference. */
QX_EXPORT CFURLRef QXFileMgrCreateCopyReplacingLastPathComponent(CFURLRef url, CFStringRef name, bool isDirectory);
/* A file URL for a POSIX path (relative paths are taken from the current folder); NULL for an
   empty path. */
QX_EXPORT CFURLRef QXFileMgrCreateFileSystemRepresentation(CFStringRef path, bool isDirectory);
QX_EXPORT CFURLRef QXFileMgrCreateFileSystemRepresentationFromUnichar(const UniChar* chars, CFIndex count,
                                                                      bool isDirectory);
/* The URL's file-system path, or NULL when it has none; a new reference. */
QX_EXPORT CFStringRef QXFileMgrGetFileSystemRepresentationCopy(CFURLRef url);
/* The path as a zero-terminated UTF-8 or UTF-16 buffer the caller frees with free(); NULL when
   the URL has no path. */
QX_EXPORT char* QXFileMgrGetFileSystemRepresentationUTF8Copy(CFURLRef url);
QX_EXPORT UniChar* QXFileMgrGetFileSystemRepresentationUnicharCopy(CFURLRef url);
/* Something (a file, folder or symbolic link, even a dangling one) exists at the path. */
QX_EXPORT bool QXFileMgrPathExists(CFURLRef url);
/* The path exists and is a folder (a link to a folder counts). */
QX_EXPORT bool QXFileMgrIsDir(CFURLRef url);
/* "/" on this platform; a constant. */
QX_EXPORT CFStringRef QXFileMgrGetPathSeparator(void);

/* ---- Folders and files ---- */

/* Creates every missing folder of the path, outermost first; the first failure stops and is
   returned. 0 when it exists or was made, and for a NULL url; kQXErrGeneric without a path. */
QX_EXPORT QXStatus QXFileMgrCreateDirectory(CFURLRef url);
/* Removes the folder and everything in it. Symbolic links are removed, never followed: nothing
   outside the folder is touched. A link given as `url` is itself removed. A path whose last
   component is "." or ".." gives EINVAL and "/" EBUSY, with nothing removed. 0, ENOENT when nothing
   is there, or the first errno met (the rest is still removed); kQXErrGeneric without a path. */
QX_EXPORT QXStatus QXFileMgrDeleteFolder(CFURLRef url);
/* Deletes one file (or link); 0 also when the URL has no path. EISDIR for a folder. */
QX_EXPORT QXStatus QXFileMgrDeleteFile(CFURLRef url);
/* Moves (renames) a file or folder; EEXIST when something stands at the target. Across file systems
   the item is copied (modification times kept) and then removed. kQXErrGeneric when either URL has
   no path. */
QX_EXPORT QXStatus QXFileMgrMoveFile(CFURLRef source, CFURLRef target);
/* Copies a regular file (a link given as `source` is followed) onto the target, replacing it
   atomically (a reader sees the old file or the new one); the modification time and permissions
   are kept. A FIFO, device or socket gives ENOTSUP without waiting on it, a folder EISDIR.
   kQXErrGeneric when either URL has no path. */
QX_EXPORT QXStatus QXFileMgrCopyFile(CFURLRef source, CFURLRef target);
/* Deletes the target when it exists (a failure is returned), then moves the source there; on
   success *outURL receives the target (retained), else NULL. */
QX_EXPORT QXStatus QXFileMgrReplaceFileWithFile(CFURLRef source, CFURLRef target, CFURLRef* outURL);

/* ---- Listings ---- */

/* The folder's entries, except those whose names begin with ".", as file records (CBaseFile,
   retained by the array, modification dates set). With `extensions` (strings, NULL for all) only
   entries whose extension equals one of them, ignoring case, are kept. Sort order 1 orders by
   name (A1, a2, a10). *outArray always receives a new array (empty on failure or without a path,
   which gives 0). Returns 0 or the errno of the listing. */
QX_EXPORT QXStatus QXFileMgrGetFolderContentsCopy(CFURLRef folder, CFArrayRef extensions, QXFileSortOrder order,
                                                  CFArrayRef* outArray);
/* The same entries as paths (CFStrings); `extensions` is ignored; sort order 1 compares the paths
   case-sensitively. Each path component that is not UTF-8 is read as Latin-1; the others keep
   their UTF-8 text. */
QX_EXPORT QXStatus QXFileMgrGetFolderPathsCopy(CFURLRef folder, CFArrayRef extensions, QXFileSortOrder order,
                                               CFArrayRef* outArray);
/* Bytes free to unprivileged users on the path's file system; *outBytes is 0 on failure. */
QX_EXPORT QXStatus QXFileMgrGetBytesFreeFromPath(CFURLRef url, uint64_t* outBytes);
/* The caller may write in the folder (access W_OK) and its file system is not mounted read-only.
   Always 0; *outWritable is false on any failure. */
QX_EXPORT QXStatus QXFileMgrGetFolderWritable(CFURLRef url, bool* outWritable);

/* ---- Names and extensions ---- */

/* The text after the last "." of `name`, lower-cased; "" when there is none. */
QX_EXPORT CFStringRef QXFileMgrGetNormalizedExtNameCopy(CFStringRef name);
/* The URL's path extension lower-cased, or NULL when it has none. */
QX_EXPORT CFStringRef QXFileMgrGetNormalizedExtCopy(CFURLRef url);
/* The last path component without its extension. */
QX_EXPORT CFStringRef QXFileMgrGetFileNameNoExtCopy(CFURLRef url);
/* Deletes from the last "." to the end; unchanged when there is no ".". */
QX_EXPORT void QXFileMgrStripFileExt(CFMutableStringRef name);
/* The first free name in `folder`: for Photo.jpg (hasExtension true) the candidates are Photo.jpg,
   Photo 1.jpg, Photo 2.jpg...; with an empty suffix Photo 1.jpg, Photo 2.jpg...; with the suffix
   "copy" Photo copy.jpg, Photo copy1.jpg... A candidate is taken when nothing exists at its path
   and it is not one of `excluded` (URLs, may be NULL). NULL when `name` is empty, ".", "..", holds
   a "/" or when the folder has no path. */
QX_EXPORT CFURLRef QXFileMgrCreateUniquePathName(CFURLRef folder, CFStringRef name, bool hasExtension,
                                                 CFStringRef suffix, CFArrayRef excluded);
/* CreateUniquePathName with hasExtension true and no exclusions; 0, or kQXErrGeneric with *outURL
   NULL. */
QX_EXPORT QXStatus QXFileMgrCreateUniqueFileNameTemp(CFURLRef folder, CFStringRef name, CFStringRef suffix,
                                                     CFURLRef* outURL);
/* Each of " * / : < > ? \ | and U+0000 becomes a space, then trailing full stops are removed (so
   the result is never "." or ".."; "..." gives ""). NULL only when memory runs out. */
QX_EXPORT CFStringRef QXFileMgrCreateLegalFileName(CFStringRef name);
/* The image's path with its extension replaced by ".xmp" (IMG_1.CR2 gives IMG_1.xmp). 0, or
   kQXErrGeneric without a path. */
QX_EXPORT QXStatus QXFileMgrCreateSidecarPathForImage(CFURLRef imageURL, CFURLRef* outURL);

/* ---- Links, trash, versions ---- */

/* The target of a symbolic link (all links resolved); anything else is its own target. 0, or the
   errno (ENOENT for a dangling link) with *outURL NULL; kQXErrGeneric without a path. */
QX_EXPORT QXStatus QXFileMgrResolveLink(CFURLRef url, CFURLRef* outURL);
/* Moves the item to the trash of its file system (freedesktop.org Trash: $XDG_DATA_HOME/Trash,
   or $topdir/.Trash-$uid on other file systems) and records it in a .trashinfo file. *outURL
   receives NULL. 0, the errno, or kQXErrGeneric without a path. */
QX_EXPORT QXStatus QXFileMgrRecycleItemCopy(CFURLRef url, CFURLRef* outURL);
/* True when a trash exists or can be made for the item's file system, and for a URL without a
   path. */
QX_EXPORT bool QXFileMgrCanRecycleItem(CFURLRef url);
/* Puts the most recently trashed item whose recorded path is `former` back there (creating missing
   parent folders) and removes its .trashinfo. kQXFileMgrErrFileExists when something already stands
   at the former path, ENOENT when no trashed item matches, kQXErrGeneric without a path, else 0 or
   the errno. `other` is not consulted. */
QX_EXPORT QXStatus QXFileMgrRestoreRecycledItem(CFURLRef former, CFURLRef other);
/* Linux files carry no version resource: *outName is NULL and *outVersion zeroed; the result is
   ENODATA for an existing file, the errno (ENOENT...) otherwise, kQXErrGeneric without a path. */
QX_EXPORT QXStatus QXFileMgrGetFileVersionInfoCopy(CFURLRef url, CFStringRef* outName, QXVersionInfo* outVersion);
/* No volume display names are provided: always NULL. */
QX_EXPORT CFStringRef QXFileMgrGetVolumeDisplayNameCopy(CFStringRef path);

/* ---- File operations: batches of copy and move commands ----
 * An operation is used by one thread at a time. Items are copied (folders recursively, links as
 * links, modification times kept) or moved (renamed, or copied and removed across file systems)
 * into the destination folder, never replacing what is there. */

/* A new operation with no commands, or NULL when memory runs out. */
QX_EXPORT QXFileOperationRef QXFileOperationCreate(void);
QX_EXPORT void QXFileOperationRetain(QXFileOperationRef operation);
QX_EXPORT void QXFileOperationRelease(QXFileOperationRef operation);
/* Append a command (items: CFArray of file URLs, copied so that later changes to a mutable
   array do not reach the command; destination: a folder URL, retained). 0, EINVAL for NULL
   items, or kQXErrMemory when memory runs out. */
QX_EXPORT QXStatus QXFileOperationCopyItems(QXFileOperationRef operation, CFArrayRef items, CFURLRef destination);
QX_EXPORT QXStatus QXFileOperationMoveItems(QXFileOperationRef operation, CFArrayRef items, CFURLRef destination);
/* Runs every command in the order added, each item in array order, without prompts. A missing destination folder is
   created. An item whose name is taken in the destination gets the library's unique name: with the suffix "copy" when
   copied into its own folder (Photo copy.jpg, Photo copy1.jpg...), with the counter otherwise (Photo 1.jpg, Photo
   2.jpg...); an item moved into its own folder stays as it is. Names that are not UTF-8 are renamed by the same rule
   on their bytes. Nothing at the destination is ever replaced: an item that appears at the chosen name meanwhile is
   kept and the next free name is taken; a file swapped for a symbolic link while a folder is copied fails the copy
   (ELOOP) rather than being followed. Stops at the first failure and returns its errno (kQXErrGeneric for a URL
   without a path, EINVAL for a folder copied or moved into itself); what was done before stays done. `progress` (a
   CBaseCore, may be NULL) is retained in place of the previous one but not called. The commands stay: a second call
   runs them again. */
QX_EXPORT QXStatus QXFileOperationPerformOperations(QXFileOperationRef operation, void* progress);

QX_EXTERN_C_END

#if defined(__cplusplus)
#include <time.h>

/* The file manager's helpers as static members; each QXFileMgr function forwards to its member of
   the same name (CreateDirectoryW, DeleteFileW, MoveFileW and CopyFileW for QXFileMgrCreateDirectory,
   QXFileMgrDeleteFile, QXFileMgrMoveFile and QXFileMgrCopyFile). Results and statuses as above;
   when memory runs out the members may throw std::bad_alloc, where the functions return kQXErrMemory
   (NULL, false). */
class QX_EXPORT CBaseCoreFile {
 public:
  static QXStatus GetFolderPathCopy(void* module, int32_t folderType, CFStringRef partialPath, CFURLRef* outURL);
  static QXStatus GetResourceURLCopy(CFStringRef name, CFStringRef extension, CFStringRef partialPath,
                                     CFURLRef* outURL);
  static CFURLRef CreatePathAppendingPartialPath(CFURLRef url, CFStringRef partialPath);
  static CFURLRef CreateCopyReplacingLastPathComponent(CFURLRef url, CFStringRef name, bool isDirectory);
  static CFURLRef CreateFileSystemRepresentation(CFStringRef path, bool isDirectory);
  static CFURLRef CreateFileSystemRepresentation(const UniChar* chars, CFIndex count, bool isDirectory);
  static CFStringRef GetFileSystemRepresentationCopy(CFURLRef url);
  static char* GetFileSystemRepresentationUTF8Copy(CFURLRef url);
  static UniChar* GetFileSystemRepresentationUnicharCopy(CFURLRef url);
  static bool PathExists(CFURLRef url);
  static bool IsDir(CFURLRef url);
  static CFStringRef GetPathSeparator();

  static QXStatus CreateDirectoryW(CFURLRef url);
  /* One folder whose parent exists: 0, the errno (EEXIST when it exists), kQXErrGeneric without a
     path. */
  static QXStatus CreateDirectoryInternal(CFURLRef url);
  static QXStatus DeleteFolder(CFURLRef url);
  static QXStatus DeleteFileW(CFURLRef url);
  static QXStatus MoveFileW(CFURLRef source, CFURLRef target);
  static QXStatus CopyFileW(CFURLRef source, CFURLRef target);
  static QXStatus ReplaceFileWithFile(CFURLRef source, CFURLRef target, CFURLRef* outURL);

  static QXStatus GetFolderContentsCopy(CFURLRef folder, CFArrayRef extensions, QXFileSortOrder order,
                                        CFArrayRef* outArray);
  static QXStatus GetFolderPathsCopy(CFURLRef folder, CFArrayRef extensions, QXFileSortOrder order,
                                     CFArrayRef* outArray);
  static QXStatus GetBytesFreeFromPath(CFURLRef url, uint64_t* outBytes);
  static QXStatus GetFolderWritable(CFURLRef url, bool* outWritable);

  static CFStringRef GetNormalizedExtCopy(CFStringRef name);
  static CFStringRef GetNormalizedExtCopy(CFURLRef url);
  static CFStringRef GetFileNameNoExtCopy(CFURLRef url);
  static void StripFileExt(CFMutableStringRef name);
  static CFURLRef CreateUniquePathName(CFURLRef folder, CFStringRef name, bool hasExtension, CFStringRef suffix,
                                       CFArrayRef excluded);
  static CFURLRef CreateUniqueFileName(CFURLRef folder, CFStringRef name, CFStringRef suffix, CFArrayRef excluded);
  static QXStatus CreateUniqueFileNameTemp(CFURLRef folder, CFStringRef name, CFStringRef suffix, CFURLRef* outURL);
  static CFStringRef CreateLegalFileName(CFStringRef name);
  static QXStatus CreateSidecarPathForImage(CFURLRef imageURL, CFURLRef* outURL);

  static QXStatus ResolveLink(CFURLRef url, CFURLRef* outURL);
  static QXStatus RecycleItemCopy(CFURLRef url, CFURLRef* outURL);
  static bool CanRecycleItem(CFURLRef url);
  static QXStatus RestoreRecycledItem(CFURLRef former, CFURLRef other);
  static QXStatus GetFileVersionInfoCopy(CFURLRef url, CFStringRef* outName, QXVersionInfo* outVersion);
  static CFStringRef GetVolumeDisplayNameCopy(CFStringRef path);
};

/* Helpers that have no source of data on Linux; each gives its "not found" result. */
class QX_EXPORT CBaseCoreWin {
 public:
  /* There are no string resources: always NULL. */
  static CFStringRef LoadStringW(void* module, uint32_t stringID);
  /* There are no named process privileges: always ENOSYS. */
  static QXStatus EnablePrivilege(CFStringRef privilegeName, bool enable);
  /* There are no shell item lists: always NULL. */
  static CFURLRef SHGetTargetFolderPath(const void* itemIDList);
};

/* One entry of a folder listing: its URL, modification date (may be NULL) and file name. Copies
   share (retain) the three references. Not safe for concurrent modification. */
class QX_EXPORT CBaseFile : public CBaseCore {
 public:
  CBaseFile();
  /* location = folder + name (not a folder URL); no date. */
  CBaseFile(CFURLRef folder, CFStringRef name);
  CBaseFile(const CBaseFile& other);
  CBaseFile& operator=(const CBaseFile& other);
  ~CBaseFile() override;

  /* Sets the location (the file name taken from it) and the date; both retained. */
  void Init(CFURLRef location, CFDateRef modDate);
  void SetLocation(CFURLRef location);
  void SetLocation(CFURLRef folder, CFStringRef name);
  void SetModDate(CFDateRef modDate);
  /* Borrowed references. */
  CFDateRef GetModDate() const { return mModDate; }
  CFURLRef GetLocation() const { return mLocation; }
  CFStringRef GetFileName() const { return mFileName; }

  /* Reads the entry's modification time into the date: 0, the errno, or kQXErrGeneric without a
     path. */
  QXStatus LoadInfo();

  /* Names compared case- and diacritic-insensitively, digits as numbers (A1, a2, a10). */
  CFComparisonResult CompareByName(const CBaseFile& other) const;
  /* The same for CFArray sorting; a and b are CBaseFile pointers. */
  static CFComparisonResult CompareByNameFunc(const void* a, const void* b, void* context);
  /* CFDateCompare; a record without a date sorts first. */
  CFComparisonResult CompareByModDate(const CBaseFile& other) const;
  /* A date from a file time (seconds and nanoseconds since 1970, UTC), at millisecond
     precision; a new reference. */
  static CFDateRef CreateCFDateFromFileTime(const struct timespec& fileTime);

 private:
  friend class CBaseCoreFile;
  /* For listings, which have the name at hand: sets all three fields (each retained). */
  void InitListed(CFURLRef location, CFStringRef name, CFDateRef modDate);

  CFURLRef mLocation = nullptr;
  CFDateRef mModDate = nullptr;
  CFStringRef mFileName = nullptr;
};
#endif /* __cplusplus */

#endif /* QXCORE_QXFILEMGR_H */
