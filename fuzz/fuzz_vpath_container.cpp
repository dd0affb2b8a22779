// Container files from outside: the one-file trailer and index, and the same
// index text read as a separate index file over a data file. Every item that
// is accepted must lie inside the data, and reading it must stay in bounds.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/ux_vpath_container.h"

namespace {

// Made on first use and removed at exit (kept alive for the exit handler).
const std::string& scratch_dir() {
  static const std::string* dir = [] {
    auto* t = new std::string("/tmp/fuzz_vpath_XXXXXX");
    if (!::mkdtemp(t->data())) std::abort();
    std::atexit([] { std::filesystem::remove_all(scratch_dir()); });
    return t;
  }();
  return *dir;
}

void write_file(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                                std::streamsize(size));
}

void read_everything(ux::TUX_VPath_in_File& c, int64_t limit) {
  for (const ux::TUX_vpath_File_item& it : c.items())
    if (it.pos_start < 0 || it.fileSize < 0 || (limit >= 0 && it.pos_start + it.fileSize > limit)) std::abort();
  char buf[4096];
  c.Setposition(0);
  for (int i = 0; i < 256 && c.ReadData(buf, sizeof buf, true) > 0; ++i) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string one = scratch_dir() + "/one.vpf";
  write_file(one, data, size);
  if (auto c = ux::TUX_VPath_in_File::openReadFrom_1File(one)) read_everything(*c, int64_t(size));
  const std::string idx = scratch_dir() + "/index.idx";
  write_file(idx, data, size);
  auto c = ux::TUX_VPath_in_File::openRead(idx, one);
  read_everything(*c, int64_t(size));
  (void)ux::TUX_VPath_in_File::ReadPathInfo(idx);
  return 0;
}
