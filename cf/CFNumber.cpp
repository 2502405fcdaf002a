// Numbers and booleans.
//
// A number keeps its canonical type and its value either as a 128-bit integer (every integer type,
// sign-extended) or as a double (a Float32 widens to double exactly), so every comparison across
// types can be exact.
#include <CoreFoundation/CFNumber.h>

#include "CFRef.h"
#include "CFRuntime.h"
#include "CFStringInternal.h"

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

namespace {

// __extension__ keeps -Wpedantic quiet about the GCC/Clang 128-bit types.
__extension__ typedef __int128 Int128;
__extension__ typedef unsigned __int128 UInt128;

constexpr Int128 kInt128Max = static_cast<Int128>(~UInt128{0} >> 1);
constexpr Int128 kInt128Min = -kInt128Max - 1;
constexpr double kTwo127 = 170141183460469231731687303715884105728.0;  // 2^127, exactly representable

bool fitsInt64(Int128 v) { return v >= INT64_MIN && v <= INT64_MAX; }

Int128 fromStruct(const CFSInt128Struct& s) {
  return static_cast<Int128>(static_cast<UInt128>(static_cast<uint64_t>(s.high)) << 64 | s.low);
}

CFSInt128Struct toStruct(Int128 v) { return {static_cast<int64_t>(v >> 64), static_cast<uint64_t>(v)}; }

bool isFloatCanonical(CFNumberType t) { return t == kCFNumberFloat32Type || t == kCFNumberFloat64Type; }

// The canonical type for any of the 16 types, 0 for an unknown one.
CFNumberType canonicalType(CFNumberType t) {
  switch (t) {
    case kCFNumberSInt8Type:
    case kCFNumberCharType: return kCFNumberSInt8Type;
    case kCFNumberSInt16Type:
    case kCFNumberShortType: return kCFNumberSInt16Type;
    case kCFNumberSInt32Type:
    case kCFNumberIntType: return kCFNumberSInt32Type;
    case kCFNumberSInt64Type:
    case kCFNumberLongType:
    case kCFNumberLongLongType:
    case kCFNumberCFIndexType:
    case kCFNumberNSIntegerType: return kCFNumberSInt64Type;
    case kCFNumberFloat32Type:
    case kCFNumberFloatType: return kCFNumberFloat32Type;
    case kCFNumberFloat64Type:
    case kCFNumberDoubleType:
    case kCFNumberCGFloatType: return kCFNumberFloat64Type;
    case kCFNumberSInt128Type: return kCFNumberSInt128Type;
    default: return 0;
  }
}

CFIndex byteSize(CFNumberType canonical) {
  switch (canonical) {
    case kCFNumberSInt8Type: return 1;
    case kCFNumberSInt16Type: return 2;
    case kCFNumberSInt32Type: return 4;
    case kCFNumberFloat32Type: return 4;
    case kCFNumberSInt128Type: return 16;
    default: return 8;
  }
}

const char* typeName(CFNumberType canonical) {
  switch (canonical) {
    case kCFNumberSInt8Type: return "kCFNumberSInt8Type";
    case kCFNumberSInt16Type: return "kCFNumberSInt16Type";
    case kCFNumberSInt32Type: return "kCFNumberSInt32Type";
    case kCFNumberSInt64Type: return "kCFNumberSInt64Type";
    case kCFNumberFloat32Type: return "kCFNumberFloat32Type";
    case kCFNumberSInt128Type: return "kCFNumberSInt128Type";
    default: return "kCFNumberFloat64Type";
  }
}

// Exact order of an integer and a double, without rounding either to the other's type.
CFComparisonResult compareIntDouble(Int128 i, double d) {
  if (std::isnan(d)) return kCFCompareGreaterThan;  // NaN sorts below everything
  if (d >= kTwo127) return kCFCompareLessThan;
  if (d < -kTwo127) return kCFCompareGreaterThan;
  double whole = std::trunc(d);
  auto t = static_cast<Int128>(whole);
  if (i < t) return kCFCompareLessThan;
  if (i > t) return kCFCompareGreaterThan;
  double frac = d - whole;
  if (frac > 0) return kCFCompareLessThan;
  if (frac < 0) return kCFCompareGreaterThan;
  return kCFCompareEqualTo;
}

CFComparisonResult compareDoubles(double a, double b) {
  bool na = std::isnan(a), nb = std::isnan(b);
  if (na || nb) return na && nb ? kCFCompareEqualTo : (na ? kCFCompareLessThan : kCFCompareGreaterThan);
  if (a < b) return kCFCompareLessThan;
  if (a > b) return kCFCompareGreaterThan;
  return kCFCompareEqualTo;
}

CFComparisonResult invert(CFComparisonResult r) { return static_cast<CFComparisonResult>(-r); }

}  // namespace

