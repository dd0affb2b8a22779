// Test support: a TStream over a std::string.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/ux_stream.h"

namespace qlyn_test {

// A growable in-memory stream. Writes past the end extend data with zero
// bytes; with a limit, writes stop there (a short count, then 0), like a full
// disk. A seek before the start gives -1.
class TStringStream : public ux::TStream {
 public:
  explicit TStringStream(int64_t limit = -1) : limit_(limit) {}

  int64_t Read(void* buffer, int64_t count) override {
    const int64_t n = std::min<int64_t>(count, int64_t(data.size()) - pos);
    if (n <= 0) return 0;
    std::memcpy(buffer, data.data() + pos, size_t(n));
    pos += n;
    return n;
  }
  int64_t Write(const void* buffer, int64_t count) override {
    if (limit_ >= 0) count = std::clamp<int64_t>(limit_ - pos, 0, count);
    if (pos + count > int64_t(data.size())) data.resize(size_t(pos + count));
    std::memcpy(data.data() + pos, buffer, size_t(count));
    pos += count;
    return count;
  }
  int64_t Seek(int64_t offset, ux::TSeekOrigin origin) override {
    const int64_t base = origin == ux::TSeekOrigin::soBeginning ? 0
                         : origin == ux::TSeekOrigin::soCurrent ? pos
                                                                : int64_t(data.size());
    if (base + offset < 0) return -1;
    pos = base + offset;
    return pos;
  }
  void SetSize(int64_t n) override { data.resize(size_t(n)); }

  std::string data;
  int64_t pos = 0;

 private:
  int64_t limit_;
};

}  // namespace qlyn_test
