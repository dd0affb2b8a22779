// res_stream_conn: the contract between a server's TCP side and the
// protocol spoken on one connection — the transport hands in the bytes it
// received and pulls the bytes to send as its send window opens, so the
// protocol never waits on the socket.
//
// Not thread-safe: driven by the server's event loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace qlyn_res {

class TRes_Stream_Conn {
 public:
  virtual ~TRes_Stream_Conn() = default;
  // Whether more input is welcome now; the transport reads only then.
  virtual bool wants_input() const = 0;
  // Received bytes, taken whole.
  virtual void on_input(const char* data, size_t len) = 0;
  // The peer will send nothing more.
  virtual void on_input_end() = 0;
  // Copies up to room bytes of output into buf; 0 when there is nothing to
  // send now.
  virtual size_t pull_output(char* buf, size_t room) = 0;
  virtual bool has_output() const = 0;
  // Close once the pulled bytes are delivered.
  virtual bool done() const = 0;
  // Called about once a second with now_ms; output it makes is sent.
  virtual void on_tick(int64_t /*now*/) {}
};

// Makes the protocol object of a new connection: peer "ip:port", transport
// "tcp" or "tls".
using TRes_Conn_Factory =
    std::function<std::unique_ptr<TRes_Stream_Conn>(const std::string& peer, const std::string& transport)>;

}  // namespace qlyn_res
