// relay_impair: one direction of the impaired link of qlyn-udp-relay.
//
// A datagram that arrives is first subject to random loss, then waits in a
// bottleneck queue drained at the set rate (tail drop when the queue holds
// more than queue_bytes), then travels the one-way delay plus a random jitter.
// Duplicates travel the same way as an extra copy; a reordered datagram is
// held reorder_gap longer, so datagrams that came after it overtake it.
// Jitter alone keeps the order: a datagram never leaves before one that
// arrived earlier, unless that one was picked for reordering.
//
// The model is pure: times are passed in (microseconds of one monotonic
// clock), randomness comes from the seed, so the same seed and the same
// arrivals give the same departures. Not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace qlyn_relay {

struct TImpairment {
  int64_t delay_us = 0;              // one-way delay
  int64_t jitter_us = 0;             // extra delay, uniform in [0, jitter_us]
  double loss = 0;                   // probability of dropping a datagram, 0..1
  double duplicate = 0;              // probability of sending a second copy
  double reorder = 0;                // probability of holding a datagram back
  int64_t reorder_gap_us = 10000;    // how long a reordered datagram is held back
  int64_t rate_bytes_per_s = 0;      // bottleneck rate; 0 = unlimited
  int64_t queue_bytes = 1 << 20;     // bottleneck buffer; datagrams beyond it are dropped
  int64_t max_held_bytes = 64 << 20; // everything held in flight; beyond it datagrams are dropped
};

struct TImpairStats {
  uint64_t received = 0;
  uint64_t lost = 0;           // random loss
  uint64_t queue_dropped = 0;  // bottleneck or held-bytes limit
  uint64_t duplicated = 0;
  uint64_t reordered = 0;
  uint64_t sent = 0;
  uint64_t bytes_sent = 0;
};

struct TDatagram {
  int64_t due_us = 0;
  uint64_t seq = 0;   // arrival order, breaks ties between equal due times
  uint64_t tag = 0;   // the caller's routing key, returned unchanged
  std::string bytes;
};

class TImpairedLink {
 public:
  TImpairedLink(const TImpairment& cfg, uint64_t seed);

  // A datagram of len bytes arrives at now_us.
  void submit(int64_t now_us, const char* data, size_t len, uint64_t tag);
  // Departure time of the next datagram; INT64_MAX when none is held.
  int64_t next_due() const;
  // Moves the next datagram due at or before now_us into out; false when none.
  bool take_due(int64_t now_us, TDatagram& out);
  // Call once per datagram taken from take_due that was actually sent.
  void note_sent(size_t len);

  size_t held_count() const { return held_.size(); }
  int64_t held_bytes() const { return held_bytes_; }
  const TImpairStats& stats() const { return stats_; }
  const TImpairment& config() const { return cfg_; }

 private:
  struct TLater {
    bool operator()(const TDatagram& a, const TDatagram& b) const {
      return a.due_us != b.due_us ? a.due_us > b.due_us : a.seq > b.seq;
    }
  };

  bool chance(double p);
  void schedule(int64_t out_of_queue_us, const char* data, size_t len, uint64_t tag);

  TImpairment cfg_;
  std::mt19937_64 rng_;
  std::vector<TDatagram> held_;  // a heap ordered by TLater: earliest departure on top
  int64_t held_bytes_ = 0;
  int64_t link_free_at_ns_ = 0;  // when the bottleneck has sent everything queued
  int64_t last_due_us_ = 0;      // latest departure of a datagram kept in order
  uint64_t next_seq_ = 0;
  TImpairStats stats_;
};

}  // namespace qlyn_relay
