#include "common/ux_file_path.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <memory>

#include "common/ux_common.h"
#include "common/ux_json_v2.h"

namespace ux {

namespace {

constexpr size_t npos = std::string::npos;
// Deepest folder nesting RemovePath, RemoveEmptyPath and the listing descend
// into; deeper entries count as failures / are not listed.
constexpr int kMaxDepth = 256;
// Most entries one listing returns; also the most names read from one folder
// in one removal pass.
constexpr size_t kMaxListEntries = size_t(1) << 20;

bool is_sep(char c) { return c == '/' || c == '\\'; }

// Position of the last separator, npos when none. Under code page 936 the
// second byte of a double-byte character is never a separator.
size_t last_sep(const std::string& s) {
  size_t last = npos;
  for (size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (is_lead_byte(c) && i + 1 < s.size()) {
      ++i;
      continue;
    }
    if (is_sep(static_cast<char>(c))) last = i;
  }
  return last;
}

// True when s[i] is a separator, not the second byte of a double-byte
// character.
bool sep_at(const std::string& s, size_t i) {
  for (size_t k = 0; k < s.size(); ++k) {
    const auto c = static_cast<unsigned char>(s[k]);
    if (k == i) return is_sep(static_cast<char>(c));
    if (is_lead_byte(c) && k + 1 < s.size()) {
      if (k + 1 == i) return false;
      ++k;
    }
  }
  return false;
}

// ASCII lower case that leaves double-byte characters intact.
std::string lower_text(const std::string& s) {
  std::string out = s;
  for (size_t i = 0; i < out.size(); ++i) {
    const auto c = static_cast<unsigned char>(out[i]);
    if (is_lead_byte(c) && i + 1 < out.size()) {
      ++i;
      continue;
    }
    if (c >= 'A' && c <= 'Z') out[i] = static_cast<char>(c + 32);
  }
  return out;
}

// At most n bytes of s, never ending inside a double-byte character.
std::string left_bytes(const std::string& s, size_t n) {
  if (s.size() <= n) return s;
  size_t i = 0;
  while (i < n) {
    const size_t step = is_lead_byte(static_cast<unsigned char>(s[i])) && i + 1 < s.size() ? 2 : 1;
    if (i + step > n) break;
    i += step;
  }
  return s.substr(0, i);
}

std::string collapse_slashes(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    if (c == '/' && !out.empty() && out.back() == '/') continue;
    out.push_back(c);
  }
  return out;
}

std::string drop_one_trailing_slash(std::string s) {
  if (!s.empty() && s.back() == '/') s.pop_back();
  return s;
}

std::string mtime_text(const struct stat& st) {
  struct tm tm {};
  const time_t t = st.st_mtime;
  if (localtime_r(&t, &tm) == nullptr) return "1980-01-01 00:00:00";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

// Names of a folder (without "." and ".."), sorted, at most kMaxListEntries
// of them (truncated is set when more exist); the descriptor stays open.
bool read_names(int dir_fd, std::vector<std::string>& names, bool& truncated) {
  truncated = false;
  const int fd = ::dup(dir_fd);
  if (fd < 0) return false;
  DIR* d = ::fdopendir(fd);
  if (d == nullptr) {
    ::close(fd);
    return false;
  }
  ::rewinddir(d);
  while (dirent* e = ::readdir(d)) {
    const std::string n = e->d_name;
    if (n == "." || n == "..") continue;
    if (names.size() >= kMaxListEntries) {
      truncated = true;
      break;
    }
    names.push_back(n);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return true;
}

struct TRemoveCount {
  int64_t removed = 0;
  int64_t kept = 0;
  int64_t failed = 0;
};

// Post-order removal below dir_fd: sub-folders are emptied before they are
// removed; symbolic links are unlinked, never followed.
void remove_below(int dir_fd, bool files_too, int depth, TRemoveCount& count) {
  std::vector<std::string> names;
  bool truncated = false;
  if (!read_names(dir_fd, names, truncated) || truncated) ++count.failed;
  for (const auto& n : names) {
    struct stat st;
    if (::fstatat(dir_fd, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) ++count.failed;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      if (depth >= kMaxDepth) {
        ++count.failed;
        continue;
      }
      const int sub = ::openat(dir_fd, n.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub < 0) {
        ++count.failed;
        continue;
      }
      remove_below(sub, files_too, depth + 1, count);
      ::close(sub);
      if (::unlinkat(dir_fd, n.c_str(), AT_REMOVEDIR) == 0) ++count.removed;
      else ++count.failed;
    } else if (files_too) {
      if (::unlinkat(dir_fd, n.c_str(), 0) == 0) ++count.removed;
      else ++count.failed;
    } else {
      ++count.kept;
    }
  }
}

int64_t remove_passes(const std::string& path, bool files_too, int further_passes) {
  const std::string os_path = text_to_os(replace_char(path, '\\', '/'));
  struct stat st;
  if (path.empty() || ::stat(os_path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return 0;
  const int dir_fd = ::open(os_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) return -1;
  int64_t removed = 0;
  TRemoveCount pass;
  for (int i = 0; i <= further_passes; ++i) {
    pass = TRemoveCount{};
    remove_below(dir_fd, files_too, 0, pass);
    removed += pass.removed;
    if (pass.failed == 0) break;
  }
  ::close(dir_fd);
  return pass.failed != 0 ? -1 : removed + pass.kept;
}

bool mask_matches(const std::string& mask, const std::string& name) {
  if (mask == "*" || mask == "*.*") return true;
  return ::fnmatch(mask.c_str(), name.c_str(), FNM_CASEFOLD | FNM_NOESCAPE) == 0;
}

void list_folder(const std::string& folder, const std::string& mask, bool recursive, int depth,
                 std::vector<TUX_PathEntry>& out) {
  const int dir_fd = ::open(text_to_os(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) return;
  std::vector<std::string> names;
  bool truncated = false;
  const bool ok = read_names(dir_fd, names, truncated);
  for (size_t i = 0; ok && i < names.size() && out.size() < kMaxListEntries; ++i) {
    const std::string& os_name = names[i];
    const std::string name = os_to_text(os_name);
    if (!mask_matches(mask, name)) continue;
    struct stat lst, st;
    if (::fstatat(dir_fd, os_name.c_str(), &lst, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (::fstatat(dir_fd, os_name.c_str(), &st, 0) != 0) st = lst;
    TUX_PathEntry e;
    e.name = folder + name;
    e.is_dir = S_ISDIR(st.st_mode);
    e.size = e.is_dir ? 0 : static_cast<int64_t>(st.st_size);
    e.time = mtime_text(st);
    out.push_back(std::move(e));
    if (S_ISDIR(lst.st_mode) && recursive && depth < kMaxDepth)
      list_folder(folder + name + "/", mask, recursive, depth + 1, out);
  }
  ::close(dir_fd);
}

}  // namespace

std::string TUX_Path::extractfileName(const std::string& fname) {
  const size_t p = last_sep(fname);
  return p == npos ? fname : fname.substr(p + 1);
}

std::string TUX_Path::ExtractFilePath(const std::string& fname, const std::string& Delim) {
  const size_t p = last_sep(fname);
  if (p == npos) return Delim.empty() ? std::string("/") : Delim;
  return replace_char(fname.substr(0, p + 1), '\\', Delim.empty() ? '/' : Delim[0]);
}

std::string TUX_Path::extractfileExt(const std::string& fname, bool to_lowercase) {
  const size_t sep = last_sep(fname);
  const size_t dot = fname.rfind('.');
  if (dot == npos || (sep != npos && dot < sep)) return {};
  std::string ext = left_bytes(fname.substr(dot), 9);
  return to_lowercase ? lower_text(ext) : ext;
}

std::string TUX_Path::slashForm(const std::string& path) {
  return collapse_slashes(replace_char(path, '\\', '/'));
}

bool TUX_Path::IsRelativePath(const std::string& path) { return path.empty() || path[0] != '/'; }

bool TUX_Path::isFilePath(const std::string& fname) {
  return !fname.empty() && last_sep(fname) == fname.size() - 1;
}

std::string TUX_Path::ToRelativePath(const std::string& root_Path, const std::string& full_path) {
  std::string s = full_path.substr(std::min(root_Path.size(), full_path.size()));
  s = replace_char(s, '\\', '/');
  if (s.empty() || s[0] != '/') s = "/" + s;
  return collapse_slashes(s);
}

std::string TUX_Path::upLevelPath(const std::string& path) {
  const std::string full = slashForm(path);
  if (full == "/") return full;
  const std::string s = drop_one_trailing_slash(full);
  const size_t p = s.rfind('/');
  return p == npos ? s : s.substr(0, p + 1);
}

std::string TUX_Path::changeFileExt(const std::string& fname, const std::string& newExt) {
  const std::string s = slashForm(fname);
  if (!s.empty() && s.back() == '/') return s;
  const size_t p = s.rfind('/');
  const size_t name_start = p == npos ? 0 : p + 1;
  const size_t dot = s.rfind('.');
  if (dot == npos || dot < name_start || s.size() - dot > 100) return s + newExt;
  return s.substr(0, dot) + newExt;
}

std::string TUX_Path::getPathLastName(const std::string& path) {
  const std::string s = drop_one_trailing_slash(slashForm(path));
  const size_t p = s.rfind('/');
  return left_bytes(p == npos ? s : s.substr(p + 1), 100);
}

std::string TUX_Path::ExtractPhyPath(const std::string& str) {
  std::string cur;
  {
    char buf[4096];
    if (::getcwd(buf, sizeof buf) == nullptr) return {};
    cur = os_to_text(buf);
  }
  if (str.empty()) return collapse_slashes(cur + "/");
  if (!IsRelativePath(str)) return str;
  std::string p = str;
  if (p.size() >= 2 && p[0] == '.' && is_sep(p[1])) p.erase(0, 2);
  if (p.size() >= 2 && (p.back() == '.' || p.back() == '*') && sep_at(p, p.size() - 2)) p.pop_back();
  if (p.size() >= 2 && p[0] == '.' && p[1] == '.' && (p.size() == 2 || is_sep(p[2]))) {
    if (!cur.empty() && cur.back() == '/') cur.pop_back();
    const size_t cut = cur.rfind('/');
    cur = cut == npos ? std::string() : cur.substr(0, cut);
    p.erase(0, 2);
  }
  if (p == ".") p = "/";
  return slashForm(cur + "/" + p);
}

int64_t TUX_Path::RemovePath(const std::string& path, bool /*include_sub_path*/) {
  return remove_passes(path, true, 101);
}

int64_t TUX_Path::RemoveEmptyPath(const std::string& path) { return remove_passes(path, false, 3); }

std::vector<TUX_PathEntry> TUX_Path::listFiles(const std::string& pathName, bool includeSubDir) {
  std::string folder;
  if (last_sep(pathName) == npos) {
    folder = ExtractPhyPath("");
  } else {
    folder = slashForm(ExtractFilePath(pathName, "/"));
  }
  const std::string last = extractfileName(pathName);
  const size_t dot = last.rfind('.');
  const std::string ext = dot == npos ? std::string() : last.substr(dot);
  const std::string mask = ext.empty() || ext == "." ? std::string("*") : "*" + ext;
  std::vector<TUX_PathEntry> out;
  list_folder(folder, mask, includeSubDir, 0, out);
  return out;
}

std::unique_ptr<TJsonObject> TUX_Path::listFilesAsJsonArray(const std::string& pathName,
                                                             bool includeSubDir) {
  auto arr = TJsonObject::Create(json_type_array);
  for (const auto& e : listFiles(pathName, includeSubDir)) {
    auto item = TJsonObject::Create(json_type_object);
    item->Put("name", e.name);
    item->Put("size", e.size);
    item->Put("type", e.is_dir ? "dir" : "file");
    item->Put("time", e.time);
    if (arr->AsArray()->Add(std::move(item)) < 0) break;
  }
  return arr;
}

std::string TUX_Path::listFilesAsJson(const std::string& pathName, bool includeSubDir) {
  return listFilesAsJsonArray(pathName, includeSubDir)->AsJSon(false);
}

}  // namespace ux
