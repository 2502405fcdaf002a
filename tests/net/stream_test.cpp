// Streams: byte orders, memory and file streams, lines, length-prefixed strings, end-of-data rules
// and whole files.
#include <QXCore/QXStream.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include "tests/files/FileTestSupport.h"
#include "tests/net/StreamTestSupport.h"

namespace {

using namespace filetest;
using namespace streamtest;

// Lowers the file-size limit for the process until destroyed; SIGXFSZ is ignored meanwhile, so a
// write past the limit fails with EFBIG instead of killing the test.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) : mHandler(signal(SIGXFSZ, SIG_IGN)) {
    EXPECT_EQ(getrlimit(RLIMIT_FSIZE, &mSaved), 0);
    struct rlimit tight = mSaved;
    tight.rlim_cur = bytes;
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &mSaved);
    signal(SIGXFSZ, mHandler);
  }

 private:
  sighandler_t mHandler;
  struct rlimit mSaved {};
};

CBaseStream* Base(QXStreamRef s) { return reinterpret_cast<CBaseStream*>(s); }

// A file stream over `path`, opened when `open` is true.
StreamPtr File(const fs::path& path, CFStringRef mode, bool open = true) {
  StreamPtr s(QXStreamCreateForFile(URL(path).get(), mode));
  if (open) {
    EXPECT_EQ(QXStreamOpen(s.get()), 0) << path;
  }
  return s;
}

TEST(Stream, ByteOrdersOfNumbersAndLengthPrefixedStrings) {
  // Big-endian, little-endian and the machine's order (any other value); a lone surrogate stays.
  const UniChar units[] = {0x41, 0xE9, 0xD83D};
  CFRef<CFStringRef> text = qxcf::adopt(CFStringCreateWithCharacters(nullptr, units, 3));
  const std::string big(
      "\xff\xfe\1\2\xff\xff\xff\xfd\0\0\0\1\1\2\3\4\5\6\7\10\0\0\0\0\0\0\0\xff"
      "\0\0\0\3\0A\0\xE9\xD8\x3D\0\0\0\0",
      42);
  const std::string little(
      "\xfe\xff\2\1\xfd\xff\xff\xff\1\0\0\0\10\7\6\5\4\3\2\1\xff\0\0\0\0\0\0\0"
      "\3\0\0\0A\0\xE9\0\x3D\xD8\0\0\0\0",
      42);
  for (int order : {int{kQXStreamByteOrderBigEndian}, int{kQXStreamByteOrderLittleEndian}, 7}) {
    SCOPED_TRACE(order);
    StreamPtr s = Memory("");
    QXStreamRef r = s.get();
    EXPECT_EQ(QXStreamGetByteOrder(r), kQXStreamByteOrderLittleEndian);
    QXStreamSetByteOrder(r, static_cast<QXStreamByteOrder>(order));
    EXPECT_EQ(
        FirstError({QXStreamWriteInt16(r, -2), QXStreamWriteUInt16(r, 0x0102), QXStreamWriteInt32(r, -3),
                    QXStreamWriteUInt32(r, 1), QXStreamWriteInt64(r, 0x0102030405060708), QXStreamWriteUInt64(r, 0xff),
                    QXStreamWriteUnicodeStringWithLen(r, text.get()), QXStreamWriteUnicodeStringWithLen(r, CFSTR(""))}),
        0);
    EXPECT_EQ(Bytes(r), order == kQXStreamByteOrderBigEndian ? big : little);
    ASSERT_EQ(QXStreamSetPos(r, 0), 0);
    EXPECT_EQ(Get(r, QXStreamReadInt16), -2);
    EXPECT_EQ(Get(r, QXStreamReadUInt16), 0x0102);
    EXPECT_EQ(Get(r, QXStreamReadInt32), -3);
    EXPECT_EQ(Get(r, QXStreamReadUInt32), 1u);
    EXPECT_EQ(Get(r, QXStreamReadInt64), 0x0102030405060708);
    EXPECT_EQ(Get(r, QXStreamReadUInt64), 0xffu);
    CFStringRef back = nullptr, empty = nullptr;
    EXPECT_EQ(
        FirstError({QXStreamReadUnicodeStringWithLenCopy(r, &back), QXStreamReadUnicodeStringWithLenCopy(r, &empty)}),
        0);
    EXPECT_TRUE(back && CFEqual(back, text.get()));
    EXPECT_EQ(Own(empty), "");
    if (back) CFRelease(back);
  }
  EXPECT_EQ(QXStreamWriteUnicodeStringWithLen(Memory("").get(), nullptr), kQXErrInvalidArgument);
}

