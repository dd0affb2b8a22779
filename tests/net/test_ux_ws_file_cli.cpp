// The WebSocket file-transfer clients' message logic against a scripted
// python3-websockets peer on 127.0.0.1: resume positions, reconnection
// delays on the fake clock, low-speed pacing, hostile packets and texts.
#include "common/net/ux_ws_file_cli.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/ux_common.h"
#include "support/http_client_harness.h"
#include "support/scoped_env.h"
#include "support/test_files.h"
#include "support/ws_file_events.h"
#include "support/ws_file_peer.h"
#include "support/ws_peer.h"

namespace {

using namespace ux;
using qlyn_test::step_until;
using qlyn_test::read_file;
using qlyn_test::write_file;
using qlyn_test::TWsFilePeer;

// Data packets the peer logged, in order: (position, payload length).
std::vector<std::pair<int64_t, int64_t>> logged_packets(const TWsFilePeer& peer, int cmd) {
  std::vector<std::pair<int64_t, int64_t>> out;
  for (const std::string& line : peer.log_lines())
    if (json_text_int(line, "pkt", -1) == cmd) out.emplace_back(json_text_int(line, "pos"), json_text_int(line, "len"));
  return out;
}

std::vector<std::string> logged_texts(const TWsFilePeer& peer, std::string_view cmd) {
  std::vector<std::string> out;
  for (const std::string& line : peer.log_lines())
    if (line.find("\"cmd\": \"" + std::string(cmd) + "\"") != std::string::npos) out.push_back(line);
  return out;
}

class WsFileClients : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!qlyn_test::TWsPeer::available()) GTEST_SKIP() << "python3-websockets is not installed";
  }
  qlyn_test::TTempDir dir{"qlyn_wsfcli"};
};

// ---------------------------------------------------------------- uploader

TEST_F(WsFileClients, UploadResumesAtTheServersPositionAndReportsTheQueryStart) {
  TWsFilePeer peer(R"([{
    "ws_auth": [{"send": {"cmd": "ws_auth_ret", "ret": 1}}],
    "upload_query": [{"send": {"cmd": "upload_query_ret", "exists": 1, "pos": 131072, "session_id": 7}}],
    "pkt13": [{"send": {"cmd": "upload_finished", "file_exists": 0}}]}])");
  ASSERT_TRUE(peer.ok());
  const std::string file = dir / "up.bin";
  write_file(file, TWsFilePeer::pattern(0, 200000));
  qlyn_test::TWsFileEvents ev;
  TUX_ws_uploader_cli c;
  c.Reset();
  c.set_source(file, 200000);
  qlyn_test::start_ws_file_client(c, peer.url("/up.bin"), "k1", R"({"tag":"x","task_type":"u"})", ev);
  ASSERT_TRUE(step_until(c));
  EXPECT_EQ(c.State(), kHttpStateDone);
  ASSERT_EQ(ev.count(kWsEvUploadOk), 1) << c.end_reason();
  EXPECT_EQ(ev.count(kWsEvUploadError), 0);
  EXPECT_EQ(json_text_int(ev.last(kWsEvUploadStart), "pos"), 0) << "111 reports the query's start";
  EXPECT_EQ(json_text_int(ev.last(kWsEvUploadOk), "percent"), 100);
  EXPECT_EQ(json_text_field(ev.last(kWsEvUploadOk), "filename"), "up.bin");
  EXPECT_EQ(json_text_field(ev.last(kWsEvUploadOk), "tag"), "t1");

  const auto data = logged_packets(peer, kWsPackUploadData);
  ASSERT_FALSE(data.empty());
  EXPECT_EQ(data.front().first, 131072);
  int64_t next = 131072;
  for (const auto& [pos, len] : data) {
    EXPECT_EQ(pos, next);
    EXPECT_LE(len, int64_t(kWsFileUploadChunk));
    next = pos + len;
  }
  EXPECT_EQ(next, 200000);
  EXPECT_EQ(logged_packets(peer, kWsPackUploadStart).size(), 1u);
  EXPECT_EQ(logged_packets(peer, kWsPackUploadEnd).size(), 1u);
  const auto auth = logged_texts(peer, "ws_auth");
  ASSERT_EQ(auth.size(), 1u);
  EXPECT_NE(auth[0].find("\"key\": \"k1\""), std::string::npos);
  const auto query = logged_texts(peer, "upload_query");
  ASSERT_EQ(query.size(), 1u);
  EXPECT_NE(query[0].find("\"file_sum_size\": 200000"), std::string::npos);
  EXPECT_NE(query[0].find("\"task_type\": \"u\""), std::string::npos) << "the caller's parameters go along";
  EXPECT_NE(query[0].find(file_fingerprint(file)), std::string::npos);
}

