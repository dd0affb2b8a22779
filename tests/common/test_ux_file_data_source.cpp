#include "common/ux_file_data_source.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "common/ext_mem.h"
#include "common/net/ux_http_request.h"
#include "common/ux_common.h"
#include "common/ux_vpath_container.h"

#include "support/scoped_env.h"
#include "support/test_files.h"

using namespace ux;

namespace {

using TempDir = qlyn_test::TTempDir;
using qlyn_test::read_file;
using qlyn_test::sample_bytes;
using qlyn_test::write_file;

std::string read_at(TUX_Data_source_base& ds, int64_t offset, int32_t len) {
  std::string buf(static_cast<size_t>(len), '\0');
  const int32_t n = ds.ReadData(buf.data(), len, offset);
  buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return buf;
}

// A source that counts its destructions.
class TCountingSource : public TUX_Data_source_base {
 public:
  explicit TCountingSource(int* destroyed) : destroyed_(destroyed) { f_size = 3; }
  ~TCountingSource() override { ++*destroyed_; }
  int32_t ReadData(void*, int32_t, int64_t) override { return 0; }

 private:
  int* destroyed_;
};

}  // namespace

TEST(DataSourceFile, ReadsAtOffsetsWithinTheSizeItWasMadeWith) {
  TempDir dir;
  const std::string name = dir / "名字.bin";
  const std::string data = sample_bytes(200000, 1);
  write_file(name, data);
  auto ds = TUX_Data_source_File_ex::CreateFileDataSource(name);
  ASSERT_TRUE(ds);
  EXPECT_EQ(ds->Size(), 200000);
  EXPECT_TRUE(ds->FreeMe());
  EXPECT_EQ(read_at(*ds, 0, 10), data.substr(0, 10));
  EXPECT_EQ(read_at(*ds, 131072, 65536), data.substr(131072, 65536));
  EXPECT_EQ(read_at(*ds, 199990, 100), data.substr(199990));
  EXPECT_EQ(read_at(*ds, 5, 3), data.substr(5, 3));  // backwards after a later read
  EXPECT_EQ(ds->ReadData(nullptr, 0, 0), 0);
  char c;
  EXPECT_EQ(ds->ReadData(&c, 1, 200000), 0);
  EXPECT_EQ(ds->ReadData(&c, 1, -1), -1);
  EXPECT_EQ(ds->ReadData(nullptr, 1, 0), -1);

  // Bytes appended after the source was made are not part of it.
  std::ofstream(name, std::ios::binary | std::ios::app) << "tail";
  EXPECT_EQ(ds->ReadData(&c, 1, 200000), 0);
  EXPECT_EQ(read_at(*ds, 199999, 10).size(), 1u);
}

TEST(DataSourceFile, MissingFileOrFolderGivesNoSource) {
  TempDir dir;
  EXPECT_FALSE(TUX_Data_source_File_ex::CreateFileDataSource(dir / "missing"));
  EXPECT_FALSE(TUX_Data_source_File_ex::CreateFileDataSource(dir.path()));
  EXPECT_FALSE(TUX_Data_source_File_ex::CreateFileDataSource(""));
  write_file(dir / "empty", "");
  auto ds = TUX_Data_source_File_ex::CreateFileDataSource(dir / "empty");
  ASSERT_TRUE(ds);
  EXPECT_EQ(ds->Size(), 0);
}

TEST(DataSourceBase, CopyDataToCopiesInChunksFromAClampedOffset) {
  TempDir dir;
  const std::string data = sample_bytes(150000, 2);
  write_file(dir / "f", data);
  auto ds = TUX_Data_source_File_ex::CreateFileDataSource(dir / "f");
  ASSERT_TRUE(ds);
  Tfifo_Mem_stream st;
  EXPECT_EQ(ds->CopyDataTo(st, -5, 140000), 140000);
  EXPECT_EQ(st.asString(), data.substr(0, 140000));
  Tfifo_Mem_stream rest;
  EXPECT_EQ(ds->CopyDataTo(rest, 100000, 1 << 30), 50000);  // stops when the source is exhausted
  EXPECT_EQ(rest.asString(), data.substr(100000));
  Tfifo_Mem_stream none;
  EXPECT_EQ(ds->CopyDataTo(none, 0, 0), 0);
  EXPECT_EQ(none.DataLength(), 0);
}

