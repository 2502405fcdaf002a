// The client's side of the local messaging: "connect" on the command channel, "connect_listener"
// on the message channel. The answer comes from whatever listens on the port, so it is checked
// before anything is taken from it.
#include <QXCore/QXServer.h>

#include "core/Handle.h"
#include "net/MessageValues.h"

namespace {

// Keeps the object a field points to, releasing the one it replaces.
template <class T>
void Keep(T*& field, T* value) {
  if (value != nullptr) value->AddRef();
  if (field != nullptr) field->Release();
  field = value;
}

// Writes the request and reads its answer on the stream.
QXStatus Exchange(CBaseStream* stream, CHTTPMessage& request, CHTTPMessage& answer) {
  QXStatus status = request.Write(stream);
  return status != kQXNoErr ? status : answer.Read(stream);
}

}  // namespace

CBaseServerAPI::CBaseServerAPI() = default;

CBaseServerAPI::~CBaseServerAPI() { Disconnect(); }

QXStatus CBaseServerAPI::Connect(int32_t apiVersion) {
  if (mCmdStream == nullptr) return kQXErrInvalidArgument;
  qx::Ref<CHTTPMessage> request = qx::make<CHTTPMessage>(nullptr, kURIServer, kCmdConnect);
  qx::Ref<CHTTPMessage> answer = qx::make<CHTTPMessage>(kHTTPMessageResponse);
  if (!request || !answer) return kQXErrMemory;
  request->SetParam(kParamAPIVersion, static_cast<int>(apiVersion));
  QXStatus status = mCmdStream->Open();
  if (status == kQXNoErr) status = Exchange(mCmdStream, *request, *answer);
  if (status == kQXNoErr) {
    CFDictionaryRef fields = answer->GetResponse();
    CFTypeRef result = fields != nullptr ? CFDictionaryGetValue(fields, kBaseResponseResult) : nullptr;
    CFTypeRef id = fields != nullptr ? CFDictionaryGetValue(fields, kBaseResponseConnectionID) : nullptr;
    // Not the server's answer unless it is one: a 200 with a numeric result (and an id with 0).
    if (answer->GetResponseCode() != 200 || !qxmsg::IsNumber(result)) {
      status = kQXServerErrBadAnswer;
    } else {
      CFNumberGetValue(static_cast<CFNumberRef>(result), kCFNumberSInt32Type, &status);
      if (status == kQXNoErr && !qxmsg::IsString(id)) status = kQXServerErrBadAnswer;
    }
    if (status == kQXNoErr) {
      SetConnectionID(static_cast<CFStringRef>(id));
      status = ConnectListener();
    }
  }
  if (status != kQXNoErr) Disconnect();
  return status;
}

QXStatus CBaseServerAPI::ConnectListener() {
  if (mMsgStream == nullptr) return kQXNoErr;
  qx::Ref<CHTTPMessage> request = qx::make<CHTTPMessage>(nullptr, kURIServer, kCmdConnectListener);
  qx::Ref<CHTTPMessage> answer = qx::make<CHTTPMessage>(kHTTPMessageResponse);
  if (!request || !answer) return kQXErrMemory;
  if (mConnectionID != nullptr) request->SetParam(kParamConnectionID, mConnectionID);
  QXStatus status = mMsgStream->Open();
  return status != kQXNoErr ? status : Exchange(mMsgStream, *request, *answer);
}

QXStatus CBaseServerAPI::Disconnect() {
  SetConnectionID(nullptr);
  // Released, not closed: a socket closes with its last reference, and another thread may still
  // be reading the message stream it holds.
  Keep(mCmdStream, static_cast<CBaseStream*>(nullptr));
  Keep(mMsgStream, static_cast<CBaseStream*>(nullptr));
  return kQXNoErr;
}

CFStringRef CBaseServerAPI::GetConnectionID() const { return mConnectionID; }

void CBaseServerAPI::SetConnectionID(CFStringRef id) {
  if (id != nullptr) CFRetain(id);
  if (mConnectionID != nullptr) CFRelease(mConnectionID);
  mConnectionID = id;
}

CBaseStream* CBaseServerAPI::GetCmdStream() const { return mCmdStream; }
void CBaseServerAPI::SetCmdStream(CBaseStream* stream) { Keep(mCmdStream, stream); }
CBaseStream* CBaseServerAPI::GetMsgStream() const { return mMsgStream; }
void CBaseServerAPI::SetMsgStream(CBaseStream* stream) { Keep(mMsgStream, stream); }
