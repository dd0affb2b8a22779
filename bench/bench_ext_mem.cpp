// Tfifo_Mem_stream throughput: 64 KiB append + 64 KiB consume cycles against
// the two plain copies the same cycle needs (the limit) and std::deque<char>;
// fsc_Exists line cutting over 1 MB of 80-byte CRLF lines.
#include <benchmark/benchmark.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "bench/bench_alloc_count.h"
#include "common/ext_mem.h"

namespace {

constexpr size_t kChunk = 64 * 1024;

std::vector<char> pattern(size_t n) {
  std::vector<char> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<char>(i * 131 + 7);
  return v;
}

void BM_Memcpy_InOut_64K(benchmark::State& state) {
  const auto src = pattern(kChunk);
  std::vector<char> mid(kChunk), dst(kChunk);
  for (auto _ : state) {
    std::memcpy(mid.data(), src.data(), kChunk);
    benchmark::ClobberMemory();
    std::memcpy(dst.data(), mid.data(), kChunk);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kChunk));
}
BENCHMARK(BM_Memcpy_InOut_64K);

// One 64 KiB append and one 64 KiB consume on s per iteration.
void fifo_cycles(benchmark::State& state, ux::Tfifo_Mem_stream& s, const std::vector<char>& src,
                 std::vector<char>& dst) {
  for (auto _ : state) {
    if (s.Write(src.data(), int64_t(kChunk)) != int64_t(kChunk)) {
      state.SkipWithError("append refused");
      break;
    }
    const int32_t n = s.Read_And_Remove(dst.data(), int32_t(kChunk));
    benchmark::DoNotOptimize(n);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kChunk));
}

void BM_Fifo_Append_Consume_64K(benchmark::State& state) {
  const auto src = pattern(kChunk);
  std::vector<char> dst(kChunk);
  ux::Tfifo_Mem_stream s(int32_t(kChunk) + 8192);
  const int32_t cap0 = s.SpaceSize();
  const uint64_t a0 = t_alloc_count;
  fifo_cycles(state, s, src, dst);
  state.counters["allocs/op"] = benchmark::Counter(
      double(t_alloc_count - a0) / double(state.iterations()));
  state.counters["capacity_grew"] = s.SpaceSize() != cap0 ? 1 : 0;
}
BENCHMARK(BM_Fifo_Append_Consume_64K);

// The same cycle with a 1 KiB backlog, so every append slides or wraps the way
// a socket buffer with unread bytes does.
void BM_Fifo_Append_Consume_64K_Backlog(benchmark::State& state) {
  const auto src = pattern(kChunk);
  std::vector<char> dst(kChunk);
  ux::Tfifo_Mem_stream s(int32_t(kChunk) * 2);
  if (s.Write(src.data(), 1024) != 1024) state.SkipWithError("append refused");
  fifo_cycles(state, s, src, dst);
}
BENCHMARK(BM_Fifo_Append_Consume_64K_Backlog);

void BM_Deque_Append_Consume_64K(benchmark::State& state) {
  const auto src = pattern(kChunk);
  std::vector<char> dst(kChunk);
  std::deque<char> q;
  const uint64_t a0 = t_alloc_count;
  for (auto _ : state) {
    q.insert(q.end(), src.begin(), src.end());
    std::copy(q.begin(), q.begin() + std::ptrdiff_t(kChunk), dst.begin());
    q.erase(q.begin(), q.begin() + std::ptrdiff_t(kChunk));
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kChunk));
  state.counters["allocs/op"] = benchmark::Counter(
      double(t_alloc_count - a0) / double(state.iterations()));
}
BENCHMARK(BM_Deque_Append_Consume_64K);

std::string crlf_lines_1mb() {
  std::string text;
  text.reserve(1 << 20);
  const std::string line = std::string(78, 'L') + "\r\n";
  while (text.size() + line.size() <= (1u << 20)) text += line;
  return text;
}

void BM_FscExists_Lines_1MB(benchmark::State& state) {
  const std::string text = crlf_lines_1mb();
  ux::Tfifo_Mem_stream s(int32_t(text.size()) + 64);
  int64_t lines = 0;
  for (auto _ : state) {
    state.PauseTiming();
    s.Reset(false);
    s.WriteString(text);
    state.ResumeTiming();
    for (;;) {
      std::string line = s.fsc_Exists("\r\n", 0);
      if (line.empty()) break;
      benchmark::DoNotOptimize(line.data());
      ++lines;
    }
  }
  state.counters["lines/s"] = benchmark::Counter(double(lines), benchmark::Counter::kIsRate);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(BM_FscExists_Lines_1MB);

}  // namespace

BENCHMARK_MAIN();
