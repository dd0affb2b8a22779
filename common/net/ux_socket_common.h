// ux_socket_common: the datagram scrambler shared by the KCP client session and
// the resource server, and the key hash it is derived with.
//
// The scrambler XORs a datagram in place with a 64-byte key that repeats along
// it, so Encode and Decode are one transformation. It hides content from
// casual inspection only; it is not encryption.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace ux {

// Starting key of every scrambler. Client and server must use the same table.
inline constexpr uint32_t kUX_Socket_Encoder_Base[16] = {
    0x6A09E667u, 0xBB67AE85u, 0x3C6EF372u, 0xA54FF53Au, 0x510E527Fu, 0x9B05688Cu,
    0x1F83D9ABu, 0x5BE0CD19u, 0xCBBB9D5Du, 0x629A292Au, 0x9159015Au, 0x152FECD8u,
    0x67332667u, 0x8EB44A87u, 0xDB0C2E0Du, 0x47B5481Du};

// Fixed 14-character phrase a KCP session keys its scrambler with.
inline constexpr std::string_view kUX_KCP_Key_Phrase = "Qlyn#kcp@56020";
static_assert(kUX_KCP_Key_Phrase.size() == 14);

inline constexpr uint64_t kUX_Key_Hash_Seed = 23;

// XXH64 with a changed 4-byte tail step:
//   h = rotl64((h ^ w) * PRIME64_1, 23) * PRIME64_2 + PRIME64_3
// (published XXH64 multiplies w alone). Equal to XXH64 whenever
// (len % 8) < 4. data may be null when len is 0.
uint64_t ux_key_hash64(const void* data, size_t len, uint64_t seed) noexcept;

class TUX_Socket_Encoder {
 public:
  using TKeys = uint32_t[16];

  // keys = kUX_Socket_Encoder_Base.
  TUX_Socket_Encoder() noexcept;
  // keys = base; for peers or tests that use another table.
  explicit TUX_Socket_Encoder(const TKeys& base) noexcept;

  static std::unique_ptr<TUX_Socket_Encoder> create();

  // Mixes ux_key_hash64(key, 23) into keys: bits 8-15 of the hash into the low
  // byte of words 0-7, bits 0-7 into the low byte of words 8-15. Each call
  // mixes on top of the last. Not to be run concurrently with Encode/Decode.
  void init_key(std::string_view key) noexcept;

  // Scramble len bytes of buf in place; len <= 0 changes nothing. Only read
  // keys, so several threads may use one encoder at once. The result carries
  // no meaning.
  uint32_t Encode(void* buf, int32_t len) const noexcept;
  uint32_t Decode(void* buf, int32_t len) const noexcept;

  const TKeys& keys() const noexcept { return keys_; }

 private:
  TKeys keys_;
};

}  // namespace ux
