// rk50_update_script: update mode — extracting an update package into a
// private staging folder and running the package's script
// "win64_update/update.cmd" line by line against the installation, as one
// transaction.
//
// Script lines: "<command> <source> <destination>" split at single spaces
// (two spaces make an empty field). Commands, ignoring ASCII case: cp, mv,
// ren, del, rm, rd; anything else is passed over. "$sour$" is the script's
// folder, "$dest$" the installation folder (both with trailing "/");
// backslashes in sources and destinations become "/". A source or
// destination that resolves outside the installation folder and the
// extracted package (an absolute path elsewhere, a ".." escape, a link that
// leads out) is refused as a failing line, and so is a line that would
// replace, move or remove the installation folder, the extracted package or
// the staging folder themselves (or a folder holding one of them).
//
// Before a line changes or removes a file of the installation, what it
// replaces is kept; when a line fails, the lines already applied are undone.
// Runs on the GUI thread. Errors are ux::Exception.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace rk50 {

class TCancelFlag;
class TFileTransaction;

struct TUpdateResult {
  std::string dest_path;           // the installation folder, trailing "/"
  bool script_found = false;
  int lines_run = 0;               // lines handed to the runner
  std::vector<std::string> notes;  // lines passed over, and why (user's language)
};

// Runs script lines against an installation, recording every change in a
// transaction.
class TScriptRunner {
 public:
  // script_folder: the extracted package's "win64_update/"; its parent is
  // the extracted package. install_folder: the installation. excluded: a
  // folder inside the installation that lines may not touch (the staging
  // folder's kept files), or empty.
  TScriptRunner(std::string script_folder, std::string install_folder, TFileTransaction& tx,
                std::string excluded = {});

  // Executes one line; rest is the line after the command field. Returns
  // why the line was passed over (user's language), or "" when it ran.
  // Throws ux::Exception when it fails: a refused path, a copy into a
  // missing folder, a file that cannot be copied, moved or deleted.
  std::string run_line(const std::string& command, std::string rest);

 private:
  // The line's path lexically normalised (relative: against the current
  // directory), as a file-system path; refused when it resolves outside or
  // holds a NUL byte.
  // follow: a link in the last component is followed for the check.
  // changed: the line replaces, moves or removes what is there; refused
  // when that holds one of the runner's own folders.
  std::string confined(const std::string& path, bool follow, bool changed) const;
  bool allowed(const std::string& real) const;
  bool holds_own_folder(const std::string& real) const;

  std::string script_folder_, install_folder_;
  TFileTransaction& tx_;
  std::string install_real_, package_real_, excluded_real_;
};

// Executes one line outside any transaction (its changes stay); the
// extracted package is script_folder's parent. Returns why the line was
// passed over, or "". Throws ux::Exception as TScriptRunner::run_line.
std::string run_script_line(const std::string& command, std::string rest, const std::string& script_folder,
                            const std::string& install_folder);

// Applies the update package under the installation's lock: puts right what
// runs that were killed left (recover_leftovers: an installation's staging
// folders in the installation folder, an update's in install_dir), extracts
// the package into install_dir/.rk50-update-XXXXXX/ (nothing is written
// beside the package), runs win64_update/update.cmd from there against
// install_dir, journalled there, and removes the staging folder.
// process_events (may be empty) is called after each
// line and at most every 50 ms while the package extracts; cancel is checked
// there too. A missing script is no error. When a line fails or the run is
// cancelled, the lines already applied are undone and ux::Exception is
// thrown (TCancelled after a cancellation), naming the line. An empty
// library_path loads the library the build carries.
TUpdateResult run_update_package(const std::string& package_path, const std::string& install_dir,
                                 const std::function<void()>& process_events, TCancelFlag& cancel,
                                 const std::string& library_path = {});

// Script text as byte strings of the process code page, one per line: a
// UTF-8 or UTF-16 (LE/BE) byte-order mark selects the decoding, otherwise the
// bytes are taken as they are; CR LF, LF and CR end lines.
std::vector<std::string> script_lines(const std::string& file_bytes);

}  // namespace rk50
