// TEX_Timer_Task::Execute over 1000 entries of which none is due, against
// two reference loops over the same number of records: a bare comparison of
// time stamps (the limit) and a scan that takes the lock and reads the clock
// for every entry.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <mutex>
#include <vector>

#include "common/ux_classes.h"
#include "common/ux_common.h"

namespace {

constexpr int kEntries = 1000;
constexpr int64_t kFarMsec = int64_t(1) << 40;

void BM_TimerExecuteNoneDue(benchmark::State& state) {
  auto timer = std::make_shared<ux::TEX_Timer_Task>();
  for (int k = 0; k < kEntries; ++k) {
    switch (k % 4) {
      case 0:
        (void)timer->Add_Task(kFarMsec, k, [](int64_t, int64_t, bool&) {});
        break;
      case 1:
        (void)timer->Delay_Run(kFarMsec, k, [](int64_t, bool&) {});
        break;
      case 2:
        timer->Delay_Run(kFarMsec, [] {});
        break;
      default:
        timer->dejet_define("jet" + std::to_string(k), [](const std::string&, const std::string&) {}, kFarMsec);
    }
  }
  for (auto _ : state) timer->Execute();
  state.counters["entries"] = double(timer->count());
}

struct Stamp {
  int64_t last_run;
  int64_t interval;
  bool due;
};

void BM_BareStampScan(benchmark::State& state) {
  std::vector<Stamp> v(kEntries, Stamp{ux::tick_ms(), kFarMsec, false});
  for (auto _ : state) {
    const int64_t start = ux::tick_ms();
    int n = 0;
    for (auto& s : v) {
      s.due = ux::abs_diff(start, s.last_run) >= uint64_t(s.interval);
      n += s.due;
    }
    benchmark::DoNotOptimize(n);
  }
}

void BM_LockAndClockPerEntry(benchmark::State& state) {
  std::vector<Stamp> v(kEntries, Stamp{ux::tick_ms(), kFarMsec, false});
  std::recursive_mutex lock;
  for (auto _ : state) {
    const int64_t start = ux::tick_ms();
    int n = 0;
    for (size_t i = 0;; ++i) {
      if (ux::tick_ms() - start >= 200) break;
      std::lock_guard<std::recursive_mutex> g(lock);
      if (i >= v.size()) break;
      v[i].due = ux::abs_diff(start, v[i].last_run) >= uint64_t(v[i].interval);
      n += v[i].due;
    }
    benchmark::DoNotOptimize(n);
  }
}

// Time per iteration is the time of one scan of 1000 entries, in µs.
BENCHMARK(BM_TimerExecuteNoneDue)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareStampScan)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LockAndClockPerEntry)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
