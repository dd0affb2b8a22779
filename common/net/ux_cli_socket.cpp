#include "common/net/ux_cli_socket.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <string_view>
#include <vector>

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

// ---------------------------------------------------------------- TUX_tcp_Socket_base

namespace {

// "a;b|c,d" -> its trimmed, non-empty entries; a text without a separator is
// one entry, kept even when empty.
std::vector<std::string> server_entries(const std::string& list) {
  const std::string text = replace_char(replace_char(list, ';', ','), '|', ',');
  if (text.find(',') == std::string::npos) return {trim_text(text)};
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    std::string piece = trim_text(std::string_view(text).substr(start, comma - start));
    if (!piece.empty()) out.push_back(std::move(piece));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return out;
}

// "host:port" split at its last ":"; the port is 0 when missing or not a port.
void split_host_port(const std::string& entry, std::string& host, int32_t& port) {
  host = entry;
  port = 0;
  if (entry.find(':') == std::string::npos) return;
  const std::string port_text = trim_text(fetch_last_token(host, ":"));
  const int64_t p = parse_int64(port_text);
  port = p > 0 && p <= 65535 ? int32_t(p) : 0;
}

// A stream grows by what an append needs and slides its unread bytes to the
// front whenever an append does not fit at the end, so a stream holding a
// long backlog would move it again for nearly every append. Keeping room for
// twice the content makes each byte move about once.
void keep_room(Tfifo_Mem_stream& s, int32_t n) {
  s.Lock();
  const int64_t len = s.DataLength();
  const int64_t want = 2 * (len + n);
  if (want > s.SpaceSize() && want <= s.capacity_limit()) {
    s.SetSize(want);
    s.SetSize(len);
  }
  s.unLock();
}

bool writable_within(int32_t fd, int32_t ms) {
  bool r = false, w = true, e = true;
  return sock_wait(fd, ms, r, w, e) && w && !e;
}

}  // namespace

TUX_tcp_Socket_base::TUX_tcp_Socket_base() : timer_Task(new_timer_task(false)) {}

TUX_tcp_Socket_base::~TUX_tcp_Socket_base() {
  TUX_tcp_Socket_base::SetActive(false);
  timer_Task->Clear();
}

void TUX_tcp_Socket_base::set_Server_host(const std::string& v) { connect_info.Fsvr_host = fullwidth_to_ascii(v); }

void TUX_tcp_Socket_base::SetSSLMode(std::shared_ptr<ISocket_SSL> SSLHandler) { ssl_next_ = std::move(SSLHandler); }

void TUX_tcp_Socket_base::SetActive(bool Value) {
  if (!Value) {
    FActive.store(false, std::memory_order_release);
    do_close();
    return;
  }
  if (Active()) return;
  FActive.store(true, std::memory_order_release);
  ssl_socket_handler = ssl_next_;
  if (ssl_socket_handler) ssl_socket_handler->Reset_Session();
  choose_server();
  if (connect_info.dest_port == 0) connect_info.dest_port = FDefault_dest_port;
  do_connect();
}

void TUX_tcp_Socket_base::choose_server() {
  const std::vector<std::string> entries = server_entries(connect_info.Fsvr_host);
  int32_t& id = connect_info.Current_Server_id;
  if (id < 0 || size_t(id) >= entries.size()) id = 0;
  const std::string entry = entries.empty() ? std::string() : entries[size_t(id)];
  ++id;
  split_host_port(entry, connect_info.dest_host, connect_info.dest_port);
  // The certificate must be for the server as listed, whatever address the
  // owner connects it to.
  if (ssl_socket_handler) ssl_socket_handler->Set_Server_Name(connect_info.dest_host);
  if (!on_Resvole_Host) return;
  std::string ip = connect_info.dest_host;
  try {
    on_Resvole_Host(connect_info.dest_host, ip);
  } catch (...) {
    return;
  }
  if (!ip.empty()) connect_info.dest_host = ip;
}

