#include "server/res_http_conn.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "common/ux_common.h"

namespace qlyn_res {

namespace {

constexpr const char* kServerName = "qlyn-resource-server";

// Entity tags of an If-None-Match value match under weak comparison.
bool etag_list_matches(std::string_view list, const std::string& etag) {
  auto strip_weak = [](std::string_view t) {
    if (t.size() >= 2 && t[0] == 'W' && t[1] == '/') t.remove_prefix(2);
    return t;
  };
  const std::string_view own = strip_weak(etag);
  while (!list.empty()) {
    const size_t comma = list.find(',');
    std::string_view t = list.substr(0, comma);
    while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
    while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.remove_suffix(1);
    if (t == "*" || strip_weak(t) == own) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

}  // namespace

const char* status_reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 414: return "URI Too Long";
    case 416: return "Range Not Satisfiable";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 505: return "HTTP Version Not Supported";
    default: return "Unknown";
  }
}

TRes_Http_Conn::TRes_Http_Conn(const TRes_Root& root, std::string peer, std::string transport, TRes_Access_Log log)
    : root_(root), peer_(std::move(peer)), transport_(std::move(transport)), log_(std::move(log)) {}

TRes_Http_Conn::~TRes_Http_Conn() {
  if (responding_ && log_) {
    entry_.complete = false;
    entry_.duration_ms = ux::tick_ms() - started_ms_;
    try {
      log_(entry_);
    } catch (...) {
    }
  }
}

void TRes_Http_Conn::on_input(const char* data, size_t len) {
  if (done_ || len == 0) return;
  input_.append(data, len);
  advance();
}

void TRes_Http_Conn::on_input_end() {
  input_ended_ = true;
  advance();
}

void TRes_Http_Conn::advance() {
  while (!done_ && !responding_) {
    if (discard_left_ > 0) {
      const size_t n = size_t(std::min<int64_t>(discard_left_, int64_t(input_.size())));
      input_.erase(0, n);
      discard_left_ -= int64_t(n);
      if (discard_left_ > 0) {
        if (input_ended_) done_ = true;
        return;
      }
    }
    if (input_.empty()) {
      if (input_ended_) done_ = true;
      return;
    }
    TRes_Request req;
    const TParseResult r = parse_request_head(input_, scan_from_, req);
    if (r.state == TParseState::need_more) {
      if (input_ended_) done_ = true;  // a request cut short by the peer gets no answer
      return;
    }
    if (r.state == TParseState::failed) {
      input_.clear();
      respond_error(r.status, true, "");
      return;
    }
    input_.erase(0, r.consumed);
    scan_from_ = 0;
    discard_left_ = req.content_length;
    respond(req);
  }
}

void TRes_Http_Conn::respond(const TRes_Request& req) {
  close_after_ = !req.keep_alive || input_ended_;
  const std::string line = req.request_line();
  const bool head_only = req.method == "HEAD";
  if (req.method != "GET" && !head_only) {
    entry_ = TRes_Access_Entry{peer_, transport_, line, 405, 0, 0, true};
    started_ms_ = ux::tick_ms();
    start_response(405, "Allow: GET, HEAD\r\n", -1, true, "405 Method Not Allowed\n");
    return;
  }
  TRes_File f;
  const int found = root_.lookup(req.path, f);
  entry_ = TRes_Access_Entry{peer_, transport_, line, found, 0, 0, true};
  started_ms_ = ux::tick_ms();
  if (found != 200) {
    start_response(found, "", -1, !head_only, std::to_string(found) + " " + status_reason(found) + "\n");
    return;
  }
  const std::string validators = "Last-Modified: " + http_date(f.mtime_sec) + "\r\nETag: " + f.etag + "\r\n";
  if (not_modified(req, f)) {
    entry_.status = 304;
    start_response(304, validators, -2, false, "");
    return;
  }
  TRes_Range range;
  if (const std::string* r = req.field("range"); r != nullptr && if_range_holds(req, f))
    range = parse_range(*r, f.size);
  const std::string type = "Content-Type: " + f.content_type + "\r\nAccept-Ranges: bytes\r\n";
  if (range.kind == TRes_Range::unsatisfiable) {
    entry_.status = 416;
    start_response(416, "Content-Range: bytes */" + std::to_string(f.size) + "\r\n", -1, !head_only,
                   "416 Range Not Satisfiable\n");
    return;
  }
  file_ = std::move(f);
  if (range.kind == TRes_Range::single) {
    entry_.status = 206;
    body_pos_ = range.first;
    const int64_t len = range.last - range.first + 1;
    start_response(206,
                   type + validators + "Content-Range: bytes " + std::to_string(range.first) + "-" +
                       std::to_string(range.last) + "/" + std::to_string(file_.size) + "\r\n",
                   len, false, "");
    body_left_ = head_only ? 0 : len;
  } else {
    body_pos_ = 0;
    start_response(200, type + validators, file_.size, false, "");
    body_left_ = head_only ? 0 : file_.size;
  }
  if (!has_output()) finish_response();
}

void TRes_Http_Conn::respond_error(int status, bool close, const std::string& request_line) {
  close_after_ = close_after_ || close;
  entry_ = TRes_Access_Entry{peer_, transport_, request_line, status, 0, 0, true};
  started_ms_ = ux::tick_ms();
  start_response(status, "", -1, true, std::to_string(status) + " " + status_reason(status) + "\n");
}

// content_length: the length to announce; -1: that of body_text; -2: none
// (304). body_text is sent after the head when with_body.
void TRes_Http_Conn::start_response(int status, const std::string& extra_fields, int64_t content_length,
                                    bool with_body, std::string body_text) {
  responding_ = true;
  head_.clear();
  head_sent_ = 0;
  body_left_ = 0;
  head_ += "HTTP/1.1 " + std::to_string(status) + " " + status_reason(status) + "\r\n";
  head_ += std::string("Server: ") + kServerName + "\r\n";
  head_ += "Date: " + http_date(ux::now_ms() / 1000) + "\r\n";
  if (content_length == -1) {
    head_ += "Content-Type: text/plain; charset=utf-8\r\n";
    content_length = int64_t(body_text.size());
  }
  head_ += extra_fields;
  if (content_length >= 0) head_ += "Content-Length: " + std::to_string(content_length) + "\r\n";
  head_ += close_after_ ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
  head_ += "\r\n";
  if (with_body) {
    head_ += body_text;
    entry_.body_bytes = int64_t(body_text.size());
  }
  if (!has_output()) finish_response();
}

bool TRes_Http_Conn::not_modified(const TRes_Request& req, const TRes_File& f) const {
  if (const std::string* inm = req.field("if-none-match")) return etag_list_matches(*inm, f.etag);
  if (const std::string* ims = req.field("if-modified-since")) {
    int64_t since = 0;
    return parse_http_date(*ims, since) && f.mtime_sec <= since;
  }
  return false;
}

bool TRes_Http_Conn::if_range_holds(const TRes_Request& req, const TRes_File& f) const {
  const std::string* ir = req.field("if-range");
  if (ir == nullptr) return true;
  if (!ir->empty() && (ir->front() == '"' || ir->rfind("W/", 0) == 0)) return *ir == f.etag;
  int64_t at = 0;
  return parse_http_date(*ir, at) && at == f.mtime_sec;
}

size_t TRes_Http_Conn::pull_output(char* buf, size_t room) {
  size_t n = 0;
  while (n < room && has_output()) {
    if (head_sent_ < head_.size()) {
      const size_t k = std::min(room - n, head_.size() - head_sent_);
      std::memcpy(buf + n, head_.data() + head_sent_, k);
      head_sent_ += k;
      n += k;
      continue;
    }
    const size_t want = size_t(std::min<int64_t>(int64_t(room - n), body_left_));
    const ssize_t got = ::pread(file_.fd, buf + n, want, body_pos_);
    if (got <= 0) {
      // The file shrank or cannot be read: the announced length cannot be
      // kept, so the connection ends here.
      body_left_ = 0;
      close_after_ = true;
      entry_.complete = false;
      break;
    }
    body_pos_ += got;
    body_left_ -= got;
    entry_.body_bytes += got;
    n += size_t(got);
  }
  if (responding_ && !has_output()) finish_response();
  return n;
}

void TRes_Http_Conn::finish_response() {
  if (!responding_) return;
  responding_ = false;
  entry_.duration_ms = ux::tick_ms() - started_ms_;
  if (log_) {
    try {
      log_(entry_);
    } catch (...) {
    }
  }
  file_ = TRes_File();
  head_.clear();
  head_sent_ = 0;
  if (close_after_) {
    done_ = true;
    input_.clear();
    return;
  }
  advance();
}

}  // namespace qlyn_res
