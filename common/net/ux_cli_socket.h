// ux_cli_socket: the socket classes an owner drives by polling, their traffic
// meter and the interfaces other layers talk to.
//   TEX_Summary          byte counter with a current and an average rate
//   IUDP_Socket          the datagram socket as the KCP session uses it
//   ISocket_SSL          the TLS layer as the TCP classes use it
//   TUX_tcp_Socket_base  non-blocking TCP client: server list, connection
//                        states, TLS hooks, delayed reconnection
//   TUX_super_tcp_socket the same with FIFO buffers, meters and events
//   TUX_UDP_Cli_Socket   datagram socket with a default destination
//   TUX_UDP_SVR_Socket   datagram socket bound to a local port, multicast
//
// Shared ownership: every reference-counted object and interface here is held
// by std::shared_ptr (as ITimer_Task is); the last reference destroys the
// object. Create the classes with std::make_shared.
//
// Nothing here starts a thread or throws to its caller: failures are results
// (0, -1, -999) and events. Exceptions raised by callbacks are swallowed.
#pragma once

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/ext_mem.h"
#include "common/net/ux_socketbase_dns.h"
#include "common/threadfunc.h"
#include "common/ux_classes.h"

namespace ux {

// ---------------------------------------------------------------- TEX_Summary

// Traffic meter, a plain value (not locked). Times are tick_ms. speed is the
// rate over a window that grows to a little over 15 s and then restarts;
// avg_speed the rate since at_start. Rates are bytes per second, rounded to
// nearest (ties to even) and capped at INT32_MAX.
struct TEX_Summary {
  static constexpr int64_t kCalcEveryMsec = 500;   // add_bytes recomputes at most this often
  static constexpr int64_t kWindowMsec = 15000;    // the window restarts once longer than this

  int64_t at_start = 0;
  int64_t at_reset = 0;
  int64_t total_bytes = 0;
  int32_t avg_speed = 0;
  int64_t window_start = 0;
  int64_t at_last_calc = 0;
  int64_t window_bytes = 0;
  int32_t speed = 0;

