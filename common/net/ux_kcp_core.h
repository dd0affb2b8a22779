// ux_kcp_core: the KCP automatic-repeat-request engine.
//
// The engine does no I/O, reads no clock and takes no locks. The caller feeds
// it received datagrams (ikcp_input), the time in milliseconds (ikcp_update)
// and application data (ikcp_send / ikcp_recv); finished datagrams leave
// through the output callback, never longer than mtu and never empty. All
// operations on one control block must be serialised by the caller.
//
// Data flow: ikcp_send -> snd_queue -> (flush) snd_buf -> wire;
//            wire -> rcv_buf (out of order) -> rcv_queue -> ikcp_recv.
//
// Segment header on the wire, 24 bytes, little-endian on any host:
//   conv u32 | cmd u8 | frg u8 | wnd u16 | ts u32 | sn u32 | una u32 | len u32
//
// Sequence numbers and times are u32 that wrap; they are always compared by
// their difference read as signed 32-bit.
//
// Network input never throws: ikcp_input reports by its result. Internal
// checks (missing output callback, allocation failure while sending) throw
// ux::EAssertionFailed, which reaches the caller.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ux {

// ---------------------------------------------------------------- constants

inline constexpr uint32_t IKCP_CMD_PUSH = 81;  // 'Q' data
inline constexpr uint32_t IKCP_CMD_ACK = 82;   // 'R' acknowledges one PUSH
inline constexpr uint32_t IKCP_CMD_WASK = 83;  // 'S' window probe
inline constexpr uint32_t IKCP_CMD_WINS = 84;  // 'T' window report

inline constexpr uint32_t IKCP_ASK_SEND = 1;  // probe bit: send WASK
inline constexpr uint32_t IKCP_ASK_TELL = 2;  // probe bit: send WINS

inline constexpr uint32_t IKCP_OVERHEAD = 24;        // header bytes
inline constexpr uint32_t IKCP_MTU_DEF = 1400;       // bytes
inline constexpr uint32_t IKCP_MTU_MIN = 50;         // bytes
inline constexpr uint32_t IKCP_WND_SND = 32;         // segments
inline constexpr uint32_t IKCP_WND_RCV = 32;         // segments
inline constexpr uint32_t IKCP_RTO_DEF = 200;        // ms
inline constexpr uint32_t IKCP_RTO_MIN = 100;        // ms, normal rules
inline constexpr uint32_t IKCP_RTO_NDL = 30;         // ms, no-delay rules
inline constexpr uint32_t IKCP_RTO_MAX = 60000;      // ms
inline constexpr uint32_t IKCP_INTERVAL = 100;       // ms
inline constexpr uint32_t IKCP_INTERVAL_MIN = 3;     // ms
inline constexpr uint32_t IKCP_INTERVAL_MAX = 5000;  // ms
inline constexpr uint32_t IKCP_THRESH_INIT = 2;      // segments
inline constexpr uint32_t IKCP_THRESH_MIN = 2;       // segments
inline constexpr uint32_t IKCP_DEADLINK = 20;        // transmissions of one segment
inline constexpr uint32_t IKCP_PROBE_INIT = 7000;    // ms, first window-probe wait
inline constexpr uint32_t IKCP_PROBE_LIMIT = 120000; // ms, largest window-probe wait
inline constexpr uint32_t IKCP_FRG_MAX = 255;        // fragments per message
// A clock that jumps this far (ms, either way) from the flush schedule
// restarts the schedule at the new time instead of catching up.
inline constexpr int32_t IKCP_CLOCK_SLIP_MAX = 10000;
inline constexpr uint32_t IKCP_WND_WIRE_MAX = 0xFFFF;  // the wnd field is 16 bits
// Recycled segment blocks (default heap only): payload capacity of a block,
// and blocks kept per control block.
inline constexpr uint32_t IKCP_SEG_POOL_PAYLOAD = IKCP_MTU_DEF - IKCP_OVERHEAD;  // bytes
inline constexpr uint32_t IKCP_SEG_POOL_MAX = 512;
// Acknowledgements pending between two flushes; further ones are dropped
// (the peer retransmits) so a flood of datagrams cannot grow the list.
inline constexpr uint32_t IKCP_ACK_LIST_MAX = 1u << 16;  // pairs

