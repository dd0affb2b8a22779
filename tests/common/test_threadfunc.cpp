// TExThread: passes, callbacks, Close from the owner and from the thread itself.
#include "common/threadfunc.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>

namespace {

using ux::TExThread;

// Polls pred until it holds; false after a generous bound (liveness, not speed).
bool eventually(const std::function<bool()>& pred) {
  for (int k = 0; k < 20000; ++k) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return pred();
}

TEST(ExThread, CreatedSuspendedAndClosedBeforeStart) {
  const int64_t base = TExThread::live_count();
  std::atomic<int> starts{0};
  std::atomic<int> stops{0};
  TExThread* t = TExThread::CreateAndStart(nullptr);
  EXPECT_EQ(TExThread::live_count(), base + 1);
  EXPECT_FALSE(t->running());
  EXPECT_FALSE(t->is_tiny_mode());
  EXPECT_FALSE(t->NoDelay.load());
  EXPECT_FALSE(t->Single_Thread_Mode);
  t->onStart = [&](void*) { ++starts; };
  t->onStop = [&](void*) { ++stops; };
  TExThread::CloseAndNil(t);
  EXPECT_EQ(t, nullptr);
  EXPECT_EQ(starts.load(), 1);
  EXPECT_EQ(stops.load(), 1);
  EXPECT_EQ(TExThread::live_count(), base);
  TExThread::CloseAndNil(t);
}

TEST(ExThread, RunsPassesBetweenStartAndStopUntilClosed) {
  const int64_t base = TExThread::live_count();
  std::atomic<int> passes{0};
  std::atomic<int> started{0};
  std::atomic<int> stopped{0};
  std::atomic<int> passes_after_stop{0};
  TExThread* t = TExThread::Create();
  t->onStart = [&](void* sender) {
    EXPECT_EQ(sender, t);
    EXPECT_EQ(passes.load(), 0);
    ++started;
  };
  t->onExec = [&](void*) {
    if (stopped.load()) ++passes_after_stop;
    ++passes;
  };
  t->onStop = [&](void*) { ++stopped; };
  t->start();
  t->start();
  EXPECT_TRUE(eventually([&] { return passes.load() >= 5; }));
  EXPECT_TRUE(t->running());
  t->Close();
  EXPECT_EQ(started.load(), 1);
  EXPECT_EQ(stopped.load(), 1);
  EXPECT_EQ(passes_after_stop.load(), 0);
  const int frozen = passes.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(passes.load(), frozen);
  EXPECT_EQ(TExThread::live_count(), base);
}

struct Counter {
  std::atomic<int> n{0};
};
void bump(void* p) { static_cast<Counter*>(p)->n.fetch_add(1); }

TEST(ExThread, CreateFuncCallsTheUserProcedureOnceStarted) {
  Counter c;
  TExThread* t = TExThread::CreateFunc(&bump, &c);
  EXPECT_EQ(t->userfunc.UserData, &c);
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
  EXPECT_EQ(c.n.load(), 0);
  t->NoDelay = true;
  t->start();
  EXPECT_TRUE(eventually([&] { return c.n.load() >= 100; }));
  TExThread::CloseAndNil(t);
}

TEST(ExThread, RaisingCallbacksAreSwallowedAndTheLoopGoesOn) {
  std::atomic<int> passes{0};
  std::atomic<bool> stopped{false};
  TExThread* t = TExThread::Create();
  t->onStart = [](void*) { throw std::runtime_error("start"); };
  t->onExec = [&](void*) {
    ++passes;
    throw 42;
  };
  t->onStop = [&](void*) {
    stopped = true;
    throw std::runtime_error("stop");
  };
  t->start();
  EXPECT_TRUE(eventually([&] { return passes.load() >= 3; }));
  TExThread::CloseAndNil(t);
  EXPECT_TRUE(stopped.load());
}

// An owner whose thread touches its fields; freeing the owner right after
// CloseAndNil must never meet a running callback (ASan/TSan would report it).
struct Owner {
  TExThread* th = nullptr;
  int64_t work[16] = {};
  Owner() {
    th = TExThread::CreateAndStart([this](void*) {
      for (auto& w : work) ++w;
    });
    th->NoDelay = true;
  }
  ~Owner() { TExThread::CloseAndNil(th); }
};

TEST(ExThread, OwnerMayFreeWhatTheThreadTouchesRightAfterClose) {
  const int64_t base = TExThread::live_count();
  for (int k = 0; k < 50; ++k) {
    auto* o = new Owner();
    if (k % 2) std::this_thread::yield();
    delete o;
  }
  EXPECT_EQ(TExThread::live_count(), base);
}

TEST(ExThread, CloseFromInsideItsOwnCallbackFreesTheThreadLater) {
  const int64_t base = TExThread::live_count();
  struct Self {
    TExThread* th = nullptr;
    std::atomic<int> passes{0};
    std::atomic<int> stops{0};
  };
  auto* s = new Self();
  s->th = TExThread::Create();
  s->th->onExec = [s](void*) {
    if (++s->passes == 3) TExThread::CloseAndNil(s->th);
  };
  s->th->onStop = [s](void*) { ++s->stops; };
  s->th->start();
  EXPECT_TRUE(eventually([&] { return TExThread::live_count() == base; }));
  EXPECT_EQ(s->passes.load(), 3);
  EXPECT_EQ(s->stops.load(), 1);
  EXPECT_EQ(s->th, nullptr);
  delete s;
}

}  // namespace
