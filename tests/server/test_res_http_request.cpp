#include "server/res_http_request.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

using namespace qlyn_res;

TParseResult parse_all(const std::string& s, TRes_Request& r) {
  size_t scan = 0;
  return parse_request_head(s, scan, r);
}

int status_of(const std::string& s) {
  TRes_Request r;
  const TParseResult p = parse_all(s, r);
  return p.state == TParseState::failed ? p.status : p.state == TParseState::done ? 0 : -1;
}

TEST(ResHttpRequest, ParsesTheInstallersRequestFedByteByByte) {
  const std::string head =
      "GET /down/win64/rk50cli_dsk.win64.newest.7z HTTP/1.1\r\n"
      "host: 127.0.0.1:56020\r\n"
      "connection: keep-alive\r\n"
      "Accept: */*\r\n"
      "User-Agent: Mozilla/5.0 (Windows; U; Windows NT 6.1; zh-CN; rv:1.9.2.13)\r\n"
      "Accept-Charset: GB2312,GBK,UTF-8;\r\n"
      "range: bytes=1000-\r\n"
      "\r\n";
  const std::string wire = head + "GET /next HTTP/1.1\r\n";
  TRes_Request r;
  size_t scan = 0;
  TParseResult p;
  for (size_t n = 1; n <= wire.size(); ++n) {
    p = parse_request_head(std::string_view(wire).substr(0, n), scan, r);
    if (n < head.size()) {
      ASSERT_EQ(p.state, TParseState::need_more) << n;
    }
    if (p.state != TParseState::need_more) break;
  }
  ASSERT_EQ(p.state, TParseState::done);
  EXPECT_EQ(p.consumed, head.size());
  EXPECT_EQ(r.method, "GET");
  EXPECT_EQ(r.path, "/down/win64/rk50cli_dsk.win64.newest.7z");
  EXPECT_EQ(r.minor_version, 1);
  EXPECT_TRUE(r.keep_alive);
  ASSERT_NE(r.field("range"), nullptr);
  EXPECT_EQ(*r.field("range"), "bytes=1000-");
  EXPECT_EQ(*r.field("accept-charset"), "GB2312,GBK,UTF-8;");
  EXPECT_EQ(r.request_line(), "GET /down/win64/rk50cli_dsk.win64.newest.7z HTTP/1.1");
}

TEST(ResHttpRequest, ConnectionPersistenceFollowsVersionAndField) {
  TRes_Request r;
  ASSERT_EQ(parse_all("GET / HTTP/1.1\r\nHost: h\r\nConnection: Upgrade, close\r\n\r\n", r).state,
            TParseState::done);
  EXPECT_FALSE(r.keep_alive);
  ASSERT_EQ(parse_all("GET / HTTP/1.0\r\n\r\n", r).state, TParseState::done);
  EXPECT_FALSE(r.keep_alive);
  ASSERT_EQ(parse_all("GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", r).state, TParseState::done);
  EXPECT_TRUE(r.keep_alive);
  // Bare LF line ends and leading empty lines are tolerated.
  ASSERT_EQ(parse_all("\r\n\nGET /a HTTP/1.1\nHost: h\n\n", r).state, TParseState::done);
  EXPECT_EQ(r.path, "/a");
}

TEST(ResHttpRequest, MalformedHeadsGetTheirStatus) {
  EXPECT_EQ(status_of("GET /\r\n\r\n"), 400);
  EXPECT_EQ(status_of("GET  / HTTP/1.1\r\nHost: h\r\n\r\n"), 400);
  EXPECT_EQ(status_of("G@T / HTTP/1.1\r\nHost: h\r\n\r\n"), 400);
  EXPECT_EQ(status_of("GET / HTTP/1.x\r\nHost: h\r\n\r\n"), 400);
  EXPECT_EQ(status_of("GET / HTTP/2.0\r\nHost: h\r\n\r\n"), 505);
  EXPECT_EQ(status_of("GET / HTTP/1.1\r\n\r\n"), 400) << "HTTP/1.1 needs Host";
  EXPECT_EQ(status_of("GET / HTTP/1.1\r\nHost : h\r\n\r\n"), 400);
  EXPECT_EQ(status_of("GET / HTTP/1.1\r\nHost: h\r\n folded\r\n\r\n"), 400);
  EXPECT_EQ(status_of("GET / HTTP/1.1\r\nHost: h\r\nNoColon\r\n\r\n"), 400);
  EXPECT_EQ(status_of("GET / HTTP/1.1\r\nHost: h\x01\r\n\r\n"), 400);
  EXPECT_EQ(status_of("GET / HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n"), 400);
  EXPECT_EQ(status_of("GET / HTTP/1.1\r\nHost: h\r\nContent-Length: -1\r\n\r\n"), 400);
  EXPECT_EQ(status_of("POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"), 501);
  EXPECT_EQ(status_of("GET / HTTP/1.1\r\nHost: h\r\nContent-Length: 12\r\n\r\n"), 0);
}

