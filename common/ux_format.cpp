#include "common/ux_format.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "common/ux_text.h"

namespace ux {

namespace {

std::string general_text(double d, int prec);

// 15 significant digits with trailing zeros removed; scientific ("1E20",
// "1E-5") only below 0.0001 or from 1E15 up.
std::string shortest_double(double d) {
  if (std::isnan(d)) return "NAN";
  if (std::isinf(d)) return d > 0 ? "INF" : "-INF";
  return general_text(d, 15);
}

}  // namespace

std::string TVarRec::text() const {
  switch (kind) {
    case vNull: return {};
    case vBool: return b ? "True" : "False";
    case vInt: return int_text(i);
    case vDouble: return shortest_double(d);
    case vChar: return std::string(1, c);
    case vString: return s;
    case vObject: return "[object]";
  }
  return {};
}

std::string values_to_text(TVarRecs values) {
  std::string out;
  for (const auto& v : values) out += v.text();
  return out;
}

namespace {

struct TFormatItem {
  bool left = false;
  int width = -1;
  int prec = -1;
  char type = 0;
};

std::string fixed_text(double d, int prec, bool thousands) {
  char buf[640];  // 309 integer digits, sign, point and 300 decimals
  auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed, prec);
  if (r.ec != std::errc()) return {};
  std::string s(buf, r.ptr);
  if (s.size() > 1 && s[0] == '-' && s.find_first_not_of("-0.") == std::string::npos) s.erase(0, 1);
  if (!thousands) return s;
  const size_t sign = s[0] == '-' ? 1 : 0;
  size_t int_end = s.find('.');
  if (int_end == std::string::npos) int_end = s.size();
  for (long i = long(int_end) - 3; i > long(sign); i -= 3) s.insert(size_t(i), ",");
  return s;
}

std::string scientific_text(double d, int prec) {
  if (prec < 1) prec = 15;
  if (prec > 18) prec = 18;
  char buf[128];
  auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific, prec - 1);
  if (r.ec != std::errc()) return {};
  std::string s(buf, r.ptr);
  const size_t e = s.find('e');
  const int exp = std::atoi(s.c_str() + e + 1);
  std::string digits = std::to_string(exp < 0 ? -exp : exp);
  while (digits.size() < 3) digits.insert(0, "0");
  return s.substr(0, e) + "E" + (exp < 0 ? "-" : "+") + digits;
}

std::string general_text(double d, int prec) {
  if (prec < 1 || prec > 15) prec = 15;
  char buf[128];
  auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, prec);
  if (r.ec != std::errc()) return {};
  std::string s(buf, r.ptr);
  const size_t e = s.find('e');
  if (e != std::string::npos) s = s.substr(0, e) + "E" + std::to_string(std::atoi(s.c_str() + e + 1));
  if (s == "-0") s = "0";
  return s;
}

std::string hex_text(uint64_t v, int min_digits) {
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, v, 16);
  std::string s(buf, r.ptr);
  for (char& c : s) c = char(std::toupper(uint8_t(c)));
  if (int(s.size()) < min_digits) s.insert(0, size_t(min_digits) - s.size(), '0');
  return s;
}

bool read_number(std::string_view f, size_t& i, int& out, const TVarRec*& next, const TVarRec* end) {
  if (i < f.size() && f[i] == '*') {
    if (next == end || next->kind != TVarRec::vInt) return false;
    out = int(next->i);
    ++next;
    ++i;
    return true;
  }
  if (i >= f.size() || !std::isdigit(uint8_t(f[i]))) return true;
  long v = 0;
  while (i < f.size() && std::isdigit(uint8_t(f[i]))) {
    v = v * 10 + (f[i] - '0');
    if (v > 100000) return false;
    ++i;
  }
  out = int(v);
  return true;
}

bool format_one(const TFormatItem& item_fmt, const TVarRec& v, std::string& out) {
  switch (item_fmt.type) {
    case 'd':
    case 'u': {
      if (v.kind != TVarRec::vInt) return false;
      const bool neg = item_fmt.type == 'd' && v.i < 0;
      std::string digits = std::to_string(neg ? uint64_t(0) - uint64_t(v.i) : uint64_t(v.i));
      if (item_fmt.prec > 0 && int(digits.size()) < item_fmt.prec)
        digits.insert(0, size_t(item_fmt.prec) - digits.size(), '0');
      out = neg ? "-" + digits : digits;
      return true;
    }
    case 'x':
      if (v.kind != TVarRec::vInt) return false;
      out = hex_text(uint64_t(v.i), item_fmt.prec);
      return true;
    case 'p':
      out = hex_text(v.kind == TVarRec::vInt ? uint64_t(v.i) : 0, 16);
      return true;
    case 'f':
    case 'n':
    case 'm':
    case 'e':
    case 'g': {
      double d;
      if (v.kind == TVarRec::vDouble) d = v.d;
      else if (v.kind == TVarRec::vInt) d = double(v.i);
      else return false;
      const int prec = item_fmt.prec < 0 ? (item_fmt.type == 'e' || item_fmt.type == 'g' ? 15 : 2)
                                     : std::min(item_fmt.prec, item_fmt.type == 'e' || item_fmt.type == 'g' ? 18 : 300);
      if (item_fmt.type == 'e') out = scientific_text(d, prec);
      else if (item_fmt.type == 'g') out = general_text(d, prec);
      else out = fixed_text(d, prec, item_fmt.type != 'f');
      return !out.empty();
    }
    case 's':
      if (v.kind == TVarRec::vString) out = v.s;
      else if (v.kind == TVarRec::vChar) out = std::string(1, v.c);
      else return false;
      if (item_fmt.prec >= 0 && size_t(item_fmt.prec) < out.size()) out.resize(size_t(item_fmt.prec));
      return true;
  }
  return false;
}

}  // namespace

