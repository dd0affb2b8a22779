#include "common/net/ux_http_response.h"

#include <algorithm>
#include <cstring>

#include "common/ext_mem.h"
#include "common/ux_common.h"

namespace ux {

namespace {

// A non-negative decimal number; -1 when s is empty, holds anything else,
// or does not fit in 63 bits.
int64_t parse_decimal(std::string_view s) {
  if (s.empty() || s.size() > 18) return -1;
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
  }
  return v;
}

std::string_view text_before(std::string_view s, char c) { return s.substr(0, s.find(c)); }

std::string_view text_after(std::string_view s, char c) {
  const size_t at = s.find(c);
  return at == std::string_view::npos ? std::string_view() : s.substr(at + 1);
}

// The header value of the first line "key:" (see get_header), undecoded
// and untrimmed; found is false when there is none.
std::string_view find_header_value(std::string_view raw, std::string_view key, bool& found) {
  found = false;
  size_t line = 0;
  while (line < raw.size()) {
    const size_t eol = raw.find('\n', line);
    const size_t end = eol == std::string_view::npos ? raw.size() : eol;
    const std::string_view text = raw.substr(line, end - line);
    if (text.size() > key.size() && text[key.size()] == ':' && ci_equal(text.substr(0, key.size()), key)) {
      found = true;
      return text.substr(key.size() + 1);
    }
    if (eol == std::string_view::npos) break;
    line = eol + 1;
  }
  return {};
}

// "HTTP/d.d NNN" followed by the end or a space; NNN from 100 to 599.
bool is_status_line(std::string_view line, int32_t code) {
  if (line.size() < 12 || line.substr(0, 5) != "HTTP/") return false;
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (!digit(line[5]) || line[6] != '.' || !digit(line[7]) || line[8] != ' ') return false;
  if (!digit(line[9]) || !digit(line[10]) || !digit(line[11])) return false;
  if (line.size() > 12 && line[12] != ' ') return false;
  return code >= 100 && code <= 599;
}

bool last_coding_is_chunked(std::string_view te) {
  const size_t comma = te.rfind(',');
  const std::string last = trim_text(comma == std::string_view::npos ? te : te.substr(comma + 1));
  return ci_equal(last, "chunked");
}

}  // namespace

// ---------------------------------------------------------------- TUX_Http_Header_Reader

TUX_Http_Header_Reader::Result TUX_Http_Header_Reader::feed(const char* data, size_t len,
                                                            size_t& consumed) {
  consumed = 0;
  if (done_) return Result::kDone;
  size_t i = 0;
  while (i < len) {
    const void* hit = std::memchr(data + i, '\n', len - i);
    const size_t take = hit ? size_t(static_cast<const char*>(hit) - (data + i)) + 1 : len - i;
    if (buf_.size() + take > size_t(kMaxHeaderBytes)) {
      consumed = i;
      return Result::kTooLarge;
    }
    buf_.append(data + i, take);
    i += take;
    if (!hit) break;
    // The LF just taken ends an empty line when it follows "\n" or "\n\r".
    const size_t n = buf_.size();
    size_t line_start = n - 1;
    if (line_start > 0 && buf_[line_start - 1] == '\r') --line_start;
    if (line_start > 0 && buf_[line_start - 1] == '\n') {
      size_t end = line_start - 1;
      if (end > 0 && buf_[end - 1] == '\r') --end;
      end_ = end;
      done_ = true;
      consumed = i;
      return Result::kDone;
    }
  }
  consumed = i;
  return Result::kAgain;
}

std::string TUX_Http_Header_Reader::take_block() {
  std::string block = done_ ? buf_.substr(0, end_) : std::string();
  reset();
  return block;
}

void TUX_Http_Header_Reader::reset() {
  buf_.clear();
  end_ = 0;
  done_ = false;
}

// ---------------------------------------------------------------- TUX_HTTP_Cli_Response

