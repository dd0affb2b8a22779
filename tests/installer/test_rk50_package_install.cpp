#include "installer/rk50_package_install.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <vector>

#include "archive/archive_library_deploy.h"
#include "common/ux_common.h"
#include "support/archive_maker.h"

using namespace qlyn_test;

namespace {

// Sets an environment variable for one scope.
class TEnvScope {
 public:
  TEnvScope(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) {
      had_ = true;
      old_ = old;
    }
    ::setenv(name, value.c_str(), 1);
  }
  ~TEnvScope() {
    if (had_) ::setenv(name_, old_.c_str(), 1);
    else ::unsetenv(name_);
  }

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

struct TBar : rk50::IExtractProgress {
  void set_progress_position(int percent) override { positions.push_back(percent); }
  std::vector<int> positions;
};

mode_t mode_of(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class PackageInstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_7zz()) GTEST_SKIP() << "7zz not installed";
  }
  // An install package with a "win64" folder, made with the package password.
  std::string make_package(const std::string& name, const std::string& extra = "") {
    const std::string src = tmp / ("src_" + name);
    write_file(src + "/win64/rk50cli_dsk", "#!/bin/sh\necho client\n");
    ::chmod((src + "/win64/rk50cli_dsk").c_str(), 0755);
    write_file(src + "/win64/cuuid.inf", "uuid");
    write_file(src + "/win64/lib/data.bin", sample_bytes(100000, 7));
    const std::string archive = tmp / name;
    EXPECT_EQ(make_7z(archive, src, "win64", "-p" + rk50::package_password() + " " + extra), 0);
    return archive;
  }

  TTempDir tmp{"qlyn_install"};
};

}  // namespace

TEST(PackagePassword, IsTheBuildConstantWithFiveDecimals) {
  const std::string p = rk50::package_password();
  const size_t dot = p.find('.');
  ASSERT_NE(dot, std::string::npos) << p;
  EXPECT_EQ(p.size() - dot - 1, 5u) << p;
  EXPECT_EQ(p.find_first_not_of("0123456789", p[0] == '-' ? 1 : 0), dot) << p;
  EXPECT_EQ(p.find_first_not_of("0123456789", dot + 1), std::string::npos) << p;
  EXPECT_EQ(p, rk50::package_password());
  EXPECT_EQ(ux::utf16_to_text(rk50::package_password_utf16()), p);
  std::u16string given = u"other";
  EXPECT_EQ(rk50::on_archive_password(nullptr, given), 0);
  EXPECT_EQ(given, rk50::package_password_utf16());
}

TEST(ExtractProgress, MovesAtMostOncePerSecondAndNeverTo100) {
  ux::TFakeClock clock(1000000);
  TBar bar;
  rk50::TInstallProgress p;
  p.sink = &bar;
  EXPECT_EQ(rk50::on_extract_progress(&p, true, 1000), 0);
  EXPECT_EQ(p.sum_size, 1000);
  EXPECT_EQ(p.pos, 0);
  EXPECT_EQ(p.at_last_pop_ev, 1000000);

  clock.advance(500);
  rk50::on_extract_progress(&p, false, 100);
  EXPECT_EQ(p.pos, 100);
  clock.advance(500);  // exactly one second: not yet
  rk50::on_extract_progress(&p, false, 200);
  EXPECT_TRUE(bar.positions.empty());
  clock.advance(1);
  rk50::on_extract_progress(&p, false, 205);  // 20.5 in decimal, just below in binary: 20
  ASSERT_EQ(bar.positions, std::vector<int>{20});
  EXPECT_EQ(p.percent, 20);

  clock.advance(2000);
  rk50::on_extract_progress(&p, false, 0);  // value 0 changes nothing
  EXPECT_EQ(p.pos, 205);
  EXPECT_EQ(bar.positions.size(), 1u);

  rk50::on_extract_progress(&p, false, 215);  // 21.5 -> 22 (to even)
  EXPECT_EQ(bar.positions.back(), 22);
  clock.advance(1001);
  rk50::on_extract_progress(&p, false, 1000);  // complete: still 99
  EXPECT_EQ(bar.positions.back(), 99);

  // Exact halves go to the even neighbour: 12.5 -> 12, 62.5 -> 62, 37.5 -> 38.
  rk50::on_extract_progress(&p, true, 8);
  bar.positions.clear();
  for (int64_t v : {1, 5, 3}) {
    clock.advance(1001);
    rk50::on_extract_progress(&p, false, v);
  }
  EXPECT_EQ(bar.positions, (std::vector<int>{12, 62, 38}));

  rk50::TInstallProgress unknown;  // no total announced
  clock.advance(5000);
  rk50::on_extract_progress(&unknown, false, 10);
  EXPECT_EQ(unknown.percent, 0);
}

