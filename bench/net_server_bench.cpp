// The local messaging server over loopback against plain POSIX sockets (TCP_NODELAY on, as ours)
// moving the same bytes, in the same run:
// - one client's request with a small message answered by the request callback, against a raw
//   ping-pong of the same request and answer bytes;
// - a 1 MiB packed message sent and answered with the same payload, against raw send/recv of the
//   same bytes both ways;
// - one broadcast to 1, 8 and 32 listening clients, until every one has answered, against writing
//   the same request to that many raw peers in turn and reading each answer before the next;
// - 256 clients on threads of their own making 100 requests each, against a thread-per-connection
//   raw server;
// - a client's connection with both channels and its disconnection, against connect/accept and
//   close of two raw sockets.
// The anchors move the bytes ours do: the requests as the library writes them, and the server's
// answers and a broadcast as they came off a raw socket from a live server, taken once.
// With glibc's default settings the megabyte buffers of the 1 MiB exchange go back to the kernel
// when freed, so each exchange pays fresh page faults (the anchor reuses warm buffers);
// GLIBC_TUNABLES=glibc.malloc.trim_threshold=268435456:glibc.malloc.mmap_threshold=268435456
// shows the steady state of a process that keeps its heap.
//
// SendMessageW latency: BM_ServerSendMessageW times each call alone, 8 listeners subscribed, in
// batches of 32 whose deliveries drain before the next batch (untimed), so the backlog never fills;
// the time it reports is the mean of the batches' medians, and its counters give the median and
// 99th percentile of every call (median_us, p99_us). BM_ServerSendBudgetAnchor measures nothing:
// it reports exactly 5 us an iteration, so its comparison line reads 1x or more when the median
// call takes at most 5 us.
//
// Each benchmark checks its result once before timing and cheaply in the loop, so a broken path
// stops with an error instead of looking fast. Client sockets have 10 s deadlines, so a server that
// stops answering ends a benchmark with an error rather than hanging it.
#include <QXCore/QXServer.h>
#include <QXCore/QXSocket.h>
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cf/CFRef.h"
#include "core/Handle.h"
#include "net/HttpMessageHandle.h"
#include "net/StreamHandle.h"

