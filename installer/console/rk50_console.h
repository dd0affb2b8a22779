// rk50_console: the console front end of qlyn-setup.
//
// Prints the caption, the title, the destination and every status change; a
// one-line progress bar redrawn in place on a terminal, plain lines
// otherwise. Button presses become prompts on stdin; end of input answers
// No. The main thread is the GUI thread: changes posted by workers are
// queued and drained by run_console, which a posted change or a signal wakes
// at once. Ctrl-C (SIGINT) is the action button while the installation runs
// (the abort question) and ends a prompt; SIGTERM and SIGHUP close the
// window; SIGPIPE is ignored (rk50_signals).
#pragma once

#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "installer/rk50_xe_stp_main.h"

namespace rk50 {

class TConsoleGui : public IMainFormGui {
 public:
  // in_fd: prompts are read from it; out/err: status and errors.
  TConsoleGui(bool yes, int in_fd, FILE* out, FILE* err);
  ~TConsoleGui() override;
  TConsoleGui(const TConsoleGui&) = delete;
  TConsoleGui& operator=(const TConsoleGui&) = delete;

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

  // Runs the queued changes; waits up to wait_ms for the first one or for a
  // signal.
  void drain(int wait_ms);
  // Yes/no prompt; an empty answer gives default_yes, end of input or Ctrl-C No.
  bool ask(const std::string& question, bool default_yes);
  bool closed() const noexcept { return closed_ || terminated_; }
  bool terminated() const noexcept { return terminated_; }
  // The write end of the wake pipe, for the signal handlers.
  int wake_fd() const noexcept { return wake_[1]; }
  // Called once by process_messages when a signal arrives while
  // work runs on the GUI thread (an update): the console's close box.
  void set_interrupt_handler(std::function<void()> handler) { on_interrupt_ = std::move(handler); }
  const std::string& caption() const noexcept { return caption_; }
  const std::string& title() const noexcept { return title_; }
  const std::string& edit_label() const noexcept { return edit_label_; }
  const std::string& button_caption() const noexcept { return button_; }
  // Prints the status line when it changed since it was last printed.
  void flush();
  // Ends a progress line being redrawn in place.
  void end_line();

 private:
  enum class TReadResult { line, eof, interrupted };
  TReadResult read_line(std::string& line);
  void render_status();

  bool yes_;
  int in_fd_;
  FILE* out_;
  FILE* err_;
  bool tty_;
  std::string caption_;
  std::string title_;
  std::string edit_;
  std::string edit_label_;
  std::string button_;
  std::string status_;
  std::string printed_status_;
  bool status_visible_ = false;
  bool progress_visible_ = false;
  int progress_min_ = 0, progress_max_ = 100, progress_pos_ = 0;
  int printed_pos_ = -1;
  bool line_open_ = false;  // a progress line is on screen without its newline
  bool closed_ = false;
  bool terminated_ = false;
  std::function<void()> on_interrupt_;

  std::mutex queue_lock_;
  // Capped at queue_cap entries; posts beyond it are dropped (a download
  // posts at most a few per second, so the cap is never reached in use).
  static constexpr size_t queue_cap = 1 << 16;
  std::deque<std::function<void()>> queue_;
  // Self-pipe: a byte written by post() or by a signal handler wakes drain().
  int wake_[2] = {-1, -1};
};

// Runs the installer in the console until it ends. Returns the exit status:
// 0 after an installation or update, 1 otherwise (the error text on err).
int run_console(const TFrontendOptions& options, IInstallerServices& services, int in_fd = 0,
                FILE* out = stdout, FILE* err = stderr);

}  // namespace rk50
