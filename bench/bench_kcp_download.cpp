// Downloads over udp-http: our KCP session, stepped as the HTTP client
// engine steps it, against qlyn-resource-server on loopback, directly and
// through qlyn-udp-relay; plain HTTP/TCP with curl from the same server for
// scale; many concurrent sessions against one server. Prints one line per
// figure. Every process it starts is stopped before it returns.
//
//   bench_kcp_download [--mib N] [--sessions N] [--session-mib N] [--only NAME]
//   NAME: loopback, curl, relay, many
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/net/ux_kcp_udp_class.h"
#include "common/ux_common.h"
#include "support/server_tool.h"

namespace {

using Clock = std::chrono::steady_clock;

// Peak resident set (VmHWM) of process pid in KiB; -1 when unknown.
long peak_rss_kib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (in >> key) {
    if (key == "VmHWM:") {
      long v = 0;
      in >> v;
      return v;
    }
  }
  return -1;
}

double thread_cpu_s() {
  timespec ts;
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + ts.tv_nsec / 1e9;
}

struct TResult {
  bool ok = false;
  int64_t bytes = 0;
  double seconds = 0;
  double cpu_s = 0;
};

// One GET of path over a KCP session to 127.0.0.1:port, stepped like the HTTP
// engine steps its transport: execute(), then up to 21 reads of 64 KiB.
TResult kcp_get(int port, const std::string& path, uint64_t expect_hash, int64_t expect_len, double limit_s) {
  TResult r;
  ux::TUX_KCP_UDP_Cli s(false);
  s.SetServerHost("127.0.0.1:" + std::to_string(port));
  const auto t0 = Clock::now();
  const double c0 = thread_cpu_s();
  s.SetActive(true);
  auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - t0).count(); };
  while (!s.connected() && elapsed() < 10) s.execute();
  if (!s.connected()) return r;
  s.sendString("GET " + path + " HTTP/1.1\r\nhost: 127.0.0.1:" + std::to_string(port) +
               "\r\nconnection: keep-alive\r\nAccept: */*\r\n\r\n");
  s.flush();
  std::string head;
  while (head.empty() && elapsed() < limit_s) {
    s.execute();
    head = s.readStringEol("\r\n\r\n");
  }
  const size_t cl = head.find("Content-Length: ");
  if (cl == std::string::npos) return r;
  const int64_t len = std::atoll(head.c_str() + cl + 16);
  XXH64_state_t* h = XXH64_createState();
  XXH64_reset(h, 0);
  std::vector<char> buf(65536);
  int64_t got = 0;
  while (got < len && elapsed() < limit_s) {
    s.execute();
    for (int i = 0; i < 21; ++i) {
      const int32_t n = s.readData(buf.data(), int32_t(buf.size()));
      if (n <= 0) break;
      XXH64_update(h, buf.data(), size_t(n));
      got += n;
    }
  }
  r.seconds = elapsed();
  r.cpu_s = thread_cpu_s() - c0;
  r.bytes = got;
  r.ok = got == expect_len && len == expect_len && XXH64_digest(h) == expect_hash;
  XXH64_freeState(h);
  s.SetActive(false);
  return r;
}

void print(const char* what, const TResult& r, const std::string& extra = "");

// Many sessions at once, each on its own thread (the session's own-thread
// mode), all fetching path; this thread drives the exchanges.
void print_many(int port, int sessions, uint64_t expect_hash, int64_t expect_len, double limit_s) {
  struct TOne {
    std::unique_ptr<ux::TUX_KCP_UDP_Cli> s;
    int state = 0;  // 0 handshake, 1 head, 2 body, 3 done
    int64_t got = 0;
    XXH64_state_t* h = nullptr;
    std::atomic<int32_t> last_event{0};
  };
  std::vector<TOne> all(static_cast<size_t>(sessions));
  const auto t0 = Clock::now();
  for (auto& o : all) {
    o.s = std::make_unique<ux::TUX_KCP_UDP_Cli>(true);
    o.s->SetServerHost("127.0.0.1:" + std::to_string(port));
    auto* ev = &o.last_event;
    o.s->events.onDisconnected = [ev](ux::TUX_KCP_UDP_Cli*, int32_t code) { ev->store(code); };
    o.s->events.onConnectError = [ev](ux::TUX_KCP_UDP_Cli*, int32_t code) { ev->store(code); };
    o.s->SetActive(true);
    o.h = XXH64_createState();
    XXH64_reset(o.h, 0);
  }
  std::vector<char> buf(65536);
  int done = 0;
  auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - t0).count(); };
  while (done < sessions && elapsed() < limit_s) {
    bool idle = true;
    for (auto& o : all) {
      if (o.state == 0 && o.s->connected()) {
        o.s->sendString("GET /down/small.bin HTTP/1.1\r\nhost: 127.0.0.1\r\n\r\n");
        o.state = 1;
      }
      if (o.state == 1 && !o.s->readStringEol("\r\n\r\n").empty()) o.state = 2;
      while (o.state == 2) {
        const int32_t n = o.s->readData(buf.data(), int32_t(buf.size()));
        if (n <= 0) break;
        idle = false;
        XXH64_update(o.h, buf.data(), size_t(n));
        o.got += n;
        if (o.got >= expect_len) {
          o.state = 3;
          ++done;
        }
      }
    }
    if (idle) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  TResult r;
  r.seconds = elapsed();
  r.ok = true;
  for (auto& o : all) {
    if (o.state != 3)
      std::printf("  unfinished session %u: state %d, %lld bytes, active %d, connected %d, last event %d\n", o.s->session_id(), o.state,
                  (long long)o.got, int(o.s->Active()), int(o.s->connected()), o.last_event.load());
    r.bytes += o.got;
    r.ok = r.ok && o.got == expect_len && XXH64_digest(o.h) == expect_hash;
    XXH64_freeState(o.h);
    o.s.reset();
  }
  char what[80];
  std::snprintf(what, sizeof what, "%d sessions at once, %lld MiB each", sessions, (long long)(expect_len >> 20));
  print(what, r, "  (all byte-exact: " + std::string(r.ok ? "yes" : "NO") + ")");
}

