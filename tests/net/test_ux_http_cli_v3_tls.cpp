// The client engine over TLS: https and wss URLs through the handler factory
// the TLS layer registers at start, against a real nginx and Debian's
// python3-websockets with certificates made by the openssl command, and
// against scripted peers that do not speak TLS, all on 127.0.0.1.
#include "common/net/ux_http_cli_v3.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/net/ux_openssl_socket.h"
#include "common/ux_common.h"
#include "support/archive_maker.h"
#include "support/http_client_harness.h"
#include "support/nginx_server.h"
#include "support/scripted_tcp_server.h"
#include "support/tls_test_peers.h"
#include "support/ws_peer.h"

namespace {

using namespace ux;
using qlyn_test::start;
using qlyn_test::step_until;
using qlyn_test::TCallbackLog;
using qlyn_test::TRecordingClient;
using Request = TUX_HTTP_Cli_Request;

constexpr const char* kHello = "location = /hello { echo \"secure $https\"; }";

// Keeps the process's TLS settings and factory as the test found them.
class EngineTls : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(certs.ok()) << certs.error();
    saved_options = ssl_default_options();
    saved_factory = TUX_http_client_v3::ssl_handler_factory();
  }
  void TearDown() override {
    TUX_http_client_v3::set_ssl_handler_factory(saved_factory);
    set_ssl_default_options(saved_options);
  }
  TSSL_Options trusting_test_ca() const {
    TSSL_Options o;
    o.ca_file = certs.ca.cert;
    return o;
  }
  static bool have_nginx() { return qlyn_test::TNginxServer::available(); }

  qlyn_test::TTlsTestCerts certs;
  TSSL_Options saved_options;
  TUX_SSL_Handler_Factory saved_factory;
};

TEST_F(EngineTls, HttpsRunsOverTheFactoryRegisteredAtStart) {
  if (!have_nginx()) GTEST_SKIP() << "nginx is not installed";
  ASSERT_TRUE(saved_factory) << "the TLS layer registers its factory before main";
  set_ssl_default_options(trusting_test_ca());
  qlyn_test::TNginxServer nginx(kHello, "", {certs.server.cert, certs.server.key});
  ASSERT_TRUE(nginx.ok()) << nginx.error_log();
  TRecordingClient e;
  start(e, Request::CreateFromUrlGet(nginx.url("/hello"), ""));
  ASSERT_TRUE(step_until(e));
  EXPECT_TRUE(e.is_https());
  EXPECT_EQ(e.final_code, 200);
  EXPECT_EQ(e.final_body, "secure on\n");
  EXPECT_EQ(e.tls_failure().reason, TSSL_Fail_Reason::none);
}

// A certificate check that fails ends the run at once (no timeout, no
// retry): event 6 only, kHttpErrTls, and the reason for the caller.
TEST_F(EngineTls, VerificationFailuresFailTheRunWithTheirReason) {
  if (!have_nginx()) GTEST_SKIP() << "nginx is not installed";
  struct TCase {
    const qlyn_test::TCertKey* cert;
    bool trust_ca;
    TSSL_Fail_Reason reason;
  };
  const std::vector<TCase> cases = {
      {&certs.server, false, TSSL_Fail_Reason::unknown_issuer},
      {&certs.expired, true, TSSL_Fail_Reason::cert_expired},
      {&certs.other, true, TSSL_Fail_Reason::name_mismatch},
      {&certs.self_signed, true, TSSL_Fail_Reason::self_signed},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.cert->cert);
    set_ssl_default_options(c.trust_ca ? trusting_test_ca() : TSSL_Options{});
    qlyn_test::TNginxServer nginx(kHello, "", {c.cert->cert, c.cert->key});
    ASSERT_TRUE(nginx.ok()) << nginx.error_log();
    TFakeClock clock;  // frozen: no timeout can end the run
    TRecordingClient e;
    start(e, Request::CreateFromUrlGet(nginx.url("/hello"), ""));
    ASSERT_TRUE(step_until(e));
    EXPECT_EQ(e.final_err, kHttpErrTls);
    EXPECT_EQ(e.events, (std::vector<int32_t>{kHttpEvFailed}));
    EXPECT_EQ(e.tls_failure().reason, c.reason) << e.tls_failure().text;
    EXPECT_FALSE(e.tls_failure().text.empty());
    EXPECT_EQ(e.final_body, "");
  }
}

