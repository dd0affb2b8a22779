#include "common/net/ux_socket_common.h"

#include <gtest/gtest.h>
#include <xxhash.h>

#include <bit>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using ux::TUX_Socket_Encoder;

constexpr uint64_t P1 = 0x9E3779B185EBCA87ull;
constexpr uint64_t P2 = 0xC2B2AE3D27D4EB4Full;
constexpr uint64_t P3 = 0x165667B19E3779F9ull;
constexpr uint64_t P4 = 0x85EBCA77C2B2AE63ull;
constexpr uint64_t P5 = 0x27D4EB2F165667C5ull;

uint64_t avalanche(uint64_t h) {
  h ^= h >> 33;
  h *= P2;
  h ^= h >> 29;
  h *= P3;
  h ^= h >> 32;
  return h;
}

std::string random_bytes(std::mt19937_64& rng, size_t n) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

uint32_t le32(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

TEST(KeyHash, MatchesXxh64WhenTailSkipsFourByteStep) {
  std::mt19937_64 rng(7);
  for (size_t len = 0; len <= 300; ++len) {
    if (len % 8 >= 4) continue;
    const std::string s = random_bytes(rng, len);
    for (uint64_t seed : {uint64_t(0), uint64_t(23), uint64_t(0xFFFFFFFFFFFFFFFFull)}) {
      EXPECT_EQ(ux::ux_key_hash64(s.data(), len, seed), XXH64(s.data(), len, seed))
          << "len " << len << " seed " << seed;
    }
  }
  EXPECT_EQ(ux::ux_key_hash64(nullptr, 0, 23), XXH64(nullptr, 0, 23));
}

TEST(KeyHash, FourByteTailStepUsesChangedFold) {
  // Four bytes: only the changed step and the avalanche.
  const unsigned char four[4] = {0x01, 0x02, 0x03, 0x04};
  uint64_t h = 23 + P5 + 4;
  h = std::rotl((h ^ le32(four)) * P1, 23) * P2 + P3;
  EXPECT_EQ(ux::ux_key_hash64(four, 4, 23), avalanche(h));
  EXPECT_NE(ux::ux_key_hash64(four, 4, 23), XXH64(four, 4, 23));

  // Fourteen bytes (the key phrase's length): one 8-byte step, the changed
  // 4-byte step, two single bytes.
  const std::string phrase(ux::kUX_KCP_Key_Phrase);
  const auto* b = reinterpret_cast<const unsigned char*>(phrase.data());
  uint64_t k1 = 0;
  for (int i = 7; i >= 0; --i) k1 = k1 << 8 | b[i];
  h = 23 + P5 + 14;
  h ^= std::rotl(k1 * P2, 31) * P1;
  h = std::rotl(h, 27) * P1 + P4;
  h = std::rotl((h ^ le32(b + 8)) * P1, 23) * P2 + P3;
  for (int i = 12; i < 14; ++i) {
    h ^= b[i] * P5;
    h = std::rotl(h, 11) * P1;
  }
  EXPECT_EQ(ux::ux_key_hash64(phrase.data(), phrase.size(), 23), avalanche(h));

  // Fixed vectors: the key hash must never drift, the derived key depends on it.
  EXPECT_EQ(ux::ux_key_hash64("abcd", 4, 23), 0x00B43E89C0CA157Bull);
  EXPECT_EQ(ux::ux_key_hash64(phrase.data(), phrase.size(), 23), 0x6FDA660A9AE68933ull);
  const std::string long_text = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";  // 62 bytes
  EXPECT_EQ(ux::ux_key_hash64(long_text.data(), long_text.size(), 23), 0x8DE7E8B9868AB727ull);
}

TEST(SocketEncoder, CreateCopiesBaseAndInitKeyMixesLowBytes) {
  TUX_Socket_Encoder enc;
  EXPECT_EQ(0, std::memcmp(enc.keys(), ux::kUX_Socket_Encoder_Base, 64));
  auto made = TUX_Socket_Encoder::create();
  EXPECT_EQ(0, std::memcmp(made->keys(), ux::kUX_Socket_Encoder_Base, 64));

  const std::string phrase(ux::kUX_KCP_Key_Phrase);
  const uint64_t h = ux::ux_key_hash64(phrase.data(), phrase.size(), 23);
  const uint32_t a = (h >> 8) & 0xFF, b = h & 0xFF;
  enc.init_key(phrase);
  for (int k = 0; k < 16; ++k)
    EXPECT_EQ(enc.keys()[k], ux::kUX_Socket_Encoder_Base[k] ^ (k < 8 ? a : b)) << k;
  // A second call mixes on top: the same key twice cancels out.
  enc.init_key(phrase);
  EXPECT_EQ(0, std::memcmp(enc.keys(), ux::kUX_Socket_Encoder_Base, 64));
}

TEST(SocketEncoder, WordAndTrailingBytePositions) {
  TUX_Socket_Encoder enc;
  enc.init_key(ux::kUX_KCP_Key_Phrase);
  const uint32_t* key = enc.keys();

  unsigned char five[5] = {0, 0, 0, 0, 0};
  enc.Encode(five, 5);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(five[i], (key[0] >> (8 * i)) & 0xFF);
  EXPECT_EQ(five[4], key[4] & 0xFF);

  unsigned char buf[70];
  for (int i = 0; i < 70; ++i) buf[i] = static_cast<unsigned char>(i * 7 + 1);
  unsigned char orig[70];
  std::memcpy(orig, buf, 70);
  enc.Encode(buf, 70);
  for (int g = 0; g < 17; ++g)
    for (int i = 0; i < 4; ++i)
      EXPECT_EQ(buf[4 * g + i], orig[4 * g + i] ^ ((key[g % 16] >> (8 * i)) & 0xFF)) << g;
  EXPECT_EQ(buf[68], orig[68] ^ (key[4] & 0xFF));
  EXPECT_EQ(buf[69], orig[69] ^ (key[5] & 0xFF));
}

TEST(SocketEncoder, DecodeRestoresEveryLengthAndNonPositiveIsNoOp) {
  TUX_Socket_Encoder enc;
  enc.init_key(ux::kUX_KCP_Key_Phrase);
  std::mt19937_64 rng(11);
  for (int len = 0; len <= 300; ++len) {
    const std::string orig = random_bytes(rng, len);
    std::string s = orig;
    enc.Encode(s.data(), len);
    if (len >= 4) {
      EXPECT_NE(s, orig) << len;
    }
    enc.Decode(s.data(), len);
    EXPECT_EQ(s, orig) << len;
  }
  std::string s = "abcdef";
  enc.Encode(s.data(), 0);
  enc.Encode(s.data(), -5);
  enc.Encode(nullptr, 10);
  EXPECT_EQ(s, "abcdef");
}

TEST(SocketEncoder, ZeroBaseTouchesOnlyLowByteOfEachGroup) {
  const uint32_t zero[16] = {};
  TUX_Socket_Encoder enc(zero);
  const std::string key = "some key phrase";
  enc.init_key(key);
  const uint64_t h = ux::ux_key_hash64(key.data(), key.size(), 23);
  const unsigned char a = (h >> 8) & 0xFF, b = h & 0xFF;
  ASSERT_TRUE(a != 0 && b != 0 && a != b);
  std::vector<unsigned char> buf(131, 0x5A);
  enc.Encode(buf.data(), static_cast<int32_t>(buf.size()));
  for (size_t g = 0; g < buf.size() / 4; ++g) {
    EXPECT_EQ(buf[4 * g], 0x5A ^ ((g % 16) < 8 ? a : b)) << g;
    for (int i = 1; i < 4; ++i) EXPECT_EQ(buf[4 * g + i], 0x5A) << g;
  }
  for (size_t j = 128; j < 131; ++j) EXPECT_EQ(buf[j], 0x5A ^ ((j % 16) < 8 ? a : b)) << j;
}

TEST(SocketEncoder, SharedEncoderOnSeveralThreads) {
  TUX_Socket_Encoder enc;
  enc.init_key(ux::kUX_KCP_Key_Phrase);
  std::vector<std::thread> threads;
  std::vector<int> ok(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937_64 rng(t);
      int good = 0;
      for (int i = 0; i < 500; ++i) {
        const std::string orig = random_bytes(rng, 1 + rng() % 1400);
        std::string s = orig;
        enc.Encode(s.data(), static_cast<int32_t>(s.size()));
        enc.Decode(s.data(), static_cast<int32_t>(s.size()));
        good += s == orig;
      }
      ok[t] = good;
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(ok[t], 500);
}

}  // namespace
