#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "common/platform/ux_dynlib.h"
#include "common/platform/ux_iconv.h"
#include "common/platform/ux_ini.h"
#include "common/platform/ux_locale.h"
#include "common/platform/ux_process.h"
#include "common/ux_common.h"
#include "support/eventually.h"
#include "support/scoped_env.h"

namespace fs = std::filesystem;
using namespace ux;

TEST(Locale, LanguageFromEnvironment) {
  qlyn_test::TEnvScope env;
  auto set_locale_env = [&](const char* all, const char* messages, const char* lang) {
    env.set("LC_ALL", all);
    env.set("LC_MESSAGES", messages);
    env.set("LANG", lang);
  };
  set_locale_env(nullptr, nullptr, "zh_CN.UTF-8");
  EXPECT_EQ(system_language_id(), 2052);
  set_locale_env(nullptr, "en_US.UTF-8", "zh_CN.UTF-8");
  EXPECT_EQ(system_language_id(), 1033);
  set_locale_env("zh_CN.GBK", "en_US.UTF-8", nullptr);
  EXPECT_EQ(system_language_id(), 2052);
  set_locale_env("", "", "zh_TW.UTF-8");
  EXPECT_EQ(system_language_id(), 1028);
  set_locale_env(nullptr, nullptr, "zh_SG.UTF-8");
  EXPECT_EQ(system_language_id(), 4100);
  set_locale_env(nullptr, nullptr, "zh_HK");
  EXPECT_EQ(system_language_id(), 3076);
  set_locale_env(nullptr, nullptr, "zh-Hans-CN");
  EXPECT_EQ(system_language_id(), 2052);
  set_locale_env(nullptr, nullptr, "zh_Hant");
  EXPECT_EQ(system_language_id(), 1028);
  set_locale_env(nullptr, nullptr, "zh");
  EXPECT_EQ(system_language_id(), 2052);
  set_locale_env(nullptr, nullptr, "zhx_CN");
  EXPECT_EQ(system_language_id(), 1033);
  set_locale_env(nullptr, nullptr, nullptr);
  EXPECT_EQ(system_language_id(), 1033);
}

TEST(Iconv, ReplacesInvalidSequences) {
  EXPECT_EQ(iconv_convert(TCharset::utf8, TCharset::gbk, "a\xE4\xB8\xAD" "b", "?"), "a\xD6\xD0" "b");
  EXPECT_EQ(iconv_convert(TCharset::gbk, TCharset::utf8, "\xD6", "\xEF\xBF\xBD"), "\xEF\xBF\xBD");
  EXPECT_EQ(iconv_convert(TCharset::utf8, TCharset::utf8, "same", "?"), "same");
  std::string big(300000, 'x');
  EXPECT_EQ(iconv_convert(TCharset::utf8, TCharset::utf16le, big, "?").size(), big.size() * 2);
}

TEST(Ini, ReadsCaseInsensitiveKeys) {
  char tmpl[] = "/tmp/ux_ini_XXXXXX";
  const int fd = mkstemp(tmpl);
  close(fd);
  const std::string path = tmpl;
  write_text_to_file("\xEF\xBB\xBF; comment\r\n[other]\nsvr_url=wrong\n[Common]\r\n  SVR_URL = \"udp-http://h:1\" \r\n",
                     path);
  EXPECT_EQ(read_ini_string(path, "common", "svr_url"), "udp-http://h:1");
  EXPECT_EQ(read_ini_string(path, "common", "none", "dflt"), "dflt");
  EXPECT_EQ(read_ini_string(path + ".missing", "common", "svr_url"), "");
  unlink(tmpl);
  // Only regular files are read: a pipe without a writer is not waited on.
  const std::string fifo = path + ".fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(read_ini_string(fifo, "common", "svr_url", "dflt"), "dflt");
  EXPECT_EQ(read_ini_string("/tmp", "common", "svr_url", "dflt"), "dflt");
  unlink(fifo.c_str());
}

TEST(DynLib, LoadsAndReportsErrors) {
  TDynLib lib;
  EXPECT_FALSE(lib.open("/nonexistent/lib.so"));
  EXPECT_FALSE(lib.error().empty());
  ASSERT_TRUE(lib.open("libc.so.6"));
  EXPECT_NE(lib.symbol("strlen"), nullptr);
  EXPECT_EQ(lib.symbol("no_such_symbol_here"), nullptr);
}

TEST(Process, ExecutablePathAndSpawn) {
  EXPECT_EQ(fs::path(executable_path()).filename(), "test_platform");
  char tmpl[] = "/tmp/ux_spawn_XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  const int pid = spawn_detached("/bin/sh", {"-c", "pwd > out.txt"}, dir);
  ASSERT_GT(pid, 0);
  qlyn_test::eventually([&] { return !read_file_text(dir + "/out.txt").empty(); }, 5000, 10);
  EXPECT_EQ(trim_text(read_file_text(dir + "/out.txt")), fs::canonical(dir).string());
  EXPECT_EQ(spawn_detached(dir + "/missing-program", {}), -1);
  fs::remove_all(dir);
}