namespace {

using qxcf::adopt;
using qxcf::CFRef;
using Clock = std::chrono::steady_clock;

CFStringRef const kURIBench = CFSTR("bench");
CFStringRef const kCmdPing = CFSTR("ping");
CFStringRef const kCmdEcho = CFSTR("echo");
constexpr int kMessageID = 42;
constexpr size_t kRawSize = 1u << 20;

bool Equal(CFTypeRef a, CFStringRef b) {
  return a != nullptr && CFGetTypeID(a) == CFStringGetTypeID() &&
         CFStringCompare(static_cast<CFStringRef>(a), b, 0) == kCFCompareEqualTo;
}

std::string Bytes(CFDataRef data) {
  if (data == nullptr) return {};
  return {reinterpret_cast<const char*>(CFDataGetBytePtr(data)), static_cast<size_t>(CFDataGetLength(data))};
}

// ---- Messages ----

CFDataRef RawPayload() {
  static CFDataRef data = [] {
    std::vector<UInt8> b(kRawSize);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<UInt8>(i * 131 + (i >> 9));
    return CFDataCreate(nullptr, b.data(), static_cast<CFIndex>(b.size()));
  }();
  return data;
}

// A message of a few fields; with `payload`, carrying the 1 MiB raw payload as well.
qx::Ref<CBaseMsg> SmallMessage(bool payload = false) {
  qx::Ref<CBaseMsg> message = qx::make<CBaseMsg>(CFSTR("tile"));
  message->SetField(kParamID, kMessageID);
  message->SetField(kParamTaskID, CFSTR("task-7"));
  message->SetField(CFSTR("width"), 512);
  message->SetField(CFSTR("scale"), 0.5);
  if (payload) message->SetRawContent(RawPayload());
  return message;
}

// The bytes a message gives when written to a stream.
std::string WireOf(CHTTPMessage& message) {
  qx::Ref<CBaseStreamMemory> out = qx::make<CBaseStreamMemory>();
  out->Open();
  return message.Write(out.get()) == kQXNoErr ? Bytes(out->GetData()) : std::string();
}

// What a client of the library sends as a request carrying `message`.
std::string RequestWire(CFStringRef command, CBaseMsg* message) {
  CHTTPMessage request(nullptr, kURIBench, command);
  return request.SetContent(message) == kQXNoErr ? WireOf(request) : std::string();
}

// What a listener writes as its answer to a broadcast (as CHTTPMessage::SendResponse does).
std::string ListenerAnswerWire() {
  CBaseResponse response;
  response.SetResult(0);
  CHTTPMessage answer(kHTTPMessageResponse);
  return answer.SetContent(response) == kQXNoErr ? WireOf(answer) : std::string();
}

// ---- The server's side ----

// "ping" is answered with result 0 and the request's id; "echo" with the request's message,
// payload included, packed.
QXStatus OnRequest(QXServerConnectionRef, QXHttpMessageRef handle, void*) {
  CHTTPMessage& request = *qx::fromHandle(handle);
  CFDictionaryRef info = request.GetResponse();
  if (info == nullptr) return kQXErrInvalidArgument;
  CFStringRef command = request.GetParamCmd();
  if (Equal(command, kCmdPing)) {
    CBaseResponse response;
    response.SetResult(0);
    response.SetField(kParamID, CFDictionaryGetValue(info, kParamID));
    return request.SendResponse(response);
  }
  if (Equal(command, kCmdEcho)) {
    qx::Ref<CBaseMsg> message = qx::make<CBaseMsg>(info);
    qx::Ref<CHTTPMessage> answer = qx::make<CHTTPMessage>(kHTTPMessageResponse);
    QXStatus status = answer->SetContent(message.get());
    return status != kQXNoErr ? status : request.SendResponse(*answer);
  }
  return kQXErrInvalidArgument;
}

QXStatus OnCreate(QXServerConnectionRef connection, QXHttpMessageRef, void*) {
  static const QXServerConnectionCallbacks callbacks{nullptr, OnRequest, nullptr};
  QXServerConnectionSetCallbacks(connection, &callbacks, nullptr);
  return kQXNoErr;
}

// A server listening on a loopback port of the system's choice, shut down at the end.
struct BenchServer {
  BenchServer() : ref(QXServerCreate()) {
    if (ref == nullptr || QXServerInitialize(ref) != kQXNoErr) return;
    QXServerSetConnectionCreateCB(ref, OnCreate, nullptr);
    QXServerSetMaxConnections(ref, 1024);
    if (QXServerStartListening(ref, kQXServerListenLoopback, 0) == kQXNoErr) port = QXServerGetListeningPort(ref);
  }
  ~BenchServer() {
    if (ref != nullptr) QXServerRelease(ref);
  }
  BenchServer(const BenchServer&) = delete;
  BenchServer& operator=(const BenchServer&) = delete;
  QXServerRef ref;
  uint16_t port = 0;
};

// ---- The client's side ----

qx::Ref<CBaseStream> SocketStream(uint16_t port) {
  QXSocketRef socket = QXSocketCreate();
  QXSocketSetAddressLoopback(socket, port);
  QXSocketSetTimeouts(socket, 10, 10);
  QXStreamRef stream = QXStreamCreateForSocket(socket);
  QXSocketRelease(socket);
  return qx::Ref<CBaseStream>::adopt(qx::fromHandle(stream));
}

// A connected client (null on failure): its command channel, and its message channel when `listen`.
qx::Ref<CBaseServerAPI> Connect(uint16_t port, bool listen) {
  qx::Ref<CBaseServerAPI> api = qx::make<CBaseServerAPI>();
  api->SetCmdStream(SocketStream(port).get());
  if (listen) api->SetMsgStream(SocketStream(port).get());
  return api->Connect(0) == kQXNoErr ? api : nullptr;
}

// One request with the small message and its answer: true when the answer is the callback's.
bool Ping(CBaseStream* stream, CBaseMsg* message) {
  CHTTPMessage request(nullptr, kURIBench, kCmdPing);
  if (request.SetContent(message) != kQXNoErr || request.Write(stream) != kQXNoErr) return false;
  CHTTPMessage answer(kHTTPMessageResponse);
  if (answer.Read(stream) != kQXNoErr || answer.GetResponseCode() != 200) return false;
  CBaseResponse* response = answer.GetBaseResponse();
  return response != nullptr && response->GetResult() == 0 && response->GetFieldInt(kParamID) == kMessageID;
}

// One request with the packed message: the payload of the answer, or null.
CFRef<CFDataRef> Echo(CBaseStream* stream, CBaseMsg* message) {
  CHTTPMessage request(nullptr, kURIBench, kCmdEcho);
  if (request.SetContent(message) != kQXNoErr || request.Write(stream) != kQXNoErr) return {};
  CHTTPMessage answer(kHTTPMessageResponse);
  if (answer.Read(stream) != kQXNoErr) return {};
  CFDictionaryRef info = answer.GetResponse();
  if (info == nullptr) return {};
  qx::Ref<CBaseMsg> back = qx::make<CBaseMsg>(info);
  if (!Equal(back->GetMsgName(), CFSTR("tile")) || back->GetFieldInt(kParamID) != kMessageID) return {};
  return CFRef<CFDataRef>::retain(back->GetRawContent());
}

// Clients whose message channels answer every broadcast on threads of their own, counting the
// answers (and the messages that were not the expected one).
class Listeners {
 public:
  // Connects `count` clients once every earlier listener has gone; false when that fails.
  bool Start(uint16_t port, size_t count) {
    CBaseMsgBroadcaster* broadcaster = QXServerGetMsgBroadcaster();
    for (int i = 0; i < 500 && broadcaster->GetListenerCount() != 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (broadcaster->GetListenerCount() != 0) return false;
    for (size_t i = 0; i < count; ++i) {
      qx::Ref<CBaseServerAPI> api = Connect(port, true);
      if (!api) return false;
      qx::Ref<CBaseStream> stream = qx::Ref<CBaseStream>::retain(api->GetMsgStream());
      mClients.push_back(api);
      mThreads.emplace_back([this, stream] { Answer(stream.get()); });
    }
    return broadcaster->GetListenerCount() == static_cast<CFIndex>(count);
  }
  // Waits until `answers` answers were given in all; false when a message was wrong or they did
  // not come in 10 s.
  bool WaitFor(uint64_t answers) {
    std::unique_lock<std::mutex> hold(mLock);
    return mChanged.wait_for(hold, std::chrono::seconds(10), [&] { return mAnswered >= answers || mWrong != 0; }) &&
           mWrong == 0;
  }
  // The server ends a connection whose command channel closed, and with it the message channel,
  // which ends the reading thread.
  ~Listeners() {
    mClients.clear();
    for (std::thread& t : mThreads) t.join();
  }

 private:
  void Answer(CBaseStream* stream) {
    for (;;) {
      CHTTPMessage message(kHTTPMessageRequest);
      if (message.Read(stream) != kQXNoErr) return;
      CFDictionaryRef info = message.GetResponse();
      bool right = Equal(message.GetParamCmd(), kCmdMessage) && info != nullptr &&
                   Equal(CFDictionaryGetValue(info, kParamMsgName), CFSTR("tile"));
      CBaseResponse response;
      response.SetResult(0);
      QXStatus status = message.SendResponse(response);
      {
        std::lock_guard<std::mutex> hold(mLock);
        ++mAnswered;
        if (!right || status != kQXNoErr) ++mWrong;
      }
      mChanged.notify_all();
      if (status != kQXNoErr) return;
    }
  }

  std::vector<qx::Ref<CBaseServerAPI>> mClients;
  std::vector<std::thread> mThreads;
  std::mutex mLock;
  std::condition_variable mChanged;
  uint64_t mAnswered = 0;
  uint64_t mWrong = 0;
};

// ---- Plain sockets ----

void NoDelay(int fd) {
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int RawConnect(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return -1;
  NoDelay(fd);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A listening loopback socket; its port in `port`.
int RawListen(uint16_t& port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 512) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  port = ntohs(address.sin_port);
  return fd;
}

int RawAccept(int listener) {
  int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd >= 0) NoDelay(fd);
  return fd;
}

bool SendAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t sent = send(fd, p, n, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    p += sent;
    n -= static_cast<size_t>(sent);
  }
  return true;
}

bool RecvAll(int fd, char* p, size_t n) {
  while (n > 0) {
    ssize_t got = recv(fd, p, n, 0);
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

// One HTTP message read off a socket as it came: the headers, then Content-Length bytes of body;
// empty on failure.
std::string RawReadMessage(int fd) {
  std::string bytes;
  size_t end = std::string::npos;
  char buffer[4096];
  while ((end = bytes.find("\r\n\r\n")) == std::string::npos) {
    ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) return {};
    bytes.append(buffer, static_cast<size_t>(got));
  }
  std::string head = bytes.substr(0, end);
  std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
  size_t field = head.find("\r\ncontent-length:");
  size_t total = end + 4 + (field != std::string::npos ? std::strtoul(head.c_str() + field + 17, nullptr, 10) : 0);
  size_t have = bytes.size();
  if (have > total) return {};
  bytes.resize(total);
  return RecvAll(fd, bytes.data() + have, total - have) ? bytes : std::string();
}

bool RawExchange(int fd, const std::string& request, std::string& answer) {
  if (!SendAll(fd, request.data(), request.size())) return false;
  answer = RawReadMessage(fd);
  return !answer.empty();
}

std::string ConnectWire() { return "GET /server?cmd=connect&api-version=0 HTTP/1.1\r\nContent-Length: 0\r\n\r\n"; }

// The bytes each exchange moves, taken from a live server: the requests as the library writes
// them, the server's answers and the broadcast request as they came off a raw socket.
struct Wire {
  std::string pingRequest, pingAnswer;
  std::string echoRequest, echoAnswer;
  std::string broadcast, listenerAnswer;
  bool Complete() const {
    return !pingAnswer.empty() && !echoAnswer.empty() && !broadcast.empty() && !listenerAnswer.empty();
  }
};

Wire Capture() {
  Wire w;
  qx::Ref<CBaseMsg> small = SmallMessage(), packed = SmallMessage(true);
  w.pingRequest = RequestWire(kCmdPing, small.get());
  w.echoRequest = RequestWire(kCmdEcho, packed.get());
  w.listenerAnswer = ListenerAnswerWire();
  BenchServer server;
  int command = RawConnect(server.port);
  int channel = RawConnect(server.port);
  std::string answer;
  if (server.port != 0 && command >= 0 && channel >= 0 && RawExchange(command, ConnectWire(), answer)) {
    CFRef<CFDataRef> bytes = adopt(
        CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(answer.data()), static_cast<CFIndex>(answer.size())));
    qx::Ref<CBaseStreamMemory> in = qx::make<CBaseStreamMemory>(bytes.get());
    CHTTPMessage connected(kHTTPMessageResponse);
    CBaseResponse* response = connected.Read(in.get()) == kQXNoErr ? connected.GetBaseResponse() : nullptr;
    char id[128] = {};
    if (response != nullptr && response->GetConnectionID() != nullptr &&
        CFStringGetCString(response->GetConnectionID(), id, sizeof id, kCFStringEncodingUTF8) &&
        RawExchange(channel,
                    "GET /server?cmd=connect_listener&connection-id=" + std::string(id) +
                        " HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
                    answer) &&
        RawExchange(command, w.pingRequest, w.pingAnswer) && RawExchange(command, w.echoRequest, w.echoAnswer) &&
        QXServerGetMsgBroadcaster()->SendMessageW(small.get()) == kQXNoErr) {
      w.broadcast = RawReadMessage(channel);
      if (!SendAll(channel, w.listenerAnswer.data(), w.listenerAnswer.size())) w.broadcast.clear();
    }
  }
  if (command >= 0) close(command);
  if (channel >= 0) close(channel);
  return w;
}

const Wire& TheWire() {
  static const Wire wire = Capture();
  return wire;
}

// Loopback connections, each served by a thread of its own that reads `request`'s length and
// writes `answer` back, until the client closes.
class RawPeers {
 public:
  RawPeers(size_t count, const std::string& request, const std::string& answer)
      : mRequestSize(request.size()), mAnswer(answer) {
    uint16_t port = 0;
    int listener = RawListen(port);
    if (listener < 0) return;
    for (size_t i = 0; i < count; ++i) {
      int client = RawConnect(port);
      int server = client >= 0 ? RawAccept(listener) : -1;
      if (server < 0) {
        if (client >= 0) close(client);
        break;
      }
      mClients.push_back(client);
      mThreads.emplace_back([this, server] { Serve(server); });
    }
    close(listener);
  }
  ~RawPeers() {
    for (int fd : mClients) close(fd);
    for (std::thread& t : mThreads) t.join();
  }
  size_t Count() const { return mClients.size(); }
  // Writes the request on connection `i` and reads the answer into `into` (resized to it); checks
  // its last byte, or all of it when `full`.
  bool Exchange(size_t i, const std::string& request, std::string& into, bool full = false) const {
    into.resize(mAnswer.size());
    if (!SendAll(mClients[i], request.data(), request.size()) || !RecvAll(mClients[i], into.data(), into.size()))
      return false;
    return full ? into == mAnswer : into.back() == mAnswer.back();
  }

