// ux_dynlib: loading shared libraries and looking up their exports.
#pragma once

#include <string>

namespace ux {

// Owns one dlopen handle; closes it on destruction.
class TDynLib {
 public:
  TDynLib() = default;
  ~TDynLib() { close(); }
  TDynLib(const TDynLib&) = delete;
  TDynLib& operator=(const TDynLib&) = delete;
  TDynLib(TDynLib&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }

  // False on failure; error() then holds the loader's text.
  [[nodiscard]] bool open(const std::string& path);
  void close() noexcept;
  bool is_open() const noexcept { return handle_ != nullptr; }
  // Address of an export, nullptr when absent.
  void* symbol(const char* name) const noexcept;
  const std::string& error() const noexcept { return error_; }

 private:
  void* handle_ = nullptr;
  std::string error_;
};

}  // namespace ux
