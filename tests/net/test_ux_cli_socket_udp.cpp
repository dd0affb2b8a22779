#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/net/ux_cli_socket.h"
#include "common/ux_common.h"
#include "support/child_process.h"
#include "support/loopback_sockets.h"

namespace {

using namespace ux;
using qlyn_test::TBoundSocket;
using qlyn_test::free_loopback_port;

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
  TBoundSocket held;
  auto s = loopback_server(held.port());
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

// A run of datagrams sent as one segmented message (UDP GSO): datagram i is
// `segment` bytes of the letter 'a' + i, the last one `last` bytes. False
// where the kernel cannot segment.
bool send_run(int fd, int32_t to_port, int count, uint16_t segment, size_t last) {
  std::string run;
  for (int i = 0; i < count; ++i) run.append(i + 1 < count ? segment : last, char('a' + i));
  sockaddr_in to = qlyn_test::loopback_addr(to_port);
  iovec v{run.data(), run.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint16_t))] = {};
  msghdr h{};
  h.msg_name = &to;
  h.msg_namelen = sizeof to;
  h.msg_iov = &v;
  h.msg_iovlen = 1;
  h.msg_control = control;
  h.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&h);
  c->cmsg_level = SOL_UDP;
  c->cmsg_type = UDP_SEGMENT;
  c->cmsg_len = CMSG_LEN(sizeof segment);
  std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
  return ::sendmsg(fd, &h, 0) == ssize_t(run.size());
}

