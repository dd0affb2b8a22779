#include "server/wsf_server.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/net/ux_socketbase_dns.h"
#include "common/ux_common.h"
#include "server/res_server.h"

namespace qlyn_wsf {

namespace {

constexpr int64_t kTimerMs = 1000;

}  // namespace

TWsf_Server::TWsf_Server(TWsf_Server_Options opt, std::FILE* log_out) : opt_(std::move(opt)), log_out_(log_out) {}

TWsf_Server::~TWsf_Server() {
  shutdown();
  tcp_.reset();
  if (epoll_fd_ >= 0) ::close(epoll_fd_);
}

void TWsf_Server::log(const std::string& line) {
  if (opt_.quiet || log_out_ == nullptr) return;
  // Names and reasons come from clients: escaped so that one event stays one line.
  std::fprintf(log_out_, "%s %s\n", qlyn_res::utc_stamp(ux::now_ms()).c_str(), qlyn_res::log_escaped(line).c_str());
  std::fflush(log_out_);
}

bool TWsf_Server::open() {
  if (!store_.open(opt_.root, error_)) {
    error_ = "root folder " + opt_.root + " does not exist or is no folder";
    return false;
  }
  if (!qlyn_res::check_listen_address(opt_.bind, opt_.port, error_)) return false;
  epoll_fd_ = qlyn_res::open_event_loop(error_);
  if (epoll_fd_ < 0) return false;
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
    error_ = qlyn_res::bind_error_text("TCP", "listen on TCP", opt_.bind, opt_.port, code);
    return false;
  }
  port_ = uint16_t(ux::sock_local_port(fd));
  tcp_->attach(fd);
  qlyn_res::watch_readable(epoll_fd_, fd);
  return true;
}

void TWsf_Server::add_stop_fd(int fd) {
  stop_fd_ = fd;
  qlyn_res::watch_readable(epoll_fd_, fd);
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
