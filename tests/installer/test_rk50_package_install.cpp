#include "installer/rk50_package_install.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <vector>

#include "archive/archive_library_deploy.h"
#include "common/ux_common.h"
#include "installer/rk50_stp_common.h"
#include "installer/rk50_transaction.h"
#include "support/archive_maker.h"
#include "support/scoped_env.h"

using namespace qlyn_test;

namespace {

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
  rk50::extract_package(
      archive, dest, [&p](bool total, int64_t value) { rk50::on_extract_progress(&p, total, value); }, library_path());
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

namespace {

// A user's home with both desktop-entry folders, and an installer binary.
class TransactionalInstall : public PackageInstallTest {
 protected:
  void SetUp() override {
    PackageInstallTest::SetUp();
    if (IsSkipped()) return;
    write_file(self, "installer binary");
    rk50::select_lang("eng");
  }
  void TearDown() override { rk50::select_lang("chn"); }
  rk50::TFinishInstall args(const std::string& archive, bool delete_package = false) {
    return rk50::TFinishInstall{dest, archive, 1, delete_package, self};
  }
  // Returns once the replaced files are deleted.
  rk50::TFinishResult install(const rk50::TFinishInstall& a) {
    rk50::TCancelFlag cancel;
    rk50::TFinishResult r = rk50::install_package(a, {}, cancel, library_path());
    EXPECT_TRUE(r.removal);
    if (r.removal) r.removal->wait();
    return r;
  }
  // The installation and both desktop-entry folders.
  std::map<std::string, std::string> state() {
    std::map<std::string, std::string> all;
    for (const std::string& d : {dest, tmp / "home/Desktop", tmp / "home/.local/share/applications"})
      for (auto& [k, v] : snapshot_tree(d)) all[d + ":" + k] = v;
    return all;
  }
  // What is in dest besides the installation itself (a staging folder left).
  std::vector<std::string> strays() {
    std::vector<std::string> r;
    if (!fs::exists(dest)) return r;
    for (const auto& e : fs::directory_iterator(dest))
      if (e.path().filename() != "win64") r.push_back(e.path().filename());
    return r;
  }

