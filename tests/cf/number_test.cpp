#include <CoreFoundation/CFNumber.h>

#include "CFRef.h"
#include "CFTestSupport.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <string>
#include <tuple>
#include <utility>

using qxcf::adopt;
using qxcf::CFRef;
using qxtest::formatted;
using qxtest::utf8;

namespace {

template <class T>
CFRef<CFNumberRef> make(CFNumberType type, T value) {
  return adopt(CFNumberCreate(nullptr, type, &value));
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
  EXPECT_EQ(CFNumberCreate(nullptr, 18, &x), nullptr);
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
  for (auto [in, exact, out] :
       {std::tuple{1e300, false, INT64_MAX}, std::tuple{-1e300, false, INT64_MIN},
        std::tuple{9223372036854775808.0, false, INT64_MAX}, std::tuple{-9223372036854775808.0, true, INT64_MIN}}) {
    EXPECT_EQ(CFNumberGetValue(make(kCFNumberFloat64Type, in).get(), kCFNumberSInt64Type, &i64), exact) << in;
    EXPECT_EQ(i64, out) << in;
  }
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
  std::string desc = utf8(debug.get());
  EXPECT_NE(desc.find("value = +3, type = kCFNumberSInt32Type"), std::string::npos) << desc;
}

CFRef<CFNumberRef> wide(int64_t high, uint64_t low) { return make(kCFNumberSInt128Type, CFSInt128Struct{high, low}); }

bool same(const CFSInt128Struct& a, const CFSInt128Struct& b) { return a.high == b.high && a.low == b.low; }

TEST(CFNumber, SInt128CreateAndConvert) {
  // Values beyond SInt64 keep all 128 bits and say so.
  struct Case {
    CFSInt128Struct v;
    int64_t asInt64;
    double asDouble;
    bool doubleExact;
    const char* text;
  } beyond[] = {
      {{0, uint64_t{1} << 63}, INT64_MAX, 9223372036854775808.0, true, "9223372036854775808"},
      {{0, UINT64_MAX}, INT64_MAX, 18446744073709551616.0, false, "18446744073709551615"},
      {{1, 0}, INT64_MAX, 18446744073709551616.0, true, "18446744073709551616"},
      {{-1, (uint64_t{1} << 63) - 1}, INT64_MIN, -9223372036854775808.0, false, "-9223372036854775809"},
      {{-2, 5}, INT64_MIN, -36893488147419103232.0, false, "-36893488147419103227"},
      {{INT64_MAX, UINT64_MAX},
       INT64_MAX,
       170141183460469231731687303715884105728.0,
       false,
       "170141183460469231731687303715884105727"},
      {{INT64_MIN, 0},
       INT64_MIN,
       -170141183460469231731687303715884105728.0,
       true,
       "-170141183460469231731687303715884105728"},
  };
  for (const Case& c : beyond) {
    auto n = make(kCFNumberSInt128Type, c.v);
    ASSERT_TRUE(n) << c.text;
    EXPECT_EQ(CFNumberGetType(n.get()), kCFNumberSInt128Type) << c.text;
    EXPECT_EQ(CFNumberGetByteSize(n.get()), 16) << c.text;
    EXPECT_FALSE(CFNumberIsFloatType(n.get()));
    CFSInt128Struct back = {7, 7};
    EXPECT_TRUE(CFNumberGetValue(n.get(), kCFNumberSInt128Type, &back));
    EXPECT_TRUE(same(back, c.v)) << c.text;
    int64_t i64 = 0;
    EXPECT_FALSE(CFNumberGetValue(n.get(), kCFNumberLongLongType, &i64)) << c.text;
    EXPECT_EQ(i64, c.asInt64) << c.text;
    SInt8 i8 = 0;
    EXPECT_FALSE(CFNumberGetValue(n.get(), kCFNumberSInt8Type, &i8));
    EXPECT_EQ(i8, c.asInt64 < 0 ? INT8_MIN : INT8_MAX) << c.text;
    double d = 0;
    EXPECT_EQ(CFNumberGetValue(n.get(), kCFNumberFloat64Type, &d), c.doubleExact) << c.text;
    EXPECT_EQ(d, c.asDouble) << c.text;
    float f = 0;
    EXPECT_EQ(CFNumberGetValue(n.get(), kCFNumberFloat32Type, &f), c.doubleExact) << c.text;
    EXPECT_EQ(f, static_cast<float>(c.asDouble)) << c.text;
    EXPECT_EQ(formatted(n.get()), c.text);
  }
  CFRef<CFStringRef> debug = adopt(CFCopyDescription(wide(0, UINT64_MAX).get()));
  std::string desc = utf8(debug.get());
  EXPECT_NE(desc.find("value = +18446744073709551615, type = kCFNumberSInt128Type"), std::string::npos) << desc;

  // Values that fit are stored as SInt64, as if created that way.
  struct Fits {
    CFSInt128Struct v;
    int64_t value;
  } fits[] = {{{0, 0}, 0},
              {{0, 42}, 42},
              {{-1, UINT64_MAX - 4}, -5},
              {{0, INT64_MAX}, INT64_MAX},
              {{-1, uint64_t{1} << 63}, INT64_MIN}};
  for (const Fits& c : fits) {
    auto n = make(kCFNumberSInt128Type, c.v);
    EXPECT_EQ(CFNumberGetType(n.get()), kCFNumberSInt64Type) << c.value;
    EXPECT_EQ(CFNumberGetByteSize(n.get()), 8) << c.value;
    int64_t back = 1;
    EXPECT_TRUE(CFNumberGetValue(n.get(), kCFNumberSInt64Type, &back));
    EXPECT_EQ(back, c.value);
    auto plain = make(kCFNumberSInt64Type, c.value);
    EXPECT_TRUE(CFEqual(n.get(), plain.get())) << c.value;
    EXPECT_EQ(CFHash(n.get()), CFHash(plain.get())) << c.value;
    EXPECT_EQ(formatted(n.get()), std::to_string(c.value));
  }

  // Every number reads as 128 bits: integers sign-extend, doubles truncate and saturate.
  CFSInt128Struct w = {};
  EXPECT_TRUE(CFNumberGetValue(make(kCFNumberSInt8Type, int8_t{-5}).get(), kCFNumberSInt128Type, &w));
  EXPECT_TRUE(same(w, {-1, UINT64_MAX - 4}));
  EXPECT_TRUE(CFNumberGetValue(make(kCFNumberSInt32Type, 1000).get(), kCFNumberSInt128Type, &w));
  EXPECT_TRUE(same(w, {0, 1000}));
  EXPECT_FALSE(CFNumberGetValue(make(kCFNumberFloat64Type, -2.75).get(), kCFNumberSInt128Type, &w));
  EXPECT_TRUE(same(w, {-1, UINT64_MAX - 1}));
  EXPECT_TRUE(CFNumberGetValue(make(kCFNumberFloat64Type, 18446744073709551616.0).get(), kCFNumberSInt128Type, &w));
  EXPECT_TRUE(same(w, {1, 0}));
  auto bigF = make(kCFNumberFloat32Type, -1.5e30f);  // integral, far beyond 64 bits
  EXPECT_TRUE(CFNumberGetValue(bigF.get(), kCFNumberSInt128Type, &w));
  auto bigW = make(kCFNumberSInt128Type, w);
  EXPECT_TRUE(CFEqual(bigW.get(), bigF.get()));
  EXPECT_EQ(CFHash(bigW.get()), CFHash(bigF.get()));
  float f = 0;
  EXPECT_TRUE(CFNumberGetValue(bigW.get(), kCFNumberFloat32Type, &f));
  EXPECT_EQ(f, -1.5e30f);
  EXPECT_FALSE(CFNumberGetValue(make(kCFNumberFloat64Type, 1e300).get(), kCFNumberSInt128Type, &w));
  EXPECT_TRUE(same(w, {INT64_MAX, UINT64_MAX}));
  EXPECT_FALSE(CFNumberGetValue(make(kCFNumberFloat64Type, 170141183460469231731687303715884105728.0).get(),
                                kCFNumberSInt128Type, &w));
  EXPECT_TRUE(same(w, {INT64_MAX, UINT64_MAX}));
  EXPECT_TRUE(CFNumberGetValue(make(kCFNumberFloat64Type, -170141183460469231731687303715884105728.0).get(),
                               kCFNumberSInt128Type, &w));
  EXPECT_TRUE(same(w, {INT64_MIN, 0}));
  EXPECT_FALSE(CFNumberGetValue(kCFNumberNegativeInfinity, kCFNumberSInt128Type, &w));
  EXPECT_TRUE(same(w, {INT64_MIN, 0}));
  EXPECT_FALSE(CFNumberGetValue(kCFNumberNaN, kCFNumberSInt128Type, &w));
  EXPECT_TRUE(same(w, {0, 0}));
}

TEST(CFNumber, SInt128CompareAcrossTypes) {
  auto two63 = wide(0, uint64_t{1} << 63);
  auto u64max = wide(0, UINT64_MAX);
  auto two64 = wide(1, 0);
  auto neg = wide(-2, 5);
  auto i64max = make(kCFNumberSInt64Type, INT64_MAX);
  auto i64min = make(kCFNumberSInt64Type, INT64_MIN);
  auto two63D = make(kCFNumberFloat64Type, 9223372036854775808.0);
  auto two64D = make(kCFNumberFloat64Type, 18446744073709551616.0);
  auto two64F = make(kCFNumberFloat32Type, 18446744073709551616.0f);
  auto negD = make(kCFNumberFloat64Type, -36893488147419103232.0);  // -2^65, just below `neg`

  // Strictly ascending: each compares below every later one, in both directions.
  CFNumberRef ascending[] = {kCFNumberNaN, kCFNumberNegativeInfinity,
                             negD.get(),   neg.get(),
                             i64min.get(), i64max.get(),
                             two63.get(),  u64max.get(),
                             two64.get(),  kCFNumberPositiveInfinity};
  for (size_t a = 0; a < std::size(ascending); ++a) {
    for (size_t b = 0; b < std::size(ascending); ++b) {
      CFComparisonResult want = a < b ? kCFCompareLessThan : (a > b ? kCFCompareGreaterThan : kCFCompareEqualTo);
      EXPECT_EQ(CFNumberCompare(ascending[a], ascending[b], nullptr), want) << a << " vs " << b;
      EXPECT_EQ(CFEqual(ascending[a], ascending[b]), a == b) << a << " vs " << b;
    }
  }

  // The same value in another type is equal and hashes alike, however it was made.
  auto u64max2 = wide(0, UINT64_MAX);
  std::pair<CFNumberRef, CFNumberRef> pairs[] = {{two63.get(), two63D.get()},
                                                 {two64.get(), two64D.get()},
                                                 {two64.get(), two64F.get()},
                                                 {u64max.get(), u64max2.get()}};
  for (auto [x, y] : pairs) {
    EXPECT_EQ(CFNumberCompare(x, y, nullptr), kCFCompareEqualTo);
    EXPECT_TRUE(CFEqual(x, y));
    EXPECT_EQ(CFHash(x), CFHash(y));
  }
  // 2^64 - 1 rounds to 2^64 as a double; the comparison must not.
  EXPECT_EQ(CFNumberCompare(u64max.get(), two64D.get(), nullptr), kCFCompareLessThan);
  EXPECT_EQ(CFNumberCompare(two64D.get(), u64max.get(), nullptr), kCFCompareGreaterThan);
  EXPECT_FALSE(CFEqual(two64D.get(), u64max.get()));
  EXPECT_NE(CFHash(u64max.get()), CFHash(two64.get()));
  EXPECT_NE(CFHash(u64max.get()), CFHash(make(kCFNumberSInt64Type, int64_t{-1}).get()));
  // The extremes of 128 bits against the doubles around them.
  auto max128 = wide(INT64_MAX, UINT64_MAX);
  auto two127D = make(kCFNumberFloat64Type, 170141183460469231731687303715884105728.0);
  EXPECT_EQ(CFNumberCompare(max128.get(), two127D.get(), nullptr), kCFCompareLessThan);
  EXPECT_EQ(CFNumberCompare(max128.get(), kCFNumberPositiveInfinity, nullptr), kCFCompareLessThan);
  auto min128 = wide(INT64_MIN, 0);
  auto minus2to127D = make(kCFNumberFloat64Type, -170141183460469231731687303715884105728.0);
  EXPECT_TRUE(CFEqual(min128.get(), minus2to127D.get()));
  EXPECT_EQ(CFHash(min128.get()), CFHash(minus2to127D.get()));
  EXPECT_EQ(CFNumberCompare(min128.get(), make(kCFNumberFloat64Type, -1e300).get(), nullptr), kCFCompareGreaterThan);
  // A fraction just above a 128-bit integer.
  auto justAbove = make(kCFNumberFloat64Type, -2.5);
  EXPECT_EQ(CFNumberCompare(wide(-1, UINT64_MAX - 2).get(), justAbove.get(), nullptr), kCFCompareLessThan);
}

TEST(CFBoolean, ConstantsAndDescriptions) {
  EXPECT_TRUE(CFBooleanGetValue(kCFBooleanTrue));
  EXPECT_FALSE(CFBooleanGetValue(kCFBooleanFalse));
  EXPECT_EQ(CFGetTypeID(kCFBooleanTrue), CFBooleanGetTypeID());
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
