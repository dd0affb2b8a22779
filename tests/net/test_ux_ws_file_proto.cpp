#include "common/net/ux_ws_file_proto.h"

#include <gtest/gtest.h>

#include <random>

#include "common/ux_common.h"

using namespace ux;

namespace {

std::string packet(uint32_t session, uint8_t cmd, int64_t pos, std::string_view payload) {
  std::string out;
  EXPECT_TRUE(ws_file_packet_encode(out, session, cmd, pos, payload));
  return out;
}

}  // namespace

// ---------------------------------------------------------------- packets

TEST(WsFilePacket, EncodesTheTwentyByteHeaderLittleEndian) {
  const std::string p = packet(0x01020304, kWsPackUploadData, 131072, "abc");
  const std::string expected("\x05\xFB\x88\x09"   // magic
                             "\x04\x03\x02\x01"   // session
                             "\x0C\x00"           // command 12, 0
                             "\x03\x00"           // length
                             "\x00\x00\x02\x00\x00\x00\x00\x00"  // position 131072
                             "abc",
                             23);
  EXPECT_EQ(p, expected);
  TWS_File_Packet d;
  ASSERT_EQ(ws_file_packet_decode(p, d), TWsPacketStatus::ok);
  EXPECT_EQ(d.session_id, 0x01020304u);
  EXPECT_EQ(d.cmd, kWsPackUploadData);
  EXPECT_EQ(d.file_pos, 131072);
  EXPECT_EQ(d.payload, "abc");

  const std::string big(kWsFileMaxPayload, 'x');
  ASSERT_EQ(ws_file_packet_decode(packet(7, kWsPackDownloadData, int64_t(1) << 40, big), d), TWsPacketStatus::ok);
  EXPECT_EQ(d.payload.size(), kWsFileMaxPayload);
  EXPECT_EQ(d.file_pos, int64_t(1) << 40);
  std::string out = "keep";
  EXPECT_FALSE(ws_file_packet_encode(out, 0, kWsPackUploadData, 0, "x")) << "session 0";
  EXPECT_FALSE(ws_file_packet_encode(out, 1, kWsPackUploadData, 0, big + "y"));
  EXPECT_EQ(out, "keep");
}

TEST(WsFilePacket, HostileFramesAreRefusedWithAReason) {
  TWS_File_Packet d;
  const std::string good = packet(9, kWsPackDownloadData, 100, "payload");
  EXPECT_EQ(ws_file_packet_decode(good.substr(0, 19), d), TWsPacketStatus::too_short);
  EXPECT_EQ(ws_file_packet_decode("", d), TWsPacketStatus::too_short);
  std::string bad = good;
  bad[0] = 0x06;
  EXPECT_EQ(ws_file_packet_decode(bad, d), TWsPacketStatus::bad_magic);
  bad = good;
  bad.replace(4, 4, std::string(4, '\0'));
  EXPECT_EQ(ws_file_packet_decode(bad, d), TWsPacketStatus::zero_session);
  bad = good;
  bad[10] = 8;  // claims one byte more than the frame holds
  EXPECT_EQ(ws_file_packet_decode(bad, d), TWsPacketStatus::bad_length);
  bad[10] = static_cast<char>(0xFF);
  bad[11] = static_cast<char>(0xFF);
  EXPECT_EQ(ws_file_packet_decode(bad, d), TWsPacketStatus::bad_length);
  EXPECT_EQ(ws_file_packet_decode(good + "x", d), TWsPacketStatus::bad_length) << "trailing bytes";
  bad = good;
  bad[19] = static_cast<char>(0x80);
  EXPECT_EQ(ws_file_packet_decode(bad, d), TWsPacketStatus::bad_position);
  EXPECT_STREQ(ws_packet_status_text(TWsPacketStatus::bad_magic), "packet with a wrong magic");

  // Random frames and cuts of good ones: every accepted payload lies inside its frame.
  std::mt19937 rng(5);
  for (int i = 0; i < 20000; ++i) {
    std::string f;
    if (i % 2) {
      f = good.substr(0, rng() % (good.size() + 1));
    } else {
      f.resize(rng() % 64);
      for (auto& c : f) c = static_cast<char>(rng());
      if (f.size() >= 8 && rng() % 2) f.replace(0, 4, good.substr(0, 4));
    }
    TWS_File_Packet p;
    if (ws_file_packet_decode(f, p) == TWsPacketStatus::ok) {
      ASSERT_GE(p.payload.data(), f.data() + kWsFilePacketHeaderSize);
      ASSERT_EQ(p.payload.data() + p.payload.size(), f.data() + f.size());
      ASSERT_NE(p.session_id, 0u);
    }
  }
}