TEST_F(PackageInstallTest, ExtractsAPackageAndAShortOneLeavesTheBarAlone) {
  ux::TFakeClock clock;
  const std::string archive = make_package("pkg.7z");
  TBar bar;
  rk50::TInstallProgress p;
  p.sink = &bar;
  const std::string dest = tmp / "install/qlyn/client/";
  rk50::extract_package(archive, dest, &p, library_path());
  EXPECT_EQ(read_file(dest + "win64/rk50cli_dsk"), "#!/bin/sh\necho client\n");
  EXPECT_EQ(mode_of(dest + "win64/rk50cli_dsk"), 0755u);
  EXPECT_EQ(read_file(dest + "win64/lib/data.bin"), sample_bytes(100000, 7));
  EXPECT_GT(p.sum_size, 100000);
  EXPECT_TRUE(bar.positions.empty());  // the fake clock did not move
}

TEST_F(PackageInstallTest, EncryptedHeaderPackagesInstall) {
  const std::string archive = make_package("he.7z", "-mhe=on");
  const std::string dest = tmp / "dest";
  rk50::extract_package(archive, dest, nullptr, library_path());
  EXPECT_TRUE(exists(dest + "/win64/cuuid.inf"));
}

TEST_F(PackageInstallTest, BadPackagesAndLibrariesRaise) {
  const std::string src = tmp / "src";
  write_file(src + "/win64/rk50cli_dsk", sample_bytes(5000, 8));
  const std::string wrong = tmp / "wrong.7z";
  ASSERT_EQ(make_7z(wrong, src, "win64", "-pnot-our-password"), 0);
  EXPECT_THROW(rk50::extract_package(wrong, tmp / "d1", nullptr, library_path()), ux::Exception);
  EXPECT_FALSE(exists(tmp / "d1/win64/rk50cli_dsk"));

  const std::string good = make_package("good.7z");
  const std::string whole = read_file(good);
  write_file(tmp / "truncated.7z", whole.substr(0, whole.size() - 40));
  EXPECT_THROW(rk50::extract_package(tmp / "truncated.7z", tmp / "d2", nullptr, library_path()), ux::Exception);
  EXPECT_THROW(rk50::extract_package(tmp / "missing.7z", tmp / "d3", nullptr, library_path()), ux::Exception);
  try {
    rk50::extract_package(good, tmp / "d4", nullptr, tmp / "7z.so");
    FAIL();
  } catch (const ux::Exception& e) {
    EXPECT_EQ(std::string(e.what()), "Error loading library " + (tmp / "7z.so"));
  }
}

