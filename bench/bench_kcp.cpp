// bench_kcp: pushes a payload between two KCP engines over an in-memory link
// and prints CPU throughput and simulated goodput.
//
//   bench_kcp [--bytes N] [--run NAME]     NAME: all (default) or one run name
//
// Each loop is one simulated millisecond: update A, update B, deliver A->B,
// deliver B->A, drain ikcp_recv on B. mtu 1340 (mss 1316), windows 256/512,
// the sender keeps ikcp_waitsnd below 512 with 1316-byte sends. Loss is
// decided per datagram, in both directions, by xorshift64.
//
// Instructions per byte: run one configuration under
//   valgrind --tool=callgrind bench_kcp --run NAME --bytes N
// and again with --bytes 0, and divide the difference of the two totals by N.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/net/ux_kcp_core.h"

namespace {

using namespace ux;

constexpr uint32_t kMtu = 1340;
constexpr uint32_t kMss = kMtu - IKCP_OVERHEAD;
constexpr int32_t kSndWnd = 256;
constexpr int32_t kRcvWnd = 512;
constexpr int32_t kMaxWaitSnd = 512;

struct XorShift64 {
  uint64_t s = 0x9E3779B97F4A7C15ull;
  uint64_t next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
};

// Datagrams emitted during one loop, delivered in order later in the loop.
// Storage grows by doubling and is kept between loops, so steady state
// allocates nothing.
struct Link {
  std::vector<char> bytes = std::vector<char>(size_t(kMtu) * 1024);
  std::vector<uint32_t> lengths = std::vector<uint32_t>(1024);
  size_t used = 0;
  size_t count = 0;
  XorShift64* rng = nullptr;
  uint32_t loss_per_10000 = 0;
  uint64_t datagrams = 0;
  uint64_t dropped = 0;

  void push(const char* buf, int32_t len) {
    ++datagrams;
    if (loss_per_10000 != 0 && rng->next() % 10000 < loss_per_10000) {
      ++dropped;
      return;
    }
    if (used + size_t(len) > bytes.size()) bytes.resize(bytes.size() * 2 + size_t(len));
    if (count == lengths.size()) lengths.resize(lengths.size() * 2);
    std::memcpy(bytes.data() + used, buf, size_t(len));
    used += size_t(len);
    lengths[count++] = uint32_t(len);
  }
  void deliver(PkcpCb to) {
    const char* p = bytes.data();
    for (size_t i = 0; i < count; ++i) {
      (void)ikcp_input(to, p, lengths[i]);
      p += lengths[i];
    }
    used = 0;
    count = 0;
  }
};

bool on_output(const char* buf, int32_t len, PkcpCb, void* user) {
  static_cast<Link*>(user)->push(buf, len);
  return true;
}

struct Run {
  const char* name;
  int nodelay, interval, resend, nc;
  uint32_t loss_per_10000;
};

constexpr Run kRuns[] = {
    {"normal-lossless", 0, 3, 0, 0, 0},
    {"normal-loss1", 0, 3, 0, 0, 100},
    {"fast-lossless", 1, 10, 2, 1, 0},
    {"fast-loss1", 1, 10, 2, 1, 100},
};

int run_one(const Run& run, uint64_t total) {
  XorShift64 rng;
  Link ab, ba;
  ab.rng = ba.rng = &rng;
  ab.loss_per_10000 = ba.loss_per_10000 = run.loss_per_10000;

  PkcpCb a = ikcp_create(0x5EED, &ab);
  PkcpCb b = ikcp_create(0x5EED, &ba);
  if (a == nullptr || b == nullptr) return 1;
  for (PkcpCb k : {a, b}) {
    ikcp_setoutput(k, &on_output);
    (void)ikcp_setmtu(k, int32_t(kMtu));
    (void)ikcp_wndsize(k, kSndWnd, kRcvWnd);
    (void)ikcp_nodelay(k, run.nodelay, run.interval, run.resend, run.nc);
  }

  std::vector<char> payload(kMss);
  for (uint32_t i = 0; i < kMss; ++i) payload[i] = char(i * 31 + 7);
  std::vector<char> rbuf(kMss * 2);

  uint64_t sent = 0, received = 0;
  uint32_t clock = 0;
  const auto t0 = std::chrono::steady_clock::now();
  while (received < total) {
    ++clock;
    ikcp_update(a, clock);
    ikcp_update(b, clock);
    while (sent < total && ikcp_waitsnd(a) < kMaxWaitSnd) {
      const uint64_t n = total - sent < kMss ? total - sent : kMss;
      if (ikcp_send(a, payload.data(), int32_t(n)) != 0) return 1;
      sent += n;
    }
    ab.deliver(b);
    ba.deliver(a);
    for (int n; (n = ikcp_recv(b, rbuf.data(), int32_t(rbuf.size()))) >= 0;) received += uint64_t(n);
    if (clock > 100000000u) {
      std::fprintf(stderr, "%s: stalled at %llu of %llu bytes\n", run.name,
                   static_cast<unsigned long long>(received), static_cast<unsigned long long>(total));
      return 1;
    }
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double mb = double(total) / 1e6;
  std::printf("%-16s bytes=%llu cpu_s=%.3f cpu_MB/s=%.1f sim_ms=%u goodput_MB/s=%.2f "
              "datagrams=%llu dropped=%llu timeout_resends=%u\n",
              run.name, static_cast<unsigned long long>(total), secs, secs > 0 ? mb / secs : 0.0,
              clock, clock > 0 ? mb / (double(clock) / 1000.0) : 0.0,
              static_cast<unsigned long long>(ab.datagrams + ba.datagrams),
              static_cast<unsigned long long>(ab.dropped + ba.dropped), a->xmit);
  ikcp_release(a);
  ikcp_release(b);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t total = uint64_t(256) << 20;
  std::string which = "all";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--bytes") == 0) {
      total = std::strtoull(argv[i + 1], nullptr, 10);
    } else if (std::strcmp(argv[i], "--run") == 0) {
      which = argv[i + 1];
    } else {
      std::fprintf(stderr, "usage: %s [--bytes N] [--run all|NAME]\n", argv[0]);
      return 2;
    }
  }
  int status = 2;
  for (const Run& run : kRuns) {
    if (which != "all" && which != run.name) continue;
    status = run_one(run, total);
    if (status != 0) return status;
  }
  if (status == 2) std::fprintf(stderr, "unknown run %s\n", which.c_str());
  return status;
}
