// The TLS handler driven over raw non-blocking loopback sockets against
// `openssl s_server`, nginx and scripted peers.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <unistd.h>
#include <openssl/x509_vfy.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "common/net/ux_openssl_socket.h"
#include "common/net/ux_socketbase_dns.h"
#include "support/eventually.h"
#include "support/http_text.h"
#include "support/loopback_sockets.h"
#include "support/nginx_server.h"
#include "support/scripted_tcp_server.h"
#include "support/tls_test_peers.h"

namespace {

using namespace ux;
using qlyn_test::body_of;
using qlyn_test::TCertKey;
using qlyn_test::test_certs;
using qlyn_test::TNginxServer;
using qlyn_test::TOpenSSLServer;
using qlyn_test::TScriptConn;
using qlyn_test::TScriptedTcpServer;

TSSL_Options trusting_test_ca() {
  TSSL_Options o;
  o.ca_file = test_certs().ca.cert;
  return o;
}

TSSL_Options insecure_options() {
  TSSL_Options o;
  o.insecure = true;
  return o;
}

std::shared_ptr<TUX_SSL_Handler> make_handler(TSSLType type, const TSSL_Options& options,
                                              const std::string& host) {
  auto h = std::make_shared<TUX_SSL_Handler>(type, options);
  if (!host.empty()) h->Set_Server_Name(host);
  return h;
}

// A non-blocking TCP connection to 127.0.0.1:port, closed with the object.
class TConn {
 public:
  // buffers > 0: the socket's send and receive buffer sizes.
  explicit TConn(int port, int32_t buffers = 0) : fd_(sock_create_tcp()) {
    if (fd_ < 0) return;
    if (buffers > 0) {
      sock_set_option(fd_, kSockOptSendBuf, buffers);
      sock_set_option(fd_, kSockOptRecvBuf, buffers);
    }
    sock_set_nonblocking(fd_, true);
    sock_connect(fd_, "127.0.0.1", port);
    bool r = false, w = true, e = true;
    sock_wait(fd_, 5000, r, w, e);
  }
  ~TConn() { close(); }
  TConn(const TConn&) = delete;
  TConn& operator=(const TConn&) = delete;
  int32_t fd() const { return fd_; }
  void close() {
    if (fd_ >= 0) sock_close(fd_);
    fd_ = -1;
  }

 private:
  int32_t fd_;
};

void wait_readable(int32_t fd, int ms) {
  bool r = true, w = false, e = true;
  sock_wait(fd, ms, r, w, e);
}

struct THandshake {
  int32_t result = kSSL_Handshake_Pending;
  int pending = 0;  // -1 results before the end
};

// Steps the handshake, waiting up to 10 ms on the socket between steps, for
// at most max_steps steps.
THandshake handshake(ISocket_SSL& h, int32_t fd, int max_steps = 1000) {
  THandshake out;
  for (int i = 0; i < max_steps; ++i) {
    out.result = h.Connect_Step(fd);
    if (out.result != kSSL_Handshake_Pending) return out;
    ++out.pending;
    wait_readable(fd, 10);
  }
  return out;
}

// Writes request, then reads until the server closes (or 10 s pass), in
// reads of 4096 bytes as the TCP socket does.
std::string exchange(ISocket_SSL& h, int32_t fd, const std::string& request) {
  size_t sent = 0;
  for (int i = 0; i < 1000 && sent < request.size(); ++i) {
    const int32_t n = h.Write_Data(request.data() + sent, int32_t(request.size() - sent));
    if (n > 0) {
      sent += size_t(n);
    } else {
      bool r = false, w = true, e = true;
      sock_wait(fd, 10, r, w, e);
    }
  }
  std::string got;
  char buf[4096];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    const int32_t n = h.Read_Data(buf, sizeof buf);
    if (n > 0) {
      got.append(buf, size_t(n));
      continue;
    }
    const int32_t e = h.Last_Error(n);
    if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) break;
    wait_readable(fd, 10);
  }
  return got;
}

