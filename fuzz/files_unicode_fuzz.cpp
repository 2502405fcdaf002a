// Fuzzes ReadUnicodeStringWithLenCopy over a memory stream. The first input byte chooses the byte
// order (bit 0: big-endian); the rest is a sequence of length-prefixed strings, read until the
// first failure. Every string read must write back to exactly the bytes it was read from, a
// failure must hand out no string, and the lengths must never run past the data.
#include <QXCore/QXStream.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "files_unicode_fuzz: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  QXStreamByteOrder order = (data[0] & 1) ? kQXStreamByteOrderBigEndian : kQXStreamByteOrderLittleEndian;
  CFDataRef input = CFDataCreate(nullptr, data + 1, static_cast<CFIndex>(size - 1));
  QXStreamRef stream = QXStreamCreateForData(input);
  CFRelease(input);
  if (stream == nullptr || QXStreamOpen(stream) != 0) fail("open");
  QXStreamSetByteOrder(stream, order);

  uint64_t pos = 0;
  for (;;) {
    CFStringRef string = reinterpret_cast<CFStringRef>(stream);  // must be replaced by NULL on failure
    int32_t status = QXStreamReadUnicodeStringWithLenCopy(stream, &string);
    if (status != 0) {
      if (string != nullptr) fail("a string handed out on failure");
      break;
    }
    if (string == nullptr) fail("success without a string");
    uint64_t next = 0;
    if (QXStreamGetPos(stream, &next) != 0 || next > size - 1) fail("read past the data");

    // Writing the string back gives the bytes it came from.
    QXStreamRef copy = QXStreamCreateForData(nullptr);
    if (copy == nullptr || QXStreamOpen(copy) != 0) fail("open copy");
    QXStreamSetByteOrder(copy, order);
    if (QXStreamWriteUnicodeStringWithLen(copy, string) != 0) fail("write back");
    CFDataRef written = QXStreamGetData(copy);
    if (static_cast<uint64_t>(CFDataGetLength(written)) != next - pos ||
        std::memcmp(CFDataGetBytePtr(written), data + 1 + pos, next - pos) != 0)
      fail("round trip differs");
    QXStreamRelease(copy);
    CFRelease(string);
    pos = next;
  }
  QXStreamRelease(stream);
  return 0;
}
