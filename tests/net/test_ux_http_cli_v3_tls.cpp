// The client engine over TLS: https URLs through the registered handler
// factory against a real nginx with certificates made by the openssl
// command, on 127.0.0.1.
#include "common/net/ux_http_cli_v3.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/net/ux_openssl_socket.h"
#include "support/http_client_harness.h"
#include "support/nginx_server.h"
#include "support/tls_test_peers.h"

namespace {

using namespace ux;
using qlyn_test::start;
using qlyn_test::step_until;
using qlyn_test::TRecordingClient;
using Request = TUX_HTTP_Cli_Request;

// Registers the TLS layer's factory, trusting the test authority, for one test.
class EngineTls : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!qlyn_test::TNginxServer::available()) GTEST_SKIP() << "nginx is not installed";
    ASSERT_TRUE(certs.ok()) << certs.error();
    saved = ssl_default_options();
    TSSL_Options trust;
    trust.ca_file = certs.ca.cert;
    set_ssl_default_options(trust);
    TUX_http_client_v3::set_ssl_handler_factory([] { return CreateSSLHandler(TSSLType::stAny); });
  }
  void TearDown() override {
    TUX_http_client_v3::set_ssl_handler_factory(nullptr);
    set_ssl_default_options(saved);
  }

  qlyn_test::TTlsTestCerts certs;
  TSSL_Options saved;
};

TEST_F(EngineTls, HttpsGoesThroughTheRegisteredHandler) {
  qlyn_test::TNginxServer nginx("location = /hello { echo \"secure $https\"; }", "",
                                {certs.server.cert, certs.server.key});
  ASSERT_TRUE(nginx.ok()) << nginx.error_log();
  TRecordingClient e;
  start(e, Request::CreateFromUrlGet(nginx.url("/hello"), ""));
  ASSERT_TRUE(step_until(e));
  EXPECT_TRUE(e.is_https());
  EXPECT_EQ(e.final_code, 200);
  EXPECT_EQ(e.final_body, "secure on\n");
}

TEST_F(EngineTls, UntrustedCertificateNeverConnects) {
  qlyn_test::TNginxServer nginx("location = /hello { echo secret; }", "",
                                {certs.self_signed.cert, certs.self_signed.key});
  ASSERT_TRUE(nginx.ok()) << nginx.error_log();
  TFakeClock clock;
  TRecordingClient e;
  start(e, Request::CreateFromUrlGet(nginx.url("/hello"), ""));
  ASSERT_TRUE(step_until(e, [&] { return e.State() == kHttpStateConnecting; }));
  // The handshake fails; the attempt times out like any other.
  for (int i = 0; i < 200; ++i) e.execute();
  EXPECT_EQ(e.count(kHttpEvConnected), 0);
  clock.advance(TUX_http_client_v3::kConnectTimeoutMs + 1);
  e.execute();
  EXPECT_EQ(e.State(), kHttpStateDelay);
  EXPECT_EQ(e.rt.err_code, kHttpErrConnect);
  EXPECT_EQ(e.final_body, "");
}

}  // namespace
