// ux_errors: the exception types of set-up errors and failed consistency
// checks.
#pragma once

#include <stdexcept>
#include <string>

namespace ux {

// Set-up errors carrying a message text.
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& text) : std::runtime_error(text) {}
};

// Failed internal consistency check: names the check, its source unit and line.
// what() is "text (unit, line N)".
class EAssertionFailed : public Exception {
 public:
  EAssertionFailed(std::string text, std::string unit, int line);
  const std::string& text() const noexcept { return text_; }
  const std::string& unit() const noexcept { return unit_; }
  int line() const noexcept { return line_; }

 private:
  std::string text_;
  std::string unit_;
  int line_;
};

[[noreturn]] void assertion_failed(const std::string& text, const std::string& unit, int line);

}  // namespace ux
