/*
 * QXServer.h — the family's local messaging between processes: a loopback HTTP server whose
 * connections run on the shared thread pool, the client side that opens a command channel and a
 * message channel to it, and the broadcaster that delivers messages to every listening client in
 * order.
 *
 * The protocol. A client sends "GET /server?cmd=connect&api-version=V"; the server answers with
 * "result" (0, or kQXErrAPIVersion when V is not the server's API version) and a "connection-id",
 * and reads the client's further requests on that socket, handing each to the application. The
 * client may open a second socket with "cmd=connect_listener&connection-id=ID": the server then
 * writes requests ("cmd=message", a message as body) down that channel and reads one answer to
 * each. Every exchange on either channel is one request, then one answer.
 *
 * Exposure. Every process of the user, and a web page in a browser, can reach a loopback port.
 * The server therefore listens on 127.0.0.1 unless asked for every interface; refuses, without an
 * answer, requests that carry an Origin or Referer header, a Sec-Fetch-Site other than "none", or
 * a Host that is not a loopback name or address; gives connection ids that cannot be guessed
 * ("connection-id-N-" and 128 random bits in hex); reads a new socket's first request with a
 * deadline on a pool thread, so a silent client holds up no one; and caps the live connections
 * (new sockets above the cap are closed at once).
 *
 * Threads. All functions may be called from any thread. Callbacks run on the connection's thread
 * and may run at the same time for different connections. Statuses: 0, the status of the stream
 * or socket underneath, kQXErrInvalidArgument, kQXErrMemory, or the codes below.
 */
#ifndef QXCORE_QXSERVER_H
#define QXCORE_QXSERVER_H

#include <QXCore/QXBase.h>
#include <QXCore/QXMessage.h>
#include <QXCore/QXStream.h>
#include <QXCore/QXThreads.h>
#include <stdbool.h>
#include <stdint.h>

typedef struct __QXServer* QXServerRef;
typedef struct __QXServerConnection* QXServerConnectionRef;

/* Where a server listens: 127.0.0.1 only, or every interface. Other values mean loopback. */
typedef int32_t QXServerListenAddress;
enum { kQXServerListenLoopback = 0, kQXServerListenAny = 1 };

enum {
  /* Limits a server starts with; each has a setter below. */
  kQXServerDefaultMaxConnections = 256,
  kQXServerDefaultRequestTimeoutMS = 10000,  /* for a new socket's first request */
  kQXServerDefaultListenerTimeoutMS = 30000, /* for a listener's answer to a broadcast */
  kQXServerDefaultMaxBacklog = 1024,         /* broadcasts not yet delivered */
  /* SendMessageW with a full backlog. */
  kQXServerErrBacklogFull = 105 /* ENOBUFS */,
  /* The answer to "connect" was not a 200 response with a numeric "result" and a string id. */
  kQXServerErrBadAnswer = 71 /* EPROTO */
};

/* The application's callbacks. All get the connection first; `refCon` is the reference value
   given with them. A status 0 from `created` accepts the connection; 0 from `request` means the
   application handled (and answered) the request. Any other status is answered for it with a
   response whose only field is "result" = that status. */
typedef QXStatus (*QXServerConnectionCreateCallback)(QXServerConnectionRef connection, QXHttpMessageRef request,
                                                     void* refCon);
typedef QXStatus (*QXServerRequestCallback)(QXServerConnectionRef connection, QXHttpMessageRef request, void* refCon);
typedef void (*QXServerClosedCallback)(QXServerConnectionRef connection, void* refCon);
typedef struct QXServerConnectionCallbacks {
  void* reserved; /* stored, never called */
  QXServerRequestCallback request;
  QXServerClosedCallback closed;
} QXServerConnectionCallbacks;

QX_EXTERN_C_BEGIN

/* A server handle without a server yet (QXServerInitialize makes it); NULL when memory runs out.
   The last release shuts the server down (see QXServerShutdown). */
QX_EXPORT QXServerRef QXServerCreate(void);
QX_EXPORT QXServerRef QXServerRetain(QXServerRef server);
QX_EXPORT void QXServerRelease(QXServerRef server);

