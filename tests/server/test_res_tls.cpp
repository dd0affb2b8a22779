// The resource server's HTTPS port: in-process against the library's TLS
// handler, and as a process against curl.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <memory>
#include <string>
#include <vector>

#include "common/net/ux_openssl_socket.h"
#include "server/res_server.h"
#include "support/archive_maker.h"
#include "support/child_process.h"
#include "support/scoped_env.h"
#include "support/server_tool.h"
#include "support/tls_test_peers.h"

namespace {

using namespace ux;
using qlyn_res::TRes_Server;
using qlyn_res::TRes_Server_Options;
using qlyn_test::TChildProcess;
using qlyn_test::test_certs;
using qlyn_test::TServerTool;
using qlyn_test::TTempDir;

class ResTls : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test_certs().ok()) << test_certs().error();
    file = qlyn_test::sample_bytes(1 << 20, 5);
    qlyn_test::write_file(dir / "www/down/p.7z", file);
    qlyn_test::write_file(dir / "www/small.txt", "small file\n");
  }

  TTempDir dir{"res_tls"};
  std::string file;
};

// ---------------------------------------------------------------- in-process

class ResTlsInProcess : public ResTls {
 protected:
  void SetUp() override {
    ResTls::SetUp();
    log_file = std::tmpfile();
    TRes_Server_Options opt;
    opt.root = dir / "www";
    opt.port = 0;
    opt.tls_cert = test_certs().server.cert;
    opt.tls_key = test_certs().server.key;
    opt.tls_port = 0;
    server = std::make_unique<TRes_Server>(opt, log_file);
    ASSERT_TRUE(server->open()) << server->error();
    ASSERT_NE(server->tls_port(), 0);
    ASSERT_NE(server->tls_port(), server->port());
  }
  void TearDown() override {
    server.reset();
    if (log_file) std::fclose(log_file);
  }

  // A handler connected (handshake done) to the HTTPS port, or null. The
  // server runs on this thread between the client's steps.
  std::shared_ptr<TUX_SSL_Handler> connect(int32_t& fd) {
    fd = sock_create_tcp();
    sock_set_nonblocking(fd, true);
    sock_connect(fd, "127.0.0.1", server->tls_port());
    TSSL_Options o;
    o.ca_file = test_certs().ca.cert;
    auto h = std::make_shared<TUX_SSL_Handler>(TSSLType::stAny, o);
    h->Set_Server_Name("127.0.0.1");
    for (int i = 0; i < 2000; ++i) {
      server->poll_once(1);
      const int32_t r = h->Connect_Step(fd);
      if (r == kSSL_Handshake_Done) return h;
      if (r != kSSL_Handshake_Pending) break;
    }
    ADD_FAILURE() << h->Last_Failure().text;
    return nullptr;
  }
  // Sends text, then reads until done(received) holds (bounded by steps).
  template <class TDone>
  std::string exchange(ISocket_SSL& h, const std::string& text, TDone done) {
    size_t sent = 0;
    std::string got;
    char buf[4096];
    for (int i = 0; i < 20000 && !done(got); ++i) {
      server->poll_once(0);
      if (sent < text.size()) {
        const int32_t n = h.Write_Data(text.data() + sent, int32_t(std::min<size_t>(text.size() - sent, 8192)));
        if (n > 0) sent += size_t(n);
      }
      for (int32_t n; (n = h.Read_Data(buf, sizeof buf)) > 0;) got.append(buf, size_t(n));
    }
    return got;
  }
  std::string log_text() { return qlyn_test::read_file(log_file); }

  std::FILE* log_file = nullptr;
  std::unique_ptr<TRes_Server> server;
};

TEST_F(ResTlsInProcess, VerifiedDownloadOverTheHttpsPort) {
  int32_t fd = -1;
  auto h = connect(fd);
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(h->Verified());
  EXPECT_EQ(h->Protocol_Version(), TLS1_3_VERSION);
  const std::string head = "HTTP/1.1 200 OK\r\n";
  const std::string got = exchange(*h, "GET /down/p.7z HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
                                   [&](const std::string& g) { return g.size() >= file.size() + 200; });
  ASSERT_EQ(got.rfind(head, 0), 0u) << got.substr(0, 200);
  EXPECT_EQ(got.substr(got.find("\r\n\r\n") + 4), file);
  sock_close(fd);
  for (int i = 0; i < 20; ++i) server->poll_once(1);
  EXPECT_NE(log_text().find(" tls \"GET /down/p.7z HTTP/1.1\" 200 1048576"), std::string::npos) << log_text();
}

// More pipelined requests than the connection buffers: the server pauses
// reading and resumes once it has answered.
TEST_F(ResTlsInProcess, PipelinedRequestsBeyondTheInputBufferAllGetAnswers) {
  int32_t fd = -1;
  auto h = connect(fd);
  ASSERT_NE(h, nullptr);
  const std::string one = "GET /small.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Pad: " + std::string(1500, 'p') + "\r\n\r\n";
  std::string all;
  for (int i = 0; i < 120; ++i) all += one;  // about 185 KB of requests
  auto answers = [](const std::string& g) {
    size_t n = 0;
    for (size_t at = g.find("small file\n"); at != std::string::npos; at = g.find("small file\n", at + 1)) ++n;
    return n;
  };
  const std::string got = exchange(*h, all, [&](const std::string& g) { return answers(g) >= 120; });
  EXPECT_EQ(answers(got), 120u);
  sock_close(fd);
}

