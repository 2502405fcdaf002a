// The server, its connections, the broadcaster and the client API over real loopback sockets.
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "net/HttpMessageHandle.h"
#include "net/SocketTesting.h"
#include "tests/net/StreamTestSupport.h"

namespace {

using namespace streamtest;
using qxcf::adopt;
using qxcf::CFRef;

// Sends raw request bytes on a new connection and reads one answer: its status and fields.
struct Answer {
  QXStatus status = kQXErrGeneric;
  int32_t result = 0;
  std::string id;
};
Answer Ask(qx::Ref<CBaseStream> stream, const std::string& request) {
  Answer a;
  uint64_t count = request.size();
  a.status = stream->WriteChunk(request.data(), count);
  CHTTPMessage answer(kHTTPMessageResponse);
  if (a.status == kQXNoErr) a.status = answer.Read(stream.get());
  CFDictionaryRef fields = answer.GetResponse();
  if (fields != nullptr) {
    CBaseResponse response(fields);
    a.result = response.GetResult();
    a.id = Text(response.GetConnectionID());
  }
  return a;
}
Answer Ask(uint16_t port, const std::string& request) {
  qx::Ref<CBaseStream> stream = SocketStream(port);
  if (stream->Open() != kQXNoErr) return {};
  return Ask(stream, request);
}

std::mutex gLogLock;

// A client with both channels; its message channel answers every message on a thread of its own
// and records the names it received.
struct Client {
  explicit Client(uint16_t port, bool listen = true) {
    api->SetCmdStream(SocketStream(port).get());
    if (listen) api->SetMsgStream(SocketStream(port).get());
  }
  ~Client() {
    api->Disconnect();
    if (reader.joinable()) reader.join();
  }
  QXStatus Connect(int32_t version = 0) {
    QXStatus status = api->Connect(version);
    if (status == kQXNoErr && api->GetMsgStream() != nullptr) {
      qx::Ref<CBaseStream> stream = qx::Ref<CBaseStream>::retain(api->GetMsgStream());
      reader = std::thread([this, stream] { Answering(stream); });
    }
    return status;
  }
  void Answering(qx::Ref<CBaseStream> stream) {
    for (;;) {
      CHTTPMessage message(kHTTPMessageRequest);
      if (message.Read(stream.get()) != kQXNoErr) return;
      CFDictionaryRef info = message.GetResponse();
      {
        std::lock_guard<std::mutex> hold(lock);
        received.push_back(info != nullptr ? Text(CFDictionaryGetValue(info, kParamMsgName)) : "?");
        std::lock_guard<std::mutex> logged(gLogLock);
        if (log != nullptr) log->push_back(name + received.back());
      }
      changed.notify_all();
      if (!answering) continue;  // a client that never answers
      CBaseResponse response;
      response.SetResult(0);
      if (info != nullptr) response.SetField(CFSTR("echo"), CFDictionaryGetValue(info, kParamMsgName));
      if (message.SendResponse(response) != kQXNoErr) return;
    }
  }
  // Waits until `count` messages arrived; what arrived by then.
  std::vector<std::string> Received(size_t count) {
    std::unique_lock<std::mutex> hold(lock);
    changed.wait_for(hold, std::chrono::seconds(20), [&] { return received.size() >= count; });
    return received;
  }

