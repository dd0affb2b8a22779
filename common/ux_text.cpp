#include "common/ux_text.h"

#include <algorithm>

#include "common/ux_codepage.h"

namespace ux {

namespace {

inline unsigned char fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

inline bool ci_same(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (fold(uint8_t(a[i])) != fold(uint8_t(b[i]))) return false;
  return true;
}

// 0-based index of the first case-insensitive match at or after start; npos when none.
size_t ci_find(std::string_view sub, std::string_view s, size_t start) {
  if (sub.empty() || sub.size() > s.size()) return std::string_view::npos;
  const unsigned char f0 = fold(uint8_t(sub[0]));
  const unsigned char f1 = (f0 >= 'a' && f0 <= 'z') ? f0 - 32 : f0;
  for (size_t i = start; i + sub.size() <= s.size(); ++i) {
    const unsigned char c = uint8_t(s[i]);
    if ((c == f0 || c == f1) && ci_same(s.data() + i + 1, sub.data() + 1, sub.size() - 1)) return i;
  }
  return std::string_view::npos;
}

size_t find_exact_or_ci(std::string_view sub, std::string_view s, size_t start, bool case_sensitive) {
  if (case_sensitive) return s.find(sub, start);
  return ci_find(sub, s, start);
}

}  // namespace

size_t ci_pos(std::string_view sub, std::string_view s, long long from) {
  if (from <= 0) from = 1;
  if (sub.empty() || sub.size() > s.size() || size_t(from) > s.size()) return 0;
  const size_t i = ci_find(sub, s, size_t(from - 1));
  return i == std::string_view::npos ? 0 : i + 1;
}

bool ci_equal(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && ci_same(a.data(), b.data(), a.size());
}
bool ci_equal_any2(std::string_view s, std::string_view a, std::string_view b) noexcept {
  return ci_equal(s, a) || ci_equal(s, b);
}
bool ci_equal_any3(std::string_view s, std::string_view a, std::string_view b,
                   std::string_view c) noexcept {
  return ci_equal(s, a) || ci_equal(s, b) || ci_equal(s, c);
}
bool ci_equal_buf(std::string_view s, const void* buffer, long long n) noexcept {
  if (n < 0 || s.size() != size_t(n)) return false;
  if (n == 0) return true;
  return buffer && ci_same(s.data(), static_cast<const char*>(buffer), size_t(n));
}
bool ci_prefix_equal(std::string_view a, std::string_view b, long long n) noexcept {
  if (n <= 0 || a.size() < size_t(n) || b.size() < size_t(n)) return ci_equal(a, b);
  return ci_same(a.data(), b.data(), size_t(n));
}
bool ci_in_list(std::string_view s, const std::string* list, long long high) noexcept {
  if (!list) return false;
  for (long long i = 0; i <= high; ++i)
    if (ci_equal(s, list[i])) return true;
  return false;
}
bool ci_in_list(std::string_view s, std::initializer_list<std::string_view> list) noexcept {
  for (auto item : list)
    if (ci_equal(s, item)) return true;
  return false;
}

std::string fetch_token(std::string& s, std::string_view sep) {
  if (s.empty()) return {};
  const size_t p = sep.empty() ? 0 : ci_pos(sep, s);
  if (p == 0) {
    std::string all;
    all.swap(s);
    return all;
  }
  std::string head = s.substr(0, p - 1);
  s.erase(0, p - 1 + sep.size());
  return head;
}

std::string fetch_last_token(std::string& s, std::string_view sep) {
  const size_t p = sep.empty() ? std::string::npos : s.rfind(sep);
  if (p == std::string::npos) {
    std::string all;
    all.swap(s);
    return all;
  }
  std::string tail = s.substr(p + sep.size());
  s.resize(p);
  return tail;
}

std::string replace_all(std::string_view s, std::string_view old_text, std::string_view new_text,
                        bool case_sensitive) {
  if (s.empty() || old_text.empty() || s.size() < old_text.size() || ci_equal(old_text, new_text))
    return std::string(s);
  if (old_text.size() == new_text.size()) {
    std::string out(s);
    for (size_t i = find_exact_or_ci(old_text, s, 0, case_sensitive); i != std::string_view::npos;
         i = find_exact_or_ci(old_text, s, i + 1, case_sensitive))
      out.replace(i, new_text.size(), new_text);
    return out;
  }
  std::string out;
  out.reserve(s.size());
  size_t last = 0;
  for (size_t i = find_exact_or_ci(old_text, s, 0, case_sensitive); i != std::string_view::npos;
       i = find_exact_or_ci(old_text, s, last, case_sensitive)) {
    out.append(s.substr(last, i - last));
    out.append(new_text);
    last = i + old_text.size();
  }
  out.append(s.substr(last));
  return out;
}

std::string replace_char(std::string_view s, char from, char to) {
  std::string out(s);
  if (from == to) return out;
  for (size_t i = 0; i < out.size(); ++i) {
    if (is_lead_byte(uint8_t(out[i])) && i + 1 < out.size()) {
      ++i;
      continue;
    }
    if (out[i] == from) out[i] = to;
  }
  return out;
}

size_t last_pos_in_set(const TByteSet& set, std::string_view s) noexcept {
  for (size_t i = s.size(); i > 0; --i)
    if (set.has(uint8_t(s[i - 1]))) return i;
  return 0;
}

std::string left_text(std::string_view s, long long n) {
  if (n <= 0) return {};
  return std::string(s.substr(0, size_t(n)));
}
std::string right_text(std::string_view s, long long n) {
  if (n <= 0) return {};
  if (size_t(n) >= s.size()) return std::string(s);
  return std::string(s.substr(s.size() - size_t(n)));
}
unsigned char first_byte(std::string_view s) noexcept { return s.empty() ? 0 : uint8_t(s.front()); }
unsigned char last_byte(std::string_view s) noexcept { return s.empty() ? 0 : uint8_t(s.back()); }

std::string concat_texts(std::string_view a, std::string_view b, std::string_view c,
                         std::string_view d, std::string_view e) {
  std::string out;
  out.reserve(a.size() + b.size() + c.size() + d.size() + e.size());
  out.append(a).append(b).append(c).append(d).append(e);
  return out;
}

std::string trim_text(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && uint8_t(s[b]) <= 32) ++b;
  while (e > b && uint8_t(s[e - 1]) <= 32) --e;
  return std::string(s.substr(b, e - b));
}

