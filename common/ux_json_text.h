// ux_json_text: reading and setting fields directly in JSON texts, without a
// document model — for small flat texts such as events and settings.
//
// Names match case-insensitively. Under code page 936 the second byte of a
// double-byte character is never taken for a quote, bracket or backslash.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/ux_format.h"

namespace ux {

std::string json_escape(std::string_view s, bool raw);
std::string json_unescape(std::string_view s);
std::string json_text_field(std::string_view json, std::string_view name);
int64_t json_text_int(std::string_view json, std::string_view name, int64_t default_value = 0);
int json_text_set(std::string& json, std::string_view name, std::string_view value_text);
int json_text_set_int(std::string& json, std::string_view name, int64_t n);
int json_text_set_str(std::string& json, std::string_view name, std::string_view s);
// Pairs: name, value, name, value, ... (an odd last name is ignored).
std::string build_json_text(TVarRecs pairs);

}  // namespace ux
