// Test support: a scripted file-transfer server — Debian's python3-websockets
// run by /usr/bin/python3 on an ephemeral 127.0.0.1 port, stopped by the
// destructor. It answers by a scenario and logs what it received.
//
// Scenario: a JSON array with one object per connection (the last one serves
// every later connection). Each object maps a trigger — a received text
// message's "cmd" (lower-case) or "pkt<command>" for a received data packet
// — to a list of actions:
//   {"send": {...}}             a text message (the object as JSON)
//   {"send_raw": "hex"}         a binary frame of these bytes
//   {"send_data": {"session": S, "size": N, "cmd": 22}}
//                               data packets of the pattern byte (i % 251) at
//                               position i, from the trigger's "pos" to N
//   {"close": 1}                a close frame; the connection ends
// Log (log_lines()): one JSON object per received message —
//   {"conn": n, "text": <message>} or
//   {"conn": n, "pkt": cmd, "session": s, "pos": p, "len": payload bytes}.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/scoped_env.h"

namespace qlyn_test {

class TWsFilePeer {
 public:
  explicit TWsFilePeer(const std::string& scenario_json);
  ~TWsFilePeer();
  TWsFilePeer(const TWsFilePeer&) = delete;
  TWsFilePeer& operator=(const TWsFilePeer&) = delete;

  bool ok() const { return port_ > 0; }
  // "ws://127.0.0.1:<port>" followed by path.
  std::string url(const std::string& path) const;
  std::vector<std::string> log_lines() const;

  // The byte the peer sends at position i.
  static char pattern_byte(int64_t i) { return char(i % 251); }
  static std::string pattern(int64_t from, int64_t to);

 private:
  TTempDir dir_{"qlyn_wsfpeer"};
  std::unique_ptr<TChildProcess> proc_;
  int port_ = 0;
};

}  // namespace qlyn_test
