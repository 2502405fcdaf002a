// CFArray: getters, mutators, ownership through callbacks, search, sort, equality, descriptions.
#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include "CFTestSupport.h"

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

using namespace qxtest;

namespace {

const void* iv(intptr_t v) { return reinterpret_cast<const void*>(v); }
intptr_t vi(const void* p) { return reinterpret_cast<intptr_t>(p); }

CFComparisonResult compareInts(const void* a, const void* b, void*) {
  return vi(a) < vi(b) ? kCFCompareLessThan : vi(a) > vi(b) ? kCFCompareGreaterThan : kCFCompareEqualTo;
}

const CFArrayCallBacks kTrackedCallBacks = {0, trackedRetain, trackedRelease, nullptr, trackedEqual};

Boolean neverEqual(const void*, const void*) { return false; }

TEST(CFArray, CreateAndRead) {
  CFStringRef a = createString("alpha"), b = createString("beta");
  const void* values[] = {a, b, a, CFSTR("gamma")};
  CFArrayRef arr = CFArrayCreate(nullptr, values, 4, &kCFTypeArrayCallBacks);
  ASSERT_NE(arr, nullptr);
  EXPECT_EQ(CFGetTypeID(arr), CFArrayGetTypeID());
  EXPECT_EQ(CFArrayGetCount(arr), 4);
  EXPECT_EQ(CFArrayGetValueAtIndex(arr, 1), b);
  EXPECT_EQ(CFGetRetainCount(a), 3);  // ours and two slots

  // Lookups compare by value: a separately created "alpha" is found.
  CFStringRef alpha2 = createString("alpha");
  CFRange all = CFRangeMake(0, 4);
  EXPECT_TRUE(CFArrayContainsValue(arr, all, alpha2));
  EXPECT_EQ(CFArrayGetCountOfValue(arr, all, alpha2), 2);
  EXPECT_EQ(CFArrayGetFirstIndexOfValue(arr, all, alpha2), 0);
  EXPECT_EQ(CFArrayGetLastIndexOfValue(arr, all, alpha2), 2);
  EXPECT_EQ(CFArrayGetFirstIndexOfValue(arr, CFRangeMake(1, 3), alpha2), 2);
  EXPECT_EQ(CFArrayGetFirstIndexOfValue(arr, CFRangeMake(1, 1), alpha2), kCFNotFound);
  EXPECT_EQ(CFArrayGetFirstIndexOfValue(arr, all, CFSTR("delta")), kCFNotFound);

  const void* out[4] = {};
  CFArrayGetValues(arr, CFRangeMake(1, 3), out);
  EXPECT_EQ(out[0], b);
  EXPECT_EQ(out[1], a);
  EXPECT_EQ(out[3], nullptr);

  // Out of range: NULL, not-found and no writes, never a read past the end.
  EXPECT_EQ(CFArrayGetValueAtIndex(arr, 4), nullptr);
  EXPECT_EQ(CFArrayGetValueAtIndex(arr, -1), nullptr);
  EXPECT_EQ(CFArrayGetCountOfValue(arr, CFRangeMake(2, 3), a), 0);
  EXPECT_EQ(CFArrayGetFirstIndexOfValue(arr, CFRangeMake(-1, 2), a), kCFNotFound);
  EXPECT_FALSE(CFArrayContainsValue(arr, CFRangeMake(0, 5), a));
  out[0] = nullptr;
  CFArrayGetValues(arr, CFRangeMake(3, 2), out);
  EXPECT_EQ(out[0], nullptr);
  EXPECT_EQ(CFArrayGetCount(nullptr), 0);
  EXPECT_EQ(CFArrayCreate(nullptr, nullptr, 2, &kCFTypeArrayCallBacks), nullptr);
  EXPECT_EQ(CFArrayCreate(nullptr, values, -1, &kCFTypeArrayCallBacks), nullptr);

  // Mutating an immutable array does nothing.
  CFArrayAppendValue((CFMutableArrayRef)arr, b);
  CFArrayRemoveAllValues((CFMutableArrayRef)arr);
  CFArraySetValueAtIndex((CFMutableArrayRef)arr, 0, b);
  EXPECT_EQ(CFArrayGetCount(arr), 4);
  EXPECT_EQ(CFArrayGetValueAtIndex(arr, 0), a);

  CFRelease(arr);
  EXPECT_EQ(CFGetRetainCount(a), 1);
  CFRelease(a);
  CFRelease(b);
  CFRelease(alpha2);
}

TEST(CFArray, MutatorsAndCapacityHint) {
  // Capacity is only a hint: created with 2, grown to 1000.
  CFMutableArrayRef m = CFArrayCreateMutable(nullptr, 2, nullptr);
  for (intptr_t i = 0; i < 1000; ++i) CFArrayAppendValue(m, iv(i));
  ASSERT_EQ(CFArrayGetCount(m), 1000);
  for (intptr_t i = 0; i < 1000; ++i) ASSERT_EQ(vi(CFArrayGetValueAtIndex(m, i)), i);
  CFArrayRemoveAllValues(m);
  EXPECT_EQ(CFArrayGetCount(m), 0);

  auto contents = [&] {
    std::vector<intptr_t> v;
    for (CFIndex i = 0; i < CFArrayGetCount(m); ++i) v.push_back(vi(CFArrayGetValueAtIndex(m, i)));
    return v;
  };
  CFArrayAppendValue(m, iv(1));
  CFArrayInsertValueAtIndex(m, 0, iv(0));
  CFArrayInsertValueAtIndex(m, 2, iv(3));  // at count: appends
  CFArrayInsertValueAtIndex(m, 2, iv(2));
  EXPECT_EQ(contents(), (std::vector<intptr_t>{0, 1, 2, 3}));
  CFArraySetValueAtIndex(m, 1, iv(10));
  CFArraySetValueAtIndex(m, 4, iv(4));  // at count: appends
  EXPECT_EQ(contents(), (std::vector<intptr_t>{0, 10, 2, 3, 4}));
  CFArrayExchangeValuesAtIndices(m, 0, 4);
  CFArrayRemoveValueAtIndex(m, 1);
  EXPECT_EQ(contents(), (std::vector<intptr_t>{4, 2, 3, 0}));

  // Replace grows, shrinks and can take its values from the array itself.
  const void* repl[] = {iv(7), iv(8), iv(9)};
  CFArrayReplaceValues(m, CFRangeMake(1, 1), repl, 3);
  EXPECT_EQ(contents(), (std::vector<intptr_t>{4, 7, 8, 9, 3, 0}));
  CFArrayReplaceValues(m, CFRangeMake(1, 4), nullptr, 0);
  EXPECT_EQ(contents(), (std::vector<intptr_t>{4, 0}));
  CFArrayReplaceValues(m, CFRangeMake(2, 0), repl, 2);  // at the end: appends
  EXPECT_EQ(contents(), (std::vector<intptr_t>{4, 0, 7, 8}));
  for (int i = 0; i < 20; ++i) CFArrayAppendValue(m, iv(100 + i));  // room so that realloc moves later
  CFArrayReplaceValues(m, CFRangeMake(4, 20), nullptr, 0);
  {
    // newValues pointing into the array's own storage, with growth in between.
    std::vector<const void*> expect = {iv(4), iv(0), iv(7), iv(8), iv(4), iv(0), iv(7), iv(8)};
    CFArrayAppendArray(m, m, CFRangeMake(0, 4));
    ASSERT_EQ(CFArrayGetCount(m), 8);
    for (CFIndex i = 0; i < 8; ++i) EXPECT_EQ(CFArrayGetValueAtIndex(m, i), expect[static_cast<size_t>(i)]);
  }

  // Out of range: nothing changes.
  std::vector<intptr_t> before = contents();
  CFArrayInsertValueAtIndex(m, 9, iv(1));
  CFArraySetValueAtIndex(m, 9, iv(1));
  CFArraySetValueAtIndex(m, -1, iv(1));
  CFArrayRemoveValueAtIndex(m, 8);
  CFArrayExchangeValuesAtIndices(m, 0, 8);
  CFArrayReplaceValues(m, CFRangeMake(7, 2), repl, 1);
  CFArrayAppendArray(m, m, CFRangeMake(5, 4));
  EXPECT_EQ(contents(), before);

  // ApplyFunction visits the range in order.
  std::vector<intptr_t> seen;
  CFArrayApplyFunction(
      m, CFRangeMake(2, 3),
      [](const void* v, void* ctx) { static_cast<std::vector<intptr_t>*>(ctx)->push_back(vi(v)); }, &seen);
  EXPECT_EQ(seen, (std::vector<intptr_t>{7, 8, 4}));
  CFRelease(m);
}

TEST(CFArray, BSearchAndStableSort) {
  const void* sorted[] = {iv(10), iv(20), iv(20), iv(30)};
  CFArrayRef a = CFArrayCreate(nullptr, sorted, 4, nullptr);
  CFRange all = CFRangeMake(0, 4);
  EXPECT_EQ(CFArrayBSearchValues(a, all, iv(20), compareInts, nullptr), 1);  // first not less
  EXPECT_EQ(CFArrayBSearchValues(a, all, iv(5), compareInts, nullptr), 0);
  EXPECT_EQ(CFArrayBSearchValues(a, all, iv(25), compareInts, nullptr), 3);
  EXPECT_EQ(CFArrayBSearchValues(a, all, iv(30), compareInts, nullptr), 3);
  EXPECT_EQ(CFArrayBSearchValues(a, all, iv(35), compareInts, nullptr), 4);  // range end
  EXPECT_EQ(CFArrayBSearchValues(a, CFRangeMake(1, 2), iv(35), compareInts, nullptr), 3);
  EXPECT_EQ(CFArrayBSearchValues(a, CFRangeMake(1, 2), iv(5), compareInts, nullptr), 1);
  EXPECT_EQ(CFArrayBSearchValues(a, CFRangeMake(2, 0), iv(5), compareInts, nullptr), 2);
  EXPECT_EQ(CFArrayBSearchValues(a, CFRangeMake(2, 5), iv(5), compareInts, nullptr), kCFNotFound);
  CFRelease(a);

  // Stability: records with equal keys keep their order. Key in the high bits, sequence below.
  CFMutableArrayRef m = CFArrayCreateMutable(nullptr, 0, nullptr);
  const int keys[] = {3, 1, 2, 3, 1, 2, 3, 1, 0, 2, 1, 3, 0, 0, 2, 1, 3, 2, 1, 0};
  for (int i = 0; i < 20; ++i) CFArrayAppendValue(m, iv(keys[i] * 1000 + i));
  CFComparatorFunction byKey = [](const void* x, const void* y, void* ctx) -> CFComparisonResult {
    ++*static_cast<int*>(ctx);
    return compareInts(iv(vi(x) / 1000), iv(vi(y) / 1000), nullptr);
  };
  int calls = 0;
  CFArraySortValues(m, CFRangeMake(0, 20), byKey, &calls);
  EXPECT_GT(calls, 0);  // the context reaches the comparator
  for (CFIndex i = 1; i < 20; ++i) {
    intptr_t p = vi(CFArrayGetValueAtIndex(m, i - 1)), q = vi(CFArrayGetValueAtIndex(m, i));
    ASSERT_TRUE(p / 1000 < q / 1000 || (p / 1000 == q / 1000 && p % 1000 < q % 1000)) << i;
  }

  // A sub-range sort leaves the rest alone.
  CFArrayRemoveAllValues(m);
  for (intptr_t v : {9, 8, 7, 6, 5, 4}) CFArrayAppendValue(m, iv(v));
  CFArraySortValues(m, CFRangeMake(1, 3), compareInts, nullptr);
  const intptr_t expect[] = {9, 6, 7, 8, 5, 4};
  for (CFIndex i = 0; i < 6; ++i) EXPECT_EQ(vi(CFArrayGetValueAtIndex(m, i)), expect[i]);

  // A comparator that contradicts itself gets some order, never a read outside the range or a
  // value lost or duplicated. Mostly "less", which is what drives a trusting insertion sort past
  // the start of its range.
  std::mt19937 rng(7);
  CFComparatorFunction coin = [](const void*, const void*, void* ctx) {
    const CFComparisonResult results[] = {kCFCompareLessThan, kCFCompareLessThan, kCFCompareEqualTo,
                                          kCFCompareGreaterThan};
    return results[(*static_cast<std::mt19937*>(ctx))() % 4];
  };
  for (CFIndex n : {2, 3, 5, 17, 40, 1000}) {
    for (int round = 0; round < 10; ++round) {
      CFArrayRemoveAllValues(m);
      CFArrayAppendValue(m, iv(-1));  // guards, unlike any value in the range
      for (CFIndex i = 1; i <= n; ++i) CFArrayAppendValue(m, iv(i % 7));
      CFArrayAppendValue(m, iv(-2));
      CFArraySortValues(m, CFRangeMake(1, n), coin, &rng);
      std::vector<intptr_t> got, want;
      for (CFIndex i = 1; i <= n; ++i) got.push_back(vi(CFArrayGetValueAtIndex(m, i))), want.push_back(i % 7);
      std::sort(got.begin(), got.end());
      std::sort(want.begin(), want.end());
      ASSERT_EQ(got, want) << n;
      ASSERT_EQ(vi(CFArrayGetValueAtIndex(m, 0)), -1);
      ASSERT_EQ(vi(CFArrayGetValueAtIndex(m, n + 1)), -2);
    }
  }
  CFRelease(m);
}

TEST(CFArray, CallbacksAreHonouredAndBalanced) {
  gCounts = {};
  std::vector<Tracked> t(6);
  for (int i = 0; i < 6; ++i) t[static_cast<size_t>(i)].id = i;
  {
    const void* vals[] = {&t[0], &t[1], &t[2]};
    CFArrayRef a = CFArrayCreate(nullptr, vals, 3, &kTrackedCallBacks);
    EXPECT_EQ(gCounts.retains, 3);
    CFArrayRef copy = CFArrayCreateCopy(nullptr, a);
    CFMutableArrayRef m = CFArrayCreateMutableCopy(nullptr, 1, a);
    EXPECT_EQ(t[0].refs, 4);

    // The equal callback decides lookups: a distinct Tracked with the same id is found.
    Tracked twin;
    twin.id = 2;
    EXPECT_EQ(CFArrayGetFirstIndexOfValue(m, CFRangeMake(0, 3), &twin), 2);

    // Setting a value to itself while the array holds the only reference: retained first.
    CFArrayAppendValue(m, &t[3]);
    t[3].refs--;  // the test gives its reference away
    CFArraySetValueAtIndex(m, 3, &t[3]);
    EXPECT_EQ(t[3].refs, 1);
    t[3].refs++;  // take it back for the final check

    CFArrayInsertValueAtIndex(m, 0, &t[4]);
    CFArrayReplaceValues(m, CFRangeMake(1, 2), nullptr, 0);  // drops t0, t1
    CFArrayAppendArray(m, copy, CFRangeMake(0, 3));
    CFArrayExchangeValuesAtIndices(m, 0, 1);
    CFArrayRemoveValueAtIndex(m, 0);
    CFArrayAppendValue(m, &t[5]);
    EXPECT_EQ(t[5].refs, 2);
    CFArrayRemoveAllValues(m);
    EXPECT_EQ(t[5].refs, 1);
    CFArrayAppendValue(m, &t[5]);
    CFRelease(m);
    CFRelease(copy);
    CFRelease(a);
  }
  EXPECT_EQ(gCounts.errors, 0);
  EXPECT_EQ(gCounts.retains, gCounts.releases);
  for (const Tracked& x : t) EXPECT_EQ(x.refs, 1) << x.id;
}

TEST(CFArray, IdentityBeforeEqualAndNullCallbacks) {
  CFStringRef a = createString("same"), b = createString("same");
  // NULL callbacks: no retain, identity only.
  const void* vals[] = {a};
  CFArrayRef raw = CFArrayCreate(nullptr, vals, 1, nullptr);
  EXPECT_EQ(CFGetRetainCount(a), 1);
  EXPECT_EQ(CFArrayGetFirstIndexOfValue(raw, CFRangeMake(0, 1), a), 0);
  EXPECT_EQ(CFArrayGetFirstIndexOfValue(raw, CFRangeMake(0, 1), b), kCFNotFound);

  // An equal callback that never agrees still finds the very same pointer.
  CFArrayCallBacks never = {0, nullptr, nullptr, nullptr, neverEqual};
  CFArrayRef odd = CFArrayCreate(nullptr, vals, 1, &never);
  EXPECT_EQ(CFArrayGetFirstIndexOfValue(odd, CFRangeMake(0, 1), a), 0);
  EXPECT_EQ(CFArrayGetCountOfValue(odd, CFRangeMake(0, 1), b), 0);
  EXPECT_TRUE(CFEqual(odd, odd));

  CFRelease(raw);
  CFRelease(odd);
  CFRelease(a);
  CFRelease(b);
}

TEST(CFArray, EqualityHashAndDescription) {
  CFStringRef x1 = createString("x"), x2 = createString("x");
  const void* v1[] = {x1, CFSTR("y")};
  const void* v2[] = {x2, CFSTR("y")};
  const void* v3[] = {CFSTR("y"), x2};
  CFArrayRef a = CFArrayCreate(nullptr, v1, 2, &kCFTypeArrayCallBacks);
  CFMutableArrayRef b = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
  CFArrayReplaceValues(b, CFRangeMake(0, 0), v2, 2);
  CFArrayRef c = CFArrayCreate(nullptr, v3, 2, &kCFTypeArrayCallBacks);
  EXPECT_TRUE(CFEqual(a, b));  // element-wise, mutable or not
  EXPECT_EQ(CFHash(a), CFHash(b));
  EXPECT_FALSE(CFEqual(a, c));  // order matters
  CFArrayAppendValue(b, CFSTR("z"));
  EXPECT_FALSE(CFEqual(a, b));

  EXPECT_EQ(describe(a), "(\n    x,\n    y\n)");
  CFArrayRef empty = CFArrayCreate(nullptr, nullptr, 0, &kCFTypeArrayCallBacks);
  EXPECT_EQ(describe(empty), "(\n)");
  const void* nested[] = {CFSTR("top"), a, empty};
  CFArrayRef outer = CFArrayCreate(nullptr, nested, 3, &kCFTypeArrayCallBacks);
  EXPECT_EQ(describe(outer), "(\n    top,\n    (\n        x,\n        y\n    ),\n    (\n    )\n)");

  // Raw pointers show as addresses; a copyDescription callback is used when given.
  const void* raw[] = {iv(0x10)};
  CFArrayRef r = CFArrayCreate(nullptr, raw, 1, nullptr);
  EXPECT_EQ(describe(r), "(\n    <0x10>\n)");
  CFArrayCallBacks named = {0, nullptr, nullptr, [](const void*) { return CFSTR("sixteen"); }, nullptr};
  CFArrayRef n = CFArrayCreate(nullptr, raw, 1, &named);
  EXPECT_EQ(describe(n), "(\n    sixteen\n)");

  // Arrays that contain themselves end descriptions and comparisons instead of the stack.
  CFMutableArrayRef loop1 = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
  CFMutableArrayRef loop2 = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
  CFArrayAppendValue(loop1, loop1);
  CFArrayAppendValue(loop2, loop2);
  std::string deep = describe(loop1);
  EXPECT_EQ(deep.rfind("(\n    (\n        (\n", 0), 0u);
  EXPECT_NE(deep.find("..."), std::string::npos);
  EXPECT_FALSE(CFEqual(loop1, loop2));
  CFArrayRemoveAllValues(loop1);  // break the cycles
  CFArrayRemoveAllValues(loop2);
  CFRelease(loop1);
  CFRelease(loop2);

  for (CFTypeRef o : {(CFTypeRef)a, (CFTypeRef)b, (CFTypeRef)c, (CFTypeRef)empty, (CFTypeRef)outer, (CFTypeRef)r,
                      (CFTypeRef)n, (CFTypeRef)x1, (CFTypeRef)x2}) {
    CFRelease(o);
  }
}

}  // namespace

