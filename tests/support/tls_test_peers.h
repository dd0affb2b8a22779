// Test support for TLS: certificates made by the openssl command in a
// temporary folder, and `openssl s_server` started on an ephemeral
// 127.0.0.1 port.
//
// Every certificate is an EC P-256 one valid for 30 days, except the expired
// one (its validity ended a day before it was made).
//   ca           the test certificate authority (not in the system store)
//   server       localhost and 127.0.0.1, issued by ca
//   expired      localhost and 127.0.0.1, issued by ca, expired
//   other        other.invalid and 127.0.0.2, issued by ca
//   self_signed  localhost and 127.0.0.1, its own issuer
// ca_dir() holds ca in OpenSSL's hashed folder form.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/scoped_env.h"

namespace qlyn_test {

inline constexpr const char* kOpenSSL = "/usr/bin/openssl";

struct TCertKey {
  std::string cert;  // PEM paths
  std::string key;
};

class TTlsTestCerts {
 public:
  TTlsTestCerts();
  TTlsTestCerts(const TTlsTestCerts&) = delete;
  TTlsTestCerts& operator=(const TTlsTestCerts&) = delete;

  // Everything was made; error() says what failed otherwise.
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  const std::string& dir() const { return dir_.path(); }
  std::string ca_dir() const { return dir_.path() + "/ca_hashed"; }

  TCertKey ca, server, expired, other, self_signed;

 private:
  // Runs openssl with args in the folder; false (and error_ set) on failure.
  bool openssl(const std::vector<std::string>& args);
  bool make_leaf(const std::string& name, const std::string& san, const std::string& days,
                 bool self_signed, TCertKey& out);

  TTempDir dir_;
  std::string error_;
  int serial_ = 1000;
};

// The certificates of this test process, made on first use; their folder
// goes when the process exits.
const TTlsTestCerts& test_certs();

// `openssl s_server` on 127.0.0.1 with a port the system chose; stopped and
// reaped by the destructor.
class TOpenSSLServer {
 public:
  // Serves cert; extra: further s_server options ("-www", "-tls1_2", ...).
  TOpenSSLServer(const TCertKey& cert, const std::vector<std::string>& extra);
  ~TOpenSSLServer() = default;
  TOpenSSLServer(const TOpenSSLServer&) = delete;
  TOpenSSLServer& operator=(const TOpenSSLServer&) = delete;

  bool ok() const { return port_ > 0; }
  int port() const { return port_; }
  // What the server wrote to stderr so far (its handshake errors).
  std::string errors() const;

 private:
  TTempDir dir_;
  std::unique_ptr<TChildProcess> proc_;
  int port_ = 0;
};

}  // namespace qlyn_test
