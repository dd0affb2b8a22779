// rk50_transaction: what makes an installation or an update all or nothing —
// an undo log of file-system changes (TFileTransaction), the cancellation
// shared by a front end and the thread doing the work (TCancelFlag), the
// lock that keeps two installers out of one installation (TInstallLock), and
// the deletion of what a committed transaction kept (TBackgroundRemoval).
//
// Paths are byte strings in the process code page. Errors are ux::Exception.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/ux_common.h"
#include "installer/rk50_stp_common.h"

namespace rk50 {

// Raised by work that stopped because it was cancelled, after it restored
// what it had changed.
class TCancelled : public ux::Exception {
 public:
  using ux::Exception::Exception;
};

// One run's cancellation. Lock-free, so a signal handler may request it.
class TCancelFlag {
 public:
  // Asks the work to stop. True when it will stop (or has not started yet);
  // false when it had already passed its point of no return, so its result
  // stands.
  bool request() noexcept;
  bool requested() const noexcept { return state_.load() == kRequested; }
  // The work's point of no return: true, after which request() fails, unless
  // a request came first.
  [[nodiscard]] bool complete() noexcept;
  bool completed() const noexcept { return state_.load() == kCompleted; }
  // A new run.
  void reset() noexcept { state_.store(kRunning); }

 private:
  enum : int { kRunning, kRequested, kCompleted };
  std::atomic<int> state_{kRunning};
};

// Throws TCancelled ("Installation aborted.") when cancel was requested.
void throw_if_cancelled(const TCancelFlag& cancel);

class TFileTransaction;

// File name of the journal in a transaction's work folder.
inline constexpr const char* kJournalName = "journal";

// Deletes files and folders on threads of its own, so that the caller goes on
// while the file system frees them: the paths first, several at a time (on
// file systems that discard freed blocks synchronously a deletion mostly
// waits for the device, so deletions in parallel take a fraction of the time
// of one after the other), then the folders, whole, one after the other.
// Best effort: what cannot be deleted stays. Where no thread can be started
// the constructor deletes everything itself. wait() and the destructor block
// until everything is done; use one object from one thread.
class TBackgroundRemoval {
 public:
  // OS paths of files, links or whole folders.
  TBackgroundRemoval(std::vector<std::string> paths, std::vector<std::string> folders_after);
  ~TBackgroundRemoval();
  TBackgroundRemoval(const TBackgroundRemoval&) = delete;
  TBackgroundRemoval& operator=(const TBackgroundRemoval&) = delete;

  void wait() noexcept;

 private:
  void run() noexcept;
  void remove_paths() noexcept;

  std::vector<std::string> paths_, folders_;
  std::atomic<size_t> next_{0};
  std::thread runner_;
};

// For the catch handler of work done under tx: rolls tx back and throws the
// handled error's text again — TCancelled when cancel was requested, else
// ux::Exception — extended, when something could not be restored, with its
// names and the work folder where what was kept of it stays.
[[noreturn]] void rollback_and_rethrow(TFileTransaction& tx, const TCancelFlag& cancel, const std::string& work);

// An exclusive lock on one folder (an installation, the download folder),
// held for the life of the object: a flock on the folder itself, so nothing
// is written into it and a crashed installer holds nothing.
class TInstallLock {
 public:
  // Throws ux::Exception in the user's language when another installer
  // holds the folder (busy_fmt with the folder) or it cannot be opened.
  explicit TInstallLock(const std::string& folder, int32_t busy_fmt = msg_install_busy_fmt);
  ~TInstallLock();
  TInstallLock(const TInstallLock&) = delete;
  TInstallLock& operator=(const TInstallLock&) = delete;

 private:
  int fd_ = -1;
};

// An undo log of file-system changes. Each change is recorded as it is made;
// rollback undoes them newest first, commit keeps them. Replaced files are
// kept aside until then: in backup_dir, which should be on the file system
// of the files it keeps (else a kept file goes beside its original).
//
// With a journal (journal_to), every change is also written to a file before
// it is made (a folder made: just after, so that a folder that was there is
// never taken for one), and commit marks the file, so that the next run can
// put right a run that was killed midway (recover_leftovers). The journal
// survives the process being killed, not a power loss (it is not synced).
// Not thread-safe.
class TFileTransaction {
 public:
  explicit TFileTransaction(std::string backup_dir = {});
  // Rolls back what is still recorded.
  ~TFileTransaction();
  TFileTransaction(const TFileTransaction&) = delete;
  TFileTransaction& operator=(const TFileTransaction&) = delete;

