// Reference counting, allocators, kCFNull and the polymorphic functions.
#include "CFRuntime.h"

#include "CFRef.h"
#include "CFStringInternal.h"

#include <CoreFoundation/CFString.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

const double kCFCoreFoundationVersionNumber = 1153.18;

// ---------------------------------------------------------------------------------------------
// Allocators

namespace {

enum class AllocatorKind { System, Null, UseContext, Custom };

}  // namespace

struct __CFAllocator : __CFRuntimeBase {
  AllocatorKind kind;
  CFAllocatorContext context;

  constexpr __CFAllocator(const qxcf::RuntimeClass* cls, AllocatorKind k)
      : __CFRuntimeBase(cls, qxcf::kImmortalCount), kind(k), context{} {}
  __CFAllocator(CFAllocatorRef alloc, const CFAllocatorContext& ctx);
};

namespace {

CFStringRef allocatorDescription(CFTypeRef cf) {
  auto* a = static_cast<const __CFAllocator*>(cf);
  const char* name = "custom";
  switch (a->kind) {
    case AllocatorKind::System: name = "system default"; break;
    case AllocatorKind::Null: name = "null"; break;
    case AllocatorKind::UseContext: name = "use context"; break;
    case AllocatorKind::Custom: break;
  }
  char buf[96];
  std::snprintf(buf, sizeof buf, "<CFAllocator %p [%s]>", cf, name);
  return CFStringCreateWithCString(nullptr, buf, kCFStringEncodingASCII);
}

// Not a destructor: the static allocators must never run teardown code at exit.
void finalizeAllocator(CFTypeRef cf) {
  auto* a = static_cast<const __CFAllocator*>(cf);
  if (a->context.release != nullptr && a->context.info != nullptr) a->context.release(a->context.info);
}

constexpr qxcf::RuntimeClass kAllocatorClass = {
    qxcf::kTypeIDAllocator, "CFAllocator", finalizeAllocator, nullptr, nullptr, nullptr,
    allocatorDescription};

constinit __CFAllocator gSystemAllocator(&kAllocatorClass, AllocatorKind::System);
constinit __CFAllocator gMallocAllocator(&kAllocatorClass, AllocatorKind::System);
constinit __CFAllocator gMallocZoneAllocator(&kAllocatorClass, AllocatorKind::System);
constinit __CFAllocator gNullAllocator(&kAllocatorClass, AllocatorKind::Null);
constinit __CFAllocator gUseContextAllocator(&kAllocatorClass, AllocatorKind::UseContext);

const __CFAllocator* asAllocator(CFAllocatorRef a) {
  return a == nullptr ? &gSystemAllocator : static_cast<const __CFAllocator*>(a);
}

}  // namespace

__CFAllocator::__CFAllocator(CFAllocatorRef alloc, const CFAllocatorContext& ctx)
    : __CFRuntimeBase(&kAllocatorClass, 1, alloc), kind(AllocatorKind::Custom), context(ctx) {
  if (context.retain != nullptr && context.info != nullptr) context.info = const_cast<void*>(context.retain(context.info));
}

const CFAllocatorRef kCFAllocatorDefault = nullptr;
const CFAllocatorRef kCFAllocatorSystemDefault = &gSystemAllocator;
const CFAllocatorRef kCFAllocatorMalloc = &gMallocAllocator;
const CFAllocatorRef kCFAllocatorMallocZone = &gMallocZoneAllocator;
const CFAllocatorRef kCFAllocatorNull = &gNullAllocator;
const CFAllocatorRef kCFAllocatorUseContext = &gUseContextAllocator;

CFTypeID CFAllocatorGetTypeID(void) { return qxcf::kTypeIDAllocator; }

void CFAllocatorSetDefault(CFAllocatorRef) {}

CFAllocatorRef CFAllocatorGetDefault(void) { return kCFAllocatorSystemDefault; }

CFAllocatorRef CFAllocatorCreate(CFAllocatorRef allocator, CFAllocatorContext* context) {
  if (context == nullptr || context->allocate == nullptr) return nullptr;
  if (allocator == kCFAllocatorUseContext) allocator = nullptr;
  return qxcf::cfCreate<__CFAllocator>(allocator, 0, *context);
}

