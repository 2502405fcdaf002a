// The zlib codec over streams: round trips, exact records, damaged records, and interoperability
// with Python's zlib in both directions.
#include <QXCore/QXStream.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/files/FileTestSupport.h"
#include "tests/net/StreamTestSupport.h"

namespace {

using qxcf::CFRef;
namespace fs = std::filesystem;

using streamtest::Bytes;
using streamtest::Memory;
using streamtest::StreamPtr;

// 16-bit RGB rows with smooth gradients and some noise, as photographs compress.
std::string Tile(size_t pixels) {
  std::string bytes(pixels * 6, '\0');
  uint32_t seed = 12345;
  for (size_t i = 0; i < pixels; ++i) {
    seed = seed * 1103515245u + 12345u;
    for (int c = 0; c < 3; ++c) {
      uint16_t v = static_cast<uint16_t>((i % 256) * 200 + c * 5000 + ((seed >> 16) & 0x3f));
      std::memcpy(&bytes[i * 6 + c * 2], &v, 2);
    }
  }
  return bytes;
}

std::string Compress(const std::string& source) {
  StreamPtr out = Memory("");
  EXPECT_EQ(QXUtilsLZWCompressToStream(source.data(), static_cast<uint32_t>(source.size()), out.get()), 0);
  return Bytes(out.get());
}

int32_t Decompress(const std::string& record, int32_t length, std::string& out, uint32_t capacity) {
  StreamPtr in = Memory(record);
  out.assign(capacity, '\0');
  return QXUtilsLZWDecompressFromStream(in.get(), length, out.data(), capacity);
}

// Python reads "ours" and "source" in `dir`: it inflates ours into "back", deflates the source at levels 6 and 9.
bool Python(const fs::path& dir) {
  std::string command = "cd '" + dir.string() +
                        "' && python3 -c 'import zlib; r = lambda n: open(n, \"rb\").read()\n"
                        "def w(n, d): open(n, \"wb\").write(d)\n"
                        "w(\"back\", zlib.decompress(r(\"ours\"))); w(\"six\", zlib.compress(r(\"source\"), 6))\n"
                        "w(\"nine\", zlib.compress(r(\"source\"), 9))'";
  return std::system(command.c_str()) == 0;
}

TEST(StreamZlib, RoundTripsExactAndDamagedRecords) {
  std::string out;
  for (size_t pixels : {size_t{0}, size_t{1}, size_t{256 * 256}}) {
    const std::string source = Tile(pixels), record = Compress(source);
    ASSERT_GE(record.size(), 8u);
    EXPECT_EQ(record.substr(0, 2), "\x78\x9c");  // zlib header: deflate, 32 KiB window, default level
    const auto length = static_cast<int32_t>(record.size());
    const auto size = static_cast<uint32_t>(source.size());
    EXPECT_EQ(Decompress(record, length, out, size), 0);
    EXPECT_TRUE(out == source);
    EXPECT_EQ(Decompress(record, length, out, size + 1), -1);  // destination not filled

    // Several records back to back: each read leaves the stream at the next one.
    StreamPtr in = Memory(record + record);
    std::string first(size, '\0'), second(size, '\0');
    EXPECT_EQ(QXUtilsLZWDecompressFromStream(in.get(), length, first.data(), size), 0);
    uint64_t pos = 0;
    EXPECT_EQ(QXStreamGetPos(in.get(), &pos), 0);
    EXPECT_EQ(pos, record.size());
    EXPECT_EQ(QXUtilsLZWDecompressFromStream(in.get(), length, second.data(), size), 0);
    EXPECT_TRUE(first == source && second == source);
    if (size == 0) {
      StreamPtr again = Memory(record);
      EXPECT_EQ(QXUtilsLZWDecompressFromStream(again.get(), length, nullptr, 0), 0);  // no destination at all
      StreamPtr packed = Memory("");
      EXPECT_EQ(QXUtilsLZWCompressToStream(nullptr, 0, packed.get()), 0);
      EXPECT_EQ(Bytes(packed.get()), record);
      continue;
    }
    EXPECT_EQ(Decompress(record, length, out, size - 1), -1);  // one byte short
    if (pixels == 1) continue;
    // Damaged: bytes left over after the zlib data; fewer bytes in the stream than the length promises (no
    // garbage reaches inflate); lengths that cut the record; a flipped byte in the middle or in the checksum.
    std::string middle = record, checksum = record;
    middle[record.size() / 2] ^= 0x55;
    checksum.back() ^= 0x55;
    const std::pair<std::string, int32_t> damaged[] = {{record + "xyz", length + 3},
                                                       {record, length + 100},
                                                       {record, length - 4},
                                                       {record, 0},
                                                       {middle, length},
                                                       {checksum, length}};
    for (const auto& [bytes, n] : damaged) EXPECT_EQ(Decompress(bytes, n, out, size), -1) << n << " of " << length;
    EXPECT_EQ(Decompress(record, -1, out, size), kQXErrInvalidArgument);

    // A failing stream passes its own status on.
    StreamPtr closed = Memory(record);
    QXStreamClose(closed.get());
    EXPECT_EQ(QXUtilsLZWDecompressFromStream(closed.get(), length, out.data(), size), -1);
    EXPECT_EQ(QXUtilsLZWCompressToStream(source.data(), size, closed.get()), -1);
  }
}

TEST(StreamZlib, PythonInterop) {
  qxtest::TempHome home;
  std::string source = Tile(20000), record = Compress(source);
  filetest::Write(home.root() / "ours", record);
  filetest::Write(home.root() / "source", source);
  ASSERT_TRUE(Python(home.root()));
  // Python inflates ours, and level 6 with zlib's defaults gives the same bytes.
  EXPECT_TRUE(filetest::Read(home.root() / "back") == source);
  EXPECT_TRUE(filetest::Read(home.root() / "six") == record);
  // Python to ours, at another level.
  std::string python = filetest::Read(home.root() / "nine"), out;
  EXPECT_EQ(Decompress(python, static_cast<int32_t>(python.size()), out, static_cast<uint32_t>(source.size())), 0);
  EXPECT_TRUE(out == source);
}

}  // namespace