  // Folder for the kept files (created on first use), for changes from now on.
  void set_backup_dir(std::string backup_dir);
  // Starts the journal: creates the file at path (mode 0600), which should lie
  // in this transaction's work folder. Throws ux::Exception when it cannot
  // be created; from now on a change whose record cannot be written is not
  // made and throws ux::Exception.
  void journal_to(const std::string& path);

  // Creates dir and its missing parents, recording each one made.
  void make_dirs(const std::string& dir);
  // Moves what is at path (a file, a link or a folder) aside. False when
  // nothing is there.
  bool keep_aside(const std::string& path);
  // Renames from to to; to should not exist (keep_aside it first).
  void move(const std::string& from, const std::string& to);
  // A file the caller creates at path (record it first, so that a journal
  // holds it even when the run is killed while writing it): rollback
  // removes it.
  void record_created(const std::string& path);
  // Removes an empty folder; rollback makes it again with its mode. False,
  // and nothing recorded, when path is not an empty folder.
  bool remove_empty_dir(const std::string& path);
  // A folder the caller made for its own work (staging, the kept files):
  // removed with everything in it by commit, and by rollback once every
  // newer change is undone — unless something could not be restored, so
  // that what was kept of it stays.
  void record_work_folder(const std::string& path);
  // Creates a private folder inside parent named prefix followed by six
  // random characters and records it as a work folder. Returns it with a
  // trailing "/". Throws ux::Exception when it cannot be made.
  std::string make_work_folder(const std::string& parent, const std::string& prefix);

  // Undoes every recorded change, newest first, and clears the log. Never
  // throws. Returns the paths that could not be restored; what was kept of
  // them stays where it was kept.
  std::vector<std::string> rollback() noexcept;
  // Keeps every change, deletes the kept files and the work folders and
  // clears the log.
  void commit() noexcept;
  // commit, with the deletion left running in the returned object. Throws,
  // committing nothing, when the journal cannot be marked (ux::Exception) or
  // the object cannot be made (std::bad_alloc).
  [[nodiscard]] std::unique_ptr<TBackgroundRemoval> commit_in_background();
  bool empty() const noexcept { return steps_.empty(); }

 private:
  friend std::vector<std::string> recover_leftovers(const std::string& parent, const std::string& prefix);

  // kept: moved aside (commit deletes b); committed: the journal's mark.
  enum class TStep { made_dir, moved, kept, created, removed_dir, work_folder, committed };
  struct TRecord {
    TStep step;
    std::string a, b;  // OS paths: the path changed; for moved and kept, where it went
    uint32_t mode = 0;
    // Read back from a journal: the change may not have been made.
    bool intent = false;
  };

  // Writes r to the journal, if there is one; throws ux::Exception.
  void log(const TRecord& r);
  // Takes in a killed run's journal (every record an intent); true when
  // that run had committed.
  bool load_journal(const std::string& os_path);
  // Makes the journal hold only records: what is left to undo.
  void rewrite_journal(const std::vector<TRecord>& records) noexcept;

  std::string backup_dir_;  // OS path with trailing "/", or empty
  bool backup_made_ = false;
  uint64_t kept_count_ = 0;
  std::vector<TRecord> steps_;
  std::vector<std::string> kept_;  // OS paths of the kept files
  std::vector<std::string> work_folders_;
  int journal_fd_ = -1;
};

// Puts right what runs that were killed left in parent (call under the
// folder's lock, before making a work folder of the same prefix): each
// folder whose name begins with prefix is such a run's work folder; the
// changes its journal holds are kept (what they replaced deleted) when the
// run had committed, undone newest first otherwise, and the folder goes.
// Returns what could not be restored, whose folder stays with what was kept.
// Never throws.
std::vector<std::string> recover_leftovers(const std::string& parent, const std::string& prefix);

}  // namespace rk50
