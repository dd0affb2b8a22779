// The client engine's WebSocket side against Debian's python3-websockets and
// against scripted TCP servers on 127.0.0.1.
#include "common/net/ux_http_cli_v3.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/ux_common.h"
#include "support/archive_maker.h"
#include "support/http_client_harness.h"
#include "support/scripted_tcp_server.h"
#include "support/ws_peer.h"

namespace {

using namespace ux;
using qlyn_test::answer;
using qlyn_test::start;
using qlyn_test::step_until;
using qlyn_test::TCallbackLog;
using qlyn_test::TRecordingClient;
using qlyn_test::TScriptConn;
using qlyn_test::TScriptedTcpServer;
using Request = TUX_HTTP_Cli_Request;

// Opens a WebSocket connection to url with its callbacks in log.
void open_ws(TRecordingClient& e, TCallbackLog& log, const std::string& url) {
  auto r = Request::CreateFromWSConn(url, "");
  log.attach(*r);
  start(e, std::move(r));
  ASSERT_TRUE(step_until(e, [&] { return e.State() == kHttpStateWsOpen || !e.Active(); }));
  ASSERT_EQ(e.State(), kHttpStateWsOpen);
  ASSERT_EQ(log.ws_count(kWsEvConnected), 1);
}

// Steps until the log holds n messages of kind ev.
bool await_messages(TRecordingClient& e, TCallbackLog& log, int32_t ev, int n) {
  return step_until(e, [&] { return log.ws_count(ev) >= n || !e.Active(); });
}

class EngineWebSocket : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (qlyn_test::TWsPeer::available()) peer = new qlyn_test::TWsPeer();
  }
  static void TearDownTestSuite() {
    delete peer;
    peer = nullptr;
  }
  void SetUp() override {
    if (!peer) GTEST_SKIP() << "python3-websockets is not installed";
    ASSERT_TRUE(peer->ok());
  }
  static qlyn_test::TWsPeer* peer;
};
qlyn_test::TWsPeer* EngineWebSocket::peer = nullptr;

TEST_F(EngineWebSocket, TextAndBinaryMessagesOfEverySizeComeBack) {
  TRecordingClient e;
  TCallbackLog log;
  open_ws(e, log, peer->url("/echo"));
  EXPECT_EQ(e.count(kHttpEvHeader), 1);
  EXPECT_GT(e.ws_sendString("hello"), 0);
  ASSERT_TRUE(await_messages(e, log, kWsEvText, 1));
  EXPECT_EQ(log.ws.back(), std::make_pair(kWsEvText, std::string("hello")));

  const size_t sizes[] = {1, 125, 126, 65535, 65536, 1 << 20};
  int expected = 0;
  for (size_t n : sizes) {
    const std::string payload = qlyn_test::sample_bytes(n, unsigned(n));
    EXPECT_GT(e.ws_sendData(payload.data(), int32_t(n)), int32_t(n)) << n;
    ASSERT_TRUE(await_messages(e, log, kWsEvBinary, ++expected)) << n;
    EXPECT_TRUE(log.ws.back().second == payload) << n;
  }
  const std::string text = qlyn_test::sample_bytes(70000, 8, true);
  EXPECT_GT(e.ws_sendString(text), 0);
  ASSERT_TRUE(await_messages(e, log, kWsEvText, 2));
  EXPECT_TRUE(log.ws.back().second == text);
  EXPECT_EQ(e.ws_sendString(""), 0);
  EXPECT_EQ(e.ws_sendData(nullptr, 5), 0);
  EXPECT_TRUE(e.Active());
}

TEST_F(EngineWebSocket, ServerPingIsAnsweredWithItsPayload) {
  TRecordingClient e;
  TCallbackLog log;
  open_ws(e, log, peer->url("/echo"));
  e.ws_sendString("ping-please");
  ASSERT_TRUE(await_messages(e, log, kWsEvText, 1));
  EXPECT_EQ(log.ws.back().second, "pong:srv");
}

TEST_F(EngineWebSocket, CloseFromTheServerEndsWithEvent14) {
  TRecordingClient e;
  TCallbackLog log;
  open_ws(e, log, peer->url("/echo"));
  e.ws_sendString("close-please");
  ASSERT_TRUE(step_until(e));
  EXPECT_EQ(log.ws_count(kWsEvClosed), 1);
  EXPECT_EQ(e.count(kHttpEvWsClosing), 1);
  EXPECT_EQ(e.rt.err_code, kHttpErrNone);
  EXPECT_EQ(e.count(kHttpEvFailed), 0);

  TRecordingClient at_once;
  TCallbackLog log2;
  auto r = Request::CreateFromWSConn(peer->url("/close"), "");
  log2.attach(*r);
  start(at_once, std::move(r));
  ASSERT_TRUE(step_until(at_once));
  EXPECT_EQ(log2.ws_count(kWsEvConnected), 1);
  EXPECT_EQ(log2.ws_count(kWsEvClosed), 1);
}

