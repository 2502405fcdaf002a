// CFNumber and CFBoolean: canonical types, conversions, exact comparison, 128-bit values, text.
#include <bit>
#include <cfloat>
#include <climits>
#include <limits>

#include "CFTestSupport.h"

using namespace qxtest;

namespace {

// What CFNumberGetValue reports and stores for a target type.
template <class T>
std::pair<bool, T> get(CFNumberRef n, CFNumberType type) {
  T v{};
  bool exact = CFNumberGetValue(n, type, &v);
  return {exact, v};
}
template <class T>
std::pair<bool, T> get(const CFRef<CFNumberRef>& n, CFNumberType type) {
  return get<T>(n.get(), type);
}
template <class T>
std::pair<bool, T> want(bool exact, T v) {
  return {exact, v};
}

// A number's type, byte size and whether it is a floating-point type.
std::tuple<CFNumberType, CFIndex, bool> shape(const CFRef<CFNumberRef>& n) {
  return {CFNumberGetType(n.get()), CFNumberGetByteSize(n.get()), CFNumberIsFloatType(n.get())};
}
CFRef<CFNumberRef> wide(int64_t high, uint64_t low) { return make(kCFNumberSInt128Type, CFSInt128Struct{high, low}); }
std::tuple<bool, int64_t, uint64_t> get128(CFNumberRef n) {
  CFSInt128Struct w = {7, 7};
  bool exact = CFNumberGetValue(n, kCFNumberSInt128Type, &w);
  return {exact, w.high, w.low};
}

constexpr double k2to63 = 9223372036854775808.0, k2to64 = 18446744073709551616.0;
constexpr double k2to127 = 170141183460469231731687303715884105728.0;

TEST(CFNumber, TypesAreCanonicalised) {
  using T = std::tuple<CFNumberType, CFNumberType, CFIndex>;
  for (const auto& [in, canonical, size] :
       {T{kCFNumberSInt8Type, kCFNumberSInt8Type, 1}, T{kCFNumberSInt16Type, kCFNumberSInt16Type, 2},
        T{kCFNumberSInt32Type, kCFNumberSInt32Type, 4}, T{kCFNumberSInt64Type, kCFNumberSInt64Type, 8},
        T{kCFNumberFloat32Type, kCFNumberFloat32Type, 4}, T{kCFNumberFloat64Type, kCFNumberFloat64Type, 8},
        T{kCFNumberCharType, kCFNumberSInt8Type, 1}, T{kCFNumberShortType, kCFNumberSInt16Type, 2},
        T{kCFNumberIntType, kCFNumberSInt32Type, 4}, T{kCFNumberLongType, kCFNumberSInt64Type, 8},
        T{kCFNumberLongLongType, kCFNumberSInt64Type, 8}, T{kCFNumberFloatType, kCFNumberFloat32Type, 4},
        T{kCFNumberDoubleType, kCFNumberFloat64Type, 8}, T{kCFNumberCFIndexType, kCFNumberSInt64Type, 8},
        T{kCFNumberNSIntegerType, kCFNumberSInt64Type, 8}, T{kCFNumberCGFloatType, kCFNumberFloat64Type, 8}}) {
    // A buffer big enough for any type, holding 7 in the type's own representation.
    alignas(8) unsigned char buf[8] = {};
    bool isFloat = canonical == kCFNumberFloat32Type || canonical == kCFNumberFloat64Type;
    if (canonical == kCFNumberFloat32Type) {
      *reinterpret_cast<float*>(buf) = 7;
    } else if (canonical == kCFNumberFloat64Type) {
      *reinterpret_cast<double*>(buf) = 7;
    } else {
      buf[std::endian::native == std::endian::little ? 0 : size - 1] = 7;
    }
    auto n = adopt(CFNumberCreate(nullptr, in, buf));
    ASSERT_TRUE(n) << in;
    EXPECT_EQ(shape(n), std::make_tuple(canonical, size, isFloat)) << in;
    EXPECT_EQ(get<int64_t>(n, kCFNumberSInt64Type), want(true, int64_t{7})) << in;
  }
  int x = 1;
  EXPECT_EQ(CFNumberCreate(nullptr, 0, &x), nullptr);
  EXPECT_EQ(CFNumberCreate(nullptr, 18, &x), nullptr);
  EXPECT_EQ(CFNumberCreate(nullptr, kCFNumberIntType, nullptr), nullptr);
}

TEST(CFNumber, LossyConversionsStoreAndReportFalse) {
  // Fractions truncate toward zero; values the target cannot hold saturate.
  EXPECT_EQ(get<SInt32>(real(2.75), kCFNumberSInt32Type), want(false, 2));
  EXPECT_EQ(get<SInt32>(real(-2.75), kCFNumberSInt32Type), want(false, -2));
  EXPECT_EQ(get<double>(real(2.75), kCFNumberDoubleType), want(true, 2.75));
  EXPECT_EQ(get<float>(real(2.75), kCFNumberFloatType), want(true, 2.75f));
  EXPECT_EQ(get<float>(real(0.1), kCFNumberFloat32Type), want(false, 0.1f));
  EXPECT_EQ(get<SInt8>(num(300), kCFNumberSInt8Type), want(false, SInt8{127}));
  EXPECT_EQ(get<SInt16>(make(kCFNumberSInt32Type, -40000), kCFNumberSInt16Type), want(false, SInt16{-32768}));
  EXPECT_EQ(get<SInt8>(make(kCFNumberSInt32Type, -128), kCFNumberSInt8Type), want(true, SInt8{-128}));

  // Doubles beyond 64 bits saturate, NaN reads as 0; neither is exact.
  EXPECT_EQ(get<int64_t>(real(1e300), kCFNumberSInt64Type), want(false, INT64_MAX));
  EXPECT_EQ(get<int64_t>(real(-1e300), kCFNumberSInt64Type), want(false, INT64_MIN));
  EXPECT_EQ(get<int64_t>(real(k2to63), kCFNumberSInt64Type), want(false, INT64_MAX));
  EXPECT_EQ(get<int64_t>(real(-k2to63), kCFNumberSInt64Type), want(true, INT64_MIN));
  EXPECT_EQ(get<int64_t>(kCFNumberNaN, kCFNumberSInt64Type), want(false, int64_t{0}));
  EXPECT_EQ(get<SInt32>(kCFNumberPositiveInfinity, kCFNumberSInt32Type), want(false, INT32_MAX));
  EXPECT_EQ(get<float>(real(1e300), kCFNumberFloat32Type), want(false, FLT_MAX));
  EXPECT_EQ(get<float>(kCFNumberNegativeInfinity, kCFNumberFloat32Type), want(true, -INFINITY));

  // 64-bit integers a double cannot hold exactly.
  EXPECT_EQ(get<double>(num((int64_t{1} << 53) + 1), kCFNumberFloat64Type), want(false, 9007199254740992.0));
  EXPECT_EQ(get<double>(num(int64_t{1} << 53), kCFNumberFloat64Type), want(true, 9007199254740992.0));
  EXPECT_FALSE(get<double>(num(INT64_MAX), kCFNumberFloat64Type).first);
  EXPECT_EQ(get<double>(num(INT64_MIN), kCFNumberFloat64Type), want(true, -k2to63));
  EXPECT_FALSE(get<double>(real(2.75), 99).first);
}

TEST(CFNumber, FormattingIsTheBareValue) {
  using F = std::pair<CFRef<CFNumberRef>, const char*>;
  for (const auto& [n, t] :
       {F{make(kCFNumberSInt32Type, 1), "1"}, F{num(INT64_MIN), "-9223372036854775808"}, F{real(2.75), "2.75"},
        F{real(0.1), "0.1"}, F{make(kCFNumberFloat32Type, 0.1f), "0.1"}, F{real(3.0), "3"}, F{real(1e100), "1e+100"},
        F{real(-std::numeric_limits<double>::quiet_NaN()), "nan"}})
    EXPECT_EQ(formatted(n.get()), t);
  EXPECT_EQ(formatted(kCFNumberNaN), "nan");
  EXPECT_EQ(formatted(kCFNumberPositiveInfinity), "inf");
  EXPECT_EQ(formatted(kCFNumberNegativeInfinity), "-inf");
  std::string desc = describe(make(kCFNumberSInt32Type, 3).get());
  EXPECT_NE(desc.find("value = +3, type = kCFNumberSInt32Type"), std::string::npos) << desc;
}

TEST(CFNumber, SInt128CreateAndConvert) {
  // Values beyond SInt64 keep all 128 bits and say so.
  using B = std::tuple<CFSInt128Struct, int64_t, double, bool, const char*>;
  for (const auto& [v, asInt64, asDouble, doubleExact, text] :
       {B{{0, uint64_t{1} << 63}, INT64_MAX, k2to63, true, "9223372036854775808"},
        B{{0, UINT64_MAX}, INT64_MAX, k2to64, false, "18446744073709551615"},
        B{{1, 0}, INT64_MAX, k2to64, true, "18446744073709551616"},
        B{{-1, (uint64_t{1} << 63) - 1}, INT64_MIN, -k2to63, false, "-9223372036854775809"},
        B{{-2, 5}, INT64_MIN, -36893488147419103232.0, false, "-36893488147419103227"},
        B{{INT64_MAX, UINT64_MAX}, INT64_MAX, k2to127, false, "170141183460469231731687303715884105727"},
        B{{INT64_MIN, 0}, INT64_MIN, -k2to127, true, "-170141183460469231731687303715884105728"}}) {
    auto n = make(kCFNumberSInt128Type, v);
    ASSERT_TRUE(n) << text;
    EXPECT_EQ(shape(n), std::make_tuple(kCFNumberSInt128Type, 16, false)) << text;
    EXPECT_EQ(get128(n.get()), std::make_tuple(true, v.high, v.low)) << text;
    EXPECT_EQ(get<int64_t>(n, kCFNumberLongLongType), want(false, asInt64)) << text;
    EXPECT_EQ(get<SInt8>(n, kCFNumberSInt8Type), want(false, SInt8(asInt64 < 0 ? INT8_MIN : INT8_MAX))) << text;
    EXPECT_EQ(get<double>(n, kCFNumberFloat64Type), want(doubleExact, asDouble)) << text;
    EXPECT_EQ(get<float>(n, kCFNumberFloat32Type), want(doubleExact, static_cast<float>(asDouble))) << text;
    EXPECT_EQ(formatted(n.get()), text);
  }
  std::string desc = describe(wide(0, UINT64_MAX).get());
  EXPECT_NE(desc.find("value = +18446744073709551615, type = kCFNumberSInt128Type"), std::string::npos) << desc;

  // Values that fit are stored as SInt64, as if created that way.
  using Fit = std::pair<CFSInt128Struct, int64_t>;
  for (const auto& [v, value] : {Fit{{0, 0}, 0}, Fit{{0, 42}, 42}, Fit{{-1, UINT64_MAX - 4}, -5},
                                 Fit{{0, INT64_MAX}, INT64_MAX}, Fit{{-1, uint64_t{1} << 63}, INT64_MIN}}) {
    auto n = make(kCFNumberSInt128Type, v);
    EXPECT_EQ(shape(n), std::make_tuple(kCFNumberSInt64Type, 8, false)) << value;
    EXPECT_EQ(get<int64_t>(n, kCFNumberSInt64Type), want(true, value));
    EXPECT_TRUE(CFEqual(n.get(), num(value).get())) << value;
    EXPECT_EQ(CFHash(n.get()), CFHash(num(value).get())) << value;
    EXPECT_EQ(formatted(n.get()), std::to_string(value));
  }

  // Every number reads as 128 bits: integers sign-extend, doubles truncate and saturate.
  using R = std::pair<CFRef<CFNumberRef>, std::tuple<bool, int64_t, uint64_t>>;
  for (const auto& [n, w] :
       {R{make(kCFNumberSInt8Type, int8_t{-5}), {true, -1, UINT64_MAX - 4}},
        R{make(kCFNumberSInt32Type, 1000), {true, 0, 1000}}, R{real(-2.75), {false, -1, UINT64_MAX - 1}},
        R{real(k2to64), {true, 1, 0}}, R{real(1e300), {false, INT64_MAX, UINT64_MAX}},
        R{real(k2to127), {false, INT64_MAX, UINT64_MAX}}, R{real(-k2to127), {true, INT64_MIN, 0}},
        R{CFRef<CFNumberRef>::retain(kCFNumberNegativeInfinity), {false, INT64_MIN, 0}},
        R{CFRef<CFNumberRef>::retain(kCFNumberNaN), {false, 0, 0}}})
    EXPECT_EQ(get128(n.get()), w) << formatted(n.get());
  auto bigF = make(kCFNumberFloat32Type, -1.5e30f);  // integral, far beyond 64 bits
  CFSInt128Struct w = {};
  EXPECT_TRUE(CFNumberGetValue(bigF.get(), kCFNumberSInt128Type, &w));
  auto bigW = make(kCFNumberSInt128Type, w);
  EXPECT_SAME(bigW.get(), bigF.get());
  EXPECT_EQ(get<float>(bigW, kCFNumberFloat32Type), want(true, -1.5e30f));
}

TEST(CFNumber, CompareAcrossTypesExactly) {
  // Strictly ascending: each compares below every later one, in both directions, and equals none.
  // NaN sorts below everything, even -inf; 2^53 + 1, 2^64 - 1 and the like must not be rounded
  // through a double.
  auto two63 = wide(0, uint64_t{1} << 63), u64max = wide(0, UINT64_MAX), two64 = wide(1, 0);
  auto min128 = wide(INT64_MIN, 0), max128 = wide(INT64_MAX, UINT64_MAX), three = make(kCFNumberSInt32Type, 3);
  // -2^65 just below -2^65 + 5, -3 just below a fraction.
  const auto ascending =
      refs(kCFNumberNaN, kCFNumberNegativeInfinity, real(-1e300), min128, real(-36893488147419103232.0), wide(-2, 5),
           num(INT64_MIN), wide(-1, UINT64_MAX - 2), real(-2.5), three, real(3.5), real(9007199254740992.0),
           num((int64_t{1} << 53) + 1), num(INT64_MAX), two63, u64max, real(k2to64), max128, real(k2to127),
           kCFNumberPositiveInfinity);
  for (size_t a = 0; a < ascending.size(); ++a) {
    for (size_t b = 0; b < ascending.size(); ++b) {
      auto x = static_cast<CFNumberRef>(ascending[a].get()), y = static_cast<CFNumberRef>(ascending[b].get());
      CFComparisonResult want = a < b ? kCFCompareLessThan : (a > b ? kCFCompareGreaterThan : kCFCompareEqualTo);
      EXPECT_EQ(CFNumberCompare(x, y, nullptr), want) << formatted(x) << " vs " << formatted(y);
      EXPECT_EQ(CFEqual(x, y), a == b) << formatted(x) << " vs " << formatted(y);
    }
  }

  // The same value in other types is equal and hashes alike, however it was made.
  const std::vector<CFRef<CFNumberRef>> same[] = {
      {three, num(3), make(kCFNumberSInt8Type, int8_t{3}), real(3.0), make(kCFNumberFloat32Type, 3.0f)},
      {num(0), real(-0.0)},
      {num(INT64_MIN), real(-k2to63)},
      {real(NAN), CFRef<CFNumberRef>::retain(kCFNumberNaN)},
      {two63, real(k2to63)},
      {two64, real(k2to64), make(kCFNumberFloat32Type, 18446744073709551616.0f)},
      {u64max, wide(0, UINT64_MAX)},
      {min128, real(-k2to127)}};
  for (const auto& group : same) {
    for (const auto& x : group) {
      for (const auto& y : group) {
        EXPECT_EQ(CFNumberCompare(x.get(), y.get(), nullptr), kCFCompareEqualTo) << formatted(x.get());
        EXPECT_SAME(x.get(), y.get()) << formatted(x.get()) << " vs " << formatted(y.get());
      }
    }
  }
  EXPECT_FALSE(CFEqual(make(kCFNumberFloat32Type, 0.1f).get(), real(0.1).get()));
  EXPECT_NE(CFHash(u64max.get()), CFHash(two64.get()));
  EXPECT_NE(CFHash(u64max.get()), CFHash(num(-1).get()));
}

}  // namespace
