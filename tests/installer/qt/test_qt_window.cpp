#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include <unistd.h>

#include "installer/qt/rk50_qt_window.h"
#include "installer/rk50_stp_common.h"
#include "rk50_fakes.h"
#include "installer/rk50_package_install.h"
#include "installer/rk50_services.h"
#include "support/archive_maker.h"
#include "support/scoped_env.h"

namespace {

namespace fs = std::filesystem;
using rk50::TQtMainWindow;
using rk50_test::TRecordingServices;

template <class W>
W* find(QWidget& window, const char* name) {
  W* w = window.findChild<W*>(name);
  EXPECT_NE(w, nullptr) << name;
  return w;
}

std::string text_of(QWidget& window, const char* name) {
  if (auto* l = window.findChild<QLabel*>(name)) return l->text().toStdString();
  if (auto* b = window.findChild<QPushButton*>(name)) return b->text().toStdString();
  if (auto* e = window.findChild<QLineEdit*>(name)) return e->text().toStdString();
  ADD_FAILURE() << "no control " << name;
  return {};
}

// Hands the next modal message box to handle once it is open. The event
// loop runs the check at every pass until a box is there.
void when_box_opens(std::function<void(QMessageBox*)> handle) {
  auto* timer = new QTimer(qApp);
  QObject::connect(timer, &QTimer::timeout, [timer, handle] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    timer->stop();
    timer->deleteLater();
    handle(box);
  });
  timer->start(0);
}

void answer_next_box(QMessageBox::StandardButton button) {
  when_box_opens([button](QMessageBox* box) { box->button(button)->click(); });
}

class QtWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    setenv("LANG", "en_US.UTF-8", 1);
    setenv("LOCALAPPDATA", dir.c_str(), 1);
  }
  void TearDown() override { rk50::select_lang("chn"); }
  std::unique_ptr<TQtMainWindow> open(rk50::TStartOptions options = {}) {
    auto w = std::make_unique<TQtMainWindow>(services, options);
    w->show();
    QApplication::processEvents();
    return w;
  }

  qlyn_test::TTempDir tmp{"rk50_qt"};
  const std::string dir = tmp.path();
  TRecordingServices services;
};

TEST_F(QtWindow, EnglishInstallWindowLayout) {
  auto w = open();
  EXPECT_EQ(w->windowTitle().toStdString(), "QLYN Desktop Installer");
  EXPECT_EQ(w->size(), QSize(660, 488));
  EXPECT_EQ(text_of(*w, "Label1"), "Will install QLYN client for Windows");
  EXPECT_EQ(text_of(*w, "LabeledEdit1.Label"), "Destnation:");
  EXPECT_EQ(text_of(*w, "LabeledEdit1"), dir + "/qlyn/client/");
  EXPECT_EQ(text_of(*w, "Button1"), "Start");
  auto* button = find<QPushButton>(*w, "Button1");
  EXPECT_TRUE(button->isDefault());
  EXPECT_EQ(button->geometry(), QRect((660 - 137) / 2, 413, 137, 44));
  EXPECT_EQ(find<QLabel>(*w, "Label1")->geometry(), QRect((660 - 383) / 2, 110, 383, 33));
  EXPECT_EQ(find<QLabel>(*w, "Image1")->geometry(), QRect((660 - 64) / 2, 28, 64, 62));
  EXPECT_EQ(find<QLineEdit>(*w, "LabeledEdit1")->geometry(), QRect(119, 244, 409, 28));
  EXPECT_EQ(find<QToolButton>(*w, "SpeedButton1")->text(), "...");
  EXPECT_FALSE(find<QProgressBar>(*w, "ProgressBar1")->isVisible());
  EXPECT_FALSE(find<QLabel>(*w, "Label2")->isVisible());
  EXPECT_TRUE(find<QLineEdit>(*w, "LabeledEdit1")->isVisible());

  QImage shot = w->grab().toImage();
  EXPECT_EQ(shot.size(), QSize(660, 488));
  QColor corner = shot.pixelColor(2, 2);
  EXPECT_NE(shot.pixelColor(330, 59), corner);  // the picture is drawn
}