 private:
  void Serve(int fd) {
    std::string in(mRequestSize, '\0');
    while (RecvAll(fd, in.data(), in.size()) && SendAll(fd, mAnswer.data(), mAnswer.size())) {
    }
    close(fd);
  }

  size_t mRequestSize;
  std::string mAnswer;
  std::vector<int> mClients;
  std::vector<std::thread> mThreads;
};

// ---- 1. One connection, a small request and its answer ----

void BM_ServerPing(benchmark::State& state) {
  BenchServer server;
  qx::Ref<CBaseServerAPI> client = server.port != 0 ? Connect(server.port, false) : nullptr;
  qx::Ref<CBaseMsg> message = SmallMessage();
  if (!client || !Ping(client->GetCmdStream(), message.get())) {
    state.SkipWithError("the request is not answered by the callback");
    return;
  }
  for (auto _ : state) {
    if (!Ping(client->GetCmdStream(), message.get())) {
      state.SkipWithError("ping");
      break;
    }
  }
}
BENCHMARK(BM_ServerPing)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_ServerPingAnchor(benchmark::State& state) {
  const Wire& wire = TheWire();
  RawPeers peers(1, wire.pingRequest, wire.pingAnswer);
  std::string answer;
  if (!wire.Complete() || peers.Count() != 1 || !peers.Exchange(0, wire.pingRequest, answer, true)) {
    state.SkipWithError("the raw ping-pong does not work");
    return;
  }
  for (auto _ : state) {
    if (!peers.Exchange(0, wire.pingRequest, answer)) {
      state.SkipWithError("exchange");
      break;
    }
  }
}
BENCHMARK(BM_ServerPingAnchor)->Unit(benchmark::kMicrosecond)->UseRealTime();

// ---- 2. A 1 MiB packed message there and back ----

void BM_ServerPacked1M(benchmark::State& state) {
  BenchServer server;
  qx::Ref<CBaseServerAPI> client = server.port != 0 ? Connect(server.port, false) : nullptr;
  qx::Ref<CBaseMsg> message = SmallMessage(true);
  CFRef<CFDataRef> check = client ? Echo(client->GetCmdStream(), message.get()) : CFRef<CFDataRef>();
  if (!check || !CFEqual(check.get(), RawPayload())) {
    state.SkipWithError("the payload does not come back");
    return;
  }
  for (auto _ : state) {
    CFRef<CFDataRef> raw = Echo(client->GetCmdStream(), message.get());
    // Its length and last byte: a cheap sign that the whole payload came back.
    if (!raw || CFDataGetLength(raw.get()) != static_cast<CFIndex>(kRawSize) ||
        CFDataGetBytePtr(raw.get())[kRawSize - 1] != CFDataGetBytePtr(RawPayload())[kRawSize - 1]) {
      state.SkipWithError("echo");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 2 * kRawSize));
}
BENCHMARK(BM_ServerPacked1M)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_ServerPacked1MAnchor(benchmark::State& state) {
  const Wire& wire = TheWire();
  RawPeers peers(1, wire.echoRequest, wire.echoAnswer);
  std::string answer;
  if (!wire.Complete() || peers.Count() != 1 || !peers.Exchange(0, wire.echoRequest, answer, true)) {
    state.SkipWithError("the raw exchange does not work");
    return;
  }
  for (auto _ : state) {
    if (!peers.Exchange(0, wire.echoRequest, answer)) {
      state.SkipWithError("exchange");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 2 * kRawSize));
}
BENCHMARK(BM_ServerPacked1MAnchor)->Unit(benchmark::kMicrosecond)->UseRealTime();

// ---- 3. One broadcast to N listeners, until all have answered ----

void BM_ServerBroadcast(benchmark::State& state) {
  const auto n = static_cast<uint64_t>(state.range(0));
  BenchServer server;
  auto listeners = std::make_unique<Listeners>();
  CBaseMsgBroadcaster* broadcaster = QXServerGetMsgBroadcaster();
  qx::Ref<CBaseMsg> message = SmallMessage();
  uint64_t answers = n;
  if (server.port == 0 || !listeners->Start(server.port, n) || broadcaster->SendMessageW(message.get()) != kQXNoErr ||
      !listeners->WaitFor(answers)) {
    state.SkipWithError("the listeners do not all get the broadcast");
    return;
  }
  for (auto _ : state) {
    answers += n;
    if (broadcaster->SendMessageW(message.get()) != kQXNoErr || !listeners->WaitFor(answers)) {
      state.SkipWithError("broadcast");
      break;
    }
  }
}
BENCHMARK(BM_ServerBroadcast)->Arg(1)->Arg(8)->Arg(32)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_ServerBroadcastAnchor(benchmark::State& state) {
  const auto n = static_cast<size_t>(state.range(0));
  const Wire& wire = TheWire();
  RawPeers peers(n, wire.broadcast, wire.listenerAnswer);
  std::string answer;
  bool ready = wire.Complete() && peers.Count() == n;
  for (size_t i = 0; ready && i < n; ++i) ready = peers.Exchange(i, wire.broadcast, answer, true);
  if (!ready) {
    state.SkipWithError("the raw peers do not answer");
    return;
  }
  for (auto _ : state) {
    for (size_t i = 0; i < n; ++i) {
      if (!peers.Exchange(i, wire.broadcast, answer)) {
        state.SkipWithError("exchange");
        return;
      }
    }
  }
}
BENCHMARK(BM_ServerBroadcastAnchor)->Arg(1)->Arg(8)->Arg(32)->Unit(benchmark::kMicrosecond)->UseRealTime();

// ---- 4. 256 connections, 100 requests each, all at once ----

constexpr size_t kManyClients = 256;
constexpr int kRequestsEach = 100;

// Runs `exchange(i)` kRequestsEach times on a thread per connection; false when any failed.
template <class Exchange>
bool AllAtOnce(Exchange exchange) {
  std::atomic<bool> failed{false};
  std::vector<std::thread> threads;
  threads.reserve(kManyClients);
  for (size_t i = 0; i < kManyClients; ++i) {
    threads.emplace_back([&, i] {
      for (int r = 0; r < kRequestsEach && !failed.load(std::memory_order_relaxed); ++r)
        if (!exchange(i)) failed.store(true);
    });
  }
  for (std::thread& t : threads) t.join();
  return !failed.load();
}

void BM_ServerManyClients(benchmark::State& state) {
  BenchServer server;
  qx::Ref<CBaseMsg> message = SmallMessage();
  std::vector<qx::Ref<CBaseServerAPI>> clients;
  for (size_t i = 0; server.port != 0 && i < kManyClients; ++i) {
    qx::Ref<CBaseServerAPI> client = Connect(server.port, false);
    if (!client || !Ping(client->GetCmdStream(), message.get())) break;
    clients.push_back(client);
  }
  if (clients.size() != kManyClients) {
    state.SkipWithError("not every client could connect and be answered");
    return;
  }
  for (auto _ : state) {
    if (!AllAtOnce([&](size_t i) { return Ping(clients[i]->GetCmdStream(), message.get()); })) {
      state.SkipWithError("ping");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kManyClients * kRequestsEach));
}
BENCHMARK(BM_ServerManyClients)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ServerManyClientsAnchor(benchmark::State& state) {
  const Wire& wire = TheWire();
  RawPeers peers(kManyClients, wire.pingRequest, wire.pingAnswer);
  std::vector<std::string> answers(kManyClients);
  bool ready = wire.Complete() && peers.Count() == kManyClients;
  for (size_t i = 0; ready && i < kManyClients; ++i) ready = peers.Exchange(i, wire.pingRequest, answers[i], true);
  if (!ready) {
    state.SkipWithError("the raw server does not answer every connection");
    return;
  }
  for (auto _ : state) {
    if (!AllAtOnce([&](size_t i) { return peers.Exchange(i, wire.pingRequest, answers[i]); })) {
      state.SkipWithError("exchange");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kManyClients * kRequestsEach));
}
BENCHMARK(BM_ServerManyClientsAnchor)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- 5. Connecting both channels and disconnecting ----

void BM_ServerConnect(benchmark::State& state) {
  BenchServer server;
  if (server.port == 0 || !Connect(server.port, true)) {
    state.SkipWithError("a client cannot connect");
    return;
  }
  for (auto _ : state) {
    qx::Ref<CBaseServerAPI> client = Connect(server.port, true);
    if (!client || client->GetConnectionID() == nullptr) {
      state.SkipWithError("connect");
      break;
    }
    client->Disconnect();
  }
}
BENCHMARK(BM_ServerConnect)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_ServerConnectAnchor(benchmark::State& state) {
  uint16_t port = 0;
  int listener = RawListen(port);
  if (listener < 0) {
    state.SkipWithError("listen");
    return;
  }
  for (auto _ : state) {
    int fds[4] = {-1, -1, -1, -1};
    for (int i = 0; i < 4; i += 2) {
      fds[i] = RawConnect(port);
      if (fds[i] >= 0) fds[i + 1] = RawAccept(listener);
    }
    bool ok = std::all_of(std::begin(fds), std::end(fds), [](int fd) { return fd >= 0; });
    for (int fd : fds)
      if (fd >= 0) close(fd);
    if (!ok) {
      state.SkipWithError("connect/accept");
      break;
    }
  }
  close(listener);
}
BENCHMARK(BM_ServerConnectAnchor)->Unit(benchmark::kMicrosecond)->UseRealTime();

// ---- 6. SendMessageW alone ----

constexpr size_t kLatencyListeners = 8;
constexpr size_t kBatch = 32;

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  auto at = values.begin() + static_cast<std::ptrdiff_t>(fraction * static_cast<double>(values.size() - 1));
  std::nth_element(values.begin(), at, values.end());
  return *at;
}

