#include "common/net/ux_http_url.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "common/ux_common.h"

namespace {

using ux::plan_http_connection;
using ux::TUX_HTTP_Proxy;
using Headers = std::vector<std::pair<std::string, std::string>>;

const TUX_HTTP_Proxy kNoProxy;

std::string header(const ux::TUX_Http_Conn_Plan& p, const std::string& name) {
  for (const auto& [k, v] : p.headers)
    if (ux::ci_equal(k, name)) return v;
  return "<none>";
}

TEST(HttpUrlPlan, UdpHttpSchemeGoesOverKcpWithHostAndPort) {
  const auto p = plan_http_connection("udp-http://127.0.0.1:56020/down/a.7z", "", "TCP", false, kNoProxy);
  ASSERT_TRUE(p.ok);
  EXPECT_TRUE(p.transport.over_udp);
  EXPECT_FALSE(p.transport.udp_encrypt);
  EXPECT_FALSE(p.is_https_mode);
  EXPECT_EQ(p.connect_address, "127.0.0.1:56020");
  EXPECT_EQ(p.cmd_str, "GET /down/a.7z HTTP/1.1\r\n");
  EXPECT_EQ(header(p, "host"), "127.0.0.1:56020");
}

TEST(HttpUrlPlan, UserInformationBecomesBasicAuthorisationFirst) {
  const auto p = plan_http_connection("http://user:pa:ss@h.test/x", "get", "TCP", false, kNoProxy);
  ASSERT_TRUE(p.ok);
  EXPECT_FALSE(p.transport.over_udp);
  EXPECT_EQ(p.connect_address, "h.test:80");
  EXPECT_EQ(p.cmd_str, "GET /x HTTP/1.1\r\n");
  const Headers expect = {{"Authorization", "Basic " + ux::base64_encode_text("user:pa:ss")},
                          {"host", "h.test:80"},
                          {"connection", "close"},
                          {"Accept", "*/*"},
                          {"User-Agent", "Mozilla/5.0 (Windows; U; Windows NT 6.1; zh-CN; rv:1.9.2.13)"},
                          {"Accept-Charset", "GB2312,GBK,UTF-8;"}};
  EXPECT_EQ(p.headers, expect);
  EXPECT_EQ(header(plan_http_connection("http://h/", "GET", "TCP", true, kNoProxy), "connection"),
            "keep-alive");
}

TEST(HttpUrlPlan, SchemeTableAndTlsPrefix) {
  struct Case {
    const char* url;
    const char* mode;
    bool udp, scrambled, tls;
    const char* address;
  };
  const Case cases[] = {
      {"https://h/", "TCP", false, false, true, "h:443"},
      {"HTTPS://h/", "udp", false, false, true, "h:443"},
      {"wss://h:8443/s", "TCP", false, false, true, "h:8443"},
      {"udp-https://h/", "TCP", true, true, false, "h:80"},
      {"https-udp://h/", "TCP", true, true, false, "h:80"},
      {"vuhttps://h:9/", "TCP", true, true, false, "h:9"},
      {"vtcp://h/", "TCP", true, false, false, "h:80"},
      {"udp://h/", "TCP", true, false, false, "h:80"},
      {"http-udp://h/", "TCP", true, false, false, "h:80"},
      {"UDP-WS://h/", "TCP", true, false, false, "h:80"},
      {"ws-udp://h/", "TCP", true, false, false, "h:80"},
      {"vuhttp://h/", "TCP", true, false, false, "h:80"},
      {"uhttp://h/", "TCP", true, false, false, "h:80"},
      {"tcp://h/", "UDP", false, false, false, "h:80"},
      {"tcp-ws://h/", "udp", false, false, false, "h:80"},
      {"http-tcp://h/", "udp", false, false, false, "h:80"},
      {"http://h/", "UDP", true, false, false, "h:80"},
      {"ws://h/", "udp", true, false, false, "h:80"},
      {"http://h/", "TCP", false, false, false, "h:80"},
      {"HTTP://h:0/", "TCP", false, false, false, "h:80"},
      {"http://h:abc/", "TCP", false, false, false, "h:80"},
  };
  for (const Case& c : cases) {
    const auto p = plan_http_connection(c.url, "GET", c.mode, false, kNoProxy);
    ASSERT_TRUE(p.ok) << c.url;
    EXPECT_EQ(p.transport.over_udp, c.udp) << c.url;
    EXPECT_EQ(p.transport.udp_encrypt, c.scrambled) << c.url;
    EXPECT_EQ(p.is_https_mode, c.tls) << c.url;
    EXPECT_EQ(p.connect_address, c.address) << c.url;
  }
}

TEST(HttpUrlPlan, RequestTargetFoldsPathButNotQuery) {
  EXPECT_EQ(plan_http_connection("http://h//a//b", "GET", "", false, kNoProxy).cmd_str,
            "GET /a/b HTTP/1.1\r\n");
  EXPECT_EQ(plan_http_connection("http://h", "HEAD", "", false, kNoProxy).cmd_str,
            "HEAD / HTTP/1.1\r\n");
  EXPECT_EQ(plan_http_connection("http://h?x=1", "GET", "", false, kNoProxy).cmd_str,
            "GET /?x=1 HTTP/1.1\r\n");
  EXPECT_EQ(header(plan_http_connection("http://h?x=1", "GET", "", false, kNoProxy), "host"), "h:80");
  EXPECT_EQ(plan_http_connection("http://h/r?to=http://x//y#frag", "GET", "", false, kNoProxy).cmd_str,
            "GET /r?to=http://x//y HTTP/1.1\r\n");
  EXPECT_EQ(plan_http_connection("  http://h/a b/\xE4\xB8\xAD?q=a b \r\n", "GET", "", false, kNoProxy).cmd_str,
            "GET /a%20b/%E4%B8%AD?q=a%20b HTTP/1.1\r\n");
}

TEST(HttpUrlPlan, BracketedIpv6HostKeepsItsPort) {
  const auto p = plan_http_connection("http://[::1]:8080/x", "GET", "", false, kNoProxy);
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.connect_address, "[::1]:8080");
  EXPECT_EQ(plan_http_connection("http://[::1]/x", "GET", "", false, kNoProxy).connect_address, "[::1]:80");
}

