#include "common/ux_common.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <openssl/evp.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "common/platform/ux_iconv.h"
#include "common/platform/ux_process.h"

namespace ux {

// ================================================================ errors

EAssertionFailed::EAssertionFailed(std::string text, std::string unit, int line)
    : Exception(text + " (" + unit + ", line " + std::to_string(line) + ")"),
      text_(std::move(text)),
      unit_(std::move(unit)),
      line_(line) {}

void assertion_failed(const std::string& text, const std::string& unit, int line) {
  throw EAssertionFailed(text, unit, line);
}

// ================================================================ start-up

namespace {

int initial_code_page() {
  const char* v = std::getenv("QLYN_CODEPAGE");
  return (v && std::strcmp(v, "936") == 0) ? CP_GBK : CP_UTF8;
}

std::atomic<int>& code_page_cell() {
  static std::atomic<int> cp{initial_code_page()};
  return cp;
}

std::mutex& file_append_lock() {
  static std::mutex m;
  return m;
}

std::atomic<IClockSource*> g_clock{nullptr};

int64_t system_now_ms() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t system_tick_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

TRTL_INFO make_rtl_info() {
  TRTL_INFO info;
  const uint16_t probe = 1;
  unsigned char first;
  std::memcpy(&first, &probe, 1);
  info.cpu.is_cpu_le = first == 1;
  info.cpu.is_cpu_64bit = sizeof(void*) == 8;
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  info.cpu.processor_count = n > 0 ? uint32_t(n) : 1;
#if defined(__x86_64__) || defined(__i386__)
  info.cpu.is_cpu_x86 = true;
  info.cpu.CPU_TEXT = "X86";
#elif defined(__aarch64__) || defined(__arm__)
  info.cpu.is_cpu_arm = true;
  info.cpu.CPU_TEXT = "ARM";
#elif defined(__mips__)
  info.cpu.is_cpu_mips = true;
  info.cpu.CPU_TEXT = "MIPS";
#elif defined(__powerpc__)
  info.cpu.is_cpu_powerpc = true;
  info.cpu.CPU_TEXT = "PPC";
#endif
  if (info.cpu.is_cpu_64bit) info.cpu.CPU_TEXT += "_64";
  info.cpu.CPU_TEXT += info.cpu.is_cpu_le ? "-LE" : "-BE";

  info.os.is_linux = true;
  info.os.is_fs_utf8 = true;
  info.os.OS_Text = "Linux";
  info.os.is_linux_desktop = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
  if (access("/etc/openwrt_version", F_OK) == 0 || access("/etc/openwrt_release", F_OK) == 0) {
    info.os.is_openwrt = true;
    info.os.OS_Text = "WRT-OS";
  }
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  info.utc_offset_hours = int32_t(local.tm_gmtoff / 3600);
  info.utc_offset_ms = info.utc_offset_hours * 3600000;
  return info;
}

}  // namespace

const TRTL_INFO& rtl_info() {
  static const TRTL_INFO info = make_rtl_info();
  return info;
}

// ================================================================ code page and conversions

int code_page() noexcept { return code_page_cell().load(std::memory_order_relaxed); }

void set_code_page(int cp) noexcept {
  code_page_cell().store(cp == CP_GBK ? CP_GBK : CP_UTF8, std::memory_order_relaxed);
}

bool is_lead_byte(unsigned char b) noexcept { return code_page() == CP_GBK && b >= 0x80; }

namespace {

constexpr std::string_view kUtf8Replacement = "\xEF\xBF\xBD";
constexpr std::string_view kUtf16Replacement = "\xFD\xFF";

TCharset text_charset() { return code_page() == CP_GBK ? TCharset::gbk : TCharset::utf8; }
std::string_view replacement_for(TCharset c) {
  switch (c) {
    case TCharset::utf8: return kUtf8Replacement;
    case TCharset::gbk: return "?";
    case TCharset::utf16le: return kUtf16Replacement;
  }
  return "?";
}

std::u16string bytes_to_u16(const std::string& b) {
  std::u16string out(b.size() / 2, u'\0');
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = char16_t(uint8_t(b[2 * i]) | (uint16_t(uint8_t(b[2 * i + 1])) << 8));
  return out;
}

std::string u16_to_bytes(std::u16string_view s) {
  std::string out(s.size() * 2, '\0');
  for (size_t i = 0; i < s.size(); ++i) {
    out[2 * i] = char(s[i] & 0xFF);
    out[2 * i + 1] = char(s[i] >> 8);
  }
  return out;
}

std::string convert(TCharset from, TCharset to, std::string_view s) {
  return iconv_convert(from, to, s, replacement_for(to));
}

}  // namespace

std::u16string text_to_utf16(std::string_view s) {
  return bytes_to_u16(convert(text_charset(), TCharset::utf16le, s));
}
std::string utf16_to_text(std::u16string_view s) {
  return convert(TCharset::utf16le, text_charset(), u16_to_bytes(s));
}
std::string utf8_to_text(std::string_view s) {
  return text_charset() == TCharset::utf8 ? std::string(s) : convert(TCharset::utf8, TCharset::gbk, s);
}
std::string text_to_utf8(std::string_view s) {
  return text_charset() == TCharset::utf8 ? std::string(s) : convert(TCharset::gbk, TCharset::utf8, s);
}
std::u16string utf8_to_utf16(std::string_view s) {
  return bytes_to_u16(convert(TCharset::utf8, TCharset::utf16le, s));
}
std::string utf16_to_utf8(std::u16string_view s) {
  return convert(TCharset::utf16le, TCharset::utf8, u16_to_bytes(s));
}
bool utf16_to_utf8(std::u16string_view s, std::string& out) {
  for (size_t i = 0; i < s.size(); ++i) {
    const char16_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
  }
  out = utf16_to_utf8(s);
  return true;
}
std::string gbk_to_utf8(std::string_view s) { return convert(TCharset::gbk, TCharset::utf8, s); }
std::string utf8_to_gbk(std::string_view s) { return convert(TCharset::utf8, TCharset::gbk, s); }

// ================================================================ mixed values

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

// ================================================================ search and tokens

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

std::string values_to_text(TVarRecs values) {
  std::string out;
  for (const auto& v : values) out += v.text();
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

// ================================================================ format_text

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

namespace {

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses an integer text; false when s is not a number or overflows.
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

}  // namespace

int64_t parse_int64(std::string_view s) noexcept {
  int64_t v = 0;
  return try_parse_int64(s, v) ? v : 0;
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

// ================================================================ full-width characters

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

std::string bytes_to_text(const void* bytes, long long n, bool utf8) {
  if (!bytes || n <= 0) return {};
  std::string_view raw(static_cast<const char*>(bytes), size_t(n));
  return utf8 ? utf8_to_text(raw) : std::string(raw);
}

std::string env_text(const std::string& name) {
  const char* v = std::getenv(text_to_os(name).c_str());
  return v ? os_to_text(v) : std::string();
}

// ================================================================ JSON texts

// Under code page 936 (raw false) a lead byte and the byte after it are
// copied as one character, as json_text_field reads them. A lead byte that
// ends s or stands before a double quote would be read with the closing or
// escaped quote as its pair: it is not a character and is written as "?".
std::string json_escape(std::string_view s, bool raw) {
  const bool double_byte = !raw && code_page() == CP_GBK;
  std::string out;
  out.reserve(s.size() + 8);
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (double_byte && uint8_t(c) >= 0x80) {
      if (i + 1 < s.size() && s[i + 1] != '"') {
        out += c;
        out += s[++i];
      } else {
        out += '?';
      }
      continue;
    }
    switch (c) {
      case '\0': out += "\\u0000"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '"': out += "\\\""; break;
      case '/': out += "\\/"; break;
      case '\\': out += "\\\\"; break;
      default: out += c;
    }
  }
  return out;
}

std::string json_unescape(std::string_view s) {
  if (s.find('\\') == std::string_view::npos) return std::string(s);
  const bool gbk = code_page() == CP_GBK;
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (gbk && uint8_t(c) >= 0x80 && i + 1 < s.size()) {
      out += c;
      out += s[++i];
      continue;
    }
    if (c != '\\' || i + 1 >= s.size()) {
      out += c;
      continue;
    }
    switch (s[i + 1]) {
      case '"': out += '"'; ++i; break;
      case '/': out += '/'; ++i; break;
      case '\\': out += '\\'; ++i; break;
      case 'b': case 'B': out += '\b'; ++i; break;
      case 'n': case 'N': out += '\n'; ++i; break;
      case 'r': case 'R': out += '\r'; ++i; break;
      case 't': case 'T': out += '\t'; ++i; break;
      default: out += c;  // the next character is processed on its own
    }
  }
  return out;
}

namespace {

// Marks the bytes of json that are second bytes of double-byte characters.
std::vector<bool> trail_bytes(std::string_view json) {
  std::vector<bool> trail(json.size(), false);
  if (code_page() != CP_GBK) return trail;
  for (size_t i = 0; i + 1 < json.size(); ++i)
    if (uint8_t(json[i]) >= 0x80) trail[++i] = true;
  return trail;
}

// 0-based index of the byte that ends the value starting at `start` (its
// closing quote or bracket), or npos when it does not end. Strings honour
// backslash escapes; arrays and objects count nesting outside strings.
size_t value_end(std::string_view json, size_t start, const std::vector<bool>& trail) {
  const char open = json[start];
  if (open == '"') {
    for (size_t i = start + 1; i < json.size(); ++i) {
      if (json[i] == '\\' && !trail[i]) { ++i; continue; }
      if (json[i] == '"' && !trail[i]) return i;
    }
    return std::string_view::npos;
  }
  const char close = open == '[' ? ']' : '}';
  int depth = 0;
  bool in_string = false;
  for (size_t i = start; i < json.size(); ++i) {
    const char c = json[i];
    if (trail[i]) continue;
    if (c == '\\') { ++i; continue; }
    if (in_string) {
      if (c == '"') in_string = false;
      continue;
    }
    if (c == '"') in_string = true;
    else if (c == '[' || c == '{') ++depth;
    else if (c == ']' || c == '}') {
      if (--depth == 0) return c == close ? i : std::string_view::npos;
    }
  }
  return std::string_view::npos;
}

}  // namespace

namespace {

struct TKeyMatch {
  size_t pos = 0;    // 1-based start of the quoted name; 0 when absent
  size_t colon = 0;  // 1-based position of its ":"; 0 when none follows
};

// First occurrence of quoted (case-insensitive) that is a key: a match whose
// ":" (searched from colon_offset bytes after the match's start) is preceded
// by a "," was a value, and the search goes on after it. A match without any
// ":" after it ends the search with colon 0.
TKeyMatch find_json_key(std::string_view json, std::string_view quoted, long long colon_offset) {
  for (size_t p = ci_pos(quoted, json); p != 0; p = ci_pos(quoted, json, (long long)p + 1)) {
    const size_t colon = ci_pos(":", json, (long long)p + colon_offset);
    if (colon == 0) return {p, 0};
    const size_t name_end = p - 1 + quoted.size();  // 0-based, just after the quoted name
    if (colon - 1 > name_end && json.substr(name_end, colon - 1 - name_end).find(',') != std::string_view::npos)
      continue;
    return {p, colon};
  }
  return {};
}

}  // namespace

std::string json_text_field(std::string_view json, std::string_view name) {
  const std::string quoted = concat_texts("\"", name, "\"");
  const size_t colon = find_json_key(json, quoted, 3).colon;  // 1-based
  if (colon == 0) return {};

  const std::vector<bool> trail = trail_bytes(json);
  size_t i = colon;  // 0-based index just after ':'
  for (; i < json.size(); ++i) {
    const char c = json[i];
    if (c == '\\' && !trail[i]) { ++i; continue; }
    if (c == ',') return {};
    if (c == '"' || c == '[' || c == '{' || c == '-' || c == '.' || (c >= '0' && c <= '9')) break;
  }
  if (i >= json.size()) return {};
  const char kind = json[i];
  if (kind == '"') {
    const size_t e = value_end(json, i, trail);
    const size_t stop = e == std::string_view::npos ? json.size() : e;
    return json_unescape(json.substr(i + 1, stop - i - 1));
  }
  if (kind == '[' || kind == '{') {
    const size_t e = value_end(json, i, trail);
    if (e == std::string_view::npos) return std::string(json.substr(i)) + (kind == '[' ? "]" : "}");
    return std::string(json.substr(i, e - i + 1));
  }
  size_t e = i;
  while (e < json.size() && json[e] != ',' && json[e] != '}') ++e;
  return trim_text(json.substr(i, e - i));
}

int64_t json_text_int(std::string_view json, std::string_view name, int64_t default_value) {
  int64_t v = 0;
  if (try_parse_int64(trim_text(json_text_field(json, name)), v)) return v;
  return default_value;
}

int json_text_set(std::string& json, std::string_view name, std::string_view value_text) {
  if (name.empty()) return 0;
  if (json.empty()) json = "{}";
  const std::string quoted = concat_texts("\"", name, "\"");
  // A value that spells the quoted name is not the field.
  TKeyMatch key = find_json_key(json, quoted, 2);
  if (key.pos != 0 && key.colon == 0) {
    size_t before = key.pos - 1;  // 0-based index of the opening quote
    while (before > 0 && uint8_t(json[before - 1]) <= 32) --before;
    if (before > 0 && json[before - 1] == ':') key = {};
  }
  const size_t p = key.pos;
  if (p == 0) {
    const size_t brace = json.rfind('}');
    if (brace != std::string::npos) json.resize(brace);
    const bool has_fields = json.find(':') != std::string::npos;
    json += concat_texts(has_fields ? ", " : "", quoted, ":", value_text, "}");
    return 1;
  }
  if (p == 1) return 0;
  const size_t colon = key.colon;
  if (colon == 0) return 0;
  // The old value ends at its real end (a string's closing quote, a matching
  // bracket), then at the next "," or "}".
  const std::vector<bool> trail = trail_bytes(json);
  size_t scan = colon;
  while (scan < json.size() && uint8_t(json[scan]) <= 32) ++scan;
  if (scan < json.size() && (json[scan] == '"' || json[scan] == '[' || json[scan] == '{')) {
    const size_t e = value_end(json, scan, trail);
    scan = e == std::string::npos ? json.size() : e + 1;
  }
  size_t stop = json.find_first_of(",}", scan);
  if (stop == std::string::npos) stop = json.size();
  json.replace(colon, stop - colon, value_text);
  return 1;
}

int json_text_set_int(std::string& json, std::string_view name, int64_t n) {
  return json_text_set(json, name, int_text(n));
}

int json_text_set_str(std::string& json, std::string_view name, std::string_view s) {
  return json_text_set(json, name, concat_texts("\"", json_escape(s, false), "\""));
}

std::string build_json_text(TVarRecs pairs) {
  std::string out = "{";
  bool first = true;
  for (const TVarRec* it = pairs.begin(); it != pairs.end() && it + 1 != pairs.end(); it += 2) {
    const std::string name = it->text();
    if (name.empty()) continue;
    const TVarRec& v = *(it + 1);
    std::string value;
    if (v.kind == TVarRec::vBool) value = v.b ? "1" : "0";
    else value = v.text();
    if (!first) out += ", ";
    first = false;
    out += concat_texts("\"", name, "\":");
    if (value.empty()) out += "\"\"";
    else if (v.kind == TVarRec::vString || v.kind == TVarRec::vChar)
      out += concat_texts("\"", json_escape(value, false), "\"");
    else out += value;
  }
  out += "}";
  return out;
}

// ================================================================ files

std::string exe_dir(bool use_module) {
  std::string path;
  if (use_module) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&exe_dir), &info) && info.dli_fname) {
      char real[PATH_MAX];
      path = realpath(info.dli_fname, real) ? real : info.dli_fname;
    }
  }
  if (path.empty()) path = executable_path();
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : os_to_text(path.substr(0, slash + 1));
}

