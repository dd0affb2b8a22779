#include "server/res_http_conn.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/archive_maker.h"
#include "support/scoped_env.h"

namespace {

using namespace qlyn_res;
using qlyn_test::TTempDir;

struct Response {
  int status = 0;
  std::string head;
  std::string body;
};

class ResHttpConn : public ::testing::Test {
 protected:
  void SetUp() override {
    data = qlyn_test::sample_bytes(300000, 5);
    qlyn_test::write_file(dir / "down/p.7z", data);
    std::string err;
    ASSERT_TRUE(root.open(dir.path(), err)) << err;
    conn = std::make_unique<TRes_Http_Conn>(root, "127.0.0.1:1", "tcp",
                                            [this](const TRes_Access_Entry& e) { log.push_back(e); });
  }

  // Everything the connection has to send, pulled in pieces of room bytes.
  std::string drain(size_t room = 1000) {
    std::string out;
    std::vector<char> buf(room);
    for (int guard = 0; guard < 100000 && conn->has_output(); ++guard) {
      const size_t n = conn->pull_output(buf.data(), room);
      EXPECT_LE(n, room);
      out.append(buf.data(), n);
    }
    return out;
  }
  // Splits wire into responses, using Content-Length (HEAD answers have none
  // of their body on the wire: heads_only).
  static std::vector<Response> split(std::string wire, size_t heads_only = 0) {
    std::vector<Response> out;
    while (!wire.empty()) {
      const size_t end = wire.find("\r\n\r\n");
      if (end == std::string::npos) break;
      Response r;
      r.head = wire.substr(0, end + 4);
      r.status = std::stoi(r.head.substr(9, 3));
      size_t len = 0;
      const size_t cl = r.head.find("Content-Length: ");
      if (cl != std::string::npos && out.size() >= heads_only) len = std::stoul(r.head.substr(cl + 16));
      r.body = wire.substr(end + 4, len);
      wire.erase(0, end + 4 + len);
      out.push_back(r);
    }
    return out;
  }
  void send(const std::string& s) { conn->on_input(s.data(), s.size()); }

  TTempDir dir{"res_conn"};
  TRes_Root root;
  std::string data;
  std::unique_ptr<TRes_Http_Conn> conn;
  std::vector<TRes_Access_Entry> log;
};

TEST_F(ResHttpConn, PipelinedRequestsAreAnsweredInOrder) {
  send("GET /down/p.7z HTTP/1.1\r\nHost: h\r\nRange: bytes=10-19\r\n\r\n"
       "GET /missing HTTP/1.1\r\nHost: h\r\n\r\n"
       "GET /down/p.7z HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n"
       "GET /never HTTP/1.1\r\nHost: h\r\n\r\n");
  auto rs = split(drain(777));
  ASSERT_EQ(rs.size(), 3u);
  EXPECT_EQ(rs[0].status, 206);
  EXPECT_NE(rs[0].head.find("Content-Range: bytes 10-19/300000\r\n"), std::string::npos) << rs[0].head;
  EXPECT_EQ(rs[0].body, data.substr(10, 10));
  EXPECT_EQ(rs[1].status, 404);
  EXPECT_EQ(rs[2].status, 200);
  EXPECT_EQ(rs[2].body, data);
  EXPECT_NE(rs[2].head.find("Connection: close\r\n"), std::string::npos);
  EXPECT_TRUE(conn->done()) << "nothing after a close request is answered";
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[2].body_bytes, 300000);
  EXPECT_TRUE(log[2].complete);
}

TEST_F(ResHttpConn, OutputIsPulledOnlyAsTheTransportAsks) {
  send("GET /down/p.7z HTTP/1.1\r\nHost: h\r\n\r\n");
  std::vector<char> buf(4096);
  size_t total = 0;
  for (int i = 0; i < 10; ++i) total += conn->pull_output(buf.data(), buf.size());
  EXPECT_EQ(total, 40960u);
  EXPECT_TRUE(conn->has_output());
  conn.reset();  // ends mid-response: logged as incomplete
  ASSERT_EQ(log.size(), 1u);
  EXPECT_FALSE(log[0].complete);
  EXPECT_LT(log[0].body_bytes, 300000);
}

