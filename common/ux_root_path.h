// ux_root_path: names from outside input (container items, file-server
// requests) resolved below a root folder without ever leading outside it.
#pragma once

#include <string>
#include <unordered_set>
#include <vector>

namespace ux {

// The components of name below a root: "/" and "\" separate (a "\" that is
// the second byte of a double-byte character under 936 does not), empty and
// "." components are dropped. False when the name would leave the root or
// names nothing: a ".." component, a NUL byte, a drive ("C:...") or a UNC
// start ("//host/..."), no component at all.
bool split_relative_path(const std::string& name, std::vector<std::string>& parts);

// Resolves component lists below one root folder. Every folder on the way
// must be a real folder: a symbolic link there (or at the target itself) is
// refused, so nothing written through a resolved name lands outside the
// root. Folders already checked are remembered. Not thread-safe.
class TUX_Root_Path {
 public:
  enum class TCheck { ok, refused, failed };

  // root: an existing folder ("/" is appended when missing); it may itself
  // be a symbolic link.
  explicit TUX_Root_Path(std::string root);
  const std::string& root() const noexcept { return root_; }

  // target := root + parts joined by "/". With create_folders, missing
  // folders are created; without, a missing folder gives failed. exists
  // tells whether a regular file is at target. failed also covers a folder
  // component that is a file, a target that is a folder or anything but a
  // regular file, and I/O errors.
  TCheck resolve(const std::vector<std::string>& parts, bool create_folders, std::string& target,
                 bool& exists);

 private:
  TCheck ensure_folder(const std::string& path, bool create);

  std::string root_;
  std::unordered_set<std::string> known_;
};

}  // namespace ux
