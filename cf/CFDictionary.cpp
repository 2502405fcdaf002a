// CFDictionary: a thin layer over the shared insertion-ordered hash table.
#include <CoreFoundation/CFDictionary.h>

#include "CFHashTable.h"
#include "CFRuntime.h"
#include "CFStringInternal.h"

#include <string>

using qxcf::HashCallbacks;
using qxcf::HashTable;

struct __CFDictionary : __CFRuntimeBase {
  HashTable table;
  bool isMutable;

  __CFDictionary(CFAllocatorRef alloc, bool mut, const HashCallbacks& keys, const HashCallbacks& values);
};

namespace {

constexpr qxcf::RuntimeClass kDictionaryClass = {qxcf::kTypeIDDictionary,
                                                 "CFDictionary",
                                                 qxcf::finalizeAs<__CFDictionary>,
                                                 qxcf::tableOwnersEqual<__CFDictionary>,
                                                 qxcf::tableOwnerHash<__CFDictionary>,
                                                 qxcf::collectionDescription<qxcf::appendDictionaryDescription>,
                                                 qxcf::collectionDescription<qxcf::appendDictionaryDescription>};

HashCallbacks keyCallbacks(const CFDictionaryKeyCallBacks* cb) { return qxcf::hashCallbacksOf(cb); }
HashCallbacks valueCallbacks(const CFDictionaryValueCallBacks* cb) { return qxcf::hashCallbacksOf(cb); }

const __CFDictionary* dict(CFDictionaryRef d) { return qxcf::isType(d, qxcf::kTypeIDDictionary) ? d : nullptr; }

// Mutators act only on mutable dictionaries; anything else is left alone.
__CFDictionary* mutableDict(CFMutableDictionaryRef d) {
  return qxcf::isType(d, qxcf::kTypeIDDictionary) && d->isMutable ? d : nullptr;
}

__CFDictionary* create(CFAllocatorRef alloc, bool mut, const HashCallbacks& keys, const HashCallbacks& values,
                       CFIndex capacity) {
  return qxcf::createTableOwner<__CFDictionary>(alloc, capacity, nullptr, mut, keys, values);
}

__CFDictionary* createCopy(CFAllocatorRef alloc, bool mut, CFIndex capacity, CFDictionaryRef source) {
  const __CFDictionary* src = dict(source);
  if (src == nullptr) return nullptr;
  return qxcf::createTableOwner<__CFDictionary>(alloc, capacity, &src->table, mut, src->table.keyCallbacks(),
                                                src->table.valueCallbacks());
}

}  // namespace

// "{\n    key = value;\n}", each nesting level indented four more spaces.
void qxcf::appendDictionaryDescription(std::u16string& out, CFTypeRef cf, int level) {
  const HashTable& t = static_cast<const __CFDictionary*>(cf)->table;
  appendCollection(out, level, u"{\n", u"}", [&] {
    t.forEach([&](const HashTable::Entry& e) {
      appendIndent(out, level + 1);
      appendElementDescription(out, e.key, t.keyCallbacks().copyDescription, level + 1);
      out += u" = ";
      appendElementDescription(out, e.value, t.valueCallbacks().copyDescription, level + 1);
      out += u";\n";
    });
  });
}

__CFDictionary::__CFDictionary(CFAllocatorRef alloc, bool mut, const HashCallbacks& keys, const HashCallbacks& values)
    : __CFRuntimeBase(&kDictionaryClass, 1, alloc),
      table(keys, values, true, alloc != nullptr ? alloc : kCFAllocatorSystemDefault),
      isMutable(mut) {}

const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {0,
                                                                qxcf::typeRetainCallback,
                                                                qxcf::typeReleaseCallback,
                                                                CFCopyDescription,
                                                                qxcf::typeEqualCallback,
                                                                qxcf::typeHashCallback};
const CFDictionaryKeyCallBacks kCFCopyStringDictionaryKeyCallBacks = {0,
                                                                      qxcf::copyStringRetainCallback,
                                                                      qxcf::typeReleaseCallback,
                                                                      CFCopyDescription,
                                                                      qxcf::typeEqualCallback,
                                                                      qxcf::typeHashCallback};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {
    0, qxcf::typeRetainCallback, qxcf::typeReleaseCallback, CFCopyDescription, qxcf::typeEqualCallback};

CFTypeID CFDictionaryGetTypeID(void) { return qxcf::kTypeIDDictionary; }

