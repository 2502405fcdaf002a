// The server: the accept loop, the protocol of a new socket (connect, connect_listener, or a
// request of its own), the live connections and a shutdown that ends them all. Any local process,
// and any web page, can reach the port, so a new socket's first request is read with a deadline
// on a pool thread of its own, connections are capped, and requests from browsers are refused.
#include <QXCore/QXLog.h>
#include <QXCore/QXServer.h>
#include <arpa/inet.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "net/HttpMessageState.h"
#include "net/ServerInternal.h"

using qxcf::adopt;
using qxcf::CFRef;

namespace qxnet {
// The connection whose thread is running, so that a shutdown from its own callback does not wait
// for itself.
thread_local CBaseConnection* tCurrentConnection = nullptr;
}  // namespace qxnet

namespace {

constexpr int32_t kListenBacklog = 128;
// How long the accept loop waits before trying again when descriptors or memory ran out.
constexpr auto kAcceptBackOff = std::chrono::milliseconds(100);
constexpr QXStatus kRefused = EACCES;

bool LoopbackHost(std::string host) {
  // The port, if any, goes first; "[::1]:80" keeps its brackets until then.
  if (!host.empty() && host.front() == '[') {
    size_t close = host.find(']');
    return close != host.npos && host.substr(1, close - 1) == "::1";
  }
  size_t colon = host.find(':');
  if (colon != host.npos) host.resize(colon);
  std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return std::tolower(c); });
  if (host == "localhost" || host == "localhost.") return true;
  in_addr address{};
  return inet_pton(AF_INET, host.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

}  // namespace

bool qxnet::FromBrowser(const CHTTPMessage& request) {
  if (request.GetHeader(CFSTR("Origin")) != nullptr || request.GetHeader(CFSTR("Referer")) != nullptr) return true;
  CFStringRef site = request.GetHeader(CFSTR("Sec-Fetch-Site"));
  if (site != nullptr && CFStringCompare(site, CFSTR("none"), kCFCompareCaseInsensitive) != kCFCompareEqualTo)
    return true;
  CFStringRef host = request.GetHeader(CFSTR("Host"));
  return host != nullptr && !LoopbackHost(qxhttp::UTF8(host));
}

namespace {

bool IsString(CFTypeRef value, CFStringRef text) {
  return qxmsg::IsString(value) && CFStringCompare(static_cast<CFStringRef>(value), text, 0) == kCFCompareEqualTo;
}

// 128 bits from the kernel's generator, in hex; empty when it cannot give them.
std::string RandomHex() {
  unsigned char bytes[16];
  size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return {};
    got += static_cast<size_t>(n);
  }
  char text[sizeof bytes * 2 + 1];
  for (size_t i = 0; i < sizeof bytes; ++i) std::snprintf(text + 2 * i, 3, "%02x", bytes[i]);
  return text;
}

QXStatus Answer(CHTTPMessage& request, int32_t result, CFStringRef connectionID) {
  CBaseResponse response;
  response.SetResult(result);
  if (connectionID != nullptr) response.SetConnectionID(connectionID);
  return request.SendResponse(response);
}

void ForgetPending(CBaseServer::State& s, CBaseSocket* socket) {
  auto it = std::find_if(s.pending.begin(), s.pending.end(), [socket](const auto& p) { return p.get() == socket; });
  if (it != s.pending.end()) s.pending.erase(it);
}

struct Accepted {
  CBaseServer* server;
  qx::Ref<CBaseSocket> socket;
};

}  // namespace

// ---- Construction and settings ----

CBaseServer::CBaseServer() : mState(new State) {}

CBaseServer::~CBaseServer() {
  Shutdown();
  delete mState;
}

QXStatus CBaseServer::Initialize(CBaseMsgBroadcaster* broadcaster, CBaseConnectionFactory* factory) {
  std::lock_guard<std::mutex> hold(mState->lock);
  mState->broadcaster = qx::Ref<CBaseMsgBroadcaster>::retain(broadcaster);
  mState->factory = qx::Ref<CBaseConnectionFactory>::retain(factory);
  return kQXNoErr;
}

