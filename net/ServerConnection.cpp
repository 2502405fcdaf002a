// Connections of the server: the request loop on a pool thread, the application's callbacks, and
// the QXServer handles.
#include <QXCore/QXLog.h>
#include <QXCore/QXServer.h>

#include <memory>

#include "net/HttpMessageHandle.h"
#include "net/ServerInternal.h"
#include "net/StreamHandle.h"

using qxcf::adopt;
using qxcf::CFRef;

namespace {

constexpr size_t kKeptChannels = 4;

// The process-wide connection-creation callback and its reference value, replaced together.
struct CreateCallback {
  QXServerConnectionCreateCallback callback = nullptr;
  void* refCon = nullptr;
};
std::mutex gCreateLock;
CreateCallback gCreate;

CreateCallback CurrentCreateCallback() {
  std::lock_guard<std::mutex> hold(gCreateLock);
  return gCreate;
}

void ConnectionThreadCB(void* connection) {
  auto* self = static_cast<CBaseConnection*>(connection);
  self->Run();
  self->Release();  // the reference Start took for this thread
}

}  // namespace

// ---- CBaseConnection ----

CBaseConnection::CBaseConnection() : mState(new State) {}

CBaseConnection::~CBaseConnection() {
  qxnet::Retire(mState->channel.get(), mState->broadcaster.get());
  if (mState->id != nullptr) CFRelease(mState->id);
  delete mState;
}

void CBaseConnection::Run() {
  qxnet::tCurrentConnection = this;
  Started();
  qx::Ref<CHTTPMessage> initial;
  qx::Ref<CBaseStream> stream;
  {
    std::lock_guard<std::mutex> hold(mState->lock);
    initial = std::move(mState->initialRequest);
    stream = mState->stream;
  }
  QXStatus status = initial ? HandleRequest(*initial) : kQXNoErr;
  initial = nullptr;
  while (status == kQXNoErr && stream) {
    qx::Ref<CHTTPMessage> request = qx::make<CHTTPMessage>(kHTTPMessageRequest);
    if (!request || request->Read(stream.get()) != kQXNoErr) break;
    if (qxnet::FromBrowser(*request)) break;  // refused without an answer
    status = HandleRequest(*request);
  }
  Finished();
  qxnet::tCurrentConnection = nullptr;
  if (CBaseServer* server = GetServer()) server->RemoveConnection(this);
}

QXStatus CBaseConnection::HandleRequest(CHTTPMessage&) { return kQXErrGeneric; }
void CBaseConnection::Finished() {}
void CBaseConnection::Started() {}
void CBaseConnection::Connected(bool, CBaseStream*) {}

QXStatus CBaseConnection::Start(CHTTPMessage* initialRequest) {
  SetInitialRequest(initialRequest);
  AddRef();
  QXStatus status = QXThreadPoolPush(ConnectionThreadCB, this);
  if (status != kQXNoErr) Release();
  return status;
}

QXStatus CBaseConnection::WriteResponse(CHTTPMessage& response) { return response.Write(GetStream()); }

QXStatus CBaseConnection::Close() {
  // Its own thread may be blocked reading: shut the socket down rather than close it under that
  // thread. The socket is closed when the connection goes.
  std::lock_guard<std::mutex> hold(mState->lock);
  if (CBaseSocket* socket = qxnet::SocketOf(mState->stream.get())) {
    socket->Interrupt();
  } else if (mState->stream) {
    mState->stream->Close();
  }
  qxnet::Retire(mState->channel.get(), nullptr);
  return kQXNoErr;
}

CFStringRef CBaseConnection::GetID() const {
  std::lock_guard<std::mutex> hold(mState->lock);
  return mState->id;
}

void CBaseConnection::SetID(CFStringRef id) {
  if (id != nullptr) CFRetain(id);
  std::lock_guard<std::mutex> hold(mState->lock);
  if (mState->id != nullptr) CFRelease(mState->id);
  mState->id = id;
}

CBaseStream* CBaseConnection::GetStream() const {
  std::lock_guard<std::mutex> hold(mState->lock);
  return mState->stream.get();
}

void CBaseConnection::SetStream(CBaseStream* stream) {
  qx::Ref<CBaseStream> old;
  std::lock_guard<std::mutex> hold(mState->lock);
  old = std::exchange(mState->stream, qx::Ref<CBaseStream>::retain(stream));
}

CBaseServer* CBaseConnection::GetServer() const {
  std::lock_guard<std::mutex> hold(mState->lock);
  return mState->server;
}

