#include "common/ux_files.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <vector>

#include "common/platform/ux_process.h"
#include "common/ux_codepage.h"
#include "common/ux_digest.h"
#include "common/ux_fd_stream.h"
#include "common/ux_file_replace.h"
#include "common/ux_format.h"
#include "common/ux_text.h"

namespace ux {

namespace {

std::mutex& file_append_lock() {
  static std::mutex m;
  return m;
}

}  // namespace

bool file_exists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(text_to_os(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool name_exists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::lstat(text_to_os(path).c_str(), &st) == 0;
}

std::string exe_dir(bool use_module) {
  std::string path;
  if (use_module) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&exe_dir), &info) && info.dli_fname) {
      char real[PATH_MAX];
      path = realpath(info.dli_fname, real) ? real : info.dli_fname;
    }
  }
  if (path.empty()) path = executable_path();
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : os_to_text(path.substr(0, slash + 1));
}

void force_dirs(const std::string& path) {
  if (path.empty() || path == "/" || path == "\\") return;
  std::string p = replace_char(path, '\\', '/');
  if (p.back() != '/') p += '/';
  p = replace_all(p, "//", "/");
  const std::string os = text_to_os(p);
  for (size_t i = 1; i <= os.size(); ++i) {
    if (i < os.size() && os[i] != '/') continue;
    const std::string part = os.substr(0, i);
    if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
      struct stat st;
      if (stat(part.c_str(), &st) != 0) return;
    }
  }
}

int delete_file(const std::string& path) {
  if (path.empty()) return -1;
  return unlink(text_to_os(path).c_str()) == 0 ? 0 : -1;
}

