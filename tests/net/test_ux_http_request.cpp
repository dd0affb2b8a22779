#include "common/net/ux_http_request.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/ext_mem.h"
#include "common/ux_common.h"
#include "support/archive_maker.h"
#include "support/string_stream.h"

namespace {

using ux::TUX_HTTP_Cli_Request;

// What a sender saw: each call's bytes.
struct Recorder {
  std::vector<std::string> calls;
  ux::func_send_string as_string() {
    return [this](const std::string& s) {
      calls.push_back(s);
      return int32_t(s.size());
    };
  }
  std::string joined() const {
    std::string all;
    for (const auto& c : calls) all += c;
    return all;
  }
};

// A transport that accepts pieces whole until budget runs out, then 0.
struct Sink {
  std::string got;
  std::vector<int32_t> pieces;
  int64_t budget = INT64_MAX;
  ux::func_send_data as_data() {
    return [this](const char* p, int32_t n) -> int32_t {
      if (n > budget) return 0;
      budget -= n;
      got.append(p, size_t(n));
      pieces.push_back(n);
      return n;
    };
  }
};

// Drives Send_postData until it reports completion or stalls.
std::string drain(TUX_HTTP_Cli_Request& r, Sink& sink, int max_calls = 1000) {
  for (int i = 0; i < max_calls; ++i) {
    sink.budget = INT64_MAX;
    const int32_t res = r.Send_postData(sink.as_data());
    if (res == TUX_HTTP_Cli_Request::kSendAllDone) break;
    if (res <= 0) break;
  }
  return sink.got;
}

TEST(HttpRequestHeaders, AddHeadersLinesSetDeleteAndSkip) {
  TUX_HTTP_Cli_Request r;
  r.add_header("C", "old");
  r.add_headers("A: 1\r\nB:2\nC\n\nD: 4\n");
  EXPECT_EQ(r.get_header("A"), "1");
  EXPECT_EQ(r.get_header("B"), "2");
  EXPECT_EQ(r.get_header("D"), "4");
  EXPECT_EQ(r.get_header("C"), "");
  EXPECT_EQ(r.headers.Count(), 3);
  EXPECT_EQ(r.headers.GetName_idx(0), "A");
}

TEST(HttpRequestHeaders, ReplaceInPlaceKeepsFirstSpellingAndEmptyValueDeletes) {
  TUX_HTTP_Cli_Request r;
  r.add_header("X", "u");
  r.add_header("Y", "y");
  r.add_header(" x ", " v ");
  ASSERT_EQ(r.headers.Count(), 2);
  EXPECT_EQ(r.headers.GetName_idx(0), "X");
  EXPECT_EQ(r.headers.GetValueFromIndex(0), "v");
  r.add_header("X", "");
  EXPECT_EQ(r.headers.Count(), 1);
  r.add_header("", "value");
  EXPECT_EQ(r.headers.Count(), 1);
  EXPECT_EQ(r.get_header(""), "");
}

TEST(HttpRequestHeaders, LineBreaksInNameOrValueAreRefused) {
  TUX_HTTP_Cli_Request r;
  r.add_header("X", "a\r\nEvil: 1");
  r.add_header("Evil\r\nY", "1");
  r.add_header("Z", std::string("a\0b", 3));
  EXPECT_EQ(r.headers.Count(), 0);
  r.add_header("X", "fine");
  r.add_header("X", "a\nb");
  EXPECT_EQ(r.get_header("X"), "fine");
}

TEST(HttpRequestHeaders, SendHeadersWritesLineHeadersAndEndEachAsOneCall) {
  TUX_HTTP_Cli_Request r;
  r.cmd_str = "GET /x HTTP/1.1\r\n";
  r.add_header("host", "h:80");
  r.add_header("Accept", "*/*");
  Recorder rec;
  r.send_headers(rec.as_string());
  ASSERT_EQ(rec.calls.size(), 4u);
  EXPECT_EQ(rec.calls[0], "GET /x HTTP/1.1\r\n");
  EXPECT_EQ(rec.calls[1], "host: h:80\r\n");
  EXPECT_EQ(rec.calls[2], "Accept: */*\r\n");
  EXPECT_EQ(rec.calls[3], "\r\n");
  r.send_headers(nullptr);
  EXPECT_NE(r.raw_headers().find("host:h:80\r\n"), std::string::npos);

  auto empty_post = TUX_HTTP_Cli_Request::CreateFromUrlPost("http://h/", "", "");
  Recorder post;
  empty_post->send_headers(post.as_string());
  EXPECT_EQ(post.calls.end()[-2], "content-length: 0\r\n");
  auto full_post = TUX_HTTP_Cli_Request::CreateFromUrlPost("http://h/", "abc", "");
  Recorder full;
  full_post->send_headers(full.as_string());
  EXPECT_EQ(full.joined().find("content-length: 0"), std::string::npos);
  EXPECT_NE(full.joined().find("content-length: 3\r\n"), std::string::npos);
}

TEST(HttpRequestProperties, MethodRangeLengthAndType) {
  TUX_HTTP_Cli_Request r;
  EXPECT_EQ(r.method(), "GET");
  r.set_method("abcdefghijklmnopqrstuvwxyz1234");
  EXPECT_EQ(r.method(), "ABCDEFGHIJKLMNOPQRST");

  r.set_Requ_range(1000, 0);
  EXPECT_EQ(r.get_header("Range"), "bytes=1000-");
  r.set_Requ_range(0, 99);
  EXPECT_EQ(r.get_header("range"), "bytes=0-99");
  r.set_Requ_range(0, 0);
  EXPECT_EQ(r.get_header("range"), "bytes=0-");
  r.set_Requ_range(5000000000LL, 6000000000LL);
  EXPECT_EQ(r.get_header("range"), "bytes=5000000000-6000000000");
  EXPECT_EQ(r.headers.Count(), 1);

  r.set_content_length(12);
  EXPECT_EQ(r.get_header("content-length"), "12");
  r.set_content_length(0);
  EXPECT_EQ(r.get_header("content-length"), "");
  EXPECT_EQ(r.content_length(), 0);
  r.set_content_type("text/plain");
  EXPECT_EQ(r.get_header("Content-Type"), "text/plain");
  r.set_content_type("");
  EXPECT_EQ(r.get_header("content-type"), "");
}

TEST(HttpRequestLifecycle, ResetEmptiesEverythingButKeepsTheList) {
  auto r = TUX_HTTP_Cli_Request::CreateFromUrlPost("http://h/p", "body", "A: 1");
  r->set_tag("t");
  r->func_http_ret_ex = ux::make_http_ret_proc([](int32_t, const std::string&) {});
  r->func_ws_conn_event = [](TUX_HTTP_Cli_Request*, int32_t, const std::string&, const uint8_t*, int32_t) {};
  r->UserData.P1 = 7;
  r->ws_conn.ws_key_encoded = "k";
  ux::TUX_KV_List* list = &r->headers;
  r->reset();
  EXPECT_EQ(r->method(), "GET");
  EXPECT_EQ(r->url(), "");
  EXPECT_EQ(r->tag(), "");
  EXPECT_EQ(r->headers.Count(), 0);
  EXPECT_EQ(&r->headers, list);
  EXPECT_EQ(r->post_data.sour_type, TUX_HTTP_Cli_Request::kSourNone);
  EXPECT_EQ(r->post_data.data_str, "");
  EXPECT_EQ(r->content_type(), "");
  EXPECT_FALSE(r->func_http_ret_ex);
  EXPECT_FALSE(r->func_ws_conn_event);
  EXPECT_EQ(r->UserData.P1, 0);
  EXPECT_EQ(r->ws_conn.ws_key_encoded, "");
}

TEST(HttpRequestLifecycle, FactoriesSetMethodUrlHeadersAndMode) {
  auto g = TUX_HTTP_Cli_Request::CreateFromUrlGet("http://h/g", "X-A: 1\nX-B: 2");
  EXPECT_EQ(g->method(), "GET");
  EXPECT_EQ(g->url(), "http://h/g");
  EXPECT_EQ(g->headers.Count(), 2);
  EXPECT_FALSE(g->WS_conn_mode());

  auto p = TUX_HTTP_Cli_Request::CreateFromUrlPost("http://h/p", "a=1", "");
  EXPECT_EQ(p->method(), "POST");
  EXPECT_EQ(p->content_length(), 3);
  EXPECT_EQ(p->get_header("content-type"), "application/x-www-url-encoded");

  auto w = TUX_HTTP_Cli_Request::CreateFromWSConn("ws://h/w", "key: abc");
  EXPECT_TRUE(w->WS_conn_mode());
  EXPECT_EQ(w->get_header("key"), "abc");
}

TEST(HttpRequestWebSocket, KeyIs24CharactersAndRepeatsAfterReconnection) {
  auto r = TUX_HTTP_Cli_Request::CreateFromWSConn("ws://h/", "");
  r->cmd_str = "GET / HTTP/1.1\r\n";
  r->add_header("connection", "keep-alive");
  Recorder first;
  r->send_headers(first.as_string());
  const std::string key = r->get_header("Sec-WebSocket-Key");
  EXPECT_EQ(key.size(), 24u);
  EXPECT_EQ(r->ws_conn.ws_key.size(), 16u);
  EXPECT_EQ(ux::base64_encode_text(r->ws_conn.ws_key), key);
  EXPECT_NE(first.joined().find("connection: Upgrade\r\n"), std::string::npos);
  EXPECT_NE(first.joined().find("Upgrade: websocket\r\n"), std::string::npos);
  EXPECT_NE(first.joined().find("Sec-WebSocket-Version: 13\r\n"), std::string::npos);
  EXPECT_EQ(first.joined().find("Connection: "), std::string::npos);

  Recorder second;
  r->send_headers(second.as_string());
  EXPECT_EQ(r->get_header("Sec-WebSocket-Key"), key);
  EXPECT_EQ(first.joined(), second.joined());

  auto other = TUX_HTTP_Cli_Request::CreateFromWSConn("ws://h/", "");
  Recorder third;
  other->send_headers(third.as_string());
  EXPECT_NE(other->get_header("Sec-WebSocket-Key"), key);
}

TEST(HttpRequestBody, StringBodyGoesIn65536And34464ThenAllDone) {
  const std::string body = qlyn_test::sample_bytes(100000, 1);
  auto r = TUX_HTTP_Cli_Request::CreateFromUrlPost("http://h/", body, "");
  Sink sink;
  EXPECT_EQ(r->Send_postData(sink.as_data()), 100000);
  ASSERT_EQ(sink.pieces, (std::vector<int32_t>{65536, 34464}));
  EXPECT_EQ(sink.got, body);
  EXPECT_EQ(r->Send_postData(sink.as_data()), TUX_HTTP_Cli_Request::kSendAllDone);
}

TEST(HttpRequestBody, FullTransportAndSenderErrorsKeepThePosition) {
  const std::string body = qlyn_test::sample_bytes(150000, 2);
  auto r = TUX_HTTP_Cli_Request::CreateFromUrlPost("http://h/", body, "");
  Sink sink;
  sink.budget = 70000;  // first piece fits, the second does not
  EXPECT_EQ(r->Send_postData(sink.as_data()), 65536);
  sink.budget = 0;
  EXPECT_EQ(r->Send_postData(sink.as_data()), 0);
  EXPECT_EQ(r->post_data.pos, 65536);
  EXPECT_EQ(r->Send_postData([](const char*, int32_t) { return -1; }), -1);
  EXPECT_EQ(r->Send_postData([](const char*, int32_t) { return -7; }), -7);
  EXPECT_EQ(r->post_data.pos, 65536);
  EXPECT_EQ(drain(*r, sink), body);
  EXPECT_EQ(r->Send_postData(nullptr), 0);
}

TEST(HttpRequestBody, FileBodyFromAnOffset) {
  qlyn_test::TTempDir dir("http_req");
  const std::string body = qlyn_test::sample_bytes(200000, 3);
  qlyn_test::write_file(dir / "f.bin", body);
  TUX_HTTP_Cli_Request r;
  EXPECT_FALSE(r.set_post_file(dir / "missing.bin", 0));
  EXPECT_EQ(r.post_data.sour_type, TUX_HTTP_Cli_Request::kSourNone);
  ASSERT_TRUE(r.set_post_file(dir / "f.bin", 1000));
  EXPECT_EQ(r.content_length(), 199000);
  EXPECT_EQ(r.get_header("content-type"), "application/octet-stream");
  EXPECT_EQ(r.post_data.from_sour_offset, 1000);
  Sink sink;
  sink.budget = 100000;  // a refusal in the middle resumes at the right place
  EXPECT_EQ(r.Send_postData(sink.as_data()), 65536);
  EXPECT_EQ(drain(r, sink), body.substr(1000));

  TUX_HTTP_Cli_Request whole;
  ASSERT_TRUE(whole.set_post_file(dir / "f.bin", -5));
  Sink all;
  EXPECT_EQ(drain(whole, all), body);
}

TEST(HttpRequestBody, StreamBodyFromItsPosition) {
  auto st = std::make_unique<qlyn_test::TStringStream>();
  st->data = qlyn_test::sample_bytes(140000, 4);
  st->pos = 40000;
  const std::string expect = st->data.substr(40000);
  TUX_HTTP_Cli_Request r;
  EXPECT_FALSE(r.set_post_Stream(nullptr));
  ASSERT_TRUE(r.set_post_Stream(std::move(st)));
  EXPECT_EQ(r.content_length(), 100000);
  EXPECT_EQ(r.post_data.from_sour_offset, 40000);
  Sink sink;
  EXPECT_EQ(drain(r, sink), expect);
}

TEST(HttpRequestBody, FifoStreamBodyIsReadAtOffsetsNotRepeated) {
  auto fifo = std::make_unique<ux::Tfifo_Mem_stream>();
  const std::string body = qlyn_test::sample_bytes(150000, 5);
  fifo->WriteString(body);
  TUX_HTTP_Cli_Request r;
  ASSERT_TRUE(r.set_post_Stream(std::move(fifo)));
  EXPECT_EQ(r.content_length(), 150000);
  Sink sink;
  EXPECT_EQ(drain(r, sink), body);
  EXPECT_EQ(sink.pieces.size(), 3u);
}

TEST(HttpRequestBody, DataSourceBodyFromAnOffset) {
  qlyn_test::TTempDir dir("http_req");
  const std::string body = qlyn_test::sample_bytes(180000, 6);
  qlyn_test::write_file(dir / "ds.bin", body);
  TUX_HTTP_Cli_Request r;
  EXPECT_FALSE(r.set_post_stream(nullptr, 0));
  ASSERT_TRUE(r.set_post_stream(ux::TUX_Data_source_File_ex::CreateFileDataSource(dir / "ds.bin"), 5000));
  EXPECT_EQ(r.post_data.sour_type, TUX_HTTP_Cli_Request::kSourDataSource);
  EXPECT_EQ(r.content_length(), 175000);
  EXPECT_EQ(r.get_header("content-length"), "175000");
  Sink sink;
  sink.budget = 70000;
  EXPECT_EQ(r.Send_postData(sink.as_data()), 65536);
  EXPECT_EQ(drain(r, sink), body.substr(5000));
  EXPECT_EQ(r.Send_postData(sink.as_data()), TUX_HTTP_Cli_Request::kSendAllDone);

  // A source the creator keeps is not destroyed with the request.
  auto kept = ux::TUX_Data_source_File_ex::CreateFileDataSource(dir / "ds.bin", false);
  {
    TUX_HTTP_Cli_Request borrower;
    ASSERT_TRUE(borrower.set_post_stream(ux::TUX_Data_source_ptr(kept.get()), -3));
    EXPECT_EQ(borrower.content_length(), 180000);
  }
  char first[4];
  EXPECT_EQ(kept->ReadData(first, 4, 0), 4);
  EXPECT_EQ(std::string(first, 4), body.substr(0, 4));
}

TEST(HttpRequestBody, ClearPostDataDropsSourceAndContentHeaders) {
  auto r = TUX_HTTP_Cli_Request::CreateFromUrlPost("http://h/", "abc", "X: 1");
  r->clear_post_data();
  EXPECT_EQ(r->post_data.sour_type, TUX_HTTP_Cli_Request::kSourNone);
  EXPECT_EQ(r->content_length(), 0);
  EXPECT_EQ(r->get_header("content-length"), "");
  EXPECT_EQ(r->get_header("content-type"), "");
  EXPECT_EQ(r->get_header("X"), "1");
  Sink sink;
  EXPECT_EQ(r->Send_postData(sink.as_data()), TUX_HTTP_Cli_Request::kSendAllDone);
}

TEST(HttpRequestBody, ShortSourceStopsEarlyWithoutError) {
  auto r = TUX_HTTP_Cli_Request::CreateFromUrlPost("http://h/", "abc", "");
  r->set_content_length(10);
  r->post_data.sum = 10;
  Sink sink;
  EXPECT_EQ(r->Send_postData(sink.as_data()), 3);
  EXPECT_EQ(r->Send_postData(sink.as_data()), 0);
  EXPECT_EQ(sink.got, "abc");
}

}  // namespace