TEST_F(EngineWebSocket, LocalCloseSendsACloseFrame) {
  TRecordingClient e;
  TCallbackLog log;
  open_ws(e, log, peer->url("/echo"));
  e.close_ws_conn();
  e.execute();
  EXPECT_FALSE(e.Active());
  EXPECT_EQ(log.ws_count(kWsEvClosed), 1);
}

TEST_F(EngineWebSocket, KeepAlivePingCarriesNowEveryEightSeconds) {
  TFakeClock clock;
  TRecordingClient e;
  TCallbackLog log;
  open_ws(e, log, peer->url("/pings"));
  ASSERT_TRUE(await_messages(e, log, kWsEvText, 1));
  EXPECT_EQ(log.ws.back().second, "ping:{\"now\":" + std::to_string(clock.now_ms()) + "}");
  clock.advance(8000);
  for (int i = 0; i < 50; ++i) e.execute();
  EXPECT_EQ(log.ws_count(kWsEvText), 1);
  clock.advance(1);
  ASSERT_TRUE(await_messages(e, log, kWsEvText, 2));
  EXPECT_EQ(log.ws.back().second, "ping:{\"now\":" + std::to_string(clock.now_ms()) + "}");
}

TEST_F(EngineWebSocket, OversizedMessageClosesTheConnection) {
  TRecordingClient e;
  TCallbackLog log;
  open_ws(e, log, peer->url("/echo"));
  e.ws_sendString("big-please");
  ASSERT_TRUE(step_until(e));
  EXPECT_EQ(e.rt.err_code, kHttpErrWsProtocol);
  EXPECT_EQ(log.ws_count(kWsEvClosed), 1);
  EXPECT_EQ(log.ws_count(kWsEvBinary), 0);
}

// ---------------------------------------------------------------- scripted peers

std::string upgrade_answer(const std::string& request) {
  const std::string lower = lower_ascii(request);
  const size_t at = lower.find("sec-websocket-key:");
  const std::string key = trim_text(request.substr(at + 18, request.find("\r\n", at) - at - 18));
  return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Accept: " + ws_accept_key(key) + "\r\n\r\n";
}

std::string server_frame(uint8_t op, const std::string& payload) {
  std::string f;
  ws_encode_frame(f, op, true, payload.data(), payload.size(), false, 0);
  return f;
}

TEST(EngineWebSocketScripted, FramesThatCameWithThe101AreDelivered) {
  TScriptedTcpServer server([](TScriptConn& c, int) {
    const std::string request = c.read_request();
    if (request.empty()) return;
    c.send(upgrade_answer(request) + server_frame(kWsOpText, "early") + server_frame(kWsOpBinary, "bin"));
    c.wait_peer_closed(5000);
  });
  TRecordingClient e;
  TCallbackLog log;
  open_ws(e, log, server.url("ws", "/"));
  ASSERT_TRUE(await_messages(e, log, kWsEvBinary, 1));
  ASSERT_EQ(log.ws.size(), 3u);
  EXPECT_EQ(log.ws[1], std::make_pair(kWsEvText, std::string("early")));
  EXPECT_EQ(log.ws[2], std::make_pair(kWsEvBinary, std::string("bin")));
  const std::string request = server.requests().at(0);
  EXPECT_NE(request.find("Upgrade: websocket\r\n"), std::string::npos);
  EXPECT_NE(request.find("connection: Upgrade\r\n"), std::string::npos);
  EXPECT_NE(request.find("Sec-WebSocket-Version: 13\r\n"), std::string::npos);
  EXPECT_EQ(request.find("permessage-deflate"), std::string::npos);
}

TEST(EngineWebSocketScripted, WrongAcceptValueFailsTheUpgrade) {
  TScriptedTcpServer server(
      answer("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
             "Sec-WebSocket-Accept: bm90IHRoZSByaWdodCBvbmU=\r\n\r\n"));
  TRecordingClient e;
  TCallbackLog log;
  auto r = Request::CreateFromWSConn(server.url("ws", "/"), "");
  log.attach(*r);
  start(e, std::move(r));
  ASSERT_TRUE(step_until(e));
  EXPECT_EQ(e.final_err, kHttpErrWsProtocol);
  EXPECT_EQ(log.ws_count(kWsEvConnected), 0);
}

