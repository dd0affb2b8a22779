// rk50_xe_stp_main: the installer window's controller.
//
// Tmain_form is driven by events (FormCreate, FormShow, Button1Click,
// SpeedButton1Click, FormCloseQuery, FormClose, FormDestroy,
// on_download_event) and acts through two seams: IMainFormGui, the few GUI
// operations on named controls, and IInstallerServices, the download pool,
// package installation, the update runner, library deployment and starting
// the client. Front ends (Qt window, console) implement IMainFormGui;
// production and test services implement IInstallerServices.
//
// Threads: every handler except on_download_event runs on the GUI thread.
// on_download_event and the installation it starts run on a worker; they
// never call IMainFormGui directly but queue their changes with
// IMainFormGui::post, so the button state and every control change on the
// GUI thread only.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "installer/rk50_package_install.h"
#include "installer/rk50_transaction.h"

namespace rk50 {

// Controls of the window's layout.
enum class TControl {
  Form,
  Image1,
  Label1,
  LabeledEdit1,
  LabeledEdit1Label,
  SpeedButton1,
  ProgressBar1,
  Label2,
  Button1,
};
const char* control_name(TControl c) noexcept;

// Button1's Tag: the state code. 0 until FormCreate sets the first state.
enum TButtonState : int32_t {
  st_ready_to_install = 1,
  st_downloading = 2,
  st_finished = 3,
  st_package_missing = 5,
  st_ready_to_update = 6,
  st_update_done = 7,
};

// Layout of the client area and of the controls, in pixels.
struct TControlRect {
  TControl control;
  int left, top, width, height;
};
inline constexpr int form_client_width = 660;
inline constexpr int form_client_height = 488;
extern const TControlRect main_form_layout[];
extern const size_t main_form_layout_count;
const TControlRect& layout_of(TControl c);

// Texts are byte strings in the process code page; the front end converts.
// Every operation except post is called on the GUI thread only.
class IMainFormGui {
 public:
  virtual ~IMainFormGui() = default;
  virtual void set_caption(const std::string& text) = 0;
  // Label1, Label2, Button1, LabeledEdit1, LabeledEdit1Label.
  virtual void set_text(TControl c, const std::string& text) = 0;
  virtual std::string edit_text() = 0;  // LabeledEdit1
  virtual void set_visible(TControl c, bool visible) = 0;
  virtual void set_button_enabled(bool enabled) = 0;  // Button1
  virtual void set_progress_range(int min, int max) = 0;
  virtual void set_progress_position(int pos) = 0;
  virtual void set_left(TControl c, int left) = 0;
  virtual int width(TControl c) = 0;  // TControl::Form: the client area's width
  // Modal yes/no confirmation; true for Yes.
  virtual bool confirm(const std::string& question) = 0;
  // Folder picker starting at start_dir that can create folders; false when
  // cancelled, chosen untouched then.
  virtual bool pick_folder(const std::string& start_dir, std::string& chosen) = 0;
  // The platform's error report (a message box, stderr).
  virtual void show_error(const std::string& text) = 0;
  // A remark a window keeps to itself and a console prints (an update
  // script line passed over).
  virtual void show_note(const std::string& text) = 0;
  virtual void close_window() = 0;
  virtual void terminate_app() = 0;
  virtual void process_messages() = 0;
  // Queues fn to run on the GUI thread, in order of posting. Callable from
  // any thread; never runs fn inline on a worker.
  virtual void post(std::function<void()> fn) = 0;
};

// Event method of a download: ev code and its JSON text (downloader events
// 2, 101, 102, 103, 104). Called on a worker thread; must not throw.
using TDownloadEventFn = std::function<void(int32_t ev, const std::string& ev_data)>;

class IInstallerServices {
 public:
  virtual ~IInstallerServices() = default;
  // Download pool. add_http_down_file returns at once; on_event is called on
  // a worker until the pool is destroyed.
  virtual void add_http_down_file(const std::string& url, const std::string& headers,
                                  const std::string& save_path, const std::string& tag,
                                  TDownloadEventFn on_event) = 0;
  virtual void set_pool_active(bool active) = 0;
  // Takes the download folder for this process until release_download_folder
  // or the services' end, so that two installers never write into one
  // partial package. Throws ux::Exception in the user's language when
  // another installer holds it or it cannot be opened.
  virtual void lock_download_folder(const std::string& folder) = 0;
  virtual void release_download_folder() = 0;
  // Stops the pool's workers (waits for them) and frees the pool; waits for
  // the background work.
  virtual void destroy_pool() = 0;
  // Writes the carried archive library beside the executable when it is
  // missing or differs and the folder can be written; never throws.
  virtual void deploy_archive_library(const std::string& self_dir) = 0;
  // Installs the package as one transaction on the calling thread
  // (extraction, desktop entries, updater copy, download deleted); what it
  // replaced may still be deleted in the background afterwards, until
  // destroy_pool or the services' destruction waits for it; progress
  // may be empty, cancel is checked while the package extracts and while its
  // files move into place. Throws ux::Exception — TCancelled after a
  // cancellation — with the previous installation restored.
  virtual void install_package(const TFinishInstall& args, const TExtractProgressFn& progress,
                               TCancelFlag& cancel) = 0;
  // Applies the update package to install_dir as one transaction (its own
  // staging folder, the script's lines undone when one fails);
  // process_events is called between script lines and while the package
  // extracts, cancel is checked there. Returns the notes on lines passed
  // over. Throws ux::Exception — TCancelled after a cancellation — with the
  // installation restored.
  virtual std::vector<std::string> apply_update_package(const std::string& package_path,
                                                        const std::string& install_dir,
                                                        const std::function<void()>& process_events,
                                                        TCancelFlag& cancel) = 0;
  // Runs job on a worker thread; destroy_pool waits for it.
  virtual void run_background(std::function<void()> job) = 0;
  // Starts the program (path in the process code page) detached, shown
  // normally; failures are ignored.
  virtual void start_program(const std::string& path) = 0;
  virtual void pause_ms(int ms) = 0;
};

// What a run ended with, for the console front end's exit status.
enum class TRunOutcome { running, installed, updated, aborted, failed };

struct TStartOptions {
  std::vector<std::string> args;  // command line after the program name
  std::string package_file;       // --package: install this file, no download
};

// qlyn-setup's command line as both front ends take it.
struct TFrontendOptions {
  TStartOptions start;
  bool yes = false;  // console: answer every prompt with the default that continues
  std::string dir;   // installation folder; empty keeps the default
};

class Tmain_form {
 public:
  Tmain_form(IMainFormGui& gui, IInstallerServices& services, TStartOptions options);
  ~Tmain_form();
  Tmain_form(const Tmain_form&) = delete;
  Tmain_form& operator=(const Tmain_form&) = delete;

