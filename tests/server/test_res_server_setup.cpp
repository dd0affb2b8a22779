#include <gtest/gtest.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "server/res_server.h"

using namespace qlyn_res;

TEST(ServerLogLines, ClientTextStaysOnOneLine) {
  TRes_Access_Entry e;
  e.peer = "127.0.0.1:40000";
  e.transport = "udp";
  e.request_line = std::string("GET /a\"b\\c\r\nX\x7F", 14);
  e.status = 206;
  e.body_bytes = 1000;
  e.duration_ms = 5;
  e.complete = false;
  // 2026-01-02T03:04:05Z
  EXPECT_EQ(access_log_line(e, 1767323045000),
            "2026-01-02T03:04:05Z 127.0.0.1:40000 udp \"GET /a\\x22b\\x5Cc\\x0D\\x0AX\\x7F\" 206 1000 5ms incomplete");
  // Event lines escape control bytes only; NUL is a control byte, not the end of the extra set.
  EXPECT_EQ(log_escaped(std::string("a\"b\\c\0d\te", 9)), "a\"b\\c\\x00d\\x09e");
  EXPECT_EQ(utc_stamp(0), "1970-01-01T00:00:00Z");
}

TEST(ServerSetup, AddressesPortsAndBindFailuresAreExplained) {
  std::string err;
  EXPECT_TRUE(check_listen_address("127.0.0.1", 0, err));
  EXPECT_TRUE(check_listen_address("127.0.0.1", 65535, err));
  EXPECT_FALSE(check_listen_address("localhost", 80, err));
  EXPECT_EQ(err, "bind address \"localhost\" is not a dotted IPv4 address");
  EXPECT_FALSE(check_listen_address("127.0.0.1", 65536, err));
  EXPECT_EQ(err, "port 65536 is out of range");
  EXPECT_FALSE(check_listen_address("127.0.0.1", -1, err));
  EXPECT_EQ(err, "port -1 is out of range");

  EXPECT_EQ(bind_error_text("UDP", "bind UDP", "127.0.0.1", 56020, EADDRINUSE), "port 56020 is busy (UDP on 127.0.0.1)");
  EXPECT_EQ(bind_error_text("TLS", "listen on TCP", "127.0.0.1", 443, EACCES),
            std::string("cannot listen on TCP 127.0.0.1:443: ") + std::strerror(EACCES));

  // A port held by one listener is reported busy for a second one.
  int code = 0;
  const int first = open_bound_socket(SOCK_STREAM, "127.0.0.1", 0, 0, code);
  ASSERT_GE(first, 0) << std::strerror(code);
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ASSERT_EQ(::getsockname(first, reinterpret_cast<sockaddr*>(&a), &len), 0);
  const int port = ntohs(a.sin_port);
  EXPECT_LT(open_bound_socket(SOCK_STREAM, "127.0.0.1", uint16_t(port), 0, code), 0);
  EXPECT_EQ(bind_error_text("TCP", "listen on TCP", "127.0.0.1", port, code),
            "port " + std::to_string(port) + " is busy (TCP on 127.0.0.1)");
  ::close(first);

  const int loop = open_event_loop(err);
  ASSERT_GE(loop, 0) << err;
  ::close(loop);
}
