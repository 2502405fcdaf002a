// Records, messages and responses of the local messaging, the protocol's key constants, and the
// packed form of a message (raw payload beside its fields) with the checked reader of that form.
// The reader sees bytes from other processes, so every length is checked before a byte is touched.
#include <QXCore/QXMessage.h>

#include <cstdlib>
#include <cstring>

#include "cf/CFRef.h"
#include "net/LargeBuffers.h"
#include "net/MessageValues.h"

using qxcf::CFRef;
using qxmsg::HasType;
using qxmsg::IsNumber;

const CFStringRef kCmdConnect = CFSTR("connect");
const CFStringRef kCmdConnectListener = CFSTR("connect_listener");
const CFStringRef kCmdMessage = CFSTR("message");
const CFStringRef kParamAPIVersion = CFSTR("api-version");
const CFStringRef kParamConnectionID = CFSTR("connection-id");
const CFStringRef kParamDirect = CFSTR("direct");
const CFStringRef kParamID = CFSTR("id");
const CFStringRef kParamMsgName = CFSTR("msg_name");
const CFStringRef kParamName = CFSTR("name");
const CFStringRef kParamTaskID = CFSTR("task-id");
const CFStringRef kURIServer = CFSTR("server");
const CFStringRef kBaseResponseResult = CFSTR("result");
const CFStringRef kBaseResponseConnectionID = CFSTR("connection-id");
const CFStringRef kHTTPMethodGet = CFSTR("GET");
const CFStringRef kHTTPMethodPut = CFSTR("PUT");

