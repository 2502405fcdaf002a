// CFArray: getters, mutators, ownership through callbacks, search, sort, equality, descriptions.
#include "CFTestSupport.h"

using namespace qxtest;

namespace {

CFComparisonResult compareInts(const void* a, const void* b, void*) {
  return vi(a) < vi(b) ? kCFCompareLessThan : vi(a) > vi(b) ? kCFCompareGreaterThan : kCFCompareEqualTo;
}

std::vector<intptr_t> contents(CFArrayRef a) {
  std::vector<intptr_t> v;
  for (CFIndex i = 0; i < CFArrayGetCount(a); ++i) v.push_back(vi(CFArrayGetValueAtIndex(a, i)));
  return v;
}
using Ints = std::vector<intptr_t>;

TEST(CFArray, CreateReadAndApply) {
  CFStringRef a = createString("alpha"), b = createString("beta");
  const void* values[] = {a, b, a, CFSTR("gamma")};
  CFArrayRef arr = CFArrayCreate(nullptr, values, 4, &kCFTypeArrayCallBacks);
  ASSERT_NE(arr, nullptr);
  EXPECT_EQ(CFArrayGetCount(arr), 4);
  EXPECT_EQ(CFGetRetainCount(a), 3);  // ours and two slots

  // Lookups compare by value: a separately created "alpha" is found. Ranges reaching outside the
  // array find nothing. {location, length, value, count, first index, last index}
  auto alpha2 = S("alpha");
  const CFIndex NF = kCFNotFound;
  using Q = std::tuple<CFIndex, CFIndex, CFTypeRef, CFIndex, CFIndex, CFIndex>;
  for (const auto& [at, length, v, count, first, last] :
       {Q{0, 4, alpha2.get(), 2, 0, 2}, Q{1, 3, alpha2.get(), 1, 2, 2}, Q{1, 1, alpha2.get(), 0, NF, NF},
        Q{0, 4, CFSTR("delta"), 0, NF, NF}, Q{2, 3, a, 0, NF, NF}, Q{-1, 2, a, 0, NF, NF}, Q{0, 5, a, 0, NF, NF}}) {
    CFRange r = CFRangeMake(at, length);
    EXPECT_EQ(std::make_tuple(CFArrayContainsValue(arr, r, v) != 0, CFArrayGetCountOfValue(arr, r, v),
                              CFArrayGetFirstIndexOfValue(arr, r, v), CFArrayGetLastIndexOfValue(arr, r, v)),
              std::make_tuple(count > 0, count, first, last))
        << at << "+" << length;
  }
  const void* out[4] = {};
  CFArrayGetValues(arr, CFRangeMake(1, 3), out);
  EXPECT_EQ(std::vector<const void*>(out, out + 4), (std::vector<const void*>{b, a, CFSTR("gamma"), nullptr}));

  // Out of range: NULL, not-found and no writes, never a read past the end.
  EXPECT_EQ(CFArrayGetValueAtIndex(arr, 4), nullptr);
  EXPECT_EQ(CFArrayGetValueAtIndex(arr, -1), nullptr);
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

  // Capacity is only a hint; ApplyFunction visits a range in order; negative indices change nothing.
  auto m = adopt(CFArrayCreateMutable(nullptr, 2, nullptr));
  Ints expect;
  for (intptr_t i = 0; i < 1000; ++i) CFArrayAppendValue(m.get(), iv(i)), expect.push_back(i);
  CFArraySetValueAtIndex(m.get(), -1, iv(1));
  CFArrayInsertValueAtIndex(m.get(), -1, iv(1));
  CFArrayRemoveValueAtIndex(m.get(), -1);
  ASSERT_EQ(contents(m.get()), expect);
  Ints seen;
  CFArrayApplyFunction(
      m.get(), CFRangeMake(2, 3), [](const void* v, void* ctx) { static_cast<Ints*>(ctx)->push_back(vi(v)); }, &seen);
  EXPECT_EQ(seen, (Ints{2, 3, 4}));
}

TEST(CFArray, BSearchAndStableSort) {
  const void* sorted[] = {iv(10), iv(20), iv(20), iv(30)};
  auto a = adopt(CFArrayCreate(nullptr, sorted, 4, nullptr));
  // {location, length, value, expected}: the first index not less, or the range's end.
  const CFIndex searches[][4] = {{0, 4, 20, 1}, {0, 4, 5, 0}, {0, 4, 25, 3}, {0, 4, 30, 3},         {0, 4, 35, 4},
                                 {1, 2, 35, 3}, {1, 2, 5, 1}, {2, 0, 5, 2},  {2, 5, 5, kCFNotFound}};
  for (const auto& s : searches) {
    EXPECT_EQ(CFArrayBSearchValues(a.get(), CFRangeMake(s[0], s[1]), iv(s[2]), compareInts, nullptr), s[3]) << s[2];
  }

  // Stability: records with equal keys keep their order. Key in the high bits, sequence below.
  auto m = adopt(CFArrayCreateMutable(nullptr, 0, nullptr));
  const int keys[] = {3, 1, 2, 3, 1, 2, 3, 1, 0, 2, 1, 3, 0, 0, 2, 1, 3, 2, 1, 0};
  for (int i = 0; i < 20; ++i) CFArrayAppendValue(m.get(), iv(keys[i] * 1000 + i));
  CFComparatorFunction byKey = [](const void* x, const void* y, void* ctx) -> CFComparisonResult {
    ++*static_cast<int*>(ctx);
    return compareInts(iv(vi(x) / 1000), iv(vi(y) / 1000), nullptr);
  };
  int calls = 0;
  CFArraySortValues(m.get(), CFRangeMake(0, 20), byKey, &calls);
  EXPECT_GT(calls, 0);  // the context reaches the comparator
  Ints got = contents(m.get());
  EXPECT_TRUE(std::is_sorted(got.begin(), got.end()));  // keys ascending, sequences ascending within

  // A sub-range sort leaves the rest alone.
  CFArrayRemoveAllValues(m.get());
  for (intptr_t v : {9, 8, 7, 6, 5, 4}) CFArrayAppendValue(m.get(), iv(v));
  CFArraySortValues(m.get(), CFRangeMake(1, 3), compareInts, nullptr);
  EXPECT_EQ(contents(m.get()), (Ints{9, 6, 7, 8, 5, 4}));

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
      Ints want = {-1};  // guards at both ends, unlike any value in the range
      for (CFIndex i = 1; i <= n; ++i) want.push_back(i % 7);
      want.push_back(-2);
      CFArrayRemoveAllValues(m.get());
      for (intptr_t v : want) CFArrayAppendValue(m.get(), iv(v));
      CFArraySortValues(m.get(), CFRangeMake(1, n), coin, &rng);
      got = contents(m.get());
      ASSERT_EQ(got.front(), -1);
      ASSERT_EQ(got.back(), -2);
      std::sort(got.begin(), got.end());
      std::sort(want.begin(), want.end());
      ASSERT_EQ(got, want) << n;
    }
  }
}

