// The HTTP response parsers driven as a client drives them: the header
// block reader, load_header, then append_content (chunk decoding included),
// with the bytes handed over in pieces of a caller-chosen size. Interim
// answers (1xx other than 101) are passed over as the engine does.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/net/ux_http_response.h"
#include "fuzz_support.h"

namespace qlyn_fuzz {

struct THttpOutcome {
  enum Stage { kHeaderIncomplete, kHeaderTooLarge, kHeaderRefused, kBody };
  Stage stage = kHeaderIncomplete;
  int check = 0;
  int32_t code = 0;
  int64_t length = 0;
  bool chunked = false;
  std::string body;
  bool complete = false;
  int body_error = 0;
  std::string content_type, charset, location;

  bool operator==(const THttpOutcome&) const = default;
};

// in: the bytes as the transport delivers them. no_body: the answer carries
// none (HEAD); 204 and 304 carry none either way. closed: the connection
// closes after the last byte.
template <class NextPiece>
THttpOutcome feed_http_response(std::string_view in, bool no_body, bool closed, NextPiece next_piece) {
  using ux::TUX_Http_Header_Reader;
  using ux::TUX_HTTP_Cli_Response;
  THttpOutcome o;
  TUX_Http_Header_Reader reader;
  TUX_HTTP_Cli_Response resp;
  size_t pos = 0;
  while (pos < in.size() && o.stage == THttpOutcome::kHeaderIncomplete) {
    const size_t piece = std::min(next_piece(), in.size() - pos);
    size_t used = 0;
    const auto r = reader.feed(in.data() + pos, piece, used);
    if (used > piece) fail("header reader consumed more than it was given");
    pos += used;
    if (r == TUX_Http_Header_Reader::Result::kTooLarge) {
      o.stage = THttpOutcome::kHeaderTooLarge;
    } else if (r == TUX_Http_Header_Reader::Result::kDone) {
      resp.reset();
      const auto check = resp.load_header(reader.take_block());
      o.check = int(check);
      if (check != TUX_HTTP_Cli_Response::HeaderCheck::kOk) {
        o.stage = THttpOutcome::kHeaderRefused;
      } else if (resp.Response_code() >= 200 || resp.Response_code() == 101) {
        o.stage = THttpOutcome::kBody;
      }
    } else if (used != piece) {
      fail("header reader stopped short without a verdict");
    }
  }
  if (o.stage != THttpOutcome::kBody) return o;
  if (no_body || resp.Response_code() == 204 || resp.Response_code() == 304) resp.mark_no_body();
  while (pos < in.size()) {
    const size_t piece = std::min(next_piece(), in.size() - pos);
    const int32_t r = resp.append_content(in.data() + pos, int32_t(piece));
    if (r != -1 && r != int32_t(piece)) fail("append_content result");
    pos += piece;
    if (r < 0) break;
  }
  if (closed) resp.mark_connection_closed();
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

}  // namespace qlyn_fuzz
