#include "common/ext_mem.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

using ux::Tfifo_Mem_stream;

std::string hex(const std::string& s) {
  static const char* d = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    out += d[c >> 4];
    out += d[c & 15];
  }
  return out;
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/ext_mem_XXXXXX";
    path_ = ::mkdtemp(tmpl);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string read_all(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// A seekable source that may claim more bytes than it can deliver.
class TStringSource : public ux::TStream {
 public:
  explicit TStringSource(std::string data, int64_t claimed = -1)
      : data_(std::move(data)), claimed_(claimed < 0 ? int64_t(data_.size()) : claimed) {}
  int64_t Read(void* buffer, int64_t count) override {
    const int64_t n = std::min<int64_t>(count, int64_t(data_.size()) - pos_);
    if (n <= 0) return 0;
    std::memcpy(buffer, data_.data() + pos_, size_t(n));
    pos_ += n;
    return n;
  }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t offset, ux::TSeekOrigin origin) override {
    if (origin == ux::TSeekOrigin::soBeginning) pos_ = offset;
    if (origin == ux::TSeekOrigin::soCurrent) pos_ += offset;
    if (origin == ux::TSeekOrigin::soEnd) pos_ = claimed_ + offset;
    return pos_;
  }
  int64_t GetSize() override { return claimed_; }
  void SetSize(int64_t) override {}

 private:
  std::string data_;
  int64_t claimed_;
  int64_t pos_ = 0;
};

TEST(FifoStream, SlidesThenGrowsLinearly) {
  Tfifo_Mem_stream s(16);
  EXPECT_EQ(s.SpaceSize(), 16);
  EXPECT_EQ(s.Write("0123456789", 10), 10);
  s.Delete(6);
  EXPECT_EQ(s.Write("abcdefghij", 10), 10);
  EXPECT_EQ(s.SpaceSize(), 16);
  EXPECT_EQ(s.asString(), "6789abcdefghij");
  const std::string more(20, 'z');
  EXPECT_EQ(s.Write(more.data(), 20), 20);
  EXPECT_EQ(s.SpaceSize(), 14 + 20 + 8192);
  EXPECT_EQ(s.asString(), "6789abcdefghij" + more);
  EXPECT_EQ(s.DataLength(), 34);
  EXPECT_EQ(s.GetSize(), 34);
  EXPECT_EQ(Tfifo_Mem_stream::DataLength(nullptr), 0);
  Tfifo_Mem_stream::Lock(nullptr);
  Tfifo_Mem_stream::unLock(nullptr);

  Tfifo_Mem_stream empty;  // no buffer until the first append
  EXPECT_EQ(empty.SpaceSize(), 0);
  EXPECT_EQ(empty.asString(), "");
  EXPECT_EQ(empty.fsc("x"), "");
  EXPECT_EQ(empty.Write("ab", 2), 2);
  EXPECT_EQ(empty.SpaceSize(), 2 + 8192);
}

TEST(FifoStream, ReserveMakesRoomOnceWithinTheLimit) {
  Tfifo_Mem_stream s(16);
  s.WriteString("0123456789");
  s.Delete(4);
  EXPECT_TRUE(s.Reserve(10));  // already there
  EXPECT_EQ(s.SpaceSize(), 16);
  ASSERT_TRUE(s.Reserve(100000));
  const int32_t reserved = s.SpaceSize();
  EXPECT_GE(reserved, 100000);
  EXPECT_EQ(s.asString(), "456789");
  const std::string block(99000, 'b');
  EXPECT_EQ(s.Write(block.data(), int64_t(block.size())), int64_t(block.size()));
  EXPECT_EQ(s.SpaceSize(), reserved);
  s.SetCapacityLimit(200000);
  EXPECT_FALSE(s.Reserve(200001));
  EXPECT_EQ(s.SpaceSize(), reserved);
  EXPECT_EQ(s.DataLength(), 99006);
}

TEST(FifoStream, WriteCountsLimitAndFailureChangeNothing) {
  Tfifo_Mem_stream s(8);
  EXPECT_EQ(s.Write("abc", 0), 0);
  EXPECT_EQ(s.Write("abc", -3), 0);
  EXPECT_EQ(s.Write(nullptr, 3), -1);
  s.SetCapacityLimit(10);
  EXPECT_EQ(s.Write("abcdef", 6), 6);
  EXPECT_EQ(s.Write("ghijk", 5), -1);  // 11 > limit
  EXPECT_EQ(s.asString(), "abcdef");
  EXPECT_EQ(s.Write("ghij", 4), 4);  // exactly the limit
  EXPECT_EQ(s.SpaceSize(), 10);
  EXPECT_EQ(s.asString(), "abcdefghij");
  EXPECT_EQ(s.Write("", int64_t(Tfifo_Mem_stream::kMaxCapacity) + 1), -1);
  EXPECT_EQ(s.DataLength(), 10);

  // Appending the stream's own bytes while the buffer moves.
  Tfifo_Mem_stream self(8);
  self.WriteString("abcdefgh");
  self.Delete(2);
  EXPECT_EQ(self.Write(self.DataPointer(0), 6), 6);
  EXPECT_EQ(self.asString(), "cdefghcdefgh");
  EXPECT_EQ(self.Write(self.DataPointer(0), 1 << 20), -1);  // past the buffer
  EXPECT_EQ(self.DataLength(), 12);
}

