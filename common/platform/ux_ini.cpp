#include "common/platform/ux_ini.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace ux {

namespace {

// The content of a regular file; empty for anything else (a pipe is never
// waited on) and when it cannot be read.
std::string regular_file_bytes(const std::string& os_path) {
  const int fd = ::open(os_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return {};
  std::string text;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    char buf[16384];
    for (;;) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      text.append(buf, size_t(n));
    }
  }
  ::close(fd);
  return text;
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= 32) s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= 32) s.remove_suffix(1);
  return s;
}

bool same_ascii_ci(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

std::string read_ini_string(const std::string& os_path, const std::string& section,
                            const std::string& key, const std::string& default_value) {
  return ini_string(regular_file_bytes(os_path), section, key, default_value);
}

std::string ini_string(std::string_view text, std::string_view section, std::string_view key,
                       std::string_view default_value) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  bool in_section = false;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = trimmed(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      const size_t close = line.find(']');
      in_section = close != std::string_view::npos && same_ascii_ci(trimmed(line.substr(1, close - 1)), section);
      continue;
    }
    if (!in_section) continue;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos || !same_ascii_ci(trimmed(line.substr(0, eq)), key)) continue;
    std::string_view value = trimmed(line.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    return std::string(value);
  }
  return std::string(default_value);
}

}  // namespace ux
