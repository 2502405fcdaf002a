// Helpers shared by the core tests.
#pragma once

#include <chrono>
#include <thread>

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

}  // namespace qxtest