std::string normalize_charset(std::string_view name) {
  if (ci_in_list(name, {"utf8", "utf", "65001"})) return "utf-8";
  if (ci_in_list(name, {"gbk", "cp936", "gb-2312"})) return "gb2312";
  return std::string(name);
}

TUX_HTTP_Cli_Response::TUX_HTTP_Cli_Response()
    : in_buf(std::make_unique<Tfifo_Mem_stream>(kInBufInitial)) {
  reset();
}

TUX_HTTP_Cli_Response::~TUX_HTTP_Cli_Response() = default;

void TUX_HTTP_Cli_Response::reset() {
  f_cmd_str.clear();
  f_raw_header.clear();
  f_Request_tag.clear();
  f_response_code = 0;
  f_have_got_header = false;
  f_content_length = 0;
  f_content_type.clear();
  f_charset.clear();
  f_server_ver.clear();
  f_is_chunked_data = false;
  Range = TRange{};
  f_is_empty_content = false;
  f_bad_length = false;
  f_closed_complete = false;
  f_body_error = BodyError::kNone;
  chunks_.reset();
  in_buf->Reset(true);
}

TUX_HTTP_Cli_Response::HeaderCheck TUX_HTTP_Cli_Response::load_header(std::string_view block) {
  const size_t nl = block.find('\n');
  std::string_view status = block.substr(0, nl);
  if (!status.empty() && status.back() == '\r') status.remove_suffix(1);
  f_cmd_str = std::string(status);
  f_raw_header = nl == std::string_view::npos ? std::string() : std::string(block.substr(nl + 1));
  const std::string_view after_version = text_after(status, ' ');
  f_response_code = int32_t(max64(parse_decimal(text_before(after_version, ' ')), 0));
  if (f_response_code > 999) f_response_code = 0;
  parse_header();

  if (!is_status_line(status, f_response_code)) return HeaderCheck::kBadStatusLine;
  if (f_bad_length) return HeaderCheck::kBadLength;
  if (f_response_code == 206) {
    const TRange& r = Range;
    const bool usable = r.Enabled && r.pos_start >= 0 && r.pos_end >= r.pos_start &&
                        (r.full_content_length < 0 || r.pos_end < r.full_content_length) &&
                        (f_content_length < 0 || f_content_length == r.pos_end - r.pos_start + 1);
    if (!usable) return HeaderCheck::kBadContentRange;
  }
  return HeaderCheck::kOk;
}

std::string TUX_HTTP_Cli_Response::get_header(std::string_view key) const {
  if (!f_have_got_header || key.empty()) return {};
  bool found = false;
  const std::string_view v = find_header_value(f_raw_header, key, found);
  if (!found) return {};
  return url_decode(trim_text(unescape_param(v)));
}

std::string TUX_HTTP_Cli_Response::get_header_raw(std::string_view key) const {
  if (!f_have_got_header || key.empty()) return {};
  bool found = false;
  const std::string_view v = find_header_value(f_raw_header, key, found);
  return found ? trim_text(v) : std::string();
}

void TUX_HTTP_Cli_Response::parse_header() {
  f_have_got_header = true;
  const std::string length_text = get_header("Content-Length");
  const int64_t length = parse_decimal(length_text);
  f_bad_length = !length_text.empty() && length < 0;
  f_is_empty_content = length == 0;

  const std::string range = get_header("content-Range");
  if (!range.empty()) {
    Range.Enabled = true;
    const std::string_view spec_text = range;
    Range.full_content_length = parse_decimal(trim_text(text_after(spec_text, '/')));
    const std::string_view span = text_after(text_before(spec_text, '/'), ' ');
    Range.pos_start = parse_decimal(trim_text(text_before(span, '-')));
    Range.pos_end = span.find('-') == std::string_view::npos ? -1 : parse_decimal(trim_text(text_after(span, '-')));
    Range.clip_length = length;
  } else {
    Range.Enabled = false;
  }
  f_content_length = length;

  const std::string type = get_header("content-type");
  f_content_type = trim_text(text_before(type, ';'));
  const std::string_view params = text_after(type, ';');
  f_charset = get_header("charset");
  if (f_charset.empty()) {
    const size_t at = ci_pos("charset", params);
    if (at > 0) {
      std::string_view value = text_after(params.substr(at - 1 + 7), '=');
      value = text_before(value, ';');
      std::string v = trim_text(value);
      if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
      f_charset = v;
    }
  }
  f_charset = normalize_charset(f_charset);
  f_server_ver = get_header("server");

  // A transfer coding overrides any length (RFC 9112, 6.3).
  const std::string te = get_header("Transfer-Encoding");
  f_is_chunked_data = !te.empty() && last_coding_is_chunked(te);
  if (!te.empty()) {
    f_content_length = -1;
    f_bad_length = false;
    f_is_empty_content = false;
  }
  if (f_is_empty_content) in_buf->Reset(true);
}

