#include "support/ws_file_peer.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/ws_peer.h"

namespace qlyn_test {

namespace {

constexpr const char* kPeerScript = R"PY(
import asyncio, json, struct, sys
import websockets

scenario = json.load(open(sys.argv[1]))
log = open(sys.argv[2], "a", buffering=1)
count = 0

def pattern(pos, n):
    return bytes((i % 251) for i in range(pos, pos + n))

async def act(ws, actions, trigger):
    for a in actions:
        if "send" in a:
            await ws.send(json.dumps(a["send"]))
        elif "send_raw" in a:
            await ws.send(bytes.fromhex(a["send_raw"]))
        elif "send_data" in a:
            d = a["send_data"]
            pos, end = int(trigger.get("pos", 0)), int(d["size"])
            while pos < end:
                n = min(65200, end - pos)
                await ws.send(struct.pack("<IIBBHq", 0x0988FB05, d["session"], d.get("cmd", 22), 0, n, pos)
                              + pattern(pos, n))
                pos += n
        elif "close" in a:
            await ws.close()
            return False
    return True

async def handler(ws, path=None):
    global count
    n = count
    count += 1
    rules = scenario[min(n, len(scenario) - 1)]
    try:
        await serve(ws, n, rules)
    except websockets.ConnectionClosed:
        pass

async def serve(ws, n, rules):
    async for msg in ws:
        if isinstance(msg, str):
            try:
                trigger = json.loads(msg)
            except ValueError:
                trigger = {}
            if not isinstance(trigger, dict):
                trigger = {}
            log.write(json.dumps({"conn": n, "text": trigger}) + "\n")
            key = str(trigger.get("cmd", "")).lower()
        else:
            if len(msg) < 20:
                continue
            magic, sess, cmd, z, ln, pos = struct.unpack_from("<IIBBHq", msg)
            log.write(json.dumps({"conn": n, "pkt": cmd, "session": sess, "pos": pos, "len": len(msg) - 20}) + "\n")
            key = "pkt%d" % cmd
            trigger = {"pos": pos}
        if key in rules and not await act(ws, rules[key], trigger):
            return

async def main():
    async with websockets.serve(handler, "127.0.0.1", 0, max_size=None, ping_interval=None,
                                compression=None) as server:
        print(server.sockets[0].getsockname()[1], flush=True)
        await asyncio.Future()

asyncio.run(main())
)PY";

}  // namespace

TWsFilePeer::TWsFilePeer(const std::string& scenario_json) {
  std::ofstream(dir_ / "scenario.json") << scenario_json;
  std::ofstream(dir_ / "peer.py") << kPeerScript;
  proc_ = std::make_unique<TChildProcess>(std::vector<std::string>{
      TWsPeer::kPython, dir_ / "peer.py", dir_ / "scenario.json", dir_ / "log.jsonl"});
  port_ = std::atoi(proc_->read_line(15000).c_str());
}

TWsFilePeer::~TWsFilePeer() { proc_.reset(); }

std::string TWsFilePeer::url(const std::string& path) const {
  return "ws://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> TWsFilePeer::log_lines() const {
  std::vector<std::string> out;
  std::ifstream in(dir_ / "log.jsonl");
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) out.push_back(line);
  return out;
}

std::string TWsFilePeer::pattern(int64_t from, int64_t to) {
  std::string s;
  s.reserve(size_t(to > from ? to - from : 0));
  for (int64_t i = from; i < to; ++i) s += pattern_byte(i);
  return s;
}

}  // namespace qlyn_test