// Hitting the cap and running out of memory give different results; the
// shortage is made in a child whose address space is capped.
TEST(FifoStream, CapAndMemoryShortageAreToldApart) {
  Tfifo_Mem_stream capped(8);
  capped.SetCapacityLimit(16);
  const std::string bytes(17, 'c');
  EXPECT_EQ(capped.Write(bytes.data(), 17), ux::kStreamRefused);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer runtime needs more address space than the child may have";
#endif
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    constexpr size_t kBig = size_t(256) << 20;
    // The source costs address space only; the stream's copy would need as much again.
    void* src = ::mmap(nullptr, kBig, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (src == MAP_FAILED) ::_exit(10);
    long pages = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
      std::fclose(f);
    }
    if (pages <= 0) ::_exit(11);
    const rlimit rl{rlim_t(pages) * rlim_t(::sysconf(_SC_PAGESIZE)) + (rlim_t(64) << 20), RLIM_INFINITY};
    if (::setrlimit(RLIMIT_AS, &rl) != 0) ::_exit(12);
    Tfifo_Mem_stream s(16);
    if (s.Write("ab", 2) != 2) ::_exit(13);
    if (s.Write(src, int64_t(kBig)) != ux::kStreamNoMemory) ::_exit(14);
    if (s.asString() != "ab" || s.SpaceSize() != 16) ::_exit(15);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(FifoStream, ReadDoesNotConsumeOnlyConsumersDo) {
  Tfifo_Mem_stream s(64);
  s.WriteString("hello world");
  char a[5], b[5];
  EXPECT_EQ(s.Read(a, 5), 5);
  EXPECT_EQ(s.Read(b, 5), 5);
  EXPECT_EQ(std::string(a, 5), "hello");
  EXPECT_EQ(std::string(b, 5), "hello");
  EXPECT_EQ(s.Read(a, 0), 0);
  EXPECT_EQ(s.Read(a, -1), 0);
  EXPECT_EQ(s.DataLength(), 11);
  EXPECT_EQ(s.Read_And_Remove(a, 5), 5);
  EXPECT_EQ(s.asString(), " world");
  EXPECT_EQ(s.Read_And_Remove(a, -2), 0);
  char big[32];
  EXPECT_EQ(s.Read_And_Remove(big, 32), 6);
  EXPECT_EQ(s.DataLength(), 0);
  s.WriteString("abcdef");
  char c[4] = {};
  EXPECT_EQ(s.ReadDataOffset(2, c, 3), 3);
  EXPECT_EQ(std::string(c, 3), "cde");
  EXPECT_EQ(s.ReadDataOffset(-5, c, 2), 2);
  EXPECT_EQ(std::string(c, 2), "ab");
  EXPECT_EQ(s.ReadDataOffset(4, c, 10), 2);
  EXPECT_LE(s.ReadDataOffset(6, c, 1), 0);
  EXPECT_LE(s.ReadDataOffset(100, c, 1), 0);
  s.Delete(0);
  s.Delete(-4);
  EXPECT_EQ(s.DataLength(), 6);
  EXPECT_EQ(s.Seek(0, ux::TSeekOrigin::soCurrent), 0);
  EXPECT_EQ(s.Seek(3, ux::TSeekOrigin::soBeginning), -1);
}

TEST(FifoStream, EmptyingCompactsOnlyAbove512000) {
  for (int32_t cap : {600000, 512000}) {
    Tfifo_Mem_stream s(cap);
    s.WriteString("abc");
    s.Delete(100);
    EXPECT_EQ(s.DataLength(), 0);
    EXPECT_EQ(s.SpaceSize(), cap == 600000 ? 32768 : 512000);
  }
  Tfifo_Mem_stream s(600000);
  s.auto_compact_space = false;
  s.WriteString("abc");
  s.Delete(3);
  EXPECT_EQ(s.SpaceSize(), 600000);
  s.Reset(true);
  EXPECT_EQ(s.SpaceSize(), 32768);
  s.WriteString("xy");
  s.Reset(false);
  EXPECT_EQ(s.DataLength(), 0);
  EXPECT_EQ(s.Write("q", 1), 1);
  EXPECT_EQ(s.asString(), "q");
}

TEST(FifoStream, TypedWritesAndReads) {
  Tfifo_Mem_stream s(4);
  EXPECT_EQ(s.WriteInteger(1), 4);
  EXPECT_EQ(hex(s.asString()), "01000000");
  s.Reset(true);
  EXPECT_EQ(s.WriteInt64(1), 8);
  EXPECT_EQ(hex(s.asString()), "0100000000000000");
  s.Reset(true);
  EXPECT_EQ(s.WriteDouble(1.0), 8);
  EXPECT_EQ(hex(s.asString()), "3FF0000000000000");
  s.Reset(true);
  EXPECT_EQ(s.WriteInteger(-2), 4);
  EXPECT_EQ(hex(s.asString()), "FEFFFFFF");
  EXPECT_EQ(s.ReadInteger(), -2);
  EXPECT_EQ(s.ReadInt16(), 0xFFFE);
  EXPECT_EQ(s.Readint64(), 0);  // fewer than 8 bytes
  EXPECT_EQ(s.WriteInt64(0x0102030405060708LL), 8);
  s.Delete(4);
  EXPECT_EQ(s.Readint64(), 0x0102030405060708LL);
  EXPECT_EQ(s.lastInteger(), 0x01020304);
  EXPECT_EQ(s.lastWord(), 0x0102);
  EXPECT_EQ(s.lastByte(), 0x01);
  EXPECT_EQ(s.WriteBytes({0xAA, 0xBB}), 2);
  EXPECT_EQ(s.lastWord(), 0xBBAA);

  s.Reset(true);
  EXPECT_EQ(s.lastInteger(), 0);
  EXPECT_EQ(s.lastByte(), 0);
  EXPECT_EQ(s.ReadInt16(), 0);
  EXPECT_EQ(s.WriteInteger(3), 4);
  s.WriteString("abcdef");
  EXPECT_EQ(s.ReadString_Ex(), "abc");
  s.Reset(true);
  EXPECT_EQ(s.WriteInteger(10), 4);
  s.WriteString("abc");  // claims more than present
  EXPECT_EQ(s.ReadString_Ex(), "");
  s.Reset(true);
  EXPECT_EQ(s.WriteInteger(-1), 4);
  s.WriteString("abcdef");
  EXPECT_EQ(s.ReadString_Ex(), "");
  s.Reset(true);
  s.WriteString("a", "", "bc");
  EXPECT_EQ(s.asString(), "abc");
}

TEST(FifoStream, LineCuttingWithFscExistsAndFsc) {
  Tfifo_Mem_stream s(8);
  s.WriteString("abc\r\ndef");
  EXPECT_EQ(s.fsc_Exists("\r\n", 0), "abc");
  EXPECT_EQ(s.asString(), "def");
  EXPECT_EQ(s.fsc_Exists("\r\n", 0), "");
  EXPECT_EQ(s.asString(), "def");
  EXPECT_EQ(s.fsc("\r\n", 0), "def");
  EXPECT_EQ(s.DataLength(), 0);

  s.WriteString("ab");
  EXPECT_EQ(s.fsc_Exists("abc"), "");  // shorter than the tag
  EXPECT_EQ(s.DataLength(), 2);
  s.Reset(true);
  // startpos only says where the search begins; bytes come from the head.
  s.WriteString("a;b;c");
  EXPECT_EQ(s.fsc_Exists(";", 2), "a;b");
  EXPECT_EQ(s.asString(), "c");
  s.Reset(true);
  s.WriteString(";x");
  EXPECT_EQ(s.fsc_Exists(";"), "");  // tag at the head: empty line, tag removed
  EXPECT_EQ(s.asString(), "x");
  EXPECT_EQ(s.fsc_Exists(""), "");
  EXPECT_EQ(s.asString(), "x");
  EXPECT_EQ(s.fsc(""), "x");
  EXPECT_EQ(s.DataLength(), 0);

  s.WriteString("l1\r\nl2\r\n\r\nrest");
  std::vector<std::string> lines;
  for (;;) {
    s.Lock();
    const bool has = s.Pos("\r\n") >= 0;
    std::string line = s.fsc_Exists("\r\n");
    s.unLock();
    if (!has) break;
    lines.push_back(line);
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"l1", "l2", ""}));
  EXPECT_EQ(s.asString(), "rest");
}