TEST(EngineWebSocketScripted, ProtocolViolationsAndTruncatedFramesClose) {
  struct Case {
    std::string frames;
    uint16_t close_code;
  };
  const Case cases[] = {
      {std::string("\xC1\x01x", 3), kWsCloseProtocolError},                 // RSV1 never negotiated
      {std::string("\x82\x7F\x00\x00\x00\x00\x10\x00\x00\x00", 10), kWsCloseTooBig},  // 256 MiB announced
      {std::string("\x89\x7E\x00\x80", 4) + std::string(128, 'p'), kWsCloseProtocolError},
  };
  for (const Case& c : cases) {
    std::string close_seen;  // written by the server's thread, read after it ended
    std::atomic<bool> script_ended{false};
    {
      TScriptedTcpServer server([&](TScriptConn& conn, int) {
        struct TEndMark {
          std::atomic<bool>& ended;
          ~TEndMark() { ended.store(true); }
        } end_mark{script_ended};
        const std::string request = conn.read_request();
        if (request.empty()) return;
        conn.send(upgrade_answer(request) + c.frames);
        // Client frames (a keep-alive ping first) until its close frame:
        // 2 header bytes, 4 of mask, then the payload.
        for (int i = 0; i < 20; ++i) {
          const std::string head = conn.read_exact(2, 5000);
          if (head.empty()) return;
          std::string rest = conn.read_exact(4 + (uint8_t(head[1]) & 0x7F), 5000);
          if ((uint8_t(head[0]) & 0x0F) != kWsOpClose || rest.size() != 6) continue;
          uint32_t key = 0;
          for (int k = 0; k < 4; ++k) key |= uint32_t(uint8_t(rest[size_t(k)])) << (8 * k);
          ws_mask_bytes(rest.data() + 4, 2, key, 0);
          close_seen = rest.substr(4, 2);
          return;
        }
      });
      TRecordingClient e;
      TCallbackLog log;
      auto r = Request::CreateFromWSConn(server.url("ws", "/"), "");
      log.attach(*r);
      start(e, std::move(r));
      ASSERT_TRUE(step_until(e));
      EXPECT_EQ(e.rt.err_code, kHttpErrWsProtocol);
      EXPECT_EQ(log.ws_count(kWsEvConnected), 1);
      EXPECT_EQ(log.ws_count(kWsEvClosed), 1);
      EXPECT_EQ(log.ws.size(), 2u);
      // The server stops its script when destroyed: let it read the close frame first.
      for (int i = 0; i < 5000 && !script_ended.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(close_seen.size(), 2u);
    EXPECT_EQ(uint16_t(uint8_t(close_seen[0]) << 8 | uint8_t(close_seen[1])), c.close_code);
  }
}

TEST(EngineWebSocketScripted, LostConnectionReconnectsWithTheSameKey) {
  TFakeClock clock;
  TScriptedTcpServer server([](TScriptConn& c, int index) {
    const std::string request = c.read_request();
    if (request.empty()) return;
    c.send(upgrade_answer(request));
    if (index == 0) {
      c.close();  // dropped without a close frame
    } else {
      c.wait_peer_closed(10000);
    }
  });
  TRecordingClient e;
  TCallbackLog log;
  open_ws(e, log, server.url("ws", "/"));
  // The transport notices the loss and asks for a reconnection.
  ASSERT_TRUE(step_until(e, [&] { return e.State() == kHttpStateDelay; }));
  clock.advance(TUX_http_client_v3::kWsReconnectDelayMs);
  ASSERT_TRUE(step_until(e, [&] { return log.ws_count(kWsEvConnected) == 2; }));
  // The new attempt was given 3 s on top of the usual 8 to connect.
  EXPECT_EQ(e.request()->timer.at_start, clock.now_ms() + TUX_http_client_v3::kWsReconnectSlackMs);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  const auto key_of = [](const std::string& r) {
    const size_t at = r.find("Sec-WebSocket-Key: ");
    return r.substr(at, r.find("\r\n", at) - at);
  };
  EXPECT_EQ(key_of(requests[0]), key_of(requests[1]));
  EXPECT_EQ(key_of(requests[0]).size(), 19u + 24u);
  EXPECT_EQ(log.ws_count(kWsEvClosed), 0);
}

}  // namespace
