#include "common/net/ux_socket_common.h"

#include <bit>
#include <cstring>

namespace ux {

namespace {

constexpr uint64_t P1 = 0x9E3779B185EBCA87ull;
constexpr uint64_t P2 = 0xC2B2AE3D27D4EB4Full;
constexpr uint64_t P3 = 0x165667B19E3779F9ull;
constexpr uint64_t P4 = 0x85EBCA77C2B2AE63ull;
constexpr uint64_t P5 = 0x27D4EB2F165667C5ull;

inline uint64_t rd64(const unsigned char* p) noexcept {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

inline uint32_t rd32(const unsigned char* p) noexcept {
  uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

inline uint64_t round64(uint64_t acc, uint64_t input) noexcept {
  acc += input * P2;
  acc = std::rotl(acc, 31);
  return acc * P1;
}

inline uint64_t merge64(uint64_t acc, uint64_t val) noexcept {
  acc ^= round64(0, val);
  return acc * P1 + P4;
}

}  // namespace

uint64_t ux_key_hash64(const void* data, size_t len, uint64_t seed) noexcept {
  const auto* p = static_cast<const unsigned char*>(data);
  const unsigned char* const end = p + len;
  uint64_t h;

  if (len >= 32) {
    uint64_t v1 = seed + P1 + P2;
    uint64_t v2 = seed + P2;
    uint64_t v3 = seed;
    uint64_t v4 = seed - P1;
    const unsigned char* const limit = end - 32;
    do {
      v1 = round64(v1, rd64(p));
      v2 = round64(v2, rd64(p + 8));
      v3 = round64(v3, rd64(p + 16));
      v4 = round64(v4, rd64(p + 24));
      p += 32;
    } while (p <= limit);
    h = std::rotl(v1, 1) + std::rotl(v2, 7) + std::rotl(v3, 12) + std::rotl(v4, 18);
    h = merge64(h, v1);
    h = merge64(h, v2);
    h = merge64(h, v3);
    h = merge64(h, v4);
  } else {
    h = seed + P5;
  }

  h += static_cast<uint64_t>(len);

  while (end - p >= 8) {
    h ^= round64(0, rd64(p));
    h = std::rotl(h, 27) * P1 + P4;
    p += 8;
  }
  if (end - p >= 4) {
    h = std::rotl((h ^ static_cast<uint64_t>(rd32(p))) * P1, 23) * P2 + P3;
    p += 4;
  }
  while (p < end) {
    h ^= static_cast<uint64_t>(*p) * P5;
    h = std::rotl(h, 11) * P1;
    ++p;
  }

  h ^= h >> 33;
  h *= P2;
  h ^= h >> 29;
  h *= P3;
  h ^= h >> 32;
  return h;
}

TUX_Socket_Encoder::TUX_Socket_Encoder() noexcept : TUX_Socket_Encoder(kUX_Socket_Encoder_Base) {}

TUX_Socket_Encoder::TUX_Socket_Encoder(const TKeys& base) noexcept {
  std::memcpy(keys_, base, sizeof keys_);
}

std::unique_ptr<TUX_Socket_Encoder> TUX_Socket_Encoder::create() {
  return std::make_unique<TUX_Socket_Encoder>();
}

void TUX_Socket_Encoder::init_key(std::string_view key) noexcept {
  const uint64_t h = ux_key_hash64(key.data(), key.size(), kUX_Key_Hash_Seed);
  const uint32_t a = static_cast<uint32_t>((h >> 8) & 0xFF);
  const uint32_t b = static_cast<uint32_t>(h & 0xFF);
  for (int k = 0; k < 8; ++k) keys_[k] ^= a;
  for (int k = 8; k < 16; ++k) keys_[k] ^= b;
}

uint32_t TUX_Socket_Encoder::Encode(void* buf, int32_t len) const noexcept {
  if (buf == nullptr || len <= 0) return 0;
  auto* p = static_cast<unsigned char*>(buf);
  const size_t n = static_cast<size_t>(len);
  const size_t groups = n / 4;
  uint32_t le_keys[16];
  for (int k = 0; k < 16; ++k)
    le_keys[k] = std::endian::native == std::endian::big ? __builtin_bswap32(keys_[k]) : keys_[k];

  size_t i = 0;
  for (; i + 16 <= groups; i += 16) {
    uint32_t w[16];
    std::memcpy(w, p + 4 * i, sizeof w);
    for (int k = 0; k < 16; ++k) w[k] ^= le_keys[k];
    std::memcpy(p + 4 * i, w, sizeof w);
  }
  for (; i < groups; ++i) {
    uint32_t w;
    std::memcpy(&w, p + 4 * i, 4);
    w ^= le_keys[i % 16];
    std::memcpy(p + 4 * i, &w, 4);
  }
  for (size_t j = groups * 4; j < n; ++j) p[j] ^= static_cast<unsigned char>(keys_[j % 16] & 0xFF);
  return static_cast<uint32_t>(len);
}

uint32_t TUX_Socket_Encoder::Decode(void* buf, int32_t len) const noexcept {
  return Encode(buf, len);
}

}  // namespace ux
