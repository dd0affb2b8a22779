#include "common/ux_vpath_container.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "common/ext_mem.h"
#include "common/ux_common.h"
#include "common/ux_split_file.h"

#include "support/scoped_env.h"
#include "support/test_files.h"

namespace fs = std::filesystem;
using namespace ux;

namespace {

using TempDir = qlyn_test::TTempDir;
using CodePage = qlyn_test::TCodePageScope;
using Container = std::unique_ptr<TUX_VPath_in_File>;

using qlyn_test::sample_bytes;

// Files named in the process code page.
std::string slurp(const std::string& path) { return qlyn_test::read_file(text_to_os(path)); }
void spit(const std::string& path, const std::string& data) { qlyn_test::write_file(text_to_os(path), data); }

std::vector<std::string> crlf_lines(const std::string& text) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < text.size()) {
    size_t e = text.find("\r\n", at);
    if (e == std::string::npos) e = text.size();
    out.push_back(text.substr(at, e - at));
    at = e + 2;
  }
  return out;
}

// Relative path (in the process code page) -> content of every file below root.
std::map<std::string, std::string> tree(const std::string& root) {
  std::map<std::string, std::string> out;
  const fs::path base(text_to_os(root));
  for (const auto& e : fs::recursive_directory_iterator(base)) {
    if (!e.is_regular_file()) continue;
    out[os_to_text(fs::relative(e.path(), base).generic_string())] = slurp(os_to_text(e.path().string()));
  }
  return out;
}

// Reads the whole container from position 0 in reads of step bytes.
std::string read_all(TUX_VPath_in_File& c, int32_t step, bool full_fill) {
  c.Setposition(0);
  std::string out;
  std::string buf(static_cast<size_t>(step), '\0');
  for (int guard = 0; guard < 1000000; ++guard) {
    const int32_t n = c.ReadData(buf.data(), step, full_fill);
    if (n <= 0) break;
    out.append(buf.data(), static_cast<size_t>(n));
  }
  return out;
}

// A folder of files with non-ASCII names, nested folders and awkward
// characters, written in the process code page.
std::map<std::string, std::string> make_tree(const std::string& root) {
  const std::map<std::string, std::string> files = {
      {"a.txt", "0123456789"},
      {"目录/文件一.bin", sample_bytes(70000, 3)},
      {"目录/子目录/深 层,#%+:\".txt", "comma, hash, percent"},
      {"Ünïcødé/ñ.dat", sample_bytes(1, 4)},
      {"big/large.bin", sample_bytes(300000, 5)},
      {"z/y/x/w/leaf", "leaf"},
  };
  for (const auto& [rel, data] : files) spit(root + "/" + rel, data);
  return files;
}

// A container of the two files a (10 bytes) and b (20 bytes).
struct TwoFiles {
  TempDir dir;
  std::string a = dir / "a.bin", b = dir / "b.bin", idx = dir / "c.idx";
  std::string data_a = sample_bytes(10, 1), data_b = sample_bytes(20, 2);
  TwoFiles() {
    spit(a, data_a);
    spit(b, data_b);
  }
  Container build() {
    Container c = TUX_VPath_in_File::openWrite(idx);
    EXPECT_EQ(c->addFile("/a.bin", a, 0, 0, true), 2);
    EXPECT_EQ(c->addFile("/b.bin", b, 0, 0, true), 2);
    return c;
  }
};

}  // namespace

// ---------------------------------------------------------------- building and the index

TEST(VPathContainer, TwoFilesGiveItemsAt0And10AndAFixedWidthHeader) {
  TwoFiles t;
  {
    Container c = t.build();
    EXPECT_EQ(c->fileCount(), 2);
    EXPECT_EQ(c->Size(), 30);
    TUX_vpath_File_item it;
    ASSERT_TRUE(c->item(1, it));
    EXPECT_EQ(it.pos_start, 10);
    EXPECT_EQ(it.fileSize, 20);
    EXPECT_TRUE(it.posInFile(29));
    EXPECT_FALSE(it.posInFile(30));
    EXPECT_FALSE(it.posInFile(9));
    EXPECT_EQ(read_all(*c, 7, true), t.data_a + t.data_b);
  }  // destruction finishes the index
  const std::vector<std::string> lines = crlf_lines(slurp(t.idx));
  ASSERT_EQ(lines.size(), 3u);
  // The header was first written for one item of 10 bytes with 56 blanks;
  // the final text overwrote its start and the line kept its width.
  EXPECT_EQ(lines[0].rfind("#!RKFIDX,2,30,utf8,  ", 0), 0u) << lines[0];
  EXPECT_EQ(lines[0].size(), std::string("#!RKFIDX,1,10,utf8,").size() + 56);
  EXPECT_EQ(lines[0].find_first_not_of(' ', 21), std::string::npos);
  EXPECT_EQ(lines[1], "#$-1,0,0,10,/a.bin," + t.a);
  EXPECT_EQ(lines[2], "#$-2,0,10,20,/b.bin," + t.b);

  Container r = TUX_VPath_in_File::openRead(t.idx, "");
  EXPECT_FALSE(r->is_RW_mode());
  EXPECT_EQ(r->fileCount(), 2);
  EXPECT_EQ(r->Size(), 30);
  EXPECT_EQ(read_all(*r, 64, true), t.data_a + t.data_b);
  EXPECT_EQ(read_all(*r, 64, false), t.data_a + t.data_b);
}

