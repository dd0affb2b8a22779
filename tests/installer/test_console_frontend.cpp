#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "installer/rk50_package_install.h"
#include "support/archive_maker.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct TRun {
  int status = -1;
  std::string out, err;
};

// Runs exe with args; stdin gets input and is then closed. When sigint_on
// appears on stdout, the child gets a SIGINT, sent again every 2 s until the
// abort question shows that one arrived (a sanitizer runtime may hold a
// signal back).
TRun run(const std::string& exe, const std::vector<std::string>& args,
         const std::map<std::string, std::string>& env, const std::string& input = {},
         const std::string& sigint_on = {}) {
  int in[2], out[2], err[2];
  if (pipe(in) || pipe(out) || pipe(err)) return {};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in[0], 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) posix_spawn_file_actions_addclose(&fa, fd);

  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    std::string kv = *e;
    size_t eq = kv.find('=');
    if (eq != std::string::npos) vars[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  vars.erase("LC_ALL");
  vars.erase("LC_MESSAGES");
  vars.erase("DISPLAY");
  vars.erase("WAYLAND_DISPLAY");
  vars.erase("QT_QPA_PLATFORM");
  for (const auto& [k, v] : env) vars[k] = v;
  std::vector<std::string> env_text;
  for (const auto& [k, v] : vars) env_text.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& s : env_text) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_text{exe};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : argv_text) argv.push_back(s.data());
  argv.push_back(nullptr);

  pid_t pid = 0;
  int rc = posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  TRun r;
  if (rc != 0) return r;
  if (!input.empty()) (void)!write(in[1], input.data(), input.size());
  close(in[1]);

  bool signalled = sigint_on.empty();
  auto last_sigint = std::chrono::steady_clock::now();
  auto abort_asked = [&r] {
    return r.out.find("abort this installtion") != std::string::npos ||
           r.out.find("\xE7\xA1\xAE\xE5\xAE\x9A\xE8\xA6\x81\xE4\xB8\xAD\xE6\x96\xAD") != std::string::npos;  // 确定要中断
  };
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open_fds = 2;
  while (open_fds > 0) {
    if (poll(fds, 2, sigint_on.empty() ? -1 : 200) < 0 && errno != EINTR) break;
    if (signalled && !sigint_on.empty() && !abort_asked() &&
        std::chrono::steady_clock::now() - last_sigint > std::chrono::seconds(2)) {
      last_sigint = std::chrono::steady_clock::now();
      kill(pid, SIGINT);
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
        continue;
      }
      (i == 0 ? r.out : r.err).append(buf, size_t(n));
    }
    if (!signalled && r.out.find(sigint_on) != std::string::npos) {
      signalled = true;
      last_sigint = std::chrono::steady_clock::now();
      kill(pid, SIGINT);
    }
  }
  int st = 0;
  waitpid(pid, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return r;
}

// Writes text to dir/name; returns the path.
std::string write_file(const qlyn_test::TTempDir& dir, const std::string& name, const std::string& text) {
  std::string p = dir / name;
  std::ofstream(p) << text;
  return p;
}

// Position of needle in hay at or after from; npos when absent.
size_t after(const std::string& hay, const std::string& needle, size_t from) {
  return from == std::string::npos ? std::string::npos : hay.find(needle, from);
}

// Occurrences of needle in hay.
size_t count_of(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + needle.size())) ++n;
  return n;
}

const std::string setup_exe = QLYN_SETUP_EXE;
const std::string sim_exe = QLYN_SETUP_SIM_EXE;

class ConsoleFrontend : public ::testing::Test {
 protected:
  std::map<std::string, std::string> env(const std::string& lang = "en_US.UTF-8") {
    return {{"LANG", lang}, {"LOCALAPPDATA", tmp.path() + "/appdata"}, {"QLYN_SIM_SCRIPT", script}};
  }
  void events(const std::string& text) { script = write_file(tmp, "script.txt", text); }

  qlyn_test::TTempDir tmp{"rk50_cli"};
  std::string script;
  const std::string walk =
      "2 {\"cmd\":\"connected\", \"tag\":\"main-file\"}\n"
      "101 {\"cmd\":\"download_start\", \"tag\":\"main-file\", \"pos\":0, \"sum\":13107200}\n"
      "102 {\"cmd\":\"download_proc\", \"pos\":3670016, \"sum\":13107200, \"speed\":850000}\n"
      "103 {\"cmd\":\"download_ok\", \"pos\":13107200, \"sum\":13107200, \"speed\":850000}\n";
};

