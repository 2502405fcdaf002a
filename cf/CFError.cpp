// Errors: a domain, a code and an immutable copy of the caller's userInfo.
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFError.h>

#include "CFRef.h"
#include "CFRuntime.h"
#include "CFStringInternal.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using qxcf::adopt;
using qxcf::CFRef;

QXCF_CONSTANT_STRING(kCFErrorDomainPOSIX, "NSPOSIXErrorDomain");
QXCF_CONSTANT_STRING(kCFErrorDomainOSStatus, "NSOSStatusErrorDomain");
QXCF_CONSTANT_STRING(kCFErrorDomainMach, "NSMachErrorDomain");
QXCF_CONSTANT_STRING(kCFErrorDomainCocoa, "NSCocoaErrorDomain");

QXCF_CONSTANT_STRING(kCFErrorLocalizedDescriptionKey, "NSLocalizedDescription");
QXCF_CONSTANT_STRING(kCFErrorLocalizedFailureKey, "NSLocalizedFailure");
QXCF_CONSTANT_STRING(kCFErrorLocalizedFailureReasonKey, "NSLocalizedFailureReason");
QXCF_CONSTANT_STRING(kCFErrorLocalizedRecoverySuggestionKey, "NSLocalizedRecoverySuggestion");
QXCF_CONSTANT_STRING(kCFErrorDescriptionKey, "NSDescription");
QXCF_CONSTANT_STRING(kCFErrorDebugDescriptionKey, "NSDebugDescription");
QXCF_CONSTANT_STRING(kCFErrorUnderlyingErrorKey, "NSUnderlyingError");
QXCF_CONSTANT_STRING(kCFErrorURLKey, "NSURL");
QXCF_CONSTANT_STRING(kCFErrorFilePathKey, "NSFilePath");

struct __CFError : __CFRuntimeBase {
  CFRef<CFStringRef> domain;
  CFIndex code;
  CFRef<CFDictionaryRef> userInfo;  // never NULL

  __CFError(CFAllocatorRef alloc, const qxcf::RuntimeClass* cls, CFRef<CFStringRef> d, CFIndex c,
            CFRef<CFDictionaryRef> info)
      : __CFRuntimeBase(cls, 1, alloc), domain(std::move(d)), code(c), userInfo(std::move(info)) {}
};

namespace {

const __CFError* errOf(CFTypeRef cf) { return static_cast<const __CFError*>(cf); }

CFStringRef stringValue(CFErrorRef err, CFStringRef key) {
  const void* v = CFDictionaryGetValue(err->userInfo.get(), key);
  if (v == nullptr || CFGetTypeID(v) != CFStringGetTypeID()) return nullptr;
  return static_cast<CFStringRef>(v);
}

bool errorEqual(CFTypeRef a, CFTypeRef b) {
  const __CFError *x = errOf(a), *y = errOf(b);
  return x->code == y->code && CFEqual(x->domain.get(), y->domain.get()) &&
         CFEqual(x->userInfo.get(), y->userInfo.get());
}

CFHashCode errorHash(CFTypeRef cf) {
  return qxcf::mixHash(static_cast<uint64_t>(errOf(cf)->code) ^ CFHash(errOf(cf)->domain.get()));
}

std::string describeValue(CFTypeRef v) {
  CFRef<CFStringRef> s = adopt(qxcf::copyFormattingDescription(v));
  return qxcf::toUTF8(s.get());
}

// Error Domain=NSCocoaErrorDomain Code=3840 "text" UserInfo={NSDebugDescription=text}
CFStringRef errorDesc(CFTypeRef cf) {
  auto* err = const_cast<__CFError*>(errOf(cf));
  CFRef<CFStringRef> text = adopt(CFErrorCopyDescription(err));
  std::string out = "Error Domain=" + qxcf::toUTF8(err->domain.get()) + " Code=" + std::to_string(err->code) + " \"" +
                    qxcf::toUTF8(text.get()) + "\"";
  CFIndex n = CFDictionaryGetCount(err->userInfo.get());
  if (n > 0) {
    std::vector<const void*> keys(static_cast<size_t>(n)), values(static_cast<size_t>(n));
    CFDictionaryGetKeysAndValues(err->userInfo.get(), keys.data(), values.data());
    out += " UserInfo={";
    for (CFIndex i = 0; i < n; ++i) {
      if (i > 0) out += ", ";
      out += describeValue(keys[static_cast<size_t>(i)]) + "=" + describeValue(values[static_cast<size_t>(i)]);
    }
    out += "}";
  }
  return qxcf::createStringUTF8(out);
}

constexpr qxcf::RuntimeClass kErrorClass = {
    qxcf::kTypeIDError, "CFError", qxcf::finalizeAs<__CFError>, errorEqual, errorHash, errorDesc, errorDesc};

CFErrorRef makeError(CFAllocatorRef allocator, CFErrorDomain domain, CFIndex code, CFRef<CFDictionaryRef> info) {
  if (domain == nullptr || !info) return nullptr;
  CFRef<CFStringRef> d = adopt(CFStringCreateCopy(nullptr, domain));
  if (!d) return nullptr;
  return qxcf::cfCreate<__CFError>(allocator, 0, &kErrorClass, std::move(d), code, std::move(info));
}

}  // namespace

