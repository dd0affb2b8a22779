// bench_sockets: the socket classes against bare system calls in the same
// process, over loopback.
//
//   bench_sockets [--run all|udp|tcp|hub] [--datagrams N] [--bytes N] [--seconds S]
//
// udp  datagrams of 1340 bytes from one TUX_UDP_SVR_Socket to another
//      (WriteDataTo / ReadData with a wait, numeric addresses), in bursts of
//      32 sent then 32 received on one thread; the same pattern with
//      sendto / recvfrom on two bare sockets is the limit.
// tcp  N bytes (default 1 GB) from one TUX_super_tcp_socket to another (the
//      second adopts the accepted connection), each driven by check_execute
//      on its own thread, the sender keeping 4 MiB queued; against a bare
//      blocking send / recv loop with 64 KiB calls on two threads.
// hub  256 idle UDP sockets registered with a hub of 2 workers: process CPU
//      time over S seconds (default 10) as a share of one core; against the
//      readiness mode of a select() wait of 2 ms on the same sockets.
// Each throughput run is done three times, alternating, and the fastest kept
// (the machine is shared); the process CPU time of that run is shown beside it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/net/ux_cli_socket.h"
#include "common/net/ux_net_aio_class.h"
#include "common/net/ux_socketbase_dns.h"

namespace {

using namespace ux;

double cpu_seconds_now() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}
using clock_type = std::chrono::steady_clock;

constexpr int32_t kDatagram = 1340;
constexpr int kBurst = 32;
constexpr int kRounds = 3;

struct TRun {
  double wall = 1e30;  // seconds
  double cpu = 0;      // process CPU seconds during the run
};

// The best of rounds runs of f (by wall time), with its CPU time.
template <class F>
void keep_best(TRun& best, F f) {
  const double c0 = cpu_seconds_now();
  const double wall = f();
  const double cpu = cpu_seconds_now() - c0;
  if (wall < best.wall) best = TRun{wall, cpu};
}

double seconds_since(clock_type::time_point t0) {
  return std::chrono::duration<double>(clock_type::now() - t0).count();
}

void print_rate(const char* name, uint64_t count, uint64_t bytes, const TRun& r) {
  std::printf("  %-40s %9.0f datagrams/s %8.1f MB/s  (%.2f s, CPU %.2f s)\n", name, double(count) / r.wall,
              double(bytes) / r.wall / 1e6, r.wall, r.cpu);
}

// ---------------------------------------------------------------- udp

