// The client engine's response path on any bytes: a real TUX_http_client_v3
// takes the input as a server's answer over TCP on loopback (written in
// pieces drawn from the input, then the connection closed) and reads it
// with process_response_header, append_content and chunk decoding as it
// arrives. The run must end within bounds; a run that completes gives the
// code and the body that the parsers give for the same bytes read at once.
// A redirect is followed only to the same server (over plain HTTP, where
// every answer after the first is a fixed one); any other is aborted before
// it connects, so that no traffic leaves loopback.
//
// Input: two bytes of split seed, then the answer.
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/net/ux_http_cli_v3.h"
#include "common/ux_common.h"
#include "fuzz_support.h"
#include "tests/support/http_client_harness.h"
#include "support/http_feed.h"
#include "tests/support/scripted_tcp_server.h"

using namespace qlyn_fuzz;
using namespace ux;
using qlyn_test::TScriptConn;
using qlyn_test::TScriptedTcpServer;

namespace {

// A run that has not ended after this long (real time) is a finding.
constexpr int kMaxRunMs = 10000;
// Servers taken in turn: each connection leaves a TIME_WAIT entry on the
// server's side, and several server ports keep long runs from running out
// of client ports.
constexpr int kServers = 4;
constexpr std::string_view kFollowUp = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

std::mutex g_mu;
std::string g_answer;
uint16_t g_seed = 0;
std::atomic<int> g_connections{0};

void serve(TScriptConn& c, int) {
  if (c.read_request(2000).empty()) return;
  std::string answer;
  uint16_t seed;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    answer = g_answer;
    seed = g_seed;
  }
  if (g_connections.fetch_add(1) > 0) answer = kFollowUp;
  TSplitter split(seed);
  for (size_t at = 0; at < answer.size();) {
    const size_t n = std::min(split.next(), answer.size() - at);
    if (!c.send(std::string_view(answer).substr(at, n))) break;
    at += n;
  }
  c.close();
}

TScriptedTcpServer& server(int i) {
  static TScriptedTcpServer* servers[kServers] = {};
  if (!servers[i]) servers[i] = new TScriptedTcpServer(serve);
  return *servers[i];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static int turn = 0;
  TByteReader head(as_text(data, size));
  const uint16_t seed = head.u16();
  const std::string_view answer = as_text(data, size).substr(std::min<size_t>(size, 2));
  {
    std::lock_guard<std::mutex> lock(g_mu);
    g_answer.assign(answer);
    g_seed = seed;
  }
  g_connections.store(0);
  const std::string url = server(turn++ % kServers).url("http", "/pkg/a.bin");

  qlyn_test::TRecordingClient e;
  e.on_state_trace = [&](int32_t, int32_t to) {
    if (to != kHttpStateOpen || !e.request()) return;
    const std::string& next = e.request()->url();
    if (!ci_equal(next.substr(0, 7), "http://") || !same_http_origin(next, url)) e.abort();
  };
  qlyn_test::start(e, TUX_HTTP_Cli_Request::CreateFromUrlGet(url, ""));
  // Stepped as step_until does, with a shorter pause after an idle step: the
  // server thread answers at once, and the pause sets the rate of the run.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kMaxRunMs);
  while (e.Active()) {
    if (std::chrono::steady_clock::now() > deadline) fail("the run did not end");
    const uint64_t before = e.progress();
    e.execute();
    if (e.progress() == before) std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  if (e.State() == kHttpStateFailed && e.final_err == kHttpErrNone) fail("failed run without an error code");

  if (e.State() == kHttpStateDone && e.redirect_count() == 0) {
    const THttpOutcome ref = feed_http_response(answer, false, true, [&] { return answer.size(); });
    if (ref.stage != THttpOutcome::kBody || !ref.complete) fail("engine completed what the parsers do not");
    if (ref.code != e.final_code || ref.body != e.final_body) fail("engine and parsers disagree on the answer");
  }
  return 0;
}
