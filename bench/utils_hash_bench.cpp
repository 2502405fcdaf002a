// MD5 of 64 MiB against OpenSSL's one-shot EVP_Digest, and QXUtilsFastHash of 64-byte keys against lookup3's
// hashlittle compiled here from the reference algorithm (word reads, with its masked reads of the last word).
#include <QXCore/QXUtilsMisc.h>
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr size_t kMD5Bytes = size_t{64} << 20;
constexpr size_t kKeyBytes = 64;
constexpr size_t kKeys = 4096;

const std::vector<uint8_t>& randomBytes() {
  static const std::vector<uint8_t> bytes = [] {
    std::vector<uint8_t> out(kMD5Bytes);
    std::mt19937_64 rng(7);
    for (size_t i = 0; i < out.size(); i += 8) {
      const uint64_t v = rng();
      std::memcpy(out.data() + i, &v, 8);
    }
    return out;
  }();
  return bytes;
}

// ---- the anchor: lookup3's hashlittle, aligned little-endian path as published ----

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

inline uint32_t word(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// Not inlined, like the library's call. Reads whole words even for the tail (the keys here lie inside a larger
// buffer, so that stays in bounds).
[[gnu::noinline]] uint32_t referenceHashLittle(const void* key, size_t length, uint32_t initval) {
  const uint8_t* k = static_cast<const uint8_t*>(key);
  uint32_t a, b, c;
  a = b = c = 0xDEADBEEFu + static_cast<uint32_t>(length) + initval;
  while (length > 12) {
    a += word(k);
    b += word(k + 4);
    c += word(k + 8);
    mix(a, b, c);
    length -= 12;
    k += 12;
  }
  switch (length) {
    case 12:
      c += word(k + 8);
      b += word(k + 4);
      a += word(k);
      break;
    case 11:
      c += word(k + 8) & 0xFFFFFF;
      b += word(k + 4);
      a += word(k);
      break;
    case 10:
      c += word(k + 8) & 0xFFFF;
      b += word(k + 4);
      a += word(k);
      break;
    case 9:
      c += word(k + 8) & 0xFF;
      b += word(k + 4);
      a += word(k);
      break;
    case 8:
      b += word(k + 4);
      a += word(k);
      break;
    case 7:
      b += word(k + 4) & 0xFFFFFF;
      a += word(k);
      break;
    case 6:
      b += word(k + 4) & 0xFFFF;
      a += word(k);
      break;
    case 5:
      b += word(k + 4) & 0xFF;
      a += word(k);
      break;
    case 4: a += word(k); break;
    case 3: a += word(k) & 0xFFFFFF; break;
    case 2: a += word(k) & 0xFFFF; break;
    case 1: a += word(k) & 0xFF; break;
    case 0: return c;
  }
  finalMix(a, b, c);
  return c;
}

// ---- MD5 ----

std::string hex(const unsigned char* d) {
  std::string out;
  char b[3];
  for (int i = 0; i < 16; ++i) out += (snprintf(b, sizeof b, "%02x", d[i]), b);
  return out;
}

void BM_MD5(benchmark::State& state) {
  const std::vector<uint8_t>& bytes = randomBytes();
  CFDataRef data =
      CFDataCreateWithBytesNoCopy(nullptr, bytes.data(), static_cast<CFIndex>(bytes.size()), kCFAllocatorNull);
  uint8_t ours[16] = {};
  unsigned char theirs[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (QXUtilsCalculateMD5(data, ours) != kQXNoErr ||
      EVP_Digest(bytes.data(), bytes.size(), theirs, &size, EVP_md5(), nullptr) != 1 || hex(ours) != hex(theirs)) {
    state.SkipWithError("digest differs from EVP_Digest");
  }
  for (auto _ : state) {
    QXUtilsCalculateMD5(data, ours);
    benchmark::DoNotOptimize(ours);
  }
  CFRelease(data);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMD5Bytes));
}
BENCHMARK(BM_MD5)->Unit(benchmark::kMillisecond);

void BM_EVPDigestMD5(benchmark::State& state) {
  const std::vector<uint8_t>& bytes = randomBytes();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  for (auto _ : state) {
    EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_md5(), nullptr);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMD5Bytes));
}
BENCHMARK(BM_EVPDigestMD5)->Unit(benchmark::kMillisecond);

// ---- lookup3 over 64-byte keys ----

bool sameHashes(const std::vector<uint8_t>& keys) {
  // Padded to whole words for the reference's tail reads.
  const char text[32] = "Four score and seven years ago";
  const size_t length = std::strlen(text);
  if (QXUtilsFastHash(text, length) != 0x17770551u || referenceHashLittle(text, length, 0) != 0x17770551u) return false;
  for (size_t i = 0; i < kKeys; ++i) {
    const uint8_t* key = keys.data() + i * kKeyBytes;
    if (QXUtilsFastHash(key, kKeyBytes) != referenceHashLittle(key, kKeyBytes, 0)) return false;
  }
  return true;
}

void BM_FastHash64(benchmark::State& state) {
  const std::vector<uint8_t> keys(randomBytes().begin(), randomBytes().begin() + kKeys * kKeyBytes);
  if (!sameHashes(keys)) state.SkipWithError("hash differs from the reference lookup3");
  size_t length = kKeyBytes;
  benchmark::DoNotOptimize(length);  // as for the anchor: no copy specialised for one length
  for (auto _ : state) {
    uint32_t sum = 0;
    for (size_t i = 0; i < kKeys; ++i) sum += QXUtilsFastHash(keys.data() + i * kKeyBytes, length);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kKeys));
}
BENCHMARK(BM_FastHash64)->Unit(benchmark::kMicrosecond);

void BM_ReferenceLookup3Hash64(benchmark::State& state) {
  const std::vector<uint8_t> keys(randomBytes().begin(), randomBytes().begin() + kKeys * kKeyBytes);
  size_t length = kKeyBytes;
  benchmark::DoNotOptimize(length);
  for (auto _ : state) {
    uint32_t sum = 0;
    for (size_t i = 0; i < kKeys; ++i) sum += referenceHashLittle(keys.data() + i * kKeyBytes, length, 0);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kKeys));
}
BENCHMARK(BM_ReferenceLookup3Hash64)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