  TEnvScope home{"HOME", tmp / "home"};
  TEnvScope config{"XDG_CONFIG_HOME", tmp / "home/.config"};
  TEnvScope data{"XDG_DATA_HOME", tmp / "home/.local/share"};
  const std::string dest = tmp / "client/";
  const std::string self = tmp / "qlyn-setup";
  const std::string desktop = tmp / "home/Desktop/Qlyn 私有网盘.desktop";
  const std::string menu = tmp / "home/.local/share/applications/Qlyn 私有网盘.desktop";
};

}  // namespace

TEST_F(TransactionalInstall, InstallsWithEveryFinishingStep) {
  const std::string archive = make_package("pkg.7z");
  write_file(dest + "win64/user.dat", "kept: the package does not hold it");
  rk50::TFinishResult r = install(args(archive, true));
  EXPECT_FALSE(exists(archive));
  EXPECT_EQ(read_file(dest + "win64/rk50cli_dsk"), "#!/bin/sh\necho client\n");
  EXPECT_EQ(mode_of(dest + "win64/rk50cli_dsk"), 0755u);
  EXPECT_EQ(read_file(dest + "win64/lib/data.bin"), sample_bytes(100000, 7));
  EXPECT_EQ(read_file(dest + "win64/user.dat"), "kept: the package does not hold it");
  EXPECT_FALSE(exists(dest + "win64/cuuid.inf"));
  EXPECT_EQ(r.updater_path, dest + "win64/updator");
  EXPECT_EQ(read_file(dest + "win64/updator"), "installer binary");
  EXPECT_EQ(mode_of(dest + "win64/updator"), 0755u);
  EXPECT_EQ(r.shortcuts, (std::vector<std::string>{desktop, menu}));
  const std::string entry = read_file(desktop);
  EXPECT_NE(entry.find("Name=Qlyn 私有网盘\n"), std::string::npos);
  EXPECT_NE(entry.find("Exec=\"" + dest + "win64/rk50cli_dsk\"\n"), std::string::npos) << entry;
  EXPECT_NE(entry.find("Path=" + dest + "win64\n"), std::string::npos) << entry;
  EXPECT_NE(entry.find("Icon=application-x-executable\n"), std::string::npos) << entry;
  EXPECT_EQ(mode_of(desktop), 0755u);
  EXPECT_EQ(read_file(menu), entry);
  EXPECT_TRUE(strays().empty());

  // Again over the installation: the identity file an earlier version left
  // goes too, and a folder named like the updater makes the copy wait beside it.
  write_file(dest + "win64/cuuid.inf", "old id");
  ::unlink((dest + "win64/updator").c_str());
  write_file(dest + "win64/updator/busy", "x");
  write_file(self, "installer v2");
  r = install(args(make_package("pkg2.7z")));
  EXPECT_EQ(r.updater_path, dest + "win64/updator.tobe");
  EXPECT_EQ(read_file(dest + "win64/updator.tobe"), "installer v2");
  EXPECT_TRUE(exists(dest + "win64/updator/busy"));
  EXPECT_FALSE(exists(dest + "win64/cuuid.inf"));
  EXPECT_TRUE(exists(tmp / "pkg2.7z"));  // a package the user gave stays
  EXPECT_TRUE(strays().empty());
}

TEST_F(TransactionalInstall, TheUpdaterCopyKeepsItselfAndUpdateModeMakesNoEntries) {
  const std::string archive = make_package("pkg.7z");
  install(args(archive));
  rk50::TFinishInstall a = args(archive);
  a.self_path = dest + "win64/updator";
  a.mode = 2;
  ::unlink(desktop.c_str());
  rk50::TFinishResult r = install(a);
  EXPECT_EQ(r.updater_path, dest + "win64/updator");
  EXPECT_EQ(read_file(dest + "win64/updator"), "installer binary");
  EXPECT_FALSE(exists(dest + "win64/updator.tobe"));
  EXPECT_TRUE(r.shortcuts.empty());
  EXPECT_FALSE(exists(desktop));
  EXPECT_EQ(read_file(dest + "win64/cuuid.inf"), "uuid");  // only install mode drops it
}

// A failed re-install leaves the working installation and its desktop entry
// exactly as they were.
TEST_F(TransactionalInstall, ADamagedPackageLeavesThePreviousInstallation) {
  const std::string good = make_package("good.7z");
  install(args(good));
  write_file(dest + "win64/user.dat", "mine");
  const auto before = state();
  std::string bytes = read_file(good);
  ASSERT_GT(bytes.size(), 4096u);
  for (size_t i = 0; i < 32; ++i) bytes[bytes.size() / 2 + i] = char(~bytes[bytes.size() / 2 + i]);
  write_file(tmp / "damaged.7z", bytes);
  try {
    install(args(tmp / "damaged.7z", true));
    ADD_FAILURE() << "installed a damaged package";
  } catch (const ux::Exception& e) {
    EXPECT_NE(std::string(e.what()).find("Cannot extract"), std::string::npos) << e.what();
  }
  EXPECT_EQ(state(), before);
  EXPECT_TRUE(strays().empty());
  EXPECT_TRUE(exists(tmp / "damaged.7z"));  // never deleted after a failure
}

// The finishing steps fail after the extraction (here the updater copy): the
// fresh installation and its desktop entry are not left behind.
TEST_F(TransactionalInstall, AFailedFinishingStepRemovesEverything) {
  rk50::TFinishInstall a = args(make_package("pkg.7z"));
  a.self_path = tmp / "no-such-installer";
  EXPECT_THROW(install(a), ux::Exception);
  EXPECT_FALSE(exists(dest));
  EXPECT_FALSE(exists(desktop));
  EXPECT_FALSE(exists(menu));
  EXPECT_FALSE(exists(tmp / "home/Desktop"));

  // Over an installation: the old one and its entries come back.
  install(args(make_package("pkg2.7z")));
  write_file(desktop, "the user's own entry");
  const auto before = state();
  EXPECT_THROW(install(a), ux::Exception);
  EXPECT_EQ(state(), before);
}

TEST_F(TransactionalInstall, APackageWithoutWin64IsRefusedBeforeAnythingIsTouched) {
  write_file(tmp / "src_other/other/readme.txt", "not a client");
  ASSERT_EQ(make_7z(tmp / "other.7z", tmp / "src_other", "other", "-p" + rk50::package_password()), 0);
  write_file(desktop, "the user's own entry");
  const auto before = state();
  try {
    install(args(tmp / "other.7z", true));
    ADD_FAILURE() << "installed a package without win64";
  } catch (const ux::Exception& e) {
    EXPECT_EQ(std::string(e.what()), tmp / "other.7z" + " is not an install package (it has no win64 folder).");
  }
  EXPECT_EQ(state(), before);
  EXPECT_FALSE(exists(dest));
  rk50::select_lang("chn");
  EXPECT_THROW(install(args(tmp / "other.7z")), ux::Exception);
  try {
    install(args(tmp / "other.7z"));
  } catch (const ux::Exception& e) {
    EXPECT_EQ(std::string(e.what()), tmp / "other.7z" + " 不是安装包（其中没有 win64 文件夹）。");
  }
}

TEST_F(TransactionalInstall, ACancellationDuringTheExtractionRestores) {
  const std::string good = make_package("good.7z");
  install(args(good));
  const auto before = state();
  rk50::TCancelFlag cancel;
  int calls = 0;
  EXPECT_THROW(rk50::install_package(
                   args(make_package("pkg2.7z"), true),
                   [&](bool total, int64_t) {
                     if (!total && ++calls == 1) cancel.request();
                   },
                   cancel, library_path()),
               rk50::TCancelled);
  EXPECT_EQ(state(), before);
  EXPECT_TRUE(strays().empty());
  EXPECT_TRUE(exists(tmp / "pkg2.7z"));
  EXPECT_FALSE(cancel.complete());

  rk50::TCancelFlag early;
  early.request();
  EXPECT_THROW(rk50::install_package(args(good), {}, early, library_path()), rk50::TCancelled);
  EXPECT_EQ(state(), before);
}

TEST_F(TransactionalInstall, ConflictsAndASecondInstallerTouchNothing) {
  const std::string archive = make_package("pkg.7z");
  write_file(dest + "win64/lib", "a file where the package has a folder");
  const auto before = state();
  try {
    install(args(archive));
    ADD_FAILURE();
  } catch (const ux::Exception& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot install " + dest + "win64/lib: a file is in the way");
  }
  EXPECT_EQ(state(), before);
  EXPECT_TRUE(strays().empty());

  ::unlink((dest + "win64/lib").c_str());
  const auto unlocked = state();
  {
    rk50::TInstallLock other(dest);
    try {
      install(args(archive));
      ADD_FAILURE();
    } catch (const ux::Exception& e) {
      EXPECT_EQ(std::string(e.what()), "Another installer is working on " + dest + "; try again when it has finished.");
    }
    EXPECT_EQ(state(), unlocked);
  }
  install(args(archive));
  EXPECT_TRUE(exists(dest + "win64/lib/data.bin"));
}

// Runs that were killed midway — an installation that had staged its desktop
// entry and replaced the client, an update that had put a script line's
// file aside — are put right by the next run on the installation, even one
// that fails.
TEST_F(TransactionalInstall, WhatKilledRunsLeftIsPutRightByTheNextRun) {
  install(args(make_package("good.7z")));
  const auto before = state();
  auto killed_run = [&](const std::string& parent, const std::string& prefix,
                        const std::function<void(rk50::TFileTransaction&, const std::string&)>& changes) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      rk50::TFileTransaction tx;
      const std::string work = tx.make_work_folder(parent, prefix);
      tx.journal_to(work + rk50::kJournalName);
      tx.set_backup_dir(work + "old");
      changes(tx, work);
      ::raise(SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
  };
  const std::string hidden_entry = tmp / "home/Desktop/.Qlyn 私有网盘.desktop.rk50-1";
  killed_run(dest, rk50::kInstallStagingPrefix, [&](rk50::TFileTransaction& tx, const std::string& work) {
    write_file(work + "new/win64/rk50cli_dsk", "client v2");
    tx.record_created(hidden_entry);
    write_file(hidden_entry, "entry v2");
    tx.keep_aside(desktop);
    tx.keep_aside(dest + "win64/rk50cli_dsk");
    tx.move(work + "new/win64/rk50cli_dsk", dest + "win64/rk50cli_dsk");
  });
  killed_run(dest + "win64", rk50::kUpdateStagingPrefix, [&](rk50::TFileTransaction& tx, const std::string&) {
    tx.keep_aside(dest + "win64/lib/data.bin");
  });
  ASSERT_NE(state(), before);
  ASSERT_TRUE(exists(hidden_entry));

  EXPECT_THROW(install(args(tmp / "missing.7z")), ux::Exception);
  EXPECT_EQ(state(), before);
  EXPECT_TRUE(strays().empty());
  EXPECT_FALSE(exists(hidden_entry));
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
  rk50::extract_package(
      archive, tmp / "d1", [&](bool total, int64_t value) { calls.emplace_back(total, value); }, library_path());
  ASSERT_FALSE(calls.empty());
  EXPECT_TRUE(calls.front().first);
  EXPECT_FALSE(calls.back().first);
  EXPECT_EQ(calls.back().second, calls.front().second);
  EXPECT_TRUE(exists(tmp / "d1/win64/lib/data.bin"));

  EXPECT_THROW(rk50::extract_package(
                   archive, tmp / "d2",
                   [](bool total, int64_t) {
                     if (!total) throw ux::Exception("stop");
                   },
                   library_path()),
               ux::Exception);
  EXPECT_FALSE(exists(tmp / "d2/win64/lib/data.bin"));
  rk50::extract_package(archive, tmp / "d3", {}, library_path());
  EXPECT_TRUE(exists(tmp / "d3/win64/rk50cli_dsk"));
}

// Under code page 936 names and folders are GBK text; the file system and the
// desktop entry stay UTF-8.
TEST_F(PackageInstallTest, GbkProcessTextBecomesUtf8OnDisk) {
  TEnvScope config("XDG_CONFIG_HOME", tmp / "cfg");
  TEnvScope data("XDG_DATA_HOME", tmp / "data");
  write_file(tmp / "cfg/user-dirs.dirs", "XDG_DESKTOP_DIR=\"$HOME/桌面\"\n");
  write_file(tmp / "self", "me");
  const std::string archive = make_package("pkg.7z");
  qlyn_test::TCodePageScope gbk(ux::CP_GBK);
  TEnvScope home("HOME", ux::utf8_to_text(tmp.path()));
  EXPECT_EQ(rk50::desktop_dir(), ux::utf8_to_text(tmp / "桌面"));

  rk50::TFinishInstall args{ux::utf8_to_text(tmp / "客户端/"), ux::utf8_to_text(archive), 1, false,
                            ux::utf8_to_text(tmp / "self")};
  rk50::TCancelFlag cancel;
  rk50::TFinishResult r = rk50::install_package(args, {}, cancel, library_path());
  ASSERT_EQ(r.shortcuts.size(), 2u);
  const std::string desktop = tmp / "桌面/Qlyn 私有网盘.desktop";
  EXPECT_EQ(r.shortcuts[0], ux::utf8_to_text(desktop));
  const std::string entry = read_file(desktop);
  EXPECT_NE(entry.find("Name=Qlyn 私有网盘\n"), std::string::npos) << entry;
  EXPECT_NE(entry.find("Exec=\"" + (tmp / "客户端/win64/rk50cli_dsk") + "\"\n"), std::string::npos) << entry;
  EXPECT_EQ(read_file(tmp / "data/applications/Qlyn 私有网盘.desktop"), entry);
  EXPECT_EQ(read_file(tmp / "客户端/win64/updator"), "me");
}
