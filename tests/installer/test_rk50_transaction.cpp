#include "installer/rk50_transaction.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <thread>

#include "installer/rk50_stp_common.h"
#include "support/archive_maker.h"

using namespace qlyn_test;

namespace {

TEST(CancelFlag, ARequestBeforeTheEndWinsAndOneAfterItFails) {
  rk50::TCancelFlag early;
  EXPECT_FALSE(early.requested());
  EXPECT_TRUE(early.request());
  EXPECT_TRUE(early.requested());
  EXPECT_TRUE(early.request());  // asking twice is still a stop
  EXPECT_FALSE(early.complete());
  EXPECT_FALSE(early.completed());

  rk50::TCancelFlag late;
  EXPECT_TRUE(late.complete());
  EXPECT_TRUE(late.complete());
  EXPECT_FALSE(late.request());
  EXPECT_FALSE(late.requested());
  late.reset();
  EXPECT_TRUE(late.request());

  // Raced from two threads, exactly one side wins.
  for (int round = 0; round < 200; ++round) {
    rk50::TCancelFlag f;
    bool stopped = false, done = false;
    std::thread t([&] { stopped = f.request(); });
    done = f.complete();
    t.join();
    EXPECT_NE(stopped, done);
  }
}

TEST(InstallLock, ASecondInstallerOnTheSameFolderIsTurnedAway) {
  TTempDir tmp("rk50_lock");
  rk50::select_lang("eng");
  {
    rk50::TInstallLock first(tmp.path());
    try {
      rk50::TInstallLock second(tmp.dir());
      ADD_FAILURE() << "locked twice";
    } catch (const ux::Exception& e) {
      EXPECT_EQ(std::string(e.what()),
                "Another installer is working on " + tmp.dir() + "; try again when it has finished.");
    }
    rk50::TInstallLock other(tmp.path() + "/..");  // another folder
  }
  rk50::TInstallLock again(tmp.path());  // released with its holder
  EXPECT_THROW(rk50::TInstallLock(tmp / "missing"), ux::Exception);
  rk50::select_lang("chn");
}

class FileTransaction : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(tmp / "inst/a.txt", "a");
    write_file(tmp / "inst/sub/b.txt", "b");
    ::chmod((tmp / "inst/sub/b.txt").c_str(), 0751);
    ::symlink("a.txt", (tmp / "inst/link").c_str());
    fs::create_directories(tmp / "inst/empty");
    ::chmod((tmp / "inst/empty").c_str(), 0750);
    before = snapshot_tree(tmp / "inst");
  }
  // Replaces a.txt and the link, adds new/deep/c.txt, removes sub/b.txt and
  // the empty folder, all recorded in tx.
  void change_everything(rk50::TFileTransaction& tx) {
    write_file(tmp / "staged_a", "new a");
    ASSERT_TRUE(tx.keep_aside(tmp / "inst/a.txt"));
    tx.move(tmp / "staged_a", tmp / "inst/a.txt");
    ASSERT_TRUE(tx.keep_aside(tmp / "inst/link"));
    EXPECT_FALSE(tx.keep_aside(tmp / "inst/none"));
    tx.make_dirs(tmp / "inst/new/deep");
    write_file(tmp / "inst/new/deep/c.txt", "c");
    tx.record_created(tmp / "inst/new/deep/c.txt");
    ASSERT_TRUE(tx.keep_aside(tmp / "inst/sub/b.txt"));
    EXPECT_FALSE(tx.remove_empty_dir(tmp / "inst/sub/none"));
    EXPECT_FALSE(tx.remove_empty_dir(tmp / "inst/a.txt"));
    ASSERT_TRUE(tx.remove_empty_dir(tmp / "inst/empty"));
  }

  TTempDir tmp{"rk50_tx"};
  std::map<std::string, std::string> before;
};

TEST_F(FileTransaction, RollbackRestoresEveryFileExactly) {
  rk50::TFileTransaction tx(tmp / "work/backup");
  fs::create_directories(tmp / "work");
  tx.record_work_folder(tmp / "work");
  change_everything(tx);
  EXPECT_FALSE(tx.empty());
  EXPECT_NE(snapshot_tree(tmp / "inst"), before);
  EXPECT_TRUE(tx.rollback().empty());
  EXPECT_TRUE(tx.empty());
  EXPECT_EQ(snapshot_tree(tmp / "inst"), before);
  EXPECT_EQ(read_file(tmp / "staged_a"), "new a");  // the placed file went back where it came from
  EXPECT_FALSE(exists(tmp / "work"));
}

