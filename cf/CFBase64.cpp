// Base64 for the <data> elements of property lists: XML whitespace skipped, strict padding.
#include "CFBase64.h"

#include <array>

namespace qxcf {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// 0..63 for the alphabet, kSpace for XML whitespace, kPad for '=', kBad otherwise.
constexpr uint8_t kBad = 0xFF, kSpace = 0xFE, kPad = 0xFD;
constexpr std::array<uint8_t, 256> kDecode = [] {
  std::array<uint8_t, 256> t{};
  t.fill(kBad);
  for (uint8_t i = 0; i < 64; ++i) t[static_cast<uint8_t>(kAlphabet[i])] = i;
  t[' '] = t['\t'] = t['\r'] = t['\n'] = kSpace;
  t['='] = kPad;
  return t;
}();

inline void encodeGroup(const uint8_t* p, size_t n, char* dst) {
  uint32_t v = uint32_t{p[0]} << 16;
  if (n > 1) v |= uint32_t{p[1]} << 8;
  if (n > 2) v |= p[2];
  dst[0] = kAlphabet[(v >> 18) & 63];
  dst[1] = kAlphabet[(v >> 12) & 63];
  dst[2] = n > 1 ? kAlphabet[(v >> 6) & 63] : '=';
  dst[3] = n > 2 ? kAlphabet[v & 63] : '=';
}

// Writes the base64 of count bytes at dst (4 * ceil(count / 3) characters).
char* encodeRun(const uint8_t* p, size_t count, char* dst) {
  while (count >= 3) {
    encodeGroup(p, 3, dst);
    p += 3;
    count -= 3;
    dst += 4;
  }
  if (count > 0) {
    encodeGroup(p, count, dst);
    dst += 4;
  }
  return dst;
}

}  // namespace

void base64Encode(const uint8_t* bytes, size_t count, std::string& out) {
  size_t start = out.size();
  out.resize(start + (count + 2) / 3 * 4);
  encodeRun(bytes, count, out.data() + start);
}

void base64EncodeLines(const uint8_t* bytes, size_t count, size_t lineLength, size_t indent, std::string& out) {
  if (count == 0) return;
  size_t groupsPerLine = lineLength < 4 ? 1 : lineLength / 4;
  size_t bytesPerLine = groupsPerLine * 3;
  size_t lines = (count + bytesPerLine - 1) / bytesPerLine;
  size_t start = out.size();
  out.resize(start + (count + 2) / 3 * 4 + lines * (indent + 1));
  char* dst = out.data() + start;
  while (count > 0) {
    size_t n = count < bytesPerLine ? count : bytesPerLine;
    for (size_t i = 0; i < indent; ++i) *dst++ = '\t';
    dst = encodeRun(bytes, n, dst);
    *dst++ = '\n';
    bytes += n;
    count -= n;
  }
}

ptrdiff_t base64Decode(std::string_view text, uint8_t* out) {
  uint8_t* dst = out;
  uint32_t acc = 0;
  int have = 0;  // sextets in acc
  size_t i = 0, n = text.size();
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  for (; i < n; ++i) {
    uint8_t v = kDecode[s[i]];
    if (v < 64) {
      acc = (acc << 6) | v;
      if (++have == 4) {
        dst[0] = static_cast<uint8_t>(acc >> 16);
        dst[1] = static_cast<uint8_t>(acc >> 8);
        dst[2] = static_cast<uint8_t>(acc);
        dst += 3;
        acc = 0;
        have = 0;
      }
    } else if (v == kSpace) {
      continue;
    } else if (v == kPad) {
      break;
    } else {
      return -1;
    }
  }
  if (i < n) {
    // Padding: exactly enough '=' to complete the group, then only whitespace.
    int pads = 0;
    for (; i < n; ++i) {
      uint8_t v = kDecode[s[i]];
      if (v == kPad) {
        ++pads;
      } else if (v != kSpace) {
        return -1;
      }
    }
    if (have < 2 || have + pads != 4) return -1;
  }
  if (have == 1) return -1;
  if (have == 2) {
    *dst++ = static_cast<uint8_t>(acc >> 4);
  } else if (have == 3) {
    *dst++ = static_cast<uint8_t>(acc >> 10);
    *dst++ = static_cast<uint8_t>(acc >> 2);
  }
  return dst - out;
}

}  // namespace qxcf
