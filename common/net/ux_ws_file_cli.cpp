#include "common/net/ux_ws_file_cli.h"

#include <algorithm>

#include "common/net/ux_http_cli_pool.h"
#include "common/ux_common.h"
#include "common/ux_file_path.h"
#include "common/ux_split_file.h"

namespace ux {

// ---------------------------------------------------------------- shared

void TUX_ws_file_cli_base::execute() {
  if (drop_transport_) {
    drop_transport_ = false;
    if (transport()) transport()->SetActive(false);
  }
  const bool was_active = Active();
  TUX_http_client_v3::execute();
  if (was_active && !Active() && !reported_) {
    on_run_ended_unreported();
    reported_ = true;
  }
}

void TUX_ws_file_cli_base::on_ws_connected() {
  ws_state_ = 0;
  if (TUX_HTTP_Cli_Request* r = request())
    r->func_ws_conn_event = [this](TUX_HTTP_Cli_Request*, int32_t ev, const std::string& text, const uint8_t* data,
                                   int32_t len) { on_message(ev, text, data, len); };
  send_auth();
}

void TUX_ws_file_cli_base::Reset() {
  TUX_http_client_v3::Reset();
  raw_params.clear();
  on_out_ws_event = nullptr;
  pop_event = TPopEvent{};
  is_vpath_file = false;
  low_speed_mode = false;
  ws_state_ = 0;
  drop_transport_ = false;
  reported_ = false;
  end_reason_.clear();
}

void TUX_ws_file_cli_base::on_message(int32_t ev, const std::string& text, const uint8_t* data, int32_t len) {
  if (ev == kWsEvText) {
    on_ws_text(text);
  } else if (ev == kWsEvBinary && data && len > 0) {
    on_ws_binary(data, len);
  }
}

void TUX_ws_file_cli_base::send_auth() {
  const std::string key = request() ? request()->get_header("key") : std::string();
  (void)ws_sendString(ws_msg_auth(key));
}

void TUX_ws_file_cli_base::restart_after(int64_t ms) {
  drop_transport_ = true;
  delay_to_state(ms, kHttpStateOpen);
}

void TUX_ws_file_cli_base::close_with(std::string reason) {
  end_reason_ = std::move(reason);
  set_state(kHttpStateWsClosing);
}

std::string TUX_ws_file_cli_base::final_reason() const {
  if (!end_reason_.empty()) return end_reason_;
  const int32_t err = TUX_http_client_v3::rt.err_code;
  return err != kHttpErrNone ? http_cli_error_text(err) : "connection closed";
}

std::string TUX_ws_file_cli_base::reason_text(const std::string& r) {
  return r.empty() ? std::string() : build_json_text({"reason", r});
}

void TUX_ws_file_cli_base::emit(int32_t code, const std::string& text) {
  if (on_out_ws_event) on_out_ws_event(request(), code, text, nullptr, 0);
}

// ---------------------------------------------------------------- uploader

TUX_ws_uploader_cli::~TUX_ws_uploader_cli() = default;

void TUX_ws_uploader_cli::set_source(const std::string& fname, int64_t file_sum_size) {
  local_sour_fname = fname;
  rt.file_sum_size = file_sum_size;
}

void TUX_ws_uploader_cli::Reset() {
  TUX_ws_file_cli_base::Reset();
  local_sour_fname.clear();
  fh.reset();
  rt = TRt{};
}

TUX_Data_source_ptr TUX_ws_uploader_cli::open_source(const std::string& name) {
  return TUX_Data_source_File_ex::CreateFileDataSource(name);
}

void TUX_ws_uploader_cli::raise_ws_event(int32_t code, const std::string& base) {
  if (!on_out_ws_event) return;
  TWsEventValues v;
  v.is_vpath = is_vpath_file;
  v.tag = request() ? std::string_view(request()->tag()) : std::string_view();
  v.raw_params = raw_params;
  v.sum = rt.file_sum_size;
  v.speed = send_Speed();
  const std::string name = TUX_Path::extractfileName(local_sour_fname);
  v.filename = name;
  v.pos = (code == kWsEvUploadQuery || code == kWsEvUploadStart) ? rt.pos_start : rt.upload_proc_pos;
  emit(code, ws_event_text(code, base, v));
}

void TUX_ws_uploader_cli::on_ws_connected() {
  rt.at_last_sent_ok = now_ms();
  TUX_ws_file_cli_base::on_ws_connected();
}

void TUX_ws_uploader_cli::on_ws_closed() { fh.reset(); }

void TUX_ws_uploader_cli::on_ws_idle() {
  const int64_t now = now_ms();
  switch (ws_state_) {
    case kAuthenticated:
      start_query();
      break;
    case kQuerySent:
      watchdog(now);
      break;
    case kSending:
      send_data(now);
      break;
    default:
      break;
  }
}

void TUX_ws_uploader_cli::start_query() {
  rt.enabled = false;
  rt.pos_start = 0;
  rt.pos_end = rt.file_sum_size - 1;
  rt.clip_size = rt.pos_end - rt.pos_start + 1;
  rt.upload_proc_pos = 0;
  if (is_vpath_file && rt.file_sum_size == 0) {
    rt.file_sum_size = json_text_int(raw_params, "vpath_file_size", 0);
    rt.pos_end = rt.file_sum_size - 1;
    rt.clip_size = rt.file_sum_size;
  }
  if (rt.file_sum_size <= 0) {
    give_up("nothing to send");
    return;
  }
  (void)ws_sendString(
      ws_msg_upload_query(raw_params, rt.file_sum_size, rt.pos_start, file_fingerprint(local_sour_fname)));
  ws_state_ = kQuerySent;
  rt.at_last_sent_ok = now_ms();
}

void TUX_ws_uploader_cli::on_ws_text(const std::string& text) {
  switch (ws_file_cmd_of(text)) {
    case TWsFileCmd::ws_auth_ret:
      if (json_text_int(text, "ret", 0) <= 0) {
        ws_state_ = kFailed;
        close_with("authentication refused");
      } else if (ws_state_ == kAuthenticating) {
        ws_state_ = kAuthenticated;
      }
      break;
    case TWsFileCmd::upload_query_ret:
      if (ws_state_ == kQuerySent) on_query_ret(text);
      break;
    case TWsFileCmd::upload_finished:
      // Only an answer to the end packet, or the server holding the file already.
      if (ws_state_ == kAllSent || json_text_int(text, "file_exists", 0) > 0) {
        rt.upload_proc_pos = rt.file_sum_size;
        raise_ws_event(kWsEvUploadOk, json_text_int(text, "file_exists", 0) > 0
                                          ? build_json_text({"file_exists", 1})
                                          : std::string());
        mark_reported();
        set_state(kHttpStateDone);
      }
      break;
    case TWsFileCmd::upload_fail:
      raise_ws_event(kWsEvUploadError, reason_text(json_text_field(text, "reason")));
      restart(kRestartDelayMs);
      break;
    case TWsFileCmd::task_op: {
      const std::string op = json_text_field(text, "op");
      if (ci_equal(op, "change_low_speed") || ci_equal(op, "low_speed")) {
        low_speed_mode = json_text_int(text, "val", 0) > 0;
      } else if (ci_equal(op, "restart")) {
        restart(kRestartDelayMs);
      } else if (ci_equal(op, "abort") || ci_equal(op, "cancel")) {
        ws_state_ = kAborted;
        set_end_reason("task_abort");
        raise_ws_event(kWsEvUploadError, reason_text("task_abort"));
        mark_reported();
        fail(kHttpErrAborted);
      }
      break;
    }
    default:
      break;
  }
}

void TUX_ws_uploader_cli::on_query_ret(const std::string& text) {
  const int64_t pos = json_text_int(text, "exists", 0) > 0 ? json_text_int(text, "pos", 0) : 0;
  const int64_t sid = json_text_int(text, "session_id", 0);
  if (pos < 0 || pos > rt.file_sum_size || sid <= 0 || sid > int64_t(UINT32_MAX)) {
    give_up("bad upload_query_ret");
    return;
  }
  rt.upload_proc_pos = pos;
  rt.enabled = true;
  rt.session_id = uint32_t(sid);
  fh = open_source(local_sour_fname);
  if (!fh) {
    give_up("cannot open " + local_sour_fname);
    return;
  }
  if (fh->Size() != rt.file_sum_size) {
    give_up("the source changed size");
    return;
  }
  ws_state_ = kSending;
  rt.at_last_sent_ok = now_ms();
  (void)send_packet(kWsPackUploadStart, 0, ws_msg_upload_start(rt.file_sum_size, rt.upload_proc_pos));
  raise_ws_event(kWsEvUploadStart, std::string());
}

bool TUX_ws_uploader_cli::send_packet(uint8_t cmd, int64_t pos, std::string_view payload) {
  std::string pkt;
  pkt.reserve(kWsFilePacketHeaderSize + payload.size());
  if (!ws_file_packet_encode(pkt, rt.session_id, cmd, pos, payload)) return false;
  return ws_sendData(pkt.data(), int32_t(pkt.size())) > 0;
}

void TUX_ws_uploader_cli::watchdog(int64_t now) {
  if ((ws_state_ == kQuerySent || ws_state_ == kSending) && now - rt.at_last_sent_ok > kStallMs)
    restart(kRestartDelayMs);
}

void TUX_ws_uploader_cli::send_data(int64_t now) {
  if (!fh) return;
  const uint32_t limit = low_speed_mode ? kLowSpeedSendLimit : kSendLimit;
  if (transport()->DataIn_Send_Buffer_Size() > limit) {
    watchdog(now);
    return;
  }
  if (low_speed_mode && now - rt.at_last_sent_ok < kLowSpeedBurstMs) return;
  if (!chunk_) chunk_ = std::make_unique<char[]>(kWsFileUploadChunk);
  bool sent = false;
  while (rt.upload_proc_pos < fh->Size() && transport()->DataIn_Send_Buffer_Size() < limit &&
         State() == kHttpStateWsOpen) {
    const int32_t n = fh->ReadData(chunk_.get(), int32_t(kWsFileUploadChunk), rt.upload_proc_pos);
    if (n < 0) {
      give_up("cannot read " + local_sour_fname);
      return;
    }
    if (n == 0) break;
    if (!send_packet(kWsPackUploadData, rt.upload_proc_pos, std::string_view(chunk_.get(), size_t(n)))) break;
    rt.upload_proc_pos += n;
    sent = true;
  }
  if (sent) {
    pop_event.is_ev_happened = true;
    rt.at_last_sent_ok = now;
  }
  if (rt.upload_proc_pos < fh->Size()) {
    if (now - pop_event.at_last_popup > kProcEventMs) {
      pop_event.at_last_popup = now;
      raise_ws_event(kWsEvUploadProc, std::string());
    }
    watchdog(now);
    return;
  }
  if (State() != kHttpStateWsOpen) return;
  if (!send_packet(kWsPackUploadEnd, 0, ws_msg_upload_ok(rt.file_sum_size, file_date()))) return;
  fh.reset();
  ws_state_ = kAllSent;
}

std::string TUX_ws_uploader_cli::file_date() const {
  const TDateTime t = is_vpath_file ? now_datetime() : file_time(local_sour_fname);
  return datetime_text(t, false);
}

void TUX_ws_uploader_cli::restart(int64_t delay_ms) {
  fh.reset();
  ws_state_ = kAuthenticating;
  rt.at_last_sent_ok = now_ms();
  restart_after(delay_ms);
}

void TUX_ws_uploader_cli::give_up(std::string reason) {
  ws_state_ = kFailed;
  set_end_reason(reason);
  raise_ws_event(kWsEvUploadError, reason_text(reason));
  mark_reported();
  fail(kHttpErrWsProtocol);
}

void TUX_ws_uploader_cli::on_run_ended_unreported() {
  fh.reset();
  raise_ws_event(kWsEvUploadError, reason_text(final_reason()));
}

// ---------------------------------------------------------------- vpath uploader

TUX_Data_source_ptr TUX_ws_uploader_cli_vpath::open_source(const std::string& name) {
  return TUX_Data_source_vpath_file_2in1::CreateVPathFileDS_FromIdx(name);
}

void TUX_ws_uploader_cli_vpath::raise_ws_event(int32_t code, const std::string& base) {
  TUX_ws_uploader_cli::raise_ws_event(code, base);
  if (code == kWsEvUploadOk) (void)delete_file(local_sour_fname);
}

// ---------------------------------------------------------------- downloader

TUX_ws_downloader_cli::~TUX_ws_downloader_cli() = default;

void TUX_ws_downloader_cli::set_save_multi_file_mode(bool enabled, int32_t block_size) {
  rt.is_save_multi_file = enabled;
  rt.multi_file_block_size = block_size;
}

void TUX_ws_downloader_cli::Reset() {
  TUX_ws_file_cli_base::Reset();
  local_Save_fname.clear();
  release_output();
  rt = TRt{};
  auth_failures_ = 0;
  finished_sent_ = false;
}

void TUX_ws_downloader_cli::raise_ws_event(int32_t code, const std::string& base) {
  if (!on_out_ws_event) return;
  TWsEventValues v;
  v.is_vpath = is_vpath_file;
  v.tag = request() ? std::string_view(request()->tag()) : std::string_view();
  v.downloader = true;
  v.raw_params = raw_params;
  v.sum = rt.file_sum_size;
  v.speed = Recv_Speed();
  const std::string name = TUX_Path::extractfileName(local_Save_fname);
  v.filename = name;
  v.phy_file = local_Save_fname;
  v.pos = (code == kWsEvDownloadQuery || code == kWsEvDownloadStart) ? rt.pos_start : rt.got_file_size;
  emit(code, ws_event_text(code, base, v));
}

int32_t TUX_ws_downloader_cli::send_ws_msg_4_task_abort() { return ws_sendString(ws_msg_task_abort(rt.session_id)); }

void TUX_ws_downloader_cli::on_ws_connected() {
  rt.at_last_down_ok = now_ms();
  auth_failures_ = 0;
  finished_sent_ = false;
  TUX_ws_file_cli_base::on_ws_connected();
}

void TUX_ws_downloader_cli::on_ws_closed() { release_output(); }

void TUX_ws_downloader_cli::on_ws_idle() {
  const int64_t now = now_ms();
  if ((ws_state_ == kStarted || ws_state_ == kReceiving) && now - rt.at_last_down_ok > kStallMs) {
    rt.at_last_down_ok = now;
    restart(kStallRestartMs);
  }
}

void TUX_ws_downloader_cli::on_ws_text(const std::string& text) {
  switch (ws_file_cmd_of(text)) {
    case TWsFileCmd::ws_auth_ret:
      on_auth_ret(text);
      break;
    case TWsFileCmd::download_popo:
      rt.at_last_down_ok = now_ms();
      (void)ws_sendString(ws_msg_download_popo_ret());
      break;
    case TWsFileCmd::download_query_ret:
      if (ws_state_ == kQuerySent) on_query_ret(text);
      break;
    case TWsFileCmd::download_finished:
      if (ws_state_ != kStarted && ws_state_ != kReceiving) break;
      if (rt.got_file_size < rt.file_sum_size) {  // the server stopped short: resume
        on_fail();
        break;
      }
      ws_state_ = kFinished;
      release_output();
      raise_ws_event(kWsEvDownloadOk, std::string());
      mark_reported();
      set_state(kHttpStateDone);
      break;
    case TWsFileCmd::download_fail:
      on_fail();
      break;
    case TWsFileCmd::task_op:
      on_task_op(text);
      break;
    default:
      break;
  }
}

void TUX_ws_downloader_cli::on_auth_ret(const std::string& text) {
  rt.at_last_down_ok = now_ms();
  if (ws_state_ != kAuthenticating) return;
  if (json_text_int(text, "ret", 0) > 0) {
    ws_state_ = kQuerySent;
    auth_failures_ = 0;
    send_query();
    return;
  }
  auth_failures_ += 1;
  if (auth_failures_ >= kAuthTries) {
    ws_state_ = kFailed;
    close_with("authentication refused");
    return;
  }
  if (timer)
    timer->Delay_Run(kAuthRetryMs, [this] {
      if (State() == kHttpStateWsOpen && ws_state_ == kAuthenticating) send_auth();
    });
}

void TUX_ws_downloader_cli::send_query() {
  (void)ws_sendString(ws_msg_download_query(local_size(), raw_params, is_vpath_file));
}

int64_t TUX_ws_downloader_cli::local_size() const {
  return rt.is_save_multi_file ? TUX_Splited_file::getFileLength(local_Save_fname) : file_size(local_Save_fname);
}

void TUX_ws_downloader_cli::on_query_ret(const std::string& text) {
  if (json_text_int(text, "exists", 0) <= 0 || json_text_int(text, "ready", 0) <= 0) {
    fail_download("file not exists");
    return;
  }
  const int64_t sid = json_text_int(text, "session_id", 0);
  const int64_t sum = json_text_int(text, "sum", -1);
  const int64_t pos = json_text_int(text, "pos", -1);
  if (sid <= 0 || sid > int64_t(UINT32_MAX) || sum < 0 || pos < 0 || pos > sum) {
    fail_download("bad download_query_ret");
    return;
  }
  rt.session_id = uint32_t(sid);
  rt.pos_start = pos;
  rt.file_sum_size = sum;
  rt.pos_end = sum - 1;
  rt.clip_size = sum - pos;
  if (!open_output(pos)) {
    fail_download("cannot write " + local_Save_fname);
    return;
  }
  ws_state_ = kStarted;
  rt.at_last_down_ok = now_ms();
  raise_ws_event(kWsEvDownloadStart, std::string());
  (void)ws_sendString(ws_msg_download_start(rt.session_id, rt.pos_start, rt.file_sum_size));
  complete_if_held();
}

bool TUX_ws_downloader_cli::open_output(int64_t pos) {
  release_output();
  try {
    const size_t cut = local_Save_fname.find_last_of("/\\");
    if (cut != std::string::npos && cut > 0) force_dirs(local_Save_fname.substr(0, cut));
    if (rt.is_save_multi_file) {
      std::unique_ptr<TUX_Splited_file> f = TUX_Splited_file::OpenWrite(local_Save_fname, rt.multi_file_block_size);
      if (!f) return false;
      save_fh = TShareFileRef(f.release());
    } else {
      std::unique_ptr<TShareFile> f = TShareFile::OpenWrite(local_Save_fname);
      if (!f) return false;
      // What lies beyond the server's start position is not the server's file.
      if (f->GetSize() > pos && !f->setEndOfFile(pos)) return false;
      save_fh = TShareFileRef(f.release());
    }
  } catch (const Exception&) {
    return false;
  }
  rt.got_file_size = save_fh->GetSize();
  return true;
}

void TUX_ws_downloader_cli::release_output() {
  try {
    if (save_fh) save_fh->FlushBuffer();
  } catch (...) {
  }
  save_fh.reset();
}

void TUX_ws_downloader_cli::on_ws_binary(const uint8_t* data, int32_t len) {
  TWS_File_Packet p;
  const std::string_view frame(reinterpret_cast<const char*>(data), size_t(len));
  if (ws_file_packet_decode(frame, p) != TWsPacketStatus::ok || p.cmd != kWsPackDownloadData) return;
  if (p.session_id != rt.session_id || (ws_state_ != kStarted && ws_state_ != kReceiving)) return;
  // Data outside the announced file is never written.
  if (!ws_file_range_ok(p.file_pos, int64_t(p.payload.size()), rt.file_sum_size)) return;
  ws_state_ = kReceiving;
  rt.err_retry_count = 0;
  if (!save_fh) return;
  try {
    save_fh->SetPosition(p.file_pos);
    if (save_fh->WriteData(p.payload.data(), int64_t(p.payload.size())) != int64_t(p.payload.size())) {
      fail_download("cannot write " + local_Save_fname);
      return;
    }
    save_fh->FlushBuffer();
  } catch (const Exception&) {
    fail_download("cannot write " + local_Save_fname);
    return;
  }
  rt.got_file_size = save_fh->GetSize();
  pop_event.is_ev_happened = true;
  const int64_t now = now_ms();
  rt.at_last_down_ok = now;
  if (now - pop_event.at_last_popup > kProcEventMs) {
    pop_event.at_last_popup = now;
    raise_ws_event(kWsEvDownloadProc, std::string());
    (void)ws_sendString(ws_msg_download_proc(p.session_id, p.file_pos, rt.file_sum_size, Recv_Speed() / 1000,
                                             raw_params));
  }
  complete_if_held();
}

void TUX_ws_downloader_cli::complete_if_held() {
  if (finished_sent_ || !save_fh || rt.got_file_size < rt.file_sum_size) return;
  release_output();
  finished_sent_ = true;
  (void)ws_sendString(ws_msg_download_finished(rt.session_id, rt.file_sum_size));
}

void TUX_ws_downloader_cli::on_fail() {
  ws_state_ = kFailed;
  rt.err_retry_count += 1;
  if (rt.err_retry_count > kMaxFailures) {
    fail_download("download failed " + int_text(rt.err_retry_count) + " times");
    return;
  }
  restart(std::min<int64_t>(kFailDelayMaxMs, (rt.err_retry_count + 1) * kFailDelayStepMs));
}

void TUX_ws_downloader_cli::on_task_op(const std::string& text) {
  const std::string op = json_text_field(text, "op");
  if (ci_equal(op, "change_low_speed") || ci_equal(op, "low_speed")) {
    low_speed_mode = json_text_int(text, "val", 0) > 0;
  } else if (ci_equal(op, "restart")) {
    restart(kTaskRestartMs);
  } else if (ci_equal(op, "abort") || ci_equal(op, "cancel")) {
    ws_state_ = kAborted;
    raise_ws_event(kWsEvDownloadAbort, reason_text("task_abort"));
    mark_reported();
    close_with("task_abort");
  }
}

void TUX_ws_downloader_cli::restart(int64_t delay_ms) {
  release_output();
  ws_state_ = kAuthenticating;
  rt.at_last_down_ok = now_ms();
  restart_after(delay_ms);
}

void TUX_ws_downloader_cli::fail_download(std::string reason) {
  release_output();
  raise_ws_event(kWsEvDownloadError, reason_text(reason));
  mark_reported();
  ws_state_ = kFailed;
  close_with(std::move(reason));
}

void TUX_ws_downloader_cli::on_run_ended_unreported() {
  release_output();
  raise_ws_event(kWsEvDownloadError, reason_text(final_reason()));
}

// ---------------------------------------------------------------- pool operations

namespace {

// The request of a file-transfer client: its tag from params, else "ws" and
// 20 random digits.
std::unique_ptr<TUX_HTTP_Cli_Request> ws_file_request(std::string_view url, std::string_view headers,
                                                     std::string_view params) {
  auto r = TUX_HTTP_Cli_Request::CreateFromWSConn(url, headers);
  const std::string tag = trim_text(json_text_field(params, "tag"));
  r->set_tag(tag.empty() ? "ws" + random_digits(20) : tag);
  return r;
}

}  // namespace

TUX_ws_downloader_cli* TUX_HTTP_Cli_pool_v3::add_ws_get_file(std::string_view url, std::string_view headers,
                                                             std::string_view local_save_fname,
                                                             std::string_view params,
                                                             TUX_WS_conn_event ws_conn_event) {
  auto request = ws_file_request(url, headers, params);
  auto c = std::make_unique<TUX_ws_downloader_cli>();
  c->Reset();
  c->set_save_multi_file_mode(json_text_int(params, "is_save_multi_file", 0) > 0,
                              int32_t(json_text_int(params, "multi_file_block_size", 0)));
  c->raw_params = std::string(params);
  c->on_out_ws_event = std::move(ws_conn_event);
  c->recycleAble = false;
  c->low_speed_mode = false;
  c->is_vpath_file = json_text_int(params, "is_vpath", 0) > 0;
  configure(*c);
  std::string save(local_save_fname);
  if (!save.empty() && (save.back() == '/' || save.back() == '\\'))
    save += TUX_Path::extractfileName(url_decode(url));
  c->set_save_name(save);
  (void)json_text_set_str(c->raw_params, "save_fname", save);
  c->rt.got_file_size = 0;
  c->Http_cmd(std::move(request));
  c->SetActive(true);
  // Reported before a worker can step the client.
  c->raise_ws_event(kWsEvDownloadQuery, std::string());
  TUX_ws_downloader_cli* out = c.get();
  push_client(std::move(c), false);
  return out;
}

TUX_ws_uploader_cli* TUX_HTTP_Cli_pool_v3::add_ws_put_file(std::string_view params,
                                                           TUX_WS_conn_event ws_conn_event) {
  const std::string url = json_text_field(params, "url");
  const std::string headers = json_text_field(params, "headers");
  const std::string filename = json_text_field(params, "filename");
  std::string kept(params);
  (void)json_text_set_str(kept, "url", "");
  (void)json_text_set_str(kept, "headers", "");
  return add_ws_put_file(url, headers, filename, kept, std::move(ws_conn_event));
}

TUX_ws_uploader_cli* TUX_HTTP_Cli_pool_v3::add_ws_put_file(std::string_view url, std::string_view headers,
                                                           const std::string& sour_fname, std::string_view params,
                                                           TUX_WS_conn_event ws_conn_event) {
  const bool is_vpath = json_text_int(params, "is_vpath", 0) > 0;
  const int64_t size = is_vpath ? json_text_int(params, "vpath_file_size", 0) : file_size(sour_fname);
  if (size <= 0) return nullptr;
  auto request = ws_file_request(url, headers, params);
  std::unique_ptr<TUX_ws_uploader_cli> c =
      is_vpath ? std::make_unique<TUX_ws_uploader_cli_vpath>() : std::make_unique<TUX_ws_uploader_cli>();
  c->Reset();
  c->raw_params = std::string(params);
  c->on_out_ws_event = std::move(ws_conn_event);
  c->recycleAble = false;
  c->is_vpath_file = is_vpath;
  configure(*c);
  c->set_source(sour_fname, size);
  c->Http_cmd(std::move(request));
  c->SetActive(true);
  // Reported before a worker can step the client.
  c->raise_ws_event(kWsEvUploadQuery, std::string());
  TUX_ws_uploader_cli* out = c.get();
  push_client(std::move(c), false);
  return out;
}

}  // namespace ux
