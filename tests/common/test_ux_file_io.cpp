#include "common/ux_file_io.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "common/ext_mem.h"
#include "common/ux_common.h"
#include "common/ux_file_path.h"

#include "support/scoped_env.h"
#include "support/string_stream.h"
#include "support/test_files.h"

namespace fs = std::filesystem;
using namespace ux;

namespace {

using TempDir = qlyn_test::TTempDir;
using qlyn_test::read_file;
using qlyn_test::sample_bytes;
using qlyn_test::TStringStream;
using qlyn_test::write_file;

bool exists(const std::string& p) { return fs::exists(fs::symlink_status(p)); }

// Limits the size of files this process may write while in scope.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit lim = saved_;
    lim.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lim);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, old_handler_);
  }

 private:
  rlimit saved_{};
  void (*old_handler_)(int) = nullptr;
};

}  // namespace

// ---------------------------------------------------------------- TBufferedFileStream

TEST(BufferedFileStream, RandomOperationsMatchAnUnbufferedModel) {
  TempDir dir;
  const std::string name = dir / "model.bin";
  std::string model;
  std::mt19937 rng(7);
  {
    TBufferedFileStream f(text_to_utf16(name), fmCreate, 4096);
    int64_t pos = 0;
    for (int step = 0; step < 3000; ++step) {
      const int op = int(rng() % 10);
      const int64_t size_choice[] = {1, 7, 100, 1000, 4095, 4096, 5000, 20000};
      const int64_t n = size_choice[rng() % 8];
      if (op < 4) {
        const std::string chunk = sample_bytes(size_t(n), rng());
        ASSERT_EQ(f.Write(chunk.data(), n), n);
        if (pos + n > int64_t(model.size())) model.resize(size_t(pos + n), '\0');
        model.replace(size_t(pos), size_t(n), chunk);
        pos += n;
      } else if (op < 7) {
        std::string got(size_t(n), '\0');
        const int64_t r = f.Read(got.data(), n);
        const int64_t expect = std::max<int64_t>(0, std::min<int64_t>(n, int64_t(model.size()) - pos));
        ASSERT_EQ(r, expect) << "step " << step;
        if (r > 0) {
          ASSERT_EQ(got.substr(0, size_t(r)), model.substr(size_t(pos), size_t(r))) << "step " << step;
        }
        pos += r;
      } else if (op < 9) {
        const int64_t target = int64_t(rng() % (model.size() + 100));
        ASSERT_EQ(f.Seek(target, TSeekOrigin::soBeginning), target);
        pos = target;
      } else {
        const int64_t new_size = int64_t(rng() % (model.size() + 5000));
        f.SetSize(new_size);
        model.resize(size_t(new_size), '\0');
      }
      ASSERT_EQ(f.GetSize(), int64_t(model.size())) << "step " << step;
      ASSERT_EQ(f.Position(), pos);
    }
    f.FlushBuffer();
    EXPECT_EQ(read_file(name), model);
    const std::string tail = sample_bytes(10, 1);
    f.Seek(0, TSeekOrigin::soEnd);
    ASSERT_EQ(f.Write(tail.data(), 10), 10);
    model += tail;
  }
  EXPECT_EQ(read_file(name), model) << "destruction writes the cached bytes";
}

TEST(BufferedFileStream, SeekRulesAndReadOnlyStreams) {
  TempDir dir;
  const std::string name = dir / "a.bin";
  write_file(name, "0123456789");
  TBufferedFileStream f(text_to_utf16(name), fmOpenRead);
  EXPECT_FALSE(f.IsWritable());
  EXPECT_EQ(f.Seek(-2, TSeekOrigin::soEnd), 8);
  EXPECT_EQ(f.Seek(-20, TSeekOrigin::soCurrent), -1);
  EXPECT_EQ(f.Position(), 8);
  EXPECT_EQ(f.Seek(INT64_MAX, TSeekOrigin::soBeginning), -1);
  EXPECT_EQ(f.Seek(INT64_MAX, TSeekOrigin::soCurrent), -1) << "no overflow";
  EXPECT_EQ(f.Seek(INT64_MAX, TSeekOrigin::soEnd), -1);
  EXPECT_EQ(f.Position(), 8);
  EXPECT_EQ(f.Seek(100, TSeekOrigin::soBeginning), 100);
  char b[4] = {};
  EXPECT_EQ(f.Read(b, 4), 0);
  f.SetPosition(8);
  EXPECT_EQ(f.Read(b, 4), 2);
  EXPECT_EQ(std::string(b, 2), "89");
  EXPECT_EQ(f.Write("xy", 2), 0);
  EXPECT_THROW(f.SetSize(1), Exception);
  EXPECT_EQ(read_file(name), "0123456789");
}

