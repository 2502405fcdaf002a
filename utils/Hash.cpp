// MD5 digests (OpenSSL's EVP interface), the lookup3 hash and unique identifiers.
#include <QXCore/QXUtilsMisc.h>
#include <openssl/evp.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>

#include "cf/CFRef.h"
#include "utils/HashTesting.h"

namespace {

// Keeps every update well inside what any EVP implementation counts, whatever the data's size.
constexpr size_t kDigestPiece = size_t{1} << 30;

struct DigestContextDeleter {
  void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};

// lookup3 (Bob Jenkins, 2006, public domain): the little-endian variant, hashlittle.
inline void mix(uint32_t& a, uint32_t& b, uint32_t& c) {
  a -= c;
  a ^= std::rotl(c, 4);
  c += b;
  b -= a;
  b ^= std::rotl(a, 6);
  a += c;
  c -= b;
  c ^= std::rotl(b, 8);
  b += a;
  a -= c;
  a ^= std::rotl(c, 16);
  c += b;
  b -= a;
  b ^= std::rotl(a, 19);
  a += c;
  c -= b;
  c ^= std::rotl(b, 4);
  b += a;
}

inline void finalMix(uint32_t& a, uint32_t& b, uint32_t& c) {
  c ^= b;
  c -= std::rotl(b, 14);
  a ^= c;
  a -= std::rotl(c, 11);
  b ^= a;
  b -= std::rotl(a, 25);
  c ^= b;
  c -= std::rotl(b, 16);
  a ^= c;
  a -= std::rotl(c, 4);
  b ^= a;
  b -= std::rotl(a, 14);
  c ^= b;
  c -= std::rotl(b, 24);
}

inline uint32_t load32le(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

// Inlined into QXUtilsFastHash: a second jump costs measurably on short keys.
[[gnu::always_inline]] inline uint32_t hashLittle(const void* key, size_t length, uint32_t initval) {
  const uint8_t* k = static_cast<const uint8_t*>(key);
  uint32_t a, b, c;
  a = b = c = 0xDEADBEEFu + static_cast<uint32_t>(length) + initval;
  while (length > 12) {
    a += load32le(k);
    b += load32le(k + 4);
    c += load32le(k + 8);
    mix(a, b, c);
    length -= 12;
    k += 12;
  }
  // The last 1 to 12 bytes: whole words where the tail has them, the rest byte by byte. A whole-word read of a
  // partial word could run past the buffer (and off its page).
  switch (length) {
    case 12:
      c += load32le(k + 8);
      b += load32le(k + 4);
      a += load32le(k);
      break;
    case 11: c += uint32_t{k[10]} << 16; [[fallthrough]];
    case 10: c += uint32_t{k[9]} << 8; [[fallthrough]];
    case 9: c += k[8]; [[fallthrough]];
    case 8:
      b += load32le(k + 4);
      a += load32le(k);
      break;
    case 7: b += uint32_t{k[6]} << 16; [[fallthrough]];
    case 6: b += uint32_t{k[5]} << 8; [[fallthrough]];
    case 5: b += k[4]; [[fallthrough]];
    case 4: a += load32le(k); break;
    case 3: a += uint32_t{k[2]} << 16; [[fallthrough]];
    case 2: a += uint32_t{k[1]} << 8; [[fallthrough]];
    case 1: a += k[0]; break;
    case 0: return c;
  }
  finalMix(a, b, c);
  return c;
}

}  // namespace

QXStatus QXUtilsCalculateMD5(CFDataRef data, uint8_t outDigest[16]) {
  if (data == nullptr || outDigest == nullptr) return kQXErrInvalidArgument;
  std::unique_ptr<EVP_MD_CTX, DigestContextDeleter> context(EVP_MD_CTX_new());
  // A FIPS-only configuration refuses MD5 here; that must not pass for a digest.
  if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) return kQXErrGeneric;
  const UInt8* bytes = CFDataGetBytePtr(data);
  size_t remaining = static_cast<size_t>(CFDataGetLength(data));
  while (remaining > 0) {
    const size_t piece = std::min(remaining, kDigestPiece);
    if (EVP_DigestUpdate(context.get(), bytes, piece) != 1) return kQXErrGeneric;
    bytes += piece;
    remaining -= piece;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &size) != 1 || size != 16) return kQXErrGeneric;
  std::memcpy(outDigest, digest, 16);
  return kQXNoErr;
}

uint32_t QXUtilsFastHash(const void* bytes, size_t length) {
  if (bytes == nullptr) length = 0;
  return hashLittle(bytes, length, 0);
}

CFStringRef QXUtilsCreateUniqueIDString(void) {
  qxcf::CFRef<CFUUIDRef> uuid = qxcf::adopt(CFUUIDCreate(nullptr));
  return uuid ? CFUUIDCreateString(nullptr, uuid.get()) : nullptr;
}

namespace qx::testing {

uint32_t HashLittle(const void* bytes, size_t length, uint32_t initval) { return hashLittle(bytes, length, initval); }

}  // namespace qx::testing