/* Makes the server and joins it to the process-wide broadcaster (made and started once per
   process). 0 or the failing status (logged). Calling it again on the same handle does nothing. */
QX_EXPORT QXStatus QXServerInitialize(QXServerRef server);
/* Listens on `port` (0: a free port the system picks, see QXServerGetListeningPort) and starts
   accepting on the thread pool. 0, kQXErrGeneric before QXServerInitialize or after
   QXServerShutdown, or the socket's or pool's status (logged). */
QX_EXPORT QXStatus QXServerStartListening(QXServerRef server, QXServerListenAddress address, uint16_t port);
QX_EXPORT uint16_t QXServerGetListeningPort(QXServerRef server); /* 0 before listening */
/* The API version clients must name in "connect" (0 at creation). */
QX_EXPORT void QXServerSetAPIVersion(QXServerRef server, int32_t version);
/* Limits: live connections (sockets waiting for their first request included; 0 means the
   default), the deadline of a new socket's first request in milliseconds (0: the default). Take
   effect for sockets accepted afterwards. */
QX_EXPORT void QXServerSetMaxConnections(QXServerRef server, uint32_t maxConnections);
QX_EXPORT void QXServerSetRequestTimeout(QXServerRef server, uint32_t milliseconds);
/* Stops accepting, ends every connection (their sockets are shut down, which wakes blocked reads)
   and returns when the accept loop and every connection have ended — except the connection whose
   callback calls it, which ends when its callback returns. Final: the server does not listen
   again. 0. */
QX_EXPORT QXStatus QXServerShutdown(QXServerRef server);

/* Process-wide: called with the first request of every connection before its request callback;
   the callback and its reference value are replaced together. `server` is not used. */
QX_EXPORT void QXServerSetConnectionCreateCB(QXServerRef server, QXServerConnectionCreateCallback callback,
                                             void* refCon);
/* Copies the callbacks (NULL clears them) and the reference value into the connection. */
QX_EXPORT void QXServerConnectionSetCallbacks(QXServerConnectionRef connection,
                                              const QXServerConnectionCallbacks* callbacks, void* refCon);
/* The stream of the connection's message channel (NULL when the client opened none), not
   retained: valid while the connection lives. Write a request to it with QXHttpMessageWrite and
   read the answer with QXHttpMessageRead: the channel is held for this thread from the write until
   that read ends, so broadcasts never come between a request and its answer. */
QX_EXPORT QXStreamRef QXServerConnectionGetListeningStream(QXServerConnectionRef connection);
/* The connection's id, borrowed. */
QX_EXPORT CFStringRef QXServerConnectionGetID(QXServerConnectionRef connection);
QX_EXPORT QXServerConnectionRef QXServerConnectionRetain(QXServerConnectionRef connection);
QX_EXPORT void QXServerConnectionRelease(QXServerConnectionRef connection);

/* Of the process-wide broadcaster (see QXServerGetMsgBroadcaster): the deadline of a listener's answer in milliseconds
   (0: the default); a listener that misses it, or whose socket fails, is dropped and its socket closed. And the backlog
   cap (0: the default). */
QX_EXPORT void QXServerSetListenerTimeout(uint32_t milliseconds);
QX_EXPORT void QXServerSetMaxBacklog(uint32_t messages);

QX_EXTERN_C_END

#if defined(__cplusplus)

class CBaseConnection;
class CBaseConnectionFactory;
class CBaseMsgBroadcaster;
class CBaseBroadcastConn;

/* The server: one listening socket, its accept loop and the live connections. Not
   reference-counted. Its threads call its virtual functions until it is shut down, so a subclass
   calls Shutdown before it is deleted (its own destructor is too late); the base destructor shuts
   down too, for the base class itself. */
class QX_EXPORT CBaseServer {
 public:
  CBaseServer();
  virtual ~CBaseServer();
  CBaseServer(const CBaseServer&) = delete;
  CBaseServer& operator=(const CBaseServer&) = delete;

  /* The protocol of a newly accepted socket: reads its first request (within the request deadline
     when the stream is a socket's) and handles connect, connect_listener, or a request that starts
     a connection of its own. The status of the read, the answer or the start. */
  virtual QXStatus StartConnection(CBaseStream* stream);
  /* Keeps references to both. 0. */
  virtual QXStatus Initialize(CBaseMsgBroadcaster* broadcaster, CBaseConnectionFactory* factory);
  /* Removes it from the live connections (which may delete it) and wakes Shutdown. */
  virtual void RemoveConnection(CBaseConnection* connection);