TEST_F(FileTransaction, DestructionRollsBackAndCommitKeeps) {
  {
    rk50::TFileTransaction tx(tmp / "backup");
    change_everything(tx);
  }
  EXPECT_EQ(snapshot_tree(tmp / "inst"), before);

  rk50::TFileTransaction tx(tmp / "backup");
  fs::create_directories(tmp / "work");
  tx.record_work_folder(tmp / "work");
  change_everything(tx);
  tx.commit();
  EXPECT_FALSE(exists(tmp / "work"));
  EXPECT_TRUE(tx.empty());
  EXPECT_EQ(read_file(tmp / "inst/a.txt"), "new a");
  EXPECT_EQ(read_file(tmp / "inst/new/deep/c.txt"), "c");
  EXPECT_FALSE(exists(tmp / "inst/sub/b.txt"));
  EXPECT_FALSE(exists(tmp / "inst/link"));
  EXPECT_FALSE(exists(tmp / "inst/empty"));
  EXPECT_TRUE(fs::is_empty(tmp / "backup"));  // the kept files are deleted
  EXPECT_TRUE(tx.rollback().empty());          // nothing left to undo
  EXPECT_EQ(read_file(tmp / "inst/a.txt"), "new a");
}

TEST_F(FileTransaction, WhatCannotBeRestoredIsNamedAndStaysKept) {
  rk50::TFileTransaction tx(tmp / "backup");
  tx.record_work_folder(tmp / "backup");
  ASSERT_TRUE(tx.keep_aside(tmp / "inst/a.txt"));
  write_file(tmp / "inst/a.txt/blocker", "x");  // someone else's folder in the way
  const std::vector<std::string> lost = tx.rollback();
  ASSERT_EQ(lost, std::vector<std::string>{tmp / "inst/a.txt"});
  EXPECT_EQ(read_file(tmp / "backup/1"), "a");
}

TEST_F(FileTransaction, AnotherFileSystemKeepsFilesBesideTheirOriginals) {
  struct stat a, b;
  if (::stat("/dev/shm", &b) != 0 || ::stat(tmp.path().c_str(), &a) != 0 || a.st_dev == b.st_dev)
    GTEST_SKIP() << "no second file system at /dev/shm";
  TTempDir shm("rk50_tx_backup", "/dev/shm");
  rk50::TFileTransaction tx(shm / "backup");
  ASSERT_TRUE(tx.keep_aside(tmp / "inst/sub/b.txt"));
  EXPECT_FALSE(exists(tmp / "inst/sub/b.txt"));
  EXPECT_EQ(fs::directory_iterator(tmp / "inst/sub")->path().filename().string().rfind(".b.txt.rk50-kept-", 0), 0u);
  EXPECT_TRUE(tx.rollback().empty());
  EXPECT_EQ(snapshot_tree(tmp / "inst"), before);
}

TEST_F(FileTransaction, CommitInBackgroundLeavesTheNewStateAndDeletesTheKeptFilesBeforeItEnds) {
  rk50::TFileTransaction tx(tmp / "work/old");
  fs::create_directories(tmp / "work");
  tx.record_work_folder(tmp / "work");
  for (int i = 0; i < 40; ++i) write_file(tmp / ("inst/many/f" + std::to_string(i)), std::string(5000, char('a' + i % 26)));
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(tx.keep_aside(tmp / ("inst/many/f" + std::to_string(i))));
  change_everything(tx);
  std::unique_ptr<rk50::TBackgroundRemoval> removal = tx.commit_in_background();
  // The new state stands at once and nothing can undo it any more.
  EXPECT_TRUE(tx.empty());
  EXPECT_TRUE(tx.rollback().empty());
  EXPECT_EQ(read_file(tmp / "inst/a.txt"), "new a");
  EXPECT_TRUE(fs::is_empty(tmp / "inst/many"));
  removal->wait();
  EXPECT_FALSE(exists(tmp / "work"));
  removal->wait();  // again: nothing left to wait for

  // The destructor waits too; a commit with nothing kept starts no work.
  rk50::TFileTransaction tx2(tmp / "work2/old");
  fs::create_directories(tmp / "work2");
  tx2.record_work_folder(tmp / "work2");
  ASSERT_TRUE(tx2.keep_aside(tmp / "inst/a.txt"));
  tx2.commit_in_background().reset();
  EXPECT_FALSE(exists(tmp / "work2"));
  EXPECT_FALSE(exists(tmp / "inst/a.txt"));
  rk50::TFileTransaction none;
  none.commit_in_background()->wait();
}