TEST(Stream, MemoryReadWriteAndData) {
  StreamPtr s = Memory("0123456789");
  ASSERT_EQ(QXStreamSetPos(s.get(), 5), 0);
  EXPECT_EQ(Take(s.get(), 8), "56789");
  EXPECT_EQ(Take(s.get(), 8), "");
  EXPECT_TRUE(Base(s.get())->IsEOF());
  ASSERT_EQ(QXStreamSetPos(s.get(), 11), 0);
  char buffer[8];
  uint64_t count = 77;
  EXPECT_EQ(QXStreamRead(s.get(), buffer, 8, &count), kQXErrGeneric);
  EXPECT_EQ(count, 77u);  // stored only on success

  // 10 bytes at position 4 of 6: 2 overwritten, 8 appended; then in place; past the end, zeros.
  StreamPtr w = Memory("abcdef");
  EXPECT_EQ(FirstError({QXStreamSetPos(w.get(), 4), QXStreamWrite(w.get(), "0123456789", 10)}), 0);
  EXPECT_EQ(Get(w.get(), QXStreamGetPos), 14u);
  EXPECT_EQ(Get(w.get(), QXStreamGetLength), 14u);
  EXPECT_EQ(Bytes(w.get()), "abcd0123456789");
  EXPECT_EQ(FirstError({QXStreamSetPos2(w.get(), 1), QXStreamWrite(w.get(), "XY", 2)}), 0);
  EXPECT_EQ(Bytes(w.get()), "aXYd0123456789");
  EXPECT_EQ(FirstError({QXStreamSetPos(w.get(), 17), QXStreamWrite(w.get(), "Z", 1)}), 0);
  EXPECT_EQ(Bytes(w.get()), std::string("aXYd0123456789\0\0\0Z", 18));
  // Skip moves the position, also past the end.
  char c = 0;
  EXPECT_EQ(FirstError({QXStreamSetPos(w.get(), 0), QXStreamSkip(w.get(), 3), Base(w.get())->ReadChar(c)}), 0);
  EXPECT_EQ(c, 'd');
  EXPECT_EQ(QXStreamSkip2(w.get(), 100), 0);
  EXPECT_EQ(Base(w.get())->ReadChar(c), kQXErrGeneric);
  EXPECT_EQ(QXStreamWritePad(w.get(), 0), 0);
  EXPECT_EQ(Get(w.get(), QXStreamGetLength2), 18u);
  EXPECT_EQ(FirstError({QXStreamSetPos(w.get(), 18), QXStreamWritePad(w.get(), 5000)}), 0);
  EXPECT_EQ(Bytes(w.get()).substr(18), std::string(5000, '\0'));
  EXPECT_EQ(QXStreamSetCaching(w.get(), true), kQXErrGeneric);

  // Immutable data is copied before the first write; the caller's object never changes.
  CFRef<CFDataRef> fixed = Data("abc");
  StreamPtr f(QXStreamCreateForData(fixed.get()));
  ASSERT_EQ(QXStreamOpen(f.get()), 0);
  EXPECT_EQ(QXStreamGetData(f.get()), fixed.get());
  EXPECT_EQ(QXStreamWrite(f.get(), "XYZW", 4), 0);
  EXPECT_EQ(Bytes(f.get()), "XYZW");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(fixed.get())), 3), "abc");
  // A mutable data is written in place; no data at all: Open makes an empty one.
  CFRef<CFMutableDataRef> growing = qxcf::adopt(CFDataCreateMutable(nullptr, 0));
  StreamPtr m(QXStreamCreateForData(growing.get())), e(QXStreamCreateForData(nullptr));
  EXPECT_EQ(FirstError({QXStreamOpen(m.get()), QXStreamWriteString(m.get(), CFSTR("hi"))}), 0);
  EXPECT_EQ(QXStreamGetData(m.get()), growing.get());
  EXPECT_EQ(CFDataGetLength(growing.get()), 2);
  EXPECT_EQ(QXStreamGetData(e.get()), nullptr);
  ASSERT_EQ(QXStreamOpen(e.get()), 0);
  EXPECT_EQ(Bytes(e.get()), "");
}

