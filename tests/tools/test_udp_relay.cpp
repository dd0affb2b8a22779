#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/server_tool.h"
#include "support/udp_peer.h"
#include "tools/udp_relay/relay_impair.h"

namespace {

using qlyn_relay::TDatagram;
using qlyn_relay::TImpairedLink;
using qlyn_relay::TImpairment;
using qlyn_test::TChildProcess;
using qlyn_test::TServerTool;
using qlyn_test::TUdpPeer;

// Every datagram the link lets out up to until_us, in departure order.
std::vector<TDatagram> drain(TImpairedLink& link, int64_t until_us) {
  std::vector<TDatagram> out;
  TDatagram d;
  while (link.take_due(until_us, d)) {
    link.note_sent(d.bytes.size());
    out.push_back(d);
  }
  return out;
}

std::string numbered(int i) { return "datagram-" + std::to_string(i); }

TEST(RelayImpairment, DelayAndJitterKeepOrder) {
  TImpairment cfg;
  cfg.delay_us = 25000;
  cfg.jitter_us = 5000;
  TImpairedLink link(cfg, 7);
  for (int i = 0; i < 200; ++i) link.submit(1000 + i * 100, numbered(i).data(), numbered(i).size(), 0);
  EXPECT_TRUE(drain(link, 1000 + 25000 - 1).empty()) << "nothing leaves before the delay";
  auto out = drain(link, 10'000'000);
  ASSERT_EQ(out.size(), 200u);
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(out[size_t(i)].bytes, numbered(i));
    EXPECT_GE(out[size_t(i)].due_us, 1000 + i * 100 + 25000);
    EXPECT_LE(out[size_t(i)].due_us, 1000 + 199 * 100 + 25000 + 5000);
  }
  EXPECT_EQ(link.held_bytes(), 0);
}

TEST(RelayImpairment, LossDuplicationReorderAreSeededAndNearTheirRates) {
  TImpairment cfg;
  cfg.loss = 0.10;
  cfg.duplicate = 0.05;
  cfg.reorder = 0.05;
  cfg.reorder_gap_us = 3000;
  auto run = [&](uint64_t seed) {
    TImpairedLink link(cfg, seed);
    for (int i = 0; i < 20000; ++i) link.submit(int64_t(i) * 100, numbered(i).data(), numbered(i).size(), 0);
    auto out = drain(link, int64_t(1) << 40);
    std::vector<std::string> order;
    for (auto& d : out) order.push_back(d.bytes);
    return std::make_pair(link.stats(), order);
  };
  auto [a, order_a] = run(42);
  auto [b, order_b] = run(42);
  auto [c, order_c] = run(43);
  EXPECT_EQ(order_a, order_b) << "same seed, same departures";
  EXPECT_NE(order_a, order_c);
  EXPECT_NEAR(double(a.lost) / 20000, 0.10, 0.015);
  EXPECT_NEAR(double(a.duplicated) / a.received, 0.05 * 0.9, 0.01);
  EXPECT_EQ(a.sent, a.received - a.lost + a.duplicated);
  // Reordered datagrams really arrive after some that came later.
  int inversions = 0;
  for (size_t i = 1; i < order_a.size(); ++i) {
    const int prev = std::stoi(order_a[i - 1].substr(9)), cur = std::stoi(order_a[i].substr(9));
    if (cur < prev) ++inversions;
  }
  EXPECT_GT(inversions, 500);
  EXPECT_GT(a.reordered, 700u);
}

TEST(RelayImpairment, RateLimitSpacesDeparturesAndDropsBeyondTheQueue) {
  TImpairment cfg;
  cfg.rate_bytes_per_s = 1'000'000;
  cfg.queue_bytes = 100'000;
  TImpairedLink link(cfg, 1);
  const std::string kb(1000, 'x');
  for (int i = 0; i < 300; ++i) link.submit(0, kb.data(), kb.size(), uint64_t(i));
  // A 100 kB queue at 1 MB/s holds 100 datagrams: 100 ms of sending.
  EXPECT_EQ(link.stats().queue_dropped, 200u);
  auto out = drain(link, 1'000'000);
  ASSERT_EQ(out.size(), 100u);
  EXPECT_EQ(out.front().due_us, 1000);
  EXPECT_EQ(out.back().due_us, 100000);
  // Once the queue has drained, new datagrams are accepted again.
  link.submit(200000, kb.data(), kb.size(), 0);
  EXPECT_EQ(drain(link, 201000).size(), 1u);
}

