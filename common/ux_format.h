// ux_format: values as text — the mixed value record, the standard format
// operation, integers to and from text, and byte counts as sizes.
//
// Helpers never throw for bad input: they return 0 or an empty string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace ux {

// One value of a mixed list (format_text, values_to_text, build_json_text).
struct TVarRec {
  enum Kind { vNull, vBool, vInt, vDouble, vChar, vString, vObject };
  Kind kind = vNull;
  bool b = false;
  int64_t i = 0;
  double d = 0;
  char c = 0;
  std::string s;

  TVarRec() = default;
  TVarRec(std::nullptr_t) {}
  TVarRec(bool v) : kind(vBool), b(v) {}
  TVarRec(int v) : kind(vInt), i(v) {}
  TVarRec(unsigned v) : kind(vInt), i(v) {}
  TVarRec(long v) : kind(vInt), i(v) {}
  TVarRec(unsigned long v) : kind(vInt), i(static_cast<int64_t>(v)) {}
  TVarRec(long long v) : kind(vInt), i(v) {}
  TVarRec(unsigned long long v) : kind(vInt), i(static_cast<int64_t>(v)) {}
  TVarRec(double v) : kind(vDouble), d(v) {}
  TVarRec(char v) : kind(vChar), c(v) {}
  TVarRec(const char* v) : kind(v ? vString : vNull), s(v ? v : "") {}
  TVarRec(std::string v) : kind(vString), s(std::move(v)) {}
  TVarRec(std::string_view v) : kind(vString), s(v) {}
  TVarRec(const void*) : kind(vObject) {}

  // Text form: decimal integers, "True"/"False", the character, the shortest
  // decimal of a double, the string, "[object]"; empty for null.
  std::string text() const;
};
using TVarRecs = std::initializer_list<TVarRec>;

// The values' texts joined.
std::string values_to_text(TVarRecs values);

// The standard format operation: %[index:][-][width][.prec]type with d u x X
// e f g n m s p, "*" width/precision from the values; "." is always the
// decimal separator. A bad format or mismatched value gives "".
std::string format_text(std::string_view format, TVarRecs values);

std::string int_text(int64_t n);
// An integer text: optional sign, then decimal digits, or hexadecimal ones
// after "$" or "0x" (which may spell the full 64-bit pattern). False (out
// untouched) when s is not a number or overflows.
[[nodiscard]] bool try_parse_int64(std::string_view s, int64_t& out);
// try_parse_int64, 0 when s is not a number.
int64_t parse_int64(std::string_view s) noexcept;

// A byte count as "n.n KB", "n.n MB" or "n.n GB".
std::string size_text(int64_t n);

}  // namespace ux
