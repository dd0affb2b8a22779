// ux_net_aio_class: TUX_AIO_HUB, the asynchronous receive hub. A few worker
// threads wait on one epoll instance for many registered sockets and hand
// every chunk received to the socket's callback, so that the owners never
// poll. The hub only receives; sending stays with the owner.
//
// Callback contract:
//   - kAIO_Event_Data (2): Data/Datalen hold one datagram (up to 65536 bytes,
//     so none is cut) or one chunk of a stream (up to 16384 bytes); from is
//     the datagram's sender or the stream's peer.
//   - kAIO_Event_Closed (99): the stream ended or the socket failed (Data null,
//     Datalen 0). Raised once; the registration then gets nothing more until
//     it is registered again. Errors a datagram socket reports for earlier
//     sends (port unreachable and the like) are consumed, not fatal.
//   - A non-zero result stops draining that socket for this step; its
//     remaining data is delivered at the next step. Exceptions are swallowed
//     and count as 0.
//   - One callback at a time per registration (the socket is re-armed only
//     after its step); callbacks of different sockets may run at once.
//
// Thread-safety: every operation may be called from any thread.
// Del_Socket_IO_Func, and Add_Socket_IO_Func replacing a registration, return
// only after a delivery in progress for the old registration has ended, so
// the owner may free what the callback uses; called from a hub worker (inside
// a callback) they do not wait, since a worker waiting on another could
// deadlock, and the old registration then gets nothing after its running
// callback. Set_Thread_Count must not be called from a callback.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "common/threadfunc.h"

namespace ux {

inline constexpr int32_t kAIO_Event_Data = 2;
inline constexpr int32_t kAIO_Event_Closed = 99;

// Sender of a chunk, address in network order; 0 when unknown.
struct TAIO_Source {
  uint32_t ip = 0;
  int32_t port = 0;
};

using TUX_AIO_Ret_Func = std::function<int32_t(void* userData, int32_t SocketHandle, int32_t Event,
                                               const char* Data, int32_t Datalen, const TAIO_Source& from)>;

class TUX_AIO_HUB {
 public:
  static constexpr int32_t kMaxThreads = 16;
  static constexpr int32_t kDefaultThreads = 2;
  static constexpr int32_t kMaxHandle = 65535;     // the table is indexed by handle
  static constexpr int32_t kStreamChunk = 16384;   // bytes per stream read
  static constexpr int32_t kDatagramChunk = 65536; // any IPv4 datagram fits
  static constexpr int32_t kChunksPerStep = 64;    // per socket and step, so one busy socket cannot starve the rest
  static constexpr int32_t kEventsPerWait = 32;
  // Idle workers sleep in epoll this long at most; stopping them does not wait for it.
  static constexpr int32_t kIdleWaitMsec = 1000;

  // Starts kDefaultThreads workers.
  TUX_AIO_HUB();
  // Stops the workers; remaining registrations are dropped without a call.
  ~TUX_AIO_HUB();
  TUX_AIO_HUB(const TUX_AIO_HUB&) = delete;
  TUX_AIO_HUB& operator=(const TUX_AIO_HUB&) = delete;

  // Runs min(count, 16) workers (count < 0 counts as 0): starts the missing
  // ones, ends and joins the others.
  void Set_Thread_Count(int32_t count);
  int32_t Thread_Count();

  // Registers a socket handle (1..65535) with its callback and user data; a
  // handle already registered gets the new pair. 0, or -1 (nothing changed)
  // for a handle out of range, a handle that is not a socket, or no ret_func.
  int32_t Add_Socket_IO_Func(int32_t SocketHandle, void* UserData, TUX_AIO_Ret_Func ret_func);
  // Takes the handle out of the hub; 0, or -1 for a handle out of range. Call
  // it before closing the socket.
  int32_t Del_Socket_IO_Func(int32_t SocketHandle);
  int32_t Registered_Count();

  bool check_epoll_enabled() const noexcept { return true; }
  bool use_Epoll_Mode() const noexcept { return epoll_fd_ >= 0; }
  bool use_Iocp_mode() const noexcept { return false; }

 private:
  struct TAIO_Func_Base;
  using PReg = std::shared_ptr<TAIO_Func_Base>;

  void worker(TExThread* th);
  // One epoll wait and its deliveries; false when nothing was delivered.
  bool step(char* buf);
  PReg lookup(uint64_t key);
  void deliver(const PReg& reg, uint32_t events, char* buf);
  // Reads and delivers up to kChunksPerStep chunks; false when the
  // registration is finished (closed or removed) and must not be re-armed.
  bool drain(TAIO_Func_Base& reg, uint32_t events, char* buf);
  int32_t call(TAIO_Func_Base& reg, int32_t event, const char* data, int32_t len, const TAIO_Source& from);
  // epoll entry of reg (ADD or MOD). Caller holds lock.
  bool arm_locked(const PReg& reg, bool existing);
  void wait_delivery_end(TAIO_Func_Base& reg);
  void wake_workers(bool on);

  std::mutex lock;  // guards Client_Base_Pool, next_generation_ and every epoll_ctl on registrations
  std::vector<PReg> Client_Base_Pool;
  uint32_t next_generation_ = 0;
  int epoll_fd_ = -1;
  int wake_fd_ = -1;  // eventfd, readable while workers are being stopped

  std::mutex threads_lock;  // guards Threads
  TExThread* Threads[kMaxThreads] = {};
};

// The process-wide hub, created on first use with kDefaultThreads workers.
// Its workers end when the socket layer stops (at process exit);
// Set_Thread_Count starts them again.
TUX_AIO_HUB& aio_hub();

}  // namespace ux
