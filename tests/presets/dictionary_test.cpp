// QXDictionary: typed round trips, hostile contents giving defaults, ownership of the dictionary
// and of the key/value caches; QXVariant kinds and the references it holds.
#include <QXCore/QXPresets.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace {

struct CF {
  CFTypeRef ref;
  explicit CF(CFTypeRef r) : ref(r) {}
  ~CF() {
    if (ref != nullptr) CFRelease(ref);
  }
  CF(const CF&) = delete;
  CF& operator=(const CF&) = delete;
};

CFNumberRef num(double d) { return CFNumberCreate(kCFAllocatorDefault, kCFNumberDoubleType, &d); }

TEST(QXDictionary, TypedRoundTripsAndConversion) {
  QXDictionary d;
  CFStringRef k = CFSTR("k");
  d.setBooleanValue(CFSTR("b"), true);
  d.setCharValue(CFSTR("c"), -7);
  d.setShortValue(CFSTR("s"), -30000);
  d.setIntValue(CFSTR("i"), 2000000000);
  d.setLongValue(CFSTR("l"), -123456789L);
  d.setFloatValue(CFSTR("f"), 0.25f);
  d.setDoubleValue(k, 2.75);
  EXPECT_TRUE(d.getBooleanValue(CFSTR("b"), false));
  EXPECT_EQ(d.getCharValue(CFSTR("c"), 0), -7);
  EXPECT_EQ(d.getShortValue(CFSTR("s"), 0), -30000);
  EXPECT_EQ(d.getIntValue(CFSTR("i"), 0), 2000000000);
  EXPECT_EQ(d.getLongValue(CFSTR("l"), 0), -123456789L);
  EXPECT_EQ(d.getFloatValue(CFSTR("f"), 0), 0.25f);
  EXPECT_EQ(d.getDoubleValue(k, 0), 2.75);
  EXPECT_EQ(d.getIntValue(k, 0), 2);  // converted by CoreFoundation
  EXPECT_EQ(d.getFloatValue(CFSTR("i"), 0), 2e9f);

  CF n(num(1.5));
  CF a(CFArrayCreate(kCFAllocatorDefault, nullptr, 0, &kCFTypeArrayCallBacks));
  CF sub(CFDictionaryCreate(kCFAllocatorDefault, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                            &kCFTypeDictionaryValueCallBacks));
  d.setNumberValue(CFSTR("n"), static_cast<CFNumberRef>(n.ref));
  d.setStringValue(CFSTR("t"), CFSTR("text"));
  d.setArrayValue(CFSTR("a"), static_cast<CFArrayRef>(a.ref));
  d.setDictionaryValue(CFSTR("d"), static_cast<CFDictionaryRef>(sub.ref));
  EXPECT_EQ(d.getNumberValue(CFSTR("n"), nullptr), n.ref);  // the object itself, not a copy
  EXPECT_EQ(d.getStringValue(CFSTR("t"), nullptr), CFSTR("text"));
  EXPECT_EQ(d.getArrayValue(CFSTR("a")), a.ref);
  EXPECT_EQ(d.getDictionaryValue(CFSTR("d")), sub.ref);
  EXPECT_TRUE(d.containsKey(CFSTR("t")));
  EXPECT_TRUE(d.containsValue(n.ref));
  EXPECT_FALSE(d.containsKey(CFSTR("missing")));

  // A dictionary never contains itself.
  d.setDictionaryValue(CFSTR("self"), d.mutableDictionary());
  EXPECT_FALSE(d.containsKey(CFSTR("self")));
}

