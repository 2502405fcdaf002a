// CFDictionary: semantics of add/set/replace/remove, insertion order, callbacks, hashing at scale,
// equality and descriptions.
#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include "CFTestSupport.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace qxtest;

namespace {

CFStringRef keyString(int i) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "preset.key.%d", i);
  return createString(buf);
}

const void* iv(intptr_t v) { return reinterpret_cast<const void*>(v); }
intptr_t vi(const void* p) { return reinterpret_cast<intptr_t>(p); }

std::vector<std::string> keysInOrder(CFDictionaryRef d) {
  std::vector<const void*> keys(static_cast<size_t>(CFDictionaryGetCount(d)));
  CFDictionaryGetKeysAndValues(d, keys.data(), nullptr);
  std::vector<std::string> out;
  for (const void* k : keys) out.push_back(utf8(static_cast<CFStringRef>(k)));
  return out;
}

const CFDictionaryKeyCallBacks kTrackedKeys = {0, trackedRetain, trackedRelease, nullptr, trackedEqual, trackedHash};
const CFDictionaryValueCallBacks kTrackedValues = {0, trackedRetain, trackedRelease, nullptr, trackedEqual};

Boolean neverEqual(const void*, const void*) { return false; }
CFHashCode constantHash(const void*) { return 5; }

