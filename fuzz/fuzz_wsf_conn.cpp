// One connection of the WebSocket file server fed what a hostile client may
// send: the input is cut into messages (1 byte opcode, 2 bytes length,
// payload) sent as masked frames after a valid upgrade and authentication,
// and, on a second connection, given raw from the first byte on. Output must
// stay bounded and nothing may be written outside the root.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/net/ux_ws_file_proto.h"
#include "common/net/ux_ws_frame.h"
#include "server/wsf_conn.h"

namespace {

struct TScratch {
  std::string dir;
  qlyn_wsf::TWsf_Store store;
  qlyn_wsf::TWsf_Shared shared;
  TScratch() {
    std::string t = "/tmp/fuzz_wsf_XXXXXX";
    if (!::mkdtemp(t.data())) std::abort();
    dir = t;
    std::filesystem::create_directories(dir + "/root/sub");
    std::string err;
    if (!store.open(dir + "/root", err)) std::abort();
    shared.store = &store;
    shared.keys = {"k"};
  }
};

TScratch& scratch() {
  static TScratch* s = [] {
    auto* p = new TScratch();
    std::atexit([] { std::filesystem::remove_all(scratch().dir); });
    return p;
  }();
  return *s;
}

void drain(qlyn_wsf::TWsf_Conn& c) {
  static char buf[262144];
  for (int i = 0; i < 64 && c.pull_output(buf, sizeof buf) > 0; ++i)
    if (c.buffered() > sizeof buf + (1 << 17)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TScratch& s = scratch();
  {
    qlyn_wsf::TWsf_Conn c(s.shared, "fuzz");
    std::string in =
        "GET /sub/f.bin HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: a2V5\r\n\r\n";
    const std::string auth = ux::ws_msg_auth("k");
    ux::ws_encode_frame(in, ux::kWsOpText, true, auth.data(), auth.size(), true, 0x01020304);
    for (size_t at = 0; at + 3 <= size;) {
      const uint8_t op = data[at] & 0x0F;
      size_t n = size_t(data[at + 1]) | size_t(data[at + 2]) << 8;
      at += 3;
      if (n > size - at) n = size - at;
      ux::ws_encode_frame(in, op, true, data + at, n, true, 0x0A0B0C0D);
      at += n;
    }
    c.on_input(in.data(), in.size());
    drain(c);
    c.on_tick(0);
    drain(c);
  }
  {
    qlyn_wsf::TWsf_Conn c(s.shared, "fuzz-raw");
    c.on_input(reinterpret_cast<const char*>(data), size);
    drain(c);
  }
  // Nothing may appear beside the root.
  for (const auto& e : std::filesystem::directory_iterator(s.dir))
    if (e.path().filename() != "root") std::abort();
  return 0;
}
