#include "common/net/ux_ws_frame.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

#include "common/ux_common.h"

namespace ux {

std::string ws_accept_key(std::string_view key_encoded) {
  const std::string text = std::string(key_encoded) + std::string(kWsAcceptGuid);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &n, EVP_sha1(), nullptr) != 1) return {};
  return base64_encode_text(std::string_view(reinterpret_cast<const char*>(digest), n));
}

size_t ws_frame_header_size(uint64_t len, bool masked) {
  const size_t base = len <= 125 ? 2 : (len <= 0xFFFF ? 4 : 10);
  return base + (masked ? 4 : 0);
}

void ws_mask_bytes(char* data, size_t n, uint32_t mask_key, size_t key_offset) {
  uint8_t key[4];
  for (int k = 0; k < 4; ++k) key[k] = uint8_t(mask_key >> (8 * k));
  size_t i = 0;
  // Eight bytes at a time with the key pattern rotated to the offset.
  uint8_t pattern[8];
  for (int k = 0; k < 8; ++k) pattern[k] = key[(key_offset + size_t(k)) & 3];
  uint64_t wide;
  std::memcpy(&wide, pattern, 8);
  for (; i + 8 <= n; i += 8) {
    uint64_t v;
    std::memcpy(&v, data + i, 8);
    v ^= wide;
    std::memcpy(data + i, &v, 8);
  }
  for (; i < n; ++i) data[i] = char(uint8_t(data[i]) ^ key[(key_offset + i) & 3]);
}

void ws_encode_frame(std::string& out, uint8_t opcode, bool fin, const void* payload, size_t len,
                     bool masked, uint32_t mask_key) {
  const size_t start = out.size();
  const size_t header = ws_frame_header_size(len, masked);
  out.resize(start + header + len);
  uint8_t* p = reinterpret_cast<uint8_t*>(out.data() + start);
  p[0] = uint8_t((fin ? 0x80 : 0) | (opcode & 0x0F));
  const uint8_t mask_bit = masked ? 0x80 : 0;
  size_t at = 2;
  if (len <= 125) {
    p[1] = uint8_t(mask_bit | len);
  } else if (len <= 0xFFFF) {
    p[1] = uint8_t(mask_bit | 126);
    p[2] = uint8_t(len >> 8);
    p[3] = uint8_t(len);
    at = 4;
  } else {
    p[1] = uint8_t(mask_bit | 127);
    for (int k = 0; k < 8; ++k) p[2 + k] = uint8_t(uint64_t(len) >> (8 * (7 - k)));
    at = 10;
  }
  if (masked) {
    for (int k = 0; k < 4; ++k) p[at + size_t(k)] = uint8_t(mask_key >> (8 * k));
    at += 4;
  }
  if (len > 0) {
    std::memcpy(p + at, payload, len);
    if (masked) ws_mask_bytes(reinterpret_cast<char*>(p + at), len, mask_key, 0);
  }
}

// ---------------------------------------------------------------- TUX_WS_Frame_Decoder

void TUX_WS_Frame_Decoder::reset() { *this = TUX_WS_Frame_Decoder(max_message_); }

TUX_WS_Frame_Decoder::Result TUX_WS_Frame_Decoder::fail(uint16_t code) {
  close_code_ = code;
  partial_.clear();
  control_.clear();
  return Result::kError;
}

