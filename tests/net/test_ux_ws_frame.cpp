#include "common/net/ux_ws_frame.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/archive_maker.h"

namespace {

using ux::TUX_WS_Frame_Decoder;
using Result = TUX_WS_Frame_Decoder::Result;

struct Decoded {
  std::vector<TUX_WS_Frame_Decoder::TMessage> messages;
  Result last = Result::kAgain;
  uint16_t close_code = 0;
};

// Feeds wire in pieces of the given size and collects every message.
Decoded decode(const std::string& wire, size_t piece, size_t max_message = TUX_WS_Frame_Decoder::kDefaultMaxMessage) {
  TUX_WS_Frame_Decoder d(max_message);
  Decoded out;
  for (size_t at = 0; at < wire.size() && out.last != Result::kError;) {
    const size_t n = std::min(piece, wire.size() - at);
    size_t used = 0;
    out.last = d.feed(wire.data() + at, n, used);
    at += used;
    if (out.last == Result::kMessage) out.messages.push_back(d.message());
    if (out.last == Result::kAgain && used != n) ADD_FAILURE() << "kAgain without consuming all";
  }
  out.close_code = d.close_code();
  return out;
}

std::string frame(uint8_t op, bool fin, const std::string& payload, bool masked = false, uint32_t key = 0) {
  std::string out;
  ux::ws_encode_frame(out, op, fin, payload.data(), payload.size(), masked, key);
  return out;
}

TEST(WsFrameEncode, LengthFormsAreMinimal) {
  struct Case {
    size_t len;
    size_t header;
    uint8_t len7;
  };
  for (const Case c : {Case{0, 2, 0}, Case{125, 2, 125}, Case{126, 4, 126}, Case{65535, 4, 126},
                       Case{65536, 10, 127}, Case{1 << 20, 10, 127}}) {
    const std::string payload(c.len, 'p');
    const std::string f = frame(ux::kWsOpBinary, true, payload);
    EXPECT_EQ(ux::ws_frame_header_size(c.len, false), c.header);
    ASSERT_EQ(f.size(), c.header + c.len);
    EXPECT_EQ(uint8_t(f[0]), 0x82);
    EXPECT_EQ(uint8_t(f[1]), c.len7);
    if (c.len7 == 126) {
      EXPECT_EQ(size_t(uint8_t(f[2])) << 8 | uint8_t(f[3]), c.len);
    }
    if (c.len7 == 127) {
      uint64_t v = 0;
      for (int k = 0; k < 8; ++k) v = v << 8 | uint8_t(f[2 + k]);
      EXPECT_EQ(v, c.len);
    }
  }
}

TEST(WsFrameEncode, MaskingKeyIsWrittenLittleEndianAndApplied) {
  const std::string f = frame(ux::kWsOpText, true, "Hello", true, 0x44332211u);
  ASSERT_EQ(f.size(), 2u + 4 + 5);
  EXPECT_EQ(uint8_t(f[1]), 0x80 | 5);
  EXPECT_EQ(f.substr(2, 4), "\x11\x22\x33\x44");
  const char key[4] = {0x11, 0x22, 0x33, 0x44};
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(char(f[6 + i] ^ key[i % 4]), "Hello"[i]);
}

TEST(WsFrameEncode, MaskingAtAnyOffsetMatchesBytewiseXor) {
  const std::string data = qlyn_test::sample_bytes(1000, 9);
  for (size_t offset = 0; offset < 4; ++offset) {
    std::string masked = data;
    ux::ws_mask_bytes(masked.data(), masked.size(), 0xA1B2C3D4u, offset);
    for (size_t i = 0; i < data.size(); ++i) {
      const uint8_t k = uint8_t(0xA1B2C3D4u >> (8 * ((offset + i) & 3)));
      ASSERT_EQ(uint8_t(masked[i]), uint8_t(data[i]) ^ k) << offset << " " << i;
    }
  }
}

TEST(WsHandshake, AcceptValueOfTheRfcExample) {
  EXPECT_EQ(ux::ws_accept_key("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(WsFrameDecode, ShortControlFramesDecodeAtOnce) {
  TUX_WS_Frame_Decoder d;
  size_t used = 0;
  const std::string close = "\x88\x00";
  ASSERT_EQ(d.feed(close.data(), 2, used), Result::kMessage);
  EXPECT_EQ(used, 2u);
  EXPECT_EQ(d.message().opcode, ux::kWsOpClose);
  const std::string pong = "\x8A\x00";
  ASSERT_EQ(d.feed(pong.data(), 2, used), Result::kMessage);
  EXPECT_EQ(d.message().opcode, ux::kWsOpPong);
  EXPECT_EQ(d.message().payload, "");
}

TEST(WsFrameDecode, MessagesInEverySplit) {
  std::string wire;
  wire += frame(ux::kWsOpText, true, "one");
  wire += frame(ux::kWsOpBinary, false, "fr");
  wire += frame(ux::kWsOpPing, true, "between", true, 123456);
  wire += frame(ux::kWsOpContinuation, false, "ag", true, 99);
  wire += frame(ux::kWsOpContinuation, true, "ments");
  wire += frame(ux::kWsOpBinary, true, std::string(70000, 'B'), true, 0xDEADBEEF);
  wire += frame(ux::kWsOpText, true, "");
  wire += frame(ux::kWsOpClose, true, "\x03\xE8" "bye");
  for (size_t piece : {size_t(1), size_t(2), size_t(3), size_t(7), size_t(4096), wire.size()}) {
    const Decoded d = decode(wire, piece);
    ASSERT_EQ(d.messages.size(), 6u) << piece;
    EXPECT_EQ(d.messages[0].opcode, ux::kWsOpText);
    EXPECT_EQ(d.messages[0].payload, "one");
    EXPECT_EQ(d.messages[1].opcode, ux::kWsOpPing);
    EXPECT_EQ(d.messages[1].payload, "between");
    EXPECT_EQ(d.messages[2].opcode, ux::kWsOpBinary);
    EXPECT_EQ(d.messages[2].payload, "fragments");
    EXPECT_EQ(d.messages[3].payload, std::string(70000, 'B'));
    EXPECT_EQ(d.messages[4].opcode, ux::kWsOpText);
    EXPECT_EQ(d.messages[4].payload, "");
    EXPECT_EQ(d.messages[5].opcode, ux::kWsOpClose);
    EXPECT_EQ(d.messages[5].payload, "\x03\xE8" "bye");
  }
}

TEST(WsFrameDecode, ProtocolViolationsClose1002) {
  const std::string cases[] = {
      std::string("\xC1\x00", 2),                                 // RSV1 without an extension
      std::string("\x83\x00", 2),                                 // opcode 3
      std::string("\x8B\x00", 2),                                 // opcode 11
      std::string("\x09\x00", 2),                                 // fragmented ping
      "\x89\x7E\x00\x7E" + std::string(126, 'x'),                 // ping of 126 bytes
      std::string("\x80\x01x", 3),                                // continuation without a message
      frame(ux::kWsOpText, false, "a") + frame(ux::kWsOpText, true, "b"),
      std::string("\x82\x7F\x80\x00\x00\x00\x00\x00\x00\x01", 10),  // top bit of a 64-bit length
      std::string("\x88\x01\x03", 3),                             // close payload of 1 byte
  };
  for (const std::string& wire : cases) {
    const Decoded d = decode(wire, 1);
    EXPECT_EQ(d.last, Result::kError) << testing::PrintToString(wire.substr(0, 12));
    EXPECT_EQ(d.close_code, ux::kWsCloseProtocolError);
  }
}

TEST(WsFrameDecode, OversizedMessagesClose1009BeforeTheirPayload) {
  // A header announcing 2^40 bytes fails at once, with no payload buffered.
  const std::string huge("\x82\x7F\x00\x00\x01\x00\x00\x00\x00\x00", 10);
  Decoded d = decode(huge, 1);
  EXPECT_EQ(d.last, Result::kError);
  EXPECT_EQ(d.close_code, ux::kWsCloseTooBig);

  const std::string big = frame(ux::kWsOpBinary, true, std::string(1001, 'x'));
  d = decode(big, 5, 1000);
  EXPECT_EQ(d.close_code, ux::kWsCloseTooBig);

  const std::string fragments = frame(ux::kWsOpBinary, false, std::string(600, 'x')) +
                                frame(ux::kWsOpContinuation, true, std::string(600, 'x'));
  d = decode(fragments, 64, 1000);
  EXPECT_EQ(d.close_code, ux::kWsCloseTooBig);
  d = decode(fragments, 64, 1200);
  ASSERT_EQ(d.messages.size(), 1u);
  EXPECT_EQ(d.messages[0].payload.size(), 1200u);
}

TEST(WsFrameDecode, TruncatedFrameWaitsAndErrorsStick) {
  TUX_WS_Frame_Decoder d;
  const std::string f = frame(ux::kWsOpBinary, true, std::string(300, 'z'));
  size_t used = 0;
  EXPECT_EQ(d.feed(f.data(), f.size() - 1, used), Result::kAgain);
  EXPECT_EQ(used, f.size() - 1);
  EXPECT_EQ(d.feed(f.data() + f.size() - 1, 1, used), Result::kMessage);
  EXPECT_EQ(d.message().payload.size(), 300u);

  EXPECT_EQ(d.feed("\xC2\x00", 2, used), Result::kError);
  EXPECT_EQ(d.feed("\x82\x00", 2, used), Result::kError);
  EXPECT_EQ(used, 0u);
  d.reset();
  EXPECT_EQ(d.feed("\x82\x00", 2, used), Result::kMessage);
}

TEST(WsFrameDecode, RandomRoundTrips) {
  std::mt19937 rng(5);
  std::string wire;
  std::vector<std::string> sent;
  for (int i = 0; i < 60; ++i) {
    const size_t n = rng() % 3 == 0 ? rng() % 70000 : rng() % 300;
    sent.push_back(qlyn_test::sample_bytes(n, unsigned(i)));
    wire += frame(ux::kWsOpBinary, true, sent.back(), i % 2 == 0, rng());
  }
  const Decoded d = decode(wire, 1 + rng() % 5000);
  ASSERT_EQ(d.messages.size(), sent.size());
  for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(d.messages[i].payload, sent[i]) << i;
}

}  // namespace