TEST(FifoStream, LineCuttingAtTheBufferEdges) {
  // Tag as the very last bytes of a full buffer.
  Tfifo_Mem_stream s(8);
  s.WriteString("zzzabc\r\n");
  s.Delete(3);
  EXPECT_EQ(s.Pos("\r\n"), 3);
  EXPECT_EQ(s.Pos("\r\n", 3), 3);
  EXPECT_EQ(s.Pos("\n", 4), 4);
  EXPECT_EQ(s.Pos("\n", 5), -1);
  EXPECT_EQ(s.fsc_Exists("\r\n"), "abc");
  EXPECT_EQ(s.DataLength(), 0);
  // CR at the end without LF: no line yet; the LF completes it.
  s.WriteString("abc\r");
  EXPECT_EQ(s.fsc_Exists("\r\n"), "");
  EXPECT_EQ(s.asString(), "abc\r");
  s.WriteString("\n\r\n\r");
  EXPECT_EQ(s.fsc_Exists("\r\n"), "abc");
  EXPECT_EQ(s.fsc_Exists("\r\n"), "");  // an empty line: its break removed
  EXPECT_EQ(s.asString(), "\r");
  EXPECT_EQ(s.fsc_Exists("\r\n"), "");  // shorter than the tag
  EXPECT_EQ(s.asString(), "\r");
  EXPECT_EQ(s.fsc("\r\n"), "\r");
  EXPECT_EQ(s.DataLength(), 0);
  // The tag is the whole content.
  s.WriteString("\r\n");
  EXPECT_EQ(s.fsc("\r\n"), "");
  EXPECT_EQ(s.DataLength(), 0);
}