TEST_F(EngineTls, TrustAndTheInsecureSwitchBelongToOneEngine) {
  if (!have_nginx()) GTEST_SKIP() << "nginx is not installed";
  set_ssl_default_options(TSSL_Options{});
  qlyn_test::TNginxServer good(kHello, "", {certs.server.cert, certs.server.key});
  qlyn_test::TNginxServer expired(kHello, "", {certs.expired.cert, certs.expired.key});
  ASSERT_TRUE(good.ok() && expired.ok()) << good.error_log() << expired.error_log();

  TRecordingClient trusting;
  trusting.use_ssl_handler_factory(make_ssl_handler_factory(trusting_test_ca()));
  start(trusting, Request::CreateFromUrlGet(good.url("/hello"), ""));
  ASSERT_TRUE(step_until(trusting));
  EXPECT_EQ(trusting.final_body, "secure on\n");

  TRecordingClient plain;  // the process's settings: the test authority is unknown
  start(plain, Request::CreateFromUrlGet(good.url("/hello"), ""));
  ASSERT_TRUE(step_until(plain));
  EXPECT_EQ(plain.final_err, kHttpErrTls);
  EXPECT_EQ(plain.tls_failure().reason, TSSL_Fail_Reason::unknown_issuer);

  TSSL_Options off;
  off.insecure = true;
  TRecordingClient insecure;
  insecure.use_ssl_handler_factory(make_ssl_handler_factory(off));
  ::testing::internal::CaptureStderr();
  start(insecure, Request::CreateFromUrlGet(expired.url("/hello"), ""));
  const bool ended = step_until(insecure);
  const std::string console = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(ended);
  EXPECT_EQ(insecure.final_body, "secure on\n");
  EXPECT_NE(console.find("certificate verification is OFF"), std::string::npos) << console;

  // Back to the process's factory (a recycled engine is Reset): the expired
  // certificate is refused again.
  insecure.Reset();
  start(insecure, Request::CreateFromUrlGet(expired.url("/hello"), ""));
  ASSERT_TRUE(step_until(insecure));
  EXPECT_EQ(insecure.final_err, kHttpErrTls);
  EXPECT_EQ(insecure.tls_failure().reason, TSSL_Fail_Reason::unknown_issuer);
}

// An "https://" proxy is reached over TLS and verified by its own name; the
// URL's host (nothing listens on 127.0.0.9:81) is only named in the request.
TEST_F(EngineTls, HttpsProxyIsReachedOverTlsAndVerified) {
  if (!have_nginx()) GTEST_SKIP() << "nginx is not installed";
  set_ssl_default_options(trusting_test_ca());
  qlyn_test::TNginxServer proxy(kHello, "", {certs.server.cert, certs.server.key});
  qlyn_test::TNginxServer misnamed(kHello, "", {certs.other.cert, certs.other.key});
  ASSERT_TRUE(proxy.ok() && misnamed.ok()) << proxy.error_log() << misnamed.error_log();
  TRecordingClient e;
  e.set_proxy("https://127.0.0.1:" + std::to_string(proxy.port()));
  start(e, Request::CreateFromUrlGet("http://127.0.0.9:81/hello", ""));
  ASSERT_TRUE(step_until(e));
  EXPECT_TRUE(e.is_https());
  EXPECT_EQ(e.final_body, "secure on\n");

  e.set_proxy("https://127.0.0.1:" + std::to_string(misnamed.port()));
  start(e, Request::CreateFromUrlGet("http://127.0.0.9:81/hello", ""));
  ASSERT_TRUE(step_until(e));
  EXPECT_EQ(e.final_err, kHttpErrTls);
  EXPECT_EQ(e.tls_failure().reason, TSSL_Fail_Reason::name_mismatch);
}

