#include "installer/rk50_update_script.h"

#include <atomic>
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "common/ux_common.h"
#include "installer/rk50_package_install.h"
#include "installer/rk50_services.h"
#include "support/archive_maker.h"

#include "support/scoped_env.h"

using namespace qlyn_test;
using rk50::run_script_line;

namespace {

struct TUi : rk50::IUpdateUi {
  void set_action_enabled(bool enabled) override { calls.push_back(enabled ? "enable" : "disable"); }
  void process_pending_events() override { calls.push_back("events"); }
  std::vector<std::string> calls;
};

// HOME and the XDG folders pointed into a test folder.
class TEnvScopeHome {
 public:
  explicit TEnvScopeHome(const std::string& home) {
    for (const char* n : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME"}) {
      const char* v = std::getenv(n);
      saved_.emplace_back(n, v ? std::optional<std::string>(v) : std::nullopt);
    }
    ::setenv("HOME", home.c_str(), 1);
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("XDG_DATA_HOME");
  }
  ~TEnvScopeHome() {
    for (auto& [n, v] : saved_) {
      if (v) ::setenv(n, v->c_str(), 1);
      else ::unsetenv(n);
    }
  }

 private:
  std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};


class ScriptLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sf = tmp / "pkg/win64_update/";
    inst = tmp / "install/win64/";
    fs::create_directories(sf);
    fs::create_directories(inst);
  }
  void run(const std::string& line) {
    std::string rest = line;
    std::string command = ux::fetch_token(rest, " ");
    run_script_line(command, rest, sf, inst);
  }
  TTempDir tmp{"qlyn_script"};
  std::string sf, inst;
};

}  // namespace

TEST(ScriptLines, ByteOrderMarksAndLineBreaks) {
  using V = std::vector<std::string>;
  EXPECT_EQ(rk50::script_lines("cp a b\r\nmv c d\ndel e\rrd f"), (V{"cp a b", "mv c d", "del e", "rd f"}));
  EXPECT_EQ(rk50::script_lines("a\r\n\r\nb\n"), (V{"a", "", "b"}));
  EXPECT_EQ(rk50::script_lines("\xEF\xBB\xBF" "cp 新.txt x\n"), (V{"cp 新.txt x"}));
  // UTF-16 LE and BE: "cp 新 x" CR LF "del y"
  const std::string le("\xFF\xFE" "c\0p\0 \0\xB0\x65 \0x\0\r\0\n\0d\0e\0l\0 \0y\0", 28);
  EXPECT_EQ(rk50::script_lines(le), (V{"cp 新 x", "del y"}));
  const std::string be("\xFE\xFF\0c\0p\0 \x65\xB0\0 \0x", 14);
  EXPECT_EQ(rk50::script_lines(be), (V{"cp 新 x"}));
  EXPECT_TRUE(rk50::script_lines("").empty());
}

TEST_F(ScriptLineTest, PlaceholdersAndCopy) {
  write_file(sf + "rk50cli_dsk", "new client");
  write_file(inst + "rk50cli_dsk", "old client, much longer than the new one");
  run("cp $sour$rk50cli_dsk $dest$rk50cli_dsk");
  EXPECT_EQ(read_file(inst + "rk50cli_dsk"), "new client");

  write_file(sf + "upper.txt", "UPPER");
  run("CP $SOUR$upper.txt $DEST$upper.txt");
  EXPECT_EQ(read_file(inst + "upper.txt"), "UPPER");

  write_file(sf + "plain.txt", "from the script folder");
  run("cp plain.txt $dest$plain.txt");
  EXPECT_EQ(read_file(inst + "plain.txt"), "from the script folder");

  write_file(inst + "conf.ini", "installed");
  run("cp $dest$conf.ini $dest$conf.bak");
  EXPECT_EQ(read_file(inst + "conf.bak"), "installed");

  // Both placeholders: only "$sour$" is replaced.
  fs::create_directories(sf + "$dest$x");
  write_file(sf + "$dest$x/f", "literal");
  run("cp $sour$$dest$x/f $dest$both");
  EXPECT_EQ(read_file(inst + "both"), "literal");

  // Backslashes of Windows scripts become "/".
  write_file(sf + "sub/win.txt", "windows");
  fs::create_directories(inst + "sub");
  run("cp $sour$sub\\win.txt $dest$sub\\win.txt");
  EXPECT_EQ(read_file(inst + "sub/win.txt"), "windows");

  // A missing source is passed over.
  EXPECT_NO_THROW(run("cp $sour$none.txt $dest$none.txt"));
  EXPECT_FALSE(exists(inst + "none.txt"));
}

