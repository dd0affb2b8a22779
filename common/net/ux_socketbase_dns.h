// ux_socketbase_dns: IPv4 socket primitives over BSD sockets, host-name
// resolution with its process-wide cache (dns_cacher) and a fallback DNS query
// over UDP, and the start and stop of the socket layer.
//
// Addresses are IPv4 values in network byte order: the first octet of the
// dotted form is the lowest byte in memory. All ones is the limited broadcast
// address and, in the cache, a failed lookup.
//
// Handles are file descriptors (signed 32-bit); a negative handle means none.
// Results are 0 for success and -1 for failure, or byte counts; the error code
// is sock_last_error(). Nothing here throws. Every function may be called from
// any thread.
//
// Linux: sockets are created close-on-exec and never with handle 0 (0 stands
// for "no socket" in the socket classes); sends never raise SIGPIPE; the
// readiness wait is poll(), so handles above FD_SETSIZE work.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace ux {

inline constexpr int32_t kNoSocket = -1;
inline constexpr uint32_t kIPv4AllOnes = 0xFFFFFFFFu;

// ---------------------------------------------------------------- option codes

inline constexpr int32_t kSockOptNonBlocking = 1;  // value != 0: non-blocking mode on
inline constexpr int32_t kSockOptRecvBuf = 2;      // bytes
inline constexpr int32_t kSockOptSendBuf = 3;      // bytes
inline constexpr int32_t kSockOptReuseAddr = 5;
inline constexpr int32_t kSockOptBroadcast = 6;
inline constexpr int32_t kSockOptRecvTimeout = 7;   // ms
inline constexpr int32_t kSockOptSendTimeout = 8;   // ms
inline constexpr int32_t kSockOptSendTimeout2 = 9;  // ms, same as 8
inline constexpr int32_t kSockOptMulticastTTL = 11; // 0..255
inline constexpr int32_t kSockOptNoDelay = 21;      // TCP no-delay

// ---------------------------------------------------------------- primitives

// A new IPv4 stream / datagram socket, blocking; -1 on failure.
[[nodiscard]] int32_t sock_create_tcp();
[[nodiscard]] int32_t sock_create_udp();
// Applies one option code (table above). The platform's result (0 / -1);
// codes not in the table do nothing and give 0. Buffer sizes are asked with
// the privileged form first, so a process allowed to may exceed the system's
// ceiling. A refused 4-byte reuse value is retried as one byte.
int32_t sock_set_option(int32_t sock, int32_t code, int32_t value);
int32_t sock_set_nonblocking(int32_t sock, bool on);
// Binds to the dotted address (anything else, "" included: all interfaces)
// and port (0: the platform picks). 0 or -1.
int32_t sock_bind(int32_t sock, std::string_view ip_text, int32_t port);
// Resolves host with resolve_host and connects. -1 without trying when port
// is outside 1..65535, when host resolves to 0 (Linux would reach the local
// host through 0.0.0.0), or to all ones while host is not the text
// "255.255.255.255". Otherwise connect()'s result; a non-blocking socket
// gives -1 with EINPROGRESS while the connection is under way.
int32_t sock_connect(int32_t sock, const std::string& host, int32_t port);
// Waits for one socket. ms < 0: no limit; ms = 0: 100 microseconds; else ms
// milliseconds. False when the wait timed out. Otherwise true, and each flag
// asked for (true on entry) is set from the poll; want_error is also set when
// the wait itself failed, for an invalid handle and on hang-up. Interrupted
// waits resume with the time left.
bool sock_wait(int32_t sock, int32_t ms, bool& want_read, bool& want_write, bool& want_error);
// recv(). size 0 gives 0 without a call; a null buffer with size > 0 gives -1
// (EINVAL). peek leaves the bytes queued; dont_wait never blocks, whatever
// the socket's mode.
[[nodiscard]] int32_t sock_recv(int32_t sock, void* buf, int32_t size, bool peek = false,
                                bool dont_wait = false);