TEST(BufferedFileStream, OpenErrorsAndResize) {
  TempDir dir;
  try {
    TBufferedFileStream f(text_to_utf16(dir / "missing.bin"), fmOpenRead);
    FAIL() << "opened a missing file";
  } catch (const Exception& e) {
    EXPECT_NE(std::string(e.what()).find("Cannot open file \"" + dir / "missing.bin" + "\""),
              std::string::npos)
        << e.what();
  }
  EXPECT_THROW(TBufferedFileStream(text_to_utf16(dir.dir()), fmOpenRead), Exception);
  EXPECT_THROW(TBufferedFileStream(text_to_utf16(dir / "no/such/x.bin"), fmCreate), Exception);
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  EXPECT_THROW(TBufferedFileStream(text_to_utf16(dir / "pipe"), fmOpenRead), Exception)
      << "a named pipe is refused without waiting for a writer";
  EXPECT_THROW(TShareFile::OpenWrite(dir / "pipe"), Exception);

  const std::string name = dir / "\xe4\xb8\xad\xe6\x96\x87.bin";  // UTF-8 name
  const std::string data = sample_bytes(50000, 3);
  write_file(name, data);
  TBufferedFileStream f(text_to_utf16(name), fmOpenReadWrite, 1024);
  f.Seek(100, TSeekOrigin::soBeginning);
  ASSERT_EQ(f.Write("abc", 3), 3);
  f.ResizeBuffer(65536);
  EXPECT_EQ(f.Position(), 0);
  std::string got(data.size(), '\0');
  EXPECT_EQ(f.Read(got.data(), int64_t(got.size())), int64_t(data.size()));
  EXPECT_EQ(got.substr(0, 100), data.substr(0, 100));
  EXPECT_EQ(got.substr(100, 3), "abc");
  EXPECT_EQ(got.substr(103), data.substr(103));
}

TEST(BufferedFileStream, FailedFlushRaisesAndKeepsTheBytes) {
  // /dev/full accepts the open and refuses every write with ENOSPC.
  TBufferedFileStream f(u"/dev/full", fmOpenReadWrite);
  EXPECT_EQ(f.Write("abc", 3), 3);  // cached
  try {
    f.FlushBuffer();
    FAIL() << "flush to a full device succeeded";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Stream write error");
  }
  EXPECT_THROW(f.FlushBuffer(), Exception) << "the pending bytes were dropped";
  std::string big(40000, 'x');
  EXPECT_THROW((void)f.Write(big.data(), int64_t(big.size())), Exception) << "flushes first";
  TBufferedFileStream g(u"/dev/full", fmOpenWrite);
  EXPECT_EQ(g.Write(big.data(), int64_t(big.size())), 0) << "direct write reports the short count";
}

// ---------------------------------------------------------------- TShareFile

TEST(ShareFile, OpenWriteKeepsContentAndNormalisesTheName) {
  TempDir dir;
  fs::create_directories(dir / "sub");
  write_file(dir / "sub/f.txt", "hello world");
  auto f = TShareFile::OpenWrite(dir.dir() + "sub\\\\f.txt");
  EXPECT_EQ(f->GetFileName(), dir / "sub/f.txt");
  EXPECT_EQ(f->GetSize(), 11);
  EXPECT_FALSE(f->IsReadOnly());
  EXPECT_EQ(f->OpenMode(), 1);
  EXPECT_EQ(f->FileTagId(), md5_hex(lower_ascii(dir / "sub/f.txt")));
  EXPECT_EQ(f->WriteData("J", 1), 1);
  f.reset();
  EXPECT_EQ(read_file(dir / "sub/f.txt"), "Jello world");

  auto created = TShareFile::OpenWrite(dir / "new.txt");
  EXPECT_EQ(created->GetSize(), 0);
  EXPECT_TRUE(exists(dir / "new.txt"));
  EXPECT_THROW(TShareFile::OpenWrite(dir / "missing/x.txt"), Exception);
  EXPECT_EQ(TShareFile::tryCreateFile(dir / "missing/x.txt"), nullptr);
  EXPECT_FALSE(exists(dir / "missing"));
  EXPECT_THROW(TShareFile::OpenRead(dir / "none.txt"), Exception);
  EXPECT_EQ(TShareFile::TryOpenFileRead(dir / "none.txt"), nullptr);
  EXPECT_EQ(TShareFile::TryOpenFileRead(dir.dir()), nullptr) << "a folder is not a file";
}

TEST(ShareFile, NamesInCodePage936) {
  const int saved = code_page();
  set_code_page(CP_GBK);
  TempDir dir;
  // 0x95 0x5C is one GBK character whose second byte is a backslash; the
  // name normalisation must not turn it into a separator.
  const std::string gbk_name = dir.dir() + "\xd6\xd0\xce\xc4\\\x95\x5c.txt";
  fs::create_directories(dir.dir() + "\xe4\xb8\xad\xe6\x96\x87");
  const int64_t n = TShareFile::WriteBufToFile(gbk_name, "gbk", 3, 0);
  const bool on_disk = exists(dir.dir() + "\xe4\xb8\xad\xe6\x96\x87/\xe6\x98\x9e.txt");
  const std::string back = TShareFile::FileToText(dir.dir() + "\xd6\xd0\xce\xc4/\x95\x5c.txt");
  set_code_page(saved);
  EXPECT_EQ(n, 3);
  EXPECT_TRUE(on_disk) << "stored under the UTF-8 form of the name";
  EXPECT_EQ(back, "gbk");
}

