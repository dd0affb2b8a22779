// res_http_request: the request head of the resource server — parsing of the
// request line and header fields of HTTP/1.x, bounded in size, and the
// decoding of the request target into a safe path.
//
// The parser takes the bytes received so far and reports "need more", a
// parsed request, or a failure with the status to answer (400, 414, 431,
// 501, 505). It never reads past the buffer and keeps no state between calls
// except the scan position, so a head arriving byte by byte costs linear time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qlyn_res {

// Longest request line; a longer one is answered 414.
inline constexpr size_t kMaxRequestLine = 8192;
// Largest request head (request line, fields, empty line); beyond: 431.
inline constexpr size_t kMaxRequestHead = 16384;
// Most header fields in one request; beyond: 431.
inline constexpr size_t kMaxHeaderFields = 100;

struct TRes_Request {
  std::string method;   // as sent (methods are case-sensitive)
  std::string target;   // the request target as sent
  int minor_version = 1;  // HTTP/1.<minor>
  std::string path;     // decoded path below the root, starting with "/"
  std::vector<std::pair<std::string, std::string>> fields;  // names lower-case, values trimmed
  bool keep_alive = true;
  int64_t content_length = 0;  // request body bytes that follow the head

  // Value of the first field named name (lower-case); null when absent.
  const std::string* field(std::string_view name) const;
  // The request line without its line end, for the access log.
  std::string request_line() const;
};

enum class TParseState { need_more, done, failed };

struct TParseResult {
  TParseState state = TParseState::need_more;
  int status = 0;        // failed: the status to answer
  size_t consumed = 0;   // done: bytes of the head, empty line included
};

// Parses the request head at the front of buf. scan_from is the caller's
// memory of how far buf was already searched for the end of the head; start
// it at 0 for each new request.
TParseResult parse_request_head(std::string_view buf, size_t& scan_from, TRes_Request& out);

// Decodes an origin-form ("/a/b?q") or absolute-form ("http://h/a/b")
// target into a path: percent-decoded, query and fragment removed, empty and
// "." segments dropped, "/" between segments. 0 on success; 400 for a
// malformed target, a bad or NUL escape, a control byte, or a ".." segment
// (with "/" or "\" as separator).
int decode_target_path(std::string_view target, std::string& path);

// True when the comma-separated list value holds token (ASCII
// case-insensitive), as in "Connection: keep-alive, Upgrade".
bool list_has_token(std::string_view value, std::string_view token);

}  // namespace qlyn_res
