#include "common/ux_random.h"

#include <functional>
#include <random>
#include <thread>

#include "common/ux_numbers.h"

namespace ux {

namespace {

uint64_t& random_state() {
  thread_local uint64_t state = [] {
    std::random_device rd;
    uint64_t s = (uint64_t(rd()) << 32) ^ rd() ^ uint64_t(std::hash<std::thread::id>()(std::this_thread::get_id()));
    return s ? s : 0x9E3779B97F4A7C15ULL;
  }();
  return state;
}

uint64_t next_random() {
  uint64_t& x = random_state();
  x ^= x << 13;
  x ^= x >> 7;
  x ^= x << 17;
  return x;
}

}  // namespace

int64_t random_between(int64_t a, int64_t b) {
  if (a == b) return a;
  const uint64_t r = next_random() % 0x10ffffffULL;
  const uint64_t span = abs_diff(a, b) + 1;
  return int64_t(uint64_t(min64(a, b)) + (span == 0 ? r : r % span));
}

std::string random_digits(int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += char('0' + random_between(i == 0 ? 1 : 0, 9));
  return out;
}

}  // namespace ux