struct __CFNumber : __CFRuntimeBase {
  // Two words rather than an Int128 member, so objects need only 8-byte alignment from allocators.
  struct Wide {
    uint64_t low;
    int64_t high;
  };
  CFNumberType type;  // canonical
  union Value {
    Wide i;
    double d;
  } value;

  constexpr __CFNumber(const qxcf::RuntimeClass* cls, double d)
      : __CFRuntimeBase(cls, qxcf::kImmortalCount), type(kCFNumberFloat64Type), value{.d = d} {}
  __CFNumber(CFAllocatorRef alloc, const qxcf::RuntimeClass* cls, CFNumberType t, Value v)
      : __CFRuntimeBase(cls, 1, alloc), type(t), value(v) {}

  bool isFloat() const { return isFloatCanonical(type); }
  Int128 integer() const {
    return static_cast<Int128>(static_cast<UInt128>(static_cast<uint64_t>(value.i.high)) << 64 | value.i.low);
  }
};

struct __CFBoolean : __CFRuntimeBase {
  bool value;
  constexpr __CFBoolean(const qxcf::RuntimeClass* cls, bool v) : __CFRuntimeBase(cls, qxcf::kImmortalCount), value(v) {}
};

namespace {

const __CFNumber* num(CFTypeRef cf) { return static_cast<const __CFNumber*>(cf); }

CFComparisonResult compareNumbers(const __CFNumber* a, const __CFNumber* b) {
  if (!a->isFloat() && !b->isFloat()) {
    Int128 x = a->integer(), y = b->integer();
    if (x == y) return kCFCompareEqualTo;
    return x < y ? kCFCompareLessThan : kCFCompareGreaterThan;
  }
  if (a->isFloat() && b->isFloat()) return compareDoubles(a->value.d, b->value.d);
  if (!a->isFloat()) return compareIntDouble(a->integer(), b->value.d);
  return invert(compareIntDouble(b->integer(), a->value.d));
}

bool numberEqual(CFTypeRef a, CFTypeRef b) { return compareNumbers(num(a), num(b)) == kCFCompareEqualTo; }

// SInt64-range values keep the hash they had before 128-bit numbers existed.
CFHashCode integerHash(Int128 v) {
  if (fitsInt64(v)) return qxcf::mixHash(static_cast<uint64_t>(static_cast<int64_t>(v)));
  // The constant keeps a UInt64 u (high word 0) from hashing like the SInt64 with u's bits.
  uint64_t high = static_cast<uint64_t>(v >> 64) ^ 0x9e3779b97f4a7c15ULL;
  return qxcf::mixHash(static_cast<uint64_t>(v) ^ qxcf::mixHash(high));
}

// Equal values hash alike whatever their type: integral doubles hash as the integer.
CFHashCode numberHash(CFTypeRef cf) {
  const __CFNumber* n = num(cf);
  if (!n->isFloat()) return integerHash(n->integer());
  double d = n->value.d;
  if (std::isnan(d)) return 0x7ff8000000000000ULL;
  if (d >= -kTwo127 && d < kTwo127 && std::trunc(d) == d) return integerHash(static_cast<Int128>(d));
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  return qxcf::mixHash(bits);
}

// std::to_chars has no __int128 overload in strict C++20 mode.
std::string decimal(Int128 v) {
  UInt128 m = v < 0 ? UInt128{0} - static_cast<UInt128>(v) : static_cast<UInt128>(v);
  char buf[48];
  char* p = buf + sizeof buf;
  do {
    *--p = static_cast<char>('0' + static_cast<int>(m % 10));
    m /= 10;
  } while (m != 0);
  if (v < 0) *--p = '-';
  return std::string(p, buf + sizeof buf);
}

// The bare value: decimal integers, the shortest round-tripping form of floats.
std::string valueText(const __CFNumber* n) {
  if (!n->isFloat()) return decimal(n->integer());
  double d = n->value.d;
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
  char buf[64];
  std::to_chars_result r = n->type == kCFNumberFloat32Type ? std::to_chars(buf, buf + sizeof buf, static_cast<float>(d))
                                                           : std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, r.ptr);
}

