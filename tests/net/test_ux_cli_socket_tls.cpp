// The TCP socket classes with the TLS handler, against nginx and scripted
// peers on loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/net/ux_cli_socket.h"
#include "common/net/ux_openssl_socket.h"
#include "common/ux_common.h"
#include "support/http_text.h"
#include "support/nginx_server.h"
#include "support/scripted_tcp_server.h"
#include "support/tls_test_peers.h"

namespace {

using namespace ux;
using qlyn_test::body_of;
using qlyn_test::test_certs;
using qlyn_test::TNginxServer;
using qlyn_test::TScriptConn;
using qlyn_test::TScriptedTcpServer;

std::shared_ptr<ISocket_SSL> trusting_handler(TSSLType type = TSSLType::stAny) {
  TSSL_Options o;
  o.ca_file = test_certs().ca.cert;
  return CreateSSLHandler(type, o);
}

// Records the connection results and the events.
class TTlsSocket : public TUX_super_tcp_socket {
 public:
  TTlsSocket() {
    events.Connected_event = [this](void*) { names.push_back("connected"); };
    events.connecte_fail = [this](void*) { names.push_back("connect_fail"); };
    events.Disconnected_event = [this](void*) { names.push_back("disconnected"); };
  }
  std::vector<int32_t> results;
  std::vector<std::string> names;
  // Statuses seen at the end of each step, without repeats.
  std::vector<int32_t> statuses;

  bool drive_until(const std::function<bool()>& pred, int max_steps = 3000) {
    for (int i = 0; i < max_steps; ++i) {
      if (pred()) return true;
      check_execute(true);
      if (statuses.empty() || statuses.back() != Socket_Connect_Status())
        statuses.push_back(Socket_Connect_Status());
    }
    return pred();
  }
  std::string take_all() {
    std::string s(DataIn_Recv_Buffer_Size(), '\0');
    s.resize(size_t(ReadData(s.data(), int32_t(s.size()))));
    return s;
  }

 protected:
  void on_connect_result(int32_t code) override {
    results.push_back(code);
    TUX_super_tcp_socket::on_connect_result(code);
  }
};

class TlsTcpSocket : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(test_certs().ok()) << test_certs().error(); }
};

TEST_F(TlsTcpSocket, HandshakeThenAVerifiedExchangeWithNginx) {
  TNginxServer nginx("location = /sni { return 200 \"sni=[$ssl_server_name] $ssl_protocol\"; }", "",
                     {test_certs().server.cert, test_certs().server.key});
  ASSERT_TRUE(nginx.ok()) << nginx.error_log();
  TTlsSocket s;
  auto tls = trusting_handler();
  s.SetSSLMode(tls);
  // Listed by name, connected by address: the certificate is checked for
  // the name, and the name goes out as SNI.
  s.set_Server_host("localhost:" + std::to_string(nginx.port()));
  s.on_Resvole_Host = [](const std::string&, std::string& ip) { ip = "127.0.0.1"; };
  s.SetActive(true);
  ASSERT_TRUE(s.drive_until([&] { return s.Connected() || !s.results.empty(); }));
  ASSERT_EQ(s.results, std::vector<int32_t>{kConnect_OK}) << tls->Last_Failure().text;
  EXPECT_EQ(s.Socket_Connect_Status(), kTcp_Connected);
  EXPECT_NE(std::find(s.statuses.begin(), s.statuses.end(), kTcp_Handshaking), s.statuses.end());
  EXPECT_EQ(s.names, std::vector<std::string>{"connected"});
  s.WriteStrln("GET /sni HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n", "\r\n");
  std::string got;
  ASSERT_TRUE(s.drive_until([&] {
    got += s.take_all();
    return got.find("TLSv1.3") != std::string::npos;
  }));
  EXPECT_EQ(body_of(got), "sni=[localhost] TLSv1.3");
  // nginx closes after the response: the end of the TLS stream ends the connection.
  ASSERT_TRUE(s.drive_until([&] { return !s.Active(); }));
  EXPECT_EQ(s.names.back(), "disconnected");

  // A new activation is a new handshake on the same handler, pinned to 1.2.
  s.SetSSLMode(trusting_handler(TSSLType::stTLSv1_2));
  s.results.clear();
  s.SetActive(true);
  ASSERT_TRUE(s.drive_until([&] { return !s.results.empty(); }));
  ASSERT_EQ(s.results.back(), kConnect_OK);
  s.WriteStrln("GET /sni HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n", "\r\n");
  got.clear();
  ASSERT_TRUE(s.drive_until([&] {
    got += s.take_all();
    return got.find("TLSv1.2") != std::string::npos;
  }));
}