std::string lower_ascii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = char(fold(uint8_t(c)));
  return out;
}

namespace {

// Reads "%u" and four hexadecimal digits at s[i].
bool utf16_escape_at(std::string_view s, size_t i, char16_t& unit) {
  if (i + 5 >= s.size() || s[i] != '%' || s[i + 1] != 'u') return false;
  unsigned v = 0;
  for (size_t k = i + 2; k < i + 6; ++k) {
    const int d = hex_value(uint8_t(s[k]));
    if (d < 0) return false;
    v = v << 4 | unsigned(d);
  }
  unit = char16_t(v);
  return true;
}

}  // namespace

std::string url_decode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '+') {
      out += ' ';
    } else if (c != '%') {
      out += c;
    } else if (i + 1 < s.size() && s[i + 1] == '%') {
      out += '%';
      ++i;
    } else if (char16_t units[2]; utf16_escape_at(s, i, units[0])) {
      // A surrogate pair spelled as two escapes is one character.
      const bool pair = units[0] >= 0xD800 && units[0] <= 0xDBFF && utf16_escape_at(s, i + 6, units[1]) &&
                        units[1] >= 0xDC00 && units[1] <= 0xDFFF;
      out += utf16_to_text(std::u16string_view(units, pair ? 2 : 1));
      i += pair ? 11 : 5;
    } else if (i + 2 < s.size()) {
      const int hi = hex_value(uint8_t(s[i + 1]));
      const int lo = hex_value(uint8_t(s[i + 2]));
      out += char(((hi < 0 ? 0 : hi) << 4) | (lo < 0 ? 0 : lo));
      i += 2;
    } else {
      // A "%" followed by fewer than two characters is kept as it stands.
      out.append(s.substr(i));
      break;
    }
  }
  return out;
}

