// ux_digest: MD5 digests (libcrypto) as lower-case hex, of memory, of data
// fed in pieces and of data streamed from a source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace ux {

std::string md5_hex(const void* data, size_t n);
std::string md5_hex(std::string_view text);

// A source of bytes: fills buffer with up to count bytes and returns how many
// it put there; 0 or less at the end or on an error.
using TReadFunc = std::function<int64_t(void* buffer, int64_t count)>;
// MD5 of up to length bytes pulled from read in blocks (length < 0: until
// read gives nothing). Empty when libcrypto fails, and when must_complete is
// set and read ended before length bytes.
std::string md5_hex_of(const TReadFunc& read, int64_t length, bool must_complete);

// An MD5 computed over data fed in pieces. Not copyable; not synchronised.
class TMd5 {
 public:
  TMd5();
  ~TMd5();
  TMd5(const TMd5&) = delete;
  TMd5& operator=(const TMd5&) = delete;

  void update(const void* data, size_t n);
  // The digest of everything fed, lower-case hex; empty when libcrypto
  // failed. Ends the computation: later updates are ignored.
  std::string hex();

 private:
  struct evp_md_ctx_st* ctx_;
  bool ok_;
};

}  // namespace ux
