// Streams: byte orders, memory and file streams, lines, length-prefixed strings, end-of-data rules
// and whole files.
#include <QXCore/QXStream.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tests/files/FileTestSupport.h"
#include "tests/net/StreamTestSupport.h"

namespace {

using filetest::CF;
using filetest::URL;
using qxcf::CFRef;
namespace fs = std::filesystem;

using streamtest::Bytes;
using streamtest::Memory;
using streamtest::StreamPtr;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// A stream that, like a socket, hands over at most `chunk` bytes per read, knows no length and
// ends with 10057.
class TrickleStream : public CBaseStream {
 public:
  TrickleStream(std::string bytes, size_t chunk) : mBytes(std::move(bytes)), mChunk(chunk) {}
  int32_t Open() override { return 0; }
  void Close() override {}
  int32_t ReadChunk(char* buffer, bool, uint64_t& count) override {
    if (mAt == mBytes.size()) {
      count = 0;
      return kQXErrNotConnected;
    }
    count = std::min<uint64_t>({count, mChunk, mBytes.size() - mAt});
    std::memcpy(buffer, mBytes.data() + mAt, count);
    mAt += count;
    return 0;
  }
  int32_t WriteChunk(const char*, uint64_t&) override { return kQXErrGeneric; }
  int32_t ReadChar(char& c) override {
    uint64_t n = 1;
    return ReadChunk(&c, false, n);
  }
  bool IsEOF() override { return false; }
  size_t at() const { return mAt; }

 private:
  std::string mBytes;
  size_t mChunk;
  size_t mAt = 0;
};

// Lowers the file-size limit for the process until destroyed; SIGXFSZ is ignored meanwhile, so a
// write past the limit fails with EFBIG instead of killing the test.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    EXPECT_EQ(getrlimit(RLIMIT_FSIZE, &mSaved), 0);
    mHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit tight = mSaved;
    tight.rlim_cur = bytes;
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &mSaved);
    signal(SIGXFSZ, mHandler);
  }

 private:
  struct rlimit mSaved {};
  sighandler_t mHandler = SIG_DFL;
};

// ReadLine through the C interface with a small starting buffer; the text up to the terminator.
int32_t Line(QXStreamRef s, std::string& text, uint64_t start = 2) {
  uint64_t capacity = start;
  char* buffer = static_cast<char*>(std::malloc(capacity));
  int32_t status = QXStreamReadLine(s, &buffer, &capacity);
  EXPECT_LT(std::strlen(buffer), capacity);
  text = buffer;
  std::free(buffer);
  return status;
}

TEST(Stream, ByteOrders) {
  StreamPtr s = Memory("");
  EXPECT_EQ(QXStreamGetByteOrder(s.get()), kQXStreamByteOrderLittleEndian);
  QXStreamSetByteOrder(s.get(), kQXStreamByteOrderBigEndian);
  EXPECT_EQ(QXStreamWriteInt32(s.get(), 1), 0);
  EXPECT_EQ(QXStreamWriteUInt16(s.get(), 0x0102), 0);
  EXPECT_EQ(QXStreamWriteInt64(s.get(), 0x0102030405060708), 0);
  QXStreamSetByteOrder(s.get(), kQXStreamByteOrderLittleEndian);
  EXPECT_EQ(QXStreamWriteInt32(s.get(), 1), 0);
  QXStreamSetByteOrder(s.get(), 7);  // anything but 1 is the machine's order
  EXPECT_EQ(QXStreamWriteUInt16(s.get(), 0x0102), 0);
  EXPECT_EQ(Bytes(s.get()), std::string("\0\0\0\1\1\2\1\2\3\4\5\6\7\10\1\0\0\0\2\1", 20));

  ASSERT_EQ(QXStreamSetPos(s.get(), 0), 0);
  QXStreamSetByteOrder(s.get(), kQXStreamByteOrderBigEndian);
  int32_t i32 = 0;
  uint16_t u16 = 0;
  int64_t i64 = 0;
  EXPECT_EQ(QXStreamReadInt32(s.get(), &i32), 0);
  EXPECT_EQ(QXStreamReadUInt16(s.get(), &u16), 0);
  EXPECT_EQ(QXStreamReadInt64(s.get(), &i64), 0);
  EXPECT_EQ(i32, 1);
  EXPECT_EQ(u16, 0x0102);
  EXPECT_EQ(i64, 0x0102030405060708);
  QXStreamSetByteOrder(s.get(), kQXStreamByteOrderLittleEndian);
  uint32_t u32 = 0;
  int16_t i16 = 0;
  EXPECT_EQ(QXStreamReadUInt32(s.get(), &u32), 0);
  EXPECT_EQ(QXStreamReadInt16(s.get(), &i16), 0);
  EXPECT_EQ(u32, 1u);
  EXPECT_EQ(i16, 0x0102);
  // Negative values survive the swap in both directions.
  QXStreamSetByteOrder(s.get(), kQXStreamByteOrderBigEndian);
  ASSERT_EQ(QXStreamSetPos(s.get(), 0), 0);
  EXPECT_EQ(QXStreamWriteInt16(s.get(), -2), 0);
  ASSERT_EQ(QXStreamSetPos(s.get(), 0), 0);
  EXPECT_EQ(QXStreamReadInt16(s.get(), &i16), 0);
  EXPECT_EQ(i16, -2);
  EXPECT_EQ(Bytes(s.get()).substr(0, 2), "\xff\xfe");
}

