#include "common/net/ux_kcp_udp_class.h"

#include <cstring>

#include "common/ux_common.h"

namespace ux {

namespace {

inline void put_le(char* p, uint64_t v, int width) noexcept {
  for (int i = 0; i < width; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
inline uint32_t get_le(const char* p, int width) noexcept {
  uint32_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(p[i]);
  return v;
}

}  // namespace

void TUX_KCP_Ctl_Datagram::encode(char* out) const noexcept {
  std::memset(out, 0, kKcpCtlSize);
  out[0] = static_cast<char>(cmd);
  put_le(out + 1, kKcpCtlMagic, 2);
  put_le(out + 3, cmd_id, 2);
  put_le(out + 5, value1, 4);
  put_le(out + 9, value2, 4);
}

bool TUX_KCP_Ctl_Datagram::decode(const char* data, int32_t len, TUX_KCP_Ctl_Datagram& out) noexcept {
  if (data == nullptr || len != kKcpCtlSize || get_le(data + 1, 2) != kKcpCtlMagic) return false;
  out.cmd = static_cast<uint8_t>(data[0]);
  out.cmd_id = static_cast<uint16_t>(get_le(data + 3, 2));
  out.value1 = get_le(data + 5, 4);
  out.value2 = get_le(data + 9, 4);
  return true;
}

uint16_t new_kcp_ctl_cmd_id() {
  uint16_t id = 0;
  while (id == 0) id = static_cast<uint16_t>(random_between(10000, 999999999) & 0xFFFF);
  return id;
}

uint32_t new_kcp_session_id() {
  return static_cast<uint32_t>(parse_int64(random_digits(9)) + 1000);
}

}  // namespace ux
