#include "common/net/ux_kcp_core.h"

#include <bit>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common/ux_common.h"

namespace ux {

namespace {

// Unit name carried by this engine's assertion errors, with the source lines
// its checks are known by.
constexpr const char* kUnit = "apps\\common\\net\\ux_kcp_core";
constexpr int kLineOutputNoCb = 471;
constexpr int kLineOutputNoFn = 472;
constexpr int kLineRelease = 571;
constexpr int kLineRecv2 = 684;
constexpr int kLineSend0 = 743;
constexpr int kLineSend1 = 759;
constexpr int kLineSend2 = 794;
constexpr int kLineAckPush0 = 923;

// ---------------------------------------------------------------- default allocator

void* heap_malloc(size_t n) { return std::malloc(n); }
void heap_free(void* p) { std::free(p); }

// The hook pair for new control blocks; read and replaced together.
std::mutex g_hooks_lock;
TKcpMalloc g_malloc = &heap_malloc;
TKcpFree g_free = &heap_free;

// ---------------------------------------------------------------- helpers

inline int32_t timediff(uint32_t later, uint32_t earlier) noexcept {
  return static_cast<int32_t>(later - earlier);
}

inline void put16(char* p, uint16_t v) noexcept {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap16(v);
  std::memcpy(p, &v, 2);
}
inline void put32(char* p, uint32_t v) noexcept {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
}
inline uint16_t get16(const char* p) noexcept {
  uint16_t v;
  std::memcpy(&v, p, 2);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap16(v);
  return v;
}
inline uint32_t get32(const char* p) noexcept {
  uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

// Writes the 24-byte header of seg at p; returns the byte after it.
inline char* encode_seg(char* p, const TKcpSeg& seg) noexcept {
  put32(p, seg.conv);
  p[4] = static_cast<char>(seg.cmd);
  p[5] = static_cast<char>(seg.frg);
  put16(p + 6, static_cast<uint16_t>(seg.wnd));
  put32(p + 8, seg.ts);
  put32(p + 12, seg.sn);
  put32(p + 16, seg.una);
  put32(p + 20, seg.len);
  return p + IKCP_OVERHEAD;
}

// ---- queues: circular lists with the head as sentinel

inline void q_init(TKcpSeg* head) noexcept { head->next = head->prev = head; }
inline bool q_empty(const TKcpSeg* head) noexcept { return head->next == head; }

// Inserts node after pos.
inline void q_add(TKcpSeg* node, TKcpSeg* pos) noexcept {
  node->prev = pos;
  node->next = pos->next;
  pos->next->prev = node;
  pos->next = node;
}
inline void q_add_tail(TKcpSeg* node, TKcpSeg* head) noexcept { q_add(node, head->prev); }
// Unlinks node; its links are left stale.
inline void q_del(TKcpSeg* node) noexcept {
  node->next->prev = node->prev;
  node->prev->next = node->next;
}

// ---- memory

inline void* kcp_alloc(const TKcpCb* kcp, size_t n) { return kcp->alloc_fn(n); }
inline void kcp_free(const TKcpCb* kcp, void* p) {
  if (p != nullptr) kcp->free_fn(p);
}

// With the default heap, segments of up to IKCP_SEG_POOL_PAYLOAD bytes live
// in blocks of that payload size, recycled through kcp->seg_pool. A block's
// size is known from seg->len, which never changes after allocation. Custom
// hooks see one exact-size allocation per segment.
inline bool pool_sized(const TKcpCb* kcp, uint32_t len) noexcept {
  return kcp->alloc_fn == &heap_malloc && len <= IKCP_SEG_POOL_PAYLOAD;
}

inline TKcpSeg* seg_new(PkcpCb kcp, uint32_t len) {
  if (pool_sized(kcp, len)) {
    if (TKcpSeg* seg = kcp->seg_pool) {
      kcp->seg_pool = seg->next;
      kcp->seg_pool_count--;
      return seg;
    }
    return static_cast<TKcpSeg*>(std::malloc(sizeof(TKcpSeg) + IKCP_SEG_POOL_PAYLOAD));
  }
  return static_cast<TKcpSeg*>(kcp_alloc(kcp, sizeof(TKcpSeg) + len));
}

inline void seg_delete(PkcpCb kcp, TKcpSeg* seg) {
  if (pool_sized(kcp, seg->len) && kcp->seg_pool_count < IKCP_SEG_POOL_MAX) {
    seg->next = kcp->seg_pool;
    kcp->seg_pool = seg;
    kcp->seg_pool_count++;
    return;
  }
  kcp->free_fn(seg);
}

void free_queue(PkcpCb kcp, TKcpSeg* head) {
  while (!q_empty(head)) {
    TKcpSeg* seg = head->next;
    q_del(seg);
    seg_delete(kcp, seg);
  }
}

// ---- logging

inline bool can_log(const TKcpCb* kcp, int32_t mask) noexcept {
  return kcp->writelog != nullptr && (kcp->logmask & mask) == mask;
}

[[gnu::format(printf, 2, 3)]] void kcp_log(PkcpCb kcp, const char* fmt, ...) {
  char line[256];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(line, sizeof line - 2, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (n > static_cast<int>(sizeof line) - 3) n = static_cast<int>(sizeof line) - 3;
  line[n] = '\r';
  line[n + 1] = '\n';
  line[n + 2] = '\0';
  kcp->writelog(line, kcp, kcp->user);
}

// ---- output

void kcp_output(PkcpCb kcp, const char* data, int32_t size) {
  if (kcp == nullptr) assertion_failed("ikcp_output", kUnit, kLineOutputNoCb);
  if (kcp->output == nullptr) assertion_failed("ikcp_output", kUnit, kLineOutputNoFn);
  if (size <= 0) return;
  if (can_log(kcp, IKCP_LOG_OUTPUT)) kcp_log(kcp, "[RO] %d bytes", static_cast<int>(size));
  kcp->output(data, size, kcp, kcp->user);
}

inline uint32_t wnd_unused(const TKcpCb* kcp) noexcept {
  if (kcp->nrcv_que >= kcp->rcv_wnd) return 0;
  const uint32_t free_wnd = kcp->rcv_wnd - kcp->nrcv_que;
  return free_wnd < IKCP_WND_WIRE_MAX ? free_wnd : IKCP_WND_WIRE_MAX;
}

// ---- receive side

// Moves in-order segments from rcv_buf to rcv_queue while the queue has room.
inline void move_ready(PkcpCb kcp) noexcept {
  while (!q_empty(&kcp->rcv_buf)) {
    TKcpSeg* seg = kcp->rcv_buf.next;
    if (seg->sn != kcp->rcv_nxt || kcp->nrcv_que >= kcp->rcv_wnd) break;
    q_del(seg);
    kcp->nrcv_buf--;
    q_add_tail(seg, &kcp->rcv_queue);
    kcp->nrcv_que++;
    kcp->rcv_nxt++;
  }
}

void ack_push(PkcpCb kcp, uint32_t sn, uint32_t ts) {
  if (kcp->ackcount >= kcp->ackblock) {
    if (kcp->ackcount >= IKCP_ACK_LIST_MAX) return;
    uint32_t newblock = 8;
    while (newblock < kcp->ackcount + 1) newblock <<= 1;
    auto* acklist = static_cast<uint32_t*>(kcp_alloc(kcp, size_t(newblock) * 2 * sizeof(uint32_t)));
    if (acklist == nullptr) assertion_failed("ikcp_ack_push 0", kUnit, kLineAckPush0);
    if (kcp->acklist != nullptr) {
      std::memcpy(acklist, kcp->acklist, size_t(kcp->ackcount) * 2 * sizeof(uint32_t));
      kcp_free(kcp, kcp->acklist);
    }
    kcp->acklist = acklist;
    kcp->ackblock = newblock;
  }
  uint32_t* pair = kcp->acklist + size_t(kcp->ackcount) * 2;
  pair[0] = sn;
  pair[1] = ts;
  kcp->ackcount++;
}

// Stores a PUSH with sn in [rcv_nxt, rcv_nxt + rcv_wnd) into rcv_buf in sn
// order. False only when the segment could not be allocated (it is then not
// acknowledged, so the peer sends it again).
bool store_push(PkcpCb kcp, const TKcpSeg& hdr, const char* payload) {
  TKcpSeg* p = kcp->rcv_buf.prev;
  for (; p != &kcp->rcv_buf; p = p->prev) {
    if (p->sn == hdr.sn) return true;  // duplicate
    if (timediff(hdr.sn, p->sn) > 0) break;
  }
  TKcpSeg* seg = seg_new(kcp, hdr.len);
  if (seg == nullptr) return false;
  seg->conv = hdr.conv;
  seg->cmd = hdr.cmd;
  seg->frg = hdr.frg;
  seg->wnd = hdr.wnd;
  seg->ts = hdr.ts;
  seg->sn = hdr.sn;
  seg->una = hdr.una;
  seg->len = hdr.len;
  seg->resendts = seg->rto = seg->fastack = seg->xmit = 0;
  if (hdr.len > 0) std::memcpy(seg->data(), payload, hdr.len);
  q_add(seg, p);
  kcp->nrcv_buf++;
  move_ready(kcp);
  return true;
}

// ---- send side

void update_ack(PkcpCb kcp, int32_t rtt) noexcept {
  int64_t srtt = kcp->rx_srtt;
  int64_t rttval = kcp->rx_rttval;
  if (srtt == 0) {
    srtt = rtt;
    rttval = rtt / 2;
  } else {
    int64_t delta = int64_t(rtt) - srtt;
    if (delta < 0) delta = -delta;
    rttval = (3 * rttval + delta) / 4;
    srtt = (7 * srtt + rtt) / 8;
    if (srtt < 1) srtt = 1;
  }
  if (rttval > INT32_MAX) rttval = INT32_MAX;
  int64_t rto = srtt + (4 * rttval > 1 ? 4 * rttval : 1);
  if (rto < kcp->rx_minrto) rto = kcp->rx_minrto;
  if (rto > int64_t(IKCP_RTO_MAX)) rto = IKCP_RTO_MAX;
  kcp->rx_srtt = static_cast<int32_t>(srtt);
  kcp->rx_rttval = static_cast<int32_t>(rttval);
  kcp->rx_rto = static_cast<int32_t>(rto);
}

inline void shrink_buf(PkcpCb kcp) noexcept {
  kcp->snd_una = q_empty(&kcp->snd_buf) ? kcp->snd_nxt : kcp->snd_buf.next->sn;
}

void parse_ack(PkcpCb kcp, uint32_t sn) {
  if (timediff(sn, kcp->snd_una) < 0 || timediff(sn, kcp->snd_nxt) >= 0) return;
  for (TKcpSeg* seg = kcp->snd_buf.next; seg != &kcp->snd_buf; seg = seg->next) {
    if (sn == seg->sn) {
      q_del(seg);
      seg_delete(kcp, seg);
      kcp->nsnd_buf--;
      break;
    }
    if (timediff(sn, seg->sn) < 0) break;
  }
}

void parse_una(PkcpCb kcp, uint32_t una) {
  while (!q_empty(&kcp->snd_buf)) {
    TKcpSeg* seg = kcp->snd_buf.next;
    if (timediff(una, seg->sn) <= 0) break;
    q_del(seg);
    seg_delete(kcp, seg);
    kcp->nsnd_buf--;
  }
}

void parse_fastack(PkcpCb kcp, uint32_t sn) noexcept {
  if (timediff(sn, kcp->snd_una) < 0 || timediff(sn, kcp->snd_nxt) >= 0) return;
  for (TKcpSeg* seg = kcp->snd_buf.next; seg != &kcp->snd_buf; seg = seg->next) {
    if (timediff(sn, seg->sn) < 0) break;
    if (sn != seg->sn) seg->fastack++;
  }
}

// Largest payload among the segments waiting to be sent or resent.
uint32_t largest_outgoing(const TKcpCb* kcp) noexcept {
  uint32_t n = 0;
  for (const TKcpSeg* h : {&kcp->snd_queue, &kcp->snd_buf})
    for (const TKcpSeg* s = h->next; s != h; s = s->next)
      if (s->len > n) n = s->len;
  return n;
}

}  // namespace

// ---------------------------------------------------------------- interface

void ikcp_allocator(TKcpMalloc new_malloc, TKcpFree new_free) noexcept {
  if (new_malloc == nullptr || new_free == nullptr) {
    new_malloc = &heap_malloc;
    new_free = &heap_free;
  }
  std::lock_guard<std::mutex> hold(g_hooks_lock);
  g_malloc = new_malloc;
  g_free = new_free;
}

PkcpCb ikcp_create(uint32_t conv, void* user) {
  TKcpMalloc alloc_fn;
  TKcpFree free_fn;
  {
    std::lock_guard<std::mutex> hold(g_hooks_lock);
    alloc_fn = g_malloc;
    free_fn = g_free;
  }
  auto* kcp = static_cast<PkcpCb>(alloc_fn(sizeof(TKcpCb)));
  if (kcp == nullptr) return nullptr;
  std::memset(static_cast<void*>(kcp), 0, sizeof(TKcpCb));
  kcp->alloc_fn = alloc_fn;
  kcp->free_fn = free_fn;
  kcp->conv = conv;
  kcp->user = user;
  kcp->snd_wnd = IKCP_WND_SND;
  kcp->rcv_wnd = IKCP_WND_RCV;
  kcp->rmt_wnd = IKCP_WND_RCV;
  kcp->mtu = IKCP_MTU_DEF;
  kcp->mss = kcp->mtu - IKCP_OVERHEAD;
  kcp->buffer = static_cast<char*>(alloc_fn(size_t(kcp->mtu + IKCP_OVERHEAD) * 3));
  if (kcp->buffer == nullptr) {
    free_fn(kcp);
    return nullptr;
  }
  q_init(&kcp->snd_queue);
  q_init(&kcp->rcv_queue);
  q_init(&kcp->snd_buf);
  q_init(&kcp->rcv_buf);
  kcp->rx_rto = static_cast<int32_t>(IKCP_RTO_DEF);
  kcp->rx_minrto = static_cast<int32_t>(IKCP_RTO_MIN);
  kcp->interval = IKCP_INTERVAL;
  kcp->ts_flush = IKCP_INTERVAL;
  kcp->ssthresh = IKCP_THRESH_INIT;
  kcp->dead_link = IKCP_DEADLINK;
  return kcp;
}

void ikcp_release(PkcpCb kcp) {
  if (kcp == nullptr) assertion_failed("ikcp_release", kUnit, kLineRelease);
  free_queue(kcp, &kcp->snd_buf);
  free_queue(kcp, &kcp->rcv_buf);
  free_queue(kcp, &kcp->snd_queue);
  free_queue(kcp, &kcp->rcv_queue);
  while (TKcpSeg* seg = kcp->seg_pool) {
    kcp->seg_pool = seg->next;
    kcp->free_fn(seg);
  }
  kcp_free(kcp, kcp->buffer);
  kcp_free(kcp, kcp->acklist);
  const TKcpFree free_fn = kcp->free_fn;
  free_fn(kcp);
}

void ikcp_setoutput(PkcpCb kcp, TOutPut output) noexcept {
  if (kcp != nullptr) kcp->output = output;
}

int32_t ikcp_send(PkcpCb kcp, const char* data, int32_t len) {
  if (kcp == nullptr || len < 0) return -1;
  const uint32_t mss = kcp->mss;
  if (mss == 0) assertion_failed("ikcp_send 0", kUnit, kLineSend0);

  if (kcp->stream == 0 && static_cast<uint32_t>(len) <= mss) {
    TKcpSeg* seg = seg_new(kcp, static_cast<uint32_t>(len));
    if (seg == nullptr) assertion_failed("ikcp_send 2", kUnit, kLineSend2);
    if (len > 0) {
      if (data != nullptr)
        std::memcpy(seg->data(), data, static_cast<size_t>(len));
      else
        std::memset(seg->data(), 0, static_cast<size_t>(len));
    }
    seg->len = static_cast<uint32_t>(len);
    seg->frg = 0;
    q_add_tail(seg, &kcp->snd_queue);
    kcp->nsnd_que++;
    return 0;
  }

  // Stream mode first tops up the last queued segment. Everything is
  // allocated before the queue changes, so a failure queues nothing.
  TKcpSeg* old = nullptr;
  uint32_t extend = 0;
  if (kcp->stream != 0 && !q_empty(&kcp->snd_queue) && kcp->snd_queue.prev->len < mss) {
    old = kcp->snd_queue.prev;
    const uint32_t room = mss - old->len;
    extend = static_cast<uint32_t>(len) < room ? static_cast<uint32_t>(len) : room;
  }
  const uint32_t rest = static_cast<uint32_t>(len) - extend;
  if (kcp->stream != 0 && rest == 0 && extend == 0) return 0;

  uint32_t count = 0;
  if (rest > 0 || kcp->stream == 0) count = rest <= mss ? 1 : (rest + mss - 1) / mss;
  if (count > IKCP_FRG_MAX) return -2;

  TKcpSeg* merged = nullptr;
  if (extend > 0) {
    merged = seg_new(kcp, old->len + extend);
    if (merged == nullptr) assertion_failed("ikcp_send 1", kUnit, kLineSend1);
    merged->len = old->len + extend;
  }

  TKcpSeg chain;
  q_init(&chain);
  const char* src = data == nullptr ? nullptr : data + extend;
  uint32_t left = rest;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t size = left > mss ? mss : left;
    TKcpSeg* seg = seg_new(kcp, size);
    if (seg == nullptr) {
      free_queue(kcp, &chain);
      if (merged != nullptr) seg_delete(kcp, merged);
      assertion_failed("ikcp_send 2", kUnit, kLineSend2);
    }
    std::memset(static_cast<void*>(seg), 0, sizeof(TKcpSeg));
    if (size > 0) {
      if (src != nullptr) {
        std::memcpy(seg->data(), src, size);
        src += size;
      } else {
        std::memset(seg->data(), 0, size);
      }
    }
    seg->len = size;
    seg->frg = kcp->stream == 0 ? count - i - 1 : 0;
    q_add_tail(seg, &chain);
    left -= size;
  }

  if (merged != nullptr) {
    std::memcpy(static_cast<void*>(merged), old, sizeof(TKcpSeg) + old->len);
    if (data != nullptr)
      std::memcpy(merged->data() + old->len, data, extend);
    else
      std::memset(merged->data() + old->len, 0, extend);
    merged->len = old->len + extend;
    merged->frg = 0;
    q_add(merged, old);
    q_del(old);
    seg_delete(kcp, old);
  }
  if (!q_empty(&chain)) {
    TKcpSeg* first = chain.next;
    TKcpSeg* last = chain.prev;
    TKcpSeg* tail = kcp->snd_queue.prev;
    first->prev = tail;
    tail->next = first;
    last->next = &kcp->snd_queue;
    kcp->snd_queue.prev = last;
    kcp->nsnd_que += count;
  }
  return 0;
}

int32_t ikcp_peeksize(const TKcpCb* kcp) noexcept {
  if (kcp == nullptr || q_empty(&kcp->rcv_queue)) return -1;
  const TKcpSeg* seg = kcp->rcv_queue.next;
  if (seg->frg == 0) return static_cast<int32_t>(seg->len);
  if (kcp->nrcv_que < seg->frg + 1) return -1;
  uint64_t length = 0;
  for (; seg != &kcp->rcv_queue; seg = seg->next) {
    length += seg->len;
    if (seg->frg == 0) break;
  }
  return length > uint64_t(INT32_MAX) ? -1 : static_cast<int32_t>(length);
}

int32_t ikcp_recv(PkcpCb kcp, char* buffer, int32_t len) {
  if (kcp == nullptr || q_empty(&kcp->rcv_queue)) return -1;
  const bool peek = len < 0;
  const int64_t room = peek ? -int64_t(len) : int64_t(len);
  const bool recover = kcp->nrcv_que >= kcp->rcv_wnd;

  // A message of one segment needs no walk.
  TKcpSeg* head = kcp->rcv_queue.next;
  if (head->frg == 0) {
    const uint32_t n = head->len;
    if (n > uint64_t(INT32_MAX)) return -2;
    if (n > room) return -3;
    if (buffer != nullptr && n > 0) std::memcpy(buffer, head->data(), n);
    if (can_log(kcp, IKCP_LOG_RECV)) kcp_log(kcp, "recv sn = %d", static_cast<int>(head->sn));
    if (!peek) {
      q_del(head);
      seg_delete(kcp, head);
      kcp->nrcv_que--;
    }
    move_ready(kcp);
    if (recover && kcp->nrcv_que < kcp->rcv_wnd) kcp->probe |= IKCP_ASK_TELL;
    return static_cast<int32_t>(n);
  }

  const int32_t peeksize = ikcp_peeksize(kcp);
  if (peeksize < 0) return -2;
  if (peeksize > room) return -3;

  int64_t n = 0;
  for (TKcpSeg* seg = kcp->rcv_queue.next; seg != &kcp->rcv_queue;) {
    if (buffer != nullptr && seg->len > 0) {
      std::memcpy(buffer, seg->data(), seg->len);
      buffer += seg->len;
    }
    n += seg->len;
    const uint32_t fragment = seg->frg;
    if (can_log(kcp, IKCP_LOG_RECV)) kcp_log(kcp, "recv sn = %d", static_cast<int>(seg->sn));
    TKcpSeg* next = seg->next;
    if (!peek) {
      q_del(seg);
      seg_delete(kcp, seg);
      kcp->nrcv_que--;
    }
    seg = next;
    if (fragment == 0) break;
  }
  if (n != peeksize) assertion_failed("ikcp_recv 2", kUnit, kLineRecv2);

  move_ready(kcp);
  if (recover && kcp->nrcv_que < kcp->rcv_wnd) kcp->probe |= IKCP_ASK_TELL;
  return static_cast<int32_t>(n);
}

int32_t ikcp_input(PkcpCb kcp, const char* data, uint32_t size) {
  if (kcp == nullptr) return -1;
  if (can_log(kcp, IKCP_LOG_INPUT)) kcp_log(kcp, "[RI] %d bytes", static_cast<int>(size));
  if (data == nullptr || size < IKCP_OVERHEAD) return -1;

  const uint32_t prev_una = kcp->snd_una;
  uint32_t maxack = 0;
  bool have_ack = false;
  int32_t result = 0;
  uint32_t left = size;

  while (left >= IKCP_OVERHEAD) {
    TKcpSeg hdr;
    hdr.conv = get32(data);
    if (hdr.conv != kcp->conv) {
      result = -1;
      break;
    }
    hdr.cmd = static_cast<unsigned char>(data[4]);
    hdr.frg = static_cast<unsigned char>(data[5]);
    hdr.wnd = get16(data + 6);
    hdr.ts = get32(data + 8);
    hdr.sn = get32(data + 12);
    hdr.una = get32(data + 16);
    hdr.len = get32(data + 20);
    left -= IKCP_OVERHEAD;
    if (left < hdr.len) {
      result = -2;
      break;
    }
    if (hdr.cmd < IKCP_CMD_PUSH || hdr.cmd > IKCP_CMD_WINS) {
      result = -3;
      break;
    }
    const char* payload = data + IKCP_OVERHEAD;

    kcp->rmt_wnd = hdr.wnd;
    parse_una(kcp, hdr.una);
    shrink_buf(kcp);

    switch (hdr.cmd) {
      case IKCP_CMD_ACK: {
        if (timediff(kcp->current, hdr.ts) >= 0) update_ack(kcp, timediff(kcp->current, hdr.ts));
        parse_ack(kcp, hdr.sn);
        shrink_buf(kcp);
        if (!have_ack) {
          have_ack = true;
          maxack = hdr.sn;
        } else if (timediff(hdr.sn, maxack) > 0) {
          maxack = hdr.sn;
        }
        if (can_log(kcp, IKCP_LOG_IN_DATA | IKCP_LOG_IN_ACK))
          kcp_log(kcp, "input ack: sn=%d rtt=%d rto=%d", static_cast<int>(hdr.sn),
                  static_cast<int>(timediff(kcp->current, hdr.ts)), static_cast<int>(kcp->rx_rto));
        break;
      }
      case IKCP_CMD_PUSH: {
        if (can_log(kcp, IKCP_LOG_IN_DATA | IKCP_LOG_IN_ACK))
          kcp_log(kcp, "input psh: sn=%d ts=%d", static_cast<int>(hdr.sn), static_cast<int>(hdr.ts));
        if (timediff(hdr.sn, kcp->rcv_nxt + kcp->rcv_wnd) < 0) {
          bool keep = true;
          if (timediff(hdr.sn, kcp->rcv_nxt) >= 0) keep = store_push(kcp, hdr, payload);
          if (keep) ack_push(kcp, hdr.sn, hdr.ts);
        }
        break;
      }
      case IKCP_CMD_WASK:
        kcp->probe |= IKCP_ASK_TELL;
        if (can_log(kcp, IKCP_LOG_IN_PROBE)) kcp_log(kcp, "input probe");
        break;
      default:  // IKCP_CMD_WINS
        if (can_log(kcp, IKCP_LOG_IN_WINS)) kcp_log(kcp, "input wins: %d", static_cast<int>(hdr.wnd));
        break;
    }

    data = payload + hdr.len;
    left -= hdr.len;
  }

  if (have_ack) parse_fastack(kcp, maxack);

  if (timediff(kcp->snd_una, prev_una) > 0 && kcp->cwnd < kcp->rmt_wnd) {
    const uint32_t mss = kcp->mss;
    if (kcp->cwnd < kcp->ssthresh) {
      kcp->cwnd++;
      kcp->incr += mss;
    } else {
      if (kcp->incr < mss) kcp->incr = mss;
      kcp->incr += (mss * mss) / kcp->incr + (mss / 16);
      if ((kcp->cwnd + 1) * mss <= kcp->incr) kcp->cwnd++;
    }
    if (kcp->cwnd > kcp->rmt_wnd) {
      kcp->cwnd = kcp->rmt_wnd;
      kcp->incr = kcp->rmt_wnd * mss;
    }
  }
  return result;
}

void ikcp_flush(PkcpCb kcp) {
  if (kcp == nullptr || kcp->updated == 0) return;
  const uint32_t current = kcp->current;
  const uint32_t mtu = kcp->mtu;
  char* const buffer = kcp->buffer;
  char* ptr = buffer;

  // Emits the buffered bytes when `need` more would pass mtu.
  auto make_room = [&](uint32_t need) {
    const uint32_t used = static_cast<uint32_t>(ptr - buffer);
    if (used > 0 && used + need > mtu) {
      kcp_output(kcp, buffer, static_cast<int32_t>(used));
      ptr = buffer;
    }
  };

  TKcpSeg seg;
  seg.conv = kcp->conv;
  seg.cmd = IKCP_CMD_ACK;
  seg.frg = 0;
  seg.wnd = wnd_unused(kcp);
  seg.una = kcp->rcv_nxt;
  seg.len = 0;
  seg.sn = 0;
  seg.ts = 0;

  for (uint32_t i = 0; i < kcp->ackcount; ++i) {
    make_room(IKCP_OVERHEAD);
    seg.sn = kcp->acklist[2 * size_t(i)];
    seg.ts = kcp->acklist[2 * size_t(i) + 1];
    ptr = encode_seg(ptr, seg);
  }
  kcp->ackcount = 0;

  if (kcp->rmt_wnd == 0) {
    if (kcp->probe_wait == 0) {
      kcp->probe_wait = IKCP_PROBE_INIT;
      kcp->ts_probe = current + kcp->probe_wait;
    } else if (timediff(current, kcp->ts_probe) >= 0) {
      if (kcp->probe_wait < IKCP_PROBE_INIT) kcp->probe_wait = IKCP_PROBE_INIT;
      kcp->probe_wait += kcp->probe_wait / 2;
      if (kcp->probe_wait > IKCP_PROBE_LIMIT) kcp->probe_wait = IKCP_PROBE_LIMIT;
      kcp->ts_probe = current + kcp->probe_wait;
      kcp->probe |= IKCP_ASK_SEND;
    }
  } else {
    kcp->ts_probe = 0;
    kcp->probe_wait = 0;
  }

  // Probes carry sn 0 and the sender's clock.
  seg.sn = 0;
  seg.ts = current;
  if (kcp->probe & IKCP_ASK_SEND) {
    seg.cmd = IKCP_CMD_WASK;
    make_room(IKCP_OVERHEAD);
    ptr = encode_seg(ptr, seg);
  }
  if (kcp->probe & IKCP_ASK_TELL) {
    seg.cmd = IKCP_CMD_WINS;
    make_room(IKCP_OVERHEAD);
    ptr = encode_seg(ptr, seg);
  }
  kcp->probe = 0;

  uint32_t cwnd = kcp->snd_wnd < kcp->rmt_wnd ? kcp->snd_wnd : kcp->rmt_wnd;
  if (kcp->nocwnd == 0 && kcp->cwnd < cwnd) cwnd = kcp->cwnd;

  while (timediff(kcp->snd_nxt, kcp->snd_una + cwnd) < 0 && !q_empty(&kcp->snd_queue)) {
    TKcpSeg* newseg = kcp->snd_queue.next;
    q_del(newseg);
    q_add_tail(newseg, &kcp->snd_buf);
    kcp->nsnd_que--;
    kcp->nsnd_buf++;
    newseg->conv = kcp->conv;
    newseg->cmd = IKCP_CMD_PUSH;
    newseg->wnd = seg.wnd;
    newseg->ts = current;
    newseg->sn = kcp->snd_nxt++;
    newseg->una = kcp->rcv_nxt;
    newseg->resendts = current;
    newseg->rto = static_cast<uint32_t>(kcp->rx_rto);
    newseg->fastack = 0;
    newseg->xmit = 0;
  }

  const uint32_t resent = kcp->fastresend > 0 ? static_cast<uint32_t>(kcp->fastresend) : 0xFFFFFFFFu;
  const uint32_t rx_rto = static_cast<uint32_t>(kcp->rx_rto);
  const uint32_t rtomin = kcp->nodelay == 0 ? (rx_rto >> 3) : 0;
  bool change = false;
  bool lost = false;

  for (TKcpSeg* p = kcp->snd_buf.next; p != &kcp->snd_buf; p = p->next) {
    bool needsend = false;
    if (p->xmit == 0) {
      needsend = true;
      p->xmit++;
      p->rto = rx_rto;
      p->resendts = current + p->rto + rtomin;
    } else if (timediff(current, p->resendts) >= 0) {
      needsend = true;
      p->xmit++;
      kcp->xmit++;
      p->rto += kcp->nodelay == 0 ? rx_rto : rx_rto / 2;
      p->resendts = current + p->rto;
      lost = true;
    } else if (p->fastack >= resent) {
      needsend = true;
      p->xmit++;
      p->fastack = 0;
      p->resendts = current + p->rto;
      change = true;
    }
    if (!needsend) continue;

    p->ts = current;
    p->wnd = seg.wnd;
    p->una = kcp->rcv_nxt;
    make_room(IKCP_OVERHEAD + p->len);
    ptr = encode_seg(ptr, *p);
    if (p->len > 0) {
      std::memcpy(ptr, p->data(), p->len);
      ptr += p->len;
    }
    if (p->xmit >= kcp->dead_link) kcp->state = 0xFFFFFFFFu;
  }

  if (ptr > buffer) kcp_output(kcp, buffer, static_cast<int32_t>(ptr - buffer));

  if (change) {
    const uint32_t inflight = kcp->snd_nxt - kcp->snd_una;
    kcp->ssthresh = inflight / 2;
    if (kcp->ssthresh < IKCP_THRESH_MIN) kcp->ssthresh = IKCP_THRESH_MIN;
    kcp->cwnd = kcp->ssthresh + resent;
    kcp->incr = kcp->cwnd * kcp->mss;
  }
  if (lost) {
    kcp->ssthresh = cwnd / 2;
    if (kcp->ssthresh < IKCP_THRESH_MIN) kcp->ssthresh = IKCP_THRESH_MIN;
    kcp->cwnd = 1;
    kcp->incr = kcp->mss;
  }
  if (kcp->cwnd < 1) {
    kcp->cwnd = 1;
    kcp->incr = kcp->mss;
  }
}

void ikcp_update(PkcpCb kcp, uint32_t current) {
  if (kcp == nullptr) return;
  kcp->current = current;
  if (kcp->updated == 0) {
    kcp->updated = 1;
    kcp->ts_flush = current;
  }
  int32_t slap = timediff(current, kcp->ts_flush);
  if (slap >= IKCP_CLOCK_SLIP_MAX || slap < -IKCP_CLOCK_SLIP_MAX) {
    kcp->ts_flush = current;
    slap = 0;
  }
  if (slap >= 0) {
    kcp->ts_flush += kcp->interval;
    if (timediff(current, kcp->ts_flush) >= 0) kcp->ts_flush = current + kcp->interval;
    ikcp_flush(kcp);
  }
}

int32_t ikcp_setmtu(PkcpCb kcp, int32_t mtu) {
  if (kcp == nullptr) return -1;
  if (mtu < static_cast<int32_t>(IKCP_MTU_MIN)) return -1;
  // Segments cut for the old mtu may still wait for (re)transmission; the
  // buffer must hold any one of them.
  size_t size = (size_t(mtu) + IKCP_OVERHEAD) * 3;
  const size_t largest = size_t(largest_outgoing(kcp)) + IKCP_OVERHEAD;
  if (largest > size) size = largest;
  auto* buffer = static_cast<char*>(kcp_alloc(kcp, size));
  if (buffer == nullptr) return -2;
  kcp->mtu = static_cast<uint32_t>(mtu);
  kcp->mss = kcp->mtu - IKCP_OVERHEAD;
  kcp_free(kcp, kcp->buffer);
  kcp->buffer = buffer;
  return 0;
}

int32_t ikcp_wndsize(PkcpCb kcp, int32_t sndwnd, int32_t rcvwnd) {
  if (kcp == nullptr) return -1;
  if (sndwnd > 0) kcp->snd_wnd = static_cast<uint32_t>(sndwnd);
  if (rcvwnd > 0) kcp->rcv_wnd = static_cast<uint32_t>(rcvwnd);
  return 0;
}

int32_t ikcp_nodelay(PkcpCb kcp, int32_t nodelay, int32_t interval, int32_t resend, int32_t nc) {
  if (kcp == nullptr) return -1;
  if (nodelay >= 0) {
    kcp->nodelay = static_cast<uint32_t>(nodelay);
    kcp->rx_minrto = static_cast<int32_t>(nodelay != 0 ? IKCP_RTO_NDL : IKCP_RTO_MIN);
  }
  if (interval >= 0) {
    if (interval > static_cast<int32_t>(IKCP_INTERVAL_MAX)) interval = IKCP_INTERVAL_MAX;
    if (interval < static_cast<int32_t>(IKCP_INTERVAL_MIN)) interval = IKCP_INTERVAL_MIN;
    kcp->interval = static_cast<uint32_t>(interval);
  }
  if (resend >= 0) kcp->fastresend = resend;
  if (nc >= 0) kcp->nocwnd = nc;
  return 0;
}

int32_t ikcp_waitsnd(const TKcpCb* kcp) noexcept {
  if (kcp == nullptr) return 0;
  return static_cast<int32_t>(kcp->nsnd_buf + kcp->nsnd_que);
}

}  // namespace ux
