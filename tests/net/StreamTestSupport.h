// Helpers shared by the stream, socket, message, server, image-stream and peer tests.
#pragma once

#include <QXCore/QXServer.h>
#include <QXCore/QXSocket.h>
#include <QXCore/QXStream.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "cf/CFRef.h"
#include "core/ProgramSupport.h"
#include "net/StreamHandle.h"

namespace streamtest {

inline bool Installed(const char* program) {
  return std::system(("command -v " + std::string(program) + " >/dev/null 2>&1").c_str()) == 0;
}

// The output of `command` and its exit status (-1 when it did not exit normally).
inline std::pair<std::string, int> Command(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return {out, -1};
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
  int status = pclose(p);
  return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// A peer program whose first line of output is the port it listens on; Finish waits for it and
// gives the rest of its output and its exit status.
class Peer {
 public:
  explicit Peer(const std::string& command) : mPipe(popen((command + " 2>&1").c_str(), "r")) {
    char line[64] = {};
    if (mPipe != nullptr && fgets(line, sizeof line, mPipe) != nullptr) port = uint16_t(atoi(line));
  }
  ~Peer() { Finish(); }
  std::pair<std::string, int> Finish() {
    std::string out;
    char buffer[4096];
    if (mPipe == nullptr) return {out, -1};
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, mPipe)) > 0;) out.append(buffer, n);
    int status = pclose(std::exchange(mPipe, nullptr));
    return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
  }
  uint16_t port = 0;

 private:
  FILE* mPipe;
};

// A string value as UTF-8, or "(none)" for anything else.
inline std::string Text(CFTypeRef value) {
  if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID()) return "(none)";
  char buffer[1024] = {};
  CFStringGetCString(static_cast<CFStringRef>(value), buffer, sizeof buffer, kCFStringEncodingUTF8);
  return buffer;
}

inline qxcf::CFRef<CFStringRef> String(const char* text) {
  return qxcf::adopt(CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8));
}

inline qxcf::CFRef<CFDataRef> Data(const std::string& bytes) {
  return qxcf::adopt(
      CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()), static_cast<CFIndex>(bytes.size())));
}

// The property list in `bytes`, or NULL.
inline qxcf::CFRef<CFPropertyListRef> Plist(const std::string& bytes) {
  return qxcf::adopt(
      CFPropertyListCreateWithData(nullptr, Data(bytes).get(), kCFPropertyListImmutable, nullptr, nullptr));
}

// A stream over a new socket to a loopback port, not yet connected.
inline qx::Ref<CBaseStream> SocketStream(uint16_t port, uint32_t timeoutSeconds = 20) {
  QXSocketRef socket = QXSocketCreate();
  QXSocketSetAddressLoopback(socket, port);
  QXSocketSetTimeouts(socket, timeoutSeconds, timeoutSeconds);
  QXStreamRef stream = QXStreamCreateForSocket(socket);
  QXSocketRelease(socket);
  return qx::Ref<CBaseStream>::adopt(qx::fromHandle(stream));
}

// A server listening on a loopback port of the system's choice, released at the end.
struct Server {
  Server() : ref(QXServerCreate()) {
    EXPECT_EQ(QXServerInitialize(ref), kQXNoErr);
    EXPECT_EQ(QXServerStartListening(ref, kQXServerListenLoopback, 0), kQXNoErr);
    port = QXServerGetListeningPort(ref);
  }
  ~Server() { QXServerRelease(ref); }
  QXServerRef ref;
  uint16_t port;
};

using StreamPtr = qx::StreamHolder;

// An opened memory stream over a copy of `bytes`.
inline StreamPtr Memory(const std::string& bytes) {
  StreamPtr s(QXStreamCreateForData(Data(bytes).get()));
  EXPECT_EQ(QXStreamOpen(s.get()), 0);
  return s;
}

// The bytes of a data object, or "(null)".
inline std::string Bytes(CFDataRef data) {
  if (data == nullptr) return "(null)";
  return std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(data)), static_cast<size_t>(CFDataGetLength(data)));
}
// The bytes of a memory stream's data, or "(null)" for a stream without data.
inline std::string Bytes(QXStreamRef s) { return Bytes(QXStreamGetData(s)); }

// Up to `size` bytes read through QXStreamRead, whose status must be `expected`.
inline std::string Take(QXStreamRef s, uint64_t size, int32_t expected = 0) {
  std::string buffer(size, '\0');
  uint64_t count = 0;
  EXPECT_EQ(QXStreamRead(s, buffer.data(), size, &count), expected);
  return buffer.substr(0, count);
}

// What a getter (QXStreamReadInt32, QXStreamGetPos, ...) gives, or nothing when it fails.
template <class T>
std::optional<T> Get(QXStreamRef s, int32_t (*getter)(QXStreamRef, T*)) {
  T value{};
  return getter(s, &value) == 0 ? std::optional<T>(value) : std::nullopt;
}

// One line read through QXStreamReadLine into a buffer of `start` bytes, which it grows; the
// status must be `expected`, and the buffer stays terminated and within the line cap.
inline std::string Line(QXStreamRef s, int32_t expected = 0, uint64_t start = 2) {
  uint64_t capacity = start;
  char* buffer = static_cast<char*>(std::malloc(capacity));
  EXPECT_EQ(QXStreamReadLine(s, &buffer, &capacity), expected);
  EXPECT_LT(std::strlen(buffer), capacity);
  EXPECT_LE(capacity, uint64_t{kQXStreamMaxLineLength} + 2);
  std::string text = buffer;
  std::free(buffer);
  return text;
}

// The first failure among calls made in order (a braced list is evaluated left to right), or 0.
inline int32_t FirstError(std::initializer_list<int32_t> statuses) {
  for (int32_t status : statuses)
    if (status != 0) return status;
  return 0;
}

// A stream that, like a socket, hands over at most `chunk` bytes per read, knows no length and
// ends with 10057.
class TrickleStream : public CBaseStream {
 public:
  TrickleStream(std::string bytes, size_t chunk) : mBytes(std::move(bytes)), mChunk(chunk) {}
  int32_t Open() override { return 0; }
  void Close() override {}
  int32_t ReadChunk(char* buffer, bool, uint64_t& count) override {
    if (mAt == mBytes.size()) {
      count = 0;
      return kQXErrNotConnected;
    }
    count = std::min<uint64_t>({count, mChunk, mBytes.size() - mAt});
    std::memcpy(buffer, mBytes.data() + mAt, count);
    mAt += count;
    return 0;
  }
  int32_t WriteChunk(const char*, uint64_t&) override { return kQXErrGeneric; }
  int32_t ReadChar(char& c) override {
    uint64_t n = 1;
    return ReadChunk(&c, false, n);
  }
  bool IsEOF() override { return false; }
  size_t mAt = 0;

 private:
  std::string mBytes;
  size_t mChunk;
};

}  // namespace streamtest
