// Test support: a child process started by a test and always stopped by it,
// and loopback port helpers.
//
// The child gets SIGKILL when the test process dies (PR_SET_PDEATHSIG), so a
// crashed test leaves nothing running. stop() (also run by the destructor)
// sends SIGTERM, waits up to 3 s, then SIGKILL, and reaps the child.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace qlyn_test {

class TChildProcess {
 public:
  // Starts argv[0] (an absolute path) with argv. With capture_stdout the
  // child's standard output is readable through read_line; its standard
  // error goes to stderr_path when given, else to /dev/null.
  TChildProcess(const std::vector<std::string>& argv, bool capture_stdout,
                const std::string& stderr_path = "");
  ~TChildProcess();
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  // True while the child has not exited.
  bool running();
  // One line of standard output (without its LF) within timeout_ms of real
  // time; false at end of output or on timeout.
  bool read_line(std::string& line, int timeout_ms);
  void stop();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int out_fd_ = -1;
  std::string pending_;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_loopback_port();
// True when a TCP connection to 127.0.0.1:port succeeds within timeout_ms.
bool wait_for_tcp_port(int port, int timeout_ms);

}  // namespace qlyn_test
