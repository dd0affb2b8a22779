#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "common/ux_common.h"
#include "installer/rk50_env.h"
#include "installer/rk50_services.h"
#include "installer/rk50_stp_common.h"
#include "installer/rk50_xe_stp_main.h"
#include "rk50_fakes.h"
#include "support/eventually.h"
#include "support/scoped_env.h"

namespace {

namespace fs = std::filesystem;
using rk50::TControl;
using rk50::Tmain_form;
using rk50_test::TGate;
using rk50_test::TRecordingGui;
using rk50_test::TRecordingServices;

// Writes content to dir/name; returns the path.
std::string write_file(const qlyn_test::TTempDir& dir, const std::string& name, const std::string& content = "x") {
  std::string p = dir / name;
  std::ofstream(p) << content;
  return p;
}

class Controller : public ::testing::Test {
 protected:
  void SetUp() override {
    env.unset("LC_ALL");
    env.unset("LC_MESSAGES");
    env.set("LANG", "en_US.UTF-8");
    env.set("LOCALAPPDATA", tmp.path());
  }
  void TearDown() override {
    if (form) form->FormDestroy();
    form.reset();
    EXPECT_EQ(gui.off_thread_calls.load(), 0);
    rk50::select_lang("chn");
  }
  Tmain_form& start(std::vector<std::string> args = {}, std::string package = {}) {
    rk50::TStartOptions options;
    options.args = std::move(args);
    options.package_file = std::move(package);
    form = std::make_unique<Tmain_form>(gui, services, options);
    form->FormCreate();
    form->FormShow();
    return *form;
  }
  std::string status() { return gui.texts[TControl::Label2]; }

