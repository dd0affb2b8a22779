// ux_ini: reading values from INI files.
#pragma once

#include <string>
#include <string_view>

namespace ux {

// The value of key in [section] of the INI file at path; section and key
// match case-insensitively, the value is trimmed and one pair of enclosing
// double quotes is removed. default_value when the file, section or key is
// absent. Lines starting with ';' or '#' are comments.
std::string read_ini_string(const std::string& path, const std::string& section,
                            const std::string& key, const std::string& default_value = {});
// The same lookup in the text of an INI file.
std::string ini_string(std::string_view text, std::string_view section, std::string_view key,
                       std::string_view default_value = {});

}  // namespace ux
