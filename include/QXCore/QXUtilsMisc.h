/*
 * QXUtilsMisc.h — the library's small utilities: photographic numbers (exposure times, rationals, GPS
 * coordinates), dates, hashes and identifiers, channel-value scaling, string and CoreFoundation conveniences,
 * property-list XML, and the platform conveniences (resources, message boxes, the file browser).
 *
 * Unless a function says otherwise it keeps no state and may be called from any thread; functions that take a
 * CF object may be called concurrently on distinct objects, or on one object that nobody changes meanwhile.
 * Create and Copy results are owned by the caller; Get results are borrowed. Null CF arguments are accepted
 * everywhere and give the documented default (0, false, null, or no effect).
 * QXUtilsAtomicIncrement32 and QXUtilsAtomicDecrement32 are declared in QXBase.h.
 */
#ifndef QXCORE_QXUTILSMISC_H
#define QXCORE_QXUTILSMISC_H

#include <QXCore/QXBase.h>
#include <QXCore/QXUtils.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

QX_EXTERN_C_BEGIN

/* ---------------------------------------------------------------------------------------------------------------
 * Numbers and time
 * ------------------------------------------------------------------------------------------------------------- */

/* A fraction; passed by value in 64 bits, the numerator in the low half. */
typedef struct QXRational {
  int32_t numerator;
  int32_t denominator;
} QXRational;

/* Degrees, minutes and seconds, each a QXRational. */
typedef struct QXGPSCoordinate {
  QXRational degrees;
  QXRational minutes;
  QXRational seconds;
} QXGPSCoordinate;

/* The largest of the standard shutter speeds (30 s ... 1/8000 s, with the third and half stops) that does not
   exceed seconds: 0.004 and 0.0041 give 1/250, 45 gives 30/1. {0, 0} below 1/8000, at 2000 or more, and for
   NaN. The table is constant. */
QX_EXPORT QXRational QXUtilsGetRationalForExposureTime(float seconds);
/* The value of that shutter speed formatted with "%f" ("0.004000" for 0.004); null when there is none. */
QX_EXPORT CFStringRef QXUtilsCreateExposureTimeDisplayString(float seconds);
/* value as num/den with den a power of 8 up to 2^30, chosen so that |num| reaches 2^28 where it can, num
   rounded half away from zero; reduced to {num / den, 1} only when den divides num (3.0 gives 3/1, 0.5 gives
   536870912/1073741824, 0 gives 0/1). Values of 2^28 or more give the rounded value over 1. NaN gives 0/1;
   infinities and |value| >= 2^31 give INT32_MAX/1 or INT32_MIN/1. */
QX_EXPORT QXRational QXUtilsFloatToRational(float value);
/* The numerator, read as unsigned 32-bit (rationals of photo metadata are unsigned), divided by the
   denominator in single precision; 0 when the denominator is 0. A negative numerator from
   QXUtilsFloatToRational does not survive: it reads as its two's-complement value. */
QX_EXPORT float QXUtilsRationalToFloat(QXRational rational);
/* Whole degrees, whole minutes of the remaining fraction, whole seconds of what then remains (fractions of a
   second are dropped: 12.5125 gives 12, 30, 44), each truncated toward zero over 1. Components that are NaN
   give 0; infinite or out-of-range ones give INT32_MAX or INT32_MIN. */
QX_EXPORT QXGPSCoordinate QXUtilsCreateQXGPSCoordinateFromDegrees(double degrees);
/* The date (now for null) in GMT as "Sat, 7 Mar 2015 09:05:07 GMT" (owned): the day of the month unpadded, the
   year as at least four digits, the seconds truncated. Null for a date that is not a time (NaN or infinite). */
QX_EXPORT CFStringRef QXUtilsCreateRFC822Date(CFDateRef date);
/* The date at unixSeconds seconds after 1 January 1970 GMT. */
QX_EXPORT CFDateRef QXUtilsCreateDateFromUnixTime(int64_t unixSeconds);

