// TUX_KCP_UDP_Cli against a scripted UDP peer on loopback.
#include "common/net/ux_kcp_udp_class.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/ux_common.h"
#include "support/eventually.h"
#include "support/kcp_test_peer.h"
#include "support/udp_peer.h"

namespace {

using namespace ux;
using qlyn_test::kcp_ctl;
using qlyn_test::TUdpPeer;

std::string hex(const std::string& s) {
  static const char* d = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (!out.empty()) out += ' ';
    out += d[c >> 4];
    out += d[c & 15];
  }
  return out;
}

TEST(KcpCtlDatagram, WireExampleAndDecoding) {
  EXPECT_EQ(hex(kcp_ctl(kcp_ctl_connect, 0xABCD, 123457789)), "01 9A 1B CD AB FD D0 5B 07 00 00 00 00");
  TUX_KCP_Ctl_Datagram c;
  const std::string ok = kcp_ctl(kcp_ctl_accept, 7, 99, 5);
  ASSERT_TRUE(TUX_KCP_Ctl_Datagram::decode(ok.data(), kKcpCtlSize, c));
  EXPECT_EQ(c.cmd, kcp_ctl_accept);
  EXPECT_EQ(c.cmd_id, 7);
  EXPECT_EQ(c.value1, 99u);
  EXPECT_EQ(c.value2, 5u);
  std::string bad_magic = ok;
  bad_magic[2] = 0x1C;
  EXPECT_FALSE(TUX_KCP_Ctl_Datagram::decode(bad_magic.data(), kKcpCtlSize, c));
  EXPECT_FALSE(TUX_KCP_Ctl_Datagram::decode(ok.data(), 12, c));
  EXPECT_EQ(kcp_datagram_kind(13), TUX_KCP_Datagram_Kind::control);
  EXPECT_EQ(kcp_datagram_kind(20), TUX_KCP_Datagram_Kind::invalid);
  EXPECT_EQ(kcp_datagram_kind(24), TUX_KCP_Datagram_Kind::kcp);
  for (int i = 0; i < 1000; ++i) {
    EXPECT_NE(new_kcp_ctl_cmd_id(), 0);
    const uint32_t id = new_kcp_session_id();
    EXPECT_GE(id, 100001000u);
    EXPECT_LE(id, 1000000999u);
  }
}

// ---------------------------------------------------------------- scripted peer

// The server end, scripted: records what the session sends and, once told
// to, runs a KCP engine for the session (fast profile).
struct Peer : qlyn_test::TKcpTestPeer {
  std::string host() const { return "127.0.0.1:" + std::to_string(udp.port()); }
  uint32_t session_id() const { return controls.empty() ? 0 : controls.front().value1; }
  void start_engine(uint32_t conv) { TKcpTestPeer::start_engine(conv, {512, 512, 1, 10, 2, 1}); }
};

struct Events {
  std::vector<std::pair<std::string, int32_t>> seen;
  int data_calls = 0;
  void attach(TUX_KCP_UDP_Cli& s) {
    s.events.onConnected = [this](TUX_KCP_UDP_Cli*, int32_t c) { seen.emplace_back("connected", c); };
    s.events.onConnectError = [this](TUX_KCP_UDP_Cli*, int32_t c) { seen.emplace_back("connect-error", c); };
    s.events.onDisconnected = [this](TUX_KCP_UDP_Cli*, int32_t c) { seen.emplace_back("disconnected", c); };
    s.events.onReconnect = [this](TUX_KCP_UDP_Cli*, int32_t c) { seen.emplace_back("reconnect", c); };
    s.events.onDataCome = [this](void*, Tfifo_Mem_stream&) {
      ++data_calls;
      return true;
    };
  }
  int count(const std::string& what) const {
    int n = 0;
    for (auto& e : seen) n += e.first == what;
    return n;
  }
};