TEST_F(ScriptLineTest, CopyIntoAMissingFolderRaisesMoveCreatesIt) {
  write_file(sf + "a.dat", "A");
  EXPECT_THROW(run("cp $sour$a.dat $dest$new/dir/a.dat"), ux::Exception);
  EXPECT_FALSE(exists(inst + "new"));
  run("mv $sour$a.dat $dest$new/dir/a.dat");
  EXPECT_EQ(read_file(inst + "new/dir/a.dat"), "A");
  EXPECT_FALSE(exists(sf + "a.dat"));

  write_file(inst + "old.name", "R");
  run("ren $dest$old.name $dest$new.name");
  EXPECT_EQ(read_file(inst + "new.name"), "R");
  EXPECT_FALSE(exists(inst + "old.name"));
  EXPECT_NO_THROW(run("mv $sour$gone $dest$gone"));
  EXPECT_FALSE(exists(inst + "gone"));
}

TEST_F(ScriptLineTest, DeleteRemoveFolderAndUnknownCommands) {
  write_file(sf + "old.dat", "in the package");
  write_file(inst + "old.dat", "in the installation");
  run("del old.dat");  // the script folder's file, not the installation's
  EXPECT_FALSE(exists(sf + "old.dat"));
  EXPECT_TRUE(exists(inst + "old.dat"));
  run("RM $dest$old.dat");
  EXPECT_FALSE(exists(inst + "old.dat"));

  fs::create_directories(inst + "empty");
  fs::create_directories(inst + "full");
  write_file(inst + "full/keep", "k");
  run("rd $dest$empty");
  run("rd $dest$full");
  EXPECT_FALSE(exists(inst + "empty"));
  EXPECT_TRUE(exists(inst + "full/keep"));

  write_file(inst + "x", "x");
  EXPECT_NO_THROW(run("format $dest$x $dest$y"));
  EXPECT_NO_THROW(run("rm"));
  EXPECT_TRUE(exists(inst + "x"));

  // Two spaces: the empty source is the script folder itself.
  run_script_line("rd", " ignored", sf, inst);
  EXPECT_FALSE(exists(sf));
}

// Runs with the current directory set to a folder, and puts it back.
class TCurrentDirScope {
 public:
  explicit TCurrentDirScope(const std::string& dir) : saved_(fs::current_path()) { fs::current_path(dir); }
  ~TCurrentDirScope() { fs::current_path(saved_); }

 private:
  fs::path saved_;
};