TEST(ResHttpRequest, OversizedHeadsAreRefusedWithoutWaitingForTheEnd) {
  std::string long_line = "GET /" + std::string(kMaxRequestLine, 'a');
  EXPECT_EQ(status_of(long_line), 414) << "no line end yet, already too long";
  EXPECT_EQ(status_of(long_line + " HTTP/1.1\r\nHost: h\r\n\r\n"), 414);
  std::string many = "GET / HTTP/1.1\r\nHost: h\r\n";
  for (size_t i = 0; i < kMaxHeaderFields; ++i) many += "X-" + std::to_string(i) + ": v\r\n";
  EXPECT_EQ(status_of(many + "\r\n"), 431);
  std::string big = "GET / HTTP/1.1\r\nHost: h\r\nX-Big: " + std::string(kMaxRequestHead, 'b');
  EXPECT_EQ(status_of(big), 431) << "no end of head yet, already too large";
  EXPECT_EQ(status_of(std::string(kMaxRequestHead * 4, '\n')), -1) << "empty lines only: still waiting";
}

TEST(ResHttpRequest, TargetsDecodeToPathsBelowTheRoot) {
  std::string p;
  EXPECT_EQ(decode_target_path("/down/a%20b.7z?x=1#frag", p), 0);
  EXPECT_EQ(p, "/down/a b.7z");
  EXPECT_EQ(decode_target_path("//a//./b/", p), 0);
  EXPECT_EQ(p, "/a/b");
  EXPECT_EQ(decode_target_path("http://host:56020/down/x", p), 0);
  EXPECT_EQ(p, "/down/x");
  EXPECT_EQ(decode_target_path("udp-http://host", p), 0);
  EXPECT_EQ(p, "/");
  for (const char* bad : {"/../etc/passwd", "/a/../../b", "/a/%2e%2e/b", "/a/%2E%2E", "/a\\..\\b", "/a%5c..%5cb",
                          "/%00", "/a%0a", "/%zz", "/%4", "*", "relative", "://x/y", ""}) {
    EXPECT_EQ(decode_target_path(bad, p), 400) << bad;
  }
  EXPECT_EQ(decode_target_path("/a..b/..c", p), 0) << "dots inside names are ordinary";
  EXPECT_EQ(p, "/a..b/..c");
}

// Mutated requests, whole and split at random points, give the same verdict
// and never read outside the buffer (ASan watches the exact-size copies).
TEST(ResHttpRequest, MutatedHeadsGiveOneVerdictHoweverTheyArrive) {
  const std::string base =
      "GET /down/%41b/c.7z?x HTTP/1.1\r\nHost: h:1\r\nRange: bytes=1-2\r\nConnection: close\r\n\r\n";
  std::mt19937 rng(5);
  for (int round = 0; round < 3000; ++round) {
    std::string req = base;
    for (int m = int(rng() % 4); m > 0; --m) {
      const size_t at = rng() % req.size();
      switch (rng() % 3) {
        case 0: req[at] = char(rng()); break;
        case 1: req.erase(at, 1); break;
        default: req.insert(at, 1, char(rng())); break;
      }
    }
    TRes_Request whole_req;
    size_t scan = 0;
    const std::vector<char> exact(req.begin(), req.end());
    const TParseResult whole = parse_request_head(std::string_view(exact.data(), exact.size()), scan, whole_req);
    TRes_Request split_req;
    size_t split_scan = 0;
    TParseResult split;
    for (size_t n = 0; n <= req.size(); n += 1 + rng() % 7) {
      const std::vector<char> part(req.begin(), req.begin() + long(n));
      split = parse_request_head(std::string_view(part.data(), part.size()), split_scan, split_req);
      if (split.state != TParseState::need_more) break;
    }
    if (split.state == TParseState::need_more)
      split = parse_request_head(std::string_view(exact.data(), exact.size()), split_scan, split_req);
    ASSERT_EQ(int(whole.state), int(split.state)) << req;
    ASSERT_EQ(whole.status, split.status) << req;
    if (whole.state == TParseState::done) {
      EXPECT_EQ(whole.consumed, split.consumed);
      EXPECT_EQ(whole_req.path, split_req.path);
      EXPECT_EQ((whole_req.path + "/").find("/../"), std::string::npos);
    }
  }
}

TEST(ResHttpRequest, ConnectionTokens) {
  EXPECT_TRUE(list_has_token("keep-alive, Close", "close"));
  EXPECT_FALSE(list_has_token("closed", "close"));
  EXPECT_FALSE(list_has_token("", "close"));
}

}  // namespace
