// qlyn-setup in install mode as a user runs it, downloading its package from
// our resource server on loopback (config.ini's svr_url points at it): over
// udp-http, killed and run again, with the server going away, and with a
// server that hands out something that is not the package.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "installer/rk50_package_install.h"
#include "support/archive_maker.h"
#include "support/program_run.h"
#include "support/server_tool.h"

namespace {

namespace fs = std::filesystem;
using qlyn_test::read_file;
using qlyn_test::TProgramOptions;
using qlyn_test::TProgramRun;
using qlyn_test::write_file;

constexpr const char* kPackagePath = "/down/win64/rk50cli_dsk.win64.newest.7z";
constexpr const char* kPackageName = "rk50cli_dsk.win64.newest.7z";
// 40 MB take 5 s at this rate: long enough to catch an installer midway.
constexpr long kSlowLink = 8000000;

class SetupDownload : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!qlyn_test::have_7zz()) GTEST_SKIP() << "7zz not installed";
    fs::create_directories(app);
    fs::copy_file(QLYN_SETUP_EXE, app + "/qlyn-setup");
  }

  // Packs files (path -> bytes) as the install package the server hands out.
  void publish_package(const std::map<std::string, std::string>& files) {
    const std::string src = tmp / "src";
    for (const auto& [path, bytes] : files) write_file(src + "/" + path, bytes);
    const std::string archive = tmp / "package.7z";
    ASSERT_EQ(qlyn_test::make_7z(archive, src, "win64", "-mx=0 -p" + qlyn_test::quote(rk50::package_password())), 0);
    publish(read_file(archive));
  }
  // The client program and `data` as win64/data.bin.
  void publish_client(const std::string& data) {
    publish_package({{"win64/rk50cli_dsk", "#!/bin/sh\necho client\n"}, {"win64/data.bin", data}});
  }
  void publish(const std::string& bytes) {
    package = bytes;
    write_file(tmp / ("www" + std::string(kPackagePath)), bytes);
  }
  void start_server() {
    server = std::make_unique<qlyn_test::TServerTool>(
        std::vector<std::string>{QLYN_RESOURCE_SERVER_EXE, "--root", tmp / "www", "--port", "0", "--quiet"});
    ASSERT_TRUE(server->listening()) << server->start_output();
    port = server->port();
  }
  // Puts a UDP relay of `rate` bytes/s in front of the server, so that a
  // download lasts long enough to be caught midway on any machine.
  void slow_down(long rate) {
    relay = std::make_unique<qlyn_test::TServerTool>(std::vector<std::string>{
        QLYN_UDP_RELAY_EXE, "--server", server->address(), "--rate", std::to_string(rate)});
    ASSERT_TRUE(relay->listening()) << relay->start_output();
    port = relay->port();
  }
  // Starts the server and points the installer at it; with a rate, through
  // a relay of that many bytes/s.
  void serve(const std::string& scheme, long rate = 0) {
    start_server();
    if (HasFatalFailure()) return;
    if (rate > 0) slow_down(rate);
    if (HasFatalFailure()) return;
    point_at(scheme);
  }
  void point_at(const std::string& scheme) {
    write_file(app + "/config.ini", "[common]\nsvr_url=" + scheme + "://127.0.0.1:" + port + "\n");
  }
  TProgramOptions user(const std::string& input = {}) {
    TProgramOptions o;
    o.env = {{"LANG", "en_US.UTF-8"},
             {"HOME", tmp / "home"},
             {"XDG_CONFIG_HOME", tmp / "home/.config"},
             {"XDG_DATA_HOME", tmp / "home/.local/share"},
             {"XDG_CACHE_HOME", tmp / "home/.cache"},
             {"LOCALAPPDATA", tmp / "appdata"}};
    o.input = input;
    return o;
  }
  std::unique_ptr<TProgramRun> run(const std::vector<std::string>& args, const std::string& input = {}) {
    return std::make_unique<TProgramRun>(app + "/qlyn-setup", args, user(input));
  }
  std::vector<std::string> yes_args() { return {"--cli", "--yes", "--dir", dest}; }
  std::string download() const { return app + "/temp/" + kPackageName; }
  long long download_size() const {
    std::error_code ec;
    const auto n = fs::file_size(download(), ec);
    return ec ? -1 : static_cast<long long>(n);
  }

  qlyn_test::TTempDir tmp{"rk50_down"};
  const std::string app = tmp / "app";
  const std::string dest = tmp / "inst";
  std::unique_ptr<qlyn_test::TServerTool> server;
  std::unique_ptr<qlyn_test::TServerTool> relay;
  std::string port;
  std::string package;
};

TEST_F(SetupDownload, InstallsThePackageDownloadedOverUdpHttp) {
  const std::string data = qlyn_test::sample_bytes(6 << 20, 21);
  publish_client(data);
  serve("udp-http");
  if (HasFatalFailure()) return;
  auto p = run(yes_args());
  EXPECT_EQ(p->finish(), 0) << p->out() << p->err();
  const std::string& out = p->out();
  EXPECT_NE(out.find("Connected, start to downloading..."), std::string::npos) << out;
  EXPECT_NE(out.find("] 0 / "), std::string::npos) << out;
  EXPECT_NE(out.find("KB/s)"), std::string::npos) << out;
  EXPECT_NE(out.find("Download OK! next to install..."), std::string::npos) << out;
  EXPECT_NE(out.find("Install completed!"), std::string::npos) << out;
  EXPECT_TRUE(read_file(dest + "/win64/data.bin") == data);
  EXPECT_EQ(read_file(dest + "/win64/rk50cli_dsk"), "#!/bin/sh\necho client\n");
  EXPECT_TRUE(fs::exists(tmp / "home/Desktop"));
  // The download is deleted once installed, with what the downloader kept beside it.
  EXPECT_EQ(download_size(), -1);
  EXPECT_TRUE(fs::is_empty(app + "/temp"));
}

