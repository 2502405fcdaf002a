// Tile-record streams: the exact bytes of the writer, round trips, and the reader's defences
// against damaged or hostile streams.
#include <QXCore/QXStream.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

#include "net/StreamHandle.h"
#include "tests/image/ImageTestSupport.h"

using namespace qxtest;

namespace {

constexpr int32_t kT = 256;
using Bytes = std::vector<uint8_t>;

struct StreamDeleter {
  void operator()(__QXStream* stream) const { QXStreamRelease(stream); }
};
using Stream = std::unique_ptr<__QXStream, StreamDeleter>;

Stream NewStream(const Bytes& bytes = {}, QXStreamByteOrder order = kQXStreamByteOrderLittleEndian) {
  CFMutableDataRef data = CFDataCreateMutable(nullptr, 0);
  CFDataAppendBytes(data, bytes.data(), CFIndex(bytes.size()));
  Stream stream(QXStreamCreateForData(data));
  CFRelease(data);
  EXPECT_EQ(QXStreamOpen(stream.get()), 0);
  QXStreamSetByteOrder(stream.get(), order);
  return stream;
}

Bytes Contents(QXStreamRef stream) {
  CFDataRef data = QXStreamGetData(stream);
  return Bytes(CFDataGetBytePtr(data), CFDataGetBytePtr(data) + CFDataGetLength(data));
}

Bytes Save(QXImageRef image, QXStreamByteOrder order = kQXStreamByteOrderLittleEndian) {
  Stream stream = NewStream({}, order);
  EXPECT_EQ(QXImageSaveToStream(image, stream.get()), 0);
  return Contents(stream.get());
}

// Loads `bytes` into `out`; a failure must hand out no image.
int32_t Load(const Bytes& bytes, Image& out, QXStreamByteOrder order = kQXStreamByteOrderLittleEndian) {
  Stream stream = NewStream(bytes, order);
  QXImageRef image = reinterpret_cast<QXImageRef>(uintptr_t(1));
  const int32_t status = QXImageCreateFromStream(stream.get(), 0, &image);
  if (status != 0) {
    EXPECT_EQ(image, nullptr);
  }
  out.reset(status == 0 ? image : nullptr);
  return status;
}

// Bytes as a socket delivers them: no position, no length, 10057 at the end.
class SocketLike : public CBaseStream {
 public:
  explicit SocketLike(Bytes bytes) : mBytes(std::move(bytes)) {}
  int32_t Open() override { return 0; }
  void Close() override {}
  int32_t ReadChunk(char* buffer, bool, uint64_t& count) override {
    count = std::min<uint64_t>(count, mBytes.size() - mAt);
    if (count == 0) return kQXErrNotConnected;
    std::memcpy(buffer, mBytes.data() + mAt, count);
    mAt += count;
    return 0;
  }
  int32_t WriteChunk(const char*, uint64_t&) override { return kQXErrGeneric; }
  int32_t ReadChar(char& c) override {
    uint64_t n = 1;
    return ReadChunk(&c, false, n);
  }
  bool IsEOF() override { return mAt == mBytes.size(); }