TEST_F(TlsTcpSocket, FailedVerificationEndsInStatus6WithItsReason) {
  TNginxServer nginx("", "", {test_certs().other.cert, test_certs().other.key});
  ASSERT_TRUE(nginx.ok());
  TTlsSocket s;
  auto tls = trusting_handler();
  s.SetSSLMode(tls);
  s.set_Server_host("127.0.0.1:" + std::to_string(nginx.port()));
  s.SetActive(true);
  ASSERT_TRUE(s.drive_until([&] { return !s.results.empty(); }));
  EXPECT_EQ(s.results, std::vector<int32_t>{kConnect_TLS_Failed});
  EXPECT_EQ(s.Socket_Connect_Status(), kTcp_Finished);
  EXPECT_FALSE(s.Connected());
  EXPECT_EQ(s.names, std::vector<std::string>{"connect_fail"});
  EXPECT_EQ(tls->Last_Failure().reason, TSSL_Fail_Reason::name_mismatch);
}

TEST_F(TlsTcpSocket, GarbageAndStalledHandshakesFail) {
  TFakeClock clock;
  TScriptedTcpServer garbage([](TScriptConn& c, int) {
    c.read_exact(5, 5000);
    c.send("SSH-2.0-OpenSSH_9.2\r\n");
    c.wait_peer_closed(5000);
  });
  TScriptedTcpServer stalls([](TScriptConn& c, int) { c.wait_peer_closed(10000); });

  TTlsSocket g;
  auto gt = trusting_handler();
  g.SetSSLMode(gt);
  g.set_Server_host("127.0.0.1:" + std::to_string(garbage.port()));
  g.SetActive(true);
  ASSERT_TRUE(g.drive_until([&] { return !g.results.empty(); }));
  EXPECT_EQ(g.results, std::vector<int32_t>{kConnect_TLS_Failed});
  EXPECT_EQ(gt->Last_Failure().reason, TSSL_Fail_Reason::handshake);

  // The stalled handshake ends with the connect timeout, on the clock.
  TTlsSocket s;
  s.SetSSLMode(trusting_handler());
  s.set_Server_host("127.0.0.1:" + std::to_string(stalls.port()));
  s.SetActive(true);
  ASSERT_TRUE(s.drive_until([&] { return s.Socket_Connect_Status() == kTcp_Handshaking; }));
  s.drive_until([] { return false; }, 20);
  EXPECT_TRUE(s.results.empty());
  clock.advance(s.Connect_timeout_Msec() + 1);
  s.check_execute(true);
  EXPECT_EQ(s.results, std::vector<int32_t>{kConnect_TLS_Failed});
  EXPECT_EQ(s.Socket_Connect_Status(), kTcp_Finished);
}

// A response whose last record is only partly read when reading pauses
// (more than 300000 unread bytes): the rest sits decrypted inside TLS with
// nothing left on the socket, and must still arrive once the owner reads.
TEST_F(TlsTcpSocket, BytesHeldDecryptedAfterAPauseStillArrive) {
  TNginxServer nginx("", "", {test_certs().server.cert, test_certs().server.key});
  ASSERT_TRUE(nginx.ok());
  // 18 full 16 KiB records and a last one of about 12000 bytes, head included.
  const std::string file(18 * 16384 + 12000 - 250, 'z');
  std::ofstream(nginx.root() + "/pause.bin", std::ios::binary) << file;
  TTlsSocket s;
  s.SetSSLMode(trusting_handler());
  s.set_Server_host("127.0.0.1:" + std::to_string(nginx.port()));
  s.SetActive(true);
  ASSERT_TRUE(s.drive_until([&] { return s.Connected(); }));
  s.WriteStrln("GET /pause.bin HTTP/1.1\r\nHost: localhost\r\n", "\r\n");  // keep-alive: nginx stays silent
  ASSERT_TRUE(s.drive_until([&] { return s.DataIn_Recv_Buffer_Size() > 300000; }));
  std::string got = s.take_all();
  ASSERT_TRUE(s.drive_until([&] {
    got += s.take_all();
    return body_of(got).size() >= file.size();
  }, 500)) << "stuck at " << got.size() << " bytes";
  EXPECT_TRUE(body_of(got) == file);
}

}  // namespace
