// Test support: one of our server tools (qlyn-resource-server,
// qlyn-file-server, qlyn-udp-relay) started as a child process. Before any
// other output each prints one line per listener once it accepts:
// "listening 127.0.0.1:PORT", then for the resource server's TLS listener
// "listening https 127.0.0.1:PORT". The constructor waits for those lines.
#pragma once

#include <string>
#include <vector>

#include "support/child_process.h"

namespace qlyn_test {

class TServerTool : public TChildProcess {
 public:
  // Starts argv (port "0" lets the tool pick) and reads its listening lines,
  // waiting up to timeout_ms for each: the plain one, then the TLS one when
  // with_tls.
  explicit TServerTool(const std::vector<std::string>& argv, bool with_tls = false, int timeout_ms = 10000);

  // Every expected listening line came.
  bool listening() const { return !port_.empty() && (!with_tls_ || !tls_port_.empty()); }
  // The ports as printed; empty when the line did not come.
  const std::string& port() const { return port_; }
  const std::string& tls_port() const { return tls_port_; }
  // port() as a number; 0 when it did not come.
  int port_number() const { return port_.empty() ? 0 : std::stoi(port_); }
  // "127.0.0.1:PORT" of the plain listener.
  std::string address() const { return "127.0.0.1:" + port_; }
  // The lines read while waiting, for failure messages.
  const std::string& start_output() const { return start_output_; }

 private:
  // The port of line when it is "listening <prefix>PORT"; empty otherwise.
  static std::string port_of(const std::string& line, const std::string& prefix);
  // Reads one line and keeps it in start_output_; its port as port_of gives it.
  std::string await_listening(const std::string& prefix, int timeout_ms);

  bool with_tls_;
  std::string port_;
  std::string tls_port_;
  std::string start_output_;
};

}  // namespace qlyn_test
