#include "common/ux_file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "common/ux_codepage.h"
#include "common/ux_fd_stream.h"

namespace ux {

namespace {

std::atomic<unsigned> g_replace_seq{0};

// A name for the new file in os_path's folder. It does not grow with the
// file's own name, so that a name near the length limit can be replaced too.
std::string new_file_beside(const std::string& os_path) {
  const size_t slash = os_path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : os_path.substr(0, slash + 1);
  return dir + ".~" + std::to_string(::getpid()) + "." + std::to_string(++g_replace_seq) + ".tmp";
}

// Runs write into out and closes it; false when either failed.
bool fill(TFdStream& out, const TFileWriteFunc& write) {
  const bool written = write(out);
  return out.Close() && written;
}

}  // namespace

bool replace_file(const std::string& path, const TFileWriteFunc& write) {
  if (path.empty()) return false;
  const std::string os = text_to_os(path);
  struct stat old {};
  const bool exists = ::lstat(os.c_str(), &old) == 0;
  if (exists && S_ISLNK(old.st_mode)) {
    // Non-blocking: a link to a pipe without a reader fails at once.
    const int fd = ::open(os.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    TFdStream out(fd);
    return fill(out, write);
  }
  const std::string tmp = new_file_beside(os);
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bool ok = false;
  try {
    TFdStream out(fd);
    ok = (!(exists && S_ISREG(old.st_mode)) || ::fchmod(fd, old.st_mode & 07777) == 0) && fill(out, write);
  } catch (...) {
    ::unlink(tmp.c_str());
    throw;
  }
  if (!ok || ::rename(tmp.c_str(), os.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace ux
