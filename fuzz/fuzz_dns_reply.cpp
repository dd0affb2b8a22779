// The resolver's inputs on any bytes: the DNS reply parser, for the name
// the seeds ask about and for the name of a query built from the input's
// first line (an address found is one of the reply's own 4-byte strings);
// parse_ipv4 (an address read back from its dotted form is the same).
#include <cstring>
#include <string>

#include "common/net/ux_socketbase_dns.h"
#include "fuzz_support.h"

using namespace qlyn_fuzz;
using namespace ux;

namespace {

constexpr std::string_view kName = "res.qlyn.example";

void check(std::string_view reply, std::string_view name, uint16_t id) {
  TDNS_Response out;
  const uint32_t ip = parse_dns_reply(reply, name, id, out);
  if (ip != out.ip) fail("result and record disagree");
  if (ip == 0) return;
  char bytes[4];
  std::memcpy(bytes, &ip, 4);
  if (reply.find(std::string_view(bytes, 4)) == std::string_view::npos) fail("address not in the reply");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view reply = as_text(data, size);
  check(reply, kName, kDNS_Query_Id);
  check(reply, "RES.Qlyn.Example.", kDNS_Query_Id);

  // A query is no reply; a reply to a query of another name gives nothing.
  const auto [name, rest] = split_first_line(reply);
  const std::string query = build_dns_query(name, 7);
  if (!query.empty()) {
    TDNS_Response out;
    if (parse_dns_reply(query, name, 7, out) != 0) fail("a query read as an answer");
    check(rest, name, 7);
  }
  const uint32_t ip = parse_ipv4(reply);
  if (parse_ipv4(ipv4_text(ip)) != ip) fail("dotted form reads back as another address");
  (void)is_ipv4_class_e_or_broadcast(reply);
  return 0;
}