TEST(WsFilePacket, RangeCheckKeepsWritesInsideTheFile) {
  EXPECT_TRUE(ws_file_range_ok(0, 10, 10));
  EXPECT_TRUE(ws_file_range_ok(9, 1, 10));
  EXPECT_TRUE(ws_file_range_ok(10, 0, 10));
  EXPECT_FALSE(ws_file_range_ok(10, 1, 10));
  EXPECT_FALSE(ws_file_range_ok(5, 6, 10));
  EXPECT_FALSE(ws_file_range_ok(-1, 1, 10));
  EXPECT_FALSE(ws_file_range_ok(11, 0, 10));
  EXPECT_FALSE(ws_file_range_ok(INT64_MAX, INT64_MAX, INT64_MAX));
  EXPECT_FALSE(ws_file_range_ok(0, 1, 0));
  EXPECT_FALSE(ws_file_range_ok(0, -1, 10));
}

// ---------------------------------------------------------------- messages

TEST(WsFileMessages, CommandNamesAreMatchedWithoutCaseAndHostileTextsAreUnknown) {
  EXPECT_EQ(ws_file_cmd_of("{\"cmd\":\"WS_Auth_Ret\",\"ret\":1}"), TWsFileCmd::ws_auth_ret);
  EXPECT_EQ(ws_file_cmd_of(" {\"ret\":1, \"cmd\" : \"download_popo\"} "), TWsFileCmd::download_popo);
  for (std::string_view bad : {"", "{}", "{\"cmd\":\"format_disk\"}", "{\"cmd\":\"ws_auth\"", "cmd:ws_auth",
                               "{\"cmd\":1}", "{\"cmd\":\"ws_auth_ret_x\"}", "[\"cmd\",\"ws_auth\"]"})
    EXPECT_EQ(ws_file_cmd_of(bad), TWsFileCmd::unknown) << bad;
  EXPECT_EQ(ws_file_cmd_name(TWsFileCmd::upload_query_ret), "upload_query_ret");
  EXPECT_EQ(ws_file_cmd_of(ws_msg_task_op("low_speed", 1)), TWsFileCmd::task_op);

  std::mt19937 rng(9);
  const std::string alphabet = "{}[]\":,\\ cmdws_autheru0123456789";
  for (int i = 0; i < 20000; ++i) {
    std::string s(rng() % 40, ' ');
    for (auto& c : s) c = alphabet[rng() % alphabet.size()];
    (void)ws_file_cmd_of(s);
    (void)json_text_int(s, "pos", -1);
  }
}

TEST(WsFileMessages, ClientMessagesCarryTheirFields) {
  const std::string q = ws_msg_upload_query("{\"tag\":\"t1\", \"pos\":77, \"is_vpath\":1}", 200000, 0, "abc");
  EXPECT_EQ(ws_file_cmd_of(q), TWsFileCmd::upload_query);
  EXPECT_EQ(json_text_field(q, "tag"), "t1");
  EXPECT_EQ(json_text_int(q, "file_sum_size"), 200000);
  EXPECT_EQ(json_text_int(q, "pos"), 0) << "replaced";
  EXPECT_EQ(json_text_field(q, "file_md5"), "abc");
  EXPECT_EQ(json_text_int(q, "is_vpath"), 1);
  const std::string g = ws_msg_upload_query("not json", 5, 0, "");
  EXPECT_EQ(g.front(), '{');
  EXPECT_EQ(json_text_int(g, "file_sum_size"), 5);

  const std::string a = ws_msg_auth("k\"ey\\");
  EXPECT_EQ(ws_file_cmd_of(a), TWsFileCmd::ws_auth);
  EXPECT_EQ(json_text_field(a, "key"), "k\"ey\\");

  const std::string d = ws_msg_download_query(4096, "{\"efs_cmd\":\"/dir/a b.bin\",\"task_id\":12}", true);
  EXPECT_EQ(json_text_int(d, "file_pos"), 4096);
  EXPECT_EQ(json_text_field(d, "efs_cmd"), "/dir/a b.bin");
  EXPECT_EQ(json_text_field(d, "task_id"), "12");
  EXPECT_NE(d.find("\"task_id\":\"12\""), std::string::npos) << "copied as text";
  EXPECT_EQ(json_text_int(d, "is_vpath"), 1);
  EXPECT_EQ(json_text_field(ws_msg_download_query(0, "{}", false), "is_vpath"), "");

  const std::string p = ws_msg_download_proc(3, 100, 200, 55, "{\"task_type\":\"sync\"}");
  EXPECT_EQ(json_text_int(p, "session_id"), 3);
  EXPECT_EQ(json_text_int(p, "speed"), 55);
  EXPECT_EQ(json_text_field(p, "task_type"), "sync");
  EXPECT_EQ(json_text_field(ws_msg_download_proc(3, 1, 2, 3, "{}"), "task_type"), "");
  const std::string f = ws_msg_download_finished(3, 999);
  EXPECT_EQ(json_text_int(f, "pos"), 999);
  EXPECT_EQ(json_text_int(f, "sum"), 999);
  const std::string t = ws_msg_task_abort(4);
  EXPECT_EQ(json_text_field(t, "op"), "abort");
  EXPECT_EQ(json_text_int(t, "session_id"), 4);
  EXPECT_EQ(json_text_field(ws_msg_upload_ok(10, "2024-01-02 03:04:05"), "file_date"), "2024-01-02 03:04:05");
  EXPECT_EQ(json_text_int(ws_msg_upload_start(10, 4), "pos"), 4);
  EXPECT_EQ(json_text_int(ws_msg_download_start(1, 2, 3), "sum"), 3);
  EXPECT_EQ(ws_file_cmd_of(ws_msg_download_popo_ret()), TWsFileCmd::download_popo_ret);
}