void CBaseConnection::SetServer(CBaseServer* server) {
  // Kept for the channel: the connection may outlive its server. Asked before taking this lock:
  // the server's lock always comes first.
  auto broadcaster = qx::Ref<CBaseMsgBroadcaster>::retain(server != nullptr ? server->GetMsgBroadcaster() : nullptr);
  std::lock_guard<std::mutex> hold(mState->lock);
  mState->server = server;
  mState->broadcaster = std::move(broadcaster);
}

CBaseBroadcastConn* CBaseConnection::GetBroadcastConn() const {
  std::lock_guard<std::mutex> hold(mState->lock);
  return mState->channel.get();
}

void CBaseConnection::SetBroadcastConn(CBaseBroadcastConn* channel) {
  qx::Ref<CBaseBroadcastConn> old;
  qx::Ref<CBaseMsgBroadcaster> broadcaster;
  {
    std::lock_guard<std::mutex> hold(mState->lock);
    old = std::exchange(mState->channel, qx::Ref<CBaseBroadcastConn>::retain(channel));
    // A caller may still hold a replaced channel's stream; a client that keeps replacing its
    // channel must not pile up sockets, so only the last few are kept.
    if (old) mState->replaced.push_back(old);
    if (mState->replaced.size() > kKeptChannels) mState->replaced.erase(mState->replaced.begin());
    broadcaster = mState->broadcaster;
  }
  // One channel per connection: the one replaced gets no more broadcasts.
  qxnet::Retire(old.get(), broadcaster.get());
}

void CBaseConnection::SetInitialRequest(CHTTPMessage* request) {
  std::lock_guard<std::mutex> hold(mState->lock);
  mState->initialRequest = qx::Ref<CHTTPMessage>::retain(request);
}

// ---- CServerConnection ----

QXStatus CServerConnection::HandleRequest(CHTTPMessage& request) {
  auto* self = qx::toHandle<__QXServerConnection>(this);
  auto* message = qx::toHandle<__QXHttpMessage>(&request);
  QXStatus result = kQXErrGeneric;  // neither callback ran
  bool ran = false;
  CreateCallback create = CurrentCreateCallback();
  if (create.callback != nullptr && !mCreateCalled) {
    mCreateCalled = true;
    result = create.callback(self, message, create.refCon);
    ran = true;
  }
  if (!ran || result == kQXNoErr) {
    QXServerRequestCallback callback;
    void* refCon;
    {
      std::lock_guard<std::mutex> hold(mCallbackLock);
      callback = mCallbacks.request;
      refCon = mRefCon;
    }
    if (callback != nullptr) result = callback(self, message, refCon);
  }
  if (result == kQXNoErr) return kQXNoErr;
  // The failure is the answer; the connection goes on reading as long as it could be written.
  CBaseResponse response;
  response.SetResult(result);
  return request.SendResponse(response);
}

void CServerConnection::Finished() {
  QXServerClosedCallback closed;
  void* refCon;
  {
    std::lock_guard<std::mutex> hold(mCallbackLock);
    closed = mCallbacks.closed;
    refCon = mRefCon;
  }
  if (closed != nullptr) closed(qx::toHandle<__QXServerConnection>(this), refCon);
}

void CServerConnection::SetCallbacks(const QXServerConnectionCallbacks* callbacks, void* refCon) {
  std::lock_guard<std::mutex> hold(mCallbackLock);
  mCallbacks = callbacks != nullptr ? *callbacks : QXServerConnectionCallbacks{};
  mRefCon = refCon;
}

// ---- CServerMgr and the handles ----

namespace {
class CServer final : public CBaseServer {};
}  // namespace

CServerMgr::~CServerMgr() {
  CBaseServer* server = mServer;
  if (server == nullptr) return;
  // Released from one of its own connections' callbacks: the server must outlive that callback,
  // so another thread shuts it down and deletes it once the connection has ended.
  // Shut down before the delete, while the whole object still answers its threads' virtual calls.
  auto shutDownAndDelete = [](void* s) {
    static_cast<CBaseServer*>(s)->Shutdown();
    delete static_cast<CBaseServer*>(s);
  };
  CBaseConnection* current = qxnet::tCurrentConnection;
  if (current != nullptr && current->GetServer() == server && QXThreadPoolPush(shutDownAndDelete, server) == kQXNoErr)
    return;
  shutDownAndDelete(server);
}