// Relays one connection to 127.0.0.1:target; what the target sends reaches
// the client only once open() was called, so the client's handshake waits
// for as long as the test wants.
class TGatedRelay {
 public:
  explicit TGatedRelay(int target) : target_(target) {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = qlyn_test::loopback_addr(0);
    if (::bind(listen_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || ::listen(listen_, 1) != 0) return;
    port_ = qlyn_test::bound_port(listen_);
    th_ = std::thread([this] { run(); });
  }
  ~TGatedRelay() {
    stopping_ = true;
    if (th_.joinable()) th_.join();
    ::close(listen_);
  }
  int port() const { return port_; }
  void open() { open_ = true; }

 private:
  bool wait_in(int fd) {
    while (!stopping_) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 20) != 0) return true;
    }
    return false;
  }
  void run() {
    if (!wait_in(listen_)) return;
    const int client = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    const int server = sock_create_tcp();
    if (client >= 0 && sock_connect(server, "127.0.0.1", target_) == 0) {
      char buf[16384];
      for (bool up = true; up && !stopping_;) {
        pollfd p[2] = {{client, POLLIN, 0}, {server, short(open_ ? POLLIN : 0), 0}};
        if (::poll(p, 2, 20) <= 0) continue;
        for (int i = 0; i < 2 && up; ++i) {
          if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
          const ssize_t n = ::recv(p[i].fd, buf, sizeof buf, 0);
          up = n > 0 && sock_send(i == 0 ? server : client, buf, int32_t(n)) == n;
        }
      }
    }
    if (client >= 0) ::close(client);
    sock_close(server);
  }

  int target_;
  int listen_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> open_{false};
  std::thread th_;
};

class TlsHandler : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(test_certs().ok()) << test_certs().error(); }
};

// ---------------------------------------------------------------- handshake and data

TEST_F(TlsHandler, VerifiedExchangeWithTls13ByDefault) {
  TOpenSSLServer server(test_certs().server, {"-www"});
  ASSERT_TRUE(server.ok());
  for (const char* host : {"localhost", "127.0.0.1"}) {
    SCOPED_TRACE(host);
    auto h = make_handler(TSSLType::stAny, trusting_test_ca(), host);
    TConn conn(server.port());
    char buf[16];
    EXPECT_EQ(h->Read_Data(buf, sizeof buf), kSSL_Not_Connected);
    EXPECT_EQ(h->Write_Data("x", 1), kSSL_Not_Connected);
    ASSERT_EQ(handshake(*h, conn.fd()).result, kSSL_Handshake_Done) << h->Last_Failure().text;
    EXPECT_EQ(h->Connect_Step(conn.fd()), kSSL_Handshake_Done) << "stays done";
    EXPECT_TRUE(h->Verified());
    EXPECT_EQ(h->Protocol_Version(), TLS1_3_VERSION);
    const std::string page = exchange(*h, conn.fd(), "GET / HTTP/1.0\r\n\r\n");
    EXPECT_NE(page.find("HTTP/1.0 200 ok"), std::string::npos) << page.substr(0, 200);
    EXPECT_NE(page.find("New, TLSv1.3"), std::string::npos);
    EXPECT_EQ(h->Last_Failure().reason, TSSL_Fail_Reason::none);
  }
}

TEST_F(TlsHandler, HandshakeStepsReturnAgainUntilTheServerAnswers) {
  TOpenSSLServer server(test_certs().server, {"-www"});
  ASSERT_TRUE(server.ok());
  TGatedRelay relay(server.port());
  ASSERT_GT(relay.port(), 0);
  auto h = make_handler(TSSLType::stAny, trusting_test_ca(), "localhost");
  TConn conn(relay.port());
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(h->Connect_Step(conn.fd()), kSSL_Handshake_Pending) << i;
    wait_readable(conn.fd(), 5);
  }
  relay.open();
  ASSERT_EQ(handshake(*h, conn.fd()).result, kSSL_Handshake_Done) << h->Last_Failure().text;
  EXPECT_NE(exchange(*h, conn.fd(), "GET / HTTP/1.0\r\n\r\n").find("200 ok"), std::string::npos);
}

