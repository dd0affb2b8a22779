// base64_decode_text on any bytes; the encoding of the input must decode
// back to the input.
#include <string>

#include "fuzz_support.h"

using namespace qlyn_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input = as_text(data, size);
  const std::string decoded = ux::base64_decode_text(input);
  if (decoded.size() > input.size() / 4 * 3) fail("decoded more bytes than four-byte groups allow");
  if (ux::base64_decode_text(ux::base64_encode_text(input)) != input) fail("encode/decode round trip");
  return 0;
}
