// ux_random: non-cryptographic random numbers (a per-thread xorshift
// generator seeded from the system).
#pragma once

#include <cstdint>
#include <string>

namespace ux {

// A number from min(a, b) to max(a, b); spans beyond 2^28 are not all reached.
int64_t random_between(int64_t a, int64_t b);
// n decimal digits, the first one 1 to 9.
std::string random_digits(int n);

}  // namespace ux
