// bench_http_pool: the client pool against our resource server on loopback.
//   1. N small GETs over TCP queued at once on a pool of W workers:
//      requests per second (wall time from the first add to the last result).
//   2. The CPU time the process spends over S seconds with an idle pool
//      (its workers started once, then nothing queued), as a share of one core.
//   3. One file of M MiB downloaded by the pool over udp-http to a local file,
//      as the installer fetches its package: seconds (from the add to event
//      103), MB/s and the process's CPU time per MB.
//
//   bench_http_pool [--requests N] [--workers W] [--idle-seconds S] [--download-mib M]
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "common/net/ux_http_cli_downloader.h"
#include "common/net/ux_http_cli_pool.h"
#include "common/ux_common.h"
#include "support/archive_maker.h"
#include "support/scoped_env.h"
#include "support/server_tool.h"

namespace {

double cpu_seconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  int requests = 1000, workers = 4, idle_seconds = 10, download_mib = 200;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--requests")) requests = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--workers")) workers = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--idle-seconds")) idle_seconds = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--download-mib")) download_mib = std::atoi(argv[i + 1]);
  }
  qlyn_test::TTempDir dir("bench_pool");
  qlyn_test::write_file(dir / "www/small.txt", std::string(512, 'x'));
  const int64_t download_bytes = int64_t(download_mib) << 20;
  if (download_mib > 0) qlyn_test::write_file(dir / "www/big.bin", qlyn_test::sample_bytes(size_t(download_bytes), 5));
  qlyn_test::TServerTool server({QLYN_RESOURCE_SERVER_EXE, "--root", dir / "www", "--port", "0", "--quiet"});
  if (!server.listening()) {
    std::fprintf(stderr, "bench_http_pool: the resource server did not start (%s)\n", server.start_output().c_str());
    return 1;
  }
  const std::string url = "http://" + server.address() + "/small.txt";

  ux::TUX_HTTP_Cli_pool_v3 pool;
  pool.SetMaxThreadCount(workers);
  std::atomic<int> ok{0}, failed{0};
  auto sink = ux::make_http_ret_proc([&](int32_t code, const std::string& body) {
    (code == 200 && body.size() == 512 ? ok : failed) += 1;
  });
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < requests; ++i) pool.add_http_get(url, sink);
  // Bounded: at most 120 s.
  for (int i = 0; i < 120000 && ok.load() + failed.load() < requests; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("pool GETs: %d requests, %d workers: %d ok, %d failed in %.3f s = %.0f requests/s\n", requests, workers,
              ok.load(), failed.load(), secs, double(ok.load()) / secs);

  // Let the last steps settle, then measure the idle pool.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const double c0 = cpu_seconds();
  const auto w0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(idle_seconds));
  const double idle_wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
  const double idle_cpu = cpu_seconds() - c0;
  std::printf("idle pool: %.3f s CPU over %.1f s = %.2f %% of one core\n", idle_cpu, idle_wall,
              100.0 * idle_cpu / idle_wall);
  if (download_mib <= 0) return failed.load() == 0 ? 0 : 1;

  std::atomic<int32_t> last_event{0};
  std::string failure;  // the final event 104, written before last_event
  const std::string save = dir / "big.bin";
  const double d0 = cpu_seconds();
  const auto t1 = std::chrono::steady_clock::now();
  pool.add_http_down_file("udp-http://" + server.address() + "/big.bin", "", save, "big",
                          [&](ux::TUX_HTTP_Cli_Request*, int32_t ev, const std::string& json) {
                            if (ev == ux::kDownEvFail) failure = json;
                            if (ev == ux::kDownEvDone || (ev == ux::kDownEvFail && json.find("\"final\"") != std::string::npos))
                              last_event = ev;
                          });
  // Bounded: at most 300 s.
  for (int i = 0; i < 300000 && last_event.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const double dsecs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t1).count();
  const double dcpu = cpu_seconds() - d0;
  const bool whole = last_event.load() == ux::kDownEvDone && ux::file_size(save) == download_bytes;
  std::printf("pool download over udp-http: %d MiB %s in %.3f s = %.1f MB/s, process CPU %.2f ms/MB\n", download_mib,
              whole ? "ok" : "FAILED", dsecs, double(download_bytes) / 1e6 / dsecs, dcpu * 1e3 / (double(download_bytes) / 1e6));
  if (!whole && !failure.empty()) std::printf("  last failure: %s\n", failure.c_str());
  return failed.load() == 0 && whole ? 0 : 1;
}