  // Zeroes everything and starts the meter now.
  void reset();
  // Counts n bytes (n < 0 counts as 0); recomputes when 500 ms have passed
  // since the last computation.
  void add_bytes(int32_t n);
  void refresh();
};

// ---------------------------------------------------------------- interfaces

// The datagram socket of a KCP session (std::shared_ptr). Reads belong to one
// thread; sends may come from any thread.
// Takes one received datagram: its bytes (writable, valid during the call),
// their count and the sender (address in network order, port).
using TUDP_Datagram_Sink = std::function<void(char* data, int32_t len, uint32_t from_ip, uint32_t from_port)>;

class IUDP_Socket {
 public:
  virtual ~IUDP_Socket() = default;
  virtual int32_t Get_Socket_Handle() = 0;
  virtual bool Get_Active() = 0;
  virtual int32_t Get_Bind_Port() = 0;
  virtual int32_t Socket_Kind() = 0;
  // Waits up to timeout_msec (0: 100 us; < 0: no limit) for one datagram and
  // receives it into Data. Its length; 0 when none came; -1 on a reported error; -999 without a socket.
  virtual int32_t ReadData(void* Data, int32_t buflen, int32_t timeout_msec, std::string& from_ip,
                           int32_t& From_port) = 0;
  virtual int32_t ReadData(void* Data, int32_t buflen, int32_t timeout_msec, uint32_t& from_ip,
                           uint32_t& From_port) = 0;
  // Receives without waiting first (the socket's receive timeout applies).
  virtual int32_t ReadData(void* Data, int32_t buflen, uint32_t& from_ip, uint32_t& From_port) = 0;
  // Hands up to max_count datagrams to sink, waiting as ReadData does
  // (timeout_msec) for the first one only. The count handed; when none, the
  // result of the read (0: nothing came). This form reads one datagram with
  // ReadData; sockets that can take several per call override it.
  virtual int32_t ReadDatagrams(int32_t max_count, int32_t timeout_msec, const TUDP_Datagram_Sink& sink);
  // One datagram; 0 when inactive or an argument is empty, else the
  // platform's result.
  virtual int32_t WriteDataTo(const std::string& dest_ip, int32_t dest_port, const void* data,
                              int32_t dlen) = 0;
  virtual int32_t WriteDataTo(uint32_t dest_ip, int32_t dest_port, const void* data, int32_t dlen) = 0;
  // Deactivates; port >= 0 becomes the bind port; activates again.
  virtual void ReBind(int32_t port) = 0;
};

// Results of ISocket_SSL.
inline constexpr int32_t kSSL_Handshake_Done = 1;
inline constexpr int32_t kSSL_Handshake_Pending = -1;
inline constexpr int32_t kSSL_Not_Connected = -99;
inline constexpr int32_t kSSL_Error_Want_Read = 2;

// Why a TLS handshake failed.
enum class TSSL_Fail_Reason : int32_t {
  none = 0,
  handshake,           // protocol failure: not TLS, an alert, no common version or cipher
  closed,              // the peer closed or reset the connection during the handshake
  cert_expired,
  cert_not_yet_valid,
  unknown_issuer,      // the chain does not end at a trusted certificate authority
  self_signed,         // the server's certificate is its own issuer and is not trusted
  name_mismatch,       // the certificate is not for the host name or address asked for
  cert_invalid,        // any other verification failure (signature, purpose, revoked...)
  trust_store,         // the extra certificate authorities set for the handler cannot be read
  no_socket,           // the socket cannot carry the session
};

// The reason of the last failed handshake, for the caller to report.
struct TSSL_Failure {
  TSSL_Fail_Reason reason = TSSL_Fail_Reason::none;
  int32_t verify_code = 0;  // the certificate check's code (X509_V_ERR_*), 0 when not the cause
  std::string text;         // readable English, e.g. "certificate has expired"
};

// One TLS client session over a TCP socket the TCP classes own (std::shared_ptr).
// Read_Data runs on the socket's driving thread while Write_Data may run on a
// writer's thread: an implementation serialises its own calls.
class ISocket_SSL {
 public:
  virtual ~ISocket_SSL() = default;
  // Decrypted bytes read; <= 0 on failure (Last_Error tells whether it only
  // wants to read first); kSSL_Not_Connected before the handshake completed.
  virtual int32_t Read_Data(void* buf, int32_t len) = 0;
  // Plaintext bytes accepted; as Read_Data otherwise.
  virtual int32_t Write_Data(const void* buf, int32_t len) = 0;
  // One handshake step on sock: kSSL_Handshake_Done, kSSL_Handshake_Pending,
  // or -2 / -3 when it failed.
  virtual int32_t Connect_Step(int32_t sock) = 0;
  // Ready for a new connection.
  virtual void Reset_Session() = 0;
  // Error class of the result ret of the last call; kSSL_Error_Want_Read
  // when it wants to read first.
  virtual int32_t Last_Error(int32_t ret) = 0;
  // The host name or dotted address the server's certificate must be for,
  // also sent as the server name (names only). The TCP socket sets it before
  // each connection; without it the peer's address is checked.
  virtual void Set_Server_Name(const std::string& host) { (void)host; }
  // Why the last handshake failed; reason none while none has failed since
  // the last Reset_Session.
  virtual TSSL_Failure Last_Failure() { return {}; }
  // Decrypted bytes that Read_Data gives without reading the socket: a
  // reader that stops in the middle of a record must not wait for the
  // socket to become readable before it reads them.
  virtual int32_t Pending() { return 0; }
};

// Makes a new TLS handler for one connection; null when none can be made.
using TUX_SSL_Handler_Factory = std::function<std::shared_ptr<ISocket_SSL>()>;

// Data-arrival callback: conn is the raising object, Buf its input stream
// holding the unread bytes. The result is ignored.
using TConn_onData_event = std::function<bool(void* conn, Tfifo_Mem_stream& Buf)>;
// Supplies the datagram socket of a KCP session.
using Tfunc_on_create_udp = std::function<std::shared_ptr<IUDP_Socket>()>;
// A datagram received in asynchronous mode, raised on a hub thread.
using TUDP_AIO_Data_Event =
    std::function<void(const char* data, int32_t len, const std::string& from_ip, int32_t from_port)>;

// ---------------------------------------------------------------- TUX_Socket_base

class TUX_Socket_base {
 public:
  virtual ~TUX_Socket_base() = default;
  TUX_Socket_base(const TUX_Socket_base&) = delete;
  TUX_Socket_base& operator=(const TUX_Socket_base&) = delete;

