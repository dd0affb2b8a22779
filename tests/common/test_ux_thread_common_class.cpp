// TUX_New_Thread: task slots, fetch function, suspension and wake-up, closing.
#include "common/ux_thread_common_class.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/ux_common.h"
#include "support/eventually.h"

namespace {

using ux::TUX_New_Thread;

using qlyn_test::eventually;

void* task_ptr(intptr_t v) { return reinterpret_cast<void*>(v); }

// A locked task queue feeding a worker through its fetch function.
struct Feed {
  std::mutex mu;
  std::deque<void*> q;
  void push(void* t) {
    std::lock_guard<std::mutex> g(mu);
    q.push_back(t);
  }
  void* pop() {
    std::lock_guard<std::mutex> g(mu);
    if (q.empty()) return nullptr;
    void* t = q.front();
    q.pop_front();
    return t;
  }
};

TEST(NewThread, CreatedSuspendedWithItsDefaults) {
  const int64_t base = TUX_New_Thread::live_count();
  std::atomic<int> runs{0};
  TUX_New_Thread* w = TUX_New_Thread::CreateAndStart([&](TUX_New_Thread*, void*) { ++runs; });
  EXPECT_EQ(TUX_New_Thread::live_count(), base + 1);
  EXPECT_TRUE(w->suspended());
  EXPECT_TRUE(w->singleTaskMode());
  EXPECT_TRUE(w->auto_pause());
  EXPECT_EQ(w->RecyleMsec(), 4);
  EXPECT_EQ(w->last_start_ms(), 0);
  EXPECT_TRUE(w->isAvaliable());  // last pause counts as 10 ms ago
  EXPECT_TRUE(w->AddTask(task_ptr(1)));
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
  EXPECT_EQ(runs.load(), 0);
  w->SetRecyleMsec(500);
  EXPECT_EQ(w->RecyleMsec(), 100);
  w->SetRecyleMsec(1);
  EXPECT_EQ(w->RecyleMsec(), 1);
  TUX_New_Thread::CloseAndNil(w);
  EXPECT_EQ(w, nullptr);
  EXPECT_EQ(TUX_New_Thread::live_count(), base);
  TUX_New_Thread::CloseAndNil(w);
}

TEST(NewThread, SlotBookkeepingInBothModes) {
  TUX_New_Thread* w = TUX_New_Thread::Create();
  EXPECT_TRUE(w->isNonTaskNow());
  EXPECT_TRUE(w->AddTask(task_ptr(1)));
  EXPECT_FALSE(w->AddTask(task_ptr(2)));
  EXPECT_FALSE(w->isNonTaskNow());
  EXPECT_FALSE(w->RemoveTask(task_ptr(2)));  // slot 0 is emptied whatever it holds
  EXPECT_TRUE(w->isNonTaskNow());
  EXPECT_TRUE(w->AddTask(task_ptr(1)));
  EXPECT_TRUE(w->RemoveTask(task_ptr(1)));

  w->SetsingleTaskMode(false);
  for (intptr_t k = 1; k <= 8; ++k) EXPECT_TRUE(w->AddTask(task_ptr(k)));
  EXPECT_FALSE(w->AddTask(task_ptr(9)));
  EXPECT_FALSE(w->RemoveTask(task_ptr(9)));
  EXPECT_TRUE(w->RemoveTask(task_ptr(3)));
  EXPECT_FALSE(w->RemoveTask(task_ptr(3)));
  EXPECT_TRUE(w->AddTask(task_ptr(10)));  // back into the freed slot
  EXPECT_FALSE(w->isNonTaskNow());
  TUX_New_Thread::CloseAndNil(w);
}

TEST(NewThread, MultiTaskModeVisitsOneSlotPerTurn) {
  struct Call {
    void* task;
    int32_t count;
  };
  std::vector<Call> calls;
  TUX_New_Thread* w = TUX_New_Thread::Create();
  w->SetsingleTaskMode(false);
  for (intptr_t k = 1; k <= 6; ++k) ASSERT_TRUE(w->AddTask(task_ptr(k)));
  for (intptr_t k = 2; k <= 5; ++k) ASSERT_TRUE(w->RemoveTask(task_ptr(k)));
  // Slots 0 and 5 hold 1 and 6; the last addition put the cursor on slot 5.
  w->onExec = [&](TUX_New_Thread* th, void* task) {
    calls.push_back({task, th->exec_count()});
    if (calls.size() == 12) {
      th->RemoveTask(task_ptr(1));
      th->RemoveTask(task_ptr(6));
    }
  };
  w->Start();
  ASSERT_TRUE(eventually([&] { return w->suspended(); }));
  ASSERT_EQ(calls.size(), 12u);
  for (size_t k = 0; k < calls.size(); ++k) {
    EXPECT_EQ(calls[k].task, task_ptr(k % 2 ? 1 : 6)) << k;
    if (k > 0) {
      EXPECT_EQ(calls[k].count - calls[k - 1].count, k % 2 ? 3 : 5) << k;
    }
  }
  TUX_New_Thread::CloseAndNil(w);
}

TEST(NewThread, FetchFunctionFeedsTasksAndEveryWakeUpIsKept) {
  Feed feed;
  std::atomic<int64_t> sum{0};
  std::atomic<int> runs{0};
  TUX_New_Thread* w = TUX_New_Thread::Create();
  w->onGetNewTask = [&](TUX_New_Thread*) { return feed.pop(); };
  w->onExec = [&](TUX_New_Thread*, void* t) {
    sum += reinterpret_cast<intptr_t>(t);
    ++runs;
  };
  for (intptr_t k = 1; k <= 2000; ++k) {
    feed.push(task_ptr(k));
    w->Start();
    if (k % 100 == 0) {
      EXPECT_TRUE(eventually([&] { return runs.load() == k; })) << k;
    }
  }
  EXPECT_TRUE(eventually([&] { return w->suspended(); }));
  EXPECT_EQ(runs.load(), 2000);
  EXPECT_EQ(sum.load(), 2000 * 2001 / 2);
  EXPECT_GT(w->last_start_ms(), 0);
  TUX_New_Thread::CloseAndNil(w);
}

TEST(NewThread, AvailableOnlyAfterRecycleIntervalOfSuspension) {
  ux::TFakeClock clock;
  TUX_New_Thread* w = TUX_New_Thread::Create();
  std::atomic<int> runs{0};
  ASSERT_TRUE(w->AddTask(task_ptr(1)));
  w->onExec = [&](TUX_New_Thread* th, void* t) {
    ++runs;
    th->RemoveTask(t);
  };
  w->Start();
  EXPECT_FALSE(w->isAvaliable());
  ASSERT_TRUE(eventually([&] { return w->suspended(); }));
  EXPECT_EQ(runs.load(), 1);
  EXPECT_EQ(w->exec_count(), 0);
  EXPECT_EQ(w->last_pause_ms(), clock.now_ms());
  clock.advance(3);
  EXPECT_FALSE(w->isAvaliable());
  clock.advance(2);
  EXPECT_TRUE(w->isAvaliable());
  w->Start();
  EXPECT_FALSE(w->isAvaliable());
  TUX_New_Thread::CloseAndNil(w);
}

TEST(NewThread, WithoutAutoPauseTheIdleWorkerPolls) {
  Feed feed;
  std::atomic<int> runs{0};
  TUX_New_Thread* w = TUX_New_Thread::Create();
  w->Setauto_pause(false);
  w->Setidx(0);
  w->onGetNewTask = [&](TUX_New_Thread*) { return feed.pop(); };
  w->onExec = [&](TUX_New_Thread*, void*) { ++runs; };
  w->Start();
  feed.push(task_ptr(1));
  EXPECT_TRUE(eventually([&] { return runs.load() == 1; }));
  feed.push(task_ptr(2));  // no Start: the polling worker finds it
  EXPECT_TRUE(eventually([&] { return runs.load() == 2; }));
  EXPECT_FALSE(w->suspended());
  w->pause();  // from another thread: taken at the end of the current turn
  EXPECT_TRUE(eventually([&] { return w->suspended(); }));
  feed.push(task_ptr(3));
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(runs.load(), 2);
  w->Start();
  EXPECT_TRUE(eventually([&] { return runs.load() == 3; }));
  TUX_New_Thread::CloseAndNil(w);
}

TEST(NewThread, StartAfterAForeignPauseStillWakesTheWorker) {
  Feed feed;
  std::atomic<int> runs{0};
  TUX_New_Thread* w = TUX_New_Thread::Create();
  w->onGetNewTask = [&](TUX_New_Thread*) { return feed.pop(); };
  w->onExec = [&](TUX_New_Thread*, void*) { ++runs; };
  w->Start();
  ASSERT_TRUE(eventually([&] { return w->suspended(); }));
  EXPECT_FALSE(w->RemoveTaskThenPause(task_ptr(9)));
  EXPECT_TRUE(w->suspended());
  feed.push(task_ptr(1));
  w->Start();
  EXPECT_TRUE(eventually([&] { return runs.load() == 1; }));
  TUX_New_Thread::CloseAndNil(w);
}

TEST(NewThread, RaisingFetchAndExecuteAreSwallowed) {
  std::atomic<int> fetches{0};
  std::atomic<int> runs{0};
  TUX_New_Thread* w = TUX_New_Thread::Create();
  w->onGetNewTask = [&](TUX_New_Thread*) -> void* {
    if (++fetches % 2 == 0) throw std::runtime_error("fetch");
    return task_ptr(1);
  };
  w->onExec = [&](TUX_New_Thread*, void*) {
    ++runs;
    throw std::runtime_error("exec");
  };
  for (int k = 0; k < 5; ++k) {
    w->Start();
    EXPECT_TRUE(eventually([&] { return runs.load() > k; }));
  }
  TUX_New_Thread::CloseAndNil(w);
}

TEST(NewThread, CloseJoinsSoTheOwnerMayFreeItsState) {
  const int64_t base = TUX_New_Thread::live_count();
  for (int k = 0; k < 30; ++k) {
    struct State {
      int64_t touched[8] = {};
    };
    auto* s = new State();
    TUX_New_Thread* w = TUX_New_Thread::Create();
    w->Setauto_pause(k % 2 == 0);
    w->onGetNewTask = [s](TUX_New_Thread*) -> void* { return s->touched; };
    w->onExec = [s](TUX_New_Thread*, void*) {
      for (auto& v : s->touched) ++v;
    };
    w->Start();
    if (k % 3) std::this_thread::yield();
    TUX_New_Thread::CloseAndNil(w);
    delete s;
  }
  TUX_New_Thread* suspended = TUX_New_Thread::Create();
  suspended->Start();
  ASSERT_TRUE(eventually([&] { return suspended->suspended(); }));
  TUX_New_Thread::CloseAndNil(suspended);
  EXPECT_EQ(TUX_New_Thread::live_count(), base);
}

TEST(NewThread, TaskFetchedBeforeCloseIsStillExecuted) {
  std::atomic<bool> in_fetch{false};
  std::atomic<bool> release{false};
  std::atomic<void*> executed{nullptr};
  TUX_New_Thread* w = TUX_New_Thread::Create();
  w->onGetNewTask = [&](TUX_New_Thread*) -> void* {
    in_fetch = true;
    while (!release.load()) std::this_thread::yield();
    return task_ptr(7);
  };
  w->onExec = [&](TUX_New_Thread*, void* t) { executed = t; };
  w->Start();
  ASSERT_TRUE(eventually([&] { return in_fetch.load(); }));
  TUX_New_Thread* alias = w;
  std::thread closer([&] { TUX_New_Thread::CloseAndNil(alias); });
  ASSERT_TRUE(eventually([&] { return w->Terminated(); }));
  release = true;
  closer.join();
  EXPECT_EQ(executed.load(), task_ptr(7));
}

TEST(NewThread, CloseFromInsideATaskEndsTheWorkerWhichFreesItself) {
  const int64_t base = TUX_New_Thread::live_count();
  struct Self {
    TUX_New_Thread* w = nullptr;
    std::atomic<int> runs{0};
  };
  auto* s = new Self();
  s->w = TUX_New_Thread::Create();
  ASSERT_TRUE(s->w->AddTask(task_ptr(1)));
  s->w->onExec = [s](TUX_New_Thread*, void*) {
    if (++s->runs == 4) TUX_New_Thread::CloseAndNil(s->w);
  };
  s->w->Start();
  EXPECT_TRUE(eventually([&] { return TUX_New_Thread::live_count() == base; }));
  EXPECT_EQ(s->runs.load(), 4);
  EXPECT_EQ(s->w, nullptr);
  delete s;
}

// The owner closes the worker while its task, seeing the termination, closes
// it through the worker pointer it was given: the object is freed exactly once.
TEST(NewThread, SelfCloseDuringTheOwnersCloseFreesOnce) {
  const int64_t base = TUX_New_Thread::live_count();
  for (int k = 0; k < 10; ++k) {
    std::atomic<bool> entered{false};
    TUX_New_Thread* w = TUX_New_Thread::Create();
    ASSERT_TRUE(w->AddTask(task_ptr(1)));
    w->onExec = [&entered](TUX_New_Thread* th, void*) {
      entered = true;
      while (!th->Terminated()) std::this_thread::yield();
      TUX_New_Thread* self = th;
      TUX_New_Thread::CloseAndNil(self);
    };
    w->Start();
    ASSERT_TRUE(eventually([&] { return entered.load(); }));
    TUX_New_Thread::CloseAndNil(w);
    EXPECT_EQ(TUX_New_Thread::live_count(), base);
  }
}

// A negative recycle interval is stored as given: a suspended worker is then
// available at once, as the distance since the pause always exceeds it.
TEST(NewThread, NegativeRecycleIntervalMakesASuspendedWorkerAvailable) {
  ux::TFakeClock clock;
  TUX_New_Thread* w = TUX_New_Thread::Create();
  w->Start();
  ASSERT_TRUE(eventually([&] { return w->suspended(); }));
  ASSERT_EQ(w->last_pause_ms(), clock.now_ms());
  w->SetRecyleMsec(0);
  EXPECT_FALSE(w->isAvaliable());
  w->SetRecyleMsec(-1);
  EXPECT_EQ(w->RecyleMsec(), -1);
  EXPECT_TRUE(w->isAvaliable());
  w->SetRecyleMsec(INT32_MIN);
  EXPECT_TRUE(w->isAvaliable());
  TUX_New_Thread::CloseAndNil(w);
}

// Start then pause from the owner while the worker runs: the later call holds.
TEST(NewThread, PauseAfterAStartOfTheRunningWorkerHolds) {
  Feed feed;
  std::atomic<int> runs{0};
  TUX_New_Thread* w = TUX_New_Thread::Create();
  w->Setauto_pause(false);
  w->onGetNewTask = [&](TUX_New_Thread*) { return feed.pop(); };
  w->onExec = [&](TUX_New_Thread*, void*) { ++runs; };
  w->Start();
  feed.push(task_ptr(1));
  ASSERT_TRUE(eventually([&] { return runs.load() == 1; }));
  w->Start();
  w->pause();
  ASSERT_TRUE(eventually([&] { return w->suspended(); }));
  feed.push(task_ptr(2));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(w->suspended());
  EXPECT_EQ(runs.load(), 1);
  w->Start();
  EXPECT_TRUE(eventually([&] { return runs.load() == 2; }));
  TUX_New_Thread::CloseAndNil(w);
}

}  // namespace