TEST(FifoStream, CopyStreamFromItselfCopiesThePresentContent) {
  Tfifo_Mem_stream s(4);
  s.WriteString("ab");
  EXPECT_EQ(s.CopyStream(s, 10), 2);
  EXPECT_EQ(s.asString(), "abab");
  EXPECT_EQ(s.CopyStream(s, 3), 3);
  EXPECT_EQ(s.asString(), "abababa");
  EXPECT_EQ(s.WriteStream(s, 100), 7);
  EXPECT_EQ(s.asString(), "abababaabababa");
}

TEST(FifoStream, SearchPositionsFromTheHead) {
  Tfifo_Mem_stream s(4);
  s.WriteString("zzaXbX");
  s.Delete(2);
  EXPECT_EQ(s.Pos("", 0), -1);
  EXPECT_EQ(s.Pos("X", 2), 3);
  EXPECT_EQ(s.Pos("X", 0), 1);
  EXPECT_EQ(s.Pos("X", -7), 1);
  EXPECT_EQ(s.Pos("X", 4), -1);
  EXPECT_EQ(s.Pos("bX", 3), -1);  // DataLength < startpos + tag length
  EXPECT_EQ(s.Pos("bX", 2), 2);
  EXPECT_EQ(s.Pos("Q"), -1);
  EXPECT_EQ(s.lastPos("X"), 3);
  EXPECT_EQ(s.lastPos("aX"), 0);
  EXPECT_EQ(s.lastPos("XX"), -1);
  EXPECT_EQ(s.lastPos(""), -1);
  // No match across the slack beyond the unread bytes.
  Tfifo_Mem_stream t(16);
  t.WriteString("abcdAB");
  t.Delete(4);
  EXPECT_EQ(t.Pos("AB"), 0);
  EXPECT_EQ(t.Pos("ABc"), -1);
}

TEST(FifoStream, ViewsOfTheContent) {
  Tfifo_Mem_stream s(8);
  s.WriteString("__hello");
  s.Delete(2);
  EXPECT_EQ(s.asString(0), "hello");
  EXPECT_EQ(s.asString(1000), "hello");
  EXPECT_EQ(s.asString(-3), "hello");
  EXPECT_EQ(s.asString(2), "he");
  EXPECT_EQ(s.DataLength(), 5);
  EXPECT_EQ(s.AsBytes(3), (std::vector<uint8_t>{'h', 'e', 'l'}));
  EXPECT_EQ(s.DataPointer(s.DataLength()), nullptr);
  ASSERT_NE(s.DataPointer(4), nullptr);
  EXPECT_EQ(*s.DataPointer(4), 'o');
  EXPECT_EQ(*s.DataAsArray(0), 'h');
  EXPECT_EQ(s.MD5Buf(), ux::md5_hex(std::string_view("hello")));
  s.Reset(true);
  EXPECT_EQ(s.MD5Buf(), "");
  s.WriteString("abc");
  EXPECT_EQ(s.MD5Buf(), "900150983cd24fb0d6963f7d28e17f72");
  s.Reset(true);
  s.WriteString("\xE4\xB8\xAD" "a");  // UTF-8 by default
  if (ux::code_page() == ux::CP_UTF8) {
    EXPECT_EQ(s.asWideString(), u"\u4E2Da");
  }
}

TEST(FifoStream, SetSizeAndInsertAfter) {
  Tfifo_Mem_stream s(8);
  s.WriteString("abcdef");
  s.SetSize(3);
  EXPECT_EQ(s.asString(), "abc");
  s.SetSize(5);
  EXPECT_EQ(s.DataLength(), 5);
  EXPECT_EQ(s.asString(3), "abc");
  s.SetSize(INT64_MAX);  // cannot be made: nothing changes
  EXPECT_EQ(s.DataLength(), 5);
  s.SetSize(-1);
  EXPECT_EQ(s.DataLength(), 0);
  s.WriteString("ace");
  EXPECT_EQ(s.insert_after(0, "b"), 1);
  EXPECT_EQ(s.insert_after(2, "d"), 1);
  EXPECT_EQ(s.insert_after(-1, ">"), 1);
  EXPECT_EQ(s.insert_after(99, "<"), 1);
  EXPECT_EQ(s.asString(), ">abcde<");
  EXPECT_EQ(s.insert_after(1, ""), 0);
}

