// Real peers of the HTTP messages over loopback sockets: Python's http.client and curl talk to an
// echo loop built on CHTTPMessage, and the library's requests go to Python's http.server.
#include <QXCore/QXMessage.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <future>
#include <vector>

#include "tests/net/StreamTestSupport.h"

namespace {

using namespace streamtest;
using qxcf::adopt;
using qxcf::CFRef;

const std::string kData = std::string(QX_TEST_AREA_DIR) + "/data/";
constexpr uint32_t kTimeoutSeconds = 30;  // a peer that hangs fails the test instead of blocking it

struct Socket {
  Socket() : ref(QXSocketCreate()) { QXSocketSetAddressLoopback(ref, 0); }
  ~Socket() { QXSocketRelease(ref); }
  QXSocketRef ref;
};

// A property-list value as text: dictionaries with sorted keys, data as its bytes.
std::string Flat(CFTypeRef v) {
  if (v == nullptr) return "(none)";
  CFTypeID type = CFGetTypeID(v);
  if (type == CFStringGetTypeID()) return Text(v);
  if (type == CFDataGetTypeID()) return Bytes(static_cast<CFDataRef>(v));
  if (type == CFNumberGetTypeID()) {
    long long n = 0;
    CFNumberGetValue(static_cast<CFNumberRef>(v), kCFNumberLongLongType, &n);
    return std::to_string(n);
  }
  if (type == CFBooleanGetTypeID()) return CFBooleanGetValue(static_cast<CFBooleanRef>(v)) ? "true" : "false";
  std::vector<std::string> items;
  if (type == CFArrayGetTypeID()) {
    CFArrayRef a = static_cast<CFArrayRef>(v);
    for (CFIndex i = 0; i < CFArrayGetCount(a); ++i) items.push_back(Flat(CFArrayGetValueAtIndex(a, i)));
  } else if (type == CFDictionaryGetTypeID()) {
    CFDictionaryRef d = static_cast<CFDictionaryRef>(v);
    std::vector<const void*> keys(size_t(CFDictionaryGetCount(d))), values(keys.size());
    CFDictionaryGetKeysAndValues(d, keys.data(), values.data());
    for (size_t i = 0; i < keys.size(); ++i) items.push_back(Flat(keys[i]) + ":" + Flat(values[i]));
    std::sort(items.begin(), items.end());
  }
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : ",") + item;
  return (type == CFArrayGetTypeID() ? "[" : "{") + out + (type == CFArrayGetTypeID() ? "]" : "}");
}

// Accepts `connections` connections in turn and answers every request with a property list of
// what was read, until a read fails; returns the number of requests answered.
int Echo(QXSocketRef listener, int connections) {
  int served = 0;
  CFRef<CFDataRef> empty = adopt(CFDataCreate(nullptr, nullptr, 0));
  for (int c = 0; c < connections; ++c) {
    QXSocketRef accepted = nullptr;
    if (QXSocketAccept(listener, &accepted) != kQXNoErr) break;
    QXSocketSetTimeouts(accepted, kTimeoutSeconds, kTimeoutSeconds);
    qx::StreamHolder stream(QXStreamCreateForSocket(accepted));
    QXSocketRelease(accepted);
    CHTTPMessage request(kHTTPMessageRequest);
    while (request.Read(qx::fromHandle(stream.get())) == kQXNoErr) {
      CFRef<CFMutableDictionaryRef> echo = adopt(
          CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
      auto put = [&](CFStringRef key, CFTypeRef value) {
        if (value != nullptr) CFDictionarySetValue(echo.get(), key, value);
      };
      put(CFSTR("method"), request.GetMethod());
      put(CFSTR("uri"), request.GetUri());
      put(CFSTR("cmd"), request.GetParamCmd());
      put(CFSTR("params"), request.GetParams());
      put(CFSTR("seq"), request.GetHeader(CFSTR("X-SEQ")));
      put(CFSTR("body"), request.GetRawContent() != nullptr ? request.GetRawContent() : empty.get());
      put(CFSTR("fields"), request.GetResponse());
      CHTTPMessage response(kHTTPMessageResponse);
      if (response.SetContent(echo.get()) != kQXNoErr || request.SendResponse(response) != kQXNoErr) break;
      ++served;
    }
  }
  return served;
}

// An echo loop on a loopback port, run on its own thread.
struct EchoServer {
  explicit EchoServer(int connections) {
    EXPECT_EQ(QXSocketListen(listener.ref, 0, 4), kQXNoErr);
    QXSocketSetTimeouts(listener.ref, 0, kTimeoutSeconds);  // an accept that waits in vain fails
    served = std::async(std::launch::async, Echo, listener.ref, connections);
  }
  std::string Port() const { return std::to_string(QXSocketGetPort(listener.ref)); }
  Socket listener;
  std::future<int> served;
};

TEST(HttpPeerThreads, PythonClientKeepsOneConnectionForAThousandRequests) {
  if (!Installed("python3")) GTEST_SKIP() << "python3 is not installed";
  constexpr int kRequests = 1000;
  EchoServer server(1);
  auto [out, status] = Command("python3 '" + kData + "http_peer_client.py' " + server.Port() + " " +
                               std::to_string(kRequests) + " 2>&1");
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(server.served.get(), kRequests);
}

TEST(HttpPeerThreads, CurlPostsAndGets) {
  if (!Installed("curl")) GTEST_SKIP() << "curl is not installed";
  const std::string plist =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>n</key><integer>7</integer>"
      "<key>s</key><string>a b</string></dict></plist>\n";
  const std::string file = testing::TempDir() + "http_peer_body_" + std::to_string(getpid()) + ".xml";
  ASSERT_TRUE(std::ofstream(file, std::ios::binary) << plist);
  struct Case {
    std::string arguments, target, expected;
  } cases[] = {
      {"--data-binary @'" + file + "' -H 'Content-Type: text/xml'", "server/post?cmd=post&a=1&a=2&b=%41",
       "{body:" + plist + ",cmd:post,fields:{n:7,s:a b},method:POST,params:{a:[1,2],b:A,cmd:post},uri:server/post}"},
      {"", "server?cmd=get&q=a%2Db%20c&e=%C3%A9",
       "{body:,cmd:get,method:GET,params:{cmd:get,e:\xC3\xA9,q:a-b c},uri:server}"},
  };
  EchoServer server(int(std::size(cases)));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    auto [out, status] =
        Command("curl -sS --max-time 30 " + c.arguments + " 'http://127.0.0.1:" + server.Port() + "/" + c.target + "'");
    ASSERT_EQ(status, 0) << out;
    EXPECT_EQ(Flat(Plist(out).get()), c.expected);
  }
  EXPECT_EQ(server.served.get(), int(std::size(cases)));
  remove(file.c_str());
}

