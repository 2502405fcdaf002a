// What the server, its connections, the broadcaster and the channel streams share: their states,
// the concrete classes behind the QXServer handles, and the stream of a client's message channel.
#pragma once

#include <QXCore/QXServer.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "cf/CFRef.h"
#include "core/Handle.h"
#include "net/Socket.h"
#include "net/StreamSocket.h"

namespace qxnet {

// The socket under a stream, when it is a socket stream (or a channel over one); else null.
CBaseSocket* SocketOf(CBaseStream* stream);

// A client's message channel: the socket stream, with the rule that a request and its answer are
// one exchange that no other thread's exchange comes between. A thread takes the channel with
// Begin (a write takes it too) and hands it back with End (reading an HTTP message through the
// channel ends with it).
class ChannelStream final : public CBaseStream {
 public:
  explicit ChannelStream(CBaseStream* inner) : mInner(qx::Ref<CBaseStream>::retain(inner)) {}

  QXStatus Open() override { return mInner->Open(); }
  void Close() override { mInner->Close(); }
  QXStatus ReadChunk(char* buffer, bool readAll, uint64_t& count) override {
    return mInner->ReadChunk(buffer, readAll, count);
  }
  QXStatus WriteChunk(const char* buffer, uint64_t& count) override;
  QXStatus ReadChar(char& c) override { return mInner->ReadChar(c); }
  QXStatus ReadLine(char*& buffer, uint64_t& capacity) override { return mInner->ReadLine(buffer, capacity); }
  bool IsEOF() override { return mInner->IsEOF(); }

  // Takes the channel for this thread (again, when it holds it already); false when another thread
  // held it longer than `timeoutMS` (0: as long as it takes).
  bool Begin(uint32_t timeoutMS);
  // Hands the channel back when this thread holds it.
  void End();
  CBaseStream* Inner() const { return mInner.get(); }

 private:
  qx::Ref<CBaseStream> mInner;
  std::mutex mLock;
  std::condition_variable mFree;
  bool mHeld = false;
  std::thread::id mOwner;
};

// Ends the exchange of a channel stream when it goes out of scope; nothing for other streams.
class ExchangeEnd {
 public:
  explicit ExchangeEnd(CBaseStream* stream) : mChannel(dynamic_cast<ChannelStream*>(stream)) {}
  ~ExchangeEnd() {
    if (mChannel != nullptr) mChannel->End();
  }
  ExchangeEnd(const ExchangeEnd&) = delete;
  ExchangeEnd& operator=(const ExchangeEnd&) = delete;

 private:
  ChannelStream* mChannel;
};

extern thread_local CBaseConnection* tCurrentConnection;

// A message channel no longer in use: unsubscribed (when a broadcaster is given), and its socket
// shut down so the client sees it end.
void Retire(CBaseBroadcastConn* channel, CBaseMsgBroadcaster* broadcaster);

// A request a web page made, or one sent to a name rebound to this machine: it carries Origin or
// Referer, a Sec-Fetch-Site other than "none", or a Host that is not a loopback name or address.
bool FromBrowser(const CHTTPMessage& request);

}  // namespace qxnet

struct CBaseServer::State {
  std::mutex lock;
  std::condition_variable changed;  // a connection or pending socket went, or the loop ended
  qx::Ref<CBaseSocket> socket;      // listening
  std::atomic<uint16_t> port{0};
  std::vector<qx::Ref<CBaseConnection>> connections;
  std::vector<qx::Ref<CBaseSocket>> pending;  // accepted, first request not yet handled
  uint32_t nextNumber = 0;
  qx::Ref<CBaseMsgBroadcaster> broadcaster;
  qx::Ref<CBaseConnectionFactory> factory;
  std::atomic<int32_t> apiVersion{0};
  std::atomic<uint32_t> maxConnections{kQXServerDefaultMaxConnections};
  std::atomic<uint32_t> requestTimeoutMS{kQXServerDefaultRequestTimeoutMS};
  bool stop = false;     // under lock; final
  bool looping = false;  // the accept loop runs
};

struct CBaseConnection::State {
  // The fields, which the server's threads read and change; taken after the server's lock, never
  // before it.
  std::mutex lock;
  CFStringRef id = nullptr;
  qx::Ref<CBaseStream> stream;
  CBaseServer* server = nullptr;
  qx::Ref<CBaseMsgBroadcaster> broadcaster;  // the server's, kept for the channel
  qx::Ref<CBaseBroadcastConn> channel;
  std::vector<qx::Ref<CBaseBroadcastConn>> replaced;  // kept so borrowed pointers stay valid
  qx::Ref<CHTTPMessage> initialRequest;
};

struct CBaseBroadcastConn::State {
  qx::Ref<CBaseStream> stream;
  uint32_t appliedTimeoutMS = 0;  // the deadline the channel's socket has; changed while holding it
};

// The connection behind a QXServerConnection handle: the application's callbacks.
class CServerConnection final : public CBaseConnection {
 public:
  QXStatus HandleRequest(CHTTPMessage& request) override;
  void Finished() override;

  void SetCallbacks(const QXServerConnectionCallbacks* callbacks, void* refCon);

 private:
  std::mutex mCallbackLock;
  QXServerConnectionCallbacks mCallbacks{};
  void* mRefCon = nullptr;
  bool mCreateCalled = false;  // only the connection's own thread reads and sets it
};

class CServerConnectionFactory final : public CBaseConnectionFactory {
 public:
  CBaseConnection* CreateConnection() override { return new (std::nothrow) CServerConnection(); }
};

// The object behind a QXServer handle.
class CServerMgr final : public CBaseCore {
 public:
  ~CServerMgr() override;
  QXStatus Initialize();
  CBaseServer* Server();  // null before Initialize

 private:
  std::mutex mLock;
  CBaseServer* mServer = nullptr;
};

struct __QXServer;
struct __QXServerConnection;
namespace qx {
QX_HANDLE_CLASS(__QXServer, CServerMgr);
QX_HANDLE_CLASS(__QXServerConnection, CServerConnection);
}  // namespace qx