TEST_F(ScriptLineTest, PathsOutsideBothFoldersAreRefusedBeforeAnyFileIsTouched) {
  const std::string outside = tmp / "outside/";
  fs::create_directories(outside);
  write_file(outside + "victim.txt", "must stay");
  write_file(sf + "notes.txt", "notes");
  write_file(inst + "keep.txt", "keep");
  TCurrentDirScope cwd(outside);
  // Found by fuzzing: a destination without "$dest$" is relative to the
  // current directory, here outside both folders.
  EXPECT_THROW(run("mv $sour$notes.txt $de$t$docs/release/notes"), ux::Exception);
  EXPECT_THROW(run("cp $sour$notes.txt notes.txt"), ux::Exception);
  EXPECT_THROW(run("cp $sour$notes.txt " + outside + "abs.txt"), ux::Exception);
  EXPECT_THROW(run("mv $dest$keep.txt $dest$../../outside/keep.txt"), ux::Exception);
  EXPECT_THROW(run("cp $dest$..\\..\\outside\\victim.txt $dest$stolen.txt"), ux::Exception);
  EXPECT_THROW(run("del $sour$../../outside/victim.txt"), ux::Exception);
  EXPECT_THROW(run("rd $dest$../../outside"), ux::Exception);
  // A NUL byte would cut the name short for the system calls.
  EXPECT_THROW(run_script_line("del", std::string("$dest$keep.txt\0x", 16), sf, inst), ux::Exception);
  EXPECT_EQ(read_file(outside + "victim.txt"), "must stay");
  EXPECT_EQ(read_file(sf + "notes.txt"), "notes");
  EXPECT_EQ(read_file(inst + "keep.txt"), "keep");
  EXPECT_EQ(std::distance(fs::directory_iterator(outside), fs::directory_iterator()), 1);
}

TEST_F(ScriptLineTest, PathsThatStayInsideTheFoldersStillWork) {
  write_file(sf + "notes.txt", "notes");
  run("cp $sour$./notes.txt $dest$.//a.txt");
  EXPECT_EQ(read_file(inst + "a.txt"), "notes");
  // ".." is refused even when the text would come back inside: the system
  // resolves it after following links.
  fs::create_directories(sf + "docs");
  EXPECT_THROW(run("cp $sour$docs/../notes.txt $dest$b.txt"), ux::Exception);
  // Relative to the current directory, which here is the installation.
  TCurrentDirScope cwd(inst);
  run("cp $sour$notes.txt c.txt");
  EXPECT_EQ(read_file(inst + "c.txt"), "notes");
  run("mv $dest$c.txt d.txt");
  EXPECT_EQ(read_file(inst + "d.txt"), "notes");
}

TEST_F(ScriptLineTest, DoubleByteNamesKeepTheirTrailBackslash) {
  qlyn_test::TCodePageScope gbk(ux::CP_GBK);
  const std::string kuro = ux::gbk_to_utf8("\xFC\x5C");  // trail byte is a backslash
  write_file(sf + kuro + "/x.txt", "gbk");
  run(std::string("cp $sour$\xFC\x5C\\x.txt $dest$y.txt"));
  EXPECT_EQ(read_file(inst + "y.txt"), "gbk");
}

namespace {

class UpdatePackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_7zz()) GTEST_SKIP() << "7zz not installed";
    inst = tmp / "client/win64/";
    write_file(inst + "rk50cli_dsk", "client v1");
    write_file(inst + "obsolete.dll", "old");
    fs::create_directories(inst + "plugins_old");
    write_file(inst + "settings.ini", "user settings");
  }
  std::string make_update(const std::string& script, const std::string& name = "upd.7z") {
    const std::string src = tmp / ("src_" + name);
    write_file(src + "/win64_update/update.cmd", script);
    write_file(src + "/win64_update/rk50cli_dsk", "client v2");
    write_file(src + "/win64_update/readme.txt", "notes");
    const std::string archive = tmp / ("downloads/" + name);
    fs::create_directories(tmp / "downloads");
    EXPECT_EQ(make_7z(archive, src, "win64_update", "-p" + rk50::package_password()), 0);
    return archive;
  }
  TTempDir tmp{"qlyn_update"};
  std::string inst;
  TUi ui;
  ux::TFakeClock clock;  // a standing clock: no extra event passes during extraction
};

// A monotonic clock that moves 100 ms at every reading.
class TRacingClock : public ux::IClockSource {
 public:
  TRacingClock() { ux::set_clock_source(this); }
  ~TRacingClock() override { ux::set_clock_source(nullptr); }
  int64_t now_ms() override { return 1700000000000LL; }
  int64_t tick_ms() override { return tick_ += 100; }

