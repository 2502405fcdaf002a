// The zlib codec over streams: round trips, exact records, damaged records, and interoperability
// with Python's zlib in both directions.
#include <QXCore/QXStream.h>
#include <gtest/gtest.h>

#include <cstdio>
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

// Runs a Python snippet that reads file `in` and writes file `out`.
bool Python(const std::string& code, const fs::path& in, const fs::path& out) {
  std::string command = "python3 -c '" + code + "' '" + in.string() + "' '" + out.string() + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return false;
  return pclose(pipe) == 0;
}

TEST(StreamZlib, RoundTripsAndExactRecords) {
  for (size_t pixels : {size_t{0}, size_t{1}, size_t{256 * 256}}) {
    std::string source = Tile(pixels);
    std::string record = Compress(source);
    ASSERT_GE(record.size(), 8u);
    EXPECT_EQ(record.substr(0, 2), "\x78\x9c");  // zlib header: deflate, 32 KiB window, default level
    std::string out;
    auto length = static_cast<int32_t>(record.size());
    auto size = static_cast<uint32_t>(source.size());
    EXPECT_EQ(Decompress(record, length, out, size), 0);
    EXPECT_TRUE(out == source);
    if (size > 0) {
      EXPECT_EQ(Decompress(record, length, out, size - 1), -1);  // one byte short
    }
    EXPECT_EQ(Decompress(record, length, out, size + 1), -1);  // destination not filled
    if (size == 0) {
      StreamPtr in = Memory(record);
      EXPECT_EQ(QXUtilsLZWDecompressFromStream(in.get(), length, nullptr, 0), 0);  // no destination at all
      StreamPtr packed = Memory("");
      EXPECT_EQ(QXUtilsLZWCompressToStream(nullptr, 0, packed.get()), 0);
      EXPECT_EQ(Bytes(packed.get()), record);
    }

    // Several records back to back: each read leaves the stream at the next one.
    StreamPtr in = Memory(record + record);
    std::string first(size, '\0'), second(size, '\0');
    EXPECT_EQ(QXUtilsLZWDecompressFromStream(in.get(), length, first.data(), size), 0);
    uint64_t pos = 0;
    EXPECT_EQ(QXStreamGetPos(in.get(), &pos), 0);
    EXPECT_EQ(pos, record.size());
    EXPECT_EQ(QXUtilsLZWDecompressFromStream(in.get(), length, second.data(), size), 0);
    EXPECT_TRUE(first == source && second == source);
  }
}

TEST(StreamZlib, DamagedRecordsFail) {
  std::string source = Tile(4096);
  std::string record = Compress(source);
  auto length = static_cast<int32_t>(record.size());
  auto size = static_cast<uint32_t>(source.size());
  std::string out;
  // Compressed bytes left over after the end of the zlib data.
  EXPECT_EQ(Decompress(record + "xyz", length + 3, out, size), -1);
  // Fewer bytes in the stream than the length promises: no garbage reaches inflate.
  EXPECT_EQ(Decompress(record, length + 100, out, size), -1);
  // A length that cuts the record.
  EXPECT_EQ(Decompress(record, length - 4, out, size), -1);
  EXPECT_EQ(Decompress(record, 0, out, size), -1);
  // A flipped byte in the middle or in the checksum.
  for (size_t at : {record.size() / 2, record.size() - 1}) {
    std::string damaged = record;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x55);
    EXPECT_EQ(Decompress(damaged, length, out, size), -1) << at;
  }
  EXPECT_EQ(Decompress(record, -1, out, size), kQXErrInvalidArgument);
  // A failing stream passes its own status on.
  StreamPtr closed = Memory(record);
  QXStreamClose(closed.get());
  EXPECT_EQ(QXUtilsLZWDecompressFromStream(closed.get(), length, out.data(), size), -1);
  EXPECT_EQ(QXUtilsLZWCompressToStream(source.data(), size, closed.get()), -1);
}

TEST(StreamZlib, PythonInterop) {
  qxtest::TempHome home;
  fs::path raw = home.root() / "raw", packed = home.root() / "packed", back = home.root() / "back";
  std::string source = Tile(20000);

  // Ours to Python: Python inflates it, and level 6 with zlib's defaults gives the same bytes.
  std::string record = Compress(source);
  filetest::Write(raw, record);
  ASSERT_TRUE(Python(
      "import zlib,sys; open(sys.argv[2],\"wb\").write(zlib.decompress(open(sys.argv[1],\"rb\").read()))", raw, back));
  EXPECT_TRUE(filetest::Read(back) == source);
  filetest::Write(raw, source);
  ASSERT_TRUE(
      Python("import zlib,sys; open(sys.argv[2],\"wb\").write(zlib.compress(open(sys.argv[1],\"rb\").read(), 6))", raw,
             packed));
  EXPECT_TRUE(filetest::Read(packed) == record);

  // Python to ours, at another level.
  ASSERT_TRUE(
      Python("import zlib,sys; open(sys.argv[2],\"wb\").write(zlib.compress(open(sys.argv[1],\"rb\").read(), 9))", raw,
             packed));
  std::string python = filetest::Read(packed);
  std::string out;
  EXPECT_EQ(Decompress(python, static_cast<int32_t>(python.size()), out, static_cast<uint32_t>(source.size())), 0);
  EXPECT_TRUE(out == source);
}

}  // namespace
