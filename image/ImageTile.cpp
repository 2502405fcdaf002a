// Tiles: storage of the three kinds, the use lock, and the QXTile functions.
#include "image/ImageTile.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <thread>

#include "cf/CFRef.h"
#include "image/BlockMemory.h"
#include "image/ImageRec.h"
#include "image/MemPool.h"

using qxcf::CFRef;

namespace {

long Futex(std::atomic<int32_t>* word, int op, int32_t value, const timespec* timeout) {
  return syscall(SYS_futex, reinterpret_cast<int32_t*>(word), op | FUTEX_PRIVATE_FLAG, value, timeout, nullptr, 0);
}

}  // namespace

CImageTile::~CImageTile() {
  FreeData();
  if (mRawData) CFRelease(mRawData);
}

int32_t CImageTile::Realloc(bool zeroed) {
  const int64_t needed = int64_t(mRowBytes) * mHeight;
  if (needed < 0 || needed > INT32_MAX) return kQXErrMemory;
  if (mAllocSize == needed && (needed == 0 || DataPtr() != nullptr)) return 0;
  switch (mAllocKind) {
    case kQXTileStorageData: {
      if (mRawData) CFRelease(mRawData);
      mRawData = nullptr;
      mData = nullptr;
      mAllocSize = 0;
      CFMutableDataRef data = CFDataCreateMutable(kCFAllocatorDefault, 0);
      if (data == nullptr) return kQXErrMemory;
      CFDataSetLength(data, CFIndex(needed));
      if (CFDataGetLength(data) != CFIndex(needed)) {
        CFRelease(data);
        return kQXErrMemory;
      }
      mRawData = data;
      break;
    }
    case kQXTileStorageHeap:
    case 2: {
      qximage::FreeBlock(mData, size_t(mAllocSize));
      mData = nullptr;
      mAllocSize = 0;
      mData = static_cast<uint8_t*>(qximage::AllocateBlock(size_t(needed), zeroed));
      if (mData == nullptr && needed > 0) return kQXErrMemory;
      break;
    }
    case kQXTileStoragePool: {
      CMemPool::Get().Return(mData);
      mData = nullptr;
      mAllocSize = 0;
      mData = static_cast<uint8_t*>(CMemPool::Get().Take(uint32_t(needed)));
      if (mData == nullptr && needed > 0) return kQXErrMemory;
      if (zeroed && mData) std::memset(mData, 0, size_t(needed));
      break;
    }
    default: return 0;  // a kind without storage allocates nothing
  }
  mAllocSize = int32_t(needed);
  mResident.store(DataPtr() != nullptr, std::memory_order_release);
  return 0;
}

void CImageTile::FreeData() {
  switch (mAllocKind) {
    case kQXTileStorageData:
      if (mRawData) CFRelease(mRawData);
      mRawData = nullptr;
      break;
    case kQXTileStorageHeap:
    case 2: qximage::FreeBlock(mData, size_t(mAllocSize)); break;
    case kQXTileStoragePool: CMemPool::Get().Return(mData); break;
    default: break;
  }
  mData = nullptr;
  if (mContent) CFRelease(mContent);
  mContent = nullptr;
  mCoherenceState = 0;
  mAllocSize = 0;
  mResident.store(false, std::memory_order_release);
}

uint8_t* CImageTile::DataPtr() {
  if (mData == nullptr && mRawData != nullptr) mData = CFDataGetMutableBytePtr(mRawData);
  return mData;
}

void CImageTile::SetData(CFMutableDataRef data) {
  // A record's tiles own heap storage the cache manages; only standalone tiles take data objects.
  if (mParent != nullptr) return;
  if (data) CFRetain(data);
  if (mRawData) CFRelease(mRawData);
  mRawData = data;
  mData = nullptr;
  mAllocSize = data ? int32_t(CFDataGetLength(data)) : 0;
  mResident.store(data != nullptr, std::memory_order_release);
}

// The lock word stays 0 or 1 as callers observe it; sleepers wait on it through a futex with a
// 10 ms time-out, and the releaser wakes one only when someone sleeps.
void CImageTile::AcquireUse() noexcept {
  if (mUseLock.exchange(1, std::memory_order_acquire) == 0) return;
  for (int spin = 0; spin < 64; ++spin) {
    if (spin >= 48) std::this_thread::yield();
    if (mUseLock.load(std::memory_order_relaxed) == 0 && mUseLock.exchange(1, std::memory_order_acquire) == 0) return;
  }
  mUseWaiters.fetch_add(1, std::memory_order_seq_cst);
  while (mUseLock.exchange(1, std::memory_order_seq_cst) != 0) {
    const timespec tenMS{0, 10 * 1000 * 1000};
    Futex(&mUseLock, FUTEX_WAIT, 1, &tenMS);
  }
  mUseWaiters.fetch_sub(1, std::memory_order_relaxed);
}

