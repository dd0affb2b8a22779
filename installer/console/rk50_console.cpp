#include "installer/console/rk50_console.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "common/ux_common.h"
#include "installer/rk50_signals.h"
#include "installer/rk50_stp_common.h"

namespace rk50 {

namespace {

constexpr size_t line_cap = 4096;

// Terminal text: byte strings leave in the platform's encoding (UTF-8), so a
// GBK process code page still prints readably.
std::string os_text(const std::string& s) { return ux::text_to_os(s); }
constexpr int bar_width = 30;

bool is_progress_text(const std::string& s) {
  return s.find(" / ") != std::string::npos && s.size() > 5 && s.compare(s.size() - 5, 5, "KB/s)") == 0;
}

}  // namespace

TConsoleGui::TConsoleGui(bool yes, int in_fd, FILE* out, FILE* err)
    : yes_(yes), in_fd_(in_fd), out_(out), err_(err), tty_(isatty(fileno(out)) == 1) {
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
}

TConsoleGui::~TConsoleGui() {
  for (int f : wake_) {
    if (f >= 0) ::close(f);
  }
}

void TConsoleGui::set_caption(const std::string& text) { caption_ = text; }

void TConsoleGui::set_text(TControl c, const std::string& text) {
  switch (c) {
    case TControl::Label1: title_ = text; break;
    case TControl::LabeledEdit1: edit_ = text; break;
    case TControl::LabeledEdit1Label: edit_label_ = text; break;
    case TControl::Button1: button_ = text; break;
    case TControl::Label2: status_ = text; break;
    default: break;
  }
}

std::string TConsoleGui::edit_text() { return edit_; }

void TConsoleGui::set_visible(TControl c, bool visible) {
  if (c == TControl::Label2) status_visible_ = visible;
  if (c == TControl::ProgressBar1) progress_visible_ = visible;
}

void TConsoleGui::set_button_enabled(bool /*enabled*/) {}

void TConsoleGui::set_progress_range(int min, int max) {
  progress_min_ = min;
  progress_max_ = max;
}

void TConsoleGui::set_progress_position(int pos) {
  progress_pos_ = pos;
}

void TConsoleGui::set_left(TControl /*c*/, int /*left*/) {}

int TConsoleGui::width(TControl c) { return layout_of(c).width; }

void TConsoleGui::end_line() {
  if (line_open_) {
    std::fputc('\n', out_);
    std::fflush(out_);
    line_open_ = false;
  }
}

void TConsoleGui::flush() { render_status(); }

void TConsoleGui::render_status() {
  if (!status_visible_ || status_.empty()) return;
  int span = progress_max_ - progress_min_;
  int pct = span > 0 ? (progress_pos_ - progress_min_) * 100 / span : 0;
  if (pct < 0) pct = 0;
  if (pct > 100) pct = 100;
  bool text_changed = status_ != printed_status_;
  if (!text_changed && (!progress_visible_ || pct == printed_pos_)) return;

  char pct_text[8];
  std::snprintf(pct_text, sizeof pct_text, "%3d%%", pct);
  if (tty_) {
    if (text_changed && !is_progress_text(printed_status_)) end_line();
    std::string line;
    if (progress_visible_) {
      int filled = pct * bar_width / 100;
      line = "[" + std::string(size_t(filled), '#') + std::string(size_t(bar_width - filled), '.') + "] " +
             pct_text + "  ";
    }
    line += status_;
    std::fprintf(out_, "\r%s\x1b[K", os_text(line).c_str());
    line_open_ = true;
  } else {
    if (progress_visible_)
      std::fprintf(out_, "[%s] %s\n", pct_text, os_text(status_).c_str());
    else
      std::fprintf(out_, "%s\n", os_text(status_).c_str());
  }
  std::fflush(out_);
  printed_status_ = status_;
  printed_pos_ = pct;
}

TConsoleGui::TReadResult TConsoleGui::read_line(std::string& line) {
  line.clear();
  for (;;) {
    char c = 0;
    ssize_t n = ::read(in_fd_, &c, 1);
    if (n < 0 && errno == EINTR) {
      if (TSignalCatcher::any()) return TReadResult::interrupted;
      continue;
    }
    if (n <= 0) {
      if (line.empty()) return TReadResult::eof;
      break;
    }
    if (c == '\n') break;
    if (c != '\r' && line.size() < line_cap) line += c;
  }
  line = ux::os_to_text(line);
  return TReadResult::line;
}

bool TConsoleGui::ask(const std::string& question, bool default_yes) {
  end_line();
  // The prompt supplies the question mark; one already there is not doubled.
  std::u16string q = ux::text_to_utf16(question);
  if (!q.empty() && (q.back() == u'?' || q.back() == u'\uFF1F')) q.pop_back();
  std::string prompt = lang_text_fmt(msg_prompt_fmt, {q});
  if (!default_yes) {
    size_t at = prompt.rfind("[Y/n]");
    if (at != std::string::npos) prompt.replace(at, 5, "[y/N]");
  }
  std::fputs(os_text(prompt).c_str(), out_);
  if (yes_) {
    std::fputs(default_yes ? "y\n" : "n\n", out_);
    std::fflush(out_);
    return default_yes;
  }
  std::fflush(out_);
  std::string answer;
  TReadResult r = read_line(answer);
  if (r != TReadResult::line) {
    // Ctrl-C or the end of input: nobody said yes.
    (void)TSignalCatcher::take_interrupt();
    std::fputc('\n', out_);
    return false;
  }
  answer = ux::trim_text(answer);
  if (answer.empty()) return default_yes;
  return answer[0] == 'y' || answer[0] == 'Y';
}

bool TConsoleGui::confirm(const std::string& question) {
  // With --yes the default that continues an abort request is Yes.
  end_line();
  if (yes_) {
    std::fprintf(out_, "%s y\n", os_text(question).c_str());
    std::fflush(out_);
    return true;
  }
  return ask(question, false);
}

bool TConsoleGui::pick_folder(const std::string& start_dir, std::string& chosen) {
  end_line();
  if (yes_) return false;
  std::fputs(os_text(lang_text_fmt(msg_choose_folder, {start_dir})).c_str(), out_);
  std::fflush(out_);
  std::string answer;
  if (read_line(answer) != TReadResult::line) {
    std::fputc('\n', out_);
    (void)TSignalCatcher::take_interrupt();
    return false;
  }
  answer = ux::trim_text(answer);
  if (answer.empty()) return false;
  chosen = answer;
  return true;
}

void TConsoleGui::show_error(const std::string& text) {
  end_line();
  std::fprintf(err_, "%s\n", os_text(text).c_str());
  std::fflush(err_);
}

void TConsoleGui::show_note(const std::string& text) {
  end_line();
  std::fprintf(out_, "%s\n", os_text(text).c_str());
  std::fflush(out_);
}

void TConsoleGui::close_window() { closed_ = true; }

void TConsoleGui::terminate_app() { terminated_ = true; }

void TConsoleGui::process_messages() {
  drain(0);
  if (on_interrupt_ && TSignalCatcher::any()) {
    auto handler = std::move(on_interrupt_);
    on_interrupt_ = nullptr;
    handler();
  }
}

void TConsoleGui::post(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> g(queue_lock_);
    if (queue_.size() >= queue_cap) return;
    queue_.push_back(std::move(fn));
  }
  if (wake_[1] >= 0) {
    const char b = 'p';
    (void)!::write(wake_[1], &b, 1);
  }
}

