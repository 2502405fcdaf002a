/*
 * QXBase.h — export macros, status codes, time constants, the reference-counted root class and
 * the intrusive list shared by every family.
 *
 * Functions of the C interface return a QXStatus, a signed 32-bit status: kQXNoErr (0) for
 * success, one of the kQXErr... codes below (or a family's own code, named in its header) for the
 * library's own failures, and platform errors (errno values) passed through unchanged. Nothing
 * throws across the interface.
 *
 * Handles. Every object handed out through the C interface is a CBaseCore and its handle is the
 * object's own address, typed as a pointer to an opaque struct (struct __QXMutex, struct __QXImage,
 * ...). Each family offers the same three verbs:
 *   - a function with Create in its name returns a handle carrying one reference, owned by the
 *     caller (null, or null stored in the out-parameter, on failure);
 *   - <Family>Retain adds a reference (QXImageRetain returns its argument, the others nothing);
 *   - <Family>Release drops one; the object may be destroyed inside the call.
 * Retain and release take a live handle, never null. Functions named Get return borrowed
 * references, Copy and Create owned ones.
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

/* 0, a kQXErr... code or an errno value (see above); the same type as int32_t. */
typedef int32_t QXStatus;

enum {
  kQXNoErr = 0,
  /* a failure with no more specific code: an unsupported stream operation, a read past the end, a
     zero-size image, a URL without a file-system path, a module or symbol that cannot be loaded */
  kQXErrGeneric = -1,
  kQXErrLentBuffer = -50,         /* allocation attempted on a lent buffer */
  kQXErrMemory = -108,            /* memory exhausted */
  kQXErrNoScratch = 1002,         /* scratch buffer unavailable */
  kQXErrInvalidArgument = 1005,   /* invalid argument or empty rectangle */
  kQXErrSolidTileSize = 1006,     /* solid tile record of the wrong size */
  kQXErrInvalidProfile = 1015,    /* data that is not a valid ICC profile */
  kQXErrUnsupportedFormat = 1020, /* unsupported depth or pixel format */
  kQXErrNotOffered = 1025,        /* operation not offered by this kind of image record */
  kQXErrAPIVersion = -6969,       /* "result" of a connect whose API version differs from the server's */
  kQXErrWaitTimeout = 258,        /* a timed condition wait ran out */
  kQXErrNotConnected = 10057      /* a socket's peer has closed */
};

QX_EXTERN_C_BEGIN

/* Time constants, in milliseconds. */
QX_EXPORT extern const int32_t kQXOneSecond;
QX_EXPORT extern const int32_t kQXOneHalfSecond;
QX_EXPORT extern const int32_t kQXOneQuarterSecond;

/* The library's version as "major.minor.patch" (a constant string; do not release). */
QX_EXPORT CFStringRef QXCoreGetVersionString(void);

/* Callbacks for CFArrays, and for the values of CFDictionaries, that own library objects: one
   reference per element, equality by identity only, no description. The tables are constant and
   live as long as the library. */
QX_EXPORT const CFArrayCallBacks* QXUtilsGetArrayCallbacks(void);
QX_EXPORT const CFDictionaryValueCallBacks* QXUtilsGetDictionaryValueCallbacks(void);

/* Atomically add or subtract 1 and return the new value; lock-free, full barrier. The pointer
   must be 4-byte aligned. */
QX_EXPORT int32_t QXUtilsAtomicIncrement32(int32_t* value);
QX_EXPORT int32_t QXUtilsAtomicDecrement32(int32_t* value);

QX_EXTERN_C_END

#if defined(__cplusplus)
#include <atomic>

/* Root of every reference-counted library object. A new object has one reference; the Release
   that brings the count to zero deletes it, on whichever thread that happens. AddRef and Release
   are lock-free full barriers and never check for overflow or a dead object. Derived classes
   release what they hold in their destructors and do not override AddRef or Release. */
