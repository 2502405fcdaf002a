// What an HTTP message holds, shared by the sources that build, write and read it, and the small
// text helpers they have in common.
#pragma once

#include <QXCore/QXMessage.h>

#include <string>
#include <string_view>
#include <vector>

#include "cf/CFRef.h"
#include "core/Handle.h"
#include "files/CoreFileInternal.h"
#include "net/HttpMessageHandle.h"
#include "net/MessageValues.h"

namespace qxhttp {

using qxcf::CFRef;
using qxfiles::UTF8;
using qxmsg::NewDictionary;

struct MessageState {
  HTTPMessageType type = kHTTPMessageResponse;
  CFRef<CFStringRef> host;
  CFRef<CFStringRef> uri;
  CFRef<CFStringRef> method;
  CFRef<CFDataRef> content;
  bool contentIsOurs = false;  // content is data this library made and nobody changes
  CFRef<CFStringRef> contentType;
  bool chunked = false;
  uint64_t contentLength = 0;
  int32_t responseCode = 200;
  qx::Ref<CBaseStream> stream;
  CFRef<CFArrayRef> uriParts;
  CFRef<CFStringRef> parseError;
  CFRef<CFMutableDictionaryRef> headers;
  qx::Ref<CBaseResponse> baseResponse;
  CFRef<CFMutableDictionaryRef> params;
  CFRef<CFMutableDictionaryRef> contentInfo;
};

// Bytes as a string: UTF-8, or ISO Latin-1 when they are not UTF-8 (header text from old peers),
// so that text read from the wire always becomes a string.
CFStringRef CreateString(std::string_view bytes);

// The value under `name`, compared without regard to ASCII case; borrowed, or null.
CFStringRef FindHeader(CFDictionaryRef headers, CFStringRef name);
bool EqualsNoCase(std::string_view a, std::string_view b);

// Parses a query string ("a=1&b=%41") into `params`; a repeated key collects its values in an
// array. 0 or kQXErrMemory.
QXStatus ParseQuery(std::string_view query, CFMutableDictionaryRef params);

// "a/b" split at "/"; null when memory runs out.
CFArrayRef CreateParts(CFStringRef uri);

}  // namespace qxhttp

struct CHTTPMessage::State : qxhttp::MessageState {};