TEST(ShareFile, UnreadableFile) {
  TempDir dir;
  chmod(dir.dir().c_str(), 0777);
  write_file(dir / "secret", "x");
  chmod((dir / "secret").c_str(), 0);
  write_file(dir / "open", "readable");
  fs::create_directory(dir / "locked");
  write_file(dir / "locked/inside", "i");
  chmod((dir / "locked").c_str(), 0);
  write_file(dir / "joined", "old");
  chmod((dir / "joined").c_str(), 0666);
  // Root reads anything: the checks run in a child without privileges.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 && setuid(65534) != 0) _exit(100);
    int failures = 0;
    try {
      (void)TShareFile::OpenRead(dir / "secret");
      failures |= 1;
    } catch (const Exception&) {
    }
    if (TShareFile::TryOpenFileRead(dir / "secret") != nullptr) failures |= 2;
    if (!TShareFile::FileToRawData(dir / "secret").empty()) failures |= 4;
    try {
      (void)TShareFile::CopyShareFile(dir / "secret", dir / "copy");
      failures |= 8;
    } catch (const Exception&) {
    }
    if (TShareFile::ReadBufFromFile(dir / "secret", &failures, 1, 0) != 0) failures |= 16;
    try {
      (void)TShareFile::CopyShareFiles({dir / "open", dir / "secret"}, dir / "joined");
      failures |= 32;
    } catch (const Exception&) {
    }
    if (!TShareFile::FileToText(dir / "secret", 0, true, nullptr).empty() ||
        !TShareFile::fileHexDump(dir / "secret", 0, 16).empty())
      failures |= 64;
    try {
      (void)TShareFile::CopyFileClipTo(dir / "secret", 0, 1, dir / "clip");
      failures |= 64;
    } catch (const Exception&) {
    }
    if (TUX_Path::RemovePath(dir / "locked") != -1 || !TUX_Path::listFiles(dir / "locked/", true).empty())
      failures |= 128;
    _exit(failures);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "bit mask of the failed checks";
  EXPECT_FALSE(exists(dir / "copy"));
  EXPECT_EQ(read_file(dir / "joined"), "old") << "a join that cannot read a source leaves dest alone";
  EXPECT_FALSE(exists(dir / "clip"));
  chmod((dir / "locked").c_str(), 0755);
  EXPECT_TRUE(exists(dir / "locked/inside"));
}

TEST(ShareFile, TypedValuesAndStrings) {
  TempDir dir;
  {
    auto f = TShareFile::OpenWrite(dir / "v.bin");
    EXPECT_EQ(f->WriteInteger(-2), 4);
    EXPECT_EQ(f->WriteInt64(0x0102030405060708LL), 8);
    EXPECT_EQ(f->WriteString_Ex("abc"), 7);
    EXPECT_EQ(f->WriteString_Ex(""), 4);
    EXPECT_EQ(f->WriteBytes(TBytes{0xFF, 0x7F}), 2);
    EXPECT_EQ(f->WriteBuf(nullptr, 5), 0);
    Tfifo_Mem_stream empty;
    EXPECT_EQ(f->WriteBuf(empty), 0);
    EXPECT_EQ(f->WriteInteger(0x7FFFFFF0), 4);  // a length that runs past the end
  }
  std::string raw = read_file(dir / "v.bin");
  ASSERT_EQ(raw.size(), 29u);
  EXPECT_EQ(raw.substr(0, 4), std::string("\xfe\xff\xff\xff", 4));
  EXPECT_EQ(raw.substr(4, 8), std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8));

  auto f = TShareFile::OpenRead(dir / "v.bin");
  EXPECT_TRUE(f->IsReadOnly());
  EXPECT_EQ(f->ReadInt(4), -2);
  EXPECT_EQ(f->ReadInt(3), 0x0102030405060708LL);
  EXPECT_EQ(f->ReadString_EX(), "abc");
  EXPECT_EQ(f->ReadString_EX(), "");
  EXPECT_EQ(f->ReadInt(1), 0xFF);
  EXPECT_EQ(f->ReadInt(1), 0x7F);
  EXPECT_EQ(f->ReadString_EX(), "") << "oversized length";
  f->SetPosition(23);
  EXPECT_EQ(f->ReadInt(2), 0x7FFF);
  EXPECT_EQ(f->ReadData(nullptr, 3), 0);
  EXPECT_EQ(f->WriteData("x", 1), 0) << "read mode";
  EXPECT_FALSE(f->setEndOfFile(3));
  f->Reset();
  EXPECT_EQ(f->GetSize(), 29);
}