TEST_F(ResHttpConn, HeadAndMethodsAndConditionals) {
  send("HEAD /down/p.7z HTTP/1.1\r\nHost: h\r\n\r\n");
  auto head = split(drain(), 1);
  ASSERT_EQ(head.size(), 1u);
  EXPECT_EQ(head[0].status, 200);
  EXPECT_NE(head[0].head.find("Content-Length: 300000\r\n"), std::string::npos);
  EXPECT_TRUE(head[0].body.empty());
  const size_t at = head[0].head.find("ETag: ");
  const std::string etag = head[0].head.substr(at + 6, head[0].head.find("\r\n", at) - at - 6);

  send("DELETE /down/p.7z HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\nabc"
       "GET /down/p.7z HTTP/1.1\r\nHost: h\r\nIf-None-Match: \"other\", " + etag + "\r\n\r\n"
       "GET /down/p.7z HTTP/1.1\r\nHost: h\r\nIf-Range: \"stale\"\r\nRange: bytes=0-0\r\n\r\n"
       "GET /down/p.7z HTTP/1.1\r\nHost: h\r\nIf-Range: " + etag + "\r\nRange: bytes=0-0\r\n\r\n");
  auto rs = split(drain());
  ASSERT_EQ(rs.size(), 4u);
  EXPECT_EQ(rs[0].status, 405);
  EXPECT_NE(rs[0].head.find("Allow: GET, HEAD\r\n"), std::string::npos);
  EXPECT_EQ(rs[1].status, 304) << "the request body of the DELETE was skipped";
  EXPECT_EQ(rs[1].head.find("Content-Length"), std::string::npos);
  EXPECT_EQ(rs[2].status, 200) << "a stale If-Range sends the whole file";
  EXPECT_EQ(rs[3].status, 206);
  EXPECT_EQ(rs[3].body, data.substr(0, 1));
}

TEST_F(ResHttpConn, BadInputIsAnsweredAndEndsTheConnection) {
  send("GET / HTTP/1.1\r\nHost: h\r\nX: " + std::string(kMaxRequestHead, 'x'));
  auto rs = split(drain());
  ASSERT_EQ(rs.size(), 1u);
  EXPECT_EQ(rs[0].status, 431);
  EXPECT_NE(rs[0].head.find("Connection: close"), std::string::npos);
  EXPECT_TRUE(conn->done());
  EXPECT_FALSE(conn->wants_input());
}

TEST_F(ResHttpConn, UnsatisfiableRangeAnd416Fields) {
  send("GET /down/p.7z HTTP/1.1\r\nHost: h\r\nRange: bytes=300000-\r\n\r\n");
  auto rs = split(drain());
  ASSERT_EQ(rs.size(), 1u);
  EXPECT_EQ(rs[0].status, 416);
  EXPECT_NE(rs[0].head.find("Content-Range: bytes */300000\r\n"), std::string::npos);
  EXPECT_FALSE(conn->done()) << "a 416 keeps the connection";
}

TEST_F(ResHttpConn, AFileThatShrinksEndsTheConnection) {
  send("GET /down/p.7z HTTP/1.1\r\nHost: h\r\n\r\n");
  std::vector<char> buf(1000);
  conn->pull_output(buf.data(), buf.size());
  ASSERT_EQ(::truncate((dir / "down/p.7z").c_str(), 2000), 0);
  drain();
  EXPECT_TRUE(conn->done()) << "the announced length cannot be kept";
  ASSERT_EQ(log.size(), 1u);
  EXPECT_FALSE(log[0].complete);
}

TEST_F(ResHttpConn, PeerEndBeforeARequestCompletes) {
  send("GET /down/p.7z HTT");
  conn->on_input_end();
  EXPECT_TRUE(conn->done());
  EXPECT_FALSE(conn->has_output());
}

}  // namespace
