// Test support: DNS responders on 127.0.0.1 for the name-resolution tests.
//   TScriptedResponder  a UDP socket answering each datagram with whatever its
//                       handler returns (hostile or silent replies included);
//   TDnslibResponder    a zone served by Debian's python3-dnslib.
// Both bind an ephemeral loopback port and stop with their object.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/loopback_sockets.h"

namespace qlyn_test {

class TScriptedResponder {
 public:
  // handler: query bytes -> reply datagrams (none: stay silent).
  using THandler = std::function<std::vector<std::string>(const std::string& query)>;

  explicit TScriptedResponder(THandler handler) : handler_(std::move(handler)) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = loopback_addr(0);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) return;
    port_ = bound_port(fd_);
    th_ = std::thread([this] { run(); });
  }
  ~TScriptedResponder() {
    stop_ = true;
    if (th_.joinable()) th_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  TScriptedResponder(const TScriptedResponder&) = delete;
  TScriptedResponder& operator=(const TScriptedResponder&) = delete;

  int port() const { return port_; }
  std::vector<std::string> queries() {
    std::lock_guard<std::mutex> g(mu_);
    return queries_;
  }
  size_t query_count() {
    std::lock_guard<std::mutex> g(mu_);
    return queries_.size();
  }

 private:
  void run() {
    char buf[65536];
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      sockaddr_in from{};
      socklen_t len = sizeof from;
      const ssize_t n = ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 0) continue;
      const std::string q(buf, size_t(n));
      {
        std::lock_guard<std::mutex> g(mu_);
        queries_.push_back(q);
      }
      for (const std::string& r : handler_(q))
        ::sendto(fd_, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
  }

  THandler handler_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::vector<std::string> queries_;
  std::thread th_;
};

// Serves records given as "name A 1.2.3.4", "name CNAME other", "name AAAA ::1";
// other names get NXDOMAIN. Prints one line per query it answered.
class TDnslibResponder {
 public:
  explicit TDnslibResponder(const std::vector<std::string>& records) {
    std::vector<std::string> argv = {"/usr/bin/python3", "-c", kScript};
    for (const std::string& r : records) argv.push_back(r);
    child_ = std::make_unique<TChildProcess>(argv);
    const std::string first = child_->read_line();
    if (first.rfind("port ", 0) == 0) port_ = std::stoi(first.substr(5));
  }
  int port() const { return port_; }
  // Waits for the line the responder prints after answering a query.
  std::string next_query_line(int timeout_ms = 5000) { return child_->read_line(timeout_ms); }

 private:
  static constexpr const char* kScript = R"PY(
import socket, sys, select, time
from dnslib import DNSRecord, RR, QTYPE, RCODE, A, AAAA, CNAME
zone = [r.split() for r in sys.argv[1:]]
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
print("port", s.getsockname()[1], flush=True)
deadline = time.monotonic() + 120
while time.monotonic() < deadline:
    if not select.select([s], [], [], 0.5)[0]:
        continue
    data, peer = s.recvfrom(8192)
    q = DNSRecord.parse(data)
    qname = str(q.q.qname).rstrip(".").lower()
    reply = q.reply()
    name = qname
    for _ in range(8):
        recs = [z for z in zone if z[0].lower() == name]
        if not recs:
            break
        for owner, kind, value in recs:
            rdata = {"A": A, "AAAA": AAAA, "CNAME": CNAME}[kind](value)
            reply.add_answer(RR(owner, getattr(QTYPE, kind), rdata=rdata, ttl=60))
        cn = [r for r in recs if r[1] == "CNAME"]
        if not cn:
            break
        name = cn[0][2].lower()
    if not reply.rr:
        reply.header.rcode = RCODE.NXDOMAIN
    s.sendto(reply.pack(), peer)
    print("query", qname, flush=True)
)PY";
  std::unique_ptr<TChildProcess> child_;
  int port_ = 0;
};

}  // namespace qlyn_test