TEST_F(WsFileClients, LowSpeedModeSendsOneSmallBurstPerHalfSecond) {
  TWsFilePeer peer(R"([{
    "ws_auth": [{"send": {"cmd": "ws_auth_ret", "ret": 1}}],
    "upload_query": [{"send": {"cmd": "upload_query_ret", "exists": 0, "pos": 0, "session_id": 5}},
                     {"send": {"cmd": "task_op", "op": "low_speed", "val": 1}}],
    "pkt13": [{"send": {"cmd": "upload_finished", "file_exists": 0}}]}])");
  ASSERT_TRUE(peer.ok());
  TFakeClock clock;
  const int64_t size = 2000000;
  const std::string file = dir / "slow.bin";
  write_file(file, TWsFilePeer::pattern(0, size));
  qlyn_test::TWsFileEvents ev;
  TUX_ws_uploader_cli c;
  c.Reset();
  c.set_source(file, size);
  qlyn_test::start_ws_file_client(c, peer.url("/slow.bin"), "k", "{}", ev);
  ASSERT_TRUE(step_until(c, [&] { return c.low_speed_mode || !c.Active(); }));
  ASSERT_TRUE(c.Active());
  // Frozen clock: no burst within 500 ms of the last one.
  for (int i = 0; i < 50; ++i) c.execute();
  const int64_t before = c.rt.upload_proc_pos;
  clock.advance(501);
  ASSERT_TRUE(step_until(c, [&] { return c.rt.upload_proc_pos > before || !c.Active(); }));
  const int64_t burst = c.rt.upload_proc_pos - before;
  EXPECT_GT(burst, 0);
  EXPECT_LE(burst, 2 * int64_t(kWsFileUploadChunk)) << "one burst stops at the 100124-byte backlog";
  for (int i = 0; i < 50; ++i) c.execute();
  EXPECT_EQ(c.rt.upload_proc_pos - before, burst) << "nothing more until the clock moves";
  // Back to normal speed: the rest goes out without the clock moving much.
  c.low_speed_mode = false;
  ASSERT_TRUE(step_until(c, [&] {
    clock.advance(1);
    return !c.Active();
  }));
  EXPECT_EQ(ev.count(kWsEvUploadOk), 1) << c.end_reason();
}

TEST_F(WsFileClients, UploadFailReconnectsAndAbortEndsWithAReport) {
  TWsFilePeer peer(R"([
    {"ws_auth": [{"send": {"cmd": "ws_auth_ret", "ret": 1}}],
     "upload_query": [{"send": {"cmd": "upload_fail", "reason": "disk full"}}]},
    {"ws_auth": [{"send": {"cmd": "ws_auth_ret", "ret": 1}}],
     "upload_query": [{"send": {"cmd": "nonsense"}}, {"send_raw": "00"}, {"send": {"cmd": "task_op", "op": "ABORT"}}]}])");
  ASSERT_TRUE(peer.ok());
  TFakeClock clock;
  const std::string file = dir / "f.bin";
  write_file(file, "0123456789");
  qlyn_test::TWsFileEvents ev;
  TUX_ws_uploader_cli c;
  c.Reset();
  c.set_source(file, 10);
  qlyn_test::start_ws_file_client(c, peer.url("/f.bin"), "k", "{}", ev);
  ASSERT_TRUE(step_until(c, [&] { return c.State() == kHttpStateDelay || !c.Active(); }));
  EXPECT_EQ(c.delay_run.at_delay_run - now_ms(), TUX_ws_uploader_cli::kRestartDelayMs);
  EXPECT_EQ(ev.count(kWsEvUploadError), 1);
  EXPECT_EQ(json_text_field(ev.last(kWsEvUploadError), "reason"), "disk full");
  clock.advance(TUX_ws_uploader_cli::kRestartDelayMs);
  ASSERT_TRUE(step_until(c));
  EXPECT_EQ(c.ws_state(), TUX_ws_uploader_cli::kAborted);
  EXPECT_EQ(ev.count(kWsEvUploadError), 2) << "the abort is reported once";
  EXPECT_EQ(json_text_field(ev.last(kWsEvUploadError), "reason"), "task_abort");
  EXPECT_EQ(logged_texts(peer, "ws_auth").size(), 2u);
}

