// qlyn-file-server: the WebSocket file server of the file-transfer clients —
// uploads into and downloads from one root folder, with resume. Prints
// "listening HOST:PORT" on stdout when ready, then one log line per transfer
// event; stops cleanly on SIGINT or SIGTERM.
#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "common/ux_common.h"
#include "server/wsf_server.h"
#include "tools/tool_options.h"

namespace {

const char* kUsage =
    "usage: qlyn-file-server --root DIR [--port N] [--bind ADDR] [--key KEY] [--keys-file FILE]\n"
    "         [--max-connections N] [--connection-idle SEC] [--quiet]\n"
    "  Clients authenticate with \"ws_auth\": the key given by --key or any line of\n"
    "  --keys-file. Without either, every key is accepted.\n";

bool load_keys(const std::string& path, std::set<std::string>& keys) {
  if (!ux::file_exists(path)) return false;
  const std::string text = ux::read_file_text(path);
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string k = ux::trim_text(std::string_view(text).substr(at, end - at));
    if (!k.empty() && k[0] != '#') keys.insert(k);
    at = end + 1;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  qlyn_tools::TToolOptions o({"quiet", "help"},
                             {"root", "port", "bind", "key", "keys-file", "max-connections", "connection-idle"});
  if (const int rc = qlyn_tools::parse_tool_args(o, argc, argv, "qlyn-file-server", kUsage, {"root"}); rc >= 0) return rc;
  qlyn_wsf::TWsf_Server_Options opt;
  opt.root = o.text("root");
  opt.bind = o.text("bind", opt.bind);
  opt.quiet = o.has("quiet");
  if (o.has("key")) opt.keys.insert(o.text("key"));
  if (o.has("keys-file") && !load_keys(o.text("keys-file"), opt.keys)) {
    std::fprintf(stderr, "qlyn-file-server: cannot read the keys file %s\n", o.text("keys-file").c_str());
    return 2;
  }
  int64_t port = opt.port, max_conns = int64_t(opt.tcp.max_connections), idle = opt.tcp.idle_timeout_ms / 1000;
  struct {
    const char* name;
    int64_t lo, hi;
    int64_t* target;
  } const ints[] = {{"port", 0, 65535, &port}, {"max-connections", 1, 1000000, &max_conns}, {"connection-idle", 1, 86400, &idle}};
  for (const auto& io : ints) {
    if (o.has(io.name) && !qlyn_tools::parse_int(o.text(io.name), io.lo, io.hi, *io.target)) {
      std::fprintf(stderr, "qlyn-file-server: bad --%s \"%s\" (%lld to %lld)\n", io.name, o.text(io.name).c_str(),
                   (long long)io.lo, (long long)io.hi);
      return 2;
    }
  }
  opt.port = int32_t(port);
  opt.tcp.max_connections = size_t(max_conns);
  opt.tcp.idle_timeout_ms = idle * 1000;

  const int sig_fd = qlyn_tools::stop_signal_fd();

  qlyn_wsf::TWsf_Server server(opt, stdout);
  if (!server.open()) {
    std::fprintf(stderr, "qlyn-file-server: %s\n", server.error().c_str());
    return 1;
  }
  if (sig_fd >= 0) server.add_stop_fd(sig_fd);
  std::printf("listening %s:%u\n", opt.bind.c_str(), unsigned(server.port()));
  if (opt.keys.empty() && !opt.quiet) std::printf("warning: no keys given, every key is accepted\n");
  std::fflush(stdout);
  server.run();
  if (!opt.quiet) std::printf("stopped\n");
  std::fflush(stdout);
  if (sig_fd >= 0) ::close(sig_fd);
  return 0;
}
