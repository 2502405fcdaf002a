// CFArray: a vector of values owned through the caller's callbacks. Immutable arrays keep their
// values inline after the object (one allocation); mutable ones in a block that grows, with room
// kept at both ends so that queues (append at the back, take from the front) cost O(1) per value.
#include <CoreFoundation/CFArray.h>

#include "CFHashTable.h"
#include "CFRuntime.h"
#include "CFSort.h"
#include "CFStringInternal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

struct __CFArray : __CFRuntimeBase {
  const void** items = nullptr;  // the first value; mutable arrays: block + head
  CFIndex count = 0;
  CFIndex capacity = 0;  // slots in the block
  CFIndex head = 0;      // free slots ahead of the first value (mutable arrays only)
  bool isMutable;
  CFArrayCallBacks callbacks;

  __CFArray(CFAllocatorRef alloc, bool mut, const CFArrayCallBacks& cb);
  ~__CFArray();

  CFAllocatorRef callbackAllocator() const { return allocator != nullptr ? allocator : kCFAllocatorSystemDefault; }
  const void* retain(const void* v) const { return callbacks.retain ? callbacks.retain(callbackAllocator(), v) : v; }
  void release(const void* v) const {
    if (callbacks.release) callbacks.release(callbackAllocator(), v);
  }
  bool equal(const void* stored, const void* v) const {
    return stored == v || (callbacks.equal != nullptr && callbacks.equal(stored, v));
  }
};

