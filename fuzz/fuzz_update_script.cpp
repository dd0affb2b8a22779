// The update script runner on any script file, in a scratch tree rebuilt
// before every run, under both code pages: the runner may touch only its
// script folder and the installation folder. Every file operation outside
// them is refused by the path guard and fails the run.
//
// Scratch tree (scratch_dir):
//   pkg/win64_update/  the script folder      pkg/     one file beside it
//   install/win64/     the installation       outside  one file
// The tree is rebuilt after any run that changed a file in it.
#include <filesystem>
#include <fstream>
#include <string>

#include "common/ux_common.h"
#include "fuzz_support.h"
#include "installer/rk50_update_script.h"
#include "support/path_guard.h"

using namespace qlyn_fuzz;
namespace fs = std::filesystem;

namespace {

fs::path g_root;
std::string g_script_folder, g_install_folder;

void put(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

void build_tree() {
  fs::remove_all(g_root / "pkg");
  fs::remove_all(g_root / "install");
  put(g_root / "outside.txt", "outside");
  put(g_root / "pkg/package.txt", "beside the script folder");
  put(g_root / "pkg/win64_update/rk50cli_dsk", "new client");
  put(g_root / "pkg/win64_update/version.txt", "2.0.0");
  put(g_root / "pkg/win64_update/docs/notes.txt", "notes");
  put(g_root / "pkg/win64_update/\xE8\xAF\xB4\xE6\x98\x8E.txt", "UTF-8 name");
  put(g_root / "install/win64/rk50cli_dsk", "old client");
  put(g_root / "install/win64/version.txt", "1.0.0");
  put(g_root / "install/win64/old.txt", "old");
  put(g_root / "install/win64/docs/readme.txt", "readme");
  fs::create_directories(g_root / "install/win64/cache");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  guard_set_artifact_prefix(*argc, *argv);
  g_root = scratch_dir("qlyn_fuzz_script");
  g_script_folder = (g_root / "pkg/win64_update/").string();
  g_install_folder = (g_root / "install/win64/").string();
  guard_allow({g_script_folder, g_install_folder});
  // Libraries that read their own files on first use (conversion tables,
  // the crypto configuration) do so here, outside the guard.
  build_tree();
  for (int cp : kCodePages) {
    TCodePageScope scope(cp);
    (void)rk50::run_script("cp $sour$version.txt $dest$version.txt\nmv $sour$version.txt $dest$v\ndel $dest$v\n",
                           g_script_folder, g_install_folder, nullptr);
  }
  build_tree();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string script(as_text(data, size));
  for (int cp : kCodePages) {
    TCodePageScope scope(cp);
    guard_arm(true);
    try {
      (void)rk50::run_script(script, g_script_folder, g_install_folder, nullptr);
    } catch (const ux::Exception&) {
      // A failing line ends the script, as in update mode.
    }
    guard_arm(false);
    if (const std::string v = guard_take_violation(); !v.empty()) {
      std::fprintf(stderr, "outside the script's folders: %s\n", v.c_str());
      fail("update script touched a path outside its folders");
    }
    if (guard_take_changes() > 0) build_tree();
  }
  return 0;
}