void TUX_HTTP_Cli_Response::make_body_room(int64_t n) {
  const int64_t have = in_buf->DataLength();
  const int64_t capacity = in_buf->SpaceSize();
  if (have + n <= capacity) return;
  const int64_t target = have + n + min64(max64(capacity, n), kMaxGrowStep);
  if (!in_buf->Reserve(min64(target, in_buf->capacity_limit()))) return;
}

int32_t TUX_HTTP_Cli_Response::append_content(const char* data, int32_t len) {
  if (!f_have_got_header || !data || len < 1 || f_body_error != BodyError::kNone) return -1;
  // No body (HEAD, 204, 304) whatever the framing headers announce.
  if (f_is_empty_content) return len;
  if (f_is_chunked_data) {
    if (chunks_.done()) return len;
    make_body_room(len);
    size_t used = 0;
    const auto r = chunks_.feed(data, size_t(len), *in_buf, used);
    f_content_got_size = chunks_.decoded_size();
    if (r == TUX_Http_Chunk_Decoder::Result::kError) {
      f_body_error = chunks_.error() == TUX_Http_Chunk_Decoder::Error::kSinkFull ? BodyError::kBufferFull
                                                                               : BodyError::kBadChunk;
      return -1;
    }
    if (r == TUX_Http_Chunk_Decoder::Result::kDone) f_content_length = chunks_.decoded_size();
    return len;
  }
  int64_t n = len;
  if (f_content_length >= 0) n = max64(min64(n, f_content_length - f_content_got_size), 0);
  if (n > 0) make_body_room(n);
  if (n > 0 && in_buf->Write(data, n) < 0) {
    f_body_error = BodyError::kBufferFull;
    return -1;
  }
  f_content_got_size += n;
  return len;
}

void TUX_HTTP_Cli_Response::mark_connection_closed() {
  if (body_ends_at_close()) f_closed_complete = true;
}

void TUX_HTTP_Cli_Response::mark_no_body() {
  f_is_empty_content = true;
  in_buf->Reset(true);
}

bool TUX_HTTP_Cli_Response::body_ends_at_close() const {
  return f_have_got_header && !f_is_empty_content && !f_is_chunked_data && f_content_length < 0;
}

bool TUX_HTTP_Cli_Response::have_got_all_resp_data() const {
  if (f_is_empty_content || f_closed_complete) return true;
  if (f_is_chunked_data) return chunks_.done();
  return f_content_length >= 1 && f_content_got_size >= f_content_length;
}

std::string TUX_HTTP_Cli_Response::Content_asString() { return in_buf->asString(); }

std::vector<uint8_t> TUX_HTTP_Cli_Response::Content_Data() { return in_buf->AsBytes(); }

int32_t TUX_HTTP_Cli_Response::move_in_buf_to(Tfifo_Mem_stream& buf) {
  if (&buf == in_buf.get()) return 0;
  const int32_t n = in_buf->DataLength();
  if (n <= 0) return n;
  in_buf->MoveTo(buf);
  return n - in_buf->DataLength();
}

}  // namespace ux
