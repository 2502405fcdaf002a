// Byte buffers. Immutable data keeps its bytes inline after the object (or the caller's bytes for
// the NoCopy form); mutable data owns a heap block that grows geometrically.
#include <CoreFoundation/CFData.h>

#include "CFRef.h"
#include "CFRuntime.h"
#include "CFStringInternal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

enum class DataKind : uint8_t { Inline, External, Mutable };

// Mutable data reserves at most this much up front: a capacity is a hint, not a promise.
constexpr CFIndex kMaxReservedHint = CFIndex{16} << 20;
constexpr CFIndex kMaxLength = PTRDIFF_MAX / 2;

}  // namespace

struct __CFData : __CFRuntimeBase {
  UInt8* bytes = nullptr;
  CFIndex length = 0;
  CFIndex capacity = 0;
  DataKind kind;
  CFAllocatorRef deallocator = nullptr;  // External: who frees bytes (retained when custom)

  __CFData(CFAllocatorRef alloc, const qxcf::RuntimeClass* cls, DataKind k) : __CFRuntimeBase(cls, 1, alloc), kind(k) {}
  ~__CFData() {
    if (kind == DataKind::Mutable) {
      std::free(bytes);
    } else if (kind == DataKind::External) {
      if (deallocator != kCFAllocatorNull) CFAllocatorDeallocate(deallocator, bytes);
      if (deallocator != nullptr) CFRelease(deallocator);
    }
  }
  __CFData(const __CFData&) = delete;
  __CFData& operator=(const __CFData&) = delete;

  UInt8* inlineStorage() { return reinterpret_cast<UInt8*>(this + 1); }
  bool isMutable() const { return kind == DataKind::Mutable; }

  // Makes room for `needed` bytes; false (and no change) when memory runs out.
  bool reserve(CFIndex needed) {
    if (needed <= capacity) return true;
    if (needed > kMaxLength) return false;
    CFIndex cap = std::max<CFIndex>({needed, capacity + capacity / 2, 16});
    auto* p = static_cast<UInt8*>(std::realloc(bytes, static_cast<size_t>(cap)));
    if (p == nullptr) {
      p = static_cast<UInt8*>(std::realloc(bytes, static_cast<size_t>(needed)));
      if (p == nullptr) return false;
      cap = needed;
    }
    bytes = p;
    capacity = cap;
    return true;
  }
};

namespace {

const __CFData* dat(CFTypeRef cf) { return static_cast<const __CFData*>(cf); }

bool dataEqual(CFTypeRef a, CFTypeRef b) {
  const __CFData *x = dat(a), *y = dat(b);
  return x->length == y->length &&
         (x->length == 0 || std::memcmp(x->bytes, y->bytes, static_cast<size_t>(x->length)) == 0);
}

// The length and the first 80 bytes: enough to tell data apart without reading megabytes.
CFHashCode dataHash(CFTypeRef cf) {
  const __CFData* d = dat(cf);
  uint64_t h = 0xcbf29ce484222325ULL ^ static_cast<uint64_t>(d->length);
  CFIndex n = std::min<CFIndex>(d->length, 80);
  for (CFIndex i = 0; i < n; ++i) h = (h ^ d->bytes[i]) * 0x100000001b3ULL;
  return qxcf::mixHash(h);
}

void appendHex(std::string& out, const UInt8* p, CFIndex n) {
  static const char kDigits[] = "0123456789abcdef";
  for (CFIndex i = 0; i < n; ++i) {
    out.push_back(kDigits[p[i] >> 4]);
    out.push_back(kDigits[p[i] & 15]);
  }
}

CFStringRef dataDebugDesc(CFTypeRef cf) {
  const __CFData* d = dat(cf);
  char head[160];
  std::snprintf(head, sizeof head, "<CFData %p [%p]>{length = %ld, capacity = %ld, bytes = 0x", cf,
                static_cast<const void*>(CFGetAllocator(cf)), d->length, d->isMutable() ? d->capacity : d->length);
  std::string out = head;
  if (d->length <= 24) {
    appendHex(out, d->bytes, d->length);
  } else {
    appendHex(out, d->bytes, 16);
    out += " ... ";
    appendHex(out, d->bytes + d->length - 8, 8);
  }
  out += "}";
  return qxcf::createStringUTF8(out);
}

constexpr qxcf::RuntimeClass kDataClass = {
    qxcf::kTypeIDData, "CFData", qxcf::finalizeAs<__CFData>, dataEqual, dataHash, nullptr, dataDebugDesc};

__CFData* mut(CFMutableDataRef d) { return (d != nullptr && d->isMutable()) ? d : nullptr; }

bool validRange(const __CFData* d, CFRange r) {
  return r.location >= 0 && r.length >= 0 && r.location <= d->length && r.length <= d->length - r.location;
}

// The one mutation primitive: replaces range with count bytes from src (which may point into the
// data itself), growing and zero-filling as needed. src NULL means zeros.
void replace(__CFData* d, CFRange range, const UInt8* src, CFIndex count) {
  if (count < 0 || !validRange(d, range) || count > kMaxLength - (d->length - range.length)) return;
  std::vector<UInt8> copy;
  if (src != nullptr && d->bytes != nullptr && src < d->bytes + d->capacity && src + count > d->bytes) {
    copy.assign(src, src + count);  // aliasing: the move below could overwrite the source
    src = copy.data();
  }
  CFIndex newLength = d->length - range.length + count;
  if (!d->reserve(newLength)) return;
  CFIndex tail = d->length - range.location - range.length;
  if (tail > 0 && count != range.length) {
    std::memmove(d->bytes + range.location + count, d->bytes + range.location + range.length,
                 static_cast<size_t>(tail));
  }
  if (count > 0) {
    if (src != nullptr) {
      std::memcpy(d->bytes + range.location, src, static_cast<size_t>(count));
    } else {
      std::memset(d->bytes + range.location, 0, static_cast<size_t>(count));
    }
  }
  d->length = newLength;
}

CFDataRef createInline(CFAllocatorRef allocator, const UInt8* bytes, CFIndex length) {
  if (length < 0 || (length > 0 && bytes == nullptr)) return nullptr;
  auto* d = qxcf::cfCreate<__CFData>(allocator, static_cast<size_t>(length), &kDataClass, DataKind::Inline);
  if (d == nullptr) return nullptr;
  d->bytes = d->inlineStorage();
  d->length = d->capacity = length;
  if (length > 0) std::memcpy(d->bytes, bytes, static_cast<size_t>(length));
  return d;
}

}  // namespace

