// wsf_server: the WebSocket file server — one TCP port on one address,
// connections upgraded to WebSocket and served by TWsf_Conn from one root
// folder, on a single-threaded epoll loop. One log line per transfer step
// ("upload_query", "done", "interrupted", refusals) goes to the log stream
// unless quiet.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <set>
#include <string>

#include "server/res_tcp_side.h"
#include "server/wsf_conn.h"
#include "server/wsf_store.h"

namespace qlyn_wsf {

struct TWsf_Server_Options {
  std::string root;
  std::string bind = "127.0.0.1";  // dotted IPv4 address
  int32_t port = 56030;            // 0: an ephemeral port
  std::set<std::string> keys;      // accepted "ws_auth" keys; empty: every key
  bool quiet = false;
  qlyn_res::TRes_Tcp_Options tcp;
  int64_t popo_interval_ms = 5000;
};

class TWsf_Server {
 public:
  explicit TWsf_Server(TWsf_Server_Options opt, std::FILE* log_out = stdout);
  ~TWsf_Server();
  TWsf_Server(const TWsf_Server&) = delete;
  TWsf_Server& operator=(const TWsf_Server&) = delete;

  // Checks the root and binds; false with error() set.
  bool open();
  const std::string& error() const { return error_; }
  uint16_t port() const { return port_; }

  // Readable fd makes run() return (a signalfd, an eventfd).
  void add_stop_fd(int fd);
  // One pass: waits up to timeout_ms for events, handles them, runs the timers.
  void poll_once(int timeout_ms);
  // Passes until a stop fd becomes readable or request_stop(); then ends
  // every connection.
  void run();
  // Safe from any thread and from signal handlers.
  void request_stop() { stop_.store(true); }
  void shutdown();

  size_t connection_count() const { return tcp_ ? tcp_->connection_count() : 0; }

 private:
  void log(const std::string& line);

  TWsf_Server_Options opt_;
  std::FILE* log_out_;
  std::string error_;
  TWsf_Store store_;
  TWsf_Shared shared_;
  int epoll_fd_ = -1;
  int stop_fd_ = -1;
  uint16_t port_ = 0;
  std::unique_ptr<qlyn_res::TRes_Tcp_Side> tcp_;
  std::atomic<bool> stop_{false};
  int64_t next_timer_ms_ = 0;
};

}  // namespace qlyn_wsf
