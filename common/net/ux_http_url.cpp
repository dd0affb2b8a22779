#include "common/net/ux_http_url.h"

#include "common/ux_common.h"

namespace ux {

namespace {

bool starts_with_ci(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && ci_equal(s.substr(0, prefix.size()), prefix);
}

bool has_control_byte(std::string_view s) {
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

// RFC 9110 tchar.
bool is_token(std::string_view s) {
  if (s.empty()) return false;
  for (unsigned char c : s) {
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!alnum && std::string_view("!#$%&'*+-.^_`|~").find(char(c)) == std::string_view::npos)
      return false;
  }
  return true;
}

// Spaces and bytes from 0x80 would split the request line or are not
// allowed in it; everything else is sent as written.
std::string percent_encode_target(std::string_view s) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(s.size());
  for (unsigned char c : s) {
    if (c == ' ' || c >= 0x80) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += char(c);
    }
  }
  return out;
}

// Port of the URL: 0 when absent, not a number or 0 (the default applies),
// -1 when above 65535.
int32_t url_port_number(std::string_view port_text) {
  if (port_text.empty() || port_text.size() > 9) return port_text.size() > 9 ? -1 : 0;
  int64_t v = 0;
  for (char c : port_text) {
    if (c < '0' || c > '9') return 0;
    v = v * 10 + (c - '0');
  }
  return v > 65535 ? -1 : int32_t(v);
}

// The effective port, or -1 when the URL's port is out of range.
int32_t effective_port(const TUX_Http_Url_Parts& p, bool tls) {
  const int32_t port = url_port_number(p.port_text);
  if (port < 0) return -1;
  return port > 0 ? port : (tls ? kHttpsDefaultPort : kHttpDefaultPort);
}

std::string upper_ascii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return out;
}

// RFC 3986 5.2.4.
std::string remove_dot_segments(std::string_view in) {
  std::string out;
  while (!in.empty()) {
    if (in.substr(0, 3) == "../") {
      in.remove_prefix(3);
    } else if (in.substr(0, 2) == "./") {
      in.remove_prefix(2);
    } else if (in.substr(0, 3) == "/./") {
      in.remove_prefix(2);
    } else if (in == "/.") {
      in = "/";
    } else if (in.substr(0, 4) == "/../" || in == "/..") {
      in = in.size() == 3 ? std::string_view("/") : in.substr(3);
      const size_t slash = out.rfind('/');
      out.erase(slash == std::string::npos ? 0 : slash);
    } else if (in == "." || in == "..") {
      in = {};
    } else {
      const size_t next = in.find('/', 1);
      const size_t n = next == std::string_view::npos ? in.size() : next;
      out.append(in.substr(0, n));
      in.remove_prefix(n);
    }
  }
  return out;
}

