#include "common/ux_file_path.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

#include "common/ux_common.h"
#include "common/ux_json_v2.h"

#include "support/scoped_env.h"
#include "support/test_files.h"

namespace fs = std::filesystem;
using namespace ux;

namespace {

using TempDir = qlyn_test::TTempDir;
using qlyn_test::write_file;

std::string cwd() {
  char buf[4096];
  return getcwd(buf, sizeof buf) ? buf : "";
}

}  // namespace

TEST(Path, NameAndFolderParts) {
  EXPECT_EQ(TUX_Path::extractfileName("udp-http://host:56020/down/win64/rk50cli_dsk.win64.newest.7z"),
            "rk50cli_dsk.win64.newest.7z");
  EXPECT_EQ(TUX_Path::extractfileName("plain.txt"), "plain.txt");
  EXPECT_EQ(TUX_Path::fileName("a\\b\\c.txt"), "c.txt");
  EXPECT_EQ(TUX_Path::extractfileName("a/b/"), "");

  EXPECT_EQ(TUX_Path::ExtractFilePath("/a/b\\c.txt"), "/a/b/");
  EXPECT_EQ(TUX_Path::ExtractFilePath("a\\b\\c.txt", "\\"), "a\\b\\");
  EXPECT_EQ(TUX_Path::filePath("c.txt", ""), "/");
  EXPECT_EQ(TUX_Path::ExtractFilePath("c.txt", "#"), "#");

  EXPECT_EQ(TUX_Path::extractfileExt("/x/readme.TXT"), ".txt");
  EXPECT_EQ(TUX_Path::extractfileExt("/x/readme.TXT", false), ".TXT");
  EXPECT_EQ(TUX_Path::fileExt("/x/dir.d/readme"), "");
  EXPECT_EQ(TUX_Path::fileExt("/x/dir.d\\readme"), "");
  EXPECT_EQ(TUX_Path::fileExt("a.ABCDEFGHIJKL"), ".abcdefgh");
  EXPECT_EQ(TUX_Path::fileExt("name."), ".");
}

TEST(Path, DoubleByteTrailIsNoSeparator) {
  qlyn_test::TCodePageScope cp(CP_GBK);
  // 0x95 0x5C is one GBK character whose second byte is a backslash.
  const std::string name = "dir/\x95\x5c.TXT";
  EXPECT_EQ(TUX_Path::extractfileName(name), "\x95\x5c.TXT");
  EXPECT_EQ(TUX_Path::ExtractFilePath("d\\\x95\x5c", "/"), "d/");
  EXPECT_FALSE(TUX_Path::isFilePath("d/\x95\x5c"));
  EXPECT_TRUE(TUX_Path::isFilePath("d/\x95\x5c\\"));
  EXPECT_EQ(TUX_Path::extractfileExt("a.\x95\x5c" "B"), ".\x95\x5c" "b");
  EXPECT_EQ(TUX_Path::extractfileExt("a.\xc1\x41"), ".\xc1\x41") << "trail byte 'A' not lowered";
  EXPECT_EQ(TUX_Path::extractfileExt("a.1234567\xc1\x41"), ".1234567") << "no cut character";
  EXPECT_EQ(TUX_Path::ExtractFilePath("d/\x95\x5c\\x"), "d/\x95\x5c/");
  EXPECT_EQ(TUX_Path::upLevelPath("d/\x95\x5c"), "d/");
  EXPECT_EQ(TUX_Path::upLevelPath("d\\\x95\x5c\\x"), "d/\x95\x5c/");
  EXPECT_EQ(TUX_Path::getPathLastName("d/\x95\x5c"), "\x95\x5c");
  EXPECT_EQ(TUX_Path::changeFileExt("d/\x95\x5c.txt", ".b"), "d/\x95\x5c.b");
  EXPECT_EQ(TUX_Path::ToRelativePath("/r", "/r\\\x95\x5c"), "/\x95\x5c");
  EXPECT_EQ(TUX_Path::slashForm("d\\\x95\x5c\\\\x"), "d/\x95\x5c/x");
}