 private:
  std::atomic<int64_t> tick_{0};
};

}  // namespace

TEST_F(UpdatePackageTest, RunsTheScriptAgainstTheInstallation) {
  const std::string archive = make_update(
      "cp $sour$rk50cli_dsk $dest$rk50cli_dsk\r\n"
      "\r\n"
      "rd\r\n"
      "mv $sour$readme.txt $dest$docs\\readme.txt\r\n"
      "del $dest$obsolete.dll\r\n"
      "rd $dest$plugins_old\r\n"
      "frobnicate $dest$settings.ini\r\n");
  rk50::TUpdateResult r = rk50::apply_update_package(archive, ui, tmp / "client/win64", library_path());
  EXPECT_TRUE(r.applied);
  EXPECT_TRUE(r.script_found);
  EXPECT_EQ(r.dest_path, inst);
  EXPECT_EQ(r.lines_run, 5);
  EXPECT_EQ(read_file(inst + "rk50cli_dsk"), "client v2");
  EXPECT_EQ(read_file(inst + "docs/readme.txt"), "notes");
  EXPECT_FALSE(exists(inst + "obsolete.dll"));
  EXPECT_FALSE(exists(inst + "plugins_old"));
  EXPECT_EQ(read_file(inst + "settings.ini"), "user settings");
  EXPECT_TRUE(exists(tmp / "downloads/win64_update/update.cmd"));  // extracted beside the package
  std::vector<std::string> expected{"disable", "events"};
  for (int i = 0; i < 5; ++i) expected.push_back("events");
  expected.push_back("enable");
  EXPECT_EQ(ui.calls, expected);
}

TEST_F(UpdatePackageTest, MissingPackageChangesNothingAndMissingScriptIsNoError) {
  rk50::TUpdateResult r = rk50::apply_update_package(tmp / "downloads/none.7z", ui, inst, library_path());
  EXPECT_FALSE(r.applied);
  EXPECT_TRUE(ui.calls.empty());

  const std::string src = tmp / "src_plain";
  write_file(src + "/win64_update/only.txt", "x");
  const std::string archive = tmp / "downloads/plain.7z";
  fs::create_directories(tmp / "downloads");
  ASSERT_EQ(make_7z(archive, src, "win64_update", "-p" + rk50::package_password()), 0);
  r = rk50::apply_update_package(archive, ui, inst, library_path());
  EXPECT_TRUE(r.applied);
  EXPECT_FALSE(r.script_found);
  EXPECT_EQ(ui.calls.back(), "enable");
}

TEST_F(UpdatePackageTest, AFailingLineStopsTheRunWithTheActionDisabled) {
  const std::string archive = make_update(
      "cp $sour$readme.txt $dest$missing/readme.txt\n"
      "cp $sour$rk50cli_dsk $dest$rk50cli_dsk\n");
  EXPECT_THROW(rk50::apply_update_package(archive, ui, inst, library_path()), ux::Exception);
  EXPECT_EQ(read_file(inst + "rk50cli_dsk"), "client v1");
  EXPECT_EQ(ui.calls, (std::vector<std::string>{"disable", "events"}));
}

TEST_F(UpdatePackageTest, ABadPackageRaisesBeforeAnyLine) {
  write_file(tmp / "downloads/bad.7z", "not a package");
  EXPECT_THROW(rk50::apply_update_package(tmp / "downloads/bad.7z", ui, inst, library_path()), ux::Exception);
  EXPECT_EQ(read_file(inst + "rk50cli_dsk"), "client v1");

  const std::string src = tmp / "src_wrong";
  write_file(src + "/win64_update/update.cmd", "del $dest$rk50cli_dsk\n");
  ASSERT_EQ(make_7z(tmp / "downloads/wrong.7z", src, "win64_update", "-pnot-the-password"), 0);
  EXPECT_THROW(rk50::apply_update_package(tmp / "downloads/wrong.7z", ui, inst, library_path()), ux::Exception);
  EXPECT_TRUE(exists(inst + "rk50cli_dsk"));
}

