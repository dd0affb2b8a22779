#include "common/net/ux_openssl_socket.h"

#include "common/net/ux_http_cli_v3.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>

namespace ux {

namespace {

// ---------------------------------------------------------------- socket BIO

// OpenSSL's own socket BIO writes with write(), which raises SIGPIPE when the
// peer has gone; this one goes through the primitives (no signal) and never
// blocks, whatever the socket's mode. The BIO does not own the socket.

bool retry_later(int32_t code) {
  return sock_would_block(code) || code == EINTR || code == EINPROGRESS || code == EALREADY ||
         code == ENOTCONN;
}

int32_t bio_socket(BIO* b) { return int32_t(reinterpret_cast<intptr_t>(BIO_get_data(b))); }

int bio_write(BIO* b, const char* data, int len) {
  BIO_clear_retry_flags(b);
  errno = 0;
  const int32_t n = sock_send(bio_socket(b), data, len);
  if (n < 0 && retry_later(sock_last_error())) BIO_set_retry_write(b);
  return n;
}

int bio_read(BIO* b, char* out, int len) {
  BIO_clear_retry_flags(b);
  if (!out || len <= 0) return 0;
  errno = 0;
  const int32_t n = sock_recv(bio_socket(b), out, len, false, true);
  if (n < 0 && retry_later(sock_last_error())) BIO_set_retry_read(b);
  if (n == 0) BIO_set_flags(b, BIO_FLAGS_IN_EOF);
  return n;
}

long bio_ctrl(BIO* b, int cmd, long, void*) {
  switch (cmd) {
    case BIO_CTRL_FLUSH:
      return 1;
    case BIO_CTRL_EOF:
      return BIO_test_flags(b, BIO_FLAGS_IN_EOF) != 0;
    default:
      return 0;
  }
}

// Created once, kept for the process (OpenSSL holds no other reference).
const BIO_METHOD* socket_bio_method() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "ux socket");
    if (m) {
      BIO_meth_set_write(m, bio_write);
      BIO_meth_set_read(m, bio_read);
      BIO_meth_set_ctrl(m, bio_ctrl);
    }
    return m;
  }();
  return method;
}

// ---------------------------------------------------------------- contexts

// Contexts are shared by the handlers that trust the same authorities:
// loading the system store parses Debian's whole bundle, far more work than
// a handshake. A context is read-only once made, so sharing is thread-safe.
class TSSL_Context_Cache {
 public:
  static constexpr size_t kMaxContexts = 8;  // distinct trust settings kept; the oldest goes first

  static TSSL_Context_Cache& instance() {
    static TSSL_Context_Cache cache;
    return cache;
  }

  // A context holding one reference for the caller; null when none can be
  // made. trust_error says why the extra authorities could not be read.
  SSL_CTX* acquire(const TSSL_Options& o, std::string& trust_error) {
    const std::string key = key_of(o);
    std::lock_guard<std::mutex> g(mu_);
    for (const TEntry& e : entries_) {
      if (e.key == key) {
        SSL_CTX_up_ref(e.ctx);
        trust_error = e.trust_error;
        return e.ctx;
      }
    }
    TEntry e{key, make_context(o, trust_error), trust_error};
    if (!e.ctx) return nullptr;
    if (entries_.size() >= kMaxContexts) {
      SSL_CTX_free(entries_.front().ctx);
      entries_.pop_front();
    }
    SSL_CTX_up_ref(e.ctx);
    entries_.push_back(std::move(e));
    return entries_.back().ctx;
  }

 private:
  struct TEntry {
    std::string key;
    SSL_CTX* ctx;
    std::string trust_error;
  };

  // OpenSSL is initialised first, so its clean-up at exit runs after this
  // cache has freed its contexts.
  TSSL_Context_Cache() { OPENSSL_init_ssl(0, nullptr); }
  ~TSSL_Context_Cache() {
    for (TEntry& e : entries_) SSL_CTX_free(e.ctx);
  }

  // Paths with their modification time and size, so an edited file is read again.
  static std::string key_of(const TSSL_Options& o) {
    std::string key;
    for (const std::string* p : {&o.ca_file, &o.ca_path}) {
      struct stat st {};
      key += *p;
      if (!p->empty() && ::stat(p->c_str(), &st) == 0)
        key += '\n' + std::to_string(st.st_mtim.tv_sec) + '.' + std::to_string(st.st_mtim.tv_nsec) +
               '.' + std::to_string(st.st_size);
      key += '\0';
    }
    return key;
  }

