// Timer list (TEX_Timer_Task) driven by a fake clock, and TActive_Base_Class.
#include "common/ux_classes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/ux_common.h"
#include "support/eventually.h"

namespace {

using qlyn_test::eventually;

using ux::TEX_Timer_Task;
using ux::TFakeClock;

class TimerTest : public ::testing::Test {
 protected:
  TFakeClock clock;
  std::shared_ptr<TEX_Timer_Task> timer = std::make_shared<TEX_Timer_Task>();
  int64_t t0 = clock.tick_ms();

  int64_t elapsed() { return clock.tick_ms() - t0; }
  // Advances the clock by step ms and scans, n times.
  void run_scans(int n, int64_t step) {
    for (int k = 0; k < n; ++k) {
      clock.advance(step);
      timer->Execute();
    }
  }
};

TEST_F(TimerTest, PeriodicEntryMeasuresFromTheScanThatRanIt) {
  std::vector<int64_t> at;
  std::vector<int64_t> counts;
  const int64_t h = timer->Add_Task(100, 7, [&](int64_t tag, int64_t n, bool&) {
    EXPECT_EQ(tag, 7);
    at.push_back(elapsed());
    counts.push_back(n);
  });
  ASSERT_NE(h, 0);
  EXPECT_TRUE(timer->Task_Exists(h));
  run_scans(10, 30);  // scans at 30, 60, ..., 300
  EXPECT_EQ(at, (std::vector<int64_t>{120, 240}));
  EXPECT_EQ(counts, (std::vector<int64_t>{1, 2}));
  EXPECT_TRUE(timer->Task_Exists(h));
}

TEST_F(TimerTest, PeriodicEntryFiresOncePerScanWithoutCatchUp) {
  int calls = 0;
  (void)timer->Add_Task(10, 0, [&](int64_t, int64_t, bool&) { ++calls; });
  run_scans(1, 1000);
  EXPECT_EQ(calls, 1);
  run_scans(1, 5);
  EXPECT_EQ(calls, 1);
  run_scans(1, 5);
  EXPECT_EQ(calls, 2);
}

TEST_F(TimerTest, ClearItDiscardsThePeriodicEntry) {
  int calls = 0;
  const int64_t h = timer->Add_Task(10, 0, [&](int64_t, int64_t n, bool& ClearIt) {
    ++calls;
    ClearIt = n == 3;
  });
  run_scans(6, 10);
  EXPECT_EQ(calls, 3);
  EXPECT_FALSE(timer->Task_Exists(h));
  EXPECT_EQ(timer->count(), 0u);
}

TEST_F(TimerTest, DelayRunRunsAgainOnlyOnRequest) {
  int once = 0;
  int thrice = 0;
  int closure = 0;
  (void)timer->Delay_Run(50, 1, [&](int64_t, bool&) { ++once; });
  (void)timer->Delay_Run(50, 2, [&](int64_t tag, bool& RunOneMore) {
    EXPECT_EQ(tag, 2);
    RunOneMore = ++thrice < 3;
  });
  (void)timer->Delay_Run2(50, [&](bool& RunOneMore) { RunOneMore = ++closure < 2; });
  run_scans(1, 49);
  EXPECT_EQ(once, 0);
  EXPECT_EQ(thrice, 0);
  run_scans(1, 1);  // 50 ms
  EXPECT_EQ(once, 1);
  EXPECT_EQ(thrice, 1);
  EXPECT_EQ(closure, 1);
  run_scans(10, 50);
  EXPECT_EQ(once, 1);
  EXPECT_EQ(thrice, 3);
  EXPECT_EQ(closure, 2);
  EXPECT_EQ(timer->count(), 0u);
}

TEST_F(TimerTest, RaisingDelayCallbackKeepsItsEntry) {
  int calls = 0;
  const int64_t h = timer->Delay_Run(10, 0, [&](int64_t, bool&) {
    if (++calls < 3) throw std::runtime_error("again");
  });
  run_scans(5, 10);
  EXPECT_EQ(calls, 3);
  EXPECT_FALSE(timer->Task_Exists(h));
}

TEST_F(TimerTest, OneShotEntriesRunOnceEvenWhenTheyRaise) {
  int proc = 0;
  void* seen = nullptr;
  int notify = 0;
  int obj = 0;
  timer->Delay_Run(20, [&] {
    ++proc;
    throw std::runtime_error("x");
  });
  timer->Delay_Run(20, &obj, [&](void* sender) {
    seen = sender;
    ++notify;
  });
  EXPECT_EQ(timer->count(), 2u);
  run_scans(1, 19);
  EXPECT_EQ(proc + notify, 0);
  run_scans(5, 20);
  EXPECT_EQ(proc, 1);
  EXPECT_EQ(notify, 1);
  EXPECT_EQ(seen, &obj);
  EXPECT_EQ(timer->count(), 0u);
}

TEST_F(TimerTest, DiscardingDoesNotSkipTheNextEntry) {
  std::vector<int> order;
  for (int k = 0; k < 4; ++k) timer->Delay_Run(10, [&order, k] { order.push_back(k); });
  run_scans(1, 10);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
}

TEST_F(TimerTest, JetCoalescesUpdatesIntoOneCallWithTheLatestParams) {
  std::vector<std::pair<int64_t, std::string>> calls;
  timer->dejet_define("abc", [&](const std::string& id, const std::string& params) {
    EXPECT_EQ(id, "ABC");
    calls.emplace_back(elapsed(), params);
  }, 500);
  for (int k = 1; k <= 5; ++k) {
    clock.advance(80);  // updates at 80 .. 400
    timer->dejet_update("ABC", "p" + std::to_string(k));
    timer->Execute();
  }
  EXPECT_TRUE(calls.empty());
  while (elapsed() < 1200) run_scans(1, 30);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].first, 520);  // first scan at or after 500 ms
  EXPECT_EQ(calls[0].second, "p5");
  EXPECT_EQ(timer->count(), 0u);  // gone one interval after its call
  timer->dejet_update("abc", "late");
  EXPECT_EQ(timer->count(), 0u);
  run_scans(1, 2000);
  EXPECT_EQ(calls.size(), 1u);
}