TEST_F(TlsHandler, VersionPinningAndRefusedTypes) {
  TOpenSSLServer any(test_certs().server, {"-www"});
  TOpenSSLServer only12(test_certs().server, {"-www", "-tls1_2"});
  TOpenSSLServer only13(test_certs().server, {"-www", "-tls1_3"});
  ASSERT_TRUE(any.ok() && only12.ok() && only13.ok());
  struct TCase {
    TSSLType type;
    int port;
    int32_t result;
    int version;
  } cases[] = {
      {TSSLType::stTLSv1_2, any.port(), kSSL_Handshake_Done, TLS1_2_VERSION},
      {TSSLType::stTLSv1_3, any.port(), kSSL_Handshake_Done, TLS1_3_VERSION},
      {TSSLType::stAny, only12.port(), kSSL_Handshake_Done, TLS1_2_VERSION},
      {TSSLType::stTLSv1_3, only12.port(), kSSL_Handshake_Refused, 0},
      {TSSLType::stTLSv1_2, only13.port(), kSSL_Handshake_Refused, 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << int(c.type) << " port " << c.port);
    auto h = make_handler(c.type, trusting_test_ca(), "localhost");
    TConn conn(c.port);
    EXPECT_EQ(handshake(*h, conn.fd()).result, c.result);
    EXPECT_EQ(h->Protocol_Version(), c.version);
    if (c.result != kSSL_Handshake_Done) {
      EXPECT_EQ(h->Last_Failure().reason, TSSL_Fail_Reason::handshake);
      EXPECT_NE(h->Last_Failure().text.find("TLS handshake failed"), std::string::npos);
    }
  }
  for (TSSLType old : {TSSLType::stSSLv2, TSSLType::stSSLv3, TSSLType::stTLSv1, TSSLType::stTLSv1_1}) {
    EXPECT_EQ(CreateSSLHandler(old, trusting_test_ca()), nullptr);
    EXPECT_EQ(TUX_SSL_Handler(old, trusting_test_ca()).ErrorCode(), kSSL_No_Context);
  }
  EXPECT_NE(CreateSSLHandler(TSSLType::stAny), nullptr);
}

TEST_F(TlsHandler, ServerOfferingOnlyTls11IsRefused) {
  TOpenSSLServer old(test_certs().server, {"-www", "-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0"});
  ASSERT_TRUE(old.ok());
  auto h = make_handler(TSSLType::stAny, trusting_test_ca(), "localhost");
  TConn conn(old.port());
  EXPECT_EQ(handshake(*h, conn.fd()).result, kSSL_Handshake_Refused);
  EXPECT_EQ(h->Last_Failure().reason, TSSL_Fail_Reason::handshake);
}

TEST_F(TlsHandler, ReadBeforeTheHandshakeLeavesTheSocketAlone) {
  std::atomic<bool> stepped{false};
  TScriptedTcpServer peer([&](TScriptConn& c, int) {
    if (c.read_exact(5, 5000).empty()) return;  // the ClientHello's record header
    qlyn_test::eventually([&] { return stepped.load(); }, 5000, 10);
    c.send("abcdef");
    c.wait_peer_closed(5000);
  });
  auto h = make_handler(TSSLType::stAny, trusting_test_ca(), "localhost");
  TConn conn(peer.port());
  ASSERT_EQ(h->Connect_Step(conn.fd()), kSSL_Handshake_Pending);
  stepped = true;
  wait_readable(conn.fd(), 5000);
  char buf[16];
  EXPECT_EQ(h->Read_Data(buf, sizeof buf), kSSL_Not_Connected);
  EXPECT_EQ(sock_recv(conn.fd(), buf, sizeof buf, true, true), 6) << "the bytes are still queued";
}

