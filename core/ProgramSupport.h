// For programs built on the C interface (qxtool, the tests, the benchmarks): owning holders that
// call a family's Release, and the process's peak resident memory.
#pragma once

#include <QXCore/QXImage.h>
#include <QXCore/QXStream.h>

#include <cstdint>
#include <cstdio>
#include <memory>

namespace qx {

template <auto Release>
struct HandleReleaser {
  template <class Handle>
  void operator()(Handle* handle) const noexcept {
    Release(handle);
  }
};

// Owns one reference to a handle; `Release` is its family's release function.
template <class Handle, auto Release>
using HandleHolder = std::unique_ptr<Handle, HandleReleaser<Release>>;

using ImageHolder = HandleHolder<__QXImage, QXImageRelease>;
using StreamHolder = HandleHolder<__QXStream, QXStreamRelease>;

// VmHWM of /proc/self/status in bytes (0 when unreadable).
inline int64_t PeakResidentBytes() {
  std::FILE* f = std::fopen("/proc/self/status", "re");
  if (f == nullptr) return 0;
  char line[256];
  long long kib = 0;
  while (std::fgets(line, sizeof line, f) != nullptr)
    if (std::sscanf(line, "VmHWM: %lld kB", &kib) == 1) break;
  std::fclose(f);
  return static_cast<int64_t>(kib) * 1024;
}

}  // namespace qx
