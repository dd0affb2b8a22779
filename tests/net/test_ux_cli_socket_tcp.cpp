#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/net/ux_cli_socket.h"
#include "common/ux_common.h"
#include "support/loopback_sockets.h"

namespace {

using namespace ux;
using qlyn_test::free_loopback_port;
using qlyn_test::recv_upto;
using qlyn_test::send_all;
using qlyn_test::TBoundSocket;
using qlyn_test::TLoopbackListener;

// Steps s until pred holds; at most max_steps steps (each waits a few ms).
bool drive_until(TUX_tcp_Socket_base& s, const std::function<bool()>& pred, int max_steps = 2000) {
  for (int i = 0; i < max_steps; ++i) {
    if (pred()) return true;
    s.check_execute(true);
  }
  return pred();
}

void drive(TUX_tcp_Socket_base& s, int steps) {
  for (int i = 0; i < steps; ++i) s.check_execute(true);
}

std::string loopback(int port) { return "127.0.0.1:" + std::to_string(port); }

// Every event of a socket, in order.
struct TEventLog {
  std::vector<std::string> names;
  int data_events = 0;
  void attach(TUX_super_tcp_socket& s) {
    s.events.Connected_event = [this](void*) { names.push_back("connected"); };
    s.events.connecte_fail = [this](void*) { names.push_back("connect_fail"); };
    s.events.Disconnected_event = [this](void*) { names.push_back("disconnected"); };
    s.events.Reconnect_Event = [this](void*) { names.push_back("reconnect"); };
    s.events.onData_Event = [this](void*, Tfifo_Mem_stream&) {
      ++data_events;
      return true;
    };
  }
  int count(const std::string& n) const {
    int c = 0;
    for (const auto& x : names) c += x == n;
    return c;
  }
};

// ---------------------------------------------------------------- server lists

TEST(TcpServerList, ActivationsRotateThroughTheEntries) {
  TLoopbackListener l1, l2, l3, l4;
  auto s = std::make_shared<TUX_super_tcp_socket>();
  s->set_Server_host(" " + loopback(l1.port()) + ";\t" + loopback(l2.port()) + " | ;," + loopback(l3.port()) +
                     ", 127.0.0.1 ");
  s->set_Default_dest_port(l4.port());
  TLoopbackListener* expected[] = {&l1, &l2, &l3, &l4, &l1};
  for (TLoopbackListener* l : expected) {
    s->SetActive(true);
    ASSERT_TRUE(drive_until(*s, [&] { return s->Connected(); }));
    EXPECT_EQ(s->dest_host(), "127.0.0.1");
    EXPECT_EQ(s->dest_port(), l->port());
    const int peer = l->accept();
    ASSERT_GE(peer, 0);
    EXPECT_EQ(qlyn_test::bound_port(peer), l->port());
    ::close(peer);
    s->SetActive(false);
  }
}

TEST(TcpServerList, FullWidthTextAndHostReplacement) {
  TLoopbackListener l;
  TUX_super_tcp_socket s;
  // "127.0.0.1：port" with a full-width colon and digits.
  std::string text = "127.0.0.1\xEF\xBC\x9A";
  for (char c : std::to_string(l.port())) text += std::string("\xEF\xBC") + char(0x90 + (c - '0'));
  s.set_Server_host(text);
  EXPECT_EQ(s.Server_host(), loopback(l.port()));

  std::string seen_host, seen_ip;
  s.set_Server_host("db.example.test:" + std::to_string(l.port()));
  s.on_Resvole_Host = [](const std::string& host, std::string& ip) {
    if (host == "db.example.test") ip = "127.0.0.1";
  };
  s.on_resvoled_host_ip = [&](const std::string& host, const std::string& ip) {
    seen_host = host;
    seen_ip = ip;
  };
  s.SetActive(true);
  ASSERT_TRUE(drive_until(s, [&] { return s.Connected(); }));
  EXPECT_EQ(s.Connect_Result(), 1);
  EXPECT_EQ(seen_host, "127.0.0.1");
  EXPECT_EQ(seen_ip, "127.0.0.1");
}

// ---------------------------------------------------------------- connecting

TEST(TcpConnect, RefusedAttemptFailsOnceAndRetriesOnTheClock) {
  TFakeClock clock;
  TEventLog log;
  TUX_super_tcp_socket s;
  log.attach(s);
  s.set_Server_host(loopback(free_loopback_port(SOCK_STREAM)));
  s.set_Auto_Reconnect(true);
  s.SetActive(true);
  ASSERT_TRUE(drive_until(s, [&] { return log.count("connect_fail") == 1; }, 500));
  EXPECT_EQ(log.names, (std::vector<std::string>{"connect_fail", "reconnect"}));
  EXPECT_FALSE(s.Active());
  EXPECT_EQ(s.Connect_Result(), -1);
  clock.advance(2 * TUX_tcp_Socket_base::kDefaultReconnectTimeoutMsec - 1);
  drive(s, 5);
  EXPECT_FALSE(s.Active());
  EXPECT_EQ(log.count("connect_fail"), 1);
  clock.advance(1);
  ASSERT_TRUE(drive_until(s, [&] { return log.count("connect_fail") == 2; }, 500));
  EXPECT_EQ(log.count("reconnect"), 2);
}

TEST(TcpConnect, AttemptThatNeverCompletesTimesOutOnTheClock) {
  // A listener whose accept queue is full drops further connection requests.
  TLoopbackListener full(0);
  TBoundSocket fill1(SOCK_STREAM), fill2(SOCK_STREAM);
  for (TBoundSocket* f : {&fill1, &fill2}) {
    ::fcntl(f->fd(), F_SETFL, O_NONBLOCK);
    const sockaddr_in a = qlyn_test::loopback_addr(full.port());
    ::connect(f->fd(), reinterpret_cast<const sockaddr*>(&a), sizeof a);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  TFakeClock clock;
  TEventLog log;
  TUX_super_tcp_socket s;
  log.attach(s);
  s.set_Server_host(loopback(full.port()));
  s.SetActive(true);
  drive(s, 20);
  EXPECT_EQ(s.Socket_Connect_Status(), kTcp_Connecting);
  clock.advance(TUX_tcp_Socket_base::kDefaultConnectTimeoutMsec);
  drive(s, 3);
  EXPECT_EQ(s.Socket_Connect_Status(), kTcp_Connecting) << "not before the timeout has passed";
  clock.advance(1);
  s.check_execute(true);
  EXPECT_EQ(s.Socket_Connect_Status(), kTcp_Connect_Failed);
  EXPECT_EQ(log.names, std::vector<std::string>{"connect_fail"});
  s.check_execute(true);
  EXPECT_EQ(s.Socket_Connect_Status(), kTcp_Finished);
  drive(s, 3);
  EXPECT_EQ(log.names, std::vector<std::string>{"connect_fail"}) << "one notification per attempt";
  EXPECT_TRUE(s.Active());
  s.SetActive(false);
  EXPECT_EQ(s.Socket_Connect_Status(), kTcp_Closed);
}

TEST(TcpConnect, MissingPortOrRefusedBindFailsAtOnce) {
  TEventLog log;
  TUX_super_tcp_socket s;
  log.attach(s);
  s.set_Server_host("127.0.0.1");  // no port, no default port
  s.SetActive(true);
  EXPECT_FALSE(s.Active());
  EXPECT_EQ(log.names, std::vector<std::string>{"connect_fail"});

  TLoopbackListener l;
  TBoundSocket taken(SOCK_STREAM);
  ::listen(taken.fd(), 1);
  s.set_Server_host(loopback(l.port()));
  s.set_bind_local_port(taken.port());
  s.SetActive(true);
  EXPECT_FALSE(s.Active()) << "the asked local port is in use";
  EXPECT_EQ(log.count("connect_fail"), 2);
}

TEST(TcpConnect, PeerCloseReconnectsToTheNextServerOnTheClock) {
  TFakeClock clock;
  TLoopbackListener l1, l2;
  TEventLog log;
  TUX_super_tcp_socket s;
  log.attach(s);
  s.set_Server_host(loopback(l1.port()) + "," + loopback(l2.port()));
  s.set_Auto_Reconnect(true);
  s.SetActive(true);
  ASSERT_TRUE(drive_until(s, [&] { return s.Connected(); }));
  const int peer = l1.accept();
  ASSERT_GE(peer, 0);
  ASSERT_TRUE(send_all(peer, "last words"));
  ::close(peer);
  std::string got;
  s.events.onData_Event = [&](void*, Tfifo_Mem_stream& buf) {
    got += buf.asString();
    buf.Reset(false);
    return true;
  };
  ASSERT_TRUE(drive_until(s, [&] { return log.count("disconnected") == 1; }));
  EXPECT_EQ(got, "last words") << "data before the close is delivered";
  EXPECT_EQ(log.names, (std::vector<std::string>{"connected", "disconnected", "reconnect"}));
  EXPECT_FALSE(s.Active());
  clock.advance(TUX_tcp_Socket_base::kDefaultReconnectTimeoutMsec - 1);
  drive(s, 5);
  EXPECT_FALSE(s.Active());
  clock.advance(1);
  ASSERT_TRUE(drive_until(s, [&] { return s.Connected(); }));
  EXPECT_EQ(s.dest_port(), l2.port());
  const int peer2 = l2.accept();
  EXPECT_GE(peer2, 0);
  ::close(peer2);
}

// ---------------------------------------------------------------- data

TEST(TcpData, BothDirectionsWithLinesAndDiscards) {
  TFakeClock clock;
  TLoopbackListener l;
  TEventLog log;
  TUX_super_tcp_socket s;
  log.attach(s);
  EXPECT_EQ(s.WriteData("x", 1), 0) << "not active";
  s.set_Server_host(loopback(l.port()));
  s.SetActive(true);
  EXPECT_EQ(s.WriteStrln("queued while connecting", "\r\n"), 25);
  ASSERT_TRUE(drive_until(s, [&] { return s.Connected(); }));
  const int peer = l.accept();
  ASSERT_GE(peer, 0);
  drive(s, 2);
  EXPECT_EQ(recv_upto(peer, 25), "queued while connecting\r\n");

  EXPECT_EQ(s.WriteData(nullptr, 4), 0);
  EXPECT_EQ(s.WriteData("abc", 0), 0);
  EXPECT_EQ(s.WriteBytes({'o', 'k'}), 2);
  const std::string big(3 << 20, 'b');
  EXPECT_EQ(s.WriteData(big.data(), int32_t(big.size())), int32_t(big.size()));
  std::string received;
  std::thread reader([&] { received = recv_upto(peer, big.size() + 2); });
  ASSERT_TRUE(drive_until(s, [&] { return s.DataIn_Send_Buffer_Size() == 0; }, 20000));
  reader.join();
  EXPECT_EQ(received, "ok" + big);
  clock.advance(1000);
  s.WriteData("!", 1);
  drive(s, 2);
  EXPECT_GT(s.Send_Speed(), 0u);

  ASSERT_TRUE(send_all(peer, "HTTP/1.1 200 OK\r\nA: b\r\n\r\nbody-bytes"));
  ASSERT_TRUE(drive_until(s, [&] { return s.DataIn_Recv_Buffer_Size() == 35; }));
  EXPECT_GT(log.data_events, 0);
  EXPECT_EQ(s.ReadLn("\r\n\r\n"), "HTTP/1.1 200 OK\r\nA: b");
  EXPECT_EQ(s.ReadLn("\r\n"), "") << "no line end left";
  EXPECT_EQ(s.ReadData(nullptr, 5), 5) << "a null buffer discards";
  char buf[16];
  EXPECT_EQ(s.ReadData(buf, sizeof buf), 5);
  EXPECT_EQ(std::string(buf, 5), "bytes");
  EXPECT_EQ(s.ReadData(buf, sizeof buf), 0);
  EXPECT_EQ(s.ReadData(nullptr, 100), 0);
  ASSERT_TRUE(send_all(peer, "tail"));
  ASSERT_TRUE(drive_until(s, [&] { return s.DataIn_Recv_Buffer_Size() == 4; }));
  EXPECT_EQ(s.ReadLn(""), "tail");
  EXPECT_EQ(s.Idle_Time_msec(), 0);
  clock.advance(750);
  EXPECT_EQ(s.Idle_Time_msec(), 750);
  EXPECT_GT(s.OutBuf().SpaceSize(), 1 << 20) << "streaming keeps the room it grew";
  s.WriteData("zz", 2);
  s.Clear_Sending_Buf();
  EXPECT_EQ(s.DataIn_Send_Buffer_Size(), 0u);
  EXPECT_LE(s.OutBuf().SpaceSize(), Tfifo_Mem_stream::kCompactTo) << "clearing gives it back";
  ::close(peer);
}

TEST(TcpData, BlockingModeAfterConnectStillStepsWithoutWaiting) {
  TLoopbackListener l;
  TUX_super_tcp_socket s;
  s.set_AIO_Mode(false);
  s.set_Server_host(loopback(l.port()));
  s.SetActive(true);
  ASSERT_TRUE(drive_until(s, [&] { return s.Connected(); }));
  const int flags = ::fcntl(s.socketHandle(), F_GETFL);
  EXPECT_EQ(flags & O_NONBLOCK, 0) << "back in blocking mode";
  const int peer = l.accept();
  ASSERT_GE(peer, 0);
  const std::string chunk(TUX_super_tcp_socket::kPlainReadChunk, 'c');
  ASSERT_TRUE(send_all(peer, chunk));  // exactly one full read: the next read must not block
  ASSERT_TRUE(drive_until(s, [&] { return s.DataIn_Recv_Buffer_Size() == chunk.size(); }));
  drive(s, 3);
  const std::string reply(100000, 'r');
  s.WriteData(reply.data(), int32_t(reply.size()));
  drive(s, 2);
  EXPECT_EQ(recv_upto(peer, reply.size()), reply);
  ::close(peer);
}

TEST(TcpData, UnreadDataPausesReadingAndIsRaisedEveryStep) {
  TLoopbackListener l;
  TEventLog log;
  TUX_super_tcp_socket s;
  log.attach(s);
  s.set_Server_host(loopback(l.port()));
  s.SetActive(true);
  ASSERT_TRUE(drive_until(s, [&] { return s.Connected(); }));
  const int peer = l.accept();
  ASSERT_GE(peer, 0);
  std::string payload(1 << 20, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = char(i * 7 + (i >> 12));
  std::thread writer([&] { send_all(peer, payload); });
  ASSERT_TRUE(drive_until(s, [&] { return s.DataIn_Recv_Buffer_Size() > uint32_t(TUX_super_tcp_socket::kInBufPause); }));
  const int before = log.data_events;
  drive(s, 50);
  EXPECT_EQ(log.data_events, before + 50) << "raised at every step while bytes wait";
  EXPECT_LE(s.DataIn_Recv_Buffer_Size(),
            uint32_t(TUX_super_tcp_socket::kInBufPause + TUX_super_tcp_socket::kPlainReadChunk));
  std::string got;
  char buf[65536];
  ASSERT_TRUE(drive_until(s, [&] {
    for (int32_t n; (n = s.ReadData(buf, sizeof buf)) > 0;) got.append(buf, size_t(n));
    return got.size() == payload.size();
  }, 20000));
  writer.join();
  EXPECT_EQ(got, payload);
  ::close(peer);
}

TEST(TcpData, WritersOnOtherThreadsKeepTheirLinesWhole) {
  TLoopbackListener l;
  TUX_super_tcp_socket s;
  s.set_Server_host(loopback(l.port()));
  s.SetActive(true);
  ASSERT_TRUE(drive_until(s, [&] { return s.Connected(); }));
  const int peer = l.accept();
  ASSERT_GE(peer, 0);
  constexpr int kThreads = 4, kLines = 300;
  auto line_of = [](int t, int i) { return std::string(40 + i % 50, char('a' + t)) + "#" + std::to_string(i); };
  std::atomic<int> done{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t)
    writers.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) {
        s.WriteStrln(line_of(t, i), "\n");
        if (i % 50 == 0) s.flashData();
      }
      ++done;
    });
  size_t expected_bytes = 0;
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kLines; ++i) expected_bytes += line_of(t, i).size() + 1;
  std::string received;
  // Reads the exact amount, so a slow machine cannot cut the stream short.
  std::thread reader([&] { received = recv_upto(peer, expected_bytes, 20000); });
  ASSERT_TRUE(drive_until(s, [&] { return done == kThreads && s.DataIn_Send_Buffer_Size() == 0; }, 20000));
  for (auto& w : writers) w.join();
  reader.join();
  int lines = 0;
  size_t start = 0;
  for (size_t eol; (eol = received.find('\n', start)) != std::string::npos; start = eol + 1) {
    const std::string line = received.substr(start, eol - start);
    const size_t hash = line.find('#');
    ASSERT_NE(hash, std::string::npos) << line;
    EXPECT_EQ(line.find_first_not_of(line[0]), hash) << "a line mixed with another: " << line;
    ++lines;
  }
  EXPECT_EQ(lines, kThreads * kLines);
  ::close(peer);
}

