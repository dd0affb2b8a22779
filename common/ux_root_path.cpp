#include "common/ux_root_path.h"

#include <sys/stat.h>

#include <cerrno>

#include "common/ux_common.h"

namespace ux {

bool split_relative_path(const std::string& name, std::vector<std::string>& parts) {
  parts.clear();
  if (name.find('\0') != std::string::npos) return false;
  const std::string s = replace_char(name, '\\', '/');
  if (s.size() >= 2 && s[0] == '/' && s[1] == '/') return false;
  for (size_t i = 0; i <= s.size();) {
    size_t e = s.find('/', i);
    if (e == std::string::npos) e = s.size();
    std::string part = s.substr(i, e - i);
    i = e + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") return false;
    if (parts.empty() && part.size() >= 2 && part[1] == ':' &&
        ((part[0] >= 'A' && part[0] <= 'Z') || (part[0] >= 'a' && part[0] <= 'z')))
      return false;
    parts.push_back(std::move(part));
  }
  return !parts.empty();
}

TUX_Root_Path::TUX_Root_Path(std::string root) : root_(std::move(root)) {
  if (root_.empty() || root_.back() != '/') root_ += '/';
}

TUX_Root_Path::TCheck TUX_Root_Path::ensure_folder(const std::string& path, bool create) {
  const std::string os = text_to_os(path);
  struct stat st;
  if (::lstat(os.c_str(), &st) != 0) {
    if (!create) return TCheck::failed;
    if (::mkdir(os.c_str(), 0777) != 0 && errno != EEXIST) return TCheck::failed;
    if (::lstat(os.c_str(), &st) != 0) return TCheck::failed;
  }
  if (S_ISLNK(st.st_mode)) return TCheck::refused;
  return S_ISDIR(st.st_mode) ? TCheck::ok : TCheck::failed;
}

TUX_Root_Path::TCheck TUX_Root_Path::resolve(const std::vector<std::string>& parts, bool create_folders,
                                             std::string& target, bool& exists) {
  exists = false;
  if (parts.empty()) return TCheck::refused;
  std::string path = root_;
  for (size_t k = 0; k + 1 < parts.size(); ++k) {
    path += parts[k];
    if (!known_.count(path)) {
      const TCheck c = ensure_folder(path, create_folders);
      if (c != TCheck::ok) return c;
      known_.insert(path);
    }
    path += '/';
  }
  target = path + parts.back();
  struct stat st;
  if (::lstat(text_to_os(target).c_str(), &st) != 0) return errno == ENOENT ? TCheck::ok : TCheck::failed;
  if (S_ISLNK(st.st_mode)) return TCheck::refused;
  if (!S_ISREG(st.st_mode)) return TCheck::failed;
  exists = true;
  return TCheck::ok;
}

}  // namespace ux
