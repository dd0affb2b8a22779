#include "common/net/ux_ws_file_proto.h"

#include <cstring>

#include "common/ux_common.h"

namespace ux {

namespace {

void put_le(char* p, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) p[i] = static_cast<char>(v >> (8 * i));
}

uint64_t get_le(const char* p, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(p[i]);
  return v;
}

struct TCmdName {
  TWsFileCmd cmd;
  std::string_view name;
};

constexpr TCmdName kCmdNames[] = {
    {TWsFileCmd::ws_auth, "ws_auth"},
    {TWsFileCmd::ws_auth_ret, "ws_auth_ret"},
    {TWsFileCmd::upload_query, "upload_query"},
    {TWsFileCmd::upload_query_ret, "upload_query_ret"},
    {TWsFileCmd::upload_start, "upload_start"},
    {TWsFileCmd::upload_ok, "upload_ok"},
    {TWsFileCmd::upload_finished, "upload_finished"},
    {TWsFileCmd::upload_fail, "upload_fail"},
    {TWsFileCmd::download_query, "download_query"},
    {TWsFileCmd::download_query_ret, "download_query_ret"},
    {TWsFileCmd::download_start, "download_start"},
    {TWsFileCmd::download_proc, "download_proc"},
    {TWsFileCmd::download_finished, "download_finished"},
    {TWsFileCmd::download_fail, "download_fail"},
    {TWsFileCmd::download_popo, "download_popo"},
    {TWsFileCmd::download_popo_ret, "download_popo_ret"},
    {TWsFileCmd::task_op, "task_op"},
};

bool is_json_object(std::string_view s) {
  const std::string t = trim_text(s);
  return t.size() >= 2 && t.front() == '{' && t.back() == '}';
}

// Sets name to the text of raw's field name when raw has it.
void copy_text_field(std::string& json, std::string_view raw, std::string_view name) {
  const std::string v = json_text_field(raw, name);
  if (!v.empty()) (void)json_text_set_str(json, name, v);
}

}  // namespace

// ---------------------------------------------------------------- data packets

const char* ws_packet_status_text(TWsPacketStatus s) {
  switch (s) {
    case TWsPacketStatus::ok: return "ok";
    case TWsPacketStatus::too_short: return "packet shorter than its header";
    case TWsPacketStatus::bad_magic: return "packet with a wrong magic";
    case TWsPacketStatus::zero_session: return "packet with session 0";
    case TWsPacketStatus::bad_length: return "packet length disagrees with its frame";
    case TWsPacketStatus::bad_position: return "packet with a negative position";
  }
  return "?";
}

bool ws_file_packet_encode(std::string& out, uint32_t session_id, uint8_t cmd, int64_t file_pos,
                           std::string_view payload) {
  if (session_id == 0 || payload.size() > kWsFileMaxPayload) return false;
  char h[kWsFilePacketHeaderSize];
  put_le(h, kWsFileMagic, 4);
  put_le(h + 4, session_id, 4);
  h[8] = static_cast<char>(cmd);
  h[9] = 0;
  put_le(h + 10, payload.size(), 2);
  put_le(h + 12, static_cast<uint64_t>(file_pos), 8);
  out.append(h, sizeof h);
  out.append(payload);
  return true;
}

TWsPacketStatus ws_file_packet_decode(std::string_view frame, TWS_File_Packet& p) {
  if (frame.size() < kWsFilePacketHeaderSize) return TWsPacketStatus::too_short;
  const char* h = frame.data();
  if (get_le(h, 4) != kWsFileMagic) return TWsPacketStatus::bad_magic;
  const auto session = static_cast<uint32_t>(get_le(h + 4, 4));
  if (session == 0) return TWsPacketStatus::zero_session;
  const size_t len = static_cast<size_t>(get_le(h + 10, 2));
  if (len != frame.size() - kWsFilePacketHeaderSize) return TWsPacketStatus::bad_length;
  const auto pos = static_cast<int64_t>(get_le(h + 12, 8));
  if (pos < 0) return TWsPacketStatus::bad_position;
  p.session_id = session;
  p.cmd = static_cast<uint8_t>(h[8]);
  p.file_pos = pos;
  p.payload = frame.substr(kWsFilePacketHeaderSize, len);
  return TWsPacketStatus::ok;
}

