// Test support: HTTP messages as they came off the wire.
#pragma once

#include <string>

namespace qlyn_test {

// What follows the head of response (after its blank line); empty when the
// head has not ended.
inline std::string body_of(const std::string& response) {
  const size_t at = response.find("\r\n\r\n");
  return at == std::string::npos ? std::string() : response.substr(at + 4);
}

}  // namespace qlyn_test
