// qlyn-file-server as a process on 127.0.0.1, against the library's
// WebSocket file-transfer clients and an independent python3-websockets
// client: transfers both ways, resume after interruption, containers,
// authentication, the root it never leaves, many connections, clean stop.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/net/ux_http_cli_pool.h"
#include "common/net/ux_ws_file_cli.h"
#include "common/ux_common.h"
#include "common/ux_vpath_container.h"
#include "support/child_process.h"
#include "support/eventually.h"
#include "support/http_client_harness.h"
#include "support/scoped_env.h"
#include "support/server_tool.h"
#include "support/test_files.h"
#include "support/ws_file_events.h"
#include "support/ws_peer.h"

namespace {

namespace fs = std::filesystem;
using namespace ux;
using qlyn_test::eventually;
using qlyn_test::step_until;
using qlyn_test::random_bytes;
using qlyn_test::read_file;
using qlyn_test::write_file;
using qlyn_test::TChildProcess;
using qlyn_test::TServerTool;

class FileServerProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root);
    start_server("0");
  }
  void start_server(const std::string& port_arg) {
    server = std::make_unique<TServerTool>(
        std::vector<std::string>{QLYN_FILE_SERVER_EXE, "--root", root, "--port", port_arg, "--key", "k1"});
    ASSERT_TRUE(server->listening()) << server->start_output();
    port = server->port();
  }
  std::string url(const std::string& path) const { return "ws://127.0.0.1:" + port + path; }
  // Reads log lines until one contains needle; that line, or empty.
  std::string await_log(const std::string& needle, int timeout_ms = 10000) {
    for (int i = 0; i < 1000; ++i) {
      const std::string line = server->read_line(timeout_ms);
      if (line.empty()) return {};
      seen_log += line + "\n";
      if (line.find(needle) != std::string::npos) return line;
    }
    return {};
  }
  // Uploads file to path; the events land in ev.
  void upload(qlyn_test::TWsFileEvents& ev, const std::string& file, const std::string& path,
              const std::string& key = "k1") {
    TUX_ws_uploader_cli c;
    c.Reset();
    c.set_source(file, file_size(file));
    qlyn_test::start_ws_file_client(c, url(path), key, "{}", ev);
    EXPECT_TRUE(step_until(c, {}, 30000));
  }
  void download(qlyn_test::TWsFileEvents& ev, const std::string& path, const std::string& save,
                const std::string& key = "k1") {
    TUX_ws_downloader_cli c;
    c.Reset();
    c.set_save_name(save);
    qlyn_test::start_ws_file_client(c, url(path), key, "{}", ev);
    EXPECT_TRUE(step_until(c, {}, 30000));
  }

  qlyn_test::TTempDir dir{"qlyn_wsfsrv"};
  std::string root = dir / "root";
  std::unique_ptr<TServerTool> server;
  std::string port;
  std::string seen_log;
};

TEST_F(FileServerProcess, UploadThenDownloadBackByteIdenticalWithLogLines) {
  const std::string data = random_bytes(3 << 20, 1);
  write_file(dir / "a.bin", data);
  qlyn_test::TWsFileEvents up;
  upload(up, dir / "a.bin", "/in/a.bin");
  ASSERT_EQ(up.count(kWsEvUploadOk), 1) << up.last(kWsEvUploadError);
  EXPECT_EQ(read_file(root + "/in/a.bin"), data);
  EXPECT_FALSE(fs::exists(root + "/in/a.bin.wsf-part"));
  EXPECT_NE(await_log("upload_query /in/a.bin size 3145728 new"), "");
  EXPECT_NE(await_log("upload /in/a.bin done 3145728 bytes received"), "");

  qlyn_test::TWsFileEvents down;
  download(down, "/in/a.bin", dir / "back/a.bin");
  ASSERT_EQ(down.count(kWsEvDownloadOk), 1) << down.last(kWsEvDownloadError);
  EXPECT_EQ(read_file(dir / "back/a.bin"), data);
  EXPECT_NE(await_log("download /in/a.bin done 3145728 bytes sent"), "");

  // The same file again: the server holds it already.
  qlyn_test::TWsFileEvents again;
  upload(again, dir / "a.bin", "/in/a.bin");
  ASSERT_EQ(again.count(kWsEvUploadOk), 1);
  EXPECT_EQ(json_text_int(again.last(kWsEvUploadOk), "file_exists"), 1);
  EXPECT_NE(await_log("already complete"), "");
}

