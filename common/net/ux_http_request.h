// ux_http_request: TUX_HTTP_Cli_Request, everything the client engine needs to
// send one HTTP request — method, URL, headers, the body source with its send
// position, the WebSocket handshake key, the engine's timing marks and the
// caller's callbacks.
//
// The request does no I/O of its own: it writes its head through a string
// sender and hands out its body in pieces through a data sender, so the same
// request goes over any transport.
//
// Not thread-safe: used by the thread that steps its engine.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "common/ext_list.h"
#include "common/net/ux_http_callbacks.h"
#include "common/ux_file_data_source.h"

namespace ux {

class TStream;
class TShareFile;

// Writes one piece of the request head; the result is not examined.
using func_send_string = std::function<int32_t(const std::string& data)>;
// Offers len bytes: len when accepted whole, 0 when the transport is full,
// negative on error.
using func_send_data = std::function<int32_t(const char* data, int32_t len)>;

class TUX_HTTP_Cli_Request {
 public:
  // Body source kinds (post_data.sour_type).
  static constexpr int32_t kSourNone = 0;
  static constexpr int32_t kSourString = 1;
  static constexpr int32_t kSourStream = 2;
  static constexpr int32_t kSourFile = 3;
  static constexpr int32_t kSourDataSource = 4;

  // Send_postData results besides a positive byte count.
  static constexpr int32_t kSendNothing = 0;     // nothing accepted this time
  static constexpr int32_t kSendError = -1;      // the sender or the source failed
  static constexpr int32_t kSendAllDone = -2;    // every body byte was accepted earlier

  // Largest piece offered to the sender in one call.
  static constexpr int32_t kBodyPieceSize = 65536;
  // The method keeps at most this many characters.
  static constexpr size_t kMaxMethodLength = 20;

  static constexpr std::string_view kDefaultFormType = "application/x-www-url-encoded";
  static constexpr std::string_view kDefaultBinaryType = "application/octet-stream";

  // Free for the caller; never read by the library.
  struct TParam {
    int64_t P1 = 0;
    int64_t P2 = 0;
    std::string P3;
    std::string P4;
    void* P5 = nullptr;
    void* p6 = nullptr;
    int64_t P7 = 0;
  };

  // now_ms clock marks the engine's timeouts count from.
  struct TTimer {
    int64_t at_start = 0;               // connection attempt started
    int64_t at_last_got_resp_data = 0;  // last response data
    int64_t at_last_sent_postData = 0;  // last body progress
  };

  struct TPostData {
    int32_t sour_type = kSourNone;
    std::string data_str;                     // kSourString
    std::unique_ptr<TStream> data_stream;     // kSourStream, owned
    std::unique_ptr<TShareFile> data_file;    // kSourFile, owned, opened for reading
    TUX_Data_source_ptr data_ds_stream;       // kSourDataSource, held as its consumer
    int64_t from_sour_offset = 0;             // where the body starts in the source
    int64_t pos = 0;                          // bytes already accepted by the sender
    int64_t sum = 0;                          // bytes to send
    bool source_missing = false;              // the body's file could not be opened: never sent
  };

  struct TWSConn {
    bool enabled = false;        // WS_conn_mode
    std::string ws_key;          // the raw 16-byte key
    std::string ws_key_encoded;  // its Base64 form, sent as Sec-WebSocket-Key
  };

  TUX_HTTP_Cli_Request();
  ~TUX_HTTP_Cli_Request();
  TUX_HTTP_Cli_Request(const TUX_HTTP_Cli_Request&) = delete;
  TUX_HTTP_Cli_Request& operator=(const TUX_HTTP_Cli_Request&) = delete;

  static std::unique_ptr<TUX_HTTP_Cli_Request> CreateFromUrlGet(std::string_view url,
                                                                std::string_view custom_header);
  static std::unique_ptr<TUX_HTTP_Cli_Request> CreateFromUrlPost(std::string_view url,
                                                                 std::string_view postData,
                                                                 std::string_view custom_header);
  static std::unique_ptr<TUX_HTTP_Cli_Request> CreateFromWSConn(std::string_view url,
                                                                std::string_view headers);

  // Empty request: method "GET", no URL, headers, body, callbacks or key.
  void reset();