  // -1 when there is no socket.
  int32_t socketHandle() const noexcept { return FSocketHandle.load(std::memory_order_acquire); }
  // Empty / 0 without a socket.
  std::string Local_ip() const { return sock_local_ip(socketHandle()); }
  std::string Remote_ip() const { return sock_remote_ip(socketHandle()); }
  int32_t Local_port() const { return sock_local_port(socketHandle()); }
  int32_t Remote_port() const { return sock_remote_port(socketHandle()); }

 protected:
  TUX_Socket_base() = default;
  std::atomic<int32_t> FSocketHandle{kNoSocket};
};

// ---------------------------------------------------------------- TCP

// Connection states (Socket_Connect_Status).
inline constexpr int32_t kTcp_Closed = 0;
inline constexpr int32_t kTcp_Connecting = 1;     // non-blocking connect under way
inline constexpr int32_t kTcp_Connected = 2;      // data moves
inline constexpr int32_t kTcp_Connect_Failed = 3; // becomes kTcp_Finished at the next step
inline constexpr int32_t kTcp_Finished = 6;       // after a failure, until closed
inline constexpr int32_t kTcp_Handshaking = 11;   // TLS handshake under way

// Codes given to on_connect_result.
inline constexpr int32_t kConnect_OK = 0;
inline constexpr int32_t kConnect_Failed = -1;      // refused, unreachable or timed out
inline constexpr int32_t kConnect_TLS_Failed = -11; // handshake failed or timed out
// Codes given to on_disconnect, besides the socket's error code (-1 when none).
inline constexpr int32_t kDisconnect_Peer_Closed = 100000;  // the peer closed the connection
inline constexpr int32_t kDisconnect_Read_Error = 110000;   // plus the error code
inline constexpr int32_t kDisconnect_Buffer_Full = -3;      // in_buf could not grow

// Lets the owner replace the address about to be connected (ip_of_host comes
// in as the host; an empty result keeps it).
using TResvole_Host_Event = std::function<void(const std::string& host, std::string& ip_of_host)>;
// The server and the peer's dotted address after a successful connection.
using TResvoled_host_ip_event = std::function<void(const std::string& host, const std::string& ip_of_host)>;

// Non-blocking TCP client driven by check_execute. Server_host holds one or
// more "host[:port]" entries separated by ",", ";" or "|"; every activation
// takes the next entry, so failures rotate through the list. An entry without
// a port uses Default_dest_port.
//
// Thread-safety: one thread drives the socket (check_execute, Active changes,
// the properties, destruction) and receives every event and callback on that
// thread. Active(), Connected() and socketHandle() may be read from any
// thread. Callbacks must not destroy the socket.
class TUX_tcp_Socket_base : public TUX_Socket_base {
 public:
  static constexpr int32_t kDefaultConnectTimeoutMsec = 30000;
  static constexpr int32_t kDefaultReconnectTimeoutMsec = 6000;
  static constexpr int32_t kConnectWaitMsec = 10;    // readiness wait of a connecting step
  static constexpr int32_t kSocketTimeoutMsec = 15000;  // send/receive timeouts of blocking mode

  struct TConnect_Info {
    std::string Fsvr_host;        // the server list as set
    int32_t Connect_Result = 0;   // 0 not yet, 1 connected, -1 failed
    std::atomic<bool> Socket_connected{false};
    bool FAuto_Reconnect = false;
    std::string dest_host;        // the server of this attempt
    int32_t dest_port = 0;
    int32_t Current_Server_id = 0;  // index of the next entry
    bool AIO_Mode = true;         // stay non-blocking once connected
    int64_t at_last_non_idle = 0;   // now_ms of the connection or handshake completion
    int64_t at_Start_connect = 0;   // now_ms of the attempt
    int32_t bind_local_port = 0;
    int32_t Connect_timeout_Msec = kDefaultConnectTimeoutMsec;
    int32_t Reconnect_Timeout_Msec = kDefaultReconnectTimeoutMsec;
  };

  TUX_tcp_Socket_base();
  ~TUX_tcp_Socket_base() override;

