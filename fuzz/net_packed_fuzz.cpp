// Fuzzes the reader of packed message bodies. Whatever the bytes, it must return a status or a
// dictionary; a dictionary must hold "raw" with exactly the R bytes that follow the first length,
// and "--content--" equal to the input. A message built from it must carry those raw bytes, none
// of the two keys among its fields, and pack again into a body that reads back the same.
#include <QXCore/QXMessage.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cf/CFRef.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "net_packed_fuzz: %s\n", what);
  std::abort();
}

bool SameBytes(CFDataRef data, const uint8_t* bytes, size_t size) {
  return data != nullptr && CFGetTypeID(data) == CFDataGetTypeID() && size_t(CFDataGetLength(data)) == size &&
         (size == 0 || std::memcmp(CFDataGetBytePtr(data), bytes, size) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto body = qxcf::adopt(CFDataCreate(nullptr, data, CFIndex(size)));
  CFDictionaryRef out = reinterpret_cast<CFDictionaryRef>(1);
  const QXStatus status = QXMessageCopyUnpacked(body.get(), &out);
  if (status != 0) {
    if (out != nullptr) fail("a refused body left a dictionary");
    return 0;
  }
  auto info = qxcf::adopt(out);
  if (size < 8) fail("a body shorter than its two lengths was accepted");
  const uint64_t raw = (uint64_t{data[0]} << 24) | (uint64_t{data[1]} << 16) | (uint64_t{data[2]} << 8) | data[3];
  const auto* rawData = static_cast<CFDataRef>(CFDictionaryGetValue(info.get(), CFSTR("raw")));
  if (raw > size - 8 || !SameBytes(rawData, data + 4, size_t(raw))) fail("\"raw\" is not the announced bytes");
  if (!SameBytes(static_cast<CFDataRef>(CFDictionaryGetValue(info.get(), CFSTR("--content--"))), data, size))
    fail("\"--content--\" is not the whole body");

  CBaseMsg message(info.get());
  if (!SameBytes(message.GetRawContent(), data + 4, size_t(raw))) fail("the message lost its raw bytes");
  if (CFDictionaryContainsKey(message.GetInfo(), CFSTR("raw")) ||
      CFDictionaryContainsKey(message.GetInfo(), CFSTR("--content--")))
    fail("the message kept a key of the packed form among its fields");
  auto packed = qxcf::adopt(message.GetPackedContent());
  if (!packed) return 0;  // fields that parse need not write back (a date out of range, say)
  CFDictionaryRef again = nullptr;
  if (QXMessageCopyUnpacked(packed.get(), &again) != 0) fail("a packed message does not read back");
  auto second = qxcf::adopt(again);
  if (!SameBytes(static_cast<CFDataRef>(CFDictionaryGetValue(second.get(), CFSTR("raw"))), data + 4, size_t(raw)))
    fail("the raw bytes changed on the way round");
  return 0;
}
