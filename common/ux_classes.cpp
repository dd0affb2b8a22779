#include "common/ux_classes.h"

#include <algorithm>

#include "common/ux_common.h"

namespace ux {

namespace {

// exec_count after one more due time: wraps to 1000 before it overflows 32 bits.
int64_t next_exec_count(int64_t n) {
  const int64_t r = n + 1;
  return (r < 1 || r > 2147483646) ? 1000 : r;
}

bool is_due(int64_t start, int64_t last_run, int64_t interval) {
  return interval <= 0 || abs_diff(start, last_run) >= static_cast<uint64_t>(interval);
}

}  // namespace

// ---------------------------------------------------------------- TEX_Timer_Task

TEX_Timer_Task::TEX_Timer_Task(bool tiny_thread_mode) {
  if (!tiny_thread_mode) return;
  TinyTh = std::make_shared<TTinyThread>();
  TinyTh->set_thread_exec_event([this](void*) { Execute(); });
}

TEX_Timer_Task::~TEX_Timer_Task() {
  FActive.store(false, std::memory_order_release);
  if (TinyTh) {
    // Waits out a pass that is running this timer (unless this is that pass).
    TinyTh->close();
    TinyTh.reset();
  }
  TEX_Timer_Task::Clear();
}

size_t TEX_Timer_Task::count() {
  std::lock_guard<std::recursive_mutex> g(Lock);
  return time_Func_List.size();
}

TEX_Timer_Task::PRec TEX_Timer_Task::new_rec(int64_t interval) {
  auto rec = std::make_shared<TEX_Timer_Task_Rec>();
  rec->interval_msec = interval;
  rec->last_run = tick_ms();
  return rec;
}

int64_t TEX_Timer_Task::append(PRec rec) {
  int64_t id;
  {
    std::lock_guard<std::recursive_mutex> g(Lock);
    if (!Active()) return 0;
    id = next_id_++;
    rec->id = id;
    time_Func_List.push_back(std::move(rec));
    task_added();
  }
  // Joins the pool with the first entry, once construction (and the owner's
  // shared_ptr) is complete.
  if (TinyTh && !tiny_added_.exchange(true, std::memory_order_acq_rel)) tiny_thread_pool()->add_task(TinyTh);
  return id;
}

ptrdiff_t TEX_Timer_Task::find_locked(int64_t id) const {
  if (id <= 0) return -1;
  auto it = std::lower_bound(time_Func_List.begin(), time_Func_List.end(), id,
                             [](const PRec& r, int64_t v) { return r->id < v; });
  if (it == time_Func_List.end() || (*it)->id != id) return -1;
  return it - time_Func_List.begin();
}

ptrdiff_t TEX_Timer_Task::find_jet_locked(const std::string& jet_id) const {
  for (size_t i = 0; i < time_Func_List.size(); ++i) {
    const TJet& j = time_Func_List[i]->jet;
    if (j.state > kJetNone && ci_equal(j.jet_id, jet_id)) return static_cast<ptrdiff_t>(i);
  }
  return -1;
}

int64_t TEX_Timer_Task::Add_Task(int64_t Timeout_MSec, int64_t tag, TTime_Func func) {
  if (!Active()) return 0;
  PRec rec = new_rec(Timeout_MSec);
  rec->func_time = std::move(func);
  rec->tag = tag;
  return append(std::move(rec));
}

int64_t TEX_Timer_Task::Delay_Run(int64_t Timeout_MSec, int64_t tag, TTime_Delay_Func func) {
  if (!Active()) return 0;
  PRec rec = new_rec(Timeout_MSec);
  rec->func_delay = std::move(func);
  rec->tag = tag;
  return append(std::move(rec));
}

int64_t TEX_Timer_Task::Delay_Run2(int64_t timeout_msec, TTime_Delay_Func2 func) {
  if (!Active()) return 0;
  PRec rec = new_rec(timeout_msec);
  rec->func_delay2 = std::move(func);
  return append(std::move(rec));
}

void TEX_Timer_Task::Delay_Run(int64_t Timeout_MSec, TProc_Obj_func func) {
  if (!Active()) return;
  PRec rec = new_rec(Timeout_MSec);
  rec->func_proc = std::move(func);
  (void)append(std::move(rec));
}

void TEX_Timer_Task::Delay_Run(int64_t Timeout_MSec, void* obj, TNotifyEvent func) {
  if (!Active()) return;
  PRec rec = new_rec(Timeout_MSec);
  rec->func_notify = std::move(func);
  rec->notify_obj = obj;
  rec->tag = static_cast<int64_t>(reinterpret_cast<intptr_t>(obj));
  (void)append(std::move(rec));
}

void TEX_Timer_Task::define_jet(const std::string& jet_id, TTime_dejet_func func, void* sender,
                                TTime_dejet_func2 func2, int64_t delay_run_msec) {
  if (jet_id.empty() || !Active()) return;
  std::lock_guard<std::recursive_mutex> g(Lock);
  const ptrdiff_t pos = find_jet_locked(jet_id);
  PRec rec;
  if (pos >= 0) {
    rec = time_Func_List[static_cast<size_t>(pos)];
  } else {
    rec = new_rec(delay_run_msec > 0 ? delay_run_msec : kDefaultJetMsec);
  }
  rec->jet.state = kJetArmed;
  rec->jet.at_last_set = now_ms();
  rec->jet.jet_id = jet_id;
  rec->jet.params.clear();
  rec->jet.func_jet = func;
  rec->jet.sender = sender;
  rec->func_dejet2 = std::move(func2);
  if (pos < 0) (void)append(std::move(rec));
}

void TEX_Timer_Task::dejet_define(const std::string& jet_id, TTime_dejet_func2 func, int64_t delay_run_msec) {
  define_jet(jet_id, nullptr, nullptr, std::move(func), delay_run_msec);
}

void TEX_Timer_Task::dejet_define(void* sender, const std::string& jet_id, TTime_dejet_func func,
                                  int64_t delay_run_msec) {
  define_jet(jet_id, func, sender, nullptr, delay_run_msec);
}

void TEX_Timer_Task::dejet_update(const std::string& jet_id, const std::string& params) {
  if (jet_id.empty() || !Active()) return;
  std::lock_guard<std::recursive_mutex> g(Lock);
  const ptrdiff_t pos = find_jet_locked(jet_id);
  if (pos < 0) return;
  TJet& j = time_Func_List[static_cast<size_t>(pos)]->jet;
  j.state = kJetArmed;
  j.at_last_set = now_ms();
  j.jet_id = jet_id;
  j.params = params;
}

void TEX_Timer_Task::Remove_Task(int64_t task_handle) {
  if (!Active()) return;
  std::lock_guard<std::recursive_mutex> g(Lock);
  const ptrdiff_t pos = find_locked(task_handle);
  if (pos >= 0) time_Func_List[static_cast<size_t>(pos)]->enabled = false;
}

bool TEX_Timer_Task::Task_Exists(int64_t TimerID) {
  if (!Active()) return false;
  std::lock_guard<std::recursive_mutex> g(Lock);
  return find_locked(TimerID) >= 0;
}

void TEX_Timer_Task::Clear() {
  std::vector<PRec> gone;
  {
    std::lock_guard<std::recursive_mutex> g(Lock);
    gone.swap(time_Func_List);
  }
  // Released outside Lock and outside the list: a callback's captured objects
  // may use the timer as they go.
  gone.clear();
}

void TEX_Timer_Task::discard(int64_t id, size_t* i) {
  std::lock_guard<std::recursive_mutex> g(Lock);
  const ptrdiff_t pos = find_locked(id);
  if (pos < 0) return;
  time_Func_List.erase(time_Func_List.begin() + pos);
  if (i && static_cast<size_t>(pos) < *i) --*i;
}

void TEX_Timer_Task::Execute() {
  if (!Active()) return;
  // A callback may drop the owner's last reference; the scan keeps the list alive.
  const std::shared_ptr<TEX_Timer_Task> keep = weak_from_this().lock();
  const int64_t start = tick_ms();
  size_t i = 0;
  while (Active()) {
    if (tick_ms() - start >= kMaxScanMsec) return;
    // Only the scan still holds the list: its owner let it go, so stop here.
    if (keep && keep.use_count() == 1) return;
    PRec rec;
    bool enabled = true;
    int32_t jet_state = kJetNone;
    int64_t exec_count = 0;
    TJet jet;
    TTime_dejet_func2 dejet2;
    {
      std::lock_guard<std::recursive_mutex> g(Lock);
      const size_t n = time_Func_List.size();
      for (; i < n; ++i) {
        // Entries that are not due cost little; the time bound is checked now and then.
        if ((i & 63) == 63 && tick_ms() - start >= kMaxScanMsec) return;
        TEX_Timer_Task_Rec& e = *time_Func_List[i];
        e.due = is_due(start, e.last_run, e.interval_msec);
        if (!e.due) continue;
        e.exec_count = next_exec_count(e.exec_count);
        e.last_run = start;
        if (e.jet.state > kJetNone) ++e.jet.state;
        rec = time_Func_List[i];
        enabled = e.enabled;
        jet_state = e.jet.state;
        exec_count = e.exec_count;
        if (jet_state == kJetDue) {
          jet = e.jet;
          dejet2 = e.func_dejet2;
        }
        ++i;
        break;
      }
    }
    if (!rec) return;

    if (!enabled) {
      discard(rec->id, &i);
    } else if (jet_state == kJetDue) {
      try {
        if (jet.func_jet)
          jet.func_jet(jet.sender, jet.jet_id, jet.params);
        else if (dejet2)
          dejet2(jet.jet_id, jet.params);
      } catch (...) {
      }
      // An update that arrived during the call re-armed the jet: keep it armed.
      std::lock_guard<std::recursive_mutex> g(Lock);
      if (rec->jet.state == kJetDue) rec->jet.state = kJetCalled;
    } else if (jet_state >= kJetCalled) {
      std::lock_guard<std::recursive_mutex> g(Lock);
      if (rec->jet.state >= kJetCalled) discard(rec->id, &i);
    } else if (rec->func_time) {
      bool ClearIt = false;
      try {
        rec->func_time(rec->tag, exec_count, ClearIt);
      } catch (...) {
      }
      if (ClearIt) discard(rec->id, &i);
    } else if (rec->func_delay || rec->func_delay2) {
      bool RunOneMore = false;
      bool raised = false;
      try {
        if (rec->func_delay)
          rec->func_delay(rec->tag, RunOneMore);
        else
          rec->func_delay2(RunOneMore);
      } catch (...) {
        raised = true;
      }
      if (!raised && !RunOneMore) discard(rec->id, &i);
    } else if (rec->func_proc || rec->func_notify) {
      try {
        if (rec->func_proc)
          rec->func_proc();
        else
          rec->func_notify(rec->notify_obj);
      } catch (...) {
      }
      discard(rec->id, &i);
    } else {
      discard(rec->id, &i);
    }
  }
}

std::shared_ptr<ITimer_Task> new_timer_task(bool tiny_thread_mode) {
  return std::make_shared<TEX_Timer_Task>(tiny_thread_mode);
}

// ---------------------------------------------------------------- TActive_Base_Class

void TActive_Base_Class::SetActive(bool Value) {
  if (FActive.exchange(Value, std::memory_order_acq_rel) == Value) return;
  if (Value)
    do_activate();
  else
    do_deactivate();
}

void TActive_Base_Class::SetActive(TActive_Base_Class* obj, bool Value) {
  if (obj) obj->SetActive(Value);
}

}  // namespace ux