namespace {

const CFStringRef kRawKey = CFSTR("raw");
const CFStringRef kWholeBodyKey = CFSTR("--content--");
constexpr uint64_t kMaxPart = 0xFFFFFFFFu;

uint32_t ReadBigEndian32(const UInt8* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

void WriteBigEndian32(UInt8* p, uint64_t value) {
  for (int i = 3; i >= 0; --i, value >>= 8) p[i] = static_cast<UInt8>(value);
}

// A view of `length` of `owner`'s bytes that keeps `owner` alive: the payload of a body nobody
// changes needs no copy. The allocator only holds the reference; it frees nothing itself.
CFDataRef CreateView(CFDataRef owner, const UInt8* bytes, CFIndex length) {
  CFAllocatorContext keeper = {};
  keeper.info = const_cast<void*>(static_cast<const void*>(owner));
  keeper.retain = [](const void* info) { return CFRetain(info); };
  keeper.release = [](const void* info) { CFRelease(info); };
  keeper.allocate = [](CFIndex, CFOptionFlags, void*) -> void* { return nullptr; };
  keeper.deallocate = [](void*, void*) {};
  CFRef<CFAllocatorRef> allocator = qxcf::adopt(CFAllocatorCreate(nullptr, &keeper));
  if (!allocator) return nullptr;
  return CFDataCreateWithBytesNoCopy(nullptr, bytes, length, allocator.get());
}

void SetOne(const void* key, const void* value, void* record) {
  if (HasType(key, CFStringGetTypeID()))
    static_cast<CBaseRecord*>(record)->SetField(static_cast<CFStringRef>(key), value);
}

}  // namespace

// ---- CBaseRecord ----

CBaseRecord::CBaseRecord() : mInfo(qxmsg::NewDictionary()), mEditable(true) {}

CBaseRecord::CBaseRecord(CFDictionaryRef info, bool editable) { Init(info, editable); }

CBaseRecord::~CBaseRecord() {
  if (mInfo != nullptr) CFRelease(mInfo);
}

void CBaseRecord::Init(CFDictionaryRef info, bool editable) {
  CFDictionaryRef next;
  if (info == nullptr) {
    next = qxmsg::NewDictionary();
    editable = true;  // a dictionary of our own is always ours to change
  } else if (editable) {
    next = CFDictionaryCreateMutableCopy(nullptr, 0, info);
  } else {
    next = static_cast<CFDictionaryRef>(CFRetain(info));
  }
  if (mInfo != nullptr) CFRelease(mInfo);
  mInfo = next;
  mEditable = editable && next != nullptr;
}

void CBaseRecord::MakeEditable() {
  if (mEditable) return;
  CFMutableDictionaryRef copy =
      mInfo != nullptr ? CFDictionaryCreateMutableCopy(nullptr, 0, mInfo) : qxmsg::NewDictionary();
  if (copy == nullptr) return;
  if (mInfo != nullptr) CFRelease(mInfo);
  mInfo = copy;
  mEditable = true;
}

bool CBaseRecord::IsEditable() const { return mEditable; }

CFDictionaryRef CBaseRecord::GetInfo() const { return mInfo; }

CFMutableDictionaryRef CBaseRecord::EditableInfo() {
  // Writing into a shared dictionary would change the caller's object (possibly an immutable one).
  MakeEditable();
  return mEditable ? const_cast<CFMutableDictionaryRef>(mInfo) : nullptr;
}

void CBaseRecord::SetField(CFStringRef key, const void* value) {
  if (key == nullptr || value == nullptr) return;
  if (CFMutableDictionaryRef info = EditableInfo()) CFDictionarySetValue(info, key, value);
}

void CBaseRecord::SetField(CFStringRef key, int value) {
  CFRef<CFNumberRef> number = qxcf::adopt(CFNumberCreate(nullptr, kCFNumberIntType, &value));
  SetField(key, number.get());
}

// The same 32 bits as the int form, so a peer's GetFieldInt gives the value back.
void CBaseRecord::SetField(CFStringRef key, unsigned int value) { SetField(key, static_cast<int>(value)); }

void CBaseRecord::SetField(CFStringRef key, double value) {
  CFRef<CFNumberRef> number = qxcf::adopt(CFNumberCreate(nullptr, kCFNumberDoubleType, &value));
  SetField(key, number.get());
}

void CBaseRecord::SetFields(CFDictionaryRef fields) {
  if (fields == nullptr || fields == mInfo) return;
  CFDictionaryApplyFunction(fields, SetOne, this);
}

const void* CBaseRecord::GetField(CFStringRef key) const {
  return key != nullptr && mInfo != nullptr ? CFDictionaryGetValue(mInfo, key) : nullptr;
}

int32_t CBaseRecord::GetFieldInt(CFStringRef key) const { return qxmsg::IntValue(GetField(key)); }

double CBaseRecord::GetFieldDouble(CFStringRef key) const { return qxmsg::DoubleValue(GetField(key)); }

CFIndex CBaseRecord::GetFieldCount() const { return mInfo != nullptr ? CFDictionaryGetCount(mInfo) : 0; }

// ---- CBaseMsg ----

CBaseMsg::CBaseMsg() = default;

CBaseMsg::CBaseMsg(CFStringRef name) : mDestination(kBaseMsgDestNamed) { SetMsgName(name); }

CBaseMsg::CBaseMsg(CFDictionaryRef info) : CBaseRecord(info, false) {
  // A dictionary from a packed read carries the payload under "raw" and the whole body under
  // "--content--"; left in the fields, the body would travel again inside every forwarded copy.
  CFTypeRef raw = GetField(kRawKey);
  bool rawIsData = HasType(raw, CFDataGetTypeID());
  if (!rawIsData && GetField(kWholeBodyKey) == nullptr) return;
  if (rawIsData) SetRawContent(static_cast<CFDataRef>(raw));
  if (CFMutableDictionaryRef fields = EditableInfo()) {
    if (rawIsData) CFDictionaryRemoveValue(fields, kRawKey);
    CFDictionaryRemoveValue(fields, kWholeBodyKey);
  }
}

CBaseMsg::~CBaseMsg() {
  if (mRawContent != nullptr) CFRelease(mRawContent);
}

void CBaseMsg::Init(CFStringRef name, BaseMsgDest destination) {
  mDestination = destination;
  mAsync = true;
  SetRawContent(nullptr);
  SetMsgName(name);
}

CFStringRef CBaseMsg::GetMsgName() const {
  CFTypeRef name = GetField(kParamMsgName);
  return HasType(name, CFStringGetTypeID()) ? static_cast<CFStringRef>(name) : nullptr;
}

void CBaseMsg::SetMsgName(CFStringRef name) { SetField(kParamMsgName, static_cast<const void*>(name)); }

BaseMsgDest CBaseMsg::GetDestination() const { return mDestination; }

void CBaseMsg::SetDestination(BaseMsgDest destination) { mDestination = destination; }

bool CBaseMsg::GetAsync() const { return mAsync; }

void CBaseMsg::SetAsync(bool async) { mAsync = async; }

CFDataRef CBaseMsg::GetRawContent() const { return mRawContent; }

void CBaseMsg::SetRawContent(CFDataRef raw) {
  if (raw != nullptr) CFRetain(raw);
  if (mRawContent != nullptr) CFRelease(mRawContent);
  mRawContent = raw;
}

CFDataRef CBaseMsg::GetPackedContent() const {
  if (GetInfo() == nullptr) return nullptr;
  CFRef<CFDataRef> fields = qxcf::adopt(CFPropertyListCreateXMLData(nullptr, GetInfo()));
  if (!fields) return nullptr;
  const uint64_t rawLength = mRawContent != nullptr ? static_cast<uint64_t>(CFDataGetLength(mRawContent)) : 0;
  const uint64_t fieldsLength = static_cast<uint64_t>(CFDataGetLength(fields.get()));
  // Each length travels in 32 bits; a larger part would be cut off, not sent.
  if (rawLength > kMaxPart || fieldsLength > kMaxPart) return nullptr;
  const uint64_t total = 8 + rawLength + fieldsLength;
  size_t capacity = 0;
  auto* bytes = static_cast<UInt8*>(qxnet::AcquireLargeBuffer(total, capacity));
  if (bytes == nullptr) return nullptr;
  WriteBigEndian32(bytes, rawLength);
  if (rawLength != 0) std::memcpy(bytes + 4, CFDataGetBytePtr(mRawContent), rawLength);
  WriteBigEndian32(bytes + 4 + rawLength, fieldsLength);
  std::memcpy(bytes + 8 + rawLength, CFDataGetBytePtr(fields.get()), fieldsLength);
  return qxnet::CreateDataWithLargeBuffer(bytes, total);
}

// ---- CBaseResponse ----

CBaseResponse::CBaseResponse() = default;

CBaseResponse::CBaseResponse(CFDictionaryRef info, bool editable) : CBaseRecord(info, editable) {}

void CBaseResponse::SetResult(int32_t result) { SetField(kBaseResponseResult, static_cast<int>(result)); }

// Only numbers: a response field of another type is a broken or hostile peer's, and reads as absent.
int32_t CBaseResponse::NumberField(CFStringRef key) const {
  CFTypeRef value = GetField(key);
  return IsNumber(value) ? qxmsg::IntValue(value) : 0;
}

int32_t CBaseResponse::GetResult() const { return NumberField(kBaseResponseResult); }

void CBaseResponse::SetConnectionID(CFStringRef connectionID) {
  SetField(kBaseResponseConnectionID, static_cast<const void*>(connectionID));
}

CFStringRef CBaseResponse::GetConnectionID() const {
  CFTypeRef id = GetField(kBaseResponseConnectionID);
  return HasType(id, CFStringGetTypeID()) ? static_cast<CFStringRef>(id) : nullptr;
}

void CBaseResponse::SetAPIVersion(int32_t version) { SetField(kParamAPIVersion, static_cast<int>(version)); }

int32_t CBaseResponse::GetAPIVersion() const { return NumberField(kParamAPIVersion); }

// ---- The packed form ----

QXStatus QXMessageCopyUnpacked(CFDataRef packed, CFDictionaryRef* outInfo) {
  return qxmsg::CopyUnpacked(packed, false, outInfo);
}

QXStatus qxmsg::CopyUnpacked(CFDataRef packed, bool immutable, CFDictionaryRef* outInfo) {
  if (outInfo == nullptr) return kQXErrInvalidArgument;
  *outInfo = nullptr;
  if (!HasType(packed, CFDataGetTypeID())) return kQXErrInvalidArgument;
  const uint64_t total = static_cast<uint64_t>(CFDataGetLength(packed));
  const UInt8* bytes = CFDataGetBytePtr(packed);
  if (total < 8) return kQXHttpErrBadMessage;
  const uint64_t rawLength = ReadBigEndian32(bytes);
  if (rawLength > total - 8) return kQXHttpErrBadMessage;
  const uint64_t fieldsLength = ReadBigEndian32(bytes + 4 + rawLength);
  if (fieldsLength != total - 8 - rawLength) return kQXHttpErrBadMessage;

  // The fields are only parsed here, so a view of the body's bytes is enough.
  CFRef<CFDataRef> xml = qxcf::adopt(CFDataCreateWithBytesNoCopy(nullptr, bytes + 8 + rawLength,
                                                                 static_cast<CFIndex>(fieldsLength), kCFAllocatorNull));
  if (!xml) return kQXErrMemory;
  CFRef<CFPropertyListRef> fields =
      qxcf::adopt(CFPropertyListCreateFromXMLData(nullptr, xml.get(), kCFPropertyListMutableContainers, nullptr));
  if (!HasType(fields.get(), CFDictionaryGetTypeID())) return kQXHttpErrBadMessage;
  // The dictionary may outlive the body, and a caller's body may be mutable data that moves: a view
  // only of bytes known never to change.
  CFRef<CFDataRef> raw = qxcf::adopt(immutable ? CreateView(packed, bytes + 4, static_cast<CFIndex>(rawLength))
                                               : CFDataCreate(nullptr, bytes + 4, static_cast<CFIndex>(rawLength)));
  if (!raw) return kQXErrMemory;
  auto info = static_cast<CFMutableDictionaryRef>(const_cast<void*>(fields.get()));
  CFDictionarySetValue(info, kRawKey, raw.get());
  CFDictionarySetValue(info, kWholeBodyKey, packed);
  *outInfo = static_cast<CFDictionaryRef>(fields.release());
  return kQXNoErr;
}