/* 16-bit samples of the library use either the full scale 0..65535 or the scale 0..32768 (0x8000 is full
   intensity). The arithmetic is unsigned; an input above its range is taken as the top of the range. */

/* 0..255 to 0..32768: (v * 32896 + 128) >> 8 (255 gives 32768). */
QX_EXPORT uint32_t QXUtilsConvertChannel8To16(uint32_t value);
/* 0..32768 to 0..255: min((v * 65535) >> 23, 255) (32768 gives 255). */
QX_EXPORT uint32_t QXUtilsConvertChannel16To8(uint32_t value);
/* 0..65535 to 0..32768: ((v + 1) << 15) >> 16 (65535 gives 32768). */
QX_EXPORT uint32_t QXUtilsConvertChannelFFFFto8000(uint32_t value);
/* 0..32768 to 0..65535: min((v * 65535) >> 15, 65535). */
QX_EXPORT uint32_t QXUtilsConvertChannel8000toFFFF(uint32_t value);
/* How much to add to value to reach the next multiple of alignment: 0..alignment - 1 (10, 4 gives 2; -1, 4
   gives 1). 0 when alignment is 0 or negative. */
QX_EXPORT int32_t QXUtilsGetPadCount(int32_t value, int32_t alignment);

/* ---------------------------------------------------------------------------------------------------------------
 * Hashes and identifiers
 * ------------------------------------------------------------------------------------------------------------- */

/* Writes the MD5 digest (RFC 1321) of all of data's bytes (any length; data of 4 GiB or more is digested
   whole) to outDigest. 0 on success; kQXErrInvalidArgument for null data or output; kQXErrGeneric (-1) when
   the crypto library refuses MD5 (a FIPS-only configuration) or fails, with outDigest left untouched. */
QX_EXPORT QXStatus QXUtilsCalculateMD5(CFDataRef data, uint8_t outDigest[16]);
/* The lookup3 hash (hashlittle) of length bytes with initial value 0; 0xDEADBEEF for no bytes. Reads no byte
   outside the buffer, at any alignment. bytes may be null when length is 0. */
QX_EXPORT uint32_t QXUtilsFastHash(const void* bytes, size_t length);
/* A new random UUID as upper-case 8-4-4-4-12 hex (owned). */
QX_EXPORT CFStringRef QXUtilsCreateUniqueIDString(void);

/* ---------------------------------------------------------------------------------------------------------------
 * Strings
 * ------------------------------------------------------------------------------------------------------------- */

/* A new zero-terminated UTF-8 copy, from malloc (the caller frees it). Characters that cannot be converted
   (unpaired surrogates) become "*"; a surrogate pair always converts whole. Null for null or when memory runs
   out. */
QX_EXPORT char* QXUtilsGetUTF8StringCopy(CFStringRef string);
/* A new zero-terminated copy of the UTF-16 units, from malloc (the caller frees it); null for null. */
QX_EXPORT UniChar* QXUtilsGetUniCharStringCopy(CFStringRef string);
/* The number of units before the first zero unit; 0 for null. */
QX_EXPORT CFIndex QXUtilsGetUniCharStringLength(const UniChar* units);
/* Whether part occurs in string, ignoring case. An empty part does not occur. */
QX_EXPORT bool QXUtilsCFStringContainsString(CFStringRef string, CFStringRef part);
QX_EXPORT bool QXUtilsCFStringContains(CFStringRef string, CFStringRef part, bool caseSensitive);
/* The unit index of the first (last) occurrence of part, or -1. */
QX_EXPORT CFIndex QXUtilsCFStringIndexOf(CFStringRef string, CFStringRef part, bool caseSensitive);
QX_EXPORT CFIndex QXUtilsCFStringLastIndexOf(CFStringRef string, CFStringRef part, bool caseSensitive);
/* False when suffix is longer than string. */
QX_EXPORT bool QXUtilsCFStringEndsWith(CFStringRef string, CFStringRef suffix, bool caseSensitive);
/* Removes the last count units, or all of them when count is at least the length; a negative count removes
   nothing. */