CFStringRef numberFormattingDesc(CFTypeRef cf) { return qxcf::createStringUTF8(valueText(num(cf))); }

CFStringRef numberDebugDesc(CFTypeRef cf) {
  const __CFNumber* n = num(cf);
  std::string v = valueText(n);
  if (v[0] != '-') v.insert(v.begin(), '+');
  char head[96];
  std::snprintf(head, sizeof head, "<CFNumber %p [%p]>{value = ", cf, static_cast<const void*>(CFGetAllocator(cf)));
  return qxcf::createStringUTF8(std::string(head) + v + ", type = " + typeName(n->type) + "}");
}

constexpr qxcf::RuntimeClass kNumberClass = {qxcf::kTypeIDNumber, "CFNumber",           nullptr,        numberEqual,
                                             numberHash,          numberFormattingDesc, numberDebugDesc};

CFStringRef booleanFormattingDesc(CFTypeRef cf) {
  return static_cast<const __CFBoolean*>(cf)->value ? CFSTR("true") : CFSTR("false");
}

CFStringRef booleanDebugDesc(CFTypeRef cf) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "<CFBoolean %p [%p]>{value = %s}", cf,
                static_cast<const void*>(kCFAllocatorSystemDefault),
                static_cast<const __CFBoolean*>(cf)->value ? "true" : "false");
  return qxcf::createStringUTF8(buf);
}

CFHashCode booleanHash(CFTypeRef cf) { return static_cast<const __CFBoolean*>(cf)->value ? 0x1e3 : 0x1e5; }

constexpr qxcf::RuntimeClass kBooleanClass = {qxcf::kTypeIDBoolean, "CFBoolean",           nullptr,         nullptr,
                                              booleanHash,          booleanFormattingDesc, booleanDebugDesc};

constinit __CFBoolean gTrue(&kBooleanClass, true);
constinit __CFBoolean gFalse(&kBooleanClass, false);
constinit __CFNumber gPositiveInfinity(&kNumberClass, std::numeric_limits<double>::infinity());
constinit __CFNumber gNegativeInfinity(&kNumberClass, -std::numeric_limits<double>::infinity());
constinit __CFNumber gNaN(&kNumberClass, std::numeric_limits<double>::quiet_NaN());

