// The hash table behind CFDictionary and CFSet, and the pieces every collection shares (the
// standard callbacks, element descriptions).
//
// Entries live in one vector in insertion order, so enumeration is ordered and cheap; a separate
// open-addressing index (linear probing, backward-shift deletion) maps hashes to entry positions.
// Each entry keeps its key's hash and each index slot a 32-bit tag of it: growth never asks the
// hash callback again, and most probes that miss are settled without touching the entry or
// calling the equal callback. Removal leaves a tombstone in the entry vector; the vector is
// compacted once tombstones dominate.
//
// Read paths never write, so concurrent readers of an unchanging table are safe.
#pragma once

#include <CoreFoundation/CFBase.h>

#include "CFRuntime.h"
#include "CFStringInternal.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace qxcf {

// ---------------------------------------------------------------------------------------------
// Callbacks shared by every collection

// One shape for dictionary keys, dictionary values, set values and (without hash) array values:
// Apple's structs for these share this layout after their version field.
struct HashCallbacks {
  const void* (*retain)(CFAllocatorRef, const void*) = nullptr;
  void (*release)(CFAllocatorRef, const void*) = nullptr;
  CFStringRef (*copyDescription)(const void*) = nullptr;
  Boolean (*equal)(const void*, const void*) = nullptr;
  CFHashCode (*hash)(const void*) = nullptr;
};

// The kCFType… callbacks. NULL values are tolerated (Apple would crash on them).
inline const void* typeRetainCallback(CFAllocatorRef, const void* v) {
  if (v != nullptr) CFRetain(v);
  return v;
}
inline void typeReleaseCallback(CFAllocatorRef, const void* v) {
  if (v != nullptr) CFRelease(v);
}
inline Boolean typeEqualCallback(const void* a, const void* b) { return CFEqual(a, b); }
inline CFHashCode typeHashCallback(const void* v) { return v != nullptr ? CFHash(v) : 0; }

// kCFCopyString…: keys are stored as immutable copies (a retain for strings that already are), so
// later edits to a mutable key cannot move it.
inline const void* copyStringRetainCallback(CFAllocatorRef allocator, const void* v) {
  if (v == nullptr) return nullptr;
  if (isType(v, kTypeIDString)) {
    if (CFStringRef copy = CFStringCreateCopy(allocator, static_cast<CFStringRef>(v))) return copy;
  }
  return CFRetain(v);
}

inline CFHashCode pointerHash(const void* p) { return mixHash(reinterpret_cast<uintptr_t>(p)); }

// Tracks the depth of nested equality walks, so comparing collections that contain themselves
// ends the walk instead of the stack.
class NestingGuard {
 public:
  static constexpr int kMaxDepth = 512;
  NestingGuard() { ++depth(); }
  ~NestingGuard() { --depth(); }
  NestingGuard(const NestingGuard&) = delete;
  NestingGuard& operator=(const NestingGuard&) = delete;
  bool tooDeep() const { return depth() > kMaxDepth; }

 private:
  static int& depth() {
    static thread_local int d = 0;
    return d;
  }
};

// Descriptions. A collection writes its lines into one buffer, indented by its nesting level,
// so a deep structure costs time linear in its output. Deeper than kMaxDescriptionLevel (only a
// collection containing itself gets there) shows as "...".
inline constexpr int kMaxDescriptionLevel = 512;
void appendArrayDescription(std::u16string& out, CFTypeRef array, int level);
void appendDictionaryDescription(std::u16string& out, CFTypeRef dict, int level);
void appendSetDescription(std::u16string& out, CFTypeRef set, int level);

inline void appendIndent(std::u16string& out, int level) { out.append(static_cast<size_t>(level) * 4, u' '); }

inline void appendASCII(std::u16string& out, const char* text) {
  for (const char* p = text; *p; ++p) out.push_back(static_cast<char16_t>(*p));
}

// Writes open, then body's lines (body writes each element's indent itself), then close at the
// collection's level. Past kMaxDescriptionLevel the body is replaced by "...".
template <class Body>
void appendCollection(std::u16string& out, int level, const char16_t* open, const char16_t* close, Body&& body) {
  out += open;
  if (level >= kMaxDescriptionLevel) {
    appendIndent(out, level + 1);
    out += u"...\n";
  } else {
    body();
  }
  appendIndent(out, level);
  out += close;
}

