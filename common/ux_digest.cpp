#include "common/ux_digest.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>

namespace ux {

namespace {

// Bytes md5_hex_of asks of its source at a time.
constexpr int64_t kReadBlock = 65536;

std::string digest_hex(const unsigned char* d, unsigned n) {
  static const char kHex[] = "0123456789abcdef";
  std::string out(size_t(n) * 2, '0');
  for (unsigned i = 0; i < n; ++i) {
    out[2 * i] = kHex[d[i] >> 4];
    out[2 * i + 1] = kHex[d[i] & 15];
  }
  return out;
}

}  // namespace

std::string md5_hex(const void* data, size_t n) {
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  EVP_Digest(n ? data : "", n, d, &len, EVP_md5(), nullptr);
  return digest_hex(d, len);
}

std::string md5_hex(std::string_view text) { return md5_hex(text.data(), text.size()); }

TMd5::TMd5() : ctx_(EVP_MD_CTX_new()), ok_(false) {
  ok_ = ctx_ != nullptr && EVP_DigestInit_ex(ctx_, EVP_md5(), nullptr) == 1;
}

TMd5::~TMd5() { EVP_MD_CTX_free(ctx_); }

void TMd5::update(const void* data, size_t n) {
  if (ok_ && n > 0) ok_ = EVP_DigestUpdate(ctx_, data, n) == 1;
}

std::string TMd5::hex() {
  if (!ok_) return {};
  ok_ = false;
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  if (EVP_DigestFinal_ex(ctx_, d, &len) != 1) return {};
  return digest_hex(d, len);
}

std::string md5_hex_of(const TReadFunc& read, int64_t length, bool must_complete) {
  TMd5 md5;
  std::unique_ptr<char[]> block(new char[kReadBlock]);
  int64_t left = length;
  while (length < 0 || left > 0) {
    const int64_t n = read(block.get(), length < 0 ? kReadBlock : std::min(left, kReadBlock));
    if (n <= 0) break;
    md5.update(block.get(), size_t(n));
    left -= n;
  }
  if (must_complete && length > 0 && left > 0) return {};
  return md5.hex();
}

}  // namespace ux
