// Test support: a child process started by a test with its standard output
// on a pipe, always stopped by it; and loopback port helpers.
//
// The child gets SIGKILL when the test process dies (PR_SET_PDEATHSIG), so a
// crashed test leaves nothing running. stop() (also run by the destructor)
// sends SIGTERM, waits up to 2 s, then SIGKILL, and reaps the child.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace qlyn_test {

class TChildProcess {
 public:
  // Starts argv[0] (a path) with argv; standard input is /dev/null, standard
  // error is inherited, or appended to stderr_path when that is given.
  // running() tells whether it started.
  explicit TChildProcess(const std::vector<std::string>& argv, const std::string& stderr_path = "");
  ~TChildProcess();
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  // Started and not stopped.
  bool running() const { return pid_ > 0; }
  // Started and not exited yet (an exited child is reaped).
  bool alive();
  // The next line of its output without the line end; empty when none came
  // within timeout_ms or the output ended.
  std::string read_line(int timeout_ms = 10000);
  // Waits up to timeout_ms for it to end by itself (then stops it), keeping
  // its output meanwhile; its exit code, or -1 when it had to be stopped or
  // was killed by a signal.
  int wait(int timeout_ms);
  // Output read so far and not yet taken by read_line.
  const std::string& output() const { return buffered_; }
  // The exit status, or -1 when it was not running.
  int stop();
  pid_t pid() const { return pid_; }

 private:
  // Reads what the output holds, waiting up to ms for the first bytes.
  void drain(int ms);

  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffered_;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_loopback_port();
// True when a TCP connection to 127.0.0.1:port succeeds within timeout_ms.
bool wait_for_tcp_port(int port, int timeout_ms);

}  // namespace qlyn_test
