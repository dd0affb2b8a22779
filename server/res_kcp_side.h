// res_kcp_side: the UDP side of the resource server — the server end of the
// KCP session handshake and one KCP engine per session, each carrying one
// HTTP connection.
//
// Handshake (the client's side is TUX_KCP_UDP_Cli):
//   - connect request (1) from an address with session id S: a session
//     (address, S) is created and accepted with command 2, value1 = S,
//     value2 = 0, sent twice. A repeated request is accepted again; one that
//     comes after the session has carried KCP data means the client started
//     over, so the session is created afresh.
//   - keep-alive (3): answered with one keep-alive.
//   - close (4) with value1 = S: the session stops sending and is forgotten
//     after a short linger, during which it still acknowledges the client's
//     last data.
//   - the server ends a session (response with "connection: close" fully
//     acknowledged, idle for idle_timeout, evicted) with a close pair.
//   - keep-alives and KCP data for a session the server does not know are
//     answered with one close, so a client of a restarted server gives up.
// Duplicate control datagrams (the same command id) are ignored per session.
//
// Scrambling: a session is scrambled ("udp-https" schemes) exactly when its
// KCP datagrams are. Control datagrams are never scrambled, and the first
// KCP datagram of a session always comes from the client (its request), so
// the server learns the mode from it: the conv field of a plain datagram is
// the session id; that of a scrambled one is the session id XOR the
// scrambler's first key word, which is never 0. The mode is fixed from then
// on, and the server scrambles its own datagrams for that session.
//
// Engines run the sender profile of the options (a fast one by default) and
// are flushed after every input. The sessions that are sending share
// send_budget segments in flight: each gets a send window of
// send_budget / senders, between kMinShare and snd_wnd, and is fed from its
// HTTP connection only while fewer than 1.5 windows of segments wait. This
// bounds the server's memory and keeps many fast senders from overrunning
// their clients' socket buffers, where nothing would slow them down (the
// profile ignores the congestion window). The table holds at most max_sessions;
// a new session evicts, first, the longest-idle session that never carried
// data, else the longest-idle one.
//
// Clocks: timeouts use ux::now_ms(), the engines ux::tick_ms(). Not
// thread-safe: driven by the server's event loop.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/ext_list_2.h"
#include "common/net/ux_kcp_core.h"
#include "common/net/ux_kcp_udp_class.h"
#include "common/net/ux_socket_common.h"
#include "server/res_http_conn.h"

namespace qlyn_res {

struct TRes_Kcp_Options {
  // Sender profile: ikcp_nodelay(nodelay, interval, resend, nc).
  int32_t nodelay = 1;
  int32_t interval = 10;  // ms
  int32_t resend = 2;
  int32_t nc = 1;
  int32_t snd_wnd = 512;  // segments; the client's receive window is 512
  int32_t rcv_wnd = 512;  // segments
  int32_t mtu = 1340;     // the client's mtu, so segments fit its reads
  // ms. Above the stalls of a busy receiver (a scheduler slice, a file
  // write): a timeout resends the whole window, and on a fast link that
  // storm costs more than the wait. Losses are mostly mended by fast resend.
  int32_t min_rto = 30;
  // Segments in flight across all sending sessions.
  int32_t send_budget = 8192;
  size_t max_sessions = 1024;
  int64_t idle_timeout_ms = 30000;  // without any datagram from the client
  int64_t close_linger_ms = 2000;   // after the client's close
  // Send runs of equal datagrams to one client as one message that the
  // kernel cuts up (UDP GSO), where the kernel can; off: one per datagram.
  bool udp_gso = true;
};

struct TRes_Kcp_Stats {
  uint64_t sessions_created = 0;
  uint64_t sessions_evicted = 0;
  uint64_t sessions_timed_out = 0;
  uint64_t datagrams_in = 0;
  uint64_t datagrams_dropped = 0;  // wrong size, bad magic, unknown or duplicate
  uint64_t datagrams_out = 0;
  uint64_t gso_messages = 0;  // messages that carried more than one datagram
};

class TRes_Kcp_Side {
 public:
  // Smallest send window a session is given, however many share the budget.
  static constexpr int32_t kMinShare = 16;