TEST_F(WsFileClients, UploaderWithoutDataOrAnswerReportsOnce) {
  TWsFilePeer peer(R"([{"ws_auth": [{"send": {"cmd": "ws_auth_ret", "ret": 1}}]}])");
  ASSERT_TRUE(peer.ok());
  TFakeClock clock;
  qlyn_test::TWsFileEvents ev;
  {
    TUX_ws_uploader_cli c;  // a vpath task without its size
    c.Reset();
    c.is_vpath_file = true;
    c.set_source(dir / "missing.idx", 0);
    qlyn_test::start_ws_file_client(c, peer.url("/x"), "k", "{}", ev);
    ASSERT_TRUE(step_until(c));
    EXPECT_EQ(ev.count(kWsEvUploadError), 1);
    EXPECT_EQ(json_text_int(ev.last(kWsEvUploadError), "is_vpath"), 1);
  }
  // No answer to the query: restart after 10 s without progress.
  const std::string file = dir / "g.bin";
  write_file(file, "abc");
  TUX_ws_uploader_cli c;
  c.Reset();
  c.set_source(file, 3);
  qlyn_test::start_ws_file_client(c, peer.url("/g.bin"), "k", "{}", ev);
  ASSERT_TRUE(step_until(c, [&] { return c.ws_state() == TUX_ws_uploader_cli::kQuerySent || !c.Active(); }));
  clock.advance(TUX_ws_uploader_cli::kStallMs);
  for (int i = 0; i < 5; ++i) c.execute();
  EXPECT_EQ(c.ws_state(), TUX_ws_uploader_cli::kQuerySent) << "not before the limit";
  clock.advance(1);
  c.execute();
  EXPECT_EQ(c.State(), kHttpStateDelay);
}

// ---------------------------------------------------------------- downloader

TEST_F(WsFileClients, ThreeDownloadFailsReconnectAfterSixNineAndTwelveSeconds) {
  const std::string fail = R"({"ws_auth": [{"send": {"cmd": "ws_auth_ret", "ret": 1}}],
                              "download_query": [{"send": {"cmd": "download_fail"}}]})";
  TWsFilePeer peer("[" + fail + "," + fail + "," + fail + R"(,
    {"ws_auth": [{"send": {"cmd": "ws_auth_ret", "ret": 1}}],
     "download_query": [{"send": {"cmd": "download_query_ret", "exists": 1, "ready": 1, "session_id": 9,
                                  "pos": 0, "sum": 300000}}],
     "download_start": [{"send": {"cmd": "download_popo"}}, {"send_data": {"session": 9, "size": 300000}}],
     "download_finished": [{"send": {"cmd": "download_finished", "session_id": 9, "sum": 300000}}]}])");
  ASSERT_TRUE(peer.ok());
  TFakeClock clock;
  qlyn_test::TWsFileEvents ev;
  TUX_ws_downloader_cli c;
  c.Reset();
  const std::string save = dir / "sub/d.bin";
  c.set_save_name(save);
  qlyn_test::start_ws_file_client(c, peer.url("/d.bin"), "k", R"({"task_type":"dl","efs_cmd":"get","task_id":"42"})", ev);
  for (int64_t expect : {6000, 9000, 12000}) {
    ASSERT_TRUE(step_until(c, [&] { return c.State() == kHttpStateDelay || !c.Active(); }));
    EXPECT_EQ(c.delay_run.at_delay_run - now_ms(), expect);
    clock.advance(expect);
    ASSERT_TRUE(step_until(c, [&] { return c.State() != kHttpStateDelay; }));
  }
  ASSERT_TRUE(step_until(c));
  ASSERT_EQ(ev.count(kWsEvDownloadOk), 1) << c.end_reason();
  EXPECT_EQ(ev.count(kWsEvDownloadError), 0);
  EXPECT_EQ(read_file(save), TWsFilePeer::pattern(0, 300000));
  const std::string ok = ev.last(kWsEvDownloadOk);
  EXPECT_EQ(json_text_field(ok, "phy_file"), save);
  EXPECT_EQ(json_text_field(ok, "task_type"), "dl");
  EXPECT_EQ(json_text_int(ok, "sum"), 300000);
  const auto queries = logged_texts(peer, "download_query");
  ASSERT_EQ(queries.size(), 4u);
  EXPECT_NE(queries[0].find("\"task_id\": \"42\""), std::string::npos);
  EXPECT_NE(queries[0].find("\"efs_cmd\": \"get\""), std::string::npos);
  EXPECT_EQ(logged_texts(peer, "download_popo_ret").size(), 1u);
  EXPECT_EQ(logged_texts(peer, "download_finished").size(), 1u);
}