TEST_F(TlsHandler, ResetSessionThenAnotherSocketMakesAFullNewHandshake) {
  TOpenSSLServer server(test_certs().server, {"-www"});
  ASSERT_TRUE(server.ok());
  auto h = make_handler(TSSLType::stTLSv1_2, trusting_test_ca(), "localhost");
  {
    TConn first(server.port());
    ASSERT_EQ(handshake(*h, first.fd()).result, kSSL_Handshake_Done);
    EXPECT_NE(exchange(*h, first.fd(), "GET / HTTP/1.0\r\n\r\n").find("New, TLSv1.2"), std::string::npos);
  }
  h->Reset_Session();
  EXPECT_FALSE(h->Connected());
  char buf[8];
  EXPECT_EQ(h->Read_Data(buf, sizeof buf), kSSL_Not_Connected);
  TConn second(server.port());
  ASSERT_EQ(handshake(*h, second.fd()).result, kSSL_Handshake_Done);
  const std::string page = exchange(*h, second.fd(), "GET / HTTP/1.0\r\n\r\n");
  EXPECT_NE(page.find("New, TLSv1.2"), std::string::npos) << "not a resumed session";
  EXPECT_EQ(page.find("Reused"), std::string::npos);
}

TEST_F(TlsHandler, ResetAfterAFailedOrUnfinishedHandshakeStartsClean) {
  TOpenSSLServer server(test_certs().server, {"-www"});
  TScriptedTcpServer garbage([](TScriptConn& c, int) {
    c.read_exact(5, 5000);
    c.send(std::string(64, 'G'));
    c.wait_peer_closed(5000);
  });
  TScriptedTcpServer silent([](TScriptConn& c, int) { c.wait_peer_closed(5000); });
  ASSERT_TRUE(server.ok());
  auto h = make_handler(TSSLType::stAny, trusting_test_ca(), "localhost");
  {
    TConn bad(garbage.port());
    EXPECT_EQ(handshake(*h, bad.fd()).result, kSSL_Handshake_Refused);
    EXPECT_EQ(h->Connect_Step(bad.fd()), kSSL_Handshake_Refused) << "a failure stands";
  }
  h->Reset_Session();
  EXPECT_EQ(h->Last_Failure().reason, TSSL_Fail_Reason::none);
  {
    TConn stalled(silent.port());
    EXPECT_EQ(h->Connect_Step(stalled.fd()), kSSL_Handshake_Pending);
  }
  h->Reset_Session();
  TConn good(server.port());
  ASSERT_EQ(handshake(*h, good.fd()).result, kSSL_Handshake_Done) << h->Last_Failure().text;
  EXPECT_TRUE(h->Verified());
}

// ---------------------------------------------------------------- verification

struct TBadCert {
  const char* what;
  const TCertKey* cert;
  std::string host;
  TSSL_Options options;
  TSSL_Fail_Reason reason;
  long verify_code;
};

std::vector<TBadCert> bad_certs() {
  return {
      {"unknown issuer", &test_certs().server, "localhost", {}, TSSL_Fail_Reason::unknown_issuer,
       X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY},
      {"expired", &test_certs().expired, "localhost", trusting_test_ca(), TSSL_Fail_Reason::cert_expired,
       X509_V_ERR_CERT_HAS_EXPIRED},
      {"other name", &test_certs().other, "localhost", trusting_test_ca(), TSSL_Fail_Reason::name_mismatch,
       X509_V_ERR_HOSTNAME_MISMATCH},
      {"other address", &test_certs().other, "127.0.0.1", trusting_test_ca(), TSSL_Fail_Reason::name_mismatch,
       X509_V_ERR_IP_ADDRESS_MISMATCH},
      {"self-signed", &test_certs().self_signed, "localhost", trusting_test_ca(), TSSL_Fail_Reason::self_signed,
       X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT},
  };
}

