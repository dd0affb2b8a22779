// The resource server's request-head parser on any bytes, given the whole
// buffer and given it as it grows byte by byte (as reads arrive): a head
// that parses whole parses the same way incrementally, and a refusal stays
// a refusal. A decoded path starts with "/" and holds no NUL, no control
// byte and no "." or ".." segment (with "/" or "\" between segments).
#include <string>

#include "fuzz_support.h"
#include "server/res_http_request.h"

using namespace qlyn_fuzz;
using namespace qlyn_res;

namespace {

bool same_request(const TRes_Request& a, const TRes_Request& b) {
  return a.method == b.method && a.target == b.target && a.minor_version == b.minor_version &&
         a.path == b.path && a.fields == b.fields && a.keep_alive == b.keep_alive &&
         a.content_length == b.content_length;
}

void check_path(std::string_view target) {
  std::string path;
  if (decode_target_path(target, path) != 0) return;
  if (path.empty() || path[0] != '/') fail("decoded path does not start with /");
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find_first_of("/\\", i);
    if (j == std::string::npos) j = path.size();
    const std::string_view seg(path.data() + i, j - i);
    if (seg == "." || seg == "..") fail("decoded path holds a dot segment");
    i = j + 1;
  }
  for (unsigned char c : path)
    if (c < 0x20 || c == 0x7F) fail("decoded path holds a control byte");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view buf = as_text(data, size);
  size_t scan = 0;
  TRes_Request whole;
  const TParseResult w = parse_request_head(buf, scan, whole);
  if (w.state == TParseState::done) {
    if (w.consumed == 0 || w.consumed > buf.size()) fail("consumed outside the buffer");
    check_path(whole.target);
    if (whole.path.empty()) fail("done without a path");
  }
  if (w.state == TParseState::failed && w.status != 400 && w.status != 414 && w.status != 431 &&
      w.status != 501 && w.status != 505)
    fail("unexpected status");

  size_t grow_scan = 0;
  TRes_Request grown;
  TParseResult g;
  for (size_t n = 1; n <= buf.size(); ++n) {
    g = parse_request_head(buf.substr(0, n), grow_scan, grown);
    if (grow_scan > n) fail("scan position past the buffer");
    if (g.state != TParseState::need_more) break;
  }
  if (w.state == TParseState::done &&
      (g.state != TParseState::done || g.consumed != w.consumed || !same_request(whole, grown)))
    fail("a head parsed whole parses otherwise as it arrives");
  if (w.state == TParseState::failed && g.state != TParseState::failed)
    fail("a refused head is taken as it arrives");

  const auto [target, rest] = split_first_line(buf);
  check_path(target);
  (void)list_has_token(rest, "keep-alive");
  return 0;
}
