// The file downloader against real servers: our resource server over
// udp-http and http, nginx, and scripted peers for answers no sound server
// gives (wrong ranges, bodies cut short, chunked downloads). Timeouts run on
// the fake clock.
#include "common/net/ux_http_cli_downloader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "support/archive_maker.h"
#include "support/http_client_harness.h"
#include "support/nginx_server.h"
#include "support/resource_server_suite.h"
#include "support/scoped_env.h"
#include "support/scripted_tcp_server.h"

namespace {

using namespace ux;
using qlyn_test::answer;
using qlyn_test::step_until;
using qlyn_test::TScriptConn;
using qlyn_test::TScriptedTcpServer;
using Request = TUX_HTTP_Cli_Request;

constexpr const char* kPackage = "/down/win64/rk50cli_dsk.win64.newest.7z";

struct TEvents {
  std::vector<std::pair<int32_t, std::string>> list;

  TUX_HTTP_Cli_conn_event sink() {
    return [this](TUX_HTTP_Cli_Request*, int32_t ev, const std::string& data) { list.emplace_back(ev, data); };
  }
  int count(int32_t ev) const {
    int n = 0;
    for (const auto& [e, d] : list) n += e == ev ? 1 : 0;
    return n;
  }
  std::vector<int32_t> codes() const {
    std::vector<int32_t> v;
    for (const auto& [e, d] : list) v.push_back(e);
    return v;
  }
  const std::string& first(int32_t ev) const {
    static const std::string none;
    for (const auto& [e, d] : list)
      if (e == ev) return d;
    return none;
  }
  const std::pair<int32_t, std::string>& last() const { return list.back(); }
};

// A downloader set up as the pool sets it up.
struct TDownload {
  TUX_http_cli_downloader d;
  TEvents events;

  TDownload(const std::string& url, const std::string& save, const std::string& tag = "main-file",
            const std::string& mode = "TCP") {
    auto r = Request::CreateFromUrlGet(url, "");
    r->set_tag(tag);
    d.Reset();
    d.set_is_continue_downlad_mode(true);
    d.func_on_ev_proc_out = events.sink();
    d.set_local_save_fname(save);
    d.set_default_socket_mode(mode);
    d.Http_cmd(std::move(r));
    d.SetActive(true);
  }
  bool run(int max_ms = 30000) { return step_until(d, {}, max_ms); }
};

class DownloaderResourceServer : public qlyn_test::TResourceServerSuite<DownloaderResourceServer> {
 protected:
  static void SetUpTestSuite() {
    start(QLYN_RESOURCE_SERVER_EXE, "down_res");
    package = qlyn_test::sample_bytes(5 << 20, 41);
    publish(kPackage, package);
  }

  static std::string url(const std::string& scheme, const std::string& path = kPackage) {
    return TResourceServerSuite::url(scheme, path);
  }