TEST(Stream, MemoryReadWriteArithmetic) {
  StreamPtr s = Memory("0123456789");
  char buffer[16] = {};
  uint64_t count = 99;
  ASSERT_EQ(QXStreamSetPos(s.get(), 5), 0);
  EXPECT_EQ(QXStreamRead(s.get(), buffer, 8, &count), 0);
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(std::string(buffer, 5), "56789");
  EXPECT_EQ(QXStreamRead(s.get(), buffer, 8, &count), 0);
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(dynamic_cast<CBaseStreamMemory*>(reinterpret_cast<CBaseStream*>(s.get()))->IsEOF());
  ASSERT_EQ(QXStreamSetPos(s.get(), 11), 0);
  count = 77;
  EXPECT_EQ(QXStreamRead(s.get(), buffer, 8, &count), -1);
  EXPECT_EQ(count, 77u);  // stored only on success

  // 10 bytes at position 4 of 6: 2 overwritten, 8 appended.
  StreamPtr w = Memory("abcdef");
  ASSERT_EQ(QXStreamSetPos(w.get(), 4), 0);
  EXPECT_EQ(QXStreamWrite(w.get(), "0123456789", 10), 0);
  uint64_t pos = 0, length = 0;
  EXPECT_EQ(QXStreamGetPos(w.get(), &pos), 0);
  EXPECT_EQ(QXStreamGetLength(w.get(), &length), 0);
  EXPECT_EQ(pos, 14u);
  EXPECT_EQ(length, 14u);
  EXPECT_EQ(Bytes(w.get()), "abcd0123456789");
  // In place, inside the data.
  ASSERT_EQ(QXStreamSetPos2(w.get(), 1), 0);
  EXPECT_EQ(QXStreamWrite(w.get(), "XY", 2), 0);
  EXPECT_EQ(Bytes(w.get()), "aXYd0123456789");
  // Past the end: the gap is zeros.
  ASSERT_EQ(QXStreamSetPos(w.get(), 17), 0);
  EXPECT_EQ(QXStreamWrite(w.get(), "Z", 1), 0);
  EXPECT_EQ(Bytes(w.get()), std::string("aXYd0123456789\0\0\0Z", 18));
  // Skip moves the position, also past the end.
  ASSERT_EQ(QXStreamSetPos(w.get(), 0), 0);
  EXPECT_EQ(QXStreamSkip(w.get(), 3), 0);
  char c = 0;
  EXPECT_EQ(reinterpret_cast<CBaseStream*>(w.get())->ReadChar(c), 0);
  EXPECT_EQ(c, 'd');
  EXPECT_EQ(QXStreamSkip2(w.get(), 100), 0);
  EXPECT_EQ(reinterpret_cast<CBaseStream*>(w.get())->ReadChar(c), -1);
  EXPECT_EQ(QXStreamWritePad(w.get(), 0), 0);
  EXPECT_EQ(QXStreamGetLength2(w.get(), &length), 0);
  EXPECT_EQ(length, 18u);
  EXPECT_EQ(QXStreamSetPos(w.get(), 18), 0);
  EXPECT_EQ(QXStreamWritePad(w.get(), 5000), 0);
  EXPECT_EQ(Bytes(w.get()).substr(18), std::string(5000, '\0'));
  // Unsupported operations.
  EXPECT_EQ(QXStreamSetBuffer(w.get(), nullptr), -1);
  EXPECT_EQ(QXStreamSetCaching(w.get(), true), -1);
}