std::string unescape_param(std::string_view s) {
  return replace_all(replace_all(s, "%2C", ","), "%3d", "=");
}

std::string param_value(std::string_view s, std::string_view name, std::string_view sep,
                        std::string_view assign) {
  if (name.empty() || s.empty()) return {};
  size_t name_end;  // 0-based index just after the name
  const std::string key1 = concat_texts(sep, name, assign);
  size_t p = ci_pos(key1, s);
  if (p != 0) {
    name_end = p - 1 + sep.size() + name.size();
  } else {
    const std::string key2 = concat_texts(name, assign);
    p = ci_pos(key2, s);
    if (p == 0) return {};
    const bool at_start = p == 1;
    const bool after_sep = p >= 2 && !sep.empty() && s[p - 2] == sep.back();
    if (!at_start && !after_sep) return {};
    name_end = p - 1 + name.size();
  }
  const size_t start = std::min(name_end + 1, s.size());
  const size_t q = sep.empty() ? 0 : ci_pos(sep, s, (long long)name_end + 1);
  const size_t stop = (q == 0 || q - 1 < start) ? s.size() : q - 1;
  return unescape_param(s.substr(start, stop - start));
}

namespace {

// Full-width code points turned into ASCII: digits, Latin capitals, punctuation.
bool fullwidth_mapped(char32_t cp) {
  if (cp < 0xFF01 || cp > 0xFF5E) return false;
  const char ascii = char(cp - 0xFEE0);
  return !(ascii >= 'a' && ascii <= 'z');
}

// Code point of a GBK full-width form in U+FF01..U+FF5E, 0 for anything else.
// Row A3 holds them in order except A3A4 (U+FFE5 yen) and A3FE (U+FFE3
// macron); the full-width dollar and tilde sit in row A1.
char32_t gbk_fullwidth_code(uint8_t lead, uint8_t trail) {
  if (lead == 0xA3 && trail >= 0xA1 && trail <= 0xFD && trail != 0xA4) return 0xFF00 + (trail - 0xA0);
  if (lead == 0xA1 && trail == 0xE7) return 0xFF04;
  if (lead == 0xA1 && trail == 0xAB) return 0xFF5E;
  return 0;
}

}  // namespace

std::string fullwidth_to_ascii(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  const bool gbk = code_page() == CP_GBK;
  for (size_t i = 0; i < s.size(); ++i) {
    const uint8_t b = uint8_t(s[i]);
    if (gbk) {
      if (b >= 0x80 && i + 1 < s.size()) {
        const char32_t cp = gbk_fullwidth_code(b, uint8_t(s[i + 1]));
        if (fullwidth_mapped(cp))
          out += char(cp - 0xFEE0);
        else
          out.append(s.substr(i, 2));
        ++i;
        continue;
      }
    } else if (b == 0xEF && i + 2 < s.size()) {
      const uint8_t b1 = uint8_t(s[i + 1]), b2 = uint8_t(s[i + 2]);
      if ((b1 == 0xBC || b1 == 0xBD) && (b2 & 0xC0) == 0x80) {
        const char32_t cp = 0xF000 | char32_t(b1 & 0x3F) << 6 | char32_t(b2 & 0x3F);
        if (fullwidth_mapped(cp)) {
          out += char(cp - 0xFEE0);
          i += 2;
          continue;
        }
      }
    }
    out += char(b);
  }
  return out;
}

}  // namespace ux
