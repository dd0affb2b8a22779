#include "server/res_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/ux_common.h"

namespace qlyn_res {

namespace {

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Canonical form of path; empty with errno set when it cannot be resolved.
std::string canonical(const std::string& path) {
  char buf[PATH_MAX];
  if (::realpath(path.c_str(), buf) == nullptr) return {};
  return buf;
}

bool below(const std::string& root, const std::string& path) {
  return path.size() > root.size() && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/';
}

// Reads a decimal number of exactly width digits.
bool fixed_digits(std::string_view s, size_t at, size_t width, int& out) {
  if (at + width > s.size()) return false;
  int v = 0;
  for (size_t i = at; i < at + width; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  out = v;
  return true;
}

// Decimal number without sign; false when empty or not all digits. Values
// beyond INT64_MAX saturate, which callers read as "past any end".
bool range_number(std::string_view s, int64_t& out) {
  if (s.empty()) return false;
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    const int d = c - '0';
    v = v > (INT64_MAX - d) / 10 ? INT64_MAX : v * 10 + d;
  }
  out = v;
  return true;
}

}  // namespace

// ---------------------------------------------------------------- TRes_File

TRes_File::~TRes_File() { close_fd(); }

TRes_File::TRes_File(TRes_File&& o) noexcept { *this = std::move(o); }

TRes_File& TRes_File::operator=(TRes_File&& o) noexcept {
  if (this != &o) {
    close_fd();
    fd = o.fd;
    size = o.size;
    mtime_sec = o.mtime_sec;
    etag = std::move(o.etag);
    content_type = std::move(o.content_type);
    o.fd = -1;
  }
  return *this;
}

void TRes_File::close_fd() noexcept {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// ---------------------------------------------------------------- TRes_Root

bool TRes_Root::open(const std::string& dir, std::string& err) {
  struct stat st;
  const std::string real = canonical(dir);
  if (real.empty() || ::stat(real.c_str(), &st) != 0) {
    err = "root folder \"" + dir + "\" does not exist";
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    err = "root \"" + dir + "\" is not a folder";
    return false;
  }
  real_ = real == "/" ? "" : real;
  return true;
}

int TRes_Root::lookup(const std::string& path, TRes_File& file) const {
  if (path.empty() || path[0] != '/') return 404;
  const std::string real = canonical(real_ + path);
  if (real.empty()) return errno == EACCES ? 403 : 404;
  if (!below(real_, real)) return 404;
  const int fd = ::open(real.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return errno == EACCES ? 403 : 404;
  TRes_File f;
  f.fd = fd;
  // A folder on the way may have been swapped for a link since it was
  // resolved: the path of the descriptor itself must still be below the root.
  char linked[PATH_MAX];
  const std::string proc = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(proc.c_str(), linked, sizeof linked - 1);
  if (n <= 0 || !below(real_, std::string(linked, size_t(n)))) return 404;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return 404;
  f.size = st.st_size;
  f.mtime_sec = st.st_mtim.tv_sec;
  char tag[64];
  std::snprintf(tag, sizeof tag, "\"%llx-%llx\"", (unsigned long long)st.st_mtim.tv_sec,
                (unsigned long long)st.st_size);
  f.etag = tag;
  f.content_type = content_type_for(path);
  file = std::move(f);
  return 200;
}

// ---------------------------------------------------------------- dates

std::string http_date(int64_t unix_sec) {
  const time_t t = time_t(unix_sec);
  struct tm g;
  if (::gmtime_r(&t, &g) == nullptr) return {};
  char buf[40];
  std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[g.tm_wday], g.tm_mday,
                kMonths[g.tm_mon], g.tm_year + 1900, g.tm_hour, g.tm_min, g.tm_sec);
  return buf;
}

bool parse_http_date(std::string_view s, int64_t& unix_sec) {
  // "Sun, 06 Nov 1994 08:49:37 GMT"
  if (s.size() != 29 || s.substr(3, 2) != ", " || s.substr(25) != " GMT") return false;
  struct tm g {};
  int mon = -1;
  for (int i = 0; i < 12; ++i)
    if (s.substr(8, 3) == kMonths[i]) mon = i;
  if (mon < 0 || s[7] != ' ' || s[11] != ' ' || s[16] != ' ' || s[19] != ':' || s[22] != ':') return false;
  int year = 0;
  if (!fixed_digits(s, 5, 2, g.tm_mday) || !fixed_digits(s, 12, 4, year) || !fixed_digits(s, 17, 2, g.tm_hour) ||
      !fixed_digits(s, 20, 2, g.tm_min) || !fixed_digits(s, 23, 2, g.tm_sec))
    return false;
  if (g.tm_mday < 1 || g.tm_mday > 31 || g.tm_hour > 23 || g.tm_min > 59 || g.tm_sec > 60) return false;
  g.tm_mon = mon;
  g.tm_year = year - 1900;
  unix_sec = int64_t(::timegm(&g));
  return true;
}

std::string content_type_for(std::string_view path) {
  const size_t dot = path.rfind('.');
  const size_t slash = path.rfind('/');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash))
    return "application/octet-stream";
  const std::string ext = ux::lower_ascii(path.substr(dot + 1));
  static const std::pair<const char*, const char*> kTypes[] = {
      {"7z", "application/x-7z-compressed"}, {"zip", "application/zip"},
      {"gz", "application/gzip"},            {"json", "application/json"},
      {"txt", "text/plain; charset=utf-8"},  {"html", "text/html; charset=utf-8"},
      {"htm", "text/html; charset=utf-8"},   {"css", "text/css"},
      {"js", "text/javascript"},             {"png", "image/png"},
      {"jpg", "image/jpeg"},                 {"jpeg", "image/jpeg"},
      {"svg", "image/svg+xml"},              {"ini", "text/plain; charset=utf-8"},
      {"xml", "application/xml"},            {"exe", "application/octet-stream"}};
  for (const auto& [e, t] : kTypes)
    if (ext == e) return t;
  return "application/octet-stream";
}

// ---------------------------------------------------------------- ranges

TRes_Range parse_range(std::string_view value, int64_t size) {
  TRes_Range r;
  auto trim = [](std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
  };
  value = trim(value);
  const size_t eq = value.find('=');
  if (eq == std::string_view::npos || !ux::ci_equal(trim(value.substr(0, eq)), "bytes")) return r;
  const std::string_view byte_range = trim(value.substr(eq + 1));
  if (byte_range.find(',') != std::string_view::npos) return r;
  const size_t dash = byte_range.find('-');
  if (dash == std::string_view::npos) return r;
  const std::string_view a = trim(byte_range.substr(0, dash)), b = trim(byte_range.substr(dash + 1));
  int64_t first = 0, last = 0;
  if (a.empty()) {  // suffix: the last b bytes
    if (!range_number(b, last)) return r;
    if (last == 0 || size == 0) {
      r.kind = TRes_Range::unsatisfiable;
      return r;
    }
    r.kind = TRes_Range::single;
    r.first = last >= size ? 0 : size - last;
    r.last = size - 1;
    return r;
  }
  if (!range_number(a, first)) return r;
  if (b.empty()) {
    last = INT64_MAX;
  } else if (!range_number(b, last) || last < first) {
    return r;
  }
  if (first >= size) {
    r.kind = TRes_Range::unsatisfiable;
    return r;
  }
  r.kind = TRes_Range::single;
  r.first = first;
  r.last = last >= size ? size - 1 : last;
  return r;
}

}  // namespace qlyn_res