TEST(WsFileMessages, ServerAnswersCarryWhatTheClientsRead) {
  const std::string q = ws_msg_upload_query_ret(true, 131072, 0xFFFFFFFFu);
  EXPECT_EQ(json_text_int(q, "exists"), 1);
  EXPECT_EQ(json_text_int(q, "pos"), 131072);
  EXPECT_EQ(json_text_int(q, "session_id"), 4294967295);
  const std::string d = ws_msg_download_query_ret(true, false, 5, 10, 20);
  EXPECT_EQ(json_text_int(d, "ready"), 0);
  EXPECT_EQ(json_text_int(d, "sum"), 20);
  EXPECT_EQ(json_text_int(ws_msg_upload_finished(true), "file_exists"), 1);
  EXPECT_EQ(json_text_int(ws_msg_auth_ret(-1), "ret"), -1);
  EXPECT_EQ(ws_file_cmd_of(ws_msg_download_finished_ret(1, 2)), TWsFileCmd::download_finished);
  EXPECT_EQ(json_text_field(ws_msg_upload_fail("no \"room\""), "reason"), "no \"room\"");
  EXPECT_EQ(ws_file_cmd_of(ws_msg_download_fail("x")), TWsFileCmd::download_fail);
  EXPECT_EQ(ws_file_cmd_of(ws_msg_download_popo()), TWsFileCmd::download_popo);
}

// ---------------------------------------------------------------- events

TEST(WsFileEvents, PercentRoundsUpAndStopsAt99) {
  EXPECT_EQ(ws_percent(0, 100), 0);
  EXPECT_EQ(ws_percent(1, 1000), 1);
  EXPECT_EQ(ws_percent(131072, 200000), 66);
  EXPECT_EQ(ws_percent(199999, 200000), 99);
  EXPECT_EQ(ws_percent(200000, 200000), 99);
  EXPECT_EQ(ws_percent(5, 0), 0);
  EXPECT_EQ(ws_percent(INT64_MAX / 2, INT64_MAX), 50);
}

TEST(WsFileEvents, FieldsFollowTheBaseTextInTheirOrder) {
  TWsEventValues v;
  v.tag = "up1";
  v.pos = 0;
  v.sum = 200000;
  v.filename = "a \"b\".bin";
  EXPECT_EQ(ws_event_text(kWsEvUploadQuery, "", v),
            "{\"tag\":\"up1\", \"ev\":\"upload_query\", \"percent\":0, \"pos\":0, \"sum\":200000, "
            "\"filename\":\"a \\\"b\\\".bin\"}");
  v.is_vpath = true;
  v.pos = 131072;
  v.speed = 42;
  EXPECT_EQ(ws_event_text(kWsEvUploadProc, "", v),
            "{\"is_vpath\":1, \"tag\":\"up1\", \"ev\":\"upload_proc\", \"pos\":131072, \"sum\":200000, "
            "\"speed\":42, \"percent\":66, \"filename\":\"a \\\"b\\\".bin\"}");
  const std::string ok = ws_event_text(kWsEvUploadOk, "{\"file_exists\":1}", v);
  EXPECT_EQ(ok.rfind("{\"file_exists\":1, \"is_vpath\":1,", 0), 0u) << ok;
  EXPECT_EQ(json_text_int(ok, "pos"), 200000);
  EXPECT_EQ(json_text_int(ok, "percent"), 100);

  TWsEventValues d;
  d.downloader = true;
  d.tag = "dl";
  d.raw_params = "{\"task_type\":\"backup\"}";
  d.pos = 5;
  d.sum = 10;
  d.filename = "f";
  d.phy_file = "/tmp/f";
  const std::string done = ws_event_text(kWsEvDownloadOk, "", d);
  EXPECT_EQ(done.rfind("{\"tag\":\"dl\", \"task_type\":\"backup\", \"ev\":\"download_ok\", \"pos\":10,", 0), 0u)
      << done;
  EXPECT_EQ(json_text_field(done, "phy_file"), "/tmp/f");
  const std::string err = ws_event_text(kWsEvDownloadError, "{\"error\":\"file not exists\"}", d);
  EXPECT_EQ(json_text_field(err, "error"), "file not exists");
  EXPECT_EQ(json_text_int(err, "speed", -1), 0);
  EXPECT_EQ(json_text_int(err, "percent"), 50);
  EXPECT_EQ(ws_event_text(kWsEvDownloadAbort, "task_abort", d),
            "{\"tag\":\"dl\", \"task_type\":\"backup\", \"ev\":\"download_abort\"}")
      << "a base that is no JSON object is dropped";
  EXPECT_EQ(ws_event_name(999), "");
}
