#include "archive/archive_library_deploy.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "archive/io_compress_7zip.h"
#include "common/ux_common.h"
#include "support/archive_maker.h"

using namespace ux;
using namespace qlyn_test;

TEST(ArchiveLibraryDeploy, CarriedTextIsTheConfiguredLibrary) {
  const std::string_view text = archive_library_text();
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
            std::string_view::npos);
  EXPECT_EQ(text.size() % 4, 0u);
  EXPECT_EQ(base64_decode_text(text), read_file(library_path()));
}

TEST(ArchiveLibraryDeploy, WritesAMissingLibraryThatLoads) {
  TTempDir dir("qlyn_deploy");
  ASSERT_TRUE(deploy_archive_library(dir.path()));
  const std::string lib = dir / kArchiveLibraryName;
  EXPECT_EQ(read_file(lib), read_file(library_path()));
  struct stat st;
  ASSERT_EQ(::stat(lib.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  EXPECT_FALSE(exists(lib + "." + std::to_string(::getpid()) + ".part"));
  auto a = new_in_archive(CLSID_CFormat7z, lib);
  EXPECT_EQ(a->FormatClassId(), CLSID_CFormat7z);
  // Present now: a second call does nothing.
  EXPECT_FALSE(deploy_archive_library(dir.path() + "/"));
}

TEST(ArchiveLibraryDeploy, NeverReplacesAnExistingFile) {
  TTempDir dir("qlyn_deploy");
  const std::string lib = dir / kArchiveLibraryName;
  write_file(lib, "");  // empty or damaged: still kept
  EXPECT_FALSE(deploy_archive_library(dir.path()));
  EXPECT_EQ(read_file(lib), "");
  try {
    new_in_archive(CLSID_CFormat7z, lib);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.what()), "Error loading library " + lib);
  }
  write_file(lib, "damaged");
  EXPECT_FALSE(deploy_archive_library(dir.path()));
  EXPECT_EQ(read_file(lib), "damaged");
}

TEST(ArchiveLibraryDeploy, UnwritableFolderLeavesNothing) {
  TTempDir dir("qlyn_deploy");
  const std::string missing = dir / "no/such/folder";
  EXPECT_FALSE(deploy_archive_library(missing));
  EXPECT_FALSE(exists(missing + "/" + kArchiveLibraryName));
}