void force_dirs(const std::string& path) {
  if (path.empty() || path == "/" || path == "\\") return;
  std::string p = replace_char(path, '\\', '/');
  if (p.back() != '/') p += '/';
  p = replace_all(p, "//", "/");
  const std::string os = text_to_os(p);
  for (size_t i = 1; i <= os.size(); ++i) {
    if (i < os.size() && os[i] != '/') continue;
    const std::string part = os.substr(0, i);
    if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
      struct stat st;
      if (stat(part.c_str(), &st) != 0) return;
    }
  }
}

int delete_file(const std::string& path) {
  if (path.empty()) return -1;
  return unlink(text_to_os(path).c_str()) == 0 ? 0 : -1;
}

namespace {

bool write_all(int fd, const char* data, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, data, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (w == 0) return false;  // no progress: a failure, not a reason to spin
    data += w;
    n -= size_t(w);
  }
  return true;
}

long long write_in_place(std::string_view data, const std::string& os) {
  const int fd = open(os.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  const bool ok = write_all(fd, data.data(), data.size());
  return (close(fd) == 0 && ok) ? (long long)data.size() : -1;
}

// Opens a regular file read-only; -1 for anything else, so that a pipe
// without a writer or an endless device is never waited on or read.
int open_regular_file(const std::string& os) {
  const int fd = open(os.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st{};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return -1;
  }
  return fd;
}

// Writes data into a new file beside path and renames it over path, so that
// a failure leaves the old file as it was. A symbolic link is written through;
// when no file can be made beside path (a folder without write access, a name
// too long for the suffix) path itself is truncated and written.
long long replace_file(std::string_view data, const std::string& path) {
  const std::string os = text_to_os(path);
  struct stat old{};
  const bool exists = lstat(os.c_str(), &old) == 0;
  if (exists && S_ISLNK(old.st_mode)) return write_in_place(data, os);
  static std::atomic<unsigned> counter{0};
  const std::string tmp = os + ".~" + std::to_string(getpid()) + "." + std::to_string(++counter);
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? -1 : write_in_place(data, os);
  bool ok = write_all(fd, data.data(), data.size());
  if (exists && S_ISREG(old.st_mode)) ok = ok && fchmod(fd, old.st_mode & 07777) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(tmp.c_str(), os.c_str()) != 0) {
    unlink(tmp.c_str());
    return -1;
  }
  return (long long)data.size();
}

}  // namespace