TEST(VPathContainer, IndexWritesAreThrottledAndAppendOnlyNewLines) {
  TFakeClock clock;
  TwoFiles t;
  Container c = TUX_VPath_in_File::openWrite(t.idx);
  ASSERT_EQ(c->addFile("/1", t.a, 0, 0, false), 2);
  EXPECT_EQ(crlf_lines(slurp(t.idx)).size(), 2u);  // the first write is not throttled
  clock.advance(100);
  ASSERT_EQ(c->addFile("/2", t.b, 0, 0, false), 2);
  c->execute();
  EXPECT_EQ(crlf_lines(slurp(t.idx)).size(), 2u) << "a write within 300 ms is skipped";
  clock.advance(200);
  c->execute();
  const std::vector<std::string> lines = crlf_lines(slurp(t.idx));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].rfind("#!RKFIDX,2,30,utf8,  ", 0), 0u);
  EXPECT_EQ(lines[2].rfind("#$-2,0,10,20,/2,", 0), 0u);
  // SaveIdxFileOut with an empty name finishes the own index and returns its size.
  int64_t size = 0;
  EXPECT_EQ(c->SaveIdxFileOut("", size, true), static_cast<int64_t>(slurp(t.idx).size()));
  EXPECT_EQ(size, static_cast<int64_t>(slurp(t.idx).size()));
}

TEST(VPathContainer, AddFileRules) {
  TwoFiles t;
  Container c = t.build();
  EXPECT_EQ(c->addFile("/A.BIN", t.b, 0, 0, true), 1) << "same file_url, ASCII case folded";
  EXPECT_EQ(c->addFile("/A.BIN", t.b, 0, 0, false), 2);
  EXPECT_EQ(c->addFile("/x", t.dir / "missing", 0, 0, false), -1);
  spit(t.dir / "empty", "");
  EXPECT_EQ(c->addFile("/e", t.dir / "empty", 0, 0, false), -1);
  EXPECT_EQ(c->addFile("", t.a, 0, 0, false), -1);
  EXPECT_EQ(c->addFile("/d", t.dir.path(), 0, 0, false), -1);
  EXPECT_EQ(c->addFile("/part", t.b, 0, 5, false), 2) << "an explicit size wins";
  EXPECT_EQ(c->fileCount(), 4);
  EXPECT_EQ(c->Size(), 30 + 20 + 5);
  Container r = TUX_VPath_in_File::openRead(t.idx, "");
  EXPECT_EQ(r->addFile("/y", t.a, 0, 0, false), -1) << "a container opened for reading";
  EXPECT_EQ(r->addPath(t.dir.path(), true, 0), -1);
  c->clear();
  EXPECT_EQ(c->fileCount(), 0);
  EXPECT_EQ(c->Size(), 0);
  EXPECT_EQ(c->addFile("/a.bin", t.a, 0, 0, true), 2);
  c.reset();
  EXPECT_EQ(crlf_lines(slurp(t.idx)).size(), 2u) << "clear starts the index again";
}

TEST(VPathContainer, NamesWithReservedCharactersAreEscapedAndReadBack) {
  TempDir dir;
  spit(dir / "f", "xyz");
  const std::string url = "/a,b#c%d:e\"f+g h\r\ni%25.txt";
  {
    Container c = TUX_VPath_in_File::openWrite(dir / "i.idx");
    ASSERT_EQ(c->addFile(url, dir / "f", 0, 0, false), 2);
  }
  const std::string text = slurp(dir / "i.idx");
  EXPECT_NE(text.find("/a%2Cb%23c%25d%3Ae%22f%2Bg h%0D%0Ai%2525.txt,"), std::string::npos) << text;
  EXPECT_EQ(crlf_lines(text).size(), 2u);
  Container r = TUX_VPath_in_File::openRead(dir / "i.idx", "");
  TUX_vpath_File_item it;
  ASSERT_TRUE(r->item(0, it));
  EXPECT_EQ(it.file_url, url);
  EXPECT_EQ(it.phy_file, dir / "f");
}

TEST(VPathContainer, OnSaveIdxFileMayRenameOrRefuseTheWrite) {
  TwoFiles t;
  Container c = TUX_VPath_in_File::openWrite(t.idx);
  bool allow = false;
  c->on_save_idx_file = [&](std::string& name, bool) {
    name = t.dir / "renamed.idx";
    return allow;
  };
  ASSERT_EQ(c->addFile("/a", t.a, 0, 0, false), 2);
  int64_t size = -1;
  EXPECT_EQ(c->SaveIdxFileOut("", size, true), 0);
  EXPECT_FALSE(fs::exists(t.dir / "renamed.idx"));
  EXPECT_FALSE(fs::exists(t.idx));
  allow = true;
  c.reset();
  EXPECT_EQ(crlf_lines(slurp(t.dir / "renamed.idx")).size(), 2u);
  EXPECT_FALSE(fs::exists(t.idx));
}