// Preset files are untrusted: a value of the wrong kind reads as the default, never as a cast.
TEST(QXDictionary, WrongKindsAndMissingKeysGiveDefaults) {
  CF n(num(std::numeric_limits<double>::quiet_NaN()));
  CF big(num(1e300));
  CF arr(CFArrayCreate(kCFAllocatorDefault, nullptr, 0, &kCFTypeArrayCallBacks));
  const void* keys[] = {CFSTR("str"), CFSTR("num"), CFSTR("bool"), CFSTR("arr"), CFSTR("nan"), CFSTR("big")};
  const void* vals[] = {CFSTR("12"), big.ref, kCFBooleanTrue, arr.ref, n.ref, big.ref};
  CF raw(CFDictionaryCreate(kCFAllocatorDefault, keys, vals, 6, &kCFTypeDictionaryKeyCallBacks,
                            &kCFTypeDictionaryValueCallBacks));
  QXDictionary d(static_cast<CFDictionaryRef>(raw.ref));
  for (const void* key :
       {keys[0], keys[2], keys[3], static_cast<const void*>(CFSTR("missing")), static_cast<const void*>(nullptr)}) {
    SCOPED_TRACE(key != nullptr ? "key" : "null key");
    EXPECT_EQ(d.getCharValue(key, 3), 3);
    EXPECT_EQ(d.getShortValue(key, 4), 4);
    EXPECT_EQ(d.getIntValue(key, 5), 5);
    EXPECT_EQ(d.getLongValue(key, 6), 6);
    EXPECT_EQ(d.getFloatValue(key, 7.5f), 7.5f);
    EXPECT_EQ(d.getDoubleValue(key, 8.5), 8.5);
    EXPECT_EQ(d.getNumberValue(key, nullptr), nullptr);
    EXPECT_EQ(d.getDictionaryValue(key), nullptr);
  }
  EXPECT_FALSE(d.getBooleanValue(CFSTR("num"), false));
  EXPECT_TRUE(d.getBooleanValue(CFSTR("str"), true));
  EXPECT_EQ(d.getStringValue(CFSTR("num"), CFSTR("dflt")), CFSTR("dflt"));
  EXPECT_EQ(d.getArrayValue(CFSTR("str")), nullptr);
  EXPECT_EQ(d.getArrayValue(CFSTR("missing")), nullptr);
  // Numbers out of range of the requested type saturate; NaN reads as 0.
  EXPECT_TRUE(std::isnan(d.getDoubleValue(CFSTR("nan"), 1)));
  EXPECT_EQ(d.getIntValue(CFSTR("nan"), 1), 0);
  EXPECT_EQ(d.getCharValue(CFSTR("big"), 0), std::numeric_limits<char>::max());
  // Setters on a read-only object store nothing.
  EXPECT_EQ(d.mutableDictionary(), nullptr);
  d.setIntValue(CFSTR("x"), 1);
  EXPECT_FALSE(d.containsKey(CFSTR("x")));
  QXDictionary none(static_cast<CFDictionaryRef>(nullptr));
  EXPECT_EQ(none.getIntValue(CFSTR("x"), 9), 9);
  EXPECT_EQ(none.getKeys(), nullptr);
  EXPECT_EQ(none.copyDictionary(), nullptr);
}

TEST(QXDictionary, OwnershipOfDictionaryAndCaches) {
  CFMutableDictionaryRef held;
  {
    QXDictionary d;
    d.setIntValue(CFSTR("a"), 1);
    held = d.mutableDictionary();
    CFRetain(held);
    QXDictionary copy(d);
    copy.setIntValue(CFSTR("b"), 2);  // copies share the dictionary
    EXPECT_EQ(d.getIntValue(CFSTR("b"), 0), 2);
  }
  // A caller that still holds the dictionary keeps its contents.
  EXPECT_EQ(CFDictionaryGetCount(held), 2);
  {
    QXDictionary wrap(held);
    QXDictionary other;
    other = wrap;
    other = other;
    EXPECT_EQ(other.getIntValue(CFSTR("a"), 0), 1);
    CFMutableDictionaryRef copy = wrap.copyDictionary();
    CFDictionarySetValue(copy, CFSTR("c"), kCFBooleanTrue);
    EXPECT_FALSE(wrap.containsKey(CFSTR("c")));
    CFRelease(copy);

    CFArrayRef keys = wrap.getKeys();
    CFArrayRef values = wrap.getValues();
    ASSERT_NE(keys, nullptr);
    ASSERT_EQ(CFArrayGetCount(keys), 2);
    for (CFIndex i = 0; i < 2; ++i)
      EXPECT_EQ(CFDictionaryGetValue(held, CFArrayGetValueAtIndex(keys, i)), CFArrayGetValueAtIndex(values, i));
    CFRetain(keys);  // a retained cache keeps its contents after the next call
    EXPECT_NE(wrap.getKeys(), nullptr);
    EXPECT_EQ(CFArrayGetCount(keys), 2);
    CFRelease(keys);
  }
  EXPECT_EQ(CFDictionaryGetCount(held), 2);
  CFRelease(held);
  QXDictionary empty;
  EXPECT_EQ(empty.getKeys(), nullptr);
  EXPECT_EQ(empty.getValues(), nullptr);
}

TEST(QXPresetData, StringValuesAreCopies) {
  QXPresetData d;
  QXString name("before");
  d.setQXStringValue(CFSTR("presetName"), name);
  name += " edited";
  name.chop(100);
  EXPECT_TRUE(d.getQXStringValue(CFSTR("presetName"), QXString()) == QXString("before"));
  d.setIntValue(CFSTR("n"), 1);
  EXPECT_TRUE(d.getQXStringValue(CFSTR("n"), QXString("dflt")) == QXString("dflt"));
  EXPECT_TRUE(d.getQXStringValue(CFSTR("missing"), QXString("dflt")) == QXString("dflt"));
}