// Appends the description of one element at the given level: the copyDescription callback's text
// when the callbacks have their own, a CF object's formatting description for the standard
// callbacks, else the address. Lines after the first are indented to the level.
inline void appendElementDescription(std::u16string& out, const void* v, CFStringRef (*copyDesc)(const void*),
                                     int level) {
  CFStringRef desc = nullptr;
  if (copyDesc == &CFCopyDescription) {
    if (v != nullptr) {
      switch (typeOf(v)) {
        case kTypeIDArray: return appendArrayDescription(out, v, level);
        case kTypeIDDictionary: return appendDictionaryDescription(out, v, level);
        case kTypeIDSet: return appendSetDescription(out, v, level);
        default: break;
      }
    }
    desc = copyFormattingDescription(v);
  } else if (copyDesc != nullptr) {
    desc = copyDesc(v);
  }
  if (desc == nullptr) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "<%p>", v);
    appendASCII(out, buf);
    return;
  }
  for (char16_t c : chars(desc)) {
    out.push_back(c);
    if (c == u'\n') appendIndent(out, level);
  }
  CFRelease(desc);
}

inline CFStringRef createString(const std::u16string& text) {
  return createStringUTF16(nullptr, reinterpret_cast<const UniChar*>(text.data()), static_cast<CFIndex>(text.size()));
}

// The description callback of a collection whose text Append writes.
template <void (*Append)(std::u16string&, CFTypeRef, int)>
CFStringRef collectionDescription(CFTypeRef cf) {
  try {
    std::u16string out;
    Append(out, cf, 0);
    return createString(out);
  } catch (...) {  // out of memory: no description rather than an exception through C
    return nullptr;
  }
}

// HashCallbacks from one of Apple's callback structs (NULL: none); value callbacks have no hash.
template <class CallBacks>
HashCallbacks hashCallbacksOf(const CallBacks* cb) {
  HashCallbacks h;
  if (cb != nullptr) {
    h.retain = cb->retain;
    h.release = cb->release;
    h.copyDescription = cb->copyDescription;
    h.equal = cb->equal;
    if constexpr (requires { cb->hash; }) h.hash = cb->hash;
  }
  return h;
}

// Capacity hints beyond this are not reserved up front: a caller's capacity must not cost memory
// it may never use.
inline constexpr CFIndex kMaxReservedHint = CFIndex{1} << 24;

// ---------------------------------------------------------------------------------------------
// The table

class HashTable {
 public:
  struct Entry {
    const void* key;
    const void* value;
    CFHashCode hash;
  };

  enum class Put { kAdd, kReplace, kSet };

  // allocator is what the retain/release callbacks receive. Sets pass hasValues = false: entries
  // then hold only keys, and a replacement swaps the key object.
  HashTable(const HashCallbacks& keys, const HashCallbacks& values, bool hasValues, CFAllocatorRef allocator)
      : keys_(keys), values_(values), allocator_(allocator), hasValues_(hasValues) {}
  ~HashTable() { removeAll(); }
  HashTable(const HashTable&) = delete;
  HashTable& operator=(const HashTable&) = delete;

  const HashCallbacks& keyCallbacks() const { return keys_; }
  const HashCallbacks& valueCallbacks() const { return values_; }
  CFIndex count() const { return live_; }

  // Room for n entries without growing. A hint: false (and no change) when n is unreasonable or
  // memory is short.
  bool reserve(CFIndex n) {
    if (n <= static_cast<CFIndex>(cap_)) return true;
    if (n > static_cast<CFIndex>(kMaxEntries)) return false;
    return resize(static_cast<uint32_t>(n));
  }

  CFHashCode hashKey(const void* key) const {
    if (keys_.hash == &typeHashCallback) {
      // CFHash without the extra call: this is the hot path of every string-keyed lookup.
      if (key == nullptr) return 0;
      const RuntimeClass* cls = base(key)->isa;
      return cls->hash != nullptr ? cls->hash(key) : pointerHash(key);
    }
    return keys_.hash != nullptr ? keys_.hash(key) : pointerHash(key);
  }