QXStatus CServerMgr::Initialize() {
  std::lock_guard<std::mutex> hold(mLock);
  if (mServer != nullptr) return kQXNoErr;
  qx::Ref<CServerConnectionFactory> factory = qx::make<CServerConnectionFactory>();
  if (!factory) return kQXErrMemory;
  QXLogWithParams(3, nullptr, 0, CFSTR("Server starting up"));
  std::unique_ptr<CBaseServer> server(new (std::nothrow) CServer());
  if (!server) return kQXErrMemory;
  CBaseMsgBroadcaster* broadcaster = QXServerGetMsgBroadcaster();
  if (broadcaster == nullptr) {
    QXLogWithParams(1, nullptr, kQXErrMemory, CFSTR("Broadcaster Initialization Failed"));
    return kQXErrMemory;
  }
  QXStatus status = server->Initialize(broadcaster, factory.get());
  if (status != kQXNoErr) {
    QXLogWithParams(1, nullptr, status, CFSTR("Server Initialization Failed"));
    return status;
  }
  mServer = server.release();
  return kQXNoErr;
}

CBaseServer* CServerMgr::Server() {
  std::lock_guard<std::mutex> hold(mLock);
  return mServer;
}

namespace {
CBaseServer* ServerOf(QXServerRef server) { return server != nullptr ? qx::fromHandle(server)->Server() : nullptr; }
}  // namespace

QX_EXPORT QXServerRef QXServerCreate(void) { return qx::toHandle<__QXServer>(qx::make<CServerMgr>().release()); }
QX_EXPORT QXServerRef QXServerRetain(QXServerRef server) { return qx::retainHandle(server); }
QX_EXPORT void QXServerRelease(QXServerRef server) {
  if (server != nullptr) qx::releaseHandle(server);
}

QX_EXPORT QXStatus QXServerInitialize(QXServerRef server) {
  return server != nullptr ? qx::fromHandle(server)->Initialize() : kQXErrInvalidArgument;
}

QX_EXPORT QXStatus QXServerStartListening(QXServerRef server, QXServerListenAddress address, uint16_t port) {
  CBaseServer* s = ServerOf(server);
  return s != nullptr ? s->StartListening2(address, port) : kQXErrGeneric;
}

QX_EXPORT uint16_t QXServerGetListeningPort(QXServerRef server) {
  CBaseServer* s = ServerOf(server);
  return s != nullptr ? s->GetListeningPort() : 0;
}

QX_EXPORT void QXServerSetAPIVersion(QXServerRef server, int32_t version) {
  if (CBaseServer* s = ServerOf(server)) s->SetAPIVersion(version);
}

QX_EXPORT void QXServerSetMaxConnections(QXServerRef server, uint32_t maxConnections) {
  if (CBaseServer* s = ServerOf(server)) s->SetMaxConnections(maxConnections);
}

QX_EXPORT void QXServerSetRequestTimeout(QXServerRef server, uint32_t milliseconds) {
  if (CBaseServer* s = ServerOf(server)) s->SetRequestTimeout(milliseconds);
}

QX_EXPORT QXStatus QXServerShutdown(QXServerRef server) {
  CBaseServer* s = ServerOf(server);
  return s != nullptr ? s->Shutdown() : kQXNoErr;
}

QX_EXPORT void QXServerSetConnectionCreateCB(QXServerRef, QXServerConnectionCreateCallback callback, void* refCon) {
  std::lock_guard<std::mutex> hold(gCreateLock);
  gCreate = CreateCallback{callback, refCon};
}

QX_EXPORT void QXServerConnectionSetCallbacks(QXServerConnectionRef connection,
                                              const QXServerConnectionCallbacks* callbacks, void* refCon) {
  if (connection != nullptr) qx::fromHandle(connection)->SetCallbacks(callbacks, refCon);
}

QX_EXPORT QXStreamRef QXServerConnectionGetListeningStream(QXServerConnectionRef connection) {
  if (connection == nullptr) return nullptr;
  CBaseBroadcastConn* channel = qx::fromHandle(connection)->GetBroadcastConn();
  return channel != nullptr ? qx::toHandle<__QXStream>(channel->GetStream()) : nullptr;
}

QX_EXPORT CFStringRef QXServerConnectionGetID(QXServerConnectionRef connection) {
  return connection != nullptr ? qx::fromHandle(connection)->GetID() : nullptr;
}

QX_EXPORT QXServerConnectionRef QXServerConnectionRetain(QXServerConnectionRef connection) {
  return qx::retainHandle(connection);
}

QX_EXPORT void QXServerConnectionRelease(QXServerConnectionRef connection) {
  if (connection != nullptr) qx::releaseHandle(connection);
}