long long write_text_to_file(std::string_view text, const std::string& path) {
  if (path.empty()) return 0;
  return replace_file(text, path);
}

int write_buf_to_file(const void* buffer, long long n, const std::string& path) {
  if (path.empty()) return 0;
  if (!buffer || n <= 0) replace_file({}, path);
  else replace_file(std::string_view(static_cast<const char*>(buffer), size_t(n)), path);
  return 1;
}

std::string read_file_text(const std::string& path) {
  if (path.empty()) return {};
  const int fd = open_regular_file(text_to_os(path));
  if (fd < 0) return {};
  std::string out;
  struct stat st{};
  if (fstat(fd, &st) == 0 && st.st_size > 0) out.reserve(size_t(st.st_size));
  char buf[65536];
  for (;;) {
    const ssize_t r = ::read(fd, buf, sizeof buf);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    out.append(buf, size_t(r));
  }
  close(fd);
  return out;
}

long long append_text_to_file(std::string_view text, const std::string& path) {
  if (text.empty() || path.empty()) return 0;
  std::lock_guard<std::mutex> lock(file_append_lock());
  // Non-blocking: a pipe without a reader fails at once instead of holding the lock.
  const int fd = open(text_to_os(path).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd >= 0) {
    (void)write_all(fd, text.data(), text.size());
    close(fd);
  }
  return (long long)text.size();
}