TEST(VPathContainer, SaveIdxFileOutWritesTheCompleteIndexInBothForms) {
  TwoFiles t;
  Container c = t.build();
  int64_t size = 0;
  EXPECT_EQ(c->SaveIdxFileOut(t.dir / "with.idx", size, true), 2);
  const std::string with = slurp(t.dir / "with.idx");
  EXPECT_EQ(size, static_cast<int64_t>(with.size()));
  EXPECT_EQ(with, "#!RKFIDX,2,30,utf8,  \r\n#$-1,0,0,10,/a.bin," + t.a + "\r\n#$-2,0,10,20,/b.bin," + t.b + "\r\n");
  EXPECT_EQ(c->SaveIdxFileOut(t.dir / "without.idx", size, false), 2);
  EXPECT_EQ(slurp(t.dir / "without.idx"), "#!RKFIDX,2,30,utf8,  \r\n#$-1,0,0,10,/a.bin\r\n#$-2,0,10,20,/b.bin\r\n");
  Tfifo_Mem_stream st;
  EXPECT_EQ(c->SaveIdxFileOut(st, true), static_cast<int64_t>(with.size()));
  EXPECT_EQ(st.asString(), with);
  EXPECT_EQ(c->SaveIdxFileOut(t.dir / "no/such/folder.idx", size, true), -1);
}

// ---------------------------------------------------------------- the one-file form

TEST(VPathContainer, OneFileFormHoldsDataIndexAndTrailer) {
  TwoFiles t;
  Container c = t.build();
  const std::string one = t.dir / "one.vpf";
  EXPECT_EQ(c->SaveAll_to_1File(one), 30);
  const std::string bytes = slurp(one);
  const std::string index = "#!RKFIDX,2,30,utf8,  \r\n#$-1,0,0,10,/a.bin\r\n#$-2,0,10,20,/b.bin\r\n";
  ASSERT_EQ(bytes.size(), 30 + index.size() + 8);
  EXPECT_EQ(bytes.substr(0, 30), t.data_a + t.data_b);
  EXPECT_EQ(bytes.substr(30, index.size()), index);
  const std::string trailer = bytes.substr(bytes.size() - 8);
  const auto len = static_cast<uint32_t>(index.size());
  EXPECT_EQ(trailer, std::string({char(len & 0xFF), char(len >> 8 & 0xFF), char(len >> 16 & 0xFF),
                                  char(len >> 24), '\x98', '\xF0', '\xDF', '\x0D'}));

  Container r = TUX_VPath_in_File::openReadFrom_1File(one);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->is_one_file_form());
  ASSERT_EQ(r->fileCount(), 2);
  TUX_vpath_File_item it;
  ASSERT_TRUE(r->item(1, it));
  EXPECT_EQ(it.file_url, "/b.bin");
  EXPECT_EQ(it.pos_start, 10);
  EXPECT_EQ(it.phy_file, "");
  EXPECT_EQ(read_all(*r, 4, false), t.data_a + t.data_b);
  EXPECT_EQ(read_all(*r, 1000, true), t.data_a + t.data_b) << "data reads stop before the index";
  EXPECT_TRUE(r->copyFileOut("/B.BIN", t.dir / "b.copy"));
  EXPECT_EQ(slurp(t.dir / "b.copy"), t.data_b);
  EXPECT_FALSE(r->copyFileOut("/none", t.dir / "none.copy"));
  EXPECT_FALSE(fs::exists(t.dir / "none.copy"));

  // Rewriting over a shorter earlier file leaves exactly the new form.
  spit(t.dir / "long.vpf", std::string(5000, 'x'));
  EXPECT_EQ(c->SaveAll_to_1File(t.dir / "long.vpf"), 30);
  EXPECT_EQ(slurp(t.dir / "long.vpf"), bytes);
  // Its own data file, or a folder that does not exist, cannot be written.
  EXPECT_EQ(r->SaveAll_to_1File(one), -1);
  EXPECT_EQ(c->SaveAll_to_1File(t.a), -1);
  EXPECT_EQ(slurp(t.a), t.data_a);
  EXPECT_EQ(c->SaveAll_to_1File(t.dir / "no/such/x.vpf"), -1);
}

TEST(VPathContainer, SaveAllRecordsWhatWasActuallyWritten) {
  TwoFiles t;
  Container c = t.build();
  spit(t.a, "short");  // 5 of the announced 10 bytes
  ASSERT_EQ(c->SaveAll_to_1File(t.dir / "one.vpf"), 25);
  TUX_vpath_File_item it;
  ASSERT_TRUE(c->item(0, it));
  EXPECT_EQ(it.fileSize, 5);
  ASSERT_TRUE(c->item(1, it));
  EXPECT_EQ(it.pos_start, 5);
  EXPECT_EQ(c->Size(), 25);
  Container r = TUX_VPath_in_File::openReadFrom_1File(t.dir / "one.vpf");
  ASSERT_TRUE(r);
  EXPECT_EQ(read_all(*r, 100, false), "short" + t.data_b);
  c.reset();  // the rebuilt index matches the moved items
  Container again = TUX_VPath_in_File::openRead(t.idx, "");
  ASSERT_TRUE(again->item(1, it));
  EXPECT_EQ(it.pos_start, 5);
}

// ---------------------------------------------------------------- reading rules

