// ux_http_callbacks: the callback types shared by the HTTP request, the client
// engine and the units built on them (downloader, pool, WebSocket clients).
//
// Kinds: a method callback is a bound callable the holder does not own — the
// object it is bound to must outlive every call; a closure is a shared
// callable, kept alive by every holder of its pointer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace ux {

class TUX_HTTP_Cli_Request;
class TUX_HTTP_Cli_Response;

// Method: (request, event code, JSON text or empty).
using TUX_HTTP_Cli_conn_event =
    std::function<void(TUX_HTTP_Cli_Request* Requ, int32_t ev, const std::string& ev_data)>;

// Method: (request, response); the response is null when the exchange failed.
using TUX_HTTP_Cli_Resonse_event =
    std::function<void(TUX_HTTP_Cli_Request* Requ, TUX_HTTP_Cli_Response* Resp)>;

// Method: (request, event code, text payload, binary payload, its length).
// data is valid for the call only.
using TUX_WS_conn_event = std::function<void(TUX_HTTP_Cli_Request* Requ, int32_t ev,
                                             const std::string& ev_data, const uint8_t* data,
                                             int32_t len)>;

// Closure: (HTTP status and body) on success, (negative error code, empty
// text) on failure.
using TUX_HTTP_Cli_ret_func = std::function<void(int32_t code, const std::string& text)>;
using TUX_HTTP_Cli_ret_proc = std::shared_ptr<const TUX_HTTP_Cli_ret_func>;

inline TUX_HTTP_Cli_ret_proc make_http_ret_proc(TUX_HTTP_Cli_ret_func f) {
  return f ? std::make_shared<const TUX_HTTP_Cli_ret_func>(std::move(f)) : nullptr;
}

}  // namespace ux