namespace {

// Counts beyond this are refused rather than risk size arithmetic overflowing.
constexpr CFIndex kMaxCount = CFIndex{1} << 40;

// A small scratch block: inline for the common one-value case, else from the heap.
class Scratch {
 public:
  explicit Scratch(CFIndex n)
      : ptr_(n <= kInline ? inline_ : static_cast<const void**>(std::malloc(sizeof(void*) * n))) {}
  ~Scratch() {
    if (ptr_ != inline_) std::free(ptr_);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  const void** get() const { return ptr_; }

 private:
  static constexpr CFIndex kInline = 8;
  const void* inline_[kInline];
  const void** ptr_;
};

bool arrayEqual(CFTypeRef a, CFTypeRef b) {
  auto* x = static_cast<const __CFArray*>(a);
  auto* y = static_cast<const __CFArray*>(b);
  if (x->count != y->count) return false;
  qxcf::NestingGuard guard;
  if (guard.tooDeep()) return false;
  for (CFIndex i = 0; i < x->count && i < y->count; ++i) {
    if (!x->equal(x->items[i], y->items[i])) return false;
  }
  return true;
}

// Apple hashes a collection by its count: cheap, and consistent with equality.
CFHashCode arrayHash(CFTypeRef cf) { return static_cast<CFHashCode>(static_cast<const __CFArray*>(cf)->count); }

constexpr qxcf::RuntimeClass kArrayClass = {qxcf::kTypeIDArray,
                                            "CFArray",
                                            qxcf::finalizeAs<__CFArray>,
                                            arrayEqual,
                                            arrayHash,
                                            qxcf::collectionDescription<qxcf::appendArrayDescription>,
                                            qxcf::collectionDescription<qxcf::appendArrayDescription>};

const __CFArray* array(CFArrayRef a) { return qxcf::isType(a, qxcf::kTypeIDArray) ? a : nullptr; }

// Mutators act only on mutable arrays; anything else is left alone.
__CFArray* mutableArray(CFMutableArrayRef a) {
  return qxcf::isType(a, qxcf::kTypeIDArray) && a->isMutable ? a : nullptr;
}

bool validRange(CFRange r, CFIndex count) {
  return r.location >= 0 && r.length >= 0 && r.location <= count && r.length <= count - r.location;
}

const void** blockOf(const __CFArray* a) { return a->items - a->head; }

// Makes room for n values after the first one. Free slots ahead of the values are reused only when
// at least half the block would stay free, which keeps appends amortised O(1).
bool reserve(__CFArray* a, CFIndex n) {
  if (a->head + n <= a->capacity) return true;
  if (n > kMaxCount) return false;
  if (n * 2 <= a->capacity) {
    std::memmove(blockOf(a), a->items, sizeof(void*) * static_cast<size_t>(a->count));
    a->items = blockOf(a);
    a->head = 0;
    return true;
  }
  CFIndex cap = std::max<CFIndex>(n, a->capacity < 4 ? 4 : a->capacity * 2);
  auto* grown = static_cast<const void**>(std::malloc(sizeof(void*) * static_cast<size_t>(cap)));
  if (grown == nullptr) {
    if (cap == n) return false;
    cap = n;
    grown = static_cast<const void**>(std::malloc(sizeof(void*) * static_cast<size_t>(cap)));
    if (grown == nullptr) return false;
  }
  if (a->count > 0) std::memcpy(grown, a->items, sizeof(void*) * static_cast<size_t>(a->count));
  std::free(blockOf(a));
  a->items = grown;
  a->head = 0;
  a->capacity = cap;
  return true;
}

// The one mutation primitive: replaces range r (valid) with n new values, which may point into
// the array itself. New values are retained before the old ones are released. The shorter side
// of the array moves: values ahead of the range slide into the free slots at the front when that
// is less work than moving the tail.
void replace(__CFArray* a, CFRange r, const void* const* values, CFIndex n) {
  if (n < 0 || (n > 0 && values == nullptr) || n > kMaxCount) return;
  Scratch fresh(n);
  Scratch old(r.length);
  if (fresh.get() == nullptr || old.get() == nullptr) return;
  // Read every new value before the layout changes, so values may alias our storage.
  for (CFIndex i = 0; i < n; ++i) fresh.get()[i] = a->retain(values[i]);
  if (!validRange(r, a->count)) {  // re-checked: a retain callback may mutate us
    for (CFIndex i = 0; i < n; ++i) a->release(fresh.get()[i]);
    return;
  }
  const CFIndex newCount = a->count - r.length + n;
  const CFIndex delta = n - r.length;
  const CFIndex before = r.location;
  const CFIndex tail = a->count - r.location - r.length;
  const bool moveFront = before < tail && (delta < 0 || (delta > 0 && a->head >= delta));
  if (!moveFront && delta > 0 && !reserve(a, newCount)) {
    for (CFIndex i = 0; i < n; ++i) a->release(fresh.get()[i]);
    return;
  }
  if (r.length > 0) std::memcpy(old.get(), a->items + r.location, sizeof(void*) * static_cast<size_t>(r.length));
  if (moveFront) {
    if (before > 0) std::memmove(a->items - delta, a->items, sizeof(void*) * static_cast<size_t>(before));
    a->items -= delta;
    a->head -= delta;
  } else if (tail > 0 && delta != 0) {
    std::memmove(a->items + r.location + n, a->items + r.location + r.length,
                 sizeof(void*) * static_cast<size_t>(tail));
  }
  if (n > 0) std::memcpy(a->items + r.location, fresh.get(), sizeof(void*) * static_cast<size_t>(n));
  a->count = newCount;
  if (newCount == 0) {
    a->items = blockOf(a);
    a->head = 0;
  }
  for (CFIndex i = 0; i < r.length; ++i) a->release(old.get()[i]);
}

CFArrayCallBacks callbacksOf(const CFArrayCallBacks* cb) {
  CFArrayCallBacks c{};
  if (cb != nullptr) {
    c.retain = cb->retain;
    c.release = cb->release;
    c.copyDescription = cb->copyDescription;
    c.equal = cb->equal;
  }
  return c;
}

// An immutable array with its values inline, retained from values.
__CFArray* createImmutable(CFAllocatorRef alloc, const void* const* values, CFIndex n, const CFArrayCallBacks& cb) {
  if (n > kMaxCount) return nullptr;
  auto* a = qxcf::cfCreate<__CFArray>(alloc, sizeof(void*) * static_cast<size_t>(n), false, cb);
  if (a == nullptr) return nullptr;
  a->items = reinterpret_cast<const void**>(a + 1);
  a->capacity = n;
  for (CFIndex i = 0; i < n; ++i) a->items[i] = a->retain(values[i]);
  a->count = n;
  return a;
}

__CFArray* createMutable(CFAllocatorRef alloc, CFIndex capacity, const CFArrayCallBacks& cb) {
  auto* a = qxcf::cfCreate<__CFArray>(alloc, 0, true, cb);
  if (a != nullptr && capacity > 0 && capacity <= qxcf::kMaxReservedHint) reserve(a, capacity);
  return a;
}

}  // namespace

// "(\n    a,\n    b\n)", each nesting level indented four more spaces.
void qxcf::appendArrayDescription(std::u16string& out, CFTypeRef cf, int level) {
  auto* a = static_cast<const __CFArray*>(cf);
  appendCollection(out, level, u"(\n", u")", [&] {
    for (CFIndex i = 0; i < a->count; ++i) {
      appendIndent(out, level + 1);
      appendElementDescription(out, a->items[i], a->callbacks.copyDescription, level + 1);
      out += i + 1 < a->count ? u",\n" : u"\n";
    }
  });
}

__CFArray::__CFArray(CFAllocatorRef alloc, bool mut, const CFArrayCallBacks& cb)
    : __CFRuntimeBase(&kArrayClass, 1, alloc), isMutable(mut), callbacks(cb) {}

__CFArray::~__CFArray() {
  const void** values = items;
  CFIndex n = count;
  count = 0;
  for (CFIndex i = 0; i < n; ++i) release(values[i]);
  if (isMutable) std::free(values - head);
}

const CFArrayCallBacks kCFTypeArrayCallBacks = {0, qxcf::typeRetainCallback, qxcf::typeReleaseCallback,
                                                CFCopyDescription, qxcf::typeEqualCallback};

CFTypeID CFArrayGetTypeID(void) { return qxcf::kTypeIDArray; }

CFArrayRef CFArrayCreate(CFAllocatorRef allocator, const void** values, CFIndex numValues,
                         const CFArrayCallBacks* callBacks) {
  if (numValues < 0 || (numValues > 0 && values == nullptr)) return nullptr;
  return createImmutable(allocator, values, numValues, callbacksOf(callBacks));
}

CFArrayRef CFArrayCreateCopy(CFAllocatorRef allocator, CFArrayRef theArray) {
  const __CFArray* src = array(theArray);
  if (src == nullptr) return nullptr;
  return createImmutable(allocator, src->items, src->count, src->callbacks);
}

CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef allocator, CFIndex capacity, const CFArrayCallBacks* callBacks) {
  return createMutable(allocator, capacity, callbacksOf(callBacks));
}