TEST(VPathContainer, ReadDataFromPhysicalFilesZeroFillsWhatIsMissing) {
  TwoFiles t;
  Container c = t.build();
  spit(t.a, "12345");  // shrunk after it was added
  EXPECT_EQ(read_all(*c, 64, true), std::string("12345") + std::string(5, '\0') + t.data_b);
  // Without full fill one read stops at the end of the item.
  c->Setposition(3);
  char buf[64];
  EXPECT_EQ(c->ReadData(buf, 64, false), 7);
  EXPECT_EQ(c->position(), 10);
  c->Setposition(30);
  EXPECT_EQ(c->ReadData(buf, 64, true), 0);
  c->Setposition(-1);
  EXPECT_EQ(c->ReadData(buf, 64, true), 0);
  EXPECT_EQ(c->ReadData(nullptr, 64, true), 0);
}

TEST(VPathContainer, TwoFileFormFallsBackToTheDataFileForMissingPhysicalFiles) {
  TwoFiles t;
  Container c = t.build();
  const std::string data = t.dir / "data.bin";
  spit(data, sample_bytes(30, 9));
  int64_t size = 0;
  ASSERT_EQ(c->SaveIdxFileOut(t.dir / "two.idx", size, true), 2);
  Container r = TUX_VPath_in_File::openRead(t.dir / "two.idx", data);
  EXPECT_EQ(read_all(*r, 64, false), t.data_a + t.data_b) << "physical files exist: they are read";
  fs::remove(t.a);
  // A read that starts in an item without its file goes on in the data file;
  // reads that start in the next item use its file again.
  EXPECT_EQ(read_all(*r, 64, false), sample_bytes(30, 9));
  EXPECT_EQ(read_all(*r, 10, false), sample_bytes(30, 9).substr(0, 10) + t.data_b);
  Container nodata = TUX_VPath_in_File::openRead(t.dir / "two.idx", t.dir / "none.bin");
  nodata->Setposition(0);
  char buf[16];
  EXPECT_EQ(nodata->ReadData(buf, 16, false), 0);
}

TEST(VPathContainer, OneFileFormNeverReadsPhysicalPathsNamedInItsIndex) {
  TwoFiles t;
  Container c = t.build();
  // A one-file form whose index names local files (as the streamed form of
  // a container being built does) still serves its own data.
  std::string index;
  {
    Tfifo_Mem_stream st;
    (void)c->SaveIdxFileOut(st, true);
    index = st.asString();
  }
  const std::string data = sample_bytes(30, 11);
  std::string one = data + index;
  const auto len = static_cast<uint32_t>(index.size());
  one += std::string({char(len & 0xFF), char(len >> 8 & 0xFF), char(len >> 16 & 0xFF), char(len >> 24),
                      '\x98', '\xF0', '\xDF', '\x0D'});
  spit(t.dir / "one.vpf", one);
  Container r = TUX_VPath_in_File::openReadFrom_1File(t.dir / "one.vpf");
  ASSERT_TRUE(r);
  EXPECT_EQ(read_all(*r, 64, true), data);
}

// ---------------------------------------------------------------- whole trees through every form

namespace {

void expect_tree(const std::string& root, const std::map<std::string, std::string>& files) {
  EXPECT_EQ(tree(root), files);
}

}  // namespace

TEST(VPathContainer, NonAsciiTreeRoundTripsThroughEveryForm) {
  TempDir dir;
  const std::string src = dir / "源";
  const std::map<std::string, std::string> files = make_tree(src);
  const std::string idx = dir / "build.idx";
  Container c = TUX_VPath_in_File::openWrite(idx);
  EXPECT_EQ(c->addPath(src + "//", true, 0), static_cast<int32_t>(files.size()));
  EXPECT_EQ(c->addPath(src, true, 0), static_cast<int32_t>(files.size())) << "found again, added once";
  EXPECT_EQ(c->fileCount(), static_cast<int32_t>(files.size()));
  TUX_vpath_File_item it;
  ASSERT_TRUE(c->item(0, it));
  EXPECT_EQ(it.file_url.substr(0, 1), "/");
  int64_t total = 0;
  for (const auto& [rel, data] : files) total += static_cast<int64_t>(data.size());
  EXPECT_EQ(c->Size(), total);

  // One file.
  const std::string one = dir / "tree.vpf";
  ASSERT_EQ(c->SaveAll_to_1File(one), total);
  Container r1 = TUX_VPath_in_File::openReadFrom_1File(one);
  ASSERT_TRUE(r1);
  TUX_vpath_extract_result x = r1->ExtractToPath(dir / "out1");
  EXPECT_EQ(x.status, 0);
  EXPECT_EQ(x.extracted, static_cast<int32_t>(files.size()));
  EXPECT_EQ(x.failed, 0);
  EXPECT_TRUE(x.refused.empty());
  expect_tree(dir / "out1", files);

  // Two files: an index without physical paths and the data bytes.
  int64_t idx_size = 0;
  ASSERT_EQ(c->SaveIdxFileOut(dir / "two.idx", idx_size, false), static_cast<int64_t>(files.size()));
  ASSERT_EQ(TShareFile::CopyFileClipTo(one, 0, total, dir / "two.dat"), total);
  Container r2 = TUX_VPath_in_File::openRead(dir / "two.idx", dir / "two.dat");
  EXPECT_EQ(r2->ExtractToPath(dir / "out2").extracted, static_cast<int32_t>(files.size()));
  expect_tree(dir / "out2", files);

  // Split parts of 4096 bytes, purged while extracting.
  {
    std::unique_ptr<TUX_Splited_file> sp = TUX_Splited_file::OpenWrite(dir / "tree.split", 4096);
    const std::string bytes = slurp(one);
    ASSERT_EQ(sp->writeData(bytes.data(), static_cast<int64_t>(bytes.size())),
              static_cast<int64_t>(bytes.size()));
  }
  Container r3 = TUX_VPath_in_File::openReadFrom_Splited_File(dir / "tree.split");
  ASSERT_TRUE(r3);
  EXPECT_EQ(r3->ExtractToPath(dir / "out3", nullptr, nullptr, nullptr, true).extracted,
            static_cast<int32_t>(files.size()));
  expect_tree(dir / "out3", files);
  EXPECT_FALSE(fs::exists(dir / "tree.split")) << "parts already read were deleted";

  // Items served from the physical files, copied out one by one.
  Container r4 = TUX_VPath_in_File::openRead(idx, "");
  for (const TUX_vpath_File_item& item : r4->items())
    EXPECT_TRUE(r4->copyFileOut(item.file_url, dir / "out4" + item.file_url)) << item.file_url;
  expect_tree(dir / "out4", files);
}

