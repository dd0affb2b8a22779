#include "installer/rk50_signals.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <iterator>

namespace rk50 {

namespace {

std::atomic<bool> g_interrupted{false};    // SIGINT
std::atomic<bool> g_end_requested{false};  // SIGTERM, SIGHUP
std::atomic<int> g_wake_fd{-1};

static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the signal handler needs lock-free flags");

extern "C" void on_stop_signal(int sig) {
  const int saved = errno;
  (sig == SIGINT ? g_interrupted : g_end_requested).store(true);
  const int fd = g_wake_fd.load();
  if (fd >= 0) {
    const char b = 's';
    (void)!::write(fd, &b, 1);
  }
  errno = saved;
}

constexpr int kCaught[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kIgnored = SIGPIPE;

// Previous dispositions, in kCaught order, then SIGPIPE's.
struct sigaction g_saved[std::size(kCaught) + 1];

}  // namespace

TSignalCatcher::TSignalCatcher(int wake_fd) {
  g_interrupted.store(false);
  g_end_requested.store(false);
  g_wake_fd.store(wake_fd);
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  // No SA_RESTART: a blocking read (a prompt) returns with EINTR at once.
  sa.sa_flags = 0;
  for (size_t i = 0; i < std::size(kCaught); ++i) sigaction(kCaught[i], &sa, &g_saved[i]);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(kIgnored, &ignore, &g_saved[std::size(kCaught)]);
}

TSignalCatcher::~TSignalCatcher() {
  for (size_t i = 0; i < std::size(kCaught); ++i) sigaction(kCaught[i], &g_saved[i], nullptr);
  sigaction(kIgnored, &g_saved[std::size(kCaught)], nullptr);
  g_wake_fd.store(-1);
}

bool TSignalCatcher::interrupted() noexcept { return g_interrupted.load(); }

bool TSignalCatcher::take_interrupt() noexcept { return g_interrupted.exchange(false); }

bool TSignalCatcher::end_requested() noexcept { return g_end_requested.load(); }

}  // namespace rk50
