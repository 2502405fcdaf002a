/*
 * CFSet.h — unordered collections of distinct values, immutable and mutable.
 *
 * Lookups are hashed; enumeration (CFSetGetValues, CFSetApplyFunction, descriptions) follows
 * insertion order. Values are owned through the callbacks (copied at creation): the retain
 * callback's result is what the set stores, the release callback runs on every value removed or
 * left at destruction. NULL callbacks store raw pointers, compared and hashed by address. Values
 * are always compared by address before the equal callback is asked.
 *
 * Mutating an immutable set changes nothing. Concurrent readers of a set that nobody mutates are
 * safe.
 */
#ifndef __COREFOUNDATION_CFSET__
#define __COREFOUNDATION_CFSET__

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFString.h>

CF_EXTERN_C_BEGIN

typedef const struct __CFSet* CFSetRef;
typedef struct __CFSet* CFMutableSetRef;

typedef const void* (*CFSetRetainCallBack)(CFAllocatorRef allocator, const void* value);
typedef void (*CFSetReleaseCallBack)(CFAllocatorRef allocator, const void* value);
typedef CFStringRef (*CFSetCopyDescriptionCallBack)(const void* value);
typedef Boolean (*CFSetEqualCallBack)(const void* value1, const void* value2);
typedef CFHashCode (*CFSetHashCallBack)(const void* value);

/* A NULL field means: no retain, no release, the address as description, equality by address,
 * the address as hash. Values that are equal must hash alike. */
typedef struct {
  CFIndex version;
  CFSetRetainCallBack retain;
  CFSetReleaseCallBack release;
  CFSetCopyDescriptionCallBack copyDescription;
  CFSetEqualCallBack equal;
  CFSetHashCallBack hash;
} CFSetCallBacks;

/* Values are CF objects: CFRetain, CFRelease, CFCopyDescription, CFEqual, CFHash. */
CF_EXPORT const CFSetCallBacks kCFTypeSetCallBacks;
/* Like kCFTypeSetCallBacks, but values (CFStrings) are stored as immutable copies. */
CF_EXPORT const CFSetCallBacks kCFCopyStringSetCallBacks;

typedef void (*CFSetApplierFunction)(const void* value, void* context);

CF_EXPORT CFTypeID CFSetGetTypeID(void);

/* Immutable set (owned); of equal values the first is kept. Returns NULL when numValues is
 * negative or values is NULL with numValues > 0. */
CF_EXPORT CFSetRef CFSetCreate(CFAllocatorRef allocator, const void** values, CFIndex numValues,
                               const CFSetCallBacks* callBacks);
/* Immutable copy with the same callbacks and order; values are retained again (owned). */
CF_EXPORT CFSetRef CFSetCreateCopy(CFAllocatorRef allocator, CFSetRef theSet);
/* capacity is a hint, never a limit; 0 means unbounded. */
CF_EXPORT CFMutableSetRef CFSetCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                             const CFSetCallBacks* callBacks);
CF_EXPORT CFMutableSetRef CFSetCreateMutableCopy(CFAllocatorRef allocator, CFIndex capacity, CFSetRef theSet);

CF_EXPORT CFIndex CFSetGetCount(CFSetRef theSet);
/* 1 when present, else 0. */
CF_EXPORT CFIndex CFSetGetCountOfValue(CFSetRef theSet, const void* value);
CF_EXPORT Boolean CFSetContainsValue(CFSetRef theSet, const void* value);
/* The stored value equal to value (borrowed), or NULL. */
CF_EXPORT const void* CFSetGetValue(CFSetRef theSet, const void* value);
/* *value (if value is not NULL) receives the stored value; untouched when absent. */
CF_EXPORT Boolean CFSetGetValueIfPresent(CFSetRef theSet, const void* candidate, const void** value);
/* Fills values with count values in insertion order (borrowed). */
CF_EXPORT void CFSetGetValues(CFSetRef theSet, const void** values);
CF_EXPORT void CFSetApplyFunction(CFSetRef theSet, CFSetApplierFunction applier, void* context);

/* Adds value only when no equal value is present. */
CF_EXPORT void CFSetAddValue(CFMutableSetRef theSet, const void* value);
/* Replaces an equal stored value with value (same position); nothing when absent. */
CF_EXPORT void CFSetReplaceValue(CFMutableSetRef theSet, const void* value);
/* Replaces an equal stored value, or adds value. */
CF_EXPORT void CFSetSetValue(CFMutableSetRef theSet, const void* value);
CF_EXPORT void CFSetRemoveValue(CFMutableSetRef theSet, const void* value);
CF_EXPORT void CFSetRemoveAllValues(CFMutableSetRef theSet);

CF_EXTERN_C_END

#endif /* __COREFOUNDATION_CFSET__ */
