#include "archive/archive_library_deploy.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/io_compress_7zip.h"
#include "common/ux_common.h"
#include "support/archive_maker.h"

using namespace ux;
using namespace qlyn_test;

TEST(ArchiveLibraryDeploy, CarriedBytesAreTheConfiguredLibrary) {
  EXPECT_EQ(archive_library_data(), read_file(library_path()));
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
  // The same bytes are there now: a second call leaves the file alone.
  EXPECT_FALSE(deploy_archive_library(dir.path() + "/"));
  struct stat again;
  ASSERT_EQ(::stat(lib.c_str(), &again), 0);
  EXPECT_EQ(again.st_ino, st.st_ino);
}

TEST(ArchiveLibraryDeploy, ReplacesAFileThatDiffers) {
  TTempDir dir("qlyn_deploy");
  const std::string lib = dir / kArchiveLibraryName;
  for (const std::string& planted : {std::string(), std::string("damaged"), read_file(library_path()) + "x"}) {
    write_file(lib, planted);
    EXPECT_TRUE(deploy_archive_library(dir.path()));
    EXPECT_EQ(read_file(lib), read_file(library_path()));
  }
  // A link is replaced by the file; what it pointed at stays as it was.
  write_file(dir / "elsewhere.so", "not ours");
  ASSERT_EQ(::unlink(lib.c_str()), 0);
  ASSERT_EQ(::symlink((dir / "elsewhere.so").c_str(), lib.c_str()), 0);
  EXPECT_TRUE(deploy_archive_library(dir.path()));
  struct stat st;
  ASSERT_EQ(::lstat(lib.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(read_file(dir / "elsewhere.so"), "not ours");
}

TEST(ArchiveLibraryDeploy, UnwritableFolderLeavesNothing) {
  TTempDir dir("qlyn_deploy");
  const std::string missing = dir / "no/such/folder";
  EXPECT_FALSE(deploy_archive_library(missing));
  EXPECT_FALSE(exists(missing + "/" + kArchiveLibraryName));
}

TEST(CarriedArchiveLibrary, IsASealedPrivateCopyThatLoads) {
  const std::string& path = carried_archive_library();
  EXPECT_EQ(path.rfind("/proc/self/fd/", 0), 0u) << path;
  EXPECT_EQ(&carried_archive_library(), &path);
  EXPECT_EQ(read_file(path), read_file(library_path()));
  // Sealed: nobody can write to it, not even through a new descriptor.
  const int fd = ::open(path.c_str(), O_RDWR);
  if (fd >= 0) {
    EXPECT_EQ(::write(fd, "x", 1), -1);
    ::close(fd);
  }
  EXPECT_EQ(read_file(path), read_file(library_path()));
  // An unnamed archive loads it.
  auto a = new_in_archive(CLSID_CFormat7z);
  EXPECT_EQ(a->FormatClassId(), CLSID_CFormat7z);
  TTempDir tmp("qlyn_carried");
  write_file(tmp / "src/a.txt", "carried");
  if (!have_7zz()) GTEST_SKIP() << "7zz not installed";
  ASSERT_EQ(make_7z(tmp / "a.7z", tmp / "src", "a.txt"), 0);
  a->OpenArchive(tmp / "a.7z");
  a->ExtractAllToFolder(tmp / "out");
  a->CloseArchive();
  EXPECT_EQ(read_file(tmp / "out/a.txt"), "carried");
}

// Where memory files may not run code, the carried library is loaded from a
// folder of this user's alone, checked against the carried bytes.
TEST(CarriedArchiveLibrary, APrivateFolderCopyLoadsAndLeavesNothingWhenRefused) {
  TTempDir base("qlyn_private");
  const std::string path = private_library_copy(archive_library_data(), base.path());
  const std::string folder = path.substr(0, path.rfind('/'));
  EXPECT_EQ(folder.rfind(base / "qlyn-7z-", 0), 0u) << path;
  struct stat st;
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);
  EXPECT_EQ(read_file(path), read_file(library_path()));
  auto a = new_in_archive(CLSID_CFormat7z, path);
  EXPECT_EQ(a->FormatClassId(), CLSID_CFormat7z);

  try {
    (void)private_library_copy(archive_library_data(), base / "missing");
    ADD_FAILURE() << "a missing base folder was accepted";
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Error loading library 7z.so: cannot create a private folder in ", 0), 0u)
        << e.what();
  }
  EXPECT_FALSE(exists(base / "missing"));
}
