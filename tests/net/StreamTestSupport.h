// Helpers shared by the stream tests: an owning stream pointer and memory streams over bytes.
#pragma once

#include <QXCore/QXStream.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "cf/CFRef.h"

namespace streamtest {

struct StreamDeleter {
  void operator()(QXStreamRef s) const { QXStreamRelease(s); }
};
using StreamPtr = std::unique_ptr<__QXStream, StreamDeleter>;

// An opened memory stream over a copy of `bytes`.
inline StreamPtr Memory(const std::string& bytes) {
  qxcf::CFRef<CFDataRef> data = qxcf::adopt(
      CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()), static_cast<CFIndex>(bytes.size())));
  StreamPtr s(QXStreamCreateForData(data.get()));
  EXPECT_EQ(QXStreamOpen(s.get()), 0);
  return s;
}

// The bytes of a memory stream's data, or "(null)" for a stream without data.
inline std::string Bytes(QXStreamRef s) {
  CFDataRef data = QXStreamGetData(s);
  if (data == nullptr) return "(null)";
  return std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(data)), static_cast<size_t>(CFDataGetLength(data)));
}

}  // namespace streamtest
