// Memory streams over a CFData that grows as it is written.
#include <QXCore/QXStream.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

constexpr uint64_t kMaxLength = static_cast<uint64_t>(std::numeric_limits<CFIndex>::max());

}  // namespace

CBaseStreamMemory::CBaseStreamMemory(CFDataRef data) { SetData(data); }

CBaseStreamMemory::~CBaseStreamMemory() { SetData(nullptr); }

void CBaseStreamMemory::SetData(CFDataRef data) {
  if (data != nullptr) CFRetain(data);
  if (mData != nullptr) CFRelease(mData);
  mData = data;
  mPos = 0;
  // Only a mutable data hands out a mutable byte pointer (an empty one gets a small block).
  mMutable = data != nullptr && CFDataGetMutableBytePtr(const_cast<CFMutableDataRef>(data)) != nullptr;
}

const UInt8* CBaseStreamMemory::GetBytePtr() const { return mData != nullptr ? CFDataGetBytePtr(mData) : nullptr; }

QXStatus CBaseStreamMemory::MakeWritable() {
  if (mMutable) return 0;
  CFMutableDataRef copy = CFDataCreateMutableCopy(nullptr, 0, mData);
  if (copy == nullptr) return kQXErrMemory;
  CFRelease(mData);
  mData = copy;
  mMutable = true;
  return 0;
}

QXStatus CBaseStreamMemory::Open() {
  if (mData == nullptr) {
    CFMutableDataRef data = CFDataCreateMutable(nullptr, 0);
    if (data == nullptr) return kQXErrMemory;
    mData = data;
    mMutable = true;
  }
  mPos = 0;
  return 0;
}

void CBaseStreamMemory::Close() { SetData(nullptr); }

QXStatus CBaseStreamMemory::ReadChunk(char* buffer, bool, uint64_t& count) {
  if (mData == nullptr) {
    count = 0;
    return kQXErrGeneric;
  }
  uint64_t length = static_cast<uint64_t>(CFDataGetLength(mData));
  if (mPos > length) {
    count = 0;
    return kQXErrGeneric;
  }
  count = std::min(count, length - mPos);
  if (count > 0) std::memcpy(buffer, CFDataGetBytePtr(mData) + mPos, count);
  mPos += count;
  return 0;
}

QXStatus CBaseStreamMemory::WriteChunk(const char* buffer, uint64_t& count) {
  uint64_t n = count;
  count = 0;
  if (mData == nullptr) return kQXErrGeneric;
  if (n == 0) return 0;
  if (mPos > kMaxLength || n > kMaxLength - mPos) return kQXErrMemory;
  int32_t status = MakeWritable();
  if (status != 0) return status;
  auto* data = const_cast<CFMutableDataRef>(mData);
  uint64_t length = static_cast<uint64_t>(CFDataGetLength(data));
  uint64_t end = mPos + n;
  if (mPos > length) {
    // The gap between the old end and the position reads as zeros.
    CFDataSetLength(data, static_cast<CFIndex>(mPos));
    if (static_cast<uint64_t>(CFDataGetLength(data)) != mPos) return kQXErrMemory;
    length = mPos;
  }
  // Overwrite up to the old end, then append the rest.
  uint64_t inPlace = std::min(n, length - mPos);
  if (inPlace > 0) std::memcpy(CFDataGetMutableBytePtr(data) + mPos, buffer, inPlace);
  if (inPlace < n) {
    CFDataAppendBytes(data, reinterpret_cast<const UInt8*>(buffer) + inPlace, static_cast<CFIndex>(n - inPlace));
    if (static_cast<uint64_t>(CFDataGetLength(data)) != end) return kQXErrMemory;
  }
  mPos = end;
  count = n;
  return 0;
}

QXStatus CBaseStreamMemory::ReadChar(char& c) {
  if (mData == nullptr || mPos >= static_cast<uint64_t>(CFDataGetLength(mData))) return kQXErrGeneric;
  c = static_cast<char>(CFDataGetBytePtr(mData)[mPos++]);
  return 0;
}

QXStatus CBaseStreamMemory::GetPos(uint64_t& pos) {
  if (mData == nullptr) return kQXErrGeneric;
  pos = mPos;
  return 0;
}

QXStatus CBaseStreamMemory::SetPos(uint64_t pos) {
  if (mData == nullptr) return kQXErrGeneric;
  mPos = pos;
  return 0;
}

QXStatus CBaseStreamMemory::GetLength(uint64_t& len) {
  if (mData == nullptr) return kQXErrGeneric;
  len = static_cast<uint64_t>(CFDataGetLength(mData));
  return 0;
}

QXStatus CBaseStreamMemory::Skip(uint64_t count) {
  if (mData == nullptr) return kQXErrGeneric;
  if (count > std::numeric_limits<uint64_t>::max() - mPos) return kQXErrGeneric;
  mPos += count;
  return 0;
}

bool CBaseStreamMemory::IsEOF() { return mData == nullptr || mPos >= static_cast<uint64_t>(CFDataGetLength(mData)); }