TEST(HttpUrlPlan, UnsendableUrlsAndMethodsAreRefused) {
  for (const char* url : {"no-scheme-here", "http:///path", "http://user@/x", "http://h:70000/",
                          "http://h/a\r\nX-Evil: 1", "http://h/\x7F", "http://h\t/x"}) {
    EXPECT_FALSE(plan_http_connection(url, "GET", "", false, kNoProxy).ok) << url;
  }
  EXPECT_FALSE(plan_http_connection("http://h/", "GE T", "", false, kNoProxy).ok);
  EXPECT_FALSE(plan_http_connection("http://h/", "GET\r\n", "", false, kNoProxy).ok);
  EXPECT_EQ(plan_http_connection("http://h/", "m-search", "", false, kNoProxy).cmd_str,
            "M-SEARCH / HTTP/1.1\r\n");
}

TEST(HttpUrlProxy, ProxyRecordNeedsSchemeAndPort) {
  auto p = ux::parse_http_proxy("http://P:8080");
  EXPECT_TRUE(p.enabled);
  EXPECT_FALSE(p.is_https_mode);
  EXPECT_EQ(p.dest_host, "P:8080");
  EXPECT_EQ(p.raw_str, "http://P:8080");
  p = ux::parse_http_proxy("HTTPS://P:3128/ignored");
  EXPECT_TRUE(p.enabled);
  EXPECT_TRUE(p.is_https_mode);
  EXPECT_EQ(p.dest_host, "P:3128");
  for (const char* bad : {"", "http://P", "socks5://P:1080", "P:8080"}) {
    p = ux::parse_http_proxy(bad);
    EXPECT_FALSE(p.enabled) << bad;
    EXPECT_EQ(p.dest_host, "") << bad;
  }
}

TEST(HttpUrlProxy, HttpUrlsGoThroughTheProxyWithAbsoluteTarget) {
  const TUX_HTTP_Proxy proxy = ux::parse_http_proxy("http://P:8080");
  auto p = plan_http_connection("http://H:81/x?q", "get", "udp", true, proxy);
  ASSERT_TRUE(p.ok);
  EXPECT_TRUE(p.via_proxy);
  EXPECT_FALSE(p.transport.over_udp);
  EXPECT_EQ(p.connect_address, "P:8080");
  EXPECT_EQ(p.cmd_str, "GET http://H:81/x?q HTTP/1.1\r\n");
  EXPECT_EQ(header(p, "host"), "H:81");
  EXPECT_EQ(header(p, "proxy-connection"), "keep-alive");
  EXPECT_EQ(header(p, "connection"), "<none>");
  EXPECT_EQ(header(p, "Authorization"), "<none>");

  // Credentials stay out of the Host line and the target; they travel as
  // Basic authorisation.
  p = plan_http_connection("HTTP://u:p@H:81/x", "GET", "", false, proxy);
  EXPECT_EQ(p.cmd_str, "GET HTTP://H:81/x HTTP/1.1\r\n");
  EXPECT_EQ(header(p, "host"), "H:81");
  EXPECT_EQ(header(p, "Authorization"), "Basic " + ux::base64_encode_text("u:p"));

  p = plan_http_connection("https://H/x", "GET", "", false, proxy);
  EXPECT_FALSE(p.via_proxy);
  EXPECT_TRUE(p.is_https_mode);
  EXPECT_EQ(p.connect_address, "H:443");

  p = plan_http_connection("http://H/x", "GET", "", false, ux::parse_http_proxy("http://P"));
  EXPECT_FALSE(p.via_proxy);
  EXPECT_EQ(p.connect_address, "H:80");

  p = plan_http_connection("http://H/x", "GET", "", false, ux::parse_http_proxy("https://P:443"));
  EXPECT_TRUE(p.via_proxy);
  EXPECT_TRUE(p.is_https_mode);
}

