#include "support/nginx_server.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace qlyn_test {

namespace {

std::string replace_root(std::string text, const std::string& root) {
  for (size_t at = text.find("$ROOT"); at != std::string::npos; at = text.find("$ROOT", at + root.size()))
    text.replace(at, 5, root);
  return text;
}

}  // namespace

bool TNginxServer::available() {
  return ::access(kNginx, X_OK) == 0 && ::access(kEchoModule, R_OK) == 0;
}

TNginxServer::TNginxServer(const std::string& server_body, const std::string& http_extra,
                           const TNginxTls& tls)
    : dir_("nginx"), tls_(!tls.cert.empty()) {
  if (!available()) return;
  const std::string d = dir_.path();
  std::filesystem::create_directories(root());
  // The port may be taken between the probe and nginx's bind: a few tries.
  for (int attempt = 0; attempt < 5 && !ok_; ++attempt) {
    port_ = free_loopback_port();
    std::ofstream conf(d + "/nginx.conf", std::ios::trunc);
    conf << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
         << "pid " << d << "/nginx.pid;\nerror_log " << d << "/error.log warn;\n"
         << "load_module " << kEchoModule << ";\n"
         << "events { worker_connections 256; }\n"
         << "http {\n  access_log off;\n  default_type application/octet-stream;\n"
         << "  client_body_temp_path " << d << "/body;\n  proxy_temp_path " << d << "/proxy;\n"
         << "  fastcgi_temp_path " << d << "/fastcgi;\n  uwsgi_temp_path " << d << "/uwsgi;\n"
         << "  scgi_temp_path " << d << "/scgi;\n"
         << replace_root(http_extra, root()) << "\n"
         << "  server {\n    listen 127.0.0.1:" << port_ << (tls_ ? " ssl" : "") << ";\n"
         << "    server_name localhost;\n"
         << "    root " << root() << ";\n"
         << (tls_ ? "    ssl_certificate " + tls.cert + ";\n    ssl_certificate_key " + tls.key +
                        ";\n    ssl_protocols TLSv1.2 TLSv1.3;\n" : "")
         << replace_root(server_body, root()) << "\n  }\n}\n";
    conf.close();
    proc_ = std::make_unique<TChildProcess>(
        std::vector<std::string>{kNginx, "-p", d, "-e", d + "/error.log", "-c", d + "/nginx.conf"},
        d + "/stderr.log");
    if (!proc_->running()) break;
    ok_ = wait_for_tcp_port(port_, 5000) && proc_->alive();
    if (!ok_) proc_->stop();
  }
}

TNginxServer::~TNginxServer() {
  if (proc_) proc_->stop();
}

std::string TNginxServer::url(const std::string& path) const {
  return (tls_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_) + path;
}

std::string TNginxServer::error_log() const {
  std::ifstream in(dir_.path() + "/error.log");
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace qlyn_test
