// Helpers shared by the core tests (and the tests of the services built on them).
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "cf/CFRef.h"

namespace qxtest {

// Polls `done` until it holds or `seconds` pass; returns whether it held. Tests of threads wait
// for outcomes instead of sleeping for a guessed time.
template <class Pred>
bool waitUntil(Pred done, double seconds = 10.0) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The same path under another scheme: it names no local file.
inline qxcf::CFRef<CFURLRef> webURLOf(const std::filesystem::path& path, const char* scheme = "http://localhost") {
  auto text = qxcf::adopt(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%s%s"), scheme, path.c_str()));
  return qxcf::adopt(CFURLCreateWithString(nullptr, text.get(), nullptr));
}

}  // namespace qxtest