// The bytes `m` writes, split into the start line and the body.
std::pair<std::string, std::string> Wire(CHTTPMessage& m) {
  qx::Ref<CBaseStreamMemory> out = qx::make<CBaseStreamMemory>();
  out->Open();
  EXPECT_EQ(m.Write(out.get()), kQXNoErr);
  std::string bytes = Flat(out->GetData());
  return {bytes.substr(0, bytes.find("\r\n")), bytes.substr(bytes.find("\r\n\r\n") + 4)};
}

TEST(HttpPeerThreads, PythonServerChecksTheLibrarysRequests) {
  if (!Installed("python3")) GTEST_SKIP() << "python3 is not installed";
  Peer peer("python3 '" + kData + "http_peer_server.py'");
  ASSERT_NE(peer.port, 0);
  qx::Ref<CBaseStream> stream = SocketStream(peer.port, kTimeoutSeconds);
  ASSERT_EQ(stream->Open(), kQXNoErr);

  CFRef<CFDataRef> raw = adopt(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>("a\0\r\nb"), 5));
  struct Case {
    const char* name;
    std::function<void(CHTTPMessage&)> build;
    std::string query, fields, raw;
  } cases[] = {
      {"connect", [](CHTTPMessage& m) { m.SetParam(kParamAPIVersion, 1); }, "{api-version:[1],cmd:[connect]}", "{}",
       ""},
      {"packed",
       [&](CHTTPMessage& m) {
         CBaseMsg msg(CFSTR("note"));
         msg.SetField(CFSTR("n"), 7);
         msg.SetRawContent(raw.get());
         m.SetMethod(kHTTPMethodPut);
         ASSERT_EQ(m.SetContent(&msg), kQXNoErr);
       },
       "{cmd:[connect]}", "{msg_name:note,n:7}", std::string("a\0\r\nb", 5)},
      {"escaped",
       [](CHTTPMessage& m) {
         m.SetParam(CFSTR("k&=y+"), CFSTR("a-b c/%\xC3\xA9"));
         m.SetParams(CFSTR("n"),
                     adopt(CFStringCreateArrayBySeparatingStrings(nullptr, CFSTR("1,2"), CFSTR(","))).get());
         m.SetContentString(CFSTR("s"), CFSTR("<&>"));
       },
       "{cmd:[connect],k&=y+:[a-b c/%\xC3\xA9],n:[1,2]}", "{s:<&>}", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CHTTPMessage m(nullptr, kURIServer, kCmdConnect);
    c.build(m);
    auto [requestLine, body] = Wire(m);
    ASSERT_EQ(m.Write(stream.get()), kQXNoErr);
    CHTTPMessage answer;
    ASSERT_EQ(answer.Read(stream.get()), kQXNoErr);
    EXPECT_EQ(answer.GetResponseCode(), 200);
    CFDictionaryRef seen = answer.GetResponse();
    ASSERT_NE(seen, nullptr) << Flat(answer.GetRawContent());
    auto field = [&](const char* key) { return Flat(CFDictionaryGetValue(seen, String(key).get())); };
    EXPECT_EQ(field("problems"), "[]");
    EXPECT_EQ(field("requestline"), requestLine);
    EXPECT_EQ(field("body"), body);
    EXPECT_EQ(field("query"), c.query);
    EXPECT_EQ(field("fields"), c.fields);
    EXPECT_EQ(field("raw"), c.raw.empty() ? "(none)" : c.raw);
  }
  stream->Close();
  auto [rest, status] = peer.Finish();
  EXPECT_EQ(status, 0) << rest;
  EXPECT_EQ(rest, "done\n");
}

}  // namespace
