// The GBK / UTF-8 / UTF-16 conversions on any bytes, under both code pages.
// Text that converts without a replacement character converts back to
// itself, and the strict UTF-16 form accepts exactly the well-formed texts.
#include <string>

#include "fuzz_support.h"

using namespace qlyn_fuzz;

namespace {

constexpr std::string_view kUtf8Replacement = "\xEF\xBF\xBD";

std::u16string units_of(std::string_view bytes) {
  std::u16string u(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < u.size(); ++i)
    u[i] = char16_t(uint8_t(bytes[2 * i]) | uint16_t(uint8_t(bytes[2 * i + 1])) << 8);
  return u;
}

bool has_replacement(std::u16string_view u) { return u.find(u'\xFFFD') != std::u16string_view::npos; }

bool well_formed(std::u16string_view u) {
  for (size_t i = 0; i < u.size(); ++i) {
    if (u[i] >= 0xD800 && u[i] <= 0xDBFF) {
      if (i + 1 >= u.size() || u[i + 1] < 0xDC00 || u[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (u[i] >= 0xDC00 && u[i] <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input = as_text(data, size);
  const std::u16string units = units_of(input);

  // UTF-8 -> UTF-16 -> UTF-8.
  const std::u16string u = ux::utf8_to_utf16(input);
  if (input.find(kUtf8Replacement) == std::string_view::npos && !has_replacement(u) &&
      ux::utf16_to_utf8(u) != input)
    fail("UTF-8 without replacements does not survive UTF-16");

  // Strict UTF-16 -> UTF-8 -> UTF-16.
  std::string strict;
  const bool ok = ux::utf16_to_utf8(units, strict);
  if (ok != well_formed(units)) fail("strict UTF-16 form accepts the wrong texts");
  if (ok && ux::utf8_to_utf16(strict) != units) fail("well-formed UTF-16 does not survive UTF-8");

  // GBK <-> UTF-8.
  const std::string from_gbk = ux::gbk_to_utf8(input);
  (void)ux::utf8_to_gbk(from_gbk);
  (void)ux::utf8_to_gbk(input);

  for (int cp : kCodePages) {
    TCodePageScope scope(cp);
    const std::u16string t = ux::text_to_utf16(input);
    const std::string back = ux::utf16_to_text(t);
    if (!has_replacement(t) && back != input) fail("text without replacements does not survive UTF-16");
    (void)ux::utf16_to_text(units);
    (void)ux::utf8_to_text(input);
    (void)ux::text_to_utf8(input);
  }
  return 0;
}
