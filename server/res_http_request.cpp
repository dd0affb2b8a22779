#include "server/res_http_request.h"

#include "common/ux_common.h"

namespace qlyn_res {

namespace {

// RFC 9110 token characters.
bool is_tchar(unsigned char c) {
  if (c >= '0' && c <= '9') return true;
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
  switch (c) {
    case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+':
    case '-': case '.': case '^': case '_': case '`': case '|': case '~':
      return true;
    default:
      return false;
  }
}

bool is_token(std::string_view s) {
  if (s.empty()) return false;
  for (unsigned char c : s)
    if (!is_tchar(c)) return false;
  return true;
}

// Field values may hold visible bytes, spaces, tabs and obs-text; no other
// control bytes.
bool is_field_value(std::string_view s) {
  for (unsigned char c : s)
    if ((c < 0x20 && c != '\t') || c == 0x7F) return false;
  return true;
}

std::string_view trim_ows(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

TParseResult failed(int status) {
  TParseResult r;
  r.state = TParseState::failed;
  r.status = status;
  return r;
}

// Splits the head (without its empty line) into lines; a line ends in LF,
// with an optional CR before it.
std::vector<std::string_view> head_lines(std::string_view head) {
  std::vector<std::string_view> lines;
  while (!head.empty()) {
    size_t lf = head.find('\n');
    std::string_view line = head.substr(0, lf);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (lf == std::string_view::npos) break;
    head.remove_prefix(lf + 1);
  }
  return lines;
}

int parse_request_line(std::string_view line, TRes_Request& out) {
  const size_t sp1 = line.find(' ');
  if (sp1 == std::string_view::npos) return 400;
  const size_t sp2 = line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos || line.find(' ', sp2 + 1) != std::string_view::npos) return 400;
  out.method = std::string(line.substr(0, sp1));
  out.target = std::string(line.substr(sp1 + 1, sp2 - sp1 - 1));
  const std::string_view version = line.substr(sp2 + 1);
  if (!is_token(out.method) || out.target.empty()) return 400;
  if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || version[6] != '.' || version[5] < '0' ||
      version[5] > '9' || version[7] < '0' || version[7] > '9')
    return 400;
  if (version[5] != '1') return 505;
  out.minor_version = version[7] - '0';
  return 0;
}

// Reads the fields and the framing they imply. 0 or the status to answer.
int parse_fields(const std::vector<std::string_view>& lines, TRes_Request& out) {
  if (lines.size() - 1 > kMaxHeaderFields) return 431;
  bool have_length = false;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (line.empty() || line.front() == ' ' || line.front() == '\t') return 400;  // obs-fold
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return 400;
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = trim_ows(line.substr(colon + 1));
    if (!is_token(name) || !is_field_value(value)) return 400;
    out.fields.emplace_back(ux::lower_ascii(name), std::string(value));
    const std::string& lname = out.fields.back().first;
    if (lname == "content-length") {
      int64_t n = 0;
      if (value.empty() || value.size() > 18) return 400;
      for (char c : value) {
        if (c < '0' || c > '9') return 400;
        n = n * 10 + (c - '0');
      }
      if (have_length && n != out.content_length) return 400;
      have_length = true;
      out.content_length = n;
    } else if (lname == "transfer-encoding") {
      return 501;  // request bodies in chunked or other codings are not accepted
    }
  }
  if (out.minor_version >= 1 && out.field("host") == nullptr) return 400;
  const std::string* conn = out.field("connection");
  if (out.minor_version >= 1)
    out.keep_alive = !(conn && list_has_token(*conn, "close"));
  else
    out.keep_alive = conn && list_has_token(*conn, "keep-alive");
  return 0;
}

}  // namespace

const std::string* TRes_Request::field(std::string_view name) const {
  for (const auto& f : fields)
    if (f.first == name) return &f.second;
  return nullptr;
}

std::string TRes_Request::request_line() const {
  return method + " " + target + " HTTP/1." + std::to_string(minor_version);
}