TEST_F(TlsHandler, EachVerificationFailureHasItsReason) {
  for (const TBadCert& c : bad_certs()) {
    SCOPED_TRACE(c.what);
    TOpenSSLServer server(*c.cert, {"-www"});
    ASSERT_TRUE(server.ok());
    auto h = make_handler(TSSLType::stAny, c.options, c.host);
    TConn conn(server.port());
    EXPECT_EQ(handshake(*h, conn.fd()).result, kSSL_Handshake_Refused);
    const TSSL_Failure f = h->Last_Failure();
    EXPECT_EQ(f.reason, c.reason) << f.text;
    EXPECT_EQ(f.verify_code, c.verify_code) << f.text;
    EXPECT_NE(f.text.find(X509_verify_cert_error_string(c.verify_code)), std::string::npos) << f.text;
    EXPECT_NE(f.text.find(c.host), std::string::npos) << f.text;
    EXPECT_FALSE(h->Connected());
    char buf[8];
    EXPECT_EQ(h->Read_Data(buf, sizeof buf), kSSL_Not_Connected);
  }
}

TEST_F(TlsHandler, InsecureSwitchAcceptsEveryBadCertificateAndSaysSo) {
  for (const TBadCert& c : bad_certs()) {
    SCOPED_TRACE(c.what);
    TOpenSSLServer server(*c.cert, {"-www"});
    ASSERT_TRUE(server.ok());
    TSSL_Options o = c.options;
    o.insecure = true;
    auto h = make_handler(TSSLType::stAny, o, c.host);
    TConn conn(server.port());
    testing::internal::CaptureStderr();
    const int32_t r = handshake(*h, conn.fd()).result;
    const std::string warned = testing::internal::GetCapturedStderr();
    ASSERT_EQ(r, kSSL_Handshake_Done) << h->Last_Failure().text;
    EXPECT_FALSE(h->Verified());
    EXPECT_NE(warned.find("certificate verification is OFF for " + c.host), std::string::npos) << warned;
    EXPECT_NE(exchange(*h, conn.fd(), "GET / HTTP/1.0\r\n\r\n").find("200 ok"), std::string::npos);
  }
}

TEST_F(TlsHandler, ProcessWideInsecureSwitchIsNeverTheDefault) {
  EXPECT_FALSE(ssl_default_options().insecure);
  TOpenSSLServer server(test_certs().self_signed, {"-www"});
  ASSERT_TRUE(server.ok());
  const TSSL_Options saved = ssl_default_options();
  testing::internal::CaptureStderr();
  set_ssl_default_options(insecure_options());
  const std::string warned = testing::internal::GetCapturedStderr();
  EXPECT_NE(warned.find("for every connection of this process"), std::string::npos) << warned;
  {
    std::shared_ptr<ISocket_SSL> h = CreateSSLHandler(TSSLType::stAny);
    ASSERT_NE(h, nullptr);
    h->Set_Server_Name("localhost");
    TConn conn(server.port());
    testing::internal::CaptureStderr();
    EXPECT_EQ(handshake(*h, conn.fd()).result, kSSL_Handshake_Done);
    testing::internal::GetCapturedStderr();
  }
  set_ssl_default_options(saved);
  std::shared_ptr<ISocket_SSL> h = CreateSSLHandler(TSSLType::stAny);
  h->Set_Server_Name("localhost");
  TConn conn(server.port());
  EXPECT_EQ(handshake(*h, conn.fd()).result, kSSL_Handshake_Refused);
  EXPECT_EQ(h->Last_Failure().reason, TSSL_Fail_Reason::self_signed);
}