CFTypeID CFDataGetTypeID(void) { return qxcf::kTypeIDData; }

CFDataRef CFDataCreate(CFAllocatorRef allocator, const UInt8* bytes, CFIndex length) {
  return createInline(allocator, bytes, length);
}

CFDataRef CFDataCreateWithBytesNoCopy(CFAllocatorRef allocator, const UInt8* bytes, CFIndex length,
                                      CFAllocatorRef bytesDeallocator) {
  if (length < 0 || (length > 0 && bytes == nullptr)) return nullptr;
  auto* d = qxcf::cfCreate<__CFData>(allocator, 0, &kDataClass, DataKind::External);
  if (d == nullptr) return nullptr;
  d->bytes = const_cast<UInt8*>(bytes);
  d->length = d->capacity = length;
  // NULL and the system allocators free with free(); only custom allocators need a reference.
  d->deallocator = bytesDeallocator == kCFAllocatorNull ? kCFAllocatorNull : qxcf::objectAllocator(bytesDeallocator);
  return d;
}

CFDataRef CFDataCreateCopy(CFAllocatorRef allocator, CFDataRef theData) {
  if (theData == nullptr) return nullptr;
  return createInline(allocator, theData->bytes, theData->length);
}

CFMutableDataRef CFDataCreateMutable(CFAllocatorRef allocator, CFIndex capacity) {
  auto* d = qxcf::cfCreate<__CFData>(allocator, 0, &kDataClass, DataKind::Mutable);
  if (d == nullptr) return nullptr;
  if (!d->reserve(std::clamp<CFIndex>(capacity, 16, kMaxReservedHint))) d->reserve(16);
  return d;
}

CFMutableDataRef CFDataCreateMutableCopy(CFAllocatorRef allocator, CFIndex capacity, CFDataRef theData) {
  if (theData == nullptr) return nullptr;
  qxcf::CFRef<CFMutableDataRef> d = qxcf::adopt(CFDataCreateMutable(allocator, std::max(capacity, theData->length)));
  if (!d || !d.get()->reserve(theData->length)) return nullptr;
  replace(d.get(), CFRangeMake(0, 0), theData->bytes, theData->length);
  return d.release();
}

CFIndex CFDataGetLength(CFDataRef theData) { return theData->length; }

const UInt8* CFDataGetBytePtr(CFDataRef theData) {
  static const UInt8 kEmpty[1] = {0};
  return theData->bytes != nullptr ? theData->bytes : kEmpty;
}

