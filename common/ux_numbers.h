// ux_numbers: small integer helpers — bounds, distance, ranges, byte order.
#pragma once

#include <cstdint>

namespace ux {

inline int32_t min32(int32_t a, int32_t b) { return a < b ? a : b; }
inline int32_t max32(int32_t a, int32_t b) { return a > b ? a : b; }
inline int64_t min64(int64_t a, int64_t b) { return a < b ? a : b; }
inline int64_t max64(int64_t a, int64_t b) { return a > b ? a : b; }
inline uint64_t abs_diff(int64_t a, int64_t b) {
  return a > b ? uint64_t(a) - uint64_t(b) : uint64_t(b) - uint64_t(a);
}
inline bool in_range(int64_t x, int64_t a, int64_t b) { return a <= x && x <= b; }
inline uint16_t swap16(uint16_t v) { return __builtin_bswap16(v); }
inline uint32_t swap32(uint32_t v) { return __builtin_bswap32(v); }
inline uint64_t swap64(uint64_t v) { return __builtin_bswap64(v); }

}  // namespace ux