long long file_size(const std::string& path) {
  if (path.empty()) return 0;
  const std::string os = text_to_os(path);
  struct stat st{};
  if (stat(os.c_str(), &st) != 0) return 0;
  if (S_ISREG(st.st_mode)) return st.st_size;
  // Only a block device has a size beyond its directory entry; directories,
  // pipes and sockets count as 0 and are never opened (a pipe would block).
  if (!S_ISBLK(st.st_mode)) return 0;
  const int fd = open(os.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;
  const off_t end = lseek(fd, 0, SEEK_END);
  close(fd);
  return end > 0 ? end : 0;
}

TDateTime file_time(const std::string& path) {
  struct stat st{};
  if (path.empty() || stat(text_to_os(path).c_str(), &st) != 0) return 0;
  tm local{};
  const time_t sec = st.st_mtim.tv_sec;
  TDateTime t;
  if (!localtime_r(&sec, &local) ||
      !try_encode_datetime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                           local.tm_sec, int(st.st_mtim.tv_nsec / 1000000), t))
    return encode_datetime(1980, 1, 1, 0, 0, 0, 0);
  return t;
}

namespace {

std::string absolute_dir(const std::string& os_path) {
  char real[PATH_MAX];
  std::string abs = realpath(os_path.c_str(), real) ? std::string(real) : os_path;
  if (abs.empty() || abs.back() != '/') abs += '/';
  return abs;
}

// Returns false when the walk was stopped.
bool walk_os_dir(const std::string& os_dir, void* user_data, const TWalkDirCallback& callback,
                 bool recursive) {
  DIR* d = opendir(os_dir.c_str());
  if (!d) return true;
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    names.emplace_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  const std::string dir_text = os_to_text(os_dir);
  for (const std::string& name : names) {
    const std::string full = os_dir + name;
    struct stat st{};
    if (lstat(full.c_str(), &st) != 0) continue;
    const bool is_dir = S_ISDIR(st.st_mode);
    const bool is_link = S_ISLNK(st.st_mode);
    if (!is_dir && !is_link && !(S_ISREG(st.st_mode) && st.st_size > 0)) continue;
    bool keep_going = true;
    try {
      callback(user_data, dir_text, is_dir, os_to_text(name), keep_going);
    } catch (...) {
    }
    if (!keep_going) return false;
    if (is_dir && recursive && !walk_os_dir(full + "/", user_data, callback, recursive)) return false;
  }
  return true;
}

}  // namespace