CFMutableArrayRef CFArrayCreateMutableCopy(CFAllocatorRef allocator, CFIndex capacity, CFArrayRef theArray) {
  const __CFArray* src = array(theArray);
  if (src == nullptr) return nullptr;
  __CFArray* a = createMutable(allocator, std::max(capacity, src->count), src->callbacks);
  if (a == nullptr) return nullptr;
  if (!reserve(a, src->count)) {
    CFRelease(a);
    return nullptr;
  }
  for (CFIndex i = 0; i < src->count; ++i) a->items[i] = a->retain(src->items[i]);
  a->count = src->count;
  return a;
}

CFIndex CFArrayGetCount(CFArrayRef theArray) {
  const __CFArray* a = array(theArray);
  return a != nullptr ? a->count : 0;
}

CFIndex CFArrayGetCountOfValue(CFArrayRef theArray, CFRange range, const void* value) {
  const __CFArray* a = array(theArray);
  if (a == nullptr || !validRange(range, a->count)) return 0;
  CFIndex n = 0;
  for (CFIndex i = range.location; i < range.location + range.length; ++i) {
    if (a->equal(a->items[i], value)) ++n;
  }
  return n;
}

Boolean CFArrayContainsValue(CFArrayRef theArray, CFRange range, const void* value) {
  return CFArrayGetFirstIndexOfValue(theArray, range, value) != kCFNotFound;
}

const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx) {
  const __CFArray* a = array(theArray);
  if (a == nullptr || idx < 0 || idx >= a->count) return nullptr;
  return a->items[idx];
}

void CFArrayGetValues(CFArrayRef theArray, CFRange range, const void** values) {
  const __CFArray* a = array(theArray);
  if (a == nullptr || values == nullptr || !validRange(range, a->count) || range.length == 0) return;
  std::memcpy(values, a->items + range.location, sizeof(void*) * static_cast<size_t>(range.length));
}

void CFArrayApplyFunction(CFArrayRef theArray, CFRange range, CFArrayApplierFunction applier, void* context) {
  const __CFArray* a = array(theArray);
  if (a == nullptr || applier == nullptr || !validRange(range, a->count)) return;
  // The bound is re-read each step: an applier that shrinks the array must not make us read past it.
  for (CFIndex i = range.location; i < range.location + range.length && i < a->count; ++i) {
    applier(a->items[i], context);
  }
}

CFIndex CFArrayGetFirstIndexOfValue(CFArrayRef theArray, CFRange range, const void* value) {
  const __CFArray* a = array(theArray);
  if (a == nullptr || !validRange(range, a->count)) return kCFNotFound;
  for (CFIndex i = range.location; i < range.location + range.length; ++i) {
    if (a->equal(a->items[i], value)) return i;
  }
  return kCFNotFound;
}

CFIndex CFArrayGetLastIndexOfValue(CFArrayRef theArray, CFRange range, const void* value) {
  const __CFArray* a = array(theArray);
  if (a == nullptr || !validRange(range, a->count)) return kCFNotFound;
  for (CFIndex i = range.location + range.length - 1; i >= range.location; --i) {
    if (a->equal(a->items[i], value)) return i;
  }
  return kCFNotFound;
}

