// Test support: temporary folders, a scoped process code page and scoped
// environment variables.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/ux_common.h"

namespace qlyn_test {

// A fresh folder (default under /tmp), removed with everything in it.
class TTempDir {
 public:
  explicit TTempDir(const char* tag = "qlyn", const char* base = "/tmp") {
    std::string tmpl = std::string(base) + "/" + tag + "_XXXXXX";
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp in " + std::string(base));
    path_ = tmpl;
  }
  ~TTempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  // Without the trailing "/".
  const std::string& path() const { return path_; }
  // With the trailing "/".
  std::string dir() const { return path_ + "/"; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

// Selects a process code page for one scope.
class TCodePageScope {
 public:
  explicit TCodePageScope(int cp) : saved_(ux::code_page()) { ux::set_code_page(cp); }
  ~TCodePageScope() { ux::set_code_page(saved_); }
  TCodePageScope(const TCodePageScope&) = delete;
  TCodePageScope& operator=(const TCodePageScope&) = delete;

 private:
  int saved_;
};

// Sets and unsets environment variables for one scope. Every variable it
// touched has its earlier value, or its absence, back when the scope ends.
// Not thread-safe (neither is the environment).
class TEnvScope {
 public:
  TEnvScope() = default;
  // Sets one variable for the scope.
  TEnvScope(const char* name, const std::string& value) { set(name, value); }
  ~TEnvScope() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second) ::setenv(it->first.c_str(), it->second->c_str(), 1);
      else ::unsetenv(it->first.c_str());
    }
  }
  TEnvScope(const TEnvScope&) = delete;
  TEnvScope& operator=(const TEnvScope&) = delete;

  // A null value unsets the variable.
  void set(const char* name, const char* value) {
    save(name);
    if (value) ::setenv(name, value, 1);
    else ::unsetenv(name);
  }
  void set(const char* name, const std::string& value) { set(name, value.c_str()); }
  void unset(const char* name) { set(name, nullptr); }

 private:
  void save(const char* name) {
    for (const auto& s : saved_)
      if (s.first == name) return;
    const char* v = ::getenv(name);
    saved_.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
  }

  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace qlyn_test
