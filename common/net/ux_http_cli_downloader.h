// ux_http_cli_downloader: TUX_http_cli_downloader, the client engine that
// stores a GET response body in a local file, resumes a partial file with a
// range request and reports the transfer to one callback as numbered events
// with small JSON texts.
//
// Outward events (func_on_ev_proc_out(request, ev, json)):
//   2   {"cmd":"connected", "tag":...}                      once per connection
//   101 {"cmd":"download_start", ...pos, sum, "percent":"0", sum_full}
//   102 {"cmd":"download_proc", ...pos, sum, "percet", speed} at most every 800 ms
//   103 {"cmd":"download_ok", ...pos, sum, "percent":100, speed, sum_full}
//   104 {"cmd":"download_fail", "tag", "reason":...}
//       "http_error" + "resp_code": the server answered with an error status
//       "conn_error": a connection attempt timed out (the engine retries), or
//                     the exchange failed; a pair "final":1 follows when no
//                     further attempt comes
//       "file_error" + "final":1: the body could not be written to the file
//       "range_error" + "final":1: a partial answer that does not continue
//                     the local file (it would leave a hole or a wrong tail)
// After 103 and after every 104 except a non-final "conn_error" the engine
// has stopped and sends nothing more.
//
// File: opened for each flush through TShareFile (never truncated except when
// a full answer replaces a partial file), written in pieces of at most
// kWriteChunk bytes at rt.pos. The body is flushed with every progress event,
// whenever more than kFlushAboveBytes are buffered, and at completion; bytes
// of a 2xx body that arrived before a failure are flushed too, so the next
// run resumes after them. A 416 whose "Content-Range: bytes */N" equals the
// local file's size means the file is complete: event 103.
//
// Versions: the validator of a whole answer (its ETag, else Last-Modified) is
// kept beside the file (name + kValidatorSuffix) and sent as "If-Range" when
// resuming, so a resource that changed meanwhile comes whole (and replaces
// the file) instead of a range glued to bytes of the old version.
//
// Thread-safety: as the engine (one stepping thread; every event on it). The
// callback must not throw: an exception leaves the engine's step at once and
// the next step delivers the event again.
#pragma once

#include <cstdint>
#include <string>

#include "common/net/ux_http_callbacks.h"
#include "common/net/ux_http_cli_v3.h"

namespace ux {

// Outward event codes.
inline constexpr int32_t kDownEvConnected = 2;
inline constexpr int32_t kDownEvStart = 101;
inline constexpr int32_t kDownEvProgress = 102;
inline constexpr int32_t kDownEvDone = 103;
inline constexpr int32_t kDownEvFail = 104;

class TUX_http_cli_downloader : public TUX_http_client_v3 {
 public:
  // Progress events (and the flushes with them) at most this often.
  static constexpr int64_t kProgressIntervalMs = 800;
  // Largest single file write.
  static constexpr int32_t kWriteChunk = 131070;
  // A fast transfer is flushed without an event once this much is buffered,
  // so memory stays bounded whatever the link speed; small enough that the
  // bytes are still in the processor's cache when they are written.
  static constexpr int32_t kFlushAboveBytes = 256 << 10;
  static constexpr int32_t kDefaultBlockSize = 4194304;
  static constexpr const char* kValidatorSuffix = ".validator";

  struct TDownRt {
    std::string svr_file_info;       // free for the caller
    int64_t sum_size = 0;            // content length of this answer, -1 unknown
    int64_t full_file_sum_size = 0;  // size of the whole resource
    int64_t pos = 0;                 // file offset of the next body byte
    bool is_have_proc_event = false;
    int64_t at_last_pop_proc_event = 0;  // now_ms of the last progress event
  };

  TUX_http_cli_downloader();

  void on_event(int32_t ev, void* data) override;
  void Reset() override;
  void execute() override;

  // Every connection asks for the bytes after what the file holds.
  bool is_continue_downlad_mode() const { return f_is_continue_downlad_mode; }
  void set_is_continue_downlad_mode(bool v) { f_is_continue_downlad_mode = v; }
  const std::string& local_save_fname() const { return f_local_save_fname; }
  // Either separator is accepted; backslashes are stored as "/".
  void set_local_save_fname(std::string_view f);
  // Stored only.
  bool is_multi_block_mode() const { return f_is_multi_block_mode; }
  void set_is_multi_block_mode(bool v) { f_is_multi_block_mode = v; }
  int32_t block_size() const { return f_block_size; }
  void set_block_size(int32_t v) { f_block_size = v; }

  // Shadows the engine's rt on purpose: the transfer's record. The engine's
  // own record stays reachable as TUX_http_client_v3::rt.
  TDownRt rt;
  int32_t down_state = 0;
  TUX_HTTP_Cli_conn_event func_on_ev_proc_out;

 private:
  enum class TFlush { ok, failed };

  void send_event(int32_t ev, const std::string& json);
  void send_fail(std::string_view reason, bool final_event);
  void send_done();
  void on_connected();
  void on_header();
  void on_complete();
  void on_failed();
  // 206 (or 2xx with a content range) that continues the local file without
  // a hole and whose range, length and total agree.
  bool range_fits(int64_t local_size);
  // Writes the buffered body at rt.pos; failed when a byte could not be
  // written (what was written is removed from the buffer).
  TFlush flush_body();
  // Stops the run after a file or range error (event already sent).
  void stop_run();
  // The answer is a 416 saying the local file already holds the whole resource.
  bool is_complete_file_answer();
  std::string validator_fname() const;
  // Keeps (or drops) the validator of a whole answer beside the file.
  void remember_validator();

  std::string f_local_save_fname;
  bool f_is_multi_block_mode = false;
  int32_t f_block_size = kDefaultBlockSize;
  bool f_is_continue_downlad_mode = false;

  int64_t range_asked_ = 0;      // first byte asked for on this connection
  bool body_writable_ = false;   // a 2xx body whose bytes belong in the file
  bool stop_pending_ = false;    // stop the run after the current step
};

// Deletes a file the downloader saved and the validator it keeps beside it
// (the name + kValidatorSuffix). True when neither is left.
bool delete_downloaded_file(const std::string& fname);

}  // namespace ux