TEST(Path, EmptyAndSeparatorOnlyInputs) {
  for (const std::string sep : {"/", "\\", "//", "\\/", "/\\"}) {
    SCOPED_TRACE(sep);
    EXPECT_EQ(TUX_Path::extractfileName(sep), "");
    EXPECT_EQ(TUX_Path::ExtractFilePath(sep), replace_char(sep, '\\', '/'));
    EXPECT_EQ(TUX_Path::extractfileExt(sep), "");
    EXPECT_TRUE(TUX_Path::isFilePath(sep));
    EXPECT_EQ(TUX_Path::ToRelativePath("", sep), "/");
    EXPECT_EQ(TUX_Path::upLevelPath(sep), "/");
    EXPECT_EQ(TUX_Path::changeFileExt(sep, ".x"), "/");
    EXPECT_EQ(TUX_Path::getPathLastName(sep), "");
  }
  EXPECT_EQ(TUX_Path::extractfileName(""), "");
  EXPECT_EQ(TUX_Path::ExtractFilePath(""), "/");
  EXPECT_EQ(TUX_Path::ExtractFilePath("", "\\"), "\\");
  EXPECT_EQ(TUX_Path::extractfileExt(""), "");
  EXPECT_EQ(TUX_Path::ToRelativePath("", ""), "/");
  EXPECT_EQ(TUX_Path::upLevelPath(""), "");
  EXPECT_EQ(TUX_Path::changeFileExt("", ".x"), ".x");
  EXPECT_EQ(TUX_Path::getPathLastName(""), "");

  EXPECT_EQ(TUX_Path::extractfileName("a/b\\"), "");
  EXPECT_EQ(TUX_Path::ExtractFilePath("a\\b\\"), "a/b/");
  EXPECT_EQ(TUX_Path::upLevelPath("a/b//"), "a/");
  EXPECT_EQ(TUX_Path::getPathLastName("a\\b\\"), "b");
  EXPECT_EQ(TUX_Path::changeFileExt("a.d\\", ".x"), "a.d/");

  EXPECT_EQ(TUX_Path::extractfileName("."), ".");
  EXPECT_EQ(TUX_Path::extractfileExt(".."), ".");
  EXPECT_EQ(TUX_Path::extractfileExt("a/."), ".");
  EXPECT_EQ(TUX_Path::extractfileExt(".profile"), ".profile");
  EXPECT_EQ(TUX_Path::changeFileExt("a.b.c", ".x"), "a.b.x");
  EXPECT_EQ(TUX_Path::changeFileExt("dir/.", ".x"), "dir/.x");
  EXPECT_EQ(TUX_Path::getPathLastName("a/.."), "..");
}

TEST(Path, Predicates) {
  EXPECT_TRUE(TUX_Path::IsRelativePath(""));
  EXPECT_TRUE(TUX_Path::IsRelativePath("a/b"));
  EXPECT_TRUE(TUX_Path::IsRelativePath("\\a"));
  EXPECT_TRUE(TUX_Path::IsRelativePath("C:x"));
  EXPECT_FALSE(TUX_Path::IsRelativePath("/"));
  EXPECT_FALSE(TUX_Path::IsRelativePath("/a/b"));

  EXPECT_TRUE(TUX_Path::isFilePath("a/"));
  EXPECT_TRUE(TUX_Path::isFilePath("a\\"));
  EXPECT_FALSE(TUX_Path::isFilePath("a"));
  EXPECT_FALSE(TUX_Path::isFilePath(""));
}