class KcpSession : public ::testing::Test {
 protected:
  void SetUp() override {
    ev.attach(s);
    s.SetServerHost(peer.host());
  }
  // Activates and answers the connect request with an acceptance.
  void connect() {
    s.SetActive(true);
    peer.read(1000);
    ASSERT_GE(peer.count(kcp_ctl_connect), 1);
    peer.send(kcp_ctl(kcp_ctl_accept, 500, peer.session_id()));
    for (int i = 0; i < 100 && !s.connected(); ++i) s.execute();
    ASSERT_TRUE(s.connected());
    id = peer.session_id();
    peer.controls.clear();
  }
  void step(int n = 1) {
    for (int i = 0; i < n; ++i) {
      s.execute();
      peer.read();
    }
  }

  Peer peer;
  Events ev;  // outlives the session, whose destructor may still raise events
  TUX_KCP_UDP_Cli s{false};
  uint32_t id = 0;
};

TEST_F(KcpSession, AServerThatNeverAnswers) {
  TFakeClock clock;
  s.SetActive(true);
  peer.read(1000);
  ASSERT_EQ(peer.count(kcp_ctl_connect), 2) << "a pair at activation";
  EXPECT_EQ(peer.controls[0].cmd_id, peer.controls[1].cmd_id);
  EXPECT_EQ(peer.controls[0].value2, 0u);
  step();
  EXPECT_EQ(peer.count(kcp_ctl_connect), 2) << "nothing before a second has passed";
  for (int attempt = 1; attempt <= 30; ++attempt) {
    clock.advance(1001);
    step();
    ASSERT_EQ(peer.count(kcp_ctl_connect), 2 + attempt) << "one request per overdue second";
  }
  EXPECT_TRUE(s.Active());
  EXPECT_EQ(ev.count("connect-error"), 0);
  clock.advance(1001);
  step();
  EXPECT_EQ(ev.count("connect-error"), 1);
  EXPECT_EQ(ev.seen.back().second, -101);
  EXPECT_FALSE(s.Active());
  EXPECT_EQ(peer.count(kcp_ctl_close), 2) << "deactivation sends a close pair";
  EXPECT_EQ(ev.count("disconnected"), 0) << "never connected";
}

TEST_F(KcpSession, GivingUpWithAutoReconnectStartsOver) {
  TFakeClock clock;
  s.SetautoReconnect(true);
  s.SetActive(true);
  for (int i = 0; i < 31; ++i) {
    clock.advance(1001);
    s.execute();
  }
  EXPECT_EQ(ev.count("connect-error"), 1);
  ASSERT_EQ(ev.count("reconnect"), 1);
  EXPECT_EQ(ev.seen.back().second, -104);
  EXPECT_TRUE(s.Active());
  peer.read(100);
  peer.controls.clear();
  s.execute();  // the stored handshake time is far from now: the next request follows at once
  peer.read(100);
  EXPECT_EQ(peer.count(kcp_ctl_connect), 1);
}

TEST_F(KcpSession, AcceptanceRules) {
  s.SetActive(true);
  peer.read(1000);
  const uint32_t id = peer.session_id();
  peer.send(kcp_ctl(kcp_ctl_accept, 10, 0));
  step(3);
  EXPECT_FALSE(s.connected()) << "value 1 = 0 does not accept";
  peer.send(kcp_ctl(kcp_ctl_accept, 10, id));
  step(3);
  EXPECT_FALSE(s.connected()) << "the id of a recent control datagram is ignored";
  // Wrong magic, a 20-byte datagram, a KCP datagram before acceptance.
  std::string wrong = kcp_ctl(kcp_ctl_accept, 11, id);
  wrong[1] = 0;
  peer.send(wrong);
  peer.send(std::string(20, '\x02'));
  std::string early(24, '\0');
  std::memcpy(early.data(), &id, 4);
  early[4] = 81;
  peer.send(early);
  step(3);
  EXPECT_FALSE(s.connected());
  // From another address, even a valid acceptance is not taken.
  TUdpPeer stranger;
  stranger.send_to(peer.remote, kcp_ctl(kcp_ctl_accept, 12, id));
  step(3);
  EXPECT_FALSE(s.connected()) << "datagrams from other sources are dropped";
  peer.send(kcp_ctl(kcp_ctl_accept, 13, id));
  step(3);
  ASSERT_TRUE(s.connected());
  EXPECT_EQ(ev.count("connected"), 1);
  EXPECT_EQ(ev.seen.back().second, 0);
  peer.send(kcp_ctl(kcp_ctl_accept, 14, id));
  step(3);
  EXPECT_EQ(ev.count("connected"), 1) << "a second acceptance changes nothing";
}

