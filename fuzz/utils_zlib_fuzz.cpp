// Fuzzes the zlib decoder over a memory stream. The first two input bytes choose the destination
// capacity (0-65535; the buffer is allocated at exactly that size so ASan sees any write past it);
// the rest is read as one record. A record that decodes must fill the destination and consume
// every byte; whatever the input, compressing it and decoding the result must give it back.
#include <QXCore/QXStream.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "utils_zlib_fuzz: %s\n", what);
  std::abort();
}

QXStreamRef StreamOver(const uint8_t* bytes, size_t size) {
  CFDataRef data = CFDataCreate(nullptr, bytes, static_cast<CFIndex>(size));
  QXStreamRef stream = QXStreamCreateForData(data);
  CFRelease(data);
  if (stream == nullptr || QXStreamOpen(stream) != 0) fail("open");
  return stream;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  uint32_t capacity = static_cast<uint32_t>(data[0] | (data[1] << 8));
  const uint8_t* record = data + 2;
  size_t length = size - 2;

  std::unique_ptr<uint8_t[]> out(new uint8_t[capacity > 0 ? capacity : 1]);
  QXStreamRef in = StreamOver(record, length);
  int32_t status = QXUtilsLZWDecompressFromStream(in, static_cast<int32_t>(length), out.get(), capacity);
  if (status != 0 && status != -1) fail("unexpected status");
  uint64_t pos = 0;
  if (QXStreamGetPos(in, &pos) != 0 || pos > length) fail("read past the record");
  if (status == 0 && pos != length) fail("success without consuming the record");
  QXStreamRelease(in);

  // Round trip of the raw input.
  QXStreamRef packed = StreamOver(nullptr, 0);
  if (QXUtilsLZWCompressToStream(record, static_cast<uint32_t>(length), packed) != 0) fail("compress");
  CFDataRef bytes = QXStreamGetData(packed);
  CFIndex packedLength = CFDataGetLength(bytes);
  if (QXStreamSetPos(packed, 0) != 0) fail("rewind");
  std::unique_ptr<uint8_t[]> back(new uint8_t[length > 0 ? length : 1]);
  if (QXUtilsLZWDecompressFromStream(packed, static_cast<int32_t>(packedLength), back.get(),
                                     static_cast<uint32_t>(length)) != 0)
    fail("decompress own record");
  if (length > 0 && std::memcmp(back.get(), record, length) != 0) fail("round trip differs");
  QXStreamRelease(packed);
  return 0;
}