 private:
  Bytes mBytes;
  size_t mAt = 0;
};

int32_t LoadUnknownLength(const Bytes& bytes, Image& out) {
  SocketLike stream(bytes);
  QXImageRef image = nullptr;
  const int32_t status = QXImageCreateFromStream(qx::toHandle<__QXStream>(&stream), 0, &image);
  out.reset(image);
  return status;
}

// Hand-made streams: words in either byte order, and raw bytes.
struct Builder {
  bool big = false;
  Bytes bytes;
  Builder& Word(int32_t v) {
    for (int i = 0; i < 4; ++i) bytes.push_back(uint8_t(big ? uint32_t(v) >> (24 - 8 * i) : uint32_t(v) >> (8 * i)));
    return *this;
  }
  Builder& Header(int32_t w, int32_t h, int32_t depth, int32_t planes, int32_t cs = 0, int32_t tr = 0) {
    return Word(0).Word(w).Word(h).Word(depth).Word(cs).Word(tr).Word(planes);
  }
  Builder& Record(int32_t r, int32_t c, int32_t method, const Bytes& payload) {
    Word(r).Word(c).Word(method).Word(int32_t(payload.size()));
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return *this;
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
    const size_t n = std::min(block, raw.size() - pos);
    out.insert(out.end(), {uint8_t(pos + n == raw.size()), uint8_t(n), uint8_t(n >> 8), uint8_t(~n), uint8_t(~n >> 8)});
    out.insert(out.end(), raw.begin() + long(pos), raw.begin() + long(pos + n));
  }
  uint32_t a = 1, b = 0;
  for (uint8_t v : raw) {
    a = (a + v) % 65521;
    b = (b + a) % 65521;
  }
  out.insert(out.end(), {uint8_t(b >> 8), uint8_t(b), uint8_t(a >> 8), uint8_t(a)});
  return out;
}

// Flat (equal to pixel (0, 0)), noisy and gradient areas: every kind of tile, whatever the size.
void PaintZones(QXImageRef image) {
  static uint32_t seed = 12345;
  const QXRect b = QXImageGetBounds(image);
  const int32_t colBytes = QXImageGetColBytes(image);
  Bytes pixels(size_t(b.width) * b.height * colBytes);
  for (int32_t y = 0; y < b.height; ++y)
    for (int32_t x = 0; x < b.width; ++x)
      for (int32_t i = 0; i < colBytes; ++i) {
        seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
        const int32_t zone = (x / kT + y / kT) % 3;
        pixels[(size_t(y) * b.width + x) * colBytes + i] = zone == 0   ? uint8_t(7 + i)
                                                           : zone == 1 ? uint8_t(seed)
                                                                       : uint8_t(x + 3 * y + i);
      }
  EXPECT_EQ(QXImageWrite(image, b, 0, -1, pixels.data(), 0), 0);
}

// The writer as the format describes it: one tile after another, solid when every visible pixel
// equals pixel (0, 0), otherwise compressed with a placeholder length patched afterwards.
Bytes SequentialSave(QXImageRef image) {
  const QXRect b = QXImageGetBounds(image);
  const int32_t colBytes = QXImageGetColBytes(image);
  const size_t tileBytes = size_t(colBytes) * kT * kT;
  Bytes ref(size_t(colBytes), 0), visible(tileBytes);
  EXPECT_EQ(QXImageRead(image, QXRect{0, 0, 1, 1}, 0, -1, ref.data(), colBytes), 0);
  Stream out = NewStream();
  QXStreamRef s = out.get();
  for (int32_t w : {0, b.width, b.height, QXImageGetDepth(image), QXImageGetColorSpaceType(image),
                    QXImageGetTransparency(image), QXImageGetNumPlanes(image)})
    QXStreamWriteInt32(s, w);
  for (int32_t r = 0; r < (b.height + kT - 1) / kT; ++r) {
    for (int32_t c = 0; c < (b.width + kT - 1) / kT; ++c) {
      const int32_t w = std::min(kT, b.width - kT * c), h = std::min(kT, b.height - kT * r);
      EXPECT_EQ(QXImageRead(image, QXRect{b.x + kT * c, b.y + kT * r, w, h}, 0, -1, visible.data(), 0), 0);
      bool solid = true;
      for (size_t i = 0; i < size_t(w) * h && solid; ++i)
        solid = std::memcmp(&visible[i * colBytes], ref.data(), ref.size()) == 0;
      QXStreamWriteInt32(s, r);
      QXStreamWriteInt32(s, c);
      QXStreamWriteInt32(s, solid ? 1 : 2);
      QXStreamWriteInt32(s, solid ? colBytes : 0);
      if (solid) {
        QXStreamWrite(s, ref.data(), ref.size());
        continue;
      }
      QXTileRef tile = nullptr;
      EXPECT_EQ(QXImageGetNativeTile(image, r, c, &tile), 0);
      uint64_t p0 = 0, p1 = 0;
      QXStreamGetPos(s, &p0);
      EXPECT_EQ(QXUtilsLZWCompressToStream(QXTileGetDataPtr(tile), uint32_t(tileBytes), s), 0);
      QXTileReleaseUse(tile);
      QXStreamGetPos(s, &p1);
      QXStreamSetPos(s, p0 - 4);
      QXStreamWriteInt32(s, int32_t(p1 - p0));
      QXStreamSetPos(s, p1);
    }
  }
  return Contents(s);
}

}  // namespace

