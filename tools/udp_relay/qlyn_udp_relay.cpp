// qlyn-udp-relay: relays UDP between clients and one server address through
// an impaired link (delay, jitter, loss, duplication, reordering, rate limit;
// seeded). Each client address gets its own upstream socket, so the server
// sees one source port per client. Prints "listening HOST:PORT" when ready,
// and the counters of both directions when stopped by SIGINT or SIGTERM.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <map>
#include <string>
#include <unordered_map>

#include "tools/tool_options.h"
#include "tools/udp_relay/relay_impair.h"

namespace {

using qlyn_relay::TDatagram;
using qlyn_relay::TImpairedLink;
using qlyn_relay::TImpairment;
using qlyn_tools::TToolOptions;

constexpr int kSocketBuffer = 4 << 20;        // bytes; the relay must not be the bottleneck
constexpr int kReadsPerWakeup = 512;          // datagrams per socket per wakeup
constexpr size_t kMaxDatagram = 65536;
constexpr size_t kMaxClients = 4096;

int64_t mono_us() {
  timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

uint64_t addr_key(const sockaddr_in& a) { return uint64_t(a.sin_addr.s_addr) << 16 | a.sin_port; }

int open_udp(const sockaddr_in& bind_to) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int buf = kSocketBuffer;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&bind_to), sizeof bind_to) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

class TUdpRelay {
 public:
  TUdpRelay(const TImpairment& up, const TImpairment& down, uint64_t seed, int64_t idle_us)
      : up_(up, seed), down_(down, seed ^ 0x9E3779B97F4A7C15ull), idle_us_(idle_us) {}

  ~TUdpRelay() {
    for (auto& [id, c] : clients_) ::close(c.fd);
    if (listen_fd_ >= 0) ::close(listen_fd_);
    if (signal_fd_ >= 0) ::close(signal_fd_);
    if (epoll_fd_ >= 0) ::close(epoll_fd_);
  }

