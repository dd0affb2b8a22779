// ux_kcp_udp_class: the KCP session over UDP — its 13-byte control datagrams
// (shared with the resource server, which answers them) and the client
// session TUX_KCP_UDP_Cli.
//
// Control datagram, exactly 13 bytes, little-endian, never scrambled:
//   cmd u8 | magic u16 (7066) | cmd_id u16 (random, never 0) | value1 u32 | value2 u32
// Commands: 1 connect request (client), 2 acceptance (server; value1 != 0
// accepts, it is the session id), 3 keep-alive (both ways), 4 close (both
// ways; value1 = session id). The client puts its session id in value1 and 0
// in value2 of everything it sends. Datagrams of 24 bytes or more are KCP
// datagrams whose conv is the session id; every other size is dropped.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/ext_list_2.h"
#include "common/ext_mem.h"
#include "common/net/ux_cli_socket.h"
#include "common/net/ux_kcp_core.h"
#include "common/net/ux_socket_common.h"
#include "common/threadfunc.h"
#include "common/ux_classes.h"

namespace ux {

inline constexpr int32_t kKcpCtlSize = 13;          // bytes of a control datagram
inline constexpr uint16_t kKcpCtlMagic = 7066;      // 0x1B9A
inline constexpr int32_t kKcpMinDatagram = 24;      // a KCP segment header

enum TUX_KCP_Ctl_Cmd : uint8_t {
  kcp_ctl_connect = 1,
  kcp_ctl_accept = 2,
  kcp_ctl_keepalive = 3,
  kcp_ctl_close = 4,
};

struct TUX_KCP_Ctl_Datagram {
  uint8_t cmd = 0;
  uint16_t cmd_id = 0;
  uint32_t value1 = 0;
  uint32_t value2 = 0;