TEST_F(UpdatePackageTest, RunUpdatePackageLeavesTheButtonToTheCaller) {
  const std::string archive = make_update("cp $sour$rk50cli_dsk $dest$rk50cli_dsk\nrm $dest$obsolete.dll\n");
  int events = 0;
  rk50::TUpdateResult r = rk50::run_update_package(archive, inst, [&] { ++events; }, library_path());
  EXPECT_TRUE(r.applied);
  EXPECT_EQ(r.lines_run, 2);
  EXPECT_EQ(events, 2);
  EXPECT_EQ(read_file(inst + "rk50cli_dsk"), "client v2");
  EXPECT_FALSE(exists(inst + "obsolete.dll"));
  EXPECT_THROW(rk50::run_update_package(tmp / "downloads/none.7z", inst, {}, library_path()), ux::Exception);
}

TEST_F(UpdatePackageTest, PendingEventsAreProcessedWhileThePackageExtracts) {
  std::string big(3 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = char((i * 2654435761u) >> 13);
  const std::string src = tmp / "src_big";
  write_file(src + "/win64_update/update.cmd", "cp $sour$big.bin $dest$big.bin\n");
  write_file(src + "/win64_update/big.bin", big);
  fs::create_directories(tmp / "downloads");
  ASSERT_EQ(make_7z(tmp / "downloads/big.7z", src, "win64_update", "-p" + rk50::package_password()), 0);
  TRacingClock racing;
  int events = 0;
  rk50::TUpdateResult r = rk50::run_update_package(tmp / "downloads/big.7z", inst, [&] { ++events; }, library_path());
  EXPECT_EQ(r.lines_run, 1);
  EXPECT_GT(events, 1);  // one after the line, the others during extraction
  EXPECT_EQ(read_file(inst + "big.bin"), big);
}

// The production services of qlyn-setup over the real units: offline install
// of a package, then an update, with the library deployed beside the executable.
TEST_F(UpdatePackageTest, ProductionServicesInstallAndUpdate) {
  TEnvScopeHome home(tmp / "home");
  const std::string src = tmp / "src_install";
  write_file(src + "/win64/rk50cli_dsk", "client v1");
  write_file(src + "/win64/cuuid.inf", "id");
  const std::string package = tmp / "offline.7z";
  ASSERT_EQ(make_7z(package, src, "win64", "-mhe=on -p" + rk50::package_password()), 0);

  rk50::TProductionServices services;
  services.deploy_archive_library(ux::exe_dir());
  ASSERT_TRUE(exists(ux::exe_dir() + "7z.so"));
  const std::string dest = tmp / "installed/";
  int64_t total = 0;
  services.extract_package(package, dest, [&](bool is_total, int64_t v) {
    if (is_total) total = v;
  });
  EXPECT_EQ(total, 11);  // unpacked bytes of both files
  services.finish_install(rk50::TFinishInstall{dest, package, 1, false, ""});
  EXPECT_TRUE(exists(package));
  EXPECT_FALSE(exists(dest + "win64/cuuid.inf"));
  EXPECT_TRUE(exists(dest + "win64/updator"));
  EXPECT_TRUE(exists(tmp / "home/Desktop/Qlyn 私有网盘.desktop"));

  const std::string update = make_update("cp $sour$rk50cli_dsk $dest$rk50cli_dsk\n");
  int events = 0;
  services.apply_update_package(update, dest + "win64/", [&] { ++events; });
  EXPECT_EQ(events, 1);
  EXPECT_EQ(read_file(dest + "win64/rk50cli_dsk"), "client v2");
}