  bool keysEqual(const void* stored, const void* key) const {
    if (stored == key) return true;
    if (keys_.equal == &typeEqualCallback) {
      if (stored == nullptr || key == nullptr) return false;
      const RuntimeClass* cls = base(stored)->isa;
      return cls->typeID == typeOf(key) && cls->equal != nullptr && cls->equal(stored, key);
    }
    return keys_.equal != nullptr && keys_.equal(stored, key);
  }

  bool valuesEqual(const void* stored, const void* value) const {
    if (stored == value) return true;
    return values_.equal != nullptr && values_.equal(stored, value);
  }

  // The entry whose key equals key, or nullptr. Calls the hash callback once.
  const Entry* lookup(const void* key) const {
    if (live_ == 0) return nullptr;
    CFHashCode h = hashKey(key);
    int64_t slot = findSlot(key, h);
    return slot < 0 ? nullptr : &entries_[slots_[slot].index];
  }
  const Entry* lookup(const void* key, CFHashCode h) const {
    if (live_ == 0) return nullptr;
    int64_t slot = findSlot(key, h);
    return slot < 0 ? nullptr : &entries_[slots_[slot].index];
  }

  // Calls f(const Entry&) for every entry in insertion order. f may mutate the table (Apple leaves
  // that undefined); entries may then be skipped or repeated, but nothing is read out of bounds.
  template <class F>
  void forEach(F&& f) const {
    for (uint32_t i = 0; i < used_; ++i) {
      Entry e = entries_[i];
      if (e.key != deleted()) f(e);
    }
  }

  // Adds, replaces or sets per mode. Returns false only when memory ran out (nothing changed).
  bool put(const void* key, const void* value, Put mode) {
    CFHashCode h = hashKey(key);
    int64_t slot = live_ != 0 ? findSlot(key, h) : -1;
    if (slot >= 0) {
      if (mode == Put::kAdd) return true;
      uint32_t i = slots_[slot].index;
      if (hasValues_) {
        // The new value is retained before the old one goes, in case they are the same object.
        const void* fresh = retainValue(value);
        if (i >= used_) {  // the retain callback re-entered and shrank the table
          releaseValue(fresh);
          return true;
        }
        const void* old = entries_[i].value;
        entries_[i].value = fresh;
        releaseValue(old);
      } else {
        const void* fresh = retainKey(key);
        if (i >= used_) {
          releaseKey(fresh);
          return true;
        }
        const void* old = entries_[i].key;
        entries_[i].key = fresh;
        releaseKey(old);
      }
      return true;
    }
    if (mode == Put::kReplace) return true;
    const void* k = retainKey(key);
    const void* v = hasValues_ ? retainValue(value) : nullptr;
    if (used_ == cap_ && !makeRoom()) {
      releaseKey(k);
      if (hasValues_) releaseValue(v);
      return false;
    }
    append(k, v, h);
    return true;
  }

  // Removes the entry of key, if any.
  void remove(const void* key) {
    if (live_ == 0) return;
    CFHashCode h = hashKey(key);
    int64_t slot = findSlot(key, h);
    if (slot < 0) return;
    uint32_t i = slots_[slot].index;
    Entry gone = entries_[i];
    eraseSlot(static_cast<uint32_t>(slot));
    entries_[i].key = deleted();
    entries_[i].value = nullptr;
    --live_;
    while (used_ > 0 && entries_[used_ - 1].key == deleted()) --used_;
    uint32_t tombstones = used_ - live_;
    if (tombstones > 16 && tombstones > live_) compact();
    // Released last: a release callback may re-enter the table and must find it consistent.
    releaseKey(gone.key);
    if (hasValues_) releaseValue(gone.value);
  }

  void removeAll() {
    Entry* old = entries_;
    uint32_t oldUsed = used_;
    entries_ = nullptr;
    std::free(slots_);
    slots_ = nullptr;
    used_ = live_ = cap_ = 0;
    mask_ = 0;
    shift_ = 64;
    for (uint32_t i = 0; i < oldUsed; ++i) {
      if (old[i].key == deleted()) continue;
      releaseKey(old[i].key);
      if (hasValues_) releaseValue(old[i].value);
    }
    std::free(old);
  }