void* CFAllocatorAllocate(CFAllocatorRef allocator, CFIndex size, CFOptionFlags hint) {
  if (size <= 0) return nullptr;
  const __CFAllocator* a = asAllocator(allocator);
  switch (a->kind) {
    case AllocatorKind::System: return std::malloc(static_cast<size_t>(size));
    case AllocatorKind::Custom: return a->context.allocate(size, hint, a->context.info);
    default: return nullptr;
  }
}

void* CFAllocatorReallocate(CFAllocatorRef allocator, void* ptr, CFIndex newsize, CFOptionFlags hint) {
  const __CFAllocator* a = asAllocator(allocator);
  if (ptr == nullptr) return CFAllocatorAllocate(allocator, newsize, hint);
  if (newsize <= 0) {
    CFAllocatorDeallocate(allocator, ptr);
    return nullptr;
  }
  switch (a->kind) {
    case AllocatorKind::System: return std::realloc(ptr, static_cast<size_t>(newsize));
    case AllocatorKind::Custom:
      return a->context.reallocate ? a->context.reallocate(ptr, newsize, hint, a->context.info) : nullptr;
    default: return nullptr;
  }
}

void CFAllocatorDeallocate(CFAllocatorRef allocator, void* ptr) {
  if (ptr == nullptr) return;
  const __CFAllocator* a = asAllocator(allocator);
  switch (a->kind) {
    case AllocatorKind::System: std::free(ptr); break;
    case AllocatorKind::Custom:
      if (a->context.deallocate) a->context.deallocate(ptr, a->context.info);
      break;
    default: break;
  }
}

CFIndex CFAllocatorGetPreferredSizeForSize(CFAllocatorRef allocator, CFIndex size, CFOptionFlags hint) {
  const __CFAllocator* a = asAllocator(allocator);
  if (a->kind == AllocatorKind::Custom && a->context.preferredSize != nullptr) {
    return a->context.preferredSize(size, hint, a->context.info);
  }
  return size;
}

void CFAllocatorGetContext(CFAllocatorRef allocator, CFAllocatorContext* context) {
  if (context == nullptr) return;
  const __CFAllocator* a = asAllocator(allocator);
  if (a->kind == AllocatorKind::Custom) {
    *context = a->context;
  } else {
    *context = CFAllocatorContext{};
  }
}

namespace qxcf {

CFAllocatorRef objectAllocator(CFAllocatorRef requested) {
  if (requested == nullptr || requested == kCFAllocatorUseContext) return nullptr;
  const __CFAllocator* a = static_cast<const __CFAllocator*>(requested);
  if (a->kind == AllocatorKind::System) return nullptr;
  if (a->kind == AllocatorKind::Custom) CFRetain(a);
  return requested;  // kCFAllocatorNull stays, and makes creation fail
}

void* allocateObjectStorage(CFAllocatorRef allocator, size_t size) {
  if (allocator == nullptr) return std::malloc(size);
  void* p = CFAllocatorAllocate(allocator, static_cast<CFIndex>(size), 0);
  if (p == nullptr && static_cast<const __CFAllocator*>(allocator)->kind == AllocatorKind::Custom) {
    CFRelease(allocator);  // undo objectAllocator's retain: the object never came to be
  }
  return p;
}

void freeObjectStorage(CFAllocatorRef allocator, void* p) {
  if (allocator == nullptr) {
    std::free(p);
    return;
  }
  CFAllocatorDeallocate(allocator, p);
  CFRelease(allocator);
}

}  // namespace qxcf

// ---------------------------------------------------------------------------------------------
// kCFNull

struct __CFNull : __CFRuntimeBase {
  using __CFRuntimeBase::__CFRuntimeBase;
};

namespace {

CFStringRef nullDescription(CFTypeRef) { return CFSTR("<CFNull>"); }

constexpr qxcf::RuntimeClass kNullClass = {
    qxcf::kTypeIDNull, "CFNull", nullptr, nullptr, nullptr, nullptr, nullDescription};

constinit __CFNull gNull(&kNullClass, qxcf::kImmortalCount);

}  // namespace

const CFNullRef kCFNull = &gNull;

CFTypeID CFNullGetTypeID(void) { return qxcf::kTypeIDNull; }

// ---------------------------------------------------------------------------------------------
// Polymorphic functions

