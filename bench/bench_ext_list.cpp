// TUX_FIFO_Pool push+pop pairs, one thread and 4 threads on one queue,
// against std::mutex + std::deque<void*>; allocations per pair are counted.
#include <benchmark/benchmark.h>

#include <deque>
#include <mutex>

#include "bench/bench_alloc_count.h"
#include "common/ext_list.h"
#include "common/ext_list_2.h"

namespace {

ux::TUX_FIFO_Pool g_pool;

struct TBaselineQueue {
  std::mutex m;
  std::deque<void*> q;
  void push(void* p) {
    std::lock_guard<std::mutex> g(m);
    q.push_back(p);
  }
  bool pop(void*& p) {
    std::lock_guard<std::mutex> g(m);
    if (q.empty()) return false;
    p = q.front();
    q.pop_front();
    return true;
  }
};
TBaselineQueue g_base;

void report_allocs(benchmark::State& state, uint64_t a0) {
  state.counters["allocs/pair"] =
      benchmark::Counter(double(t_alloc_count - a0) / double(state.iterations()),
                         benchmark::Counter::kAvgThreads);
}

void BM_FifoPool_PushPop(benchmark::State& state) {
  // Warm-up: the items this thread will cycle exist before timing starts.
  void* p;
  for (int i = 0; i < 4; ++i) g_pool.push(&p);
  for (int i = 0; i < 4; ++i) g_pool.Pop_Data_out(p);
  const uint64_t a0 = t_alloc_count;
  uintptr_t v = uintptr_t(state.thread_index()) << 32;
  for (auto _ : state) {
    g_pool.push(reinterpret_cast<void*>(++v));
    g_pool.Pop_Data_out(p);
    benchmark::DoNotOptimize(p);
  }
  report_allocs(state, a0);
  state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_FifoPool_PushPop)->Threads(1)->Threads(4)->UseRealTime();

void BM_MutexDeque_PushPop(benchmark::State& state) {
  void* p = nullptr;
  const uint64_t a0 = t_alloc_count;
  uintptr_t v = uintptr_t(state.thread_index()) << 32;
  for (auto _ : state) {
    g_base.push(reinterpret_cast<void*>(++v));
    g_base.pop(p);
    benchmark::DoNotOptimize(p);
  }
  report_allocs(state, a0);
  state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_MutexDeque_PushPop)->Threads(1)->Threads(4)->UseRealTime();

// A queue kept 64 deep: pushes and pops never see it empty.
void BM_FifoPool_PushPop_Depth64(benchmark::State& state) {
  ux::TUX_FIFO_Pool q;
  void* p;
  for (int i = 0; i < 64; ++i) q.push(&p);
  q.push(&p);  // the 65th item, cycled from here on
  q.Pop_Data_out(p);
  const uint64_t a0 = t_alloc_count;
  for (auto _ : state) {
    q.push(&p);
    q.Pop_Data_out(p);
    benchmark::DoNotOptimize(p);
  }
  report_allocs(state, a0);
}
BENCHMARK(BM_FifoPool_PushPop_Depth64);

void BM_MutexDeque_PushPop_Depth64(benchmark::State& state) {
  TBaselineQueue q;
  void* p;
  for (int i = 0; i < 64; ++i) q.push(&p);
  const uint64_t a0 = t_alloc_count;
  for (auto _ : state) {
    q.push(&p);
    q.pop(p);
    benchmark::DoNotOptimize(p);
  }
  report_allocs(state, a0);
}
BENCHMARK(BM_MutexDeque_PushPop_Depth64);

void BM_KVList_HeaderText(benchmark::State& state) {
  ux::TUX_KV_List kv;
  kv.SetNameValueSeparator(':');
  for (auto _ : state) {
    kv.Clear();
    kv.Add("Host", " example.com:56020");
    kv.Add("User-Agent", " qlyn");
    kv.Add("Accept", " */*");
    kv.Add("Range", " bytes=1000-");
    kv.Add("Connection", " keep-alive");
    std::string t = kv.asText();
    benchmark::DoNotOptimize(t.data());
  }
}
BENCHMARK(BM_KVList_HeaderText);

}  // namespace

BENCHMARK_MAIN();
