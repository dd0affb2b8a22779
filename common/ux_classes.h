// ux_classes: the timer list (ITimer_Task / TEX_Timer_Task) and the base of
// objects switched on and off through an Active flag (TActive_Base_Class).
//
// Timer list. Entries are kept in insertion order and advance only when the
// owner calls Execute() from its own loop; time is tick_ms() (jets also keep
// now_ms() of their last definition). Kinds of entry:
//   - periodic (Add_Task): runs every interval until its callback sets ClearIt;
//   - delayed (Delay_Run with a TTime_Delay_Func, Delay_Run2): runs once per
//     interval while its callback sets RunOneMore;
//   - one-shot (Delay_Run with a TProc_Obj_func or a TNotifyEvent);
//   - jet (dejet_define / dejet_update): coalesces bursts of updates into one
//     call per interval with the latest params; dropped one interval after
//     its last call when no update came.
// Handles are ids drawn from a 64-bit counter that is never reused, so a
// stale handle (its entry already discarded) matches nothing and is harmless.
// 0 means "not added".
//
// Thread-safety: every operation may be called from any thread; Lock guards
// the list and the entries' bookkeeping. Callbacks run with Lock released, so
// they may add, update and remove entries of the same timer. Exceptions
// raised by callbacks are swallowed. One Execute() at a time is intended
// (the owner's loop); concurrent scans are safe but may run an entry twice.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/threadfunc.h"

namespace ux {

// Periodic callback; setting ClearIt discards the entry.
using TTime_Func = std::function<void(int64_t tag, int64_t Exec_Count, bool& ClearIt)>;
// Delayed callback; the entry runs again only when RunOneMore is set.
using TTime_Delay_Func = std::function<void(int64_t tag, bool& RunOneMore)>;
using TTime_Delay_Func2 = std::function<void(bool& RunOneMore)>;
// One-shot callback.
using TProc_Obj_func = std::function<void()>;
// Jet callbacks: plain procedure with its sender, or a closure.
using TTime_dejet_func = void (*)(void* sender, const std::string& jet_id, const std::string& params);
using TTime_dejet_func2 = std::function<void(const std::string& jet_id, const std::string& params)>;

class ITimer_Task {
 public:
  virtual ~ITimer_Task() = default;

  // Periodic entry; 0 when the timer is not Active.
  [[nodiscard]] virtual int64_t Add_Task(int64_t Timeout_MSec, int64_t tag, TTime_Func func) = 0;
  // Marks the entry disabled; it is discarded when it next falls due. Unknown
  // or stale handles are ignored.
  virtual void Remove_Task(int64_t task_handle) = 0;
  // One scan of the list: runs the entries that are due, at most 200 ms in total.
  virtual void Execute() = 0;
  // Discards every entry present at the call. The callbacks are released
  // after the list was emptied and without the lock held.
  virtual void Clear() = 0;
  virtual int64_t Delay_Run(int64_t Timeout_MSec, int64_t tag, TTime_Delay_Func func) = 0;
  virtual int64_t Delay_Run2(int64_t timeout_msec, TTime_Delay_Func2 func) = 0;
  virtual void dejet_define(const std::string& jet_id, TTime_dejet_func2 func, int64_t delay_run_msec) = 0;
  virtual void Delay_Run(int64_t Timeout_MSec, TProc_Obj_func func) = 0;
  virtual void Delay_Run(int64_t Timeout_MSec, void* obj, TNotifyEvent func) = 0;
  virtual void dejet_define(void* sender, const std::string& jet_id, TTime_dejet_func func,
                            int64_t delay_run_msec) = 0;
  virtual void dejet_update(const std::string& jet_id, const std::string& params) = 0;
  // Whether the handle's entry is still in the list (false when not Active).
  virtual bool Task_Exists(int64_t TimerID) = 0;
};

class TEX_Timer_Task : public ITimer_Task, public std::enable_shared_from_this<TEX_Timer_Task> {
 public:
  // A scan returns to its owner after this long at the latest (ms of tick_ms).
  static constexpr int64_t kMaxScanMsec = 200;
  // Interval of a jet defined without a positive delay.
  static constexpr int64_t kDefaultJetMsec = 1000;

  // Jet states (TJet::state). Every due time adds 1 to the state of a jet,
  // so the first one after a definition or update makes it kJetDue.
  static constexpr int32_t kJetNone = 0;    // not a jet
  static constexpr int32_t kJetArmed = 1;   // defined or updated, not due yet
  static constexpr int32_t kJetDue = 2;     // its callback runs now
  static constexpr int32_t kJetCalled = 3;  // called; a due time without an update discards it

