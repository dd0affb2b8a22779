#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <algorithm>
#include <climits>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/net/ux_cli_socket.h"
#include "common/ux_common.h"

namespace {

using namespace ux;

// ---------------------------------------------------------------- traffic meter

TEST(TrafficMeter, SteadyFlowShowsItsRateAcrossWindowRestarts) {
  TFakeClock clock;
  TEX_Summary m;
  m.reset();
  EXPECT_EQ(m.at_start, tick_ms());
  for (int i = 1; i <= 4; ++i) {
    clock.advance(100);
    m.add_bytes(1000);
    EXPECT_EQ(m.speed, 0) << "no computation before 500 ms";
  }
  clock.advance(100);
  m.add_bytes(1000);
  EXPECT_EQ(m.speed, 10000);
  EXPECT_EQ(m.avg_speed, 10000);
  int64_t restarts = 0;
  for (int i = 0; i < 400; ++i) {  // 40 s: two window restarts
    const int64_t window = m.window_start;
    clock.advance(100);
    m.add_bytes(1000);
    restarts += m.window_start != window;
    if (m.at_last_calc == tick_ms()) {
      EXPECT_NEAR(m.speed, 10000, 250) << "at " << i;
      EXPECT_EQ(m.avg_speed, 10000);
    }
  }
  EXPECT_EQ(restarts, 2);
  EXPECT_EQ(m.total_bytes, 405000);
}

TEST(TrafficMeter, RoundsToEvenCapsAndIgnoresNegativeCounts) {
  TFakeClock clock;
  TEX_Summary m;
  m.reset();
  m.add_bytes(-50);
  EXPECT_EQ(m.total_bytes, 0);
  m.add_bytes(5);
  clock.advance(2000);
  m.refresh();
  EXPECT_EQ(m.speed, 2) << "2.5 rounds to even";
  m.add_bytes(2);
  m.refresh();
  EXPECT_EQ(m.speed, 4) << "3.5 rounds to even";

  TEX_Summary fast;
  fast.reset();
  for (int i = 0; i < 4; ++i) fast.add_bytes(INT32_MAX);
  clock.advance(1);
  fast.refresh();
  EXPECT_EQ(fast.speed, INT32_MAX);
  EXPECT_EQ(fast.avg_speed, INT32_MAX);

  TEX_Summary never_reset;
  never_reset.refresh();
  EXPECT_EQ(never_reset.at_start, tick_ms()) << "the first computation starts the meter";
}

// ---------------------------------------------------------------- helpers

std::shared_ptr<TUX_UDP_SVR_Socket> loopback_server(int32_t port = 0) {
  auto s = std::make_shared<TUX_UDP_SVR_Socket>();
  s->bind_host = "127.0.0.1";
  s->bind_port = port;
  s->SetActive(true);
  return s;
}

// A loopback port held by a socket without address reuse.
struct THeldPort {
  THeldPort() {
    fd = sock_create_udp();
    sock_bind(fd, "127.0.0.1", 0);
    port = sock_local_port(fd);
  }
  ~THeldPort() { sock_close(fd); }
  int32_t fd;
  int32_t port;
};

int64_t rmem_max() {
  std::ifstream f("/proc/sys/net/core/rmem_max");
  int64_t v = 0;
  f >> v;
  return v;
}

int sockopt_int(int32_t fd, int level, int name) {
  int v = -1;
  socklen_t len = sizeof v;
  ::getsockopt(fd, level, name, &v, &len);
  return v;
}

// ---------------------------------------------------------------- server socket

TEST(UdpServerSocket, PortZeroBecomesVisibleAndReBindKeepsOrMovesIt) {
  auto s = loopback_server();
  ASSERT_TRUE(s->Active());
  const int32_t port = s->Get_Bind_Port();
  EXPECT_GT(port, 0);
  EXPECT_EQ(s->Local_port(), port);
  EXPECT_EQ(s->Socket_Kind(), 10);
  // The privileged form passes the system's ceiling; without the privilege
  // the ceiling applies.
  EXPECT_GE(sockopt_int(s->socketHandle(), SOL_SOCKET, SO_RCVBUF),
            std::min<int64_t>(TUX_UDP_SVR_Socket::kRecvBuffer, rmem_max()));
  EXPECT_EQ(sockopt_int(s->socketHandle(), SOL_SOCKET, SO_BROADCAST), 1);

  s->ReBind(-1);
  ASSERT_TRUE(s->Active());
  EXPECT_EQ(s->Get_Bind_Port(), port);
  EXPECT_EQ(s->Local_port(), port);

  auto other = loopback_server();
  const int32_t other_port = other->Get_Bind_Port();
  other->SetActive(false);
  s->ReBind(other_port);
  EXPECT_EQ(s->Local_port(), other_port);
  s->ReBind(0);
  EXPECT_GT(s->Get_Bind_Port(), 0);
  EXPECT_EQ(s->Local_port(), s->Get_Bind_Port());
}

TEST(UdpServerSocket, BindFailureLeavesItInactive) {
  THeldPort held;
  auto s = loopback_server(held.port);
  EXPECT_FALSE(s->Active());
  EXPECT_EQ(s->socketHandle(), -1);
  auto dev = std::make_shared<TUX_UDP_SVR_Socket>();
  dev->bind_host = "127.0.0.1";
  dev->bind_dev_name = "qlyn-no-such0";
  dev->SetActive(true);
  EXPECT_FALSE(dev->Active()) << "an unknown device is refused";
  dev->bind_dev_name = "lo";
  dev->SetActive(true);
  EXPECT_TRUE(dev->Active());
}

TEST(UdpServerSocket, DatagramsBetweenServersInEveryForm) {
  auto a = loopback_server();
  auto b = loopback_server();
  ASSERT_TRUE(a->Active() && b->Active());
  const int32_t pa = a->Get_Bind_Port(), pb = b->Get_Bind_Port();
  const uint32_t lo = parse_ipv4("127.0.0.1");
  char buf[2048];

  ASSERT_EQ(a->WriteDataTo("127.0.0.1", pb, "one", 3), 3);
  std::string from;
  int32_t from_port = 0;
  ASSERT_EQ(b->ReadData(buf, sizeof buf, 2000, from, from_port), 3);
  EXPECT_EQ(std::string(buf, 3), "one");
  EXPECT_EQ(from, "127.0.0.1");
  EXPECT_EQ(from_port, pa);

  const std::string big(1340, 'k');
  ASSERT_EQ(a->WriteDataTo(lo, pb, big.data(), int32_t(big.size())), 1340);
  uint32_t ip = 0, port = 0;
  ASSERT_EQ(b->ReadData(buf, sizeof buf, 2000, ip, port), 1340);
  EXPECT_EQ(std::string(buf, 1340), big);
  EXPECT_EQ(ip, lo);
  EXPECT_EQ(int32_t(port), pa);

  ASSERT_EQ(b->WriteDataTo(lo, pa, "back", 4), 4);
  ASSERT_EQ(a->ReadData(buf, sizeof buf, ip, port), 4) << "read without a wait";
  EXPECT_EQ(int32_t(port), pb);

  EXPECT_EQ(b->ReadData(buf, sizeof buf, 1, ip, port), 0) << "nothing came";
  EXPECT_EQ(ip, 0u);

  // Sends that cannot go anywhere do nothing.
  EXPECT_EQ(a->WriteDataTo(lo, 0, "x", 1), 0);
  EXPECT_EQ(a->WriteDataTo(0u, pb, "x", 1), 0);
  EXPECT_EQ(a->WriteDataTo("", pb, "x", 1), 0);
  EXPECT_EQ(a->WriteDataTo(lo, pb, nullptr, 1), 0);
  EXPECT_EQ(a->WriteDataTo(lo, pb, "x", 0), 0);
  EXPECT_EQ(a->WriteDataTo("not.an.address", pb, "x", 1), -1);
  a->SetActive(false);
  EXPECT_EQ(a->WriteDataTo(lo, pb, "x", 1), 0);
  EXPECT_EQ(a->ReadData(buf, sizeof buf, 1, ip, port), TUX_UDP_Cli_Socket::kNoSocketResult);
  EXPECT_EQ(a->ReadData(buf, sizeof buf, ip, port), TUX_UDP_Cli_Socket::kNoSocketResult);
  EXPECT_EQ(b->ReadData(buf, sizeof buf, 1, ip, port), 0) << "nothing was sent by the inactive socket";
}

TEST(UdpServerSocket, SendsFromManyThreadsWhileOneThreadReads) {
  auto rx = loopback_server();
  auto tx = loopback_server();
  ASSERT_TRUE(rx->Active() && tx->Active());
  constexpr int kThreads = 4, kEach = 100;
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t)
    senders.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        const std::string msg = std::to_string(t) + ":" + std::to_string(i);
        tx->WriteDataTo(parse_ipv4("127.0.0.1"), rx->Get_Bind_Port(), msg.data(), int32_t(msg.size()));
      }
    });
  int got = 0;
  char buf[64];
  uint32_t ip, port;
  while (got < kThreads * kEach && rx->ReadData(buf, sizeof buf, 2000, ip, port) > 0) ++got;
  for (auto& th : senders) th.join();
  EXPECT_EQ(got, kThreads * kEach);
}

