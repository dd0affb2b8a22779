// Test support: a real nginx (Debian's, with its echo module) started by the
// test from a generated configuration on an ephemeral 127.0.0.1 port, in
// single-process mode with every path (pid, logs, temp files, document
// root) inside its own temporary folder. Stopped and reaped by the
// destructor.
#pragma once

#include <memory>
#include <string>

#include "support/child_process.h"
#include "support/scoped_env.h"

namespace qlyn_test {

// TLS on the listening port: the server's certificate (with its chain) and key, PEM.
struct TNginxTls {
  std::string cert;
  std::string key;
};

// Locations for the client tests: /files/ serves root()/files/; /method
// answers "METHOD CONTENT-LENGTH" on a line, then the request body.
inline constexpr const char* kNginxFilesAndMethodEcho =
    "location /files/ { }\n"
    "location = /method { echo_read_request_body; echo \"$request_method $http_content_length\"; "
    "echo_request_body; }\n";

class TNginxServer {
 public:
  static constexpr const char* kNginx = "/usr/sbin/nginx";
  static constexpr const char* kEchoModule = "/usr/lib/nginx/modules/ngx_http_echo_module.so";

  // server_body: directives placed inside the server block (locations and
  // the like); "$ROOT" in it stands for root(). http_extra: directives for
  // the http block. With tls.cert set the port speaks https.
  explicit TNginxServer(const std::string& server_body, const std::string& http_extra = "",
                        const TNginxTls& tls = {});
  ~TNginxServer();
  TNginxServer(const TNginxServer&) = delete;
  TNginxServer& operator=(const TNginxServer&) = delete;

  static bool available();
  // True when nginx answers on port().
  bool ok() const { return ok_; }
  int port() const { return port_; }
  // The document root (without the trailing "/").
  std::string root() const { return dir_.path() + "/www"; }
  // "http://127.0.0.1:<port>" (https with TLS) followed by path.
  std::string url(const std::string& path) const;
  // nginx's error log, for failure messages.
  std::string error_log() const;

 private:
  TTempDir dir_;
  std::unique_ptr<TChildProcess> proc_;
  int port_ = 0;
  bool ok_ = false;
  bool tls_ = false;
};

}  // namespace qlyn_test
