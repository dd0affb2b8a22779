// HTTPS on loopback against nginx with TLS: our TCP socket with the TLS
// handler beside curl from the same server, in one run. Prints one line per
// figure. nginx and every curl it starts are stopped before it returns.
//
//   bench_tls [--mib N] [--handshakes N] [--only throughput|handshakes]
//
// throughput: one GET of an N MiB file (default 1024), body discarded, by
// the TCP socket with the TLS handler, by TUX_http_client_v3 stepped on one
// thread, and by curl.
// handshakes: N new connections (default 300), each a full TLS handshake
// (no session resumption) and a GET of a 2-byte body, closed by the server:
// the socket, the engine (one run per connection), and one curl process.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "common/net/ux_cli_socket.h"
#include "common/net/ux_http_cli_v3.h"
#include "common/net/ux_openssl_socket.h"
#include "support/archive_maker.h"
#include "support/http_client_harness.h"
#include "support/nginx_server.h"
#include "support/tls_test_peers.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace ux;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

double cpu_seconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct TSettings {
  int64_t mib = 1024;
  int handshakes = 300;
  std::string only;
};

// One GET over a fresh TLS connection; the body is discarded as it comes.
// The body length, or -1 when the exchange failed.
int64_t https_get(int port, const std::string& path, const TSSL_Options& trust) {
  TUX_super_tcp_socket s;
  std::shared_ptr<ISocket_SSL> tls = CreateSSLHandler(TSSLType::stAny, trust);
  if (!tls) return -1;
  s.SetSSLMode(tls);
  s.set_Server_host("127.0.0.1:" + std::to_string(port));
  s.SetActive(true);
  std::string head;
  int64_t want = -1, got = 0;
  bool asked = false;
  const auto deadline = Clock::now() + std::chrono::minutes(10);
  while (Clock::now() < deadline) {
    s.check_execute(true);
    if (!s.Active() || s.Socket_Connect_Status() == kTcp_Finished) break;
    if (!s.Connected()) continue;
    if (!asked) {
      s.WriteStrln("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n", "\r\n");
      asked = true;
    }
    if (want < 0) {
      const std::string line = s.ReadLn("\r\n\r\n");
      if (line.empty()) continue;
      const size_t at = line.find("Content-Length: ");
      if (at == std::string::npos) return -1;
      want = std::atoll(line.c_str() + at + 16);
    }
    got += s.ReadData(nullptr, int32_t(s.DataIn_Recv_Buffer_Size()));
    if (got >= want) return got;
  }
  return -1;
}

// One GET through the engine over a fresh connection, stepped on this thread;
// the body length, or -1 when the exchange failed.
int64_t engine_https_get(qlyn_test::TDrainingClient& e, const std::string& url) {
  e.received = 0;
  e.status = 0;
  e.Http_cmd(TUX_HTTP_Cli_Request::CreateFromUrlGet(url, ""));
  e.SetActive(true);
  while (e.Active()) e.execute();
  return e.status == 200 ? e.received : -1;
}

// curl's output for args, or empty when it failed.
std::string curl(const std::string& args, const std::string& dir) {
  const std::string out = dir + "/curl.out";
  if (qlyn_test::sh("curl -s --noproxy '*' " + args + " > " + qlyn_test::quote(out)) != 0) return {};
  return qlyn_test::read_file(out);
}

void throughput(const TSettings& st, const qlyn_test::TNginxServer& nginx, const TSSL_Options& trust,
                const std::string& ca, const std::string& dir) {
  const int64_t size = st.mib << 20;
  const std::string path = nginx.root() + "/big.bin";
  // A sparse file: nginx reads zeros from the page cache, TLS encrypts them like any bytes.
  std::ofstream(path).close();
  if (::truncate(path.c_str(), size) != 0) return;

  const double cpu0 = cpu_seconds();
  const auto t0 = Clock::now();
  const int64_t got = https_get(nginx.port(), "/big.bin", trust);
  const double ours = seconds_since(t0);
  const double cpu = cpu_seconds() - cpu0;
  qlyn_test::TDrainingClient engine;
  engine.use_ssl_handler_factory(make_ssl_handler_factory(trust));
  const double ecpu0 = cpu_seconds();
  const auto t1 = Clock::now();
  const int64_t egot = engine_https_get(engine, nginx.url("/big.bin"));
  const double eours = seconds_since(t1);
  const double ecpu = cpu_seconds() - ecpu0;
  const std::string w = curl("--cacert " + qlyn_test::quote(ca) + " -o /dev/null -w '%{size_download} %{time_total}' " +
                                 nginx.url("/big.bin"),
                             dir);
  long long curl_bytes = 0;
  double curl_s = 0;
  std::sscanf(w.c_str(), "%lld %lf", &curl_bytes, &curl_s);
  const double mb = double(size) / 1e6;
  std::printf("%-46s %s %8.1f MB in %6.2f s = %7.1f MB/s  (client CPU %.2f ms/MB)\n",
              "https GET, TUX_super_tcp_socket + TLS handler", got == size ? "ok  " : "FAIL", mb, ours, mb / ours,
              cpu * 1000 / mb);
  std::printf("%-46s %s %8.1f MB in %6.2f s = %7.1f MB/s  (client CPU %.2f ms/MB)\n",
              "https GET, TUX_http_client_v3, one thread", egot == size ? "ok  " : "FAIL", mb, eours, mb / eours,
              ecpu * 1000 / mb);
  std::printf("%-46s %s %8.1f MB in %6.2f s = %7.1f MB/s\n", "https GET, curl", curl_bytes == size ? "ok  " : "FAIL",
              double(curl_bytes) / 1e6, curl_s, curl_s > 0 ? double(curl_bytes) / 1e6 / curl_s : 0.0);
  const double curl_mbs = curl_s > 0 ? double(curl_bytes) / 1e6 / curl_s : 0.0;
  if (curl_mbs > 0 && got == size)
    std::printf("%-46s %7.1f %%\n", "socket / curl", 100.0 * (mb / ours) / curl_mbs);
  if (curl_mbs > 0 && egot == size)
    std::printf("%-46s %7.1f %%\n", "engine / curl", 100.0 * (mb / eours) / curl_mbs);
  ::unlink(path.c_str());
}

