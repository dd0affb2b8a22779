// The HTTP response parsers on any bytes: the header block reader,
// load_header and append_content (with chunk decoding), fed whole, byte by
// byte and in a split drawn from the input. Every way of feeding must give
// the same header verdict, fields, body and completion; the body is never
// longer than the input.
//
// Input: two bytes of split seed, one byte of flags (bit 0: the connection
// closes after the last byte; bit 1: the answer carries no body), then the
// bytes as the transport delivers them.
#include "fuzz_support.h"
#include "support/http_feed.h"

using namespace qlyn_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TByteReader head(as_text(data, size));
  const uint16_t seed = head.u16();
  const uint8_t flags = head.u8();
  const std::string_view in = as_text(data, size).substr(std::min<size_t>(size, 3));
  const bool closed = (flags & 1) != 0, no_body = (flags & 2) != 0;

  const THttpOutcome whole = feed_http_response(in, no_body, closed, [&] { return in.size(); });
  const THttpOutcome bytes = feed_http_response(in, no_body, closed, [] { return size_t(1); });
  TSplitter split(seed);
  const THttpOutcome pieces = feed_http_response(in, no_body, closed, [&] { return split.next(); });
  if (!(whole == bytes) || !(whole == pieces)) fail("the outcome depends on how the bytes were split");
  return 0;
}