TEST_F(QtWindow, ChineseUpdateWindow) {
  setenv("LANG", "zh_CN.UTF-8", 1);
  std::string package = dir + "/update.7z";
  std::ofstream(package) << "7z";
  rk50::TStartOptions options;
  options.args = {"UPD", package};
  auto w = open(options);
  EXPECT_EQ(w->windowTitle().toStdString(), "Qlyn客户端安装器");
  EXPECT_EQ(text_of(*w, "Label1"), "升级更新Qlyn客户端软件");
  EXPECT_EQ(text_of(*w, "Button1"), "开始安装更新");
  EXPECT_FALSE(find<QLineEdit>(*w, "LabeledEdit1")->isVisible());
  EXPECT_FALSE(find<QLabel>(*w, "LabeledEdit1.Label")->isVisible());
  EXPECT_FALSE(find<QToolButton>(*w, "SpeedButton1")->isVisible());
  EXPECT_EQ(w->form().state(), rk50::st_ready_to_update);

  find<QPushButton>(*w, "Button1")->click();
  EXPECT_EQ(w->form().state(), rk50::st_update_done);
  EXPECT_EQ(text_of(*w, "Button1"), "安装完毕！");
  EXPECT_TRUE(find<QPushButton>(*w, "Button1")->isEnabled());

  find<QPushButton>(*w, "Button1")->click();
  EXPECT_EQ(services.count("start:" + ux::exe_dir() + "rk50cli_dsk"), 1u);
  EXPECT_EQ(services.count("pause:200"), 1u);
  EXPECT_FALSE(w->isVisible());
}

TEST_F(QtWindow, BothModesInBothLanguages) {
  std::string package = dir + "/p.7z";
  std::ofstream(package) << "7z";
  struct {
    const char* lang;
    bool update;
    const char *caption, *title, *button, *label;
  } cases[] = {
      {"zh_CN.UTF-8", false, "Qlyn客户端安装器", "安装最新版本的Qlyn客户端软件", "开始安装更新", "安装目录："},
      {"zh_CN.UTF-8", true, "Qlyn客户端安装器", "升级更新Qlyn客户端软件", "开始安装更新", "安装目录："},
      {"en_US.UTF-8", false, "QLYN Desktop Installer", "Will install QLYN client for Windows", "Start", "Destnation:"},
      {"en_US.UTF-8", true, "QLYN Desktop Installer", "Upgrade QLYN client for Windows", "Start", "Destnation:"},
  };
  for (const auto& c : cases) {
    setenv("LANG", c.lang, 1);
    rk50::TStartOptions options;
    if (c.update) options.args = {"upd", package};
    auto w = open(options);
    EXPECT_EQ(w->windowTitle().toStdString(), c.caption) << c.lang;
    EXPECT_EQ(text_of(*w, "Label1"), c.title) << c.lang;
    EXPECT_EQ(text_of(*w, "Button1"), c.button) << c.lang;
    EXPECT_EQ(text_of(*w, "LabeledEdit1.Label"), c.label) << c.lang;
    EXPECT_EQ(find<QLineEdit>(*w, "LabeledEdit1")->isVisible(), !c.update) << c.lang;
    EXPECT_EQ(find<QToolButton>(*w, "SpeedButton1")->isVisible(), !c.update) << c.lang;
    EXPECT_EQ(w->form().state(), c.update ? rk50::st_ready_to_update : rk50::st_ready_to_install) << c.lang;
    w->destroy_form();
  }
}

TEST_F(QtWindow, MissingUpdatePackageLeavesButtonInert) {
  rk50::TStartOptions options;
  options.args = {"update", dir + "/missing.7z"};
  auto w = open(options);
  EXPECT_EQ(w->form().state(), rk50::st_package_missing);
  find<QPushButton>(*w, "Button1")->click();
  QApplication::processEvents();
  EXPECT_EQ(w->form().state(), rk50::st_package_missing);
  EXPECT_TRUE(w->isVisible());
  EXPECT_TRUE(services.calls.empty());
}

