#include "common/net/ux_socketbase_dns.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "common/ux_common.h"

namespace ux {

// ---------------------------------------------------------------- primitives

namespace {

bool valid_port(int32_t port) { return port > 0 && port <= 65535; }

sockaddr_in make_addr(uint32_t ip, int32_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = ip;
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}

// Handle 0 means "no socket" to the socket classes; a socket that got it
// (standard input closed) is moved above it.
int32_t new_socket(int type) {
  int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd == 0) {
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 1);
    ::close(fd);
    fd = moved;
  }
  return fd < 0 ? kNoSocket : fd;
}

int set_int_option(int32_t sock, int level, int name, int value) {
  return ::setsockopt(sock, level, name, &value, sizeof value);
}

int set_ms_option(int32_t sock, int name, int32_t ms) {
  timeval tv{};
  if (ms > 0) {
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
  }
  return ::setsockopt(sock, SOL_SOCKET, name, &tv, sizeof tv);
}

// The privileged form first (may exceed net.core.*mem_max), then the plain one.
int set_buffer_option(int32_t sock, int forced, int plain, int32_t value) {
  if (set_int_option(sock, SOL_SOCKET, forced, value) == 0) return 0;
  return set_int_option(sock, SOL_SOCKET, plain, value);
}

void fill_sender(const sockaddr_in& a, socklen_t len, uint32_t& ip, uint32_t& port) {
  if (len >= socklen_t(sizeof(sockaddr_in)) && a.sin_family == AF_INET) {
    ip = a.sin_addr.s_addr;
    port = ntohs(a.sin_port);
  } else {
    ip = 0;
    port = 0;
  }
}

constexpr int32_t kReadGoOn = 1;

// Checks shared by the reads: kReadGoOn, or the result to give (0 for an
// empty request; -1 with errno set for a bad handle or a null buffer).
int32_t read_precheck(int32_t sock, const void* buf, int32_t size) {
  if (sock < 0) {
    errno = EBADF;
    return -1;
  }
  if (size <= 0) return 0;
  if (!buf) {
    errno = EINVAL;
    return -1;
  }
  return kReadGoOn;
}

int32_t recv_from_raw(int32_t sock, void* buf, int32_t size, uint32_t& ip, uint32_t& port,
                      bool dont_wait) {
  ip = 0;
  port = 0;
  if (const int32_t r = read_precheck(sock, buf, size); r != kReadGoOn) return r;
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ssize_t n;
  do {
    len = sizeof a;
    n = ::recvfrom(sock, buf, size_t(size), dont_wait ? MSG_DONTWAIT : 0,
                   reinterpret_cast<sockaddr*>(&a), &len);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) fill_sender(a, len, ip, port);
  return static_cast<int32_t>(n);
}

bool end_address(int32_t sock, bool peer, sockaddr_in& a) {
  if (sock <= 0) return false;
  socklen_t len = sizeof a;
  const int rc = peer ? ::getpeername(sock, reinterpret_cast<sockaddr*>(&a), &len)
                      : ::getsockname(sock, reinterpret_cast<sockaddr*>(&a), &len);
  return rc == 0 && len >= socklen_t(sizeof a) && a.sin_family == AF_INET;
}

}  // namespace

int32_t sock_create_tcp() { return new_socket(SOCK_STREAM); }

int32_t sock_create_udp() { return new_socket(SOCK_DGRAM); }

