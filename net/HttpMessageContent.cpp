// The bodies of HTTP messages as records: messages and responses set as bodies (a message with a
// raw payload in its packed form), and a received body read back as a dictionary or a response.
#include <QXCore/QXMessage.h>

#include <string>

#include "net/HttpMessageState.h"

using qxcf::adopt;
using qxcf::CFRef;

namespace {

bool IsDictionary(CFTypeRef value) { return qxmsg::HasType(value, CFDictionaryGetTypeID()); }

}  // namespace

QXStatus CHTTPMessage::SetContent(CBaseResponse& response) { return SetContent(response.GetInfo()); }

QXStatus CHTTPMessage::SetContent(CBaseMsg* message) {
  if (message == nullptr) return kQXErrInvalidArgument;
  if (message->GetRawContent() == nullptr) return SetContent(message->GetInfo());
  CFRef<CFDataRef> packed = adopt(message->GetPackedContent());
  if (!packed) return kQXErrInvalidArgument;
  SetContent(CFSTR("packed/packed"), packed.get());
  mState->contentIsOurs = true;
  return 0;
}

CFDictionaryRef CHTTPMessage::GetResponse() {
  State& s = *mState;
  if (s.contentInfo || !s.content) return s.contentInfo.get();
  std::string type = qxhttp::UTF8(s.contentType.get());
  CFRef<CFPropertyListRef> parsed;
  if (qxhttp::EqualsNoCase(type.substr(0, 13), "packed/packed")) {
    CFDictionaryRef info = nullptr;
    QXStatus status = qxmsg::CopyUnpacked(s.content.get(), s.contentIsOurs, &info);
    parsed.reset(info);
    s.parseError =
        status != 0 ? CFRef<CFStringRef>::retain(CFSTR("packed body whose lengths or fields are not valid")) : nullptr;
  } else {
    CFStringRef error = nullptr;
    parsed.reset(CFPropertyListCreateFromXMLData(nullptr, s.content.get(), kCFPropertyListMutableContainers, &error));
    s.parseError.reset(error);
    // Another kind of property list is no answer to read fields from.
    if (parsed && !IsDictionary(parsed.get())) {
      parsed = nullptr;
      s.parseError = CFRef<CFStringRef>::retain(CFSTR("the body is not a dictionary"));
    }
  }
  if (!parsed) return nullptr;
  // Parsed with mutable containers: the dictionary is mutable.
  s.contentInfo.reset(static_cast<CFMutableDictionaryRef>(const_cast<void*>(parsed.release())));
  return s.contentInfo.get();
}

CBaseResponse* CHTTPMessage::GetBaseResponse() {
  State& s = *mState;
  if (s.baseResponse || !s.content) return s.baseResponse.get();
  CFDictionaryRef info = GetResponse();
  if (info != nullptr) s.baseResponse = qx::make<CBaseResponse>(info, false);
  return s.baseResponse.get();
}

QXStatus CHTTPMessage::SendResponse(CBaseResponse& response) {
  qx::Ref<CHTTPMessage> message = qx::make<CHTTPMessage>(kHTTPMessageResponse);
  if (!message) return kQXErrMemory;
  QXStatus status = message->SetContent(response);
  return status != 0 ? status : SendResponse(*message);
}

QX_EXPORT QXStatus QXHttpMessageSetContent(QXHttpMessageRef message, CFDictionaryRef fields) {
  if (message == nullptr || !IsDictionary(fields)) return kQXErrInvalidArgument;
  qx::Ref<CBaseMsg> record = qx::make<CBaseMsg>(fields);
  if (!record) return kQXErrMemory;
  return qx::fromHandle(message)->SetContent(record.get());
}
