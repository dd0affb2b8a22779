#include "common/ux_thread_common_class.h"

#include <chrono>

#include "common/ux_common.h"

namespace ux {

namespace {
std::atomic<int64_t> g_live_workers{0};
thread_local TUX_New_Thread* tls_current_worker = nullptr;

void sleep_1ms() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }
}  // namespace

TUX_New_Thread::TUX_New_Thread() : at_last_pause(now_ms() - 10) {
  g_live_workers.fetch_add(1, std::memory_order_relaxed);
}

TUX_New_Thread::~TUX_New_Thread() {
  { std::lock_guard<std::mutex> g(lock); }
  g_live_workers.fetch_sub(1, std::memory_order_release);
}

int64_t TUX_New_Thread::live_count() noexcept { return g_live_workers.load(std::memory_order_acquire); }

TUX_New_Thread* TUX_New_Thread::Create() { return new TUX_New_Thread(); }

TUX_New_Thread* TUX_New_Thread::CreateAndStart(TUX_Thread_Exec_func Exec_func) {
  TUX_New_Thread* t = Create();
  t->onExec = std::move(Exec_func);
  return t;
}

TUX_New_Thread* TUX_New_Thread::Start() {
  at_last_start.store(now_ms(), std::memory_order_relaxed);
  std::lock_guard<std::mutex> g(wake_mu_);
  if (terminated_.load(std::memory_order_relaxed)) return this;
  pause_request_.store(false, std::memory_order_release);
  if (!started_) {
    // The worker's first suspend_self waits for wake_mu_, held here.
    th_ = std::thread(&TUX_New_Thread::run, this);
    started_ = true;
    suspended_.store(false, std::memory_order_release);
    return this;
  }
  suspended_.store(false, std::memory_order_release);
  wake_ = true;
  wake_cv_.notify_one();
  return this;
}

TUX_New_Thread* TUX_New_Thread::pause() {
  f_exec_count.store(0, std::memory_order_relaxed);
  at_last_pause.store(now_ms(), std::memory_order_relaxed);
  if (tls_current_worker == this) {
    suspend_self();
  } else {
    // Overrides a wake-up left by an earlier Start: the later call holds.
    std::lock_guard<std::mutex> g(wake_mu_);
    wake_ = false;
    pause_request_.store(true, std::memory_order_release);
  }
  return this;
}

void TUX_New_Thread::suspend_self() {
  std::unique_lock<std::mutex> g(wake_mu_);
  suspended_.store(true, std::memory_order_release);
  wake_cv_.wait(g, [this] { return wake_ || terminated_.load(std::memory_order_relaxed); });
  wake_ = false;
  suspended_.store(false, std::memory_order_release);
}

bool TUX_New_Thread::isAvaliable() const {
  if (!suspended_.load(std::memory_order_acquire)) return false;
  const int32_t recycle = FRecyleMsec.load(std::memory_order_relaxed);
  if (recycle < 0) return true;
  return abs_diff(now_ms(), at_last_pause.load(std::memory_order_relaxed)) > static_cast<uint64_t>(recycle);
}

void TUX_New_Thread::SetRecyleMsec(int32_t Value) noexcept {
  FRecyleMsec.store(Value < kMaxRecyleMsec ? Value : kMaxRecyleMsec, std::memory_order_relaxed);
}

bool TUX_New_Thread::AddTask(void* task) {
  std::lock_guard<std::mutex> g(lock);
  if (singleTaskMode()) {
    if (task_list[0]) return false;
    task_list[0] = task;
    return true;
  }
  for (int i = 0; i < kTaskSlots; ++i) {
    if (!task_list[i]) {
      task_list[i] = task;
      f_last_got_idx = i;
      return true;
    }
  }
  return false;
}

bool TUX_New_Thread::RemoveTask(void* task) {
  std::lock_guard<std::mutex> g(lock);
  if (singleTaskMode()) {
    const bool held = task_list[0] == task;
    task_list[0] = nullptr;
    return held;
  }
  for (int i = 0; i < kTaskSlots; ++i) {
    if (task_list[i] == task && task) {
      task_list[i] = nullptr;
      return true;
    }
  }
  return false;
}

bool TUX_New_Thread::RemoveTaskThenPause(void* task) {
  const bool r = RemoveTask(task);
  pause();
  return r;
}

bool TUX_New_Thread::isNonTaskNow() {
  std::lock_guard<std::mutex> g(lock);
  if (singleTaskMode()) return task_list[0] == nullptr;
  for (void* t : task_list)
    if (t) return false;
  return true;
}

void TUX_New_Thread::idle() {
  if (f_auto_pause.load(std::memory_order_relaxed))
    pause();
  else
    sleep_1ms();
}

bool TUX_New_Thread::turn() {
  void* candidate = nullptr;
  int occupied = 0;
  const bool single = singleTaskMode();
  {
    std::lock_guard<std::mutex> g(lock);
    if (single) {
      candidate = task_list[0];
    } else {
      if (f_last_got_idx < 0 || f_last_got_idx >= kTaskSlots) f_last_got_idx = 0;
      candidate = task_list[f_last_got_idx];
      for (void* t : task_list)
        if (t) ++occupied;
      f_last_got_idx = (f_last_got_idx + 1) % kTaskSlots;
    }
  }
  if (single) {
    if (onGetNewTask && !terminated_.load(std::memory_order_acquire)) {
      try {
        candidate = onGetNewTask(this);
      } catch (...) {
        candidate = nullptr;
      }
    }
    if (!candidate) {
      idle();
      return false;
    }
  } else if (!candidate && occupied == 0) {
    idle();
    return false;
  }
  const int32_t n = f_exec_count.load(std::memory_order_relaxed) + 1;
  f_exec_count.store(n, std::memory_order_relaxed);
  if (candidate && onExec) {
    try {
      onExec(this, candidate);
    } catch (...) {
    }
  }
  const int32_t c = f_exec_count.load(std::memory_order_relaxed);
  if (c % 40 == 30) sleep_1ms();
  if (c > kExecCountWrap) f_exec_count.store(1, std::memory_order_relaxed);
  return true;
}

void TUX_New_Thread::Execute() noexcept {
  tls_current_worker = this;
  try {
    while (!terminated_.load(std::memory_order_acquire)) {
      if (pause_request_.exchange(false, std::memory_order_acq_rel)) {
        suspend_self();
        continue;
      }
      turn();
    }
  } catch (...) {
  }
  tls_current_worker = nullptr;
}

void TUX_New_Thread::run(TUX_New_Thread* self) noexcept {
  self->Execute();
  bool self_free;
  {
    std::lock_guard<std::mutex> g(self->wake_mu_);
    self_free = self->self_free_;
    if (self_free) self->th_.detach();
  }
  if (self_free) delete self;
}

void TUX_New_Thread::Close() noexcept {
  std::unique_lock<std::mutex> g(wake_mu_);
  terminated_.store(true, std::memory_order_release);
  wake_cv_.notify_all();
  if (tls_current_worker == this) {
    // A joining Close from another thread frees the object; leave it to it.
    if (!joiner_) self_free_ = true;
    return;
  }
  // Takes over from a Close the worker made on itself, so one party frees.
  joiner_ = true;
  self_free_ = false;
  g.unlock();
  if (th_.joinable()) th_.join();
  delete this;
}

void TUX_New_Thread::CloseAndNil(TUX_New_Thread*& TH) noexcept {
  TUX_New_Thread* t = TH;
  TH = nullptr;
  if (t) t->Close();
}

}  // namespace ux