TEST(VPathContainer, GbkNamesRoundTripUnderCodePage936AndConvertForUtf8Readers) {
  TempDir dir;
  // "中文目录/文件.txt" and a name whose second byte is 0x5C, in GBK.
  const std::string folder_gbk = "\xD6\xD0\xCE\xC4\xC4\xBF\xC2\xBC";
  const std::string file_gbk = "\xCE\xC4\xBC\xFE.txt";
  const std::string trail5c_gbk = "\x95\x5C.dat";
  std::string one;
  {
    CodePage cp(CP_GBK);
    const std::string src = dir.path() + "/src";
    spit(src + "/" + folder_gbk + "/" + file_gbk, "gbk text");
    spit(src + "/" + trail5c_gbk, "five-c");
    Container c = TUX_VPath_in_File::openWrite(dir / "g.idx");
    ASSERT_EQ(c->addPath(src, true, 0), 2);
    EXPECT_FALSE(c->utf8_mode());
    one = dir.path() + "/g.vpf";
    ASSERT_EQ(c->SaveAll_to_1File(one), 14);
    Container r = TUX_VPath_in_File::openReadFrom_1File(one);
    ASSERT_TRUE(r);
    std::set<std::string> urls;
    for (const auto& it : r->items()) urls.insert(it.file_url);
    EXPECT_EQ(urls, (std::set<std::string>{"/" + trail5c_gbk, "/" + folder_gbk + "/" + file_gbk}));
    EXPECT_EQ(r->ExtractToPath(dir.path() + "/out936").extracted, 2);
  }
  EXPECT_NE(slurp(one).find("#!RKFIDX,2,14,gbk,"), std::string::npos);
  const std::map<std::string, std::string> expected = {{"中文目录/文件.txt", "gbk text"},
                                                      {"昞.dat", "five-c"}};
  EXPECT_EQ(tree(dir / "out936"), expected);
  Container r = TUX_VPath_in_File::openReadFrom_1File(one);  // read by a UTF-8 process
  ASSERT_TRUE(r);
  std::set<std::string> urls;
  for (const auto& it : r->items()) urls.insert(it.file_url);
  EXPECT_EQ(urls, (std::set<std::string>{"/中文目录/文件.txt", "/昞.dat"}));
  EXPECT_EQ(r->ExtractToPath(dir / "out8").extracted, 2);
  EXPECT_EQ(tree(dir / "out8"), expected);
}

// ---------------------------------------------------------------- extraction

namespace {

// Writes a two-file container whose items carry the given URLs over data.
void write_container(const std::string& idx, const std::string& dat,
                     const std::vector<std::pair<std::string, std::string>>& items) {
  std::string text = "#!RKFIDX," + std::to_string(items.size()) + ",0,utf8,  \r\n";
  std::string data;
  int n = 0;
  for (const auto& [url, bytes] : items) {
    text += "#$-" + std::to_string(++n) + ",0," + std::to_string(data.size()) + "," +
            std::to_string(bytes.size()) + "," + url + "\r\n";
    data += bytes;
  }
  spit(idx, text);
  spit(dat, data);
}

struct TSeen {
  std::vector<std::pair<std::string, std::string>> calls;  // (url, content)
};

bool remember(const std::string& url, const std::string& phy, void* user) {
  static_cast<TSeen*>(user)->calls.emplace_back(url, slurp(phy));
  fs::remove(text_to_os(phy));
  if (url == "/throws") throw std::runtime_error("callback failure");
  return true;
}

}  // namespace

