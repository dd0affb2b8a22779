// The client pool with its workers against real servers: nginx (GET, POST,
// tasks, blocking calls), our resource server (downloads over udp-http and
// http), a WebSocket peer (closing by tag), and ports that never answer
// (admission, timeouts on the fake clock). Every pool is destroyed inside its
// test, and no worker outlives it.
#include "common/net/ux_http_cli_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/archive_maker.h"
#include "support/eventually.h"
#include "support/nginx_server.h"
#include "support/resource_server_suite.h"
#include "support/scoped_env.h"
#include "support/scripted_tcp_server.h"
#include "support/test_files.h"
#include "support/ws_peer.h"

namespace {

using namespace ux;
using qlyn_test::eventually;
using qlyn_test::TScriptConn;
using qlyn_test::TScriptedTcpServer;

// Results of func_ret closures, from any worker.
struct TResults {
  std::mutex mu;
  std::vector<std::pair<int32_t, std::string>> list;

  TUX_HTTP_Cli_ret_proc sink() {
    return make_http_ret_proc([this](int32_t code, const std::string& text) {
      std::lock_guard<std::mutex> g(mu);
      list.emplace_back(code, text);
    });
  }
  size_t size() {
    std::lock_guard<std::mutex> g(mu);
    return list.size();
  }
  std::pair<int32_t, std::string> at(size_t i) {
    std::lock_guard<std::mutex> g(mu);
    return list.at(i);
  }
};

struct TDownEvents {
  std::mutex mu;
  std::vector<std::pair<int32_t, std::string>> list;
  std::atomic<int> count{0};

