// The reference-counted root class and the CF callbacks that let collections hold library objects.
#include <QXCore/QXBase.h>

#include <atomic>

CBaseCore::~CBaseCore() = default;

void CBaseCore::AddRef() { mRefCount.fetch_add(1, std::memory_order_seq_cst); }

void CBaseCore::Release() {
  if (mRefCount.fetch_sub(1, std::memory_order_seq_cst) == 1) delete this;
}

int CBaseCore::Initialize(int) { return 0; }

const void* CBaseCore::CFArrayRetainCallBack(CFAllocatorRef, const void* value) {
  static_cast<CBaseCore*>(const_cast<void*>(value))->AddRef();
  return value;
}

void CBaseCore::CFArrayReleaseCallBack(CFAllocatorRef, const void* value) {
  static_cast<CBaseCore*>(const_cast<void*>(value))->Release();
}

CFStringRef CBaseCore::CFArrayCopyDescriptionCallBack(const void*) { return nullptr; }

Boolean CBaseCore::CFArrayEqualCallBack(const void*, const void*) { return false; }

const void* CBaseCore::CFDictionaryRetainCallBack(CFAllocatorRef allocator, const void* value) {
  return CFArrayRetainCallBack(allocator, value);
}

void CBaseCore::CFDictionaryReleaseCallBack(CFAllocatorRef allocator, const void* value) {
  CFArrayReleaseCallBack(allocator, value);
}

CFStringRef CBaseCore::CFDictionaryCopyDescriptionCallBack(const void* value) {
  return CFArrayCopyDescriptionCallBack(value);
}

Boolean CBaseCore::CFDictionaryEqualCallBack(const void* a, const void* b) { return CFArrayEqualCallBack(a, b); }

const CFArrayCallBacks CBaseCore::sArrayCallbacks = {0, CFArrayRetainCallBack, CFArrayReleaseCallBack,
                                                     CFArrayCopyDescriptionCallBack, CFArrayEqualCallBack};
const CFDictionaryValueCallBacks CBaseCore::sDictionaryValueCallBacks = {
    0, CFDictionaryRetainCallBack, CFDictionaryReleaseCallBack, CFDictionaryCopyDescriptionCallBack,
    CFDictionaryEqualCallBack};

const CFArrayCallBacks* QXUtilsGetArrayCallbacks(void) { return &CBaseCore::sArrayCallbacks; }

const CFDictionaryValueCallBacks* QXUtilsGetDictionaryValueCallbacks(void) {
  return &CBaseCore::sDictionaryValueCallBacks;
}

int32_t QXUtilsAtomicIncrement32(int32_t* value) {
  return std::atomic_ref<int32_t>(*value).fetch_add(1, std::memory_order_seq_cst) + 1;
}

int32_t QXUtilsAtomicDecrement32(int32_t* value) {
  return std::atomic_ref<int32_t>(*value).fetch_sub(1, std::memory_order_seq_cst) - 1;
}

// Nothing to initialise on this platform; see the header.
CBaseCom::CBaseCom() = default;
CBaseCom::~CBaseCom() = default;
