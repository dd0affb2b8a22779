#include "common/platform/ux_locale.h"

#include <cstdlib>
#include <string>

namespace ux {

namespace {

constexpr int kLangEnglishUS = 1033;
constexpr int kLangChinesePRC = 2052;

// Windows language id of a POSIX locale name ("zh_CN.UTF-8", "zh-Hant-TW").
int language_of(std::string loc) {
  for (char& c : loc) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    if (c == '-') c = '_';
  }
  if (loc.rfind("zh", 0) != 0) return kLangEnglishUS;
  std::string rest = loc.substr(2);
  if (!rest.empty() && rest[0] != '_' && rest[0] != '.' && rest[0] != '@') return kLangEnglishUS;
  rest = rest.substr(0, rest.find_first_of(".@"));
  const bool hant = rest.rfind("_hant", 0) == 0;
  if (hant || rest.rfind("_hans", 0) == 0) rest.erase(0, 5);
  if (rest.empty()) return hant ? 1028 : kLangChinesePRC;
  if (rest == "_cn") return kLangChinesePRC;
  if (rest == "_tw") return 1028;
  if (rest == "_hk") return 3076;
  if (rest == "_sg") return 4100;
  if (rest == "_mo") return 5124;
  return kLangEnglishUS;
}

}  // namespace

int system_language_id() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = std::getenv(name);
    if (v && *v) return language_of(v);
  }
  return kLangEnglishUS;
}

}  // namespace ux