TEST_F(QtWindow, WorkerEventsReachTheWindowQueued) {
  auto w = open();
  find<QLineEdit>(*w, "LabeledEdit1")->setText(QString::fromStdString(dir + "/typed"));
  find<QPushButton>(*w, "Button1")->click();
  EXPECT_EQ(text_of(*w, "Button1"), "Abort");
  EXPECT_EQ(text_of(*w, "Label2"), "connect server and download data.");
  EXPECT_TRUE(find<QProgressBar>(*w, "ProgressBar1")->isVisible());
  EXPECT_FALSE(find<QLineEdit>(*w, "LabeledEdit1")->isVisible());

  services.deliver(101, R"({"sum":13107200})");
  EXPECT_EQ(text_of(*w, "Label2"), "connect server and download data.");
  QApplication::processEvents();
  EXPECT_EQ(text_of(*w, "Label2"), "0 / 12.5 MB (0KB/s)");
  services.deliver(102, R"({"pos":3670016, "sum":13107200, "speed":850000})");
  QApplication::processEvents();
  EXPECT_EQ(text_of(*w, "Label2"), "3.5 MB / 12.5 MB (850KB/s)");
  EXPECT_EQ(find<QProgressBar>(*w, "ProgressBar1")->value(), 28);

  services.deliver(103, "{}");
  QApplication::processEvents();
  EXPECT_EQ(find<QProgressBar>(*w, "ProgressBar1")->value(), 100);
  EXPECT_EQ(text_of(*w, "Label2"), "Install completed!");
  EXPECT_EQ(text_of(*w, "Button1"), "Close");
  EXPECT_EQ(w->form().state(), rk50::st_finished);
  EXPECT_EQ(services.count("install:" + w->form().saved_fname() + "->" + dir + "/typed/"), 1u);

  find<QPushButton>(*w, "Button1")->click();
  EXPECT_FALSE(w->isVisible());
}

TEST_F(QtWindow, AbortAsksAndClosesOnYes) {
  auto w = open();
  find<QPushButton>(*w, "Button1")->click();
  answer_next_box(QMessageBox::No);
  find<QPushButton>(*w, "Button1")->click();
  EXPECT_EQ(w->form().state(), rk50::st_downloading);
  EXPECT_TRUE(w->isVisible());

  QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(w.get(), &escape);
  QApplication::processEvents();
  EXPECT_TRUE(w->isVisible());
  EXPECT_EQ(w->form().state(), rk50::st_downloading);
  EXPECT_EQ(services.count("pool_inactive"), 0u);

  answer_next_box(QMessageBox::Yes);
  find<QPushButton>(*w, "Button1")->click();
  EXPECT_EQ(w->form().state(), rk50::st_finished);
  EXPECT_FALSE(w->isVisible());
  EXPECT_EQ(services.count("pool_inactive"), 2u);
  w->destroy_form();
  EXPECT_EQ(services.count("destroy_pool"), 1u);
  EXPECT_EQ(rk50::main_form(), nullptr);
}

TEST_F(QtWindow, FolderPickerFillsTheEditBox) {
  auto w = open();
  fs::create_directories(dir + "/picked");
  std::string started_at;
  auto* timer = new QTimer(qApp);
  QObject::connect(timer, &QTimer::timeout, [timer, &started_at, this] {
    auto* picker = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (!picker) return;
    timer->stop();
    timer->deleteLater();
    started_at = picker->directory().absolutePath().toStdString();
    picker->setDirectory(QString::fromStdString(dir + "/picked"));
    picker->selectFile(QString::fromStdString(dir + "/picked"));
    static_cast<QDialog*>(picker)->accept();
  });
  timer->start(0);
  find<QToolButton>(*w, "SpeedButton1")->click();
  EXPECT_EQ(started_at, dir);  // the nearest existing parent of dir/qlyn/client/
  EXPECT_EQ(text_of(*w, "LabeledEdit1"), dir + "/picked/");
  find<QPushButton>(*w, "Button1")->click();
  EXPECT_EQ(w->form().dest_path(), dir + "/picked/");
}

