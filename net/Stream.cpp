// The stream base (typed values, text, lines) and the QXStream functions over every kind of stream.
#include <QXCore/QXStream.h>
#include <errno.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "cf/CFRef.h"
#include "core/Handle.h"
#include "files/CoreFileInternal.h"
#include "net/StreamHandle.h"

static_assert(kQXStreamErrLineTooLong == EMSGSIZE);
static_assert(std::endian::native == std::endian::little, "the default byte order is the machine's own");

namespace {

template <class T>
T ByteSwap(T value) {
  using U = std::make_unsigned_t<T>;
  U raw = static_cast<U>(value);
  if constexpr (sizeof(T) == 2) {
    raw = __builtin_bswap16(raw);
  } else if constexpr (sizeof(T) == 4) {
    raw = __builtin_bswap32(raw);
  } else {
    static_assert(sizeof(T) == 8);
    raw = __builtin_bswap64(raw);
  }
  return static_cast<T>(raw);
}

// Zero bytes for WritePad, written a block at a time.
constexpr size_t kPadBlock = 4096;

}  // namespace

CBaseStream::~CBaseStream() = default;

QXStatus CBaseStream::GetPos(uint64_t&) { return kQXErrGeneric; }
QXStatus CBaseStream::SetPos(uint64_t) { return kQXErrGeneric; }
QXStatus CBaseStream::GetLength(uint64_t&) { return kQXErrGeneric; }
QXStatus CBaseStream::SetBuffer(CFDataRef) { return kQXErrGeneric; }
QXStatus CBaseStream::SetCaching(bool) { return kQXErrGeneric; }

QXStatus CBaseStream::Skip(uint64_t count) {
  int32_t status = 0;
  char c;
  for (uint64_t i = 0; i < count && status == 0; ++i) status = ReadChar(c);
  return status;
}

QXStatus CBaseStream::ReadExactly(char* buffer, uint64_t count, bool readAll) {
  uint64_t done = 0;
  while (done < count) {
    uint64_t n = count - done;
    int32_t status = ReadChunk(buffer + done, readAll, n);
    if (status != 0) return status;
    // A stream that hands over nothing has ended; a partial chunk may be followed by more.
    if (n == 0 || n > count - done) return kQXErrGeneric;
    done += n;
  }
  return 0;
}

bool CBaseStream::BytesLeft(uint64_t& left) {
  uint64_t pos = 0;
  uint64_t length = 0;
  if (GetLength(length) != 0 || GetPos(pos) != 0) return false;
  left = pos < length ? length - pos : 0;
  return true;
}

template <class T>
QXStatus CBaseStream::ReadValue(T& value) {
  T raw;
  int32_t status = ReadExactly(reinterpret_cast<char*>(&raw), sizeof raw, false);
  if (status != 0) return status;
  value = Swaps() ? ByteSwap(raw) : raw;
  return 0;
}

template <class T>
QXStatus CBaseStream::WriteValue(T value) {
  T raw = Swaps() ? ByteSwap(value) : value;
  uint64_t count = sizeof raw;
  return WriteChunk(reinterpret_cast<const char*>(&raw), count);
}

QXStatus CBaseStream::ReadInt16(int16_t& value) { return ReadValue(value); }
QXStatus CBaseStream::ReadUInt16(uint16_t& value) { return ReadValue(value); }
QXStatus CBaseStream::ReadInt32(int32_t& value) { return ReadValue(value); }
QXStatus CBaseStream::ReadUInt32(uint32_t& value) { return ReadValue(value); }
QXStatus CBaseStream::ReadInt64(int64_t& value) { return ReadValue(value); }
QXStatus CBaseStream::ReadUInt64(uint64_t& value) { return ReadValue(value); }
QXStatus CBaseStream::WriteInt16(int16_t value) { return WriteValue(value); }
QXStatus CBaseStream::WriteUInt16(uint16_t value) { return WriteValue(value); }
QXStatus CBaseStream::WriteInt32(int32_t value) { return WriteValue(value); }
QXStatus CBaseStream::WriteUInt32(uint32_t value) { return WriteValue(value); }
QXStatus CBaseStream::WriteInt64(int64_t value) { return WriteValue(value); }
QXStatus CBaseStream::WriteUInt64(uint64_t value) { return WriteValue(value); }