TEST_F(TimerTest, JetCallsOncePerIntervalWhileUpdatesArrive) {
  std::vector<std::string> params;
  timer->dejet_define("j", [&](const std::string&, const std::string& p) { params.push_back(p); }, 100);
  for (int k = 0; k < 6; ++k) {
    timer->dejet_update("j", std::to_string(k));
    run_scans(1, 50);
  }
  run_scans(4, 50);
  EXPECT_EQ(params, (std::vector<std::string>{"1", "3", "5"}));
  EXPECT_EQ(timer->count(), 0u);
}

TEST_F(TimerTest, JetDefaultIntervalAndRedefinition) {
  int calls = 0;
  timer->dejet_define("", [&](const std::string&, const std::string&) { ++calls; }, 10);
  EXPECT_EQ(timer->count(), 0u);
  timer->dejet_define("d", [&](const std::string&, const std::string&) { ++calls; }, 0);
  timer->dejet_define("D", [&](const std::string&, const std::string&) { calls += 100; }, 5);
  EXPECT_EQ(timer->count(), 1u);
  run_scans(1, 999);
  EXPECT_EQ(calls, 0);
  run_scans(1, 1);
  EXPECT_EQ(calls, 100);  // the redefinition replaced the callback, not the interval
}

struct JetSink {
  std::string id;
  std::string params;
  int calls = 0;
};
void jet_plain(void* sender, const std::string& id, const std::string& params) {
  auto* s = static_cast<JetSink*>(sender);
  s->id = id;
  s->params = params;
  ++s->calls;
}

TEST_F(TimerTest, JetPlainFormPassesItsSender) {
  JetSink sink;
  timer->dejet_define(&sink, "net", &jet_plain, 40);
  timer->dejet_update("NET", "x=1");
  run_scans(1, 40);
  EXPECT_EQ(sink.calls, 1);
  EXPECT_EQ(sink.id, "NET");
  EXPECT_EQ(sink.params, "x=1");
}

TEST_F(TimerTest, JetUpdatedInsideItsCallbackIsKept) {
  int calls = 0;
  timer->dejet_define("self", [&](const std::string&, const std::string&) {
    if (++calls < 3) timer->dejet_update("self", "again");
  }, 10);
  run_scans(10, 10);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(timer->count(), 0u);
}

