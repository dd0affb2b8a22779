#include "common/ux_root_path.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/ux_common.h"

#include "support/scoped_env.h"

namespace fs = std::filesystem;
using namespace ux;
using Parts = std::vector<std::string>;

TEST(RootPath, SplitKeepsNamesBelowTheRoot) {
  Parts p;
  EXPECT_TRUE(split_relative_path("/a/./b//c.txt", p));
  EXPECT_EQ(p, (Parts{"a", "b", "c.txt"}));
  EXPECT_TRUE(split_relative_path("a\\b", p));
  EXPECT_EQ(p, (Parts{"a", "b"}));
  EXPECT_TRUE(split_relative_path("/..x/x../...", p));
  EXPECT_EQ(p, (Parts{"..x", "x..", "..."}));
  for (const std::string& bad : std::vector<std::string>{"", "/", "/./", "..", "/a/../b", "a\\..\\b", "C:/x", "c:x", "//host/share",
                                "\\\\host\\share", std::string("a\0/b", 4)})
    EXPECT_FALSE(split_relative_path(bad, p)) << bad;
  EXPECT_TRUE(split_relative_path("/Z1:/x", p)) << "a colon later in a name is a plain byte";
}

TEST(RootPath, TrailByte5CIsNoSeparatorUnder936) {
  qlyn_test::TCodePageScope cp(CP_GBK);
  Parts p;
  EXPECT_TRUE(split_relative_path("/d/\x95\x5c.txt", p));
  EXPECT_EQ(p, (Parts{"d", "\x95\x5c.txt"}));
}

TEST(RootPath, ResolveCreatesFoldersAndRefusesLinksOnTheWay) {
  qlyn_test::TTempDir dir;
  fs::create_directories(dir / "root/real");
  fs::create_directories(dir / "elsewhere");
  fs::create_directory_symlink(dir / "elsewhere", dir / "root/link");
  fs::create_symlink(dir / "elsewhere/f", dir / "root/real/flink");
  std::ofstream(dir / "root/real/file") << "x";
  TUX_Root_Path r(dir / "root");
  std::string target;
  bool exists = true;
  EXPECT_EQ(r.resolve({"new", "deep", "f"}, false, target, exists), TUX_Root_Path::TCheck::failed);
  EXPECT_EQ(r.resolve({"new", "deep", "f"}, true, target, exists), TUX_Root_Path::TCheck::ok);
  EXPECT_EQ(target, dir / "root/new/deep/f");
  EXPECT_FALSE(exists);
  EXPECT_TRUE(fs::is_directory(dir / "root/new/deep"));
  EXPECT_EQ(r.resolve({"real", "file"}, false, target, exists), TUX_Root_Path::TCheck::ok);
  EXPECT_TRUE(exists);
  EXPECT_EQ(r.resolve({"link", "f"}, true, target, exists), TUX_Root_Path::TCheck::refused);
  EXPECT_EQ(r.resolve({"real", "flink"}, true, target, exists), TUX_Root_Path::TCheck::refused);
  EXPECT_EQ(r.resolve({"real"}, true, target, exists), TUX_Root_Path::TCheck::failed) << "a folder";
  EXPECT_EQ(r.resolve({"real", "file", "x"}, true, target, exists), TUX_Root_Path::TCheck::failed);
  EXPECT_EQ(r.resolve({}, true, target, exists), TUX_Root_Path::TCheck::refused);
  EXPECT_TRUE(fs::is_empty(dir / "elsewhere"));
}
