#include "server/wsf_server.h"

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "common/net/ux_socketbase_dns.h"
#include "common/ux_common.h"
#include "server/res_server.h"

namespace qlyn_wsf {

namespace {

constexpr int64_t kTimerMs = 1000;

std::string utc_stamp(int64_t unix_ms) {
  const time_t t = time_t(unix_ms / 1000);
  struct tm g {};
  ::gmtime_r(&t, &g);
  char stamp[40];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02dZ", g.tm_year + 1900, g.tm_mon + 1, g.tm_mday,
                g.tm_hour, g.tm_min, g.tm_sec);
  return stamp;
}

}  // namespace

TWsf_Server::TWsf_Server(TWsf_Server_Options opt, std::FILE* log_out) : opt_(std::move(opt)), log_out_(log_out) {}

TWsf_Server::~TWsf_Server() {
  shutdown();
  tcp_.reset();
  if (epoll_fd_ >= 0) ::close(epoll_fd_);
}

void TWsf_Server::log(const std::string& line) {
  if (opt_.quiet || log_out_ == nullptr) return;
  // Names and reasons come from clients: control bytes are shown escaped so
  // that one event stays one line.
  std::string clean;
  for (unsigned char c : line) {
    if (c < 0x20 || c == 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02X", c);
      clean += esc;
    } else {
      clean += char(c);
    }
  }
  std::fprintf(log_out_, "%s %s\n", utc_stamp(ux::now_ms()).c_str(), clean.c_str());
  std::fflush(log_out_);
}

bool TWsf_Server::open() {
  if (!store_.open(opt_.root, error_)) {
    error_ = "root folder " + opt_.root + " does not exist or is no folder";
    return false;
  }
  sockaddr_in probe{};
  if (::inet_pton(AF_INET, opt_.bind.c_str(), &probe.sin_addr) != 1) {
    error_ = "bind address \"" + opt_.bind + "\" is not a dotted IPv4 address";
    return false;
  }
  if (opt_.port < 0 || opt_.port > 65535) {
    error_ = "port " + std::to_string(opt_.port) + " is out of range";
    return false;
  }
  epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (epoll_fd_ < 0) {
    error_ = std::string("cannot create the event loop: ") + std::strerror(errno);
    return false;
  }
  shared_.store = &store_;
  shared_.keys = opt_.keys;
  shared_.popo_interval_ms = opt_.popo_interval_ms;
  shared_.log = [this](const std::string& line) { log(line); };
  tcp_ = std::make_unique<qlyn_res::TRes_Tcp_Side>(
      [this](const std::string& peer, const std::string&) { return std::make_unique<TWsf_Conn>(shared_, peer); },
      opt_.tcp, epoll_fd_);
  int code = 0;
  const int fd = qlyn_res::open_bound_socket(SOCK_STREAM, opt_.bind, uint16_t(opt_.port), 0, code);
  if (fd < 0) {
    error_ = code == EADDRINUSE ? "port " + std::to_string(opt_.port) + " is busy (TCP on " + opt_.bind + ")"
                                : "cannot listen on TCP " + opt_.bind + ":" + std::to_string(opt_.port) + ": " +
                                      std::strerror(code);
    return false;
  }
  port_ = uint16_t(ux::sock_local_port(fd));
  tcp_->attach(fd);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = fd;
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev);
  return true;
}

void TWsf_Server::add_stop_fd(int fd) {
  stop_fd_ = fd;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = fd;
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev);
}

void TWsf_Server::poll_once(int timeout_ms) {
  if (epoll_fd_ < 0) return;
  epoll_event events[128];
  const int n = ::epoll_wait(epoll_fd_, events, 128, timeout_ms);
  for (int i = 0; i < n; ++i) {
    const int fd = events[i].data.fd;
    if (fd == stop_fd_) {
      stop_.store(true);
    } else if (fd == tcp_->listen_fd()) {
      tcp_->on_accept();
    } else {
      tcp_->on_event(fd, events[i].events);
    }
  }
  const int64_t now = ux::now_ms();
  if (now >= next_timer_ms_) {
    tcp_->on_timer();
    next_timer_ms_ = now + kTimerMs;
  }
}

void TWsf_Server::run() {
  while (!stop_.load()) poll_once(100);
  shutdown();
}

void TWsf_Server::shutdown() {
  if (tcp_) tcp_->close_all();
}

}  // namespace qlyn_wsf