  // Binds the listening socket; the error text when it fails.
  std::string open(const sockaddr_in& listen_at, const sockaddr_in& server) {
    server_ = server;
    listen_fd_ = open_udp(listen_at);
    if (listen_fd_ < 0) return "cannot bind " + qlyn_tools::endpoint_text(listen_at) + ": " + std::strerror(errno);
    socklen_t n = sizeof bound_;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&bound_), &n);
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &mask, nullptr);
    signal_fd_ = ::signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
    epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (signal_fd_ < 0 || epoll_fd_ < 0) return std::string("cannot set up the event loop: ") + std::strerror(errno);
    watch(listen_fd_, kListenId);
    watch(signal_fd_, kSignalId);
    return {};
  }

  const sockaddr_in& bound() const { return bound_; }

  void run() {
    epoll_event events[64];
    int64_t next_sweep = mono_us() + 1000000;
    while (!stop_) {
      const int64_t now = mono_us();
      const int64_t due = std::min({up_.next_due(), down_.next_due(), next_sweep});
      const int64_t wait_us = due <= now ? 0 : due - now;
      timespec timeout{time_t(wait_us / 1000000), long(wait_us % 1000000) * 1000};
      const int n = ::epoll_pwait2(epoll_fd_, events, 64, &timeout, nullptr);
      if (n < 0 && errno != EINTR) break;
      for (int i = 0; i < n; ++i) on_ready(events[i].data.u64);
      const int64_t t = mono_us();
      send_due(t);
      if (t >= next_sweep) {
        sweep_idle(t);
        next_sweep = t + 1000000;
      }
    }
  }

  void print_stats() const {
    print_direction("up", up_);
    print_direction("down", down_);
    std::fflush(stdout);
  }

 private:
  static constexpr uint64_t kListenId = 0;
  static constexpr uint64_t kSignalId = 1;
  static constexpr uint64_t kFirstClientId = 2;

  struct TClient {
    int fd = -1;
    sockaddr_in addr{};
    int64_t last_active_us = 0;
  };

  static void print_direction(const char* name, const TImpairedLink& link) {
    const auto& s = link.stats();
    std::printf("%s: received %llu sent %llu bytes %llu lost %llu duplicated %llu reordered %llu queue-dropped %llu\n",
                name, (unsigned long long)s.received, (unsigned long long)s.sent,
                (unsigned long long)s.bytes_sent, (unsigned long long)s.lost, (unsigned long long)s.duplicated,
                (unsigned long long)s.reordered, (unsigned long long)s.queue_dropped);
  }

  void watch(int fd, uint64_t id) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = id;
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev);
  }

  void on_ready(uint64_t id) {
    if (id == kSignalId) {
      stop_ = true;
      return;
    }
    if (id == kListenId) {
      read_clients();
      return;
    }
    auto it = clients_.find(id);
    if (it != clients_.end()) read_server(id, it->second);
  }

  void read_clients() {
    for (int i = 0; i < kReadsPerWakeup; ++i) {
      sockaddr_in from{};
      socklen_t fl = sizeof from;
      const ssize_t n = ::recvfrom(listen_fd_, buf_, sizeof buf_, 0, reinterpret_cast<sockaddr*>(&from), &fl);
      if (n < 0) return;
      const int64_t now = mono_us();
      const uint64_t id = client_for(from, now);
      if (id == 0) continue;
      up_.submit(now, buf_, size_t(n), id);
    }
  }

  void read_server(uint64_t id, TClient& c) {
    for (int i = 0; i < kReadsPerWakeup; ++i) {
      const ssize_t n = ::recv(c.fd, buf_, sizeof buf_, 0);
      if (n < 0) return;
      c.last_active_us = mono_us();
      down_.submit(c.last_active_us, buf_, size_t(n), id);
    }
  }

  // The id of the client at from, created (with its upstream socket) when
  // new; 0 when no upstream socket can be had.
  uint64_t client_for(const sockaddr_in& from, int64_t now) {
    auto known = by_addr_.find(addr_key(from));
    if (known != by_addr_.end()) {
      clients_[known->second].last_active_us = now;
      return known->second;
    }
    if (clients_.size() >= kMaxClients) evict_oldest();
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = bound_.sin_addr;
    const int fd = open_udp(local);
    if (fd < 0) return 0;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&server_), sizeof server_) != 0) {
      ::close(fd);
      return 0;
    }
    const uint64_t id = next_id_++;
    clients_[id] = TClient{fd, from, now};
    by_addr_[addr_key(from)] = id;
    watch(fd, id);
    return id;
  }

  void drop_client(uint64_t id) {
    auto it = clients_.find(id);
    if (it == clients_.end()) return;
    ::close(it->second.fd);
    by_addr_.erase(addr_key(it->second.addr));
    clients_.erase(it);
  }

  void evict_oldest() {
    uint64_t oldest = 0;
    int64_t at = std::numeric_limits<int64_t>::max();
    for (auto& [id, c] : clients_)
      if (c.last_active_us < at) at = c.last_active_us, oldest = id;
    drop_client(oldest);
  }

  void sweep_idle(int64_t now) {
    for (auto it = clients_.begin(); it != clients_.end();) {
      auto next = std::next(it);
      if (now - it->second.last_active_us > idle_us_) drop_client(it->first);
      it = next;
    }
  }

  void send_due(int64_t now) {
    TDatagram d;
    while (up_.take_due(now, d)) {
      auto it = clients_.find(d.tag);
      if (it != clients_.end() && ::send(it->second.fd, d.bytes.data(), d.bytes.size(), 0) >= 0)
        up_.note_sent(d.bytes.size());
    }
    while (down_.take_due(now, d)) {
      auto it = clients_.find(d.tag);
      if (it == clients_.end()) continue;
      const auto* to = reinterpret_cast<const sockaddr*>(&it->second.addr);
      if (::sendto(listen_fd_, d.bytes.data(), d.bytes.size(), 0, to, sizeof it->second.addr) >= 0)
        down_.note_sent(d.bytes.size());
    }
  }

  TImpairedLink up_;
  TImpairedLink down_;
  int64_t idle_us_;
  sockaddr_in server_{};
  sockaddr_in bound_{};
  int listen_fd_ = -1;
  int signal_fd_ = -1;
  int epoll_fd_ = -1;
  bool stop_ = false;
  uint64_t next_id_ = kFirstClientId;
  std::unordered_map<uint64_t, TClient> clients_;
  std::unordered_map<uint64_t, uint64_t> by_addr_;
  char buf_[kMaxDatagram];
};

const char* kUsage =
    "usage: qlyn-udp-relay --server HOST:PORT [--listen HOST:PORT] [--delay MS] [--jitter MS]\n"
    "         [--loss PCT] [--dup PCT] [--reorder PCT] [--reorder-gap MS] [--rate BYTES/S]\n"
    "         [--queue BYTES] [--seed N] [--idle SEC]\n"
    "       every impairment applies to both directions; NAME-up (client to server) and\n"
    "       NAME-down (server to client) set one direction, e.g. --loss-up 1\n";