namespace {

// A regular file opened read-only; null for anything else, so that a pipe
// without a writer or an endless device is never waited on or read.
std::unique_ptr<TFdStream> open_regular_file(const std::string& os) {
  const int fd = open(os.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  auto in = std::make_unique<TFdStream>(fd);
  struct stat st{};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  return in;
}

bool replace_with(std::string_view data, const std::string& path) {
  return replace_file(path, [data](TStream& out) {
    return out.Write(data.data(), int64_t(data.size())) == int64_t(data.size());
  });
}

}  // namespace

long long write_text_to_file(std::string_view text, const std::string& path) {
  if (path.empty()) return 0;
  return replace_with(text, path) ? (long long)text.size() : -1;
}

int write_buf_to_file(const void* buffer, long long n, const std::string& path) {
  if (path.empty()) return 0;
  const std::string_view data =
      buffer && n > 0 ? std::string_view(static_cast<const char*>(buffer), size_t(n)) : std::string_view();
  (void)replace_with(data, path);
  return 1;
}

std::string read_file_text(const std::string& path) {
  if (path.empty()) return {};
  const auto in = open_regular_file(text_to_os(path));
  if (!in) return {};
  std::string out;
  const int64_t size = in->GetSize();
  if (size > 0) out.reserve(size_t(size));
  char buf[65536];
  for (int64_t n; (n = in->Read(buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
  return out;
}

long long append_text_to_file(std::string_view text, const std::string& path) {
  if (text.empty() || path.empty()) return 0;
  std::lock_guard<std::mutex> lock(file_append_lock());
  // Non-blocking: a pipe without a reader fails at once instead of holding the lock.
  const int fd = open(text_to_os(path).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd >= 0) {
    TFdStream out(fd);
    (void)out.Write(text.data(), int64_t(text.size()));
  }
  return (long long)text.size();
}

long long file_size(const std::string& path) {
  if (path.empty()) return 0;
  const std::string os = text_to_os(path);
  struct stat st{};
  if (stat(os.c_str(), &st) != 0) return 0;
  if (S_ISREG(st.st_mode)) return st.st_size;
  // Only a block device has a size beyond its directory entry; directories,
  // pipes and sockets count as 0 and are never opened (a pipe would block).
  if (!S_ISBLK(st.st_mode)) return 0;
  const int fd = open(os.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;
  const off_t end = lseek(fd, 0, SEEK_END);
  close(fd);
  return end > 0 ? end : 0;
}

TDateTime file_time(const std::string& path) {
  struct stat st{};
  if (path.empty() || stat(text_to_os(path).c_str(), &st) != 0) return 0;
  tm local{};
  const time_t sec = st.st_mtim.tv_sec;
  TDateTime t;
  if (!localtime_r(&sec, &local) ||
      !try_encode_datetime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                           local.tm_sec, int(st.st_mtim.tv_nsec / 1000000), t))
    return encode_datetime(1980, 1, 1, 0, 0, 0, 0);
  return t;
}

namespace {

std::string absolute_dir(const std::string& os_path) {
  char real[PATH_MAX];
  std::string abs = realpath(os_path.c_str(), real) ? std::string(real) : os_path;
  if (abs.empty() || abs.back() != '/') abs += '/';
  return abs;
}

// Returns false when the walk was stopped.
bool walk_os_dir(const std::string& os_dir, void* user_data, const TWalkDirCallback& callback,
                 bool recursive) {
  DIR* d = opendir(os_dir.c_str());
  if (!d) return true;
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    names.emplace_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  const std::string dir_text = os_to_text(os_dir);
  for (const std::string& name : names) {
    const std::string full = os_dir + name;
    struct stat st{};
    if (lstat(full.c_str(), &st) != 0) continue;
    const bool is_dir = S_ISDIR(st.st_mode);
    const bool is_link = S_ISLNK(st.st_mode);
    if (!is_dir && !is_link && !(S_ISREG(st.st_mode) && st.st_size > 0)) continue;
    bool keep_going = true;
    try {
      callback(user_data, dir_text, is_dir, os_to_text(name), keep_going);
    } catch (...) {
    }
    if (!keep_going) return false;
    if (is_dir && recursive && !walk_os_dir(full + "/", user_data, callback, recursive)) return false;
  }
  return true;
}

}  // namespace

void walk_dir(const std::string& path, void* user_data, const TWalkDirCallback& callback,
              bool recursive) {
  if (path.empty() || !callback) return;
  const std::string os = text_to_os(replace_char(path, '\\', '/'));
  struct stat st{};
  if (stat(os.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  walk_os_dir(absolute_dir(os), user_data, callback, recursive);
}

namespace {

// MD5 of a file region [offset, offset + length) as far as it can be read;
// length < 0 means to the end. Empty when the file cannot be opened.
std::string md5_file_region(const std::string& path, int64_t offset, int64_t length) {
  const auto in = open_regular_file(text_to_os(path));
  if (!in) return {};
  if (offset > 0) in->Seek(offset, TSeekOrigin::soBeginning);
  return md5_hex_of([&in](void* buffer, int64_t count) { return in->Read(buffer, count); }, length, false);
}

}  // namespace

std::string md5_file_hex(const std::string& path) {
  if (!file_exists(path)) return {};
  return md5_file_region(path, 0, -1);
}

std::string file_fingerprint(const std::string& path) {
  if (!file_exists(path)) return {};
  const int64_t size = file_size(path);
  if (size < 1000001) return md5_file_hex(path);
  const std::string head = md5_file_region(path, 0, 65536);
  const std::string tail = md5_file_region(path, size - 65536, 65536);
  return md5_hex(head + tail + int_text(size));
}

std::string resolved_os_path(const std::string& os_path) {
  char* r = ::realpath(os_path.c_str(), nullptr);
  if (!r) return {};
  std::string s(r);
  std::free(r);
  return s;
}

bool os_path_inside(const std::string& real, const std::string& root_real) {
  if (root_real.empty() || real.empty() || real[0] != '/') return false;
  if (root_real == "/") return true;
  return real.compare(0, root_real.size(), root_real) == 0 &&
         (real.size() == root_real.size() || real[root_real.size()] == '/');
}

}  // namespace ux
