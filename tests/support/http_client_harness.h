// Test support: drives a TUX_http_client_v3 in tests — an engine that records
// its events and state changes, and bounded stepping loops (real time, or a
// fake clock advanced between steps).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/net/ux_http_cli_v3.h"

namespace qlyn_test {

// Records every internal event and every change of state; keeps the
// outcome (status, body, error) as it stood when event 5 or 6 came, before
// the engine reset its response.
class TRecordingClient : public ux::TUX_http_client_v3 {
 public:
  TRecordingClient() {
    on_state_trace = [this](int32_t from, int32_t to) { states.emplace_back(from, to); };
  }

  void on_event(int32_t ev, void* data) override {
    events.push_back(ev);
    if (ev == ux::kHttpEvComplete || ev == ux::kHttpEvFailed) {
      final_code = response() ? response()->Response_code() : 0;
      final_body = get_Response_asString();
      final_err = rt.err_code;
    }
    ux::TUX_http_client_v3::on_event(ev, data);
  }

  int count(int32_t ev) const {
    int n = 0;
    for (int32_t e : events) n += e == ev ? 1 : 0;
    return n;
  }
  bool visited(int32_t state) const {
    for (const auto& [from, to] : states)
      if (to == state) return true;
    return false;
  }

  std::vector<int32_t> events;
  std::vector<std::pair<int32_t, int32_t>> states;
  int32_t final_code = 0;
  std::string final_body;
  int32_t final_err = 0;
};

// Drops body bytes as they arrive and counts them (as the downloader takes
// them out of the response), for long downloads in benchmarks.
class TDrainingClient : public ux::TUX_http_client_v3 {
 public:
  void on_event(int32_t ev, void* data) override {
    if (ev == ux::kHttpEvResponseData && response()) {
      received += response()->body().DataLength();
      response()->body().Reset(false);
    }
    if (ev == ux::kHttpEvComplete && response()) status = response()->Response_code();
    ux::TUX_http_client_v3::on_event(ev, data);
  }
  int64_t received = 0;
  int32_t status = 0;
};

// Gives the engine its request and starts the run.
inline void start(ux::TUX_http_client_v3& e, std::unique_ptr<ux::TUX_HTTP_Cli_Request> r) {
  e.Http_cmd(std::move(r));
  e.SetActive(true);
}

// Steps e until until() holds (default: the run ended), for at most
// max_real_ms of real time; a step that moved nothing is followed by a 1 ms
// pause. True when the condition was reached.
inline bool step_until(ux::TUX_http_client_v3& e, const std::function<bool()>& until = {},
                       int max_real_ms = 15000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(max_real_ms);
  const auto done = [&] { return until ? until() : !e.Active(); };
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    const uint64_t before = e.progress();
    e.execute();
    if (e.progress() == before) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The request's callbacks land here.
struct TCallbackLog {
  std::vector<std::pair<int32_t, std::string>> results;  // (code, text) of func_http_ret_ex
  std::vector<std::pair<int32_t, std::string>> ws;       // (ev, text or binary bytes)

  void attach(ux::TUX_HTTP_Cli_Request& r) {
    r.func_http_ret_ex = ux::make_http_ret_proc(
        [this](int32_t code, const std::string& text) { results.emplace_back(code, text); });
    r.func_ws_conn_event = [this](ux::TUX_HTTP_Cli_Request*, int32_t ev, const std::string& text,
                                  const uint8_t* data, int32_t len) {
      ws.emplace_back(ev, data ? std::string(reinterpret_cast<const char*>(data), size_t(len)) : text);
    };
  }
  int ws_count(int32_t ev) const {
    int n = 0;
    for (const auto& [e, t] : ws) n += e == ev ? 1 : 0;
    return n;
  }
};

}  // namespace qlyn_test
