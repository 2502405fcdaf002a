// Real peers of the messaging server over loopback: curl and a Python client speaking the whole
// protocol against the server, and the client API against a Python stand-in that answers wrongly.
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

#include "tests/net/StreamTestSupport.h"

namespace {

using namespace streamtest;
using qxcf::adopt;
using qxcf::CFRef;

const std::string kScript = std::string(QX_TEST_AREA_DIR) + "/data/server_peer_client.py";
constexpr size_t kRequestPayload = 100 * 1024;
constexpr size_t kBroadcastPayload = 300 * 1024;

// The payload both sides know; the Python peer makes the same bytes.
std::string Pattern(size_t n) {
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) bytes[i] = char((i * 31 + (i >> 8)) & 0xFF);
  return bytes;
}

// A payload as the peer prints it: its size and FNV-1a checksum.
std::string Raw(size_t size) {
  uint32_t h = 0x811C9DC5;
  for (unsigned char b : Pattern(size)) h = (h ^ b) * 0x01000193;
  char text[64];
  std::snprintf(text, sizeof text, "raw=%zu fnv=%08x", size, h);
  return text;
}

TEST(ServerPeerThreads, Curl) {
  if (!Installed("curl")) GTEST_SKIP() << "curl is not installed";
  Server server;
  struct Case {
    const char* header;
    int version, exit;
    QXStatus result;
    const char* options = "";
  } cases[] = {
      {"", 0, 0, kQXNoErr},
      {"", 1, 0, kQXErrAPIVersion},
      // A client that asks before sending its body is told to go on (else curl gives up here).
      {"Expect: 100-continue", 0, 0, kQXNoErr, "--data-binary body --expect100-timeout 60 --max-time 10 "},
      // Browsers and rebound names get an empty reply.
      {"Origin: http://example.com", 0, 52, 0},
      {"Sec-Fetch-Site: cross-site", 0, 52, 0},
      {"Host: attacker.example", 0, 52, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.header) + " version " + std::to_string(c.version));
    const std::string header = *c.header != 0 ? "-H '" + std::string(c.header) + "' " : "";
    auto [out, status] = Command("curl -s --max-time 30 " + std::string(c.options) + header +
                                 "'http://127.0.0.1:" + std::to_string(server.port) +
                                 "/server?cmd=connect&api-version=" + std::to_string(c.version) + "'");
    ASSERT_EQ(status, c.exit) << out;
    if (c.exit != 0) {
      EXPECT_EQ(out, "");
      continue;
    }
    CFRef<CFPropertyListRef> answer = Plist(out);
    ASSERT_TRUE(answer && CFGetTypeID(answer.get()) == CFDictionaryGetTypeID()) << out;
    CBaseResponse response(static_cast<CFDictionaryRef>(answer.get()));
    EXPECT_EQ(response.GetResult(), c.result);
    EXPECT_EQ(Text(response.GetConnectionID()).rfind("connection-id-", 0), 0u) << out;
  }
}

// What the test's application saw, by connection id (ids sort in the order the connections came).
struct Seen {
  Seen() { QXServerSetConnectionCreateCB(nullptr, Created, this); }
  ~Seen() { QXServerSetConnectionCreateCB(nullptr, nullptr, nullptr); }
  static void Add(void* seen, QXServerConnectionRef connection, const std::string& event) {
    auto* self = static_cast<Seen*>(seen);
    std::lock_guard<std::mutex> hold(self->lock);
    self->events[Text(QXServerConnectionGetID(connection))] += event + ";";
    self->changed.notify_all();
  }
  // Waits until `connections` connections have closed.
  std::map<std::string, std::string> WaitClosed(size_t connections) {
    std::unique_lock<std::mutex> hold(lock);
    changed.wait_for(hold, std::chrono::seconds(20), [&] {
      return size_t(std::count_if(events.begin(), events.end(),
                                  [](const auto& e) { return e.second.ends_with("closed;"); })) >= connections;
    });
    return events;
  }

  static QXStatus Created(QXServerConnectionRef connection, QXHttpMessageRef, void* seen) {
    static const QXServerConnectionCallbacks callbacks{nullptr, Request, Closed};
    Add(seen, connection, "created");
    QXServerConnectionSetCallbacks(connection, &callbacks, seen);
    return kQXNoErr;
  }
  static void Closed(QXServerConnectionRef connection, void* seen) { Add(seen, connection, "closed"); }

