// Small helpers shared by the fuzz targets.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include "common/ux_common.h"
#include "tests/support/scoped_env.h"

namespace qlyn_fuzz {

using qlyn_test::TCodePageScope;

// A scratch folder for this process (the first caller's tag names it),
// removed when the process ends normally. Runs rebuild files often: it lies
// on a memory file system when there is one, unless TMPDIR says otherwise.
inline const std::string& scratch_dir(const char* tag) {
  static const qlyn_test::TTempDir dir(tag, []() -> const char* {
    const char* tmp = std::getenv("TMPDIR");
    if (tmp && *tmp) return tmp;
    return ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  }());
  return dir.path();
}

// Both code pages of byte strings, in the order the targets try them.
inline constexpr int kCodePages[] = {ux::CP_UTF8, ux::CP_GBK};

inline std::string_view as_text(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// The input cut at its first line feed: (first line, the rest). Without a
// line feed the first line is empty and the rest is all of the input, so a
// seed can be a plain document.
inline std::pair<std::string_view, std::string_view> split_first_line(std::string_view s) {
  const size_t lf = s.find('\n');
  if (lf == std::string_view::npos) return {{}, s};
  return {s.substr(0, lf), s.substr(lf + 1)};
}

// Reads an input front to back; past its end every read gives zeros or an
// empty view.
class TByteReader {
 public:
  explicit TByteReader(std::string_view s) : s_(s) {}
  bool empty() const noexcept { return s_.empty(); }
  uint8_t u8() noexcept {
    if (s_.empty()) return 0;
    const auto b = static_cast<uint8_t>(s_.front());
    s_.remove_prefix(1);
    return b;
  }
  uint16_t u16() noexcept { return static_cast<uint16_t>(u8() | u8() << 8); }
  // Up to n bytes.
  std::string_view bytes(size_t n) noexcept {
    const std::string_view r = s_.substr(0, n);
    s_.remove_prefix(r.size());
    return r;
  }

 private:
  std::string_view s_;
};

// Piece sizes of a split of an input, drawn from a seed: 1 to 64 bytes, a
// few times a larger piece. The same seed gives the same split.
class TSplitter {
 public:
  explicit TSplitter(uint32_t seed) : state_(seed * 2654435761u + 1) {}
  size_t next() noexcept {
    state_ = state_ * 1103515245u + 12345u;
    const uint32_t r = state_ >> 8;
    return (r & 7) == 0 ? 1 + (r >> 3) % 2048 : 1 + (r >> 3) % 64;
  }

 private:
  uint32_t state_;
};

// Stops the run with a message naming the broken property; libFuzzer
// records the input as a crash.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz property failed: %s\n", what);
  std::abort();
}

}  // namespace qlyn_fuzz
