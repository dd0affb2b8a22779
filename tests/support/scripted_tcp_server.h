// Test support: a TCP server on 127.0.0.1 that plays a script for each
// connection it accepts, for tests that need exact bytes on the wire.
//
// The script runs on the server's own thread, one connection at a time, in
// the order of acceptance. Every read waits at most its timeout (real time)
// and gives up early when the server is being destroyed, so a test never
// hangs on a script. The port is bound at construction; with listen_now
// false connections are refused until start_listening().
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qlyn_test {

class TScriptConn {
 public:
  TScriptConn(int fd, const std::atomic<bool>& stopping, std::function<void(const std::string&)> log)
      : fd_(fd), stopping_(stopping), log_(std::move(log)) {}
  ~TScriptConn() { close(); }
  TScriptConn(const TScriptConn&) = delete;
  TScriptConn& operator=(const TScriptConn&) = delete;

  // Bytes up to and including tag; "" when it did not arrive in time or the
  // peer closed first (what arrived stays buffered).
  std::string read_until(std::string_view tag, int timeout_ms = 5000);
  // Exactly n bytes, or "" as above.
  std::string read_exact(size_t n, int timeout_ms = 5000);
  // A request head and the body its Content-Length announces; recorded in
  // the server's request log. "" on timeout or close.
  std::string read_request(int timeout_ms = 5000);
  bool send(std::string_view bytes);
  // Shuts the connection down (the peer reads end of stream).
  void close();
  // True when the peer closes within timeout_ms.
  bool wait_peer_closed(int timeout_ms = 5000);
  // Waits timeout_ms (or until the server stops) without reading anything.
  void hold(int timeout_ms);

 private:
  // Reads what arrives within the time left; false on close, error or timeout.
  bool fill(int64_t deadline);

  int fd_;
  const std::atomic<bool>& stopping_;
  std::function<void(const std::string&)> log_;
  std::string in_;
};

class TScriptedTcpServer {
 public:
  using TScript = std::function<void(TScriptConn& conn, int index)>;

  explicit TScriptedTcpServer(TScript script, bool listen_now = true);
  ~TScriptedTcpServer();
  TScriptedTcpServer(const TScriptedTcpServer&) = delete;
  TScriptedTcpServer& operator=(const TScriptedTcpServer&) = delete;

  void start_listening();
  int port() const { return port_; }
  std::string url(const std::string& scheme, const std::string& path) const;
  int accepted() const { return accepted_.load(); }
  // Every request read by read_request, in order.
  std::vector<std::string> requests();

 private:
  void run();

  TScript script_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> accepted_{0};
  std::mutex mu_;
  std::vector<std::string> requests_;
  std::thread th_;
};

// A script for a peer that says one thing: for each connection it reads a
// request, sends response in one piece, then waits up to 5 s for the client
// to close, or with cut closes first (a body cut short).
TScriptedTcpServer::TScript answer(std::string response, bool cut = false);

}  // namespace qlyn_test
