// ux_http_cli_v3: TUX_http_client_v3, one HTTP/1.1 exchange — or one
// WebSocket connection — as a cooperative state machine over the mixed
// transport (TCP, TLS over TCP, or KCP over UDP).
//
// Each execute() does one bounded step and returns: it reads at most
// kReadChunksPerStep x kReadChunk bytes, offers the request body until the
// transport is full, and never waits on the network. The owner (a pool
// worker or a blocking caller) steps the engine until it leaves the run
// (Active() false). Progress is reported through the virtual on_event, which
// subclasses override (the file downloader, the WebSocket file clients).
//
// Errors never propagate as exceptions from the network: they end the run in
// state kHttpStateFailed (event kHttpEvFailed) with rt.err_code set to one of
// the codes below. Exceptions raised by the caller's callbacks are
// swallowed; an exception from a subclass's on_event propagates to the
// caller of execute().
//
// Thread-safety: one thread steps an engine at a time, and every callback
// runs on it. abort(), close_ws_conn() and TimeOut_sec may be used from
// another thread; they only store flags that the next step acts on. The
// transport's data callback (the WebSocket frame pump) runs on the thread on
// which the transport delivers data; the frame decoder has its own lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "common/net/ux_cli_socket.h"
#include "common/net/ux_http_callbacks.h"
#include "common/net/ux_http_request.h"
#include "common/net/ux_http_response.h"
#include "common/net/ux_http_url.h"
#include "common/net/ux_vsocket_mix.h"
#include "common/net/ux_ws_frame.h"
#include "common/ux_classes.h"

