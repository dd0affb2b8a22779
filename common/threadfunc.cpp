#include "common/threadfunc.h"

#include <chrono>

namespace ux {

namespace {
std::atomic<int64_t> g_live_threads{0};
}  // namespace

TExThread::TExThread() { g_live_threads.fetch_add(1, std::memory_order_relaxed); }

TExThread::~TExThread() { g_live_threads.fetch_sub(1, std::memory_order_release); }

int64_t TExThread::live_count() noexcept { return g_live_threads.load(std::memory_order_acquire); }

TExThread* TExThread::Create() { return new TExThread(); }

TExThread* TExThread::CreateFunc(TExThread_Func func, void* fUserData) {
  TExThread* t = Create();
  t->userfunc.func = func;
  t->userfunc.UserData = fUserData;
  return t;
}

TExThread* TExThread::CreateAndStart(TNotifyEvent Exec_func) {
  TExThread* t = Create();
  const bool assigned = static_cast<bool>(Exec_func);
  t->onExec = std::move(Exec_func);
  if (assigned) t->start();
  return t;
}

void TExThread::start() {
  std::lock_guard<std::mutex> g(mu_);
  if (started_) return;
  in_execute_.store(true, std::memory_order_release);
  th_ = std::thread(&TExThread::run, this);
  started_ = true;
}

void TExThread::run(TExThread* self) noexcept {
  self->Execute();
  bool self_free;
  {
    std::lock_guard<std::mutex> g(self->mu_);
    self_free = self->self_free_;
    if (self_free) self->th_.detach();
  }
  if (self_free) delete self;
}

void TExThread::Execute() noexcept {
  if (onStart) {
    try {
      onStart(this);
    } catch (...) {
    }
  }
  while (!terminated_.load(std::memory_order_acquire)) {
    if (onExec && exec_enabled_.load(std::memory_order_acquire)) {
      try {
        onExec(this);
      } catch (...) {
      }
    }
    if (userfunc.func && exec_enabled_.load(std::memory_order_acquire)) {
      try {
        userfunc.func(userfunc.UserData);
      } catch (...) {
      }
    }
    if (!NoDelay.load(std::memory_order_relaxed)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (onStop) {
    try {
      onStop(this);
    } catch (...) {
    }
  }
  in_execute_.store(false, std::memory_order_release);
}

void TExThread::Close() noexcept {
  std::unique_lock<std::mutex> g(mu_);
  exec_enabled_.store(false, std::memory_order_release);
  terminated_.store(true, std::memory_order_release);
  if (started_ && th_.get_id() == std::this_thread::get_id()) {
    self_free_ = true;
    return;
  }
  if (!started_) {
    started_ = true;
    in_execute_.store(true, std::memory_order_release);
    try {
      th_ = std::thread(&TExThread::run, this);
    } catch (...) {
      g.unlock();
      delete this;
      return;
    }
  }
  g.unlock();
  if (th_.joinable()) th_.join();
  delete this;
}

void TExThread::CloseAndNil(TExThread*& TH) noexcept {
  TExThread* t = TH;
  TH = nullptr;
  if (t) t->Close();
}

}  // namespace ux
