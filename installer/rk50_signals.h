// rk50_signals: the signals that ask a running installer to stop, caught so
// that the work in progress is cancelled and rolled back instead of the
// process ending in the middle of it.
//
// While a TSignalCatcher lives:
//  - SIGINT (Ctrl-C) is an interrupt: the front end decides what it means
//    (the abort question, the end of a prompt);
//  - SIGTERM and SIGHUP (the session ends, the terminal goes away) ask the
//    program to end: the front end closes its window, which cancels the run;
//  - SIGPIPE is ignored: a write to an output nobody reads any longer fails
//    instead of ending the program.
// Each caught signal also writes one byte to the wake descriptor, so a front
// end waiting in poll() or on a Qt socket notifier sees it at once.
//
// One catcher at a time in a process; the flags are process-wide and
// lock-free (set by the handler, read by the front end's thread).
#pragma once

namespace rk50 {

class TSignalCatcher {
 public:
  // wake_fd: a non-blocking descriptor (not owned) written one byte per
  // caught signal, or -1. Clears the flags.
  explicit TSignalCatcher(int wake_fd);
  // Restores the previous dispositions.
  ~TSignalCatcher();
  TSignalCatcher(const TSignalCatcher&) = delete;
  TSignalCatcher& operator=(const TSignalCatcher&) = delete;

  // A SIGINT not yet taken.
  static bool interrupted() noexcept;
  // Takes a pending SIGINT: true when there was one.
  static bool take_interrupt() noexcept;
  // SIGTERM or SIGHUP arrived (never cleared while the catcher lives).
  static bool end_requested() noexcept;
  // interrupted() || end_requested().
  static bool any() noexcept { return interrupted() || end_requested(); }
};

}  // namespace rk50
