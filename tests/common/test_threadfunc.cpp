// TExThread: passes, callbacks, Close from the owner and from the thread itself.
#include "common/threadfunc.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>

#include "support/eventually.h"

namespace {

using ux::TExThread;

using qlyn_test::eventually;

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

// The owner closes the thread while a callback, seeing the termination,
// closes it through its sender: the object is freed exactly once.
TEST(ExThread, SelfCloseDuringTheOwnersCloseFreesOnce) {
  const int64_t base = TExThread::live_count();
  for (int k = 0; k < 10; ++k) {
    std::atomic<bool> entered{false};
    std::atomic<int> stops{0};
    TExThread* t = TExThread::Create();
    t->onExec = [&entered](void* sender) {
      auto* self = static_cast<TExThread*>(sender);
      entered = true;
      while (!self->Terminated()) std::this_thread::yield();
      self->Close();
    };
    t->onStop = [&stops](void*) { ++stops; };
    t->start();
    ASSERT_TRUE(eventually([&] { return entered.load(); }));
    TExThread::CloseAndNil(t);
    EXPECT_EQ(stops.load(), 1);
    EXPECT_EQ(TExThread::live_count(), base);
  }
}

// ---------------------------------------------------------------- tiny threads

using ux::TTinyThread;
using ux::TTinyThread_Pool;

std::shared_ptr<TTinyThread> counting_item(std::atomic<int>& n) {
  auto t = std::make_shared<TTinyThread>();
  t->set_thread_exec_event([&n](void*) { ++n; });
  return t;
}

TEST(TinyThreads, PoolRunsEveryItemOncePerPass) {
  auto pool = std::make_shared<TTinyThread_Pool>();
  std::atomic<int> a{0};
  std::atomic<int> b{0};
  auto ta = counting_item(a);
  auto tb = counting_item(b);
  pool->add_task(ta);
  pool->add_task(ta);
  pool->add_task(tb);
  pool->add_task(nullptr);
  EXPECT_EQ(pool->count(), 2);
  EXPECT_TRUE(eventually([&] { return a.load() >= 10 && b.load() >= 10; }));
  ta->close();
  EXPECT_EQ(pool->count(), 1);
  const int frozen = a.load();
  EXPECT_TRUE(eventually([&] { return b.load() >= frozen + 10; }));
  EXPECT_EQ(a.load(), frozen);
  tb.reset();  // the last reference: it leaves the pool (after a pass that holds it)
  EXPECT_TRUE(eventually([&] { return pool->count() == 0; }));
}

TEST(TinyThreads, RaisingWorkIsSwallowedAndWorkCanBeReplaced) {
  auto pool = std::make_shared<TTinyThread_Pool>();
  std::atomic<int> raised{0};
  std::atomic<int> replaced{0};
  auto t = std::make_shared<TTinyThread>();
  t->set_thread_exec_event([&](void*) {
    ++raised;
    throw std::runtime_error("tiny");
  });
  pool->add_task(t);
  EXPECT_TRUE(eventually([&] { return raised.load() >= 3; }));
  t->set_thread_exec_event([&](void* sender) {
    EXPECT_EQ(sender, t.get());
    ++replaced;
  });
  EXPECT_TRUE(eventually([&] { return replaced.load() >= 3; }));
  t->set_thread_exec_event(nullptr);
  pool.reset();
  t->Execute();  // waits out a pass still running the replaced work
  const int r = replaced.load();
  t->Execute();
  EXPECT_EQ(replaced.load(), r);
}

TEST(TinyThreads, ItemsOutlivingThePoolDoNotCallBack) {
  std::atomic<int> n{0};
  auto t = counting_item(n);
  {
    auto pool = std::make_shared<TTinyThread_Pool>();
    pool->add_task(t);
    EXPECT_TRUE(eventually([&] { return n.load() > 0; }));
  }
  const int frozen = n.load();
  t->close();
  t.reset();
  EXPECT_EQ(n.load(), frozen);
}

TEST(TinyThreads, WorkNeverOutlivesItsDataAfterCloseOrRelease) {
  auto pool = std::make_shared<TTinyThread_Pool>();
  struct Data {
    std::atomic<int> n{0};
  };
  for (int k = 0; k < 300; ++k) {
    auto d = std::make_shared<Data>();
    auto t = std::make_shared<TTinyThread>();
    if (k % 2) {
      // Closed first: the raw pointer may be freed right after close().
      t->set_thread_exec_event([raw = d.get()](void*) { ++raw->n; });
    } else {
      // Released without close: a pass that holds the item keeps its work's data.
      t->set_thread_exec_event([d](void*) { ++d->n; });
    }
    pool->add_task(t);
    if (k % 3 == 0) std::this_thread::yield();
    if (k % 2) t->close();
    t.reset();
    d.reset();
  }
  EXPECT_TRUE(eventually([&] { return pool->count() == 0; }));
}

TEST(TinyThreads, CloseFromInsideItsOwnWork) {
  auto pool = std::make_shared<TTinyThread_Pool>();
  std::atomic<int> n{0};
  auto t = std::make_shared<TTinyThread>();
  t->set_thread_exec_event([&n, raw = t.get()](void*) {
    if (++n == 3) raw->close();
  });
  pool->add_task(t);
  EXPECT_TRUE(eventually([&] { return pool->count() == 0; }));
  EXPECT_EQ(n.load(), 3);
}

TEST(TinyThreads, ProcessWidePoolIsCreatedOnFirstNeedAndCanBeFreed) {
  auto p1 = ux::tiny_thread_pool();
  EXPECT_EQ(p1, ux::tiny_thread_pool());
  std::weak_ptr<TTinyThread_Pool> weak = p1;
  p1.reset();
  ux::free_tiny_thread_pool();
  EXPECT_TRUE(weak.expired());
  EXPECT_NE(ux::tiny_thread_pool(), nullptr);
}

}  // namespace