CBaseMsgBroadcaster* CBaseServer::GetMsgBroadcaster() const {
  std::lock_guard<std::mutex> hold(mState->lock);
  return mState->broadcaster.get();
}

void CBaseServer::SetMsgBroacaster(CBaseMsgBroadcaster* broadcaster) {
  std::lock_guard<std::mutex> hold(mState->lock);
  mState->broadcaster = qx::Ref<CBaseMsgBroadcaster>::retain(broadcaster);
}

void CBaseServer::SetConnFactory(CBaseConnectionFactory* factory) {
  std::lock_guard<std::mutex> hold(mState->lock);
  mState->factory = qx::Ref<CBaseConnectionFactory>::retain(factory);
}

int32_t CBaseServer::GetAPIVersion() const { return mState->apiVersion.load(); }
void CBaseServer::SetAPIVersion(int32_t version) { mState->apiVersion.store(version); }
void CBaseServer::SetMaxConnections(uint32_t maxConnections) {
  mState->maxConnections.store(maxConnections != 0 ? maxConnections : uint32_t{kQXServerDefaultMaxConnections});
}
void CBaseServer::SetRequestTimeout(uint32_t milliseconds) {
  mState->requestTimeoutMS.store(milliseconds != 0 ? milliseconds : uint32_t{kQXServerDefaultRequestTimeoutMS});
}
uint16_t CBaseServer::GetListeningPort() const { return mState->port.load(); }

// ---- Listening and accepting ----

QXStatus CBaseServer::StartListening(uint16_t port) { return StartListening2(kQXServerListenLoopback, port); }

QXStatus CBaseServer::StartListening2(QXServerListenAddress address, uint16_t port) {
  State& s = *mState;
  std::lock_guard<std::mutex> hold(s.lock);
  if (s.stop || s.looping) return kQXErrGeneric;
  qx::Ref<CBaseSocket> socket = qx::make<CBaseSocket>();
  if (!socket) return kQXErrMemory;
  (void)socket->SetAddress(htonl(address == kQXServerListenAny ? INADDR_ANY : INADDR_LOOPBACK), htons(port));
  QXStatus status = socket->Listen(port, kListenBacklog);
  if (status != kQXNoErr) {
    QXLogWithParams(1, nullptr, status, CFSTR("CBaseServer::StartListening2 QXSocketListen"));
    return status;
  }
  s.port.store(socket->GetPort());
  s.socket = socket;
  s.looping = true;
  status = QXThreadPoolPush(ListenCallback, this);
  if (status != kQXNoErr) {
    s.looping = false;
    s.socket = nullptr;
    QXLogWithParams(1, nullptr, status, CFSTR("CBaseServer::StartListening2 QXThreadPoolPush"));
  }
  return status;
}

void CBaseServer::ListenCallback(void* server) { static_cast<CBaseServer*>(server)->Listen(); }

void CBaseServer::Listen() {
  State& s = *mState;
  CBaseSocket* listening;
  {
    std::lock_guard<std::mutex> hold(s.lock);
    listening = s.socket.get();  // kept until the loop has ended (Shutdown waits for it)
  }
  // The loop only accepts: a socket's first request is read elsewhere, so a silent client holds
  // up no one.
  for (;;) {
    CBaseSocket* raw = nullptr;
    QXStatus status = listening->Accept(raw);
    qx::Ref<CBaseSocket> socket = qx::Ref<CBaseSocket>::adopt(raw);
    bool stopping;
    bool refuse = false;
    {
      std::lock_guard<std::mutex> hold(s.lock);
      stopping = s.stop;
      if (!stopping && socket) {
        refuse = s.pending.size() + s.connections.size() >= s.maxConnections.load();
        if (!refuse) s.pending.push_back(socket);
      }
    }
    if (stopping) break;
    if (status != kQXNoErr) {
      // Out of descriptors or memory: wait for some to come back. A listening socket that no
      // longer works ends the loop.
      if (status == EBADF || status == EINVAL || status == ENOTSOCK || status == EOPNOTSUPP) break;
      std::this_thread::sleep_for(kAcceptBackOff);
      continue;
    }
    if (refuse) continue;  // above the cap: the socket closes as it goes
    auto* record = new (std::nothrow) Accepted{this, socket};
    if (record == nullptr || QXThreadPoolPush(AcceptedCallback, record) != kQXNoErr) {
      delete record;
      std::lock_guard<std::mutex> hold(s.lock);
      ForgetPending(s, socket.get());
    }
  }
  std::lock_guard<std::mutex> hold(s.lock);
  s.looping = false;
  s.changed.notify_all();
}