TEST_F(KcpSession, KeepAliveTimingAndTheDeadSession) {
  TFakeClock clock;
  connect();
  auto keepalives = [&] { return peer.count(kcp_ctl_keepalive); };
  clock.advance(2000);
  step();
  EXPECT_EQ(keepalives(), 0);
  clock.advance(1);
  step();
  EXPECT_EQ(keepalives(), 2) << "a pair once 2000 ms have passed";
  EXPECT_EQ(peer.controls.back().value1, id);
  EXPECT_EQ(peer.controls.back().value2, 0u);
  clock.advance(999);
  step();
  EXPECT_EQ(keepalives(), 2);
  clock.advance(2);
  step();
  EXPECT_EQ(keepalives(), 4) << "then about every second";
  // An answer refreshes liveness.
  peer.send(kcp_ctl(kcp_ctl_keepalive, 900, 1));
  step();
  clock.advance(2000);
  step();
  EXPECT_EQ(keepalives(), 4);
  // No more answers: dead after 12500 ms.
  clock.advance(12500 - 2000);
  step();
  EXPECT_TRUE(s.connected());
  clock.advance(1);
  step();
  EXPECT_FALSE(s.connected());
  EXPECT_FALSE(s.Active());
  EXPECT_EQ(ev.count("disconnected"), 1);
  EXPECT_EQ(ev.seen.back(), std::make_pair(std::string("disconnected"), -102));
}

TEST_F(KcpSession, ADeadSessionWithAutoReconnectGoesBackToTheHandshake) {
  TFakeClock clock;
  s.SetautoReconnect(true);
  connect();
  clock.advance(12501);
  step();
  EXPECT_EQ(ev.count("disconnected"), 1);
  EXPECT_EQ(ev.count("reconnect"), 1);
  EXPECT_TRUE(s.Active());
  EXPECT_FALSE(s.connected());
  peer.controls.clear();
  step();
  ASSERT_EQ(peer.count(kcp_ctl_connect), 1);
  EXPECT_EQ(peer.controls.back().value1, id) << "the same session id";
  peer.send(kcp_ctl(kcp_ctl_accept, 77, id));
  step(3);
  EXPECT_TRUE(s.connected());
  s.SetActive(false);
  EXPECT_EQ(ev.count("disconnected"), 1) << "no -103 for a session that already reported its loss";
}

TEST_F(KcpSession, DataBothWaysAndScrambling) {
  for (bool scrambled : {false, true}) {
    SCOPED_TRACE(scrambled);
    Peer p2;
    TUX_KCP_UDP_Cli c(false);
    c.SetServerHost(p2.host());
    c.Setis_udp_encrypt(scrambled);
    p2.scrambled = scrambled;
    c.SetActive(true);
    p2.read(1000);
    const uint32_t id = p2.session_id();
    p2.start_engine(id);
    p2.send(kcp_ctl(kcp_ctl_accept, 3, id));
    for (int i = 0; i < 100 && !c.connected(); ++i) c.execute();
    ASSERT_TRUE(c.connected());
    const std::string request = "GET / HTTP/1.1\r\n\r\n";
    ASSERT_EQ(c.sendString(request), int32_t(request.size()));
    c.flush();
    p2.read(1000);
    EXPECT_EQ(p2.received, request);
    ASSERT_FALSE(p2.kcp_datagrams.empty());
    uint32_t conv = 0;
    std::memcpy(&conv, p2.kcp_datagrams[0].data(), 4);
    EXPECT_EQ(conv == id, !scrambled) << "the conv field is scrambled exactly when the session is";
    std::string reply(300000, '\0');
    for (size_t i = 0; i < reply.size(); ++i) reply[i] = char(i * 131 + (i >> 9));
    ASSERT_EQ(ikcp_send(p2.kcp, reply.data(), int32_t(reply.size() / 2)), 0);
    ASSERT_EQ(ikcp_send(p2.kcp, reply.data() + reply.size() / 2, int32_t(reply.size() - reply.size() / 2)), 0);
    ikcp_flush(p2.kcp);
    std::string got;
    char buf[65536];
    for (int i = 0; i < 5000 && got.size() < reply.size(); ++i) {
      c.execute();
      p2.read();
      for (int32_t n; (n = c.readData(buf, sizeof buf)) > 0;) got.append(buf, size_t(n));
    }
    EXPECT_EQ(got, reply);
    EXPECT_GT(c.recv_speed(), 0);
  }
}