  void FormCreate();
  void FormShow();
  void Button1Click();
  void SpeedButton1Click();
  void FormCloseQuery(bool& CanClose);
  void FormClose();
  void FormDestroy();
  // Any thread. Requ is not used.
  void on_download_event(void* Requ, int32_t ev, const std::string& ev_data);

  // GUI thread.
  TButtonState state() const noexcept { return f_state; }
  int32_t mode() const noexcept { return rt.mode; }
  const std::string& dest_path() const noexcept { return rt.dest_path; }
  const std::string& saved_fname() const noexcept { return rt.saved_fname; }
  const std::string& svr_url() const noexcept { return config.svr_url; }
  const std::string& selfpath() const noexcept { return config.selfpath; }
  TRunOutcome outcome() const noexcept { return f_outcome; }
  const std::string& error_text() const noexcept { return f_error_text; }
  // Any thread.
  bool is_install_ok() const noexcept { return rt.is_install_ok.load(); }

  // Percent of pos in sum for a progress bar that reaches 100 only at the end:
  // 0 when sum <= 0, else pos / sum * 100 rounded half to even, within 0..99.
  static int32_t progress_percent(int64_t pos, int64_t sum);
  // Speed in bytes per second as "<n>KB/s": truncated to 32 bits, / 1000.
  static std::string speed_text(int64_t bytes_per_second);

 private:
  struct {
    int32_t mode = 1;
    std::string dest_path;
    std::string saved_fname;
    std::atomic<bool> is_install_ok{false};
  } rt;
  // Extraction progress, touched only by the thread running install_package.
  class TProgressSink : public IExtractProgress {
   public:
    explicit TProgressSink(Tmain_form& form) : form_(form) {}
    void set_progress_position(int percent) override;

   private:
    Tmain_form& form_;
  };
  TProgressSink progress_sink_{*this};
  TInstallProgress install;
  struct {
    std::string svr_url;
    std::string cfgFile;
    std::string selfpath;
  } config;

  // Every change of the state code goes through here.
  void set_state(TButtonState state);
  void load_config();
  void start_download();
  void start_local_install();
  // The installation transaction; throws. Runs on a worker.
  void install_package(const std::string& archive_path, bool delete_package);
  // GUI thread: the download stopped for good (text says why); Start offers
  // it again.
  void download_stopped(const std::string& text);
  // install_package with its errors caught and shown in Label2.
  void install_on_worker(const std::string& archive_path, bool delete_package);
  // Stops the installation or update of this run unless it has already
  // completed; true when nothing completed (the run ends as aborted).
  bool cancel_run();
  void apply_update_package();
  void center(TControl c);
  // From a worker: queue fn for the GUI thread.
  void gui_post(std::function<void()> fn);

  IMainFormGui& gui_;
  IInstallerServices& services_;
  TStartOptions options_;
  // The run's cancellation: requested by the abort confirmation and by
  // closing the window, read by the worker that installs.
  TCancelFlag cancel_;
  TButtonState f_state{};
  // Size of the whole file when the download resumed a partial one, else 0
  // (download events, one at a time on a worker).
  std::atomic<int64_t> download_total_{0};
  TRunOutcome f_outcome = TRunOutcome::running;
  std::string f_error_text;
};

// The process-wide window reference: set when a Tmain_form is constructed,
// cleared by its FormDestroy. Download events arriving while it is clear are
// ignored.
Tmain_form* main_form() noexcept;

}  // namespace rk50
