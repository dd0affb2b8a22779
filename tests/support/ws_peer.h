// Test support: an independent RFC 6455 server — Debian's python3-websockets
// run by /usr/bin/python3 — started by the test on an ephemeral 127.0.0.1
// port and stopped by the destructor.
//
// Behaviour by request path:
//   /echo    every text or binary message is sent back unchanged; the text
//            "ping-please" makes the server send a ping with payload "srv"
//            and, once the matching pong came, the text "pong:srv";
//            "big-please" makes it send a 17 MiB binary message;
//            "close-please" makes it close with code 1000.
//   /pings   as /echo, and each ping received is reported back as the text
//            "ping:" followed by the ping's payload.
//   /close   the server closes with code 1000 right after the handshake.
// With a certificate and its key (PEM files) the server speaks TLS (wss).
// The server offers its default permessage-deflate, so a client that
// negotiated it would receive compressed frames.
#pragma once

#include <memory>
#include <string>

#include "support/child_process.h"

namespace qlyn_test {

class TWsPeer {
 public:
  static constexpr const char* kPython = "/usr/bin/python3";

  explicit TWsPeer(const std::string& cert_file = "", const std::string& key_file = "");
  ~TWsPeer() = default;
  TWsPeer(const TWsPeer&) = delete;
  TWsPeer& operator=(const TWsPeer&) = delete;

  static bool available();
  bool ok() const { return port_ > 0; }
  int port() const { return port_; }
  // "ws://127.0.0.1:<port>" (wss:// with TLS) followed by path.
  std::string url(const std::string& path) const;

 private:
  std::unique_ptr<TChildProcess> proc_;
  bool tls_ = false;
  int port_ = 0;
};

}  // namespace qlyn_test
