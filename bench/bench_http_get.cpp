// bench_http_get: one large GET over HTTP/TCP from a real nginx on
// 127.0.0.1, through TUX_http_client_v3 stepped on one thread (the body
// drained as it arrives, as the downloader does), beside curl fetching the
// same file to /dev/null in the same run.
//
//   bench_http_get [--mib N] [--runs R]     defaults: 1024 MiB, 3 runs
//
// The file is sparse, so nginx serves it from the page cache and the figure
// is the client's. MB/s counts 10^6 bytes; the best run of each side is
// reported, and the engine's share of curl's speed.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/ext_mem.h"
#include "common/net/ux_http_cli_v3.h"
#include "support/http_client_harness.h"
#include "support/nginx_server.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// MB/s of one engine download, or 0 when it failed.
double engine_run(const std::string& url, int64_t expect) {
  qlyn_test::TDrainingClient e;
  e.Http_cmd(ux::TUX_HTTP_Cli_Request::CreateFromUrlGet(url, ""));
  const auto t0 = std::chrono::steady_clock::now();
  e.SetActive(true);
  while (e.Active()) e.execute();
  const double s = seconds_since(t0);
  if (e.status != 200 || e.received != expect) {
    std::fprintf(stderr, "engine: status %d, %lld of %lld bytes, error %d\n", e.status,
                 static_cast<long long>(e.received), static_cast<long long>(expect), e.rt.err_code);
    return 0;
  }
  return double(expect) / 1e6 / s;
}

// MB/s of curl to /dev/null, or 0 when it failed.
double curl_run(const std::string& url, int64_t expect) {
  const std::string cmd = "curl -s --noproxy '*' -o /dev/null -w '%{size_download} %{time_total}' " + url;
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return 0;
  long long size = 0;
  double total = 0;
  const int got = std::fscanf(p, "%lld %lf", &size, &total);
  ::pclose(p);
  if (got != 2 || size != expect || total <= 0) return 0;
  return double(expect) / 1e6 / total;
}

}  // namespace

int main(int argc, char** argv) {
  int64_t mib = 1024;
  int runs = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--mib") == 0) mib = std::atoll(argv[i + 1]);
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
  }
  if (!qlyn_test::TNginxServer::available()) {
    std::fprintf(stderr, "nginx is not installed\n");
    return 1;
  }
  qlyn_test::TNginxServer nginx("location /files/ { }\n");
  if (!nginx.ok()) {
    std::fprintf(stderr, "nginx did not start:\n%s\n", nginx.error_log().c_str());
    return 1;
  }
  const int64_t bytes = mib << 20;
  const std::string dir = nginx.root() + "/files";
  const std::string file = dir + "/big.bin";
  if (std::system(("mkdir -p '" + dir + "' && truncate -s " + std::to_string(bytes) + " '" + file + "'").c_str()) != 0)
    return 1;
  const std::string url = nginx.url("/files/big.bin");

  std::vector<double> curl_mbs, engine_mbs;
  curl_run(url, bytes);  // warms the page cache
  for (int r = 0; r < runs; ++r) {
    curl_mbs.push_back(curl_run(url, bytes));
    engine_mbs.push_back(engine_run(url, bytes));
  }
  const double best_curl = *std::max_element(curl_mbs.begin(), curl_mbs.end());
  const double best_engine = *std::max_element(engine_mbs.begin(), engine_mbs.end());
  std::printf("GET of %lld MiB from nginx on 127.0.0.1, best of %d runs (MB = 10^6 bytes)\n",
              static_cast<long long>(mib), runs);
  std::printf("  %-40s %10.1f MB/s\n", "curl -o /dev/null (baseline)", best_curl);
  std::printf("  %-40s %10.1f MB/s  (%.0f %% of curl)\n", "TUX_http_client_v3, one thread, TCP", best_engine,
              best_curl > 0 ? 100.0 * best_engine / best_curl : 0.0);
  for (int r = 0; r < runs; ++r) std::printf("    run %d: curl %.1f, engine %.1f\n", r + 1, curl_mbs[size_t(r)], engine_mbs[size_t(r)]);
  return best_engine > 0 && best_curl > 0 ? 0 : 1;
}
