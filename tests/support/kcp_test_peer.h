// Test support: one end of a KCP session reduced to its wire, for scripting
// the other end (our session class, or the resource server's KCP side): a
// UDP socket on 127.0.0.1 that sorts what arrives into control datagrams and
// KCP datagrams, and a KCP engine, started when the script says, fed with
// the latter and sending through the socket (scrambled when scrambled).
// Single-threaded: the test steps it with read().
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/net/ux_kcp_core.h"
#include "common/net/ux_kcp_udp_class.h"
#include "common/net/ux_socket_common.h"
#include "support/udp_peer.h"

namespace qlyn_test {

// A control datagram as it goes on the wire.
std::string kcp_ctl(uint8_t cmd, uint16_t cmd_id, uint32_t v1, uint32_t v2 = 0);

// Engine settings: windows in segments, then ikcp_nodelay's arguments.
struct TKcpTestProfile {
  int32_t snd_wnd;
  int32_t rcv_wnd;
  int32_t nodelay;
  int32_t interval;
  int32_t resend;
  int32_t nc;
};

class TKcpTestPeer {
 public:
  explicit TKcpTestPeer(bool scramble = false);
  ~TKcpTestPeer();
  TKcpTestPeer(const TKcpTestPeer&) = delete;
  TKcpTestPeer& operator=(const TKcpTestPeer&) = delete;

  // (Re)starts the engine for session conv (MTU 1340, as our sessions use).
  void start_engine(uint32_t conv, const TKcpTestProfile& profile);
  // One datagram, as given, to remote.
  void send(const std::string& datagram) { udp.send_to(remote, datagram); }
  // Takes in what arrived, waiting up to wait_ms for the first datagram;
  // then updates and flushes the engine and appends what it delivers to
  // received.
  void read(int wait_ms = 0);
  // How many control datagrams of cmd arrived.
  int count(uint8_t cmd) const;

  TUdpPeer udp;
  // Where datagrams go: set by the test, else the sender of the last one read.
  sockaddr_in remote{};
  bool scrambled;
  ux::PkcpCb kcp = nullptr;
  std::vector<ux::TUX_KCP_Ctl_Datagram> controls;
  std::vector<std::string> kcp_datagrams;  // as received (scrambled or not)
  std::string received;

 private:
  static bool out(const char* buf, int32_t len, ux::PkcpCb, void* user);

  ux::TUX_Socket_Encoder enc_;
};

}  // namespace qlyn_test