// send(); 0 without a call when len <= 0 or data is null.
int32_t sock_send(int32_t sock, const void* data, int32_t len);
// One datagram into buf (a longer one is cut to size). The sender comes back
// as dotted text and port, or as an address value and port; empty / 0 when
// nothing was received. dont_wait as for sock_recv.
[[nodiscard]] int32_t sock_recv_from(int32_t sock, void* buf, int32_t size, std::string& from_ip,
                                     int32_t& from_port, bool dont_wait = false);
[[nodiscard]] int32_t sock_recv_from(int32_t sock, void* buf, int32_t size, uint32_t& from_ip,
                                     uint32_t& from_port, bool dont_wait = false);
// On: the kernel may hand a run of datagrams of one sender and one size as
// one read (UDP GRO); every read of the socket must then go through
// sock_recv_coalesced, or it may get several datagrams glued together.
// False where the platform cannot.
bool sock_set_coalescing(int32_t sock, bool on);
// One datagram, or a run that the kernel coalesced: size >= 65535 takes any.
// segment: the length of each datagram of the run (the last may be shorter);
// the result itself for a single datagram. As sock_recv_from otherwise.
[[nodiscard]] int32_t sock_recv_coalesced(int32_t sock, void* buf, int32_t size, int32_t& segment, uint32_t& from_ip,
                                          uint32_t& from_port, bool dont_wait = false);
// One datagram. -1 (EINVAL) when the address text is not a dotted address or
// the port is outside 1..65535; 0 without a call when len <= 0 or data is null.
int32_t sock_send_to(int32_t sock, const std::string& address, int32_t port, const void* data,
                     int32_t len);
int32_t sock_send_to(int32_t sock, uint32_t address, int32_t port, const void* data, int32_t len);
// Shuts both directions down, then closes. 0, or -1 for a negative handle.
int32_t sock_close(int32_t sock);
// Dotted address / port of the local or peer end; empty / 0 when sock <= 0 or
// the platform call fails.
std::string sock_local_ip(int32_t sock);
std::string sock_remote_ip(int32_t sock);
int32_t sock_local_port(int32_t sock);
int32_t sock_remote_port(int32_t sock);
// The calling thread's last error (errno).
int32_t sock_last_error();
// True for EAGAIN / EWOULDBLOCK.
bool sock_would_block(int32_t code);
// Pending error of the socket (SO_ERROR), cleared by the read; 0 when none.
int32_t sock_pending_error(int32_t sock);

// ---------------------------------------------------------------- addresses

// Four dotted decimal parts 0..255, first part in the lowest byte; text after
// a fourth "." is ignored. 0 for anything else (and for "0.0.0.0").
uint32_t parse_ipv4(std::string_view text);
// Dotted form of an address value.
std::string ipv4_text(uint32_t ip);
// First octet of a dotted address is 240 or above (class E and broadcast).
bool is_ipv4_class_e_or_broadcast(std::string_view text);

// Resolves a host name or dotted address. "0.0.0.0" and "" give 0,
// "255.255.255.255" all ones; other dotted addresses are read directly. Names
// go through dns_cacher (a failure is remembered for a minute), then the
// platform resolver, then dns_query_host. 0 when the name resolves nowhere.
// Blocks while it looks up (up to the fallback's wait).
uint32_t resolve_host(const std::string& name);

// ---------------------------------------------------------------- settings

// Name resolution settings, process-wide. Tests and embedders replace them at
// start; a snapshot is taken by each lookup.
struct TDNS_Settings {
  // The platform lookup; empty = getaddrinfo (first IPv4 address, 0 none).
  std::function<uint32_t(const std::string& name)> platform_lookup;
  // Fallback query: off, or the two resolvers (dotted addresses, asked in
  // that order of preference) and their UDP port.
  bool fallback_enabled = true;
  std::string fallback_primary = "223.5.5.5";
  std::string fallback_secondary = "8.8.8.8";
  int32_t fallback_port = 53;
  // The fallback waits at most this long (tick_ms) for its one reply.
  int64_t fallback_wait_msec = 12800;
};
TDNS_Settings dns_settings();
void set_dns_settings(TDNS_Settings s);
// getaddrinfo for IPv4: the first address, 0 when there is none.
uint32_t platform_lookup_ipv4(const std::string& name);