TEST(VPathContainer, ExtractRefusesTargetsOutsideTheDestinationAndExtractsTheRest) {
  TempDir dir;
  const std::string dest = dir / "dest";
  const std::string outside = dir / "outside";
  fs::create_directories(dest + "/real");
  fs::create_directories(outside);
  fs::create_directory_symlink(outside, dest + "/link");
  spit(outside + "/victim.txt", "keep");
  fs::create_symlink(outside + "/victim.txt", dest + "/real/target.txt");
  write_container(dir / "h.idx", dir / "h.dat",
                  {{"/../escape1.txt", "A"},
                   {"/a/%2E%2E/%2E%2E/escape2.txt", "B"},
                   {"%5C..%5Cescape3.txt", "C"},
                   {"/link/escape4.txt", "D"},
                   {"/real/target.txt", "E"},
                   {"C%3A/escape5.txt", "F"},
                   {"//host/share/escape6.txt", "G"},
                   {"/nul%00/../../escape7.txt", "H"},
                   {"/./ok/./one.txt", "ok1"},
                   {"/ok/two..txt", "ok2"},
                   {"/ok/..hidden", "ok3"},
                   {"", "skipped"}});
  Container r = TUX_VPath_in_File::openRead(dir / "h.idx", dir / "h.dat");
  ASSERT_EQ(r->fileCount(), 12);
  TUX_vpath_extract_result x = r->ExtractToPath(dest);
  EXPECT_EQ(x.status, 0);
  EXPECT_EQ(x.extracted, 3);
  EXPECT_EQ(x.failed, 0);
  EXPECT_EQ(x.refused, (std::vector<std::string>{"/../escape1.txt", "/a/../../escape2.txt", "\\..\\escape3.txt",
                                                 "/link/escape4.txt", "/real/target.txt", "C:/escape5.txt",
                                                 "//host/share/escape6.txt",
                                                 std::string("/nul\0/../../escape7.txt", 23)}));
  EXPECT_EQ(tree(outside), (std::map<std::string, std::string>{{"victim.txt", "keep"}}));
  for (const auto& e : fs::recursive_directory_iterator(dir.path()))
    EXPECT_EQ(e.path().filename().string().find("escape"), std::string::npos) << e.path();
  EXPECT_EQ(slurp(dest + "/ok/one.txt"), "ok1");
  EXPECT_EQ(slurp(dest + "/ok/two..txt"), "ok2");
  EXPECT_EQ(slurp(dest + "/ok/..hidden"), "ok3");
}

TEST(VPathContainer, ExtractWithCallbackUsesTemporaryNamesAndSurvivesItsFailures) {
  TempDir dir;
  write_container(dir / "c.idx", dir / "c.dat",
                  {{"/first.txt", "one"}, {"/throws", "two"}, {"/../third", "three"}});
  Container r = TUX_VPath_in_File::openRead(dir / "c.idx", dir / "c.dat");
  TSeen seen;
  TUX_vpath_extract_result x = r->ExtractToPath(dir / "d", &seen, &remember);
  EXPECT_EQ(x.extracted, 3);
  EXPECT_TRUE(x.refused.empty()) << "the callback decides where items go";
  ASSERT_EQ(seen.calls.size(), 3u);
  EXPECT_EQ(seen.calls[0], (std::pair<std::string, std::string>{"/first.txt", "one"}));
  EXPECT_EQ(seen.calls[2], (std::pair<std::string, std::string>{"/../third", "three"}));
  EXPECT_TRUE(fs::is_empty(dir / "d"));
}

TEST(VPathContainer, ExtractSkipsItemsItCannotCopyAndLeavesNoPartialFile) {
  TempDir dir;
  write_container(dir / "s.idx", dir / "s.dat", {{"/good", "12345"}, {"/cut", "67890"}});
  spit(dir / "s.dat", "1234567");  // the second item lost its last three bytes
  Container r = TUX_VPath_in_File::openRead(dir / "s.idx", dir / "s.dat");
  EXPECT_EQ(r->fileCount(), 1) << "an item past the data is skipped when the index is read";
  EXPECT_EQ(r->SkippedItems(), 1);
  spit(dir / "s.dat", "1234567890");
  Container ok = TUX_VPath_in_File::openRead(dir / "s.idx", dir / "s.dat");
  ASSERT_EQ(ok->fileCount(), 2);
  spit(dir / "s.dat", "1234567");  // shrinks after opening
  fs::create_directories(dir / "d/good");  // a folder where a file must go
  TUX_vpath_extract_result x = ok->ExtractToPath(dir / "d");
  EXPECT_EQ(x.extracted, 0);
  EXPECT_EQ(x.failed, 2);
  EXPECT_FALSE(fs::exists(dir / "d/cut"));
  EXPECT_EQ(ok->ExtractToPath("").status, -1);
  spit(dir / "file", "x");
  EXPECT_EQ(ok->ExtractToPath(dir / "file/sub").status, -1);
  Container nodata = TUX_VPath_in_File::openRead(dir / "s.idx", dir / "missing.dat");
  EXPECT_EQ(nodata->ExtractToPath(dir / "e").status, -2);
}

// ---------------------------------------------------------------- bad input

