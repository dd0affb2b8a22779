#include "common/ux_codepage.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/platform/ux_iconv.h"

namespace ux {

namespace {

int initial_code_page() {
  const char* v = std::getenv("QLYN_CODEPAGE");
  return (v && std::strcmp(v, "936") == 0) ? CP_GBK : CP_UTF8;
}

std::atomic<int>& code_page_cell() {
  static std::atomic<int> cp{initial_code_page()};
  return cp;
}

}  // namespace

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

std::string bytes_to_text(const void* bytes, long long n, bool utf8) {
  if (!bytes || n <= 0) return {};
  std::string_view raw(static_cast<const char*>(bytes), size_t(n));
  return utf8 ? utf8_to_text(raw) : std::string(raw);
}

std::string env_text(const std::string& name) {
  const char* v = std::getenv(text_to_os(name).c_str());
  return v ? os_to_text(v) : std::string();
}

}  // namespace ux