class QX_EXPORT CBaseCore {
 public:
  CBaseCore() noexcept : mRefCount(1) {}
  CBaseCore(const CBaseCore&) = delete;
  CBaseCore& operator=(const CBaseCore&) = delete;

  virtual ~CBaseCore();
  virtual void AddRef();
  virtual void Release();

  /* A snapshot of the count; it may change the moment it is read. */
  uint32_t RefCount() const { return mRefCount.load(std::memory_order_relaxed); }

  /* Start-up hook kept for source compatibility; does nothing and returns 0. */
  static int Initialize(int);

  static const CFArrayCallBacks sArrayCallbacks;
  static const CFDictionaryValueCallBacks sDictionaryValueCallBacks;
  static const CFArrayCallBacks* GetArrayCallbacks() { return &sArrayCallbacks; }
  static const CFDictionaryValueCallBacks* GetDictionaryValueCallbacks() { return &sDictionaryValueCallBacks; }

  /* The callbacks behind both tables; the allocator argument is ignored. */
  static const void* CFArrayRetainCallBack(CFAllocatorRef allocator, const void* value);
  static void CFArrayReleaseCallBack(CFAllocatorRef allocator, const void* value);
  static CFStringRef CFArrayCopyDescriptionCallBack(const void* value); /* always NULL */
  static Boolean CFArrayEqualCallBack(const void* a, const void* b);    /* always false: identity only */
  static const void* CFDictionaryRetainCallBack(CFAllocatorRef allocator, const void* value);
  static void CFDictionaryReleaseCallBack(CFAllocatorRef allocator, const void* value);
  static CFStringRef CFDictionaryCopyDescriptionCallBack(const void* value);
  static Boolean CFDictionaryEqualCallBack(const void* a, const void* b);

 private:
  std::atomic<uint32_t> mRefCount;
};

/* Brackets per-thread component-system initialisation on other platforms; on Linux there is
   nothing to initialise, and the class is kept so that shared sources compile unchanged. */
class QX_EXPORT CBaseCom {
 public:
  CBaseCom();
  virtual ~CBaseCom();
  CBaseCom(const CBaseCom&) = delete;
  CBaseCom& operator=(const CBaseCom&) = delete;
};

/* Links carried by objects kept in a CBaseList. A node belongs to at most one list at a time. */
class QX_EXPORT CBaseNode {
 public:
  CBaseNode() = default;
  virtual ~CBaseNode();

  CBaseNode* GetNext() const { return mNext; }
  void SetNext(CBaseNode* node) { mNext = node; }
  CBaseNode* GetPrevious() const { return mPrevious; }
  void SetPrevious(CBaseNode* node) { mPrevious = node; }
  bool GetInContainer() const { return mInContainer; }
  void SetInContainer(bool inContainer) { mInContainer = inContainer; }

 private:
  CBaseNode* mNext = nullptr;
  CBaseNode* mPrevious = nullptr;
  bool mInContainer = false;
};

/* An intrusive doubly linked list. It never owns, retains or frees its nodes and does not lock:
   its owner serialises access. Remove expects a node of this list. When a change leaves the front
   without a successor while two or more nodes are counted, a diagnostic line goes to standard
   output; no operation fails. */
class QX_EXPORT CBaseList {
 public:
  CBaseList() = default;

  CBaseNode* GetFront() const { return mFront; }
  CBaseNode* GetBack() const { return mBack; }
  int32_t GetSize() const { return mSize; }

  void PushFront(CBaseNode* node);
  void PushBack(CBaseNode* node);
  void Remove(CBaseNode* node);
  CBaseNode* PopFront(); /* NULL when empty */
  CBaseNode* PopBack();  /* NULL when empty */

 private:
  CBaseNode* mFront = nullptr;
  CBaseNode* mBack = nullptr;
  int32_t mSize = 0;
};
#endif /* __cplusplus */

#endif /* QXCORE_QXBASE_H */