TEST(FifoStream, FilesLoadAppendSaveTruncate) {
  TempDir dir;
  const std::string f = dir.file("three.bin");
  ux::write_text_to_file("xyz", f);
  Tfifo_Mem_stream s(1);
  s.WriteString("old");
  EXPECT_EQ(s.LoadFromFile(f), 3);
  EXPECT_GE(s.SpaceSize(), 3 + 64);
  s.WriteString("12");
  EXPECT_EQ(s.asString(), "xyz12");
  EXPECT_EQ(s.LoadFromFile(dir.file("missing")), 0);
  EXPECT_EQ(s.DataLength(), 0);
  EXPECT_THROW(s.LoadFromFile(dir.file("")), ux::Exception);  // a directory

  const std::string out = dir.file("out.bin");
  ux::write_text_to_file(std::string(100, 'L'), out);
  s.WriteString("__saved");
  s.Delete(2);
  s.SaveToFile(out);
  EXPECT_EQ(read_all(out), "saved");
  EXPECT_EQ(s.DataLength(), 5);
  EXPECT_THROW(s.SaveToFile(dir.file("no/such/dir")), ux::Exception);
  s.Reset(true);
  s.SaveToFile(out);
  EXPECT_EQ(read_all(out), "");
}

TEST(FifoStream, CopyAndWriteStreamCountsAndFifoSources) {
  std::string big(100000, 0);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 251);
  Tfifo_Mem_stream src(16);
  src.WriteString(big);
  Tfifo_Mem_stream dst(16);
  EXPECT_EQ(dst.WriteStream(src, 10), 10);
  EXPECT_EQ(dst.asString(), big.substr(0, 10));
  // A FIFO source is read from its head onwards, never repeated or consumed.
  dst.Reset(true);
  EXPECT_EQ(dst.WriteStream(src, 1 << 30), 100000);
  EXPECT_TRUE(dst.asString() == big);
  EXPECT_EQ(src.DataLength(), 100000);
  dst.Reset(true);
  EXPECT_EQ(dst.CopyStream(src, 20000), 20000);
  EXPECT_TRUE(dst.asString() == big.substr(0, 20000));
  EXPECT_EQ(dst.CopyStream(src, 0), 0);

  TStringSource four("wxyz");
  dst.Reset(true);
  EXPECT_EQ(dst.WriteStream(four, 10), 4);
  EXPECT_EQ(dst.asString(), "wxyz");
  // A source that claims more than it delivers: the count actually copied.
  TStringSource liar(std::string(5000, 'q'), 90000);
  dst.Reset(true);
  EXPECT_EQ(dst.WriteStream(liar, 90000), 5000);
  EXPECT_EQ(dst.DataLength(), 5000);
  TStringSource some(big.substr(0, 10000));
  dst.Reset(true);
  EXPECT_EQ(dst.CopyStream(some, 50000), 10000);
  EXPECT_TRUE(dst.asString() == big.substr(0, 10000));
}

TEST(FifoStream, MoveToAcceptedBytesOnly) {
  Tfifo_Mem_stream a(8), b(8);
  a.WriteString("payload");
  a.MoveTo(b);
  EXPECT_EQ(a.DataLength(), 0);
  EXPECT_EQ(b.asString(), "payload");
  a.MoveTo(b);  // empty source: nothing
  EXPECT_EQ(b.DataLength(), 7);
  b.MoveTo(b);
  EXPECT_EQ(b.asString(), "payload");
  Tfifo_Mem_stream small(4);
  small.SetCapacityLimit(4);
  b.MoveTo(small);  // refused: the source keeps everything
  EXPECT_EQ(b.DataLength(), 7);
  EXPECT_EQ(small.DataLength(), 0);
}

TEST(FifoStream, ProducerConsumerKeepOrder) {
  Tfifo_Mem_stream s(1024);
  constexpr int32_t kCount = 200000;
  std::thread producer([&] {
    for (int32_t i = 0; i < kCount; ++i) {
      while (s.WriteInteger(i) != 4) std::this_thread::yield();
    }
  });
  int32_t expect = 0;
  bool ordered = true;
  while (expect < kCount) {
    char b[4 * 64];
    const int32_t whole = (s.DataLength() / 4) * 4;
    const int32_t n = s.Read_And_Remove(b, whole > int32_t(sizeof(b)) ? int32_t(sizeof(b)) : whole);
    for (int32_t k = 0; k + 4 <= n; k += 4) {
      int32_t v;
      std::memcpy(&v, b + k, 4);
      if (v != expect++) ordered = false;
    }
    if (n == 0) std::this_thread::yield();
  }
  producer.join();
  EXPECT_TRUE(ordered);
  EXPECT_EQ(s.DataLength(), 0);
}

