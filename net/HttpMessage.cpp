// CHTTPMessage: construction, accessors, parameters, headers, content and writing, and the
// QXHttpMessage functions over it. Reading lives in HttpMessageRead.cpp.
#include <QXCore/QXMessage.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "net/HttpMessageState.h"
#include "net/ServerInternal.h"
#include "net/StreamHandle.h"

using qxcf::adopt;
using qxcf::CFRef;
using qxhttp::MessageState;

namespace qxhttp {

CFStringRef CreateString(std::string_view bytes) {
  const auto* p = reinterpret_cast<const UInt8*>(bytes.data());
  auto n = static_cast<CFIndex>(bytes.size());
  CFStringRef s = CFStringCreateWithBytes(nullptr, p, n, kCFStringEncodingUTF8, false);
  return s != nullptr ? s : CFStringCreateWithBytes(nullptr, p, n, kCFStringEncodingISOLatin1, false);
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// The key of `headers` that names the same header as `name`, borrowed, or null.
static CFStringRef FindHeaderKey(CFDictionaryRef headers, CFStringRef name) {
  if (headers == nullptr || name == nullptr) return nullptr;
  if (CFDictionaryContainsKey(headers, name)) return name;
  std::string wanted = UTF8(name);
  CFIndex count = CFDictionaryGetCount(headers);
  std::vector<const void*> keys(static_cast<size_t>(count));
  CFDictionaryGetKeysAndValues(headers, keys.data(), nullptr);
  for (const void* key : keys)
    if (CFGetTypeID(key) == CFStringGetTypeID() && EqualsNoCase(UTF8(static_cast<CFStringRef>(key)), wanted))
      return static_cast<CFStringRef>(key);
  return nullptr;
}

CFStringRef FindHeader(CFDictionaryRef headers, CFStringRef name) {
  CFStringRef key = FindHeaderKey(headers, name);
  if (key == nullptr) return nullptr;
  CFTypeRef value = CFDictionaryGetValue(headers, key);
  return value != nullptr && CFGetTypeID(value) == CFStringGetTypeID() ? static_cast<CFStringRef>(value) : nullptr;
}

}  // namespace qxhttp

namespace {

constexpr const char kXMLContentType[] = "text/xml; charset=UTF8";
constexpr uint64_t kJoinedBodyMax = 16 * 1024;

CFMutableDictionaryRef Ensure(CFRef<CFMutableDictionaryRef>& dictionary) {
  if (!dictionary) dictionary.reset(qxhttp::NewDictionary());
  return dictionary.get();
}

using qxmsg::IsArray;
using qxmsg::IsNumber;
using qxmsg::IsString;

// A parameter read as one value: an array stands for its first element.
CFTypeRef Scalar(CFTypeRef value) {
  if (IsArray(value)) {
    auto array = static_cast<CFArrayRef>(value);
    return CFArrayGetCount(array) > 0 ? CFArrayGetValueAtIndex(array, 0) : nullptr;
  }
  return value;
}

// Text that would end a line or a C string on the wire.
bool HasLineBreakOrNul(std::string_view text) { return text.find_first_of(std::string_view("\r\n\0", 3)) != text.npos; }

// Keys keep their readable punctuation ("api-version") but not what would split the query.
constexpr char kKeyEscapes[] = "&=#+%";
constexpr char kValueEscapes[] = ":/?#[]@!$&'()*+,;=%-._~";

// Appends `text` percent-escaped as CFURLCreateStringByAddingPercentEscapes escapes it (what RFC
// 2396 allows stays, unless it is in `alsoEscape`), without making strings for the common case of
// ASCII text; false when the text cannot be escaped.
bool AppendEscaped(std::string& out, CFStringRef string, const std::string& text, const char* alsoEscape) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  static constexpr std::string_view kAllowed =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.!~*'();/?:@&=+$,";
  bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (!ascii) {
    CFRef<CFStringRef> escapes = adopt(qxhttp::CreateString(alsoEscape));
    CFRef<CFStringRef> escaped = adopt(
        CFURLCreateStringByAddingPercentEscapes(nullptr, string, nullptr, escapes.get(), kCFStringEncodingUTF8));
    if (!escaped) return false;
    out += qxhttp::UTF8(escaped.get());
    return true;
  }
  for (char c : text) {
    if (kAllowed.find(c) != kAllowed.npos && std::strchr(alsoEscape, c) == nullptr) {
      out += c;
    } else {
      out += '%';
      out += kHex[static_cast<unsigned char>(c) >> 4];
      out += kHex[c & 15];
    }
  }
  return true;
}

// Appends "key=value" pairs of one parameter to the query.
QXStatus AppendParam(std::string& query, CFStringRef key, CFTypeRef value) {
  CFRef<CFStringRef> text = IsString(value) ? CFRef<CFStringRef>::retain(static_cast<CFStringRef>(value))
                                            : adopt(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%@"), value));
  if (!text) return kQXErrInvalidArgument;
  std::string keyBytes = qxhttp::UTF8(key), valueBytes = qxhttp::UTF8(text.get());
  if (HasLineBreakOrNul(keyBytes) || HasLineBreakOrNul(valueBytes)) return kQXErrInvalidArgument;
  query += query.empty() ? '?' : '&';
  if (!AppendEscaped(query, key, keyBytes, kKeyEscapes)) return kQXErrInvalidArgument;
  query += '=';
  if (!AppendEscaped(query, text.get(), valueBytes, kValueEscapes)) return kQXErrInvalidArgument;
  return 0;
}

QXStatus BuildQuery(CFDictionaryRef params, std::string& query) {
  if (params == nullptr) return 0;
  CFIndex count = CFDictionaryGetCount(params);
  std::vector<const void*> keys(static_cast<size_t>(count)), values(static_cast<size_t>(count));
  CFDictionaryGetKeysAndValues(params, keys.data(), values.data());
  for (CFIndex i = 0; i < count; ++i) {
    if (!IsString(keys[i])) return kQXErrInvalidArgument;
    auto key = static_cast<CFStringRef>(keys[i]);
    QXStatus status = 0;
    if (IsArray(values[i])) {
      auto array = static_cast<CFArrayRef>(values[i]);
      for (CFIndex j = 0; j < CFArrayGetCount(array) && status == 0; ++j)
        status = AppendParam(query, key, CFArrayGetValueAtIndex(array, j));
    } else {
      status = AppendParam(query, key, values[i]);
    }
    if (status != 0) return status;
  }
  return 0;
}

// The start line and headers as bytes, and the body that follows them; the body's length is what
// Content-Length says, whatever a header set earlier claimed.
QXStatus Compose(MessageState& s, std::string& out, CFRef<CFDataRef>& bodyOut) {
  CFDataRef body = s.content.get();
  CFRef<CFDataRef> made;
  if (body == nullptr) {
    CFRef<CFMutableDictionaryRef> empty;
    CFDictionaryRef info = s.contentInfo ? s.contentInfo.get() : Ensure(empty);
    if (info == nullptr) return kQXErrMemory;
    made = adopt(CFPropertyListCreateXMLData(nullptr, info));
    if (!made) return kQXErrInvalidArgument;
    body = made.get();
  }
  if (s.type != kHTTPMessageRequest) {
    out = "HTTP/1.1 " + std::to_string(s.responseCode) + " OK\r\n";
  } else {
    std::string method = s.method ? qxhttp::UTF8(s.method.get()) : "GET";
    std::string uri = qxhttp::UTF8(s.uri.get());
    // A space would split the start line, a line break end it.
    if (method.empty() || HasLineBreakOrNul(method) || method.find(' ') != method.npos || HasLineBreakOrNul(uri) ||
        uri.find(' ') != uri.npos)
      return kQXErrInvalidArgument;
    std::string query;
    QXStatus status = BuildQuery(s.params.get(), query);
    if (status != 0) return status;
    out = method + " /" + uri + query + " HTTP/1.1\r\n";
  }
  std::string length = std::to_string(CFDataGetLength(body));
  bool wroteType = false, wroteLength = false;
  if (s.headers) {
    CFIndex count = CFDictionaryGetCount(s.headers.get());
    std::vector<const void*> keys(static_cast<size_t>(count)), values(static_cast<size_t>(count));
    CFDictionaryGetKeysAndValues(s.headers.get(), keys.data(), values.data());
    for (CFIndex i = 0; i < count; ++i) {
      if (!IsString(keys[i]) || !IsString(values[i])) continue;
      std::string name = qxhttp::UTF8(static_cast<CFStringRef>(keys[i]));
      std::string value = qxhttp::UTF8(static_cast<CFStringRef>(values[i]));
      if (name.empty() || HasLineBreakOrNul(name) || HasLineBreakOrNul(value) || name.find(':') != name.npos)
        return kQXErrInvalidArgument;
      // The body always goes with its length, never chunked.
      if (qxhttp::EqualsNoCase(name, "Transfer-Encoding")) continue;
      if (qxhttp::EqualsNoCase(name, "Content-Length")) {
        if (wroteLength) continue;
        value = length;
        wroteLength = true;
      }
      wroteType = wroteType || qxhttp::EqualsNoCase(name, "Content-Type");
      out += name + ": " + value + "\r\n";
    }
  }
  if (made && !wroteType) out += std::string("Content-Type: ") + kXMLContentType + "\r\n";
  if (!wroteLength) out += "Content-Length: " + length + "\r\n";
  out += "\r\n";
  bodyOut = CFRef<CFDataRef>::retain(body);
  return 0;
}

QXStatus WriteAll(CBaseStream& stream, const char* bytes, uint64_t length) {
  uint64_t count = length;
  QXStatus status = stream.WriteChunk(bytes, count);
  return status == 0 && count != length ? kQXErrGeneric : status;
}

}  // namespace

#define S (*mState)

CHTTPMessage::CHTTPMessage() : CHTTPMessage(kHTTPMessageResponse) {}

CHTTPMessage::CHTTPMessage(HTTPMessageType type) : mState(new State) {
  S.type = type;
  S.method = CFRef<CFStringRef>::retain(CFSTR("GET"));
}

CHTTPMessage::CHTTPMessage(CFStringRef method, CFStringRef uri, CFStringRef command) : CHTTPMessage() {
  Init(kHTTPMessageRequest, method, uri);
  if (command != nullptr) SetParamCmd(command);
}

CHTTPMessage::~CHTTPMessage() { delete &S; }

void CHTTPMessage::Init(HTTPMessageType type, CFStringRef method, CFStringRef uri) {
  S.type = type;
  SetMethod(method);
  SetUri(uri);
}

HTTPMessageType CHTTPMessage::GetType() const { return S.type; }
CFStringRef CHTTPMessage::GetMethod() const { return S.method.get(); }
void CHTTPMessage::SetMethod(CFStringRef method) {
  S.method = CFRef<CFStringRef>::retain(method != nullptr ? method : CFSTR("GET"));
}
CFStringRef CHTTPMessage::GetUri() const { return S.uri.get(); }
void CHTTPMessage::SetUri(CFStringRef uri) {
  S.uri = CFRef<CFStringRef>::retain(uri);
  S.uriParts.reset(uri != nullptr ? qxhttp::CreateParts(uri) : nullptr);
}
CFArrayRef CHTTPMessage::GetUriParts() const { return S.uriParts.get(); }
CFStringRef CHTTPMessage::GetHost() const { return S.host.get(); }
void CHTTPMessage::SetHost(CFStringRef host) { S.host = CFRef<CFStringRef>::retain(host); }
CBaseStream* CHTTPMessage::GetStream() const { return S.stream.get(); }
void CHTTPMessage::SetStream(CBaseStream* stream) { S.stream = qx::Ref<CBaseStream>::retain(stream); }
int32_t CHTTPMessage::GetResponseCode() const { return S.responseCode; }
void CHTTPMessage::SetResponseCode(int32_t code) { S.responseCode = code; }
CFStringRef CHTTPMessage::GetContentType() const { return S.contentType.get(); }
void CHTTPMessage::SetContentType(CFStringRef type) { S.contentType = CFRef<CFStringRef>::retain(type); }
CFDictionaryRef CHTTPMessage::GetParams() const { return Ensure(S.params); }
CFDataRef CHTTPMessage::GetRawContent() const { return S.content.get(); }
CFStringRef CHTTPMessage::GetParseError() const { return S.parseError.get(); }
CFStringRef CHTTPMessage::GetHeader(CFStringRef name) const { return qxhttp::FindHeader(S.headers.get(), name); }

QXStatus CHTTPMessage::GetVerbAndObject(CFStringRef& verb, CFStringRef& object) const {
  CFArrayRef parts = S.uriParts.get();
  if (parts == nullptr || CFArrayGetCount(parts) < 2) return kQXErrGeneric;
  object = static_cast<CFStringRef>(CFArrayGetValueAtIndex(parts, 0));
  verb = static_cast<CFStringRef>(CFArrayGetValueAtIndex(parts, 1));
  return 0;
}

// ---- Parameters ----

void CHTTPMessage::SetParamObj(CFStringRef key, CFTypeRef value) {
  if (key == nullptr || value == nullptr) return;
  if (IsString(value)) return SetParam(key, static_cast<CFStringRef>(value));
  CFRef<CFStringRef> text = adopt(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%@"), value));
  SetParam(key, text.get());
}

void CHTTPMessage::SetParam(CFStringRef key, CFStringRef value) {
  if (key == nullptr || value == nullptr || Ensure(S.params) == nullptr) return;
  CFDictionarySetValue(S.params.get(), key, value);
}

void CHTTPMessage::SetParams(CFStringRef key, CFArrayRef values) {
  if (key == nullptr || values == nullptr || Ensure(S.params) == nullptr) return;
  CFDictionarySetValue(S.params.get(), key, values);
}

void CHTTPMessage::SetParam(CFStringRef key, unsigned int value) {
  CFRef<CFStringRef> text = adopt(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%u"), value));
  SetParam(key, text.get());
}

void CHTTPMessage::SetParam(CFStringRef key, int value) {
  CFRef<CFNumberRef> number = adopt(CFNumberCreate(nullptr, kCFNumberIntType, &value));
  if (key == nullptr || !number || Ensure(S.params) == nullptr) return;
  CFDictionarySetValue(S.params.get(), key, number.get());
}

void CHTTPMessage::SetParamDouble(CFStringRef key, double value) {
  CFRef<CFNumberRef> number = adopt(CFNumberCreate(nullptr, kCFNumberDoubleType, &value));
  if (key == nullptr || !number || Ensure(S.params) == nullptr) return;
  CFDictionarySetValue(S.params.get(), key, number.get());
}

void CHTTPMessage::SetParamCmd(CFStringRef command) { SetParam(CFSTR("cmd"), command); }

CFStringRef CHTTPMessage::GetParamCmd() const {
  CFTypeRef value = Scalar(GetParam(CFSTR("cmd")));
  return IsString(value) ? static_cast<CFStringRef>(value) : nullptr;
}

CFTypeRef CHTTPMessage::GetParam(CFStringRef key) const {
  if (key == nullptr || !S.params) return nullptr;
  return CFDictionaryGetValue(S.params.get(), key);
}

int32_t CHTTPMessage::GetParamInt(CFStringRef key) const { return qxmsg::IntValue(Scalar(GetParam(key))); }

double CHTTPMessage::GetParamDouble(CFStringRef key) const { return qxmsg::DoubleValue(Scalar(GetParam(key))); }

CFNumberRef CHTTPMessage::GetParamNumberCopy(CFStringRef key) const {
  CFTypeRef value = Scalar(GetParam(key));
  if (!IsString(value) && !IsNumber(value)) return nullptr;
  int32_t result = GetParamInt(key);
  return CFNumberCreate(nullptr, kCFNumberSInt32Type, &result);
}

CFArrayRef CHTTPMessage::GetParamAsArrayCopy(CFStringRef key) const {
  CFTypeRef value = GetParam(key);
  if (IsArray(value)) return static_cast<CFArrayRef>(CFRetain(value));
  return CFArrayCreate(nullptr, &value, value != nullptr ? 1 : 0, &kCFTypeArrayCallBacks);
}

// ---- Headers ----

void CHTTPMessage::SetHeader(CFStringRef name, CFStringRef value) {
  if (name == nullptr || value == nullptr || Ensure(S.headers) == nullptr) return;
  // One entry per header, whatever case it was set with before.
  CFStringRef existing = qxhttp::FindHeaderKey(S.headers.get(), name);
  if (existing != nullptr && existing != name) CFDictionaryRemoveValue(S.headers.get(), existing);
  CFDictionarySetValue(S.headers.get(), name, value);
}

void CHTTPMessage::SetHeader(CFStringRef name, int value) {
  CFRef<CFStringRef> text = adopt(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%d"), value));
  SetHeader(name, text.get());
}

// ---- Content ----

void CHTTPMessage::SetContent(CFStringRef type, CFDataRef data) {
  S.content = CFRef<CFDataRef>::retain(data);
  S.contentIsOurs = false;
  S.baseResponse = nullptr;
  if (data == nullptr) return;
  SetHeader(CFSTR("Content-Type"), type);
  SetHeader(CFSTR("Content-Length"), static_cast<int>(CFDataGetLength(data)));
  // Kept as a received one would be, so that GetResponse reads what was set.
  std::string text = qxhttp::UTF8(type);
  S.contentType.reset(type != nullptr ? qxhttp::CreateString(text.substr(0, text.find(' '))) : nullptr);
}

QXStatus CHTTPMessage::SetContent(CFDictionaryRef fields) {
  if (fields == nullptr || CFGetTypeID(fields) != CFDictionaryGetTypeID()) return kQXErrInvalidArgument;
  CFRef<CFDictionaryRef> kept = CFRef<CFDictionaryRef>::retain(fields);
  // The whole body a read added is never sent on: each forward would carry it again.
  if (CFDictionaryContainsKey(fields, CFSTR("--content--"))) {
    CFMutableDictionaryRef copy = CFDictionaryCreateMutableCopy(nullptr, 0, fields);
    if (copy == nullptr) return kQXErrMemory;
    CFDictionaryRemoveValue(copy, CFSTR("--content--"));
    kept.reset(copy);
  }
  CFRef<CFDataRef> xml = adopt(CFPropertyListCreateXMLData(nullptr, kept.get()));
  if (!xml) return kQXErrInvalidArgument;
  SetContent(CFSTR("text/xml; charset=UTF8"), xml.get());
  return 0;
}

void CHTTPMessage::SetContentHTML(CFStringRef html) {
  if (html == nullptr) return;
  std::string bytes = qxhttp::UTF8(html);
  CFRef<CFDataRef> data =
      adopt(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()), static_cast<CFIndex>(bytes.size())));
  if (data) SetContent(CFSTR("text/html"), data.get());
}

void CHTTPMessage::SetContentParam(CFStringRef key, CFTypeRef value) {
  if (key == nullptr || value == nullptr || CreateContentInfo() == nullptr) return;
  CFDictionarySetValue(S.contentInfo.get(), key, value);
}

void CHTTPMessage::SetContentInt(CFStringRef key, int value) {
  CFRef<CFNumberRef> number = adopt(CFNumberCreate(nullptr, kCFNumberIntType, &value));
  SetContentParam(key, number.get());
}

void CHTTPMessage::SetContentValue(CFStringRef key, CFTypeRef value) { SetContentParam(key, value); }
void CHTTPMessage::SetContentString(CFStringRef key, CFStringRef value) { SetContentParam(key, value); }

CFMutableDictionaryRef CHTTPMessage::CreateContentInfo() { return Ensure(S.contentInfo); }

// ---- Writing ----

QXStatus CHTTPMessage::Write(CBaseStream* stream) {
  if (stream == nullptr) return kQXErrGeneric;
  try {
    std::string head;
    CFRef<CFDataRef> body;
    QXStatus status = Compose(S, head, body);
    if (status != 0) return status;
    const char* tail = reinterpret_cast<const char*>(CFDataGetBytePtr(body.get()));
    auto tailLength = static_cast<uint64_t>(CFDataGetLength(body.get()));
    // A small body goes out with the headers in one write (one segment on a socket); a large one
    // is written from where it is rather than copied behind them.
    if (tailLength <= kJoinedBodyMax) {
      head.append(tail, tailLength);
      tailLength = 0;
    }
    status = WriteAll(*stream, head.data(), head.size());
    if (status == 0 && tailLength > 0) status = WriteAll(*stream, tail, tailLength);
    // A request that did not go out gets no answer to wait for: hand a message channel back.
    if (status != 0) qxnet::ExchangeEnd end(stream);
    return status;
  } catch (const std::bad_alloc&) {
    return kQXErrMemory;
  }
}

QXStatus CHTTPMessage::SendResponse(CHTTPMessage& response) { return response.Write(S.stream.get()); }

// ---- The C interface ----

namespace {
CHTTPMessage* M(QXHttpMessageRef message) { return qx::fromHandle(message); }
QXHttpMessageRef Create(HTTPMessageType type) {
  return qx::toHandle<__QXHttpMessage>(qx::make<CHTTPMessage>(type).release());
}
}  // namespace

QX_EXPORT QXHttpMessageRef QXHttpMessageCreate(void) { return Create(kHTTPMessageResponse); }
QX_EXPORT QXHttpMessageRef QXHttpMessageCreateResponse(void) { return Create(kHTTPMessageResponse); }
QX_EXPORT QXHttpMessageRef QXHttpMessageCreateRequest(CFStringRef uri, CFStringRef command) {
  return qx::toHandle<__QXHttpMessage>(qx::make<CHTTPMessage>(CFSTR("GET"), uri, command).release());
}
QX_EXPORT QXHttpMessageRef QXHttpMessageRetain(QXHttpMessageRef message) { return qx::retainHandle(message); }
QX_EXPORT void QXHttpMessageRelease(QXHttpMessageRef message) { qx::releaseHandle(message); }

QX_EXPORT QXStatus QXHttpMessageRead(QXHttpMessageRef message, QXStreamRef stream) {
  if (message == nullptr) return kQXErrInvalidArgument;
  return M(message)->Read(stream != nullptr ? qx::fromHandle(stream) : nullptr);
}
QX_EXPORT QXStatus QXHttpMessageWrite(QXHttpMessageRef message, QXStreamRef stream) {
  if (message == nullptr) return kQXErrInvalidArgument;
  return M(message)->Write(stream != nullptr ? qx::fromHandle(stream) : nullptr);
}
QX_EXPORT QXStatus QXHttpMessageSendResponse(QXHttpMessageRef request, QXHttpMessageRef response) {
  if (request == nullptr || response == nullptr) return kQXErrInvalidArgument;
  return M(request)->SendResponse(*M(response));
}

QX_EXPORT void QXHttpMessageSetResponseCode(QXHttpMessageRef message, int32_t code) {
  if (message != nullptr) M(message)->SetResponseCode(code);
}
QX_EXPORT CFStringRef QXHttpMessageGetUri(QXHttpMessageRef message) {
  return message != nullptr ? M(message)->GetUri() : nullptr;
}
QX_EXPORT CFDataRef QXHttpMessageGetRawContent(QXHttpMessageRef message) {
  return message != nullptr ? M(message)->GetRawContent() : nullptr;
}

QX_EXPORT void QXHttpMessageAddParamString(QXHttpMessageRef message, CFStringRef key, CFStringRef value) {
  if (message != nullptr) M(message)->SetParam(key, value);
}
QX_EXPORT void QXHttpMessageAddParams(QXHttpMessageRef message, CFStringRef key, CFArrayRef values) {
  if (message != nullptr) M(message)->SetParams(key, values);
}
QX_EXPORT void QXHttpMessageAddParamInt(QXHttpMessageRef message, CFStringRef key, int32_t value) {
  if (message != nullptr) M(message)->SetParam(key, static_cast<int>(value));
}
QX_EXPORT CFTypeRef QXHttpMessageGetParamRaw(QXHttpMessageRef message, CFStringRef key) {
  return message != nullptr ? M(message)->GetParam(key) : nullptr;
}
QX_EXPORT CFStringRef QXHttpMessageGetParamString(QXHttpMessageRef message, CFStringRef key) {
  CFTypeRef value = message != nullptr ? Scalar(M(message)->GetParam(key)) : nullptr;
  return IsString(value) ? static_cast<CFStringRef>(value) : nullptr;
}
QX_EXPORT int32_t QXHttpMessageGetParamInt(QXHttpMessageRef message, CFStringRef key) {
  return message != nullptr ? M(message)->GetParamInt(key) : 0;
}
QX_EXPORT double QXHttpMessageGetParamDouble(QXHttpMessageRef message, CFStringRef key) {
  return message != nullptr ? M(message)->GetParamDouble(key) : 0.0;
}
QX_EXPORT CFNumberRef QXHttpMessageGetParamNumberCopy(QXHttpMessageRef message, CFStringRef key) {
  return message != nullptr ? M(message)->GetParamNumberCopy(key) : nullptr;
}
QX_EXPORT CFArrayRef QXHttpMessageGetParamAsArrayCopy(QXHttpMessageRef message, CFStringRef key) {
  return message != nullptr ? M(message)->GetParamAsArrayCopy(key) : nullptr;
}
QX_EXPORT CFStringRef QXHttpMessageGetParamCmd(QXHttpMessageRef message) {
  return message != nullptr ? M(message)->GetParamCmd() : nullptr;
}

QX_EXPORT void QXHttpMessageSetContentInt(QXHttpMessageRef message, CFStringRef key, int32_t value) {
  if (message != nullptr) M(message)->SetContentInt(key, static_cast<int>(value));
}
QX_EXPORT void QXHttpMessageSetContentValue(QXHttpMessageRef message, CFStringRef key, CFTypeRef value) {
  if (message != nullptr) M(message)->SetContentValue(key, value);
}
QX_EXPORT void QXHttpMessageSetContentString(QXHttpMessageRef message, CFStringRef key, CFStringRef value) {
  if (message != nullptr) M(message)->SetContentString(key, value);
}
QX_EXPORT CFDictionaryRef QXHttpMessageGetContent(QXHttpMessageRef message) {
  return message != nullptr ? M(message)->GetResponse() : nullptr;
}
