#include "common/ux_fd_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/ux_codepage.h"
#include "common/ux_errors.h"

namespace ux {

TFdStream::TFdStream(const std::string& os_path, TMode mode, unsigned create_mode) {
  if (mode == fmOpenRead)
    fd_ = ::open(os_path.c_str(), O_RDONLY | O_CLOEXEC);
  else
    fd_ = ::open(os_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, create_mode);
  if (fd_ < 0) {
    const int e = errno;
    throw Exception("Cannot open file " + os_to_text(os_path) + ": " + std::strerror(e));
  }
}

TFdStream::~TFdStream() {
  if (fd_ >= 0) ::close(fd_);
}

int64_t TFdStream::Read(void* buffer, int64_t count) {
  last_error_ = 0;
  int64_t done = 0;
  auto* p = static_cast<char*>(buffer);
  while (done < count) {
    const ssize_t n = ::read(fd_, p + done, size_t(count - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      last_error_ = errno;
      break;
    }
    if (n == 0) break;
    done += n;
  }
  return done;
}

int64_t TFdStream::Write(const void* buffer, int64_t count) {
  last_error_ = 0;
  int64_t done = 0;
  auto* p = static_cast<const char*>(buffer);
  while (done < count) {
    const ssize_t n = ::write(fd_, p + done, size_t(count - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      last_error_ = errno;
      break;
    }
    if (n == 0) {  // no progress: a failure, not a reason to spin
      last_error_ = EIO;
      break;
    }
    done += n;
  }
  return done;
}

int64_t TFdStream::Seek(int64_t offset, TSeekOrigin origin) {
  const int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET
                     : origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                        : SEEK_END;
  const off_t r = ::lseek(fd_, off_t(offset), whence);
  last_error_ = r < 0 ? errno : 0;
  return r < 0 ? -1 : r;
}

int64_t TFdStream::GetSize() {
  struct stat st;
  if (::fstat(fd_, &st) != 0) {
    last_error_ = errno;
    return -1;
  }
  last_error_ = 0;
  return st.st_size;
}

void TFdStream::SetSize(int64_t new_size) {
  last_error_ = 0;
  if (::ftruncate(fd_, off_t(new_size)) == 0) return;
  last_error_ = errno;
  throw Exception("Stream size error");
}

bool TFdStream::Close() noexcept {
  if (fd_ < 0) return false;
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) == 0) return true;
  last_error_ = errno;
  return false;
}

}  // namespace ux
