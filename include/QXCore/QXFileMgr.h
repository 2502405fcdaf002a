/*
 * QXFileMgr.h — the file manager: standard folders, paths, names, folders and files.
 *
 * Paths cross the interface as file URLs (CFURLRef, POSIX style); Copy and Create results are new
 * references the caller releases. Statuses are 0, an errno value, or -1 when a URL has no
 * file-system path. The functions keep no state and may be called from any thread.
 */
#ifndef QXCORE_QXFILEMGR_H
#define QXCORE_QXFILEMGR_H

#include <QXCore/QXBase.h>
#include <stdbool.h>

QX_EXTERN_C_BEGIN

/* The folder of a folder type (0, 2, 4 and unknown types: the user's data folder; 1: the data
   shared by all users; 3: pictures; 5: documents; 6, 7, 10, 13: the folder of `module` (a handle
   from dlopen, or NULL for the executable); 8, 9: /opt; 11: /usr/lib; 12: the temporary folder),
   with `partialPath` (pieces separated by "/", or NULL) appended. Folders of types 0-5 are created
   when missing. On failure *outURL is NULL and the errno is returned. */
QX_EXPORT int32_t QXFileMgrGetFolderPathCopy(void *module, int32_t folderType, CFStringRef partialPath,
                                             CFURLRef *outURL);
/* `url` with every piece of `partialPath` appended as a directory component; a new reference. */
QX_EXPORT CFURLRef QXFileMgrCreatePathAppendingPartialPath(CFURLRef url, CFStringRef partialPath);
/* Creates every missing folder of the path, outermost first. 0 when it exists or was made. */
QX_EXPORT int32_t QXFileMgrCreateDirectory(CFURLRef url);
QX_EXPORT bool QXFileMgrPathExists(CFURLRef url);
QX_EXPORT bool QXFileMgrIsDir(CFURLRef url);
/* The URL's file-system path, or NULL when it has none; a new reference. */
QX_EXPORT CFStringRef QXFileMgrGetFileSystemRepresentationCopy(CFURLRef url);
/* "/" on this platform; a constant. */
QX_EXPORT CFStringRef QXFileMgrGetPathSeparator(void);

QX_EXTERN_C_END

#endif /* QXCORE_QXFILEMGR_H */
