// Tile-record streams: the writer's exact bytes, round trips, defences against hostile streams.
#include <QXCore/QXStream.h>
#include <libdeflate.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>
#include <tuple>

#include "cf/CFRef.h"
#include "core/ProgramSupport.h"
#include "net/StreamHandle.h"
#include "tests/image/ImageTestSupport.h"
#include "tests/net/StreamTestSupport.h"

using namespace qxtest;

namespace {

constexpr int32_t kT = kTile;
using Bytes = std::vector<uint8_t>;
using Stream = qx::StreamHolder;

Stream NewStream(const Bytes& bytes = {}, QXStreamByteOrder order = kQXStreamByteOrderLittleEndian) {
  auto data = qxcf::adopt(CFDataCreateMutable(nullptr, 0));
  CFDataAppendBytes(data.get(), bytes.data(), CFIndex(bytes.size()));
  Stream stream(QXStreamCreateForData(data.get()));
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

// Loads `bytes` from `stream` (by default a data stream) into `out`; a failure hands out no image.
QXStatus Load(const Bytes& bytes, Image& out, QXStreamByteOrder order = kQXStreamByteOrderLittleEndian,
              QXStreamRef stream = nullptr) {
  QXImageRef image = reinterpret_cast<QXImageRef>(&out);
  const QXStatus status = QXImageCreateFromStream(stream ? stream : NewStream(bytes, order).get(), 0, &image);
  EXPECT_TRUE(status == 0 || image == nullptr) << status;
  out.reset(status == 0 ? image : nullptr);
  return status;
}

// Bytes as a socket delivers them: no position, no length, 10057 at the end.
QXStatus LoadUnknownLength(const Bytes& bytes, Image& out) {
  streamtest::TrickleStream stream(std::string(bytes.begin(), bytes.end()), SIZE_MAX);
  return Load(bytes, out, kQXStreamByteOrderLittleEndian, qx::toHandle<__QXStream>(&stream));
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

// A compressed record as the writer makes it: libdeflate's zlib format at level 6.
Bytes Deflate(const Bytes& raw) {
  std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)> c(libdeflate_alloc_compressor(6),
                                                                             libdeflate_free_compressor);
  Bytes out(libdeflate_zlib_compress_bound(c.get(), raw.size()));
  out.resize(libdeflate_zlib_compress(c.get(), raw.data(), raw.size(), out.data(), out.size()));
  EXPECT_FALSE(out.empty());
  return out;
}

// The same through zlib, as other writers make it.
Bytes ZlibDeflate(const Bytes& raw) {
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
  for (uint8_t v : raw) a = (a + v) % 65521, b = (b + a) % 65521;
  out.insert(out.end(), {uint8_t(b >> 8), uint8_t(b), uint8_t(a >> 8), uint8_t(a)});
  return out;
}

// Flat (equal to pixel (0, 0)), noisy and gradient tiles.
void PaintZones(QXImageRef image) {
  static uint32_t seed = 12345;
  const QXRect b = QXImageGetBounds(image);
  const size_t col = size_t(QXImageGetColBytes(image));
  Bytes pixels = RandomBytes(size_t(b.width) * size_t(b.height) * col, seed++);
  for (size_t at = 0; at < pixels.size(); ++at) {
    const int32_t x = int32_t(at / col) % b.width, y = int32_t(at / col) / b.width, i = int32_t(at % col);
    const int32_t zone = (x / kT + y / kT) % 3;
    if (zone != 1) pixels[at] = zone == 0 ? uint8_t(7 + i) : uint8_t(x + 3 * y + i);
  }
  WriteAll(image, pixels);
}

// Tile after tile: solid when every visible pixel equals pixel (0, 0), else the whole tile compressed.
Bytes SequentialSave(QXImageRef image) {
  const QXRect b = QXImageGetBounds(image);
  const size_t col = size_t(QXImageGetColBytes(image));
  Bytes first(col, 0);
  EXPECT_EQ(QXImageRead(image, QXRect{0, 0, 1, 1}, 0, -1, first.data(), 0), 0);
  Builder out;
  out.Header(b.width, b.height, QXImageGetDepth(image), QXImageGetNumPlanes(image), QXImageGetColorSpaceType(image),
             QXImageGetTransparency(image));
  for (int32_t r = 0; r * kT < b.height; ++r)
    for (int32_t c = 0; c * kT < b.width; ++c) {
      const QXRect visible{b.x + kT * c, b.y + kT * r, std::min(kT, b.width - kT * c), std::min(kT, b.height - kT * r)};
      const Bytes pixels = ReadAs(image, visible);
      bool solid = true;
      for (size_t i = 0; i < pixels.size() && solid; i += col)
        solid = std::equal(first.begin(), first.end(), &pixels[i]);
      NativeTile tile(image, r, c);
      out.Record(r, c, solid ? 1 : 2, solid ? first : Deflate(Bytes(tile.data(), tile.data() + col * kT * kT)));
    }
  return out.bytes;
}

}  // namespace

TEST(ImagePersist, FormatExamplesAndRefusedSaves) {
  // White RGBA: the header and two solid records. Pixel (0, 0) black and a white tile: compressed.
  Image white(QXRect{0, 0, 300, 200}, 8, 4), mixed(QXRect{0, 0, 512, 256}, 8, 4);
  ASSERT_EQ(QXImageFill(white, 0xFF), 0);
  const Bytes whiteTile(size_t(4) * kT * kT, 0xFF);
  ASSERT_EQ(QXImageWrite(mixed, QXRect{256, 0, 256, 256}, 0, -1, whiteTile.data(), 0), 0);
  EXPECT_EQ(Save(white),
            Builder().Header(300, 200, 8, 4).Record(0, 0, 1, Bytes(4, 0xFF)).Record(0, 1, 1, Bytes(4, 0xFF)).bytes);
  EXPECT_EQ(Save(mixed),
            Builder().Header(512, 256, 8, 4).Record(0, 0, 1, Bytes(4, 0)).Record(0, 1, 2, Deflate(whiteTile)).bytes);
  // A solid edge tile reads back filled with its pixel beyond the image too.
  Image back;
  Builder edge;
  ASSERT_EQ(Load(edge.Header(300, 200, 8, 4).Record(0, 0, 1, Bytes(4, 0)).Record(0, 1, 1, Bytes(4, 0x42)).bytes, back),
            0);
  EXPECT_EQ(QXImageGetDataSourceType(back), kQXImageSourceNone);
  const uint8_t* data = NativeTile(back, 0, 1).data();
  EXPECT_TRUE(std::all_of(data, data + 4 * kT * kT, [](uint8_t v) { return v == 0x42; }));
  // A 16-bit image to a big-endian stream: header and record words swap, pixel bytes do not.
  Image deep(QXRect{0, 0, 10, 10}, 16, 3);
  WriteAll(deep, std::vector<uint16_t>(300, 0x0102));
  QXImageSetColorSpaceType(deep, 5);
  QXImageSetTransparency(deep, 1);
  const Bytes big = Save(deep, kQXStreamByteOrderBigEndian);
  EXPECT_EQ(big, (Builder{true, {}}.Header(10, 10, 16, 3, 5, 1).Record(0, 0, 1, Bytes{2, 1, 2, 1, 2, 1}).bytes));
  ASSERT_EQ(Load(big, back, kQXStreamByteOrderBigEndian), 0);
  EXPECT_TRUE(QXImageGetColorSpaceType(back) == 5 && QXImageGetTransparency(back) == 1);
  EXPECT_EQ(ReadAll(back), ReadAll(deep));
  // The same bytes read in the other order describe a huge image and are refused.
  EXPECT_NE(Load(big, back), 0);
  // Only tiled records are saved; a closed stream fails the first write.
  Stream out = NewStream();
  EXPECT_EQ(QXImageSaveToStream(Image(kMemory, QXRect{0, 0, 4, 4}, 8, 1), out.get()), kQXErrNotOffered);
  EXPECT_EQ(QXImageSaveToStream(white, nullptr), kQXErrInvalidArgument);
  EXPECT_EQ(QXImageSaveToStream(nullptr, out.get()), kQXErrInvalidArgument);
  EXPECT_EQ(Refusal(QXImageCreateFromStream, nullptr, 0), kQXErrInvalidArgument);
  QXStreamClose(out.get());
  EXPECT_NE(QXImageSaveToStream(white, out.get()), 0);
}

// Odd sizes, depths, plane counts and origins, also through the disk store: the parallel writer
// writes the sequential writer's bytes; the pixels come back, at (0, 0).
TEST(ImagePersist, RoundTripsMatchTheSequentialWriterThreads) {
  std::vector<std::tuple<QXRect, int32_t, int32_t, bool>> cases;
  const QXRect sizes[] = {{0, 0, 1, 1}, {0, 0, 257, 513}, {3, 7, 300, 1}, {0, 0, 1, 260}, {50, 50, 300, 300}};
  for (int32_t depth : kDepths)
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
      NativeTile(image, 2, 3).data()[6 * kT * kT - 1] = 0xEE;
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
    EXPECT_TRUE(bounds.x != 0 || bounds.y != 0 || Save(back) == saved);  // what was read back saves the same bytes
  }
}

