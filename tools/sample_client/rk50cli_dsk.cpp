// A stand-in for the Qlyn client: reports the version file installed beside
// it and records each start in "client.log" there.
#include <cstdio>
#include <string>

#include "common/ux_common.h"

int main(int argc, char** argv) {
  const std::string dir = ux::exe_dir();
  std::string version = ux::trim_text(ux::read_file_text(dir + "version.txt"));
  if (version.empty()) version = "unknown";
  const std::string line = ux::datetime_text(ux::now_datetime(), false) + " rk50cli_dsk " + version + " started" +
                           (argc > 1 ? std::string(" with ") + argv[1] : std::string()) + "\n";
  ux::append_text_to_file(line, dir + "client.log");
  std::printf("Qlyn client (sample) %s in %s\n", version.c_str(), dir.c_str());
  return 0;
}