int32_t sock_set_option(int32_t sock, int32_t code, int32_t value) {
  if (sock < 0) {
    errno = EBADF;
    return -1;
  }
  switch (code) {
    case kSockOptNonBlocking: {
      int on = value != 0;
      return ::ioctl(sock, FIONBIO, &on);
    }
    case kSockOptRecvBuf:
      return set_buffer_option(sock, SO_RCVBUFFORCE, SO_RCVBUF, value);
    case kSockOptSendBuf:
      return set_buffer_option(sock, SO_SNDBUFFORCE, SO_SNDBUF, value);
    case kSockOptReuseAddr: {
      if (set_int_option(sock, SOL_SOCKET, SO_REUSEADDR, value) == 0) return 0;
      const char one_byte = value != 0;
      return ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one_byte, sizeof one_byte);
    }
    case kSockOptBroadcast:
      return set_int_option(sock, SOL_SOCKET, SO_BROADCAST, value);
    case kSockOptRecvTimeout:
      return set_ms_option(sock, SO_RCVTIMEO, value);
    case kSockOptSendTimeout:
    case kSockOptSendTimeout2:
      return set_ms_option(sock, SO_SNDTIMEO, value);
    case kSockOptMulticastTTL:
      if (value < 0 || value > 255) {
        errno = EINVAL;
        return -1;
      }
      return set_int_option(sock, IPPROTO_IP, IP_MULTICAST_TTL, value);
    case kSockOptNoDelay:
      return set_int_option(sock, IPPROTO_TCP, TCP_NODELAY, value != 0);
    default:
      return 0;
  }
}

int32_t sock_set_nonblocking(int32_t sock, bool on) { return sock_set_option(sock, kSockOptNonBlocking, on); }

