/*
 * QXUnzip.h — reading zip archives: list the entries of an archive and extract them, one at a
 * time, to a file or safely into a folder.
 *
 * Statuses are those of the unzip library (0, kQXUnzipEndOfList, kQXUnzipErrBadArgument,
 * kQXUnzipErrBadZipFile, kQXUnzipErrCRC), the two codes of this family below, kQXErrGeneric (-1)
 * when the archive cannot be opened or read, kQXErrMemory, and errno values for the files written.
 *
 * A reader takes no lock: use one from one thread at a time. Different readers, even on the same
 * archive, are independent.
 */
#ifndef QXCORE_QXUNZIP_H
#define QXCORE_QXUNZIP_H

#include <QXCore/QXBase.h>

typedef struct __QXUnzip* QXUnzipRef;

enum {
  kQXUnzipEndOfList = -100,      /* no entry after the last one */
  kQXUnzipErrBadArgument = -102, /* no reader or URL, no open archive, or no current entry */
  kQXUnzipErrBadZipFile = -103,  /* a damaged archive or entry, or an unsupported compression method */
  kQXUnzipErrCRC = -105,         /* the entry's data does not match its checksum */
  kQXUnzipErrEncrypted = -106,   /* the entry is encrypted; encrypted entries are not read */
  kQXUnzipErrUnsafeName = -107   /* the entry's name would leave the folder, or cannot be decoded */
};

QX_EXTERN_C_BEGIN

/* A new reader with no archive open, or NULL when memory runs out. */
QX_EXPORT QXUnzipRef QXUnzipCreate(void);
/* Retain and release as for every family; the last release closes the archive. */
QX_EXPORT void QXUnzipRetain(QXUnzipRef unzip);
QX_EXPORT void QXUnzipRelease(QXUnzipRef unzip);

/* Opens the archive at a file URL, closing any archive the reader had open first. Only regular
   files are opened (a FIFO is never waited on), close-on-exec. 0; kQXErrGeneric when the URL has no
   path or the file is missing, not a regular file or not a zip archive; kQXUnzipErrBadArgument for
   a NULL reader or URL. No entry is current until QXUnzipSetFirstFileCurrent. */
QX_EXPORT QXStatus QXUnzipOpen(QXUnzipRef unzip, CFURLRef archiveURL);

/* Make the first, or the next, entry current. 0; kQXUnzipEndOfList after the last entry (there is
   then no current entry); kQXUnzipErrBadArgument without an open archive; kQXUnzipErrBadZipFile
   for a damaged directory record. An entry that cannot be read (encrypted, an unsupported method, a
   damaged local header) is still listed; extracting it reports why. */
QX_EXPORT QXStatus QXUnzipSetFirstFileCurrent(QXUnzipRef unzip);
QX_EXPORT QXStatus QXUnzipSetNextFileCurrent(QXUnzipRef unzip);

/* The current entry's full name (owned by the caller): UTF-8 when the entry says so (flag bit 11),
   else code page 437. NULL without a current entry, or for a UTF-8 name that is not valid UTF-8. */
QX_EXPORT CFStringRef QXUnzipGetCurrentFileNameCopy(QXUnzipRef unzip);

/* Extracts the current entry to the file at `targetURL`, replacing what is there (a symbolic link
   at the target is replaced, not written through); the target's folder must exist. The data go to
   a hidden temporary file beside the target that is renamed into place once every byte has been
   read and checked, so a failure leaves the target as it was and nothing else behind. An entry
   can be extracted any number of times. 0; kQXUnzipErrBadArgument; kQXUnzipErrEncrypted;
   kQXUnzipErrBadZipFile when the data are damaged or shorter than the entry declares;
   kQXUnzipErrCRC; kQXErrGeneric when the archive cannot be read; kQXErrMemory; or the errno of
   creating, writing or renaming the file. */
QX_EXPORT QXStatus QXUnzipExtractCurrentFile(QXUnzipRef unzip, CFURLRef targetURL);

/* Extracts the current entry into the existing folder at `folderURL` under its own name, which
   must be a relative path that stays inside the folder: an absolute name, a "." or ".." component,
   an empty component ("a//b"), a backslash or a NUL anywhere give kQXUnzipErrUnsafeName before
   anything is created. Missing folders of the name are created inside the folder without ever
   following a symbolic link (a link where a folder is expected gives ELOOP or ENOTDIR); a name
   ending in "/" is a folder and is created as such; an empty name is the folder itself and gives
   0 with nothing to do. The file itself is written as QXUnzipExtractCurrentFile writes it, and
   folders this call created are removed again when it fails. Statuses as
   QXUnzipExtractCurrentFile, plus kQXUnzipErrUnsafeName. */
QX_EXPORT QXStatus QXUnzipExtractCurrentFileToFolder(QXUnzipRef unzip, CFURLRef folderURL);

QX_EXTERN_C_END

#endif /* QXCORE_QXUNZIP_H */
