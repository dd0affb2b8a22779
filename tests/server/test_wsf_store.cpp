#include "server/wsf_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "common/ux_common.h"

#include "support/scoped_env.h"
#include "support/test_files.h"

namespace fs = std::filesystem;
using namespace qlyn_wsf;

namespace {

using TempDir = qlyn_test::TTempDir;
using qlyn_test::random_bytes;
using qlyn_test::read_file;
using qlyn_test::write_file;

struct Store {
  TempDir dir;
  std::string root = dir / "root";
  TWsf_Store store;
  Store() {
    fs::create_directories(root);
    std::string err;
    EXPECT_TRUE(store.open(root, err)) << err;
  }
};

}  // namespace

TEST(WsfStore, UploadWrittenAtPositionsResumesAndLandsInPlace) {
  Store s;
  const std::string data = random_bytes(200000, 1);
  const std::string md5 = "fingerprint-1";
  TWsf_Store::TUploadQuery q;
  {
    auto up = s.store.begin_upload("/目录/a.bin", 200000, md5, q);
    ASSERT_TRUE(up) << q.error;
    EXPECT_TRUE(q.ok);
    EXPECT_FALSE(q.exists);
    EXPECT_EQ(q.pos, 0);
    EXPECT_TRUE(up->write(0, std::string_view(data).substr(0, 65536)));
    EXPECT_TRUE(up->write(65536, std::string_view(data).substr(65536, 65536)));
    EXPECT_FALSE(up->write(140000, "gap")) << "a gap after the bytes held";
    EXPECT_FALSE(up->write(199999, "xy")) << "past the end";
    EXPECT_FALSE(up->write(-1, "x"));
    EXPECT_EQ(up->held(), 131072);
    std::string err;
    EXPECT_FALSE(up->finish(err));
    EXPECT_NE(err.find("incomplete"), std::string::npos);
    TWsf_Store::TUploadQuery busy;
    EXPECT_FALSE(s.store.begin_upload("目录/a.bin", 200000, md5, busy));
    EXPECT_EQ(busy.error, "an upload of this file is in progress");
  }  // connection lost
  EXPECT_FALSE(fs::exists(s.root + "/目录/a.bin"));

  {
    TWsf_Store::TUploadQuery other;
    auto up = s.store.begin_upload("/目录/a.bin", 200000, "another-file", other);
    ASSERT_TRUE(up);
    EXPECT_FALSE(other.exists) << "another fingerprint starts over";
  }
  auto again = s.store.begin_upload("/目录/a.bin", 200000, "another-file", q);
  ASSERT_TRUE(again);
  ASSERT_TRUE(again->write(0, std::string_view(data).substr(0, 131072)));
  again.reset();
  auto up = s.store.begin_upload("/目录/a.bin", 200000, "another-file", q);
  ASSERT_TRUE(up);
  EXPECT_TRUE(q.exists);
  EXPECT_EQ(q.pos, 131072);
  EXPECT_TRUE(up->write(100000, std::string_view(data).substr(100000, 100000))) << "overlap is rewritten";
  std::string err;
  ASSERT_TRUE(up->finish(err)) << err;
  EXPECT_EQ(read_file(s.root + "/目录/a.bin"), data);
  EXPECT_FALSE(fs::exists(s.root + "/目录/a.bin.wsf-part"));
  EXPECT_FALSE(fs::exists(s.root + "/目录/a.bin.wsf-info"));
}

TEST(WsfStore, TheSameFileAlreadyInPlaceIsComplete) {
  Store s;
  write_file(s.root + "/x.bin", "content");
  const std::string md5 = ux::file_fingerprint(s.root + "/x.bin");
  TWsf_Store::TUploadQuery q;
  EXPECT_FALSE(s.store.begin_upload("/x.bin", 7, md5, q));
  EXPECT_TRUE(q.ok);
  EXPECT_TRUE(q.complete);
  EXPECT_EQ(q.pos, 7);
  auto up = s.store.begin_upload("/x.bin", 7, "", q);
  ASSERT_TRUE(up) << "without a fingerprint the file is received again";
  EXPECT_EQ(q.pos, 0);
}

TEST(WsfStore, NamesNeverLeaveTheRoot) {
  Store s;
  fs::create_directories(s.dir / "outside");
  fs::create_directory_symlink(s.dir / "outside", s.root + "/link");
  write_file(s.dir / "secret", "secret");
  fs::create_symlink(s.dir / "secret", s.root + "/secret.lnk");
  TWsf_Store::TUploadQuery q;
  for (const std::string name : {"/../escape", "a/../../escape", "/link/escape", "C:/escape", "//host/x", "",
                                 "/", "/secret.lnk", "/f.wsf-part", "/f.wsf-info"}) {
    EXPECT_FALSE(s.store.begin_upload(name, 10, "m", q)) << name;
    EXPECT_FALSE(q.error.empty());
    std::string err;
    EXPECT_FALSE(s.store.begin_download(name, err)) << name;
    EXPECT_FALSE(err.empty());
  }
  EXPECT_TRUE(fs::is_empty(s.dir / "outside"));
  EXPECT_EQ(read_file(s.dir / "secret"), "secret");
  fs::create_symlink(s.dir / "outside/p", s.root + "/t.bin.wsf-part");
  EXPECT_FALSE(s.store.begin_upload("/t.bin", 10, "m", q)) << "a linked part file";
  EXPECT_FALSE(s.store.begin_upload("/big", int64_t(1) << 40, "m", q));
  EXPECT_FALSE(s.store.begin_upload("/zero", 0, "m", q));
  EXPECT_NE(q.error.find("size"), std::string::npos);
  TWsf_Store bad;
  std::string err;
  EXPECT_FALSE(bad.open(s.dir / "missing", err));
  EXPECT_FALSE(bad.begin_upload("/a", 1, "", q));
}

TEST(WsfStore, DownloadsReadInsideTheSizeAtOpen) {
  Store s;
  const std::string data = random_bytes(100000, 2);
  write_file(s.root + "/d/f.bin", data);
  std::string err;
  EXPECT_FALSE(s.store.begin_download("/d/none", err));
  EXPECT_EQ(err, "file not exists");
  EXPECT_FALSE(s.store.begin_download("/d", err)) << "a folder";
  auto d = s.store.begin_download("d/f.bin", err);
  ASSERT_TRUE(d) << err;
  EXPECT_EQ(d->size(), 100000);
  std::string buf(70000, '\0');
  EXPECT_EQ(d->read(60000, buf.data(), 70000), 40000);
  EXPECT_EQ(buf.substr(0, 40000), data.substr(60000));
  EXPECT_EQ(d->read(100000, buf.data(), 10), 0);
  EXPECT_EQ(d->read(-1, buf.data(), 10), 0);
}

TEST(WsfStore, ManyConnectionsUploadDifferentFilesAtOnce) {
  Store s;
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&s, t] {
      const std::string data = random_bytes(50000 + t, t);
      TWsf_Store::TUploadQuery q;
      auto up = s.store.begin_upload("/many/f" + std::to_string(t), static_cast<int64_t>(data.size()), "m", q);
      ASSERT_TRUE(up) << q.error;
      for (size_t at = 0; at < data.size(); at += 4096)
        ASSERT_TRUE(up->write(static_cast<int64_t>(at), std::string_view(data).substr(at, 4096)));
      std::string err;
      ASSERT_TRUE(up->finish(err)) << err;
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < 6; ++t) EXPECT_EQ(read_file(s.root + "/many/f" + std::to_string(t)), random_bytes(50000 + t, t));
}
