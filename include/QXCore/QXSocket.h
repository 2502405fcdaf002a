/*
 * QXSocket.h — one IPv4 TCP socket: connecting for clients, listening and accepting for servers,
 * and buffered reading and writing for the socket stream.
 *
 * A socket object is used by one thread at a time. It keeps a 32 KiB receive buffer that
 * QXSocketReadChar fills and QXSocketReadChunk drains first, so character and chunk reads can be
 * mixed freely.
 *
 * Status codes: 0 for success; errno values for platform failures (EAGAIN when a send or receive
 * time-out runs out); kQXErrNotConnected (10057) when the peer has closed or reset the connection
 * (recv returning 0 or ECONNRESET, send failing with EPIPE or ECONNRESET); kQXErrInvalidArgument
 * (1005) for a missing or malformed address; name-resolution failures as described below.
 * Writing to a closed peer never raises SIGPIPE. Every descriptor is close-on-exec.
 */
#ifndef QXCORE_QXSOCKET_H
#define QXCORE_QXSOCKET_H

#include <QXCore/QXBase.h>
#include <QXCore/QXStream.h>
#include <stdbool.h>
#include <stdint.h>

typedef struct __QXSocket* QXSocketRef;

/* Name-resolution failures. A getaddrinfo error EAI_x (negative on Linux) is reported as
   kQXSocketErrResolveBase - EAI_x, i.e. in 20001...20999, above every errno value and every code
   of the library; EAI_NONAME (an unknown name) thus gives 20002. A name that resolves without an
   IPv4 address gives kQXSocketErrNoIPv4Address. */
enum { kQXSocketErrResolveBase = 20000, kQXSocketErrNoIPv4Address = 20000 };

QX_EXTERN_C_BEGIN

/* Nothing needs starting on Linux: always 0. */
QX_EXPORT QXStatus QXSocketInitialize(void);

/* A new socket object without a socket, or NULL when memory runs out. */
QX_EXPORT QXSocketRef QXSocketCreate(void);
QX_EXPORT void QXSocketRetain(QXSocketRef socket);
QX_EXPORT void QXSocketRelease(QXSocketRef socket);

/* Address data: a 16-byte IPv4 socket address (family in machine order, port and address in
   network order, 8 zero bytes) used by Open to connect and by Listen to choose the interface.
   SetAddress reads a dotted IPv4 string (at most 255 UTF-8 bytes) as inet_addr does: text that is
   not an address gives 255.255.255.255. */
QX_EXPORT void QXSocketSetAddress(QXSocketRef socket, CFStringRef address, uint16_t port);
/* Resolves `hostName` (NULL: this machine's own name) to its first IPv4 address with getaddrinfo
   (thread-safe) and sets it with the port. 0, errno when the host name cannot be read, or a
   resolution code (see above); the address data is unchanged on failure. */
QX_EXPORT QXStatus QXSocketSetAddressHostName(QXSocketRef socket, CFStringRef hostName, uint16_t port);
/* 127.0.0.1 and the port; always 0. */
QX_EXPORT QXStatus QXSocketSetAddressLoopback(QXSocketRef socket, uint16_t port);
/* 0.0.0.0 and the port; always 0. */
QX_EXPORT QXStatus QXSocketSetAddressAny(QXSocketRef socket, uint16_t port);
/* Takes the caller's address data (retained; NULL clears it). */
QX_EXPORT void QXSocketSetAddressData(QXSocketRef socket, CFDataRef addressData);
/* The address data, not retained; NULL when none is set. */
QX_EXPORT CFDataRef QXSocketGetAddressData(QXSocketRef socket);

/* Stores the time-outs in seconds (0: the platform's default, i.e. none) and applies each non-zero
   one to an open socket; Open applies them too. Failures are ignored. */
QX_EXPORT void QXSocketSetTimeouts(QXSocketRef socket, uint32_t sendSeconds, uint32_t receiveSeconds);

/* Connects to the address data with Nagle's algorithm off. An open socket is closed first. 0,
   kQXErrInvalidArgument without valid address data, or errno; on failure the object is left without
   a socket. */
QX_EXPORT QXStatus QXSocketOpen(QXSocketRef socket);
/* Binds `port` (0: one chosen by the system, see QXSocketGetPort) on the address set with a
   SetAddress function — any interface when none is set, loopback only after
   QXSocketSetAddressLoopback — and listens. An open socket is closed first. 0 or errno (each
   failure is logged at level 1); on failure the object is left without a socket. */
QX_EXPORT QXStatus QXSocketListen(QXSocketRef socket, uint16_t port, int32_t backlog);
/* Waits for a connection on a listening socket. On success stores a new socket object owning it in
   `*outSocket` (one reference for the caller) and returns 0; on failure logs, returns errno and
   leaves `*outSocket` alone (kQXErrInvalidArgument when it is NULL). Interrupted and aborted
   connections are waited past. */
QX_EXPORT QXStatus QXSocketAccept(QXSocketRef socket, QXSocketRef* outSocket);
/* The local port found by Listen (0 before). */
QX_EXPORT uint16_t QXSocketGetPort(QXSocketRef socket);

/* Reads up to `*count` bytes into `buffer`; `*count` is set to the number read. Bytes buffered by
   ReadChar come first: when they are more than asked, the first `*count` are handed over and the
   rest stay buffered. Then, with `readAll` true, receives until all are read; with `readAll` false,
   returns with the buffered bytes when there were any, else after the first successful receive (it
   never waits once it has bytes to give). 0, kQXErrNotConnected when the peer has closed, or errno
   (`*count` then holds what was read). */
QX_EXPORT QXStatus QXSocketReadChunk(QXSocketRef socket, void* buffer, bool readAll, uint64_t* count);
/* One byte from the receive buffer, refilled with one receive of up to 32 KiB when empty. 0,
   kQXErrNotConnected when the peer has closed, or errno. */
QX_EXPORT QXStatus QXSocketReadChar(QXSocketRef socket, char* byte);
/* Sends all `*count` bytes; `*count` is set to the number sent. 0, kQXErrNotConnected when the peer
   has gone, or errno. */
QX_EXPORT QXStatus QXSocketWriteChunk(QXSocketRef socket, const void* buffer, uint64_t* count);
/* Closes gracefully: the write side is shut down so the peer receives every byte written, then a
   FIN, never a reset. Unread buffered bytes are dropped. Always 0, also when no socket is open; the
   object can be opened again. */
QX_EXPORT QXStatus QXSocketClose(QXSocketRef socket);

/* Resolves `name` (thread-safe) and writes its first IPv4 address in dotted form into `buffer`,
   which must hold 16 bytes. 0, or a resolution code (see above) with the buffer left alone. */
QX_EXPORT QXStatus QXSocketGetAddrInfo(const char* name, char* buffer);

/* A stream over `socket` (retained; nothing is opened): QXStreamOpen connects it and QXStreamClose
   closes it, reads and writes go to the socket with its statuses, and there is no position or
   length (kQXErrGeneric). NULL when memory runs out. */
QX_EXPORT QXStreamRef QXStreamCreateForSocket(QXSocketRef socket);

QX_EXTERN_C_END

#endif /* QXCORE_QXSOCKET_H */
