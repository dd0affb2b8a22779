// The WebSocket frame decoder on any bytes, fed whole, byte by byte and in a
// split drawn from the input: every way gives the same messages and the
// same error. Each message, framed again (masked and not, in one frame and
// in fragments), decodes to itself.
//
// Input: two bytes of split seed, one byte choosing the cap of a data
// message (0: the default, else that many times 64 bytes), then the bytes
// of the stream.
#include <string>
#include <vector>

#include "common/net/ux_ws_frame.h"
#include "fuzz_support.h"

using namespace qlyn_fuzz;
using namespace ux;

namespace {

struct TOutcome {
  std::vector<std::pair<uint8_t, std::string>> messages;
  bool error = false;
  uint16_t close_code = 0;
  bool operator==(const TOutcome&) const = default;
};

template <class NextPiece>
TOutcome decode(std::string_view in, size_t cap, NextPiece next_piece) {
  TOutcome o;
  TUX_WS_Frame_Decoder dec(cap);
  size_t pos = 0;
  while (pos < in.size() && !o.error) {
    size_t piece = std::min(next_piece(), in.size() - pos);
    while (piece > 0) {
      size_t used = 0;
      const auto r = dec.feed(in.data() + pos, piece, used);
      if (used > piece) fail("decoder consumed more than it was given");
      pos += used;
      piece -= used;
      if (r == TUX_WS_Frame_Decoder::Result::kError) {
        o.error = true;
        o.close_code = dec.close_code();
        if (o.close_code != kWsCloseProtocolError && o.close_code != kWsCloseTooBig) fail("close code");
        break;
      }
      if (r == TUX_WS_Frame_Decoder::Result::kMessage) {
        const auto& m = dec.message();
        if (m.opcode < kWsOpClose && m.payload.size() > cap) fail("data message above the cap");
        if (m.opcode >= kWsOpClose && m.payload.size() > kWsMaxControlPayload) fail("control frame too long");
        o.messages.emplace_back(dec.message().opcode, dec.message().payload);
      } else if (piece != 0) {
        fail("decoder stopped short without a message");
      }
    }
  }
  return o;
}

// The message framed again decodes to itself.
void reframe(uint8_t opcode, const std::string& payload, size_t cap) {
  for (bool masked : {false, true}) {
    std::string wire;
    const bool control = opcode >= kWsOpClose;
    if (control || payload.size() < 2) {
      ws_encode_frame(wire, opcode, true, payload.data(), payload.size(), masked, 0x12345678);
    } else {
      const size_t half = payload.size() / 2;
      ws_encode_frame(wire, opcode, false, payload.data(), half, masked, 0x9abcdef0);
      ws_encode_frame(wire, kWsOpPing, true, "p", 1, masked, 7);
      ws_encode_frame(wire, kWsOpContinuation, true, payload.data() + half, payload.size() - half, masked, 1);
    }
    const TOutcome o = decode(wire, cap, [&] { return wire.size(); });
    if (o.error || o.messages.empty() || o.messages.back() != std::make_pair(opcode, payload))
      fail("a framed message does not decode to itself");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TByteReader head(as_text(data, size));
  const uint16_t seed = head.u16();
  const uint8_t cap_byte = head.u8();
  const size_t cap = cap_byte == 0 ? TUX_WS_Frame_Decoder::kDefaultMaxMessage : size_t(cap_byte) * 64;
  const std::string_view in = as_text(data, size).substr(std::min<size_t>(size, 3));

  const TOutcome whole = decode(in, cap, [&] { return in.size(); });
  const TOutcome bytes = decode(in, cap, [] { return size_t(1); });
  TSplitter split(seed);
  const TOutcome pieces = decode(in, cap, [&] { return split.next(); });
  if (!(whole == bytes) || !(whole == pieces)) fail("the outcome depends on how the bytes were split");
  for (const auto& [opcode, payload] : whole.messages) reframe(opcode, payload, cap);
  return 0;
}
