// rk50_package_install: installing a client package as one transaction.
// The package is extracted with the 7-Zip binding into a staging folder
// inside the installation folder, the finishing steps (updater copy, desktop
// entries) are staged beside it, and only then is every staged file moved
// into place. The files of the installation that the package does not hold
// stay; the ones it replaces are kept until the end, so that on any failure
// or cancellation the previous installation and desktop entries are restored
// exactly and the staging folder is removed.
//
// The controller keeps its own window state; these functions take what they
// need explicitly. Errors are ux::Exception with a message text; nothing here
// touches GUI objects.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace rk50 {

class TBackgroundRemoval;
class TCancelFlag;

// Fixed names (Linux build). kShortcutName is UTF-8.
inline constexpr const char* kShortcutName = "Qlyn 私有网盘";
inline constexpr const char* kClientExeName = "rk50cli_dsk";
inline constexpr const char* kUpdaterName = "updator";
inline constexpr const char* kUpdaterPendingSuffix = ".tobe";
inline constexpr const char* kIdentityFileName = "cuuid.inf";
inline constexpr const char* kPackageFolder = "win64";
// Private staging folders: an installation's in the installation folder, an
// update's in the updater's folder; the name is followed by six random
// characters.
inline constexpr const char* kInstallStagingPrefix = ".rk50-install-";
inline constexpr const char* kUpdateStagingPrefix = ".rk50-update-";

// The archive password: the build's constant formatted with "%4.5f" ("."
// as decimal separator). Built anew on every call.
std::string package_password();
std::u16string package_password_utf16();

// Receives the progress-bar position (0..99 during extraction). Called on the
// extracting thread; the implementation carries it to the GUI thread.
class IExtractProgress {
 public:
  virtual void set_progress_position(int percent) = 0;

 protected:
  ~IExtractProgress() = default;
};

// Extraction progress counters (the window's `install` record).
struct TInstallProgress {
  int64_t sum_size = 0;        // total bytes announced by the library
  int64_t pos = 0;             // bytes completed
  int64_t at_last_pop_ev = 0;  // ux::now_ms of the last bar update
  int32_t percent = 0;         // last percent shown
  IExtractProgress* sink = nullptr;  // not owned; may be null
};

// Result of the two archive callbacks below, as the 7-Zip binding reads it:
// 0 lets the library go on.
using TArchiveCallbackResult = int32_t;

// T7zPasswordCallback: sets password to package_password(); returns 0.
TArchiveCallbackResult on_archive_password(void* sender, std::u16string& password);
// T7zProgressCallback; sender is a TInstallProgress*. Moves the bar at most
// once per second (strictly more than 1000 ms apart), never beyond 99.
// Returns 0.
TArchiveCallbackResult on_extract_progress(void* sender, bool total, int64_t value);

// Extraction progress as the 7-Zip binding reports it: total=true announces
// the total byte count in value, total=false the bytes done so far. The one
// progress callback of the installer: the services seam, package
// installation and the update runner all take it.
using TExtractProgressFn = std::function<void(bool total, int64_t value)>;

// The extraction sequence: creates dest_path, opens archive_path with the
// package password set before opening (encrypted headers), extracts all items
// into dest_path and closes. progress may be empty. When required_folder is
// given, an archive with no item in a top-level folder of that name is
// refused (not an install package) before anything is written. Throws
// ux::Exception for a missing/unloadable library, an unreadable archive, a
// wrong password or damaged item (naming the first failed item), and an item
// path outside dest_path; an exception raised by progress stops the
// extraction and propagates. An empty library_path loads the library the
// build carries.
void extract_package(const std::string& archive_path, const std::string& dest_path,
                     const TExtractProgressFn& progress, const std::string& library_path = {},
                     const std::string& required_folder = {});

// The finishing steps' arguments, as the controller hands them over.
struct TFinishInstall {
  std::string dest_path;       // installation folder (trailing "/" optional)
  std::string saved_fname;     // the package file
  int32_t mode = 1;            // 1 install mode, 2 update mode
  // A download, deleted with its validator once installed; false for a
  // package the user supplied (--package).
  bool delete_package = true;
  std::string self_path;       // copied as the updater; empty: the running executable
};

// What an installation wrote, for the front ends' report.
struct TFinishResult {
  std::string updater_path;             // the copy ("updator" or "updator.tobe")
  std::vector<std::string> shortcuts;   // desktop entries written
  // The deletion of what the installation replaced, still running; the last
  // holder's release waits for it.
  std::shared_ptr<TBackgroundRemoval> removal;
};

// Installs the package saved_fname into dest_path on the calling thread, as
// one transaction under the installation folder's lock, journalled in its
// staging folder:
//  0. puts right what runs that were killed left (recover_leftovers: an
//     installation's staging folders and, in win64, an update's);
//  1. extracts it into dest_path/.rk50-install-XXXXXX/ (a package without a
//     "win64" folder is refused before anything is written);
//  2. finishing steps, staged: in install mode win64/cuuid.inf is dropped
//     and the desktop entries are written beside their final names; self_path
//     is copied as win64/updator (win64/updator.tobe when a folder holds that
//     name; nothing when self_path is that updater itself);
//  3. moves every staged file into place, keeping what it replaces;
//  4. passes cancel's point of no return, deletes, when delete_package is
//     set, the package, and leaves the deletion of what was kept running in
//     the result's removal.
// Failed desktop entries are skipped. Any other failure, or a cancellation
// before step 4 (checked during the extraction and between the moves),
// restores the previous installation and desktop entries, removes the
// staging folder and throws: TCancelled after a cancellation, ux::Exception
// otherwise (naming anything that could not be restored and where it is
// kept).
TFinishResult install_package(const TFinishInstall& args, const TExtractProgressFn& progress, TCancelFlag& cancel,
                              const std::string& library_path = {});

// The desktop entry of the client at target (process text; the entry is
// UTF-8): Type=Application, Exec=target, Path=its folder, Icon=icon (a theme
// icon name or a path).
std::string desktop_entry_text(const std::string& target, const std::string& name, const std::string& icon);

// Writes "<name>.desktop" (mode 0755) into the user's desktop folder
// (XDG_DESKTOP_DIR from $XDG_CONFIG_HOME/user-dirs.dirs, else ~/Desktop) and
// into $XDG_DATA_HOME/applications (else ~/.local/share/applications), each
// through a temporary name and a rename. The icon is target's folder's
// rk50cli_dsk.png when there is one. Overwrites earlier entries. Returns the
// files written; failures are skipped.
std::vector<std::string> create_desktop_shortcut(const std::string& target, const std::string& name);

// The user's desktop folder, without trailing "/"; "" when HOME is unknown.
std::string desktop_dir();

// Joins a folder and a relative name with exactly one "/".
std::string join_path(const std::string& dir, const std::string& name);

}  // namespace rk50