TEST(DataSourceBase, ConsumerHandleDestroysOnlySourcesMarkedFreeMe) {
  int destroyed = 0;
  {
    TUX_Data_source_ptr owned = std::make_unique<TCountingSource>(&destroyed);
    EXPECT_EQ(owned->Size(), 3);
  }
  EXPECT_EQ(destroyed, 1);
  {
    auto kept = std::make_unique<TCountingSource>(&destroyed);
    kept->SetFreeMe(false);
    { TUX_Data_source_ptr borrowed(kept.get()); }
    EXPECT_EQ(destroyed, 1);
  }
  EXPECT_EQ(destroyed, 2);
}

// ---------------------------------------------------------------- the container as one file

namespace {

// Two files of 10 and 20 bytes and a hand-written index of exactly 100 bytes
// that points at them.
struct TIndex100 {
  TempDir dir;
  std::string a = dir / "a", b = dir / "b", idx = dir / "i.idx";
  std::string data = sample_bytes(30, 7);
  TIndex100() {
    write_file(a, data.substr(0, 10));
    write_file(b, data.substr(10));
    std::string text = "#!RKFIDX,2,30,utf8,  \r\n#$-1,0,0,10,/a," + a + "\r\n#$-2,0,10,20,/b," + b + "\r\n";
    text += std::string(98 - text.size(), 'x') + "\r\n";  // a line that is no item
    write_file(idx, text);
  }
};

std::string read_stepwise(TUX_Data_source_base& ds, int32_t step) {
  std::string out;
  for (int guard = 0; guard < 100000; ++guard) {
    const std::string piece = read_at(ds, static_cast<int64_t>(out.size()), step);
    if (piece.empty()) break;
    out += piece;
  }
  return out;
}

}  // namespace

TEST(DataSourceVPath, PresentsDataIndexAndTrailerAsOneFile) {
  TIndex100 t;
  auto ds = TUX_Data_source_vpath_file_2in1::CreateVPathFileDS_FromIdx(t.idx);
  ASSERT_TRUE(ds);
  EXPECT_EQ(ds->idx_size(), 100);
  EXPECT_EQ(ds->Size(), 138);
  const std::string index = read_file(t.idx);
  const std::string trailer("\x64\0\0\0\x98\xF0\xDF\x0D", 8);
  EXPECT_EQ(read_at(*ds, 30, 200), index + trailer);
  EXPECT_EQ(read_at(*ds, 0, 200), t.data.substr(0, 10)) << "one item per read";
  EXPECT_EQ(read_at(*ds, 12, 5), t.data.substr(12, 5));
  EXPECT_EQ(read_at(*ds, 125, 10), index.substr(95)) << "no room for the trailer";
  EXPECT_EQ(read_at(*ds, 130, 100), trailer);
  EXPECT_EQ(read_at(*ds, 133, 2), trailer.substr(3, 2));
  EXPECT_EQ(read_at(*ds, 138, 10), "");
  char c;
  EXPECT_EQ(ds->ReadData(&c, 1, -1), -1);
  for (int32_t step : {1, 7, 64, 65536})
    EXPECT_EQ(read_stepwise(*ds, step), t.data + index + trailer) << step;
  Tfifo_Mem_stream st;
  EXPECT_EQ(ds->CopyDataTo(st, 0, 1000), 138);
  EXPECT_EQ(st.asString(), t.data + index + trailer);
}

TEST(DataSourceVPath, MissingOrForeignIndexGivesNoSource) {
  TempDir dir;
  EXPECT_FALSE(TUX_Data_source_vpath_file_2in1::CreateVPathFileDS_FromIdx(dir / "missing.idx"));
  write_file(dir / "text.idx", "just text\r\n");
  EXPECT_FALSE(TUX_Data_source_vpath_file_2in1::CreateVPathFileDS_FromIdx(dir / "text.idx"));
  EXPECT_FALSE(TUX_Data_source_vpath_file_2in1::CreateVPathFileDS_From(nullptr));
}