TEST(FifoStream, CrosswiseMoveToDoesNotDeadlock) {
  Tfifo_Mem_stream a(64), b(64);
  std::atomic<bool> go{false};
  auto mover = [&](Tfifo_Mem_stream& from, Tfifo_Mem_stream& to) {
    while (!go) std::this_thread::yield();
    for (int i = 0; i < 20000; ++i) {
      from.WriteString("ab");
      from.MoveTo(to);
    }
  };
  std::thread t1(mover, std::ref(a), std::ref(b));
  std::thread t2(mover, std::ref(b), std::ref(a));
  go = true;
  t1.join();
  t2.join();
  EXPECT_EQ(a.DataLength() + b.DataLength(), 2 * 2 * 20000);
}

TEST(StreamPool, KeepsAtMostPoolSizePlusOne) {
  ux::TMem_Stream_Pool pool;
  EXPECT_TRUE(pool.Active());
  EXPECT_EQ(pool.Pool_Size(), 100);
  std::vector<std::unique_ptr<Tfifo_Mem_stream>> streams;
  for (int i = 0; i < 102; ++i) streams.push_back(pool.Pop(64));
  EXPECT_EQ(pool.Length(), 0);
  for (int i = 0; i < 100; ++i) pool.Push(std::move(streams[size_t(i)]));
  EXPECT_EQ(pool.Length(), 100);
  pool.Push(std::move(streams[100]));  // holds 100: kept
  EXPECT_EQ(pool.Length(), 101);
  pool.Push(std::move(streams[101]));  // holds 101: destroyed
  EXPECT_EQ(pool.Length(), 101);
  pool.Push(nullptr);
  EXPECT_EQ(pool.Length(), 101);

  auto s = std::make_unique<Tfifo_Mem_stream>(600000);
  Tfifo_Mem_stream* raw = s.get();
  s->WriteString("left over");
  pool.Destroy();
  EXPECT_FALSE(pool.Active());
  EXPECT_EQ(pool.Length(), 0);
  EXPECT_EQ(pool.Pop(10), nullptr);
  pool.SetActive(true);
  pool.Push(std::move(s));
  auto back = pool.Pop(10);  // most recently pushed, reset and compacted
  EXPECT_EQ(back.get(), raw);
  EXPECT_EQ(back->DataLength(), 0);
  EXPECT_EQ(back->SpaceSize(), 32768);
  EXPECT_EQ(pool.Pop(10)->SpaceSize(), 10);

  auto g = ux::mem_stream_pool().Pop(128);
  ASSERT_NE(g, nullptr);
  g->WriteString("x");
  ux::mem_stream_pool().Push(std::move(g));
  EXPECT_GE(ux::mem_stream_pool().Length(), 1);
}

TEST(BlockRecycler, ReuseSizeClassesAndBadAddresses) {
  void* a = ux::get_mem_block(8264);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
  std::memset(a, 0x5A, 8264);
  ux::TEx_Mem_Block_List& small = ux::thread_mem_block_list(false);
  const int32_t kept = small.count();
  ux::free_mem_block(a);
  EXPECT_EQ(small.count(), kept + 1);
  ux::free_mem_block(a);  // double free: ignored
  EXPECT_EQ(small.count(), kept + 1);
  EXPECT_EQ(ux::get_mem_block(8000), a);  // the kept block fits
  ux::free_mem_block(a);

  void* big = ux::get_mem_block(ux::kSmallBlockMax + 1);
  ASSERT_NE(big, nullptr);
  std::memset(big, 1, ux::kSmallBlockMax + 1);
  ux::TEx_Mem_Block_List& large = ux::thread_mem_block_list(true);
  const int32_t large_kept = large.count();
  ux::free_mem_block(big);
  EXPECT_EQ(large.count(), large_kept + 1);

  // A kept block too small for the request is enlarged; 69632 bytes is
  // still a small block.
  const int32_t small_before = small.count();
  void* grown = ux::get_mem_block(ux::kSmallBlockMax);
  ASSERT_NE(grown, nullptr);
  std::memset(grown, 2, ux::kSmallBlockMax);
  ux::free_mem_block(grown);
  EXPECT_EQ(small.count(), small_before);
  EXPECT_EQ(large.count(), large_kept + 1);
  EXPECT_EQ(small.max_recyle_block_count(), 2000);
  EXPECT_EQ(large.max_recyle_block_count(), 500);

  EXPECT_EQ(ux::get_mem_block(-1), nullptr);
  EXPECT_EQ(small.get_block(ux::TEx_Mem_Block_List::kMaxBlockSize + 1, false), nullptr);
  ux::free_mem_block(nullptr);
  std::vector<uint64_t> foreign(16, 0);
  ux::free_mem_block(&foreign[8]);  // not handed out: ignored
  std::vector<uint64_t> fake(16, 0);
  fake[7] = reinterpret_cast<uintptr_t>(&foreign[0]);  // record address, no check value
  ux::free_mem_block(&fake[8]);
}