QXStatus CBaseStream::ReadDataCopy(uint64_t length, CFDataRef& out) {
  out = nullptr;
  // A damaged length must not make us allocate more than the stream can deliver.
  uint64_t left = 0;
  if (BytesLeft(left) && length > left) return kQXErrGeneric;
  if (length > static_cast<uint64_t>(std::numeric_limits<CFIndex>::max())) return kQXErrMemory;
  qxcf::CFRef<CFMutableDataRef> data = qxcf::adopt(CFDataCreateMutable(nullptr, 0));
  if (!data) return kQXErrMemory;
  CFDataSetLength(data.get(), static_cast<CFIndex>(length));
  if (static_cast<uint64_t>(CFDataGetLength(data.get())) != length) return kQXErrMemory;
  if (length > 0) {
    int32_t status = ReadExactly(reinterpret_cast<char*>(CFDataGetMutableBytePtr(data.get())), length, true);
    if (status != 0) return status;
  }
  out = data.release();
  return 0;
}

QXStatus CBaseStream::WriteString(CFStringRef string) {
  if (string == nullptr) return kQXErrInvalidArgument;
  return qxfiles::NoThrow([&]() -> int32_t {
    std::string bytes = qxfiles::UTF8(string);
    uint64_t count = bytes.size();
    return WriteChunk(bytes.data(), count);
  });
}

QXStatus CBaseStream::WriteStringParamsV(CFStringRef format, va_list arguments) {
  if (format == nullptr) return kQXErrInvalidArgument;
  qxcf::CFRef<CFStringRef> text =
      qxcf::adopt(CFStringCreateWithFormatAndArguments(nullptr, nullptr, format, arguments));
  if (!text) return kQXErrMemory;
  return WriteString(text.get());
}

QXStatus CBaseStream::WriteStringParams(CFStringRef format, ...) {
  va_list arguments;
  va_start(arguments, format);
  int32_t status = WriteStringParamsV(format, arguments);
  va_end(arguments);
  return status;
}

QXStatus CBaseStream::ReadLine(char*& buffer, uint64_t& capacity) {
  if (capacity == 0) return 0;
  if (buffer == nullptr) return kQXErrInvalidArgument;
  // Every byte read is stored or ends the line, so the stream never loses one: room is made and
  // the cap checked before reading. At the cap only a LF after a CR could still end the line, so
  // after a CR one more byte is read, and stored if it is not that LF.
  constexpr uint64_t kCap = kQXStreamMaxLineLength;
  // Invariant: stored < capacity, so there is always room for the terminating zero.
  uint64_t stored = 0;
  bool afterCR = false;
  for (;;) {
    if (stored > kCap || (stored == kCap && !afterCR)) {
      buffer[stored] = '\0';
      return kQXStreamErrLineTooLong;
    }
    if (stored + 1 >= capacity) {
      uint64_t grown = std::min<uint64_t>(capacity * 2, kCap + 2);
      char* bigger = static_cast<char*>(std::realloc(buffer, grown));
      if (bigger == nullptr) {
        buffer[stored] = '\0';
        return kQXErrMemory;
      }
      buffer = bigger;
      capacity = grown;
    }
    char c;
    int32_t status = ReadChar(c);
    if (status != 0) {
      buffer[stored] = '\0';
      return status;
    }
    if (c == '\n' && afterCR) {
      buffer[stored - 1] = '\0';  // the CR just before the LF
      return 0;
    }
    afterCR = c == '\r';
    buffer[stored++] = c;
  }
}

QXStatus CBaseStream::WriteUnicodeStringWithLen(CFStringRef string) {
  if (string == nullptr) return kQXErrInvalidArgument;
  CFIndex length = CFStringGetLength(string);
  if (length > INT32_MAX) return kQXErrInvalidArgument;
  int32_t status = WriteInt32(static_cast<int32_t>(length));
  UniChar units[256];
  for (CFIndex at = 0; at < length && status == 0;) {
    CFIndex n = std::min<CFIndex>(length - at, 256);
    CFStringGetCharacters(string, CFRangeMake(at, n), units);
    for (CFIndex i = 0; i < n && status == 0; ++i) status = WriteUInt16(units[i]);
    at += n;
  }
  return status;
}