  qlyn_test::TEnvScope env;
  qlyn_test::TTempDir tmp{"rk50_main"};
  TRecordingGui gui;
  TRecordingServices services;
  std::unique_ptr<Tmain_form> form;
};

TEST_F(Controller, CommandLineSelectsModeAndStartState) {
  std::string package = write_file(tmp, "update.7z");
  struct {
    std::vector<std::string> args;
    int32_t mode, state;
  } cases[] = {
      {{}, 1, rk50::st_ready_to_install},
      {{"/home/user/somewhere"}, 1, rk50::st_ready_to_install},
      {{"upgrade", package}, 1, rk50::st_ready_to_install},
      {{"UPD", package}, 2, rk50::st_ready_to_update},
      {{"Update", package}, 2, rk50::st_ready_to_update},
      {{"update", tmp.path() + "/missing.7z"}, 2, rk50::st_package_missing},
      {{"upd"}, 2, rk50::st_package_missing},
      {{"upd", tmp.path()}, 2, rk50::st_package_missing},  // a folder is not a package
  };
  for (auto& c : cases) {
    TRecordingGui g;
    TRecordingServices s;
    rk50::TStartOptions o;
    o.args = c.args;
    Tmain_form f(g, s, o);
    f.FormCreate();
    EXPECT_EQ(f.mode(), c.mode) << (c.args.empty() ? "" : c.args[0]);
    EXPECT_EQ(f.state(), c.state) << (c.args.empty() ? "" : c.args[0]);
    if (c.mode == 2) {
      EXPECT_EQ(f.saved_fname(), c.args.size() > 1 ? c.args[1] : "");
    }
    f.FormDestroy();
  }
}

TEST_F(Controller, PackageMissingButtonDoesNothing) {
  start({"update", tmp.path() + "/missing.7z"});
  size_t log_size = gui.log.size();
  form->Button1Click();
  form->Button1Click();
  EXPECT_EQ(form->state(), rk50::st_package_missing);
  EXPECT_EQ(gui.log.size(), log_size);
  EXPECT_TRUE(services.calls.empty());
}

TEST_F(Controller, StartUpAndShowLayInstallWindow) {
  start();
  EXPECT_EQ(gui.caption, "QLYN Desktop Installer");
  EXPECT_FALSE(gui.visible[TControl::ProgressBar1]);
  EXPECT_FALSE(gui.visible[TControl::Label2]);
  EXPECT_EQ(form->dest_path(), tmp.path() + "/qlyn/client/");
  EXPECT_EQ(gui.texts[TControl::LabeledEdit1], form->dest_path());
  EXPECT_EQ(form->selfpath(), ux::exe_dir());
  EXPECT_TRUE(fs::is_directory(ux::exe_dir() + "temp"));
  EXPECT_EQ(gui.left[TControl::Button1], (660 - 137) / 2);
  EXPECT_EQ(gui.left[TControl::Label1], (660 - 383) / 2);
  EXPECT_EQ(gui.left[TControl::Image1], (660 - 64) / 2);
  EXPECT_EQ(gui.texts[TControl::Button1], "Start");
  EXPECT_EQ(gui.texts[TControl::Label1], "Will install QLYN client for Windows");
  EXPECT_EQ(gui.texts[TControl::LabeledEdit1Label], "Destnation:");
  EXPECT_EQ(form->state(), rk50::st_ready_to_install);
}

TEST_F(Controller, ChineseLocaleGivesChineseWindow) {
  env.set("LANG", "zh_CN.UTF-8");
  start({"upd", write_file(tmp, "p.7z")});
  EXPECT_EQ(gui.caption, "Qlyn客户端安装器");
  EXPECT_EQ(gui.texts[TControl::Label1], "升级更新Qlyn客户端软件");
  EXPECT_EQ(gui.texts[TControl::Button1], "开始安装更新");
  EXPECT_FALSE(gui.visible[TControl::LabeledEdit1]);
  EXPECT_FALSE(gui.visible[TControl::SpeedButton1]);
}

TEST_F(Controller, DefaultFolderFallsBackThroughXdgAndHome) {
  env.unset("LOCALAPPDATA");
  env.set("XDG_DATA_HOME", "/data/xdg/");
  EXPECT_EQ(rk50::default_install_dir(), "/data/xdg/qlyn/client/");
  env.set("XDG_DATA_HOME", "relative/dir");
  env.set("HOME", "/home/tester");
  EXPECT_EQ(rk50::default_install_dir(), "/home/tester/.local/share/qlyn/client/");
  env.set("XDG_DATA_HOME", "");
  EXPECT_EQ(rk50::default_install_dir(), "/home/tester/.local/share/qlyn/client/");
  env.set("LOCALAPPDATA", "/appdata");
  EXPECT_EQ(rk50::default_install_dir(), "/appdata/qlyn/client/");
}

TEST_F(Controller, PackageUrlFromBuildHostOrSvrUrl) {
  EXPECT_EQ(rk50::package_url(""), "udp-http://127.0.0.1:56020/down/win64/rk50cli_dsk.win64.newest.7z");
  EXPECT_EQ(rk50::package_url("udp-http://example.net:56020"),
            "udp-http://example.net:56020/down/win64/rk50cli_dsk.win64.newest.7z");
  EXPECT_EQ(rk50::package_url(" http://10.0.0.2:8080/other/path?q=1 "),
            "http://10.0.0.2:8080/down/win64/rk50cli_dsk.win64.newest.7z");
  for (const char* bad : {"example.net:56020", "://host", "http://", "ht tp://h", "http://a b"})
    EXPECT_EQ(rk50::package_url(bad), rk50::package_url("")) << bad;

  // config.ini beside the executable: one case owns it.
  std::string cfg = ux::exe_dir() + "config.ini";
  ASSERT_FALSE(fs::exists(cfg));
  start();
  EXPECT_EQ(form->svr_url(), "");
  form->Button1Click();
  ASSERT_EQ(services.downloads.size(), 1u);
  EXPECT_EQ(services.downloads[0].url, rk50::package_url(""));
  form->FormDestroy();
  form.reset();

  std::ofstream(cfg) << "[other]\nsvr_url=http://wrong:1\n[Common]\nSVR_URL = udp-http://example.net:56021/x\n";
  TRecordingServices s2;
  rk50::TStartOptions o;
  Tmain_form f(gui, s2, o);
  f.FormCreate();
  f.FormShow();
  EXPECT_EQ(f.svr_url(), "udp-http://example.net:56021/x");
  f.Button1Click();
  ASSERT_EQ(s2.downloads.size(), 1u);
  EXPECT_EQ(s2.downloads[0].url, "udp-http://example.net:56021/down/win64/rk50cli_dsk.win64.newest.7z");
  f.FormDestroy();
  fs::remove(cfg);
}

TEST_F(Controller, DownloadWalkToFinished) {
  start();
  gui.texts[TControl::LabeledEdit1] = tmp.path() + "/target";
  form->Button1Click();
  EXPECT_EQ(form->state(), rk50::st_downloading);
  EXPECT_FALSE(gui.visible[TControl::LabeledEdit1]);
  EXPECT_FALSE(gui.visible[TControl::SpeedButton1]);
  EXPECT_TRUE(gui.visible[TControl::ProgressBar1]);
  EXPECT_TRUE(gui.visible[TControl::Label2]);
  EXPECT_EQ(gui.texts[TControl::Button1], "Abort");
  EXPECT_EQ(status(), "connect server and download data.");
  EXPECT_EQ(form->dest_path(), tmp.path() + "/target/");

  ASSERT_EQ(services.downloads.size(), 1u);
  const auto& d = services.downloads[0];
  EXPECT_EQ(d.headers, "");
  EXPECT_EQ(d.tag, "main-file");
  EXPECT_EQ(d.save_path, ux::exe_dir() + "temp/rk50cli_dsk.win64.newest.7z");
  EXPECT_EQ(form->saved_fname(), d.save_path);
  EXPECT_EQ(services.count("deploy:" + ux::exe_dir()), 1u);
  // The download folder is held from before the download until the end of the installation.
  ASSERT_GE(services.snapshot().size(), 2u);
  EXPECT_EQ(services.snapshot()[0], "lock_download:" + ux::exe_dir() + "temp/");
  EXPECT_EQ(services.snapshot()[1], "add_http_down_file");

  services.deliver(2, R"({"cmd":"connected", "tag":"main-file"})");
  EXPECT_EQ(status(), "connect server and download data.");  // queued, not applied on the worker
  EXPECT_EQ(gui.drain(), 1u);
  EXPECT_EQ(status(), "Connected, start to downloading...");

  services.deliver(101, R"({"cmd":"download_start", "tag":"main-file", "pos":0, "sum":13107200, "percent":"0", "sum_full":13107200})");
  gui.progress = 42;
  gui.drain();
  EXPECT_EQ(status(), "0 / 12.5 MB (0KB/s)");
  EXPECT_EQ(gui.progress_min, 0);
  EXPECT_EQ(gui.progress_max, 100);
  EXPECT_EQ(gui.progress, 0);

  services.deliver(102, R"({"cmd":"download_proc", "tag":"main-file", "pos":3670016, "sum":13107200, "percet":28, "speed":850000})");
  gui.drain();
  EXPECT_EQ(status(), "3.5 MB / 12.5 MB (850KB/s)");
  EXPECT_EQ(gui.progress, 28);

  services.deliver(102, R"({"pos":13107200, "sum":13107200, "speed":850000})");
  gui.drain();
  EXPECT_EQ(gui.progress, 99);

  services.deliver(103, R"({"cmd":"download_ok", "tag":"main-file", "pos":13107200, "sum":13107200, "percent":100, "speed":1500})");
  EXPECT_TRUE(form->is_install_ok());
  EXPECT_EQ(services.count("install:" + d.save_path + "->" + tmp.path() + "/target/"), 1u);
  gui.drain();
  EXPECT_EQ(gui.progress, 100);
  EXPECT_EQ(status(), "Install completed!");
  EXPECT_EQ(form->state(), rk50::st_finished);
  EXPECT_EQ(gui.texts[TControl::Button1], "Close");
  EXPECT_EQ(services.count("release_download"), 1u);
  EXPECT_TRUE(gui.logged("Label2=Download OK! next to install..."));
  ASSERT_EQ(services.installed.size(), 1u);
  EXPECT_EQ(services.installed[0].mode, 1);
  EXPECT_TRUE(services.installed[0].delete_package);
  EXPECT_EQ(services.installed[0].saved_fname, d.save_path);
  EXPECT_EQ(services.installed[0].dest_path, tmp.path() + "/target/");
  EXPECT_EQ(form->outcome(), rk50::TRunOutcome::installed);

  services.deliver(103, R"({"pos":13107200, "sum":13107200})");
  gui.drain();
  EXPECT_EQ(services.count("install:"), 1u);
  EXPECT_EQ(services.installed.size(), 1u);

  form->Button1Click();
  EXPECT_TRUE(gui.terminated);
}

TEST_F(Controller, PercentAndSpeedFormats) {
  EXPECT_EQ(Tmain_form::progress_percent(0, 0), 0);
  EXPECT_EQ(Tmain_form::progress_percent(5, -1), 0);
  EXPECT_EQ(Tmain_form::progress_percent(1, 8), 12);    // 12.5 -> even
  EXPECT_EQ(Tmain_form::progress_percent(3, 8), 38);    // 37.5 -> even
  EXPECT_EQ(Tmain_form::progress_percent(1, 3), 33);
  EXPECT_EQ(Tmain_form::progress_percent(2, 3), 67);
  EXPECT_EQ(Tmain_form::progress_percent(197, 200), 98);  // 98.5 -> even
  EXPECT_EQ(Tmain_form::progress_percent(199, 200), 99);
  EXPECT_EQ(Tmain_form::progress_percent(200, 200), 99);
  EXPECT_EQ(Tmain_form::progress_percent(500, 200), 99);
  EXPECT_EQ(Tmain_form::progress_percent(-5, 200), 0);
  EXPECT_EQ(Tmain_form::speed_text(0), "0KB/s");
  EXPECT_EQ(Tmain_form::speed_text(999), "0KB/s");
  EXPECT_EQ(Tmain_form::speed_text(1500), "1KB/s");
  EXPECT_EQ(Tmain_form::speed_text(850000), "850KB/s");
  EXPECT_EQ(Tmain_form::speed_text(-1500), "-1KB/s");

  start();
  form->Button1Click();
  services.deliver(101, R"({"pos":5000, "sum":1000, "speed":1500})");
  gui.drain();
  EXPECT_EQ(status(), "0 / 1 KB (1KB/s)");
  services.deliver(101, R"({"sum":1000})");
  gui.drain();
  EXPECT_EQ(status(), "0 / 1 KB (0KB/s)");
  gui.progress = 17;
  services.deliver(102, R"({"pos":500, "speed":999})");
  gui.drain();
  EXPECT_EQ(gui.progress, 0);
  EXPECT_EQ(status(), "0.5 KB / 0 KB (0KB/s)");
  services.deliver(102, R"({"pos":500, "sum":0})");
  gui.drain();
  EXPECT_EQ(gui.progress, 0);

  // A resumed download counts against the whole file.
  services.deliver(101, R"({"pos":47185920, "sum":5242880, "percent":"0", "sum_full":52428800})");
  gui.drain();
  EXPECT_EQ(status(), "45.2 MB / 50.2 MB (0KB/s)");
  EXPECT_EQ(gui.progress, 90);
  services.deliver(102, R"({"pos":51904512, "sum":5242880, "percet":990, "speed":2000})");
  gui.drain();
  EXPECT_EQ(status(), "49.7 MB / 50.2 MB (2KB/s)");
  EXPECT_EQ(gui.progress, 99);
}

TEST_F(Controller, AbortConfirmation) {
  start();
  form->Button1Click();
  gui.confirm_answer = false;
  form->Button1Click();
  EXPECT_TRUE(gui.logged("confirm:are you sure to abort this installtion ?"));
  EXPECT_EQ(form->state(), rk50::st_downloading);
  EXPECT_FALSE(gui.closed);
  services.deliver(2, "{}");
  gui.drain();
  EXPECT_EQ(status(), "Connected, start to downloading...");

  gui.confirm_answer = true;
  form->Button1Click();
  EXPECT_EQ(form->state(), rk50::st_finished);
  EXPECT_TRUE(gui.closed);
  EXPECT_EQ(form->outcome(), rk50::TRunOutcome::aborted);
  bool can_close = false;
  form->FormCloseQuery(can_close);
  EXPECT_TRUE(can_close);
  form->FormClose();
  form->FormDestroy();
  EXPECT_EQ(rk50::main_form(), nullptr);
  EXPECT_EQ(services.count("pool_inactive"), 2u);
  EXPECT_EQ(services.count("destroy_pool"), 1u);
  services.deliver(2, "{}");
  EXPECT_EQ(gui.queued(), 0u);
}

TEST_F(Controller, FolderPickerChangesInstallationFolder) {
  start();
  gui.folder_answer = "";
  form->SpeedButton1Click();
  EXPECT_TRUE(gui.logged("pick_folder:" + tmp.path() + "/qlyn/client/"));
  EXPECT_EQ(gui.texts[TControl::LabeledEdit1], tmp.path() + "/qlyn/client/");

  gui.folder_answer = tmp.path() + "/chosen";
  form->SpeedButton1Click();
  EXPECT_EQ(gui.texts[TControl::LabeledEdit1], tmp.path() + "/chosen/");
  EXPECT_EQ(form->dest_path(), tmp.path() + "/qlyn/client/");
  form->Button1Click();
  EXPECT_EQ(form->dest_path(), tmp.path() + "/chosen/");

  services.deliver(103, "{}");
  EXPECT_EQ(services.count("install:" + form->saved_fname() + "->" + tmp.path() + "/chosen/"), 1u);
}

TEST_F(Controller, EmptyFolderTextKeepsDefault) {
  start();
  gui.texts[TControl::LabeledEdit1] = "   ";
  form->Button1Click();
  EXPECT_EQ(form->dest_path(), tmp.path() + "/qlyn/client/");
}

TEST_F(Controller, RelativeFolderIsTakenFromCurrentDirectory) {
  start();
  gui.texts[TControl::LabeledEdit1] = "rel/dir";
  form->Button1Click();
  EXPECT_EQ(form->dest_path(), fs::current_path().string() + "/rel/dir/");
  EXPECT_EQ(rk50::user_folder("/abs\\"), "/abs\\");
  EXPECT_EQ(rk50::user_folder(""), "");
}

TEST_F(Controller, InstallationErrorsAreShownAndDoNotEscape) {
  start();
  form->Button1Click();
  services.install_error = "archive is damaged";
  services.deliver(103, "{}");
  gui.drain();
  EXPECT_EQ(status(), "Installation failed: archive is damaged");
  EXPECT_EQ(form->state(), rk50::st_downloading);
  EXPECT_FALSE(form->is_install_ok());
  EXPECT_EQ(form->outcome(), rk50::TRunOutcome::failed);
  EXPECT_EQ(services.installed.size(), 0u);
  EXPECT_FALSE(gui.logged("Label2=Install completed!"));

  // Not installed yet, so a repeated completion tries again.
  services.install_error.clear();
  services.deliver(103, "{}");
  gui.drain();
  EXPECT_EQ(services.count("install:"), 2u);
  EXPECT_EQ(form->state(), rk50::st_finished);
  EXPECT_EQ(gui.texts[TControl::Button1], "Close");
  EXPECT_EQ(status(), "Install completed!");
  EXPECT_TRUE(form->is_install_ok());
  EXPECT_EQ(form->outcome(), rk50::TRunOutcome::installed);
}

// An abort confirmed while the package extracts stops the installation: no
// completion, the run ends aborted, a later completion event installs nothing.
TEST_F(Controller, AbortDuringTheInstallationStopsIt) {
  start();
  form->Button1Click();
  TGate gate;
  services.on_extract = [&](const rk50::TExtractProgressFn& progress) {
    progress(true, 1000);
    gate.arrive_and_wait();
  };
  std::thread worker([&] { services.deliver(103, "{}"); });
  ASSERT_TRUE(gate.wait_arrival());
  gui.confirm_answer = true;
  form->Button1Click();
  gate.release();
  worker.join();
  gui.drain();
  EXPECT_TRUE(gui.logged("confirm:are you sure to abort this installtion ?"));
  EXPECT_TRUE(gui.closed);
  EXPECT_EQ(form->state(), rk50::st_finished);
  EXPECT_EQ(form->outcome(), rk50::TRunOutcome::aborted);
  EXPECT_EQ(status(), "Installation aborted.");
  EXPECT_FALSE(gui.logged("Label2=Install completed!"));
  EXPECT_FALSE(form->is_install_ok());
  EXPECT_TRUE(services.installed.empty());
  services.on_extract = nullptr;
  services.deliver(103, "{}");
  EXPECT_EQ(services.count("install:"), 1u);
}

// An abort confirmed after the installation passed its point of no return
// leaves it installed: the completion arrives and the window stays open.
TEST_F(Controller, AnAbortAfterTheEndLeavesTheInstallation) {
  start();
  form->Button1Click();
  services.deliver(103, "{}");
  gui.confirm_answer = true;
  form->Button1Click();  // the completion is still queued
  EXPECT_FALSE(gui.closed);
  EXPECT_EQ(form->state(), rk50::st_downloading);
  gui.drain();
  EXPECT_EQ(form->state(), rk50::st_finished);
  EXPECT_EQ(status(), "Install completed!");
  EXPECT_EQ(form->outcome(), rk50::TRunOutcome::installed);
  bool can_close = false;
  form->FormCloseQuery(can_close);
  form->FormClose();
  EXPECT_EQ(form->outcome(), rk50::TRunOutcome::installed);
}

// Closing the window during the installation cancels it.
TEST_F(Controller, ClosingTheWindowCancelsTheInstallation) {
  std::string package = write_file(tmp, "offline.7z");
  start({}, package);
  TGate gate;
  services.on_extract = [&](const rk50::TExtractProgressFn&) { gate.arrive_and_wait(); };
  form->Button1Click();
  ASSERT_TRUE(gate.wait_arrival());
  bool can_close = false;
  form->FormCloseQuery(can_close);
  EXPECT_TRUE(can_close);
  form->FormClose();
  gate.release();
  services.join();
  gui.drain();
  EXPECT_EQ(form->outcome(), rk50::TRunOutcome::aborted);
  EXPECT_EQ(form->error_text(), "Installation aborted.");
  EXPECT_EQ(status(), "Installation aborted.");
  EXPECT_TRUE(services.installed.empty());
  EXPECT_FALSE(gui.logged("Label2=Install completed!"));
}

TEST_F(Controller, DownloadFailureTexts) {
  start();
  form->Button1Click();
  services.deliver(104, R"({"cmd":"download_fail", "tag":"main-file", "reason":"conn_error"})");
  gui.drain();
  EXPECT_EQ(status(), "Connection to the server failed, retrying...");
  EXPECT_EQ(form->outcome(), rk50::TRunOutcome::running);
  services.deliver(104, R"({"cmd":"download_fail", "tag":"main-file", "reason":"http_error", "resp_code":416})");
  gui.drain();
  EXPECT_EQ(status(), "Download failed (HTTP status 416).");
  EXPECT_EQ(form->outcome(), rk50::TRunOutcome::failed);
  EXPECT_EQ(form->error_text(), status());
  // The download has stopped: the button offers Start again.
  EXPECT_EQ(form->state(), rk50::st_ready_to_install);
  EXPECT_EQ(gui.texts[TControl::Button1], "Start");
  form->Button1Click();
  EXPECT_EQ(services.downloads.size(), 2u);
  EXPECT_EQ(form->state(), rk50::st_downloading);
  EXPECT_EQ(form->outcome(), rk50::TRunOutcome::running);
  services.deliver(104, R"({"reason":"conn_error", "final":1})", 1);
  gui.drain();
  EXPECT_EQ(status(), "Download failed.");
  EXPECT_EQ(form->state(), rk50::st_ready_to_install);
  form->Button1Click();
  services.deliver(104, R"({"reason":"file_error", "final":1})", 2);
  gui.drain();
  EXPECT_EQ(status(), "Download failed.");
  // A partial file the server cannot continue soundly is dropped.
  form->Button1Click();
  ASSERT_GT(ux::write_text_to_file("partial", form->saved_fname()), 0);
  services.deliver(104, R"({"reason":"range_error", "final":1})", 3);
  gui.drain();
  EXPECT_EQ(status(), "Download failed.");
  EXPECT_FALSE(fs::exists(form->saved_fname()));
  EXPECT_EQ(form->state(), rk50::st_ready_to_install);
  services.deliver(104, R"({"reason":"not_available"})");
  gui.drain();
  EXPECT_EQ(status(), "Download failed: downloading is not available in this build.");
  services.deliver(777, R"({})");
  EXPECT_EQ(gui.queued(), 0u);
  EXPECT_EQ(form->state(), rk50::st_ready_to_install);

  env.set("LANG", "zh_CN.UTF-8");
  rk50::select_lang("chn");
  services.deliver(104, R"({"reason":"conn_error"})");
  gui.drain();
  EXPECT_EQ(status(), "连接服务器失败，正在重试...");
}

// Another installer downloading into the same folder: nothing is queued, the
// reason is shown and Start offers the download again.
TEST_F(Controller, ADownloadFolderAnotherInstallerHoldsIsLeftAlone) {
  start();
  services.download_lock_error = "Another installer is downloading into " + ux::exe_dir() + "temp/; try again when it has finished.";
  form->Button1Click();
  EXPECT_TRUE(services.downloads.empty());
  EXPECT_EQ(services.count("deploy:"), 0u);
  EXPECT_EQ(status(), services.download_lock_error);
  EXPECT_EQ(form->state(), rk50::st_ready_to_install);
  EXPECT_EQ(gui.texts[TControl::Button1], "Start");
  EXPECT_EQ(form->outcome(), rk50::TRunOutcome::failed);
  EXPECT_EQ(form->error_text(), services.download_lock_error);

  services.download_lock_error.clear();
  form->Button1Click();
  ASSERT_EQ(services.downloads.size(), 1u);
  EXPECT_EQ(form->outcome(), rk50::TRunOutcome::running);
  // A download that stops for good lets the folder go; one that retries keeps it.
  const size_t released = services.count("release_download");
  services.deliver(104, R"({"reason":"conn_error"})");
  gui.drain();
  EXPECT_EQ(services.count("release_download"), released);
  services.deliver(104, R"({"reason":"conn_error", "final":1})");
  gui.drain();
  EXPECT_EQ(services.count("release_download"), released + 1);
  // So does an installation that fails.
  form->Button1Click();
  services.install_error = "Cannot extract";
  services.deliver(103, R"({})", 1);
  EXPECT_EQ(services.count("release_download"), released + 1);
  gui.drain();
  EXPECT_EQ(services.count("lock_download:"), 3u);
  EXPECT_EQ(services.count("release_download"), released + 2);
}

TEST_F(Controller, ExtractionProgressAtMostOncePerSecond) {
  ux::TFakeClock clock;
  start();
  form->Button1Click();
  services.on_extract = [&](const rk50::TExtractProgressFn& progress) {
    progress(true, 1000);
    clock.advance(500);
    progress(false, 100);
    clock.advance(501);  // 1001 ms since the total
    progress(false, 0);  // value 0 changes nothing
    progress(false, 125);
    clock.advance(1000);
    progress(false, 400);  // exactly one second: not yet
    clock.advance(1);
    progress(false, 1000);
  };
  services.deliver(103, "{}");
  std::vector<std::string> positions;
  gui.log.clear();
  gui.drain();
  for (const auto& e : gui.log) {
    if (e.rfind("progress=", 0) == 0) positions.push_back(e);
  }
  std::vector<std::string> expected = {"progress=100", "progress=12", "progress=99", "progress=100"};
  EXPECT_EQ(positions, expected);
}

TEST_F(Controller, ShortExtractionLeavesBarUntilEnd) {
  ux::TFakeClock clock;
  start();
  form->Button1Click();
  services.on_extract = [&](const rk50::TExtractProgressFn& progress) {
    progress(true, 1000);
    clock.advance(900);
    progress(false, 1000);
  };
  services.deliver(101, R"({"sum":1000})");
  services.deliver(103, "{}");
  gui.log.clear();
  gui.drain();
  size_t n = 0;
  for (const auto& e : gui.log) n += e.rfind("progress=", 0) == 0;
  EXPECT_EQ(n, 3u);  // 101: 0, 103: 100, installed: 100
  EXPECT_EQ(gui.progress, 100);
}

TEST_F(Controller, UpdateModeAppliesPackageThenStartsClient) {
  std::string package = write_file(tmp, "rk50cli_dsk.update.7z");
  start({"upd", package});
  EXPECT_EQ(form->state(), rk50::st_ready_to_update);
  form->Button1Click();
  EXPECT_EQ(form->dest_path(), ux::exe_dir());
  EXPECT_EQ(services.count("apply_update:" + package + "->" + ux::exe_dir()), 1u);
  EXPECT_TRUE(gui.logged("Button1.disable"));
  EXPECT_TRUE(gui.logged("process_messages"));
  EXPECT_TRUE(gui.button_enabled);
  EXPECT_EQ(gui.texts[TControl::Button1], "Install completed!");
  EXPECT_EQ(form->state(), rk50::st_update_done);
  EXPECT_EQ(form->outcome(), rk50::TRunOutcome::updated);
  EXPECT_EQ(services.installed.size(), 0u);

  form->Button1Click();
  auto calls = services.snapshot();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[calls.size() - 2], "start:" + ux::exe_dir() + "rk50cli_dsk");
  EXPECT_EQ(calls.back(), "pause:200");
  EXPECT_TRUE(gui.terminated);
}

