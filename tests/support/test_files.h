// Test support: whole files written and read by tests, and reproducible bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace qlyn_test {

// Replaces the file at path (an OS path) with bytes; missing parent folders
// are made.
inline void write_file(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
}

// The whole file at path (an OS path); empty when it cannot be read.
inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Everything written so far to f, a stream open for update (std::tmpfile()),
// read from its start; later writes go on at its end.
inline std::string read_file(std::FILE* f) {
  std::fflush(f);
  std::rewind(f);
  std::string s;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
  std::fseek(f, 0, SEEK_END);
  return s;
}

// n bytes of a Mersenne Twister seeded with seed: the same bytes every run.
inline std::string random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

}  // namespace qlyn_test
