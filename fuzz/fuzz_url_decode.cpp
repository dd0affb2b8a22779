// url_decode and the parameter helpers on any bytes, under both code pages.
// The first line of the input is a parameter name, the rest the text.
#include <string>

#include "fuzz_support.h"

using namespace qlyn_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input = as_text(data, size);
  const auto [name, text] = split_first_line(input);
  for (int cp : kCodePages) {
    TCodePageScope scope(cp);
    const std::string decoded = ux::url_decode(input);
    // Every escape is at least as long as what it decodes to, except %uXXXX,
    // whose character takes at most 4 bytes in either code page.
    if (decoded.size() > input.size()) fail("url_decode output longer than its input");
    (void)ux::param_value(text, name, "&", "=");
    (void)ux::param_value(text, name, ";", ":");
    (void)ux::unescape_param(text);
  }
  return 0;
}
