#include "common/ux_errors.h"

namespace ux {

EAssertionFailed::EAssertionFailed(std::string text, std::string unit, int line)
    : Exception(text + " (" + unit + ", line " + std::to_string(line) + ")"),
      text_(std::move(text)),
      unit_(std::move(unit)),
      line_(line) {}

void assertion_failed(const std::string& text, const std::string& unit, int line) {
  throw EAssertionFailed(text, unit, line);
}

}  // namespace ux
