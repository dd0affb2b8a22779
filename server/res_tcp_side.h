// res_tcp_side: the TCP side of a server — plain or with a TLS context, one
// protocol connection (TRes_Stream_Conn; HTTP/1.1 for the resource server)
// per TCP connection on the server's epoll loop. A connection reads only while its HTTP connection wants input
// and pulls file data only as the socket accepts it, so it holds at most one
// output chunk. Idle keep-alive connections close after idle_timeout_ms;
// beyond max_connections new connections are closed at once.
//
// Not thread-safe: driven by the server's event loop.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/res_http_conn.h"
#include "server/res_stream_conn.h"
#include "server/res_tls.h"

namespace qlyn_res {

struct TRes_Tcp_Options {
  size_t max_connections = 1024;
  int64_t idle_timeout_ms = 60000;  // keep-alive connections without traffic
};

class TRes_Tcp_Side {
 public:
  // epoll_fd: the loop's epoll instance; connections are registered there
  // with their descriptor as data. With tls_ctx (not owned, outlives the
  // side) every connection speaks TLS and is logged as "tls".
  TRes_Tcp_Side(const TRes_Root& root, const TRes_Tcp_Options& opt, TRes_Access_Log log, int epoll_fd,
                SSL_CTX* tls_ctx = nullptr);
  // Any protocol: make builds each connection's protocol object.
  TRes_Tcp_Side(TRes_Conn_Factory make, const TRes_Tcp_Options& opt, int epoll_fd, SSL_CTX* tls_ctx = nullptr);
  ~TRes_Tcp_Side();
  TRes_Tcp_Side(const TRes_Tcp_Side&) = delete;
  TRes_Tcp_Side& operator=(const TRes_Tcp_Side&) = delete;

  // Takes the listening, non-blocking socket (owned from now on).
  void attach(int listen_fd);
  int listen_fd() const { return listen_fd_; }

  void on_accept();
  // Events of one connection (its descriptor).
  void on_event(int fd, uint32_t events);
  // Idle timeouts, and the connections' own periodic work.
  void on_timer();
  // Closes every connection (server shutdown).
  void close_all();

  bool owns(int fd) const { return conns_.count(fd) != 0; }
  size_t connection_count() const { return conns_.size(); }

 private:
  struct TConn {
    int fd = -1;
    std::unique_ptr<TRes_Stream_Conn> http;
    std::unique_ptr<TRes_Tls_Session> tls;  // with a TLS context
    std::vector<char> out;  // pulled, not yet written
    size_t out_pos = 0;
    size_t out_len = 0;
    uint32_t watched = 0;   // epoll events registered
    int64_t last_active_ms = 0;
  };

  void read_from(TConn& c);
  // As recv / send, through TLS when the connection has it.
  int64_t conn_recv(TConn& c, char* buf, size_t len);
  int64_t conn_send(TConn& c, const char* data, size_t len);
  // Writes what is pending; false when the connection failed.
  bool write_to(TConn& c);
  void update_watch(TConn& c);
  void drop(int fd);

  TRes_Conn_Factory make_;
  TRes_Tcp_Options opt_;
  int epoll_fd_;
  SSL_CTX* tls_ctx_;
  int listen_fd_ = -1;
  std::unordered_map<int, std::unique_ptr<TConn>> conns_;
};

}  // namespace qlyn_res