TEST(ShareFile, WritesAFifoStreamWithoutConsumingIt) {
  TempDir dir;
  Tfifo_Mem_stream st;
  const std::string data = sample_bytes(100000, 21);
  st.WriteString(data);
  auto f = TShareFile::OpenWrite(dir / "fifo.bin");
  EXPECT_EQ(f->WriteBuf(st), 100000);
  EXPECT_EQ(st.DataLength(), 100000);
  f.reset();
  EXPECT_EQ(read_file(dir / "fifo.bin"), data);
}

TEST(ShareFile, ResetAppendAndSizeChanges) {
  TempDir dir;
  auto w = TShareFile::OpenWrite(dir / "g.bin");
  auto r = TShareFile::OpenRead(dir / "g.bin");
  int64_t pos = -1, len = -1;
  EXPECT_FALSE(r->is_Data_Changed(pos, len));
  EXPECT_EQ(w->AppendData("12345", 5), 5);
  w->FlushBuffer();
  ASSERT_TRUE(r->is_Data_Changed(pos, len));
  EXPECT_EQ(pos, 0);
  EXPECT_EQ(len, 5);
  char b[5];
  EXPECT_EQ(r->ReadData(b, 5), 5) << "the reader sees the writer's flushed bytes";
  EXPECT_EQ(std::string(b, 5), "12345");
  EXPECT_FALSE(r->is_Data_Changed(pos, len));
  EXPECT_TRUE(w->setEndOfFile(2));
  EXPECT_FALSE(w->setEndOfFile(-1));
  ASSERT_TRUE(r->is_Data_Changed(pos, len));
  EXPECT_EQ(pos, 2);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(w->AppendData("ab", 2), 2);
  w->Reset();
  EXPECT_EQ(w->GetSize(), 0);
  EXPECT_EQ(w->Position(), 0);
  w.reset();
  EXPECT_EQ(fs::file_size(dir / "g.bin"), 0u);
}

TEST(ShareFile, CloneAndMd5) {
  TempDir dir;
  const std::string data = sample_bytes(400000, 9);
  write_file(dir / "src.bin", data);
  write_file(dir / "clone.bin", sample_bytes(900000, 1));
  auto f = TShareFile::OpenWrite(dir / "src.bin");
  f->SetPosition(1234);
  f->WriteData("zz", 2);  // cached, must be part of the clone
  std::string expect = data;
  expect.replace(1234, 2, "zz");
  EXPECT_TRUE(f->CloneTofile(dir / "clone.bin"));
  EXPECT_EQ(f->Position(), 1236);
  EXPECT_EQ(read_file(dir / "clone.bin"), expect);
  EXPECT_THROW(f->CloneTofile(dir / "no/dir/c.bin"), Exception);

  EXPECT_EQ(f->md5File(0, 0), md5_hex(expect));
  EXPECT_EQ(f->md5File(1000, 5000), md5_hex(expect.substr(1000, 5000)));
  EXPECT_EQ(f->md5File(399990, 5000), md5_hex(expect.substr(399990)));
  EXPECT_EQ(f->md5File(500000, 10), md5_hex(""));
  EXPECT_EQ(f->Position(), 1236);
}

TEST(ShareFile, InterfaceCountAndLock) {
  TempDir dir;
  IShareFile* intf = TShareFile::OpenWrite(dir / "i.bin").release();
  EXPECT_EQ(intf->AddRef(), 1);
  void* other = nullptr;
  EXPECT_EQ(intf->QueryInterface("IShareFile", &other), 0);
  EXPECT_EQ(other, intf);
  EXPECT_EQ(intf->QueryInterface("IOther", &other), -1);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(intf->WriteData("abc", 3), 3);
  EXPECT_EQ(intf->Position(), 3);
  intf->SetPosition(1);
  EXPECT_EQ(intf->GetSize(), 3);
  EXPECT_EQ(intf->Release(), 1);
  EXPECT_EQ(intf->Release(), 0);  // destroyed here; ASan reports a leak otherwise
  EXPECT_EQ(read_file(dir / "i.bin"), "abc");

  auto f = TShareFile::OpenWrite(dir / "l.bin");
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t)
    writers.emplace_back([&f, t] {
      for (int i = 0; i < 200; ++i) {
        f->lockEnter();
        const char c = char('a' + t);
        EXPECT_EQ(f->AppendData(&c, 1), 1);
        f->lockExit();
      }
    });
  for (auto& w : writers) w.join();
  f.reset();
  const std::string all = read_file(dir / "l.bin");
  EXPECT_EQ(all.size(), 800u);
  for (char c : std::string("abcd")) EXPECT_EQ(std::count(all.begin(), all.end(), c), 200);
}

// ---------------------------------------------------------------- copy and move