TEST_F(WsFileClients, HostilePacketsAreIgnoredAndNothingLandsOutsideTheFile) {
  // Header fields: magic, session, command, 0, length, position (little-endian).
  const std::string bad_magic = "06fb8809" "09000000" "16" "00" "0100" "0000000000000000" "41";
  const std::string session0 = "05fb8809" "00000000" "16" "00" "0100" "0000000000000000" "41";
  const std::string other = "05fb8809" "0a000000" "16" "00" "0100" "0000000000000000" "41";
  const std::string beyond = "05fb8809" "09000000" "16" "00" "0100" "e803000000000000" "41";
  const std::string negative = "05fb8809" "09000000" "16" "00" "0100" "ffffffffffffffff" "41";
  const std::string long_len = "05fb8809" "09000000" "16" "00" "ff00" "0000000000000000" "41";
  const std::string upload_cmd = "05fb8809" "09000000" "0c" "00" "0100" "0000000000000000" "41";
  TWsFilePeer peer(R"([{
    "ws_auth": [{"send": {"cmd": "ws_auth_ret", "ret": 1}}],
    "download_query": [{"send": {"cmd": "download_query_ret", "exists": 1, "ready": 1, "session_id": 9,
                                 "pos": 0, "sum": 1000}}],
    "download_start": [)" +
                   [&] {
                     std::string acts;
                     for (const std::string& h : {bad_magic, session0, other, beyond, negative, long_len, upload_cmd})
                       acts += R"({"send_raw": ")" + h + R"("},)";
                     return acts;
                   }() +
                   R"({"send": {"cmd": "no such"}}, {"send_data": {"session": 9, "size": 1000}}],
    "download_finished": [{"send": {"cmd": "download_finished", "session_id": 9}}]}])");
  ASSERT_TRUE(peer.ok());
  const std::string save = dir / "h.bin";
  qlyn_test::TWsFileEvents ev;
  TUX_ws_downloader_cli c;
  c.Reset();
  c.set_save_name(save);
  qlyn_test::start_ws_file_client(c, peer.url("/h.bin"), "k", "{}", ev);
  ASSERT_TRUE(step_until(c));
  ASSERT_EQ(ev.count(kWsEvDownloadOk), 1) << c.end_reason();
  EXPECT_EQ(read_file(save), TWsFilePeer::pattern(0, 1000));
}

TEST_F(WsFileClients, ResumeReportsTheLocalSizeAndCutsWhatTheServerDoesNotConfirm) {
  TWsFilePeer peer(R"([{
    "ws_auth": [{"send": {"cmd": "ws_auth_ret", "ret": 1}}],
    "download_query": [{"send": {"cmd": "download_query_ret", "exists": 1, "ready": 1, "session_id": 3,
                                 "pos": 100, "sum": 5000}}],
    "download_start": [{"send_data": {"session": 3, "size": 5000}}],
    "download_finished": [{"send": {"cmd": "download_finished", "session_id": 3}}]}])");
  ASSERT_TRUE(peer.ok());
  const std::string save = dir / "r.bin";
  write_file(save, TWsFilePeer::pattern(0, 100) + std::string(400, 'z'));  // 100 good bytes, 400 stale
  qlyn_test::TWsFileEvents ev;
  TUX_ws_downloader_cli c;
  c.Reset();
  c.set_save_name(save);
  qlyn_test::start_ws_file_client(c, peer.url("/r.bin"), "k", "{}", ev);
  ASSERT_TRUE(step_until(c));
  ASSERT_EQ(ev.count(kWsEvDownloadOk), 1) << c.end_reason();
  EXPECT_EQ(read_file(save), TWsFilePeer::pattern(0, 5000));
  const auto q = logged_texts(peer, "download_query");
  ASSERT_EQ(q.size(), 1u);
  EXPECT_NE(q[0].find("\"file_pos\": 500"), std::string::npos);
  EXPECT_EQ(json_text_int(ev.last(kWsEvDownloadStart), "pos"), 100);
}

