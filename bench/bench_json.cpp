// Parse and write throughput of the JSON document model against nlohmann-json
// and RapidJSON (DOM), on one large document (20+ MB) and on 10000 small
// event-sized texts. Bytes/s is the size of the JSON text. The inputs are
// built before the first timed loop, and each large-document parse runs once
// untimed first, so that none pays for the first touch of its heap.
#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "common/ux_json_v2.h"

namespace {

// A listing-like document: records with names, sizes, times, flags, ratios
// and a small nested array, some strings with escapes and non-ASCII text.
std::string make_big_document(size_t min_bytes) {
  std::mt19937 rng(20240601);
  std::string s = "{\"generator\":\"bench\",\"items\":[";
  for (int i = 0; s.size() < min_bytes; ++i) {
    if (i) s += ',';
    char buf[512];
    std::snprintf(buf, sizeof(buf),
                  "{\"name\":\"/data/client/win64/module_%d/file_%u.bin\",\"size\":%u,"
                  "\"type\":\"%s\",\"time\":\"2024-%02u-%02u %02u:%02u:%02u\",\"ratio\":%u.%02u,"
                  "\"ok\":%s,\"tags\":[%u,%u,%u],\"note\":\"line\\nwith \\\"quotes\\\" \xE4\xB8\xAD\\u00e9\"}",
                  i % 97, unsigned(rng()), unsigned(rng() % 100000000), (i % 5) ? "file" : "dir",
                  unsigned(1 + rng() % 12), unsigned(1 + rng() % 28), unsigned(rng() % 24),
                  unsigned(rng() % 60), unsigned(rng() % 60), unsigned(rng() % 100), unsigned(rng() % 100),
                  (rng() & 1) ? "true" : "false", unsigned(rng() % 1000), unsigned(rng() % 1000),
                  unsigned(rng() % 1000));
    s += buf;
  }
  s += "]}";
  return s;
}

// Downloader-event-sized texts (~150-250 bytes each).
std::vector<std::string> make_small_texts(int n) {
  std::mt19937 rng(42);
  std::vector<std::string> v;
  v.reserve(size_t(n));
  for (int i = 0; i < n; ++i) {
    char buf[512];
    std::snprintf(buf, sizeof(buf),
                  "{\"code\":%d,\"tag\":\"main-file\",\"url\":\"udp-http://res.example.net:56020/down/"
                  "win64/rk50cli_dsk.win64.newest.7z\",\"file\":\"temp/rk50cli_dsk_%d.7z\",\"pos\":%u,"
                  "\"size\":%u,\"speed\":%u,\"msg\":\"downloading\"}",
                  101 + i % 3, i, unsigned(rng() % 100000000), unsigned(100000000 + rng() % 1000),
                  unsigned(rng() % 5000000));
    v.emplace_back(buf);
  }
  return v;
}

const std::string& big() {
  static const std::string doc = make_big_document(22u << 20);
  return doc;
}

const std::vector<std::string>& small() {
  static const std::vector<std::string> texts = make_small_texts(10000);
  return texts;
}

int64_t small_bytes() {
  int64_t n = 0;
  for (const auto& s : small()) n += int64_t(s.size());
  return n;
}

// ---------------------------------------------------------------- large document

void BM_ParseBig_ux(benchmark::State& state) {
  (void)ux::TJsonObject::Parse(big());
  for (auto _ : state) {
    auto v = ux::TJsonObject::Parse(big());
    if (!v) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(v.get());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(big().size()));
}

void BM_ParseBig_nlohmann(benchmark::State& state) {
  benchmark::DoNotOptimize(nlohmann::json::parse(big()));  // warm-up, untimed
  for (auto _ : state) {
    auto v = nlohmann::json::parse(big());
    benchmark::DoNotOptimize(v);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(big().size()));
}

void BM_ParseBig_rapidjson(benchmark::State& state) {
  {
    rapidjson::Document warm;
    warm.Parse(big().data(), big().size());
  }
  for (auto _ : state) {
    rapidjson::Document d;
    d.Parse(big().data(), big().size());
    if (d.HasParseError()) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(d);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(big().size()));
}

void BM_WriteBig_ux(benchmark::State& state) {
  auto v = ux::TJsonObject::Parse(big());
  int64_t bytes = 0;
  for (auto _ : state) {
    ux::TJsonWriterString w;
    w.Write(v.get(), false, 0);
    bytes += w.DataLen();
    benchmark::DoNotOptimize(w.View().data());
  }
  state.SetBytesProcessed(bytes);
}

void BM_WriteBig_nlohmann(benchmark::State& state) {
  const auto v = nlohmann::json::parse(big());
  int64_t bytes = 0;
  for (auto _ : state) {
    const std::string s = v.dump();
    bytes += int64_t(s.size());
    benchmark::DoNotOptimize(s.data());
  }
  state.SetBytesProcessed(bytes);
}

void BM_WriteBig_rapidjson(benchmark::State& state) {
  rapidjson::Document d;
  d.Parse(big().data(), big().size());
  int64_t bytes = 0;
  for (auto _ : state) {
    rapidjson::StringBuffer sb;
    rapidjson::Writer<rapidjson::StringBuffer> w(sb);
    d.Accept(w);
    bytes += int64_t(sb.GetSize());
    benchmark::DoNotOptimize(sb.GetString());
  }
  state.SetBytesProcessed(bytes);
}

// ---------------------------------------------------------------- 10000 small texts

void BM_ParseSmall_ux(benchmark::State& state) {
  (void)small();
  for (auto _ : state) {
    for (const auto& s : small()) {
      auto v = ux::TJsonObject::Parse(s);
      benchmark::DoNotOptimize(v.get());
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * small_bytes());
}

void BM_ParseSmall_ux_reused_tokener(benchmark::State& state) {
  ux::TJsonTokener tok;
  for (auto _ : state) {
    for (const auto& s : small()) {
      auto v = ux::TJsonObject::ParseEx_New(tok, s);
      benchmark::DoNotOptimize(v.get());
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * small_bytes());
}

void BM_ParseSmall_nlohmann(benchmark::State& state) {
  for (auto _ : state) {
    for (const auto& s : small()) {
      auto v = nlohmann::json::parse(s);
      benchmark::DoNotOptimize(v);
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * small_bytes());
}

void BM_ParseSmall_rapidjson(benchmark::State& state) {
  for (auto _ : state) {
    for (const auto& s : small()) {
      rapidjson::Document d;
      d.Parse(s.data(), s.size());
      benchmark::DoNotOptimize(d);
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * small_bytes());
}

void BM_WriteSmall_ux(benchmark::State& state) {
  std::vector<std::unique_ptr<ux::TJsonObject>> docs;
  for (const auto& s : small()) docs.push_back(ux::TJsonObject::Parse(s));
  int64_t bytes = 0;
  for (auto _ : state) {
    for (auto& d : docs) {
      const std::string s = d->AsJSon(false);
      bytes += int64_t(s.size());
      benchmark::DoNotOptimize(s.data());
    }
  }
  state.SetBytesProcessed(bytes);
}

void BM_WriteSmall_nlohmann(benchmark::State& state) {
  std::vector<nlohmann::json> docs;
  for (const auto& s : small()) docs.push_back(nlohmann::json::parse(s));
  int64_t bytes = 0;
  for (auto _ : state) {
    for (auto& d : docs) {
      const std::string s = d.dump();
      bytes += int64_t(s.size());
      benchmark::DoNotOptimize(s.data());
    }
  }
  state.SetBytesProcessed(bytes);
}

void BM_WriteSmall_rapidjson(benchmark::State& state) {
  std::vector<std::unique_ptr<rapidjson::Document>> docs;
  for (const auto& s : small()) {
    docs.push_back(std::make_unique<rapidjson::Document>());
    docs.back()->Parse(s.data(), s.size());
  }
  int64_t bytes = 0;
  for (auto _ : state) {
    for (auto& d : docs) {
      rapidjson::StringBuffer sb;
      rapidjson::Writer<rapidjson::StringBuffer> w(sb);
      d->Accept(w);
      const std::string s(sb.GetString(), sb.GetSize());
      bytes += int64_t(s.size());
      benchmark::DoNotOptimize(s.data());
    }
  }
  state.SetBytesProcessed(bytes);
}

}  // namespace

BENCHMARK(BM_ParseBig_ux)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseBig_nlohmann)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseBig_rapidjson)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteBig_ux)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteBig_nlohmann)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteBig_rapidjson)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseSmall_ux)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseSmall_ux_reused_tokener)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseSmall_nlohmann)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseSmall_rapidjson)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteSmall_ux)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteSmall_nlohmann)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteSmall_rapidjson)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