TEST_F(PackageInstallTest, FinishInstallInInstallMode) {
  TEnvScope home("HOME", tmp / "home");
  TEnvScope config("XDG_CONFIG_HOME", tmp / "home/.config");
  TEnvScope data("XDG_DATA_HOME", tmp / "home/.local/share");
  const std::string archive = make_package("pkg.7z");
  const std::string dest = tmp / "client/";
  rk50::extract_package(archive, dest, nullptr, library_path());
  const std::string self = tmp / "qlyn-setup";
  write_file(self, "installer binary");

  rk50::TFinishInstall args;
  args.dest_path = dest;
  args.saved_fname = archive;
  args.mode = 1;
  args.self_path = self;
  rk50::TFinishResult r = rk50::finish_install(args);
  EXPECT_FALSE(exists(archive));
  EXPECT_FALSE(exists(dest + "win64/cuuid.inf"));
  EXPECT_EQ(r.updater_path, dest + "win64/updator");
  EXPECT_EQ(read_file(dest + "win64/updator"), "installer binary");
  EXPECT_EQ(mode_of(dest + "win64/updator"), 0755u);
  ASSERT_EQ(r.shortcuts.size(), 2u);
  const std::string desktop = tmp / "home/Desktop/Qlyn 私有网盘.desktop";
  const std::string menu = tmp / "home/.local/share/applications/Qlyn 私有网盘.desktop";
  EXPECT_EQ(r.shortcuts[0], desktop);
  EXPECT_EQ(r.shortcuts[1], menu);
  const std::string entry = read_file(desktop);
  EXPECT_NE(entry.find("Name=Qlyn 私有网盘\n"), std::string::npos);
  EXPECT_NE(entry.find("Exec=\"" + dest + "win64/rk50cli_dsk\"\n"), std::string::npos) << entry;
  EXPECT_NE(entry.find("Path=" + dest + "win64\n"), std::string::npos) << entry;
  EXPECT_NE(entry.find("Icon="), std::string::npos);
  EXPECT_EQ(mode_of(desktop), 0755u);
  EXPECT_EQ(read_file(menu), entry);

  // An updater that cannot be removed stays; the copy goes to ".tobe".
  write_file(dest + "win64/updator.tobe", "older and longer pending copy");
  ::unlink((dest + "win64/updator").c_str());
  write_file(dest + "win64/updator/busy", "x");
  write_file(self, "installer v2");
  args.saved_fname.clear();
  r = rk50::finish_install(args);
  EXPECT_EQ(r.updater_path, dest + "win64/updator.tobe");
  EXPECT_EQ(read_file(dest + "win64/updator.tobe"), "installer v2");
  EXPECT_TRUE(exists(dest + "win64/updator/busy"));
}

TEST_F(PackageInstallTest, FinishInstallInUpdateModeAndForAUserPackage) {
  TEnvScope home("HOME", tmp / "home");
  TEnvScope data("XDG_DATA_HOME", tmp / "home/.local/share");
  const std::string dest = tmp / "client";
  write_file(dest + "/win64/cuuid.inf", "uuid");
  const std::string package = tmp / "user.7z";
  write_file(package, "the user's own file");
  write_file(tmp / "self", "me");

  rk50::TFinishInstall args{dest, package, 2, false, tmp / "self"};
  rk50::TFinishResult r = rk50::finish_install(args);
  EXPECT_TRUE(exists(package));
  EXPECT_TRUE(exists(dest + "/win64/cuuid.inf"));
  EXPECT_TRUE(r.shortcuts.empty());
  EXPECT_FALSE(exists(tmp / "home/Desktop"));
  EXPECT_EQ(read_file(dest + "/win64/updator"), "me");

  // The updater copy itself installing into its own folder keeps itself.
  args.self_path = dest + "/win64/updator";
  r = rk50::finish_install(args);
  EXPECT_EQ(r.updater_path, dest + "/win64/updator");
  EXPECT_EQ(read_file(dest + "/win64/updator"), "me");
  EXPECT_FALSE(exists(dest + "/win64/updator.tobe"));

  // A package without a "win64" folder: the updater copy fails loudly.
  args.self_path = tmp / "self";
  args.dest_path = tmp / "elsewhere";
  EXPECT_THROW(rk50::finish_install(args), ux::Exception);
}

