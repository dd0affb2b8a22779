// ux_fd_stream: TFdStream, an unbuffered TStream over a file descriptor it
// owns, for a file written or read front to back in one pass (a new file
// that replaces an old one, a file checked before it is loaded).
//
// The other streams over files differ in purpose: TBufferedFileStream
// (ux_file_io) keeps a write-back cache for random access and is the base of
// the shared-access TShareFile; TFdStream has no cache, so every call is one
// system call loop and the descriptor always holds what was written.
#pragma once

#include <cstdint>
#include <string>

#include "common/ux_stream.h"

namespace ux {

// Not internally synchronised. last_error() keeps the errno of the last
// failed call for callers that report system errors.
class TFdStream final : public TStream {
 public:
  enum TMode { fmOpenRead, fmCreate };

  // Adopts fd (closed with the stream).
  explicit TFdStream(int fd) noexcept : fd_(fd) {}
  // os_path is in the platform's encoding (UTF-8). fmOpenRead opens it
  // read-only; fmCreate creates or truncates it for writing with
  // create_mode (less the umask) and refuses a symbolic link. Throws
  // ux::Exception naming the file and the system error.
  TFdStream(const std::string& os_path, TMode mode, unsigned create_mode = 0666);
  ~TFdStream() override;
  TFdStream(const TFdStream&) = delete;
  TFdStream& operator=(const TFdStream&) = delete;

  // Loop until count bytes moved, the end of the file, or an error.
  int64_t Read(void* buffer, int64_t count) override;
  [[nodiscard]] int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  // -1 when the size cannot be read.
  int64_t GetSize() override;
  void SetSize(int64_t new_size) override;

  // Closes the descriptor now; false when closing reported an error (data
  // may not have reached the file). Later calls fail.
  [[nodiscard]] bool Close() noexcept;
  int handle() const noexcept { return fd_; }
  // errno of the last failed call, 0 when the last call succeeded.
  int last_error() const noexcept { return last_error_; }

 private:
  int fd_ = -1;
  int last_error_ = 0;
};

}  // namespace ux
