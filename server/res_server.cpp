#include "server/res_server.h"

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "common/net/ux_socketbase_dns.h"
#include "common/ux_common.h"

namespace qlyn_res {

namespace {

constexpr int kEphemeralTries = 32;
constexpr int64_t kTcpTimerMs = 1000;

}  // namespace

int open_bound_socket(int type, const std::string& ip, uint16_t port, int buffer, int& code) {
  const int32_t fd = type == SOCK_STREAM ? ux::sock_create_tcp() : ux::sock_create_udp();
  if (fd < 0) {
    code = ux::sock_last_error();
    return -1;
  }
  if (type == SOCK_STREAM) ux::sock_set_option(fd, ux::kSockOptReuseAddr, 1);
  if (buffer > 0) {
    ux::sock_set_option(fd, ux::kSockOptRecvBuf, buffer);
    ux::sock_set_option(fd, ux::kSockOptSendBuf, buffer);
  }
  if (ux::sock_bind(fd, ip, port) != 0 || ux::sock_set_nonblocking(fd, true) != 0 ||
      (type == SOCK_STREAM && ::listen(fd, 512) != 0)) {
    code = errno;
    ::close(fd);
    return -1;
  }
  return fd;
}

bool check_listen_address(const std::string& bind, int port, std::string& error) {
  sockaddr_in probe{};
  if (::inet_pton(AF_INET, bind.c_str(), &probe.sin_addr) != 1) {
    error = "bind address \"" + bind + "\" is not a dotted IPv4 address";
    return false;
  }
  if (port < 0 || port > 65535) {
    error = "port " + std::to_string(port) + " is out of range";
    return false;
  }
  return true;
}

int open_event_loop(std::string& error) {
  const int fd = ::epoll_create1(EPOLL_CLOEXEC);
  if (fd < 0) error = std::string("cannot create the event loop: ") + std::strerror(errno);
  return fd;
}

void watch_readable(int epoll_fd, int fd) {
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = fd;
  ::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &ev);
}

std::string bind_error_text(const std::string& label, const std::string& action, const std::string& ip, int port,
                            int code) {
  if (code == EADDRINUSE) return "port " + std::to_string(port) + " is busy (" + label + " on " + ip + ")";
  return "cannot " + action + " " + ip + ":" + std::to_string(port) + ": " + std::strerror(code);
}

std::string utc_stamp(int64_t unix_ms) {
  const time_t t = time_t(unix_ms / 1000);
  struct tm g {};
  ::gmtime_r(&t, &g);
  char stamp[40];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02dZ", g.tm_year + 1900, g.tm_mon + 1, g.tm_mday,
                g.tm_hour, g.tm_min, g.tm_sec);
  return stamp;
}

std::string log_escaped(const std::string& text, const char* also) {
  std::string clean;
  clean.reserve(text.size());
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F || (c != 0 && std::strchr(also, c) != nullptr)) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02X", c);
      clean += esc;
    } else {
      clean += char(c);
    }
  }
  return clean;
}

std::string access_log_line(const TRes_Access_Entry& e, int64_t unix_ms) {
  // The request line is the client's text: escaped so that one request
  // stays one log line.
  std::string line = utc_stamp(unix_ms) + " " + e.peer + " " + e.transport + " \"" +
                     log_escaped(e.request_line, "\"\\") + "\" " + std::to_string(e.status) + " " +
                     std::to_string(e.body_bytes) + " " + std::to_string(e.duration_ms) + "ms";
  if (!e.complete) line += " incomplete";
  return line;
}

TRes_Server::TRes_Server(TRes_Server_Options opt, std::FILE* log_out) : opt_(std::move(opt)), log_out_(log_out) {}

TRes_Server::~TRes_Server() {
  shutdown();
  tls_.reset();
  tcp_.reset();
  kcp_.reset();
  if (epoll_fd_ >= 0) ::close(epoll_fd_);
}

void TRes_Server::log(const TRes_Access_Entry& e) {
  if (opt_.quiet || log_out_ == nullptr) return;
  const std::string line = access_log_line(e, ux::now_ms());
  std::fprintf(log_out_, "%s\n", line.c_str());
  std::fflush(log_out_);
}

