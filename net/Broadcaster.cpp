// The broadcaster and the listeners: one message at a time, to every listener subscribed when it
// was sent, in order, on a serial task queue. A client's message channel is a listener whose
// exchanges (one request, one answer) are held against the application's own, and a client that
// does not answer in time, or whose socket fails, is dropped rather than allowed to stall everyone.
#include <QXCore/QXServer.h>

#include <algorithm>
#include <chrono>

#include "net/ServerInternal.h"

using qxcf::adopt;
using qxcf::CFRef;

// ---- The channel stream ----

CBaseSocket* qxnet::SocketOf(CBaseStream* stream) {
  if (auto* channel = dynamic_cast<ChannelStream*>(stream)) stream = channel->Inner();
  auto* socketStream = dynamic_cast<CBaseStreamSocket*>(stream);
  return socketStream != nullptr ? socketStream->GetSocket() : nullptr;
}

void qxnet::Retire(CBaseBroadcastConn* channel, CBaseMsgBroadcaster* broadcaster) {
  if (channel == nullptr) return;
  if (broadcaster != nullptr) broadcaster->RemoveListener(channel);
  if (CBaseSocket* socket = SocketOf(channel->GetStream())) socket->Interrupt();
}

QXStatus qxnet::ChannelStream::WriteChunk(const char* buffer, uint64_t& count) {
  (void)Begin(0);
  return mInner->WriteChunk(buffer, count);
}

bool qxnet::ChannelStream::Begin(uint32_t timeoutMS) {
  std::unique_lock<std::mutex> hold(mLock);
  const std::thread::id me = std::this_thread::get_id();
  auto free = [&] { return !mHeld || mOwner == me; };
  if (timeoutMS == 0) {
    mFree.wait(hold, free);
  } else if (!mFree.wait_for(hold, std::chrono::milliseconds(timeoutMS), free)) {
    return false;
  }
  mHeld = true;
  mOwner = me;
  return true;
}

void qxnet::ChannelStream::End() {
  std::lock_guard<std::mutex> hold(mLock);
  if (!mHeld || mOwner != std::this_thread::get_id()) return;
  mHeld = false;
  mOwner = {};
  mFree.notify_one();
}

// ---- CBaseBroadcastConn ----

namespace {

// A message as the request that carries it down a channel, in wire form; null when it cannot be
// written.
CFDataRef CreateRequestBytes(CBaseMsg* message) {
  qx::Ref<CHTTPMessage> request = qx::make<CHTTPMessage>(nullptr, kURIServer, kCmdMessage);
  qx::Ref<CBaseStreamMemory> bytes = qx::make<CBaseStreamMemory>();
  if (!request || !bytes || bytes->Open() != kQXNoErr || request->SetContent(message) != kQXNoErr ||
      request->Write(bytes.get()) != kQXNoErr)
    return nullptr;
  return static_cast<CFDataRef>(CFRetain(bytes->GetData()));
}

}  // namespace

CBaseBroadcastConn::CBaseBroadcastConn() : mState(new State) {}
CBaseBroadcastConn::~CBaseBroadcastConn() { delete mState; }

CBaseStream* CBaseBroadcastConn::GetStream() const { return mState->stream.get(); }
void CBaseBroadcastConn::SetStream(CBaseStream* stream) { mState->stream = qx::Ref<CBaseStream>::retain(stream); }

void CBaseBroadcastConn::Listen(CBaseMsg* message) {
  if (message == nullptr) return;
  CFRef<CFDataRef> bytes = adopt(CreateRequestBytes(message));
  if (bytes)
    (void)Deliver(reinterpret_cast<const char*>(CFDataGetBytePtr(bytes.get())),
                  static_cast<uint64_t>(CFDataGetLength(bytes.get())), kQXServerDefaultListenerTimeoutMS);
}

