// Test support: a plain UDP socket on 127.0.0.1 for scripted peers — send
// to an address, receive with a bounded wait, learn who sent.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace qlyn_test {

class TUdpPeer {
 public:
  // Bound to 127.0.0.1:port (0: an ephemeral port).
  explicit TUdpPeer(uint16_t port = 0) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
    port_ = ntohs(a.sin_port);
    const int buf = 4 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
  }
  ~TUdpPeer() {
    if (fd_ >= 0) ::close(fd_);
  }
  TUdpPeer(const TUdpPeer&) = delete;
  TUdpPeer& operator=(const TUdpPeer&) = delete;

  uint16_t port() const { return port_; }
  int fd() const { return fd_; }

  static sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
  }

  bool send_to(const sockaddr_in& to, const std::string& bytes) {
    return ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
           ssize_t(bytes.size());
  }
  bool send_to(uint16_t port, const std::string& bytes) { return send_to(loopback(port), bytes); }

  // One datagram within timeout_ms; false when none came. from: its sender.
  bool recv(std::string& out, int timeout_ms, sockaddr_in* from = nullptr) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return false;
    char buf[65536];
    sockaddr_in f{};
    socklen_t fl = sizeof f;
    const ssize_t n = ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&f), &fl);
    if (n < 0) return false;
    out.assign(buf, size_t(n));
    if (from) *from = f;
    return true;
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

}  // namespace qlyn_test