// A run killed (SIGKILL) after any of its changes is put right by the next
// run: undone exactly before its commit mark, finished exactly after it
// (the new state, nothing of the old one kept).
TEST_F(FileTransaction, ARunKilledAfterAnyChangeIsPutRightByTheNext) {
  const std::string inst = tmp / "inst";
  write_file(tmp / "home/entry.desktop", "the user's entry");
  before = snapshot_tree(inst);
  const auto home_before = snapshot_tree(tmp / "home");
  auto reset = [&] {
    fs::remove_all(inst);
    fs::remove_all(tmp / "home");
    SetUp();
    write_file(tmp / "home/entry.desktop", "the user's entry");
    ASSERT_EQ(snapshot_tree(inst), before);
  };
  // One change each, in the order an installation makes them.
  std::string work;
  std::vector<std::function<void(rk50::TFileTransaction&)>> changes = {
      [&](rk50::TFileTransaction& tx) { tx.make_dirs(work + "new/deep"); },
      [&](rk50::TFileTransaction& tx) { tx.record_created(tmp / "home/.entry.desktop.staged"); },
      [&](rk50::TFileTransaction&) { write_file(tmp / "home/.entry.desktop.staged", "new entry"); },
      [&](rk50::TFileTransaction& tx) { ASSERT_TRUE(tx.keep_aside(inst + "/a.txt")); },
      [&](rk50::TFileTransaction& tx) { tx.move(work + "new/a.txt", inst + "/a.txt"); },
      [&](rk50::TFileTransaction& tx) { ASSERT_TRUE(tx.keep_aside(inst + "/link")); },
      [&](rk50::TFileTransaction& tx) { tx.make_dirs(inst + "/new/deep"); },
      [&](rk50::TFileTransaction& tx) { tx.move(work + "new/deep/c.txt", inst + "/new/deep/c.txt"); },
      [&](rk50::TFileTransaction& tx) { ASSERT_TRUE(tx.keep_aside(inst + "/sub/b.txt")); },
      [&](rk50::TFileTransaction& tx) { ASSERT_TRUE(tx.remove_empty_dir(inst + "/empty")); },
      [&](rk50::TFileTransaction& tx) { ASSERT_TRUE(tx.keep_aside(tmp / "home/entry.desktop")); },
      [&](rk50::TFileTransaction& tx) { tx.move(tmp / "home/.entry.desktop.staged", tmp / "home/entry.desktop"); },
  };
  for (size_t n = 0; n <= changes.size() + 1; ++n) {
    SCOPED_TRACE("killed after " + std::to_string(n) + " changes");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      rk50::TFileTransaction tx;
      work = tx.make_work_folder(inst, ".rk50-install-");
      tx.journal_to(work + rk50::kJournalName);
      tx.set_backup_dir(work + "old");
      write_file(work + "new/a.txt", "new a");
      write_file(work + "new/deep/c.txt", "c");
      for (size_t i = 0; i < n && i < changes.size(); ++i) changes[i](tx);
      if (n > changes.size()) (void)tx.commit_in_background().release();
      ::raise(SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_TRUE(rk50::recover_leftovers(inst, ".rk50-install-").empty());
    if (n <= changes.size()) {
      EXPECT_EQ(snapshot_tree(inst), before);
      EXPECT_EQ(snapshot_tree(tmp / "home"), home_before);
    } else {
      EXPECT_EQ(read_file(inst + "/a.txt"), "new a");
      EXPECT_EQ(read_file(inst + "/new/deep/c.txt"), "c");
      EXPECT_FALSE(exists(inst + "/link"));
      EXPECT_FALSE(exists(inst + "/sub/b.txt"));
      EXPECT_FALSE(exists(inst + "/empty"));
      EXPECT_EQ(read_file(tmp / "home/entry.desktop"), "new entry");
      std::vector<std::string> names;
      for (const auto& e : fs::directory_iterator(tmp / "home")) names.push_back(e.path().filename());
      EXPECT_EQ(names, std::vector<std::string>{"entry.desktop"});
      std::vector<std::string> top;
      for (const auto& e : fs::directory_iterator(inst)) top.push_back(e.path().filename());
      std::sort(top.begin(), top.end());
      EXPECT_EQ(top, (std::vector<std::string>{"a.txt", "new", "sub"}));
    }
    reset();
  }
}

// What a recovery cannot restore stays, with its folder, and is tried again
// by the run after; a journal cut short or made of garbage is taken as far
// as it is whole.
TEST_F(FileTransaction, RecoveryKeepsWhatItCannotRestoreAndReadsOnlyWholeRecords) {
  const std::string inst = tmp / "inst";
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    rk50::TFileTransaction tx;
    const std::string work = tx.make_work_folder(inst, ".rk50-install-");
    tx.journal_to(work + rk50::kJournalName);
    tx.set_backup_dir(work + "old");
    (void)tx.keep_aside(inst + "/a.txt");
    ::raise(SIGKILL);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  write_file(inst + "/a.txt/blocker", "someone else's folder in the way");
  EXPECT_EQ(rk50::recover_leftovers(inst, ".rk50-install-"), std::vector<std::string>{inst + "/a.txt"});
  fs::remove_all(inst + "/a.txt");
  EXPECT_TRUE(rk50::recover_leftovers(inst, ".rk50-install-").empty());
  EXPECT_EQ(snapshot_tree(inst), before);

  // A record cut short and what follows it were never acted on; garbage is no record.
  fs::create_directories(inst + "/.rk50-install-cut");
  auto field = [](const std::string& f) { return " " + std::to_string(f.size()) + ":" + f; };
  // A move that never happened (its result is not there), a file created, then a cut record.
  write_file(inst + "/new.txt", "made by the killed run");
  write_file(inst + "/.rk50-install-cut/journal", "M" + field(inst + "/.rk50-install-cut/x") + field(inst + "/x") + "\nC" +
                                                      field(inst + "/new.txt") + "\nC 9:" + inst.substr(0, 3));
  write_file(inst + "/.rk50-install-junk/journal", std::string("K 99999999999999:x\n\0\n", 21));
  fs::create_directories(inst + "/.rk50-install-none");
  EXPECT_TRUE(rk50::recover_leftovers(inst, ".rk50-install-").empty());
  EXPECT_EQ(snapshot_tree(inst), before);
  EXPECT_TRUE(rk50::recover_leftovers(tmp / "missing", ".rk50-install-").empty());
}

TEST(BackgroundRemoval, RemovesThePathsThenTheFoldersAndLeavesWhatItCannot) {
  TTempDir tmp("rk50_removal");
  std::vector<std::string> paths;
  for (int i = 0; i < 100; ++i) {
    const std::string p = tmp / ("trash/f" + std::to_string(i));
    write_file(p, std::string(size_t(i) * 100, 'x'));
    paths.push_back(p);
  }
  write_file(tmp / "trash/tree/deep/x", "x");
  paths.push_back(tmp / "trash/tree");
  ::symlink((tmp / "keep").c_str(), (tmp / "trash/link").c_str());
  write_file(tmp / "keep/precious", "p");
  paths.push_back(tmp / "trash/link");  // the link goes, not what it points to
  paths.push_back(tmp / "trash/missing");
  write_file(tmp / "folder/inner", "i");
  {
    rk50::TBackgroundRemoval removal(paths, {tmp / "trash", tmp / "folder", tmp / "missing-folder"});
  }
  EXPECT_FALSE(exists(tmp / "trash"));
  EXPECT_FALSE(exists(tmp / "folder"));
  EXPECT_EQ(read_file(tmp / "keep/precious"), "p");

  if (::geteuid() != 0) {
    write_file(tmp / "locked/f", "f");
    ::chmod((tmp / "locked").c_str(), 0500);
    rk50::TBackgroundRemoval removal({tmp / "locked/f"}, {tmp / "locked"});
    removal.wait();
    EXPECT_TRUE(exists(tmp / "locked/f"));
    ::chmod((tmp / "locked").c_str(), 0700);
  }
}

TEST_F(FileTransaction, MakeDirsRefusesAFileInTheWay) {
  rk50::TFileTransaction tx;
  EXPECT_THROW(tx.make_dirs(tmp / "inst/a.txt/deeper"), ux::Exception);
  EXPECT_THROW(tx.move(tmp / "inst/none", tmp / "inst/other"), ux::Exception);
  EXPECT_TRUE(tx.rollback().empty());
  EXPECT_EQ(snapshot_tree(tmp / "inst"), before);
}

}  // namespace
