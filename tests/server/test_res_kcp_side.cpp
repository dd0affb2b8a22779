// The resource server's KCP side in-process, against a scripted client built
// from the engine and a plain UDP socket (the installer's profile 0).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/net/ux_kcp_core.h"
#include "common/net/ux_kcp_udp_class.h"
#include "common/net/ux_socket_common.h"
#include "common/ux_common.h"
#include "server/res_server.h"
#include "support/archive_maker.h"
#include "support/kcp_test_peer.h"
#include "support/scoped_env.h"
#include "support/udp_peer.h"

namespace {

using namespace ux;
using qlyn_res::TRes_Server;
using qlyn_res::TRes_Server_Options;
using qlyn_test::kcp_ctl;
using qlyn_test::TTempDir;
using qlyn_test::TUdpPeer;

// A client session reduced to its wire: handshake datagrams by hand, then
// an engine with the installer's profile.
struct ScriptedClient : qlyn_test::TKcpTestPeer {
  uint32_t id;

  ScriptedClient(uint16_t port, uint32_t session_id, bool scramble = false)
      : TKcpTestPeer(scramble), id(session_id) {
    remote = qlyn_test::loopback_addr(port);
  }
  void start_engine() { TKcpTestPeer::start_engine(id, {256, 512, 0, 3, 0, 0}); }
  void send_ctl(uint8_t cmd, uint16_t cmd_id, int copies = 1) {
    for (int i = 0; i < copies; ++i) send(kcp_ctl(cmd, cmd_id, id));
  }
  void request(const std::string& text) { ASSERT_EQ(ikcp_send(kcp, text.data(), int32_t(text.size())), 0); }
};

class ResKcpSide : public ::testing::Test {
 protected:
  void SetUp() override {
    file = qlyn_test::sample_bytes(1 << 20, 3);
    qlyn_test::write_file(dir / "down/win64/p.7z", file);
    log_file = std::tmpfile();
    TRes_Server_Options opt;
    opt.root = dir.path();
    opt.port = 0;
    opt.kcp.max_sessions = 16;
    configure(opt);
    server = std::make_unique<TRes_Server>(opt, log_file);
    ASSERT_TRUE(server->open()) << server->error();
  }
  void TearDown() override {
    server.reset();
    std::fclose(log_file);
  }
  virtual void configure(TRes_Server_Options&) {}

  void step(ScriptedClient& c, int wait_ms = 0) {
    server->poll_once(0);
    c.read(wait_ms);
  }
  // Handshake of c; true when accepted.
  bool connect(ScriptedClient& c, uint16_t cmd_id = 4242) {
    c.send_ctl(kcp_ctl_connect, cmd_id, 2);
    for (int i = 0; i < 200 && c.count(kcp_ctl_accept) == 0; ++i) step(c, 1);
    if (c.count(kcp_ctl_accept) == 0) return false;
    c.start_engine();
    return true;
  }
  // Sends request text and steps until expect bytes came back (bounded).
  void exchange(ScriptedClient& c, const std::string& text, size_t expect) {
    c.request(text);
    for (int i = 0; i < 20000 && c.received.size() < expect; ++i) step(c, 1);
  }
  std::string log_text() { return qlyn_test::read_file(log_file); }
  static std::string get(const std::string& path, const std::string& extra = "") {
    return "GET " + path + " HTTP/1.1\r\nhost: 127.0.0.1\r\n" + extra + "\r\n";
  }

