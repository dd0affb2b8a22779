#include "common/net/ux_http_cli_pool.h"

#include <chrono>
#include <thread>

#include "common/ux_common.h"
#include "common/ux_file_path.h"

namespace ux {

namespace {

std::shared_ptr<TUX_HTTP_Cli_pool_v3> g_pool;  // not locked; see http_cli_pool()

TUX_http_client_v3* engine_of(PUX_FIFO_Item item) {
  return item ? static_cast<TUX_http_client_v3*>(item->Data_ptr) : nullptr;
}

bool is_closing_ws(TUX_http_client_v3& e, const std::string& tag) {
  TUX_HTTP_Cli_Request* r = e.request();
  return !tag.empty() && r && r->WS_conn_mode() && ci_equal(r->tag(), tag);
}

struct TUuidSearch {
  std::string_view uuid;
  TUX_http_client_v3* found = nullptr;
};

}  // namespace

void TUX_HTTP_TASK::ExecuteNow(std::unique_ptr<TUX_HTTP_TASK> task) {
  if (!task || !task->func_run_it) return;
  auto run = task->func_run_it;
  run(std::move(task));
}

// ---------------------------------------------------------------- life

TUX_HTTP_Cli_pool_v3::TUX_HTTP_Cli_pool_v3() {
  const auto free_item = [](PUX_FIFO_Item item) { free_engine(engine_of(item)); };
  blank_task_pool.on_item_free = free_item;
  queue_task_pool.on_item_free = free_item;
  task_pool.on_item_free = free_item;
  SetMaxThreadCount(kDefaultThreads);
  f_active.store(true);
}

TUX_HTTP_Cli_pool_v3::~TUX_HTTP_Cli_pool_v3() {
  f_active.store(false);
  // Joining the workers first means no step still holds an engine when the
  // queues free theirs.
  TUX_New_Thread* workers[kThreadSlots];
  {
    std::lock_guard<std::mutex> g(threads_lock_);
    for (int32_t i = 0; i < kThreadSlots; ++i) {
      workers[i] = thread_list[i];
      thread_list[i] = nullptr;
    }
  }
  for (auto*& th : workers) TUX_New_Thread::CloseAndNil(th);
  {
    std::lock_guard<std::mutex> g(glock);
  }
  task_pool.Clear(true);
  queue_task_pool.Clear(true);
  blank_task_pool.Clear(true);
}

void TUX_HTTP_Cli_pool_v3::free_engine(TUX_http_client_v3* engine) noexcept {
  try {
    delete engine;
  } catch (...) {
  }
}

std::shared_ptr<TUX_HTTP_Cli_pool_v3> http_cli_pool() {
  if (!g_pool) g_pool = std::make_shared<TUX_HTTP_Cli_pool_v3>();
  return g_pool;
}

void http_cli_pool_free() {
  std::shared_ptr<TUX_HTTP_Cli_pool_v3> p;
  p.swap(g_pool);
}

// ---------------------------------------------------------------- properties

void TUX_HTTP_Cli_pool_v3::SetMaxThreadCount(int32_t v) {
  if (v > kMaxThreadSetting) v = kMaxThreadSetting;
  fMaxTheadCount.store(v);
  TUX_New_Thread* closing[kThreadSlots] = {};
  {
    std::lock_guard<std::mutex> g(threads_lock_);
    for (int32_t i = 0; i < kThreadSlots; ++i) {
      if (i < v && !thread_list[i]) {
        TUX_New_Thread* th = TUX_New_Thread::Create();
        th->SetRecyleMsec(kWorkerRecycleMs);
        th->Setidx(i);
        // Every worker, slot 0 included, sleeps when idle: pushes wake them
        // (see wake_worker), so an idle pool costs no CPU.
        th->Setauto_pause(true);
        // Set once, before the first Start: the worker forbids later changes.
        th->onGetNewTask = [this](TUX_New_Thread* t) { return next_client(t); };
        th->onExec = [this](TUX_New_Thread* t, void* task) { step_client(t, task); };
        thread_list[i] = th;
      } else if (i >= v && thread_list[i]) {
        closing[i] = thread_list[i];
        thread_list[i] = nullptr;
      }
    }
  }
  // Closed outside the lock: closing joins the worker's current step, which
  // may itself queue work.
  for (auto*& th : closing) TUX_New_Thread::CloseAndNil(th);
}

int32_t TUX_HTTP_Cli_pool_v3::worker_count() {
  std::lock_guard<std::mutex> g(threads_lock_);
  int32_t n = 0;
  for (auto* th : thread_list) n += th ? 1 : 0;
  return n;
}

std::string TUX_HTTP_Cli_pool_v3::default_socket_mode() const {
  std::lock_guard<std::mutex> g(settings_lock_);
  return f_default_socket_mode;
}

void TUX_HTTP_Cli_pool_v3::set_default_socket_mode(std::string_view m) {
  std::lock_guard<std::mutex> g(settings_lock_);
  f_default_socket_mode = std::string(m);
}

Tfunc_on_create_udp TUX_HTTP_Cli_pool_v3::func_on_create_udp() const {
  std::lock_guard<std::mutex> g(settings_lock_);
  return func_on_create_udp_;
}

void TUX_HTTP_Cli_pool_v3::set_func_on_create_udp(Tfunc_on_create_udp f) {
  std::lock_guard<std::mutex> g(settings_lock_);
  func_on_create_udp_ = std::move(f);
}

std::string TUX_HTTP_Cli_pool_v3::close_tag() const {
  std::lock_guard<std::mutex> g(settings_lock_);
  return on_fly.close_tag;
}

void TUX_HTTP_Cli_pool_v3::configure(TUX_http_client_v3& engine) {
  std::lock_guard<std::mutex> g(settings_lock_);
  engine.set_default_socket_mode(f_default_socket_mode);
  engine.func_on_create_udp = func_on_create_udp_;
}

// ---------------------------------------------------------------- adding

void TUX_HTTP_Cli_pool_v3::add_http_get(std::string_view url, TUX_HTTP_Cli_ret_proc func_ret,
                                        std::string_view headers, bool is_run_now) {
  auto r = TUX_HTTP_Cli_Request::CreateFromUrlGet(url, headers);
  r->func_http_ret_ex = std::move(func_ret);
  add_client_for_request(std::move(r), is_run_now);
}

void TUX_HTTP_Cli_pool_v3::add_http_post(std::string_view url, std::string_view postData,
                                         TUX_HTTP_Cli_ret_proc func_ret, std::string_view headers,
                                         bool is_run_now) {
  auto r = TUX_HTTP_Cli_Request::CreateFromUrlPost(url, postData, headers);
  r->func_http_ret_ex = std::move(func_ret);
  add_client_for_request(std::move(r), is_run_now);
}

void TUX_HTTP_Cli_pool_v3::add_http_post_file(std::string_view url, std::string_view headers,
                                              const std::string& sour_fname, TUX_HTTP_Cli_conn_event func_proc_ev,
                                              TUX_HTTP_Cli_ret_proc func_http_ret) {
  auto r = TUX_HTTP_Cli_Request::CreateFromUrlPost(url, "", headers);
  r->func_http_ret_ex = std::move(func_http_ret);
  r->func_http_conn_event = std::move(func_proc_ev);
  // An unreadable file fails the request (kHttpErrSend) instead of posting
  // an empty body that the server would answer as if it were the file.
  if (!r->set_post_file(sour_fname, 0)) r->post_data.source_missing = true;
  add_client_for_request(std::move(r), false);
}

void TUX_HTTP_Cli_pool_v3::add_http_down_file(std::string_view url, std::string_view headers,
                                              std::string_view local_save_fname, std::string_view tag_str,
                                              TUX_HTTP_Cli_conn_event func_proc_ev) {
  auto r = TUX_HTTP_Cli_Request::CreateFromUrlGet(url, headers);
  r->func_http_ret_ex = nullptr;
  r->set_tag(tag_str);
  r->func_http_conn_event = [](TUX_HTTP_Cli_Request*, int32_t, const std::string&) {};
  auto d = std::make_unique<TUX_http_cli_downloader>();
  d->Reset();
  d->set_is_continue_downlad_mode(true);
  d->func_on_ev_proc_out = std::move(func_proc_ev);
  std::string save(local_save_fname);
  if (!save.empty() && (save.back() == '/' || save.back() == '\\'))
    save += TUX_Path::extractfileName(std::string(url));
  d->set_local_save_fname(save);
  configure(*d);
  d->Http_cmd(std::move(r));
  d->SetActive(true);
  queue_engine(d.release(), false);
}

void TUX_HTTP_Cli_pool_v3::add_ws_conn(std::string_view url, std::string_view headers, std::string_view tag,
                                       TUX_WS_conn_event ws_conn_event) {
  auto r = TUX_HTTP_Cli_Request::CreateFromWSConn(url, headers);
  r->func_ws_conn_event = std::move(ws_conn_event);
  r->set_tag(tag.empty() ? "ws" + random_digits(20) : std::string(tag));
  add_client_for_request(std::move(r), false);
}

void TUX_HTTP_Cli_pool_v3::add_client_for_request(std::unique_ptr<TUX_HTTP_Cli_Request> request, bool run_now) {
  auto e = std::make_unique<TUX_http_client_v3>();
  e->Reset();
  configure(*e);
  e->Http_cmd(std::move(request));
  e->SetActive(true);
  queue_engine(e.release(), run_now);
}

void TUX_HTTP_Cli_pool_v3::push_client(std::unique_ptr<TUX_http_client_v3> engine, bool run_now) {
  if (engine) queue_engine(engine.release(), run_now);
}

void TUX_HTTP_Cli_pool_v3::queue_engine(TUX_http_client_v3* engine, bool run_now) {
  {
    std::lock_guard<std::recursive_mutex> g(task_pool.lock);
    const int32_t limit = FMaxTaskExecCount.load();
    const int32_t active = admitted_count();
    const bool wait = (limit > 0 && active >= limit && !run_now) || active > kMaxActive;
    (wait ? queue_task_pool : task_pool).push(engine, nullptr, 0, true);
  }
  wake_worker();
}

void TUX_HTTP_Cli_pool_v3::wake_worker() {
  const int32_t n = min32(fMaxTheadCount.load(), kThreadSlots);
  std::lock_guard<std::mutex> g(threads_lock_);
  for (int32_t i = 0; i < n; ++i) {
    TUX_New_Thread* th = thread_list[i];
    if (th && th->isAvaliable()) {
      try {
        th->Start();
        return;
      } catch (...) {
        // No thread could be made; try the next slot.
      }
    }
  }
  // None has been suspended for long: some are busy, others are just going
  // to sleep. Every worker gets a wake-up (left pending on a running one), so
  // a worker that found the queue empty a moment ago looks again and the
  // engine is never left without a worker.
  for (int32_t i = 0; i < n; ++i) {
    if (!thread_list[i]) continue;
    try {
      thread_list[i]->Start();
    } catch (...) {
    }
  }
}

// ---------------------------------------------------------------- workers

// The admission counts change only under task_pool.lock (a queue's lock is
// re-entrant), so a count taken under it is exact.
int32_t TUX_HTTP_Cli_pool_v3::admitted_count() const { return task_pool.count() + in_step_.load(); }

void* TUX_HTTP_Cli_pool_v3::next_client(TUX_New_Thread* /*th*/) {
  if (!f_active.load()) return nullptr;
  std::lock_guard<std::recursive_mutex> g(task_pool.lock);
  void* p = nullptr;
  if (!(task_pool.Pop_Data_out(p) && p)) {
    // A waiting engine is taken only when admission allows it.
    if (admitted_count() >= admission_limit() || !(queue_task_pool.Pop_Data_out(p) && p)) return nullptr;
  }
  in_step_ += 1;
  return p;
}

int32_t TUX_HTTP_Cli_pool_v3::admission_limit() const {
  const int32_t limit = FMaxTaskExecCount.load();
  return limit > 0 ? limit : fMaxTheadCount.load();
}

void TUX_HTTP_Cli_pool_v3::step_client(TUX_New_Thread* /*th*/, void* task) {
  auto* e = static_cast<TUX_http_client_v3*>(task);
  if (!e) return;
  if (!f_active.load()) {
    free_engine(e);
    in_step_ -= 1;
    return;
  }
  if (e->Active()) {
    try {
      e->execute();
    } catch (...) {
    }
  }
  if (e->Active()) {
    if (is_closing_ws(*e, close_tag())) e->close_ws_conn();
    std::lock_guard<std::recursive_mutex> g(task_pool.lock);
    task_pool.push(e);
    in_step_ -= 1;
    return;
  }
  if (blank_task_pool.count() < kMaxIdleKept && e->recycleAble) {
    blank_task_pool.push(e);
  } else {
    free_engine(e);
  }
  in_step_ -= 1;
  admit_waiting();
}

void TUX_HTTP_Cli_pool_v3::admit_waiting() {
  std::lock_guard<std::recursive_mutex> g(task_pool.lock);
  if (admitted_count() >= admission_limit()) return;
  void* p = nullptr;
  if (queue_task_pool.Pop_Data_out(p) && p) task_pool.push(p);
}

// ---------------------------------------------------------------- WebSocket control

void TUX_HTTP_Cli_pool_v3::close_ws_conn(std::string_view tag) {
  if (tag.empty()) return;
  const std::string t(tag);
  {
    std::lock_guard<std::mutex> g(settings_lock_);
    on_fly.close_tag = t;
  }
  // The walk runs under the queue's lock: no worker can take an engine out
  // of the queue while it is looked at.
  task_pool.ForEach(
      [](PUX_FIFO_Item item, int64_t tag_int, bool& /*DoNext*/) {
        TUX_http_client_v3* e = engine_of(item);
        if (e && is_closing_ws(*e, *reinterpret_cast<const std::string*>(tag_int))) e->close_ws_conn();
      },
      reinterpret_cast<int64_t>(&t));
}

TUX_http_client_v3* TUX_HTTP_Cli_pool_v3::get_conn_by_uuid(std::string_view uuid) {
  TUuidSearch search{uuid};
  task_pool.ForEach(
      [](PUX_FIFO_Item item, int64_t tag_int, bool& DoNext) {
        auto* s = reinterpret_cast<TUuidSearch*>(tag_int);
        TUX_http_client_v3* e = engine_of(item);
        if (e && ci_equal(e->uuid(), s->uuid)) {
          s->found = e;
          DoNext = false;
        }
      },
      reinterpret_cast<int64_t>(&search));
  return search.found;
}

// ---------------------------------------------------------------- tasks

std::unique_ptr<TUX_HTTP_TASK> TUX_HTTP_Cli_pool_v3::Create_Http_task() {
  auto task = std::make_unique<TUX_HTTP_TASK>();
  task->func_run_it = [this](std::unique_ptr<TUX_HTTP_TASK> t) { run_http_task(std::move(t)); };
  return task;
}

void TUX_HTTP_Cli_pool_v3::run_http_task(std::unique_ptr<TUX_HTTP_TASK> task) {
  if (!task) return;
  std::unique_ptr<TUX_HTTP_Cli_Request> r;
  if (ci_equal(task->method, "get")) {
    r = TUX_HTTP_Cli_Request::CreateFromUrlGet(task->url, task->Headers);
  } else if (ci_equal_any2(task->method, "post", "put")) {
    r = TUX_HTTP_Cli_Request::CreateFromUrlPost(task->url, task->postData, task->Headers);
  }
  if (!r) return;
  r->func_http_ret_ex = task->func_ret;
  add_client_for_request(std::move(r), task->is_run_now);
}

// ---------------------------------------------------------------- blocking calls

std::string TUX_HTTP_Cli_pool_v3::sync_run(std::unique_ptr<TUX_HTTP_Cli_Request> request, int32_t timeout_sec) {
  TUX_http_client_v3 e;
  configure(e);
  e.Http_cmd(std::move(request));
  e.SetActive(true);
  const int64_t start = now_ms();
  const int64_t limit_ms = int64_t(timeout_sec > 0 ? timeout_sec : kDefaultSyncTimeoutSec) * 1000;
  for (;;) {
    const int32_t s = e.State();
    if (s < kHttpStateOpen || s > kHttpStateReceive || !e.Active()) break;
    if (now_ms() - start >= limit_ms) break;
    const uint64_t before = e.progress();
    e.execute();
    // A step that moved nothing waits a little instead of spinning.
    if (e.progress() == before) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return e.State() == kHttpStateDone ? e.get_Response_asString() : std::string();
}

std::string TUX_HTTP_Cli_pool_v3::sync_http_get(std::string_view url, std::string_view headers,
                                                int32_t timeout_sec) {
  return sync_run(TUX_HTTP_Cli_Request::CreateFromUrlGet(url, headers), timeout_sec);
}

std::string TUX_HTTP_Cli_pool_v3::sync_http_post(std::string_view url, std::string_view postData,
                                                 std::string_view headers, int32_t timeout_sec) {
  return sync_run(TUX_HTTP_Cli_Request::CreateFromUrlPost(url, postData, headers), timeout_sec);
}

}  // namespace ux