// Random edits against a std::vector model: exercises both ends of the storage (values sliding
// into the free slots at the front, growth, emptying) and checks that every reference is balanced.
TEST(CFArray, RandomEditsMatchAVectorModel) {
  std::mt19937 rng(12345);
  CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
  std::vector<CFNumberRef> model;
  std::vector<CFNumberRef> pool;
  for (int i = 0; i < 64; ++i) pool.push_back(CFNumberCreate(nullptr, kCFNumberIntType, &i));
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n)(rng); };
  for (int step = 0; step < 20000; ++step) {
    CFNumberRef v = pool[pick(pool.size() - 1)];
    switch (pick(5)) {
      case 0:
        CFArrayAppendValue(array, v);
        model.push_back(v);
        break;
      case 1: {
        size_t at = pick(model.size());
        CFArrayInsertValueAtIndex(array, static_cast<CFIndex>(at), v);
        model.insert(model.begin() + static_cast<long>(at), v);
        break;
      }
      case 2:
      case 3:
        if (!model.empty()) {  // mostly from the front, as a queue does
          size_t at = step % 3 == 0 ? pick(model.size() - 1) : 0;
          CFArrayRemoveValueAtIndex(array, static_cast<CFIndex>(at));
          model.erase(model.begin() + static_cast<long>(at));
        }
        break;
      case 4: {
        size_t at = pick(model.size());
        size_t len = pick(model.size() - at);
        const void* fresh[3] = {v, pool[0], v};
        size_t n = pick(3);
        CFArrayReplaceValues(array, CFRangeMake(static_cast<CFIndex>(at), static_cast<CFIndex>(len)), fresh,
                             static_cast<CFIndex>(n));
        model.erase(model.begin() + static_cast<long>(at), model.begin() + static_cast<long>(at + len));
        model.insert(model.begin() + static_cast<long>(at), reinterpret_cast<CFNumberRef const*>(fresh),
                     reinterpret_cast<CFNumberRef const*>(fresh) + n);
        break;
      }
      case 5:
        if (step % 500 == 0) {
          CFArrayRemoveAllValues(array);
          model.clear();
        }
        break;
    }
    ASSERT_EQ(CFArrayGetCount(array), static_cast<CFIndex>(model.size())) << "step " << step;
    if (step % 97 == 0 || model.size() < 4) {
      for (size_t i = 0; i < model.size(); ++i) {
        ASSERT_EQ(CFArrayGetValueAtIndex(array, static_cast<CFIndex>(i)), model[i]) << "step " << step;
      }
    }
  }
  for (CFNumberRef n : pool) {
    CFIndex held = std::count(model.begin(), model.end(), n);
    EXPECT_EQ(CFGetRetainCount(n), 1 + held);
  }
  CFRelease(array);
  for (CFNumberRef n : pool) {
    EXPECT_EQ(CFGetRetainCount(n), 1);
    CFRelease(n);
  }
}
