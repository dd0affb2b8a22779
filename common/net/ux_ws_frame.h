// ux_ws_frame: WebSocket framing (RFC 6455, 5) — the frame encoder, an
// incremental frame decoder that reassembles fragmented messages, and the
// handshake's accept value.
//
// No I/O, no clock, no locks: one decoder per connection, used by one thread
// at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ux {

inline constexpr uint8_t kWsOpContinuation = 0;
inline constexpr uint8_t kWsOpText = 1;
inline constexpr uint8_t kWsOpBinary = 2;
inline constexpr uint8_t kWsOpClose = 8;
inline constexpr uint8_t kWsOpPing = 9;
inline constexpr uint8_t kWsOpPong = 10;

// Close status codes (RFC 6455, 7.4.1).
inline constexpr uint16_t kWsCloseNormal = 1000;
inline constexpr uint16_t kWsCloseProtocolError = 1002;
inline constexpr uint16_t kWsCloseTooBig = 1009;

// Largest payload of a control frame.
inline constexpr size_t kWsMaxControlPayload = 125;
// Largest frame header: 2 bytes, 8 of extended length, 4 of masking key.
inline constexpr size_t kWsMaxHeaderSize = 14;

inline constexpr std::string_view kWsAcceptGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

// Base64 of the SHA-1 digest of key_encoded followed by kWsAcceptGuid: the
// Sec-WebSocket-Accept value a server must answer for that key.
std::string ws_accept_key(std::string_view key_encoded);

// Header bytes of a frame with len payload bytes: the length in the
// shortest form (up to 125 in the second byte, 16 bits up to 65535, else
// 64 bits), plus 4 for a masking key.
size_t ws_frame_header_size(uint64_t len, bool masked);

// Appends one frame to out. With masked, mask_key's 4 bytes (little-endian
// order) follow the length and the payload is XOR-ed with them in turn.
// payload may be null when len is 0.
void ws_encode_frame(std::string& out, uint8_t opcode, bool fin, const void* payload, size_t len,
                     bool masked, uint32_t mask_key);

// XORs n bytes at data with the 4-byte key, starting at key byte key_offset % 4.
void ws_mask_bytes(char* data, size_t n, uint32_t mask_key, size_t key_offset);

// Decodes frames from a byte stream fed in pieces of any size. A message is
// reported as soon as its last frame is complete: a data message (text or
// binary, continuation frames joined, FIN honoured) or a control frame
// (close, ping, pong; these may arrive between the fragments of a message).
// Masked frames are unmasked.
//
// Errors close the connection: reserved bits without a negotiated
// extension, unknown opcodes, fragmented or oversized control frames,
// continuation frames out of place, a 64-bit length with its top bit set,
// a close payload of 1 byte (protocol errors, close code 1002), and a
// message above the size cap (1009).
class TUX_WS_Frame_Decoder {
 public:
  // Default cap of one message's payload.
  static constexpr size_t kDefaultMaxMessage = 16u << 20;  // 16 MiB

  enum class Result {
    kAgain,    // every byte given consumed; no message complete
    kMessage,  // message() holds a complete message; bytes after it not consumed
    kError,    // close_code() tells why; nothing more is decoded
  };

  struct TMessage {
    uint8_t opcode = 0;  // kWsOpText, kWsOpBinary, kWsOpClose, kWsOpPing or kWsOpPong
    std::string payload;
  };

  explicit TUX_WS_Frame_Decoder(size_t max_message = kDefaultMaxMessage) : max_message_(max_message) {}

  Result feed(const char* data, size_t len, size_t& consumed);
  // The last message reported; valid until the next feed.
  TMessage& message() { return message_; }
  // 1002 or 1009 after kError, else 0.
  uint16_t close_code() const { return close_code_; }
  void reset();

 private:
  Result fail(uint16_t code);
  // Checks a complete header and sets up the payload phase.
  bool begin_payload();
  Result finish_frame();

  size_t max_message_;
  char hdr_[kWsMaxHeaderSize] = {};
  size_t hdr_have_ = 0;
  size_t hdr_need_ = 2;
  bool in_payload_ = false;
  uint8_t opcode_ = 0;
  bool fin_ = false;
  bool masked_ = false;
  uint32_t mask_key_ = 0;
  uint64_t remaining_ = 0;
  size_t mask_offset_ = 0;
  std::string* target_ = nullptr;  // where the current frame's payload goes
  uint8_t message_opcode_ = 0;     // opcode of a fragmented message in progress, 0 when none
  std::string partial_;            // payload of the message in progress
  std::string control_;            // payload of the current control frame
  TMessage message_;
  uint16_t close_code_ = 0;
};

}  // namespace ux