TEST(ImagePersist, FormatExamples) {
  // 300 x 200 white RGBA: the header and two solid records.
  Image white(QXRect{0, 0, 300, 200}, 8, 4);
  ASSERT_EQ(QXImageFill(white, 0xFF), 0);
  Builder expected;
  expected.Header(300, 200, 8, 4).Record(0, 0, 1, Bytes(4, 0xFF)).Record(0, 1, 1, Bytes(4, 0xFF));
  EXPECT_EQ(expected.bytes.size(), 68u);
  EXPECT_EQ(Save(white), expected.bytes);

  // Pixel (0, 0) black and a tile of white: that tile is compressed, not solid.
  Image mixed(QXRect{0, 0, 512, 256}, 8, 4);
  const Bytes whiteTile(size_t(4) * kT * kT, 0xFF);
  ASSERT_EQ(QXImageWrite(mixed, QXRect{256, 0, 256, 256}, 0, -1, whiteTile.data(), 0), 0);
  Builder expected2;
  expected2.Header(512, 256, 8, 4).Record(0, 0, 1, Bytes(4, 0)).Record(0, 1, 2, Deflate(whiteTile));
  EXPECT_EQ(Save(mixed), expected2.bytes);

  // A solid edge tile reads back filled with its pixel beyond the image too (the writer ignores
  // what lies there: see the round trips).
  Image back;
  ASSERT_EQ(
      Load(Builder().Header(300, 200, 8, 4).Record(0, 0, 1, Bytes(4, 0)).Record(0, 1, 1, Bytes(4, 0x42)).bytes, back),
      0);
  EXPECT_EQ(QXImageGetDataSourceType(back), kQXImageSourceNone);
  QXTileRef tile = nullptr;
  ASSERT_EQ(QXImageGetNativeTile(back, 0, 1, &tile), 0);
  const auto* data = static_cast<const uint8_t*>(QXTileGetDataPtr(tile));
  EXPECT_TRUE(std::all_of(data, data + 4 * kT * kT, [](uint8_t v) { return v == 0x42; }));
  QXTileReleaseUse(tile);

  // A 16-bit image to a big-endian stream: header and record words swap, pixel bytes do not.
  Image deep(QXRect{0, 0, 10, 10}, 16, 3);
  const std::vector<uint16_t> samples(300, 0x0102);
  ASSERT_EQ(QXImageWrite(deep, QXRect{0, 0, 10, 10}, 0, -1, samples.data(), 0), 0);
  QXImageSetColorSpaceType(deep, 5);
  QXImageSetTransparency(deep, 1);
  Builder expected4;
  expected4.big = true;
  expected4.Header(10, 10, 16, 3, 5, 1).Record(0, 0, 1, Bytes{0x02, 0x01, 0x02, 0x01, 0x02, 0x01});
  const Bytes big = Save(deep, kQXStreamByteOrderBigEndian);
  EXPECT_EQ(big, expected4.bytes);
  ASSERT_EQ(Load(big, back, kQXStreamByteOrderBigEndian), 0);
  EXPECT_TRUE(QXImageGetColorSpaceType(back) == 5 && QXImageGetTransparency(back) == 1);
  EXPECT_EQ(ReadAll(back), ReadAll(deep));
  // The same bytes read in the other order describe a huge image and are refused.
  EXPECT_NE(Load(big, back, kQXStreamByteOrderLittleEndian), 0);
}

