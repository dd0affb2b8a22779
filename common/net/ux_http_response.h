// ux_http_response: the response side of an HTTP/1.1 exchange — the reader
// that collects a header block from arbitrary pieces (TUX_Http_Header_Reader)
// and TUX_HTTP_Cli_Response, which parses the header fields the client cares
// about (status, length, content range, content type and character set,
// server, transfer coding), collects the body in a memory FIFO, decodes a
// chunked body as it arrives and tells when the body is complete.
//
// No I/O and no clock: the engine feeds bytes it read from its transport.
// Bodies are kept as bytes; the character set is reported, never applied.
//
// Thread-safety: used by the thread that steps its engine, except in_buf,
// which has its own lock (move_in_buf_to takes it).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/net/ux_http_chunked.h"

namespace ux {

class Tfifo_Mem_stream;

// Collects bytes up to the empty line that ends a header block. The block
// ends at CR LF CR LF; a bare LF is accepted for either line end. Resumes
// across calls; a block above kMaxHeaderBytes is refused.
class TUX_Http_Header_Reader {
 public:
  // Total size of a header block (curl allows the same).
  static constexpr int32_t kMaxHeaderBytes = 300 * 1024;

  enum class Result { kAgain, kDone, kTooLarge };

  // Takes bytes up to and including the block's terminator; consumed
  // receives how many. After kDone, take_block() hands the block out.
  Result feed(const char* data, size_t len, size_t& consumed);
  // The block without its terminator (status line first); resets the reader.
  std::string take_block();
  void reset();
  int32_t size() const { return int32_t(buf_.size()); }

 private:
  std::string buf_;
  size_t end_ = 0;  // length of the block without its terminator once done
  bool done_ = false;
};

class TUX_HTTP_Cli_Response {
 public:
  static constexpr int32_t kInBufInitial = 3600;
  // The body buffer grows by its present size (at most this much) when an
  // append does not fit, so a large body is not moved over and over.
  static constexpr int64_t kMaxGrowStep = 64 << 20;

  // load_header verdicts.
  enum class HeaderCheck {
    kOk,
    kBadStatusLine,    // not "HTTP/x.y NNN ..." with NNN from 100 to 599
    kBadLength,        // a Content-Length that is not a non-negative decimal number
    kBadContentRange,  // a 206 without a usable content range
  };

  // Why append_content refused bytes.
  enum class BodyError {
    kNone,
    kBadChunk,    // malformed chunked coding
    kBufferFull,  // the body buffer's cap was reached
  };

  struct TRange {
    bool Enabled = false;
    int64_t pos_start = 0;
    int64_t pos_end = 0;
    int64_t full_content_length = 0;  // the total after the "/"
    int64_t clip_length = 0;          // Content-Length of the part
  };

  TUX_HTTP_Cli_Response();
  ~TUX_HTTP_Cli_Response();
  TUX_HTTP_Cli_Response(const TUX_HTTP_Cli_Response&) = delete;
  TUX_HTTP_Cli_Response& operator=(const TUX_HTTP_Cli_Response&) = delete;

  // Clears the header, the body and every parsed field except the received
  // size counter (the engine clears it when a header arrives).
  void reset();

  // Takes a header block (status line, CR LF, header lines; no terminator):
  // stores the status line and code, the raw header lines, then
  // parse_header(). The code is the status line's second space-separated
  // token, 0 when that is not a number.
  HeaderCheck load_header(std::string_view block);

  // Value of the first header line that starts with key immediately followed
  // by ":" (ASCII case-insensitive), up to the line end; "%2C" -> ",",
  // "%3d" -> "=", trimmed, then URL-decoded ("+" -> space). Empty before
  // the header was parsed, for an empty key or when absent.
  std::string get_header(std::string_view key) const;
  // The same line's value trimmed and otherwise as received (no decoding):
  // for values where "+" and "%" mean themselves, such as a location.
  std::string get_header_raw(std::string_view key) const;

  // Reads length, range, type, charset, server and transfer coding out of
  // the raw header.
  void parse_header();

  // Appends body bytes (chunked bodies are decoded on the way in). len, or
  // -1 when the header has not been parsed, data is null, len < 1, or the
  // bytes cannot be taken (body_error() then tells why; later calls fail
  // too). Bytes past the announced length, after the end of a chunked
  // body, or of an answer marked as having none are ignored.
  int32_t append_content(const char* data, int32_t len);

  // A body that ends with its connection (neither a length nor chunked
  // coding) is complete once the connection closed.
  void mark_connection_closed();
  // The response carries no body whatever its fields say (answer to HEAD,
  // 1xx, 204, 304).
  void mark_no_body();

  // Completion: no body, an empty length, the end of a chunked body, a body
  // ended by its connection, or at least content_length (>= 1) bytes.
  bool have_got_all_resp_data() const;
  // True when the body ends only when the connection closes.
  bool body_ends_at_close() const;
  BodyError body_error() const { return f_body_error; }

  std::string Content_asString();
  std::vector<uint8_t> Content_Data();
  // Moves every body byte to the end of buf under the body buffer's lock;
  // the count moved (0 when there was nothing).
  int32_t move_in_buf_to(Tfifo_Mem_stream& buf);

  // ---- properties
  const std::string& http_cmd_str() const { return f_cmd_str; }
  const std::string& raw_headers() const { return f_raw_header; }
  const std::string& Requ_tag() const { return f_Request_tag; }
  void set_Requ_tag(std::string_view t) { f_Request_tag = std::string(t); }
  int32_t Response_code() const { return f_response_code; }
  int64_t content_length() const { return f_content_length; }
  bool have_got_header() const { return f_have_got_header; }
  int64_t content_got_size() const { return f_content_got_size; }
  void set_content_got_size(int64_t n) { f_content_got_size = n; }
  const std::string& content_type() const { return f_content_type; }
  const std::string& charset() const { return f_charset; }
  const std::string& server_ver() const { return f_server_ver; }
  bool is_chunked_data() const { return f_is_chunked_data; }
  bool is_empty_content() const { return f_is_empty_content; }
  Tfifo_Mem_stream& body() { return *in_buf; }

  TRange Range;

 private:
  // Room for n more body bytes (see kMaxGrowStep); the append itself
  // decides when even that cannot be had.
  void make_body_room(int64_t n);

  std::string f_cmd_str;
  std::string f_raw_header;
  std::string f_Request_tag;
  int32_t f_response_code = 0;
  bool f_have_got_header = false;
  int64_t f_content_got_size = 0;
  int64_t f_content_length = 0;
  std::string f_content_type;
  std::string f_charset;
  std::string f_server_ver;
  bool f_is_chunked_data = false;
  std::unique_ptr<Tfifo_Mem_stream> in_buf;
  bool f_is_empty_content = false;
  bool f_bad_length = false;  // a Content-Length was present but not a number
  bool f_closed_complete = false;
  BodyError f_body_error = BodyError::kNone;
  TUX_Http_Chunk_Decoder chunks_;
};

// "utf8", "utf", "65001" -> "utf-8"; "gbk", "cp936", "gb-2312" -> "gb2312"
// (whole name, ASCII case-insensitive); other names unchanged.
std::string normalize_charset(std::string_view name);

}  // namespace ux
