// ux_http_cli_pool: TUX_HTTP_Cli_pool_v3, the process-wide runner of HTTP
// client engines, and TUX_HTTP_TASK, a request described now and queued
// later.
//
// The add operations build a request, wrap it in an engine (the plain client,
// the file downloader), and queue it; workers (TUX_New_Thread, up to 16) take
// the engine at the head of the active queue, run one step of it, and put it
// back at the tail while it is still active. Every engine callback therefore
// runs on some worker, one at a time per engine.
//
// Queues: the waiting queue (admission), the active queue (stepped
// round-robin) and the idle queue (finished recyclable engines, at most 64).
// Each queue owns its engines and frees them when cleared or destroyed.
// Admission: an engine waits while MaxTaskExecCount or more are admitted
// (unless run_now), and always while more than 60 are; admitted engines are
// those in the active queue and those a worker is stepping.
//
// Workers: 4 by default. Idle workers suspend; a push resumes one that has
// slept for a while, or, when none has, leaves a wake-up with every worker,
// so no engine waits for a worker that went to sleep just before the push.
//
// Lifetime: shared ownership. The destructor stops work (Active false),
// joins every worker — so no step runs once it returns — and then frees the
// queues with their engines. It must not run on a worker of this pool.
//
// Thread-safety: every operation may be called from any thread, including
// from inside an engine callback; the queues have their own locks.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "common/ext_list_2.h"
#include "common/net/ux_cli_socket.h"
#include "common/net/ux_http_callbacks.h"
#include "common/net/ux_http_cli_downloader.h"
#include "common/net/ux_http_cli_v3.h"
#include "common/ux_thread_common_class.h"

namespace ux {

class TUX_HTTP_Cli_pool_v3;
class TUX_ws_downloader_cli;
class TUX_ws_uploader_cli;

// A request described now and queued by ExecuteNow. tag, delay_run_msec and
// timeout_sec are carried for the caller; the pool does not read them.
struct TUX_HTTP_TASK {
  std::function<void(std::unique_ptr<TUX_HTTP_TASK> task)> func_run_it;
  std::string method;  // "get"; "post" or "put" (sent as POST); others are dropped
  std::string url;
  std::string postData;
  std::string Headers;
  std::string tag;
  int32_t delay_run_msec = 0;
  int32_t timeout_sec = 0;
  bool is_run_now = false;
  TUX_HTTP_Cli_ret_proc func_ret;

  // Hands the task to func_run_it, which consumes it.
  static void ExecuteNow(std::unique_ptr<TUX_HTTP_TASK> task);
};

class TUX_HTTP_Cli_pool_v3 {
 public:
  static constexpr int32_t kThreadSlots = 16;
  static constexpr int32_t kMaxThreadSetting = 30;
  static constexpr int32_t kDefaultThreads = 4;
  static constexpr int32_t kDefaultMaxTaskExecCount = 10;
  // The active queue never takes an engine beyond this many (run_now too).
  static constexpr int32_t kMaxActive = 60;
  static constexpr int32_t kMaxIdleKept = 64;
  static constexpr int32_t kWorkerRecycleMs = 1;
  // sync_http_get/post without a positive timeout.
  static constexpr int32_t kDefaultSyncTimeoutSec = 30;

  TUX_HTTP_Cli_pool_v3();
  ~TUX_HTTP_Cli_pool_v3();
  TUX_HTTP_Cli_pool_v3(const TUX_HTTP_Cli_pool_v3&) = delete;
  TUX_HTTP_Cli_pool_v3& operator=(const TUX_HTTP_Cli_pool_v3&) = delete;

  // ---- requests (each returns at once; callbacks run on a worker)

  // func_ret: (status, body) on success, (negative error, "") on failure.
  void add_http_get(std::string_view url, TUX_HTTP_Cli_ret_proc func_ret, std::string_view headers = {},
                    bool is_run_now = false);
  void add_http_post(std::string_view url, std::string_view postData, TUX_HTTP_Cli_ret_proc func_ret,
                     std::string_view headers = {}, bool is_run_now = false);
  // The body is read from sour_fname; when it cannot be opened, nothing is
  // sent and func_http_ret gets (kHttpErrSend, ""). func_proc_ev is kept on
  // the request.
  void add_http_post_file(std::string_view url, std::string_view headers, const std::string& sour_fname,
                          TUX_HTTP_Cli_conn_event func_proc_ev, TUX_HTTP_Cli_ret_proc func_http_ret);
  // Downloads url into local_save_fname (a name ending in "/" or "\" gets the
  // URL's file name appended), resuming a partial file; events 2, 101, 102,
  // 103, 104 reach func_proc_ev (see ux_http_cli_downloader.h).
  void add_http_down_file(std::string_view url, std::string_view headers, std::string_view local_save_fname,
                          std::string_view tag_str, TUX_HTTP_Cli_conn_event func_proc_ev);
  // A WebSocket connection; an empty tag becomes "ws" + 20 random digits.
  void add_ws_conn(std::string_view url, std::string_view headers, std::string_view tag,
                   TUX_WS_conn_event ws_conn_event);
  // Closes every active WebSocket engine tagged tag (ASCII case-insensitive),
  // and every such engine stepped later. An empty tag is ignored.
  void close_ws_conn(std::string_view tag);
  // The engine in the active queue with this uuid (ASCII case-insensitive),
  // or null; engines waiting or being stepped right now are not found. The
  // pointer is valid only while the engine stays in the pool.
  TUX_http_client_v3* get_conn_by_uuid(std::string_view uuid);