TEST_F(TimerTest, StaleHandlesAreHarmless) {
  int a = 0;
  int b = 0;
  const int64_t ha = timer->Delay_Run(10, 0, [&](int64_t, bool&) { ++a; });
  run_scans(1, 10);
  EXPECT_EQ(a, 1);
  EXPECT_FALSE(timer->Task_Exists(ha));
  const int64_t hb = timer->Add_Task(10, 0, [&](int64_t, int64_t, bool&) { ++b; });
  EXPECT_NE(ha, hb);
  timer->Remove_Task(ha);
  timer->Remove_Task(0);
  timer->Remove_Task(-5);
  timer->Remove_Task(hb + 1000);
  run_scans(1, 10);
  EXPECT_EQ(b, 1);
  EXPECT_TRUE(timer->Task_Exists(hb));
  timer->Clear();
  timer->Remove_Task(hb);
  EXPECT_FALSE(timer->Task_Exists(hb));
}

TEST_F(TimerTest, RemovedEntryIsDiscardedAtItsDueTimeWithoutRunning) {
  int calls = 0;
  const int64_t h = timer->Add_Task(100, 0, [&](int64_t, int64_t, bool&) { ++calls; });
  timer->Remove_Task(h);
  EXPECT_TRUE(timer->Task_Exists(h));
  run_scans(1, 50);
  EXPECT_TRUE(timer->Task_Exists(h));
  run_scans(1, 50);
  EXPECT_FALSE(timer->Task_Exists(h));
  EXPECT_EQ(calls, 0);
}

TEST_F(TimerTest, CallbacksMayChangeTheListTheyRunFrom) {
  int added_runs = 0;
  int victim_runs = 0;
  const int64_t victim = timer->Add_Task(10, 0, [&](int64_t, int64_t, bool&) { ++victim_runs; });
  (void)timer->Add_Task(10, 0, [&](int64_t, int64_t n, bool& ClearIt) {
    if (n == 1) {
      timer->Remove_Task(victim);
      timer->Delay_Run(10, [&] { ++added_runs; });
    }
    ClearIt = n == 2;
  });
  run_scans(4, 10);
  EXPECT_EQ(victim_runs, 1);
  EXPECT_EQ(added_runs, 1);
  EXPECT_EQ(timer->count(), 0u);
}

// Callbacks are released after Clear left the list: what their captured
// objects do to the timer when they go (add, remove, clear) is safe.
TEST_F(TimerTest, CallbacksReleasedByClearMayUseTheTimer) {
  struct Guard {
    explicit Guard(TEX_Timer_Task* t) : timer(t) {}
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard() {
      timer->Remove_Task(handle);
      timer->Clear();
      added = timer->Add_Task(10, 0, [](int64_t, int64_t, bool&) {});
      *out = added;
    }
    TEX_Timer_Task* timer;
    int64_t handle = 0;
    int64_t added = 0;
    int64_t* out = nullptr;
  };
  int64_t added = 0;
  auto guard = std::make_shared<Guard>(timer.get());
  guard->out = &added;
  guard->handle = timer->Add_Task(10, 0, [guard](int64_t, int64_t, bool&) {});
  for (int k = 0; k < 20; ++k) timer->Delay_Run(10, [guard] {});
  guard.reset();
  timer->Clear();
  ASSERT_NE(added, 0);
  EXPECT_EQ(timer->count(), 1u);
  EXPECT_TRUE(timer->Task_Exists(added));
}

TEST_F(TimerTest, ScanStopsAfter200MsAndTheNextScanGoesOn) {
  std::vector<int> ran;
  timer->Delay_Run(10, [&] {
    ran.push_back(0);
    clock.advance(TEX_Timer_Task::kMaxScanMsec);
  });
  timer->Delay_Run(10, [&] { ran.push_back(1); });
  timer->Delay_Run(10, [&] { ran.push_back(2); });
  run_scans(1, 10);
  EXPECT_EQ(ran, (std::vector<int>{0}));
  timer->Execute();
  EXPECT_EQ(ran, (std::vector<int>{0, 1, 2}));
}