TEST(Stream, MemoryDataOwnership) {
  // Immutable data is copied before the first write; the caller's object never changes.
  CFRef<CFDataRef> fixed = qxcf::adopt(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>("abc"), 3));
  StreamPtr s(QXStreamCreateForData(fixed.get()));
  ASSERT_EQ(QXStreamOpen(s.get()), 0);
  EXPECT_EQ(QXStreamGetData(s.get()), fixed.get());
  EXPECT_EQ(QXStreamWrite(s.get(), "XYZW", 4), 0);
  EXPECT_NE(QXStreamGetData(s.get()), fixed.get());
  EXPECT_EQ(Bytes(s.get()), "XYZW");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(fixed.get())), 3), "abc");

  // A mutable data is written in place.
  CFRef<CFMutableDataRef> growing = qxcf::adopt(CFDataCreateMutable(nullptr, 0));
  StreamPtr m(QXStreamCreateForData(growing.get()));
  ASSERT_EQ(QXStreamOpen(m.get()), 0);
  EXPECT_EQ(QXStreamWriteString(m.get(), CFSTR("hi")), 0);
  EXPECT_EQ(QXStreamGetData(m.get()), growing.get());
  EXPECT_EQ(CFDataGetLength(growing.get()), 2);

  // No data at all: Open makes an empty one.
  StreamPtr e(QXStreamCreateForData(nullptr));
  EXPECT_EQ(QXStreamGetData(e.get()), nullptr);
  ASSERT_EQ(QXStreamOpen(e.get()), 0);
  ASSERT_NE(QXStreamGetData(e.get()), nullptr);
  EXPECT_EQ(CFDataGetLength(QXStreamGetData(e.get())), 0);
}

TEST(Stream, ClosedStreamsFail) {
  StreamPtr s = Memory("abc");
  QXStreamRef r = s.get();
  EXPECT_EQ(QXStreamClose(r), 0);
  EXPECT_EQ(QXStreamGetData(r), nullptr);
  char buffer[4];
  uint64_t count = 42, value = 42;
  EXPECT_EQ(QXStreamRead(r, buffer, 4, &count), -1);
  EXPECT_EQ(count, 42u);
  EXPECT_EQ(QXStreamWrite(r, "x", 1), -1);
  EXPECT_EQ(QXStreamGetPos(r, &value), -1);
  EXPECT_EQ(QXStreamSetPos(r, 1), -1);
  EXPECT_EQ(QXStreamSkip(r, 1), -1);
  EXPECT_EQ(QXStreamGetLength(r, &value), -1);
  EXPECT_EQ(value, 0u);  // stored as 0 when unsupported
  value = 42;
  EXPECT_EQ(QXStreamGetLength2(r, &value), -1);
  EXPECT_EQ(value, 42u);
  int32_t i = 0;
  EXPECT_EQ(QXStreamReadInt32(r, &i), -1);
  std::string line;
  EXPECT_EQ(Line(r, line), -1);
  EXPECT_EQ(line, "");
  EXPECT_TRUE(reinterpret_cast<CBaseStream*>(r)->IsEOF());
  // Opening again starts from empty data.
  ASSERT_EQ(QXStreamOpen(r), 0);
  EXPECT_EQ(Bytes(r), "");

  qxtest::TempHome home;
  StreamPtr f(QXStreamCreateForFile(URL(home.root() / "never").get(), CFSTR("rb")));
  EXPECT_EQ(QXStreamRead(f.get(), buffer, 4, &count), -1);
  EXPECT_EQ(QXStreamWrite(f.get(), "x", 1), -1);
  EXPECT_EQ(QXStreamGetPos(f.get(), &value), -1);
  EXPECT_EQ(QXStreamSetBuffer(f.get(), nullptr), -1);
  EXPECT_EQ(QXStreamClose(f.get()), 0);
}

