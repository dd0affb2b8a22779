#include "installer/rk50_file_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/ux_common.h"

namespace rk50 {

namespace {

constexpr size_t kCopyChunk = 163840;

bool exists_os(const std::string& os_path) {
  struct stat st;
  return ::lstat(os_path.c_str(), &st) == 0;
}

class TFd {
 public:
  explicit TFd(int fd) : fd_(fd) {}
  ~TFd() { if (fd_ >= 0) ::close(fd_); }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

std::string open_error(const std::string& path) {
  return "Cannot open file " + path + ": " + std::strerror(errno);
}

}  // namespace

bool copy_file_over(const std::string& sour, const std::string& dest) {
  const std::string s = ux::text_to_os(sour), d = ux::text_to_os(dest);
  struct stat st;
  if (::stat(s.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  TFd in(::open(s.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) throw ux::Exception(open_error(sour));
  TFd out(::open(d.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
  if (out.get() < 0) throw ux::Exception(open_error(dest));
  std::vector<char> buf(kCopyChunk);
  off_t total = 0;
  for (;;) {
    ssize_t n = ::read(in.get(), buf.data(), buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    ssize_t off = 0;
    while (off < n) {
      ssize_t w = ::write(out.get(), buf.data() + off, size_t(n - off));
      if (w < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      off += w;
    }
    total += n;
  }
  return ::ftruncate(out.get(), total) == 0;
}

bool move_file(const std::string& sour, const std::string& dest) {
  const std::string s = ux::text_to_os(sour), d = ux::text_to_os(dest);
  if (!exists_os(s)) return false;
  if (s == d) return true;
  ::unlink(d.c_str());
  size_t slash = dest.find_last_of('/');
  if (slash != std::string::npos && slash > 0) ux::force_dirs(dest.substr(0, slash));
  if (::rename(s.c_str(), d.c_str()) != 0 && !exists_os(d)) {
    try {
      if (copy_file_over(sour, dest)) {
        ::unlink(s.c_str());
      } else {
        ::unlink(d.c_str());
      }
    } catch (const ux::Exception&) {
      ::unlink(d.c_str());
    }
  }
  return exists_os(d);
}

bool delete_file_if_any(const std::string& path) {
  const std::string p = ux::text_to_os(path);
  ::unlink(p.c_str());
  return !exists_os(p);
}

bool remove_empty_dir(const std::string& path) {
  std::string p = ux::text_to_os(path);
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return ::rmdir(p.c_str()) == 0;
}

}  // namespace rk50