  TRes_Kcp_Side(const TRes_Root& root, const TRes_Kcp_Options& opt, TRes_Access_Log log);
  ~TRes_Kcp_Side();
  TRes_Kcp_Side(const TRes_Kcp_Side&) = delete;
  TRes_Kcp_Side& operator=(const TRes_Kcp_Side&) = delete;

  // Takes the bound, non-blocking UDP socket (owned from now on).
  void attach(int udp_fd);
  // Whether runs of datagrams go out as one segmented message.
  bool gso() const { return gso_; }
  int fd() const { return fd_; }

  // Reads and handles every datagram waiting (at most max_datagrams), then
  // services the sessions that received something.
  void on_readable(size_t max_datagrams = 4096);
  // Periodic work: engine updates, feeding, timeouts. Call at least every
  // few milliseconds.
  void on_timer();
  // Ends every session with a close pair (server shutdown).
  void close_all();

  size_t session_count() const { return sessions_.size(); }
  const TRes_Kcp_Stats& stats() const { return stats_; }

 private:
  struct TSession;
  struct TKey {
    uint64_t addr;  // ip << 16 | port, network order values
    uint32_t id;
    bool operator==(const TKey& o) const { return addr == o.addr && id == o.id; }
  };
  struct TKeyHash {
    size_t operator()(const TKey& k) const { return std::hash<uint64_t>()(k.addr * 0x9E3779B97F4A7C15ull ^ k.id); }
  };
  using TSessions = std::unordered_map<TKey, std::unique_ptr<TSession>, TKeyHash>;

  static bool on_kcp_output(const char* buf, int32_t len, ux::PkcpCb kcp, void* user);

  void handle_datagram(const sockaddr_in& from, char* data, int32_t len);
  void handle_control(const sockaddr_in& from, const ux::TUX_KCP_Ctl_Datagram& c);
  void handle_kcp(const sockaddr_in& from, char* data, int32_t len);
  TSession* find(const sockaddr_in& from, uint32_t id);
  TSession* create_session(const sockaddr_in& from, uint32_t id);
  void reset_engine(TSession& s);
  void make_room();
  // Updates one session's engine, hands received bytes to its HTTP
  // connection and feeds the engine from it; flushes when anything came in
  // or was fed.
  void service(TSession& s, uint32_t tick, bool had_input);
  void end_session(TSessions::iterator it, bool send_close);
  // share_ from send_budget and senders_.
  void update_share();
  void send_control(const sockaddr_in& to, uint8_t cmd, uint32_t value1, int copies);
  void send_datagram(const sockaddr_in& to, const char* data, size_t len);
  void flush_out();
  // Fills msgs with the datagrams from `from` on, one message per run (see
  // flush_out); the datagrams of message m are counts[m]. The messages made.
  size_t build_messages(size_t from, mmsghdr* msgs, iovec* iov, size_t* counts);

  const TRes_Root& root_;
  TRes_Kcp_Options opt_;
  TRes_Access_Log log_;
  int fd_ = -1;
  TSessions sessions_;
  std::vector<TSession*> touched_;  // sessions that received datagrams in this round
  ux::TUX_Socket_Encoder encoder_;
  TRes_Kcp_Stats stats_;

  // Outgoing datagrams batched for one sendmmsg.
  struct TOut {
    sockaddr_in to;
    uint32_t len;
  };
  static constexpr size_t kOutBatch = 64;
  // A segmented message holds at most one IPv4 packet's payload.
  static constexpr size_t kGsoMaxBytes = 65507;
  struct TGsoControl {
    alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(uint16_t))];
  };
  TGsoControl gso_ctl_[kOutBatch];
  bool gso_ = false;
  std::vector<char> out_buf_;  // kOutBatch slots of out_slot_ bytes
  size_t out_slot_ = 0;
  TOut out_[kOutBatch];
  size_t out_count_ = 0;
  std::vector<char> pull_buf_;  // file data between the HTTP connection and ikcp_send
  int32_t share_ = 0;           // current send window of each sending session
  size_t senders_ = 0;          // sessions with data to send, at the last timer pass
};

}  // namespace qlyn_res
