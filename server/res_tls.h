// res_tls: TLS for the resource server's TCP connections. The context holds
// the server's certificate chain and key; a session runs over one accepted
// non-blocking connection and reads and writes like the socket it wraps
// (results as recv and send give them, errno EAGAIN while it must wait).
//
// Not thread-safe: driven by the server's event loop.
#pragma once

#include <openssl/types.h>

#include <cstdint>
#include <string>

namespace qlyn_res {

class TRes_Tls_Context {
 public:
  TRes_Tls_Context() = default;
  ~TRes_Tls_Context();
  TRes_Tls_Context(const TRes_Tls_Context&) = delete;
  TRes_Tls_Context& operator=(const TRes_Tls_Context&) = delete;

  // Loads the certificate chain (PEM, the server's certificate first) and
  // its private key; false with error set ("cannot use the TLS certificate
  // FILE: reason", ...). TLS 1.2 and 1.3.
  bool load(const std::string& cert_file, const std::string& key_file, std::string& error);
  SSL_CTX* ctx() const { return ctx_; }

 private:
  SSL_CTX* ctx_ = nullptr;
};

class TRes_Tls_Session {
 public:
  // Serves the connection fd (not owned) with ctx.
  TRes_Tls_Session(SSL_CTX* ctx, int fd);
  ~TRes_Tls_Session();
  TRes_Tls_Session(const TRes_Tls_Session&) = delete;
  TRes_Tls_Session& operator=(const TRes_Tls_Session&) = delete;

  bool ok() const { return ssl_ != nullptr; }
  bool handshaken() const { return handshaken_; }
  // One handshake step: 1 done, 0 again later (wants_write() tells which
  // readiness to wait for), -1 failed.
  int handshake();
  // As recv / send: > 0 bytes; recv 0 when the peer ended the stream; -1
  // with errno EAGAIN when it must wait, another errno when it failed.
  int64_t recv(char* buf, size_t len);
  int64_t send(const char* data, size_t len);
  // The last call that had to wait waits for the socket to become writable.
  bool wants_write() const { return wants_write_; }
  // Sends close_notify once, without waiting for the peer's.
  void shutdown();

 private:
  // Maps an OpenSSL result that is not a success to -1 and errno.
  int64_t fail(int r);

  SSL* ssl_ = nullptr;
  bool handshaken_ = false;
  bool wants_write_ = false;
};

}  // namespace qlyn_res