TEST_F(QtWindow, UpdateErrorIsReported) {
  std::string package = dir + "/u.7z";
  std::ofstream(package) << "7z";
  services.update_error = "cp: no such folder";
  rk50::TStartOptions options;
  options.args = {"update", package};
  auto w = open(options);
  QString shown;
  when_box_opens([&shown](QMessageBox* box) {
    shown = box->text();
    box->button(QMessageBox::Ok)->click();
  });
  find<QPushButton>(*w, "Button1")->click();
  EXPECT_EQ(shown.toStdString(), "cp: no such folder");
  EXPECT_FALSE(find<QPushButton>(*w, "Button1")->isEnabled());
  EXPECT_EQ(w->form().state(), rk50::st_ready_to_update);
}

// Production services whose installation stops at its first progress report
// until the test lets it go on.
class TGatedServices : public rk50::TProductionServices {
 public:
  void install_package(const rk50::TFinishInstall& args, const rk50::TExtractProgressFn& progress,
                       rk50::TCancelFlag& cancel) override {
    rk50::TProductionServices::install_package(
        args,
        [&](bool total, int64_t value) {
          gate.arrive_and_wait();
          if (progress) progress(total, value);
        },
        cancel);
  }

  rk50_test::TGate gate;
};

// Installs a package with production services held at their first
// progress report, closes the window there with close(window) and checks
// that the installation stopped and left nothing behind.
class QtWindowClosing : public QtWindow {
 protected:
  void SetUp() override {
    QtWindow::SetUp();
    if (!qlyn_test::have_7zz()) GTEST_SKIP() << "7zz not installed";
  }
  void close_during_the_extraction(const std::function<void(TQtMainWindow&)>& close) {
    qlyn_test::TEnvScope home("HOME", dir + "/home"), data("XDG_DATA_HOME", dir + "/home/.local/share"),
        config("XDG_CONFIG_HOME", dir + "/home/.config");
    qlyn_test::write_file(dir + "/src/win64/rk50cli_dsk", "client");
    qlyn_test::write_file(dir + "/src/win64/data.bin", qlyn_test::sample_bytes(1 << 20, 9));
    const std::string package = dir + "/client.7z";
    ASSERT_EQ(qlyn_test::make_7z(package, dir + "/src", "win64", "-p" + rk50::package_password()), 0);
    TGatedServices gated;
    rk50::TStartOptions options;
    options.package_file = package;
    auto w = std::make_unique<TQtMainWindow>(gated, options);
    w->show();
    QApplication::processEvents();
    find<QLineEdit>(*w, "LabeledEdit1")->setText(QString::fromStdString(dir + "/inst"));
    find<QPushButton>(*w, "Button1")->click();
    ASSERT_TRUE(gated.gate.wait_arrival());
    close(*w);
    EXPECT_FALSE(w->isVisible());
    gated.gate.release();
    w->destroy_form();
    QApplication::processEvents();
    EXPECT_EQ(w->form().outcome(), rk50::TRunOutcome::aborted);
    EXPECT_EQ(text_of(*w, "Label2"), "Installation aborted.");
    EXPECT_FALSE(fs::exists(dir + "/inst"));
    EXPECT_FALSE(fs::exists(dir + "/home/Desktop"));
    EXPECT_TRUE(fs::exists(package));
    for (const auto& e : fs::directory_iterator(dir))
      EXPECT_NE(e.path().filename().string().rfind(".rk50-", 0), 0u);
  }
};

TEST_F(QtWindowClosing, TheCloseBoxUndoesTheInstallation) {
  close_during_the_extraction([](TQtMainWindow& w) { w.close(); });
}

// The session ending or the terminal going away closes the window as its
// close box does, instead of ending the process mid-installation.
TEST_F(QtWindowClosing, EndSignalsCloseTheWindowAndUndoTheInstallation) {
  for (int sig : {SIGTERM, SIGHUP}) {
    close_during_the_extraction([sig](TQtMainWindow& w) {
      rk50::TCloseOnSignal on_signal(w);
      ASSERT_EQ(::kill(::getpid(), sig), 0);
      for (int i = 0; i < 1000 && w.isVisible(); ++i) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    });
    if (HasFailure()) break;
  }
}

}  // namespace