bool ws_file_range_ok(int64_t pos, int64_t len, int64_t size) {
  if (pos < 0 || len < 0 || size < 0 || pos > size) return false;
  if (len == 0) return true;
  return pos < size && len <= size - pos;
}

// ---------------------------------------------------------------- text messages

TWsFileCmd ws_file_cmd_of(std::string_view json) {
  if (!is_json_object(json)) return TWsFileCmd::unknown;
  const std::string name = json_text_field(json, "cmd");
  for (const TCmdName& c : kCmdNames)
    if (ci_equal(name, c.name)) return c.cmd;
  return TWsFileCmd::unknown;
}

std::string_view ws_file_cmd_name(TWsFileCmd cmd) {
  for (const TCmdName& c : kCmdNames)
    if (c.cmd == cmd) return c.name;
  return "unknown";
}

std::string ws_json_object(std::string_view json) {
  return is_json_object(json) ? trim_text(json) : std::string("{}");
}

std::string ws_msg_auth(std::string_view key) { return build_json_text({"cmd", "ws_auth", "key", key}); }

std::string ws_msg_upload_query(std::string_view raw_params, int64_t file_sum_size, int64_t pos,
                                std::string_view file_md5) {
  std::string j = ws_json_object(raw_params);
  (void)json_text_set_str(j, "cmd", "upload_query");
  (void)json_text_set_int(j, "file_sum_size", file_sum_size);
  (void)json_text_set_int(j, "pos", pos);
  (void)json_text_set_str(j, "file_md5", file_md5);
  return j;
}

std::string ws_msg_upload_start(int64_t file_sum_size, int64_t pos) {
  return build_json_text({"cmd", "upload_start", "file_sum_size", file_sum_size, "pos", pos});
}

std::string ws_msg_upload_ok(int64_t file_sum_size, std::string_view file_date) {
  return build_json_text({"cmd", "upload_ok", "file_sum_size", file_sum_size, "file_date", file_date});
}

std::string ws_msg_download_query(int64_t file_pos, std::string_view raw_params, bool is_vpath) {
  std::string j = build_json_text({"cmd", "download_query", "file_pos", file_pos});
  const std::string raw = ws_json_object(raw_params);
  copy_text_field(j, raw, "efs_cmd");
  copy_text_field(j, raw, "task_id");
  if (is_vpath) (void)json_text_set_int(j, "is_vpath", 1);
  return j;
}

std::string ws_msg_download_start(uint32_t session_id, int64_t pos, int64_t sum) {
  return build_json_text({"cmd", "download_start", "session_id", session_id, "pos", pos, "sum", sum});
}

std::string ws_msg_download_proc(uint32_t session_id, int64_t pos, int64_t sum, int64_t speed,
                                 std::string_view raw_params) {
  std::string j = build_json_text(
      {"cmd", "download_proc", "session_id", session_id, "pos", pos, "sum", sum, "speed", speed});
  copy_text_field(j, ws_json_object(raw_params), "task_type");
  return j;
}

std::string ws_msg_download_finished(uint32_t session_id, int64_t sum) {
  return build_json_text({"cmd", "download_finished", "session_id", session_id, "pos", sum, "sum", sum});
}

std::string ws_msg_download_popo_ret() { return build_json_text({"cmd", "download_popo_ret"}); }

std::string ws_msg_task_abort(uint32_t session_id) {
  return build_json_text({"cmd", "task_op", "op", "abort", "session_id", session_id});
}

std::string ws_msg_auth_ret(int64_t ret) { return build_json_text({"cmd", "ws_auth_ret", "ret", ret}); }

std::string ws_msg_upload_query_ret(bool exists, int64_t pos, uint32_t session_id) {
  return build_json_text({"cmd", "upload_query_ret", "exists", exists ? 1 : 0, "pos", pos, "session_id",
                          session_id});
}

