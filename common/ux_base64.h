// ux_base64: Base64 texts in the standard alphabet.
#pragma once

#include <string>
#include <string_view>

namespace ux {

// Tabs, line breaks, NUL, 0xFE and 0xFF are dropped and a space stands for
// "+"; empty unless what remains is whole groups of four. Other bytes outside
// the alphabet are skipped; decoding ends at "=".
std::string base64_decode_text(std::string_view s);
std::string base64_encode_text(std::string_view s);

}  // namespace ux
