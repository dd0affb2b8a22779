// INI lookups on any bytes: the installer's own ([common] svr_url) and one
// named by the first line of the input ("section=key"). A value never spans
// lines.
#include <string>

#include "common/platform/ux_ini.h"
#include "fuzz_support.h"

using namespace qlyn_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input = as_text(data, size);
  const std::string url = ux::ini_string(input, "common", "svr_url", "none");
  if (url.find('\n') != std::string::npos) fail("value spans lines");

  const auto [query, text] = split_first_line(input);
  const size_t eq = query.find('=');
  const std::string_view section = query.substr(0, eq);
  const std::string_view key = eq == std::string_view::npos ? std::string_view() : query.substr(eq + 1);
  if (ux::ini_string(text, section, key).find('\n') != std::string::npos) fail("value spans lines");
  return 0;
}