  // Both trimmed. Key and value: the entry named key (ASCII case-insensitive)
  // gets the value in place, keeping its spelling, or a new entry is
  // appended. Key with an empty value: the entry is deleted. Empty key:
  // nothing. A name or value holding CR, LF or NUL is refused (nothing
  // changes): it could split the request head.
  void add_header(std::string_view key, std::string_view value);
  // One "name: value" per LF-separated line; a line without ":" deletes the
  // header of that name; empty lines are skipped.
  void add_headers(std::string_view key_vals);
  std::string get_header(std::string_view key);
  // The header list as "name:value" lines ended by CR LF.
  std::string raw_headers() { return headers.asText(); }

  const std::string& method() const { return Fmethod; }
  // Keeps the first kMaxMethodLength characters, upper-cased.
  void set_method(std::string_view m);
  const std::string& url() const { return Furl; }
  void set_url(std::string_view u) { Furl = std::string(u); }
  const std::string& tag() const { return f_tag; }
  void set_tag(std::string_view t) { f_tag = std::string(t); }
  int64_t content_length() const { return Fcontent_length; }
  // n > 0 sets "content-length"; n <= 0 deletes it.
  void set_content_length(int64_t n);
  const std::string& content_type() const { return Fcontent_type; }
  // Sets "content-type" (empty: deletes it).
  void set_content_type(std::string_view t);
  bool WS_conn_mode() const { return ws_conn.enabled; }
  void set_WS_conn_mode(bool v) { ws_conn.enabled = v; }

  // Body from a byte string (kSourString). Default type kDefaultFormType.
  TUX_HTTP_Cli_Request* set_post_data(std::string_view data);
  // Body from a file from offset_in_file on (negative: 0). False, request
  // unchanged, when the file does not exist or cannot be opened.
  bool set_post_file(const std::string& filename, int64_t offset_in_file);
  // Body from the rest of st from its current position; takes ownership.
  // False for no stream.
  bool set_post_Stream(std::unique_ptr<TStream> st);
  // Body from a data source from offset on (negative: 0); the request holds
  // it as its consumer. False for no source.
  bool set_post_stream(TUX_Data_source_ptr ds, int64_t offset);
  // No body any more: the source is released and "content-length" and
  // "content-type" are deleted.
  void clear_post_data();
  // "range: bytes=start-end", or "bytes=start-" when pos_end is 0.
  void set_Requ_range(int64_t pos_start, int64_t pos_end);

  // Writes the request line, each non-empty header and the empty line, each
  // as one call of func. A WebSocket request first gets its upgrade headers
  // and key (the key is kept, so a reconnection repeats it). A POST, PUT or
  // PATCH without "content-length" says "content-length: 0".
  void send_headers(const func_send_string& func);
  // Offers the next body pieces (at most kBodyPieceSize each) until the
  // sender refuses one or the body is exhausted. A positive byte count, or
  // kSendNothing, kSendError (a sender error is returned as it is), or
  // kSendAllDone once every byte was accepted by an earlier call.
  [[nodiscard]] int32_t Send_postData(const func_send_data& func);

  // ---- fields
  std::string cmd_str;  // request line with its CR LF, built by the engine
  TUX_KV_List headers;  // order of first addition; names ASCII case-insensitive
  TTimer timer;
  TPostData post_data;
  TWSConn ws_conn;
  TUX_HTTP_Cli_Resonse_event func_http_ret;
  TUX_HTTP_Cli_conn_event func_http_conn_event;
  TUX_HTTP_Cli_ret_proc func_http_ret_ex;
  TUX_WS_conn_event func_ws_conn_event;
  TParam UserData;

 private:
  void clear_body_source();
  // The body is bytes [offset, size) of the binary source of kind just set:
  // its length, progress sum and start; the default binary type.
  void set_body_span(int32_t kind, int64_t size, int64_t offset);
  // One piece of at most n bytes at body offset pos into piece_buf_ from a
  // stream, file or data source; the count read, 0 when the source is
  // exhausted, -1 on a source error.
  int32_t read_source_piece(int64_t pos, int32_t n, bool first_piece);
  void ensure_ws_key();

  std::string Fmethod;
  std::string Furl;
  std::string f_tag;
  std::string Fcontent_type;
  int64_t Fcontent_length = 0;
  std::unique_ptr<char[]> piece_buf_;  // kBodyPieceSize bytes, for stream/file sources
};

}  // namespace ux