TEST_F(FileServerProcess, InterruptedUploadResumesFromWhatTheServerHolds) {
  const std::string data = random_bytes(8 << 20, 2);
  write_file(dir / "big.bin", data);
  {
    qlyn_test::TWsFileEvents ev;
    TUX_ws_uploader_cli c;
    c.Reset();
    c.set_source(dir / "big.bin", int64_t(data.size()));
    qlyn_test::start_ws_file_client(c, url("/big.bin"), "k1", "{}", ev);
    ASSERT_TRUE(step_until(c, [&] { return c.rt.upload_proc_pos >= (2 << 20) || !c.Active(); }));
    ASSERT_TRUE(c.Active());
  }  // the connection drops mid-transfer
  const std::string cut = await_log("upload /big.bin interrupted at ");
  ASSERT_NE(cut, "");
  const int64_t held = std::stoll(cut.substr(cut.rfind(' ') + 1));
  EXPECT_GT(held, 0);
  EXPECT_FALSE(fs::exists(root + "/big.bin"));

  qlyn_test::TWsFileEvents ev;
  upload(ev, dir / "big.bin", "/big.bin");
  ASSERT_EQ(ev.count(kWsEvUploadOk), 1) << ev.last(kWsEvUploadError);
  EXPECT_NE(await_log("upload_query /big.bin size 8388608 resume at " + std::to_string(held)), "") << seen_log;
  const std::string done = await_log("upload /big.bin done ");
  EXPECT_NE(done.find("done " + std::to_string(int64_t(data.size()) - held) + " bytes received"), std::string::npos)
      << done;
  EXPECT_EQ(read_file(root + "/big.bin"), data);
}

TEST_F(FileServerProcess, DownloadInterruptedByKillingTheServerResumesByteIdentical) {
  const std::string data = random_bytes(24 << 20, 3);
  write_file(root + "/d/big.bin", data);
  TFakeClock clock;
  qlyn_test::TWsFileEvents ev;
  TUX_ws_downloader_cli c;
  c.Reset();
  const std::string save = dir / "got.bin";
  c.set_save_name(save);
  qlyn_test::start_ws_file_client(c, url("/d/big.bin"), "k1", "{}", ev);
  ASSERT_TRUE(step_until(c, [&] { return c.rt.got_file_size >= (3 << 20) || !c.Active(); }));
  ASSERT_TRUE(c.Active());
  ::kill(server->pid(), SIGKILL);
  server->stop();
  start_server(port);
  // The transport notices the loss and the engine re-opens after its delay.
  ASSERT_TRUE(step_until(c, [&] { return c.State() == kHttpStateDelay || !c.Active(); }, 20000));
  clock.advance(c.delay_run.at_delay_run - now_ms());
  ASSERT_TRUE(step_until(c, {}, 30000));
  ASSERT_EQ(ev.count(kWsEvDownloadOk), 1) << ev.last(kWsEvDownloadError);
  EXPECT_EQ(read_file(save), data);
  const std::string query = await_log("download_query /d/big.bin size 25165824 from ");
  EXPECT_GT(std::stoll(query.substr(query.rfind(' ') + 1)), 0) << "resumed, not restarted: " << query;
}

TEST_F(FileServerProcess, NamesLeavingTheRootAreRefused) {
  write_file(dir / "secret.txt", "secret");
  fs::create_directories(dir / "outside");
  fs::create_directory_symlink(dir / "outside", root + "/link");
  write_file(dir / "evil.bin", "evil bytes");
  TFakeClock clock;  // an upload refusal would be retried every 3 s
  {
    qlyn_test::TWsFileEvents ev;
    TUX_ws_uploader_cli c;
    c.Reset();
    c.set_source(dir / "evil.bin", 10);
    qlyn_test::start_ws_file_client(c, url("/link/evil.bin"), "k1", "{}", ev);
    ASSERT_TRUE(step_until(c, [&] { return ev.count(kWsEvUploadError) > 0 || !c.Active(); }));
    EXPECT_NE(json_text_field(ev.last(kWsEvUploadError), "reason").find("symbolic link"), std::string::npos);
  }
  EXPECT_TRUE(fs::is_empty(dir / "outside"));
  EXPECT_NE(await_log("upload_query /link/evil.bin refused"), "");
  for (const std::string path : {"/../secret.txt", "/%2e%2e/secret.txt", "/link/../../secret.txt"}) {
    qlyn_test::TWsFileEvents ev;
  download(ev, path, dir / "stolen.txt");
    EXPECT_EQ(ev.count(kWsEvDownloadOk), 0) << path;
    EXPECT_EQ(ev.count(kWsEvDownloadError), 1) << path;
    EXPECT_NE(read_file(dir / "stolen.txt"), "secret") << path;
  }
}