  bool Active() const noexcept { return FActive.load(std::memory_order_acquire); }
  // true: takes the next server of the list and connects (see do_connect);
  // nothing when already active. false: closes, always.
  void SetActive(bool Value);
  bool Connected() const noexcept { return connect_info.Socket_connected.load(std::memory_order_acquire); }
  int32_t Connect_Result() const { return connect_info.Connect_Result; }
  int32_t Socket_Connect_Status() const { return FStatus; }

  const std::string& Server_host() const { return connect_info.Fsvr_host; }
  // Stored after full-width forms are turned into ASCII.
  void set_Server_host(const std::string& v);
  int32_t Default_dest_port() const { return FDefault_dest_port; }
  void set_Default_dest_port(int32_t v) { FDefault_dest_port = v; }
  bool Auto_Reconnect() const { return connect_info.FAuto_Reconnect; }
  void set_Auto_Reconnect(bool v) { connect_info.FAuto_Reconnect = v; }
  int32_t Reconnect_Timeout_Msec() const { return connect_info.Reconnect_Timeout_Msec; }
  void set_Reconnect_Timeout_Msec(int32_t v) { connect_info.Reconnect_Timeout_Msec = v; }
  int32_t Connect_timeout_Msec() const { return connect_info.Connect_timeout_Msec; }
  void set_Connect_timeout_Msec(int32_t v) { connect_info.Connect_timeout_Msec = v; }
  bool AIO_Mode() const { return connect_info.AIO_Mode; }
  void set_AIO_Mode(bool v) { connect_info.AIO_Mode = v; }
  int32_t bind_local_port() const { return connect_info.bind_local_port; }
  void set_bind_local_port(int32_t v) { connect_info.bind_local_port = v; }
  // The server chosen by the last activation.
  const std::string& dest_host() const { return connect_info.dest_host; }
  int32_t dest_port() const { return connect_info.dest_port; }

  // Installs (or, with none, removes) the TLS layer from the next activation on.
  void SetSSLMode(std::shared_ptr<ISocket_SSL> SSLHandler);

  // The owner's periodic call: runs the due timer tasks, then one step of the
  // connection, and a second one when do_step reports progress (the steps
  // here report none; a derived class may). force is accepted for callers
  // and changes nothing. Never throws.
  virtual void check_execute(bool force);

  // Adopts a connected stream socket (from accept): the current connection
  // is closed, sock is owned from now on and the state is kTcp_Connected.
  // Without a server list a lost connection is not reconnected. false (sock
  // not taken) when sock is not a connected stream socket.
  bool Attach_Socket(int32_t sock);

  std::shared_ptr<ITimer_Task> timer_Task;
  TResvole_Host_Event on_Resvole_Host;
  TResvoled_host_ip_event on_resvoled_host_ip;

 protected:
  // Starts a connection to dest_host:dest_port.
  virtual void do_connect();
  // Closes the socket: handle -1, status closed, not connected.
  virtual void do_close();
  // One step of the state machine; whether it wants to run again at once
  // (false for every state here).
  virtual bool do_step();
  virtual void do_read() {}
  virtual void do_write() {}
  // 0: Connect_Result 1 and on_resvoled_host_ip; else not connected, Connect_Result -1.
  virtual void on_connect_result(int32_t code);
  virtual void on_disconnect(int32_t code);

  // Every status change passes here.
  void set_status(int32_t to) { FStatus = to; }
  void set_connected(bool v) { connect_info.Socket_connected.store(v, std::memory_order_release); }
  const std::shared_ptr<ISocket_SSL>& ssl() const { return ssl_socket_handler; }

  TConnect_Info connect_info;

 private:
  void choose_server();
  void connecting_step();
  void handshake_step();
  // Ends an attempt: the new status, connected when code is kConnect_OK,
  // then on_connect_result(code).
  void end_attempt(int32_t status, int32_t code);