UInt8* CFDataGetMutableBytePtr(CFMutableDataRef theData) {
  __CFData* d = mut(theData);
  if (d == nullptr) return nullptr;
  if (d->bytes == nullptr && !d->reserve(16)) return nullptr;
  return d->bytes;
}

void CFDataGetBytes(CFDataRef theData, CFRange range, UInt8* buffer) {
  if (buffer == nullptr || !validRange(theData, range) || range.length == 0) return;
  std::memcpy(buffer, theData->bytes + range.location, static_cast<size_t>(range.length));
}

void CFDataSetLength(CFMutableDataRef theData, CFIndex length) {
  __CFData* d = mut(theData);
  if (d == nullptr || length < 0) return;
  if (length <= d->length) {
    d->length = length;
  } else {
    replace(d, CFRangeMake(d->length, 0), nullptr, length - d->length);
  }
}

void CFDataIncreaseLength(CFMutableDataRef theData, CFIndex extraLength) {
  __CFData* d = mut(theData);
  if (d == nullptr || extraLength <= 0) return;
  replace(d, CFRangeMake(d->length, 0), nullptr, extraLength);
}

void CFDataAppendBytes(CFMutableDataRef theData, const UInt8* bytes, CFIndex length) {
  __CFData* d = mut(theData);
  if (d == nullptr || length <= 0 || bytes == nullptr) return;
  replace(d, CFRangeMake(d->length, 0), bytes, length);
}

void CFDataReplaceBytes(CFMutableDataRef theData, CFRange range, const UInt8* newBytes, CFIndex newLength) {
  __CFData* d = mut(theData);
  if (d == nullptr || (newBytes == nullptr && newLength > 0)) return;
  replace(d, range, newBytes, newLength);
}

void CFDataDeleteBytes(CFMutableDataRef theData, CFRange range) {
  __CFData* d = mut(theData);
  if (d == nullptr) return;
  replace(d, range, nullptr, 0);
}

namespace {

// The last occurrence of needle in [begin, end), or end: Knuth-Morris-Pratt run from the back, so
// linear in both lengths whatever the input.
const UInt8* findLast(const UInt8* begin, const UInt8* end, const UInt8* needle, CFIndex n) {
  std::unique_ptr<CFIndex[]> fail(new (std::nothrow) CFIndex[static_cast<size_t>(n)]);
  if (!fail) return std::find_end(begin, end, needle, needle + n);
  auto rev = [&](CFIndex i) { return needle[n - 1 - i]; };  // the needle read backwards
  fail[0] = 0;
  for (CFIndex i = 1, k = 0; i < n; ++i) {
    while (k > 0 && rev(i) != rev(k)) k = fail[k - 1];
    if (rev(i) == rev(k)) ++k;
    fail[i] = k;
  }
  CFIndex q = 0;
  for (const UInt8* p = end; p != begin;) {
    UInt8 c = *--p;
    while (q > 0 && c != rev(q)) q = fail[q - 1];
    if (c == rev(q)) ++q;
    if (q == n) return p;
  }
  return end;
}

}  // namespace

CFRange CFDataFind(CFDataRef theData, CFDataRef dataToFind, CFRange searchRange, CFDataSearchFlags compareOptions) {
  const CFRange notFound = CFRangeMake(kCFNotFound, 0);
  if (theData == nullptr || dataToFind == nullptr || !validRange(theData, searchRange)) return notFound;
  CFIndex n = dataToFind->length;
  if (n == 0 || n > searchRange.length) return notFound;
  const UInt8* begin = theData->bytes + searchRange.location;
  const UInt8* end = begin + searchRange.length;
  const UInt8* needle = dataToFind->bytes;
  bool backwards = (compareOptions & kCFDataSearchBackwards) != 0;
  const UInt8* hit = end;
  if (compareOptions & kCFDataSearchAnchored) {
    const UInt8* at = backwards ? end - n : begin;
    if (std::memcmp(at, needle, static_cast<size_t>(n)) == 0) hit = at;
  } else if (backwards) {
    hit = findLast(begin, end, needle, n);
  } else {
    // glibc's memmem is linear (two-way) where Boyer-Moore-Horspool can go quadratic.
    const void* p = ::memmem(begin, static_cast<size_t>(end - begin), needle, static_cast<size_t>(n));
    if (p != nullptr) hit = static_cast<const UInt8*>(p);
  }
  if (hit == end) return notFound;
  return CFRangeMake(hit - theData->bytes, n);
}
