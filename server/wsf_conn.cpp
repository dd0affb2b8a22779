#include "server/wsf_conn.h"

#include <algorithm>
#include <cstring>

#include "common/net/ux_ws_file_proto.h"
#include "common/ux_common.h"
#include "common/ux_file_path.h"
#include "server/res_http_conn.h"
#include "server/res_http_request.h"

namespace qlyn_wsf {

namespace {

std::string http_refusal(int status, const char* reason) {
  return "HTTP/1.1 " + std::to_string(status) + " " + reason +
         "\r\ncontent-length: 0\r\nconnection: close\r\n\r\n";
}

}  // namespace

TWsf_Conn::TWsf_Conn(TWsf_Shared& shared, std::string peer)
    : shared_(shared), peer_(std::move(peer)), decoder_(kMaxMessage), opened_ms_(ux::now_ms()) {}

TWsf_Conn::~TWsf_Conn() {
  if (!up_name_.empty()) {
    auto it = shared_.uploads.find(up_name_);
    if (it != shared_.uploads.end() && it->second == this) shared_.uploads.erase(it);
  }
  if (upload_) log("upload " + up_name_ + " interrupted at " + std::to_string(upload_->held()));
  if (download_) log("download " + dn_name_ + " interrupted at " + std::to_string(dn_pos_));
}

void TWsf_Conn::log(const std::string& what) {
  if (shared_.log) shared_.log(peer_ + " " + what);
}

uint32_t TWsf_Conn::new_session() {
  if (shared_.next_session == 0) shared_.next_session = 1;
  return shared_.next_session++;
}

// ---------------------------------------------------------------- transport side

bool TWsf_Conn::wants_input() const {
  return !closing_ && !input_ended_ && out_.size() - out_pos_ < kMaxPendingOutput;
}

void TWsf_Conn::on_input(const char* data, size_t len) {
  if (closing_) return;
  if (upgraded_) {
    on_frames(data, len);
    return;
  }
  input_.append(data, len);
  on_head();
}

void TWsf_Conn::on_input_end() {
  input_ended_ = true;
  closing_ = true;
}

bool TWsf_Conn::has_output() const { return out_pos_ < out_.size() || (dn_sending_ && !closing_); }

bool TWsf_Conn::done() const { return closing_ && out_pos_ >= out_.size(); }

size_t TWsf_Conn::pull_output(char* buf, size_t room) {
  if (dn_sending_ && !closing_) {
    // Drop what was pulled before, so the buffer holds at most room plus a frame.
    out_.erase(0, out_pos_);
    out_pos_ = 0;
    make_download_packets(room);
  }
  const size_t n = std::min(room, out_.size() - out_pos_);
  std::memcpy(buf, out_.data() + out_pos_, n);
  out_pos_ += n;
  if (out_pos_ == out_.size()) {
    out_.clear();
    out_pos_ = 0;
  }
  return n;
}

void TWsf_Conn::on_tick(int64_t now) {
  if (closing_) return;
  if (!authed_ && now - opened_ms_ > shared_.auth_timeout_ms) {
    log("closed: not authenticated in time");
    close(ux::kWsCloseNormal);
    return;
  }
  if (download_ && now - dn_last_popo_ >= shared_.popo_interval_ms) {
    dn_last_popo_ = now;
    send_text(ux::ws_msg_download_popo());
  }
}

// ---------------------------------------------------------------- handshake and frames

void TWsf_Conn::on_head() {
  qlyn_res::TRes_Request req;
  const qlyn_res::TParseResult r = qlyn_res::parse_request_head(input_, scan_from_, req);
  if (r.state == qlyn_res::TParseState::need_more) return;
  if (r.state == qlyn_res::TParseState::failed) {
    out_ += http_refusal(r.status, qlyn_res::status_reason(r.status));
    closing_ = true;
    log("refused: bad request head (" + std::to_string(r.status) + ")");
    return;
  }
  const std::string* upgrade = req.field("upgrade");
  const std::string* key = req.field("sec-websocket-key");
  if (req.method != "GET" || !upgrade || !qlyn_res::list_has_token(*upgrade, "websocket") || !key || key->empty()) {
    out_ += http_refusal(426, "Upgrade Required");
    closing_ = true;
    log("refused: \"" + req.request_line() + "\" is no WebSocket upgrade");
    return;
  }
  out_ += "HTTP/1.1 101 Switching Protocols\r\nupgrade: websocket\r\nconnection: Upgrade\r\nsec-websocket-accept: " +
          ux::ws_accept_key(*key) + "\r\n\r\n";
  upgraded_ = true;
  path_ = req.path;
  // A folder target keeps its trailing "/": uploads there take the query's file name.
  const std::string_view target = std::string_view(req.target).substr(0, req.target.find_first_of("?#"));
  if (!target.empty() && target.back() == '/' && (path_.empty() || path_.back() != '/')) path_ += '/';
  log("connected " + path_);
  const std::string rest = input_.substr(r.consumed);
  input_.clear();
  input_.shrink_to_fit();
  if (!rest.empty()) on_frames(rest.data(), rest.size());
}

void TWsf_Conn::on_frames(const char* data, size_t len) {
  size_t at = 0;
  while (at < len && !closing_) {
    size_t used = 0;
    const auto r = decoder_.feed(data + at, len - at, used);
    at += used;
    if (r == ux::TUX_WS_Frame_Decoder::Result::kAgain) return;
    if (r == ux::TUX_WS_Frame_Decoder::Result::kError) {
      log("closed: WebSocket protocol error " + std::to_string(decoder_.close_code()));
      close(decoder_.close_code());
      return;
    }
    ux::TUX_WS_Frame_Decoder::TMessage& m = decoder_.message();
    switch (m.opcode) {
      case ux::kWsOpText:
        on_text(m.payload);
        break;
      case ux::kWsOpBinary:
        on_binary(m.payload);
        break;
      case ux::kWsOpPing:
        send_frame(ux::kWsOpPong, m.payload.data(), m.payload.size());
        break;
      case ux::kWsOpClose:
        close(ux::kWsCloseNormal);
        break;
      default:
        break;
    }
  }
}

void TWsf_Conn::send_frame(uint8_t opcode, const void* data, size_t len) {
  ux::ws_encode_frame(out_, opcode, true, data, len, false, 0);
}

void TWsf_Conn::send_text(const std::string& text) { send_frame(ux::kWsOpText, text.data(), text.size()); }

void TWsf_Conn::close(uint16_t code) {
  if (closing_) return;
  const char payload[2] = {char(code >> 8), char(code & 0xFF)};
  send_frame(ux::kWsOpClose, payload, sizeof payload);
  closing_ = true;
}

// ---------------------------------------------------------------- commands

void TWsf_Conn::on_text(const std::string& text) {
  const ux::TWsFileCmd cmd = ux::ws_file_cmd_of(text);
  if (cmd == ux::TWsFileCmd::ws_auth) {
    on_auth(text);
    return;
  }
  if (!authed_) {
    log("ignored before authentication: " + std::string(ux::ws_file_cmd_name(cmd)));
    if (cmd == ux::TWsFileCmd::upload_query) send_text(ux::ws_msg_upload_fail("not authenticated"));
    return;
  }
  switch (cmd) {
    case ux::TWsFileCmd::upload_query:
      on_upload_query(text);
      break;
    case ux::TWsFileCmd::download_query:
      on_download_query(text);
      break;
    case ux::TWsFileCmd::download_start:
      on_download_start(text);
      break;
    case ux::TWsFileCmd::download_finished:
      on_download_finished(text);
      break;
    case ux::TWsFileCmd::task_op:
      on_task_op(text);
      break;
    case ux::TWsFileCmd::download_proc:
    case ux::TWsFileCmd::download_popo_ret:
      break;
    default:
      log("ignored message: " + std::string(cmd == ux::TWsFileCmd::unknown ? "unknown cmd"
                                                                          : ux::ws_file_cmd_name(cmd)));
      break;
  }
}

void TWsf_Conn::on_auth(const std::string& text) {
  const std::string key = ux::json_text_field(text, "key");
  authed_ = shared_.keys.empty() || shared_.keys.count(key) != 0;
  send_text(ux::ws_msg_auth_ret(authed_ ? 1 : 0));
  if (authed_) return;
  auth_failures_ += 1;
  log("authentication refused");
  if (auth_failures_ >= kMaxAuthFailures) close(ux::kWsCloseNormal);
}

void TWsf_Conn::on_upload_query(const std::string& text) {
  std::string name = path_;
  if (name.empty() || name.back() == '/') name += ux::TUX_Path::extractfileName(ux::json_text_field(text, "filename"));
  const int64_t sum = ux::json_text_int(text, "file_sum_size", 0);
  const std::string md5 = ux::json_text_field(text, "file_md5");
  upload_.reset();
  up_already_complete_ = false;
  // A newer query for the same file wins over a connection that went quiet.
  auto it = shared_.uploads.find(name);
  if (it != shared_.uploads.end() && it->second != this) it->second->drop_upload();
  TWsf_Store::TUploadQuery q;
  upload_ = shared_.store->begin_upload(name, sum, md5, q);
  if (!q.ok) {
    log("upload_query " + name + " refused: " + q.error);
    send_text(ux::ws_msg_upload_fail(q.error));
    return;
  }
  up_name_ = name;
  shared_.uploads[name] = this;
  up_session_ = new_session();
  up_already_complete_ = q.complete;
  up_from_ = q.pos;
  up_refused_ = 0;
  log("upload_query " + name + " size " + std::to_string(sum) +
      (q.complete ? " already complete" : q.exists ? " resume at " + std::to_string(q.pos) : " new"));
  send_text(ux::ws_msg_upload_query_ret(q.exists, q.pos, up_session_));
}

void TWsf_Conn::drop_upload() {
  if (!upload_) return;
  log("upload " + up_name_ + " taken over by a newer connection at " + std::to_string(upload_->held()));
  upload_.reset();
  up_session_ = 0;
}

void TWsf_Conn::on_binary(const std::string& frame) {
  ux::TWS_File_Packet p;
  const ux::TWsPacketStatus st = ux::ws_file_packet_decode(frame, p);
  if (st != ux::TWsPacketStatus::ok) {
    if (up_refused_++ == 0) log(std::string("ignored packet: ") + ux::ws_packet_status_text(st));
    return;
  }
  if (p.session_id != up_session_ || (!upload_ && !up_already_complete_)) {
    if (up_refused_++ == 0) log("ignored packet of unknown session " + std::to_string(p.session_id));
    return;
  }
  switch (p.cmd) {
    case ux::kWsPackUploadStart:
      break;
    case ux::kWsPackUploadData:
      if (!upload_ || !upload_->write(p.file_pos, p.payload)) {
        if (up_refused_++ == 0)
          log("ignored upload packet at " + std::to_string(p.file_pos) + " (" + std::to_string(p.payload.size()) +
              " bytes)");
      }
      break;
    case ux::kWsPackUploadEnd:
      on_upload_end();
      break;
    default:
      if (up_refused_++ == 0) log("ignored packet command " + std::to_string(p.cmd));
      break;
  }
}

void TWsf_Conn::on_upload_end() {
  if (up_already_complete_) {
    log("upload " + up_name_ + " done (already held)");
    send_text(ux::ws_msg_upload_finished(true));
    up_already_complete_ = false;
    up_session_ = 0;
    return;
  }
  std::string err;
  if (!upload_->finish(err)) {
    log("upload " + up_name_ + " failed: " + err);
    send_text(ux::ws_msg_upload_fail(err));
    return;
  }
  log("upload " + up_name_ + " done " + std::to_string(upload_->sum() - up_from_) + " bytes received" +
      (up_refused_ ? ", " + std::to_string(up_refused_) + " packets ignored" : std::string()));
  send_text(ux::ws_msg_upload_finished(false));
  upload_.reset();
  up_session_ = 0;
}

void TWsf_Conn::on_download_query(const std::string& text) {
  end_download("replaced");
  std::string err;
  const std::string name = path_;
  download_ = shared_.store->begin_download(name, err);
  if (!download_) {
    log("download_query " + name + " refused: " + err);
    send_text(ux::ws_msg_download_query_ret(false, false, 0, 0, 0));
    return;
  }
  const int64_t size = download_->size();
  int64_t pos = ux::json_text_int(text, "file_pos", 0);
  // A local file longer than ours is no prefix of it: send it whole.
  if (pos < 0 || pos > size) pos = 0;
  dn_name_ = name;
  dn_session_ = new_session();
  dn_pos_ = dn_from_ = pos;
  dn_sending_ = false;
  dn_last_popo_ = ux::now_ms();
  log("download_query " + name + " size " + std::to_string(size) + " from " + std::to_string(pos));
  send_text(ux::ws_msg_download_query_ret(true, true, dn_session_, pos, size));
}

void TWsf_Conn::on_download_start(const std::string& text) {
  if (!download_ || ux::json_text_int(text, "session_id", 0) != int64_t(dn_session_)) return;
  dn_sending_ = true;
}

void TWsf_Conn::on_download_finished(const std::string& text) {
  if (!download_ || ux::json_text_int(text, "session_id", 0) != int64_t(dn_session_)) return;
  send_text(ux::ws_msg_download_finished_ret(dn_session_, download_->size()));
  end_download("done");
}

void TWsf_Conn::on_task_op(const std::string& text) {
  const std::string op = ux::json_text_field(text, "op");
  if ((ux::ci_equal(op, "abort") || ux::ci_equal(op, "cancel")) &&
      ux::json_text_int(text, "session_id", 0) == int64_t(dn_session_))
    end_download("aborted");
}

void TWsf_Conn::end_download(const char* how) {
  if (!download_) return;
  log("download " + dn_name_ + " " + how + " " + std::to_string(dn_pos_ - dn_from_) + " bytes sent");
  download_.reset();
  dn_sending_ = false;
  dn_session_ = 0;
}

void TWsf_Conn::make_download_packets(size_t room) {
  static thread_local std::string chunk(ux::kWsFileMaxPayload, '\0');
  while (download_ && dn_pos_ < download_->size() && out_.size() - out_pos_ < room) {
    const int64_t n = download_->read(dn_pos_, chunk.data(), int64_t(ux::kWsFileMaxPayload));
    if (n <= 0) {
      log("download " + dn_name_ + " read failed at " + std::to_string(dn_pos_));
      send_text(ux::ws_msg_download_fail("read error"));
      end_download("failed");
      return;
    }
    packet_.clear();
    (void)ux::ws_file_packet_encode(packet_, dn_session_, ux::kWsPackDownloadData, dn_pos_,
                                    std::string_view(chunk.data(), size_t(n)));
    send_frame(ux::kWsOpBinary, packet_.data(), packet_.size());
    dn_pos_ += n;
  }
  if (download_ && dn_pos_ >= download_->size()) dn_sending_ = false;
}

}  // namespace qlyn_wsf