  static inline std::string package;
};

TEST_F(DownloaderResourceServer, FreshDownloadOverEachTransportIsByteExactWithTheEventTexts) {
  for (const std::string scheme : {"udp-http", "http"}) {
    SCOPED_TRACE(scheme);
    qlyn_test::TTempDir out("down_out");
    const std::string save = out / "pkg.7z";
    TDownload t(url(scheme), save);
    ASSERT_TRUE(t.run());
    EXPECT_EQ(qlyn_test::read_file(save), package);
    const std::string n = std::to_string(package.size());
    EXPECT_EQ(t.events.first(kDownEvConnected), "{\"cmd\":\"connected\", \"tag\":\"main-file\"}");
    EXPECT_EQ(t.events.first(kDownEvStart), "{\"cmd\":\"download_start\", \"tag\":\"main-file\", \"pos\":0, \"sum\":" +
                                                n + ", \"percent\":\"0\", \"sum_full\":" + n + "}");
    EXPECT_TRUE(std::regex_match(t.events.first(kDownEvProgress),
                                 std::regex(R"(\{"cmd":"download_proc", "tag":"main-file", "pos":\d+, "sum":)" + n +
                                            R"(, "percet":\d+, "speed":\d+\})")))
        << t.events.first(kDownEvProgress);
    EXPECT_TRUE(std::regex_match(t.events.last().second,
                                 std::regex(R"(\{"cmd":"download_ok", "tag":"main-file", "pos":)" + n + ", \"sum\":" + n +
                                            R"(, "percent":100, "speed":\d+, "sum_full":)" + n + "\\}")))
        << t.events.last().second;
    EXPECT_EQ(t.events.last().first, kDownEvDone);
    EXPECT_EQ(t.events.list.front().first, kDownEvConnected);
    EXPECT_EQ(t.events.count(kDownEvDone), 1);
    EXPECT_EQ(t.events.count(kDownEvFail), 0);
    // Progress positions only grow and stay within the file.
    int64_t last = -1;
    for (const auto& [ev, data] : t.events.list) {
      if (ev != kDownEvProgress) continue;
      const int64_t pos = json_text_int(data, "pos");
      EXPECT_GE(pos, last);
      EXPECT_LE(pos, int64_t(package.size()));
      last = pos;
    }
    EXPECT_FALSE(t.d.Active());
  }
}

TEST_F(DownloaderResourceServer, ResumesAPartialFileWithARangeRequest) {
  for (const std::string scheme : {"udp-http", "http"}) {
    SCOPED_TRACE(scheme);
    qlyn_test::TTempDir out("down_out");
    const std::string save = out / "pkg.7z";
    const int64_t k = 1234567;
    qlyn_test::write_file(save, package.substr(0, size_t(k)));
    TDownload t(url(scheme), save);
    ASSERT_TRUE(t.run());
    const int64_t n = int64_t(package.size());
    const std::string& start = t.events.first(kDownEvStart);
    EXPECT_EQ(json_text_int(start, "pos"), k);
    EXPECT_EQ(json_text_int(start, "sum"), n - k);
    EXPECT_EQ(json_text_int(start, "sum_full"), n);
    EXPECT_EQ(t.events.last().first, kDownEvDone);
    EXPECT_EQ(json_text_int(t.events.last().second, "pos"), n - k);
    EXPECT_EQ(qlyn_test::read_file(save), package);
  }
}

TEST_F(DownloaderResourceServer, APartialFileOfAnOlderVersionIsReplacedNotContinued) {
  qlyn_test::TTempDir out("down_out");
  const std::string save = out / "v.bin";
  const std::string v1 = qlyn_test::sample_bytes(3 << 20, 51);
  publish("/v.bin", v1);
  {
    TDownload t(url("udp-http", "/v.bin"), save);
    ASSERT_TRUE(t.run());
    ASSERT_EQ(qlyn_test::read_file(save), v1);
  }
  EXPECT_FALSE(qlyn_test::read_file(save + TUX_http_cli_downloader::kValidatorSuffix).empty());
  // Interrupted at 1 MB; meanwhile the server publishes a new, longer version.
  std::filesystem::resize_file(save, 1 << 20);
  const std::string v2 = qlyn_test::sample_bytes(4 << 20, 52);
  publish("/v.bin", v2);
  std::filesystem::last_write_time(served_file("/v.bin"),
                                   std::filesystem::file_time_type::clock::now() + std::chrono::hours(1));
  TDownload t(url("udp-http", "/v.bin"), save);
  ASSERT_TRUE(t.run());
  EXPECT_EQ(json_text_int(t.events.first(kDownEvStart), "pos"), 0);
  EXPECT_EQ(t.events.last().first, kDownEvDone);
  EXPECT_TRUE(qlyn_test::read_file(save) == v2);
  // The same version resumes with a range.
  std::filesystem::resize_file(save, 1 << 20);
  TDownload again(url("http", "/v.bin"), save);
  ASSERT_TRUE(again.run());
  EXPECT_EQ(json_text_int(again.events.first(kDownEvStart), "pos"), 1 << 20);
  EXPECT_TRUE(qlyn_test::read_file(save) == v2);

  // Deleting the download takes its validator along.
  EXPECT_TRUE(delete_downloaded_file(save));
  EXPECT_TRUE(std::filesystem::is_empty(out.path()));
  EXPECT_TRUE(delete_downloaded_file(save));
  EXPECT_FALSE(delete_downloaded_file(""));
  std::filesystem::create_directories(save);
  EXPECT_FALSE(delete_downloaded_file(save));
}

TEST_F(DownloaderResourceServer, AFileThatIsAlreadyCompleteEndsInTheCompletionEvent) {
  qlyn_test::TTempDir out("down_out");
  const std::string save = out / "pkg.7z";
  qlyn_test::write_file(save, package);
  TDownload t(url("udp-http"), save);
  ASSERT_TRUE(t.run());
  EXPECT_EQ(t.events.codes(), (std::vector<int32_t>{kDownEvConnected, kDownEvDone}));
  EXPECT_EQ(json_text_int(t.events.last().second, "sum_full"), int64_t(package.size()));
  EXPECT_EQ(qlyn_test::read_file(save), package);
}

TEST_F(DownloaderResourceServer, ALongerWrongFileIsNotMistakenForAComplete) {
  // A local file longer than the resource: the server refuses the range with
  // its real size, which is not the file's: a failure, the file untouched.
  qlyn_test::TTempDir out("down_out");
  const std::string save = out / "pkg.7z";
  const std::string longer = package + "tail";
  qlyn_test::write_file(save, longer);
  TDownload t(url("http"), save);
  ASSERT_TRUE(t.run());
  EXPECT_EQ(t.events.count(kDownEvDone), 0);
  ASSERT_EQ(t.events.last().first, kDownEvFail);
  EXPECT_EQ(json_text_field(t.events.last().second, "reason"), "http_error");
  EXPECT_EQ(json_text_int(t.events.last().second, "resp_code"), 416);
}

TEST_F(DownloaderResourceServer, MissingResourceAndMissingFolderFailWithTheirReasons) {
  qlyn_test::TTempDir out("down_out");
  {
    TDownload t(url("udp-http", "/down/none.7z"), out / "none.7z");
    ASSERT_TRUE(t.run());
    EXPECT_EQ(t.events.last(), std::make_pair(kDownEvFail, std::string("{\"cmd\":\"download_fail\", \"tag\":\"main-file\", "
                                                                        "\"reason\":\"http_error\", \"resp_code\":404}")));
    EXPECT_FALSE(qlyn_test::exists(out / "none.7z"));
  }
  {
    TDownload t(url("http"), out / "no/such/folder/pkg.7z");
    ASSERT_TRUE(t.run());
    EXPECT_EQ(t.events.count(kDownEvDone), 0);
    EXPECT_EQ(t.events.last(), std::make_pair(kDownEvFail, std::string("{\"cmd\":\"download_fail\", \"tag\":\"main-file\", "
                                                                        "\"reason\":\"file_error\", \"final\":1}")));
    EXPECT_FALSE(t.d.Active());
  }
}

TEST_F(DownloaderResourceServer, BufferedBodyStaysBoundedWhileTheClockStands) {
  // With the clock standing no progress event is due after the first one, so
  // only the size rule flushes: the buffer never holds much more than
  // kFlushAboveBytes.
  const std::string big = qlyn_test::sample_bytes(40 << 20, 7);
  publish("/big.bin", big);
  qlyn_test::TTempDir out("down_out");
  TFakeClock clock;
  TDownload t(url("http", "/big.bin"), out / "big.bin");
  int64_t peak = 0;
  ASSERT_TRUE(step_until(t.d, [&] {
    if (t.d.response()) peak = std::max<int64_t>(peak, t.d.response()->body().DataLength());
    return !t.d.Active();
  }, 60000));
  EXPECT_LE(peak, TUX_http_cli_downloader::kFlushAboveBytes +
                      TUX_http_client_v3::kReadChunk * TUX_http_client_v3::kReadChunksPerStep);
  EXPECT_EQ(t.events.count(kDownEvProgress), 1);
  EXPECT_EQ(t.events.last().first, kDownEvDone);
  EXPECT_TRUE(qlyn_test::read_file(out / "big.bin") == big);
}

// ---------------------------------------------------------------- nginx

TEST(DownloaderNginx, DownloadsAndResumesFromNginx) {
  if (!qlyn_test::TNginxServer::available()) GTEST_SKIP() << "nginx is not installed";
  qlyn_test::TNginxServer nginx("location / { root $ROOT; }");
  ASSERT_TRUE(nginx.ok()) << nginx.error_log();
  const std::string body = qlyn_test::sample_bytes(3 << 20, 9);
  qlyn_test::write_file(nginx.root() + "/f.bin", body);
  qlyn_test::TTempDir out("down_ngx");
  const std::string save = out / "f.bin";
  qlyn_test::write_file(save, body.substr(0, 1000000));
  TDownload t(nginx.url("/f.bin"), save);
  ASSERT_TRUE(t.run());
  EXPECT_EQ(json_text_int(t.events.first(kDownEvStart), "pos"), 1000000);
  EXPECT_EQ(t.events.last().first, kDownEvDone);
  EXPECT_EQ(qlyn_test::read_file(save), body);

  // The whole file is there: nginx refuses the range with "bytes */N".
  TDownload again(nginx.url("/f.bin"), save);
  ASSERT_TRUE(again.run());
  EXPECT_EQ(again.events.last().first, kDownEvDone);
  EXPECT_EQ(qlyn_test::read_file(save), body);
}

// ---------------------------------------------------------------- scripted peers

TEST(DownloaderScripted, AFullAnswerToARangeRequestReplacesTheFile) {
  const std::string body = "new content";
  TScriptedTcpServer server(answer("HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\n" + body));
  qlyn_test::TTempDir out("down_scr");
  const std::string save = out / "f";
  qlyn_test::write_file(save, std::string(100, 'x'));
  TDownload t(server.url("http", "/f"), save);
  ASSERT_TRUE(t.run());
  EXPECT_EQ(t.events.last().first, kDownEvDone);
  EXPECT_EQ(qlyn_test::read_file(save), body);
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_NE(server.requests()[0].find("range: bytes=100-"), std::string::npos) << server.requests()[0];
}

TEST(DownloaderScripted, APartialAnswerThatLeavesAHoleIsRefused) {
  TScriptedTcpServer server(
      answer("HTTP/1.1 206 Partial Content\r\nContent-Length: 4\r\nContent-Range: bytes 50-53/54\r\n\r\n" "abcd"));
  qlyn_test::TTempDir out("down_scr");
  const std::string save = out / "f";
  qlyn_test::write_file(save, "0123456789");
  TDownload t(server.url("http", "/f"), save);
  ASSERT_TRUE(t.run());
  EXPECT_EQ(t.events.count(kDownEvStart), 0);
  EXPECT_EQ(t.events.last(), std::make_pair(kDownEvFail, std::string("{\"cmd\":\"download_fail\", \"tag\":\"main-file\", "
                                                                      "\"reason\":\"range_error\", \"final\":1}")));
  EXPECT_EQ(qlyn_test::read_file(save), "0123456789");
}

TEST(DownloaderScripted, ARangeWhoseLengthDisagreesIsRefused) {
  TScriptedTcpServer server(
      answer("HTTP/1.1 206 Partial Content\r\nContent-Length: 9\r\nContent-Range: bytes 10-13/14\r\n\r\n" "abcdefghi"));
  qlyn_test::TTempDir out("down_scr");
  const std::string save = out / "f";
  qlyn_test::write_file(save, "0123456789");
  TDownload t(server.url("http", "/f"), save);
  ASSERT_TRUE(t.run());
  EXPECT_EQ(t.events.count(kDownEvDone), 0);
  EXPECT_EQ(json_text_int(t.events.last().second, "final"), 1);
  EXPECT_EQ(qlyn_test::read_file(save), "0123456789");
}

TEST(DownloaderScripted, ABodyCutShortKeepsWhatArrivedForTheNextRun) {
  const std::string body = qlyn_test::sample_bytes(300000, 3);
  qlyn_test::TTempDir out("down_scr");
  const std::string save = out / "f";
  {
    TScriptedTcpServer server(answer("HTTP/1.1 200 OK\r\nContent-Length: 300000\r\n\r\n" + body.substr(0, 120000), true));
    TDownload t(server.url("http", "/f"), save);
    ASSERT_TRUE(t.run());
    EXPECT_EQ(t.events.count(kDownEvDone), 0);
    EXPECT_EQ(t.events.last(), std::make_pair(kDownEvFail, std::string("{\"cmd\":\"download_fail\", \"tag\":\"main-file\", "
                                                                        "\"reason\":\"conn_error\", \"final\":1}")));
    EXPECT_EQ(qlyn_test::read_file(save), body.substr(0, 120000));
  }
  TScriptedTcpServer server(answer(
      "HTTP/1.1 206 Partial Content\r\nContent-Length: 180000\r\nContent-Range: bytes 120000-299999/300000\r\n\r\n" +
      body.substr(120000)));
  TDownload t(server.url("http", "/f"), save);
  ASSERT_TRUE(t.run());
  EXPECT_EQ(t.events.last().first, kDownEvDone);
  EXPECT_EQ(qlyn_test::read_file(save), body);
  EXPECT_NE(server.requests()[0].find("range: bytes=120000-"), std::string::npos);
}

TEST(DownloaderScripted, AChunkedBodyIsWrittenDecodedWithZeroPercent) {
  TScriptedTcpServer server(answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                   "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n"));
  qlyn_test::TTempDir out("down_scr");
  TDownload t(server.url("http", "/c"), out / "c");
  ASSERT_TRUE(t.run());
  EXPECT_EQ(t.events.last().first, kDownEvDone);
  EXPECT_EQ(qlyn_test::read_file(out / "c"), "hello world");
  for (const auto& [ev, data] : t.events.list) {
    if (ev == kDownEvProgress) {
      EXPECT_EQ(json_text_int(data, "percet", -1), 0);
    }
  }
}

