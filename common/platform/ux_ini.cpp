#include "common/platform/ux_ini.h"

#include "common/ux_common.h"

namespace ux {

std::string read_ini_string(const std::string& path, const std::string& section,
                            const std::string& key, const std::string& default_value) {
  return ini_string(read_file_text(path), section, key, default_value);
}

std::string ini_string(std::string_view text, std::string_view section, std::string_view key,
                       std::string_view default_value) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  bool in_section = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = trim_text(text.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      const size_t close = line.find(']');
      in_section = close != std::string::npos &&
                   ci_equal(trim_text(std::string_view(line).substr(1, close - 1)), section);
      continue;
    }
    if (!in_section) continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    if (!ci_equal(trim_text(std::string_view(line).substr(0, eq)), key)) continue;
    std::string value = trim_text(std::string_view(line).substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    return value;
  }
  return std::string(default_value);
}

}  // namespace ux
