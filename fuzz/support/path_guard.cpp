#include "support/path_guard.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace qlyn_fuzz {

namespace {

std::vector<std::string> g_allowed;  // real paths, no trailing "/"
std::string g_artifact_prefix;       // absolute
std::string g_exact_artifact;        // absolute, or empty
bool g_armed = false;
bool g_reads_anywhere = false;
std::string g_violation;
int g_changes = 0;

std::string current_dir() {
  char buf[PATH_MAX];
  return ::getcwd(buf, sizeof buf) ? std::string(buf) : std::string("/");
}

std::string dir_of_fd(int dirfd) {
  if (dirfd == AT_FDCWD) return current_dir();
  char buf[PATH_MAX];
  const std::string link = "/proc/self/fd/" + std::to_string(dirfd);
  const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

bool is_link(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// The real path that `path` (relative to dirfd) names, resolving symbolic
// links among its existing components; empty when it cannot be told.
std::string resolve(int dirfd, const char* path) {
  if (path == nullptr) return {};
  // Usually the parent folder exists: the kernel resolves it in one call
  // (opened through the system call itself, past the wrappers below), and
  // only the last component is left. Deep paths stay cheap that way.
  std::string_view p(path);
  while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
  const size_t slash = p.rfind('/');
  const std::string parent = slash == std::string_view::npos ? "." : slash == 0 ? "/" : std::string(p.substr(0, slash));
  const std::string last(slash == std::string_view::npos ? p : p.substr(slash + 1));
  const int fd = int(::syscall(SYS_openat, dirfd, parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (fd >= 0) {
    const std::string dir = dir_of_fd(fd);
    ::close(fd);
    const std::string base = dir == "/" ? "" : dir;
    if (!dir.empty() && (last.empty() || last == ".")) return dir;
    if (!dir.empty() && last != ".." && !is_link(base + "/" + last)) return base + "/" + last;
  }
  std::string rest = path[0] == '/' ? std::string(path) : dir_of_fd(dirfd) + "/" + path;
  std::string cur;  // real path so far, "" meaning "/"
  bool exists = true;
  size_t i = 0;
  int links = 0;
  while (i < rest.size()) {
    const size_t j = std::min(rest.find('/', i), rest.size());
    const std::string c = rest.substr(i, j - i);
    i = j + 1;
    if (c.empty() || c == ".") continue;
    if (c == "..") {
      cur.resize(cur.empty() ? 0 : cur.rfind('/'));
      continue;
    }
    const std::string next = cur + "/" + c;
    struct stat st;
    if (exists && ::lstat(next.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      if (++links > 40) return {};
      char target[PATH_MAX];
      const ssize_t n = ::readlink(next.c_str(), target, sizeof target - 1);
      if (n <= 0) return {};
      const std::string t(target, size_t(n));
      rest = (t[0] == '/' ? t : cur + "/" + t) + "/" + (i < rest.size() ? rest.substr(i) : "");
      cur.clear();
      i = 0;
      continue;
    }
    if (exists && ::lstat(next.c_str(), &st) != 0) exists = false;
    cur = next;
  }
  return cur.empty() ? "/" : cur;
}

bool inside(std::string_view real, std::string_view root) {
  return real == root || (real.size() > root.size() && real.starts_with(root) && real[root.size()] == '/');
}

// A file libFuzzer writes when a run fails: the artifact prefix, a kind and
// the input's SHA-1, or the exact artifact path.
bool is_artifact(std::string_view real) {
  if (!g_exact_artifact.empty() && real == g_exact_artifact) return true;
  if (g_artifact_prefix.empty() || !real.starts_with(g_artifact_prefix)) return false;
  std::string_view name = real.substr(g_artifact_prefix.size());
  bool kind = false;
  for (std::string_view k : {"crash-", "leak-", "timeout-", "oom-", "slow-unit-"}) {
    if (name.starts_with(k)) {
      name.remove_prefix(k.size());
      kind = true;
      break;
    }
  }
  return kind && name.size() == 40 && name.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

// True when the operation may go ahead; records the first refusal. An
// empty path names nothing (the call fails with ENOENT).
bool permitted(const char* op, int dirfd, const char* path, bool changes = true) {
  if (!g_armed || path == nullptr || path[0] == 0 || (g_reads_anywhere && !changes)) return true;
  g_armed = false;  // the checks below make file calls of their own
  const std::string real = resolve(dirfd, path);
  bool ok = !real.empty() && is_artifact(real);
  for (const std::string& root : g_allowed) ok = ok || (!real.empty() && inside(real, root));
  if (!ok && g_violation.empty())
    g_violation = std::string(op) + "(\"" + (path ? path : "(null)") + "\") reaches " + real;
  g_armed = true;
  if (!ok) errno = EACCES;
  if (ok && changes) ++g_changes;
  return ok;
}

template <class F>
F real_fn(const char* name) {
  void* f = ::dlsym(RTLD_NEXT, name);
  if (f == nullptr) {
    ::fprintf(stderr, "path guard: %s not found\n", name);
    ::abort();
  }
  return reinterpret_cast<F>(f);
}

#define REAL(name) static const auto real_##name = real_fn<decltype(&::name)>(#name)

bool open_changes(int flags) { return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0; }
bool fopen_changes(const char* mode) { return mode == nullptr || mode[0] != 'r' || std::strchr(mode, '+'); }

mode_t mode_arg(int flags, va_list ap) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? mode_t(va_arg(ap, int)) : 0;
}

}  // namespace

void guard_allow(const std::vector<std::string>& folders) {
  g_allowed.clear();
  for (const std::string& f : folders) g_allowed.push_back(resolve(AT_FDCWD, f.c_str()));
}

void guard_set_artifact_prefix(int argc, char** argv) {
  std::string prefix = current_dir() + "/";
  constexpr std::string_view kPrefix = "-artifact_prefix=", kExact = "-exact_artifact_path=";
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a.starts_with(kPrefix)) prefix = std::string(a.substr(kPrefix.size()));
    if (a.starts_with(kExact)) g_exact_artifact = resolve(AT_FDCWD, std::string(a.substr(kExact.size())).c_str());
  }
  // The prefix's folder resolved; its file-name part (if any) kept as text.
  const size_t slash = prefix.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : prefix.substr(0, slash + 1);
  g_artifact_prefix = resolve(AT_FDCWD, dir.c_str()) + "/" +
                      (slash == std::string::npos ? prefix : prefix.substr(slash + 1));
}

void guard_arm(bool armed) { g_armed = armed; }

void guard_reads_anywhere(bool reads_anywhere) { g_reads_anywhere = reads_anywhere; }

std::string guard_take_violation() {
  std::string v;
  v.swap(g_violation);
  return v;
}

int guard_take_changes() {
  const int n = g_changes;
  g_changes = 0;
  return n;
}

}  // namespace qlyn_fuzz

using qlyn_fuzz::permitted;

using qlyn_fuzz::real_fn;

// The process's own definitions come first in symbol lookup, so these see
// every call made through the C library's entry points.
extern "C" {

int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = qlyn_fuzz::mode_arg(flags, ap);
  va_end(ap);
  REAL(open);
  return permitted("open", AT_FDCWD, path, qlyn_fuzz::open_changes(flags)) ? real_open(path, flags, mode) : -1;
}
int open64(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = qlyn_fuzz::mode_arg(flags, ap);
  va_end(ap);
  REAL(open64);
  return permitted("open64", AT_FDCWD, path, qlyn_fuzz::open_changes(flags)) ? real_open64(path, flags, mode) : -1;
}
int openat(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = qlyn_fuzz::mode_arg(flags, ap);
  va_end(ap);
  REAL(openat);
  return permitted("openat", dirfd, path, qlyn_fuzz::open_changes(flags)) ? real_openat(dirfd, path, flags, mode) : -1;
}
int openat64(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = qlyn_fuzz::mode_arg(flags, ap);
  va_end(ap);
  REAL(openat64);
  return permitted("openat64", dirfd, path, qlyn_fuzz::open_changes(flags)) ? real_openat64(dirfd, path, flags, mode) : -1;
}
int creat(const char* path, mode_t mode) {
  REAL(creat);
  return permitted("creat", AT_FDCWD, path) ? real_creat(path, mode) : -1;
}
FILE* fopen(const char* path, const char* mode) {
  REAL(fopen);
  return permitted("fopen", AT_FDCWD, path, qlyn_fuzz::fopen_changes(mode)) ? real_fopen(path, mode) : nullptr;
}
FILE* fopen64(const char* path, const char* mode) {
  REAL(fopen64);
  return permitted("fopen64", AT_FDCWD, path, qlyn_fuzz::fopen_changes(mode)) ? real_fopen64(path, mode) : nullptr;
}
int rename(const char* from, const char* to) {
  REAL(rename);
  return permitted("rename", AT_FDCWD, from) && permitted("rename", AT_FDCWD, to) ? real_rename(from, to) : -1;
}
int renameat(int fromfd, const char* from, int tofd, const char* to) {
  REAL(renameat);
  return permitted("renameat", fromfd, from) && permitted("renameat", tofd, to)
             ? real_renameat(fromfd, from, tofd, to)
             : -1;
}
int renameat2(int fromfd, const char* from, int tofd, const char* to, unsigned flags) {
  REAL(renameat2);
  return permitted("renameat2", fromfd, from) && permitted("renameat2", tofd, to)
             ? real_renameat2(fromfd, from, tofd, to, flags)
             : -1;
}
int unlink(const char* path) {
  REAL(unlink);
  return permitted("unlink", AT_FDCWD, path) ? real_unlink(path) : -1;
}
int unlinkat(int dirfd, const char* path, int flags) {
  REAL(unlinkat);
  return permitted("unlinkat", dirfd, path) ? real_unlinkat(dirfd, path, flags) : -1;
}
int remove(const char* path) {
  REAL(remove);
  return permitted("remove", AT_FDCWD, path) ? real_remove(path) : -1;
}
int rmdir(const char* path) {
  REAL(rmdir);
  return permitted("rmdir", AT_FDCWD, path) ? real_rmdir(path) : -1;
}
// Making a folder that exists changes nothing (it fails with EEXIST), as
// when a parent chain is created from the root down.
int mkdir(const char* path, mode_t mode) {
  REAL(mkdir);
  struct stat st;
  const bool exists = ::lstat(path, &st) == 0;
  return exists || permitted("mkdir", AT_FDCWD, path) ? real_mkdir(path, mode) : -1;
}
int mkdirat(int dirfd, const char* path, mode_t mode) {
  REAL(mkdirat);
  struct stat st;
  const bool exists = ::fstatat(dirfd, path, &st, AT_SYMLINK_NOFOLLOW) == 0;
  return exists || permitted("mkdirat", dirfd, path) ? real_mkdirat(dirfd, path, mode) : -1;
}
int link(const char* from, const char* to) {
  REAL(link);
  return permitted("link", AT_FDCWD, from) && permitted("link", AT_FDCWD, to) ? real_link(from, to) : -1;
}
int linkat(int fromfd, const char* from, int tofd, const char* to, int flags) {
  REAL(linkat);
  return permitted("linkat", fromfd, from) && permitted("linkat", tofd, to)
             ? real_linkat(fromfd, from, tofd, to, flags)
             : -1;
}
int symlink(const char* target, const char* path) {
  REAL(symlink);
  return permitted("symlink", AT_FDCWD, path) ? real_symlink(target, path) : -1;
}
int symlinkat(const char* target, int dirfd, const char* path) {
  REAL(symlinkat);
  return permitted("symlinkat", dirfd, path) ? real_symlinkat(target, dirfd, path) : -1;
}
int truncate(const char* path, off_t length) {
  REAL(truncate);
  return permitted("truncate", AT_FDCWD, path) ? real_truncate(path, length) : -1;
}
int chmod(const char* path, mode_t mode) {
  REAL(chmod);
  return permitted("chmod", AT_FDCWD, path) ? real_chmod(path, mode) : -1;
}
int fchmodat(int dirfd, const char* path, mode_t mode, int flags) {
  REAL(fchmodat);
  return permitted("fchmodat", dirfd, path) ? real_fchmodat(dirfd, path, mode, flags) : -1;
}
int chown(const char* path, uid_t owner, gid_t group) {
  REAL(chown);
  return permitted("chown", AT_FDCWD, path) ? real_chown(path, owner, group) : -1;
}
int lchown(const char* path, uid_t owner, gid_t group) {
  REAL(lchown);
  return permitted("lchown", AT_FDCWD, path) ? real_lchown(path, owner, group) : -1;
}
int fchownat(int dirfd, const char* path, uid_t owner, gid_t group, int flags) {
  REAL(fchownat);
  return permitted("fchownat", dirfd, path) ? real_fchownat(dirfd, path, owner, group, flags) : -1;
}
int utimensat(int dirfd, const char* path, const struct timespec times[2], int flags) {
  REAL(utimensat);
  return permitted("utimensat", dirfd, path) ? real_utimensat(dirfd, path, times, flags) : -1;
}

}  // extern "C"
