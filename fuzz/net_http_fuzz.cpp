// Fuzzes the HTTP message reader from a memory stream (the first byte chooses a request or a
// response), then everything a server does with what it
// read: the parsed body, the body as a response, every parameter getter on every key, the URI
// parts, and writing the message back. A message that was read and written must read again with
// the same method, URI and parameter keys. The body cap is lowered so that an announced length
// cannot make the fuzzer allocate much.
#include <QXCore/QXMessage.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "cf/CFRef.h"
#include "core/ProgramSupport.h"
#include "net/StreamHandle.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "net_http_fuzz: %s\n", what);
  std::abort();
}

qx::StreamHolder Open(CFDataRef data) {
  qx::StreamHolder stream(QXStreamCreateForData(data));
  if (!stream || QXStreamOpen(stream.get()) != 0) fail("a memory stream does not open");
  return stream;
}

void UseEverything(CHTTPMessage& message) {
  if (CFDictionaryRef body = message.GetResponse()) {
    if (CFGetTypeID(body) != CFDictionaryGetTypeID()) fail("the parsed body is not a dictionary");
    CBaseMsg forwarded(body);
    qxcf::adopt(forwarded.GetPackedContent());
  }
  if (CBaseResponse* response = message.GetBaseResponse()) {
    (void)response->GetResult();
    (void)response->GetAPIVersion();
    (void)response->GetConnectionID();
  }
  CFDictionaryRef params = message.GetParams();
  const CFIndex count = params ? CFDictionaryGetCount(params) : 0;
  std::vector<const void*> keys(size_t(count) + 1);
  if (count > 0) CFDictionaryGetKeysAndValues(params, keys.data(), nullptr);
  for (CFIndex i = 0; i < count; ++i) {
    auto key = static_cast<CFStringRef>(keys[size_t(i)]);
    (void)message.GetParam(key);
    (void)message.GetParamInt(key);
    (void)message.GetParamDouble(key);
    qxcf::adopt(message.GetParamNumberCopy(key));
    qxcf::adopt(message.GetParamAsArrayCopy(key));
  }
  (void)message.GetParamCmd();
  CFStringRef verb = nullptr, object = nullptr;
  (void)message.GetVerbAndObject(verb, object);
}

bool SameKeys(CFDictionaryRef a, CFDictionaryRef b) {
  const CFIndex n = a ? CFDictionaryGetCount(a) : 0;
  if (n != (b ? CFDictionaryGetCount(b) : 0)) return false;
  std::vector<const void*> keys(size_t(n) + 1);
  if (n > 0) CFDictionaryGetKeysAndValues(a, keys.data(), nullptr);
  for (CFIndex i = 0; i < n; ++i)
    if (!CFDictionaryContainsKey(b, keys[size_t(i)])) return false;
  return true;
}

// No URI writes as "/", which reads back as the empty URI.
bool Same(CFStringRef a, CFStringRef b) {
  const auto empty = [](CFStringRef s) { return s == nullptr || CFStringGetLength(s) == 0; };
  return (empty(a) && empty(b)) || (a && b && CFEqual(a, b));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  QXHttpSetMaxContentLength(1u << 20);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const HTTPMessageType type = (data[0] & 1) ? kHTTPMessageRequest : kHTTPMessageResponse;
  auto bytes = qxcf::adopt(CFDataCreate(nullptr, data + 1, CFIndex(size - 1)));
  qx::StreamHolder in = Open(bytes.get());
  CHTTPMessage* message = new CHTTPMessage(type);
  const QXStatus status = message->Read(qx::fromHandle(in.get()));
  if (status == 0) UseEverything(*message);

  auto written = qxcf::adopt(CFDataCreateMutable(nullptr, 0));
  qx::StreamHolder out = Open(written.get());
  if (status == 0 && message->Write(qx::fromHandle(out.get())) == 0) {
    auto again = qxcf::adopt(CFDataCreateCopy(nullptr, QXStreamGetData(out.get())));
    qx::StreamHolder in2 = Open(again.get());
    CHTTPMessage* second = new CHTTPMessage(type);
    if (second->Read(qx::fromHandle(in2.get())) != 0) fail("a message written back does not read again");
    if (message->GetType() == kHTTPMessageRequest &&
        (!Same(message->GetMethod(), second->GetMethod()) || !Same(message->GetUri(), second->GetUri()) ||
         !SameKeys(message->GetParams(), second->GetParams())))
      fail("a request changed on its way round");
    UseEverything(*second);
    second->Release();
  }
  message->Release();
  return 0;
}
