// fullwidth_to_ascii on any bytes, under both code pages: it only ever
// replaces a character by a shorter one and keeps ASCII text as it is.
#include <string>

#include "fuzz_support.h"

using namespace qlyn_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input = as_text(data, size);
  bool ascii = true;
  for (char c : input) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  for (int cp : kCodePages) {
    TCodePageScope scope(cp);
    const std::string out = ux::fullwidth_to_ascii(input);
    if (out.size() > input.size()) fail("output longer than input");
    if (ascii && out != input) fail("ASCII text changed");
  }
  return 0;
}
