// rk50_update_script: update mode — extracting an update package beside it
// and running the package's script "win64_update/update.cmd" line by line.
//
// Script lines: "<command> <source> <destination>" split at single spaces
// (two spaces make an empty field). Commands, ignoring ASCII case: cp, mv,
// ren, del, rm, rd; anything else is ignored. "$sour$" is the script's folder,
// "$dest$" the installation folder (both with trailing "/"); backslashes in
// sources and destinations become "/".
//
// Runs on the GUI thread. Errors are ux::Exception and end the run at the
// failing line.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace rk50 {

// The GUI operations the update run needs.
class IUpdateUi {
 public:
  virtual void set_action_enabled(bool enabled) = 0;
  virtual void process_pending_events() = 0;

 protected:
  ~IUpdateUi() = default;
};

struct TUpdateResult {
  bool applied = false;     // false: no package at package_path, nothing changed
  std::string dest_path;    // the installation folder, trailing "/"
  bool script_found = false;
  int lines_run = 0;        // lines handed to run_script_line
};

// Extracts package_path into its own folder (no progress), runs
// win64_update/update.cmd from there against install_dir and re-enables the
// action. The controller then sets caption message 8 and state 7 when
// applied is true. On an exception the action stays disabled.
TUpdateResult apply_update_package(const std::string& package_path, IUpdateUi& ui,
                                   const std::string& install_dir, const std::string& library_path);
// Same with the installation folder and library of the running executable;
// the carried library is deployed there first when missing.
TUpdateResult apply_update_package(const std::string& package_path, IUpdateUi& ui);

// The work between disabling and re-enabling the action, for controllers that
// handle the button themselves: extraction beside the package and the script,
// with process_events (may be empty) called after each line and at most every
// 50 ms while the package extracts. Expects the package to exist (throws
// otherwise).
TUpdateResult run_update_package(const std::string& package_path, const std::string& install_dir,
                                 const std::function<void()>& process_events,
                                 const std::string& library_path);

// Executes one script line; rest is the line after the command field.
// script_folder and install_folder end with "/". Throws ux::Exception,
// before any file is touched, when a source or destination lies outside both
// folders (relative paths count from the current directory) or holds a ".."
// component; and when a copy cannot open its files (e.g. "cp" into a missing
// folder).
void run_script_line(const std::string& command, std::string rest, const std::string& script_folder,
                     const std::string& install_folder);

// Runs every line of a script file's bytes (see script_lines) longer than 3
// bytes, calling after_line (may be empty) after each. Returns the number of
// lines run; an exception ends the run at its line.
int run_script(const std::string& file_bytes, const std::string& script_folder,
               const std::string& install_folder, const std::function<void()>& after_line);

// Script text as byte strings of the process code page, one per line: a
// UTF-8 or UTF-16 (LE/BE) byte-order mark selects the decoding, otherwise the
// bytes are taken as they are; CR LF, LF and CR end lines.
std::vector<std::string> script_lines(const std::string& file_bytes);

}  // namespace rk50
