// Tile-record streams: the exact bytes of the writer, round trips, and the reader's defences
// against damaged or hostile streams.
#include <QXCore/QXImage.h>
#include <QXCore/QXStream.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "tests/support/TempHome.h"

namespace {

// The disk store writes under TMPDIR; keep it private to this process.
qxtest::TempHome gHome;

constexpr int32_t kT = 256;

using Bytes = std::vector<uint8_t>;

struct ImageDeleter {
  void operator()(__QXImage* image) const { QXImageRelease(image); }
};
using Image = std::unique_ptr<__QXImage, ImageDeleter>;

struct StreamDeleter {
  void operator()(__QXStream* stream) const { QXStreamRelease(stream); }
};
using Stream = std::unique_ptr<__QXStream, StreamDeleter>;

Stream NewStream(const Bytes& bytes = {}, QXStreamByteOrder order = kQXStreamByteOrderLittleEndian) {
  CFMutableDataRef data = CFDataCreateMutable(nullptr, 0);
  if (!bytes.empty()) CFDataAppendBytes(data, bytes.data(), CFIndex(bytes.size()));
  Stream stream(QXStreamCreateForData(data));
  CFRelease(data);
  EXPECT_EQ(QXStreamOpen(stream.get()), 0);
  QXStreamSetByteOrder(stream.get(), order);
  return stream;
}

Bytes Contents(QXStreamRef stream) {
  CFDataRef data = QXStreamGetData(stream);
  const UInt8* p = CFDataGetBytePtr(data);
  return Bytes(p, p + CFDataGetLength(data));
}

Image NewImage(QXRect bounds, int32_t depth, int32_t planes) {
  QXImageRef image = nullptr;
  EXPECT_EQ(QXImageCreateWithParams(bounds, depth, planes, &image), 0);
  return Image(image);
}

Bytes Save(QXImageRef image, QXStreamByteOrder order = kQXStreamByteOrderLittleEndian) {
  Stream stream = NewStream({}, order);
  EXPECT_EQ(QXImageSaveToStream(image, stream.get()), 0);
  return Contents(stream.get());
}

// Loads `bytes`; on failure checks that no image was handed out and returns the status.
int32_t Load(const Bytes& bytes, Image& out, QXStreamByteOrder order = kQXStreamByteOrderLittleEndian) {
  Stream stream = NewStream(bytes, order);
  QXImageRef image = reinterpret_cast<QXImageRef>(uintptr_t(1));
  int32_t status = QXImageCreateFromStream(stream.get(), 0, &image);
  if (status != 0) {
    EXPECT_EQ(image, nullptr);
  }
  out.reset(status == 0 ? image : nullptr);
  return status;
}

Bytes ReadAll(QXImageRef image) {
  QXRect b = QXImageGetBounds(image);
  Bytes pixels(size_t(b.width) * b.height * QXImageGetColBytes(image));
  EXPECT_EQ(QXImageRead(image, b, 0, -1, pixels.data(), 0), 0);
  return pixels;
}

// Words in either byte order, and raw bytes, for hand-made streams.
struct Builder {
  bool big = false;
  Bytes bytes;
  Builder& Word(int32_t v) {
    uint32_t u = uint32_t(v);
    for (int i = 0; i < 4; ++i) bytes.push_back(uint8_t(big ? u >> (24 - 8 * i) : u >> (8 * i)));
    return *this;
  }
  Builder& Raw(const Bytes& b) {
    bytes.insert(bytes.end(), b.begin(), b.end());
    return *this;
  }
  Builder& Header(int32_t w, int32_t h, int32_t depth, int32_t planes, int32_t cs = 0, int32_t tr = 0) {
    return Word(0).Word(w).Word(h).Word(depth).Word(cs).Word(tr).Word(planes);
  }
  Builder& Record(int32_t r, int32_t c, int32_t method, const Bytes& payload) {
    return Word(r).Word(c).Word(method).Word(int32_t(payload.size())).Raw(payload);
  }
};

Bytes Deflate(const Bytes& raw) {
  Stream out = NewStream();
  EXPECT_EQ(QXUtilsLZWCompressToStream(raw.data(), uint32_t(raw.size()), out.get()), 0);
  return Contents(out.get());
}

// A zlib record of stored blocks of `block` bytes: valid, and as long as one likes.
Bytes StoredZlib(const Bytes& raw, size_t block) {
  Bytes out{0x78, 0x01};
  for (size_t pos = 0; pos < raw.size(); pos += block) {
    size_t n = std::min(block, raw.size() - pos);
    bool last = pos + n == raw.size();
    out.insert(out.end(), {uint8_t(last ? 1 : 0), uint8_t(n), uint8_t(n >> 8), uint8_t(~n), uint8_t(~n >> 8)});
    out.insert(out.end(), raw.begin() + long(pos), raw.begin() + long(pos + n));
  }
  uint32_t a = 1, b = 0;
  for (uint8_t v : raw) {
    a = (a + v) % 65521;
    b = (b + a) % 65521;
  }
  uint32_t adler = b << 16 | a;
  out.insert(out.end(), {uint8_t(adler >> 24), uint8_t(adler >> 16), uint8_t(adler >> 8), uint8_t(adler)});
  return out;
}

uint32_t gSeed = 12345;
uint8_t Noise() {
  gSeed ^= gSeed << 13;
  gSeed ^= gSeed >> 17;
  gSeed ^= gSeed << 5;
  return uint8_t(gSeed);
}

// Noise in some areas, a gradient in others, a flat colour equal to pixel (0, 0) in the rest: every
// kind of tile, whatever the size.
void Paint(QXImageRef image) {
  QXRect b = QXImageGetBounds(image);
  int32_t colBytes = QXImageGetColBytes(image);
  Bytes pixels(size_t(b.width) * b.height * colBytes);
  for (int32_t y = 0; y < b.height; ++y) {
    for (int32_t x = 0; x < b.width; ++x) {
      uint8_t* p = &pixels[(size_t(y) * b.width + x) * colBytes];
      int32_t zone = (x / kT + y / kT) % 3;
      for (int32_t i = 0; i < colBytes; ++i)
        p[i] = zone == 0 ? uint8_t(7 + i) : zone == 1 ? Noise() : uint8_t(x + 3 * y + i);
    }
  }
  EXPECT_EQ(QXImageWrite(image, b, 0, -1, pixels.data(), 0), 0);
}

// The writer exactly as the format describes it: one tile after another, with a placeholder
// length patched after the compressed bytes.
Bytes SequentialSave(QXImageRef image) {
  QXRect b = QXImageGetBounds(image);
  const int32_t colBytes = QXImageGetColBytes(image);
  const size_t tileBytes = size_t(colBytes) * kT * kT;
  Bytes ref(size_t(colBytes), 0), scratch(tileBytes);
  EXPECT_EQ(QXImageRead(image, QXRect{0, 0, 1, 1}, 0, -1, ref.data(), colBytes), 0);
  Stream out = NewStream();
  QXStreamRef s = out.get();
  for (int32_t w : {0, b.width, b.height, QXImageGetDepth(image), QXImageGetColorSpaceType(image),
                    QXImageGetTransparency(image), QXImageGetNumPlanes(image)})
    QXStreamWriteInt32(s, w);
  const int32_t rows = (b.height + kT - 1) / kT, cols = (b.width + kT - 1) / kT;
  for (int32_t r = 0; r < rows; ++r) {
    for (int32_t c = 0; c < cols; ++c) {
      QXStreamWriteInt32(s, r);
      QXStreamWriteInt32(s, c);
      const int32_t w = std::min(kT, b.width - kT * c), h = std::min(kT, b.height - kT * r);
      const bool edge = w != kT || h != kT;
      if (edge) {
        EXPECT_EQ(QXImageRead(image, QXRect{b.x + kT * c, b.y + kT * r, w, h}, 0, -1, scratch.data(), 0), 0);
      }
      QXTileRef tile = nullptr;
      EXPECT_EQ(QXImageGetNativeTile(image, r, c, &tile), 0);
      const uint8_t* data = static_cast<const uint8_t*>(QXTileGetDataPtr(tile));
      const uint8_t* tested = edge ? scratch.data() : data;
      const size_t stride = edge ? size_t(w) * colBytes : size_t(kT) * colBytes;
      bool solid = true;
      for (int32_t y = 0; y < h && solid; ++y)
        for (int32_t x = 0; x < w && solid; ++x)
          solid = std::memcmp(tested + y * stride + x * colBytes, ref.data(), ref.size()) == 0;
      if (solid) {
        QXStreamWriteInt32(s, 1);
        QXStreamWriteInt32(s, colBytes);
        QXStreamWrite(s, ref.data(), ref.size());
      } else {
        QXStreamWriteInt32(s, 2);
        QXStreamWriteInt32(s, 0);
        uint64_t p0 = 0, p1 = 0;
        QXStreamGetPos(s, &p0);
        EXPECT_EQ(QXUtilsLZWCompressToStream(data, uint32_t(tileBytes), s), 0);
        QXStreamGetPos(s, &p1);
        QXStreamSetPos(s, p0 - 4);
        QXStreamWriteInt32(s, int32_t(p1 - p0));
        QXStreamSetPos(s, p1);
      }
      QXTileReleaseUse(tile);
    }
  }
  return Contents(s);
}

TEST(ImagePersist, FormatExamples) {
  // 300 x 200 white RGBA: the header and two solid records.
  Image white = NewImage(QXRect{0, 0, 300, 200}, 8, 4);
  ASSERT_EQ(QXImageFill(white.get(), 0xFF), 0);
  Builder expected;
  expected.Header(300, 200, 8, 4).Record(0, 0, 1, Bytes(4, 0xFF)).Record(0, 1, 1, Bytes(4, 0xFF));
  EXPECT_EQ(expected.bytes.size(), 68u);
  EXPECT_EQ(Save(white.get()), expected.bytes);

  // Pixel (0, 0) black, a tile of white: that tile is compressed, not solid.
  Image mixed = NewImage(QXRect{0, 0, 512, 256}, 8, 4);
  Bytes whiteTile(size_t(4) * kT * kT, 0xFF);
  ASSERT_EQ(QXImageWrite(mixed.get(), QXRect{256, 0, 256, 256}, 0, -1, whiteTile.data(), 0), 0);
  Builder expected2;
  expected2.Header(512, 256, 8, 4).Record(0, 0, 1, Bytes(4, 0)).Record(0, 1, 2, Deflate(whiteTile));
  EXPECT_EQ(Save(mixed.get()), expected2.bytes);

  // An edge tile whose visible part is uniform is solid whatever lies beyond the image, and reads
  // back filled with the pixel everywhere.
  Image edge = NewImage(QXRect{0, 0, 300, 200}, 8, 4);
  ASSERT_EQ(QXImageFill(edge.get(), 0x42), 0);
  QXTileRef tile = nullptr;
  ASSERT_EQ(QXImageGetNativeTile(edge.get(), 0, 1, &tile), 0);
  auto* data = static_cast<uint8_t*>(QXTileGetDataPtr(tile));
  for (int32_t y = 0; y < kT; ++y) std::memset(data + y * kT * 4 + 44 * 4, 0x77, (kT - 44) * 4);
  std::memset(data + 200 * kT * 4, 0x99, 56 * kT * 4);
  QXTileReleaseUse(tile);
  Builder expected3;
  expected3.Header(300, 200, 8, 4).Record(0, 0, 1, Bytes(4, 0x42)).Record(0, 1, 1, Bytes(4, 0x42));
  EXPECT_EQ(Save(edge.get()), expected3.bytes);
  Image back;
  ASSERT_EQ(Load(expected3.bytes, back), 0);
  ASSERT_EQ(QXImageGetNativeTile(back.get(), 0, 1, &tile), 0);
  data = static_cast<uint8_t*>(QXTileGetDataPtr(tile));
  EXPECT_TRUE(std::all_of(data, data + 4 * kT * kT, [](uint8_t v) { return v == 0x42; }));
  QXTileReleaseUse(tile);
  EXPECT_EQ(QXImageGetDataSourceType(back.get()), kQXImageSourceNone);

  // A solid record whose length is not the pixel size.
  Builder shortPixel;
  shortPixel.Header(1, 1, 8, 4).Record(0, 0, 1, Bytes(3, 1));
  EXPECT_EQ(Load(shortPixel.bytes, back), kQXErrSolidTileSize);
}

TEST(ImagePersist, OriginIsNotStoredAndWordsFollowTheStreamOrder) {
  // Bounds (50, 50, 300, 300) come back at (0, 0) with the same pixels; (0, 0) lies outside, so
  // the reference pixel is zero and a zero tile is solid.
  Image shifted = NewImage(QXRect{50, 50, 300, 300}, 8, 3);
  Paint(shifted.get());
  Bytes saved = Save(shifted.get());
  Image back;
  ASSERT_EQ(Load(saved, back), 0);
  QXRect b = QXImageGetBounds(back.get());
  EXPECT_EQ(b.x, 0);
  EXPECT_EQ(b.y, 0);
  EXPECT_EQ(b.width, 300);
  EXPECT_EQ(b.height, 300);
  EXPECT_EQ(ReadAll(back.get()), ReadAll(shifted.get()));
  EXPECT_EQ(saved, SequentialSave(shifted.get()));

  // A 16-bit image to a big-endian stream: header and record words swap, pixel bytes do not.
  Image deep = NewImage(QXRect{0, 0, 10, 10}, 16, 3);
  const uint16_t sample = 0x0102;
  std::vector<uint16_t> samples(300, sample);
  ASSERT_EQ(QXImageWrite(deep.get(), QXRect{0, 0, 10, 10}, 0, -1, samples.data(), 0), 0);
  QXImageSetColorSpaceType(deep.get(), 5);
  QXImageSetTransparency(deep.get(), 1);
  Builder expected;
  expected.big = true;
  expected.Header(10, 10, 16, 3, 5, 1).Record(0, 0, 1, Bytes{0x02, 0x01, 0x02, 0x01, 0x02, 0x01});
  Bytes big = Save(deep.get(), kQXStreamByteOrderBigEndian);
  EXPECT_EQ(big, expected.bytes);
  ASSERT_EQ(Load(big, back, kQXStreamByteOrderBigEndian), 0);
  EXPECT_EQ(QXImageGetDepth(back.get()), 16);
  EXPECT_EQ(QXImageGetNumPlanes(back.get()), 3);
  EXPECT_EQ(QXImageGetColorSpaceType(back.get()), 5);
  EXPECT_EQ(QXImageGetTransparency(back.get()), 1);
  EXPECT_EQ(ReadAll(back.get()), ReadAll(deep.get()));
  // The same bytes read in the other order describe a huge image and are refused.
  EXPECT_NE(Load(big, back, kQXStreamByteOrderLittleEndian), 0);
}

TEST(ImagePersist, RoundTripsOfOddSizes) {
  const QXRect sizes[] = {{0, 0, 1, 1}, {0, 0, 257, 513}, {3, 7, 300, 1}, {0, 0, 1, 260}};
  int n = 0;
  for (int32_t depth : {8, 16, 32}) {
    for (int32_t planes = 1; planes <= 5; ++planes) {
      QXRect bounds = sizes[n++ % 4];
      SCOPED_TRACE(testing::Message() << depth << "-bit, " << planes << " planes, " << bounds.width << " x "
                                      << bounds.height);
      Image image = NewImage(bounds, depth, planes);
      Paint(image.get());
      Bytes saved = Save(image.get());
      Image back;
      ASSERT_EQ(Load(saved, back), 0);
      EXPECT_EQ(QXImageGetDepth(back.get()), depth);
      EXPECT_EQ(QXImageGetNumPlanes(back.get()), planes);
      EXPECT_EQ(ReadAll(back.get()), ReadAll(image.get()));
      // What was read back saves to the same bytes, unless the origin moved (which changes the
      // reference pixel).
      if (bounds.x == 0 && bounds.y == 0) {
        EXPECT_EQ(Save(back.get()), saved);
      }
    }
  }
}

// The parallel writer against the sequential one, on images with solid, compressed and edge tiles,
// also with a budget so small that tiles go through the disk store during the save and the load.
TEST(ImagePersist, ParallelSaveMatchesSequentialWriterThreads) {
  for (bool tight : {false, true}) {
    SCOPED_TRACE(tight ? "3-tile budget" : "default budget");
    Image image = NewImage(QXRect{0, 0, 1000, 700}, 16, 3);
    Paint(image.get());
    // An edge tile whose visible part is flat but whose invisible part is not.
    Bytes flat(size_t(1000 - 768) * (700 - 512) * 6, 7);
    for (size_t i = 0; i < flat.size(); i += 6)
      for (int p = 0; p < 6; ++p) flat[i + p] = uint8_t(7 + p);
    ASSERT_EQ(QXImageWrite(image.get(), QXRect{768, 512, 232, 188}, 0, -1, flat.data(), 0), 0);
    QXTileRef tile = nullptr;
    ASSERT_EQ(QXImageGetNativeTile(image.get(), 2, 3, &tile), 0);
    static_cast<uint8_t*>(QXTileGetDataPtr(tile))[6 * kT * kT - 1] = 0xEE;
    QXTileReleaseUse(tile);
    const Bytes pixels = ReadAll(image.get());

    QXImageCacheStatistics before{}, after{};
    QXImageGetCacheStatistics(&before);
    if (tight) QXImageSetCacheMemAbsolute(3.0 * 6 * kT * kT);
    Bytes parallel = Save(image.get());
    Bytes sequential = SequentialSave(image.get());
    Image back;
    int32_t status = Load(parallel, back);
    Bytes again = back ? ReadAll(back.get()) : Bytes();
    if (tight) QXImageSetCacheMemPercent(50);
    QXImageGetCacheStatistics(&after);
    if (tight) {
      EXPECT_GT(after.tilesReloaded, before.tilesReloaded);
    }

    EXPECT_EQ(parallel, sequential);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(again, pixels);
    // Tile (2, 3) is solid (20 bytes) and the noisy tiles are compressed.
    int solid = 0, deflated = 0;
    for (size_t pos = 28; pos + 16 <= parallel.size();) {
      int32_t method, length;
      std::memcpy(&method, &parallel[pos + 8], 4);
      std::memcpy(&length, &parallel[pos + 12], 4);
      (method == 1 ? solid : deflated) += 1;
      pos += 16 + size_t(length);
    }
    EXPECT_EQ(solid + deflated, 12);
    EXPECT_GE(solid, 2);
    EXPECT_GE(deflated, 6);
  }
}

// Saves are not snapshots, but a writer running meanwhile (with tiles going through the disk store)
// must neither deadlock the save nor make it write an unreadable stream.
TEST(ImagePersist, SaveWhileAnotherThreadWritesThreads) {
  Image image = NewImage(QXRect{0, 0, 900, 600}, 8, 4);
  Paint(image.get());
  QXImageSetCacheMemAbsolute(4.0 * 4 * kT * kT);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    Bytes patch(size_t(100) * 100 * 4);
    for (uint32_t i = 0; !stop.load(); ++i) {
      std::fill(patch.begin(), patch.end(), uint8_t(i));
      EXPECT_EQ(QXImageWrite(image.get(), QXRect{int32_t(i * 37 % 850), int32_t(i * 53 % 550), 100, 100}, 0, -1,
                             patch.data(), 0),
                0);
    }
  });
  for (int round = 0; round < 3; ++round) {
    Stream out = NewStream();
    EXPECT_EQ(QXImageSaveToStream(image.get(), out.get()), 0);
    Image back;
    EXPECT_EQ(Load(Contents(out.get()), back), 0);
  }
  stop = true;
  writer.join();
  QXImageSetCacheMemPercent(50);
}

