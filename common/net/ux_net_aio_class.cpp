#include "common/net/ux_net_aio_class.h"

#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "common/net/ux_socketbase_dns.h"

namespace ux {

struct TUX_AIO_HUB::TAIO_Func_Base {
  int32_t Client_handle = 0;
  uint32_t generation = 0;
  bool is_stream = false;
  TAIO_Source peer;  // streams: the connected peer
  TUX_AIO_Ret_Func func;
  void* userData = nullptr;
  std::mutex deliver_mu;  // held by the worker delivering to this registration
  std::atomic<bool> removed{false};
};

namespace {

constexpr uint64_t kWakeKey = ~uint64_t(0);

// The hub whose worker runs on this thread, if any.
thread_local const TUX_AIO_HUB* tl_worker_of = nullptr;

uint64_t key_of(int32_t fd, uint32_t generation) { return uint64_t(generation) << 32 | uint32_t(fd); }

bool fatal_datagram_error(int e) { return e == EBADF || e == ENOTSOCK || e == EINVAL || e == EFAULT; }

}  // namespace

TUX_AIO_HUB::TUX_AIO_HUB() {
  epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (epoll_fd_ >= 0 && wake_fd_ >= 0) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeKey;
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &ev);
  }
  if (epoll_fd_ >= 0 && wake_fd_ >= 0) Set_Thread_Count(kDefaultThreads);
}