TEST(BlockRecycler, KeepLimitReleasesSurplus) {
  ux::TEx_Mem_Block_List* l = ux::TEx_Mem_Block_List::create(2);
  EXPECT_EQ(l->max_recyle_block_count(), 2);
  std::vector<void*> blocks;
  for (int i = 0; i < 6; ++i) blocks.push_back(l->get_block(100 + i, false));
  for (void* b : blocks) ux::free_mem_block(b);
  EXPECT_EQ(l->count(), 3);  // limit + 1
  l->Setmax_recyle_block_count(10);
  EXPECT_EQ(l->max_recyle_block_count(), 10);
  void* keep_out = l->get_block(50, false);
  l->close();
  ux::free_mem_block(keep_out);  // after close: released, and the list with it
}

TEST(BlockRecycler, FreedByAnotherThreadReturnsToIssuer) {
  void* p = ux::get_mem_block(8264);
  ASSERT_NE(p, nullptr);
  ux::TEx_Mem_Block_List& mine = ux::thread_mem_block_list(false);
  const int32_t before = mine.count();
  int32_t other_count = -1;
  std::thread([&] {
    ux::free_mem_block(p);
    other_count = ux::thread_mem_block_list(false).count();
  }).join();
  EXPECT_EQ(other_count, 0);
  EXPECT_EQ(mine.count(), before + 1);
  EXPECT_EQ(ux::get_mem_block(8264), p);
  ux::free_mem_block(p);
}

TEST(BlockRecycler, BlocksOutliveTheirThread) {
  std::vector<void*> blocks;
  std::thread([&] {
    for (int i = 0; i < 4; ++i) blocks.push_back(ux::get_mem_block(1000 * (i + 1)));
    ux::free_mem_block(ux::get_mem_block(300000));  // kept by a list that dies with the thread
  }).join();
  for (void* b : blocks) {
    ASSERT_NE(b, nullptr);
    std::memset(b, 7, 1000);
  }
  // Freed from here, then from yet another thread: released, no leak.
  ux::free_mem_block(blocks[0]);
  ux::free_mem_block(blocks[1]);
  std::thread([&] {
    ux::free_mem_block(blocks[2]);
    ux::free_mem_block(blocks[3]);
  }).join();
}

// Destroyed after the thread's block lists: asks for blocks while its thread ends.
std::atomic<void*> g_late_block{nullptr};
struct TLateUser {
  ~TLateUser() {
    ux::free_mem_block(ux::get_mem_block(500));
    g_late_block = ux::get_mem_block(700);
  }
};
thread_local TLateUser t_late_user;

TEST(BlockRecycler, RequestsDuringThreadEndAreReleased) {
  std::thread([] {
    (void)&t_late_user;  // constructed before the thread's lists
    void* p = ux::get_mem_block(100);
    ux::free_mem_block(p);
  }).join();
  void* late = g_late_block.exchange(nullptr);
  ASSERT_NE(late, nullptr);
  std::memset(late, 9, 700);
  ux::free_mem_block(late);
}