// Odd sizes, depths, plane counts and origins, and a larger image also under a budget so small that
// tiles go through the disk store while it is saved and loaded: the parallel writer writes the
// sequential writer's bytes, and the image comes back at (0, 0) (the origin is not stored; the solid
// test compares with the pixel at (0, 0), zero when outside the image) with the same pixels.
TEST(ImagePersist, RoundTripsMatchTheSequentialWriterThreads) {
  std::vector<std::tuple<QXRect, int32_t, int32_t, bool>> cases;
  const QXRect sizes[] = {{0, 0, 1, 1}, {0, 0, 257, 513}, {3, 7, 300, 1}, {0, 0, 1, 260}, {50, 50, 300, 300}};
  for (int32_t depth : {8, 16, 32})
    for (int32_t planes = 1; planes <= 5; ++planes) cases.emplace_back(sizes[cases.size() % 5], depth, planes, false);
  cases.emplace_back(QXRect{0, 0, 1000, 700}, 16, 3, false);
  cases.emplace_back(QXRect{0, 0, 1000, 700}, 16, 3, true);
  for (const auto& [bounds, depth, planes, tight] : cases) {
    SCOPED_TRACE(testing::Message() << depth << "-bit, " << planes << " planes, " << bounds.x << "," << bounds.y << " "
                                    << bounds.width << "x" << bounds.height << (tight ? ", 3-tile budget" : ""));
    Image image(bounds, depth, planes);
    PaintZones(image);
    if (bounds.width == 1000) {
      // An edge tile whose visible part is flat but whose invisible part is not: solid.
      Bytes flat(size_t(1000 - 768) * (700 - 512) * 6);
      for (size_t i = 0; i < flat.size(); ++i) flat[i] = uint8_t(7 + i % 6);
      ASSERT_EQ(QXImageWrite(image, QXRect{768, 512, 232, 188}, 0, -1, flat.data(), 0), 0);
      QXTileRef tile = nullptr;
      ASSERT_EQ(QXImageGetNativeTile(image, 2, 3, &tile), 0);
      static_cast<uint8_t*>(QXTileGetDataPtr(tile))[6 * kT * kT - 1] = 0xEE;
      QXTileReleaseUse(tile);
    }
    const Bytes pixels = ReadAll(image);
    const int64_t reloaded = Stats().tilesReloaded;
    std::unique_ptr<Budget> budget(tight ? new Budget(3.0 * 6 * kT * kT) : nullptr);
    const Bytes saved = Save(image);
    EXPECT_EQ(saved, SequentialSave(image));
    Image back;
    ASSERT_EQ(Load(saved, back), 0);
    const QXRect b = QXImageGetBounds(back);
    EXPECT_TRUE(b.x == 0 && b.y == 0 && b.width == bounds.width && b.height == bounds.height);
    EXPECT_TRUE(QXImageGetDepth(back) == depth && QXImageGetNumPlanes(back) == planes);
    EXPECT_EQ(ReadAll(back), pixels);
    EXPECT_TRUE(!tight || Stats().tilesReloaded > reloaded);
    if (bounds.x == 0 && bounds.y == 0) {
      EXPECT_EQ(Save(back), saved);  // what was read back saves to the same bytes
    }
  }
}

// Saves are not snapshots, but a writer running meanwhile (tiles going through the disk store) must
// neither deadlock the save nor make it write an unreadable stream.
TEST(ImagePersist, SaveWhileAnotherThreadWritesThreads) {
  Image image(QXRect{0, 0, 900, 600}, 8, 4);
  PaintZones(image);
  Budget budget(4.0 * 4 * kT * kT);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    Bytes patch(size_t(100) * 100 * 4);
    for (uint32_t i = 0; !stop.load(); ++i) {
      std::fill(patch.begin(), patch.end(), uint8_t(i));
      const QXRect r{int32_t(i * 37 % 850), int32_t(i * 53 % 550), 100, 100};
      EXPECT_EQ(QXImageWrite(image, r, 0, -1, patch.data(), 0), 0);
    }
  });
  for (int round = 0; round < 3; ++round) {
    Image back;
    EXPECT_EQ(Load(Save(image), back), 0);
  }
  stop = true;
  writer.join();
}