  qx::Ref<CBaseServerAPI> api = qx::make<CBaseServerAPI>();
  std::thread reader;
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::string> received;
  std::vector<std::string>* log = nullptr;  // shared by clients, under gLogLock
  std::string name;
  std::atomic<bool> answering{true};
};

std::string ConnectRequest(int version) {
  return "GET /server?cmd=connect&api-version=" + std::to_string(version) + " HTTP/1.1\r\nContent-Length: 0\r\n\r\n";
}

void Broadcast(const char* name) {
  qx::Ref<CBaseMsg> message = qx::make<CBaseMsg>(String(name).get());
  ASSERT_EQ(QXServerGetMsgBroadcaster()->SendMessageW(message.get()), kQXNoErr);
}

TEST(ServerThreads, Protocol) {
  Server server;
  ASSERT_NE(server.port, 0);

  // Ids count up and carry 128 random bits.
  Answer first = Ask(server.port, ConnectRequest(0)), second = Ask(server.port, ConnectRequest(0));
  EXPECT_EQ(first.result, 0);
  EXPECT_EQ(first.id.rfind("connection-id-0-", 0), 0u) << first.id;
  EXPECT_EQ(second.id.rfind("connection-id-1-", 0), 0u) << second.id;
  EXPECT_EQ(first.id.size(), std::string("connection-id-0-").size() + 32);

  // Another version: -6969 with an id; the client API gives up and keeps nothing.
  Answer other = Ask(server.port, ConnectRequest(1));
  EXPECT_EQ(other.result, kQXErrAPIVersion);
  EXPECT_EQ(other.id.rfind("connection-id-2-", 0), 0u);
  Client refused(server.port);
  EXPECT_EQ(refused.Connect(1), kQXErrAPIVersion);
  EXPECT_EQ(refused.api->GetCmdStream(), nullptr);
  EXPECT_EQ(refused.api->GetMsgStream(), nullptr);
  EXPECT_EQ(refused.api->GetConnectionID(), nullptr);

  // A listener for an id nobody has (or a guess at one) is answered 0 and attached to nothing.
  CFIndex listeners = QXServerGetMsgBroadcaster()->GetListenerCount();
  for (const std::string& id : {std::string("nobody"), std::string("connection-id-0")}) {
    Answer a = Ask(server.port, "GET /server?cmd=connect_listener&connection-id=" + id + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(a.status, kQXNoErr);
    EXPECT_EQ(a.result, 0);
  }
  EXPECT_EQ(QXServerGetMsgBroadcaster()->GetListenerCount(), listeners);

  // Without callbacks every request after connect is answered -1, and the connection goes on.
  qx::Ref<CBaseStream> stream = SocketStream(server.port);
  ASSERT_EQ(stream->Open(), kQXNoErr);
  ASSERT_EQ(Ask(stream, ConnectRequest(0)).result, 0);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(Ask(stream, "GET /server?cmd=x HTTP/1.1\r\n\r\n").result, kQXErrGeneric);
  QXServerSetAPIVersion(server.ref, 1);
  EXPECT_EQ(Ask(server.port, ConnectRequest(1)).result, 0);
}

TEST(ServerThreads, RequestsFromBrowsersAreRefused) {
  Server server;
  struct Case {
    const char* header;
    bool answered;
  } cases[] = {{"", true},
               {"Host: localhost:80\r\n", true},
               {"Host: 127.0.0.1\r\n", true},
               {"Host: [::1]:8080\r\n", true},
               {"Sec-Fetch-Site: none\r\n", true},
               {"Origin: http://example.com\r\n", false},
               {"Referer: http://example.com/\r\n", false},
               {"Sec-Fetch-Site: cross-site\r\n", false},
               {"Host: attacker.example:80\r\n", false},
               {"host: 10.0.0.1\r\n", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.header);
    std::string connect = "GET /server?cmd=connect&api-version=0 HTTP/1.1\r\n" + std::string(c.header) + "\r\n";
    Answer a = Ask(server.port, connect);
    EXPECT_EQ(a.status == kQXNoErr, c.answered);
    // On a connection already open, the same request ends it without an answer.
    qx::Ref<CBaseStream> stream = SocketStream(server.port);
    ASSERT_EQ(stream->Open(), kQXNoErr);
    ASSERT_EQ(Ask(stream, ConnectRequest(0)).result, 0);
    a = Ask(stream, "GET /x HTTP/1.1\r\n" + std::string(c.header) + "\r\n");
    EXPECT_EQ(a.status == kQXNoErr, c.answered);
  }
}

TEST(ServerThreads, BroadcastOrder) {
  Server server;
  std::vector<std::string> log;
  Client a(server.port), b(server.port);
  a.name = "A";
  b.name = "B";
  a.log = b.log = &log;
  ASSERT_EQ(a.Connect(), kQXNoErr);
  ASSERT_EQ(b.Connect(), kQXNoErr);
  Broadcast("1");
  Broadcast("2");
  // C subscribes after message 1 was sent: it never gets it.
  Client c(server.port);
  ASSERT_EQ(c.Connect(), kQXNoErr);
  Broadcast("3");
  EXPECT_EQ(a.Received(3), (std::vector<std::string>{"1", "2", "3"}));
  EXPECT_EQ(b.Received(3), (std::vector<std::string>{"1", "2", "3"}));
  std::vector<std::string> late = c.Received(1);
  ASSERT_FALSE(late.empty());
  EXPECT_NE(late.front(), "1");
  std::lock_guard<std::mutex> hold(gLogLock);
  ASSERT_GE(log.size(), 4u);
  std::vector<std::string> firstTwo(log.begin(), log.begin() + 4);
  EXPECT_EQ(firstTwo, (std::vector<std::string>{"A1", "B1", "A2", "B2"}));
}

TEST(ServerThreads, SilentAndStalledClientsHoldUpNoOne) {
  Server server;
  QXServerSetListenerTimeout(300);

  // A socket that connects and says nothing does not delay the next client.
  qx::Ref<CBaseStream> silent = SocketStream(server.port);
  ASSERT_EQ(silent->Open(), kQXNoErr);
  EXPECT_EQ(Ask(server.port, ConnectRequest(0)).result, 0);

  // A listener that never answers is dropped after the deadline; the others get later messages.
  Client stalled(server.port), healthy(server.port);
  stalled.answering = false;
  ASSERT_EQ(stalled.Connect(), kQXNoErr);
  ASSERT_EQ(healthy.Connect(), kQXNoErr);
  CFIndex before = QXServerGetMsgBroadcaster()->GetListenerCount();
  Broadcast("m1");
  Broadcast("m2");
  EXPECT_EQ(healthy.Received(2), (std::vector<std::string>{"m1", "m2"}));
  EXPECT_EQ(stalled.Received(1), (std::vector<std::string>{"m1"}));
  EXPECT_EQ(QXServerGetMsgBroadcaster()->GetListenerCount(), before - 1);

  // While a delivery waits for a stalled listener, the backlog fills and refuses instead of growing.
  Client stalled2(server.port);
  stalled2.answering = false;
  ASSERT_EQ(stalled2.Connect(), kQXNoErr);
  QXServerSetMaxBacklog(2);
  Broadcast("m3");
  Broadcast("m4");
  qx::Ref<CBaseMsg> third = qx::make<CBaseMsg>(CFSTR("m5"));
  EXPECT_EQ(QXServerGetMsgBroadcaster()->SendMessageW(third.get()), kQXServerErrBacklogFull);
  EXPECT_EQ(healthy.Received(4), (std::vector<std::string>{"m1", "m2", "m3", "m4"}));
  QXServerSetMaxBacklog(0);
  QXServerSetListenerTimeout(0);
}

// The application's own exchanges on a message channel and the broadcaster's never interleave:
// each reads the answer to its own request.
QXStatus PingThroughChannel(QXServerConnectionRef connection, QXHttpMessageRef request, void* mismatches) {
  QXStreamRef channel = QXServerConnectionGetListeningStream(connection);
  if (channel == nullptr) return kQXErrGeneric;
  CFRef<CFMutableDictionaryRef> fields =
      adopt(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  CFDictionarySetValue(fields.get(), kParamMsgName, CFSTR("app"));
  for (int i = 0; i < 20; ++i) {
    QXHttpMessageRef out = QXHttpMessageCreateRequest(kURIServer, kCmdMessage);
    QXHttpMessageRef in = QXHttpMessageCreate();
    QXHttpMessageSetContent(out, fields.get());
    if (QXHttpMessageWrite(out, channel) != kQXNoErr || QXHttpMessageRead(in, channel) != kQXNoErr ||
        Text(CFDictionaryGetValue(QXHttpMessageGetContent(in), CFSTR("echo"))) != "app")
      ++*static_cast<std::atomic<int>*>(mismatches);
    QXHttpMessageRelease(out);
    QXHttpMessageRelease(in);
  }
  CHTTPMessage* message = qx::fromHandle(request);
  CBaseResponse response;
  response.SetResult(7);
  return message->SendResponse(response);
}

QXStatus AttachPing(QXServerConnectionRef connection, QXHttpMessageRef, void* mismatches) {
  QXServerConnectionCallbacks callbacks{nullptr, PingThroughChannel, nullptr};
  QXServerConnectionSetCallbacks(connection, &callbacks, mismatches);
  return kQXNoErr;
}

TEST(ServerThreads, ApplicationExchangesOnTheChannel) {
  Server server;
  std::atomic<int> mismatches{0};
  QXServerSetConnectionCreateCB(server.ref, AttachPing, &mismatches);
  Client client(server.port);
  ASSERT_EQ(client.Connect(), kQXNoErr);
  auto pinging = std::async(std::launch::async, [&] {
    CHTTPMessage request(nullptr, kURIServer, CFSTR("ping")), answer(kHTTPMessageResponse);
    if (request.Write(client.api->GetCmdStream()) != kQXNoErr) return -1;
    if (answer.Read(client.api->GetCmdStream()) != kQXNoErr || answer.GetBaseResponse() == nullptr) return -1;
    return answer.GetBaseResponse()->GetResult();
  });
  for (int i = 0; i < 20; ++i) Broadcast("b");
  EXPECT_EQ(pinging.get(), 7);
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(client.Received(40).size(), 40u);
  QXServerSetConnectionCreateCB(nullptr, nullptr, nullptr);
}

// A callback that shuts its own server down, or drops the last reference to it, must not wait for
// itself; a creation callback's refusal is the answer.
QXStatus StopFromInside(QXServerConnectionRef, QXHttpMessageRef request, void* serverRef) {
  CFStringRef command = qx::fromHandle(request)->GetParamCmd();
  if (command != nullptr && CFStringCompare(command, CFSTR("refuse"), 0) == kCFCompareEqualTo) return 42;
  if (command != nullptr && CFStringCompare(command, CFSTR("release"), 0) == kCFCompareEqualTo) {
    QXServerRelease(static_cast<QXServerRef>(serverRef));
  } else {
    QXServerShutdown(static_cast<QXServerRef>(serverRef));
  }
  return kQXNoErr;
}

TEST(ServerThreads, ShutdownFromACallback) {
  for (const char* command : {"shutdown", "release"}) {
    SCOPED_TRACE(command);
    QXServerRef ref = QXServerCreate();
    ASSERT_EQ(QXServerInitialize(ref), kQXNoErr);
    ASSERT_EQ(QXServerStartListening(ref, kQXServerListenLoopback, 0), kQXNoErr);
    uint16_t port = QXServerGetListeningPort(ref);
    QXServerSetConnectionCreateCB(ref, StopFromInside, ref);
    qx::Ref<CBaseStream> stream = SocketStream(port);
    ASSERT_EQ(stream->Open(), kQXNoErr);
    ASSERT_EQ(Ask(stream, ConnectRequest(0)).result, 0);
    EXPECT_EQ(Ask(stream, "GET /server?cmd=refuse HTTP/1.1\r\n\r\n").result, 42);
    // The next request goes to the callback (no request callback: the creation one ran once).
    EXPECT_EQ(Ask(stream, "GET /server?cmd=x HTTP/1.1\r\n\r\n").result, kQXErrGeneric);
    qx::Ref<CBaseStream> second = SocketStream(port);
    ASSERT_EQ(second->Open(), kQXNoErr);
    ASSERT_EQ(Ask(second, ConnectRequest(0)).result, 0);
    // Its first request stops the server from inside; the socket then ends without an answer.
    EXPECT_NE(Ask(second, std::string("GET /server?cmd=") + command + " HTTP/1.1\r\n\r\n").status, kQXNoErr);
    EXPECT_NE(Ask(port, ConnectRequest(0)).status, kQXNoErr);
    if (std::string(command) == "shutdown") QXServerRelease(ref);
    QXServerSetConnectionCreateCB(nullptr, nullptr, nullptr);
  }
}

TEST(ServerThreads, CapAndShutdown) {
  Server server;
  QXServerSetMaxConnections(server.ref, 256);
  Client reading(server.port);  // connected and reading its message channel when the server shuts down
  ASSERT_EQ(reading.Connect(), kQXNoErr);
  // 300 sockets at once, none sending: as many as the cap leaves wait for their first request, the
  // rest are closed at once.
  std::vector<QXSocketRef> sockets;
  for (int i = 0; i < 300; ++i) {
    QXSocketRef s = QXSocketCreate();
    QXSocketSetAddressLoopback(s, server.port);
    QXSocketSetTimeouts(s, 2, 2);
    EXPECT_EQ(QXSocketOpen(s), kQXNoErr);
    sockets.push_back(s);
  }
  const int refused = 300 - (256 - 1);
  int closed = 0;
  for (int round = 0; round < 100 && closed != refused; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    closed = 0;
    for (QXSocketRef s : sockets) {
      char c;
      closed += recv(qx::testing::SocketDescriptor(s), &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
    }
  }
  EXPECT_EQ(closed, refused);

  // Shutdown ends the waiting sockets and the connected client, and returns.
  auto done = std::async(std::launch::async, [&] { return QXServerShutdown(server.ref); });
  ASSERT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(done.get(), kQXNoErr);
  for (QXSocketRef s : sockets) QXSocketRelease(s);
  EXPECT_NE(QXServerStartListening(server.ref, kQXServerListenLoopback, 0), kQXNoErr);
}

}  // namespace
