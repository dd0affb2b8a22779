// ux_kcp_udp_class: the KCP session over UDP — its 13-byte control datagrams
// (shared with the resource server, which answers them) and the client
// session TUX_KCP_UDP_Cli.
//
// Control datagram, exactly 13 bytes, little-endian, never scrambled:
//   cmd u8 | magic u16 (7066) | cmd_id u16 (random, never 0) | value1 u32 | value2 u32
// Commands: 1 connect request (client), 2 acceptance (server; value1 != 0
// accepts, it is the session id), 3 keep-alive (both ways), 4 close (both
// ways; value1 = session id). The client puts its session id in value1 and 0
// in value2 of everything it sends. Datagrams of 24 bytes or more are KCP
// datagrams whose conv is the session id; every other size is dropped.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ux {

inline constexpr int32_t kKcpCtlSize = 13;          // bytes of a control datagram
inline constexpr uint16_t kKcpCtlMagic = 7066;      // 0x1B9A
inline constexpr int32_t kKcpMinDatagram = 24;      // a KCP segment header

enum TUX_KCP_Ctl_Cmd : uint8_t {
  kcp_ctl_connect = 1,
  kcp_ctl_accept = 2,
  kcp_ctl_keepalive = 3,
  kcp_ctl_close = 4,
};

struct TUX_KCP_Ctl_Datagram {
  uint8_t cmd = 0;
  uint16_t cmd_id = 0;
  uint32_t value1 = 0;
  uint32_t value2 = 0;

  // Writes the 13 bytes at out.
  void encode(char* out) const noexcept;
  // Reads a control datagram; false when len is not 13 or the magic is wrong.
  [[nodiscard]] static bool decode(const char* data, int32_t len, TUX_KCP_Ctl_Datagram& out) noexcept;
};

// Kinds of datagram by size alone.
enum class TUX_KCP_Datagram_Kind { control, kcp, invalid };
inline TUX_KCP_Datagram_Kind kcp_datagram_kind(int32_t len) noexcept {
  if (len == kKcpCtlSize) return TUX_KCP_Datagram_Kind::control;
  if (len >= kKcpMinDatagram) return TUX_KCP_Datagram_Kind::kcp;
  return TUX_KCP_Datagram_Kind::invalid;
}

// A fresh command id: the low 16 bits of random_between(10000, 999999999),
// drawn again while 0.
uint16_t new_kcp_ctl_cmd_id();
// A fresh session id: random_digits(9) read as a number, plus 1000.
uint32_t new_kcp_session_id();

}  // namespace ux
