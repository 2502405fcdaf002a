// Helpers shared by the stream, socket, image-stream and peer tests: an owning stream pointer,
// memory streams over bytes, a socket-like stream, reads, typed values and lines as values, a
// status check for a series of calls, and running peer programs.
#pragma once

#include <QXCore/QXStream.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>

#include "cf/CFRef.h"
#include "core/ProgramSupport.h"

#include <sys/wait.h>

#include <cstdio>
#include <utility>

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


using StreamPtr = qx::StreamHolder;

// An opened memory stream over a copy of `bytes`.
inline StreamPtr Memory(const std::string& bytes) {
  qxcf::CFRef<CFDataRef> data = qxcf::adopt(
      CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()), static_cast<CFIndex>(bytes.size())));
  StreamPtr s(QXStreamCreateForData(data.get()));
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
