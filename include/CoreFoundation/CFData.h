/*
 * CFData.h — byte buffers, immutable and mutable.
 *
 * Capacities passed to the mutable creators are hints, never limits. Ranges outside the data are
 * rejected (the call does nothing) instead of reading or writing out of bounds.
 */
#ifndef __COREFOUNDATION_CFDATA__
#define __COREFOUNDATION_CFDATA__

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

typedef const struct __CFData* CFDataRef;
typedef struct __CFData* CFMutableDataRef;

CF_EXPORT CFTypeID CFDataGetTypeID(void);

/* Copies length bytes (owned). NULL bytes with length 0 gives empty data; a negative length NULL. */
CF_EXPORT CFDataRef CFDataCreate(CFAllocatorRef allocator, const UInt8* bytes, CFIndex length);
/* Uses the caller's bytes without copying them (owned). When the data is destroyed the bytes are
 * freed through bytesDeallocator: NULL or kCFAllocatorDefault frees them with free(),
 * kCFAllocatorNull leaves them alone (the caller keeps ownership). */
CF_EXPORT CFDataRef CFDataCreateWithBytesNoCopy(CFAllocatorRef allocator, const UInt8* bytes, CFIndex length,
                                                CFAllocatorRef bytesDeallocator);
/* An immutable copy (owned). */
CF_EXPORT CFDataRef CFDataCreateCopy(CFAllocatorRef allocator, CFDataRef theData);
/* Empty mutable data (owned); capacity is a hint. */
CF_EXPORT CFMutableDataRef CFDataCreateMutable(CFAllocatorRef allocator, CFIndex capacity);
/* A mutable copy (owned); capacity is a hint. */
CF_EXPORT CFMutableDataRef CFDataCreateMutableCopy(CFAllocatorRef allocator, CFIndex capacity, CFDataRef theData);

CF_EXPORT CFIndex CFDataGetLength(CFDataRef theData);
/* Valid until the data is mutated or released. Never NULL, even for empty data. */
CF_EXPORT const UInt8* CFDataGetBytePtr(CFDataRef theData);
CF_EXPORT UInt8* CFDataGetMutableBytePtr(CFMutableDataRef theData);
/* Copies the bytes of range into buffer; a range outside the data copies nothing. */
CF_EXPORT void CFDataGetBytes(CFDataRef theData, CFRange range, UInt8* buffer);

/* Growing zero-fills the new bytes; shrinking truncates. Mutable data only. */
CF_EXPORT void CFDataSetLength(CFMutableDataRef theData, CFIndex length);
CF_EXPORT void CFDataIncreaseLength(CFMutableDataRef theData, CFIndex extraLength);
CF_EXPORT void CFDataAppendBytes(CFMutableDataRef theData, const UInt8* bytes, CFIndex length);
/* Replaces the bytes of range with newLength bytes (newBytes may point into the data itself). */
CF_EXPORT void CFDataReplaceBytes(CFMutableDataRef theData, CFRange range, const UInt8* newBytes, CFIndex newLength);
CF_EXPORT void CFDataDeleteBytes(CFMutableDataRef theData, CFRange range);

typedef CF_OPTIONS(CFOptionFlags, CFDataSearchFlags) {
  kCFDataSearchBackwards = 1UL << 0,
  kCFDataSearchAnchored = 1UL << 1,
};

/* The first (or with kCFDataSearchBackwards the last) occurrence of dataToFind inside searchRange;
 * kCFDataSearchAnchored limits the match to the start (or end) of the range. {kCFNotFound, 0} when
 * absent or when either argument is empty or the range is invalid. */
CF_EXPORT CFRange CFDataFind(CFDataRef theData, CFDataRef dataToFind, CFRange searchRange,
                             CFDataSearchFlags compareOptions);

CF_EXTERN_C_END

#endif /* __COREFOUNDATION_CFDATA__ */