  // Fills this (empty) table with other's entries, retained, in order, without rehashing.
  // Both tables must have the same callbacks. False when memory ran out (the table stays empty).
  bool copyFrom(const HashTable& other, CFIndex capacityHint) {
    CFIndex want = other.live_;
    if (capacityHint > want && capacityHint <= kMaxReservedHint) want = capacityHint;
    if (!reserve(want) && !reserve(other.live_)) return false;
    other.forEach([&](const Entry& e) {
      const void* k = retainKey(e.key);
      const void* v = hasValues_ ? retainValue(e.value) : nullptr;
      append(k, v, e.hash);
    });
    return true;
  }

  // Same keys, and for dictionaries equal values (by this table's value callbacks).
  bool equals(const HashTable& other) const {
    if (live_ != other.live_) return false;
    bool sameHash = keys_.hash == other.keys_.hash;
    for (uint32_t i = 0; i < used_; ++i) {
      const Entry& e = entries_[i];
      if (e.key == deleted()) continue;
      const Entry* o = other.lookup(e.key, sameHash ? e.hash : other.hashKey(e.key));
      if (o == nullptr) return false;
      if (hasValues_ && !valuesEqual(e.value, o->value)) return false;
    }
    return true;
  }

 private:
  struct Slot {
    uint32_t index;  // into entries_, kEmpty when free
    uint32_t tag;    // folded hash of that entry's key
  };
  static constexpr uint32_t kEmpty = UINT32_MAX;
  static constexpr uint32_t kMaxEntries = 1u << 30;

  static const void* deleted() {
    static const char marker = 0;  // an address no caller can hold as a key
    return &marker;
  }
  static uint32_t tagOf(CFHashCode h) { return static_cast<uint32_t>(h ^ (static_cast<uint64_t>(h) >> 32)); }
  // Fibonacci hashing: spreads weak hashes (small integers, aligned addresses) over the index.
  uint32_t home(uint32_t tag) const {
    return static_cast<uint32_t>((static_cast<uint64_t>(tag) * 0x9E3779B97F4A7C15ULL) >> shift_);
  }

  const void* retainKey(const void* k) const { return keys_.retain ? keys_.retain(allocator_, k) : k; }
  void releaseKey(const void* k) const {
    if (keys_.release) keys_.release(allocator_, k);
  }
  const void* retainValue(const void* v) const { return values_.retain ? values_.retain(allocator_, v) : v; }
  void releaseValue(const void* v) const {
    if (values_.release) values_.release(allocator_, v);
  }

  int64_t findSlot(const void* key, CFHashCode h) const {
    uint32_t tag = tagOf(h);
    uint32_t pos = home(tag);
    for (;;) {
      Slot s = slots_[pos];
      if (s.index == kEmpty) return -1;
      if (s.tag == tag) {
        const Entry& e = entries_[s.index];
        if (e.key == key || (e.hash == h && keysEqual(e.key, key))) return pos;
      }
      pos = (pos + 1) & mask_;
    }
  }

  void place(uint32_t index, uint32_t tag) {
    uint32_t pos = home(tag);
    while (slots_[pos].index != kEmpty) pos = (pos + 1) & mask_;
    slots_[pos] = Slot{index, tag};
  }

  // Linear-probing deletion without tombstones: later members of the probe run move back into
  // the hole when their home position allows it.
  void eraseSlot(uint32_t hole) {
    uint32_t next = (hole + 1) & mask_;
    while (slots_[next].index != kEmpty) {
      uint32_t ideal = home(slots_[next].tag);
      if (((next - ideal) & mask_) >= ((next - hole) & mask_)) {
        slots_[hole] = slots_[next];
        hole = next;
      }
      next = (next + 1) & mask_;
    }
    slots_[hole].index = kEmpty;
  }

  void append(const void* k, const void* v, CFHashCode h) {
    uint32_t i = used_++;
    entries_[i] = Entry{k, v, h};
    ++live_;
    place(i, tagOf(h));
  }