bool CImageTile::TryAcquireUse() noexcept { return mUseLock.exchange(1, std::memory_order_acquire) == 0; }

void CImageTile::ReleaseUse() noexcept {
  mUseLock.store(0, std::memory_order_seq_cst);
  if (mUseWaiters.load(std::memory_order_seq_cst) > 0) Futex(&mUseLock, FUTEX_WAKE, 1, nullptr);
}

// ---- The C interface ----

namespace {

CImageTile* T(QXTileRef tile) { return qx::fromHandle(tile); }

// A record's tiles keep the position and layout the record gave them: its transfers, the cache
// and the store size what they copy by them. Null for such a tile.
CImageTile* Standalone(QXTileRef tile) {
  CImageTile* t = T(tile);
  return t->mParent == nullptr ? t : nullptr;
}

int32_t IntValue(CFDictionaryRef info, const char* key) {
  CFRef<CFStringRef> name = qxcf::adopt(CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8));
  const void* value = name ? CFDictionaryGetValue(info, name.get()) : nullptr;
  int32_t number = 0;
  if (value && CFGetTypeID(value) == CFNumberGetTypeID())
    CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberIntType, &number);
  return number;
}

const void* ObjectValue(CFDictionaryRef info, const char* key) {
  CFRef<CFStringRef> name = qxcf::adopt(CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8));
  return name ? CFDictionaryGetValue(info, name.get()) : nullptr;
}

}  // namespace

