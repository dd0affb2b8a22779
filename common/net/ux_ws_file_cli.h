// ux_ws_file_cli: the WebSocket file-transfer clients — TUX_ws_uploader_cli
// (a local file; TUX_ws_uploader_cli_vpath: a virtual path container in its
// one-file form) and TUX_ws_downloader_cli (into a local file, or split part
// files). Both are HTTP client engines that hold one WebSocket connection:
// they authenticate with the request's "key" header, agree on a session and
// a start position in JSON text messages, move the data in binary frames of
// one packet each (ux_ws_file_proto), resume after failures from the
// position the server confirms, and report through on_out_ws_event with the
// codes kWsEv* and their JSON texts.
//
// Every run ends with exactly one final outward event: 113 or 114 (upload),
// 103, 104 or 105 (download) — also when the connection could not be made
// at all or was closed by the server.
//
// Thread-safety: as the engine — stepped by one thread at a time; every
// callback runs on it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/net/ux_http_cli_v3.h"
#include "common/net/ux_ws_file_proto.h"
#include "common/ux_file_data_source.h"
#include "common/ux_file_io.h"

namespace ux {

// What the two clients share: the message handler on the request, the
// authentication message, delayed restarts and the final event of a run.
class TUX_ws_file_cli_base : public TUX_http_client_v3 {
 public:
  // Closes a transport a restart gave up before stepping, then one step;
  // reports a run that ended without its final event.
  void execute() override;
  // Installs the message handler and sends "ws_auth"; ws_state 0.
  void on_ws_connected() override;
  void Reset() override;

  std::string raw_params;  // the caller's JSON parameters
  TUX_WS_conn_event on_out_ws_event;
  struct TPopEvent {
    bool is_ev_happened = false;
    int64_t at_last_popup = 0;  // now_ms of the last progress event
  } pop_event;
  bool is_vpath_file = false;
  bool low_speed_mode = false;

  int32_t ws_state() const { return ws_state_; }
  // The reason of the last failure ("" when none), also in the final
  // error event's "reason".
  const std::string& end_reason() const { return end_reason_; }

 protected:
  virtual void on_ws_text(const std::string& text) = 0;
  virtual void on_ws_binary(const uint8_t* /*data*/, int32_t /*len*/) {}
  // The run ended (the engine left it) without a final event.
  virtual void on_run_ended_unreported() = 0;

  void send_auth();
  // Drops the connection now (at the start of the next step) and opens it
  // again after ms.
  void restart_after(int64_t ms);
  // Closes the WebSocket connection with reason kept for the final event.
  void close_with(std::string reason);
  // The final event was raised; nothing more is reported for this run.
  void mark_reported() { reported_ = true; }
  bool reported() const { return reported_; }
  void set_end_reason(std::string r) { end_reason_ = std::move(r); }
  // Why the run ended: the recorded reason, else the engine's error.
  std::string final_reason() const;
  // {"reason": r} or empty.
  static std::string reason_text(const std::string& r);
  // The common outward call: (request, code, text, no data, 0).
  void emit(int32_t code, const std::string& text);

  int32_t ws_state_ = 0;

 private:
  void on_message(int32_t ev, const std::string& text, const uint8_t* data, int32_t len);

  bool drop_transport_ = false;
  bool reported_ = false;
  std::string end_reason_;
};

class TUX_ws_uploader_cli : public TUX_ws_file_cli_base {
 public:
  // ws_state values.
  static constexpr int32_t kAuthenticating = 0;
  static constexpr int32_t kAuthenticated = 1;
  static constexpr int32_t kQuerySent = 2;
  static constexpr int32_t kSending = 3;
  static constexpr int32_t kAllSent = 4;
  static constexpr int32_t kFailed = 5;
  static constexpr int32_t kAborted = 6;

  // No new packets while the transport holds this many unsent bytes (the
  // low-speed limit also allows one burst per kLowSpeedBurstMs).
  static constexpr uint32_t kSendLimit = 1024000;
  static constexpr uint32_t kLowSpeedSendLimit = 100124;
  static constexpr int64_t kLowSpeedBurstMs = 500;
  static constexpr int64_t kProcEventMs = 800;
  // No progress for this long in states 2 and 3 restarts the upload.
  static constexpr int64_t kStallMs = 10000;
  static constexpr int64_t kRestartDelayMs = 3000;

  struct TRt {
    uint32_t session_id = 0;
    int64_t file_sum_size = 0;
    int64_t pos_start = 0;
    int64_t pos_end = 0;
    int64_t clip_size = 0;
    bool enabled = false;
    int64_t upload_proc_pos = 0;  // next position to send
    int64_t at_last_sent_ok = 0;  // now_ms
    int32_t compress_type = 0;    // not used
  };

