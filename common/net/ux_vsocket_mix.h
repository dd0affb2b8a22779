// ux_vsocket_mix: TUX_VSocket_mix, the one byte-stream transport the HTTP
// client engine talks to, whatever the URL chose: a buffered TCP client
// socket (TUX_super_tcp_socket, plain or with TLS) or a KCP session over UDP
// (TUX_KCP_UDP_Cli). Every operation forwards to the object of the selected
// kind; both objects may exist (after the URL's kind changed between
// exchanges), only the selected one is used.
//
// The transport reports connection loss only through connected(), a
// Send_Data result of -1 and func_on_reconnect; it raises no events of its
// own and never throws.
//
// Threads: all operations run on the thread that steps the engine; the KCP
// session has no thread of its own here. The data callback and the
// reconnect notification are raised from within execute(). The objects'
// receive and send buffers carry their own locks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/net/ux_cli_socket.h"
#include "common/net/ux_kcp_udp_class.h"
#include "common/ux_classes.h"

namespace ux {

enum TUX_Socket_type : int32_t { st_tcp = 0, st_udp = 1 };

class TUX_VSocket_mix;
// Called when the underlying socket or session starts over after losing its
// connection.
using TUX_VSocket_reconnect_event = std::function<void(TUX_VSocket_mix* Sender)>;

class TUX_VSocket_mix : public TActive_Base_Class {
 public:
  // TCP back-pressure: Send_Data queues nothing while this many bytes or
  // more wait to be sent.
  static constexpr uint32_t kTcpSendLimit = 2097152;

  TUX_VSocket_mix() = default;
  ~TUX_VSocket_mix() override;

  const std::string& server_host() const { return f_Server_host; }
  // "host:port"; passed on to the selected object when it exists.
  void set_server_host(const std::string& s);
  TUX_Socket_type socket_type() const { return f_socket_type; }
  // Selects the kind and creates its object when missing.
  void set_socket_type(TUX_Socket_type v);
  bool autoReconnect() const { return FautoReconnect; }
  void set_autoReconnect(bool v);
  bool is_udp_encrypt() const { return f_is_udp_encrypt; }
  void set_is_udp_encrypt(bool v) { f_is_udp_encrypt = v; }
  // The data callback of the selected object; none without it.
  TConn_onData_event func_on_conn_data_come() const;
  // Given to every existing object (and to objects created later).
  void set_func_on_conn_data_come(TConn_onData_event ev);

  // False without the selected object.
  bool connected();
  uint32_t Send_Speed();
  uint32_t Recv_Speed();

  // One step of the selected object.
  void execute();
  void flush_data();
  // Bytes accepted but not yet sent by the selected object.
  uint32_t DataIn_Send_Buffer_Size();
  // Removes up to len received bytes; 0 without the selected object.
  int32_t readData(void* buf, int32_t len);
  // A piece is accepted whole or not at all: its length, 0 (try later) or
  // -1 when not connected; 0 without the selected object.
  int32_t Send_Data(const void* data, int32_t len);
  int32_t send_string(const std::string& data);
  // out_str := the bytes before the first eol, removed with eol; empty
  // (nothing removed) when eol has not arrived. The length of out_str.
  int32_t waitString(const std::string& eol, std::string& out_str);

  // The objects, for the engine's TLS set-up and for inspection; null when
  // not created.
  TUX_super_tcp_socket* tcp_socket() const { return tcp.get(); }
  TUX_KCP_UDP_Cli* udp_session() const { return udp.get(); }

  Tfunc_on_create_udp func_on_create_udp;
  TUX_VSocket_reconnect_event func_on_reconnect;

 protected:
  void do_activate() override;
  void do_deactivate() override;

 private:
  void ensure_tcp();
  void ensure_udp();
  void forward_reconnect();

  std::shared_ptr<TUX_super_tcp_socket> tcp;
  std::unique_ptr<TUX_KCP_UDP_Cli> udp;
  std::string f_Server_host;
  TUX_Socket_type f_socket_type = st_tcp;
  bool f_is_udp_encrypt = false;
  bool FautoReconnect = false;
  TConn_onData_event data_event_;
};

}  // namespace ux
