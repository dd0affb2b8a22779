#include "archive/archive_library_deploy.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "common/ux_common.h"

namespace ux {

namespace {

// MFD_EXEC (Linux 6.3): keeps the memory file executable where the system
// seals memory files against execution by default. Older kernels refuse the
// flag, so the file is then made without it.
constexpr unsigned kMfdExec = 0x0010U;

bool write_all(int fd, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

// The sealed memory file; -1 with errno set on failure.
int make_sealed_copy(std::string_view bytes) {
  int fd = ::memfd_create(kArchiveLibraryName, MFD_CLOEXEC | MFD_ALLOW_SEALING | kMfdExec);
  if (fd < 0 && errno == EINVAL) fd = ::memfd_create(kArchiveLibraryName, MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return -1;
  const int seals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL;
  if (!write_all(fd, bytes) || ::fcntl(fd, F_ADD_SEALS, seals) != 0) {
    const int e = errno;
    ::close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

// True when code can be mapped from fd (its file system and the system's
// policy allow running it).
bool can_map_code(int fd) {
  const long page = ::sysconf(_SC_PAGESIZE);
  void* p = ::mmap(nullptr, size_t(page > 0 ? page : 4096), PROT_READ | PROT_EXEC, MAP_PRIVATE, fd, 0);
  if (p == MAP_FAILED) return false;
  ::munmap(p, size_t(page > 0 ? page : 4096));
  return true;
}

[[noreturn]] void fail_loading(const std::string& reason) {
  throw Exception(std::string("Error loading library ") + kArchiveLibraryName + ": " + reason);
}

// True when the regular file at os_path holds exactly bytes.
bool same_file_bytes(const std::string& os_path, std::string_view bytes) {
  struct stat st;
  if (::lstat(os_path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != off_t(bytes.size()))
    return false;
  const int fd = ::open(os_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  std::string buf(65536, '\0');
  size_t at = 0;
  bool same = true;
  while (same) {
    const ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      same = n == 0 && at == bytes.size();
      break;
    }
    same = at + size_t(n) <= bytes.size() && std::memcmp(buf.data(), bytes.data() + at, size_t(n)) == 0;
    at += size_t(n);
  }
  ::close(fd);
  return same;
}

}  // namespace

std::string_view archive_library_text() {
  static const std::string text = base64_encode_text(archive_library_data());
  return text;
}

namespace {

// private_library_copy without the exception: the reason it failed, or ""
// with path set.
std::string make_private_copy(std::string_view bytes, const std::string& base, std::string& path) {
  std::string folder = base + "/qlyn-7z-XXXXXX";
  if (!::mkdtemp(folder.data())) return "cannot create a private folder in " + os_to_text(base) + ": " + std::strerror(errno);
  const std::string file = folder + "/" + kArchiveLibraryName;
  std::string reason;
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0500);
  if (fd < 0 || !write_all(fd, bytes)) reason = std::strerror(errno);
  if (fd >= 0) ::close(fd);
  if (reason.empty() && !same_file_bytes(file, bytes)) reason = "the private copy differs from the carried library";
  if (reason.empty()) {
    const int rd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (rd < 0 || !can_map_code(rd)) reason = "code cannot run from " + os_to_text(base);
    if (rd >= 0) ::close(rd);
  }
  if (!reason.empty()) {
    ::unlink(file.c_str());
    ::rmdir(folder.c_str());
    return reason;
  }
  path = file;
  return {};
}

std::string g_private_copy;  // the fallback copy in use, removed at exit

void remove_private_copy() {
  if (g_private_copy.empty()) return;
  ::unlink(g_private_copy.c_str());
  ::rmdir(g_private_copy.substr(0, g_private_copy.rfind('/')).c_str());
}

// Where a private copy may go: the user's runtime folder, cache folder and
// the system's temporary folder, in that order.
std::vector<std::string> private_copy_bases() {
  std::vector<std::string> bases;
  for (const char* v : {"XDG_RUNTIME_DIR", "XDG_CACHE_HOME"}) {
    const char* d = std::getenv(v);
    if (d && d[0] == '/') bases.emplace_back(d);
  }
  if (const char* home = std::getenv("HOME"); home && home[0] == '/') bases.push_back(std::string(home) + "/.cache");
  bases.emplace_back("/tmp");
  return bases;
}

}  // namespace

std::string private_library_copy(std::string_view bytes, const std::string& base) {
  std::string path;
  const std::string reason = make_private_copy(bytes, base, path);
  if (!reason.empty()) fail_loading(reason);
  return path;
}

const std::string& carried_archive_library() {
  static std::mutex lock;
  static std::string path;
  std::lock_guard<std::mutex> g(lock);
  if (!path.empty()) return path;
  const std::string_view bytes = archive_library_data();
  if (bytes.empty()) fail_loading("not carried by this build");
  const int fd = make_sealed_copy(bytes);
  if (fd >= 0 && can_map_code(fd)) {
    path = "/proc/self/fd/" + std::to_string(fd);
    return path;
  }
  std::string reason = fd < 0 ? std::strerror(errno) : "memory files cannot run code here";
  if (fd >= 0) ::close(fd);
  for (const std::string& base : private_copy_bases()) {
    const std::string failed = make_private_copy(bytes, base, g_private_copy);
    if (failed.empty()) {
      std::atexit(remove_private_copy);
      path = g_private_copy;
      return path;
    }
    reason += "; " + failed;
  }
  fail_loading(reason);
}

bool deploy_archive_library(const std::string& dir) {
  std::string folder = dir.empty() ? exe_dir() : dir;
  if (!folder.empty() && folder.back() != '/') folder += '/';
  const std::string target = text_to_os(folder + kArchiveLibraryName);
  const std::string_view bytes = archive_library_data();
  if (bytes.empty() || same_file_bytes(target, bytes)) return false;

  const std::string tmp = folder + kArchiveLibraryName + "." + std::to_string(::getpid()) + ".part";
  const std::string os_tmp = text_to_os(tmp);
  if (write_text_to_file(bytes, tmp) != static_cast<long long>(bytes.size()) || ::chmod(os_tmp.c_str(), 0755) != 0 ||
      ::rename(os_tmp.c_str(), target.c_str()) != 0) {
    ::unlink(os_tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace ux
