// ux_cli_socket: the socket classes an owner drives by polling, their traffic
// meter and the interfaces other layers talk to.
//   TEX_Summary          byte counter with a current and an average rate
//   IUDP_Socket          the datagram socket as the KCP session uses it
//   ISocket_SSL          the TLS layer as the TCP classes use it
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

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/ext_mem.h"
#include "common/net/ux_socketbase_dns.h"

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

// One TLS client session over a TCP socket the TCP classes own (std::shared_ptr).
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
};

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
