#include "archive/io_compress_7zip.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstring>
#include <map>
#include <vector>

#include "common/ux_fd_stream.h"
#include "support/archive_maker.h"
#include "support/string_stream.h"

using namespace ux;
using namespace qlyn_test;

namespace {

constexpr const char* kPass = "pa55-w0rd";

class SevenZipTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_7zz()) GTEST_SKIP() << "7zz not installed";
    src = tmp / "src";
    fs::create_directories(src);
  }
  TComPtr<I7zInArchive> open(const std::string& archive, const std::u16string& password = u"") {
    auto a = new_in_archive(CLSID_CFormat7z, library_path());
    a->UsePassword(password);
    a->OpenArchive(archive);
    return a;
  }
  std::string item_path(I7zInArchive& a, uint32_t i) { return utf16_to_utf8(a.ItemPath(i)); }

  TTempDir tmp{"qlyn_7z"};
  std::string src;
};

struct TProgressLog {
  std::vector<std::pair<bool, int64_t>> calls;
  HRESULT answer = 0;
  int64_t abort_after = 0;
};
HRESULT log_progress(void* sender, bool total, int64_t value) {
  auto* log = static_cast<TProgressLog*>(sender);
  log->calls.emplace_back(total, value);
  return !total && value > log->abort_after ? log->answer : 0;
}

struct TPasswordLog {
  int asked = 0;
  std::u16string answer;
};
HRESULT give_password(void* sender, std::u16string& password) {
  auto* log = static_cast<TPasswordLog*>(sender);
  ++log->asked;
  password = log->answer;
  return 0;
}

}  // namespace

// ABI facts of the real library that the binding relies on.
TEST_F(SevenZipTest, LibraryFactsAndHandlerProperties) {
  void* h = dlopen(library_path().c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(h, nullptr);
  using TGetModuleProp = HRESULT (*)(PROPID, PROPVARIANT*);
  auto get_module_prop = reinterpret_cast<TGetModuleProp>(dlsym(h, "GetModuleProp"));
  ASSERT_NE(get_module_prop, nullptr);
  PROPVARIANT v{};
  ASSERT_EQ(get_module_prop(0, &v), S_OK);  // kInterfaceType: 0 = no virtual destructor
  EXPECT_EQ(v.vt, VT_UI4);
  EXPECT_EQ(v.ulVal, 0u);
  EXPECT_EQ(sizeof(wchar_t), 4u);
  dlclose(h);

  T7zArchive lib(library_path());
  EXPECT_EQ(lib.GetLibStringProperty(kName), u"7z");
  EXPECT_EQ(lib.GetLibGUIDProperty(kClassID), CLSID_CFormat7z);
  EXPECT_EQ(guid_text(CLSID_CFormat7z), "{23170F69-40C1-278A-1000-000110070000}");

  void* obj = nullptr;
  EXPECT_EQ(lib.CreateObject(CLSID_CFormat7z, IID_IInArchive, &obj), S_OK);
  ASSERT_NE(obj, nullptr);
  EXPECT_EQ(static_cast<IInArchive*>(obj)->Release(), 0u);
  TGUID unknown = CLSID_CFormat7z;
  unknown.Data1 = 0x12345678;
  EXPECT_THROW(lib.CreateObject(unknown, IID_IInArchive, &obj), Exception);
}

TEST_F(SevenZipTest, LoadingErrorsNameTheLibrary) {
  const std::string missing = tmp / "nothere.so";
  try {
    new_in_archive(CLSID_CFormat7z, missing);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.what()), "Error loading library " + missing);
  }
  const std::string damaged = tmp / "7z.so";
  write_file(damaged, read_file(library_path()).substr(0, 4096));
  try {
    new_in_archive(CLSID_CFormat7z, damaged);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.what()), "Error loading library " + damaged);
  }
  try {
    new_in_archive(CLSID_CFormat7z, "libm.so.6");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.what()), "libm.so.6 is not a 7z library");
  }
  // A library with the object factory but no format handler entry.
  const std::string c_src = tmp / "fake.c", so = tmp / "fake.so";
  write_file(c_src,
             "int CreateObject(const void* c, const void* i, void** o) { *o = 0; return 1; }\n"
             "void* SysAllocString(const void* s) { return 0; }\n"
             "void SysFreeString(void* s) {}\n"
             "int VariantClear(void* v) { return 0; }\n");
  if (sh("cc -shared -fPIC -o " + quote(so) + " " + quote(c_src) + " 2>/dev/null") != 0)
    GTEST_SKIP() << "no C compiler";
  try {
    new_in_archive(CLSID_CFormat7z, so);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.what()), so + " is not a Format library");
  }
}

