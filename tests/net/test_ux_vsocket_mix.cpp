// TUX_VSocket_mix over both kinds: a scripted UDP peer, a scripted TCP
// server, and qlyn-resource-server serving the same file over TCP and KCP.
#include "common/net/ux_vsocket_mix.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/ux_common.h"
#include "support/archive_maker.h"
#include "support/eventually.h"
#include "support/scoped_env.h"
#include "support/scripted_tcp_server.h"
#include "support/server_tool.h"
#include "support/udp_peer.h"

namespace {

using namespace ux;
using qlyn_test::TUdpPeer;

std::string ctl(uint8_t cmd, uint16_t cmd_id, uint32_t v1) {
  TUX_KCP_Ctl_Datagram c{cmd, cmd_id, v1, 0};
  std::string s(kKcpCtlSize, '\0');
  c.encode(s.data());
  return s;
}

// Steps t until done() (called once per step: it may consume) or the
// bounded count runs out.
template <class F>
bool step_until(TUX_VSocket_mix& t, F done, int max_steps = 20000) {
  for (int i = 0; i < max_steps; ++i) {
    if (done()) return true;
    t.execute();
    if (t.socket_type() == st_tcp) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return false;
}

TEST(VSocketMix, UdpSelectionConfiguresAndStartsTheSession) {
  TUdpPeer peer;
  TUX_VSocket_mix t;
  int factory_calls = 0;
  t.func_on_create_udp = [&]() -> std::shared_ptr<IUDP_Socket> {
    ++factory_calls;
    auto s = std::make_shared<TUX_UDP_SVR_Socket>();
    s->SetActive(true);
    return s;
  };
  EXPECT_FALSE(t.connected()) << "no object yet";
  EXPECT_EQ(t.readData(nullptr, 10), 0);
  t.set_socket_type(st_udp);
  t.set_server_host("127.0.0.1:" + std::to_string(peer.port()));
  t.set_is_udp_encrypt(true);
  t.SetActive(true);
  ASSERT_NE(t.udp_session(), nullptr);
  EXPECT_EQ(t.tcp_socket(), nullptr);
  EXPECT_EQ(t.udp_session()->ServerHost(), "127.0.0.1:" + std::to_string(peer.port()));
  EXPECT_TRUE(t.udp_session()->is_udp_encrypt());
  EXPECT_TRUE(t.udp_session()->Active());
  EXPECT_EQ(factory_calls, 1);
  std::string d;
  sockaddr_in from{};
  ASSERT_TRUE(peer.recv(d, 2000, &from));
  TUX_KCP_Ctl_Datagram c;
  ASSERT_TRUE(TUX_KCP_Ctl_Datagram::decode(d.data(), int32_t(d.size()), c));
  EXPECT_EQ(c.cmd, kcp_ctl_connect);
  EXPECT_EQ(t.Send_Data("x", 1), -1) << "not connected yet";
  peer.send_to(from, ctl(kcp_ctl_accept, 9, c.value1));
  EXPECT_TRUE(step_until(t, [&] { return t.connected(); }, 200));
  EXPECT_EQ(t.Send_Data("x", 1), 1);
  t.SetActive(false);
  EXPECT_FALSE(t.udp_session()->Active());
}

TEST(VSocketMix, TcpSendBeforeConnectAndPartialHeaders) {
  std::atomic<bool> go{false};
  qlyn_test::TScriptedTcpServer server([&](qlyn_test::TScriptConn& conn, int) {
    qlyn_test::eventually([&] { return go.load(); }, 5000, 10);
    conn.send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n");
    conn.read_until("more", 5000);
    conn.send("\r\nok");
    conn.wait_peer_closed(2000);
  });
  TUX_VSocket_mix t;
  t.set_socket_type(st_tcp);
  t.set_server_host("127.0.0.1:" + std::to_string(server.port()));
  EXPECT_EQ(t.Send_Data("x", 1), -1) << "before the TCP socket has connected";
  t.SetActive(true);
  ASSERT_TRUE(step_until(t, [&] { return t.connected(); }));
  go = true;
  std::string head;
  // The partial head arrives; nothing is taken until the empty line is there.
  for (int i = 0; i < 200; ++i) {
    t.execute();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(t.waitString("\r\n\r\n", head), 0);
  EXPECT_EQ(head, "");
  EXPECT_EQ(t.send_string("more"), 4);
  t.flush_data();
  ASSERT_TRUE(step_until(t, [&] { return t.waitString("\r\n\r\n", head) > 0; }));
  EXPECT_EQ(head, "HTTP/1.1 200 OK\r\nContent-Length: 2");
  char body[8] = {};
  ASSERT_TRUE(step_until(t, [&] { return t.readData(body, 2) == 2; }));
  EXPECT_EQ(std::string(body, 2), "ok");
}

// The resource server answers the same GET over TCP and over KCP; switching
// the kind between exchanges keeps both objects but uses only the selected one.
TEST(VSocketMix, BothKindsAgainstTheResourceServer) {
  qlyn_test::TTempDir dir("vmix");
  const std::string file = qlyn_test::sample_bytes(600000, 4);
  qlyn_test::write_file(dir / "f.bin", file);
  qlyn_test::TServerTool server({QLYN_RESOURCE_SERVER_EXE, "--root", dir.path(), "--port", "0", "--quiet"});
  ASSERT_TRUE(server.listening()) << server.start_output();
  const std::string host = server.address();

  TUX_VSocket_mix t;
  int data_events = 0;
  auto exchange = [&](TUX_Socket_type kind) {
    t.SetActive(false);
    t.set_socket_type(kind);
    t.set_server_host(host);
    t.set_func_on_conn_data_come([&](void*, Tfifo_Mem_stream&) {
      ++data_events;
      return true;
    });
    t.SetActive(true);
    t.execute();
    if (!step_until(t, [&] { return t.connected(); })) return std::string("not connected");
    t.send_string("GET /f.bin HTTP/1.1\r\nhost: " + host + "\r\n\r\n");
    t.flush_data();
    std::string head;
    if (!step_until(t, [&] { return t.waitString("\r\n\r\n", head) > 0; }))
      return "no head, connected " + std::to_string(t.connected()) + " queued " + std::to_string(t.DataIn_Send_Buffer_Size());
    std::string body;
    std::vector<char> buf(65536);
    step_until(t, [&] {
      for (int32_t n; (n = t.readData(buf.data(), int32_t(buf.size()))) > 0;) body.append(buf.data(), size_t(n));
      return body.size() >= file.size();
    });
    if (body.size() != file.size()) return "body of " + std::to_string(body.size()) + " bytes";
    EXPECT_GT(t.Recv_Speed() + 1, 0u);
    return body;
  };
  const std::string over_udp = exchange(st_udp);
  EXPECT_TRUE(over_udp == file) << (over_udp.size() < 300 ? over_udp : "size " + std::to_string(over_udp.size()));
  EXPECT_NE(t.udp_session(), nullptr);
  const std::string over_tcp = exchange(st_tcp);
  EXPECT_TRUE(over_tcp == file) << (over_tcp.size() < 300 ? over_tcp : "size " + std::to_string(over_tcp.size()));
  ASSERT_NE(t.udp_session(), nullptr) << "the session object is kept";
  EXPECT_FALSE(t.udp_session()->Active()) << "but not used";
  EXPECT_TRUE(t.tcp_socket()->Active());
  EXPECT_GT(data_events, 0);
  EXPECT_TRUE(bool(t.func_on_conn_data_come()));
}

TEST(VSocketMix, SessionReconnectIsForwarded) {
  TFakeClock clock;
  TUdpPeer peer;
  TUX_VSocket_mix t;
  int reconnects = 0;
  TUX_VSocket_mix* sender = nullptr;
  t.func_on_reconnect = [&](TUX_VSocket_mix* s) {
    ++reconnects;
    sender = s;
  };
  t.set_socket_type(st_udp);
  t.set_autoReconnect(true);
  t.set_server_host("127.0.0.1:" + std::to_string(peer.port()));
  t.SetActive(true);
  EXPECT_TRUE(t.udp_session()->autoReconnect());
  std::string d;
  sockaddr_in from{};
  ASSERT_TRUE(peer.recv(d, 2000, &from));
  TUX_KCP_Ctl_Datagram c;
  ASSERT_TRUE(TUX_KCP_Ctl_Datagram::decode(d.data(), int32_t(d.size()), c));
  peer.send_to(from, ctl(kcp_ctl_accept, 9, c.value1));
  ASSERT_TRUE(step_until(t, [&] { return t.connected(); }, 200));
  clock.advance(12501);
  t.execute();
  EXPECT_EQ(reconnects, 1);
  EXPECT_EQ(sender, &t);
}

}  // namespace
