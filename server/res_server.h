// res_server: the resource server — one port number on one address, UDP for
// KCP sessions and TCP for plain HTTP/1.1, and optionally HTTPS on a port of
// its own, served from one root folder by a single-threaded epoll loop. One
// access-log line per request goes to the log stream unless quiet.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "server/res_kcp_side.h"
#include "server/res_tcp_side.h"
#include "server/res_tls.h"

namespace qlyn_res {

struct TRes_Server_Options {
  std::string root;
  std::string bind = "127.0.0.1";  // dotted IPv4 address
  int32_t port = 56020;            // 0: an ephemeral port free for both UDP and TCP
  bool quiet = false;
  int32_t udp_buffer = 8 << 20;    // bytes asked for the UDP socket's buffers
  TRes_Kcp_Options kcp;
  TRes_Tcp_Options tcp;
  // HTTPS: on when tls_cert is set (tls_key then too); the connection limits of tcp apply.
  std::string tls_cert;      // PEM certificate chain, the server's certificate first
  std::string tls_key;       // PEM private key
  int32_t tls_port = 56443;  // 0: an ephemeral port
};

// A bound, non-blocking socket of type SOCK_STREAM (listening, address
// reuse on) or SOCK_DGRAM with buffer bytes asked for its buffers (0: the
// default), or -1 with code set to the errno of the failure.
int open_bound_socket(int type, const std::string& ip, uint16_t port, int buffer, int& code);

// Set-up shared by the project's servers.
// False, with error set, when bind is not a dotted IPv4 address or port is
// outside 0..65535.
bool check_listen_address(const std::string& bind, int port, std::string& error);
// A new epoll descriptor, or -1 with error set.
int open_event_loop(std::string& error);
// Adds fd to the loop for readability.
void watch_readable(int epoll_fd, int fd);
// Why open_bound_socket failed with code: "port P is busy (LABEL on IP)" for
// an address in use, else "cannot ACTION IP:P: <reason>".
std::string bind_error_text(const std::string& label, const std::string& action, const std::string& ip, int port,
                            int code);
// "2026-01-02T03:04:05Z"
std::string utc_stamp(int64_t unix_ms);
// Client text made safe for one log line: control bytes and the bytes of
// also are written as \xHH.
std::string log_escaped(const std::string& text, const char* also = "");

// "2026-01-02T03:04:05Z 127.0.0.1:40000 udp \"GET /a HTTP/1.1\" 206 1000 5ms"
// with " incomplete" appended when the response did not finish.
std::string access_log_line(const TRes_Access_Entry& e, int64_t unix_ms);

class TRes_Server {
 public:
  explicit TRes_Server(TRes_Server_Options opt, std::FILE* log_out = stdout);
  ~TRes_Server();
  TRes_Server(const TRes_Server&) = delete;
  TRes_Server& operator=(const TRes_Server&) = delete;

  // Checks the root and binds both sockets; false with error() set
  // ("root folder ... does not exist", "port ... is busy", ...).
  bool open();
  const std::string& error() const { return error_; }
  uint16_t port() const { return port_; }
  // The HTTPS port; 0 without TLS.
  uint16_t tls_port() const { return tls_port_; }

  // Readable fd makes run() return (a signalfd, an eventfd).
  void add_stop_fd(int fd);
  // One pass: waits up to timeout_ms for events (at most 1 ms while KCP
  // sessions exist), handles them and runs the timers.
  void poll_once(int timeout_ms);
  // Passes until a stop fd becomes readable or request_stop(); then ends
  // every session and connection.
  void run();
  // Safe from any thread and from signal handlers.
  void request_stop() { stop_.store(true); }
  void shutdown();

  const TRes_Kcp_Side& kcp() const { return *kcp_; }
  const TRes_Tcp_Side& tcp() const { return *tcp_; }

 private:
  void log(const TRes_Access_Entry& e);
  bool bind_both(uint16_t port, std::string& err);
  bool open_tls(const TRes_Access_Log& logger);

  TRes_Server_Options opt_;
  std::FILE* log_out_;
  std::string error_;
  TRes_Root root_;
  int epoll_fd_ = -1;
  int stop_fd_ = -1;
  uint16_t port_ = 0;
  std::unique_ptr<TRes_Kcp_Side> kcp_;
  std::unique_ptr<TRes_Tcp_Side> tcp_;
  TRes_Tls_Context tls_ctx_;
  std::unique_ptr<TRes_Tcp_Side> tls_;
  uint16_t tls_port_ = 0;
  std::atomic<bool> stop_{false};
  int64_t next_tcp_timer_ms_ = 0;
};

}  // namespace qlyn_res
