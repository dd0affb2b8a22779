// ux_ini: reading values from INI files.
#pragma once

#include <string>
#include <string_view>

namespace ux {

// The value of key in [section] of the INI file at os_path, a path in the
// file-name encoding (UTF-8; convert with text_to_os at the call site).
// Section and key match ASCII case-insensitively; the value is the file's
// bytes, trimmed of bytes up to 32 at both ends and of one pair of enclosing
// double quotes. default_value when the file (a regular file), the section or
// the key is absent. Lines starting with ';' or '#' are comments; a UTF-8
// byte order mark is skipped.
std::string read_ini_string(const std::string& os_path, const std::string& section,
                            const std::string& key, const std::string& default_value = {});
// The same lookup in the text of an INI file.
std::string ini_string(std::string_view text, std::string_view section, std::string_view key,
                       std::string_view default_value = {});

}  // namespace ux