TEST_F(FileServerProcess, AuthenticationRefusedUploaderClosesDownloaderTriesThreeTimes) {
  write_file(dir / "x.bin", "xyz");
  qlyn_test::TWsFileEvents up;
  upload(up, dir / "x.bin", "/x.bin", "wrong");
  ASSERT_EQ(up.count(kWsEvUploadError), 1);
  EXPECT_EQ(json_text_field(up.last(kWsEvUploadError), "reason"), "authentication refused");
  EXPECT_FALSE(fs::exists(root + "/x.bin"));
  EXPECT_NE(await_log("authentication refused"), "");

  write_file(root + "/y.bin", "data");
  TFakeClock clock;
  qlyn_test::TWsFileEvents ev;
  TUX_ws_downloader_cli c;
  c.Reset();
  c.set_save_name(dir / "y.bin");
  qlyn_test::start_ws_file_client(c, url("/y.bin"), "wrong", "{}", ev);
  for (int i = 0; i < 3 && c.Active(); ++i) {
    step_until(c, [&] { return !c.Active(); }, 1500);
    clock.advance(TUX_ws_downloader_cli::kAuthRetryMs);
  }
  ASSERT_TRUE(step_until(c));
  EXPECT_EQ(ev.count(kWsEvDownloadError), 1);
  EXPECT_EQ(json_text_field(ev.last(kWsEvDownloadError), "reason"), "authentication refused");
  EXPECT_NE(await_log("authentication refused"), "");
  EXPECT_NE(await_log("authentication refused"), "");
  EXPECT_FALSE(fs::exists(dir / "y.bin"));
}

TEST_F(FileServerProcess, FolderUploadedAsAContainerComesBackIdentical) {
  const std::map<std::string, std::string> files = {
      {"a.txt", "0123456789"},
      {"目录/文件一.bin", random_bytes(70000, 4)},
      {"目录/子目录/深 层,#%+:.txt", "comma, hash, percent"},
      {"big/large.bin", random_bytes(300000, 5)},
  };
  for (const auto& [rel, bytes] : files) write_file(dir / ("src/" + rel), bytes);
  const std::string idx = dir / "tree.idx";
  {
    std::unique_ptr<TUX_VPath_in_File> c = TUX_VPath_in_File::openWrite(idx);
    ASSERT_EQ(c->addPath(dir / "src", true, 0), 4);
  }
  const int64_t size = json_text_int(TUX_VPath_in_File::ReadPathInfo(idx), "size");
  ASSERT_GT(size, 0);
  qlyn_test::TWsFileEvents ev;
  {
    TUX_ws_uploader_cli_vpath c;
    c.Reset();
    c.is_vpath_file = true;
    c.set_source(idx, 0);
    qlyn_test::start_ws_file_client(c, url("/box/"), "k1", build_json_text({"is_vpath", 1, "vpath_file_size", size, "filename", "tree.vpf"}),
                 ev);
    ASSERT_TRUE(step_until(c, {}, 30000));
  }
  ASSERT_EQ(ev.count(kWsEvUploadOk), 1) << ev.last(kWsEvUploadError);
  EXPECT_EQ(json_text_int(ev.last(kWsEvUploadOk), "is_vpath"), 1);
  EXPECT_FALSE(fs::exists(idx)) << "the index goes once the upload completed";
  EXPECT_EQ(int64_t(fs::file_size(root + "/box/tree.vpf")), size);

  qlyn_test::TWsFileEvents down;
  download(down, "/box/tree.vpf", dir / "tree.vpf");
  ASSERT_EQ(down.count(kWsEvDownloadOk), 1);
  std::unique_ptr<TUX_VPath_in_File> r = TUX_VPath_in_File::openReadFrom_1File(dir / "tree.vpf");
  ASSERT_TRUE(r);
  const TUX_vpath_extract_result x = r->ExtractToPath(dir / "out");
  EXPECT_EQ(x.extracted, 4);
  for (const auto& [rel, bytes] : files) EXPECT_EQ(read_file(dir / ("out/" + rel)), bytes) << rel;
}