TEST(ImagePersist, HostileStreamsFailCleanly) {
  Image back;
  const size_t t8 = size_t(kT) * kT;  // one 8-bit plane
  // Header values outside the limits; the last two ask for a little more than the default load limit
  // of 16 GiB (8-bit samples), and for 2^20 tiles of 8 MiB.
  const int32_t m = 1 << 20, q = 1 << 18;
  const int32_t bad[][4] = {{0, 1, 8, 1},  {1, 0, 8, 1}, {-5, 1, 8, 1},         {m + 1, 1, 8, 1},
                            {1, 1, 12, 1}, {1, 1, 0, 1}, {1, 1, 8, 0},          {1, 1, 8, 33},
                            {1, 1, 8, -1}, {m, m, 8, 1}, {m, m / 64 + 1, 8, 1}, {q, q, 32, 32}};
  for (const auto& h : bad)
    EXPECT_EQ(Load(Builder().Header(h[0], h[1], h[2], h[3]).Record(0, 0, 1, Bytes(4, 0)).bytes, back),
              kQXErrInvalidArgument)
        << h[0] << " " << h[1] << " " << h[2] << " " << h[3];
  // The largest image the default limit allows (16 GiB), but no records: refused before the grid
  // is built.
  EXPECT_EQ(Load(Builder().Header(m, m / 64, 8, 1).bytes, back), -1);
  EXPECT_NE(Load(Bytes(27, 0), back), 0);

  // One record of a 10 x 10 image; its length word is at byte 40.
  auto oneTile = [](int32_t r, int32_t c, int32_t method, const Bytes& payload) {
    return Builder().Header(10, 10, 8, 1).Record(r, c, method, payload).bytes;
  };
  Bytes negative = oneTile(0, 0, 2, {}), pastEnd = oneTile(0, 0, 2, Bytes(10, 0));
  std::memset(&negative[40], 0xFF, 4);
  std::memcpy(&pastEnd[40], "\xE8\x03\0\0", 4);  // 1000 bytes announced, 10 present
  Bytes tooLong(t8 + 1);
  for (size_t i = 0; i < t8; ++i) tooLong[i] = uint8_t(i * 7 + i / 256);
  const std::pair<Bytes, int32_t> refused[] = {
      {oneTile(0, 0, 0, Bytes(t8 + 1, 1)), kQXErrInvalidArgument},  // raw longer than a tile
      {oneTile(0, 0, 3, Bytes(1, 1)), kQXErrInvalidArgument},       // unknown method
      {oneTile(0, 0, -1, {}), kQXErrInvalidArgument},
      {oneTile(1, 0, 1, Bytes(1, 1)), kQXErrInvalidArgument},  // outside the grid
      {oneTile(0, -1, 1, Bytes(1, 1)), kQXErrInvalidArgument},
      {oneTile(0, 0, 1, Bytes(3, 1)), kQXErrSolidTileSize},     // solid length is not the pixel size
      {oneTile(0, 0, 2, Bytes(64, 0x55)), -1},                  // not zlib
      {oneTile(0, 0, 2, Bytes(63, 0)), kQXErrInvalidArgument},  // too short for zlib to fill a tile
      {oneTile(0, 0, 2, Deflate(Bytes(t8 - 1, 3))), -1},        // one byte short
      {oneTile(0, 0, 2, StoredZlib(tooLong, 8)), -1},           // one byte too many
      {negative, kQXErrInvalidArgument},
      {pastEnd, -1}};
  for (size_t i = 0; i < std::size(refused); ++i) EXPECT_EQ(Load(refused[i].first, back), refused[i].second) << i;

  // Raw records: the bytes land at the start of the tile (11 and 12 beyond the image's 10 columns).
  ASSERT_EQ(Load(oneTile(0, 0, 0, Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}), back), 0);
  Bytes pixels = ReadAll(back);
  EXPECT_EQ(Bytes(pixels.begin(), pixels.begin() + 10), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_TRUE(std::all_of(pixels.begin() + 10, pixels.end(), [](uint8_t v) { return v == 0; }));
  // A compressed record far longer than any saver writes is inflated straight from the stream,
  // after the records queued before it; a later record for the same tile wins, also a zero one; a
  // tile without a record, or with only a zero one, is zero and is never made resident.
  tooLong.pop_back();
  const Bytes stored = StoredZlib(tooLong, 8);
  ASSERT_GT(stored.size(), t8 * 3 / 2);
  Builder records;
  records.Header(1200, 10, 8, 1).Record(0, 0, 1, {4}).Record(0, 1, 2, stored).Record(0, 2, 1, {5});
  ASSERT_EQ(Load(records.Record(0, 2, 1, {0}).Record(0, 3, 0, Bytes(9, 0)).bytes, back), 0);
  EXPECT_FALSE(QXImageGetTileLoaded(back, 0, 3));
  pixels = ReadAll(back);
  EXPECT_EQ(pixels[0], 4);
  EXPECT_TRUE(std::equal(pixels.begin() + 256, pixels.begin() + 512, tooLong.begin()));
  EXPECT_TRUE(std::equal(pixels.begin() + 1456, pixels.begin() + 1712, tooLong.begin() + 256));
  EXPECT_TRUE(std::all_of(pixels.begin() + 512, pixels.begin() + 1200, [](uint8_t v) { return v == 0; }));

  // A small valid stream with solid and compressed records, cut at every byte, fails at every cut.
  Image source(QXRect{0, 0, 300, 200}, 8, 2);
  Bytes gradient(size_t(300) * 200 * 2);
  for (size_t i = 0; i < gradient.size(); ++i) gradient[i] = i % 600 < 512 ? uint8_t(i % 600 / 3 + 1) : 1;
  ASSERT_EQ(QXImageWrite(source, QXRect{0, 0, 300, 200}, 0, -1, gradient.data(), 0), 0);
  const Bytes valid = Save(source);
  ASSERT_EQ(valid[28 + 8], 2);
  ASSERT_EQ(valid[valid.size() - 10], 1);
  ASSERT_LT(valid.size(), 4000u);
  ASSERT_EQ(Load(valid, back), 0);
  for (size_t cut = 0; cut < valid.size(); ++cut)
    EXPECT_NE(Load(Bytes(valid.begin(), valid.begin() + long(cut)), back), 0) << "cut at " << cut;
}