void TUX_tcp_Socket_base::do_connect() {
  set_connected(false);
  connect_info.Connect_Result = 0;
  const int32_t fd = sock_create_tcp();
  if (fd >= 0) {
    FSocketHandle.store(fd, std::memory_order_release);
    connect_info.at_Start_connect = now_ms();
    sock_set_nonblocking(fd, true);
    sock_set_option(fd, kSockOptReuseAddr, 1);
    sock_set_option(fd, kSockOptRecvTimeout, kSocketTimeoutMsec);
    // Buffer sizes stay with the kernel: its defaults exceed 64 KiB and grow
    // with the connection, which an explicit size would stop.
    sock_set_option(fd, kSockOptSendTimeout, kSocketTimeoutMsec);
    const bool bound = connect_info.bind_local_port <= 0 || sock_bind(fd, "0.0.0.0", connect_info.bind_local_port) == 0;
    if (bound && sock_connect(fd, connect_info.dest_host, connect_info.dest_port) == 0) {
      connect_info.at_last_non_idle = now_ms();
      if (ssl_socket_handler)
        set_status(kTcp_Handshaking);
      else
        end_attempt(kTcp_Connected, kConnect_OK);
      return;
    }
    const int32_t e = sock_last_error();
    if (bound && (e == EINPROGRESS || sock_would_block(e))) {
      set_status(kTcp_Connecting);
      return;
    }
  }
  set_connected(false);
  on_connect_result(kConnect_Failed);
  SetActive(false);
}

void TUX_tcp_Socket_base::do_close() {
  const int32_t fd = FSocketHandle.exchange(kNoSocket, std::memory_order_acq_rel);
  if (fd >= 0) sock_close(fd);
  set_status(kTcp_Closed);
  set_connected(false);
}

