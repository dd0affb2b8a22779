// ux_text: byte-string search, tokens and small transformations — ASCII
// case-insensitive comparison, cutting and replacing, trimming, URL and
// parameter decoding, full-width characters.
//
// Text positions are 1-based, 0 means "not found". Case-insensitive means
// ASCII folding only. Under code page 936 the second byte of a double-byte
// character is never taken for a single-byte character where stated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace ux {

size_t ci_pos(std::string_view sub, std::string_view s, long long from = 1);
bool ci_equal(std::string_view a, std::string_view b) noexcept;
bool ci_equal_any2(std::string_view s, std::string_view a, std::string_view b) noexcept;
bool ci_equal_any3(std::string_view s, std::string_view a, std::string_view b,
                   std::string_view c) noexcept;
bool ci_equal_buf(std::string_view s, const void* buffer, long long n) noexcept;
bool ci_prefix_equal(std::string_view a, std::string_view b, long long n) noexcept;
bool ci_in_list(std::string_view s, const std::string* list, long long high) noexcept;
bool ci_in_list(std::string_view s, std::initializer_list<std::string_view> list) noexcept;

// Cuts the text before sep (found case-insensitively) off s.
std::string fetch_token(std::string& s, std::string_view sep);
// Cuts the text after the last sep (exact) off s.
std::string fetch_last_token(std::string& s, std::string_view sep);

std::string replace_all(std::string_view s, std::string_view old_text, std::string_view new_text,
                        bool case_sensitive = false);
// Replaces single-byte characters only; double-byte characters (936) are kept.
std::string replace_char(std::string_view s, char from, char to);

// A 256-bit byte set.
struct TByteSet {
  uint64_t bits[4] = {0, 0, 0, 0};
  TByteSet() = default;
  TByteSet(std::initializer_list<unsigned char> bytes) {
    for (unsigned char b : bytes) add(b);
  }
  void add(unsigned char b) noexcept { bits[b >> 6] |= uint64_t(1) << (b & 63); }
  bool has(unsigned char b) const noexcept { return (bits[b >> 6] >> (b & 63)) & 1; }
};
size_t last_pos_in_set(const TByteSet& set, std::string_view s) noexcept;

std::string left_text(std::string_view s, long long n);
std::string right_text(std::string_view s, long long n);
unsigned char first_byte(std::string_view s) noexcept;
unsigned char last_byte(std::string_view s) noexcept;
std::string concat_texts(std::string_view a, std::string_view b, std::string_view c = {},
                         std::string_view d = {}, std::string_view e = {});
std::string trim_text(std::string_view s);
std::string lower_ascii(std::string_view s);

// Value of a hexadecimal digit (either case); -1 for any other byte.
constexpr int hex_value(unsigned char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string url_decode(std::string_view s);
std::string param_value(std::string_view s, std::string_view name, std::string_view sep,
                        std::string_view assign);
std::string unescape_param(std::string_view s);
std::string fullwidth_to_ascii(std::string_view s);

}  // namespace ux
