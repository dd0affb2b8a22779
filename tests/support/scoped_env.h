// Test support: temporary folders, a scoped environment variable and a
// scoped process code page.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

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

// Sets an environment variable for one scope.
class TEnvScope {
 public:
  TEnvScope(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) {
      had_ = true;
      old_ = old;
    }
    ::setenv(name, value.c_str(), 1);
  }
  ~TEnvScope() {
    if (had_) ::setenv(name_, old_.c_str(), 1);
    else ::unsetenv(name_);
  }
  TEnvScope(const TEnvScope&) = delete;
  TEnvScope& operator=(const TEnvScope&) = delete;

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
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

}  // namespace qlyn_test
