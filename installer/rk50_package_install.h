// rk50_package_install: installing a client package — extraction with the
// 7-Zip binding, progress, and the finishing steps (download removal, desktop
// entry, updater copy).
//
// The controller keeps its own window state; these functions take what they
// need explicitly and report progress through IExtractProgress. Errors are
// ux::Exception with a message text; nothing here touches GUI objects.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/io_compress_7zip.h"

namespace rk50 {

// Fixed names (Linux build). kShortcutName is UTF-8.
inline constexpr const char* kShortcutName = "Qlyn 私有网盘";
inline constexpr const char* kClientExeName = "rk50cli_dsk";
inline constexpr const char* kUpdaterName = "updator";
inline constexpr const char* kUpdaterPendingSuffix = ".tobe";
inline constexpr const char* kIdentityFileName = "cuuid.inf";
inline constexpr const char* kPackageFolder = "win64";

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

// T7zPasswordCallback: sets password to package_password(); returns 0.
ux::HRESULT on_archive_password(void* sender, std::u16string& password);
// T7zProgressCallback; sender is a TInstallProgress*. Moves the bar at most
// once per second (strictly more than 1000 ms apart), never beyond 99.
// Returns 0.
ux::HRESULT on_extract_progress(void* sender, bool total, int64_t value);

// Path of the archive library beside the executable.
std::string default_archive_library();

// The extraction sequence: creates dest_path, opens archive_path with the
// package password set before opening (encrypted headers), extracts all items
// into dest_path and closes. progress may be null (no progress callback).
// Throws ux::Exception for a missing/unloadable library, an unreadable
// archive, a wrong password or damaged item (naming the first failed item),
// and an item path outside dest_path.
void extract_package(const std::string& archive_path, const std::string& dest_path,
                     TInstallProgress* progress, const std::string& library_path = default_archive_library());

// Progress as a callable: (total, value) exactly as T7zProgressCallback
// receives them; for controllers that keep their own counters.
using TExtractProgressCall = std::function<void(bool total, int64_t value)>;
// The extraction sequence with progress delivered to a callable (may be
// empty). Exceptions raised by progress propagate after the library returns.
void extract_package_with_progress(const std::string& archive_path, const std::string& dest_path,
                                   const TExtractProgressCall& progress,
                                   const std::string& library_path = default_archive_library());

// The finishing steps' arguments, as the controller hands them over.
struct TFinishInstall {
  std::string dest_path;       // installation folder (trailing "/" optional)
  std::string saved_fname;     // the package file
  int32_t mode = 1;            // 1 install mode, 2 update mode
  bool delete_package = true;  // false for a package the user supplied (--package)
  std::string self_path;       // copied as the updater; empty: the running executable
};

// What finish_install did, for the front ends' report.
struct TFinishResult {
  std::string updater_path;             // the copy written ("updator" or "updator.tobe")
  std::vector<std::string> shortcuts;   // desktop entries written
};

// Deletes the package (unless delete_package is false), in install mode
// deletes win64/cuuid.inf and writes the desktop entries, then copies
// self_path to win64/updator (win64/updator.tobe when the old one cannot be
// removed) with its executable bits; nothing is copied when self_path is that
// updater itself. Failed deletes and shortcut writes are
// ignored; a failed updater copy throws ux::Exception.
TFinishResult finish_install(const TFinishInstall& args);

// target and name are process text; the entry is written in UTF-8.
// Writes "<name>.desktop" (Type=Application, Exec=target, Path=its folder,
// Icon) into the user's desktop folder (XDG_DESKTOP_DIR from
// $XDG_CONFIG_HOME/user-dirs.dirs, else ~/Desktop) and into
// $XDG_DATA_HOME/applications (else ~/.local/share/applications), mode 0755.
// Overwrites earlier entries. Returns the files written; failures are skipped.
std::vector<std::string> create_desktop_shortcut(const std::string& target, const std::string& name);

// The user's desktop folder, without trailing "/"; "" when HOME is unknown.
std::string desktop_dir();

// Joins a folder and a relative name with exactly one "/".
std::string join_path(const std::string& dir, const std::string& name);

}  // namespace rk50