  std::atomic<bool> FActive{false};
  int32_t FDefault_dest_port = 0;
  std::shared_ptr<ISocket_SSL> ssl_socket_handler;  // in use by this connection
  std::shared_ptr<ISocket_SSL> ssl_next_;           // from the next activation on
  int32_t FStatus = kTcp_Closed;
};

// TUX_tcp_Socket_base with an input and an output FIFO stream, traffic meters,
// events and automatic reconnection. Bytes written while connecting are sent
// once connected; what the previous connection left unsent is dropped when a
// new attempt starts, and what it left unread when the new one is made.
//
// Thread-safety: as the base; in addition any thread may write (WriteData,
// WriteBytes, WriteStrln, flashData), read (ReadData, ReadLn) and ask the
// buffer sizes, speeds and idle time. Writes never interleave with a send in
// progress or with closing the socket.
class TUX_super_tcp_socket : public TUX_tcp_Socket_base {
 public:
  static constexpr int32_t kStreamStartSize = 16384;
  static constexpr int32_t kReadStepMax = 250000;   // bytes taken per step
  static constexpr int32_t kInBufPause = 300000;    // no reading while in_buf holds more
  static constexpr int32_t kPlainReadChunk = 65536;
  static constexpr int32_t kTlsReadChunk = 4096;
  static constexpr int32_t kPlainWriteChunk = 32768;
  static constexpr int32_t kTlsWriteChunk = 8192;
  static constexpr int32_t kForceWriteAbove = 2228224;  // WriteData sends first once this much waits
  static constexpr int32_t kReadWaitMsec = 2;
  static constexpr int32_t kConnectedWritableWaitMsec = 3000;

  struct TEvents {
    TNotifyEvent Disconnected_event;
    TNotifyEvent Reconnect_Event;  // a reconnection has been scheduled
    TNotifyEvent connecte_fail;
    TNotifyEvent Connected_event;  // connected, TLS handshake included
    TConn_onData_event onData_Event;  // raised at every step while in_buf holds bytes
  };

  TUX_super_tcp_socket();
  ~TUX_super_tcp_socket() override;

  // Appends to out_buf; sent by the next steps. 0 when not Active, len <= 0
  // or data null; -1 when out_buf cannot grow (nothing appended). Once more
  // than kForceWriteAbove bytes wait, a send pass runs first.
  int32_t WriteData(const void* data, int32_t len);
  int32_t WriteBytes(const std::vector<uint8_t>& data);
  // str then eol (each when not empty) as one append; their length, 0 when
  // not Active, -1 when out_buf cannot grow.
  int32_t WriteStrln(const std::string& str, const std::string& eol);
  // Removes up to BufLen unread bytes into PBuf (null: discards them); the count.
  int32_t ReadData(void* PBuf, int32_t BufLen);
  // The bytes before the first eol, removed with it; empty (nothing removed)
  // when eol has not arrived. An empty eol takes everything.
  std::string ReadLn(const std::string& eol);
  // Sends what out_buf holds as far as the socket takes it.
  void flashData();
  uint32_t DataIn_Recv_Buffer_Size() { return uint32_t(in_buf->DataLength()); }
  uint32_t DataIn_Send_Buffer_Size() { return uint32_t(out_buf->DataLength()); }
  void Clear_Sending_Buf();
  void Clear_Recv_buf();
  // ms since data last moved (capped at INT32_MAX).
  int32_t Idle_Time_msec() const;
  // Closes now and connects again (to the next server) after Delay_MSec.
  void ReConnect(int32_t Delay_MSec);

  // Bytes per second as last computed (not refreshed here).
  uint32_t Send_Speed() const { return send_speed_.load(std::memory_order_relaxed); }
  uint32_t Recv_Speed() const { return recv_speed_.load(std::memory_order_relaxed); }
  bool lineMode() const { return FlineMode; }
  void set_lineMode(bool v) { FlineMode = v; }
  int64_t Packet_Number() const { return fpacket_number; }
  void* userData() const { return FuserData; }
  void set_userData(void* v) { FuserData = v; }

  Tfifo_Mem_stream& InBuf() { return *in_buf; }
  Tfifo_Mem_stream& OutBuf() { return *out_buf; }

  TEvents events;

 protected:
  void do_connect() override;
  void do_close() override;
  void do_read() override;
  void do_write() override;
  void on_connect_result(int32_t code) override;
  void on_disconnect(int32_t code) override;
  // Run when the matching event is not set.
  virtual void on_connected() {}
  virtual void on_data() {}
  virtual void on_disconnected(int32_t code) { (void)code; }