TEST(Stream, ReadLineRules) {
  // LF alone is an ordinary byte; CR LF ends the line.
  for (int kind = 0; kind < 2; ++kind) {
    qxtest::TempHome home;
    const std::string bytes = std::string("ab\ncd\r\n") + "x\r\r\n" + "\r\n" + "tail\r";
    StreamPtr s;
    if (kind == 0) {
      s = Memory(bytes);
    } else {
      WriteFile(home.root() / "lines", bytes);
      s.reset(QXStreamCreateForFile(URL(home.root() / "lines").get(), CFSTR("r")));
      ASSERT_EQ(QXStreamOpen(s.get()), 0);
    }
    SCOPED_TRACE(kind == 0 ? "memory" : "file");
    std::string line;
    EXPECT_EQ(Line(s.get(), line, 1), 0);
    EXPECT_EQ(line, "ab\ncd");
    EXPECT_EQ(Line(s.get(), line), 0);
    EXPECT_EQ(line, "x\r");  // of CR CR LF only the last CR goes
    EXPECT_EQ(Line(s.get(), line), 0);
    EXPECT_EQ(line, "");
    // The data end without CR LF: -1 with what was read, terminated, and no endless loop.
    EXPECT_EQ(Line(s.get(), line), -1);
    EXPECT_EQ(line, "tail\r");
    EXPECT_EQ(Line(s.get(), line), -1);
    EXPECT_EQ(line, "");
  }

  // Capacity 0: nothing read, buffer untouched.
  StreamPtr s = Memory("a\r\n");
  char* none = nullptr;
  uint64_t zero = 0;
  EXPECT_EQ(QXStreamReadLine(s.get(), &none, &zero), 0);
  EXPECT_EQ(none, nullptr);
  uint64_t pos = 9;
  EXPECT_EQ(QXStreamGetPos(s.get(), &pos), 0);
  EXPECT_EQ(pos, 0u);

  // The cap: an endless line stops at kQXStreamMaxLineLength with a terminated buffer, and the
  // next bytes stay in the stream: nothing is read that is not stored. When the cap falls just
  // after a CR, one more byte is needed to tell a line end; if it is not the LF it is stored too.
  // Every kind of stream shares the rule; the trickling one stands in for a socket.
  const std::string x(kQXStreamMaxLineLength, 'x');
  struct Case {
    std::string bytes;
    int32_t status;
    std::string stored, next;
  } cases[] = {
      {x + "qq\r\nnext\r\n", kQXStreamErrLineTooLong, x, "qq"},
      {x + "\r\nnext\r\n", kQXStreamErrLineTooLong, x, ""},
      {x.substr(1) + "\ry\r\nnext\r\n", kQXStreamErrLineTooLong, x.substr(1) + "\ry", ""},
      {x.substr(2) + "\r\r\nnext\r\n", 0, x.substr(2) + "\r", "next"},  // exactly the cap, CR included
      {x.substr(1) + "\r\nnext\r\n", 0, x.substr(1), "next"},
  };
  for (const Case& c : cases) {
    for (int kind = 0; kind < 3; ++kind) {
      SCOPED_TRACE(testing::Message() << c.stored.size() << " bytes, kind " << kind);
      qxtest::TempHome home;
      StreamPtr m;
      std::unique_ptr<TrickleStream> t;
      if (kind == 2) t = std::make_unique<TrickleStream>(c.bytes, 1000);
      if (kind == 1) {
        WriteFile(home.root() / "long", c.bytes);
        m.reset(QXStreamCreateForFile(URL(home.root() / "long").get(), CFSTR("rb")));
        ASSERT_EQ(QXStreamOpen(m.get()), 0);
      } else if (kind == 0) {
        m = Memory(c.bytes);
      }
      CBaseStream* s = t ? static_cast<CBaseStream*>(t.get()) : reinterpret_cast<CBaseStream*>(m.get());
      uint64_t capacity = 16;
      char* buffer = static_cast<char*>(std::malloc(capacity));
      EXPECT_EQ(s->ReadLine(buffer, capacity), c.status);
      EXPECT_LE(capacity, uint64_t{kQXStreamMaxLineLength} + 2);
      EXPECT_TRUE(std::string(buffer) == c.stored);
      EXPECT_EQ(s->ReadLine(buffer, capacity), 0);
      EXPECT_STREQ(buffer, c.next.c_str());
      std::free(buffer);
    }
  }
}

