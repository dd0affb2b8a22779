// bench_http_parse: the I/O-free halves of the HTTP client.
//
//   bench_http_parse [--benchmark_filter=REGEX]
//
// Header: a typical 13-line response head (status line and 12 fields, as
// nginx sends for a file) loaded and parsed per iteration; items are header
// blocks. The baseline only looks for the block's end, the least any parser
// does.
// Chunks: 16 MiB of body coded in 4 KiB chunks, fed to the decoder in 64 KiB
// pieces; bytes are decoded body bytes. The baseline copies the same bytes
// once (memcpy), the most a decoder could reach.
// WebSocket: 16 MiB of 64 KiB binary frames, masked, fed in 64 KiB pieces.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "common/ext_mem.h"
#include "common/net/ux_http_chunked.h"
#include "common/net/ux_http_response.h"
#include "common/net/ux_ws_frame.h"

namespace {

const std::string kHead =
    "HTTP/1.1 206 Partial Content\r\n"
    "Server: nginx/1.22.1\r\n"
    "Date: Wed, 09 Dec 2026 23:37:35 GMT\r\n"
    "Content-Type: application/x-7z-compressed; charset=utf-8\r\n"
    "Content-Length: 1048576\r\n"
    "Last-Modified: Wed, 09 Dec 2026 23:37:35 GMT\r\n"
    "Connection: keep-alive\r\n"
    "ETag: \"6b19e63f-40000000\"\r\n"
    "Content-Range: bytes 1048576-2097151/1073741824\r\n"
    "Accept-Ranges: bytes\r\n"
    "Cache-Control: max-age=3600\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Vary: Accept-Encoding";

constexpr size_t kBodyBytes = 16u << 20;
constexpr size_t kPiece = 65536;

std::string chunked_body(size_t chunk) {
  std::string coded;
  const std::string data(chunk, 'd');
  char line[32];
  for (size_t at = 0; at < kBodyBytes; at += chunk) {
    std::snprintf(line, sizeof line, "%zx\r\n", chunk);
    coded += line + data + "\r\n";
  }
  return coded + "0\r\n\r\n";
}

void BM_HeaderParse(benchmark::State& state) {
  ux::TUX_HTTP_Cli_Response r;
  for (auto _ : state) {
    r.reset();
    const auto check = r.load_header(kHead);
    benchmark::DoNotOptimize(check);
    benchmark::DoNotOptimize(r.content_length());
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["fields/s"] =
      benchmark::Counter(double(state.iterations()) * 12, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_HeaderParse);

void BM_HeaderEndScanBaseline(benchmark::State& state) {
  const std::string wire = kHead + "\r\n\r\n";
  for (auto _ : state) {
    ux::TUX_Http_Header_Reader reader;
    size_t used = 0;
    benchmark::DoNotOptimize(reader.feed(wire.data(), wire.size(), used));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HeaderEndScanBaseline);

void BM_ChunkDecode4K(benchmark::State& state) {
  const std::string coded = chunked_body(4096);
  ux::Tfifo_Mem_stream out(int32_t(kPiece * 2));
  for (auto _ : state) {
    ux::TUX_Http_Chunk_Decoder d;
    for (size_t at = 0; at < coded.size(); at += kPiece) {
      size_t used = 0;
      d.feed(coded.data() + at, std::min(kPiece, coded.size() - at), out, used);
      out.Reset(false);
    }
    benchmark::DoNotOptimize(d.done());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBodyBytes));
}
BENCHMARK(BM_ChunkDecode4K)->Unit(benchmark::kMillisecond);

void BM_ChunkCopyBaseline(benchmark::State& state) {
  const std::string body(kBodyBytes, 'd');
  ux::Tfifo_Mem_stream out(int32_t(kPiece * 2));
  for (auto _ : state) {
    for (size_t at = 0; at < body.size(); at += kPiece) {
      if (out.Write(body.data() + at, int64_t(kPiece)) != int64_t(kPiece)) {
        state.SkipWithError("append refused");
        return;
      }
      out.Reset(false);
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBodyBytes));
}
BENCHMARK(BM_ChunkCopyBaseline)->Unit(benchmark::kMillisecond);

void BM_WsFrameDecode64K(benchmark::State& state) {
  std::string wire;
  const std::string payload(65536, 'w');
  for (size_t at = 0; at < kBodyBytes; at += payload.size())
    ux::ws_encode_frame(wire, ux::kWsOpBinary, true, payload.data(), payload.size(), true, 0x12345678u);
  for (auto _ : state) {
    ux::TUX_WS_Frame_Decoder d;
    size_t messages = 0;
    for (size_t at = 0; at < wire.size();) {
      size_t used = 0;
      if (d.feed(wire.data() + at, std::min(kPiece, wire.size() - at), used) ==
          ux::TUX_WS_Frame_Decoder::Result::kMessage)
        ++messages;
      at += used;
    }
    benchmark::DoNotOptimize(messages);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBodyBytes));
}
BENCHMARK(BM_WsFrameDecode64K)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