QXStatus CBaseStream::ReadUnicodeStringWithLenCopy(CFStringRef& out) {
  out = nullptr;
  int32_t length = 0;
  int32_t status = ReadInt32(length);
  if (status != 0) return status;
  if (length < 0 || length > kQXStreamMaxStringUnits) return kQXErrGeneric;
  uint64_t left = 0;
  if (BytesLeft(left) && static_cast<uint64_t>(length) * 2 > left) return kQXErrGeneric;
  return qxfiles::NoThrow([&]() -> int32_t {
    // Grown as the units arrive, so a stream that cannot tell its length costs memory only for data
    // that actually came.
    std::vector<UniChar> units;
    units.reserve(std::min<size_t>(static_cast<size_t>(length), 4096));
    constexpr size_t kBlock = 4096;
    for (size_t at = 0; at < static_cast<size_t>(length);) {
      size_t n = std::min(kBlock, static_cast<size_t>(length) - at);
      units.resize(at + n);
      int32_t read = ReadExactly(reinterpret_cast<char*>(units.data() + at), n * sizeof(UniChar), false);
      if (read != 0) return read;
      if (Swaps())
        for (size_t i = at; i < at + n; ++i) units[i] = ByteSwap(units[i]);
      at += n;
    }
    CFStringRef string = CFStringCreateWithCharacters(nullptr, units.data(), length);
    if (string == nullptr) return kQXErrMemory;
    out = string;
    return 0;
  });
}

QXStatus CBaseStream::WritePad(uint64_t count) {
  static const char kZeros[kPadBlock] = {};
  int32_t status = 0;
  while (count > 0 && status == 0) {
    uint64_t n = std::min<uint64_t>(count, kPadBlock);
    count -= n;
    status = WriteChunk(kZeros, n);
  }
  return status;
}

// ---- C interface ----

namespace {

CBaseStream* S(QXStreamRef stream) { return qx::fromHandle(stream); }

}  // namespace

