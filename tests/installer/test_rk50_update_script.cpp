#include "installer/rk50_update_script.h"

#include <atomic>
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/ux_common.h"
#include "installer/rk50_stp_common.h"
#include "installer/rk50_transaction.h"
#include "installer/rk50_package_install.h"
#include "installer/rk50_services.h"
#include "support/archive_maker.h"
#include "support/scoped_env.h"

using namespace qlyn_test;
using rk50::run_script_line;

namespace {

class ScriptLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sf = tmp / "pkg/win64_update/";
    inst = tmp / "install/win64/";
    fs::create_directories(sf);
    fs::create_directories(inst);
  }
  // The line's note ("" when it ran).
  std::string run(const std::string& line) {
    std::string rest = line;
    std::string command = ux::fetch_token(rest, " ");
    return run_script_line(command, rest, sf, inst);
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

  // A missing source is passed over, with a note.
  rk50::select_lang("eng");
  EXPECT_EQ(run("cp $sour$none.txt $dest$none.txt"), sf + "none.txt does not exist");
  EXPECT_FALSE(exists(inst + "none.txt"));

  // A copy over a file keeps that file's mode, as a copy in place would.
  write_file(sf + "tool", "new tool");
  write_file(inst + "tool", "old tool");
  ::chmod((inst + "tool").c_str(), 0750);
  run("cp $sour$tool $dest$tool");
  EXPECT_EQ(read_file(inst + "tool"), "new tool");
  struct stat st;
  ASSERT_EQ(::stat((inst + "tool").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0750u);
  rk50::select_lang("chn");
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
  EXPECT_NE(run("mv $sour$gone $dest$gone"), "");
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
  rk50::select_lang("eng");
  EXPECT_EQ(run("rd $dest$empty"), "");
  EXPECT_EQ(run("rd $dest$full"), "folder " + inst + "full is not empty");
  EXPECT_FALSE(exists(inst + "empty"));
  EXPECT_TRUE(exists(inst + "full/keep"));

  write_file(inst + "x", "x");
  EXPECT_EQ(run("format $dest$x $dest$y"), "unknown command");
  EXPECT_EQ(run("del $dest$full"), inst + "full is a folder");
  EXPECT_EQ(run("rd $dest$x"), inst + "x is not a folder");
  EXPECT_EQ(run("rm $dest$none"), inst + "none does not exist");
  EXPECT_TRUE(exists(inst + "x"));
  rk50::select_lang("chn");

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

// Found by fuzzing: a path without "$sour$" or "$dest$" counts from the
// current directory, which may lie outside both folders; a NUL byte would cut
// the name short for the system calls.
TEST_F(ScriptLineTest, RelativePathsCountFromTheCurrentDirectoryAndNulIsRefused) {
  const std::string outside = tmp / "outside/";
  fs::create_directories(outside);
  write_file(sf + "notes.txt", "notes");
  write_file(inst + "keep.txt", "keep");
  {
    TCurrentDirScope cwd(outside);
    EXPECT_THROW(run("mv $sour$notes.txt $de$t$docs/release/notes"), ux::Exception);
    EXPECT_THROW(run("cp $sour$notes.txt notes.txt"), ux::Exception);
    EXPECT_TRUE(fs::is_empty(outside));
  }
  EXPECT_THROW(run_script_line("del", std::string("$dest$keep.txt\0x", 16), sf, inst), ux::Exception);
  EXPECT_THROW(run_script_line("cp", std::string("$sour$notes.txt $dest$new.txt\0x", 31), sf, inst), ux::Exception);
  EXPECT_EQ(read_file(inst + "keep.txt"), "keep");
  EXPECT_FALSE(exists(inst + "new.txt"));

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

// Paths that resolve outside the installation and the package are refused,
// whatever spelling reaches them.
TEST_F(ScriptLineTest, PathsOutsideTheInstallationAreRefused) {
  rk50::select_lang("eng");
  write_file(tmp / "victim.txt", "the user's");
  write_file(tmp / "outside/secret", "not for the client");
  write_file(sf + "x", "from the package");
  write_file(inst + "f", "installed");
  fs::create_directory_symlink(tmp / "outside", inst + "link");
  const std::vector<std::string> refused = {
      "del $dest$../../victim.txt",
      "cp $sour$x " + (tmp / "abs.txt"),
      "mv $dest$../../victim.txt $dest$stolen",
      "cp $sour$../../victim.txt $dest$stolen",
      "cp $dest$link/secret $dest$stolen",
      "cp $sour$x $dest$link/planted",
      "del $dest$link/secret",
      "mv $dest$f $dest$sub/../../../f",
      "cp $sour$x relative.txt",
  };
  for (const std::string& line : refused) {
    try {
      run(line);
      ADD_FAILURE() << "carried out: " << line;
    } catch (const ux::Exception& e) {
      EXPECT_NE(std::string(e.what()).find(" lies outside the installation; the line is refused."), std::string::npos)
          << e.what();
    }
  }
  EXPECT_EQ(read_file(tmp / "victim.txt"), "the user's");
  EXPECT_EQ(read_file(tmp / "outside/secret"), "not for the client");
  EXPECT_FALSE(exists(tmp / "abs.txt"));
  EXPECT_FALSE(exists(tmp / "outside/planted"));
  EXPECT_FALSE(exists(inst + "stolen"));
  EXPECT_EQ(read_file(inst + "f"), "installed");

  // Inside stays allowed, ".." included; the link itself may go.
  EXPECT_EQ(run("cp $sour$x $dest$sub/../x"), "");
  EXPECT_EQ(read_file(inst + "x"), "from the package");
  EXPECT_EQ(run("del $dest$link"), "");
  EXPECT_TRUE(exists(tmp / "outside/secret"));
  rk50::select_lang("chn");
}

// Found by fuzzing: "mv  $dest$" (the empty source is the script folder) kept
// the installation folder itself aside, beside it and outside both folders,
// to put the script folder in its place. The
// runner's own folders, and folders holding them, are never replaced, moved
// or removed; reading them stays allowed.
TEST_F(ScriptLineTest, TheRunnersOwnFoldersAreNeitherReplacedNorRemoved) {
  rk50::select_lang("eng");
  const std::string pkg = tmp / "pkg/";
  const std::vector<std::string> refused_while_empty = {"rd $dest$", "rd $dest$.", "rd $dest$sub/.."};
  const std::vector<std::string> refused = {
      "mv  $dest$",
      "mv $sour$x $dest$",       "mv $sour$x $dest$.",          "ren $sour$x $dest$sub/..",
      "cp $sour$x $dest$",       "mv $dest$ $sour$moved",       "del $dest$",
      "del $sour$..",            "rd $sour$..",                 "mv $sour$.. $dest$package",
      "cp $sour$x " + pkg,       "mv $sour$x " + pkg,
  };
  auto expect_refused = [&](const std::string& line) {
    try {
      run(line);
      ADD_FAILURE() << "carried out: " << line;
    } catch (const ux::Exception& e) {
      EXPECT_NE(std::string(e.what()).find(" is the installation or update folder itself; the line is refused."),
                std::string::npos)
          << line << ": " << e.what();
    }
  };
  for (const std::string& line : refused_while_empty) expect_refused(line);
  EXPECT_TRUE(fs::is_directory(inst));
  write_file(sf + "x", "from the package");
  write_file(inst + "f", "installed");
  const auto before = snapshot_tree(tmp.path());
  for (const std::string& line : refused) expect_refused(line);
  EXPECT_EQ(snapshot_tree(tmp.path()), before);
  for (const auto& e : fs::directory_iterator(tmp / "install"))
    EXPECT_EQ(e.path().filename(), "win64") << "set aside: " << e.path();

  // Copying out of them, and changing what lies inside them, stays allowed.
  fs::create_directories(inst + "sub");
  EXPECT_EQ(run("cp $sour$x $dest$sub/x"), "");
  EXPECT_EQ(run("mv $dest$sub $dest$moved"), "");
  EXPECT_EQ(read_file(inst + "moved/x"), "from the package");
  EXPECT_EQ(run("cp $dest$ $dest$y"), inst + " does not exist");
  rk50::select_lang("chn");
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
    rk50::select_lang("eng");
  }
  void TearDown() override { rk50::select_lang("chn"); }
  std::string make_update(const std::string& script, const std::string& name = "upd.7z",
                          const std::map<std::string, std::string>& top_level = {}) {
    const std::string src = tmp / ("src_" + name);
    write_file(src + "/win64_update/update.cmd", script);
    write_file(src + "/win64_update/rk50cli_dsk", "client v2");
    write_file(src + "/win64_update/readme.txt", "notes");
    std::string items = "win64_update";
    for (const auto& [file, bytes] : top_level) {
      write_file(src + "/" + file, bytes);
      items += " " + quote(file);
    }
    const std::string archive = tmp / ("downloads/" + name);
    fs::create_directories(tmp / "downloads");
    EXPECT_EQ(make_7z(archive, src, items, "-p" + rk50::package_password()), 0);
    return archive;
  }
  rk50::TUpdateResult update(const std::string& archive, const std::function<void()>& events = {}) {
    rk50::TCancelFlag cancel;
    return rk50::run_update_package(archive, inst, events, cancel, library_path());
  }
  // The installation, and what the update left in its folder or beside the package.
  std::map<std::string, std::string> installation() { return snapshot_tree(tmp / "client"); }
  std::vector<std::string> strays() {
    std::vector<std::string> r;
    for (const auto& e : fs::directory_iterator(inst))
      if (e.path().filename().string().rfind(".rk50-", 0) == 0) r.push_back(e.path());
    for (const auto& e : fs::directory_iterator(tmp / "downloads"))
      if (e.path().extension() != ".7z") r.push_back(e.path());
    return r;
  }

  TTempDir tmp{"qlyn_update"};
  std::string inst;
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
  int events = 0;
  rk50::TUpdateResult r = update(archive, [&] { ++events; });
  EXPECT_TRUE(r.script_found);
  EXPECT_EQ(r.dest_path, inst);
  EXPECT_EQ(r.lines_run, 5);
  EXPECT_EQ(events, 5);
  EXPECT_EQ(read_file(inst + "rk50cli_dsk"), "client v2");
  EXPECT_EQ(read_file(inst + "docs/readme.txt"), "notes");
  EXPECT_FALSE(exists(inst + "obsolete.dll"));
  EXPECT_FALSE(exists(inst + "plugins_old"));
  EXPECT_EQ(read_file(inst + "settings.ini"), "user settings");
  EXPECT_EQ(r.notes, std::vector<std::string>{
                         "Note: update script line 7 (frobnicate $dest$settings.ini) was passed over: unknown command"});
  // Nothing beside the package, no staging folder left.
  EXPECT_TRUE(strays().empty());
}

// The package is never unpacked beside itself: a file of the same name there
// stays the user's.
TEST_F(UpdatePackageTest, NothingBesideThePackageIsOverwritten) {
  const std::string archive =
      make_update("cp $sour$rk50cli_dsk $dest$rk50cli_dsk\n", "upd.7z", {{"important.doc", "from the package"}});
  write_file(tmp / "downloads/important.doc", "the user's document");
  update(archive);
  EXPECT_EQ(read_file(tmp / "downloads/important.doc"), "the user's document");
  EXPECT_FALSE(exists(tmp / "downloads/win64_update"));
  EXPECT_EQ(read_file(inst + "rk50cli_dsk"), "client v2");
}

TEST_F(UpdatePackageTest, MissingScriptIsNoError) {
  const std::string src = tmp / "src_plain";
  write_file(src + "/win64_update/only.txt", "x");
  const std::string archive = tmp / "downloads/plain.7z";
  fs::create_directories(tmp / "downloads");
  ASSERT_EQ(make_7z(archive, src, "win64_update", "-p" + rk50::package_password()), 0);
  const auto before = installation();
  rk50::TUpdateResult r = update(archive);
  EXPECT_FALSE(r.script_found);
  EXPECT_EQ(installation(), before);
  EXPECT_TRUE(strays().empty());
  EXPECT_THROW(update(tmp / "downloads/none.7z"), ux::Exception);
}

// A failing line undoes the lines before it: the installation is as it was.
TEST_F(UpdatePackageTest, AFailingLineUndoesTheLinesBeforeIt) {
  const std::string archive = make_update(
      "cp $sour$rk50cli_dsk $dest$rk50cli_dsk\n"
      "del $dest$obsolete.dll\n"
      "rd $dest$plugins_old\n"
      "mv $sour$readme.txt $dest$docs/new/readme.txt\n"
      "cp $sour$rk50cli_dsk $dest$missing/rk50cli_dsk\n"
      "del $dest$settings.ini\n");
  const auto before = installation();
  try {
    update(archive);
    ADD_FAILURE() << "a failing line went unnoticed";
  } catch (const ux::Exception& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Update script line 5 (cp $sour$rk50cli_dsk $dest$missing/rk50cli_dsk): ", 0),
              0u)
        << e.what();
  }
  EXPECT_EQ(installation(), before);
  EXPECT_TRUE(strays().empty());

  // A refused line in the middle undoes the same way.
  write_file(tmp / "victim.txt", "the user's");
  const std::string outside = make_update(
      "cp $sour$rk50cli_dsk $dest$rk50cli_dsk\n"
      "del $dest$../../victim.txt\n",
      "outside.7z");
  try {
    update(outside);
    ADD_FAILURE();
  } catch (const ux::Exception& e) {
    EXPECT_NE(std::string(e.what()).find("lies outside the installation"), std::string::npos) << e.what();
  }
  EXPECT_EQ(read_file(tmp / "victim.txt"), "the user's");
  EXPECT_EQ(installation(), before);
}

// The fuzz finding through the whole update: a line that would put a file in
// place of the installation folder fails, and the lines before it are undone.
TEST_F(UpdatePackageTest, ALineReplacingTheInstallationFolderFailsAndUndoes) {
  const auto before = installation();
  const std::string archive = make_update(
      "\xEF\xBB\xBF" "cp $sour$rk50cli_dsk $dest$rk50cli_dsk\r"
      "mv  $dest$\r\n"
      "del $dest$settings.ini\n");
  try {
    update(archive);
    ADD_FAILURE() << "the installation folder was replaced";
  } catch (const ux::Exception& e) {
    EXPECT_EQ(std::string(e.what()),
              "Update script line 2 (mv  $dest$): " + inst +
                  " is the installation or update folder itself; the line is refused.");
  }
  EXPECT_EQ(installation(), before);
  EXPECT_TRUE(strays().empty());
  for (const auto& e : fs::directory_iterator(tmp / "client"))
    EXPECT_EQ(e.path().filename(), "win64") << "set aside: " << e.path();
}

TEST_F(UpdatePackageTest, ABadPackageRaisesBeforeAnyLine) {
  write_file(tmp / "downloads/bad.7z", "not a package");
  const auto before = installation();
  EXPECT_THROW(update(tmp / "downloads/bad.7z"), ux::Exception);
  const std::string src = tmp / "src_wrong";
  write_file(src + "/win64_update/update.cmd", "del $dest$rk50cli_dsk\n");
  ASSERT_EQ(make_7z(tmp / "downloads/wrong.7z", src, "win64_update", "-pnot-the-password"), 0);
  EXPECT_THROW(update(tmp / "downloads/wrong.7z"), ux::Exception);
  EXPECT_EQ(installation(), before);
  EXPECT_TRUE(strays().empty());
}

TEST_F(UpdatePackageTest, ACancellationBetweenLinesUndoesThem) {
  const std::string archive = make_update("cp $sour$rk50cli_dsk $dest$rk50cli_dsk\ndel $dest$obsolete.dll\n");
  const auto before = installation();
  rk50::TCancelFlag cancel;
  EXPECT_THROW(rk50::run_update_package(archive, inst, [&] { cancel.request(); }, cancel, library_path()),
               rk50::TCancelled);
  EXPECT_EQ(installation(), before);
  EXPECT_TRUE(strays().empty());
}

TEST_F(UpdatePackageTest, ASecondInstallerOnTheInstallationIsTurnedAway) {
  const std::string archive = make_update("del $dest$obsolete.dll\n");
  rk50::TInstallLock installing(tmp / "client");
  try {
    update(archive);
    ADD_FAILURE();
  } catch (const ux::Exception& e) {
    EXPECT_EQ(std::string(e.what()),
              "Another installer is working on " + (tmp / "client/") + "; try again when it has finished.");
  }
  EXPECT_TRUE(exists(inst + "obsolete.dll"));
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
  rk50::TUpdateResult r = update(tmp / "downloads/big.7z", [&] { ++events; });
  EXPECT_EQ(r.lines_run, 1);
  EXPECT_GT(events, 1);  // one after the line, the others during extraction
  EXPECT_EQ(read_file(inst + "big.bin"), big);
}

// The production services of qlyn-setup over the real units: offline install
// of a package, then an update, with the library deployed beside the executable.
TEST_F(UpdatePackageTest, ProductionServicesInstallAndUpdate) {
  TEnvScope home("HOME", tmp / "home"), config("XDG_CONFIG_HOME", tmp / "home/.config"),
      data("XDG_DATA_HOME", tmp / "home/.local/share");
  const std::string src = tmp / "src_install";
  write_file(src + "/win64/rk50cli_dsk", "client v1");
  write_file(src + "/win64/cuuid.inf", "id");
  const std::string package = tmp / "offline.7z";
  ASSERT_EQ(make_7z(package, src, "win64", "-mhe=on -p" + rk50::package_password()), 0);

  rk50::TProductionServices services;
  const std::string dest = tmp / "installed/";
  int64_t total = 0;
  rk50::TCancelFlag cancel;
  services.install_package(rk50::TFinishInstall{dest, package, 1, false, ""},
                           [&](bool is_total, int64_t v) {
                             if (is_total) total = v;
                           },
                           cancel);
  EXPECT_EQ(total, 11);  // unpacked bytes of both files
  EXPECT_TRUE(exists(package));
  EXPECT_FALSE(exists(dest + "win64/cuuid.inf"));
  EXPECT_TRUE(exists(dest + "win64/updator"));
  EXPECT_TRUE(exists(tmp / "home/Desktop/Qlyn 私有网盘.desktop"));

  const std::string update = make_update("cp $sour$rk50cli_dsk $dest$rk50cli_dsk\nrd $dest$none\n");
  int events = 0;
  rk50::TCancelFlag update_cancel;
  const std::vector<std::string> notes =
      services.apply_update_package(update, dest + "win64/", [&] { ++events; }, update_cancel);
  EXPECT_EQ(events, 2);
  EXPECT_EQ(notes, std::vector<std::string>{
                       "Note: update script line 2 (rd $dest$none) was passed over: " + dest +
                       "win64/none does not exist"});
  EXPECT_EQ(read_file(dest + "win64/rk50cli_dsk"), "client v2");
}