TUX_AIO_HUB::~TUX_AIO_HUB() {
  Set_Thread_Count(0);
  if (epoll_fd_ >= 0) ::close(epoll_fd_);
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

// ---------------------------------------------------------------- threads

void TUX_AIO_HUB::wake_workers(bool on) {
  if (wake_fd_ < 0) return;
  uint64_t v = 1;
  if (on) {
    [[maybe_unused]] ssize_t n = ::write(wake_fd_, &v, sizeof v);
  } else {
    [[maybe_unused]] ssize_t n = ::read(wake_fd_, &v, sizeof v);
  }
}

void TUX_AIO_HUB::Set_Thread_Count(int32_t count) {
  if (count < 0) count = 0;
  if (count > kMaxThreads) count = kMaxThreads;
  std::lock_guard<std::mutex> g(threads_lock);
  for (int32_t i = 0; i < count; ++i) {
    if (Threads[i]) continue;
    TExThread* th = TExThread::Create();
    th->onExec = [this](void* sender) { worker(static_cast<TExThread*>(sender)); };
    try {
      th->start();
    } catch (...) {
      th->Close();
      continue;
    }
    Threads[i] = th;
  }
  std::vector<TExThread*> doomed;
  for (int32_t i = count; i < kMaxThreads; ++i) {
    if (Threads[i]) doomed.push_back(Threads[i]);
    Threads[i] = nullptr;
  }
  if (doomed.empty()) return;
  // Every waiting worker wakes; the ones being closed see their end, the
  // others return to their wait once the signal is taken back.
  wake_workers(true);
  for (TExThread* th : doomed) th->Close();
  wake_workers(false);
}

int32_t TUX_AIO_HUB::Thread_Count() {
  std::lock_guard<std::mutex> g(threads_lock);
  int32_t n = 0;
  for (TExThread* th : Threads) n += th != nullptr;
  return n;
}

void TUX_AIO_HUB::worker(TExThread* th) {
  tl_worker_of = this;
  thread_local std::vector<char> buf(kDatagramChunk);
  while (!th->Terminated() && step(buf.data())) {
  }
}

bool TUX_AIO_HUB::step(char* buf) {
  if (epoll_fd_ < 0) return false;
  epoll_event evs[kEventsPerWait];
  const int n = ::epoll_wait(epoll_fd_, evs, kEventsPerWait, kIdleWaitMsec);
  bool delivered = false;
  bool woken = false;
  for (int i = 0; i < n; ++i) {
    if (evs[i].data.u64 == kWakeKey) {
      woken = true;
      continue;
    }
    if (const PReg reg = lookup(evs[i].data.u64)) {
      deliver(reg, evs[i].events, buf);
      delivered = true;
    }
  }
  return delivered && !woken;
}

// ---------------------------------------------------------------- delivery

TUX_AIO_HUB::PReg TUX_AIO_HUB::lookup(uint64_t key) {
  const int32_t fd = int32_t(key & 0xFFFFFFFFu);
  const uint32_t generation = uint32_t(key >> 32);
  std::lock_guard<std::mutex> g(lock);
  if (fd < 0 || size_t(fd) >= Client_Base_Pool.size()) return nullptr;
  const PReg& reg = Client_Base_Pool[size_t(fd)];
  return reg && reg->generation == generation ? reg : nullptr;
}

int32_t TUX_AIO_HUB::call(TAIO_Func_Base& reg, int32_t event, const char* data, int32_t len,
                          const TAIO_Source& from) {
  try {
    return reg.func(reg.userData, reg.Client_handle, event, data, len, from);
  } catch (...) {
    return 0;
  }
}

void TUX_AIO_HUB::deliver(const PReg& reg, uint32_t events, char* buf) {
  bool rearm;
  {
    std::lock_guard<std::mutex> g(reg->deliver_mu);
    if (reg->removed.load(std::memory_order_acquire)) return;
    rearm = drain(*reg, events, buf);
  }
  if (!rearm) return;
  std::lock_guard<std::mutex> g(lock);
  const size_t fd = size_t(reg->Client_handle);
  if (fd < Client_Base_Pool.size() && Client_Base_Pool[fd] == reg) arm_locked(reg, true);
}

bool TUX_AIO_HUB::drain(TAIO_Func_Base& reg, uint32_t events, char* buf) {
  const int32_t fd = reg.Client_handle;
  const bool hung_up = events & (EPOLLHUP | EPOLLRDHUP);
  auto closed = [&] {
    call(reg, kAIO_Event_Closed, nullptr, 0, reg.peer);
    return false;
  };
  for (int32_t i = 0; i < kChunksPerStep; ++i) {
    TAIO_Source from = reg.peer;
    int32_t n;
    if (reg.is_stream) {
      n = sock_recv(fd, buf, kStreamChunk, false, true);
    } else {
      uint32_t ip = 0, port = 0;
      n = sock_recv_from(fd, buf, kDatagramChunk, ip, port, true);
      from = TAIO_Source{ip, int32_t(port)};
    }
    if (n > 0) {
      const int32_t r = call(reg, kAIO_Event_Data, buf, n, from);
      if (reg.removed.load(std::memory_order_acquire)) return false;
      if (r != 0 || (reg.is_stream && n < kStreamChunk)) return true;
      continue;
    }
    if (n == 0) {
      if (reg.is_stream || hung_up) return closed();
      continue;  // an empty datagram
    }
    const int e = sock_last_error();
    if (sock_would_block(e)) {
      if (hung_up && !reg.is_stream) return closed();  // shut down, nothing left
      return true;
    }
    if (reg.is_stream || fatal_datagram_error(e)) return closed();
  }
  return true;
}

// ---------------------------------------------------------------- registrations

bool TUX_AIO_HUB::arm_locked(const PReg& reg, bool existing) {
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
  ev.data.u64 = key_of(reg->Client_handle, reg->generation);
  const int first = existing ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
  if (::epoll_ctl(epoll_fd_, first, reg->Client_handle, &ev) == 0) return true;
  const int second = existing ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
  return ::epoll_ctl(epoll_fd_, second, reg->Client_handle, &ev) == 0;
}

void TUX_AIO_HUB::wait_delivery_end(TAIO_Func_Base& reg) {
  if (tl_worker_of == this) return;
  std::lock_guard<std::mutex> g(reg.deliver_mu);
}

int32_t TUX_AIO_HUB::Add_Socket_IO_Func(int32_t SocketHandle, void* UserData, TUX_AIO_Ret_Func ret_func) {
  int type = 0;
  socklen_t len = sizeof type;
  if (SocketHandle < 1 || SocketHandle > kMaxHandle || !ret_func || epoll_fd_ < 0 ||
      ::getsockopt(SocketHandle, SOL_SOCKET, SO_TYPE, &type, &len) != 0) {
    errno = EINVAL;
    return -1;
  }
  auto reg = std::make_shared<TAIO_Func_Base>();
  reg->Client_handle = SocketHandle;
  reg->is_stream = type == SOCK_STREAM;
  if (reg->is_stream) {
    uint32_t ip = parse_ipv4(sock_remote_ip(SocketHandle));
    reg->peer = TAIO_Source{ip, sock_remote_port(SocketHandle)};
  }
  reg->func = std::move(ret_func);
  reg->userData = UserData;

  PReg old;
  {
    std::lock_guard<std::mutex> g(lock);
    reg->generation = ++next_generation_;
    if (Client_Base_Pool.size() <= size_t(SocketHandle)) Client_Base_Pool.resize(size_t(SocketHandle) + 1);
    old = std::move(Client_Base_Pool[size_t(SocketHandle)]);
    Client_Base_Pool[size_t(SocketHandle)] = reg;
    if (old) old->removed.store(true, std::memory_order_release);
  }
  if (old) wait_delivery_end(*old);
  std::lock_guard<std::mutex> g(lock);
  PReg& slot = Client_Base_Pool[size_t(SocketHandle)];
  if (slot != reg) return 0;  // replaced again meanwhile
  if (arm_locked(reg, old != nullptr)) return 0;
  slot.reset();
  return -1;
}

int32_t TUX_AIO_HUB::Del_Socket_IO_Func(int32_t SocketHandle) {
  if (SocketHandle < 1 || SocketHandle > kMaxHandle) {
    errno = EINVAL;
    return -1;
  }
  PReg old;
  {
    std::lock_guard<std::mutex> g(lock);
    if (size_t(SocketHandle) < Client_Base_Pool.size()) old = std::move(Client_Base_Pool[size_t(SocketHandle)]);
    if (!old) return 0;
    old->removed.store(true, std::memory_order_release);
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, SocketHandle, nullptr);
  }
  wait_delivery_end(*old);
  return 0;
}

int32_t TUX_AIO_HUB::Registered_Count() {
  std::lock_guard<std::mutex> g(lock);
  int32_t n = 0;
  for (const PReg& r : Client_Base_Pool) n += r != nullptr;
  return n;
}

// ---------------------------------------------------------------- process-wide hub

TUX_AIO_HUB& aio_hub() {
  // Never deleted: sockets destroyed during exit may still unregister.
  static TUX_AIO_HUB* hub = [] {
    auto* h = new TUX_AIO_HUB;
    socket_layer_at_stop([h] { h->Set_Thread_Count(0); });
    return h;
  }();
  return *hub;
}

}  // namespace ux