void CBaseServer::AcceptedCallback(void* record) {
  std::unique_ptr<Accepted> accepted(static_cast<Accepted*>(record));
  CBaseServer* server = accepted->server;
  State& s = *server->mState;
  uint32_t deadline = s.requestTimeoutMS.load();
  accepted->socket->SetTimeoutsMS(deadline, deadline);
  qx::Ref<CBaseStreamSocket> stream = qx::make<CBaseStreamSocket>(accepted->socket.get());
  if (stream) (void)server->StartConnection(stream.get());
  stream = nullptr;
  std::lock_guard<std::mutex> hold(s.lock);
  ForgetPending(s, accepted->socket.get());
  s.changed.notify_all();
}

// ---- The protocol of a new socket ----

QXStatus CBaseServer::StartConnection(CBaseStream* stream) {
  if (stream == nullptr) return kQXErrInvalidArgument;
  qx::Ref<CHTTPMessage> request = qx::make<CHTTPMessage>(kHTTPMessageRequest);
  if (!request) return kQXErrMemory;
  QXStatus status = request->Read(stream);
  if (status != kQXNoErr) return status;
  if (qxnet::FromBrowser(*request)) return kRefused;  // no answer: a page learns nothing
  // The deadline was for the first request; a connection may then idle as long as it likes.
  if (CBaseSocket* socket = qxnet::SocketOf(stream)) socket->SetTimeoutsMS(0, 0);

  CFStringRef command = request->GetParamCmd();
  if (!IsString(request->GetUri(), kURIServer) || command == nullptr) {
    qx::Ref<CBaseConnection> connection = qx::Ref<CBaseConnection>::adopt(CreateConnection(stream));
    if (!connection) return kQXErrGeneric;
    status = connection->Start(request.get());
    if (status != kQXNoErr) RemoveConnection(connection.get());
    return status;
  }
  if (CFStringCompare(command, kCmdConnect, 0) == kCFCompareEqualTo) {
    qx::Ref<CBaseConnection> connection = qx::Ref<CBaseConnection>::adopt(CreateConnection(stream));
    if (!connection) return kQXErrGeneric;
    int32_t result = request->GetParamInt(kParamAPIVersion) == GetAPIVersion() ? 0 : kQXErrAPIVersion;
    status = Answer(*request, result, connection->GetID());
    if (status == kQXNoErr) {
      connection->Connected(false, stream);
      status = connection->Start(nullptr);
    }
    // Also when the answer could not be written: a connection that never started must not linger.
    if (status != kQXNoErr) RemoveConnection(connection.get());
    return status;
  }
  if (CFStringCompare(command, kCmdConnectListener, 0) == kCFCompareEqualTo) {
    CFTypeRef id = request->GetParam(kParamConnectionID);
    qx::Ref<CBaseConnection> connection;
    if (id != nullptr && CFGetTypeID(id) == CFStringGetTypeID())
      connection = qx::Ref<CBaseConnection>::adopt(GetConnectionByID(static_cast<CFStringRef>(id)));
    if (!connection) return Answer(*request, 0, nullptr);
    qx::Ref<qxnet::ChannelStream> channel = qx::make<qxnet::ChannelStream>(stream);
    qx::Ref<CBaseBroadcastConn> listener = qx::make<CBaseBroadcastConn>();
    if (!channel || !listener) return kQXErrMemory;
    listener->SetStream(channel.get());
    // Subscribed before the answer, so a broadcast sent once the client has it reaches the client;
    // the channel is held meanwhile, so no broadcast goes down it ahead of the answer.
    (void)channel->Begin(0);
    connection->SetBroadcastConn(listener.get());
    CBaseMsgBroadcaster* broadcaster = GetMsgBroadcaster();
    bool subscribed = broadcaster != nullptr && request->GetParamInt(kParamDirect) == 0;
    if (subscribed) broadcaster->AddListener(listener.get());
    status = Answer(*request, 0, nullptr);
    channel->End();
    if (status != kQXNoErr) {
      if (subscribed) broadcaster->RemoveListener(listener.get());
      return status;
    }
    connection->Connected(true, channel.get());
    return kQXNoErr;
  }
  return kQXErrInvalidArgument;  // another command on "server": dropped without an answer
}