  TUX_HTTP_Cli_conn_event sink(std::function<void(int32_t)> also = {}) {
    return [this, also](TUX_HTTP_Cli_Request*, int32_t ev, const std::string& data) {
      {
        std::lock_guard<std::mutex> g(mu);
        list.emplace_back(ev, data);
      }
      count += 1;
      if (also) also(ev);
    };
  }
  bool has(int32_t ev) {
    std::lock_guard<std::mutex> g(mu);
    for (const auto& [e, d] : list)
      if (e == ev) return true;
    return false;
  }
  int32_t last() {
    std::lock_guard<std::mutex> g(mu);
    return list.empty() ? 0 : list.back().first;
  }
};

// ---------------------------------------------------------------- requests

TEST(Pool, GetsAndPostsConcurrentlyFromNginx) {
  if (!qlyn_test::TNginxServer::available()) GTEST_SKIP() << "nginx is not installed";
  qlyn_test::TNginxServer nginx(qlyn_test::kNginxFilesAndMethodEcho);
  ASSERT_TRUE(nginx.ok()) << nginx.error_log();
  qlyn_test::write_file(nginx.root() + "/files/a.txt", "alpha");
  const int64_t threads_before = TUX_New_Thread::live_count();
  {
    TUX_HTTP_Cli_pool_v3 pool;
    EXPECT_TRUE(pool.Active());
    EXPECT_EQ(pool.MaxThreadCount(), 4);
    EXPECT_EQ(pool.worker_count(), 4);
    TResults gets, posts;
    for (int i = 0; i < 30; ++i) pool.add_http_get(nginx.url("/files/a.txt"), gets.sink());
    pool.add_http_post(nginx.url("/method"), "k=v", posts.sink());
    pool.add_http_get(nginx.url("/files/none"), gets.sink());
    ASSERT_TRUE(eventually([&] { return gets.size() == 31 && posts.size() == 1; }));
    int ok = 0, missing = 0;
    for (size_t i = 0; i < 31; ++i) {
      const auto r = gets.at(i);
      if (r == std::make_pair(200, std::string("alpha"))) ok += 1;
      if (r.first == 404) missing += 1;
    }
    EXPECT_EQ(ok, 30);
    EXPECT_EQ(missing, 1);
    EXPECT_EQ(posts.at(0), std::make_pair(200, std::string("POST 3\nk=v")));
    // Finished plain engines are parked (at most 64), nothing stays queued.
    ASSERT_TRUE(eventually([&] { return pool.active_count() == 0; }));
    EXPECT_EQ(pool.waiting_count(), 0);
    EXPECT_EQ(pool.idle_count(), 32);
  }
  EXPECT_EQ(TUX_New_Thread::live_count(), threads_before);
}

TEST(Pool, TasksQueueGetsAndPostsAndDropOtherMethods) {
  if (!qlyn_test::TNginxServer::available()) GTEST_SKIP() << "nginx is not installed";
  qlyn_test::TNginxServer nginx(qlyn_test::kNginxFilesAndMethodEcho);
  ASSERT_TRUE(nginx.ok()) << nginx.error_log();
  TUX_HTTP_Cli_pool_v3 pool;
  TResults results;
  for (const char* method : {"GET", "put", "delete"}) {
    auto task = pool.Create_Http_task();
    task->method = method;
    task->url = nginx.url("/method");
    task->postData = "xyz";
    task->func_ret = results.sink();
    TUX_HTTP_TASK::ExecuteNow(std::move(task));
  }
  ASSERT_TRUE(eventually([&] { return results.size() == 2; }));
  std::vector<std::string> bodies{results.at(0).second, results.at(1).second};
  std::sort(bodies.begin(), bodies.end());
  EXPECT_EQ(bodies, (std::vector<std::string>{"GET \n", "POST 3\nxyz"}));
  // The "delete" task made no request.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(results.size(), 2u);
}

TEST(Pool, BlockingCallsReturnTheBodyOrNothingAtTheirTimeout) {
  if (!qlyn_test::TNginxServer::available()) GTEST_SKIP() << "nginx is not installed";
  qlyn_test::TNginxServer nginx(qlyn_test::kNginxFilesAndMethodEcho);
  ASSERT_TRUE(nginx.ok()) << nginx.error_log();
  qlyn_test::write_file(nginx.root() + "/files/b.txt", "bravo");
  TUX_HTTP_Cli_pool_v3 pool;
  EXPECT_EQ(pool.sync_http_get(nginx.url("/files/b.txt"), "", 5), "bravo");
  EXPECT_EQ(pool.sync_http_post(nginx.url("/method"), "12345", "", 0), "POST 5\n12345");
  // A completed answer gives its body whatever its status.
  EXPECT_NE(pool.sync_http_get(nginx.url("/files/none"), "", 5).find("404 Not Found"), std::string::npos);

  // A server that accepts and never answers: the call gives up at its limit
  // (timeout 0 means 30 s), measured on the fake clock.
  TScriptedTcpServer silent([](TScriptConn& c, int) { c.hold(20000); });
  for (const int32_t timeout : {4, 0}) {
    TFakeClock clock;
    const int64_t start = now_ms();
    std::atomic<bool> done{false};
    std::thread ticker([&] {
      for (int i = 0; i < 20000 && !done.load(); ++i) {
        clock.advance(50);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    const std::string body = pool.sync_http_get(silent.url("http", "/"), "", timeout);
    done = true;
    ticker.join();
    const int64_t limit = timeout > 0 ? timeout * 1000 : 30000;
    EXPECT_EQ(body, "");
    EXPECT_GE(now_ms() - start, limit);
    EXPECT_LT(now_ms() - start, limit + 2000);
  }
}

TEST(Pool, PostsAFileAndFailsAnUnreadableOneWithoutConnecting) {
  if (!qlyn_test::TNginxServer::available()) GTEST_SKIP() << "nginx is not installed";
  qlyn_test::TNginxServer nginx(qlyn_test::kNginxFilesAndMethodEcho);
  ASSERT_TRUE(nginx.ok()) << nginx.error_log();
  qlyn_test::TTempDir dir("pool_post");
  const std::string body = qlyn_test::sample_bytes(200000, 7);
  qlyn_test::write_file(dir.path() + "/upload.bin", body);
  TScriptedTcpServer never_asked([](TScriptConn& c, int) { c.read_request(2000); });
  TResults posted, missing;
  {
    TUX_HTTP_Cli_pool_v3 pool;
    const auto no_events = [](TUX_HTTP_Cli_Request*, int32_t, const std::string&) {};
    pool.add_http_post_file(nginx.url("/method"), "", dir.path() + "/upload.bin", no_events, posted.sink());
    pool.add_http_post_file(never_asked.url("http", "/up"), "", dir.path() + "/absent.bin", no_events,
                            missing.sink());
    ASSERT_TRUE(eventually([&] { return posted.size() == 1 && missing.size() == 1; }));
  }
  EXPECT_EQ(posted.at(0), std::make_pair(200, "POST 200000\n" + body));
  // An empty body would have been answered as if it were the file.
  EXPECT_EQ(missing.at(0), std::make_pair(int32_t(kHttpErrSend), std::string()));
  EXPECT_EQ(never_asked.accepted(), 0);
}

// ---------------------------------------------------------------- admission

// An engine whose connection never completes while the fake clock stands.
std::unique_ptr<TUX_http_client_v3> stuck_engine(const std::string& url) {
  auto e = std::make_unique<TUX_http_client_v3>();
  e->Http_cmd(TUX_HTTP_Cli_Request::CreateFromUrlGet(url, ""));
  e->SetActive(true);
  return e;
}

TEST(Pool, AdmissionWaitsAtTheLimitAndRunNowPassesIt) {
  if (!qlyn_test::TNginxServer::available()) GTEST_SKIP() << "nginx is not installed";
  qlyn_test::TNginxServer nginx(qlyn_test::kNginxFilesAndMethodEcho);
  ASSERT_TRUE(nginx.ok()) << nginx.error_log();
  qlyn_test::write_file(nginx.root() + "/files/c.txt", "charlie");
  TFakeClock clock;
  TScriptedTcpServer never(nullptr, false);
  TUX_HTTP_Cli_pool_v3 pool;
  std::vector<std::string> uuids;
  for (int i = 0; i < 10; ++i) {
    auto e = stuck_engine(never.url("http", "/"));
    uuids.push_back(e->uuid());
    pool.push_client(std::move(e), false);
  }
  EXPECT_EQ(pool.waiting_count(), 0);
  TResults waiting, now;
  pool.add_http_get(nginx.url("/files/c.txt"), waiting.sink());
  EXPECT_EQ(pool.waiting_count(), 1);
  pool.add_http_get(nginx.url("/files/c.txt"), now.sink(), "", true);
  ASSERT_TRUE(eventually([&] { return now.size() == 1; }));
  EXPECT_EQ(now.at(0), std::make_pair(200, std::string("charlie")));
  EXPECT_EQ(waiting.size(), 0u);
  EXPECT_EQ(pool.waiting_count(), 1);

  // get_conn_by_uuid finds active engines (not the one a worker holds at
  // that moment, hence the retries); one of them ends, and the waiting
  // request is admitted.
  TUX_http_client_v3* found = nullptr;
  ASSERT_TRUE(eventually([&] { return (found = pool.get_conn_by_uuid(uuids[3])) != nullptr; }));
  EXPECT_EQ(found->uuid(), uuids[3]);
  EXPECT_EQ(pool.get_conn_by_uuid("V3CLI-none"), nullptr);
  found->abort();
  ASSERT_TRUE(eventually([&] { return waiting.size() == 1; }));
  EXPECT_EQ(waiting.at(0), std::make_pair(200, std::string("charlie")));
  EXPECT_EQ(pool.waiting_count(), 0);
  // The aborted engine is gone: its uuid is no longer found.
  EXPECT_EQ(pool.get_conn_by_uuid(uuids[3]), nullptr);
}

TEST(Pool, NoMoreThanSixtyActiveEvenWithRunNow) {
  TFakeClock clock;
  TScriptedTcpServer never(nullptr, false);
  TUX_HTTP_Cli_pool_v3 pool;
  pool.SetMaxTaskExecCount(0);
  for (int i = 0; i < 61; ++i) pool.push_client(stuck_engine(never.url("http", "/")), true);
  EXPECT_EQ(pool.waiting_count(), 0);
  pool.push_client(stuck_engine(never.url("http", "/")), true);
  EXPECT_EQ(pool.waiting_count(), 1);
  // Nothing is lost: every engine is queued or being stepped.
  EXPECT_TRUE(eventually([&] { return pool.active_count() + pool.stepping_count() + pool.waiting_count() == 62; }));
  EXPECT_EQ(pool.waiting_count(), 1);
}

TEST(Pool, MaxThreadCountCreatesAndClosesWorkers) {
  const int64_t threads_before = TUX_New_Thread::live_count();
  {
    TUX_HTTP_Cli_pool_v3 pool;
    EXPECT_EQ(TUX_New_Thread::live_count(), threads_before + 4);
    pool.SetMaxThreadCount(2);
    EXPECT_EQ(pool.MaxThreadCount(), 2);
    EXPECT_EQ(pool.worker_count(), 2);
    EXPECT_EQ(TUX_New_Thread::live_count(), threads_before + 2);
    pool.SetMaxThreadCount(50);
    EXPECT_EQ(pool.MaxThreadCount(), 30);
    EXPECT_EQ(pool.worker_count(), 16);
    pool.SetMaxThreadCount(0);
    EXPECT_EQ(pool.worker_count(), 0);
  }
  EXPECT_EQ(TUX_New_Thread::live_count(), threads_before);
}

// ---------------------------------------------------------------- downloads

class PoolDownloads : public qlyn_test::TResourceServerSuite<PoolDownloads> {
 protected:
  static void SetUpTestSuite() {
    start(QLYN_RESOURCE_SERVER_EXE, "pool_res");
    package = qlyn_test::sample_bytes(4 << 20, 5);
    publish("/down/pkg.7z", package);
    publish("/down/big.bin", qlyn_test::sample_bytes(64 << 20, 6));
  }

  static inline std::string package;
};

TEST_F(PoolDownloads, DownloadsIntoAFolderNamedWithATrailingSeparator) {
  qlyn_test::TTempDir out("pool_out");
  TUX_HTTP_Cli_pool_v3 pool;
  TDownEvents a, b;
  pool.add_http_down_file(url("udp-http", "/down/pkg.7z"), "", out.dir(), "main-file", a.sink());
  std::filesystem::create_directories(out / "sub");
  pool.add_http_down_file(url("http", "/down/pkg.7z"), "", out / "sub\\", "second", b.sink());
  ASSERT_TRUE(eventually([&] { return a.last() == 103 || a.last() == 104; }, 30000));
  ASSERT_TRUE(eventually([&] { return b.last() == 103 || b.last() == 104; }, 30000));
  EXPECT_EQ(a.last(), 103);
  EXPECT_EQ(qlyn_test::read_file(out / "pkg.7z"), package);
  EXPECT_EQ(b.last(), 103);
  EXPECT_EQ(qlyn_test::read_file(out / "sub/pkg.7z"), package);
  EXPECT_EQ(json_text_field(b.list.front().second, "tag"), "second");
  // Downloaders are not kept: nothing is parked.
  ASSERT_TRUE(eventually([&] { return pool.active_count() == 0; }));
  EXPECT_EQ(pool.idle_count(), 0);
}

TEST_F(PoolDownloads, SettingActiveFalseStopsADownloadAtOnce) {
  qlyn_test::TTempDir out("pool_out");
  const int64_t threads_before = TUX_New_Thread::live_count();
  {
    TUX_HTTP_Cli_pool_v3 pool;
    TDownEvents ev;
    pool.add_http_down_file(url("http", "/down/big.bin"), "", out / "big.bin", "big", ev.sink());
    ASSERT_TRUE(eventually([&] { return ev.has(101); }));
    pool.SetActive(false);
    // A step already running ends normally; none starts after it.
    ASSERT_TRUE(eventually([&] { return pool.stepping_count() == 0; }));
    const int seen = ev.count.load();
    const int64_t size = ux::file_size(out / "big.bin");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(ev.count.load(), seen);
    EXPECT_EQ(ux::file_size(out / "big.bin"), size);
    EXPECT_LT(size, 64 << 20);
    EXPECT_FALSE(ev.has(103));
  }
  EXPECT_EQ(TUX_New_Thread::live_count(), threads_before);
}

TEST_F(PoolDownloads, DestroyingThePoolWaitsForAStepThatRunsLongWork) {
  // The completion handler stands for an installation that runs inside the
  // step; the destructor waits for it instead of freeing under it.
  qlyn_test::TTempDir out("pool_out");
  std::atomic<bool> in_handler{false}, handler_done{false};
  TDownEvents ev;
  auto pool = std::make_unique<TUX_HTTP_Cli_pool_v3>();
  pool->add_http_down_file(url("udp-http", "/down/pkg.7z"), "", out / "pkg.7z", "t", ev.sink([&](int32_t code) {
    if (code != 103) return;
    in_handler = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    handler_done = true;
  }));
  ASSERT_TRUE(eventually([&] { return in_handler.load(); }, 30000));
  pool.reset();
  EXPECT_TRUE(handler_done.load());
}

TEST(PoolProcessWide, TheGetterMakesOnePoolUntilItIsFreed) {
  const int64_t threads_before = TUX_New_Thread::live_count();
  auto a = http_cli_pool();
  auto b = http_cli_pool();
  EXPECT_EQ(a.get(), b.get());
  EXPECT_TRUE(a->Active());
  a.reset();
  b.reset();
  http_cli_pool_free();
  EXPECT_EQ(TUX_New_Thread::live_count(), threads_before);
  auto c = http_cli_pool();
  EXPECT_NE(c.get(), nullptr);
  c.reset();
  http_cli_pool_free();
}

// ---------------------------------------------------------------- WebSocket

TEST(PoolWebSocket, CloseByTagClosesEveryMatchingConnectionNowAndLater) {
  if (!qlyn_test::TWsPeer::available()) GTEST_SKIP() << "python3-websockets is not installed";
  qlyn_test::TWsPeer peer;
  ASSERT_TRUE(peer.ok());
  TUX_HTTP_Cli_pool_v3 pool;
  std::mutex mu;
  std::vector<std::pair<std::string, int32_t>> seen;  // (tag, ev)
  auto sink = [&](TUX_HTTP_Cli_Request* r, int32_t ev, const std::string&, const uint8_t*, int32_t) {
    std::lock_guard<std::mutex> g(mu);
    seen.emplace_back(r ? r->tag() : std::string(), ev);
  };
  auto count = [&](const std::string& tag, int32_t ev) {
    std::lock_guard<std::mutex> g(mu);
    int n = 0;
    for (const auto& [t, e] : seen) n += (t == tag && e == ev) ? 1 : 0;
    return n;
  };
  pool.add_ws_conn(peer.url("/echo"), "", "Group", sink);
  pool.add_ws_conn(peer.url("/echo"), "", "group", sink);
  pool.add_ws_conn(peer.url("/echo"), "", "other", sink);
  ASSERT_TRUE(eventually([&] { return count("Group", kWsEvConnected) + count("group", kWsEvConnected) +
                                        count("other", kWsEvConnected) == 3; }));
  pool.close_ws_conn("GROUP");
  ASSERT_TRUE(eventually([&] { return count("Group", kWsEvClosed) == 1 && count("group", kWsEvClosed) == 1; }));
  EXPECT_EQ(count("other", kWsEvClosed), 0);
  // The tag stays named: a new connection with it is closed once stepped.
  pool.add_ws_conn(peer.url("/echo"), "", "gRoUp", sink);
  ASSERT_TRUE(eventually([&] { return count("gRoUp", kWsEvClosed) == 1; }));
  EXPECT_EQ(count("other", kWsEvClosed), 0);
  // An empty tag is given a random one.
  pool.add_ws_conn(peer.url("/echo"), "", "", [&](TUX_HTTP_Cli_Request* r, int32_t ev, const std::string& d,
                                                   const uint8_t* p, int32_t n) { sink(r, ev, d, p, n); });
  ASSERT_TRUE(eventually([&] {
    std::lock_guard<std::mutex> g(mu);
    for (const auto& [t, e] : seen)
      if (t.size() == 22 && t.rfind("ws", 0) == 0 && e == kWsEvConnected) return true;
    return false;
  }));
}

}  // namespace
