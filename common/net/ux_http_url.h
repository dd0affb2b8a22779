// ux_http_url: from a request URL to a connection plan — the scheme table that
// picks TCP, TLS or KCP over UDP (scrambled or not), the URL split, the proxy
// record, Basic authorisation from user information, the request line and
// the fixed request headers — and the resolution of a redirect's location.
//
// Pure functions over byte strings: no I/O, no clock, no state. Scheme and
// prefix checks fold ASCII case only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ux {

inline constexpr int32_t kHttpDefaultPort = 80;
inline constexpr int32_t kHttpsDefaultPort = 443;

inline constexpr std::string_view kHttpAccept = "*/*";
inline constexpr std::string_view kHttpUserAgent =
    "Mozilla/5.0 (Windows; U; Windows NT 6.1; zh-CN; rv:1.9.2.13)";
inline constexpr std::string_view kHttpAcceptCharset = "GB2312,GBK,UTF-8;";

// The proxy record. Enabled only for a text "http://host:port..." (TLS to the
// proxy off) or "https://host:port..." (on); anything else disables it.
struct TUX_HTTP_Proxy {
  std::string orig_dest_url;  // the last URL sent through the proxy
  std::string raw_str;        // the text given
  bool enabled = false;
  std::string dest_host;      // "host:port" of the proxy
  bool is_https_mode = false;
};
TUX_HTTP_Proxy parse_http_proxy(std::string_view text);

// A URL taken apart. The authority ends at the first "/", "?" or "#" after
// "://"; user information is the text before its first "@"; the host ends at
// the first ":" (a bracketed IPv6 literal at its "]").
struct TUX_Http_Url_Parts {
  std::string scheme;          // the text before "://"; the whole URL without one
  bool has_authority = false;  // "://" was present
  std::string userinfo;        // as written, without the "@"
  bool has_userinfo = false;
  std::string authority;       // host[:port] as written, without user information
  std::string host;            // brackets of an IPv6 literal kept
  std::string port_text;       // the text after the host's ":" (empty: none)
  std::string path;            // from the authority's end up to "?" or "#"
  std::string query;           // from "?" (included) up to "#"
};
TUX_Http_Url_Parts split_http_url(std::string_view url);

// True when url starts with "https://" or "wss://".
bool http_url_is_tls(std::string_view url);

// Transport of a scheme.
struct TUX_Http_Transport {
  bool over_udp = false;     // KCP over UDP, else TCP
  bool udp_encrypt = false;  // scrambled datagrams
};
// default_socket_mode "udp" (any case) sends the schemes outside the table
// over KCP; "tcp" schemes and TLS URLs always take TCP.
TUX_Http_Transport select_http_transport(std::string_view url, std::string_view scheme,
                                         std::string_view default_socket_mode);

// What one connection attempt needs. ok is false when the URL or the method
// cannot be sent: a control byte in the URL, no host, a space in the host or
// port, a port outside 1..65535, a method that is not an HTTP token.
struct TUX_Http_Conn_Plan {
  bool ok = false;
  bool via_proxy = false;
  bool is_https_mode = false;  // TLS on the TCP connection
  TUX_Http_Transport transport;
  std::string connect_address;  // "host:port" (the proxy's for the proxy path)
  std::string cmd_str;          // request line with CR LF
  // Headers for the request, in the order they are to be added.
  std::vector<std::pair<std::string, std::string>> headers;
};
// url is trimmed first; an empty method means "GET".
TUX_Http_Conn_Plan plan_http_connection(std::string_view url, std::string_view method,
                                        std::string_view default_socket_mode, bool keep_alive,
                                        const TUX_HTTP_Proxy& proxy);

// The request target for a path and query: a missing leading "/" added,
// every "//" of the path folded to "/" in one left-to-right pass, spaces
// and bytes from 0x80 percent-encoded; the query is kept as written apart
// from the same encoding.
std::string http_request_target(std::string_view path, std::string_view query);

// location resolved against base (RFC 3986 reference resolution; dot
// segments removed). An absolute location ("scheme://...") is returned as
// it is; a base without "://" gives location unchanged.
std::string resolve_http_location(std::string_view base, std::string_view location);

// True when both URLs name the same host (ASCII case-insensitive), the same
// effective port and the same TLS mode.
bool same_http_origin(std::string_view a, std::string_view b);

}  // namespace ux
