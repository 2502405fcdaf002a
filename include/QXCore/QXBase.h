/*
 * QXBase.h — export macros, status codes and time constants shared by every family.
 *
 * Functions of the C interface return a signed 32-bit status: 0 for success, one of the codes
 * below for the library's own failures, and platform errors (errno values) passed through
 * unchanged. Nothing throws across the interface.
 */
#ifndef QXCORE_QXBASE_H
#define QXCORE_QXBASE_H

#include <CoreFoundation/CoreFoundation.h>
#include <stdint.h>

#if defined(__cplusplus)
#define QX_EXTERN_C_BEGIN extern "C" {
#define QX_EXTERN_C_END }
#else
#define QX_EXTERN_C_BEGIN
#define QX_EXTERN_C_END
#endif

#define QX_EXPORT __attribute__((visibility("default")))

typedef int32_t QXStatus;

enum {
  kQXNoErr = 0,
  kQXErrGeneric = -1,              /* unsupported stream operation, read past the end, zero-size image */
  kQXErrLentBuffer = -50,          /* allocation attempted on a lent buffer */
  kQXErrMemory = -108,             /* memory exhausted */
  kQXErrNoScratch = 1002,          /* scratch buffer unavailable */
  kQXErrInvalidArgument = 1005,    /* invalid argument or empty rectangle */
  kQXErrSolidTileSize = 1006,      /* solid tile record of the wrong size */
  kQXErrInvalidProfile = 1015,     /* data that is not a valid ICC profile */
  kQXErrUnsupportedFormat = 1020,  /* unsupported depth or pixel format */
  kQXErrNotOffered = 1025,         /* operation not offered by this kind of image record */
  kQXErrAPIVersion = -6969,        /* "result" of a connect whose API version differs from the server's */
  kQXErrWaitTimeout = 258,         /* a timed condition wait ran out */
  kQXErrNotConnected = 10057       /* a socket's peer has closed */
};

QX_EXTERN_C_BEGIN

/* Time constants, in milliseconds. */
QX_EXPORT extern const int32_t kQXOneSecond;
QX_EXPORT extern const int32_t kQXOneHalfSecond;
QX_EXPORT extern const int32_t kQXOneQuarterSecond;

/* The library's version as "major.minor.patch" (a constant string; do not release). */
QX_EXPORT CFStringRef QXCoreGetVersionString(void);

QX_EXTERN_C_END

#endif /* QXCORE_QXBASE_H */