 private:
  static constexpr int32_t kAppendFailed = INT32_MIN;
  // One read into in_buf: the bytes appended, 0 at the end of a plain
  // stream, kAppendFailed when in_buf cannot grow, else < 0 (tls_error: the
  // TLS layer's error class).
  int32_t read_chunk(int32_t fd, ISocket_SSL* tls, int32_t chunk, int32_t& tls_error);
  // onData_Event (or on_data) while Active and in_buf holds bytes.
  void deliver();
  void raise(const TNotifyEvent& ev);

  bool FlineMode = false;
  int64_t fpacket_number = 0;
  void* FuserData = nullptr;
  std::unique_ptr<Tfifo_Mem_stream> out_buf;
  std::unique_ptr<Tfifo_Mem_stream> in_buf;
  TEX_Summary ex_send_speed;  // guarded by write_mu_
  TEX_Summary ex_recv_speed;  // driving thread
  std::atomic<uint32_t> send_speed_{0};
  std::atomic<uint32_t> recv_speed_{0};
  std::atomic<int64_t> at_last_date_active{0};  // tick_ms
  int64_t Timer_Delay_Reconnect_id = 0;
  std::mutex write_mu_;  // one send pass at a time; closing waits for it
  std::vector<char> read_chunk_;
  std::vector<char> write_chunk_;
};

// ---------------------------------------------------------------- UDP

// Datagram socket with a default destination. Blocking socket; reads wait
// with a poll first.
//
// Thread-safety: one thread reads; sends (WriteData, WriteDataTo) may come
// from any thread. Activation, the properties and destruction belong to the
// owner while no other thread uses the socket. In asynchronous mode the
// datagrams go to On_AIO_Data_come on a hub thread instead of the reads;
// deactivation and destruction wait for a running delivery to end.
class TUX_UDP_Cli_Socket : public TUX_Socket_base, public IUDP_Socket {
 public:
  static constexpr int32_t kSocketKind = 10;
  static constexpr int32_t kNoSocketResult = -999;
  static constexpr int32_t kDefaultTimeoutMsec = 6000;
  static constexpr int32_t kSendBuffer = 32768;

  TUX_UDP_Cli_Socket() = default;
  ~TUX_UDP_Cli_Socket() override;

  bool Active() const noexcept { return FActive.load(std::memory_order_acquire); }
  // Opens (true) or closes (false) the socket; nothing when unchanged. A
  // failed opening leaves the socket inactive.
  virtual void SetActive(bool Value);
  int32_t Socket_Kind() override { return kSocketKind; }

  const std::string& dest_host() const { return Fdest_host; }
  int32_t dest_port() const { return Fdest_port; }
  // A changed destination is connected again by the next WriteData.
  void set_dest_host(const std::string& v);
  void set_dest_port(int32_t v);
  int32_t Connect_Timeout_MSec() const { return fConnect_Timeout_MSec; }
  // The receive timeout (ms) of reads without a wait; applied at activation.
  void set_Connect_Timeout_MSec(int32_t v) { fConnect_Timeout_MSec = v; }
  int32_t MulticastTTL() const { return FMulticastTTL; }
  void set_MulticastTTL(int32_t v);
  bool OS_AIO_Mode() const { return FOS_AIO_Mode; }
  // True hands the open socket, and every later opening, to the process-wide
  // hub (aio_hub), which raises On_AIO_Data_come; false takes it back.
  void set_OS_AIO_Mode(bool v);

  // Sends to the default destination, connecting to it first when needed.
  // 0 when inactive, without data or dlen <= 0; else the platform's result.
  int32_t WriteData(const void* data, int32_t dlen);
  int32_t WriteString(const std::string& str);

