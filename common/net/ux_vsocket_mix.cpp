#include "common/net/ux_vsocket_mix.h"

#include <algorithm>

namespace ux {

TUX_VSocket_mix::~TUX_VSocket_mix() {
  try {
    SetActive(false);
  } catch (...) {
  }
  tcp.reset();
  udp.reset();
}

void TUX_VSocket_mix::ensure_tcp() {
  if (tcp) return;
  tcp = std::make_shared<TUX_super_tcp_socket>();
  tcp->set_Auto_Reconnect(FautoReconnect);
  if (data_event_) tcp->events.onData_Event = data_event_;
}

void TUX_VSocket_mix::ensure_udp() {
  if (udp) return;
  udp = std::make_unique<TUX_KCP_UDP_Cli>(false);
  udp->SetautoReconnect(FautoReconnect);
  if (data_event_) udp->events.onDataCome = data_event_;
}

void TUX_VSocket_mix::forward_reconnect() {
  if (func_on_reconnect) func_on_reconnect(this);
}

void TUX_VSocket_mix::set_server_host(const std::string& s) {
  f_Server_host = s;
  if (f_socket_type == st_tcp && tcp) tcp->set_Server_host(s);
  if (f_socket_type == st_udp && udp) udp->SetServerHost(s);
}

void TUX_VSocket_mix::set_socket_type(TUX_Socket_type v) {
  f_socket_type = v;
  if (v == st_tcp)
    ensure_tcp();
  else
    ensure_udp();
}

void TUX_VSocket_mix::set_autoReconnect(bool v) {
  FautoReconnect = v;
  if (tcp) tcp->set_Auto_Reconnect(v);
  if (udp) udp->SetautoReconnect(v);
}

TConn_onData_event TUX_VSocket_mix::func_on_conn_data_come() const {
  if (f_socket_type == st_tcp) return tcp ? tcp->events.onData_Event : TConn_onData_event();
  return udp ? udp->events.onDataCome : TConn_onData_event();
}

void TUX_VSocket_mix::set_func_on_conn_data_come(TConn_onData_event ev) {
  data_event_ = ev;
  if (tcp) tcp->events.onData_Event = ev;
  if (udp) udp->events.onDataCome = ev;
}

void TUX_VSocket_mix::do_activate() {
  if (f_socket_type == st_tcp) {
    ensure_tcp();
    tcp->SetActive(false);
    if (!f_Server_host.empty()) tcp->set_Server_host(f_Server_host);
    tcp->events.Reconnect_Event = [this](void*) { forward_reconnect(); };
    tcp->SetActive(true);
  } else {
    ensure_udp();
    udp->SetActive(false);
    if (!f_Server_host.empty()) udp->SetServerHost(f_Server_host);
    udp->events.func_on_create_udp = func_on_create_udp;
    udp->events.onReconnect = [this](TUX_KCP_UDP_Cli*, int32_t) { forward_reconnect(); };
    udp->Setis_udp_encrypt(f_is_udp_encrypt);
    udp->SetActive(true);
  }
}

void TUX_VSocket_mix::do_deactivate() {
  if (tcp) tcp->SetActive(false);
  if (udp) udp->SetActive(false);
}

bool TUX_VSocket_mix::connected() {
  if (f_socket_type == st_tcp) return tcp && tcp->Connected();
  return udp && udp->connected();
}

uint32_t TUX_VSocket_mix::Send_Speed() {
  if (f_socket_type == st_tcp) return tcp ? tcp->Send_Speed() : 0;
  return udp ? uint32_t(std::max(udp->send_speed(), 0)) : 0;
}

uint32_t TUX_VSocket_mix::Recv_Speed() {
  if (f_socket_type == st_tcp) return tcp ? tcp->Recv_Speed() : 0;
  return udp ? uint32_t(std::max(udp->recv_speed(), 0)) : 0;
}

void TUX_VSocket_mix::execute() {
  if (f_socket_type == st_tcp) {
    if (tcp) tcp->check_execute(true);
  } else if (udp) {
    udp->execute();
  }
}

void TUX_VSocket_mix::flush_data() {
  if (f_socket_type == st_tcp) {
    if (tcp) tcp->flashData();
  } else if (udp) {
    udp->flush();
  }
}

uint32_t TUX_VSocket_mix::DataIn_Send_Buffer_Size() {
  if (f_socket_type == st_tcp) return tcp ? tcp->DataIn_Send_Buffer_Size() : 0;
  return udp ? udp->DataIn_Send_Buffer_Size() : 0;
}

int32_t TUX_VSocket_mix::readData(void* buf, int32_t len) {
  if (f_socket_type == st_tcp) return tcp ? tcp->ReadData(buf, len) : 0;
  return udp ? udp->readData(buf, len) : 0;
}

int32_t TUX_VSocket_mix::Send_Data(const void* data, int32_t len) {
  if (f_socket_type == st_tcp) {
    if (!tcp) return 0;
    if (!tcp->Connected()) return -1;
    if (tcp->DataIn_Send_Buffer_Size() >= kTcpSendLimit) return 0;
    return tcp->WriteData(data, len);
  }
  if (!udp) return 0;
  if (!udp->connected()) return -1;
  return udp->SendData(data, len);
}

int32_t TUX_VSocket_mix::send_string(const std::string& data) {
  if (f_socket_type == st_tcp) return tcp ? tcp->WriteStrln(data, "") : 0;
  return udp ? udp->sendString(data) : 0;
}

int32_t TUX_VSocket_mix::waitString(const std::string& eol, std::string& out_str) {
  out_str.clear();
  if (f_socket_type == st_tcp) {
    if (tcp) out_str = tcp->ReadLn(eol);
  } else if (udp) {
    out_str = udp->readStringEol(eol);
  }
  return int32_t(out_str.size());
}

}  // namespace ux
