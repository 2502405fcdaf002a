/*
 * CFArray.h — ordered collections of values, immutable and mutable.
 *
 * An array keeps its values in order and owns them through its callbacks: the retain callback is
 * applied to every value stored (its result is what the array keeps), the release callback to
 * every value removed or left at destruction. NULL callbacks store raw pointers without retaining
 * them and compare them by address. The callbacks are copied when the array is created.
 *
 * Out-of-range indices and ranges are ignored: getters return NULL, 0, false or kCFNotFound and
 * mutators change nothing. Mutating an immutable array changes nothing. Concurrent readers of an
 * array that nobody mutates are safe.
 */
#ifndef __COREFOUNDATION_CFARRAY__
#define __COREFOUNDATION_CFARRAY__

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

typedef const struct __CFArray* CFArrayRef;
typedef struct __CFArray* CFMutableArrayRef;

typedef const void* (*CFArrayRetainCallBack)(CFAllocatorRef allocator, const void* value);
typedef void (*CFArrayReleaseCallBack)(CFAllocatorRef allocator, const void* value);
typedef CFStringRef (*CFArrayCopyDescriptionCallBack)(const void* value);
typedef Boolean (*CFArrayEqualCallBack)(const void* value1, const void* value2);

/* A NULL field means: no retain, no release, the address as description, equality by address.
 * Equality is always tested by address first, so the equal callback sees only distinct values. */
typedef struct {
  CFIndex version;
  CFArrayRetainCallBack retain;
  CFArrayReleaseCallBack release;
  CFArrayCopyDescriptionCallBack copyDescription;
  CFArrayEqualCallBack equal;
} CFArrayCallBacks;

/* Values are CF objects: CFRetain, CFRelease, CFCopyDescription, CFEqual. */
CF_EXPORT const CFArrayCallBacks kCFTypeArrayCallBacks;

typedef void (*CFArrayApplierFunction)(const void* value, void* context);

CF_EXPORT CFTypeID CFArrayGetTypeID(void);

/* Immutable array of numValues values (owned). callBacks NULL: raw pointers. Returns NULL when
 * numValues is negative or values is NULL with numValues > 0. */
CF_EXPORT CFArrayRef CFArrayCreate(CFAllocatorRef allocator, const void** values, CFIndex numValues,
                                   const CFArrayCallBacks* callBacks);
/* Immutable copy with the same callbacks; each value is retained again (owned). */
CF_EXPORT CFArrayRef CFArrayCreateCopy(CFAllocatorRef allocator, CFArrayRef theArray);
/* capacity is a hint, never a limit; 0 means unbounded. */
CF_EXPORT CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                                 const CFArrayCallBacks* callBacks);
CF_EXPORT CFMutableArrayRef CFArrayCreateMutableCopy(CFAllocatorRef allocator, CFIndex capacity, CFArrayRef theArray);

CF_EXPORT CFIndex CFArrayGetCount(CFArrayRef theArray);
CF_EXPORT CFIndex CFArrayGetCountOfValue(CFArrayRef theArray, CFRange range, const void* value);
CF_EXPORT Boolean CFArrayContainsValue(CFArrayRef theArray, CFRange range, const void* value);
/* Borrowed; NULL when idx is out of range. */
CF_EXPORT const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx);
/* Copies range.length values (borrowed) into values. */
CF_EXPORT void CFArrayGetValues(CFArrayRef theArray, CFRange range, const void** values);
CF_EXPORT void CFArrayApplyFunction(CFArrayRef theArray, CFRange range, CFArrayApplierFunction applier, void* context);
/* kCFNotFound when absent. */
CF_EXPORT CFIndex CFArrayGetFirstIndexOfValue(CFArrayRef theArray, CFRange range, const void* value);
CF_EXPORT CFIndex CFArrayGetLastIndexOfValue(CFArrayRef theArray, CFRange range, const void* value);
/* The range must be sorted by comparator. Returns the first index in range whose value is not less
 * than value, or range.location + range.length when every value is less; kCFNotFound for an
 * invalid range or a NULL comparator. */
CF_EXPORT CFIndex CFArrayBSearchValues(CFArrayRef theArray, CFRange range, const void* value,
                                       CFComparatorFunction comparator, void* context);

/* The mutators accept indices 0...count (count appends) where Apple's do. */
CF_EXPORT void CFArrayAppendValue(CFMutableArrayRef theArray, const void* value);
CF_EXPORT void CFArrayInsertValueAtIndex(CFMutableArrayRef theArray, CFIndex idx, const void* value);
/* idx == count appends; the new value is retained before the old one is released. */
CF_EXPORT void CFArraySetValueAtIndex(CFMutableArrayRef theArray, CFIndex idx, const void* value);
CF_EXPORT void CFArrayRemoveValueAtIndex(CFMutableArrayRef theArray, CFIndex idx);
CF_EXPORT void CFArrayRemoveAllValues(CFMutableArrayRef theArray);
/* Replaces range with newCount values; range.location == count with length 0 appends. newValues
 * may point into theArray itself. */
CF_EXPORT void CFArrayReplaceValues(CFMutableArrayRef theArray, CFRange range, const void** newValues,
                                    CFIndex newCount);
CF_EXPORT void CFArrayExchangeValuesAtIndices(CFMutableArrayRef theArray, CFIndex idx1, CFIndex idx2);
/* Stable: values the comparator finds equal keep their order. A comparator that is not a
 * consistent ordering only yields some permutation of the range; values are released and retained
 * through the callbacks as by CFArrayReplaceValues. */
CF_EXPORT void CFArraySortValues(CFMutableArrayRef theArray, CFRange range, CFComparatorFunction comparator,
                                 void* context);
/* otherArray may be theArray itself. */
CF_EXPORT void CFArrayAppendArray(CFMutableArrayRef theArray, CFArrayRef otherArray, CFRange otherRange);

CF_EXTERN_C_END

#endif /* __COREFOUNDATION_CFARRAY__ */
