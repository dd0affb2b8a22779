#include "common/ux_file_data_source.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "common/ext_mem.h"
#include "common/ux_common.h"

#include "support/scoped_env.h"

using namespace ux;

namespace {

using TempDir = qlyn_test::TTempDir;

void spit(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

std::string pattern(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

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
  const std::string data = pattern(200000, 1);
  spit(name, data);
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
  spit(dir / "empty", "");
  auto ds = TUX_Data_source_File_ex::CreateFileDataSource(dir / "empty");
  ASSERT_TRUE(ds);
  EXPECT_EQ(ds->Size(), 0);
}

TEST(DataSourceBase, CopyDataToCopiesInChunksFromAClampedOffset) {
  TempDir dir;
  const std::string data = pattern(150000, 2);
  spit(dir / "f", data);
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
