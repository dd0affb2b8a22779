// qlyn-resource-server: serves a folder over HTTP/1.1 on one port number,
// carried by KCP sessions over UDP (the installer's "udp-http" road) and by
// plain TCP, and with a certificate over HTTPS on a TCP port of its own.
// Prints "listening HOST:PORT" on stdout when ready (then "listening https
// HOST:PORT" with TLS), then one access-log line per request; stops cleanly
// on SIGINT or SIGTERM.
#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "common/net/ux_kcp_core.h"
#include "server/res_server.h"
#include "tools/tool_options.h"

namespace {

const char* kUsage =
    "usage: qlyn-resource-server --root DIR [--port N] [--bind ADDR] [--quiet]\n"
    "         [--nodelay 0|1] [--interval MS] [--resend N] [--nc 0|1] [--wnd N] [--rcv-wnd N]\n"
    "         [--min-rto MS] [--send-budget N] [--max-sessions N] [--session-idle SEC]\n"
    "         [--max-connections N] [--connection-idle SEC]\n"
    "         [--tls-cert FILE --tls-key FILE [--tls-port N]]\n";

// Segments straight from the heap: the engine's own recycling keeps up to
// 512 blocks per session for the session's life, which would tie up about
// 700 KB per idle keep-alive session here.
void* segment_alloc(size_t n) { return std::malloc(n); }
void segment_free(void* p) { std::free(p); }

struct TIntOption {
  const char* name;
  int64_t lo, hi;
  int64_t* target;
};

}  // namespace

int main(int argc, char** argv) {
  qlyn_tools::TToolOptions o({"quiet", "help"},
                             {"root", "port", "bind", "nodelay", "interval", "resend", "nc", "wnd", "rcv-wnd",
                              "min-rto", "send-budget", "max-sessions", "session-idle", "max-connections", "connection-idle",
                              "tls-cert", "tls-key", "tls-port"});
  if (const int rc = qlyn_tools::parse_tool_args(o, argc, argv, "qlyn-resource-server", kUsage, {"root"}); rc >= 0) return rc;
  qlyn_res::TRes_Server_Options opt;
  opt.root = o.text("root");
  opt.bind = o.text("bind", opt.bind);
  opt.quiet = o.has("quiet");
  opt.tls_cert = o.text("tls-cert");
  opt.tls_key = o.text("tls-key");
  if (opt.tls_cert.empty() != opt.tls_key.empty() || (o.has("tls-port") && opt.tls_cert.empty())) {
    std::fprintf(stderr, "qlyn-resource-server: --tls-cert and --tls-key go together (and --tls-port with them)\n%s",
                 kUsage);
    return 2;
  }
  auto& k = opt.kcp;
  int64_t port = opt.port, nodelay = k.nodelay, interval = k.interval, resend = k.resend, nc = k.nc,
          wnd = k.snd_wnd, rcv_wnd = k.rcv_wnd, min_rto = k.min_rto, send_budget = k.send_budget, max_sessions = int64_t(k.max_sessions),
          session_idle = k.idle_timeout_ms / 1000, max_conns = int64_t(opt.tcp.max_connections),
          conn_idle = opt.tcp.idle_timeout_ms / 1000, tls_port = opt.tls_port;
  const TIntOption ints[] = {{"port", 0, 65535, &port},
                             {"nodelay", 0, 1, &nodelay},
                             {"interval", 3, 5000, &interval},
                             {"resend", 0, 100, &resend},
                             {"nc", 0, 1, &nc},
                             {"wnd", 1, 65535, &wnd},
                             {"rcv-wnd", 1, 65535, &rcv_wnd},
                             {"min-rto", 1, 60000, &min_rto},
                             {"send-budget", 16, 1000000, &send_budget},
                             {"max-sessions", 1, 1000000, &max_sessions},
                             {"session-idle", 1, 86400, &session_idle},
                             {"max-connections", 1, 1000000, &max_conns},
                             {"connection-idle", 1, 86400, &conn_idle},
                             {"tls-port", 0, 65535, &tls_port}};
  for (const auto& io : ints) {
    if (!o.has(io.name)) continue;
    if (!qlyn_tools::parse_int(o.text(io.name), io.lo, io.hi, *io.target)) {
      std::fprintf(stderr, "qlyn-resource-server: bad --%s \"%s\" (%lld to %lld)\n", io.name,
                   o.text(io.name).c_str(), (long long)io.lo, (long long)io.hi);
      return 2;
    }
  }
  opt.port = int32_t(port);
  k.nodelay = int32_t(nodelay);
  k.interval = int32_t(interval);
  k.resend = int32_t(resend);
  k.nc = int32_t(nc);
  k.snd_wnd = int32_t(wnd);
  k.rcv_wnd = int32_t(rcv_wnd);
  k.min_rto = int32_t(min_rto);
  k.send_budget = int32_t(send_budget);
  k.max_sessions = size_t(max_sessions);
  k.idle_timeout_ms = session_idle * 1000;
  opt.tcp.max_connections = size_t(max_conns);
  opt.tcp.idle_timeout_ms = conn_idle * 1000;
  opt.tls_port = int32_t(tls_port);

  ux::ikcp_allocator(&segment_alloc, &segment_free);

  const int sig_fd = qlyn_tools::stop_signal_fd();

  qlyn_res::TRes_Server server(opt, stdout);
  if (!server.open()) {
    std::fprintf(stderr, "qlyn-resource-server: %s\n", server.error().c_str());
    return 1;
  }
  if (sig_fd >= 0) server.add_stop_fd(sig_fd);
  std::printf("listening %s:%u\n", opt.bind.c_str(), unsigned(server.port()));
  if (server.tls_port() != 0) std::printf("listening https %s:%u\n", opt.bind.c_str(), unsigned(server.tls_port()));
  std::fflush(stdout);
  server.run();
  if (sig_fd >= 0) ::close(sig_fd);
  return 0;
}
