// Test support: a program run to its end as a child process, with its own
// environment, standard input, file-size limit or user, both outputs
// collected whole; for tests that judge a program by its exit status and
// output. (A server that a test keeps running and reads line by line is
// support/child_process.h.)
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace qlyn_test {

struct TProgramOptions {
  // Added to the test's environment (which loses LC_ALL, LC_MESSAGES and the
  // display variables, so the child picks its language from LANG and runs on
  // the console).
  std::map<std::string, std::string> env;
  std::string input;               // written to stdin, which is then closed
  long long file_size_limit = -1;  // RLIMIT_FSIZE in bytes; SIGXFSZ is ignored
  int uid = -1;                    // run as this user and group (needs root)
};

class TProgramRun {
 public:
  TProgramRun(const std::string& exe, const std::vector<std::string>& args, const TProgramOptions& options = {}) {
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e; ++e) {
      const std::string kv = *e;
      const size_t eq = kv.find('=');
      if (eq != std::string::npos) vars[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const char* v : {"LC_ALL", "LC_MESSAGES", "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) vars.erase(v);
    for (const auto& [k, v] : options.env) vars[k] = v;
    std::vector<std::string> env_text, argv_text{exe};
    for (const auto& [k, v] : vars) env_text.push_back(k + "=" + v);
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> envp, argv;
    for (auto& s : env_text) envp.push_back(s.data());
    for (auto& s : argv_text) argv.push_back(s.data());
    envp.push_back(nullptr);
    argv.push_back(nullptr);

    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return;
    pid_ = fork();
    if (pid_ == 0) {
      // Only async-signal-safe calls from here to exec.
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(err[1], 2);
      // As a shell starts a program: a closed output raises SIGPIPE.
      ::signal(SIGPIPE, SIG_DFL);
      if (options.file_size_limit >= 0) {
        const rlimit lim{rlim_t(options.file_size_limit), rlim_t(options.file_size_limit)};
        setrlimit(RLIMIT_FSIZE, &lim);
        ::signal(SIGXFSZ, SIG_IGN);
      }
      if (options.uid >= 0 && (setgroups(0, nullptr) != 0 || setgid(gid_t(options.uid)) != 0 ||
                               setuid(uid_t(options.uid)) != 0))
        _exit(126);
      execve(exe.c_str(), argv.data(), envp.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
    if (!options.input.empty()) (void)!write(in[1], options.input.data(), options.input.size());
    close(in[1]);
  }
  ~TProgramRun() {
    if (pid_ > 0 && status_ < 0) {
      kill(pid_, SIGKILL);
      finish();
    }
    if (out_fd_ >= 0) close(out_fd_);
    if (err_fd_ >= 0) close(err_fd_);
  }
  TProgramRun(const TProgramRun&) = delete;
  TProgramRun& operator=(const TProgramRun&) = delete;

  bool started() const { return pid_ > 0; }
  // Stops reading the child's standard output, as a reader that went away:
  // the child's next write to it raises SIGPIPE (or fails with EPIPE).
  void close_output() {
    if (out_fd_ >= 0) close(out_fd_);
    out_fd_ = -1;
  }
  void signal(int sig) { kill(pid_, sig); }

  // Collects output until done() holds, the child closes its output, or
  // max_ms of waiting passed (a safety bound, not a measured time). done()
  // is asked again at least every step_ms. True when done() held.
  bool wait_until(const std::function<bool()>& done, int max_ms = 60000, int step_ms = 5) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(max_ms);
    while (!done()) {
      if (!read_some(step_ms) || std::chrono::steady_clock::now() > end) return done();
    }
    return true;
  }
  // Reads everything, then reaps the child: its exit status, 128 + the
  // signal number when a signal ended it.
  int finish() {
    while (read_some(1000)) {
    }
    if (status_ < 0 && pid_ > 0) {
      int st = 0;
      while (waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
      }
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    return status_;
  }
  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }

 private:
  // One poll of both pipes; false once both are closed.
  bool read_some(int wait_ms) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (out_fd_ < 0 && err_fd_ < 0) return false;
    if (poll(fds, 2, wait_ms) < 0 && errno != EINTR) return false;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? out_ : err_).append(buf, size_t(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        (i == 0 ? out_fd_ : err_fd_) = -1;
      }
    }
    return out_fd_ >= 0 || err_fd_ >= 0;
  }

  pid_t pid_ = -1;
  int out_fd_ = -1, err_fd_ = -1;
  int status_ = -1;
  std::string out_, err_;
};

}  // namespace qlyn_test
