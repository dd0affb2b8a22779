#include "common/net/ux_cli_socket.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cmath>

#include "common/net/ux_net_aio_class.h"
#include "common/ux_common.h"

namespace ux {

// ---------------------------------------------------------------- TEX_Summary

namespace {

// bytes per ms interval as bytes per second, rounded to nearest even.
int32_t rate_per_second(int64_t bytes, uint64_t ms) {
  const double r = std::nearbyint(double(bytes) / double(ms) * 1000.0);
  if (r >= double(INT32_MAX)) return INT32_MAX;
  return r <= 0 ? 0 : int32_t(r);
}

}  // namespace

void TEX_Summary::reset() {
  *this = TEX_Summary{};
  const int64_t now = tick_ms();
  at_start = at_reset = window_start = at_last_calc = now;
}

void TEX_Summary::add_bytes(int32_t n) {
  if (n < 0) n = 0;
  window_bytes += n;
  total_bytes += n;
  if (abs_diff(tick_ms(), at_last_calc) < uint64_t(kCalcEveryMsec)) return;
  refresh();
}

void TEX_Summary::refresh() {
  const int64_t now = tick_ms();
  const uint64_t d = abs_diff(now, window_start);
  if (d > 0) {
    at_last_calc = now;
    speed = rate_per_second(window_bytes, d);
    if (d > uint64_t(kWindowMsec)) {
      window_start = now;
      window_bytes = 0;
    }
  }
  if (at_start < 100) {
    at_start = now;
  } else if (const uint64_t e = abs_diff(now, at_start); e > 0) {
    avg_speed = rate_per_second(total_bytes, e);
  }
}

// ---------------------------------------------------------------- TUX_UDP_Cli_Socket

TUX_UDP_Cli_Socket::~TUX_UDP_Cli_Socket() { TUX_UDP_Cli_Socket::SetActive(false); }

bool TUX_UDP_Cli_Socket::open_socket(int32_t send_buffer) {
  const int32_t fd = sock_create_udp();
  if (fd < 0) return false;
  sock_set_option(fd, kSockOptReuseAddr, 1);
  sock_set_option(fd, kSockOptSendBuf, send_buffer);
  FSocketHandle.store(fd, std::memory_order_release);
  FActive.store(true, std::memory_order_release);
  return true;
}

bool TUX_UDP_Cli_Socket::finish_open() {
  const int32_t fd = socketHandle();
  sock_set_option(fd, kSockOptRecvTimeout, fConnect_Timeout_MSec);
  if (bind_dev_name.empty()) return true;
  return ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, bind_dev_name.c_str(),
                      socklen_t(bind_dev_name.size())) == 0;
}

void TUX_UDP_Cli_Socket::aio_attach() {
  const int32_t fd = socketHandle();
  if (fd < 0 || aio_registered_.load(std::memory_order_acquire)) return;
  const int32_t rc = aio_hub().Add_Socket_IO_Func(
      fd, this,
      [this](void*, int32_t, int32_t event, const char* data, int32_t len, const TAIO_Source& from) -> int32_t {
        if (event == kAIO_Event_Data && On_AIO_Data_come)
          On_AIO_Data_come(data, len, from.ip ? ipv4_text(from.ip) : std::string(), from.port);
        return 0;
      });
  aio_registered_.store(rc == 0, std::memory_order_release);
}

void TUX_UDP_Cli_Socket::aio_detach() {
  if (!aio_registered_.exchange(false, std::memory_order_acq_rel)) return;
  aio_hub().Del_Socket_IO_Func(socketHandle());
}

void TUX_UDP_Cli_Socket::set_OS_AIO_Mode(bool v) {
  if (v == FOS_AIO_Mode) return;
  FOS_AIO_Mode = v;
  if (!Active()) return;
  if (v)
    aio_attach();
  else
    aio_detach();
}

void TUX_UDP_Cli_Socket::close_socket() {
  aio_detach();
  FActive.store(false, std::memory_order_release);
  Have_Call_Connect.store(false, std::memory_order_release);
  const int32_t fd = FSocketHandle.exchange(kNoSocket, std::memory_order_acq_rel);
  if (fd >= 0) sock_close(fd);
}

void TUX_UDP_Cli_Socket::SetActive(bool Value) {
  if (Value == Active()) return;
  if (!Value) {
    close_socket();
    return;
  }
  if (!open_socket(kSendBuffer)) return;
  const int32_t fd = socketHandle();
  if (Fdest_host == "255.255.255.255") sock_set_option(fd, kSockOptBroadcast, 1);
  const bool wants_bind = bind_port > 0 || !(bind_host.empty() || bind_host == "0.0.0.0" || bind_host == "127.0.0.1");
  if ((wants_bind && sock_bind(fd, bind_host, bind_port) != 0) || !finish_open()) {
    close_socket();
    return;
  }
  // Broadcast and class-E destinations are never connected; sends to them
  // name their destination (WriteDataTo).
  if (!is_ipv4_class_e_or_broadcast(Fdest_host) && sock_connect(fd, Fdest_host, Fdest_port) != 0) {
    close_socket();
    return;
  }
  Have_Call_Connect.store(true, std::memory_order_release);
  if (FOS_AIO_Mode) aio_attach();
}

void TUX_UDP_Cli_Socket::set_dest_host(const std::string& v) {
  if (v == Fdest_host) return;
  Fdest_host = v;
  Have_Call_Connect.store(false, std::memory_order_release);
}

void TUX_UDP_Cli_Socket::set_dest_port(int32_t v) {
  if (v == Fdest_port) return;
  Fdest_port = v;
  Have_Call_Connect.store(false, std::memory_order_release);
}