TEST(HttpUrlLocation, RelativeReferencesResolveAgainstTheBase) {
  const std::string base = "http://u:p@h:81/a/b/c?q=1";
  const std::pair<const char*, const char*> cases[] = {
      {"https://other/x", "https://other/x"},
      {"//other:9/y", "http://other:9/y"},
      {"/abs/path?z", "http://u:p@h:81/abs/path?z"},
      {"d", "http://u:p@h:81/a/b/d"},
      {"./d/", "http://u:p@h:81/a/b/d/"},
      {"../d", "http://u:p@h:81/a/d"},
      {"../../../../d", "http://u:p@h:81/d"},
      {"?y=2", "http://u:p@h:81/a/b/c?y=2"},
      {"#f", "http://u:p@h:81/a/b/c?q=1"},
      {"g#f", "http://u:p@h:81/a/b/g"},
      {"/x/./y/../z", "http://u:p@h:81/x/z"},
  };
  for (const auto& [loc, expect] : cases) EXPECT_EQ(ux::resolve_http_location(base, loc), expect) << loc;
  EXPECT_EQ(ux::resolve_http_location("http://h", "x"), "http://h/x");
  EXPECT_EQ(ux::resolve_http_location("not a url", "x"), "x");
}

// Found by fuzzing: the base "h\xF0\xF0p://12.0= #8/" resolved an empty
// location to "h\xF0\xF0p://12.0= ", which names host "12.0=" once trimmed
// as every URL is; and through a proxy a space in the authority split the
// request line. A host or port with a space is not a URL that is requested.
TEST(HttpUrlLocation, AnAuthorityWithASpaceIsNeverRequested) {
  const TUX_HTTP_Proxy proxy = ux::parse_http_proxy("http://P:8080");
  for (const char* url : {"h\xF0\xF0p://12.0= #8/", "http://a #", "http://a b/x", "http://a:81 #f", "http://u@a :8/"}) {
    EXPECT_FALSE(plan_http_connection(url, "GET", "", false, kNoProxy).ok) << url;
    EXPECT_FALSE(plan_http_connection(url, "GET", "", false, proxy).ok) << url;
  }
  // Spaces elsewhere are encoded, user information travels as Base64.
  EXPECT_EQ(plan_http_connection("http://a/b c", "GET", "", false, proxy).cmd_str, "GET http://a/b%20c HTTP/1.1\r\n");
  EXPECT_TRUE(plan_http_connection("http://u v@a/", "GET", "", false, kNoProxy).ok);

  // Bytes from 0x80 or a digit first do not make a scheme: such a location
  // is a relative path on the base's origin.
  const std::string base = "http://h:81/a/b";
  EXPECT_EQ(ux::resolve_http_location(base, "h\xF0\xF0p://evil/x"), "http://h:81/a/h\xF0\xF0p://evil/x");
  EXPECT_EQ(ux::resolve_http_location(base, "1http://evil/"), "http://h:81/a/1http://evil/");
  EXPECT_TRUE(ux::same_http_origin(base, ux::resolve_http_location(base, "\xF0:x")));
  EXPECT_EQ(ux::resolve_http_location(base, "HTTP+x.y-z://evil/"), "HTTP+x.y-z://evil/");
}

TEST(HttpUrlLocation, SameOriginComparesHostPortAndTls) {
  EXPECT_TRUE(ux::same_http_origin("http://H:80/a", "http://h/b"));
  EXPECT_TRUE(ux::same_http_origin("https://h/a", "wss://h:443/b"));
  EXPECT_FALSE(ux::same_http_origin("http://h/a", "https://h/a"));
  EXPECT_FALSE(ux::same_http_origin("http://h/a", "http://h:81/a"));
  EXPECT_FALSE(ux::same_http_origin("http://h/a", "http://g/a"));
}

}  // namespace