// Peers that do not finish a handshake: a refusal in plain text and a close
// fail the run at once; a silent peer is ended by the connect timeout and
// retried like any other connection.
TEST_F(EngineTls, PeersThatDoNotSpeakTlsFailWithoutHanging) {
  qlyn_test::TScriptedTcpServer plain_http([](qlyn_test::TScriptConn& c, int) {
    c.read_exact(5, 5000);
    c.send("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
    c.wait_peer_closed(5000);
  });
  qlyn_test::TScriptedTcpServer closer([](qlyn_test::TScriptConn& c, int) {
    c.read_exact(5, 5000);
    c.close();
  });
  for (auto* server : {&plain_http, &closer}) {
    TFakeClock clock;
    TRecordingClient e;
    start(e, Request::CreateFromUrlGet(server->url("https", "/x"), ""));
    ASSERT_TRUE(step_until(e));
    EXPECT_EQ(e.final_err, kHttpErrTls);
    EXPECT_NE(e.tls_failure().reason, TSSL_Fail_Reason::none);
  }
  EXPECT_EQ(plain_http.accepted(), 1);
  EXPECT_EQ(closer.accepted(), 1);

  qlyn_test::TScriptedTcpServer silent([](qlyn_test::TScriptConn& c, int) { c.hold(3000); });
  TFakeClock clock;
  TRecordingClient e;
  start(e, Request::CreateFromUrlGet(silent.url("https", "/x"), ""));
  ASSERT_TRUE(step_until(e, [&] { return silent.accepted() == 1; }));
  for (int i = 0; i < 50; ++i) e.execute();
  EXPECT_EQ(e.State(), kHttpStateConnecting);
  clock.advance(TUX_http_client_v3::kConnectTimeoutMs + 1);
  e.execute();
  EXPECT_EQ(e.State(), kHttpStateDelay);
  EXPECT_EQ(e.rt.err_code, kHttpErrConnect);
  EXPECT_EQ(e.events, (std::vector<int32_t>{kHttpEvConnectTimeout, kHttpEvFailed}));
  e.SetActive(false);
}

TEST_F(EngineTls, WssMessagesThroughAWebSocketServerWithTls) {
  if (!qlyn_test::TWsPeer::available()) GTEST_SKIP() << "python3-websockets is not installed";
  set_ssl_default_options(trusting_test_ca());
  qlyn_test::TWsPeer peer(certs.server.cert, certs.server.key);
  ASSERT_TRUE(peer.ok());
  ASSERT_EQ(peer.url("/echo").rfind("wss://", 0), 0u);

  TRecordingClient e;
  TCallbackLog log;
  auto r = Request::CreateFromWSConn(peer.url("/echo"), "");
  log.attach(*r);
  start(e, std::move(r));
  ASSERT_TRUE(step_until(e, [&] { return e.State() == kHttpStateWsOpen || !e.Active(); }));
  ASSERT_EQ(e.State(), kHttpStateWsOpen);
  EXPECT_TRUE(e.is_https());

  const std::string big = qlyn_test::sample_bytes(70000, 5);
  EXPECT_GT(e.ws_sendString("over tls"), 0);
  EXPECT_GT(e.ws_sendData(big.data(), int32_t(big.size())), 0);
  ASSERT_TRUE(step_until(e, [&] { return log.ws_count(kWsEvBinary) >= 1 || !e.Active(); }));
  ASSERT_EQ(log.ws_count(kWsEvText), 1);
  std::vector<std::string> got;
  for (const auto& [ev, bytes] : log.ws)
    if (ev == kWsEvText || ev == kWsEvBinary) got.push_back(bytes);
  EXPECT_EQ(got, (std::vector<std::string>{"over tls", big}));

  e.close_ws_conn();
  ASSERT_TRUE(step_until(e));
  EXPECT_EQ(log.ws_count(kWsEvClosed), 1);
}

TEST_F(EngineTls, WssToAnUntrustedServerNeverUpgrades) {
  if (!qlyn_test::TWsPeer::available()) GTEST_SKIP() << "python3-websockets is not installed";
  set_ssl_default_options(TSSL_Options{});
  qlyn_test::TWsPeer peer(certs.server.cert, certs.server.key);
  ASSERT_TRUE(peer.ok());
  TFakeClock clock;
  TRecordingClient e;
  TCallbackLog log;
  auto r = Request::CreateFromWSConn(peer.url("/echo"), "");
  log.attach(*r);
  start(e, std::move(r));
  ASSERT_TRUE(step_until(e));
  EXPECT_EQ(e.final_err, kHttpErrTls);
  EXPECT_EQ(e.tls_failure().reason, TSSL_Fail_Reason::unknown_issuer);
  EXPECT_EQ(log.ws_count(kWsEvConnected), 0);
}

}  // namespace