TEST(UdpServerSocket, BatchReadsHandOutEveryDatagramOfACoalescedRun) {
  auto rx = loopback_server();
  ASSERT_TRUE(rx->Active());
  TBoundSocket tx;
  ASSERT_GT(tx.port(), 0);
  struct TGot {
    std::string bytes;
    uint32_t ip, port;
  };
  std::vector<TGot> got;
  auto sink = [&](char* d, int32_t n, uint32_t ip, uint32_t port) { got.push_back({std::string(d, size_t(n)), ip, port}); };

  EXPECT_EQ(rx->ReadDatagrams(8, 1, sink), 0) << "nothing came";
  // The first batch read turns coalescing on; a run sent after it may arrive
  // as one piece, and is still handed out datagram by datagram.
  if (!send_run(tx.fd(), rx->Get_Bind_Port(), 30, 1340, 500)) GTEST_SKIP() << "no UDP segmentation offload here";
  ASSERT_EQ(rx->ReadDatagrams(20, 2000, sink), 20) << "at most max_count per call";
  char buf[2048];
  uint32_t ip = 0, port = 0;
  ASSERT_EQ(rx->ReadData(buf, 100, 2000, ip, port), 100) << "a single read takes the next datagram, cut to its buffer";
  EXPECT_EQ(std::string(buf, 100), std::string(100, char('a' + 20)));
  EXPECT_EQ(int32_t(port), tx.port());
  ASSERT_EQ(rx->ReadData(buf, sizeof buf, 2000, ip, port), 1340) << "the cut datagram is gone";
  EXPECT_EQ(buf[0], char('a' + 21));
  EXPECT_EQ(rx->ReadDatagrams(100, 2000, sink), 8) << "the rest, and no more";
  ASSERT_EQ(got.size(), 28u);
  for (size_t i = 0; i < got.size(); ++i) {
    const int k = int(i < 20 ? i : i + 2);
    EXPECT_EQ(got[i].bytes, std::string(k == 29 ? 500 : 1340, char('a' + k))) << "datagram " << k;
    EXPECT_EQ(got[i].ip, parse_ipv4("127.0.0.1"));
    EXPECT_EQ(int32_t(got[i].port), tx.port());
  }
  EXPECT_EQ(rx->ReadDatagrams(8, 1, sink), 0);
  EXPECT_EQ(rx->ReadData(buf, sizeof buf, 1, ip, port), 0);

  // Runs of two senders stay apart; plain datagrams come one by one.
  TBoundSocket tx2;
  ASSERT_TRUE(send_run(tx.fd(), rx->Get_Bind_Port(), 3, 700, 700));
  const sockaddr_in to = qlyn_test::loopback_addr(rx->Get_Bind_Port());
  ASSERT_EQ(::sendto(tx2.fd(), "solo", 4, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to), 4);
  got.clear();
  for (int i = 0; i < 50 && got.size() < 4; ++i) rx->ReadDatagrams(10, 100, sink);
  ASSERT_EQ(got.size(), 4u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(got[size_t(i)].bytes, std::string(700, char('a' + i)));
  EXPECT_EQ(got[3].bytes, "solo");
  EXPECT_EQ(int32_t(got[3].port), tx2.port());

  rx->SetActive(false);
  EXPECT_EQ(rx->ReadDatagrams(8, 1, sink), TUX_UDP_Cli_Socket::kNoSocketResult);
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
  TBoundSocket held;
  TUX_UDP_Cli_Socket bound;
  bound.set_dest_host("127.0.0.1");
  bound.set_dest_port(srv->Get_Bind_Port());
  bound.bind_host = "127.0.0.1";
  bound.bind_port = held.port();
  bound.SetActive(true);
  EXPECT_FALSE(bound.Active()) << "a refused bind is a failed activation";
  const int32_t wanted = free_loopback_port(SOCK_DGRAM);
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
  const int32_t port = free_loopback_port(SOCK_DGRAM);
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

// ---------------------------------------------------------------- multicast

// Joining a group and receiving from it, inside a user and network namespace
// of the test's own, so that no membership report or datagram can reach a
// real network. The outer case starts this binary again under unshare.
TEST(UdpMulticast, GroupMembershipInAPrivateNetworkNamespace) {
  if (std::getenv("QLYN_IN_NETNS")) GTEST_SKIP() << "the inner run";
  if (std::system("/usr/bin/unshare -rn true >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "user and network namespaces are not available here";
  char exe[4096];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  exe[n] = 0;
  qlyn_test::TChildProcess child({"/usr/bin/unshare", "-rn", "/usr/bin/env", "QLYN_IN_NETNS=1", exe,
                                  "--gtest_filter=UdpMulticastInNamespace.*", "--gtest_also_run_disabled_tests"});
  ASSERT_TRUE(child.running());
  EXPECT_EQ(child.wait(60000), 0) << child.output();
  EXPECT_NE(child.output().find("[  PASSED  ] 1 test"), std::string::npos) << child.output();
}

bool loopback_up_with_multicast() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq ifr{};
  std::strcpy(ifr.ifr_name, "lo");
  bool ok = ::ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags = short(ifr.ifr_flags | IFF_UP | IFF_MULTICAST);
  ok = ok && ::ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
  ::close(fd);
  return ok;
}

TEST(UdpMulticastInNamespace, DISABLED_JoinsAndReceivesOnLoopback) {
  ASSERT_NE(std::getenv("QLYN_IN_NETNS"), nullptr) << "only inside a private network namespace";
  ASSERT_TRUE(loopback_up_with_multicast());
  TUX_UDP_SVR_Socket rx;
  EXPECT_EQ(rx.Add_Multicast_channel("239.1.2.3", "127.0.0.1"), -1) << "no socket yet";
  rx.bind_host = "0.0.0.0";
  rx.SetActive(true);
  ASSERT_TRUE(rx.Active());
  EXPECT_EQ(rx.Add_Multicast_channel("239.1.2.3", "127.0.0.1"), 0);
  EXPECT_EQ(rx.Add_Multicast_channel("239.1.2.3", "127.0.0.1"), 0) << "an existing membership is joined again";
  EXPECT_EQ(rx.Add_Multicast_channel("not.a.group", "127.0.0.1"), -1);
  EXPECT_EQ(rx.Add_Multicast_channel("239.1.2.4"), -1) << "the namespace has no route for a default interface";
  std::ifstream igmp("/proc/net/igmp");
  const std::string groups((std::istreambuf_iterator<char>(igmp)), std::istreambuf_iterator<char>());
  EXPECT_NE(groups.find("030201EF"), std::string::npos) << groups;

  const int tx = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  in_addr iface{};
  iface.s_addr = parse_ipv4("127.0.0.1");
  ASSERT_EQ(::setsockopt(tx, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface), 0);
  ASSERT_EQ(sock_send_to(tx, "239.1.2.3", rx.Get_Bind_Port(), "to the group", 12), 12);
  char buf[64];
  std::string from;
  int32_t from_port = 0;
  EXPECT_EQ(rx.ReadData(buf, sizeof buf, 2000, from, from_port), 12);
  EXPECT_EQ(std::string(buf, 12), "to the group");
  ::close(tx);
}

}  // namespace