QX_EXPORT void QXUtilsCFStringChop(CFMutableStringRef string, CFIndex count);
/* string itself with one more reference (owned); no normalisation is applied. Null for null. */
QX_EXPORT CFStringRef QXUtilsCreatePrecomposedStringWithCanonicalMapping(CFStringRef string);

/* ---------------------------------------------------------------------------------------------------------------
 * CoreFoundation conveniences
 *
 * Setters store 32-bit values as kCFNumberIntType numbers, doubles as kCFNumberDoubleType, pointers as
 * kCFNumberSInt64Type, points and rectangles as CFData of their little-endian fields (8 and 16 bytes). A null
 * dictionary, key or value makes a setter do nothing. Getters give the default (0, false, null, a zero point
 * or rectangle) when the key is missing or its value has another type (for points and rectangles: is not
 * CFData of exactly 8 or 16 bytes); numbers of any numeric type are accepted and converted, integers
 * saturating.
 * ------------------------------------------------------------------------------------------------------------- */

/* Stored as the integer 0 or 1; a CFNumber (non-zero is true) or a CFBoolean reads back. */
QX_EXPORT void QXUtilsCFDictionarySetValueBool(CFMutableDictionaryRef dictionary, CFStringRef key, bool value);
QX_EXPORT bool QXUtilsCFDictionaryGetValueBool(CFDictionaryRef dictionary, CFStringRef key);
QX_EXPORT void QXUtilsCFDictionarySetValueInt(CFMutableDictionaryRef dictionary, CFStringRef key, int32_t value);
QX_EXPORT int32_t QXUtilsCFDictionaryGetValueInt(CFDictionaryRef dictionary, CFStringRef key);
QX_EXPORT void QXUtilsCFDictionarySetValueDouble(CFMutableDictionaryRef dictionary, CFStringRef key, double value);
QX_EXPORT double QXUtilsCFDictionaryGetValueDouble(CFDictionaryRef dictionary, CFStringRef key);
/* The pointer's value as a number; nothing is retained or freed. */
QX_EXPORT void QXUtilsCFDictionarySetValuePointer(CFMutableDictionaryRef dictionary, CFStringRef key,
                                                  const void* value);
QX_EXPORT void* QXUtilsCFDictionaryGetValuePointer(CFDictionaryRef dictionary, CFStringRef key);
QX_EXPORT void QXUtilsCFDictionarySetValueQXPoint(CFMutableDictionaryRef dictionary, CFStringRef key, QXPoint value);
QX_EXPORT QXPoint QXUtilsCFDictionaryGetValueQXPoint(CFDictionaryRef dictionary, CFStringRef key);
QX_EXPORT void QXUtilsCFDictionarySetValueQXRect(CFMutableDictionaryRef dictionary, CFStringRef key, QXRect value);
QX_EXPORT QXRect QXUtilsCFDictionaryGetValueQXRect(CFDictionaryRef dictionary, CFStringRef key);
/* Sets value under a number key made from key (kCFNumberIntType). */
QX_EXPORT void QXUtilsCFDictionarySetKeyInt(CFMutableDictionaryRef dictionary, int32_t key, CFTypeRef value);
/* The value under key when it is a dictionary (borrowed), else null. */
QX_EXPORT CFDictionaryRef QXUtilsCFDictionaryGetCFDictionary(CFDictionaryRef dictionary, CFStringRef key);
QX_EXPORT void QXUtilsCFDictionarySetCFDictionary(CFMutableDictionaryRef dictionary, CFStringRef key,
                                                  CFDictionaryRef value);
