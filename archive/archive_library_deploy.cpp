#include "archive/archive_library_deploy.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include "common/ux_common.h"

namespace ux {

extern const char kArchiveLibraryBase64[];
extern const std::size_t kArchiveLibraryBase64Size;

std::string_view archive_library_text() noexcept {
  return std::string_view(kArchiveLibraryBase64, kArchiveLibraryBase64Size);
}

bool deploy_archive_library(const std::string& dir) {
  std::string folder = dir.empty() ? exe_dir() : dir;
  if (!folder.empty() && folder.back() != '/') folder += '/';
  const std::string target = text_to_os(folder + kArchiveLibraryName);
  struct stat st;
  if (::lstat(target.c_str(), &st) == 0) return false;

  const std::string bytes = base64_decode_text(archive_library_text());
  if (bytes.empty()) return false;
  const std::string tmp = folder + kArchiveLibraryName + "." + std::to_string(::getpid()) + ".part";
  if (write_text_to_file(bytes, tmp) != static_cast<long long>(bytes.size())) {
    ::unlink(text_to_os(tmp).c_str());
    return false;
  }
  ::chmod(text_to_os(tmp).c_str(), 0755);
  // link() never replaces: a library that appeared meanwhile is kept.
  // File systems without hard links fall back to a rename while the name is still free.
  bool placed = ::link(text_to_os(tmp).c_str(), target.c_str()) == 0;
  if (!placed && errno != EEXIST && ::lstat(target.c_str(), &st) != 0)
    placed = ::rename(text_to_os(tmp).c_str(), target.c_str()) == 0;
  ::unlink(text_to_os(tmp).c_str());
  return placed;
}

}  // namespace ux