void handshakes(const TSettings& st, const qlyn_test::TNginxServer& nginx, const TSSL_Options& trust,
                const std::string& ca, const std::string& dir) {
  int ok = 0;
  const auto t0 = Clock::now();
  for (int i = 0; i < st.handshakes; ++i) ok += https_get(nginx.port(), "/hs", trust) == 2;
  const double ours = seconds_since(t0);

  qlyn_test::TDrainingClient engine;
  engine.use_ssl_handler_factory(make_ssl_handler_factory(trust));
  int eok = 0;
  const auto te = Clock::now();
  for (int i = 0; i < st.handshakes; ++i) eok += engine_https_get(engine, nginx.url("/hs")) == 2;
  const double eours = seconds_since(te);

  // One curl for all of them: a config file of URLs, no session reuse, and
  // the server closes each connection.
  const std::string config = dir + "/urls.cfg";
  {
    std::ofstream cfg(config);
    for (int i = 0; i < st.handshakes; ++i) cfg << "url = \"" << nginx.url("/hs") << "\"\noutput = \"/dev/null\"\n";
  }
  const auto t1 = Clock::now();
  const std::string w = curl("--no-sessionid -H 'Connection: close' --cacert " + qlyn_test::quote(ca) +
                                 " -w '%{num_connects}\\n' -K " + qlyn_test::quote(config),
                             dir);
  const double theirs = seconds_since(t1);
  int connects = 0;
  for (size_t at = 0; (at = w.find('\n', at)) != std::string::npos; ++at) ++connects;
  std::printf("%-46s %s %5d in %6.2f s = %7.1f handshakes/s\n", "new TLS connections, ours",
              ok == st.handshakes ? "ok  " : "FAIL", ok, ours, ok / ours);
  std::printf("%-46s %s %5d in %6.2f s = %7.1f handshakes/s\n", "new TLS connections, engine",
              eok == st.handshakes ? "ok  " : "FAIL", eok, eours, eok / eours);
  std::printf("%-46s %s %5d in %6.2f s = %7.1f handshakes/s  (one curl process)\n", "new TLS connections, curl",
              connects == st.handshakes ? "ok  " : "FAIL", connects, theirs, connects / theirs);
}

}  // namespace

int main(int argc, char** argv) {
  TSettings st;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--mib") st.mib = std::atoll(argv[i + 1]);
    else if (a == "--handshakes") st.handshakes = std::atoi(argv[i + 1]);
    else if (a == "--only") st.only = argv[i + 1];
  }
  qlyn_test::TTlsTestCerts certs;
  if (!certs.ok()) {
    std::fprintf(stderr, "bench_tls: %s\n", certs.error().c_str());
    return 1;
  }
  qlyn_test::TNginxServer nginx("location = /hs { return 200 \"ok\"; }", "", {certs.server.cert, certs.server.key});
  if (!nginx.ok()) {
    std::fprintf(stderr, "bench_tls: nginx did not start\n%s", nginx.error_log().c_str());
    return 1;
  }
  TSSL_Options trust;
  trust.ca_file = certs.ca.cert;
  qlyn_test::TTempDir dir("bench_tls");
  std::printf("nginx 1 worker, TLS 1.3, ECDSA P-256 certificate; client and server on loopback\n");
  if (st.only.empty() || st.only == "throughput") throughput(st, nginx, trust, certs.ca.cert, dir.path());
  if (st.only.empty() || st.only == "handshakes") handshakes(st, nginx, trust, certs.ca.cert, dir.path());
  return 0;
}