// ---- The live connections ----

CBaseConnection* CBaseServer::CreateConnection(CBaseStream* stream) {
  State& s = *mState;
  qx::Ref<CBaseConnectionFactory> factory;
  {
    std::lock_guard<std::mutex> hold(s.lock);
    factory = s.factory;
  }
  if (!factory) return nullptr;
  qx::Ref<CBaseConnection> connection = qx::Ref<CBaseConnection>::adopt(factory->CreateConnection());
  if (!connection) return nullptr;
  // The number shows the order; the random part keeps another local process from naming (and
  // attaching to) a connection it did not open.
  std::string secret = RandomHex();
  if (secret.empty()) return nullptr;
  connection->SetStream(stream);
  connection->SetServer(this);
  std::lock_guard<std::mutex> hold(s.lock);
  if (s.stop) return nullptr;
  CFRef<CFStringRef> id = adopt(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%@-%u-%s"), CFSTR("connection-id"),
                                                         s.nextNumber, secret.c_str()));
  if (!id) return nullptr;
  ++s.nextNumber;
  connection->SetID(id.get());
  s.connections.push_back(connection);
  return connection.release();
}

CBaseConnection* CBaseServer::GetConnectionByID(CFStringRef id) {
  if (id == nullptr) return nullptr;
  std::lock_guard<std::mutex> hold(mState->lock);
  for (const qx::Ref<CBaseConnection>& connection : mState->connections) {
    CFStringRef other = connection->GetID();
    if (other != nullptr && CFEqual(other, id)) return qx::Ref<CBaseConnection>(connection).release();
  }
  return nullptr;
}

void CBaseServer::RemoveConnection(CBaseConnection* connection) {
  State& s = *mState;
  qx::Ref<CBaseConnection> removed;  // released after the lock: its last reference may go
  std::lock_guard<std::mutex> hold(s.lock);
  auto it = std::find_if(s.connections.begin(), s.connections.end(),
                         [connection](const qx::Ref<CBaseConnection>& c) { return c.get() == connection; });
  if (it == s.connections.end()) return;
  removed = std::move(*it);
  s.connections.erase(it);
  s.changed.notify_all();
}

QXStatus CBaseServer::Shutdown() {
  State& s = *mState;
  std::unique_lock<std::mutex> hold(s.lock);
  s.stop = true;
  // Closing from another thread would not wake a blocked accept or read; shutting down does.
  if (s.socket) s.socket->Interrupt();
  for (const qx::Ref<CBaseSocket>& socket : s.pending) socket->Interrupt();
  for (const qx::Ref<CBaseConnection>& connection : s.connections) connection->Close();
  CBaseConnection* self = qxnet::tCurrentConnection;
  s.changed.wait(hold, [&] {
    return !s.looping && s.pending.empty() &&
           std::all_of(s.connections.begin(), s.connections.end(),
                       [self](const qx::Ref<CBaseConnection>& c) { return c.get() == self; });
  });
  qx::Ref<CBaseSocket> listening = std::move(s.socket);
  hold.unlock();
  if (listening) listening->Close();
  return kQXNoErr;
}