// The host's limit counts the declared image's tiles (edge tiles whole). A stream that knows no
// length (a socket) has its first record checked before the grid is built: a header with nothing
// sane behind it builds no tiles, so the listeners hear of none being destroyed.
TEST(ImagePersist, LoadLimitAndStreamsOfUnknownLength) {
  Image source(QXRect{0, 0, 300, 200}, 8, 2);  // two tiles of 128 KiB
  PaintZones(source);
  const Bytes saved = Save(source), pixels = ReadAll(source);
  const uint64_t defaultLimit = QXImageGetStreamLoadLimit();
  EXPECT_EQ(defaultLimit, uint64_t(16) << 30);
  Image back;
  QXImageSetStreamLoadLimit(2 * 2 * 65536 - 1);
  EXPECT_EQ(Load(saved, back), kQXErrInvalidArgument);
  QXImageSetStreamLoadLimit(2 * 2 * 65536);
  EXPECT_EQ(QXImageGetStreamLoadLimit(), 2u * 2 * 65536);
  ASSERT_EQ(Load(saved, back), 0);
  EXPECT_EQ(ReadAll(back), pixels);
  QXImageSetStreamLoadLimit(defaultLimit);

  ASSERT_EQ(LoadUnknownLength(saved, back), 0);
  EXPECT_EQ(ReadAll(back), pixels);
  back.reset();
  static std::atomic<int> destroyed{0};
  auto listen = [](QXImageMsg* m) { destroyed += m->code == kQXImageMsgTileDestroyed; };
  ASSERT_EQ(QXImageRegisterMsgListener(listen, nullptr), 0);
  Builder big;
  big.Header(1 << 14, 1 << 14, 8, 1);  // 4096 tiles
  const Bytes bad[] = {Builder(big).Record(0, 0, 7, {}).bytes, Builder(big).Record(64, 0, 1, {1}).bytes,
                       Builder(big).Record(0, 0, 2, Bytes(63, 0)).bytes, Builder(big).Word(0).bytes, big.bytes};
  for (const Bytes& bytes : bad) EXPECT_NE(LoadUnknownLength(bytes, back), 0);
  Builder hostile;  // 8 TiB asked for with solid records
  hostile.Header(1 << 18, 1 << 18, 32, 32);
  for (int i = 0; i < 64; ++i) hostile.Record(0, i, 1, Bytes(128, uint8_t(i + 1)));
  EXPECT_EQ(LoadUnknownLength(hostile.bytes, back), kQXErrInvalidArgument);
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(QXImageUnRegisterMsgListener(listen), 0);
}

TEST(ImagePersist, SaveRefusesWhatItCannotWrite) {
  Image memory(kMemory, QXRect{0, 0, 4, 4}, 8, 1), tiled(QXRect{0, 0, 4, 4}, 8, 1);
  Stream out = NewStream();
  EXPECT_EQ(QXImageSaveToStream(memory, out.get()), kQXErrNotOffered);
  EXPECT_EQ(QXImageSaveToStream(tiled, nullptr), kQXErrInvalidArgument);
  EXPECT_EQ(QXImageSaveToStream(nullptr, out.get()), kQXErrInvalidArgument);
  QXImageRef image = nullptr;
  EXPECT_EQ(QXImageCreateFromStream(nullptr, 0, &image), kQXErrInvalidArgument);
  QXStreamClose(out.get());  // a closed stream fails the first write
  EXPECT_NE(QXImageSaveToStream(tiled, out.get()), 0);
}