TEST(SevenZipResult, TextsNameTheCode) {
  EXPECT_EQ(result_text(S_FALSE), "not an archive or wrong password (0x00000001)");
  EXPECT_EQ(result_text(E_ABORT), "operation aborted (0x80004004)");
  EXPECT_EQ(result_text(hresult_from_errno(ENOSPC)), std::string(strerror(ENOSPC)) + " (0x8800001C)");
  EXPECT_NO_THROW(check_result(S_OK));
  EXPECT_THROW(check_result(S_FALSE), Exception);
  EXPECT_EQ(operation_result_text(kDataError), "data error (damaged data or wrong password)");
}

TEST_F(SevenZipTest, ExtractsTreeWithPasswordNonAsciiNamesAndEmptyFolders) {
  write_file(src + "/win64/rk50cli_dsk", sample_bytes(300000, 1));
  write_file(src + "/win64/数据/说明 文件.txt", "中文内容");
  write_file(src + "/win64/conf/a.ini", "[common]\n");
  write_file(src + "/win64/empty.dat", "");
  fs::create_directories(src + "/win64/logs");  // empty folder
  const std::string archive = tmp / "pkg.7z";
  ASSERT_EQ(make_7z(archive, src, "win64", std::string("-p") + kPass), 0);

  auto a = open(archive, utf8_to_utf16(kPass));
  const uint32_t n = a->ItemCount();
  EXPECT_EQ(n, 8u);
  std::map<std::string, uint32_t> index;
  for (uint32_t i = 0; i < n; ++i) index[item_path(*a, i)] = i;
  ASSERT_TRUE(index.count("win64/数据/说明 文件.txt"));
  EXPECT_TRUE(a->ItemIsFolder(index["win64/logs"]));
  EXPECT_FALSE(a->ItemIsFolder(index["win64/rk50cli_dsk"]));
  EXPECT_EQ(a->ItemSize(index["win64/rk50cli_dsk"]), 300000);
  EXPECT_TRUE(a->ItemName(0).empty());
  EXPECT_THROW(a->ItemPath(n), Exception);

  const std::string dest = tmp / "out";  // no trailing "/": extracts into it
  a->ExtractAllToFolder(dest);
  EXPECT_EQ(read_file(dest + "/win64/rk50cli_dsk"), sample_bytes(300000, 1));
  EXPECT_EQ(read_file(dest + "/win64/数据/说明 文件.txt"), "中文内容");
  EXPECT_EQ(read_file(dest + "/win64/conf/a.ini"), "[common]\n");
  EXPECT_TRUE(exists(dest + "/win64/empty.dat"));
  EXPECT_FALSE(exists(dest + "/win64/logs"));
  EXPECT_FALSE(exists(tmp / "outwin64"));
  a->CloseArchive();
}

