// res_http_conn: one HTTP/1.1 connection of the resource server, apart from
// its transport. The transport (a TCP connection or a KCP session) hands in
// the bytes it received and pulls the bytes to send as its send window
// opens; the connection parses requests in order (pipelining included),
// answers GET and HEAD from the root folder with ranges, validators and
// keep-alive, and reads the file only as fast as the transport pulls, so a
// connection holds at most one pull of file data.
//
// Not thread-safe: driven by the server's event loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "server/res_files.h"
#include "server/res_http_request.h"
#include "server/res_stream_conn.h"

namespace qlyn_res {

// Input buffered beyond this stops the transport's reading until the
// requests before it have been answered.
inline constexpr size_t kMaxBufferedInput = 65536;

// One finished (or abandoned) request, for the access log.
struct TRes_Access_Entry {
  std::string peer;          // "ip:port"
  std::string transport;     // "tcp", "tls", "udp" or "udp-scrambled"
  std::string request_line;  // empty when the request could not be parsed
  int status = 0;
  int64_t body_bytes = 0;    // body bytes handed to the transport
  int64_t duration_ms = 0;
  bool complete = true;      // false: the connection ended before the response did
};
using TRes_Access_Log = std::function<void(const TRes_Access_Entry&)>;

// "<status> <reason phrase>"-free text: the reason phrase of status.
const char* status_reason(int status);

class TRes_Http_Conn : public TRes_Stream_Conn {
 public:
  TRes_Http_Conn(const TRes_Root& root, std::string peer, std::string transport, TRes_Access_Log log);
  // Logs a response that did not finish.
  ~TRes_Http_Conn() override;
  TRes_Http_Conn(const TRes_Http_Conn&) = delete;
  TRes_Http_Conn& operator=(const TRes_Http_Conn&) = delete;

  // Whether more input is welcome now; the transport reads only then.
  bool wants_input() const override { return !done_ && !input_ended_ && input_.size() < kMaxBufferedInput; }
  // Received bytes. Taken whole, even past kMaxBufferedInput (the transport
  // stops reading once wants_input() is false).
  void on_input(const char* data, size_t len) override;
  // The peer will send nothing more; the connection ends after the response
  // under way.
  void on_input_end() override;

  // Copies up to room bytes of output into buf; 0 when there is nothing to
  // send now.
  size_t pull_output(char* buf, size_t room) override;
  bool has_output() const override { return head_sent_ < head_.size() || body_left_ > 0; }
  // The exchange is over: close once the pulled bytes are delivered.
  bool done() const override { return done_ && !has_output(); }

  void set_transport(std::string transport) { transport_ = std::move(transport); }

 private:
  void advance();
  void respond(const TRes_Request& req);
  void respond_error(int status, bool close, const std::string& request_line);
  void start_response(int status, const std::string& extra_fields, int64_t content_length, bool with_body,
                      std::string body_text);
  void finish_response();
  bool not_modified(const TRes_Request& req, const TRes_File& f) const;
  bool if_range_holds(const TRes_Request& req, const TRes_File& f) const;

  const TRes_Root& root_;
  std::string peer_;
  std::string transport_;
  TRes_Access_Log log_;

  std::string input_;
  size_t scan_from_ = 0;
  int64_t discard_left_ = 0;  // request body bytes still to be skipped
  bool input_ended_ = false;
  bool done_ = false;

  bool responding_ = false;
  bool close_after_ = false;
  std::string head_;  // response head, then a short body of an error answer
  size_t head_sent_ = 0;
  TRes_File file_;
  int64_t body_pos_ = 0;
  int64_t body_left_ = 0;
  TRes_Access_Entry entry_;
  int64_t started_ms_ = 0;
};

}  // namespace qlyn_res