  TTempDir dir{"res_kcp"};
  std::string file;
  std::FILE* log_file = nullptr;
  std::unique_ptr<TRes_Server> server;
};

TEST_F(ResKcpSide, HandshakeKeepAliveAndUnknownSessions) {
  ScriptedClient c(server->port(), 123457789);
  c.send_ctl(kcp_ctl_connect, 0xABCD, 2);
  for (int i = 0; i < 100 && c.controls.size() < 2; ++i) step(c, 1);
  step(c, 20);
  ASSERT_EQ(c.controls.size(), 2u) << "one acceptance pair for the request pair";
  for (auto& a : c.controls) {
    EXPECT_EQ(a.cmd, kcp_ctl_accept);
    EXPECT_EQ(a.value1, 123457789u);
    EXPECT_EQ(a.value2, 0u);
    EXPECT_NE(a.cmd_id, 0);
  }
  EXPECT_EQ(c.controls[0].cmd_id, c.controls[1].cmd_id) << "the pair is one datagram sent twice";
  EXPECT_EQ(server->kcp().session_count(), 1u);

  c.controls.clear();
  c.send_ctl(kcp_ctl_keepalive, 77, 2);
  step(c, 20);
  step(c, 20);
  EXPECT_EQ(c.count(kcp_ctl_keepalive), 1) << "a keep-alive pair is answered once";

  ScriptedClient stranger(server->port(), 555);
  stranger.send_ctl(kcp_ctl_keepalive, 9);
  step(stranger, 50);
  ASSERT_EQ(stranger.count(kcp_ctl_close), 1) << "the server tells a client it does not know to close";
  EXPECT_EQ(stranger.controls[0].value1, 555u);
  EXPECT_EQ(server->kcp().session_count(), 1u);
}

TEST_F(ResKcpSide, DownloadsOverPlainAndScrambledSessions) {
  for (bool scrambled : {false, true}) {
    ScriptedClient c(server->port(), scrambled ? 2000001 : 2000002, scrambled);
    ASSERT_TRUE(connect(c));
    exchange(c, get("/down/win64/p.7z"), file.size() + 200);
    const size_t body = c.received.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    EXPECT_EQ(c.received.substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_EQ(c.received.substr(body + 4), file) << (scrambled ? "scrambled" : "plain");
  }
  const auto& stats = server->kcp().stats();
  EXPECT_GT(stats.datagrams_out, file.size() * 2 / 1316);
  if (server->kcp().gso()) {
    EXPECT_GT(stats.gso_messages, 0u) << "runs of full datagrams went out together";
  }
  const std::string log = log_text();
  EXPECT_NE(log.find(" udp \"GET /down/win64/p.7z HTTP/1.1\" 200 1048576"), std::string::npos) << log;
  EXPECT_NE(log.find(" udp-scrambled \"GET /down/win64/p.7z HTTP/1.1\" 200 1048576"), std::string::npos) << log;
}

class ResKcpSideWithoutGso : public ResKcpSide {
  void configure(TRes_Server_Options& opt) override { opt.kcp.udp_gso = false; }
};

TEST_F(ResKcpSideWithoutGso, SendsEveryDatagramOnItsOwn) {
  ScriptedClient c(server->port(), 2000003);
  ASSERT_TRUE(connect(c));
  exchange(c, get("/down/win64/p.7z"), file.size() + 200);
  const size_t body = c.received.find("\r\n\r\n");
  ASSERT_NE(body, std::string::npos);
  EXPECT_EQ(c.received.substr(body + 4), file);
  EXPECT_FALSE(server->kcp().gso());
  EXPECT_EQ(server->kcp().stats().gso_messages, 0u);
}

TEST_F(ResKcpSide, ConnectionCloseEndsTheSessionWithAClosePair) {
  ScriptedClient c(server->port(), 3000003);
  ASSERT_TRUE(connect(c));
  exchange(c, get("/down/win64/p.7z", "connection: close\r\nrange: bytes=0-99\r\n"), 100);
  for (int i = 0; i < 500 && c.count(kcp_ctl_close) < 2; ++i) step(c, 1);
  EXPECT_EQ(c.count(kcp_ctl_close), 2);
  EXPECT_EQ(server->kcp().session_count(), 0u);
  EXPECT_NE(c.received.find("206 Partial Content"), std::string::npos);
}

TEST_F(ResKcpSide, AClientCloseLingersThenForgetsTheSession) {
  TFakeClock clock;
  ScriptedClient c(server->port(), 4000004);
  ASSERT_TRUE(connect(c));
  c.send_ctl(kcp_ctl_close, 11, 2);
  step(c, 20);
  EXPECT_EQ(server->kcp().session_count(), 1u) << "still acknowledging during the linger";
  clock.advance(2001);
  step(c, 5);
  EXPECT_EQ(server->kcp().session_count(), 0u);
  EXPECT_EQ(c.count(kcp_ctl_close), 0) << "no close back to a client that closed";
}

TEST_F(ResKcpSide, IdleSessionsTimeOutOnTheClock) {
  TFakeClock clock;
  ScriptedClient c(server->port(), 5000005);
  ASSERT_TRUE(connect(c));
  clock.advance(29000);
  c.send_ctl(kcp_ctl_keepalive, 1);
  step(c, 20);
  clock.advance(29000);
  step(c, 5);
  EXPECT_EQ(server->kcp().session_count(), 1u) << "a keep-alive refreshes the session";
  clock.advance(1001);
  step(c, 20);
  EXPECT_EQ(server->kcp().session_count(), 0u);
  EXPECT_EQ(c.count(kcp_ctl_close), 2);
}

TEST_F(ResKcpSide, ConnectFloodIsBoundedAndSparesSessionsWithData) {
  ScriptedClient busy(server->port(), 6000006);
  ASSERT_TRUE(connect(busy));
  exchange(busy, get("/down/win64/p.7z", "range: bytes=0-9\r\n"), 10);
  ASSERT_NE(busy.received.find("206"), std::string::npos);
  TUdpPeer flood;
  for (uint32_t i = 0; i < 500; ++i) {
    flood.send_to(server->port(), kcp_ctl(kcp_ctl_connect, uint16_t(i + 1), 7000000 + i));
    if (i % 50 == 0) server->poll_once(0);
  }
  for (int i = 0; i < 20; ++i) server->poll_once(1);
  EXPECT_EQ(server->kcp().session_count(), 16u);
  EXPECT_GE(server->kcp().stats().sessions_evicted, 484u);
  busy.received.clear();
  exchange(busy, get("/down/win64/p.7z", "range: bytes=10-19\r\n"), 10);
  EXPECT_EQ(busy.received.substr(busy.received.size() - 10), file.substr(10, 10)) << "the session with data survived";
}

TEST_F(ResKcpSide, HostileDatagramsLeaveSessionsWorking) {
  ScriptedClient c(server->port(), 8000008);
  ASSERT_TRUE(connect(c));
  TUdpPeer noise;
  std::mt19937 rng(11);
  for (int i = 0; i < 3000; ++i) {
    std::string d(rng() % 64, '\0');
    for (auto& ch : d) ch = char(rng());
    if (i % 3 == 0 && d.size() >= 24) {  // KCP datagrams that name the live session
      const uint32_t conv = c.id;
      std::memcpy(d.data(), &conv, 4);
    }
    if (i % 7 == 0) d = kcp_ctl(uint8_t(rng() % 8), uint16_t(rng()), rng()).substr(0, rng() % 14);
    noise.send_to(server->port(), d);
    if (i % 100 == 0) server->poll_once(0);
  }
  server->poll_once(5);
  // Datagrams from another address never reach the session.
  exchange(c, get("/down/win64/p.7z", "range: bytes=-1000\r\n"), 1000);
  ASSERT_GE(c.received.size(), 1000u);
  EXPECT_EQ(c.received.substr(c.received.size() - 1000), file.substr(file.size() - 1000));
  EXPECT_GT(server->kcp().stats().datagrams_dropped, 1000u);
}

TEST_F(ResKcpSide, ARepeatedConnectAfterDataStartsTheSessionOver) {
  ScriptedClient c(server->port(), 9000009);
  ASSERT_TRUE(connect(c, 1));
  exchange(c, get("/down/win64/p.7z", "range: bytes=0-4\r\n"), 5);
  ASSERT_NE(c.received.find("206"), std::string::npos);
  c.controls.clear();
  c.received.clear();
  ASSERT_TRUE(connect(c, 2)) << "accepted again";
  exchange(c, get("/down/win64/p.7z", "range: bytes=5-9\r\n"), 5);
  ASSERT_GE(c.received.size(), 5u);
  EXPECT_EQ(c.received.substr(c.received.size() - 5), file.substr(5, 5)) << "the fresh engine starts at sn 0";
  EXPECT_EQ(server->kcp().session_count(), 1u);
}

}  // namespace