TEST_F(SetupDownload, KilledMidDownloadItResumesAndInstallsTheSameFiles) {
  const std::string data = qlyn_test::sample_bytes(40 << 20, 22);
  publish_client(data);
  serve("udp-http", kSlowLink);
  if (HasFatalFailure()) return;
  const long long full = static_cast<long long>(package.size());
  long long at_kill = 0;
  {
    auto p = run(yes_args());
    ASSERT_TRUE(p->wait_until([&] {
      at_kill = download_size();
      return at_kill > 0 && at_kill < full;
    }, 60000, 1)) << p->out();
    p->signal(SIGKILL);
    EXPECT_EQ(p->finish(), 128 + SIGKILL);
  }
  const long long kept = download_size();
  ASSERT_GT(kept, 0);
  ASSERT_LT(kept, full);
  EXPECT_TRUE(read_file(download()) == package.substr(0, size_t(kept)));
  EXPECT_TRUE(fs::exists(download() + ".validator"));

  auto again = run(yes_args());
  EXPECT_EQ(again->finish(), 0) << again->out() << again->err();
  const std::string& out = again->out();
  // The second run counts against the whole package from where it resumed.
  EXPECT_EQ(out.find("] 0 / "), std::string::npos) << out;
  EXPECT_NE(out.find("Install completed!"), std::string::npos) << out;
  EXPECT_TRUE(read_file(dest + "/win64/data.bin") == data);
  EXPECT_EQ(download_size(), -1);
  EXPECT_TRUE(fs::is_empty(app + "/temp"));
}

// A second installer started from the same folder while the first downloads:
// it says why it stops, in the user's language, and never writes into the
// first one's partial package, which then completes and installs.
TEST_F(SetupDownload, ASecondInstallerFromTheSameFolderLeavesTheDownloadAlone) {
  const std::string data = qlyn_test::sample_bytes(40 << 20, 24);
  publish_client(data);
  serve("udp-http", kSlowLink);
  if (HasFatalFailure()) return;
  auto first = run(yes_args());
  ASSERT_TRUE(first->wait_until([&] { return download_size() > 0; }, 60000, 1)) << first->out();
  first->signal(SIGSTOP);
  const std::string partial = read_file(download());

  auto second = run({"--cli", "--yes", "--dir", tmp / "inst2"});
  EXPECT_EQ(second->finish(), 1);
  EXPECT_EQ(second->err(), "Another installer is downloading into " + app + "/temp/; try again when it has finished.\n");
  TProgramOptions zh = user();
  zh.env["LANG"] = "zh_CN.UTF-8";
  TProgramRun chinese(app + "/qlyn-setup", {"--cli", "--yes", "--dir", tmp / "inst2"}, zh);
  EXPECT_EQ(chinese.finish(), 1);
  EXPECT_EQ(chinese.err(), "另一个安装程序正在下载到 " + app + "/temp/，请在它结束后重试。\n");
  EXPECT_TRUE(read_file(download()) == partial);
  EXPECT_FALSE(fs::exists(tmp / "inst2/win64"));

  first->signal(SIGCONT);
  EXPECT_EQ(first->finish(), 0) << first->out() << first->err();
  EXPECT_TRUE(read_file(dest + "/win64/data.bin") == data);
  EXPECT_TRUE(fs::is_empty(app + "/temp"));
  // The folder is free again.
  auto third = run(yes_args());
  EXPECT_EQ(third->finish(), 0) << third->out() << third->err();
}

TEST_F(SetupDownload, AServerThatGoesAwayGivesTheFailureAndStartAgain) {
  publish_client(qlyn_test::sample_bytes(40 << 20, 23));
  serve("http");
  if (HasFatalFailure()) return;
  auto p = run({"--cli", "--dir", dest}, "y\n");
  ASSERT_TRUE(p->wait_until([&] { return download_size() > 0; }, 60000, 1)) << p->out();
  server->stop();
  EXPECT_EQ(p->finish(), 1);
  const std::string& out = p->out();
  const size_t failed = out.find("Download failed.");
  ASSERT_NE(failed, std::string::npos) << out;
  // Start is offered again; the end of the input answers No.
  EXPECT_NE(out.find("Start? [Y/n]", failed), std::string::npos) << out;
  EXPECT_EQ(out.find("Install completed!"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(dest + "/win64"));
  // What arrived is kept for the next run.
  EXPECT_GT(download_size(), 0);
}

TEST_F(SetupDownload, SomethingThatIsNotThePackageIsNeverReportedInstalled) {
  publish("<html><body>Service temporarily unavailable</body></html>\n");
  serve("udp-http");
  if (HasFatalFailure()) return;
  auto p = run(yes_args());
  EXPECT_EQ(p->finish(), 1);
  EXPECT_EQ(p->out().find("Install completed!"), std::string::npos) << p->out();
  EXPECT_EQ(p->err().rfind("Installation failed: ", 0), 0u) << p->err();
  EXPECT_FALSE(fs::exists(dest + "/win64"));
  // Not kept: the next run downloads again instead of resuming these bytes.
  EXPECT_EQ(download_size(), -1);
  EXPECT_TRUE(fs::is_empty(app + "/temp"));
}

TEST_F(SetupDownload, AMissingPackageFailsWithTheStatus) {
  fs::create_directories(tmp / "www");
  serve("udp-http");
  if (HasFatalFailure()) return;
  auto p = run(yes_args());
  EXPECT_EQ(p->finish(), 1);
  EXPECT_EQ(p->err(), "Download failed (HTTP status 404).\n");
  EXPECT_FALSE(fs::exists(dest));
}

}  // namespace