TEST(Stream, SocketLikeStreams) {
  // Chunks arrive a byte at a time; typed reads gather them, ReadLine and Skip end on the
  // stream's own status, and positions are unsupported.
  TrickleStream t(std::string("\0\0\0\5ab\r\nrest", 12), 1);
  t.SetByteOrder(kQXStreamByteOrderBigEndian);
  int32_t v = 0;
  EXPECT_EQ(t.ReadInt32(v), 0);
  EXPECT_EQ(v, 5);
  uint64_t capacity = 4;
  char* buffer = static_cast<char*>(std::malloc(capacity));
  EXPECT_EQ(t.ReadLine(buffer, capacity), 0);
  EXPECT_STREQ(buffer, "ab");
  std::free(buffer);
  uint64_t pos = 0;
  EXPECT_EQ(t.GetPos(pos), -1);
  EXPECT_EQ(t.SetPos(0), -1);
  EXPECT_EQ(t.GetLength(pos), -1);
  EXPECT_EQ(t.Skip(2), 0);
  EXPECT_EQ(t.at(), 10u);
  EXPECT_EQ(t.Skip(10), kQXErrNotConnected);
  EXPECT_EQ(t.at(), 12u);

  // A length prefix that the data do not back: fails on the stream's status, no string.
  TrickleStream lying(std::string("\0\0\1\0a\0", 6), 3);
  lying.SetByteOrder(kQXStreamByteOrderBigEndian);
  CFStringRef out = CFSTR("sentinel");
  EXPECT_EQ(lying.ReadUnicodeStringWithLenCopy(out), kQXErrNotConnected);
  EXPECT_EQ(out, nullptr);
  // Above the documented maximum: refused before reading or allocating.
  uint32_t huge = __builtin_bswap32(kQXStreamMaxStringUnits + 1u);
  TrickleStream big(std::string(reinterpret_cast<const char*>(&huge), 4) + "abcd", 4);
  big.SetByteOrder(kQXStreamByteOrderBigEndian);
  EXPECT_EQ(big.ReadUnicodeStringWithLenCopy(out), -1);
  EXPECT_EQ(big.at(), 4u);
}

TEST(Stream, LengthPrefixedStrings) {
  const UniChar units[] = {0x41, 0xE9, 0xD83D};  // includes a lone surrogate: units are kept as they are
  CFRef<CFStringRef> text = qxcf::adopt(CFStringCreateWithCharacters(nullptr, units, 3));
  for (QXStreamByteOrder order : {kQXStreamByteOrderLittleEndian, kQXStreamByteOrderBigEndian}) {
    StreamPtr s = Memory("");
    QXStreamSetByteOrder(s.get(), order);
    ASSERT_EQ(QXStreamWriteUnicodeStringWithLen(s.get(), text.get()), 0);
    ASSERT_EQ(QXStreamWriteUnicodeStringWithLen(s.get(), CFSTR("")), 0);
    std::string bytes = Bytes(s.get());
    ASSERT_EQ(bytes.size(), 10u + 4u);
    if (order == kQXStreamByteOrderBigEndian) {
      EXPECT_EQ(bytes, std::string("\0\0\0\3\0A\0\xE9\xD8\x3D\0\0\0\0", 14));
    } else {
      EXPECT_EQ(bytes, std::string("\3\0\0\0A\0\xE9\0\x3D\xD8\0\0\0\0", 14));
    }
    ASSERT_EQ(QXStreamSetPos(s.get(), 0), 0);
    CFStringRef back = nullptr;
    ASSERT_EQ(QXStreamReadUnicodeStringWithLenCopy(s.get(), &back), 0);
    CFRef<CFStringRef> owned = qxcf::adopt(back);
    ASSERT_EQ(CFStringGetLength(back), 3);
    UniChar got[3];
    CFStringGetCharacters(back, CFRangeMake(0, 3), got);
    EXPECT_EQ(std::memcmp(got, units, sizeof units), 0);
    ASSERT_EQ(QXStreamReadUnicodeStringWithLenCopy(s.get(), &back), 0);
    CFRef<CFStringRef> empty = qxcf::adopt(back);
    EXPECT_EQ(CFStringGetLength(back), 0);
  }

  // Lengths the data cannot hold, negative lengths and short data: -1 and no string.
  for (const std::string& bytes : {std::string("\xff\xff\xff\x7f", 4), std::string("\xff\xff\xff\xff", 4),
                                   std::string("\2\0\0\0a\0b", 7), std::string("\1\0", 2)}) {
    StreamPtr s = Memory(bytes);
    CFStringRef out = CFSTR("sentinel");
    EXPECT_EQ(QXStreamReadUnicodeStringWithLenCopy(s.get(), &out), -1);
    EXPECT_EQ(out, nullptr);
  }
  StreamPtr s = Memory("");
  EXPECT_EQ(QXStreamWriteUnicodeStringWithLen(s.get(), nullptr), kQXErrInvalidArgument);
}

