// CFSet: the shared insertion-ordered hash table, holding keys only.
#include <CoreFoundation/CFSet.h>

#include "CFHashTable.h"
#include "CFRuntime.h"
#include "CFStringInternal.h"

#include <string>

using qxcf::HashCallbacks;
using qxcf::HashTable;

struct __CFSet : __CFRuntimeBase {
  HashTable table;
  bool isMutable;

  __CFSet(CFAllocatorRef alloc, bool mut, const HashCallbacks& callbacks);
};

namespace {

constexpr qxcf::RuntimeClass kSetClass = {qxcf::kTypeIDSet,
                                          "CFSet",
                                          qxcf::finalizeAs<__CFSet>,
                                          qxcf::tableOwnersEqual<__CFSet>,
                                          qxcf::tableOwnerHash<__CFSet>,
                                          qxcf::collectionDescription<qxcf::appendSetDescription>,
                                          qxcf::collectionDescription<qxcf::appendSetDescription>};

HashCallbacks callbacksOf(const CFSetCallBacks* cb) { return qxcf::hashCallbacksOf(cb); }

const __CFSet* set(CFSetRef s) { return qxcf::isType(s, qxcf::kTypeIDSet) ? s : nullptr; }

// Mutators act only on mutable sets; anything else is left alone.
__CFSet* mutableSet(CFMutableSetRef s) { return qxcf::isType(s, qxcf::kTypeIDSet) && s->isMutable ? s : nullptr; }

__CFSet* create(CFAllocatorRef alloc, bool mut, const HashCallbacks& callbacks, CFIndex capacity) {
  return qxcf::createTableOwner<__CFSet>(alloc, capacity, nullptr, mut, callbacks);
}

__CFSet* createCopy(CFAllocatorRef alloc, bool mut, CFIndex capacity, CFSetRef source) {
  const __CFSet* src = set(source);
  if (src == nullptr) return nullptr;
  return qxcf::createTableOwner<__CFSet>(alloc, capacity, &src->table, mut, src->table.keyCallbacks());
}

}  // namespace

// "{(\n    a,\n    b\n)}" as Foundation shows sets, each nesting level indented four more spaces.
void qxcf::appendSetDescription(std::u16string& out, CFTypeRef cf, int level) {
  const HashTable& t = static_cast<const __CFSet*>(cf)->table;
  appendCollection(out, level, u"{(\n", u")}", [&] {
    CFIndex left = t.count();
    t.forEach([&](const HashTable::Entry& e) {
      appendIndent(out, level + 1);
      appendElementDescription(out, e.key, t.keyCallbacks().copyDescription, level + 1);
      out += --left > 0 ? u",\n" : u"\n";
    });
  });
}

__CFSet::__CFSet(CFAllocatorRef alloc, bool mut, const HashCallbacks& callbacks)
    : __CFRuntimeBase(&kSetClass, 1, alloc),
      table(callbacks, HashCallbacks{}, false, alloc != nullptr ? alloc : kCFAllocatorSystemDefault),
      isMutable(mut) {}

const CFSetCallBacks kCFTypeSetCallBacks = {0,
                                            qxcf::typeRetainCallback,
                                            qxcf::typeReleaseCallback,
                                            CFCopyDescription,
                                            qxcf::typeEqualCallback,
                                            qxcf::typeHashCallback};
const CFSetCallBacks kCFCopyStringSetCallBacks = {0,
                                                  qxcf::copyStringRetainCallback,
                                                  qxcf::typeReleaseCallback,
                                                  CFCopyDescription,
                                                  qxcf::typeEqualCallback,
                                                  qxcf::typeHashCallback};

CFTypeID CFSetGetTypeID(void) { return qxcf::kTypeIDSet; }

CFSetRef CFSetCreate(CFAllocatorRef allocator, const void** values, CFIndex numValues,
                     const CFSetCallBacks* callBacks) {
  if (numValues < 0 || (numValues > 0 && values == nullptr)) return nullptr;
  __CFSet* s = create(allocator, false, callbacksOf(callBacks), numValues);
  if (s == nullptr) return nullptr;
  for (CFIndex i = 0; i < numValues; ++i) {
    if (!s->table.put(values[i], nullptr, HashTable::Put::kAdd)) {
      CFRelease(s);
      return nullptr;
    }
  }
  return s;
}

CFSetRef CFSetCreateCopy(CFAllocatorRef allocator, CFSetRef theSet) { return createCopy(allocator, false, 0, theSet); }

CFMutableSetRef CFSetCreateMutable(CFAllocatorRef allocator, CFIndex capacity, const CFSetCallBacks* callBacks) {
  return create(allocator, true, callbacksOf(callBacks), capacity);
}

CFMutableSetRef CFSetCreateMutableCopy(CFAllocatorRef allocator, CFIndex capacity, CFSetRef theSet) {
  return createCopy(allocator, true, capacity, theSet);
}

CFIndex CFSetGetCount(CFSetRef theSet) {
  const __CFSet* s = set(theSet);
  return s != nullptr ? s->table.count() : 0;
}

CFIndex CFSetGetCountOfValue(CFSetRef theSet, const void* value) { return CFSetContainsValue(theSet, value) ? 1 : 0; }

Boolean CFSetContainsValue(CFSetRef theSet, const void* value) {
  const __CFSet* s = set(theSet);
  return s != nullptr && s->table.lookup(value) != nullptr;
}

const void* CFSetGetValue(CFSetRef theSet, const void* value) {
  const __CFSet* s = set(theSet);
  if (s == nullptr) return nullptr;
  const HashTable::Entry* e = s->table.lookup(value);
  return e != nullptr ? e->key : nullptr;
}

Boolean CFSetGetValueIfPresent(CFSetRef theSet, const void* candidate, const void** value) {
  const __CFSet* s = set(theSet);
  if (s == nullptr) return false;
  const HashTable::Entry* e = s->table.lookup(candidate);
  if (e == nullptr) return false;
  if (value != nullptr) *value = e->key;
  return true;
}

void CFSetGetValues(CFSetRef theSet, const void** values) {
  const __CFSet* s = set(theSet);
  if (s == nullptr || values == nullptr) return;
  CFIndex i = 0;
  s->table.forEach([&](const HashTable::Entry& e) { values[i++] = e.key; });
}

void CFSetApplyFunction(CFSetRef theSet, CFSetApplierFunction applier, void* context) {
  const __CFSet* s = set(theSet);
  if (s == nullptr || applier == nullptr) return;
  s->table.forEach([&](const HashTable::Entry& e) { applier(e.key, context); });
}

void CFSetAddValue(CFMutableSetRef theSet, const void* value) {
  if (__CFSet* s = mutableSet(theSet)) s->table.put(value, nullptr, HashTable::Put::kAdd);
}

void CFSetReplaceValue(CFMutableSetRef theSet, const void* value) {
  if (__CFSet* s = mutableSet(theSet)) s->table.put(value, nullptr, HashTable::Put::kReplace);
}

void CFSetSetValue(CFMutableSetRef theSet, const void* value) {
  if (__CFSet* s = mutableSet(theSet)) s->table.put(value, nullptr, HashTable::Put::kSet);
}

void CFSetRemoveValue(CFMutableSetRef theSet, const void* value) {
  if (__CFSet* s = mutableSet(theSet)) s->table.remove(value);
}

void CFSetRemoveAllValues(CFMutableSetRef theSet) {
  if (__CFSet* s = mutableSet(theSet)) s->table.removeAll();
}
