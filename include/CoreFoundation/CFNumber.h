/*
 * CFNumber.h — immutable numbers of any C scalar type, and the two booleans.
 *
 * A number remembers one of six canonical storage types (SInt8, SInt16, SInt32, SInt64, Float32,
 * Float64); the other ten CFNumberType values are aliases for one of them. Integers beyond SInt64
 * (a UInt64 above INT64_MAX, say) use the private 128-bit type declared at the end. CFEqual, CFHash and
 * CFNumberCompare work by value across types: an SInt32 3, an SInt64 3 and a Float64 3.0 are equal
 * and hash alike. Numbers and booleans are immutable and safe to share between threads.
 */
#ifndef __COREFOUNDATION_CFNUMBER__
#define __COREFOUNDATION_CFNUMBER__

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFString.h>

CF_EXTERN_C_BEGIN

typedef const struct __CFBoolean* CFBooleanRef;

/* The two booleans are immortal constants; their formatting description is "true"/"false". */
CF_EXPORT const CFBooleanRef kCFBooleanTrue;
CF_EXPORT const CFBooleanRef kCFBooleanFalse;

CF_EXPORT CFTypeID CFBooleanGetTypeID(void);
CF_EXPORT Boolean CFBooleanGetValue(CFBooleanRef boolean);

typedef CF_ENUM(CFIndex, CFNumberType) {
  kCFNumberSInt8Type = 1,
  kCFNumberSInt16Type = 2,
  kCFNumberSInt32Type = 3,
  kCFNumberSInt64Type = 4,
  kCFNumberFloat32Type = 5,
  kCFNumberFloat64Type = 6,
  kCFNumberCharType = 7,
  kCFNumberShortType = 8,
  kCFNumberIntType = 9,
  kCFNumberLongType = 10,
  kCFNumberLongLongType = 11,
  kCFNumberFloatType = 12,
  kCFNumberDoubleType = 13,
  kCFNumberCFIndexType = 14,
  kCFNumberNSIntegerType = 15,
  kCFNumberCGFloatType = 16,
  kCFNumberMaxType = 16,
};

typedef const struct __CFNumber* CFNumberRef;

/* Immortal Float64 constants. */
CF_EXPORT const CFNumberRef kCFNumberPositiveInfinity;
CF_EXPORT const CFNumberRef kCFNumberNegativeInfinity;
CF_EXPORT const CFNumberRef kCFNumberNaN;

CF_EXPORT CFTypeID CFNumberGetTypeID(void);

/* Creates a number from the value at valuePtr, read as theType (owned). Returns NULL for an
 * unknown type or a NULL valuePtr. */
CF_EXPORT CFNumberRef CFNumberCreate(CFAllocatorRef allocator, CFNumberType theType, const void* valuePtr);

/* The canonical storage type: kCFNumberSInt8Type … kCFNumberFloat64Type (an Int number reports
 * kCFNumberSInt32Type, a Double kCFNumberFloat64Type, a CFIndex kCFNumberSInt64Type), or
 * kCFNumberSInt128Type for an integer outside the SInt64 range. */
CF_EXPORT CFNumberType CFNumberGetType(CFNumberRef number);
/* The byte size of the canonical storage type. */
CF_EXPORT CFIndex CFNumberGetByteSize(CFNumberRef number);
CF_EXPORT Boolean CFNumberIsFloatType(CFNumberRef number);

/* Stores the value converted to theType at valuePtr and returns whether the conversion was exact.
 * A lossy conversion still stores a value and returns false: fractions are truncated toward zero
 * (2.75 read as an int gives 2), values out of the target's range saturate at its minimum or
 * maximum, NaN read as an integer gives 0. Returns false without storing for an unknown type. */
CF_EXPORT Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr);

/* Orders by value, exactly, across integer and floating types (integers beyond 2^53, including
 * 128-bit ones, are compared without rounding). NaN is less than every other value and equal to NaN. */
CF_EXPORT CFComparisonResult CFNumberCompare(CFNumberRef number, CFNumberRef otherNumber, void* context);

/* ---- Private extension: 128-bit integers ----
 * Not part of the public CoreFoundation API, but the same private type number and value layout as
 * Apple's, relied on by the property-list code and by callers that must hold any UInt64.
 * CFNumberCreate with kCFNumberSInt128Type reads a CFSInt128Struct (value = high * 2^64 + low);
 * a value that fits in SInt64 is stored as an SInt64 number, so only values outside that range
 * report kCFNumberSInt128Type and a byte size of 16. CFNumberGetValue converts any number to a
 * CFSInt128Struct (doubles truncate toward zero and saturate, as for the other integer types).
 * A UInt64 u is {0, u}; a negative SInt64 v is {-1, (UInt64)v}. */
enum { kCFNumberSInt128Type = 17 };

typedef struct {
  SInt64 high;
  UInt64 low;
} CFSInt128Struct;

CF_EXTERN_C_END

#endif /* __COREFOUNDATION_CFNUMBER__ */