extern "C" {

QX_EXPORT QXTileRef QXTileCreate(void) {
  qx::Ref<CImageTile> tile = qx::make<CImageTile>();
  return qx::toHandle<__QXTile>(tile.release());
}

QX_EXPORT QXTileRef QXTileCreateWithParams(int32_t x, int32_t y, int32_t width, int32_t height, int32_t planes,
                                           int32_t depth, bool allocate) {
  qx::Ref<CImageTile> tile = qx::make<CImageTile>();
  if (!tile) return nullptr;
  tile->mX = x;
  tile->mY = y;
  tile->mWidth = width;
  tile->mHeight = height;
  tile->mPlanes = planes;
  tile->mDepth = depth;
  const int64_t colBytes = int64_t(depth / 8) * planes;
  const int64_t rowBytes = colBytes * width;
  tile->mColBytes = int32_t(colBytes);
  tile->mRowBytes = rowBytes >= 0 && rowBytes <= INT32_MAX ? int32_t(rowBytes) : 0;
  if (allocate) (void)tile->Realloc();
  return qx::toHandle<__QXTile>(tile.release());
}

QX_EXPORT QXTileRef QXTileCreateWithInfo(CFDictionaryRef info) {
  qx::Ref<CImageTile> tile = qx::make<CImageTile>();
  if (!tile || info == nullptr) return qx::toHandle<__QXTile>(tile.release());
  tile->mWidth = IntValue(info, "tile_width");
  tile->mHeight = IntValue(info, "tile_height");
  tile->mX = IntValue(info, "tile_x");
  tile->mY = IntValue(info, "tile_y");
  tile->mDepth = IntValue(info, "depth");
  tile->mRowBytes = IntValue(info, "rowbytes");
  tile->mColBytes = IntValue(info, "colbytes");
  if (const void* content = ObjectValue(info, "--content--")) tile->mContent = CFRetain(content);
  // Only mutable data of exactly the tile's size can serve as its pixels.
  const void* raw = ObjectValue(info, "raw");
  if (raw && CFGetTypeID(raw) == CFDataGetTypeID()) {
    auto data = static_cast<CFMutableDataRef>(const_cast<void*>(raw));
    const int64_t needed = int64_t(tile->mRowBytes) * tile->mHeight;
    if (needed > 0 && CFDataGetLength(data) == needed && CFDataGetMutableBytePtr(data) != nullptr) tile->SetData(data);
  }
  return qx::toHandle<__QXTile>(tile.release());
}

QX_EXPORT CFDictionaryRef QXTileGetInfoCopy(QXTileRef tile) {
  if (tile == nullptr) return nullptr;
  CImageTile* t = T(tile);
  CFRef<CFMutableDictionaryRef> info = qxcf::adopt(
      CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  if (!info) return nullptr;
  const std::pair<const char*, int32_t> numbers[] = {
      {"tile_width", t->mWidth}, {"tile_height", t->mHeight}, {"tile_x", t->mX},         {"tile_y", t->mY},
      {"depth", t->mDepth},      {"rowbytes", t->mRowBytes},  {"colbytes", t->mColBytes}};
  for (const auto& [key, value] : numbers) {
    CFRef<CFStringRef> name = qxcf::adopt(CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8));
    CFRef<CFNumberRef> number = qxcf::adopt(CFNumberCreate(nullptr, kCFNumberIntType, &value));
    if (!name || !number) return nullptr;
    CFDictionarySetValue(info.get(), name.get(), number.get());
  }
  if (t->mRawData) CFDictionarySetValue(info.get(), CFSTR("raw"), t->mRawData);
  return CFDictionaryCreateCopy(nullptr, info.get());
}

// A record's tiles get their storage from the cache alone.
QX_EXPORT QXStatus QXTileRealloc(QXTileRef tile) {
  return tile && T(tile)->mParent == nullptr ? T(tile)->Realloc() : kQXErrInvalidArgument;
}
QX_EXPORT CFMutableDataRef QXTileGetData(QXTileRef tile) { return tile ? T(tile)->mRawData : nullptr; }
QX_EXPORT void QXTileSetData(QXTileRef tile, CFMutableDataRef data) {
  if (tile) T(tile)->SetData(data);
}
QX_EXPORT void* QXTileGetDataPtr(QXTileRef tile) { return tile ? T(tile)->DataPtr() : nullptr; }
QX_EXPORT QXTileRef QXTileRetain(QXTileRef tile) { return tile ? qx::retainHandle(tile) : nullptr; }
QX_EXPORT void QXTileRelease(QXTileRef tile) {
  if (tile) qx::releaseHandle(tile);
}

QX_EXPORT int32_t QXTileGetX(QXTileRef tile) { return T(tile)->mX; }
QX_EXPORT void QXTileSetX(QXTileRef tile, int32_t x) {
  if (CImageTile* t = Standalone(tile)) t->mX = x;
}
QX_EXPORT int32_t QXTileGetY(QXTileRef tile) { return T(tile)->mY; }
QX_EXPORT void QXTileSetY(QXTileRef tile, int32_t y) {
  if (CImageTile* t = Standalone(tile)) t->mY = y;
}
QX_EXPORT int32_t QXTileGetWidth(QXTileRef tile) { return T(tile)->mWidth; }
QX_EXPORT int32_t QXTileGetHeight(QXTileRef tile) { return T(tile)->mHeight; }
QX_EXPORT QXRect QXTileGetBounds(QXTileRef tile) { return T(tile)->Bounds(); }
QX_EXPORT void QXTileSetBounds(QXTileRef tile, int32_t x, int32_t y, int32_t width, int32_t height) {
  CImageTile* t = Standalone(tile);
  if (t == nullptr) return;
  t->mX = x;
  t->mY = y;
  t->mWidth = width;
  t->mHeight = height;
}
QX_EXPORT int32_t QXTileGetDepth(QXTileRef tile) { return T(tile)->mDepth; }
QX_EXPORT void QXTileSetDepth(QXTileRef tile, int32_t depth) {
  if (CImageTile* t = Standalone(tile)) t->mDepth = depth;
}
QX_EXPORT int32_t QXTileGetRowBytes(QXTileRef tile) { return T(tile)->mRowBytes; }
QX_EXPORT void QXTileSetRowBytes(QXTileRef tile, int32_t rowBytes) {
  if (CImageTile* t = Standalone(tile)) t->mRowBytes = rowBytes;
}
QX_EXPORT int32_t QXTileGetColBytes(QXTileRef tile) { return T(tile)->mColBytes; }
QX_EXPORT void QXTileSetColBytes(QXTileRef tile, int32_t colBytes) {
  if (CImageTile* t = Standalone(tile)) t->mColBytes = colBytes;
}
QX_EXPORT int32_t QXTileGetNumPlanes(QXTileRef tile) { return T(tile)->mPlanes; }
QX_EXPORT void QXTileSetNumPlanes(QXTileRef tile, int32_t planes) {
  if (CImageTile* t = Standalone(tile)) t->mPlanes = planes;
}
QX_EXPORT int32_t QXTileGetTextureID(QXTileRef tile) { return T(tile)->mTextureID; }
QX_EXPORT void QXTileSetTextureID(QXTileRef tile, int32_t textureID) { T(tile)->mTextureID = textureID; }
QX_EXPORT int32_t QXTileGetCoherenceState(QXTileRef tile) { return T(tile)->mCoherenceState; }
QX_EXPORT void QXTileSetCoherenceState(QXTileRef tile, int32_t state) { T(tile)->mCoherenceState = state; }
QX_EXPORT bool QXTileGetDirty(QXTileRef tile) { return T(tile)->mDirty; }
// Only the cache may call a record's tile clean: it is clean when the store holds its bytes, and a
// purge drops a clean tile's data without writing it.
QX_EXPORT void QXTileSetDirty(QXTileRef tile, bool dirty) {
  if (dirty || Standalone(tile)) T(tile)->SetDirty(dirty);
}
QX_EXPORT bool QXTileIsTextureDirty(QXTileRef tile) { return T(tile)->mTextureDirty; }
QX_EXPORT void QXTileSetTextureDirty(QXTileRef tile, bool dirty) { T(tile)->SetTextureDirty(dirty); }
QX_EXPORT int32_t QXTileGetLock(QXTileRef tile) { return T(tile)->UseLock(); }
QX_EXPORT void QXTileAcquireUse(QXTileRef tile) { T(tile)->AcquireUse(); }
QX_EXPORT void QXTileReleaseUse(QXTileRef tile) { T(tile)->ReleaseUse(); }

QX_EXPORT QXStatus QXImageGetImageTile2(QXImageRef image, QXTileRef tile, int32_t loPlane, int32_t hiPlane,
                                        int32_t flags) {
  if (image == nullptr || tile == nullptr) return kQXErrInvalidArgument;
  CImageRec* rec = qx::fromHandle(image);
  CImageTile* t = T(tile);
  if (t->mParent != nullptr) return kQXErrInvalidArgument;
  // The storage holds what the transfer delivers: the planes asked for, in the buffer's sample size.
  QXTransfer transfer;
  if (int32_t status = qximage::ResolveTransfer(*rec, t->Bounds(), loPlane, hiPlane, -1, flags, false, transfer))
    return status;
  const int32_t sample = transfer.bufSample, planes = transfer.planes;
  t->mColBytes = sample * planes;
  const int64_t rowBytes = int64_t(t->mWidth) * t->mColBytes;
  if (t->mWidth < 1 || t->mHeight < 1 || rowBytes > INT32_MAX) return kQXErrInvalidArgument;
  t->mRowBytes = int32_t(rowBytes);
  if (int32_t status = t->Realloc()) return status;
  if (t->DataPtr() == nullptr) return kQXErrMemory;
  return rec->Read(t->Bounds(), loPlane, hiPlane, t->DataPtr(), -1, flags);
}

QX_EXPORT QXStatus QXImageGetImageTile(QXImageRef image, QXTileRef tile) {
  return QXImageGetImageTile2(image, tile, 0, -1, 0);
}

QX_EXPORT QXStatus QXImageSetImageTile2(QXImageRef image, QXTileRef tile, int32_t loPlane, int32_t hiPlane,
                                        int32_t flags) {
  if (image == nullptr || tile == nullptr) return kQXErrInvalidArgument;
  CImageTile* t = T(tile);
  // Without data there is nothing to copy from.
  if (t->DataPtr() == nullptr || t->mAllocSize < int64_t(t->mRowBytes) * t->mHeight || t->mRowBytes < 1)
    return kQXErrInvalidArgument;
  // Packed rows, as the tile was filled; the data must hold them.
  CImageRec* rec = qx::fromHandle(image);
  QXTransfer transfer;
  if (int32_t status = qximage::ResolveTransfer(*rec, t->Bounds(), loPlane, hiPlane, -1, flags, true, transfer))
    return status;
  if (transfer.bufRowBytes * t->mHeight > t->mAllocSize) return kQXErrInvalidArgument;
  return rec->Write(t->Bounds(), loPlane, hiPlane, t->DataPtr(), -1, flags);
}

QX_EXPORT QXStatus QXImageSetImageTile(QXImageRef image, QXTileRef tile) {
  return QXImageSetImageTile2(image, tile, 0, -1, 0);
}

}  // extern "C"