// ---------------------------------------------------------------- DNS fallback query

// One reply while it is parsed.
struct TDNS_Response {
  static constexpr size_t kMaxReply = 8191;  // longer replies are ignored
  std::string raw;           // the reply
  uint32_t ip = 0;           // the address found, network order; 0 none
  uint16_t last_type = 0;    // TYPE of the last answer record examined
  std::string name;          // the queried name
  bool has_ipv6 = false;     // an AAAA answer was seen
};

inline constexpr uint16_t kDNS_Query_Id = 1;
inline constexpr uint16_t kDNS_Type_A = 1;
inline constexpr uint16_t kDNS_Type_CNAME = 5;
inline constexpr uint16_t kDNS_Type_AAAA = 28;

// A standard recursive A/IN query for name (RFC 1035). Empty when name cannot
// be encoded: empty, an empty label, a label over 63 bytes, over 255 bytes in
// all. One trailing "." is allowed.
std::string build_dns_query(std::string_view name, uint16_t id = kDNS_Query_Id);
// The address of name in a reply to the query with that id: the reply must
// be a response with that id, no error, and name as its first question; a
// CNAME chain starting at name is followed to its A record. Every offset is
// checked against the reply's length and compression pointers are followed
// a bounded number of times. 0 for anything else; never reads outside reply.
uint32_t parse_dns_reply(std::string_view reply, std::string_view name, uint16_t id,
                         TDNS_Response& out);
// Asks the fallback resolvers once for name's A record and waits for the
// reply (see TDNS_Settings). A name equal to a resolver's address gives that
// address at once. 0 when off, unanswered, refused or without an address.
uint32_t dns_query_host(const std::string& name);

// ---------------------------------------------------------------- cache

struct TDNS_Cache_item {
  std::string NS;         // the host name as first stored
  uint32_t ip_value = 0;  // network order; all ones = the lookup failed
  int64_t at_create = 0;  // tick_ms when stored
};

// Host name -> address, names compared ignoring ASCII case. Thread-safe.
class TUX_DNS_Cacher {
 public:
  static constexpr int64_t kMaxAgeMsec = 1800000;       // a found address
  static constexpr int64_t kFailedMaxAgeMsec = 60000;   // a remembered failure
  // Bound of the list: when full, expired entries are dropped, then the oldest.
  static constexpr size_t kMaxItems = 16384;

  // Seeded with the resolvers of dns_settings() and "255.255.255.255".
  TUX_DNS_Cacher();
  TUX_DNS_Cacher(const TUX_DNS_Cacher&) = delete;
  TUX_DNS_Cacher& operator=(const TUX_DNS_Cacher&) = delete;

  // 0 when NS is unknown or its entry expired; else the stored value.
  uint32_t Get(const std::string& NS);
  // Stores (NS, Value), now. Ignored for an empty NS, "127.0.0.1", "localhost"
  // and Value 0.
  void put(const std::string& NS, uint32_t Value);
  size_t count();
  int64_t at_last_cache_clear() const { return at_last_cache_clear_; }

 private:
  void make_room_locked(int64_t now);

  std::mutex lock;
  std::map<std::string, TDNS_Cache_item> dns_cache_list;  // key: lower-case name
  const int64_t at_last_cache_clear_;
};

// ---------------------------------------------------------------- socket layer

// The process-wide cacher; null before the layer starts and after it stops.
std::shared_ptr<TUX_DNS_Cacher> dns_cacher();
// Starts the layer (creates dns_cacher); idempotent. The layer starts by
// itself when the library is loaded and stops at process exit.
void socket_layer_start();
// Runs the stop hooks (latest first), then drops dns_cacher.
void socket_layer_stop();
// Runs hook at every stop of the layer (the I/O hub ends its threads this
// way). Hooks must be safe to run more than once.
void socket_layer_at_stop(std::function<void()> hook);

}  // namespace ux