// A KCP datagram with one PUSH segment of the session: sn, payload.
std::string push_datagram(uint32_t conv, uint32_t sn, const std::string& payload) {
  std::string d(24, '\0');
  auto put = [&](size_t at, uint32_t v, int width) {
    for (int i = 0; i < width; ++i) d[at + size_t(i)] = char(v >> (8 * i));
  };
  put(0, conv, 4);
  put(4, 81, 1);     // PUSH
  put(6, 512, 2);    // window
  put(12, sn, 4);
  put(20, uint32_t(payload.size()), 4);
  return d + payload;
}

TEST_F(KcpSession, AStepTakesABoundedBatchOfDatagrams) {
  connect();
  constexpr int kSent = 300;
  for (int i = 0; i < kSent; ++i) peer.send(push_datagram(id, uint32_t(i), std::string(1000, char('A' + i % 26))));
  std::vector<int32_t> per_step;
  std::string got;
  char buf[65536];
  for (int i = 0; i < 10 && got.size() < size_t(kSent) * 1000; ++i) {
    s.execute();
    size_t before = got.size();
    for (int32_t n; (n = s.readData(buf, sizeof buf)) > 0;) got.append(buf, size_t(n));
    per_step.push_back(int32_t((got.size() - before) / 1000));
  }
  ASSERT_EQ(got.size(), size_t(kSent) * 1000);
  const int32_t k = TUX_KCP_UDP_Cli::kDatagramsPerStep;
  ASSERT_GE(per_step.size(), 3u);
  EXPECT_EQ(per_step[0], k) << "the first step stops at its bound";
  EXPECT_EQ(per_step[1], k);
  EXPECT_EQ(per_step[2], kSent - 2 * k);
  for (int i = 0; i < kSent; ++i) ASSERT_EQ(got[size_t(i) * 1000], char('A' + i % 26)) << "in order, none lost";
  peer.read(100);
  EXPECT_FALSE(peer.kcp_datagrams.empty()) << "every step acknowledges what it took";
}

TEST_F(KcpSession, CloseWithQueuedDataDrainsThenDeactivates) {
  connect();
  peer.start_engine(id);
  const std::string mb(1 << 20, 'q');
  ASSERT_EQ(s.SendData(mb.data(), int32_t(mb.size())), int32_t(mb.size()));
  s.close();
  peer.read(200);
  EXPECT_EQ(peer.count(kcp_ctl_close), 2) << "a close pair at once";
  for (int i = 0; i < 20000 && s.Active(); ++i) step();
  EXPECT_FALSE(s.Active());
  EXPECT_EQ(peer.received, mb) << "every queued byte was delivered before the end";
  peer.read(200);
  EXPECT_EQ(peer.count(kcp_ctl_close), 4) << "a second close pair at deactivation";
  EXPECT_EQ(ev.count("disconnected"), 1);
  EXPECT_EQ(ev.seen.back().second, -103);
}