double udp_bare(uint64_t n) {
  const int32_t a = sock_create_udp(), b = sock_create_udp();
  sock_bind(a, "127.0.0.1", 0);
  sock_bind(b, "127.0.0.1", 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = parse_ipv4("127.0.0.1");
  to.sin_port = htons(uint16_t(sock_local_port(b)));
  std::vector<char> out(kDatagram, 'u'), in(2048);
  const auto t0 = clock_type::now();
  for (uint64_t done = 0; done < n; done += kBurst) {
    for (int i = 0; i < kBurst; ++i)
      ::sendto(a, out.data(), out.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    for (int i = 0; i < kBurst; ++i) {
      sockaddr_in from{};
      socklen_t len = sizeof from;
      if (::recvfrom(b, in.data(), in.size(), 0, reinterpret_cast<sockaddr*>(&from), &len) != kDatagram) std::abort();
    }
  }
  const double secs = seconds_since(t0);
  sock_close(a);
  sock_close(b);
  return secs;
}

double udp_classes(uint64_t n) {
  TUX_UDP_SVR_Socket a, b;
  a.bind_host = b.bind_host = "127.0.0.1";
  a.SetActive(true);
  b.SetActive(true);
  const uint32_t lo = parse_ipv4("127.0.0.1");
  const int32_t port = b.Get_Bind_Port();
  std::vector<char> out(kDatagram, 'u'), in(2048);
  uint32_t ip = 0, from_port = 0;
  const auto t0 = clock_type::now();
  for (uint64_t done = 0; done < n; done += kBurst) {
    for (int i = 0; i < kBurst; ++i) a.WriteDataTo(lo, port, out.data(), kDatagram);
    for (int i = 0; i < kBurst; ++i)
      if (b.ReadData(in.data(), int32_t(in.size()), 1000, ip, from_port) != kDatagram) std::abort();
  }
  return seconds_since(t0);
}

void run_udp(uint64_t n) {
  n -= n % kBurst;
  std::printf("udp: %llu datagrams of %d bytes, bursts of %d, one thread\n", (unsigned long long)n, kDatagram, kBurst);
  TRun bare, ours;
  for (int round = 0; round < kRounds; ++round) {
    keep_best(bare, [&] { return udp_bare(n); });
    keep_best(ours, [&] { return udp_classes(n); });
  }
  print_rate("bare sendto/recvfrom", n, n * kDatagram, bare);
  print_rate("TUX_UDP_SVR_Socket WriteDataTo/ReadData", n, n * kDatagram, ours);
  std::printf("  ratio %.0f %% of the bare loop (CPU per datagram %.0f %% of it)\n", 100.0 * bare.wall / ours.wall,
              100.0 * ours.cpu / bare.cpu);
}

// ---------------------------------------------------------------- tcp

// A connected loopback pair: client and accepted ends.
void tcp_pair(int32_t& client, int32_t& server) {
  const int32_t l = sock_create_tcp();
  sock_bind(l, "127.0.0.1", 0);
  ::listen(l, 1);
  client = sock_create_tcp();
  sock_connect(client, "127.0.0.1", sock_local_port(l));
  server = ::accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
  sock_close(l);
}

double tcp_bare(uint64_t total) {
  int32_t c, s;
  tcp_pair(c, s);
  const auto t0 = clock_type::now();
  std::thread sender([&] {
    std::vector<char> buf(65536, 't');
    for (uint64_t sent = 0; sent < total;) {
      const int32_t n = sock_send(c, buf.data(), int32_t(std::min<uint64_t>(buf.size(), total - sent)));
      if (n <= 0) std::abort();
      sent += uint64_t(n);
    }
  });
  std::vector<char> buf(65536);
  for (uint64_t got = 0; got < total;) {
    const int32_t n = sock_recv(s, buf.data(), int32_t(buf.size()));
    if (n <= 0) std::abort();
    got += uint64_t(n);
  }
  const double secs = seconds_since(t0);
  sender.join();
  sock_close(c);
  sock_close(s);
  return secs;
}

double tcp_classes(uint64_t total) {
  const int32_t l = sock_create_tcp();
  sock_bind(l, "127.0.0.1", 0);
  ::listen(l, 1);
  TUX_super_tcp_socket tx, rx;
  tx.set_Server_host("127.0.0.1:" + std::to_string(sock_local_port(l)));
  tx.SetActive(true);
  for (int i = 0; i < 1000 && !tx.Connected(); ++i) tx.check_execute(true);
  if (!tx.Connected() || !rx.Attach_Socket(::accept4(l, nullptr, nullptr, SOCK_CLOEXEC))) std::abort();
  sock_close(l);
  // As much as the HTTP engine keeps queued at most.
  constexpr uint32_t kQueued = 1969152;
  std::atomic<bool> done{false};
  const auto t0 = clock_type::now();
  std::thread sender([&] {
    std::vector<char> buf(65536, 't');
    uint64_t queued = 0;
    while (!done.load(std::memory_order_relaxed)) {
      while (queued < total && tx.DataIn_Send_Buffer_Size() < kQueued) {
        const int32_t n = int32_t(std::min<uint64_t>(buf.size(), total - queued));
        if (tx.WriteData(buf.data(), n) != n) std::abort();
        queued += uint64_t(n);
      }
      tx.check_execute(true);
    }
  });
  std::vector<char> buf(262144);
  for (uint64_t got = 0; got < total;) {
    rx.check_execute(true);
    for (int32_t n; (n = rx.ReadData(buf.data(), int32_t(buf.size()))) > 0;) got += uint64_t(n);
  }
  const double secs = seconds_since(t0);
  done = true;
  sender.join();
  return secs;
}

void run_tcp(uint64_t total) {
  std::printf("tcp: %.2f GB, two threads\n", double(total) / 1e9);
  TRun bare, ours;
  for (int round = 0; round < kRounds; ++round) {
    keep_best(bare, [&] { return tcp_bare(total); });
    keep_best(ours, [&] { return tcp_classes(total); });
  }
  for (const auto& [name, r] : {std::pair{"bare blocking send/recv", bare}, std::pair{"TUX_super_tcp_socket check_execute", ours}})
    std::printf("  %-40s %8.1f MB/s  (%.2f s, CPU %.2f s)\n", name, double(total) / r.wall / 1e6, r.wall, r.cpu);
  std::printf("  ratio %.0f %% of the bare loop\n", 100.0 * bare.wall / ours.wall);
}

// ---------------------------------------------------------------- hub

double hub_idle(const std::vector<int32_t>& fds, double secs) {
  TUX_AIO_HUB hub;
  for (int32_t fd : fds)
    hub.Add_Socket_IO_Func(fd, nullptr, [](void*, int32_t, int32_t, const char*, int32_t, const TAIO_Source&) { return 0; });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const double c0 = cpu_seconds_now();
  const auto t0 = clock_type::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(secs));
  const double share = (cpu_seconds_now() - c0) / seconds_since(t0);
  for (int32_t fd : fds) hub.Del_Socket_IO_Func(fd);
  return share;
}

// Two threads each waiting 2 ms at a time in select() on every socket.
double select_idle(const std::vector<int32_t>& fds, double secs) {
  std::atomic<bool> stop{false};
  fd_set all;
  FD_ZERO(&all);
  int max_fd = 0;
  for (int32_t fd : fds) {
    FD_SET(fd, &all);
    max_fd = std::max(max_fd, int(fd));
  }
  auto loop = [&] {
    while (!stop.load(std::memory_order_relaxed)) {
      fd_set r = all, e = all;
      timeval tv{0, 2000};
      ::select(max_fd + 1, &r, nullptr, &e, &tv);
    }
  };
  std::thread t1(loop), t2(loop);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const double c0 = cpu_seconds_now();
  const auto t0 = clock_type::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(secs));
  const double share = (cpu_seconds_now() - c0) / seconds_since(t0);
  stop = true;
  t1.join();
  t2.join();
  return share;
}