  // "note" and "blob" are echoed with result 0 (a raw payload goes back packed), "broadcast" sends
  // two messages; anything else fails and is answered for the application.
  static QXStatus Request(QXServerConnectionRef connection, QXHttpMessageRef request, void* seen) {
    const std::string cmd = Text(QXHttpMessageGetParamCmd(request));
    CFRef<CFMutableDictionaryRef> fields;
    if (cmd == "note" || cmd == "blob") {
      CFDictionaryRef content = QXHttpMessageGetContent(request);
      if (content == nullptr) return kQXErrUnsupportedFormat;
      fields = adopt(CFDictionaryCreateMutableCopy(nullptr, 0, content));
      auto raw = static_cast<CFDataRef>(CFDictionaryGetValue(content, CFSTR("raw")));
      bool intact = Bytes(raw) == Pattern(kRequestPayload);
      Add(seen, connection, cmd == "note" ? cmd : intact ? "blob intact" : "blob changed");
    } else if (cmd == "broadcast") {
      Add(seen, connection, cmd);
      fields = adopt(
          CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
      qx::Ref<CBaseMsg> first = qx::make<CBaseMsg>(CFSTR("first")), second = qx::make<CBaseMsg>(CFSTR("second"));
      first->SetField(CFSTR("n"), 1);
      first->SetField(CFSTR("text"), CFSTR("one"));
      second->SetField(CFSTR("n"), 2);
      second->SetRawContent(Data(Pattern(kBroadcastPayload)).get());
      for (CBaseMsg* message : {first.get(), second.get()}) {
        QXStatus status = QXServerGetMsgBroadcaster()->SendMessageW(message);
        if (status != kQXNoErr) return status;
      }
    } else {
      Add(seen, connection, cmd);
      return kQXErrInvalidArgument;
    }
    int zero = 0;
    CFDictionarySetValue(fields.get(), kBaseResponseResult,
                         adopt(CFNumberCreate(nullptr, kCFNumberIntType, &zero)).get());
    QXHttpMessageRef response = QXHttpMessageCreateResponse();
    QXStatus status = QXHttpMessageSetContent(response, fields.get());
    if (status == kQXNoErr) status = QXHttpMessageSendResponse(request, response);
    QXHttpMessageRelease(response);
    return status;
  }

  std::mutex lock;
  std::condition_variable changed;
  std::map<std::string, std::string> events;
};

TEST(ServerPeerThreads, PythonClientSpeaksTheProtocol) {
  if (!Installed("python3")) GTEST_SKIP() << "python3 is not installed";
  Seen seen;  // outlives the server, whose connections call it
  Server server;
  auto [out, status] = Command("python3 '" + kScript + "' client " + std::to_string(server.port) + " 2>&1");
  EXPECT_EQ(status, 0) << out;
  // First a request without connect, a connection of its own; then the client that connected.
  std::map<std::string, std::string> events = seen.WaitClosed(2);
  ASSERT_EQ(events.size(), 2u) << out;
  EXPECT_EQ(events.begin()->second, "created;note;closed;");
  const std::string id = events.rbegin()->first;
  EXPECT_EQ(events.rbegin()->second, "created;note;blob intact;unknown;broadcast;closed;");
  const std::string lines[] = {
      R"(direct 200 text/xml {"result": 0, "text": "direct"})",
      R"(connect 200 text/xml {"connection-id": ")" + id + R"(", "result": 0})",
      R"(listener 200 text/xml {"result": 0})",
      R"(note 200 text/xml {"list": [1, "two", true], "n": 42, "result": 0, "text": "caf\u00e9 & <b>"})",
      "blob 200 packed/packed " + Raw(kRequestPayload) + R"( {"msg_name": "blob", "n": 7, "result": 0})",
      R"(unknown 200 text/xml {"result": )" + std::to_string(kQXErrInvalidArgument) + "}",
      R"(broadcast 200 text/xml {"result": 0})",
      R"(message GET /server?cmd=message HTTP/1.1 text/xml {"msg_name": "first", "n": 1, "text": "one"})",
      "message GET /server?cmd=message HTTP/1.1 packed/packed " + Raw(kBroadcastPayload) +
          R"( {"msg_name": "second", "n": 2})",
  };
  std::string expected;
  for (const std::string& line : lines) expected += line + "\n";
  EXPECT_EQ(out, expected);
}

TEST(ServerPeerThreads, ClientAPIRefusesAnswersThatAreNotTheServers) {
  if (!Installed("python3")) GTEST_SKIP() << "python3 is not installed";
  // The API version picks the stand-in's answer to "connect".
  struct Case {
    const char* answer;
    QXStatus status;
  } cases[] = {{"sound", kQXNoErr},
               {"without result", kQXServerErrBadAnswer},
               {"result 0 without id", kQXServerErrBadAnswer},
               {"result as text", kQXServerErrBadAnswer},
               {"id as number", kQXServerErrBadAnswer},
               {"status 500", kQXServerErrBadAnswer},
               {"no property list", kQXServerErrBadAnswer}};
  // Each case opens a command channel; the sound one opens its message channel too.
  const int connections = int(std::size(cases)) + 1;
  Peer peer("python3 '" + kScript + "' standin " + std::to_string(connections));
  ASSERT_NE(peer.port, 0);
  for (int version = 0; version < int(std::size(cases)); ++version) {
    const Case& c = cases[version];
    SCOPED_TRACE(c.answer);
    qx::Ref<CBaseServerAPI> api = qx::make<CBaseServerAPI>();
    api->SetCmdStream(SocketStream(peer.port).get());
    api->SetMsgStream(SocketStream(peer.port).get());
    EXPECT_EQ(api->Connect(version), c.status);
    const bool connected = c.status == kQXNoErr;
    EXPECT_EQ(Text(api->GetConnectionID()), connected ? "stand-in-id" : "(none)");
    EXPECT_EQ(api->GetCmdStream() != nullptr, connected);
    EXPECT_EQ(api->GetMsgStream() != nullptr, connected);
    api->Disconnect();
  }
  auto [rest, status] = peer.Finish();
  EXPECT_EQ(status, 0) << rest;
  EXPECT_EQ(rest, "done\n");
}

}  // namespace
