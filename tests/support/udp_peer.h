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

#include "support/loopback_sockets.h"

namespace qlyn_test {

class TUdpPeer {
 public:
  // Bound to 127.0.0.1:port (0: an ephemeral port).
  explicit TUdpPeer(uint16_t port = 0) : sock_(SOCK_DGRAM, port) {
    const int buf = 4 << 20;
    ::setsockopt(sock_.fd(), SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
  }

  uint16_t port() const { return uint16_t(sock_.port()); }
  int fd() const { return sock_.fd(); }

  bool send_to(const sockaddr_in& to, const std::string& bytes) {
    return ::sendto(sock_.fd(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
           ssize_t(bytes.size());
  }
  bool send_to(uint16_t port, const std::string& bytes) { return send_to(loopback_addr(port), bytes); }

  // One datagram within timeout_ms; false when none came. from: its sender.
  bool recv(std::string& out, int timeout_ms, sockaddr_in* from = nullptr) {
    pollfd p{sock_.fd(), POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return false;
    char buf[65536];
    sockaddr_in f{};
    socklen_t fl = sizeof f;
    const ssize_t n = ::recvfrom(sock_.fd(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&f), &fl);
    if (n < 0) return false;
    out.assign(buf, size_t(n));
    if (from) *from = f;
    return true;
  }

 private:
  TBoundSocket sock_;
};

}  // namespace qlyn_test
