#include "common/net/ux_net_aio_class.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/net/ux_cli_socket.h"
#include "common/net/ux_socketbase_dns.h"
#include "support/eventually.h"
#include "support/loopback_sockets.h"

namespace {

using namespace ux;
using namespace std::chrono_literals;

// Everything a callback saw, with bounded waits for it.
struct TSeen {
  struct TCall {
    void* user;
    int32_t handle;
    int32_t event;
    std::string data;
    TAIO_Source from;
  };
  std::mutex mu;
  std::condition_variable cv;
  std::vector<TCall> calls;

  TUX_AIO_Ret_Func func(int32_t result = 0) {
    return [this, result](void* user, int32_t h, int32_t ev, const char* d, int32_t n, const TAIO_Source& from) {
      std::lock_guard<std::mutex> g(mu);
      calls.push_back({user, h, ev, d ? std::string(d, size_t(n)) : std::string(), from});
      cv.notify_all();
      return result;
    };
  }
  // True once pred holds for the calls, within 5 s.
  template <class P>
  bool wait(P pred) {
    std::unique_lock<std::mutex> g(mu);
    return cv.wait_for(g, 5s, [&] { return pred(calls); });
  }
  bool wait_count(size_t n) {
    return wait([n](const std::vector<TCall>& c) { return c.size() >= n; });
  }
  size_t count() {
    std::lock_guard<std::mutex> g(mu);
    return calls.size();
  }
  std::string stream_bytes() {
    std::lock_guard<std::mutex> g(mu);
    std::string all;
    for (const TCall& c : calls)
      if (c.event == kAIO_Event_Data) all += c.data;
    return all;
  }
};

struct TUdp {
  TUdp() {
    fd = sock_create_udp();
    sock_bind(fd, "127.0.0.1", 0);
    port = sock_local_port(fd);
  }
  ~TUdp() {
    if (fd >= 0) sock_close(fd);
  }
  int32_t send_to(const TUdp& to, const std::string& s) const {
    return sock_send_to(fd, parse_ipv4("127.0.0.1"), to.port, s.data(), int32_t(s.size()));
  }
  int32_t fd;
  int32_t port;
};

// A connected loopback TCP pair: client (c) and accepted (s).
struct TTcpPair {
  TTcpPair() {
    const int32_t l = sock_create_tcp();
    sock_bind(l, "127.0.0.1", 0);
    ::listen(l, 1);
    c = sock_create_tcp();
    sock_connect(c, "127.0.0.1", sock_local_port(l));
    s = ::accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
    sock_close(l);
  }
  ~TTcpPair() {
    if (c >= 0) sock_close(c);
    if (s >= 0) sock_close(s);
  }
  int32_t c, s;
};

TEST(AioHub, HandleLimitsAndBadRegistrations) {
  TUX_AIO_HUB hub;
  EXPECT_TRUE(hub.check_epoll_enabled());
  EXPECT_TRUE(hub.use_Epoll_Mode());
  EXPECT_FALSE(hub.use_Iocp_mode());
  TSeen seen;
  EXPECT_EQ(hub.Add_Socket_IO_Func(0, nullptr, seen.func()), -1);
  EXPECT_EQ(hub.Add_Socket_IO_Func(70000, nullptr, seen.func()), -1);
  EXPECT_EQ(hub.Add_Socket_IO_Func(-3, nullptr, seen.func()), -1);
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  EXPECT_EQ(hub.Add_Socket_IO_Func(pipe_fds[0], nullptr, seen.func()), -1) << "not a socket";
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
  TUdp u;
  EXPECT_EQ(hub.Add_Socket_IO_Func(u.fd, nullptr, nullptr), -1);
  EXPECT_EQ(hub.Registered_Count(), 0);
  EXPECT_EQ(hub.Del_Socket_IO_Func(0), -1);
  EXPECT_EQ(hub.Del_Socket_IO_Func(70000), -1);
  EXPECT_EQ(hub.Del_Socket_IO_Func(u.fd), 0) << "not registered: nothing to do";
}

TEST(AioHub, DeliversDatagramsWithSenderAndReplacesRegistrations) {
  TUdp rx, tx;
  TSeen first, second;
  TUX_AIO_HUB hub;
  int tag1 = 1, tag2 = 2;
  ASSERT_EQ(hub.Add_Socket_IO_Func(rx.fd, &tag1, first.func()), 0);
  ASSERT_EQ(tx.send_to(rx, "alpha"), 5);
  ASSERT_EQ(tx.send_to(rx, std::string(60000, 'z')), 60000);
  ASSERT_TRUE(first.wait_count(2));
  {
    std::lock_guard<std::mutex> g(first.mu);
    EXPECT_EQ(first.calls[0].event, kAIO_Event_Data);
    EXPECT_EQ(first.calls[0].data, "alpha");
    EXPECT_EQ(first.calls[0].user, &tag1);
    EXPECT_EQ(first.calls[0].handle, rx.fd);
    EXPECT_EQ(first.calls[0].from.ip, parse_ipv4("127.0.0.1"));
    EXPECT_EQ(first.calls[0].from.port, tx.port);
    EXPECT_EQ(first.calls[1].data, std::string(60000, 'z')) << "a large datagram is not cut";
  }
  ASSERT_EQ(hub.Add_Socket_IO_Func(rx.fd, &tag2, second.func()), 0);
  EXPECT_EQ(hub.Registered_Count(), 1);
  ASSERT_EQ(tx.send_to(rx, "beta"), 4);
  ASSERT_TRUE(second.wait_count(1));
  EXPECT_EQ(first.count(), 2u);
  std::lock_guard<std::mutex> g(second.mu);
  EXPECT_EQ(second.calls[0].data, "beta");
  EXPECT_EQ(second.calls[0].user, &tag2);
}

TEST(AioHub, NonZeroResultsAndExceptionsLoseNothing) {
  TUdp rx, tx;
  TSeen seen;
  std::atomic<int> calls{0};
  TUX_AIO_HUB hub;
  auto record = seen.func(1);
  ASSERT_EQ(hub.Add_Socket_IO_Func(rx.fd, nullptr,
                                   [&](void* u, int32_t h, int32_t ev, const char* d, int32_t n,
                                       const TAIO_Source& from) -> int32_t {
                                     if (calls++ % 3 == 0) throw std::runtime_error("callback failure");
                                     return record(u, h, ev, d, n, from);
                                   }),
            0);
  constexpr int kCount = 60;
  for (int i = 0; i < kCount; ++i) ASSERT_GT(tx.send_to(rx, "m" + std::to_string(i)), 0);
  ASSERT_TRUE(seen.wait_count(kCount - kCount / 3));
  EXPECT_EQ(calls.load(), kCount) << "each datagram delivered exactly once";
  std::lock_guard<std::mutex> g(seen.mu);
  size_t k = 0;
  for (int i = 0; i < kCount; ++i) {
    if (i % 3 != 0) {
      EXPECT_EQ(seen.calls[k++].data, "m" + std::to_string(i));
    }
  }
}

TEST(AioHub, StreamChunksThenOneCloseEvent) {
  TTcpPair pair;
  TSeen seen;
  TUX_AIO_HUB hub;
  ASSERT_EQ(hub.Add_Socket_IO_Func(pair.c, nullptr, seen.func()), 0);
  std::string payload(1 << 20, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = char(i * 131 + i / 7);
  size_t sent = 0;
  while (sent < payload.size()) {
    const int32_t n = sock_send(pair.s, payload.data() + sent, int32_t(payload.size() - sent));
    ASSERT_GT(n, 0);
    sent += size_t(n);
  }
  const int32_t peer_port = sock_local_port(pair.s);
  sock_close(pair.s);
  pair.s = -1;
  ASSERT_TRUE(seen.wait([](const std::vector<TSeen::TCall>& c) {
    return !c.empty() && c.back().event == kAIO_Event_Closed;
  }));
  EXPECT_EQ(seen.stream_bytes(), payload);
  std::this_thread::sleep_for(50ms);
  std::lock_guard<std::mutex> g(seen.mu);
  int closes = 0;
  for (const auto& c : seen.calls) {
    closes += c.event == kAIO_Event_Closed;
    EXPECT_LE(c.data.size(), size_t(TUX_AIO_HUB::kStreamChunk));
    EXPECT_EQ(c.from.port, peer_port);
  }
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(seen.calls.front().from.ip, parse_ipv4("127.0.0.1"));
}

TEST(AioHub, PortUnreachableIsNotTheEndOfADatagramSocket) {
  const int32_t free_port = qlyn_test::free_loopback_port(SOCK_DGRAM);
  TUdp a;
  ASSERT_EQ(sock_connect(a.fd, "127.0.0.1", free_port), 0);
  TSeen seen;
  TUX_AIO_HUB hub;
  ASSERT_EQ(hub.Add_Socket_IO_Func(a.fd, nullptr, seen.func()), 0);
  ASSERT_EQ(sock_send(a.fd, "ping", 4), 4);  // answered by port unreachable
  std::this_thread::sleep_for(50ms);
  const int32_t b = sock_create_udp();
  ASSERT_EQ(sock_bind(b, "127.0.0.1", free_port), 0);
  ASSERT_EQ(sock_send_to(b, parse_ipv4("127.0.0.1"), a.port, "pong", 4), 4);
  ASSERT_TRUE(seen.wait_count(1));
  sock_close(b);
  std::lock_guard<std::mutex> g(seen.mu);
  EXPECT_EQ(seen.calls[0].event, kAIO_Event_Data);
  EXPECT_EQ(seen.calls[0].data, "pong");
}

TEST(AioHub, RemovalWaitsForARunningCallbackAndStopsDeliveries) {
  TUdp rx, tx;
  std::atomic<bool> entered{false}, release{false}, exited{false};
  std::atomic<int> calls{0};
  TUX_AIO_HUB hub;
  ASSERT_EQ(hub.Add_Socket_IO_Func(rx.fd, nullptr,
                                   [&](void*, int32_t, int32_t, const char*, int32_t, const TAIO_Source&) {
                                     ++calls;
                                     entered = true;
                                     qlyn_test::eventually([&] { return release.load(); }, 5000, 10);
                                     exited = true;
                                     return 0;
                                   }),
            0);
  ASSERT_EQ(tx.send_to(rx, "one"), 3);
  ASSERT_EQ(tx.send_to(rx, "two"), 3);
  ASSERT_TRUE(qlyn_test::eventually([&] { return entered.load(); }, 5000, 10));
  std::atomic<bool> del_returned{false};
  bool exited_when_returned = false;
  std::thread remover([&] {
    hub.Del_Socket_IO_Func(rx.fd);
    exited_when_returned = exited;
    del_returned = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(del_returned) << "removal waits for the running callback";
  release = true;
  remover.join();
  EXPECT_TRUE(exited_when_returned);
  ASSERT_EQ(tx.send_to(rx, "three"), 5);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(calls.load(), 1) << "nothing after removal, not even the queued datagram";
  EXPECT_EQ(hub.Registered_Count(), 0);
}

TEST(AioHub, CallbackMayRemoveItsOwnRegistration) {
  TUdp rx, tx;
  std::atomic<int> calls{0};
  TUX_AIO_HUB hub;
  ASSERT_EQ(hub.Add_Socket_IO_Func(rx.fd, nullptr,
                                   [&](void*, int32_t h, int32_t, const char*, int32_t, const TAIO_Source&) {
                                     ++calls;
                                     hub.Del_Socket_IO_Func(h);
                                     return 0;
                                   }),
            0);
  for (int i = 0; i < 5; ++i) tx.send_to(rx, "x");
  qlyn_test::eventually([&] { return calls != 0; }, 5000, 10);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(hub.Registered_Count(), 0);
}

TEST(AioHub, OneCallbackAtATimePerSocketAcrossManySockets) {
  constexpr int kSockets = 256, kEach = 4;
  std::vector<std::unique_ptr<TUdp>> socks;
  std::vector<std::atomic<int>> inside(kSockets), got(kSockets);
  std::atomic<int> overlaps{0}, total{0};
  TUX_AIO_HUB hub;
  hub.Set_Thread_Count(4);
  for (int i = 0; i < kSockets; ++i) {
    socks.push_back(std::make_unique<TUdp>());
    ASSERT_EQ(hub.Add_Socket_IO_Func(socks[i]->fd, reinterpret_cast<void*>(intptr_t(i)),
                                     [&](void* u, int32_t, int32_t ev, const char*, int32_t, const TAIO_Source&) {
                                       const auto k = size_t(reinterpret_cast<intptr_t>(u));
                                       if (inside[k]++ != 0) ++overlaps;
                                       std::this_thread::yield();
                                       if (ev == kAIO_Event_Data) ++got[k];
                                       --inside[k];
                                       ++total;
                                       return 0;
                                     }),
              0);
  }
  EXPECT_EQ(hub.Registered_Count(), kSockets);
  TUdp tx;
  for (int r = 0; r < kEach; ++r)
    for (int i = 0; i < kSockets; ++i) {
      ASSERT_GT(tx.send_to(*socks[i], "d"), 0);
    }
  qlyn_test::eventually([&] { return total >= kSockets * kEach; }, 5000, 10);
  EXPECT_EQ(total.load(), kSockets * kEach);
  EXPECT_EQ(overlaps.load(), 0);
  for (int i = 0; i < kSockets; ++i) EXPECT_EQ(got[i].load(), kEach) << i;
  for (auto& s : socks) hub.Del_Socket_IO_Func(s->fd);
}

TEST(AioHub, ThreadCountIsCappedAndZeroStopsDelivery) {
  const int64_t before = TExThread::live_count();
  {
    TUdp rx, tx;
    TSeen seen;
    TUX_AIO_HUB hub;  // ends before what its callbacks use
    EXPECT_EQ(hub.Thread_Count(), TUX_AIO_HUB::kDefaultThreads);
    hub.Set_Thread_Count(20);
    EXPECT_EQ(hub.Thread_Count(), 16);
    EXPECT_EQ(TExThread::live_count(), before + 16);
    hub.Set_Thread_Count(0);
    EXPECT_EQ(hub.Thread_Count(), 0);
    EXPECT_EQ(TExThread::live_count(), before);

    ASSERT_EQ(hub.Add_Socket_IO_Func(rx.fd, nullptr, seen.func()), 0);
    ASSERT_EQ(tx.send_to(rx, "waiting"), 7);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(seen.count(), 0u);
    hub.Set_Thread_Count(1);
    ASSERT_TRUE(seen.wait_count(1));
    hub.Set_Thread_Count(-5);
    EXPECT_EQ(hub.Thread_Count(), 0);
    hub.Set_Thread_Count(3);
  }
  EXPECT_EQ(TExThread::live_count(), before) << "the destructor ends its workers";
}

// ---------------------------------------------------------------- the socket layer

TEST(SocketLayer, StopEndsTheHubWorkersAndDropsTheCacheUntilStartedAgain) {
  TUX_AIO_HUB& hub = aio_hub();
  EXPECT_EQ(&hub, &aio_hub()) << "one process-wide hub";
  hub.Set_Thread_Count(TUX_AIO_HUB::kDefaultThreads);
  ASSERT_NE(dns_cacher(), nullptr);
  socket_layer_stop();
  EXPECT_EQ(hub.Thread_Count(), 0);
  EXPECT_EQ(dns_cacher(), nullptr);
  EXPECT_EQ(resolve_host("127.0.0.7"), parse_ipv4("127.0.0.7")) << "resolution works without the cache";
  socket_layer_stop();  // again: nothing left to do
  socket_layer_start();
  ASSERT_NE(dns_cacher(), nullptr);
  EXPECT_EQ(dns_cacher()->Get("255.255.255.255"), 0xFFFFFFFFu);
  hub.Set_Thread_Count(TUX_AIO_HUB::kDefaultThreads);
  socket_layer_stop();
  EXPECT_EQ(hub.Thread_Count(), 0) << "the hook runs at every stop";
  socket_layer_start();
  hub.Set_Thread_Count(TUX_AIO_HUB::kDefaultThreads);
}

// ---------------------------------------------------------------- the UDP socket's asynchronous mode

TEST(UdpAsyncMode, DatagramsGoToTheEventInsteadOfTheReads) {
  TSeen seen;
  auto rx = std::make_shared<TUX_UDP_SVR_Socket>();
  rx->bind_host = "127.0.0.1";
  auto record = seen.func();
  rx->On_AIO_Data_come = [&](const char* d, int32_t n, const std::string& ip, int32_t port) {
    record(nullptr, 0, kAIO_Event_Data, d, n, TAIO_Source{parse_ipv4(ip), port});
  };
  rx->set_OS_AIO_Mode(true);  // takes effect at activation
  rx->SetActive(true);
  ASSERT_TRUE(rx->Active());
  TUdp tx;
  const uint32_t lo = parse_ipv4("127.0.0.1");
  ASSERT_EQ(sock_send_to(tx.fd, lo, rx->Get_Bind_Port(), "async", 5), 5);
  ASSERT_TRUE(seen.wait_count(1));
  {
    std::lock_guard<std::mutex> g(seen.mu);
    EXPECT_EQ(seen.calls[0].data, "async");
    EXPECT_EQ(seen.calls[0].from.port, tx.port);
  }
  char buf[16];
  uint32_t ip, port;
  EXPECT_EQ(rx->ReadData(buf, sizeof buf, 1, ip, port), 0) << "reads give nothing in asynchronous mode";

  rx->set_OS_AIO_Mode(false);
  ASSERT_EQ(sock_send_to(tx.fd, lo, rx->Get_Bind_Port(), "sync", 4), 4);
  EXPECT_EQ(rx->ReadData(buf, sizeof buf, 2000, ip, port), 4);
  EXPECT_EQ(seen.count(), 1u);

  rx->set_OS_AIO_Mode(true);
  rx->ReBind(-1);
  ASSERT_EQ(sock_send_to(tx.fd, lo, rx->Get_Bind_Port(), "again", 5), 5);
  ASSERT_TRUE(seen.wait_count(2)) << "a new opening is registered again";
}

TEST(UdpAsyncMode, DestructionWhileDatagramsFlowLeavesNoCallbackBehind) {
  TUdp tx;
  for (int round = 0; round < 20; ++round) {
    std::atomic<int> calls{0};
    int32_t port = 0;
    {
      TUX_UDP_SVR_Socket rx;
      rx.bind_host = "127.0.0.1";
      rx.On_AIO_Data_come = [&](const char*, int32_t, const std::string&, int32_t) {
        ++calls;
        std::this_thread::sleep_for(1ms);
      };
      rx.SetActive(true);
      rx.set_OS_AIO_Mode(true);
      port = rx.Get_Bind_Port();
      for (int i = 0; i < 20; ++i) sock_send_to(tx.fd, parse_ipv4("127.0.0.1"), port, "flow", 4);
      std::this_thread::sleep_for(2ms);
    }
    const int at_end = calls.load();
    std::this_thread::sleep_for(5ms);
    EXPECT_EQ(calls.load(), at_end) << "round " << round;
  }
}

}  // namespace