TEST_F(ConsoleFrontend, UpdateModeWithMissingPackage) {
  for (const std::string& exe : {setup_exe, fs::path(setup_exe).parent_path().string() + "/updator"}) {
    TRun r = run(exe, {"--cli", "upd", tmp.path() + "/missing.7z"}, env());
    EXPECT_EQ(r.status, 1) << exe;
    EXPECT_NE(r.out.find("Upgrade QLYN client for Windows\n" + tmp.path() + "/missing.7z\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.err, "Package not found: " + tmp.path() + "/missing.7z\n");
  }
  TRun zh = run(setup_exe, {"--cli", "update", tmp.path() + "/missing.7z"}, env("zh_CN.UTF-8"));
  EXPECT_EQ(zh.out.rfind("Qlyn客户端安装器\n升级更新Qlyn客户端软件\n", 0), 0u) << zh.out;
  EXPECT_EQ(zh.err, "找不到安装包：" + tmp.path() + "/missing.7z\n");
}

TEST_F(ConsoleFrontend, GbkCodePagePrintsUtf8) {
  auto e = env("zh_CN.UTF-8");
  e["QLYN_CODEPAGE"] = "936";
  std::string missing = tmp.path() + "/更新包.7z";
  TRun r = run(setup_exe, {"--cli", "upd", missing}, e);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.rfind("Qlyn客户端安装器\n升级更新Qlyn客户端软件\n" + missing + "\n", 0), 0u) << r.out;
  EXPECT_EQ(r.err, "找不到安装包：" + missing + "\n");
}

TEST_F(ConsoleFrontend, CommandLineErrors) {
  TRun missing = run(setup_exe, {"--cli", "--package", tmp.path() + "/none.7z"}, env());
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err.rfind("Package not found: " + tmp.path() + "/none.7z (", 0), 0u) << missing.err;
  TRun missing_chn = run(setup_exe, {"--cli", "--package", tmp.path() + "/none.7z"}, env("zh_CN.UTF-8"));
  EXPECT_EQ(missing_chn.status, 1);
  EXPECT_EQ(missing_chn.err.rfind("找不到安装包：" + tmp.path() + "/none.7z (", 0), 0u) << missing_chn.err;
  TRun bad = run(setup_exe, {"--cli", "--frobnicate"}, env());
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("unknown option --frobnicate"), std::string::npos);
  TRun help = run(setup_exe, {"--help"}, env());
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--package"), std::string::npos);
}

TEST_F(ConsoleFrontend, SimulatedDownloadWalksEveryState) {
  events(walk);
  std::string dest = tmp.path() + "/dest";
  TRun r = run(sim_exe, {"--cli", "--yes", "--dir", dest}, env());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  size_t p = r.out.find("Destnation: " + dest + "\n");
  p = after(r.out, "Start? [Y/n] y\n", p);
  p = after(r.out, "[  0%] connect server and download data.\n", p);
  p = after(r.out, "[  0%] Connected, start to downloading...\n", p);
  p = after(r.out, "[  0%] 0 / 12.5 MB (0KB/s)\n", p);
  p = after(r.out, "[ 28%] 3.5 MB / 12.5 MB (850KB/s)\n", p);
  p = after(r.out, "[100%] Download OK! next to install...\n", p);
  p = after(r.out, "[100%] Install completed!\n", p);
  p = after(r.out, "Close? [Y/n] y\n", p);
  EXPECT_NE(p, std::string::npos) << r.out;
  // Service calls come from the worker: their lines interleave freely.
  EXPECT_NE(r.out.find("/down/win64/rk50cli_dsk.win64.newest.7z -> "), std::string::npos);
  EXPECT_NE(r.out.find("sim: extract "), std::string::npos);
  EXPECT_NE(r.out.find(" delete\n"), std::string::npos);
  EXPECT_TRUE(fs::exists(dest + "/win64/rk50cli_dsk"));
  // "Close" ends the application: the window is destroyed without a close.
  EXPECT_EQ(count_of(r.out, "sim: pool inactive\n"), 0u) << r.out;
  EXPECT_EQ(count_of(r.out, "sim: destroy pool\n"), 1u) << r.out;
}

TEST_F(ConsoleFrontend, PromptsTakeFolderAndAnswers) {
  events(walk);
  std::string chosen = tmp.path() + "/chosen";
  TRun r = run(sim_exe, {"--cli"}, env(), chosen + "\n\n\n");
  EXPECT_EQ(r.status, 0) << r.err;
  size_t p = r.out.find("Destnation: " + tmp.path() + "/appdata/qlyn/client/\n");
  p = after(r.out, "Installation folder (Enter keeps " + tmp.path() + "/appdata/qlyn/client/): ", p);
  p = after(r.out, "Destnation: " + chosen + "/\n", p);
  EXPECT_NE(p, std::string::npos) << r.out;
  EXPECT_TRUE(fs::exists(chosen + "/win64/rk50cli_dsk"));

  TRun no = run(sim_exe, {"--cli"}, env(), "\nn\n");
  EXPECT_EQ(no.status, 1);
  EXPECT_EQ(no.err, "Installation aborted.\n");
  EXPECT_EQ(no.out.find("sim: download"), std::string::npos);
  // Declining closes the window once (query, close), then destroys it.
  size_t p2 = no.out.find("sim: pool inactive\nsim: pool inactive\nsim: destroy pool\n");
  EXPECT_NE(p2, std::string::npos) << no.out;
  EXPECT_EQ(count_of(no.out, "sim: pool inactive\n"), 2u) << no.out;
}