TEST(Stream, ShortReadsAndClosedStreamsFail) {
  qxtest::TempHome home;
  Write(home.root() / "three", "abc");
  CFRef<CFDataRef> sentinel = qxcf::adopt(CFDataCreate(nullptr, nullptr, 0));
  StreamPtr memory = Memory("abc"), file = File(home.root() / "three", CFSTR("rb"));
  // String lengths the data cannot hold, negative lengths and short data: -1 and no string.
  for (const std::string& bytes : {std::string("\xff\xff\xff\x7f", 4), std::string("\xff\xff\xff\xff", 4),
                                   std::string("\2\0\0\0a\0b", 7), std::string("\1\0", 2)}) {
    CFStringRef out = CFSTR("sentinel");
    EXPECT_EQ(QXStreamReadUnicodeStringWithLenCopy(Memory(bytes).get(), &out), kQXErrGeneric);
    EXPECT_EQ(out, nullptr);
  }
  for (QXStreamRef r : {memory.get(), file.get()}) {
    // Typed and data reads the bytes left cannot fill fail; a plain read at the end is a short success.
    EXPECT_EQ(Get(r, QXStreamReadInt32), std::nullopt);
    EXPECT_EQ(QXStreamSetPos(r, 0), 0);
    EXPECT_EQ(Get(r, QXStreamReadInt64), std::nullopt);
    CFDataRef data = sentinel.get();
    EXPECT_EQ(FirstError({QXStreamSetPos(r, 0), QXStreamReadDataCopy(r, 4, &data)}), kQXErrGeneric);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(QXStreamReadDataCopy(r, 2, &data), 0);
    EXPECT_EQ(Bytes(CFRef<CFDataRef>::adopt(data).get()), "ab");
    EXPECT_EQ(Get(r, QXStreamReadInt16), std::nullopt);  // one byte left
    EXPECT_EQ(Take(r, 4), "");

    // Closed, every operation fails; only QXStreamGetLength stores (a 0) on failure.
    EXPECT_EQ(QXStreamClose(r), 0);
    char buffer[4];
    uint64_t count = 42, value = 42, length = 42, pos = 0;
    EXPECT_EQ((Codes{QXStreamRead(r, buffer, 4, &count), QXStreamGetLength2(r, &value), QXStreamGetLength(r, &length),
                     QXStreamWrite(r, "x", 1), QXStreamGetPos(r, &pos), QXStreamSetPos(r, 1), QXStreamSkip(r, 1),
                     QXStreamSetBuffer(r, nullptr)}),
              Codes(8, kQXErrGeneric));
    EXPECT_EQ((std::vector<uint64_t>{count, value, length}), (std::vector<uint64_t>{42, 42, 0}));
    EXPECT_EQ(Get(r, QXStreamReadInt32), std::nullopt);
    EXPECT_EQ(Line(r, kQXErrGeneric), "");
    EXPECT_TRUE(Base(r)->IsEOF());
  }
  // A closed memory stream has no data; opening it again starts from empty data.
  EXPECT_EQ(QXStreamGetData(memory.get()), nullptr);
  ASSERT_EQ(QXStreamOpen(memory.get()), 0);
  EXPECT_EQ(Bytes(memory.get()), "");
}

TEST(Stream, ReadLineRules) {
  // Only CR LF ends a line; at the end of the data without one: -1 with what was read, no endless loop.
  qxtest::TempHome home;
  const std::string bytes = "ab\ncd\r\nx\r\r\n\r\ntail\r";
  Write(home.root() / "lines", bytes);
  for (QXStreamRef s : {Memory(bytes).release(), File(home.root() / "lines", CFSTR("r")).release()}) {
    StreamPtr owner(s);
    EXPECT_EQ(Line(s, 0, 1), "ab\ncd");
    EXPECT_EQ(Line(s), "x\r");  // of CR CR LF only the last CR goes
    EXPECT_EQ(Line(s), "");
    EXPECT_EQ(Line(s, kQXErrGeneric), "tail\r");
    EXPECT_EQ(Line(s, kQXErrGeneric), "");
  }

  // Capacity 0: nothing read, buffer untouched.
  StreamPtr s = Memory("a\r\n");
  char* none = nullptr;
  uint64_t zero = 0;
  EXPECT_EQ(QXStreamReadLine(s.get(), &none, &zero), 0);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(Get(s.get(), QXStreamGetPos), 0u);

  // An endless line stops at the cap and nothing is read that is not stored, except the byte after
  // a CR at the cap, needed to tell a line end. The trickling stream stands in for a socket.
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
    Write(home.root() / "long", c.bytes);
    StreamPtr memory = Memory(c.bytes), file = File(home.root() / "long", CFSTR("rb"));
    TrickleStream trickle(c.bytes, 1000);
    int kind = 0;  // memory, file, trickle
    for (QXStreamRef s : {memory.get(), file.get(), reinterpret_cast<QXStreamRef>(&trickle)}) {
      SCOPED_TRACE(testing::Message() << c.stored.size() << " bytes, kind " << kind++);
      EXPECT_TRUE(Line(s, c.status, 16) == c.stored);
      EXPECT_EQ(Line(s), c.next);
    }
  }
}