void TUX_UDP_Cli_Socket::set_MulticastTTL(int32_t v) {
  FMulticastTTL = v;
  if (socketHandle() >= 0) sock_set_option(socketHandle(), kSockOptMulticastTTL, v);
}

int32_t TUX_UDP_Cli_Socket::WriteData(const void* data, int32_t dlen) {
  const int32_t fd = socketHandle();
  if (!Active() || fd < 0 || !data || dlen <= 0) return 0;
  if (!Have_Call_Connect.load(std::memory_order_acquire) && sock_connect(fd, Fdest_host, Fdest_port) == 0)
    Have_Call_Connect.store(true, std::memory_order_release);
  return sock_send(fd, data, dlen);
}

int32_t TUX_UDP_Cli_Socket::WriteString(const std::string& str) {
  return str.empty() ? 0 : WriteData(str.data(), int32_t(str.size()));
}

int32_t TUX_UDP_Cli_Socket::read_datagram(void* Data, int32_t buflen, bool wait, int32_t wait_msec,
                                          uint32_t& from_ip, uint32_t& from_port) {
  from_ip = 0;
  from_port = 0;
  const int32_t fd = socketHandle();
  if (fd < 0) return kNoSocketResult;
  if (wait && aio_registered_.load(std::memory_order_acquire)) return 0;
  if (!wait) return sock_recv_from(fd, Data, buflen, from_ip, from_port);
  // A datagram already queued is taken without a poll.
  const int32_t n = sock_recv_from(fd, Data, buflen, from_ip, from_port, true);
  if (n >= 0 || !sock_would_block(sock_last_error())) return n;
  bool readable = true, writable = false, failed = true;
  if (!sock_wait(fd, wait_msec, readable, writable, failed)) return 0;
  if (failed) {
    // Reading the pending error clears it, so the next read works again.
    sock_pending_error(fd);
    return -1;
  }
  if (!readable) return 0;
  const int32_t m = sock_recv_from(fd, Data, buflen, from_ip, from_port, true);
  return m < 0 && sock_would_block(sock_last_error()) ? 0 : m;
}

int32_t TUX_UDP_Cli_Socket::ReadData(void* Data, int32_t buflen, int32_t timeout_msec, std::string& from_ip,
                                     int32_t& From_port) {
  uint32_t ip = 0, port = 0;
  const int32_t n = ReadData(Data, buflen, timeout_msec, ip, port);
  from_ip = ip ? ipv4_text(ip) : std::string();
  From_port = int32_t(port);
  return n;
}

int32_t TUX_UDP_Cli_Socket::ReadData(void* Data, int32_t buflen, int32_t timeout_msec, uint32_t& from_ip,
                                     uint32_t& From_port) {
  return read_datagram(Data, buflen, true, timeout_msec, from_ip, From_port);
}

int32_t TUX_UDP_Cli_Socket::ReadData(void* Data, int32_t buflen, uint32_t& from_ip, uint32_t& From_port) {
  return read_datagram(Data, buflen, false, 0, from_ip, From_port);
}

int32_t TUX_UDP_Cli_Socket::WriteDataTo(const std::string& dest_ip, int32_t dest_port, const void* data,
                                        int32_t dlen) {
  const int32_t fd = socketHandle();
  if (!Active() || fd < 0 || !data || dlen <= 0 || dest_port == 0 || dest_ip.empty()) return 0;
  return sock_send_to(fd, dest_ip, dest_port, data, dlen);
}

int32_t TUX_UDP_Cli_Socket::WriteDataTo(uint32_t dest_ip, int32_t dest_port, const void* data, int32_t dlen) {
  const int32_t fd = socketHandle();
  if (!Active() || fd < 0 || !data || dlen <= 0 || dest_port == 0 || dest_ip == 0) return 0;
  return sock_send_to(fd, dest_ip, dest_port, data, dlen);
}

void TUX_UDP_Cli_Socket::ReBind(int32_t port) {
  SetActive(false);
  if (port >= 0) bind_port = port;
  SetActive(true);
}

// ---------------------------------------------------------------- TUX_UDP_SVR_Socket

TUX_UDP_SVR_Socket::~TUX_UDP_SVR_Socket() { TUX_UDP_SVR_Socket::SetActive(false); }

void TUX_UDP_SVR_Socket::SetActive(bool Value) {
  if (Value == Active()) return;
  if (!Value) {
    close_socket();
    return;
  }
  if (!open_socket(kSvrSendBuffer)) return;
  const int32_t fd = socketHandle();
  sock_set_option(fd, kSockOptBroadcast, 1);
  sock_set_option(fd, kSockOptRecvBuf, kRecvBuffer);
  if (sock_bind(fd, bind_host, bind_port) != 0 || !finish_open()) {
    close_socket();
    return;
  }
  if (bind_port == 0) bind_port = sock_local_port(fd);
  if (FOS_AIO_Mode) aio_attach();
}

int32_t TUX_UDP_SVR_Socket::Add_Multicast_channel(const std::string& ch, const std::string& iface_ip) {
  const int32_t fd = socketHandle();
  const uint32_t group = parse_ipv4(ch);
  if (fd < 0 || group == 0) {
    errno = fd < 0 ? EBADF : EINVAL;
    return -1;
  }
  ip_mreq m{};
  m.imr_multiaddr.s_addr = group;
  m.imr_interface.s_addr = parse_ipv4(iface_ip);
  if (::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) == 0) return 0;
  ::setsockopt(fd, IPPROTO_IP, IP_DROP_MEMBERSHIP, &m, sizeof m);
  return ::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) == 0 ? 0 : -1;
}

}  // namespace ux
