#include "common/ux_split_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "common/ux_common.h"

#include "support/scoped_env.h"
#include "support/test_files.h"

namespace fs = std::filesystem;
using namespace ux;

namespace {

using TempDir = qlyn_test::TTempDir;
using Split = std::unique_ptr<TUX_Splited_file>;

using qlyn_test::sample_bytes;

// Files named in the process code page.
std::string slurp(const std::string& path) { return qlyn_test::read_file(text_to_os(path)); }
void spit(const std::string& path, const std::string& data) { qlyn_test::write_file(text_to_os(path), data); }

std::string read(TUX_Splited_file& f, int64_t pos, int64_t n) {
  std::string buf(static_cast<size_t>(n), '\0');
  f.Setposition(pos);
  buf.resize(static_cast<size_t>(f.ReadData(buf.data(), n)));
  return buf;
}

}  // namespace

TEST(SplitFile, TwoHundredFiftyBytesInPartsOfOneHundred) {
  TempDir dir;
  const std::string name = dir / "分卷.bin";
  const std::string data = sample_bytes(250, 1);
  {
    Split f = TUX_Splited_file::OpenWrite(name, 100);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->writeData(data.data(), 250), 250);
    EXPECT_EQ(f->Position(), 250);
    EXPECT_EQ(f->GetSize(), 250);
    EXPECT_EQ(f->clip_count(), 3);
  }
  EXPECT_EQ(slurp(name), data.substr(0, 100));
  EXPECT_EQ(slurp(name + ".1"), data.substr(100, 100));
  EXPECT_EQ(slurp(name + ".2"), data.substr(200));
  EXPECT_FALSE(fs::exists(text_to_os(name + ".3")));

  Split r = TUX_Splited_file::openRead(name);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->part_size(), 100) << "taken from part 0";
  EXPECT_EQ(r->GetSize(), 250);
  EXPECT_EQ(r->clip_count(), 3);
  EXPECT_EQ(read(*r, 0, 1000), data);
  EXPECT_EQ(read(*r, 200, 50), data.substr(200));
  EXPECT_EQ(read(*r, 95, 10), data.substr(95, 10)) << "across a part boundary";
  EXPECT_EQ(read(*r, 250, 10), "");
  r->Setposition(-5);
  EXPECT_EQ(r->Position(), 250) << "negative positions are ignored";
  EXPECT_EQ(r->writeData("x", 1), 0) << "read mode";

  EXPECT_EQ(TUX_Splited_file::getFileLength(name), 250);
  char buf[60];
  EXPECT_EQ(TUX_Splited_file::ReadDataFrom(name, buf, 60, 190), 60);
  EXPECT_EQ(std::string(buf, 60), data.substr(190, 60));
  EXPECT_EQ(TUX_Splited_file::ReadDataFrom(dir / "none", buf, 60, 0), 0);
  EXPECT_EQ(TUX_Splited_file::getFileLength(dir / "none"), 0);
}

TEST(SplitFile, ModeTextsAndMissingFiles) {
  TempDir dir;
  for (const char* mode : {"rw", "ReadWrite", "WR"}) {
    const std::string name = dir / mode;
    Split f = TUX_Splited_file::create(name, mode, 10);
    ASSERT_TRUE(f) << mode;
    EXPECT_EQ(f->writeData("abc", 3), 3) << mode;
  }
  EXPECT_FALSE(TUX_Splited_file::create(dir / "r", "r", 10)) << "reading a missing file";
  EXPECT_FALSE(TUX_Splited_file::create(dir / "x", "write", 10));
  Split r = TUX_Splited_file::create(dir / "rw", "anything", 0);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->GetSize(), 3);
  spit(dir / "empty", "");
  Split e = TUX_Splited_file::openRead(dir / "empty");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->part_size(), kSplitDefaultPartSize);
  EXPECT_EQ(e->clip_count(), 1);
  EXPECT_EQ(e->GetSize(), 0);
}