TEST(Stream, ShortReadsFail) {
  qxtest::TempHome home;
  WriteFile(home.root() / "three", "abc");
  StreamPtr file(QXStreamCreateForFile(URL(home.root() / "three").get(), CFSTR("rb")));
  ASSERT_EQ(QXStreamOpen(file.get()), 0);
  CFRef<CFDataRef> sentinel = qxcf::adopt(CFDataCreate(nullptr, nullptr, 0));
  QXStreamRetain(file.get());  // the loop's owner releases one reference of each
  for (QXStreamRef s : {Memory("abc").release(), file.get()}) {
    StreamPtr owner(s);
    int32_t i32 = 7;
    int64_t i64 = 7;
    EXPECT_EQ(QXStreamReadInt32(s, &i32), -1);
    EXPECT_EQ(QXStreamSetPos(s, 0), 0);
    EXPECT_EQ(QXStreamReadInt64(s, &i64), -1);
    EXPECT_EQ(QXStreamSetPos(s, 0), 0);
    CFDataRef data = sentinel.get();
    EXPECT_EQ(QXStreamReadDataCopy(s, 4, &data), -1);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(QXStreamReadDataCopy(s, 2, &data), 0);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(data)), 2), "ab");
    CFRelease(data);
    int16_t i16 = 0;
    EXPECT_EQ(QXStreamReadInt16(s, &i16), -1);  // one byte left
    char buffer[4];
    uint64_t count = 9;
    EXPECT_EQ(QXStreamRead(s, buffer, 4, &count), 0);  // a plain read at the end is a short success
    EXPECT_EQ(count, 0u);
  }
}