TEST_F(Controller, UpdateNotesReachTheGuiAsNotes) {
  std::string package = write_file(tmp, "u.7z");
  services.update_notes = {"Note: update script line 3 (frobnicate x) was passed over: unknown command"};
  start({"upd", package});
  form->Button1Click();
  EXPECT_TRUE(gui.logged("note:Note: update script line 3 (frobnicate x) was passed over: unknown command"));
  EXPECT_EQ(form->state(), rk50::st_update_done);
}

// The close box, processed between script lines, cancels the update: it is
// undone, no error is reported and the run ends aborted.
TEST_F(Controller, ClosingTheWindowDuringTheUpdateCancelsIt) {
  std::string package = write_file(tmp, "u.7z");
  start({"upd", package});
  gui.post([this] {
    bool can_close = false;
    form->FormCloseQuery(can_close);
    form->FormClose();
  });
  form->Button1Click();
  EXPECT_EQ(services.count("apply_update:"), 1u);
  EXPECT_EQ(form->outcome(), rk50::TRunOutcome::aborted);
  EXPECT_EQ(form->error_text(), "Installation aborted.");
  EXPECT_EQ(form->state(), rk50::st_ready_to_update);
  for (const auto& e : gui.log) EXPECT_NE(e.rfind("error:", 0), 0u) << e;
}

