// tool_options: the command-line conventions shared by the project tools
// (qlyn-resource-server, qlyn-file-server, qlyn-udp-relay): "--name value"
// or "--name=value", flags without a value, numeric IPv4 endpoints only (the
// tools never resolve names), and the stop signals.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/signalfd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace qlyn_tools {

class TToolOptions {
 public:
  // flags: options that take no value; valued: options that take one.
  TToolOptions(std::set<std::string> flags, std::set<std::string> valued)
      : flags_(std::move(flags)), valued_(std::move(valued)) {}

  // False with error() set on an unknown option, a missing value or a stray
  // argument. A later occurrence of an option replaces an earlier one.
  bool parse(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
      std::string a = argv[i];
      if (a.rfind("--", 0) != 0) return fail("unexpected argument \"" + a + "\"");
      std::string name = a.substr(2), value;
      const size_t eq = name.find('=');
      const bool inline_value = eq != std::string::npos;
      if (inline_value) {
        value = name.substr(eq + 1);
        name.resize(eq);
      }
      if (flags_.count(name)) {
        if (inline_value) return fail("option --" + name + " takes no value");
        values_[name] = "1";
      } else if (valued_.count(name)) {
        if (!inline_value) {
          if (i + 1 >= argc) return fail("option --" + name + " needs a value");
          value = argv[++i];
        }
        values_[name] = value;
      } else {
        return fail("unknown option --" + name);
      }
    }
    return true;
  }

  bool has(const std::string& name) const { return values_.count(name) != 0; }
  std::string text(const std::string& name, const std::string& fallback = "") const {
    auto it = values_.find(name);
    return it == values_.end() ? fallback : it->second;
  }
  const std::string& error() const { return error_; }

 private:
  bool fail(std::string e) {
    error_ = std::move(e);
    return false;
  }

  std::set<std::string> flags_;
  std::set<std::string> valued_;
  std::map<std::string, std::string> values_;
  std::string error_;
};

// Parses the command line of tool. -1: go on. Otherwise the exit status to
// return: 0 after printing usage for --help, 2 after printing the error and
// usage to stderr (a bad option, or a required option missing).
inline int parse_tool_args(TToolOptions& o, int argc, char** argv, const char* tool, const char* usage,
                           const std::vector<std::string>& required) {
  if (!o.parse(argc, argv)) {
    std::fprintf(stderr, "%s: %s\n%s", tool, o.error().c_str(), usage);
    return 2;
  }
  if (o.has("help")) {
    std::fputs(usage, stdout);
    return 0;
  }
  for (const std::string& name : required) {
    if (o.has(name)) continue;
    std::fprintf(stderr, "%s: --%s is required\n%s", tool, name.c_str(), usage);
    return 2;
  }
  return -1;
}

// Blocks SIGINT and SIGTERM (and ignores SIGPIPE) so that they arrive on the
// returned signal descriptor (non-blocking; -1 when it cannot be made).
inline int stop_signal_fd() {
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &mask, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  return ::signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
}

// Decimal integer in [lo, hi]; false for anything else (no sign games, no
// trailing bytes).
inline bool parse_int(std::string_view s, int64_t lo, int64_t hi, int64_t& out) {
  if (s.empty() || s.size() > 18) return false;
  int64_t v = 0;
  size_t i = 0;
  const bool neg = s[0] == '-';
  if (neg) i = 1;
  if (i == s.size()) return false;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  if (neg) v = -v;
  if (v < lo || v > hi) return false;
  out = v;
  return true;
}

// Non-negative decimal number with an optional fraction, e.g. "2.5"; false
// otherwise.
inline bool parse_decimal(std::string_view s, double& out) {
  if (s.empty() || s.size() > 32) return false;
  std::string t(s);
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(t.c_str(), &end);
  if (errno != 0 || end != t.c_str() + t.size() || !(v >= 0) || t[0] == '+' || t[0] == '-') return false;
  out = v;
  return true;
}

// "HOST:PORT" with a dotted IPv4 HOST (an empty HOST is default_host) and a
// PORT in 0..65535.
inline bool parse_endpoint(std::string_view s, const std::string& default_host, sockaddr_in& out) {
  const size_t colon = s.rfind(':');
  if (colon == std::string_view::npos) return false;
  std::string host(s.substr(0, colon));
  if (host.empty()) host = default_host;
  int64_t port = 0;
  if (!parse_int(s.substr(colon + 1), 0, 65535, port)) return false;
  out = sockaddr_in{};
  out.sin_family = AF_INET;
  out.sin_port = htons(uint16_t(port));
  return ::inet_pton(AF_INET, host.c_str(), &out.sin_addr) == 1;
}

inline std::string endpoint_text(const sockaddr_in& a) {
  char ip[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
  return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

}  // namespace qlyn_tools
