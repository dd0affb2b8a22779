#include "server/res_kcp_side.h"

#include <arpa/inet.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/ux_common.h"

namespace qlyn_res {

using namespace ux;

namespace {

constexpr size_t kReadBatch = 32;     // datagrams per recvmmsg
constexpr size_t kReadSlot = 8192;    // bytes; larger datagrams are dropped
constexpr int32_t kRecvChunk = 65536; // bytes per ikcp_recv into the HTTP connection
// File bytes per ikcp_send: whole segments, well below the 255-fragment limit.
constexpr int32_t kFeedSegments = 32;

uint64_t addr_key(const sockaddr_in& a) { return uint64_t(a.sin_addr.s_addr) << 16 | a.sin_port; }

std::string peer_text(const sockaddr_in& a) {
  char ip[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
  return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

bool same_address(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

uint32_t le32(const char* p) {
  return uint32_t(uint8_t(p[0])) | uint32_t(uint8_t(p[1])) << 8 | uint32_t(uint8_t(p[2])) << 16 |
         uint32_t(uint8_t(p[3])) << 24;
}

}  // namespace

struct TRes_Kcp_Side::TSession {
  TRes_Kcp_Side* side = nullptr;
  sockaddr_in peer{};
  uint32_t id = 0;
  PkcpCb kcp = nullptr;
  std::unique_ptr<TRes_Http_Conn> http;
  TUX_Last_3_value seen_ids{3};
  bool mode_known = false;
  bool scrambled = false;
  bool got_kcp = false;      // the client has sent KCP data on this engine
  bool peer_closing = false;
  bool touched = false;
  bool counted_sender = false;  // counted in senders_
  int64_t last_recv_ms = 0;
  int64_t linger_until_ms = 0;

  ~TSession() {
    if (kcp != nullptr) ikcp_release(kcp);
  }
  // True when cmd_id was seen lately; records it otherwise.
  bool duplicate(uint16_t cmd_id, int64_t now) {
    int64_t at = 0;
    if (seen_ids.is_last_value(cmd_id, at)) return true;
    seen_ids.set_last_value(cmd_id, now);
    return false;
  }
};

TRes_Kcp_Side::TRes_Kcp_Side(const TRes_Root& root, const TRes_Kcp_Options& opt, TRes_Access_Log log)
    : root_(root), opt_(opt), log_(std::move(log)) {
  encoder_.init_key(kUX_KCP_Key_Phrase);
  share_ = opt_.snd_wnd;
  out_slot_ = size_t(std::max(opt_.mtu, 1400)) + 64;
  out_buf_.resize(kOutBatch * out_slot_);
  pull_buf_.resize(size_t(kFeedSegments) * size_t(opt_.mtu));
}

TRes_Kcp_Side::~TRes_Kcp_Side() {
  sessions_.clear();
  if (fd_ >= 0) ::close(fd_);
}

void TRes_Kcp_Side::attach(int udp_fd) {
  fd_ = udp_fd;
  // Setting a segment size of 0 (none by default) succeeds only where the
  // kernel knows UDP GSO.
  int none = 0;
  gso_ = opt_.udp_gso && ::setsockopt(fd_, SOL_UDP, UDP_SEGMENT, &none, sizeof none) == 0;
}

// ---------------------------------------------------------------- input

void TRes_Kcp_Side::on_readable(size_t max_datagrams) {
  static thread_local std::vector<char> slots(kReadBatch * kReadSlot);
  mmsghdr msgs[kReadBatch];
  iovec iov[kReadBatch];
  sockaddr_in from[kReadBatch];
  size_t handled = 0;
  while (handled < max_datagrams) {
    for (size_t i = 0; i < kReadBatch; ++i) {
      iov[i] = {slots.data() + i * kReadSlot, kReadSlot};
      msgs[i] = {};
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
      msgs[i].msg_hdr.msg_name = &from[i];
      msgs[i].msg_hdr.msg_namelen = sizeof from[i];
    }
    const int n = ::recvmmsg(fd_, msgs, kReadBatch, MSG_DONTWAIT, nullptr);
    if (n <= 0) break;
    for (int i = 0; i < n; ++i) {
      stats_.datagrams_in++;
      if ((msgs[i].msg_hdr.msg_flags & MSG_TRUNC) != 0 || msgs[i].msg_hdr.msg_namelen != sizeof(sockaddr_in)) {
        stats_.datagrams_dropped++;
        continue;
      }
      handle_datagram(from[i], slots.data() + size_t(i) * kReadSlot, int32_t(msgs[i].msg_len));
    }
    handled += size_t(n);
    if (size_t(n) < kReadBatch) break;
  }
  // Sessions ended while reading have already left touched_.
  const uint32_t tick = uint32_t(tick_ms());
  for (TSession* s : touched_) {
    s->touched = false;
    service(*s, tick, true);
  }
  touched_.clear();
  flush_out();
}

void TRes_Kcp_Side::handle_datagram(const sockaddr_in& from, char* data, int32_t len) {
  switch (kcp_datagram_kind(len)) {
    case TUX_KCP_Datagram_Kind::control: {
      TUX_KCP_Ctl_Datagram c;
      if (TUX_KCP_Ctl_Datagram::decode(data, len, c))
        handle_control(from, c);
      else
        stats_.datagrams_dropped++;
      return;
    }
    case TUX_KCP_Datagram_Kind::kcp:
      handle_kcp(from, data, len);
      return;
    case TUX_KCP_Datagram_Kind::invalid:
      stats_.datagrams_dropped++;
      return;
  }
}

void TRes_Kcp_Side::handle_control(const sockaddr_in& from, const TUX_KCP_Ctl_Datagram& c) {
  const int64_t now = now_ms();
  if (c.value1 == 0) {
    stats_.datagrams_dropped++;
    return;
  }
  TSession* s = find(from, c.value1);
  switch (c.cmd) {
    case kcp_ctl_connect:
      if (s == nullptr) {
        s = create_session(from, c.value1);
        s->duplicate(c.cmd_id, now);
      } else if (s->duplicate(c.cmd_id, now)) {
        stats_.datagrams_dropped++;
        return;
      } else if (s->got_kcp) {
        reset_engine(*s);  // the client started this session over
      }
      s->last_recv_ms = now;
      send_control(from, kcp_ctl_accept, c.value1, 2);
      return;
    case kcp_ctl_keepalive:
      if (s == nullptr) {
        send_control(from, kcp_ctl_close, c.value1, 1);
        return;
      }
      if (s->duplicate(c.cmd_id, now)) {
        stats_.datagrams_dropped++;
        return;
      }
      s->last_recv_ms = now;
      send_control(from, kcp_ctl_keepalive, c.value1, 1);
      return;
    case kcp_ctl_close:
      if (s == nullptr || s->duplicate(c.cmd_id, now)) {
        stats_.datagrams_dropped++;
        return;
      }
      s->last_recv_ms = now;
      if (!s->peer_closing) {
        s->peer_closing = true;
        s->linger_until_ms = now + opt_.close_linger_ms;
      }
      return;
    default:
      stats_.datagrams_dropped++;
      return;
  }
}

void TRes_Kcp_Side::handle_kcp(const sockaddr_in& from, char* data, int32_t len) {
  const uint32_t conv = le32(data);
  bool scrambled = false;
  TSession* s = find(from, conv);
  if (s == nullptr) {
    s = find(from, conv ^ encoder_.keys()[0]);
    scrambled = s != nullptr;
  }
  if (s == nullptr || (s->mode_known && s->scrambled != scrambled)) {
    stats_.datagrams_dropped++;
    return;
  }
  if (!s->mode_known) {
    s->mode_known = true;
    s->scrambled = scrambled;
    s->http->set_transport(scrambled ? "udp-scrambled" : "udp");
  }
  if (scrambled) encoder_.Decode(data, len);
  // A datagram the engine refuses is dropped, as the link may drop any.
  (void)ikcp_input(s->kcp, data, uint32_t(len));
  s->got_kcp = true;
  s->last_recv_ms = now_ms();
  if (!s->touched) {
    s->touched = true;
    touched_.push_back(s);
  }
}

// ---------------------------------------------------------------- sessions

TRes_Kcp_Side::TSession* TRes_Kcp_Side::find(const sockaddr_in& from, uint32_t id) {
  auto it = sessions_.find(TKey{addr_key(from), id});
  return it == sessions_.end() ? nullptr : it->second.get();
}

TRes_Kcp_Side::TSession* TRes_Kcp_Side::create_session(const sockaddr_in& from, uint32_t id) {
  make_room();
  auto s = std::make_unique<TSession>();
  s->side = this;
  s->peer = from;
  s->id = id;
  reset_engine(*s);
  TSession* raw = s.get();
  sessions_[TKey{addr_key(from), id}] = std::move(s);
  stats_.sessions_created++;
  return raw;
}

void TRes_Kcp_Side::reset_engine(TSession& s) {
  if (s.kcp != nullptr) ikcp_release(s.kcp);
  s.kcp = ikcp_create(s.id, &s);
  ikcp_setoutput(s.kcp, &TRes_Kcp_Side::on_kcp_output);
  ikcp_setmtu(s.kcp, opt_.mtu);
  ikcp_wndsize(s.kcp, opt_.snd_wnd, opt_.rcv_wnd);
  ikcp_nodelay(s.kcp, opt_.nodelay, opt_.interval, opt_.resend, opt_.nc);
  s.kcp->rx_minrto = opt_.min_rto;
  // Stream mode: file bytes fill whole segments whatever the pull sizes; the
  // client reads every segment as a message of its own.
  s.kcp->stream = 1;
  s.http = std::make_unique<TRes_Http_Conn>(root_, peer_text(s.peer), "udp", log_);
  s.mode_known = s.scrambled = s.got_kcp = s.peer_closing = false;
  if (s.touched) {
    s.touched = false;
    touched_.erase(std::remove(touched_.begin(), touched_.end(), &s), touched_.end());
  }
}

void TRes_Kcp_Side::make_room() {
  if (sessions_.size() < opt_.max_sessions || sessions_.empty()) return;
  auto victim = sessions_.end();
  for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
    if (victim == sessions_.end()) {
      victim = it;
      continue;
    }
    const TSession& a = *it->second;
    const TSession& v = *victim->second;
    // Sessions that never carried data go first, then the longest idle.
    if (a.got_kcp != v.got_kcp ? !a.got_kcp : a.last_recv_ms < v.last_recv_ms) victim = it;
  }
  stats_.sessions_evicted++;
  end_session(victim, true);
}

void TRes_Kcp_Side::end_session(TSessions::iterator it, bool send_close) {
  TSession* s = it->second.get();
  if (send_close) send_control(s->peer, kcp_ctl_close, s->id, 2);
  if (s->touched) touched_.erase(std::remove(touched_.begin(), touched_.end(), s), touched_.end());
  sessions_.erase(it);
}

void TRes_Kcp_Side::service(TSession& s, uint32_t tick, bool had_input) {
  ikcp_update(s.kcp, tick);
  bool moved = had_input;
  static thread_local std::vector<char> recv_buf(kRecvChunk);
  while (s.http->wants_input()) {
    int32_t n = ikcp_recv(s.kcp, recv_buf.data(), int32_t(recv_buf.size()));
    if (n == -3) {
      const int32_t need = ikcp_peeksize(s.kcp);
      if (need <= 0) break;
      recv_buf.resize(size_t(need));
      n = ikcp_recv(s.kcp, recv_buf.data(), need);
    }
    if (n < 0) break;
    s.http->on_input(recv_buf.data(), size_t(n));
  }
  if (!s.peer_closing) {
    if (!s.counted_sender && s.http->has_output()) {
      // A new sender shrinks every share at once, before it is fed.
      s.counted_sender = true;
      senders_++;
      update_share();
    }
    if (s.kcp->snd_wnd != uint32_t(share_)) ikcp_wndsize(s.kcp, share_, -1);
    const int32_t chunk = kFeedSegments * int32_t(s.kcp->mss);
    const int32_t feed_limit = share_ + share_ / 2;
    while (ikcp_waitsnd(s.kcp) < feed_limit && s.http->has_output()) {
      const size_t n = s.http->pull_output(pull_buf_.data(), size_t(chunk));
      if (n == 0) break;
      // Cannot fail: n is at most kFeedSegments (< 255) segments.
      (void)ikcp_send(s.kcp, pull_buf_.data(), int32_t(n));
      moved = true;
    }
  }
  if (moved) ikcp_flush(s.kcp);
}

void TRes_Kcp_Side::on_timer() {
  const uint32_t tick = uint32_t(tick_ms());
  const int64_t now = now_ms();
  senders_ = 0;
  for (auto& [key, s] : sessions_) {
    s->counted_sender = s->http->has_output() || ikcp_waitsnd(s->kcp) > 0;
    senders_ += s->counted_sender;
  }
  update_share();
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    auto next = std::next(it);
    TSession& s = *it->second;
    if (s.peer_closing && now >= s.linger_until_ms) {
      end_session(it, false);
    } else if (now - s.last_recv_ms > opt_.idle_timeout_ms) {
      stats_.sessions_timed_out++;
      end_session(it, true);
    } else {
      service(s, tick, false);
      if (s.http->done() && ikcp_waitsnd(s.kcp) == 0) end_session(it, true);
    }
    it = next;
  }
  flush_out();
}

void TRes_Kcp_Side::update_share() {
  const int64_t fair = opt_.send_budget / int64_t(std::max<size_t>(senders_, 1));
  share_ = int32_t(std::clamp<int64_t>(fair, kMinShare, std::max(opt_.snd_wnd, kMinShare)));
}

void TRes_Kcp_Side::close_all() {
  while (!sessions_.empty()) end_session(sessions_.begin(), true);
  flush_out();
}

// ---------------------------------------------------------------- output

bool TRes_Kcp_Side::on_kcp_output(const char* buf, int32_t len, PkcpCb, void* user) {
  auto* s = static_cast<TSession*>(user);
  TRes_Kcp_Side* side = s->side;
  if (len <= 0 || size_t(len) > side->out_slot_) return false;
  if (side->out_count_ == kOutBatch) side->flush_out();
  char* slot = side->out_buf_.data() + side->out_count_ * side->out_slot_;
  std::memcpy(slot, buf, size_t(len));
  if (s->scrambled) side->encoder_.Encode(slot, len);
  side->out_[side->out_count_++] = TOut{s->peer, uint32_t(len)};
  return true;
}

void TRes_Kcp_Side::send_control(const sockaddr_in& to, uint8_t cmd, uint32_t value1, int copies) {
  TUX_KCP_Ctl_Datagram c;
  c.cmd = cmd;
  c.cmd_id = new_kcp_ctl_cmd_id();
  c.value1 = value1;
  char bytes[kKcpCtlSize];
  c.encode(bytes);
  for (int i = 0; i < copies; ++i) send_datagram(to, bytes, sizeof bytes);
}

void TRes_Kcp_Side::send_datagram(const sockaddr_in& to, const char* data, size_t len) {
  if (out_count_ == kOutBatch) flush_out();
  std::memcpy(out_buf_.data() + out_count_ * out_slot_, data, len);
  out_[out_count_++] = TOut{to, uint32_t(len)};
}

size_t TRes_Kcp_Side::build_messages(size_t from, mmsghdr* msgs, iovec* iov, size_t* counts) {
  size_t m = 0;
  for (size_t i = from; i < out_count_; ++m) {
    const TOut& head = out_[i];
    size_t j = i + 1;
    if (gso_) {
      // A run: datagrams to the same client as long as the first, the last
      // of them possibly shorter.
      size_t bytes = head.len;
      while (j < out_count_ && same_address(out_[j].to, head.to) && out_[j].len <= head.len &&
             bytes + out_[j].len <= kGsoMaxBytes) {
        bytes += out_[j].len;
        if (out_[j++].len < head.len) break;
      }
    }
    for (size_t k = i; k < j; ++k) iov[k] = {out_buf_.data() + k * out_slot_, out_[k].len};
    msgs[m] = {};
    msghdr& h = msgs[m].msg_hdr;
    h.msg_iov = &iov[i];
    h.msg_iovlen = j - i;
    h.msg_name = const_cast<sockaddr_in*>(&head.to);
    h.msg_namelen = sizeof head.to;
    if (j - i > 1) {
      h.msg_control = gso_ctl_[m].bytes;
      h.msg_controllen = sizeof gso_ctl_[m].bytes;
      cmsghdr* c = CMSG_FIRSTHDR(&h);
      c->cmsg_level = SOL_UDP;
      c->cmsg_type = UDP_SEGMENT;
      c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
      const uint16_t seg = uint16_t(head.len);
      std::memcpy(CMSG_DATA(c), &seg, sizeof seg);
    }
    counts[m] = j - i;
    i = j;
  }
  return m;
}

// Runs of datagrams to one client that share a length (the last may be
// shorter) go out as one message that the kernel cuts into those datagrams
// (UDP GSO): one pass through the network stack instead of one per datagram.
// The datagrams on the wire are the same either way.
void TRes_Kcp_Side::flush_out() {
  mmsghdr msgs[kOutBatch];
  iovec iov[kOutBatch];
  size_t counts[kOutBatch];
  size_t from = 0;
  // A datagram the kernel refuses (full buffer, unreachable peer) is lost
  // like any other; the engine retransmits.
  for (int failures = 0; from < out_count_ && failures < 4;) {
    const size_t n_msgs = build_messages(from, msgs, iov, counts);
    const int n = ::sendmmsg(fd_, msgs, unsigned(n_msgs), MSG_DONTWAIT);
    if (n > 0) {
      for (int m = 0; m < n; ++m) {
        from += counts[m];
        stats_.datagrams_out += counts[m];
        stats_.gso_messages += counts[m] > 1;
      }
      continue;
    }
    ++failures;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && counts[0] > 1 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS) {
      gso_ = false;  // the path cannot segment (EIO, EINVAL...): one message per datagram from now on
      continue;
    }
    from += counts[0];  // skip what the kernel refused
  }
  out_count_ = 0;
}

}  // namespace qlyn_res