TEST_F(SevenZipTest, UnixModesApplyRwxOnlyAndSymlinksAreNotCreated) {
  write_file(src + "/bin/tool", "#!/bin/sh\necho ok\n");
  write_file(src + "/bin/secret", "s");
  write_file(src + "/bin/outside_target", "t");
  ASSERT_EQ(::chmod((src + "/bin/tool").c_str(), 04754), 0);
  ASSERT_EQ(::chmod((src + "/bin/secret").c_str(), 0600), 0);
  ASSERT_EQ(::symlink("/etc/passwd", (src + "/bin/link").c_str()), 0);
  const std::string archive = tmp / "modes.7z";
  ASSERT_EQ(make_7z(archive, src, "bin", "-snl -p" + std::string(kPass)), 0);

  auto a = open(archive, utf8_to_utf16(kPass));
  const std::string dest = tmp / "out";
  a->ExtractAllToFolder(dest + "/");
  struct stat st;
  ASSERT_EQ(::stat((dest + "/bin/tool").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0754u);
  ASSERT_EQ(::stat((dest + "/bin/secret").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_FALSE(exists(dest + "/bin/link"));
  EXPECT_EQ(read_file(dest + "/bin/tool"), "#!/bin/sh\necho ok\n");
}

TEST_F(SevenZipTest, EncryptedHeadersNeedThePasswordBeforeOpening) {
  write_file(src + "/f.txt", "header-encrypted");
  const std::string archive = tmp / "he.7z";
  ASSERT_EQ(make_7z(archive, src, "f.txt", std::string("-mhe=on -p") + kPass), 0);

  auto a = open(archive, utf8_to_utf16(kPass));
  ASSERT_EQ(a->ItemCount(), 1u);
  a->ExtractAllToFolder(tmp / "out");
  EXPECT_EQ(read_file(tmp / "out/f.txt"), "header-encrypted");

  EXPECT_THROW(open(archive), Exception);
  try {
    open(archive, u"wrong");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_NE(std::string(e.what()).find("Cannot open archive " + archive), std::string::npos) << e.what();
  }

  // Without a password in force the callback is asked during Open.
  auto b = new_in_archive(CLSID_CFormat7z, library_path());
  TPasswordLog log{0, utf8_to_utf16(kPass)};
  EXPECT_FALSE(b->UsePassword(u""));
  b->SetPasswordHandler(&log, give_password);
  b->OpenArchive(archive);
  EXPECT_EQ(log.asked, 1);
  b->ExtractAllToFolder(tmp / "out2");
  EXPECT_EQ(log.asked, 1);  // remembered for the extraction
  EXPECT_EQ(read_file(tmp / "out2/f.txt"), "header-encrypted");
  // Close forgets the password: reopening asks again.
  b->CloseArchive();
  b->OpenArchive(archive);
  EXPECT_EQ(log.asked, 2);
}

TEST_F(SevenZipTest, WrongPasswordFailsNamingTheFirstItemAndLeavesNoPartialFiles) {
  write_file(src + "/a/first.bin", sample_bytes(200000, 2));
  write_file(src + "/a/second.bin", sample_bytes(1000, 3));
  const std::string archive = tmp / "pw.7z";
  ASSERT_EQ(make_7z(archive, src, "a", std::string("-ms=off -p") + kPass), 0);

  auto a = open(archive, u"not-the-password");
  const std::string dest = tmp / "out";
  try {
    a->ExtractAllToFolder(dest);
    FAIL() << "wrong password extracted";
  } catch (const Exception& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("\"a/"), std::string::npos) << what;
    EXPECT_NE(what.find("wrong password"), std::string::npos) << what;
  }
  EXPECT_FALSE(exists(dest + "/a/first.bin"));
  EXPECT_FALSE(exists(dest + "/a/second.bin"));

  // No password at all and no callback: the same failure, never success.
  auto b = open(archive);
  EXPECT_THROW(b->ExtractAllToFolder(tmp / "out2"), Exception);
}

TEST_F(SevenZipTest, BadArchivesRaiseOnOpen) {
  write_file(src + "/big.bin", sample_bytes(500000, 4));
  const std::string archive = tmp / "ok.7z";
  ASSERT_EQ(make_7z(archive, src, "big.bin", std::string("-p") + kPass), 0);
  const std::string whole = read_file(archive);

  const std::string truncated = tmp / "truncated.7z";
  write_file(truncated, whole.substr(0, whole.size() / 2));
  EXPECT_THROW(open(truncated, utf8_to_utf16(kPass)), Exception);

  const std::string empty = tmp / "empty.7z";
  write_file(empty, "");
  EXPECT_THROW(open(empty, utf8_to_utf16(kPass)), Exception);

  const std::string text = tmp / "text.7z";
  write_file(text, "this is not an archive at all");
  try {
    open(text);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_NE(std::string(e.what()).find("not an archive"), std::string::npos) << e.what();
  }
  try {
    open(tmp / "missing.7z");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_NE(std::string(e.what()).find("missing.7z"), std::string::npos) << e.what();
  }

  // Damaged packed data: opens, then the item fails and is removed.
  std::string damaged = whole;
  for (size_t i = 64; i < 4096; ++i) damaged[i] = char(damaged[i] ^ 0x5A);
  const std::string bad = tmp / "damaged.7z";
  write_file(bad, damaged);
  auto a = open(bad, utf8_to_utf16(kPass));
  EXPECT_THROW(a->ExtractAllToFolder(tmp / "out"), Exception);
  EXPECT_FALSE(exists(tmp / "out/big.bin"));
}

TEST_F(SevenZipTest, HostilePathsAreRefusedAndNothingOutsideChanges) {
  write_file(src + "/sub/x.txt", "payload");
  write_file(src + "/sub/ok.txt", "fine");
  const std::string dotdot = tmp / "dotdot.7z";
  ASSERT_EQ(make_7z(dotdot, src, "sub", std::string("-p") + kPass), 0);
  ASSERT_EQ(sh("7zz rn -bso0 -bse0 -p" + std::string(kPass) + " " + quote(dotdot) + " sub/x.txt ../../escaped.txt"), 0);

  const std::string dest = tmp / "a/b/out";
  auto a = open(dotdot, utf8_to_utf16(kPass));
  try {
    a->ExtractAllToFolder(dest);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_NE(std::string(e.what()).find("../../escaped.txt"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(exists(tmp / "a/escaped.txt"));
  EXPECT_FALSE(exists(tmp / "escaped.txt"));
  EXPECT_EQ(read_file(dest + "/sub/ok.txt"), "fine");  // the other items still extract

  const std::string victim = tmp / "victim.txt";
  write_file(victim, "original");
  const std::string absolute = tmp / "abs.7z";
  ASSERT_EQ(make_7z(absolute, "/", "-spf " + quote(victim), std::string("-p") + kPass), 0);
  write_file(victim, "original");
  auto b = open(absolute, utf8_to_utf16(kPass));
  EXPECT_THROW(b->ExtractAllToFolder(tmp / "out2"), Exception);
  EXPECT_EQ(read_file(victim), "original");

  // A folder link inside the target that points outside is not followed.
  const std::string outside = tmp / "outside";
  fs::create_directories(outside);
  fs::create_directories(tmp / "out3");
  ASSERT_EQ(::symlink(outside.c_str(), (tmp / "out3/sub").c_str()), 0);
  auto c = open(dotdot, utf8_to_utf16(kPass));
  EXPECT_THROW(c->ExtractAllToFolder(tmp / "out3"), Exception);
  EXPECT_FALSE(exists(outside + "/ok.txt"));
}

TEST_F(SevenZipTest, ProgressIsCumulativeAndANonZeroAnswerAborts) {
  write_file(src + "/p1.bin", sample_bytes(3000000, 5));
  write_file(src + "/p2.bin", sample_bytes(3000000, 6));
  const std::string archive = tmp / "prog.7z";
  ASSERT_EQ(make_7z(archive, src, "p1.bin p2.bin", std::string("-ms=off -p") + kPass), 0);

  auto a = open(archive, utf8_to_utf16(kPass));
  TProgressLog log;
  a->SetProgressHandler(&log, log_progress);
  a->ExtractAllToFolder(tmp / "out");
  ASSERT_FALSE(log.calls.empty());
  EXPECT_TRUE(log.calls.front().first);
  EXPECT_EQ(log.calls.front().second, 6000000);
  int64_t last = -1;
  for (size_t i = 1; i < log.calls.size(); ++i) {
    EXPECT_FALSE(log.calls[i].first);
    EXPECT_GE(log.calls[i].second, last);
    last = log.calls[i].second;
  }
  EXPECT_EQ(last, 6000000);

  TProgressLog stop;
  stop.answer = 1;
  stop.abort_after = 1000000;
  auto b = open(archive, utf8_to_utf16(kPass));
  b->SetProgressHandler(&stop, log_progress);
  EXPECT_THROW(b->ExtractAllToFolder(tmp / "out2"), Exception);
  EXPECT_FALSE(exists(tmp / "out2/p1.bin"));
  EXPECT_FALSE(exists(tmp / "out2/p2.bin"));
}

namespace {
struct TCollect {
  std::map<uint32_t, TStringStream*> streams;
};
HRESULT collect_stream(void* sender, uint32_t index, ISequentialOutStream*& out) {
  auto* c = static_cast<TCollect*>(sender);
  auto* s = new TStringStream;
  c->streams[index] = s;
  auto* w = new T7zStream(s, false);
  w->AddRef();
  out = static_cast<IOutStream*>(w);
  return 0;
}
}  // namespace

TEST_F(SevenZipTest, ExtractToStreamsAndThroughCallbacks) {
  write_file(src + "/one.txt", "first item");
  write_file(src + "/two.txt", "second item");
  const std::string archive = tmp / "s.7z";
  ASSERT_EQ(make_7z(archive, src, "one.txt two.txt", std::string("-p") + kPass), 0);
  auto a = open(archive, utf8_to_utf16(kPass));
  ASSERT_EQ(a->ItemCount(), 2u);
  const uint32_t one = item_path(*a, 0) == "one.txt" ? 0 : 1;

  TStringStream mem;
  a->ExtractItemToStream(one, mem, false);
  EXPECT_EQ(mem.data, "first item");
  TStringStream tested;
  a->ExtractItemToStream(one, tested, true);
  EXPECT_TRUE(tested.data.empty());
  EXPECT_THROW(a->ExtractItemToStream(7, mem, false), Exception);

  TCollect all;
  a->ExtractEvery(false, &all, collect_stream);
  ASSERT_EQ(all.streams.size(), 2u);
  EXPECT_EQ(all.streams[one]->data, "first item");
  EXPECT_EQ(all.streams[1 - one]->data, "second item");
  for (auto& [i, s] : all.streams) delete s;

  TCollect some;
  const uint32_t only = 1 - one;
  a->ExtractSome(&only, 1, false, &some, collect_stream);
  ASSERT_EQ(some.streams.size(), 1u);
  EXPECT_EQ(some.streams[only]->data, "second item");
  for (auto& [i, s] : some.streams) delete s;

  // The archive read through a caller's stream.
  TStringStream file;
  file.data = read_file(archive);
  TComPtr<T7zStream> in(new T7zStream(&file, false));
  auto b = new_in_archive(CLSID_CFormat7z, library_path());
  b->UsePassword(utf8_to_utf16(kPass));
  b->OpenArchiveStream(in.get());
  EXPECT_EQ(b->ItemCount(), 2u);
  EXPECT_EQ(b->FormatClassId(), CLSID_CFormat7z);
  b->CloseArchive();
}

TEST_F(SevenZipTest, NonAsciiPasswordsAndNamesBeyondTheBmpCrossAsUtf16Units) {
  write_file(src + "/😀 smile/文件.txt", "astral");
  const std::string archive = tmp / "astral.7z";
  ASSERT_EQ(make_7z(archive, src, quote("😀 smile"), "-mhe=on -p" + quote("密码😀")), 0);
  auto a = open(archive, utf8_to_utf16("密码😀"));
  ASSERT_EQ(a->ItemCount(), 2u);
  std::u16string p = a->ItemPath(0).size() > a->ItemPath(1).size() ? a->ItemPath(0) : a->ItemPath(1);
  EXPECT_EQ(p, u"😀 smile/文件.txt");
  EXPECT_EQ(p[0], char16_t(0xD83D));  // a surrogate pair: two units
  a->ExtractAllToFolder(tmp / "out");
  EXPECT_EQ(read_file(tmp / "out/😀 smile/文件.txt"), "astral");
  EXPECT_THROW(open(archive, utf8_to_utf16("密码")), Exception);

  // Folder names given as GBK byte strings when 936 is the process code page.
  const int saved = code_page();
  set_code_page(CP_GBK);
  auto b = open(archive, utf8_to_utf16("密码😀"));
  b->ExtractAllToFolder(tmp.path() + "/" + utf8_to_gbk("目录"));
  set_code_page(saved);
  EXPECT_EQ(read_file(tmp / "目录/😀 smile/文件.txt"), "astral");
}

namespace {
// Output stream that refuses every write.
class TFullStream : public TStream {
 public:
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t, TSeekOrigin) override { return 0; }
  void SetSize(int64_t) override {}
};
HRESULT full_stream(void* sender, uint32_t, ISequentialOutStream*& out) {
  auto* w = new T7zStream(static_cast<TFullStream*>(sender), false);
  w->AddRef();
  out = static_cast<IOutStream*>(w);
  return 0;
}
}  // namespace

TEST_F(SevenZipTest, FailedWritesAndStoppedProgressGiveClearErrors) {
  write_file(src + "/w.bin", sample_bytes(70000, 9));
  const std::string archive = tmp / "w.7z";
  ASSERT_EQ(make_7z(archive, src, "w.bin", std::string("-p") + kPass), 0);
  auto a = open(archive, utf8_to_utf16(kPass));
  TFullStream full;
  try {
    a->ExtractEvery(false, &full, full_stream);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_NE(std::string(e.what()).find("\"w.bin\""), std::string::npos) << e.what();
  }

  TProgressLog stop;
  stop.answer = 1;
  a->SetProgressHandler(&stop, log_progress);
  try {
    a->ExtractAllToFolder(tmp / "out");
    FAIL();
  } catch (const Exception& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("stopped by the progress handler"), std::string::npos) << what;
    EXPECT_EQ(what.find("wrong password"), std::string::npos) << what;
  }
  EXPECT_FALSE(exists(tmp / "out/w.bin"));

  TComPtr<T7zStream> ro(new T7zStream(std::make_unique<TFdStream>(archive, TFdStream::fmOpenRead)));
  EXPECT_NE(ro->SetSize(3), S_OK);
}

// Existing files are replaced, not written through: a running executable
// (busy for writing), a read-only file and a hard link to a file elsewhere.
TEST_F(SevenZipTest, ExtractionReplacesExistingFilesInsteadOfWritingThroughThem) {
  write_file(src + "/app/run", "#!/bin/sh\nexit 0\n");
  write_file(src + "/app/ro.txt", "new read-only");
  write_file(src + "/app/linked.txt", "new linked");
  ::chmod((src + "/app/ro.txt").c_str(), 0444);
  const std::string archive = tmp / "re.7z";
  ASSERT_EQ(make_7z(archive, src, "app", std::string("-p") + kPass), 0);

  const std::string dest = tmp / "out";
  write_file(dest + "/app/ro.txt", "old");
  ::chmod((dest + "/app/ro.txt").c_str(), 0444);
  const std::string elsewhere = tmp / "elsewhere.txt";
  write_file(elsewhere, "keep me");
  ASSERT_EQ(::link(elsewhere.c_str(), (dest + "/app/linked.txt").c_str()), 0);
  fs::copy_file("/bin/sleep", dest + "/app/run");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::execl((dest + "/app/run").c_str(), "run", "30", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // The executable is busy once the child has exec'd it.
  for (int i = 0; i < 500 && read_file("/proc/" + std::to_string(child) + "/comm") != "run\n"; ++i) ::usleep(10000);

  auto a = open(archive, utf8_to_utf16(kPass));
  EXPECT_NO_THROW(a->ExtractAllToFolder(dest));
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_TRUE(read_file(dest + "/app/run") == "#!/bin/sh\nexit 0\n");
  EXPECT_EQ(read_file(dest + "/app/ro.txt"), "new read-only");
  EXPECT_EQ(read_file(dest + "/app/linked.txt"), "new linked");
  EXPECT_EQ(read_file(elsewhere), "keep me");
}

// Error texts are process text: under code page 936 the folder names in them
// are GBK, like the path the caller gave.
TEST_F(SevenZipTest, ErrorTextsUseTheProcessCodePage) {
  write_file(src + "/数据/a.txt", "a");
  const std::string archive = tmp / "cp.7z";
  ASSERT_EQ(make_7z(archive, src, quote("数据"), std::string("-p") + kPass), 0);
  fs::create_directories(tmp / "目录/数据/a.txt");  // a folder where the file goes
  qlyn_test::TCodePageScope gbk(CP_GBK);
  auto a = open(archive, utf8_to_utf16(kPass));
  try {
    a->ExtractAllToFolder(utf8_to_gbk(tmp / "目录"));
    FAIL();
  } catch (const Exception& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("a folder exists at " + utf8_to_gbk(tmp / "目录/数据/a.txt")), std::string::npos) << what;
  }
  try {
    TFdStream f(tmp / "目录/none", TFdStream::fmOpenRead);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_NE(std::string(e.what()).find(utf8_to_gbk(tmp / "目录/none")), std::string::npos) << e.what();
  }
}

TEST_F(SevenZipTest, MissingStreamsAndIndexListsAreRefused) {
  write_file(src + "/one.txt", "1");
  const std::string archive = tmp / "n.7z";
  ASSERT_EQ(make_7z(archive, src, "one.txt"), 0);
  auto a = new_in_archive(CLSID_CFormat7z, library_path());
  EXPECT_THROW(a->OpenArchiveStream(nullptr), Exception);
  a->OpenArchive(archive);
  TCollect none;
  EXPECT_THROW(a->ExtractSome(nullptr, 1, false, &none, collect_stream), Exception);
  EXPECT_TRUE(none.streams.empty());
  a->ExtractSome(nullptr, 0, false, &none, collect_stream);
  EXPECT_TRUE(none.streams.empty());
}
