// ux_common: the flat helpers every unit shares — errors, code page and
// conversions, byte-string search and tokenizing, the JSON-text toolkit, file
// helpers, the replaceable clocks, numbers and Base64, and the process
// information record.
//
// Byte strings are std::string in the process code page (UTF-8 by default,
// GBK when 936 is selected at start). Text positions are 1-based, 0 means
// "not found". Case-insensitive means ASCII folding only. Helpers never throw
// for bad input: they return 0, -1, false or an empty string.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>

namespace ux {

// ---------------------------------------------------------------- errors

// Set-up errors carrying a message text.
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& text) : std::runtime_error(text) {}
};

// Failed internal consistency check: names the check, its source unit and line.
// what() is "text (unit, line N)".
class EAssertionFailed : public Exception {
 public:
  EAssertionFailed(std::string text, std::string unit, int line);
  const std::string& text() const noexcept { return text_; }
  const std::string& unit() const noexcept { return unit_; }
  int line() const noexcept { return line_; }

 private:
  std::string text_;
  std::string unit_;
  int line_;
};

[[noreturn]] void assertion_failed(const std::string& text, const std::string& unit, int line);

// ---------------------------------------------------------------- code page

inline constexpr int CP_UTF8 = 65001;
inline constexpr int CP_GBK = 936;

// The process code page of byte strings: from QLYN_CODEPAGE at start ("936"
// selects GBK), else UTF-8. set_code_page is for start-up and tests only.
int code_page() noexcept;
void set_code_page(int cp) noexcept;

// True when b starts a double-byte character under the current code page
// (936: any byte >= 0x80; UTF-8: never — UTF-8 needs no such rule).
bool is_lead_byte(unsigned char b) noexcept;

// Conversions. Invalid input is replaced (U+FFFD towards UTF-16/UTF-8, "?"
// towards GBK); they never throw.
std::u16string text_to_utf16(std::string_view s);
std::string utf16_to_text(std::u16string_view s);
std::string utf8_to_text(std::string_view s);
std::string text_to_utf8(std::string_view s);
std::u16string utf8_to_utf16(std::string_view s);
std::string utf16_to_utf8(std::u16string_view s);
// Strict form: false (out untouched) when s holds an unpaired surrogate.
[[nodiscard]] bool utf16_to_utf8(std::u16string_view s, std::string& out);
std::string gbk_to_utf8(std::string_view s);
std::string utf8_to_gbk(std::string_view s);
// Byte string <-> the platform's file-name encoding (UTF-8).
inline std::string text_to_os(std::string_view s) { return text_to_utf8(s); }
inline std::string os_to_text(std::string_view s) { return utf8_to_text(s); }

// ---------------------------------------------------------------- mixed values

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

// ---------------------------------------------------------------- search and tokens

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
std::string values_to_text(TVarRecs values);
std::string trim_text(std::string_view s);
std::string lower_ascii(std::string_view s);

// The standard format operation: %[index:][-][width][.prec]type with d u x X
// e f g n m s p, "*" width/precision from the values; "." is always the
// decimal separator. A bad format or mismatched value gives "".
std::string format_text(std::string_view format, TVarRecs values);
std::string int_text(int64_t n);
int64_t parse_int64(std::string_view s) noexcept;

std::string url_decode(std::string_view s);
std::string param_value(std::string_view s, std::string_view name, std::string_view sep,
                        std::string_view assign);
std::string unescape_param(std::string_view s);
std::string fullwidth_to_ascii(std::string_view s);
std::string bytes_to_text(const void* bytes, long long n, bool utf8);
// The variable's value in the process code page; empty when unset.
std::string env_text(const std::string& name);

// ---------------------------------------------------------------- JSON texts

std::string json_escape(std::string_view s, bool raw);
std::string json_unescape(std::string_view s);
std::string json_text_field(std::string_view json, std::string_view name);
int64_t json_text_int(std::string_view json, std::string_view name, int64_t default_value = 0);
int json_text_set(std::string& json, std::string_view name, std::string_view value_text);
int json_text_set_int(std::string& json, std::string_view name, int64_t n);
int json_text_set_str(std::string& json, std::string_view name, std::string_view s);
// Pairs: name, value, name, value, ... (an odd last name is ignored).
std::string build_json_text(TVarRecs pairs);

// ---------------------------------------------------------------- files

// Directory of the executable (or of this module), with the trailing "/".
std::string exe_dir(bool use_module = false);
// Creates path and every missing parent; failures are not reported.
void force_dirs(const std::string& path);
int delete_file(const std::string& path);
// Replaces the file with text. Bytes written, -1 on failure (the old file is
// then left as it was), 0 when path is empty.
long long write_text_to_file(std::string_view text, const std::string& path);
// 1 whenever path is not empty, 0 otherwise.
int write_buf_to_file(const void* buffer, long long n, const std::string& path);
std::string read_file_text(const std::string& path);
// Appends under one process-wide lock; errors are swallowed. Returns text's length.
long long append_text_to_file(std::string_view text, const std::string& path);
long long file_size(const std::string& path);