// Log categories for logmask / writelog.
inline constexpr int32_t IKCP_LOG_OUTPUT = 1;
inline constexpr int32_t IKCP_LOG_INPUT = 2;
inline constexpr int32_t IKCP_LOG_SEND = 4;
inline constexpr int32_t IKCP_LOG_RECV = 8;
inline constexpr int32_t IKCP_LOG_IN_DATA = 16;
inline constexpr int32_t IKCP_LOG_IN_ACK = 32;
inline constexpr int32_t IKCP_LOG_IN_PROBE = 64;
inline constexpr int32_t IKCP_LOG_IN_WINS = 128;

// ---------------------------------------------------------------- records

struct TKcpCb;
using PkcpCb = TKcpCb*;

// One segment; its payload of exactly len bytes follows the record in the same
// block (data()). Queue heads use only next/prev.
struct TKcpSeg {
  TKcpSeg* next;
  TKcpSeg* prev;
  uint32_t conv;
  uint32_t cmd;
  uint32_t frg;
  uint32_t wnd;
  uint32_t ts;
  uint32_t sn;
  uint32_t una;
  uint32_t len;
  uint32_t resendts;  // ms, next retransmission
  uint32_t rto;       // ms, this segment's timeout
  uint32_t fastack;   // later segments acknowledged since it was last sent
  uint32_t xmit;      // times sent

  char* data() noexcept { return reinterpret_cast<char*>(this + 1); }
  const char* data() const noexcept { return reinterpret_cast<const char*>(this + 1); }
};
using PKcpSeg = TKcpSeg*;

// Output callback: one datagram of len bytes (1..mtu). The buffer is valid for
// the call only. The result is ignored.
using TOutPut = bool (*)(const char* buf, int32_t len, PkcpCb kcp, void* user);
// Log callback: one zero-terminated line ending in CR LF.
using TWriteLog = void (*)(const char* buf, PkcpCb kcp, void* user);

// Allocation hooks: allocate n bytes (nullptr when out of memory), release.
using TKcpMalloc = void* (*)(size_t n);
using TKcpFree = void (*)(void* p);

struct TKcpCb {
  uint32_t conv;
  uint32_t mtu, mss;
  uint32_t state;  // 0; all ones once a segment was sent dead_link times
  uint32_t snd_una, snd_nxt, rcv_nxt;
  uint32_t ts_recent, ts_lastack;
  uint32_t ssthresh;
  int32_t rx_rttval, rx_srtt, rx_rto, rx_minrto;  // ms
  uint32_t snd_wnd, rcv_wnd, rmt_wnd, cwnd;       // segments
  uint32_t probe;
  uint32_t current;   // ms, clock of the last ikcp_update
  uint32_t interval;  // ms
  uint32_t ts_flush;  // ms
  uint32_t xmit;      // timeout retransmissions over the block's life
  uint32_t nrcv_buf, nsnd_buf, nrcv_que, nsnd_que;
  uint32_t nodelay;
  uint32_t updated;
  uint32_t ts_probe, probe_wait;  // ms
  uint32_t dead_link;
  uint32_t incr;  // bytes
  TKcpSeg snd_queue, rcv_queue, snd_buf, rcv_buf;
  uint32_t* acklist;  // (sn, ts) pairs
  uint32_t ackcount, ackblock;  // pairs in use, pairs allocated
  void* user;
  char* buffer;  // (mtu + 24) * 3 bytes
  int32_t fastresend;
  int32_t nocwnd;
  int32_t stream;
  int32_t logmask;
  TOutPut output;
  TWriteLog writelog;
  // The allocation hooks in force at ikcp_create; used for the block's life.
  TKcpMalloc alloc_fn;
  TKcpFree free_fn;
  // Free segment blocks kept for reuse (linked by next), and their count.
  TKcpSeg* seg_pool;
  uint32_t seg_pool_count;
};

