#include "common/net/ux_socketbase_dns.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <thread>

#include "common/ux_common.h"
#include "support/dns_responders.h"
#include "support/eventually.h"
#include "support/loopback_sockets.h"

namespace {

using namespace ux;
using qlyn_test::TDnslibResponder;
using qlyn_test::TScriptedResponder;

uint32_t ip(const char* dotted) { return parse_ipv4(dotted); }

// No lookup of this binary may leave the machine: the platform resolver knows
// only "localhost" and the fallback is off unless a test points it at a
// responder of its own.
TDNS_Settings safe_settings() {
  TDNS_Settings s;
  s.platform_lookup = [](const std::string& n) -> uint32_t {
    return ci_equal(n, "localhost") ? parse_ipv4("127.0.0.1") : 0;
  };
  s.fallback_enabled = false;
  s.fallback_primary = "127.0.0.1";
  s.fallback_secondary = "127.0.0.1";
  s.fallback_port = 0;
  return s;
}

class SafeResolution : public ::testing::Environment {
 public:
  void SetUp() override { set_dns_settings(safe_settings()); }
};
const auto* const g_safe_env = ::testing::AddGlobalTestEnvironment(new SafeResolution);

// ---------------------------------------------------------------- DNS message builders

std::string be16(uint16_t v) { return {char(v >> 8), char(v & 0xFF)}; }

std::string encoded_name(std::string_view name) {
  std::string out;
  while (!name.empty()) {
    const size_t dot = name.find('.');
    const std::string_view label = name.substr(0, dot);
    out += char(label.size());
    out.append(label);
    if (dot == std::string_view::npos) break;
    name.remove_prefix(dot + 1);
  }
  return out + '\0';
}

const std::string kPtrQuestion = std::string("\xC0\x0C", 2);  // the question's name

std::string rr(const std::string& owner, uint16_t type, const std::string& rdata) {
  return owner + be16(type) + be16(1) + std::string("\0\0\0\x3C", 4) + be16(uint16_t(rdata.size())) + rdata;
}

std::string a_rdata(const char* dotted) {
  const uint32_t v = parse_ipv4(dotted);
  return std::string(reinterpret_cast<const char*>(&v), 4);
}

// A response to query carrying answers (flags: response, recursion, rcode).
std::string reply_to(const std::string& query, const std::vector<std::string>& answers,
                     uint16_t rcode = 0) {
  std::string r = query.substr(0, 2) + be16(uint16_t(0x8180 | rcode)) + be16(1) +
                  be16(uint16_t(answers.size())) + be16(0) + be16(0) + query.substr(12);
  for (const std::string& a : answers) r += a;
  return r;
}

// parse_dns_reply on an exact-size heap copy, so that any read past the end
// is caught by AddressSanitizer.
uint32_t parse_exact(const std::string& reply, std::string_view name) {
  std::unique_ptr<char[]> copy(new char[reply.size() ? reply.size() : 1]);
  std::memcpy(copy.get(), reply.data(), reply.size());
  TDNS_Response r;
  return parse_dns_reply(std::string_view(copy.get(), reply.size()), name, kDNS_Query_Id, r);
}

int unused_udp_port() { return qlyn_test::free_loopback_port(SOCK_DGRAM); }

// ---------------------------------------------------------------- addresses

TEST(Ipv4Text, ParsesFourDottedPartsIntoNetworkOrder) {
  const uint32_t v = parse_ipv4("192.168.1.20");
  uint8_t b[4];
  std::memcpy(b, &v, 4);
  EXPECT_EQ(b[0], 192);
  EXPECT_EQ(b[1], 168);
  EXPECT_EQ(b[2], 1);
  EXPECT_EQ(b[3], 20);
  EXPECT_EQ(ipv4_text(v), "192.168.1.20");
  EXPECT_EQ(parse_ipv4("1.2.3.4.5"), parse_ipv4("1.2.3.4"));
  EXPECT_EQ(parse_ipv4("255.255.255.255"), kIPv4AllOnes);
  EXPECT_EQ(parse_ipv4("0.0.0.0"), 0u);
}

TEST(Ipv4Text, RejectsEverythingElse) {
  for (const char* bad : {"", "1.2.3", "1.2.3.256", "256.1.1.1", "1..2.3", "a.b.c.d", "1.2.3.-4",
                          "0x1.2.3.4", " 1.2.3.4", "1.2.3.4 ", "1.2.3.4:80", "1.2.3.0004", "localhost"})
    EXPECT_EQ(parse_ipv4(bad), 0u) << bad;
  EXPECT_TRUE(is_ipv4_class_e_or_broadcast("240.0.0.1"));
  EXPECT_TRUE(is_ipv4_class_e_or_broadcast("255.255.255.255"));
  EXPECT_FALSE(is_ipv4_class_e_or_broadcast("239.255.255.255"));
  EXPECT_FALSE(is_ipv4_class_e_or_broadcast("host.example"));
}

// ---------------------------------------------------------------- primitives

TEST(SocketPrimitives, InvalidHandlesAndArgumentsFailWithoutHarm) {
  char buf[8] = {};
  EXPECT_EQ(sock_set_option(-1, kSockOptReuseAddr, 1), -1);
  EXPECT_EQ(sock_bind(-1, "127.0.0.1", 0), -1);
  EXPECT_EQ(sock_recv(-1, buf, 8), -1);
  EXPECT_EQ(sock_send(-1, buf, 8), -1);
  EXPECT_EQ(sock_close(-1), -1);
  EXPECT_EQ(sock_local_ip(-1), "");
  EXPECT_EQ(sock_remote_ip(0), "");
  EXPECT_EQ(sock_local_port(-1), 0);
  EXPECT_EQ(sock_remote_port(0), 0);
  std::string from = "x";
  int32_t port = 7;
  EXPECT_EQ(sock_recv_from(-1, buf, 8, from, port), -1);
  EXPECT_EQ(from, "");
  EXPECT_EQ(port, 0);
  bool r = true, w = true, e = true;
  EXPECT_TRUE(sock_wait(-1, 1000, r, w, e));
  EXPECT_FALSE(r);
  EXPECT_FALSE(w);
  EXPECT_TRUE(e);

  const int32_t s = sock_create_udp();
  ASSERT_GT(s, 0);
  EXPECT_EQ(sock_send(s, nullptr, 8), 0);
  EXPECT_EQ(sock_send(s, buf, 0), 0);
  EXPECT_EQ(sock_recv(s, buf, 0), 0);
  EXPECT_EQ(sock_recv(s, nullptr, 8), -1);
  EXPECT_EQ(sock_last_error(), EINVAL);
  EXPECT_EQ(sock_send_to(s, "not an address", 9, buf, 8), -1);
  EXPECT_EQ(sock_send_to(s, "127.0.0.1", 0, buf, 8), -1);
  EXPECT_EQ(sock_send_to(s, "127.0.0.1", 70000, buf, 8), -1);
  EXPECT_EQ(sock_send_to(s, ip("127.0.0.1"), 9, nullptr, 8), 0);
  EXPECT_EQ(sock_bind(s, "127.0.0.1", 65536), -1);
  EXPECT_EQ(sock_set_option(s, 99, 1), 0);
  EXPECT_EQ(sock_set_option(s, kSockOptMulticastTTL, 256), -1);
  EXPECT_EQ(sock_close(s), 0);
}

TEST(SocketPrimitives, NoSocketGetsHandleZero) {
  // With standard input closed, handle 0 is the lowest free one.
  const int saved = ::dup(0);
  ::close(0);
  const int32_t s = sock_create_udp();
  const int32_t t = sock_create_tcp();
  const int next = ::open("/dev/null", O_RDONLY);
  if (saved >= 0) {
    ::dup2(saved, 0);
    ::close(saved);
  }
  EXPECT_GT(s, 0);
  EXPECT_GT(t, 0);
  EXPECT_EQ(next, 0) << "handle 0 was left free";
  if (next > 0) ::close(next);
  sock_close(s);
  sock_close(t);
}

TEST(SocketPrimitives, ConnectRefusesPortZeroAndUnresolvedHostsWithoutTrying) {
  const int32_t listener = sock_create_tcp();
  ASSERT_EQ(sock_bind(listener, "127.0.0.1", 0), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  const int port = sock_local_port(listener);

  const int32_t s = sock_create_tcp();
  EXPECT_EQ(sock_connect(s, "127.0.0.1", 0), -1);
  EXPECT_EQ(sock_last_error(), EINVAL);
  // 0.0.0.0 would reach the local listener on Linux; it must not be tried.
  EXPECT_EQ(sock_connect(s, "0.0.0.0", port), -1);
  EXPECT_EQ(sock_connect(s, "", port), -1);
  EXPECT_EQ(sock_connect(s, "no-such-host.invalid", port), -1);
  EXPECT_EQ(sock_last_error(), EADDRNOTAVAIL);
  EXPECT_EQ(sock_remote_port(s), 0) << "nothing was connected";
  // The same socket still connects afterwards.
  EXPECT_EQ(sock_connect(s, "127.0.0.1", port), 0);
  EXPECT_EQ(sock_remote_port(s), port);
  EXPECT_EQ(sock_remote_ip(s), "127.0.0.1");
  sock_close(s);
  sock_close(listener);
}

TEST(SocketPrimitives, WaitWithZeroStillWaitsAHundredMicroseconds) {
  const int32_t s = sock_create_udp();
  ASSERT_EQ(sock_bind(s, "127.0.0.1", 0), 0);
  bool r = true, w = false, e = true;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(sock_wait(s, 0, r, w, e));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::microseconds(100));
  r = false;
  w = true;
  e = false;
  EXPECT_TRUE(sock_wait(s, 0, r, w, e));
  EXPECT_TRUE(w);
  EXPECT_FALSE(r) << "flags not asked for stay false";
  sock_close(s);
}

TEST(SocketPrimitives, DatagramsCarryTheirSenderInBothForms) {
  const int32_t a = sock_create_udp();
  const int32_t b = sock_create_udp();
  ASSERT_EQ(sock_bind(a, "127.0.0.1", 0), 0);
  ASSERT_EQ(sock_bind(b, "127.0.0.1", 0), 0);
  const int pa = sock_local_port(a), pb = sock_local_port(b);
  EXPECT_EQ(sock_local_ip(a), "127.0.0.1");

  ASSERT_EQ(sock_send_to(a, "127.0.0.1", pb, "hello", 5), 5);
  ASSERT_EQ(sock_send_to(a, ip("127.0.0.1"), pb, "world!", 6), 6);
  bool r = true, w = false, e = true;
  ASSERT_TRUE(sock_wait(b, 2000, r, w, e));
  ASSERT_TRUE(r);
  char buf[64];
  EXPECT_EQ(sock_recv(b, buf, sizeof buf, true), 5) << "peek";
  std::string from;
  int32_t from_port = 0;
  ASSERT_EQ(sock_recv_from(b, buf, sizeof buf, from, from_port), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
  EXPECT_EQ(from, "127.0.0.1");
  EXPECT_EQ(from_port, pa);
  uint32_t from_ip = 0, from_port2 = 0;
  ASSERT_EQ(sock_recv_from(b, buf, sizeof buf, from_ip, from_port2), 6);
  EXPECT_EQ(std::string(buf, 6), "world!");
  EXPECT_EQ(from_ip, ip("127.0.0.1"));
  EXPECT_EQ(int(from_port2), pa);
  // Nothing left: a non-waiting read reports would-block and an empty sender.
  EXPECT_EQ(sock_recv_from(b, buf, sizeof buf, from, from_port, true), -1);
  EXPECT_TRUE(sock_would_block(sock_last_error()));
  EXPECT_EQ(from, "");
  EXPECT_EQ(from_port, 0);
  sock_close(a);
  sock_close(b);
}

TEST(SocketPrimitives, StreamConnectsNonBlockingAndSeesThePeerClose) {
  const int32_t listener = sock_create_tcp();
  ASSERT_EQ(sock_bind(listener, "127.0.0.1", 0), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  const int32_t c = sock_create_tcp();
  ASSERT_EQ(sock_set_nonblocking(c, true), 0);
  const int32_t rc = sock_connect(c, "localhost", sock_local_port(listener));
  EXPECT_TRUE(rc == 0 || sock_last_error() == EINPROGRESS);
  bool r = false, w = true, e = true;
  ASSERT_TRUE(sock_wait(c, 2000, r, w, e));
  EXPECT_TRUE(w);
  EXPECT_FALSE(e);
  const int32_t s = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GT(s, 0);
  EXPECT_EQ(sock_remote_port(s), sock_local_port(c));
  char buf[16];
  EXPECT_EQ(sock_recv(c, buf, sizeof buf), -1);
  EXPECT_TRUE(sock_would_block(sock_last_error()));
  ASSERT_EQ(sock_send(s, "abc", 3), 3);
  r = true;
  w = false;
  e = true;
  ASSERT_TRUE(sock_wait(c, 2000, r, w, e));
  EXPECT_EQ(sock_recv(c, buf, sizeof buf), 3);
  sock_close(s);
  r = true;
  ASSERT_TRUE(sock_wait(c, 2000, r, w, e));
  EXPECT_EQ(sock_recv(c, buf, sizeof buf), 0) << "orderly close";
  // Sending into a closed connection fails instead of raising SIGPIPE.
  for (int i = 0; i < 20 && sock_send(c, "x", 1) > 0; ++i) ::usleep(1000);
  EXPECT_EQ(sock_send(c, "x", 1), -1);
  sock_close(c);
  sock_close(listener);
}

TEST(SocketPrimitives, OptionCodesReachThePlatform) {
  const int32_t t = sock_create_tcp();
  auto get_int = [&](int level, int name) {
    int v = -1;
    socklen_t len = sizeof v;
    ::getsockopt(t, level, name, &v, &len);
    return v;
  };
  EXPECT_EQ(sock_set_option(t, kSockOptRecvBuf, 300000), 0);
  EXPECT_GE(get_int(SOL_SOCKET, SO_RCVBUF), 300000);
  EXPECT_EQ(sock_set_option(t, kSockOptSendBuf, 100000), 0);
  EXPECT_GE(get_int(SOL_SOCKET, SO_SNDBUF), 100000);
  EXPECT_EQ(sock_set_option(t, kSockOptReuseAddr, 1), 0);
  EXPECT_EQ(get_int(SOL_SOCKET, SO_REUSEADDR), 1);
  EXPECT_EQ(sock_set_option(t, kSockOptNoDelay, 1), 0);
  EXPECT_EQ(get_int(IPPROTO_TCP, TCP_NODELAY), 1);
  EXPECT_EQ(sock_set_option(t, kSockOptRecvTimeout, 1500), 0);
  timeval tv{};
  socklen_t len = sizeof tv;
  ::getsockopt(t, SOL_SOCKET, SO_RCVTIMEO, &tv, &len);
  EXPECT_EQ(tv.tv_sec * 1000 + tv.tv_usec / 1000, 1500);
  EXPECT_EQ(sock_set_option(t, kSockOptSendTimeout2, 2500), 0);
  ::getsockopt(t, SOL_SOCKET, SO_SNDTIMEO, &tv, &len);
  EXPECT_EQ(tv.tv_sec * 1000 + tv.tv_usec / 1000, 2500);
  sock_close(t);

  const int32_t u = sock_create_udp();
  int v = 0;
  len = sizeof v;
  EXPECT_EQ(sock_set_option(u, kSockOptBroadcast, 1), 0);
  ::getsockopt(u, SOL_SOCKET, SO_BROADCAST, &v, &len);
  EXPECT_EQ(v, 1);
  EXPECT_EQ(sock_set_option(u, kSockOptMulticastTTL, 7), 0);
  ::getsockopt(u, IPPROTO_IP, IP_MULTICAST_TTL, &v, &len);
  EXPECT_EQ(v, 7);
  ASSERT_EQ(sock_bind(u, "127.0.0.1", 0), 0);
  ASSERT_EQ(sock_set_option(u, kSockOptNonBlocking, 1), 0);
  char buf[4];
  EXPECT_EQ(sock_recv(u, buf, 4), -1);
  EXPECT_TRUE(sock_would_block(sock_last_error()));
  sock_close(u);
}

// ---------------------------------------------------------------- DNS messages

TEST(DnsQuery, QueryBytesForAShortName) {
  const std::string q = build_dns_query("a.bc");
  const unsigned char expected[] = {0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
                                    0x00, 0x01, 0x61, 0x02, 0x62, 0x63, 0x00, 0x00, 0x01, 0x00, 0x01};
  EXPECT_EQ(q, std::string(reinterpret_cast<const char*>(expected), sizeof expected));
  EXPECT_EQ(build_dns_query("a.bc."), q);
  EXPECT_EQ(build_dns_query(""), "");
  EXPECT_EQ(build_dns_query("."), "");
  EXPECT_EQ(build_dns_query("a..bc"), "");
  EXPECT_EQ(build_dns_query(".a"), "");
  EXPECT_EQ(build_dns_query(std::string(64, 'x') + ".com"), "");
  EXPECT_NE(build_dns_query(std::string(63, 'x') + ".com"), "");
  std::string long_name;
  for (int i = 0; i < 64; ++i) long_name += "abc.";
  EXPECT_EQ(build_dns_query(long_name), "");
}

TEST(DnsReply, FollowsCnameChainsAndCompression) {
  const std::string q = build_dns_query("www.Example.test");
  // CNAME (owner by pointer) -> alias.test (uncompressed) -> A.
  const std::string cname = rr(kPtrQuestion, kDNS_Type_CNAME, encoded_name("alias.test"));
  const size_t alias_at = q.size() + kPtrQuestion.size() + 10;  // offset of the alias name
  const std::string ptr_alias = {char(0xC0 | (alias_at >> 8)), char(alias_at & 0xFF)};
  const std::string a = rr(ptr_alias, kDNS_Type_A, a_rdata("127.0.0.9"));
  EXPECT_EQ(parse_exact(reply_to(q, {cname, a}), "www.example.test"), ip("127.0.0.9"));
  // Records in the other order, names uncompressed and in another case.
  EXPECT_EQ(parse_exact(reply_to(q, {rr(encoded_name("ALIAS.test"), kDNS_Type_A, a_rdata("127.0.0.8")),
                                     rr(encoded_name("www.example.test"), kDNS_Type_CNAME,
                                        encoded_name("alias.test"))}),
                        "www.example.test."),
            ip("127.0.0.8"));
  // An AAAA record before the A record is noted and skipped.
  TDNS_Response resp;
  const std::string six = rr(kPtrQuestion, kDNS_Type_AAAA, std::string(16, '\x01'));
  EXPECT_EQ(parse_dns_reply(reply_to(q, {six, rr(kPtrQuestion, kDNS_Type_A, a_rdata("127.0.0.7"))}),
                            "www.example.test", kDNS_Query_Id, resp),
            ip("127.0.0.7"));
  EXPECT_TRUE(resp.has_ipv6);
  EXPECT_EQ(resp.last_type, kDNS_Type_A);
}

TEST(DnsReply, RejectsRepliesThatAreNotTheAnswer) {
  const std::string q = build_dns_query("host.test");
  const std::string good = reply_to(q, {rr(kPtrQuestion, kDNS_Type_A, a_rdata("127.0.0.5"))});
  ASSERT_EQ(parse_exact(good, "host.test"), ip("127.0.0.5"));
  std::string other_id = good;
  other_id[1] = 2;
  EXPECT_EQ(parse_exact(other_id, "host.test"), 0u);
  std::string not_response = good;
  not_response[2] = 0x01;
  EXPECT_EQ(parse_exact(not_response, "host.test"), 0u);
  EXPECT_EQ(parse_exact(reply_to(q, {rr(kPtrQuestion, kDNS_Type_A, a_rdata("127.0.0.5"))}, 3), "host.test"), 0u)
      << "NXDOMAIN";
  EXPECT_EQ(parse_exact(good, "other.test"), 0u) << "another question";
  // An A record for an unrelated owner is not the answer.
  EXPECT_EQ(parse_exact(reply_to(q, {rr(encoded_name("evil.test"), kDNS_Type_A, a_rdata("127.0.0.6"))}),
                        "host.test"),
            0u);
  // A record of the wrong length.
  EXPECT_EQ(parse_exact(reply_to(q, {rr(kPtrQuestion, kDNS_Type_A, "\x7F\0\0")}), "host.test"), 0u);
  // QDCOUNT 0.
  std::string no_question = good;
  no_question[5] = 0;
  EXPECT_EQ(parse_exact(no_question, "host.test"), 0u);
  // Too long for a reply.
  EXPECT_EQ(parse_exact(good + std::string(8192, '\0'), "host.test"), 0u);
}

TEST(DnsReply, SurvivesTruncationLoopsAndRandomBytes) {
  const std::string q = build_dns_query("www.example.test");
  const std::string full = reply_to(q, {rr(kPtrQuestion, kDNS_Type_CNAME, encoded_name("alias.test")),
                                        rr(encoded_name("alias.test"), kDNS_Type_A, a_rdata("127.0.0.4"))});
  ASSERT_EQ(parse_exact(full, "www.example.test"), ip("127.0.0.4"));
  for (size_t n = 0; n < full.size(); ++n)
    EXPECT_EQ(parse_exact(full.substr(0, n), "www.example.test"), 0u) << "prefix " << n;

  // A pointer to itself, a pointer past the end, a label past the end.
  const std::string header = q.substr(0, 2) + be16(0x8180) + be16(1) + be16(1) + be16(0) + be16(0);
  const std::string question = q.substr(12);
  EXPECT_EQ(parse_exact(header + question + rr(std::string("\xC0\x22", 2), 1, a_rdata("1.2.3.4")),
                        "www.example.test"),
            0u);
  EXPECT_EQ(parse_exact(header + question + rr(std::string("\xC3\xFF", 2), 1, a_rdata("1.2.3.4")),
                        "www.example.test"),
            0u);
  EXPECT_EQ(parse_exact(header + std::string("\x3F" "abc", 4), "www.example.test"), 0u);
  // A CNAME loop ends.
  EXPECT_EQ(parse_exact(reply_to(q, {rr(kPtrQuestion, kDNS_Type_CNAME, std::string("\xC0\x0C", 2))}),
                        "www.example.test"),
            0u);

  std::mt19937 rng(12345);
  for (int i = 0; i < 20000; ++i) {
    std::string m;
    if (i % 2 == 0) {
      m = full;
      const int flips = 1 + int(rng() % 6);
      for (int k = 0; k < flips; ++k) m[rng() % m.size()] = char(rng());
      m.resize(rng() % (m.size() + 1));
    } else {
      m.resize(rng() % 300);
      for (char& c : m) c = char(rng());
      if (m.size() >= 4 && rng() % 2) {
        m[0] = 0;
        m[1] = 1;
        m[2] = char(0x81);
        m[3] = char(0x80);
      }
    }
    parse_exact(m, "www.example.test");
  }
}

// ---------------------------------------------------------------- fallback query

class DnsFallback : public ::testing::Test {
 protected:
  void point_at(int port, bool enabled = true) {
    TDNS_Settings s = safe_settings();
    s.platform_lookup = [this](const std::string& n) -> uint32_t {
      ++platform_calls;
      return ci_equal(n, "localhost") ? parse_ipv4("127.0.0.1") : 0;
    };
    s.fallback_enabled = enabled;
    s.fallback_port = port;
    set_dns_settings(s);
  }
  void TearDown() override { set_dns_settings(safe_settings()); }

  std::atomic<int> platform_calls{0};
};

TEST_F(DnsFallback, DnslibAnswersAreRead) {
  TDnslibResponder dns({"plain.test A 127.0.0.21", "www.chain.test CNAME mid.chain.test",
                        "mid.chain.test CNAME end.chain.test", "end.chain.test A 127.0.0.22",
                        "dual.test AAAA ::1", "dual.test A 127.0.0.23"});
  ASSERT_GT(dns.port(), 0) << "python3-dnslib responder did not start";
  point_at(dns.port());
  EXPECT_EQ(dns_query_host("plain.test"), ip("127.0.0.21"));
  EXPECT_EQ(dns.next_query_line(), "query plain.test");
  EXPECT_EQ(dns_query_host("WWW.chain.test"), ip("127.0.0.22"));
  EXPECT_EQ(dns_query_host("dual.test"), ip("127.0.0.23"));
  EXPECT_EQ(dns_query_host("missing.test"), 0u);
  // Through resolve_host once the platform resolver has failed.
  EXPECT_EQ(resolve_host("plain.test"), ip("127.0.0.21"));
  EXPECT_EQ(platform_calls.load(), 1);
}

TEST_F(DnsFallback, SendsOneStandardQueryAndSkipsForeignReplies) {
  TScriptedResponder dns([](const std::string& query) -> std::vector<std::string> {
    std::string stray = reply_to(query, {rr(kPtrQuestion, kDNS_Type_A, a_rdata("127.0.0.66"))});
    stray[1] = 9;  // another id
    return {stray, reply_to(query, {rr(kPtrQuestion, kDNS_Type_A, a_rdata("127.0.0.31"))})};
  });
  point_at(dns.port());
  EXPECT_EQ(dns_query_host("a.bc"), ip("127.0.0.31"));
  ASSERT_EQ(dns.query_count(), 1u);
  EXPECT_EQ(dns.queries()[0], build_dns_query("a.bc"));
}

TEST_F(DnsFallback, OffOrResolverNamesAskNobody) {
  TScriptedResponder dns([](const std::string&) -> std::vector<std::string> { return {}; });
  point_at(dns.port(), false);
  EXPECT_EQ(dns_query_host("a.bc"), 0u);
  point_at(dns.port());
  EXPECT_EQ(dns_query_host("127.0.0.1"), ip("127.0.0.1"));
  EXPECT_EQ(dns_query_host("bad..name"), 0u);
  EXPECT_EQ(dns.query_count(), 0u);
}

TEST_F(DnsFallback, SilentResolverIsGivenUpOnTheClockWithoutARepeat) {
  TScriptedResponder dns([](const std::string&) -> std::vector<std::string> { return {}; });
  point_at(dns.port());
  TFakeClock clock;
  std::atomic<uint32_t> result{1};
  std::thread asker([&] { result = dns_query_host("silent.test"); });
  qlyn_test::eventually([&] { return dns.query_count() != 0; }, 5000, 10);
  clock.advance(dns_settings().fallback_wait_msec + 1);
  asker.join();
  EXPECT_EQ(result.load(), 0u);
  EXPECT_EQ(dns.query_count(), 1u);
}

TEST_F(DnsFallback, RefusedPortEndsTheWait) {
  point_at(unused_udp_port());
  TFakeClock clock;  // frozen: only the refusal can end the wait early
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(dns_query_host("refused.test"), 0u);
  // Without the refusal the wait would run its full count of polls (12.8 s).
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
}

// ---------------------------------------------------------------- cache and resolve_host

TEST_F(DnsFallback, FailedLookupIsRememberedForAMinute) {
  std::atomic<bool> known{false};
  TScriptedResponder dns([&](const std::string& query) -> std::vector<std::string> {
    if (!known) return {reply_to(query, {}, 3)};
    return {reply_to(query, {rr(kPtrQuestion, kDNS_Type_A, a_rdata("127.0.0.41"))})};
  });
  point_at(dns.port());
  TFakeClock clock;
  EXPECT_EQ(resolve_host("late.test"), 0u);
  EXPECT_EQ(platform_calls.load(), 1);
  EXPECT_EQ(dns.query_count(), 1u);
  known = true;
  clock.advance(TUX_DNS_Cacher::kFailedMaxAgeMsec);
  EXPECT_EQ(resolve_host("LATE.test"), 0u) << "served from the remembered failure";
  EXPECT_EQ(platform_calls.load(), 1);
  EXPECT_EQ(dns.query_count(), 1u);
  clock.advance(1);
  EXPECT_EQ(resolve_host("late.test"), ip("127.0.0.41"));
  EXPECT_EQ(platform_calls.load(), 2);
  EXPECT_EQ(dns.query_count(), 2u);
  EXPECT_EQ(resolve_host("late.test"), ip("127.0.0.41"));
  EXPECT_EQ(dns.query_count(), 2u);
}

TEST_F(DnsFallback, FoundAddressIsServedForHalfAnHourThenRefreshed) {
  std::atomic<int> answer{51};
  TScriptedResponder dns([&](const std::string& query) -> std::vector<std::string> {
    const std::string addr = "127.0.0." + std::to_string(answer.load());
    return {reply_to(query, {rr(kPtrQuestion, kDNS_Type_A, a_rdata(addr.c_str()))})};
  });
  point_at(dns.port());
  TFakeClock clock;
  EXPECT_EQ(resolve_host("kept.test"), ip("127.0.0.51"));
  answer = 52;
  clock.advance(TUX_DNS_Cacher::kMaxAgeMsec);
  EXPECT_EQ(resolve_host("kept.test"), ip("127.0.0.51"));
  EXPECT_EQ(dns.query_count(), 1u);
  clock.advance(1);
  EXPECT_EQ(resolve_host("kept.test"), ip("127.0.0.52"));
  EXPECT_EQ(dns.query_count(), 2u);
  EXPECT_EQ(resolve_host("kept.test"), ip("127.0.0.52"));
  EXPECT_EQ(dns.query_count(), 2u);
}

TEST_F(DnsFallback, FixedNamesNeedNoLookupAndLocalhostIsNeverCached) {
  point_at(unused_udp_port(), false);
  EXPECT_EQ(resolve_host("255.255.255.255"), kIPv4AllOnes);
  EXPECT_EQ(resolve_host("0.0.0.0"), 0u);
  EXPECT_EQ(resolve_host(""), 0u);
  EXPECT_EQ(resolve_host("10.1.2.3"), ip("10.1.2.3"));
  EXPECT_EQ(platform_calls.load(), 0);
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(resolve_host("localhost"), ip("127.0.0.1"));
    EXPECT_EQ(platform_calls.load(), i);
  }
}

TEST(DnsCacher, SeedsKeysAndLimits) {
  TDNS_Settings s = safe_settings();
  s.fallback_primary = "127.0.0.2";
  s.fallback_secondary = "127.0.0.3";
  set_dns_settings(s);
  TFakeClock clock;
  TUX_DNS_Cacher cache;
  set_dns_settings(safe_settings());
  EXPECT_EQ(cache.Get("127.0.0.2"), ip("127.0.0.2"));
  EXPECT_EQ(cache.Get("127.0.0.3"), ip("127.0.0.3"));
  EXPECT_EQ(cache.Get("255.255.255.255"), kIPv4AllOnes);
  EXPECT_EQ(cache.Get("0.0.0.0"), 0u);
  EXPECT_EQ(cache.count(), 3u);

  cache.put("", 5);
  cache.put("127.0.0.1", 5);
  cache.put("LocalHost", 5);
  cache.put("zero.test", 0);
  EXPECT_EQ(cache.count(), 3u);
  cache.put("Mixed.Case.test", ip("127.0.0.9"));
  EXPECT_EQ(cache.Get("mixed.CASE.test"), ip("127.0.0.9"));
  EXPECT_EQ(cache.Get("unknown.test"), 0u);

  for (size_t i = 0; i < TUX_DNS_Cacher::kMaxItems + 10; ++i) {
    clock.advance(1);
    cache.put("n" + std::to_string(i) + ".test", ip("127.0.1.1"));
  }
  EXPECT_LE(cache.count(), TUX_DNS_Cacher::kMaxItems);
  EXPECT_EQ(cache.Get("n" + std::to_string(TUX_DNS_Cacher::kMaxItems + 9) + ".test"), ip("127.0.1.1"));
}

TEST(DnsCacher, ProcessWideCacherLivesWithTheSocketLayer) {
  ASSERT_NE(dns_cacher(), nullptr);
  EXPECT_EQ(dns_cacher()->Get("255.255.255.255"), kIPv4AllOnes);
}

TEST(PlatformLookup, LocalhostFromTheHostsFile) {
  std::ifstream hosts("/etc/hosts");
  std::string line;
  bool listed = false;
  while (std::getline(hosts, line)) {
    std::istringstream words(line);
    std::string addr, name;
    words >> addr;
    while (addr == "127.0.0.1" && words >> name) listed = listed || name == "localhost";
  }
  if (!listed) GTEST_SKIP() << "/etc/hosts has no 127.0.0.1 localhost line; a lookup would leave the machine";
  EXPECT_EQ(platform_lookup_ipv4("localhost"), ip("127.0.0.1"));
  EXPECT_EQ(platform_lookup_ipv4(""), 0u);
}

}  // namespace