TEST_F(ConsoleFrontend, CtrlCDuringDownloadAsksToAbort) {
  events("2 {}\n101 {\"sum\":1000}\n");
  TRun yes = run(sim_exe, {"--cli", "--yes", "--dir", tmp.path() + "/d"}, env(), "", "0 / 1 KB (0KB/s)");
  EXPECT_EQ(yes.status, 1);
  EXPECT_NE(yes.out.find("are you sure to abort this installtion ? y\n"), std::string::npos) << yes.out;
  EXPECT_EQ(yes.err, "Installation aborted.\n");

  TRun asked = run(sim_exe, {"--cli", "--dir", tmp.path() + "/d"}, env("zh_CN.UTF-8"), "\ny\n", "0 / 1 KB (0KB/s)");
  EXPECT_EQ(asked.status, 1);
  EXPECT_NE(asked.out.find("确定要中断安装吗？[y/N] "), std::string::npos) << asked.out;
  EXPECT_EQ(asked.out.find("？？"), std::string::npos) << asked.out;
  EXPECT_EQ(asked.err, "安装已中止。\n");

  TRun eng = run(sim_exe, {"--cli", "--dir", tmp.path() + "/d"}, env(), "\ny\n", "0 / 1 KB (0KB/s)");
  EXPECT_EQ(eng.status, 1);
  EXPECT_NE(eng.out.find("are you sure to abort this installtion ? [y/N] "), std::string::npos) << eng.out;
  EXPECT_EQ(count_of(eng.out, "sim: pool inactive\n"), 2u) << eng.out;
}

TEST_F(ConsoleFrontend, InstallationErrorEndsWithItsText) {
  events(walk + "extract_error archive is damaged\n");
  TRun r = run(sim_exe, {"--cli", "--yes", "--dir", tmp.path() + "/d"}, env());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Installation failed: archive is damaged\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "Installation failed: archive is damaged\n");
  EXPECT_EQ(r.out.find("Install completed!"), std::string::npos);
}

TEST_F(ConsoleFrontend, OfflinePackageKeepsUserFile) {
  events("");
  std::string package = write_file(tmp, "client.7z", "7z");
  TRun r = run(sim_exe, {"--cli", "--yes", "--package", package, "--dir", tmp.path() + "/d"}, env());
  EXPECT_EQ(r.status, 0) << r.err;
  size_t p = r.out.find("Installing client.7z ...\n");
  p = after(r.out, "Install completed!\n", p);
  EXPECT_NE(p, std::string::npos) << r.out;
  EXPECT_NE(r.out.find("sim: extract " + package + " -> " + tmp.path() + "/d/\n"), std::string::npos);
  EXPECT_NE(r.out.find("sim: finish " + package + " keep\n"), std::string::npos);
  EXPECT_EQ(r.out.find("sim: download"), std::string::npos);
}

TEST_F(ConsoleFrontend, UpdateModeAppliesAndStartsClient) {
  events("");
  std::string package = write_file(tmp, "update.7z", "7z");
  TRun r = run(sim_exe, {"--cli", "--yes", "UPD", package}, env());
  EXPECT_EQ(r.status, 0) << r.err;
  size_t p = r.out.find("Upgrade QLYN client for Windows\n");
  p = after(r.out, "Start? [Y/n] y\n", p);
  p = after(r.out, "sim: apply_update " + package + " -> ", p);
  p = after(r.out, "Install completed!\nStart the client? [Y/n] y\n", p);
  p = after(r.out, "sim: start " + fs::path(sim_exe).parent_path().string() + "/rk50cli_dsk\n", p);
  p = after(r.out, "sim: pause 200\n", p);
  EXPECT_NE(p, std::string::npos) << r.out;

  events("update_note Note: update script line 2 (frobnicate x) was passed over: unknown command\n");
  TRun noted = run(sim_exe, {"--cli", "--yes", "upd", package}, env());
  EXPECT_EQ(noted.status, 0) << noted.err;
  EXPECT_NE(noted.out.find("Note: update script line 2 (frobnicate x) was passed over: unknown command\nInstall completed!\n"),
            std::string::npos)
      << noted.out;

  events("update_error cp: target folder missing\n");
  TRun bad = run(sim_exe, {"--cli", "--yes", "upd", package}, env());
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err, "cp: target folder missing\n");
}

