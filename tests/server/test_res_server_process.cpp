// qlyn-resource-server as a process, against curl over TCP.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "support/archive_maker.h"
#include "support/child_process.h"
#include "support/scoped_env.h"
#include "support/server_tool.h"

namespace {

using qlyn_test::TChildProcess;
using qlyn_test::TServerTool;
using qlyn_test::TTempDir;

class ResServerProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    file = qlyn_test::sample_bytes(3 << 20, 9);
    qlyn_test::write_file(dir / "www/down/win64/rk50cli_dsk.win64.newest.7z", file);
    qlyn_test::write_file(dir / "outside.txt", "secret");
    server = std::make_unique<TServerTool>(
        std::vector<std::string>{QLYN_RESOURCE_SERVER_EXE, "--root", dir / "www", "--port", "0"});
    ASSERT_TRUE(server->listening()) << server->start_output();
    port = server->port();
  }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + port + path; }
  // Runs curl with args; its standard output. Headers go to dir/headers.
  std::string curl(const std::string& args) {
    const std::string out = dir / "curl.out";
    const int rc = qlyn_test::sh("curl -s --noproxy '*' --max-time 20 -D " + qlyn_test::quote(dir / "headers") + " -o " +
                                 qlyn_test::quote(out) + " " + args);
    EXPECT_EQ(rc, 0) << args;
    return qlyn_test::read_file(out);
  }
  std::string headers() { return qlyn_test::read_file(dir / "headers"); }

  TTempDir dir{"res_proc"};
  std::string file;
  std::unique_ptr<TServerTool> server;
  std::string port;
};

TEST_F(ResServerProcess, CurlDownloadsRangesHeadAndErrors) {
  const std::string path = "/down/win64/rk50cli_dsk.win64.newest.7z";
  EXPECT_EQ(curl(url(path)), file);
  EXPECT_NE(headers().find("HTTP/1.1 200 OK"), std::string::npos);

  EXPECT_EQ(curl("-r 1000-1999 " + url(path)), file.substr(1000, 1000));
  EXPECT_NE(headers().find("HTTP/1.1 206 Partial Content"), std::string::npos);
  EXPECT_NE(headers().find("Content-Range: bytes 1000-1999/3145728"), std::string::npos) << headers();

  EXPECT_EQ(curl("-r 3000000- " + url(path)), file.substr(3000000));
  curl("-r 4000000- " + url(path));
  EXPECT_NE(headers().find("HTTP/1.1 416"), std::string::npos);
  EXPECT_NE(headers().find("Content-Range: bytes */3145728"), std::string::npos) << headers();

  // curl -I writes the head as its output: nothing but the head came.
  const std::string head = curl("-I " + url(path));
  EXPECT_EQ(head.find("\r\n\r\n"), head.size() - 4);
  EXPECT_NE(head.find("Content-Length: 3145728"), std::string::npos);
  EXPECT_NE(head.find("ETag: \""), std::string::npos);
  EXPECT_NE(head.find("Last-Modified: "), std::string::npos);

  curl(url("/down/win64/"));
  EXPECT_NE(headers().find("HTTP/1.1 404"), std::string::npos) << "no folder listing";
  curl("-X POST -d x " + url(path));
  EXPECT_NE(headers().find("HTTP/1.1 405"), std::string::npos);
  for (const char* bad : {"/../outside.txt", "/down/%2e%2e/%2e%2e/outside.txt", "/down/..%5c..%5coutside.txt"}) {
    const std::string body = curl("--path-as-is " + url(bad));
    EXPECT_NE(headers().find("HTTP/1.1 400"), std::string::npos) << bad;
    EXPECT_EQ(body.find("secret"), std::string::npos);
  }
}

TEST_F(ResServerProcess, KeepAliveCarriesSeveralRequestsOnOneConnection) {
  const std::string path = url("/down/win64/rk50cli_dsk.win64.newest.7z");
  const std::string err = dir / "curl.err";
  ASSERT_EQ(qlyn_test::sh("curl -sv --noproxy '*' --max-time 20 -r 0-9 -o /dev/null " + path + " -r 10-19 -o /dev/null " +
                          path + " 2> " + qlyn_test::quote(err)),
            0);
  const std::string trace = qlyn_test::read_file(err);
  EXPECT_NE(trace.find("Re-using existing connection"), std::string::npos) << trace;
  server->stop();
  const std::string log = server->read_rest(2000);
  // Both requests came from the same client port: one connection.
  const size_t a = log.find(" tcp \"GET"), b = log.find(" tcp \"GET", a + 1);
  ASSERT_NE(b, std::string::npos) << log;
  const size_t a_start = log.rfind(' ', a - 1), b_start = log.rfind(' ', b - 1);
  EXPECT_EQ(log.substr(a_start, a - a_start), log.substr(b_start, b - b_start)) << log;
}

TEST_F(ResServerProcess, MalformedAndOversizedRequestsGet400And431) {
  const std::string nc = "exec 3<>/dev/tcp/127.0.0.1/" + port + "; printf '%s' \"$1\" >&3; timeout 5 cat <&3";
  auto raw = [&](const std::string& req) {
    const std::string out = dir / "raw.out";
    qlyn_test::sh("bash -c " + qlyn_test::quote(nc) + " _ " + qlyn_test::quote(req) + " > " + qlyn_test::quote(out));
    return qlyn_test::read_file(out);
  };
  EXPECT_EQ(raw("BLAH\r\n\r\n").rfind("HTTP/1.1 400", 0), 0u);
  EXPECT_EQ(raw("GET / HTTP/1.1\r\nHost: x\r\nX: " + std::string(20000, 'a') + "\r\n\r\n").rfind("HTTP/1.1 431", 0), 0u);
  EXPECT_EQ(raw("GET /down/win64/rk50cli_dsk.win64.newest.7z HTTP/1.1\r\nHost: x\r\nRange: bytes=0-99999999999999999999\r\n"
                "Connection: close\r\n\r\n")
                .rfind("HTTP/1.1 206", 0),
            0u)
      << "a huge range is cut to the file";
  // The server is still there.
  EXPECT_EQ(curl("-r 0-3 " + url("/down/win64/rk50cli_dsk.win64.newest.7z")), file.substr(0, 4));
}

TEST_F(ResServerProcess, StopsCleanlyOnSigterm) { EXPECT_EQ(server->stop(SIGTERM), 0); }

TEST(ResServerStart, ClearErrorsForAMissingRootOrABusyPort) {
  TTempDir dir("res_start");
  {
    TChildProcess p({QLYN_RESOURCE_SERVER_EXE, "--root", dir / "missing", "--port", "0"}, dir / "err");
    EXPECT_EQ(p.wait(5000), 1);
    EXPECT_NE(qlyn_test::read_file(dir / "err").find("does not exist"), std::string::npos);
  }
  TServerTool first({QLYN_RESOURCE_SERVER_EXE, "--root", dir.path(), "--port", "0"});
  ASSERT_TRUE(first.listening()) << first.start_output();
  const std::string port = first.port();
  TChildProcess second({QLYN_RESOURCE_SERVER_EXE, "--root", dir.path(), "--port", port}, dir / "err2");
  EXPECT_EQ(second.wait(5000), 1);
  EXPECT_NE(qlyn_test::read_file(dir / "err2").find("port " + port + " is busy"), std::string::npos)
      << qlyn_test::read_file(dir / "err2");
  TChildProcess bad({QLYN_RESOURCE_SERVER_EXE, "--root", dir.path(), "--port", "70000"}, dir / "err3");
  EXPECT_EQ(bad.wait(5000), 2);
}

}  // namespace