  // IUDP_Socket
  int32_t Get_Socket_Handle() override { return socketHandle(); }
  bool Get_Active() override { return Active(); }
  int32_t Get_Bind_Port() override { return bind_port; }
  int32_t ReadData(void* Data, int32_t buflen, int32_t timeout_msec, std::string& from_ip,
                   int32_t& From_port) override;
  int32_t ReadData(void* Data, int32_t buflen, int32_t timeout_msec, uint32_t& from_ip,
                   uint32_t& From_port) override;
  int32_t ReadData(void* Data, int32_t buflen, uint32_t& from_ip, uint32_t& From_port) override;
  // The first call switches the kernel's coalescing on (sock_set_coalescing):
  // from then on one system call takes a whole run of datagrams from one
  // sender, and every read of the socket hands them out one by one. 0 in
  // asynchronous mode.
  int32_t ReadDatagrams(int32_t max_count, int32_t timeout_msec, const TUDP_Datagram_Sink& sink) override;
  int32_t WriteDataTo(const std::string& dest_ip, int32_t dest_port, const void* data,
                      int32_t dlen) override;
  int32_t WriteDataTo(uint32_t dest_ip, int32_t dest_port, const void* data, int32_t dlen) override;
  void ReBind(int32_t port) override;

  // Local address and port; "0.0.0.0" binds all interfaces. The client binds
  // only for a port > 0 or a specific address other than 127.0.0.1.
  std::string bind_host = "0.0.0.0";
  int32_t bind_port = 0;
  // Network device to bind to (SO_BINDTODEVICE); empty: none.
  std::string bind_dev_name;
  // Set before asynchronous mode is switched on.
  TUDP_AIO_Data_Event On_AIO_Data_come;

 protected:
  // Creates the socket with the options both classes share; false (nothing
  // open) on failure.
  bool open_socket(int32_t send_buffer);
  // Applies the receive timeout and the device; false when the device is refused.
  bool finish_open();
  void close_socket();
  void aio_attach();
  void aio_detach();
  // Receives one datagram; with wait, polls up to wait_msec first when none is queued.
  int32_t read_datagram(void* Data, int32_t buflen, bool wait, int32_t wait_msec, uint32_t& from_ip,
                        uint32_t& from_port);

  // How a read waits when nothing is queued.
  enum class TReadWait { none, poll, socket_timeout };
  // 1 when fd became readable within wait_msec, 0 when not, -1 when it
  // reported an error (read and cleared).
  static int32_t await_readable(int32_t fd, int32_t wait_msec);
  // Refills run_ with the next read (coalescing on); its result, 0 when
  // nothing came.
  int32_t read_run(int32_t fd, TReadWait how, int32_t wait_msec);
  void stop_coalescing();

  // The datagrams of the last coalesced read that are not handed out yet;
  // the reading thread's.
  struct TDatagramRun {
    static constexpr int32_t kCapacity = 65536;  // the largest run the kernel makes
    std::unique_ptr<char[]> buf;
    int32_t len = 0;
    int32_t pos = 0;
    int32_t segment = 0;
    uint32_t from_ip = 0;
    uint32_t from_port = 0;
    bool empty() const { return pos >= len; }
    // The next datagram: its start and length; advances past it.
    char* next(int32_t& n) {
      n = std::min(segment, len - pos);
      char* at = buf.get() + pos;
      pos += n;
      return at;
    }
  };
  TDatagramRun run_;
  bool coalescing_ = false;

  std::atomic<bool> FActive{false};
  std::string Fdest_host;
  int32_t Fdest_port = 0;
  int32_t fConnect_Timeout_MSec = kDefaultTimeoutMsec;
  int32_t FMulticastTTL = 1;
  bool FOS_AIO_Mode = false;
  std::atomic<bool> Have_Call_Connect{false};
  std::atomic<bool> aio_registered_{false};
};

// The datagram socket bound to a local port; every send names its
// destination. Port 0 lets the platform choose; the chosen port then becomes
// bind_port, so ReBind(-1) binds it again.
class TUX_UDP_SVR_Socket : public TUX_UDP_Cli_Socket {
 public:
  static constexpr int32_t kRecvBuffer = 1310720;  // bursts survive between the owner's reads
  static constexpr int32_t kSvrSendBuffer = 262144;

  TUX_UDP_SVR_Socket() = default;
  ~TUX_UDP_SVR_Socket() override;

  void SetActive(bool Value) override;
  // Joins the multicast group ch (dotted) on the interface iface_ip (dotted;
  // empty: the default interface). An existing membership is dropped and
  // joined again. 0, or -1 without a socket or when the platform refuses.
  int32_t Add_Multicast_channel(const std::string& ch, const std::string& iface_ip = "");
};

}  // namespace ux