TEST(Stream, SocketLikeStreams) {
  // A byte per chunk: typed reads gather them; ReadLine and Skip end on the stream's own status.
  TrickleStream t(std::string("\0\0\0\5ab\r\nrest", 12), 1);
  t.SetByteOrder(kQXStreamByteOrderBigEndian);
  EXPECT_EQ(Get(reinterpret_cast<QXStreamRef>(&t), QXStreamReadInt32), 5);
  EXPECT_EQ(Line(reinterpret_cast<QXStreamRef>(&t), 0, 4), "ab");
  uint64_t pos = 0;
  for (int32_t status : {t.GetPos(pos), t.SetPos(0), t.GetLength(pos)}) EXPECT_EQ(status, kQXErrGeneric);
  EXPECT_EQ(t.Skip(2), 0);
  EXPECT_EQ(t.mAt, 10u);
  EXPECT_EQ(t.Skip(10), kQXErrNotConnected);
  EXPECT_EQ(t.mAt, 12u);

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
  EXPECT_EQ(big.ReadUnicodeStringWithLenCopy(out), kQXErrGeneric);
  EXPECT_EQ(big.mAt, 4u);
}

TEST(Stream, FileStreams) {
  qxtest::TempHome home;
  fs::path path = home.root() / "data.bin";
  StreamPtr w = File(path, CFSTR("w"));
  EXPECT_EQ(QXStreamGetData(w.get()), nullptr);
  EXPECT_EQ(QXStreamSetCaching(w.get(), true), 0);
  EXPECT_EQ(QXStreamWriteStringParams(w.get(), CFSTR("%@ %d\r\n"), CFSTR("h\u00e9"), 42), 0);
  EXPECT_EQ(QXStreamWriteUInt32(w.get(), 0xA1B2C3D4), 0);
  // Close-on-exec: the one descriptor open on our file carries FD_CLOEXEC.
  std::vector<int> flags;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (fs::read_symlink(entry.path(), ec) == path)
      flags.push_back(fcntl(std::stoi(entry.path().filename().string()), F_GETFD) & FD_CLOEXEC);
  }
  EXPECT_EQ(flags, std::vector<int>{FD_CLOEXEC});
  QXStreamClose(w.get());
  EXPECT_EQ(Read(path), "h\xc3\xa9 42\r\n\xd4\xc3\xb2\xa1");

  // "r" is opened read-only (and binary): writing fails, reading works.
  StreamPtr r = File(path, CFSTR("r"));
  EXPECT_NE(QXStreamWrite(r.get(), "x", 1), 0);
  EXPECT_EQ(Get(r.get(), QXStreamGetLength), 12u);
  EXPECT_EQ(QXStreamSkip(r.get(), 8), 0);
  EXPECT_EQ(Get(r.get(), QXStreamReadUInt32), 0xA1B2C3D4u);
  char c;
  EXPECT_FALSE(Base(r.get())->IsEOF());
  EXPECT_EQ(Base(r.get())->ReadChar(c), kQXErrGeneric);
  EXPECT_TRUE(Base(r.get())->IsEOF());
  EXPECT_EQ(FirstError({QXStreamSetPos(r.get(), 0), QXStreamSetBuffer(r.get(), nullptr), Base(r.get())->ReadChar(c)}),
            0);
  EXPECT_EQ(c, 'h');
  // Opening again closes the old handle first and starts over.
  ASSERT_EQ(QXStreamOpen(r.get()), 0);
  EXPECT_EQ(Get(r.get(), QXStreamGetPos), 0u);

  // Modes of 30 characters pass (glibc ignores what it does not know), 31 or NULL do not.
  std::string thirty = "r" + std::string(29, 'b');
  File(path, CF(thirty).get());
  const std::pair<StreamPtr, int32_t> failures[] = {
      {File(path, CF(thirty + "b").get(), false), EINVAL},
      {File(path, nullptr, false), EINVAL},
      {File(home.root() / "missing", CFSTR("rb"), false), ENOENT},
      {StreamPtr(QXStreamCreateForFile(Web().get(), CFSTR("rb"))), kQXErrGeneric},
      {File(home.root(), CFSTR("wb"), false), EISDIR},
  };
  for (const auto& [stream, status] : failures) EXPECT_EQ(QXStreamOpen(stream.get()), status);

  // Buffered writes fail only when the buffer is flushed: the close reports it.
  {
    StreamPtr limited = File(home.root() / "limited", CFSTR("wb"));
    FileSizeLimit limit(1000);
    const std::string block(1000, 'x');
    for (int i = 0; i < 3; ++i) EXPECT_EQ(QXStreamWrite(limited.get(), block.data(), block.size()), 0);
    EXPECT_EQ(QXStreamClose(limited.get()), EFBIG);
    EXPECT_EQ(QXStreamClose(limited.get()), 0);  // nothing left open
  }
  StreamPtr full = File("/dev/full", CFSTR("wb"));
  EXPECT_EQ(QXStreamWrite(full.get(), "abc", 3), 0);
  EXPECT_EQ(QXStreamClose(full.get()), ENOSPC);
}

