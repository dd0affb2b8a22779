#include "support/kcp_test_peer.h"

#include <gtest/gtest.h>

#include "common/ux_common.h"

namespace qlyn_test {

std::string kcp_ctl(uint8_t cmd, uint16_t cmd_id, uint32_t v1, uint32_t v2) {
  const ux::TUX_KCP_Ctl_Datagram c{cmd, cmd_id, v1, v2};
  std::string s(ux::kKcpCtlSize, '\0');
  c.encode(s.data());
  return s;
}

TKcpTestPeer::TKcpTestPeer(bool scramble) : scrambled(scramble) { enc_.init_key(ux::kUX_KCP_Key_Phrase); }

TKcpTestPeer::~TKcpTestPeer() {
  if (kcp) ux::ikcp_release(kcp);
}

void TKcpTestPeer::start_engine(uint32_t conv, const TKcpTestProfile& profile) {
  if (kcp) ux::ikcp_release(kcp);
  kcp = ux::ikcp_create(conv, this);
  ux::ikcp_setoutput(kcp, &TKcpTestPeer::out);
  ux::ikcp_setmtu(kcp, 1340);
  ux::ikcp_wndsize(kcp, profile.snd_wnd, profile.rcv_wnd);
  ux::ikcp_nodelay(kcp, profile.nodelay, profile.interval, profile.resend, profile.nc);
}

bool TKcpTestPeer::out(const char* buf, int32_t len, ux::PkcpCb, void* user) {
  auto* self = static_cast<TKcpTestPeer*>(user);
  std::string d(buf, size_t(len));
  if (self->scrambled) self->enc_.Encode(d.data(), len);
  self->send(d);
  return true;
}

void TKcpTestPeer::read(int wait_ms) {
  std::string d;
  sockaddr_in from{};
  while (udp.recv(d, wait_ms, &from)) {
    wait_ms = 0;
    remote = from;
    ux::TUX_KCP_Ctl_Datagram c;
    if (ux::TUX_KCP_Ctl_Datagram::decode(d.data(), int32_t(d.size()), c)) {
      controls.push_back(c);
      continue;
    }
    kcp_datagrams.push_back(d);
    if (kcp && ux::kcp_datagram_kind(int32_t(d.size())) == ux::TUX_KCP_Datagram_Kind::kcp) {
      if (scrambled) enc_.Decode(d.data(), int32_t(d.size()));
      EXPECT_EQ(ux::ikcp_input(kcp, d.data(), uint32_t(d.size())), 0);
    }
  }
  if (!kcp) return;
  ux::ikcp_update(kcp, uint32_t(ux::tick_ms()));
  char buf[65536];
  for (int n; (n = ux::ikcp_recv(kcp, buf, sizeof buf)) > 0;) received.append(buf, size_t(n));
  ux::ikcp_flush(kcp);
}

int TKcpTestPeer::count(uint8_t cmd) const {
  int n = 0;
  for (const auto& c : controls) n += c.cmd == cmd;
  return n;
}

}  // namespace qlyn_test
