#include "common/net/ux_http_response.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "common/ext_mem.h"
#include "common/net/ux_http_chunked.h"
#include "support/archive_maker.h"

namespace {

using ux::TUX_HTTP_Cli_Response;
using Check = TUX_HTTP_Cli_Response::HeaderCheck;
using Chunks = ux::TUX_Http_Chunk_Decoder;

// Loads a header block and appends body in pieces of the given size.
Check load(TUX_HTTP_Cli_Response& r, const std::string& block) {
  r.reset();
  r.set_content_got_size(0);
  return r.load_header(block);
}

void append_in_pieces(TUX_HTTP_Cli_Response& r, const std::string& body, size_t piece) {
  for (size_t at = 0; at < body.size(); at += piece) {
    const size_t n = std::min(piece, body.size() - at);
    ASSERT_EQ(r.append_content(body.data() + at, int32_t(n)), int32_t(n)) << "at " << at;
  }
}

// Decodes coded in pieces of the given size; the decoded bytes, or "<error>".
std::string decode_chunked(const std::string& coded, size_t piece, Chunks::Result* last = nullptr) {
  Chunks d;
  ux::Tfifo_Mem_stream out;
  Chunks::Result r = Chunks::Result::kAgain;
  for (size_t at = 0; at < coded.size() && r == Chunks::Result::kAgain; at += piece) {
    size_t used = 0;
    r = d.feed(coded.data() + at, std::min(piece, coded.size() - at), out, used);
  }
  if (last) *last = r;
  return r == Chunks::Result::kError ? "<error>" : out.asString();
}

// ---------------------------------------------------------------- header fields

TEST(HttpResponseHeader, TypeCharsetAndLengthThenCompletion) {
  TUX_HTTP_Cli_Response r;
  ASSERT_EQ(load(r, "HTTP/1.1 200 OK\r\nContent-Type: text/html; Charset=UTF8\r\nContent-Length: 10"),
            Check::kOk);
  EXPECT_EQ(r.Response_code(), 200);
  EXPECT_EQ(r.http_cmd_str(), "HTTP/1.1 200 OK");
  EXPECT_EQ(r.content_type(), "text/html");
  EXPECT_EQ(r.charset(), "utf-8");
  EXPECT_EQ(r.content_length(), 10);
  EXPECT_FALSE(r.have_got_all_resp_data());
  append_in_pieces(r, "0123456789", 3);
  EXPECT_TRUE(r.have_got_all_resp_data());
  EXPECT_EQ(r.Content_asString(), "0123456789");
}

TEST(HttpResponseHeader, CharsetNormalisationAndParameters) {
  const std::pair<const char*, const char*> cases[] = {
      {"text/plain; charset=GBK", "gb2312"},     {"text/plain; charset=cp936", "gb2312"},
      {"text/plain; charset=gb-2312", "gb2312"}, {"text/plain;charset=65001", "utf-8"},
      {"text/plain; charset=utf", "utf-8"},      {"text/plain; charset=\"UTF-8\"; q=1", "UTF-8"},
      {"text/plain; charset=latin1", "latin1"},  {"text/plain", ""},
  };
  TUX_HTTP_Cli_Response r;
  for (const auto& [type, charset] : cases) {
    ASSERT_EQ(load(r, std::string("HTTP/1.1 200 OK\r\nContent-Type: ") + type), Check::kOk);
    EXPECT_EQ(r.charset(), charset) << type;
    EXPECT_EQ(r.content_type(), "text/plain") << type;
  }
  ASSERT_EQ(load(r, "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\ncharset: gbk"), Check::kOk);
  EXPECT_EQ(r.charset(), "gb2312");
}

TEST(HttpResponseHeader, GetHeaderMatchesWholeNamesAndDecodesValues) {
  TUX_HTTP_Cli_Response r;
  EXPECT_EQ(r.get_header("server"), "");
  ASSERT_EQ(load(r, "HTTP/1.1 200 OK\r\nX-Server: a\r\nSERVER : spaced\r\nServer: nginx/1.22\r\n"
                    "V: a+b%20c\r\nL: x%2Cy%3dz"),
            Check::kOk);
  EXPECT_EQ(r.get_header("server"), "nginx/1.22");
  EXPECT_EQ(r.server_ver(), "nginx/1.22");
  EXPECT_EQ(r.get_header("v"), "a b c");
  EXPECT_EQ(r.get_header("L"), "x,y=z");
  EXPECT_EQ(r.get_header_raw("v"), "a+b%20c");
  EXPECT_EQ(r.get_header_raw("x-server"), "a");
  EXPECT_EQ(r.get_header_raw("nope"), "");
  EXPECT_EQ(r.get_header(""), "");
  EXPECT_EQ(r.get_header("missing"), "");
}

TEST(HttpResponseHeader, StatusLines) {
  TUX_HTTP_Cli_Response r;
  EXPECT_EQ(load(r, "HTTP/1.1 206 Partial Content\r\ncontent-range: bytes 0-0/1\r\nContent-Length: 1"),
            Check::kOk);
  EXPECT_EQ(r.Response_code(), 206);
  EXPECT_EQ(load(r, "HTTP/1.0 204"), Check::kOk);
  EXPECT_EQ(r.Response_code(), 204);
  EXPECT_EQ(load(r, "HTTP/1.1 abc OK"), Check::kBadStatusLine);
  EXPECT_EQ(r.Response_code(), 0);
  for (const char* bad : {"", "garbage", "ICY 200 OK", "HTTP/1.1  200 OK", "HTTP/1.1 99 Low", "HTTP/1.1 600 High",
                          "HTTP/1.1 2000 OK", "HTTP/x.1 200 OK", "HTTP/1.1 200OK"}) {
    EXPECT_EQ(load(r, bad), Check::kBadStatusLine) << bad;
  }
}

TEST(HttpResponseHeader, ContentRangeInAnyLetterCase) {
  TUX_HTTP_Cli_Response r;
  for (const char* name : {"content-Range", "CONTENT-RANGE", "Content-Range"}) {
    ASSERT_EQ(load(r, std::string("HTTP/1.1 206 Partial Content\r\n") + name +
                          ": bytes 100-199/1000\r\nContent-Length: 100"),
              Check::kOk)
        << name;
    EXPECT_TRUE(r.Range.Enabled);
    EXPECT_EQ(r.Range.pos_start, 100);
    EXPECT_EQ(r.Range.pos_end, 199);
    EXPECT_EQ(r.Range.full_content_length, 1000);
    EXPECT_EQ(r.Range.clip_length, 100);
    EXPECT_EQ(r.content_length(), 100);
  }
  ASSERT_EQ(load(r, "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */1000\r\nContent-Length: 0"),
            Check::kOk);
  EXPECT_TRUE(r.Range.Enabled);
  EXPECT_EQ(r.Range.pos_start, -1);
  EXPECT_EQ(r.Range.pos_end, -1);
  EXPECT_EQ(r.Range.full_content_length, 1000);
  EXPECT_TRUE(r.have_got_all_resp_data());
}

TEST(HttpResponseHeader, PartialContentWithoutAUsableRangeIsRefused) {
  TUX_HTTP_Cli_Response r;
  for (const char* bad : {"", "\r\nContent-Range: bytes x-199/1000", "\r\nContent-Range: bytes 200-100/1000",
                          "\r\nContent-Range: bytes 0-1000/1000", "\r\nContent-Range: bytes 0-9/100\r\nContent-Length: 5",
                          "\r\nContent-Range: garbage"}) {
    EXPECT_EQ(load(r, std::string("HTTP/1.1 206 Partial Content") + bad), Check::kBadContentRange) << bad;
  }
  EXPECT_EQ(load(r, "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-9/*\r\nContent-Length: 10"), Check::kOk);
  EXPECT_EQ(r.Range.full_content_length, -1);
}

TEST(HttpResponseHeader, LengthsZeroNegativeHugeAndMissing) {
  TUX_HTTP_Cli_Response r;
  for (const char* zero : {"0", "00", "000"}) {
    ASSERT_EQ(load(r, std::string("HTTP/1.1 200 OK\r\nContent-Length: ") + zero), Check::kOk);
    EXPECT_TRUE(r.is_empty_content()) << zero;
    EXPECT_TRUE(r.have_got_all_resp_data()) << zero;
  }
  for (const char* bad : {"-5", "abc", "12abc", "99999999999999999999999", "1, 1"}) {
    EXPECT_EQ(load(r, std::string("HTTP/1.1 200 OK\r\nContent-Length: ") + bad), Check::kBadLength) << bad;
  }
  ASSERT_EQ(load(r, "HTTP/1.1 200 OK\r\nContent-Length: 123456789012345"), Check::kOk);
  EXPECT_EQ(r.content_length(), 123456789012345);
  ASSERT_EQ(load(r, "HTTP/1.1 200 OK\r\nServer: x"), Check::kOk);
  EXPECT_EQ(r.content_length(), -1);
  EXPECT_TRUE(r.body_ends_at_close());
  append_in_pieces(r, "until the end", 4);
  EXPECT_FALSE(r.have_got_all_resp_data());
  r.mark_connection_closed();
  EXPECT_TRUE(r.have_got_all_resp_data());
  EXPECT_EQ(r.Content_asString(), "until the end");
}

TEST(HttpResponseBody, ZeroLengthEmptiesAndBytesPastTheLengthAreDropped) {
  TUX_HTTP_Cli_Response r;
  ASSERT_EQ(load(r, "HTTP/1.1 200 OK\r\nContent-Length: 4"), Check::kOk);
  EXPECT_EQ(r.append_content("abcdef", 6), 6);
  EXPECT_EQ(r.Content_asString(), "abcd");
  EXPECT_EQ(r.content_got_size(), 4);
  EXPECT_EQ(r.append_content(nullptr, 3), -1);
  EXPECT_EQ(r.append_content("x", 0), -1);
  r.reset();
  EXPECT_EQ(r.append_content("x", 1), -1);
  r.mark_no_body();
  EXPECT_TRUE(r.have_got_all_resp_data());
}

TEST(HttpResponseBody, AnswerWithoutBodyIgnoresItsFramingHeaders) {
  // The last one stands for an answer to HEAD.
  for (const char* head : {"HTTP/1.1 204 No Content\r\nTransfer-Encoding: chunked",
                           "HTTP/1.1 304 Not Modified\r\nContent-Length: 5",
                           "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked"}) {
    TUX_HTTP_Cli_Response r;
    ASSERT_EQ(load(r, head), Check::kOk);
    r.mark_no_body();
    EXPECT_TRUE(r.have_got_all_resp_data()) << head;
    EXPECT_EQ(r.append_content("5\r\nhello\r\n0\r\n\r\n", 15), 15) << head;
    EXPECT_EQ(r.Content_asString(), "") << head;
    EXPECT_EQ(r.content_got_size(), 0) << head;
    EXPECT_EQ(r.body_error(), TUX_HTTP_Cli_Response::BodyError::kNone) << head;
  }
}

TEST(HttpResponseBody, MoveInBufHandsOverEverything) {
  TUX_HTTP_Cli_Response r;
  ASSERT_EQ(load(r, "HTTP/1.1 200 OK\r\nContent-Length: 6"), Check::kOk);
  EXPECT_EQ(r.append_content("abc", 3), 3);
  ux::Tfifo_Mem_stream sink;
  EXPECT_EQ(r.move_in_buf_to(sink), 3);
  EXPECT_EQ(r.move_in_buf_to(sink), 0);
  EXPECT_EQ(r.append_content("def", 3), 3);
  EXPECT_EQ(r.move_in_buf_to(sink), 3);
  EXPECT_EQ(sink.asString(), "abcdef");
  EXPECT_TRUE(r.have_got_all_resp_data());
}

TEST(HttpResponseBody, ChunkedHelloWorldInEverySplit) {
  const std::string coded = "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n";
  TUX_HTTP_Cli_Response r;
  for (size_t piece = 1; piece <= coded.size(); ++piece) {
    ASSERT_EQ(load(r, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked"), Check::kOk);
    EXPECT_TRUE(r.is_chunked_data());
    EXPECT_EQ(r.content_length(), -1);
    for (size_t at = 0; at < coded.size(); at += piece) {
      EXPECT_FALSE(r.have_got_all_resp_data()) << piece;
      const size_t n = std::min(piece, coded.size() - at);
      ASSERT_EQ(r.append_content(coded.data() + at, int32_t(n)), int32_t(n));
    }
    EXPECT_TRUE(r.have_got_all_resp_data()) << piece;
    EXPECT_EQ(r.Content_asString(), "hello world");
    EXPECT_EQ(r.content_length(), 11);
  }
}

TEST(HttpResponseBody, ChunkedEmptyBodyCompletesAndTransferCodingBeatsLength) {
  TUX_HTTP_Cli_Response r;
  ASSERT_EQ(load(r, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nTransfer-Encoding: gzip, Chunked"), Check::kOk);
  EXPECT_TRUE(r.is_chunked_data());
  EXPECT_FALSE(r.have_got_all_resp_data());
  EXPECT_EQ(r.append_content("0\r\n\r\n", 5), 5);
  EXPECT_TRUE(r.have_got_all_resp_data());
  EXPECT_EQ(r.content_length(), 0);

  ASSERT_EQ(load(r, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nTransfer-Encoding: gzip"), Check::kOk);
  EXPECT_FALSE(r.is_chunked_data());
  EXPECT_TRUE(r.body_ends_at_close());
}

TEST(HttpResponseBody, MalformedChunkedBodyFailsAndKeepsWhatWasDecoded) {
  TUX_HTTP_Cli_Response r;
  ASSERT_EQ(load(r, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked"), Check::kOk);
  EXPECT_EQ(r.append_content("3\r\nabc\r\n", 8), 8);
  EXPECT_EQ(r.body_error(), TUX_HTTP_Cli_Response::BodyError::kNone);
  EXPECT_EQ(r.append_content("zz\r\n", 4), -1);
  EXPECT_EQ(r.body_error(), TUX_HTTP_Cli_Response::BodyError::kBadChunk);
  EXPECT_FALSE(r.have_got_all_resp_data());
  EXPECT_EQ(r.Content_asString(), "abc");
  EXPECT_EQ(r.append_content("0\r\n\r\n", 5), -1);
}

TEST(HttpResponseBody, LargeBodiesGrowTheBufferGeometrically) {
  TUX_HTTP_Cli_Response r;
  ASSERT_EQ(load(r, "HTTP/1.1 200 OK"), Check::kOk);
  const std::string piece(65536, 'g');
  int growths = 0;
  int32_t capacity = r.body().SpaceSize();
  for (int i = 0; i < 320; ++i) {  // 20 MiB
    ASSERT_EQ(r.append_content(piece.data(), int32_t(piece.size())), int32_t(piece.size()));
    if (r.body().SpaceSize() != capacity) ++growths;
    capacity = r.body().SpaceSize();
  }
  EXPECT_EQ(r.body().DataLength(), 320 * 65536);
  EXPECT_LT(growths, 20);
  EXPECT_LT(capacity, 3 * 320 * 65536);
}

TEST(HttpResponseBody, BodyBufferCapIsAnError) {
  TUX_HTTP_Cli_Response r;
  ASSERT_EQ(load(r, "HTTP/1.1 200 OK\r\nContent-Length: 100000"), Check::kOk);
  r.body().SetCapacityLimit(16384);
  const std::string piece(10000, 'x');
  EXPECT_EQ(r.append_content(piece.data(), 10000), 10000);
  EXPECT_EQ(r.append_content(piece.data(), 10000), -1);
  EXPECT_EQ(r.body_error(), TUX_HTTP_Cli_Response::BodyError::kBufferFull);

  ASSERT_EQ(load(r, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked"), Check::kOk);
  r.body().SetCapacityLimit(16384);
  const std::string chunk = "4E20\r\n" + std::string(20000, 'y') + "\r\n";
  EXPECT_EQ(r.append_content(chunk.data(), int32_t(chunk.size())), -1);
  EXPECT_EQ(r.body_error(), TUX_HTTP_Cli_Response::BodyError::kBufferFull);
}

// ---------------------------------------------------------------- chunk decoder

TEST(HttpChunkDecoder, ExtensionsLeadingZerosTrailersAndBareLf) {
  EXPECT_EQ(decode_chunked("4;name=value;x\r\nWiki\r\n05 ; q=\"a;b\"\r\npedia\r\n00\r\n\r\n", 1), "Wikipedia");
  EXPECT_EQ(decode_chunked("3\r\nabc\r\n0\r\nExpires: never\r\nX-Sum: 1\r\n\r\n", 2), "abc");
  EXPECT_EQ(decode_chunked("3\nabc\n0\n\n", 1), "abc");
  EXPECT_EQ(decode_chunked("A\r\n0123456789\r\n0\r\n\r\n", 7), "0123456789");
  EXPECT_EQ(decode_chunked("a\r\n0123456789\r\n0\r\n\r\n", 100), "0123456789");
}

TEST(HttpChunkDecoder, StopsAtTheEndAndLeavesWhatFollows) {
  Chunks d;
  ux::Tfifo_Mem_stream out;
  const std::string coded = "2\r\nab\r\n0\r\n\r\nHTTP/1.1 200 OK";
  size_t used = 0;
  EXPECT_EQ(d.feed(coded.data(), coded.size(), out, used), Chunks::Result::kDone);
  EXPECT_EQ(used, coded.find("HTTP"));
  EXPECT_TRUE(d.done());
  EXPECT_EQ(d.decoded_size(), 2);
  EXPECT_EQ(d.feed("x", 1, out, used), Chunks::Result::kDone);
  EXPECT_EQ(used, 0u);
}

TEST(HttpChunkDecoder, HostileSizesAndLinesFail) {
  struct Case {
    std::string coded;
    Chunks::Error error;
  };
  const Case cases[] = {
      {"FFFFFFFFFFFFFFFFF\r\n", Chunks::Error::kSizeTooLarge},
      {"10000000001\r\n", Chunks::Error::kSizeTooLarge},
      {"-1\r\n", Chunks::Error::kBadSize},
      {"\r\n", Chunks::Error::kBadSize},
      {"0x10\r\n", Chunks::Error::kBadSize},
      {"3 4\r\n", Chunks::Error::kBadSize},
      {"3\rx", Chunks::Error::kBadSize},
      {"3;\x01\r\n", Chunks::Error::kBadSize},
      {"3\r\nabcX", Chunks::Error::kBadDataEnd},
      {"3\r\nabc\rX", Chunks::Error::kBadDataEnd},
      {"3;" + std::string(5000, 'e') + "\r\n", Chunks::Error::kLineTooLong},
      {"0\r\nA: b\rX", Chunks::Error::kBadTrailer},
      {"0\r\n\rX", Chunks::Error::kBadTrailer},
      {"0\r\nA: " + std::string(70000, 'b'), Chunks::Error::kTrailerTooLong},
  };
  for (const Case& c : cases) {
    for (size_t piece : {size_t(1), size_t(3), c.coded.size()}) {
      Chunks d;
      ux::Tfifo_Mem_stream out;
      Chunks::Result r = Chunks::Result::kAgain;
      for (size_t at = 0; at < c.coded.size() && r == Chunks::Result::kAgain; at += piece) {
        size_t used = 0;
        r = d.feed(c.coded.data() + at, std::min(piece, c.coded.size() - at), out, used);
      }
      EXPECT_EQ(r, Chunks::Result::kError) << c.coded.substr(0, 20) << " piece " << piece;
      EXPECT_EQ(d.error(), c.error) << c.coded.substr(0, 20);
    }
  }
}

TEST(HttpChunkDecoder, RandomChunkingsRoundTrip) {
  std::mt19937 rng(11);
  for (int round = 0; round < 40; ++round) {
    const std::string body = qlyn_test::sample_bytes(rng() % 20000, unsigned(round));
    std::string coded;
    for (size_t at = 0; at < body.size();) {
      const size_t n = std::min<size_t>(1 + rng() % 5000, body.size() - at);
      char size_line[32];
      snprintf(size_line, sizeof size_line, round % 2 ? "%zx\r\n" : "%zX;e=1\r\n", n);
      coded += size_line + body.substr(at, n) + "\r\n";
      at += n;
    }
    coded += "0\r\n\r\n";
    Chunks::Result last;
    EXPECT_EQ(decode_chunked(coded, 1 + rng() % 3000, &last), body);
    EXPECT_EQ(last, Chunks::Result::kDone);
  }
}

// ---------------------------------------------------------------- header reader

TEST(HttpHeaderReader, CollectsAcrossPiecesAndLeavesTheBody) {
  const std::string wire = "HTTP/1.1 200 OK\r\nA: 1\r\n\r\nbody";
  for (size_t piece = 1; piece <= wire.size(); ++piece) {
    ux::TUX_Http_Header_Reader reader;
    size_t at = 0;
    ux::TUX_Http_Header_Reader::Result r = ux::TUX_Http_Header_Reader::Result::kAgain;
    while (r == ux::TUX_Http_Header_Reader::Result::kAgain && at < wire.size()) {
      size_t used = 0;
      r = reader.feed(wire.data() + at, std::min(piece, wire.size() - at), used);
      at += used;
    }
    ASSERT_EQ(r, ux::TUX_Http_Header_Reader::Result::kDone) << piece;
    EXPECT_EQ(wire.substr(at), "body") << piece;
    EXPECT_EQ(reader.take_block(), "HTTP/1.1 200 OK\r\nA: 1") << piece;
    EXPECT_EQ(reader.size(), 0);
  }
}

TEST(HttpHeaderReader, BareLineFeedsAndTheCap) {
  ux::TUX_Http_Header_Reader reader;
  size_t used = 0;
  const std::string lf = "HTTP/1.1 200 OK\nA: 1\n\nrest";
  ASSERT_EQ(reader.feed(lf.data(), lf.size(), used), ux::TUX_Http_Header_Reader::Result::kDone);
  EXPECT_EQ(lf.substr(used), "rest");
  EXPECT_EQ(reader.take_block(), "HTTP/1.1 200 OK\nA: 1");

  const std::string line = "X-Filler: " + std::string(1000, 'f') + "\r\n";
  ux::TUX_Http_Header_Reader::Result r = ux::TUX_Http_Header_Reader::Result::kAgain;
  int rounds = 0;
  while (r == ux::TUX_Http_Header_Reader::Result::kAgain && rounds++ < 10000)
    r = reader.feed(line.data(), line.size(), used);
  EXPECT_EQ(r, ux::TUX_Http_Header_Reader::Result::kTooLarge);
  EXPECT_LE(reader.size(), ux::TUX_Http_Header_Reader::kMaxHeaderBytes);
  EXPECT_LT(rounds, 400);
}

}  // namespace