CFDictionaryRef CFDictionaryCreate(CFAllocatorRef allocator, const void** keys, const void** values, CFIndex numValues,
                                   const CFDictionaryKeyCallBacks* keyCallBacks,
                                   const CFDictionaryValueCallBacks* valueCallBacks) {
  if (numValues < 0 || (numValues > 0 && (keys == nullptr || values == nullptr))) return nullptr;
  __CFDictionary* d = create(allocator, false, keyCallbacks(keyCallBacks), valueCallbacks(valueCallBacks), numValues);
  if (d == nullptr) return nullptr;
  for (CFIndex i = 0; i < numValues; ++i) {
    if (!d->table.put(keys[i], values[i], HashTable::Put::kAdd)) {
      CFRelease(d);
      return nullptr;
    }
  }
  return d;
}

CFDictionaryRef CFDictionaryCreateCopy(CFAllocatorRef allocator, CFDictionaryRef theDict) {
  return createCopy(allocator, false, 0, theDict);
}

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                                 const CFDictionaryKeyCallBacks* keyCallBacks,
                                                 const CFDictionaryValueCallBacks* valueCallBacks) {
  return create(allocator, true, keyCallbacks(keyCallBacks), valueCallbacks(valueCallBacks), capacity);
}

CFMutableDictionaryRef CFDictionaryCreateMutableCopy(CFAllocatorRef allocator, CFIndex capacity,
                                                     CFDictionaryRef theDict) {
  return createCopy(allocator, true, capacity, theDict);
}

CFIndex CFDictionaryGetCount(CFDictionaryRef theDict) {
  const __CFDictionary* d = dict(theDict);
  return d != nullptr ? d->table.count() : 0;
}

CFIndex CFDictionaryGetCountOfKey(CFDictionaryRef theDict, const void* key) {
  const __CFDictionary* d = dict(theDict);
  return d != nullptr && d->table.lookup(key) != nullptr ? 1 : 0;
}

CFIndex CFDictionaryGetCountOfValue(CFDictionaryRef theDict, const void* value) {
  const __CFDictionary* d = dict(theDict);
  if (d == nullptr) return 0;
  CFIndex n = 0;
  d->table.forEach([&](const HashTable::Entry& e) {
    if (d->table.valuesEqual(e.value, value)) ++n;
  });
  return n;
}

Boolean CFDictionaryContainsKey(CFDictionaryRef theDict, const void* key) {
  const __CFDictionary* d = dict(theDict);
  return d != nullptr && d->table.lookup(key) != nullptr;
}

Boolean CFDictionaryContainsValue(CFDictionaryRef theDict, const void* value) {
  return CFDictionaryGetCountOfValue(theDict, value) > 0;
}

const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key) {
  const __CFDictionary* d = dict(theDict);
  if (d == nullptr) return nullptr;
  const HashTable::Entry* e = d->table.lookup(key);
  return e != nullptr ? e->value : nullptr;
}

Boolean CFDictionaryGetValueIfPresent(CFDictionaryRef theDict, const void* key, const void** value) {
  const __CFDictionary* d = dict(theDict);
  if (d == nullptr) return false;
  const HashTable::Entry* e = d->table.lookup(key);
  if (e == nullptr) return false;
  if (value != nullptr) *value = e->value;
  return true;
}

void CFDictionaryGetKeysAndValues(CFDictionaryRef theDict, const void** keys, const void** values) {
  const __CFDictionary* d = dict(theDict);
  if (d == nullptr) return;
  CFIndex i = 0;
  d->table.forEach([&](const HashTable::Entry& e) {
    if (keys != nullptr) keys[i] = e.key;
    if (values != nullptr) values[i] = e.value;
    ++i;
  });
}

void CFDictionaryApplyFunction(CFDictionaryRef theDict, CFDictionaryApplierFunction applier, void* context) {
  const __CFDictionary* d = dict(theDict);
  if (d == nullptr || applier == nullptr) return;
  d->table.forEach([&](const HashTable::Entry& e) { applier(e.key, e.value, context); });
}

void CFDictionaryAddValue(CFMutableDictionaryRef theDict, const void* key, const void* value) {
  if (__CFDictionary* d = mutableDict(theDict)) d->table.put(key, value, HashTable::Put::kAdd);
}

void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void* key, const void* value) {
  if (__CFDictionary* d = mutableDict(theDict)) d->table.put(key, value, HashTable::Put::kSet);
}

void CFDictionaryReplaceValue(CFMutableDictionaryRef theDict, const void* key, const void* value) {
  if (__CFDictionary* d = mutableDict(theDict)) d->table.put(key, value, HashTable::Put::kReplace);
}

void CFDictionaryRemoveValue(CFMutableDictionaryRef theDict, const void* key) {
  if (__CFDictionary* d = mutableDict(theDict)) d->table.remove(key);
}

void CFDictionaryRemoveAllValues(CFMutableDictionaryRef theDict) {
  if (__CFDictionary* d = mutableDict(theDict)) d->table.removeAll();
}
