// Memory streams over a CFData that grows as it is written.
#include <QXCore/QXStream.h>

#include <algorithm>
#include <cstdlib>
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

QXStatus CBaseStreamMemory::ReadLine(char*& buffer, uint64_t& capacity) {
  if (capacity == 0) return 0;
  if (buffer == nullptr) return kQXErrInvalidArgument;
  constexpr uint64_t kCap = kQXStreamMaxLineLength;
  const uint64_t length = mData != nullptr ? static_cast<uint64_t>(CFDataGetLength(mData)) : 0;
  const uint64_t available = mPos < length ? length - mPos : 0;
  const char* p = available > 0 ? reinterpret_cast<const char*>(CFDataGetBytePtr(mData)) + mPos : "";
  // A CR LF whose CR falls within the cap ends the line.
  const uint64_t window = std::min(available, kCap + 1);
  const char* lineFeed = nullptr;
  for (uint64_t from = 0; from < window;) {
    const auto* found = static_cast<const char*>(std::memchr(p + from, '\n', window - from));
    if (found == nullptr) break;
    if (found > p && found[-1] == '\r') {
      lineFeed = found;
      break;
    }
    from = static_cast<uint64_t>(found - p) + 1;
  }
  uint64_t consumed, stored;
  QXStatus status = 0;
  if (lineFeed != nullptr) {
    consumed = static_cast<uint64_t>(lineFeed - p) + 1;
    stored = consumed - 2;
  } else {
    // No line end: what the cap allows is stored (after a CR at the cap, the byte that shows it is
    // no line end too), or everything left when the data end first.
    const uint64_t limit = available >= kCap && p[kCap - 1] == '\r' ? kCap + 1 : kCap;
    status = available >= limit ? QXStatus{kQXStreamErrLineTooLong} : QXStatus{kQXErrGeneric};
    consumed = stored = std::min(available, limit);
  }
  if (stored + 1 > capacity) {
    uint64_t grown = capacity;
    while (grown < stored + 1) grown = std::min<uint64_t>(grown * 2, kCap + 2);
    char* bigger = static_cast<char*>(std::realloc(buffer, grown));
    if (bigger == nullptr) {
      buffer[0] = '\0';
      return kQXErrMemory;  // nothing taken from the stream
    }
    buffer = bigger;
    capacity = grown;
  }
  std::memcpy(buffer, p, stored);
  buffer[stored] = '\0';
  mPos += consumed;
  return status;
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
