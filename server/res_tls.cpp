#include "server/res_tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <climits>

#include "common/net/ux_openssl_socket.h"

namespace qlyn_res {

namespace {

std::string openssl_reason() {
  const unsigned long e = ERR_peek_last_error();
  const char* r = e ? ERR_reason_error_string(e) : nullptr;
  ERR_clear_error();
  return r ? r : "unknown error";
}

}  // namespace

TRes_Tls_Context::~TRes_Tls_Context() { SSL_CTX_free(ctx_); }

bool TRes_Tls_Context::load(const std::string& cert_file, const std::string& key_file, std::string& error) {
  SSL_CTX_free(ctx_);
  ctx_ = SSL_CTX_new(TLS_server_method());
  if (!ctx_) {
    error = "cannot create a TLS context: " + openssl_reason();
    return false;
  }
  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  SSL_CTX_set_options(ctx_, SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_mode(ctx_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (SSL_CTX_use_certificate_chain_file(ctx_, cert_file.c_str()) != 1) {
    error = "cannot use the TLS certificate " + cert_file + ": " + openssl_reason();
  } else if (SSL_CTX_use_PrivateKey_file(ctx_, key_file.c_str(), SSL_FILETYPE_PEM) != 1 ||
             SSL_CTX_check_private_key(ctx_) != 1) {
    const unsigned long e = ERR_peek_last_error();
    error = ERR_GET_LIB(e) == ERR_LIB_X509 && ERR_GET_REASON(e) == X509_R_KEY_VALUES_MISMATCH
                ? "the TLS key " + key_file + " does not belong to the certificate " + cert_file
                : "cannot use the TLS key " + key_file + ": " + openssl_reason();
    ERR_clear_error();
  } else {
    return true;
  }
  SSL_CTX_free(ctx_);
  ctx_ = nullptr;
  return false;
}

TRes_Tls_Session::TRes_Tls_Session(SSL_CTX* ctx, int fd) {
  BIO* bio = ctx ? ux::ssl_socket_bio(fd) : nullptr;
  if (!bio) return;
  ssl_ = SSL_new(ctx);
  if (!ssl_) {
    BIO_free(bio);
    return;
  }
  SSL_set_bio(ssl_, bio, bio);
  SSL_set_accept_state(ssl_);
}

TRes_Tls_Session::~TRes_Tls_Session() { SSL_free(ssl_); }

int64_t TRes_Tls_Session::fail(int r) {
  const int c = SSL_get_error(ssl_, r);
  ERR_clear_error();
  wants_write_ = c == SSL_ERROR_WANT_WRITE;
  if (c == SSL_ERROR_WANT_READ || c == SSL_ERROR_WANT_WRITE) {
    errno = EAGAIN;
    return -1;
  }
  if (c == SSL_ERROR_ZERO_RETURN) return 0;
  errno = ECONNABORTED;
  return -1;
}

int TRes_Tls_Session::handshake() {
  if (handshaken_) return 1;
  ERR_clear_error();
  const int r = SSL_do_handshake(ssl_);
  if (r == 1) {
    handshaken_ = true;
    wants_write_ = false;
    return 1;
  }
  return fail(r) < 0 && errno == EAGAIN ? 0 : -1;
}

int64_t TRes_Tls_Session::recv(char* buf, size_t len) {
  ERR_clear_error();
  const int r = SSL_read(ssl_, buf, int(len > INT_MAX ? INT_MAX : len));
  if (r > 0) {
    wants_write_ = false;
    return r;
  }
  return fail(r);
}

int64_t TRes_Tls_Session::send(const char* data, size_t len) {
  ERR_clear_error();
  const int r = SSL_write(ssl_, data, int(len > INT_MAX ? INT_MAX : len));
  if (r > 0) {
    wants_write_ = false;
    return r;
  }
  if (fail(r) == 0) errno = EPIPE;  // the peer ended the stream: nothing more can be sent
  return -1;
}

void TRes_Tls_Session::shutdown() {
  if (!handshaken_) return;
  ERR_clear_error();
  SSL_shutdown(ssl_);
  ERR_clear_error();
}

}  // namespace qlyn_res