// ---------------------------------------------------------------- client socket

TEST(UdpClientSocket, ConnectsToItsDestinationAndFollowsItsChanges) {
  auto s1 = loopback_server();
  auto s2 = loopback_server();
  TUX_UDP_Cli_Socket c;
  c.set_dest_host("127.0.0.1");
  c.set_dest_port(s1->Get_Bind_Port());
  c.SetActive(true);
  ASSERT_TRUE(c.Active());
  EXPECT_EQ(c.Remote_port(), s1->Get_Bind_Port());
  EXPECT_EQ(c.Get_Bind_Port(), 0) << "the client binds only when asked";
  ASSERT_EQ(c.WriteString("first"), 5);
  char buf[64];
  std::string from;
  int32_t from_port = 0;
  ASSERT_EQ(s1->ReadData(buf, sizeof buf, 2000, from, from_port), 5);
  EXPECT_EQ(from_port, c.Local_port());
  // The reply arrives on the connected client.
  ASSERT_EQ(s1->WriteDataTo(from, from_port, "reply", 5), 5);
  ASSERT_EQ(c.ReadData(buf, sizeof buf, 2000, from, from_port), 5);
  EXPECT_EQ(std::string(buf, 5), "reply");

  c.set_dest_port(s2->Get_Bind_Port());
  ASSERT_EQ(c.WriteData("second", 6), 6);
  ASSERT_EQ(s2->ReadData(buf, sizeof buf, 2000, from, from_port), 6);
  EXPECT_EQ(std::string(buf, 6), "second");
  EXPECT_EQ(c.Remote_port(), s2->Get_Bind_Port());
  EXPECT_EQ(c.WriteData(nullptr, 3), 0);
  EXPECT_EQ(c.WriteString(""), 0);
  c.SetActive(false);
  EXPECT_EQ(c.WriteString("late"), 0);
  EXPECT_EQ(c.socketHandle(), -1);
}