namespace ux {

// ---------------------------------------------------------------- codes

// States: X(name, code, trace text).
#define UX_HTTP_CLI_STATES(X)                                          \
  X(kHttpStateGivenUp, -1, "given-up")     /* no more attempts */      \
  X(kHttpStateOpen, 0, "open")             /* open a connection */     \
  X(kHttpStateConnecting, 1, "connecting") /* wait for the transport */\
  X(kHttpStateConnected, 2, "connected")   /* set and left in a step */\
  X(kHttpStateSendBody, 3, "send-body")                                \
  X(kHttpStateReceive, 4, "receive")                                   \
  X(kHttpStateDone, 5, "done")                                         \
  X(kHttpStateFailed, 6, "failed")                                     \
  X(kHttpStateDelay, 9, "delay")           /* wait, then next state */ \
  X(kHttpStateWsClosing, 14, "ws-closing")                             \
  X(kHttpStateWsOpen, 15, "ws-open")

// Error codes left in rt.err_code: X(name, code, message).
#define UX_HTTP_CLI_ERRORS(X)                                                                   \
  X(kHttpErrNone, 0, "no error")                                                                \
  X(kHttpErrConnect, -1, "the connection could not be made (timeout, or no TLS for a TLS URL)") \
  X(kHttpErrSend, -2, "the request body could not be sent")                                     \
  X(kHttpErrRecvTimeout, -3, "no response data within the receive timeout")                     \
  X(kHttpErrRedirects, -5, "too many redirects")                                                \
  X(kHttpErrBadRequest, -6, "the URL or the method cannot be sent")                             \
  X(kHttpErrBadResponse, -7, "malformed response (status line, header, length, range or coding)") \
  X(kHttpErrBodyTooLarge, -8, "the response body exceeds its buffer")                           \
  X(kHttpErrWsProtocol, -9, "WebSocket handshake or framing violated")                          \
  X(kHttpErrConnLost, -10, "the connection closed before the response was complete")            \
  X(kHttpErrHttpStatus, -11, "error status whose body did not arrive with its header")          \
  X(kHttpErrAborted, -12, "aborted by the caller")                                             \
  X(kHttpErrTls, -13, "the TLS handshake failed (tls_failure() says why)")

#define UX_HTTP_CLI_CONST(name, code, text) inline constexpr int32_t name = code;
UX_HTTP_CLI_STATES(UX_HTTP_CLI_CONST)
UX_HTTP_CLI_ERRORS(UX_HTTP_CLI_CONST)
#undef UX_HTTP_CLI_CONST

// Internal events passed to on_event.
inline constexpr int32_t kHttpEvConnectTimeout = 1;  // a connection attempt timed out
inline constexpr int32_t kHttpEvConnected = 2;       // connected; request not sent yet
inline constexpr int32_t kHttpEvRequestSent = 3;     // header and body handed to the transport
inline constexpr int32_t kHttpEvHeader = 4;          // a final, non-redirect header accepted
inline constexpr int32_t kHttpEvComplete = 5;        // state 5 reached
inline constexpr int32_t kHttpEvFailed = 6;          // state 6 reached, or a connection timeout
inline constexpr int32_t kHttpEvBodySent = 11;       // part of the body handed to the transport
inline constexpr int32_t kHttpEvResponseData = 12;   // body bytes arrived, and once at completion
inline constexpr int32_t kHttpEvWsClosing = 14;      // a WebSocket connection is being closed

// Codes of the request's func_ws_conn_event.
inline constexpr int32_t kWsEvClosed = 14;
inline constexpr int32_t kWsEvConnected = 15;
inline constexpr int32_t kWsEvText = 16;    // text in ev_data
inline constexpr int32_t kWsEvBinary = 17;  // bytes in data, len

// "given-up", "open", ...; "state <n>" for other codes.
std::string http_cli_state_name(int32_t state);
// The message of an error code; "error <n>" for other codes.
std::string http_cli_error_text(int32_t err);

// ---------------------------------------------------------------- engine

class TUX_http_client_v3 {
 public:
  // Connection attempts: each may take kConnectTimeoutMs; attempt n failing
  // waits n x kRetryStepMs before the next; after kMaxConnectAttempts the
  // engine gives up (state -1).
  static constexpr int64_t kConnectTimeoutMs = 8000;
  static constexpr int64_t kRetryStepMs = 3000;
  static constexpr int32_t kMaxConnectAttempts = 5;
  // Body upload: failure after this long without progress; no new body
  // bytes while the transport holds more than kSendBacklogLimit unsent
  // (below the TCP transport's own 2 MiB refusal point).
  static constexpr int64_t kSendStallMs = 6000;
  static constexpr uint32_t kSendBacklogLimit = 1969152;
  // Response reading per step.
  static constexpr int32_t kReadChunk = 65536;
  static constexpr int32_t kReadChunksPerStep = 21;
  // Receive timeout: min(TimeOut_sec x 1000, kMaxRecvTimeoutMs); a
  // TimeOut_sec of 0 or less means kMaxRecvTimeoutMs.
  static constexpr int64_t kMaxRecvTimeoutMs = 30000;
  static constexpr int32_t kDefaultTimeOutSec = 50;
  // The redirect that brings the count to this fails (14 are followed).
  static constexpr int32_t kMaxRedirects = 15;
  // Body bytes read together with an error status's header.
  static constexpr int32_t kErrorBodyPeek = 32768;
  // WebSocket keep-alive ping interval and reconnection timing.
  static constexpr int64_t kWsPingIntervalMs = 8000;
  static constexpr int64_t kWsReconnectDelayMs = 3500;
  static constexpr int64_t kWsReconnectSlackMs = 3000;  // extra connect time after it: 11 s
  // A WebSocket frame is offered to the transport this many times, 1 ms
  // apart with a flush between tries, before giving up.
  static constexpr int32_t kWsSendTries = 20;
  // Masking keys are drawn from this range (4 bytes, little-endian).
  static constexpr int64_t kWsMaskKeyMin = 10000;
  static constexpr int64_t kWsMaskKeyMax = 117440511;

  struct TRt {
    int64_t at_last_pop_event = 0;  // for subclasses; not read by the engine
    int32_t err_code = 0;
    int64_t at_last_ws_popo = 0;    // now_ms of the last keep-alive ping
    int32_t counter_connect_error = 0;
  };

  struct TDelayRun {
    bool enabled = false;
    int32_t next_step_state = 0;
    int64_t at_delay_run = 0;  // now_ms at which the delay ends
  };

  TUX_http_client_v3();
  virtual ~TUX_http_client_v3();
  TUX_http_client_v3(const TUX_http_client_v3&) = delete;
  TUX_http_client_v3& operator=(const TUX_http_client_v3&) = delete;

  // ---- virtual operations (subclasses override on_event, on_ws_idle,
  // on_ws_connected, on_ws_closed, Reset and execute)