const char* kImpairNames[] = {"delay", "jitter", "loss", "dup", "reorder", "reorder-gap", "rate", "queue"};

// Reads one impairment option for one direction ("up" or "down"): the
// directional form wins over the shared one. False with err set when the
// value is not valid.
bool read_impairment(const TToolOptions& o, const char* dir, TImpairment& cfg, std::string& err) {
  for (const char* base : kImpairNames) {
    const std::string name = base, own = name + "-" + dir;
    if (!o.has(own) && !o.has(name)) continue;
    const std::string v = o.has(own) ? o.text(own) : o.text(name);
    double d = 0;
    if (!qlyn_tools::parse_decimal(v, d)) {
      err = "bad value \"" + v + "\" for --" + (o.has(own) ? own : name);
      return false;
    }
    const bool percent = name == "loss" || name == "dup" || name == "reorder";
    if (percent && d > 100) {
      err = "--" + name + " is a percentage (0 to 100)";
      return false;
    }
    if (name == "delay") cfg.delay_us = int64_t(d * 1000);
    else if (name == "jitter") cfg.jitter_us = int64_t(d * 1000);
    else if (name == "loss") cfg.loss = d / 100;
    else if (name == "dup") cfg.duplicate = d / 100;
    else if (name == "reorder") cfg.reorder = d / 100;
    else if (name == "reorder-gap") cfg.reorder_gap_us = int64_t(d * 1000);
    else if (name == "rate") cfg.rate_bytes_per_s = int64_t(d);
    else if (name == "queue") cfg.queue_bytes = int64_t(d);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::set<std::string> valued = {"server", "listen", "seed", "idle"};
  for (const char* base : kImpairNames) {
    valued.insert(base);
    valued.insert(std::string(base) + "-up");
    valued.insert(std::string(base) + "-down");
  }
  TToolOptions o({"help"}, valued);
  if (!o.parse(argc, argv)) {
    std::fprintf(stderr, "qlyn-udp-relay: %s\n%s", o.error().c_str(), kUsage);
    return 2;
  }
  if (o.has("help")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  sockaddr_in server{}, listen_at{};
  if (!o.has("server") || !qlyn_tools::parse_endpoint(o.text("server"), "127.0.0.1", server) ||
      ntohs(server.sin_port) == 0) {
    std::fprintf(stderr, "qlyn-udp-relay: --server HOST:PORT is required (dotted IPv4 address, port 1-65535)\n%s",
                 kUsage);
    return 2;
  }
  if (!qlyn_tools::parse_endpoint(o.text("listen", "127.0.0.1:0"), "127.0.0.1", listen_at)) {
    std::fprintf(stderr, "qlyn-udp-relay: bad --listen \"%s\"\n", o.text("listen").c_str());
    return 2;
  }
  int64_t seed = 1, idle_s = 60;
  if (o.has("seed") && !qlyn_tools::parse_int(o.text("seed"), 0, std::numeric_limits<int64_t>::max(), seed)) {
    std::fprintf(stderr, "qlyn-udp-relay: bad --seed \"%s\"\n", o.text("seed").c_str());
    return 2;
  }
  if (o.has("idle") && !qlyn_tools::parse_int(o.text("idle"), 1, 86400, idle_s)) {
    std::fprintf(stderr, "qlyn-udp-relay: bad --idle \"%s\" (1 to 86400 seconds)\n", o.text("idle").c_str());
    return 2;
  }
  TImpairment up, down;
  std::string err;
  if (!read_impairment(o, "up", up, err) || !read_impairment(o, "down", down, err)) {
    std::fprintf(stderr, "qlyn-udp-relay: %s\n", err.c_str());
    return 2;
  }
  TUdpRelay relay(up, down, uint64_t(seed), idle_s * 1000000);
  err = relay.open(listen_at, server);
  if (!err.empty()) {
    std::fprintf(stderr, "qlyn-udp-relay: %s\n", err.c_str());
    return 1;
  }
  std::printf("listening %s\n", qlyn_tools::endpoint_text(relay.bound()).c_str());
  std::fflush(stdout);
  relay.run();
  relay.print_stats();
  return 0;
}
