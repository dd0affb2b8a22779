// A file-system fence for fuzz targets that run file operations.
//
// While armed, every file operation of this process (open, create, rename,
// delete, make or remove a folder, link, truncate, change mode or owner) on
// a path outside the allowed folders is refused with EACCES and recorded;
// the target then fails the run. Paths are resolved as the kernel would
// (current directory, "." and "..", symbolic links of existing parts).
//
// The files libFuzzer writes for a failing input (artifact prefix, kind,
// SHA-1) stay writable, so that a crash inside the fenced region still
// leaves its input.
#pragma once

#include <string>
#include <vector>

namespace qlyn_fuzz {

// The folders the fenced code may touch (anything below them included).
void guard_allow(const std::vector<std::string>& folders);
// Where libFuzzer writes failing inputs: the -artifact_prefix and
// -exact_artifact_path arguments, else the current directory.
void guard_set_artifact_prefix(int argc, char** argv);
void guard_arm(bool armed);
// With reads_anywhere, opening for reading is let through wherever it leads;
// every other operation is still checked.
void guard_reads_anywhere(bool reads_anywhere);
// The first refused operation since the last call ("" when none), cleared.
std::string guard_take_violation();
// Operations let through since the last call that may have changed files
// (anything but opening for reading), cleared.
int guard_take_changes();

}  // namespace qlyn_fuzz