// Days since 1899-12-30 with the time of day as fraction (local time).
using TDateTime = double;
// Modification time; 1980-01-01 when unknown; 0 when the file does not exist.
TDateTime file_time(const std::string& path);

// keep_going starts true; clearing it stops the walk. dir is the listed
// folder's absolute path with trailing "/". Errors raised by the callback are
// ignored. The current directory is never changed.
using TWalkDirCallback = std::function<void(void* user_data, const std::string& dir, bool is_dir,
                                            const std::string& name, bool& keep_going)>;
void walk_dir(const std::string& path, void* user_data, const TWalkDirCallback& callback,
              bool recursive);

std::string md5_hex(const void* data, size_t n);
std::string md5_hex(std::string_view text);
std::string md5_file_hex(const std::string& path);
std::string file_fingerprint(const std::string& path);

// ---------------------------------------------------------------- clocks

// The one point every clock reading passes through; tests install a fake.
class IClockSource {
 public:
  virtual ~IClockSource() = default;
  virtual int64_t now_ms() = 0;   // ms since 1970-01-01 UTC
  virtual int64_t tick_ms() = 0;  // monotonic ms
};
// nullptr restores the system clocks. The source must outlive its use.
void set_clock_source(IClockSource* source) noexcept;

// A settable clock for tests; installs itself for its lifetime and then puts
// back the source it replaced.
class TFakeClock : public IClockSource {
 public:
  explicit TFakeClock(int64_t now = 1700000000000LL, int64_t tick = 1000000LL);
  ~TFakeClock() override;
  TFakeClock(const TFakeClock&) = delete;
  TFakeClock& operator=(const TFakeClock&) = delete;
  int64_t now_ms() override { return now_.load(); }
  int64_t tick_ms() override { return tick_.load(); }
  void advance(int64_t ms) { now_ += ms; tick_ += ms; }
  void set_now(int64_t ms) { now_ = ms; }

 private:
  std::atomic<int64_t> now_;
  std::atomic<int64_t> tick_;
  IClockSource* previous_;
};

int64_t now_ms();
// A local date-time as ms since 1970 UTC; a negative value means now. 0 for
// a value past 9999-12-31 or not a number.
int64_t now_ms(TDateTime t);
int64_t tick_ms();
TDateTime now_datetime();
TDateTime encode_datetime(int y, int mo, int d, int h, int mi, int s, int ms);
[[nodiscard]] bool try_encode_datetime(int y, int mo, int d, int h, int mi, int s, int ms,
                                       TDateTime& out);
// "yyyy-mm-dd hh:nn:ss[.zzz]"; empty outside 0001-01-01 .. 9999-12-31.
std::string datetime_text(TDateTime t, bool with_ms);
// Throws ux::Exception for fields out of range; default_value for bad texts.
TDateTime parse_datetime_text(std::string_view s, TDateTime default_value);

// ---------------------------------------------------------------- numbers

std::string size_text(int64_t n);
inline int32_t min32(int32_t a, int32_t b) { return a < b ? a : b; }
inline int32_t max32(int32_t a, int32_t b) { return a > b ? a : b; }
inline int64_t min64(int64_t a, int64_t b) { return a < b ? a : b; }
inline int64_t max64(int64_t a, int64_t b) { return a > b ? a : b; }
inline uint64_t abs_diff(int64_t a, int64_t b) {
  return a > b ? uint64_t(a) - uint64_t(b) : uint64_t(b) - uint64_t(a);
}
inline bool in_range(int64_t x, int64_t a, int64_t b) { return a <= x && x <= b; }
inline uint16_t swap16(uint16_t v) { return __builtin_bswap16(v); }
inline uint32_t swap32(uint32_t v) { return __builtin_bswap32(v); }
inline uint64_t swap64(uint64_t v) { return __builtin_bswap64(v); }
int64_t random_between(int64_t a, int64_t b);
std::string random_digits(int n);
std::string base64_decode_text(std::string_view s);
std::string base64_encode_text(std::string_view s);

// ---------------------------------------------------------------- process record

struct TRTL_INFO {
  struct {
    bool is_cpu_x86, is_cpu_arm, is_cpu_mips, is_cpu_powerpc, is_cpu_le, is_cpu_64bit;
    uint32_t processor_count;
    std::string CPU_TEXT;
  } cpu{};
  struct {
    bool is_windows, is_wince, is_winE, is_Android, is_linux, is_linux_desktop, is_ios,
        is_macos, is_openwrt, is_fs_utf8;
    std::string OS_Text;
  } os{};
  int32_t utc_offset_hours = 0;
  int32_t utc_offset_ms = 0;
};
// Filled once, on first use, before any worker thread exists.
const TRTL_INFO& rtl_info();

}  // namespace ux