bool TRes_Server::open() {
  if (!root_.open(opt_.root, error_)) return false;
  if (!check_listen_address(opt_.bind, opt_.port, error_)) return false;
  epoll_fd_ = open_event_loop(error_);
  if (epoll_fd_ < 0) return false;
  auto logger = [this](const TRes_Access_Entry& e) { log(e); };
  kcp_ = std::make_unique<TRes_Kcp_Side>(root_, opt_.kcp, logger);
  tcp_ = std::make_unique<TRes_Tcp_Side>(root_, opt_.tcp, logger, epoll_fd_);
  std::string err;
  bool bound = false;
  for (int i = 0; i < (opt_.port == 0 ? kEphemeralTries : 1) && !bound; ++i) bound = bind_both(uint16_t(opt_.port), err);
  if (!bound) {
    error_ = err;
    return false;
  }
  if (!opt_.tls_cert.empty() && !open_tls(logger)) return false;
  for (int fd : {kcp_->fd(), tcp_->listen_fd(), tls_ ? tls_->listen_fd() : -1}) {
    if (fd >= 0) watch_readable(epoll_fd_, fd);
  }
  return true;
}

bool TRes_Server::open_tls(const TRes_Access_Log& logger) {
  if (opt_.tls_port < 0 || opt_.tls_port > 65535) {
    error_ = "TLS port " + std::to_string(opt_.tls_port) + " is out of range";
    return false;
  }
  if (!tls_ctx_.load(opt_.tls_cert, opt_.tls_key, error_)) return false;
  int code = 0;
  const int fd = open_bound_socket(SOCK_STREAM, opt_.bind, uint16_t(opt_.tls_port), 0, code);
  if (fd < 0) {
    error_ = bind_error_text("TLS", "listen on TCP", opt_.bind, opt_.tls_port, code);
    return false;
  }
  tls_port_ = uint16_t(ux::sock_local_port(fd));
  tls_ = std::make_unique<TRes_Tcp_Side>(root_, opt_.tcp, logger, epoll_fd_, tls_ctx_.ctx());
  tls_->attach(fd);
  return true;
}

// Binds TCP then UDP on port (0: the port TCP was given). err names the
// socket that could not be bound.
bool TRes_Server::bind_both(uint16_t port, std::string& err) {
  int code = 0;
  const int tcp_fd = open_bound_socket(SOCK_STREAM, opt_.bind, port, 0, code);
  if (tcp_fd < 0) {
    err = bind_error_text("TCP", "listen on TCP", opt_.bind, port, code);
    return false;
  }
  const uint16_t bound = uint16_t(ux::sock_local_port(tcp_fd));
  const int udp_fd = open_bound_socket(SOCK_DGRAM, opt_.bind, bound, opt_.udp_buffer, code);
  if (udp_fd < 0) {
    ::close(tcp_fd);
    err = bind_error_text("UDP", "bind UDP", opt_.bind, bound, code);
    return false;
  }
  port_ = bound;
  tcp_->attach(tcp_fd);
  kcp_->attach(udp_fd);
  return true;
}

void TRes_Server::add_stop_fd(int fd) {
  stop_fd_ = fd;
  watch_readable(epoll_fd_, fd);
}

void TRes_Server::poll_once(int timeout_ms) {
  if (epoll_fd_ < 0) return;
  if (kcp_->session_count() > 0 && timeout_ms > 1) timeout_ms = 1;
  epoll_event events[128];
  const int n = ::epoll_wait(epoll_fd_, events, 128, timeout_ms);
  for (int i = 0; i < n; ++i) {
    const int fd = events[i].data.fd;
    if (fd == stop_fd_) {
      stop_.store(true);
    } else if (fd == kcp_->fd()) {
      kcp_->on_readable();
    } else if (fd == tcp_->listen_fd()) {
      tcp_->on_accept();
    } else if (tls_ && fd == tls_->listen_fd()) {
      tls_->on_accept();
    } else if (tls_ && tls_->owns(fd)) {
      tls_->on_event(fd, events[i].events);
    } else {
      tcp_->on_event(fd, events[i].events);
    }
  }
  kcp_->on_timer();
  const int64_t now = ux::now_ms();
  if (now >= next_tcp_timer_ms_) {
    tcp_->on_timer();
    if (tls_) tls_->on_timer();
    next_tcp_timer_ms_ = now + kTcpTimerMs;
  }
}

void TRes_Server::run() {
  while (!stop_.load()) poll_once(100);
  shutdown();
}

void TRes_Server::shutdown() {
  if (kcp_) kcp_->close_all();
  if (tcp_) tcp_->close_all();
  if (tls_) tls_->close_all();
}

}  // namespace qlyn_res
