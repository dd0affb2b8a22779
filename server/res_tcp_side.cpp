#include "server/res_tcp_side.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "common/ux_common.h"

namespace qlyn_res {

namespace {

constexpr size_t kOutChunk = 262144;  // bytes pulled from a connection at a time
// At least a whole TLS record (16 KiB), so a read never leaves decrypted
// input inside TLS where no socket event would announce it.
constexpr size_t kReadChunk = 65536;
constexpr int kAcceptsPerWakeup = 256;

std::string peer_text(const sockaddr_in& a) {
  char ip[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
  return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

}  // namespace

TRes_Tcp_Side::TRes_Tcp_Side(const TRes_Root& root, const TRes_Tcp_Options& opt, TRes_Access_Log log, int epoll_fd,
                             SSL_CTX* tls_ctx)
    : TRes_Tcp_Side(
          [&root, log = std::move(log)](const std::string& peer, const std::string& transport) {
            return std::make_unique<TRes_Http_Conn>(root, peer, transport, log);
          },
          opt, epoll_fd, tls_ctx) {}

TRes_Tcp_Side::TRes_Tcp_Side(TRes_Conn_Factory make, const TRes_Tcp_Options& opt, int epoll_fd, SSL_CTX* tls_ctx)
    : make_(std::move(make)), opt_(opt), epoll_fd_(epoll_fd), tls_ctx_(tls_ctx) {}

TRes_Tcp_Side::~TRes_Tcp_Side() {
  close_all();
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

void TRes_Tcp_Side::attach(int listen_fd) { listen_fd_ = listen_fd; }

void TRes_Tcp_Side::on_accept() {
  for (int i = 0; i < kAcceptsPerWakeup; ++i) {
    sockaddr_in peer{};
    socklen_t pl = sizeof peer;
    const int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &pl, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    if (conns_.size() >= opt_.max_connections) {
      ::close(fd);
      continue;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto c = std::make_unique<TConn>();
    c->fd = fd;
    c->http = make_(peer_text(peer), tls_ctx_ ? "tls" : "tcp");
    if (tls_ctx_) {
      c->tls = std::make_unique<TRes_Tls_Session>(tls_ctx_, fd);
      if (!c->tls->ok()) {
        ::close(fd);
        continue;
      }
    }
    c->out.resize(kOutChunk);
    c->last_active_ms = ux::now_ms();
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
      ::close(fd);
      continue;
    }
    c->watched = EPOLLIN;
    conns_[fd] = std::move(c);
  }
}

void TRes_Tcp_Side::on_event(int fd, uint32_t events) {
  auto it = conns_.find(fd);
  if (it == conns_.end()) return;
  TConn& c = *it->second;
  c.last_active_ms = ux::now_ms();
  if ((events & EPOLLERR) != 0) {
    drop(fd);
    return;
  }
  if (c.tls && !c.tls->handshaken()) {
    if (c.tls->handshake() < 0) {
      drop(fd);
      return;
    }
    if (!c.tls->handshaken()) {
      update_watch(c);
      return;
    }
    events |= EPOLLIN;  // the request may have come with the handshake's last flight
  }
  if ((events & (EPOLLIN | EPOLLHUP | EPOLLRDHUP)) != 0) read_from(c);
  if (!write_to(c)) {
    drop(fd);
    return;
  }
  if (c.http->done() && c.out_pos == c.out_len) {
    if (c.tls) c.tls->shutdown();
    ::shutdown(fd, SHUT_WR);
    drop(fd);
    return;
  }
  update_watch(c);
}

int64_t TRes_Tcp_Side::conn_recv(TConn& c, char* buf, size_t len) {
  if (c.tls) return c.tls->recv(buf, len);
  return ::recv(c.fd, buf, len, 0);
}

int64_t TRes_Tcp_Side::conn_send(TConn& c, const char* data, size_t len) {
  if (c.tls) return c.tls->send(data, len);
  return ::send(c.fd, data, len, MSG_NOSIGNAL);
}

void TRes_Tcp_Side::read_from(TConn& c) {
  static thread_local std::vector<char> buf(kReadChunk);
  while (c.http->wants_input()) {
    const int64_t n = conn_recv(c, buf.data(), buf.size());
    if (n > 0) {
      c.http->on_input(buf.data(), size_t(n));
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    c.http->on_input_end();  // the peer closed, or the connection failed
    return;
  }
}

bool TRes_Tcp_Side::write_to(TConn& c) {
  for (;;) {
    if (c.out_pos == c.out_len) {
      c.out_pos = c.out_len = 0;
      if (!c.http->has_output()) return true;
      c.out_len = c.http->pull_output(c.out.data(), c.out.size());
      if (c.out_len == 0) return true;
    }
    const int64_t n = conn_send(c, c.out.data() + c.out_pos, c.out_len - c.out_pos);
    if (n > 0) {
      c.out_pos += size_t(n);
      continue;
    }
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
  }
}

void TRes_Tcp_Side::update_watch(TConn& c) {
  uint32_t want = 0;
  if (c.tls && !c.tls->handshaken()) {
    want = c.tls->wants_write() ? EPOLLOUT : EPOLLIN;
  } else {
    if (c.http->wants_input()) want |= EPOLLIN;
    if (c.out_pos < c.out_len || c.http->has_output()) want |= EPOLLOUT;
    // TLS may need the other direction to finish a read or a write.
    if (c.tls && c.tls->wants_write()) want |= EPOLLOUT;
  }
  if (want == c.watched) return;
  epoll_event ev{};
  ev.events = want;
  ev.data.fd = c.fd;
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, c.fd, &ev);
  c.watched = want;
}

void TRes_Tcp_Side::drop(int fd) {
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
  ::close(fd);
  conns_.erase(fd);
}

void TRes_Tcp_Side::on_timer() {
  const int64_t now = ux::now_ms();
  std::vector<int> ended;
  for (auto& [fd, c] : conns_) {
    if (now - c->last_active_ms > opt_.idle_timeout_ms) {
      ended.push_back(fd);
      continue;
    }
    c->http->on_tick(now);
    if (!write_to(*c) || (c->http->done() && c->out_pos == c->out_len)) {
      ended.push_back(fd);
      continue;
    }
    update_watch(*c);
  }
  for (int fd : ended) drop(fd);
}

void TRes_Tcp_Side::close_all() {
  while (!conns_.empty()) drop(conns_.begin()->first);
}

}  // namespace qlyn_res