TEST(TcpData, AttachAdoptsAnAcceptedConnection) {
  TLoopbackListener l;
  TBoundSocket client(SOCK_STREAM);
  const sockaddr_in a = qlyn_test::loopback_addr(l.port());
  ASSERT_EQ(::connect(client.fd(), reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
  const int accepted = l.accept();
  ASSERT_GE(accepted, 0);
  TUX_super_tcp_socket s;
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  EXPECT_FALSE(s.Attach_Socket(pipe_fds[0]));
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
  TBoundSocket unconnected(SOCK_STREAM);
  EXPECT_FALSE(s.Attach_Socket(unconnected.fd()));
  ASSERT_TRUE(s.Attach_Socket(accepted));
  EXPECT_TRUE(s.Connected());
  EXPECT_EQ(s.Remote_port(), client.port());
  ASSERT_EQ(s.WriteData("hi", 2), 2);
  drive(s, 2);
  EXPECT_EQ(recv_upto(client.fd(), 2), "hi");
  ASSERT_TRUE(send_all(client.fd(), "yo"));
  ASSERT_TRUE(drive_until(s, [&] { return s.DataIn_Recv_Buffer_Size() == 2; }));
  client.close();
  ASSERT_TRUE(drive_until(s, [&] { return !s.Active(); }));
}

// ---------------------------------------------------------------- TLS hooks

// A stand-in TLS layer: a handshake of a set number of pending steps, then
// bytes XORed with 0x5A over the raw socket.
class TFakeTls : public ISocket_SSL {
 public:
  explicit TFakeTls(int pending_steps, bool fail = false) : pending_(pending_steps), fail_(fail) {}
  int32_t Read_Data(void* buf, int32_t len) override {
    std::lock_guard<std::mutex> g(mu_);
    if (!done_) return kSSL_Not_Connected;
    const ssize_t n = ::recv(fd_, buf, size_t(len), MSG_DONTWAIT);
    last_ = n > 0 ? 0 : n == 0 ? 6 : (errno == EAGAIN ? kSSL_Error_Want_Read : 5);
    for (ssize_t i = 0; i < n; ++i) static_cast<char*>(buf)[i] ^= 0x5A;
    return int32_t(n);
  }
  int32_t Write_Data(const void* buf, int32_t len) override {
    std::lock_guard<std::mutex> g(mu_);
    if (!done_) return kSSL_Not_Connected;
    std::string x(static_cast<const char*>(buf), size_t(len));
    for (char& c : x) c ^= 0x5A;
    return int32_t(::send(fd_, x.data(), x.size(), MSG_NOSIGNAL | MSG_DONTWAIT));
  }
  int32_t Connect_Step(int32_t sock) override {
    std::lock_guard<std::mutex> g(mu_);
    ++steps;
    fd_ = sock;
    if (fail_) return -2;
    if (pending_-- > 0) return kSSL_Handshake_Pending;
    done_ = true;
    return kSSL_Handshake_Done;
  }
  void Reset_Session() override {
    std::lock_guard<std::mutex> g(mu_);
    ++resets;
    done_ = false;
  }
  int32_t Last_Error(int32_t) override { return last_; }

  int steps = 0;
  int resets = 0;

 private:
  std::mutex mu_;
  int pending_;
  bool fail_;
  bool done_ = false;
  int fd_ = -1;
  int32_t last_ = 0;
};

std::string xored(std::string s) {
  for (char& c : s) c ^= 0x5A;
  return s;
}

TEST(TcpTls, HandshakeStepsThenDataThroughTheLayer) {
  TLoopbackListener l;
  TEventLog log;
  TUX_super_tcp_socket s;
  log.attach(s);
  auto tls = std::make_shared<TFakeTls>(3);
  s.SetSSLMode(tls);
  s.set_Server_host(loopback(l.port()));
  s.SetActive(true);
  EXPECT_EQ(tls->resets, 1);
  ASSERT_TRUE(drive_until(s, [&] { return s.Socket_Connect_Status() == kTcp_Handshaking; }));
  EXPECT_FALSE(s.Connected());
  EXPECT_TRUE(log.names.empty());
  ASSERT_TRUE(drive_until(s, [&] { return s.Connected(); }, 10));
  EXPECT_EQ(tls->steps, 4);
  EXPECT_EQ(log.names, std::vector<std::string>{"connected"});
  const int peer = l.accept();
  ASSERT_GE(peer, 0);
  s.WriteData("secret", 6);
  drive(s, 2);
  EXPECT_EQ(recv_upto(peer, 6), xored("secret"));
  ASSERT_TRUE(send_all(peer, xored("answer")));
  ASSERT_TRUE(drive_until(s, [&] { return s.DataIn_Recv_Buffer_Size() == 6; }));
  EXPECT_EQ(s.ReadLn(""), "answer");
  // The layer reports the end of the stream through its own error class.
  ::close(peer);
  ASSERT_TRUE(drive_until(s, [&] { return log.count("disconnected") == 1; }));
  EXPECT_FALSE(s.Active());
  // Removed from the next activation on.
  s.SetSSLMode(nullptr);
  s.SetActive(true);
  ASSERT_TRUE(drive_until(s, [&] { return s.Connected(); }));
  EXPECT_EQ(tls->resets, 1);
  const int peer2 = l.accept();
  s.WriteData("plain", 5);
  drive(s, 2);
  EXPECT_EQ(recv_upto(peer2, 5), "plain");
  ::close(peer2);
}

TEST(TcpTls, FailedOrEndlessHandshakeEndsTheAttempt) {
  TFakeClock clock;
  TLoopbackListener l;
  TEventLog log;
  TUX_super_tcp_socket s;
  log.attach(s);
  s.SetSSLMode(std::make_shared<TFakeTls>(0, true));
  s.set_Server_host(loopback(l.port()));
  s.SetActive(true);
  ASSERT_TRUE(drive_until(s, [&] { return s.Socket_Connect_Status() == kTcp_Finished; }));
  EXPECT_EQ(log.names, std::vector<std::string>{"connect_fail"});
  EXPECT_EQ(s.Connect_Result(), -1);
  s.SetActive(false);

  auto endless = std::make_shared<TFakeTls>(1 << 30);
  s.SetSSLMode(endless);
  s.SetActive(true);
  ASSERT_TRUE(drive_until(s, [&] { return s.Socket_Connect_Status() == kTcp_Handshaking; }));
  drive(s, 5);
  EXPECT_EQ(log.count("connect_fail"), 1);
  clock.advance(TUX_tcp_Socket_base::kDefaultConnectTimeoutMsec + 1);
  s.check_execute(true);
  EXPECT_EQ(s.Socket_Connect_Status(), kTcp_Finished);
  EXPECT_EQ(log.count("connect_fail"), 2);
}

// ---------------------------------------------------------------- hooks without events

class THookedSocket : public TUX_super_tcp_socket {
 public:
  std::vector<std::string> calls;

 protected:
  void on_connected() override { calls.push_back("connected"); }
  void on_data() override { calls.push_back("data:" + ReadLn("")); }
  void on_disconnected(int32_t code) override { calls.push_back("disconnected:" + std::to_string(code)); }
};

TEST(TcpHooks, RunWhenTheEventsAreNotSet) {
  TLoopbackListener l;
  THookedSocket s;
  s.set_Server_host(loopback(l.port()));
  s.SetActive(true);
  ASSERT_TRUE(drive_until(s, [&] { return s.Connected(); }));
  const int peer = l.accept();
  ASSERT_TRUE(send_all(peer, "abc"));
  ASSERT_TRUE(drive_until(s, [&] { return s.calls.size() == 2; }));
  ::close(peer);
  ASSERT_TRUE(drive_until(s, [&] { return s.calls.size() == 3; }));
  EXPECT_EQ(s.calls, (std::vector<std::string>{"connected", "data:abc",
                                               "disconnected:" + std::to_string(kDisconnect_Peer_Closed)}));
}

}  // namespace