TEST(QXColor, ComponentsDefaultsAndPresetForm) {
  QXColor black;
  EXPECT_EQ(black.alpha(), 255);
  EXPECT_EQ(black.alphaF(), 1.0f);
  black.setRed(128);
  EXPECT_EQ(black.redF(), static_cast<float>(128 / 255.0));

  struct Case {
    const char* what;
    std::vector<std::pair<CFStringRef, CFTypeRef>> entries;
    int r, g, b, a;
  };
  CF ten(num(10)), huge(num(300)), neg(num(-1));
  const Case cases[] = {
      {"only green", {{CFSTR("green"), ten.ref}}, 0, 10, 0, 255},
      {"outside 0-255 kept", {{CFSTR("red"), huge.ref}, {CFSTR("alpha"), neg.ref}}, 300, 0, 0, -1},
      {"wrong kinds read as defaults", {{CFSTR("red"), CFSTR("9")}, {CFSTR("alpha"), kCFBooleanFalse}}, 0, 0, 0, 255},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    QXDictionary src;
    for (const auto& [k, v] : c.entries) CFDictionarySetValue(src.mutableDictionary(), k, v);
    QXColor color(5, 5, 5, 5);
    color.initWithPresetData(src.mutableDictionary());
    EXPECT_EQ(color.red(), c.r);
    EXPECT_EQ(color.green(), c.g);
    EXPECT_EQ(color.blue(), c.b);
    EXPECT_EQ(color.alpha(), c.a);
  }

  QXColor c(1, 2, 3, 4);
  QXDictionary form(static_cast<CFDictionaryRef>(c.presetData()));
  EXPECT_EQ(CFDictionaryGetCount(c.presetData()), 5);
  EXPECT_EQ(form.getIntValue(QXColor::kVersionKey, 0), 1);
  EXPECT_EQ(form.getIntValue(QXColor::kAlphaKey, 0), 4);
  QXColor same(1, 2, 3, 4), copy(c);
  EXPECT_TRUE(same == c);  // the version key of c does not count
  EXPECT_TRUE(copy == c);
  same.setBlue(0);
  EXPECT_TRUE(same != c);
}

struct Counted : QXVariantObjectInterface {
  QXVariant inner;
};

TEST(QXVariant, KindsAndValues) {
  QXVariant v[] = {QXVariant(),
                   QXVariant(7),
                   QXVariant(1LL << 40),
                   QXVariant(1.5f),
                   QXVariant(2.5),
                   QXVariant(true),
                   QXVariant(QXColor(1, 2, 3, 4)),
                   QXVariant("text"),
                   QXVariant(std::deque<QXString>{QXString("a"), QXString("b")}),
                   QXVariant(std::vector<int>{1, 2, 3})};
  for (int k = 0; k < 10; ++k) {
    QXVariant copy(v[k]);
    EXPECT_EQ(copy.kind(), k);
    const bool is[] = {copy.isInt32(), copy.isInt64(),  copy.isFloat(),      copy.isDouble(),    copy.isBool(),
                       copy.isColor(), copy.isString(), copy.isStringList(), copy.isIntVector(), copy.isObjectPtr()};
    for (int t = 0; t < 10; ++t) EXPECT_EQ(is[t], t + 1 == k) << k << " " << t;
  }
  EXPECT_EQ(v[1].int32Value(), 7);
  EXPECT_EQ(v[1].floatValue(), 0);
  EXPECT_EQ(QXVariant(v[2]).int64Value(), 1LL << 40);
  EXPECT_EQ(QXVariant(v[3]).floatValue(), 1.5f);
  EXPECT_EQ(QXVariant(v[4]).doubleValue(), 2.5);
  EXPECT_TRUE(QXVariant(v[5]).boolValue());
  EXPECT_TRUE(QXVariant(v[6]).colorValue() == QXColor(1, 2, 3, 4));
  EXPECT_TRUE(QXVariant(v[7]).stringValue() == QXString("text"));
  EXPECT_EQ(QXVariant(v[8]).stringListValue().size(), 2u);
  EXPECT_EQ(QXVariant(v[9]).intVectorValue(), (std::vector<int>{1, 2, 3}));
  v[7] = v[1];  // reassignment drops the old kind's member
  EXPECT_TRUE(v[7].stringValue().isEmpty());
}

TEST(QXVariant, ObjectReferences) {
  Counted* obj = new Counted;
  {
    QXVariant a(obj);
    EXPECT_EQ(obj->RefCount(), 2u);
    QXVariant b;
    b = a;
    EXPECT_EQ(obj->RefCount(), 3u);
    EXPECT_EQ(b.objectPtr(), obj);
    obj->Release();  // only the variants hold it now
    a = a;
    b = a;  // same object in both: kept alive across the swap
    EXPECT_EQ(obj->RefCount(), 2u);
    a = QXVariant(1);
    EXPECT_EQ(obj->RefCount(), 1u);
    a = b;
    b = QXVariant();
    EXPECT_EQ(a.objectPtr()->RefCount(), 1u);
  }  // the last variant frees it (ASan reports a leak otherwise)

  // Assigning from a variant that lives inside the object being dropped.
  Counted* outer = new Counted;
  Counted* held = new Counted;
  outer->inner = QXVariant(static_cast<QXVariantObjectInterface*>(held));
  held->Release();
  QXVariant v(outer);
  outer->Release();
  v = outer->inner;
  EXPECT_EQ(v.objectPtr(), held);
  EXPECT_EQ(held->RefCount(), 1u);
}

}  // namespace