template <class T>
T load(const void* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class T>
void store(void* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

// Integer → integer of `bits` bits, saturating.
template <class T>
bool storeIntFromInt(void* out, Int128 i) {
  constexpr Int128 lo = std::numeric_limits<T>::min(), hi = std::numeric_limits<T>::max();
  T v = static_cast<T>(i < lo ? lo : (i > hi ? hi : i));
  store(out, v);
  return static_cast<Int128>(v) == i;
}

// Double → integer: truncation toward zero, saturation outside the range, NaN as 0.
template <class T>
bool storeIntFromDouble(void* out, double d) {
  constexpr T lo = std::numeric_limits<T>::min(), hi = std::numeric_limits<T>::max();
  T v;
  if (std::isnan(d)) {
    v = 0;
  } else if (d < static_cast<double>(lo)) {
    v = lo;
  } else if (d >= -static_cast<double>(lo)) {  // -lo is 2^(bits-1), exact as a double
    v = hi;
  } else {
    v = static_cast<T>(std::trunc(d));
  }
  store(out, v);
  return !std::isnan(d) && compareIntDouble(v, d) == kCFCompareEqualTo;
}

// The 128-bit form of storeIntFromDouble; numeric_limits has no __int128 in strict mode.
bool storeInt128FromDouble(void* out, double d) {
  Int128 v;
  if (std::isnan(d)) {
    v = 0;
  } else if (d < -kTwo127) {
    v = kInt128Min;
  } else if (d >= kTwo127) {
    v = kInt128Max;
  } else {
    v = static_cast<Int128>(std::trunc(d));
  }
  store(out, toStruct(v));
  return !std::isnan(d) && compareIntDouble(v, d) == kCFCompareEqualTo;
}

bool storeFloatFromDouble(void* out, double d) {
  constexpr double fmax = std::numeric_limits<float>::max();
  float f;
  if (std::isnan(d)) {
    store(out, std::numeric_limits<float>::quiet_NaN());
    return true;
  }
  if (std::isfinite(d) && d > fmax) {
    f = std::numeric_limits<float>::max();
  } else if (std::isfinite(d) && d < -fmax) {
    f = -std::numeric_limits<float>::max();
  } else {
    f = static_cast<float>(d);
  }
  store(out, f);
  return static_cast<double>(f) == d;
}

}  // namespace

const CFBooleanRef kCFBooleanTrue = &gTrue;
const CFBooleanRef kCFBooleanFalse = &gFalse;
const CFNumberRef kCFNumberPositiveInfinity = &gPositiveInfinity;
const CFNumberRef kCFNumberNegativeInfinity = &gNegativeInfinity;
const CFNumberRef kCFNumberNaN = &gNaN;

CFTypeID CFBooleanGetTypeID(void) { return qxcf::kTypeIDBoolean; }

Boolean CFBooleanGetValue(CFBooleanRef boolean) { return boolean != nullptr && boolean->value; }

CFTypeID CFNumberGetTypeID(void) { return qxcf::kTypeIDNumber; }

CFNumberRef CFNumberCreate(CFAllocatorRef allocator, CFNumberType theType, const void* valuePtr) {
  CFNumberType t = canonicalType(theType);
  if (t == 0 || valuePtr == nullptr) return nullptr;
  __CFNumber::Value v{};
  Int128 i = 0;
  switch (t) {
    case kCFNumberSInt8Type: i = load<int8_t>(valuePtr); break;
    case kCFNumberSInt16Type: i = load<int16_t>(valuePtr); break;
    case kCFNumberSInt32Type: i = load<int32_t>(valuePtr); break;
    case kCFNumberSInt64Type: i = load<int64_t>(valuePtr); break;
    case kCFNumberSInt128Type:
      i = fromStruct(load<CFSInt128Struct>(valuePtr));
      if (fitsInt64(i)) t = kCFNumberSInt64Type;  // as Apple does: the wide type only when needed
      break;
    case kCFNumberFloat32Type: v.d = load<float>(valuePtr); break;
    default: v.d = load<double>(valuePtr); break;
  }
  if (!isFloatCanonical(t)) {
    CFSInt128Struct w = toStruct(i);
    v.i = {w.low, w.high};
  }
  return qxcf::cfCreate<__CFNumber>(allocator, 0, &kNumberClass, t, v);
}

CFNumberType CFNumberGetType(CFNumberRef number) { return number->type; }

CFIndex CFNumberGetByteSize(CFNumberRef number) { return byteSize(number->type); }

Boolean CFNumberIsFloatType(CFNumberRef number) { return number->isFloat(); }

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr) {
  CFNumberType t = canonicalType(theType);
  if (number == nullptr || t == 0 || valuePtr == nullptr) return false;
  if (!number->isFloat()) {
    Int128 i = number->integer();
    switch (t) {
      case kCFNumberSInt8Type: return storeIntFromInt<int8_t>(valuePtr, i);
      case kCFNumberSInt16Type: return storeIntFromInt<int16_t>(valuePtr, i);
      case kCFNumberSInt32Type: return storeIntFromInt<int32_t>(valuePtr, i);
      case kCFNumberSInt64Type: return storeIntFromInt<int64_t>(valuePtr, i);
      case kCFNumberSInt128Type: store(valuePtr, toStruct(i)); return true;
      case kCFNumberFloat32Type: {
        auto f = static_cast<float>(i);
        store(valuePtr, f);
        return compareIntDouble(i, f) == kCFCompareEqualTo;
      }
      default: {
        auto d = static_cast<double>(i);
        store(valuePtr, d);
        return compareIntDouble(i, d) == kCFCompareEqualTo;
      }
    }
  }
  double d = number->value.d;
  switch (t) {
    case kCFNumberSInt8Type: return storeIntFromDouble<int8_t>(valuePtr, d);
    case kCFNumberSInt16Type: return storeIntFromDouble<int16_t>(valuePtr, d);
    case kCFNumberSInt32Type: return storeIntFromDouble<int32_t>(valuePtr, d);
    case kCFNumberSInt64Type: return storeIntFromDouble<int64_t>(valuePtr, d);
    case kCFNumberSInt128Type: return storeInt128FromDouble(valuePtr, d);
    case kCFNumberFloat32Type: return storeFloatFromDouble(valuePtr, d);
    default: store(valuePtr, d); return true;
  }
}

CFComparisonResult CFNumberCompare(CFNumberRef number, CFNumberRef otherNumber, void*) {
  return compareNumbers(number, otherNumber);
}