TEST(ShareFileUtil, CopyShareFile) {
  TempDir dir;
  const std::string data = sample_bytes(1000017, 5);
  write_file(dir / "s.bin", data);
  write_file(dir / "d.bin", sample_bytes(3000000, 6));
  EXPECT_TRUE(TShareFile::CopyShareFile(dir / "s.bin", dir / "d.bin"));
  EXPECT_EQ(read_file(dir / "d.bin"), data) << "a longer dest keeps exactly the source bytes";

  write_file(dir / "keep.bin", "keep");
  EXPECT_FALSE(TShareFile::CopyShareFile(dir / "none.bin", dir / "keep.bin"));
  EXPECT_EQ(read_file(dir / "keep.bin"), "keep");
  EXPECT_FALSE(TShareFile::CopyShareFile(dir.dir(), dir / "keep.bin")) << "a folder as source";
  EXPECT_THROW(TShareFile::CopyShareFile(dir / "s.bin", dir / "no/dir/d.bin"), Exception);
  EXPECT_FALSE(exists(dir / "no"));

  EXPECT_TRUE(TShareFile::CopyShareFile(dir / "s.bin", dir.dir() + "./s.bin"));
  EXPECT_EQ(read_file(dir / "s.bin"), data) << "copying a file onto itself changes nothing";

  write_file(dir / "empty.bin", "");
  EXPECT_TRUE(TShareFile::CopyShareFile(dir / "empty.bin", dir / "d.bin"));
  EXPECT_EQ(fs::file_size(dir / "d.bin"), 0u);

  chmod((dir / "s.bin").c_str(), 0750);
  EXPECT_TRUE(TShareFile::CopyShareFile(dir / "s.bin", dir / "exe.bin"));
  EXPECT_EQ(fs::status(dir / "exe.bin").permissions() & fs::perms::owner_exec, fs::perms::owner_exec)
      << "a new copy of an executable stays executable";
}

TEST(ShareFileUtil, CopyShareFileOverwritesAnOpenDestInPlace) {
  TempDir dir;
  write_file(dir / "s.bin", "new content");
  write_file(dir / "d.bin", "old content that is longer");
  auto holder = TShareFile::OpenRead(dir / "d.bin");
  EXPECT_TRUE(TShareFile::CopyShareFile(dir / "s.bin", dir / "d.bin"));
  char b[32] = {};
  EXPECT_EQ(holder->ReadData(b, sizeof b), 11) << "the holder sees the same file overwritten";
  EXPECT_EQ(std::string(b, 11), "new content");
}

TEST(ShareFileUtil, CopyFailingHalfWayKeepsTheSource) {
  TempDir dir;
  const std::string data = sample_bytes(300000, 8);
  write_file(dir / "s.bin", data);
  EXPECT_FALSE(TShareFile::CopyShareFile(dir / "s.bin", "/dev/full"));
  EXPECT_EQ(read_file(dir / "s.bin"), data);
  // A full disk: every writer reports through its result and raises nothing.
  EXPECT_EQ(TShareFile::CopyFileClipTo(dir / "s.bin", 0, 1000, "/dev/full"), 0);
  EXPECT_FALSE(TShareFile::CopyShareFiles({dir / "s.bin"}, "/dev/full"));
  EXPECT_EQ(TShareFile::WriteBufToFile("/dev/full", "abc", 3, 0), 0);
  EXPECT_EQ(TShareFile::WriteBufToFile("/dev/full", data.data(), 40000, 0), 0);
  EXPECT_EQ(TShareFile::AppendBufToFile("/dev/full", "abc", 3), 0);
  {
    TStringStream st;
    st.data = "xyz";
    EXPECT_EQ(TShareFile::StreamToFile(st, "/dev/full"), 0);
  }
  EXPECT_FALSE(TShareFile::OpenRead(dir / "s.bin")->CloneTofile("/dev/full"));
  EXPECT_EQ(read_file(dir / "s.bin"), data);
  {
    FileSizeLimit limit(100000);
    EXPECT_FALSE(TShareFile::CopyShareFile(dir / "s.bin", dir / "d.bin"));
    EXPECT_EQ(TShareFile::CopyFileClipTo(dir / "s.bin", 0, 200000, dir / "c.bin"), 100000);
  }
  EXPECT_EQ(read_file(dir / "s.bin"), data);
  EXPECT_EQ(fs::file_size(dir / "d.bin"), 100000u) << "dest holds what was copied, no stale tail";
}