TEST(ImagePersist, HostileStreamsFailCleanly) {
  Image back;
  const size_t t8 = size_t(kT) * kT;  // one 8-bit plane
  // Header values outside the limits, and a header cut short.
  const int32_t bad[][4] = {
      {0, 1, 8, 1}, {1, 0, 8, 1},  {-5, 1, 8, 1}, {(1 << 20) + 1, 1, 8, 1}, {1, 1, 12, 1}, {1, 1, 0, 1},
      {1, 1, 8, 0}, {1, 1, 8, 33}, {1, 1, 8, -1}, {1 << 20, 1 << 20, 8, 1}};
  for (const auto& h : bad) {
    Builder b;
    b.Header(h[0], h[1], h[2], h[3]).Record(0, 0, 1, Bytes(4, 0));
    EXPECT_EQ(Load(b.bytes, back), kQXErrInvalidArgument) << h[0] << " " << h[1] << " " << h[2] << " " << h[3];
  }
  // The largest grid the limits allow, but no records: refused before the grid is built.
  Builder huge;
  huge.Header(1 << 20, 1 << 16, 8, 1);
  EXPECT_EQ(Load(huge.bytes, back), -1);
  EXPECT_NE(Load(Bytes(27, 0), back), 0);

  auto oneTile = [](int32_t r, int32_t c, int32_t method, const Bytes& payload) {
    Builder b;
    return b.Header(10, 10, 8, 1).Record(r, c, method, payload).bytes;
  };
  EXPECT_EQ(Load(oneTile(0, 0, 0, Bytes(t8 + 1, 1)), back), kQXErrInvalidArgument);  // raw longer than a tile
  EXPECT_EQ(Load(oneTile(0, 0, 3, Bytes(1, 1)), back), kQXErrInvalidArgument);       // unknown method
  EXPECT_EQ(Load(oneTile(0, 0, -1, {}), back), kQXErrInvalidArgument);
  EXPECT_EQ(Load(oneTile(1, 0, 1, Bytes(1, 1)), back), kQXErrInvalidArgument);  // outside the grid
  EXPECT_EQ(Load(oneTile(0, -1, 1, Bytes(1, 1)), back), kQXErrInvalidArgument);
  EXPECT_EQ(Load(oneTile(0, 0, 2, Bytes(40, 0x55)), back), -1);            // not zlib
  EXPECT_EQ(Load(oneTile(0, 0, 2, Deflate(Bytes(t8 - 1, 3))), back), -1);  // one byte short
  Bytes negative = oneTile(0, 0, 2, {});
  std::memset(&negative[28 + 12], 0xFF, 4);
  EXPECT_EQ(Load(negative, back), kQXErrInvalidArgument);
  Bytes pastEnd = oneTile(0, 0, 2, Bytes(10, 0));
  std::memcpy(&pastEnd[28 + 12], "\xE8\x03\0\0", 4);  // 1000 bytes announced, 10 present
  EXPECT_EQ(Load(pastEnd, back), -1);

  // Raw records are accepted: the bytes land at the start of the tile, the rest stays zero.
  ASSERT_EQ(Load(oneTile(0, 0, 0, Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}), back), 0);
  // (Bytes 11 and 12 fall beyond the image's 10 columns.)
  Bytes pixels = ReadAll(back.get());
  EXPECT_EQ(Bytes(pixels.begin(), pixels.begin() + 10), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_TRUE(std::all_of(pixels.begin() + 10, pixels.end(), [](uint8_t v) { return v == 0; }));
  // A compressed record far longer than any saver writes is inflated straight from the stream,
  // after the records queued before it.
  Bytes tile(t8);
  for (size_t i = 0; i < t8; ++i) tile[i] = uint8_t(i * 7 + i / 256);
  Bytes stored = StoredZlib(tile, 8);
  ASSERT_GT(stored.size(), t8 * 3 / 2);
  Builder longRecord;
  longRecord.Header(300, 10, 8, 1).Record(0, 0, 1, {4}).Record(0, 1, 2, stored);
  ASSERT_EQ(Load(longRecord.bytes, back), 0);
  pixels = ReadAll(back.get());
  EXPECT_EQ(pixels[0], 4);
  EXPECT_TRUE(std::equal(pixels.begin() + 256, pixels.begin() + 300, tile.begin()));
  EXPECT_TRUE(std::equal(pixels.begin() + 556, pixels.begin() + 600, tile.begin() + 256));
  tile.push_back(0);
  EXPECT_EQ(Load(oneTile(0, 0, 2, StoredZlib(tile, 8)), back), -1);  // one byte too many

  // Records name their tile; a later record for the same tile wins and a tile without one is zero.
  Builder twice;
  twice.Header(300, 10, 8, 1).Record(0, 0, 1, {5}).Record(0, 0, 1, {9});
  ASSERT_EQ(Load(twice.bytes, back), 0);
  pixels = ReadAll(back.get());
  EXPECT_EQ(pixels[0], 9);
  EXPECT_EQ(pixels[255], 9);
  EXPECT_EQ(pixels[256], 0);

  // A small valid stream cut at every byte fails at every cut and leaks nothing.
  Image source = NewImage(QXRect{0, 0, 300, 200}, 8, 2);
  Bytes gradient(size_t(300) * 200 * 2);
  for (size_t i = 0; i < gradient.size(); ++i) gradient[i] = uint8_t(i % 600 / 3);
  ASSERT_EQ(QXImageWrite(source.get(), QXRect{0, 0, 300, 200}, 0, -1, gradient.data(), 0), 0);
  Bytes pattern(size_t(44) * 200 * 2, 0);  // the visible part of tile (0, 1) flat, as pixel (0, 0)
  ASSERT_EQ(QXImageWrite(source.get(), QXRect{256, 0, 44, 200}, 0, -1, pattern.data(), 0), 0);
  Bytes valid = Save(source.get());
  int32_t method1 = 0;
  std::memcpy(&method1, &valid[28 + 8], 4);
  EXPECT_EQ(method1, 2);
  ASSERT_LT(valid.size(), 4000u);
  ASSERT_EQ(Load(valid, back), 0);
  for (size_t cut = 0; cut < valid.size(); ++cut) {
    EXPECT_NE(Load(Bytes(valid.begin(), valid.begin() + cut), back), 0) << "cut at " << cut;
  }
}

TEST(ImagePersist, SaveRefusesWhatItCannotWrite) {
  QXImageRef memory = nullptr;
  ASSERT_EQ(QXImageCreateWithParams2(QXRect{0, 0, 4, 4}, 8, 1, 0, 0, 1, &memory), 0);
  Image held(memory);
  Stream out = NewStream();
  EXPECT_EQ(QXImageSaveToStream(memory, out.get()), kQXErrNotOffered);
  Image tiled = NewImage(QXRect{0, 0, 4, 4}, 8, 1);
  EXPECT_EQ(QXImageSaveToStream(tiled.get(), nullptr), kQXErrInvalidArgument);
  EXPECT_EQ(QXImageSaveToStream(nullptr, out.get()), kQXErrInvalidArgument);
  QXImageRef image = nullptr;
  EXPECT_EQ(QXImageCreateFromStream(nullptr, 0, &image), kQXErrInvalidArgument);
  // A closed stream fails the first write.
  QXStreamClose(out.get());
  EXPECT_NE(QXImageSaveToStream(tiled.get(), out.get()), 0);
}

}  // namespace