TEST_F(FileServerProcess, ManyConnectionsAtOnce) {
  constexpr int kUploads = 6, kDownloads = 3;
  std::vector<std::string> data;
  std::vector<std::unique_ptr<TUX_http_client_v3>> clients;
  std::vector<qlyn_test::TWsFileEvents> events(kUploads + kDownloads);
  for (int i = 0; i < kUploads; ++i) {
    data.push_back(random_bytes(size_t(500000 + i * 70000), uint32_t(10 + i)));
    write_file(dir / ("u" + std::to_string(i)), data.back());
    auto c = std::make_unique<TUX_ws_uploader_cli>();
    c->Reset();
    c->set_source(dir / ("u" + std::to_string(i)), int64_t(data.back().size()));
    qlyn_test::start_ws_file_client(*c, url("/many/u" + std::to_string(i)), "k1", "{}", events[size_t(i)]);
    clients.push_back(std::move(c));
  }
  for (int i = 0; i < kDownloads; ++i) {
    data.push_back(random_bytes(size_t(900000 + i * 1000), uint32_t(20 + i)));
    write_file(root + "/many/d" + std::to_string(i), data.back());
    auto c = std::make_unique<TUX_ws_downloader_cli>();
    c->Reset();
    c->set_save_name(dir / ("d" + std::to_string(i)));
    qlyn_test::start_ws_file_client(*c, url("/many/d" + std::to_string(i)), "k1", "{}", events[size_t(kUploads + i)]);
    clients.push_back(std::move(c));
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (bool any = true; any && std::chrono::steady_clock::now() < deadline;) {
    any = false;
    for (auto& c : clients) {
      if (!c->Active()) continue;
      any = true;
      c->execute();
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  for (int i = 0; i < kUploads; ++i) {
    EXPECT_EQ(events[size_t(i)].count(kWsEvUploadOk), 1) << i;
    EXPECT_EQ(read_file(root + "/many/u" + std::to_string(i)), data[size_t(i)]) << i;
  }
  for (int i = 0; i < kDownloads; ++i) {
    EXPECT_EQ(events[size_t(kUploads + i)].count(kWsEvDownloadOk), 1) << i;
    EXPECT_EQ(read_file(dir / ("d" + std::to_string(i))), data[size_t(kUploads + i)]) << i;
  }
}

TEST_F(FileServerProcess, PoolQueuesUploadsAndDownloads) {
  const std::string data = random_bytes(1500000, 30);
  write_file(dir / "p.bin", data);
  {
    TUX_HTTP_Cli_pool_v3 pool;
    qlyn_test::TWsFileEvents up, down, none;
    const std::string params = build_json_text({"url", url("/pool/p.bin"), "headers", "key: k1", "filename",
                                                dir / "p.bin", "tag", " job-1 ", "task_type", "backup"});
    ASSERT_NE(pool.add_ws_put_file(params, up.fn()), nullptr);
    ASSERT_TRUE(eventually([&] { return up.ended(); }, 30000));
    const std::vector<int32_t> uc = up.codes();
    ASSERT_FALSE(uc.empty());
    EXPECT_EQ(uc.front(), kWsEvUploadQuery);
    EXPECT_EQ(uc.back(), kWsEvUploadOk);
    EXPECT_EQ(json_text_field(up.last(kWsEvUploadOk), "tag"), "job-1");
    EXPECT_EQ(read_file(root + "/pool/p.bin"), data);
    const std::string query = await_log("upload_query /pool/p.bin size 1500000");
    EXPECT_NE(query, "");

    // A save name ending in "/" takes the URL's (decoded) file name.
    ASSERT_NE(pool.add_ws_get_file(url("/pool/p%2Ebin"), "key: k1", dir.dir() + "got/",
                                   R"({"task_type":"restore"})", down.fn()),
              nullptr);
    ASSERT_TRUE(eventually([&] { return down.ended(); }, 30000));
    const std::vector<int32_t> dc = down.codes();
    EXPECT_EQ(dc.front(), kWsEvDownloadQuery);
    EXPECT_EQ(dc.back(), kWsEvDownloadOk);
    const std::string ok = down.last(kWsEvDownloadOk);
    EXPECT_EQ(json_text_field(ok, "phy_file"), dir / "got/p.bin");
    EXPECT_EQ(json_text_field(ok, "task_type"), "restore");
    EXPECT_EQ(json_text_field(ok, "tag").rfind("ws", 0), 0u);
    EXPECT_EQ(json_text_field(ok, "tag").size(), 22u);
    EXPECT_EQ(read_file(dir / "got/p.bin"), data);

    write_file(dir / "empty.bin", "");
    EXPECT_EQ(pool.add_ws_put_file(url("/e"), "key: k1", dir / "empty.bin", "{}", none.fn()), nullptr);
    EXPECT_EQ(pool.add_ws_put_file(url("/e"), "key: k1", dir / "missing.bin", "{}", none.fn()), nullptr);
    EXPECT_EQ(pool.add_ws_put_file(url("/e"), "key: k1", dir / "x.idx", R"({"is_vpath":1})", none.fn()), nullptr);
    EXPECT_TRUE(none.codes().empty());
    ASSERT_TRUE(eventually([&] { return pool.active_count() == 0 && pool.stepping_count() == 0; }, 30000));
    EXPECT_EQ(pool.idle_count(), 0) << "file clients are not kept for reuse";
  }
}

TEST_F(FileServerProcess, MultiFileModeKeepsPartsAndResumesFromTheirTotal) {
  const std::string data = random_bytes(250000, 40);
  write_file(root + "/m.bin", data);
  write_file(dir / "m.bin", data.substr(0, 100000));  // part 0 held from an earlier run
  qlyn_test::TWsFileEvents ev;
  TUX_ws_downloader_cli c;
  c.Reset();
  c.set_save_name(dir / "m.bin");
  c.set_save_multi_file_mode(true, 100000);
  qlyn_test::start_ws_file_client(c, url("/m.bin"), "k1", "{}", ev);
  ASSERT_TRUE(step_until(c));
  ASSERT_EQ(ev.count(kWsEvDownloadOk), 1) << ev.last(kWsEvDownloadError);
  EXPECT_EQ(read_file(dir / "m.bin"), data.substr(0, 100000));
  EXPECT_EQ(read_file(dir / "m.bin.1"), data.substr(100000, 100000));
  EXPECT_EQ(read_file(dir / "m.bin.2"), data.substr(200000));
  EXPECT_NE(await_log("download_query /m.bin size 250000 from 100000"), "");
}

TEST_F(FileServerProcess, TaskAbortStopsTheServersSending) {
  write_file(root + "/long.bin", random_bytes(16 << 20, 41));
  qlyn_test::TWsFileEvents ev;
  TUX_ws_downloader_cli c;
  c.Reset();
  c.set_save_name(dir / "long.bin");
  qlyn_test::start_ws_file_client(c, url("/long.bin"), "k1", "{}", ev);
  ASSERT_TRUE(step_until(c, [&] { return c.rt.got_file_size > 0 || !c.Active(); }));
  ASSERT_GT(c.send_ws_msg_4_task_abort(), 0);
  std::string line;
  for (int i = 0; i < 2000 && line.find("download /long.bin aborted") == std::string::npos; ++i) {
    c.execute();  // the message leaves with the next step
    line = server->read_line(5);
  }
  ASSERT_NE(line.find("download /long.bin aborted"), std::string::npos) << line;
  EXPECT_LT(std::stoll(line.substr(line.find("aborted ") + 8)), 16 << 20);
}

TEST_F(FileServerProcess, StopsCleanlyOnSigterm) {
  ::kill(server->pid(), SIGTERM);
  EXPECT_EQ(server->wait(5000), 0);
  EXPECT_NE(server->output().find("stopped"), std::string::npos) << server->output();
}

TEST_F(FileServerProcess, IndependentClientAndHostileInput) {
  if (!qlyn_test::TWsPeer::available()) GTEST_SKIP() << "python3-websockets is not installed";
  write_file(root + "/p/file.bin", std::string(100000, 'p'));
  const std::string script = R"PY(
import asyncio, json, struct, sys
import websockets

def pkt(session, cmd, pos, payload, magic=0x0988FB05, length=None):
    n = len(payload) if length is None else length
    return struct.pack("<IIBBHq", magic, session, cmd, 0, n, pos) + payload

async def main(port):
    async with websockets.connect("ws://127.0.0.1:%s/p/up.bin" % port, max_size=None, compression=None) as ws:
        await ws.send("not json at all")
        await ws.send(json.dumps({"cmd": "upload_query", "file_sum_size": 10}))
        print("early:", json.loads(await ws.recv())["cmd"])
        await ws.send(json.dumps({"cmd": "ws_auth", "key": "k1"}))
        print("auth:", json.loads(await ws.recv())["ret"])
        await ws.send(json.dumps({"cmd": "what_is_this"}))
        await ws.send(json.dumps({"cmd": "upload_query", "file_sum_size": 10, "file_md5": ""}))
        r = json.loads(await ws.recv())
        s = r["session_id"]
        print("query:", r["cmd"], r["exists"], r["pos"])
        await ws.send(pkt(s, 12, 0, b"X" * 5, magic=0x1234))
        await ws.send(pkt(0, 12, 0, b"X" * 5))
        await ws.send(pkt(s + 1, 12, 0, b"X" * 5))
        await ws.send(pkt(s, 12, 8, b"X" * 5))
        await ws.send(pkt(s, 12, -4, b"X" * 5))
        await ws.send(pkt(s, 12, 0, b"X" * 5, length=900))
        await ws.send(pkt(s, 12, 0, b"0123456789"))
        await ws.send(pkt(s, 13, 0, b"{}"))
        print("end:", json.loads(await ws.recv())["cmd"])
    async with websockets.connect("ws://127.0.0.1:%s/p/file.bin" % port, max_size=None, compression=None) as ws:
        await ws.send(json.dumps({"cmd": "ws_auth", "key": "k1"}))
        await ws.recv()
        await ws.send(json.dumps({"cmd": "download_query", "file_pos": 40000}))
        r = json.loads(await ws.recv())
        print("dquery:", r["exists"], r["pos"], r["sum"])
        await ws.send(json.dumps({"cmd": "download_start", "session_id": r["session_id"]}))
        got, first = 0, None
        while got < 60000:
            m = await ws.recv()
            if isinstance(m, str):
                continue
            magic, sess, cmd, z, n, pos = struct.unpack_from("<IIBBHq", m)
            assert magic == 0x0988FB05 and cmd == 22 and sess == r["session_id"] and n == len(m) - 20
            assert pos == 40000 + got and set(m[20:]) == {ord("p")}
            first = pos if first is None else first
            got += n
        await ws.send(json.dumps({"cmd": "download_finished", "session_id": r["session_id"]}))
        while True:
            m = await ws.recv()
            if isinstance(m, str) and json.loads(m)["cmd"] == "download_finished":
                break
        print("download:", first, got)

asyncio.run(main(sys.argv[1]))
)PY";
  write_file(dir / "client.py", script);
  TChildProcess py({qlyn_test::TWsPeer::kPython, dir / "client.py", port});
  EXPECT_EQ(py.wait(20000), 0) << py.output();
  const std::string out = py.output();
  EXPECT_NE(out.find("early: upload_fail"), std::string::npos) << out;
  EXPECT_NE(out.find("auth: 1"), std::string::npos) << out;
  EXPECT_NE(out.find("query: upload_query_ret 0 0"), std::string::npos) << out;
  EXPECT_NE(out.find("end: upload_finished"), std::string::npos) << out;
  EXPECT_NE(out.find("dquery: 1 40000 100000"), std::string::npos) << out;
  EXPECT_NE(out.find("download: 40000 60000"), std::string::npos) << out;
  EXPECT_EQ(read_file(root + "/p/up.bin"), "0123456789");
  EXPECT_NE(await_log("ignored message: unknown cmd"), "");
  EXPECT_NE(await_log("ignored packet"), "");
  EXPECT_TRUE(server->alive());
}

}  // namespace