// ---------------------------------------------------------------- interface

// Replaces the allocation hooks for control blocks created from now on; safe
// on any thread. A null pair restores the default, the general heap, with
// which each control block recycles up to IKCP_SEG_POOL_MAX segment blocks of
// up to IKCP_SEG_POOL_PAYLOAD payload bytes. Control blocks created earlier
// keep the hooks they began with.
void ikcp_allocator(TKcpMalloc new_malloc, TKcpFree new_free) noexcept;

// New control block: mtu 1400, windows 32, rto 200, interval 100, etc.
// nullptr when memory runs out. Free with ikcp_release.
[[nodiscard]] PkcpCb ikcp_create(uint32_t conv, void* user);
// Frees every queued segment, the buffers and the block. Throws
// EAssertionFailed("ikcp_release") for a null block.
void ikcp_release(PkcpCb kcp);
void ikcp_setoutput(PkcpCb kcp, TOutPut output) noexcept;

// Queues a message (message mode) or bytes (stream mode); data may be null
// (the segments then hold zero bytes). 0 queued; -1 len < 0 or no block;
// -2 more than 255 fragments would be needed. A segment that cannot be
// allocated throws EAssertionFailed ("ikcp_send 1" / "ikcp_send 2"). On any
// failure nothing is queued or consumed.
[[nodiscard]] int32_t ikcp_send(PkcpCb kcp, const char* data, int32_t len);
// Copies the next message into buffer (may be null: the message is dropped).
// Length copied; -1 queue empty; -2 next message incomplete; -3 message longer
// than |len|. A negative len peeks: the message stays queued.
[[nodiscard]] int32_t ikcp_recv(PkcpCb kcp, char* buffer, int32_t len);
// Length of the next complete message; -1 when there is none.
[[nodiscard]] int32_t ikcp_peeksize(const TKcpCb* kcp) noexcept;
// Feeds one datagram. 0 every segment processed; -1 no block / no data /
// size < 24 / foreign conv; -2 a segment's len exceeds the bytes left; -3
// unknown command. Segments before the failing one keep their effect; fewer
// than 24 trailing bytes are ignored. Never reads outside [data, data + size).
// A PUSH that cannot be stored for lack of memory is not acknowledged; when
// the acknowledgement list cannot grow it throws EAssertionFailed
// ("ikcp_ack_push 0").
[[nodiscard]] int32_t ikcp_input(PkcpCb kcp, const char* data, uint32_t size);
// Advances the clock (ms) and flushes when a flush is due.
void ikcp_update(PkcpCb kcp, uint32_t current);
// Emits pending ACKs, probes and due segments; nothing before the first update.
void ikcp_flush(PkcpCb kcp);
// 0; -1 mtu < 50; -2 the new buffer could not be allocated (nothing changes).
// Segments already cut for a larger mtu keep their size and then travel in a
// datagram of their own, which may exceed the new mtu.
int32_t ikcp_setmtu(PkcpCb kcp, int32_t mtu);
// 0; a value <= 0 leaves that window unchanged.
int32_t ikcp_wndsize(PkcpCb kcp, int32_t sndwnd, int32_t rcvwnd);
// 0; a negative value leaves its setting unchanged. interval is clamped to
// [3, 5000] ms; nodelay != 0 sets rx_minrto 30, else 100.
int32_t ikcp_nodelay(PkcpCb kcp, int32_t nodelay, int32_t interval, int32_t resend, int32_t nc);
// Segments not yet acknowledged (nsnd_buf + nsnd_que); 0 for no block.
[[nodiscard]] int32_t ikcp_waitsnd(const TKcpCb* kcp) noexcept;

}  // namespace ux
