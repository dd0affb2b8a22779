// The Qt window on the offscreen platform during a real download: the
// production services fetch the package from our resource server over
// udp-http, and the window shows status, percent and speed while it comes,
// then installs it. With QLYN_SCREENSHOT_DIR set, the window mid-download is
// saved there as installer-download.png.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>

#include "installer/qt/rk50_qt_window.h"
#include "installer/rk50_package_install.h"
#include "installer/rk50_services.h"
#include "installer/rk50_stp_common.h"
#include "support/archive_maker.h"
#include "support/scoped_env.h"
#include "support/server_tool.h"

namespace {

namespace fs = std::filesystem;

// Production services whose package URL names the test's server.
class TServerServices : public rk50::TProductionServices {
 public:
  explicit TServerServices(std::string url) : url_(std::move(url)) {}
  void add_http_down_file(const std::string& /*url*/, const std::string& headers, const std::string& save_path,
                          const std::string& tag, rk50::TDownloadEventFn on_event) override {
    saved_path = save_path;
    rk50::TProductionServices::add_http_down_file(url_, headers, save_path, tag, std::move(on_event));
  }
  std::string saved_path;

 private:
  std::string url_;
};

// Server services whose installation stops at its first progress report
// until released.
class TGatedServerServices : public TServerServices {
 public:
  using TServerServices::TServerServices;
  void install_package(const rk50::TFinishInstall& args, const rk50::TExtractProgressFn& progress,
                       rk50::TCancelFlag& cancel) override {
    TServerServices::install_package(
        args,
        [&](bool total, int64_t value) {
          arrive_once();
          if (progress) progress(total, value);
        },
        cancel);
  }
  bool arrived() {
    std::lock_guard<std::mutex> l(m_);
    return arrived_;
  }
  void release() {
    std::lock_guard<std::mutex> l(m_);
    released_ = true;
    cv_.notify_all();
  }

