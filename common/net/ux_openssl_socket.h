// ux_openssl_socket: the TLS layer of the TCP socket classes, on OpenSSL 3
// (linked).
//   TSSLType          protocol versions a handler may be asked for
//   TSSL_Options      what a handler trusts, and the switch that turns checks off
//   TUX_SSL_Handler   one TLS client session over a non-blocking socket (ISocket_SSL)
//   CreateSSLHandler  the factory the HTTP client engine calls for https and wss
//
// Secure by default. The server's certificate chain is verified against the
// system trust store (OpenSSL's default paths: Debian's ca-certificates, or
// SSL_CERT_FILE / SSL_CERT_DIR when set) and the extra authorities of the
// options, and must be issued for the host name or address given with
// Set_Server_Name; a name (not an address) is sent as SNI. TLS 1.2 is the
// minimum, 1.3 is preferred; OpenSSL's default ciphers. A failed check fails
// the handshake with its reason in Last_Failure.
//
// The handler never owns the socket: it reads and writes it while bound and
// never closes it, and it never writes to it after Reset_Session or in its
// destructor (the TCP socket may have closed it and the number may be reused).
//
// Nothing here throws to its caller.
#pragma once

#include <openssl/types.h>

typedef struct ssl_method_st SSL_METHOD;  // as <openssl/ssl.h> declares it

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "common/net/ux_cli_socket.h"

namespace ux {

// In this order. Only stAny (1.2 or 1.3, the best both sides speak),
// stTLSv1_2 and stTLSv1_3 (that version only) make a handler; the older
// types are refused (ErrorCode -2).
enum class TSSLType : int32_t { stAny, stSSLv2, stSSLv3, stTLSv1, stTLSv1_1, stTLSv1_2, stTLSv1_3 };

struct TSSL_Options {
  // Extra trusted certificate authorities besides the system store: a PEM
  // file (one or more certificates) and a folder in OpenSSL's hashed form
  // (openssl rehash). Empty: none. One that cannot be read fails every
  // handshake of the handler with reason trust_store.
  std::string ca_file;
  std::string ca_path;
  // No certificate or name check at all. Never the default; every handshake
  // that runs with it says so on stderr.
  bool insecure = false;
};

// The options of handlers made without explicit ones (the engine's factory).
// Thread-safe; each creation takes a copy. Switching insecure on says so on
// stderr.
TSSL_Options ssl_default_options();
void set_ssl_default_options(const TSSL_Options& options);

// Creation failures (ErrorCode).
inline constexpr int32_t kSSL_No_Library = -1;  // kept for the interface; OpenSSL is linked
inline constexpr int32_t kSSL_No_Context = -2;  // no context, or a refused TSSLType
inline constexpr int32_t kSSL_No_Session = -3;
// Handshake failures (Connect_Step).
inline constexpr int32_t kSSL_Handshake_Failed = -2;   // the connection failed (closed, reset)
inline constexpr int32_t kSSL_Handshake_Refused = -3;  // TLS said no: protocol, certificate, no socket

// One TLS client session. Created by CreateSSLHandler; held by std::shared_ptr.
//
// Lifecycle: created -> handshaking (a socket bound by Connect_Step) ->
// connected; Reset_Session returns it to created with a fresh session, so
// one handler serves every reconnection of its TCP socket, each with a full
// handshake (no session resumption).
//
// Thread-safety: every operation takes the handler's lock, so a writer on
// another thread never interleaves with a read inside OpenSSL.
class TUX_SSL_Handler : public ISocket_SSL {
 public:
  TUX_SSL_Handler(TSSLType ssltype, const TSSL_Options& options);
  ~TUX_SSL_Handler() override;
  TUX_SSL_Handler(const TUX_SSL_Handler&) = delete;
  TUX_SSL_Handler& operator=(const TUX_SSL_Handler&) = delete;

  // 0, or the creation failure (kSSL_No_Context, kSSL_No_Session).
  int32_t ErrorCode();
  TSSLType sslType() const { return ssl.sslType; }
  bool Connected();
  // The negotiated version (TLS1_2_VERSION, TLS1_3_VERSION); 0 before the
  // handshake completed.
  int32_t Protocol_Version();
  // The server's certificate matched the trust store and the name. False
  // before the handshake and always with insecure.
  bool Verified();

  // ISocket_SSL
  // Before the handshake: kSSL_Not_Connected, the socket untouched.
  int32_t Read_Data(void* buf, int32_t len) override;
  int32_t Write_Data(const void* buf, int32_t len) override;
  // Binds sock on the first call after creation or Reset_Session, then
  // steps the handshake: 1 done; -1 again later (the socket is not ready);
  // kSSL_Handshake_Refused or kSSL_Handshake_Failed with Last_Failure set.
  // A failed handshake keeps its result until Reset_Session.
  int32_t Connect_Step(int32_t sock) override;
  void Reset_Session() override;
  // SSL_get_error's class for the result ret of the calling thread's last
  // Read_Data or Write_Data on this handler (taken inside that call).
  int32_t Last_Error(int32_t ret) override;
  void Set_Server_Name(const std::string& host) override;
  TSSL_Failure Last_Failure() override;
  int32_t Pending() override;

 private:
  // Fresh session object configured from ctx; false when none could be made.
  bool new_session_locked();
  // Binds sock and applies the name check, SNI and the verification mode.
  bool bind_locked(int32_t sock);
  int32_t fail_locked(int32_t result, TSSL_Failure failure);

  struct {
    SSL_CTX* ctx = nullptr;           // shared between handlers with the same trust (reference held)
    SSL* ssl = nullptr;
    const SSL_METHOD* method = nullptr;
    TSSLType sslType = TSSLType::stAny;
    int32_t ssl_Socket_Handle = kNoSocket;
    bool connected = false;
    int32_t ErrorCode = 0;
  } ssl;
  std::mutex lock;

  TSSL_Options options_;
  std::string trust_error_;   // why the extra authorities could not be read; empty when they could
  std::string server_name_;    // as set; empty: the peer's address is checked
  std::string checked_host_;   // what the bound session checks and reports
  bool session_used_ = false; // ssl.ssl has been bound to a socket
  int32_t fail_result_ = 0;   // the result a failed handshake keeps; 0 when none failed
  TSSL_Failure failure_;
};

// A BIO over sock for SSL_set_bio: it reads and writes through the socket
// primitives, so it never raises SIGPIPE and never blocks, whatever the
// socket's mode. It does not own sock. Null when OpenSSL cannot make one.
BIO* ssl_socket_bio(int32_t sock);

// A new handler (type stAny for the engine) with the given or the default
// options; none when its ErrorCode is not 0.
std::shared_ptr<ISocket_SSL> CreateSSLHandler(TSSLType ssltype);
std::shared_ptr<ISocket_SSL> CreateSSLHandler(TSSLType ssltype, const TSSL_Options& options);

// Factories for the HTTP client engine: handlers of type stAny with the
// process's default options at the time of each connection, or with the
// given options (one engine's settings: use_ssl_handler_factory).
TUX_SSL_Handler_Factory make_ssl_handler_factory();
TUX_SSL_Handler_Factory make_ssl_handler_factory(const TSSL_Options& options);
// Registers make_ssl_handler_factory() as the engine's process-wide factory.
// Runs once at process start (every program linked with the library
// carries this unit); call it again to restore that registration.
void register_ssl_handler_factory();

}  // namespace ux
