#include "installer/rk50_env.h"

#include <cctype>
#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

#include "common/ux_common.h"

#ifndef QLYN_PACKAGE_HOST
#define QLYN_PACKAGE_HOST "127.0.0.1"
#endif

namespace rk50 {

namespace {

std::string env_or_empty(const char* name) {
  const char* v = std::getenv(name);
  return v ? ux::os_to_text(v) : std::string();
}

std::string home_dir() {
  std::string home = env_or_empty("HOME");
  if (home.empty()) {
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) home = ux::os_to_text(pw->pw_dir);
  }
  return home;
}

// An absolute path from the environment, without trailing separators; empty
// when unset, empty or relative.
std::string absolute_env(const char* name) {
  std::string v = env_or_empty(name);
  if (!v.empty() && v[0] != '/') v.clear();
  while (v.size() > 1 && v.back() == '/') v.pop_back();
  return v;
}

bool writable_folder(const std::string& dir) {
  ux::force_dirs(dir);
  return ::access(ux::text_to_os(dir).c_str(), W_OK | X_OK) == 0;
}

}  // namespace

std::string download_folder(const std::string& self_dir) {
  const std::string beside = with_trailing_separator(self_dir) + "temp/";
  if (writable_folder(beside)) return beside;
  std::string cache = absolute_env("XDG_CACHE_HOME");
  if (cache.empty()) cache = home_dir() + "/.cache";
  const std::string folder = cache + "/qlyn/temp/";
  ux::force_dirs(folder);
  return folder;
}

std::string default_install_dir() {
  std::string base = env_or_empty("LOCALAPPDATA");
  if (base.empty()) {
    base = env_or_empty("XDG_DATA_HOME");
    if (!base.empty() && base[0] != '/') base.clear();
  }
  if (base.empty()) base = home_dir() + "/.local/share";
  while (base.size() > 1 && (base.back() == '/' || base.back() == '\\')) base.pop_back();
  return base + "/qlyn/client/";
}

std::string package_url(std::string_view svr_url) {
  std::string origin = std::string("udp-http://") + QLYN_PACKAGE_HOST + ":56020";
  std::string s = ux::trim_text(svr_url);
  size_t sep = s.find("://");
  bool ok = sep != std::string::npos && sep > 0;
  for (size_t i = 0; ok && i < sep; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    ok = std::isalnum(c) || c == '+' || c == '-' || c == '.';
  }
  if (ok) {
    size_t end = s.find_first_of("/?#", sep + 3);
    std::string authority = s.substr(sep + 3, end == std::string::npos ? std::string::npos : end - sep - 3);
    ok = !authority.empty();
    for (unsigned char c : authority) ok = ok && c > 0x20 && c != 0x7F;
    if (ok) origin = s.substr(0, sep + 3) + authority;
  }
  return origin + std::string(package_url_path);
}

std::string user_folder(std::string_view dir) {
  std::string d(dir);
  if (d.empty()) return d;
  if (d[0] != '/' && d[0] != '\\') {
    char buf[4096];
    if (getcwd(buf, sizeof buf)) d = with_trailing_separator(ux::os_to_text(buf)) + d;
  }
  return with_trailing_separator(d);
}

std::string with_trailing_separator(std::string_view dir) {
  std::string out(dir);
  if (!out.empty() && out.back() != '/' && out.back() != '\\') out += '/';
  return out;
}

}  // namespace rk50
