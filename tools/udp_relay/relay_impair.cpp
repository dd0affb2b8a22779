#include "tools/udp_relay/relay_impair.h"

#include <algorithm>
#include <limits>

namespace qlyn_relay {

TImpairedLink::TImpairedLink(const TImpairment& cfg, uint64_t seed) : cfg_(cfg), rng_(seed) {}

bool TImpairedLink::chance(double p) {
  if (p <= 0) return false;
  if (p >= 1) return true;
  return std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < p;
}

void TImpairedLink::submit(int64_t now_us, const char* data, size_t len, uint64_t tag) {
  stats_.received++;
  if (chance(cfg_.loss)) {
    stats_.lost++;
    return;
  }
  const int copies = chance(cfg_.duplicate) ? 2 : 1;
  if (copies == 2) stats_.duplicated++;
  for (int i = 0; i < copies; ++i) {
    int64_t out_of_queue_us = now_us;
    if (cfg_.rate_bytes_per_s > 0) {
      // The bottleneck works in nanoseconds so that small datagrams at high
      // rates still add up exactly.
      const int64_t now_ns = now_us * 1000;
      const int64_t start_ns = std::max(link_free_at_ns_, now_ns);
      const int64_t backlog_bytes = (start_ns - now_ns) * cfg_.rate_bytes_per_s / 1000000000;
      if (backlog_bytes + int64_t(len) > cfg_.queue_bytes) {
        stats_.queue_dropped++;
        continue;
      }
      link_free_at_ns_ = start_ns + int64_t(len) * 1000000000 / cfg_.rate_bytes_per_s;
      out_of_queue_us = link_free_at_ns_ / 1000;
    }
    schedule(out_of_queue_us, data, len, tag);
  }
}

void TImpairedLink::schedule(int64_t out_of_queue_us, const char* data, size_t len, uint64_t tag) {
  if (held_bytes_ + int64_t(len) > cfg_.max_held_bytes) {
    stats_.queue_dropped++;
    return;
  }
  int64_t due = out_of_queue_us + cfg_.delay_us;
  if (cfg_.jitter_us > 0) due += std::uniform_int_distribution<int64_t>(0, cfg_.jitter_us)(rng_);
  if (chance(cfg_.reorder)) {
    stats_.reordered++;
    due = std::max(due, last_due_us_) + cfg_.reorder_gap_us;
  } else {
    due = std::max(due, last_due_us_);
    last_due_us_ = due;
  }
  TDatagram d;
  d.due_us = due;
  d.seq = next_seq_++;
  d.tag = tag;
  d.bytes.assign(data, len);
  held_bytes_ += int64_t(len);
  held_.push_back(std::move(d));
  std::push_heap(held_.begin(), held_.end(), TLater());
}

int64_t TImpairedLink::next_due() const {
  return held_.empty() ? std::numeric_limits<int64_t>::max() : held_.front().due_us;
}

bool TImpairedLink::take_due(int64_t now_us, TDatagram& out) {
  if (held_.empty() || held_.front().due_us > now_us) return false;
  std::pop_heap(held_.begin(), held_.end(), TLater());
  out = std::move(held_.back());
  held_.pop_back();
  held_bytes_ -= int64_t(out.bytes.size());
  return true;
}

void TImpairedLink::note_sent(size_t len) {
  stats_.sent++;
  stats_.bytes_sent += len;
}

}  // namespace qlyn_relay