TEST(CFArray, CallbacksIdentityAndNullCallbacks) {
  const CFArrayCallBacks tracking = {0, trackedRetain, trackedRelease, nullptr, trackedEqual};
  std::vector<Tracked> t = trackedValues(4);
  {
    const void* vals[] = {&t[0], &t[1], &t[2]};
    auto a = adopt(CFArrayCreate(nullptr, vals, 3, &tracking));
    auto m = adopt(CFArrayCreateMutableCopy(nullptr, 1, a.get()));
    EXPECT_EQ(t[0].refs, 3);
    // The equal callback decides lookups: a distinct Tracked with the same id is found.
    Tracked twin{.id = 2};
    EXPECT_EQ(CFArrayGetFirstIndexOfValue(m.get(), CFRangeMake(0, 3), &twin), 2);
    // Setting a value to itself while the array holds the only reference: retained first.
    CFArrayAppendValue(m.get(), &t[3]);
    t[3].refs--;  // the test gives its reference away
    CFArraySetValueAtIndex(m.get(), 3, &t[3]);
    EXPECT_EQ(t[3].refs, 1);
    t[3].refs++;  // take it back for the final check
    CFArrayExchangeValuesAtIndices(m.get(), 0, 3);
    CFArrayReplaceValues(m.get(), CFRangeMake(1, 2), nullptr, 0);
    CFArrayAppendArray(m.get(), a.get(), CFRangeMake(0, 3));
  }
  expectBalanced(t);

  // NULL callbacks: no retain, identity only; an equal callback that never agrees still finds
  // the very same pointer.
  auto a = S("same"), b = S("same");
  const void* vals[] = {a.get()};
  auto raw = adopt(CFArrayCreate(nullptr, vals, 1, nullptr));
  EXPECT_EQ(CFGetRetainCount(a.get()), 1);
  EXPECT_EQ(CFArrayGetFirstIndexOfValue(raw.get(), CFRangeMake(0, 1), b.get()), kCFNotFound);
  CFArrayCallBacks never = {0, nullptr, nullptr, nullptr, neverEqual};
  auto odd = adopt(CFArrayCreate(nullptr, vals, 1, &never));
  EXPECT_EQ(CFArrayGetFirstIndexOfValue(odd.get(), CFRangeMake(0, 1), a.get()), 0);
  EXPECT_EQ(CFArrayGetCountOfValue(odd.get(), CFRangeMake(0, 1), b.get()), 0);
  EXPECT_TRUE(CFEqual(odd.get(), odd.get()));
}