TEST(UdpClientSocket, ActivationRulesForDestinationsAndBinding) {
  TUX_UDP_Cli_Socket no_port;
  no_port.set_dest_host("127.0.0.1");
  no_port.SetActive(true);
  EXPECT_FALSE(no_port.Active()) << "no destination port";
  EXPECT_EQ(no_port.socketHandle(), -1);

  // Broadcast: permission, no connection (nothing is sent).
  TUX_UDP_Cli_Socket bcast;
  bcast.set_dest_host("255.255.255.255");
  bcast.set_dest_port(9);
  bcast.SetActive(true);
  ASSERT_TRUE(bcast.Active());
  EXPECT_EQ(sockopt_int(bcast.socketHandle(), SOL_SOCKET, SO_BROADCAST), 1);
  EXPECT_EQ(bcast.Remote_ip(), "");

  TUX_UDP_Cli_Socket class_e;
  class_e.set_dest_host("240.1.2.3");
  class_e.set_dest_port(9);
  class_e.SetActive(true);
  ASSERT_TRUE(class_e.Active());
  EXPECT_EQ(sockopt_int(class_e.socketHandle(), SOL_SOCKET, SO_BROADCAST), 0);
  EXPECT_EQ(class_e.Remote_ip(), "");

  auto srv = loopback_server();
  THeldPort held;
  TUX_UDP_Cli_Socket bound;
  bound.set_dest_host("127.0.0.1");
  bound.set_dest_port(srv->Get_Bind_Port());
  bound.bind_host = "127.0.0.1";
  bound.bind_port = held.port;
  bound.SetActive(true);
  EXPECT_FALSE(bound.Active()) << "a refused bind is a failed activation";
  THeldPort freed;
  const int32_t wanted = freed.port;
  sock_close(freed.fd);
  freed.fd = -1;
  bound.bind_port = wanted;
  bound.SetActive(true);
  ASSERT_TRUE(bound.Active());
  EXPECT_EQ(bound.Local_port(), wanted);
  bound.set_MulticastTTL(9);
  EXPECT_EQ(sockopt_int(bound.socketHandle(), IPPROTO_IP, IP_MULTICAST_TTL), 9);
  timeval tv{};
  socklen_t len = sizeof tv;
  ::getsockopt(bound.socketHandle(), SOL_SOCKET, SO_RCVTIMEO, &tv, &len);
  EXPECT_EQ(tv.tv_sec * 1000 + tv.tv_usec / 1000, TUX_UDP_Cli_Socket::kDefaultTimeoutMsec);
}

TEST(UdpClientSocket, RefusalIsReportedOnceAndReadingGoesOn) {
  THeldPort gone;
  const int32_t port = gone.port;
  sock_close(gone.fd);
  gone.fd = -1;
  TUX_UDP_Cli_Socket c;
  c.set_dest_host("127.0.0.1");
  c.set_dest_port(port);
  c.SetActive(true);
  ASSERT_TRUE(c.Active());
  ASSERT_EQ(c.WriteString("anyone?"), 7);
  char buf[16];
  uint32_t ip, from_port;
  int32_t r = 0;
  for (int i = 0; i < 100 && r == 0; ++i) r = c.ReadData(buf, sizeof buf, 20, ip, from_port);
  EXPECT_EQ(r, -1) << "the port-unreachable answer";
  EXPECT_EQ(c.ReadData(buf, sizeof buf, 1, ip, from_port), 0) << "the error does not stick";
  EXPECT_TRUE(c.Active());
}

}  // namespace