TEST(Stream, FileStreams) {
  qxtest::TempHome home;
  fs::path path = home.root() / "data.bin";
  CFRef<CFURLRef> url = URL(path);
  StreamPtr w(QXStreamCreateForFile(url.get(), CFSTR("w")));
  ASSERT_EQ(QXStreamOpen(w.get()), 0);
  EXPECT_EQ(QXStreamGetData(w.get()), nullptr);
  EXPECT_EQ(QXStreamSetCaching(w.get(), true), 0);
  EXPECT_EQ(QXStreamWriteStringParams(w.get(), CFSTR("%@ %d\r\n"), CFSTR("h\u00e9"), 42), 0);
  EXPECT_EQ(QXStreamWriteUInt32(w.get(), 0xA1B2C3D4), 0);

  // Close-on-exec: the descriptor open on our file carries O_CLOEXEC.
  bool found = false;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (fs::read_symlink(entry.path(), ec) != path) continue;
    std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
    std::string key, flags;
    while (info >> key >> flags)
      if (key == "flags:") break;
    found = true;
    EXPECT_NE(std::stoul(flags, nullptr, 8) & O_CLOEXEC, 0u) << flags;
  }
  EXPECT_TRUE(found);
  QXStreamClose(w.get());
  EXPECT_EQ(ReadFile(path), "h\xc3\xa9 42\r\n\xd4\xc3\xb2\xa1");

  // "r" is opened read-only (and binary): writing fails, reading works.
  StreamPtr r(QXStreamCreateForFile(url.get(), CFSTR("r")));
  ASSERT_EQ(QXStreamOpen(r.get()), 0);
  EXPECT_NE(QXStreamWrite(r.get(), "x", 1), 0);
  uint64_t length = 0, pos = 0;
  EXPECT_EQ(QXStreamGetLength(r.get(), &length), 0);
  EXPECT_EQ(length, 12u);
  EXPECT_EQ(QXStreamSkip(r.get(), 8), 0);
  EXPECT_EQ(QXStreamGetPos(r.get(), &pos), 0);
  EXPECT_EQ(pos, 8u);
  uint32_t value = 0;
  EXPECT_EQ(QXStreamReadUInt32(r.get(), &value), 0);
  EXPECT_EQ(value, 0xA1B2C3D4u);
  char c;
  EXPECT_FALSE(reinterpret_cast<CBaseStream*>(r.get())->IsEOF());
  EXPECT_EQ(reinterpret_cast<CBaseStream*>(r.get())->ReadChar(c), -1);
  EXPECT_TRUE(reinterpret_cast<CBaseStream*>(r.get())->IsEOF());
  EXPECT_EQ(QXStreamSetPos(r.get(), 0), 0);
  EXPECT_EQ(QXStreamSetBuffer(r.get(), nullptr), 0);
  EXPECT_EQ(reinterpret_cast<CBaseStream*>(r.get())->ReadChar(c), 0);
  EXPECT_EQ(c, 'h');
  // Opening again closes the old handle first and starts over.
  ASSERT_EQ(QXStreamOpen(r.get()), 0);
  EXPECT_EQ(QXStreamGetPos(r.get(), &pos), 0);
  EXPECT_EQ(pos, 0u);

  // Modes: 30 characters pass (glibc ignores what it does not know), 31 do not; NULL neither.
  std::string thirty = "r" + std::string(29, 'b');
  StreamPtr ok(QXStreamCreateForFile(url.get(), CF(thirty).get()));
  EXPECT_EQ(QXStreamOpen(ok.get()), 0);
  StreamPtr tooLong(QXStreamCreateForFile(url.get(), CF(thirty + "b").get()));
  EXPECT_EQ(QXStreamOpen(tooLong.get()), EINVAL);
  StreamPtr noMode(QXStreamCreateForFile(url.get(), nullptr));
  EXPECT_EQ(QXStreamOpen(noMode.get()), EINVAL);

  // Missing files, folders and URLs without a path.
  StreamPtr missing(QXStreamCreateForFile(URL(home.root() / "missing").get(), CFSTR("rb")));
  EXPECT_EQ(QXStreamOpen(missing.get()), ENOENT);
  CFRef<CFURLRef> web = qxcf::adopt(CFURLCreateWithString(nullptr, CFSTR("http://example.com/a"), nullptr));
  StreamPtr notFile(QXStreamCreateForFile(web.get(), CFSTR("rb")));
  EXPECT_EQ(QXStreamOpen(notFile.get()), -1);
  StreamPtr folder(QXStreamCreateForFile(URL(home.root(), true).get(), CFSTR("wb")));
  EXPECT_EQ(QXStreamOpen(folder.get()), EISDIR);

  // Buffered writes fail only when the buffer is flushed: closing reports it. Under a 1,000-byte
  // file-size limit, 3,000 bytes are accepted and the close gives EFBIG; /dev/full gives ENOSPC.
  {
    StreamPtr limited(QXStreamCreateForFile(URL(home.root() / "limited").get(), CFSTR("wb")));
    ASSERT_EQ(QXStreamOpen(limited.get()), 0);
    FileSizeLimit limit(1000);
    const std::string block(1000, 'x');
    for (int i = 0; i < 3; ++i) EXPECT_EQ(QXStreamWrite(limited.get(), block.data(), block.size()), 0);
    EXPECT_EQ(QXStreamClose(limited.get()), EFBIG);
    EXPECT_EQ(QXStreamClose(limited.get()), 0);  // nothing left open
  }
  StreamPtr full(QXStreamCreateForFile(URL("/dev/full").get(), CFSTR("wb")));
  ASSERT_EQ(QXStreamOpen(full.get()), 0);
  EXPECT_EQ(QXStreamWrite(full.get(), "abc", 3), 0);
  EXPECT_EQ(QXStreamClose(full.get()), ENOSPC);

  // Accessors.
  auto* file = reinterpret_cast<CBaseStreamFile*>(r.get());
  EXPECT_EQ(file->GetPath(), url.get());
  file->SetPath(URL(home.root() / "other").get());
  file->SetMode(CFSTR("ab"));
  ASSERT_EQ(file->Open(), 0);
  file->Close();
  EXPECT_TRUE(fs::exists(home.root() / "other"));
}

