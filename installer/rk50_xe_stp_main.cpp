#include "installer/rk50_xe_stp_main.h"

#include <cmath>
#include <exception>
#include <sys/stat.h>

#include "common/net/ux_http_cli_downloader.h"
#include "common/platform/ux_ini.h"
#include "common/ux_common.h"
#include "common/ux_file_path.h"
#include "installer/rk50_env.h"
#include "installer/rk50_stp_common.h"

namespace rk50 {

namespace {

std::atomic<Tmain_form*> g_main_form{nullptr};

constexpr int client_start_pause_ms = 200;
constexpr const char* download_tag = "main-file";

// A non-directory exists at path (links followed).
bool file_exists(const std::string& path) {
  if (path.empty()) return false;
  struct stat st {};
  return ::stat(ux::text_to_os(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

}  // namespace

const TControlRect main_form_layout[] = {
    {TControl::Image1, 280, 28, 64, 62},
    {TControl::Label1, 119, 110, 383, 33},
    {TControl::LabeledEdit1, 119, 244, 409, 28},
    {TControl::SpeedButton1, 534, 244, 26, 24},
    {TControl::ProgressBar1, 119, 266, 409, 18},
    {TControl::Label2, 119, 290, 402, 36},
    {TControl::Button1, 248, 413, 137, 44},
};
const size_t main_form_layout_count = sizeof(main_form_layout) / sizeof(main_form_layout[0]);

const TControlRect& layout_of(TControl c) {
  for (const auto& r : main_form_layout) {
    if (r.control == c) return r;
  }
  static const TControlRect form{TControl::Form, 0, 0, form_client_width, form_client_height};
  return form;
}

const char* control_name(TControl c) noexcept {
  switch (c) {
    case TControl::Form: return "Form";
    case TControl::Image1: return "Image1";
    case TControl::Label1: return "Label1";
    case TControl::LabeledEdit1: return "LabeledEdit1";
    case TControl::LabeledEdit1Label: return "LabeledEdit1.Label";
    case TControl::SpeedButton1: return "SpeedButton1";
    case TControl::ProgressBar1: return "ProgressBar1";
    case TControl::Label2: return "Label2";
    case TControl::Button1: return "Button1";
  }
  return "?";
}

Tmain_form* main_form() noexcept { return g_main_form.load(); }

Tmain_form::Tmain_form(IMainFormGui& gui, IInstallerServices& services, TStartOptions options)
    : gui_(gui), services_(services), options_(std::move(options)) {
  g_main_form.store(this);
}

Tmain_form::~Tmain_form() {
  Tmain_form* self = this;
  g_main_form.compare_exchange_strong(self, nullptr);
}

int32_t Tmain_form::progress_percent(int64_t pos, int64_t sum) {
  if (sum <= 0) return 0;
  double p = static_cast<double>(pos) / static_cast<double>(sum) * 100.0;
  if (!(p > 0)) return 0;
  if (p > 99) return 99;
  return static_cast<int32_t>(std::nearbyint(p));
}

std::string Tmain_form::speed_text(int64_t bytes_per_second) {
  int32_t s = static_cast<int32_t>(bytes_per_second);
  return std::to_string(s / 1000) + "KB/s";
}

void Tmain_form::set_state(TButtonState state) { f_state = state; }

void Tmain_form::gui_post(std::function<void()> fn) { gui_.post(std::move(fn)); }

void Tmain_form::center(TControl c) { gui_.set_left(c, (gui_.width(TControl::Form) - gui_.width(c)) / 2); }

void Tmain_form::FormCreate() {
  select_system_lang();
  gui_.set_caption(lang_text(msg_caption));
  gui_.set_visible(TControl::ProgressBar1, false);
  gui_.set_visible(TControl::Label2, false);
  set_state(st_ready_to_install);
  rt.dest_path = default_install_dir();
  gui_.set_text(TControl::LabeledEdit1, rt.dest_path);
  load_config();

  const auto& args = options_.args;
  if (!args.empty() && ux::ci_equal_any2(args[0], "update", "upd")) {
    rt.mode = 2;
    rt.saved_fname = args.size() > 1 ? args[1] : std::string();
    set_state(file_exists(rt.saved_fname) ? st_ready_to_update : st_package_missing);
  } else {
    rt.mode = 1;
  }
}

void Tmain_form::load_config() {
  config.selfpath = ux::exe_dir();
  config.cfgFile = config.selfpath + "config.ini";
  config.svr_url = ux::read_ini_string(ux::text_to_os(config.cfgFile), "common", "svr_url");
  ux::force_dirs(config.selfpath + "temp");
}

void Tmain_form::FormShow() {
  center(TControl::Button1);
  gui_.set_text(TControl::Button1, lang_text(msg_start));
  center(TControl::Label1);
  center(TControl::Image1);
  gui_.set_text(TControl::Label1, lang_text(msg_title_install));
  gui_.set_text(TControl::LabeledEdit1Label, lang_text(msg_destination));
  if (rt.mode == 2) {
    gui_.set_text(TControl::Label1, lang_text(msg_title_update));
    gui_.set_visible(TControl::LabeledEdit1, false);
    gui_.set_visible(TControl::SpeedButton1, false);
    gui_.set_text(TControl::Button1, lang_text(msg_start));
  }
}

void Tmain_form::Button1Click() {
  switch (f_state) {
    case st_ready_to_install: {
      gui_.set_visible(TControl::LabeledEdit1, false);
      gui_.set_visible(TControl::ProgressBar1, true);
      gui_.set_visible(TControl::Label2, true);
      gui_.set_visible(TControl::SpeedButton1, false);
      set_state(st_downloading);
      f_outcome = TRunOutcome::running;
      f_error_text.clear();
      gui_.set_text(TControl::Button1, lang_text(msg_abort));
      std::string typed = ux::trim_text(gui_.edit_text());
      if (!typed.empty()) rt.dest_path = user_folder(typed);
      if (options_.package_file.empty()) {
        gui_.set_text(TControl::Label2, lang_text(msg_connecting));
        start_download();
      } else {
        start_local_install();
      }
      break;
    }
    case st_downloading:
      // An installation that completed while the question was open stands.
      if (gui_.confirm(lang_text(msg_abort_question)) && cancel_run()) {
        set_state(st_finished);
        f_outcome = TRunOutcome::aborted;
        f_error_text = lang_text(msg_install_aborted);
        gui_.close_window();
      }
      break;
    case st_finished:
      gui_.terminate_app();
      break;
    case st_ready_to_update:
      apply_update_package();
      break;
    case st_update_done:
      services_.start_program(ux::exe_dir() + kClientExeName);
      services_.pause_ms(client_start_pause_ms);
      gui_.terminate_app();
      break;
    default:
      break;
  }
}

void Tmain_form::SpeedButton1Click() {
  std::string chosen;
  if (gui_.pick_folder(ux::TUX_Path::ExtractFilePath(rt.dest_path), chosen) && !ux::trim_text(chosen).empty())
    gui_.set_text(TControl::LabeledEdit1, user_folder(chosen));
}

bool Tmain_form::cancel_run() { return cancel_.request(); }

void Tmain_form::start_download() {
  rt.is_install_ok = false;
  if (rt.mode != 1) return;
  std::string url = package_url(config.svr_url);
  const std::string folder = download_folder(config.selfpath);
  try {
    services_.lock_download_folder(folder);
  } catch (const std::exception& e) {
    gui_.set_text(TControl::Label2, e.what());
    download_stopped(e.what());
    return;
  }
  rt.saved_fname = folder + ux::TUX_Path::extractfileName(url);
  download_total_ = 0;
  services_.add_http_down_file(url, "", rt.saved_fname, download_tag,
                               [this](int32_t ev, const std::string& data) {
                                 on_download_event(nullptr, ev, data);
                               });
  services_.deploy_archive_library(config.selfpath);
}

void Tmain_form::start_local_install() {
  rt.is_install_ok = false;
  rt.saved_fname = options_.package_file;
  gui_.set_text(TControl::Label2, lang_text_fmt(msg_installing_fmt, {ux::TUX_Path::extractfileName(rt.saved_fname)}));
  gui_.set_progress_range(0, 100);
  gui_.set_progress_position(0);
  services_.deploy_archive_library(config.selfpath);
  std::string archive = rt.saved_fname;
  services_.run_background([this, archive] { install_on_worker(archive, false); });
}

void Tmain_form::on_download_event(void* /*Requ*/, int32_t ev, const std::string& ev_data) {
  if (main_form() == nullptr) return;
  try {
    switch (ev) {
      case 2: {
        std::string text = lang_text(msg_connected);
        gui_post([this, text] { gui_.set_text(TControl::Label2, text); });
        break;
      }
      case 101: {
        int64_t pos = ux::json_text_int(ev_data, "pos");
        int64_t sum = ux::json_text_int(ev_data, "sum");
        int64_t sum_full = ux::json_text_int(ev_data, "sum_full");
        int64_t speed = ux::json_text_int(ev_data, "speed");
        // A resumed download counts against the whole file: "45 MB / 50 MB".
        const bool resumed = sum_full > sum && sum_full > 0 && pos > 0;
        download_total_ = resumed ? sum_full : 0;
        int32_t percent = resumed ? progress_percent(pos, sum_full) : 0;
        std::string text = resumed ? lang_text_fmt(msg_progress_fmt,
                                                   {ux::size_text(pos), ux::size_text(sum_full), speed_text(speed)})
                                   : lang_text_fmt(msg_progress_fmt, {'0', ux::size_text(sum), speed_text(speed)});
        gui_post([this, text, percent] {
          gui_.set_text(TControl::Label2, text);
          gui_.set_progress_range(0, 100);
          gui_.set_progress_position(percent);
        });
        break;
      }
      case 102: {
        int64_t pos = ux::json_text_int(ev_data, "pos");
        int64_t sum = download_total_ > 0 ? download_total_.load() : ux::json_text_int(ev_data, "sum");
        int32_t percent = progress_percent(pos, sum);
        int64_t speed = ux::json_text_int(ev_data, "speed");
        std::string text = lang_text_fmt(
            msg_progress_fmt, {ux::size_text(pos), ux::size_text(sum), speed_text(speed)});
        gui_post([this, text, percent] {
          gui_.set_text(TControl::Label2, text);
          gui_.set_progress_position(percent);
        });
        break;
      }
      case 103: {
        std::string text = lang_text(msg_download_ok);
        gui_post([this, text] {
          gui_.set_progress_position(100);
          gui_.set_text(TControl::Label2, text);
        });
        if (!rt.is_install_ok.load() && !cancel_.requested()) install_on_worker(rt.saved_fname, true);
        break;
      }
      case 104: {
        std::string reason = ux::json_text_field(ev_data, "reason");
        std::string text;
        bool final_failure = true;
        if (reason == "conn_error" && ux::json_text_int(ev_data, "final") == 0) {
          text = lang_text(msg_conn_retry);
          final_failure = false;
        } else if (reason == "http_error") {
          text = lang_text_fmt(msg_download_failed_http_fmt,
                               {ux::int_text(ux::json_text_int(ev_data, "resp_code"))});
        } else if (reason == "not_available") {
          text = lang_text(msg_download_unavailable);
        } else {
          text = lang_text(msg_download_failed);
        }
        // The server does not continue the partial file soundly: Start again
        // fetches the whole package instead.
        if (reason == "range_error") (void)ux::delete_downloaded_file(rt.saved_fname);
        gui_post([this, text, final_failure] {
          gui_.set_text(TControl::Label2, text);
          if (final_failure) download_stopped(text);
        });
        break;
      }
      default:
        break;
    }
  } catch (...) {
    // The downloader repeats an event whose handler raises; nothing may escape.
  }
}

void Tmain_form::download_stopped(const std::string& text) {
  if (f_outcome == TRunOutcome::running) {
    f_outcome = TRunOutcome::failed;
    f_error_text = text;
  }
  // The button starts it again.
  if (f_state == st_downloading && !rt.is_install_ok.load()) {
    services_.release_download_folder();
    set_state(st_ready_to_install);
    gui_.set_text(TControl::Button1, lang_text(msg_start));
  }
}

void Tmain_form::install_on_worker(const std::string& archive_path, bool delete_package) {
  std::string error;
  try {
    install_package(archive_path, delete_package);
    return;
  } catch (const TCancelled&) {
    try {
      std::string text = lang_text(msg_install_aborted);
      gui_post([this, text] {
        services_.release_download_folder();
        gui_.set_text(TControl::Label2, text);
        if (f_outcome == TRunOutcome::running) {
          f_outcome = TRunOutcome::aborted;
          f_error_text = text;
        }
      });
    } catch (...) {
    }
    return;
  } catch (const std::exception& e) {
    error = e.what();
  } catch (...) {
    error = "unknown error";
  }
  // A downloaded package that does not install is not kept: resuming it
  // would offer the same bytes again on every run.
  if (delete_package) (void)ux::delete_downloaded_file(archive_path);
  try {
    std::string text = lang_text_fmt(msg_install_failed_fmt, {error});
    gui_post([this, text] {
      services_.release_download_folder();
      gui_.set_text(TControl::Label2, text);
      f_outcome = TRunOutcome::failed;
      f_error_text = text;
    });
  } catch (...) {
  }
}

void Tmain_form::install_package(const std::string& archive_path, bool delete_package) {
  install = TInstallProgress{};
  install.at_last_pop_ev = ux::now_ms();
  install.sink = &progress_sink_;
  TFinishInstall args{rt.dest_path, archive_path, rt.mode, delete_package, {}};
  services_.install_package(
      args, [this](bool total, int64_t value) { (void)rk50::on_extract_progress(&install, total, value); }, cancel_);
  rt.is_install_ok = true;
  std::string done = lang_text(msg_install_completed);
  std::string close = lang_text(msg_close);
  gui_post([this, done, close] {
    services_.release_download_folder();
    gui_.set_text(TControl::Label2, done);
    gui_.set_progress_position(100);
    set_state(st_finished);
    gui_.set_text(TControl::Button1, close);
    if (f_outcome == TRunOutcome::running || f_outcome == TRunOutcome::failed) {
      f_outcome = TRunOutcome::installed;
      f_error_text.clear();
    }
  });
}

void Tmain_form::TProgressSink::set_progress_position(int percent) {
  form_.gui_post([f = &form_, percent] { f->gui_.set_progress_position(percent); });
}

void Tmain_form::apply_update_package() {
  rt.dest_path = ux::exe_dir();
  if (!file_exists(rt.saved_fname)) return;
  gui_.set_button_enabled(false);
  gui_.process_messages();
  services_.deploy_archive_library(config.selfpath);
  std::vector<std::string> notes;
  try {
    notes = services_.apply_update_package(rt.saved_fname, rt.dest_path, [this] { gui_.process_messages(); },
                                           cancel_);
  } catch (const TCancelled&) {
    // The window was closed while the update ran; it is undone.
    f_outcome = TRunOutcome::aborted;
    f_error_text = lang_text(msg_install_aborted);
    return;
  } catch (const std::exception& e) {
    f_outcome = TRunOutcome::failed;
    f_error_text = e.what();
    gui_.show_error(f_error_text);
    return;
  }
  for (const std::string& note : notes) gui_.show_note(note);
  gui_.set_button_enabled(true);
  gui_.set_text(TControl::Button1, lang_text(msg_install_completed));
  set_state(st_update_done);
  f_outcome = TRunOutcome::updated;
}

void Tmain_form::FormCloseQuery(bool& CanClose) {
  CanClose = true;
  services_.set_pool_active(false);
}

void Tmain_form::FormClose() {
  services_.set_pool_active(false);
  // A run that completed keeps its result; the completion is on its way.
  if (cancel_run() && f_outcome == TRunOutcome::running) {
    f_outcome = TRunOutcome::aborted;
    f_error_text = lang_text(msg_install_aborted);
  }
}

void Tmain_form::FormDestroy() {
  Tmain_form* self = this;
  g_main_form.compare_exchange_strong(self, nullptr);
  services_.destroy_pool();
}

}  // namespace rk50