  // ev: kHttpEv*; data: nothing from the engine. Base: on kHttpEvComplete
  // and kHttpEvFailed, the request's func_http_ret and func_http_ret_ex
  // (their exceptions swallowed).
  virtual void on_event(int32_t ev, void* data);
  // A new TLS handler from the registered factory; null without one.
  virtual std::shared_ptr<ISocket_SSL> get_ssl_handler();
  // Every step while a WebSocket connection is up.
  virtual void on_ws_idle() {}
  // The transport started over after losing its connection (WebSocket
  // requests: re-open and repeat the handshake kWsReconnectDelayMs later).
  virtual void on_reconnect(void* sender);
  virtual void on_ws_connected() {}
  virtual void on_ws_closed() {}
  // Back to a fresh engine: flags, counters, timeout, proxy, the engine's
  // own TLS factory; the run left without closing anything; response and
  // request reset.
  virtual void Reset();
  // One step.
  virtual void execute();

  // ---- operations

  // Takes the request (the previous one is freed) and leaves the run without
  // any other effect; set Active(true) next.
  TUX_http_client_v3* Http_cmd(std::unique_ptr<TUX_HTTP_Cli_Request> Requ);
  // The next step fails the run (rt.err_code kHttpErrAborted).
  void abort() { is_AbortFlag.store(true); }
  // The next step closes the WebSocket connection (state 14).
  void close_ws_conn() { close_ws_requested_.store(true); }

  std::string get_Response_asString();
  // One text / binary frame; the bytes the transport accepted, 0 when none
  // (empty payload, not connected, transport full).
  int32_t ws_sendString(std::string_view str);
  int32_t ws_sendData(const void* data, int32_t len);

  // Blocking helpers: one engine stepped on the calling thread while the
  // state is 0 to 4; the body when the run completed (state 5), else empty.
  // A step that moved nothing is followed by a 1 ms pause.
  static std::string HttpGet(std::string_view url, std::string_view headers);
  static std::string HttpPost(std::string_view url, std::string_view postData, std::string_view headers);
  static std::string HttpPost(std::string_view url, std::unique_ptr<TStream> Datastream,
                              std::string_view headers);

  // The process's factory: the TLS layer registers it once at start;
  // replacing or clearing it (nullptr) is safe on any thread. Without one,
  // every https and wss connection fails (kHttpErrConnect).
  static void set_ssl_handler_factory(TUX_SSL_Handler_Factory factory);
  static TUX_SSL_Handler_Factory ssl_handler_factory();
  // This engine's own factory (its trust settings), used instead of the
  // process's from the next connection on; nullptr (and Reset): the
  // process's again.
  void use_ssl_handler_factory(TUX_SSL_Handler_Factory factory) { own_ssl_factory_ = std::move(factory); }
  // Why the last TLS handshake of this engine failed; reason none when it
  // did not. Kept after the run ended, until the next connection.
  const TSSL_Failure& tls_failure() const { return tls_failure_; }
  // Steps engine on the calling thread while its state is 0 to 4, pausing
  // 1 ms after a step that moved nothing (see progress()).
  static void run_to_end(TUX_http_client_v3& engine);

  // ---- properties
  bool Active() const { return FActive; }
  void SetActive(bool v);
  int32_t State() const { return f_state.load(); }
  int32_t TimeOut_sec() const { return FTimeOut.load(); }
  void set_TimeOut_sec(int32_t s) { FTimeOut.store(s); }
  bool KeeypAlive() const { return FKeeypAlive; }
  void set_KeeypAlive(bool v) { FKeeypAlive = v; }
  const TUX_HTTP_Proxy& proxy() const { return fproxy; }
  void set_proxy(std::string_view text);
  const std::string& uuid() const { return f_cli_uuid; }
  uint32_t Recv_Speed() const;
  uint32_t send_Speed() const;
  const std::string& default_socket_mode() const { return f_default_socket_mode; }
  void set_default_socket_mode(std::string_view m) { f_default_socket_mode = std::string(m); }
  bool is_https() const { return is_https_mode; }
  int32_t redirect_count() const { return Redir_Count; }
  // Grows with every change of state and every byte moved; equal values
  // before and after a step mean the step did nothing.
  uint64_t progress() const { return progress_; }

  TUX_HTTP_Cli_Request* request() { return Request.get(); }
  TUX_HTTP_Cli_Response* response() { return Response.get(); }
  TUX_VSocket_mix* transport() { return Socket.get(); }