// Compressed records are plain zlib streams: Python's zlib inflates each one the library writes to
// the pixels the library reads, and the library loads the records Python's zlib writes.
TEST(ImagePersist, RecordsOfOtherZlibReadersAndWriters) {
  if (!streamtest::Installed("python3")) GTEST_SKIP() << "python3 is not installed";
  Image image(QXRect{0, 0, 700, 300}, 16, 3), back;  // tiles solid, noisy, gradient; 2 solid
  PaintZones(image);
  const auto dir = std::filesystem::temp_directory_path();
  const Bytes saved = Save(image);
  std::ofstream(dir / "saved", std::ios::binary).write(reinterpret_cast<const char*>(saved.data()), long(saved.size()));
  const auto [out, status] = streamtest::Command("python3 '" + std::string(QX_TEST_AREA_DIR) +
                                                 "/data/zlib_records.py' '" + (dir / "saved").string() + "' '" +
                                                 (dir / "raw").string() + "' '" + (dir / "zlib").string() + "' 2>&1");
  ASSERT_EQ(status, 0) << out;
  EXPECT_EQ(out, "4\n");  // compressed records inflated
  for (const char* name : {"raw", "zlib"}) {
    std::ifstream in(dir / name, std::ios::binary);
    ASSERT_EQ(Load(Bytes(std::istreambuf_iterator<char>(in), {}), back), 0) << name;
    EXPECT_EQ(ReadAll(back), ReadAll(image)) << name;
  }
}