void BM_ServerSendMessageW(benchmark::State& state) {
  BenchServer server;
  auto listeners = std::make_unique<Listeners>();
  CBaseMsgBroadcaster* broadcaster = QXServerGetMsgBroadcaster();
  qx::Ref<CBaseMsg> message = SmallMessage();
  uint64_t answers = kLatencyListeners;
  if (server.port == 0 || !listeners->Start(server.port, kLatencyListeners) ||
      broadcaster->SendMessageW(message.get()) != kQXNoErr || !listeners->WaitFor(answers)) {
    state.SkipWithError("the listeners do not get the broadcast");
    return;
  }
  std::vector<double> all, batch(kBatch);
  for (auto _ : state) {
    for (size_t i = 0; i < kBatch; ++i) {
      Clock::time_point start = Clock::now();
      QXStatus status = broadcaster->SendMessageW(message.get());
      batch[i] = std::chrono::duration<double>(Clock::now() - start).count();
      if (status != kQXNoErr) {
        state.SkipWithError("SendMessageW");
        return;
      }
    }
    all.insert(all.end(), batch.begin(), batch.end());
    state.SetIterationTime(Percentile(batch, 0.5));
    answers += kBatch * kLatencyListeners;
    if (!listeners->WaitFor(answers)) {
      state.SkipWithError("the deliveries do not drain");
      return;
    }
  }
  state.counters["median_us"] = Percentile(all, 0.5) * 1e6;
  state.counters["p99_us"] = Percentile(all, 0.99) * 1e6;
}
BENCHMARK(BM_ServerSendMessageW)->Iterations(64)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_ServerSendBudgetAnchor(benchmark::State& state) {
  for (auto _ : state) state.SetIterationTime(5e-6);
}
BENCHMARK(BM_ServerSendBudgetAnchor)->Iterations(64)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
