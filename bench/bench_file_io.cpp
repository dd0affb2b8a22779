// File layer throughput, side by side with the platform's limit:
//  - sequential write of 256 MB in 64 KiB pieces, TShareFile against write(2)
//  - sequential read back in 64 KiB pieces, TShareFile against read(2)
//  - CopyShareFile of a 256 MB file against cp(1)
// Usage: bench_file_io [folder on the disk to measure] [runs]
// The files live in a temporary folder below the given one (default: the
// current directory) and are deleted at the end. Figures are medians in MB/s
// (1 MB = 2^20 bytes); the ratio is the median of the per-run ratios.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/ux_file_io.h"

namespace {

constexpr int64_t kFileSize = 256LL << 20;
constexpr int64_t kPiece = 64 << 10;

double seconds(const std::function<void()>& body) {
  const auto t0 = std::chrono::steady_clock::now();
  body();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double mb_per_s(double s) { return double(kFileSize) / double(1 << 20) / s; }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void raw_write(const std::string& name, const std::vector<char>& piece) {
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) std::exit(2);
  for (int64_t done = 0; done < kFileSize; done += kPiece)
    if (::write(fd, piece.data(), kPiece) != kPiece) std::exit(3);
  ::close(fd);
}

void share_write(const std::string& name, const std::vector<char>& piece) {
  auto f = ux::TShareFile::OpenWrite(name);
  for (int64_t done = 0; done < kFileSize; done += kPiece)
    if (f->WriteData(piece.data(), kPiece) != kPiece) std::exit(4);
}

void raw_read(const std::string& name, std::vector<char>& piece) {
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) std::exit(5);
  int64_t total = 0;
  for (ssize_t n; (n = ::read(fd, piece.data(), kPiece)) > 0;) total += n;
  ::close(fd);
  if (total != kFileSize) std::exit(6);
}

void share_read(const std::string& name, std::vector<char>& piece) {
  auto f = ux::TShareFile::OpenRead(name);
  int64_t total = 0;
  for (int64_t n; (n = f->ReadData(piece.data(), kPiece)) > 0;) total += n;
  if (total != kFileSize) std::exit(7);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string base = argc > 1 ? argv[1] : ".";
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  std::string tmpl = base + "/bench_file_io_XXXXXX";
  if (::mkdtemp(tmpl.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = tmpl + "/";
  std::vector<char> piece(kPiece);
  for (size_t i = 0; i < piece.size(); ++i) piece[i] = char(i * 131 + 7);

  std::vector<double> w_raw, w_share, r_raw, r_share, c_cp, c_share;
  const std::string a = dir + "raw.bin", b = dir + "share.bin", c = dir + "copy.bin";
  for (int r = 0; r < runs; ++r) {
    ::unlink(a.c_str());
    ::unlink(b.c_str());
    // Alternate which side goes first so that write-back of the other file
    // does not always burden the same side.
    const bool raw_first = r % 2 == 0;
    for (int side = 0; side < 2; ++side) {
      if ((side == 0) == raw_first)
        w_raw.push_back(mb_per_s(seconds([&] { raw_write(a, piece); })));
      else
        w_share.push_back(mb_per_s(seconds([&] { share_write(b, piece); })));
    }
    for (int side = 0; side < 2; ++side) {
      if ((side == 0) == raw_first)
        r_raw.push_back(mb_per_s(seconds([&] { raw_read(a, piece); })));
      else
        r_share.push_back(mb_per_s(seconds([&] { share_read(b, piece); })));
    }
    ::unlink(c.c_str());
    const std::string cmd = "cp '" + a + "' '" + c + "'";
    c_cp.push_back(mb_per_s(seconds([&] {
      if (std::system(cmd.c_str()) != 0) std::exit(8);
    })));
    ::unlink(c.c_str());
    c_share.push_back(mb_per_s(seconds([&] {
      if (!ux::TShareFile::CopyShareFile(a, c)) std::exit(9);
    })));
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);

  // The ratio is the median of the per-run ratios: each run pairs the two
  // sides under the same machine load.
  const auto row = [](const char* what, const std::vector<double>& ours,
                      const std::vector<double>& limit, const char* limit_name) {
    std::vector<double> ratios;
    for (size_t i = 0; i < ours.size(); ++i) ratios.push_back(ours[i] / limit[i]);
    std::printf("%-30s %9.1f MB/s   %-9s %9.1f MB/s   ratio %5.1f %%\n", what, median(ours),
                limit_name, median(limit), 100.0 * median(ratios));
  };
  std::printf("256 MB, 64 KiB pieces, median of %d runs, folder %s\n", runs, base.c_str());
  row("TShareFile sequential write", w_share, w_raw, "write(2)");
  row("TShareFile sequential read", r_share, r_raw, "read(2)");
  row("CopyShareFile", c_share, c_cp, "cp");
  return 0;
}
