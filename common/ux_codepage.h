// ux_codepage: the process code page of byte strings and the conversions
// between it, UTF-8, UTF-16, GBK and the platform's file-name encoding.
//
// Byte strings are std::string in the process code page (UTF-8 by default,
// GBK when 936 is selected at start). Conversions never throw.
#pragma once

#include <string>
#include <string_view>

namespace ux {

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

// n bytes as a byte string: converted from UTF-8 when utf8, else as they are;
// empty for no bytes.
std::string bytes_to_text(const void* bytes, long long n, bool utf8);
// The variable's value in the process code page; empty when unset.
std::string env_text(const std::string& name);

}  // namespace ux