 private:
  void arrive_once() {
    std::unique_lock<std::mutex> l(m_);
    if (arrived_) return;
    arrived_ = true;
    cv_.wait_for(l, std::chrono::seconds(60), [&] { return released_; });
  }
  std::mutex m_;
  std::condition_variable cv_;
  bool arrived_ = false, released_ = false;
};

constexpr const char* kPackagePath = "/down/win64/rk50cli_dsk.win64.newest.7z";

// A user whose home is inside dir, in English, and the install package (the
// client and data.bin holding payload) published under dir/www.
void prepare_user_and_package(qlyn_test::TEnvScope& env, const std::string& dir, const std::string& payload) {
  env.set("LANG", "en_US.UTF-8");
  env.unset("LC_ALL");
  env.unset("LC_MESSAGES");
  env.set("HOME", dir + "/home");
  env.set("XDG_DATA_HOME", dir + "/home/.local/share");
  env.set("XDG_CONFIG_HOME", dir + "/home/.config");
  env.set("LOCALAPPDATA", dir + "/appdata");
  qlyn_test::write_file(dir + "/src/win64/rk50cli_dsk", "#!/bin/sh\necho client\n");
  qlyn_test::write_file(dir + "/src/win64/data.bin", payload);
  const std::string package = dir + "/www" + kPackagePath;
  fs::create_directories(fs::path(package).parent_path());
  ASSERT_EQ(qlyn_test::make_7z(package, dir + "/src", "win64", "-mx=0 -p" + rk50::package_password()), 0);
}

void shows_progress_and_speed_then_installs() {
  if (!qlyn_test::have_7zz()) GTEST_SKIP() << "7zz not installed";
  qlyn_test::TTempDir tmp("rk50_qtdown");
  const std::string dir = tmp.path();
  qlyn_test::TEnvScope env;
  const std::string payload = qlyn_test::sample_bytes(32 << 20, 31);
  ASSERT_NO_FATAL_FAILURE(prepare_user_and_package(env, dir, payload));

  qlyn_test::TServerTool server({QLYN_RESOURCE_SERVER_EXE, "--root", dir + "/www", "--port", "0", "--quiet"});
  ASSERT_TRUE(server.listening()) << server.start_output();
  // A link of 16 MB/s: the download lasts a few progress intervals however
  // fast the machine is.
  qlyn_test::TServerTool relay({QLYN_UDP_RELAY_EXE, "--server", server.address(), "--rate", "16000000"});
  ASSERT_TRUE(relay.listening()) << relay.start_output();

  TServerServices services("udp-http://" + relay.address() + kPackagePath);
  rk50::TQtMainWindow w(services, {});
  w.show();
  QApplication::processEvents();
  auto* edit = w.findChild<QLineEdit*>("LabeledEdit1");
  auto* status = w.findChild<QLabel*>("Label2");
  auto* bar = w.findChild<QProgressBar*>("ProgressBar1");
  auto* button = w.findChild<QPushButton*>("Button1");
  ASSERT_TRUE(edit && status && bar && button);
  edit->setText(QString::fromStdString(dir + "/inst"));
  button->click();
  EXPECT_EQ(button->text().toStdString(), "Abort");

  const std::regex progress_text(R"(\d+(\.\d)? [KMG]B / \d+(\.\d)? MB \(\d+KB/s\))");
  bool seen_progress = false;
  std::string seen_text, last_text;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  while (std::chrono::steady_clock::now() < deadline) {
    QApplication::processEvents();
    const std::string text = status->text().toStdString();
    if (text != last_text && text.find("KB/s") != std::string::npos) last_text = text;
    if (!seen_progress && bar->isVisible() && bar->value() > 0 && bar->value() < 100 &&
        std::regex_match(text, progress_text) && text.find("(0KB/s)") == std::string::npos) {
      seen_progress = true;
      seen_text = text;
      const QImage shot = w.grab().toImage();
      EXPECT_EQ(shot.size(), QSize(660, 488));
      if (const char* out = std::getenv("QLYN_SCREENSHOT_DIR")) {
        EXPECT_TRUE(shot.save(QString::fromStdString(std::string(out) + "/installer-download.png")));
      }
    }
    if (text == "Install completed!" || w.form().outcome() == rk50::TRunOutcome::failed) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  QApplication::processEvents();
  EXPECT_TRUE(seen_progress) << "no progress with speed was shown; last: " << last_text;
  EXPECT_EQ(status->text().toStdString(), "Install completed!") << seen_text;
  EXPECT_EQ(button->text().toStdString(), "Close");
  EXPECT_EQ(bar->value(), 100);
  EXPECT_TRUE(qlyn_test::read_file(dir + "/inst/win64/data.bin") == payload);
  EXPECT_FALSE(fs::exists(services.saved_path));
  w.destroy_form();
}

// The installation runs inside the pool's step; closing and destroying the
// window on the GUI thread meanwhile waits for that step (which sees the
// cancellation) instead of deadlocking on it: every GUI change from the
// worker is posted.
void closing_during_the_installation_waits_and_undoes_it() {
  if (!qlyn_test::have_7zz()) GTEST_SKIP() << "7zz not installed";
  qlyn_test::TTempDir tmp("rk50_qtclose");
  const std::string dir = tmp.path();
  qlyn_test::TEnvScope env;
  ASSERT_NO_FATAL_FAILURE(prepare_user_and_package(env, dir, qlyn_test::sample_bytes(4 << 20, 32)));
  qlyn_test::TServerTool server({QLYN_RESOURCE_SERVER_EXE, "--root", dir + "/www", "--port", "0", "--quiet"});
  ASSERT_TRUE(server.listening()) << server.start_output();

  TGatedServerServices services("udp-http://" + server.address() + kPackagePath);
  rk50::TQtMainWindow w(services, {});
  w.show();
  QApplication::processEvents();
  w.findChild<QLineEdit*>("LabeledEdit1")->setText(QString::fromStdString(dir + "/inst"));
  w.findChild<QPushButton*>("Button1")->click();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!services.arrived() && std::chrono::steady_clock::now() < deadline) {
    QApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_TRUE(services.arrived());
  w.close();
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    services.release();
  });
  w.destroy_form();  // joins the worker that is inside the installation
  releaser.join();
  QApplication::processEvents();
  EXPECT_EQ(w.form().outcome(), rk50::TRunOutcome::aborted);
  EXPECT_FALSE(fs::exists(dir + "/inst/win64"));
  EXPECT_FALSE(w.form().is_install_ok());
}

// One test, so its parts run one after the other: the download goes to
// "temp" beside the test program, which parallel processes would share.
TEST(QtWindowDownload, ProgressDuringARealDownloadAndClosingDuringItsInstallation) {
  {
    SCOPED_TRACE("progress and speed, then installed");
    shows_progress_and_speed_then_installs();
  }
  if (HasFatalFailure()) return;
  SCOPED_TRACE("closed during the installation");
  closing_during_the_installation_waits_and_undoes_it();
}

}  // namespace