extern "C" {

QX_EXPORT QXStatus QXStreamOpen(QXStreamRef stream) {
  return qxfiles::NoThrow([&] { return S(stream)->Open(); });
}

QX_EXPORT QXStatus QXStreamClose(QXStreamRef stream) {
  CBaseStream* s = S(stream);
  s->Close();
  auto* file = dynamic_cast<CBaseStreamFile*>(s);
  return file != nullptr ? file->GetCloseStatus() : 0;
}

QX_EXPORT void QXStreamRetain(QXStreamRef stream) { qx::retainHandle(stream); }
QX_EXPORT void QXStreamRelease(QXStreamRef stream) { qx::releaseHandle(stream); }

QX_EXPORT QXStatus QXStreamRead(QXStreamRef stream, void* buffer, uint64_t size, uint64_t* outCount) {
  uint64_t count = size;
  int32_t status = S(stream)->ReadChunk(static_cast<char*>(buffer), true, count);
  // Bytes handed over before a failure are gone from the stream: the caller must learn of them.
  if ((status == 0 || count > 0) && outCount != nullptr) *outCount = count;
  return status;
}

QX_EXPORT QXStatus QXStreamWrite(QXStreamRef stream, const void* buffer, uint64_t size) {
  uint64_t count = size;
  return S(stream)->WriteChunk(static_cast<const char*>(buffer), count);
}

QX_EXPORT QXStatus QXStreamReadLine(QXStreamRef stream, char** buffer, uint64_t* capacity) {
  if (buffer == nullptr || capacity == nullptr) return kQXErrInvalidArgument;
  return S(stream)->ReadLine(*buffer, *capacity);
}

QX_EXPORT QXStatus QXStreamWritePad(QXStreamRef stream, uint64_t count) { return S(stream)->WritePad(count); }

QX_EXPORT QXStatus QXStreamReadDataCopy(QXStreamRef stream, uint64_t length, CFDataRef* outData) {
  CFDataRef data = nullptr;
  int32_t status = S(stream)->ReadDataCopy(length, data);
  if (outData != nullptr) {
    *outData = data;
  } else if (data != nullptr) {
    CFRelease(data);
  }
  return status;
}

QX_EXPORT QXStatus QXStreamReadInt16(QXStreamRef stream, int16_t* value) { return S(stream)->ReadInt16(*value); }
QX_EXPORT QXStatus QXStreamReadUInt16(QXStreamRef stream, uint16_t* value) { return S(stream)->ReadUInt16(*value); }
QX_EXPORT QXStatus QXStreamReadInt32(QXStreamRef stream, int32_t* value) { return S(stream)->ReadInt32(*value); }
QX_EXPORT QXStatus QXStreamReadUInt32(QXStreamRef stream, uint32_t* value) { return S(stream)->ReadUInt32(*value); }
QX_EXPORT QXStatus QXStreamReadInt64(QXStreamRef stream, int64_t* value) { return S(stream)->ReadInt64(*value); }
QX_EXPORT QXStatus QXStreamReadUInt64(QXStreamRef stream, uint64_t* value) { return S(stream)->ReadUInt64(*value); }
QX_EXPORT QXStatus QXStreamWriteInt16(QXStreamRef stream, int16_t value) { return S(stream)->WriteInt16(value); }
QX_EXPORT QXStatus QXStreamWriteUInt16(QXStreamRef stream, uint16_t value) { return S(stream)->WriteUInt16(value); }
QX_EXPORT QXStatus QXStreamWriteInt32(QXStreamRef stream, int32_t value) { return S(stream)->WriteInt32(value); }
QX_EXPORT QXStatus QXStreamWriteUInt32(QXStreamRef stream, uint32_t value) { return S(stream)->WriteUInt32(value); }
QX_EXPORT QXStatus QXStreamWriteInt64(QXStreamRef stream, int64_t value) { return S(stream)->WriteInt64(value); }
QX_EXPORT QXStatus QXStreamWriteUInt64(QXStreamRef stream, uint64_t value) { return S(stream)->WriteUInt64(value); }

QX_EXPORT void QXStreamSetByteOrder(QXStreamRef stream, QXStreamByteOrder order) { S(stream)->SetByteOrder(order); }
QX_EXPORT QXStreamByteOrder QXStreamGetByteOrder(QXStreamRef stream) { return S(stream)->GetByteOrder(); }

QX_EXPORT QXStatus QXStreamWriteUnicodeStringWithLen(QXStreamRef stream, CFStringRef string) {
  return S(stream)->WriteUnicodeStringWithLen(string);
}

QX_EXPORT QXStatus QXStreamReadUnicodeStringWithLenCopy(QXStreamRef stream, CFStringRef* outString) {
  CFStringRef string = nullptr;
  int32_t status = S(stream)->ReadUnicodeStringWithLenCopy(string);
  if (outString != nullptr) {
    *outString = string;
  } else if (string != nullptr) {
    CFRelease(string);
  }
  return status;
}

QX_EXPORT QXStatus QXStreamWriteString(QXStreamRef stream, CFStringRef string) {
  return S(stream)->WriteString(string);
}

QX_EXPORT QXStatus QXStreamWriteStringParams(QXStreamRef stream, CFStringRef format, ...) {
  va_list arguments;
  va_start(arguments, format);
  int32_t status = S(stream)->WriteStringParamsV(format, arguments);
  va_end(arguments);
  return status;
}

QX_EXPORT QXStatus QXStreamGetPos(QXStreamRef stream, uint64_t* outPos) { return S(stream)->GetPos(*outPos); }
QX_EXPORT QXStatus QXStreamGetPos2(QXStreamRef stream, uint64_t* outPos) { return S(stream)->GetPos(*outPos); }
QX_EXPORT QXStatus QXStreamSetPos(QXStreamRef stream, uint64_t pos) { return S(stream)->SetPos(pos); }
QX_EXPORT QXStatus QXStreamSetPos2(QXStreamRef stream, uint64_t pos) { return S(stream)->SetPos(pos); }

QX_EXPORT QXStatus QXStreamGetLength(QXStreamRef stream, uint64_t* outLength) {
  uint64_t length = 0;
  int32_t status = S(stream)->GetLength(length);
  *outLength = status == 0 ? length : 0;
  return status;
}

QX_EXPORT QXStatus QXStreamGetLength2(QXStreamRef stream, uint64_t* outLength) {
  return S(stream)->GetLength(*outLength);
}

QX_EXPORT QXStatus QXStreamSkip(QXStreamRef stream, uint64_t count) { return S(stream)->Skip(count); }
QX_EXPORT QXStatus QXStreamSkip2(QXStreamRef stream, uint64_t count) { return S(stream)->Skip(count); }
QX_EXPORT QXStatus QXStreamSetBuffer(QXStreamRef stream, CFDataRef data) { return S(stream)->SetBuffer(data); }
QX_EXPORT QXStatus QXStreamSetCaching(QXStreamRef stream, bool caching) { return S(stream)->SetCaching(caching); }

QX_EXPORT CFDataRef QXStreamGetData(QXStreamRef stream) {
  auto* memory = dynamic_cast<CBaseStreamMemory*>(S(stream));
  return memory != nullptr ? memory->GetData() : nullptr;
}

QX_EXPORT QXStreamRef QXStreamCreateForFile(CFURLRef fileURL, CFStringRef mode) {
  return qx::toHandle<__QXStream>(qx::make<CBaseStreamFile>(fileURL, mode).release());
}

QX_EXPORT QXStreamRef QXStreamCreateForData(CFDataRef data) {
  return qx::toHandle<__QXStream>(qx::make<CBaseStreamMemory>(data).release());
}

}  // extern "C"