void TConsoleGui::drain(int wait_ms) {
  bool empty;
  {
    std::lock_guard<std::mutex> g(queue_lock_);
    empty = queue_.empty();
  }
  if (wake_[0] >= 0) {
    if (empty && wait_ms > 0 && !TSignalCatcher::any()) {
      pollfd p{wake_[0], POLLIN, 0};
      (void)::poll(&p, 1, wait_ms);
    }
    char buf[256];
    while (::read(wake_[0], buf, sizeof buf) > 0) {
    }
  }
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard<std::mutex> g(queue_lock_);
    batch.swap(queue_);
  }
  for (auto& fn : batch) {
    fn();
    render_status();
  }
}

int run_console(const TFrontendOptions& options, IInstallerServices& services, int in_fd, FILE* out,
                FILE* err) {
  TConsoleGui gui(options.yes, in_fd, out, err);
  TSignalCatcher signals(gui.wake_fd());
  Tmain_form form(gui, services, options.start);
  form.FormCreate();
  form.FormShow();
  if (!options.dir.empty()) gui.set_text(TControl::LabeledEdit1, options.dir);

  gui.set_interrupt_handler([&] {
    gui.close_window();
    bool can_close = true;
    form.FormCloseQuery(can_close);
    form.FormClose();
  });

  std::fprintf(out, "%s\n%s\n", os_text(gui.caption()).c_str(), os_text(gui.title()).c_str());
  if (form.mode() == 1)
    std::fprintf(out, "%s %s\n", os_text(gui.edit_label()).c_str(), os_text(gui.edit_text()).c_str());
  else
    std::fprintf(out, "%s\n", os_text(form.saved_fname()).c_str());
  std::fflush(out);

  bool prompted_folder = false;
  bool announced_update = false;
  std::string failure;
  while (!gui.closed()) {
    gui.drain(0);
    if (gui.closed()) break;
    const TButtonState state = form.state();
    if (TSignalCatcher::end_requested()) {
      // As the window's close box: closing cancels what runs.
      gui.close_window();
      break;
    }
    if (state == st_downloading) {
      if (TSignalCatcher::take_interrupt()) {
        form.Button1Click();
        gui.flush();
        continue;
      }
      if (form.outcome() == TRunOutcome::failed) break;
      gui.drain(1000);
      continue;
    }
    if (TSignalCatcher::take_interrupt()) break;
    bool press = false;
    switch (state) {
      case st_ready_to_install:
        // A failed download offers Start again; --yes does not retry forever.
        if (form.outcome() == TRunOutcome::failed) {
          gui.end_line();
          if (options.yes) {
            failure = form.error_text();
            break;
          }
        }
        if (!prompted_folder && options.dir.empty() && !options.yes) {
          prompted_folder = true;
          std::string before = gui.edit_text();
          form.SpeedButton1Click();
          if (gui.edit_text() != before)
            std::fprintf(out, "%s %s\n", os_text(gui.edit_label()).c_str(), os_text(gui.edit_text()).c_str());
        }
        press = gui.ask(gui.button_caption(), true);
        break;
      case st_finished:
        gui.end_line();
        if (form.outcome() != TRunOutcome::installed) {
          gui.close_window();
          break;
        }
        press = gui.ask(gui.button_caption(), true);
        break;
      case st_package_missing:
        failure = lang_text_fmt(msg_package_missing_fmt, {form.saved_fname()});
        break;
      case st_ready_to_update:
        press = gui.ask(gui.button_caption(), true);
        break;
      case st_update_done:
        if (!announced_update) {
          announced_update = true;
          gui.end_line();
          std::fprintf(out, "%s\n", os_text(gui.button_caption()).c_str());
        }
        press = gui.ask(lang_text(msg_start_client), true);
        break;
      default:
        break;
    }
    if (!failure.empty()) break;
    if (!press) break;
    form.Button1Click();
    gui.flush();
    if (state == st_ready_to_update && form.state() == st_ready_to_update) break;
  }

  // Ending the application destroys the window without closing it first.
  if (!gui.terminated()) {
    bool can_close = true;
    form.FormCloseQuery(can_close);
    if (can_close) form.FormClose();
  }
  form.FormDestroy();
  gui.drain(0);
  gui.end_line();

  TRunOutcome outcome = form.outcome();
  if (failure.empty() && (outcome == TRunOutcome::installed || outcome == TRunOutcome::updated)) return 0;
  if (failure.empty()) failure = form.error_text();
  if (failure.empty()) failure = lang_text(msg_install_aborted);
  if (outcome != TRunOutcome::failed || form.state() != st_ready_to_update) {
    std::fprintf(err, "%s\n", os_text(failure).c_str());
  }
  std::fflush(err);
  return 1;
}

}  // namespace rk50