TEST(VPathContainer, CorruptIndexLinesAreSkippedAndCounted) {
  TempDir dir;
  spit(dir / "d.dat", std::string(100, 'd'));
  spit(dir / "bad.idx",
       "\r\n#!rkfidx,9,9,UTF-8,\r\n"
       "#$-1,0,0,10,/ok1\r\n"
       "#$-2,0,x10,10,/badnum\r\n"
       "#$-3,0,10,-5,/negative\r\n"
       "#$-4,0,5,10,/overlap\r\n"
       "#$-5,0,10,,/empty-size\r\n"
       "#$-6,0,9223372036854775807,10,/overflow\r\n"
       "#$-7,0,10,20,/ok2\r\n"
       "comment line\r\n"
       "#$-8,0,30,80,/past-data\r\n"
       "#$-9,0,30\r\n"
       "#$-10,0,99999999999999999999,1,/toolong\r\n"
       "#$-11,0,30,70,/ok3\n#$-12,0,0,1,/lone-lf-is-inside-the-line\r\n");
  Container r = TUX_VPath_in_File::openRead(dir / "bad.idx", dir / "d.dat");
  std::vector<std::string> urls;
  for (const auto& it : r->items()) urls.push_back(it.file_url);
  EXPECT_EQ(urls, (std::vector<std::string>{"/ok1", "/ok2", "/ok3\n#$-12"}));
  EXPECT_EQ(r->SkippedItems(), 8);
  EXPECT_FALSE(r->LoadError().empty());
  EXPECT_EQ(r->Size(), 100);
  EXPECT_TRUE(r->utf8_mode());

  spit(dir / "nohdr.idx", "#$-1,0,0,10,/a\r\n");
  Container n = TUX_VPath_in_File::openRead(dir / "nohdr.idx", dir / "d.dat");
  EXPECT_EQ(n->fileCount(), 0);
  EXPECT_EQ(n->LoadError(), "not a container index");
  Container m = TUX_VPath_in_File::openRead(dir / "missing.idx", dir / "d.dat");
  EXPECT_EQ(m->fileCount(), 0);
  EXPECT_FALSE(m->LoadError().empty());
}

TEST(VPathContainer, BrokenOneFileTrailersGiveNoContainerWithAReason) {
  TwoFiles t;
  Container c = t.build();
  const std::string one = t.dir / "one.vpf";
  ASSERT_EQ(c->SaveAll_to_1File(one), 30);
  const std::string good = slurp(one);
  std::string why;
  EXPECT_FALSE(TUX_VPath_in_File::openReadFrom_1File(t.dir / "missing", &why));
  EXPECT_EQ(why, "file not found");
  spit(t.dir / "short", good.substr(good.size() - 5));
  EXPECT_FALSE(TUX_VPath_in_File::openReadFrom_1File(t.dir / "short", &why));
  EXPECT_EQ(why, "file too short for a container trailer");
  spit(t.dir / "cut", good.substr(0, good.size() - 1));
  EXPECT_FALSE(TUX_VPath_in_File::openReadFrom_1File(t.dir / "cut", &why));
  EXPECT_EQ(why, "no container trailer");
  std::string huge = good;
  huge[huge.size() - 5] = '\x7F';  // index length far beyond the file
  spit(t.dir / "huge", huge);
  EXPECT_FALSE(TUX_VPath_in_File::openReadFrom_1File(t.dir / "huge", &why));
  EXPECT_EQ(why, "container index length out of range");
  spit(t.dir / "only-trailer", good.substr(good.size() - 8));
  EXPECT_FALSE(TUX_VPath_in_File::openReadFrom_1File(t.dir / "only-trailer", &why));
  // The index lost its first byte: the trailer is fine, the index is refused.
  std::string nohdr = good;
  nohdr[30] = 'X';
  spit(t.dir / "nohdr", nohdr);
  Container r = TUX_VPath_in_File::openReadFrom_1File(t.dir / "nohdr", &why);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->fileCount(), 0);
  EXPECT_EQ(r->LoadError(), "not a container index");
  // A split form with a missing middle part reads as a shorter file.
  {
    std::unique_ptr<TUX_Splited_file> sp = TUX_Splited_file::OpenWrite(t.dir / "p", 40);
    ASSERT_EQ(sp->writeData(good.data(), static_cast<int64_t>(good.size())), static_cast<int64_t>(good.size()));
  }
  ASSERT_TRUE(TUX_VPath_in_File::openReadFrom_Splited_File(t.dir / "p"));
  fs::remove(t.dir / "p.1");
  EXPECT_FALSE(TUX_VPath_in_File::openReadFrom_Splited_File(t.dir / "p", &why));
  EXPECT_EQ(why, "no container trailer");
  EXPECT_FALSE(TUX_VPath_in_File::openReadFrom_Splited_File(t.dir / "nothing", &why));
}

// An empty file is the first input a fuzzer tries: every opener must take it.
TEST(VPathContainer, EmptyFilesGiveEmptyContainersOrNone) {
  TempDir dir;
  const std::string empty = dir / "empty";
  spit(empty, "");
  std::string why;
  EXPECT_FALSE(TUX_VPath_in_File::openReadFrom_1File(empty, &why));
  EXPECT_EQ(why, "file too short for a container trailer");
  EXPECT_FALSE(TUX_VPath_in_File::openReadFrom_Splited_File(empty, &why));
  Container r = TUX_VPath_in_File::openRead(empty, empty);
  EXPECT_EQ(r->fileCount(), 0);
  EXPECT_EQ(r->LoadError(), "not a container index");
  EXPECT_EQ(read_all(*r, 4096, true), "");
  EXPECT_EQ(TUX_VPath_in_File::ReadPathInfo(empty), "{\"ret\":-404}");
  TUX_vpath_extract_result x = r->ExtractToPath(dir / "out");
  EXPECT_EQ(x.status, 0);
}