TEST(DownloaderScripted, ProgressEventsComeAtMostEvery800Ms) {
  TFakeClock clock;
  std::atomic<bool> last_piece{false};
  TScriptedTcpServer server([&](TScriptConn& c, int) {
    if (c.read_request().empty()) return;
    c.send("HTTP/1.1 200 OK\r\nContent-Length: 30\r\n\r\n");
    c.send("0123456789");
    c.hold(20);
    c.send("0123456789");
    for (int i = 0; i < 5000 && !last_piece.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    c.send("0123456789");
    c.wait_peer_closed(5000);
  });
  qlyn_test::TTempDir out("down_scr");
  TDownload t(server.url("http", "/p"), out / "p");
  // The header counts as data: the first progress event follows event 101.
  ASSERT_TRUE(step_until(t.d, [&] { return t.events.count(kDownEvProgress) == 1; }));
  ASSERT_TRUE(step_until(t.d, [&] { return t.d.response()->content_got_size() >= 20; }));
  for (int i = 0; i < 50; ++i) t.d.execute();
  EXPECT_EQ(t.events.count(kDownEvProgress), 1);
  clock.advance(800);
  t.d.execute();
  EXPECT_EQ(t.events.count(kDownEvProgress), 1);
  clock.advance(1);
  t.d.execute();
  EXPECT_EQ(t.events.count(kDownEvProgress), 2);
  last_piece = true;
  ASSERT_TRUE(t.run());
  EXPECT_EQ(t.events.last().first, kDownEvDone);
  EXPECT_EQ(qlyn_test::read_file(out / "p"), "012345678901234567890123456789");
}

TEST(DownloaderScripted, AnUnreachableServerFailsFiveTimesThenOnceFinally) {
  TFakeClock clock;
  TScriptedTcpServer never(nullptr, false);
  qlyn_test::TTempDir out("down_scr");
  TDownload t(never.url("http", "/x"), out / "x");
  for (int attempt = 1; attempt <= 5; ++attempt) {
    ASSERT_TRUE(step_until(t.d, [&] { return t.d.State() == kHttpStateConnecting; }));
    clock.advance(8001);
    t.d.execute();
    for (int i = 0; i < 100 && t.d.State() == kHttpStateDelay; ++i) {
      clock.advance(500);
      t.d.execute();
    }
  }
  ASSERT_TRUE(step_until(t.d, {}, 5000));
  EXPECT_EQ(t.events.count(kDownEvConnected), 0);
  ASSERT_EQ(t.events.count(kDownEvFail), 11);
  const std::string plain = "{\"cmd\":\"download_fail\", \"tag\":\"main-file\", \"reason\":\"conn_error\"}";
  for (size_t i = 0; i < 10; ++i) EXPECT_EQ(t.events.list[i].second, plain);
  EXPECT_EQ(t.events.list[10].second,
            "{\"cmd\":\"download_fail\", \"tag\":\"main-file\", \"reason\":\"conn_error\", \"final\":1}");
  EXPECT_FALSE(qlyn_test::exists(out / "x"));
}

}  // namespace
