// Test support: bounded waits on real time, for conditions that another
// thread or process makes true.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

namespace qlyn_test {

// Milliseconds of the monotonic clock, for deadlines of waits on real peers
// (not for timeouts of the code under test, which run on the fake clock).
inline int64_t real_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Polls pred every step_ms until it holds; false when it still does not hold
// after max_ms. The bound is for liveness (a hung test fails instead of
// hanging), not a measure of speed: keep it generous.
inline bool eventually(const std::function<bool()>& pred, int max_ms = 20000, int step_ms = 1) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(max_ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= end) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
  }
  return true;
}

}  // namespace qlyn_test
