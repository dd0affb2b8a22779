// bench_ws_file_transfer: throughput of the WebSocket file transfer through
// qlyn-file-server on loopback — an upload with TUX_ws_uploader_cli and a
// download with TUX_ws_downloader_cli of the same file — against the plain
// paths in the same run: curl downloading the file over HTTP from
// qlyn-resource-server, and a plain TCP copy (read the file, send it, receive
// it into a file) for the upload. Both servers run as processes and are
// stopped before the program returns.
//
//   bench_ws_file_transfer [--mib N] [--rounds N] [--dir DIR]
//
// Prints MB/s per round and the median ratios (ours / plain; goal >= 0.5).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/net/ux_ws_file_cli.h"
#include "common/ux_common.h"
#include "support/archive_maker.h"
#include "support/loopback_sockets.h"
#include "support/server_tool.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

using qlyn_test::quote;
using qlyn_test::sh;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// Steps c until its run ends; false when it did not end within limit_s.
bool run(ux::TUX_http_client_v3& c, double limit_s) {
  const auto t0 = Clock::now();
  while (c.Active()) {
    if (seconds_since(t0) > limit_s) return false;
    const uint64_t before = c.progress();
    c.execute();
    if (c.progress() == before) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// Reads file and sends it over a loopback TCP connection to a receiver that
// writes it to out; the seconds taken.
double tcp_copy(const std::string& file, const std::string& out) {
  qlyn_test::TLoopbackListener ls(1);
  if (ls.port() == 0) return -1;
  const sockaddr_in a = qlyn_test::loopback_addr(ls.port());
  const auto t0 = Clock::now();
  std::thread receiver([&] {
    const int c = ::accept(ls.fd(), nullptr, nullptr);
    std::FILE* f = std::fopen(out.c_str(), "wb");
    std::vector<char> buf(1 << 16);
    for (ssize_t n; c >= 0 && f && (n = ::recv(c, buf.data(), buf.size(), 0)) > 0;) std::fwrite(buf.data(), 1, size_t(n), f);
    if (f) std::fclose(f);
    if (c >= 0) ::close(c);
  });
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
    std::FILE* f = std::fopen(file.c_str(), "rb");
    std::vector<char> buf(1 << 16);
    for (size_t n; f && (n = std::fread(buf.data(), 1, buf.size(), f)) > 0;) {
      for (size_t at = 0; at < n;) {
        const ssize_t w = ::send(s, buf.data() + at, n - at, MSG_NOSIGNAL);
        if (w <= 0) break;
        at += size_t(w);
      }
    }
    if (f) std::fclose(f);
  }
  ::close(s);
  receiver.join();
  return seconds_since(t0);
}

bool same_file(const std::string& a, const std::string& b) { return sh("cmp -s " + quote(a) + " " + quote(b)) == 0; }

}  // namespace

