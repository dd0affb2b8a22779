// threadfunc: TExThread, a thread that calls its work procedures over and
// over (1 ms apart unless NoDelay) until it is closed; tiny threads
// (TTinyThread), cooperative work items that share one TExThread of the
// process-wide TTinyThread_Pool.
//
// Lifetime: a TExThread lives on the heap and is made by one of the Create
// functions. It is created suspended; start() runs it. Close() ends it:
//   - called from another thread, Close() makes the loop end after the current
//     pass, joins the thread and frees the object before it returns, so no
//     callback runs after Close() and the owner may free what the callbacks
//     touch at once;
//   - called from the thread itself (inside a callback), Close() only asks the
//     loop to end; the thread frees its object when the loop is over.
// A thread closed before it was started still runs onStart and onStop once.
// When the owner's Close() is under way while a callback closes the thread
// through its sender, the owner's Close() joins and frees it. A thread that
// closed itself may be freed at any moment, so the owner must not call
// Close() on it afterwards. The pointer is dead once Close() was called;
// CloseAndNil() also clears the owner's pointer.
//
// Thread-safety: onStart, onStop, onExec and userfunc are set before start()
// and not changed while the thread runs (Close() disables onExec without
// touching the function object). NoDelay may be changed at any time.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace ux {

// Plain procedure receiving the opaque user pointer given at creation.
using TExThread_Func = void (*)(void* Userdata);
// Method receiving the object that raises the event (the thread itself here).
using TNotifyEvent = std::function<void(void* Sender)>;

class TExThread {
 public:
  struct TUserFunc {
    TExThread_Func func = nullptr;
    void* UserData = nullptr;
  };
  // Free for the owner; the thread never reads it.
  struct TParam {
    int64_t p1 = 0;
    int64_t p2 = 0;
    std::string p3;
    std::string p4;
    void* p5 = nullptr;
    void* p6 = nullptr;
  };

  // Suspended, NoDelay and Single_Thread_Mode false.
  static TExThread* Create();
  // Create, then userfunc := (func, fUserData); the caller starts it.
  static TExThread* CreateFunc(TExThread_Func func, void* fUserData);
  // Create, then onExec := Exec_func; starts the thread only when Exec_func is set.
  static TExThread* CreateAndStart(TNotifyEvent Exec_func);

  // Runs the thread; no effect once it runs. Throws std::system_error when
  // the thread cannot be created (the object stays usable and suspended).
  void start();
  // Ends the thread and frees the object (see the banner). Never throws.
  void Close() noexcept;
  // Close() on TH when it is not null, then TH := nullptr.
  static void CloseAndNil(TExThread*& TH) noexcept;

  bool is_tiny_mode() const noexcept { return false; }
  // True from start() until the loop has ended (onStop done).
  bool running() const noexcept { return in_execute_.load(std::memory_order_acquire); }
  // True once termination was requested.
  bool Terminated() const noexcept { return terminated_.load(std::memory_order_acquire); }

  // Number of TExThread objects not yet freed, process-wide.
  static int64_t live_count() noexcept;

  TUserFunc userfunc;
  bool Single_Thread_Mode = false;
  TNotifyEvent onStart;
  TNotifyEvent onStop;
  TNotifyEvent onExec;
  TParam param;
  std::atomic<bool> NoDelay{false};

  TExThread(const TExThread&) = delete;
  TExThread& operator=(const TExThread&) = delete;

 private:
  TExThread();
  ~TExThread();
  void Execute() noexcept;
  static void run(TExThread* self) noexcept;

  std::mutex mu_;  // guards th_, started_, self_free_, joiner_
  std::thread th_;
  bool started_ = false;
  bool self_free_ = false;  // the thread frees the object when its loop ends
  bool joiner_ = false;     // a Close() from another thread joins and frees it
  std::atomic<bool> terminated_{false};
  std::atomic<bool> exec_enabled_{true};
  std::atomic<bool> in_execute_{false};
};

// ---------------------------------------------------------------- tiny threads

// One unit of cooperative work, run once per pass of the pool's thread.
// Shared ownership (std::shared_ptr): a pass holds a reference while it runs
// the item, so an item released elsewhere meanwhile is destroyed only after
// its Execute returned. Destruction calls on_Free(self).
class ITinyThread {
 public:
  virtual ~ITinyThread() = default;
  // Replaces the work of one pass; safe while a pass runs (the running call
  // finishes with the old work).
  virtual void set_thread_exec_event(TNotifyEvent ev) = 0;
  // Runs the work once; exceptions are swallowed. Nothing after close().
  virtual void Execute() = 0;
  // No more work is run and the item leaves its pool; the object itself goes
  // with its last reference. Called from another thread, it waits for a
  // running Execute to return, so the work's data may be freed right after.
  virtual void close() = 0;
};

class TTinyThread : public ITinyThread {
 public:
  TTinyThread() = default;
  ~TTinyThread() override;
  TTinyThread(const TTinyThread&) = delete;
  TTinyThread& operator=(const TTinyThread&) = delete;

  void set_thread_exec_event(TNotifyEvent ev) override;
  void Execute() override;
  void close() override;
  // Called once with the object's address: at close() or at destruction,
  // whichever comes first.
  void set_on_free(TNotifyEvent ev);

 private:
  friend class TTinyThread_Pool;
  std::mutex mu_;      // guards on_exec, on_Free
  std::mutex run_mu_;  // held while the work runs
  std::atomic<std::thread::id> runner_{};
  std::shared_ptr<const TNotifyEvent> on_exec;
  TNotifyEvent on_Free;
  std::atomic<bool> closed_{false};
};

// Runs every tiny thread added to it once per pass of its own TExThread
// (about once per millisecond). Holds its items weakly: it never keeps one
// alive between passes. Held by std::shared_ptr. Destroying the pool ends
// and joins its thread and detaches the items, whose on_Free no longer calls
// back into it.
class TTinyThread_Pool : public std::enable_shared_from_this<TTinyThread_Pool> {
 public:
  TTinyThread_Pool();
  ~TTinyThread_Pool();
  TTinyThread_Pool(const TTinyThread_Pool&) = delete;
  TTinyThread_Pool& operator=(const TTinyThread_Pool&) = delete;

  // Adds th unless it is already there; it leaves the pool when destroyed or
  // closed. Null is ignored.
  void add_task(const std::shared_ptr<TTinyThread>& th);
  void remove_task(const TTinyThread* th);
  int32_t count();

 private:
  void pass();

  std::mutex mu_;  // guards list
  std::vector<std::pair<const TTinyThread*, std::weak_ptr<TTinyThread>>> list;
  TExThread* th = nullptr;
};

// The process-wide pool, created on first call; free_tiny_thread_pool()
// destroys it (the library does so at process end).
std::shared_ptr<TTinyThread_Pool> tiny_thread_pool();
void free_tiny_thread_pool();

}  // namespace ux
