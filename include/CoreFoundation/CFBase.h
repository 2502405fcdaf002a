/*
 * CFBase.h — basic types, allocators and the polymorphic object functions.
 *
 * Names, signatures and constant values follow Apple's published CoreFoundation, so code written
 * against CoreFoundation compiles unchanged. Every object carries an atomic reference count: any
 * function may be called from any thread on distinct objects; mutable objects must not be mutated
 * while another thread reads or mutates the same object.
 *
 * Ownership follows the Create/Copy rule: a function whose name contains "Create" or "Copy" returns
 * a reference the caller owns and must CFRelease; every other function returns a borrowed reference.
 */
#ifndef __COREFOUNDATION_CFBASE__
#define __COREFOUNDATION_CFBASE__

#include <stdarg.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#if defined(__cplusplus)
#define CF_EXTERN_C_BEGIN extern "C" {
#define CF_EXTERN_C_END }
#else
#define CF_EXTERN_C_BEGIN
#define CF_EXTERN_C_END
#endif

#define CF_EXPORT extern __attribute__((visibility("default")))
#define CF_INLINE static __inline__ __attribute__((always_inline))
#define CF_ENUM(_type, _name) \
  _type _name;                \
  enum
#define CF_OPTIONS(_type, _name) \
  _type _name;                   \
  enum
#define CF_RETURNS_RETAINED
#define CF_RETURNS_NOT_RETAINED
#define CF_FORMAT_FUNCTION(F, A)
#define CF_FORMAT_ARGUMENT
#define CF_IMPLICIT_BRIDGING_ENABLED
#define CF_IMPLICIT_BRIDGING_DISABLED
#define CF_ASSUME_NONNULL_BEGIN
#define CF_ASSUME_NONNULL_END

CF_EXTERN_C_BEGIN

typedef unsigned char Boolean;
typedef unsigned char UInt8;
typedef signed char SInt8;
typedef unsigned short UInt16;
typedef signed short SInt16;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef uint64_t UInt64;
typedef int64_t SInt64;
typedef float Float32;
typedef double Float64;
typedef uint16_t UniChar;
typedef unsigned long UniCharCount;
typedef uint32_t UTF32Char;
typedef uint16_t UTF16Char;
typedef uint8_t UTF8Char;
typedef SInt32 OSStatus;
typedef SInt16 OSErr;
typedef UInt32 FourCharCode;
typedef FourCharCode OSType;
typedef unsigned char* StringPtr;
typedef const unsigned char* ConstStringPtr;

#if !defined(TRUE)
#define TRUE 1
#endif
#if !defined(FALSE)
#define FALSE 0
#endif

typedef unsigned long CFTypeID;
typedef unsigned long CFOptionFlags;
typedef unsigned long CFHashCode;
typedef signed long CFIndex;

/* The polymorphic object type. */
typedef const void* CFTypeRef;

typedef const struct __CFString* CFStringRef;
typedef struct __CFString* CFMutableStringRef;

/* A property list: CFString, CFData, CFNumber, CFBoolean, CFDate, CFArray or CFDictionary. */
typedef CFTypeRef CFPropertyListRef;

typedef CF_ENUM(CFIndex, CFComparisonResult){
    kCFCompareLessThan = -1L,
    kCFCompareEqualTo = 0,
    kCFCompareGreaterThan = 1,
};

typedef CFComparisonResult (*CFComparatorFunction)(const void* val1, const void* val2, void* context);

enum { kCFNotFound = -1 };

typedef struct {
  CFIndex location;
  CFIndex length;
} CFRange;

CF_INLINE CFRange CFRangeMake(CFIndex loc, CFIndex len) {
  CFRange range;
  range.location = loc;
  range.length = len;
  return range;
}

/* Version number of this CoreFoundation layer. */
CF_EXPORT const double kCFCoreFoundationVersionNumber;

/* The null object: a singleton distinct from NULL, usable as a collection value. */
typedef const struct __CFNull* CFNullRef;
CF_EXPORT CFTypeID CFNullGetTypeID(void);
CF_EXPORT const CFNullRef kCFNull;

/* Allocators. kCFAllocatorDefault (NULL) means "the current default", which is the system one.
 * kCFAllocatorNull allocates nothing and frees nothing: it is the deallocator to pass when the
 * caller keeps ownership of bytes handed to a NoCopy creation function. */
typedef const struct __CFAllocator* CFAllocatorRef;