TEST_F(Controller, UpdateErrorsAndVanishedPackage) {
  std::string package = write_file(tmp, "u.7z");
  start({"update", package});
  services.update_error = "cp: no such folder";
  form->Button1Click();
  EXPECT_TRUE(gui.logged("error:cp: no such folder"));
  EXPECT_FALSE(gui.button_enabled);
  EXPECT_EQ(form->state(), rk50::st_ready_to_update);
  EXPECT_EQ(form->outcome(), rk50::TRunOutcome::failed);

  fs::remove(package);
  services.calls.clear();
  gui.button_enabled = true;
  form->Button1Click();
  EXPECT_EQ(form->state(), rk50::st_ready_to_update);
  EXPECT_TRUE(services.calls.empty());
  EXPECT_TRUE(gui.button_enabled);
}

TEST_F(Controller, OfflinePackageInstallsWithoutDownload) {
  std::string package = write_file(tmp, "offline.7z");
  start({}, package);
  form->Button1Click();
  EXPECT_EQ(form->state(), rk50::st_downloading);
  EXPECT_EQ(status(), "Installing offline.7z ...");
  EXPECT_EQ(services.downloads.size(), 0u);
  services.join();
  gui.drain();
  EXPECT_EQ(services.count("install:" + package + "->"), 1u);
  ASSERT_EQ(services.installed.size(), 1u);
  EXPECT_FALSE(services.installed[0].delete_package);
  EXPECT_EQ(services.installed[0].saved_fname, package);
  EXPECT_EQ(form->state(), rk50::st_finished);
  EXPECT_EQ(status(), "Install completed!");
  EXPECT_EQ(form->outcome(), rk50::TRunOutcome::installed);
}

TEST(ProductionServices, StartsClientByProcessCodePagePath) {
  qlyn_test::TTempDir tmp{"rk50_start"};
  fs::create_directories(tmp / "客户端");
  std::string client = tmp / "客户端/rk50cli_dsk";
  std::ofstream(client) << "#!/bin/sh\ntouch \"$(dirname \"$0\")/started\"\n";
  fs::permissions(client, fs::perms::owner_all);
  qlyn_test::TCodePageScope gbk(936);
  std::string path = ux::os_to_text(client);
  ASSERT_NE(path, client);
  {
    rk50::TProductionServices services;
    services.start_program(path);
  }
  // The child runs detached; wait for its mark (bounded, not a timing check).
  std::string mark = tmp / "客户端/started";
  EXPECT_TRUE(qlyn_test::eventually([&] { return fs::exists(mark); }, 10000, 10));
}

}  // namespace
