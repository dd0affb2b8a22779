#include "support/server_tool.h"

#include <cctype>

namespace qlyn_test {

TServerTool::TServerTool(const std::vector<std::string>& argv, bool with_tls, int timeout_ms)
    : TChildProcess(argv), with_tls_(with_tls) {
  if (!running()) {
    start_output_ = "(did not start)";
    return;
  }
  port_ = await_listening("127.0.0.1:", timeout_ms);
  if (!port_.empty() && with_tls) tls_port_ = await_listening("https 127.0.0.1:", timeout_ms);
}

std::string TServerTool::await_listening(const std::string& prefix, int timeout_ms) {
  const std::string line = read_line(timeout_ms);
  start_output_ += line.empty() ? "(no listening line)\n" : line + "\n";
  return port_of(line, prefix);
}

std::string TServerTool::port_of(const std::string& line, const std::string& prefix) {
  const std::string head = "listening " + prefix;
  if (line.rfind(head, 0) != 0) return {};
  const std::string port = line.substr(head.size());
  if (port.empty() || port.size() > 5) return {};
  for (const char c : port)
    if (!std::isdigit(static_cast<unsigned char>(c))) return {};
  return port;
}

}  // namespace qlyn_test
