// rk50_qt_window: the Qt 6 Widgets window of qlyn-setup.
//
// TQtMainWindow lays out the controls of the installer window (660 x 488
// client area, centred) and implements IMainFormGui for Tmain_form, which it
// owns. Controls carry their layout names as object names ("Label2", ...).
// post() queues to the window's thread; queued changes are dropped when the
// window is destroyed first.
#pragma once

#include <QDialog>
#include <memory>

#include "installer/rk50_xe_stp_main.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSocketNotifier;
class QToolButton;

namespace rk50 {

class TQtMainWindow : public QDialog, public IMainFormGui {
  Q_OBJECT

 public:
  // Runs FormCreate; FormShow runs when the window is first shown.
  TQtMainWindow(IInstallerServices& services, TStartOptions options, QWidget* parent = nullptr);
  ~TQtMainWindow() override;  // runs FormDestroy when not yet run

  Tmain_form& form() { return *form_; }
  // FormDestroy: stops the pool and the background jobs. Idempotent.
  void destroy_form();

  void set_caption(const std::string& text) override;
  void set_text(TControl c, const std::string& text) override;
  std::string edit_text() override;
  void set_visible(TControl c, bool visible) override;
  void set_button_enabled(bool enabled) override;
  void set_progress_range(int min, int max) override;
  void set_progress_position(int pos) override;
  void set_left(TControl c, int left) override;
  int width(TControl c) override;
  bool confirm(const std::string& question) override;
  bool pick_folder(const std::string& start_dir, std::string& chosen) override;
  void show_error(const std::string& text) override;
  void show_note(const std::string& text) override;
  void close_window() override;
  void terminate_app() override;
  void process_messages() override;
  void post(std::function<void()> fn) override;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void reject() override;  // Escape: ignored

 private:
  QWidget* control(TControl c);

  QLabel* image1_ = nullptr;
  QLabel* label1_ = nullptr;
  QLabel* edit_label_ = nullptr;
  QLineEdit* edit1_ = nullptr;
  QToolButton* speed_button1_ = nullptr;
  QProgressBar* progress_bar1_ = nullptr;
  QLabel* label2_ = nullptr;
  QPushButton* button1_ = nullptr;
  std::unique_ptr<Tmain_form> form_;
  bool shown_ = false;
  bool destroyed_ = false;
};

class TSignalCatcher;

// For its life, SIGTERM, SIGHUP and SIGINT close window as its close box
// does (the run in progress is cancelled and rolled back) instead of ending
// the process in the middle of it; SIGPIPE is ignored (rk50_signals). One
// at a time; GUI thread.
class TCloseOnSignal {
 public:
  explicit TCloseOnSignal(QWidget& window);
  ~TCloseOnSignal();
  TCloseOnSignal(const TCloseOnSignal&) = delete;
  TCloseOnSignal& operator=(const TCloseOnSignal&) = delete;

 private:
  int pipe_[2] = {-1, -1};
  std::unique_ptr<TSignalCatcher> catcher_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

// The product picture, 144 x 144, drawn at run time.
QPixmap product_picture();
// Fusion style and a CJK-capable font on the application.
void apply_application_look();

// Runs the window until the application ends; the exit status is 1 when the
// run ended in an error or was aborted (the window closed before the end),
// else 0.
int run_qt_window(int& argc, char** argv, const TFrontendOptions& options, IInstallerServices& services);
// Renders the window on the offscreen platform in the locale's language to a
// PNG at path. 0 on success.
int render_screenshot(const std::string& path, const TStartOptions& start);

}  // namespace rk50