std::string ws_msg_upload_finished(bool file_exists) {
  return build_json_text({"cmd", "upload_finished", "file_exists", file_exists ? 1 : 0});
}

std::string ws_msg_upload_fail(std::string_view reason) {
  return build_json_text({"cmd", "upload_fail", "reason", reason});
}

std::string ws_msg_download_query_ret(bool exists, bool ready, uint32_t session_id, int64_t pos,
                                      int64_t sum) {
  return build_json_text({"cmd", "download_query_ret", "exists", exists ? 1 : 0, "ready", ready ? 1 : 0,
                          "session_id", session_id, "pos", pos, "sum", sum});
}

std::string ws_msg_download_finished_ret(uint32_t session_id, int64_t sum) {
  return build_json_text({"cmd", "download_finished", "session_id", session_id, "sum", sum});
}

std::string ws_msg_download_fail(std::string_view reason) {
  return build_json_text({"cmd", "download_fail", "reason", reason});
}

std::string ws_msg_download_popo() { return build_json_text({"cmd", "download_popo"}); }

std::string ws_msg_task_op(std::string_view op, int64_t val) {
  return build_json_text({"cmd", "task_op", "op", op, "val", val});
}

// ---------------------------------------------------------------- outward events

int64_t ws_percent(int64_t pos, int64_t sum) {
  if (sum <= 0 || pos <= 0) return 0;
  const __int128 p = (static_cast<__int128>(pos) * 100 + sum - 1) / sum;
  return p > 99 ? 99 : static_cast<int64_t>(p);
}

std::string_view ws_event_name(int32_t code) {
  switch (code) {
    case kWsEvDownloadQuery: return "download_query";
    case kWsEvDownloadStart: return "download_start";
    case kWsEvDownloadProc: return "download_proc";
    case kWsEvDownloadOk: return "download_ok";
    case kWsEvDownloadError: return "download_error";
    case kWsEvDownloadAbort: return "download_abort";
    case kWsEvUploadQuery: return "upload_query";
    case kWsEvUploadStart: return "upload_start";
    case kWsEvUploadProc: return "upload_proc";
    case kWsEvUploadOk: return "upload_ok";
    case kWsEvUploadError: return "upload_error";
    default: return {};
  }
}

std::string ws_event_text(int32_t code, std::string_view base, const TWsEventValues& v) {
  std::string j = ws_json_object(base);
  if (v.is_vpath) (void)json_text_set_int(j, "is_vpath", 1);
  (void)json_text_set_str(j, "tag", v.tag);
  if (v.downloader) copy_text_field(j, ws_json_object(v.raw_params), "task_type");
  (void)json_text_set_str(j, "ev", ws_event_name(code));
  auto set = [&j](std::string_view name, int64_t n) { (void)json_text_set_int(j, name, n); };
  auto file = [&j, &v] { (void)json_text_set_str(j, "filename", v.filename); };
  switch (code) {
    case kWsEvUploadQuery:
    case kWsEvDownloadQuery:
      set("percent", 0), set("pos", v.pos), set("sum", v.sum), file();
      break;
    case kWsEvUploadStart:
    case kWsEvDownloadStart:
      set("pos", v.pos), set("sum", v.sum), set("percent", 0), file();
      break;
    case kWsEvUploadProc:
    case kWsEvDownloadProc:
      set("pos", v.pos), set("sum", v.sum), set("speed", v.speed), set("percent", ws_percent(v.pos, v.sum)),
          file();
      break;
    case kWsEvUploadOk:
    case kWsEvDownloadOk:
      set("pos", v.sum), set("sum", v.sum), set("percent", 100), set("speed", v.speed), file();
      if (code == kWsEvDownloadOk) (void)json_text_set_str(j, "phy_file", v.phy_file);
      break;
    case kWsEvUploadError:
      set("pos", v.pos), set("sum", v.sum), file();
      break;
    case kWsEvDownloadError:
      set("pos", v.pos), set("sum", v.sum), set("speed", 0), set("percent", ws_percent(v.pos, v.sum)), file();
      break;
    default:
      break;
  }
  return j;
}

}  // namespace ux