TEST_F(KcpSession, ServerCloseAppliesOnlyToItsSession) {
  connect();
  peer.send(kcp_ctl(kcp_ctl_close, 20, id + 1));
  step(3);
  EXPECT_TRUE(s.Active());
  peer.send(kcp_ctl(kcp_ctl_close, 21, id));
  step(3);
  EXPECT_FALSE(s.Active());
}

TEST_F(KcpSession, AServerCloseBehindTheLastBytesLosesNoneOfThem) {
  connect();
  // The answer's last bytes and the close come in one batch: one step takes
  // both, and the bytes must outlive the close until the owner reads them.
  for (int i = 0; i < 40; ++i) peer.send(push_datagram(id, uint32_t(i), std::string(1000, char('a' + i % 26))));
  peer.send(kcp_ctl(kcp_ctl_close, 30, id));
  peer.send(kcp_ctl(kcp_ctl_close, 30, id));
  s.execute();
  ASSERT_TRUE(s.Active()) << "unread bytes keep the session open";
  s.execute();
  EXPECT_TRUE(s.connected());
  std::string got;
  char buf[65536];
  for (int32_t n; (n = s.readData(buf, sizeof buf)) > 0;) got.append(buf, size_t(n));
  ASSERT_EQ(got.size(), 40000u);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(got[size_t(i) * 1000], char('a' + i % 26));
  s.execute();
  EXPECT_FALSE(s.Active()) << "read out, the close completes";
  EXPECT_EQ(ev.count("disconnected"), 1);
}

TEST_F(KcpSession, SendDataPushesBackBeyondThreeMebibytes) {
  EXPECT_EQ(s.SendData("x", 1), 0) << "not active";
  connect();
  const std::string four(4 << 20, 'f');
  EXPECT_EQ(s.SendData(nullptr, 5), 0);
  EXPECT_EQ(s.SendData(four.data(), 0), 0);
  EXPECT_EQ(s.SendData(four.data(), int32_t(four.size())), int32_t(four.size())) << "accepted whole";
  EXPECT_EQ(s.SendData("y", 1), 0);
  EXPECT_EQ(s.sendString(""), 0);
  EXPECT_GE(s.DataIn_Send_Buffer_Size(), uint32_t(four.size()));
  peer.start_engine(id);
  int accepted = 0;
  for (int i = 0; i < 20000 && accepted == 0; ++i) {
    step();
    accepted = s.SendData("y", 1);
  }
  EXPECT_EQ(accepted, 1) << "accepted again once the queue drained";
  s.SetActive(false);
  EXPECT_EQ(s.DataIn_Send_Buffer_Size(), 0u);
}

TEST_F(KcpSession, ServerHostPorts) {
  TUX_KCP_UDP_Cli c(false);
  c.SetServerHost("127.0.0.1");
  EXPECT_EQ(c.dest_port_value(), 10000u);
  c.SetServerHost("127.0.0.1:abc");
  EXPECT_EQ(c.dest_port_value(), 10000u);
  c.SetServerHost("127.0.0.2:56020");
  EXPECT_EQ(c.dest_port_value(), 56020u);
  EXPECT_EQ(c.dest_ip_value(), parse_ipv4("127.0.0.2"));
  EXPECT_EQ(c.ServerHost(), "127.0.0.2:56020");
}

TEST_F(KcpSession, ReadStringEol) {
  connect();
  peer.start_engine(id);
  auto deliver = [&](const std::string& bytes) {
    ASSERT_EQ(ikcp_send(peer.kcp, bytes.data(), int32_t(bytes.size())), 0);
    ikcp_flush(peer.kcp);
    for (int i = 0; i < 200 && !s.is_have_data(); ++i) step();
  };
  deliver("abc");
  EXPECT_EQ(s.readStringEol("\r\n"), "");
  EXPECT_TRUE(s.is_have_data()) << "nothing removed";
  deliver("\r\nd");
  for (int i = 0; i < 20; ++i) step();
  EXPECT_EQ(s.readStringEol("\r\n"), "abc");
  EXPECT_EQ(s.readStringEol(""), "d");
  EXPECT_FALSE(s.is_have_data());
  EXPECT_GT(ev.data_calls, 0);
}

