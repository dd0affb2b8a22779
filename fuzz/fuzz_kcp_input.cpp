// ikcp_input on a live control block that has data of its own in flight,
// interleaved with clock updates, receives, sends and setting changes.
//
// Input: a sequence of operations, each one byte followed by its operands:
//   0-3  datagram: u16 length, then that many bytes, fed to ikcp_input
//   4    update:   u16 milliseconds added to the clock
//   5    receive:  u16 buffer size read as signed (negative peeks)
//   6    send:     u16 message length
//   7    settings: nodelay, interval, resend, nc, send window, receive
//                  window, mtu step (one byte each)
// After every operation the queues must match their counters, the receive
// side must hold no more segments than its window allows, and every datagram
// sent must fit the largest mtu in force.
#include <algorithm>
#include <cstring>
#include <vector>

#include "common/net/ux_kcp_core.h"
#include "fuzz_support.h"

using namespace qlyn_fuzz;
using namespace ux;

namespace {

constexpr uint32_t kConv = 0x11223344;
// Operations per input: enough for a handshake of data, acks and probes.
constexpr int kMaxOperations = 512;

struct TState {
  uint32_t largest_mtu = IKCP_MTU_DEF;
};

bool count_output(const char* buf, int32_t len, PkcpCb kcp, void* user) {
  const auto* st = static_cast<const TState*>(user);
  if (buf == nullptr || len <= 0 || uint32_t(len) > std::max(st->largest_mtu, kcp->mtu))
    fail("datagram empty or longer than the mtu");
  return true;
}

uint32_t queue_length(const TKcpSeg& head) {
  uint32_t n = 0;
  for (const TKcpSeg* p = head.next; p != &head; p = p->next) ++n;
  return n;
}

void check(const TKcpCb* kcp, uint32_t largest_rcv_wnd) {
  if (queue_length(kcp->snd_queue) != kcp->nsnd_que) fail("snd_queue length");
  if (queue_length(kcp->snd_buf) != kcp->nsnd_buf) fail("snd_buf length");
  if (queue_length(kcp->rcv_queue) != kcp->nrcv_que) fail("rcv_queue length");
  if (queue_length(kcp->rcv_buf) != kcp->nrcv_buf) fail("rcv_buf length");
  if (kcp->nrcv_buf > largest_rcv_wnd || kcp->nrcv_que > largest_rcv_wnd)
    fail("receive side holds more segments than its window");
  if (kcp->ackcount > IKCP_ACK_LIST_MAX) fail("acknowledgement list past its cap");
  if (int32_t(kcp->snd_nxt - kcp->snd_una) < 0) fail("snd_una passed snd_nxt");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TState st;
  PkcpCb kcp = ikcp_create(kConv, &st);
  if (kcp == nullptr) fail("ikcp_create");
  ikcp_setoutput(kcp, count_output);
  uint32_t largest_rcv_wnd = kcp->rcv_wnd;
  uint32_t now = 1000;

  // Data of our own in flight: three messages, one of several fragments.
  std::vector<char> payload(8000);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = char(i * 7);
  (void)ikcp_send(kcp, payload.data(), 100);
  (void)ikcp_send(kcp, payload.data(), 5000);
  (void)ikcp_send(kcp, payload.data(), 1);
  ikcp_update(kcp, now);

  TByteReader in(as_text(data, size));
  std::vector<char> buffer;
  for (int op = 0; op < kMaxOperations && !in.empty(); ++op) {
    const uint8_t code = in.u8() % 8;
    if (code <= 3) {
      const std::string_view d = in.bytes(in.u16());
      // A copy of exactly the datagram's length, so that any read past it is caught.
      std::vector<char> datagram(d.begin(), d.end());
      (void)ikcp_input(kcp, datagram.data(), uint32_t(datagram.size()));
    } else if (code == 4) {
      now += in.u16();
      ikcp_update(kcp, now);
    } else if (code == 5) {
      const auto len = int16_t(in.u16());
      buffer.assign(size_t(len < 0 ? -int32_t(len) : len), 0);
      const int32_t got = ikcp_recv(kcp, buffer.empty() ? nullptr : buffer.data(), len);
      if (got > 0 && size_t(got) > buffer.size()) fail("ikcp_recv returned more than its buffer");
    } else if (code == 6) {
      (void)ikcp_send(kcp, payload.data(), std::min<int32_t>(in.u16(), int32_t(payload.size())));
    } else {
      (void)ikcp_nodelay(kcp, in.u8() & 1, in.u8(), in.u8() % 4, in.u8() & 1);
      const int32_t snd = in.u8(), rcv = in.u8();
      (void)ikcp_wndsize(kcp, snd, rcv);
      largest_rcv_wnd = std::max(largest_rcv_wnd, kcp->rcv_wnd);
      const uint32_t mtu = IKCP_MTU_MIN + uint32_t(in.u8()) * 8;
      if (ikcp_setmtu(kcp, int32_t(mtu)) == 0) st.largest_mtu = std::max(st.largest_mtu, mtu);
    }
    check(kcp, largest_rcv_wnd);
  }
  ikcp_release(kcp);
  return 0;
}