// "scheme:" starts an absolute reference (letters first, then letters,
// digits, "+", "-", ".").
bool has_scheme(std::string_view ref) {
  const size_t colon = ref.find(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  for (size_t i = 0; i < colon; ++i) {
    const char c = ref[i];
    const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!alpha && (i == 0 || !((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.')))
      return false;
  }
  return true;
}

}  // namespace

TUX_HTTP_Proxy parse_http_proxy(std::string_view text) {
  TUX_HTTP_Proxy p;
  p.raw_str = std::string(text);
  const std::string t = trim_text(text);
  size_t skip = 0;
  if (starts_with_ci(t, "http://")) {
    skip = 7;
  } else if (starts_with_ci(t, "https://")) {
    skip = 8;
    p.is_https_mode = true;
  } else {
    p.is_https_mode = false;
    return p;
  }
  const std::string_view rest = std::string_view(t).substr(skip);
  const std::string_view host = rest.substr(0, rest.find('/'));
  if (host.find(':') == std::string_view::npos) {
    p.is_https_mode = false;
    return p;
  }
  p.dest_host = std::string(host);
  p.enabled = true;
  return p;
}

TUX_Http_Url_Parts split_http_url(std::string_view url) {
  TUX_Http_Url_Parts p;
  const size_t sep = url.find("://");
  if (sep == std::string_view::npos) {
    p.scheme = std::string(url);
    return p;
  }
  p.scheme = std::string(url.substr(0, sep));
  p.has_authority = true;
  std::string_view rest = url.substr(sep + 3);
  const size_t auth_end = std::min(rest.find_first_of("/?#"), rest.size());
  std::string_view auth = rest.substr(0, auth_end);
  std::string_view tail = rest.substr(auth_end);
  tail = tail.substr(0, tail.find('#'));
  const size_t q = tail.find('?');
  p.path = std::string(tail.substr(0, q));
  if (q != std::string_view::npos) p.query = std::string(tail.substr(q));

  const size_t at = auth.find('@');
  if (at != std::string_view::npos) {
    p.userinfo = std::string(auth.substr(0, at));
    p.has_userinfo = true;
    auth.remove_prefix(at + 1);
  }
  p.authority = std::string(auth);
  size_t host_end = auth.find(':');
  if (!auth.empty() && auth[0] == '[') {
    const size_t close = auth.find(']');
    host_end = close == std::string_view::npos ? auth.size() : close + 1;
    if (host_end < auth.size() && auth[host_end] != ':') host_end = auth.size();
  }
  if (host_end == std::string_view::npos || host_end >= auth.size()) {
    p.host = std::string(auth);
  } else {
    p.host = std::string(auth.substr(0, host_end));
    p.port_text = std::string(auth.substr(host_end + 1));
  }
  return p;
}

bool http_url_is_tls(std::string_view url) {
  return starts_with_ci(url, "https://") || starts_with_ci(url, "wss://");
}

TUX_Http_Transport select_http_transport(std::string_view url, std::string_view scheme,
                                         std::string_view default_socket_mode) {
  TUX_Http_Transport t;
  if (http_url_is_tls(url)) return t;
  if (ci_in_list(scheme, {"udp", "udp-http", "http-udp", "udp-ws", "ws-udp", "vuhttp", "vtcp",
                          "uhttp"})) {
    t.over_udp = true;
  } else if (ci_in_list(scheme, {"udp-https", "https-udp", "vuhttps"})) {
    t.over_udp = true;
    t.udp_encrypt = true;
  } else if (!ci_in_list(scheme, {"tcp", "tcp-http", "http-tcp", "tcp-ws", "ws-tcp"})) {
    t.over_udp = ci_equal(default_socket_mode, "udp");
  }
  return t;
}

std::string http_request_target(std::string_view path, std::string_view query) {
  std::string p = std::string(path);
  if (p.empty() || p[0] != '/') p.insert(p.begin(), '/');
  return percent_encode_target(replace_all(p, "//", "/")) + percent_encode_target(query);
}

TUX_Http_Conn_Plan plan_http_connection(std::string_view url, std::string_view method,
                                        std::string_view default_socket_mode, bool keep_alive,
                                        const TUX_HTTP_Proxy& proxy) {
  TUX_Http_Conn_Plan plan;
  const std::string u = trim_text(url);
  const std::string m = upper_ascii(method.empty() ? std::string_view("GET") : method);
  if (has_control_byte(u) || !is_token(m)) return plan;
  const TUX_Http_Url_Parts parts = split_http_url(u);
  // A space cannot be encoded in a host or port: it would split the proxy's
  // request line, and trimming would give the URL another authority.
  if (!parts.has_authority || parts.host.empty() || parts.authority.find(' ') != std::string::npos)
    return plan;
  const std::string authorization =
      parts.has_userinfo ? "Basic " + base64_encode_text(parts.userinfo) : std::string();

  if (proxy.enabled && starts_with_ci(u, "http://")) {
    if (url_port_number(parts.port_text) < 0) return plan;
    plan.via_proxy = true;
    plan.is_https_mode = proxy.is_https_mode;
    plan.cmd_str = m + " " + parts.scheme + "://" + parts.authority +
                   percent_encode_target(parts.path.empty() ? std::string("/") : parts.path) +
                   percent_encode_target(parts.query) + " HTTP/1.1\r\n";
    if (!authorization.empty()) plan.headers.emplace_back("Authorization", authorization);
    plan.headers.emplace_back("host", parts.authority);
    plan.headers.emplace_back("proxy-connection", "keep-alive");
    plan.connect_address = proxy.dest_host;
  } else {
    plan.is_https_mode = http_url_is_tls(u);
    const int32_t port = effective_port(parts, plan.is_https_mode);
    if (port < 0) return plan;
    plan.transport = select_http_transport(u, parts.scheme, default_socket_mode);
    plan.cmd_str = m + " " + http_request_target(parts.path, parts.query) + " HTTP/1.1\r\n";
    plan.connect_address = parts.host + ":" + int_text(port);
    if (!authorization.empty()) plan.headers.emplace_back("Authorization", authorization);
    plan.headers.emplace_back("host", plan.connect_address);
    plan.headers.emplace_back("connection", keep_alive ? "keep-alive" : "close");
  }
  plan.headers.emplace_back("Accept", kHttpAccept);
  plan.headers.emplace_back("User-Agent", kHttpUserAgent);
  plan.headers.emplace_back("Accept-Charset", kHttpAcceptCharset);
  plan.ok = true;
  return plan;
}

std::string resolve_http_location(std::string_view base, std::string_view location) {
  const std::string loc = trim_text(location);
  if (has_scheme(loc)) return loc;
  const TUX_Http_Url_Parts b = split_http_url(trim_text(base));
  if (!b.has_authority) return loc;
  const std::string scheme_part = b.scheme + "://";
  if (loc.rfind("//", 0) == 0) return b.scheme + ":" + loc;
  const std::string origin =
      scheme_part + (b.has_userinfo ? b.userinfo + "@" : std::string()) + b.authority;
  if (loc.empty() || loc[0] == '#') return origin + b.path + b.query;

  std::string ref_path = loc;
  std::string ref_tail;
  const size_t cut = ref_path.find_first_of("?#");
  if (cut != std::string::npos) {
    ref_tail = ref_path.substr(cut);
    ref_path.erase(cut);
  }
  ref_tail = ref_tail.substr(0, ref_tail.find('#'));
  if (ref_path.empty()) return origin + (b.path.empty() ? "/" : b.path) + ref_tail;
  std::string merged;
  if (ref_path[0] == '/') {
    merged = ref_path;
  } else {
    const std::string base_path = b.path.empty() ? std::string("/") : b.path;
    merged = base_path.substr(0, base_path.rfind('/') + 1) + ref_path;
  }
  return origin + remove_dot_segments(merged) + ref_tail;
}

bool same_http_origin(std::string_view a, std::string_view b) {
  const std::string ta = trim_text(a);
  const std::string tb = trim_text(b);
  const TUX_Http_Url_Parts pa = split_http_url(ta);
  const TUX_Http_Url_Parts pb = split_http_url(tb);
  const bool tls_a = http_url_is_tls(ta);
  const bool tls_b = http_url_is_tls(tb);
  return tls_a == tls_b && ci_equal(pa.host, pb.host) &&
         effective_port(pa, tls_a) == effective_port(pb, tls_b);
}

}  // namespace ux