  /* As QXServerStartListening; StartListening listens on loopback. */
  QXStatus StartListening(uint16_t port);
  QXStatus StartListening2(QXServerListenAddress address, uint16_t port);
  uint16_t GetListeningPort() const;
  /* A new connection from the factory with the next id, the stream and this server, added to the
     live connections; returned with a reference for the caller. NULL when memory runs out, there is
     no factory or the server is shutting down. */
  CBaseConnection* CreateConnection(CBaseStream* stream);
  /* The live connection with this id, with a reference for the caller; NULL when none. */
  CBaseConnection* GetConnectionByID(CFStringRef id);
  /* As QXServerShutdown. */
  QXStatus Shutdown();

  CBaseMsgBroadcaster* GetMsgBroadcaster() const; /* borrowed */
  void SetMsgBroacaster(CBaseMsgBroadcaster* broadcaster);
  void SetConnFactory(CBaseConnectionFactory* factory);
  int32_t GetAPIVersion() const;
  void SetAPIVersion(int32_t version);
  void SetMaxConnections(uint32_t maxConnections);
  void SetRequestTimeout(uint32_t milliseconds);

  struct State; /* defined beside the sources */

 protected:
  /* The accept loop (on a pool thread): accepts and hands each socket to a pool thread of its own
     that reads its first request; ends on shutdown. */
  static void ListenCallback(void* server);
  void Listen();
  static void AcceptedCallback(void* record);

 private:
  State* mState;
};

/* One client's command channel: reads its requests in a loop on a pool thread and hands each to
   HandleRequest. */
class QX_EXPORT CBaseConnection : public CBaseCore {
 public:
  CBaseConnection();
  ~CBaseConnection() override;

  /* Started, the initial request (if any), then every request read, until a read fails or
     HandleRequest returns non-zero; then Finished and the server's RemoveConnection. */
  virtual void Run();
  /* Non-zero ends the connection. The base answers nothing and returns kQXErrGeneric. */
  virtual QXStatus HandleRequest(CHTTPMessage& request);
  virtual void Finished();
  virtual void Started();
  virtual void Connected(bool listener, CBaseStream* stream);

  /* Keeps the request (may be NULL) and runs the connection on the thread pool; the pool's status. */
  QXStatus Start(CHTTPMessage* initialRequest);
  QXStatus WriteResponse(CHTTPMessage& response);
  /* Shuts the socket down (waking a blocked read) and closes the stream. 0. */
  QXStatus Close();

  CFStringRef GetID() const; /* borrowed */
  void SetID(CFStringRef id);
  CBaseStream* GetStream() const; /* borrowed */
  void SetStream(CBaseStream* stream);
  CBaseServer* GetServer() const;
  void SetServer(CBaseServer* server); /* not retained */
  /* The message channel, borrowed; it stays valid while the connection lives, also after a newer
     one replaced it (the old one is then unsubscribed and its socket shut down) — until four more
     have replaced it. */
  CBaseBroadcastConn* GetBroadcastConn() const;
  void SetBroadcastConn(CBaseBroadcastConn* channel);
  void SetInitialRequest(CHTTPMessage* request);

  struct State;

 private:
  State* mState;
};

class QX_EXPORT CBaseConnectionFactory : public CBaseCore {
 public:
  /* A new connection with one reference for the caller. */
  virtual CBaseConnection* CreateConnection() = 0;
};

/* The client's side: a command channel and, optionally, a message channel to a server. */
class QX_EXPORT CBaseServerAPI : public CBaseCore {
 public:
  CBaseServerAPI();
  ~CBaseServerAPI() override;

