// HTTP messages: the bytes written, what a read takes from them, type-safe parameters, bodies as
// records, and hostile input ending a read with a status.
#include <QXCore/QXMessage.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "net/StreamHandle.h"
#include "tests/net/StreamTestSupport.h"

namespace {

using qxcf::adopt;
using qxcf::CFRef;
using streamtest::Bytes;

std::string Text(CFTypeRef s) {
  if (s == nullptr || CFGetTypeID(s) != CFStringGetTypeID()) return "(none)";
  char buffer[256] = {};
  CFStringGetCString(static_cast<CFStringRef>(s), buffer, sizeof buffer, kCFStringEncodingUTF8);
  return buffer;
}

CFRef<CFDataRef> Data(const std::string& bytes) {
  return adopt(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()), CFIndex(bytes.size())));
}

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

TEST(HttpMessage, WritesExactBytes) {
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
      {"array",
       [](CHTTPMessage& m) {
         m.SetParams(CFSTR("n"),
                     adopt(CFStringCreateArrayBySeparatingStrings(nullptr, CFSTR("1,2"), CFSTR(","))).get());
       },
       "GET /server?cmd=connect&n=1&n=2 HTTP/1.1\r\n" + plistHeaders},
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
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CHTTPMessage m(nullptr, kURIServer, kCmdConnect);
    c.build(m);
    EXPECT_EQ(Wire(m), c.expected);
  }
}

}  // namespace