CFIndex CFArrayBSearchValues(CFArrayRef theArray, CFRange range, const void* value, CFComparatorFunction comparator,
                             void* context) {
  const __CFArray* a = array(theArray);
  if (a == nullptr || comparator == nullptr || !validRange(range, a->count)) return kCFNotFound;
  CFIndex lo = range.location;
  CFIndex hi = range.location + range.length;
  while (lo < hi) {
    CFIndex mid = lo + (hi - lo) / 2;
    if (comparator(a->items[mid], value, context) == kCFCompareLessThan) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

void CFArrayAppendValue(CFMutableArrayRef theArray, const void* value) {
  if (__CFArray* a = mutableArray(theArray)) replace(a, CFRangeMake(a->count, 0), &value, 1);
}

void CFArrayInsertValueAtIndex(CFMutableArrayRef theArray, CFIndex idx, const void* value) {
  __CFArray* a = mutableArray(theArray);
  if (a == nullptr || idx < 0 || idx > a->count) return;
  replace(a, CFRangeMake(idx, 0), &value, 1);
}

void CFArraySetValueAtIndex(CFMutableArrayRef theArray, CFIndex idx, const void* value) {
  __CFArray* a = mutableArray(theArray);
  if (a == nullptr || idx < 0 || idx > a->count) return;
  replace(a, CFRangeMake(idx, idx == a->count ? 0 : 1), &value, 1);
}

void CFArrayRemoveValueAtIndex(CFMutableArrayRef theArray, CFIndex idx) {
  __CFArray* a = mutableArray(theArray);
  if (a == nullptr || idx < 0 || idx >= a->count) return;
  replace(a, CFRangeMake(idx, 1), nullptr, 0);
}

void CFArrayRemoveAllValues(CFMutableArrayRef theArray) {
  __CFArray* a = mutableArray(theArray);
  if (a == nullptr) return;
  // Detach first: a release callback that looks at the array finds it already empty.
  const void** values = a->items;
  const void** block = blockOf(a);
  CFIndex n = a->count;
  a->items = nullptr;
  a->count = a->capacity = a->head = 0;
  for (CFIndex i = 0; i < n; ++i) a->release(values[i]);
  std::free(block);
}

void CFArrayReplaceValues(CFMutableArrayRef theArray, CFRange range, const void** newValues, CFIndex newCount) {
  __CFArray* a = mutableArray(theArray);
  if (a == nullptr || !validRange(range, a->count)) return;
  replace(a, range, newValues, newCount);
}

void CFArrayExchangeValuesAtIndices(CFMutableArrayRef theArray, CFIndex idx1, CFIndex idx2) {
  __CFArray* a = mutableArray(theArray);
  if (a == nullptr || idx1 < 0 || idx2 < 0 || idx1 >= a->count || idx2 >= a->count) return;
  std::swap(a->items[idx1], a->items[idx2]);
}

void CFArraySortValues(CFMutableArrayRef theArray, CFRange range, CFComparatorFunction comparator, void* context) {
  __CFArray* a = mutableArray(theArray);
  if (a == nullptr || comparator == nullptr || !validRange(range, a->count) || range.length < 2) return;
  // Sorted in a copy that holds a reference to each value, as the array may be edited by the
  // comparator: the sort never writes into storage that moved, nor keeps a value that was freed.
  const CFIndex n = range.length;
  Scratch values(n);
  Scratch spare(n);
  if (values.get() == nullptr || spare.get() == nullptr) return;
  std::memcpy(values.get(), a->items + range.location, sizeof(void*) * static_cast<size_t>(n));
  for (CFIndex i = 0; i < n; ++i) values.get()[i] = a->retain(values.get()[i]);
  qxcf::stableSort(values.get(), static_cast<size_t>(n), spare.get(),
                   [&](const void* x, const void* y) { return comparator(x, y, context) == kCFCompareLessThan; });
  if (validRange(range, a->count)) replace(a, range, values.get(), n);
  for (CFIndex i = 0; i < n; ++i) a->release(values.get()[i]);
}

void CFArrayAppendArray(CFMutableArrayRef theArray, CFArrayRef otherArray, CFRange otherRange) {
  __CFArray* a = mutableArray(theArray);
  const __CFArray* other = array(otherArray);
  if (a == nullptr || other == nullptr || !validRange(otherRange, other->count)) return;
  replace(a, CFRangeMake(a->count, 0), other->items + otherRange.location, otherRange.length);
}
