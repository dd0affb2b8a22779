// Test support for the archive and installer tests: temporary folders, file
// helpers and 7z archives made with the real 7zz.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <map>
#include <sstream>
#include <string>

#include "support/scoped_env.h"
#include "support/test_files.h"

namespace qlyn_test {

namespace fs = std::filesystem;


inline bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

inline std::string quote(const std::string& s) {
  std::string r = "'";
  for (char c : s) {
    if (c == '\'') r += "'\\''";
    else r += c;
  }
  return r + "'";
}

// Runs a shell command; its exit status.
inline int sh(const std::string& cmd) {
  int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

inline bool have_7zz() { return sh("command -v 7zz >/dev/null 2>&1") == 0; }

// 7zz a <archive> <items...> run in cwd; extra are switches (e.g. "-pX -mhe=on").
inline int make_7z(const std::string& archive, const std::string& cwd, const std::string& items,
                   const std::string& extra = "") {
  return sh("cd " + quote(cwd) + " && 7zz a -bso0 -bsp0 -bse0 " + extra + " " + quote(archive) + " " + items);
}

inline std::string library_path() { return QLYN_7Z_LIBRARY_PATH; }

// Everything below root (root itself included when it is a file or link):
// relative path -> "dir <mode>", "file <mode> <bytes>" (the MD5 of files
// over 256 bytes, so that a failed comparison prints briefly) or
// "link <target>". An empty map when root does not exist. For "nothing
// changed" checks.
inline std::map<std::string, std::string> snapshot_tree(const std::string& root) {
  std::map<std::string, std::string> tree;
  auto describe = [](const fs::path& p) {
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0) return std::string("gone");
    const std::string mode = std::to_string(st.st_mode & 07777);
    if (S_ISLNK(st.st_mode)) return "link " + fs::read_symlink(p).string();
    if (S_ISDIR(st.st_mode)) return "dir " + mode;
    const std::string bytes = read_file(p.string());
    return "file " + mode + " " + (bytes.size() <= 256 ? bytes : "md5 " + ux::md5_hex(bytes));
  };
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(root, ec))) return tree;
  tree["."] = describe(root);
  if (!fs::is_directory(fs::symlink_status(root, ec))) return tree;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec))
    tree[fs::relative(it->path(), root).string()] = describe(it->path());
  return tree;
}

}  // namespace qlyn_test