int main(int argc, char** argv) {
  int64_t mib = 1024;
  int rounds = 1;
  std::string base = "/tmp";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string k = argv[i];
    if (k == "--mib") mib = std::atoll(argv[i + 1]);
    else if (k == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
    else if (k == "--dir") base = argv[i + 1];
  }
  std::string dir = base + "/bench_wsf_XXXXXX";
  if (!::mkdtemp(dir.data())) return 1;
  const std::string src = dir + "/src.bin", wsf_root = dir + "/wsf", res_root = dir + "/res";
  fs::create_directories(wsf_root);
  fs::create_directories(res_root);
  {
    std::mt19937_64 rng(7);
    std::vector<uint64_t> block(1 << 17);  // 1 MiB
    std::ofstream out(src, std::ios::binary);
    for (int64_t m = 0; m < mib; ++m) {
      for (auto& w : block) w = rng();
      out.write(reinterpret_cast<const char*>(block.data()), std::streamsize(block.size() * 8));
    }
  }
  fs::create_hard_link(src, res_root + "/src.bin");
  const double mb = double(mib) * 1048576.0 / 1e6;
  int rc = 0;
  {
    qlyn_test::TServerTool wsf({QLYN_FILE_SERVER_EXE, "--root", wsf_root, "--port", "0", "--quiet", "--key", "b"});
    qlyn_test::TServerTool res({QLYN_RESOURCE_SERVER_EXE, "--root", res_root, "--port", "0", "--quiet"});
    const std::string wsf_port = wsf.port(), res_port = res.port();
    if (!wsf.listening() || !res.listening()) {
      std::fprintf(stderr, "bench_ws_file_transfer: a server did not start\n");
      return 1;
    }
    std::printf("file: %lld MiB (%.0f MB), loopback\n", (long long)mib, mb);
    std::printf("%-6s %12s %12s %12s %12s\n", "round", "ws up", "tcp copy", "ws down", "curl down");
    std::vector<double> up, copy, down, curl;
    for (int r = 0; r < rounds && rc == 0; ++r) {
      fs::remove(wsf_root + "/up.bin");
      ux::TUX_ws_uploader_cli u;
      u.Reset();
      u.set_source(src, int64_t(fs::file_size(src)));
      u.Http_cmd(ux::TUX_HTTP_Cli_Request::CreateFromWSConn("ws://127.0.0.1:" + wsf_port + "/up.bin", "key: b"));
      u.SetActive(true);
      auto t0 = Clock::now();
      bool ok = run(u, 600);
      double took = seconds_since(t0);
      if (!ok || u.State() != ux::kHttpStateDone || !same_file(src, wsf_root + "/up.bin")) {
        std::fprintf(stderr, "bench_ws_file_transfer: the upload failed (%s)\n", u.end_reason().c_str());
        rc = 1;
        break;
      }
      up.push_back(mb / took);

      const double tcp_s = tcp_copy(src, dir + "/copy.bin");
      if (tcp_s <= 0 || !same_file(src, dir + "/copy.bin")) {
        std::fprintf(stderr, "bench_ws_file_transfer: the TCP copy failed\n");
        rc = 1;
        break;
      }
      copy.push_back(mb / tcp_s);
      fs::remove(dir + "/copy.bin");

      fs::remove(dir + "/down.bin");
      ux::TUX_ws_downloader_cli d;
      d.Reset();
      d.set_save_name(dir + "/down.bin");
      d.Http_cmd(ux::TUX_HTTP_Cli_Request::CreateFromWSConn("ws://127.0.0.1:" + wsf_port + "/up.bin", "key: b"));
      d.SetActive(true);
      t0 = Clock::now();
      ok = run(d, 600);
      took = seconds_since(t0);
      if (!ok || d.State() != ux::kHttpStateDone || !same_file(src, dir + "/down.bin")) {
        std::fprintf(stderr, "bench_ws_file_transfer: the download failed (%s)\n", d.end_reason().c_str());
        rc = 1;
        break;
      }
      down.push_back(mb / took);
      fs::remove(dir + "/down.bin");

      t0 = Clock::now();
      ok = sh("curl -s --noproxy '*' -o " + quote(dir + "/curl.bin") + " http://127.0.0.1:" + res_port + "/src.bin") == 0;
      took = seconds_since(t0);
      if (!ok || !same_file(src, dir + "/curl.bin")) {
        std::fprintf(stderr, "bench_ws_file_transfer: curl failed\n");
        rc = 1;
        break;
      }
      curl.push_back(mb / took);
      fs::remove(dir + "/curl.bin");
      std::printf("%-6d %9.1f MB/s %7.1f MB/s %7.1f MB/s %7.1f MB/s\n", r + 1, up.back(), copy.back(), down.back(),
                  curl.back());
      std::fflush(stdout);
    }
    if (rc == 0)
      std::printf("median ws up / tcp copy = %.2f, ws down / curl = %.2f (goal >= 0.5)\n", median(up) / median(copy),
                  median(down) / median(curl));
  }
  fs::remove_all(dir);
  return rc;
}
