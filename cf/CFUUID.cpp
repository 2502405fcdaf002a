// UUIDs: 16 bytes, random ones from libuuid.
#include <CoreFoundation/CFUUID.h>

#include "CFRef.h"
#include "CFRuntime.h"
#include "CFStringInternal.h"

#include <uuid/uuid.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

struct __CFUUID : __CFRuntimeBase {
  CFUUIDBytes bytes;
  __CFUUID(CFAllocatorRef alloc, const qxcf::RuntimeClass* cls, const CFUUIDBytes& b, int32_t count = 1)
      : __CFRuntimeBase(cls, count, alloc), bytes(b) {}
};

namespace {

using Raw = std::array<UInt8, 16>;

Raw raw(const CFUUIDBytes& b) {
  Raw r;
  std::memcpy(r.data(), &b, 16);
  return r;
}

std::string uuidText(const CFUUIDBytes& b) {
  Raw r = raw(b);
  char buf[37];
  std::snprintf(buf, sizeof buf, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", r[0], r[1],
                r[2], r[3], r[4], r[5], r[6], r[7], r[8], r[9], r[10], r[11], r[12], r[13], r[14], r[15]);
  return buf;
}

bool uuidEqual(CFTypeRef a, CFTypeRef b) {
  return std::memcmp(&static_cast<const __CFUUID*>(a)->bytes, &static_cast<const __CFUUID*>(b)->bytes, 16) == 0;
}

CFHashCode uuidHash(CFTypeRef cf) {
  uint64_t lo, hi;
  std::memcpy(&lo, &static_cast<const __CFUUID*>(cf)->bytes, 8);
  std::memcpy(&hi, reinterpret_cast<const UInt8*>(&static_cast<const __CFUUID*>(cf)->bytes) + 8, 8);
  return qxcf::mixHash(lo ^ (hi * 0x9E3779B97F4A7C15ULL));
}

CFStringRef uuidDesc(CFTypeRef cf) {
  char head[96];
  std::snprintf(head, sizeof head, "<CFUUID %p [%p]> ", cf, static_cast<const void*>(CFGetAllocator(cf)));
  return qxcf::createStringUTF8(head + uuidText(static_cast<const __CFUUID*>(cf)->bytes));
}

constexpr qxcf::RuntimeClass kUUIDClass = {qxcf::kTypeIDUUID, "CFUUID", nullptr, uuidEqual,
                                           uuidHash,          nullptr,  uuidDesc};

CFUUIDRef make(CFAllocatorRef alloc, const CFUUIDBytes& b) {
  return qxcf::cfCreate<__CFUUID>(alloc, 0, &kUUIDClass, b);
}

CFUUIDBytes fromBytes(UInt8 b0, UInt8 b1, UInt8 b2, UInt8 b3, UInt8 b4, UInt8 b5, UInt8 b6, UInt8 b7, UInt8 b8,
                      UInt8 b9, UInt8 b10, UInt8 b11, UInt8 b12, UInt8 b13, UInt8 b14, UInt8 b15) {
  return CFUUIDBytes{b0, b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11, b12, b13, b14, b15};
}

int hexValue(UniChar c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

CFTypeID CFUUIDGetTypeID(void) { return qxcf::kTypeIDUUID; }

CFUUIDRef CFUUIDCreate(CFAllocatorRef alloc) {
  uuid_t u;
  uuid_generate_random(u);
  CFUUIDBytes b;
  std::memcpy(&b, u, 16);
  return make(alloc, b);
}

CFUUIDRef CFUUIDCreateWithBytes(CFAllocatorRef alloc, UInt8 byte0, UInt8 byte1, UInt8 byte2, UInt8 byte3, UInt8 byte4,
                                UInt8 byte5, UInt8 byte6, UInt8 byte7, UInt8 byte8, UInt8 byte9, UInt8 byte10,
                                UInt8 byte11, UInt8 byte12, UInt8 byte13, UInt8 byte14, UInt8 byte15) {
  return make(alloc, fromBytes(byte0, byte1, byte2, byte3, byte4, byte5, byte6, byte7, byte8, byte9, byte10, byte11,
                               byte12, byte13, byte14, byte15));
}

CFUUIDRef CFUUIDCreateFromString(CFAllocatorRef alloc, CFStringRef uuidStr) {
  if (uuidStr == nullptr) return nullptr;
  std::u16string_view s = qxcf::chars(uuidStr);
  if (s.size() == 38 && s.front() == u'{' && s.back() == u'}') s = s.substr(1, 36);
  if (s.size() != 36) return nullptr;
  Raw r{};
  size_t n = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (s[i] != u'-') return nullptr;
      continue;
    }
    int hi = hexValue(s[i]), lo = hexValue(s[i + 1]);
    if (hi < 0 || lo < 0) return nullptr;
    r[n++] = static_cast<UInt8>(hi << 4 | lo);
    ++i;
  }
  CFUUIDBytes b;
  std::memcpy(&b, r.data(), 16);
  return make(alloc, b);
}

CFStringRef CFUUIDCreateString(CFAllocatorRef alloc, CFUUIDRef uuid) {
  if (uuid == nullptr) return nullptr;
  std::string text = uuidText(uuid->bytes);
  return qxcf::createStringUTF8(alloc, text.data(), text.size());
}

CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef, UInt8 byte0, UInt8 byte1, UInt8 byte2, UInt8 byte3,
                                         UInt8 byte4, UInt8 byte5, UInt8 byte6, UInt8 byte7, UInt8 byte8, UInt8 byte9,
                                         UInt8 byte10, UInt8 byte11, UInt8 byte12, UInt8 byte13, UInt8 byte14,
                                         UInt8 byte15) {
  // Constants live for the process: the table and its objects are deliberately never freed.
  static std::mutex* lock = new std::mutex;
  static auto* table = new std::map<Raw, __CFUUID*>;
  CFUUIDBytes b = fromBytes(byte0, byte1, byte2, byte3, byte4, byte5, byte6, byte7, byte8, byte9, byte10, byte11,
                            byte12, byte13, byte14, byte15);
  std::lock_guard guard(*lock);
  __CFUUID*& slot = (*table)[raw(b)];
  if (slot == nullptr) slot = new __CFUUID(nullptr, &kUUIDClass, b, qxcf::kImmortalCount);
  return slot;
}

CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid) { return uuid->bytes; }

CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef alloc, CFUUIDBytes bytes) { return make(alloc, bytes); }