CFTypeID CFErrorGetTypeID(void) { return qxcf::kTypeIDError; }

CFErrorRef CFErrorCreate(CFAllocatorRef allocator, CFErrorDomain domain, CFIndex code, CFDictionaryRef userInfo) {
  CFRef<CFDictionaryRef> info =
      userInfo != nullptr ? adopt(CFDictionaryCreateCopy(nullptr, userInfo))
                          : adopt(CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                     &kCFTypeDictionaryValueCallBacks));
  return makeError(allocator, domain, code, std::move(info));
}

CFErrorRef CFErrorCreateWithUserInfoKeysAndValues(CFAllocatorRef allocator, CFErrorDomain domain, CFIndex code,
                                                  const void* const* userInfoKeys, const void* const* userInfoValues,
                                                  CFIndex numUserInfoValues) {
  if (numUserInfoValues < 0 || (numUserInfoValues > 0 && (userInfoKeys == nullptr || userInfoValues == nullptr))) {
    return nullptr;
  }
  CFRef<CFDictionaryRef> info = adopt(
      CFDictionaryCreate(nullptr, const_cast<const void**>(userInfoKeys), const_cast<const void**>(userInfoValues),
                         numUserInfoValues, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  return makeError(allocator, domain, code, std::move(info));
}

CFErrorDomain CFErrorGetDomain(CFErrorRef err) { return err->domain.get(); }

CFIndex CFErrorGetCode(CFErrorRef err) { return err->code; }

CFDictionaryRef CFErrorCopyUserInfo(CFErrorRef err) {
  return static_cast<CFDictionaryRef>(CFRetain(err->userInfo.get()));
}

CFStringRef CFErrorCopyDescription(CFErrorRef err) {
  if (CFStringRef s = stringValue(err, kCFErrorLocalizedDescriptionKey)) return CFStringCreateCopy(nullptr, s);
  std::string out = "The operation couldn\u2019t be completed.";
  CFRef<CFStringRef> reason = adopt(CFErrorCopyFailureReason(err));
  if (reason) return qxcf::createStringUTF8(out + " " + qxcf::toUTF8(reason.get()));
  CFStringRef detail = stringValue(err, kCFErrorDescriptionKey);
  if (detail == nullptr) detail = stringValue(err, kCFErrorDebugDescriptionKey);
  out += " (" + qxcf::toUTF8(err->domain.get()) + " error " + std::to_string(err->code);
  out += detail != nullptr ? " - " + qxcf::toUTF8(detail) + ")" : ".)";
  return qxcf::createStringUTF8(out);
}

CFStringRef CFErrorCopyFailureReason(CFErrorRef err) {
  if (CFStringRef s = stringValue(err, kCFErrorLocalizedFailureReasonKey)) return CFStringCreateCopy(nullptr, s);
  if (CFEqual(err->domain.get(), kCFErrorDomainPOSIX) && err->code > 0 && err->code < 4096) {
    char buf[256];
    const char* text = strerror_r(static_cast<int>(err->code), buf, sizeof buf);
    if (text != nullptr && std::strncmp(text, "Unknown error", 13) != 0) return qxcf::createStringUTF8(text);
  }
  return nullptr;
}

CFStringRef CFErrorCopyRecoverySuggestion(CFErrorRef err) {
  if (CFStringRef s = stringValue(err, kCFErrorLocalizedRecoverySuggestionKey)) return CFStringCreateCopy(nullptr, s);
  return nullptr;
}
