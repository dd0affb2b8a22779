#include "common/net/ux_kcp_udp_class.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "common/net/ux_socketbase_dns.h"
#include "common/ux_common.h"

namespace ux {

namespace {

inline void put_le(char* p, uint64_t v, int width) noexcept {
  for (int i = 0; i < width; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
inline uint32_t get_le(const char* p, int width) noexcept {
  uint32_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(p[i]);
  return v;
}

}  // namespace

void TUX_KCP_Ctl_Datagram::encode(char* out) const noexcept {
  std::memset(out, 0, kKcpCtlSize);
  out[0] = static_cast<char>(cmd);
  put_le(out + 1, kKcpCtlMagic, 2);
  put_le(out + 3, cmd_id, 2);
  put_le(out + 5, value1, 4);
  put_le(out + 9, value2, 4);
}

bool TUX_KCP_Ctl_Datagram::decode(const char* data, int32_t len, TUX_KCP_Ctl_Datagram& out) noexcept {
  if (data == nullptr || len != kKcpCtlSize || get_le(data + 1, 2) != kKcpCtlMagic) return false;
  out.cmd = static_cast<uint8_t>(data[0]);
  out.cmd_id = static_cast<uint16_t>(get_le(data + 3, 2));
  out.value1 = get_le(data + 5, 4);
  out.value2 = get_le(data + 9, 4);
  return true;
}

uint16_t new_kcp_ctl_cmd_id() {
  uint16_t id = 0;
  while (id == 0) id = static_cast<uint16_t>(random_between(10000, 999999999) & 0xFFFF);
  return id;
}

uint32_t new_kcp_session_id() {
  return static_cast<uint32_t>(parse_int64(random_digits(9)) + 1000);
}

// ---------------------------------------------------------------- TUX_KCP_UDP_Cli

TUX_KCP_UDP_Cli::TUX_KCP_UDP_Cli(bool f_thread_mode) {
  es_encoder.init_key(kUX_KCP_Key_Phrase);
  in_buf = std::make_unique<Tfifo_Mem_stream>(kStreamCapacity);
  out_buf = std::make_unique<Tfifo_Mem_stream>(kStreamCapacity);
  if (f_thread_mode) {
    th = TExThread::Create();
    th->NoDelay = false;
    // Set once, before the thread first runs; the work is gated by step_enabled_.
    th->onExec = [this](void*) {
      own_thread_id_.store(std::this_thread::get_id(), std::memory_order_release);
      if (!step_enabled_.load(std::memory_order_acquire)) return;
      std::lock_guard<std::recursive_mutex> pass(exec_gate_);
      if (step_enabled_.load(std::memory_order_acquire)) execute();
    };
  }
}

TUX_KCP_UDP_Cli::~TUX_KCP_UDP_Cli() {
  step_enabled_.store(false, std::memory_order_release);
  TExThread::CloseAndNil(th);
  try {
    SetActive(false);
  } catch (...) {
  }
}

void TUX_KCP_UDP_Cli::SetServerHost(const std::string& value) {
  f_svr_host = value;
  std::string rest = value;
  const std::string host = value.find(':') == std::string::npos ? value : fetch_token(rest, ":");
  if (value.find(':') == std::string::npos) rest.clear();
  dest_ip = resolve_host(host);
  const std::string port = trim_text(rest);
  bool numeric = !port.empty() && port.size() <= 10;
  for (char c : port) numeric = numeric && c >= '0' && c <= '9';
  dest_port = numeric ? uint32_t(parse_int64(port)) : kDefaultServerPort;
}

// ---- activation

void TUX_KCP_UDP_Cli::do_activate() {
  f_session_id.store(new_kcp_session_id());
  const int64_t now = now_ms();
  rt.f_connected.store(false);
  rt.have_popup_disconnect_event = false;
  rt.is_going_to_close.store(false);
  closed_by_server_ = false;
  rt.have_data = false;
  rt.retry_handshank_count = 0;
  rt.at_create = now;
  rt.at_connected = rt.at_last_recv = 0;
  rt.at_last_send = 0;
  {
    std::lock_guard<std::mutex> g(speed_lock_);
    speed.recv.reset();
    speed.send.reset();
  }
  kcp_mode = 0;
  in_buf->Reset(true);
  out_buf->Reset(true);
  std::shared_ptr<IUDP_Socket> sock;
  try {
    sock = create_udp_socket();
  } catch (...) {
  }
  {
    std::lock_guard<std::recursive_mutex> g(lock);
    udp_cli = std::move(sock);
  }
  send_control(kcp_ctl_connect, 2);
  step_enabled_.store(true, std::memory_order_release);
  if (th != nullptr && !thread_started_) {
    thread_started_ = true;
    th->start();
  }
}

std::shared_ptr<IUDP_Socket> TUX_KCP_UDP_Cli::create_udp_socket() {
  if (events.func_on_create_udp) return events.func_on_create_udp();
  auto s = std::make_shared<TUX_UDP_SVR_Socket>();
  s->SetActive(true);
  return s;
}

void TUX_KCP_UDP_Cli::do_deactivate() {
  step_enabled_.store(false, std::memory_order_release);
  if (th != nullptr && own_thread_id_.load(std::memory_order_acquire) != std::this_thread::get_id()) {
    std::lock_guard<std::recursive_mutex> wait_pass(exec_gate_);
  }
  send_control(kcp_ctl_close, 2);
  const bool was_connected = rt.f_connected.exchange(false);
  if (was_connected && !rt.have_popup_disconnect_event) {
    rt.have_popup_disconnect_event = true;
    raise(events.onDisconnected, kDisconnectClosed);
  }
  {
    std::lock_guard<std::recursive_mutex> g(lock);
    if (FKcp != nullptr) ikcp_release(FKcp);
    FKcp = nullptr;
    udp_cli.reset();
  }
  in_buf->Reset(true);
  out_buf->Reset(true);
}

// ---- control datagrams

void TUX_KCP_UDP_Cli::send_control(uint8_t cmd, int copies) {
  TUX_KCP_Ctl_Datagram c;
  c.cmd = cmd;
  c.cmd_id = new_kcp_ctl_cmd_id();
  c.value1 = f_session_id.load();
  c.value2 = 0;
  char bytes[kKcpCtlSize];
  c.encode(bytes);
  std::shared_ptr<IUDP_Socket> sock;
  {
    std::lock_guard<std::recursive_mutex> g(lock);
    sock = udp_cli;
  }
  if (sock)
    for (int i = 0; i < copies; ++i) sock->WriteDataTo(dest_ip, int32_t(dest_port), bytes, kKcpCtlSize);
  rt.at_last_send = now_ms();
}

void TUX_KCP_UDP_Cli::on_control(const char* data, int32_t len, int64_t now) {
  TUX_KCP_Ctl_Datagram c;
  if (!TUX_KCP_Ctl_Datagram::decode(data, len, c)) return;
  if (c.cmd_id != 0) {
    int64_t at = 0;
    if (last_ctl_cmd_uuid.is_last_value(c.cmd_id, at)) return;
    last_ctl_cmd_uuid.set_last_value(c.cmd_id, now);
  }
  switch (c.cmd) {
    case kcp_ctl_accept:
      if (connected()) return;
      if (c.value1 == 0) return;
      rt.retry_handshank_count = 0;
      rt.at_connected = rt.at_last_recv = now;
      rt.at_last_send = now;
      create_engine();
      rt.f_connected.store(true, std::memory_order_release);
      raise(events.onConnected, kConnected);
      flush();
      return;
    case kcp_ctl_keepalive:
      rt.at_last_recv = now;
      rt.at_last_send = now;
      return;
    case kcp_ctl_close:
      if (c.value1 == f_session_id.load()) {
        closed_by_server_ = true;
        rt.is_going_to_close.store(true);
      }
      return;
    default:
      return;
  }
}

void TUX_KCP_UDP_Cli::create_engine() {
  std::lock_guard<std::recursive_mutex> g(lock);
  if (FKcp != nullptr) ikcp_release(FKcp);
  FKcp = ikcp_create(f_session_id.load(), this);
  if (FKcp == nullptr) return;
  ikcp_setoutput(FKcp, &TUX_KCP_UDP_Cli::kcp_output);
  ikcp_setmtu(FKcp, kMtu);
  ikcp_wndsize(FKcp, kSendWindow, kRecvWindow);
  switch (kcp_mode) {
    case 0:
      ikcp_nodelay(FKcp, 0, 3, 0, 0);
      break;
    case 1:
      ikcp_nodelay(FKcp, 0, 10, 0, 1);
      break;
    case 2:
      ikcp_nodelay(FKcp, 1, 10, 2, 0);
      FKcp->rx_minrto = 10;
      FKcp->fastresend = 1;
      break;
    default:
      ikcp_nodelay(FKcp, 1, 10, 2, 1);
      FKcp->rx_minrto = 10;
      FKcp->fastresend = 1;
      break;
  }
}

bool TUX_KCP_UDP_Cli::kcp_output(const char* buf, int32_t len, PkcpCb, void* user) {
  auto* self = static_cast<TUX_KCP_UDP_Cli*>(user);
  // Called under self->lock, which also guards udp_cli.
  if (self->udp_cli) {
    if (self->f_is_udp_encrypt.load()) {
      char copy[kDatagramBuffer];
      if (len > 0 && len <= kDatagramBuffer) {
        std::memcpy(copy, buf, size_t(len));
        self->es_encoder.Encode(copy, len);
        self->udp_cli->WriteDataTo(self->dest_ip, int32_t(self->dest_port), copy, len);
      }
    } else {
      self->udp_cli->WriteDataTo(self->dest_ip, int32_t(self->dest_port), buf, len);
    }
  }
  std::lock_guard<std::mutex> g(self->speed_lock_);
  self->speed.send.add_bytes(len);
  return true;
}

// ---- events

void TUX_KCP_UDP_Cli::raise(const TKCP_Cli_Event& ev, int32_t code) {
  if (!ev) return;
  try {
    ev(this, code);
  } catch (...) {
  }
}

void TUX_KCP_UDP_Cli::raise_data() {
  rt.have_data = true;
  if (!events.onDataCome) return;
  try {
    events.onDataCome(this, *in_buf);
  } catch (...) {
  }
}

// ---- the step

int64_t TUX_KCP_UDP_Cli::take_messages() {
  static thread_local std::vector<char> buf(kRecvBuffer);
  int64_t total = 0;
  for (;;) {
    int32_t n;
    {
      std::lock_guard<std::recursive_mutex> g(lock);
      if (FKcp == nullptr) break;
      n = ikcp_recv(FKcp, buf.data(), kRecvBuffer);
      if (n == -3) {
        const int32_t size = ikcp_peeksize(FKcp);
        if (size <= kDatagramBuffer) break;
        std::vector<char> big(static_cast<size_t>(size));
        n = ikcp_recv(FKcp, big.data(), size);
        if (n > 0) {
          in_buf->Write(big.data(), n);
          total += n;
        }
        continue;
      }
    }
    if (n <= 0) break;
    in_buf->Write(buf.data(), n);
    total += n;
  }
  return total;
}

void TUX_KCP_UDP_Cli::feed_engine(int32_t chunk) {
  static thread_local std::vector<char> piece;
  piece.resize(size_t(chunk));
  for (;;) {
    std::lock_guard<std::recursive_mutex> g(lock);
    if (FKcp == nullptr) return;
    const int32_t n = out_buf->ReadDataOffset(0, piece.data(), chunk);
    if (n <= 0) return;
    if (ikcp_send(FKcp, piece.data(), n) < 0) return;
    out_buf->Delete(n);
    ikcp_update(FKcp, uint32_t(tick_ms()));
  }
}

void TUX_KCP_UDP_Cli::execute() {
  if (!Active() || !active_step()) return;
  std::shared_ptr<IUDP_Socket> sock;
  {
    std::lock_guard<std::recursive_mutex> g(lock);
    sock = udp_cli;
  }
  // 1. Datagrams.
  int64_t bytes = 0;
  bool fed = false;
  if (sock) {
    (void)sock->ReadDatagrams(kDatagramsPerStep, 1, [&](char* data, int32_t n, uint32_t from_ip, uint32_t from_port) {
      if (!active_step() || n <= 0 || from_ip != dest_ip || from_port != dest_port) return;
      bytes += n;
      switch (kcp_datagram_kind(n)) {
        case TUX_KCP_Datagram_Kind::control:
          on_control(data, n, now_ms());
          break;
        case TUX_KCP_Datagram_Kind::kcp:
          if (!connected()) break;
          if (f_is_udp_encrypt.load()) es_encoder.Decode(data, n);
          {
            std::lock_guard<std::recursive_mutex> g(lock);
            if (FKcp != nullptr) {
              // A datagram the engine refuses is dropped, as the link may drop any.
              (void)ikcp_input(FKcp, data, uint32_t(n));
              fed = true;
            }
          }
          break;
        case TUX_KCP_Datagram_Kind::invalid:
          break;
      }
    });
  }
  {
    std::lock_guard<std::mutex> g(speed_lock_);
    speed.recv.add_bytes(int32_t(bytes));
  }
  if (!active_step()) return;
  const int64_t now = now_ms();

  // 3. Engine work while connected.
  if (connected()) {
    {
      std::lock_guard<std::recursive_mutex> g(lock);
      if (FKcp != nullptr) ikcp_update(FKcp, uint32_t(tick_ms()));
    }
    const int64_t got = fed ? take_messages() : 0;
    int32_t waiting = 0;
    {
      std::lock_guard<std::recursive_mutex> g(lock);
      if (FKcp != nullptr) ikcp_update(FKcp, uint32_t(tick_ms()));
    }
    if (got > 0) raise_data();
    if (!active_step()) return;
    {
      std::lock_guard<std::recursive_mutex> g(lock);
      if (FKcp != nullptr && ikcp_waitsnd(FKcp) > kFlushFirstAbove) ikcp_flush(FKcp);
      waiting = ikcp_waitsnd(FKcp);
    }
    if (waiting < kFeedBelow) feed_engine(kStepSendChunk);
    {
      std::lock_guard<std::recursive_mutex> g(lock);
      if (FKcp != nullptr) ikcp_flush(FKcp);
    }
  }

  // 4. Orderly close once everything has been delivered: our output
  // acknowledged and, when the server closed, its last bytes read by the
  // owner (deactivation empties in_buf; the close may come in the same
  // batch as those bytes).
  if (rt.is_going_to_close.load()) {
    bool delivered = out_buf->DataLength() == 0 && !(closed_by_server_ && in_buf->DataLength() > 0);
    {
      std::lock_guard<std::recursive_mutex> g(lock);
      if (FKcp != nullptr) delivered = delivered && ikcp_waitsnd(FKcp) <= 0;
    }
    if (delivered) {
      if (in_buf->DataLength() > 0) raise_data();
      SetActive(false);
      return;
    }
  }

  // 5. Handshake and liveness.
  if (!connected()) {
    if (abs_diff(now, rt.at_create) > uint64_t(kHandshakeRetryMs)) {
      rt.retry_handshank_count++;
      rt.at_create = now;
      if (rt.retry_handshank_count > kHandshakeRetries) {
        raise(events.onConnectError, kConnectError);
        if (FautoReconnect.load()) {
          rt.at_create = now + kReconnectAfterGiveUpMs;
          rt.retry_handshank_count = 0;
          raise(events.onReconnect, kReconnect);
        } else {
          SetActive(false);
        }
        return;
      }
      send_control(kcp_ctl_connect, 1);
    }
  } else if (Active()) {
    const uint64_t d = abs_diff(now, rt.at_last_recv);
    if (d > uint64_t(kDeadSessionMs)) {
      rt.f_connected.store(false);
      rt.have_popup_disconnect_event = true;
      raise(events.onDisconnected, kDisconnectTimeout);
      if (FautoReconnect.load()) {
        rt.at_create = now + kReconnectAfterDeadMs;
        raise(events.onReconnect, kReconnect);
      } else {
        SetActive(false);
      }
    } else if (d > uint64_t(kKeepAliveIdleMs) && now - rt.at_last_send > kKeepAliveSpacingMs) {
      rt.at_last_send = now;
      send_control(kcp_ctl_keepalive, 2);
    }
  }
}

// ---- the owner's operations

void TUX_KCP_UDP_Cli::close() {
  if (connected()) send_control(kcp_ctl_close, 2);
  rt.is_going_to_close.store(true);
}

int32_t TUX_KCP_UDP_Cli::SendData(const void* data, int32_t datalen) {
  if (!Active() || data == nullptr || datalen <= 0) return 0;
  if (out_buf->DataLength() > kMaxQueuedOutput) return 0;
  return int32_t(out_buf->Write(data, datalen));
}

int32_t TUX_KCP_UDP_Cli::sendString(const std::string& str) {
  if (str.empty()) return 0;
  return SendData(str.data(), int32_t(std::min<size_t>(str.size(), size_t(INT32_MAX))));
}

void TUX_KCP_UDP_Cli::flush() {
  if (!Active()) return;
  {
    std::lock_guard<std::recursive_mutex> g(lock);
    if (FKcp == nullptr) return;
  }
  if (!connected()) return;
  feed_engine(kFlushSendChunk);
  std::lock_guard<std::recursive_mutex> g(lock);
  if (FKcp != nullptr) ikcp_flush(FKcp);
}

int32_t TUX_KCP_UDP_Cli::readData(void* buf, int32_t buf_len) {
  if (!Active() || buf == nullptr || buf_len <= 0) return 0;
  return in_buf->Read_And_Remove(buf, buf_len);
}

std::string TUX_KCP_UDP_Cli::readStringEol(const std::string& eol) {
  if (!eol.empty()) return in_buf->fsc_Exists(eol);
  in_buf->Lock();
  std::string all = in_buf->asString();
  in_buf->Delete(int32_t(all.size()));
  in_buf->unLock();
  return all;
}

bool TUX_KCP_UDP_Cli::is_have_data() { return in_buf->DataLength() > 0; }

int32_t TUX_KCP_UDP_Cli::recv_speed() {
  std::lock_guard<std::mutex> g(speed_lock_);
  speed.recv.refresh();
  return speed.recv.speed;
}

int32_t TUX_KCP_UDP_Cli::send_speed() {
  std::lock_guard<std::mutex> g(speed_lock_);
  speed.send.refresh();
  return speed.send.speed;
}

uint32_t TUX_KCP_UDP_Cli::DataIn_Send_Buffer_Size() {
  if (!Active()) return 0;
  uint32_t n = uint32_t(out_buf->DataLength());
  std::lock_guard<std::recursive_mutex> g(lock);
  if (FKcp != nullptr) n += kSegmentEstimate * uint32_t(ikcp_waitsnd(FKcp));
  return n;
}

}  // namespace ux