TEST_F(TlsHandler, ExtraAuthoritiesFromAFolderAndUnreadableOnes) {
  TOpenSSLServer server(test_certs().server, {"-www"});
  ASSERT_TRUE(server.ok());
  TSSL_Options folder;
  folder.ca_path = test_certs().ca_dir();
  auto h = make_handler(TSSLType::stAny, folder, "localhost");
  TConn conn(server.port());
  EXPECT_EQ(handshake(*h, conn.fd()).result, kSSL_Handshake_Done) << h->Last_Failure().text;
  EXPECT_TRUE(h->Verified());

  for (TSSL_Options bad : {TSSL_Options{test_certs().dir() + "/missing.pem", "", false},
                           TSSL_Options{test_certs().server.key, "", false},
                           TSSL_Options{"", test_certs().dir() + "/missing_dir", false}}) {
    SCOPED_TRACE(bad.ca_file + bad.ca_path);
    auto b = make_handler(TSSLType::stAny, bad, "localhost");
    TConn c(server.port());
    EXPECT_EQ(handshake(*b, c.fd()).result, kSSL_Handshake_Refused);
    EXPECT_EQ(b->Last_Failure().reason, TSSL_Fail_Reason::trust_store);
    EXPECT_NE(b->Last_Failure().text.find(bad.ca_file + bad.ca_path), std::string::npos);
  }
}

TEST_F(TlsHandler, WithoutAServerNameThePeerAddressIsChecked) {
  TOpenSSLServer right(test_certs().server, {"-www"});
  TOpenSSLServer wrong(test_certs().other, {"-www"});
  ASSERT_TRUE(right.ok() && wrong.ok());
  auto a = make_handler(TSSLType::stAny, trusting_test_ca(), "");
  TConn ca(right.port());
  EXPECT_EQ(handshake(*a, ca.fd()).result, kSSL_Handshake_Done) << a->Last_Failure().text;
  auto b = make_handler(TSSLType::stAny, trusting_test_ca(), "");
  TConn cb(wrong.port());
  EXPECT_EQ(handshake(*b, cb.fd()).result, kSSL_Handshake_Refused);
  EXPECT_EQ(b->Last_Failure().reason, TSSL_Fail_Reason::name_mismatch);
  EXPECT_NE(b->Last_Failure().text.find("127.0.0.1"), std::string::npos);
}

TEST_F(TlsHandler, ServerNameIndicationPicksTheServersCertificate) {
  // Without SNI the server shows the certificate for other names; with SNI
  // "localhost" it switches to the one for localhost.
  TOpenSSLServer server(test_certs().other, {"-www", "-servername", "localhost", "-cert2", test_certs().server.cert,
                                        "-key2", test_certs().server.key});
  ASSERT_TRUE(server.ok());
  auto named = make_handler(TSSLType::stAny, trusting_test_ca(), "LocalHost.");
  {
    TConn c1(server.port());  // s_server serves one connection at a time
    EXPECT_EQ(handshake(*named, c1.fd()).result, kSSL_Handshake_Done) << named->Last_Failure().text;
  }
  auto by_address = make_handler(TSSLType::stAny, trusting_test_ca(), "127.0.0.1");
  TConn c2(server.port());
  EXPECT_EQ(handshake(*by_address, c2.fd()).result, kSSL_Handshake_Refused) << "no SNI for an address";
  EXPECT_EQ(by_address->Last_Failure().reason, TSSL_Fail_Reason::name_mismatch);
}

// ---------------------------------------------------------------- nginx

