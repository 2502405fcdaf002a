// Run-length coding and pattern fill/compare.
#include <QXCore/QXUtils.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

uint64_t bound(uint64_t n) { return n + n / 127 + 3; }

// Compresses into a buffer of exactly the documented worst-case size, so ASan reports any write beyond it.
Bytes compress(const Bytes& in) {
  auto out = std::make_unique<uint8_t[]>(bound(in.size()));
  const uint64_t written = QXUtilsRLECompress(in.data(), out.get(), in.size());
  EXPECT_LE(written, bound(in.size()));
  return Bytes(out.get(), out.get() + written);
}

// Decompresses from a heap copy of exactly the source bytes (ASan catches a read past them) into a buffer of
// `capacity` bytes pre-filled with 0xEE, and returns the whole buffer so that untouched bytes are visible.
Bytes decompress(const Bytes& in, uint64_t capacity) {
  auto src = std::make_unique<uint8_t[]>(in.size());
  std::copy(in.begin(), in.end(), src.get());
  Bytes out(capacity, 0xEE);
  QXUtilsRLEDecompress(src.get(), in.size(), out.data(), capacity);
  return out;
}

TEST(RLECompress, PacketRules) {
  EXPECT_EQ(compress({}), Bytes{0x80});
  EXPECT_EQ(compress({0x41, 0x42, 0x43, 0x44}), (Bytes{0x02, 0x41, 0x42, 0x43, 0x00, 0x44, 0x80}));
  EXPECT_EQ(compress({0x41, 0x41, 0x41, 0x42}), (Bytes{0xFE, 0x41, 0x00, 0x42, 0x80}));
  EXPECT_EQ(compress({0x41, 0x41}), (Bytes{0x00, 0x41, 0x00, 0x41, 0x80}));
  EXPECT_EQ(compress({0x41}), (Bytes{0x00, 0x41, 0x80}));
  EXPECT_EQ(compress(Bytes(200, 0x07)), (Bytes{0x82, 0x07, 0xB8, 0x07, 0x80}));
  // A literal ends just before three equal bytes; a pair stays inside the literal.
  EXPECT_EQ(compress({1, 2, 2, 3, 4, 4, 4, 5}), (Bytes{0x03, 1, 2, 2, 3, 0xFE, 4, 0x00, 5, 0x80}));
  // A run reaching the end, and one run of 127 followed by two equal bytes that cannot form a run.
  EXPECT_EQ(compress({9, 9, 9}), (Bytes{0xFE, 9, 0x80}));
  Bytes tail = compress(Bytes(129, 5));
  EXPECT_EQ(tail, (Bytes{0x82, 5, 0x00, 5, 0x00, 5, 0x80}));
}

TEST(RLECompress, RoundTripsWithinTheWorstCaseBound) {
  std::mt19937_64 rng(12345);
  for (uint64_t n : {1u, 2u, 3u, 126u, 127u, 128u, 129u, 254u, 255u, 1000u, 4096u, 65537u}) {
    // Full-range bytes (mostly literals), a small alphabet (pairs and short runs), and long runs.
    for (unsigned alphabet : {256u, 3u, 2u}) {
      Bytes in(n);
      for (auto& b : in) b = static_cast<uint8_t>(rng() % alphabet);
      for (size_t i = 0; alphabet == 2u && i + 1 < n; i += 300) in[i] = in[i + 1] = 0xAA;
      const Bytes packed = compress(in);
      ASSERT_EQ(packed.back(), 0x80) << n;
      EXPECT_EQ(decompress(packed, n), in) << "n=" << n << " alphabet=" << alphabet;
    }
  }
  // The worst case proper: literals of 127 interleaved so that no run ever forms.
  for (uint64_t n : {127u, 128u, 254u, 1270u, 1271u}) {
    Bytes in(n);
    for (size_t i = 0; i < n; ++i) in[i] = static_cast<uint8_t>(i & 1);
    EXPECT_EQ(compress(in).size(), n + (n + 125) / 127 + 2) << n;  // ceil((n - 1) / 127) literal headers
  }
}