TEST(BlockRecycler, ConcurrentCrossThreadFreesReturnToTheIssuer) {
  // Each thread issues blocks of its own size and hands them to the other,
  // which checks their stamp and frees them while the issuer goes on issuing
  // from the same list. At most kWindow blocks of a thread are out at a time,
  // so when every freed block goes back to its issuer's list, a thread never
  // needs more than kWindow records, no address is issued by both threads,
  // and at the end each thread's list keeps every record it made.
  constexpr int kRounds = 4000;
  constexpr int kWindow = 16;
  constexpr int32_t kSize[2] = {3000, 5000};
  struct THandOver {
    void* block;
    uint64_t stamp;
  };
  std::mutex m;
  std::vector<THandOver> inbox[2];
  std::atomic<int> out[2] = {0, 0};  // issued and not yet freed
  std::atomic<int> bad_stamps{0};
  std::set<void*> issued[2];  // each written by its own thread only
  int32_t kept[2] = {-1, -1};
  bool completed[2] = {false, false};
  std::barrier all_freed(2);
  auto worker = [&](int me) {
    const int other = 1 - me;
    int made = 0, freed = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((made < kRounds || freed < kRounds) && std::chrono::steady_clock::now() < deadline) {
      bool progress = false;
      if (made < kRounds && out[me].load() < kWindow) {
        void* b = ux::get_mem_block(kSize[me]);
        if (!b) break;
        const uint64_t stamp = uint64_t(me) << 32 | uint32_t(made);
        std::memcpy(b, &stamp, sizeof stamp);
        issued[me].insert(b);
        ++out[me];
        ++made;
        progress = true;
        std::lock_guard<std::mutex> g(m);
        inbox[other].push_back({b, stamp});
      }
      std::vector<THandOver> mine;
      {
        std::lock_guard<std::mutex> g(m);
        mine.swap(inbox[me]);
      }
      for (const THandOver& h : mine) {
        uint64_t seen;
        std::memcpy(&seen, h.block, sizeof seen);
        if (seen != h.stamp) ++bad_stamps;  // handed out again while in use
        ux::free_mem_block(h.block);
        --out[other];
        ++freed;
        progress = true;
      }
      if (!progress) std::this_thread::yield();
    }
    completed[me] = made == kRounds && freed == kRounds;
    all_freed.arrive_and_wait();
    kept[me] = ux::thread_mem_block_list(false).count();
  };
  std::thread t0(worker, 0), t1(worker, 1);
  t0.join();
  t1.join();
  ASSERT_TRUE(completed[0] && completed[1]);
  EXPECT_EQ(bad_stamps.load(), 0);
  for (int me = 0; me < 2; ++me) {
    EXPECT_LE(issued[me].size(), size_t(kWindow)) << "thread " << me;
    EXPECT_EQ(size_t(kept[me]), issued[me].size()) << "thread " << me;
    for (void* b : issued[me]) EXPECT_EQ(issued[1 - me].count(b), 0u) << "issued by both threads";
  }
}

size_t locked_kib() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmLck:", 0) == 0) return std::stoul(line.substr(6));
  return 0;
}

TEST(PhysMem, LockedBlockWholePagesAndErrors) {
  const size_t ps = size_t(::sysconf(_SC_PAGESIZE));
  if (!ux::mem_lock_granted()) GTEST_SKIP() << "page locking not permitted here";
  const size_t before = locked_kib();
  {
    ux::TAWE_Mem m(uint32_t(2 * ps + 100));
    if (m.GetError() == ux::TAWE_Mem::kNotGranted) GTEST_SKIP() << "lock limit below 3 pages";
    ASSERT_EQ(m.GetError(), ux::TAWE_Mem::kOk);
    EXPECT_TRUE(m.active());
    EXPECT_EQ(m.MemSize(), 2 * ps + 100);
    EXPECT_EQ(m.page_count(), 3u);  // the partial last page is mapped too
    EXPECT_EQ(m.Mem(), m.asArray());
    std::memset(m.Mem(), 'p', m.MemSize());
    EXPECT_EQ(m.asString(), std::string(2 * ps + 100, 'p'));
    EXPECT_EQ(locked_kib(), before + 3 * ps / 1024);
  }
  EXPECT_EQ(locked_kib(), before);
  ux::TAWE_Mem none(0);
  EXPECT_EQ(none.GetError(), ux::TAWE_Mem::kNoReserve);
  EXPECT_FALSE(none.active());
  EXPECT_EQ(none.asString(), "");

  // A physical block backs the recycler's block: locked, page-aligned record.
  ASSERT_TRUE(ux::phys_blocks_enabled());
  void* p = ux::get_mem_block(8264, true);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % ps, 16u);
  // (A block kept by an earlier run in this process is locked already.)
  EXPECT_GE(locked_kib(), (8264 + 1024) / 1024);
  std::memset(p, 3, 8264);
  ux::free_mem_block(p);
  EXPECT_EQ(ux::get_mem_block(8264, true), p);  // kept with its physical block
  ux::free_mem_block(p);
}

// In a child without the right to lock pages: -1, and the recycler falls back
// to ordinary memory for the rest of the process.
TEST(PhysMem, NotGrantedFallsBackToOrdinaryMemory) {
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (::syscall(SYS_capget, &hdr, data) != 0) ::_exit(10);
    data[0].effective &= ~(1u << CAP_IPC_LOCK);
    data[0].permitted &= ~(1u << CAP_IPC_LOCK);
    if (::syscall(SYS_capset, &hdr, data) != 0) ::_exit(11);
    rlimit rl{0, 0};
    if (::setrlimit(RLIMIT_MEMLOCK, &rl) != 0) ::_exit(12);
    ux::TAWE_Mem m(65536);
    if (m.GetError() != ux::TAWE_Mem::kNotGranted) ::_exit(13);
    if (m.active()) ::_exit(14);
    // Larger than any block kept with a physical block by earlier tests.
    void* b = ux::get_mem_block(30000, true);
    if (!b) ::_exit(15);
    std::memset(b, 1, 30000);
    if (ux::phys_blocks_enabled()) ::_exit(16);
    ux::free_mem_block(b);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