void run_hub(double secs) {
  std::vector<int32_t> fds;
  for (int i = 0; i < 256; ++i) {
    const int32_t fd = sock_create_udp();
    sock_bind(fd, "127.0.0.1", 0);
    fds.push_back(fd);
  }
  std::printf("hub: 256 idle UDP sockets, %.0f s each\n", secs);
  std::printf("  %-34s %6.2f %% of one core\n", "select() readiness wait, 2 ms", 100.0 * select_idle(fds, secs));
  std::printf("  %-34s %6.2f %% of one core\n", "TUX_AIO_HUB (epoll), 2 workers", 100.0 * hub_idle(fds, secs));
  for (int32_t fd : fds) sock_close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  std::string run = "all";
  uint64_t datagrams = 400000;
  uint64_t bytes = 1000000000ull;
  double secs = 10;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string k = argv[i], v = argv[i + 1];
    if (k == "--run") run = v;
    else if (k == "--datagrams") datagrams = std::strtoull(v.c_str(), nullptr, 10);
    else if (k == "--bytes") bytes = std::strtoull(v.c_str(), nullptr, 10);
    else if (k == "--seconds") secs = std::strtod(v.c_str(), nullptr);
  }
  if (run == "all" || run == "udp") run_udp(datagrams);
  if (run == "all" || run == "tcp") run_tcp(bytes);
  if (run == "all" || run == "hub") run_hub(secs);
  return 0;
}