TEST_F(TlsHandler, NginxServesAVerifiedGetAndSeesTheServerName) {
  TNginxServer nginx("location = /sni { return 200 \"sni=[$ssl_server_name] $ssl_protocol\"; }", "",
                     {test_certs().server.cert, test_certs().server.key});
  ASSERT_TRUE(nginx.ok()) << nginx.error_log();
  std::string file(3 * 1024 * 1024 + 123, '\0');
  for (size_t i = 0; i < file.size(); ++i) file[i] = char((i * 2654435761u) >> 13);
  std::ofstream(nginx.root() + "/blob.bin", std::ios::binary) << file;

  auto h = make_handler(TSSLType::stAny, trusting_test_ca(), "localhost");
  TConn conn(nginx.port());
  ASSERT_EQ(handshake(*h, conn.fd()).result, kSSL_Handshake_Done) << h->Last_Failure().text;
  EXPECT_EQ(body_of(exchange(*h, conn.fd(), "GET /sni HTTP/1.0\r\nHost: localhost\r\n\r\n")),
            "sni=[localhost] TLSv1.3");

  auto by_address = make_handler(TSSLType::stTLSv1_2, trusting_test_ca(), "127.0.0.1");
  TConn c2(nginx.port());
  ASSERT_EQ(handshake(*by_address, c2.fd()).result, kSSL_Handshake_Done);
  EXPECT_EQ(body_of(exchange(*by_address, c2.fd(), "GET /sni HTTP/1.0\r\n\r\n")), "sni=[] TLSv1.2");

  h->Reset_Session();
  TConn c3(nginx.port());
  ASSERT_EQ(handshake(*h, c3.fd()).result, kSSL_Handshake_Done);
  const std::string body = body_of(exchange(*h, c3.fd(), "GET /blob.bin HTTP/1.0\r\n\r\n"));
  EXPECT_EQ(body.size(), file.size());
  EXPECT_TRUE(body == file);

  // Reads of 4096 bytes leave the rest of a 16 KiB record decrypted inside
  // the handler: Pending() announces it, and it is read without the socket.
  h->Reset_Session();
  TConn c5(nginx.port());
  ASSERT_EQ(handshake(*h, c5.fd()).result, kSSL_Handshake_Done);
  EXPECT_EQ(h->Pending(), 0);
  const std::string get = "GET /blob.bin HTTP/1.0\r\n\r\n";
  ASSERT_EQ(h->Write_Data(get.data(), int32_t(get.size())), int32_t(get.size()));
  char buf[4096];
  int32_t pending = 0;
  for (int i = 0; i < 1000 && pending == 0; ++i) {
    const int32_t n = h->Read_Data(buf, sizeof buf);
    if (n <= 0) wait_readable(c5.fd(), 10);
    pending = h->Pending();
  }
  ASSERT_GT(pending, 0);
  ::shutdown(c5.fd(), SHUT_RD);
  std::string rest(size_t(pending), '\0');
  EXPECT_EQ(h->Read_Data(rest.data(), pending), pending);
  EXPECT_EQ(h->Pending(), 0);

  TNginxServer expired("", "", {test_certs().expired.cert, test_certs().expired.key});
  ASSERT_TRUE(expired.ok());
  auto e = make_handler(TSSLType::stAny, trusting_test_ca(), "localhost");
  TConn c4(expired.port());
  EXPECT_EQ(handshake(*e, c4.fd()).result, kSSL_Handshake_Refused);
  EXPECT_EQ(e->Last_Failure().reason, TSSL_Fail_Reason::cert_expired);
}

// ---------------------------------------------------------------- bad peers

TEST_F(TlsHandler, GarbageCloseAndStallFailOrWaitWithoutBlocking) {
  TScriptedTcpServer garbage([](TScriptConn& c, int) {
    c.read_exact(5, 5000);
    c.send("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
    c.wait_peer_closed(5000);
  });
  TScriptedTcpServer closes([](TScriptConn& c, int) {
    c.read_exact(5, 5000);
    c.close();
  });
  // A ServerHello record header announcing 100 bytes, then the end.
  TScriptedTcpServer half([](TScriptConn& c, int) {
    c.read_exact(5, 5000);
    c.send(std::string("\x16\x03\x03\x00\x64\x02\x00", 7));
    c.close();
  });
  TScriptedTcpServer stalls([](TScriptConn& c, int) { c.wait_peer_closed(10000); });

  auto g = make_handler(TSSLType::stAny, trusting_test_ca(), "localhost");
  TConn cg(garbage.port());
  EXPECT_EQ(handshake(*g, cg.fd()).result, kSSL_Handshake_Refused);
  EXPECT_EQ(g->Last_Failure().reason, TSSL_Fail_Reason::handshake) << g->Last_Failure().text;

  for (TScriptedTcpServer* peer : {&closes, &half}) {
    auto h = make_handler(TSSLType::stAny, trusting_test_ca(), "localhost");
    TConn c(peer->port());
    const int32_t r = handshake(*h, c.fd()).result;
    EXPECT_TRUE(r == kSSL_Handshake_Failed || r == kSSL_Handshake_Refused) << r;
    EXPECT_EQ(h->Last_Failure().reason, TSSL_Fail_Reason::closed) << h->Last_Failure().text;
  }

  // A stalled peer: every step returns at once with "again"; the engine's
  // timeout ends the attempt.
  auto s = make_handler(TSSLType::stAny, trusting_test_ca(), "localhost");
  TConn cs(stalls.port());
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 200; ++i) EXPECT_EQ(s->Connect_Step(cs.fd()), kSSL_Handshake_Pending);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << "a step blocked";
  EXPECT_EQ(s->Last_Failure().reason, TSSL_Fail_Reason::none);
}

