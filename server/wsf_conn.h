// wsf_conn: one connection of the WebSocket file server, apart from its
// transport — the upgrade handshake, the frames, and the file-transfer
// commands: "ws_auth" against the server's key list, "upload_query" with
// resume and the upload packets written at their positions, "download_query"
// with resume at "file_pos" and the download packets (command 22) made only
// as fast as the transport takes them, "download_popo" keep-alives and
// "task_op" aborts.
//
// The file a connection transfers is named by the upgrade request's path
// below the store's root; an upload to a path ending in "/" takes the
// file-name part of the query's "filename". A connection holds at most one
// upload and one download at a time. Bad input — hostile packets, unknown
// commands, malformed JSON — is logged and ignored; nothing is ever written
// outside the announced file.
//
// Not thread-safe: driven by the server's event loop, like the shared state.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "common/net/ux_ws_frame.h"
#include "server/res_stream_conn.h"
#include "server/wsf_store.h"

namespace qlyn_wsf {

class TWsf_Conn;

// What every connection of one server shares.
struct TWsf_Shared {
  TWsf_Store* store = nullptr;
  std::set<std::string> keys;  // accepted "ws_auth" keys; empty: every key
  std::function<void(const std::string& line)> log;
  // Upload name -> the connection receiving it (a newer query takes over).
  std::map<std::string, TWsf_Conn*> uploads;
  uint32_t next_session = 1;
  // Keep-alive interval of a download, and how long a connection may stay
  // unauthenticated.
  int64_t popo_interval_ms = 5000;
  int64_t auth_timeout_ms = 30000;
};

class TWsf_Conn : public qlyn_res::TRes_Stream_Conn {
 public:
  // Wrong "ws_auth" keys before the connection is closed.
  static constexpr int32_t kMaxAuthFailures = 3;
  // Output buffered beyond this stops reading input until it drains.
  static constexpr size_t kMaxPendingOutput = 1 << 20;
  // Largest message accepted from a client (a packet is at most 65220 bytes).
  static constexpr size_t kMaxMessage = 1 << 20;

  TWsf_Conn(TWsf_Shared& shared, std::string peer);
  ~TWsf_Conn() override;

  bool wants_input() const override;
  void on_input(const char* data, size_t len) override;
  void on_input_end() override;
  size_t pull_output(char* buf, size_t room) override;
  bool has_output() const override;
  bool done() const override;
  void on_tick(int64_t now) override;

  // Output made and not yet pulled.
  size_t buffered() const { return out_.size() - out_pos_; }

  // Another connection took over the upload of name: end ours.
  void drop_upload();

 private:
  void on_head();
  void on_frames(const char* data, size_t len);
  void on_text(const std::string& text);
  void on_binary(const std::string& frame);
  void on_auth(const std::string& text);
  void on_upload_query(const std::string& text);
  void on_upload_end();
  void on_download_query(const std::string& text);
  void on_download_start(const std::string& text);
  void on_download_finished(const std::string& text);
  void on_task_op(const std::string& text);
  void end_download(const char* how);
  void send_text(const std::string& text);
  void send_frame(uint8_t opcode, const void* data, size_t len);
  void close(uint16_t code);
  // Adds download packets while the buffer is below room bytes.
  void make_download_packets(size_t room);
  void log(const std::string& what);
  uint32_t new_session();

  TWsf_Shared& shared_;
  std::string peer_;
  std::string path_;  // the upgrade request's path
  bool upgraded_ = false;
  bool closing_ = false;
  bool input_ended_ = false;
  std::string input_;  // the request head until the upgrade
  size_t scan_from_ = 0;
  ux::TUX_WS_Frame_Decoder decoder_;
  std::string out_;
  size_t out_pos_ = 0;
  std::string packet_;  // the download packet being framed
  int64_t opened_ms_ = 0;

  bool authed_ = false;
  int32_t auth_failures_ = 0;

  std::unique_ptr<TWsf_Upload> upload_;
  std::string up_name_;
  uint32_t up_session_ = 0;
  bool up_already_complete_ = false;
  int64_t up_from_ = 0;
  int64_t up_refused_ = 0;  // packets ignored

  std::unique_ptr<TWsf_Download> download_;
  std::string dn_name_;
  uint32_t dn_session_ = 0;
  int64_t dn_pos_ = 0;  // next position to send
  int64_t dn_from_ = 0;
  bool dn_sending_ = false;
  int64_t dn_last_popo_ = 0;
};

}  // namespace qlyn_wsf