  static SSL_CTX* make_context(const TSSL_Options& o, std::string& trust_error) {
    trust_error.clear();
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) return nullptr;
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // Partial writes and a moving buffer: the TCP socket retries a refused
    // write with the same bytes peeked again from its stream.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_default_verify_paths(ctx);
    if (!o.ca_file.empty() && SSL_CTX_load_verify_file(ctx, o.ca_file.c_str()) != 1)
      trust_error = "cannot read the certificate authorities in " + o.ca_file;
    if (!o.ca_path.empty() && trust_error.empty()) {
      struct stat st {};
      if (::stat(o.ca_path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
          SSL_CTX_load_verify_dir(ctx, o.ca_path.c_str()) != 1)
        trust_error = "cannot read the certificate authorities in " + o.ca_path;
    }
    ERR_clear_error();
    return ctx;
  }

  std::mutex mu_;
  std::deque<TEntry> entries_;
};

// ---------------------------------------------------------------- defaults

std::mutex g_defaults_lock;
TSSL_Options g_defaults;

void warn_insecure(const std::string& what) {
  std::fprintf(stderr, "TLS: certificate verification is OFF %s; the connection is not secure\n",
               what.c_str());
}

// ---------------------------------------------------------------- failures

bool is_ip_literal(const std::string& host) {
  unsigned char buf[16];
  return ::inet_pton(AF_INET, host.c_str(), buf) == 1 || ::inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

TSSL_Fail_Reason reason_of_verify_code(long code) {
  switch (code) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CRL_HAS_EXPIRED:
      return TSSL_Fail_Reason::cert_expired;
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CRL_NOT_YET_VALID:
      return TSSL_Fail_Reason::cert_not_yet_valid;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      return TSSL_Fail_Reason::unknown_issuer;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
      return TSSL_Fail_Reason::self_signed;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
    case X509_V_ERR_EMAIL_MISMATCH:
      return TSSL_Fail_Reason::name_mismatch;
    default:
      return TSSL_Fail_Reason::cert_invalid;
  }
}

// The reason of a handshake that failed with class err_class and socket error code.
TSSL_Failure describe_failure(SSL* s, bool verifying, int err_class, int32_t code,
                              const std::string& host) {
  TSSL_Failure f;
  const long verify = verifying ? SSL_get_verify_result(s) : X509_V_OK;
  if (verify != X509_V_OK) {
    f.reason = reason_of_verify_code(verify);
    f.verify_code = int32_t(verify);
    f.text = std::string(X509_verify_cert_error_string(verify)) + " (" + host + ")";
    return f;
  }
  const unsigned long err = ERR_peek_error();
  const char* detail = err ? ERR_reason_error_string(err) : nullptr;
  const bool eof = err && ERR_GET_LIB(err) == ERR_LIB_SSL &&
                   ERR_GET_REASON(err) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
  if (eof || err_class == SSL_ERROR_SYSCALL || err_class == SSL_ERROR_ZERO_RETURN) {
    f.reason = TSSL_Fail_Reason::closed;
    f.text = "connection closed during the TLS handshake";
    if (code != 0) f.text += std::string(": ") + std::strerror(code);
    return f;
  }
  f.reason = TSSL_Fail_Reason::handshake;
  f.text = std::string("TLS handshake failed: ") + (detail ? detail : "protocol error");
  return f;
}

// Version bounds of a type; false for the refused ones.
bool version_bounds(TSSLType t, int& min_version, int& max_version) {
  switch (t) {
    case TSSLType::stAny:
      min_version = TLS1_2_VERSION;
      max_version = 0;  // the best OpenSSL knows (1.3)
      return true;
    case TSSLType::stTLSv1_2:
      min_version = max_version = TLS1_2_VERSION;
      return true;
    case TSSLType::stTLSv1_3:
      min_version = max_version = TLS1_3_VERSION;
      return true;
    default:
      return false;
  }
}

}  // namespace

// ---------------------------------------------------------------- socket BIO

BIO* ssl_socket_bio(int32_t sock) {
  const BIO_METHOD* m = socket_bio_method();
  BIO* b = m ? BIO_new(m) : nullptr;
  if (!b) return nullptr;
  BIO_set_data(b, reinterpret_cast<void*>(intptr_t(sock)));
  BIO_set_init(b, 1);
  return b;
}

// ---------------------------------------------------------------- defaults

TSSL_Options ssl_default_options() {
  std::lock_guard<std::mutex> g(g_defaults_lock);
  return g_defaults;
}

void set_ssl_default_options(const TSSL_Options& options) {
  bool newly_insecure;
  {
    std::lock_guard<std::mutex> g(g_defaults_lock);
    newly_insecure = options.insecure && !g_defaults.insecure;
    g_defaults = options;
  }
  if (newly_insecure) warn_insecure("for every connection of this process");
}

// ---------------------------------------------------------------- TUX_SSL_Handler