CF_EXPORT const CFAllocatorRef kCFAllocatorDefault;
CF_EXPORT const CFAllocatorRef kCFAllocatorSystemDefault;
CF_EXPORT const CFAllocatorRef kCFAllocatorMalloc;
CF_EXPORT const CFAllocatorRef kCFAllocatorMallocZone;
CF_EXPORT const CFAllocatorRef kCFAllocatorNull;
CF_EXPORT const CFAllocatorRef kCFAllocatorUseContext;

typedef const void* (*CFAllocatorRetainCallBack)(const void* info);
typedef void (*CFAllocatorReleaseCallBack)(const void* info);
typedef CFStringRef (*CFAllocatorCopyDescriptionCallBack)(const void* info);
typedef void* (*CFAllocatorAllocateCallBack)(CFIndex allocSize, CFOptionFlags hint, void* info);
typedef void* (*CFAllocatorReallocateCallBack)(void* ptr, CFIndex newsize, CFOptionFlags hint, void* info);
typedef void (*CFAllocatorDeallocateCallBack)(void* ptr, void* info);
typedef CFIndex (*CFAllocatorPreferredSizeCallBack)(CFIndex size, CFOptionFlags hint, void* info);

typedef struct {
  CFIndex version;
  void* info;
  CFAllocatorRetainCallBack retain;
  CFAllocatorReleaseCallBack release;
  CFAllocatorCopyDescriptionCallBack copyDescription;
  CFAllocatorAllocateCallBack allocate;
  CFAllocatorReallocateCallBack reallocate;
  CFAllocatorDeallocateCallBack deallocate;
  CFAllocatorPreferredSizeCallBack preferredSize;
} CFAllocatorContext;

CF_EXPORT CFTypeID CFAllocatorGetTypeID(void);
/* The default allocator is always the system allocator; setting another is accepted and ignored
 * for objects, which are always allocated from the system heap. */
CF_EXPORT void CFAllocatorSetDefault(CFAllocatorRef allocator);
CF_EXPORT CFAllocatorRef CFAllocatorGetDefault(void);
/* Creates an allocator over the caller's callbacks (owned). Returns NULL if context lacks allocate. */
CF_EXPORT CFAllocatorRef CFAllocatorCreate(CFAllocatorRef allocator, CFAllocatorContext* context);
/* Returns NULL for size <= 0 or when the allocator gives nothing (kCFAllocatorNull). */
CF_EXPORT void* CFAllocatorAllocate(CFAllocatorRef allocator, CFIndex size, CFOptionFlags hint);
/* ptr NULL allocates; newsize 0 frees and returns NULL. */
CF_EXPORT void* CFAllocatorReallocate(CFAllocatorRef allocator, void* ptr, CFIndex newsize, CFOptionFlags hint);
CF_EXPORT void CFAllocatorDeallocate(CFAllocatorRef allocator, void* ptr);
CF_EXPORT CFIndex CFAllocatorGetPreferredSizeForSize(CFAllocatorRef allocator, CFIndex size, CFOptionFlags hint);
CF_EXPORT void CFAllocatorGetContext(CFAllocatorRef allocator, CFAllocatorContext* context);

/* Polymorphic functions. CFRetain and CFRelease require a non-NULL object. Constants (CFSTR
 * strings, the booleans, kCFNull, the allocators) are immortal: retain and release do nothing. */
CF_EXPORT CFTypeID CFGetTypeID(CFTypeRef cf);
/* Returns the type's name ("CFString", ...) as a constant string, or NULL for an unknown id. */
CF_EXPORT CFStringRef CFCopyTypeIDDescription(CFTypeID type_id);
CF_EXPORT CFTypeRef CFRetain(CFTypeRef cf);
CF_EXPORT void CFRelease(CFTypeRef cf);
/* Returns cf; the reference is dropped when the process's autorelease pool would drain, which on
 * this layer is never: prefer CFRelease. */
CF_EXPORT CFTypeRef CFAutorelease(CFTypeRef cf);
CF_EXPORT CFTypeRef CFMakeCollectable(CFTypeRef cf);
/* A snapshot of the count; immortal objects report a very large number. */
CF_EXPORT CFIndex CFGetRetainCount(CFTypeRef cf);
/* Value equality; objects of different types are never equal (numbers of different number types
 * compare by value). */
CF_EXPORT Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2);
/* Consistent with CFEqual: equal objects hash alike. */
CF_EXPORT CFHashCode CFHash(CFTypeRef cf);
/* A debugging description, possibly richer than what "%@" inserts (owned). */
CF_EXPORT CFStringRef CFCopyDescription(CFTypeRef cf);
CF_EXPORT CFAllocatorRef CFGetAllocator(CFTypeRef cf);

CF_EXTERN_C_END

#endif /* __COREFOUNDATION_CFBASE__ */
