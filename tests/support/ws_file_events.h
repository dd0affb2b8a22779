// Test support: the outward events of the WebSocket file-transfer clients,
// recorded from any thread (pool workers too), and the start of a client
// stepped by the test itself.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/net/ux_http_callbacks.h"
#include "common/net/ux_http_request.h"
#include "common/net/ux_ws_file_proto.h"

namespace qlyn_test {

class TWsFileEvents {
 public:
  ux::TUX_WS_conn_event fn() {
    return [this](ux::TUX_HTTP_Cli_Request*, int32_t ev, const std::string& text, const uint8_t*, int32_t) {
      std::lock_guard<std::mutex> g(mu_);
      list_.emplace_back(ev, text);
    };
  }
  std::vector<std::pair<int32_t, std::string>> list() const {
    std::lock_guard<std::mutex> g(mu_);
    return list_;
  }
  std::vector<int32_t> codes() const {
    std::vector<int32_t> out;
    for (const auto& [c, t] : list()) out.push_back(c);
    return out;
  }
  int count(int32_t code) const {
    int n = 0;
    for (int32_t c : codes()) n += c == code ? 1 : 0;
    return n;
  }
  // The text of the last event code; empty when none came.
  std::string last(int32_t code) const {
    const auto l = list();
    for (auto it = l.rbegin(); it != l.rend(); ++it)
      if (it->first == code) return it->second;
    return {};
  }
  // A final event (113, 114, 103, 104, 105) came last.
  bool ended() const {
    const std::vector<int32_t> c = codes();
    return !c.empty() && (c.back() == ux::kWsEvUploadOk || c.back() == ux::kWsEvUploadError ||
                          c.back() == ux::kWsEvDownloadOk || c.back() == ux::kWsEvDownloadError ||
                          c.back() == ux::kWsEvDownloadAbort);
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::pair<int32_t, std::string>> list_;
};

// Gives client a WebSocket request for url carrying the "key" header, its
// parameters and events, and starts its run.
template <class Client>
void start_ws_file_client(Client& c, const std::string& url, const std::string& key, const std::string& params,
                          TWsFileEvents& ev) {
  c.raw_params = params;
  c.on_out_ws_event = ev.fn();
  c.recycleAble = false;
  auto r = ux::TUX_HTTP_Cli_Request::CreateFromWSConn(url, "key: " + key);
  r->set_tag("t1");
  c.Http_cmd(std::move(r));
  c.SetActive(true);
}

}  // namespace qlyn_test