  // Writes the 13 bytes at out.
  void encode(char* out) const noexcept;
  // Reads a control datagram; false when len is not 13 or the magic is wrong.
  [[nodiscard]] static bool decode(const char* data, int32_t len, TUX_KCP_Ctl_Datagram& out) noexcept;
};

// Kinds of datagram by size alone.
enum class TUX_KCP_Datagram_Kind { control, kcp, invalid };
inline TUX_KCP_Datagram_Kind kcp_datagram_kind(int32_t len) noexcept {
  if (len == kKcpCtlSize) return TUX_KCP_Datagram_Kind::control;
  if (len >= kKcpMinDatagram) return TUX_KCP_Datagram_Kind::kcp;
  return TUX_KCP_Datagram_Kind::invalid;
}

// A fresh command id: the low 16 bits of random_between(10000, 999999999),
// drawn again while 0.
uint16_t new_kcp_ctl_cmd_id();
// A fresh session id: random_digits(9) read as a number, plus 1000.
uint32_t new_kcp_session_id();

// ---------------------------------------------------------------- TUX_KCP_UDP_Cli

class TUX_KCP_UDP_Cli;

// Session events: the session and a code (0, -101, -102, -103, -104).
using TKCP_Cli_Event = std::function<void(TUX_KCP_UDP_Cli* Sender, int32_t code)>;

// A reliable, ordered byte stream to one server over UDP: the handshake of
// control datagrams, then application bytes through the KCP engine
// (profile 0: the server's sender decides the speed), keep-alive, dead-session
// detection and optional reconnection. Bytes to send wait in out_buf, bytes
// received in in_buf; execute() does all the network work in one bounded step
// (at most kDatagramsPerStep datagrams, taken in as few reads as the socket
// allows, only the first waiting, at most 1 ms).
//
// Only datagrams from the server's address and port are taken; others are
// dropped, so a stray or spoofed datagram cannot close or corrupt the
// session.
//
// Threads: execute() runs on one driving thread — the session's own thread
// when made with f_thread_mode, else the caller's. Events are raised there,
// without the session lock held; their exceptions are swallowed. SendData,
// sendString, readData, readStringEol, is_have_data, connected, the speeds
// and DataIn_Send_Buffer_Size may be called from any thread. Activation and
// deactivation belong to the owner; with an own thread, deactivation from
// another thread waits for a running step to finish.
//
// Lifetime: the destructor ends the own thread, then deactivates. The streams
// live as long as the session; deactivation empties them (unread input and
// unsent output are lost), so a close from the server deactivates the session
// only once the owner has read the bytes that came before it.
class TUX_KCP_UDP_Cli : public TActive_Base_Class {
 public:
  static constexpr uint32_t kDefaultServerPort = 10000;
  static constexpr int64_t kHandshakeRetryMs = 1000;      // more than this since the last attempt
  static constexpr int32_t kHandshakeRetries = 30;        // the 31st overdue attempt gives up
  static constexpr int64_t kKeepAliveIdleMs = 2000;       // since the last answer
  static constexpr int64_t kKeepAliveSpacingMs = 1000;    // since the last control datagram sent
  static constexpr int64_t kDeadSessionMs = 12500;        // without a keep-alive answer
  static constexpr int64_t kReconnectAfterGiveUpMs = 10500;
  static constexpr int64_t kReconnectAfterDeadMs = 3500;
  // A quarter of the receive window: acknowledgements still leave often
  // enough to keep the sender's window open, and a pool worker, which pauses
  // 1 ms after every 40 steps, can take a fast link (~170 KB per step).
  static constexpr int32_t kDatagramsPerStep = 128;
  static constexpr int32_t kDatagramBuffer = 8192;        // bytes
  static constexpr int32_t kRecvBuffer = 16384;           // bytes per ikcp_recv
  static constexpr int32_t kStepSendChunk = 17312;        // bytes per ikcp_send in the step
  static constexpr int32_t kFlushSendChunk = 9184;        // bytes per ikcp_send in flush
  static constexpr int32_t kFlushFirstAbove = 4;          // unacknowledged segments
  static constexpr int32_t kFeedBelow = 800;              // unacknowledged segments
  static constexpr int32_t kMaxQueuedOutput = 3145727;    // bytes in out_buf before SendData refuses
  static constexpr uint32_t kSegmentEstimate = 1300;      // bytes per unacknowledged segment
  static constexpr int32_t kStreamCapacity = 4096;        // bytes, each stream at activation
  static constexpr int32_t kMtu = 1340;                   // so mss is 1316
  static constexpr int32_t kSendWindow = 256;             // segments
  static constexpr int32_t kRecvWindow = 512;             // segments

  // Event codes.
  static constexpr int32_t kConnected = 0;
  static constexpr int32_t kConnectError = -101;
  static constexpr int32_t kDisconnectTimeout = -102;
  static constexpr int32_t kDisconnectClosed = -103;
  static constexpr int32_t kReconnect = -104;

  struct TRuntime {
    std::atomic<bool> f_connected{false};
    bool have_popup_disconnect_event = false;
    std::atomic<bool> is_going_to_close{false};
    bool have_data = false;
    int32_t retry_handshank_count = 0;
    int64_t at_create = 0;       // now_ms of the last handshake attempt
    int64_t at_connected = 0;
    int64_t at_last_recv = 0;    // last keep-alive answer
    // Last control datagram sent; close() may send from another thread.
    std::atomic<int64_t> at_last_send{0};
  };
  struct TSpeed {
    TEX_Summary recv;
    TEX_Summary send;
  };
  struct TEvents {
    Tfunc_on_create_udp func_on_create_udp;
    TKCP_Cli_Event onReconnect;
    TKCP_Cli_Event onConnected;
    TKCP_Cli_Event onConnectError;
    TKCP_Cli_Event onDisconnected;
    TConn_onData_event onDataCome;
  };

  // With f_thread_mode the session gets a thread of its own (started at the
  // first activation) that steps it 1 ms apart.
  explicit TUX_KCP_UDP_Cli(bool f_thread_mode = false);
  ~TUX_KCP_UDP_Cli() override;

