// bench_vpath_pack: wall time of packing a folder of small files into the
// one-file container form (openWrite + addPath + SaveAll_to_1File) and of
// extracting it again (openReadFrom_1File + ExtractToPath), against
// `tar cf` / `tar xf` of the same folder, alternating in one run.
//
//   bench_vpath_pack [--files N] [--rounds N] [--dir DIR]
//
// Prints each round's times and the median ratios (ours / tar). Needs tar
// on PATH. Both sides run on a warm page cache.
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/ux_common.h"
#include "common/ux_vpath_container.h"
#include "support/archive_maker.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

using qlyn_test::quote;
using qlyn_test::sh;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// n files of 64..4159 bytes in 100 folders of two levels.
uint64_t make_folder(const std::string& root, int n) {
  uint64_t x = 0x9E3779B97F4A7C15ull, total = 0;
  std::vector<char> buf(4160);
  for (int i = 0; i < n; ++i) {
    const std::string dir = root + "/d" + std::to_string(i % 10) + "/s" + std::to_string(i % 100);
    if (i < 100) fs::create_directories(dir);
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    const size_t len = 64 + x % 4096;
    for (size_t k = 0; k < len; ++k) buf[k] = char('a' + (x >> (k % 48)) % 26);
    std::ofstream(dir + "/file" + std::to_string(i) + ".txt", std::ios::binary).write(buf.data(), std::streamsize(len));
    total += len;
  }
  return total;
}

bool same_trees(const std::string& a, const std::string& b) {
  return sh("diff -r " + quote(a) + " " + quote(b) + " >/dev/null") == 0;
}

}  // namespace

int main(int argc, char** argv) {
  int files = 10000, rounds = 5;
  std::string base = fs::temp_directory_path().string();
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--files")) files = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--rounds")) rounds = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--dir")) base = argv[i + 1];
  }
  if (sh("tar --version >/dev/null 2>&1") != 0) {
    std::fprintf(stderr, "bench_vpath_pack: tar not found\n");
    return 1;
  }
  std::string work = base + "/bench_vpath_XXXXXX";
  if (!::mkdtemp(work.data())) return 1;
  const std::string src = work + "/src";
  const uint64_t bytes = make_folder(src, files);
  std::printf("folder: %d files, %.1f MB\n", files, double(bytes) / 1e6);
  std::printf("%-6s %10s %10s %10s %10s\n", "round", "pack", "tar cf", "extract", "tar xf");

  std::vector<double> pack, tar_c, extract, tar_x;
  bool verified = false;
  for (int r = 0; r < rounds; ++r) {
    const std::string one = work + "/pack.vpf", tar = work + "/pack.tar";
    const std::string out = work + "/out", tar_out = work + "/tar_out";
    fs::remove(one);
    fs::remove(tar);

    auto t0 = Clock::now();
    {
      auto c = ux::TUX_VPath_in_File::openWrite(work + "/pack.idx");
      if (c->addPath(src, true, 0) != files || c->SaveAll_to_1File(one) != int64_t(bytes)) {
        std::fprintf(stderr, "bench_vpath_pack: packing failed\n");
        return 1;
      }
    }
    pack.push_back(seconds_since(t0));

    t0 = Clock::now();
    if (sh("tar cf " + quote(tar) + " -C " + quote(src) + " .") != 0) return 1;
    tar_c.push_back(seconds_since(t0));

    t0 = Clock::now();
    {
      auto c = ux::TUX_VPath_in_File::openReadFrom_1File(one);
      if (!c || c->ExtractToPath(out).extracted != files) {
        std::fprintf(stderr, "bench_vpath_pack: extraction failed\n");
        return 1;
      }
    }
    extract.push_back(seconds_since(t0));

    fs::create_directories(tar_out);
    t0 = Clock::now();
    if (sh("tar xf " + quote(tar) + " -C " + quote(tar_out)) != 0) return 1;
    tar_x.push_back(seconds_since(t0));

    if (!verified) {
      if (!same_trees(src, out) || !same_trees(src, tar_out)) {
        std::fprintf(stderr, "bench_vpath_pack: extracted trees differ from the source\n");
        return 1;
      }
      verified = true;
    }
    fs::remove_all(out);
    fs::remove_all(tar_out);
    std::printf("%-6d %9.3fs %9.3fs %9.3fs %9.3fs\n", r + 1, pack.back(), tar_c.back(), extract.back(),
                tar_x.back());
  }
  std::printf("median %9.3fs %9.3fs %9.3fs %9.3fs\n", median(pack), median(tar_c), median(extract),
              median(tar_x));
  std::printf("ratio pack/tar cf = %.2f, extract/tar xf = %.2f (goal <= 1.5)\n", median(pack) / median(tar_c),
              median(extract) / median(tar_x));
  fs::remove_all(work);
  return 0;
}