TUX_SSL_Handler::TUX_SSL_Handler(TSSLType ssltype, const TSSL_Options& options) : options_(options) {
  ssl.sslType = ssltype;
  int min_version = 0, max_version = 0;
  if (!version_bounds(ssltype, min_version, max_version)) {
    ssl.ErrorCode = kSSL_No_Context;
    return;
  }
  ssl.method = TLS_client_method();
  ssl.ctx = TSSL_Context_Cache::instance().acquire(options_, trust_error_);
  if (!ssl.ctx) {
    ssl.ErrorCode = kSSL_No_Context;
    return;
  }
  std::lock_guard<std::mutex> g(lock);
  if (!new_session_locked()) ssl.ErrorCode = kSSL_No_Session;
}

TUX_SSL_Handler::~TUX_SSL_Handler() {
  if (ssl.ssl) SSL_free(ssl.ssl);
  if (ssl.ctx) SSL_CTX_free(ssl.ctx);
}

bool TUX_SSL_Handler::new_session_locked() {
  if (ssl.ssl) SSL_free(ssl.ssl);
  ssl.ssl = SSL_new(ssl.ctx);
  session_used_ = false;
  if (!ssl.ssl) return false;
  int min_version = 0, max_version = 0;
  version_bounds(ssl.sslType, min_version, max_version);
  SSL_set_min_proto_version(ssl.ssl, min_version);
  SSL_set_max_proto_version(ssl.ssl, max_version);
  return true;
}

int32_t TUX_SSL_Handler::ErrorCode() {
  std::lock_guard<std::mutex> g(lock);
  return ssl.ErrorCode;
}

bool TUX_SSL_Handler::Connected() {
  std::lock_guard<std::mutex> g(lock);
  return ssl.connected;
}

int32_t TUX_SSL_Handler::Protocol_Version() {
  std::lock_guard<std::mutex> g(lock);
  return ssl.connected ? SSL_version(ssl.ssl) : 0;
}

bool TUX_SSL_Handler::Verified() {
  std::lock_guard<std::mutex> g(lock);
  return ssl.connected && !options_.insecure && SSL_get_verify_result(ssl.ssl) == X509_V_OK;
}

void TUX_SSL_Handler::Set_Server_Name(const std::string& host) {
  std::lock_guard<std::mutex> g(lock);
  server_name_ = host;
  if (!server_name_.empty() && server_name_.back() == '.') server_name_.pop_back();
}

TSSL_Failure TUX_SSL_Handler::Last_Failure() {
  std::lock_guard<std::mutex> g(lock);
  return failure_;
}

int32_t TUX_SSL_Handler::fail_locked(int32_t result, TSSL_Failure failure) {
  fail_result_ = result;
  failure_ = std::move(failure);
  ERR_clear_error();
  return result;
}

bool TUX_SSL_Handler::bind_locked(int32_t sock) {
  BIO* bio = ssl_socket_bio(sock);
  if (!bio) return false;
  SSL_set_bio(ssl.ssl, bio, bio);
  ssl.ssl_Socket_Handle = sock;
  session_used_ = true;
  return true;
}

int32_t TUX_SSL_Handler::Connect_Step(int32_t sock) {
  std::lock_guard<std::mutex> g(lock);
  if (ssl.connected) return kSSL_Handshake_Done;
  if (fail_result_ != 0) return fail_result_;
  if (!ssl.ssl)
    return fail_locked(kSSL_Handshake_Refused,
                       {TSSL_Fail_Reason::handshake, 0, "no TLS session object"});
  if (ssl.ssl_Socket_Handle == kNoSocket) {
    if (sock < 0 || !bind_locked(sock))
      return fail_locked(kSSL_Handshake_Refused,
                         {TSSL_Fail_Reason::no_socket, 0, "no socket for the TLS session"});
    // The name to check: the one given, else the peer's address.
    const std::string host = server_name_.empty() ? sock_remote_ip(sock) : server_name_;
    const bool ip = is_ip_literal(host);
    if (!ip && !host.empty() && SSL_set_tlsext_host_name(ssl.ssl, host.c_str()) != 1)
      return fail_locked(kSSL_Handshake_Refused,
                         {TSSL_Fail_Reason::handshake, 0, "unusable server name: " + host});
    if (options_.insecure) {
      SSL_set_verify(ssl.ssl, SSL_VERIFY_NONE, nullptr);
      warn_insecure("for " + (host.empty() ? std::string("an unknown host") : host));
    } else {
      if (!trust_error_.empty())
        return fail_locked(kSSL_Handshake_Refused, {TSSL_Fail_Reason::trust_store, 0, trust_error_});
      X509_VERIFY_PARAM* param = SSL_get0_param(ssl.ssl);
      X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      // An empty name cannot match any certificate: the check fails closed.
      const int set = ip ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str())
                         : X509_VERIFY_PARAM_set1_host(param, host.empty() ? "." : host.c_str(), 0);
      if (set != 1)
        return fail_locked(kSSL_Handshake_Refused,
                           {TSSL_Fail_Reason::name_mismatch, 0, "unusable server name: " + host});
    }
    checked_host_ = host;
  }
  ERR_clear_error();
  errno = 0;
  const int r = SSL_connect(ssl.ssl);
  if (r == 1) {
    ssl.connected = true;
    return kSSL_Handshake_Done;
  }
  const int32_t code = sock_last_error();
  const int c = SSL_get_error(ssl.ssl, r);
  if (c == SSL_ERROR_WANT_READ || c == SSL_ERROR_WANT_WRITE) return kSSL_Handshake_Pending;
  if (c == SSL_ERROR_SYSCALL && retry_later(code)) return kSSL_Handshake_Pending;
  const int32_t result = c == SSL_ERROR_SSL ? kSSL_Handshake_Refused : kSSL_Handshake_Failed;
  return fail_locked(result, describe_failure(ssl.ssl, !options_.insecure, c, code, checked_host_));
}

