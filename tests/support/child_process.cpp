#include "support/child_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/eventually.h"
#include "support/loopback_sockets.h"

namespace qlyn_test {

TChildProcess::TChildProcess(const std::vector<std::string>& argv, const std::string& stderr_path) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int pipe_fds[2] = {-1, -1};
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return;
  const int err_fd =
      stderr_path.empty() ? -1 : ::open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls until exec.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(null_fd, 0);
    ::dup2(pipe_fds[1], 1);
    if (err_fd >= 0) ::dup2(err_fd, 2);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  if (err_fd >= 0) ::close(err_fd);
  if (null_fd >= 0) ::close(null_fd);
  ::close(pipe_fds[1]);
  out_ = pipe_fds[0];
  pid_ = pid > 0 ? pid : -1;
}

TChildProcess::~TChildProcess() {
  stop();
  if (out_ >= 0) ::close(out_);
}

bool TChildProcess::try_reap() {
  int st = 0;
  if (::waitpid(pid_, &st, WNOHANG) != pid_) return false;
  reaped_ = true;
  status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return true;
}

bool TChildProcess::alive() { return running() && !try_reap(); }

std::string TChildProcess::read_line(int timeout_ms) {
  const int64_t deadline = real_ms() + timeout_ms;
  for (;;) {
    const size_t eol = buffered_.find('\n');
    if (eol != std::string::npos) {
      std::string line = buffered_.substr(0, eol);
      buffered_.erase(0, eol + 1);
      return line;
    }
    const int64_t left = deadline - real_ms();
    if (left <= 0 || !drain(int(left))) return {};
  }
}

std::string TChildProcess::read_rest(int timeout_ms) {
  const int64_t deadline = real_ms() + timeout_ms;
  for (int64_t left = timeout_ms; left > 0 && drain(int(left)); left = deadline - real_ms()) {
  }
  std::string all;
  all.swap(buffered_);
  return all;
}

bool TChildProcess::drain(int ms) {
  bool got = false;
  for (pollfd p{out_, POLLIN, 0}; out_ >= 0 && ::poll(&p, 1, ms) > 0; ms = 0) {
    char buf[4096];
    const ssize_t n = ::read(out_, buf, sizeof buf);
    if (n == 0) {
      ::close(out_);
      out_ = -1;
    }
    if (n <= 0) break;
    buffered_.append(buf, size_t(n));
    got = true;
  }
  return got;
}

int TChildProcess::wait(int timeout_ms) {
  if (!running()) return status_;
  const int64_t deadline = real_ms() + timeout_ms;
  while (real_ms() < deadline) {
    if (try_reap()) {
      drain(0);
      return status_;
    }
    if (!drain(10)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  stop();
  return -1;
}

int TChildProcess::stop(int sig, int wait_ms) {
  if (!running()) return status_;
  ::kill(pid_, sig);
  const int64_t deadline = real_ms() + wait_ms;
  while (!try_reap()) {
    if (real_ms() > deadline) {
      ::kill(pid_, SIGKILL);
      int st = 0;
      ::waitpid(pid_, &st, 0);
      reaped_ = true;
      status_ = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return status_;
}

int free_loopback_port() { return free_loopback_port(SOCK_STREAM); }

bool wait_for_tcp_port(int port, int timeout_ms) {
  const int64_t deadline = real_ms() + timeout_ms;
  while (real_ms() < deadline) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const sockaddr_in a = loopback_addr(port);
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace qlyn_test