TEST(Stream, WholeFiles) {
  qxtest::TempHome home;
  fs::path folder = home.root() / "store";
  fs::create_directories(folder);
  fs::path path = folder / "contents.bin";
  CFRef<CFURLRef> url = URL(path);
  std::string payload("\0\1binary\r\n\xff", 11);
  CFRef<CFDataRef> data = qxcf::adopt(
      CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(payload.data()), static_cast<CFIndex>(payload.size())));

  ASSERT_EQ(QXFileMgrWriteFileContents(data.get(), url.get()), 0);
  EXPECT_EQ(ReadFile(path), payload);
  CFDataRef back = nullptr;
  ASSERT_EQ(QXFileMgrGetFileContentsCopy(url.get(), &back), 0);
  CFRef<CFDataRef> owned = qxcf::adopt(back);
  EXPECT_TRUE(CFEqual(back, data.get()));

  // Replacing keeps the permission bits and leaves no temporary file behind.
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
  CFRef<CFDataRef> small = qxcf::adopt(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>("new"), 3));
  ASSERT_EQ(QXFileMgrWriteFileContents(small.get(), url.get()), 0);
  EXPECT_EQ(ReadFile(path), "new");
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);

  // A write that fails half-way (the file size limit) leaves the old file whole and no temporary.
  {
    FileSizeLimit limit(5);
    EXPECT_EQ(QXFileMgrWriteFileContents(data.get(), url.get()), EFBIG);
  }
  EXPECT_EQ(ReadFile(path), "new");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);

  // The UTF-8 path form, absolute and relative to the current folder.
  std::string absolute = (folder / "utf8 \u00e9.bin").string();
  ASSERT_EQ(QXFileMgrWriteFileContentsPathUTF8(data.get(), absolute.c_str()), 0);
  EXPECT_EQ(ReadFile(absolute), payload);
  fs::path cwd = fs::current_path();
  fs::current_path(folder);
  EXPECT_EQ(QXFileMgrWriteFileContentsPathUTF8(small.get(), "relative.bin"), 0);
  fs::current_path(cwd);
  EXPECT_EQ(ReadFile(folder / "relative.bin"), "new");
  EXPECT_EQ(QXFileMgrWriteFileContentsPathUTF8(small.get(), ""), kQXErrInvalidArgument);

  // Failures: a folder at the target, missing files, folders, FIFOs, URLs without a path.
  EXPECT_EQ(QXFileMgrWriteFileContents(small.get(), URL(folder).get()), EISDIR);
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_EQ(QXFileMgrWriteFileContents(small.get(), URL(home.root() / "no" / "such").get()), ENOENT);
  CFDataRef none = nullptr;
  EXPECT_EQ(QXFileMgrGetFileContentsCopy(URL(folder / "missing").get(), &none), ENOENT);
  EXPECT_EQ(QXFileMgrGetFileContentsCopy(URL(folder).get(), &none), EISDIR);
  ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(QXFileMgrGetFileContentsCopy(URL(folder / "fifo").get(), &none), ENOTSUP);  // never waits
  CFRef<CFURLRef> web = qxcf::adopt(CFURLCreateWithString(nullptr, CFSTR("http://example.com/a"), nullptr));
  EXPECT_EQ(QXFileMgrGetFileContentsCopy(web.get(), &none), -1);
  EXPECT_EQ(QXFileMgrWriteFileContents(small.get(), web.get()), -1);
  EXPECT_EQ(none, nullptr);
  // An empty file reads as empty data.
  WriteFile(folder / "empty", "");
  ASSERT_EQ(QXFileMgrGetFileContentsCopy(URL(folder / "empty").get(), &none), 0);
  EXPECT_EQ(CFDataGetLength(none), 0);
  CFRelease(none);
}

}  // namespace