bool TUX_WS_Frame_Decoder::begin_payload() {
  const uint8_t b0 = uint8_t(hdr_[0]);
  const uint8_t b1 = uint8_t(hdr_[1]);
  if (b0 & 0x70) return fail(kWsCloseProtocolError), false;
  opcode_ = b0 & 0x0F;
  fin_ = (b0 & 0x80) != 0;
  masked_ = (b1 & 0x80) != 0;
  uint64_t len = b1 & 0x7F;
  size_t at = 2;
  if (len == 126) {
    len = uint64_t(uint8_t(hdr_[2])) << 8 | uint8_t(hdr_[3]);
    at = 4;
  } else if (len == 127) {
    len = 0;
    for (int k = 0; k < 8; ++k) len = len << 8 | uint8_t(hdr_[2 + k]);
    if (len >> 63) return fail(kWsCloseProtocolError), false;
    at = 10;
  }
  mask_key_ = 0;
  if (masked_)
    for (int k = 0; k < 4; ++k) mask_key_ |= uint32_t(uint8_t(hdr_[at + size_t(k)])) << (8 * k);

  if (opcode_ >= 8) {
    if (opcode_ != kWsOpClose && opcode_ != kWsOpPing && opcode_ != kWsOpPong)
      return fail(kWsCloseProtocolError), false;
    if (!fin_ || len > kWsMaxControlPayload) return fail(kWsCloseProtocolError), false;
    control_.clear();
    target_ = &control_;
  } else if (opcode_ == kWsOpContinuation) {
    if (message_opcode_ == 0) return fail(kWsCloseProtocolError), false;
    if (len > max_message_ - partial_.size()) return fail(kWsCloseTooBig), false;
    target_ = &partial_;
  } else if (opcode_ == kWsOpText || opcode_ == kWsOpBinary) {
    if (message_opcode_ != 0) return fail(kWsCloseProtocolError), false;
    if (len > max_message_) return fail(kWsCloseTooBig), false;
    message_opcode_ = opcode_;
    partial_.clear();
    target_ = &partial_;
  } else {
    return fail(kWsCloseProtocolError), false;
  }
  in_payload_ = true;
  remaining_ = len;
  mask_offset_ = 0;
  return true;
}

TUX_WS_Frame_Decoder::Result TUX_WS_Frame_Decoder::finish_frame() {
  in_payload_ = false;
  hdr_have_ = 0;
  hdr_need_ = 2;
  if (opcode_ >= 8) {
    if (opcode_ == kWsOpClose && control_.size() == 1) return fail(kWsCloseProtocolError);
    message_.opcode = opcode_;
    message_.payload.swap(control_);
    control_.clear();
    return Result::kMessage;
  }
  if (!fin_) return Result::kAgain;
  message_.opcode = message_opcode_;
  message_.payload.swap(partial_);
  partial_.clear();
  message_opcode_ = 0;
  return Result::kMessage;
}

TUX_WS_Frame_Decoder::Result TUX_WS_Frame_Decoder::feed(const char* data, size_t len,
                                                        size_t& consumed) {
  consumed = 0;
  if (close_code_) return Result::kError;
  size_t i = 0;
  while (i < len) {
    if (!in_payload_) {
      const size_t take = std::min(hdr_need_ - hdr_have_, len - i);
      std::memcpy(hdr_ + hdr_have_, data + i, take);
      hdr_have_ += take;
      i += take;
      if (hdr_have_ < hdr_need_) break;
      if (hdr_need_ == 2) {
        const uint8_t len7 = uint8_t(hdr_[1]) & 0x7F;
        hdr_need_ = 2 + (len7 == 126 ? 2 : (len7 == 127 ? 8 : 0)) + ((uint8_t(hdr_[1]) & 0x80) ? 4 : 0);
        if (hdr_need_ > 2) continue;
      }
      if (!begin_payload()) {
        consumed = i;
        return Result::kError;
      }
    } else {
      const size_t n = size_t(std::min<uint64_t>(remaining_, len - i));
      const size_t old = target_->size();
      target_->append(data + i, n);
      if (masked_) ws_mask_bytes(target_->data() + old, n, mask_key_, mask_offset_);
      mask_offset_ += n;
      remaining_ -= n;
      i += n;
    }
    if (in_payload_ && remaining_ == 0) {
      const Result r = finish_frame();
      if (r != Result::kAgain) {
        consumed = i;
        return r;
      }
    }
  }
  consumed = i;
  return Result::kAgain;
}

}  // namespace ux
