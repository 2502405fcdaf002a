/*
 * QXServerData.h — how the family's processes find each other: the server data file, a small XML
 * property list ("ServerData.plist" in a product's user folder) in which a server publishes its
 * port and process id; the command-line file ("CmdLineArgs.plist", same folder) that hands a
 * command line to another process once; and the network-service objects, the interface for
 * service discovery, which discovers nothing on Linux (the server data file is what works).
 *
 * Products are named by their identifier in the product catalogue (QXProduct.h); the user folder
 * is QXProductCopyUserFolderURL's. Both files are written whole (a temporary file renamed into
 * place), so a reader sees the old file or the new one, never a part. Anything may stand at their
 * paths, so readers take only regular files (a link to one is followed) of at most
 * kQXServerDataMaxFileSize bytes, and never wait on a FIFO or device.
 *
 * Statuses: 0; kQXErrInvalidArgument for a NULL argument, an unknown product or a value that is
 * not a property list; kQXErrGeneric for a command-line file that is not a property list;
 * kQXErrMemory; the errno of the folder lookup or the file (ENOENT when there is no file, EISDIR
 * for a folder, ENOTSUP for a FIFO, device or socket, EFBIG for a file above the size limit).
 *
 * Threads: the file functions may be called from any thread, and from several processes at once.
 * A network-service object or record is not locked: one thread at a time uses it.
 */
#ifndef QXCORE_QXSERVERDATA_H
#define QXCORE_QXSERVERDATA_H

#include <QXCore/QXBase.h>
#include <stdbool.h>
#include <stdint.h>

typedef struct __QXNetService* QXNetServiceRef;
typedef struct __QXNetServiceRec* QXNetServiceRecRef;

enum {
  /* The largest server data or command-line file a reader accepts, in bytes (64 KiB). */
  kQXServerDataMaxFileSize = 65536
};

QX_EXTERN_C_BEGIN

/* ---- The server data file ---- */

/* Replaces the product's ServerData.plist with a dictionary of "listen_port" = `port` and "pid" =
   this process's id, both 32-bit integers. A failure is also logged at level 1 ("QXUtilsWriteServerData
   failed" with the status). */
QX_EXPORT QXStatus QXUtilsWriteServerData(CFStringRef productID, uint16_t port);
/* Reads the product's ServerData.plist. Both out values (each may be NULL) are 0 unless the file
   holds them: "listen_port" counts only as an integer in 1...65535 and "pid" as an integer in
   1...2^31-1; anything else there (a string, a real, a value out of range) and a missing key read
   as 0. A file that is not a property-list dictionary gives 0 with both values 0, as no server
   would; a file that cannot be read (none, a folder, a FIFO, too large) gives its status. */
QX_EXPORT QXStatus QXUtilsReadServerData(CFStringRef productID, uint16_t* outPort, int32_t* outProcessID);
/* Deletes the product's ServerData.plist, whatever that gives; the status is that of finding the
   user folder. */
QX_EXPORT QXStatus QXUtilsDeleteServerData(CFStringRef productID);

/* ---- The command-line file ----
   Its path is normalised so that sandboxed and unsandboxed processes of the family name one file:
   a sandboxed host's data folder <home>/.var/app/<id>/data stands for <home>/.local/share, and
   "Orvex Software/user" (the user/global folder mode) for "Orvex Software". Only whole path
   components are matched, so ".../Orvex Software/username" stays as it is. */

/* Replaces the product's CmdLineArgs.plist with the XML form of `args` (any property list),
   creating its folder when missing. */
QX_EXPORT QXStatus QXUtilsWriteCmdLineArgs(CFStringRef productID, CFPropertyListRef args);
/* Takes the product's CmdLineArgs.plist: the file is first renamed to a private name, so that of
   several readers (threads or processes) exactly one gets it, the others ENOENT. On success
   *outArgs receives the property list (immutable, owned by the caller) and the file is gone. A
   file that cannot be read or is not a property list (kQXErrGeneric) is put back unless a new one
   has been written meanwhile; *outArgs is then NULL. */
QX_EXPORT QXStatus QXUtilsReadCmdLineArgs(CFStringRef productID, CFPropertyListRef* outArgs);

/* ---- Network services ---- */

/* A service with no domain, type or name, port 0 and no known records; NULL when memory runs
   out. The caller releases. */
QX_EXPORT QXNetServiceRef QXNetServiceCreate(void);
QX_EXPORT void QXNetServiceRetain(QXNetServiceRef service);
QX_EXPORT void QXNetServiceRelease(QXNetServiceRef service);
/* Stores the three strings (retained; each may be NULL), the port and the option. 0, or
   kQXErrInvalidArgument for a NULL service. */
QX_EXPORT QXStatus QXNetServiceInitialize(QXNetServiceRef service, CFStringRef domain, CFStringRef name,
                                          CFStringRef type, uint16_t port, bool option);
/* The first known record whose name has the same UTF-8 text as `name` (borrowed), or NULL.
   Nothing on Linux adds known records, so this finds none. */
QX_EXPORT QXNetServiceRecRef QXNetServiceFindServiceWithName(QXNetServiceRef service, CFStringRef name);
/* The current record: the setter retains the new one (may be NULL) and releases the old; the
   getter's result is borrowed (NULL when none is set). */
QX_EXPORT void QXNetServiceSetCurrentServiceRec(QXNetServiceRef service, QXNetServiceRecRef record);
QX_EXPORT QXNetServiceRecRef QXNetServiceGetCurrentServiceRec(QXNetServiceRef service);
/* Gives the current record this machine's host name and first IPv4 address, unless it has an
   address already (0 then). Logs "Service Publish succeeded: <host>:<port>" at level 1 and the
   test URL "http://<address>:<port>" at level 3, or "Service Publish failed: <record name>:<port>"
   at level 1, with the service's port. 0, a resolution code of QXSocketGetAddrInfo
   (kQXSocketErrResolveBase...), or kQXErrInvalidArgument for a NULL service or no current
   record. */
QX_EXPORT QXStatus QXNetServiceResolve(QXNetServiceRef service);
/* Nothing to discover or announce on Linux: always 0. */
QX_EXPORT QXStatus QXNetServiceBrowse(QXNetServiceRef service);
QX_EXPORT QXStatus QXNetServicePublish(QXNetServiceRef service);

/* A record named `name` (its UTF-8 text; NULL for an empty name) with `port`, no host name and no
   address; NULL when memory runs out. The caller releases. This library's addition: nothing else
   makes records, and the current record must come from somewhere. */
QX_EXPORT QXNetServiceRecRef QXNetServiceRecCreate(CFStringRef name, uint16_t port);
QX_EXPORT void QXNetServiceRecRetain(QXNetServiceRecRef record);
QX_EXPORT void QXNetServiceRecRelease(QXNetServiceRecRef record);
/* The record's port; 0 for NULL. */
QX_EXPORT uint16_t QXNetServiceRecGetPort(QXNetServiceRecRef record);

QX_EXTERN_C_END

#endif /* QXCORE_QXSERVERDATA_H */