  /* Opens the command stream, sends "connect" with the version and reads the answer, then
     ConnectListener. The answer must be a 200 response with a numeric "result" and, when the
     result is 0, a string "connection-id" (else kQXServerErrBadAnswer). A failure, or a non-zero
     result (returned, e.g. kQXErrAPIVersion), disconnects. */
  virtual QXStatus Connect(int32_t apiVersion);
  /* Opens the message stream (0 when none is set), sends "connect_listener" with the id and reads
     the answer; the first failing status. */
  virtual QXStatus ConnectListener();
  /* Releases the id and both streams (a socket closes with its last reference). 0. */
  virtual QXStatus Disconnect();

  CFStringRef GetConnectionID() const; /* borrowed */
  void SetConnectionID(CFStringRef id);
  CBaseStream* GetCmdStream() const; /* borrowed */
  void SetCmdStream(CBaseStream* stream);
  CBaseStream* GetMsgStream() const; /* borrowed */
  void SetMsgStream(CBaseStream* stream);

 private:
  CFStringRef mConnectionID = nullptr;
  CBaseStream* mCmdStream = nullptr;
  CBaseStream* mMsgStream = nullptr;
};

/* Receives broadcasts. */
class QX_EXPORT CBaseMsgListener : public CBaseCore {
 public:
  virtual void Listen(CBaseMsg* message) = 0;
};

/* A client's message channel as a listener: each message is written down the channel as a
   "cmd=message" request and one answer is read back. */
class QX_EXPORT CBaseBroadcastConn : public CBaseMsgListener {
 public:
  CBaseBroadcastConn();
  ~CBaseBroadcastConn() override;

  void Listen(CBaseMsg* message) override;
  /* Writes one request already in wire form and reads its answer, holding the channel; the
     answer's status (kQXErrWaitTimeout when the channel stayed busy past the deadline). */
  QXStatus Deliver(const char* bytes, uint64_t length, uint32_t timeoutMS);

  CBaseStream* GetStream() const; /* borrowed */
  void SetStream(CBaseStream* stream);

  struct State;

 private:
  State* mState;
};

/* Delivers messages to its listeners, one message at a time and each to every listener in the
   order they subscribed, on a serial task queue ("MsgBroadcaster"). */
class QX_EXPORT CBaseMsgBroadcaster : public CBaseCore {
 public:
  CBaseMsgBroadcaster();
  ~CBaseMsgBroadcaster() override; /* stops the queue */

  /* Makes the queue; 0. Once only: later calls do nothing. */
  QXStatus Initialize();
  void AddListener(CBaseMsgListener* listener);    /* retained */
  void RemoveListener(CBaseMsgListener* listener); /* its first occurrence */
  CFIndex GetListenerCount();
  /* Queues a delivery to the listeners subscribed now. 0, kQXServerErrBacklogFull, or
     kQXErrGeneric before Initialize or after Shutdown. */
  QXStatus SendMessageW(CBaseMsg* message);
  /* Waits for the deliveries queued and running, then refuses new ones. 0. */
  QXStatus Shutdown();
  void SetListenerTimeout(uint32_t milliseconds); /* 0: the default */
  uint32_t GetListenerTimeout() const;
  void SetMaxBacklog(uint32_t messages); /* 0: the default */
  /* A task of this broadcaster has ended (delivered, or dropped by a stop): its backlog place is
     free again. Called by CBaseMsgTask::Complete. */
  void Delivered();

  struct State;

 private:
  State* mState;
};

/* The process-wide broadcaster every server of the process shares, made and initialised on first
   use; borrowed, it lives as long as the process. SendMessageW on it broadcasts to every client
   listening at that moment; the message is retained until delivered and must not change after it
   is sent. */
QX_EXPORT CBaseMsgBroadcaster* QXServerGetMsgBroadcaster();

/* One broadcast: the message and the listeners it goes to. */
class QX_EXPORT CBaseMsgTask : public CBaseTask {
 public:
  explicit CBaseMsgTask(CBaseMsgBroadcaster* broadcaster);
  ~CBaseMsgTask() override;

  void Run() override;
  void Complete() override;
  void SetMsg(CBaseMsg* message);               /* retained */
  void AddListener(CBaseMsgListener* listener); /* retained */

 private:
  CBaseMsgBroadcaster* mBroadcaster; /* retained */
  CBaseMsg* mMessage = nullptr;
  CFMutableArrayRef mListeners;
};

#endif /* __cplusplus */

#endif /* QXCORE_QXSERVER_H */