TEST_F(WsFileClients, MissingFileAndServerAbortEndTheDownloadWithCleanJson) {
  TWsFilePeer peer(R"([
    {"ws_auth": [{"send": {"cmd": "ws_auth_ret", "ret": 1}}],
     "download_query": [{"send": {"cmd": "download_query_ret", "exists": 0, "ready": 0}}]},
    {"ws_auth": [{"send": {"cmd": "ws_auth_ret", "ret": 1}}],
     "download_query": [{"send": {"cmd": "download_query_ret", "exists": 1, "ready": 1, "session_id": 4,
                                  "pos": 0, "sum": 10}}],
     "download_start": [{"send": {"cmd": "task_op", "op": "cancel"}}]}])");
  ASSERT_TRUE(peer.ok());
  qlyn_test::TWsFileEvents ev;
  {
    TUX_ws_downloader_cli c;
    c.Reset();
    c.set_save_name(dir / "m.bin");
    qlyn_test::start_ws_file_client(c, peer.url("/m.bin"), "k", "{}", ev);
    ASSERT_TRUE(step_until(c));
    ASSERT_EQ(ev.count(kWsEvDownloadError), 1);
    const std::string e = ev.last(kWsEvDownloadError);
    EXPECT_EQ(e.front(), '{');
    EXPECT_EQ(json_text_field(e, "reason"), "file not exists");
    EXPECT_EQ(json_text_field(e, "ev"), "download_error");
    EXPECT_EQ(c.ws_state(), TUX_ws_downloader_cli::kFailed);
  }
  TUX_ws_downloader_cli c;
  c.Reset();
  c.set_save_name(dir / "a.bin");
  qlyn_test::start_ws_file_client(c, peer.url("/a.bin"), "k", "{}", ev);
  ASSERT_TRUE(step_until(c));
  EXPECT_EQ(c.ws_state(), TUX_ws_downloader_cli::kAborted);
  EXPECT_EQ(ev.count(kWsEvDownloadAbort), 1);
  EXPECT_EQ(ev.count(kWsEvDownloadError), 1) << "the abort is the final event";
}

TEST_F(WsFileClients, DownloadWithoutDataForTwentyFiveSecondsRestarts) {
  TWsFilePeer peer(R"([{
    "ws_auth": [{"send": {"cmd": "ws_auth_ret", "ret": 1}}],
    "download_query": [{"send": {"cmd": "download_query_ret", "exists": 1, "ready": 1, "session_id": 2,
                                 "pos": 0, "sum": 10}}]}])");
  ASSERT_TRUE(peer.ok());
  TFakeClock clock;
  qlyn_test::TWsFileEvents ev;
  TUX_ws_downloader_cli c;
  c.Reset();
  c.set_save_name(dir / "s.bin");
  qlyn_test::start_ws_file_client(c, peer.url("/s.bin"), "k", "{}", ev);
  ASSERT_TRUE(step_until(c, [&] { return c.ws_state() == TUX_ws_downloader_cli::kStarted || !c.Active(); }));
  ASSERT_EQ(ev.count(kWsEvDownloadStart), 1);
  clock.advance(TUX_ws_downloader_cli::kStallMs);
  for (int i = 0; i < 5; ++i) c.execute();
  EXPECT_EQ(c.ws_state(), TUX_ws_downloader_cli::kStarted) << "not before the limit";
  clock.advance(1);
  c.execute();
  ASSERT_EQ(c.State(), kHttpStateDelay);
  EXPECT_EQ(c.delay_run.at_delay_run - now_ms(), TUX_ws_downloader_cli::kStallRestartMs);
}

}  // namespace