TEST(SplitFile, OpeningStopsAtAMissingOrShortPart) {
  TempDir dir;
  const std::string name = dir / "p";
  spit(name, std::string(10, 'a'));
  spit(name + ".1", std::string(10, 'b'));
  spit(name + ".3", std::string(10, 'd'));  // .2 is missing
  Split r = TUX_Splited_file::openRead(name);
  EXPECT_EQ(r->GetSize(), 20);
  EXPECT_EQ(r->clip_count(), 2);
  EXPECT_EQ(read(*r, 0, 100), std::string(10, 'a') + std::string(10, 'b'));

  spit(name + ".1", std::string(4, 'b'));  // a short middle part ends the file
  spit(name + ".2", std::string(10, 'c'));
  r = TUX_Splited_file::openRead(name);
  EXPECT_EQ(r->GetSize(), 14);
  EXPECT_EQ(r->clip_count(), 2);
  EXPECT_EQ(read(*r, 8, 100), "aabbbb");

  spit(name + ".1", std::string(15, 'b'));  // an over-long part counts up to the part size
  r = TUX_Splited_file::openRead(name, 10);
  EXPECT_EQ(r->GetSize(), 20);
  EXPECT_EQ(read(*r, 15, 100), std::string(5, 'b'));
}

TEST(SplitFile, WritesLandAtThePositionAndFillHolesWithZeros) {
  TempDir dir;
  const std::string name = dir / "w";
  spit(name + ".2", "stale part left from an earlier file");
  Split f = TUX_Splited_file::OpenWrite(name, 8);
  EXPECT_EQ(f->writeData("0123456789", 10), 10);
  f->Setposition(4);
  EXPECT_EQ(f->writeData("ABCDEF", 6), 6);  // inside, across parts 0 and 1
  EXPECT_EQ(f->GetSize(), 10);
  f->Setposition(30);
  EXPECT_EQ(f->writeData("xyz", 3), 3);  // beyond the end: parts 1..3 filled
  EXPECT_EQ(f->GetSize(), 33);
  EXPECT_EQ(f->clip_count(), 5);
  f->FlushBuffer();
  f.reset();
  EXPECT_EQ(slurp(name), "0123ABCD");
  EXPECT_EQ(slurp(name + ".1"), std::string("EF") + std::string(6, '\0'));
  EXPECT_EQ(slurp(name + ".2"), std::string(8, '\0')) << "a part created past the end starts empty";
  EXPECT_EQ(slurp(name + ".3"), std::string(6, '\0') + "xy");
  EXPECT_EQ(slurp(name + ".4"), "z");
  Split r = TUX_Splited_file::openRead(name);
  EXPECT_EQ(r->GetSize(), 33);

  // Reopening for writing keeps the content; appending continues it.
  f = TUX_Splited_file::OpenWrite(name, 8);
  EXPECT_EQ(f->GetSize(), 33);
  f->Setposition(f->GetSize());
  EXPECT_EQ(f->writeData("!!!!!!!!!", 9), 9);
  f.reset();
  EXPECT_EQ(TUX_Splited_file::getFileLength(name), 42);
  EXPECT_EQ(slurp(name + ".5"), "!!");
}

TEST(SplitFile, PurgeDeletesThePartsBeforeTheOpenOneThroughTheInterface) {
  TempDir dir;
  const std::string name = dir / "q";
  const std::string data = sample_bytes(50, 3);
  {
    Split f = TUX_Splited_file::OpenWrite(name, 10);
    ASSERT_EQ(f->writeData(data.data(), 50), 50);
  }
  TShareFileRef ref(TUX_Splited_file::openRead(name, 10).release());
  char buf[25];
  EXPECT_EQ(ref->ReadData(buf, 25), 25);
  ref->Reserved();
  EXPECT_FALSE(fs::exists(name));
  EXPECT_FALSE(fs::exists(name + ".1"));
  EXPECT_TRUE(fs::exists(name + ".2"));
  EXPECT_EQ(ref->ReadData(buf, 25), 25);
  EXPECT_EQ(std::string(buf, 25), data.substr(25));
  ref->SetPosition(0);
  EXPECT_EQ(ref->ReadData(buf, 25), 0) << "purged parts are gone";
  void* other = nullptr;
  EXPECT_EQ(ref->QueryInterface("IShareFile", &other), 0);
  EXPECT_EQ(static_cast<IShareFile*>(other)->Release(), 1);
  EXPECT_EQ(ref->QueryInterface("IOther", &other), -1);
}
