// CFSet: add/replace/set semantics, stored-value identity, insertion order, callbacks, equality,
// descriptions.
#include "CFTestSupport.h"

using namespace qxtest;

namespace {

// The texts of the values, in the set's order.
std::string valuesInOrder(CFSetRef s) {
  std::vector<const void*> vals(static_cast<size_t>(CFSetGetCount(s)));
  CFSetGetValues(s, vals.data());
  std::string out;
  for (const void* v : vals) out += text(v);
  return out;
}

TEST(CFSet, SemanticsOrderAndStoredValues) {
  CFStringRef a1 = createString("a"), a2 = createString("a");
  auto s = adopt(CFSetCreateMutable(nullptr, 1, &kCFTypeSetCallBacks));              // hint of 1, grows
  for (CFStringRef v : {a1, CFSTR("b"), CFSTR("c"), a2}) CFSetAddValue(s.get(), v);  // a2 is equal: not added
  EXPECT_EQ(CFSetGetCount(s.get()), 3);
  EXPECT_EQ(CFGetTypeID(s.get()), CFSetGetTypeID());
  EXPECT_EQ(CFSetGetValue(s.get(), a2), a1);  // the stored object, not the probe
  EXPECT_EQ(CFGetRetainCount(a2), 1);
  EXPECT_EQ(CFSetGetCountOfValue(s.get(), a2), 1);
  const void* got = nullptr;
  EXPECT_TRUE(CFSetGetValueIfPresent(s.get(), a2, &got));
  EXPECT_EQ(got, a1);
  got = iv(3);
  EXPECT_FALSE(CFSetGetValueIfPresent(s.get(), CFSTR("z"), &got));
  EXPECT_EQ(got, iv(3));

  // Replace swaps the stored object in place; absent values are not added.
  CFSetReplaceValue(s.get(), a2);
  EXPECT_EQ(CFSetGetValue(s.get(), a1), a2);
  EXPECT_EQ(CFGetRetainCount(a1), 1);
  CFSetReplaceValue(s.get(), CFSTR("z"));
  EXPECT_FALSE(CFSetContainsValue(s.get(), CFSTR("z")));
  CFSetSetValue(s.get(), a1);
  CFSetSetValue(s.get(), CFSTR("d"));
  EXPECT_EQ(CFSetGetValue(s.get(), CFSTR("a")), a1);
  EXPECT_EQ(valuesInOrder(s.get()), "abcd");

  // Removal and re-adding: last.
  CFSetRemoveValue(s.get(), CFSTR("a"));
  CFSetRemoveValue(s.get(), CFSTR("absent"));
  CFSetAddValue(s.get(), a2);
  std::string seen;
  CFSetApplyFunction(
      s.get(), [](const void* v, void* ctx) { *static_cast<std::string*>(ctx) += text(v); }, &seen);
  EXPECT_EQ(seen, "bcda");

  // Immutable sets and copies.
  auto frozen = adopt(CFSetCreateCopy(nullptr, s.get()));
  CFSetAddValue((CFMutableSetRef)frozen.get(), CFSTR("e"));
  CFSetRemoveAllValues((CFMutableSetRef)frozen.get());
  EXPECT_EQ(valuesInOrder(frozen.get()), "bcda");
  auto thawed = adopt(CFSetCreateMutableCopy(nullptr, 0, frozen.get()));
  CFSetRemoveAllValues(thawed.get());
  EXPECT_EQ(std::make_pair(CFSetGetCount(thawed.get()), CFSetGetCount(frozen.get())),
            std::make_pair(CFIndex{0}, CFIndex{4}));

  const void* dup[] = {CFSTR("x"), CFSTR("y"), CFSTR("x")};
  EXPECT_EQ(CFSetGetCount(adopt(CFSetCreate(nullptr, dup, 3, &kCFTypeSetCallBacks)).get()), 2);
  EXPECT_EQ(CFSetCreate(nullptr, nullptr, 1, nullptr), nullptr);
  EXPECT_EQ(CFSetGetCount(nullptr), 0);

  s.reset(), frozen.reset(), thawed.reset();
  EXPECT_EQ(std::make_pair(CFGetRetainCount(a1), CFGetRetainCount(a2)), std::make_pair(CFIndex{1}, CFIndex{1}));
  CFRelease(a1);
  CFRelease(a2);
}

TEST(CFSet, CallbacksIdentityAndCopyStrings) {
  const CFSetCallBacks tracking = {0, trackedRetain, trackedRelease, nullptr, trackedEqual, trackedHash};
  std::vector<Tracked> t = trackedValues(2);
  Tracked twin{.id = 1};
  {
    auto s = adopt(CFSetCreateMutable(nullptr, 0, &tracking));
    CFSetAddValue(s.get(), &t[0]);
    CFSetAddValue(s.get(), &t[1]);
    CFSetAddValue(s.get(), &twin);  // equal: nothing retained
    EXPECT_EQ(twin.refs, 1);
    CFSetReplaceValue(s.get(), &twin);  // the stored object becomes twin
    EXPECT_EQ(std::make_pair(twin.refs, t[1].refs), std::make_pair(2, 1));
    EXPECT_EQ(CFSetGetValue(s.get(), &t[1]), &twin);
    t[0].refs--;  // the set holds the only reference: set-to-itself must retain first
    CFSetSetValue(s.get(), &t[0]);
    EXPECT_EQ(t[0].refs, 1);
    t[0].refs++;
    auto copy = adopt(CFSetCreateCopy(nullptr, s.get()));
    CFSetRemoveValue(s.get(), &t[0]);
  }
  EXPECT_EQ(twin.refs, 1);
  expectBalanced(t);

  // NULL callbacks: identity; an equal callback that always says no still finds by identity.
  auto p = S("p"), q = S("p");
  auto raw = adopt(CFSetCreateMutable(nullptr, 0, nullptr));
  CFSetAddValue(raw.get(), p.get());
  CFSetAddValue(raw.get(), q.get());
  EXPECT_EQ(CFSetGetCount(raw.get()), 2);
  EXPECT_EQ(CFGetRetainCount(p.get()), 1);
  CFSetCallBacks never = {0, nullptr, nullptr, nullptr, neverEqual, nullptr};
  auto odd = adopt(CFSetCreateMutable(nullptr, 0, &never));
  CFSetAddValue(odd.get(), p.get());
  CFSetAddValue(odd.get(), p.get());
  EXPECT_EQ(CFSetGetCount(odd.get()), 1);
  EXPECT_TRUE(CFSetContainsValue(odd.get(), p.get()));
  CFSetRemoveValue(odd.get(), p.get());
  EXPECT_EQ(CFSetGetCount(odd.get()), 0);

  // Copy-string sets keep an immutable snapshot of a mutable value.
  auto m = adopt(CFStringCreateMutableCopy(nullptr, 0, CFSTR("snap")));
  auto cs = adopt(CFSetCreateMutable(nullptr, 0, &kCFCopyStringSetCallBacks));
  CFSetAddValue(cs.get(), m.get());
  CFStringAppendCString(m.get(), "shot", kCFStringEncodingUTF8);
  EXPECT_TRUE(CFSetContainsValue(cs.get(), CFSTR("snap")));
  EXPECT_FALSE(CFSetContainsValue(cs.get(), m.get()));
}

TEST(CFSet, ManyValuesEqualityAndDescription) {
  auto s = adopt(CFSetCreateMutable(nullptr, 0, nullptr));
  for (intptr_t i = 1; i <= 20000; ++i) CFSetAddValue(s.get(), iv(i));
  for (intptr_t i = 1; i <= 20000; ++i) {
    if (i % 10 != 0) CFSetRemoveValue(s.get(), iv(i));
  }
  ASSERT_EQ(CFSetGetCount(s.get()), 2000);
  std::vector<const void*> vals(2000);
  CFSetGetValues(s.get(), vals.data());
  for (size_t j = 0; j < vals.size(); ++j) ASSERT_EQ(vi(vals[j]), static_cast<intptr_t>((j + 1) * 10));

  const void* v1[] = {CFSTR("x"), CFSTR("y")};
  const void* v2[] = {CFSTR("y"), CFSTR("x")};
  auto a = adopt(CFSetCreate(nullptr, v1, 2, &kCFTypeSetCallBacks));
  auto b = adopt(CFSetCreate(nullptr, v2, 2, &kCFTypeSetCallBacks));
  EXPECT_TRUE(CFEqual(a.get(), b.get()));
  EXPECT_FALSE(CFEqual(a.get(), adopt(CFSetCreate(nullptr, v1, 1, &kCFTypeSetCallBacks)).get()));
  EXPECT_EQ(describe(a.get()), "{(\n    x,\n    y\n)}");
  EXPECT_EQ(describe(b.get()), "{(\n    y,\n    x\n)}");  // insertion order
  EXPECT_EQ(describe(array({a.get()}).get()), "(\n    {(\n        x,\n        y\n    )}\n)");
  EXPECT_EQ(describe(adopt(CFSetCreate(nullptr, nullptr, 0, &kCFTypeSetCallBacks)).get()), "{(\n)}");
}

}  // namespace
