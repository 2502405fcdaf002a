// HTTP messages: the bytes written, reads, typed parameters, bodies as records, hostile input.
#include <QXCore/QXMessage.h>
#include <gtest/gtest.h>

#include <functional>

#include "net/HttpMessageHandle.h"
#include "tests/net/StreamTestSupport.h"

namespace {

using namespace streamtest;
using qxcf::adopt;
using qxcf::CFRef;

// The bytes Write gives, or "status N" when it fails.
std::string Wire(CHTTPMessage& m) {
  qx::Ref<CBaseStreamMemory> out = qx::make<CBaseStreamMemory>();
  out->Open();
  QXStatus status = m.Write(out.get());
  return status == kQXNoErr ? Bytes(out->GetData()) : "status " + std::to_string(status);
}

QXStatus Read(CHTTPMessage& m, const std::string& bytes) {
  qx::Ref<CBaseStreamMemory> in = qx::make<CBaseStreamMemory>(Data(bytes).get());
  return m.Read(in.get());
}

const std::string kEmptyPlist =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n<dict/>\n</plist>\n";

TEST(HttpMessage, WritesExactBytesAndRefusesLineBreaks) {
  const std::string refused = "status " + std::to_string(kQXErrInvalidArgument);
  const std::string plistHeaders =
      "Content-Type: text/xml; charset=UTF8\r\nContent-Length: " + std::to_string(kEmptyPlist.size()) + "\r\n\r\n" +
      kEmptyPlist;
  struct Case {
    const char* name;
    std::function<void(CHTTPMessage&)> build;
    std::string expected;
  } cases[] = {
      {"connect", [](CHTTPMessage& m) { m.SetParam(kParamAPIVersion, 1); },
       "GET /server?cmd=connect&api-version=1 HTTP/1.1\r\n" + plistHeaders},
      {"escaped value and key", [](CHTTPMessage& m) { m.SetParam(CFSTR("k&=y"), CFSTR("a-b c/")); },
       "GET /server?cmd=connect&k%26%3Dy=a%2Db%20c%2F HTTP/1.1\r\n" + plistHeaders},
      {"non-ASCII", [](CHTTPMessage& m) { m.SetParam(CFSTR("k\u00e9"), CFSTR("\u00e9 %")); },
       "GET /server?cmd=connect&k%C3%A9=%C3%A9%20%25 HTTP/1.1\r\n" + plistHeaders},
      {"404", [](CHTTPMessage& m) { m.Init(kHTTPMessageResponse, nullptr, nullptr), m.SetResponseCode(404); },
       "HTTP/1.1 404 OK\r\n" + plistHeaders},
      {"stale length replaced, no chunking",
       [](CHTTPMessage& m) {
         m.Init(kHTTPMessageResponse, nullptr, nullptr);
         m.SetContent(CFSTR("text/plain"), Data("abc").get());
         m.SetHeader(CFSTR("content-length"), 99);
         m.SetHeader(CFSTR("Transfer-Encoding"), CFSTR("chunked"));
       },
       "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\ncontent-length: 3\r\n\r\nabc"},
      {"CR LF in key", [](CHTTPMessage& m) { m.SetParam(CFSTR("k\r\nX: y"), CFSTR("v")); }, refused},
      {"LF in value", [](CHTTPMessage& m) { m.SetParam(CFSTR("k"), CFSTR("v\n")); }, refused},
      {"CR LF in URI", [](CHTTPMessage& m) { m.SetUri(CFSTR("a\r\nX: y")); }, refused},
      {"space in URI", [](CHTTPMessage& m) { m.SetUri(CFSTR("a b")); }, refused},
      {"LF in method", [](CHTTPMessage& m) { m.SetMethod(CFSTR("GET\n")); }, refused},
      {"CR LF in header", [](CHTTPMessage& m) { m.SetHeader(CFSTR("X"), CFSTR("a\r\nSet-Cookie: b")); }, refused},
      {"CR LF in name", [](CHTTPMessage& m) { m.SetHeader(CFSTR("X\r\nY"), CFSTR("a")); }, refused},
      {"body no plist", [](CHTTPMessage& m) { m.SetContentValue(CFSTR("null"), kCFNull); }, refused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CHTTPMessage m(nullptr, kURIServer, kCmdConnect);
    c.build(m);
    EXPECT_EQ(Wire(m), c.expected);
  }
  CHTTPMessage m;
  EXPECT_EQ(m.Write(nullptr), kQXErrGeneric);
}

TEST(HttpMessage, ReadsRequestsAndBodies) {
  CHTTPMessage m(kHTTPMessageRequest);
  // Lower-case names, a whole trimmed value, a chunked body with an extension and a trailer.
  ASSERT_EQ(Read(m,
                 "PUT /server/x?a=1&a=2&b=%41&c=%zz&d&e=1=2&a=3 HTTP/1.1\r\nhost:  my host \r\n"
                 "content-type: text/xml; charset=UTF8\r\ntransfer-encoding: Chunked\r\n\r\n"
                 "3;x=y\r\nabc\r\n2\r\nde\r\n0\r\nTrailer: t\r\n\r\nNEXT"),
            kQXNoErr);
  EXPECT_EQ(Text(m.GetMethod()), "PUT");
  EXPECT_EQ(Text(m.GetUri()), "server/x");
  CFStringRef verb = nullptr, object = nullptr;
  ASSERT_EQ(m.GetVerbAndObject(verb, object), kQXNoErr);
  EXPECT_EQ(Text(object) + "," + Text(verb), "server,x");
  CFRef<CFArrayRef> a = adopt(m.GetParamAsArrayCopy(CFSTR("a")));
  ASSERT_EQ(CFArrayGetCount(a.get()), 3);
  EXPECT_EQ(Text(CFArrayGetValueAtIndex(a.get(), 0)) + Text(CFArrayGetValueAtIndex(a.get(), 1)) +
                Text(CFArrayGetValueAtIndex(a.get(), 2)),
            "123");
  EXPECT_EQ(Text(m.GetParam(CFSTR("b"))), "A");
  EXPECT_EQ(CFDictionaryGetCount(m.GetParams()), 2);  // a bad escape, no value or two '=': left out
  EXPECT_EQ(Text(m.GetHost()), "my host");
  EXPECT_EQ(Text(m.GetContentType()), "text/xml;");
  EXPECT_EQ(Text(m.GetHeader(CFSTR("HOST"))), "my host");
  EXPECT_EQ(Bytes(m.GetRawContent()), "abcde");

  // Lower-case content-length; a second read starts from nothing of the first.
  CHTTPMessage r;
  ASSERT_EQ(Read(r, "HTTP/1.1 404 Not Found\r\ncontent-length: 3\r\n\r\nxyz"), kQXNoErr);
  EXPECT_EQ(r.GetResponseCode(), 404);
  EXPECT_EQ(Bytes(r.GetRawContent()), "xyz");
  ASSERT_EQ(Read(m, "GET /other HTTP/1.1\r\n\r\n"), kQXNoErr);
  EXPECT_EQ(Text(m.GetUri()), "other");
  EXPECT_EQ(m.GetVerbAndObject(verb, object), kQXErrGeneric);
  EXPECT_EQ(CFDictionaryGetCount(m.GetParams()), 0);
  EXPECT_EQ(m.GetHost(), nullptr);
  EXPECT_EQ(m.GetRawContent(), nullptr);
  EXPECT_EQ(m.GetResponse(), nullptr);

  // A socket-like stream hands the body over a few bytes at a time; its end status comes through.
  for (const std::string body : {"abcd", "ab"}) {
    qx::Ref<TrickleStream> trickle = qx::make<TrickleStream>("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n" + body, 3);
    EXPECT_EQ(r.Read(trickle.get()), body.size() == 4 ? kQXNoErr : kQXErrNotConnected);
    EXPECT_EQ(Bytes(r.GetRawContent()), body.size() == 4 ? body : "(null)");
  }

  // What was written reads back and writes again byte for byte.
  CHTTPMessage out(nullptr, kURIServer, kCmdMessage);
  out.SetParam(CFSTR("name"), CFSTR("a-b&c"));
  out.SetContentInt(CFSTR("result"), 7);
  std::string bytes = Wire(out);
  CHTTPMessage in(kHTTPMessageRequest);
  std::string withJunk = bytes;
  withJunk.insert(withJunk.find("\r\n") + 2, ": no name\r\n");  // skipped, not kept
  ASSERT_EQ(Read(in, withJunk), kQXNoErr);
  EXPECT_EQ(Wire(in), bytes);
  EXPECT_EQ(Text(in.GetParam(CFSTR("name"))), "a-b&c");
  ASSERT_NE(in.GetBaseResponse(), nullptr);
  EXPECT_EQ(in.GetBaseResponse()->GetResult(), 7);
}

TEST(HttpMessage, HostileInputEndsReadWithStatus) {
  const std::string start = "GET /s HTTP/1.1\r\n";
  std::string manyLines, bigHeaders;
  for (int i = 0; i < kQXHttpMaxHeaderLines + 1; ++i) manyLines += "X: y\r\n";
  for (int i = 0; i < 20; ++i) bigHeaders += "X: " + std::string(4000, 'v') + "\r\n";
  struct Case {
    std::string input;
    QXStatus status;
  } cases[] = {
      {"", kQXErrGeneric},
      {"\r\n", kQXErrGeneric},
      {start + "Content-Length: -1\r\n\r\n", kQXHttpErrBadMessage},
      {start + "Content-Length: +1\r\n\r\nx", kQXHttpErrBadMessage},
      {start + "Content-Length: 1 1\r\n\r\nx", kQXHttpErrBadMessage},
      {start + "Content-Length:\r\n\r\n", kQXHttpErrBadMessage},
      {start + "Content-Length: 99999999999999999999999\r\n\r\n", kQXHttpErrTooLarge},
      {start + "Content-Length: 67108865\r\n\r\n", kQXHttpErrTooLarge},
      {start + "Content-Length: 1\r\ncontent-length: 2\r\n\r\nxy", kQXHttpErrBadMessage},
      {start + "Content-Length: 2\r\ncontent-length: 2\r\n\r\nxy", kQXNoErr},
      {start + "Content-Length: 5\r\n\r\nabc", kQXErrGeneric},
      {start + "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", kQXHttpErrBadMessage},
      {start + "Transfer-Encoding: gzip\r\n\r\n", kQXHttpErrBadMessage},
      {start + "Transfer-Encoding: chunked\r\n\r\nzz\r\n", kQXHttpErrBadMessage},
      {start + "Transfer-Encoding: chunked\r\n\r\n3\r\nabcX\r\n0\r\n\r\n", kQXHttpErrBadMessage},
      {start + "Transfer-Encoding: chunked\r\n\r\n4000001\r\n", kQXHttpErrTooLarge},
      {start + "Transfer-Encoding: chunked\r\n\r\n3\r\nab", kQXErrGeneric},
      {start + "Transfer-Encoding: chunked\r\n\r\n1\r\na\r\n0\r\n" + manyLines + "\r\n", kQXHttpErrTooLarge},
      {"GET /" + std::string(kQXHttpMaxLineLength, 'a') + " HTTP/1.1\r\n\r\n", kQXHttpErrTooLarge},
      {start + manyLines + "\r\n", kQXHttpErrTooLarge},
      {start + manyLines.substr(6) + "\r\n", kQXNoErr},
      {start + bigHeaders + "\r\n", kQXHttpErrTooLarge},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input.substr(0, 80));
    CHTTPMessage m(kHTTPMessageRequest);
    EXPECT_EQ(Read(m, c.input), c.status);
  }
  // An announced length far beyond the bytes sent is not allocated up front.
  QXHttpSetMaxContentLength(uint64_t{1} << 62);
  CHTTPMessage m(kHTTPMessageRequest);
  EXPECT_EQ(Read(m, start + "Content-Length: 2305843009213693952\r\n\r\nabc"), kQXErrGeneric);
  QXHttpSetMaxContentLength(kQXHttpDefaultMaxContentLength);
  EXPECT_EQ(m.Read(nullptr), kQXErrGeneric);
}

TEST(HttpMessage, ParameterGettersFollowStoredType) {
  CHTTPMessage m(nullptr, kURIServer, kCmdConnect);
  m.SetParam(CFSTR("s"), CFSTR("42"));
  m.SetParam(CFSTR("i"), 42);
  m.SetParam(CFSTR("u"), 42u);
  m.SetParamDouble(CFSTR("d"), 2.5);
  m.SetParams(CFSTR("a"), adopt(CFStringCreateArrayBySeparatingStrings(nullptr, CFSTR("7,8"), CFSTR(","))).get());
  m.SetParams(CFSTR("e"), adopt(CFArrayCreate(nullptr, nullptr, 0, &kCFTypeArrayCallBacks)).get());
  int32_t five = 5;
  m.SetParamObj(CFSTR("x"), adopt(CFNumberCreate(nullptr, kCFNumberSInt32Type, &five)).get());
  CFDictionarySetValue(const_cast<CFMutableDictionaryRef>(m.GetParams()), CFSTR("cmd"), Data("c").get());
  struct Case {
    const char* key;
    int32_t i;
    double d;
    int count;
  } cases[] = {{"s", 42, 42.0, 1}, {"i", 42, 42.0, 1}, {"u", 42, 42.0, 1}, {"d", 2, 2.5, 1},
               {"a", 7, 7.0, 2},   {"e", 0, 0.0, 0},   {"none", 0, 0.0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    CFRef<CFStringRef> key = String(c.key);
    EXPECT_EQ(m.GetParamInt(key.get()), c.i);
    EXPECT_EQ(m.GetParamDouble(key.get()), c.d);
    CFRef<CFNumberRef> number = adopt(m.GetParamNumberCopy(key.get()));
    int32_t n = -1;
    if (number) CFNumberGetValue(number.get(), kCFNumberSInt32Type, &n);
    EXPECT_EQ(n, number ? c.i : -1);
    EXPECT_EQ(static_cast<bool>(number), c.i != 0);
    EXPECT_EQ(CFArrayGetCount(adopt(m.GetParamAsArrayCopy(key.get())).get()), c.count);
  }
  EXPECT_EQ(Text(m.GetParam(CFSTR("x"))), "5");  // any other object by its description
  EXPECT_EQ(m.GetParamCmd(), nullptr);           // data where a command is expected
  auto h = qx::toHandle<__QXHttpMessage>(&m);
  EXPECT_EQ(Text(QXHttpMessageGetParamString(h, CFSTR("a"))), "7");
  EXPECT_EQ(QXHttpMessageGetParamString(h, CFSTR("i")), nullptr);
}

TEST(HttpMessage, BodiesAsRecords) {
  // A dictionary with raw bytes travels packed; its fields and payload come back, the payload
  // still valid after the message is gone; large enough to be written apart from the headers.
  const std::string payload = std::string(40 * 1024, 'p') + "RAW";
  CFRef<CFMutableDictionaryRef> fields =
      adopt(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  CFDictionarySetValue(fields.get(), kParamMsgName, CFSTR("resize"));
  CFDictionarySetValue(fields.get(), CFSTR("raw"), Data(payload).get());
  QXHttpMessageRef out = QXHttpMessageCreateRequest(kURIServer, kCmdMessage);
  ASSERT_EQ(QXHttpMessageSetContent(out, fields.get()), kQXNoErr);
  std::string bytes = Wire(*qx::fromHandle(out));
  QXHttpMessageRelease(out);
  EXPECT_NE(bytes.find("Content-Type: packed/packed\r\n"), std::string::npos);
  QXHttpMessageRef in = QXHttpMessageCreate();
  qx::Ref<CBaseStreamMemory> stream = qx::make<CBaseStreamMemory>(Data(bytes).get());
  ASSERT_EQ(QXHttpMessageRead(in, qx::toHandle<__QXStream>(stream.get())), kQXNoErr);
  CFRef<CFDictionaryRef> info = CFRef<CFDictionaryRef>::retain(QXHttpMessageGetContent(in));
  QXHttpMessageRelease(in);
  ASSERT_TRUE(info);
  EXPECT_EQ(Text(CFDictionaryGetValue(info.get(), kParamMsgName)), "resize");
  EXPECT_EQ(Bytes(static_cast<CFDataRef>(CFDictionaryGetValue(info.get(), CFSTR("raw")))), payload);

  // Forwarding the read dictionary sends neither the old whole body nor a doubled payload.
  CHTTPMessage forward;
  ASSERT_EQ(QXHttpMessageSetContent(qx::toHandle<__QXHttpMessage>(&forward), info.get()), kQXNoErr);
  std::string again = Wire(forward);
  EXPECT_EQ(again.substr(again.find("\r\n")), bytes.substr(bytes.find("\r\n")));

  // Bodies that are no dictionary are absent, not cast.
  struct Case {
    const char* type;
    std::string body;
  } cases[] = {{"text/xml", kEmptyPlist.substr(0, kEmptyPlist.find("<dict/>")) + "<string>x</string>\n</plist>\n"},
               {"text/xml", "not xml"},
               {"packed/packed", std::string("\0\0\0\5abc", 7)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    CHTTPMessage m;
    ASSERT_EQ(Read(m, "HTTP/1.1 200 OK\r\nContent-Type: " + std::string(c.type) +
                          "\r\nContent-Length: " + std::to_string(c.body.size()) + "\r\n\r\n" + c.body),
              kQXNoErr);
    EXPECT_EQ(m.GetResponse(), nullptr);
    EXPECT_EQ(m.GetBaseResponse(), nullptr);
    EXPECT_NE(m.GetParseError(), nullptr);
  }
}

TEST(HttpMessage, ReadLineInMemory) {
  const std::string buffer = "ab\r\n\r\ncd\r";
  uint64_t position = 0;
  std::string lines;
  for (int i = 0; i < 3; ++i) {
    char* line = CHTTPMessage::ReadLine(buffer.data(), position, buffer.size());
    lines += (line != nullptr ? line : "(null)") + std::string("@") + std::to_string(position) + " ";
    std::free(line);
  }
  EXPECT_EQ(lines, "ab@4 (null)@6 (null)@6 ");
}

}  // namespace

TEST(HttpMessage, LargeBodiesReuseTheirMemory) {
  // A megabyte body freed at the end of one read is the memory of the next one of about its size
  // (no fresh pages to fault in), and its bytes are intact.
  const std::string wire = "HTTP/1.1 200 OK\r\nContent-Length: 1048576\r\n\r\n" + std::string(1 << 20, 'b');
  const UInt8* previous = nullptr;
  int reused = 0;
  for (int round = 0; round < 3; ++round) {
    CHTTPMessage m;
    ASSERT_EQ(Read(m, wire), kQXNoErr);
    CFDataRef body = m.GetRawContent();
    ASSERT_EQ(CFDataGetLength(body), 1 << 20);
    EXPECT_EQ(Bytes(body), wire.substr(wire.size() - (1 << 20)));
    reused += CFDataGetBytePtr(body) == previous;
    previous = CFDataGetBytePtr(body);
  }
  EXPECT_EQ(reused, 2);
}
