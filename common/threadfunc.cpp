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
  try {
    th_ = std::thread(&TExThread::run, this);
  } catch (...) {
    in_execute_.store(false, std::memory_order_release);
    throw;
  }
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
    // A joining Close from another thread frees the object; leave it to it.
    if (!joiner_) self_free_ = true;
    return;
  }
  // Takes over from a Close the thread made on itself, so one party frees.
  joiner_ = true;
  self_free_ = false;
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

// ---------------------------------------------------------------- tiny threads

namespace ux {

TTinyThread::~TTinyThread() {
  TNotifyEvent f = std::move(on_Free);
  if (f) {
    try {
      f(this);
    } catch (...) {
    }
  }
}

void TTinyThread::set_thread_exec_event(TNotifyEvent ev) {
  auto p = ev ? std::make_shared<const TNotifyEvent>(std::move(ev)) : nullptr;
  std::lock_guard<std::mutex> g(mu_);
  on_exec = std::move(p);
}

void TTinyThread::set_on_free(TNotifyEvent ev) {
  std::lock_guard<std::mutex> g(mu_);
  on_Free = std::move(ev);
}

void TTinyThread::Execute() {
  std::lock_guard<std::mutex> run(run_mu_);
  if (closed_.load(std::memory_order_acquire)) return;
  std::shared_ptr<const TNotifyEvent> f;
  {
    std::lock_guard<std::mutex> g(mu_);
    f = on_exec;
  }
  if (!f) return;
  runner_.store(std::this_thread::get_id(), std::memory_order_release);
  try {
    (*f)(this);
  } catch (...) {
  }
  runner_.store(std::thread::id(), std::memory_order_release);
}

void TTinyThread::close() {
  closed_.store(true, std::memory_order_release);
  if (runner_.load(std::memory_order_acquire) != std::this_thread::get_id()) {
    std::lock_guard<std::mutex> wait_out(run_mu_);
  }
  TNotifyEvent f;
  {
    std::lock_guard<std::mutex> g(mu_);
    f = std::move(on_Free);
    on_Free = nullptr;
  }
  if (f) {
    try {
      f(this);
    } catch (...) {
    }
  }
}

TTinyThread_Pool::TTinyThread_Pool() {
  th = TExThread::Create();
  th->onExec = [this](void*) { pass(); };
}

TTinyThread_Pool::~TTinyThread_Pool() {
  TExThread::CloseAndNil(th);
  std::lock_guard<std::mutex> g(mu_);
  for (auto& e : list) {
    if (auto item = e.second.lock()) item->set_on_free(nullptr);
  }
  list.clear();
}

void TTinyThread_Pool::add_task(const std::shared_ptr<TTinyThread>& item) {
  if (!item) return;
  std::weak_ptr<TTinyThread_Pool> self = weak_from_this();
  item->set_on_free([self](void* sender) {
    if (auto pool = self.lock()) pool->remove_task(static_cast<const TTinyThread*>(sender));
  });
  {
    std::lock_guard<std::mutex> g(mu_);
    for (auto& e : list)
      if (e.first == item.get()) return;
    list.emplace_back(item.get(), item);
  }
  // Started here, not in the constructor: a pass needs the owner's shared_ptr.
  th->start();
}

void TTinyThread_Pool::remove_task(const TTinyThread* item) {
  std::lock_guard<std::mutex> g(mu_);
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (it->first == item) {
      list.erase(it);
      return;
    }
  }
}

int32_t TTinyThread_Pool::count() {
  std::lock_guard<std::mutex> g(mu_);
  return static_cast<int32_t>(list.size());
}

void TTinyThread_Pool::pass() {
  // Work run below may release the last reference; the pool then goes after the pass.
  const std::shared_ptr<TTinyThread_Pool> keep = weak_from_this().lock();
  size_t n;
  {
    std::lock_guard<std::mutex> g(mu_);
    n = list.size();
  }
  for (size_t i = 0; i < n; ++i) {
    std::shared_ptr<TTinyThread> item;
    {
      std::lock_guard<std::mutex> g(mu_);
      if (i >= list.size()) return;
      item = list[i].second.lock();
      if (!item) {
        list.erase(list.begin() + static_cast<ptrdiff_t>(i));
        --i;
        --n;
        continue;
      }
    }
    item->Execute();
  }
}

namespace {
std::mutex g_tiny_pool_mu;
std::shared_ptr<TTinyThread_Pool> g_tiny_pool;
}  // namespace

std::shared_ptr<TTinyThread_Pool> tiny_thread_pool() {
  std::lock_guard<std::mutex> g(g_tiny_pool_mu);
  if (!g_tiny_pool) g_tiny_pool = std::make_shared<TTinyThread_Pool>();
  return g_tiny_pool;
}

void free_tiny_thread_pool() {
  std::shared_ptr<TTinyThread_Pool> p;
  {
    std::lock_guard<std::mutex> g(g_tiny_pool_mu);
    p.swap(g_tiny_pool);
  }
}

}  // namespace ux