TEST(DesktopShortcut, UsesTheXdgDesktopFolderAndOverwrites) {
  TTempDir tmp("qlyn_shortcut");
  TEnvScope home("HOME", tmp.path());
  TEnvScope config("XDG_CONFIG_HOME", tmp / "cfg");
  TEnvScope data("XDG_DATA_HOME", tmp / "data");
  write_file(tmp / "cfg/user-dirs.dirs", "# comment\nXDG_DOWNLOAD_DIR=\"$HOME/dl\"\nXDG_DESKTOP_DIR=\"$HOME/桌面\"\n");
  EXPECT_EQ(rk50::desktop_dir(), tmp / "桌面");
  write_file(tmp / "app dir/rk50cli_dsk.png", "png");
  auto files = rk50::create_desktop_shortcut(tmp / "app dir/rk50cli_dsk", "Qlyn 私有网盘");
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0], tmp / "桌面/Qlyn 私有网盘.desktop");
  EXPECT_EQ(files[1], tmp / "data/applications/Qlyn 私有网盘.desktop");
  const std::string entry = read_file(files[0]);
  EXPECT_NE(entry.find("Icon=" + (tmp / "app dir/rk50cli_dsk.png") + "\n"), std::string::npos) << entry;
  EXPECT_NE(entry.find("Exec=\"" + (tmp / "app dir/rk50cli_dsk") + "\"\n"), std::string::npos) << entry;
  write_file(files[0], "stale");
  rk50::create_desktop_shortcut(tmp / "app dir/rk50cli_dsk", "Qlyn 私有网盘");
  EXPECT_EQ(read_file(files[0]), entry);
}

TEST_F(PackageInstallTest, ProgressAsACallableAndItsExceptions) {
  const std::string archive = make_package("pkg.7z");
  std::vector<std::pair<bool, int64_t>> calls;
  rk50::extract_package_with_progress(
      archive, tmp / "d1", [&](bool total, int64_t value) { calls.emplace_back(total, value); }, library_path());
  ASSERT_FALSE(calls.empty());
  EXPECT_TRUE(calls.front().first);
  EXPECT_FALSE(calls.back().first);
  EXPECT_EQ(calls.back().second, calls.front().second);
  EXPECT_TRUE(exists(tmp / "d1/win64/lib/data.bin"));

  EXPECT_THROW(rk50::extract_package_with_progress(
                   archive, tmp / "d2",
                   [](bool total, int64_t) {
                     if (!total) throw ux::Exception("stop");
                   },
                   library_path()),
               ux::Exception);
  EXPECT_FALSE(exists(tmp / "d2/win64/lib/data.bin"));
  rk50::extract_package_with_progress(archive, tmp / "d3", {}, library_path());
  EXPECT_TRUE(exists(tmp / "d3/win64/rk50cli_dsk"));
}

// Under code page 936 names and folders are GBK text; the file system and the
// desktop entry stay UTF-8.
TEST(DesktopShortcut, GbkProcessTextBecomesUtf8OnDisk) {
  TTempDir tmp("qlyn_shortcut");
  TEnvScope config("XDG_CONFIG_HOME", tmp / "cfg");
  TEnvScope data("XDG_DATA_HOME", tmp / "data");
  write_file(tmp / "cfg/user-dirs.dirs", "XDG_DESKTOP_DIR=\"$HOME/桌面\"\n");
  write_file(tmp / "客户端/win64/rk50cli_dsk", "client");
  write_file(tmp / "self", "me");
  qlyn_test::TCodePageScope gbk(ux::CP_GBK);
  TEnvScope home("HOME", ux::utf8_to_text(tmp.path()));
  EXPECT_EQ(rk50::desktop_dir(), ux::utf8_to_text(tmp / "桌面"));

  rk50::TFinishInstall args;
  args.dest_path = ux::utf8_to_text(tmp / "客户端/");
  args.mode = 1;
  args.self_path = ux::utf8_to_text(tmp / "self");
  rk50::TFinishResult r = rk50::finish_install(args);
  ASSERT_EQ(r.shortcuts.size(), 2u);
  const std::string desktop = tmp / "桌面/Qlyn 私有网盘.desktop";
  EXPECT_EQ(r.shortcuts[0], ux::utf8_to_text(desktop));
  const std::string entry = read_file(desktop);
  EXPECT_NE(entry.find("Name=Qlyn 私有网盘\n"), std::string::npos) << entry;
  EXPECT_NE(entry.find("Exec=\"" + (tmp / "客户端/win64/rk50cli_dsk") + "\"\n"), std::string::npos) << entry;
  EXPECT_EQ(read_file(tmp / "data/applications/Qlyn 私有网盘.desktop"), entry);
}
