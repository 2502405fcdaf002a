// CFDictionary: semantics of add/set/replace/remove, insertion order, callbacks, hashing at scale,
// equality and descriptions.
#include "CFTestSupport.h"

using namespace qxtest;

namespace {

CFRef<CFStringRef> keyString(int i) { return S("preset.key." + std::to_string(i)); }

std::vector<std::string> keysInOrder(CFDictionaryRef d) {
  std::vector<const void*> keys(static_cast<size_t>(CFDictionaryGetCount(d)));
  CFDictionaryGetKeysAndValues(d, keys.data(), nullptr);
  std::vector<std::string> out;
  for (const void* k : keys) out.push_back(text(k));
  return out;
}
using Texts = std::vector<std::string>;
// "key=value;" for each pair, in the order ApplyFunction visits them.
std::string entries(CFDictionaryRef d) {
  std::string out;
  CFDictionaryApplyFunction(
      d,
      [](const void* k, const void* v, void* ctx) { *static_cast<std::string*>(ctx) += text(k) + "=" + text(v) + ";"; },
      &out);
  return out;
}

TEST(CFDictionary, AddSetReplaceRemoveAndOrder) {
  auto d = dict();
  CFStringRef a1 = createString("a"), a2 = createString("a"), v1 = createString("one"), v2 = createString("two");
  CFDictionarySetValue(d.get(), a1, v1);
  CFDictionarySetValue(d.get(), CFSTR("b"), CFSTR("bee"));
  CFDictionarySetValue(d.get(), CFSTR("c"), CFSTR("sea"));
  // Lookups by an equal, distinct key; Add does not overwrite, Replace does not add.
  EXPECT_EQ(CFDictionaryGetValue(d.get(), a2), v1);
  EXPECT_TRUE(CFDictionaryContainsKey(d.get(), a2));
  EXPECT_EQ(CFDictionaryGetCountOfKey(d.get(), a2), 1);
  EXPECT_EQ(CFDictionaryGetValue(d.get(), CFSTR("z")), nullptr);
  CFDictionaryAddValue(d.get(), a2, v2);
  CFDictionaryReplaceValue(d.get(), CFSTR("z"), v2);
  EXPECT_EQ(entries(d.get()), "a=one;b=bee;c=sea;");

  // Set overwrites in place, keeping the first key object and releasing the old value.
  CFDictionarySetValue(d.get(), a2, v2);
  EXPECT_EQ(entries(d.get()), "a=two;b=bee;c=sea;");
  const void* keys[3];
  CFDictionaryGetKeysAndValues(d.get(), keys, nullptr);
  EXPECT_EQ(keys[0], a1);
  EXPECT_EQ(std::make_pair(CFGetRetainCount(a2), CFGetRetainCount(v1)), std::make_pair(CFIndex{1}, CFIndex{1}));
  CFDictionaryReplaceValue(d.get(), CFSTR("b"), v1);
  EXPECT_TRUE(CFDictionaryContainsValue(d.get(), CFSTR("sea")));
  CFDictionarySetValue(d.get(), CFSTR("c"), v1);
  EXPECT_EQ(CFDictionaryGetCountOfValue(d.get(), CFSTR("one")), 2);
  EXPECT_FALSE(CFDictionaryContainsValue(d.get(), CFSTR("sea")));

  // Remove then re-add puts the key last.
  CFDictionaryRemoveValue(d.get(), a2);
  CFDictionaryRemoveValue(d.get(), CFSTR("absent"));
  EXPECT_EQ(CFGetRetainCount(a1), 1);
  CFDictionarySetValue(d.get(), a2, v1);
  EXPECT_EQ(entries(d.get()), "b=one;c=one;a=one;");
  CFDictionaryRemoveAllValues(d.get());
  EXPECT_EQ(CFDictionaryGetCount(d.get()), 0);
  CFDictionarySetValue(d.get(), CFSTR("after"), v2);  // usable after RemoveAll
  EXPECT_EQ(entries(d.get()), "after=two;");
  d.reset();
  for (CFStringRef s : {a1, a2, v1, v2}) {
    EXPECT_EQ(CFGetRetainCount(s), 1);
    CFRelease(s);
  }
}

TEST(CFDictionary, ImmutableCopiesAndBadArguments) {
  const void* keys[] = {CFSTR("k1"), CFSTR("k2"), CFSTR("k1")};
  const void* vals[] = {CFSTR("v1"), CFSTR("v2"), CFSTR("v3")};
  auto d = adopt(
      CFDictionaryCreate(nullptr, keys, vals, 3, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  EXPECT_EQ(entries(d.get()), "k1=v1;k2=v2;");  // of equal keys the first pair is kept
  // Mutators leave immutable dictionaries alone.
  auto* m = (CFMutableDictionaryRef)d.get();
  CFDictionarySetValue(m, CFSTR("k3"), CFSTR("v3"));
  CFDictionaryRemoveValue(m, CFSTR("k1"));
  CFDictionaryRemoveAllValues(m);
  EXPECT_EQ(entries(d.get()), "k1=v1;k2=v2;");
  EXPECT_EQ(CFDictionaryCreate(nullptr, nullptr, vals, 1, nullptr, nullptr), nullptr);
  EXPECT_EQ(CFDictionaryCreate(nullptr, keys, vals, -1, nullptr, nullptr), nullptr);
  EXPECT_EQ(CFDictionaryGetCount(nullptr), 0);
  EXPECT_EQ(CFDictionaryCreateCopy(nullptr, nullptr), nullptr);
}

TEST(CFDictionary, CallbacksAreHonouredAndBalanced) {
  const CFDictionaryKeyCallBacks keyCallBacks = {0, trackedRetain, trackedRelease, nullptr, trackedEqual, trackedHash};
  const CFDictionaryValueCallBacks valueCallBacks = {0, trackedRetain, trackedRelease, nullptr, trackedEqual};
  std::vector<Tracked> k = trackedValues(4), v = k;
  {
    auto d = adopt(CFDictionaryCreateMutable(nullptr, 0, &keyCallBacks, &valueCallBacks));
    CFDictionarySetValue(d.get(), &k[0], &v[0]);
    CFDictionarySetValue(d.get(), &k[1], &v[1]);
    EXPECT_EQ(gCounts.retains, 4);
    EXPECT_EQ(gCounts.hashes, 2);  // once per operation

    // Equal but distinct key: found through the callbacks; Add changes nothing, Set keeps the key.
    Tracked twin{.id = 0};
    EXPECT_EQ(CFDictionaryGetValue(d.get(), &twin), &v[0]);
    CFDictionaryAddValue(d.get(), &twin, &v[2]);
    EXPECT_EQ(twin.refs, 1);
    EXPECT_EQ(v[2].refs, 1);
    CFDictionarySetValue(d.get(), &twin, &v[2]);
    EXPECT_EQ(std::make_tuple(twin.refs, k[0].refs, v[0].refs, v[2].refs), std::make_tuple(1, 2, 1, 2));

    // Setting the stored value again while the dictionary holds the only reference.
    v[2].refs--;
    CFDictionarySetValue(d.get(), &k[0], &v[2]);
    EXPECT_EQ(v[2].refs, 1);
    v[2].refs++;

    // Copies retain everything again; the value equal callback counts values.
    auto copy = adopt(CFDictionaryCreateMutableCopy(nullptr, 0, d.get()));
    EXPECT_EQ(k[1].refs, 3);
    Tracked vtwin{.id = 2};
    EXPECT_EQ(CFDictionaryGetCountOfValue(copy.get(), &vtwin), 1);
    CFDictionaryRemoveValue(copy.get(), &k[1]);
    EXPECT_EQ(std::make_pair(k[1].refs, v[1].refs), std::make_pair(2, 2));
    CFDictionaryReplaceValue(copy.get(), &k[2], &v[2]);  // absent: nothing
    EXPECT_EQ(k[2].refs, 1);
    CFDictionarySetValue(copy.get(), &k[3], &v[3]);
  }
  expectBalanced(k);
  for (const Tracked& x : v) EXPECT_EQ(x.refs, 1) << x.id;
}

TEST(CFDictionary, NullCallbacksIdentityAndCopyStringKeys) {
  // NULL callbacks: raw pointers, no retain, equality and hash by address.
  auto s1 = S("key"), s2 = S("key");
  auto raw = adopt(CFDictionaryCreateMutable(nullptr, 0, nullptr, nullptr));
  CFDictionarySetValue(raw.get(), s1.get(), iv(1));
  CFDictionarySetValue(raw.get(), iv(42), nullptr);  // a NULL value is a value
  EXPECT_EQ(CFGetRetainCount(s1.get()), 1);
  EXPECT_EQ(vi(CFDictionaryGetValue(raw.get(), s1.get())), 1);
  EXPECT_FALSE(CFDictionaryContainsKey(raw.get(), s2.get()));
  const void* out = iv(7);
  EXPECT_TRUE(CFDictionaryGetValueIfPresent(raw.get(), iv(42), &out));
  EXPECT_EQ(out, nullptr);
  out = iv(7);
  EXPECT_FALSE(CFDictionaryGetValueIfPresent(raw.get(), iv(43), &out));
  EXPECT_EQ(out, iv(7));
  EXPECT_TRUE(CFDictionaryGetValueIfPresent(raw.get(), s1.get(), nullptr));

  // An equal callback that always says no: keys are still found by identity.
  CFDictionaryKeyCallBacks never = {0,       nullptr,    nullptr,
                                    nullptr, neverEqual, [](const void*) -> CFHashCode { return 5; }};
  auto odd = adopt(CFDictionaryCreateMutable(nullptr, 0, &never, nullptr));
  for (intptr_t i = 1; i <= 100; ++i) CFDictionarySetValue(odd.get(), iv(i), iv(i * 10));
  CFDictionarySetValue(odd.get(), iv(50), iv(5));
  EXPECT_EQ(CFDictionaryGetCount(odd.get()), 100);
  EXPECT_EQ(vi(CFDictionaryGetValue(odd.get(), iv(50))), 5);
  CFDictionaryRemoveValue(odd.get(), iv(50));
  EXPECT_FALSE(CFDictionaryContainsKey(odd.get(), iv(50)));
  for (intptr_t i = 1; i <= 100; ++i) EXPECT_EQ(vi(CFDictionaryGetValue(odd.get(), iv(i))), i == 50 ? 0 : i * 10) << i;

  // Copy-string keys: a mutable key may change later without disturbing the dictionary.
  auto mk = adopt(CFStringCreateMutableCopy(nullptr, 0, CFSTR("volatile")));
  auto cs = adopt(
      CFDictionaryCreateMutable(nullptr, 0, &kCFCopyStringDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  CFDictionarySetValue(cs.get(), mk.get(), CFSTR("x"));
  CFDictionarySetValue(cs.get(), s1.get(), CFSTR("y"));
  CFStringAppendCString(mk.get(), "-changed", kCFStringEncodingUTF8);
  EXPECT_EQ(CFDictionaryGetValue(cs.get(), CFSTR("volatile")), CFSTR("x"));
  EXPECT_FALSE(CFDictionaryContainsKey(cs.get(), mk.get()));
  const void* stored[2];
  CFDictionaryGetKeysAndValues(cs.get(), stored, nullptr);
  EXPECT_NE(stored[0], (const void*)mk.get());
  EXPECT_EQ(stored[1], (const void*)s1.get());  // an immutable key is simply retained
  cs.reset();
  EXPECT_EQ(CFGetRetainCount(s1.get()), 1);
}

TEST(CFDictionary, HundredThousandKeysConcurrentReadsAndRemoval) {
  const int n = 100000;
  std::vector<CFRef<CFStringRef>> keys;
  for (int i = 0; i < n; ++i) keys.push_back(keyString(i));
  // Capacity = count, then more than that; probes are equal to the keys, not the same objects.
  auto d = adopt(CFDictionaryCreateMutable(nullptr, n / 2, &kCFTypeDictionaryKeyCallBacks, nullptr));
  for (int i = 0; i < n; ++i) CFDictionarySetValue(d.get(), keys[static_cast<size_t>(i)].get(), iv(i));
  ASSERT_EQ(CFDictionaryGetCount(d.get()), n);
  for (int i = 0; i < n; ++i) ASSERT_EQ(vi(CFDictionaryGetValue(d.get(), keyString(i).get())), i);
  // Readers on several threads share it: nothing on the read path writes.
  std::atomic<int> misses{0};
  onThreads(4, [&](int t) {
    for (int i = t; i < n; i += 50) misses += vi(CFDictionaryGetValue(d.get(), keyString(i).get())) != i;
  });
  EXPECT_EQ(misses.load(), 0);

  // Down to a handful: order and lookups survive the table shrinking.
  Texts expect;
  for (int i = 0; i < n; ++i) {
    if (i % 1000 != 0) CFDictionaryRemoveValue(d.get(), keys[static_cast<size_t>(i)].get());
    if (i % 1000 == 0) expect.push_back("preset.key." + std::to_string(i));
  }
  EXPECT_EQ(keysInOrder(d.get()), expect);
  d.reset();
  for (const auto& k : keys) ASSERT_EQ(CFGetRetainCount(k.get()), 1);
}

TEST(CFDictionary, EqualityHashAndDescription) {
  auto a1 = S("a"), a2 = S("a");
  const void* k1[] = {a1.get(), CFSTR("b")};
  const void* v1[] = {CFSTR("1"), CFSTR("2")};
  const void* k2[] = {CFSTR("b"), a2.get()};
  const void* v2[] = {CFSTR("2"), CFSTR("1")};
  auto x =
      adopt(CFDictionaryCreate(nullptr, k1, v1, 2, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  auto y =
      adopt(CFDictionaryCreate(nullptr, k2, v2, 2, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  EXPECT_SAME(x.get(), y.get());  // order does not matter
  auto z = adopt(CFDictionaryCreateMutableCopy(nullptr, 0, y.get()));
  CFDictionarySetValue(z.get(), CFSTR("b"), CFSTR("3"));
  EXPECT_FALSE(CFEqual(x.get(), z.get()));
  CFDictionaryRemoveValue(z.get(), CFSTR("b"));
  CFDictionarySetValue(z.get(), CFSTR("c"), CFSTR("2"));
  EXPECT_FALSE(CFEqual(x.get(), z.get()));

  EXPECT_EQ(describe(x.get()), "{\n    a = 1;\n    b = 2;\n}");
  auto nested = dict();
  CFDictionarySetValue(nested.get(), CFSTR("list"), array({CFSTR("p"), CFSTR("q")}).get());
  CFDictionarySetValue(nested.get(), CFSTR("dict"), x.get());
  EXPECT_EQ(describe(nested.get()),
            "{\n    list = (\n        p,\n        q\n    );\n    dict = {\n        a = 1;\n        b = 2;\n    };\n}");
  EXPECT_EQ(take(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("[%@]"), x.get())), "[{\n    a = 1;\n    b = 2;\n}]");
  EXPECT_EQ(describe(adopt(CFDictionaryCreate(nullptr, nullptr, nullptr, 0, nullptr, nullptr)).get()), "{\n}");
}

}  // namespace
