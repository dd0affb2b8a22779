// ux_thread_common_class: TUX_New_Thread, a worker that fetches one task per
// turn and executes it, and suspends itself when it finds nothing to do.
//
// Tasks: either the owner's fetch function onGetNewTask (called once per
// turn) or the 8 task slots filled by AddTask. A task stays in its slot after
// it ran: it runs again on every turn that picks its slot until it is removed.
//
// Suspension: pause() on the worker's own thread waits on a condition
// variable until the next Start(). A Start() that arrives while the worker is
// still running leaves a wake-up behind, so the next pause() returns at once:
// wake-ups are never lost. pause() from another thread takes effect when the
// worker's current turn ends, unless a Start() comes after it; it cancels a
// wake-up left by an earlier Start(). With auto_pause off the idle worker
// polls with a 1 ms sleep instead (worker 0 of the HTTP pool).
//
// Lifetime: heap object made by Create/CreateAndStart, created suspended.
// CloseAndNil() from another thread ends the worker after its current turn,
// joins it and frees it before returning; from inside a task it only asks the
// worker to end, and the worker frees itself when its loop is over. When both
// happen, the close from the other thread joins and frees it. A task
// fetched before the close is still handed to onExec, so fetched work is
// never dropped.
//
// Thread-safety: AddTask, RemoveTask, isNonTaskNow hold `lock`; Start, pause,
// isAvaliable and the properties may be called from any thread. onExec and
// onGetNewTask are set before the first Start() and not changed afterwards.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace ux {

class TUX_New_Thread;

// Executes one task on the worker's thread.
using TUX_Thread_Exec_func = std::function<void(TUX_New_Thread* th, void* task)>;
// Returns the next task or nullptr.
using TUX_Thread_GetTask_func = std::function<void*(TUX_New_Thread* th)>;

class TUX_New_Thread {
 public:
  static constexpr int kTaskSlots = 8;
  static constexpr int32_t kMaxRecyleMsec = 100;
  static constexpr int32_t kExecCountWrap = 0x6FFFFF00;

  // Suspended, single-task mode, RecyleMsec 4, auto-pause on.
  static TUX_New_Thread* Create();
  // Create, then onExec := Exec_func; the worker stays suspended.
  static TUX_New_Thread* CreateAndStart(TUX_Thread_Exec_func Exec_func);

  // at_last_start := now_ms; wakes the worker (first start or after pause).
  // Throws std::system_error when the thread cannot be created; the worker
  // then stays suspended.
  TUX_New_Thread* Start();
  // f_exec_count := 0; at_last_pause := now_ms; suspends the worker until the
  // next Start() (see the banner for calls from other threads).
  TUX_New_Thread* pause();
  // Suspended (or never started) and paused more than RecyleMsec ms ago.
  bool isAvaliable() const;

  bool AddTask(void* task);
  bool RemoveTask(void* task);
  bool RemoveTaskThenPause(void* task);
  // Single-task mode: slot 0 is empty. Multi-task mode: every slot is empty.
  bool isNonTaskNow();

  int32_t RecyleMsec() const noexcept { return FRecyleMsec.load(std::memory_order_relaxed); }
  void SetRecyleMsec(int32_t Value) noexcept;
  bool singleTaskMode() const noexcept { return FsingleTaskMode.load(std::memory_order_relaxed); }
  void SetsingleTaskMode(bool Value) noexcept { FsingleTaskMode.store(Value, std::memory_order_relaxed); }
  int32_t idx() const noexcept { return f_idx.load(std::memory_order_relaxed); }
  void Setidx(int32_t Value) noexcept { f_idx.store(Value, std::memory_order_relaxed); }
  bool auto_pause() const noexcept { return f_auto_pause.load(std::memory_order_relaxed); }
  void Setauto_pause(bool Value) noexcept { f_auto_pause.store(Value, std::memory_order_relaxed); }
  // Tasks executed since the last pause (read by the owner as a momentary value).
  int32_t exec_count() const noexcept { return f_exec_count.load(std::memory_order_relaxed); }
  int64_t last_pause_ms() const noexcept { return at_last_pause.load(std::memory_order_relaxed); }
  int64_t last_start_ms() const noexcept { return at_last_start.load(std::memory_order_relaxed); }
  // True while the worker waits in pause() (or was never started).
  bool suspended() const noexcept { return suspended_.load(std::memory_order_acquire); }
  // True once the worker was told to end.
  bool Terminated() const noexcept { return terminated_.load(std::memory_order_acquire); }

  // Ends the worker (see the banner) and sets TH := nullptr.
  static void CloseAndNil(TUX_New_Thread*& TH) noexcept;

  // Number of TUX_New_Thread objects not yet freed, process-wide.
  static int64_t live_count() noexcept;

  TUX_Thread_Exec_func onExec;
  TUX_Thread_GetTask_func onGetNewTask;

  TUX_New_Thread(const TUX_New_Thread&) = delete;
  TUX_New_Thread& operator=(const TUX_New_Thread&) = delete;

 private:
  TUX_New_Thread();
  ~TUX_New_Thread();
  static void run(TUX_New_Thread* self) noexcept;
  void Execute() noexcept;
  // One turn; false when it ended for lack of a task.
  bool turn();
  void idle();
  void suspend_self();
  void Close() noexcept;

  std::mutex lock;  // guards task_list, f_last_got_idx
  void* task_list[kTaskSlots] = {};
  int32_t f_last_got_idx = 0;

  std::atomic<int32_t> FRecyleMsec{4};
  std::atomic<int64_t> at_last_pause;
  std::atomic<int64_t> at_last_start{0};
  std::atomic<bool> FsingleTaskMode{true};
  std::atomic<int32_t> f_idx{0};
  std::atomic<int32_t> f_exec_count{0};
  std::atomic<bool> f_auto_pause{true};

  std::mutex wake_mu_;  // guards wake_, th_, started_, self_free_, joiner_
  std::condition_variable wake_cv_;
  bool wake_ = false;
  bool started_ = false;
  bool self_free_ = false;  // the worker frees the object when its loop ends
  bool joiner_ = false;     // a close from another thread joins and frees it
  std::thread th_;
  std::atomic<bool> suspended_{true};
  std::atomic<bool> pause_request_{false};
  std::atomic<bool> terminated_{false};
};

}  // namespace ux
