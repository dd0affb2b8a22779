#include "archive/archive_library_deploy.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

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

const std::string& carried_archive_library() {
  static std::mutex lock;
  static std::string path;
  std::lock_guard<std::mutex> g(lock);
  if (!path.empty()) return path;
  const std::string_view bytes = archive_library_data();
  if (bytes.empty()) throw Exception(std::string("Error loading library ") + kArchiveLibraryName + ": not carried by this build");
  const int fd = make_sealed_copy(bytes);
  if (fd < 0) throw Exception(std::string("Error loading library ") + kArchiveLibraryName + ": " + std::strerror(errno));
  path = "/proc/self/fd/" + std::to_string(fd);
  return path;
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
