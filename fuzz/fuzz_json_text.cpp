// The JSON-text toolkit on any bytes, under both code pages. The first line
// of the input is the field name, the rest the JSON text; the name is also
// set as an integer, a string and a raw value on copies of the text. A text
// built from a string reads back as that string, unless the string holds a
// NUL byte (written as \u0000, an escape the reader keeps as it stands) or,
// under code page 936, a lead byte without its pair (written as "?").
#include <string>

#include "fuzz_support.h"

using namespace qlyn_fuzz;

namespace {

// A lead byte at the end or before a double quote: not a character.
bool has_lone_lead_byte(std::string_view s) {
  for (size_t i = 0; i < s.size(); ++i) {
    if (static_cast<unsigned char>(s[i]) < 0x80) continue;
    if (i + 1 >= s.size() || s[i + 1] == '"') return true;
    ++i;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto [name, json] = split_first_line(as_text(data, size));
  for (int cp : kCodePages) {
    TCodePageScope scope(cp);
    const std::string field = ux::json_text_field(json, name);
    (void)ux::json_text_int(json, name, 0);
    (void)ux::json_text_int(json, name, -7);

    std::string copy(json);
    const int set_int = ux::json_text_set_int(copy, name, -1234567890123LL);
    if (set_int != 0 && set_int != 1) fail("json_text_set_int result");
    (void)ux::json_text_field(copy, name);

    copy.assign(json);
    (void)ux::json_text_set_str(copy, name, field);
    (void)ux::json_text_field(copy, name);

    copy.assign(json);
    (void)ux::json_text_set(copy, name, field);
    (void)ux::json_text_int(copy, name, 1);

    (void)ux::build_json_text({name, field, "n", 1, "b", true});
    const bool exact = json.find('\0') == std::string_view::npos && !(cp == ux::CP_GBK && has_lone_lead_byte(json));
    if (exact && ux::json_text_field(ux::build_json_text({"k", json, "n", 1}), "k") != json)
      fail("a built text does not read back its string");
  }
  return 0;
}
