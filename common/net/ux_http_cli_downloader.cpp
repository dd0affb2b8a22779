#include "common/net/ux_http_cli_downloader.h"

#include "common/ext_mem.h"
#include "common/ux_common.h"
#include "common/ux_file_io.h"

namespace ux {

namespace {

bool is_success_status(int32_t code) { return code >= 100 && code <= 299; }

}  // namespace

TUX_http_cli_downloader::TUX_http_cli_downloader() { recycleAble = false; }

void TUX_http_cli_downloader::Reset() {
  TUX_http_client_v3::Reset();
  down_state = 0;
  rt = TDownRt{};
  range_asked_ = 0;
  body_writable_ = false;
  stop_pending_ = false;
}

void TUX_http_cli_downloader::set_local_save_fname(std::string_view f) {
  f_local_save_fname = std::string(f);
  for (char& c : f_local_save_fname)
    if (c == '\\') c = '/';
}

// ---------------------------------------------------------------- events out

void TUX_http_cli_downloader::send_event(int32_t ev, const std::string& json) {
  if (func_on_ev_proc_out) func_on_ev_proc_out(request(), ev, json);
}

void TUX_http_cli_downloader::send_fail(std::string_view reason, bool final_event) {
  const std::string tag = request() ? request()->tag() : std::string();
  if (final_event) {
    send_event(kDownEvFail, build_json_text({"cmd", "download_fail", "tag", tag, "reason", reason, "final", 1}));
  } else {
    send_event(kDownEvFail, build_json_text({"cmd", "download_fail", "tag", tag, "reason", reason}));
  }
}

void TUX_http_cli_downloader::send_done() {
  send_event(kDownEvDone, build_json_text({"cmd", "download_ok", "tag", request()->tag(), "pos", rt.sum_size, "sum",
                                           rt.sum_size, "percent", 100, "speed", int64_t(Recv_Speed()),
                                           "sum_full", rt.full_file_sum_size}));
}

// ---------------------------------------------------------------- engine events

void TUX_http_cli_downloader::on_event(int32_t ev, void* data) {
  TUX_http_client_v3::on_event(ev, data);
  if (!request()) return;
  switch (ev) {
    case kHttpEvConnected:
      on_connected();
      break;
    case kHttpEvHeader:
      on_header();
      break;
    case kHttpEvResponseData:
      rt.is_have_proc_event = true;
      break;
    case kHttpEvComplete:
      on_complete();
      break;
    case kHttpEvConnectTimeout:
    case kHttpEvFailed:
      on_failed();
      break;
    default:
      break;
  }
}

std::string TUX_http_cli_downloader::validator_fname() const { return f_local_save_fname + kValidatorSuffix; }

bool delete_downloaded_file(const std::string& fname) {
  if (fname.empty()) return false;
  const std::string validator = fname + TUX_http_cli_downloader::kValidatorSuffix;
  (void)delete_file(validator);
  (void)delete_file(fname);
  return !name_exists(fname) && !name_exists(validator);
}

void TUX_http_cli_downloader::on_connected() {
  range_asked_ = 0;
  body_writable_ = false;
  if (f_is_continue_downlad_mode) {
    const int64_t size = file_size(f_local_save_fname);
    if (size > 0) {
      request()->set_Requ_range(size, 0);
      range_asked_ = size;
      // The bytes held belong to the version this validator names; a server
      // whose resource changed since sends it whole instead of a range.
      request()->add_header("If-Range", trim_text(read_file_text(validator_fname())));
    } else {
      request()->add_header("range", "");
      request()->add_header("If-Range", "");
    }
  }
  send_event(kDownEvConnected, build_json_text({"cmd", "connected", "tag", request()->tag()}));
}

bool TUX_http_cli_downloader::range_fits(int64_t local_size) {
  const auto& r = response()->Range;
  const int64_t len = response()->content_length();
  if (r.pos_start < 0 || r.pos_start > local_size) return false;
  if (r.pos_end >= 0) {
    if (r.pos_end < r.pos_start) return false;
    if (len >= 0 && len != r.pos_end - r.pos_start + 1) return false;
    if (r.full_content_length >= 0 && r.pos_end >= r.full_content_length) return false;
  }
  return true;
}

void TUX_http_cli_downloader::on_header() {
  TUX_HTTP_Cli_Response* resp = response();
  const bool success = is_success_status(resp->Response_code());
  if (resp->Range.Enabled) {
    rt.pos = resp->Range.pos_start;
    rt.full_file_sum_size = resp->Range.full_content_length;
  } else {
    rt.pos = 0;
    rt.full_file_sum_size = resp->content_length();
  }
  rt.sum_size = resp->content_length();
  rt.is_have_proc_event = true;
  rt.at_last_pop_proc_event = 0;
  body_writable_ = success;
  // The buffer fills and drains with every flush; keeping its memory spares
  // a shrink and regrowth (fresh pages) per flush on a fast link.
  resp->body().auto_compact_space = false;

  if (success && resp->Range.Enabled && !range_fits(file_size(f_local_save_fname))) {
    body_writable_ = false;
    send_fail("range_error", true);
    fail(kHttpErrBadResponse);
    stop_pending_ = true;
    return;
  }
  // A full answer replaces whatever the file held; writing it over a longer
  // old file would keep the old tail.
  if (success && !resp->Range.Enabled && file_size(f_local_save_fname) > 0) {
    bool cut = false;
    try {
      auto f = TShareFile::OpenWrite(f_local_save_fname);
      cut = f->setEndOfFile(0);
    } catch (...) {
    }
    if (!cut) {
      body_writable_ = false;
      send_fail("file_error", true);
      fail(kHttpErrBadResponse);
      stop_pending_ = true;
      return;
    }
  }
  if (success && !resp->Range.Enabled) remember_validator();
  send_event(kDownEvStart, build_json_text({"cmd", "download_start", "tag", request()->tag(), "pos", rt.pos, "sum",
                                            rt.sum_size, "percent", "0", "sum_full", rt.full_file_sum_size}));
}

void TUX_http_cli_downloader::remember_validator() {
  std::string v = response()->get_header_raw("ETag");
  if (v.empty() || v.rfind("W/", 0) == 0) v = response()->get_header_raw("Last-Modified");
  if (v.empty() || write_text_to_file(v, validator_fname()) < 0) (void)delete_file(validator_fname());
}

bool TUX_http_cli_downloader::is_complete_file_answer() {
  TUX_HTTP_Cli_Response* resp = response();
  if (!resp || !resp->have_got_header() || resp->Response_code() != 416 || range_asked_ <= 0) return false;
  if (!resp->Range.Enabled || resp->Range.full_content_length != range_asked_) return false;
  return file_size(f_local_save_fname) == range_asked_;
}

void TUX_http_cli_downloader::on_complete() {
  rt.is_have_proc_event = false;
  const int32_t code = response() ? response()->Response_code() : 0;
  if (is_complete_file_answer()) {
    rt.pos = range_asked_;
    rt.sum_size = 0;
    rt.full_file_sum_size = range_asked_;
    send_done();
    return;
  }
  if (!is_success_status(code)) {
    send_event(kDownEvFail, build_json_text({"cmd", "download_fail", "tag", request()->tag(), "reason",
                                             "http_error", "resp_code", code}));
    return;
  }
  if (flush_body() == TFlush::failed) {
    send_fail("file_error", true);
    return;
  }
  send_done();
}

void TUX_http_cli_downloader::on_failed() {
  rt.is_have_proc_event = false;
  // A connection attempt that timed out is retried; a failure in state 6
  // ends the run.
  const bool final_event = State() == kHttpStateFailed;
  if (final_event && is_complete_file_answer()) {
    rt.pos = range_asked_;
    rt.sum_size = 0;
    rt.full_file_sum_size = range_asked_;
    send_done();
    return;
  }
  if (final_event && body_writable_ && flush_body() == TFlush::failed) {
    send_fail("file_error", true);
    return;
  }
  send_fail("conn_error", final_event);
}

// ---------------------------------------------------------------- the step

void TUX_http_cli_downloader::stop_run() {
  stop_pending_ = false;
  rt.is_have_proc_event = false;
  SetActive(false);
}

void TUX_http_cli_downloader::execute() {
  const bool was_giving_up = Active() && State() == kHttpStateGivenUp;
  // Leaving the run clears the request; the final event still names its tag.
  const std::string tag = was_giving_up && request() ? request()->tag() : std::string();
  TUX_http_client_v3::execute();
  if (stop_pending_) {
    stop_run();
    return;
  }
  if (was_giving_up && !Active()) {
    send_event(kDownEvFail, build_json_text({"cmd", "download_fail", "tag", tag, "reason", "conn_error", "final", 1}));
    return;
  }
  if (!Active() || State() != kHttpStateReceive || !body_writable_) return;
  const int64_t now = now_ms();
  if (rt.is_have_proc_event && now - rt.at_last_pop_proc_event > kProgressIntervalMs) {
    rt.is_have_proc_event = false;
    rt.at_last_pop_proc_event = now;
    if (flush_body() == TFlush::failed) {
      send_fail("file_error", true);
      stop_run();
      return;
    }
    const int64_t percent = rt.sum_size > 0 ? rt.pos * 100 / rt.sum_size : 0;
    send_event(kDownEvProgress,
               build_json_text({"cmd", "download_proc", "tag", request()->tag(), "pos", rt.pos, "sum", rt.sum_size,
                                "percet", percent, "speed", int64_t(Recv_Speed())}));
  } else if (response()->body().DataLength() > kFlushAboveBytes) {
    if (flush_body() == TFlush::failed) {
      send_fail("file_error", true);
      stop_run();
    }
  }
}

TUX_http_cli_downloader::TFlush TUX_http_cli_downloader::flush_body() {
  TUX_HTTP_Cli_Response* resp = response();
  if (!resp) return TFlush::ok;
  Tfifo_Mem_stream& buf = resp->body();
  if (buf.DataLength() <= 0) return TFlush::ok;
  try {
    auto f = TShareFile::OpenWrite(f_local_save_fname);
    f->SetPosition(rt.pos);
    if (f->Position() != rt.pos) return TFlush::failed;
    for (;;) {
      buf.Lock();
      const int32_t n = min32(buf.DataLength(), kWriteChunk);
      if (n <= 0) {
        buf.unLock();
        break;
      }
      int64_t written = 0;
      try {
        written = f->Write(buf.DataPointer(0), n);
        // Bytes leave the buffer only once they are in the file.
        f->FlushBuffer();
      } catch (...) {
        buf.unLock();
        throw;
      }
      if (written > 0) {
        buf.Delete(int32_t(written));
        rt.pos += written;
      }
      buf.unLock();
      if (written != n) return TFlush::failed;
    }
  } catch (...) {
    return TFlush::failed;
  }
  return TFlush::ok;
}

}  // namespace ux
