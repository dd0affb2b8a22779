// Test support: waiting for a condition that another thread makes true.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace qlyn_test {

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
