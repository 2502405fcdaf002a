// Helpers the CoreFoundation tests share. Only the public API is used here: the library's internal
// symbols are not exported, so tests see it as any client does.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "CFRef.h"

namespace qxtest {

using qxcf::adopt;
using qxcf::CFRef;

// A new string from UTF-8 text, owned by the caller (NULL when the text is not valid UTF-8).
// For tests that count references by hand; the others use S().
inline CFStringRef createString(std::string_view utf8) {
  return CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(utf8.data()),
                                 static_cast<CFIndex>(utf8.size()), kCFStringEncodingUTF8, false);
}
inline CFRef<CFStringRef> S(std::string_view utf8) { return adopt(createString(utf8)); }
inline CFRef<CFStringRef> S(const char* utf8) { return S(std::string_view(utf8)); }
inline CFRef<CFStringRef> S(std::u16string_view units) {
  return adopt(CFStringCreateWithCharacters(nullptr, reinterpret_cast<const UniChar*>(units.data()),
                                            static_cast<CFIndex>(units.size())));
}
inline CFRef<CFStringRef> S(const char16_t* units) { return S(std::u16string_view(units)); }

// The UTF-16 units of s.
inline std::u16string units(CFStringRef s) {
  std::u16string u(static_cast<size_t>(CFStringGetLength(s)), u'\0');
  CFStringGetCharacters(s, CFRangeMake(0, static_cast<CFIndex>(u.size())), reinterpret_cast<UniChar*>(u.data()));
  return u;
}

// The text of s as UTF-8, "<NULL>" for NULL. A string UTF-8 cannot hold (a lone surrogate) fails
// the test and reads "<unconvertible>".
inline std::string utf8(CFStringRef s) {
  if (s == nullptr) return "<NULL>";
  CFRange all = CFRangeMake(0, CFStringGetLength(s));
  CFIndex size = 0;
  CFIndex converted = CFStringGetBytes(s, all, kCFStringEncodingUTF8, 0, false, nullptr, 0, &size);
  if (converted != all.length) {
    ADD_FAILURE() << "string not convertible to UTF-8";
    return "<unconvertible>";
  }
  std::string out(static_cast<size_t>(size), '\0');
  CFStringGetBytes(s, all, kCFStringEncodingUTF8, 0, false, reinterpret_cast<UInt8*>(out.data()), size, &size);
  out.resize(static_cast<size_t>(size));
  return out;
}
// The text of a value known to be a string (or NULL).
inline std::string text(CFTypeRef s) { return utf8(static_cast<CFStringRef>(s)); }

// Takes ownership of a created string and returns its text.
inline std::string take(CFStringRef s) { return utf8(adopt(s).get()); }

