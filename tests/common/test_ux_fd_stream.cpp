// TFdStream: opening, whole transfers, positions, sizes, closing and errors.
#include "common/ux_fd_stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "common/ux_common.h"
#include "support/scoped_env.h"

namespace {

using qlyn_test::TTempDir;
using ux::TFdStream;
using ux::TSeekOrigin;

TEST(FdStream, WritesReadsSeeksAndSizes) {
  TTempDir dir;
  const std::string path = dir / "f.bin";
  {
    TFdStream out(path, TFdStream::fmCreate, 0600);
    EXPECT_EQ(out.Write("hello world", 11), 11);
    EXPECT_EQ(out.Write("x", 0), 0);
    EXPECT_EQ(out.GetSize(), 11);
    EXPECT_EQ(out.Seek(0, TSeekOrigin::soCurrent), 11);
    EXPECT_EQ(out.Seek(-5, TSeekOrigin::soEnd), 6);
    EXPECT_EQ(out.Write("W", 1), 1);
    out.SetSize(8);
    EXPECT_EQ(out.GetSize(), 8);
    EXPECT_TRUE(out.Close());
    EXPECT_FALSE(out.Close());
  }
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  TFdStream in(path, TFdStream::fmOpenRead);
  char buf[32] = {};
  EXPECT_EQ(in.Read(buf, sizeof buf), 8);  // to the end of the file
  EXPECT_EQ(std::string(buf, 8), "hello Wo");
  EXPECT_EQ(in.Read(buf, sizeof buf), 0);
  EXPECT_EQ(in.Seek(-1, TSeekOrigin::soBeginning), -1);
  EXPECT_EQ(in.last_error(), EINVAL);
  EXPECT_EQ(in.Seek(2, TSeekOrigin::soBeginning), 2);
  EXPECT_EQ(in.last_error(), 0);
  EXPECT_EQ(in.Read(buf, 3), 3);
  EXPECT_EQ(std::string(buf, 3), "llo");
  // Read-only: writing and resizing fail with the system's reason.
  EXPECT_EQ(in.Write("z", 1), 0);
  EXPECT_EQ(in.last_error(), EBADF);
  EXPECT_THROW(in.SetSize(0), ux::Exception);
  EXPECT_NE(in.last_error(), 0);
}

TEST(FdStream, OpeningErrorsNameTheFile) {
  TTempDir dir;
  try {
    TFdStream missing(dir / "missing", TFdStream::fmOpenRead);
    FAIL() << "opened a missing file";
  } catch (const ux::Exception& e) {
    EXPECT_NE(std::string(e.what()).find(dir / "missing"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find(std::strerror(ENOENT)), std::string::npos);
  }
  // Creating refuses to follow a symbolic link.
  const std::string link = dir / "link";
  ASSERT_EQ(::symlink((dir / "target").c_str(), link.c_str()), 0);
  EXPECT_THROW(TFdStream(link, TFdStream::fmCreate), ux::Exception);
  EXPECT_FALSE(std::filesystem::exists(dir / "target"));
}

TEST(FdStream, AdoptsADescriptorAndClosesIt) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  {
    TFdStream w(fds[1]);
    EXPECT_EQ(w.Write("abc", 3), 3);
    EXPECT_EQ(w.Seek(0, TSeekOrigin::soCurrent), -1);  // a pipe cannot seek
    EXPECT_EQ(w.last_error(), ESPIPE);
  }
  TFdStream r(fds[0]);
  char buf[8];
  EXPECT_EQ(r.Read(buf, sizeof buf), 3);  // the writer's end was closed with its stream
  EXPECT_EQ(std::string(buf, 3), "abc");
}

}  // namespace