TEST(Path, Transformations) {
  EXPECT_EQ(TUX_Path::slashForm("\\\\srv//a\\/b///"), "/srv/a/b/");
  EXPECT_EQ(TUX_Path::slashForm("plain"), "plain");
  EXPECT_EQ(TUX_Path::slashForm(""), "");

  EXPECT_EQ(TUX_Path::ToRelativePath("/root/", "/root/a\\b//c.txt"), "/a/b/c.txt");
  EXPECT_EQ(TUX_Path::ToRelativePath("/root", "/root/x"), "/x");
  EXPECT_EQ(TUX_Path::ToRelativePath("/very/long/root/", "/x"), "/");

  EXPECT_EQ(TUX_Path::upLevelPath("/a/b/c/"), "/a/b/");
  EXPECT_EQ(TUX_Path::upLevelPath("/a\\\\b\\c.txt"), "/a/b/");
  EXPECT_EQ(TUX_Path::upLevelPath("name"), "name");
  EXPECT_EQ(TUX_Path::upLevelPath("/"), "/");

  EXPECT_EQ(TUX_Path::changeFileExt("/a\\b.c/d.txt", ".bak"), "/a/b.c/d.bak");
  EXPECT_EQ(TUX_Path::changeFileExt("/a/b.c/d", ".bak"), "/a/b.c/d.bak");
  EXPECT_EQ(TUX_Path::changeFileExt("/a/b.c/", ".bak"), "/a/b.c/");
  EXPECT_EQ(TUX_Path::changeFileExt("x." + std::string(150, 'e'), ".y"),
            "x." + std::string(150, 'e') + ".y");

  EXPECT_EQ(TUX_Path::getPathLastName("/a/b/c/"), "c");
  EXPECT_EQ(TUX_Path::getPathLastName("a\\b\\c.txt"), "c.txt");
  EXPECT_EQ(TUX_Path::getPathLastName("solo"), "solo");
  EXPECT_EQ(TUX_Path::getPathLastName("/a/" + std::string(120, 'n')), std::string(100, 'n'));
}

TEST(Path, ExtractPhyPath) {
  const std::string cur = cwd();
  const std::string parent = cur.substr(0, cur.rfind('/'));
  EXPECT_EQ(TUX_Path::ExtractPhyPath(""), cur + "/");
  EXPECT_EQ(TUX_Path::ExtractPhyPath("/abs\\x//y"), "/abs\\x//y") << "absolute paths unchanged";
  EXPECT_EQ(TUX_Path::ExtractPhyPath("a\\b"), cur + "/a/b");
  EXPECT_EQ(TUX_Path::ExtractPhyPath("./a"), cur + "/a");
  EXPECT_EQ(TUX_Path::ExtractPhyPath(".\\a\\*"), cur + "/a/");
  EXPECT_EQ(TUX_Path::ExtractPhyPath("a/."), cur + "/a/");
  EXPECT_EQ(TUX_Path::ExtractPhyPath("."), cur + "/");
  EXPECT_EQ(TUX_Path::ExtractPhyPath("../z"), (parent.empty() ? "" : parent) + "/z");
  EXPECT_EQ(TUX_Path::ExtractPhyPath(".."), parent + "/");
  EXPECT_EQ(TUX_Path::ExtractPhyPath("..name"), cur + "/..name") << "a name, not the parent";
  {
    qlyn_test::TCodePageScope cp(CP_GBK);
    EXPECT_EQ(TUX_Path::ExtractPhyPath("a/\x95\x5c."), os_to_text(cur) + "/a/\x95\x5c.")
        << "the dot after a double-byte character with a 0x5C trail byte stays";
    EXPECT_EQ(TUX_Path::ExtractPhyPath("a\\."), os_to_text(cur) + "/a/");
  }
  EXPECT_EQ(cwd(), cur);
}

