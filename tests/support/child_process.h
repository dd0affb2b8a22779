// Test support: a child process with its standard output on a pipe, killed
// and reaped when the object goes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace qlyn_test {

class TChildProcess {
 public:
  // Starts argv[0] (a path) with argv; standard input is /dev/null, standard
  // error is inherited. running() tells whether it started.
  explicit TChildProcess(const std::vector<std::string>& argv) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (::posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(fds[1]);
    out_ = fds[0];
  }
  ~TChildProcess() {
    stop();
    if (out_ >= 0) ::close(out_);
  }
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  bool running() const { return pid_ > 0; }

  // The next line of its output without the line end; empty when none came
  // within timeout_ms or the output ended.
  std::string read_line(int timeout_ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      const size_t eol = buffered_.find('\n');
      if (eol != std::string::npos) {
        std::string line = buffered_.substr(0, eol);
        buffered_.erase(0, eol + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0 || out_ < 0) return {};
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, int(left)) <= 0) return {};
      char buf[512];
      const ssize_t n = ::read(out_, buf, sizeof buf);
      if (n <= 0) return {};
      buffered_.append(buf, size_t(n));
    }
  }

  // Waits up to timeout_ms for it to end by itself (then stops it), keeping
  // its output meanwhile; its exit code, or -1 when it had to be stopped or
  // was killed by a signal.
  int wait(int timeout_ms) {
    if (pid_ <= 0) return -1;
    int status = 0;
    for (int waited = 0; waited < timeout_ms; waited += 10) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        drain(0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      drain(10);
    }
    stop();
    return -1;
  }

  // Output read so far and not yet taken by read_line.
  const std::string& output() const { return buffered_; }

  // SIGTERM, then SIGKILL after two seconds; reaps it. The wait status or -1.
  int stop() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200; ++i) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return status;
      }
      ::usleep(10000);
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }

 private:
  // Reads what the output holds, waiting up to ms for the first bytes.
  void drain(int ms) {
    for (pollfd p{out_, POLLIN, 0}; out_ >= 0 && ::poll(&p, 1, ms) > 0; ms = 0) {
      char buf[4096];
      const ssize_t n = ::read(out_, buf, sizeof buf);
      if (n <= 0) return;
      buffered_.append(buf, size_t(n));
    }
  }

  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffered_;
};

}  // namespace qlyn_test
