#include "common/net/ux_http_request.h"

#include <algorithm>
#include <cstring>

#include "common/ext_mem.h"
#include "common/ux_common.h"
#include "common/ux_file_io.h"
#include "common/ux_stream.h"

namespace ux {

namespace {

bool has_line_break_or_nul(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

constexpr int kWsKeyBytes = 16;

}  // namespace

TUX_HTTP_Cli_Request::TUX_HTTP_Cli_Request() {
  headers.SetNameValueSeparator(':');
  reset();
}

TUX_HTTP_Cli_Request::~TUX_HTTP_Cli_Request() { reset(); }

std::unique_ptr<TUX_HTTP_Cli_Request> TUX_HTTP_Cli_Request::CreateFromUrlGet(
    std::string_view url, std::string_view custom_header) {
  auto r = std::make_unique<TUX_HTTP_Cli_Request>();
  r->set_method("get");
  r->set_url(url);
  r->add_headers(custom_header);
  return r;
}

std::unique_ptr<TUX_HTTP_Cli_Request> TUX_HTTP_Cli_Request::CreateFromUrlPost(
    std::string_view url, std::string_view postData, std::string_view custom_header) {
  auto r = std::make_unique<TUX_HTTP_Cli_Request>();
  r->set_method("post");
  r->set_url(url);
  r->add_headers(custom_header);
  r->set_post_data(postData);
  return r;
}

std::unique_ptr<TUX_HTTP_Cli_Request> TUX_HTTP_Cli_Request::CreateFromWSConn(
    std::string_view url, std::string_view headers) {
  auto r = CreateFromUrlGet(url, headers);
  r->set_WS_conn_mode(true);
  return r;
}

void TUX_HTTP_Cli_Request::clear_body_source() {
  post_data.sour_type = kSourNone;
  post_data.data_str.clear();
  post_data.data_stream.reset();
  post_data.data_file.reset();
  post_data.data_ds_stream.reset();
  post_data.from_sour_offset = 0;
  post_data.pos = 0;
  post_data.sum = 0;
  post_data.source_missing = false;
}

void TUX_HTTP_Cli_Request::reset() {
  cmd_str.clear();
  headers.Clear();
  Fmethod = "GET";
  Furl.clear();
  f_tag.clear();
  timer = TTimer{};
  Fcontent_type.clear();
  Fcontent_length = 0;
  func_http_ret = nullptr;
  func_http_conn_event = nullptr;
  func_http_ret_ex = nullptr;
  func_ws_conn_event = nullptr;
  clear_body_source();
  UserData = TParam{};
  ws_conn = TWSConn{};
}

void TUX_HTTP_Cli_Request::add_header(std::string_view key, std::string_view value) {
  const std::string k = trim_text(key);
  if (k.empty()) return;
  const std::string v = trim_text(value);
  if (has_line_break_or_nul(k) || has_line_break_or_nul(v)) return;
  if (v.empty()) {
    headers.Remove(k);
  } else {
    headers.SetValues(k, v);
  }
}

void TUX_HTTP_Cli_Request::add_headers(std::string_view key_vals) {
  size_t start = 0;
  while (start <= key_vals.size()) {
    size_t end = key_vals.find('\n', start);
    if (end == std::string_view::npos) end = key_vals.size();
    const std::string line = trim_text(key_vals.substr(start, end - start));
    if (!line.empty()) {
      const size_t colon = line.find(':');
      if (colon == std::string::npos) {
        add_header(line, {});
      } else {
        add_header(std::string_view(line).substr(0, colon), std::string_view(line).substr(colon + 1));
      }
    }
    start = end + 1;
  }
}

std::string TUX_HTTP_Cli_Request::get_header(std::string_view key) {
  if (key.empty()) return {};
  return headers.GetValues(key);
}

void TUX_HTTP_Cli_Request::set_method(std::string_view m) {
  Fmethod = std::string(m.substr(0, std::min(m.size(), kMaxMethodLength)));
  for (char& c : Fmethod)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
}

void TUX_HTTP_Cli_Request::set_content_length(int64_t n) {
  Fcontent_length = n;
  if (n > 0) {
    add_header("content-length", int_text(n));
  } else {
    headers.Remove("content-length");
  }
}

void TUX_HTTP_Cli_Request::set_content_type(std::string_view t) {
  Fcontent_type = std::string(t);
  add_header("content-type", t);
}

TUX_HTTP_Cli_Request* TUX_HTTP_Cli_Request::set_post_data(std::string_view data) {
  clear_body_source();
  post_data.sour_type = kSourString;
  post_data.data_str = std::string(data);
  set_content_length(int64_t(data.size()));
  post_data.sum = Fcontent_length;
  if (Fcontent_type.empty()) set_content_type(kDefaultFormType);
  return this;
}

bool TUX_HTTP_Cli_Request::set_post_file(const std::string& filename, int64_t offset_in_file) {
  std::unique_ptr<TShareFile> f = TShareFile::TryOpenFileRead(filename);
  if (!f) return false;
  if (offset_in_file < 0) offset_in_file = 0;
  const int64_t size = f->GetSize();
  clear_body_source();
  post_data.data_file = std::move(f);
  post_data.data_file->SetPosition(offset_in_file);
  set_body_span(kSourFile, size, offset_in_file);
  return true;
}

bool TUX_HTTP_Cli_Request::set_post_Stream(std::unique_ptr<TStream> st) {
  if (!st) return false;
  const int64_t at = max64(st->Position(), 0);
  const int64_t size = st->GetSize();
  clear_body_source();
  post_data.data_stream = std::move(st);
  set_body_span(kSourStream, size, at);
  return true;
}

bool TUX_HTTP_Cli_Request::set_post_stream(TUX_Data_source_ptr ds, int64_t offset) {
  if (!ds) return false;
  if (offset < 0) offset = 0;
  const int64_t size = ds->Size();
  clear_body_source();
  post_data.data_ds_stream = std::move(ds);
  set_body_span(kSourDataSource, size, offset);
  return true;
}

void TUX_HTTP_Cli_Request::set_body_span(int32_t kind, int64_t size, int64_t offset) {
  post_data.sour_type = kind;
  set_content_length(max64(size - offset, 0));
  post_data.sum = Fcontent_length;
  post_data.from_sour_offset = offset;
  if (Fcontent_type.empty()) set_content_type(kDefaultBinaryType);
}

void TUX_HTTP_Cli_Request::clear_post_data() {
  clear_body_source();
  set_content_length(0);
  set_content_type("");
}

void TUX_HTTP_Cli_Request::set_Requ_range(int64_t pos_start, int64_t pos_end) {
  std::string v = "bytes=" + int_text(pos_start) + "-";
  if (pos_end != 0) v += int_text(pos_end);
  add_header("range", v);
}

void TUX_HTTP_Cli_Request::ensure_ws_key() {
  if (!ws_conn.ws_key_encoded.empty()) {
    ws_conn.ws_key = base64_decode_text(ws_conn.ws_key_encoded);
  } else {
    ws_conn.ws_key = random_digits(kWsKeyBytes);
    ws_conn.ws_key_encoded = base64_encode_text(ws_conn.ws_key);
  }
}

void TUX_HTTP_Cli_Request::send_headers(const func_send_string& func) {
  if (!func) return;
  if (ws_conn.enabled) {
    add_header("Upgrade", "websocket");
    add_header("Connection", "Upgrade");
    ensure_ws_key();
    add_header("Sec-WebSocket-Key", ws_conn.ws_key_encoded);
    add_header("Sec-WebSocket-Version", "13");
  }
  func(cmd_str);
  const int32_t n = headers.Count();
  for (int32_t i = 0; i < n; ++i) {
    const std::string value = headers.GetValueFromIndex(i);
    if (value.empty()) continue;
    func(headers.GetName_idx(i) + ": " + value + "\r\n");
  }
  // Methods whose requests carry content announce an empty one, so that
  // servers need not guess (RFC 9110, 8.6).
  if (ci_in_list(Fmethod, {"POST", "PUT", "PATCH"}) && headers.IndexOfName("content-length") < 0)
    func("content-length: 0\r\n");
  func("\r\n");
}

int32_t TUX_HTTP_Cli_Request::read_source_piece(int64_t pos, int32_t n, bool first_piece) {
  if (!piece_buf_) piece_buf_ = std::make_unique<char[]>(kBodyPieceSize);
  const int64_t at = post_data.from_sour_offset + pos;
  if (post_data.sour_type == kSourDataSource) {
    TUX_Data_source_base* ds = post_data.data_ds_stream.get();
    if (!ds) return -1;
    ds->execute();
    return ds->ReadData(piece_buf_.get(), n, at);
  }
  if (post_data.sour_type == kSourFile) {
    TShareFile* f = post_data.data_file.get();
    if (!f) return -1;
    if (first_piece || f->Position() != at) f->SetPosition(at);
    return int32_t(f->ReadData(piece_buf_.get(), n));
  }
  TStream* st = post_data.data_stream.get();
  if (!st) return -1;
  // A FIFO has no read position: it is read at an offset from its head.
  if (auto* fifo = dynamic_cast<Tfifo_Mem_stream*>(st)) {
    if (at > INT32_MAX) return 0;
    return fifo->ReadDataOffset(int32_t(at), piece_buf_.get(), n);
  }
  if ((first_piece || st->Position() != at) && st->Seek(at, TSeekOrigin::soBeginning) != at) return -1;
  return int32_t(st->Read(piece_buf_.get(), n));
}

int32_t TUX_HTTP_Cli_Request::Send_postData(const func_send_data& func) {
  if (!func) return kSendNothing;
  TPostData& pd = post_data;
  if (pd.sum < 1) pd.sum = Fcontent_length;
  if (pd.pos >= pd.sum) return kSendAllDone;
  int64_t total = 0;
  bool first_piece = true;
  while (pd.pos < pd.sum) {
    const int32_t want = int32_t(min64(kBodyPieceSize, pd.sum - pd.pos));
    const char* piece = nullptr;
    int32_t got = 0;
    if (pd.sour_type == kSourString) {
      if (pd.pos < int64_t(pd.data_str.size())) {
        piece = pd.data_str.data() + pd.pos;
        got = int32_t(min64(want, int64_t(pd.data_str.size()) - pd.pos));
      }
    } else if (pd.sour_type == kSourStream || pd.sour_type == kSourFile ||
               pd.sour_type == kSourDataSource) {
      got = read_source_piece(pd.pos, want, first_piece);
      if (got < 0) return kSendError;
      piece = piece_buf_.get();
    }
    first_piece = false;
    if (got <= 0) break;
    const int32_t r = func(piece, got);
    if (r < 0) return r;
    if (r == 0) break;
    pd.pos += r;
    total += r;
  }
  return int32_t(total);
}

}  // namespace ux