void walk_dir(const std::string& path, void* user_data, const TWalkDirCallback& callback,
              bool recursive) {
  if (path.empty() || !callback) return;
  const std::string os = text_to_os(replace_char(path, '\\', '/'));
  struct stat st{};
  if (stat(os.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  walk_os_dir(absolute_dir(os), user_data, callback, recursive);
}

namespace {

std::string digest_hex(const unsigned char* d, unsigned n) {
  static const char kHex[] = "0123456789abcdef";
  std::string out(size_t(n) * 2, '0');
  for (unsigned i = 0; i < n; ++i) {
    out[2 * i] = kHex[d[i] >> 4];
    out[2 * i + 1] = kHex[d[i] & 15];
  }
  return out;
}

// MD5 of a file region [offset, offset + length) read in 16384-byte blocks;
// length < 0 means to the end. Empty when the file cannot be opened.
std::string md5_file_region(const std::string& path, int64_t offset, int64_t length) {
  const int fd = open_regular_file(text_to_os(path));
  if (fd < 0) return {};
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_md5(), nullptr);
  if (offset > 0) lseek(fd, offset, SEEK_SET);
  char buf[16384];
  int64_t left = length;
  while (length < 0 || left > 0) {
    const size_t want = length < 0 ? sizeof buf : size_t(std::min<int64_t>(left, sizeof buf));
    const ssize_t r = ::read(fd, buf, want);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    EVP_DigestUpdate(ctx, buf, size_t(r));
    left -= r;
  }
  close(fd);
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned n = 0;
  EVP_DigestFinal_ex(ctx, d, &n);
  EVP_MD_CTX_free(ctx);
  return digest_hex(d, n);
}

}  // namespace

std::string md5_hex(const void* data, size_t n) {
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  EVP_Digest(n ? data : "", n, d, &len, EVP_md5(), nullptr);
  return digest_hex(d, len);
}

std::string md5_hex(std::string_view text) { return md5_hex(text.data(), text.size()); }

std::string md5_file_hex(const std::string& path) {
  if (path.empty()) return {};
  struct stat st{};
  if (stat(text_to_os(path).c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return {};
  return md5_file_region(path, 0, -1);
}

std::string file_fingerprint(const std::string& path) {
  struct stat st{};
  if (path.empty() || stat(text_to_os(path).c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return {};
  const int64_t size = file_size(path);
  if (size < 1000001) return md5_file_hex(path);
  const std::string head = md5_file_region(path, 0, 65536);
  const std::string tail = md5_file_region(path, size - 65536, 65536);
  return md5_hex(head + tail + int_text(size));
}

// ================================================================ clocks

void set_clock_source(IClockSource* source) noexcept { g_clock.store(source); }

TFakeClock::TFakeClock(int64_t now, int64_t tick) : now_(now), tick_(tick), previous_(g_clock.exchange(this)) {}
TFakeClock::~TFakeClock() {
  IClockSource* self = this;
  g_clock.compare_exchange_strong(self, previous_);
}

int64_t now_ms() {
  IClockSource* c = g_clock.load();
  return c ? c->now_ms() : system_now_ms();
}

int64_t tick_ms() {
  IClockSource* c = g_clock.load();
  return c ? c->tick_ms() : system_tick_ms();
}

namespace {

constexpr int64_t kMsPerDay = 86400000;
constexpr int64_t kDelphiToUnixDays = 25569;  // 1899-12-30 .. 1970-01-01

int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + int64_t(doe) - 719468;
}

void civil_from_days(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = unsigned(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t yy = int64_t(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = int(doy - (153 * mp + 2) / 5 + 1);
  m = int(mp < 10 ? mp + 3 : mp - 9);
  y = int(yy + (m <= 2));
}

// Date-times from 0001-01-01 up to, not including, 10000-01-01.
bool valid_datetime(TDateTime t) { return std::isfinite(t) && t >= -693593.0 && t < 2958466.0; }

bool is_leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

struct TDateFields {
  int y, mo, d, h, mi, s, ms;
};

TDateFields decode_datetime(TDateTime t) {
  int64_t total = llround(t * double(kMsPerDay));
  int64_t days = total >= 0 ? total / kMsPerDay : -((-total + kMsPerDay - 1) / kMsPerDay);
  int64_t ms_of_day = total - days * kMsPerDay;
  TDateFields f{};
  civil_from_days(days - kDelphiToUnixDays, f.y, f.mo, f.d);
  f.h = int(ms_of_day / 3600000);
  f.mi = int(ms_of_day / 60000 % 60);
  f.s = int(ms_of_day / 1000 % 60);
  f.ms = int(ms_of_day % 1000);
  return f;
}

}  // namespace

bool try_encode_datetime(int y, int mo, int d, int h, int mi, int s, int ms, TDateTime& out) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 1 || y > 9999 || mo < 1 || mo > 12 || d < 1) return false;
  if (d > kDays[mo - 1] + (mo == 2 && is_leap(y) ? 1 : 0)) return false;
  if (h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 59 || ms < 0 || ms > 999) return false;
  const int64_t days = days_from_civil(y, unsigned(mo), unsigned(d)) + kDelphiToUnixDays;
  const int64_t time_ms = int64_t(h) * 3600000 + int64_t(mi) * 60000 + int64_t(s) * 1000 + ms;
  out = double(days) + double(time_ms) / double(kMsPerDay);
  return true;
}

TDateTime encode_datetime(int y, int mo, int d, int h, int mi, int s, int ms) {
  TDateTime t;
  if (!try_encode_datetime(y, mo, d, h, mi, s, ms, t)) throw Exception("Invalid argument to date encode");
  return t;
}

TDateTime now_datetime() {
  const int64_t ms = now_ms();
  const time_t sec = time_t(ms / 1000);
  tm local{};
  localtime_r(&sec, &local);
  return encode_datetime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                         local.tm_sec, int(ms % 1000));
}

int64_t now_ms(TDateTime t) {
  if (t < 0) return now_ms();
  if (!valid_datetime(t)) return 0;
  const int64_t total = int64_t(std::nearbyint(t * double(kMsPerDay)));
  const int64_t days = total / kMsPerDay;
  const int64_t ms_of_day = total % kMsPerDay;
  int y, mo, d;
  civil_from_days(days - kDelphiToUnixDays, y, mo, d);
  // The local offset in force at that moment (whole and half-hour zones, DST).
  tm local{};
  local.tm_year = y - 1900;
  local.tm_mon = mo - 1;
  local.tm_mday = d;
  local.tm_hour = int(ms_of_day / 3600000);
  local.tm_min = int(ms_of_day / 60000 % 60);
  local.tm_sec = int(ms_of_day / 1000 % 60);
  local.tm_isdst = -1;
  const time_t sec = mktime(&local);
  return int64_t(sec) * 1000 + ms_of_day % 1000;
}

std::string datetime_text(TDateTime t, bool with_ms) {
  if (!valid_datetime(t)) return {};
  const TDateFields f = decode_datetime(t);
  char buf[40];
  if (with_ms)
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", f.y, f.mo, f.d, f.h, f.mi, f.s, f.ms);
  else
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", f.y, f.mo, f.d, f.h, f.mi, f.s);
  return buf;
}

TDateTime parse_datetime_text(std::string_view s, TDateTime default_value) {
  std::string rest = replace_char(replace_char(s, 'T', ' '), 't', ' ');
  const char* seps[] = {"-", "-", " ", ":", ":", ":"};
  int fields[6];
  for (int i = 0; i < 6; ++i) {
    const std::string token = fetch_token(rest, seps[i]);
    int64_t v = -1;
    if (!try_parse_int64(token, v) || v < INT32_MIN || v > INT32_MAX) v = -1;
    fields[i] = int(v);
    if (fields[i] < 0) return default_value;
  }
  int year = fields[0];
  if (year <= 70) year += 2000;
  else if (year <= 99) year += 1900;
  TDateTime t;
  if (!try_encode_datetime(year, fields[1], fields[2], fields[3], fields[4], fields[5], 0, t))
    throw Exception("'" + std::string(s) + "' is not a valid date and time");
  return t;
}

// ================================================================ numbers

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

namespace {

uint64_t& random_state() {
  thread_local uint64_t state = [] {
    std::random_device rd;
    uint64_t s = (uint64_t(rd()) << 32) ^ rd() ^ uint64_t(std::hash<std::thread::id>()(std::this_thread::get_id()));
    return s ? s : 0x9E3779B97F4A7C15ULL;
  }();
  return state;
}

uint64_t next_random() {
  uint64_t& x = random_state();
  x ^= x << 13;
  x ^= x >> 7;
  x ^= x << 17;
  return x;
}

}  // namespace

int64_t random_between(int64_t a, int64_t b) {
  if (a == b) return a;
  const uint64_t r = next_random() % 0x10ffffffULL;
  const uint64_t span = abs_diff(a, b) + 1;
  return int64_t(uint64_t(min64(a, b)) + (span == 0 ? r : r % span));
}

std::string random_digits(int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += char('0' + random_between(i == 0 ? 1 : 0, 9));
  return out;
}

namespace {

int base64_value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string base64_decode_text(std::string_view s) {
  std::string clean;
  clean.reserve(s.size());
  for (char c : s) {
    const uint8_t b = uint8_t(c);
    if (b == 0 || b == 8 || b == 9 || b == 10 || b == 13 || b == 0xFE || b == 0xFF) continue;
    clean += b == ' ' ? '+' : c;
  }
  if (clean.size() < 2 || clean.size() % 4 != 0) return {};
  std::string out;
  out.reserve(clean.size() / 4 * 3);
  int group[4];
  int count = 0;
  for (char c : clean) {
    if (c == '=' && count >= 2) {
      out += char((group[0] << 2) | (group[1] >> 4));
      if (count == 3) out += char(((group[1] & 15) << 4) | (group[2] >> 2));
      return out;
    }
    const int v = base64_value(uint8_t(c));
    if (v < 0) continue;
    group[count++] = v;
    if (count == 4) {
      out += char((group[0] << 2) | (group[1] >> 4));
      out += char(((group[1] & 15) << 4) | (group[2] >> 2));
      out += char(((group[2] & 3) << 6) | group[3]);
      count = 0;
    }
  }
  return out;
}

std::string base64_encode_text(std::string_view s) {
  if (s.empty()) return {};
  std::string out(4 * ((s.size() + 2) / 3), '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(s.data()), int(s.size()));
  out.resize(size_t(n));
  return out;
}

}  // namespace ux
