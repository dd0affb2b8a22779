// Our KCP session against qlyn-resource-server, directly and through
// qlyn-udp-relay with a bad link: every byte arrives, in order.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "common/net/ux_kcp_udp_class.h"
#include "support/archive_maker.h"
#include "support/http_text.h"
#include "support/scoped_env.h"
#include "support/server_tool.h"

namespace {

using qlyn_test::body_of;
using qlyn_test::TServerTool;
using qlyn_test::TTempDir;

class ResKcpEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    file = qlyn_test::sample_bytes(2 << 20, 21);
    qlyn_test::write_file(dir / "down/win64/rk50cli_dsk.win64.newest.7z", file);
    server = std::make_unique<TServerTool>(
        std::vector<std::string>{QLYN_RESOURCE_SERVER_EXE, "--root", dir.path(), "--port", "0"});
    ASSERT_TRUE(server->listening()) << server->start_output();
    port = server->port_number();
  }

  // GET of path over a session to 127.0.0.1:to_port, stepped like the HTTP
  // engine steps it; the whole response, head included.
  std::string fetch(int to_port, const std::string& path, bool scrambled, const std::string& range = "") {
    ux::TUX_KCP_UDP_Cli s(false);
    s.SetServerHost("127.0.0.1:" + std::to_string(to_port));
    s.Setis_udp_encrypt(scrambled);
    s.SetActive(true);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!s.connected() && std::chrono::steady_clock::now() < deadline) s.execute();
    if (!s.connected()) return "not connected";
    s.sendString("GET " + path + " HTTP/1.1\r\nhost: 127.0.0.1:" + std::to_string(to_port) + "\r\n" + range + "\r\n");
    s.flush();
    std::string head;
    while (head.empty() && std::chrono::steady_clock::now() < deadline) {
      s.execute();
      head = s.readStringEol("\r\n\r\n");
    }
    const size_t cl = head.find("Content-Length: ");
    if (cl == std::string::npos) return head;
    const size_t len = std::stoul(head.substr(cl + 16));
    std::string body;
    std::vector<char> buf(65536);
    while (body.size() < len && std::chrono::steady_clock::now() < deadline) {
      s.execute();
      for (int32_t n; (n = s.readData(buf.data(), int32_t(buf.size()))) > 0;) body.append(buf.data(), size_t(n));
    }
    s.close();
    for (int i = 0; i < 2000 && s.Active(); ++i) s.execute();
    EXPECT_FALSE(s.Active()) << "close completes";
    return head + "\r\n\r\n" + body;
  }

  TTempDir dir{"res_e2e"};
  std::string file;
  std::unique_ptr<TServerTool> server;
  int port = 0;
};

TEST_F(ResKcpEndToEnd, PlainAndScrambledSessionsDownloadTheFile) {
  const std::string path = "/down/win64/rk50cli_dsk.win64.newest.7z";
  const std::string plain = fetch(port, path, false);
  EXPECT_EQ(plain.rfind("HTTP/1.1 200 OK", 0), 0u);
  EXPECT_EQ(body_of(plain), file);
  const std::string scrambled = fetch(port, path, true, "range: bytes=1000-\r\n");
  EXPECT_EQ(scrambled.rfind("HTTP/1.1 206", 0), 0u);
  EXPECT_EQ(body_of(scrambled), file.substr(1000));
  server->stop();
  const std::string log = server->read_rest(2000);
  EXPECT_NE(log.find(" udp \"GET " + path), std::string::npos) << log;
  EXPECT_NE(log.find(" udp-scrambled \"GET " + path), std::string::npos) << log;
}

TEST_F(ResKcpEndToEnd, ThroughARelayWithLossDuplicationAndReordering) {
  TServerTool relay({QLYN_UDP_RELAY_EXE, "--server", "127.0.0.1:" + std::to_string(port), "--loss", "10", "--dup",
                     "5", "--reorder", "5", "--reorder-gap", "3", "--delay", "1", "--seed", "17"});
  ASSERT_TRUE(relay.listening()) << relay.start_output();
  const int relay_port = relay.port_number();
  const std::string r = fetch(relay_port, "/down/win64/rk50cli_dsk.win64.newest.7z", false);
  EXPECT_EQ(r.rfind("HTTP/1.1 200 OK", 0), 0u);
  EXPECT_TRUE(body_of(r) == file) << "every byte, in order";
  relay.stop();
  const std::string stats = relay.read_rest(2000);
  EXPECT_NE(stats.find("down: received"), std::string::npos);
  EXPECT_EQ(stats.find(" lost 0 "), std::string::npos) << "the link really lost datagrams: " << stats;
}

}  // namespace