namespace {

const char* const kTypeNames[qxcf::kTypeIDCount] = {
    nullptr,    "CFNull",     "CFAllocator", "CFString",   "CFArray",    "CFDictionary",
    "CFSet",    "CFNumber",   "CFBoolean",   "CFData",     "CFDate",     "CFTimeZone",
    "CFURL",    "CFError",    "CFUUID",      "CFLocale",   "CFNumberFormatter", "CFBundle"};

__CFRuntimeBase* mutableBase(CFTypeRef cf) { return const_cast<__CFRuntimeBase*>(qxcf::base(cf)); }

}  // namespace

CFTypeID CFGetTypeID(CFTypeRef cf) { return qxcf::typeOf(cf); }

CFStringRef CFCopyTypeIDDescription(CFTypeID type_id) {
  if (type_id == 0 || type_id >= qxcf::kTypeIDCount) return nullptr;
  return __CFStringMakeConstantString(kTypeNames[type_id]);
}

CFTypeRef CFRetain(CFTypeRef cf) {
  auto& rc = mutableBase(cf)->rc;
  if (rc.load(std::memory_order_relaxed) < qxcf::kImmortalCount) rc.fetch_add(1, std::memory_order_relaxed);
  return cf;
}

void CFRelease(CFTypeRef cf) {
  __CFRuntimeBase* b = mutableBase(cf);
  if (b->rc.load(std::memory_order_relaxed) >= qxcf::kImmortalCount) return;
  if (b->rc.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  CFAllocatorRef alloc = b->allocator;
  if (b->isa->finalize != nullptr) b->isa->finalize(cf);
  qxcf::freeObjectStorage(alloc, b);
}

CFTypeRef CFAutorelease(CFTypeRef cf) { return cf; }

CFTypeRef CFMakeCollectable(CFTypeRef cf) { return cf; }

CFIndex CFGetRetainCount(CFTypeRef cf) {
  int32_t n = qxcf::base(cf)->rc.load(std::memory_order_relaxed);
  return n >= qxcf::kImmortalCount ? static_cast<CFIndex>(INT64_MAX) : n;
}

Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2) {
  if (cf1 == cf2) return true;
  if (cf1 == nullptr || cf2 == nullptr) return false;
  const qxcf::RuntimeClass* cls = qxcf::base(cf1)->isa;
  if (cls->typeID != qxcf::typeOf(cf2)) return false;
  return cls->equal != nullptr && cls->equal(cf1, cf2);
}

CFHashCode CFHash(CFTypeRef cf) {
  const qxcf::RuntimeClass* cls = qxcf::base(cf)->isa;
  if (cls->hash != nullptr) return cls->hash(cf);
  return qxcf::mixHash(reinterpret_cast<uintptr_t>(cf));
}

CFStringRef CFCopyDescription(CFTypeRef cf) {
  if (cf == nullptr) return nullptr;
  const qxcf::RuntimeClass* cls = qxcf::base(cf)->isa;
  if (cls->copyDebugDesc != nullptr) return cls->copyDebugDesc(cf);
  if (cls->copyFormattingDesc != nullptr) return cls->copyFormattingDesc(cf);
  char buf[96];
  std::snprintf(buf, sizeof buf, "<%s %p>", cls->name, cf);
  return CFStringCreateWithCString(nullptr, buf, kCFStringEncodingUTF8);
}

CFAllocatorRef CFGetAllocator(CFTypeRef cf) {
  CFAllocatorRef a = qxcf::base(cf)->allocator;
  return a == nullptr ? kCFAllocatorSystemDefault : a;
}

namespace qxcf {

CFStringRef copyFormattingDescription(CFTypeRef cf) {
  if (cf == nullptr) return CFSTR("(null)");
  const RuntimeClass* cls = base(cf)->isa;
  if (cls->copyFormattingDesc != nullptr) {
    if (CFStringRef s = cls->copyFormattingDesc(cf)) return s;
  }
  return CFCopyDescription(cf);
}

}  // namespace qxcf

void CFShow(CFTypeRef obj) {
  // Lossy on purpose: a debugging aid must show lone surrogates (as U+FFFD) and embedded NULs
  // rather than print nothing.
  qxcf::CFRef<CFStringRef> desc = qxcf::adopt(qxcf::copyFormattingDescription(obj));
  std::string out = qxcf::toUTF8(desc.get());
  out.push_back('\n');
  std::fwrite(out.data(), 1, out.size(), stderr);
}
