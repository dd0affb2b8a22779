// qlyn-setup as a user runs it: real packages made with 7zz, real files, a
// copy of the program in folders of the test's making.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "installer/rk50_package_install.h"
#include "installer/rk50_transaction.h"
#include "support/archive_maker.h"
#include "support/program_run.h"

namespace {

namespace fs = std::filesystem;
using qlyn_test::read_file;
using qlyn_test::TProgramOptions;
using qlyn_test::TProgramRun;
using qlyn_test::write_file;

const std::string setup_exe = QLYN_SETUP_EXE;
constexpr int kNobody = 65534;

class SetupApp : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!qlyn_test::have_7zz()) GTEST_SKIP() << "7zz not installed";
  }

  // An install package: every (path, bytes) under root, packed with the
  // package password and the extra 7zz switches.
  std::string make_package(const std::string& name, const std::map<std::string, std::string>& files,
                           const std::string& extra = {}) {
    const std::string src = tmp / ("src_" + name);
    std::string items;
    for (const auto& [path, bytes] : files) {
      write_file(src + "/" + path, bytes);
      const std::string top = path.substr(0, path.find('/'));
      if (items.find(qlyn_test::quote(top)) == std::string::npos) items += " " + qlyn_test::quote(top);
    }
    const std::string archive = tmp / name;
    EXPECT_EQ(qlyn_test::make_7z(archive, src, items, "-p" + qlyn_test::quote(rk50::package_password()) + " " + extra),
              0);
    return archive;
  }
  std::string good_package() {
    return make_package("good.7z", {{"win64/rk50cli_dsk", "#!/bin/sh\necho client\n"},
                                    {"win64/lib/data.bin", qlyn_test::sample_bytes(200000, 3)},
                                    {"win64/cuuid.inf", "id"}});
  }
  // The user's environment: English, home folders inside the test folder.
  TProgramOptions user(const std::string& lang = "en_US.UTF-8") {
    TProgramOptions o;
    o.env = {{"LANG", lang},
             {"HOME", tmp / "home"},
             {"XDG_CONFIG_HOME", tmp / "home/.config"},
             {"XDG_DATA_HOME", tmp / "home/.local/share"},
             {"LOCALAPPDATA", tmp / "appdata"}};
    return o;
  }
  // A copy of qlyn-setup in its own folder.
  std::string copy_of_setup(const std::string& folder) {
    fs::create_directories(folder);
    const std::string exe = folder + "/qlyn-setup";
    fs::copy_file(setup_exe, exe, fs::copy_options::overwrite_existing);
    return exe;
  }
  std::vector<std::string> install_args(const std::string& package, const std::string& dest) {
    return {"--cli", "--yes", "--package", package, "--dir", dest};
  }
  // The installation folder and the user's desktop entries.
  std::map<std::string, std::string> state(const std::string& dest) {
    std::map<std::string, std::string> all;
    for (const std::string& d : {dest, tmp / "home/Desktop", tmp / "home/.local/share/applications"})
      for (auto& [k, v] : qlyn_test::snapshot_tree(d)) all[d + ":" + k] = v;
    return all;
  }
  // Installs package into dest as the user would; the run.
  std::unique_ptr<TProgramRun> install(const std::string& package, const std::string& dest,
                                         TProgramOptions o = {}) {
    if (o.env.empty()) o.env = user().env;
    auto p = std::make_unique<TProgramRun>(setup_exe, install_args(package, dest), o);
    p->finish();
    return p;
  }
  const std::string desktop_entry() { return tmp / "home/Desktop/Qlyn 私有网盘.desktop"; }
  // Names in folder that begin with ".rk50-" (staging folders, kept files).
  static std::vector<std::string> private_names(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec))
      if (e.path().filename().string().rfind(".rk50-", 0) == 0) names.push_back(e.path().filename());
    return names;
  }
  // True once a staging folder (name prefix) in folder holds file with some bytes.
  static bool staging_writes(const std::string& folder, const std::string& prefix, const std::string& file) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) {
      if (e.path().filename().string().rfind(prefix, 0) != 0) continue;
      const auto size = fs::file_size(e.path() / file, ec);
      if (!ec && size > 0) return true;
    }
    return false;
  }
  // Once busy() holds, stops the child, runs while_stopped, sends it sig and
  // lets it go on (so most of the work is still to come when the signal
  // arrives); then waits for its end.
  static void interrupt_when(TProgramRun& p, const std::function<bool()>& busy, int sig,
                             const std::function<void()>& while_stopped = {}) {
    EXPECT_TRUE(p.wait_until(busy, 60000, 1)) << p.out() << p.err();
    p.signal(SIGSTOP);
    if (while_stopped) while_stopped();
    p.signal(sig);
    p.signal(SIGCONT);
    p.finish();
  }

  qlyn_test::TTempDir tmp{"rk50_app"};
};

