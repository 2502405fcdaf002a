#include <CoreFoundation/CFNumber.h>

#include "CFRef.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>

using qxcf::adopt;
using qxcf::CFRef;

namespace {

template <class T>
CFRef<CFNumberRef> make(CFNumberType type, T value) {
  return adopt(CFNumberCreate(nullptr, type, &value));
}

std::string text(CFStringRef s) {
  if (s == nullptr) return "(NULL)";
  char buf[512];
  return CFStringGetCString(s, buf, sizeof buf, kCFStringEncodingUTF8) ? buf : "(too long)";
}

// What "%@" inserts.
std::string formatted(CFTypeRef cf) {
  CFRef<CFStringRef> s = adopt(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%@"), cf));
  return text(s.get());
}

TEST(CFNumber, TypesAreCanonicalised) {
  struct Case {
    CFNumberType in, canonical;
    CFIndex size;
    bool isFloat;
  } cases[] = {
      {kCFNumberSInt8Type, kCFNumberSInt8Type, 1, false},      {kCFNumberSInt16Type, kCFNumberSInt16Type, 2, false},
      {kCFNumberSInt32Type, kCFNumberSInt32Type, 4, false},    {kCFNumberSInt64Type, kCFNumberSInt64Type, 8, false},
      {kCFNumberFloat32Type, kCFNumberFloat32Type, 4, true},   {kCFNumberFloat64Type, kCFNumberFloat64Type, 8, true},
      {kCFNumberCharType, kCFNumberSInt8Type, 1, false},       {kCFNumberShortType, kCFNumberSInt16Type, 2, false},
      {kCFNumberIntType, kCFNumberSInt32Type, 4, false},       {kCFNumberLongType, kCFNumberSInt64Type, 8, false},
      {kCFNumberLongLongType, kCFNumberSInt64Type, 8, false},  {kCFNumberFloatType, kCFNumberFloat32Type, 4, true},
      {kCFNumberDoubleType, kCFNumberFloat64Type, 8, true},    {kCFNumberCFIndexType, kCFNumberSInt64Type, 8, false},
      {kCFNumberNSIntegerType, kCFNumberSInt64Type, 8, false}, {kCFNumberCGFloatType, kCFNumberFloat64Type, 8, true},
  };
  EXPECT_EQ(kCFNumberSInt32Type, 3);
  EXPECT_EQ(kCFNumberCGFloatType, 16);
  for (const Case& c : cases) {
    // A buffer big enough for any type, holding 7 in the type's own representation.
    alignas(8) unsigned char buf[8] = {};
    switch (c.canonical) {
      case kCFNumberSInt8Type: buf[0] = 7; break;
      case kCFNumberSInt16Type: *reinterpret_cast<int16_t*>(buf) = 7; break;
      case kCFNumberSInt32Type: *reinterpret_cast<int32_t*>(buf) = 7; break;
      case kCFNumberSInt64Type: *reinterpret_cast<int64_t*>(buf) = 7; break;
      case kCFNumberFloat32Type: *reinterpret_cast<float*>(buf) = 7; break;
      default: *reinterpret_cast<double*>(buf) = 7; break;
    }
    CFRef<CFNumberRef> n = adopt(CFNumberCreate(nullptr, c.in, buf));
    ASSERT_TRUE(n) << c.in;
    EXPECT_EQ(CFNumberGetType(n.get()), c.canonical) << c.in;
    EXPECT_EQ(CFNumberGetByteSize(n.get()), c.size) << c.in;
    EXPECT_EQ(CFNumberIsFloatType(n.get()), c.isFloat) << c.in;
    int64_t back = 0;
    EXPECT_TRUE(CFNumberGetValue(n.get(), kCFNumberSInt64Type, &back));
    EXPECT_EQ(back, 7);
  }
  int x = 1;
  EXPECT_EQ(CFNumberCreate(nullptr, 0, &x), nullptr);
  EXPECT_EQ(CFNumberCreate(nullptr, 17, &x), nullptr);
  EXPECT_EQ(CFNumberCreate(nullptr, kCFNumberIntType, nullptr), nullptr);
}

TEST(CFNumber, LossyConversionsStoreAndReportFalse) {
  auto d = make(kCFNumberFloat64Type, 2.75);
  SInt32 i = 0;
  EXPECT_FALSE(CFNumberGetValue(d.get(), kCFNumberSInt32Type, &i));
  EXPECT_EQ(i, 2);
  auto neg = make(kCFNumberFloat64Type, -2.75);
  EXPECT_FALSE(CFNumberGetValue(neg.get(), kCFNumberSInt32Type, &i));
  EXPECT_EQ(i, -2);  // toward zero
  double back = 0;
  EXPECT_TRUE(CFNumberGetValue(d.get(), kCFNumberDoubleType, &back));
  EXPECT_EQ(back, 2.75);
  float f = 0;
  EXPECT_TRUE(CFNumberGetValue(d.get(), kCFNumberFloatType, &f));  // 2.75 is exact in float
  auto tenth = make(kCFNumberFloat64Type, 0.1);
  EXPECT_FALSE(CFNumberGetValue(tenth.get(), kCFNumberFloat32Type, &f));
  EXPECT_EQ(f, 0.1f);

  // Integers out of the target's range saturate.
  auto big = make(kCFNumberSInt64Type, int64_t{300});
  SInt8 s8 = 0;
  EXPECT_FALSE(CFNumberGetValue(big.get(), kCFNumberSInt8Type, &s8));
  EXPECT_EQ(s8, 127);
  auto small = make(kCFNumberSInt32Type, -40000);
  SInt16 s16 = 0;
  EXPECT_FALSE(CFNumberGetValue(small.get(), kCFNumberSInt16Type, &s16));
  EXPECT_EQ(s16, -32768);
  EXPECT_TRUE(CFNumberGetValue(make(kCFNumberSInt32Type, -128).get(), kCFNumberSInt8Type, &s8));
  EXPECT_EQ(s8, -128);

  // Doubles beyond 64 bits saturate, NaN reads as 0; neither is exact.
  int64_t i64 = 0;
  EXPECT_FALSE(CFNumberGetValue(make(kCFNumberFloat64Type, 1e300).get(), kCFNumberSInt64Type, &i64));
  EXPECT_EQ(i64, INT64_MAX);
  EXPECT_FALSE(CFNumberGetValue(make(kCFNumberFloat64Type, -1e300).get(), kCFNumberSInt64Type, &i64));
  EXPECT_EQ(i64, INT64_MIN);
  EXPECT_FALSE(CFNumberGetValue(make(kCFNumberFloat64Type, 9223372036854775808.0).get(), kCFNumberSInt64Type, &i64));
  EXPECT_EQ(i64, INT64_MAX);
  EXPECT_TRUE(CFNumberGetValue(make(kCFNumberFloat64Type, -9223372036854775808.0).get(), kCFNumberSInt64Type, &i64));
  EXPECT_EQ(i64, INT64_MIN);
  i64 = 5;
  EXPECT_FALSE(CFNumberGetValue(kCFNumberNaN, kCFNumberSInt64Type, &i64));
  EXPECT_EQ(i64, 0);
  EXPECT_FALSE(CFNumberGetValue(kCFNumberPositiveInfinity, kCFNumberSInt32Type, &i));
  EXPECT_EQ(i, INT32_MAX);
  EXPECT_FALSE(CFNumberGetValue(make(kCFNumberFloat64Type, 1e300).get(), kCFNumberFloat32Type, &f));
  EXPECT_EQ(f, FLT_MAX);
  EXPECT_TRUE(CFNumberGetValue(kCFNumberNegativeInfinity, kCFNumberFloat32Type, &f));
  EXPECT_TRUE(std::isinf(f) && f < 0);

  // 64-bit integers a double cannot hold exactly.
  auto odd = make(kCFNumberSInt64Type, (int64_t{1} << 53) + 1);
  EXPECT_FALSE(CFNumberGetValue(odd.get(), kCFNumberFloat64Type, &back));
  EXPECT_EQ(back, 9007199254740992.0);
  EXPECT_TRUE(CFNumberGetValue(make(kCFNumberSInt64Type, int64_t{1} << 53).get(), kCFNumberFloat64Type, &back));
  EXPECT_FALSE(CFNumberGetValue(make(kCFNumberSInt64Type, INT64_MAX).get(), kCFNumberFloat64Type, &back));
  EXPECT_TRUE(CFNumberGetValue(make(kCFNumberSInt64Type, INT64_MIN).get(), kCFNumberFloat64Type, &back));
  EXPECT_EQ(back, -9223372036854775808.0);
  EXPECT_FALSE(CFNumberGetValue(d.get(), 99, &back));
}

TEST(CFNumber, CompareAcrossTypesExactly) {
  auto three32 = make(kCFNumberSInt32Type, 3);
  auto three64 = make(kCFNumberSInt64Type, int64_t{3});
  auto three8 = make(kCFNumberSInt8Type, int8_t{3});
  auto threeD = make(kCFNumberFloat64Type, 3.0);
  auto threeF = make(kCFNumberFloat32Type, 3.0f);
  CFNumberRef same[] = {three32.get(), three64.get(), three8.get(), threeD.get(), threeF.get()};
  for (CFNumberRef a : same) {
    for (CFNumberRef b : same) {
      EXPECT_TRUE(CFEqual(a, b));
      EXPECT_EQ(CFHash(a), CFHash(b));
      EXPECT_EQ(CFNumberCompare(a, b, nullptr), kCFCompareEqualTo);
    }
  }
  auto zero = make(kCFNumberSInt32Type, 0);
  auto negZero = make(kCFNumberFloat64Type, -0.0);
  EXPECT_TRUE(CFEqual(zero.get(), negZero.get()));
  EXPECT_EQ(CFHash(zero.get()), CFHash(negZero.get()));

  auto threeHalf = make(kCFNumberFloat64Type, 3.5);
  EXPECT_EQ(CFNumberCompare(three32.get(), threeHalf.get(), nullptr), kCFCompareLessThan);
  EXPECT_EQ(CFNumberCompare(threeHalf.get(), three64.get(), nullptr), kCFCompareGreaterThan);
  EXPECT_FALSE(CFEqual(three32.get(), threeHalf.get()));
  EXPECT_FALSE(CFEqual(make(kCFNumberFloat32Type, 0.1f).get(), make(kCFNumberFloat64Type, 0.1).get()));

  // Beyond 2^53 a double rounding of the integer would call these equal.
  auto big = make(kCFNumberSInt64Type, (int64_t{1} << 53) + 1);
  auto bigD = make(kCFNumberFloat64Type, 9007199254740992.0);  // 2^53
  EXPECT_EQ(CFNumberCompare(big.get(), bigD.get(), nullptr), kCFCompareGreaterThan);
  EXPECT_EQ(CFNumberCompare(bigD.get(), big.get(), nullptr), kCFCompareLessThan);
  EXPECT_FALSE(CFEqual(big.get(), bigD.get()));
  auto max = make(kCFNumberSInt64Type, INT64_MAX);
  auto two63 = make(kCFNumberFloat64Type, 9223372036854775808.0);
  EXPECT_EQ(CFNumberCompare(max.get(), two63.get(), nullptr), kCFCompareLessThan);
  auto min = make(kCFNumberSInt64Type, INT64_MIN);
  auto minD = make(kCFNumberFloat64Type, -9223372036854775808.0);
  EXPECT_TRUE(CFEqual(min.get(), minD.get()));
  EXPECT_EQ(CFHash(min.get()), CFHash(minD.get()));
  EXPECT_EQ(CFNumberCompare(min.get(), max.get(), nullptr), kCFCompareLessThan);

  // NaN sorts below everything, even -inf, and equals itself.
  auto nan2 = make(kCFNumberFloat64Type, std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(CFNumberCompare(kCFNumberNaN, kCFNumberNegativeInfinity, nullptr), kCFCompareLessThan);
  EXPECT_EQ(CFNumberCompare(min.get(), kCFNumberNaN, nullptr), kCFCompareGreaterThan);
  EXPECT_EQ(CFNumberCompare(kCFNumberNaN, min.get(), nullptr), kCFCompareLessThan);
  EXPECT_TRUE(CFEqual(kCFNumberNaN, nan2.get()));
  EXPECT_EQ(CFHash(kCFNumberNaN), CFHash(nan2.get()));
  EXPECT_EQ(CFNumberCompare(max.get(), kCFNumberPositiveInfinity, nullptr), kCFCompareLessThan);
  EXPECT_EQ(CFNumberCompare(min.get(), kCFNumberNegativeInfinity, nullptr), kCFCompareGreaterThan);
}

TEST(CFNumber, FormattingIsTheBareValue) {
  EXPECT_EQ(formatted(make(kCFNumberSInt32Type, 1).get()), "1");
  EXPECT_EQ(formatted(make(kCFNumberSInt64Type, INT64_MIN).get()), "-9223372036854775808");
  EXPECT_EQ(formatted(make(kCFNumberFloat64Type, 2.75).get()), "2.75");
  EXPECT_EQ(formatted(make(kCFNumberFloat64Type, 0.1).get()), "0.1");
  EXPECT_EQ(formatted(make(kCFNumberFloat32Type, 0.1f).get()), "0.1");
  EXPECT_EQ(formatted(make(kCFNumberFloat64Type, 3.0).get()), "3");
  EXPECT_EQ(formatted(make(kCFNumberFloat64Type, 1e100).get()), "1e+100");
  EXPECT_EQ(formatted(kCFNumberNaN), "nan");
  EXPECT_EQ(formatted(make(kCFNumberFloat64Type, -std::numeric_limits<double>::quiet_NaN()).get()), "nan");
  EXPECT_EQ(formatted(kCFNumberPositiveInfinity), "inf");
  EXPECT_EQ(formatted(kCFNumberNegativeInfinity), "-inf");
  CFRef<CFStringRef> debug = adopt(CFCopyDescription(make(kCFNumberSInt32Type, 3).get()));
  std::string desc = text(debug.get());
  EXPECT_NE(desc.find("value = +3, type = kCFNumberSInt32Type"), std::string::npos) << desc;
}

TEST(CFBoolean, ConstantsAndDescriptions) {
  EXPECT_TRUE(CFBooleanGetValue(kCFBooleanTrue));
  EXPECT_FALSE(CFBooleanGetValue(kCFBooleanFalse));
  EXPECT_EQ(CFGetTypeID(kCFBooleanTrue), CFBooleanGetTypeID());
  EXPECT_NE(CFBooleanGetTypeID(), CFNumberGetTypeID());
  EXPECT_FALSE(CFEqual(kCFBooleanTrue, kCFBooleanFalse));
  EXPECT_FALSE(CFEqual(kCFBooleanTrue, make(kCFNumberSInt32Type, 1).get()));
  EXPECT_EQ(formatted(kCFBooleanTrue), "true");
  EXPECT_EQ(formatted(kCFBooleanFalse), "false");
  CFIndex before = CFGetRetainCount(kCFBooleanTrue);
  CFRelease(CFRetain(kCFBooleanTrue));
  CFRelease(kCFBooleanTrue);  // immortal: extra releases are harmless
  EXPECT_EQ(CFGetRetainCount(kCFBooleanTrue), before);
  EXPECT_EQ(CFGetTypeID(kCFNumberNaN), CFNumberGetTypeID());
  EXPECT_EQ(CFNumberGetType(kCFNumberNaN), kCFNumberFloat64Type);
}

}  // namespace