bool TUX_tcp_Socket_base::Attach_Socket(int32_t sock) {
  int type = 0;
  socklen_t len = sizeof type;
  if (sock <= 0 || ::getsockopt(sock, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM ||
      sock_remote_port(sock) == 0)
    return false;
  SetActive(false);
  FActive.store(true, std::memory_order_release);
  ssl_socket_handler.reset();
  if (connect_info.AIO_Mode) sock_set_nonblocking(sock, true);
  FSocketHandle.store(sock, std::memory_order_release);
  connect_info.dest_host = sock_remote_ip(sock);
  connect_info.dest_port = sock_remote_port(sock);
  connect_info.at_Start_connect = connect_info.at_last_non_idle = now_ms();
  connect_info.Connect_Result = 1;
  set_status(kTcp_Connected);
  set_connected(true);
  return true;
}

bool TUX_tcp_Socket_base::do_step() {
  if (!Active()) return false;
  switch (FStatus) {
    case kTcp_Connecting:
      connecting_step();
      break;
    case kTcp_Connected:
      try {
        do_read();
      } catch (...) {
      }
      if (Active()) {
        try {
          do_write();
        } catch (...) {
        }
      }
      break;
    case kTcp_Connect_Failed:
      set_status(kTcp_Finished);
      set_connected(false);
      break;
    case kTcp_Handshaking:
      handshake_step();
      break;
    default:
      break;
  }
  return false;
}

void TUX_tcp_Socket_base::connecting_step() {
  if (now_ms() - connect_info.at_Start_connect > connect_info.Connect_timeout_Msec) {
    end_attempt(kTcp_Connect_Failed, kConnect_Failed);
    return;
  }
  const int32_t fd = socketHandle();
  bool readable = true, writable = true, failed = true;
  if (!sock_wait(fd, kConnectWaitMsec, readable, writable, failed)) return;
  if ((readable || writable) && !failed && sock_pending_error(fd) == 0) {
    connect_info.at_last_non_idle = now_ms();
    if (ssl_socket_handler) {
      set_status(kTcp_Handshaking);
      return;
    }
    writable_within(fd, 500);
    end_attempt(kTcp_Connected, kConnect_OK);
    return;
  }
  end_attempt(kTcp_Connect_Failed, kConnect_Failed);
}

void TUX_tcp_Socket_base::handshake_step() {
  // A handshake that never ends fails like a connection that never answers.
  const bool timed_out = now_ms() - connect_info.at_Start_connect > connect_info.Connect_timeout_Msec;
  const int32_t r = timed_out ? -2 : ssl_socket_handler->Connect_Step(socketHandle());
  if (r == kSSL_Handshake_Pending) return;
  connect_info.at_last_non_idle = now_ms();
  if (r == kSSL_Handshake_Done)
    end_attempt(kTcp_Connected, kConnect_OK);
  else
    end_attempt(kTcp_Finished, kConnect_TLS_Failed);
}

void TUX_tcp_Socket_base::end_attempt(int32_t status, int32_t code) {
  set_status(status);
  set_connected(code == kConnect_OK);
  on_connect_result(code);
}

void TUX_tcp_Socket_base::on_connect_result(int32_t code) {
  if (code != kConnect_OK) {
    set_connected(false);
    connect_info.Connect_Result = -1;
    return;
  }
  connect_info.Connect_Result = 1;
  if (!on_resvoled_host_ip) return;
  try {
    on_resvoled_host_ip(connect_info.dest_host, sock_remote_ip(socketHandle()));
  } catch (...) {
  }
}

void TUX_tcp_Socket_base::on_disconnect(int32_t) { set_connected(false); }

void TUX_tcp_Socket_base::check_execute(bool) {
  try {
    timer_Task->Execute();
  } catch (...) {
  }
  try {
    if (do_step()) do_step();
  } catch (...) {
  }
}

// ---------------------------------------------------------------- TUX_super_tcp_socket

TUX_super_tcp_socket::TUX_super_tcp_socket()
    : out_buf(std::make_unique<Tfifo_Mem_stream>(kStreamStartSize)),
      in_buf(std::make_unique<Tfifo_Mem_stream>(kStreamStartSize)),
      at_last_date_active(tick_ms()),
      read_chunk_(kTlsReadChunk),
      write_chunk_(kPlainWriteChunk) {
  // Emptying a stream in the course of streaming must not give its room back
  // (it would be allocated again at once); the buffers shrink when a new
  // connection starts and on Clear_Sending_Buf / Clear_Recv_buf.
  out_buf->auto_compact_space = false;
  in_buf->auto_compact_space = false;
  ex_send_speed.reset();
  ex_recv_speed.reset();
}

TUX_super_tcp_socket::~TUX_super_tcp_socket() {
  events = TEvents{};
  TUX_super_tcp_socket::SetActive(false);
  timer_Task->Clear();
}

void TUX_super_tcp_socket::raise(const TNotifyEvent& ev) {
  if (!ev) return;
  try {
    ev(this);
  } catch (...) {
  }
}

void TUX_super_tcp_socket::deliver() {
  if (!Active() || in_buf->DataLength() == 0) return;
  at_last_date_active.store(tick_ms(), std::memory_order_relaxed);
  try {
    if (events.onData_Event)
      events.onData_Event(this, *in_buf);
    else
      on_data();
  } catch (...) {
  }
}

void TUX_super_tcp_socket::do_connect() {
  {
    std::lock_guard<std::mutex> g(write_mu_);
    out_buf->Reset(true);
  }
  TUX_tcp_Socket_base::do_connect();
}

void TUX_super_tcp_socket::do_close() {
  std::lock_guard<std::mutex> g(write_mu_);
  TUX_tcp_Socket_base::do_close();
}

void TUX_super_tcp_socket::on_connect_result(int32_t code) {
  TUX_tcp_Socket_base::on_connect_result(code);
  if (code != kConnect_OK) {
    connect_info.Connect_Result = -1;
    set_connected(false);
    raise(events.connecte_fail);
    if (Auto_Reconnect()) {
      ReConnect(2 * Reconnect_Timeout_Msec());
      raise(events.Reconnect_Event);
    }
    return;
  }
  in_buf->Reset(true);
  const int32_t fd = socketHandle();
  if (!AIO_Mode()) sock_set_nonblocking(fd, false);
  writable_within(fd, kConnectedWritableWaitMsec);
  set_connected(true);
  connect_info.Connect_Result = 1;
  at_last_date_active.store(tick_ms(), std::memory_order_relaxed);
  try {
    if (events.Connected_event)
      events.Connected_event(this);
    else
      on_connected();
  } catch (...) {
  }
}

void TUX_super_tcp_socket::on_disconnect(int32_t code) {
  TUX_tcp_Socket_base::on_disconnect(code);
  try {
    if (events.Disconnected_event)
      events.Disconnected_event(this);
    else
      on_disconnected(code);
  } catch (...) {
  }
  if (Auto_Reconnect()) {
    ReConnect(Reconnect_Timeout_Msec());
    raise(events.Reconnect_Event);
  }
}

int32_t TUX_super_tcp_socket::read_chunk(int32_t fd, ISocket_SSL* tls, int32_t chunk, int32_t& tls_error) {
  tls_error = 0;
  if (tls) {
    int32_t n = tls->Read_Data(read_chunk_.data(), chunk);
    if (n == 0) n = -1;
    if (n < 0) {
      tls_error = tls->Last_Error(n);
      return n;
    }
    keep_room(*in_buf, n);
    return in_buf->Write(read_chunk_.data(), n) < 0 ? kAppendFailed : n;
  }
  // Straight into the stream's free room, under its lock.
  Tfifo_Mem_stream& s = *in_buf;
  s.Lock();
  keep_room(s, chunk);
  const int32_t len = s.DataLength();
  s.SetSize(int64_t(len) + chunk);
  int32_t n = kAppendFailed;
  int error = 0;
  if (s.DataLength() == len + chunk) {
    n = sock_recv(fd, s.DataPointer(uint32_t(len)), chunk, false, true);
    error = errno;
    s.SetSize(len + (n > 0 ? n : 0));
  }
  s.unLock();
  errno = error;
  return n;
}

void TUX_super_tcp_socket::do_read() {
  if (!Active()) return;
  const int32_t fd = socketHandle();
  const std::shared_ptr<ISocket_SSL> tls = ssl();
  // Bytes the TLS layer holds decrypted make no socket readable: they are
  // read without waiting.
  const bool held = tls && tls->Pending() > 0;
  // With bytes to send, a writable socket also ends the wait, so that a
  // sending step does not sleep.
  bool readable = true, writable = out_buf->DataLength() > 0, failed = true;
  if (sock_wait(fd, held ? 0 : kReadWaitMsec, readable, writable, failed) || held) {
    readable = readable || held;
    if (failed && !held) {
      const int32_t code = sock_pending_error(fd);
      on_disconnect(code != 0 ? code : -1);
      SetActive(false);
      return;
    }
    const int32_t chunk = tls ? kTlsReadChunk : kPlainReadChunk;
    int32_t taken = 0;
    while (Active() && readable && taken < kReadStepMax && in_buf->DataLength() <= kInBufPause) {
      int32_t tls_error = 0;
      const int32_t n = read_chunk(fd, tls.get(), chunk, tls_error);
      if (n == kAppendFailed) {
        deliver();
        on_disconnect(kDisconnect_Buffer_Full);
        SetActive(false);
        return;
      }
      if (n > 0) {
        taken += n;
        if (n < chunk) break;
        continue;
      }
      const int32_t e = sock_last_error();
      if (n == 0) {  // orderly close of a plain connection
        deliver();
        on_disconnect(kDisconnect_Peer_Closed);
        SetActive(false);
        break;
      }
      // The TLS layer decides by its own error class: errno may be stale there.
      const bool no_data_now = tls ? (tls_error == kSSL_Error_Want_Read || tls_error == 3)
                                   : (sock_would_block(e) || e == EINPROGRESS);
      if (no_data_now) break;
      deliver();
      on_disconnect(kDisconnect_Read_Error + (tls ? 0 : e));
      SetActive(false);
      return;
    }
    ex_recv_speed.add_bytes(taken);
    recv_speed_.store(uint32_t(ex_recv_speed.speed), std::memory_order_relaxed);
  }
  deliver();
}

void TUX_super_tcp_socket::do_write() {
  std::lock_guard<std::mutex> g(write_mu_);
  if (!Active() || !Connected()) return;
  const int32_t fd = socketHandle();
  const std::shared_ptr<ISocket_SSL> tls = ssl();
  const int32_t chunk = tls ? kTlsWriteChunk : kPlainWriteChunk;
  int64_t total = 0;
  // A non-blocking plain socket sends straight from the stream under its
  // lock; otherwise a chunk is copied out, so that writers never wait for a
  // blocking send or for the TLS layer.
  const bool in_place = !tls && AIO_Mode();
  while (Active()) {
    int32_t n, sent;
    if (in_place) {
      out_buf->Lock();
      n = std::min(out_buf->DataLength(), chunk);
      sent = n > 0 ? sock_send(fd, out_buf->DataPointer(0), n) : 0;
      if (sent > 0) out_buf->Delete(sent);
      out_buf->unLock();
    } else {
      n = int32_t(out_buf->Read(write_chunk_.data(), chunk));
      sent = n <= 0 ? 0 : tls ? tls->Write_Data(write_chunk_.data(), n) : sock_send(fd, write_chunk_.data(), n);
      if (sent > 0) out_buf->Delete(sent);
    }
    if (n <= 0 || sent <= 0) break;
    total += sent;
    if (sent < n) break;  // the socket is full
  }
  if (total <= 0) return;
  ex_send_speed.add_bytes(int32_t(total));
  send_speed_.store(uint32_t(ex_send_speed.speed), std::memory_order_relaxed);
  at_last_date_active.store(tick_ms(), std::memory_order_relaxed);
}

int32_t TUX_super_tcp_socket::WriteData(const void* data, int32_t len) {
  if (!Active() || len <= 0 || !data) return 0;
  if (out_buf->DataLength() >= kForceWriteAbove) {
    try {
      do_write();
    } catch (...) {
    }
  }
  keep_room(*out_buf, len);
  return int32_t(out_buf->Write(data, len));
}

int32_t TUX_super_tcp_socket::WriteBytes(const std::vector<uint8_t>& data) {
  return WriteData(data.data(), int32_t(data.size()));
}

int32_t TUX_super_tcp_socket::WriteStrln(const std::string& str, const std::string& eol) {
  if (!Active()) return 0;
  out_buf->Lock();
  keep_room(*out_buf, int32_t(str.size() + eol.size()));
  const int32_t before = out_buf->DataLength();
  const bool ok = out_buf->Write(str.data(), int64_t(str.size())) >= 0 &&
                  out_buf->Write(eol.data(), int64_t(eol.size())) >= 0;
  if (!ok) out_buf->SetSize(before);
  out_buf->unLock();
  return ok ? int32_t(str.size() + eol.size()) : -1;
}

int32_t TUX_super_tcp_socket::ReadData(void* PBuf, int32_t BufLen) {
  if (BufLen <= 0) return 0;
  in_buf->Lock();
  const int32_t n = std::min(BufLen, in_buf->DataLength());
  if (PBuf)
    in_buf->Read_And_Remove(PBuf, n);
  else
    in_buf->Delete(n);
  in_buf->unLock();
  return n;
}

std::string TUX_super_tcp_socket::ReadLn(const std::string& eol) {
  if (!eol.empty()) return in_buf->fsc_Exists(eol);
  in_buf->Lock();
  std::string all = in_buf->asString();
  in_buf->Reset(true);
  in_buf->unLock();
  return all;
}

void TUX_super_tcp_socket::flashData() { do_write(); }

void TUX_super_tcp_socket::Clear_Sending_Buf() {
  std::lock_guard<std::mutex> g(write_mu_);
  out_buf->Reset(true);
}

void TUX_super_tcp_socket::Clear_Recv_buf() { in_buf->Reset(true); }

int32_t TUX_super_tcp_socket::Idle_Time_msec() const {
  const int64_t d = tick_ms() - at_last_date_active.load(std::memory_order_relaxed);
  return d > INT32_MAX ? INT32_MAX : d < 0 ? 0 : int32_t(d);
}

void TUX_super_tcp_socket::ReConnect(int32_t Delay_MSec) {
  SetActive(false);
  timer_Task->Remove_Task(Timer_Delay_Reconnect_id);
  Timer_Delay_Reconnect_id = timer_Task->Delay_Run2(Delay_MSec, [this](bool& RunOneMore) {
    RunOneMore = false;
    Timer_Delay_Reconnect_id = 0;
    SetActive(true);
  });
}

// ---------------------------------------------------------------- IUDP_Socket

int32_t IUDP_Socket::ReadDatagrams(int32_t max_count, int32_t timeout_msec, const TUDP_Datagram_Sink& sink) {
  if (max_count <= 0) return 0;
  static thread_local std::vector<char> buf(65536);
  uint32_t ip = 0, port = 0;
  const int32_t n = ReadData(buf.data(), int32_t(buf.size()), timeout_msec, ip, port);
  if (n <= 0) return n;
  sink(buf.data(), n, ip, port);
  return 1;
}

// ---------------------------------------------------------------- TUX_UDP_Cli_Socket

TUX_UDP_Cli_Socket::~TUX_UDP_Cli_Socket() { TUX_UDP_Cli_Socket::SetActive(false); }

bool TUX_UDP_Cli_Socket::open_socket(int32_t send_buffer) {
  const int32_t fd = sock_create_udp();
  if (fd < 0) return false;
  // Address reuse only for an explicit port (multicast receivers, ReBind):
  // on Linux, sockets that all ask for reuse may be given the same ephemeral
  // port, and then one of them receives the other's datagrams.
  if (bind_port > 0) sock_set_option(fd, kSockOptReuseAddr, 1);
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
  // The hub reads whole datagrams one at a time.
  if (coalescing_) {
    (void)sock_set_coalescing(fd, false);
    stop_coalescing();
  }
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
  stop_coalescing();
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

int32_t TUX_UDP_Cli_Socket::await_readable(int32_t fd, int32_t wait_msec) {
  bool readable = true, writable = false, failed = true;
  if (!sock_wait(fd, wait_msec, readable, writable, failed)) return 0;
  if (failed) {
    // Reading the pending error clears it, so the next read works again.
    sock_pending_error(fd);
    return -1;
  }
  return readable ? 1 : 0;
}

int32_t TUX_UDP_Cli_Socket::read_datagram(void* Data, int32_t buflen, bool wait, int32_t wait_msec,
                                          uint32_t& from_ip, uint32_t& from_port) {
  from_ip = 0;
  from_port = 0;
  const int32_t fd = socketHandle();
  if (fd < 0) return kNoSocketResult;
  if (wait && aio_registered_.load(std::memory_order_acquire)) return 0;
  if (coalescing_) {
    // A read may take a whole run; hand out its datagrams one per call.
    if (run_.empty()) {
      const int32_t r = read_run(fd, wait ? TReadWait::poll : TReadWait::socket_timeout, wait_msec);
      if (r <= 0) return r;
    }
    if (buflen <= 0) return 0;
    if (Data == nullptr) {
      errno = EINVAL;
      return -1;
    }
    int32_t n = 0;
    const char* at = run_.next(n);
    from_ip = run_.from_ip;
    from_port = run_.from_port;
    n = std::min(n, buflen);  // a longer datagram is cut, as recvfrom cuts it
    std::memcpy(Data, at, size_t(n));
    return n;
  }
  if (!wait) return sock_recv_from(fd, Data, buflen, from_ip, from_port);
  // A datagram already queued is taken without a poll.
  const int32_t n = sock_recv_from(fd, Data, buflen, from_ip, from_port, true);
  if (n >= 0 || !sock_would_block(sock_last_error())) return n;
  if (const int32_t r = await_readable(fd, wait_msec); r <= 0) return r;
  const int32_t m = sock_recv_from(fd, Data, buflen, from_ip, from_port, true);
  return m < 0 && sock_would_block(sock_last_error()) ? 0 : m;
}

int32_t TUX_UDP_Cli_Socket::read_run(int32_t fd, TReadWait how, int32_t wait_msec) {
  run_.len = run_.pos = 0;
  auto read = [&](bool dont_wait) {
    return sock_recv_coalesced(fd, run_.buf.get(), TDatagramRun::kCapacity, run_.segment, run_.from_ip,
                               run_.from_port, dont_wait);
  };
  int32_t n = read(how != TReadWait::socket_timeout);
  if (n < 0 && how == TReadWait::poll && sock_would_block(sock_last_error())) {
    if (const int32_t r = await_readable(fd, wait_msec); r <= 0) return r;
    n = read(true);
  }
  if (n < 0 && how != TReadWait::socket_timeout && sock_would_block(sock_last_error())) return 0;
  if (n > 0) run_.len = n;
  return n;
}

void TUX_UDP_Cli_Socket::stop_coalescing() {
  coalescing_ = false;
  run_.len = run_.pos = 0;
}

int32_t TUX_UDP_Cli_Socket::ReadDatagrams(int32_t max_count, int32_t timeout_msec, const TUDP_Datagram_Sink& sink) {
  const int32_t fd = socketHandle();
  if (fd < 0) return kNoSocketResult;
  if (max_count <= 0 || aio_registered_.load(std::memory_order_acquire)) return 0;
  if (!coalescing_) {
    if (!run_.buf) run_.buf = std::make_unique<char[]>(size_t(TDatagramRun::kCapacity));
    // Where the kernel cannot coalesce, every read is still one whole datagram.
    (void)sock_set_coalescing(fd, true);
    coalescing_ = true;
  }
  int32_t handed = 0;
  while (handed < max_count) {
    if (run_.empty()) {
      // Only the first read may wait.
      const int32_t r = read_run(fd, handed == 0 ? TReadWait::poll : TReadWait::none, timeout_msec);
      if (r <= 0) return handed > 0 ? handed : r;
    }
    int32_t n = 0;
    char* at = run_.next(n);
    ++handed;
    sink(at, n, run_.from_ip, run_.from_port);
  }
  return handed;
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