TEST_F(SetupApp, APlantedLibraryBesideTheInstallerNeverRuns) {
  const std::string package = good_package();
  const std::string exe = copy_of_setup(tmp / "app");
  fs::copy_file(QLYN_PLANTED_LIBRARY, tmp / "app/7z.so");
  TProgramOptions o = user();
  o.env["QLYN_PLANTED_MARKER"] = tmp / "marker";
  TProgramRun p(exe, install_args(package, tmp / "inst"), o);
  EXPECT_EQ(p.finish(), 0) << p.out() << p.err();
  EXPECT_FALSE(qlyn_test::exists(tmp / "marker"));
  EXPECT_EQ(read_file(tmp / "inst/win64/rk50cli_dsk"), "#!/bin/sh\necho client\n");
  // The folder can be written: the planted file is replaced by the carried library.
  EXPECT_EQ(read_file(tmp / "app/7z.so"), read_file(qlyn_test::library_path()));
}

TEST_F(SetupApp, AnInstallerInAReadOnlyFolderInstalls) {
  const std::string package = good_package();
  const std::string exe = copy_of_setup(tmp / "ro");
  TProgramOptions o = user();
  if (geteuid() == 0) {
    // Root writes anywhere: the installer runs as an ordinary user instead.
    o.uid = kNobody;
    fs::permissions(tmp.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec);
    for (const char* d : {"home", "dest"}) {
      fs::create_directories(tmp / d);
      ASSERT_EQ(chown((tmp / d).c_str(), kNobody, kNobody), 0);
    }
  }
  fs::permissions(tmp / "ro", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                   fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  TProgramRun p(exe, install_args(package, tmp / "dest/inst"), o);
  EXPECT_EQ(p.finish(), 0) << p.out() << p.err();
  EXPECT_NE(p.out().find("Install completed!"), std::string::npos) << p.out();
  EXPECT_EQ(read_file(tmp / "dest/inst/win64/rk50cli_dsk"), "#!/bin/sh\necho client\n");
  EXPECT_FALSE(qlyn_test::exists(tmp / "ro/7z.so"));
}

// A failed re-install leaves the working installation and its desktop entry.
TEST_F(SetupApp, ADamagedPackageLeavesTheWorkingInstallation) {
  const std::string good = good_package();
  const std::string dest = tmp / "inst";
  ASSERT_EQ(install(good, dest)->finish(), 0);
  ASSERT_TRUE(qlyn_test::exists(desktop_entry()));
  const auto before = state(dest);
  std::string bytes = read_file(good);
  for (size_t i = 0; i < 32; ++i) bytes[bytes.size() / 2 + i] ^= char(0x5A);
  write_file(tmp / "damaged.7z", bytes);
  auto p = install(tmp / "damaged.7z", dest);
  EXPECT_EQ(p->finish(), 1);
  EXPECT_NE(p->err().find("Installation failed: Cannot extract"), std::string::npos) << p->err();
  EXPECT_EQ(p->out().find("Install completed!"), std::string::npos) << p->out();
  EXPECT_EQ(state(dest), before);
}

// A full disk while the updater is copied: nothing half-written remains and
// "Install completed!" is never printed.
TEST_F(SetupApp, AFullDiskLeavesNoTruncatedProgram) {
  const std::string good = good_package();
  const auto setup_size = fs::file_size(setup_exe);
  const auto library_size = read_file(qlyn_test::library_path()).size();
  if (setup_size < library_size + (1 << 20)) GTEST_SKIP() << "qlyn-setup is not larger than its library";
  TProgramOptions o = user();
  // Room for the package and the library's private copy, not for the updater.
  o.file_size_limit = (long long)(library_size + (setup_size - library_size) / 2);
  const std::string dest = tmp / "inst";
  auto fresh = install(good, dest, o);
  EXPECT_EQ(fresh->finish(), 1);
  EXPECT_EQ(fresh->err().rfind("Installation failed: Cannot copy ", 0), 0u) << fresh->err();
  EXPECT_EQ(fresh->out().find("Install completed!"), std::string::npos) << fresh->out();
  EXPECT_FALSE(qlyn_test::exists(dest));
  EXPECT_FALSE(qlyn_test::exists(desktop_entry()));

  ASSERT_EQ(install(good, dest)->finish(), 0);
  write_file(desktop_entry(), "the user's own entry");
  const auto before = state(dest);
  auto over = install(good, dest, o);
  EXPECT_EQ(over->finish(), 1);
  EXPECT_EQ(over->out().find("Install completed!"), std::string::npos) << over->out();
  EXPECT_EQ(state(dest), before);
}

TEST_F(SetupApp, APackageWithoutWin64TouchesNothing) {
  const std::string other = make_package("other.7z", {{"other/readme.txt", "not a client"}});
  write_file(desktop_entry(), "the user's own entry");
  const std::string dest = tmp / "inst";
  const auto before = state(dest);
  auto p = install(other, dest);
  EXPECT_EQ(p->finish(), 1);
  EXPECT_EQ(p->err(), "Installation failed: " + other + " is not an install package (it has no win64 folder).\n");
  EXPECT_EQ(p->out().find("Install completed!"), std::string::npos) << p->out();
  EXPECT_EQ(state(dest), before);
  auto zh = std::make_unique<TProgramRun>(setup_exe, install_args(other, dest), user("zh_CN.UTF-8"));
  EXPECT_EQ(zh->finish(), 1);
  EXPECT_EQ(zh->err(), "安装失败：" + other + " 不是安装包（其中没有 win64 文件夹）。\n");
}

// A package that takes a while to extract: one large file of random bytes,
// stored (packing random bytes would only take the test's time).
class SetupAppSignals : public SetupApp {
 protected:
  void SetUp() override {
    SetupApp::SetUp();
    if (IsSkipped()) return;
    big = make_package("big.7z", {{"win64/big.bin", qlyn_test::sample_bytes(48 << 20, 11)},
                                  {"win64/rk50cli_dsk", "#!/bin/sh\necho client v2\n"}},
                       "-mx=0");
    ASSERT_EQ(install(good_package(), dest)->finish(), 0);
    before = state(dest);
  }
  // Runs the install of the big package and sends it sig while big.bin is
  // being written into the staging folder.
  std::unique_ptr<TProgramRun> interrupt_install(int sig, std::vector<std::string> args,
                                                 const std::function<void(TProgramRun&)>& while_stopped = {}) {
    auto p = std::make_unique<TProgramRun>(setup_exe, args, user());
    interrupt_when(
        *p, [&] { return staging_writes(dest, ".rk50-install-", "new/win64/big.bin"); }, sig,
        [&] {
          if (while_stopped) while_stopped(*p);
        });
    return p;
  }

  std::string big;
  const std::string dest = tmp / "inst";
  std::map<std::string, std::string> before;
};

// The session ending (SIGTERM) or the terminal going away (SIGHUP).
TEST_F(SetupAppSignals, EndSignalsDuringTheExtractionRestoreAndSaySo) {
  for (int sig : {SIGTERM, SIGHUP}) {
    auto p = interrupt_install(sig, install_args(big, dest));
    EXPECT_EQ(p->finish(), 1) << strsignal(sig);
    EXPECT_EQ(p->err(), "Installation aborted.\n") << strsignal(sig);
    EXPECT_EQ(p->out().find("Install completed!"), std::string::npos) << p->out();
    EXPECT_EQ(state(dest), before) << strsignal(sig);
  }
}

// A reader of the output that went away (qlyn-setup ... | head) does not end
// the run between two of its steps: the abort question written after it
// left is answered and the installation is undone.
TEST_F(SetupAppSignals, AnOutputNobodyReadsEndsNothingMidway) {
  auto p = interrupt_install(SIGINT, install_args(big, dest), [](TProgramRun& run) { run.close_output(); });
  EXPECT_EQ(p->finish(), 1);
  EXPECT_EQ(p->err(), "Installation aborted.\n");
  EXPECT_EQ(state(dest), before);
}

TEST_F(SetupAppSignals, CtrlCWithYesAbortsAndNeverCompletes) {
  auto p = interrupt_install(SIGINT, install_args(big, dest));
  EXPECT_EQ(p->finish(), 1);
  EXPECT_NE(p->out().find("are you sure to abort this installtion ? y\n"), std::string::npos) << p->out();
  EXPECT_EQ(p->out().find("Install completed!"), std::string::npos) << p->out();
  EXPECT_EQ(p->err(), "Installation aborted.\n");
  EXPECT_EQ(state(dest), before);
}

// What a killed run leaves goes with the next run on the installation,
// whether that one succeeds or fails; an installer holding the installation
// keeps it from being touched.
TEST_F(SetupAppSignals, AKilledRunsStagingGoesWithTheNextRun) {
  auto killed = interrupt_install(SIGKILL, install_args(big, dest));
  EXPECT_EQ(killed->finish(), 128 + SIGKILL);
  ASSERT_EQ(private_names(dest).size(), 1u);
  const auto left = state(dest);
  const std::string good = good_package();
  {
    rk50::TInstallLock other(dest);
    EXPECT_EQ(install(good, dest)->finish(), 1);
    EXPECT_EQ(state(dest), left);
  }
  std::string bytes = read_file(good);
  for (size_t i = 0; i < 32; ++i) bytes[bytes.size() / 2 + i] ^= char(0x5A);
  write_file(tmp / "damaged.7z", bytes);
  EXPECT_EQ(install(tmp / "damaged.7z", dest)->finish(), 1);
  EXPECT_EQ(state(dest), before);
  auto p = install(good, dest);
  EXPECT_EQ(p->finish(), 0) << p->out() << p->err();
  EXPECT_EQ(state(dest), before);
}

// Without --yes, the end of the input is a No: nothing is installed.
TEST_F(SetupApp, EndOfInputIsNo) {
  const std::string dest = tmp / "inst";
  TProgramRun p(setup_exe, {"--cli", "--package", good_package(), "--dir", dest}, user());
  EXPECT_EQ(p.finish(), 1);
  EXPECT_NE(p.out().find("Start? [Y/n] \n"), std::string::npos) << p.out();
  EXPECT_EQ(p.err(), "Installation aborted.\n");
  EXPECT_FALSE(qlyn_test::exists(dest));
  EXPECT_FALSE(qlyn_test::exists(desktop_entry()));
}

// Update mode with the updater an installation carries.
class SetupAppUpdate : public SetupApp {
 protected:
  void SetUp() override {
    SetupApp::SetUp();
    if (IsSkipped()) return;
    const std::string package =
        make_package("client.7z", {{"win64/rk50cli_dsk", "#!/bin/sh\ntouch \"$(dirname \"$0\")/started\"\n"},
                                   {"win64/version.txt", "1"},
                                   {"win64/obsolete.dll", "old"}});
    ASSERT_EQ(install(package, tmp / "inst")->finish(), 0);
    updater = tmp / "inst/win64/updator";
    write_file(tmp / "victim.txt", "the user's");
    write_file(tmp / "dl/important.doc", "the user's document");
  }
  // An update package in tmp/dl with the script and, at its top level, files.
  std::string make_update(const std::string& name, const std::string& script,
                          const std::map<std::string, std::string>& top = {}, const std::string& extra = {}) {
    std::map<std::string, std::string> files = top;
    files["win64_update/update.cmd"] = script;
    files["win64_update/version.txt"] = "2";
    fs::create_directories(tmp / "dl");
    const std::string built = make_package(name, files, extra);
    const std::string archive = tmp / ("dl/" + name);
    fs::rename(built, archive);
    return archive;
  }
  std::unique_ptr<TProgramRun> run_updater(const std::string& archive, const std::string& input) {
    TProgramOptions o = user();
    o.input = input;
    auto p = std::make_unique<TProgramRun>(updater, std::vector<std::string>{"--cli", "upd", archive}, o);
    p->finish();
    return p;
  }
  // The installation, less what the updater makes for itself when it starts
  // (its "temp" folder and the deployed library).
  std::map<std::string, std::string> installation() {
    auto tree = qlyn_test::snapshot_tree(tmp / "inst");
    tree.erase("win64/temp");
    tree.erase("win64/7z.so");
    return tree;
  }

  std::string updater;
};

// Without an answer nothing is applied and the client is not started; an
// update the user accepted does not start the client unasked.
TEST_F(SetupAppUpdate, EndOfInputAppliesNothing) {
  const std::string archive = make_update("u.7z", "cp $sour$version.txt $dest$version.txt\n");
  const auto before = installation();
  auto p = run_updater(archive, "");
  EXPECT_EQ(p->finish(), 1);
  EXPECT_NE(p->out().find("Start? [Y/n] \n"), std::string::npos) << p->out();
  EXPECT_EQ(installation(), before);
  EXPECT_FALSE(qlyn_test::exists(tmp / "inst/win64/started"));

  auto accepted = run_updater(archive, "\n");
  EXPECT_EQ(accepted->finish(), 0) << accepted->out() << accepted->err();
  EXPECT_EQ(read_file(tmp / "inst/win64/version.txt"), "2");
  EXPECT_NE(accepted->out().find("Install completed!\nStart the client? [Y/n] \n"), std::string::npos)
      << accepted->out();
  EXPECT_FALSE(qlyn_test::exists(tmp / "inst/win64/started"));
}

// The package is unpacked in private: a document beside it stays the user's
// and nothing is left behind.
TEST_F(SetupAppUpdate, NothingBesideThePackageChanges) {
  const std::string archive = make_update("u.7z", "cp $sour$version.txt $dest$version.txt\nfrobnicate x\n",
                                          {{"important.doc", "from the package"}});
  auto p = run_updater(archive, "\nn\n");
  EXPECT_EQ(p->finish(), 0) << p->out() << p->err();
  EXPECT_EQ(read_file(tmp / "inst/win64/version.txt"), "2");
  EXPECT_EQ(read_file(tmp / "dl/important.doc"), "the user's document");
  EXPECT_FALSE(qlyn_test::exists(tmp / "dl/win64_update"));
  std::vector<std::string> beside;
  for (const auto& e : fs::directory_iterator(tmp / "dl")) beside.push_back(e.path().filename());
  std::sort(beside.begin(), beside.end());
  EXPECT_EQ(beside, (std::vector<std::string>{"important.doc", "u.7z"}));
  EXPECT_EQ(private_names(tmp / "inst/win64"), std::vector<std::string>{});
  // The console lists the line it passed over.
  EXPECT_NE(p->out().find("Note: update script line 2 (frobnicate x) was passed over: unknown command\n"),
            std::string::npos)
      << p->out();
}

// Lines that reach outside the installation are refused; the lines before
// them are undone and the updater ends with an error.
TEST_F(SetupAppUpdate, ScriptLinesOutsideTheInstallationAreRefused) {
  const std::vector<std::string> escapes = {
      "del $dest$../../victim.txt",
      "cp $sour$version.txt " + (tmp / "planted.txt"),
      "mv $dest$../../victim.txt $dest$stolen",
  };
  int n = 0;
  for (const std::string& line : escapes) {
    const auto before = installation();
    const std::string archive = make_update("u" + std::to_string(++n) + ".7z",
                                            "cp $sour$version.txt $dest$version.txt\n"
                                            "del $dest$obsolete.dll\n" +
                                                line + "\n");
    auto p = run_updater(archive, "\nn\n");
    EXPECT_EQ(p->finish(), 1) << line;
    EXPECT_NE(p->err().find("Update script line 3 (" + line + "): "), std::string::npos) << p->err();
    EXPECT_NE(p->err().find("lies outside the installation; the line is refused."), std::string::npos) << p->err();
    EXPECT_EQ(installation(), before) << line;
    EXPECT_EQ(read_file(tmp / "victim.txt"), "the user's");
    EXPECT_FALSE(qlyn_test::exists(tmp / "planted.txt"));
  }
}

// SIGTERM undoes the update; what a SIGKILL leaves goes with the next
// update that completes.
TEST_F(SetupAppUpdate, SignalsWhileTheUpdateExtracts) {
  const std::string archive = make_update("big.7z", "cp $sour$version.txt $dest$version.txt\n",
                                          {{"win64_update/big.bin", qlyn_test::sample_bytes(48 << 20, 5)}}, "-mx=0");
  const auto before = installation();
  TProgramOptions o = user();
  o.input = "\n";
  for (int sig : {SIGTERM, SIGKILL}) {
    TProgramRun p(updater, {"--cli", "upd", archive}, o);
    interrupt_when(
        p, [&] { return staging_writes(tmp / "inst/win64", ".rk50-update-", "pkg/win64_update/big.bin"); }, sig);
    if (sig == SIGTERM) {
      EXPECT_EQ(p.finish(), 1);
      EXPECT_EQ(p.err(), "Installation aborted.\n");
      EXPECT_EQ(installation(), before);
    } else {
      EXPECT_EQ(p.finish(), 128 + SIGKILL);
      EXPECT_EQ(private_names(tmp / "inst/win64").size(), 1u);
    }
  }
  auto p = run_updater(make_update("u.7z", "cp $sour$version.txt $dest$version.txt\n"), "\nn\n");
  EXPECT_EQ(p->finish(), 0) << p->out() << p->err();
  EXPECT_EQ(read_file(tmp / "inst/win64/version.txt"), "2");
  EXPECT_EQ(private_names(tmp / "inst/win64"), std::vector<std::string>{});
}

}  // namespace