  // Called when the entry vector is full: reuse tombstones when they are a fair share, else grow.
  bool makeRoom() {
    if (used_ - live_ >= used_ / 4 && used_ > live_) {
      compact();
      return true;
    }
    uint64_t want = cap_ < 4 ? 4 : uint64_t{cap_} * 2;
    if (want > kMaxEntries) want = kMaxEntries;
    if (want <= used_) return false;
    return resize(static_cast<uint32_t>(want));
  }

  // Moves the live entries together (keeping order), shrinks storage that is mostly empty and
  // rebuilds the index.
  void compact() {
    uint32_t n = 0;
    for (uint32_t i = 0; i < used_; ++i) {
      if (entries_[i].key != deleted()) entries_[n++] = entries_[i];
    }
    used_ = n;
    if (cap_ > 64 && uint64_t{live_} * 4 < cap_) {
      uint32_t smaller = live_ * 2 < 16 ? 16 : live_ * 2;
      if (resize(smaller)) return;
    }
    rebuildIndex();
  }

  // Sets the entry capacity to newCap (>= used_) and sizes the index to at most half full.
  bool resize(uint32_t newCap) {
    uint32_t bits = 3;
    while ((uint64_t{1} << bits) < uint64_t{newCap} * 2) ++bits;
    uint32_t slotCount = 1u << bits;
    Slot* fresh = nullptr;
    if (slots_ == nullptr || slotCount != mask_ + 1) {
      fresh = static_cast<Slot*>(std::malloc(sizeof(Slot) * slotCount));
      // Shrinking may keep the larger index it has; growing needs the new one.
      if (fresh == nullptr && (slots_ == nullptr || slotCount > mask_ + 1)) return false;
    }
    auto* moved = static_cast<Entry*>(std::realloc(entries_, sizeof(Entry) * newCap));
    if (moved == nullptr) {
      std::free(fresh);
      return false;
    }
    entries_ = moved;
    cap_ = newCap;
    if (fresh != nullptr) {
      std::free(slots_);
      slots_ = fresh;
      mask_ = slotCount - 1;
      shift_ = 64 - bits;
    }
    rebuildIndex();
    return true;
  }

  void rebuildIndex() {
    std::memset(slots_, 0xFF, sizeof(Slot) * (mask_ + 1));
    for (uint32_t i = 0; i < used_; ++i) {
      if (entries_[i].key != deleted()) place(i, tagOf(entries_[i].hash));
    }
  }

  HashCallbacks keys_;
  HashCallbacks values_;
  CFAllocatorRef allocator_;
  bool hasValues_;
  Entry* entries_ = nullptr;
  Slot* slots_ = nullptr;
  uint32_t used_ = 0;  // entries written, tombstones included
  uint32_t live_ = 0;
  uint32_t cap_ = 0;
  uint32_t mask_ = 0;
  uint32_t shift_ = 64;
};

// ---------------------------------------------------------------------------------------------
// CFDictionary and CFSet: objects of type T holding a HashTable `table`

// Equal when their tables hold the same entries; deep self-nesting compares unequal.
template <class T>
bool tableOwnersEqual(CFTypeRef a, CFTypeRef b) {
  NestingGuard guard;
  if (guard.tooDeep()) return false;
  return static_cast<const T*>(a)->table.equals(static_cast<const T*>(b)->table);
}

// Apple hashes a collection by its count: cheap, and consistent with equality.
template <class T>
CFHashCode tableOwnerHash(CFTypeRef cf) {
  return static_cast<CFHashCode>(static_cast<const T*>(cf)->table.count());
}

// A new T built from args, holding copies of source's entries when source is given, else with
// room reserved for a reasonable capacity hint. NULL when storage runs out.
template <class T, class... Args>
T* createTableOwner(CFAllocatorRef alloc, CFIndex capacity, const HashTable* source, const Args&... args) {
  T* t = cfCreate<T>(alloc, 0, args...);
  if (t == nullptr) return nullptr;
  if (source != nullptr) {
    if (!t->table.copyFrom(*source, capacity)) {
      CFRelease(t);
      return nullptr;
    }
  } else if (capacity > 0 && capacity <= kMaxReservedHint) {
    t->table.reserve(capacity);
  }
  return t;
}

}  // namespace qxcf
