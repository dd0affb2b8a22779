#include "common/ux_base64.h"

#include <cstdint>

#include <openssl/evp.h>

namespace ux {

namespace {

int base64_value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string base64_decode_text(std::string_view s) {
  std::string clean;
  clean.reserve(s.size());
  for (char c : s) {
    const uint8_t b = uint8_t(c);
    if (b == 0 || b == 8 || b == 9 || b == 10 || b == 13 || b == 0xFE || b == 0xFF) continue;
    clean += b == ' ' ? '+' : c;
  }
  if (clean.size() < 2 || clean.size() % 4 != 0) return {};
  std::string out;
  out.reserve(clean.size() / 4 * 3);
  int group[4];
  int count = 0;
  for (char c : clean) {
    if (c == '=' && count >= 2) {
      out += char((group[0] << 2) | (group[1] >> 4));
      if (count == 3) out += char(((group[1] & 15) << 4) | (group[2] >> 2));
      return out;
    }
    const int v = base64_value(uint8_t(c));
    if (v < 0) continue;
    group[count++] = v;
    if (count == 4) {
      out += char((group[0] << 2) | (group[1] >> 4));
      out += char(((group[1] & 15) << 4) | (group[2] >> 2));
      out += char(((group[2] & 3) << 6) | group[3]);
      count = 0;
    }
  }
  return out;
}

std::string base64_encode_text(std::string_view s) {
  if (s.empty()) return {};
  std::string out(4 * ((s.size() + 2) / 3), '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(s.data()), int(s.size()));
  out.resize(size_t(n));
  return out;
}

}  // namespace ux