TEST(DataSourceVPath, StreamedFolderOpensAsAOneFileContainerWithTheSameFiles) {
  TempDir dir;
  const std::string src = dir / "源";
  std::filesystem::create_directories(src + "/子");
  write_file(src + "/子/一.bin", sample_bytes(100000, 1));
  write_file(src + "/二.txt", "second");
  auto vp = TUX_VPath_in_File::openWrite(dir / "b.idx");
  ASSERT_EQ(vp->addPath(src, true, 0), 2);
  // The container being built finishes its index before it is presented.
  auto ds = TUX_Data_source_vpath_file_2in1::CreateVPathFileDS_From(vp.get());
  ASSERT_TRUE(ds);
  EXPECT_EQ(ds->Size(), 100006 + static_cast<int64_t>(read_file(dir / "b.idx").size()) + 8);
  EXPECT_EQ(json_text_int(TUX_VPath_in_File::ReadPathInfo(dir / "b.idx"), "size"), ds->Size());
  Tfifo_Mem_stream st;
  ASSERT_EQ(ds->CopyDataTo(st, 0, ds->Size()), ds->Size());
  st.SaveToFile(dir / "sent.vpf");
  // The sender changes a file afterwards: the one-file form keeps its own bytes.
  write_file(src + "/二.txt", "changed");
  auto got = TUX_VPath_in_File::openReadFrom_1File(dir / "sent.vpf");
  ASSERT_TRUE(got);
  EXPECT_EQ(got->ExtractToPath(dir / "out").extracted, 2);
  EXPECT_EQ(read_file(dir / "out/子/一.bin"), sample_bytes(100000, 1));
  EXPECT_EQ(read_file(dir / "out/二.txt"), "second");

  // A container read from the one-file form presents its index from memory.
  auto again = TUX_Data_source_vpath_file_2in1::CreateVPathFileDS_From(got.get());
  ASSERT_TRUE(again);
  Tfifo_Mem_stream st2;
  ASSERT_EQ(again->CopyDataTo(st2, 0, again->Size()), again->Size());
  st2.SaveToFile(dir / "again.vpf");
  auto third = TUX_VPath_in_File::openReadFrom_1File(dir / "again.vpf");
  ASSERT_TRUE(third);
  EXPECT_EQ(third->ExtractToPath(dir / "out2").extracted, 2);
  EXPECT_EQ(read_file(dir / "out2/二.txt"), "second");
}

TEST(DataSourceVPath, OwnsTheContainerOnlyWhenMadeFromAnIndexOrAskedTo) {
  TIndex100 t;
  auto borrowed = TUX_VPath_in_File::openRead(t.idx, "");
  {
    auto ds = TUX_Data_source_vpath_file_2in1::CreateVPathFileDS_From(borrowed.get());
    ASSERT_TRUE(ds);
    EXPECT_EQ(ds->vpath(), borrowed.get());
  }
  EXPECT_EQ(borrowed->fileCount(), 2) << "still alive";
  auto owned = TUX_VPath_in_File::openRead(t.idx, "");
  owned->SetautoFreeByDS(true);
  TUX_Data_source_ptr ds = TUX_Data_source_vpath_file_2in1::CreateVPathFileDS_From(owned.release());
  ASSERT_TRUE(ds);
  EXPECT_EQ(read_at(*ds, 0, 10), t.data.substr(0, 10));
  ds.reset();  // the leak checker sees the container go with the source
  auto broken = TUX_VPath_in_File::openRead(t.idx, "");
  broken->SetautoFreeByDS(true);
  std::filesystem::remove(t.idx);
  EXPECT_FALSE(TUX_Data_source_vpath_file_2in1::CreateVPathFileDS_From(broken.release()));
}

TEST(DataSourceVPath, RequestBodyOfTypeFourIsTheOneFileForm) {
  TIndex100 t;
  TUX_HTTP_Cli_Request req;
  ASSERT_TRUE(req.set_post_stream(TUX_Data_source_vpath_file_2in1::CreateVPathFileDS_FromIdx(t.idx), 0));
  EXPECT_EQ(req.get_header("content-length"), "138");
  std::string body;
  int32_t r = 0;
  for (int guard = 0; guard < 100 && r != TUX_HTTP_Cli_Request::kSendAllDone; ++guard) {
    // A transport that takes at most one piece per call.
    bool took = false;
    r = req.Send_postData([&](const char* data, int32_t len) {
      if (took) return 0;
      took = true;
      body.append(data, static_cast<size_t>(len));
      return len;
    });
    ASSERT_NE(r, TUX_HTTP_Cli_Request::kSendError);
  }
  EXPECT_EQ(body, t.data + read_file(t.idx) + std::string("\x64\0\0\0\x98\xF0\xDF\x0D", 8));
}
