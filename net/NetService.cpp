// Network services. There is no service discovery here: browsing and publishing do nothing, and
// resolving gives the current record this machine's own name and IPv4 address, which is what a
// client of a server on this machine needs. Servers are found through the server data file.
#include "net/NetService.h"

#include <QXCore/QXLog.h>
#include <QXCore/QXSocket.h>
#include <limits.h>
#include <unistd.h>

#include "files/CoreFileInternal.h"

using qxcf::CFRef;

BaseNetService::BaseNetService()
    : mRecords(qxcf::adopt(CFArrayCreateMutable(nullptr, 0, QXUtilsGetArrayCallbacks()))) {}

void BaseNetService::Initialize(CFStringRef domain, CFStringRef name, CFStringRef type, uint16_t port, bool option) {
  mDomain = CFRef<CFStringRef>::retain(domain);
  mName = CFRef<CFStringRef>::retain(name);
  mType = CFRef<CFStringRef>::retain(type);
  mPort = port;
  mOption = option;
}

BaseNetServiceRec* BaseNetService::FindServiceWithName(CFStringRef name) const {
  if (name == nullptr || !mRecords) return nullptr;
  // The whole name: a prefix that happens to fit a fixed buffer is another service.
  const std::string wanted = qxfiles::UTF8(name);
  for (CFIndex i = 0, count = CFArrayGetCount(mRecords.get()); i < count; ++i) {
    BaseNetServiceRec* record = qx::ObjectAt<BaseNetServiceRec>(mRecords.get(), i);
    if (record->mServiceName == wanted) return record;
  }
  return nullptr;
}

QXStatus BaseNetService::Resolve() {
  BaseNetServiceRec* record = mCurrent.get();
  if (record == nullptr) return kQXErrInvalidArgument;
  QXStatus status = 0;
  char host[HOST_NAME_MAX + 1] = {};
  if (record->mAddress.empty() && ::gethostname(host, sizeof host - 1) == 0) {
    char address[16];
    status = QXSocketGetAddrInfo(host, address);
    if (status == 0) {
      record->mHostName = host;
      record->mAddress = address;
    }
  }
  if (!record->mAddress.empty()) {
    QXLogWithParams(1, nullptr, 0, CFSTR("Service Publish succeeded: %s:%d"), record->mHostName.c_str(), int{mPort});
    QXLogWithParams(
        3, nullptr, 0,
        CFSTR("Connection Test URL: http://%s:%d Type this url into a web browser to test your connection."),
        record->mAddress.c_str(), int{mPort});
  } else {
    QXLogWithParams(1, nullptr, 0, CFSTR("Service Publish failed: %s:%d"), record->mServiceName.c_str(), int{mPort});
  }
  return status;
}

extern "C" {

QX_EXPORT QXNetServiceRef QXNetServiceCreate(void) {
  qx::Ref<BaseNetService> service = qx::make<BaseNetService>();
  if (!service || !service->HasRecordList()) return nullptr;
  return qx::toHandle<__QXNetService>(service.release());
}

QX_EXPORT void QXNetServiceRetain(QXNetServiceRef service) { qx::retainHandle(service); }
QX_EXPORT void QXNetServiceRelease(QXNetServiceRef service) { qx::releaseHandle(service); }

QX_EXPORT QXStatus QXNetServiceInitialize(QXNetServiceRef service, CFStringRef domain, CFStringRef name,
                                          CFStringRef type, uint16_t port, bool option) {
  if (service == nullptr) return kQXErrInvalidArgument;
  qx::fromHandle(service)->Initialize(domain, name, type, port, option);
  return 0;
}

QX_EXPORT QXNetServiceRecRef QXNetServiceFindServiceWithName(QXNetServiceRef service, CFStringRef name) {
  if (service == nullptr) return nullptr;
  return qx::toHandle<__QXNetServiceRec>(qx::fromHandle(service)->FindServiceWithName(name));
}

QX_EXPORT void QXNetServiceSetCurrentServiceRec(QXNetServiceRef service, QXNetServiceRecRef record) {
  if (service != nullptr) qx::fromHandle(service)->SetCurrentServiceRec(qx::fromHandle(record));
}

QX_EXPORT QXNetServiceRecRef QXNetServiceGetCurrentServiceRec(QXNetServiceRef service) {
  if (service == nullptr) return nullptr;
  return qx::toHandle<__QXNetServiceRec>(qx::fromHandle(service)->GetCurrentServiceRec());
}

QX_EXPORT QXStatus QXNetServiceResolve(QXNetServiceRef service) {
  if (service == nullptr) return kQXErrInvalidArgument;
  return qxfiles::NoThrow([&]() -> int32_t { return qx::fromHandle(service)->Resolve(); });
}

QX_EXPORT QXStatus QXNetServiceBrowse(QXNetServiceRef) { return 0; }
QX_EXPORT QXStatus QXNetServicePublish(QXNetServiceRef) { return 0; }

QX_EXPORT QXNetServiceRecRef QXNetServiceRecCreate(CFStringRef name, uint16_t port) {
  return qxfiles::NoThrow([&]() -> QXNetServiceRecRef {
    return qx::toHandle<__QXNetServiceRec>(qx::make<BaseNetServiceRec>(qxfiles::UTF8(name), port).release());
  });
}

QX_EXPORT void QXNetServiceRecRetain(QXNetServiceRecRef record) { qx::retainHandle(record); }
QX_EXPORT void QXNetServiceRecRelease(QXNetServiceRecRef record) { qx::releaseHandle(record); }

QX_EXPORT uint16_t QXNetServiceRecGetPort(QXNetServiceRecRef record) {
  return record != nullptr ? qx::fromHandle(record)->mPort : 0;
}

}  // extern "C"
