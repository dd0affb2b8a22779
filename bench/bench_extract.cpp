// bench_extract: wall time of ExtractAllToFolder against `7zz x` on the same
// password-protected LZMA2 package, alternating in one run.
//
//   bench_extract [--content-mb N] [--rounds N] [--mx L] [--lib PATH] [--dir DIR]
//
// Prints the package figures, each round's times and the median ratio
// (ExtractAllToFolder / 7zz). Needs 7zz on PATH.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archive/io_compress_7zip.h"
#include "support/archive_maker.h"

namespace fs = std::filesystem;

namespace {

using qlyn_test::quote;
using qlyn_test::sh;

// Writes n bytes: random runs mixed with repetitive text, so the package
// holds both incompressible and compressible data.
void write_sample(const std::string& path, size_t n, uint64_t seed, int random_percent) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary);
  std::vector<char> buf(1 << 16);
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  static const char kWords[] = "qlyn client package installer update script archive folder ";
  size_t done = 0;
  while (done < n) {
    size_t chunk = std::min(buf.size(), n - done);
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    const bool random = int(x % 100) < random_percent;
    for (size_t i = 0; i < chunk; ++i) {
      if (random) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        buf[i] = char(x);
      } else {
        buf[i] = kWords[(done + i) % (sizeof kWords - 1)];
      }
    }
    out.write(buf.data(), std::streamsize(chunk));
    done += chunk;
  }
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  size_t content_mb = 300;
  int rounds = 5;
  int mx = 1;
  std::string lib = QLYN_7Z_LIBRARY_PATH;
  std::string base = "/tmp";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--content-mb")) content_mb = size_t(std::atol(argv[i + 1]));
    else if (!std::strcmp(argv[i], "--rounds")) rounds = std::max(1, std::atoi(argv[i + 1]));
    else if (!std::strcmp(argv[i], "--mx")) mx = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--lib")) lib = argv[i + 1];
    else if (!std::strcmp(argv[i], "--dir")) base = argv[i + 1];
  }
  const std::string password = "2019.61227";
  std::string tmpl = base + "/qlyn_bench_XXXXXX";
  const std::string dir = ::mkdtemp(tmpl.data());
  const std::string src = dir + "/src", archive = dir + "/package.7z";

  // Mixed sizes: two large files, medium files, many small ones.
  const size_t total = content_mb << 20;
  size_t made = 0, files = 0;
  write_sample(src + "/win64/big1.bin", total * 30 / 100, 1, 80), made += total * 30 / 100, ++files;
  write_sample(src + "/win64/big2.dat", total * 20 / 100, 2, 60), made += total * 20 / 100, ++files;
  for (int i = 0; made < total * 85 / 100; ++i, ++files) {
    const size_t n = (1 + i % 4) << 20;
    write_sample(src + "/win64/lib/m" + std::to_string(i) + ".so", n, 100 + i, 70), made += n;
  }
  for (int i = 0; made < total; ++i, ++files) {
    const size_t n = 4096 + size_t(i % 37) * 1500;
    write_sample(src + "/win64/res/" + std::to_string(i % 20) + "/s" + std::to_string(i) + ".txt", n, 10000 + i, 40);
    made += n;
  }
  auto t0 = std::chrono::steady_clock::now();
  if (sh("cd " + quote(src) + " && 7zz a -bso0 -bsp0 -m0=lzma2 -mx=" + std::to_string(mx) + " -p" + password +
         " " + quote(archive) + " win64") != 0) {
    std::fprintf(stderr, "bench_extract: 7zz a failed\n");
    return 1;
  }
  std::printf("content %.1f MB in %zu files; package %.1f MB (LZMA2 -mx=%d, password), packed in %.1f s\n",
              double(made) / 1048576, files, double(fs::file_size(archive)) / 1048576, mx, seconds_since(t0));
  fs::remove_all(src);
  sh("cat " + quote(archive) + " > /dev/null");

  std::vector<double> ours, theirs;
  for (int r = 0; r < rounds; ++r) {
    const std::string out1 = dir + "/out_binding", out2 = dir + "/out_7zz";
    fs::remove_all(out1);
    fs::remove_all(out2);
    ::sync();
    t0 = std::chrono::steady_clock::now();
    {
      auto a = ux::new_in_archive(ux::CLSID_CFormat7z, lib);
      a->UsePassword(ux::utf8_to_utf16(password));
      a->OpenArchive(archive);
      a->ExtractAllToFolder(out1);
      a->CloseArchive();
    }
    const double t_ours = seconds_since(t0);
    ::sync();
    t0 = std::chrono::steady_clock::now();
    if (sh("7zz x -bso0 -bsp0 -y -p" + password + " -o" + quote(out2) + " " + quote(archive)) != 0) {
      std::fprintf(stderr, "bench_extract: 7zz x failed\n");
      return 1;
    }
    const double t_7zz = seconds_since(t0);
    ours.push_back(t_ours);
    theirs.push_back(t_7zz);
    std::printf("round %d: ExtractAllToFolder %.3f s, 7zz x %.3f s, ratio %.3f\n", r + 1, t_ours, t_7zz,
                t_ours / t_7zz);
    std::fflush(stdout);
  }
  if (sh("diff -r " + quote(dir + "/out_binding") + " " + quote(dir + "/out_7zz")) != 0)
    std::printf("warning: outputs differ\n");
  const double mo = median(ours), mt = median(theirs);
  std::printf("median: ExtractAllToFolder %.3f s (%.1f MB/s), 7zz x %.3f s; wall-time ratio %.3f (goal <= 1.05)\n", mo,
              double(made) / 1048576 / mo, mt, mo / mt);
  fs::remove_all(dir);
  return 0;
}
