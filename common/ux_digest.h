// ux_digest: MD5 digests (libcrypto) as lower-case hex, of memory and of
// data fed in pieces.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace ux {

std::string md5_hex(const void* data, size_t n);
std::string md5_hex(std::string_view text);

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