TEST(ShareFileUtil, MoveFile) {
  TempDir dir;
  write_file(dir / "a.txt", "A");
  EXPECT_TRUE(TShareFile::MoveFile(dir / "a.txt", dir / "x/y/b.txt"));
  EXPECT_FALSE(exists(dir / "a.txt"));
  EXPECT_EQ(read_file(dir / "x/y/b.txt"), "A") << "the missing folders are created";

  EXPECT_FALSE(TShareFile::MoveFile(dir / "none.txt", dir / "n2.txt"));
  EXPECT_FALSE(exists(dir / "n2.txt"));

  EXPECT_TRUE(TShareFile::MoveFile(dir / "x/y/b.txt", dir / "x/y/b.txt"));
  EXPECT_EQ(read_file(dir / "x/y/b.txt"), "A");

  // Letter case makes a different name on this file system: a real rename.
  EXPECT_TRUE(TShareFile::MoveFile(dir / "x/y/b.txt", dir / "x/y/B.txt"));
  EXPECT_EQ(read_file(dir / "x/y/B.txt"), "A");
  EXPECT_FALSE(exists(dir / "x/y/b.txt"));

  write_file(dir / "c.txt", "C");
  write_file(dir / "d.txt", "old D");
  EXPECT_TRUE(TShareFile::MoveFile(dir / "c.txt", dir / "d.txt"));
  EXPECT_EQ(read_file(dir / "d.txt"), "C");
  EXPECT_FALSE(exists(dir / "c.txt"));

  write_file(dir / "e.txt", "E");
  fs::create_directories(dir / "dirdest");
  EXPECT_FALSE(TShareFile::MoveFile(dir / "e.txt", dir / "dirdest"));
  EXPECT_EQ(read_file(dir / "e.txt"), "E");
}

TEST(ShareFileUtil, MoveAcrossFileSystems) {
  struct stat a, b;
  if (stat("/dev/shm", &a) != 0 || stat("/tmp", &b) != 0 || a.st_dev == b.st_dev ||
      access("/dev/shm", W_OK) != 0)
    GTEST_SKIP() << "no second file system";
  TempDir shm("ux_file_io", "/dev/shm");
  TempDir dir;
  const std::string data = sample_bytes(700001, 11);
  write_file(shm / "s.bin", data);
  chmod((shm / "s.bin").c_str(), 0755);
  write_file(dir / "d.bin", "older and longer dest content");
  EXPECT_TRUE(TShareFile::MoveFile(shm / "s.bin", dir / "d.bin"));
  EXPECT_FALSE(exists(shm / "s.bin"));
  EXPECT_EQ(read_file(dir / "d.bin"), data);
  EXPECT_EQ(fs::status(dir / "d.bin").permissions() & fs::perms::owner_exec, fs::perms::owner_exec);

  // The copy fails half way: source and old dest stay, nothing else is left.
  write_file(shm / "s2.bin", data);
  write_file(dir / "d2.bin", "old");
  {
    FileSizeLimit limit(200000);
    EXPECT_FALSE(TShareFile::MoveFile(shm / "s2.bin", dir / "d2.bin"));
  }
  EXPECT_EQ(read_file(shm / "s2.bin"), data);
  EXPECT_EQ(read_file(dir / "d2.bin"), "old");
  int entries = 0;
  for (auto& e : fs::directory_iterator(dir.dir())) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 2) << "no temporary file left behind";
}

TEST(ShareFileUtil, DeleteAndBlankFiles) {
  TempDir dir;
  EXPECT_TRUE(TShareFile::deleteFile(dir / "none.txt"));
  write_file(dir / "f.txt", "x");
  EXPECT_TRUE(TShareFile::deleteFile(dir / "f.txt"));
  EXPECT_FALSE(exists(dir / "f.txt"));
  EXPECT_FALSE(TShareFile::deleteFile(dir.dir().substr(0, dir.dir().size() - 1)))
      << "a folder still exists at that name";

  EXPECT_EQ(TShareFile::CreateBlankFile(dir / "p/q/blank.bin", 5000), 5000);
  EXPECT_EQ(fs::file_size(dir / "p/q/blank.bin"), 5000u);
  EXPECT_EQ(TShareFile::CreateBlankFile(dir / "p/q/blank.bin", 10), 5000) << "never shrinks";
}

TEST(ShareFileUtil, NamesWithANulByteNameNoFile) {
  // The system calls would take the part before the NUL: "keep.txt".
  TempDir dir;
  write_file(dir / "keep.txt", "kept");
  const std::string nul_name = dir / std::string("keep.txt\0.tmp", 13);
  EXPECT_TRUE(TShareFile::deleteFile(nul_name));
  EXPECT_FALSE(TShareFile::MoveFile(dir / "keep.txt", nul_name));
  EXPECT_FALSE(TShareFile::MoveFile(nul_name, dir / "moved.txt"));
  EXPECT_THROW(TShareFile::OpenWrite(nul_name), Exception);
  EXPECT_THROW(TShareFile::OpenRead(nul_name), Exception);
  EXPECT_THROW(TShareFile::CopyShareFile(dir / "keep.txt", nul_name), Exception);
  EXPECT_FALSE(TShareFile::CopyShareFile(nul_name, dir / "copy.txt"));
  EXPECT_EQ(read_file(dir / "keep.txt"), "kept");
  EXPECT_FALSE(exists(dir / "moved.txt"));
  EXPECT_FALSE(exists(dir / "copy.txt"));
}