  struct TJet {
    int32_t state = kJetNone;
    TTime_dejet_func func_jet = nullptr;
    void* sender = nullptr;
    int64_t at_last_set = 0;  // now_ms of the last definition or update
    std::string jet_id;
    std::string params;
  };
  struct TEX_Timer_Task_Rec {
    int64_t id = 0;
    int64_t interval_msec = 0;
    int64_t last_run = 0;
    TTime_Func func_time;
    TTime_Delay_Func func_delay;
    TTime_Delay_Func2 func_delay2;
    TTime_dejet_func2 func_dejet2;
    TJet jet;
    TProc_Obj_func func_proc;
    TNotifyEvent func_notify;
    int64_t tag = 0;
    void* notify_obj = nullptr;
    int64_t exec_count = 0;
    bool due = false;
    bool enabled = true;
  };

  // tiny_thread_mode: from the first added entry on, the process-wide
  // tiny-thread pool calls Execute about once per millisecond; otherwise the
  // owner calls it.
  explicit TEX_Timer_Task(bool tiny_thread_mode = false);
  ~TEX_Timer_Task() override;
  TEX_Timer_Task(const TEX_Timer_Task&) = delete;
  TEX_Timer_Task& operator=(const TEX_Timer_Task&) = delete;

  [[nodiscard]] int64_t Add_Task(int64_t Timeout_MSec, int64_t tag, TTime_Func func) override;
  void Remove_Task(int64_t task_handle) override;
  void Execute() override;
  void Clear() override;
  int64_t Delay_Run(int64_t Timeout_MSec, int64_t tag, TTime_Delay_Func func) override;
  int64_t Delay_Run2(int64_t timeout_msec, TTime_Delay_Func2 func) override;
  void dejet_define(const std::string& jet_id, TTime_dejet_func2 func, int64_t delay_run_msec) override;
  void Delay_Run(int64_t Timeout_MSec, TProc_Obj_func func) override;
  void Delay_Run(int64_t Timeout_MSec, void* obj, TNotifyEvent func) override;
  void dejet_define(void* sender, const std::string& jet_id, TTime_dejet_func func,
                    int64_t delay_run_msec) override;
  void dejet_update(const std::string& jet_id, const std::string& params) override;
  bool Task_Exists(int64_t TimerID) override;

  bool Active() const noexcept { return FActive.load(std::memory_order_acquire); }
  // Number of entries in the list, disabled ones included.
  size_t count();

 protected:
  // Called under Lock after every addition of an entry.
  virtual void task_added() {}

 private:
  using PRec = std::shared_ptr<TEX_Timer_Task_Rec>;

  // Appends rec (id assigned here); 0 when not Active.
  int64_t append(PRec rec);
  PRec new_rec(int64_t interval);
  // Position of the entry with that id, or -1. Caller holds Lock.
  ptrdiff_t find_locked(int64_t id) const;
  // Jet entry named jet_id (ASCII case-insensitive), or -1. Caller holds Lock.
  ptrdiff_t find_jet_locked(const std::string& jet_id) const;
  void define_jet(const std::string& jet_id, TTime_dejet_func func, void* sender, TTime_dejet_func2 func2,
                  int64_t delay_run_msec);
  // Removes the entry; when it sat before the scan position *i, *i steps back.
  void discard(int64_t id, size_t* i);

  std::recursive_mutex Lock;
  std::vector<PRec> time_Func_List;  // ascending ids: insertion order
  int64_t next_id_ = 1;
  std::atomic<bool> FActive{true};
  std::shared_ptr<TTinyThread> TinyTh;
  std::atomic<bool> tiny_added_{false};
};

// A timer list used through its interface (tiny_thread_mode: see TEX_Timer_Task).
std::shared_ptr<ITimer_Task> new_timer_task(bool tiny_thread_mode = false);

// Base of objects opened and closed by setting Active. Made through Create(),
// whose owner pointer switches an active object off (do_deactivate) before it
// is destroyed. A derived object destroyed by other means must call
// SetActive(false) in its own destructor.
//
// Thread-safety: SetActive is atomic in its flag, so concurrent calls with the
// same value run the handler once; the owner serialises switching otherwise.
class TActive_Base_Class {
 public:
  virtual ~TActive_Base_Class() = default;
  TActive_Base_Class(const TActive_Base_Class&) = delete;
  TActive_Base_Class& operator=(const TActive_Base_Class&) = delete;

  bool Active() const noexcept { return FActive.load(std::memory_order_acquire); }
  // Nothing when Value equals Active(); else flag := Value, then do_activate
  // (true) or do_deactivate (false). Exceptions of the handlers propagate.
  void SetActive(bool Value);
  // SetActive on obj; nothing when obj is null.
  static void SetActive(TActive_Base_Class* obj, bool Value);

  template <class T, class... Args>
  static std::shared_ptr<T> Create(Args&&... args) {
    return std::shared_ptr<T>(new T(std::forward<Args>(args)...), [](T* p) {
      try {
        p->SetActive(false);
      } catch (...) {
      }
      delete p;
    });
  }

 protected:
  TActive_Base_Class() = default;
  virtual void do_activate() = 0;
  virtual void do_deactivate() = 0;

 private:
  std::atomic<bool> FActive{false};
};

}  // namespace ux
