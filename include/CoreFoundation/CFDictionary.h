/*
 * CFDictionary.h — key-value collections, immutable and mutable.
 *
 * Lookups are hashed; enumeration (CFDictionaryGetKeysAndValues, CFDictionaryApplyFunction,
 * descriptions) follows insertion order. Setting the value of a key already present keeps the key
 * object and its position; removing a key and adding it again puts it last.
 *
 * Keys and values are owned through their callbacks (copied at creation): the retain callback's
 * result is what the dictionary stores, the release callback runs on everything removed or left at
 * destruction. NULL callbacks store raw pointers, compared and hashed by address. Keys are always
 * compared by address before the equal callback is asked.
 *
 * Mutating an immutable dictionary changes nothing. Concurrent readers of a dictionary that
 * nobody mutates are safe.
 */
#ifndef __COREFOUNDATION_CFDICTIONARY__
#define __COREFOUNDATION_CFDICTIONARY__

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

typedef const struct __CFDictionary* CFDictionaryRef;
typedef struct __CFDictionary* CFMutableDictionaryRef;

typedef const void* (*CFDictionaryRetainCallBack)(CFAllocatorRef allocator, const void* value);
typedef void (*CFDictionaryReleaseCallBack)(CFAllocatorRef allocator, const void* value);
typedef CFStringRef (*CFDictionaryCopyDescriptionCallBack)(const void* value);
typedef Boolean (*CFDictionaryEqualCallBack)(const void* value1, const void* value2);
typedef CFHashCode (*CFDictionaryHashCallBack)(const void* value);

/* A NULL field means: no retain, no release, the address as description, equality by address,
 * the address as hash. Keys that are equal must hash alike. */
typedef struct {
  CFIndex version;
  CFDictionaryRetainCallBack retain;
  CFDictionaryReleaseCallBack release;
  CFDictionaryCopyDescriptionCallBack copyDescription;
  CFDictionaryEqualCallBack equal;
  CFDictionaryHashCallBack hash;
} CFDictionaryKeyCallBacks;

/* Keys are CF objects: CFRetain, CFRelease, CFCopyDescription, CFEqual, CFHash. */
CF_EXPORT const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
/* Like kCFTypeDictionaryKeyCallBacks, but keys (CFStrings) are stored as immutable copies, so a
 * mutable string used as a key may change afterwards without disturbing the dictionary. */
CF_EXPORT const CFDictionaryKeyCallBacks kCFCopyStringDictionaryKeyCallBacks;

typedef struct {
  CFIndex version;
  CFDictionaryRetainCallBack retain;
  CFDictionaryReleaseCallBack release;
  CFDictionaryCopyDescriptionCallBack copyDescription;
  CFDictionaryEqualCallBack equal;
} CFDictionaryValueCallBacks;

/* Values are CF objects: CFRetain, CFRelease, CFCopyDescription, CFEqual. */
CF_EXPORT const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;

typedef void (*CFDictionaryApplierFunction)(const void* key, const void* value, void* context);

CF_EXPORT CFTypeID CFDictionaryGetTypeID(void);

/* Immutable dictionary of numValues pairs (owned); of equal keys the first pair is kept. Returns
 * NULL when numValues is negative or keys/values is NULL with numValues > 0. */
CF_EXPORT CFDictionaryRef CFDictionaryCreate(CFAllocatorRef allocator, const void** keys, const void** values,
                                             CFIndex numValues, const CFDictionaryKeyCallBacks* keyCallBacks,
                                             const CFDictionaryValueCallBacks* valueCallBacks);
/* Immutable copy with the same callbacks and order; keys and values are retained again (owned). */
CF_EXPORT CFDictionaryRef CFDictionaryCreateCopy(CFAllocatorRef allocator, CFDictionaryRef theDict);
/* capacity is a hint, never a limit; 0 means unbounded. */
CF_EXPORT CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                                           const CFDictionaryKeyCallBacks* keyCallBacks,
                                                           const CFDictionaryValueCallBacks* valueCallBacks);
CF_EXPORT CFMutableDictionaryRef CFDictionaryCreateMutableCopy(CFAllocatorRef allocator, CFIndex capacity,
                                                               CFDictionaryRef theDict);

CF_EXPORT CFIndex CFDictionaryGetCount(CFDictionaryRef theDict);
/* 1 when the key is present, else 0. */
CF_EXPORT CFIndex CFDictionaryGetCountOfKey(CFDictionaryRef theDict, const void* key);
/* Number of keys whose value equals value (by the value callbacks). */
CF_EXPORT CFIndex CFDictionaryGetCountOfValue(CFDictionaryRef theDict, const void* value);
CF_EXPORT Boolean CFDictionaryContainsKey(CFDictionaryRef theDict, const void* key);
CF_EXPORT Boolean CFDictionaryContainsValue(CFDictionaryRef theDict, const void* value);
/* Borrowed; NULL when absent (use CFDictionaryGetValueIfPresent to tell a stored NULL apart). */
CF_EXPORT const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key);
/* value may be NULL; it is left untouched when the key is absent. */
CF_EXPORT Boolean CFDictionaryGetValueIfPresent(CFDictionaryRef theDict, const void* key, const void** value);
/* Fills either array (may be NULL) with count entries in insertion order (borrowed). */
CF_EXPORT void CFDictionaryGetKeysAndValues(CFDictionaryRef theDict, const void** keys, const void** values);
/* Calls applier for every pair in insertion order. */
CF_EXPORT void CFDictionaryApplyFunction(CFDictionaryRef theDict, CFDictionaryApplierFunction applier, void* context);

/* Adds the pair only when the key is absent. */
CF_EXPORT void CFDictionaryAddValue(CFMutableDictionaryRef theDict, const void* key, const void* value);
/* Adds the pair, or replaces the value of a present key (which keeps its key object and position;
 * the new value is retained before the old one is released). */
CF_EXPORT void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void* key, const void* value);
/* Replaces the value only when the key is present. */
CF_EXPORT void CFDictionaryReplaceValue(CFMutableDictionaryRef theDict, const void* key, const void* value);
CF_EXPORT void CFDictionaryRemoveValue(CFMutableDictionaryRef theDict, const void* key);
CF_EXPORT void CFDictionaryRemoveAllValues(CFMutableDictionaryRef theDict);

CF_EXTERN_C_END

#endif /* __COREFOUNDATION_CFDICTIONARY__ */
