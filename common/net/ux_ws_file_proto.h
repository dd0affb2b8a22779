// ux_ws_file_proto: the WebSocket file-transfer protocol without I/O — the
// 20-byte data packet header carried in binary frames, the JSON text
// messages ("cmd" plus fields) of both directions, and the JSON texts of
// the clients' outward events.
//
// Everything here is a pure function of its arguments: no clock, no files,
// no locks. Readers of outside input never throw and never read past what
// they were given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ux {

// ---------------------------------------------------------------- data packets

// Layout (little-endian): magic (4), session id (4), command (1), 0 (1),
// payload length (2), file position of the payload (8, signed), payload.
inline constexpr uint32_t kWsFileMagic = 0x0988FB05;
inline constexpr size_t kWsFilePacketHeaderSize = 20;
// Largest payload a sender puts in one packet.
inline constexpr size_t kWsFileMaxPayload = 65200;
// Data bytes per upload packet.
inline constexpr size_t kWsFileUploadChunk = 64832;

inline constexpr uint8_t kWsPackUploadStart = 11;
inline constexpr uint8_t kWsPackUploadData = 12;
inline constexpr uint8_t kWsPackUploadEnd = 13;
inline constexpr uint8_t kWsPackDownloadData = 22;

struct TWS_File_Packet {
  uint32_t session_id = 0;
  uint8_t cmd = 0;
  int64_t file_pos = 0;
  std::string_view payload;  // points into the decoded frame
};

enum class TWsPacketStatus {
  ok,
  too_short,     // fewer than 20 bytes
  bad_magic,
  zero_session,
  bad_length,    // the length field disagrees with the frame
  bad_position,  // a negative file position
};
const char* ws_packet_status_text(TWsPacketStatus s);

// Appends one packet to out. False (out unchanged) for session 0 or a
// payload above kWsFileMaxPayload.
[[nodiscard]] bool ws_file_packet_encode(std::string& out, uint32_t session_id, uint8_t cmd,
                                         int64_t file_pos, std::string_view payload);
// Reads the packet that fills one binary frame exactly.
[[nodiscard]] TWsPacketStatus ws_file_packet_decode(std::string_view frame, TWS_File_Packet& p);

// True when len bytes at pos lie inside a file of size bytes: 0 <= pos,
// pos + len <= size, and pos < size unless len is 0. Overflow-safe.
bool ws_file_range_ok(int64_t pos, int64_t len, int64_t size);

// ---------------------------------------------------------------- text messages

enum class TWsFileCmd {
  unknown,
  ws_auth,
  ws_auth_ret,
  upload_query,
  upload_query_ret,
  upload_start,
  upload_ok,
  upload_finished,
  upload_fail,
  download_query,
  download_query_ret,
  download_start,
  download_proc,
  download_finished,
  download_fail,
  download_popo,
  download_popo_ret,
  task_op,
};

// The message's "cmd" field, matched ASCII case-insensitively; unknown for
// any other value, a missing field or a text that is no JSON object.
TWsFileCmd ws_file_cmd_of(std::string_view json);
std::string_view ws_file_cmd_name(TWsFileCmd cmd);

// json when it is a JSON object text ("{" ... "}" after trimming), else "{}":
// the base a caller's parameters are edited on.
std::string ws_json_object(std::string_view json);

// Client to server.
std::string ws_msg_auth(std::string_view key);
// The caller's parameters with "cmd", "file_sum_size", "pos" and "file_md5" set.
std::string ws_msg_upload_query(std::string_view raw_params, int64_t file_sum_size, int64_t pos,
                                std::string_view file_md5);
std::string ws_msg_upload_start(int64_t file_sum_size, int64_t pos);
std::string ws_msg_upload_ok(int64_t file_sum_size, std::string_view file_date);
// "efs_cmd" and "task_id" are copied from raw_params as texts; "is_vpath" 1
// only for vpath tasks.
std::string ws_msg_download_query(int64_t file_pos, std::string_view raw_params, bool is_vpath);
std::string ws_msg_download_start(uint32_t session_id, int64_t pos, int64_t sum);
// "task_type" from raw_params when present there.
std::string ws_msg_download_proc(uint32_t session_id, int64_t pos, int64_t sum, int64_t speed,
                                 std::string_view raw_params);
std::string ws_msg_download_finished(uint32_t session_id, int64_t sum);
std::string ws_msg_download_popo_ret();
std::string ws_msg_task_abort(uint32_t session_id);

// Server to client.
std::string ws_msg_auth_ret(int64_t ret);
std::string ws_msg_upload_query_ret(bool exists, int64_t pos, uint32_t session_id);
std::string ws_msg_upload_finished(bool file_exists);
std::string ws_msg_upload_fail(std::string_view reason);
std::string ws_msg_download_query_ret(bool exists, bool ready, uint32_t session_id, int64_t pos,
                                      int64_t sum);
std::string ws_msg_download_finished_ret(uint32_t session_id, int64_t sum);
std::string ws_msg_download_fail(std::string_view reason);
std::string ws_msg_download_popo();
std::string ws_msg_task_op(std::string_view op, int64_t val);

// ---------------------------------------------------------------- outward events

// Event codes of the uploader (110..114) and the downloader (100..105).
inline constexpr int32_t kWsEvDownloadQuery = 100;
inline constexpr int32_t kWsEvDownloadStart = 101;
inline constexpr int32_t kWsEvDownloadProc = 102;
inline constexpr int32_t kWsEvDownloadOk = 103;
inline constexpr int32_t kWsEvDownloadError = 104;
inline constexpr int32_t kWsEvDownloadAbort = 105;
inline constexpr int32_t kWsEvUploadQuery = 110;
inline constexpr int32_t kWsEvUploadStart = 111;
inline constexpr int32_t kWsEvUploadProc = 112;
inline constexpr int32_t kWsEvUploadOk = 113;
inline constexpr int32_t kWsEvUploadError = 114;

struct TWsEventValues {
  bool is_vpath = false;
  std::string_view tag;
  bool downloader = false;      // adds "task_type" from raw_params
  std::string_view raw_params;
  int64_t pos = 0;
  int64_t sum = 0;
  int64_t speed = 0;
  std::string_view filename;
  std::string_view phy_file;    // event 103
};

// min(99, ceil(pos * 100 / sum)); 0 when sum <= 0 or pos <= 0.
int64_t ws_percent(int64_t pos, int64_t sum);
// The event's "ev" name; empty for an unknown code.
std::string_view ws_event_name(int32_t code);
// base (a JSON object text, else an empty object) with "is_vpath" 1 (vpath
// tasks), "tag", "task_type" (downloader, when raw_params has one), "ev"
// and the code's fields set in that order.
std::string ws_event_text(int32_t code, std::string_view base, const TWsEventValues& v);

}  // namespace ux