TEST(CFDictionary, AddSetReplaceRemoveAndOrder) {
  CFMutableDictionaryRef d =
      CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  CFStringRef a1 = createString("a"), a2 = createString("a"), v1 = createString("one"), v2 = createString("two");
  CFDictionarySetValue(d, a1, v1);
  CFDictionarySetValue(d, CFSTR("b"), CFSTR("bee"));
  CFDictionarySetValue(d, CFSTR("c"), CFSTR("sea"));
  EXPECT_EQ(CFGetTypeID(d), CFDictionaryGetTypeID());
  EXPECT_EQ(CFDictionaryGetCount(d), 3);

  // Lookups by an equal, distinct key.
  EXPECT_EQ(CFDictionaryGetValue(d, a2), v1);
  EXPECT_TRUE(CFDictionaryContainsKey(d, a2));
  EXPECT_EQ(CFDictionaryGetCountOfKey(d, a2), 1);
  EXPECT_EQ(CFDictionaryGetValue(d, CFSTR("z")), nullptr);

  // Add does not overwrite; Replace does not add; Set overwrites in place keeping the first key.
  CFDictionaryAddValue(d, a2, v2);
  EXPECT_EQ(CFDictionaryGetValue(d, a1), v1);
  CFDictionaryReplaceValue(d, CFSTR("z"), v2);
  EXPECT_FALSE(CFDictionaryContainsKey(d, CFSTR("z")));
  CFDictionarySetValue(d, a2, v2);
  EXPECT_EQ(CFDictionaryGetValue(d, a1), v2);
  EXPECT_EQ(keysInOrder(d), (std::vector<std::string>{"a", "b", "c"}));
  const void* keys[3];
  const void* values[3];
  CFDictionaryGetKeysAndValues(d, keys, values);
  EXPECT_EQ(keys[0], a1);  // the original key object stays
  EXPECT_EQ(values[0], v2);
  EXPECT_EQ(CFGetRetainCount(a2), 1);
  EXPECT_EQ(CFGetRetainCount(v1), 1);  // the replaced value was released
  CFDictionaryReplaceValue(d, CFSTR("b"), v1);
  EXPECT_EQ(CFDictionaryGetValue(d, CFSTR("b")), v1);

  EXPECT_TRUE(CFDictionaryContainsValue(d, CFSTR("sea")));
  EXPECT_EQ(CFDictionaryGetCountOfValue(d, v1), 1);
  CFDictionarySetValue(d, CFSTR("c"), v1);
  EXPECT_EQ(CFDictionaryGetCountOfValue(d, CFSTR("one")), 2);
  EXPECT_FALSE(CFDictionaryContainsValue(d, CFSTR("sea")));

  // Remove then re-add puts the key last.
  CFDictionaryRemoveValue(d, a2);
  CFDictionaryRemoveValue(d, CFSTR("absent"));
  EXPECT_EQ(keysInOrder(d), (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(CFGetRetainCount(a1), 1);
  CFDictionarySetValue(d, a2, v1);
  EXPECT_EQ(keysInOrder(d), (std::vector<std::string>{"b", "c", "a"}));

  // ApplyFunction runs in the same order.
  std::string seen;
  CFDictionaryApplyFunction(
      d,
      [](const void* k, const void* v, void* ctx) {
        *static_cast<std::string*>(ctx) +=
            utf8(static_cast<CFStringRef>(k)) + "=" + utf8(static_cast<CFStringRef>(v)) + ";";
      },
      &seen);
  EXPECT_EQ(seen, "b=one;c=one;a=one;");

  CFDictionaryRemoveAllValues(d);
  EXPECT_EQ(CFDictionaryGetCount(d), 0);
  EXPECT_EQ(CFGetRetainCount(a2), 1);
  EXPECT_EQ(CFGetRetainCount(v1), 1);
  CFDictionarySetValue(d, CFSTR("after"), v2);  // usable after RemoveAll
  EXPECT_EQ(CFDictionaryGetValue(d, CFSTR("after")), v2);

  CFRelease(d);
  for (CFStringRef s : {a1, a2, v1, v2}) {
    EXPECT_EQ(CFGetRetainCount(s), 1);
    CFRelease(s);
  }
}

TEST(CFDictionary, ImmutableCopiesAndBadArguments) {
  const void* keys[] = {CFSTR("k1"), CFSTR("k2"), CFSTR("k1")};
  const void* vals[] = {CFSTR("v1"), CFSTR("v2"), CFSTR("v3")};
  CFDictionaryRef d =
      CFDictionaryCreate(nullptr, keys, vals, 3, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(CFDictionaryGetCount(d), 2);  // of equal keys the first pair is kept
  EXPECT_EQ(CFDictionaryGetValue(d, CFSTR("k1")), CFSTR("v1"));

  // Mutators leave immutable dictionaries alone.
  auto* m = (CFMutableDictionaryRef)d;
  CFDictionarySetValue(m, CFSTR("k3"), CFSTR("v3"));
  CFDictionaryRemoveValue(m, CFSTR("k1"));
  CFDictionaryRemoveAllValues(m);
  EXPECT_EQ(CFDictionaryGetCount(d), 2);

  // Copies keep order; a mutable copy with capacity = count still grows.
  CFMutableDictionaryRef mc = CFDictionaryCreateMutableCopy(nullptr, 2, d);
  for (int i = 0; i < 50; ++i) {
    CFStringRef k = keyString(i);
    CFDictionarySetValue(mc, k, k);
    CFRelease(k);
  }
  EXPECT_EQ(CFDictionaryGetCount(mc), 52);
  EXPECT_EQ(keysInOrder(mc)[0], "k1");
  EXPECT_EQ(keysInOrder(mc)[51], "preset.key.49");
  CFDictionaryRef ic = CFDictionaryCreateCopy(nullptr, mc);
  EXPECT_EQ(keysInOrder(ic), keysInOrder(mc));
  EXPECT_TRUE(CFEqual(ic, mc));

  EXPECT_EQ(CFDictionaryCreate(nullptr, nullptr, vals, 1, nullptr, nullptr), nullptr);
  EXPECT_EQ(CFDictionaryCreate(nullptr, keys, vals, -1, nullptr, nullptr), nullptr);
  EXPECT_EQ(CFDictionaryGetCount(nullptr), 0);
  EXPECT_EQ(CFDictionaryCreateCopy(nullptr, nullptr), nullptr);
  CFRelease(ic);
  CFRelease(mc);
  CFRelease(d);
}

TEST(CFDictionary, CallbacksAreHonouredAndBalanced) {
  gCounts = {};
  std::vector<Tracked> k(4), v(4);
  for (int i = 0; i < 4; ++i) k[static_cast<size_t>(i)].id = v[static_cast<size_t>(i)].id = i;
  CFMutableDictionaryRef d = CFDictionaryCreateMutable(nullptr, 0, &kTrackedKeys, &kTrackedValues);
  CFDictionarySetValue(d, &k[0], &v[0]);
  CFDictionarySetValue(d, &k[1], &v[1]);
  EXPECT_EQ(gCounts.retains, 4);
  EXPECT_EQ(gCounts.hashes, 2);  // once per operation

  // Equal but distinct key: found through the callbacks; Add changes nothing, Set keeps the key.
  Tracked twin;
  twin.id = 0;
  EXPECT_EQ(CFDictionaryGetValue(d, &twin), &v[0]);
  CFDictionaryAddValue(d, &twin, &v[2]);
  EXPECT_EQ(twin.refs, 1);
  EXPECT_EQ(v[2].refs, 1);
  CFDictionarySetValue(d, &twin, &v[2]);
  EXPECT_EQ(twin.refs, 1);  // the stored key is still k[0]
  EXPECT_EQ(k[0].refs, 2);
  EXPECT_EQ(v[0].refs, 1);
  EXPECT_EQ(v[2].refs, 2);

  // Setting the stored value again while the dictionary holds the only reference.
  v[2].refs--;
  CFDictionarySetValue(d, &k[0], &v[2]);
  EXPECT_EQ(v[2].refs, 1);
  v[2].refs++;

  // Copies retain everything again; the value equal callback counts values.
  CFDictionaryRef copy = CFDictionaryCreateCopy(nullptr, d);
  CFMutableDictionaryRef mcopy = CFDictionaryCreateMutableCopy(nullptr, 0, copy);
  EXPECT_EQ(k[1].refs, 4);
  Tracked vtwin;
  vtwin.id = 2;
  EXPECT_EQ(CFDictionaryGetCountOfValue(copy, &vtwin), 1);

  CFDictionaryRemoveValue(mcopy, &k[1]);
  EXPECT_EQ(k[1].refs, 3);
  EXPECT_EQ(v[1].refs, 3);
  CFDictionarySetValue(mcopy, &k[3], &v[3]);
  CFDictionaryReplaceValue(mcopy, &k[2], &v[2]);  // absent: nothing
  EXPECT_EQ(k[2].refs, 1);
  CFDictionaryRemoveAllValues(mcopy);
  CFDictionarySetValue(mcopy, &k[3], &v[3]);
  CFRelease(mcopy);
  CFRelease(copy);
  CFRelease(d);
  EXPECT_EQ(gCounts.errors, 0);
  EXPECT_EQ(gCounts.retains, gCounts.releases);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(k[static_cast<size_t>(i)].refs, 1) << i;
    EXPECT_EQ(v[static_cast<size_t>(i)].refs, 1) << i;
  }
}

TEST(CFDictionary, NullCallbacksIdentityAndCopyStringKeys) {
  // NULL callbacks: raw pointers, no retain, equality and hash by address.
  CFStringRef s1 = createString("key"), s2 = createString("key");
  CFMutableDictionaryRef raw = CFDictionaryCreateMutable(nullptr, 0, nullptr, nullptr);
  CFDictionarySetValue(raw, s1, iv(1));
  CFDictionarySetValue(raw, iv(42), nullptr);  // a NULL value is a value
  EXPECT_EQ(CFGetRetainCount(s1), 1);
  EXPECT_EQ(vi(CFDictionaryGetValue(raw, s1)), 1);
  EXPECT_FALSE(CFDictionaryContainsKey(raw, s2));
  const void* out = iv(7);
  EXPECT_TRUE(CFDictionaryGetValueIfPresent(raw, iv(42), &out));
  EXPECT_EQ(out, nullptr);
  out = iv(7);
  EXPECT_FALSE(CFDictionaryGetValueIfPresent(raw, iv(43), &out));
  EXPECT_EQ(out, iv(7));
  EXPECT_TRUE(CFDictionaryGetValueIfPresent(raw, s1, nullptr));
  CFRelease(raw);

  // An equal callback that always says no: keys are still found by identity.
  CFDictionaryKeyCallBacks never = {0, nullptr, nullptr, nullptr, neverEqual, constantHash};
  CFMutableDictionaryRef odd = CFDictionaryCreateMutable(nullptr, 0, &never, nullptr);
  for (intptr_t i = 1; i <= 100; ++i) CFDictionarySetValue(odd, iv(i), iv(i * 10));
  CFDictionarySetValue(odd, iv(50), iv(5));
  EXPECT_EQ(CFDictionaryGetCount(odd), 100);
  EXPECT_EQ(vi(CFDictionaryGetValue(odd, iv(50))), 5);
  CFDictionaryRemoveValue(odd, iv(50));
  EXPECT_FALSE(CFDictionaryContainsKey(odd, iv(50)));
  for (intptr_t i = 1; i <= 100; ++i) {
    if (i == 50) continue;
    ASSERT_EQ(vi(CFDictionaryGetValue(odd, iv(i))), i * 10) << i;
  }
  CFRelease(odd);

  // Copy-string keys: a mutable key may change later without disturbing the dictionary.
  CFMutableStringRef mk = CFStringCreateMutable(nullptr, 0);
  CFStringAppendCString(mk, "volatile", kCFStringEncodingUTF8);
  CFMutableDictionaryRef cs =
      CFDictionaryCreateMutable(nullptr, 0, &kCFCopyStringDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  CFDictionarySetValue(cs, mk, CFSTR("x"));
  CFDictionarySetValue(cs, s1, CFSTR("y"));
  CFStringAppendCString(mk, "-changed", kCFStringEncodingUTF8);
  EXPECT_EQ(CFDictionaryGetValue(cs, CFSTR("volatile")), CFSTR("x"));
  EXPECT_FALSE(CFDictionaryContainsKey(cs, mk));
  const void* stored[2];
  CFDictionaryGetKeysAndValues(cs, stored, nullptr);
  EXPECT_NE(stored[0], (const void*)mk);
  EXPECT_EQ(stored[1], (const void*)s1);  // an immutable key is simply retained
  CFRelease(cs);
  CFRelease(mk);
  EXPECT_EQ(CFGetRetainCount(s1), 1);
  CFRelease(s1);
  CFRelease(s2);
}

TEST(CFDictionary, HundredThousandKeysRemovalAndOrder) {
  const int n = 100000;
  std::vector<CFStringRef> keys, probes;
  for (int i = 0; i < n; ++i) {
    keys.push_back(keyString(i));
    probes.push_back(keyString(i));  // equal, distinct: no identity shortcut
  }
  // Capacity = count, then more than that.
  CFMutableDictionaryRef d = CFDictionaryCreateMutable(nullptr, n / 2, &kCFTypeDictionaryKeyCallBacks, nullptr);
  for (int i = 0; i < n; ++i) CFDictionarySetValue(d, keys[static_cast<size_t>(i)], iv(i));
  ASSERT_EQ(CFDictionaryGetCount(d), n);
  for (int i = 0; i < n; ++i) ASSERT_EQ(vi(CFDictionaryGetValue(d, probes[static_cast<size_t>(i)])), i) << i;

  // Down to a handful: order and lookups survive the table shrinking.
  for (int i = 0; i < n; ++i) {
    if (i % 1000 != 0) CFDictionaryRemoveValue(d, keys[static_cast<size_t>(i)]);
  }
  ASSERT_EQ(CFDictionaryGetCount(d), n / 1000);
  std::vector<std::string> got = keysInOrder(d);
  for (int j = 0; j < n / 1000; ++j) EXPECT_EQ(got[static_cast<size_t>(j)], "preset.key." + std::to_string(j * 1000));
  CFRelease(d);
  for (size_t i = 0; i < keys.size(); ++i) {
    ASSERT_EQ(CFGetRetainCount(keys[i]), 1);
    CFRelease(keys[i]);
    CFRelease(probes[i]);
  }
}

TEST(CFDictionary, MatchesAnOrderedModelUnderRandomOperations) {
  // Small integer keys with a weak hash collide heavily: probing, backward-shift deletion,
  // tombstones and compaction all get exercised against a plain ordered model.
  CFDictionaryKeyCallBacks weak = {
      0,       nullptr, nullptr,
      nullptr, nullptr, [](const void* k) -> CFHashCode { return static_cast<CFHashCode>(vi(k) % 37); }};
  CFMutableDictionaryRef d = CFDictionaryCreateMutable(nullptr, 0, &weak, nullptr);
  std::vector<std::pair<intptr_t, intptr_t>> model;
  std::mt19937 rng(12345);
  for (int step = 0; step < 40000; ++step) {
    intptr_t key = static_cast<intptr_t>(rng() % 600) + 1;
    auto it = std::find_if(model.begin(), model.end(), [&](auto& p) { return p.first == key; });
    switch (rng() % 4) {
      case 0:
      case 1:
        CFDictionarySetValue(d, iv(key), iv(step));
        if (it != model.end()) {
          it->second = step;
        } else {
          model.emplace_back(key, step);
        }
        break;
      case 2:
        CFDictionaryAddValue(d, iv(key), iv(step));
        if (it == model.end()) model.emplace_back(key, step);
        break;
      default:
        CFDictionaryRemoveValue(d, iv(key));
        if (it != model.end()) model.erase(it);
        break;
    }
    if (step % 997 == 0 || step == 39999) {
      ASSERT_EQ(CFDictionaryGetCount(d), static_cast<CFIndex>(model.size()));
      std::vector<const void*> ks(model.size()), vs(model.size());
      CFDictionaryGetKeysAndValues(d, ks.data(), vs.data());
      for (size_t i = 0; i < model.size(); ++i) {
        ASSERT_EQ(vi(ks[i]), model[i].first) << step;
        ASSERT_EQ(vi(vs[i]), model[i].second) << step;
        ASSERT_EQ(vi(CFDictionaryGetValue(d, iv(model[i].first))), model[i].second);
      }
    }
  }
  CFRelease(d);
}

TEST(CFDictionary, EqualityHashDescriptionAndConcurrentReads) {
  CFStringRef a1 = createString("a"), a2 = createString("a");
  const void* k1[] = {a1, CFSTR("b")};
  const void* v1[] = {CFSTR("1"), CFSTR("2")};
  const void* k2[] = {CFSTR("b"), a2};
  const void* v2[] = {CFSTR("2"), CFSTR("1")};
  CFDictionaryRef x =
      CFDictionaryCreate(nullptr, k1, v1, 2, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  CFDictionaryRef y =
      CFDictionaryCreate(nullptr, k2, v2, 2, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  EXPECT_TRUE(CFEqual(x, y));  // order does not matter
  EXPECT_EQ(CFHash(x), CFHash(y));
  CFMutableDictionaryRef z = CFDictionaryCreateMutableCopy(nullptr, 0, y);
  CFDictionarySetValue(z, CFSTR("b"), CFSTR("3"));
  EXPECT_FALSE(CFEqual(x, z));
  CFDictionaryRemoveValue(z, CFSTR("b"));
  CFDictionarySetValue(z, CFSTR("c"), CFSTR("2"));
  EXPECT_FALSE(CFEqual(x, z));

  EXPECT_EQ(describe(x), "{\n    a = 1;\n    b = 2;\n}");
  const void* inner[] = {CFSTR("p"), CFSTR("q")};
  CFArrayRef arr = CFArrayCreate(nullptr, inner, 2, &kCFTypeArrayCallBacks);
  const void* nk[] = {CFSTR("list"), CFSTR("dict")};
  const void* nv[] = {arr, x};
  CFDictionaryRef nested =
      CFDictionaryCreate(nullptr, nk, nv, 2, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  EXPECT_EQ(describe(nested),
            "{\n    list = (\n        p,\n        q\n    );\n    dict = {\n        a = 1;\n        b = 2;\n    };\n}");
  CFStringRef fmt = CFStringCreateWithFormat(nullptr, nullptr, CFSTR("[%@]"), x);
  EXPECT_EQ(utf8(fmt), "[{\n    a = 1;\n    b = 2;\n}]");
  CFDictionaryRef empty = CFDictionaryCreate(nullptr, nullptr, nullptr, 0, nullptr, nullptr);
  EXPECT_EQ(describe(empty), "{\n}");

  // Readers on several threads share one dictionary: nothing on the read path writes.
  std::vector<CFStringRef> keys;
  CFMutableDictionaryRef big = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, nullptr);
  for (int i = 0; i < 2000; ++i) {
    keys.push_back(keyString(i));
    CFDictionarySetValue(big, keys.back(), iv(i));
  }
  std::vector<std::thread> readers;
  std::vector<int> misses(4, 0);
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        CFStringRef probe = keyString(i);
        if (vi(CFDictionaryGetValue(big, probe)) != i) misses[static_cast<size_t>(t)]++;
        CFRelease(probe);
      }
    });
  }
  for (auto& r : readers) r.join();
  EXPECT_EQ(misses, std::vector<int>(4, 0));
  CFRelease(big);
  for (CFStringRef k : keys) CFRelease(k);

  for (CFTypeRef o : {(CFTypeRef)x, (CFTypeRef)y, (CFTypeRef)z, (CFTypeRef)arr, (CFTypeRef)nested, (CFTypeRef)fmt,
                      (CFTypeRef)empty, (CFTypeRef)a1, (CFTypeRef)a2}) {
    CFRelease(o);
  }
}

}  // namespace