// ---------------------------------------------------------------- the process

class RelayProcess : public ::testing::Test {
 protected:
  std::unique_ptr<TServerTool> start(std::vector<std::string> extra, uint16_t& port) {
    std::vector<std::string> argv = {QLYN_UDP_RELAY_EXE, "--server", "127.0.0.1:" + std::to_string(server.port()),
                                     "--listen", "127.0.0.1:0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto p = std::make_unique<TServerTool>(argv);
    EXPECT_TRUE(p->listening()) << p->start_output();
    port = uint16_t(p->port_number());
    return p;
  }
  TUdpPeer server;
};

TEST_F(RelayProcess, RelaysBothWaysAndKeepsClientsApart) {
  uint16_t port = 0;
  auto relay = start({}, port);
  TUdpPeer a, b;
  ASSERT_TRUE(a.send_to(port, "from a"));
  ASSERT_TRUE(b.send_to(port, "from b"));
  std::map<std::string, sockaddr_in> upstream;
  for (int i = 0; i < 2; ++i) {
    std::string got;
    sockaddr_in from{};
    ASSERT_TRUE(server.recv(got, 5000, &from));
    upstream[got] = from;
  }
  ASSERT_EQ(upstream.size(), 2u);
  EXPECT_NE(upstream["from a"].sin_port, upstream["from b"].sin_port) << "one upstream port per client";
  ASSERT_TRUE(server.send_to(upstream["from b"], "to b"));
  ASSERT_TRUE(server.send_to(upstream["from a"], "to a"));
  std::string got;
  ASSERT_TRUE(a.recv(got, 5000));
  EXPECT_EQ(got, "to a");
  ASSERT_TRUE(b.recv(got, 5000));
  EXPECT_EQ(got, "to b");
  EXPECT_EQ(relay->stop(), 0);
  const std::string stats = relay->read_rest(2000);
  EXPECT_NE(stats.find("up: received 2 sent 2"), std::string::npos) << stats;
  EXPECT_NE(stats.find("down: received 2 sent 2"), std::string::npos) << stats;
}

TEST_F(RelayProcess, DelayHoldsDatagramsBackAndLossDropsThem) {
  uint16_t port = 0;
  auto relay = start({"--delay-up", "150", "--loss-down", "100"}, port);
  TUdpPeer client;
  const auto sent_at = std::chrono::steady_clock::now();
  ASSERT_TRUE(client.send_to(port, "late"));
  std::string got;
  sockaddr_in from{};
  ASSERT_TRUE(server.recv(got, 5000, &from));
  EXPECT_GE(std::chrono::steady_clock::now() - sent_at, std::chrono::milliseconds(150));
  ASSERT_TRUE(server.send_to(from, "never"));
  EXPECT_FALSE(client.recv(got, 300));
  relay->stop();
  const std::string stats = relay->read_rest(2000);
  EXPECT_NE(stats.find("down: received 1 sent 0 bytes 0 lost 1"), std::string::npos) << stats;
}

TEST_F(RelayProcess, RejectsBadOptions) {
  for (std::vector<std::string> argv : std::vector<std::vector<std::string>>{
           {QLYN_UDP_RELAY_EXE},
           {QLYN_UDP_RELAY_EXE, "--server", "localhost:53"},
           {QLYN_UDP_RELAY_EXE, "--server", "127.0.0.1:9", "--loss", "120"},
           {QLYN_UDP_RELAY_EXE, "--server", "127.0.0.1:9", "--delay", "-1"},
           {QLYN_UDP_RELAY_EXE, "--server", "127.0.0.1:9", "--bogus", "1"}}) {
    TChildProcess p(argv, "/dev/null");
    EXPECT_EQ(p.wait(5000), 2) << argv.back();
  }
}

}  // namespace