/* An empty mutable dictionary that retains its keys and values (owned). */
QX_EXPORT CFMutableDictionaryRef QXUtilsCFDictionaryCreateMutable2(void);
/* A new array of the dictionary's keys in its enumeration order (owned); null for null. */
QX_EXPORT CFArrayRef QXUtilsCFDictionaryGetKeysCopy(CFDictionaryRef dictionary);
/* A new kCFNumberSInt32Type number (owned). */
QX_EXPORT CFNumberRef QXUtilsCFNumberCreateSInt32(int32_t value);
/* The number's value as a 32-bit integer (saturating) or a double; 0 for null or anything but a number. */
QX_EXPORT int32_t QXUtilsGetIntValue(CFNumberRef number);
QX_EXPORT double QXUtilsGetDoubleValue(CFNumberRef number);
/* A number's value, or a string's leading decimal number; 0 for anything else. */
QX_EXPORT int32_t QXUtilsCFValueGetInt(CFTypeRef value);
/* Removes the first element equal to value, if any. */
QX_EXPORT void QXUtilsCFArrayRemoveValue(CFMutableArrayRef array, CFTypeRef value);
/* Appends a new kCFNumberSInt32Type number of the same 32 bits (values above INT32_MAX read back negative when
   read as a signed or wider type). */
QX_EXPORT void QXUtilsCFArrayAppendValueUInt32(CFMutableArrayRef array, uint32_t value);

/* ---------------------------------------------------------------------------------------------------------------
 * Property lists, resources and the desktop
 * ------------------------------------------------------------------------------------------------------------- */

/* The XML property list of propertyList (owned, UTF-8) without its document-type declaration line; null when
   it is not a valid property list. */
QX_EXPORT CFDataRef QXUtilsCreateXMLData(CFAllocatorRef allocator, CFPropertyListRef propertyList);
/* CFPropertyListCreateFromXMLData with the same arguments (owned result). */
QX_EXPORT CFPropertyListRef QXUtilsCreatePropertyListFromXMLData(CFAllocatorRef allocator, CFDataRef xmlData,
                                                                 CFOptionFlags mutabilityOption,
                                                                 CFStringRef* errorString);
/* Modules carry no resources on Linux: always kQXErrGeneric (-1), with null stored in *outData. */
QX_EXPORT QXStatus QXUtilsGetBlobResourceCopy(void* module, int32_t resourceID, CFStringRef typeName,
                                              CFDataRef* outData);
/* Writes "title: message" and a line feed to standard error (there is no message box to show); the message
   is format expanded with the arguments as CFStringCreateWithFormat does. */
QX_EXPORT void QXUtilsMessageBoxOK(CFStringRef title, CFStringRef format, ...);
QX_EXPORT void QXUtilsMessageBoxOKV(CFStringRef title, CFStringRef format, va_list arguments);
/* Asks the desktop to open url's string in its file browser: starts xdg-open with that string as its one
   argument (no shell) and returns without waiting for it; the child is reaped in the background. 0 when
   started; kQXErrInvalidArgument for null; kQXErrGeneric (-1) when the string cannot be converted; an errno
   value when xdg-open cannot be started. */
QX_EXPORT QXStatus QXUtilsLaunchFileBrowserAtLocation(CFURLRef url);

QX_EXTERN_C_END

#if defined(__cplusplus)
/* Measures elapsed time on the monotonic clock, in microseconds. The elapsed value changes only at Stop, and
   reads 0 before the first Stop. Not synchronised: one thread at a time. */
class QX_EXPORT QXStopwatch {
 public:
  QXStopwatch() = default;

  /* Clears the elapsed time and records the start. */
  void Start();
  /* Sets the elapsed time to the time since Start. */
  void Stop();
  double ElapsedMicroseconds() const { return mElapsed; }
  double ElapsedMilliseconds() const { return mElapsed / 1000.0; }
  double ElapsedSeconds() const { return mElapsed / 1000000.0; }

 private:
  int64_t mStart = 0;  /* the clock's reading at Start, in nanoseconds */
  double mElapsed = 0; /* microseconds */
};
#endif /* __cplusplus */

#endif /* QXCORE_QXUTILSMISC_H */
