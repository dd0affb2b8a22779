// qlyn-setup as a user runs it: real packages made with 7zz, real files, a
// copy of the program in folders of the test's making.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "installer/rk50_package_install.h"
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
  // package password.
  std::string make_package(const std::string& name, const std::map<std::string, std::string>& files) {
    const std::string src = tmp / ("src_" + name);
    std::string items;
    for (const auto& [path, bytes] : files) {
      write_file(src + "/" + path, bytes);
      const std::string top = path.substr(0, path.find('/'));
      if (items.find(qlyn_test::quote(top)) == std::string::npos) items += " " + qlyn_test::quote(top);
    }
    const std::string archive = tmp / name;
    EXPECT_EQ(qlyn_test::make_7z(archive, src, items, "-p" + qlyn_test::quote(rk50::package_password())), 0);
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

}  // namespace
