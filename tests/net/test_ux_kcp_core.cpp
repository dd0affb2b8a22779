#include "common/net/ux_kcp_core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/ux_common.h"

namespace {

using namespace ux;

// ---------------------------------------------------------------- wire helpers

struct Hdr {
  uint32_t conv, cmd, frg, wnd, ts, sn, una, len;
  std::string payload;
};

void put_le(std::string& s, uint64_t v, int width) {
  for (int i = 0; i < width; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

uint64_t get_le(const std::string& s, size_t at, int width) {
  uint64_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s[at + i]);
  return v;
}

std::string seg_bytes(uint32_t conv, uint32_t cmd, uint32_t frg, uint32_t wnd, uint32_t ts,
                      uint32_t sn, uint32_t una, const std::string& payload,
                      int64_t len_field = -1) {
  std::string s;
  put_le(s, conv, 4);
  put_le(s, cmd, 1);
  put_le(s, frg, 1);
  put_le(s, wnd, 2);
  put_le(s, ts, 4);
  put_le(s, sn, 4);
  put_le(s, una, 4);
  put_le(s, len_field < 0 ? payload.size() : uint64_t(len_field), 4);
  return s + payload;
}

std::vector<Hdr> parse(const std::string& d) {
  std::vector<Hdr> out;
  size_t at = 0;
  while (d.size() - at >= 24) {
    Hdr h;
    h.conv = uint32_t(get_le(d, at, 4));
    h.cmd = uint32_t(get_le(d, at + 4, 1));
    h.frg = uint32_t(get_le(d, at + 5, 1));
    h.wnd = uint32_t(get_le(d, at + 6, 2));
    h.ts = uint32_t(get_le(d, at + 8, 4));
    h.sn = uint32_t(get_le(d, at + 12, 4));
    h.una = uint32_t(get_le(d, at + 16, 4));
    h.len = uint32_t(get_le(d, at + 20, 4));
    h.payload = d.substr(at + 24, h.len);
    at += 24 + h.len;
    out.push_back(h);
  }
  EXPECT_EQ(at, d.size()) << "datagram holds a partial segment";
  return out;
}

// ---------------------------------------------------------------- engine fixture

struct Peer {
  PkcpCb kcp = nullptr;
  std::vector<std::string> sent;
  std::vector<std::string> log;

  explicit Peer(uint32_t conv = 0x11223344) {
    kcp = ikcp_create(conv, this);
    ikcp_setoutput(kcp, &Peer::on_output);
  }
  ~Peer() {
    if (kcp != nullptr) ikcp_release(kcp);
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  static bool on_output(const char* buf, int32_t len, PkcpCb kcp, void* user) {
    auto* self = static_cast<Peer*>(user);
    EXPECT_EQ(kcp, self->kcp);
    EXPECT_GT(len, 0);
    EXPECT_LE(uint32_t(len), kcp->mtu);
    self->sent.emplace_back(buf, size_t(len));
    return true;
  }
  static void on_log(const char* line, PkcpCb, void* user) {
    static_cast<Peer*>(user)->log.emplace_back(line);
  }

  std::vector<Hdr> sent_segments(uint32_t cmd) const {
    std::vector<Hdr> out;
    for (const auto& d : sent)
      for (auto& h : parse(d))
        if (h.cmd == cmd) out.push_back(h);
    return out;
  }
  int input(const std::string& d) {
    std::vector<char> exact(d.begin(), d.end());  // exact size: ASan sees any over-read
    return ikcp_input(kcp, exact.data(), uint32_t(exact.size()));
  }
  std::string recv(int32_t cap = 1 << 20) {
    std::string buf(size_t(cap < 0 ? -cap : cap), '\0');
    int n = ikcp_recv(kcp, buf.data(), cap);
    return n < 0 ? std::string("<") + std::to_string(n) + ">" : buf.substr(0, size_t(n));
  }
};

uint32_t queue_len(const TKcpSeg& head) {
  uint32_t n = 0;
  for (const TKcpSeg* p = head.next; p != &head; p = p->next) ++n;
  return n;
}

void check_counts(const TKcpCb* k) {
  EXPECT_EQ(queue_len(k->snd_queue), k->nsnd_que);
  EXPECT_EQ(queue_len(k->snd_buf), k->nsnd_buf);
  EXPECT_EQ(queue_len(k->rcv_queue), k->nrcv_que);
  EXPECT_EQ(queue_len(k->rcv_buf), k->nrcv_buf);
}

std::vector<unsigned char> snapshot(const TKcpCb* k) {
  std::vector<unsigned char> s(sizeof(TKcpCb));
  std::memcpy(s.data(), k, sizeof(TKcpCb));
  return s;
}

// ---------------------------------------------------------------- allocation hooks

struct FailingHeap {
  static inline int countdown = -1;  // allocations left before failing; -1 never
  static inline int live = 0;
  static void* alloc(size_t n) {
    if (countdown == 0) return nullptr;
    if (countdown > 0) --countdown;
    ++live;
    return std::malloc(n);
  }
  static void release(void* p) {
    --live;
    std::free(p);
  }
};

struct HookScope {
  HookScope() {
    FailingHeap::countdown = -1;
    FailingHeap::live = 0;
    ikcp_allocator(&FailingHeap::alloc, &FailingHeap::release);
  }
  ~HookScope() { ikcp_allocator(nullptr, nullptr); }
};

// ---------------------------------------------------------------- construction and settings

TEST(KcpCore, CreateSetsDocumentedDefaults) {
  Peer p(7);
  const TKcpCb* k = p.kcp;
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(k->conv, 7u);
  EXPECT_EQ(k->mtu, 1400u);
  EXPECT_EQ(k->mss, 1376u);
  EXPECT_EQ(k->snd_wnd, 32u);
  EXPECT_EQ(k->rcv_wnd, 32u);
  EXPECT_EQ(k->rmt_wnd, 32u);
  EXPECT_EQ(k->rx_rto, 200);
  EXPECT_EQ(k->rx_minrto, 100);
  EXPECT_EQ(k->interval, 100u);
  EXPECT_EQ(k->ts_flush, 100u);
  EXPECT_EQ(k->ssthresh, 2u);
  EXPECT_EQ(k->dead_link, 20u);
  EXPECT_EQ(k->state, 0u);
  EXPECT_EQ(k->cwnd, 0u);
  EXPECT_EQ(k->updated, 0u);
  EXPECT_EQ(k->acklist, nullptr);
  EXPECT_EQ(k->ackcount + k->ackblock + k->nodelay + k->fastresend + k->nocwnd + k->stream, 0u);
  EXPECT_EQ(k->writelog, nullptr);
  EXPECT_EQ(k->user, &p);
  check_counts(k);
  EXPECT_EQ(ikcp_waitsnd(k), 0);
  EXPECT_EQ(ikcp_waitsnd(nullptr), 0);
}

TEST(KcpCore, SettingsClampAndKeep) {
  Peer p;
  EXPECT_EQ(ikcp_nodelay(p.kcp, 0, 1, -1, -1), 0);
  EXPECT_EQ(p.kcp->interval, 3u);
  ikcp_nodelay(p.kcp, -1, 9, -1, -1);
  EXPECT_EQ(p.kcp->interval, 9u);
  ikcp_nodelay(p.kcp, -1, 6000, -1, -1);
  EXPECT_EQ(p.kcp->interval, 5000u);
  ikcp_nodelay(p.kcp, 1, -1, 2, 1);
  EXPECT_EQ(p.kcp->rx_minrto, 30);
  EXPECT_EQ(p.kcp->nodelay, 1u);
  EXPECT_EQ(p.kcp->fastresend, 2);
  EXPECT_EQ(p.kcp->nocwnd, 1);
  EXPECT_EQ(p.kcp->interval, 5000u);
  ikcp_nodelay(p.kcp, 0, -1, -1, -1);
  EXPECT_EQ(p.kcp->rx_minrto, 100);
  EXPECT_EQ(p.kcp->fastresend, 2);

  EXPECT_EQ(ikcp_wndsize(p.kcp, 0, -3), 0);
  EXPECT_EQ(p.kcp->snd_wnd, 32u);
  EXPECT_EQ(p.kcp->rcv_wnd, 32u);
  ikcp_wndsize(p.kcp, 256, 1);  // no lower bound on the receive window
  EXPECT_EQ(p.kcp->snd_wnd, 256u);
  EXPECT_EQ(p.kcp->rcv_wnd, 1u);

  EXPECT_EQ(ikcp_setmtu(p.kcp, 49), -1);
  EXPECT_EQ(p.kcp->mtu, 1400u);
  EXPECT_EQ(ikcp_setmtu(p.kcp, 50), 0);
  EXPECT_EQ(p.kcp->mtu, 50u);
  EXPECT_EQ(p.kcp->mss, 26u);
}

// ---------------------------------------------------------------- wire format

TEST(KcpCore, FirstPushOfSessionMatchesWireExample) {
  Peer p(123457789);
  ASSERT_EQ(ikcp_setmtu(p.kcp, 1340), 0);
  ikcp_wndsize(p.kcp, 256, 512);
  ikcp_nodelay(p.kcp, 0, 3, 0, 0);
  ikcp_update(p.kcp, 997);  // the first flush opens the congestion window
  EXPECT_TRUE(p.sent.empty());
  ASSERT_EQ(ikcp_send(p.kcp, "hello", 5), 0);
  ikcp_update(p.kcp, 1000);
  ASSERT_EQ(p.sent.size(), 1u);
  const unsigned char expect[24] = {0xFD, 0xD0, 0x5B, 0x07, 0x51, 0x00, 0x00, 0x02,
                                    0xE8, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                    0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00};
  EXPECT_EQ(p.sent[0], std::string(reinterpret_cast<const char*>(expect), 24) + "hello");
}

TEST(KcpCore, DatagramsPackSegmentsUpToMtuAndNeverEmpty) {
  Peer p;
  ikcp_setmtu(p.kcp, 200);  // mss 176
  ikcp_wndsize(p.kcp, 64, 64);
  ikcp_nodelay(p.kcp, 0, 10, 0, 1);
  for (int i = 0; i < 10; ++i) ASSERT_EQ(ikcp_send(p.kcp, std::string(60, char('a' + i)).data(), 60), 0);
  ikcp_update(p.kcp, 0);
  // 84-byte segments: two per 200-byte datagram.
  ASSERT_EQ(p.sent.size(), 5u);
  for (const auto& d : p.sent) {
    EXPECT_EQ(d.size(), 168u);
    EXPECT_EQ(parse(d).size(), 2u);
  }
  p.sent.clear();
  ikcp_flush(p.kcp);  // nothing due
  ikcp_update(p.kcp, 10);
  EXPECT_TRUE(p.sent.empty());
}

// ---------------------------------------------------------------- input validation

TEST(KcpCore, InputRejectsBadDatagramsWithDocumentedCodes) {
  const uint32_t conv = 0xA1B2C3D4;
  Peer p(conv);
  ikcp_update(p.kcp, 100);
  const std::string good = seg_bytes(conv, IKCP_CMD_PUSH, 0, 32, 90, 0, 0, "abc");

  EXPECT_EQ(ikcp_input(nullptr, good.data(), uint32_t(good.size())), -1);
  EXPECT_EQ(ikcp_input(p.kcp, nullptr, 100), -1);
  auto before = snapshot(p.kcp);
  EXPECT_EQ(p.input(good.substr(0, 23)), -1);
  EXPECT_EQ(snapshot(p.kcp), before);

  // Foreign conv on the only segment: nothing changes.
  EXPECT_EQ(p.input(seg_bytes(conv + 1, IKCP_CMD_PUSH, 0, 32, 90, 0, 0, "abc")), -1);
  EXPECT_EQ(snapshot(p.kcp), before);

  // len above the bytes left, including lengths above 2^31.
  for (int64_t bad_len : {int64_t(4), int64_t(0x7FFFFFFF), int64_t(0x80000000), int64_t(0xFFFFFFFF)}) {
    EXPECT_EQ(p.input(seg_bytes(conv, IKCP_CMD_PUSH, 0, 32, 90, 0, 0, "abc", bad_len)), -2) << bad_len;
    EXPECT_EQ(snapshot(p.kcp), before);
  }
  for (uint32_t cmd : {80u, 85u, 0u, 255u}) {
    EXPECT_EQ(p.input(seg_bytes(conv, cmd, 0, 32, 90, 0, 0, "abc")), -3) << cmd;
    EXPECT_EQ(snapshot(p.kcp), before);
  }

  // 24 bytes plus 10 stray bytes: the segment counts, the rest is ignored.
  Peer q(conv);
  ikcp_update(q.kcp, 100);
  EXPECT_EQ(q.input(seg_bytes(conv, IKCP_CMD_PUSH, 0, 32, 90, 0, 0, "") + std::string(10, 'x')), 0);
  EXPECT_EQ(q.kcp->rcv_nxt, 1u);
  EXPECT_EQ(q.kcp->ackcount, 1u);

  // A bad second segment: the first keeps its effect.
  for (const std::string& second :
       {seg_bytes(conv ^ 1, IKCP_CMD_PUSH, 0, 32, 90, 1, 0, "de"),
        seg_bytes(conv, IKCP_CMD_PUSH, 0, 32, 90, 1, 0, "de", 0x80000001),
        seg_bytes(conv, 85, 0, 32, 90, 1, 0, "de")}) {
    Peer r(conv);
    ikcp_update(r.kcp, 100);
    const int expect = second[0] != good[0] ? -1 : (second[4] == 85 ? -3 : -2);
    EXPECT_EQ(r.input(good + second), expect);
    EXPECT_EQ(r.kcp->rcv_nxt, 1u);
    EXPECT_EQ(r.kcp->ackcount, 1u);
    EXPECT_EQ(r.recv(), "abc");
    EXPECT_EQ(r.kcp->nrcv_buf, 0u);
  }
}

TEST(KcpCore, PushOutsideReceiveWindow) {
  const uint32_t conv = 5;
  Peer p(conv);
  ikcp_wndsize(p.kcp, 32, 4);
  ikcp_update(p.kcp, 0);
  // sn 4 = rcv_nxt + rcv_wnd: neither acknowledged nor stored.
  EXPECT_EQ(p.input(seg_bytes(conv, IKCP_CMD_PUSH, 0, 32, 0, 4, 0, "x")), 0);
  EXPECT_EQ(p.kcp->ackcount, 0u);
  EXPECT_EQ(p.kcp->nrcv_buf, 0u);
  // sn 3 is inside: stored out of order and acknowledged.
  EXPECT_EQ(p.input(seg_bytes(conv, IKCP_CMD_PUSH, 0, 32, 0, 3, 0, "d")), 0);
  EXPECT_EQ(p.kcp->nrcv_buf, 1u);
  EXPECT_EQ(p.input(seg_bytes(conv, IKCP_CMD_PUSH, 0, 32, 0, 3, 0, "d")), 0);  // duplicate
  EXPECT_EQ(p.kcp->nrcv_buf, 1u);
  for (uint32_t sn : {1u, 0u, 2u})
    EXPECT_EQ(p.input(seg_bytes(conv, IKCP_CMD_PUSH, 0, 32, 0, sn, 0, std::string(1, char('a' + sn)))), 0);
  EXPECT_EQ(p.kcp->rcv_nxt, 4u);
  EXPECT_EQ(p.kcp->nrcv_que, 4u);
  EXPECT_EQ(p.kcp->ackcount, 5u);
  // sn 0 < rcv_nxt: acknowledged again, not stored.
  EXPECT_EQ(p.input(seg_bytes(conv, IKCP_CMD_PUSH, 0, 32, 0, 0, 0, "a")), 0);
  EXPECT_EQ(p.kcp->ackcount, 6u);
  EXPECT_EQ(p.kcp->nrcv_que, 4u);
  check_counts(p.kcp);
  for (const char* want : {"a", "b", "c", "d"}) EXPECT_EQ(p.recv(), want);
  EXPECT_EQ(p.recv(), "<-1>");
}

// ---------------------------------------------------------------- send and receive

TEST(KcpCore, MessageFragmentLimit) {
  Peer p;
  const int mss = int(p.kcp->mss);
  std::string big(size_t(255 * mss), 'z');
  EXPECT_EQ(ikcp_send(p.kcp, big.data(), int32_t(big.size())), 0);
  EXPECT_EQ(p.kcp->nsnd_que, 255u);
  uint32_t want = 254;
  for (const TKcpSeg* s = p.kcp->snd_queue.next; s != &p.kcp->snd_queue; s = s->next) {
    EXPECT_EQ(s->frg, want--);
    EXPECT_EQ(s->len, uint32_t(mss));
  }
  big.push_back('z');
  EXPECT_EQ(ikcp_send(p.kcp, big.data(), int32_t(big.size())), -2);
  EXPECT_EQ(p.kcp->nsnd_que, 255u);
  EXPECT_EQ(ikcp_send(p.kcp, "x", -1), -1);
  EXPECT_EQ(ikcp_send(nullptr, "x", 1), -1);
  check_counts(p.kcp);

  Peer s;
  s.kcp->stream = 1;
  EXPECT_EQ(ikcp_send(s.kcp, big.data(), int32_t(big.size())), -2);
  EXPECT_EQ(s.kcp->nsnd_que, 0u);
}

// Moves every datagram from a to b and b to a, repeatedly, at time t.
void exchange(Peer& a, Peer& b, uint32_t& t, int rounds = 30) {
  for (int i = 0; i < rounds; ++i) {
    t += 100;
    ikcp_update(a.kcp, t);
    ikcp_update(b.kcp, t);
    for (auto& d : a.sent) EXPECT_EQ(b.input(d), 0);
    a.sent.clear();
    for (auto& d : b.sent) EXPECT_EQ(a.input(d), 0);
    b.sent.clear();
  }
}

TEST(KcpCore, EmptyMessagesAndStreamMerging) {
  Peer a, b;
  uint32_t t = 0;
  EXPECT_EQ(ikcp_send(a.kcp, nullptr, 0), 0);
  EXPECT_EQ(a.kcp->nsnd_que, 1u);
  EXPECT_EQ(ikcp_send(a.kcp, "tail", 4), 0);
  exchange(a, b, t);
  EXPECT_EQ(ikcp_peeksize(b.kcp), 0);
  EXPECT_EQ(b.recv(), "");
  EXPECT_EQ(b.recv(), "tail");

  Peer c, d;
  c.kcp->stream = d.kcp->stream = 1;
  EXPECT_EQ(ikcp_send(c.kcp, nullptr, 0), 0);
  EXPECT_EQ(c.kcp->nsnd_que, 0u);
  ASSERT_EQ(ikcp_send(c.kcp, "abc", 3), 0);
  ASSERT_EQ(ikcp_send(c.kcp, "def", 3), 0);
  EXPECT_EQ(c.kcp->nsnd_que, 1u);
  EXPECT_EQ(c.kcp->snd_queue.next->len, 6u);
  // Tops up the last segment to mss, then cuts the rest.
  const std::string more(c.kcp->mss + 10, 'm');
  ASSERT_EQ(ikcp_send(c.kcp, more.data(), int32_t(more.size())), 0);
  EXPECT_EQ(c.kcp->nsnd_que, 2u);
  EXPECT_EQ(c.kcp->snd_queue.next->len, c.kcp->mss);
  EXPECT_EQ(c.kcp->snd_queue.prev->len, 16u);
  EXPECT_EQ(c.kcp->snd_queue.prev->frg, 0u);
  exchange(c, d, t);
  std::string got;
  for (std::string s; (s = d.recv()) != "<-1>";) got += s;
  EXPECT_TRUE(got == "abcdef" + more);
}

TEST(KcpCore, RecvShortBufferAndPeek) {
  Peer a, b;
  uint32_t t = 0;
  const std::string msg(3000, 'q');
  ASSERT_EQ(ikcp_send(a.kcp, msg.data(), int32_t(msg.size())), 0);
  EXPECT_EQ(ikcp_recv(b.kcp, nullptr, 10), -1);
  exchange(a, b, t);
  EXPECT_EQ(ikcp_peeksize(b.kcp), 3000);
  EXPECT_EQ(b.recv(2999), "<-3>");
  EXPECT_EQ(b.kcp->nrcv_que, 3u);
  EXPECT_TRUE(b.recv(-3000) == msg);
  EXPECT_EQ(b.kcp->nrcv_que, 3u);
  EXPECT_EQ(b.recv(-2999), "<-3>");
  EXPECT_TRUE(b.recv(3000) == msg);
  EXPECT_EQ(b.kcp->nrcv_que, 0u);

  // The same rules for a message of one segment.
  ASSERT_EQ(ikcp_send(a.kcp, "single", 6), 0);
  exchange(a, b, t);
  EXPECT_EQ(b.recv(5), "<-3>");
  EXPECT_EQ(b.recv(-6), "single");
  EXPECT_EQ(b.kcp->nrcv_que, 1u);
  EXPECT_EQ(b.recv(6), "single");
  EXPECT_EQ(b.kcp->nrcv_que, 0u);

  // A message whose later fragments are still missing: -2.
  Peer c(9);
  ikcp_update(c.kcp, 0);
  ASSERT_EQ(c.input(seg_bytes(9, IKCP_CMD_PUSH, 1, 32, 0, 0, 0, "first")), 0);
  EXPECT_EQ(ikcp_peeksize(c.kcp), -1);
  EXPECT_EQ(c.recv(), "<-2>");
  ASSERT_EQ(c.input(seg_bytes(9, IKCP_CMD_PUSH, 0, 32, 0, 1, 0, "+last")), 0);
  EXPECT_EQ(c.recv(), "first+last");
}

TEST(KcpCore, FullReceiveQueueReportsOpenWindow) {
  Peer a, b;
  ikcp_wndsize(b.kcp, 32, 4);
  uint32_t t = 0;
  for (int i = 0; i < 6; ++i) ASSERT_EQ(ikcp_send(a.kcp, "m", 1), 0);
  exchange(a, b, t);
  EXPECT_EQ(b.kcp->nrcv_que, 4u);
  EXPECT_EQ(a.kcp->rmt_wnd, 0u);
  b.sent.clear();
  EXPECT_EQ(b.recv(), "m");
  EXPECT_EQ(b.kcp->probe, IKCP_ASK_TELL);
  ikcp_update(b.kcp, t + 100);
  const auto wins = b.sent_segments(IKCP_CMD_WINS);
  ASSERT_EQ(wins.size(), 1u);
  EXPECT_EQ(wins[0].wnd, 1u);
  EXPECT_EQ(b.kcp->probe, 0u);

  // A WASK is answered by a WINS at the next flush.
  b.sent.clear();
  ASSERT_EQ(b.input(seg_bytes(b.kcp->conv, IKCP_CMD_WASK, 0, 32, 0, 0, 0, "")), 0);
  ikcp_flush(b.kcp);
  EXPECT_EQ(b.sent_segments(IKCP_CMD_WINS).size(), 1u);
}

TEST(KcpCore, AckAndProbeHeadersOnTheWire) {
  const uint32_t conv = 0x0A0B0C0D;
  Peer p(conv);
  ikcp_wndsize(p.kcp, 32, 16);
  ikcp_update(p.kcp, 5000);
  for (uint32_t sn : {0u, 1u, 3u})
    ASSERT_EQ(p.input(seg_bytes(conv, IKCP_CMD_PUSH, 0, 9, 4000 + sn, sn, 0, "p")), 0);
  ASSERT_EQ(p.input(seg_bytes(conv, IKCP_CMD_WASK, 0, 9, 4444, 0, 0, "")), 0);
  p.kcp->probe |= IKCP_ASK_SEND;
  ikcp_update(p.kcp, 5100);
  ASSERT_EQ(p.sent.size(), 1u);
  // Three ACKs, then WASK, then WINS, packed in one datagram.
  std::string want;
  for (uint32_t sn : {0u, 1u, 3u}) want += seg_bytes(conv, IKCP_CMD_ACK, 0, 14, 4000 + sn, sn, 2, "");
  want += seg_bytes(conv, IKCP_CMD_WASK, 0, 14, 5100, 0, 2, "");
  want += seg_bytes(conv, IKCP_CMD_WINS, 0, 14, 5100, 0, 2, "");
  EXPECT_EQ(p.sent[0], want);
}

TEST(KcpCore, PushHeadersOnTheWire) {
  const uint32_t conv = 0x55AA00FF;
  Peer p(conv);
  ikcp_setmtu(p.kcp, 124);  // mss 100
  ikcp_wndsize(p.kcp, 32, 20);
  ikcp_nodelay(p.kcp, 0, 10, 0, 1);
  ikcp_update(p.kcp, 300);
  const std::string msg(250, 'f');
  ASSERT_EQ(ikcp_send(p.kcp, msg.data(), int32_t(msg.size())), 0);
  ikcp_flush(p.kcp);
  ASSERT_EQ(p.sent.size(), 3u);
  for (uint32_t i = 0; i < 3; ++i)
    EXPECT_EQ(p.sent[i], seg_bytes(conv, IKCP_CMD_PUSH, 2 - i, 20, 300, i, 0, msg.substr(100 * i, 100)));
  p.sent.clear();

  // A PUSH from the peer moves rcv_nxt; a retransmission carries the new
  // ts, wnd and una.
  ASSERT_EQ(p.input(seg_bytes(conv, IKCP_CMD_PUSH, 0, 32, 7, 0, 1, "in")), 0);
  const uint32_t due = p.kcp->snd_buf.next->next->resendts;
  p.kcp->current = due;
  ikcp_flush(p.kcp);
  ASSERT_EQ(p.sent.size(), 3u);
  EXPECT_EQ(p.sent[0], seg_bytes(conv, IKCP_CMD_ACK, 0, 19, 7, 0, 1, ""));
  EXPECT_EQ(p.sent[1], seg_bytes(conv, IKCP_CMD_PUSH, 1, 19, due, 1, 1, msg.substr(100, 100)));
  EXPECT_EQ(p.sent[2], seg_bytes(conv, IKCP_CMD_PUSH, 0, 19, due, 2, 1, msg.substr(200, 50)));
}

// ---------------------------------------------------------------- timing rules

TEST(KcpCore, RttEstimateAndRto) {
  const uint32_t conv = 3;
  Peer p(conv);
  ikcp_update(p.kcp, 1000);
  auto ack = [&](uint32_t ts) { return p.input(seg_bytes(conv, IKCP_CMD_ACK, 0, 32, ts, 0, 0, "")); };
  ASSERT_EQ(ack(950), 0);  // rtt 50
  EXPECT_EQ(p.kcp->rx_srtt, 50);
  EXPECT_EQ(p.kcp->rx_rttval, 25);
  EXPECT_EQ(p.kcp->rx_rto, 150);
  ASSERT_EQ(ack(990), 0);  // rtt 10
  EXPECT_EQ(p.kcp->rx_rttval, (3 * 25 + 40) / 4);
  EXPECT_EQ(p.kcp->rx_srtt, (7 * 50 + 10) / 8);
  EXPECT_EQ(p.kcp->rx_rto, 45 + 4 * 28);
  ASSERT_EQ(ack(2000), 0);  // ts in the future: no sample
  EXPECT_EQ(p.kcp->rx_rto, 157);

  // rto = srtt + max(1, 4 * rttval), bounded below by rx_minrto.
  Peer q(conv);
  ikcp_update(q.kcp, 1000);
  q.kcp->rx_minrto = 0;
  ASSERT_EQ(q.input(seg_bytes(conv, IKCP_CMD_ACK, 0, 32, 999, 0, 0, "")), 0);
  EXPECT_EQ(q.kcp->rx_rttval, 0);
  EXPECT_EQ(q.kcp->rx_rto, 2);
  // A huge rtt is capped at 60000 ms without overflow.
  ASSERT_EQ(q.input(seg_bytes(conv, IKCP_CMD_ACK, 0, 32, 1000 - 0x7FFFFFFF, 0, 0, "")), 0);
  ASSERT_EQ(q.input(seg_bytes(conv, IKCP_CMD_ACK, 0, 32, 1000 - 0x7FFFFFFF, 0, 0, "")), 0);
  EXPECT_EQ(q.kcp->rx_rto, 60000);
}

TEST(KcpCore, RetransmissionTimeoutGrowth) {
  for (int nodelay : {0, 1}) {
    Peer p;
    ikcp_nodelay(p.kcp, nodelay, 10, 0, 0);
    ikcp_update(p.kcp, 0);
    ASSERT_EQ(ikcp_send(p.kcp, "x", 1), 0);
    ikcp_flush(p.kcp);
    const TKcpSeg* seg = p.kcp->snd_buf.next;
    ASSERT_EQ(seg->xmit, 1u);
    EXPECT_EQ(seg->rto, 200u);
    EXPECT_EQ(seg->resendts, nodelay == 0 ? 200u + 25u : 200u);
    std::vector<uint32_t> send_times, rtos;
    for (uint32_t t = 1; t < 20000 && send_times.size() < 4; ++t) {
      const size_t before = p.sent.size();
      ikcp_update(p.kcp, t);
      if (p.sent.size() > before && !p.sent_segments(IKCP_CMD_PUSH).empty()) {
        send_times.push_back(t);
        rtos.push_back(seg->rto);
        p.sent.clear();
      }
    }
    ASSERT_EQ(send_times.size(), 4u);
    const uint32_t step = nodelay == 0 ? 200 : 100;
    EXPECT_EQ(send_times[0], nodelay == 0 ? 230u : 200u) << "interval 10 rounds the due time up";
    for (size_t i = 0; i < rtos.size(); ++i) EXPECT_EQ(rtos[i], 200 + step * (i + 1));
    EXPECT_EQ(p.kcp->xmit, 4u);
    EXPECT_EQ(p.kcp->cwnd, 1u);
  }
}

TEST(KcpCore, ClockJumpsResetFlushTime) {
  Peer p;
  ikcp_nodelay(p.kcp, -1, -1, -1, 1);
  ikcp_update(p.kcp, 50000);
  ikcp_update(p.kcp, 50010);
  EXPECT_EQ(p.kcp->ts_flush, 50100u);
  ASSERT_EQ(ikcp_send(p.kcp, "a", 1), 0);
  ikcp_update(p.kcp, 50100 + 10000);  // forward jump: flush at once
  EXPECT_EQ(p.kcp->ts_flush, 60100u + 100u);
  EXPECT_EQ(p.sent.size(), 1u);
  ASSERT_EQ(ikcp_send(p.kcp, "b", 1), 0);
  ikcp_update(p.kcp, 60100 - 10000);  // backward jump
  EXPECT_EQ(p.kcp->ts_flush, 50100u + 100u);
  EXPECT_EQ(p.sent_segments(IKCP_CMD_PUSH).size(), 2u);
  ikcp_update(p.kcp, 50100 + 50);  // not yet due
  EXPECT_EQ(p.sent.size(), 2u);
  // Slips of less than 10000 ms are kept.
  ikcp_update(p.kcp, 50200 - 9999);
  EXPECT_EQ(p.kcp->ts_flush, 50200u);
  EXPECT_EQ(p.sent.size(), 2u);
}

TEST(KcpCore, WindowProbeBackoff) {
  const uint32_t conv = 77;
  Peer p(conv);
  ikcp_nodelay(p.kcp, -1, 5, -1, -1);
  ikcp_update(p.kcp, 0);
  ASSERT_EQ(p.input(seg_bytes(conv, IKCP_CMD_WINS, 0, 0, 0, 0, 0, "")), 0);
  EXPECT_EQ(p.kcp->rmt_wnd, 0u);
  ikcp_update(p.kcp, 5);  // the first flush that sees the closed window
  EXPECT_EQ(p.kcp->probe_wait, 7000u);
  std::vector<uint32_t> wask_times = {5}, waits;
  for (uint32_t t = 6; t <= 700000; ++t) {
    ikcp_update(p.kcp, t);
    if (!p.sent.empty()) {
      EXPECT_EQ(p.sent_segments(IKCP_CMD_WASK).size(), 1u);
      wask_times.push_back(t);
      waits.push_back(p.kcp->probe_wait);
      p.sent.clear();
    }
  }
  ASSERT_GE(wask_times.size(), 9u);
  std::vector<uint32_t> gaps;
  for (size_t i = 1; i < wask_times.size(); ++i) gaps.push_back(wask_times[i] - wask_times[i - 1]);
  EXPECT_EQ(gaps[0], 7000u);
  EXPECT_EQ(gaps[1], 10500u);
  EXPECT_EQ(gaps[2], 15750u);
  EXPECT_EQ(gaps[3], 23625u);
  const std::vector<uint32_t> want_waits = {10500, 15750, 23625, 35437, 53155, 79732, 119598, 120000, 120000};
  EXPECT_EQ(std::vector<uint32_t>(waits.begin(), waits.begin() + 9), want_waits);
  EXPECT_EQ(gaps.back(), 120000u);

  // An open window ends the probing.
  ASSERT_EQ(p.input(seg_bytes(conv, IKCP_CMD_WINS, 0, 8, 0, 0, 0, "")), 0);
  ikcp_update(p.kcp, 800000);
  EXPECT_EQ(p.kcp->probe_wait, 0u);
  EXPECT_EQ(p.kcp->ts_probe, 0u);
}

TEST(KcpCore, DeadLinkIsRecordedAndSendingGoesOn) {
  Peer p;
  ikcp_nodelay(p.kcp, 1, 10, 0, 0);
  ASSERT_EQ(ikcp_send(p.kcp, "x", 1), 0);
  uint32_t t = 0;
  while (p.kcp->snd_buf.next == &p.kcp->snd_buf || p.kcp->snd_buf.next->xmit < 19) {
    ikcp_update(p.kcp, t);
    t += 1000;
    ASSERT_LT(t, 10000000u);
  }
  EXPECT_EQ(p.kcp->state, 0u);
  const uint32_t due = p.kcp->snd_buf.next->resendts;
  ikcp_update(p.kcp, due);
  ikcp_flush(p.kcp);
  EXPECT_EQ(p.kcp->snd_buf.next->xmit, 20u);
  EXPECT_EQ(int32_t(p.kcp->state), -1);
  p.sent.clear();
  ikcp_update(p.kcp, p.kcp->snd_buf.next->resendts);
  ikcp_flush(p.kcp);
  EXPECT_EQ(p.sent_segments(IKCP_CMD_PUSH).size(), 1u);
}

TEST(KcpCore, FastRetransmitHasNoLimit) {
  const uint32_t conv = 12;
  Peer p(conv);
  ikcp_nodelay(p.kcp, 1, 10, 2, 1);
  ikcp_wndsize(p.kcp, 128, 128);
  ikcp_update(p.kcp, 0);
  for (int i = 0; i < 32; ++i) ASSERT_EQ(ikcp_send(p.kcp, "d", 1), 0);
  ikcp_flush(p.kcp);
  ASSERT_EQ(p.kcp->snd_nxt, 32u);
  p.sent.clear();
  // Acknowledge everything but sn 0, two acks per flush.
  int resends_of_0 = 0;
  uint32_t t = 0;
  for (uint32_t sn = 1; sn < 32; sn += 2) {
    t += 1;
    ikcp_update(p.kcp, t);
    ASSERT_EQ(p.input(seg_bytes(conv, IKCP_CMD_ACK, 0, 128, t, sn, 0, "")), 0);
    ASSERT_EQ(p.input(seg_bytes(conv, IKCP_CMD_ACK, 0, 128, t, sn + 1, 0, "")), 0);
    ikcp_flush(p.kcp);
    for (const auto& h : p.sent_segments(IKCP_CMD_PUSH)) resends_of_0 += h.sn == 0;
    p.sent.clear();
  }
  EXPECT_GE(resends_of_0, 10);
  EXPECT_EQ(p.kcp->xmit, 0u) << "no timeout involved";
  EXPECT_EQ(p.kcp->nsnd_buf, 1u);
}

// ---------------------------------------------------------------- acknowledgement list

TEST(KcpCore, AckListGrowsByPowersOfTwo) {
  const uint32_t conv = 4;
  Peer p(conv);
  ikcp_wndsize(p.kcp, 32, 1024);
  ikcp_update(p.kcp, 0);
  std::vector<uint32_t> blocks;
  for (uint32_t sn = 0; sn < 40; ++sn) {
    ASSERT_EQ(p.input(seg_bytes(conv, IKCP_CMD_PUSH, 0, 32, sn * 3, sn, 0, "")), 0);
    blocks.push_back(p.kcp->ackblock);
  }
  EXPECT_EQ(blocks[0], 8u);
  EXPECT_EQ(blocks[7], 8u);
  EXPECT_EQ(blocks[8], 16u);
  EXPECT_EQ(blocks[16], 32u);
  EXPECT_EQ(blocks[39], 64u);
  p.sent.clear();
  ikcp_flush(p.kcp);
  const auto acks = p.sent_segments(IKCP_CMD_ACK);
  ASSERT_EQ(acks.size(), 40u);
  for (uint32_t i = 0; i < 40; ++i) {
    EXPECT_EQ(acks[i].sn, i);
    EXPECT_EQ(acks[i].ts, i * 3);
    EXPECT_EQ(acks[i].una, 40u);
    EXPECT_EQ(acks[i].len, 0u);
  }
  EXPECT_EQ(p.kcp->ackcount, 0u);
}

TEST(KcpCore, AckListIsCappedBetweenFlushes) {
  const uint32_t conv = 4;
  Peer p(conv);
  ikcp_update(p.kcp, 0);
  const std::string dup = seg_bytes(conv, IKCP_CMD_PUSH, 0, 32, 0, 0, 0, "");
  ASSERT_EQ(p.input(dup), 0);
  std::string burst;
  for (int i = 0; i < 50; ++i) burst += dup;  // sn 0 again: acknowledged each time
  for (uint32_t i = 0; i * 50 < IKCP_ACK_LIST_MAX + 1000; ++i) ASSERT_EQ(p.input(burst), 0);
  EXPECT_EQ(p.kcp->ackcount, IKCP_ACK_LIST_MAX);
  EXPECT_EQ(p.kcp->ackblock, IKCP_ACK_LIST_MAX);
  ikcp_flush(p.kcp);
  EXPECT_EQ(p.kcp->ackcount, 0u);
  EXPECT_EQ(p.sent_segments(IKCP_CMD_ACK).size(), size_t(IKCP_ACK_LIST_MAX));
}

TEST(KcpCore, SegmentBlocksAreRecycledWithinBounds) {
  Peer a, b;
  ikcp_wndsize(a.kcp, 1024, 1024);
  ikcp_wndsize(b.kcp, 1024, 1024);
  ikcp_nodelay(a.kcp, 0, 10, 0, 1);
  uint32_t t = 0;
  for (int i = 0; i < 600; ++i) ASSERT_EQ(ikcp_send(a.kcp, "r", 1), 0);
  exchange(a, b, t);
  EXPECT_EQ(ikcp_waitsnd(a.kcp), 0);
  EXPECT_EQ(a.kcp->seg_pool_count, IKCP_SEG_POOL_MAX) << "acknowledged blocks kept up to the cap";
  EXPECT_EQ(b.kcp->nrcv_que, 600u);
  for (int i = 0; i < 600; ++i) ASSERT_EQ(b.recv(), "r");
  EXPECT_EQ(b.kcp->seg_pool_count, IKCP_SEG_POOL_MAX);
  ASSERT_EQ(ikcp_send(a.kcp, "again", 5), 0);
  EXPECT_EQ(a.kcp->seg_pool_count, IKCP_SEG_POOL_MAX - 1);

  // Segments larger than a pooled block get blocks of their own size.
  Peer c, d;
  for (Peer* p : {&c, &d}) {
    ASSERT_EQ(ikcp_setmtu(p->kcp, 3000), 0);
    ikcp_wndsize(p->kcp, 128, 128);
  }
  std::vector<std::string> msgs;
  for (int i = 0; i < 40; ++i) {
    msgs.emplace_back(size_t(i % 2 ? 2900 + i : 10 + i), char('A' + i % 26));
    ASSERT_EQ(ikcp_send(c.kcp, msgs.back().data(), int32_t(msgs.back().size())), 0);
  }
  exchange(c, d, t);
  for (const auto& m : msgs) EXPECT_TRUE(d.recv() == m);
  check_counts(d.kcp);
}

// ---------------------------------------------------------------- assertions and allocation failures

template <class F>
void expect_assertion(F&& f, const std::string& text, int line) {
  try {
    f();
    ADD_FAILURE() << "no assertion for " << text;
  } catch (const EAssertionFailed& e) {
    EXPECT_EQ(e.text(), text);
    EXPECT_EQ(e.unit(), "apps\\common\\net\\ux_kcp_core");
    EXPECT_EQ(e.line(), line);
  }
}

TEST(KcpCore, AssertionErrors) {
  expect_assertion([] { ikcp_release(nullptr); }, "ikcp_release", 571);
  PkcpCb k = ikcp_create(1, nullptr);
  ASSERT_EQ(ikcp_send(k, "x", 1), 0);
  ikcp_update(k, 0);  // no output callback
  expect_assertion([&] { ikcp_flush(k); }, "ikcp_output", 472);
  k->mss = 0;
  expect_assertion([&] { (void)ikcp_send(k, "x", 1); }, "ikcp_send 0", 743);
  ikcp_release(k);
}

TEST(KcpCore, AllocationFailures) {
  HookScope hooks;
  for (int n = 0; n < 2; ++n) {
    FailingHeap::countdown = n;
    EXPECT_EQ(ikcp_create(1, nullptr), nullptr);
    EXPECT_EQ(FailingHeap::live, 0);
  }
  FailingHeap::countdown = -1;
  {
    Peer p(1);
    ikcp_update(p.kcp, 0);
    const std::string msg(p.kcp->mss * 3, 'w');

    FailingHeap::countdown = 2;  // the third fragment fails
    expect_assertion([&] { (void)ikcp_send(p.kcp, msg.data(), int32_t(msg.size())); }, "ikcp_send 2", 794);
    EXPECT_EQ(p.kcp->nsnd_que, 0u);

    FailingHeap::countdown = -1;
    p.kcp->stream = 1;
    ASSERT_EQ(ikcp_send(p.kcp, "ab", 2), 0);
    FailingHeap::countdown = 0;
    expect_assertion([&] { (void)ikcp_send(p.kcp, "cd", 2); }, "ikcp_send 1", 759);
    EXPECT_EQ(p.kcp->nsnd_que, 1u);
    EXPECT_EQ(p.kcp->snd_queue.next->len, 2u);
    // The merged segment is allocated, a fragment fails: nothing changes.
    FailingHeap::countdown = 1;
    const std::string more(p.kcp->mss + 5, 'm');
    expect_assertion([&] { (void)ikcp_send(p.kcp, more.data(), int32_t(more.size())); }, "ikcp_send 2", 794);
    EXPECT_EQ(p.kcp->nsnd_que, 1u);
    EXPECT_EQ(std::string(p.kcp->snd_queue.next->data(), p.kcp->snd_queue.next->len), "ab");

    FailingHeap::countdown = 0;
    const auto before = snapshot(p.kcp);
    EXPECT_EQ(ikcp_setmtu(p.kcp, 600), -2);
    EXPECT_EQ(snapshot(p.kcp), before);

    // A PUSH that cannot be stored is not acknowledged either.
    EXPECT_EQ(p.input(seg_bytes(1, IKCP_CMD_PUSH, 0, 32, 0, 0, 0, "zz")), 0);
    EXPECT_EQ(p.kcp->nrcv_buf + p.kcp->nrcv_que + p.kcp->ackcount, 0u);
    // Storage works, the acknowledgement list cannot grow.
    FailingHeap::countdown = 1;
    expect_assertion([&] { (void)p.input(seg_bytes(1, IKCP_CMD_PUSH, 0, 32, 0, 0, 0, "zz")); },
                     "ikcp_ack_push 0", 923);
    FailingHeap::countdown = -1;
    EXPECT_EQ(p.recv(), "zz");
    check_counts(p.kcp);
  }
  EXPECT_EQ(FailingHeap::live, 0) << "release frees every block";
}

TEST(KcpCore, HooksAreCapturedAtCreate) {
  PkcpCb with_default = ikcp_create(2, nullptr);
  int live_after_release = 0;
  {
    HookScope hooks;
    Peer p(2);
    ASSERT_EQ(ikcp_send(p.kcp, "abc", 3), 0);
    ASSERT_EQ(ikcp_send(with_default, "abc", 3), 0);  // default heap, not the hooks
    EXPECT_EQ(FailingHeap::live, 3);                   // block, buffer, one segment
    ikcp_release(p.kcp);
    p.kcp = nullptr;
    live_after_release = FailingHeap::live;
  }
  EXPECT_EQ(live_after_release, 0);
  ikcp_release(with_default);
}

TEST(KcpCore, LoweringMtuKeepsQueuedSegmentsInBounds) {
  Peer p;
  ikcp_nodelay(p.kcp, 0, 10, 0, 1);
  const std::string msg(1376 * 2, 'b');
  ASSERT_EQ(ikcp_send(p.kcp, msg.data(), int32_t(msg.size())), 0);
  ASSERT_EQ(ikcp_setmtu(p.kcp, 50), 0);
  ASSERT_EQ(ikcp_send(p.kcp, "0123456789012345678901234567890", 31), 0);
  EXPECT_EQ(p.kcp->snd_queue.prev->len, 5u);
  p.kcp->output = [](const char* buf, int32_t len, PkcpCb, void* user) {
    static_cast<Peer*>(user)->sent.emplace_back(buf, size_t(len));
    return true;
  };
  ikcp_update(p.kcp, 0);
  size_t bytes = 0;
  for (const auto& d : p.sent) {
    for (const auto& h : parse(d)) bytes += h.len;
    EXPECT_TRUE(d.size() <= 50 || parse(d).size() == 1) << "an old segment travels alone";
  }
  EXPECT_EQ(bytes, msg.size() + 31);
}

// ---------------------------------------------------------------- logging

TEST(KcpCore, LogLinesAndMask) {
  Peer a(1), b(1);
  a.kcp->writelog = &Peer::on_log;
  b.kcp->writelog = &Peer::on_log;
  a.kcp->logmask = IKCP_LOG_OUTPUT;
  b.kcp->logmask = IKCP_LOG_INPUT | IKCP_LOG_RECV | IKCP_LOG_IN_DATA | IKCP_LOG_IN_ACK |
                   IKCP_LOG_IN_PROBE | IKCP_LOG_IN_WINS;
  ikcp_update(a.kcp, 1000);
  ikcp_update(b.kcp, 1000);
  ASSERT_EQ(ikcp_send(a.kcp, "hello", 5), 0);
  ikcp_flush(a.kcp);
  ASSERT_EQ(a.log, std::vector<std::string>{"[RO] 29 bytes\r\n"});
  ASSERT_EQ(b.input(a.sent[0]), 0);
  EXPECT_EQ(b.recv(), "hello");
  ASSERT_EQ(b.input(seg_bytes(1, IKCP_CMD_ACK, 0, 32, 990, 0, 0, "")), 0);
  ASSERT_EQ(b.input(seg_bytes(1, IKCP_CMD_WASK, 0, 32, 0, 0, 0, "")), 0);
  ASSERT_EQ(b.input(seg_bytes(1, IKCP_CMD_WINS, 0, 17, 0, 0, 0, "")), 0);
  const std::vector<std::string> want = {
      "[RI] 29 bytes\r\n", "input psh: sn=0 ts=1000\r\n", "recv sn = 0\r\n",
      "[RI] 24 bytes\r\n", "input ack: sn=0 rtt=10 rto=100\r\n", "[RI] 24 bytes\r\n",
      "input probe\r\n", "[RI] 24 bytes\r\n", "input wins: 17\r\n"};
  EXPECT_EQ(b.log, want);

  // Both bits 16 and 32 are needed for the per-segment lines.
  b.log.clear();
  b.kcp->logmask = IKCP_LOG_IN_DATA;
  ASSERT_EQ(b.input(seg_bytes(1, IKCP_CMD_PUSH, 0, 32, 0, 1, 0, "x")), 0);
  EXPECT_TRUE(b.log.empty());
}

// ---------------------------------------------------------------- simulated link

struct LinkConfig {
  double loss = 0, dup = 0;
  uint32_t delay_min = 5, delay_max = 5;  // ms; unequal delays reorder
};

// One direction of a lossy, duplicating, reordering link in simulated time.
struct Link {
  LinkConfig cfg;
  std::mt19937_64 rng;
  struct Pkt {
    uint64_t at;
    std::string data;
  };
  std::vector<Pkt> flight;
  uint64_t now = 0;
  size_t max_datagram = 0;

  Link(LinkConfig c, uint64_t seed) : cfg(c), rng(seed) {}
  double uniform() { return std::uniform_real_distribution<double>(0, 1)(rng); }
  void push(const char* buf, int32_t len) {
    max_datagram = std::max(max_datagram, size_t(len));
    if (uniform() < cfg.loss) return;
    const int copies = uniform() < cfg.dup ? 2 : 1;
    for (int i = 0; i < copies; ++i) {
      const uint64_t delay = cfg.delay_min + rng() % (cfg.delay_max - cfg.delay_min + 1);
      flight.push_back({now + delay, std::string(buf, size_t(len))});
    }
  }
  template <class F>
  void deliver(F&& to) {
    std::vector<Pkt> due;
    auto it = std::stable_partition(flight.begin(), flight.end(), [&](const Pkt& p) { return p.at > now; });
    due.assign(std::make_move_iterator(it), std::make_move_iterator(flight.end()));
    flight.erase(it, flight.end());
    std::stable_sort(due.begin(), due.end(), [](const Pkt& a, const Pkt& b) { return a.at < b.at; });
    for (auto& p : due) to(p.data);
  }
};

struct Endpoint {
  PkcpCb kcp;
  Link* out;
  static bool on_output(const char* buf, int32_t len, PkcpCb, void* user) {
    EXPECT_GT(len, 0);
    static_cast<Endpoint*>(user)->out->push(buf, len);
    return true;
  }
};

struct Scenario {
  bool stream;
  int nodelay, interval, resend, nc;
  LinkConfig link;
  const char* name;
};

// Both ends send random messages to each other; every byte must arrive in order.
void run_scenario(const Scenario& sc, uint64_t seed) {
  SCOPED_TRACE(sc.name);
  Link ab(sc.link, seed), ba(sc.link, seed + 1);
  Endpoint a{ikcp_create(0xC0FFEE, nullptr), &ab}, b{ikcp_create(0xC0FFEE, nullptr), &ba};
  for (Endpoint* e : {&a, &b}) {
    e->kcp->user = e;
    ikcp_setoutput(e->kcp, &Endpoint::on_output);
    ikcp_setmtu(e->kcp, 1340);
    ikcp_wndsize(e->kcp, 64, 128);
    ikcp_nodelay(e->kcp, sc.nodelay, sc.interval, sc.resend, sc.nc);
    e->kcp->stream = sc.stream;
  }
  // Sequence numbers start just below the 32-bit wrap in both directions.
  a.kcp->snd_una = a.kcp->snd_nxt = b.kcp->rcv_nxt = 0xFFFFFFC0u;
  b.kcp->snd_una = b.kcp->snd_nxt = a.kcp->rcv_nxt = 0xFFFFFFF0u;
  std::mt19937_64 rng(seed * 7 + 3);
  struct Dir {
    Endpoint* from;
    Endpoint* to;
    std::vector<std::string> msgs;
    size_t next_send = 0;
    std::string expect, got;
    size_t msgs_got = 0;
  };
  Dir dirs[2] = {{&a, &b, {}, 0, {}, {}, 0}, {&b, &a, {}, 0, {}, {}, 0}};
  for (Dir& d : dirs) {
    for (int i = 0; i < 300; ++i) {
      size_t n = rng() % 4 == 0 ? rng() % (1316 * 6) : rng() % 200;
      if (!sc.stream && i % 37 == 0) n = 0;
      std::string m(n, '\0');
      for (char& c : m) c = static_cast<char>(rng());
      d.expect += m;
      d.msgs.push_back(std::move(m));
    }
  }

  // Engine clock = link time + offset; the offset jumps both ways, and starts
  // near the 32-bit wrap.
  int64_t offset = int64_t(0xFFFFFFFFu) - 3000;
  std::vector<char> buf(1316 * 8);
  uint64_t t = 0;
  bool done = false;
  for (; t < 2000000 && !done; ++t) {
    if (t == 150) offset += 15000;
    if (t == 350) offset -= 25000;
    ab.now = ba.now = t;
    const uint32_t clock = uint32_t(int64_t(t) + offset);
    ikcp_update(a.kcp, clock);
    ikcp_update(b.kcp, clock);
    for (Dir& d : dirs) {
      while (d.next_send < d.msgs.size() && ikcp_waitsnd(d.from->kcp) < 128) {
        const std::string& m = d.msgs[d.next_send++];
        ASSERT_EQ(ikcp_send(d.from->kcp, m.data(), int32_t(m.size())), 0);
      }
    }
    ab.deliver([&](const std::string& dg) { EXPECT_EQ(ikcp_input(b.kcp, dg.data(), uint32_t(dg.size())), 0); });
    ba.deliver([&](const std::string& dg) { EXPECT_EQ(ikcp_input(a.kcp, dg.data(), uint32_t(dg.size())), 0); });
    done = true;
    for (Dir& d : dirs) {
      for (;;) {
        const int n = ikcp_recv(d.to->kcp, buf.data(), int32_t(buf.size()));
        if (n < 0) {
          EXPECT_TRUE(n == -1 || n == -2) << n;
          break;
        }
        if (!sc.stream) {
          ASSERT_LT(d.msgs_got, d.msgs.size());
          ASSERT_EQ(std::string(buf.data(), size_t(n)), d.msgs[d.msgs_got]) << "message " << d.msgs_got;
          ++d.msgs_got;
        }
        d.got.append(buf.data(), size_t(n));
      }
      check_counts(d.to->kcp);
      done = done && d.got.size() == d.expect.size();
    }
  }
  EXPECT_TRUE(done) << "not delivered by t=" << t;
  for (Dir& d : dirs) {
    EXPECT_EQ(d.got.size(), d.expect.size());
    EXPECT_TRUE(d.got == d.expect);
  }
  EXPECT_LT(a.kcp->snd_nxt, 0x1000u) << "sequence numbers wrapped";
  EXPECT_LE(ab.max_datagram, 1340u);
  EXPECT_LE(ba.max_datagram, 1340u);
  ikcp_release(a.kcp);
  ikcp_release(b.kcp);
}

TEST(KcpCoreLink, DeliversInOrderOverBadLinks) {
  const LinkConfig clean{0, 0, 5, 5};
  const LinkConfig bad{0.10, 0.05, 2, 40};
  const LinkConfig awful{0.30, 0.20, 1, 120};
  const Scenario scenarios[] = {
      {false, 0, 10, 0, 0, clean, "message, normal, clean"},
      {false, 0, 3, 0, 0, bad, "message, normal, lossy"},
      {true, 0, 3, 0, 0, bad, "stream, normal, lossy"},
      {false, 1, 10, 2, 1, bad, "message, fast, lossy"},
      {true, 1, 10, 2, 1, awful, "stream, fast, awful"},
      {false, 0, 20, 0, 1, awful, "message, nocwnd, awful"},
  };
  uint64_t seed = 1;
  for (const Scenario& sc : scenarios) run_scenario(sc, seed++);
}

// ---------------------------------------------------------------- fuzzing ikcp_input

// Expected result of ikcp_input for a datagram, by walking it independently.
int expected_input_result(const std::string& d, uint32_t conv) {
  if (d.size() < 24) return -1;
  size_t at = 0;
  while (d.size() - at >= 24) {
    if (get_le(d, at, 4) != conv) return -1;
    const uint64_t len = get_le(d, at + 20, 4);
    const uint64_t cmd = get_le(d, at + 4, 1);
    if (d.size() - at - 24 < len) return -2;
    if (cmd < 81 || cmd > 84) return -3;
    at += 24 + len;
  }
  return 0;
}

TEST(KcpCoreFuzz, RandomAndMutatedDatagrams) {
  const uint32_t conv = 0x01020304;
  std::mt19937_64 rng(2026);
  Peer victim(conv);
  ikcp_wndsize(victim.kcp, 64, 64);
  ikcp_update(victim.kcp, 500);
  // Valid traffic from a real sender as mutation seeds.
  Peer sender(conv);
  ikcp_wndsize(sender.kcp, 64, 64);
  ikcp_nodelay(sender.kcp, 1, 10, 2, 1);
  for (int i = 0; i < 60; ++i) {
    std::string m(rng() % 3000, char(i));
    ASSERT_EQ(ikcp_send(sender.kcp, m.data(), int32_t(m.size())), 0);
  }
  for (uint32_t t = 0; t < 2000; t += 10) ikcp_update(sender.kcp, t);
  ASSERT_FALSE(sender.sent.empty());
  std::vector<std::string> seeds = sender.sent;
  seeds.push_back(seg_bytes(conv, IKCP_CMD_ACK, 0, 10, 1, 2, 3, "") + seg_bytes(conv, IKCP_CMD_WASK, 0, 0, 0, 0, 0, ""));

  int counts[4] = {0, 0, 0, 0};
  char sink[1 << 16];
  for (int iter = 0; iter < 40000; ++iter) {
    std::string d;
    const int kind = int(rng() % 4);
    if (kind == 0) {
      d.resize(rng() % 200);
      for (char& c : d) c = char(rng());
      if (d.size() >= 4 && rng() % 2) d.replace(0, 4, seg_bytes(conv, 0, 0, 0, 0, 0, 0, "").substr(0, 4));
    } else {
      d = seeds[rng() % seeds.size()];
      const int edits = 1 + int(rng() % 4);
      for (int e = 0; e < edits; ++e) {
        switch (rng() % 5) {
          case 0: if (!d.empty()) d[rng() % d.size()] ^= char(1 << (rng() % 8)); break;
          case 1: if (!d.empty()) d.resize(rng() % d.size()); break;
          case 2: d += std::string(rng() % 40, char(rng())); break;
          case 3: if (d.size() >= 24) { const uint32_t v = uint32_t(rng()); std::memcpy(&d[20], &v, 4); } break;
          default: if (d.size() >= 6) d[4] = char(78 + rng() % 10); break;
        }
      }
    }
    std::vector<char> exact(d.begin(), d.end());
    const int r = ikcp_input(victim.kcp, exact.empty() ? nullptr : exact.data(), uint32_t(exact.size()));
    ASSERT_EQ(r, d.empty() ? -1 : expected_input_result(d, conv)) << "iteration " << iter;
    ++counts[-r];
    if (iter % 50 == 0) {
      ikcp_update(victim.kcp, 500 + uint32_t(iter));
      victim.sent.clear();
      while (ikcp_recv(victim.kcp, sink, sizeof sink) >= 0) {
      }
    }
    if (iter % 997 == 0) check_counts(victim.kcp);
  }
  check_counts(victim.kcp);
  for (int c : counts) EXPECT_GT(c, 100);
}

}  // namespace