  // A task whose ExecuteNow queues it on this pool (the pool must outlive it).
  std::unique_ptr<TUX_HTTP_TASK> Create_Http_task();

  // Blocking exchanges on the calling thread; the body when the answer
  // completed within timeout_sec (30 when not positive), else "".
  std::string sync_http_get(std::string_view url, std::string_view headers, int32_t timeout_sec);
  std::string sync_http_post(std::string_view url, std::string_view postData, std::string_view headers,
                             int32_t timeout_sec);

  // WebSocket file transfer (defined with the clients in ux_ws_file_cli.cpp).
  // Downloads url into local_save_fname (a name ending in "/" or "\" gets the
  // URL's file name) with params (JSON: "tag", "is_vpath",
  // "is_save_multi_file", "multi_file_block_size", "task_type", ...); event
  // 100 comes before the client is queued. The client, owned by the pool.
  TUX_ws_downloader_cli* add_ws_get_file(std::string_view url, std::string_view headers,
                                         std::string_view local_save_fname, std::string_view params,
                                         TUX_WS_conn_event ws_conn_event);
  // params carries "url", "headers" and "filename"; they are emptied in the
  // parameters the client keeps.
  TUX_ws_uploader_cli* add_ws_put_file(std::string_view params, TUX_WS_conn_event ws_conn_event);
  // Uploads sour_fname (a container index when params has "is_vpath" 1, of
  // the one-file size "vpath_file_size"); event 110 comes before the client
  // is queued. Null, and nothing reported, for a source of size 0 or less.
  TUX_ws_uploader_cli* add_ws_put_file(std::string_view url, std::string_view headers, const std::string& sour_fname,
                                       std::string_view params, TUX_WS_conn_event ws_conn_event);
  // Queues an engine the caller built and activated (the WebSocket file
  // clients' add operations come through here). The pool owns it from now.
  void push_client(std::unique_ptr<TUX_http_client_v3> engine, bool run_now);

  // ---- properties

  int32_t MaxThreadCount() const { return fMaxTheadCount.load(); }
  // Stores min(v, 30); creates the workers of slots below it, closes the rest.
  void SetMaxThreadCount(int32_t v);
  int32_t MaxTaskExecCount() const { return FMaxTaskExecCount.load(); }
  void SetMaxTaskExecCount(int32_t v) { FMaxTaskExecCount.store(v); }
  bool Active() const { return f_active.load(); }
  void SetActive(bool v) { f_active.store(v); }
  std::string default_socket_mode() const;
  void set_default_socket_mode(std::string_view m);
  Tfunc_on_create_udp func_on_create_udp() const;
  void set_func_on_create_udp(Tfunc_on_create_udp f);

  // ---- inspection (momentary values)
  int32_t active_count() const { return task_pool.count(); }
  int32_t waiting_count() const { return queue_task_pool.count(); }
  int32_t idle_count() const { return blank_task_pool.count(); }
  // Engines a worker is stepping right now.
  int32_t stepping_count() const { return in_step_.load(); }
  int32_t worker_count();

 private:
  struct TOnFly {
    std::string close_tag;
  };

  void add_client_for_request(std::unique_ptr<TUX_HTTP_Cli_Request> request, bool run_now);
  void queue_engine(TUX_http_client_v3* engine, bool run_now);
  void wake_worker();
  void* next_client(TUX_New_Thread* th);
  void step_client(TUX_New_Thread* th, void* task);
  void admit_waiting();
  // Engines in the active queue plus those a worker holds right now.
  int32_t admitted_count() const;
  // MaxTaskExecCount, or MaxThreadCount when that is not positive.
  int32_t admission_limit() const;
  void run_http_task(std::unique_ptr<TUX_HTTP_TASK> task);
  std::string sync_run(std::unique_ptr<TUX_HTTP_Cli_Request> request, int32_t timeout_sec);
  // Copies the transport settings into an engine the pool made.
  void configure(TUX_http_client_v3& engine);
  std::string close_tag() const;
  static void free_engine(TUX_http_client_v3* engine) noexcept;

  TUX_FIFO_Pool blank_task_pool;
  TUX_FIFO_Pool queue_task_pool;
  TUX_FIFO_Pool task_pool;
  std::mutex glock;

  std::mutex threads_lock_;  // guards thread_list
  TUX_New_Thread* thread_list[kThreadSlots] = {};

  mutable std::mutex settings_lock_;  // guards on_fly, f_default_socket_mode, func_on_create_udp_
  TOnFly on_fly;
  std::string f_default_socket_mode = "TCP";
  Tfunc_on_create_udp func_on_create_udp_;

  std::atomic<int32_t> fMaxTheadCount{0};
  std::atomic<int32_t> FMaxTaskExecCount{kDefaultMaxTaskExecCount};
  std::atomic<bool> f_active{false};
  std::atomic<int32_t> in_step_{0};  // engines taken by a worker and not yet put back
};

// The process-wide pool, created (and made active) on the first call. Not
// locked: the first call must not race with another.
std::shared_ptr<TUX_HTTP_Cli_pool_v3> http_cli_pool();
// Drops the process-wide reference; the pool is destroyed with its last
// holder. The next http_cli_pool() creates a new one.
void http_cli_pool_free();

}  // namespace ux