TEST(ShareFileUtil, ClipAndJoin) {
  TempDir dir;
  const std::string data = sample_bytes(500000, 12);
  write_file(dir / "s.bin", data);
  write_file(dir / "c.bin", sample_bytes(900000, 13));
  EXPECT_EQ(TShareFile::CopyFileClipTo(dir / "s.bin", 1000, 400000, dir / "c.bin"), 400000);
  EXPECT_EQ(read_file(dir / "c.bin"), data.substr(1000, 400000));
  EXPECT_EQ(TShareFile::CopyFileClipTo(dir / "s.bin", 499990, 100, dir / "c.bin"), 10);
  EXPECT_EQ(read_file(dir / "c.bin"), data.substr(499990));
  EXPECT_EQ(TShareFile::CopyFileClipTo(dir / "s.bin", 600000, 100, dir / "c.bin"), 0);
  EXPECT_EQ(fs::file_size(dir / "c.bin"), 0u);
  write_file(dir / "keep.bin", "keep");
  EXPECT_EQ(TShareFile::CopyFileClipTo(dir / "none.bin", 0, 10, dir / "keep.bin"), 0);
  EXPECT_EQ(read_file(dir / "keep.bin"), "keep");

  write_file(dir / "p1", "one,");
  write_file(dir / "p2", "");
  write_file(dir / "p3", "three");
  write_file(dir / "j.bin", sample_bytes(100, 1));
  EXPECT_TRUE(TShareFile::CopyShareFiles({dir / "p1", dir / "p2", dir / "p3", dir / "s.bin"},
                                         dir / "j.bin"));
  EXPECT_EQ(read_file(dir / "j.bin"), "one,three" + data);
  EXPECT_FALSE(TShareFile::CopyShareFiles({dir / "p1", dir / "none"}, dir / "j2.bin"));
  EXPECT_FALSE(exists(dir / "j2.bin"));
  EXPECT_FALSE(TShareFile::CopyShareFiles({dir / "p3", dir / "p1"}, dir / "p1"))
      << "dest among the sources would destroy a source";
  EXPECT_EQ(read_file(dir / "p1"), "one,");
}

TEST(ShareFileUtil, StreamsAndBuffers) {
  TempDir dir;
  const std::string data = sample_bytes(600000, 14);
  write_file(dir / "s.bin", data);
  TStringStream st;
  st.data = "previous content that is longer than nothing";
  EXPECT_EQ(TShareFile::StreamFromFile(st, dir / "s.bin"), int64_t(data.size()));
  EXPECT_EQ(st.data, data);
  EXPECT_THROW(TShareFile::StreamFromFile(st, dir / "none.bin"), Exception);

  write_file(dir / "o.bin", sample_bytes(700000, 15));
  st.data = data.substr(0, 300001);
  EXPECT_EQ(TShareFile::StreamToFile(st, dir / "o.bin"), 300001);
  EXPECT_EQ(read_file(dir / "o.bin"), data.substr(0, 300001));
  st.data.clear();
  EXPECT_EQ(TShareFile::StreamToFile(st, dir / "empty.bin"), 0);
  EXPECT_FALSE(exists(dir / "empty.bin"));

  char buf[16];
  EXPECT_EQ(TShareFile::ReadBufFromFile(dir / "s.bin", buf, 16, 599990), 10);
  EXPECT_EQ(std::string(buf, 10), data.substr(599990));
  EXPECT_EQ(TShareFile::ReadBufFromFile(dir / "none.bin", buf, 16, 0), 0);
  EXPECT_EQ(TShareFile::ReadBufFromFile(dir / "s.bin", buf, 16, INT64_MAX), 0);

  EXPECT_EQ(TShareFile::WriteBufToFile(dir / "w.bin", "abc", 3, 5), 3);
  EXPECT_EQ(read_file(dir / "w.bin"), std::string("\0\0\0\0\0abc", 8));
  EXPECT_EQ(TShareFile::WriteBufToFile(dir / "w.bin", "Z", 1, 0), 1);
  EXPECT_EQ(read_file(dir / "w.bin"), std::string("Z\0\0\0\0abc", 8));
  EXPECT_EQ(TShareFile::WriteBufToFile(dir / "w.bin", "Q", 1, INT64_MAX), 0);
  EXPECT_EQ(read_file(dir / "w.bin"), std::string("Z\0\0\0\0abc", 8)) << "an unreachable offset writes nothing";
  EXPECT_EQ(TShareFile::WriteBufToFile(dir / "w2.bin", "Z", 1, -1), 0);
  EXPECT_FALSE(exists(dir / "w2.bin"));
  EXPECT_EQ(TShareFile::AppendBufToFile(dir / "w.bin", "END", 3), 3);
  EXPECT_EQ(read_file(dir / "w.bin"), std::string("Z\0\0\0\0abcEND", 11));
  EXPECT_THROW(TShareFile::AppendBufToFile(dir / "no/dir/w.bin", "x", 1), Exception);
}