TEST_F(TimerTest, CallbackDroppingTheLastReferenceEndsTheScanSafely) {
  int later = 0;
  std::weak_ptr<TEX_Timer_Task> weak = timer;
  timer->Delay_Run(10, [&] { timer.reset(); });
  TEX_Timer_Task* raw = timer.get();
  raw->Delay_Run(10, [&] { ++later; });
  clock.advance(10);
  raw->Execute();
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(later, 0);
}

TEST_F(TimerTest, EntriesWithoutCallbackAreDropped) {
  (void)timer->Add_Task(10, 0, nullptr);
  timer->Delay_Run(10, ux::TProc_Obj_func{});
  EXPECT_EQ(timer->count(), 2u);
  run_scans(1, 10);
  EXPECT_EQ(timer->count(), 0u);
}

TEST_F(TimerTest, ConcurrentAddRemoveWhileTheOwnerScans) {
  std::atomic<bool> stop{false};
  std::atomic<int> runs{0};
  std::thread owner([&] {
    while (!stop.load()) timer->Execute();
    timer->Execute();
  });
  std::vector<std::thread> producers;
  for (int p = 0; p < 3; ++p) {
    producers.emplace_back([&, p] {
      for (int k = 0; k < 300; ++k) {
        timer->Delay_Run(0, [&] { runs.fetch_add(1); });
        const int64_t h = timer->Add_Task(5, p, [](int64_t, int64_t, bool& c) { c = true; });
        if (k % 2) timer->Remove_Task(h);
        timer->dejet_update("j" + std::to_string(p), std::to_string(k));
        if (k == 0) timer->dejet_define("j" + std::to_string(p), [](const std::string&, const std::string&) {}, 3);
        clock.advance(1);
      }
    });
  }
  for (auto& t : producers) t.join();
  EXPECT_TRUE(eventually([&] {
    clock.advance(1000);
    return timer->count() == 0;
  }));
  stop = true;
  owner.join();
  EXPECT_EQ(runs.load(), 900);
}

// Callback objects released by the destruction find the timer closed.
TEST(TimerLifecycle, NothingIsAddedOnceDestructionBegan) {
  struct Seen {
    int64_t add = -1;
    int64_t delay = -1;
    int64_t delay2 = -1;
    bool exists = true;
  };
  Seen seen;
  struct Probe {
    Probe(TEX_Timer_Task* t, Seen* s) : timer(t), seen(s) {}
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;
    TEX_Timer_Task* timer;
    Seen* seen;
    int64_t handle = 0;
    ~Probe() {
      seen->add = timer->Add_Task(10, 0, [](int64_t, int64_t, bool&) {});
      seen->delay = timer->Delay_Run(10, 0, [](int64_t, bool&) {});
      seen->delay2 = timer->Delay_Run2(10, [](bool&) {});
      timer->Delay_Run(10, [] {});
      timer->dejet_define("late", [](const std::string&, const std::string&) {}, 10);
      timer->Remove_Task(handle);
      seen->exists = timer->Task_Exists(handle);
    }
  };
  auto timer = std::make_shared<TEX_Timer_Task>();
  auto probe = std::make_shared<Probe>(timer.get(), &seen);
  probe->handle = timer->Add_Task(1000, 0, [probe](int64_t, int64_t, bool&) {});
  ASSERT_NE(probe->handle, 0);
  EXPECT_TRUE(timer->Task_Exists(probe->handle));
  probe.reset();
  timer.reset();
  EXPECT_EQ(seen.add, 0);
  EXPECT_EQ(seen.delay, 0);
  EXPECT_EQ(seen.delay2, 0);
  EXPECT_FALSE(seen.exists);
}

TEST(TimerLifecycle, NewTimerTaskIsDrivenByItsOwner) {
  TFakeClock clock;
  std::shared_ptr<ux::ITimer_Task> t = ux::new_timer_task(false);
  int calls = 0;
  EXPECT_NE(t->Add_Task(1, 0, [&](int64_t, int64_t, bool& c) { c = ++calls > 0; }), 0);
  clock.advance(1);
  EXPECT_EQ(calls, 0);
  t->Execute();
  EXPECT_EQ(calls, 1);
}

