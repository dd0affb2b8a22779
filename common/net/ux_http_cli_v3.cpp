#include "common/net/ux_http_cli_v3.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "common/ext_mem.h"
#include "common/ux_common.h"

namespace ux {

namespace {

// A function-local static: the TLS layer registers from its own static
// initialiser, which may run before this unit's.
struct TSSL_Factory_Slot {
  std::mutex lock;
  TUX_SSL_Handler_Factory factory;  // guarded by lock
};
TSSL_Factory_Slot& ssl_factory_slot() {
  static TSSL_Factory_Slot slot;
  return slot;
}

bool is_redirect_status(int32_t code) {
  return code == 301 || code == 302 || code == 303 || code == 307 || code == 308;
}

template <class F>
void swallow(F&& f) {
  try {
    f();
  } catch (...) {
  }
}

}  // namespace

std::string http_cli_state_name(int32_t state) {
#define UX_HTTP_CLI_NAME(name, code, text) \
  if (state == code) return text;
  UX_HTTP_CLI_STATES(UX_HTTP_CLI_NAME)
#undef UX_HTTP_CLI_NAME
  return "state " + int_text(state);
}

std::string http_cli_error_text(int32_t err) {
#define UX_HTTP_CLI_TEXT(name, code, text) \
  if (err == code) return text;
  UX_HTTP_CLI_ERRORS(UX_HTTP_CLI_TEXT)
#undef UX_HTTP_CLI_TEXT
  return "error " + int_text(err);
}

// ---------------------------------------------------------------- life

TUX_http_client_v3::TUX_http_client_v3()
    : timer(new_timer_task(false)),
      f_cli_uuid("V3CLI" + random_digits(25)),
      read_buf_(std::make_unique<char[]>(kReadChunk)) {}

TUX_http_client_v3::~TUX_http_client_v3() {
  swallow([this] { SetActive(false); });
  Socket.reset();
  Request.reset();
  Response.reset();
  timer.reset();
}

void TUX_http_client_v3::set_ssl_handler_factory(TUX_SSL_Handler_Factory factory) {
  TSSL_Factory_Slot& slot = ssl_factory_slot();
  std::lock_guard<std::mutex> g(slot.lock);
  slot.factory = std::move(factory);
}

TUX_SSL_Handler_Factory TUX_http_client_v3::ssl_handler_factory() {
  TSSL_Factory_Slot& slot = ssl_factory_slot();
  std::lock_guard<std::mutex> g(slot.lock);
  return slot.factory;
}

std::shared_ptr<ISocket_SSL> TUX_http_client_v3::get_ssl_handler() {
  const TUX_SSL_Handler_Factory factory = own_ssl_factory_ ? own_ssl_factory_ : ssl_handler_factory();
  if (!factory) return nullptr;
  try {
    return factory();
  } catch (...) {
    return nullptr;
  }
}

TUX_http_client_v3* TUX_http_client_v3::Http_cmd(std::unique_ptr<TUX_HTTP_Cli_Request> Requ) {
  Request = std::move(Requ);
  FActive = false;
  return this;
}

void TUX_http_client_v3::SetActive(bool v) {
  if (v == FActive) return;
  FActive = v;
  if (v) {
    FKeeypAlive = false;
    FHeader_Have_Sent = false;
    is_AbortFlag = false;
    close_ws_requested_ = false;
    Redir_Count = 0;
    delay_run.enabled = false;
    set_state(kHttpStateOpen);
    return;
  }
  if (Socket) Socket->SetActive(false);
  FHeader_Have_Sent = false;
  is_AbortFlag = false;
  close_ws_requested_ = false;
  delay_run.enabled = false;
  connect_slack_ms_ = 0;
  header_reader_.reset();
  pending_.clear();
  {
    std::lock_guard<std::recursive_mutex> g(ws_lock_);
    ws_decoder_.reset();
  }
  if (Response) Response->reset();
  if (Request) Request->reset();
}

void TUX_http_client_v3::Reset() {
  is_AbortFlag = false;
  close_ws_requested_ = false;
  Redir_Count = 0;
  FHeader_Have_Sent = false;
  is_https_mode = false;
  FTimeOut = kDefaultTimeOutSec;
  set_state(kHttpStateOpen);
  rt.at_last_pop_event = 0;
  rt.err_code = kHttpErrNone;
  rt.at_last_ws_popo = 0;
  rt.counter_connect_error = 0;
  delay_run = TDelayRun{};
  connect_slack_ms_ = 0;
  fproxy = TUX_HTTP_Proxy{};
  own_ssl_factory_ = nullptr;
  tls_failure_ = {};
  FActive = false;
  header_reader_.reset();
  pending_.clear();
  if (Response) Response->reset();
  if (Request) Request->reset();
}

void TUX_http_client_v3::set_proxy(std::string_view text) { fproxy = parse_http_proxy(text); }

uint32_t TUX_http_client_v3::Recv_Speed() const { return Socket ? Socket->Recv_Speed() : 0; }

uint32_t TUX_http_client_v3::send_Speed() const { return Socket ? Socket->Send_Speed() : 0; }

std::string TUX_http_client_v3::get_Response_asString() {
  return Response ? Response->Content_asString() : std::string();
}

// ---------------------------------------------------------------- state changes

void TUX_http_client_v3::set_state(int32_t to) {
  const int32_t from = f_state.exchange(to);
  if (from == to) return;
  note_progress();
  if (on_state_trace) on_state_trace(from, to);
}

void TUX_http_client_v3::delay_to_state(int64_t ms, int32_t target) {
  delay_run.at_delay_run = now_ms() + ms;
  delay_run.next_step_state = target;
  delay_run.enabled = true;
  set_state(kHttpStateDelay);
}

void TUX_http_client_v3::fail(int32_t err) {
  rt.err_code = err;
  set_state(kHttpStateFailed);
}

void TUX_http_client_v3::finish_run(int32_t ev) {
  on_event(ev, nullptr);
  SetActive(false);
}

void TUX_http_client_v3::on_event(int32_t ev, void* /*data*/) {
  if (!Request) return;
  if (ev == kHttpEvComplete) {
    if (Request->func_http_ret) swallow([this] { Request->func_http_ret(Request.get(), Response.get()); });
    if (Request->func_http_ret_ex && Response) {
      const auto f = Request->func_http_ret_ex;
      swallow([&] { (*f)(Response->Response_code(), Response->Content_asString()); });
    }
  } else if (ev == kHttpEvFailed) {
    if (Request->func_http_ret) swallow([this] { Request->func_http_ret(Request.get(), nullptr); });
    if (Request->func_http_ret_ex) {
      const auto f = Request->func_http_ret_ex;
      swallow([&] { (*f)(rt.err_code, std::string()); });
    }
  }
}

// ---------------------------------------------------------------- the step

void TUX_http_client_v3::execute() {
  if (!FActive) return;
  if (is_AbortFlag.load()) {
    rt.err_code = kHttpErrAborted;
    set_state(kHttpStateFailed);
  } else if (close_ws_requested_.exchange(false) && Request && Request->WS_conn_mode()) {
    set_state(kHttpStateWsClosing);
  }
  if (Socket) Socket->execute();
  if (timer) timer->Execute();
  const int64_t now = now_ms();
  switch (State()) {
    case kHttpStateOpen:
      step_open();
      break;
    case kHttpStateConnecting:
      step_connecting(now);
      break;
    case kHttpStateSendBody:
      step_send_body(now);
      break;
    case kHttpStateReceive:
      receive_response();
      break;
    case kHttpStateDone:
      finish_run(kHttpEvComplete);
      break;
    case kHttpStateFailed:
      finish_run(kHttpEvFailed);
      break;
    case kHttpStateDelay:
      if (!delay_run.enabled) {
        set_state(kHttpStateGivenUp);
      } else if (now >= delay_run.at_delay_run) {
        delay_run.enabled = false;
        set_state(delay_run.next_step_state);
      }
      break;
    case kHttpStateWsClosing:
      step_ws_closing();
      break;
    case kHttpStateWsOpen:
      step_ws_open(now);
      break;
    case kHttpStateGivenUp:
      rt.err_code = kHttpErrConnect;
      SetActive(false);
      break;
    default:
      break;
  }
}

void TUX_http_client_v3::step_open() {
  if (!Request) {
    fail(kHttpErrBadRequest);
    return;
  }
  if (Request->post_data.source_missing) {
    fail(kHttpErrSend);
    return;
  }
  if (open_connection(Request->url()) && State() == kHttpStateOpen) set_state(kHttpStateConnecting);
}

bool TUX_http_client_v3::open_connection(const std::string& url) {
  const std::string u = trim_text(url);
  FHeader_Have_Sent = false;
  if (Response) Response->reset();
  header_reader_.reset();
  pending_.clear();
  const TUX_Http_Conn_Plan plan =
      plan_http_connection(u, Request->method(), f_default_socket_mode, FKeeypAlive, fproxy);
  if (!plan.ok) {
    fail(kHttpErrBadRequest);
    return false;
  }
  if (plan.via_proxy) fproxy.orig_dest_url = u;
  is_https_mode = plan.is_https_mode;
  Request->cmd_str = plan.cmd_str;
  for (const auto& [name, value] : plan.headers) Request->add_header(name, value);
  Request->timer.at_start = now_ms() + connect_slack_ms_;
  connect_slack_ms_ = 0;

  // A TLS URL never goes out in clear.
  tls_.reset();
  tls_failure_ = {};
  if (is_https_mode) {
    tls_ = get_ssl_handler();
    if (!tls_) {
      fail(kHttpErrConnect);
      return false;
    }
  }
  if (Socket) {
    Socket->SetActive(false);
  } else {
    Socket = TActive_Base_Class::Create<TUX_VSocket_mix>();
  }
  Socket->set_socket_type(plan.transport.over_udp ? st_udp : st_tcp);
  Socket->func_on_create_udp = func_on_create_udp;
  Socket->set_server_host(plan.connect_address);
  Socket->set_func_on_conn_data_come(nullptr);
  Socket->set_autoReconnect(false);
  Socket->func_on_reconnect = [this](TUX_VSocket_mix* sender) { on_reconnect(sender); };
  if (plan.transport.over_udp) {
    Socket->set_is_udp_encrypt(plan.transport.udp_encrypt);
  } else {
    Socket->tcp_socket()->SetSSLMode(tls_);
  }
  Socket->SetActive(true);
  Socket->execute();
  return true;
}

void TUX_http_client_v3::step_connecting(int64_t now) {
  if (Socket && Socket->connected()) {
    rt.counter_connect_error = 0;
    set_state(kHttpStateConnected);
    on_event(kHttpEvConnected, nullptr);
    send_request_header();
    Request->timer.at_last_sent_postData = now;
    last_backlog_ = 0;
    if (Request->content_length() > 0) {
      set_state(kHttpStateSendBody);
    } else {
      set_state(kHttpStateReceive);
      Request->timer.at_last_got_resp_data = now;
      on_event(kHttpEvRequestSent, nullptr);
      prepare_response();
      Socket->flush_data();
    }
    return;
  }
  // A refused certificate or a failed TLS negotiation does not change on a
  // retry: the run fails now.
  if (tls_handshake_failed()) {
    tls_failure_ = tls_->Last_Failure();
    fail(kHttpErrTls);
    return;
  }
  if (now - Request->timer.at_start <= kConnectTimeoutMs) return;
  rt.err_code = kHttpErrConnect;
  on_event(kHttpEvConnectTimeout, nullptr);
  rt.counter_connect_error += 1;
  if (!Request->WS_conn_mode()) on_event(kHttpEvFailed, nullptr);
  if (rt.counter_connect_error < kMaxConnectAttempts) {
    delay_to_state(rt.counter_connect_error * kRetryStepMs, kHttpStateOpen);
  } else {
    set_state(kHttpStateGivenUp);
  }
}

bool TUX_http_client_v3::tls_handshake_failed() const {
  if (!tls_ || !Socket || Socket->socket_type() != st_tcp || !Socket->tcp_socket()) return false;
  return Socket->tcp_socket()->Socket_Connect_Status() == kTcp_Finished &&
         tls_->Last_Failure().reason != TSSL_Fail_Reason::none;
}

void TUX_http_client_v3::send_request_header() {
  if (FHeader_Have_Sent) return;
  FHeader_Have_Sent = true;
  Request->send_headers([this](const std::string& s) { return Socket->send_string(s); });
}

void TUX_http_client_v3::prepare_response() {
  if (!Response) Response = std::make_unique<TUX_HTTP_Cli_Response>();
  Response->reset();
  Response->set_Requ_tag(Request->tag());
}

void TUX_http_client_v3::step_send_body(int64_t now) {
  if (Request->content_length() <= 0) {
    set_state(kHttpStateReceive);
    Request->timer.at_last_got_resp_data = now;
    prepare_response();
    return;
  }
  // A transport that drains its backlog is making progress too.
  const uint32_t backlog = Socket->DataIn_Send_Buffer_Size();
  if (backlog < last_backlog_) {
    Request->timer.at_last_sent_postData = now;
    note_progress();
  }
  last_backlog_ = backlog;
  if (backlog <= kSendBacklogLimit) {
    const int32_t r =
        Request->Send_postData([this](const char* data, int32_t len) { return Socket->Send_Data(data, len); });
    if (r > 0) {
      note_progress();
      on_event(kHttpEvBodySent, nullptr);
      Request->timer.at_last_sent_postData = now;
      last_backlog_ = Socket->DataIn_Send_Buffer_Size();
    } else if (r == TUX_HTTP_Cli_Request::kSendError) {
      fail(kHttpErrSend);
      return;
    } else if (r == TUX_HTTP_Cli_Request::kSendAllDone) {
      Request->timer.at_last_sent_postData = now;
      Request->timer.at_last_got_resp_data = now;
      on_event(kHttpEvBodySent, nullptr);
      set_state(kHttpStateReceive);
      on_event(kHttpEvRequestSent, nullptr);
      prepare_response();
      Socket->flush_data();
      return;
    }
  }
  if (now - Request->timer.at_last_sent_postData > kSendStallMs) fail(kHttpErrSend);
}

// ---------------------------------------------------------------- response

int32_t TUX_http_client_v3::pull(char* buf, int32_t len) {
  if (!pending_.empty()) {
    const int32_t n = int32_t(std::min<size_t>(size_t(len), pending_.size()));
    std::memcpy(buf, pending_.data(), size_t(n));
    pending_.erase(0, size_t(n));
    return n;
  }
  if (!Socket) return 0;
  const int32_t n = Socket->readData(buf, len);
  if (n > 0) note_progress();
  return n;
}

int64_t TUX_http_client_v3::recv_timeout_ms() const {
  const int64_t sec = FTimeOut.load();
  return sec <= 0 ? kMaxRecvTimeoutMs : min64(sec * 1000, kMaxRecvTimeoutMs);
}

void TUX_http_client_v3::receive_response() {
  const int64_t now = now_ms();
  if (!Response) prepare_response();
  if (!Response->have_got_header()) {
    process_response_header(now);
    if (State() != kHttpStateReceive) return;
  }
  if (Response->have_got_header()) {
    bool drained = false;
    for (int32_t i = 0; i < kReadChunksPerStep; ++i) {
      const int32_t n = pull(read_buf_.get(), kReadChunk);
      if (n <= 0) {
        drained = true;
        break;
      }
      if (!take_body(read_buf_.get(), n, now)) return;
    }
    check_complete(drained);
    if (State() != kHttpStateReceive) return;
  } else if (!Socket->connected()) {
    fail(kHttpErrConnLost);
    return;
  }
  if (now - Request->timer.at_last_got_resp_data > recv_timeout_ms()) fail(kHttpErrRecvTimeout);
}

bool TUX_http_client_v3::process_response_header(int64_t now) {
  for (int32_t i = 0; i < kReadChunksPerStep; ++i) {
    const int32_t n = pull(read_buf_.get(), kReadChunk);
    if (n <= 0) return false;
    size_t used = 0;
    const auto r = header_reader_.feed(read_buf_.get(), size_t(n), used);
    if (r == TUX_Http_Header_Reader::Result::kTooLarge) {
      fail(kHttpErrBadResponse);
      return false;
    }
    if (r == TUX_Http_Header_Reader::Result::kAgain) continue;
    pending_.insert(0, read_buf_.get() + used, size_t(n) - used);
    accept_header(header_reader_.take_block(), now);
    if (State() != kHttpStateReceive || Response->have_got_header()) return true;
  }
  return false;
}

void TUX_http_client_v3::accept_header(const std::string& block, int64_t now) {
  Response->reset();
  Response->set_Requ_tag(Request->tag());
  const auto check = Response->load_header(block);
  Request->timer.at_last_got_resp_data = now;
  Response->set_content_got_size(0);
  if (check != TUX_HTTP_Cli_Response::HeaderCheck::kOk) {
    fail(kHttpErrBadResponse);
    return;
  }
  const int32_t code = Response->Response_code();
  if (code < 200 && code != 101) {
    Response->reset();  // an interim answer; the final one follows
    return;
  }
  if (code == 101) {
    if (!Request->WS_conn_mode()) {
      fail(kHttpErrBadResponse);
      return;
    }
    on_event(kHttpEvHeader, nullptr);
    if (State() != kHttpStateReceive) return;
    if (!check_ws_accept()) {
      fail(kHttpErrWsProtocol);
      return;
    }
    upgrade_to_ws(now);
    return;
  }
  if (ci_equal(Request->method(), "HEAD") || code == 204 || code == 304) Response->mark_no_body();
  if (code >= 400) {
    finish_with_peek(kHttpErrHttpStatus, now);
    return;
  }
  const std::string location = Response->get_header_raw("location");
  if (is_redirect_status(code) && !location.empty()) {
    follow_redirect(code, location);
    return;
  }
  on_event(kHttpEvHeader, nullptr);
}

void TUX_http_client_v3::finish_with_peek(int32_t err, int64_t now) {
  int32_t budget = kErrorBodyPeek;
  while (budget > 0) {
    const int32_t n = pull(read_buf_.get(), min32(budget, kReadChunk));
    if (n <= 0) break;
    if (!take_body(read_buf_.get(), n, now)) return;
    budget -= n;
  }
  if (Response->have_got_all_resp_data()) {
    set_state(kHttpStateDone);
    on_event(kHttpEvResponseData, nullptr);
  } else {
    fail(err);
  }
}

void TUX_http_client_v3::follow_redirect(int32_t code, const std::string& location) {
  Redir_Count += 1;
  if (Redir_Count >= kMaxRedirects) {
    finish_with_peek(kHttpErrRedirects, now_ms());
    return;
  }
  const std::string from = Request->url();
  const std::string to = resolve_http_location(from, location);
  if (code == 301 || code == 302 || code == 303) {
    if (!ci_equal(Request->method(), "HEAD")) {
      if (!ci_equal(Request->method(), "GET")) Request->clear_post_data();
      Request->set_method("GET");
    }
  } else {
    Request->post_data.pos = 0;  // 307 and 308 repeat the request with its body
  }
  if (!same_http_origin(from, to)) Request->add_header("Authorization", "");
  Request->set_url(to);
  set_state(kHttpStateOpen);
}

bool TUX_http_client_v3::take_body(const char* data, int32_t len, int64_t now) {
  Request->timer.at_last_got_resp_data = now;
  if (Response->append_content(data, len) < 0) {
    fail(Response->body_error() == TUX_HTTP_Cli_Response::BodyError::kBufferFull ? kHttpErrBodyTooLarge
                                                                                 : kHttpErrBadResponse);
    return false;
  }
  on_event(kHttpEvResponseData, nullptr);
  return State() == kHttpStateReceive;
}

void TUX_http_client_v3::check_complete(bool transport_drained) {
  if (Response->have_got_all_resp_data()) {
    set_state(kHttpStateDone);
    on_event(kHttpEvResponseData, nullptr);
    return;
  }
  if (!transport_drained || Socket->connected()) return;
  if (Response->body_ends_at_close()) {
    Response->mark_connection_closed();
    set_state(kHttpStateDone);
    on_event(kHttpEvResponseData, nullptr);
  } else {
    fail(kHttpErrConnLost);
  }
}

// ---------------------------------------------------------------- WebSocket

bool TUX_http_client_v3::check_ws_accept() {
  if (!Request->WS_conn_mode() || Response->Response_code() != 101) return false;
  if (ci_pos("websocket", Response->get_header("Upgrade")) == 0) return false;
  const std::string expect = ws_accept_key(Request->ws_conn.ws_key_encoded);
  return !expect.empty() && ci_equal(Response->get_header_raw("Sec-WebSocket-Accept"), expect);
}

void TUX_http_client_v3::upgrade_to_ws(int64_t now) {
  Socket->set_autoReconnect(true);
  {
    std::lock_guard<std::recursive_mutex> g(ws_lock_);
    ws_decoder_.reset();
  }
  ws_close_code_ = kWsCloseNormal;
  Socket->set_func_on_conn_data_come(
      [this](void* conn, Tfifo_Mem_stream& buf) { return ws_frame_pump(conn, buf); });
  set_state(kHttpStateWsOpen);
  rt.at_last_ws_popo = now - 10000;
  if (Request->func_ws_conn_event)
    swallow([this] { Request->func_ws_conn_event(Request.get(), kWsEvConnected, std::string(), nullptr, 0); });
  on_ws_connected();
  // Frames that came together with the 101 answer.
  if (!pending_.empty() && State() == kHttpStateWsOpen) {
    std::string early;
    early.swap(pending_);
    ws_feed(early.data(), early.size());
  }
}

bool TUX_http_client_v3::ws_frame_pump(void* /*conn*/, Tfifo_Mem_stream& buf) {
  if (State() != kHttpStateWsOpen) return true;
  std::string bytes;
  buf.Lock();
  const int32_t n = buf.DataLength();
  if (n > 0) {
    bytes.resize(size_t(n));
    buf.Read_And_Remove(bytes.data(), n);
  }
  buf.unLock();
  if (!bytes.empty()) ws_feed(bytes.data(), bytes.size());
  return true;
}

void TUX_http_client_v3::ws_feed(const char* data, size_t len) {
  std::lock_guard<std::recursive_mutex> g(ws_lock_);
  size_t at = 0;
  while (at < len && State() == kHttpStateWsOpen) {
    size_t used = 0;
    const auto r = ws_decoder_.feed(data + at, len - at, used);
    at += used;
    if (r == TUX_WS_Frame_Decoder::Result::kAgain) break;
    if (r == TUX_WS_Frame_Decoder::Result::kError) {
      rt.err_code = kHttpErrWsProtocol;
      ws_close_code_ = ws_decoder_.close_code();
      set_state(kHttpStateWsClosing);
      return;
    }
    note_progress();
    swallow([this] { handle_ws_frame(ws_decoder_.message()); });
  }
}

void TUX_http_client_v3::handle_ws_frame(TUX_WS_Frame_Decoder::TMessage& msg) {
  switch (msg.opcode) {
    case kWsOpText:
      if (Request->func_ws_conn_event) Request->func_ws_conn_event(Request.get(), kWsEvText, msg.payload, nullptr, 0);
      break;
    case kWsOpBinary:
      if (Request->func_ws_conn_event)
        Request->func_ws_conn_event(Request.get(), kWsEvBinary, std::string(),
                                    reinterpret_cast<const uint8_t*>(msg.payload.data()),
                                    int32_t(msg.payload.size()));
      break;
    case kWsOpClose:
      if (msg.payload.size() >= 2)
        ws_close_code_ = uint16_t(uint8_t(msg.payload[0]) << 8 | uint8_t(msg.payload[1]));
      set_state(kHttpStateWsClosing);
      break;
    case kWsOpPing:
      ws_send_pong(msg.payload.data(), msg.payload.size());
      break;
    default:
      break;
  }
}

void TUX_http_client_v3::step_ws_open(int64_t now) {
  // Frames the data callback has not taken.
  for (int32_t i = 0; i < kReadChunksPerStep && State() == kHttpStateWsOpen; ++i) {
    const int32_t n = Socket->readData(read_buf_.get(), kReadChunk);
    if (n <= 0) break;
    ws_feed(read_buf_.get(), size_t(n));
  }
  if (State() != kHttpStateWsOpen || !Socket->connected()) return;
  if (now - rt.at_last_ws_popo > kWsPingIntervalMs) {
    rt.at_last_ws_popo = now;
    ws_send_ping("{\"now\":" + int_text(now) + "}");
  }
  on_ws_idle();
}

void TUX_http_client_v3::step_ws_closing() {
  if (Socket && Socket->connected()) {
    const char payload[2] = {char(ws_close_code_ >> 8), char(ws_close_code_ & 0xFF)};
    send_ws_frame(kWsOpClose, payload, 2);
    Socket->flush_data();
  }
  swallow([this] { on_event(kHttpEvWsClosing, nullptr); });
  swallow([this] { on_ws_closed(); });
  if (Request && Request->func_ws_conn_event)
    swallow([this] { Request->func_ws_conn_event(Request.get(), kWsEvClosed, std::string(), nullptr, 0); });
  SetActive(false);
}

void TUX_http_client_v3::on_reconnect(void* /*sender*/) {
  if (!Request || !Request->WS_conn_mode()) return;
  connect_slack_ms_ = kWsReconnectSlackMs;
  delay_to_state(kWsReconnectDelayMs, kHttpStateOpen);
}

int32_t TUX_http_client_v3::send_ws_frame(uint8_t opcode, const void* payload, size_t len) {
  if (!Socket || len > size_t(INT32_MAX) - kWsMaxHeaderSize) return 0;
  std::string frame;
  frame.reserve(kWsMaxHeaderSize + len);
  ws_encode_frame(frame, opcode, true, payload, len, true,
                  uint32_t(random_between(kWsMaskKeyMin, kWsMaskKeyMax)));
  for (int32_t i = 0; i < kWsSendTries && Socket->connected(); ++i) {
    const int32_t r = Socket->Send_Data(frame.data(), int32_t(frame.size()));
    if (r > 0) {
      note_progress();
      return r;
    }
    if (r < 0) break;
    Socket->flush_data();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return 0;
}

int32_t TUX_http_client_v3::ws_sendString(std::string_view str) {
  if (str.empty()) return 0;
  return send_ws_frame(kWsOpText, str.data(), str.size());
}

int32_t TUX_http_client_v3::ws_sendData(const void* data, int32_t len) {
  if (!data || len <= 0) return 0;
  return send_ws_frame(kWsOpBinary, data, size_t(len));
}

int32_t TUX_http_client_v3::ws_send_ping(std::string_view text) {
  return send_ws_frame(kWsOpPing, text.data(), min64(int64_t(text.size()), int64_t(kWsMaxControlPayload)));
}

int32_t TUX_http_client_v3::ws_send_pong(const void* data, size_t len) {
  return send_ws_frame(kWsOpPong, data, std::min(len, kWsMaxControlPayload));
}

// ---------------------------------------------------------------- blocking helpers

void TUX_http_client_v3::run_to_end(TUX_http_client_v3& engine) {
  for (;;) {
    const int32_t s = engine.State();
    if (s < kHttpStateOpen || s > kHttpStateReceive || !engine.Active()) break;
    const uint64_t before = engine.progress();
    engine.execute();
    if (engine.progress() == before) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

namespace {

std::string run_blocking(std::unique_ptr<TUX_HTTP_Cli_Request> request) {
  TUX_http_client_v3 engine;
  engine.Http_cmd(std::move(request));
  engine.SetActive(true);
  TUX_http_client_v3::run_to_end(engine);
  return engine.State() == kHttpStateDone ? engine.get_Response_asString() : std::string();
}

}  // namespace

std::string TUX_http_client_v3::HttpGet(std::string_view url, std::string_view headers) {
  return run_blocking(TUX_HTTP_Cli_Request::CreateFromUrlGet(url, headers));
}

std::string TUX_http_client_v3::HttpPost(std::string_view url, std::string_view postData,
                                         std::string_view headers) {
  return run_blocking(TUX_HTTP_Cli_Request::CreateFromUrlPost(url, postData, headers));
}

std::string TUX_http_client_v3::HttpPost(std::string_view url, std::unique_ptr<TStream> Datastream,
                                         std::string_view headers) {
  auto request = TUX_HTTP_Cli_Request::CreateFromUrlPost(url, "", headers);
  request->set_post_Stream(std::move(Datastream));
  return run_blocking(std::move(request));
}

}  // namespace ux