TEST(Path, RemovePath) {
  TempDir dir;
  TempDir outside;
  write_file(outside / "precious.txt", "keep");
  write_file(dir / "t/a.txt", "a");
  write_file(dir / "t/empty.txt", "");
  write_file(dir / "t/s1/b.txt", "b");
  write_file(dir / "t/s1/s2/c.txt", "c");
  fs::create_directories(dir / "t/s3/s4");
  fs::create_symlink(outside.dir(), dir / "t/s1/link");
  const std::string cur = cwd();
  // 4 files + 1 link + s1, s2, s3, s4
  EXPECT_EQ(TUX_Path::RemovePath(dir / "t", false), 9);
  EXPECT_TRUE(fs::is_directory(dir / "t")) << "the folder itself stays";
  EXPECT_TRUE(fs::is_empty(dir / "t"));
  EXPECT_EQ(std::ifstream(outside / "precious.txt").get(), 'k') << "links are not followed";
  EXPECT_EQ(TUX_Path::RemovePath(dir / "t"), 0);
  EXPECT_EQ(TUX_Path::RemovePath(dir / "none"), 0) << "a missing folder: nothing to remove";
  EXPECT_EQ(TUX_Path::RemoveEmptyPath(dir / "none/deeper"), 0);
  EXPECT_EQ(TUX_Path::RemovePath(""), 0);
  write_file(dir / "file", "x");
  EXPECT_EQ(TUX_Path::RemovePath(dir / "file"), 0);
  EXPECT_TRUE(fs::exists(dir / "file")) << "a file is no folder to empty";
  write_file(dir / "t/u/v.txt", "v");
  EXPECT_EQ(TUX_Path::RemovePath(replace_char(dir / "t", '/', '\\')), 2) << "backslashes separate";
  EXPECT_TRUE(fs::is_empty(dir / "t"));
  EXPECT_EQ(cwd(), cur);
}

TEST(Path, RemoveEmptyPath) {
  TempDir dir;
  fs::create_directories(dir / "t/e1/e2");
  fs::create_directories(dir / "t/e3");
  write_file(dir / "t/top.txt", "x");
  EXPECT_EQ(TUX_Path::RemoveEmptyPath(dir / "t"), 4);
  EXPECT_FALSE(fs::exists(dir / "t/e1"));
  EXPECT_TRUE(fs::exists(dir / "t/top.txt"));
  write_file(dir / "t/full/f.txt", "x");
  EXPECT_EQ(TUX_Path::RemoveEmptyPath(dir / "t"), -1);
  EXPECT_TRUE(fs::exists(dir / "t/full/f.txt"));
}

