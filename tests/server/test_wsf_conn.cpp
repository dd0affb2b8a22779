// One file-server connection driven in-process: the bytes a client would
// send go in, the bytes the server would send are pulled out.
#include "server/wsf_conn.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/net/ux_ws_file_proto.h"
#include "common/net/ux_ws_frame.h"
#include "common/ux_common.h"
#include "support/scoped_env.h"
#include "support/test_files.h"

namespace {

namespace fs = std::filesystem;
using namespace qlyn_wsf;
using qlyn_test::write_file;

std::string client_frame(uint8_t op, const std::string& payload) {
  std::string f;
  ux::ws_encode_frame(f, op, true, payload.data(), payload.size(), true, 0x12345678);
  return f;
}

struct Server {
  qlyn_test::TTempDir dir{"qlyn_wsfconn"};
  std::string root = dir / "root";
  TWsf_Store store;
  TWsf_Shared shared;
  std::vector<std::string> log;
  Server() {
    fs::create_directories(root);
    std::string err;
    EXPECT_TRUE(store.open(root, err)) << err;
    shared.store = &store;
    shared.keys = {"k"};
    shared.log = [this](const std::string& line) { log.push_back(line); };
  }
};

// A connection after the upgrade of path; collects the server's messages.
struct Conn {
  TWsf_Conn c;
  ux::TUX_WS_Frame_Decoder dec;
  std::vector<ux::TUX_WS_Frame_Decoder::TMessage> got;
  Conn(Server& s, const std::string& path) : c(s.shared, "127.0.0.1:1") {
    const std::string head = "GET " + path +
                             " HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                             "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    c.on_input(head.data(), head.size());
    std::string out = pull_raw(1 << 20);
    EXPECT_EQ(out.rfind("HTTP/1.1 101", 0), 0u) << out;
    EXPECT_NE(out.find("s3pPLMBiTxaQ9kYGzzhZRbK+xOo="), std::string::npos);
  }
  void send(uint8_t op, const std::string& payload) {
    const std::string f = client_frame(op, payload);
    c.on_input(f.data(), f.size());
  }
  std::string pull_raw(size_t room) {
    std::string buf(room, '\0');
    buf.resize(c.pull_output(buf.data(), room));
    return buf;
  }
  // Pulls in pieces of room bytes until nothing comes; decodes the messages.
  void drain(size_t room = 262144) {
    for (int i = 0; i < 100000; ++i) {
      const std::string b = pull_raw(room);
      EXPECT_LE(c.buffered(), room + ux::kWsFileMaxPayload + 64) << "output stays bounded";
      if (b.empty()) return;
      size_t at = 0;
      while (at < b.size()) {
        size_t used = 0;
        const auto r = dec.feed(b.data() + at, b.size() - at, used);
        at += used;
        if (r == ux::TUX_WS_Frame_Decoder::Result::kMessage) got.push_back(dec.message());
        if (r != ux::TUX_WS_Frame_Decoder::Result::kMessage) break;
      }
    }
  }
  std::string last_text() {
    for (auto it = got.rbegin(); it != got.rend(); ++it)
      if (it->opcode == ux::kWsOpText) return it->payload;
    return {};
  }
};

TEST(WsfConn, DownloadStreamsAsTheTransportPullsWithBoundedOutput) {
  Server s;
  std::string data(5 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 7 + 3);
  write_file(s.root + "/f.bin", data);
  Conn c(s, "/f.bin");
  c.send(ux::kWsOpText, ux::ws_msg_auth("k"));
  c.send(ux::kWsOpText, ux::ws_msg_download_query(1000, "{}", false));
  c.drain();
  const std::string ret = c.last_text();
  ASSERT_EQ(ux::ws_file_cmd_of(ret), ux::TWsFileCmd::download_query_ret) << ret;
  EXPECT_EQ(ux::json_text_int(ret, "pos"), 1000);
  const auto sid = uint32_t(ux::json_text_int(ret, "session_id"));
  c.send(ux::kWsOpText, ux::ws_msg_download_start(sid, 1000, int64_t(data.size())));
  c.drain(262144);
  std::string got;
  for (const auto& m : c.got) {
    if (m.opcode != ux::kWsOpBinary) continue;
    ux::TWS_File_Packet p;
    ASSERT_EQ(ux::ws_file_packet_decode(m.payload, p), ux::TWsPacketStatus::ok);
    EXPECT_EQ(p.cmd, ux::kWsPackDownloadData);
    EXPECT_EQ(p.session_id, sid);
    EXPECT_EQ(p.file_pos, int64_t(1000 + got.size()));
    got.append(p.payload);
  }
  EXPECT_EQ(got, data.substr(1000));
  c.send(ux::kWsOpText, ux::ws_msg_download_finished(sid, int64_t(data.size())));
  c.drain();
  EXPECT_EQ(ux::ws_file_cmd_of(c.last_text()), ux::TWsFileCmd::download_finished);
}

TEST(WsfConn, RefusalsAndHostileInputLeaveTheConnectionWorking) {
  Server s;
  write_file(s.root + "/f.bin", "0123456789");
  {
    TWsf_Conn c(s.shared, "p");
    const std::string head = "GET /../f.bin HTTP/1.1\r\nUpgrade: websocket\r\nSec-WebSocket-Key: a\r\n\r\n";
    c.on_input(head.data(), head.size());
    std::string b(4096, '\0');
    b.resize(c.pull_output(b.data(), b.size()));
    EXPECT_EQ(b.rfind("HTTP/1.1 400", 0), 0u) << b;
    EXPECT_TRUE(c.done());
  }
  {
    TWsf_Conn c(s.shared, "p");
    const std::string head = "GET /f.bin HTTP/1.1\r\nHost: x\r\n\r\n";
    c.on_input(head.data(), head.size());
    std::string b(4096, '\0');
    b.resize(c.pull_output(b.data(), b.size()));
    EXPECT_EQ(b.rfind("HTTP/1.1 426", 0), 0u) << b;
  }
  Conn c(s, "/up/x.bin");
  c.send(ux::kWsOpText, ux::ws_msg_upload_query("{}", 10, 0, ""));  // before authentication
  c.drain();
  EXPECT_EQ(ux::ws_file_cmd_of(c.last_text()), ux::TWsFileCmd::upload_fail);
  c.send(ux::kWsOpText, ux::ws_msg_auth("wrong"));
  c.drain();
  EXPECT_EQ(ux::json_text_int(c.last_text(), "ret", -1), 0);
  c.send(ux::kWsOpText, ux::ws_msg_auth("k"));
  c.send(ux::kWsOpText, "{\"cmd\":");
  c.send(ux::kWsOpText, "{\"cmd\":\"format_disk\"}");
  c.send(ux::kWsOpBinary, "short");
  c.send(ux::kWsOpText, ux::ws_msg_upload_query("{}", 10, 0, ""));
  c.drain();
  const std::string q = c.last_text();
  ASSERT_EQ(ux::ws_file_cmd_of(q), ux::TWsFileCmd::upload_query_ret) << q;
  const auto sid = uint32_t(ux::json_text_int(q, "session_id"));
  std::string pkt;
  ASSERT_TRUE(ux::ws_file_packet_encode(pkt, sid, ux::kWsPackUploadData, 6, "XXXXX"));  // past the end
  c.send(ux::kWsOpBinary, pkt);
  pkt.clear();
  ASSERT_TRUE(ux::ws_file_packet_encode(pkt, sid + 1, ux::kWsPackUploadData, 0, "YYYYYYYYYY"));
  c.send(ux::kWsOpBinary, pkt);
  pkt.clear();
  ASSERT_TRUE(ux::ws_file_packet_encode(pkt, sid, ux::kWsPackUploadEnd, 0, "{}"));
  c.send(ux::kWsOpBinary, pkt);  // too early: bytes are missing
  c.drain();
  EXPECT_EQ(ux::ws_file_cmd_of(c.last_text()), ux::TWsFileCmd::upload_fail);
  pkt.clear();
  ASSERT_TRUE(ux::ws_file_packet_encode(pkt, sid, ux::kWsPackUploadData, 0, "abcdefghij"));
  c.send(ux::kWsOpBinary, pkt);
  pkt.clear();
  ASSERT_TRUE(ux::ws_file_packet_encode(pkt, sid, ux::kWsPackUploadEnd, 0, "{}"));
  c.send(ux::kWsOpBinary, pkt);
  c.drain();
  EXPECT_EQ(ux::ws_file_cmd_of(c.last_text()), ux::TWsFileCmd::upload_finished);
  std::ifstream in(s.root + "/up/x.bin", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "abcdefghij");
  bool saw_unknown = false, saw_ignored = false;
  for (const std::string& l : s.log) {
    saw_unknown |= l.find("ignored message: unknown cmd") != std::string::npos;
    saw_ignored |= l.find("ignored packet") != std::string::npos || l.find("ignored upload packet") != std::string::npos;
  }
  EXPECT_TRUE(saw_unknown);
  EXPECT_TRUE(saw_ignored);
  EXPECT_FALSE(c.c.done());
}

TEST(WsfConn, ANewerQueryTakesTheUploadOverAndThreeWrongKeysClose) {
  Server s;
  Conn a(s, "/same.bin"), b(s, "/same.bin");
  for (Conn* c : {&a, &b}) c->send(ux::kWsOpText, ux::ws_msg_auth("k"));
  a.send(ux::kWsOpText, ux::ws_msg_upload_query("{}", 100, 0, "fp"));
  a.drain();
  ASSERT_EQ(ux::ws_file_cmd_of(a.last_text()), ux::TWsFileCmd::upload_query_ret);
  b.send(ux::kWsOpText, ux::ws_msg_upload_query("{}", 100, 0, "fp"));
  b.drain();
  EXPECT_EQ(ux::ws_file_cmd_of(b.last_text()), ux::TWsFileCmd::upload_query_ret) << b.last_text();

  Conn c(s, "/x");
  for (int i = 0; i < TWsf_Conn::kMaxAuthFailures; ++i) c.send(ux::kWsOpText, ux::ws_msg_auth("no"));
  c.drain();
  EXPECT_TRUE(c.c.done());
  EXPECT_EQ(c.got.back().opcode, ux::kWsOpClose);
}

}  // namespace