#ifdef QLYN_HAVE_QT
TEST_F(ConsoleFrontend, ScreenshotWritesWindowPng) {
  for (const char* lang : {"zh_CN.UTF-8", "en_US.UTF-8"}) {
    std::string png = tmp.path() + "/window.png";
    fs::remove(png);
    TRun r = run(setup_exe, {"--screenshot", png}, env(lang));
    ASSERT_EQ(r.status, 0) << r.err;
    std::ifstream in(png, std::ios::binary);
    std::string head(24, '\0');
    in.read(head.data(), 24);
    ASSERT_EQ(head.substr(0, 8), "\x89PNG\r\n\x1a\n");
    auto be32 = [&](size_t at) {
      return (unsigned char)head[at] << 24 | (unsigned char)head[at + 1] << 16 | (unsigned char)head[at + 2] << 8 |
             (unsigned char)head[at + 3];
    };
    EXPECT_EQ(be32(16), 660u);
    EXPECT_EQ(be32(20), 488u);
  }
  auto gbk = env("zh_CN.UTF-8");
  gbk["QLYN_CODEPAGE"] = "936";
  std::string png = tmp.path() + "/窗口.png";
  TRun r = run(setup_exe, {"--screenshot", png}, gbk);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::exists(png));
}
#endif

// Packs folder src of root into archive with the package password.
void pack(const std::string& root, const std::string& src, const std::string& archive, bool encrypt_headers) {
  std::string switches = "-p" + qlyn_test::quote(rk50::package_password()) + (encrypt_headers ? " -mhe=on" : "");
  ASSERT_EQ(qlyn_test::make_7z(archive, root, qlyn_test::quote(src), switches), 0) << archive;
}

class RealPackages : public ConsoleFrontend {
 protected:
  std::map<std::string, std::string> user_env() {
    auto e = env();
    e["HOME"] = tmp.path() + "/home";
    e["XDG_DATA_HOME"] = tmp.path() + "/home/.local/share";
    e["XDG_CONFIG_HOME"] = tmp.path() + "/home/.config";
    return e;
  }
};

TEST_F(RealPackages, OfflineInstallThenUpdateWithTheInstalledUpdater) {
  std::string pk = tmp.path() + "/pk";
  fs::create_directories(pk + "/win64");
  std::ofstream(pk + "/win64/rk50cli_dsk") << "#!/bin/sh\n";
  std::ofstream(pk + "/win64/version.txt") << "1";
  std::ofstream(pk + "/win64/cuuid.inf") << "id";
  std::string package = tmp.path() + "/client.7z";
  pack(pk, "win64", package, true);

  std::string dest = tmp.path() + "/inst";
  TRun r = run(setup_exe, {"--cli", "--yes", "--package", package, "--dir", dest}, user_env());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Install completed!\n"), std::string::npos) << r.out;
  EXPECT_TRUE(fs::exists(package));
  EXPECT_TRUE(fs::exists(dest + "/win64/version.txt"));
  EXPECT_FALSE(fs::exists(dest + "/win64/cuuid.inf"));
  EXPECT_TRUE(fs::exists(tmp.path() + "/home/Desktop/Qlyn 私有网盘.desktop"));
  std::string updater = dest + "/win64/updator";
  ASSERT_TRUE(fs::exists(updater));
  EXPECT_NE(fs::status(updater).permissions() & fs::perms::owner_exec, fs::perms::none);

  std::string up = tmp.path() + "/up";
  fs::create_directories(up + "/win64_update");
  std::ofstream(up + "/win64_update/version.txt") << "2";
  std::ofstream(up + "/win64_update/update.cmd") << "cp $sour$version.txt $dest$version.txt\r\n";
  std::string update = tmp.path() + "/dl/update.7z";
  fs::create_directories(tmp.path() + "/dl");
  pack(up, "win64_update", update, false);
  TRun u = run(updater, {"--cli", "upd", update}, user_env(), "\nn\n");
  EXPECT_EQ(u.status, 0) << u.out << u.err;
  EXPECT_NE(u.out.find("Install completed!\nStart the client? [Y/n] "), std::string::npos) << u.out;
  std::ifstream version(dest + "/win64/version.txt");
  std::string v;
  version >> v;
  EXPECT_EQ(v, "2");
}

TEST_F(RealPackages, DamagedPackageEndsWithTheError) {
  std::string package = write_file(tmp, "broken.7z", "this is not an archive");
  TRun r = run(setup_exe, {"--cli", "--yes", "--package", package, "--dir", tmp.path() + "/d"}, user_env());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("Installation failed: ", 0), 0u) << r.err;
  EXPECT_EQ(r.out.find("Install completed!"), std::string::npos);
  EXPECT_TRUE(fs::exists(package));
  EXPECT_FALSE(fs::exists(tmp.path() + "/d/win64/updator"));
}

}  // namespace
