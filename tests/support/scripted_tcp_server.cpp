#include "support/scripted_tcp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "common/ux_common.h"
#include "support/eventually.h"
#include "support/loopback_sockets.h"

namespace qlyn_test {

namespace {

// Polls in short slices so that a stopping server is noticed.
constexpr int kSliceMs = 20;

}  // namespace

bool TScriptConn::fill(int64_t deadline) {
  while (fd_ >= 0 && !stopping_.load()) {
    const int64_t left = deadline - real_ms();
    if (left <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, int(std::min<int64_t>(left, kSliceMs)));
    if (r < 0) return false;
    if (r == 0) continue;
    char buf[65536];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return false;
    in_.append(buf, size_t(n));
    return true;
  }
  return false;
}

std::string TScriptConn::read_until(std::string_view tag, int timeout_ms) {
  const int64_t deadline = real_ms() + timeout_ms;
  for (;;) {
    const size_t at = in_.find(tag);
    if (at != std::string::npos) {
      std::string out = in_.substr(0, at + tag.size());
      in_.erase(0, at + tag.size());
      return out;
    }
    if (!fill(deadline)) return {};
  }
}

std::string TScriptConn::read_exact(size_t n, int timeout_ms) {
  const int64_t deadline = real_ms() + timeout_ms;
  while (in_.size() < n)
    if (!fill(deadline)) return {};
  std::string out = in_.substr(0, n);
  in_.erase(0, n);
  return out;
}

std::string TScriptConn::read_request(int timeout_ms) {
  std::string head = read_until("\r\n\r\n", timeout_ms);
  if (head.empty()) return {};
  std::string lower = ux::lower_ascii(head);
  const size_t cl = lower.find("\ncontent-length:");
  if (cl != std::string::npos) {
    const int64_t n = ux::parse_int64(ux::trim_text(lower.substr(cl + 16, lower.find('\n', cl + 1) - cl - 16)));
    if (n > 0) {
      const std::string body = read_exact(size_t(n), timeout_ms);
      if (body.empty()) return {};
      head += body;
    }
  }
  if (log_) log_(head);
  return head;
}

bool TScriptConn::send(std::string_view bytes) {
  size_t at = 0;
  while (fd_ >= 0 && at < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return false;
    at += size_t(n);
  }
  return at == bytes.size();
}

void TScriptConn::close() {
  if (fd_ < 0) return;
  ::shutdown(fd_, SHUT_RDWR);
  ::close(fd_);
  fd_ = -1;
}

bool TScriptConn::wait_peer_closed(int timeout_ms) {
  const int64_t deadline = real_ms() + timeout_ms;
  while (fd_ >= 0 && !stopping_.load()) {
    const int64_t left = deadline - real_ms();
    if (left <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, int(std::min<int64_t>(left, kSliceMs)));
    if (r < 0) return true;
    if (r == 0) continue;
    char buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return true;
    in_.append(buf, size_t(n));
  }
  return false;
}

void TScriptConn::hold(int timeout_ms) {
  const int64_t deadline = real_ms() + timeout_ms;
  while (!stopping_.load() && real_ms() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
}

TScriptedTcpServer::TScriptedTcpServer(TScript script, bool listen_now) : script_(std::move(script)) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  const sockaddr_in a = loopback_addr(0);
  if (::bind(listen_fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) port_ = bound_port(listen_fd_);
  if (listen_now) start_listening();
}

void TScriptedTcpServer::start_listening() {
  if (th_.joinable() || listen_fd_ < 0) return;
  ::listen(listen_fd_, 16);
  th_ = std::thread([this] { run(); });
}

TScriptedTcpServer::~TScriptedTcpServer() {
  stopping_ = true;
  if (th_.joinable()) th_.join();
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

std::string TScriptedTcpServer::url(const std::string& scheme, const std::string& path) const {
  return scheme + "://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> TScriptedTcpServer::requests() {
  std::lock_guard<std::mutex> g(mu_);
  return requests_;
}

void TScriptedTcpServer::run() {
  int index = 0;
  while (!stopping_.load()) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (::poll(&p, 1, kSliceMs) <= 0) continue;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    accepted_.fetch_add(1);
    TScriptConn conn(fd, stopping_, [this](const std::string& r) {
      std::lock_guard<std::mutex> g(mu_);
      requests_.push_back(r);
    });
    if (script_) script_(conn, index);
    ++index;
  }
}

TScriptedTcpServer::TScript answer(std::string response, bool cut) {
  return [response = std::move(response), cut](TScriptConn& c, int) {
    if (c.read_request().empty()) return;
    c.send(response);
    if (cut) c.close();
    else c.wait_peer_closed(5000);
  };
}

}  // namespace qlyn_test
