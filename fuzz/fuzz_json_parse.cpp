// TJsonObject::Parse on any bytes, under both code pages. The text written
// from a parsed document must parse back into a document that writes the
// same text, plain and formatted, and its clone and size count must agree
// with it. A double that is not finite is written as null, which parses
// into no value: texts holding null are only required to parse.
#include <string>

#include "common/ux_json_v2.h"
#include "fuzz_support.h"

using namespace qlyn_fuzz;
using ux::TJsonObject;

namespace {

// A top-level number or literal is complete only with a byte after it.
std::unique_ptr<TJsonObject> parse_whole(const std::string& text) { return TJsonObject::Parse(text + " "); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input = as_text(data, size);
  for (int cp : kCodePages) {
    TCodePageScope scope(cp);
    std::unique_ptr<TJsonObject> doc = TJsonObject::Parse(input);
    if (!doc) continue;
    const std::string text = doc->AsJSon(false);
    if (doc->CalcSize(false) != static_cast<int64_t>(text.size())) fail("CalcSize differs from AsJSon");
    if (doc->Clone()->AsJSon(false) != text) fail("clone writes another text");
    if (text == "null") continue;
    const bool lossy = text.find("null") != std::string::npos;

    std::unique_ptr<TJsonObject> again = parse_whole(text);
    if (!again) fail("written text does not parse");
    if (!lossy && again->AsJSon(false) != text) fail("written text does not parse back to itself");
    std::unique_ptr<TJsonObject> formatted = parse_whole(doc->AsJSon(true));
    if (!formatted) fail("formatted text does not parse");
    if (!lossy && formatted->AsJSon(false) != text) fail("formatted text differs from plain text");
  }
  return 0;
}