TEST_F(ResTlsInProcess, PlainPortStaysPlainAndTlsRefusesCleartext) {
  // The plain TCP port still speaks HTTP; the HTTPS port drops a cleartext request.
  int32_t fd = sock_create_tcp();
  ASSERT_EQ(sock_connect(fd, "127.0.0.1", server->tls_port()), 0);
  sock_set_nonblocking(fd, true);
  const std::string req = "GET /small.txt HTTP/1.1\r\nHost: x\r\n\r\n";
  ASSERT_EQ(sock_send(fd, req.data(), int32_t(req.size())), int32_t(req.size()));
  std::string got;
  char buf[4096];
  bool closed = false;
  for (int i = 0; i < 2000 && !closed; ++i) {
    server->poll_once(1);
    const int32_t n = sock_recv(fd, buf, sizeof buf, false, true);
    if (n > 0) got.append(buf, size_t(n));
    closed = n == 0 || (n < 0 && !sock_would_block(sock_last_error()));
  }
  EXPECT_TRUE(closed);
  EXPECT_EQ(got.find("small file"), std::string::npos);
  sock_close(fd);
}

// ---------------------------------------------------------------- process

TEST_F(ResTls, CurlDownloadsOverHttpsWithTheTestAuthority) {
  TServerTool server({QLYN_RESOURCE_SERVER_EXE, "--root", dir / "www", "--port", "0", "--tls-cert",
                      test_certs().server.cert, "--tls-key", test_certs().server.key, "--tls-port", "0"},
                     true);
  ASSERT_TRUE(server.listening()) << server.start_output();
  const std::string base = "https://127.0.0.1:" + server.tls_port();
  const std::string out = dir / "curl.out", err = dir / "curl.err";
  auto curl = [&](const std::string& args) {
    return qlyn_test::sh("curl -sS --noproxy '*' --max-time 20 -o " + qlyn_test::quote(out) + " " + args + " 2> " +
                         qlyn_test::quote(err));
  };
  ASSERT_EQ(curl("--cacert " + qlyn_test::quote(test_certs().ca.cert) + " " + base + "/down/p.7z"), 0)
      << qlyn_test::read_file(err);
  EXPECT_TRUE(qlyn_test::read_file(out) == file);
  ASSERT_EQ(curl("--cacert " + qlyn_test::quote(test_certs().ca.cert) + " -r 100-199 " + base + "/down/p.7z"), 0);
  EXPECT_EQ(qlyn_test::read_file(out), file.substr(100, 100));
  EXPECT_EQ(curl(base + "/down/p.7z"), 60) << "curl does not know the test authority";
  EXPECT_EQ(curl("--tlsv1.2 --tls-max 1.2 --cacert " + qlyn_test::quote(test_certs().ca.cert) + " " + base + "/small.txt"), 0);
  EXPECT_EQ(qlyn_test::read_file(out), "small file\n");
  EXPECT_EQ(curl("--tlsv1.0 --tls-max 1.1 --ciphers DEFAULT@SECLEVEL=0 --cacert " + qlyn_test::quote(test_certs().ca.cert) +
                 " " + base + "/small.txt"),
            35)
      << "TLS 1.1 and older are refused";
  server.stop();
  EXPECT_NE(server.read_rest(2000).find(" tls \"GET /down/p.7z HTTP/1.1\" 206 100"), std::string::npos);
}

TEST_F(ResTls, StartErrorsNameTheFileOrTheOption) {
  struct TCase {
    std::vector<std::string> args;
    int exit_code;
    std::string message;
  };
  std::vector<TCase> cases = {
      {{"--tls-cert", test_certs().server.cert}, 2, "--tls-cert and --tls-key go together"},
      {{"--tls-port", "0"}, 2, "--tls-cert and --tls-key go together"},
      {{"--tls-cert", dir / "missing.pem", "--tls-key", test_certs().server.key}, 1,
       "cannot use the TLS certificate " + dir / "missing.pem"},
      {{"--tls-cert", test_certs().server.cert, "--tls-key", test_certs().other.key}, 1, "does not belong to the certificate"},
      {{"--tls-cert", test_certs().server.cert, "--tls-key", test_certs().server.key, "--tls-port", "70000"}, 2, "--tls-port"},
  };
  TServerTool first({QLYN_RESOURCE_SERVER_EXE, "--root", dir / "www", "--port", "0", "--tls-cert",
                     test_certs().server.cert, "--tls-key", test_certs().server.key, "--tls-port", "0"},
                    true);
  ASSERT_TRUE(first.listening()) << first.start_output();
  const std::string busy_port = first.tls_port();
  cases.push_back({{"--tls-cert", test_certs().server.cert, "--tls-key", test_certs().server.key, "--tls-port", busy_port}, 1,
                   "port " + busy_port + " is busy (TLS on 127.0.0.1)"});
  for (const TCase& c : cases) {
    std::vector<std::string> argv{QLYN_RESOURCE_SERVER_EXE, "--root", dir / "www", "--port", "0"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    TChildProcess p(argv, dir / "err");
    EXPECT_EQ(p.wait(5000), c.exit_code) << c.message;
    EXPECT_NE(qlyn_test::read_file(dir / "err").find(c.message), std::string::npos) << qlyn_test::read_file(dir / "err");
  }
}

}  // namespace
