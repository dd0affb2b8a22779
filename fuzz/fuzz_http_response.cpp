// The HTTP response path on any bytes: the header block reader, load_header
// and append_content (with chunk decoding), fed whole, byte by byte and in a
// split drawn from the input. Every way of feeding must give the same
// header verdict, fields, body and completion; the body is never longer than
// the input.
//
// Input: two bytes of split seed, one byte of flags (bit 0: the connection
// closes after the last byte; bit 1: the answer carries no body), then the
// bytes as the transport delivers them.
#include <string>

#include "common/net/ux_http_response.h"
#include "fuzz_support.h"

using namespace qlyn_fuzz;
using namespace ux;

namespace {

struct TOutcome {
  int stage = 0;  // 0 header incomplete, 1 header too large, 2 header refused, 3 body
  int check = 0;
  int32_t code = 0;
  int64_t length = 0;
  bool chunked = false;
  std::string body;
  bool complete = false;
  int body_error = 0;
  std::string content_type, charset, location;

  bool operator==(const TOutcome&) const = default;
};

template <class NextPiece>
TOutcome feed(std::string_view in, uint8_t flags, NextPiece next_piece) {
  TOutcome o;
  TUX_Http_Header_Reader reader;
  TUX_HTTP_Cli_Response resp;
  size_t pos = 0;
  while (pos < in.size() && o.stage == 0) {
    const size_t piece = std::min(next_piece(), in.size() - pos);
    size_t used = 0;
    const auto r = reader.feed(in.data() + pos, piece, used);
    if (used > piece) fail("header reader consumed more than it was given");
    pos += used;
    if (r == TUX_Http_Header_Reader::Result::kTooLarge) {
      o.stage = 1;
    } else if (r == TUX_Http_Header_Reader::Result::kDone) {
      const auto check = resp.load_header(reader.take_block());
      o.check = int(check);
      o.stage = check == TUX_HTTP_Cli_Response::HeaderCheck::kOk ? 3 : 2;
    } else if (used != piece) {
      fail("header reader stopped short without a verdict");
    }
  }
  if (o.stage != 3) return o;
  if (flags & 2) resp.mark_no_body();
  while (pos < in.size()) {
    const size_t piece = std::min(next_piece(), in.size() - pos);
    const int32_t r = resp.append_content(in.data() + pos, int32_t(piece));
    if (r != -1 && r != int32_t(piece)) fail("append_content result");
    pos += piece;
    if (r < 0) break;
  }
  if (flags & 1) resp.mark_connection_closed();
  o.code = resp.Response_code();
  o.length = resp.content_length();
  o.chunked = resp.is_chunked_data();
  o.body = resp.Content_asString();
  o.complete = resp.have_got_all_resp_data();
  o.body_error = int(resp.body_error());
  o.content_type = resp.content_type();
  o.charset = resp.charset();
  o.location = resp.get_header_raw("location");
  (void)resp.get_header("content-disposition");
  if (o.body.size() > in.size()) fail("body longer than the input");
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TByteReader head(as_text(data, size));
  const uint16_t seed = head.u16();
  const uint8_t flags = head.u8();
  const std::string_view in = as_text(data, size).substr(std::min<size_t>(size, 3));

  const TOutcome whole = feed(in, flags, [&] { return in.size(); });
  const TOutcome bytes = feed(in, flags, [] { return size_t(1); });
  TSplitter split(seed);
  const TOutcome pieces = feed(in, flags, [&] { return split.next(); });
  if (!(whole == bytes) || !(whole == pieces)) fail("the outcome depends on how the bytes were split");
  return 0;
}
