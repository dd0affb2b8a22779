// The update script runner on any script file, in a scratch tree rebuilt
// after every run that changed it, under both code pages, line by line as
// update mode runs it: one transaction, rolled back when a line fails. The
// runner may touch only the extracted package and the installation (checked
// by the path guard), and a rollback leaves the tree as it was.
//
// Scratch tree (scratch_dir):
//   install/win64/                          the installation
//   install/win64/.rk50-update-fuzz/pkg/    the extracted package
//   ...pkg/win64_update/                    its script folder
//   outside.txt                             a file no line may reach
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "common/ux_common.h"
#include "fuzz_support.h"
#include "installer/rk50_transaction.h"
#include "installer/rk50_update_script.h"
#include "support/path_guard.h"

using namespace qlyn_fuzz;
namespace fs = std::filesystem;

namespace {

fs::path g_root;
std::string g_install_folder, g_work_folder, g_script_folder;

void put(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

void build_tree() {
  fs::remove_all(g_root / "install");
  put(g_root / "outside.txt", "outside");
  put(fs::path(g_work_folder) / "pkg/package.txt", "beside the script folder");
  put(fs::path(g_script_folder) / "rk50cli_dsk", "new client");
  put(fs::path(g_script_folder) / "version.txt", "2.0.0");
  put(fs::path(g_script_folder) / "docs/notes.txt", "notes");
  put(fs::path(g_script_folder) / "\xE8\xAF\xB4\xE6\x98\x8E.txt", "UTF-8 name");
  put(g_root / "install/win64/rk50cli_dsk", "old client");
  put(g_root / "install/win64/version.txt", "1.0.0");
  put(g_root / "install/win64/old.txt", "old");
  put(g_root / "install/win64/docs/readme.txt", "readme");
  fs::create_directories(g_root / "install/win64/cache");
}

// Every entry of the installation outside the staging folder, with the
// content of its files.
std::map<std::string, std::string> snapshot() {
  std::map<std::string, std::string> s;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(g_install_folder, ec); it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (ec) break;
    const std::string name = it->path().string();
    if (name.starts_with(g_work_folder.substr(0, g_work_folder.size() - 1))) {
      it.disable_recursion_pending();
      continue;
    }
    std::string content = it->is_directory() ? "<dir>" : "";
    if (it->is_regular_file()) {
      std::ifstream in(it->path(), std::ios::binary);
      content.assign(std::istreambuf_iterator<char>(in), {});
    }
    s[name] = content;
  }
  return s;
}

// The script's lines as update mode runs them; false when a line failed
// and the transaction was rolled back.
bool run_script(const std::string& script) {
  rk50::TFileTransaction tx;
  tx.set_backup_dir(g_work_folder + "old");
  try {
    rk50::TScriptRunner runner(g_script_folder, g_install_folder, tx, g_work_folder);
    for (const std::string& line : rk50::script_lines(script)) {
      if (line.size() <= 3) continue;
      std::string rest = line;
      const std::string command = ux::fetch_token(rest, " ");
      (void)runner.run_line(command, rest);
    }
  } catch (const std::exception&) {
    if (!tx.rollback().empty()) fail("rollback could not restore the installation");
    return false;
  }
  tx.commit();
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  guard_set_artifact_prefix(*argc, *argv);
  g_root = scratch_dir("qlyn_fuzz_script");
  g_install_folder = (g_root / "install/win64/").string();
  g_work_folder = g_install_folder + ".rk50-update-fuzz/";
  g_script_folder = g_work_folder + "pkg/win64_update/";
  guard_allow({g_install_folder});
  // Libraries that read their own files on first use (conversion tables,
  // the crypto configuration, the message texts) do so here, outside the
  // guard.
  build_tree();
  for (int cp : kCodePages) {
    TCodePageScope scope(cp);
    (void)run_script("cp $sour$version.txt $dest$version.txt\nmv $sour$version.txt $dest$v\nzz a b\ndel $dest$v\n");
    (void)run_script("del $dest$../../outside.txt\n");
  }
  build_tree();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string script(as_text(data, size));
  for (int cp : kCodePages) {
    TCodePageScope scope(cp);
    const auto before = snapshot();
    guard_arm(true);
    const bool completed = run_script(script);
    guard_arm(false);
    if (const std::string v = guard_take_violation(); !v.empty()) {
      std::fprintf(stderr, "outside the script's folders: %s\n", v.c_str());
      fail("update script touched a path outside its folders");
    }
    if (!completed && snapshot() != before) fail("a failed script left the installation changed");
    if (guard_take_changes() > 0) build_tree();
  }
  return 0;
}