TEST_F(TlsHandler, WritesToAVanishedPeerFailWithoutASignal) {
  TOpenSSLServer server(test_certs().server, {"-rev"});
  ASSERT_TRUE(server.ok());
  auto h = make_handler(TSSLType::stAny, trusting_test_ca(), "localhost");
  TConn conn(server.port());
  ASSERT_EQ(handshake(*h, conn.fd()).result, kSSL_Handshake_Done);
  ::shutdown(conn.fd(), SHUT_WR);
  const std::string chunk(8192, 'w');
  int32_t last = 1;
  for (int i = 0; i < 200 && last > 0; ++i) last = h->Write_Data(chunk.data(), int32_t(chunk.size()));
  EXPECT_LE(last, 0) << "writes after the shutdown fail (and raise no SIGPIPE)";
}

// ---------------------------------------------------------------- flow and threads

// Back-pressure: the writer runs until the peer stops taking bytes, then
// retries each refused write with the same bytes from a fresh buffer while a
// second thread reads the echo.
TEST_F(TlsHandler, ConcurrentReaderAndWriterWithRetriedWrites) {
  TOpenSSLServer server(test_certs().server, {"-rev"});
  ASSERT_TRUE(server.ok());
  auto h = make_handler(TSSLType::stAny, trusting_test_ca(), "localhost");
  TConn conn(server.port(), 65536);
  ASSERT_EQ(handshake(*h, conn.fd()).result, kSSL_Handshake_Done);

  std::string line(4095, 'a');
  line += '\n';
  std::string payload;
  for (int i = 0; i < 8192; ++i) payload += line;  // 32 MiB
  const size_t lines = payload.size() / line.size();

  size_t sent = 0;
  int refused = 0;
  std::string copies[2];  // both alive: a retry never sees the same address
  auto write_step = [&] {
    std::string& copy = copies[refused % 2];
    copy = payload.substr(sent, 8192);
    const int32_t n = h->Write_Data(copy.data(), int32_t(copy.size()));
    if (n > 0) {
      sent += size_t(n);
      return;
    }
    EXPECT_EQ(h->Last_Error(n), SSL_ERROR_WANT_WRITE);
    ++refused;
    bool r = false, w = true, e = true;
    sock_wait(conn.fd(), 10, r, w, e);
  };
  // Nobody reads the echo yet: the buffers on both sides fill up.
  while (sent < payload.size() && refused == 0) write_step();
  ASSERT_GT(refused, 0) << "the peer never pushed back";

  std::atomic<size_t> echoed{0};
  std::thread reader([&] {
    char buf[4096];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (echoed < lines && std::chrono::steady_clock::now() < deadline) {
      const int32_t n = h->Read_Data(buf, sizeof buf);
      if (n > 0) {
        for (int32_t i = 0; i < n; ++i) echoed += buf[i] == '\n';
      } else if (h->Last_Error(n) == SSL_ERROR_WANT_READ) {
        wait_readable(conn.fd(), 10);
      } else {
        break;
      }
    }
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (sent < payload.size() && std::chrono::steady_clock::now() < deadline) write_step();
  reader.join();
  EXPECT_EQ(sent, payload.size());
  EXPECT_EQ(echoed, lines);
}

}  // namespace
