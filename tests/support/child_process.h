// Test support: a child process started by a test (a server tool, a real peer,
// a helper program) with its standard output on a pipe, always stopped by
// it; and loopback port helpers.
//
// The child gets SIGKILL when the test process dies (PR_SET_PDEATHSIG), so a
// crashed test leaves nothing running. stop() (also run by the destructor)
// sends a signal, waits a bounded time, then SIGKILL, and reaps the child.
// Exit statuses are the exit code, 128 + the signal for a signal death, and -1
// when the child never ran, or did not end by itself within the wait.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace qlyn_test {

class TChildProcess {
 public:
  // Starts argv[0] (a path) with argv; standard input is /dev/null, standard
  // error is inherited, or written to stderr_path (truncated) when that is
  // given. running() tells whether it started.
  explicit TChildProcess(const std::vector<std::string>& argv, const std::string& stderr_path = "");
  ~TChildProcess();
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  // Started and not reaped yet.
  bool running() const { return pid_ > 0 && !reaped_; }
  // Started and not exited yet (an exited child is reaped).
  bool alive();
  // Its process id, also after it was reaped; -1 when it did not start.
  pid_t pid() const { return pid_; }

  // The next line of its output without the line end; empty when none came
  // within timeout_ms or the output ended.
  std::string read_line(int timeout_ms = 10000);
  // Its output still to come, up to its end or timeout_ms, with what was read
  // and not taken before.
  std::string read_rest(int timeout_ms);
  // Output read and not yet taken by read_line.
  const std::string& output() const { return buffered_; }

  // Waits up to timeout_ms for it to end by itself, keeping its output
  // meanwhile; when it does not, stops it and gives -1.
  int wait(int timeout_ms);
  // Sends sig and waits up to wait_ms for the end, then kills it. The exit
  // status (-1 when it had to be killed); a reaped child's status again.
  int stop(int sig = SIGTERM, int wait_ms = 5000);

 private:
  // Reaps the child when it has exited; true then.
  bool try_reap();
  // Reads what the output holds, waiting up to ms for the first bytes; false
  // when nothing came. The pipe is closed at the end of the output.
  bool drain(int ms);

  pid_t pid_ = -1;
  int out_ = -1;
  bool reaped_ = false;
  int status_ = -1;
  std::string buffered_;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_loopback_port();
// True when a TCP connection to 127.0.0.1:port succeeds within timeout_ms.
bool wait_for_tcp_port(int port, int timeout_ms);

}  // namespace qlyn_test