namespace {

// The error class of the calling thread's last read or write, taken inside
// that call: a reader and a writer on two threads each get their own.
struct TLast_Call {
  const void* handler = nullptr;
  int32_t ret = 0;
  int32_t error_class = 0;
};
thread_local TLast_Call t_last_call;

}  // namespace

int32_t TUX_SSL_Handler::Read_Data(void* buf, int32_t len) {
  std::lock_guard<std::mutex> g(lock);
  int32_t r = kSSL_Not_Connected;
  int32_t error_class = SSL_ERROR_SSL;
  if (ssl.connected && buf && len > 0) {
    ERR_clear_error();
    r = SSL_read(ssl.ssl, buf, len);
    error_class = SSL_get_error(ssl.ssl, r);
  } else if (ssl.connected) {
    r = 0;
  }
  t_last_call = {this, r, error_class};
  return r;
}

int32_t TUX_SSL_Handler::Write_Data(const void* buf, int32_t len) {
  std::lock_guard<std::mutex> g(lock);
  int32_t r = kSSL_Not_Connected;
  int32_t error_class = SSL_ERROR_SSL;
  if (ssl.connected && buf && len > 0) {
    ERR_clear_error();
    r = SSL_write(ssl.ssl, buf, len);
    error_class = SSL_get_error(ssl.ssl, r);
  } else if (ssl.connected) {
    r = 0;
  }
  t_last_call = {this, r, error_class};
  return r;
}

int32_t TUX_SSL_Handler::Last_Error(int32_t ret) {
  if (ret > 0) return SSL_ERROR_NONE;
  if (t_last_call.handler == this && t_last_call.ret == ret) return t_last_call.error_class;
  std::lock_guard<std::mutex> g(lock);
  return ssl.ssl ? SSL_get_error(ssl.ssl, ret) : SSL_ERROR_SSL;
}

int32_t TUX_SSL_Handler::Pending() {
  std::lock_guard<std::mutex> g(lock);
  return ssl.connected ? SSL_pending(ssl.ssl) : 0;
}

void TUX_SSL_Handler::Reset_Session() {
  std::lock_guard<std::mutex> g(lock);
  ssl.ssl_Socket_Handle = kNoSocket;
  ssl.connected = false;
  fail_result_ = 0;
  failure_ = {};
  // A session that touched a socket (even one that never finished its
  // handshake) is replaced whole; nothing more is written to that socket.
  if (session_used_ && ssl.ctx && !new_session_locked()) ssl.ErrorCode = kSSL_No_Session;
}

// ---------------------------------------------------------------- factory

std::shared_ptr<ISocket_SSL> CreateSSLHandler(TSSLType ssltype) {
  return CreateSSLHandler(ssltype, ssl_default_options());
}

std::shared_ptr<ISocket_SSL> CreateSSLHandler(TSSLType ssltype, const TSSL_Options& options) {
  try {
    auto h = std::make_shared<TUX_SSL_Handler>(ssltype, options);
    if (h->ErrorCode() != 0) return nullptr;
    return h;
  } catch (...) {
    return nullptr;  // out of memory
  }
}

TUX_SSL_Handler_Factory make_ssl_handler_factory() {
  return [] { return CreateSSLHandler(TSSLType::stAny); };
}

TUX_SSL_Handler_Factory make_ssl_handler_factory(const TSSL_Options& options) {
  return [options] { return CreateSSLHandler(TSSLType::stAny, options); };
}

void register_ssl_handler_factory() { TUX_http_client_v3::set_ssl_handler_factory(make_ssl_handler_factory()); }

namespace {

const bool g_factory_registered = (register_ssl_handler_factory(), true);

}  // namespace

}  // namespace ux

// The library's link options name this symbol, so every program linked with
// it carries this unit and its registration above.
extern "C" {
extern const int ux_tls_layer_linked;
const int ux_tls_layer_linked = 1;
}
