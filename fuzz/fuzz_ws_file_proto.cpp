// Frames a file-transfer peer may send: data packets (binary frames) and
// JSON text messages. An accepted packet's payload must lie inside its frame.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/net/ux_ws_file_proto.h"
#include "common/ux_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view frame(reinterpret_cast<const char*>(data), size);
  ux::TWS_File_Packet p;
  if (ux::ws_file_packet_decode(frame, p) == ux::TWsPacketStatus::ok) {
    if (p.payload.data() < frame.data() + ux::kWsFilePacketHeaderSize ||
        p.payload.data() + p.payload.size() != frame.data() + frame.size() || p.session_id == 0 || p.file_pos < 0)
      std::abort();
    (void)ux::ws_file_range_ok(p.file_pos, int64_t(p.payload.size()), 1 << 20);
  }
  (void)ux::ws_file_cmd_of(frame);
  for (std::string_view name : {"ret", "exists", "pos", "sum", "session_id", "ready", "val", "file_exists"})
    (void)ux::json_text_int(frame, name, 0);
  (void)ux::json_text_field(frame, "op");
  ux::TWsEventValues v;
  v.raw_params = frame;
  v.downloader = true;
  (void)ux::ws_event_text(ux::kWsEvDownloadProc, frame, v);
  (void)ux::ws_msg_upload_query(frame, 1, 0, "");
  (void)ux::ws_msg_download_query(0, frame, true);
  return 0;
}