  // "host:port"; a missing or non-numeric port gives 10000. The host is
  // resolved at once (0 when it cannot be).
  const std::string& ServerHost() const { return f_svr_host; }
  void SetServerHost(const std::string& value);
  bool connected() const { return rt.f_connected.load(std::memory_order_acquire); }
  bool autoReconnect() const { return FautoReconnect.load(); }
  void SetautoReconnect(bool v) { FautoReconnect.store(v); }
  bool is_udp_encrypt() const { return f_is_udp_encrypt.load(); }
  void Setis_udp_encrypt(bool v) { f_is_udp_encrypt.store(v); }

  // One step of network work; nothing when not Active.
  void execute();
  // Orderly end: a close pair now when connected; the step deactivates once
  // every queued byte has been acknowledged.
  void close();
  // Queues bytes; 0 when not Active, data is null, datalen <= 0 or more than
  // kMaxQueuedOutput bytes already wait. Otherwise the bytes queued.
  int32_t SendData(const void* data, int32_t datalen);
  int32_t sendString(const std::string& str);
  // Hands queued bytes to the engine and flushes it (connected only).
  void flush();
  // Removes up to buf_len received bytes; 0 when not Active or nothing waits.
  int32_t readData(void* buf, int32_t buf_len);
  // The bytes before the first eol, removed with eol; "" (nothing removed)
  // when eol has not arrived. An empty eol takes everything.
  std::string readStringEol(const std::string& eol);
  bool is_have_data();
  // Bytes per second, refreshed by the query.
  int32_t recv_speed();
  int32_t send_speed();
  // Bytes queued plus kSegmentEstimate per unacknowledged segment; 0 when
  // not Active.
  uint32_t DataIn_Send_Buffer_Size();

  uint32_t session_id() const { return f_session_id.load(); }
  uint32_t dest_ip_value() const { return dest_ip; }
  uint32_t dest_port_value() const { return dest_port; }

  TEvents events;

 protected:
  void do_activate() override;
  void do_deactivate() override;
  // The socket of a new session: func_on_create_udp's when set, else a new
  // active TUX_UDP_SVR_Socket on an ephemeral port of all interfaces.
  virtual std::shared_ptr<IUDP_Socket> create_udp_socket();

 private:
  static bool kcp_output(const char* buf, int32_t len, PkcpCb kcp, void* user);

  void send_control(uint8_t cmd, int copies);
  void on_control(const char* data, int32_t len, int64_t now);
  void create_engine();
  // Moves complete messages from the engine to in_buf; the bytes moved.
  int64_t take_messages();
  // Hands out_buf to the engine in pieces of up to chunk bytes.
  void feed_engine(int32_t chunk);
  void raise(const TKCP_Cli_Event& ev, int32_t code);
  void raise_data();
  bool active_step() const { return step_enabled_.load(std::memory_order_acquire); }

  PkcpCb FKcp = nullptr;
  std::shared_ptr<IUDP_Socket> udp_cli;
  std::unique_ptr<Tfifo_Mem_stream> in_buf;
  std::unique_ptr<Tfifo_Mem_stream> out_buf;
  std::atomic<uint32_t> f_session_id{0};
  TExThread* th = nullptr;
  std::string f_svr_host;
  TUX_Socket_Encoder es_encoder;
  int32_t kcp_mode = 0;
  uint32_t dest_ip = 0;    // network byte order
  uint32_t dest_port = 0;  // host byte order
  TRuntime rt;
  TUX_Last_3_value last_ctl_cmd_uuid{3};
  std::atomic<bool> FautoReconnect{false};
  std::recursive_mutex lock;  // FKcp and every engine call
  TSpeed speed;
  std::mutex speed_lock_;     // the meters are read from other threads
  std::atomic<bool> f_is_udp_encrypt{false};
  // The server sent close: the session ends once the owner has read what
  // came before it. Driving thread.
  bool closed_by_server_ = false;

  // Own-thread mode: the thread's work runs only while step_enabled_ is set
  // (last step of activation, cleared first at deactivation); exec_gate_ is
  // held for each pass, so a deactivation from another thread can wait it out.
  std::atomic<bool> step_enabled_{false};
  std::recursive_mutex exec_gate_;
  std::atomic<std::thread::id> own_thread_id_{};
  bool thread_started_ = false;
};

}  // namespace ux