  TRt rt;
  TDelayRun delay_run;
  bool recycleAble = true;
  std::shared_ptr<ITimer_Task> timer;
  Tfunc_on_create_udp func_on_create_udp;
  // Called on every change of state with (from, to); for diagnostics.
  std::function<void(int32_t from, int32_t to)> on_state_trace;

 protected:
  // Every change of state goes through here.
  void set_state(int32_t to);
  // After ms, continue in state target (through kHttpStateDelay).
  void delay_to_state(int64_t ms, int32_t target);
  // Sends one frame (FIN set, masked); see ws_sendString.
  int32_t send_ws_frame(uint8_t opcode, const void* payload, size_t len);
  int32_t ws_send_ping(std::string_view text);
  int32_t ws_send_pong(const void* data, size_t len);
  // Fails the run with err (state 6).
  void fail(int32_t err);

 private:
  // Per-state steps.
  void step_open();
  void step_connecting(int64_t now);
  // The transport's TLS handshake failed on this attempt.
  bool tls_handshake_failed() const;
  void step_send_body(int64_t now);
  void step_ws_open(int64_t now);
  void step_ws_closing();
  void finish_run(int32_t ev);

  bool open_connection(const std::string& url);
  void send_request_header();
  void prepare_response();
  void receive_response();
  // Reads the header; true once a final header has been dealt with.
  bool process_response_header(int64_t now);
  // Takes a complete header block; decides between redirect, failure,
  // WebSocket upgrade and an ordinary body.
  void accept_header(const std::string& block, int64_t now);
  void follow_redirect(int32_t code, const std::string& location);
  // Appends body bytes; false (and the run failed) when they cannot be taken.
  bool take_body(const char* data, int32_t len, int64_t now);
  // State 5 when the body is complete; with the connection gone, a body
  // that ends at close completes and any other fails.
  void check_complete(bool transport_drained);
  // Takes what came with a header and up to kErrorBodyPeek more: state 5
  // when that completes the body, else the run fails with err.
  void finish_with_peek(int32_t err, int64_t now);
  bool check_ws_accept();
  void upgrade_to_ws(int64_t now);
  // Feeds bytes to the frame decoder and handles each complete message.
  void ws_feed(const char* data, size_t len);
  bool ws_frame_pump(void* conn, Tfifo_Mem_stream& buf);
  void handle_ws_frame(TUX_WS_Frame_Decoder::TMessage& msg);
  // Reads from what is left of the last header read, then the transport.
  int32_t pull(char* buf, int32_t len);
  int64_t recv_timeout_ms() const;
  void note_progress() { ++progress_; }

  std::shared_ptr<TUX_VSocket_mix> Socket;
  std::atomic<int32_t> FTimeOut{kDefaultTimeOutSec};
  bool FKeeypAlive = false;
  bool FHeader_Have_Sent = false;
  std::string f_cli_uuid;
  bool is_https_mode = false;
  std::atomic<bool> is_AbortFlag{false};
  std::atomic<bool> close_ws_requested_{false};
  int32_t Redir_Count = 0;
  TUX_HTTP_Proxy fproxy;
  bool FActive = false;
  std::atomic<int32_t> f_state{kHttpStateOpen};
  std::string f_default_socket_mode = "TCP";
  std::unique_ptr<TUX_HTTP_Cli_Response> Response;
  std::unique_ptr<TUX_HTTP_Cli_Request> Request;

  TUX_SSL_Handler_Factory own_ssl_factory_;
  std::shared_ptr<ISocket_SSL> tls_;  // the handler of the current connection
  TSSL_Failure tls_failure_;
  TUX_Http_Header_Reader header_reader_;
  std::string pending_;             // bytes read past a header, not yet consumed
  std::unique_ptr<char[]> read_buf_;  // kReadChunk bytes
  uint32_t last_backlog_ = 0;       // transport's unsent bytes at the last body step
  int64_t connect_slack_ms_ = 0;    // added to the next attempt's connect time
  uint64_t progress_ = 0;           // grows with every state change or byte moved
  std::recursive_mutex ws_lock_;    // guards ws_decoder_
  TUX_WS_Frame_Decoder ws_decoder_;
  uint16_t ws_close_code_ = kWsCloseNormal;  // sent in the close frame
};

}  // namespace ux
