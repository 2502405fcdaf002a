// Run-length (PackBits) coding and repeated-pattern fill and comparison.
//
// The compressor's packet choices are part of the stored format: files written by earlier versions compare
// byte for byte with ours, so the scan below keeps its exact rules (runs of 3 to 127 bytes, pairs left inside
// literals, and a literal never taking the last source byte unless it stands alone).
#include <QXCore/QXUtils.h>

#include <bit>
#include <cstdint>
#include <cstring>

namespace {

constexpr uint8_t kNoOp = 0x80;
constexpr uint64_t kMaxPacket = 127;  // longest packet the compressor writes, literal or run
constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;

uint64_t load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// 0x80 in every byte lane of v that is zero, 0 elsewhere (exact: no borrow between lanes).
uint64_t zeroLanes(uint64_t v) { return ~(((v & kLow7) + kLow7) | v | kLow7); }

// The smallest k in [from, last] with s[k] == s[k + 1] == s[k + 2], or last + 1. s[last + 2] must be readable.
// Noisy photo rows rarely hold even a pair, so eight positions are tested per step.
uint64_t findTriple(const uint8_t* s, uint64_t from, uint64_t last) {
  uint64_t k = from;
  if constexpr (std::endian::native == std::endian::little) {
    // Reads s[k .. k + 9]; stay within s[.. last + 2].
    for (; k + 7 <= last; k += 8) {
      const uint64_t a = load64(s + k);
      const uint64_t b = load64(s + k + 1);
      const uint64_t c = load64(s + k + 2);
      const uint64_t hit = zeroLanes(a ^ b) & zeroLanes(b ^ c);
      if (hit != 0) return k + static_cast<uint64_t>(std::countr_zero(hit) / 8);
    }
  }
  for (; k <= last; ++k) {
    if (s[k] == s[k + 1] && s[k + 1] == s[k + 2]) return k;
  }
  return last + 1;
}

// How many of s[from .. last] equal value, counted from `from` until the first that differs.
uint64_t countEqual(const uint8_t* s, uint64_t from, uint64_t last, uint8_t value) {
  uint64_t k = from;
  if constexpr (std::endian::native == std::endian::little) {
    const uint64_t wide = kOnes * value;
    for (; k + 7 <= last; k += 8) {
      const uint64_t differ = ~zeroLanes(load64(s + k) ^ wide) & (kOnes << 7);
      if (differ != 0) return k + static_cast<uint64_t>(std::countr_zero(differ) / 8) - from;
    }
  }
  while (k <= last && s[k] == value) ++k;
  return k - from;
}

}  // namespace

// Each packet follows one scan from pos that compares neighbours s[pos + count - 1] and s[pos + count] for
// count = 1, 2, ... up to 127, stopping one short of the last byte. Three equal bytes at the start make a run;
// three equal bytes later end the literal just before them; otherwise the literal takes everything scanned.
// The scan is done here as a search for the first triple, which gives the same packets without the byte loop.
uint64_t QXUtilsRLECompress(const void* source, void* destination, uint64_t sourceLength) {
  if (destination == nullptr || (source == nullptr && sourceLength != 0)) return 0;
  const auto* s = static_cast<const uint8_t*>(source);
  auto* out = static_cast<uint8_t*>(destination);
  uint8_t* const start = out;
  const uint64_t n = sourceLength;

  uint64_t pos = 0;
  while (pos < n) {
    const uint64_t left = n - 1 - pos;  // successors available to compare with
    const uint64_t limit = left < kMaxPacket ? left : kMaxPacket;
    if (limit >= 2 && s[pos] == s[pos + 1] && s[pos] == s[pos + 2]) {
      // A run of 3 to 127 bytes; it may not take the byte after the comparison window (pos + limit).
      const uint64_t runLimit = limit < kMaxPacket - 1 ? limit : kMaxPacket - 1;
      const uint64_t count = 3 + countEqual(s, pos + 3, pos + runLimit, s[pos]);
      *out++ = static_cast<uint8_t>(1 - static_cast<int>(count));
      *out++ = s[pos];
      pos += count;
      continue;
    }
    uint64_t count = limit;  // no triple within the window: the literal takes it all
    if (limit >= 3) {
      const uint64_t k = findTriple(s, pos + 1, pos + limit - 2);
      if (k <= pos + limit - 2) count = k - pos;
    }
    if (count == 0) count = 1;  // the last byte on its own
    *out++ = static_cast<uint8_t>(count - 1);
    std::memcpy(out, s + pos, count);
    out += count;
    pos += count;
  }
  *out++ = kNoOp;
  return static_cast<uint64_t>(out - start);
}

void QXUtilsRLEDecompress(const void* source, uint64_t sourceLength, void* destination, uint64_t destinationCapacity) {
  if (source == nullptr || sourceLength == 0) return;
  if (destination == nullptr) destinationCapacity = 0;
  const auto* s = static_cast<const uint8_t*>(source);
  auto* out = static_cast<uint8_t*>(destination);
  uint64_t produced = 0;
  uint64_t pos = 0;
  while (pos < sourceLength) {
    const auto header = static_cast<int8_t>(s[pos++]);
    const uint64_t avail = sourceLength - pos;
    if (header >= 0) {
      const uint64_t len = static_cast<uint64_t>(header) + 1;
      // A literal cut short by the end of the source is dropped like one that does not fit: partial
      // data would be indistinguishable from good data to a caller who gets no count back.
      if (len > avail || len > destinationCapacity - produced) return;
      std::memcpy(out + produced, s + pos, len);
      produced += len;
      pos += len;
    } else if (header != -128) {
      const uint64_t len = static_cast<uint64_t>(1 - header);
      if (avail == 0 || len > destinationCapacity - produced) return;
      std::memset(out + produced, s[pos], len);
      produced += len;
      pos += 1;
    }
  }
}

QXStatus QXUtilsMemFillPattern(const void* pattern, int32_t patternLength, void* buffer, int32_t bufferLength) {
  if (patternLength <= 0 || bufferLength < 0 || bufferLength % patternLength != 0) return kQXErrInvalidArgument;
  if (bufferLength == 0) return kQXNoErr;
  if (pattern == nullptr || buffer == nullptr) return kQXErrInvalidArgument;
  auto* b = static_cast<uint8_t*>(buffer);
  const auto total = static_cast<size_t>(bufferLength);
  size_t filled = static_cast<size_t>(patternLength);
  std::memmove(b, pattern, filled);  // memmove: the pattern may lie inside the buffer
  // Double the filled prefix each step; it is a whole number of patterns, so copies stay aligned.
  while (filled < total) {
    const size_t step = filled < total - filled ? filled : total - filled;
    std::memcpy(b + filled, b, step);
    filled += step;
  }
  return kQXNoErr;
}

bool QXUtilsMemComparePattern(const void* pattern, int32_t patternLength, const void* buffer, int32_t bufferLength) {
  if (patternLength <= 0 || bufferLength < 0 || bufferLength % patternLength != 0) return false;
  if (bufferLength == 0) return true;
  if (pattern == nullptr || buffer == nullptr) return false;
  const auto* b = static_cast<const uint8_t*>(buffer);
  const auto p = static_cast<size_t>(patternLength);
  const auto total = static_cast<size_t>(bufferLength);
  // The buffer repeats its first block exactly when every byte equals the one a block earlier.
  return std::memcmp(b, pattern, p) == 0 && std::memcmp(b + p, b, total - p) == 0;
}