int32_t sock_bind(int32_t sock, std::string_view ip_text, int32_t port) {
  if (port < 0 || port > 65535) {
    errno = EINVAL;
    return -1;
  }
  const sockaddr_in a = make_addr(parse_ipv4(ip_text), port);
  return ::bind(sock, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 ? 0 : -1;
}

int32_t sock_connect(int32_t sock, const std::string& host, int32_t port) {
  if (!valid_port(port)) {
    errno = EINVAL;
    return -1;
  }
  const uint32_t ip = resolve_host(host);
  if (ip == 0 || (ip == kIPv4AllOnes && host != "255.255.255.255")) {
    errno = EADDRNOTAVAIL;
    return -1;
  }
  const sockaddr_in a = make_addr(ip, port);
  return ::connect(sock, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 ? 0 : -1;
}

bool sock_wait(int32_t sock, int32_t ms, bool& want_read, bool& want_write, bool& want_error) {
  const bool ask_read = want_read, ask_write = want_write, ask_error = want_error;
  want_read = want_write = want_error = false;
  if (sock < 0) {
    want_error = true;
    return true;
  }
  pollfd p{};
  p.fd = sock;
  p.events = short((ask_read ? POLLIN : 0) | (ask_write ? POLLOUT : 0));
  using clock = std::chrono::steady_clock;
  const auto wait = ms == 0 ? std::chrono::microseconds(100) : std::chrono::microseconds(int64_t(ms) * 1000);
  const auto deadline = clock::now() + wait;
  int rc;
  for (;;) {
    timespec ts{};
    timespec* pts = nullptr;
    if (ms >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - clock::now());
      const int64_t ns = left.count() > 0 ? left.count() : 0;
      ts.tv_sec = ns / 1000000000;
      ts.tv_nsec = ns % 1000000000;
      pts = &ts;
    }
    rc = ::ppoll(&p, 1, pts, nullptr);
    if (rc >= 0 || errno != EINTR) break;
  }
  if (rc == 0) return false;
  if (rc < 0) {
    want_error = true;
    return true;
  }
  want_read = ask_read && (p.revents & POLLIN);
  want_write = ask_write && (p.revents & POLLOUT);
  want_error = ask_error && (p.revents & (POLLERR | POLLHUP | POLLNVAL));
  return true;
}

int32_t sock_recv(int32_t sock, void* buf, int32_t size, bool peek, bool dont_wait) {
  if (const int32_t r = read_precheck(sock, buf, size); r != kReadGoOn) return r;
  const int flags = (peek ? MSG_PEEK : 0) | (dont_wait ? MSG_DONTWAIT : 0);
  ssize_t n;
  do {
    n = ::recv(sock, buf, size_t(size), flags);
  } while (n < 0 && errno == EINTR);
  return static_cast<int32_t>(n);
}

int32_t sock_send(int32_t sock, const void* data, int32_t len) {
  if (len <= 0 || !data) return 0;
  ssize_t n;
  do {
    n = ::send(sock, data, size_t(len), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return static_cast<int32_t>(n);
}

int32_t sock_recv_from(int32_t sock, void* buf, int32_t size, std::string& from_ip, int32_t& from_port,
                       bool dont_wait) {
  uint32_t ip = 0, port = 0;
  const int32_t n = recv_from_raw(sock, buf, size, ip, port, dont_wait);
  from_ip = n >= 0 && ip ? ipv4_text(ip) : std::string();
  from_port = int32_t(port);
  return n;
}

int32_t sock_recv_from(int32_t sock, void* buf, int32_t size, uint32_t& from_ip, uint32_t& from_port,
                       bool dont_wait) {
  return recv_from_raw(sock, buf, size, from_ip, from_port, dont_wait);
}

bool sock_set_coalescing(int32_t sock, bool on) { return sock >= 0 && set_int_option(sock, SOL_UDP, UDP_GRO, on) == 0; }

int32_t sock_recv_coalesced(int32_t sock, void* buf, int32_t size, int32_t& segment, uint32_t& from_ip,
                            uint32_t& from_port, bool dont_wait) {
  segment = 0;
  from_ip = 0;
  from_port = 0;
  if (const int32_t r = read_precheck(sock, buf, size); r != kReadGoOn) return r;
  sockaddr_in a{};
  iovec v{buf, size_t(size)};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  msghdr h{};
  ssize_t n;
  do {
    h = msghdr{};
    h.msg_name = &a;
    h.msg_namelen = sizeof a;
    h.msg_iov = &v;
    h.msg_iovlen = 1;
    h.msg_control = control;
    h.msg_controllen = sizeof control;
    n = ::recvmsg(sock, &h, dont_wait ? MSG_DONTWAIT : 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return -1;
  fill_sender(a, h.msg_namelen, from_ip, from_port);
  segment = int32_t(n);
  for (cmsghdr* c = CMSG_FIRSTHDR(&h); c != nullptr; c = CMSG_NXTHDR(&h, c)) {
    if (c->cmsg_level != SOL_UDP || c->cmsg_type != UDP_GRO) continue;
    int gso_size = 0;
    std::memcpy(&gso_size, CMSG_DATA(c), sizeof gso_size);
    if (gso_size > 0 && gso_size < n) segment = gso_size;
  }
  return static_cast<int32_t>(n);
}

int32_t sock_send_to(int32_t sock, const std::string& address, int32_t port, const void* data, int32_t len) {
  const uint32_t ip = parse_ipv4(address);
  if (ip == 0 && address != "0.0.0.0") {
    errno = EINVAL;
    return -1;
  }
  return sock_send_to(sock, ip, port, data, len);
}

int32_t sock_send_to(int32_t sock, uint32_t address, int32_t port, const void* data, int32_t len) {
  if (len <= 0 || !data) return 0;
  if (!valid_port(port)) {
    errno = EINVAL;
    return -1;
  }
  const sockaddr_in a = make_addr(address, port);
  ssize_t n;
  do {
    n = ::sendto(sock, data, size_t(len), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&a), sizeof a);
  } while (n < 0 && errno == EINTR);
  return static_cast<int32_t>(n);
}

int32_t sock_close(int32_t sock) {
  if (sock < 0) {
    errno = EBADF;
    return -1;
  }
  ::shutdown(sock, SHUT_RDWR);
  return ::close(sock) == 0 ? 0 : -1;
}

std::string sock_local_ip(int32_t sock) {
  sockaddr_in a{};
  return end_address(sock, false, a) ? ipv4_text(a.sin_addr.s_addr) : std::string();
}

std::string sock_remote_ip(int32_t sock) {
  sockaddr_in a{};
  return end_address(sock, true, a) ? ipv4_text(a.sin_addr.s_addr) : std::string();
}

int32_t sock_local_port(int32_t sock) {
  sockaddr_in a{};
  return end_address(sock, false, a) ? ntohs(a.sin_port) : 0;
}

int32_t sock_remote_port(int32_t sock) {
  sockaddr_in a{};
  return end_address(sock, true, a) ? ntohs(a.sin_port) : 0;
}

int32_t sock_last_error() { return errno; }

bool sock_would_block(int32_t code) { return code == EAGAIN || code == EWOULDBLOCK; }

int32_t sock_pending_error(int32_t sock) {
  int err = 0;
  socklen_t len = sizeof err;
  if (sock < 0 || ::getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return 0;
  return err;
}

// ---------------------------------------------------------------- addresses

uint32_t parse_ipv4(std::string_view text) {
  uint8_t bytes[4];
  for (int i = 0; i < 4; ++i) {
    const size_t dot = text.find('.');
    std::string_view part = text.substr(0, dot);
    text = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
    if (part.empty() || part.size() > 3) return 0;
    int v = 0;
    for (char c : part) {
      if (c < '0' || c > '9') return 0;
      v = v * 10 + (c - '0');
    }
    if (v > 255) return 0;
    bytes[i] = uint8_t(v);
  }
  uint32_t r;
  std::memcpy(&r, bytes, 4);
  return r;
}

std::string ipv4_text(uint32_t ip) {
  uint8_t b[4];
  std::memcpy(b, &ip, 4);
  std::string s;
  s.reserve(15);
  for (int i = 0; i < 4; ++i) {
    if (i) s += '.';
    s += std::to_string(b[i]);
  }
  return s;
}

bool is_ipv4_class_e_or_broadcast(std::string_view text) {
  const uint32_t ip = parse_ipv4(text);
  return ip != 0 && (ip & 0xFF) >= 240;
}

// ---------------------------------------------------------------- settings

namespace {

std::mutex& settings_lock() {
  static std::mutex m;
  return m;
}

TDNS_Settings& settings_locked() {
  static TDNS_Settings s;
  return s;
}

}  // namespace

TDNS_Settings dns_settings() {
  std::lock_guard<std::mutex> g(settings_lock());
  return settings_locked();
}

void set_dns_settings(TDNS_Settings s) {
  std::lock_guard<std::mutex> g(settings_lock());
  settings_locked() = std::move(s);
}

uint32_t platform_lookup_ipv4(const std::string& name) {
  if (name.empty()) return 0;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &res) != 0 || !res) return 0;
  uint32_t ip = 0;
  for (const addrinfo* p = res; p; p = p->ai_next) {
    if (p->ai_family == AF_INET && p->ai_addrlen >= socklen_t(sizeof(sockaddr_in))) {
      ip = reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
      break;
    }
  }
  ::freeaddrinfo(res);
  return ip;
}

uint32_t resolve_host(const std::string& name) {
  if (name.empty() || name == "0.0.0.0") return 0;
  if (name == "255.255.255.255") return kIPv4AllOnes;
  const uint32_t r = parse_ipv4(name);
  if (r != 0 && r != kIPv4AllOnes) return r;
  const std::shared_ptr<TUX_DNS_Cacher> cache = dns_cacher();
  if (cache) {
    const uint32_t v = cache->Get(name);
    if (v == kIPv4AllOnes) return r;
    if (v != 0) return v;
  }
  const TDNS_Settings s = dns_settings();
  uint32_t ip = s.platform_lookup ? s.platform_lookup(name) : platform_lookup_ipv4(name);
  if (ip == 0) ip = dns_query_host(name);
  if (cache) cache->put(name, ip != 0 ? ip : kIPv4AllOnes);
  return ip;
}

// ---------------------------------------------------------------- DNS messages

namespace {

constexpr size_t kHeaderLen = 12;
constexpr size_t kMaxNameLen = 255;     // encoded bytes, RFC 1035
constexpr size_t kMaxLabelLen = 63;
constexpr int kMaxPointerHops = 32;     // compression pointers followed per name
constexpr int kMaxCnameHops = 16;       // CNAME records followed per answer

uint16_t be16(std::string_view m, size_t off) {
  return uint16_t(uint8_t(m[off]) << 8 | uint8_t(m[off + 1]));
}

void put_be16(std::string& s, uint16_t v) {
  s += char(v >> 8);
  s += char(v & 0xFF);
}

// Lower-case name without one trailing ".".
std::string normal_name(std::string_view name) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  return lower_ascii(name);
}

// The name at off (labels or compression pointers), lower-case, labels joined
// by "."; next = the offset after the name where it starts. False when it
// leaves the message, loops or is too long.
bool read_name(std::string_view m, size_t off, std::string& out, size_t& next) {
  out.clear();
  bool jumped = false;
  int hops = 0;
  size_t encoded = 0;
  for (;;) {
    if (off >= m.size()) return false;
    const uint8_t len = uint8_t(m[off]);
    if (len == 0) {
      if (!jumped) next = off + 1;
      return true;
    }
    if ((len & 0xC0) == 0xC0) {
      if (off + 1 >= m.size() || ++hops > kMaxPointerHops) return false;
      if (!jumped) next = off + 2;
      jumped = true;
      off = size_t(len & 0x3F) << 8 | uint8_t(m[off + 1]);
      continue;
    }
    if (len & 0xC0) return false;
    encoded += 1 + len;
    if (off + 1 + len > m.size() || encoded > kMaxNameLen) return false;
    if (!out.empty()) out += '.';
    out += lower_ascii(m.substr(off + 1, len));
    off += 1 + len;
  }
}

struct TAnswer {
  std::string owner;
  uint16_t type;
  uint16_t klass;
  size_t rdata;
  uint16_t rdlen;
};

// True when reply answers the query (id, response bit, no error, question
// name); the address, when found, lands in out.ip.
bool parse_reply(std::string_view m, std::string_view name, uint16_t id, TDNS_Response& out) {
  out.ip = 0;
  out.last_type = 0;
  out.has_ipv6 = false;
  out.name = std::string(name);
  if (m.size() < kHeaderLen || m.size() > TDNS_Response::kMaxReply) return false;
  out.raw = std::string(m);
  if (be16(m, 0) != id || !(uint8_t(m[2]) & 0x80)) return false;
  const uint16_t qdcount = be16(m, 4);
  const uint16_t ancount = be16(m, 6);
  if ((uint8_t(m[3]) & 0x0F) != 0 || qdcount == 0) return true;
  const std::string want = normal_name(name);
  size_t off = kHeaderLen;
  std::string owner;
  for (uint16_t q = 0; q < qdcount; ++q) {
    size_t next = 0;
    if (!read_name(m, off, owner, next) || next + 4 > m.size()) return false;
    if (q == 0 && owner != want) return false;
    off = next + 4;
  }
  std::vector<TAnswer> answers;
  for (uint16_t a = 0; a < ancount; ++a) {
    size_t next = 0;
    if (!read_name(m, off, owner, next) || next + 10 > m.size()) break;
    TAnswer rr{owner, be16(m, next), be16(m, next + 2), next + 10, be16(m, next + 8)};
    if (rr.rdata + rr.rdlen > m.size()) break;
    out.last_type = rr.type;
    if (rr.type == kDNS_Type_AAAA) out.has_ipv6 = true;
    off = rr.rdata + rr.rdlen;
    answers.push_back(std::move(rr));
  }
  std::string target = want;
  for (int hop = 0; hop <= kMaxCnameHops; ++hop) {
    const TAnswer* alias = nullptr;
    for (const TAnswer& rr : answers) {
      if (rr.owner != target || rr.klass != 1) continue;
      if (rr.type == kDNS_Type_A && rr.rdlen == 4) {
        std::memcpy(&out.ip, m.data() + rr.rdata, 4);
        return true;
      }
      if (rr.type == kDNS_Type_CNAME && !alias) alias = &rr;
    }
    size_t next = 0;
    if (!alias || !read_name(m, alias->rdata, target, next) || next > alias->rdata + alias->rdlen) break;
  }
  return true;
}

}  // namespace

std::string build_dns_query(std::string_view name, uint16_t id) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  if (name.empty() || name.size() + 2 > kMaxNameLen) return {};
  std::string q;
  q.reserve(kHeaderLen + name.size() + 6);
  put_be16(q, id);
  put_be16(q, 0x0100);  // recursion desired
  put_be16(q, 1);       // QDCOUNT
  put_be16(q, 0);
  put_be16(q, 0);
  put_be16(q, 0);
  while (!name.empty()) {
    const size_t dot = name.find('.');
    const std::string_view label = name.substr(0, dot);
    if (label.empty() || label.size() > kMaxLabelLen) return {};
    q += char(label.size());
    q.append(label);
    if (dot == std::string_view::npos) break;
    name.remove_prefix(dot + 1);
    if (name.empty()) return {};
  }
  q += '\0';
  put_be16(q, kDNS_Type_A);
  put_be16(q, 1);  // IN
  return q;
}

uint32_t parse_dns_reply(std::string_view reply, std::string_view name, uint16_t id, TDNS_Response& out) {
  parse_reply(reply, name, id, out);
  return out.ip;
}

namespace {

constexpr int32_t kDnsPollMsec = 16;
constexpr int32_t kDnsMaxPolls = 800;  // bounds the wait when the clock does not move
constexpr int32_t kDnsRecvBuf = 8192;

// A UDP socket connected to the first resolver that accepts; -1 when none.
int32_t open_resolver_socket(const TDNS_Settings& s) {
  const int32_t fd = sock_create_udp();
  if (fd < 0) return kNoSocket;
  sock_set_option(fd, kSockOptReuseAddr, 1);
  for (const std::string* host : {&s.fallback_primary, &s.fallback_secondary}) {
    const uint32_t ip = parse_ipv4(*host);
    if (ip == 0 || ip == kIPv4AllOnes || !valid_port(s.fallback_port)) continue;
    const sockaddr_in a = make_addr(ip, s.fallback_port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) return fd;
  }
  sock_close(fd);
  return kNoSocket;
}

}  // namespace

uint32_t dns_query_host(const std::string& name) {
  const TDNS_Settings s = dns_settings();
  if (!s.fallback_enabled) return 0;
  for (const std::string* host : {&s.fallback_primary, &s.fallback_secondary})
    if (ci_equal(name, *host)) return parse_ipv4(*host);
  const std::string query = build_dns_query(name);
  if (query.empty()) return 0;
  const int32_t fd = open_resolver_socket(s);
  if (fd < 0) return 0;
  uint32_t ip = 0;
  if (sock_send(fd, query.data(), int32_t(query.size())) == int32_t(query.size())) {
    std::vector<char> buf(kDnsRecvBuf);
    const int64_t start = tick_ms();
    for (int32_t i = 0; i < kDnsMaxPolls && tick_ms() - start < s.fallback_wait_msec; ++i) {
      bool readable = true, writable = false, failed = true;
      if (!sock_wait(fd, kDnsPollMsec, readable, writable, failed)) continue;
      if (!readable) break;
      const int32_t n = sock_recv(fd, buf.data(), kDnsRecvBuf, false, true);
      if (n < 0 && sock_would_block(sock_last_error())) continue;
      if (n < 0) break;  // refused by the resolver's host
      TDNS_Response reply;
      if (parse_reply(std::string_view(buf.data(), size_t(n)), name, kDNS_Query_Id, reply)) {
        ip = reply.ip;
        break;
      }
    }
  }
  sock_close(fd);
  return ip;
}

// ---------------------------------------------------------------- cache

TUX_DNS_Cacher::TUX_DNS_Cacher() : at_last_cache_clear_(tick_ms()) {
  const TDNS_Settings s = dns_settings();
  for (const std::string& seed : {s.fallback_primary, s.fallback_secondary, std::string("0.0.0.0"),
                                  std::string("255.255.255.255")})
    put(seed, parse_ipv4(seed));
}

uint32_t TUX_DNS_Cacher::Get(const std::string& NS) {
  const int64_t now = tick_ms();
  std::lock_guard<std::mutex> g(lock);
  const auto it = dns_cache_list.find(lower_ascii(NS));
  if (it == dns_cache_list.end()) return 0;
  const TDNS_Cache_item& item = it->second;
  const int64_t age = now - item.at_create;
  if (age > kMaxAgeMsec) return 0;
  if (item.ip_value == kIPv4AllOnes && age > kFailedMaxAgeMsec) return 0;
  return item.ip_value;
}

void TUX_DNS_Cacher::put(const std::string& NS, uint32_t Value) {
  if (NS.empty() || NS == "127.0.0.1" || ci_equal(NS, "localhost") || Value == 0) return;
  const int64_t now = tick_ms();
  std::string key = lower_ascii(NS);
  std::lock_guard<std::mutex> g(lock);
  const auto it = dns_cache_list.find(key);
  if (it != dns_cache_list.end()) {
    it->second.ip_value = Value;
    it->second.at_create = now;
    return;
  }
  make_room_locked(now);
  dns_cache_list.emplace(std::move(key), TDNS_Cache_item{NS, Value, now});
}

void TUX_DNS_Cacher::make_room_locked(int64_t now) {
  if (dns_cache_list.size() < kMaxItems) return;
  for (auto it = dns_cache_list.begin(); it != dns_cache_list.end();) {
    const int64_t age = now - it->second.at_create;
    const bool expired = age > kMaxAgeMsec || (it->second.ip_value == kIPv4AllOnes && age > kFailedMaxAgeMsec);
    it = expired ? dns_cache_list.erase(it) : std::next(it);
  }
  if (dns_cache_list.size() < kMaxItems) return;
  auto oldest = dns_cache_list.begin();
  for (auto it = dns_cache_list.begin(); it != dns_cache_list.end(); ++it)
    if (it->second.at_create < oldest->second.at_create) oldest = it;
  dns_cache_list.erase(oldest);
}

size_t TUX_DNS_Cacher::count() {
  std::lock_guard<std::mutex> g(lock);
  return dns_cache_list.size();
}

// ---------------------------------------------------------------- socket layer

namespace {

struct TSocketLayer {
  std::mutex mu;
  std::shared_ptr<TUX_DNS_Cacher> cacher;
  std::vector<std::function<void()>> stop_hooks;
  bool exit_hook_set = false;
};

// Never deleted: static destructors and exit handlers may still reach it.
TSocketLayer& layer() {
  static TSocketLayer* l = new TSocketLayer;
  return *l;
}

}  // namespace

std::shared_ptr<TUX_DNS_Cacher> dns_cacher() {
  TSocketLayer& l = layer();
  std::lock_guard<std::mutex> g(l.mu);
  return l.cacher;
}

void socket_layer_start() {
  TSocketLayer& l = layer();
  std::lock_guard<std::mutex> g(l.mu);
  if (!l.cacher) l.cacher = std::make_shared<TUX_DNS_Cacher>();
  if (!l.exit_hook_set) {
    l.exit_hook_set = true;
    std::atexit([] { socket_layer_stop(); });
  }
}

void socket_layer_stop() {
  TSocketLayer& l = layer();
  std::vector<std::function<void()>> hooks;
  std::shared_ptr<TUX_DNS_Cacher> cacher;
  {
    std::lock_guard<std::mutex> g(l.mu);
    hooks = l.stop_hooks;
    cacher.swap(l.cacher);
  }
  for (auto it = hooks.rbegin(); it != hooks.rend(); ++it) {
    try {
      (*it)();
    } catch (...) {
    }
  }
}

void socket_layer_at_stop(std::function<void()> hook) {
  if (!hook) return;
  TSocketLayer& l = layer();
  std::lock_guard<std::mutex> g(l.mu);
  l.stop_hooks.push_back(std::move(hook));
}

namespace {
[[maybe_unused]] const bool g_layer_started = (socket_layer_start(), true);
}  // namespace

}  // namespace ux
