#include "support/tls_test_peers.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace qlyn_test {

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

bool TTlsTestCerts::openssl(const std::vector<std::string>& args) {
  std::vector<std::string> argv{kOpenSSL};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargs;
  for (const std::string& a : argv) cargs.push_back(const_cast<char*>(a.c_str()));
  cargs.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  const std::string log = dir_.path() + "/openssl.log";
  posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  pid_t pid = -1;
  const bool started = ::posix_spawn(&pid, cargs[0], &fa, nullptr, cargs.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&fa);
  if (!started) {
    error_ = "cannot start openssl";
    return false;
  }
  // openssl commands end by themselves; 30 s bounds a stuck one.
  int status = 0;
  for (int i = 0; ::waitpid(pid, &status, WNOHANG) != pid; ++i) {
    if (i == 3000) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  error_ = "openssl " + args[0] + " failed: " + read_file(log);
  return false;
}

bool TTlsTestCerts::make_leaf(const std::string& name, const std::string& san, const std::string& days,
                              bool self_signed, TCertKey& out) {
  const std::string d = dir_.path() + "/";
  out = {d + name + ".pem", d + name + ".key"};
  const std::string ext = d + name + ".ext";
  std::ofstream(ext) << "subjectAltName=" << san << "\nbasicConstraints=CA:FALSE\n"
                     << "keyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\n";
  if (self_signed) {
    if (!openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
             "-keyout", out.key, "-out", out.cert, "-days", days, "-subj", "/CN=" + name,
             "-addext", "subjectAltName=" + san, "-addext", "basicConstraints=CA:FALSE"}))
      return false;
  } else {
    const std::string csr = d + name + ".csr";
    if (!openssl({"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
             "-keyout", out.key, "-out", csr, "-subj", "/CN=" + name}) ||
        !openssl({"x509", "-req", "-in", csr, "-CA", ca.cert, "-CAkey", ca.key, "-set_serial",
             std::to_string(++serial_), "-days", days, "-extfile", ext,
             "-out", out.cert}))
      return false;
  }
  return true;
}

TTlsTestCerts::TTlsTestCerts() : dir_("tls_certs") {
  const std::string d = dir_.path() + "/";
  ca = {d + "ca.pem", d + "ca.key"};
  if (!openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                "-keyout", ca.key, "-out", ca.cert, "-days", "30", "-subj", "/CN=Qlyn Test CA",
                "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                "keyUsage=critical,keyCertSign,cRLSign"}))
    return;
  const std::string local = "DNS:localhost,IP:127.0.0.1";
  if (!make_leaf("server", local, "30", false, server) || !make_leaf("expired", local, "-1", false, expired) ||
      !make_leaf("other", "DNS:other.invalid,IP:127.0.0.2", "30", false, other) ||
      !make_leaf("self_signed", local, "30", true, self_signed))
    return;
  std::filesystem::create_directories(ca_dir());
  std::filesystem::copy_file(ca.cert, ca_dir() + "/ca.pem");
  openssl({"rehash", ca_dir()});  // sets error_ when it fails
}

const TTlsTestCerts& test_certs() {
  static const TTlsTestCerts made;
  return made;
}

TOpenSSLServer::TOpenSSLServer(const TCertKey& cert, const std::vector<std::string>& extra)
    : dir_("s_server") {
  std::vector<std::string> argv{kOpenSSL, "s_server", "-accept", "127.0.0.1:0", "-cert", cert.cert,
                                "-key", cert.key};
  argv.insert(argv.end(), extra.begin(), extra.end());
  proc_ = std::make_unique<TChildProcess>(argv, dir_.path() + "/stderr.log");
  if (!proc_->running()) return;
  // It prints "ACCEPT 127.0.0.1:<port>" once it listens.
  for (int i = 0; i < 5; ++i) {
    const std::string line = proc_->read_line(5000);
    if (line.rfind("ACCEPT ", 0) == 0) {
      port_ = std::atoi(line.substr(line.rfind(':') + 1).c_str());
      return;
    }
    if (line.empty()) return;
  }
}

std::string TOpenSSLServer::errors() const { return read_file(dir_.path() + "/stderr.log"); }

}  // namespace qlyn_test