  TUX_ws_uploader_cli() = default;
  ~TUX_ws_uploader_cli() override;

  void on_ws_idle() override;
  void on_ws_connected() override;
  void on_ws_closed() override;
  void Reset() override;

  // The source for name; null when it cannot be opened.
  virtual TUX_Data_source_ptr open_source(const std::string& name);
  // The outward event code with the fields of this client (see ws_event_text).
  virtual void raise_ws_event(int32_t code, const std::string& base);

  // The file to send and its size (the one-file size for a container).
  void set_source(const std::string& fname, int64_t file_sum_size);

  std::string local_sour_fname;
  TUX_Data_source_ptr fh;
  TRt rt;

 protected:
  void on_ws_text(const std::string& text) override;
  void on_run_ended_unreported() override;

 private:
  void start_query();
  void on_query_ret(const std::string& text);
  void send_data(int64_t now);
  void watchdog(int64_t now);
  void restart(int64_t delay_ms);
  // Event 114 and the end of the run (engine state 6).
  void give_up(std::string reason);
  bool send_packet(uint8_t cmd, int64_t pos, std::string_view payload);
  std::string file_date() const;

  std::unique_ptr<char[]> chunk_;
};

// Sends a virtual path container given by its index file, in the one-file
// form; deletes the index file once the upload completed (event 113).
class TUX_ws_uploader_cli_vpath : public TUX_ws_uploader_cli {
 public:
  TUX_Data_source_ptr open_source(const std::string& name) override;
  void raise_ws_event(int32_t code, const std::string& base) override;
};

class TUX_ws_downloader_cli : public TUX_ws_file_cli_base {
 public:
  // ws_state values.
  static constexpr int32_t kAuthenticating = 0;
  static constexpr int32_t kQuerySent = 1;
  static constexpr int32_t kStarted = 2;
  static constexpr int32_t kReceiving = 3;
  static constexpr int32_t kFinished = 4;
  static constexpr int32_t kFailed = 5;
  static constexpr int32_t kAborted = 6;

  static constexpr int64_t kProcEventMs = 500;
  // No data for this long in states 2 and 3 restarts the download.
  static constexpr int64_t kStallMs = 25000;
  static constexpr int64_t kStallRestartMs = 3000;
  static constexpr int64_t kAuthRetryMs = 1000;
  static constexpr int32_t kAuthTries = 3;
  // "download_fail": reconnection after min(kFailDelayMaxMs, (n + 1) x
  // kFailDelayStepMs) for the n-th failure in a row, up to kMaxFailures.
  static constexpr int64_t kFailDelayStepMs = 3000;
  static constexpr int64_t kFailDelayMaxMs = 15000;
  static constexpr int32_t kMaxFailures = 50;
  static constexpr int64_t kTaskRestartMs = 1000;

  struct TRt {
    uint32_t session_id = 0;
    int64_t file_sum_size = 0;
    int64_t pos_start = 0;
    int64_t pos_end = 0;
    int64_t got_file_size = 0;
    int64_t clip_size = 0;
    int64_t at_last_down_ok = 0;  // now_ms
    // "download_fail" messages since data last arrived.
    int32_t err_retry_count = 0;
    bool is_save_multi_file = false;
    int32_t multi_file_block_size = 0;
  };

  TUX_ws_downloader_cli() = default;
  ~TUX_ws_downloader_cli() override;

  void on_ws_idle() override;
  void on_ws_connected() override;
  void on_ws_closed() override;
  void Reset() override;

  virtual void raise_ws_event(int32_t code, const std::string& base);

  // Multi-file mode: the file is kept as split parts of block_size bytes.
  void set_save_multi_file_mode(bool enabled, int32_t block_size);
  void set_save_name(const std::string& fname) { local_Save_fname = fname; }
  // Asks the server to stop sending ("task_op" "abort").
  int32_t send_ws_msg_4_task_abort();

  std::string local_Save_fname;
  TRt rt;
  TShareFileRef save_fh;

 protected:
  void on_ws_text(const std::string& text) override;
  void on_ws_binary(const uint8_t* data, int32_t len) override;
  void on_run_ended_unreported() override;

 private:
  void on_auth_ret(const std::string& text);
  void on_query_ret(const std::string& text);
  void on_fail();
  void on_task_op(const std::string& text);
  void send_query();
  // Size of what is held locally (all parts in multi-file mode).
  int64_t local_size() const;
  // Opens the output and cuts it to pos; false when it cannot be opened.
  bool open_output(int64_t pos);
  void release_output();
  void restart(int64_t delay_ms);
  // Event 104 with reason, ws_state 5, and the connection closed.
  void fail_download(std::string reason);
  void complete_if_held();

  int32_t auth_failures_ = 0;
  bool finished_sent_ = false;
};

}  // namespace ux