TEST(VPathContainer, MutatedOneFileFormsNeverReadOutOfBounds) {
  TempDir dir;
  const std::map<std::string, std::string> files = make_tree(dir / "src");
  Container c = TUX_VPath_in_File::openWrite(dir / "b.idx");
  ASSERT_GT(c->addPath(dir / "src", true, 0), 0);
  ASSERT_GT(c->SaveAll_to_1File(dir / "one.vpf"), 0);
  const std::string good = slurp(dir / "one.vpf");
  const size_t data_size = static_cast<size_t>(c->Size());
  std::mt19937 rng(1234);
  for (int round = 0; round < 150; ++round) {
    std::string bad = good;
    const int edits = 1 + static_cast<int>(rng() % 6);
    for (int e = 0; e < edits; ++e) {
      // Mostly the index and trailer, where the parser works.
      const size_t at = data_size + rng() % (bad.size() - data_size);
      switch (rng() % 4) {
        case 0: bad[at] = static_cast<char>(rng()); break;
        case 1: bad[at] = "0123456789,-#$%\r\n"[rng() % 17]; break;
        case 2: bad.erase(at, 1 + rng() % 4); break;
        default: bad.insert(at, 1, "9,\r\n"[rng() % 4]); break;
      }
    }
    if (rng() % 5 == 0) bad.resize(rng() % bad.size());
    const std::string name = dir / "bad.vpf";
    spit(name, bad);
    Container r = TUX_VPath_in_File::openReadFrom_1File(name);
    if (!r) continue;
    const int64_t limit = static_cast<int64_t>(bad.size());
    for (const TUX_vpath_File_item& it : r->items()) {
      EXPECT_GE(it.pos_start, 0);
      EXPECT_LE(it.pos_start + it.fileSize, limit);
    }
    (void)read_all(*r, 4096, true);
    const std::string out = dir / "x";
    TUX_vpath_extract_result x = r->ExtractToPath(out);
    EXPECT_EQ(x.status, 0);
    for (const auto& e : fs::recursive_directory_iterator(dir.path()))
      EXPECT_EQ(e.path().string().rfind(dir.path(), 0), 0u);
    fs::remove_all(out);
  }
}

// ---------------------------------------------------------------- path info

TEST(VPathContainer, ReadPathInfoDescribesTheOneFileFormFromTheHeader) {
  TwoFiles t;
  {
    Container c = t.build();
  }
  const std::string info = TUX_VPath_in_File::ReadPathInfo(t.idx);
  EXPECT_EQ(json_text_int(info, "ret"), 1);
  EXPECT_EQ(json_text_int(info, "file_count"), 2);
  EXPECT_EQ(json_text_int(info, "data-size"), 30);
  EXPECT_EQ(json_text_int(info, "size"), static_cast<int64_t>(slurp(t.idx).size()) + 30 + 8);
  EXPECT_EQ(info.rfind("{\"ret\":1,\"file_count\":2,\"date\":\"", 0), 0u) << info;
  EXPECT_EQ(json_text_field(info, "date").size(), 19u);
  EXPECT_EQ(TUX_VPath_in_File::ReadPathInfo(t.dir / "missing"), "{\"ret\":-404}");
  spit(t.dir / "other", "hello\r\n");
  EXPECT_EQ(TUX_VPath_in_File::ReadPathInfo(t.dir / "other"), "{\"ret\":-404}");
  spit(t.dir / "inject", "#!RKFIDX,1}{\"ret\":9,30,utf8,\r\n");
  EXPECT_EQ(TUX_VPath_in_File::ReadPathInfo(t.dir / "inject"), "{\"ret\":-404}");
  spit(t.dir / "late", std::string(130, ' ') + "#!RKFIDX,1,1,utf8,\r\n");
  EXPECT_EQ(TUX_VPath_in_File::ReadPathInfo(t.dir / "late"), "{\"ret\":-404}") << "only the first 128 bytes";
}

// ---------------------------------------------------------------- concurrency

TEST(VPathContainer, OneThreadAddsWhileAnotherWritesTheIndex) {
  TwoFiles t;
  constexpr int kFiles = 1500;
  {
    Container c = TUX_VPath_in_File::openWrite(t.idx);
    std::atomic<bool> done{false};
    std::thread writer([&] {
      for (int i = 0; i < 100000 && !done.load(); ++i) {
        c->execute();
        int64_t size;
        if (i % 50 == 0) (void)c->SaveIdxFileOut("", size, true);
      }
    });
    for (int i = 0; i < kFiles; ++i) ASSERT_EQ(c->addFile("/f" + std::to_string(i), t.a, 0, 0, false), 2);
    done = true;
    writer.join();
  }
  const std::vector<std::string> lines = crlf_lines(slurp(t.idx));
  ASSERT_EQ(lines.size(), static_cast<size_t>(kFiles) + 1);
  EXPECT_EQ(lines[0].rfind("#!RKFIDX,1500,15000,utf8,  ", 0), 0u);
  for (int i = 0; i < kFiles; ++i)
    ASSERT_EQ(lines[i + 1].rfind("#$-" + std::to_string(i + 1) + ",0," + std::to_string(i * 10) + ",10,/f" +
                                     std::to_string(i) + ",",
                                 0),
              0u)
        << lines[i + 1];
}
