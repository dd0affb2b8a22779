#include "server/res_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/archive_maker.h"
#include "support/scoped_env.h"

namespace {

using namespace qlyn_res;
using qlyn_test::TTempDir;

class ResRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    qlyn_test::write_file(dir / "www/down/a.7z", "seven");
    qlyn_test::write_file(dir / "secret.txt", "outside");
    ::mkdir((dir / "www/empty").c_str(), 0755);
    std::string err;
    ASSERT_TRUE(root.open(dir / "www", err)) << err;
  }
  TTempDir dir{"res_root"};
  TRes_Root root;
};

TEST_F(ResRoot, ServesRegularFilesWithValidators) {
  TRes_File f;
  ASSERT_EQ(root.lookup("/down/a.7z", f), 200);
  EXPECT_GE(f.fd, 0);
  EXPECT_EQ(f.size, 5);
  EXPECT_EQ(f.content_type, "application/x-7z-compressed");
  EXPECT_EQ(f.etag.front(), '"');
  EXPECT_EQ(f.etag.back(), '"');
  TRes_File g;
  ASSERT_EQ(root.lookup("/down/a.7z", g), 200);
  EXPECT_EQ(f.etag, g.etag) << "same file, same validator";
}

TEST_F(ResRoot, NeverServesFoldersOrAnythingOutside) {
  TRes_File f;
  EXPECT_EQ(root.lookup("/", f), 404);
  EXPECT_EQ(root.lookup("/empty", f), 404);
  EXPECT_EQ(root.lookup("/down/missing", f), 404);
  EXPECT_EQ(root.lookup("/down/a.7z/x", f), 404);
  // A link that stays inside is followed; one that leaves is not.
  ASSERT_EQ(::symlink((dir / "www/down/a.7z").c_str(), (dir / "www/inside").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "secret.txt").c_str(), (dir / "www/escape").c_str()), 0);
  ASSERT_EQ(::symlink(dir.path().c_str(), (dir / "www/up").c_str()), 0);
  ASSERT_EQ(::symlink("/etc/passwd", (dir / "www/passwd").c_str()), 0);
  EXPECT_EQ(root.lookup("/inside", f), 200);
  EXPECT_EQ(root.lookup("/escape", f), 404);
  EXPECT_EQ(root.lookup("/up/secret.txt", f), 404);
  EXPECT_EQ(root.lookup("/passwd", f), 404);
  EXPECT_EQ(root.lookup("secret.txt", f), 404);
}

TEST(ResRootOpen, MissingOrNonFolderRootIsAnError) {
  TTempDir dir("res_root");
  qlyn_test::write_file(dir / "file", "x");
  TRes_Root root;
  std::string err;
  EXPECT_FALSE(root.open(dir / "nope", err));
  EXPECT_NE(err.find("does not exist"), std::string::npos) << err;
  EXPECT_FALSE(root.open(dir / "file", err));
  EXPECT_NE(err.find("is not a folder"), std::string::npos) << err;
}

TEST(ResHttpDate, FormatsAndParsesImfFixdate) {
  EXPECT_EQ(http_date(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
  int64_t t = 0;
  ASSERT_TRUE(parse_http_date("Sun, 06 Nov 1994 08:49:37 GMT", t));
  EXPECT_EQ(t, 784111777);
  for (const char* bad : {"Sunday, 06-Nov-94 08:49:37 GMT", "Sun Nov  6 08:49:37 1994", "Sun, 06 Nov 1994 08:49:37 UTC",
                          "Sun, 32 Nov 1994 08:49:37 GMT", "Sun, 06 Xyz 1994 08:49:37 GMT", ""}) {
    EXPECT_FALSE(parse_http_date(bad, t)) << bad;
  }
}

TEST(ResRange, InterpretsOneByteRange) {
  auto r = [](const char* v, int64_t size) { return parse_range(v, size); };
  EXPECT_EQ(r("bytes=0-99", 1000).kind, TRes_Range::single);
  EXPECT_EQ(r("bytes=0-99", 1000).last, 99);
  EXPECT_EQ(r("bytes=1000-", 5000).first, 1000);
  EXPECT_EQ(r("bytes=1000-", 5000).last, 4999);
  EXPECT_EQ(r("bytes=-100", 1000).first, 900);
  EXPECT_EQ(r("bytes=-5000", 1000).first, 0) << "a suffix longer than the file is the whole file";
  EXPECT_EQ(r("bytes=10-99999999999999999999999", 1000).last, 999) << "a huge last position is cut";
  EXPECT_EQ(r(" BYTES = 5 - 6 ", 1000).first, 5);
  EXPECT_EQ(r("bytes=1000-", 1000).kind, TRes_Range::unsatisfiable);
  EXPECT_EQ(r("bytes=99999999999999999999-", 1000).kind, TRes_Range::unsatisfiable);
  EXPECT_EQ(r("bytes=-0", 1000).kind, TRes_Range::unsatisfiable);
  EXPECT_EQ(r("bytes=0-", 0).kind, TRes_Range::unsatisfiable);
  for (const char* ignored : {"bytes=5-4", "bytes=0-1,5-6", "items=0-1", "bytes=a-b", "bytes=", "bytes=-", "0-1"})
    EXPECT_EQ(r(ignored, 1000).kind, TRes_Range::none) << ignored;
}

}  // namespace