// A writer running meanwhile must neither deadlock a save nor make it unreadable.
TEST(ImagePersist, SaveWhileAnotherThreadWritesThreads) {
  Image image(QXRect{0, 0, 900, 600}, 8, 4), back;
  PaintZones(image);
  Budget budget(4.0 * 4 * kT * kT);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    Bytes patch(size_t(100) * 100 * 4);
    for (uint32_t i = 0; !stop.load(); ++i) {
      std::fill(patch.begin(), patch.end(), uint8_t(i));
      EXPECT_EQ(
          QXImageWrite(image, QXRect{int32_t(i * 37 % 850), int32_t(i * 53 % 550), 100, 100}, 0, -1, patch.data(), 0),
          0);
    }
  });
  for (int round = 0; round < 3; ++round) EXPECT_EQ(Load(Save(image), back), 0);
  stop = true;
  writer.join();
}

TEST(ImagePersist, HostileStreamsFailCleanly) {
  Image back;
  const size_t t8 = size_t(kT) * kT;  // one 8-bit plane
  // Header values outside the limits; the last two ask for just over the default load limit.
  const int32_t m = 1 << 20, q = 1 << 18;
  const int32_t bad[][4] = {{0, 1, 8, 1},  {1, 0, 8, 1}, {-5, 1, 8, 1},         {m + 1, 1, 8, 1},
                            {1, 1, 12, 1}, {1, 1, 0, 1}, {1, 1, 8, 0},          {1, 1, 8, 33},
                            {1, 1, 8, -1}, {m, m, 8, 1}, {m, m / 64 + 1, 8, 1}, {q, q, 32, 32}};
  for (const auto& h : bad)
    EXPECT_EQ(Load(Builder().Header(h[0], h[1], h[2], h[3]).Record(0, 0, 1, Bytes(4, 0)).bytes, back),
              kQXErrInvalidArgument)
        << h[0] << " " << h[1] << " " << h[2] << " " << h[3];
  // The largest image the default limit allows, but no records: refused before the grid is built.
  EXPECT_EQ(Load(Builder().Header(m, m / 64, 8, 1).bytes, back), kQXErrGeneric);
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
  // A tile's record with one byte flipped, and with a byte after its end.
  Bytes damaged = ZlibDeflate(Bytes(tooLong.begin(), tooLong.end() - 1)), trailing = damaged;
  damaged[damaged.size() / 2] ^= 0x10;
  trailing.push_back(0);
  const std::pair<Bytes, QXStatus> refused[] = {
      {oneTile(0, 0, 0, Bytes(t8 + 1, 1)), kQXErrInvalidArgument},  // raw longer than a tile
      {oneTile(0, 0, 3, Bytes(1, 1)), kQXErrInvalidArgument},       // unknown methods
      {oneTile(0, 0, -1, {}), kQXErrInvalidArgument},
      {oneTile(1, 0, 1, Bytes(1, 1)), kQXErrInvalidArgument},  // outside the grid
      {oneTile(0, -1, 1, Bytes(1, 1)), kQXErrInvalidArgument},
      {oneTile(0, 0, 1, Bytes(3, 1)), kQXErrSolidTileSize},              // solid length is not the pixel size
      {oneTile(0, 0, 2, Bytes(64, 0x55)), kQXErrGeneric},                // not zlib
      {oneTile(0, 0, 2, Bytes(63, 0)), kQXErrInvalidArgument},           // too short for zlib to fill a tile
      {oneTile(0, 0, 2, ZlibDeflate(Bytes(t8 - 1, 3))), kQXErrGeneric},  // one byte short
      {oneTile(0, 0, 2, ZlibDeflate(tooLong)), kQXErrGeneric},           // one byte too many
      {oneTile(0, 0, 2, damaged), kQXErrGeneric},
      {oneTile(0, 0, 2, trailing), kQXErrGeneric},
      {oneTile(0, 0, 2, StoredZlib(tooLong, 8)), kQXErrGeneric},  // the same, inflated from the stream
      {negative, kQXErrInvalidArgument},
      {pastEnd, kQXErrGeneric}};
  for (size_t i = 0; i < std::size(refused); ++i) EXPECT_EQ(Load(refused[i].first, back), refused[i].second) << i;

  // Raw records: the bytes land at the start of the tile (11 and 12 beyond the image's 10 columns).
  ASSERT_EQ(Load(oneTile(0, 0, 0, Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}), back), 0);
  Bytes pixels = ReadAll(back), want(100, 0);
  for (uint8_t i = 0; i < 10; ++i) want[i] = i + 1;
  EXPECT_EQ(pixels, want);
  // A compressed record far longer than any saver writes is inflated straight from the stream, after
  // the records queued before it; a later record for a tile wins; a tile without one, or with only a
  // zero one, is zero and never made resident.
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
  WriteAll(source, gradient);
  const Bytes valid = Save(source);
  ASSERT_TRUE(valid[28 + 8] == 2 && valid[valid.size() - 10] == 1 && valid.size() < 4000u);
  ASSERT_EQ(Load(valid, back), 0);
  for (size_t cut = 0; cut < valid.size(); ++cut)
    EXPECT_NE(Load(Bytes(valid.begin(), valid.begin() + long(cut)), back), 0) << "cut at " << cut;
}

// The host's limit counts the declared image's tiles (edge tiles whole). A stream of no known length
// has its first record checked before the grid is built: the listeners hear of no tile destroyed.
TEST(ImagePersist, LoadLimitAndStreamsOfUnknownLength) {
  Image source(QXRect{0, 0, 300, 200}, 8, 2), back;  // two tiles of 128 KiB
  PaintZones(source);
  const Bytes saved = Save(source), pixels = ReadAll(source);
  const uint64_t defaultLimit = QXImageGetStreamLoadLimit();
  EXPECT_EQ(defaultLimit, uint64_t(16) << 30);
  QXImageSetStreamLoadLimit(2 * 2 * 65536 - 1);
  EXPECT_EQ(Load(saved, back), kQXErrInvalidArgument);
  QXImageSetStreamLoadLimit(2 * 2 * 65536);
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
