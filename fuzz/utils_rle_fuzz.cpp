// Fuzzes the run-length decoder with arbitrary packets and checks the codec's round trip. The first four
// input bytes choose the decoder's capacity (at most 1 MiB); the buffer is allocated at exactly that size, and
// the source is a heap copy of exactly the remaining bytes, so ASan sees any access past either. Whatever the
// input, compressing it must stay within the documented bound, give the same bytes as the plain byte-by-byte
// packet scan below (the library's compressor searches word-wise), and decompress to the input.
#include <QXCore/QXUtils.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "utils_rle_fuzz: %s\n", what);
  std::abort();
}

constexpr uint32_t kMaxCapacity = 1u << 20;

// The packet rules one comparison at a time.
std::vector<uint8_t> plainCompress(const uint8_t* s, uint64_t n) {
  std::vector<uint8_t> out;
  uint64_t pos = 0;
  while (pos < n) {
    uint64_t count = 0;
    int same = 1;
    bool literal = false;
    bool run = false;
    while (count < 127 && pos + count < n - 1) {
      ++count;
      if (s[pos + count - 1] == s[pos + count]) {
        if (++same == 3) {
          if (literal) {
            count -= 2;
          } else {
            run = true;
          }
          break;
        }
      } else {
        same = 1;
        literal = true;
      }
    }
    if (run) {
      while (count < 126 && pos + count < n - 1 && s[pos + count] == s[pos + count + 1]) ++count;
      ++count;
      out.push_back(static_cast<uint8_t>(1 - static_cast<int>(count)));
      out.push_back(s[pos]);
    } else {
      if (count == 0) count = 1;
      out.push_back(static_cast<uint8_t>(count - 1));
      out.insert(out.end(), s + pos, s + pos + count);
    }
    pos += count;
  }
  out.push_back(0x80);
  return out;
}

void decodeArbitrary(const uint8_t* data, size_t size) {
  if (size < 4) return;
  uint32_t capacity = 0;
  std::memcpy(&capacity, data, 4);
  capacity %= kMaxCapacity + 1;
  const size_t n = size - 4;
  auto src = std::make_unique<uint8_t[]>(n == 0 ? 1 : n);
  if (n != 0) std::memcpy(src.get(), data + 4, n);
  auto dst = std::make_unique_for_overwrite<uint8_t[]>(capacity == 0 ? 1 : capacity);
  QXUtilsRLEDecompress(src.get(), n, dst.get(), capacity);
}

void roundTrip(const uint8_t* data, size_t size) {
  const uint64_t bound = size + size / 127 + 3;
  auto packed = std::make_unique<uint8_t[]>(bound);
  const uint64_t written = QXUtilsRLECompress(data, packed.get(), size);
  if (written == 0 || written > bound) fail("compressed size out of bounds");
  const std::vector<uint8_t> plain = plainCompress(data, size);
  if (plain.size() != written || std::memcmp(plain.data(), packed.get(), written) != 0) fail("packets differ");
  auto exact = std::make_unique<uint8_t[]>(written);
  std::memcpy(exact.get(), packed.get(), written);
  auto out = std::make_unique<uint8_t[]>(size == 0 ? 1 : size);
  std::memset(out.get(), 0, size);
  QXUtilsRLEDecompress(exact.get(), written, out.get(), size);
  if (size != 0 && std::memcmp(out.get(), data, size) != 0) fail("round trip changed the bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  decodeArbitrary(data, size);
  roundTrip(data, size);
  return 0;
}
