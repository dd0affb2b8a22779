// replace_file: one step from the old content to the new, whatever fails.
#include "common/ux_file_replace.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "common/ux_common.h"
#include "support/scoped_env.h"

namespace fs = std::filesystem;

namespace {

using qlyn_test::TTempDir;

bool put(ux::TStream& out, const std::string& text) {
  return out.Write(text.data(), int64_t(text.size())) == int64_t(text.size());
}

size_t entries(const TTempDir& dir) {
  return size_t(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()));
}

TEST(ReplaceFile, NewContentOrTheOldOne) {
  TTempDir dir;
  const std::string path = dir / "doc";
  EXPECT_TRUE(ux::replace_file(path, [](ux::TStream& out) { return put(out, "first"); }));
  EXPECT_EQ(ux::read_file_text(path), "first");
  ::chmod(path.c_str(), 0640);
  EXPECT_TRUE(ux::replace_file(path, [](ux::TStream& out) { return put(out, "second"); }));
  EXPECT_EQ(ux::read_file_text(path), "second");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);  // an old file keeps its mode

  // An abandoned or failing write leaves the old file and no new one.
  EXPECT_FALSE(ux::replace_file(path, [](ux::TStream& out) {
    (void)put(out, "partial");
    return false;
  }));
  EXPECT_THROW((void)ux::replace_file(path,
                                      [](ux::TStream& out) -> bool {
                                        (void)put(out, "partial");
                                        throw std::runtime_error("writer failed");
                                      }),
               std::runtime_error);
  EXPECT_EQ(ux::read_file_text(path), "second");
  EXPECT_EQ(entries(dir), 1u);

  EXPECT_FALSE(ux::replace_file("", [](ux::TStream&) { return true; }));
  EXPECT_FALSE(ux::replace_file(dir / "missing/doc", [](ux::TStream&) { return true; }));
  EXPECT_FALSE(fs::exists(dir / "missing"));
  // A folder in the way of the new name: the rename fails, nothing is left.
  fs::create_directory(dir / "sub");
  EXPECT_FALSE(ux::replace_file(dir / "sub", [](ux::TStream& out) { return put(out, "x"); }));
  EXPECT_TRUE(fs::is_directory(dir / "sub"));
  EXPECT_EQ(entries(dir), 2u);
}

TEST(ReplaceFile, ThroughASymbolicLink) {
  TTempDir dir;
  const std::string target = dir / "target", link = dir / "link";
  ASSERT_EQ(ux::write_text_to_file("old contents", target), 12);
  ASSERT_EQ(::symlink("target", link.c_str()), 0);
  EXPECT_TRUE(ux::replace_file(link, [](ux::TStream& out) { return put(out, "new"); }));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ux::read_file_text(target), "new");
  EXPECT_EQ(entries(dir), 2u);
}

TEST(ReplaceFile, CodePage936Names) {
  TTempDir dir;
  qlyn_test::TCodePageScope gbk(ux::CP_GBK);
  const std::string name = dir.dir() + "\xD6\xD0";  // 中 in GBK
  EXPECT_TRUE(ux::replace_file(name, [](ux::TStream& out) { return put(out, "z"); }));
  EXPECT_TRUE(fs::exists(dir.dir() + "\xE4\xB8\xAD"));
}

}  // namespace
