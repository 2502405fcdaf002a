// The object model shared by every CoreFoundation type of this layer.
//
// Each object starts with __CFRuntimeBase: a pointer to its class (type id, name and the
// polymorphic operations), an atomic reference count and the allocator it came from. Objects are
// C++ structs derived from the base; they are created with cfCreate<T>() and destroyed by the
// class's finalize when the count reaches zero.
#pragma once

#include <CoreFoundation/CFBase.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

namespace qxcf {

// Fixed type ids: no registration step, so constants can be built before any initialiser runs.
enum TypeID : CFTypeID {
  kTypeIDNotAType = 0,
  kTypeIDNull = 1,
  kTypeIDAllocator,
  kTypeIDString,
  kTypeIDArray,
  kTypeIDDictionary,
  kTypeIDSet,
  kTypeIDNumber,
  kTypeIDBoolean,
  kTypeIDData,
  kTypeIDDate,
  kTypeIDTimeZone,
  kTypeIDURL,
  kTypeIDError,
  kTypeIDUUID,
  kTypeIDLocale,
  kTypeIDNumberFormatter,
  kTypeIDBundle,
  kTypeIDCount
};

struct RuntimeClass {
  CFTypeID typeID;
  const char* name;
  // Destroys the contents (runs the C++ destructor); the runtime frees the storage afterwards.
  void (*finalize)(CFTypeRef cf);
  // Called only for two distinct objects of the same type id. NULL means identity.
  bool (*equal)(CFTypeRef a, CFTypeRef b);
  // NULL means the address.
  CFHashCode (*hash)(CFTypeRef cf);
  // What "%@" inserts (owned). NULL falls back to copyDebugDesc.
  CFStringRef (*copyFormattingDesc)(CFTypeRef cf);
  // What CFCopyDescription returns (owned). NULL gives "<CFType 0x...>".
  CFStringRef (*copyDebugDesc)(CFTypeRef cf);
};

// Counts at or above this never change: constants and static singletons.
inline constexpr int32_t kImmortalCount = 0x40000000;

}  // namespace qxcf

struct __CFRuntimeBase {
  const qxcf::RuntimeClass* isa;
  std::atomic<int32_t> rc;
  CFAllocatorRef allocator;  // NULL for the system allocator

  constexpr __CFRuntimeBase(const qxcf::RuntimeClass* cls, int32_t count, CFAllocatorRef alloc = nullptr)
      : isa(cls), rc(count), allocator(alloc) {}
  __CFRuntimeBase(const __CFRuntimeBase&) = delete;
  __CFRuntimeBase& operator=(const __CFRuntimeBase&) = delete;
};

namespace qxcf {

inline const __CFRuntimeBase* base(CFTypeRef cf) { return static_cast<const __CFRuntimeBase*>(cf); }
inline CFTypeID typeOf(CFTypeRef cf) { return base(cf)->isa->typeID; }
inline bool isType(CFTypeRef cf, CFTypeID id) { return cf != nullptr && base(cf)->isa->typeID == id; }

// Storage for objects from the given allocator (NULL: the system heap). Returns nullptr on failure.
void* allocateObjectStorage(CFAllocatorRef allocator, size_t size);
void freeObjectStorage(CFAllocatorRef allocator, void* p);
// The allocator an object should remember: NULL for the default/system ones, else retained.
CFAllocatorRef objectAllocator(CFAllocatorRef requested);

template <class T>
void finalizeAs(CFTypeRef cf) {
  static_cast<T*>(const_cast<void*>(cf))->~T();
}

// Creates an object of type T with `extra` trailing bytes. T's constructor receives the class
// and allocator first, then args. Returns nullptr when storage cannot be had.
template <class T, class... Args>
T* cfCreate(CFAllocatorRef allocator, size_t extra, Args&&... args) {
  CFAllocatorRef alloc = objectAllocator(allocator);
  void* mem = allocateObjectStorage(alloc, sizeof(T) + extra);
  if (mem == nullptr) return nullptr;
  return new (mem) T(alloc, std::forward<Args>(args)...);
}

// The formatting description used by "%@" and CFShow (owned; "(null)" for NULL).
CFStringRef copyFormattingDescription(CFTypeRef cf);

// Hash mixing shared by every type, so that e.g. numbers and their dictionaries hash well.
inline CFHashCode mixHash(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return static_cast<CFHashCode>(x);
}

}  // namespace qxcf
