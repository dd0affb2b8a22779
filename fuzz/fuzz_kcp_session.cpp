// The KCP client session on any datagrams: a live session, stepped on a fake
// clock over a scripted UDP socket (no network), takes control datagrams,
// KCP datagrams (plain or scrambled) and datagrams from other senders in any
// order, between steps, sends, reads and closes. Every datagram it sends is
// a 13-byte control datagram or a KCP datagram within the session's mtu, and
// a read never returns more than asked.
//
// Input: a sequence of operations, one byte each (low 3 bits the kind,
// higher bits its options) followed by its operands:
//   0  control datagram: 13 bytes; bit 3 puts the session id in value1,
//      bit 4 writes the magic
//   1  KCP datagram: u16 length and the bytes; bit 3 puts the session id in
//      the conv of its first segment
//   2  the same from another port (to be dropped)
//   3  clock: u16 ms, then a step
//   4  a step
//   5  send: u16 length
//   6  read: u16 buffer size; bit 3 reads up to CR LF instead
//   7  bit 3 close, bit 4 scrambling on / off, bit 5 reconnect on / off
#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "common/net/ux_kcp_udp_class.h"
#include "common/net/ux_socket_common.h"
#include "fuzz_support.h"

using namespace qlyn_fuzz;
using namespace ux;

namespace {

constexpr int kMaxOperations = 256;
constexpr uint32_t kServerIp = 0x0100007F;  // 127.0.0.1 in network order
constexpr int32_t kServerPort = 56020;

// A UDP socket that hands out queued datagrams and checks what is sent.
class TScriptedUdp : public IUDP_Socket {
 public:
  struct TDatagram {
    std::string bytes;
    uint32_t ip;
    uint32_t port;
  };
  std::deque<TDatagram> inbox;
  uint32_t session_id = 0;  // learnt from the control datagrams sent

  int32_t Get_Socket_Handle() override { return 3; }
  bool Get_Active() override { return true; }
  int32_t Get_Bind_Port() override { return 40000; }
  int32_t Socket_Kind() override { return 2; }
  int32_t ReadData(void* data, int32_t buflen, int32_t, std::string& from_ip, int32_t& from_port) override {
    uint32_t ip = 0, port = 0;
    const int32_t n = ReadData(data, buflen, ip, port);
    from_ip = ipv4_text(ip);
    from_port = int32_t(port);
    return n;
  }
  int32_t ReadData(void* data, int32_t buflen, int32_t, uint32_t& from_ip, uint32_t& from_port) override {
    return ReadData(data, buflen, from_ip, from_port);
  }
  int32_t ReadData(void* data, int32_t buflen, uint32_t& from_ip, uint32_t& from_port) override {
    if (inbox.empty() || buflen <= 0) return 0;
    const TDatagram d = std::move(inbox.front());
    inbox.pop_front();
    const int32_t n = std::min<int32_t>(buflen, int32_t(d.bytes.size()));
    std::memcpy(data, d.bytes.data(), size_t(n));
    from_ip = d.ip;
    from_port = d.port;
    return n;
  }
  int32_t WriteDataTo(const std::string& ip, int32_t port, const void* data, int32_t len) override {
    return WriteDataTo(parse_ipv4(ip), port, data, len);
  }
  int32_t WriteDataTo(uint32_t ip, int32_t port, const void* data, int32_t len) override {
    if (ip != kServerIp || port != kServerPort) fail("datagram sent to another address");
    if (data == nullptr || len <= 0) fail("empty datagram sent");
    if (len == kKcpCtlSize) {
      TUX_KCP_Ctl_Datagram c;
      if (!TUX_KCP_Ctl_Datagram::decode(static_cast<const char*>(data), len, c)) fail("bad control datagram sent");
      if (c.value1 == 0 || c.value2 != 0) fail("control datagram without the session id");
      session_id = c.value1;
    } else if (len < kKcpMinDatagram || len > TUX_KCP_UDP_Cli::kMtu) {
      fail("KCP datagram outside the mtu");
    }
    return len;
  }
  void ReBind(int32_t) override {}
};

void put32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = char(v >> (8 * i));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TFakeClock clock;
  auto udp = std::make_shared<TScriptedUdp>();
  TUX_Socket_Encoder scrambler;
  {
    TUX_KCP_UDP_Cli session(false);
    session.events.func_on_create_udp = [udp] { return udp; };
    session.SetServerHost("127.0.0.1:56020");
    session.SetActive(true);
    std::string payload(70000, '\0');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = char(i * 31);
    std::vector<char> buf;

    TByteReader in(as_text(data, size));
    for (int op = 0; op < kMaxOperations && !in.empty(); ++op) {
      const uint8_t code = in.u8();
      switch (code & 7) {
        case 0: {
          std::string d(in.bytes(kKcpCtlSize));
          d.resize(kKcpCtlSize, '\0');
          if (code & 8) put32(d, 5, udp->session_id);
          if (code & 16) d[1] = char(kKcpCtlMagic & 0xFF), d[2] = char(kKcpCtlMagic >> 8);
          udp->inbox.push_back({d, kServerIp, kServerPort});
          break;
        }
        case 1:
        case 2: {
          std::string d(in.bytes(in.u16()));
          if ((code & 8) && d.size() >= 4) put32(d, 0, udp->session_id);
          if (session.is_udp_encrypt() && !d.empty()) scrambler.Encode(d.data(), int32_t(d.size()));
          udp->inbox.push_back({d, kServerIp, uint32_t((code & 7) == 1 ? kServerPort : kServerPort + 1)});
          break;
        }
        case 3:
          clock.advance(in.u16());
          session.execute();
          break;
        case 4:
          session.execute();
          break;
        case 5:
          (void)session.SendData(payload.data(), std::min<int32_t>(in.u16(), int32_t(payload.size())));
          break;
        case 6:
          if (code & 8) {
            (void)session.readStringEol("\r\n");
          } else {
            buf.resize(in.u16());
            const int32_t n = session.readData(buf.data(), int32_t(buf.size()));
            if (n < 0 || size_t(n) > buf.size()) fail("read returned more than asked");
          }
          break;
        default:
          if (code & 8) session.close();
          if (code & 16) session.Setis_udp_encrypt(!session.is_udp_encrypt());
          if (code & 32) session.SetautoReconnect(!session.autoReconnect());
          break;
      }
    }
    session.SetActive(false);
  }
  return 0;
}
