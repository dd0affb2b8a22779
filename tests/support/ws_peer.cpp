#include "support/ws_peer.h"

#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace qlyn_test {

namespace {

constexpr const char* kServerScript = R"PY(
import asyncio, ssl, sys
import websockets
from websockets.legacy.server import WebSocketServerProtocol

class Protocol(WebSocketServerProtocol):
    async def pong(self, data=b""):
        await super().pong(data)
        if self.path == "/pings":
            await self.send("ping:" + bytes(data).decode("utf-8", "replace"))

async def handler(ws, path=None):
    if ws.path == "/close":
        await ws.close(1000, "bye")
        return
    async for msg in ws:
        if msg == "close-please":
            await ws.close(1000, "asked")
            return
        if msg == "ping-please":
            waiter = await ws.ping(b"srv")
            await asyncio.wait_for(waiter, 10)
            await ws.send("pong:srv")
            continue
        if msg == "big-please":
            await ws.send(b"x" * (17 << 20))
            continue
        await ws.send(msg)

async def main():
    tls = None
    if len(sys.argv) > 2:
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(sys.argv[1], sys.argv[2])
    async with websockets.serve(handler, "127.0.0.1", 0, create_protocol=Protocol,
                                max_size=None, ping_interval=None, ssl=tls) as server:
        print(server.sockets[0].getsockname()[1], flush=True)
        await asyncio.Future()

asyncio.run(main())
)PY";

}  // namespace

bool TWsPeer::available() {
  if (::access(kPython, X_OK) != 0) return false;
  TChildProcess probe({kPython, "-c", "import websockets; print('ok')"});
  return probe.read_line(10000) == "ok";
}

TWsPeer::TWsPeer(const std::string& cert_file, const std::string& key_file) : tls_(!cert_file.empty()) {
  std::vector<std::string> args{kPython, "-c", kServerScript};
  if (tls_) {
    args.push_back(cert_file);
    args.push_back(key_file);
  }
  proc_ = std::make_unique<TChildProcess>(args);
  port_ = std::atoi(proc_->read_line(15000).c_str());
}

std::string TWsPeer::url(const std::string& path) const {
  return (tls_ ? "wss://127.0.0.1:" : "ws://127.0.0.1:") + std::to_string(port_) + path;
}

}  // namespace qlyn_test
