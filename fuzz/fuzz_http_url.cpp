// The URL layer on any text: the split, the connection plan (with and
// without a proxy), the request target, redirect resolution and the origin
// test. A split puts the URL back together; a plan that is made puts no
// control byte into the request line or a header (it cannot be used to
// smuggle a header); a relative redirect stays on its base's origin and,
// when it has a path, leaves no dot segment in it.
//
// Input: three lines — the URL (also the base of a redirect), the location
// (also the method), the proxy text — then anything, taken as a URL again.
#include <string>

#include "common/net/ux_http_url.h"
#include "common/ux_common.h"
#include "fuzz_support.h"

using namespace qlyn_fuzz;
using namespace ux;

namespace {

bool has_control(std::string_view s) {
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

// ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ) ":" — anything else before a
// ":" (a byte from 0x80, a digit first) makes the reference relative.
bool starts_with_scheme(std::string_view ref) {
  const size_t colon = ref.find(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  for (size_t i = 0; i < colon; ++i) {
    const unsigned char c = ref[i];
    const bool alpha = (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
    const bool other = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
    if (!alpha && (i == 0 || !other)) return false;
  }
  return true;
}

void check_split(std::string_view url) {
  const TUX_Http_Url_Parts p = split_http_url(url);
  if (!p.has_authority) {
    if (p.scheme != url) fail("a URL without \"://\" is not all scheme");
    return;
  }
  if (p.authority != p.host && p.authority != p.host + ":" + p.port_text) fail("authority is not host and port");
  const std::string joined =
      p.scheme + "://" + (p.has_userinfo ? p.userinfo + "@" : "") + p.authority + p.path + p.query;
  if (url.substr(0, joined.size()) != joined) fail("the parts do not give the URL back");
  const std::string_view rest = url.substr(joined.size());
  if (!rest.empty() && rest[0] != '#') fail("more than a fragment left after the parts");
  if (!p.query.empty() && p.query[0] != '?') fail("query without its \"?\"");
}

void check_plan(std::string_view url, std::string_view method, const TUX_HTTP_Proxy& proxy, bool keep_alive) {
  const TUX_Http_Conn_Plan plan = plan_http_connection(url, method, "udp", keep_alive, proxy);
  if (!plan.ok) return;
  const std::string_view line = plan.cmd_str;
  if (!line.ends_with(" HTTP/1.1\r\n") || has_control(line.substr(0, line.size() - 2)))
    fail("request line with a control byte");
  const size_t sp1 = line.find(' '), sp2 = line.find(' ', sp1 + 1);
  if (sp1 == 0 || sp2 == sp1 + 1 || line.find(' ', sp2 + 1) != std::string_view::npos)
    fail("request line is not method, target, version");
  for (const auto& [name, value] : plan.headers)
    if (name.empty() || has_control(name) || has_control(value)) fail("header with a control byte");
  if (plan.connect_address.empty()) fail("plan without an address");
  if (!plan.via_proxy) {
    const size_t colon = plan.connect_address.rfind(':');
    const std::string port = plan.connect_address.substr(colon + 1);
    if (colon == std::string::npos || port.empty() || port.size() > 5) fail("address without a port");
    const int v = std::stoi(port);
    if (v < 1 || v > 65535) fail("port outside 1..65535");
  }
}

void check_location(std::string_view base, std::string_view location) {
  const std::string to = resolve_http_location(base, location);
  const std::string b = trim_text(base);
  const std::string loc = trim_text(location);
  // A base no plan is made for was never requested, so nothing redirects
  // from it; a location holding a control byte is never requested either.
  if (!plan_http_connection(b, "GET", "tcp", true, TUX_HTTP_Proxy()).ok || has_control(loc)) return;
  const TUX_Http_Url_Parts bp = split_http_url(b);
  if (loc.starts_with("//") || starts_with_scheme(loc)) return;
  if (!same_http_origin(b, to)) fail("a relative location left its base's origin");
  const TUX_Http_Url_Parts tp = split_http_url(to);
  if (tp.scheme != bp.scheme || tp.authority != bp.authority) fail("a relative location changed the authority");
  // A location without a path of its own keeps the base's path as written.
  if (loc.find_first_of("?#") == 0 || loc.empty()) return;
  for (std::string_view dot : {"/./", "/../"})
    if ((tp.path + "/").find(dot) != std::string::npos) fail("dot segment left in a resolved path");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view in = as_text(data, size);
  std::string_view lines[3];
  for (std::string_view& l : lines) {
    const size_t lf = in.find('\n');
    l = in.substr(0, lf);
    in = lf == std::string_view::npos ? std::string_view() : in.substr(lf + 1);
  }
  const std::string_view url = lines[0], location = lines[1], proxy_text = lines[2];

  for (std::string_view u : {url, in}) {
    check_split(u);
    const TUX_HTTP_Proxy none;
    check_plan(u, location, none, true);
    check_plan(u, "", parse_http_proxy(proxy_text), false);
    (void)http_url_is_tls(u);
    (void)select_http_transport(u, split_http_url(u).scheme, "tcp");
    const TUX_Http_Url_Parts p = split_http_url(u);
    const std::string target = http_request_target(p.path, p.query);
    if (target.empty() || target[0] != '/') fail("request target without its leading \"/\"");
    for (unsigned char c : target)
      if (c == ' ' || c >= 0x80) fail("request target with a space or a byte from 0x80");
  }
  check_location(url, location);
  if (same_http_origin(url, location) != same_http_origin(location, url)) fail("origin test is not symmetric");
  const TUX_HTTP_Proxy proxy = parse_http_proxy(proxy_text);
  if (proxy.enabled && proxy.dest_host.find(':') == std::string::npos) fail("proxy enabled without a port");
  return 0;
}