TEST(TimerLifecycle, TinyThreadModeRunsWithoutTheOwnersExecute) {
  TFakeClock clock;
  std::atomic<int> periodic{0};
  std::atomic<int> once{0};
  const int32_t before = ux::tiny_thread_pool()->count();
  {
    std::shared_ptr<ux::ITimer_Task> t = ux::new_timer_task(true);
    const int64_t h = t->Add_Task(10, 0, [&](int64_t, int64_t, bool&) { ++periodic; });
    EXPECT_EQ(ux::tiny_thread_pool()->count(), before + 1);
    t->Delay_Run(10, [&] { ++once; });
    clock.advance(10);
    EXPECT_TRUE(eventually([&] { return once.load() == 1 && periodic.load() == 1; }));
    clock.advance(10);
    EXPECT_TRUE(eventually([&] { return periodic.load() == 2; }));
    EXPECT_TRUE(t->Task_Exists(h));
  }
  // A pass of the pool thread may hold the item at that moment; the item then
  // leaves the pool when the pass lets go of it.
  EXPECT_TRUE(eventually([&] { return ux::tiny_thread_pool()->count() == before; }));
  clock.advance(100);
  EXPECT_EQ(once.load(), 1);
}

TEST(TimerLifecycle, TinyModeTimerReleasedInsideItsOwnCallback) {
  TFakeClock clock;
  std::atomic<bool> done{false};
  const int32_t before = ux::tiny_thread_pool()->count();
  auto holder = std::make_shared<std::shared_ptr<ux::ITimer_Task>>(ux::new_timer_task(true));
  std::weak_ptr<ux::ITimer_Task> weak = *holder;
  (*holder)->Delay_Run(5, [&, holder] {
    holder->reset();
    done = true;
  });
  clock.advance(5);
  // Leaving the pool (under its lock) ends the timer's last scan, which reads
  // the clock of this frame; only then may the frame go.
  EXPECT_TRUE(eventually([&] { return done.load() && weak.expired() && ux::tiny_thread_pool()->count() == before; }));
}

// ---------------------------------------------------------------- TActive_Base_Class

class Switch : public ux::TActive_Base_Class {
 public:
  Switch(int* on, int* off) : on_(on), off_(off) {}

 protected:
  void do_activate() override { ++*on_; }
  void do_deactivate() override { ++*off_; }

 private:
  int* on_;
  int* off_;
};

TEST(ActiveBase, HandlersRunOnlyOnChange) {
  int on = 0;
  int off = 0;
  auto s = ux::TActive_Base_Class::Create<Switch>(&on, &off);
  EXPECT_FALSE(s->Active());
  s->SetActive(false);
  s->SetActive(true);
  s->SetActive(true);
  EXPECT_TRUE(s->Active());
  EXPECT_EQ(on, 1);
  EXPECT_EQ(off, 0);
  s->SetActive(false);
  EXPECT_EQ(off, 1);
  ux::TActive_Base_Class::SetActive(nullptr, true);
}

TEST(ActiveBase, DestroyingAnActiveObjectDeactivatesItFirst) {
  int on = 0;
  int off = 0;
  {
    auto s = ux::TActive_Base_Class::Create<Switch>(&on, &off);
    s->SetActive(true);
  }
  EXPECT_EQ(off, 1);
  {
    auto s = ux::TActive_Base_Class::Create<Switch>(&on, &off);
  }
  EXPECT_EQ(off, 1);
  EXPECT_EQ(on, 1);
}

TEST(ActiveBase, ConcurrentSwitchOnRunsTheHandlerOnce) {
  std::atomic<int> on{0};
  struct Counting : ux::TActive_Base_Class {
    explicit Counting(std::atomic<int>* n) : n_(n) {}
    void do_activate() override { n_->fetch_add(1); }
    void do_deactivate() override {}
    std::atomic<int>* n_;
  };
  auto c = ux::TActive_Base_Class::Create<Counting>(&on);
  std::vector<std::thread> ts;
  for (int k = 0; k < 4; ++k) ts.emplace_back([&] { c->SetActive(true); });
  for (auto& t : ts) t.join();
  EXPECT_EQ(on.load(), 1);
}

}  // namespace