TEST(ShareFileUtil, WholeFileReaders) {
  TempDir dir;
  write_file(dir / "r.bin", "0123456789");
  EXPECT_EQ(TShareFile::FileToRawData(dir / "r.bin", 7), (TBytes{'7', '8', '9'}));
  EXPECT_EQ(TShareFile::FileToRawData(dir / "r.bin", -5).size(), 10u);
  EXPECT_TRUE(TShareFile::FileToRawData(dir / "none").empty());
  EXPECT_TRUE(TShareFile::FileToRawData(dir / "r.bin", 10).empty());

  EXPECT_EQ(TShareFile::FileToText(dir / "r.bin", 8), "89");
  EXPECT_EQ(TShareFile::FileToText(dir / "r.bin", 10), "");
  EXPECT_EQ(TShareFile::FileToText(dir / "none"), "");
  write_file(dir / "bom.txt", "\xef\xbb\xbfhi");
  const TFunc_utf_encode upper = [](std::string_view s) {
    std::string u(s);
    for (auto& c : u) c = char(std::toupper(static_cast<unsigned char>(c)));
    return u;
  };
  EXPECT_EQ(TShareFile::FileToText(dir / "bom.txt", 0, true, upper), "hi");
  EXPECT_EQ(TShareFile::FileToText(dir / "bom.txt", 0, false, upper), "\xef\xbb\xbfhi");
  EXPECT_EQ(TShareFile::FileToText(dir / "r.bin", 0, true, nullptr), "0123456789");
  write_file(dir / "plain.txt", "abc");
  EXPECT_EQ(TShareFile::FileToText(dir / "plain.txt", 0, true, upper), "ABC");
  write_file(dir / "bomonly.txt", "\xef\xbb\xbf");
  EXPECT_EQ(TShareFile::FileToText(dir / "bomonly.txt", 0, true, nullptr), "\xef\xbb\xbf")
      << "only more than 3 bytes drop the mark";
}

TEST(ShareFileUtil, NameHelpers) {
  EXPECT_EQ(TShareFile::FileNameOf("a\\b/c.txt"), "c.txt");
  EXPECT_EQ(TShareFile::FileNameOf("c.txt"), "c.txt");
  EXPECT_EQ(TShareFile::file_ext("/x/a.Tar.GZ"), ".GZ");
  EXPECT_EQ(TShareFile::file_ext("/x/a.abcdefghijklmn"), ".abcdefghi");
  EXPECT_EQ(TShareFile::file_ext("/x/noext"), "");
  {
    qlyn_test::TCodePageScope cp(CP_GBK);
    EXPECT_EQ(TShareFile::file_ext("a.12345678\xc1\x41"), ".12345678") << "no cut character";
    EXPECT_EQ(TShareFile::file_ext("a.1234567\xc1\x41"), ".1234567\xc1\x41");
  }
  EXPECT_EQ(TShareFile::file_ext("/dir.d/noext"), "") << "a dot in a folder is no extension";
  EXPECT_EQ(TShareFile::change_file_ext("/x/a.txt", ".bak"), "/x/a.bak");
  EXPECT_EQ(TShareFile::change_file_ext("/x/a", ".bak"), "/x/a.bak");
  EXPECT_EQ(TShareFile::change_file_ext("/dir.d/a", ".bak"), "/dir.d/a.bak");
}

TEST(ShareFileUtil, HexDump) {
  TempDir dir;
  std::string data;
  for (int i = 0; i < 20; ++i) data.push_back(char(i == 1 ? 'A' : 0x30 + i));
  data[2] = '\x7f';
  write_file(dir / "h.bin", data);
  const std::string dump = TShareFile::fileHexDump(dir / "h.bin", 0, 100);
  EXPECT_EQ(dump,
            "00000000 |  30 41 7f 33 34 35 36 37 38 39 3a 3b 3c 3d 3e 3f  |  0A.3456789:;<=>?\r\n"
            "00000010 |  40 41 42 43 ");
  EXPECT_EQ(TShareFile::fileHexDump(dir / "h.bin", 16, 2), "00000010 |  40 41 ");
  EXPECT_EQ(TShareFile::fileHexDump(dir / "none", 0, 100), "");

  write_file(dir / "big.bin", std::string(10000, 'z'));
  const std::string big = TShareFile::fileHexDump(dir / "big.bin", 0, 100000);
  const size_t line = std::string("00000000 |  ").size() + 16 * 3 + 4 + 16 + 2;
  EXPECT_EQ(big.size(), 8192 / 16 * line + 8192 / 256 * 2) << "8192 bytes at most";
  EXPECT_NE(big.find("zzzz\r\n\r\n00000100 |  "), std::string::npos);
}