TEST(RLEDecompress, HeadersLimitsAndTruncatedSources) {
  // 0xFF is a two-byte run and 0x81 a 128-byte run (the compressor writes neither); 0x80 is skipped anywhere.
  Bytes every = {0x11, 0x11};
  every.insert(every.end(), 128, 0x22);
  every.insert(every.end(), {0x33, 0x34});
  const Bytes literals = {0x02, 0x41, 0x42, 0x43, 0x00, 0x44, 0x80};
  const struct {
    Bytes in;
    uint64_t capacity;
    Bytes want;
  } cases[] = {
      {{0x80, 0xFF, 0x11, 0x80, 0x81, 0x22, 0x01, 0x33, 0x34, 0x80}, every.size(), every},
      {{0x00, 0x41, 0x80, 0x00, 0x42}, 2, {0x41, 0x42}},  // decoding goes on after an end byte
      {{}, 3, Bytes(3, 0xEE)},
      // A packet that does not fit is dropped whole and decoding stops, even where a later one would fit.
      {{0xFD, 0x41}, 2, {0xEE, 0xEE}},
      {literals, 4, {0x41, 0x42, 0x43, 0x44}},
      {literals, 3, {0x41, 0x42, 0x43}},
      {{0x00, 0x41, 0x02, 1, 2, 3, 0x00, 0x42}, 3, {0x41, 0xEE, 0xEE}},
      {{0x00, 0x41}, 0, {}},
      // Truncated: a literal whose bytes run past the end, a run header as the last byte.
      {{0x00, 0x41, 0x03, 0x42, 0x43}, 8, {0x41, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}},
      {{0x00, 0x41, 0xFE}, 4, {0x41, 0xEE, 0xEE, 0xEE}},
  };
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(decompress(cases[i].in, cases[i].capacity), cases[i].want) << "case " << i;
  // Null pointers write nothing (and must not crash); compressing an empty source still writes the end byte.
  const uint8_t packet[] = {0xFE, 0x41};
  QXUtilsRLEDecompress(packet, sizeof packet, nullptr, 100);
  uint8_t out[4] = {};
  QXUtilsRLEDecompress(nullptr, 10, out, sizeof out);
  EXPECT_EQ(QXUtilsRLECompress(nullptr, out, 5), 0u);
  EXPECT_EQ(QXUtilsRLECompress("ab", nullptr, 2), 0u);
  EXPECT_EQ(QXUtilsRLECompress(nullptr, out, 0), 1u);
  EXPECT_EQ(out[0], 0x80);

  // Every truncation of a real stream decodes a prefix of the original.
  Bytes in(600);
  std::mt19937 rng(7);
  for (auto& b : in) b = static_cast<uint8_t>(rng() % 4);
  const Bytes packed = compress(in);
  for (size_t cut = 0; cut <= packed.size(); ++cut) {
    const Bytes got = decompress(Bytes(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(cut)), in.size());
    size_t k = 0;
    while (k < got.size() && got[k] == in[k]) ++k;
    for (size_t i = k; i < got.size(); ++i) ASSERT_EQ(got[i], 0xEE) << "cut " << cut << " byte " << i;
  }
}

TEST(MemPattern, FillsWholeMultiplesOnlyAndCompares) {
  const uint8_t pat[3] = {1, 2, 3};
  uint8_t buf[10];
  std::fill(std::begin(buf), std::end(buf), 0xEE);
  // Lengths that are no whole multiple, non-positive pattern lengths and null pointers are refused untouched.
  EXPECT_EQ((std::vector{QXUtilsMemFillPattern(pat, 3, buf, 10), QXUtilsMemFillPattern(pat, 0, buf, 3),
                         QXUtilsMemFillPattern(pat, -3, buf, 3), QXUtilsMemFillPattern(pat, 0, buf, 0),
                         QXUtilsMemFillPattern(pat, 3, buf, -3), QXUtilsMemFillPattern(nullptr, 3, buf, 3),
                         QXUtilsMemFillPattern(pat, 3, nullptr, 3)}),
            std::vector<int32_t>(7, kQXErrInvalidArgument));
  EXPECT_EQ(Bytes(buf, buf + 10), Bytes(10, 0xEE));
  EXPECT_EQ(QXUtilsMemFillPattern(nullptr, 2, nullptr, 0), kQXNoErr);  // nothing to fill
  EXPECT_EQ(QXUtilsMemFillPattern(pat, 3, buf, 9), kQXNoErr);
  EXPECT_EQ(Bytes(buf, buf + 10), (Bytes{1, 2, 3, 1, 2, 3, 1, 2, 3, 0xEE}));

  // Larger buffers exercise the doubling copy, including a final partial doubling.
  for (int32_t copies : {1, 2, 5, 1000}) {
    Bytes big(static_cast<size_t>(copies) * 3, 0);
    ASSERT_EQ(QXUtilsMemFillPattern(pat, 3, big.data(), static_cast<int32_t>(big.size())), kQXNoErr);
    for (size_t i = 0; i < big.size(); ++i) ASSERT_EQ(big[i], pat[i % 3]) << copies << " at " << i;
  }
  // The pattern may be the buffer's own first block.
  EXPECT_EQ(QXUtilsMemFillPattern(buf, 3, buf, 9), kQXNoErr);
  EXPECT_EQ(Bytes(buf, buf + 9), (Bytes{1, 2, 3, 1, 2, 3, 1, 2, 3}));

  // Compare, against a difference in the last byte of a later block, or inside one.
  const uint8_t other[3] = {1, 2, 4};
  const uint8_t late[9] = {1, 2, 3, 1, 2, 3, 1, 2, 0}, middle[9] = {1, 2, 3, 1, 0, 3, 1, 2, 3};
  EXPECT_TRUE(QXUtilsMemComparePattern(pat, 3, buf, 9));
  EXPECT_TRUE(QXUtilsMemComparePattern(pat, 3, buf, 0));
  const bool mismatches[] = {QXUtilsMemComparePattern(other, 3, buf, 9),  QXUtilsMemComparePattern(pat, 3, buf, 8),
                             QXUtilsMemComparePattern(pat, 3, late, 9),   QXUtilsMemComparePattern(pat, 3, middle, 9),
                             QXUtilsMemComparePattern(pat, 0, buf, 0),    QXUtilsMemComparePattern(pat, -3, buf, 9),
                             QXUtilsMemComparePattern(pat, 3, buf, -3),   QXUtilsMemComparePattern(nullptr, 3, buf, 9),
                             QXUtilsMemComparePattern(pat, 3, nullptr, 9)};
  for (size_t i = 0; i < std::size(mismatches); ++i) EXPECT_FALSE(mismatches[i]) << "case " << i;
}

}  // namespace