std::string format_text(std::string_view f, TVarRecs values) {
  const TVarRec* begin = values.begin();
  const TVarRec* end = values.end();
  const TVarRec* next = begin;
  std::string out;
  size_t i = 0;
  while (i < f.size()) {
    const size_t pct = f.find('%', i);
    if (pct == std::string_view::npos) {
      out.append(f.substr(i));
      break;
    }
    out.append(f.substr(i, pct - i));
    i = pct + 1;
    if (i >= f.size()) return {};
    if (f[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    TFormatItem item_fmt;
    // Optional "index:".
    size_t j = i;
    while (j < f.size() && std::isdigit(uint8_t(f[j]))) ++j;
    if (j < f.size() && f[j] == ':' && j > i) {
      const int index = std::atoi(std::string(f.substr(i, j - i)).c_str());
      if (index < 0 || index >= int(values.size())) return {};
      next = begin + index;
      i = j + 1;
    } else if (i < f.size() && f[i] == '*' && i + 1 < f.size() && f[i + 1] == ':') {
      if (next == end || next->kind != TVarRec::vInt) return {};
      const int64_t index = next->i;
      if (index < 0 || index >= int64_t(values.size())) return {};
      next = begin + index;
      i += 2;
    }
    if (i < f.size() && f[i] == '-') {
      item_fmt.left = true;
      ++i;
    }
    if (!read_number(f, i, item_fmt.width, next, end)) return {};
    if (i < f.size() && f[i] == '.') {
      ++i;
      item_fmt.prec = 0;
      if (!read_number(f, i, item_fmt.prec, next, end)) return {};
    }
    if (i >= f.size()) return {};
    item_fmt.type = char(std::tolower(uint8_t(f[i])));
    ++i;
    if (next == end) return {};
    std::string item;
    if (!format_one(item_fmt, *next, item)) return {};
    ++next;
    if (item_fmt.width > 0 && int(item.size()) < item_fmt.width) {
      const std::string pad(size_t(item_fmt.width) - item.size(), ' ');
      item = item_fmt.left ? item + pad : pad + item;
    }
    out += item;
  }
  return out;
}

std::string int_text(int64_t n) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, n);
  return std::string(buf, r.ptr);
}

bool try_parse_int64(std::string_view s, int64_t& out) {
  if (s.empty()) return false;
  std::string text(s);
  if (text[0] == ' ') {
    if (text.size() != 1 && text.size() != 3) return false;
    text[0] = '0';
  }
  size_t i = 0;
  bool neg = false;
  if (text[i] == '+' || text[i] == '-') {
    neg = text[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < text.size() && text[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= text.size()) return false;
  uint64_t v = 0;
  const uint64_t limit = neg ? uint64_t(INT64_MAX) + 1 : uint64_t(INT64_MAX);
  for (; i < text.size(); ++i) {
    const int d = hex_value(uint8_t(text[i]));
    if (d < 0 || d >= base) return false;
    if (v > (limit - uint64_t(d)) / uint64_t(base)) {
      // Hexadecimal texts may spell the full 64-bit pattern.
      if (base == 16 && !neg && v <= (UINT64_MAX - uint64_t(d)) / 16) {
        v = v * 16 + uint64_t(d);
        continue;
      }
      return false;
    }
    v = v * uint64_t(base) + uint64_t(d);
  }
  out = neg ? int64_t(0 - v) : int64_t(v);
  return true;
}

int64_t parse_int64(std::string_view s) noexcept {
  int64_t v = 0;
  return try_parse_int64(s, v) ? v : 0;
}

std::string size_text(int64_t n) {
  double v;
  const char* unit;
  if (n / 1024 > 2097152) {
    v = std::nearbyint(double(n) / 106954752.0) / 10;
    unit = " GB";
  } else if (n > 1048576) {
    v = std::nearbyint(double(n) / 104448.0) / 10;
    unit = " MB";
  } else {
    v = std::nearbyint(double(n) / 102.0) / 10;
    unit = " KB";
  }
  if (v == 0) v = 0;  // no "-0"
  return shortest_double(v) + unit;
}

}  // namespace ux
