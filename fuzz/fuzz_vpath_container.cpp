// The virtual path container reader on any bytes: the one-file form (data,
// index text, 8-byte trailer) and the two-file form (index file and data
// file, whose path listing is read as well), read through, then extracted
// into a scratch folder. Reading and extracting write nothing but the
// extraction folder, the one-file form reads nothing but its file (checked
// by the path guard), and neither yields more bytes than its data holds. The two-file form is the one this
// program builds over local files: reading an item from the physical file
// its index names is its purpose.
//
// Input: one byte of flags (bit 0: two-file form; bit 1: the bytes after
// the data length are the whole one-file container, trailer included), a
// u16 data length, the data, then the index text.
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/ux_vpath_container.h"
#include "fuzz_support.h"
#include "support/path_guard.h"

using namespace qlyn_fuzz;
using namespace ux;
namespace fs = std::filesystem;

namespace {

// Files this process writes stay below this size: an item that claims more
// than its source holds cannot fill the disk (or the memory file system).
constexpr rlim_t kMaxFileBytes = 8 << 20;
// Bytes read through ReadData per run, past which reading stops.
constexpr int64_t kMaxReadBytes = 1 << 20;

fs::path g_root;
std::string g_in, g_out;

void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
}

std::string trailer(uint32_t index_len) {
  std::string t(kVPathTrailerSize, '\0');
  for (int i = 0; i < 4; ++i) {
    t[size_t(i)] = char(index_len >> (8 * i));
    t[size_t(4 + i)] = char(kVPathMagic >> (8 * i));
  }
  return t;
}

void exercise(TUX_VPath_in_File& c, int64_t data_bytes, bool bounded) {
  (void)c.fileCount();
  (void)c.Size();
  std::vector<char> buf(4096);
  int64_t total = 0;
  c.Setposition(0);
  for (int i = 0; i < 512 && total < kMaxReadBytes; ++i) {
    const int32_t n = c.ReadData(buf.data(), int32_t(buf.size()), (i & 1) != 0);
    if (n < 0 || n > int32_t(buf.size())) fail("ReadData result outside the buffer");
    if (n == 0) break;
    total += n;
  }
  if (bounded && total > data_bytes) fail("read more bytes than the container's data");
  const TUX_vpath_extract_result r = c.ExtractToPath(g_out);
  if (r.status != 0 && r.status != -2) fail("extraction could not use its folder");
  if (bounded) {
    int64_t written = 0;
    for (const auto& e : fs::recursive_directory_iterator(g_out))
      if (e.is_regular_file()) written += int64_t(e.file_size());
    if (written > data_bytes) fail("extracted more bytes than the container's data");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  guard_set_artifact_prefix(*argc, *argv);
  g_root = scratch_dir("qlyn_fuzz_vpath");
  g_in = (g_root / "in").string() + "/";
  g_out = (g_root / "out").string() + "/";
  fs::create_directories(g_in);
  fs::create_directories(g_out);
  guard_allow({g_in, g_out});
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit lim{kMaxFileBytes, kMaxFileBytes};
  ::setrlimit(RLIMIT_FSIZE, &lim);
  // Conversion tables and the crypto configuration load on first use,
  // outside the guard.
  (void)gbk_to_utf8("\xD6\xD0");
  (void)utf8_to_gbk("\xE4\xB8\xAD");
  (void)md5_hex("x");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TByteReader in(as_text(data, size));
  const uint8_t flags = in.u8();
  const std::string_view body = in.bytes(in.u16() % 4096);
  const std::string_view rest = in.bytes(size);
  for (int cp : kCodePages) {
    TCodePageScope scope(cp);
    fs::remove_all(g_out);
    fs::create_directories(g_out);
    guard_reads_anywhere((flags & 1) != 0);
    guard_arm(true);
    if (flags & 1) {
      write_file(g_in + "c.idx", rest);
      write_file(g_in + "c.dat", body);
      auto c = TUX_VPath_in_File::openRead(g_in + "c.idx", g_in + "c.dat");
      if (!c) fail("openRead gave no container");
      exercise(*c, int64_t(body.size()), true);
      (void)TUX_VPath_in_File::ReadPathInfo(g_in + "c.idx");
    } else {
      std::string file;
      int64_t data_bytes = 0;
      if (flags & 2) {
        file.assign(rest);
        data_bytes = int64_t(file.size());
      } else {
        file.assign(body);
        file.append(rest);
        file += trailer(uint32_t(rest.size()));
        data_bytes = int64_t(body.size());
      }
      write_file(g_in + "c.vpath", file);
      std::string why;
      auto c = TUX_VPath_in_File::openReadFrom_1File(g_in + "c.vpath", &why);
      if (c) exercise(*c, data_bytes, true);
    }
    guard_arm(false);
    if (const std::string v = guard_take_violation(); !v.empty()) {
      std::fprintf(stderr, "outside the container's folders: %s\n", v.c_str());
      fail("container reader touched a path outside its folders");
    }
    (void)guard_take_changes();
  }
  return 0;
}
