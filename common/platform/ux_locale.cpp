#include "common/platform/ux_locale.h"

#include <cstdlib>
#include <string>

namespace ux {

namespace {

bool is_simplified_chinese(std::string loc) {
  for (char& c : loc) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    if (c == '-') c = '_';
  }
  if (loc.rfind("zh", 0) != 0) return false;
  const std::string rest = loc.substr(2);
  return rest.empty() || rest[0] == '.' || rest[0] == '@' || rest.rfind("_cn", 0) == 0 ||
         rest.rfind("_sg", 0) == 0 || rest.rfind("_hans", 0) == 0;
}

}  // namespace

int system_language_id() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = std::getenv(name);
    if (v && *v) return is_simplified_chinese(v) ? 2052 : 1033;
  }
  return 1033;
}

}  // namespace ux
