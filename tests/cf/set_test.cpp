// CFSet: add/replace/set semantics, stored-value identity, insertion order, callbacks, equality,
// descriptions.
#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include "CFTestSupport.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

using namespace qxtest;

namespace {

const void* iv(intptr_t v) { return reinterpret_cast<const void*>(v); }
intptr_t vi(const void* p) { return reinterpret_cast<intptr_t>(p); }

std::vector<std::string> valuesInOrder(CFSetRef s) {
  std::vector<const void*> vals(static_cast<size_t>(CFSetGetCount(s)));
  CFSetGetValues(s, vals.data());
  std::vector<std::string> out;
  for (const void* v : vals) out.push_back(utf8(static_cast<CFStringRef>(v)));
  return out;
}

const CFSetCallBacks kTrackedCallBacks = {0, trackedRetain, trackedRelease, nullptr, trackedEqual, trackedHash};

Boolean neverEqual(const void*, const void*) { return false; }

TEST(CFSet, SemanticsOrderAndStoredValues) {
  CFStringRef a1 = createString("a"), a2 = createString("a");
  CFMutableSetRef s = CFSetCreateMutable(nullptr, 1, &kCFTypeSetCallBacks);  // hint of 1, grows
  EXPECT_EQ(CFGetTypeID(s), CFSetGetTypeID());
  CFSetAddValue(s, a1);
  CFSetAddValue(s, CFSTR("b"));
  CFSetAddValue(s, CFSTR("c"));
  CFSetAddValue(s, a2);  // equal: not added
  EXPECT_EQ(CFSetGetCount(s), 3);
  EXPECT_EQ(CFSetGetValue(s, a2), a1);  // the stored object, not the probe
  EXPECT_EQ(CFGetRetainCount(a2), 1);
  EXPECT_TRUE(CFSetContainsValue(s, a2));
  EXPECT_EQ(CFSetGetCountOfValue(s, a2), 1);
  const void* got = nullptr;
  EXPECT_TRUE(CFSetGetValueIfPresent(s, a2, &got));
  EXPECT_EQ(got, a1);
  got = iv(3);
  EXPECT_FALSE(CFSetGetValueIfPresent(s, CFSTR("z"), &got));
  EXPECT_EQ(got, iv(3));

  // Replace swaps the stored object in place; absent values are not added.
  CFSetReplaceValue(s, a2);
  EXPECT_EQ(CFSetGetValue(s, a1), a2);
  EXPECT_EQ(CFGetRetainCount(a1), 1);
  CFSetReplaceValue(s, CFSTR("z"));
  EXPECT_FALSE(CFSetContainsValue(s, CFSTR("z")));
  EXPECT_EQ(valuesInOrder(s), (std::vector<std::string>{"a", "b", "c"}));
  CFSetSetValue(s, a1);
  CFSetSetValue(s, CFSTR("d"));
  EXPECT_EQ(CFSetGetValue(s, CFSTR("a")), a1);
  EXPECT_EQ(valuesInOrder(s), (std::vector<std::string>{"a", "b", "c", "d"}));

  // Removal and re-adding: last.
  CFSetRemoveValue(s, CFSTR("a"));
  CFSetRemoveValue(s, CFSTR("absent"));
  CFSetAddValue(s, a2);
  EXPECT_EQ(valuesInOrder(s), (std::vector<std::string>{"b", "c", "d", "a"}));
  std::string seen;
  CFSetApplyFunction(
      s, [](const void* v, void* ctx) { *static_cast<std::string*>(ctx) += utf8(static_cast<CFStringRef>(v)); }, &seen);
  EXPECT_EQ(seen, "bcda");

  // Immutable sets and copies.
  CFSetRef frozen = CFSetCreateCopy(nullptr, s);
  CFSetAddValue((CFMutableSetRef)frozen, CFSTR("e"));
  CFSetRemoveAllValues((CFMutableSetRef)frozen);
  EXPECT_EQ(valuesInOrder(frozen), valuesInOrder(s));
  CFMutableSetRef thawed = CFSetCreateMutableCopy(nullptr, 0, frozen);
  CFSetRemoveAllValues(thawed);
  EXPECT_EQ(CFSetGetCount(thawed), 0);
  EXPECT_EQ(CFSetGetCount(frozen), 4);

  const void* dup[] = {CFSTR("x"), CFSTR("y"), CFSTR("x")};
  CFSetRef created = CFSetCreate(nullptr, dup, 3, &kCFTypeSetCallBacks);
  EXPECT_EQ(CFSetGetCount(created), 2);
  EXPECT_EQ(CFSetCreate(nullptr, nullptr, 1, nullptr), nullptr);
  EXPECT_EQ(CFSetGetCount(nullptr), 0);

  for (CFTypeRef o : {(CFTypeRef)s, (CFTypeRef)frozen, (CFTypeRef)thawed, (CFTypeRef)created}) CFRelease(o);
  EXPECT_EQ(CFGetRetainCount(a1), 1);
  EXPECT_EQ(CFGetRetainCount(a2), 1);
  CFRelease(a1);
  CFRelease(a2);
}

TEST(CFSet, CallbacksIdentityAndCopyStrings) {
  gCounts = {};
  std::vector<Tracked> t(3);
  for (int i = 0; i < 3; ++i) t[static_cast<size_t>(i)].id = i;
  {
    CFMutableSetRef s = CFSetCreateMutable(nullptr, 0, &kTrackedCallBacks);
    CFSetAddValue(s, &t[0]);
    CFSetAddValue(s, &t[1]);
    Tracked twin;
    twin.id = 1;
    CFSetAddValue(s, &twin);  // equal: nothing retained
    EXPECT_EQ(twin.refs, 1);
    CFSetReplaceValue(s, &twin);  // stored object becomes twin
    EXPECT_EQ(twin.refs, 2);
    EXPECT_EQ(t[1].refs, 1);
    EXPECT_EQ(CFSetGetValue(s, &t[1]), &twin);
    t[0].refs--;  // the set holds the only reference: set-to-itself must retain first
    CFSetSetValue(s, &t[0]);
    EXPECT_EQ(t[0].refs, 1);
    t[0].refs++;
    CFSetRef copy = CFSetCreateCopy(nullptr, s);
    CFSetRemoveValue(s, &t[0]);
    CFSetAddValue(s, &t[2]);
    CFRelease(s);
    CFRelease(copy);
    EXPECT_EQ(twin.refs, 1);
  }
  EXPECT_EQ(gCounts.errors, 0);
  EXPECT_EQ(gCounts.retains, gCounts.releases);
  for (const Tracked& x : t) EXPECT_EQ(x.refs, 1) << x.id;

  // NULL callbacks: identity; an equal callback that always says no still finds by identity.
  CFStringRef p = createString("p"), q = createString("p");
  CFMutableSetRef raw = CFSetCreateMutable(nullptr, 0, nullptr);
  CFSetAddValue(raw, p);
  CFSetAddValue(raw, q);
  EXPECT_EQ(CFSetGetCount(raw), 2);
  EXPECT_EQ(CFGetRetainCount(p), 1);
  CFRelease(raw);
  CFSetCallBacks never = {0, nullptr, nullptr, nullptr, neverEqual, nullptr};
  CFMutableSetRef odd = CFSetCreateMutable(nullptr, 0, &never);
  CFSetAddValue(odd, p);
  CFSetAddValue(odd, p);
  EXPECT_EQ(CFSetGetCount(odd), 1);
  EXPECT_TRUE(CFSetContainsValue(odd, p));
  CFSetRemoveValue(odd, p);
  EXPECT_EQ(CFSetGetCount(odd), 0);
  CFRelease(odd);

  // Copy-string sets keep an immutable snapshot of a mutable value.
  CFMutableStringRef m = CFStringCreateMutable(nullptr, 0);
  CFStringAppendCString(m, "snap", kCFStringEncodingUTF8);
  CFMutableSetRef cs = CFSetCreateMutable(nullptr, 0, &kCFCopyStringSetCallBacks);
  CFSetAddValue(cs, m);
  CFStringAppendCString(m, "shot", kCFStringEncodingUTF8);
  EXPECT_TRUE(CFSetContainsValue(cs, CFSTR("snap")));
  EXPECT_FALSE(CFSetContainsValue(cs, m));
  CFRelease(cs);
  CFRelease(m);
  CFRelease(p);
  CFRelease(q);
}

TEST(CFSet, ManyValuesEqualityAndDescription) {
  CFMutableSetRef s = CFSetCreateMutable(nullptr, 0, nullptr);
  for (intptr_t i = 1; i <= 20000; ++i) CFSetAddValue(s, iv(i));
  for (intptr_t i = 1; i <= 20000; ++i) {
    if (i % 10 != 0) CFSetRemoveValue(s, iv(i));
  }
  ASSERT_EQ(CFSetGetCount(s), 2000);
  std::vector<const void*> vals(2000);
  CFSetGetValues(s, vals.data());
  for (size_t j = 0; j < vals.size(); ++j) ASSERT_EQ(vi(vals[j]), static_cast<intptr_t>((j + 1) * 10));
  CFRelease(s);

  const void* v1[] = {CFSTR("x"), CFSTR("y")};
  const void* v2[] = {CFSTR("y"), CFSTR("x")};
  CFSetRef a = CFSetCreate(nullptr, v1, 2, &kCFTypeSetCallBacks);
  CFSetRef b = CFSetCreate(nullptr, v2, 2, &kCFTypeSetCallBacks);
  CFSetRef c = CFSetCreate(nullptr, v1, 1, &kCFTypeSetCallBacks);
  EXPECT_TRUE(CFEqual(a, b));
  EXPECT_FALSE(CFEqual(a, c));
  EXPECT_EQ(describe(a), "{(\n    x,\n    y\n)}");
  EXPECT_EQ(describe(b), "{(\n    y,\n    x\n)}");  // insertion order
  const void* outer[] = {a};
  CFArrayRef arr = CFArrayCreate(nullptr, outer, 1, &kCFTypeArrayCallBacks);
  EXPECT_EQ(describe(arr), "(\n    {(\n        x,\n        y\n    )}\n)");
  CFSetRef empty = CFSetCreate(nullptr, nullptr, 0, &kCFTypeSetCallBacks);
  EXPECT_EQ(describe(empty), "{(\n)}");
  for (CFTypeRef o : {(CFTypeRef)a, (CFTypeRef)b, (CFTypeRef)c, (CFTypeRef)arr, (CFTypeRef)empty}) CFRelease(o);
}

}  // namespace