QXStatus CBaseBroadcastConn::Deliver(const char* bytes, uint64_t length, uint32_t timeoutMS) {
  CBaseStream* stream = mState->stream.get();
  if (stream == nullptr) return kQXErrGeneric;
  auto* channel = dynamic_cast<qxnet::ChannelStream*>(stream);
  if (channel != nullptr && !channel->Begin(timeoutMS)) return kQXErrWaitTimeout;
  qxnet::ExchangeEnd end(stream);
  // Held by this thread now, so the socket's deadlines may change under no one; set only when they
  // change, not on every delivery.
  if (mState->appliedTimeoutMS != timeoutMS) {
    if (CBaseSocket* socket = qxnet::SocketOf(stream)) socket->SetTimeoutsMS(timeoutMS, timeoutMS);
    mState->appliedTimeoutMS = timeoutMS;
  }
  uint64_t count = length;
  QXStatus status = stream->WriteChunk(bytes, count);
  if (status == kQXNoErr && count != length) status = kQXErrGeneric;
  if (status != kQXNoErr) return status;
  qx::Ref<CHTTPMessage> answer = qx::make<CHTTPMessage>(kHTTPMessageResponse);
  return answer ? answer->Read(stream) : kQXErrMemory;
}

// ---- CBaseMsgBroadcaster ----

struct CBaseMsgBroadcaster::State {
  std::mutex lock;
  std::vector<qx::Ref<CBaseMsgListener>> listeners;
  qx::Ref<CBaseTaskQueue> queue;
  bool shutdown = false;
  std::atomic<uint32_t> backlog{0};
  std::atomic<uint32_t> maxBacklog{kQXServerDefaultMaxBacklog};
  std::atomic<uint32_t> timeoutMS{kQXServerDefaultListenerTimeoutMS};
};

CBaseMsgBroadcaster::CBaseMsgBroadcaster() : mState(new State) {}

CBaseMsgBroadcaster::~CBaseMsgBroadcaster() {
  Shutdown();
  delete mState;
}

QXStatus CBaseMsgBroadcaster::Initialize() {
  std::lock_guard<std::mutex> hold(mState->lock);
  if (mState->queue || mState->shutdown) return kQXNoErr;
  qx::Ref<CBaseTaskQueue> queue = qx::make<CBaseTaskQueue>();
  if (!queue) return kQXErrMemory;
  // One running task: deliveries go one after another, in the order they were sent.
  QXStatus status = queue->Initialize(CFSTR("MsgBroadcaster"), 0, 1);
  if (status == kQXNoErr) mState->queue = queue;
  return status;
}

void CBaseMsgBroadcaster::AddListener(CBaseMsgListener* listener) {
  if (listener == nullptr) return;
  std::lock_guard<std::mutex> hold(mState->lock);
  mState->listeners.push_back(qx::Ref<CBaseMsgListener>::retain(listener));
}

void CBaseMsgBroadcaster::RemoveListener(CBaseMsgListener* listener) {
  qx::Ref<CBaseMsgListener> removed;  // released after the lock
  std::lock_guard<std::mutex> hold(mState->lock);
  auto& all = mState->listeners;
  auto it = std::find_if(all.begin(), all.end(), [listener](const auto& l) { return l.get() == listener; });
  if (it == all.end()) return;
  removed = std::move(*it);
  all.erase(it);
}

CFIndex CBaseMsgBroadcaster::GetListenerCount() {
  std::lock_guard<std::mutex> hold(mState->lock);
  return static_cast<CFIndex>(mState->listeners.size());
}

QXStatus CBaseMsgBroadcaster::SendMessageW(CBaseMsg* message) {
  if (message == nullptr) return kQXErrInvalidArgument;
  State& s = *mState;
  qx::Ref<CBaseMsgTask> task = qx::make<CBaseMsgTask>(this);
  if (!task) return kQXErrMemory;
  task->SetMsg(message);
  qx::Ref<CBaseTaskQueue> queue;
  {
    std::lock_guard<std::mutex> hold(s.lock);
    if (!s.queue || s.shutdown) return kQXErrGeneric;
    // Bounded: a client that stalls the deliveries must not make memory grow without end.
    if (s.backlog.load() >= s.maxBacklog.load()) return kQXServerErrBacklogFull;
    s.backlog.fetch_add(1);
    for (const auto& listener : s.listeners) task->AddListener(listener.get());
    queue = s.queue;
  }
  // Once queued, the task is delivered even if starting the scheduler failed now (the next push
  // retries it), and its Complete gives the backlog place back.
  (void)queue->Push(task.get());
  return kQXNoErr;
}

QXStatus CBaseMsgBroadcaster::Shutdown() {
  qx::Ref<CBaseTaskQueue> queue;
  {
    std::lock_guard<std::mutex> hold(mState->lock);
    mState->shutdown = true;
    queue = mState->queue;
  }
  if (queue) queue->Stop();
  return kQXNoErr;
}