void print(const char* what, const TResult& r, const std::string& extra) {
  const double mb = double(r.bytes) / 1e6;
  std::printf("%-44s %s %8.1f MB in %6.2f s = %7.1f MB/s  client CPU %5.2f ms/MB%s\n", what, r.ok ? "ok  " : "FAIL",
              mb, r.seconds, r.seconds > 0 ? mb / r.seconds : 0, mb > 0 ? r.cpu_s * 1000 / mb : 0, extra.c_str());
  std::fflush(stdout);
}

std::string make_file(const std::string& dir, const std::string& rel, int64_t mib, uint64_t& hash) {
  const std::string path = dir + rel;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary);
  std::mt19937_64 rng(mib);
  std::vector<uint64_t> block(131072);
  XXH64_state_t* h = XXH64_createState();
  XXH64_reset(h, 0);
  for (int64_t i = 0; i < mib; ++i) {
    for (auto& w : block) w = rng();
    out.write(reinterpret_cast<const char*>(block.data()), 1 << 20);
    XXH64_update(h, block.data(), 1 << 20);
  }
  hash = XXH64_digest(h);
  XXH64_freeState(h);
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  int64_t mib = 256, sessions = 200, session_mib = 8;
  double limit_s = 300;
  std::string only;
  std::vector<std::string> server_args;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::string(argv[i]) == "--server-arg") server_args.push_back(argv[i + 1]);
    const std::string a = argv[i];
    if (a == "--mib") mib = std::atoll(argv[i + 1]);
    if (a == "--sessions") sessions = std::atoll(argv[i + 1]);
    if (a == "--session-mib") session_mib = std::atoll(argv[i + 1]);
    if (a == "--only") only = argv[i + 1];
    if (a == "--limit") limit_s = std::atof(argv[i + 1]);
  }
  auto want = [&](const char* name) { return only.empty() || only == name; };
  char tmpl[] = "/tmp/bench_kcp_XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) return 1;
  const std::string dir = std::string(tmpl) + "/";
  uint64_t big_hash = 0, small_hash = 0;
  make_file(dir, "down/big.bin", mib, big_hash);
  make_file(dir, "down/small.bin", session_mib, small_hash);
  const int64_t big_len = mib << 20, small_len = session_mib << 20;

  {
    std::vector<std::string> server_argv = {QLYN_RESOURCE_SERVER_EXE, "--root", dir, "--port", "0", "--quiet"};
    server_argv.insert(server_argv.end(), server_args.begin(), server_args.end());
    qlyn_test::TServerTool server(server_argv);
    const int port = server.port_number();
    if (port == 0) {
      std::fprintf(stderr, "the server did not start\n");
      return 1;
    }
    if (want("loopback"))
      print("udp-http, session -> server, loopback", kcp_get(port, "/down/big.bin", big_hash, big_len, 600));
    if (want("curl")) {
      const std::string cmd = "curl -s --noproxy '*' -o /dev/null -w '%{size_download} %{time_total}' http://127.0.0.1:" +
                              std::to_string(port) + "/down/big.bin";
      FILE* p = ::popen(cmd.c_str(), "r");
      double size = 0, t = 0;
      if (p && std::fscanf(p, "%lf %lf", &size, &t) == 2) {
        TResult r;
        r.ok = int64_t(size) == big_len;
        r.bytes = int64_t(size);
        r.seconds = t;
        print("http over TCP, curl -> server, loopback", r, "  (curl's CPU not counted)");
      }
      if (p) ::pclose(p);
    }
    if (want("relay")) {
      qlyn_test::TServerTool relay({QLYN_UDP_RELAY_EXE, "--server", "127.0.0.1:" + std::to_string(port), "--delay",
                                    "25", "--loss", "1", "--seed", "1"});
      const int rport = relay.port_number();
      const int64_t relay_mib = std::min<int64_t>(mib, 64);
      uint64_t h = 0;
      make_file(dir, "down/relay.bin", relay_mib, h);
      print("udp-http through relay, 25 ms each way, 1 % loss", kcp_get(rport, "/down/relay.bin", h, relay_mib << 20, 600));
    }
    if (want("many")) print_many(port, int(sessions), small_hash, small_len, limit_s);
    std::printf("server peak RSS %.1f MB\n", double(peak_rss_kib(server.pid())) / 1024);
  }
  std::filesystem::remove_all(dir);
  return 0;
}
