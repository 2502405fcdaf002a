// BaseNetService and its records: the objects behind the QXNetService and QXNetServiceRec handles.
#pragma once

#include <CoreFoundation/CFArray.h>
#include <QXCore/QXServerData.h>

#include <cstdint>
#include <string>
#include <utility>

#include "cf/CFRef.h"
#include "core/Handle.h"

// One service found or resolved: its name, host name and IPv4 address in dotted form (empty until
// known) and its port.
class BaseNetServiceRec final : public CBaseCore {
 public:
  BaseNetServiceRec(std::string name, uint16_t port) : mServiceName(std::move(name)), mPort(port) {}

  std::string mServiceName;
  std::string mHostName;
  std::string mAddress;
  uint16_t mPort = 0;
};

class BaseNetService final : public CBaseCore {
 public:
  BaseNetService();
  // False when memory ran out while the object was made.
  bool HasRecordList() const { return static_cast<bool>(mRecords); }

  void Initialize(CFStringRef domain, CFStringRef name, CFStringRef type, uint16_t port, bool option);
  // Borrowed, or null.
  BaseNetServiceRec* FindServiceWithName(CFStringRef name) const;
  void SetCurrentServiceRec(BaseNetServiceRec* record) { mCurrent = qx::Ref<BaseNetServiceRec>::retain(record); }
  BaseNetServiceRec* GetCurrentServiceRec() const { return mCurrent.get(); }
  QXStatus Resolve();

 private:
  qxcf::CFRef<CFStringRef> mDomain;
  qxcf::CFRef<CFStringRef> mType;
  qxcf::CFRef<CFStringRef> mName;
  uint16_t mPort = 0;
  bool mOption = false;
  // Known records (library array callbacks: one reference each).
  qxcf::CFRef<CFMutableArrayRef> mRecords;
  qx::Ref<BaseNetServiceRec> mCurrent;
};

namespace qx {
QX_HANDLE_CLASS(__QXNetService, BaseNetService);
QX_HANDLE_CLASS(__QXNetServiceRec, BaseNetServiceRec);
}  // namespace qx