TParseResult parse_request_head(std::string_view buf, size_t& scan_from, TRes_Request& out) {
  // Empty lines before a request line are ignored (RFC 9112, 2.2).
  size_t start = 0;
  while (start < buf.size() && (buf[start] == '\r' || buf[start] == '\n')) ++start;
  if (start > 0 && scan_from < start) scan_from = start;
  const std::string_view head_and_more = buf.substr(start);

  // End of the head: an empty line, CR LF or bare LF.
  size_t end = std::string_view::npos, empty_line_len = 0;
  size_t from = scan_from > start ? scan_from - start : 0;
  for (size_t i = from; i < head_and_more.size(); ++i) {
    if (head_and_more[i] != '\n') continue;
    if (i + 1 < head_and_more.size() && head_and_more[i + 1] == '\n') {
      end = i + 1, empty_line_len = 1;
      break;
    }
    if (i + 2 < head_and_more.size() && head_and_more[i + 1] == '\r' && head_and_more[i + 2] == '\n') {
      end = i + 1, empty_line_len = 2;
      break;
    }
  }
  if (end == std::string_view::npos) {
    // Keep the last two bytes in view: the empty line may straddle the next read.
    scan_from = start + (head_and_more.size() >= 2 ? head_and_more.size() - 2 : 0);
    const size_t first_lf = head_and_more.find('\n');
    if (first_lf == std::string_view::npos && head_and_more.size() > kMaxRequestLine) return failed(414);
    if (head_and_more.size() > kMaxRequestHead) return failed(431);
    return {};
  }
  if (end + empty_line_len > kMaxRequestHead) return failed(431);
  const std::vector<std::string_view> lines = head_lines(head_and_more.substr(0, end));
  if (lines.empty()) return failed(400);
  if (lines[0].size() > kMaxRequestLine) return failed(414);

  out = TRes_Request();
  if (int st = parse_request_line(lines[0], out)) return failed(st);
  if (int st = parse_fields(lines, out)) return failed(st);
  if (int st = decode_target_path(out.target, out.path)) return failed(st);
  TParseResult r;
  r.state = TParseState::done;
  r.consumed = start + end + empty_line_len;
  return r;
}

int decode_target_path(std::string_view target, std::string& path) {
  if (target.empty()) return 400;
  if (target.front() != '/') {
    // absolute-form: scheme "://" authority path
    const size_t sep = target.find("://");
    if (sep == std::string_view::npos || sep == 0 || !is_token(target.substr(0, sep))) return 400;
    target.remove_prefix(sep + 3);
    const size_t slash = target.find('/');
    target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
  }
  const size_t stop = target.find_first_of("?#");
  if (stop != std::string_view::npos) target = target.substr(0, stop);

  std::string decoded;
  decoded.reserve(target.size());
  for (size_t i = 0; i < target.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(target[i]);
    if (c == '%') {
      if (i + 2 >= target.size()) return 400;
      const int hi = ux::hex_value(uint8_t(target[i + 1])), lo = ux::hex_value(uint8_t(target[i + 2]));
      if (hi < 0 || lo < 0) return 400;
      c = static_cast<unsigned char>(hi * 16 + lo);
      i += 2;
    }
    if (c < 0x20 || c == 0x7F) return 400;  // NUL and other control bytes
    decoded.push_back(static_cast<char>(c));
  }

  path.clear();
  size_t pos = 0;
  while (pos <= decoded.size()) {
    size_t next = decoded.find_first_of("/\\", pos);
    if (next == std::string::npos) next = decoded.size();
    const std::string_view seg(decoded.data() + pos, next - pos);
    if (seg == "..") return 400;
    if (!seg.empty() && seg != ".") {
      path.push_back('/');
      path.append(seg);
    }
    pos = next + 1;
  }
  if (path.empty()) path = "/";
  return 0;
}

bool list_has_token(std::string_view value, std::string_view token) {
  while (!value.empty()) {
    const size_t comma = value.find(',');
    if (ux::ci_equal(trim_ows(value.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return false;
}

}  // namespace qlyn_res