TEST(Path, ListFiles) {
  TempDir dir;
  write_file(dir / "l/b.TXT", "12345");
  write_file(dir / "l/a.bin", "1");
  write_file(dir / "l/sub/c.txt", "123");
  write_file(dir / "l/sub/deeper/d.txt", "");
  write_file(dir / "l/.hidden.txt", "");
  fs::create_directories(dir / "l/x.txt");
  fs::create_directory_symlink(dir / "l/sub", dir / "l/zlink");
  const timespec times[2] = {{1700000000, 0}, {1700000000, 0}};
  utimensat(AT_FDCWD, (dir / "l/b.TXT").c_str(), times, 0);

  auto all = TUX_Path::listFiles(dir / "l/", false);
  std::vector<std::string> names;
  for (auto& e : all) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{dir / "l/.hidden.txt", dir / "l/a.bin", dir / "l/b.TXT",
                                             dir / "l/sub", dir / "l/x.txt", dir / "l/zlink"}));
  EXPECT_TRUE(all[3].is_dir);
  EXPECT_EQ(all[3].size, 0);
  EXPECT_EQ(all[2].size, 5);
  EXPECT_TRUE(all[5].is_dir);

  auto deep = TUX_Path::listFiles(dir / "l/*", true);
  names.clear();
  for (auto& e : deep) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{
                       dir / "l/.hidden.txt", dir / "l/a.bin", dir / "l/b.TXT", dir / "l/sub",
                       dir / "l/sub/c.txt", dir / "l/sub/deeper", dir / "l/sub/deeper/d.txt",
                       dir / "l/x.txt", dir / "l/zlink"}))
      << "depth first; the link to a folder is listed, not entered";

  auto txt = TUX_Path::listFiles(dir / "l/*.txt", true);
  names.clear();
  for (auto& e : txt) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{dir / "l/.hidden.txt", dir / "l/b.TXT", dir / "l/x.txt"}))
      << "mask matched ignoring case; sub-folders that do not match are not entered";

  struct tm tm {};
  const time_t t = 1700000000;
  localtime_r(&t, &tm);
  char when[32];
  strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
  write_file(dir / "one/b.TXT", "12345");
  utimensat(AT_FDCWD, (dir / "one/b.TXT").c_str(), times, 0);
  EXPECT_EQ(TUX_Path::listFiles(dir / "l/*.*", false).size(), 6u) << "*.* matches every name";
  auto arr = TUX_Path::listFilesAsJsonArray(dir / "one/b.*", false);
  ASSERT_NE(arr->AsArray(), nullptr);
  ASSERT_EQ(arr->AsArray()->Length(), 1);
  const TJsonObject* item = arr->AsArray()->Get(0);
  EXPECT_EQ(item->GetString("name"), dir / "one/b.TXT");
  EXPECT_EQ(item->GetInt("size"), 5);
  EXPECT_EQ(item->GetString("type"), "file");
  EXPECT_EQ(item->GetString("time"), when);
  const std::string esc = replace_all(dir / "one/b.TXT", "/", "\\/");
  EXPECT_EQ(TUX_Path::listFilesAsJson(dir / "one/", false),
            "[{\"name\":\"" + esc + "\",\"size\":5,\"time\":\"" + when + "\",\"type\":\"file\"}]");
  fs::create_directory(dir / "one/sd");
  const timespec dtimes[2] = {{1600000000, 0}, {1600000000, 0}};
  utimensat(AT_FDCWD, (dir / "one/sd").c_str(), dtimes, 0);
  const time_t dt = 1600000000;
  localtime_r(&dt, &tm);
  char dwhen[32];
  strftime(dwhen, sizeof dwhen, "%Y-%m-%d %H:%M:%S", &tm);
  EXPECT_EQ(TUX_Path::listFilesAsJson(dir / "one/", false),
            "[{\"name\":\"" + esc + "\",\"size\":5,\"time\":\"" + when + "\",\"type\":\"file\"}," +
                "{\"name\":\"" + replace_all(dir / "one/sd", "/", "\\/") + "\",\"size\":0,\"time\":\"" +
                dwhen + "\",\"type\":\"dir\"}]");
  write_file(dir / "long/a.manifestjson", "x");
  write_file(dir / "long/b.manifestjs", "x");
  ASSERT_EQ(TUX_Path::listFiles(dir / "long/*.manifestjson", false).size(), 1u)
      << "the mask carries the whole extension";
  auto parsed = TJsonObject::Parse(TUX_Path::listFilesAsJson(dir / "l/", true));
  ASSERT_NE(parsed, nullptr);
  ASSERT_EQ(parsed->AsArray()->Length(), 9);
  EXPECT_EQ(parsed->AsArray()->Get(3)->GetString("type"), "dir");
  EXPECT_EQ(parsed->AsArray()->Get(3)->GetInt("size", -1), 0);
  EXPECT_EQ(parsed->AsArray()->Get(4)->GetString("name"), dir / "l/sub/c.txt");
  EXPECT_EQ(TUX_Path::listFilesAsJson(dir / "none/"), "[]");
  write_file(dir / "q/we\"ird\\.txt", "");
  auto q = TJsonObject::Parse(TUX_Path::listFilesAsJson(dir / "q/"));
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(q->AsArray()->Get(0)->GetString("name"), dir / "q/we\"ird\\.txt");
}

TEST(Path, FolderOperationsLeaveTheCurrentDirectoryAlone) {
  TempDir dir;
  write_file(dir / "work/marker.txt", "m");
  const std::string saved = cwd();
  ASSERT_EQ(chdir((dir / "work").c_str()), 0);
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    for (int i = 0; i < 200 && !stop; ++i) {
      write_file(dir / "tree/a/b/f.txt", "x");
      (void)TUX_Path::listFiles(dir / "tree/", true);
      (void)TUX_Path::RemovePath(dir / "tree");
      (void)TUX_Path::RemoveEmptyPath(dir / "tree");
      (void)TUX_Path::ExtractPhyPath("rel");
    }
  });
  int misses = 0;
  for (int i = 0; i < 2000; ++i) {
    std::ifstream in("marker.txt");
    if (!in) ++misses;
  }
  stop = true;
  busy.join();
  EXPECT_EQ(misses, 0) << "a relative name landed in another folder";
  EXPECT_EQ(cwd(), dir / "work");
  ASSERT_EQ(chdir(saved.c_str()), 0);
}