void CBaseMsgBroadcaster::SetListenerTimeout(uint32_t milliseconds) {
  mState->timeoutMS.store(milliseconds != 0 ? milliseconds : uint32_t{kQXServerDefaultListenerTimeoutMS});
}
uint32_t CBaseMsgBroadcaster::GetListenerTimeout() const { return mState->timeoutMS.load(); }
void CBaseMsgBroadcaster::SetMaxBacklog(uint32_t messages) {
  mState->maxBacklog.store(messages != 0 ? messages : uint32_t{kQXServerDefaultMaxBacklog});
}

void CBaseMsgBroadcaster::Delivered() { mState->backlog.fetch_sub(1); }

// ---- CBaseMsgTask ----

CBaseMsgTask::CBaseMsgTask(CBaseMsgBroadcaster* broadcaster)
    : mBroadcaster(broadcaster), mListeners(CFArrayCreateMutable(nullptr, 0, CBaseCore::GetArrayCallbacks())) {
  if (mBroadcaster != nullptr) mBroadcaster->AddRef();
}

CBaseMsgTask::~CBaseMsgTask() {
  if (mListeners != nullptr) CFRelease(mListeners);
  if (mMessage != nullptr) mMessage->Release();
  if (mBroadcaster != nullptr) mBroadcaster->Release();
}

void CBaseMsgTask::SetMsg(CBaseMsg* message) {
  if (message != nullptr) message->AddRef();
  if (mMessage != nullptr) mMessage->Release();
  mMessage = message;
}

void CBaseMsgTask::AddListener(CBaseMsgListener* listener) {
  if (listener != nullptr && mListeners != nullptr) CFArrayAppendValue(mListeners, listener);
}

void CBaseMsgTask::Run() {
  if (mMessage == nullptr || mListeners == nullptr) return;
  const uint32_t timeoutMS = mBroadcaster != nullptr ? mBroadcaster->GetListenerTimeout()
                                                     : static_cast<uint32_t>(kQXServerDefaultListenerTimeoutMS);
  CFRef<CFDataRef> bytes;  // written once, for every channel
  for (CFIndex i = 0; i < CFArrayGetCount(mListeners) && !Stopped(); ++i) {
    auto* listener = qx::ObjectAt<CBaseMsgListener>(mListeners, i);
    auto* channel = dynamic_cast<CBaseBroadcastConn*>(listener);
    if (channel == nullptr) {
      listener->Listen(mMessage);
      continue;
    }
    if (!bytes) bytes = adopt(CreateRequestBytes(mMessage));
    if (!bytes) return;
    QXStatus status = channel->Deliver(reinterpret_cast<const char*>(CFDataGetBytePtr(bytes.get())),
                                       static_cast<uint64_t>(CFDataGetLength(bytes.get())), timeoutMS);
    if (status != kQXNoErr && mBroadcaster != nullptr) {
      // Late or gone: dropped, and the client sees its channel end.
      qxnet::Retire(channel, mBroadcaster);
    }
  }
}

void CBaseMsgTask::Complete() {
  if (mBroadcaster != nullptr) mBroadcaster->Delivered();
}

// ---- The process-wide broadcaster ----

namespace {
class CServerBroadcaster final : public CBaseMsgBroadcaster {};
}  // namespace

QX_EXPORT CBaseMsgBroadcaster* QXServerGetMsgBroadcaster() {
  // Made once and never destroyed: deliveries may still run while the process exits.
  static CBaseMsgBroadcaster* const broadcaster = [] {
    auto* made = new (std::nothrow) CServerBroadcaster();
    if (made != nullptr && made->Initialize() != kQXNoErr) {
      made->Release();
      made = nullptr;
    }
    return made;
  }();
  return broadcaster;
}

QX_EXPORT void QXServerSetListenerTimeout(uint32_t milliseconds) {
  if (CBaseMsgBroadcaster* broadcaster = QXServerGetMsgBroadcaster()) broadcaster->SetListenerTimeout(milliseconds);
}

QX_EXPORT void QXServerSetMaxBacklog(uint32_t messages) {
  if (CBaseMsgBroadcaster* broadcaster = QXServerGetMsgBroadcaster()) broadcaster->SetMaxBacklog(messages);
}