TEST_F(KcpSession, HostileDatagramsFromTheServerAddress) {
  connect();
  peer.start_engine(id);
  std::mt19937 rng(3);
  for (int i = 0; i < 2000; ++i) {
    std::string d(size_t(rng() % 48), '\0');
    for (auto& c : d) c = char(rng());
    if (d.size() >= 24 && i % 2) std::memcpy(d.data(), &id, 4);
    if (i % 5 == 0) d = kcp_ctl(uint8_t(rng() % 3 + 5), uint16_t(rng()), rng());  // unknown commands
    peer.send(d);
    if (i % 100 == 0) s.execute();
  }
  for (int i = 0; i < 200; ++i) s.execute();
  EXPECT_TRUE(s.connected());
  const std::string msg = "still fine";
  ASSERT_EQ(ikcp_send(peer.kcp, msg.data(), int32_t(msg.size())), 0);
  ikcp_flush(peer.kcp);
  std::string got;
  char buf[64];
  for (int i = 0; i < 500 && got.size() < msg.size(); ++i) {
    step();
    for (int32_t n; (n = s.readData(buf, sizeof buf)) > 0;) got.append(buf, size_t(n));
  }
  EXPECT_EQ(got, msg);
}

// Every session binds its own ephemeral port; sessions that shared one would
// take each other's datagrams and starve.
TEST(KcpSessionSocket, EverySessionSocketHasAPortOfItsOwn) {
  std::vector<std::shared_ptr<TUX_UDP_SVR_Socket>> sockets;
  std::vector<int32_t> ports;
  for (int i = 0; i < 1000; ++i) {
    auto s = std::make_shared<TUX_UDP_SVR_Socket>();
    s->SetActive(true);
    ASSERT_TRUE(s->Active());
    ports.push_back(s->Get_Bind_Port());
    sockets.push_back(s);
  }
  std::sort(ports.begin(), ports.end());
  EXPECT_EQ(std::adjacent_find(ports.begin(), ports.end()), ports.end());
}

TEST(KcpSessionThread, OwnThreadStepsAndStopsSafely) {
  Peer peer;
  std::atomic<int> connected{0};
  for (int round = 0; round < 3; ++round) {
    auto s = std::make_unique<TUX_KCP_UDP_Cli>(true);
    s->events.onConnected = [&](TUX_KCP_UDP_Cli*, int32_t) { connected++; };
    s->SetServerHost(peer.host());
    s->SetActive(true);
    peer.controls.clear();
    peer.read(1000);
    ASSERT_GE(peer.count(kcp_ctl_connect), 1);
    peer.send(kcp_ctl(kcp_ctl_accept, uint16_t(100 + round), peer.session_id()));
    ASSERT_TRUE(qlyn_test::eventually([&] { return s->connected(); }, 2000)) << "stepped by its own thread";
    // Writers on this thread while the session's thread steps.
    for (int i = 0; i < 100; ++i) s->sendString("data");
    if (round == 0) s->SetActive(false);  // deactivated from another thread
    if (round == 1) {
      s->SetActive(false);
      s->SetActive(true);  // the same thread serves the next activation
      for (int i = 0; i < 2000 && peer.count(kcp_ctl_connect) < 3; ++i) peer.read(1);
    }
    s.reset();  // destroyed while its thread runs
  }
  EXPECT_EQ(connected.load(), 3);
}

TEST(KcpSessionThread, DestroyedThroughTheActiveBaseDeleter) {
  Peer peer;
  auto s = TActive_Base_Class::Create<TUX_KCP_UDP_Cli>(true);
  s->SetServerHost(peer.host());
  s->SetActive(true);
  peer.read(1000);
  peer.send(kcp_ctl(kcp_ctl_accept, 5, peer.session_id()));
  EXPECT_TRUE(qlyn_test::eventually([&] { return s->connected(); }, 2000));
  s.reset();
  peer.read(200);
  EXPECT_EQ(peer.count(kcp_ctl_close), 2);
}

}  // namespace
