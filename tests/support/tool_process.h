// Test support: a project tool (server, relay) started by a test as a process,
// with its standard output on a pipe. The destructor stops it (SIGTERM, then
// SIGKILL after a bounded wait) and reaps it, so nothing outlives the test.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace qlyn_test {

class TToolProcess {
 public:
  // Starts argv[0] (a path) with argv; stderr goes to stderr_path when given,
  // else it is inherited. running() tells whether the start succeeded.
  explicit TToolProcess(const std::vector<std::string>& argv, const std::string& stderr_path = "") {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    if (!stderr_path.empty())
      posix_spawn_file_actions_addopen(&fa, 2, stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (::posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(fds[1]);
    out_fd_ = fds[0];
  }
  ~TToolProcess() {
    stop();
    if (out_fd_ >= 0) ::close(out_fd_);
  }
  TToolProcess(const TToolProcess&) = delete;
  TToolProcess& operator=(const TToolProcess&) = delete;

  bool running() const { return pid_ > 0 && !reaped_; }
  pid_t pid() const { return pid_; }

  // The next line of standard output (without its LF); empty when none came
  // within timeout_ms or the output ended.
  std::string read_line(int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      const size_t lf = pending_.find('\n');
      if (lf != std::string::npos) {
        std::string line = pending_.substr(0, lf);
        pending_.erase(0, lf + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !fill(int(left.count()))) return {};
    }
  }
  // Everything still to come on standard output, up to its end or timeout_ms.
  std::string read_rest(int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !fill(int(left.count()))) break;
    }
    std::string all;
    all.swap(pending_);
    return all;
  }

  // Sends sig; then waits up to wait_ms for the exit. The exit status
  // (128 + signal for a signal death); -1 when it had to be killed.
  int stop(int sig = SIGTERM, int wait_ms = 5000) {
    if (!running()) return status_;
    ::kill(pid_, sig);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    while (std::chrono::steady_clock::now() < deadline) {
      if (try_reap()) return status_;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(pid_, SIGKILL);
    int st = 0;
    ::waitpid(pid_, &st, 0);
    reaped_ = true;
    status_ = -1;
    return status_;
  }
  // Waits up to wait_ms for the process to end by itself; its exit status
  // as stop() gives it, or -2 when it is still running.
  int wait_exit(int wait_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    while (running()) {
      if (try_reap()) break;
      if (std::chrono::steady_clock::now() >= deadline) return -2;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
  }

 private:
  bool fill(int timeout_ms) {
    if (out_fd_ < 0) return false;
    pollfd p{out_fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return false;
    char buf[4096];
    const ssize_t n = ::read(out_fd_, buf, sizeof buf);
    if (n <= 0) return false;
    pending_.append(buf, size_t(n));
    return true;
  }
  bool try_reap() {
    int st = 0;
    if (::waitpid(pid_, &st, WNOHANG) != pid_) return false;
    reaped_ = true;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return true;
  }

  pid_t pid_ = -1;
  int out_fd_ = -1;
  bool reaped_ = false;
  int status_ = -1;
  std::string pending_;
};

}  // namespace qlyn_test
