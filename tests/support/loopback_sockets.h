// Test support: plain loopback sockets for the socket-layer tests, made with
// the system calls directly so that they do not depend on the code under test.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace qlyn_test {

inline sockaddr_in loopback_addr(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(port));
  return a;
}

inline int bound_port(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  return ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 ? ntohs(a.sin_port) : 0;
}

// A socket of the given type bound to 127.0.0.1 (port 0: any), without
// address reuse, so that nothing else can bind its port while it lives.
class TBoundSocket {
 public:
  explicit TBoundSocket(int type = SOCK_DGRAM, int port = 0) {
    fd_ = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    const sockaddr_in a = loopback_addr(port);
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) port_ = bound_port(fd_);
  }
  ~TBoundSocket() { close(); }
  TBoundSocket(const TBoundSocket&) = delete;
  TBoundSocket& operator=(const TBoundSocket&) = delete;

  int fd() const { return fd_; }
  int port() const { return port_; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A loopback port on which nothing listens (free once this returns).
inline int free_loopback_port(int type) {
  TBoundSocket s(type);
  return s.port();
}

// A listening TCP socket on 127.0.0.1.
class TLoopbackListener {
 public:
  explicit TLoopbackListener(int backlog = 16) : sock_(SOCK_STREAM) { ::listen(sock_.fd(), backlog); }

  int port() const { return sock_.port(); }
  int fd() const { return sock_.fd(); }
  // The next connection within timeout_ms, or -1.
  int accept(int timeout_ms = 5000) {
    pollfd p{sock_.fd(), POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return -1;
    return ::accept4(sock_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
  }

 private:
  TBoundSocket sock_;
};

// Sends all of data on a blocking socket; false when the connection fails.
inline bool send_all(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += size_t(n);
  }
  return true;
}

// Receives until n bytes arrived, the peer closed or nothing came for timeout_ms.
inline std::string recv_upto(int fd, size_t n, int timeout_ms = 5000) {
  std::string out;
  char buf[65536];
  while (out.size() < n) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) break;
    const ssize_t k = ::recv(fd, buf, sizeof buf, 0);
    if (k <= 0) break;
    out.append(buf, size_t(k));
  }
  return out;
}

}  // namespace qlyn_test