TEST(CFArray, EqualityHashAndDescription) {
  auto x1 = S("x"), x2 = S("x");
  auto a = array({x1.get(), CFSTR("y")});
  auto b = adopt(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
  const void* v2[] = {x2.get(), CFSTR("y")};
  CFArrayReplaceValues(b.get(), CFRangeMake(0, 0), v2, 2);
  EXPECT_SAME(a.get(), b.get());                                        // element-wise, mutable or not
  EXPECT_FALSE(CFEqual(a.get(), array({CFSTR("y"), x2.get()}).get()));  // order matters
  CFArrayAppendValue(b.get(), CFSTR("z"));
  EXPECT_FALSE(CFEqual(a.get(), b.get()));

  EXPECT_EQ(describe(a.get()), "(\n    x,\n    y\n)");
  auto empty = array({});
  EXPECT_EQ(describe(empty.get()), "(\n)");
  EXPECT_EQ(describe(array({CFSTR("top"), a.get(), empty.get()}).get()),
            "(\n    top,\n    (\n        x,\n        y\n    ),\n    (\n    )\n)");

  // Raw pointers show as addresses; a copyDescription callback is used when given.
  const void* raw[] = {iv(0x10)};
  EXPECT_EQ(describe(adopt(CFArrayCreate(nullptr, raw, 1, nullptr)).get()), "(\n    <0x10>\n)");
  CFArrayCallBacks named = {0, nullptr, nullptr, [](const void*) { return CFSTR("sixteen"); }, nullptr};
  EXPECT_EQ(describe(adopt(CFArrayCreate(nullptr, raw, 1, &named)).get()), "(\n    sixteen\n)");

  // Arrays that contain themselves end descriptions and comparisons instead of the stack.
  auto loop1 = list(), loop2 = list();
  CFArrayAppendValue(loop1.get(), loop1.get());
  CFArrayAppendValue(loop2.get(), loop2.get());
  std::string deep = describe(loop1.get());
  EXPECT_EQ(deep.rfind("(\n    (\n        (\n", 0), 0u);
  EXPECT_NE(deep.find("..."), std::string::npos);
  EXPECT_FALSE(CFEqual(loop1.get(), loop2.get()));
  CFArrayRemoveAllValues(loop1.get());  // break the cycles
  CFArrayRemoveAllValues(loop2.get());
}

// Every mutator against a std::vector model, out-of-range requests included (they change nothing):
// values slide into the free slots at the front, storage grows and empties, the array appends from
// its own storage, and every reference stays balanced.
TEST(CFArray, RandomEditsMatchAVectorModel) {
  std::mt19937 rng(12345);
  auto array = list();
  std::vector<CFRef<CFNumberRef>> pool;
  for (int i = 0; i < 64; ++i) pool.push_back(num(i));
  std::vector<const void*> model;
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n)(rng); };
  auto pos = [&](size_t k) { return model.begin() + static_cast<long>(k); };
  for (int step = 0; step < 20000; ++step) {
    const void* v = pool[pick(pool.size() - 1)].get();
    const size_t size = model.size();
    size_t at = pick(size + 1), len = pick(size + 1 - std::min(at, size)), n = pick(3);  // may reach past the end
    CFIndex i = static_cast<CFIndex>(at);
    switch (step % 500 == 0 ? 7 : pick(6)) {
      case 0: CFArrayAppendValue(array.get(), v), model.push_back(v); break;
      case 1:
        CFArrayInsertValueAtIndex(array.get(), i, v);  // at the count: appends
        if (at <= size) model.insert(pos(at), v);
        break;
      case 2:
        if (step % 3 != 0) at = i = 0;  // mostly from the front, as a queue does
        CFArrayRemoveValueAtIndex(array.get(), i);
        if (at < size) model.erase(pos(at));
        break;
      case 3:
        CFArraySetValueAtIndex(array.get(), i, v);  // at the count: appends
        if (at <= size) at < size ? void(model[at] = v) : model.push_back(v);
        break;
      case 4:
        CFArrayExchangeValuesAtIndices(array.get(), i, static_cast<CFIndex>(n));
        if (at < size && n < size) std::swap(model[at], model[n]);
        break;
      case 5: {
        const void* fresh[3] = {v, pool[0].get(), v};
        CFArrayReplaceValues(array.get(), CFRangeMake(i, static_cast<CFIndex>(len)), fresh, static_cast<CFIndex>(n));
        if (at + len <= size) model.erase(pos(at), pos(at + len)), model.insert(pos(at), fresh, fresh + n);
        break;
      }
      case 6:
        if (size > 64) break;
        CFArrayAppendArray(array.get(), array.get(), CFRangeMake(i, static_cast<CFIndex>(len)));
        if (at + len <= size) {
          std::vector<const void*> part(pos(at), pos(at + len));
          model.insert(model.end(), part.begin(), part.end());
        }
        break;
      default: CFArrayRemoveAllValues(array.get()), model.clear();
    }
    ASSERT_EQ(CFArrayGetCount(array.get()), static_cast<CFIndex>(model.size())) << "step " << step;
    if (step % 97 == 0 || model.size() < 4) {
      for (size_t k = 0; k < model.size(); ++k) {
        ASSERT_EQ(CFArrayGetValueAtIndex(array.get(), static_cast<CFIndex>(k)), model[k]) << "step " << step;
      }
    }
  }
  for (const auto& x : pool) EXPECT_EQ(CFGetRetainCount(x.get()), 1 + std::count(model.begin(), model.end(), x.get()));
  array.reset();
  for (const auto& x : pool) EXPECT_EQ(CFGetRetainCount(x.get()), 1);
}

}  // namespace