TEST(Stream, WholeFiles) {
  qxtest::TempHome home;
  fs::path folder = home.root() / "store", path = folder / "contents.bin";
  fs::create_directories(folder);
  CFRef<CFURLRef> url = URL(path);
  std::string payload("\0\1binary\r\n\xff", 11);
  CFRef<CFDataRef> data = Data(payload), small = Data("new");
  ASSERT_EQ(QXFileMgrWriteFileContents(data.get(), url.get()), 0);
  EXPECT_EQ(Read(path), payload);
  CFDataRef back = nullptr;
  ASSERT_EQ(QXFileMgrGetFileContentsCopy(url.get(), &back), 0);
  EXPECT_EQ(Bytes(CFRef<CFDataRef>::adopt(back).get()), payload);

  // Replacing keeps the permission bits; a write failing half-way leaves the old file, no temporary.
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_EQ(QXFileMgrWriteFileContents(small.get(), url.get()), 0);
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  {
    FileSizeLimit limit(5);
    EXPECT_EQ(QXFileMgrWriteFileContents(data.get(), url.get()), EFBIG);
  }
  EXPECT_EQ(Read(path), "new");
  EXPECT_EQ(Names(folder), std::vector<std::string>{"contents.bin"});

  // The UTF-8 path form, absolute and relative to the current folder.
  std::string absolute = (folder / "utf8 \u00e9.bin").string();
  ASSERT_EQ(QXFileMgrWriteFileContentsPathUTF8(data.get(), absolute.c_str()), 0);
  EXPECT_EQ(Read(absolute), payload);
  fs::path cwd = fs::current_path();
  fs::current_path(folder);
  EXPECT_EQ(QXFileMgrWriteFileContentsPathUTF8(small.get(), "relative.bin"), 0);
  fs::current_path(cwd);
  EXPECT_EQ(Read(folder / "relative.bin"), "new");
  EXPECT_EQ(QXFileMgrWriteFileContentsPathUTF8(small.get(), ""), kQXErrInvalidArgument);

  // Failures; FIFOs are never waited on. An empty file reads as empty data.
  CFRef<CFURLRef> web = Web();
  EXPECT_EQ((Codes{QXFileMgrWriteFileContents(small.get(), URL(folder).get()),
                   QXFileMgrWriteFileContents(small.get(), URL(home.root() / "no" / "such").get()),
                   QXFileMgrWriteFileContents(small.get(), web.get())}),
            (Codes{EISDIR, ENOENT, kQXErrGeneric}));
  EXPECT_TRUE(fs::is_directory(folder));
  ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0);
  Write(folder / "empty", "");
  const std::pair<CFRef<CFURLRef>, int32_t> reads[] = {
      {URL(folder / "missing"), ENOENT}, {URL(folder), EISDIR}, {URL(folder / "fifo"), ENOTSUP}, {web, kQXErrGeneric}};
  for (const auto& [where, status] : reads) {
    CFDataRef none = nullptr;
    EXPECT_EQ(QXFileMgrGetFileContentsCopy(where.get(), &none), status) << PathOf(where.get());
    EXPECT_EQ(none, nullptr);
  }
  ASSERT_EQ(QXFileMgrGetFileContentsCopy(URL(folder / "empty").get(), &back), 0);
  EXPECT_EQ(Bytes(CFRef<CFDataRef>::adopt(back).get()), "");
}

}  // namespace
