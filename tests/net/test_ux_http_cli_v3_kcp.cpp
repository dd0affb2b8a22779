// The client engine against our resource server, which serves the same
// files over HTTP on TCP and over HTTP carried by KCP sessions on UDP, on
// one 127.0.0.1 port, and over HTTPS on another: the same requests give the
// same answers over every transport.
#include "common/net/ux_http_cli_v3.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/net/ux_openssl_socket.h"
#include "support/archive_maker.h"
#include "support/http_client_harness.h"
#include "support/scoped_env.h"
#include "support/server_tool.h"
#include "support/tls_test_peers.h"

namespace {

using namespace ux;
using qlyn_test::start;
using qlyn_test::step_until;
using qlyn_test::TRecordingClient;
using Request = TUX_HTTP_Cli_Request;

constexpr const char* kPackage = "/down/win64/rk50cli_dsk.win64.newest.7z";

class EngineResourceServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new qlyn_test::TTempDir("res_engine");
    package = qlyn_test::sample_bytes(3 << 20, 23);
    qlyn_test::write_file(*dir / ("www" + std::string(kPackage)), package);
    certs = new qlyn_test::TTlsTestCerts();
    if (!certs->ok()) return;
    server = new qlyn_test::TServerTool({QLYN_RESOURCE_SERVER_EXE, "--root", *dir / "www", "--port", "0",
                                         "--tls-cert", certs->server.cert, "--tls-key", certs->server.key,
                                         "--tls-port", "0", "--quiet"},
                                        true);
    port = server->port();
    tls_port = server->tls_port();
    saved_tls = ssl_default_options();
    TSSL_Options trust;
    trust.ca_file = certs->ca.cert;
    set_ssl_default_options(trust);
  }
  static void TearDownTestSuite() {
    set_ssl_default_options(saved_tls);
    delete server;
    delete certs;
    delete dir;
    server = nullptr;
    certs = nullptr;
    dir = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(certs->ok()) << certs->error();
    ASSERT_FALSE(port.empty()) << "the resource server did not start";
    ASSERT_FALSE(tls_port.empty()) << "the resource server's https listener did not start";
  }

  struct TOutcome {
    int32_t code = 0;
    std::string body;
    int32_t err = 0;
    int64_t length = 0;
    bool done = false;
  };

  // One exchange over scheme (and the given default socket mode).
  static TOutcome fetch(const std::string& scheme, const std::string& path, const std::string& method,
                        int64_t range_from = -1, int64_t range_to = 0, const std::string& mode = "TCP") {
    const std::string& to = scheme == "https" ? tls_port : port;
    auto r = Request::CreateFromUrlGet(scheme + "://127.0.0.1:" + to + path, "");
    r->set_method(method);
    if (range_from >= 0) r->set_Requ_range(range_from, range_to);
    TRecordingClient e;
    e.set_default_socket_mode(mode);
    start(e, std::move(r));
    int64_t length = 0;
    EXPECT_TRUE(step_until(e, [&] {
      if (e.response() && e.response()->have_got_header()) length = e.response()->content_length();
      return !e.Active();
    }, 30000));
    return {e.final_code, e.final_body, e.final_err, length, e.State() == kHttpStateDone};
  }

  static qlyn_test::TTempDir* dir;
  static qlyn_test::TTlsTestCerts* certs;
  static qlyn_test::TServerTool* server;
  static std::string port;
  static std::string tls_port;
  static std::string package;
  static TSSL_Options saved_tls;
};
qlyn_test::TTempDir* EngineResourceServer::dir = nullptr;
qlyn_test::TTlsTestCerts* EngineResourceServer::certs = nullptr;
qlyn_test::TServerTool* EngineResourceServer::server = nullptr;
std::string EngineResourceServer::port;
std::string EngineResourceServer::tls_port;
TSSL_Options EngineResourceServer::saved_tls;
std::string EngineResourceServer::package;

TEST_F(EngineResourceServer, SameAnswersOverUdpHttpHttpAndHttps) {
  struct Case {
    const char* path;
    const char* method;
    int64_t from, to;
    int32_t code;
  };
  const Case cases[] = {
      {kPackage, "GET", -1, 0, 200},       {kPackage, "GET", 1000, 1999, 206},
      {kPackage, "GET", 3000000, 0, 206},  {kPackage, "HEAD", -1, 0, 200},
      {kPackage, "GET", 4000000, 0, 416},  {"/down/missing.7z", "GET", -1, 0, 404},
  };
  for (const Case& c : cases) {
    const TOutcome tcp = fetch("http", c.path, c.method, c.from, c.to);
    const TOutcome kcp = fetch("udp-http", c.path, c.method, c.from, c.to);
    const TOutcome by_mode = fetch("http", c.path, c.method, c.from, c.to, "udp");
    const TOutcome tls = fetch("https", c.path, c.method, c.from, c.to);
    const std::string what = std::string(c.method) + " " + c.path + " " + std::to_string(c.from);
    EXPECT_EQ(tcp.code, c.code) << what;
    for (const TOutcome* o : {&kcp, &by_mode, &tls}) {
      EXPECT_TRUE(o->done) << what << " err " << o->err;
      EXPECT_EQ(o->code, tcp.code) << what;
      EXPECT_EQ(o->length, tcp.length) << what;
      EXPECT_TRUE(o->body == tcp.body) << what << ": " << o->body.size() << " vs " << tcp.body.size();
    }
  }
  EXPECT_TRUE(fetch("udp-http", kPackage, "GET").body == package);
  EXPECT_TRUE(fetch("https", kPackage, "GET").body == package);
  EXPECT_EQ(fetch("http", kPackage, "GET", 1000, 1999).body, package.substr(1000, 1000));
}

TEST_F(EngineResourceServer, ScrambledSchemeCarriesTheSameBytes) {
  const TOutcome scrambled = fetch("udp-https", kPackage, "GET");
  EXPECT_TRUE(scrambled.done) << scrambled.err;
  EXPECT_TRUE(scrambled.body == package);
  const TOutcome vuhttp = fetch("vuhttp", kPackage, "GET", 0, 99);
  EXPECT_EQ(vuhttp.body, package.substr(0, 100));
}

}  // namespace