// What "%@" inserts for cf.
inline std::string formatted(CFTypeRef cf) {
  return utf8(adopt(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%@"), cf)).get());
}

// CFCopyDescription's text.
inline std::string describe(CFTypeRef cf) { return utf8(adopt(CFCopyDescription(cf)).get()); }

// Equal, and so hashing alike.
#define EXPECT_SAME(a, b) EXPECT_TRUE(CFEqual((a), (b)) && CFHash(a) == CFHash(b)) << #a " vs " #b

// Small integers stored as pointers, for collections without callbacks.
inline const void* iv(intptr_t v) { return reinterpret_cast<const void*>(v); }
inline intptr_t vi(const void* p) { return reinterpret_cast<intptr_t>(p); }

// Values of the property-list types.
template <class T>
CFRef<CFNumberRef> make(CFNumberType type, T value) {
  return adopt(CFNumberCreate(nullptr, type, &value));
}
inline CFRef<CFNumberRef> num(int64_t v) { return make(kCFNumberSInt64Type, v); }
inline CFRef<CFNumberRef> real(double v) { return make(kCFNumberFloat64Type, v); }
inline CFRef<CFDataRef> blob(std::string_view bytes) {
  return adopt(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()), static_cast<CFIndex>(bytes.size())));
}
inline std::string bytesOf(CFDataRef d) {
  return std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(d)), static_cast<size_t>(CFDataGetLength(d)));
}
inline CFRef<CFArrayRef> array(std::vector<CFTypeRef> items) {
  return adopt(CFArrayCreate(nullptr, items.data(), static_cast<CFIndex>(items.size()), &kCFTypeArrayCallBacks));
}
inline CFRef<CFMutableArrayRef> list() { return adopt(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks)); }
inline CFRef<CFMutableDictionaryRef> dict() {
  return adopt(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
}
// A dictionary of string keys and values.
inline CFRef<CFMutableDictionaryRef> dict(std::initializer_list<std::pair<const char*, CFTypeRef>> entries) {
  auto d = dict();
  for (auto [key, value] : entries) CFDictionarySetValue(d.get(), S(key).get(), value);
  return d;
}
// A reference of its own to any value, for tables of mixed types.
inline CFRef<CFTypeRef> ref(CFTypeRef v) { return CFRef<CFTypeRef>::retain(v); }
template <class T>
CFRef<CFTypeRef> ref(const CFRef<T>& v) {
  return ref(static_cast<CFTypeRef>(v.get()));
}
template <class... T>
std::vector<CFRef<CFTypeRef>> refs(const T&... values) {
  return {ref(values)...};
}
inline std::vector<std::string> strings(CFArrayRef a) {
  std::vector<std::string> out;
  for (CFIndex i = 0; i < CFArrayGetCount(a); ++i) out.push_back(text(CFArrayGetValueAtIndex(a, i)));
  return out;
}

// Sets environment variables for one test and puts the old values back.
class EnvGuard {
 public:
  explicit EnvGuard(std::initializer_list<const char*> names) {
    for (const char* n : names) {
      const char* v = std::getenv(n);
      saved_.emplace_back(n, v != nullptr ? std::optional<std::string>(v) : std::nullopt);
    }
  }
  ~EnvGuard() {
    for (const auto& [n, v] : saved_) v ? setenv(n.c_str(), v->c_str(), 1) : unsetenv(n.c_str());
  }
  // Sets each name to its value, or unsets it for NULL.
  static void set(std::initializer_list<std::pair<const char*, const char*>> values) {
    for (auto [n, v] : values) v != nullptr ? setenv(n, v, 1) : unsetenv(n);
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Values that count their references, to check that every retain is matched by one release and
// that no value is released before it is retained again. The tracked… functions are callbacks
// for any collection; gCounts is what they saw.
struct Tracked {
  int refs = 1;  // the test's own reference
  int id = 0;
};
struct TrackedCounts {
  // errors: a retain or release of a value with no references left, or without an allocator
  int retains = 0, releases = 0, errors = 0, hashes = 0;
};
inline TrackedCounts gCounts;

inline const void* trackedRetain(CFAllocatorRef allocator, const void* v) {
  auto* t = static_cast<Tracked*>(const_cast<void*>(v));
  gCounts.retains++;
  if (t->refs <= 0 || allocator == nullptr) gCounts.errors++;
  t->refs++;
  return v;
}
inline void trackedRelease(CFAllocatorRef, const void* v) {
  auto* t = static_cast<Tracked*>(const_cast<void*>(v));
  gCounts.releases++;
  if (t->refs <= 0) gCounts.errors++;
  t->refs--;
}
inline Boolean trackedEqual(const void* a, const void* b) {
  return static_cast<const Tracked*>(a)->id == static_cast<const Tracked*>(b)->id;
}
inline CFHashCode trackedHash(const void* v) {
  gCounts.hashes++;
  return static_cast<CFHashCode>(static_cast<const Tracked*>(v)->id);
}
// n tracked values with ids 0…n-1, and fresh counts.
inline std::vector<Tracked> trackedValues(int n) {
  gCounts = {};
  std::vector<Tracked> t(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) t[static_cast<size_t>(i)].id = i;
  return t;
}
// After the collections are gone: every retain released, no value over-released.
inline void expectBalanced(const std::vector<Tracked>& values) {
  EXPECT_EQ(gCounts.errors, 0);
  EXPECT_EQ(gCounts.retains, gCounts.releases);
  for (const Tracked& x : values) EXPECT_EQ(x.refs, 1) << x.id;
}

inline Boolean neverEqual(const void*, const void*) { return false; }

// Runs body(t) for t = 0…n-1, each on a thread of its own, and waits for all of them.
template <class F>
void onThreads(int n, F body) {
  std::vector<std::thread> threads;
  for (int t = 0; t < n; ++t) threads.emplace_back(body, t);
  for (std::thread& th : threads) th.join();
}

}  // namespace qxtest
